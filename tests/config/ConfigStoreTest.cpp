#include "config/ConfigStore.h"

#include "config/ProfileFileCheck.h"

#include "ConfigTestSupport.h"

#include <gtest/gtest.h>

#include <optional>

namespace kestrune {
namespace {

using testing::ReadAll;
using testing::RecordingReporter;
using testing::ScratchFolder;

TEST(CreateDefaultConfiguration, FileAndMemoryHoldTheSameFreshBlock)
{
    ScratchFolder folder;
    const auto path = folder / "The new contextual  mode.kpf";
    ASSERT_TRUE(CreateDefaultConfiguration(path));
    const std::vector<std::uint8_t> bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), kConfigBlockSize);

    const std::vector<std::uint8_t> header(bytes.begin(), bytes.begin() + 16);
    EXPECT_EQ(header, (std::vector<std::uint8_t>{0x46, 0x44, 0x20, 0x00, 0x03, 0x00, 0x01, 0x00, 0x40, 0x80, 0x00, 0x00,
                                                 0x00, 0x08, 0x00, 0x00}));
    EXPECT_EQ(bytes[31], 0x76);
    EXPECT_EQ(bytes[32], 0x4B);
    EXPECT_EQ(bytes[48], 0xB4);
    // Only the macro-key slots of key map 0 carry anything: their GKeyId in aux.
    for (std::size_t i = kKeyMapsOffset; i < bytes.size(); ++i) {
        const std::size_t slot = (i - kKeyMapsOffset) / kKeyAssignmentSize;
        const std::size_t field = (i - kKeyMapsOffset) % kKeyAssignmentSize;
        std::uint8_t expected = 0;
        if (slot >= 256 && slot <= 273 && field == 2)
            expected = static_cast<std::uint8_t>(slot <= 264 ? slot - 255 : slot - 264);
        if (slot >= 256 && slot <= 273 && field == 3) expected = slot <= 264 ? 0x03 : 0x13;
        ASSERT_EQ(bytes[i], expected) << "byte " << i;
    }
    RecordingReporter reporter;
    EXPECT_EQ(ValidateProfileFile(path, reporter), kProfileFileValid);

    ConfigStore store;
    std::lock_guard lock(store.CurrentLock());
    ASSERT_TRUE(store.Current().Strings().Set(3, u"left over"));
    store.Current().Macros().push_back(MakeMacroRecord(u"old", 1));
    ASSERT_TRUE(store.CreateDefaultConfiguration());
    ASSERT_TRUE(store.Current().HasBlock());
    EXPECT_EQ(*store.Current().Block(), ConfigBlockFromBytes(std::span<const std::uint8_t, kConfigBlockSize>(bytes)));
    EXPECT_EQ(store.Current().MacroCount(), 0u);
    EXPECT_EQ(store.Current().StringBytes(), 0u);
}

TEST(PackStrings, LaysTextsOutInSlotOrderWhileTheyFit)
{
    auto block = MakeDefaultConfigBlock(0);
    auto strings = std::make_unique<StringSlotTable>();
    const std::size_t first = StringSlotIndex(0, 0x1E);
    const std::size_t second = StringSlotIndex(2, 0x30);
    const std::size_t stale = StringSlotIndex(1, 5);    // text left from a key that is now a remap
    const std::size_t textless = StringSlotIndex(3, 7); // a program key whose text was lost
    SetAssignment(block->AssignmentAt(first), AssignmentType::LaunchProgram, 0, 777);
    SetAssignment(block->AssignmentAt(second), AssignmentType::LaunchProgram, 0, 999);
    SetAssignment(block->AssignmentAt(stale), AssignmentType::RemapKey, 0, 0x1F);
    SetAssignment(block->AssignmentAt(textless), AssignmentType::LaunchProgram, 0, 12);
    ASSERT_TRUE(strings->Set(first, u"a.exe"));      // 12 bytes
    ASSERT_TRUE(strings->Set(second, u"bin/tool1")); // 20 bytes
    ASSERT_TRUE(strings->Set(stale, u"gone"));       // 10 bytes, counted but never packed
    EXPECT_EQ(strings->StringBytes(), 42u);

    const auto area = PackStrings(*block, *strings, 32);
    ASSERT_EQ(area.size(), 32u);
    EXPECT_EQ(block->AssignmentAt(first).value, 0u);
    EXPECT_EQ(block->AssignmentAt(second).value, 12u);
    EXPECT_EQ(block->AssignmentAt(stale).value, 0x1Fu);
    EXPECT_EQ(block->AssignmentAt(textless).value, kNoStringOffset); // not at "bin/tool1"
    EXPECT_EQ(area[0], 'a');
    EXPECT_EQ(area[10], 0);
    EXPECT_EQ(area[12], 'b');
    EXPECT_EQ(area[28], '1');
    EXPECT_EQ(area[30], 0);

    SetAssignment(block->AssignmentAt(second), AssignmentType::TextBlock, 0, 999);
    const auto tight = PackStrings(*block, *strings, 24);
    EXPECT_EQ(block->AssignmentAt(second).value, 999u); // does not fit: keeps its old offset
    std::vector<std::uint8_t> expectedTight(area.begin(), area.begin() + 12);
    expectedTight.resize(24, 0);
    EXPECT_EQ(tight, expectedTight);

    // The full sum leaves room at the end that belongs to no text.
    const auto full = PackStrings(*block, *strings, strings->StringBytes());
    EXPECT_EQ(std::vector<std::uint8_t>(full.begin() + 32, full.end()), std::vector<std::uint8_t>(10, 0));
}

TEST(MacroPosition, FindsTheFirstRecordWithTheIdOrFallsBackToZero)
{
    const std::vector<MacroRecord> macros = {MakeMacroRecord(u"a", 4), MakeMacroRecord(u"b", 9),
                                             MakeMacroRecord(u"c", 2), MakeMacroRecord(u"d", 9)};
    struct Case {
        std::size_t count;
        std::uint16_t id;
        std::size_t expected;
    };
    const Case cases[] = {{0, 4, 0}, {4, 4, 0}, {4, 2, 2}, {4, 9, 1}, {4, 55, 0}, {4, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "count " << c.count << " id " << c.id);
        EXPECT_EQ(MacroPosition(std::span(macros).first(c.count), c.id), c.expected);
    }
}

TEST(CurrentCopy, FindsMacroKeysInExactlyTheFourMaps)
{
    ConfigStore store;
    std::lock_guard lock(store.CurrentLock());
    CurrentCopy& current = store.Current();
    EXPECT_FALSE(current.AnyKeyPlaysMacro(1)); // no block at all
    ASSERT_TRUE(store.CreateDefaultConfiguration());
    SetAssignment(*current.Assignment(3, 511), AssignmentType::PlayMacro, 0, 7);
    SetAssignment(*current.Assignment(0, 256), AssignmentType::PlayMacro, 0x0301, 8);
    SetAssignment(*current.Assignment(1, 20), AssignmentType::Media, 0, 9);
    EXPECT_TRUE(current.AnyKeyPlaysMacro(7));
    EXPECT_TRUE(current.AnyKeyPlaysMacro(8));
    EXPECT_FALSE(current.AnyKeyPlaysMacro(9));
    EXPECT_EQ(current.Assignment(4, 0), nullptr);
    EXPECT_EQ(current.Assignment(0, 512), nullptr);
}

TEST(TakeWorkingSnapshot, GivesAConsistentCopyToSend)
{
    ConfigStore store;
    std::lock_guard lock(store.CurrentLock());
    ASSERT_TRUE(store.CreateDefaultConfiguration(1));
    CurrentCopy& current = store.Current();
    current.Macros() = {MakeMacroRecord(u"one", 3), MakeMacroRecord(u"two", 1)};
    SetAssignment(*current.Assignment(1, 0x10), AssignmentType::TextBlock, 0, 4444);
    SetAssignment(*current.Assignment(2, 0x11), AssignmentType::PlayMacro, 0, 1);
    ASSERT_TRUE(current.Strings().Set(StringSlotIndex(1, 0x10), u"hi"));

    const auto taken = store.TakeWorkingSnapshot();
    ASSERT_TRUE(taken.ok()) << taken.error();
    const WorkingSnapshot seen = **taken;
    EXPECT_EQ(seen.block.header.macroCount, 2);
    EXPECT_EQ(seen.block.header.stringBytes, 6u);
    EXPECT_EQ(seen.block.header.totalSize, ProfileTotalSize(2, 6));
    EXPECT_EQ(seen.block.header.flag, 0);
    EXPECT_EQ(seen.block.maps[1][0x10].value, 0u);
    EXPECT_EQ(current.Assignment(1, 0x10)->value, 0u); // packing refreshed the current offsets too
    EXPECT_EQ(seen.strings, (std::vector<std::uint8_t>{'h', 0, 'i', 0, 0, 0}));
    EXPECT_EQ(seen.MacroIds(), (std::vector<std::uint16_t>{3, 1}));
    EXPECT_EQ(MacroPosition(seen.macros, 1), 1u);

    // The published snapshot is the one given, and later edits leave it alone.
    const auto working = store.WorkingCopy();
    ASSERT_EQ(working, *taken);
    current.Macros().clear();
    SetAssignment(*current.Assignment(2, 0x11), AssignmentType::Disabled, 0, 0);
    EXPECT_EQ(working->macros.size(), 2u);
    EXPECT_EQ(working->block, seen.block);

    ASSERT_TRUE(store.TakeWorkingSnapshot().ok());
    EXPECT_TRUE(store.WorkingCopy()->macros.empty());

    store.EmptyWorkingCopy();
    EXPECT_EQ(store.WorkingCopy(), nullptr);
}

TEST(TakeWorkingSnapshot, RefusesWhatCannotBeSent)
{
    ConfigStore store;
    EXPECT_FALSE(store.TakeWorkingSnapshot().ok()); // no block yet

    ASSERT_TRUE(store.CreateDefaultConfiguration());
    EXPECT_TRUE(store.TakeWorkingSnapshot().ok());
    {
        std::lock_guard lock(store.CurrentLock());
        for (std::uint16_t id = 1; id <= kMaxMacros + 1; ++id)
            store.Current().Macros().push_back(MakeMacroRecord(u"m", id));
    }
    const auto tooMany = store.TakeWorkingSnapshot();
    ASSERT_FALSE(tooMany.ok());
    EXPECT_NE(tooMany.error().find(std::to_string(kMaxMacros + 1) + " macros"), std::string::npos) << tooMany.error();
    EXPECT_EQ(store.WorkingCopy(), nullptr); // the stale snapshot is gone, as for any failed snapshot

    store.EmptyCurrentCopy();
    std::lock_guard lock(store.CurrentLock());
    EXPECT_FALSE(store.Current().HasBlock());
    EXPECT_EQ(store.Current().MacroCount(), 0u);
}

} // namespace
} // namespace kestrune
