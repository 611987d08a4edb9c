// Any bytes as control commands for a running emulator and as the fault list
// of KESTRUNE_EMULATOR_FAULTS: every command gets an answer, the keyboard's
// state keeps its rules whatever the commands did, and a fault list that
// parses gives the plan "fault show" describes.
//
// Input: lines of blank-separated words, each line one command; the whole
// input is also tried as a fault list.

#include "emulator/ControlCommands.h"
#include "emulator/EmulatedKeyboard.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrune::emulator;
    const std::string input(reinterpret_cast<const char*>(data), size);

    EmulatedKeyboard keyboard;
    std::istringstream lines(input);
    std::string line;
    for (int n = 0; n < 16 && std::getline(lines, line); ++n) {
        std::istringstream wordStream(line);
        std::vector<std::string> words;
        for (std::string word; wordStream >> word;) words.push_back(word);
        const ControlReply reply = RunControlCommand(keyboard, words);
        if (!reply.ok && reply.text.empty()) std::abort(); // a refusal always says why
        if (!CheckKeyboardState(keyboard.State())) std::abort();
    }

    auto plan = ParseFaultPlan(input);
    if (!plan) {
        if (plan.error().empty()) std::abort();
        return 0;
    }
    EmulatedKeyboard planned;
    planned.SetFaults(*plan);
    const ControlReply shown = RunControlCommand(planned, {"fault", "show"});
    std::string list = shown.text;
    for (char& c : list) c = c == '\n' ? ';' : c;
    if (list.ends_with(';')) list.pop_back();
    // "unplug-after off" is how show says there is none; the list has no word for it.
    if (const auto off = list.find(";unplug-after off"); off != std::string::npos) list.erase(off);
    auto again = ParseFaultPlan(list);
    if (!again) std::abort();
    FaultPlan expected = *plan;
    if (!expected.unplugAfterReports) again->unplugAfterReports.reset();
    if (!(*again == expected)) std::abort();
    return 0;
}
