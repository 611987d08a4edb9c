#include "macro/MacroActionList.h"
#include "macro/MacroRecorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune {
namespace {

constexpr KeyIndex kA = 0x01E;
constexpr KeyIndex kB = 0x030;
constexpr KeyIndex kVolumeUp = 0x130;
constexpr MacroAction Press(std::int32_t delay, KeyIndex key)
{
    return {delay, key, kMacroPress};
}
constexpr MacroAction Release(std::int32_t delay, KeyIndex key)
{
    return {delay, key, kMacroRelease};
}

// A recorder feeding an action list as the dialog wires them.
struct Recording {
    explicit Recording(int delayOption, std::uint32_t startMs = 1000) : option(delayOption) { recorder.Start(startMs); }

    KeyVerdict Key(KeyIndex key, bool release, std::uint32_t at, bool repeat = false)
    {
        const auto outcome = recorder.OnKey({key, release, repeat, at});
        for (const auto& action : outcome.actions) list.Add(action, true, option, true, false);
        return outcome.verdict;
    }
    std::vector<MacroAction> Rows() const { return {list.Rows().begin(), list.Rows().end()}; }

    int option;
    MacroRecorder recorder;
    MacroActionList list;
};

TEST(MacroRecording, FixedDelaysGoToTheActionBeforeEachNewOne)
{
    Recording r(0);
    r.Key(kA, false, 1100);
    EXPECT_EQ(r.Rows(), (std::vector{Press(0, kA)}));
    r.Key(kA, true, 1230);
    EXPECT_EQ(r.Rows(), (std::vector{Press(50, kA), Release(0, kA)}));
}

TEST(MacroRecording, MeasuredDelaysComeFromEventTimestampsAndTheWaitBeforeTheFirstKeyIsDropped)
{
    Recording r(1, 500);
    r.Key(kA, false, 4000);
    r.Key(kA, true, 4130);
    r.Key(kB, false, 4200);
    EXPECT_EQ(r.Rows(), (std::vector{Press(130, kA), Release(70, kA), Press(0, kB)}));
}

TEST(MacroRecording, TimestampsThatWrapRoundStillGiveTheElapsedTime)
{
    Recording r(1, 0xFFFFFF00u);
    r.Key(kA, false, 0xFFFFFFF0u);
    r.Key(kA, true, 0x00000010u);
    EXPECT_EQ(r.Rows(), (std::vector{Press(0x20, kA), Release(0, kA)}));
}

TEST(MacroRecording, HoldingAKeyRecordsOnePressWhetherOrNotThePlatformMarksTheRepeats)
{
    for (KeyIndex key : {kA, kKeyWin, kKeyRightWin}) {
        Recording r(1);
        EXPECT_EQ(r.Key(key, false, 1010), KeyVerdict::Swallow);
        EXPECT_EQ(r.Key(key, false, 1040, key == kA), KeyVerdict::Swallow); // grabbed keys come unmarked
        EXPECT_EQ(r.Key(key, false, 1070, key == kA), KeyVerdict::Swallow);
        r.Key(key, true, 1100);
        EXPECT_EQ(r.Rows(), (std::vector{Press(90, key), Release(0, key)})) << std::hex << key;
    }
}

TEST(MacroRecording, PrintScreenRecordsAPressAndARelease)
{
    for (int option : {0, 1}) {
        Recording r(option);
        r.Key(kA, false, 1000);
        // The press the platform reports is dropped; the release brings both.
        EXPECT_EQ(r.Key(kKeyPrintScreen, false, 1100), KeyVerdict::Swallow);
        r.Key(kKeyPrintScreen, true, 1300);
        const std::int32_t measured = option == 1 ? 300 : 50;
        EXPECT_EQ(r.Rows(), (std::vector{Press(option == 1 ? 2 : 50, kA), Press(measured, kKeyPrintScreen),
                                         Release(0, kKeyPrintScreen)}))
            << "option " << option;
    }
}

TEST(MacroRecording, MediaKeysPassAndAreNotRecordedTheAppKeyIs)
{
    Recording r(1);
    EXPECT_EQ(r.Key(kVolumeUp, false, 1010), KeyVerdict::PassOn);
    EXPECT_EQ(r.Key(kVolumeUp, true, 1020), KeyVerdict::PassOn);
    EXPECT_EQ(r.Key(0x15D, false, 1030), KeyVerdict::Swallow);
    EXPECT_EQ(r.Rows(), (std::vector{Press(0, 0x15D)}));
}

TEST(MacroRecording, NothingIsRecordedOnceStoppedOrWhenTheListIsFull)
{
    Recording r(1);
    r.recorder.Stop();
    EXPECT_EQ(r.Key(kA, false, 1010), KeyVerdict::PassOn);
    EXPECT_TRUE(r.Rows().empty());

    r.recorder.Start(2000);
    for (std::size_t i = 0; i < kMaxMacroActions; ++i) r.list.Add(Press(10, kB), false, 1, false, true);
    EXPECT_EQ(r.Key(kA, false, 2010), KeyVerdict::Swallow);
    EXPECT_EQ(r.list.Size(), kMaxMacroActions);
    EXPECT_EQ(r.list.Rows().back(), Press(10, kB));
}

TEST(KeyCapture, FreshPressesCaptureRepeatsAndReleasesDoNotPrintScreenOnRelease)
{
    struct Case {
        KeyEventInput event;
        KeyVerdict verdict;
        KeyIndex captured;
    } cases[] = {
        {{kA, false, false, 0}, KeyVerdict::Swallow, kA},
        {{kA, false, true, 0}, KeyVerdict::Swallow, kNoKey},
        {{kA, true, false, 0}, KeyVerdict::Swallow, kNoKey},
        {{kKeyPrintScreen, false, false, 0}, KeyVerdict::Swallow, kNoKey},
        {{kKeyPrintScreen, true, false, 0}, KeyVerdict::Swallow, kKeyPrintScreen},
        {{kKeyWin, false, false, 0}, KeyVerdict::Swallow, kKeyWin},
        {{kVolumeUp, false, false, 0}, KeyVerdict::PassOn, kNoKey},
        {{kNoKey, false, false, 0}, KeyVerdict::PassOn, kNoKey},
    };
    for (const auto& c : cases) {
        const auto outcome = CaptureKey(c.event);
        EXPECT_EQ(outcome.verdict, c.verdict) << std::hex << c.event.key << " release " << c.event.release;
        EXPECT_EQ(outcome.captured, c.captured) << std::hex << c.event.key << " release " << c.event.release;
    }
}

TEST(MacroActionList, InsertingAfterASelectedMiddleRowSplitsItsDelay)
{
    MacroActionList list;
    for (auto a : {Press(100, kA), Release(200, kA), Press(300, kB)}) list.Add(a, false, 1, false, true);
    list.Select(1);
    list.Add(Press(70, kB), false, 1, true, false);
    EXPECT_EQ(std::vector(list.Rows().begin(), list.Rows().end()),
              (std::vector{Press(100, kA), Release(70, kA), Press(200, kB), Press(300, kB)}));
    EXPECT_EQ(list.Selected(), 1); // a row added by hand leaves the selection where it was

    // A direction beyond release is a press.
    list.Add({5, kA, 7}, false, 1, false, true);
    EXPECT_EQ(list.Rows().back(), Press(5, kA));
}

TEST(MacroActionList, MovesCarryTheDelayAndDeletesMoveTheSelection)
{
    MacroActionList list;
    for (auto a : {Press(1, kA), Press(2, kA), Press(3, kA), Press(4, kA)}) list.Add(a, false, 1, false, true);
    auto delays = [&] {
        std::vector<std::int32_t> d;
        for (const auto& row : list.Rows()) d.push_back(row.delay);
        return d;
    };
    EXPECT_FALSE(list.MoveSelected(RowMove::Up));
    list.Select(2);
    list.MoveSelected(RowMove::Top);
    EXPECT_EQ(delays(), (std::vector<std::int32_t>{3, 1, 2, 4}));
    list.MoveSelected(RowMove::Bottom);
    EXPECT_EQ(delays(), (std::vector<std::int32_t>{1, 2, 4, 3}));
    EXPECT_EQ(list.Selected(), 3);
    list.MoveSelected(RowMove::Down); // already last
    list.MoveSelected(RowMove::Up);
    EXPECT_EQ(delays(), (std::vector<std::int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(list.Selected(), 2);

    list.DeleteSelected();
    EXPECT_EQ(delays(), (std::vector<std::int32_t>{1, 2, 4}));
    EXPECT_EQ(list.Selected(), 2); // the next row
    list.DeleteSelected();
    EXPECT_EQ(list.Selected(), 1); // the last row went: the previous one
}

TEST(MacroActionList, LoadingAndSavingKeepTheRecordsActions)
{
    MacroRecord record = MakeMacroRecord(u"m", 3);
    record.AppendAction(Press(40, kA));
    record.AppendAction(Release(0, kA));
    MacroActionList list;
    list.Load(record);
    list.Add(Press(10, kB), false, 1, false, false);
    MacroRecord saved = MakeMacroRecord(u"m", 3);
    saved.actions[5] = Press(1, kB); // stale action beyond the count must not survive
    list.SaveInto(saved);
    EXPECT_EQ(saved.actionCount, 3);
    EXPECT_EQ(saved.actions[1], Release(10, kA));
    EXPECT_EQ(saved.actions[2], Press(0, kB));
    EXPECT_EQ(saved.actions[5], MacroAction{});
}

TEST(MacroEditorTexts, TypedDelaysAndCycles)
{
    struct DelayCase {
        std::u16string text;
        std::optional<std::int32_t> delay;
        bool tooLong;
    } delays[] = {
        {u"1234", 1230, false},
        {u"45678", 40000, true},
        {u"40000", 40000, false},
        {u"99999999999999999999", 40000, true},
        {u"7", 0, false},
        {u"", std::nullopt, false},
        {u"12a", std::nullopt, false},
    };
    for (const auto& c : delays) {
        const auto typed = ParseTypedDelay(c.text);
        ASSERT_EQ(typed.has_value(), c.delay.has_value());
        if (typed) {
            EXPECT_EQ(typed->delay, *c.delay);
            EXPECT_EQ(typed->tooLong, c.tooLong);
        }
    }
    struct CyclesCase {
        std::u16string text;
        int cycles;
        bool corrected;
    } cycles[] = {
        {u"0", 1, true},
        {u"300", 255, true},
        {u"17", 17, false},
        {u"-4", 1, true},
        {u"abc", 1, true},
        {u"", 1, false},
        {u"99999999999999", 255, true},
        {u"12x", 12, true},
    };
    for (const auto& c : cycles) {
        const auto typed = ParseTypedCycles(c.text);
        EXPECT_EQ(typed.cycles, c.cycles);
        EXPECT_EQ(typed.corrected, c.corrected);
    }
}

TEST(MacroEditorTexts, NewNamesSkipNamesThatBeginWithThem)
{
    int counter = 0;
    std::vector<std::u16string> names;
    EXPECT_EQ(NextNewMacroName(u"Macro", counter, names), u"Macro1");
    EXPECT_EQ(NextNewMacroName(u"Macro", counter, names), u"Macro2");
    counter = 0;
    names = {u"Macro1", u"macro10"};
    EXPECT_EQ(NextNewMacroName(u"Macro", counter, names), u"Macro2");
}

} // namespace
} // namespace kestrune
