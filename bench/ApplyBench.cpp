// How close Apply of the largest configuration comes to the time the
// keyboard's link itself takes: every ordinary key of all three profiles
// remapped and as many macros as the macro area takes, downloaded to the
// keyboard emulator answering each report after 1 ms each way. Timed are the
// steps of `kestrune-cli apply` once the keyboard is open: the profile file
// read and checked, the download of all three profiles, the working profile
// file written (beside the old one while the download runs, put in its place
// once the download succeeded). The goal is 1.05 x (2 ms per report sent +
// the protocol's own pauses), the reports counted as the library sends them
// and the pauses as the protocol takes them. Each of these applies knows
// nothing of what the keyboard holds, as a `kestrune-cli apply` does not.
//
// Then Apply after a one-key edit, as the window's Apply sends it: the
// keyboard's contents known from the download before, one key of one
// profile remapped, the download of all three profiles and the working file.
//
//   bench_apply [RUNS] [LATENCY_US] [KEEP_FILE]
// Runs on build/bin/libHidRelayEmulator.so with a state file and a home
// folder of its own; KEEP_FILE, when given, gets a copy of the largest
// configuration's profile file (bench/cli_reports.sh uses it).

#include "LargestConfiguration.h"

#include "ProfileReport.h"

#include "PrintingReporter.h"
#include "config/Folders.h"
#include "config/ProfileFile.h"
#include "session/KeyboardSession.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace kestrune;
using Clock = std::chrono::steady_clock;

namespace {

// Every report the program sends goes through RequestWriteOne.
decltype(&::RequestWriteOne) g_writeOne = nullptr;
std::atomic<long> g_reports{0};

int CountedWriteOne(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag, const uint8_t* data,
                    uint32_t length, uint32_t unitId, HidRelayHandle* outHandle)
{
    ++g_reports;
    return g_writeOne(selector, callback, tag, data, length, unitId, outHandle);
}

// The command line's apply of the current copy (what
// KeyboardController::ApplyAllProfiles does), step by step, so that the
// download's end can be noted.
struct Applied {
    Status downloaded;
    std::optional<std::string> fileProblem;
    Clock::time_point downloadedAt;
};

Applied ApplyWithWorkingFile(ConfigStore& store, Transfer& transfer, const std::filesystem::path& working)
{
    Applied applied;
    std::lock_guard lock(store.CurrentLock());
    std::lock_guard workingLock(store.WorkingLock());
    const auto snapshot = store.TakeWorkingSnapshot();
    if (!snapshot) {
        applied.downloaded = Error{snapshot.error()};
        return applied;
    }
    WorkingFileUpdate update(*snapshot, working);
    applied.downloaded = transfer.DownloadConfiguration(**snapshot, true);
    applied.downloadedAt = Clock::now();
    applied.fileProblem = update.Finish(applied.downloaded.ok());
    return applied;
}

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

int Fail(const std::string& what)
{
    std::fprintf(stderr, "bench_apply: %s\n", what.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string latency = argc > 2 ? argv[2] : "1000";
    const std::string keep = argc > 3 ? argv[3] : "";
    char home[] = "/tmp/kestrune-apply-XXXXXX";
    if (::mkdtemp(home) == nullptr) return Fail("no scratch folder");
    const std::filesystem::path folder = home;
    ::setenv("HOME", home, 1);
    ::setenv("XDG_CONFIG_HOME", (folder / ".config").c_str(), 1);
    ::setenv("KESTRUNE_EMULATOR_STATE", (folder / "emulator.json").c_str(), 1);
    ::setenv("KESTRUNE_EMULATOR_SOCKET", (folder / "emulator.sock").c_str(), 1);
    ::setenv("KESTRUNE_EMULATOR_LATENCY_US", latency.c_str(), 1);
    std::filesystem::create_directories(folder / "Documents");
    // Where a session keeps the token that tells one program's downloads to the others.
    std::filesystem::create_directories(folder / "run");
    std::filesystem::permissions(folder / "run", std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (folder / "run").c_str(), 1);

    auto path = KeyboardSession::ProgramLibraryPath(true);
    if (!path) return Fail(path.error());
    // Bound once to find the functions, then again with the write counted;
    // the first binding stays until the session has ended.
    auto loaded = DeviceLibrary::Load(*path);
    if (!loaded) return Fail(loaded.error());
    DeviceFunctions functions = (*loaded)->Functions();
    g_writeOne = functions.RequestWriteOne;
    functions.RequestWriteOne = &CountedWriteOne;
    auto counted = DeviceLibrary::FromFunctions(functions, (*loaded)->Description() + ", counted");
    if (!counted) return Fail(counted.error());

    std::atomic<long> pausedMs{0};
    bench::PrintingReporter reporter;
    KeyboardSessionOptions options;
    options.library = std::move(*counted);
    options.timing.pause = [&pausedMs](std::chrono::milliseconds pause) {
        pausedMs += pause.count();
        std::this_thread::sleep_for(pause);
    };
    auto session = KeyboardSession::Create(std::move(options), reporter);
    if (!session) return Fail(session.error());
    if (Status started = (*session)->StartAndWaitForAttach(); !started) return Fail(started.error());
    if (!(*session)->Attached()) return Fail("the emulator did not attach");
    ConfigStore& store = (*session)->Store();
    Transfer& transfer = (*session)->GetTransfer();

    // The working file exists, as it does once the program has run.
    const auto working = WorkingProfilePath();
    if (!working) return Fail(working.error());
    if (!transfer.ReadBackToFile(*working).ok()) return Fail("the emulator could not be read back");

    const std::filesystem::path file = folder / "largest.kpf";
    std::size_t macroCount = 0;
    {
        std::lock_guard lock(store.CurrentLock());
        if (!store.CreateDefaultConfiguration()) return Fail("no default configuration");
        for (std::size_t profile = 0; profile < wire::kProfileCount; ++profile)
            bench::RemapOrdinaryKeys(store.Current(), profile);
        store.Current().Macros() = bench::LargestMacroList(transfer.MacroCapacity());
        macroCount = store.Current().MacroCount();
    }
    if (Status written = WriteProfileFile(store, file); !written) return Fail(written.error());
    if (!keep.empty()) {
        std::error_code ec;
        std::filesystem::copy_file(file, keep, std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) return Fail("cannot keep the profile file as " + keep + ": " + ec.message());
    }

    std::printf("largest configuration: %zu keys remapped in each of 3 profiles, %zu macros in %zu bytes of macro "
                "area, %zu-byte file; emulator latency %s us each way\n",
                kOrdinaryKeyCount, macroCount, transfer.MacroCapacity(), std::filesystem::file_size(file),
                latency.c_str());
    const double exchangeMs = 2.0 * std::stod(latency) / 1000.0;
    {
        // One exchange alone: what the emulator adds to the latency it models.
        std::vector<double> times;
        SettingsRecord record;
        for (int i = 0; i < 200; ++i) {
            const auto start = Clock::now();
            if ((*session)->Protocol().ReadSettings(record.bytes) != kResultOk) return Fail("a settings read failed");
            times.push_back(Milliseconds(Clock::now() - start));
        }
        std::sort(times.begin(), times.end());
        std::printf("one exchange (settings read): median %.3f ms, 90th percentile %.3f ms; the link alone %.3f ms\n",
                    times[times.size() / 2], times[times.size() * 9 / 10], exchangeMs);
    }

    std::vector<double> downloadRatios, applyRatios;
    for (int run = 0; run < runs; ++run) {
        transfer.Known().Forget();
        g_reports = 0;
        pausedMs = 0;
        const auto start = Clock::now();
        auto copy = cli::LoadCheckedProfile(file, ActionSlots::Used);
        if (!copy) return Fail(copy.error());
        const auto loadedAt = Clock::now();
        {
            std::lock_guard lock(store.CurrentLock());
            store.Current() = std::move(*copy);
        }
        const Applied applied = ApplyWithWorkingFile(store, transfer, *working);
        const Status& downloaded = applied.downloaded;
        const std::optional<std::string>& fileProblem = applied.fileProblem;
        const Clock::time_point downloadedAt = applied.downloadedAt;
        const auto end = Clock::now();
        if (!downloaded) return Fail("the download failed: " + downloaded.error());
        if (fileProblem) return Fail("the working file was not written: " + *fileProblem);
        const double link = exchangeMs * static_cast<double>(g_reports.load()) + static_cast<double>(pausedMs.load());
        const double download = Milliseconds(downloadedAt - loadedAt);
        const double whole = Milliseconds(end - start);
        downloadRatios.push_back(download / link);
        applyRatios.push_back(whole / link);
        std::printf("apply %d: %.1f ms (file read %.1f, download %.1f, working file %.1f) for %ld reports and %ld ms "
                    "of pauses, the link alone %.1f ms: download %.3f x, apply %.3f x\n",
                    run + 1, whole, Milliseconds(loadedAt - start), download, Milliseconds(end - downloadedAt),
                    g_reports.load(), pausedMs.load(), link, download / link, whole / link);
    }
    std::sort(downloadRatios.begin(), downloadRatios.end());
    std::sort(applyRatios.begin(), applyRatios.end());
    std::printf("over %d applies, median (worst) of the time the link alone takes: download %.3f x (%.3f x), whole "
                "apply %.3f x (%.3f x); goal <= 1.05 x\n",
                runs, downloadRatios[runs / 2], downloadRatios.back(), applyRatios[runs / 2], applyRatios.back());

    // Apply after a one-key edit: the keyboard known from the last download.
    std::vector<double> editTimes;
    long editReports = 0, editPaused = 0;
    for (int run = 0; run < runs; ++run) {
        {
            std::lock_guard lock(store.CurrentLock());
            // Each key of the largest configuration plays the next one: this one plays the one after.
            const std::size_t key = static_cast<std::size_t>(run) % (kOrdinaryKeyCount - 2);
            KeyAssignment* slot = store.Current().Assignment(static_cast<std::size_t>(run) % wire::kProfileCount,
                                                             CompactFromKey(KeyButtonOrder[key]));
            if (slot == nullptr) return Fail("no key to edit");
            SetAssignment(*slot, AssignmentType::RemapKey, 0, KeyButtonOrder[key + 2]);
        }
        g_reports = 0;
        pausedMs = 0;
        const auto start = Clock::now();
        const Applied applied = ApplyWithWorkingFile(store, transfer, *working);
        editTimes.push_back(Milliseconds(Clock::now() - start));
        if (!applied.downloaded) return Fail("the download after an edit failed: " + applied.downloaded.error());
        editReports = g_reports.load();
        editPaused = pausedMs.load();
    }
    std::sort(editTimes.begin(), editTimes.end());
    std::printf("apply after a one-key edit: %ld reports and %ld ms of pauses (the link alone %.1f ms), median %.1f ms "
                "(worst %.1f ms) with the working file; goal <= 15 reports\n",
                editReports, editPaused,
                exchangeMs * static_cast<double>(editReports) + static_cast<double>(editPaused),
                editTimes[editTimes.size() / 2], editTimes.back());

    (*session)->Stop();
    session->reset();
    loaded->reset();
    std::filesystem::remove_all(folder);
    return 0;
}
