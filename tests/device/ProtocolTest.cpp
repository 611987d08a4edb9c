// The command protocol end to end: the emulator's device library bound the
// way the program binds it, its keyboard driven and its faults set through
// the emulator's control socket. A tap on the one-report write records what
// went on the wire.

#include "device/CommandProtocol.h"
#include "emulator/ControlSocket.h"
#include "emulator/KeyboardState.h"

#include "common/LittleEndian.h"
#include "support/EnvOverride.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>
#include <thread>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using Report = std::array<std::uint8_t, wire::kReportSize>;

struct Written {
    Report report{};
    std::uint32_t unitId = 0;
};

// Forwards to the loaded library. Start and end belong to the binding that
// loaded it, so the protocol's view of the library leaves them alone.
struct Tap {
    static inline DeviceFunctions inner;
    static inline std::mutex mutex;
    static inline std::vector<Written> written;
    static inline std::function<void(std::size_t index)> beforeWrite;

    static int Init(int) { return 1; }
    static int End() { return 1; }
    static int WriteOne(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                        const uint8_t* data, uint32_t length, uint32_t unitId, HidRelayHandle* out)
    {
        std::function<void(std::size_t)> hook;
        std::size_t index = 0;
        {
            std::lock_guard lock(mutex);
            Written w;
            std::copy_n(data, std::min<std::size_t>(length, w.report.size()), w.report.begin());
            w.unitId = unitId;
            index = written.size();
            written.push_back(w);
            hook = beforeWrite;
        }
        if (hook) hook(index);
        return inner.RequestWriteOne(selector, callback, tag, data, length, unitId, out);
    }
    static DeviceFunctions Functions()
    {
        DeviceFunctions f = inner;
        f.Init = &Init;
        f.End = &End;
        f.RequestWriteOne = &WriteOne;
        return f;
    }
    static std::vector<Written> Take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(written, {});
    }
};

// Where the library's 'CTRL' read hands its events.
struct ReadSink {
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline ReplySlot* slot = nullptr;
    static inline std::vector<std::uint32_t> presence;

    static int OnEvent(const HidRelayEvent* event)
    {
        if (event->data->tag != wire::kTagCtrl) return 1;
        if (event->kind == HIDRELAY_EVENT_REPORT) {
            std::lock_guard lock(mutex);
            if (slot != nullptr) slot->Deliver(std::span(event->data->data, event->data->value));
        } else if (event->kind == HIDRELAY_EVENT_PRESENCE) {
            {
                std::lock_guard lock(mutex);
                presence.push_back(event->data->value);
            }
            changed.notify_all();
        }
        return 1;
    }
    static bool WaitForPresence(std::vector<std::uint32_t> expected)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return presence == expected; });
    }
};

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto dir = ProgramDirectory();
        ASSERT_TRUE(dir.ok()) << dir.error();
        auto loaded = DeviceLibrary::Load(ResolveDeviceLibraryPath(*dir, nullptr, true));
        ASSERT_TRUE(loaded.ok()) << loaded.error();
        owner = std::move(*loaded);
        Tap::inner = owner->Functions();
        Tap::Take();
        Tap::beforeWrite = nullptr;

        auto tapped = DeviceLibrary::FromFunctions(Tap::Functions(), owner->Description());
        ASSERT_TRUE(tapped.ok()) << tapped.error();
        ProtocolTiming timing;
        timing.replyWait = 300ms;  // every reply of the emulator comes at once; lost ones need not take seconds
        timing.pause = [this](std::chrono::milliseconds pause) {
            std::lock_guard lock(Tap::mutex);
            pauses.push_back(pause);
        };
        protocol = std::make_unique<CommandProtocol>(std::move(*tapped), timing);
        {
            std::lock_guard lock(ReadSink::mutex);
            ReadSink::slot = &protocol->Slot();
            ReadSink::presence.clear();
        }
        const HidRelaySelector selector = CommandSelector();
        const std::uint32_t unitId = UnitId(selector, CallbackField(&ReadSink::OnEvent), wire::kTagCtrl, {});
        ASSERT_GT(owner->AsyncRead(selector, &ReadSink::OnEvent, wire::kTagCtrl, unitId, &ctrlHandle), 0);
    }

    void TearDown() override
    {
        owner.reset();  // ends the reads before the slot they deliver to goes
        {
            std::lock_guard lock(ReadSink::mutex);
            ReadSink::slot = nullptr;
        }
        protocol.reset();
        Tap::beforeWrite = nullptr;
    }

    void Control(const std::vector<std::string>& words)
    {
        auto reply = emulator::SendControlCommand(folder / "ctl", words);
        ASSERT_TRUE(reply.ok()) << reply.error();
        ASSERT_TRUE(reply->has_value()) << "no emulator listens";
        ASSERT_TRUE((*reply)->ok) << (*reply)->text;
    }

    emulator::KeyboardState Dump()
    {
        auto reply = emulator::SendControlCommand(folder / "ctl", {"dump"});
        if (!reply.ok() || !reply->has_value()) return {};
        auto state = emulator::KeyboardStateFromJson((*reply)->text);
        EXPECT_TRUE(state.ok()) << state.error();
        return state.ok() ? *state : emulator::KeyboardState{};
    }

    std::vector<std::chrono::milliseconds> TakePauses()
    {
        std::lock_guard lock(Tap::mutex);
        return std::exchange(pauses, {});
    }

    testing::ScratchFolder scratch{"kdev"};
    const std::filesystem::path folder = scratch.Path();
    testing::EnvOverride stateVariable{"KESTRUNE_EMULATOR_STATE", (folder / "state.json").string()};
    testing::EnvOverride socketVariable{emulator::kControlSocketVariable, (folder / "ctl").string()};
    testing::EnvOverride latencyVariable{"KESTRUNE_EMULATOR_LATENCY_US", "0"};
    testing::EnvOverride bootVariable{"KESTRUNE_EMULATOR_BOOT_MS", "50"};
    std::unique_ptr<DeviceLibrary> owner;
    std::unique_ptr<CommandProtocol> protocol;
    HidRelayHandle ctrlHandle = 0;
    std::vector<std::chrono::milliseconds> pauses;
};

template <std::size_t N>
std::array<std::uint8_t, N> Pattern(std::uint8_t seed)
{
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

TEST_F(ProtocolTest, BeginUpdateGoesOnTheWireAsOneKnownReport)
{
    ASSERT_EQ(protocol->BeginUpdate(), kResultOk);
    const auto written = Tap::Take();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].report, (Report{0x04, 0x01, 0x00, 0x01}));
    EXPECT_EQ(written[0].unitId, 21231u);
}

TEST_F(ProtocolTest, EveryCommandReachesItsRegion)
{
    const emulator::KeyboardState before = Dump();

    std::array<std::uint8_t, wire::kSettingsRecordSize> settings{};
    ASSERT_EQ(protocol->ReadSettings(settings), kResultOk);
    EXPECT_EQ(settings, before.settings);
    settings[wire::kSettingsActiveProfile] = 2;
    ASSERT_EQ(protocol->WriteSettings(settings), kResultOk);

    const auto lighting = Pattern<wire::kLightingBlockSize>(0x11);
    ASSERT_EQ(protocol->WriteMemory(0, lighting), kResultOk);
    std::array<std::uint8_t, 5> someLighting{};
    ASSERT_EQ(protocol->ReadMemory(8, someLighting), kResultOk);
    EXPECT_TRUE(std::equal(someLighting.begin(), someLighting.end(), lighting.begin() + 8));

    const auto colours = Pattern<30>(0x22);
    ASSERT_EQ(protocol->WriteColours(10, colours), kResultOk);
    std::array<std::uint8_t, 30> coloursBack{};
    ASSERT_EQ(protocol->ReadColours(10, coloursBack), kResultOk);
    EXPECT_EQ(coloursBack, colours);

    std::array<std::array<std::uint8_t, wire::kKeyTableSize>, wire::kProfileCount> tables{};
    for (int p = 0; p < wire::kProfileCount; ++p) {
        tables[p] = Pattern<wire::kKeyTableSize>(static_cast<std::uint8_t>(0x30 + p));
        ASSERT_EQ(protocol->WriteKeyTable(p, tables[p]), kResultOk) << p;
    }
    for (int p = 0; p < wire::kProfileCount; ++p) {
        std::array<std::uint8_t, wire::kKeyTableSize> back{};
        ASSERT_EQ(protocol->ReadKeyTable(p, back), kResultOk) << p;
        EXPECT_EQ(back, tables[p]) << p;
    }

    std::array<std::uint8_t, wire::kKeyTableSize> factory{};
    ASSERT_EQ(protocol->ReadDefaultKeyTable(factory), kResultOk);
    EXPECT_EQ(factory, before.defaultKeyTable);

    const auto macros = Pattern<57>(0x44);
    ASSERT_EQ(protocol->WriteMacroArea(macros), kResultOk);
    std::array<std::uint8_t, 57> macrosBack{};
    ASSERT_EQ(protocol->ReadMacroArea(macrosBack), kResultOk);
    EXPECT_EQ(macrosBack, macros);

    TakePauses();
    ASSERT_EQ(protocol->EndUpdate(), kResultOk);
    EXPECT_EQ(TakePauses(), std::vector<std::chrono::milliseconds>{10ms}) << "EndUpdate waits before it is sent";

    const emulator::KeyboardState after = Dump();
    EXPECT_EQ(after.settings[wire::kSettingsActiveProfile], 2);
    EXPECT_EQ(after.lighting, lighting);
    EXPECT_TRUE(std::equal(colours.begin(), colours.end(), after.keyColours.begin() + 30));
    for (int p = 0; p < wire::kProfileCount; ++p) EXPECT_EQ(after.keyTables[p], tables[p]) << p;
    EXPECT_TRUE(std::equal(macros.begin(), macros.end(), after.macroArea.begin()));
}

TEST_F(ProtocolTest, LargeTransfersGoInChunksWithChecksums)
{
    const auto macros = Pattern<57>(0x01);
    ASSERT_EQ(protocol->WriteMacroArea(macros), kResultOk);
    auto written = Tap::Take();
    ASSERT_EQ(written.size(), 2u);
    struct Expected {
        std::uint8_t length;
        std::uint16_t address;
        std::size_t from;
    };
    const Expected macroChunks[] = {{56, 0, 0}, {1, 56, 56}};
    for (std::size_t i = 0; i < 2; ++i) {
        const Report& r = written[i].report;
        EXPECT_EQ(r[wire::kOffCommand], static_cast<std::uint8_t>(wire::Command::WriteMacroArea));
        EXPECT_EQ(r[wire::kOffLength], macroChunks[i].length);
        EXPECT_EQ(ReadLe16(r, wire::kOffAddress), macroChunks[i].address);
        EXPECT_EQ(ReadLe16(r, wire::kOffChecksum), ReportChecksum(r));
        EXPECT_TRUE(std::equal(r.begin() + wire::kOffPayload, r.begin() + wire::kOffPayload + macroChunks[i].length,
                               macros.begin() + macroChunks[i].from));
        EXPECT_TRUE(std::all_of(r.begin() + wire::kOffPayload + macroChunks[i].length, r.end(),
                                [](std::uint8_t b) { return b == 0; }))
            << "bytes past the payload are zero";
    }

    std::array<std::uint8_t, wire::kKeyTableSize> table{};
    ASSERT_EQ(protocol->ReadKeyTable(2, table), kResultOk);
    written = Tap::Take();
    ASSERT_EQ(written.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(written[i].report[wire::kOffLength], i < 8 ? 56 : 32);
        EXPECT_EQ(ReadLe16(written[i].report, wire::kOffAddress), 1024 + 56 * i);
    }

    EXPECT_EQ(protocol->WriteMacroArea({}), kResultOk);
    EXPECT_TRUE(Tap::Take().empty()) << "an empty macro area sends nothing";
}

TEST_F(ProtocolTest, ProfileOutOfRangeSendsNothing)
{
    std::array<std::uint8_t, wire::kKeyTableSize> table{};
    table.fill(0xAB);
    EXPECT_EQ(protocol->ReadKeyTable(3, table), kResultBadProfile);
    EXPECT_EQ(protocol->WriteKeyTable(3, table), kResultBadProfile);
    EXPECT_EQ(protocol->ReadKeyTable(-1, table), kResultBadProfile);
    EXPECT_TRUE(Tap::Take().empty());
    EXPECT_EQ(table[0], 0xAB);
}

TEST_F(ProtocolTest, FaultsGiveTheirResultCodesAfterTheirAttempts)
{
    struct Case {
        std::vector<std::string> fault;
        int expected;
        std::size_t writes;
    };
    const Case cases[] = {
        {{"fault", "wrong-code", "3"}, kResultNoReply, 3},
        {{"fault", "drop", "3"}, kResultNoReply, 3},
        {{"fault", "status", "fe", "3"}, kResultStatusFE, 3},
        {{"fault", "status", "ff", "3"}, kResultStatusFF, 3},
        {{"fault", "status", "fe", "1"}, kResultOk, 2},
        {{"fault", "wrong-code", "2"}, kResultOk, 3},
        {{"fault", "drop", "1"}, kResultOk, 2},
        // Damaged replies are asked for again like lost ones, and their bytes never used.
        {{"fault", "short", "3"}, kResultBadReply, 3},
        {{"fault", "corrupt", "3"}, kResultBadReply, 3},
        {{"fault", "short", "1"}, kResultOk, 2},
        {{"fault", "corrupt", "2"}, kResultOk, 3},
    };
    const auto held = Dump().settings;
    for (const Case& c : cases) {
        Control({"fault", "clear"});
        Control({"fault", "latency", "0"});
        Control(c.fault);
        Tap::Take();
        TakePauses();
        std::array<std::uint8_t, wire::kSettingsRecordSize> settings{};
        EXPECT_EQ(protocol->ReadSettings(settings), c.expected) << c.fault[1];
        EXPECT_EQ(Tap::Take().size(), c.writes) << c.fault[1];
        if (c.expected == kResultOk) {
            EXPECT_EQ(settings, held) << c.fault[1];
        }
        // Each retry waits 10 ms first.
        EXPECT_EQ(TakePauses(), std::vector<std::chrono::milliseconds>(c.writes - 1, 10ms)) << c.fault[1];
    }
}

TEST_F(ProtocolTest, AbsentKeyboardAndRefusedWrites)
{
    Control({"unplug"});
    EXPECT_FALSE(protocol->DevicePresent());
    EXPECT_EQ(protocol->BeginUpdate(), kResultAbsent);
    EXPECT_TRUE(Tap::Take().empty());

    Control({"plug"});
    EXPECT_TRUE(protocol->DevicePresent());
    // Pulled out between the presence check and the write: the library refuses.
    Tap::beforeWrite = [this](std::size_t) { Control({"unplug"}); };
    EXPECT_EQ(protocol->BeginUpdate(), kResultNotSent);
    EXPECT_EQ(Tap::Take().size(), 1u);
}

TEST_F(ProtocolTest, AFailedChunkEndsTheTransferAndKeepsWhatWentBefore)
{
    const emulator::KeyboardState before = Dump();
    const auto table = Pattern<wire::kKeyTableSize>(0x5C);
    // The fourth chunk is refused three times.
    Tap::beforeWrite = [this](std::size_t index) {
        if (index == 3) Control({"fault", "status", "ff", "3"});
    };
    EXPECT_EQ(protocol->WriteKeyTable(1, table), kResultStatusFF);
    EXPECT_EQ(Tap::Take().size(), 3u + 3u);
    const emulator::KeyboardState after = Dump();
    EXPECT_TRUE(std::equal(table.begin(), table.begin() + 3 * 56, after.keyTables[1].begin()));
    EXPECT_TRUE(std::equal(after.keyTables[1].begin() + 3 * 56, after.keyTables[1].end(),
                           before.keyTables[1].begin() + 3 * 56));

    // A failed read leaves the caller's table as it was.
    std::array<std::uint8_t, wire::kKeyTableSize> kept{};
    kept.fill(0xAB);
    Tap::beforeWrite = [this](std::size_t index) {
        if (index == 2) Control({"fault", "drop", "3"});
    };
    EXPECT_EQ(protocol->ReadKeyTable(1, kept), kResultNoReply);
    EXPECT_TRUE(std::all_of(kept.begin(), kept.end(), [](std::uint8_t b) { return b == 0xAB; }));
}

// Each way latencies of 450, 200 and 180 ms for the first three writes (in ms
// from the first): the first chunk's reply comes at 900, after its wait ran
// out at 750, and is taken by the chunk's second request (written 750 to
// 950). That request's own reply follows at 1150, while the second chunk
// (written from 950, answered at 1310) waits, and must not be taken there.
TEST_F(ProtocolTest, AReplyThatComesLateIsNeverTakenForTheNextChunk)
{
    const auto table = Pattern<wire::kKeyTableSize>(0x61);
    ASSERT_EQ(protocol->WriteKeyTable(1, table), kResultOk);
    const auto macros = Pattern<3 * wire::kMaxPayload>(0x13);
    ASSERT_EQ(protocol->WriteMacroArea(macros), kResultOk);
    const emulator::KeyboardState state = Dump();

    struct Case {
        const char* name;
        std::function<int(std::span<std::uint8_t>)> read;
        std::vector<std::uint8_t> expected;
    };
    const Case cases[] = {
        {"key table",
         [this](std::span<std::uint8_t> out) { return protocol->ReadKeyTable(1, out.first<wire::kKeyTableSize>()); },
         {state.keyTables[1].begin(), state.keyTables[1].end()}},
        {"factory key table",
         [this](std::span<std::uint8_t> out) { return protocol->ReadDefaultKeyTable(out.first<wire::kKeyTableSize>()); },
         {state.defaultKeyTable.begin(), state.defaultKeyTable.end()}},
        {"macro area", [this](std::span<std::uint8_t> out) { return protocol->ReadMacroArea(out); },
         {macros.begin(), macros.end()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(std::equal(c.expected.begin(), c.expected.begin() + wire::kMaxPayload,
                                c.expected.begin() + wire::kMaxPayload))
            << "the first two chunks must differ for a shift to show";
        Tap::Take();
        const std::size_t straysBefore = protocol->Slot().StrayReplies();
        Tap::beforeWrite = [this](std::size_t index) {
            const char* const latencies[] = {"450000", "200000", "180000", "0"};
            if (index < std::size(latencies)) Control({"fault", "latency", latencies[index]});
        };
        std::vector<std::uint8_t> back(c.expected.size());
        EXPECT_EQ(c.read(back), kResultOk);
        Tap::beforeWrite = nullptr;
        EXPECT_EQ(back, c.expected);
        const auto written = Tap::Take();
        const std::size_t chunks = (c.expected.size() + wire::kMaxPayload - 1) / wire::kMaxPayload;
        ASSERT_EQ(written.size(), chunks + 1) << "only the first chunk is asked for again";
        EXPECT_EQ(written[0].report, written[1].report);
        EXPECT_GT(protocol->Slot().StrayReplies(), straysBefore) << "the late reply came and was dropped";
    }
}

TEST_F(ProtocolTest, ASenderGivesWayToAnExchangeInFlight)
{
    // Someone armed the slot and has not finished.
    std::array<std::uint8_t, wire::kReportSize> stray{};
    protocol->Slot().Arm(stray);
    ASSERT_EQ(protocol->BeginUpdate(), kResultOk);
    EXPECT_EQ(TakePauses(), std::vector<std::chrono::milliseconds>{1001ms});
    EXPECT_FALSE(protocol->Slot().Busy());
}

TEST_F(ProtocolTest, ConcurrentSendersNeverInterleaveAnExchangeOrATransfer)
{
    const auto table = Pattern<wire::kKeyTableSize>(0x70);
    std::atomic<int> failures{0};
    std::thread writer([&] {
        for (int i = 0; i < 4; ++i)
            if (protocol->WriteKeyTable(0, table) != kResultOk) ++failures;
    });
    std::thread reader([&] {
        std::array<std::uint8_t, wire::kSettingsRecordSize> settings{};
        for (int i = 0; i < 12; ++i)
            if (protocol->ReadSettings(settings) != kResultOk) ++failures;
    });
    writer.join();
    reader.join();
    EXPECT_EQ(failures.load(), 0);

    const auto written = Tap::Take();
    ASSERT_EQ(written.size(), 4u * 9u + 12u);
    const auto keyTableWrite = static_cast<std::uint8_t>(wire::Command::WriteKeyTable);
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i].report[wire::kOffCommand] != keyTableWrite) continue;
        ASSERT_EQ(ReadLe16(written[i].report, wire::kOffAddress), 0) << "a transfer was cut at report " << i;
        for (std::size_t k = 1; k < 9; ++k)
            ASSERT_EQ(ReadLe16(written[i + k].report, wire::kOffAddress), 56 * k) << "report " << i + k;
        i += 8;
    }
}

TEST_F(ProtocolTest, BootModeSendsItsReportAndTheKeyboardLeavesAndReturns)
{
    ASSERT_EQ(protocol->EnterBootMode(), kResultOk);
    const auto written = Tap::Take();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].report, BootModeReport().bytes);
    EXPECT_TRUE(ReadSink::WaitForPresence({0, 1}));
    std::array<std::uint8_t, wire::kSettingsRecordSize> settings{};
    EXPECT_EQ(protocol->ReadSettings(settings), kResultOk);
}

}  // namespace
}  // namespace kestrune
