#pragma once

// A model of the keyboard's side of the wire: its memory, its answers to the
// 64-byte command reports, its presence and the consumer reports its special
// keys send, with faults that can be injected on purpose. It has no threads
// and no clock: whoever embeds it (the HidRelay-ABI emulator library, a test's
// fake HID layer) feeds it output reports and delivers what comes back.
//
// Commands. A command report is 64 bytes: report id 4, u16 checksum of bytes
// 3 to 63, command, length, u16 address, status 0, payload. The reply repeats
// the command, length and address, carries status 0 on success and, for a
// read, the requested bytes from byte 8. Each command addresses one region:
//   3/4   settings record (28 bytes, address 0)
//   5/6   lighting block (56 bytes)
//   7/8   key tables: address 512 x profile + offset, offset below 480
//   9/10  macro area (capacity bytes, 128 x settings byte 11)
//   15    factory key table (480 bytes, read only)
//   16/17 key colour table (486 bytes)
// Status 0xFF: the address lies outside the region, the command is unknown or
// the checksum is wrong. Status 0xFE: the length exceeds 56 or runs past the
// region's end, or a settings write names a profile above 2. A failed
// command changes nothing. A settings write keeps byte 11: the capacity is
// the keyboard's own. Commands 1 and 2 (begin and end an update) answer
// status 0. A report whose id is not 4 is not a command and gets no reply.
// EnterBootMode (bytes 3 and 4 both 0xEE) gets no reply: the keyboard drops
// off the bus until LeaveBootMode or Plug.
//
// Presence. `attached` in the state is the cable; the keyboard is present
// when the cable is in and it is not in boot mode. An absent keyboard takes no
// reports and sends none.
//
// Threads. Every member function may be called from any thread; the model
// guards its state with one mutex. The listener is called on the thread
// whose call caused the event, after the model has released its mutex, so a
// listener may call back into the model. Events caused by calls made at the
// same time on different threads may reach the listener in either order.

#include "emulator/KeyboardState.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

namespace kestrune::emulator {

using Report = std::array<std::uint8_t, wire::kReportSize>;

// A reply as it reaches the host: the keyboard's 64 bytes, of which only the
// first 'length' arrive (fewer than all only when a fault cuts it short).
struct Reply : Report {
    std::size_t length = wire::kReportSize;
    std::span<const std::uint8_t> Arrived() const { return std::span<const std::uint8_t>(data(), length); }
};

// What a short reply keeps: its header, with no byte of the data it carries.
inline constexpr std::size_t kShortReplyLength = wire::kOffPayload;

class KeyboardListener {
public:
    virtual ~KeyboardListener() = default;
    // The keyboard appeared (true) or disappeared (false) on the bus.
    virtual void OnPresenceChanged(bool present) = 0;
    // An input report on the consumer interface (kConsumerReportSize bytes).
    virtual void OnConsumerReport(std::span<const std::uint8_t> report) = 0;
    // The persistent state changed; State() gives the new one.
    virtual void OnStateChanged() = 0;
};

// Faults are counted down by the reports that would get a reply; the first
// that applies wins, in the order of the fields (a refusal only when none of
// the reply faults is pending). The first heldReports of
// those are answered normally and count down nothing else, so a fault can be
// aimed past a program's own start-up exchanges. The latency is not applied
// by the model itself but by whoever delivers its reports.
struct FaultPlan {
    unsigned dropReplies = 0;      // the command runs, its reply is lost
    unsigned wrongCodeReplies = 0; // the command runs, its reply carries another command code
    unsigned shortReplies = 0;     // the command runs, its reply is cut to kShortReplyLength bytes
    unsigned corruptReplies = 0;   // the command runs, a data byte of its reply changes after its checksum was made
    unsigned errorReplies = 0;     // the command is refused with errorStatus
    std::uint8_t errorStatus = wire::kStatusErrorFF;
    unsigned heldReports = 0;                   // answered normally before the three faults above start
    std::optional<unsigned> unplugAfterReports; // the cable comes out after this many more command reports
    std::chrono::microseconds latency{1000};    // each way, per report; one USB full-speed frame

    friend bool operator==(const FaultPlan&, const FaultPlan&) = default;
};

class EmulatedKeyboard {
public:
    // Throws std::invalid_argument when the state breaks CheckKeyboardState.
    explicit EmulatedKeyboard(KeyboardState state = FactoryKeyboardState());
    EmulatedKeyboard(const EmulatedKeyboard&) = delete;
    EmulatedKeyboard& operator=(const EmulatedKeyboard&) = delete;

    // The listener must outlive the model or be reset to nullptr first.
    void SetListener(KeyboardListener* listener);

    // One output report of the command interface, report id first; shorter
    // reports are zero-padded, longer ones ignored. Gives the replies (none or
    // one) in the order the keyboard sends them.
    std::vector<Reply> HandleOutputReport(std::span<const std::uint8_t> report);

    // An output report of the bank-status interface (kBankStatusSize bytes).
    // False when absent or of another size.
    bool WriteBankStatus(std::span<const std::uint8_t> status);
    // Every bank status taken since construction, oldest first.
    std::vector<std::array<std::uint8_t, wire::kBankStatusSize>> BankStatusWrites() const;

    bool Present() const;
    bool InBootMode() const;
    void Plug();   // cable in; also ends boot mode
    void Unplug(); // cable out
    void LeaveBootMode();

    // The keys on the keyboard. Each sends its consumer report when present;
    // false when absent. The lighting key also steps the selected effect to
    // the next one the effect list offers, as the keyboard's own key does.
    bool PressBankKey();
    bool ChangeLightingOnKeyboard();
    bool StartOnboardRecording();
    bool StopOnboardRecording();

    KeyboardState State() const;
    // Replaces the whole state (a reset or a test's setup); fails, changing
    // nothing, when the state breaks CheckKeyboardState.
    Status SetState(KeyboardState state);

    FaultPlan Faults() const;
    void SetFaults(const FaultPlan& plan);

    // The last kReportLogSize output reports taken on the command interface.
    static constexpr std::size_t kReportLogSize = 4096;
    std::vector<Report> ReceivedReports() const;

private:
    struct Pending {
        std::optional<bool> presence;
        std::optional<std::uint16_t> consumer;
        bool stateChanged = false;
    };

    Report Execute(const Report& request, bool& changed);
    bool SendConsumerLocked(std::uint16_t word, Pending& pending);
    void SetPresenceLocked(bool attached, bool bootMode, Pending& pending);
    void Dispatch(const Pending& pending);
    // Runs 'change' on the state under the lock, then tells the listener what
    // it left pending, outside the lock; gives what 'change' gives.
    template <typename Change> auto ChangeThenDispatch(Change&& change)
    {
        Pending pending;
        if constexpr (std::is_void_v<std::invoke_result_t<Change&, Pending&>>) {
            {
                std::lock_guard lock(m_mutex);
                change(pending);
            }
            Dispatch(pending);
        } else {
            auto result = [&] {
                std::lock_guard lock(m_mutex);
                return change(pending);
            }();
            Dispatch(pending);
            return result;
        }
    }

    mutable std::mutex m_mutex;
    KeyboardState m_state;
    bool m_bootMode = false;
    FaultPlan m_faults;
    std::deque<Report> m_received;
    std::vector<std::array<std::uint8_t, wire::kBankStatusSize>> m_bankWrites;
    KeyboardListener* m_listener = nullptr;
};

// Checksum of a command report: bytes 3 to 63 summed into 16 bits.
std::uint16_t CommandChecksum(std::span<const std::uint8_t, wire::kReportSize> report);

// A finished command report (checksum filled in), the form the program sends.
Report MakeCommandReport(wire::Command command, std::uint8_t length, std::uint16_t address,
                         std::span<const std::uint8_t> payload = {});

} // namespace kestrune::emulator
