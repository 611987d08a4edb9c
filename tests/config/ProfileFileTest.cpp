#include "config/ProfileFile.h"

#include "common/LittleEndian.h"
#include "config/ProfileFileCheck.h"

#include "ConfigTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

namespace kestrune {
namespace {

using testing::EnvOverride;
using testing::FolderEntries;
using testing::ReadAll;
using testing::RecordingReporter;
using testing::ScratchFolder;
using testing::WriteAll;

MacroRecord SampleMacro(std::u16string_view name, std::uint16_t id, int actions)
{
    MacroRecord record = MakeMacroRecord(name, id);
    record.cycles = static_cast<std::uint8_t>(id + 1);
    for (int i = 0; i < actions; ++i)
        record.AppendAction({10 * i, static_cast<std::uint16_t>(0x01E + i), i % 2 ? kMacroRelease : kMacroPress});
    record.reserved3 = 0xBEEF; // carried through files untouched
    return record;
}

// A configuration with texts, macro keys and marks in all four key maps.
void FillSample(ConfigStore& store)
{
    std::lock_guard lock(store.CurrentLock());
    ASSERT_TRUE(store.CreateDefaultConfiguration());
    CurrentCopy& current = store.Current();
    current.Macros() = {SampleMacro(u"Dash", 5, 3), SampleMacro(u"Burst", 2, 40)};
    const std::u16string_view texts[] = {u"/usr/bin/editor", u"Hello, world", u"\u00e9\u4e2d", u"x"};
    for (std::size_t map = 0; map < kConfigKeyMapCount; ++map) {
        const auto type = map % 2 ? AssignmentType::TextBlock : AssignmentType::LaunchProgram;
        SetAssignment(*current.Assignment(map, 0x20 + map), type, 0, 12345);
        ASSERT_TRUE(current.Strings().Set(StringSlotIndex(map, 0x20 + map), texts[map]));
        SetAssignment(*current.Assignment(map, 0x30), AssignmentType::PlayMacro, 3, map % 2 ? 5 : 2);
        SetAssignment(*current.Assignment(map, 258), AssignmentType::RemapKey, 0x0303, 0x138);
        current.Assignment(map, map)->mark = 1;
    }
}

std::vector<std::uint8_t> WriteAndRead(ConfigStore& store, const std::filesystem::path& path)
{
    EXPECT_TRUE(WriteProfileFile(store, path));
    return ReadAll(path);
}

TEST(ProfileFile, RoundTripKeepsEveryByte)
{
    ScratchFolder folder;
    ConfigStore original;
    FillSample(original);
    const std::vector<std::uint8_t> first = WriteAndRead(original, folder / "first.kpf");
    ASSERT_EQ(first.size(), ProfileTotalSize(2, 32 + 26 + 6 + 4));
    RecordingReporter reporter;
    EXPECT_EQ(ValidateProfileFile(folder / "first.kpf", reporter), kProfileFileValid);

    ConfigStore loaded;
    ASSERT_TRUE(loaded.CreateDefaultConfiguration());
    const Status read = ReadProfileFile(loaded, folder / "first.kpf");
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(WriteAndRead(loaded, folder / "second.kpf"), first);

    std::lock_guard a(original.CurrentLock());
    std::lock_guard b(loaded.CurrentLock());
    EXPECT_EQ(*loaded.Current().Block(), *original.Current().Block());
    EXPECT_EQ(loaded.Current().Macros(), original.Current().Macros());
    EXPECT_EQ(loaded.Current().Strings(), original.Current().Strings());

    // The checked load of a file the user chose gives the same copy.
    Result<CurrentCopy> chosen = LoadProfileFile(folder / "first.kpf", reporter);
    ASSERT_TRUE(chosen) << chosen.error();
    EXPECT_EQ(*chosen->Block(), *original.Current().Block());
    EXPECT_EQ(chosen->Macros(), original.Current().Macros());
    EXPECT_EQ(chosen->Strings(), original.Current().Strings());
    EXPECT_TRUE(reporter.Messages().empty());
}

TEST(ProfileFile, ExportOfATextBlockStoresItsTextAndOffset)
{
    ScratchFolder folder;
    ConfigStore store;
    {
        std::lock_guard lock(store.CurrentLock());
        ASSERT_TRUE(store.CreateDefaultConfiguration());
        SetAssignment(*store.Current().Assignment(0, 0x1E), AssignmentType::TextBlock, 0, 77);
        ASSERT_TRUE(store.Current().Strings().Set(StringSlotIndex(0, 0x1E), u"abc"));
    }
    const auto bytes = WriteAndRead(store, folder / "abc.kpf");
    ASSERT_EQ(bytes.size(), kConfigBlockSize + 8);
    EXPECT_EQ(ReadLe32(bytes, kHdrStringBytes), 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 8, bytes.end()),
              (std::vector<std::uint8_t>{0x61, 0x00, 0x62, 0x00, 0x63, 0x00, 0x00, 0x00}));
    const std::size_t slot = kKeyMapsOffset + 0x1E * kKeyAssignmentSize;
    EXPECT_EQ(ReadLe16(bytes, slot), 6);
    EXPECT_EQ(ReadLe32(bytes, slot + kAssignmentOffValue), 0u);
}

// An image with the given string area and key-map slots 0.. of map 0 as
// text blocks pointing at the given offsets.
std::vector<std::uint8_t> ImageWithTexts(const std::vector<std::uint8_t>& area,
                                         const std::vector<std::uint32_t>& offsets)
{
    auto block = MakeDefaultConfigBlock(0);
    BuildHeader(block->header, 0, static_cast<std::uint32_t>(area.size()), 0);
    for (std::size_t i = 0; i < offsets.size(); ++i)
        SetAssignment(block->maps[0][i], AssignmentType::TextBlock, 0, offsets[i]);
    return ProfileImage(*block, {}, area);
}

TEST(ParseProfileImage, TakesOnlyTextsInsideTheArea)
{
    // "ab" at 0, "c" at 6, then two units without a terminator.
    const std::vector<std::uint8_t> area = {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0, 'd', 0, 'e', 0};
    struct Case {
        const char* name;
        std::vector<std::uint32_t> offsets;
        std::vector<std::optional<std::u16string>> texts;
    };
    const Case cases[] = {
        {"plain offsets", {0, 6}, {u"ab", u"c"}},
        {"odd offset rounds down", {7, 1}, {u"c", u"ab"}},
        {"inside a text", {2}, {u"b"}},
        {"no terminator before the end", {10, 12}, {std::nullopt, std::nullopt}},
        {"outside the area", {14, 0xFFFFFFFF}, {std::nullopt, std::nullopt}},
        // Keys sharing a text each keep it, though the texts outgrow the area.
        {"shared offsets", {0, 6, 0, 1, 2}, {u"ab", u"c", u"ab", u"ab", u"b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result<CurrentCopy> parsed = ParseProfileImage(ImageWithTexts(area, c.offsets));
        ASSERT_TRUE(parsed) << parsed.error();
        for (std::size_t i = 0; i < c.texts.size(); ++i) {
            const auto text = parsed->Strings().Text(i);
            EXPECT_EQ(text ? std::optional<std::u16string>(*text) : std::nullopt, c.texts[i]) << "slot " << i;
        }
    }

    // Texts belong only to program and text-block keys.
    auto image = ImageWithTexts(area, {0});
    WriteLe16(image, kKeyMapsOffset, static_cast<std::uint16_t>(AssignmentType::RemapKey));
    Result<CurrentCopy> remap = ParseProfileImage(image);
    ASSERT_TRUE(remap);
    EXPECT_EQ(remap->StringBytes(), 0u);
}

TEST(ProfileFile, KeysSharingATextKeepItThroughASaveAndHoldItOnce)
{
    ScratchFolder folder;
    // Two text keys and a program key at the offset of one long text.
    std::vector<std::uint8_t> area;
    for (int i = 0; i < 4000; ++i) area.insert(area.end(), {'x', 0});
    area.insert(area.end(), {0, 0});
    WriteAll(folder / "shared.kpf", ImageWithTexts(area, {0, 0, 0}));
    {
        auto image = ReadAll(folder / "shared.kpf");
        WriteLe16(image, kKeyMapsOffset + 2 * kKeyAssignmentSize,
                  static_cast<std::uint16_t>(AssignmentType::LaunchProgram));
        WriteAll(folder / "shared.kpf", image);
    }

    ConfigStore store;
    ASSERT_TRUE(ReadProfileFile(store, folder / "shared.kpf"));
    {
        std::lock_guard lock(store.CurrentLock());
        const StringSlotTable& strings = store.Current().Strings();
        ASSERT_TRUE(strings.Text(0) && strings.Text(1) && strings.Text(2));
        EXPECT_TRUE(*strings.Text(2) == std::u16string(4000, u'x'));
        // One copy of the file's text serves all three keys.
        EXPECT_EQ(strings.Text(0)->data(), strings.Text(2)->data());
        EXPECT_EQ(strings.StringBytes(), 3u * 8002);
    }

    const auto saved = WriteAndRead(store, folder / "again.kpf");
    ASSERT_EQ(saved.size(), kConfigBlockSize + 3 * 8002);
    for (std::uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(ReadLe32(saved, kKeyMapsOffset + i * kKeyAssignmentSize + kAssignmentOffValue), i * 8002);
    ConfigStore reloaded;
    ASSERT_TRUE(ReadProfileFile(reloaded, folder / "again.kpf"));
    std::lock_guard a(store.CurrentLock());
    std::lock_guard b(reloaded.CurrentLock());
    EXPECT_EQ(reloaded.Current().Strings(), store.Current().Strings());
}

TEST(ParseProfileImage, RejectsSizesThatDoNotAddUp)
{
    const auto good = [] {
        auto block = MakeDefaultConfigBlock(0);
        BuildHeader(block->header, 1, 4, 0);
        const MacroRecord macro = MakeMacroRecord(u"m", 1);
        return ProfileImage(*block, std::span(&macro, 1), std::vector<std::uint8_t>{'z', 0, 0, 0});
    };
    struct Case {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> change;
        bool accepted;
    };
    const Case cases[] = {
        {"as written", [](auto&) {}, true},
        {"extra bytes after the announced size", [](auto& b) { b.resize(b.size() + 99, 0xEE); }, true},
        {"one byte short", [](auto& b) { b.pop_back(); }, false},
        {"shorter than a block", [](auto& b) { b.resize(kConfigBlockSize - 1); }, false},
        {"101 macros", [](auto& b) { WriteLe16(b, kHdrMacroCount, 101); }, false},
        {"total size off by two", [](auto& b) { WriteLe32(b, kHdrTotalSize, ReadLe32(b, kHdrTotalSize) - 2); }, false},
        {"string bytes beyond the file", [](auto& b) { WriteLe32(b, kHdrStringBytes, 0xFFFF0000); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto image = good();
        c.change(image);
        Result<CurrentCopy> parsed = ParseProfileImage(image);
        EXPECT_EQ(parsed.ok(), c.accepted) << (parsed ? "" : parsed.error());
        if (parsed) {
            EXPECT_EQ(parsed->MacroCount(), 1u);
        }
    }
}

TEST(ReadProfileFile, AFailedReadLeavesTheCurrentCopyAlone)
{
    ScratchFolder folder;
    ConfigStore store;
    FillSample(store);
    ASSERT_TRUE(WriteProfileFile(store, folder / "good.kpf"));
    auto broken = ReadAll(folder / "good.kpf");
    broken.resize(broken.size() - 1);
    WriteAll(folder / "broken.kpf", broken);

    ConfigStore target;
    FillSample(target);
    {
        std::lock_guard lock(target.CurrentLock());
        target.Current().Macros().pop_back();
    }
    for (const char* name : {"broken.kpf", "absent.kpf"}) {
        SCOPED_TRACE(name);
        const Status read = ReadProfileFile(target, folder / name);
        ASSERT_FALSE(read);
        EXPECT_NE(read.error().find(name), std::string::npos) << read.error();
        std::lock_guard lock(target.CurrentLock());
        EXPECT_EQ(target.Current().MacroCount(), 1u);
        EXPECT_TRUE(target.Current().HasBlock());
    }
}

TEST(WriteProfileFile, AnInterruptedWriteKeepsTheOldFile)
{
    ScratchFolder folder;
    const auto path = folder / "$Profile0";
    ASSERT_TRUE(CreateDefaultConfiguration(path));
    const auto old = ReadAll(path);

    ConfigStore store;
    FillSample(store);
    AtomicWriteHooks hooks;
    hooks.proceed = [](AtomicWriteStage stage) { return stage != AtomicWriteStage::DataFlushed; };
    EXPECT_FALSE(WriteProfileFile(store, path, hooks));
    EXPECT_EQ(ReadAll(path), old);
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"$Profile0"});

    ConfigStore empty;
    EXPECT_FALSE(WriteProfileFile(empty, path));
    EXPECT_EQ(ReadAll(path), old);
}

TEST(SaveWorkingProfileFile, RewritesOnlyAFileThatExists)
{
    ScratchFolder home;
    EnvOverride homeVar("HOME", home.Path().string());
    EnvOverride configVar("XDG_CONFIG_HOME", std::nullopt);
    ConfigStore store;
    FillSample(store);

    const auto working = home / "Documents" / "Mechanical Keyboard" / "$Profile0";
    EXPECT_FALSE(SaveWorkingProfileFile(store));
    EXPECT_FALSE(std::filesystem::exists(working));

    ASSERT_TRUE(CreateDefaultConfiguration(working));
    const Status saved = SaveWorkingProfileFile(store);
    ASSERT_TRUE(saved) << saved.error();
    EXPECT_EQ(ReadAll(working), WriteAndRead(store, home / "export.kpf"));
}

} // namespace
} // namespace kestrune
