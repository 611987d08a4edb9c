// The device access library's own sources, linked against the hidapi test
// implementation and the emulator's keyboard model: no device file is touched.

#include "LinkedRelay.h"

#include "device/CommandProtocol.h"
#include "emulator/EmulatedKeyboard.h"

#include "wire/HidRelay.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>

#include <unistd.h>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using hidshim::LinkedFunctions;
using hidshim::ManualPresence;

struct Event {
    unsigned kind = 0;
    std::uint32_t tag = 0;
    std::uint32_t value = 0;
    HidRelayHandle handle = 0;
    std::vector<std::uint8_t> bytes;
};

// What the library's callbacks saw; 'CTRL' reports also go to the reply slot.
class Recorder {
public:
    static Recorder* current;

    static int Callback(const HidRelayEvent* event)
    {
        Recorder& self = *current;
        Event seen{event->kind, event->data->tag, event->data->value,
                   static_cast<HidRelayHandle>(event->data->handle), {}};
        if (event->kind == HIDRELAY_EVENT_REPORT) {
            // Both paths to the bytes must agree.
            EXPECT_EQ(event->data->transfer->length, event->data->value);
            EXPECT_EQ(event->data->transfer->bytes, event->data->data);
            seen.bytes.assign(event->data->data, event->data->data + event->data->value);
        }
        // Recorded before the reply is handed on, so a sender that wakes up
        // finds its reply among the events.
        std::function<void(const Event&)> hook;
        {
            std::lock_guard lock(self.mutex);
            self.events.push_back(seen);
            hook = self.hook;
        }
        self.changed.notify_all();
        if (event->kind == HIDRELAY_EVENT_REPORT && seen.tag == wire::kTagCtrl && self.slot != nullptr)
            self.slot->Deliver(seen.bytes);
        if (hook) hook(seen);
        return 1;
    }

    // Waits (with a deadlock guard, not a deadline) until 'times' events match.
    bool WaitFor(const std::function<bool(const Event&)>& match, std::size_t times = 1)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, [&] {
            return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), match)) >= times;
        });
    }
    std::size_t Count(const std::function<bool(const Event&)>& match)
    {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), match));
    }
    void Forget()
    {
        std::lock_guard lock(mutex);
        events.clear();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    std::function<void(const Event&)> hook;
    ReplySlot* slot = nullptr;
};
Recorder* Recorder::current = nullptr;

std::size_t ThreadCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

bool IsPresence(const Event& e, HidRelayHandle handle, std::uint32_t value)
{
    return e.kind == HIDRELAY_EVENT_PRESENCE && e.handle == handle && e.value == value;
}

// Run once with a presence source that notices every change (the library
// answers from its notices) and once with one that may miss some (it searches).
class RelayTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        // Sanitizers start a helper thread of their own with the first thread
        // the process creates; let that happen before counting, so only the
        // library's threads make a difference.
        std::thread([] {}).join();
        baselineThreads = ThreadCount();
        Recorder::current = &recorder;
        hidrelay::SetPresenceFactory([this] {
            auto source = std::make_unique<ManualPresence>(GetParam());
            presence = source.get();
            return source;
        });
        hidshim::ShimBus::Instance().Connect(&keyboard, [this] {
            if (presence != nullptr) presence->Notify();
        });
        Start();
    }

    void TearDown() override
    {
        Stop();
        hidshim::ShimBus::Instance().Disconnect();
        hidrelay::SetPresenceFactory(nullptr);
        Recorder::current = nullptr;
    }

    void Start()
    {
        auto library = DeviceLibrary::FromFunctions(LinkedFunctions(), "linked relay");
        ASSERT_TRUE(library.ok()) << library.error();
        protocol = std::make_unique<CommandProtocol>(std::move(*library));
        recorder.slot = &protocol->Slot();
        ctrlHandle = StartRead(CommandSelector(), wire::kTagCtrl);
        consHandle = StartRead(ConsumerSelector(), wire::kTagCons);
    }

    // Ending the binding ends the library: afterwards no thread of it may run.
    void Stop()
    {
        protocol.reset();
        presence = nullptr;
        recorder.slot = nullptr;
    }

    HidRelayHandle StartRead(const HidRelaySelector& selector, std::uint32_t tag)
    {
        const std::uint32_t unitId = UnitId(selector, CallbackField(&Recorder::Callback), tag, {});
        HidRelayHandle handle = 0;
        EXPECT_GT(protocol->Library().AsyncRead(selector, &Recorder::Callback, tag, unitId, &handle), 0);
        EXPECT_EQ(handle, unitId);
        return handle;
    }

    emulator::EmulatedKeyboard keyboard;
    Recorder recorder;
    ManualPresence* presence = nullptr;
    std::unique_ptr<CommandProtocol> protocol;
    HidRelayHandle ctrlHandle = 0;
    HidRelayHandle consHandle = 0;
    std::size_t baselineThreads = 0;
};

TEST_P(RelayTest, CountsTheInterfacesASelectorPicks)
{
    DeviceLibrary& library = protocol->Library();
    HidRelaySelector otherProduct = CommandSelector();
    otherProduct.product_id = 0x5005;
    HidRelaySelector anyVendorDevice = otherProduct;
    anyVendorDevice.flags = 0x1;  // vendor id only
    const std::pair<HidRelaySelector, int> cases[] = {
        {CommandSelector(), 1}, {ConsumerSelector(), 1}, {BankStatusSelector(), 1},
        {otherProduct, 0},      {anyVendorDevice, 3},
    };
    const int searchesBefore = hidshim::ShimBus::Instance().EnumerateCalls();
    for (const auto& [selector, expected] : cases)
        EXPECT_EQ(library.GetDeviceCount(selector, 1), expected) << std::hex << selector.usage_page;
    EXPECT_TRUE(protocol->DevicePresent());
    // Counted from the notices when they can be trusted, without a search.
    EXPECT_EQ(hidshim::ShimBus::Instance().EnumerateCalls() == searchesBefore, GetParam());

    keyboard.Unplug();
    EXPECT_EQ(library.GetDeviceCount(CommandSelector(), 1), 0);
    EXPECT_FALSE(protocol->DevicePresent());
    keyboard.Plug();
    EXPECT_EQ(library.GetDeviceCount(CommandSelector(), 1), 1);
}

TEST_P(RelayTest, CommandsTravelThroughWritesAndTheStandingRead)
{
    std::array<std::uint8_t, wire::kSettingsRecordSize> settings{};
    ASSERT_EQ(protocol->ReadSettings(settings), kResultOk);
    EXPECT_EQ(settings, keyboard.State().settings);

    std::array<std::uint8_t, wire::kKeyTableSize> table{};
    std::iota(table.begin(), table.end(), std::uint8_t{3});
    ASSERT_EQ(protocol->WriteKeyTable(1, table), kResultOk);
    EXPECT_EQ(keyboard.State().keyTables[1], table);

    std::array<std::uint8_t, wire::kKeyTableSize> back{};
    ASSERT_EQ(protocol->ReadKeyTable(1, back), kResultOk);
    EXPECT_EQ(back, table);
    EXPECT_EQ(keyboard.ReceivedReports().size(), 1u + 9u + 9u);
    // Every reply came in as a 64-byte report with its report id.
    EXPECT_EQ(recorder.Count([&](const Event& e) {
        return e.tag == wire::kTagCtrl && e.bytes.size() == wire::kReportSize && e.bytes[0] == wire::kReportId;
    }),
              19u);
}

TEST_P(RelayTest, BankStatusAndOneReportWritesReachTheKeyboard)
{
    const std::array<std::uint8_t, wire::kBankStatusSize> status{0x05, 0x03};
    const HidRelaySelector selector = BankStatusSelector();
    const std::uint32_t unitId = UnitId(selector, CallbackField(&Recorder::Callback), wire::kTagLed, status);
    HidRelayHandle handle = 0;
    EXPECT_GT(protocol->Library().StatusWrite(selector, &Recorder::Callback, wire::kTagLed, status, unitId, &handle),
              0);
    EXPECT_EQ(handle, unitId);
    ASSERT_FALSE(keyboard.BankStatusWrites().empty());
    EXPECT_EQ(keyboard.BankStatusWrites().back(), status);
    // A one-shot request leaves nothing standing to delete.
    EXPECT_EQ(protocol->Library().DeleteRequest(handle), 0);

    // RequestWrite splits into 64-byte reports; the second one is padded.
    std::vector<std::uint8_t> two(wire::kReportSize + 8, 0);
    two[0] = two[wire::kReportSize] = wire::kReportId;
    two[wire::kOffCommand] = two[wire::kReportSize + wire::kOffCommand] =
        static_cast<std::uint8_t>(wire::Command::BeginUpdate);
    const HidRelaySelector command = CommandSelector();
    EXPECT_EQ(protocol->Library().Functions().RequestWrite(&command, nullptr, 0, two.data(),
                                                            static_cast<std::uint32_t>(two.size()), 1, nullptr),
              2);
    EXPECT_EQ(keyboard.ReceivedReports().size(), 2u);
}

TEST_P(RelayTest, UnplugAndReplugArePresenceEventsAndTheReadsResume)
{
    keyboard.Unplug();
    ASSERT_TRUE(recorder.WaitFor([&](const Event& e) { return IsPresence(e, ctrlHandle, 0); }));
    std::array<std::uint8_t, wire::kSettingsRecordSize> settings{};
    EXPECT_EQ(protocol->ReadSettings(settings), kResultAbsent);

    keyboard.Plug();
    ASSERT_TRUE(recorder.WaitFor([&](const Event& e) { return IsPresence(e, ctrlHandle, 1); }));
    // The read was open again before the attach was told, so the first
    // command is answered at its first attempt.
    const std::size_t sent = keyboard.ReceivedReports().size();
    EXPECT_EQ(protocol->ReadSettings(settings), kResultOk);
    EXPECT_EQ(keyboard.ReceivedReports().size(), sent + 1);

    // The consumer read came back too, without presence events of its own
    // (reports sent before it has reopened are lost, as on a real bus).
    for (int spin = 0; hidshim::ShimBus::Instance().OpenHandlesOn(wire::kConsumerUsagePage) == 0 && spin < 20000;
         ++spin)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(keyboard.PressBankKey());
    ASSERT_TRUE(recorder.WaitFor([&](const Event& e) {
        return e.kind == HIDRELAY_EVENT_REPORT && e.handle == consHandle &&
               e.bytes == std::vector<std::uint8_t>{0xFF, 0x02};
    }));
    EXPECT_EQ(recorder.Count([&](const Event& e) {
        return e.kind == HIDRELAY_EVENT_PRESENCE && e.handle == consHandle;
    }),
              0u);
    EXPECT_EQ(recorder.Count([&](const Event& e) { return e.kind == HIDRELAY_EVENT_PRESENCE; }), 2u);

    // The boot loader takes the keyboard off the bus like a pulled cable.
    EXPECT_EQ(protocol->EnterBootMode(), kResultOk);
    EXPECT_TRUE(keyboard.InBootMode());
    ASSERT_TRUE(recorder.WaitFor([&](const Event& e) { return IsPresence(e, ctrlHandle, 0); }, 2));
}

TEST_P(RelayTest, DeletedReadsStopEvenFromTheirOwnCallback)
{
    // The consumer read deletes itself on its first report.
    std::atomic<int> deleted{-1};
    recorder.hook = [&](const Event& e) {
        if (e.handle == consHandle) deleted = DeleteRequestFromUnitId(consHandle);
    };
    const int handlesBefore = hidshim::ShimBus::Instance().OpenHandles();
    ASSERT_TRUE(keyboard.PressBankKey());
    ASSERT_TRUE(recorder.WaitFor([&](const Event& e) { return e.handle == consHandle; }));
    for (int spin = 0; deleted.load() == -1 && spin < 20000; ++spin) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(deleted.load(), 1);
    EXPECT_EQ(DeleteRequestFromUnitId(consHandle), 0) << "already gone";

    ASSERT_TRUE(keyboard.PressBankKey());
    // A command round trip after the key press: had the read survived, its
    // report would have been queued to it before this reply.
    std::array<std::uint8_t, wire::kSettingsRecordSize> settings{};
    EXPECT_EQ(protocol->ReadSettings(settings), kResultOk);
    EXPECT_EQ(recorder.Count([&](const Event& e) { return e.handle == consHandle; }), 1u);

    // Deleting from another thread joins the read and closes its handle.
    EXPECT_EQ(DeleteRequestFromUnitId(ctrlHandle), 1);
    EXPECT_LT(hidshim::ShimBus::Instance().OpenHandles(), handlesBefore);
}

TEST_P(RelayTest, EndStopsEveryThreadAndClosesEveryHandle)
{
    std::array<std::uint8_t, wire::kSettingsRecordSize> settings{};
    ASSERT_EQ(protocol->ReadSettings(settings), kResultOk);
    EXPECT_GT(ThreadCount(), baselineThreads);

    Stop();
    EXPECT_EQ(hidshim::ShimBus::Instance().OpenHandles(), 0);
    // A joined thread may linger in /proc for a moment after it has finished.
    for (int spin = 0; ThreadCount() != baselineThreads && spin < 20000; ++spin) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(ThreadCount(), baselineThreads);

    recorder.Forget();
    ASSERT_TRUE(keyboard.PressBankKey());
    keyboard.Unplug();
    keyboard.Plug();
    EXPECT_EQ(recorder.Count([](const Event&) { return true; }), 0u) << "callbacks after End";
    EXPECT_EQ(RequestGetDeviceCount(nullptr, nullptr, 0, 0, nullptr), 0);
    const HidRelaySelector command = CommandSelector();
    EXPECT_EQ(RequestGetDeviceCount(&command, nullptr, 0, 0, nullptr), 0) << "not started";

    // The library starts again after End.
    Start();
    ASSERT_EQ(protocol->ReadSettings(settings), kResultOk);
    EXPECT_EQ(settings, keyboard.State().settings);
}

INSTANTIATE_TEST_SUITE_P(PresenceSources, RelayTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& source) {
                             return source.param ? "NoticesEveryChange" : "MayMissChanges";
                         });

int IgnoreEvent(const HidRelayEvent*)
{
    return 1;
}

// A program that ends without End: the library's threads must still be
// stopped and joined on the way out, not abandoned or aborted.
TEST(RelayExitTest, ThreadsEndWhenTheProcessEndsWithoutEnd)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::alarm(30);  // a hang on the way out fails instead of blocking the run
            auto* keyboard = new emulator::EmulatedKeyboard;
            hidshim::ShimBus::Instance().Connect(keyboard, nullptr);
            if (Init(0) <= 0) std::_Exit(3);
            for (const auto& [selector, tag] : {std::pair{CommandSelector(), wire::kTagCtrl},
                                                std::pair{ConsumerSelector(), wire::kTagCons}}) {
                if (RequestAsyncRead(&selector, &IgnoreEvent, tag, UnitId(selector, 0, tag, {}), nullptr) <= 0)
                    std::_Exit(4);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kestrune
