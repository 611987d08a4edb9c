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
//   calls the listener's non-blocking operations and starts threads.
// - Every presence change is handled on a thread of its own. The threads take
//   turns in the order the changes arrived, so the last-value test compares
//   each change with the one before it and a quick unplug during an attach is
//   never lost. The attach thread sends commands (on the protocol's exchange
//   lock) and calls the listener's AttachReadsDone, which returns once handled.
// - Every thread started here is joined by Stop() (and the destructor). Stop()
//   first removes the standing reads and waits for a callback in progress, so
//   no callback reaches a destroyed object. A listener whose AttachReadsDone
//   waits for the thread that calls Stop() must return once shutdown has
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

// What the keyboard's side tells whoever runs the keyboard for the program
// (the keyboard controller, session/KeyboardController.h), in the keyboard's
// own terms.
class DeviceEventListener {
public:
    virtual ~DeviceEventListener() = default;

    // The keyboard present at start has begun to be read at its attach (the
    // attach that counts as the first). Must not block.
    virtual void FirstAttachBegins() {}
    // Sent by the attach thread once the attach has read the settings (and
    // the factory key table): read the configuration and the lighting. Returns
    // once done, or once Stopping() is true.
    virtual void AttachReadsDone() = 0;
    // The keyboard went away (the attach thread, after the detach's own work).
    // Must not block.
    virtual void Detached() = 0;
    // Whether the listener is ready for the presence to settle; the attach
    // thread waits for it before PresenceSettled. A listener that calls
    // DeviceEvents::ReadyChanged once it turns true lets the thread go on at
    // once; otherwise the thread looks again every kReadyPoll.
    virtual bool Ready() const = 0;
    // The presence change is complete: attached or not, and whether this
    // is the first attach, of a keyboard present at start. Must not block.
    virtual void PresenceSettled(bool attached, bool firstAttach) = 0;
    // The bank key switched the macro keys to bank B (or back to A), from the
    // library's thread. Must not block.
    virtual void BankChanged(bool bankB) = 0;
    // The user changed the lighting on the keyboard itself. Must not block.
    virtual void LightingChangedOnKeyboard() = 0;
    // The keyboard began or ended recording a macro of its own, from a
    // thread of the events (one at a time). Must not block.
    virtual void RecordingChanged(bool recording) = 0;
};

// A listener that reads nothing and is always ready, so the attach never
// waits for it (a command that reads what it needs itself, a test).
class QuietDeviceEventListener : public DeviceEventListener {
public:
    void AttachReadsDone() override {}
    void Detached() override {}
    bool Ready() const override { return true; }
    void PresenceSettled(bool, bool) override {}
    void BankChanged(bool) override {}
    void LightingChangedOnKeyboard() override {}
    void RecordingChanged(bool) override {}
};

// The two bank-status bytes; bit 0 of the second is the macro-key bank (0 = A, 1 = B).
struct BankStatus {
    std::array<std::uint8_t, wire::kBankStatusSize> bytes{};
};
static_assert(sizeof(BankStatus) == wire::kBankStatusSize);
inline constexpr BankStatus kInitialBankStatus = {{0x05, 0x02}};
inline constexpr std::uint8_t kBankBit = 0x01;

// How often the attach thread looks at a listener's Ready() when the
// listener does not say when it changes.
inline constexpr std::chrono::milliseconds kReadyPoll{50};

// What the attach reads before it tells the listener. The settings record is
// always read (it carries the macro capacity and the active profile); the
// factory key table only matters to a front end that encodes or decodes key
// tables, so a command that does neither may leave it out.
struct AttachReads {
    bool factoryTable = true;
};

class DeviceEvents {
public:
    DeviceEvents(CommandProtocol& protocol, Transfer& transfer, DeviceEventListener& listener, Reporter& reporter,
                 AttachReads reads = {});
    ~DeviceEvents();
    DeviceEvents(const DeviceEvents&) = delete;
    DeviceEvents& operator=(const DeviceEvents&) = delete;

    // The start-up order: bank status reset, the 'CONS' read, the reply slot
    // cleared, the 'CTRL' read, then the keyboards counted and an attach
    // thread started with the count (a count of 0 sets the first-attach flag:
    // a keyboard plugged in later is never the first attach). Fails when this
    // object cannot receive the callbacks or a read cannot be started.
    Status Start();
    // Removes the standing reads, waits for a callback in progress, closes
    // the reply slot (every command after this fails at once: the program is
    // closing) and joins every thread. Idempotent.
    void Stop();
    bool Stopping() const { return m_stopping.load(); }
    // Before Start: no attach counts as the first (the program was started
    // to stay in the tray).
    void SkipFirstAttach() { m_firstAttachDone = true; }
    // The listener's Ready() has turned true: an attach thread waiting for
    // it goes on now rather than at its next look.
    void ReadyChanged();

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
    bool WaitUntilReady();
    void TellRecording(bool recording);
    void StartThread(std::function<void()> work);
    void ReapThreads(bool all);
    Status StartRead(const HidRelaySelector& selector, std::uint32_t tag, HidRelayHandle& handle);

    CommandProtocol& m_protocol;
    Transfer& m_transfer;
    DeviceEventListener& m_listener;
    Reporter& m_reporter;
    const AttachReads m_reads;

    mutable std::mutex m_bankMutex;
    BankStatus m_bank = kInitialBankStatus;
    HidRelayHandle m_consHandle = 0;
    HidRelayHandle m_ctrlHandle = 0;
    HidRelayHandle m_ledHandle = 0; // guarded by m_bankMutex

    std::atomic<std::uint32_t> m_lastPresence{0};
    std::atomic<bool> m_firstAttachDone{false};
    std::atomic<bool> m_stopping{false};
    bool m_registered = false;

    // Presence changes take turns by ticket, in the order they arrived.
    std::mutex m_turnMutex;
    std::condition_variable m_turnChanged;
    std::uint64_t m_nextTicket = 0;
    std::uint64_t m_servingTicket = 0;

    // Recording news and the settling of a presence reach the listener one at a time.
    std::mutex m_tellMutex;

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex m_workersMutex;
    std::list<Worker> m_workers;
};

} // namespace kestrune
