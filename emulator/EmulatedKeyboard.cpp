#include "emulator/EmulatedKeyboard.h"

#include "common/LittleEndian.h"

#include <algorithm>
#include <stdexcept>

namespace kestrune::emulator {

namespace {

using wire::Command;

constexpr std::uint8_t kBootModeByte = static_cast<std::uint8_t>(Command::EnterBootMode);
constexpr std::size_t kOffBootConfirm = wire::kOffLength; // the boot request repeats 0xEE here

// Where a command's address points: a byte range of one region, or a refusal.
struct Target {
    std::uint8_t status = wire::kStatusOk;
    std::span<std::uint8_t> bytes; // the addressed bytes, length as asked
};

// Address rules shared by every region: an address past the end is 0xFF, a
// length the reply cannot carry or that runs past the end is 0xFE.
Target Locate(std::span<std::uint8_t> region, std::size_t address, std::size_t length)
{
    if (address >= region.size()) return {wire::kStatusErrorFF, {}};
    if (length > wire::kMaxPayload || address + length > region.size()) return {wire::kStatusErrorFE, {}};
    return {wire::kStatusOk, region.subspan(address, length)};
}

Target LocateKeyTable(KeyboardState& state, std::size_t address, std::size_t length)
{
    const std::size_t profile = address / wire::kKeyTableProfileStride;
    const std::size_t offset = address % wire::kKeyTableProfileStride;
    if (profile >= state.keyTables.size()) return {wire::kStatusErrorFF, {}};
    return Locate(state.keyTables[profile], offset, length);
}

bool IsWrite(Command command)
{
    switch (command) {
    case Command::WriteSettings:
    case Command::WriteMemory:
    case Command::WriteKeyTable:
    case Command::WriteMacroArea:
    case Command::WriteColours:
        return true;
    default:
        return false;
    }
}

} // namespace

std::uint16_t CommandChecksum(std::span<const std::uint8_t, wire::kReportSize> report)
{
    unsigned sum = 0;
    for (std::size_t i = wire::kChecksumFirstByte; i < wire::kReportSize; ++i) sum += report[i];
    return static_cast<std::uint16_t>(sum);
}

Report MakeCommandReport(Command command, std::uint8_t length, std::uint16_t address,
                         std::span<const std::uint8_t> payload)
{
    Report report{};
    report[wire::kOffReportId] = wire::kReportId;
    report[wire::kOffCommand] = static_cast<std::uint8_t>(command);
    report[wire::kOffLength] = length;
    WriteLe16(report, wire::kOffAddress, address);
    const std::size_t n = std::min(payload.size(), wire::kMaxPayload);
    std::copy_n(payload.begin(), n, report.begin() + wire::kOffPayload);
    WriteLe16(report, wire::kOffChecksum, CommandChecksum(report));
    return report;
}

EmulatedKeyboard::EmulatedKeyboard(KeyboardState state) : m_state(std::move(state))
{
    if (auto check = CheckKeyboardState(m_state); !check)
        throw std::invalid_argument("the keyboard cannot run on this state: " + check.error());
}

void EmulatedKeyboard::SetListener(KeyboardListener* listener)
{
    std::lock_guard lock(m_mutex);
    m_listener = listener;
}

std::vector<Reply> EmulatedKeyboard::HandleOutputReport(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty() || bytes.size() > wire::kReportSize) return {};
    Report request{};
    std::copy(bytes.begin(), bytes.end(), request.begin());
    if (request[wire::kOffReportId] != wire::kReportId) return {};

    std::vector<Reply> replies;
    Pending pending;
    {
        std::lock_guard lock(m_mutex);
        if (!m_state.attached || m_bootMode) return {};
        m_received.push_back(request);
        if (m_received.size() > kReportLogSize) m_received.pop_front();

        if (request[wire::kOffCommand] == kBootModeByte && request[kOffBootConfirm] == kBootModeByte) {
            SetPresenceLocked(m_state.attached, true, pending);
        } else {
            bool changed = false;
            Reply reply;
            const bool held = m_faults.heldReports > 0;
            if (held) --m_faults.heldReports;
            const bool replyFaultPending = m_faults.dropReplies > 0 || m_faults.wrongCodeReplies > 0 ||
                                           m_faults.shortReplies > 0 || m_faults.corruptReplies > 0;
            if (!held && m_faults.errorReplies > 0 && !replyFaultPending) {
                --m_faults.errorReplies;
                static_cast<Report&>(reply) =
                    MakeCommandReport(static_cast<Command>(request[wire::kOffCommand]), request[wire::kOffLength],
                                      ReadLe16(request, wire::kOffAddress));
                reply[wire::kOffStatus] = m_faults.errorStatus;
                WriteLe16(reply, wire::kOffChecksum, CommandChecksum(reply));
            } else {
                static_cast<Report&>(reply) = Execute(request, changed);
            }
            pending.stateChanged = changed;
            if (!held && m_faults.dropReplies > 0) {
                --m_faults.dropReplies;
            } else {
                if (!held && m_faults.wrongCodeReplies > 0) {
                    --m_faults.wrongCodeReplies;
                    reply[wire::kOffCommand] = static_cast<std::uint8_t>(reply[wire::kOffCommand] ^ 0x80);
                    WriteLe16(reply, wire::kOffChecksum, CommandChecksum(reply));
                } else if (!held && m_faults.shortReplies > 0) {
                    --m_faults.shortReplies;
                    reply.length = kShortReplyLength;
                } else if (!held && m_faults.corruptReplies > 0) {
                    --m_faults.corruptReplies;
                    // As a bit flipped on the way would: the checksum no longer matches.
                    reply[wire::kOffPayload] = static_cast<std::uint8_t>(reply[wire::kOffPayload] ^ 0x01);
                }
                replies.push_back(reply);
            }
        }

        if (m_faults.unplugAfterReports) {
            if (*m_faults.unplugAfterReports <= 1) {
                m_faults.unplugAfterReports.reset();
                SetPresenceLocked(false, m_bootMode, pending);
            } else {
                --*m_faults.unplugAfterReports;
            }
        }
    }
    Dispatch(pending);
    return replies;
}

Report EmulatedKeyboard::Execute(const Report& request, bool& changed)
{
    const auto command = static_cast<Command>(request[wire::kOffCommand]);
    const std::size_t length = request[wire::kOffLength];
    const std::size_t address = ReadLe16(request, wire::kOffAddress);
    const std::span<const std::uint8_t> payload(request.begin() + wire::kOffPayload, wire::kMaxPayload);

    Report reply{};
    reply[wire::kOffReportId] = wire::kReportId;
    reply[wire::kOffCommand] = request[wire::kOffCommand];
    reply[wire::kOffLength] = request[wire::kOffLength];
    reply[wire::kOffAddress] = request[wire::kOffAddress];
    reply[wire::kOffAddress + 1] = request[wire::kOffAddress + 1];

    const auto finish = [&reply](std::uint8_t status) {
        reply[wire::kOffStatus] = status;
        WriteLe16(reply, wire::kOffChecksum, CommandChecksum(reply));
        return reply;
    };

    if (ReadLe16(request, wire::kOffChecksum) != CommandChecksum(request)) return finish(wire::kStatusErrorFF);

    Target target;
    switch (command) {
    case Command::BeginUpdate:
    case Command::EndUpdate:
        return finish(wire::kStatusOk);
    case Command::ReadSettings:
    case Command::WriteSettings:
        target = Locate(m_state.settings, address, length);
        break;
    case Command::ReadMemory:
    case Command::WriteMemory:
        target = Locate(m_state.lighting, address, length);
        break;
    case Command::ReadKeyTable:
    case Command::WriteKeyTable:
        target = LocateKeyTable(m_state, address, length);
        break;
    case Command::ReadMacroArea:
    case Command::WriteMacroArea:
        target = Locate(m_state.macroArea, address, length);
        break;
    case Command::ReadDefaultKeyTable:
        target = Locate(m_state.defaultKeyTable, address, length);
        break;
    case Command::ReadColours:
    case Command::WriteColours:
        target = Locate(m_state.keyColours, address, length);
        break;
    default:
        return finish(wire::kStatusErrorFF);
    }
    if (target.status != wire::kStatusOk) return finish(target.status);

    if (!IsWrite(command)) {
        std::copy(target.bytes.begin(), target.bytes.end(), reply.begin() + wire::kOffPayload);
        return finish(wire::kStatusOk);
    }

    if (command == Command::WriteSettings) {
        auto settings = m_state.settings;
        std::copy_n(payload.begin(), length, settings.begin() + address);
        settings[wire::kSettingsMacroCapacity] = m_state.settings[wire::kSettingsMacroCapacity];
        if (settings[wire::kSettingsActiveProfile] >= wire::kProfileCount) return finish(wire::kStatusErrorFE);
        changed = settings != m_state.settings;
        m_state.settings = settings;
        return finish(wire::kStatusOk);
    }
    changed = !std::equal(target.bytes.begin(), target.bytes.end(), payload.begin());
    std::copy_n(payload.begin(), length, target.bytes.begin());
    return finish(wire::kStatusOk);
}

bool EmulatedKeyboard::WriteBankStatus(std::span<const std::uint8_t> status)
{
    return ChangeThenDispatch([&](Pending& pending) {
        if (!m_state.attached || m_bootMode || status.size() != wire::kBankStatusSize) return false;
        std::array<std::uint8_t, wire::kBankStatusSize> bytes{};
        std::copy(status.begin(), status.end(), bytes.begin());
        m_bankWrites.push_back(bytes);
        pending.stateChanged = bytes != m_state.bankStatus;
        m_state.bankStatus = bytes;
        return true;
    });
}

std::vector<std::array<std::uint8_t, wire::kBankStatusSize>> EmulatedKeyboard::BankStatusWrites() const
{
    std::lock_guard lock(m_mutex);
    return m_bankWrites;
}

bool EmulatedKeyboard::Present() const
{
    std::lock_guard lock(m_mutex);
    return m_state.attached && !m_bootMode;
}

bool EmulatedKeyboard::InBootMode() const
{
    std::lock_guard lock(m_mutex);
    return m_bootMode;
}

void EmulatedKeyboard::SetPresenceLocked(bool attached, bool bootMode, Pending& pending)
{
    const bool wasPresent = m_state.attached && !m_bootMode;
    if (attached != m_state.attached) pending.stateChanged = true;
    m_state.attached = attached;
    m_bootMode = bootMode;
    const bool present = attached && !bootMode;
    if (present != wasPresent) pending.presence = present;
}

void EmulatedKeyboard::Plug()
{
    ChangeThenDispatch([&](Pending& pending) { SetPresenceLocked(true, false, pending); });
}

void EmulatedKeyboard::Unplug()
{
    // Pulling the cable also ends boot mode: the keyboard restarts normally when it comes back.
    ChangeThenDispatch([&](Pending& pending) { SetPresenceLocked(false, false, pending); });
}

void EmulatedKeyboard::LeaveBootMode()
{
    ChangeThenDispatch([&](Pending& pending) { SetPresenceLocked(m_state.attached, false, pending); });
}

bool EmulatedKeyboard::SendConsumerLocked(std::uint16_t word, Pending& pending)
{
    if (!m_state.attached || m_bootMode) return false;
    pending.consumer = word;
    return true;
}

bool EmulatedKeyboard::PressBankKey()
{
    return ChangeThenDispatch([&](Pending& pending) { return SendConsumerLocked(wire::kConsBankKey, pending); });
}

bool EmulatedKeyboard::ChangeLightingOnKeyboard()
{
    return ChangeThenDispatch([&](Pending& pending) {
        const bool sent = SendConsumerLocked(wire::kConsLightingChanged, pending);
        if (sent) {
            // The next offered effect after the selected one, wrapping round; empty slots are skipped.
            std::vector<std::uint8_t> offered;
            for (std::size_t slot = 0; slot < wire::kEffectListSlots; ++slot) {
                const std::uint8_t effect = m_state.settings[wire::kSettingsEffectList + slot];
                if (effect != 0) offered.push_back(effect);
            }
            if (!offered.empty()) {
                const auto it = std::find(offered.begin(), offered.end(), m_state.lighting[0]);
                const std::uint8_t next =
                    (it == offered.end() || it + 1 == offered.end()) ? offered.front() : *(it + 1);
                pending.stateChanged = next != m_state.lighting[0];
                m_state.lighting[0] = next;
            }
        }
        return sent;
    });
}

bool EmulatedKeyboard::StartOnboardRecording()
{
    return ChangeThenDispatch([&](Pending& pending) { return SendConsumerLocked(wire::kConsRecordStart, pending); });
}

bool EmulatedKeyboard::StopOnboardRecording()
{
    return ChangeThenDispatch([&](Pending& pending) { return SendConsumerLocked(wire::kConsRecordStop, pending); });
}

KeyboardState EmulatedKeyboard::State() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

Status EmulatedKeyboard::SetState(KeyboardState state)
{
    if (auto check = CheckKeyboardState(state); !check) return check;
    Pending pending;
    {
        std::lock_guard lock(m_mutex);
        const bool wasPresent = m_state.attached && !m_bootMode;
        pending.stateChanged = state != m_state;
        m_state = std::move(state);
        m_bootMode = false;
        const bool present = m_state.attached;
        if (present != wasPresent) pending.presence = present;
    }
    Dispatch(pending);
    return {};
}

FaultPlan EmulatedKeyboard::Faults() const
{
    std::lock_guard lock(m_mutex);
    return m_faults;
}

void EmulatedKeyboard::SetFaults(const FaultPlan& plan)
{
    std::lock_guard lock(m_mutex);
    m_faults = plan;
}

std::vector<Report> EmulatedKeyboard::ReceivedReports() const
{
    std::lock_guard lock(m_mutex);
    return {m_received.begin(), m_received.end()};
}

void EmulatedKeyboard::Dispatch(const Pending& pending)
{
    KeyboardListener* listener = nullptr;
    {
        std::lock_guard lock(m_mutex);
        listener = m_listener;
    }
    if (!listener) return;
    if (pending.stateChanged) listener->OnStateChanged();
    if (pending.consumer) {
        std::array<std::uint8_t, wire::kConsumerReportSize> report{};
        WriteLe16(report, 0, *pending.consumer);
        listener->OnConsumerReport(report);
    }
    if (pending.presence) listener->OnPresenceChanged(*pending.presence);
}

} // namespace kestrune::emulator
