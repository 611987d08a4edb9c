#include "config/KeyDialogCommit.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrune {
namespace {

constexpr KeyIndex kA = 0x01E;
constexpr KeyIndex kB = 0x030;

class KeyDialogCommit : public ::testing::Test {
protected:
    KeyDialogCommit() { copy.SetBlock(MakeDefaultConfigBlock(kConfigFlagWritten)); }

    KeyAssignment& Slot(std::size_t map, std::size_t slot) { return *copy.Assignment(map, slot); }
    void Play(std::size_t map, std::size_t slot, std::uint32_t id)
    {
        SetAssignment(Slot(map, slot), AssignmentType::PlayMacro, 0, id);
    }

    CurrentCopy copy;
};

TEST_F(KeyDialogCommit, KeysPlayingAMacroThatWentAwayOrWasReplacedBecomeDefault)
{
    copy.Macros() = {MakeMacroRecord(u"one", 1), MakeMacroRecord(u"two", 2), MakeMacroRecord(u"three", 3)};
    Play(2, kA, 3);   // profile 3's map: deleted macro
    Play(0, kB, 2);   // kept macro
    Play(3, 0x20, 0); // no macro yet: takes the first
    Play(1, *GKeySlot(4, GKeyBank::B), 1);

    // The editor deleted macro 3 and added a new macro that got id 3 again.
    std::vector<MacroRecord> edited = {MakeMacroRecord(u"one", 1), MakeMacroRecord(u"two", 2),
                                       MakeMacroRecord(u"new", 3)};
    edited[2].newFlag = 1;
    EXPECT_TRUE(CommitEditedMacros(copy, edited));

    EXPECT_EQ(Slot(2, kA).type, AssignmentType::Default);
    EXPECT_EQ(Slot(2, kA).value, 3u);
    EXPECT_EQ(Slot(0, kB), (KeyAssignment{AssignmentType::PlayMacro, 0, 2}));
    EXPECT_EQ(Slot(3, 0x20).value, 1u);
    EXPECT_EQ(Slot(1, *GKeySlot(4, GKeyBank::B)).type, AssignmentType::PlayMacro);
    ASSERT_EQ(copy.MacroCount(), 3u);
    for (const auto& m : copy.Macros()) EXPECT_EQ(m.newFlag, 0);
    EXPECT_EQ(edited[2].newFlag, 0);

    // Committed once, the new macro is no longer new: a key set to it stays.
    Play(0, kA, 3);
    EXPECT_FALSE(CommitEditedMacros(copy, edited));
    EXPECT_EQ(Slot(0, kA).type, AssignmentType::PlayMacro);
}

TEST_F(KeyDialogCommit, AnEmptyEditorEmptiesTheListAndResetsEveryPlayingKey)
{
    copy.Macros() = {MakeMacroRecord(u"one", 1)};
    Play(0, kA, 1);
    Play(0, kB, 0);
    EXPECT_TRUE(CommitEditedMacros(copy, std::span<MacroRecord>{}));
    EXPECT_EQ(copy.MacroCount(), 0u);
    EXPECT_EQ(Slot(0, kA).type, AssignmentType::Default);
    EXPECT_EQ(Slot(0, kB).type, AssignmentType::PlayMacro); // id 0 waits for a macro
}

TEST_F(KeyDialogCommit, ChoicesBecomeAssignments)
{
    const std::size_t g3b = *GKeySlot(3, GKeyBank::B);
    EXPECT_EQ(g3b, 267u);
    struct Case {
        std::size_t slot;
        KeyChoice choice;
        KeyAssignment expected;
    } cases[] = {
        {kA, {AssignmentType::RemapKey, kB}, {AssignmentType::RemapKey, 0, kB}},
        {kA, {AssignmentType::RemapKey, kA}, {AssignmentType::Default, 0, kA}}, // its own key
        {kA, {AssignmentType::RemapKey, kNoKey}, {AssignmentType::Default, 0, 0}},
        {g3b, {AssignmentType::RemapKey, kB}, {AssignmentType::RemapKey, 0x1303, kB}},
        {g3b, {AssignmentType::PlayMacro, 0, 7, true, 12}, {AssignmentType::PlayMacro, 12, 7}},
        {kA, {AssignmentType::PlayMacro, 0, 7, true, 12}, {AssignmentType::PlayMacro, 12, 7}},
        {g3b, {AssignmentType::PlayMacro, 0, 0, false, 12}, {AssignmentType::Default, 0x1303, 0}},
        {kA, {AssignmentType::Media, 0, 0, false, 1, 17}, {AssignmentType::Media, 0, 17}},
        {kA, {AssignmentType::Media, 0, 0, false, 1, 18}, {AssignmentType::Media, 0, 0}},
        {kA, {AssignmentType::FunctionKey, 0, 0, false, 1, 0, 10}, {AssignmentType::FunctionKey, 0, 10}},
        {kA, {AssignmentType::Default}, {AssignmentType::Default, 0, 0}},
    };
    for (const auto& c : cases) {
        Slot(1, c.slot).mark = 1;
        const auto written = WriteKeyChoice(copy, 1, c.slot, c.choice);
        KeyAssignment expected = c.expected;
        expected.mark = 1;
        ASSERT_TRUE(written);
        EXPECT_EQ(*written, expected) << "type " << int(c.choice.paneType);
        EXPECT_EQ(Slot(1, c.slot), expected);
    }
    EXPECT_FALSE(WriteKeyChoice(copy, 4, kA, {}));
    EXPECT_FALSE(WriteKeyChoice(copy, 0, 512, {}));
}

TEST_F(KeyDialogCommit, ATypeWithoutAPaneIsKeptWithItsTextWhenNothingWasChosen)
{
    SetAssignment(Slot(0, kA), AssignmentType::LaunchProgram, 0, 12);
    ASSERT_TRUE(copy.Strings().Set(StringSlotIndex(0, kA), u"/usr/bin/true"));
    WriteKeyChoice(copy, 0, kA, {AssignmentType::LaunchProgram});
    EXPECT_EQ(Slot(0, kA), (KeyAssignment{AssignmentType::LaunchProgram, 0, 12}));
    EXPECT_EQ(copy.Strings().Text(StringSlotIndex(0, kA)), u"/usr/bin/true");

    // Choosing something else releases the text.
    WriteKeyChoice(copy, 0, kA, {AssignmentType::RemapKey, kB});
    EXPECT_EQ(copy.Strings().Text(StringSlotIndex(0, kA)), std::nullopt);
}

} // namespace
} // namespace kestrune
