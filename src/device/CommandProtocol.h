#pragma once

// The keyboard's command protocol: 64-byte request reports written to the
// vendor command interface, each answered by one reply report that arrives
// through the standing 'CTRL' read and is handed over by ReplySlot::Deliver.
//
// Threading rules:
// - Every CommandProtocol operation may be called from any thread except a
//   callback thread of the device library (the reply would then never be
//   read); the user interface never calls them on its own thread.
// - Exchanges never overlap: each SendCommand and each chunked transfer runs
//   under one recursive lock, so the attach thread and the user's commands
//   take turns. LockExchanges() lets a caller keep a longer sequence
//   (BeginUpdate ... EndUpdate) together.
// - ReplySlot::Deliver is the only call made from the library's read thread.
//   It never blocks for long and never takes the exchange lock.

#include "common/Result.h"
#include "device/DeviceLibrary.h"
#include "wire/Protocol.h"

#include "wire/HidRelay.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace kestrune {

// Result codes of the command operations.
inline constexpr int kResultOk = 1;
inline constexpr int kResultAbsent = 0;        // keyboard absent, or the wait failed
inline constexpr int kResultNotSent = -1;      // the library refused the report (or the request was malformed)
inline constexpr int kResultNoReply = -2;      // no matching reply after every attempt
inline constexpr int kResultBadReply = -3;     // replies came, but cut short or failing their checksum, at every attempt
inline constexpr int kResultStatusFF = -102;   // reply status 0xFF
inline constexpr int kResultStatusFE = -103;   // reply status 0xFE
inline constexpr int kResultBadProfile = -201; // profile number outside 0..2

inline constexpr int kSendAttempts = 3;

HidRelaySelector MakeSelector(std::uint16_t usagePage, std::uint16_t usage);
HidRelaySelector CommandSelector();
HidRelaySelector ConsumerSelector();
HidRelaySelector BankStatusSelector();

inline constexpr std::size_t kSelectorSize = 16;
static_assert(sizeof(HidRelaySelector) == kSelectorSize);
std::array<std::uint8_t, kSelectorSize> SelectorBytes(const HidRelaySelector& selector);

// The permutation of byte values that request identities are summed from.
extern const std::array<std::uint8_t, 256> UnitIdTable;

// Identity of a request: the table values of the selector's bytes, the 4-byte
// callback field, the 4-byte tag field (both little-endian) and the payload.
std::uint32_t UnitId(const HidRelaySelector& selector, std::uint32_t callbackField, std::uint32_t tag,
                     std::span<const std::uint8_t> payload);

// The callback field of a request: the low 32 bits of the callback's address.
std::uint32_t CallbackField(HidRelayCallback callback);

struct CommandReport {
    std::array<std::uint8_t, wire::kReportSize> bytes{};

    // A request with report id, command, length and address; payload zero.
    static CommandReport Make(wire::Command command, std::uint8_t length = 0, std::uint16_t address = 0);

    std::uint8_t Command() const { return bytes[wire::kOffCommand]; }
    std::uint8_t Length() const { return bytes[wire::kOffLength]; }
    std::uint16_t Address() const;
    std::uint8_t Status() const { return bytes[wire::kOffStatus]; }
    std::span<std::uint8_t, wire::kMaxPayload> Payload() { return std::span(bytes).subspan<wire::kOffPayload>(); }

    // Stores the sum of bytes 3..63 in bytes 1 and 2.
    void SetChecksum();
};
static_assert(sizeof(CommandReport) == wire::kReportSize);

// The request that switches the keyboard to its boot loader: report id, and
// the boot code in bytes 3 and 4; no checksum.
CommandReport BootModeReport();

// Sum of bytes 3..63 of a full report (61 bytes can never carry past 16 bits).
std::uint16_t ReportChecksum(std::span<const std::uint8_t, wire::kReportSize> report);

// Whether a reply that matches its request (command, length, address) cannot be
// trusted: shorter than the 'replyNeeds' bytes its command must carry, or a
// whole report whose checksum does not match.
bool ReplyDamaged(std::span<const std::uint8_t> reply, std::size_t replyNeeds);

// One report of a chunked transfer: bytes [offset, offset + length) of the
// data, sent to or read from 'address'.
struct Chunk {
    std::size_t offset = 0;
    std::uint8_t length = 0;
    std::uint16_t address = 0;
    bool operator==(const Chunk&) const = default;
};

// The reports of a transfer of 'total' bytes starting at address 'base': 56
// bytes each, the rest in the last. Fails when an address leaves 16 bits.
Result<std::vector<Chunk>> ChunkPlan(std::size_t total, std::size_t base);

// The one pending exchange shared by the sender and the library's read thread:
// reply buffer, capacity, reply length, an auto-reset event and a busy flag.
class ReplySlot {
public:
    enum class WaitResult { Signalled, TimedOut, Failed };

    // Takes the buffer for the next reply, resets the event, sets busy; any
    // report is taken as the reply.
    void Arm(std::span<std::uint8_t> buffer);
    // As above, but only a report that repeats the request's command, length
    // and address (bytes 3 to 6) is taken. A reply that comes after its own
    // request gave up waiting answers another request than the one now
    // waiting; taken, its data would land at the wrong address.
    void Arm(std::span<std::uint8_t> buffer, std::span<const std::uint8_t, wire::kReportSize> request);
    // Called by the read thread with a received 'CTRL' report: copied (up to
    // the capacity) and signalled only while busy and the report answers the
    // armed request; otherwise dropped, counted, and the wait goes on.
    // Returns whether it was taken.
    bool Deliver(std::span<const std::uint8_t> report);
    // Reports dropped so far: late, foreign or too short to name their request.
    std::size_t StrayReplies() const;
    // Waits for the event up to 'timeout'. Whatever the outcome, the slot is
    // no longer busy afterwards, so no late report can touch the buffer
    // while the sender reads it.
    WaitResult Wait(std::chrono::milliseconds timeout);
    void Clear();
    bool Busy() const;
    std::size_t ReplyLength() const;
    // Ends every current and later wait with Failed (the program is closing).
    void Close();

private:
    void ArmLocked(std::span<std::uint8_t> buffer);

    mutable std::mutex m_mutex;
    std::condition_variable m_event;
    bool m_signalled = false;
    bool m_busy = false;
    bool m_closed = false;
    std::span<std::uint8_t> m_buffer;
    std::size_t m_length = 0;
    std::optional<std::array<std::uint8_t, wire::kOffStatus - wire::kOffCommand>> m_expected;
    std::size_t m_strays = 0;
};

// The fixed waits of an exchange. The defaults are the keyboard's; a test
// may shorten them or observe the pauses through 'pause'.
struct ProtocolTiming {
    std::chrono::milliseconds replyWait{1000};
    std::chrono::milliseconds giveWayPause{1001};
    std::chrono::milliseconds retryPause{10};
    std::chrono::milliseconds endUpdatePause{10};
    std::function<void(std::chrono::milliseconds)> pause; // empty: sleep
};

class CommandProtocol {
public:
    explicit CommandProtocol(std::unique_ptr<DeviceLibrary> library, ProtocolTiming timing = {});
    ~CommandProtocol();
    CommandProtocol(const CommandProtocol&) = delete;
    CommandProtocol& operator=(const CommandProtocol&) = delete;

    DeviceLibrary& Library() { return *m_library; }
    ReplySlot& Slot() { return m_slot; }

    // Holds off every other exchange while the caller keeps the lock.
    std::unique_lock<std::recursive_mutex> LockExchanges() { return std::unique_lock(m_exchangeLock); }

    bool DevicePresent();

    // One exchange with up to three attempts. 'request' (at most 64 bytes) is
    // padded with zeros; the reply lands in 'reply' (at least the 8 header
    // bytes) and its length in 'replyLength'. Gives 1, 0, -1, -2 or -3; a
    // reply with an error status still gives 1 and the caller maps the status.
    // Only a reply that repeats the request's command, length and address
    // answers it; any other (one come late for an earlier request among
    // them) is dropped and the wait goes on. A reply is damaged, and asked
    // for again like a lost one, when it is shorter than 'replyNeeds' bytes
    // or a whole report whose checksum does not match its bytes: its data
    // would otherwise be taken as the keyboard's.
    int SendCommand(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply, std::size_t& replyLength,
                    std::size_t replyNeeds = wire::kOffPayload);

    // Writes a finished report (padded to 64 bytes) once, without waiting.
    // Gives the library's result.
    int SendCommandNoReply(std::span<const std::uint8_t> request);

    int BeginUpdate();
    int EndUpdate();
    int ReadSettings(std::span<std::uint8_t, wire::kSettingsRecordSize> record);
    int WriteSettings(std::span<const std::uint8_t, wire::kSettingsRecordSize> record);
    // At most 56 bytes each.
    int ReadMemory(std::uint16_t address, std::span<std::uint8_t> bytes);
    int WriteMemory(std::uint16_t address, std::span<const std::uint8_t> bytes);
    int ReadKeyTable(int profile, std::span<std::uint8_t, wire::kKeyTableSize> table);
    int WriteKeyTable(int profile, std::span<const std::uint8_t, wire::kKeyTableSize> table);
    // The first bytes.size() bytes of the macro area.
    int ReadMacroArea(std::span<std::uint8_t> bytes);
    // bytes.size() bytes of the macro area from 'offset' on.
    int ReadMacroArea(std::size_t offset, std::span<std::uint8_t> bytes);
    int WriteMacroArea(std::span<const std::uint8_t> area);
    // Only these reports of the whole write (chunks of its ChunkPlan), in
    // their order; none sends nothing and gives 1.
    int WriteKeyTable(int profile, std::span<const std::uint8_t, wire::kKeyTableSize> table,
                      std::span<const Chunk> chunks);
    int WriteMacroArea(std::span<const std::uint8_t> area, std::span<const Chunk> chunks);
    int ReadDefaultKeyTable(std::span<std::uint8_t, wire::kKeyTableSize> table);
    // Colours of the lights from 'keyNumber' on, 3 bytes each; at most 56 bytes.
    int ReadColours(int keyNumber, std::span<std::uint8_t> bytes);
    int WriteColours(int keyNumber, std::span<const std::uint8_t> bytes);
    // Switches the keyboard to its boot loader; no reply comes. 1 when sent.
    int EnterBootMode();

private:
    int Exchange(CommandReport& request, std::span<std::uint8_t> payloadOut);
    int ReadChunked(wire::Command command, std::size_t base, std::span<std::uint8_t> out);
    int WriteChunked(wire::Command command, std::size_t base, std::span<const std::uint8_t> data);
    int WriteChunks(wire::Command command, std::size_t base, std::span<const std::uint8_t> data,
                    std::span<const Chunk> chunks);
    int ReadSmall(wire::Command command, std::size_t address, std::span<std::uint8_t> out);
    int WriteSmall(wire::Command command, std::size_t address, std::span<const std::uint8_t> data);
    void Pause(std::chrono::milliseconds duration);

    // Declared before the library: the library's threads deliver into the
    // slot, so the library must end first.
    ReplySlot m_slot;
    std::unique_ptr<DeviceLibrary> m_library;
    ProtocolTiming m_timing;
    std::recursive_mutex m_exchangeLock;
};

} // namespace kestrune
