#include "CliTestSupport.h"

#include "emulator/StateFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrune::cli::testing {

namespace {

std::string ReadWhole(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input)
{
    // Output goes to files, so a chatty child can never block on a full pipe.
    const kestrune::testing::ScratchFolder scratch("kestrune-cli-run");
    const std::filesystem::path& folder = scratch.Path();
    {
        std::ofstream(folder / "in") << input;
    }

    const pid_t child = ::fork();
    if (child == 0) {
        const int in = ::open((folder / "in").c_str(), O_RDONLY);
        const int out = ::open((folder / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open((folder / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) ::_exit(127);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    RunResult result;
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child)
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadWhole(folder / "out");
    result.err = ReadWhole(folder / "err");
    return result;
}

CliFolders::CliFolders()
{
    std::filesystem::create_directories(m_root / "home" / ".config");
    std::filesystem::create_directories(m_root / "run");
    const std::vector<std::pair<std::string, std::optional<std::string>>> values = {
        {"HOME", (m_root / "home").string()},
        {"XDG_CONFIG_HOME", (m_root / "home" / ".config").string()},
        {"XDG_STATE_HOME", (m_root / "home" / ".state").string()},
        {"XDG_RUNTIME_DIR", (m_root / "run").string()},
        {"KESTRUNE_EMULATOR_STATE", StatePath().string()},
        {"KESTRUNE_EMULATOR_SOCKET", (m_root / "run" / "emulator.sock").string()},
        {"KESTRUNE_EMULATOR_LATENCY_US", "0"},
        {"KESTRUNE_EMULATOR_BOOT_MS", "50"},
        // The library and the emulator's faults are chosen by each test, never inherited.
        {"KESTRUNE_DEVICE_LIBRARY", std::nullopt},
        {"KESTRUNE_EMULATOR_FAULTS", std::nullopt},
    };
    for (const auto& [name, value] : values)
        m_environment.push_back(std::make_unique<kestrune::testing::EnvOverride>(name, value));
}

RunResult CliFolders::Cli(std::vector<std::string> args, const std::string& input) const
{
    args.insert(args.begin(), "--emulator");
    return RunProgram(KESTRUNE_CLI_PROGRAM, args, input);
}

RunResult CliFolders::CliWithFaults(const std::string& faults, std::vector<std::string> args) const
{
    const kestrune::testing::EnvOverride armed("KESTRUNE_EMULATOR_FAULTS", faults);
    return Cli(std::move(args));
}

RunResult CliFolders::CliPlain(const std::vector<std::string>& args) const
{
    return RunProgram(KESTRUNE_CLI_PROGRAM, args);
}

RunResult CliFolders::Emu(std::vector<std::string> args) const
{
    args.insert(args.begin(), {"--state", StatePath().string()});
    return RunProgram(KESTRUNE_EMU_TOOL, args);
}

emulator::KeyboardState CliFolders::State() const
{
    auto state = emulator::ReadStateFile(StatePath());
    if (!state || !*state) {
        ADD_FAILURE() << "no emulator state at " << StatePath();
        return emulator::FactoryKeyboardState();
    }
    return **state;
}

std::string CliFolders::StateText() const
{
    return ReadWhole(StatePath());
}

} // namespace kestrune::cli::testing
