#pragma once

// Running kestrune-cli as a program in folders of its own: a temporary home,
// configuration, runtime and emulator state for every test.

#include "emulator/KeyboardState.h"
#include "support/EnvOverride.h"
#include "support/ScratchFolder.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kestrune::cli::testing {

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the program with these arguments; 'input' is its standard input.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input = {});

class CliFolders {
public:
    // Creates the folders and points the environment at them; both go with the object.
    CliFolders();
    CliFolders(const CliFolders&) = delete;
    CliFolders& operator=(const CliFolders&) = delete;

    const std::filesystem::path& Root() const { return m_root; }
    std::filesystem::path StatePath() const { return m_root / "emulator.json"; }

    // kestrune-cli --emulator ARGS.
    RunResult Cli(std::vector<std::string> args, const std::string& input = {}) const;
    // kestrune-cli --emulator ARGS with the emulator's faults armed from the start.
    RunResult CliWithFaults(const std::string& faults, std::vector<std::string> args) const;
    // kestrune-cli ARGS, without choosing a library.
    RunResult CliPlain(const std::vector<std::string>& args) const;
    // kestrune-emu --state <state file> ARGS.
    RunResult Emu(std::vector<std::string> args) const;

    // The emulated keyboard's state as the emulator last saved it.
    emulator::KeyboardState State() const;
    std::string StateText() const;

private:
    kestrune::testing::ScratchFolder m_scratch{"kestrune-cli-test"};
    const std::filesystem::path m_root = m_scratch.Path();
    std::vector<std::unique_ptr<kestrune::testing::EnvOverride>> m_environment;
};

} // namespace kestrune::cli::testing
