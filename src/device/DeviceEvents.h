#pragma once

// What the keyboard tells the program besides the replies to its commands:
// presence changes, its special keys (bank switch, lighting changed on the
// keyboard, on-board macro recording) and, through the same read, the
// replies themselves. Everything arrives through two standing reads and one
// callback, OnDeviceReport, on a thread of the device library.
//
// Threading rules:
// - OnDeviceReport runs on the library's read threads. It never blocks for
//   long: it copies replies into the reply slot, writes the bank status,
//   calls the sink's non-blocking operations and starts threads.
// - Every presence change is handled on a thread of its own. The threads take
//   turns in the order the changes arrived, so the last-value test compares
//   each change with the one before it and a quick unplug during an attach is
//   never lost. The attach thread sends commands (on the protocol's exchange
//   lock) and calls the sink's sent operations, which return once handled.
// - Every thread started here is joined by Stop() (and the destructor). Stop()
//   first removes the standing reads and waits for a callback in progress, so
//   no callback reaches a destroyed object. A sink whose sent operations wait
//   for the thread that calls Stop() must return from them once shutdown has
//   begun (Stopping() tells), or Stop() would wait for ever.
// - Only one DeviceEvents receives the library's callbacks at a time: the
//   callback is a plain function whose address is part of the requests'
//   identity.

#include "common/Reporter.h"
#include "common/Result.h"
#include "wire/Protocol.h"

#include "wire/HidRelay.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrune {

class CommandProtocol;
class Transfer;

// Notification icons.
inline constexpr int kIconAttached = 141;
inline constexpr int kIconDetached = 128;
inline constexpr int kIconRecording = 142;

// The main window as the device events see it. The GUI implements it on its
// window; the command line its own way.
class DeviceEventSink {
public:
    virtual ~DeviceEventSink() = default;

    // 0x5452 'PROF', sent by the attach thread after the attach reads: run
    // RefreshFromKeyboard and read the lighting state. Returns once handled.
    virtual void SendRefreshProfile() = 0;
    // 0x4753, sent by the attach thread after a detach: close the child windows.
    virtual void SendDetached() = 0;
    // Hide the main window (after 0x4753).
    virtual void HideMainWindow() = 0;
    // 0x5350 'OPEN', posted at the first attach: bring the window up.
    virtual void PostOpen() = 0;
    // The first attach that will end in PostOpen has begun reading the
    // keyboard: the window may get ready to come up meanwhile. Must not block.
    virtual void FirstAttachBegins() {}
    // 0x5045 'LED' and the macro-key relabelling, from the library's thread
    // after the bank key: show the macro keys of the new bank. Must not block.
    virtual void SendBankChanged(bool bankB) = 0;
    // Timer 1051: re-read the lighting (without per-key colours) soon. Must not block.
    virtual void StartLightingTimer() = 0;
    // The notification icon: kIconAttached, kIconDetached or kIconRecording.
    virtual void SetTrayIcon(int iconId) = 0;
    // Whether the main window has finished initialising; the attach thread
    // waits for it before it touches the icon. A sink that calls
    // DeviceEvents::InitialisedChanged once it turns true lets the thread go
    // on at once; otherwise the thread looks again every kInitialisedPoll.
    virtual bool Initialised() const = 0;

    // RefreshFromKeyboard has replaced the current copy: show its keys. Called
    // after the lock is left, from whatever thread ran the refresh.
    virtual void RefreshKeyDisplay() = 0;
    // RefreshFromKeyboard's "no unapplied changes".
    virtual void ClearUnappliedChanges() = 0;
};

// A front end without a window (a command, a test): nothing to show or
// refresh, and always initialised so the attach never waits for it.
class QuietDeviceEventSink : public DeviceEventSink {
public:
    void SendRefreshProfile() override {}
    void SendDetached() override {}
    void HideMainWindow() override {}
    void PostOpen() override {}
    void SendBankChanged(bool) override {}
    void StartLightingTimer() override {}
    void SetTrayIcon(int) override {}
    bool Initialised() const override { return true; }
    void RefreshKeyDisplay() override {}
    void ClearUnappliedChanges() override {}
};

// The two bank-status bytes; bit 0 of the second is the macro-key bank (0 = A, 1 = B).
struct BankStatus {
    std::array<std::uint8_t, wire::kBankStatusSize> bytes{};
};
static_assert(sizeof(BankStatus) == wire::kBankStatusSize);
inline constexpr BankStatus kInitialBankStatus = {{0x05, 0x02}};
inline constexpr std::uint8_t kBankBit = 0x01;

// How often the attach thread looks at a sink's Initialised() when the sink
// does not say when it changes.
inline constexpr std::chrono::milliseconds kInitialisedPoll{50};

// What the attach reads before it tells the sink. The settings record is
// always read (it carries the macro capacity and the active profile); the
// factory key table only matters to a front end that encodes or decodes key
// tables, so a command that does neither may leave it out.
struct AttachReads {
    bool factoryTable = true;
};

class DeviceEvents {
public:
    DeviceEvents(CommandProtocol& protocol, Transfer& transfer, DeviceEventSink& sink, Reporter& reporter,
                 AttachReads reads = {});
    ~DeviceEvents();
    DeviceEvents(const DeviceEvents&) = delete;
    DeviceEvents& operator=(const DeviceEvents&) = delete;

    // The start-up order: bank status reset, the 'CONS' read, the reply slot
    // cleared, the 'CTRL' read, then the keyboards counted and an attach
    // thread started with the count (a count of 0 sets the first-attach flag,
    // so a keyboard plugged in later never opens the window). Fails when this
    // object cannot receive the callbacks or a read cannot be started.
    Status Start();
    // Removes the standing reads, waits for a callback in progress, closes
    // the reply slot (every command after this fails at once: the program is
    // closing) and joins every thread. Idempotent.
    void Stop();
    bool Stopping() const { return m_stopping.load(); }
    // Before Start: the first attach does not bring the window up (the
    // program was started to stay in the tray).
    void SkipFirstOpen() { m_firstAttachDone = true; }
    // The sink's Initialised() has turned true: an attach thread waiting for
    // it goes on now rather than at its next look.
    void InitialisedChanged();

    // The callback the library calls (a plain function, as the library wants).
    static int OnDeviceReport(const HidRelayEvent* event);

    // Starts the handling of a presence change on a thread of its own.
    void StartAttachChange(std::uint32_t presence);
    // Writes the bank status to the keyboard's bank-status interface.
    void WriteBankStatus();

    BankStatus Bank() const;
    bool BankB() const;
    // The presence value last handled: non-zero while a keyboard is attached.
    std::uint32_t LastPresence() const { return m_lastPresence.load(); }
    // Waits until every presence change started so far has been handled.
    void WaitForAttachChanges();

private:
    int HandleReport(const HidRelayEvent& event);
    void HandleConsumerWord(std::uint16_t word);
    void HandleAttachChange(std::uint32_t presence);
    bool WaitUntilInitialised();
    void ShowRecordingIcon(bool recording);
    void StartThread(std::function<void()> work);
    void ReapThreads(bool all);
    Status StartRead(const HidRelaySelector& selector, std::uint32_t tag, HidRelayHandle& handle);

    CommandProtocol& m_protocol;
    Transfer& m_transfer;
    DeviceEventSink& m_sink;
    Reporter& m_reporter;
    const AttachReads m_reads;

    mutable std::mutex m_bankMutex;
    BankStatus m_bank = kInitialBankStatus;
    HidRelayHandle m_consHandle = 0;
    HidRelayHandle m_ctrlHandle = 0;
    HidRelayHandle m_ledHandle = 0; // guarded by m_bankMutex

    std::atomic<std::uint32_t> m_lastPresence{0};
    std::atomic<bool> m_firstAttachDone{false};
    std::atomic<int> m_attachIcon{kIconDetached};
    std::atomic<bool> m_stopping{false};
    bool m_registered = false;

    // Presence changes take turns by ticket, in the order they arrived.
    std::mutex m_turnMutex;
    std::condition_variable m_turnChanged;
    std::uint64_t m_nextTicket = 0;
    std::uint64_t m_servingTicket = 0;

    // Recording-icon threads run one at a time.
    std::mutex m_iconMutex;

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex m_workersMutex;
    std::list<Worker> m_workers;
};

} // namespace kestrune
