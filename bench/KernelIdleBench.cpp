// Wake-ups of the real device library (libHidRelay.so on hidapi's hidraw
// backend and libudev) while the keyboard is attached and idle, in the mocked
// kernel of `kestrune-emu kernel`: opened through a keyboard session the way
// the program opens it, presence from udev's monitor (the kernel's uevents).
// After the attach has settled, the process sleeps for a fixed period and
// every context switch of the threads other than the main one is counted.
//
//   kestrune-emu kernel -- bench_kernel_idle [SECONDS]

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

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    if (std::getenv("UMOCKDEV_DIR") == nullptr) {
        std::fprintf(stderr, "run it in the mocked kernel: kestrune-emu kernel -- %s [SECONDS]\n", argv[0]);
        return 2;
    }
    char home[] = "/tmp/kestrune-kernel-idle-XXXXXX";
    if (::mkdtemp(home) == nullptr) return 1;
    ::setenv("HOME", home, 1);
    ::setenv("XDG_CONFIG_HOME", (std::string(home) + "/.config").c_str(), 1);

    bool ok = false;
    {
        auto path = KeyboardSession::ProgramLibraryPath(false);
        if (!path) {
            std::fprintf(stderr, "%s\n", path.error().c_str());
            return 1;
        }
        bench::PrintingReporter reporter;
        KeyboardSessionOptions options;
        options.libraryPath = *path;
        auto session = KeyboardSession::Create(std::move(options), reporter);
        if (!session) {
            std::fprintf(stderr, "%s\n", session.error().c_str());
            return 1;
        }
        if (Status started = (*session)->StartAndWaitForAttach(); !started || !(*session)->Attached()) {
            std::fprintf(stderr, "the keyboard did not attach\n");
            return 1;
        }
        // Whatever the attach left running settles first.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));

        const auto before = bench::ThreadSwitches();
        const double cpuBefore = bench::CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpuAfter = bench::CpuSeconds();
        const auto after = bench::ThreadSwitches();
        const long wakeups = bench::WakeupsBetween(before, after);
        std::printf("Idle with the keyboard attached, real library in the mocked kernel (%s):\n"
                    "%2zu threads, %ld wake-ups in %d s (%.1f per second), CPU %.1f ms\n",
                    path->filename().c_str(), after.size(), wakeups, seconds, static_cast<double>(wakeups) / seconds,
                    (cpuAfter - cpuBefore) * 1000.0);
        ok = true;
    }
    std::filesystem::remove_all(home);
    return ok ? 0 : 1;
}
