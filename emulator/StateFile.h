#pragma once

// Where the emulated keyboard keeps its state between runs: a JSON file (see
// KeyboardState.h) named by KESTRUNE_EMULATOR_STATE, by default
// $XDG_STATE_HOME/kestrune/emulator.json (~/.local/state when unset).

#include "common/Result.h"
#include "emulator/KeyboardState.h"

#include <filesystem>
#include <optional>
#include <string>

namespace kestrune::emulator {

inline constexpr const char* kStateFileVariable = "KESTRUNE_EMULATOR_STATE";

// Read from the environment at every call.
std::filesystem::path DefaultStateFilePath();

// The state in the file; nullopt when there is no file; an error naming the
// file when it cannot be read or does not hold a valid state.
Result<std::optional<KeyboardState>> ReadStateFile(const std::filesystem::path& path);

// Writes the state atomically, creating the folder (0700) when missing.
Status SaveStateFile(const std::filesystem::path& path, const KeyboardState& state);

// What a running emulator starts from: the file's state; factory values
// written to a new file when there is none; factory values in memory only
// (writable false, problem set) when the file is unusable, so that a file
// the user may want to repair is never overwritten.
struct OpenedState {
    KeyboardState state;
    bool writable = true;
    std::string problem;
};
OpenedState OpenStateFile(const std::filesystem::path& path);

} // namespace kestrune::emulator
