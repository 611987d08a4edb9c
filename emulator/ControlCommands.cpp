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
    out << "after " << plan.heldReports << "\ndrop " << plan.dropReplies << "\nwrong-code " << plan.wrongCodeReplies
        << "\nshort " << plan.shortReplies << "\ncorrupt " << plan.corruptReplies << "\nstatus " << (plan.errorStatus == wire::kStatusErrorFE ? "fe " : "ff ") << plan.errorReplies
        << "\nlatency " << plan.latency.count() << "\nunplug-after ";
    if (plan.unplugAfterReports)
        out << *plan.unplugAfterReports;
    else
        out << "off";
    out << "\n";
    return out.str();
}

const char* const kFaultUsage =
    "expected: fault show | clear | after N | drop N | wrong-code N | short N | corrupt N | status ff|fe N | "
    "latency MICROSECONDS | unplug-after N";

// One fault setting (the words after "fault") onto the plan; the plan is
// untouched when the words are refused.
Status ApplyFaultSetting(FaultPlan& plan, const std::vector<std::string>& words)
{
    const std::string expected = "expected after N | drop N | wrong-code N | short N | corrupt N | status ff|fe N | "
                                 "latency MICROSECONDS | unplug-after N";
    std::string found;
    for (const auto& word : words) found += (found.empty() ? "" : " ") + word;
    if (words.empty()) return Error{expected + ", found nothing"};
    const std::string& what = words[0];
    if (what != "after" && what != "drop" && what != "wrong-code" && what != "short" && what != "corrupt" &&
        what != "status" && what != "latency" && what != "unplug-after")
        return Error{expected + ", found \"" + found + "\""};
    const std::size_t countAt = what == "status" ? 2 : 1;
    if (words.size() != countAt + 1) return Error{expected + ", found \"" + found + "\""};
    const auto count = ParseCount(words[countAt]);
    if (!count) return Error{"expected a whole number of 0 or more, found \"" + words[countAt] + "\""};
    FaultPlan next = plan;
    if (what == "after") {
        next.heldReports = *count;
    } else if (what == "drop") {
        next.dropReplies = *count;
    } else if (what == "wrong-code") {
        next.wrongCodeReplies = *count;
    } else if (what == "short") {
        next.shortReplies = *count;
    } else if (what == "corrupt") {
        next.corruptReplies = *count;
    } else if (what == "status") {
        if (words[1] == "ff")
            next.errorStatus = wire::kStatusErrorFF;
        else if (words[1] == "fe")
            next.errorStatus = wire::kStatusErrorFE;
        else
            return Error{"expected the status ff or fe, found \"" + words[1] + "\""};
        next.errorReplies = *count;
    } else if (what == "latency") {
        next.latency = std::chrono::microseconds(*count);
    } else {
        if (*count == 0) return Error{"expected at least 1 report before the unplug, found 0"};
        next.unplugAfterReports = *count;
    }
    plan = next;
    return Status::Ok();
}

ControlReply RunFault(EmulatedKeyboard& keyboard, const std::vector<std::string>& words)
{
    if (words.size() < 2) return Fail(kFaultUsage);
    const std::string& what = words[1];
    FaultPlan plan = keyboard.Faults();
    if (what == "show" && words.size() == 2) return Done(DescribeFaults(plan));
    if (what == "clear" && words.size() == 2) {
        keyboard.SetFaults(FaultPlan{});
        return Done(DescribeFaults(keyboard.Faults()));
    }
    if (what == "show" || what == "clear") return Fail(kFaultUsage);
    const std::vector<std::string> setting(words.begin() + 1, words.end());
    if (auto applied = ApplyFaultSetting(plan, setting); !applied) return Fail(applied.error());
    keyboard.SetFaults(plan);
    return Done(DescribeFaults(plan));
}

} // namespace

std::vector<std::string> SplitWords(const std::string& text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::string HexBytes(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        if (!text.empty()) text.push_back(' ');
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

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
    if (command == "received") {
        std::string text;
        for (const Report& report : keyboard.ReceivedReports()) text += HexBytes(report) + "\n";
        return Done(text);
    }
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

Result<FaultPlan> ParseFaultPlan(const std::string& text, FaultPlan base)
{
    if (SplitWords(text).empty()) return Error{"expected one or more faults separated by ';', found nothing"};
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(';', start);
        const std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::vector<std::string> words = SplitWords(part);
        if (words.empty()) return Error{"expected a fault between the ';', found an empty one"};
        if (words[0] == "fault") words.erase(words.begin());
        if (auto applied = ApplyFaultSetting(base, words); !applied)
            return Error{"in \"" + part + "\": " + applied.error()};
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return base;
}

} // namespace kestrune::emulator
