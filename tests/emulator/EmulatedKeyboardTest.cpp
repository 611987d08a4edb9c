#include "emulator/EmulatedKeyboard.h"

#include "common/LittleEndian.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>

namespace kestrune::emulator {
namespace {

using wire::Command;

class RecordingListener : public KeyboardListener {
public:
    void OnPresenceChanged(bool present) override { presence.push_back(present); }
    void OnConsumerReport(std::span<const std::uint8_t> report) override
    {
        consumer.emplace_back(report.begin(), report.end());
    }
    void OnStateChanged() override { ++stateChanges; }

    std::vector<bool> presence;
    std::vector<std::vector<std::uint8_t>> consumer;
    int stateChanges = 0;
};

// Every region filled with a pattern of its own, so a read from the wrong
// region or offset cannot pass by accident.
KeyboardState PatternedState()
{
    KeyboardState state = FactoryKeyboardState();
    std::iota(state.lighting.begin(), state.lighting.end(), std::uint8_t{0x40});
    for (std::size_t p = 0; p < state.keyTables.size(); ++p)
        for (std::size_t i = 0; i < wire::kKeyTableSize; ++i)
            state.keyTables[p][i] = static_cast<std::uint8_t>(i * 7 + p * 31);
    for (std::size_t i = 0; i < state.macroArea.size(); ++i) state.macroArea[i] = static_cast<std::uint8_t>(i * 3 + 1);
    for (std::size_t i = 0; i < state.keyColours.size(); ++i) state.keyColours[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    for (std::size_t i = 0; i < 10; ++i) state.settings[i] = static_cast<std::uint8_t>(0xA0 + i);
    state.settings[wire::kSettingsActiveProfile] = 1;
    return state;
}

class EmulatedKeyboardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(keyboard.SetState(PatternedState()));
        keyboard.SetListener(&listener);
    }

    // Sends one command and expects exactly one well-formed reply to it.
    Report Exchange(const Report& request)
    {
        const auto replies = keyboard.HandleOutputReport(request);
        EXPECT_EQ(replies.size(), 1u);
        if (replies.empty()) return {};
        const Report& reply = replies.front();
        EXPECT_EQ(reply[wire::kOffReportId], wire::kReportId);
        EXPECT_EQ(ReadLe16(reply, wire::kOffChecksum), CommandChecksum(reply)) << "reply checksum";
        return reply;
    }

    Report Exchange(Command command, std::size_t length, std::size_t address,
                    std::span<const std::uint8_t> payload = {})
    {
        return Exchange(MakeCommandReport(command, static_cast<std::uint8_t>(length),
                                          static_cast<std::uint16_t>(address), payload));
    }

    EmulatedKeyboard keyboard;
    RecordingListener listener;
};

std::vector<std::uint8_t> PayloadOf(const Report& reply, std::size_t length)
{
    return {reply.begin() + wire::kOffPayload, reply.begin() + wire::kOffPayload + static_cast<std::ptrdiff_t>(length)};
}

template <typename Bytes> std::vector<std::uint8_t> Slice(const Bytes& bytes, std::size_t offset, std::size_t length)
{
    return {bytes.begin() + static_cast<std::ptrdiff_t>(offset),
            bytes.begin() + static_cast<std::ptrdiff_t>(offset + length)};
}

struct RegionCase {
    const char* name;
    Command read;
    Command write; // read itself for the read-only factory table
    std::size_t address;
    std::size_t length;
    std::function<std::vector<std::uint8_t>(const KeyboardState&)> expected;
};

std::vector<RegionCase> RegionCases()
{
    const std::size_t capacity = MacroCapacityBytes(FactoryKeyboardState().settings);
    return {
        {"settings", Command::ReadSettings, Command::WriteSettings, 0, wire::kSettingsRecordSize,
         [](const KeyboardState& s) { return Slice(s.settings, 0, wire::kSettingsRecordSize); }},
        {"lighting", Command::ReadMemory, Command::WriteMemory, 10, 20,
         [](const KeyboardState& s) { return Slice(s.lighting, 10, 20); }},
        {"lighting tail", Command::ReadMemory, Command::WriteMemory, 0, wire::kMaxPayload,
         [](const KeyboardState& s) { return Slice(s.lighting, 0, wire::kMaxPayload); }},
        {"key table of profile 2, last chunk", Command::ReadKeyTable, Command::WriteKeyTable,
         2 * wire::kKeyTableProfileStride + 448, 32,
         [](const KeyboardState& s) { return Slice(s.keyTables[2], 448, 32); }},
        {"key table of profile 1", Command::ReadKeyTable, Command::WriteKeyTable, wire::kKeyTableProfileStride + 56, 56,
         [](const KeyboardState& s) { return Slice(s.keyTables[1], 56, 56); }},
        {"end of the macro area", Command::ReadMacroArea, Command::WriteMacroArea, capacity - 56, 56,
         [capacity](const KeyboardState& s) { return Slice(s.macroArea, capacity - 56, 56); }},
        {"factory key table", Command::ReadDefaultKeyTable, Command::ReadDefaultKeyTable, 448, 32,
         [](const KeyboardState& s) { return Slice(s.defaultKeyTable, 448, 32); }},
        {"colours of lights 160 and 161", Command::ReadColours, Command::WriteColours, 3 * 160, 6,
         [](const KeyboardState& s) { return Slice(s.keyColours, 480, 6); }},
    };
}

TEST_F(EmulatedKeyboardTest, ReadsAndWritesEveryRegionAtItsAddress)
{
    for (const auto& c : RegionCases()) {
        SCOPED_TRACE(c.name);
        const Report reply = Exchange(c.read, c.length, c.address);
        EXPECT_EQ(reply[wire::kOffCommand], static_cast<std::uint8_t>(c.read));
        EXPECT_EQ(reply[wire::kOffLength], c.length);
        EXPECT_EQ(ReadLe16(reply, wire::kOffAddress), c.address);
        EXPECT_EQ(reply[wire::kOffStatus], wire::kStatusOk);
        EXPECT_EQ(PayloadOf(reply, c.length), c.expected(keyboard.State()));
        EXPECT_TRUE(std::all_of(reply.begin() + wire::kOffPayload + static_cast<std::ptrdiff_t>(c.length), reply.end(),
                                [](std::uint8_t b) { return b == 0; }))
            << "bytes past the payload are 0";

        if (c.write == c.read) continue;
        std::vector<std::uint8_t> data(c.length);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xC0 ^ i);
        data[wire::kSettingsActiveProfile % c.length] = 2; // stays a valid profile for the settings case
        const KeyboardState before = keyboard.State();
        const int changesBefore = listener.stateChanges;
        const Report written = Exchange(c.write, c.length, c.address, data);
        EXPECT_EQ(written[wire::kOffCommand], static_cast<std::uint8_t>(c.write));
        EXPECT_EQ(written[wire::kOffStatus], wire::kStatusOk);
        const KeyboardState after = keyboard.State();
        if (c.write == Command::WriteSettings)
            data[wire::kSettingsMacroCapacity] = before.settings[wire::kSettingsMacroCapacity];
        EXPECT_EQ(c.expected(after), data);
        EXPECT_EQ(listener.stateChanges, changesBefore + 1);
        EXPECT_EQ(PayloadOf(Exchange(c.read, c.length, c.address), c.length), data);
    }
}

TEST_F(EmulatedKeyboardTest, ChunkedKeyTableWriteTouchesOnlyItsProfile)
{
    const KeyboardState before = keyboard.State();
    KeyTableBytes table{};
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(255 - i % 251);
    for (std::size_t offset = 0; offset < table.size(); offset += wire::kMaxPayload) {
        const std::size_t n = std::min(wire::kMaxPayload, table.size() - offset);
        const Report reply = Exchange(Command::WriteKeyTable, n, wire::kKeyTableProfileStride + offset,
                                      std::span(table).subspan(offset, n));
        ASSERT_EQ(reply[wire::kOffStatus], wire::kStatusOk) << "offset " << offset;
    }
    const KeyboardState after = keyboard.State();
    EXPECT_EQ(after.keyTables[1], table);
    EXPECT_EQ(after.keyTables[0], before.keyTables[0]);
    EXPECT_EQ(after.keyTables[2], before.keyTables[2]);
    EXPECT_EQ(after.macroArea, before.macroArea);
}

TEST_F(EmulatedKeyboardTest, RefusesWhatLiesOutsideARegionAndChangesNothing)
{
    const std::size_t capacity = MacroCapacityBytes(keyboard.State().settings);
    struct Case {
        const char* name;
        Report request;
        std::uint8_t status;
    };
    Report badChecksum = MakeCommandReport(Command::WriteMemory, 1, 0, std::vector<std::uint8_t>{9});
    badChecksum[wire::kOffChecksum] ^= 1;
    Report unknown = MakeCommandReport(static_cast<Command>(0x20), 0, 0);
    const std::vector<std::uint8_t> bytes(56, 0x11);
    const std::vector<Case> cases = {
        {"settings past the record", MakeCommandReport(Command::ReadSettings, 1, 28), wire::kStatusErrorFF},
        {"settings running over", MakeCommandReport(Command::WriteSettings, 10, 20, bytes), wire::kStatusErrorFE},
        {"lighting longer than a report", MakeCommandReport(Command::ReadMemory, 57, 0), wire::kStatusErrorFE},
        {"lighting past the block", MakeCommandReport(Command::WriteMemory, 1, 56, bytes), wire::kStatusErrorFF},
        {"key table of profile 3", MakeCommandReport(Command::WriteKeyTable, 8, 3 * 512, bytes), wire::kStatusErrorFF},
        {"gap between key tables", MakeCommandReport(Command::ReadKeyTable, 8, 480), wire::kStatusErrorFF},
        {"key table chunk running over", MakeCommandReport(Command::WriteKeyTable, 56, 512 + 448, bytes),
         wire::kStatusErrorFE},
        {"macro area past the capacity",
         MakeCommandReport(Command::WriteMacroArea, 1, static_cast<std::uint16_t>(capacity), bytes),
         wire::kStatusErrorFF},
        {"macro area running over",
         MakeCommandReport(Command::WriteMacroArea, 56, static_cast<std::uint16_t>(capacity - 8), bytes),
         wire::kStatusErrorFE},
        {"factory table past its end", MakeCommandReport(Command::ReadDefaultKeyTable, 8, 480), wire::kStatusErrorFF},
        {"colours running over", MakeCommandReport(Command::WriteColours, 9, 480, bytes), wire::kStatusErrorFE},
        {"wrong checksum", badChecksum, wire::kStatusErrorFF},
        {"unknown command", unknown, wire::kStatusErrorFF},
    };
    const KeyboardState before = keyboard.State();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Report reply = Exchange(c.request);
        EXPECT_EQ(reply[wire::kOffCommand], c.request[wire::kOffCommand]);
        EXPECT_EQ(reply[wire::kOffStatus], c.status);
    }
    EXPECT_EQ(keyboard.State(), before);
    EXPECT_EQ(listener.stateChanges, 0);
}

TEST_F(EmulatedKeyboardTest, SettingsWriteKeepsTheCapacityAndRefusesAProfileAboveTwo)
{
    auto settings = keyboard.State().settings;
    settings[wire::kSettingsActiveProfile] = 2;
    settings[wire::kSettingsMacroCapacity] = 0x7F;
    EXPECT_EQ(Exchange(Command::WriteSettings, settings.size(), 0, settings)[wire::kOffStatus], wire::kStatusOk);
    EXPECT_EQ(keyboard.State().settings[wire::kSettingsActiveProfile], 2);
    EXPECT_EQ(keyboard.State().settings[wire::kSettingsMacroCapacity], kFactoryMacroCapacityUnits);

    settings[wire::kSettingsActiveProfile] = 3;
    EXPECT_EQ(Exchange(Command::WriteSettings, settings.size(), 0, settings)[wire::kOffStatus], wire::kStatusErrorFE);
    EXPECT_EQ(keyboard.State().settings[wire::kSettingsActiveProfile], 2);
}

TEST_F(EmulatedKeyboardTest, UpdateBracketsAnswerSuccess)
{
    for (Command c : {Command::BeginUpdate, Command::EndUpdate}) {
        const Report reply = Exchange(c, 0, 0);
        EXPECT_EQ(reply[wire::kOffCommand], static_cast<std::uint8_t>(c));
        EXPECT_EQ(reply[wire::kOffStatus], wire::kStatusOk);
    }
    EXPECT_EQ(listener.stateChanges, 0);
}

TEST_F(EmulatedKeyboardTest, BootRequestDropsTheKeyboardOffTheBusUntilItLeavesBootMode)
{
    Report boot{};
    boot[wire::kOffReportId] = wire::kReportId;
    boot[wire::kOffCommand] = 0xEE;
    boot[wire::kOffLength] = 0xEE;
    EXPECT_TRUE(keyboard.HandleOutputReport(boot).empty());
    EXPECT_TRUE(keyboard.InBootMode());
    EXPECT_FALSE(keyboard.Present());
    EXPECT_EQ(listener.presence, std::vector<bool>{false});
    EXPECT_TRUE(keyboard.HandleOutputReport(MakeCommandReport(Command::BeginUpdate, 0, 0)).empty());
    EXPECT_TRUE(keyboard.State().attached) << "the cable stays in";

    keyboard.LeaveBootMode();
    EXPECT_TRUE(keyboard.Present());
    EXPECT_EQ(listener.presence, (std::vector<bool>{false, true}));
    EXPECT_EQ(Exchange(Command::BeginUpdate, 0, 0)[wire::kOffStatus], wire::kStatusOk);
    EXPECT_EQ(keyboard.ReceivedReports().front(), boot);
}

TEST_F(EmulatedKeyboardTest, TakesNoReportsWhenAbsentOrNotACommand)
{
    Report notCommand = MakeCommandReport(Command::ReadSettings, 28, 0);
    notCommand[wire::kOffReportId] = 5;
    EXPECT_TRUE(keyboard.HandleOutputReport(notCommand).empty());
    EXPECT_TRUE(keyboard.HandleOutputReport(std::vector<std::uint8_t>(65, 4)).empty());

    keyboard.Unplug();
    EXPECT_EQ(listener.presence, std::vector<bool>{false});
    EXPECT_FALSE(keyboard.State().attached);
    EXPECT_TRUE(keyboard.HandleOutputReport(MakeCommandReport(Command::ReadSettings, 28, 0)).empty());
    EXPECT_FALSE(keyboard.WriteBankStatus(std::vector<std::uint8_t>{5, 3}));
    EXPECT_FALSE(keyboard.PressBankKey());
    EXPECT_TRUE(listener.consumer.empty());

    keyboard.Plug();
    keyboard.Plug();
    EXPECT_EQ(listener.presence, (std::vector<bool>{false, true})) << "only changes are reported";
}

TEST_F(EmulatedKeyboardTest, ShortReportIsPaddedWithZeros)
{
    const Report full = MakeCommandReport(Command::ReadSettings, 28, 0);
    const Report reply = keyboard.HandleOutputReport(std::span(full).first(8)).at(0);
    EXPECT_EQ(reply[wire::kOffStatus], wire::kStatusOk);
    EXPECT_EQ(PayloadOf(reply, 28), Slice(keyboard.State().settings, 0, 28));
}

TEST_F(EmulatedKeyboardTest, FaultsAffectTheNextRepliesOnly)
{
    const std::vector<std::uint8_t> colour = {1, 2, 3};
    const auto write = MakeCommandReport(Command::WriteColours, 3, 0, colour);
    const auto readBack = [&] { return Slice(keyboard.State().keyColours, 0, 3); };

    struct Case {
        const char* name;
        FaultPlan plan;
        bool replied;
        std::uint8_t code;
        std::uint8_t status;
        bool applied;
    };
    FaultPlan drop;
    drop.dropReplies = 1;
    FaultPlan wrongCode;
    wrongCode.wrongCodeReplies = 1;
    FaultPlan errorFE;
    errorFE.errorReplies = 1;
    errorFE.errorStatus = wire::kStatusErrorFE;
    FaultPlan errorFF;
    errorFF.errorReplies = 1;
    FaultPlan dropBeatsError = drop;
    dropBeatsError.errorReplies = 1;

    const std::uint8_t code = static_cast<std::uint8_t>(Command::WriteColours);
    const std::vector<Case> cases = {
        {"lost reply", drop, false, code, 0, true},
        {"wrong code", wrongCode, true, static_cast<std::uint8_t>(code ^ 0x80), 0, true},
        {"status FE", errorFE, true, code, wire::kStatusErrorFE, false},
        {"status FF", errorFF, true, code, wire::kStatusErrorFF, false},
        {"drop comes first", dropBeatsError, false, code, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        keyboard.HandleOutputReport(MakeCommandReport(Command::WriteColours, 3, 0, std::vector<std::uint8_t>{0, 0, 0}));
        keyboard.SetFaults(c.plan);
        const auto replies = keyboard.HandleOutputReport(write);
        ASSERT_EQ(replies.size(), c.replied ? 1u : 0u);
        if (c.replied) {
            EXPECT_EQ(replies[0][wire::kOffCommand], c.code);
            EXPECT_EQ(replies[0][wire::kOffStatus], c.status);
            EXPECT_EQ(ReadLe16(replies[0], wire::kOffChecksum), CommandChecksum(replies[0]));
        }
        EXPECT_EQ(readBack(), c.applied ? colour : std::vector<std::uint8_t>(3, 0));
        // The fault is used up unless a later field of the plan is still pending.
        const auto next = keyboard.HandleOutputReport(write);
        if (c.plan.errorReplies > 0 && c.plan.dropReplies > 0) {
            ASSERT_EQ(next.size(), 1u);
            EXPECT_EQ(next[0][wire::kOffStatus], wire::kStatusErrorFF);
            continue;
        }
        ASSERT_EQ(next.size(), 1u);
        EXPECT_EQ(next[0][wire::kOffCommand], code);
        EXPECT_EQ(next[0][wire::kOffStatus], wire::kStatusOk);
        EXPECT_EQ(readBack(), colour);
    }
}

TEST_F(EmulatedKeyboardTest, HeldReportsComeBeforeTheFaults)
{
    FaultPlan plan;
    plan.heldReports = 2;
    plan.errorReplies = 1;
    plan.errorStatus = wire::kStatusErrorFE;
    plan.dropReplies = 1;
    keyboard.SetFaults(plan);
    const auto begin = MakeCommandReport(Command::BeginUpdate, 0, 0);
    for (int held = 0; held < 2; ++held) {
        const auto replies = keyboard.HandleOutputReport(begin);
        ASSERT_EQ(replies.size(), 1u) << held;
        EXPECT_EQ(replies[0][wire::kOffStatus], wire::kStatusOk) << held;
    }
    EXPECT_TRUE(keyboard.HandleOutputReport(begin).empty()) << "then the drop";
    const auto refused = keyboard.HandleOutputReport(begin);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0][wire::kOffStatus], wire::kStatusErrorFE) << "then the error status";
    EXPECT_EQ(keyboard.HandleOutputReport(begin).at(0)[wire::kOffStatus], wire::kStatusOk) << "all used up";
}

// A short or corrupt reply still comes from a command that ran; only what
// reaches the host is damaged, and a pending reply fault holds off a refusal.
TEST_F(EmulatedKeyboardTest, ShortAndCorruptRepliesDamageOnlyWhatArrives)
{
    FaultPlan plan;
    plan.shortReplies = 1;
    plan.corruptReplies = 1;
    plan.errorReplies = 1;
    keyboard.SetFaults(plan);
    const std::array<std::uint8_t, 3> colour = {9, 8, 7};
    const auto write = MakeCommandReport(Command::WriteColours, 3, 0, colour);
    const auto read = MakeCommandReport(Command::ReadColours, 3, 0);

    const auto cut = keyboard.HandleOutputReport(write);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].length, kShortReplyLength);
    EXPECT_EQ(cut[0].Arrived().size(), kShortReplyLength);
    EXPECT_EQ(cut[0][wire::kOffStatus], wire::kStatusOk);
    EXPECT_EQ(keyboard.State().keyColours[0], 9) << "the write was carried out";

    const auto corrupt = keyboard.HandleOutputReport(read);
    ASSERT_EQ(corrupt.size(), 1u);
    EXPECT_EQ(corrupt[0].length, wire::kReportSize);
    EXPECT_NE(ReadLe16(corrupt[0], wire::kOffChecksum), CommandChecksum(corrupt[0]));
    EXPECT_NE(corrupt[0][wire::kOffPayload], 9) << "a data byte changed";

    EXPECT_EQ(keyboard.HandleOutputReport(read).at(0)[wire::kOffStatus], wire::kStatusErrorFF)
        << "the refusal waited for the reply faults";
    const auto sound = keyboard.HandleOutputReport(read);
    ASSERT_EQ(sound.size(), 1u);
    EXPECT_EQ(ReadLe16(sound[0], wire::kOffChecksum), CommandChecksum(sound[0]));
    EXPECT_EQ(sound[0][wire::kOffPayload], 9);
    EXPECT_EQ(keyboard.Faults(), FaultPlan{});
}

TEST_F(EmulatedKeyboardTest, UnplugsAfterTheAnnouncedNumberOfReports)
{
    FaultPlan plan;
    plan.unplugAfterReports = 2;
    keyboard.SetFaults(plan);
    EXPECT_EQ(keyboard.HandleOutputReport(MakeCommandReport(Command::BeginUpdate, 0, 0)).size(), 1u);
    EXPECT_TRUE(listener.presence.empty());
    EXPECT_EQ(keyboard.HandleOutputReport(MakeCommandReport(Command::EndUpdate, 0, 0)).size(), 1u)
        << "the last report before the cable comes out is still answered";
    EXPECT_EQ(listener.presence, std::vector<bool>{false});
    EXPECT_FALSE(keyboard.State().attached);
    EXPECT_TRUE(keyboard.HandleOutputReport(MakeCommandReport(Command::BeginUpdate, 0, 0)).empty());
    EXPECT_FALSE(keyboard.Faults().unplugAfterReports.has_value());
}

TEST_F(EmulatedKeyboardTest, KeysSendTheirConsumerWords)
{
    struct Case {
        const char* name;
        bool (EmulatedKeyboard::*press)();
        std::uint16_t word;
    };
    const std::vector<Case> cases = {
        {"bank key", &EmulatedKeyboard::PressBankKey, wire::kConsBankKey},
        {"lighting key", &EmulatedKeyboard::ChangeLightingOnKeyboard, wire::kConsLightingChanged},
        {"recording starts", &EmulatedKeyboard::StartOnboardRecording, wire::kConsRecordStart},
        {"recording stops", &EmulatedKeyboard::StopOnboardRecording, wire::kConsRecordStop},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        listener.consumer.clear();
        EXPECT_TRUE((keyboard.*c.press)());
        ASSERT_EQ(listener.consumer.size(), 1u);
        ASSERT_EQ(listener.consumer[0].size(), wire::kConsumerReportSize);
        EXPECT_EQ(ReadLe16(listener.consumer[0], 0), c.word);
    }
}

TEST_F(EmulatedKeyboardTest, LightingKeyStepsThroughTheOfferedEffects)
{
    KeyboardState state = keyboard.State();
    std::fill_n(state.settings.begin() + wire::kSettingsEffectList, wire::kEffectListSlots, 0);
    state.settings[wire::kSettingsEffectList + 0] = 3;
    state.settings[wire::kSettingsEffectList + 4] = 9;
    state.settings[wire::kSettingsEffectList + 13] = 15;
    state.lighting[0] = 9;
    ASSERT_TRUE(keyboard.SetState(state));
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) {
        keyboard.ChangeLightingOnKeyboard();
        seen.push_back(keyboard.State().lighting[0]);
    }
    EXPECT_EQ(seen, (std::vector<int>{15, 3, 9, 15}));
}

TEST_F(EmulatedKeyboardTest, RecordsEveryBankStatusWrite)
{
    EXPECT_TRUE(keyboard.WriteBankStatus(std::vector<std::uint8_t>{0x05, 0x03}));
    EXPECT_TRUE(keyboard.WriteBankStatus(std::vector<std::uint8_t>{0x05, 0x02}));
    EXPECT_FALSE(keyboard.WriteBankStatus(std::vector<std::uint8_t>{0x05}));
    using Status2 = std::array<std::uint8_t, 2>;
    EXPECT_EQ(keyboard.BankStatusWrites(), (std::vector<Status2>{{0x05, 0x03}, {0x05, 0x02}}));
    EXPECT_EQ(keyboard.State().bankStatus, (Status2{0x05, 0x02}));
}

TEST_F(EmulatedKeyboardTest, SetStateRefusesAStateThatCannotRun)
{
    KeyboardState state = keyboard.State();
    state.macroArea.resize(state.macroArea.size() - 1);
    EXPECT_FALSE(keyboard.SetState(state));
    EXPECT_EQ(keyboard.State().macroArea.size(), MacroCapacityBytes(state.settings));

    EXPECT_THROW(EmulatedKeyboard{state}, std::invalid_argument);

    state = keyboard.State();
    state.attached = false;
    ASSERT_TRUE(keyboard.SetState(state));
    EXPECT_EQ(listener.presence, std::vector<bool>{false});
}

TEST(MakeCommandReport, BuildsTheBeginUpdateBytes)
{
    Report expected{};
    expected[0] = 0x04;
    expected[1] = 0x01;
    expected[3] = 0x01;
    EXPECT_EQ(MakeCommandReport(Command::BeginUpdate, 0, 0), expected);
}

} // namespace
} // namespace kestrune::emulator
