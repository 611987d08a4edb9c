// The longest stall of the GUI thread while Apply downloads the largest
// configuration: every ordinary key of the active profile remapped and the
// macro list as large as the keyboard's macro area takes, on the keyboard
// emulator answering each report after 1 ms. A 1 ms timer on the GUI thread
// records the longest gap between its ticks from the press of Apply until
// the Apply has finished.
//
//   bench_apply_stall [RUNS]
// Runs offscreen on build/bin/libHidRelayEmulator.so with a state file and a
// home folder of its own.

#include "LargestConfiguration.h"

#include "app/AboutDialog.h"
#include "app/MainWindow.h"
#include "config/Folders.h"
#include "config/LanguageTable.h"
#include "config/Settings.h"
#include "keymodel/KeyCodes.h"
#include "macro/MacroArea.h"
#include "macro/MacroRecord.h"
#include "session/KeyboardSession.h"
#include "ui/UserDialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace kestrune;

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QTemporaryDir home;
    ::setenv("HOME", home.path().toLocal8Bit().constData(), 1);
    ::setenv("XDG_CONFIG_HOME", (home.path() + "/.config").toLocal8Bit().constData(), 1);
    ::setenv("KESTRUNE_EMULATOR_STATE", (home.path() + "/emulator.json").toLocal8Bit().constData(), 1);
    ::setenv("KESTRUNE_EMULATOR_SOCKET", (home.path() + "/emulator.sock").toLocal8Bit().constData(), 1);
    ::setenv("KESTRUNE_EMULATOR_LATENCY_US", "1000", 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::filesystem::create_directories(std::filesystem::path(home.path().toStdString()) / "Documents");
    LoadLanguageTable();
    // Every box is answered at once; what they said is printed.
    SetMessageBoxHook([](const MessageBoxRequest& request) {
        std::fprintf(stderr, "box: %s\n", request.text.toUtf8().constData());
        return request.question ? QMessageBox::No : QMessageBox::Ok;
    });

    IniUserSettings settings(std::filesystem::path(home.path().toStdString()) / "user.ini");
    MainWindow window(settings);
    auto library = KeyboardSession::ProgramLibraryPath(true);
    if (!library) return std::fprintf(stderr, "%s\n", library.error().c_str()), 1;
    KeyboardSessionOptions options;
    options.libraryPath = *library;
    options.sink = &window;
    auto session = KeyboardSession::Create(std::move(options), window.GetReporter());
    if (!session) return std::fprintf(stderr, "%s\n", session.error().c_str()), 1;
    window.SetKeyboard(
        {&(*session)->Store(), &(*session)->GetTransfer(), &(*session)->GetLighting(), &(*session)->Events()});
    if (!window.Initialise()) return std::fprintf(stderr, "the skin did not load\n"), 1;
    if (Status started = (*session)->Start(); !started) return std::fprintf(stderr, "%s\n", started.error().c_str()), 1;
    // The attach waits for the deferred initialisation on the event loop,
    // then reads the keyboard; the window learns the active profile from it.
    QElapsedTimer attach;
    attach.start();
    while ((*session)->Events().LastPresence() == 0 || window.ActiveProfile() < 0) {
        if (attach.elapsed() > 30000) return std::fprintf(stderr, "the emulator was not attached\n"), 1;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    window.WaitForWorker(30000);

    const std::size_t capacity = (*session)->GetTransfer().MacroCapacity();
    std::size_t macroCount = 0;
    {
        ConfigStore& store = (*session)->Store();
        std::lock_guard lock(store.CurrentLock());
        CurrentCopy& current = store.Current();
        bench::RemapOrdinaryKeys(current, static_cast<std::size_t>(window.ActiveProfile()));
        current.Macros() = bench::LargestMacroList(capacity);
        macroCount = current.MacroCount();
    }

    std::vector<double> worst;
    for (int run = 0; run < runs; ++run) {
        window.SetUnappliedChanges(true);
        QElapsedTimer clock, wall;
        qint64 longest = 0, last = 0;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(1);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            last = now;
        });
        bool done = false, succeeded = false;
        auto connection = QObject::connect(&window, &MainWindow::applyFinished, [&](bool ok) {
            done = true;
            succeeded = ok;
        });
        clock.start();
        wall.start();
        tick.start();
        window.Apply();
        while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        tick.stop();
        QObject::disconnect(connection);
        const qint64 end = clock.nsecsElapsed();
        longest = std::max(longest, end - last);
        std::printf("apply %d: %s in %.0f ms, longest GUI-thread stall %.2f ms\n", run + 1,
                    succeeded ? "done" : "FAILED", double(wall.nsecsElapsed()) / 1e6, double(longest) / 1e6);
        worst.push_back(double(longest) / 1e6);
    }
    std::sort(worst.begin(), worst.end());
    std::printf("largest configuration: 104 keys remapped, %zu macros in %zu bytes of macro area; "
                "longest GUI-thread stall over %d applies: %.2f ms (median %.2f ms)\n",
                macroCount, capacity, runs, worst.back(), worst[worst.size() / 2]);
    window.ShutDown();
    (*session)->Stop();
    return 0;
}
