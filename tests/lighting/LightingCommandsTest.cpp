#include "support/EventsFixture.h"

#include "lighting/Lighting.h"
#include "lighting/LightingWriter.h"

#include <array>
#include <future>
#include <thread>

namespace kestrune::testing {
namespace {

class LightingCommandsTest : public KeyboardFixture {
protected:
    LightingCommandsTest() : lighting(protocol, SettingsFile(folder / "no-such.ini")) {}

    void SetUp() override
    {
        KeyboardFixture::SetUp();
        StartEvents();
    }

    // The memory and colour writes since the mark, as (command, address, bytes).
    std::vector<SentCommand> Writes(std::size_t mark) const
    {
        std::vector<SentCommand> writes;
        const auto sent = SentSince(mark);
        EXPECT_FALSE(sent.empty());
        if (sent.empty()) return writes;
        EXPECT_EQ(sent.front().command, 1) << "every change opens an update";
        EXPECT_EQ(sent.back().command, 2) << "every change closes its update";
        for (const SentCommand& c : sent)
            if (c.command == 6 || c.command == 17) writes.push_back(c);
        return writes;
    }

    Lighting lighting;
};

TEST_F(LightingCommandsTest, SingleFieldWrites)
{
    struct Case {
        const char* name;
        std::function<void(Lighting&)> write;
        std::uint16_t address;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"speed slider 0", [](Lighting& l) { l.WriteSpeed(0); }, 2, {4}},
        {"speed slider 4", [](Lighting& l) { l.WriteSpeed(4); }, 2, {0}},
        {"brightness", [](Lighting& l) { l.WriteBrightness(3); }, 1, {3}},
        {"direction", [](Lighting& l) { l.WriteDirection(1); }, 4, {1}},
        {"trigger", [](Lighting& l) { l.WriteTrigger(1); }, 19, {1}},
        {"rainbow of 12", [](Lighting& l) { l.WriteRainbowFlag(12, 1); }, 28, {1}},
        {"effect 2", [](Lighting& l) { l.WriteEffect(2); }, 0, {2}},
        {"colour of 9", [](Lighting& l) { l.WriteEffectColour(9, MakeColour(1, 2, 3)); }, 5, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t mark = Mark();
        c.write(lighting);
        const auto writes = Writes(mark);
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].command, 6);
        EXPECT_EQ(writes[0].address, c.address);
        EXPECT_EQ(writes[0].payload, c.bytes);
        const auto block = keyboard.State().lighting;
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), block.begin() + c.address));
    }
    EXPECT_EQ(lighting.State().speed, 0); // the last speed write: slider 4
    EXPECT_EQ(lighting.State().trigger, (std::array<std::uint8_t, 2>{0, 1}));
}

TEST_F(LightingCommandsTest, EffectsWithARainbowFlagSendItAgain)
{
    lighting.WriteRainbowFlag(15, 1);
    const std::size_t mark = Mark();
    lighting.WriteEffect(15);
    const auto writes = Writes(mark);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, 0);
    EXPECT_EQ(writes[0].payload, std::vector<std::uint8_t>{15});
    EXPECT_EQ(writes[1].address, 38);
    EXPECT_EQ(writes[1].payload, std::vector<std::uint8_t>{1});
}

TEST_F(LightingCommandsTest, AnEffectColourClearsItsRainbowFlagFirst)
{
    lighting.WriteRainbowFlag(11, 1);
    const std::size_t mark = Mark();
    lighting.WriteEffectColour(11, MakeColour(0x10, 0x20, 0x30));
    const auto writes = Writes(mark);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, 23);
    EXPECT_EQ(writes[0].payload, std::vector<std::uint8_t>{0});
    EXPECT_EQ(writes[1].address, 20);
    EXPECT_EQ(writes[1].payload, (std::vector<std::uint8_t>{0x10, 0x20, 0x30}));
    EXPECT_EQ(lighting.State().RainbowOf(11), 0);
    EXPECT_EQ(lighting.State().ColourOf(EffectColour::D), MakeColour(0x10, 0x20, 0x30));
}

TEST_F(LightingCommandsTest, DefaultsGoOutAsOneWriteOf39Bytes)
{
    const std::size_t mark = Mark();
    lighting.WriteLightingDefaults();
    const auto writes = Writes(mark);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].address, 0);
    // Effect 1, brightness 3, speed 1, direction 0, every colour white, the
    // flags of effects 4 to 14 off, trigger single key, effect 15's flag on.
    const std::vector<std::uint8_t> expected = {0x01, 0x03, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                                                0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                                                0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                                                0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x01};
    EXPECT_EQ(writes[0].payload, expected);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), keyboard.State().lighting.begin()));
    const LightingState state = lighting.State();
    EXPECT_EQ(state.effect, 1);
    EXPECT_EQ(state.brightness, 3);
    EXPECT_EQ(state.RainbowOf(4), 0);
    EXPECT_EQ(state.RainbowOf(15), 1);
    EXPECT_EQ(state.ColourOf(EffectColour::G), kWhite);
}

TEST_F(LightingCommandsTest, KeyColourTablesGoOutInNineParts)
{
    EditState([](emulator::KeyboardState& state) { state.keyColours.fill(0x11); });
    lighting.SetKeyColour(161, MakeColour(7, 8, 9));
    const std::size_t mark = Mark();
    lighting.WriteWhiteKeyColours();
    const auto writes = Writes(mark);
    ASSERT_EQ(writes.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(writes[i].command, 17);
        EXPECT_EQ(writes[i].address, 54 * i);
        EXPECT_EQ(writes[i].payload.size(), 54u);
    }
    const auto colours = keyboard.State().keyColours;
    EXPECT_EQ(colours[3 * 159], 0xFF);
    EXPECT_EQ(colours[3 * 161], 7); // the last two lights keep their colours

    const std::size_t baseMark = Mark();
    lighting.WriteBaseColour(MakeColour(1, 2, 3));
    const auto baseWrites = Writes(baseMark);
    ASSERT_EQ(baseWrites.size(), 10u);
    EXPECT_EQ(baseWrites[0].command, 6);
    EXPECT_EQ(baseWrites[0].address, 10);

    const std::size_t keyMark = Mark();
    lighting.WriteKeyColour(91, MakeColour(4, 5, 6));
    const auto keyWrites = Writes(keyMark);
    ASSERT_EQ(keyWrites.size(), 1u);
    EXPECT_EQ(keyWrites[0].address, 3 * 91);
    EXPECT_EQ(keyWrites[0].payload, (std::vector<std::uint8_t>{4, 5, 6}));
}

// Keys painted together go out in one update: each light's write is the one
// a single key sends, in the order given. Nothing is sent for no keys, and a
// list with a light out of range sends none of it.
TEST_F(LightingCommandsTest, PaintedKeysGoOutInOneUpdate)
{
    const Lighting::KeyPaint paints[] = {
        {91, MakeColour(1, 2, 3)}, {0, MakeColour(4, 5, 6)}, {161, MakeColour(7, 8, 9)}};
    std::size_t mark = Mark();
    ASSERT_EQ(lighting.WriteKeyColours(paints), kResultOk);
    const auto writes = Writes(mark);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(SentSince(mark).size(), 5u) << "one BeginUpdate and one EndUpdate for all three";
    for (std::size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].command, 17);
        EXPECT_EQ(writes[i].address, 3 * paints[i].light);
        EXPECT_EQ(writes[i].payload, (std::vector<std::uint8_t>{RedOf(paints[i].colour), GreenOf(paints[i].colour),
                                                                BlueOf(paints[i].colour)}));
    }
    const auto colours = keyboard.State().keyColours;
    EXPECT_EQ(colours[3 * 161 + 2], 9);
    EXPECT_EQ(lighting.State().keyColours.Get(0), MakeColour(4, 5, 6));

    mark = Mark();
    EXPECT_EQ(lighting.WriteKeyColours({}), kResultOk);
    const Lighting::KeyPaint outOfRange[] = {{5, MakeColour(1, 1, 1)}, {kLightCount, MakeColour(1, 1, 1)}};
    EXPECT_EQ(lighting.WriteKeyColours(outOfRange), kResultNotSent);
    EXPECT_TRUE(SentSince(mark).empty());
    EXPECT_NE(lighting.State().keyColours.Get(5), MakeColour(1, 1, 1));
}

TEST_F(LightingCommandsTest, ReadingTakesKeyColoursOnlyFromAKeyboardWithEffect5)
{
    EditState([](emulator::KeyboardState& state) {
        state.lighting[0] = 4;
        state.lighting[18] = 2; // neither off nor on
        state.lighting[19] = 5; // neither trigger
        state.keyColours[0] = 0x42;
    });
    lighting.WriteRainbowFlag(4, 1);
    lighting.WriteTrigger(0);
    // WriteRainbowFlag and WriteTrigger wrote 1 and 0: put the odd values back.
    EditState([](emulator::KeyboardState& state) {
        state.lighting[18] = 2;
        state.lighting[19] = 5;
    });

    // The factory keyboard offers effects 1 to 14, effect 5 among them.
    std::size_t mark = Mark();
    ASSERT_EQ(lighting.ReadLightingState(true), 0);
    std::size_t colourReads = 0;
    for (const SentCommand& c : SentSince(mark)) colourReads += c.command == 16 ? 1 : 0;
    EXPECT_EQ(colourReads, 9u);
    LightingState state = lighting.State();
    EXPECT_EQ(state.keyColours.bytes[0], 0x42);
    EXPECT_EQ(state.effect, 4);
    EXPECT_EQ(state.RainbowOf(4), 1);
    EXPECT_EQ(state.trigger, (std::array<std::uint8_t, 2>{1, 0}));

    EditState([](emulator::KeyboardState& keyboardState) {
        for (std::size_t slot = 0; slot < wire::kEffectListSlots; ++slot)
            if (keyboardState.settings[wire::kSettingsEffectList + slot] == 5)
                keyboardState.settings[wire::kSettingsEffectList + slot] = 0;
    });
    mark = Mark();
    ASSERT_EQ(lighting.ReadLightingState(true), 0);
    for (const SentCommand& c : SentSince(mark)) EXPECT_NE(c.command, 16);
    EXPECT_FALSE(lighting.State().settings.OffersEffect(5));

    keyboard.Unplug();
    EXPECT_EQ(lighting.ReadLightingState(false), -1);
    EXPECT_EQ(lighting.State().settings.EffectSlot(0), 0);
    EXPECT_EQ(lighting.State().effect, 4);
}

TEST_F(LightingCommandsTest, AWriteTellsWhetherTheKeyboardTookIt)
{
    EXPECT_EQ(lighting.WriteBrightness(2), kResultOk);

    emulator::FaultPlan plan = keyboard.Faults();
    plan.errorReplies = kSendAttempts; // refused at every attempt
    plan.errorStatus = wire::kStatusErrorFE;
    plan.heldReports = 1; // BeginUpdate is answered; the write is refused
    keyboard.SetFaults(plan);
    EXPECT_EQ(lighting.WriteBrightness(4), kResultStatusFE);
    EXPECT_EQ(keyboard.State().lighting[1], 2);

    plan = keyboard.Faults();
    plan.dropReplies = 3;
    keyboard.SetFaults(plan);
    EXPECT_EQ(lighting.WriteKeyColour(5, MakeColour(1, 2, 3)), kResultNoReply);
    EXPECT_EQ(lighting.WriteBaseColour(MakeColour(1, 2, 3)), kResultOk);
}

// However a write's reply goes wrong, the write gives no success; a refused
// one leaves the keyboard as it was, and a read afterwards (the panel's way
// back from a change that was not taken) shows exactly what the keyboard holds.
TEST_F(LightingCommandsTest, AWriteWhoseReplyFailsNeverClaimsSuccess)
{
    struct Fault {
        const char* name;
        std::function<void(emulator::FaultPlan&)> arm;
        int result;
        bool keyboardUnchanged;
    };
    const Fault faults[] = {
        {"refused", [](emulator::FaultPlan& p) { p.errorReplies = kSendAttempts; }, kResultStatusFF, true},
        {"lost", [](emulator::FaultPlan& p) { p.dropReplies = kSendAttempts; }, kResultNoReply, false},
        {"corrupt", [](emulator::FaultPlan& p) { p.corruptReplies = kSendAttempts; }, kResultBadReply, false},
    };
    // A change goes out between BeginUpdate and EndUpdate: a refused
    // BeginUpdate sends none of its writes, and a write refused or left
    // unanswered ends the ones after it (a table's later parts are not sent).
    // 'kept' is what the refused first write would have changed.
    struct Write {
        const char* name;
        std::function<int(Lighting&)> write;
        std::size_t keptFrom = 0;
        std::size_t keptLength = wire::kKeyColourTableSize;
    };
    const Write writes[] = {
        {"brightness", [](Lighting& l) { return l.WriteBrightness(4); }},
        {"effect colour", [](Lighting& l) { return l.WriteEffectColour(9, MakeColour(9, 8, 7)); }},
        {"key colour", [](Lighting& l) { return l.WriteKeyColour(91, MakeColour(4, 5, 6)); }},
        {"base colour and key colours", [](Lighting& l) { return l.WriteBaseColour(MakeColour(1, 2, 3)); }},
        {"white key colours", [](Lighting& l) { return l.WriteWhiteKeyColours(); }, 0, 54},
    };
    for (const Fault& f : faults) {
        for (const Write& w : writes) {
            SCOPED_TRACE(std::string(f.name) + " " + w.name);
            EditState([](emulator::KeyboardState& state) {
                state.lighting[1] = 1;
                state.keyColours.fill(0x22);
            });
            ASSERT_EQ(lighting.ReadLightingState(true), 0);
            const emulator::KeyboardState before = keyboard.State();

            emulator::FaultPlan plan;
            f.arm(plan);
            plan.heldReports = 1; // BeginUpdate is answered; the first write is not
            keyboard.SetFaults(plan);
            EXPECT_EQ(w.write(lighting), f.result);
            keyboard.SetFaults({});

            const emulator::KeyboardState after = keyboard.State();
            if (f.keyboardUnchanged) {
                EXPECT_EQ(after.lighting, before.lighting);
                EXPECT_TRUE(std::equal(after.keyColours.begin() + w.keptFrom,
                                       after.keyColours.begin() + w.keptFrom + w.keptLength,
                                       before.keyColours.begin() + w.keptFrom));
            }
            ASSERT_EQ(lighting.ReadLightingState(true), 0);
            const LightingState shown = lighting.State();
            EXPECT_EQ(shown.block.bytes, after.lighting);
            EXPECT_EQ(shown.keyColours.bytes, after.keyColours);
        }
    }
}

// Only what is still waiting is replaced: the write under way goes out, then
// the last of the burst, after the changes of other kinds queued before it.
// While the last report is made no write is pending any more, though the job
// still counts as running: a window that handles the report then must be
// able to show the keyboard's state, or no later report brings it.
TEST_F(LightingCommandsTest, TheWriterSendsTheLastOfABurstInOrder)
{
    std::vector<LightingJobDone> done;
    std::vector<bool> pendingAtReport;
    std::mutex doneMutex;
    LightingWriter writer(lighting, [&](const LightingJobDone& d) {
        const bool pending = writer.WritesPending();
        EXPECT_TRUE(writer.Busy());
        std::lock_guard lock(doneMutex);
        done.push_back(d);
        pendingAtReport.push_back(pending);
    });
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    const std::size_t mark = Mark();
    writer.Submit({LightingJob::Brightness}, [released](Lighting& l) {
        released.wait();
        return l.WriteBrightness(0);
    });
    while (writer.Queued() != 0) std::this_thread::yield(); // the first is under way
    for (int p = 1; p <= 4; ++p)
        writer.Submit({LightingJob::Brightness}, [p](Lighting& l) { return l.WriteBrightness(p); });
    writer.Submit({LightingJob::Direction}, [](Lighting& l) { return l.WriteDirection(1); });
    for (int p = 0; p <= 3; ++p) writer.Submit({LightingJob::Speed}, [p](Lighting& l) { return l.WriteSpeed(p); });
    writer.Submit({LightingJob::Brightness}, [](Lighting& l) { return l.WriteBrightness(3); });
    EXPECT_EQ(writer.Queued(), 3u);
    release.set_value();
    ASSERT_TRUE(writer.WaitIdle(std::chrono::seconds(10)));

    std::vector<std::pair<std::uint16_t, std::uint8_t>> sent;
    for (const SentCommand& c : SentSince(mark))
        if (c.command == 6) sent.emplace_back(c.address, c.payload.at(0));
    const std::vector<std::pair<std::uint16_t, std::uint8_t>> expected = {{1, 0}, {4, 1}, {2, 1}, {1, 3}};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(keyboard.State().lighting[1], 3);
    std::lock_guard lock(doneMutex);
    ASSERT_EQ(done.size(), 4u);
    EXPECT_FALSE(done[0].idle);
    EXPECT_TRUE(done[3].idle);
    for (const LightingJobDone& d : done) EXPECT_EQ(d.result, kResultOk);
    EXPECT_EQ(pendingAtReport, (std::vector<bool>{true, true, true, false}));
}

// A slider dragged over a link that takes its time: each write waits for
// the one under way, and only the latest position waits with it, so the
// keyboard gets no more writes than the link carries in the drag's time and
// ends on the position the slider was left at.
TEST_F(LightingCommandsTest, ADragWritesNoFasterThanTheLinkCarriesAndTheLastPositionWins)
{
    constexpr std::chrono::milliseconds kEachWay{1};
    SetRelayLatency(kEachWay);
    struct NoLatency {
        ~NoLatency() { SetRelayLatency({}); }
    } restore;
    // BeginUpdate, the write and EndUpdate there and back, and the pause before EndUpdate.
    const auto writeTakes = 3 * 2 * kEachWay + QuickTiming().endUpdatePause;

    LightingWriter writer(lighting);
    const std::size_t mark = Mark();
    constexpr int kMoves = 300;
    const auto start = std::chrono::steady_clock::now();
    int last = 0;
    for (int move = 0; move < kMoves; ++move) {
        // Back and forth over the slider's five positions, as a hand does.
        last = (move / 3) % (2 * kBrightnessMax);
        if (last > kBrightnessMax) last = 2 * kBrightnessMax - last;
        writer.Submit({LightingJob::Brightness},
                      [position = last](Lighting& l) { return l.WriteBrightness(position); });
        EXPECT_LE(writer.Queued(), 1u) << "one position waits, however many came";
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const auto dragged = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(writer.WaitIdle(std::chrono::seconds(10)));

    std::vector<std::uint8_t> commands;
    std::size_t writes = 0;
    for (const SentCommand& c : SentSince(mark)) {
        commands.push_back(c.command);
        if (c.command == 6) ++writes;
    }
    // Each write whole, one after the other: BeginUpdate, the write, EndUpdate.
    constexpr std::array<std::uint8_t, 3> kOneWrite = {1, 6, 2};
    for (std::size_t i = 0; i < commands.size(); ++i) EXPECT_EQ(commands[i], kOneWrite[i % 3]) << i;
    EXPECT_EQ(commands.size(), 3 * writes);
    // The drag's time over one write's, and the write under way when it ended and the last position.
    EXPECT_LE(writes, static_cast<std::size_t>(dragged / writeTakes) + 2);
    EXPECT_LT(writes, static_cast<std::size_t>(kMoves) / 4);
    EXPECT_EQ(keyboard.State().lighting[1], last);
}

} // namespace
} // namespace kestrune::testing
