#include "emulator/ControlCommands.h"

#include <charconv>
#include <limits>
#include <sstream>

namespace kestrune::emulator {

namespace {

std::optional<unsigned> ParseCount(const std::string& word)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || word.empty()) return std::nullopt;
    return value;
}

ControlReply Fail(std::string text)
{
    return {false, std::move(text)};
}
ControlReply Done(std::string text = {})
{
    return {true, std::move(text)};
}

std::string DescribeFaults(const FaultPlan& plan)
{
    std::ostringstream out;
    out << "drop " << plan.dropReplies << "\nwrong-code " << plan.wrongCodeReplies << "\nstatus "
        << (plan.errorStatus == wire::kStatusErrorFE ? "fe " : "ff ") << plan.errorReplies << "\nlatency "
        << plan.latency.count() << "\nunplug-after ";
    if (plan.unplugAfterReports)
        out << *plan.unplugAfterReports;
    else
        out << "off";
    out << "\n";
    return out.str();
}

ControlReply RunFault(EmulatedKeyboard& keyboard, const std::vector<std::string>& words)
{
    const std::string usage = "expected: fault show | clear | drop N | wrong-code N | status ff|fe N | latency "
                              "MICROSECONDS | unplug-after N";
    if (words.size() < 2) return Fail(usage);
    const std::string& what = words[1];
    FaultPlan plan = keyboard.Faults();
    if (what == "show" && words.size() == 2) return Done(DescribeFaults(plan));
    if (what == "clear" && words.size() == 2) {
        keyboard.SetFaults(FaultPlan{});
        return Done(DescribeFaults(keyboard.Faults()));
    }
    const std::size_t countAt = what == "status" ? 3 : 2;
    if (words.size() != countAt + 1) return Fail(usage);
    const auto count = ParseCount(words[countAt]);
    if (!count) return Fail("expected a whole number of 0 or more, found \"" + words[countAt] + "\"");
    if (what == "drop") {
        plan.dropReplies = *count;
    } else if (what == "wrong-code") {
        plan.wrongCodeReplies = *count;
    } else if (what == "status") {
        if (words[2] == "ff")
            plan.errorStatus = wire::kStatusErrorFF;
        else if (words[2] == "fe")
            plan.errorStatus = wire::kStatusErrorFE;
        else
            return Fail("expected the status ff or fe, found \"" + words[2] + "\"");
        plan.errorReplies = *count;
    } else if (what == "latency") {
        plan.latency = std::chrono::microseconds(*count);
    } else if (what == "unplug-after") {
        if (*count == 0) return Fail("expected at least 1 report before the unplug, found 0");
        plan.unplugAfterReports = *count;
    } else {
        return Fail(usage);
    }
    keyboard.SetFaults(plan);
    return Done(DescribeFaults(plan));
}

} // namespace

bool IsFileCommand(const std::string& command)
{
    return command == "plug" || command == "unplug" || command == "dump" || command == "reset";
}

ControlReply RunControlCommand(EmulatedKeyboard& keyboard, const std::vector<std::string>& words)
{
    if (words.empty()) return Fail("expected a command, found nothing");
    const std::string& command = words[0];
    if (command == "fault") return RunFault(keyboard, words);
    if (words.size() != 1) return Fail("the command \"" + command + "\" takes no arguments");

    if (command == "plug") {
        keyboard.Plug();
        return Done();
    }
    if (command == "unplug") {
        keyboard.Unplug();
        return Done();
    }
    if (command == "dump") return Done(KeyboardStateToJson(keyboard.State()));
    if (command == "reset") {
        KeyboardState state = FactoryKeyboardState();
        state.attached = keyboard.State().attached;
        if (auto set = keyboard.SetState(std::move(state)); !set) return Fail(set.error());
        return Done();
    }

    bool (EmulatedKeyboard::*key)() = nullptr;
    if (command == "bank-key") key = &EmulatedKeyboard::PressBankKey;
    if (command == "lighting-changed") key = &EmulatedKeyboard::ChangeLightingOnKeyboard;
    if (command == "record-start") key = &EmulatedKeyboard::StartOnboardRecording;
    if (command == "record-stop") key = &EmulatedKeyboard::StopOnboardRecording;
    if (!key) return Fail("unknown command \"" + command + "\"");
    if (!(keyboard.*key)()) return Fail("the keyboard is unplugged; plug it in first");
    return Done();
}

} // namespace kestrune::emulator
