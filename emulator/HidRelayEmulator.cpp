// The device library's twelve exports, answered by an emulated keyboard
// instead of a real one. Built as libHidRelayEmulator.so so that any program
// that binds the device library at run time can bind this file instead.
//
// Each standing read has a thread of its own that delivers its events in the
// order they arose, each report no earlier than the fault plan's latency
// after it was sent; a write waits the same latency before the keyboard sees
// it. State is loaded from the state file at Init and saved after every
// change (on a thread of its own; End waits for the last save); the control
// socket is served from Init to End.
//
// Environment, read at Init: KESTRUNE_EMULATOR_STATE (state file),
// KESTRUNE_EMULATOR_SOCKET (control socket), KESTRUNE_EMULATOR_LATENCY_US
// (latency each way, default 1000), KESTRUNE_EMULATOR_BOOT_MS (how long the
// boot loader keeps the keyboard off the bus, default 2000),
// KESTRUNE_EMULATOR_FAULTS (faults armed from the start, in the words of the
// control tool's fault command, several separated by ';', e.g.
// "drop 3; status fe 1; wrong-code 2; unplug-after 5"; a malformed value is
// reported on stderr and the emulator starts without faults),
// KESTRUNE_EMULATOR_DEBUG (the level of Debug() until the program sets one:
// 1 presence, bank status and consumer reports, 2 also every command report
// with the time it reached the keyboard, and every reply, in hex, on stderr).

#include "emulator/ControlCommands.h"
#include "emulator/ControlSocket.h"
#include "emulator/EmulatedKeyboard.h"
#include "emulator/StateFile.h"

#include "wire/HidRelay.h"
#include "wire/StandingRead.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace kestrune::emulator {
namespace {

using Clock = std::chrono::steady_clock;

// A timed wait of the calling thread ends as close to its deadline as the
// system allows: Linux lets a sleep run late by the thread's timer slack
// (50 us by default), twice per exchange, which would add to the latency
// the emulator is told to model.
class PreciseTimers {
public:
    PreciseTimers()
    {
#ifdef __linux__
        m_previous = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        if (m_previous > 1) ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
#endif
    }
    ~PreciseTimers()
    {
#ifdef __linux__
        if (m_previous > 1) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(m_previous), 0, 0, 0);
#endif
    }
    PreciseTimers(const PreciseTimers&) = delete;
    PreciseTimers& operator=(const PreciseTimers&) = delete;

private:
    [[maybe_unused]] long m_previous = 0;
};

// Sleeps until the deadline on a thread of the program's, whose timer slack
// is left as it was.
void SleepUntil(Clock::time_point deadline)
{
    if (Clock::now() >= deadline) return;
    PreciseTimers precise;
    std::this_thread::sleep_until(deadline);
}

// Even without timer slack a timed wait wakes late: by the time the system
// needs to notice the timer and run the thread, some tens of microseconds on a
// virtual machine. A reply's wait therefore ends this much before its due time
// and spends the rest watching the clock. The margin follows the median of how
// late such waits have woken (a step at a time, so one wait that a busy
// machine delays by milliseconds hardly moves it), and stays within a bound
// that keeps the watching a small part of an exchange; on a machine whose
// timers wake on time it shrinks to nothing. Used by one thread only.
class WakeMargin {
public:
    static constexpr std::chrono::microseconds kStep{2};
    static constexpr std::chrono::microseconds kMost{200};

    Clock::duration Get() const { return m_margin; }

    void Learn(Clock::duration late)
    {
        m_margin =
            std::clamp<Clock::duration>(m_margin + (late > m_margin ? kStep : -kStep), Clock::duration::zero(), kMost);
    }

private:
    Clock::duration m_margin{};
};

// Spent in the last stretch before a due time: never longer than the margin.
void WatchClockUntil(Clock::time_point deadline)
{
    while (Clock::now() < deadline) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

constexpr const char* kLatencyVariable = "KESTRUNE_EMULATOR_LATENCY_US";
constexpr const char* kBootVariable = "KESTRUNE_EMULATOR_BOOT_MS";
constexpr const char* kFaultsVariable = "KESTRUNE_EMULATOR_FAULTS";
constexpr const char* kDebugVariable = "KESTRUNE_EMULATOR_DEBUG";
constexpr std::chrono::milliseconds kDefaultBootTime{2000};

std::atomic<int> g_debugLevel{0};

enum class Interface { None, Command, Consumer, BankStatus };

Interface Classify(const HidRelaySelector* selector)
{
    if (!selector || selector->flags != wire::kSelectorFlags || selector->vendor_id != wire::kVendorId ||
        selector->product_id != wire::kProductId)
        return Interface::None;
    if (selector->usage_page == wire::kCommandUsagePage && selector->usage == wire::kCommandUsage)
        return Interface::Command;
    if (selector->usage_page == wire::kConsumerUsagePage && selector->usage == wire::kConsumerUsage)
        return Interface::Consumer;
    if (selector->usage_page == wire::kBankStatusUsagePage && selector->usage == wire::kBankStatusUsage)
        return Interface::BankStatus;
    return Interface::None;
}

bool Logging(int level)
{
    return g_debugLevel.load(std::memory_order_relaxed) >= level;
}

void Log(int level, const std::string& text)
{
    if (Logging(level)) std::fprintf(stderr, "kestrune emulator: %s\n", text.c_str());
}

std::optional<unsigned long> NumberFromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    unsigned long number = 0;
    const char* end = value + std::char_traits<char>::length(value);
    const auto [stop, error] = std::from_chars(value, end, number);
    if (error != std::errc() || stop != end) {
        std::cerr << "kestrune emulator: " << name << " should be a whole number, found \"" << value
                  << "\"; using the default\n";
        return std::nullopt;
    }
    return number;
}

// One event for a standing read: a presence change or a received report.
struct Delivery {
    bool presence = false;
    bool present = false; // for a presence change
    std::vector<std::uint8_t> bytes;
    Clock::time_point due;
};

// A standing read of the emulated keyboard: what it delivers waits in a
// queue until it is due, as it would on the wire.
class QueuedRead {
public:
    QueuedRead(Interface which, HidRelayCallback callback, std::uint32_t tag, HidRelayHandle handle)
        : m_interface(which), m_read(callback, tag, handle)
    {
        m_read.Start([this] { Run(); },
                     [this] {
                         // Under the lock, so a Run that has just found nothing to do is waiting already.
                         std::lock_guard lock(m_mutex);
                         m_wake.notify_one();
                     });
    }

    ~QueuedRead() { m_read.StopAndJoin(); }

    Interface Which() const { return m_interface; }

    void Push(Delivery delivery)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_read.Stopping()) return;
            m_queue.push_back(std::move(delivery));
        }
        m_wake.notify_one();
    }

    void Stop() { m_read.Stop(); }

    bool OnOwnThread() const { return m_read.OnOwnThread(); }

private:
    void Run()
    {
        PreciseTimers precise;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_read.Stopping() || !m_queue.empty(); });
            if (m_read.Stopping()) return;
            const auto due = m_queue.front().due;
            const auto now = Clock::now();
            if (now < due) {
                const auto wakeAt = due - m_margin.Get();
                if (now < wakeAt) {
                    if (!m_wake.wait_until(lock, wakeAt, [this] { return m_read.Stopping(); }))
                        m_margin.Learn(Clock::now() - wakeAt);
                } else {
                    lock.unlock();
                    WatchClockUntil(due);
                    lock.lock();
                }
                continue;
            }
            Delivery delivery = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            if (delivery.presence)
                m_read.DeliverPresence(delivery.present);
            else
                m_read.DeliverReport(delivery.bytes);
            lock.lock();
        }
    }

    const Interface m_interface;
    WakeMargin m_margin;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Delivery> m_queue;
    wire::StandingRead m_read;
};

// Presence changes that arise while a command report is handled wait until
// its reply is on its way, so the program sees the reply first.
thread_local std::vector<bool>* t_deferredPresence = nullptr;

class Emulator final : public KeyboardListener {
public:
    Emulator()
    {
        if (auto level = NumberFromEnvironment(kDebugVariable)) g_debugLevel = static_cast<int>(*level);
        m_statePath = DefaultStateFilePath();
        OpenedState opened = OpenStateFile(m_statePath);
        if (!opened.problem.empty()) std::cerr << "kestrune emulator: " << opened.problem << "\n";
        m_persist = opened.writable;
        (void)m_keyboard.SetState(std::move(opened.state)); // checked when it was read

        FaultPlan plan;
        if (auto latency = NumberFromEnvironment(kLatencyVariable))
            plan.latency = std::chrono::microseconds(static_cast<std::int64_t>(*latency));
        if (const char* faults = std::getenv(kFaultsVariable); faults && *faults) {
            if (auto armed = ParseFaultPlan(faults, plan))
                plan = *armed;
            else
                std::cerr << "kestrune emulator: " << kFaultsVariable << ": " << armed.error()
                          << "; starting without faults\n";
        }
        m_keyboard.SetFaults(plan);
        if (auto boot = NumberFromEnvironment(kBootVariable))
            m_bootTime = std::chrono::milliseconds(static_cast<std::int64_t>(*boot));
        m_keyboard.SetListener(this);

        m_timer = std::thread([this] { RunBootTimer(); });
        m_saver = std::thread([this] { RunSaver(); });
        auto server = ControlServer::Start(DefaultControlSocketPath(), [this](const std::vector<std::string>& words) {
            return RunControlCommand(m_keyboard, words);
        });
        if (server)
            m_server = std::move(*server);
        else
            std::cerr << "kestrune emulator: no control socket: " << server.error() << "\n";
        Log(1, "started; state file " + m_statePath.string());
    }

    ~Emulator() override
    {
        m_server.reset();
        {
            std::lock_guard lock(m_timerMutex);
            m_timerStop = true;
        }
        m_timerWake.notify_one();
        m_timer.join();
        std::map<HidRelayHandle, std::unique_ptr<QueuedRead>> reads;
        std::vector<std::unique_ptr<QueuedRead>> retired;
        {
            std::lock_guard lock(m_requestsMutex);
            reads.swap(m_reads);
            retired.swap(m_retired);
        }
        reads.clear();
        retired.clear();
        m_keyboard.SetListener(nullptr);
        // Last: whatever changed before End is in the file when End returns.
        {
            std::lock_guard lock(m_saveMutex);
            m_saveStop = true;
        }
        m_saveWake.notify_one();
        m_saver.join();
    }

    EmulatedKeyboard& Keyboard() { return m_keyboard; }

    int StartRead(Interface which, HidRelayCallback callback, std::uint32_t tag, HidRelayHandle handle)
    {
        if (which == Interface::None || !callback || handle == 0) return 0;
        DeleteRequest(handle);
        auto read = std::make_unique<QueuedRead>(which, callback, tag, handle);
        std::lock_guard lock(m_requestsMutex);
        m_reads[handle] = std::move(read);
        return 1;
    }

    void RememberRequest(HidRelayHandle handle)
    {
        if (handle == 0) return;
        std::lock_guard lock(m_requestsMutex);
        m_otherRequests.insert(handle);
    }

    int DeleteRequest(HidRelayHandle handle)
    {
        if (handle == 0) return 0;
        std::unique_ptr<QueuedRead> read;
        {
            std::lock_guard lock(m_requestsMutex);
            if (m_otherRequests.erase(handle) != 0) return 1;
            const auto it = m_reads.find(handle);
            if (it == m_reads.end()) return 0;
            read = std::move(it->second);
            m_reads.erase(it);
            // A read cannot join itself: from inside its own callback it is
            // only stopped now and joined at End.
            if (read->OnOwnThread()) {
                read->Stop();
                m_retired.push_back(std::move(read));
                return 1;
            }
        }
        read.reset();
        return 1;
    }

    std::chrono::microseconds Latency() const { return m_keyboard.Faults().latency; }

    // Milliseconds since the emulator started, to the microsecond: where a
    // program leaves the link idle shows between two reports' times.
    std::string SinceStart(Clock::time_point when) const
    {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", std::chrono::duration<double, std::milli>(when - m_started).count());
        return text;
    }

    // The report reaches the keyboard one latency after it was written and the
    // reply the program one latency after that. Both are deadlines, so the
    // time the emulator itself takes falls inside the latency it models
    // instead of adding to it.
    void SendCommandReport(std::span<const std::uint8_t> report)
    {
        const auto latency = Latency();
        const auto arrives = Clock::now() + latency;
        SleepUntil(arrives);
        if (Logging(2)) Log(2, "out " + HexBytes(report) + " at " + SinceStart(arrives) + " ms");
        std::vector<bool> deferred;
        t_deferredPresence = &deferred;
        const auto replies = m_keyboard.HandleOutputReport(report);
        t_deferredPresence = nullptr;
        const auto due = arrives + latency;
        for (const auto& reply : replies) {
            if (Logging(2)) Log(2, "in  " + HexBytes(reply.Arrived()));
            Broadcast(Interface::Command,
                      Delivery{false, false, {reply.Arrived().begin(), reply.Arrived().end()}, due});
        }
        for (bool present : deferred) OnPresenceChanged(present);
        if (m_keyboard.InBootMode()) ScheduleBootReturn();
    }

    void OnPresenceChanged(bool present) override
    {
        if (t_deferredPresence) {
            t_deferredPresence->push_back(present);
            return;
        }
        Log(1, present ? "keyboard present" : "keyboard gone");
        Broadcast(Interface::Command, Delivery{true, present, {}, Clock::now()});
    }

    void OnConsumerReport(std::span<const std::uint8_t> report) override
    {
        if (Logging(1)) Log(1, "consumer report " + HexBytes(report));
        Broadcast(Interface::Consumer,
                  Delivery{false, false, {report.begin(), report.end()}, Clock::now() + Latency()});
    }

    void OnStateChanged() override
    {
        if (!m_persist) return;
        {
            std::lock_guard lock(m_saveMutex);
            m_dirty = true;
        }
        m_saveWake.notify_one();
    }

private:
    void Broadcast(Interface which, const Delivery& delivery)
    {
        std::lock_guard lock(m_requestsMutex);
        for (auto& [handle, read] : m_reads)
            if (read->Which() == which) read->Push(delivery);
    }

    // Saves on a thread of its own so that a command's reply never waits for
    // the disk. Changes that come while a save runs are taken together by the
    // next one, which always writes the state as it is then.
    void RunSaver()
    {
        std::unique_lock lock(m_saveMutex);
        for (;;) {
            m_saveWake.wait(lock, [this] { return m_dirty || m_saveStop; });
            if (!m_dirty) return;
            m_dirty = false;
            lock.unlock();
            if (auto saved = SaveStateFile(m_statePath, m_keyboard.State()); !saved)
                std::cerr << "kestrune emulator: cannot save the state: " << saved.error() << "\n";
            lock.lock();
        }
    }

    void ScheduleBootReturn()
    {
        {
            std::lock_guard lock(m_timerMutex);
            m_bootReturn = Clock::now() + m_bootTime;
        }
        m_timerWake.notify_one();
    }

    void RunBootTimer()
    {
        std::unique_lock lock(m_timerMutex);
        for (;;) {
            if (m_timerStop) return;
            if (!m_bootReturn) {
                m_timerWake.wait(lock);
                continue;
            }
            const auto due = *m_bootReturn;
            if (Clock::now() < due) {
                m_timerWake.wait_until(lock, due);
                continue;
            }
            m_bootReturn.reset();
            lock.unlock();
            Log(1, "boot loader done");
            m_keyboard.LeaveBootMode();
            lock.lock();
        }
    }

    const Clock::time_point m_started = Clock::now();
    EmulatedKeyboard m_keyboard;
    std::filesystem::path m_statePath;
    bool m_persist = true;
    std::mutex m_saveMutex;
    std::condition_variable m_saveWake;
    bool m_dirty = false;
    bool m_saveStop = false;
    std::thread m_saver;
    std::chrono::milliseconds m_bootTime = kDefaultBootTime;

    std::mutex m_requestsMutex;
    std::map<HidRelayHandle, std::unique_ptr<QueuedRead>> m_reads;
    std::vector<std::unique_ptr<QueuedRead>> m_retired;
    std::set<HidRelayHandle> m_otherRequests;

    std::mutex m_timerMutex;
    std::condition_variable m_timerWake;
    std::optional<Clock::time_point> m_bootReturn;
    bool m_timerStop = false;
    std::thread m_timer;

    std::unique_ptr<ControlServer> m_server;
};

std::mutex g_libraryMutex;
std::shared_ptr<Emulator> g_emulator;

std::shared_ptr<Emulator> Current()
{
    std::lock_guard lock(g_libraryMutex);
    return g_emulator;
}

void StoreHandle(HidRelayHandle* out, HidRelayHandle handle)
{
    if (out) *out = handle;
}

int WriteBankStatus(Emulator& emulator, const HidRelaySelector* selector, const std::uint8_t* data,
                    std::uint32_t length)
{
    if (Classify(selector) != Interface::BankStatus || !data) return 0;
    SleepUntil(Clock::now() + emulator.Latency());
    if (Logging(1)) Log(1, "bank status " + HexBytes({data, length}));
    return emulator.Keyboard().WriteBankStatus({data, length}) ? 1 : 0;
}

} // namespace
} // namespace kestrune::emulator

using kestrune::emulator::Current;
using kestrune::emulator::Interface;
namespace wire = kestrune::wire;

extern "C" {

HIDRELAY_API int Debug(int level)
{
    return kestrune::emulator::g_debugLevel.exchange(level);
}

HIDRELAY_API int Init(int /*flags*/)
{
    std::lock_guard lock(kestrune::emulator::g_libraryMutex);
    if (!kestrune::emulator::g_emulator)
        kestrune::emulator::g_emulator = std::make_shared<kestrune::emulator::Emulator>();
    return 1;
}

HIDRELAY_API int End(void)
{
    std::shared_ptr<kestrune::emulator::Emulator> emulator;
    {
        std::lock_guard lock(kestrune::emulator::g_libraryMutex);
        emulator.swap(kestrune::emulator::g_emulator);
    }
    // Destroyed here unless a call in flight still holds it; either way every
    // thread is joined by the destructor.
    emulator.reset();
    return 1;
}

HIDRELAY_API int RequestGetDeviceCount(const HidRelaySelector* selector, HidRelayCallback /*callback*/,
                                       uint32_t /*tag*/, uint32_t /*unit_id*/, HidRelayHandle* /*out_handle*/)
{
    const auto emulator = Current();
    if (!emulator || kestrune::emulator::Classify(selector) == Interface::None) return 0;
    return emulator->Keyboard().Present() ? 1 : 0;
}

HIDRELAY_API int DeleteRequestFromUnitId(HidRelayHandle handle)
{
    const auto emulator = Current();
    return emulator ? emulator->DeleteRequest(handle) : 0;
}

HIDRELAY_API int DeleteRequestFromHandle(HidRelayHandle handle)
{
    return DeleteRequestFromUnitId(handle);
}

HIDRELAY_API int RequestWrite(const HidRelaySelector* selector, HidRelayCallback /*callback*/, uint32_t /*tag*/,
                              const uint8_t* data, uint32_t length, uint32_t /*unit_id*/,
                              HidRelayHandle* /*out_handle*/)
{
    const auto emulator = Current();
    if (!emulator || !data || length == 0 || kestrune::emulator::Classify(selector) != Interface::Command) return 0;
    int written = 0;
    for (std::uint32_t offset = 0; offset < length; offset += wire::kReportSize) {
        if (!emulator->Keyboard().Present()) break;
        const std::uint32_t n = std::min<std::uint32_t>(wire::kReportSize, length - offset);
        emulator->SendCommandReport({data + offset, n});
        ++written;
    }
    return written;
}

HIDRELAY_API int RequestWriteOne(const HidRelaySelector* selector, HidRelayCallback /*callback*/, uint32_t /*tag*/,
                                 const uint8_t* data, uint32_t length, uint32_t /*unit_id*/,
                                 HidRelayHandle* /*out_handle*/)
{
    const auto emulator = Current();
    if (!emulator || !data || length == 0 || length > wire::kReportSize ||
        kestrune::emulator::Classify(selector) != Interface::Command || !emulator->Keyboard().Present())
        return 0;
    emulator->SendCommandReport({data, length});
    return 1;
}

HIDRELAY_API int RequestStatusWrite(const HidRelaySelector* selector, HidRelayCallback /*callback*/, uint32_t /*tag*/,
                                    const uint8_t* data, uint32_t length, uint32_t unit_id, HidRelayHandle* out_handle)
{
    const auto emulator = Current();
    if (!emulator || kestrune::emulator::WriteBankStatus(*emulator, selector, data, length) != 1) return 0;
    emulator->RememberRequest(unit_id);
    kestrune::emulator::StoreHandle(out_handle, unit_id);
    return 1;
}

HIDRELAY_API int RequestStatusGet(const HidRelaySelector* selector, HidRelayCallback /*callback*/, uint32_t /*tag*/,
                                  uint8_t* data, uint32_t length, uint32_t /*unit_id*/, HidRelayHandle* /*out_handle*/)
{
    const auto emulator = Current();
    if (!emulator || !data || kestrune::emulator::Classify(selector) != Interface::BankStatus ||
        !emulator->Keyboard().Present())
        return 0;
    const auto status = emulator->Keyboard().State().bankStatus;
    const std::size_t n = std::min<std::size_t>(length, status.size());
    std::copy_n(status.begin(), n, data);
    return static_cast<int>(n);
}

HIDRELAY_API int RequestStatusSetFeature(const HidRelaySelector* selector, HidRelayCallback /*callback*/,
                                         uint32_t /*tag*/, const uint8_t* data, uint32_t length, uint32_t /*unit_id*/,
                                         HidRelayHandle* /*out_handle*/)
{
    const auto emulator = Current();
    return emulator ? kestrune::emulator::WriteBankStatus(*emulator, selector, data, length) : 0;
}

HIDRELAY_API int RequestAsyncRead(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                  uint32_t unit_id, HidRelayHandle* out_handle)
{
    const auto emulator = Current();
    if (!emulator || !emulator->StartRead(kestrune::emulator::Classify(selector), callback, tag, unit_id)) return 0;
    kestrune::emulator::StoreHandle(out_handle, unit_id);
    return 1;
}

} // extern "C"
