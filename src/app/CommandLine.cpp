#include "app/CommandLine.h"

#include <algorithm>
#include <cctype>

namespace kestrune {

namespace {

bool SameWord(const std::string& argument, std::string_view word)
{
    return argument.size() == word.size() &&
           std::equal(argument.begin(), argument.end(), word.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine line;
    for (const std::string& argument : arguments) {
        if (SameWord(argument, "/Start") || argument == "--start") {
            line.start = true;
        } else if (SameWord(argument, "/Kill") || argument == "--kill") {
            line.kill = true;
        } else if (argument == "--firmware-update") {
            line.firmwareUpdate = true;
        } else if (argument == "--emulator") {
            line.emulator = true;
        } else if (argument == "--help" || argument == "-h") {
            line.help = true;
        } else if (argument == "--version") {
            line.version = true;
        } else {
            line.ignored.push_back(argument);
        }
    }
    return line;
}

std::string CommandLineUsage(const std::string& programName)
{
    return "Usage: " + programName +
           " [--start] [--kill] [--firmware-update] [--emulator]\n"
           "Configures the Kestrune keyboard from the tray. A second start shows the\n"
           "window of the program that is already running and ends.\n"
           "\n"
           "  --start, /Start   stay in the tray when the keyboard is first attached\n"
           "  --kill, /Kill     end the running program (starts normally when none runs)\n"
           "  --firmware-update open the firmware update dialog (of the running program\n"
           "                    when one runs)\n"
           "  --emulator        use the keyboard emulator instead of the keyboard\n"
           "  --help            show this text and end\n"
           "  --version         show the version and end\n"
           "\n"
           "/Start and /Kill are taken in any letter case. The environment variable\n"
           "KESTRUNE_DEVICE_LIBRARY names another device library.\n";
}

} // namespace kestrune
