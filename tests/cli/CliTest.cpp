// kestrune-cli run as a program against the emulator library: what reaches
// the keyboard's memory, what comes back, and how bad files, bad usage and a
// missing keyboard end.

#include "CliTestSupport.h"

#include "CliReporter.h"
#include "Commands.h"
#include "emulator/StateFile.h"

#include "common/LittleEndian.h"
#include "config/ConfigHeader.h"
#include "config/Folders.h"
#include "config/ProfileFile.h"
#include "keymodel/DefaultHardwareTable.h"
#include "lighting/LightingState.h"
#include "macro/MacroArea.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <sstream>

namespace kestrune::cli::testing {
namespace {

using emulator::FactoryKeyboardState;
using emulator::KeyboardState;

constexpr KeyIndex kKeyA = 0x01E;
constexpr KeyIndex kKeyB = 0x030;
constexpr KeyIndex kKeyC = 0x02E;
constexpr KeyIndex kKeyH = 0x023;
constexpr KeyIndex kKeyEsc = 0x001;
constexpr KeyIndex kKeyF1 = 0x03B;
constexpr KeyIndex kKeyF2 = 0x03C;

// Assignments of several kinds in all three profiles and two macros, the
// second played by a key.
void FillSampleConfiguration(ConfigStore& store)
{
    ASSERT_TRUE(store.CreateDefaultConfiguration());
    std::lock_guard lock(store.CurrentLock());
    CurrentCopy& copy = store.Current();
    SetAssignment(*copy.Assignment(0, SlotOfKey(kKeyA)), AssignmentType::RemapKey, 0, kKeyB);
    SetAssignment(*copy.Assignment(0, SlotOfKey(kKeyF2)), AssignmentType::Media, 0, 1);
    SetAssignment(*copy.Assignment(1, SlotOfKey(kKeyEsc)), AssignmentType::Disabled, 0, 0);
    SetAssignment(*copy.Assignment(2, SlotOfKey(kKeyF1)), AssignmentType::PlayMacro, 0, 2);

    MacroRecord hello = MakeMacroRecord(u"Hello", 1);
    hello.AppendAction({20, kKeyH, kMacroPress});
    hello.AppendAction({10, kKeyH, kMacroRelease});
    MacroRecord copyKeys = MakeMacroRecord(u"Copy", 2);
    copyKeys.cycles = 3;
    copyKeys.AppendAction({0, kKeyCtrl, kMacroPress});
    copyKeys.AppendAction({30, kKeyC, kMacroPress});
    copyKeys.AppendAction({30, kKeyC, kMacroRelease});
    copyKeys.AppendAction({0, kKeyCtrl, kMacroRelease});
    copy.Macros() = {hello, copyKeys};
}

std::filesystem::path WriteSampleProfile(const std::filesystem::path& path)
{
    ConfigStore store;
    FillSampleConfiguration(store);
    EXPECT_TRUE(WriteProfileFile(store, path));
    return path;
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void FixHeaderChecksum(std::vector<std::uint8_t>& bytes)
{
    bytes[kHdrChecksum] = HeaderChecksum(std::span(bytes).first<kConfigHeaderSize>());
}

TEST(CliDevice, ApplyLeavesTheEncodedTablesAndMacroAreaAndReadBackReproducesTheFile)
{
    CliFolders folders;
    const auto file = WriteSampleProfile(folders.Root() / "sample.kpf");

    const RunResult apply = folders.Cli({"apply", file.string()});
    ASSERT_EQ(apply.exitCode, 0) << apply.err;

    ConfigStore expected;
    FillSampleConfiguration(expected);
    const KeyboardState state = folders.State();
    std::lock_guard lock(expected.CurrentLock());
    const CurrentCopy& copy = expected.Current();
    const std::vector<std::uint16_t> ids = {1, 2};
    auto factory = ReadHardwareKeyTable(state.defaultKeyTable);
    ASSERT_TRUE(factory.ok());
    for (int profile = 0; profile < wire::kProfileCount; ++profile) {
        const auto table = EncodeKeyTable(copy.Block()->maps[static_cast<std::size_t>(profile)], *factory, ids);
        EXPECT_EQ(HardwareKeyTableToBytes(table), state.keyTables[static_cast<std::size_t>(profile)])
            << "profile " << profile;
    }

    const MacroAreaSize sizes = MacroAreaSizes(copy.Macros());
    ASSERT_LE(sizes.withNames, state.macroArea.size());
    std::vector<std::uint8_t> area(sizes.withNames);
    ASSERT_TRUE(EncodeMacroArea(copy.Macros(), sizes.withNames, true, area));
    EXPECT_TRUE(std::equal(area.begin(), area.end(), state.macroArea.begin()));
    const auto factoryArea = FactoryKeyboardState().macroArea;
    EXPECT_TRUE(std::equal(state.macroArea.begin() + static_cast<std::ptrdiff_t>(area.size()), state.macroArea.end(),
                           factoryArea.begin() + static_cast<std::ptrdiff_t>(area.size())))
        << "bytes after the area changed";

    const auto readBack = folders.Root() / "read-back.kpf";
    const RunResult read = folders.Cli({"read-back", readBack.string()});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    const RunResult original = folders.CliPlain({"show", "--json", file.string()});
    const RunResult again = folders.CliPlain({"show", "--json", readBack.string()});
    ASSERT_EQ(original.exitCode, 0) << original.err;
    ASSERT_EQ(again.exitCode, 0) << again.err;
    const auto json = nlohmann::json::parse(again.out);
    EXPECT_EQ(json, nlohmann::json::parse(original.out));
    EXPECT_EQ(json["profiles"][2]["keys"][0]["target"], "macro 2");
    EXPECT_EQ(json["macros"][1]["name"], "Copy");
    EXPECT_EQ(json["macros"][1]["cycles"], 3);

    const RunResult text = folders.CliPlain({"show", readBack.string()});
    EXPECT_NE(text.out.find("A -> key B"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("press Ctrl"), std::string::npos) << text.out;
}

// A keyboard with room for one 128-byte unit of macros: a long name no longer
// fits, and neither do many actions.
TEST(CliDevice, ApplyReportsTheDownloadsMessages)
{
    struct Case {
        const char* name;
        MacroRecord macro;
        int exitCode;
        const char* messageKey;
        bool sent;
    };
    MacroRecord longName = MakeMacroRecord(std::u16string(100, u'n'), 1);
    longName.AppendAction({10, kKeyH, kMacroPress});
    longName.AppendAction({10, kKeyH, kMacroRelease});
    MacroRecord manyActions = MakeMacroRecord(u"m", 1);
    for (int i = 0; i < 40; ++i) manyActions.AppendAction({10, kKeyH, i % 2 == 0 ? kMacroPress : kMacroRelease});
    const std::vector<Case> cases = {
        {"names dropped", longName, 0, "EXTRA_PROFILE_SPACE_TIGHT", true},
        {"too many actions", manyActions, 1, "MACRO_SPACE_EXCEEDED", false},
    };
    // The texts the program shows: its language file's English ones, when it has one.
    LanguageTable texts;
    LoadEnglishTexts(texts, std::filesystem::path(KESTRUNE_CLI_PROGRAM).parent_path() / "Skins" / "language.ini");
    for (const Case& c : cases) {
        CliFolders folders;
        KeyboardState small = FactoryKeyboardState();
        small.settings[wire::kSettingsMacroCapacity] = 1;
        small.macroArea.assign(wire::kMacroCapacityUnit, 0xFF);
        ASSERT_TRUE(emulator::SaveStateFile(folders.StatePath(), small));

        ConfigStore store;
        ASSERT_TRUE(store.CreateDefaultConfiguration());
        {
            std::lock_guard lock(store.CurrentLock());
            SetAssignment(*store.Current().Assignment(0, SlotOfKey(kKeyF1)), AssignmentType::PlayMacro, 0, 1);
            store.Current().Macros() = {c.macro};
        }
        const auto file = folders.Root() / "macros.kpf";
        ASSERT_TRUE(WriteProfileFile(store, file));

        const RunResult apply = folders.Cli({"apply", file.string()});
        EXPECT_EQ(apply.exitCode, c.exitCode) << c.name << ": " << apply.err;
        const std::string message = MessageLine(texts, {c.messageKey, {}});
        ASSERT_FALSE(message.empty());
        EXPECT_NE(apply.err.find("kestrune-cli: " + message + "\n"), std::string::npos) << c.name << ": " << apply.err;
        const KeyboardState state = folders.State();
        EXPECT_EQ(state.macroArea != small.macroArea, c.sent) << c.name;
        EXPECT_EQ(state.keyTables != small.keyTables, c.sent) << c.name;
    }
}

TEST(CliDevice, ProfileSetChangesOnlyTheActiveProfileByte)
{
    CliFolders folders;
    ASSERT_EQ(folders.Emu({"dump"}).exitCode, 0);
    const KeyboardState before = folders.State();

    const RunResult set = folders.Cli({"profile", "set", "2"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    KeyboardState after = folders.State();
    EXPECT_EQ(after.settings[wire::kSettingsActiveProfile], 2);
    after.settings[wire::kSettingsActiveProfile] = before.settings[wire::kSettingsActiveProfile];
    EXPECT_EQ(after, before);

    const RunResult show = folders.Cli({"profile"});
    EXPECT_EQ(show.exitCode, 0);
    EXPECT_EQ(show.out, "2\n");
    const RunResult status = folders.Cli({"status"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find("Active profile: 2"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("Macro capacity: 8192 bytes"), std::string::npos) << status.out;
}

TEST(CliDevice, LightingCommandsLeaveExactlyTheirBytes)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> lighting; // address, bytes
        std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> colours;  // light, R G B
    };
    const std::vector<Case> cases = {
        {{"lighting", "set", "--effect", "2"}, {{0, {2}}}, {}},
        {{"lighting", "set", "--brightness", "1", "--speed", "0", "--direction", "right"},
         {{1, {1}}, {2, {4}}, {4, {1}}},
         {}},
        {{"lighting", "set", "--effect", "11", "--colour", "102030"}, {{0, {11}}, {20, {0x10, 0x20, 0x30}}}, {}},
        {{"lighting", "set", "--effect", "4", "--rainbow", "on", "--trigger", "grid"}, {{0, {4}}, {18, {1, 1}}}, {}},
        {{"lighting", "set", "--effect", "9", "--colour", "#0A0B0C"}, {{0, {9}}, {5, {0x0A, 0x0B, 0x0C}}}, {}},
        {{"key-colour", "A", "112233"}, {}, {{53, {0x11, 0x22, 0x33}}}},
        {{"key-colour", "G2", "010203"}, {}, {{2, {1, 2, 3}}}},
        {{"key-colour", "0x1e", "445566"}, {}, {{53, {0x44, 0x55, 0x66}}}},
    };
    for (const Case& c : cases) {
        CliFolders folders;
        const RunResult run = folders.Cli(c.args);
        ASSERT_EQ(run.exitCode, 0) << c.args[0] << " " << c.args[1] << ": " << run.err;
        KeyboardState expected = FactoryKeyboardState();
        for (const auto& [address, bytes] : c.lighting)
            std::ranges::copy(bytes, expected.lighting.begin() + static_cast<std::ptrdiff_t>(address));
        for (const auto& [light, bytes] : c.colours)
            std::ranges::copy(bytes, expected.keyColours.begin() + static_cast<std::ptrdiff_t>(3 * light));
        const KeyboardState state = folders.State();
        EXPECT_EQ(state.lighting, expected.lighting) << c.args[2];
        EXPECT_EQ(state.keyColours, expected.keyColours) << c.args[1];
    }
}

TEST(CliDevice, LightingDefaultsRestoreTheDefaultBlock)
{
    CliFolders folders;
    ASSERT_EQ(folders.Cli({"lighting", "set", "--effect", "14", "--brightness", "0", "--colour", "ABCDEF"}).exitCode,
              0);
    const RunResult defaults = folders.Cli({"lighting", "defaults"});
    ASSERT_EQ(defaults.exitCode, 0) << defaults.err;
    const KeyboardState state = folders.State();
    EXPECT_TRUE(std::equal(kLightingDefaults.begin(), kLightingDefaults.end(), state.lighting.begin()));

    const RunResult show = folders.Cli({"lighting"});
    EXPECT_EQ(show.exitCode, 0);
    EXPECT_NE(show.out.find("effect: 1\n"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("brightness: 3\n"), std::string::npos) << show.out;
}

// The command reports a run sends, oldest first, as the emulator lists them
// at debug level 2; each is "CC" the command code in hex.
std::vector<std::string> CommandsSent(const std::string& err)
{
    static const std::string kOut = "kestrune emulator: out 04";
    std::vector<std::string> commands;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        // Report id 04, the checksum's two bytes, then the command.
        if (line.starts_with(kOut) && line.size() >= kOut.size() + 6)
            commands.push_back(line.substr(kOut.size() + 4, 2));
    }
    return commands;
}

// As many macros of 40 actions as the factory keyboard's 8192 bytes take.
std::vector<MacroRecord> FullMacroArea()
{
    std::vector<MacroRecord> list;
    for (std::uint16_t id = 1; id <= kMaxMacros; ++id) {
        MacroRecord record = MakeMacroRecord(u"Macro", id);
        for (std::int32_t i = 0; i < 40; ++i)
            record.AppendAction({10 * i, kKeyH, i % 2 == 0 ? kMacroPress : kMacroRelease});
        list.push_back(record);
        if (MacroAreaSizes(list).withNames > emulator::MacroCapacityBytes(FactoryKeyboardState().settings)) {
            list.pop_back();
            break;
        }
    }
    return list;
}

std::size_t Reports(std::size_t bytes)
{
    return (bytes + wire::kMaxPayload - 1) / wire::kMaxPayload;
}

// Each command sends what it needs and no more: the attach's settings record
// (and, for a command that encodes or decodes key tables, the factory table
// in nine reports), then its own exchanges.
TEST(CliDevice, EachCommandSendsOnlyTheReportsItNeeds)
{
    CliFolders folders;
    ConfigStore store;
    ASSERT_TRUE(store.CreateDefaultConfiguration());
    std::size_t areaBytes = 0;
    {
        std::lock_guard lock(store.CurrentLock());
        store.Current().Macros() = FullMacroArea();
        areaBytes = MacroAreaSizes(store.Current().Macros()).withNames;
    }
    const auto full = folders.Root() / "full.kpf";
    ASSERT_TRUE(WriteProfileFile(store, full));
    const std::size_t areaReports = Reports(areaBytes);
    ASSERT_GT(areaReports, 140u) << "a macro area that fills the keyboard's 8192 bytes";

    kestrune::testing::EnvOverride debug("KESTRUNE_EMULATOR_DEBUG", "2");
    struct Case {
        std::vector<std::string> args;
        std::size_t reports;
    };
    constexpr std::size_t kSettings = 1, kFactory = 9, kTables = 27, kUpdate = 2, kLightingRead = 3;
    const std::vector<Case> cases = {
        {{"apply", full.string()}, kFactory + kSettings + kUpdate + areaReports + kTables},
        {{"read-back", (folders.Root() / "back.kpf").string()}, kFactory + kSettings + kTables + areaReports},
        {{"profile"}, kSettings},
        {{"profile", "set", "1"}, kSettings + 1},
        {{"status"}, kSettings + kLightingRead},
        {{"lighting"}, kSettings + kLightingRead},
        {{"lighting", "set", "--brightness", "3"}, kSettings + kLightingRead + kUpdate + 1},
        {{"lighting", "set", "--brightness", "2", "--speed", "1"}, kSettings + kLightingRead + 2 * (kUpdate + 1)},
        {{"lighting", "set", "--effect", "11", "--colour", "102030"}, kSettings + kLightingRead + 2 * kUpdate + 2 + 2},
        // The base colour of effect 5 goes with the whole key colour table, which is read first.
        {{"lighting", "set", "--effect", "5", "--colour", "102030"},
         kSettings + (kLightingRead + 9) + (kUpdate + 1) + (kUpdate + 1 + 9)},
        {{"lighting", "defaults"}, kSettings + kUpdate + 1},
        {{"key-colour", "A", "112233"}, kSettings + kUpdate + 1},
    };
    for (const Case& c : cases) {
        const RunResult run = folders.Cli(c.args);
        ASSERT_EQ(run.exitCode, 0) << c.args[0] << ": " << run.err;
        const std::vector<std::string> sent = CommandsSent(run.err);
        std::string list;
        for (const std::string& command : sent) list += command + " ";
        EXPECT_EQ(sent.size(), c.reports) << c.args[0] << (c.args.size() > 1 ? " " + c.args[1] : "") << ": " << list;
    }
    // The read-back read what the apply wrote.
    EXPECT_EQ(folders.CliPlain({"show", "--json", (folders.Root() / "back.kpf").string()}).out,
              folders.CliPlain({"show", "--json", full.string()}).out);
}

TEST(CliDevice, BootRequestOnlyAfterYes)
{
    CliFolders folders;
    const RunResult declined = folders.Cli({"boot-mode"}, "n\n");
    EXPECT_EQ(declined.exitCode, 1);
    EXPECT_NE(declined.err.find("nothing was sent"), std::string::npos) << declined.err;
    const RunResult confirmed = folders.Cli({"boot-mode"}, "y\n");
    EXPECT_EQ(confirmed.exitCode, 0) << confirmed.err;
    EXPECT_EQ(folders.Cli({"boot-mode", "--yes"}).exitCode, 0);
}

TEST(CliFiles, BadProfileFilesExitThreeWithTheReasonAndSendNothing)
{
    struct Case {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> spoil;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"truncated block", [](auto& b) { b.resize(kConfigBlockSize - 1); }, "truncated"},
        {"truncated macros", [](auto& b) { b.resize(b.size() - 100); }, "truncated"},
        {"101 macros",
         [](auto& b) {
             WriteLe16(b, kHdrMacroCount, 101);
             WriteLe32(b, kHdrTotalSize,
                       static_cast<std::uint32_t>(ProfileTotalSize(101, ReadLe32(b, kHdrStringBytes))));
             FixHeaderChecksum(b);
         },
         "101 macros"},
        {"header checksum", [](auto& b) { b[kHdrFlag] = 1; }, "checksum"},
        {"not a profile file", [](auto& b) { std::fill(b.begin(), b.begin() + 32, std::uint8_t{0x41}); }, "magic"},
        {"duplicate macro id", [](auto& b) { WriteLe16(b, kConfigBlockSize + kMacroRecordSize + kMacroOffId, 1); },
         "macro"},
    };
    CliFolders folders;
    const auto good = WriteSampleProfile(folders.Root() / "good.kpf");
    ASSERT_EQ(folders.Emu({"dump"}).exitCode, 0);
    const std::string stateBefore = folders.StateText();
    for (const Case& c : cases) {
        auto bytes = ReadBytes(good);
        c.spoil(bytes);
        const auto file = folders.Root() / (std::string(c.name) + ".kpf");
        WriteBytes(file, bytes);
        for (const char* command : {"validate", "apply"}) {
            const RunResult run = folders.Cli({command, file.string()});
            EXPECT_EQ(run.exitCode, 3) << c.name << ", " << command << ": " << run.err;
            EXPECT_NE(run.err.find(file.string()), std::string::npos) << c.name << ": " << run.err;
            EXPECT_NE(run.err.find(c.reason), std::string::npos) << c.name << ": " << run.err;
        }
    }
    EXPECT_EQ(folders.StateText(), stateBefore);

    const RunResult valid = folders.CliPlain({"validate", good.string()});
    EXPECT_EQ(valid.exitCode, 0) << valid.err;
    EXPECT_EQ(folders.CliPlain({"show", (folders.Root() / "missing.kpf").string()}).exitCode, 3);
}

TEST(CliDevice, EveryKeyboardCommandExitsOneWithoutAKeyboard)
{
    CliFolders folders;
    const auto file = WriteSampleProfile(folders.Root() / "sample.kpf");
    ASSERT_EQ(folders.Emu({"unplug"}).exitCode, 0);
    const std::string stateBefore = folders.StateText();
    const std::vector<std::vector<std::string>> commands = {
        {"status"},
        {"profile"},
        {"profile", "set", "1"},
        {"read-back", (folders.Root() / "out.kpf").string()},
        {"apply", file.string()},
        {"lighting"},
        {"lighting", "set", "--effect", "2"},
        {"lighting", "defaults"},
        {"key-colour", "A", "FF0000"},
        {"boot-mode", "--yes"},
    };
    for (const auto& args : commands) {
        const RunResult run = folders.Cli(args);
        EXPECT_EQ(run.exitCode, 1) << args[0] << ": " << run.err;
        EXPECT_NE(run.err.find("no keyboard is attached (result 0"), std::string::npos) << args[0] << ": " << run.err;
    }
    EXPECT_FALSE(std::filesystem::exists(folders.Root() / "out.kpf"));
    EXPECT_EQ(folders.StateText(), stateBefore);

    // A device library that cannot be bound is a failure of its own, named in the message.
    ::setenv("KESTRUNE_DEVICE_LIBRARY", (folders.Root() / "none.so").c_str(), 1);
    const RunResult unbound = folders.CliPlain({"profile"});
    EXPECT_EQ(unbound.exitCode, 1);
    EXPECT_NE(unbound.err.find("none.so"), std::string::npos) << unbound.err;
}

TEST(CliUsage, BadUsageExitsTwoAndHelpAndVersionSucceed)
{
    CliFolders folders;
    ASSERT_EQ(folders.Emu({"dump"}).exitCode, 0);
    const std::string stateBefore = folders.StateText();
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"no-such-command"},
        {"profile", "set", "3"},
        {"lighting", "set"},
        {"lighting", "set", "--brightness", "5"},
        {"lighting", "set", "--rainbow", "maybe"},
        {"lighting", "set", "--effect", "15", "--colour", "12345"},
        {"lighting", "set", "--effect", "1", "--colour", "123456"},
        {"lighting", "set", "--effect", "15"}, // the emulated keyboard offers 1 to 14
        {"key-colour", "NoSuchKey", "FF0000"},
        {"show"},
    };
    for (const auto& args : bad) {
        const RunResult run = folders.Cli(args);
        EXPECT_EQ(run.exitCode, 2) << (args.empty() ? "(none)" : args[0]) << ": " << run.err;
    }
    EXPECT_EQ(folders.StateText(), stateBefore);

    const RunResult version = folders.CliPlain({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find("kestrune-cli "), std::string::npos);
    for (const char* command :
         {"status", "profile", "read-back", "apply", "validate", "show", "lighting", "key-colour", "boot-mode"}) {
        const RunResult help = folders.CliPlain({command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_NE(help.out.find("Usage:"), std::string::npos) << command;
    }
}

// Every start reads the settings record, and a command that encodes or
// decodes key tables (apply, read-back) first the factory key table in nine
// reports. 'held' counts the replies from the settings record on: 0 aims the
// faults at the settings read itself.
constexpr unsigned kFactoryTableReports = 9;

bool ReadsFactoryTable(const std::vector<std::string>& args)
{
    return !args.empty() && (args[0] == "apply" || args[0] == "read-back");
}

std::string FaultsAfter(const std::vector<std::string>& args, unsigned held, const std::string& faults)
{
    return "after " + std::to_string((ReadsFactoryTable(args) ? kFactoryTableReports : 0) + held) + "; " + faults;
}

TEST(CliFaults, AMisbehavingKeyboardEndsTheCommandWithItsResultInWords)
{
    struct Case {
        unsigned held;
        std::string faults;
        std::vector<std::string> args;
        std::vector<std::string> said;
        bool keyboardUnchanged;
    };
    const std::string refusedFE = "the keyboard refused the command with status fe";
    const std::string refusedFF = "the keyboard refused the command with status ff";
    // A lost reply or one with another command code costs three full waits, so few of them.
    const std::string noAnswer = "result -2: the keyboard did not answer, no reply after 3 attempts";
    const std::string damaged =
        "result -3: the keyboard's replies arrived damaged (cut short or failing their checksum)";
    const std::vector<Case> cases = {
        {0, "status fe 3", {"profile"}, {"reading the keyboard's settings failed (result -103: " + refusedFE}, true},
        {0, "status ff 3", {"profile"}, {"reading the keyboard's settings failed (result -102: " + refusedFF}, true},
        {0, "drop 3", {"profile"}, {noAnswer}, true},
        {0, "wrong-code 3", {"lighting", "set", "--brightness", "2"}, {noAnswer}, true},
        {0, "short 3", {"profile"}, {"reading the keyboard's settings failed (" + damaged}, true},
        {0, "corrupt 3", {"profile", "set", "2"}, {"failed (" + damaged}, true},
        // The settings read is answered, the write that switches is refused.
        {1, "status fe 3", {"profile", "set", "1"}, {"switching to profile 1 failed (result -103: " + refusedFE}, true},
        // The settings record, then the lighting read (BeginUpdate, the
        // block, EndUpdate); the write's BeginUpdate is answered, the write refused.
        {1 + 3 + 1,
         "status ff 3",
         {"lighting", "set", "--brightness", "2"},
         {"the keyboard did not take the new brightness (result -102: " + refusedFF + ")"},
         true},
        // The settings record and BeginUpdate are answered, the macro area refused.
        {2,
         "status fe 3",
         {"apply", "sample.kpf"},
         {"the download of", "failed (result 0: the keyboard refused, lost or did not answer part of it)"},
         false},
        // The settings record (which gives the active profile) is answered; the first key table is refused.
        {1,
         "status ff 3",
         {"read-back", "out.kpf"},
         {"failed at reading key table 0 (result -102: " + refusedFF + ")", "the file was left as it was"},
         true},
        {1, "short 3", {"read-back", "out.kpf"}, {"failed at reading key table 0 (" + damaged}, true},
        {1, "corrupt 3", {"read-back", "out.kpf"}, {"failed at reading key table 0 (" + damaged}, true},
    };
    for (const auto& c : cases) {
        const std::string faults = FaultsAfter(c.args, c.held, c.faults);
        SCOPED_TRACE(faults + " / " + c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        CliFolders folders;
        WriteSampleProfile(folders.Root() / "sample.kpf");
        ASSERT_EQ(folders.Emu({"dump"}).exitCode, 0);
        const std::string stateBefore = folders.StateText();
        std::vector<std::string> args = c.args;
        for (auto& arg : args)
            if (arg.ends_with(".kpf")) arg = (folders.Root() / arg).string();

        const RunResult run = folders.CliWithFaults(faults, args);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        for (const auto& text : c.said) EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("applied"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("active profile is now"), std::string::npos) << run.err;
        if (c.keyboardUnchanged) {
            EXPECT_EQ(folders.StateText(), stateBefore);
        }
        EXPECT_FALSE(std::filesystem::exists(folders.Root() / "out.kpf"));
    }
}

TEST(CliFaults, FailedApplyAndReadBackLeaveTheFilesAsTheyWere)
{
    CliFolders folders;
    const auto factory = folders.Root() / "factory.kpf";
    ASSERT_EQ(folders.Cli({"read-back", factory.string()}).exitCode, 0);
    const auto sample = WriteSampleProfile(folders.Root() / "sample.kpf");
    // The program keeps a working profile file: a download that was taken updates it.
    const auto working = WorkingProfilePath();
    ASSERT_TRUE(working.ok()) << working.error();
    std::filesystem::create_directories(working->parent_path());
    std::filesystem::copy_file(factory, *working);
    ASSERT_EQ(folders.Cli({"apply", sample.string()}).exitCode, 0);
    const auto workingBefore = ReadBytes(*working);
    ASSERT_TRUE(workingBefore != ReadBytes(factory));
    EXPECT_TRUE(workingBefore == ReadBytes(sample)) << "the working file holds what was applied, byte for byte";

    // Refused at the macro area: the keyboard holds only part of the new file.
    const RunResult apply =
        folders.CliWithFaults(FaultsAfter({"apply"}, 2, "status fe 3"), {"apply", factory.string()});
    ASSERT_EQ(apply.exitCode, 1) << apply.err;
    EXPECT_TRUE(ReadBytes(*working) == workingBefore) << "the working file follows only a download that was taken";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(working->parent_path()), {}), 1)
        << "its replacement, written while the download ran, is gone";

    // The settings record at attach, three key tables in nine reports each, the macro area's header.
    constexpr unsigned kReadBackLastRead = 1 + 3 * 9;
    // Refused at the last read: the old file stays, and no partial file lies beside it.
    const auto kept = folders.Root() / "kept.kpf";
    std::filesystem::copy_file(sample, kept);
    const auto folderBefore = std::distance(std::filesystem::directory_iterator(folders.Root()), {});
    const RunResult read = folders.CliWithFaults(FaultsAfter({"read-back"}, kReadBackLastRead, "status ff 3"),
                                                 {"read-back", kept.string()});
    ASSERT_EQ(read.exitCode, 1) << read.err;
    EXPECT_NE(read.err.find("the file was left as it was"), std::string::npos) << read.err;
    EXPECT_TRUE(ReadBytes(kept) == ReadBytes(sample));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folders.Root()), {}), folderBefore);
}

TEST(CliFaults, FileErrorsNameTheFileAndTheSystemsReasonAndExitFour)
{
    CliFolders folders;
    std::filesystem::create_directory(folders.Root() / "taken.kpf");
    std::filesystem::create_symlink("loop.kpf", folders.Root() / "loop.kpf");
    struct Case {
        std::filesystem::path path;
        const char* reason;
    };
    const Case cases[] = {
        {folders.Root() / "absent" / "out.kpf", "No such file or directory"},
        {folders.Root() / "taken.kpf", "Is a directory"},
        {folders.Root() / "loop.kpf", "Too many levels of symbolic links"},
    };
    for (const Case& c : cases) {
        const RunResult run = folders.Cli({"read-back", c.path.string()});
        EXPECT_EQ(run.exitCode, kExitFile) << run.err;
        EXPECT_NE(run.err.find(c.path.string()), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("the keyboard refused"), std::string::npos) << run.err;
    }

    // The download was taken but the working file could not follow it: the
    // user hears it and the exit status says it.
    const auto sample = WriteSampleProfile(folders.Root() / "sample.kpf");
    const auto working = WorkingProfilePath();
    ASSERT_TRUE(working.ok()) << working.error();
    std::filesystem::create_directories(*working);
    const RunResult apply = folders.Cli({"apply", sample.string()});
    EXPECT_EQ(apply.exitCode, kExitFile) << apply.err;
    EXPECT_NE(apply.err.find("working profile file was not updated"), std::string::npos) << apply.err;
    EXPECT_NE(apply.err.find(working->string()), std::string::npos) << apply.err;
}

TEST(CliFaults, AKeyboardUnpluggedDuringItsFirstReadsFailsTheApplyWithOneMessage)
{
    CliFolders folders;
    const auto sample = folders.Root() / "plain.kpf";
    ASSERT_TRUE(CreateDefaultConfiguration(sample)); // no macros at all
    // Whether the unplug lands in the factory table read or the settings read
    // depends on the timing of the attach, so every count of the range.
    for (unsigned after = 2; after <= 8; ++after) {
        SCOPED_TRACE(after);
        ASSERT_EQ(folders.Emu({"plug"}).exitCode, 0);
        const RunResult run =
            folders.CliWithFaults("unplug-after " + std::to_string(after), {"apply", sample.string()});
        EXPECT_EQ(run.exitCode, kExitKeyboard) << run.err;
        EXPECT_EQ(run.err.find("Macro space"), std::string::npos) << run.err;
    }
}

TEST(CliFiles, KeyMediaAndFunctionNamesFollowTheLanguageFile)
{
    CliFolders folders;
    const auto sample = folders.Root() / "sample.kpf";
    {
        ConfigStore store;
        FillSampleConfiguration(store);
        // A function key showed as a bare number the user could not look up.
        SetAssignment(*store.Current().Assignment(0, SlotOfKey(0x022)), AssignmentType::FunctionKey, 0, 0);
        ASSERT_TRUE(WriteProfileFile(store, sample));
    }
    const RunResult run = folders.Cli({"show", sample.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // F2 plays media row 1, G the first function; the shipped language file names them in English.
    EXPECT_NE(run.out.find("media 1 (Play/Pause)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("G -> function 0 (Open)"), std::string::npos) << run.out;
}

TEST(CliFaults, AMalformedFaultListIsReportedAndTheEmulatorRunsWithoutFaults)
{
    CliFolders folders;
    const RunResult run = folders.CliWithFaults("drop three; status fe 3", {"profile"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "0\n");
    EXPECT_NE(run.err.find("KESTRUNE_EMULATOR_FAULTS"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("expected a whole number of 0 or more, found \"three\""), std::string::npos) << run.err;
}

} // namespace
} // namespace kestrune::cli::testing
