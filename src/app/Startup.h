#pragma once

// The program from process start to exit: command line, language texts,
// single instance, companion program, the keyboard session, the main window
// and the tray icon, then the event loop until the user exits.

namespace kestrune {

// Exit statuses of the program.
inline constexpr int kExitDone = 0;
// The program could not start: its device library or its skin is unusable,
// or a running instance did not take a request.
inline constexpr int kExitFailed = 1;

int RunKestrune(int argc, char** argv);

} // namespace kestrune
