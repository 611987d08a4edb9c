// The emulator library bound the way the program binds a device library: by
// file name at run time, through its twelve exports.

#include "device/DeviceLibrary.h"
#include "emulator/ControlSocket.h"
#include "emulator/EmulatedKeyboard.h"
#include "emulator/StateFile.h"

#include "EmulatorTestSupport.h"
#include "common/LittleEndian.h"

#include "wire/HidRelay.h"
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>

#include <dlfcn.h>
#include <sys/wait.h>

namespace kestrune::emulator {
namespace {

using testing::ReadText;
using testing::EnvOverride;
using testing::ScratchFolder;
using testing::WriteText;
using wire::Command;

// What a callback was given, copied while the library's pointers were valid.
struct Seen {
    std::uint32_t kind = 0;
    std::uint32_t tag = 0;
    std::uint32_t value = 0;
    uintptr_t handle = 0;
    bool hasData = false;
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> transferBytes;
};

class EventSink {
public:
    void Add(Seen seen)
    {
        {
            std::lock_guard lock(m_mutex);
            m_events.push_back(std::move(seen));
        }
        m_changed.notify_all();
    }

    // Waits (generously: this is about order, not speed) for an event that
    // matches and takes it with every event before it, oldest first.
    std::vector<Seen> TakeUpTo(const std::function<bool(const Seen&)>& match)
    {
        std::unique_lock lock(m_mutex);
        std::vector<Seen> taken;
        m_changed.wait_for(lock, std::chrono::seconds(10), [&] {
            for (std::size_t i = 0; i < m_events.size(); ++i) {
                if (match(m_events[i])) {
                    const auto end = m_events.begin() + static_cast<std::ptrdiff_t>(i) + 1;
                    taken.assign(m_events.begin(), end);
                    m_events.erase(m_events.begin(), end);
                    return true;
                }
            }
            return false;
        });
        return taken;
    }

    std::optional<Seen> Take(const std::function<bool(const Seen&)>& match)
    {
        auto taken = TakeUpTo(match);
        if (taken.empty()) return std::nullopt;
        return taken.back();
    }

    std::vector<Seen> Snapshot()
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

    void Clear()
    {
        std::lock_guard lock(m_mutex);
        m_events.clear();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Seen> m_events;
};

EventSink g_sink;

int Record(const HidRelayEvent* event)
{
    Seen seen;
    seen.kind = event->kind;
    seen.tag = event->data->tag;
    seen.value = event->data->value;
    seen.handle = event->data->handle;
    seen.hasData = event->data->data != nullptr;
    if (event->data->data) seen.data.assign(event->data->data, event->data->data + event->data->value);
    if (event->data->transfer)
        seen.transferBytes.assign(event->data->transfer->bytes,
                                  event->data->transfer->bytes + event->data->transfer->length);
    g_sink.Add(std::move(seen));
    return 1;
}

// The program's own table of the twelve exports, plus the module they came from:
// these tests resolve it by hand because they start and end the library
// themselves, several times per process.
struct Library : DeviceFunctions {
    void* handle = nullptr;
};

template <typename F> void Resolve(void* handle, const char* name, F& out)
{
    out = reinterpret_cast<F>(::dlsym(handle, name));
    ASSERT_NE(out, nullptr) << "missing export " << name;
}

HidRelaySelector Selector(std::uint16_t page, std::uint16_t usage)
{
    return {wire::kSelectorFlags, wire::kVendorId, wire::kProductId, page, usage, 0};
}

const HidRelaySelector kCommand = Selector(wire::kCommandUsagePage, wire::kCommandUsage);
const HidRelaySelector kConsumer = Selector(wire::kConsumerUsagePage, wire::kConsumerUsage);
const HidRelaySelector kBankStatus = Selector(wire::kBankStatusUsagePage, wire::kBankStatusUsage);

constexpr HidRelayHandle kCtrlUnit = 0x1234;
constexpr HidRelayHandle kConsUnit = 0x2345;

class HidRelayEmulatorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_library.handle = ::dlopen(KESTRUNE_EMULATOR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(s_library.handle, nullptr) << ::dlerror();
        void* h = s_library.handle;
        Resolve(h, "Debug", s_library.Debug);
        Resolve(h, "Init", s_library.Init);
        Resolve(h, "End", s_library.End);
        Resolve(h, "RequestGetDeviceCount", s_library.RequestGetDeviceCount);
        Resolve(h, "DeleteRequestFromUnitId", s_library.DeleteRequestFromUnitId);
        Resolve(h, "DeleteRequestFromHandle", s_library.DeleteRequestFromHandle);
        Resolve(h, "RequestWrite", s_library.RequestWrite);
        Resolve(h, "RequestWriteOne", s_library.RequestWriteOne);
        Resolve(h, "RequestStatusWrite", s_library.RequestStatusWrite);
        Resolve(h, "RequestStatusGet", s_library.RequestStatusGet);
        Resolve(h, "RequestAsyncRead", s_library.RequestAsyncRead);
        Resolve(h, "RequestStatusSetFeature", s_library.RequestStatusSetFeature);
    }

    void SetUp() override
    {
        ASSERT_NE(s_library.handle, nullptr);
        g_sink.Clear();
    }

    void TearDown() override
    {
        if (m_started) lib().End();
    }

    static Library& lib() { return s_library; }

    // Init with the scratch state file and socket, both standing reads running.
    void Start()
    {
        ASSERT_GT(lib().Init(0), 0);
        m_started = true;
        HidRelayHandle handle = 0;
        ASSERT_GT(lib().RequestAsyncRead(&kConsumer, Record, wire::kTagCons, kConsUnit, &handle), 0);
        EXPECT_EQ(handle, kConsUnit);
        ASSERT_GT(lib().RequestAsyncRead(&kCommand, Record, wire::kTagCtrl, kCtrlUnit, &handle), 0);
        EXPECT_EQ(handle, kCtrlUnit);
    }

    void Stop()
    {
        lib().End();
        m_started = false;
    }

    // Sends a command and waits for its reply on the 'CTRL' read.
    std::optional<Report> Exchange(const Report& request)
    {
        if (lib().RequestWriteOne(&kCommand, nullptr, 0, request.data(), 64, 1, nullptr) <= 0) return std::nullopt;
        const auto seen = g_sink.Take([](const Seen& s) { return s.kind == HIDRELAY_EVENT_REPORT; });
        if (!seen || seen->data.size() != wire::kReportSize) return std::nullopt;
        Report reply{};
        std::copy(seen->data.begin(), seen->data.end(), reply.begin());
        return reply;
    }

    std::optional<Seen> TakePresence()
    {
        return g_sink.Take([](const Seen& s) { return s.kind == HIDRELAY_EVENT_PRESENCE; });
    }

    ControlReply Control(const std::vector<std::string>& words)
    {
        auto sent = SendControlCommand(m_socket, words);
        if (!sent) return {false, sent.error()};
        if (!*sent) return {false, "no emulator listening"};
        return **sent;
    }

    ScratchFolder m_scratch;
    std::filesystem::path m_state = m_scratch / "state.json";
    std::filesystem::path m_socket = m_scratch / "s";
    EnvOverride m_stateVariable{kStateFileVariable, m_state.string()};
    EnvOverride m_socketVariable{kControlSocketVariable, m_socket.string()};
    EnvOverride m_latency{"KESTRUNE_EMULATOR_LATENCY_US", "0"};
    EnvOverride m_boot{"KESTRUNE_EMULATOR_BOOT_MS", "20"};
    bool m_started = false;

    static Library s_library;
};

Library HidRelayEmulatorTest::s_library;

TEST_F(HidRelayEmulatorTest, RepliesArriveOnTheCommandReadWithTheirTagAndHandle)
{
    Start();
    EXPECT_EQ(lib().RequestGetDeviceCount(&kCommand, nullptr, 0, 7, nullptr), 1);
    const Report request = MakeCommandReport(Command::ReadSettings, wire::kSettingsRecordSize, 0);
    ASSERT_EQ(lib().RequestWriteOne(&kCommand, nullptr, 0, request.data(), 64, 1, nullptr), 1);
    const auto seen = g_sink.Take([](const Seen& s) { return s.kind == HIDRELAY_EVENT_REPORT; });
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->tag, wire::kTagCtrl);
    EXPECT_EQ(seen->handle, kCtrlUnit);
    EXPECT_EQ(seen->value, wire::kReportSize);
    EXPECT_EQ(seen->data, seen->transferBytes);
    ASSERT_EQ(seen->data.size(), wire::kReportSize);
    EXPECT_EQ(seen->data[wire::kOffCommand], static_cast<std::uint8_t>(Command::ReadSettings));
    EXPECT_EQ(seen->data[wire::kOffPayload + wire::kSettingsMacroCapacity], kFactoryMacroCapacityUnits);

    // Reports of other interfaces or sizes are not command reports.
    EXPECT_EQ(lib().RequestWriteOne(&kConsumer, nullptr, 0, request.data(), 64, 1, nullptr), 0);
    EXPECT_EQ(lib().RequestWriteOne(&kCommand, nullptr, 0, request.data(), 65, 1, nullptr), 0);
    const HidRelaySelector otherProduct{wire::kSelectorFlags,    wire::kVendorId,     0x5005,
                                        wire::kCommandUsagePage, wire::kCommandUsage, 0};
    EXPECT_EQ(lib().RequestGetDeviceCount(&otherProduct, nullptr, 0, 7, nullptr), 0);

    // Two reports in one RequestWrite are two commands, answered in order.
    std::array<std::uint8_t, 128> two{};
    const Report begin = MakeCommandReport(Command::BeginUpdate, 0, 0);
    const Report end = MakeCommandReport(Command::EndUpdate, 0, 0);
    std::copy(begin.begin(), begin.end(), two.begin());
    std::copy(end.begin(), end.end(), two.begin() + 64);
    EXPECT_EQ(lib().RequestWrite(&kCommand, nullptr, 0, two.data(), 128, 1, nullptr), 2);
    const auto first = g_sink.Take([](const Seen& s) { return s.kind == HIDRELAY_EVENT_REPORT; });
    const auto second = g_sink.Take([](const Seen& s) { return s.kind == HIDRELAY_EVENT_REPORT; });
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->data[wire::kOffCommand], static_cast<std::uint8_t>(Command::BeginUpdate));
    EXPECT_EQ(second->data[wire::kOffCommand], static_cast<std::uint8_t>(Command::EndUpdate));
}

TEST_F(HidRelayEmulatorTest, KeysArriveOnTheConsumerReadThroughTheTransferRecord)
{
    Start();
    const std::vector<std::pair<const char*, std::uint16_t>> keys = {
        {"bank-key", wire::kConsBankKey},
        {"lighting-changed", wire::kConsLightingChanged},
        {"record-start", wire::kConsRecordStart},
        {"record-stop", wire::kConsRecordStop},
    };
    for (const auto& [command, word] : keys) {
        SCOPED_TRACE(command);
        ASSERT_TRUE(Control({command}).ok);
        const auto seen = g_sink.Take([](const Seen& s) { return s.tag == wire::kTagCons; });
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->kind, HIDRELAY_EVENT_REPORT);
        EXPECT_EQ(seen->handle, kConsUnit);
        ASSERT_EQ(seen->transferBytes.size(), wire::kConsumerReportSize);
        EXPECT_EQ(ReadLe16(seen->transferBytes, 0), word);
    }
    for (const auto& seen : g_sink.Snapshot()) EXPECT_NE(seen.tag, wire::kTagCtrl) << "nothing on the command read";
}

TEST_F(HidRelayEmulatorTest, UnplugAndPlugArriveAsPresenceOnTheCommandRead)
{
    Start();
    ASSERT_TRUE(Control({"unplug"}).ok);
    auto presence = TakePresence();
    ASSERT_TRUE(presence);
    EXPECT_EQ(presence->tag, wire::kTagCtrl);
    EXPECT_EQ(presence->value, 0u);
    EXPECT_FALSE(presence->hasData);
    EXPECT_TRUE(presence->transferBytes.empty());
    EXPECT_EQ(lib().RequestGetDeviceCount(&kCommand, nullptr, 0, 7, nullptr), 0);
    const Report request = MakeCommandReport(Command::BeginUpdate, 0, 0);
    EXPECT_EQ(lib().RequestWriteOne(&kCommand, nullptr, 0, request.data(), 64, 1, nullptr), 0);

    ASSERT_TRUE(Control({"plug"}).ok);
    presence = TakePresence();
    ASSERT_TRUE(presence);
    EXPECT_EQ(presence->value, 1u);
    EXPECT_EQ(lib().RequestGetDeviceCount(&kCommand, nullptr, 0, 7, nullptr), 1);
    const auto reply = Exchange(request);
    ASSERT_TRUE(reply) << "the standing read outlives the unplug";
    EXPECT_EQ((*reply)[wire::kOffStatus], wire::kStatusOk);
}

TEST_F(HidRelayEmulatorTest, BootRequestTakesTheKeyboardAwayAndBack)
{
    Start();
    Report boot{};
    boot[0] = wire::kReportId;
    boot[wire::kOffCommand] = 0xEE;
    boot[wire::kOffLength] = 0xEE;
    ASSERT_EQ(lib().RequestWriteOne(&kCommand, nullptr, 0, boot.data(), 64, 1, nullptr), 1);
    auto gone = TakePresence();
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->value, 0u);
    auto back = TakePresence();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->value, 1u);
    for (const auto& seen : g_sink.Snapshot()) EXPECT_NE(seen.kind, HIDRELAY_EVENT_REPORT) << "no reply to it";
    EXPECT_TRUE(nlohmann::json::parse(ReadText(m_state))["attached"].get<bool>());
}

TEST_F(HidRelayEmulatorTest, FaultsSetThroughTheSocketShapeTheReplies)
{
    Start();
    const Report request = MakeCommandReport(Command::ReadMemory, 4, 0);

    ASSERT_TRUE(Control({"fault", "status", "fe", "1"}).ok);
    auto reply = Exchange(request);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[wire::kOffStatus], wire::kStatusErrorFE);

    ASSERT_TRUE(Control({"fault", "wrong-code", "1"}).ok);
    reply = Exchange(request);
    ASSERT_TRUE(reply);
    EXPECT_NE((*reply)[wire::kOffCommand], request[wire::kOffCommand]);

    // The last report before the unplug is still answered, and before the presence change.
    ASSERT_TRUE(Control({"fault", "unplug-after", "1"}).ok);
    ASSERT_EQ(lib().RequestWriteOne(&kCommand, nullptr, 0, request.data(), 64, 1, nullptr), 1);
    const auto seen = g_sink.TakeUpTo([](const Seen& s) { return s.kind == HIDRELAY_EVENT_PRESENCE; });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, HIDRELAY_EVENT_REPORT);
    EXPECT_EQ(seen[0].data[wire::kOffCommand], request[wire::kOffCommand]);
    EXPECT_EQ(seen[1].value, 0u);
    EXPECT_EQ(lib().RequestGetDeviceCount(&kCommand, nullptr, 0, 7, nullptr), 0);
}

TEST_F(HidRelayEmulatorTest, StateIsSavedAfterEveryChangeAndLoadedAtInit)
{
    Start();
    ASSERT_FALSE(ReadText(m_state).empty()) << "a missing state file is created at Init";
    const std::vector<std::uint8_t> colour = {0x12, 0x34, 0x56};
    ASSERT_EQ((*Exchange(MakeCommandReport(Command::WriteColours, 3, 30, colour)))[wire::kOffStatus], wire::kStatusOk);

    const std::uint8_t bank[2] = {0x05, 0x03};
    HidRelayHandle handle = 0;
    ASSERT_EQ(lib().RequestStatusWrite(&kBankStatus, Record, wire::kTagLed, bank, 2, 0x777, &handle), 1);
    EXPECT_EQ(handle, 0x777u);
    std::uint8_t got[2] = {};
    EXPECT_EQ(lib().RequestStatusGet(&kBankStatus, nullptr, 0, got, 2, 1, nullptr), 2);
    EXPECT_EQ(got[1], 0x03);
    EXPECT_EQ(lib().DeleteRequestFromUnitId(0x777), 1);
    EXPECT_EQ(lib().DeleteRequestFromUnitId(0x777), 0);

    Stop();
    const auto json = nlohmann::json::parse(ReadText(m_state));
    EXPECT_EQ(json["key_colours"].get<std::string>().substr(60, 6), "123456");
    EXPECT_EQ(json["bank_status"], "0503");

    Start();
    const auto reply = Exchange(MakeCommandReport(Command::ReadColours, 3, 30));
    ASSERT_TRUE(reply);
    EXPECT_EQ(std::vector<std::uint8_t>(reply->begin() + 8, reply->begin() + 11), colour);
}

TEST_F(HidRelayEmulatorTest, MalformedStateFileIsReportedAndNeverOverwritten)
{
    const std::string broken = "{\"settings\": \"not hex\"}";
    WriteText(m_state, broken);
    ::testing::internal::CaptureStderr();
    Start();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(m_state.string()), std::string::npos) << errors;
    EXPECT_NE(errors.find("malformed"), std::string::npos) << errors;

    // The keyboard runs on factory values in memory.
    const auto settings = Exchange(MakeCommandReport(Command::ReadSettings, 28, 0));
    ASSERT_TRUE(settings);
    EXPECT_EQ((*settings)[wire::kOffPayload + wire::kSettingsMacroCapacity], kFactoryMacroCapacityUnits);
    const std::vector<std::uint8_t> brightness = {4};
    ASSERT_TRUE(Exchange(MakeCommandReport(Command::WriteMemory, 1, 1, brightness)));
    ASSERT_TRUE(Control({"unplug"}).ok);
    Stop();
    EXPECT_EQ(ReadText(m_state), broken);
}

TEST_F(HidRelayEmulatorTest, ReadCanBeDeletedFromInsideItsOwnCallback)
{
    ASSERT_GT(lib().Init(0), 0);
    m_started = true;
    static std::atomic<int> calls{0};
    static decltype(&::DeleteRequestFromUnitId) deleteRequest = nullptr;
    calls = 0;
    deleteRequest = lib().DeleteRequestFromUnitId;
    const HidRelayCallback selfDeleting = [](const HidRelayEvent* event) {
        ++calls;
        const int deleted = deleteRequest(static_cast<HidRelayHandle>(event->data->handle));
        Record(event);
        return deleted;
    };
    HidRelayHandle handle = 0;
    ASSERT_EQ(lib().RequestAsyncRead(&kCommand, selfDeleting, wire::kTagCtrl, 99, &handle), 1);
    const Report request = MakeCommandReport(Command::BeginUpdate, 0, 0);
    ASSERT_EQ(lib().RequestWriteOne(&kCommand, nullptr, 0, request.data(), 64, 1, nullptr), 1);
    ASSERT_TRUE(g_sink.Take([](const Seen& s) { return s.kind == HIDRELAY_EVENT_REPORT; }));
    EXPECT_EQ(lib().DeleteRequestFromHandle(99), 0) << "already gone";
    Stop();
    EXPECT_EQ(calls.load(), 1);
}

// The control tool, run as the user would run it.
struct ToolRun {
    int exitCode = -1;
    std::string output;
};

ToolRun RunTool(const std::string& arguments)
{
    ToolRun run;
    const std::string command = std::string(KESTRUNE_EMULATOR_TOOL) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) run.output.append(buffer, n);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST_F(HidRelayEmulatorTest, ToolDrivesARunningEmulator)
{
    Start();
    const std::string socket = "--socket " + m_socket.string();
    ToolRun run = RunTool(socket + " unplug");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    auto presence = TakePresence();
    ASSERT_TRUE(presence);
    EXPECT_EQ(presence->value, 0u);

    run = RunTool(socket + " dump");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const auto dumped = KeyboardStateFromJson(run.output);
    ASSERT_TRUE(dumped) << dumped.error();
    EXPECT_FALSE(dumped->attached);

    run = RunTool(socket + " bank-key");
    EXPECT_EQ(run.exitCode, 1) << "an unplugged keyboard has no keys to press";
    EXPECT_NE(run.output.find("unplugged"), std::string::npos) << run.output;

    run = RunTool(socket + " plug");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    presence = TakePresence();
    ASSERT_TRUE(presence);
    EXPECT_EQ(presence->value, 1u);

    run = RunTool(socket + " fault drop 2");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(RunTool(socket + " fault show").output.find("drop 2"), std::string::npos);
    EXPECT_NE(RunTool(socket + " fault status fd 1").exitCode, 0) << "only ff and fe";
}

TEST_F(HidRelayEmulatorTest, ToolWorksOnTheStateFileWhenNoEmulatorRuns)
{
    const std::string options = "--socket " + (m_scratch / "nobody").string() + " --state " + m_state.string();
    ToolRun run = RunTool(options + " unplug");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    auto saved = ReadStateFile(m_state);
    ASSERT_TRUE(saved && *saved);
    EXPECT_FALSE((*saved)->attached) << "a missing file starts from factory values";

    run = RunTool(options + " dump");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(KeyboardStateFromJson(run.output).value(), **saved);

    run = RunTool(options + " bank-key");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("no running emulator"), std::string::npos) << run.output;

    const std::string broken = "[1, 2]";
    WriteText(m_state, broken);
    run = RunTool(options + " plug");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("malformed"), std::string::npos) << run.output;
    EXPECT_EQ(ReadText(m_state), broken);

    run = RunTool(options + " reset");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    saved = ReadStateFile(m_state);
    ASSERT_TRUE(saved && *saved);
    EXPECT_EQ(**saved, FactoryKeyboardState()) << "reset repairs a broken file";

    // The library started afterwards sees what the tool left.
    ASSERT_EQ(RunTool(options + " unplug").exitCode, 0);
    ASSERT_GT(lib().Init(0), 0);
    m_started = true;
    EXPECT_EQ(lib().RequestGetDeviceCount(&kCommand, nullptr, 0, 7, nullptr), 0);
}

} // namespace
} // namespace kestrune::emulator
