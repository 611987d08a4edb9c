#include "app/Startup.h"

#include "app/AboutDlg.h"
#include "app/ChildDialogs.h"
#include "app/CTrayIcon.h"
#include "app/CommandLine.h"
#include "app/KestruneDlg.h"
#include "app/MainWindowIds.h"
#include "app/SingleInstance.h"
#include "common/Version.h"
#include "config/Folders.h"
#include "config/LanguageTable.h"
#include "config/Settings.h"
#include "session/KeyboardSession.h"
#include "ui/Skin.h"
#include "ui/UserDialogs.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QIcon>
#include <QProcess>
#include <QWidget>

#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <string>

namespace kestrune {

namespace {

// The companion program beside the program. It lies outside this program:
// started when this one starts as the only instance, never waited for,
// signalled or stopped, and its absence is no error.
constexpr const char* kCompanionProgram = "KeyAgent";

// A start-up step that failed ends the program, and says so: on standard
// error for a terminal or a log, and in a box for the user who clicked an icon.
[[noreturn]] void FailStart(const std::string& what)
{
    std::fprintf(stderr, "kestrune: %s\n", what.c_str());
    std::fflush(stderr);
    if (QApplication::instance() != nullptr)
        ShowInformation(nullptr, QString::fromStdString("The keyboard program cannot start:\n" + what));
    std::exit(kExitFailed);
}

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
// from it on standard error.
class StartupMarks : public QObject {
public:
    explicit StartupMarks(QWidget* window)
    {
        bool ok = false;
        m_t0 = qEnvironmentVariable("KESTRUNE_BENCH_T0").toLongLong(&ok);
        if (!ok) return;
        m_window = window;
        window->installEventFilter(this);
    }
    void Mark(const char* name) const
    {
        if (m_window == nullptr) return;
        timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const qint64 ns = qint64(now.tv_sec) * 1000000000 + now.tv_nsec - m_t0;
        std::fprintf(stderr, "kestrune-bench: %s %.1f ms\n", name, double(ns) / 1e6);
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
    if (line.kill) request = {mainwnd::kMsgKill, mainwnd::kParamKill, 0, {}};
    else if (line.firmwareUpdate) request = {mainwnd::kMsgOpen, mainwnd::kParamFirmwareUpdate, 0, {}};
    else request = {mainwnd::kMsgOpen, mainwnd::kParamOpen, 0, {}};
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
    const std::string programName = argc > 0 ? QFileInfo(QString::fromLocal8Bit(argv[0])).fileName().toStdString()
                                             : std::string("kestrune");
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

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrune"));
    QApplication::setApplicationVersion(QString::fromLatin1(VersionString()));
    QApplication::setDesktopFileName(QStringLiteral("kestrune"));
    // The program lives in the tray: closing its last window never ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    // The per-user settings branch is the file of UserSettingsPath(), named
    // from the program file; nothing needs registering for it.
    // Paths: everything is found beside the program file (ProgramFolder).
    LoadLanguageTable();
    // CurrentLock and WorkingLock belong to the keyboard session's store and
    // live as long as it does.

    if (instance) {
        if (Status listening = instance->Listen(); !listening) {
            std::fprintf(stderr, "kestrune: %s; later starts will not find this one\n", listening.error().c_str());
        }
    }
    StartCompanion();

    // A skin picture that cannot be made ends the program with its reason.
    SetPictureFailureHandler([](const std::string& why) { FailStart(why); });
    auto icons = LoadTrayIcons(SkinFolder());
    if (!icons) FailStart(icons.error());
    QApplication::setWindowIcon(icons->byId.at(kIconDetached));

    IniUserSettings settings;
    CKestruneDlg window(settings);
    CTrayIcon tray;

    auto library = KeyboardSession::ProgramLibraryPath(line.emulator);
    if (!library) FailStart("cannot find the device library: " + library.error());
    KeyboardSessionOptions options;
    options.libraryPath = *library;
    options.sink = &window;
    auto session = KeyboardSession::Create(std::move(options), window.GetReporter());
    if (!session) FailStart(session.error());
    window.SetKeyboard({&(*session)->Store(), &(*session)->GetTransfer(), &(*session)->GetLighting(),
                        &(*session)->Events()});
    ChildDialogs children(window, **session, settings, TheLanguageTable());

    // The deferred initialisation adds the tray icon; the window's state
    // icon, tip and exit reach the tray from there on.
    StartupMarks marks(&window);
    QObject::connect(&window, &CKestruneDlg::deferredInitialisation, &tray, [&] {
        if (!tray.Create(&window, *icons, window.TrayTip(), kIconDetached))
            std::fprintf(stderr, "kestrune: the tray icon could not be added\n");
        tray.SetSingleClickCommand(mainwnd::kIdProfileMenu);
        marks.Mark("tray-ready");
    });
    QObject::connect(&window, &CKestruneDlg::trayIconChanged, &tray, &CTrayIcon::SetIcon);
    QObject::connect(&window, &CKestruneDlg::trayTipChanged, &tray, &CTrayIcon::SetTip);
    QObject::connect(&tray, &CTrayIcon::Command, &window, &CKestruneDlg::OnCommand);
    QObject::connect(&window, &CKestruneDlg::exitRequested, &app, [&] {
        tray.Delete();
        QApplication::quit();
    });

    // The skin; a file that cannot be read has ended the program by now
    // through the picture handler, anything else wrong with it ends it here.
    if (!window.Initialise()) FailStart("cannot load the skin " + window.SkinIniPath().string());

    // The device events start last, so every way the start can fail comes
    // before any thread runs.
    // "/Start": the first attach leaves the window in the tray.
    if (line.start) (*session)->Events().SkipFirstOpen();
    if (Status started = (*session)->Start(); !started) FailStart(started.error());

    // Requests of later starts reach the window from here on; the window
    // itself stays hidden until the keyboard's first attach or a request.
    if (instance) instance->SetTarget(&window);
    // Asked of this start itself: once the deferred initialisation has run.
    if (line.firmwareUpdate && !line.kill)
        window.HandleInstanceMessage(mainwnd::kMsgOpen, mainwnd::kParamFirmwareUpdate);

    const int status = app.exec();
    (*session)->Stop();
    if (instance) instance->Release();
    // Windows asked the whole screen to repaint here; an X11 or Wayland
    // desktop repaints by itself when a window goes away.
    return status;
}

} // namespace kestrune
