#include "device/CommandProtocol.h"

#include "common/LittleEndian.h"

#include <algorithm>
#include <limits>
#include <string>
#include <thread>

namespace kestrune {

using wire::Command;

HidRelaySelector MakeSelector(std::uint16_t usagePage, std::uint16_t usage)
{
    HidRelaySelector selector{};
    selector.flags = wire::kSelectorFlags;
    selector.vendor_id = wire::kVendorId;
    selector.product_id = wire::kProductId;
    selector.usage_page = usagePage;
    selector.usage = usage;
    selector.reserved = 0;
    return selector;
}

HidRelaySelector CommandSelector()
{
    return MakeSelector(wire::kCommandUsagePage, wire::kCommandUsage);
}

HidRelaySelector ConsumerSelector()
{
    return MakeSelector(wire::kConsumerUsagePage, wire::kConsumerUsage);
}

HidRelaySelector BankStatusSelector()
{
    return MakeSelector(wire::kBankStatusUsagePage, wire::kBankStatusUsage);
}

std::array<std::uint8_t, kSelectorSize> SelectorBytes(const HidRelaySelector& selector)
{
    std::array<std::uint8_t, kSelectorSize> bytes{};
    WriteLe32(bytes, 0, selector.flags);
    WriteLe16(bytes, 4, selector.vendor_id);
    WriteLe16(bytes, 6, selector.product_id);
    WriteLe16(bytes, 8, selector.usage_page);
    WriteLe16(bytes, 10, selector.usage);
    WriteLe32(bytes, 12, selector.reserved);
    return bytes;
}

const std::array<std::uint8_t, 256> UnitIdTable = {
    0xFD, 0x86, 0xD1, 0xCA, 0xDB, 0xD5, 0xCC, 0x5E, 0x02, 0x0E, 0xE0, 0xB6, 0xA9, 0xF7, 0x6D, 0xA8,
    0xE2, 0x77, 0x0D, 0x09, 0xFE, 0x3D, 0x9A, 0x0B, 0x28, 0x85, 0xDC, 0xC3, 0x52, 0x48, 0x00, 0x01,
    0xBE, 0x79, 0x51, 0xFF, 0xB7, 0x83, 0xA2, 0x14, 0x10, 0x20, 0x82, 0xED, 0xD9, 0x16, 0x43, 0x4F,
    0x1C, 0x90, 0xC6, 0xD8, 0xBF, 0x56, 0x0C, 0x5C, 0xAA, 0xD3, 0x95, 0x0A, 0x73, 0x21, 0x67, 0xEB,
    0xDD, 0xA4, 0x8E, 0x26, 0xB8, 0xF2, 0xE8, 0x25, 0x1F, 0x59, 0x66, 0x1D, 0x61, 0x1E, 0xBB, 0xE5,
    0x99, 0xC5, 0x8F, 0xBC, 0xA6, 0xEE, 0x33, 0xB0, 0x53, 0x89, 0xD0, 0x2E, 0xC7, 0x88, 0xCE, 0x45,
    0x4C, 0xB2, 0x23, 0x76, 0xB1, 0xF0, 0xF8, 0xCD, 0xFC, 0x06, 0x19, 0x29, 0x37, 0x98, 0x7E, 0x22,
    0xA7, 0xDA, 0x32, 0x60, 0x08, 0x8C, 0x24, 0x8A, 0x84, 0xC4, 0x4A, 0x12, 0x70, 0xB9, 0x49, 0x74,
    0x30, 0xE1, 0x2A, 0x4E, 0x2D, 0x4B, 0x7C, 0x5F, 0x71, 0xC8, 0x04, 0x41, 0x81, 0x63, 0x3F, 0xF3,
    0x6C, 0xF1, 0x8D, 0x9B, 0x6E, 0xAD, 0x6F, 0xB3, 0x38, 0x54, 0x2C, 0x87, 0x64, 0x7B, 0x0F, 0xC9,
    0xFA, 0xC0, 0xDF, 0xFB, 0xF4, 0xD7, 0x07, 0x92, 0x69, 0xC2, 0x7D, 0x1B, 0x80, 0x68, 0xB4, 0x15,
    0x47, 0x50, 0x57, 0x39, 0x3B, 0x2B, 0x5A, 0xD4, 0x13, 0x6B, 0xB5, 0x3E, 0x1A, 0xE3, 0x9D, 0xF9,
    0x17, 0x35, 0x46, 0x78, 0x75, 0xA5, 0x6A, 0x55, 0x9C, 0x4D, 0xEC, 0xA3, 0x36, 0x31, 0xE9, 0xF6,
    0x62, 0xEF, 0x40, 0xC1, 0xBD, 0x94, 0x3A, 0x96, 0x11, 0x97, 0x7F, 0x72, 0x9E, 0x7A, 0xBA, 0xE6,
    0xCF, 0xAF, 0x18, 0x44, 0xEA, 0x03, 0x9F, 0x2F, 0x93, 0xCB, 0x8B, 0xD6, 0xE4, 0x58, 0x5D, 0xA1,
    0x27, 0xE7, 0xAC, 0x91, 0xAB, 0x34, 0x3C, 0x05, 0xAE, 0x5B, 0x42, 0x65, 0xA0, 0xF5, 0xD2, 0xDE,
};

std::uint32_t UnitId(const HidRelaySelector& selector, std::uint32_t callbackField, std::uint32_t tag,
                     std::span<const std::uint8_t> payload)
{
    std::uint32_t sum = 0;
    auto add = [&sum](std::span<const std::uint8_t> bytes) {
        for (std::uint8_t b : bytes) sum += UnitIdTable[b];
    };
    std::array<std::uint8_t, 8> fields{};
    WriteLe32(fields, 0, callbackField);
    WriteLe32(fields, 4, tag);
    add(SelectorBytes(selector));
    add(fields);
    add(payload);
    return sum;
}

std::uint32_t CallbackField(HidRelayCallback callback)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(callback) & 0xFFFFFFFFu);
}

CommandReport CommandReport::Make(wire::Command command, std::uint8_t length, std::uint16_t address)
{
    CommandReport report;
    report.bytes[wire::kOffReportId] = wire::kReportId;
    report.bytes[wire::kOffCommand] = static_cast<std::uint8_t>(command);
    report.bytes[wire::kOffLength] = length;
    WriteLe16(report.bytes, wire::kOffAddress, address);
    return report;
}

std::uint16_t CommandReport::Address() const
{
    return ReadLe16(bytes, wire::kOffAddress);
}

void CommandReport::SetChecksum()
{
    WriteLe16(bytes, wire::kOffChecksum, ReportChecksum(bytes));
}

std::uint16_t ReportChecksum(std::span<const std::uint8_t, wire::kReportSize> report)
{
    unsigned sum = 0;
    for (std::size_t i = wire::kChecksumFirstByte; i < wire::kReportSize; ++i) sum += report[i];
    static_assert((wire::kReportSize - wire::kChecksumFirstByte) * 0xFF <= 0xFFFF);
    return static_cast<std::uint16_t>(sum);
}

Result<std::vector<Chunk>> ChunkPlan(std::size_t total, std::size_t base)
{
    std::vector<Chunk> chunks;
    for (std::size_t offset = 0; offset < total; offset += wire::kMaxPayload) {
        const std::size_t address = base + offset;
        if (address > std::numeric_limits<std::uint16_t>::max())
            return Error{"a transfer of " + std::to_string(total) + " bytes from address " + std::to_string(base) +
                         " reaches address " + std::to_string(address) + ", past the 16-bit limit 65535"};
        const std::size_t length = std::min(wire::kMaxPayload, total - offset);
        chunks.push_back({offset, static_cast<std::uint8_t>(length), static_cast<std::uint16_t>(address)});
    }
    return chunks;
}

// ---------------------------------------------------------------- ReplySlot

void ReplySlot::Arm(std::span<std::uint8_t> buffer)
{
    std::lock_guard lock(m_mutex);
    ArmLocked(buffer);
}

void ReplySlot::Arm(std::span<std::uint8_t> buffer, std::span<const std::uint8_t, wire::kReportSize> request)
{
    std::lock_guard lock(m_mutex);
    ArmLocked(buffer);
    m_expected.emplace();
    std::copy_n(request.begin() + wire::kOffCommand, m_expected->size(), m_expected->begin());
}

void ReplySlot::ArmLocked(std::span<std::uint8_t> buffer)
{
    m_buffer = buffer;
    m_length = 0;
    m_signalled = false;
    m_busy = true;
    m_expected.reset();
}

bool ReplySlot::Deliver(std::span<const std::uint8_t> report)
{
    {
        std::lock_guard lock(m_mutex);
        const bool answers = !m_expected || (report.size() >= wire::kOffPayload &&
                                             std::equal(m_expected->begin(), m_expected->end(),
                                                        report.begin() + wire::kOffCommand));
        // A reply once signalled stays: a second one for the same request
        // (a retry's, come late) may not overwrite it while the sender reads.
        if (!m_busy || m_closed || !answers || m_signalled) {
            ++m_strays;
            return false;
        }
        m_length = std::min(report.size(), m_buffer.size());
        std::copy_n(report.begin(), m_length, m_buffer.begin());
        m_signalled = true;
    }
    m_event.notify_all();
    return true;
}

ReplySlot::WaitResult ReplySlot::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    const bool woken = m_event.wait_for(lock, timeout, [this] { return m_signalled || m_closed; });
    WaitResult result = WaitResult::TimedOut;
    if (m_closed)
        result = WaitResult::Failed;
    else if (woken)
        result = WaitResult::Signalled;
    m_signalled = false;
    m_busy = false;
    m_buffer = {};
    return result;
}

void ReplySlot::Clear()
{
    std::lock_guard lock(m_mutex);
    m_busy = false;
    m_buffer = {};
}

std::size_t ReplySlot::StrayReplies() const
{
    std::lock_guard lock(m_mutex);
    return m_strays;
}

bool ReplySlot::Busy() const
{
    std::lock_guard lock(m_mutex);
    return m_busy;
}

std::size_t ReplySlot::ReplyLength() const
{
    std::lock_guard lock(m_mutex);
    return m_length;
}

void ReplySlot::Close()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_event.notify_all();
}

// ---------------------------------------------------------- CommandProtocol

CommandProtocol::CommandProtocol(std::unique_ptr<DeviceLibrary> library, ProtocolTiming timing)
    : m_library(std::move(library)), m_timing(std::move(timing))
{
}

CommandProtocol::~CommandProtocol()
{
    m_slot.Close();
}

void CommandProtocol::Pause(std::chrono::milliseconds duration)
{
    if (m_timing.pause)
        m_timing.pause(duration);
    else
        std::this_thread::sleep_for(duration);
}

bool CommandProtocol::DevicePresent()
{
    const HidRelaySelector selector = CommandSelector();
    return m_library->GetDeviceCount(selector, UnitId(selector, 0, 0, {})) > 0;
}

int CommandProtocol::SendCommand(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                                 std::size_t& replyLength, std::size_t replyNeeds)
{
    std::lock_guard exchange(m_exchangeLock);
    replyLength = 0;
    replyNeeds = std::max(replyNeeds, wire::kOffPayload);
    if (request.size() > wire::kReportSize || reply.size() < replyNeeds || replyNeeds > wire::kReportSize)
        return kResultNotSent;
    if (!DevicePresent()) return kResultAbsent;

    CommandReport report;
    std::copy(request.begin(), request.end(), report.bytes.begin());
    const HidRelaySelector selector = CommandSelector();
    const std::uint32_t unitId = UnitId(selector, 0, 0, report.bytes);

    int attempts = 0;
    bool damaged = false; // some attempt was answered, but with a damaged reply
    for (;;) {
        if (m_slot.Busy()) {
            // Someone else's exchange is in flight: give it time to finish.
            Pause(m_timing.giveWayPause);
            m_slot.Clear();
        }
        m_slot.Arm(reply, report.bytes);
        if (m_library->WriteOne(selector, report.bytes, unitId) <= 0) {
            m_slot.Clear();
            return kResultNotSent;
        }
        const ReplySlot::WaitResult waited = m_slot.Wait(m_timing.replyWait);
        if (waited == ReplySlot::WaitResult::Failed) return kResultAbsent;

        // The slot signals only a reply that answers this request.
        bool lost = waited == ReplySlot::WaitResult::TimedOut;
        const std::size_t length = m_slot.ReplyLength();
        if (!lost && ReplyDamaged(reply.first(length), replyNeeds)) {
            damaged = true;
            lost = true;
        }
        if (lost) {
            if (++attempts >= kSendAttempts) return damaged ? kResultBadReply : kResultNoReply;
            Pause(m_timing.retryPause);
            continue;
        }
        const std::uint8_t status = reply[wire::kOffStatus];
        if (status == wire::kStatusErrorFF || status == wire::kStatusErrorFE) {
            if (++attempts < kSendAttempts) {
                Pause(m_timing.retryPause);
                continue;
            }
        }
        replyLength = length;
        return kResultOk;
    }
}

int CommandProtocol::SendCommandNoReply(std::span<const std::uint8_t> request)
{
    std::lock_guard exchange(m_exchangeLock);
    if (request.size() > wire::kReportSize) return kResultNotSent;
    std::array<std::uint8_t, wire::kReportSize> report{};
    std::copy(request.begin(), request.end(), report.begin());
    const HidRelaySelector selector = CommandSelector();
    return m_library->WriteOne(selector, report, UnitId(selector, 0, 0, report));
}

bool ReplyDamaged(std::span<const std::uint8_t> reply, std::size_t replyNeeds)
{
    if (reply.size() < replyNeeds) return true;
    // Only a whole report can be checked: the sum runs to its last byte.
    if (reply.size() < wire::kReportSize) return false;
    const auto whole = reply.first<wire::kReportSize>();
    return ReadLe16(whole, wire::kOffChecksum) != ReportChecksum(whole);
}

namespace {

int MapStatus(std::uint8_t status)
{
    if (status == wire::kStatusErrorFF) return kResultStatusFF;
    if (status == wire::kStatusErrorFE) return kResultStatusFE;
    return kResultOk;
}

bool ValidProfile(int profile)
{
    return profile >= 0 && profile < wire::kProfileCount;
}

}  // namespace

// Sends a finished request (checksum set here) and copies payloadOut.size()
// bytes of the reply's payload out on success.
int CommandProtocol::Exchange(CommandReport& request, std::span<std::uint8_t> payloadOut)
{
    request.SetChecksum();
    std::array<std::uint8_t, wire::kReportSize> reply{};
    std::size_t length = 0;
    const int sent = SendCommand(request.bytes, reply, length, wire::kOffPayload + payloadOut.size());
    if (sent != kResultOk) return sent;
    const int mapped = MapStatus(reply[wire::kOffStatus]);
    if (mapped != kResultOk) return mapped;
    std::copy_n(reply.begin() + wire::kOffPayload, payloadOut.size(), payloadOut.begin());
    return kResultOk;
}

int CommandProtocol::ReadSmall(wire::Command command, std::size_t address, std::span<std::uint8_t> out)
{
    if (out.size() > wire::kMaxPayload || address > std::numeric_limits<std::uint16_t>::max()) return kResultNotSent;
    CommandReport request =
        CommandReport::Make(command, static_cast<std::uint8_t>(out.size()), static_cast<std::uint16_t>(address));
    return Exchange(request, out);
}

int CommandProtocol::WriteSmall(wire::Command command, std::size_t address, std::span<const std::uint8_t> data)
{
    if (data.size() > wire::kMaxPayload || address > std::numeric_limits<std::uint16_t>::max()) return kResultNotSent;
    CommandReport request =
        CommandReport::Make(command, static_cast<std::uint8_t>(data.size()), static_cast<std::uint16_t>(address));
    std::copy(data.begin(), data.end(), request.Payload().begin());
    return Exchange(request, {});
}

int CommandProtocol::ReadChunked(wire::Command command, std::size_t base, std::span<std::uint8_t> out)
{
    auto plan = ChunkPlan(out.size(), base);
    if (!plan) return kResultNotSent;
    std::lock_guard exchange(m_exchangeLock);
    // Filled completely before the caller's buffer is touched, so a failed
    // read leaves what the caller had.
    std::vector<std::uint8_t> staged(out.size());
    for (const Chunk& chunk : *plan) {
        const int result = ReadSmall(command, chunk.address, std::span(staged).subspan(chunk.offset, chunk.length));
        if (result != kResultOk) return result;
    }
    std::copy(staged.begin(), staged.end(), out.begin());
    return kResultOk;
}

int CommandProtocol::WriteChunked(wire::Command command, std::size_t base, std::span<const std::uint8_t> data)
{
    auto plan = ChunkPlan(data.size(), base);
    if (!plan) return kResultNotSent;
    std::lock_guard exchange(m_exchangeLock);
    for (const Chunk& chunk : *plan) {
        const int result = WriteSmall(command, chunk.address, data.subspan(chunk.offset, chunk.length));
        if (result != kResultOk) return result;
    }
    return kResultOk;
}

int CommandProtocol::WriteChunks(wire::Command command, std::size_t base, std::span<const std::uint8_t> data,
                                 std::span<const Chunk> chunks)
{
    for (const Chunk& chunk : chunks)
        if (chunk.offset + chunk.length > data.size() || chunk.address != base + chunk.offset) return kResultNotSent;
    std::lock_guard exchange(m_exchangeLock);
    for (const Chunk& chunk : chunks) {
        const int result = WriteSmall(command, chunk.address, data.subspan(chunk.offset, chunk.length));
        if (result != kResultOk) return result;
    }
    return kResultOk;
}

int CommandProtocol::BeginUpdate()
{
    CommandReport request = CommandReport::Make(Command::BeginUpdate);
    return Exchange(request, {});
}

int CommandProtocol::EndUpdate()
{
    // The keyboard needs a moment after the last write before it commits.
    Pause(m_timing.endUpdatePause);
    CommandReport request = CommandReport::Make(Command::EndUpdate);
    return Exchange(request, {});
}

int CommandProtocol::ReadSettings(std::span<std::uint8_t, wire::kSettingsRecordSize> record)
{
    return ReadSmall(Command::ReadSettings, 0, record);
}

int CommandProtocol::WriteSettings(std::span<const std::uint8_t, wire::kSettingsRecordSize> record)
{
    return WriteSmall(Command::WriteSettings, 0, record);
}

int CommandProtocol::ReadMemory(std::uint16_t address, std::span<std::uint8_t> bytes)
{
    return ReadSmall(Command::ReadMemory, address, bytes);
}

int CommandProtocol::WriteMemory(std::uint16_t address, std::span<const std::uint8_t> bytes)
{
    return WriteSmall(Command::WriteMemory, address, bytes);
}

int CommandProtocol::ReadKeyTable(int profile, std::span<std::uint8_t, wire::kKeyTableSize> table)
{
    if (!ValidProfile(profile)) return kResultBadProfile;
    return ReadChunked(Command::ReadKeyTable, wire::kKeyTableProfileStride * static_cast<std::size_t>(profile), table);
}

int CommandProtocol::WriteKeyTable(int profile, std::span<const std::uint8_t, wire::kKeyTableSize> table)
{
    if (!ValidProfile(profile)) return kResultBadProfile;
    return WriteChunked(Command::WriteKeyTable, wire::kKeyTableProfileStride * static_cast<std::size_t>(profile),
                        table);
}

int CommandProtocol::ReadMacroArea(std::span<std::uint8_t> bytes)
{
    return ReadChunked(Command::ReadMacroArea, 0, bytes);
}

int CommandProtocol::ReadMacroArea(std::size_t offset, std::span<std::uint8_t> bytes)
{
    return ReadChunked(Command::ReadMacroArea, offset, bytes);
}

int CommandProtocol::WriteKeyTable(int profile, std::span<const std::uint8_t, wire::kKeyTableSize> table,
                                   std::span<const Chunk> chunks)
{
    if (!ValidProfile(profile)) return kResultBadProfile;
    return WriteChunks(Command::WriteKeyTable, wire::kKeyTableProfileStride * static_cast<std::size_t>(profile), table,
                       chunks);
}

int CommandProtocol::WriteMacroArea(std::span<const std::uint8_t> area, std::span<const Chunk> chunks)
{
    return WriteChunks(Command::WriteMacroArea, 0, area, chunks);
}

int CommandProtocol::WriteMacroArea(std::span<const std::uint8_t> area)
{
    return WriteChunked(Command::WriteMacroArea, 0, area);
}

int CommandProtocol::ReadDefaultKeyTable(std::span<std::uint8_t, wire::kKeyTableSize> table)
{
    return ReadChunked(Command::ReadDefaultKeyTable, 0, table);
}

int CommandProtocol::ReadColours(int keyNumber, std::span<std::uint8_t> bytes)
{
    if (keyNumber < 0) return kResultNotSent;
    return ReadSmall(Command::ReadColours, 3 * static_cast<std::size_t>(keyNumber), bytes);
}

int CommandProtocol::WriteColours(int keyNumber, std::span<const std::uint8_t> bytes)
{
    if (keyNumber < 0) return kResultNotSent;
    return WriteSmall(Command::WriteColours, 3 * static_cast<std::size_t>(keyNumber), bytes);
}

CommandReport BootModeReport()
{
    CommandReport report;
    report.bytes[wire::kOffReportId] = wire::kReportId;
    report.bytes[wire::kOffCommand] = static_cast<std::uint8_t>(Command::EnterBootMode);
    report.bytes[wire::kOffLength] = static_cast<std::uint8_t>(Command::EnterBootMode);
    return report;
}

int CommandProtocol::EnterBootMode()
{
    return SendCommandNoReply(BootModeReport().bytes) > 0 ? kResultOk : kResultNotSent;
}

}  // namespace kestrune
