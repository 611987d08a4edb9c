// Any bytes as the replies the keyboard sends to one command of the program:
// SendCommand matches each reply to its request (command, length, address),
// asks again for a lost, foreign or damaged one, and hands the caller data
// only from a reply that matched, passed its checksum and carried every byte
// asked for.
//
// Input: one byte choosing the command (and the length of a memory read),
// then up to three replies, one per attempt, each a length byte followed by
// that many bytes (at most 64). Bit 7 of the length byte asks for the
// checksum of a whole reply to be put right, so that matching replies are
// common. An attempt with no bytes left gets no reply at all.

#include "common/LittleEndian.h"
#include "device/CommandProtocol.h"
#include "device/DeviceLibrary.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace {

using namespace kestrune;

void Require(bool condition, const char* what)
{
    if (condition) return;
    std::fprintf(stderr, "reply matching fuzzer: %s\n", what);
    std::abort();
}

// Whether a reply names the request it answers: same command, length and address.
bool Answers(std::span<const std::uint8_t> reply, std::span<const std::uint8_t> request)
{
    return reply.size() >= wire::kOffPayload &&
           std::equal(request.begin() + wire::kOffCommand, request.begin() + wire::kOffStatus,
                      reply.begin() + wire::kOffCommand);
}

struct Replies {
    std::span<const std::uint8_t> input;
    CommandProtocol* protocol = nullptr;
    std::vector<std::vector<std::uint8_t>> delivered; // in attempt order
    bool anyDamaged = false;
    std::size_t needs = wire::kOffPayload;
    std::uint8_t command = 0;
    std::array<std::uint8_t, wire::kReportSize> request{}; // the last one written
};

Replies g_replies;

// The next reply of the input, as the library's read thread would deliver it.
int WriteOne(const HidRelaySelector*, HidRelayCallback, std::uint32_t, const std::uint8_t* data, std::uint32_t length,
             std::uint32_t, HidRelayHandle*)
{
    Require(data != nullptr && length == wire::kReportSize, "a request that is not one whole report");
    Replies& r = g_replies;
    std::copy_n(data, wire::kReportSize, r.request.begin());
    if (r.input.empty()) return 1; // lost
    const std::uint8_t head = r.input[0];
    r.input = r.input.subspan(1);
    const std::size_t want = std::min<std::size_t>(head & 0x7F, wire::kReportSize);
    const std::size_t n = std::min(want, r.input.size());
    std::vector<std::uint8_t> reply(r.input.begin(), r.input.begin() + static_cast<std::ptrdiff_t>(n));
    r.input = r.input.subspan(n);
    if ((head & 0x80) != 0 && reply.size() == wire::kReportSize) {
        const auto whole = std::span<std::uint8_t, wire::kReportSize>(reply.data(), wire::kReportSize);
        WriteLe16(whole, wire::kOffChecksum, ReportChecksum(whole));
    }
    if (Answers(reply, r.request) && ReplyDamaged(reply, r.needs)) r.anyDamaged = true;
    r.delivered.push_back(reply);
    r.protocol->Slot().Deliver(reply);
    return 1;
}

int One(int)
{
    return 1;
}
int None()
{
    return 1;
}
int Present(const HidRelaySelector*, HidRelayCallback, std::uint32_t, std::uint32_t, HidRelayHandle*)
{
    return 1;
}
int Delete(HidRelayHandle)
{
    return 1;
}
int Refuse(const HidRelaySelector*, HidRelayCallback, std::uint32_t, const std::uint8_t*, std::uint32_t,
           std::uint32_t, HidRelayHandle*)
{
    return 0;
}
int RefuseGet(const HidRelaySelector*, HidRelayCallback, std::uint32_t, std::uint8_t*, std::uint32_t, std::uint32_t,
              HidRelayHandle*)
{
    return 0;
}
int NoRead(const HidRelaySelector*, HidRelayCallback, std::uint32_t, std::uint32_t, HidRelayHandle*)
{
    return 0;
}

CommandProtocol& Protocol()
{
    static std::unique_ptr<CommandProtocol> protocol = [] {
        DeviceFunctions f;
        f.Debug = &One;
        f.Init = &One;
        f.End = &None;
        f.RequestGetDeviceCount = &Present;
        f.DeleteRequestFromUnitId = &Delete;
        f.DeleteRequestFromHandle = &Delete;
        f.RequestWrite = &Refuse;
        f.RequestWriteOne = &WriteOne;
        f.RequestStatusWrite = &Refuse;
        f.RequestStatusGet = &RefuseGet;
        f.RequestAsyncRead = &NoRead;
        f.RequestStatusSetFeature = &Refuse;
        auto library = DeviceLibrary::FromFunctions(f, "reply fuzzer");
        Require(library.ok(), "the fuzzer's library did not bind");
        ProtocolTiming timing;
        // Every reply is delivered before the wait begins; a lost one need not cost a second.
        timing.replyWait = std::chrono::milliseconds(0);
        timing.pause = [](std::chrono::milliseconds) {};
        return std::make_unique<CommandProtocol>(std::move(*library), timing);
    }();
    return *protocol;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    CommandProtocol& protocol = Protocol();
    const std::uint8_t choice = data[0];
    g_replies = Replies{std::span(data + 1, size - 1), &protocol, {}, false, wire::kOffPayload, 0, {}};

    std::array<std::uint8_t, wire::kMaxPayload> out{};
    out.fill(0xA5);
    std::size_t asked = 0;
    int result = 0;
    switch (choice % 3) {
    case 0:
        g_replies.command = static_cast<std::uint8_t>(wire::Command::BeginUpdate);
        result = protocol.BeginUpdate();
        break;
    case 1:
        asked = wire::kSettingsRecordSize;
        g_replies.command = static_cast<std::uint8_t>(wire::Command::ReadSettings);
        g_replies.needs = wire::kOffPayload + asked;
        result = protocol.ReadSettings(std::span(out).first<wire::kSettingsRecordSize>());
        break;
    default:
        asked = (choice >> 2) % (wire::kMaxPayload + 1);
        g_replies.command = static_cast<std::uint8_t>(wire::Command::ReadMemory);
        g_replies.needs = wire::kOffPayload + asked;
        result = protocol.ReadMemory(0, std::span(out).first(asked));
        break;
    }

    const auto& delivered = g_replies.delivered;
    Require(delivered.size() <= static_cast<std::size_t>(kSendAttempts), "more attempts than allowed");
    switch (result) {
    case kResultOk: {
        // The last reply is the one taken: matched, whole enough, sound, no error status.
        Require(!delivered.empty(), "success without a reply");
        const auto& taken = delivered.back();
        Require(taken.size() >= g_replies.needs, "success on a reply too short for its data");
        Require(taken[wire::kOffCommand] == g_replies.command, "success on a reply to another command");
        Require(Answers(taken, g_replies.request), "success on a reply to another length or address");
        Require(!ReplyDamaged(taken, g_replies.needs), "success on a reply that fails its checksum");
        Require(taken[wire::kOffStatus] != wire::kStatusErrorFF && taken[wire::kOffStatus] != wire::kStatusErrorFE,
                "success on a refusal");
        Require(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(asked),
                           taken.begin() + wire::kOffPayload),
                "data that is not the reply's");
        break;
    }
    case kResultBadReply:
        Require(g_replies.anyDamaged, "a damaged reply reported where none came");
        break;
    case kResultNoReply:
    case kResultStatusFF:
    case kResultStatusFE:
        break;
    default:
        Require(false, "a result the protocol does not give for a present keyboard");
    }
    if (result != kResultOk)
        Require(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0xA5; }),
                "a failed read wrote into the caller's buffer");
    return 0;
}
