#include "lighting/LightingRecords.h"
#include "support/EventsFixture.h"

namespace kestrune::testing {
namespace {

class EventsTest : public KeyboardFixture {
protected:
    EventsTest() { listener.transfer = &transfer; }
};

TEST_F(EventsTest, AFailedFactoryTableReadIsReportedAndKeepsTheBuiltInTable)
{
    const HardwareKeyTable before = transfer.CurrentDefaultTable();
    emulator::FaultPlan plan;
    plan.errorReplies = 3; // the first command, the factory table read, is refused three times
    keyboard.SetFaults(plan);
    StartEvents();
    EXPECT_EQ(reporter.Keys(), std::vector<std::string>{"MAIN_DEFAULT_MATRIX_PROMPT"});
    EXPECT_EQ(transfer.CurrentDefaultTable(), before);
    EXPECT_EQ(listener.Count("attached, first"), 1u);
}

TEST_F(EventsTest, AReplyWithNoCommandWaitingIsDropped)
{
    StartEvents();

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

TEST_F(EventsTest, ASessionWithoutAListenerAttachesQuietlyAndStopsForGood)
{
    // A second binding of the fixture's keyboard, in a session with a quiet listener of its own.
    KeyboardSessionOptions options;
    options.library = BindRelay(keyboard);
    options.timing = QuickTiming();
    auto quiet = KeyboardSession::Create(std::move(options), reporter);
    ASSERT_TRUE(quiet.ok()) << quiet.error();
    ASSERT_TRUE((*quiet)->StartAndWaitForAttach().ok());
    EXPECT_TRUE((*quiet)->Attached());
    EXPECT_EQ((*quiet)->GetTransfer().MacroCapacity(), emulator::MacroCapacityBytes(keyboard.State().settings));

    // The library's callbacks reach one session at a time.
    const Status second = session->Start();
    ASSERT_FALSE(second.ok());
    EXPECT_NE(second.error().find("did not start"), std::string::npos) << second.error();

    (*quiet)->Stop();
    const auto before = std::chrono::steady_clock::now();
    SettingsRecord settings;
    EXPECT_EQ((*quiet)->Protocol().ReadSettings(settings.bytes), kResultAbsent);
    EXPECT_LT(std::chrono::steady_clock::now() - before, QuickTiming().replyWait)
        << "a stopped session waits for nothing";
    EXPECT_TRUE(listener.Calls().empty());
}

} // namespace
} // namespace kestrune::testing
