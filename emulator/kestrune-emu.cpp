// kestrune-emu: drives the keyboard emulator from outside. With a program
// running on the emulator library (or in the mocked kernel) it talks to its
// control socket; without one, plug, unplug, dump and reset work on the state
// file. `kestrune-emu kernel -- COMMAND` runs a program on the real device
// library in a mocked kernel that holds the emulated keyboard.

#include "emulator/ControlSocket.h"
#include "emulator/MockKernel.h"
#include "emulator/StateFile.h"

#include "common/Version.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace kestrune::emulator;

void Print(const ControlReply& reply)
{
    std::ostream& out = reply.ok ? std::cout : std::cerr;
    if (!reply.ok) out << "kestrune-emu: ";
    out << reply.text;
    if (!reply.text.empty() && reply.text.back() != '\n') out << "\n";
}

// Runs a command on the state file as the emulator would, saving what changed.
int RunOnFile(const std::filesystem::path& path, const std::vector<std::string>& words)
{
    auto read = ReadStateFile(path);
    KeyboardState state = FactoryKeyboardState();
    if (read && *read) {
        state = std::move(**read);
    } else if (!read && words[0] != "reset") {
        // Only a reset may replace a file that does not hold a valid state.
        std::cerr << "kestrune-emu: " << read.error() << "\n";
        return 1;
    }
    EmulatedKeyboard keyboard(state);
    const ControlReply reply = RunControlCommand(keyboard, words);
    if (reply.ok && (keyboard.State() != state || !read || !*read)) {
        if (auto saved = SaveStateFile(path, keyboard.State()); !saved) {
            std::cerr << "kestrune-emu: " << saved.error() << "\n";
            return 1;
        }
    }
    Print(reply);
    return reply.ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Drives the keyboard emulator: plugs and unplugs it, presses its keys, injects faults and shows "
                 "its state.",
                 "kestrune-emu"};
    app.set_version_flag("--version", std::string("kestrune-emu ") + kestrune::VersionString());
    app.require_subcommand(1);
    std::string socketPath;
    std::string statePath;
    app.add_option("--socket", socketPath, "control socket of the running emulator");
    app.add_option("--state", statePath, "state file used when no emulator is running");
    unsigned keyboardNumber = 1;
    app.add_option("--keyboard", keyboardNumber,
                   "which keyboard of a mocked kernel with several (kestrune-emu kernel --keyboards) to drive; "
                   "the first by default")
        ->check(CLI::PositiveNumber);

    std::vector<std::string> words;
    const auto simple = [&](const char* name, const char* help) {
        app.add_subcommand(name, help)->callback([&words, name] { words = {name}; });
    };
    simple("plug", "plug the keyboard in");
    simple("unplug", "pull the keyboard out");
    simple("bank-key", "press the macro-key bank key");
    simple("lighting-changed", "change the lighting effect on the keyboard");
    simple("record-start", "start on-board macro recording");
    simple("record-stop", "stop on-board macro recording");
    simple("dump", "print the state as JSON");
    simple("received", "print the command reports the keyboard took, oldest first, in hex");
    simple("reset", "factory memory (the cable stays as it is)");
    simple("nodes", "list the mocked kernel's device nodes and how programs used them (opens, reads, writes, "
                    "write lengths, report ids)");

    MockKernelOptions kernelOptions;
    std::string nodeMode;
    auto* kernel = app.add_subcommand(
        "kernel", "run COMMAND in a mocked kernel in which the keyboard emulator is plugged in, on the real device "
                  "library (libHidRelay.so through hidapi and libudev): kestrune-emu kernel -- COMMAND [ARGS...]; "
                  "ends with COMMAND's exit status. The other kestrune-emu commands drive its keyboard");
    kernel->add_option("--keyboards", kernelOptions.extraKeyboards,
                       "plug in this many more keyboards (factory memory, not driven by the other commands)");
    kernel->add_flag("--other-vendor", kernelOptions.otherVendor,
                     "also plug in another vendor's device with the keyboard's collections");
    kernel->add_option("--node-mode", nodeMode,
                       "permission bits of the keyboard's device nodes in octal, e.g. 000 as on a system without "
                       "the udev rule")
        ->check([](const std::string& text) {
            return text.find_first_not_of("01234567") == std::string::npos && !text.empty() && text.size() <= 4
                       ? std::string()
                       : std::string("expected octal permission bits such as 000 or 0600");
        });
    kernel->add_option("command", kernelOptions.command, "the program to run and its arguments, after --")
        ->required();

    auto* fault = app.add_subcommand("fault", "inject faults into the running emulator");
    fault->require_subcommand(1);
    fault->add_subcommand("show", "print the fault plan")->callback([&] { words = {"fault", "show"}; });
    fault->add_subcommand("clear", "no faults, default latency")->callback([&] { words = {"fault", "clear"}; });
    unsigned count = 0;
    const auto counted = [&](const char* name, const char* help, const char* what) {
        auto* sub = fault->add_subcommand(name, help);
        sub->add_option(what, count, what)->required();
        sub->callback([&words, &count, name] { words = {"fault", name, std::to_string(count)}; });
    };
    counted("after", "answer the next N commands normally before the other faults start", "N");
    counted("drop", "lose the next N replies", "N");
    counted("wrong-code", "give the next N replies another command code", "N");
    counted("short", "cut the next N replies to their header", "N");
    counted("corrupt", "change a data byte of the next N replies after their checksum was made", "N");
    counted("latency", "delay every report this many microseconds each way", "MICROSECONDS");
    counted("unplug-after", "pull the keyboard out after N more command reports", "N");
    std::string status;
    auto* statusCommand = fault->add_subcommand("status", "refuse the next N commands with status ff or fe");
    statusCommand->add_option("status", status, "ff or fe")->required()->check(CLI::IsMember({"ff", "fe"}));
    statusCommand->add_option("N", count, "N")->required();
    statusCommand->callback([&] { words = {"fault", "status", status, std::to_string(count)}; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // A word that is neither a command nor an option: named, rather than
        // reported as a missing command.
        if (e.get_exit_code() != 0 && app.get_subcommands().empty() && !app.remaining().empty()) {
            const std::string word = app.remaining().front();
            std::cerr << (word.starts_with('-') ? "unknown option " : "unknown command ") << word
                      << "\nRun with --help for more information.\n";
            return static_cast<int>(CLI::ExitCodes::ExtrasError);
        }
        return app.exit(e);
    }

    if (kernel->parsed()) {
        if (!nodeMode.empty()) kernelOptions.nodeMode = static_cast<unsigned>(std::stoul(nodeMode, nullptr, 8));
        return RunInMockKernel(kernelOptions, argv, std::cerr);
    }

    // Only a mocked kernel has more than one keyboard to tell apart.
    if (keyboardNumber != 1) words.insert(words.begin(), {"keyboard", std::to_string(keyboardNumber)});
    const std::filesystem::path socket =
        socketPath.empty() ? DefaultControlSocketPath() : std::filesystem::path(socketPath);
    auto sent = SendControlCommand(socket, words);
    if (!sent) {
        std::cerr << "kestrune-emu: " << sent.error() << "\n";
        return 1;
    }
    if (*sent) {
        Print(**sent);
        return (*sent)->ok ? 0 : 1;
    }
    if (!IsFileCommand(words[0])) {
        std::cerr << "kestrune-emu: no running emulator at " << socket.string()
                  << "; without one only plug, unplug, dump and reset work (on the state file)"
                  << (words[0] == "nodes" ? "; nodes needs a running `kestrune-emu kernel`" : "") << "\n";
        return 1;
    }
    return RunOnFile(statePath.empty() ? DefaultStateFilePath() : std::filesystem::path(statePath), words);
}
