// The transfer and the device events end to end through the binding of the
// emulator's device library, driven from outside through its control socket
// as a user at the keyboard would.

#include "support/EventsFixture.h"

#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "emulator/ControlSocket.h"
#include "emulator/KeyboardState.h"
#include "emulator/StateFile.h"
#include "keymodel/DefaultHardwareTable.h"
#include "lighting/Lighting.h"
#include "macro/MacroArea.h"
#include "support/EnvOverride.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

namespace kestrune::testing {
namespace {

std::vector<std::uint8_t> FileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class EventsLibraryTest : public ::testing::Test {
protected:
    void TearDown() override { session.reset(); }

    // Powers the emulated keyboard up with this state, binds the library and
    // starts the device events; the attach at start has been handled on return.
    void Open(const emulator::KeyboardState& state, bool refreshOnAttach = true)
    {
        ASSERT_TRUE(emulator::SaveStateFile(folder / "state.json", state).ok());
        auto library = DeviceLibrary::Load(EMULATOR_LIBRARY);
        ASSERT_TRUE(library.ok()) << library.error();
        session = MakeSession(std::move(*library), listener, reporter);
        ASSERT_TRUE(session);
        session->GetTransfer().SetWorkingProfilePath(folder / "$Profile0");
        if (refreshOnAttach) listener.transfer = &session->GetTransfer();
        ASSERT_TRUE(session->StartAndWaitForAttach().ok());
    }

    void Control(std::vector<std::string> words)
    {
        auto reply = emulator::SendControlCommand(folder / "control", words);
        ASSERT_TRUE(reply.ok()) << reply.error();
        ASSERT_TRUE(reply->has_value());
        ASSERT_TRUE((*reply)->ok) << (*reply)->text;
    }

    emulator::KeyboardState Dump()
    {
        auto reply = emulator::SendControlCommand(folder / "control", {"dump"});
        EXPECT_TRUE(reply.ok() && reply->has_value());
        auto state = emulator::KeyboardStateFromJson((*reply)->text);
        EXPECT_TRUE(state.ok());
        return state.ok() ? *state : emulator::KeyboardState{};
    }

    static emulator::KeyboardState WithCapacity(std::uint8_t units)
    {
        emulator::KeyboardState state = emulator::FactoryKeyboardState();
        state.settings[wire::kSettingsMacroCapacity] = units;
        state.macroArea.assign(emulator::MacroCapacityBytes(state.settings), 0xFF);
        return state;
    }

    void FillCurrentCopy(std::vector<MacroRecord> macros) { FillConfiguration(session->Store(), std::move(macros)); }

    bool Download(bool allProfiles) { return session->GetTransfer().DownloadCurrentCopy(allProfiles).ok(); }

    std::array<std::uint8_t, wire::kKeyTableSize> ExpectedTable(int profile)
    {
        std::lock_guard lock(session->Store().CurrentLock());
        std::vector<std::uint16_t> ids;
        for (const MacroRecord& m : session->Store().Current().Macros()) ids.push_back(m.id);
        return HardwareKeyTableToBytes(EncodeKeyTable(
            session->Store().Current().Block()->maps[static_cast<std::size_t>(profile)], DefaultHardwareTable, ids));
    }

    std::vector<std::uint8_t> ExpectedArea(bool withNames)
    {
        std::lock_guard lock(session->Store().CurrentLock());
        const auto& macros = session->Store().Current().Macros();
        const MacroAreaSize sizes = MacroAreaSizes(macros);
        std::vector<std::uint8_t> area(withNames ? sizes.withNames : sizes.withoutNames);
        EXPECT_TRUE(EncodeMacroArea(macros, area.size(), withNames, area).ok());
        return area;
    }

    static bool StartsWith(const std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& prefix)
    {
        return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
    }

    ScratchFolder scratch{"kestrune-events"};
    const std::filesystem::path folder = scratch.Path();
    EnvOverride stateVariable{emulator::kStateFileVariable, (folder / "state.json").string()};
    EnvOverride socketVariable{emulator::kControlSocketVariable, (folder / "control").string()};
    EnvOverride latencyVariable{"KESTRUNE_EMULATOR_LATENCY_US", "0"};
    RecordingReporter reporter;
    RecordingListener listener;
    std::unique_ptr<KeyboardSession> session;
};

TEST_F(EventsLibraryTest, DownloadsLeaveTheEncodersBytesOnTheKeyboard)
{
    Open(WithCapacity(0x40));
    FillCurrentCopy({MakeMacro(7, 3, u"first"), MakeMacro(4, 60, u"second")});
    ASSERT_TRUE(Download(true));
    emulator::KeyboardState state = Dump();
    EXPECT_TRUE(StartsWith(state.macroArea, ExpectedArea(true)));
    for (int p = 0; p < 3; ++p) EXPECT_EQ(state.keyTables[static_cast<std::size_t>(p)], ExpectedTable(p)) << p;

    // The active profile only: one table changes, the area is sent whole again.
    Control({"reset"});
    session->GetTransfer().ForgetActiveProfile();
    session->GetTransfer().SetActiveProfile(1);
    FillCurrentCopy({MakeMacro(2, 5, u"again")});
    ASSERT_TRUE(Download(false));
    state = Dump();
    EXPECT_TRUE(StartsWith(state.macroArea, ExpectedArea(true)));
    EXPECT_EQ(state.keyTables[1], ExpectedTable(1));
    EXPECT_EQ(state.keyTables[0], emulator::FactoryKeyboardState().keyTables[0]);
    EXPECT_EQ(state.keyTables[2], emulator::FactoryKeyboardState().keyTables[2]);
    EXPECT_TRUE(reporter.Keys().empty());
}

TEST_F(EventsLibraryTest, MacroSpaceDecidesNamesAndWhetherAnythingIsSent)
{
    Open(WithCapacity(8)); // 1024 bytes
    const std::u16string name(50, u'n');
    FillCurrentCopy({MakeMacro(1, 109, name), MakeMacro(2, 109, name)}); // 900 bytes, 1100 with names
    ASSERT_TRUE(Download(true));
    EXPECT_TRUE(StartsWith(Dump().macroArea, ExpectedArea(false)));
    EXPECT_EQ(reporter.Keys(), std::vector<std::string>{"EXTRA_PROFILE_SPACE_TIGHT"});

    // A capacity the program does not know is read again, not taken for no room.
    session->GetTransfer().SetMacroCapacity(0);
    EXPECT_TRUE(Download(true));
    EXPECT_EQ(session->GetTransfer().MacroCapacity(), 1024u);
    EXPECT_EQ(reporter.Keys(), (std::vector<std::string>{"EXTRA_PROFILE_SPACE_TIGHT", "EXTRA_PROFILE_SPACE_TIGHT"}));
}

TEST_F(EventsLibraryTest, ReadBackWhileTheKeyboardIsOnProfile1)
{
    emulator::KeyboardState state = emulator::FactoryKeyboardState();
    state.settings[wire::kSettingsActiveProfile] = 1;
    state.keyTables[0][3 * 8 + 2] = 0x04; // Esc's position produces "A"
    state.keyTables[2][3 * 8] = 0x00;     // Esc's position sends nothing
    state.keyTables[2][3 * 8 + 1] = 0x00;
    state.keyTables[2][3 * 8 + 2] = 0x00;
    const std::vector<MacroRecord> list = {MakeMacro(9, 2, u"a"), MakeMacro(3, 1, u"b")};
    ASSERT_TRUE(EncodeMacroArea(list, MacroAreaSizes(list).withoutNames, false, state.macroArea).ok());
    Open(state, false);

    const auto path = folder / "readback.kpf";
    ASSERT_TRUE(session->GetTransfer().ReadBackToFile(path).ok());
    Result<CurrentCopy> copy = ParseProfileImage(FileBytes(path));
    ASSERT_TRUE(copy.ok()) << copy.error();
    EXPECT_EQ(copy->Assignment(0, SlotOfKey(kKeyEsc))->type, AssignmentType::RemapKey);
    EXPECT_EQ(copy->Assignment(1, SlotOfKey(kKeyEsc))->type, AssignmentType::Default);
    EXPECT_EQ(copy->Assignment(2, SlotOfKey(kKeyEsc))->type, AssignmentType::Disabled);
    ASSERT_EQ(copy->MacroCount(), 2u);
    EXPECT_EQ(copy->Macros()[0].Name(), u"Macro1");
    EXPECT_EQ(copy->Macros()[1].Name(), u"Macro2");
    EXPECT_EQ(copy->Macros()[0].id, 1);
    EXPECT_EQ(copy->Macros()[1].id, 2);
    EXPECT_EQ(copy->Macros()[0].actionCount, 2);
}

TEST_F(EventsLibraryTest, AnAreaWithoutItsMagicReadsBackAsABareBlock)
{
    emulator::KeyboardState state = emulator::FactoryKeyboardState();
    state.macroArea[0] = 0;
    Open(state, false);
    const auto path = folder / "readback.kpf";
    ASSERT_TRUE(session->GetTransfer().ReadBackToFile(path).ok());
    EXPECT_EQ(std::filesystem::file_size(path), kConfigBlockSize);
}

TEST_F(EventsLibraryTest, AttachDetachAndTheBankKey)
{
    emulator::KeyboardState state = WithCapacity(0x10);
    state.defaultKeyTable[3 * 8 + 2] = 0x2A; // a factory table that differs from the built-in copy
    state.keyTables[0][3 * 8 + 2] = 0x04;
    Open(state);
    // The listener hears of the first attach before the keyboard is read.
    EXPECT_EQ(listener.Calls(), (std::vector<std::string>{"opening", "refresh", "attached, first"}));
    EXPECT_EQ(session->GetTransfer().MacroCapacity(), 0x10u * 128);
    EXPECT_EQ(session->GetTransfer().CurrentDefaultTable()[8], (HardwareEntry{0x02, 0x02, 0x2A}));
    {
        // Decoded against the table just read: position 8 is Backspace, and it produces "A".
        std::lock_guard lock(session->Store().CurrentLock());
        const KeyAssignment* backspace = session->Store().Current().Assignment(0, SlotOfKey(0x00E));
        ASSERT_NE(backspace, nullptr);
        EXPECT_EQ(backspace->type, AssignmentType::RemapKey);
        EXPECT_EQ(backspace->value, kKeyA);
    }

    Control({"lighting-changed"});
    EXPECT_TRUE(listener.WaitFor("lighting changed"));
    Control({"record-start"});
    EXPECT_TRUE(listener.WaitFor("recording"));
    Control({"record-stop"});
    EXPECT_TRUE(listener.WaitFor("recording ended"));

    Control({"bank-key"});
    ASSERT_TRUE(listener.WaitFor("bank B"));
    EXPECT_EQ(Dump().bankStatus, (std::array<std::uint8_t, 2>{0x05, 0x03}));
    Control({"bank-key"});
    ASSERT_TRUE(listener.WaitFor("bank A"));
    EXPECT_EQ(Dump().bankStatus, (std::array<std::uint8_t, 2>{0x05, 0x02}));

    ASSERT_EQ(session->GetTransfer().ActiveProfile(), 0);
    Control({"unplug"});
    ASSERT_TRUE(listener.WaitFor("gone"));
    EXPECT_EQ(session->GetTransfer().CachedActiveProfile(), -1);
    const auto calls = listener.Calls();
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()), (std::vector<std::string>{"detached", "gone"}));
    Control({"plug"});
    ASSERT_TRUE(listener.WaitFor("attached"));
    // Only the attach at start is the first.
    EXPECT_EQ(listener.Count("attached, first"), 1u);
    EXPECT_EQ(listener.Count("opening"), 1u);
}

TEST_F(EventsLibraryTest, StartedWithoutTheKeyboardALaterAttachNeverOpens)
{
    emulator::KeyboardState state = emulator::FactoryKeyboardState();
    state.attached = false;
    Open(state);
    EXPECT_TRUE(listener.Calls().empty());
    // Once the listener hears the keyboard attached, it finds it attached.
    auto presenceAtSettle = std::make_shared<std::atomic<std::uint32_t>>(0);
    listener.OnSettled(
        [presenceAtSettle, &events = session->Events()](bool) { *presenceAtSettle = events.LastPresence(); });
    Control({"plug"});
    ASSERT_TRUE(listener.WaitFor("attached"));
    session->Events().WaitForAttachChanges();
    listener.OnSettled({});
    EXPECT_NE(presenceAtSettle->load(), 0u);
    EXPECT_EQ(listener.Calls(), (std::vector<std::string>{"refresh", "attached"}));
}

TEST_F(EventsLibraryTest, FaultsEndWithFailureAndLeaveTheWorkingFileAlone)
{
    Open(WithCapacity(0x40));
    const auto working = folder / "$Profile0";
    ASSERT_TRUE(std::filesystem::exists(working));
    const std::vector<std::uint8_t> before = FileBytes(working);
    const std::vector<std::vector<std::string>> faults = {
        {"fault", "drop", "10000"},       {"fault", "status", "ff", "10000"}, {"fault", "status", "fe", "10000"},
        {"fault", "wrong-code", "10000"}, {"fault", "unplug-after", "6"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault[1]);
        Control({"fault", "clear"});
        Control({"plug"});
        FillCurrentCopy({MakeMacro(1, 40, u"m")});
        Control(fault);
        EXPECT_FALSE(Download(true));
        Control({"fault", "clear"});
        Control({"plug"});
        Control(fault);
        session->GetTransfer().ForgetActiveProfile();
        // The default configuration stands in, and the refresh says it failed.
        EXPECT_FALSE(session->GetTransfer().RefreshFromKeyboard().ok());
        EXPECT_EQ(FileBytes(working), before);
    }
}

TEST_F(EventsLibraryTest, LightingWritesReachTheKeyboard)
{
    Open(emulator::FactoryKeyboardState(), false);
    Lighting lighting(session->Protocol(), SettingsFile(folder / "wskb.ini"));
    lighting.WriteSpeed(0);
    lighting.WriteEffectColour(11, MakeColour(1, 2, 3));
    lighting.WriteWhiteKeyColours();
    const emulator::KeyboardState state = Dump();
    EXPECT_EQ(state.lighting[2], 4);
    EXPECT_EQ(state.lighting[20], 1);
    EXPECT_EQ(state.lighting[22], 3);
    EXPECT_EQ(state.lighting[23], 0);
    EXPECT_EQ(state.keyColours[3 * 159], 0xFF);
    ASSERT_EQ(lighting.ReadLightingState(true), 0);
    EXPECT_EQ(lighting.State().speed, 4);
}

TEST_F(EventsLibraryTest, AttachAndDetachStormWhileDownloadsRun)
{
    Open(WithCapacity(0x10));
    std::atomic<bool> done{false};
    std::thread downloader([&] {
        while (!done) {
            (void)session->GetTransfer().DownloadCurrentCopy(false);
        }
    });
    for (int i = 0; i < 10; ++i) {
        Control({"unplug"});
        Control({"plug"});
    }
    done = true;
    downloader.join();
    // Every change of the storm reaches the program, each in its turn: ten
    // detaches, and ten attaches after the one at start. Only once the last
    // has begun does waiting for the changes begun so far cover the storm.
    // The storm is over long before the program has handled it, and each
    // attach then reads the keyboard, refreshes the copy and writes the
    // working file in its turn: the waits give each of the ten the time of one.
    const auto stormWait = RecordingListener::kEventWait * 10;
    ASSERT_TRUE(listener.WaitFor("detached", 10, stormWait));
    ASSERT_TRUE(listener.WaitFor("refresh", 11, stormWait));
    session->Events().WaitForAttachChanges();
    EXPECT_EQ(session->Events().LastPresence(), 1u);
    EXPECT_EQ(listener.Count("attached, first"), 1u);
}

} // namespace
} // namespace kestrune::testing
