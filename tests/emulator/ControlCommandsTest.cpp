#include "emulator/ControlCommands.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>

namespace kestrune::emulator {
namespace {

TEST(ControlCommands, FaultCommandsSetThePlan)
{
    struct Case {
        std::vector<std::string> words;
        std::function<bool(const FaultPlan&)> holds;
    };
    const std::vector<Case> cases = {
        {{"fault", "drop", "3"}, [](const FaultPlan& p) { return p.dropReplies == 3; }},
        {{"fault", "wrong-code", "2"}, [](const FaultPlan& p) { return p.wrongCodeReplies == 2; }},
        {{"fault", "short", "5"}, [](const FaultPlan& p) { return p.shortReplies == 5; }},
        {{"fault", "corrupt", "6"}, [](const FaultPlan& p) { return p.corruptReplies == 6; }},
        {{"fault", "status", "fe", "4"},
         [](const FaultPlan& p) { return p.errorReplies == 4 && p.errorStatus == wire::kStatusErrorFE; }},
        {{"fault", "status", "ff", "1"},
         [](const FaultPlan& p) { return p.errorReplies == 1 && p.errorStatus == wire::kStatusErrorFF; }},
        {{"fault", "latency", "0"}, [](const FaultPlan& p) { return p.latency.count() == 0; }},
        {{"fault", "after", "9"}, [](const FaultPlan& p) { return p.heldReports == 9; }},
        {{"fault", "unplug-after", "7"}, [](const FaultPlan& p) { return p.unplugAfterReports == 7u; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words[1]);
        EmulatedKeyboard keyboard;
        const ControlReply reply = RunControlCommand(keyboard, c.words);
        EXPECT_TRUE(reply.ok) << reply.text;
        EXPECT_TRUE(c.holds(keyboard.Faults())) << reply.text;
        EXPECT_TRUE(RunControlCommand(keyboard, {"fault", "clear"}).ok);
        EXPECT_EQ(keyboard.Faults(), FaultPlan{});
    }
}

TEST(ControlCommands, BadWordsAreRefusedAndChangeNothing)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"jump"},
        {"plug", "now"},
        {"fault"},
        {"fault", "drop"},
        {"fault", "drop", "-1"},
        {"fault", "drop", "2x"},
        {"fault", "drop", "99999999999"},
        {"fault", "status", "fd", "1"},
        {"fault", "status", "1"},
        {"fault", "unplug-after", "0"},
        {"fault", "explode", "1"},
    };
    for (const auto& words : cases) {
        SCOPED_TRACE(::testing::PrintToString(words));
        EmulatedKeyboard keyboard;
        const ControlReply reply = RunControlCommand(keyboard, words);
        EXPECT_FALSE(reply.ok);
        EXPECT_FALSE(reply.text.empty());
        EXPECT_EQ(keyboard.Faults(), FaultPlan{});
        EXPECT_EQ(keyboard.State(), FactoryKeyboardState());
    }
}

TEST(ControlCommands, PlugResetAndDumpWorkOnTheModel)
{
    EmulatedKeyboard keyboard;
    KeyboardState changed = FactoryKeyboardState();
    changed.lighting[0] = 7;
    ASSERT_TRUE(keyboard.SetState(changed));
    ASSERT_TRUE(RunControlCommand(keyboard, {"unplug"}).ok);
    EXPECT_FALSE(RunControlCommand(keyboard, {"bank-key"}).ok) << "no key reports while unplugged";

    ASSERT_TRUE(RunControlCommand(keyboard, {"reset"}).ok);
    KeyboardState expected = FactoryKeyboardState();
    expected.attached = false;
    EXPECT_EQ(keyboard.State(), expected) << "reset restores the memory and leaves the cable out";

    ASSERT_TRUE(RunControlCommand(keyboard, {"plug"}).ok);
    EXPECT_TRUE(RunControlCommand(keyboard, {"record-start"}).ok);
    const ControlReply dump = RunControlCommand(keyboard, {"dump"});
    ASSERT_TRUE(dump.ok);
    EXPECT_EQ(nlohmann::json::parse(dump.text)["attached"], true);
    EXPECT_EQ(KeyboardStateFromJson(dump.text).value(), keyboard.State());
}

TEST(ControlCommands, FaultTextArmsThePlanOrRefusesItWhole)
{
    FaultPlan several;
    several.dropReplies = 3;
    several.errorReplies = 1;
    several.errorStatus = wire::kStatusErrorFE;
    several.wrongCodeReplies = 2;
    several.unplugAfterReports = 5;
    several.latency = std::chrono::microseconds(0);
    several.heldReports = 11;
    FaultPlan later;
    later.dropReplies = 1;
    FaultPlan ff;
    ff.errorReplies = 2;

    const std::vector<std::pair<std::string, FaultPlan>> good = {
        {"after 11; drop 3;status fe 1; wrong-code 2 ;unplug-after 5;latency 0", several},
        {"  fault drop 4 ; drop 1 ", later}, // a later setting wins; "fault" may lead
        {"status ff 2", ff},
    };
    for (const auto& [text, expected] : good) {
        SCOPED_TRACE(text);
        const auto plan = ParseFaultPlan(text);
        ASSERT_TRUE(plan) << plan.error();
        EXPECT_EQ(*plan, expected);
    }

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"", "found nothing"},
        {" ; ", "found an empty one"},
        {"drop 3;", "found an empty one"},
        {"drop 3;; drop 1", "found an empty one"},
        {"drop", "found \"drop\""},
        {"drop 3 4", "found \"drop 3 4\""},
        {"drop three", "found \"three\""},
        {"drop -1", "found \"-1\""},
        {"status fd 1", "found \"fd\""},
        {"status 1", "found \"status 1\""},
        {"unplug-after 0", "found 0"},
        {"clear", "found \"clear\""},
        {"drop 1; explode 2", "found \"explode 2\""},
    };
    for (const auto& [text, found] : bad) {
        SCOPED_TRACE(text);
        const auto plan = ParseFaultPlan(text);
        ASSERT_FALSE(plan);
        EXPECT_NE(plan.error().find("expected"), std::string::npos) << plan.error();
        EXPECT_NE(plan.error().find(found), std::string::npos) << plan.error();
    }
}

} // namespace
} // namespace kestrune::emulator
