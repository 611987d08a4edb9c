// Any bytes as the events the device library hands the program's callback:
// consumer reports (the bank key, lighting changed on the keyboard, on-board
// recording), command replies with no command waiting, presence changes and
// events of other kinds and tags, with records that lack their data. Nothing
// is read beyond what a record carries, only a consumer report of the bank
// key flips the bank, and the bank status written to the keyboard and shown
// by the window always follows it.
//
// Input: events of 4 header bytes {kind, tag choice, length, flags} followed
// by 'length' bytes of report data (fewer when the input ends). Flags: bit 0
// drops the transfer record, bit 1 its byte pointer, bit 2 the data pointer.

#include "device/DeviceEvents.h"
#include "session/KeyboardSession.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace {

using namespace kestrune;

void Require(bool condition, const char* what)
{
    if (condition) return;
    std::fprintf(stderr, "device events fuzzer: %s\n", what);
    std::abort();
}

std::mutex g_statusMutex;
std::array<std::uint8_t, wire::kBankStatusSize> g_lastStatus{};
std::size_t g_statusWrites = 0;

int One(int)
{
    return 1;
}
int None()
{
    return 1;
}
int NoKeyboard(const HidRelaySelector*, HidRelayCallback, std::uint32_t, std::uint32_t, HidRelayHandle*)
{
    return 0;
}
int Delete(HidRelayHandle)
{
    return 1;
}
int Refuse(const HidRelaySelector*, HidRelayCallback, std::uint32_t, const std::uint8_t*, std::uint32_t, std::uint32_t,
           HidRelayHandle*)
{
    return 0;
}
int RefuseGet(const HidRelaySelector*, HidRelayCallback, std::uint32_t, std::uint8_t*, std::uint32_t, std::uint32_t,
              HidRelayHandle*)
{
    return 0;
}
int Read(const HidRelaySelector*, HidRelayCallback, std::uint32_t, std::uint32_t unitId, HidRelayHandle* handle)
{
    if (handle != nullptr) *handle = unitId;
    return 1;
}
int StatusWrite(const HidRelaySelector*, HidRelayCallback, std::uint32_t, const std::uint8_t* data,
                std::uint32_t length, std::uint32_t unitId, HidRelayHandle* handle)
{
    Require(data != nullptr && length == wire::kBankStatusSize, "a bank status of the wrong size");
    std::lock_guard lock(g_statusMutex);
    std::copy_n(data, wire::kBankStatusSize, g_lastStatus.begin());
    ++g_statusWrites;
    if (handle != nullptr) *handle = unitId;
    return 1;
}

class CountingListener : public QuietDeviceEventListener {
public:
    void BankChanged(bool bankB) override
    {
        ++bankChanges;
        shownB = bankB;
    }
    void LightingChangedOnKeyboard() override { ++lightingTimers; }

    std::atomic<std::size_t> bankChanges{0};
    std::atomic<bool> shownB{false};
    std::atomic<std::size_t> lightingTimers{0};
};

class QuietReporter : public Reporter {
public:
    void Inform(const UserMessage&) override {}
    bool Ask(const UserMessage&) override { return false; }
};

struct Fixture {
    CountingListener sink;
    QuietReporter reporter;
    std::unique_ptr<KeyboardSession> session;

    Fixture()
    {
        DeviceFunctions f;
        f.Debug = &One;
        f.Init = &One;
        f.End = &None;
        f.RequestGetDeviceCount = &NoKeyboard;
        f.DeleteRequestFromUnitId = &Delete;
        f.DeleteRequestFromHandle = &Delete;
        f.RequestWrite = &Refuse;
        f.RequestWriteOne = &Refuse;
        f.RequestStatusWrite = &StatusWrite;
        f.RequestStatusGet = &RefuseGet;
        f.RequestAsyncRead = &Read;
        f.RequestStatusSetFeature = &Refuse;
        auto library = DeviceLibrary::FromFunctions(f, "device events fuzzer");
        Require(library.ok(), "the fuzzer's library did not bind");
        KeyboardSessionOptions options;
        options.library = std::move(*library);
        options.listener = &sink;
        options.timing.replyWait = std::chrono::milliseconds(1);
        options.timing.pause = [](std::chrono::milliseconds) {};
        auto created = KeyboardSession::Create(std::move(options), reporter);
        Require(created.ok(), "the session could not be made");
        session = std::move(*created);
        Require(session->Start().ok(), "the session did not start");
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Fixture fixture;
    DeviceEvents& events = fixture.session->Events();
    std::span<const std::uint8_t> input(data, size);

    bool expectB = events.BankB();
    std::size_t expectChanges = fixture.sink.bankChanges;
    std::size_t expectTimers = fixture.sink.lightingTimers;
    static constexpr std::uint32_t kTags[] = {wire::kTagCons, wire::kTagCtrl, wire::kTagLed, 0};

    for (int n = 0; n < 32 && input.size() >= 4; ++n) {
        const std::uint8_t kindByte = input[0];
        const std::uint32_t tag = kTags[input[1] % std::size(kTags)];
        const std::size_t length = std::min<std::size_t>(input[2], input.size() - 4);
        const std::uint8_t flags = input[3];
        // A copy of exactly 'length' bytes, so a read past the report is caught.
        const std::vector<std::uint8_t> bytes(input.begin() + 4,
                                              input.begin() + 4 + static_cast<std::ptrdiff_t>(length));
        input = input.subspan(4 + length);

        HidRelayTransfer transfer{};
        transfer.length = static_cast<std::uint32_t>(bytes.size());
        transfer.bytes = (flags & 2) != 0 ? nullptr : bytes.data();
        HidRelayEventData record{};
        record.tag = tag;
        record.value = kindByte % 4 == 0 ? (flags >> 4) : static_cast<std::uint32_t>(bytes.size());
        record.data = (flags & 4) != 0 ? nullptr : bytes.data();
        record.transfer = (flags & 1) != 0 ? nullptr : &transfer;
        HidRelayEvent event{};
        event.kind = kindByte % 4 == 0 ? HIDRELAY_EVENT_PRESENCE : (kindByte % 4 == 3 ? 7u : HIDRELAY_EVENT_REPORT);
        event.data = (kindByte & 0x80) != 0 ? nullptr : &record;

        const bool consumer = event.data != nullptr && event.kind == HIDRELAY_EVENT_REPORT && tag == wire::kTagCons &&
                              record.transfer != nullptr && transfer.bytes != nullptr && bytes.size() >= 2;
        const std::uint16_t word = consumer ? static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8) : 0;
        if (consumer && word == wire::kConsBankKey) {
            expectB = !expectB;
            ++expectChanges;
        }
        if (consumer && word == wire::kConsLightingChanged) ++expectTimers;

        Require(DeviceEvents::OnDeviceReport(&event) == 1, "the callback did not give 1");
        Require(events.BankB() == expectB, "the bank changed without the bank key, or not with it");
        Require(fixture.sink.bankChanges == expectChanges, "the listener was not told of exactly each bank change");
        Require(fixture.sink.lightingTimers == expectTimers, "a lighting refresh without its report, or none with it");
        if (expectChanges > 0) Require(fixture.sink.shownB == expectB, "the listener heard of another bank");
    }
    Require(DeviceEvents::OnDeviceReport(nullptr) == 1, "the callback did not give 1 for no event");

    std::lock_guard lock(g_statusMutex);
    if (g_statusWrites > 0)
        Require(g_lastStatus == events.Bank().bytes,
                "the keyboard was told another bank status than the program holds");
    return 0;
}
