#pragma once

// kestrune-cli's commands: argument handling and what each sub-command does.

#include <iosfwd>

namespace kestrune::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitKeyboard = 1; // keyboard absent, or it failed
inline constexpr int kExitUsage = 2;
inline constexpr int kExitBadFile = 3;
inline constexpr int kExitFile = 4; // a file could not be written (the message names it and says why)

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err, std::istream& in);

} // namespace kestrune::cli
