#include "EventsEmulatorRelay.h"

#include "device/CommandProtocol.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kestrune::testing {

namespace {

struct Delivery {
    std::uint32_t tag;
    std::uint32_t kind;
    std::uint32_t value; // presence value; reports: unused
    std::vector<std::uint8_t> bytes;
};

struct Relay : emulator::KeyboardListener {
    emulator::EmulatedKeyboard* keyboard = nullptr;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Delivery> queue;
    std::map<HidRelayHandle, std::pair<std::uint32_t, HidRelayCallback>> reads; // handle -> tag, callback
    bool running = false;
    std::thread thread;

    void Push(Delivery delivery)
    {
        std::lock_guard lock(mutex);
        if (!running) return;
        queue.push_back(std::move(delivery));
        wake.notify_all();
    }
    void OnPresenceChanged(bool present) override
    {
        Push({wire::kTagCtrl, HIDRELAY_EVENT_PRESENCE, present ? 1u : 0u, {}});
    }
    void OnConsumerReport(std::span<const std::uint8_t> report) override
    {
        Push({wire::kTagCons, HIDRELAY_EVENT_REPORT, 0, {report.begin(), report.end()}});
    }
    void OnStateChanged() override {}

    void Run()
    {
        std::unique_lock lock(mutex);
        while (true) {
            wake.wait(lock, [&] { return !queue.empty() || !running; });
            if (!running) return;
            Delivery delivery = std::move(queue.front());
            queue.pop_front();
            std::vector<std::pair<HidRelayHandle, HidRelayCallback>> targets;
            for (auto& [handle, read] : reads)
                if (read.first == delivery.tag) targets.emplace_back(handle, read.second);
            lock.unlock();
            for (auto [handle, callback] : targets) {
                HidRelayTransfer transfer{};
                transfer.length = static_cast<std::uint32_t>(delivery.bytes.size());
                transfer.bytes = delivery.bytes.data();
                HidRelayEventData data{};
                data.tag = delivery.tag;
                data.handle = handle;
                if (delivery.kind == HIDRELAY_EVENT_REPORT) {
                    data.value = transfer.length;
                    data.data = delivery.bytes.data();
                    data.transfer = &transfer;
                } else {
                    data.value = delivery.value;
                }
                HidRelayEvent event{delivery.kind, 0, &data};
                callback(&event);
            }
            lock.lock();
        }
    }
};

Relay g_relay;
std::atomic<std::int64_t> g_latencyUs{0};

bool IsCommand(const HidRelaySelector* s)
{
    return s != nullptr && s->usage_page == wire::kCommandUsagePage && s->usage == wire::kCommandUsage;
}

int RelayDebug(int)
{
    return 0;
}
int RelayInit(int)
{
    std::lock_guard lock(g_relay.mutex);
    if (g_relay.running) return 1;
    g_relay.running = true;
    g_relay.thread = std::thread([] { g_relay.Run(); });
    return 1;
}
int RelayEnd()
{
    {
        std::lock_guard lock(g_relay.mutex);
        if (!g_relay.running) return 1;
        g_relay.running = false;
        g_relay.queue.clear();
        g_relay.reads.clear();
        g_relay.wake.notify_all();
    }
    g_relay.thread.join();
    g_relay.keyboard->SetListener(nullptr);
    return 1;
}
int RelayCount(const HidRelaySelector* selector, HidRelayCallback, uint32_t, uint32_t, HidRelayHandle*)
{
    return IsCommand(selector) && g_relay.keyboard->Present() ? 1 : 0;
}
int RelayDelete(HidRelayHandle handle)
{
    std::lock_guard lock(g_relay.mutex);
    return g_relay.reads.erase(handle) > 0 ? 1 : 0;
}
int RelayWriteOne(const HidRelaySelector* selector, HidRelayCallback, uint32_t, const uint8_t* data, uint32_t length,
                  uint32_t, HidRelayHandle*)
{
    if (!IsCommand(selector) || data == nullptr || !g_relay.keyboard->Present()) return 0;
    // There and back again before the reply is delivered: the sender waits for it.
    if (const std::int64_t latency = g_latencyUs.load(); latency > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(2 * latency));
    for (const emulator::Reply& reply : g_relay.keyboard->HandleOutputReport(std::span(data, length)))
        g_relay.Push({wire::kTagCtrl, HIDRELAY_EVENT_REPORT, 0, {reply.Arrived().begin(), reply.Arrived().end()}});
    return 1;
}
int RelayWrite(const HidRelaySelector*, HidRelayCallback, uint32_t, const uint8_t*, uint32_t, uint32_t, HidRelayHandle*)
{
    return 0;
}
int RelayStatusWrite(const HidRelaySelector*, HidRelayCallback, uint32_t, const uint8_t* data, uint32_t length,
                     uint32_t unitId, HidRelayHandle* outHandle)
{
    if (data == nullptr || !g_relay.keyboard->WriteBankStatus(std::span(data, length))) return 0;
    if (outHandle != nullptr) *outHandle = unitId;
    return 1;
}
int RelayStatusGet(const HidRelaySelector*, HidRelayCallback, uint32_t, uint8_t*, uint32_t, uint32_t, HidRelayHandle*)
{
    return 0;
}
int RelayAsyncRead(const HidRelaySelector*, HidRelayCallback callback, uint32_t tag, uint32_t unitId,
                   HidRelayHandle* outHandle)
{
    std::lock_guard lock(g_relay.mutex);
    g_relay.reads[unitId] = {tag, callback};
    if (outHandle != nullptr) *outHandle = unitId;
    return 1;
}

} // namespace

void SetRelayLatency(std::chrono::microseconds eachWay)
{
    g_latencyUs = eachWay.count();
}

std::unique_ptr<DeviceLibrary> BindRelay(emulator::EmulatedKeyboard& keyboard)
{
    g_relay.keyboard = &keyboard;
    keyboard.SetListener(&g_relay);
    DeviceFunctions functions;
    functions.Debug = RelayDebug;
    functions.Init = RelayInit;
    functions.End = RelayEnd;
    functions.RequestGetDeviceCount = RelayCount;
    functions.DeleteRequestFromUnitId = RelayDelete;
    functions.DeleteRequestFromHandle = RelayDelete;
    functions.RequestWrite = RelayWrite;
    functions.RequestWriteOne = RelayWriteOne;
    functions.RequestStatusWrite = RelayStatusWrite;
    functions.RequestStatusGet = RelayStatusGet;
    functions.RequestAsyncRead = RelayAsyncRead;
    functions.RequestStatusSetFeature = RelayWrite;
    auto library = DeviceLibrary::FromFunctions(functions, "in-process emulator relay");
    return library ? std::move(*library) : nullptr;
}

} // namespace kestrune::testing
