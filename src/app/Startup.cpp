#include "app/Startup.h"

#include "app/AboutDialog.h"
#include "app/ChildDialogs.h"
#include "app/CommandLine.h"
#include "app/DisplayCheck.h"
#include "app/MainWindow.h"
#include "app/MainWindowIds.h"
#include "app/SingleInstance.h"
#include "app/TrayIcon.h"
#include "common/Version.h"
#include "config/Folders.h"
#include "config/LanguageKeyNames.h"
#include "config/LanguageTable.h"
#include "config/Settings.h"
#include "session/KeyboardSession.h"
#include "ui/QtTranslations.h"
#include "ui/Skin.h"
#include "ui/UserDialogs.h"

#include <QApplication>
#include <QDBusConnection>
#include <QEvent>
#include <QFileInfo>
#include <QIcon>
#include <QProcess>
#include <QWidget>

#include <cstdio>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

namespace kestrune {

namespace {

// The companion program beside the program. It lies outside this program:
// started when this one starts as the only instance, never waited for,
// signalled or stopped, and its absence is no error.
constexpr const char* kCompanionProgram = "KeyAgent";

// A start-up step that failed ends the program, and says so: on standard
// error for a terminal or a log, and in a box for the user who clicked an icon.
int ReportStartFailure(const std::string& what, const char* lead = "The keyboard program cannot start:")
{
    std::fprintf(stderr, "kestrune: %s\n", what.c_str());
    std::fflush(stderr);
    ShowInformation(nullptr, QString::fromStdString(lead + ("\n" + what)));
    return kExitFailed;
}

// Puts the picture failure handler back as it was when the start ends.
class PictureHandlerScope {
public:
    explicit PictureHandlerScope(PictureFailureHandler handler) : m_old(SetPictureFailureHandler(std::move(handler))) {}
    ~PictureHandlerScope() { SetPictureFailureHandler(std::move(m_old)); }
    PictureHandlerScope(const PictureHandlerScope&) = delete;
    PictureHandlerScope& operator=(const PictureHandlerScope&) = delete;

private:
    PictureFailureHandler m_old;
};

void StartCompanion()
{
    const QString companion = QString::fromStdString((ProgramFolder() / kCompanionProgram).string());
    const QFileInfo info(companion);
    if (!info.isFile() || !info.isExecutable()) return;
    QProcess::startDetached(companion, {}, info.absolutePath());
}

// Start-up milestones for the benchmarks (bench/window_bench.sh): with
// KESTRUNE_BENCH_T0 set to the CLOCK_MONOTONIC time in nanoseconds at which
// the launcher started the process, each milestone prints its distance
// from it on standard error, and on a line of its own the CPU time all the
// process's threads have used by then, which a busy machine inflates far
// less than the wall time.
class StartupMarks : public QObject {
public:
    StartupMarks()
    {
        bool ok = false;
        m_t0 = qEnvironmentVariable("KESTRUNE_BENCH_T0").toLongLong(&ok);
        m_on = ok;
    }
    void Watch(QWidget* window)
    {
        if (!m_on) return;
        m_window = window;
        window->installEventFilter(this);
    }
    void Mark(const char* name) const
    {
        if (!m_on) return;
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const qint64 ns = qint64(now.tv_sec) * 1000000000 + now.tv_nsec - m_t0;
        timespec cpu{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
        std::fprintf(stderr, "kestrune-bench: %s %.1f ms\nkestrune-bench-cpu: %s %.1f ms\n", name, double(ns) / 1e6,
                     name, double(cpu.tv_sec) * 1e3 + double(cpu.tv_nsec) / 1e6);
        std::fflush(stderr);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_window && event->type() == QEvent::Paint && !m_painted) {
            m_painted = true;
            Mark("window-shown");
        }
        return false;
    }

private:
    QWidget* m_window = nullptr;
    qint64 m_t0 = 0;
    bool m_on = false;
    bool m_painted = false;
};

// The program file's own name (not a link's to it), before Qt is up.
QString ProgramFileName()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return QString::fromStdString(error ? std::string("kestrune") : self.filename().string());
}

// Hands the request to the running instance; the process then ends.
int SignalRunningInstance(SingleInstance& instance, const CommandLine& line)
{
    InstanceRequest request;
    if (line.kill)
        request = {mainwnd::kMsgKill, mainwnd::kParamKill, 0, {}};
    else if (line.firmwareUpdate)
        request = {mainwnd::kMsgOpen, mainwnd::kParamFirmwareUpdate, 0, {}};
    else
        request = {mainwnd::kMsgOpen, mainwnd::kParamOpen, 0, {}};
    const Status sent = instance.Send(request);
    if (!sent) {
        std::fprintf(stderr, "kestrune: %s\n", sent.error().c_str());
        return kExitFailed;
    }
    return kExitDone;
}

} // namespace

int RunKestrune(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const CommandLine line = ParseCommandLine(arguments);
    const std::string programName =
        argc > 0 ? QFileInfo(QString::fromLocal8Bit(argv[0])).fileName().toStdString() : std::string("kestrune");
    if (line.help) {
        std::fputs(CommandLineUsage(programName).c_str(), stdout);
        return kExitDone;
    }
    if (line.version) {
        std::printf("kestrune %s\n", VersionString());
        return kExitDone;
    }
    for (const std::string& ignored : line.ignored)
        std::fprintf(stderr, "kestrune: ignoring the argument \"%s\" (see --help)\n", ignored.c_str());

    // Single instance, named from the program file name. A later start
    // hands its request over before it connects to a display.
    std::unique_ptr<SingleInstance> instance;
    if (auto runtime = UserRuntimeFolder(); !runtime) {
        std::fprintf(stderr, "kestrune: %s; running without the single-instance check\n", runtime.error().c_str());
    } else {
        instance = std::make_unique<SingleInstance>(*runtime, ProgramFileName());
        auto claim = instance->TryClaim();
        if (!claim) {
            // As with a lock whose owner cannot be found: run beside it.
            std::fprintf(stderr, "kestrune: %s; running without the single-instance check\n", claim.error().c_str());
            instance.reset();
        } else if (*claim == SingleInstance::Claim::Running) {
            return SignalRunningInstance(*instance, line);
        }
    }

    // Past the hand-over, which needs no display: this start would show the
    // window, and Qt aborts where it cannot connect.
    if (auto noDisplay = NoDisplayReason(CurrentDisplayEnvironment(arguments))) {
        std::fprintf(stderr, "kestrune: no display to show the window on: %s (kestrune-cli works without one)\n",
                     noDisplay->c_str());
        return kExitFailed;
    }

    StartupMarks marks;
    marks.Mark("main");
    QApplication app(argc, argv);
    marks.Mark("application");
    // Qt's accessibility bridge asks for the session bus as the first window
    // is built, and the GUI thread waits for the connection: a round trip on
    // a desktop, and where no bus address is known libdbus first tries to
    // launch one. Connected on a thread of its own meanwhile, the bus is
    // ready or nearly so by then. Joined before the application object goes.
    std::jthread sessionBus([] { QDBusConnection::sessionBus(); });
    QApplication::setApplicationName(QStringLiteral("kestrune"));
    QApplication::setApplicationVersion(QString::fromLatin1(VersionString()));
    QApplication::setDesktopFileName(QStringLiteral("com.kestrune.Kestrune"));
    // The program lives in the tray: closing its last window never ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    return RunWindowProgram(line, instance.get());
}

int RunWindowProgram(const CommandLine& line, SingleInstance* instance)
{
    StartupMarks marks;
    // The per-user settings branch is the file of UserSettingsPath(), named
    // from the program file; nothing needs registering for it.
    // Paths: everything is found beside the program file (ProgramFolder).
    // The key model names the media functions from the same texts.
    LoadLanguageTableAndKeyNames();
    ApplyQtTranslations(ReadLanguageIndex());
    // CurrentLock and WorkingLock belong to the keyboard session's store and
    // live as long as it does.

    if (instance) {
        if (Status listening = instance->Listen(); !listening) {
            std::fprintf(stderr, "kestrune: %s; later starts will not find this one\n", listening.error().c_str());
        }
    }
    StartCompanion();

    // A skin picture that cannot be used ends the start with its reason.
    // Once the program runs, a window that finds one of its pictures unusable
    // says so the same way and the program ends when the user has read it.
    std::string pictureProblem;
    bool started = false;
    PictureHandlerScope pictureHandler([&](const std::string& why) {
        if (!started) {
            if (pictureProblem.empty()) pictureProblem = why;
            return;
        }
        ReportStartFailure("cannot go on without a skin picture: " + why, "The keyboard program has to end:");
        QCoreApplication::exit(kExitFailed);
    });
    auto icons = LoadTrayIcons(SkinFolder());
    if (!icons) return ReportStartFailure(icons.error());
    QApplication::setWindowIcon(icons->byId.at(kIconDetached));

    marks.Mark("tray-icons");
    IniUserSettings settings;
    MainWindow window(settings);
    TrayIcon tray;

    auto library = KeyboardSession::ProgramLibraryPath(line.emulator);
    if (!library) return ReportStartFailure("cannot find the device library: " + library.error());
    KeyboardSessionOptions options;
    options.libraryPath = *library;
    options.sink = &window;
    auto session = KeyboardSession::Create(std::move(options), window.GetReporter());
    if (!session) return ReportStartFailure(session.error());
    marks.Mark("session");
    window.SetKeyboard(
        {&(*session)->Store(), &(*session)->GetTransfer(), &(*session)->GetLighting(), &(*session)->Events()});
    ChildDialogs children(window, **session, settings, TheLanguageTable());
    marks.Mark("child-dialogs");

    // The deferred initialisation adds the tray icon; the window's state
    // icon, tip and exit reach the tray from there on.
    marks.Watch(&window);
    QObject::connect(&window, &MainWindow::deferredInitialisation, &tray, [&] {
        if (!tray.Create(&window, *icons, window.TrayTip(), kIconDetached))
            std::fprintf(stderr, "kestrune: the tray icon could not be added\n");
        tray.SetSingleClickCommand(mainwnd::kIdProfileMenu);
#ifdef __GLIBC__
        // What the start-up parsed and built and let go of since goes back to
        // the system now, not whenever the heap happens to shrink.
        ::malloc_trim(0);
#endif
        marks.Mark("tray-ready");
    });
    QObject::connect(&window, &MainWindow::trayIconChanged, &tray, &TrayIcon::SetIcon);
    QObject::connect(&window, &MainWindow::trayTipChanged, &tray, &TrayIcon::SetTip);
    QObject::connect(&tray, &TrayIcon::Command, &window, &MainWindow::OnCommand);
    QObject::connect(&window, &MainWindow::exitRequested, qApp, [&] {
        tray.Delete();
        QApplication::quit();
    });

    // The skin: the picture handler has kept the reason when a picture was at fault.
    if (!window.Initialise()) {
        return ReportStartFailure("cannot load the skin " + window.SkinIniPath().string() +
                                  (pictureProblem.empty() ? std::string() : ": " + pictureProblem));
    }
    marks.Mark("window-initialised");

    // The device events start last, so every way the start can fail comes
    // before any thread runs.
    // "/Start": the first attach leaves the window in the tray.
    if (line.start) (*session)->Events().SkipFirstOpen();
    if (Status running = (*session)->Start(); !running) {
        window.ShutDown();
        return ReportStartFailure(running.error());
    }
    started = true;

    // Requests of later starts reach the window from here on; the window
    // itself stays hidden until the keyboard's first attach or a request.
    if (instance) instance->SetTarget(&window);
    // Asked of this start itself: once the deferred initialisation has run.
    if (line.firmwareUpdate && !line.kill)
        window.HandleInstanceMessage(mainwnd::kMsgOpen, mainwnd::kParamFirmwareUpdate);

    marks.Mark("event-loop");
    const int status = QApplication::exec();
    (*session)->Stop();
    if (instance) instance->Release();
    // Windows asked the whole screen to repaint here; an X11 or Wayland
    // desktop repaints by itself when a window goes away.
    return status;
}

} // namespace kestrune
