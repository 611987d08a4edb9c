// Wake-ups of the device access library while a keyboard is attached and
// idle: the library's own code over the hidapi test implementation (the
// emulator's keyboard model on the bus), opened through a keyboard session
// the way the program opens it. After the attach has settled, the process
// sleeps for a fixed period and every context switch of the threads other
// than the main one is counted: each is a thread that woke up.
//
//   bench_hidrelay_idle [SECONDS]
//
// Two presence sources are measured: one told of every change at once, as
// udev's monitor is (blocked in poll() until the kernel reports one), and the
// library's own fallback where no udev daemon runs. Before the idle period,
// the searches of the bus per command exchange are counted as well.

#include "LinkedRelay.h"

#include "PrintingReporter.h"
#include "ThreadWakeups.h"
#include "session/KeyboardSession.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

using namespace kestrune;

namespace {

using bench::CpuSeconds;
using bench::ThreadSwitches;

bool Measure(const char* label, bool udevLike, int seconds)
{
    emulator::EmulatedKeyboard keyboard;
    hidshim::ManualPresence* presence = nullptr;
    if (udevLike)
        hidrelay::SetPresenceFactory([&presence] {
            auto source = std::make_unique<hidshim::ManualPresence>();
            presence = source.get();
            return source;
        });
    else
        hidrelay::SetPresenceFactory(nullptr);
    hidshim::ShimBus::Instance().Connect(&keyboard, [&presence] {
        if (presence != nullptr) presence->Notify();
    });

    bench::PrintingReporter reporter;
    bool ok = false;
    {
        auto library = DeviceLibrary::FromFunctions(hidshim::LinkedFunctions(), "linked relay");
        if (!library) {
            std::fprintf(stderr, "%s\n", library.error().c_str());
            return false;
        }
        KeyboardSessionOptions options;
        options.library = std::move(*library);
        auto session = KeyboardSession::Create(std::move(options), reporter);
        if (!session) {
            std::fprintf(stderr, "%s\n", session.error().c_str());
            return false;
        }
        if (Status started = (*session)->StartAndWaitForAttach(); !started || !(*session)->Attached()) {
            std::fprintf(stderr, "the keyboard did not attach\n");
            return false;
        }
        // What the device count before every exchange costs: searches of the bus.
        constexpr int kExchanges = 50;
        const int searchesBefore = hidshim::ShimBus::Instance().EnumerateCalls();
        SettingsRecord record;
        for (int i = 0; i < kExchanges; ++i)
            if ((*session)->Protocol().ReadSettings(record.bytes) != kResultOk) {
                std::fprintf(stderr, "a settings read failed\n");
                return false;
            }
        const int searches = hidshim::ShimBus::Instance().EnumerateCalls() - searchesBefore;

        // Whatever the attach left running settles first.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));

        const auto before = ThreadSwitches();
        const double cpuBefore = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpuAfter = CpuSeconds();
        const auto after = ThreadSwitches();

        const long wakeups = bench::WakeupsBetween(before, after);
        const int threads = static_cast<int>(after.size());
        std::printf("%-34s %2d threads, %6ld wake-ups in %d s (%.1f per second), CPU %.1f ms; %.2f searches of the "
                    "bus per exchange\n",
                    label, threads, wakeups, seconds, static_cast<double>(wakeups) / seconds,
                    (cpuAfter - cpuBefore) * 1000.0, static_cast<double>(searches) / kExchanges);
        ok = true;
    }
    hidshim::ShimBus::Instance().Disconnect();
    hidrelay::SetPresenceFactory(nullptr);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    char home[] = "/tmp/kestrune-idle-XXXXXX";
    if (::mkdtemp(home) == nullptr) return 1;
    ::setenv("HOME", home, 1);
    ::setenv("XDG_CONFIG_HOME", (std::string(home) + "/.config").c_str(), 1);
    std::printf("Idle with the keyboard attached (device library over the hidapi test layer):\n");
    bool ok = Measure("presence told at once (as udev)", true, seconds);
    ok = Measure("fallback without a udev daemon", false, seconds) && ok;
    std::filesystem::remove_all(home);
    return ok ? 0 : 1;
}
