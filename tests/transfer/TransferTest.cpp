#include "support/EventsFixture.h"

#include "common/LittleEndian.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "device/ReadBack.h"
#include "keymodel/DefaultHardwareTable.h"
#include "macro/MacroArea.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/stat.h>

namespace kestrune::testing {
namespace {

class TransferTest : public KeyboardFixture {
protected:
    void SetUp() override
    {
        KeyboardFixture::SetUp();
        StartEvents();
    }

    // Capacity in 128-byte units, as the keyboard announces it.
    void SetCapacityUnits(std::uint8_t units)
    {
        EditState([&](emulator::KeyboardState& state) {
            state.settings[wire::kSettingsMacroCapacity] = units;
            state.macroArea.assign(emulator::MacroCapacityBytes(state.settings), 0xFF);
        });
        ASSERT_TRUE(transfer.ReadSettingsAtAttach());
    }

    void FillCurrentCopy(std::vector<MacroRecord> macros) { FillConfiguration(store, std::move(macros)); }

    std::vector<std::uint8_t> ExpectedTable(int profile)
    {
        std::lock_guard lock(store.CurrentLock());
        std::vector<std::uint16_t> ids;
        for (const MacroRecord& m : store.Current().Macros()) ids.push_back(m.id);
        const auto bytes = HardwareKeyTableToBytes(EncodeKeyTable(
            store.Current().Block()->maps[static_cast<std::size_t>(profile)], DefaultHardwareTable, ids));
        return {bytes.begin(), bytes.end()};
    }

    std::vector<std::uint8_t> ExpectedArea(bool withNames)
    {
        std::lock_guard lock(store.CurrentLock());
        const auto& macros = store.Current().Macros();
        const MacroAreaSize sizes = MacroAreaSizes(macros);
        std::vector<std::uint8_t> area(withNames ? sizes.withNames : sizes.withoutNames);
        EXPECT_TRUE(EncodeMacroArea(macros, area.size(), withNames, area).ok());
        return area;
    }

    int Download(bool allProfiles)
    {
        std::lock_guard lock(store.CurrentLock());
        return store.TakeWorkingSnapshot(allProfiles, transfer);
    }

    // Unplugs the keyboard, lets 'edit' (if any) change what it holds, plugs
    // it again and waits for the attach's refresh (window.transfer set).
    void Replug(const std::function<void(emulator::KeyboardState&)>& edit)
    {
        const std::size_t refreshes = window.Count("refresh");
        keyboard.Unplug();
        if (edit) EditState(edit);
        keyboard.Plug();
        ASSERT_TRUE(window.WaitFor("refresh", refreshes + 1));
    }
};

TEST_F(TransferTest, DownloadOfAllProfilesWritesTheEncodedAreaAndThreeTables)
{
    SetCapacityUnits(0x40);
    FillCurrentCopy({MakeMacro(7, 3, u"first"), MakeMacro(4, 60, u"second")});
    const std::vector<std::uint8_t> area = ExpectedArea(true);

    const std::size_t mark = Mark();
    ASSERT_EQ(Download(true), 1);

    const auto sent = SentSince(mark);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front().command, 1);
    EXPECT_EQ(sent.back().command, 2);
    std::vector<std::uint8_t> areaSent;
    std::vector<std::uint16_t> tableAddresses;
    for (const SentCommand& c : sent) {
        if (c.command == 10) {
            EXPECT_EQ(c.address, areaSent.size());
            areaSent.insert(areaSent.end(), c.payload.begin(), c.payload.end());
        } else if (c.command == 8) {
            EXPECT_FALSE(areaSent.empty()) << "key tables follow the macro area";
            tableAddresses.push_back(c.address);
        }
    }
    EXPECT_EQ(areaSent, area);
    ASSERT_EQ(tableAddresses.size(), 27u);
    EXPECT_EQ(tableAddresses[0], 0);
    EXPECT_EQ(tableAddresses[9], 512);
    EXPECT_EQ(tableAddresses[26], 1024 + 448);

    const emulator::KeyboardState state = keyboard.State();
    for (int p = 0; p < 3; ++p) {
        const auto& table = state.keyTables[static_cast<std::size_t>(p)];
        EXPECT_EQ(std::vector<std::uint8_t>(table.begin(), table.end()), ExpectedTable(p)) << "profile " << p;
    }
    // The last macro (id 4) is the second of the list: the keyboard plays it as number 1.
    EXPECT_EQ(state.keyTables[2][3 * 19 + 2], 1);
    EXPECT_TRUE(reporter.Keys().empty());
}

TEST_F(TransferTest, DownloadOfTheActiveProfileWritesTheWholeAreaAndOneTable)
{
    // On profile 1 when it attaches.
    EditState([](emulator::KeyboardState& state) { state.settings[wire::kSettingsActiveProfile] = 1; });
    SetCapacityUnits(0x40);
    FillCurrentCopy({MakeMacro(1, 2, u"only")});
    const emulator::KeyboardState before = keyboard.State();

    const std::size_t mark = Mark();
    ASSERT_EQ(Download(false), 1);

    std::size_t areaBytes = 0;
    std::vector<std::uint16_t> tableAddresses;
    for (const SentCommand& c : SentSince(mark)) {
        if (c.command == 10) areaBytes += c.length;
        if (c.command == 8) tableAddresses.push_back(c.address);
    }
    EXPECT_EQ(areaBytes, ExpectedArea(true).size());
    ASSERT_EQ(tableAddresses.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(tableAddresses[i], 512 + 56 * i);
    const emulator::KeyboardState after = keyboard.State();
    EXPECT_EQ(after.keyTables[0], before.keyTables[0]);
    EXPECT_EQ(after.keyTables[2], before.keyTables[2]);
    EXPECT_EQ(std::vector<std::uint8_t>(after.keyTables[1].begin(), after.keyTables[1].end()), ExpectedTable(1));
}

TEST_F(TransferTest, AMacroAreaTheKeyboardRefusedIsNoSuccess)
{
    SetCapacityUnits(0x40);
    FillCurrentCopy({MakeMacro(1, 2, u"m")});
    emulator::FaultPlan plan;
    plan.latency = std::chrono::microseconds(0);
    plan.errorReplies = 6; // BeginUpdate's three attempts, then the macro area's three
    keyboard.SetFaults(plan);
    const std::size_t mark = Mark();
    EXPECT_EQ(Download(true), 0);
    std::size_t tableReports = 0;
    for (const SentCommand& c : SentSince(mark)) tableReports += c.command == 8 ? 1 : 0;
    EXPECT_EQ(tableReports, 27u); // the key tables still went out
}

TEST_F(TransferTest, MacrosBeyondTheCapacitySendNothing)
{
    SetCapacityUnits(1); // 128 bytes
    FillCurrentCopy({MakeMacro(1, 40, u"long")});
    const std::size_t mark = Mark();
    EXPECT_EQ(Download(true), 0);
    EXPECT_TRUE(SentSince(mark).empty());
    ASSERT_EQ(reporter.Keys(), std::vector<std::string>{"MACRO_SPACE_EXCEEDED"});
    EXPECT_EQ(MessageText(TheLanguageTable(), {"MACRO_SPACE_EXCEEDED", {}}),
              u"Macro space exceeds the hardware space.\r\n Please reduce the number of macros or macro action "
              u"number\uFF0Cand then download.");
}

TEST_F(TransferTest, ACapacityTheAttachDidNotReadIsReadBeforeTheDownload)
{
    // As after an attach whose reads the keyboard did not answer.
    transfer.SetMacroCapacity(0);
    FillCurrentCopy({MakeMacro(1, 2, u"m")});
    EXPECT_EQ(Download(true), 1);
    EXPECT_EQ(transfer.MacroCapacity(), 0x40u * wire::kMacroCapacityUnit);

    // A keyboard that is gone by then fails the download, without a word about macro space.
    transfer.SetMacroCapacity(0);
    keyboard.Unplug();
    EXPECT_EQ(Download(true), 0);
    EXPECT_TRUE(reporter.Keys().empty());
}

TEST_F(TransferTest, SettingTheActiveProfileReachesTheKeyboardAndTheCache)
{
    transfer.SetActiveProfile(2);
    EXPECT_EQ(keyboard.State().settings[wire::kSettingsActiveProfile], 2);
    EXPECT_EQ(transfer.CachedActiveProfile(), 2);
    transfer.ForgetActiveProfile();
    EditState([](emulator::KeyboardState& state) { state.settings[wire::kSettingsActiveProfile] = 1; });
    EXPECT_EQ(transfer.ActiveProfile(), 1);
    transfer.SetActiveProfile(-1);
    EXPECT_EQ(keyboard.State().settings[wire::kSettingsActiveProfile], 1);
}

TEST_F(TransferTest, RefreshReplacesTheCurrentCopyWithTheKeyboards)
{
    transfer.SetWorkingProfilePath(folder / "$Profile0");
    EditState([](emulator::KeyboardState& state) { state.keyTables[1][3 * 8 + 2] = 0x04; });
    FillCurrentCopy({MakeMacro(5, 1, u"gone")});
    EXPECT_EQ(transfer.RefreshFromKeyboard(false), 1);
    std::lock_guard lock(store.CurrentLock());
    EXPECT_EQ(store.Current().MacroCount(), 0u);
    EXPECT_EQ(store.Current().Assignment(0, SlotOfKey(kKeyEsc))->type, AssignmentType::Default);
    EXPECT_EQ(store.Current().Assignment(1, SlotOfKey(kKeyEsc))->type, AssignmentType::RemapKey);
}

// A switch whose read or write goes wrong never leaves the program naming a
// profile the keyboard is not on; the refresh that follows (as the profile
// manager runs it) rebuilds the copy and the working file from the keyboard.
TEST_F(TransferTest, AProfileSwitchThatFailsNamesNoProfileTheKeyboardIsNotOn)
{
    struct Fault {
        const char* name;
        std::function<void(emulator::FaultPlan&)> arm;
    };
    const Fault faults[] = {
        {"refused", [](emulator::FaultPlan& p) { p.errorReplies = kSendAttempts; }},
        {"lost", [](emulator::FaultPlan& p) { p.dropReplies = kSendAttempts; }},
        {"short", [](emulator::FaultPlan& p) { p.shortReplies = kSendAttempts; }},
        {"corrupt", [](emulator::FaultPlan& p) { p.corruptReplies = kSendAttempts; }},
    };
    const auto working = folder / "$Profile0";
    transfer.SetWorkingProfilePath(working);
    for (const Fault& f : faults) {
        for (const unsigned held : {0u, 1u}) { // the settings read, then the write
            SCOPED_TRACE(std::string(f.name) + (held == 0 ? " read" : " write"));
            transfer.SetActiveProfile(0);
            ASSERT_EQ(transfer.CachedActiveProfile(), 0);
            EditState([](emulator::KeyboardState& state) { state.keyTables[2][3 * 19 + 2] = 0x05; }); // A sends B

            emulator::FaultPlan plan;
            f.arm(plan);
            plan.heldReports = held;
            keyboard.SetFaults(plan);
            transfer.SetActiveProfile(2);
            keyboard.SetFaults({});

            const int onKeyboard = keyboard.State().settings[wire::kSettingsActiveProfile];
            const int named = transfer.CachedActiveProfile();
            EXPECT_TRUE(named == onKeyboard || named == kUnknownProfile)
                << named << " while the keyboard is on " << onKeyboard;
            EXPECT_EQ(transfer.ActiveProfile(), onKeyboard);

            ASSERT_EQ(transfer.RefreshFromKeyboard(false), 1);
            ConfigStore reread;
            ASSERT_TRUE(ReadProfileFile(reread, working).ok());
            std::lock_guard lock(reread.CurrentLock());
            EXPECT_EQ(reread.Current().Assignment(2, SlotOfKey(kKeyA))->type, AssignmentType::RemapKey);
        }
    }
}

// An entry the program has no type for (here the system usage Sleep on A)
// survives the working profile file and the next download byte for byte.
TEST_F(TransferTest, ARefreshAndDownloadLeaveEntriesWithoutATypeAsTheyWere)
{
    const std::size_t a = 3 * 19; // position 19 is A in the factory table
    ASSERT_EQ(KeyFromTriple(DefaultHardwareTable[19]), kKeyA);
    EditState([&](emulator::KeyboardState& state) {
        for (auto& table : state.keyTables) {
            table[a] = 0x04;
            table[a + 1] = 0x82;
            table[a + 2] = 0x00;
        }
    });
    const auto before = keyboard.State().keyTables;
    EXPECT_EQ(transfer.RefreshFromKeyboard(false), 1);
    {
        std::lock_guard lock(store.CurrentLock());
        const KeyAssignment* slot = store.Current().Assignment(0, SlotOfKey(kKeyA));
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->type, AssignmentType::Unknown);
    }
    ASSERT_EQ(Download(true), 1);
    EXPECT_EQ(keyboard.State().keyTables, before);
}

// A header with the magic whose count the area cannot hold.
void BreakMacroArea(emulator::KeyboardState& state)
{
    WriteLe16(state.macroArea, wire::kMacroAreaOffMagic, wire::kMacroAreaMagic);
    WriteLe16(state.macroArea, wire::kMacroAreaOffLength, 64);
    WriteLe16(state.macroArea, wire::kMacroAreaOffCount, 99);
}

TEST_F(TransferTest, AMacroAreaThatDoesNotDecodeCostsOnlyTheMacros)
{
    EditState([](emulator::KeyboardState& state) {
        state.keyTables[1][3 * 8 + 2] = 0x04;
        BreakMacroArea(state);
    });
    FillCurrentCopy({MakeMacro(5, 1, u"gone")});
    EXPECT_EQ(transfer.RefreshFromKeyboard(false), 1);
    {
        std::lock_guard lock(store.CurrentLock());
        EXPECT_EQ(store.Current().MacroCount(), 0u);
        EXPECT_EQ(store.Current().Assignment(1, SlotOfKey(kKeyEsc))->type, AssignmentType::RemapKey);
    }
    EXPECT_EQ(reporter.Keys(), std::vector<std::string>{"MAIN_MACROS_UNREADABLE"});

    const ReadBackOutcome outcome = ReadBack(protocol, transfer, reporter, folder / "out.kpf");
    EXPECT_TRUE(outcome.ok()) << outcome.reason;
    EXPECT_TRUE(outcome.macrosDropped);
    ConfigStore loaded;
    ASSERT_TRUE(ReadProfileFile(loaded, folder / "out.kpf"));
    std::lock_guard lock(loaded.CurrentLock());
    EXPECT_EQ(loaded.Current().MacroCount(), 0u);
    EXPECT_EQ(loaded.Current().Assignment(1, SlotOfKey(kKeyEsc))->type, AssignmentType::RemapKey);
}

TEST_F(TransferTest, ReadBackTellsFileErrorsFromKeyboardErrors)
{
    std::filesystem::create_directory(folder / "taken");
    struct Case {
        std::filesystem::path path;
        const char* reason;
    };
    const Case cases[] = {
        {folder / "absent" / "out.kpf", "No such file or directory"},
        {folder / "taken", "Is a directory"},
    };
    for (const Case& c : cases) {
        const ReadBackOutcome outcome = ReadBack(protocol, transfer, reporter, c.path);
        EXPECT_EQ(outcome.failure, ReadBackOutcome::Failure::File) << c.path;
        EXPECT_NE(outcome.reason.find(c.reason), std::string::npos) << outcome.reason;
        EXPECT_NE(outcome.reason.find(c.path.string()), std::string::npos) << outcome.reason;
    }
    keyboard.Unplug();
    const ReadBackOutcome gone = ReadBack(protocol, transfer, reporter, folder / "out.kpf");
    EXPECT_EQ(gone.failure, ReadBackOutcome::Failure::Keyboard);
    EXPECT_FALSE(std::filesystem::exists(folder / "out.kpf"));
}

TEST_F(TransferTest, RefreshKeepsTheKeyboardsCopyWhenTheWorkingFileCannotBeWritten)
{
    std::filesystem::create_directory(folder / "$Profile0"); // the working file's name taken by a folder
    EditState([](emulator::KeyboardState& state) { state.keyTables[1][3 * 8 + 2] = 0x04; });
    EXPECT_EQ(transfer.RefreshFromKeyboard(false), 1);
    {
        std::lock_guard lock(store.CurrentLock());
        EXPECT_EQ(store.Current().Assignment(1, SlotOfKey(kKeyEsc))->type, AssignmentType::RemapKey);
    }
    EXPECT_EQ(reporter.Keys(), std::vector<std::string>{"MAIN_EXPORT_FAILED"});
}

std::vector<std::uint8_t> FileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> FolderNames(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A replug of an unchanged keyboard leaves the working file as it is (no new
// file, no flush); a keyboard that changed meanwhile replaces it.
TEST_F(TransferTest, TheRefreshRewritesTheWorkingFileOnlyWhenTheKeyboardChanged)
{
    const auto working = folder / "$Profile0";
    transfer.SetWorkingProfilePath(working);
    const auto inode = [&] {
        struct stat info {};
        EXPECT_EQ(::stat(working.c_str(), &info), 0);
        return info.st_ino;
    };
    ASSERT_EQ(transfer.RefreshFromKeyboard(false), 1);
    const std::vector<std::uint8_t> first = FileBytes(working);
    ASSERT_FALSE(first.empty());
    const auto firstInode = inode();

    ASSERT_EQ(transfer.RefreshFromKeyboard(false), 1);
    EXPECT_EQ(inode(), firstInode);
    EXPECT_EQ(FileBytes(working), first);

    EditState([](emulator::KeyboardState& state) { state.keyTables[1][3 * 8 + 2] = 0x04; });
    ASSERT_EQ(transfer.RefreshFromKeyboard(false), 1);
    EXPECT_NE(inode(), firstInode);
    EXPECT_NE(FileBytes(working), first);
    EXPECT_TRUE(reporter.Keys().empty());
}

// The working file is written beside the old one while the download runs:
// it takes the old one's place after a download that was taken, and after a
// failed one nothing of it remains.
TEST_F(TransferTest, TheWorkingFileFollowsOnlyADownloadThatWasTaken)
{
    AtomicWriteHooks failingFlush;
    failingFlush.fsync = [](int) {
        errno = EIO;
        return -1;
    };
    emulator::FaultPlan refusedMidway;
    refusedMidway.latency = std::chrono::microseconds(0);
    refusedMidway.heldReports = 3; // BeginUpdate and two reports of the macro area
    refusedMidway.errorReplies = 3;
    enum class Expect { Old, New, Missing };
    struct Case {
        const char* name;
        bool fileExists;
        emulator::FaultPlan faults;
        AtomicWriteHooks hooks;
        int downloaded;
        Expect file;
        const char* problem; // nullptr: none
    };
    emulator::FaultPlan none;
    none.latency = std::chrono::microseconds(0);
    const Case cases[] = {
        {"taken", true, none, {}, kDownloadSucceeded, Expect::New, nullptr},
        {"refused midway", true, refusedMidway, {}, kDownloadFailed, Expect::Old, nullptr},
        {"taken, the file's flush failed", true, none, failingFlush, kDownloadSucceeded, Expect::Old,
         "Input/output error"},
        {"taken, no working file", false, none, {}, kDownloadSucceeded, Expect::Missing, nullptr},
    };
    SetCapacityUnits(0x40);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Every case sends the whole configuration, as to a keyboard not yet read.
        transfer.Known().Forget();
        ScratchFolder profiles("kestrune-working");
        const auto working = profiles / "$Profile0";
        const std::vector<std::uint8_t> old(5000, 0x5A);
        if (c.fileExists)
            std::ofstream(working, std::ios::binary).write(reinterpret_cast<const char*>(old.data()), 5000);
        FillCurrentCopy({MakeMacro(7, 200, u"first"), MakeMacro(4, 60, u"second")});
        keyboard.SetFaults(c.faults);

        WorkingFileDownload outcome;
        {
            std::lock_guard lock(store.CurrentLock());
            outcome = DownloadKeepingWorkingFile(store, true, transfer, working, c.hooks);
        }
        EXPECT_EQ(outcome.downloaded, c.downloaded);
        if (c.problem) {
            ASSERT_TRUE(outcome.fileProblem);
            EXPECT_NE(outcome.fileProblem->find(c.problem), std::string::npos) << *outcome.fileProblem;
            EXPECT_NE(outcome.fileProblem->find(profiles.Path().string()), std::string::npos) << *outcome.fileProblem;
        } else {
            EXPECT_FALSE(outcome.fileProblem) << *outcome.fileProblem;
        }
        switch (c.file) {
        case Expect::Old:
            EXPECT_EQ(FileBytes(working), old);
            break;
        case Expect::New: {
            // Byte for byte what saving the same copy writes.
            const auto saved = folder / "saved.kpf";
            ASSERT_TRUE(WriteProfileFile(store, saved));
            EXPECT_EQ(FileBytes(working), FileBytes(saved));
            EXPECT_NE(FileBytes(working), old);
            break;
        }
        case Expect::Missing:
            EXPECT_FALSE(std::filesystem::exists(working));
            break;
        }
        EXPECT_EQ(FolderNames(profiles.Path()),
                  c.file == Expect::Missing ? std::vector<std::string>{} : std::vector<std::string>{"$Profile0"});
    }
}

// The key tables have no place for the macro keys: across an unplug and a
// replug they keep what the last download gave them (the working file, so a
// fresh start has them too) while the keyboard holds the macro they play,
// wherever it holds it now. Keys in the key tables show what the keyboard has.
TEST_F(TransferTest, MacroKeysKeepTheirMacrosAcrossAReplugWhileTheKeyboardHoldsThem)
{
    const std::size_t g1 = *GKeySlot(1, GKeyBank::A), g2OfB = *GKeySlot(2, GKeyBank::B);
    const MacroRecord other = MakeMacro(3, 2, u"other"), burst = MakeMacro(7, 4, u"burst");
    FillCurrentCopy({other, burst}); // A in profile 2 plays burst
    {
        std::lock_guard lock(store.CurrentLock());
        SetAssignment(*store.Current().Assignment(0, g1), AssignmentType::PlayMacro, 5, burst.id);
        SetAssignment(*store.Current().Assignment(1, g2OfB), AssignmentType::Media, GKeyId(2, GKeyBank::B), 6);
        ASSERT_TRUE(WriteProfileFile(store, folder / "$Profile0").ok()); // as Apply saves it
    }
    ASSERT_EQ(Download(true), 1);
    store.EmptyCurrentCopy();
    window.transfer = &transfer; // the attach refreshes, as the program's window does

    const auto slot = [&](std::size_t map, std::size_t at) {
        std::lock_guard lock(store.CurrentLock());
        const KeyAssignment* a = store.Current().Assignment(map, at);
        return a != nullptr ? *a : KeyAssignment{AssignmentType::Unknown};
    };
    const auto placeOnKeyboard = [](std::vector<MacroRecord> macros) {
        return [macros](emulator::KeyboardState& state) {
            ASSERT_TRUE(EncodeMacroArea(macros, MacroAreaSizes(macros).withNames, true, state.macroArea).ok());
        };
    };
    const KeyAssignment media{AssignmentType::Media, GKeyId(2, GKeyBank::B), 6};

    Replug(nullptr);
    EXPECT_EQ(slot(0, g1), (KeyAssignment{AssignmentType::PlayMacro, 5, 2}));
    EXPECT_EQ(slot(1, g2OfB), media);
    EXPECT_EQ(slot(2, SlotOfKey(kKeyA)), (KeyAssignment{AssignmentType::PlayMacro, 0, 2}));
    {
        std::lock_guard lock(store.CurrentLock());
        ASSERT_EQ(store.Current().MacroCount(), 2u);
        EXPECT_EQ(store.Current().Macros()[1].Name(), u"burst");
    }

    // Another program puts burst first and a changed macro after it, and
    // makes A play that one.
    MacroRecord changed = other;
    changed.cycles = 3;
    Replug([&](emulator::KeyboardState& state) {
        placeOnKeyboard({burst, changed})(state);
        state.keyTables[2][3 * 19 + 2] = 1; // position 19 is A: play the macro at place 1
    });
    EXPECT_EQ(slot(0, g1), (KeyAssignment{AssignmentType::PlayMacro, 5, 1}));
    EXPECT_EQ(slot(2, SlotOfKey(kKeyA)), (KeyAssignment{AssignmentType::PlayMacro, 0, 2}));

    // Burst gone from the keyboard: G1 plays nothing; the media key stays.
    Replug(placeOnKeyboard({changed}));
    EXPECT_EQ(slot(0, g1), (KeyAssignment{AssignmentType::Default, GKeyId(1, GKeyBank::A), 0}));
    EXPECT_EQ(slot(1, g2OfB), media);
}

// Program and text keys keep their texts, which only the program has, across
// an unplug and a replug: on the macro keys always, on other keys while the
// keyboard's entry for the key is still what the assignment downloads as.
TEST_F(TransferTest, ProgramAndTextKeysKeepTheirTextsAcrossAReplugWhileTheKeyboardAgrees)
{
    constexpr KeyIndex kKeyS = 0x01F, kKeyD = 0x020, kKeyF = 0x021;
    struct Case {
        std::size_t map, slot;
        AssignmentType type;
        std::uint16_t aux;
        std::u16string text;
        std::optional<HardwareEntry> changedTo; // by another program while unplugged
        KeyAssignment shown;                    // then: what the keyboard holds
    };
    const HardwareEntry remapToB{kHwKindKey, kHwSubUsage, static_cast<std::uint8_t>(UsageFromKey(kKeyB).usage)};
    const std::vector<Case> cases{
        {0, SlotOfKey(kKeyS), AssignmentType::TextBlock, 0, u"hello", {}, {}},
        {0, SlotOfKey(kKeyD), AssignmentType::LaunchProgram, 0, u"/usr/bin/calc", {}, {}},
        {1, *GKeySlot(3, GKeyBank::A), AssignmentType::TextBlock, GKeyId(3, GKeyBank::A), u"gg", {}, {}},
        {1, *GKeySlot(4, GKeyBank::B), AssignmentType::LaunchProgram, GKeyId(4, GKeyBank::B), u"/bin/true", {}, {}},
        {2, SlotOfKey(kKeyS), AssignmentType::TextBlock, 0, u"was", remapToB, {AssignmentType::RemapKey, 0, kKeyB}},
        {2,
         SlotOfKey(kKeyF),
         AssignmentType::LaunchProgram,
         0,
         u"/bin/was",
         HardwareEntry{},
         {AssignmentType::Disabled}},
    };
    FillCurrentCopy({});
    {
        std::lock_guard lock(store.CurrentLock());
        for (const Case& c : cases) {
            SetAssignment(*store.Current().Assignment(c.map, c.slot), c.type, c.aux, 0);
            ASSERT_TRUE(store.Current().Strings().Set(StringSlotIndex(c.map, c.slot), c.text).ok());
        }
        ASSERT_TRUE(WriteProfileFile(store, folder / "$Profile0").ok()); // as Apply saves it
    }
    ASSERT_EQ(Download(true), 1);
    store.EmptyCurrentCopy();
    window.transfer = &transfer;

    const auto positionOf = [](std::size_t slot) {
        for (std::size_t p = 0; p < kHardwarePositions; ++p)
            if (SlotOfKey(KeyFromTriple(DefaultHardwareTable[p])) == slot) return p;
        ADD_FAILURE() << "no position for slot " << slot;
        return std::size_t{0};
    };
    // The second replug reads the working file the first one wrote.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Replug([&](emulator::KeyboardState& state) {
            for (const Case& c : cases) {
                if (!c.changedTo || round > 0) continue;
                const std::size_t at = 3 * positionOf(c.slot);
                state.keyTables[c.map][at] = c.changedTo->kind;
                state.keyTables[c.map][at + 1] = c.changedTo->sub;
                state.keyTables[c.map][at + 2] = c.changedTo->value;
            }
        });
        std::lock_guard lock(store.CurrentLock());
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.map) + "/" + std::to_string(c.slot));
            const KeyAssignment* a = store.Current().Assignment(c.map, c.slot);
            ASSERT_NE(a, nullptr);
            const std::optional<std::u16string_view> text =
                store.Current().Strings().Text(StringSlotIndex(c.map, c.slot));
            if (c.changedTo) {
                EXPECT_EQ(*a, c.shown);
                EXPECT_FALSE(text);
            } else {
                EXPECT_EQ(a->type, c.type);
                EXPECT_EQ(a->aux, c.aux);
                EXPECT_EQ(text, std::optional<std::u16string_view>(c.text));
            }
        }
    }
}

// What a download sends, by kind: the update's bounds, and the reports of the
// macro area and of the key tables.
struct DownloadReports {
    std::size_t bounds = 0, area = 0, tables = 0, other = 0;
    std::size_t Total() const { return bounds + area + tables + other; }
};

DownloadReports CountReports(const std::vector<SentCommand>& sent)
{
    DownloadReports counts;
    for (const SentCommand& c : sent) {
        if (c.command == 1 || c.command == 2)
            ++counts.bounds;
        else if (c.command == 10)
            ++counts.area;
        else if (c.command == 8)
            ++counts.tables;
        else
            ++counts.other;
    }
    return counts;
}

class KnownImageTest : public TransferTest {
protected:
    void SetUp() override
    {
        TransferTest::SetUp();
        SetCapacityUnits(0x40);
        FillCurrentCopy({MakeMacro(1, 30, u"one"), MakeMacro(2, 200, u"two"), MakeMacro(3, 12, u"three")});
    }

    // Downloads all three profiles and gives what went out.
    DownloadReports Downloaded(int expected = 1)
    {
        const std::size_t mark = Mark();
        EXPECT_EQ(Download(true), expected);
        return CountReports(SentSince(mark));
    }

    void RemapKey(std::size_t profile, KeyIndex key, KeyIndex to)
    {
        std::lock_guard lock(store.CurrentLock());
        SetAssignment(*store.Current().Assignment(profile, SlotOfKey(key)), AssignmentType::RemapKey, 0, to);
    }

    std::size_t WholeAreaReports() { return (ExpectedArea(true).size() + wire::kMaxPayload - 1) / wire::kMaxPayload; }
};

// Random edits of keys and macros, each downloaded twice from the same
// keyboard: with what the keyboard is known to hold, and whole. Both leave
// the keyboard byte for byte alike.
TEST_F(KnownImageTest, DownloadsOfTheChangesLeaveTheKeyboardAsWholeDownloadsDo)
{
    std::mt19937 random(20261211);
    auto pick = [&random](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    // Known from a read-back first, as after an attach's refresh.
    ASSERT_EQ(transfer.ReadBackToFile(folder / "read.kpf"), 1);
    std::size_t changedOnly = 0, whole = 0;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            std::lock_guard lock(store.CurrentLock());
            CurrentCopy& copy = store.Current();
            auto& macros = copy.Macros();
            for (std::size_t edits = 1 + pick(3); edits > 0; --edits) {
                switch (pick(6)) {
                case 0:
                case 1: {
                    const KeyIndex key = KeyButtonOrder[pick(kOrdinaryKeyCount)];
                    const KeyIndex to = KeyButtonOrder[pick(kOrdinaryKeyCount)];
                    SetAssignment(*copy.Assignment(pick(3), SlotOfKey(key)), AssignmentType::RemapKey, 0, to);
                    break;
                }
                case 2:
                    if (macros.size() < 20) {
                        std::uint16_t id = 1;
                        while (std::ranges::find(macros, id, &MacroRecord::id) != macros.end()) ++id;
                        macros.insert(macros.begin() + static_cast<std::ptrdiff_t>(pick(macros.size() + 1)),
                                      MakeMacro(id, 1 + pick(60), u"added"));
                    }
                    break;
                case 3:
                    if (macros.size() > 1)
                        macros.erase(macros.begin() + static_cast<std::ptrdiff_t>(pick(macros.size())));
                    break;
                case 4:
                    if (!macros.empty()) {
                        MacroRecord& m = macros[pick(macros.size())];
                        if (m.actionCount > 0) m.actions[pick(m.actionCount)].delay = 10 * static_cast<int>(pick(400));
                        m.cycles = static_cast<std::uint8_t>(1 + pick(9));
                    }
                    break;
                default:
                    if (!macros.empty()) macros[pick(macros.size())].SetName(pick(2) == 0 ? u"x" : u"a longer name");
                    break;
                }
            }
            // A key that plays a macro plays one the list holds.
            if (!macros.empty())
                SetAssignment(*copy.Assignment(2, SlotOfKey(kKeyA)), AssignmentType::PlayMacro, 0,
                              macros[pick(macros.size())].id);
        }
        const emulator::KeyboardState before = keyboard.State();
        const bool allProfiles = pick(4) != 0;

        std::size_t mark = Mark();
        ASSERT_EQ(Download(allProfiles), 1);
        changedOnly += SentSince(mark).size();
        const emulator::KeyboardState afterChanges = keyboard.State();

        ASSERT_TRUE(keyboard.SetState(before).ok());
        transfer.Known().Forget();
        mark = Mark();
        ASSERT_EQ(Download(allProfiles), 1);
        whole += SentSince(mark).size();
        ASSERT_EQ(keyboard.State(), afterChanges);
    }
    EXPECT_LT(changedOnly, whole);
}

TEST_F(KnownImageTest, AOneKeyEditSendsOneReportBetweenTheBounds)
{
    const std::size_t areaReports = WholeAreaReports();
    const DownloadReports first = Downloaded();
    EXPECT_EQ(first.area, areaReports);
    EXPECT_EQ(first.tables, 27u);

    RemapKey(1, kKeyB, kKeyA);
    const DownloadReports edit = Downloaded();
    EXPECT_EQ(edit.bounds, 2u);
    EXPECT_EQ(edit.area, 0u);
    EXPECT_EQ(edit.tables, 1u);
    EXPECT_EQ(edit.Total(), 3u);

    // Nothing changed: nothing is sent.
    EXPECT_EQ(Downloaded().Total(), 0u);

    // One macro's delay: the area's report that holds it.
    {
        std::lock_guard lock(store.CurrentLock());
        store.Current().Macros()[1].actions[100].delay = 990;
    }
    const DownloadReports macro = Downloaded();
    EXPECT_EQ(macro.area, 1u);
    EXPECT_EQ(macro.tables, 0u);
}

// What was known goes whenever the keyboard may have changed without this
// program: the next one-key edit then sends everything again.
TEST_F(KnownImageTest, KnowledgeGoesWhenTheKeyboardMayHaveChangedElsewhere)
{
    struct Case {
        const char* name;
        std::function<void()> between;
        bool whole;
    };
    const std::vector<Case> cases = {
        {"nothing", [] {}, false},
        {"the bank key",
         [this] {
             ASSERT_TRUE(keyboard.PressBankKey());
             ASSERT_TRUE(window.WaitFor("bank B"));
         },
         false},
        {"a lighting change made on the keyboard",
         [this] {
             const std::size_t timers = window.Count("timer 1051");
             ASSERT_TRUE(keyboard.ChangeLightingOnKeyboard());
             ASSERT_TRUE(window.WaitFor("timer 1051", timers + 1));
         },
         true},
        {"an unplug and a replug", [this] { Replug(nullptr); }, true},
        {"another program's download", [this] { std::ofstream(folder / "keyboard.token") << "another program"; }, true},
        {"a refused report in the download before",
         [this] {
             emulator::FaultPlan refused = keyboard.Faults();
             refused.heldReports = 1; // BeginUpdate
             refused.errorReplies = 3;
             keyboard.SetFaults(refused);
             RemapKey(0, kKeyB, kKeyEsc);
             Downloaded(0);
         },
         true},
    };
    const std::size_t areaReports = WholeAreaReports();
    KeyIndex to = kKeyA;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Downloaded();
        c.between();
        to = to == kKeyA ? kKeyEsc : kKeyA;
        RemapKey(1, kKeyB, to);
        const DownloadReports edit = Downloaded();
        EXPECT_EQ(edit.tables, c.whole ? 27u : 1u);
        EXPECT_EQ(edit.area, c.whole ? areaReports : 0u);
    }
}

} // namespace
} // namespace kestrune::testing
