#pragma once

// What the dialog tests share: a home folder of their own (so the profile
// folder and the user settings are the test's), a program folder with the
// default skin, the emulator's device library bound through the real
// binding in a keyboard controller as the program makes it, and scripted
// answers to every message box and file dialog.

#include "UiTestSupport.h"
#include "support/EnvOverride.h"
#include "support/QuickTiming.h"
#include "support/RecordingReporter.h"
#include "support/ScratchFolder.h"

#include "ui/DeviceJobRunner.h"
#include "ui/UserDialogs.h"

#include "config/ConfigStore.h"
#include "config/Folders.h"
#include "config/LanguageTable.h"
#include "config/Settings.h"
#include "device/CommandProtocol.h"
#include "device/DeviceEvents.h"
#include "device/DeviceLibrary.h"
#include "device/Transfer.h"
#include "emulator/ControlSocket.h"
#include "emulator/KeyboardState.h"
#include "emulator/StateFile.h"
#include "session/KeyboardController.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kestrune::test {

using kestrune::testing::EnvOverride;
using kestrune::testing::QuickTiming;
using kestrune::testing::RecordingReporter;
using kestrune::testing::ScratchFolder;

// The main window's side of the keyboard's events, as far as the dialogs
// need it: how often the configuration was read from the keyboard again.
class CountingObserver : public KeyboardObserver {
public:
    std::atomic<int> refreshes{0};

    void ConfigurationReplaced(ConfigurationSource, bool) override { ++refreshes; }
};

// A folder nobody may write to, the caller included: the mode is taken
// away, and where that does not stop the caller (a superuser) the folder is
// made immutable as well. Usable() is false when neither works here.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(std::filesystem::path folder) : m_folder(std::move(folder))
    {
        std::filesystem::permissions(m_folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        if (::access(m_folder.c_str(), W_OK) == 0) m_immutable = SetImmutable(true);
    }
    ~ReadOnlyFolder()
    {
        if (m_immutable) SetImmutable(false);
        std::error_code ec;
        std::filesystem::permissions(m_folder, std::filesystem::perms::owner_all, ec);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    bool Usable() const { return m_immutable || ::access(m_folder.c_str(), W_OK) != 0; }

private:
    bool SetImmutable(bool on)
    {
        const int fd = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return done;
    }

    std::filesystem::path m_folder;
    bool m_immutable = false;
};

// With KESTRUNE_SCREENSHOTS naming a folder, the dialog as drawn is kept there
// for a person to look at.
inline void SaveScreenshot(QWidget& widget, const char* name)
{
    if (const char* folder = std::getenv("KESTRUNE_SCREENSHOTS"))
        widget.grab().save(QString::fromLocal8Bit(folder) + "/" + name);
}

// Answers every message box (OK; a question with the next scripted answer,
// else its default No) and file dialog (the next scripted file; an empty one
// cancels) and keeps what was asked.
class ScriptedDialogs {
public:
    ScriptedDialogs()
    {
        SetMessageBoxHook([this](const MessageBoxRequest& request) {
            messages.push_back(request);
            if (!request.question) return QMessageBox::Ok;
            const bool yes = !answers.empty() && answers.front();
            if (!answers.empty()) answers.pop_front();
            return yes ? QMessageBox::Yes : QMessageBox::No;
        });
        SetFileDialogHook([this](const FileDialogRequest& request) {
            fileDialogs.push_back(request);
            if (files.empty()) return QString();
            const QString chosen = files.front();
            files.pop_front();
            return chosen;
        });
        SetOpenUrlHook([this](const QUrl& url) {
            opened.push_back(url);
            return true;
        });
    }
    ~ScriptedDialogs()
    {
        SetMessageBoxHook({});
        SetFileDialogHook({});
        SetOpenUrlHook({});
    }
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    QStringList Texts() const
    {
        QStringList texts;
        for (const MessageBoxRequest& m : messages) texts << m.text;
        return texts;
    }

    std::deque<bool> answers; // true: Yes
    std::deque<QString> files;
    std::vector<MessageBoxRequest> messages;
    std::vector<FileDialogRequest> fileDialogs;
    std::vector<QUrl> opened;
};

class KeyboardDialogTest : public QtTest {
protected:
    void SetUp() override
    {
        const std::filesystem::path skins = SkinFolder();
        ASSERT_TRUE(std::filesystem::exists(skins / "Profile.ini")) << "the default skin is not built";
        program = scratch / "program";
        std::filesystem::create_directories(program);
        std::filesystem::create_directory_symlink(skins, program / "Skins");
        SetProgramFolder(program);

        home = scratch / "home";
        std::filesystem::create_directories(home);
        ASSERT_TRUE(emulator::SaveStateFile(scratch / "state.json", emulator::FactoryKeyboardState()).ok());
        KeyboardControllerOptions options;
        options.session.libraryPath = EMULATOR_LIBRARY;
        options.session.timing = QuickTiming();
        options.observer = &SessionObserver();
        auto made = KeyboardController::Create(std::move(options), SessionReporter());
        ASSERT_TRUE(made.ok()) << made.error();
        keyboard = std::move(*made);
        protocol = &keyboard->Protocol();
        transfer = &keyboard->GetTransfer();
        BeforeStart();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(keyboard->Start().ok());
        // The attach may need the GUI thread (a main window's refresh).
        ASSERT_TRUE(WaitUntil([&] { return keyboard->Attached(); }));
        keyboard->WaitForAttach();
        ASSERT_EQ(transfer->CachedActiveProfile(), 0);
    }

    // Who hears the keyboard's events and the transfer's messages, and what
    // runs before the events start: a counting observer unless a test says otherwise.
    virtual KeyboardObserver& SessionObserver() { return observer; }
    virtual Reporter& SessionReporter() { return reporter; }
    virtual void BeforeStart() {}

    void TearDown() override
    {
        if (keyboard) keyboard->Stop();
        keyboard.reset();
        SetProgramFolder(std::nullopt);
    }

    std::filesystem::path ProfileFolderPath() const { return home / "Documents" / "Mechanical Keyboard"; }

    // A command to the running emulator; fails the test when refused.
    std::string Control(const std::vector<std::string>& words)
    {
        auto reply = emulator::SendControlCommand(scratch / "control", words);
        EXPECT_TRUE(reply.ok() && reply->has_value()) << (reply.ok() ? "no emulator" : reply.error());
        if (!reply.ok() || !reply->has_value()) return {};
        EXPECT_TRUE((*reply)->ok) << (*reply)->text;
        return (*reply)->text;
    }

    // The command reports the keyboard has taken, oldest first, in hex.
    std::vector<std::string> Received()
    {
        std::vector<std::string> lines;
        std::istringstream text(Control({"received"}));
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        return lines;
    }

    int KeyboardActiveProfile()
    {
        auto state = emulator::KeyboardStateFromJson(Control({"dump"}));
        EXPECT_TRUE(state.ok());
        return state.ok() ? state->settings[wire::kSettingsActiveProfile] : -1;
    }

    ScratchFolder scratch;
    std::filesystem::path program;
    std::filesystem::path home;
    EnvOverride homeVariable{"HOME", (scratch / "home").string()};
    EnvOverride configVariable{"XDG_CONFIG_HOME", (scratch / "config").string()};
    EnvOverride stateVariable{emulator::kStateFileVariable, (scratch / "state.json").string()};
    EnvOverride socketVariable{emulator::kControlSocketVariable, (scratch / "control").string()};
    EnvOverride latencyVariable{"KESTRUNE_EMULATOR_LATENCY_US", "0"};
    EnvOverride bootVariable{"KESTRUNE_EMULATOR_BOOT_MS", "300"};
    EnvOverride faultsVariable{"KESTRUNE_EMULATOR_FAULTS", std::nullopt};

    LanguageTable language; // the built-in texts
    ScriptedDialogs prompts;
    // The keyboard thread a main window gives its dialogs: the controller's worker.
    DeviceJobRunner runDevice = [this](std::function<void()> job, std::function<void()> then) {
        (void)keyboard->RunOnWorker([job = std::move(job), then = std::move(then)] {
            job();
            QMetaObject::invokeMethod(QCoreApplication::instance(), then, Qt::QueuedConnection);
        });
    };
    IniUserSettings settings{scratch / "config" / "user.ini"};

    RecordingReporter reporter;
    CountingObserver observer;
    std::unique_ptr<KeyboardController> keyboard;
    CommandProtocol* protocol = nullptr;
    Transfer* transfer = nullptr;
    ConfigStore& Store() { return keyboard->Store(); }
};

} // namespace kestrune::test
