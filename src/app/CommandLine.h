#pragma once

// The program's command line. The two words a user has always typed, "/Start"
// and "/Kill", are taken in any letter case; the GNU spellings --start and
// --kill mean the same, and --help and --version answer and end the program.
// Any other argument is ignored with a note on standard error, so a desktop
// launcher that adds arguments of its own cannot stop the program.

#include <string>
#include <vector>

namespace kestrune {

struct CommandLine {
    // The first attach of the keyboard leaves the window hidden.
    bool start = false;
    // Ends a running instance; with none running the program starts normally.
    bool kill = false;
    // Opens the firmware update dialog: of the running instance, else of this one.
    bool firmwareUpdate = false;
    // Binds the keyboard emulator instead of the keyboard.
    bool emulator = false;
    bool help = false;
    bool version = false;
    // Arguments that meant nothing, in order, for the note on standard error.
    std::vector<std::string> ignored;
};

// Reads the arguments after the program name, in order.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// What --help prints, for the program file name given.
std::string CommandLineUsage(const std::string& programName);

} // namespace kestrune
