#include "EventsFixture.h"
#include "lighting/LightingRecords.h"

#include <atomic>
#include <thread>

namespace kestrune::testing {
namespace {

class EventsTest : public KeyboardFixture {
protected:
    EventsTest() { window.transfer = &transfer; }
};

TEST_F(EventsTest, AttachAtStartReadsTheKeyboardRefreshesAndOpensTheWindow)
{
    EditState([](emulator::KeyboardState& state) {
        state.settings[wire::kSettingsMacroCapacity] = 0x10;
        state.macroArea.assign(0x10 * 128, 0xFF);
        state.defaultKeyTable[3 * 8 + 2] = 0x2A; // a factory table that differs from the built-in copy
        state.keyTables[0][3 * 8 + 2] = 0x04;
    });
    ASSERT_TRUE(events.Start().ok());
    events.WaitForAttachChanges();

    EXPECT_EQ(window.Calls(), (std::vector<std::string>{"refresh", "icon 141", "open"}));
    EXPECT_EQ(events.LastPresence(), 1u);
    EXPECT_EQ(transfer.MacroCapacity(), 0x10u * 128);
    EXPECT_EQ(transfer.CurrentDefaultTable()[8], (HardwareEntry{0x02, 0x02, 0x2A}));
    std::lock_guard lock(store.CurrentLock());
    ASSERT_TRUE(store.Current().HasBlock());
    // Decoded against the table just read: position 8 is Backspace now, and it produces "A".
    const KeyAssignment* backspace = store.Current().Assignment(0, SlotOfKey(0x00E));
    EXPECT_EQ(backspace->type, AssignmentType::RemapKey);
    EXPECT_TRUE(reporter.Keys().empty());
}

TEST_F(EventsTest, AFailedFactoryTableReadIsReportedAndKeepsTheBuiltInTable)
{
    const HardwareKeyTable before = transfer.CurrentDefaultTable();
    emulator::FaultPlan plan;
    plan.errorReplies = 3; // the first command, the factory table read, is refused three times
    keyboard.SetFaults(plan);
    ASSERT_TRUE(events.Start().ok());
    events.WaitForAttachChanges();
    EXPECT_EQ(reporter.Keys(), std::vector<std::string>{"MAIN_DEFAULT_MATRIX_PROMPT"});
    EXPECT_EQ(transfer.CurrentDefaultTable(), before);
    EXPECT_EQ(window.Count("open"), 1u);
}

TEST_F(EventsTest, AKeyboardPluggedInLaterNeverOpensTheWindow)
{
    keyboard.Unplug();
    ASSERT_TRUE(events.Start().ok());
    events.WaitForAttachChanges();
    EXPECT_TRUE(window.Calls().empty());

    keyboard.Plug();
    ASSERT_TRUE(window.WaitFor("icon 141"));
    events.WaitForAttachChanges();
    EXPECT_EQ(window.Calls(), (std::vector<std::string>{"refresh", "icon 141"}));
}

TEST_F(EventsTest, DetachForgetsTheProfileAndHidesTheWindow)
{
    ASSERT_TRUE(events.Start().ok());
    events.WaitForAttachChanges();
    ASSERT_EQ(transfer.ActiveProfile(), 0);

    keyboard.Unplug();
    ASSERT_TRUE(window.WaitFor("icon 128"));
    events.WaitForAttachChanges();
    EXPECT_EQ(transfer.CachedActiveProfile(), -1);
    EXPECT_EQ(events.LastPresence(), 0u);
    const auto calls = window.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"detached", "hide", "icon 128"}));

    // Back again: attached, but the first attach has long been handled.
    keyboard.Plug();
    ASSERT_TRUE(window.WaitFor("icon 141", 2));
    EXPECT_EQ(window.Count("open"), 1u);
}

TEST_F(EventsTest, TwoBankKeysEndInBankAWithTwoWrites)
{
    ASSERT_TRUE(events.Start().ok());
    events.WaitForAttachChanges();
    ASSERT_TRUE(keyboard.PressBankKey());
    ASSERT_TRUE(window.WaitFor("bank B"));
    ASSERT_TRUE(keyboard.PressBankKey());
    ASSERT_TRUE(window.WaitFor("bank A"));
    using Status2 = std::array<std::uint8_t, 2>;
    EXPECT_EQ(keyboard.BankStatusWrites(), (std::vector<Status2>{{0x05, 0x03}, {0x05, 0x02}}));
    EXPECT_FALSE(events.BankB());
}

TEST_F(EventsTest, KeyboardKeysReachTheWindow)
{
    ASSERT_TRUE(events.Start().ok());
    events.WaitForAttachChanges();
    ASSERT_TRUE(keyboard.ChangeLightingOnKeyboard());
    EXPECT_TRUE(window.WaitFor("timer 1051"));
    ASSERT_TRUE(keyboard.StartOnboardRecording());
    EXPECT_TRUE(window.WaitFor("icon 142"));
    ASSERT_TRUE(keyboard.StopOnboardRecording());
    // Recording over: back to the icon of the last attach.
    EXPECT_TRUE(window.WaitFor("icon 141", 2));
}

TEST_F(EventsTest, AReplyWithNoCommandWaitingIsDropped)
{
    ASSERT_TRUE(events.Start().ok());
    events.WaitForAttachChanges();

    // A stray settings reply claiming profile 2.
    std::array<std::uint8_t, 64> stray{};
    stray[0] = 4;
    stray[3] = 3;
    stray[4] = 28;
    stray[8 + wire::kSettingsActiveProfile] = 2;
    HidRelayEventData data{};
    data.tag = wire::kTagCtrl;
    data.value = static_cast<std::uint32_t>(stray.size());
    data.data = stray.data();
    HidRelayEvent event{HIDRELAY_EVENT_REPORT, 0, &data};
    EXPECT_EQ(DeviceEvents::OnDeviceReport(&event), 1);
    EXPECT_FALSE(protocol.Slot().Busy());

    SettingsRecord settings;
    ASSERT_EQ(protocol.ReadSettings(settings.bytes), 1);
    EXPECT_EQ(settings.ActiveProfileByte(), 0);
}

TEST_F(EventsTest, AttachAndDetachStormWhileDownloadsRun)
{
    EditState([](emulator::KeyboardState& state) {
        state.settings[wire::kSettingsMacroCapacity] = 0x10;
        state.macroArea.assign(0x10 * 128, 0xFF);
    });
    emulator::FaultPlan plan;
    plan.latency = std::chrono::microseconds(0);
    keyboard.SetFaults(plan);
    ASSERT_TRUE(events.Start().ok());
    events.WaitForAttachChanges();

    std::atomic<bool> done{false};
    std::thread downloader([&] {
        while (!done) {
            std::lock_guard lock(store.CurrentLock());
            store.TakeWorkingSnapshot(false, transfer);
        }
    });
    for (int i = 0; i < 15; ++i) {
        keyboard.Unplug();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        keyboard.Plug();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    done = true;
    downloader.join();

    // The changes are handled in the order they came: the keyboard ends attached.
    for (int i = 0; i < 200 && events.LastPresence() != 1; ++i) {
        events.WaitForAttachChanges();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    events.WaitForAttachChanges();
    EXPECT_EQ(events.LastPresence(), 1u);
    EXPECT_EQ(window.Count("open"), 1u);
    events.Stop();
}

} // namespace
} // namespace kestrune::testing
