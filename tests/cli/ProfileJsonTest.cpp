// Profile files as JSON and back: every file the program writes comes back
// byte for byte, what a hand-written JSON leaves out comes from a new
// configuration, and a bad JSON is refused with the place and the reason.

#include "CliTestSupport.h"

#include "CliReporter.h"
#include "ProfileJson.h"
#include "ProfileReport.h"

#include "common/Utf.h"
#include "config/Folders.h"
#include "config/LanguageKeyNames.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "keymodel/KeyAssignment.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

namespace kestrune::cli::testing {
namespace {

constexpr KeyIndex kKeyA = 0x01E;
constexpr KeyIndex kKeyB = 0x030;
constexpr KeyIndex kKeyF3 = 0x03D;
constexpr KeyIndex kKeyRightShiftE0 = 0x136; // no name of its own leads back to it

// Key and media names as the program has them: from the language file beside it.
class ProfileJson : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (LoadEnglishTexts(TheLanguageTable(), LanguageFilePath())) ApplyLanguageToKeyNames(TheLanguageTable());
    }
};

std::vector<std::uint8_t> Bytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The file as the program writes it, through JSON text and back.
std::vector<std::uint8_t> ThroughJson(const std::vector<std::uint8_t>& image)
{
    auto copy = ParseProfileImage(image);
    EXPECT_TRUE(copy.ok()) << copy.error();
    if (!copy) return {};
    const std::string text = ProfileToJson(*copy).dump(2);
    auto again = ProfileImageFromJson(nlohmann::json::parse(text));
    EXPECT_TRUE(again.ok()) << again.error() << "\n" << text;
    return again ? *again : std::vector<std::uint8_t>{};
}

std::vector<std::uint8_t> Written(ConfigStore& store, const std::filesystem::path& path)
{
    EXPECT_TRUE(WriteProfileFile(store, path));
    return Bytes(path);
}

// Every assignment type, texts, marks, repeat counts, the macro keys, key map
// 3, and macros whose records carry bytes past their names and actions.
void FillEveryKind(CurrentCopy& copy)
{
    auto set = [&](std::size_t map, std::size_t slot, AssignmentType type, std::uint16_t aux, std::uint32_t value) {
        SetAssignment(*copy.Assignment(map, slot), type, aux, value);
    };
    set(0, SlotOfKey(kKeyA), AssignmentType::RemapKey, 0, kKeyB);
    set(0, SlotOfKey(kKeyB), AssignmentType::RemapKey, 0, kKeyRightShiftE0);
    set(0, SlotOfKey(kKeyF3), AssignmentType::RemapKey, 0, 0); // what a read-back of 02 01 00 gives
    set(0, SlotOfKey(0x03B), AssignmentType::Media, 0, 6);
    set(0, SlotOfKey(0x03C), AssignmentType::Media, 0, 40); // a row past the table
    set(1, SlotOfKey(0x001), AssignmentType::Disabled, 0, 0);
    set(1, SlotOfKey(0x010), AssignmentType::LaunchProgram, 0, 0);
    ASSERT_TRUE(copy.Strings().Set(StringSlotIndex(1, SlotOfKey(0x010)), u"/usr/bin/计算器"));
    set(1, SlotOfKey(0x011), AssignmentType::TextBlock, 0, 0);
    ASSERT_TRUE(copy.Strings().Set(StringSlotIndex(1, SlotOfKey(0x011)), u"abc"));
    set(1, SlotOfKey(0x012), AssignmentType::TextBlock, 0, 0); // no text: written with no offset
    set(1, SlotOfKey(0x013), AssignmentType::TextBlock, 0, 0);
    ASSERT_TRUE(copy.Strings().Set(StringSlotIndex(1, SlotOfKey(0x013)), std::u16string{u'x', char16_t{0xD800}, u'y'}));
    set(2, SlotOfKey(0x002), AssignmentType::PlayMacro, 4, 7);
    set(2, SlotOfKey(0x003), AssignmentType::StopMacro, 0, 0);
    set(2, SlotOfKey(0x004), AssignmentType::FunctionKey, 0, 3);
    set(2, SlotOfKey(0x005), AssignmentType::Unknown, 0, 0x000104);
    set(2, *GKeySlot(3, GKeyBank::B), AssignmentType::PlayMacro, 2, 1);
    set(2, 300, static_cast<AssignmentType>(42), 9, 99); // a type and slot no window makes
    copy.Assignment(0, 5)->mark = 1;
    copy.Assignment(0, 6)->reserved = 0xDEADBEEF;
    set(3, SlotOfKey(kKeyA), AssignmentType::Disabled, 0, 0);

    MacroRecord one = MakeMacroRecord(u"Hello 你好", 7);
    one.cycles = 3;
    one.AppendAction({20, 0x023, kMacroPress});
    one.AppendAction({-5, 0, kMacroRelease});
    one.AppendAction({40950, 0x130, 3});
    MacroRecord two = MakeMacroRecord(u"two", 1);
    two.name[10] = u'Z';            // behind the terminator
    two.reserved1 = 9;
    two.reserved3 = 0x1234;
    two.actions[1999].delay = 77;   // past the action count
    copy.Macros() = {one, two};
}

TEST_F(ProfileJson, EveryFileTheProgramWritesComesBackByteForByte)
{
    const kestrune::testing::ScratchFolder folder("kestrune-json");

    ASSERT_TRUE(CreateDefaultConfiguration(folder.Path() / "new.kpf"));
    const auto fresh = Bytes(folder.Path() / "new.kpf");
    EXPECT_EQ(ThroughJson(fresh), fresh);

    ConfigStore store;
    ASSERT_TRUE(store.CreateDefaultConfiguration());
    {
        std::lock_guard lock(store.CurrentLock());
        InitialiseKeyMap(store.Current().Block()->maps[1]); // as a read-back leaves it
        FillEveryKind(store.Current());
        store.Current().Block()->device[3] = 0x5A;
        // A key that launched a program and now does something else: its text
        // stays in the copy, and the file keeps room for it.
        const std::size_t orphan = SlotOfKey(0x020);
        ASSERT_TRUE(store.Current().Strings().Set(StringSlotIndex(0, orphan), u"/bin/old"));
        SetAssignment(*store.Current().Assignment(0, orphan), AssignmentType::Disabled, 0, 0);
    }
    const auto everyKind = Written(store, folder.Path() / "every.kpf");
    EXPECT_EQ(ThroughJson(everyKind), everyKind);

    // Random configurations: any type, value, aux, mark and text on any slot,
    // macros with any names and actions.
    std::mt19937 random(20261211);
    auto any = [&](std::uint32_t most) { return std::uniform_int_distribution<std::uint32_t>(0, most)(random); };
    for (int round = 0; round < 20; ++round) {
        ConfigStore randomStore;
        ASSERT_TRUE(randomStore.CreateDefaultConfiguration());
        std::lock_guard lock(randomStore.CurrentLock());
        CurrentCopy& copy = randomStore.Current();
        for (int n = 0; n < 60; ++n) {
            const std::size_t map = any(3);
            const std::size_t slot = any(kKeyMapSlots - 1);
            KeyAssignment& a = *copy.Assignment(map, slot);
            a.type = static_cast<AssignmentType>(any(4) == 0 ? any(0xFFFF) : any(kAssignmentTypeCount - 1));
            a.aux = static_cast<std::uint16_t>(any(3) == 0 ? any(0xFFFF) : 0);
            a.value = any(2) == 0 ? any(0xFFFFFFFF) : any(0x17F);
            a.mark = any(5) == 0 ? any(0xFFFFFFFF) : 0;
            a.reserved = any(9) == 0 ? any(0xFFFFFFFF) : 0;
            if (HasStringSlot(a.type) && any(1) == 0) {
                std::u16string text;
                for (std::uint32_t u = any(12); u > 0; --u) text.push_back(static_cast<char16_t>(1 + any(0xFFFE)));
                ASSERT_TRUE(copy.Strings().Set(StringSlotIndex(map, slot), text));
            }
        }
        for (std::uint32_t m = any(4); m > 0; --m) {
            std::u16string name;
            for (std::uint32_t u = any(20); u > 0; --u) name.push_back(static_cast<char16_t>(1 + any(0xFFFE)));
            MacroRecord record = MakeMacroRecord(name, static_cast<std::uint16_t>(copy.MacroCount() + 1));
            record.cycles = static_cast<std::uint8_t>(1 + any(254));
            for (std::uint32_t n = any(30); n > 0; --n)
                record.AppendAction({static_cast<std::int32_t>(any(0xFFFFFFFF)), static_cast<std::uint16_t>(any(0xFFFF)),
                                     static_cast<std::uint16_t>(any(1))});
            if (any(1) == 0) record.actions[any(kMaxMacroActions - 1)].key = static_cast<std::uint16_t>(1 + any(0xFFFE));
            copy.Macros().push_back(record);
        }
        const auto image = Written(randomStore, folder.Path() / "random.kpf");
        ASSERT_EQ(ThroughJson(image), image) << "round " << round;
    }
}

TEST_F(ProfileJson, AHandWrittenJsonGetsTheDefaultsOfANewConfiguration)
{
    const kestrune::testing::ScratchFolder folder("kestrune-json");
    ASSERT_TRUE(CreateDefaultConfiguration(folder.Path() / "new.kpf"));
    auto empty = ProfileImageFromJson(nlohmann::json::object());
    ASSERT_TRUE(empty.ok()) << empty.error();
    EXPECT_EQ(*empty, Bytes(folder.Path() / "new.kpf"));

    auto image = ProfileImageFromJson(nlohmann::json::parse(R"({
      "profiles": [{"keys": [{"key": "A", "type": "RemapKey", "target": "B"},
                             {"key": "F1", "type": "Media", "target": "Volume Up"},
                             {"key": "G2 bank B", "type": "PlayMacro", "target": 1}]},
                   {"profile": 2, "keys": [{"key": "Esc", "type": "TextBlock", "text": "hi"}]}],
      "macros": [{"actions": [{"key": "A", "direction": "press"}, {"key": "A", "direction": "release", "delay": 30}]}]
    })"));
    ASSERT_TRUE(image.ok()) << image.error();
    auto copy = ParseProfileImage(*image);
    ASSERT_TRUE(copy.ok()) << copy.error();
    EXPECT_EQ(*copy->Assignment(0, SlotOfKey(kKeyA)), (KeyAssignment{AssignmentType::RemapKey, 0, kKeyB, 0, 0}));
    EXPECT_EQ(copy->Assignment(0, SlotOfKey(0x03B))->value, 6u);
    const KeyMap initialised = MakeInitialisedKeyMap();
    const std::size_t g2b = *GKeySlot(2, GKeyBank::B);
    EXPECT_EQ(*copy->Assignment(0, g2b), (KeyAssignment{AssignmentType::PlayMacro, initialised[g2b].aux, 1, 0, 0}));
    EXPECT_EQ(copy->Assignment(0, g2b + 1)->aux, initialised[g2b + 1].aux);
    EXPECT_EQ(copy->Strings().Text(StringSlotIndex(2, SlotOfKey(0x001))), std::u16string_view(u"hi"));
    EXPECT_EQ(copy->Block()->maps[1], KeyMap{});
    ASSERT_EQ(copy->MacroCount(), 1u);
    const MacroRecord& macro = copy->Macros()[0];
    EXPECT_EQ(macro.id, 1);
    EXPECT_EQ(macro.Name(), u"Macro1");
    EXPECT_EQ(macro.cycles, 1);
    ASSERT_EQ(macro.Actions().size(), 2u);
    EXPECT_EQ(macro.Actions()[0], (MacroAction{0, kKeyA, kMacroPress}));
    EXPECT_EQ(macro.Actions()[1], (MacroAction{30, kKeyA, kMacroRelease}));
    EXPECT_EQ(copy->Block()->device, DefaultDeviceBlock());
}

TEST_F(ProfileJson, BadJsonIsRefusedWithItsPathAndReason)
{
    const struct {
        const char* json;
        const char* message;
    } cases[] = {
        {R"({"profiles": [{}, {"keys": [{"key": "A"}, {"key": "B"}, {"key": "C"},
             {"key": "D", "type": "RemapKey", "target": "Foo"}]}]})",
         "profiles[1].keys[3].target: unknown key \"Foo\""},
        {R"([])", "the document: expected an object"},
        {R"({"profile": []})", "profile: unknown field"},
        {R"({"profiles": [{"keys": [{"key": "A", "type": "Remap"}]}]})", "profiles[0].keys[0].type: unknown type \"Remap\""},
        {R"({"profiles": [{"keys": [{"key": "A", "type": "RemapKey"}]}]})", "profiles[0].keys[0]: a RemapKey key needs a \"target\""},
        {R"({"profiles": [{"keys": [{"key": "A", "type": "Disabled", "target": "B"}]}]})", "profiles[0].keys[0].target: a Disabled key has no target"},
        {R"({"profiles": [{"keys": [{"key": "A", "text": "x"}]}]})", "profiles[0].keys[0].text: a Default key has no text"},
        {R"({"profiles": [{"keys": [{"key": "A"}, {"key": "a"}]}]})", "profiles[0].keys[1].key: \"a\" is given twice"},
        {R"({"profiles": [{"keys": [{"key": "Nope"}]}]})", "profiles[0].keys[0].key: unknown key \"Nope\""},
        {R"({"profiles": [{"keys": [{"key": "slot 512"}]}]})", "profiles[0].keys[0].key: \"slot 512\""},
        {R"({"profiles": [{"keys": [{"key": "F1", "type": "Media", "target": "Louder"}]}]})", "profiles[0].keys[0].target: unknown media function \"Louder\""},
        {R"({"profiles": [{"keys": [{"key": "A", "type": "LaunchProgram", "value": 3}]}]})", "profiles[0].keys[0].value: a LaunchProgram key's value"},
        {R"({"profiles": [{"profile": 4}]})", "profiles[0].profile: 4 is out of range (0 to 3)"},
        {R"({"profiles": [{"profile": 1}, {"profile": 1}]})", "profiles[1].profile: profile 1 is given twice"},
        {R"({"profiles": [{}, {}, {}, {}, {}]})", "profiles: holds 5 entries, at most 4 fit"},
        {R"({"macros": [{"cycles": 0}]})", "macros[0].cycles: 0 is out of range (1 to 255)"},
        {R"({"macros": [{"actions": [{"key": "A", "direction": "down"}]}]})", "macros[0].actions[0].direction: \"down\" is neither"},
        {R"({"macros": [{"actions": [{"direction": "press"}]}]})", "macros[0].actions[0]: an action needs a \"key\""},
        {R"({"macros": [{"id": 2}, {"id": 2}]})", "macros: "},
        {R"({"macros": [{"extra": [{"offset": 16510, "bytes": "000000"}]}]})", "macros[0].extra[0]: runs past the end"},
        {R"({"device": "00"})", "device: expected 32 bytes"},
        {R"({"kestruneProfile": 2})", "kestruneProfile: 2 is out of range (1 to 1)"},
        {R"({"flag": "1"})", "flag: expected a whole number, found \"1\""},
    };
    for (const auto& c : cases) {
        auto image = ProfileImageFromJson(nlohmann::json::parse(c.json));
        ASSERT_FALSE(image.ok()) << c.json;
        EXPECT_EQ(image.error().find(c.message), 0u) << image.error();
    }
}

TEST(CliFiles, ExportAndImportJsonThroughTheProgram)
{
    CliFolders folders;
    ConfigStore store;
    ASSERT_TRUE(store.CreateDefaultConfiguration());
    {
        std::lock_guard lock(store.CurrentLock());
        FillEveryKind(store.Current());
    }
    const auto kpf = folders.Root() / "every.kpf";
    ASSERT_TRUE(WriteProfileFile(store, kpf));

    const RunResult printed = folders.CliPlain({"export-json", kpf.string()});
    ASSERT_EQ(printed.exitCode, 0) << printed.err;
    EXPECT_EQ(printed.err, "");
    const auto json = folders.Root() / "every.json";
    ASSERT_EQ(folders.CliPlain({"export-json", kpf.string(), json.string()}).exitCode, 0);
    EXPECT_EQ(nlohmann::json::parse(printed.out), nlohmann::json::parse(std::ifstream(json)));

    const auto back = folders.Root() / "back.kpf";
    const RunResult imported = folders.CliPlain({"import-json", json.string(), back.string()});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(Bytes(back), Bytes(kpf));

    // validate and show take the JSON form as they take the file.
    const RunResult valid = folders.CliPlain({"validate", json.string()});
    EXPECT_EQ(valid.exitCode, 0) << valid.err;
    EXPECT_EQ(folders.CliPlain({"show", json.string()}).out, folders.CliPlain({"show", kpf.string()}).out);

    // A bad JSON leaves the profile file it would have replaced as it was.
    std::ofstream(folders.Root() / "bad.json") << R"({"macros": [{"cycles": 300}]})";
    const auto before = Bytes(back);
    const RunResult bad = folders.CliPlain({"import-json", (folders.Root() / "bad.json").string(), back.string()});
    EXPECT_EQ(bad.exitCode, 3);
    EXPECT_NE(bad.err.find("bad.json: macros[0].cycles: 300 is out of range (1 to 255)"), std::string::npos) << bad.err;
    EXPECT_EQ(Bytes(back), before);
    std::ofstream(folders.Root() / "broken.json") << "{\"macros\": [\n";
    const RunResult broken = folders.CliPlain({"validate", (folders.Root() / "broken.json").string()});
    EXPECT_EQ(broken.exitCode, 3);
    EXPECT_NE(broken.err.find("not valid JSON: parse error at line 2"), std::string::npos) << broken.err;

    // A file from elsewhere with bytes the program never writes: the JSON is
    // made, and the difference is named.
    auto foreign = Bytes(kpf);
    foreign[kHdrReserved20] = 1;
    foreign[kHdrChecksum] = HeaderChecksum(std::span(foreign).first<kConfigHeaderSize>());
    std::ofstream(folders.Root() / "foreign.kpf", std::ios::binary)
        .write(reinterpret_cast<const char*>(foreign.data()), static_cast<std::streamsize>(foreign.size()));
    const RunResult noted = folders.CliPlain({"export-json", (folders.Root() / "foreign.kpf").string()});
    EXPECT_EQ(noted.exitCode, 0) << noted.err;
    EXPECT_NE(noted.err.find("the first at byte 20"), std::string::npos) << noted.err;
}

TEST(CliDevice, TheJsonFormAppliesLikeItsFileAndAReadBackComesBackThroughJson)
{
    CliFolders folders;
    ConfigStore store;
    ASSERT_TRUE(store.CreateDefaultConfiguration());
    {
        std::lock_guard lock(store.CurrentLock());
        FillEveryKind(store.Current());
    }
    const auto kpf = folders.Root() / "every.kpf";
    ASSERT_TRUE(WriteProfileFile(store, kpf));
    const auto json = folders.Root() / "every.json";
    ASSERT_EQ(folders.CliPlain({"export-json", kpf.string(), json.string()}).exitCode, 0);

    ASSERT_EQ(folders.Cli({"apply", kpf.string()}).exitCode, 0);
    const auto fromFile = folders.State();
    ASSERT_EQ(folders.Emu({"reset"}).exitCode, 0);
    const RunResult applied = folders.Cli({"apply", json.string()});
    ASSERT_EQ(applied.exitCode, 0) << applied.err;
    EXPECT_EQ(folders.State().keyTables, fromFile.keyTables);
    EXPECT_EQ(folders.State().macroArea, fromFile.macroArea);

    const auto readBack = folders.Root() / "read-back.kpf";
    ASSERT_EQ(folders.Cli({"read-back", readBack.string()}).exitCode, 0);
    const auto readJson = folders.Root() / "read-back.json";
    const auto again = folders.Root() / "again.kpf";
    ASSERT_EQ(folders.CliPlain({"export-json", readBack.string(), readJson.string()}).exitCode, 0);
    ASSERT_EQ(folders.CliPlain({"import-json", readJson.string(), again.string()}).exitCode, 0);
    EXPECT_EQ(Bytes(again), Bytes(readBack));
}

} // namespace
} // namespace kestrune::cli::testing
