#include "app/ChildDialogs.h"

#include "app/AboutDialog.h" // completes the window's QPointer member
#include "app/MainWindow.h"
#include "session/KeyboardSession.h"

namespace kestrune {

ChildDialogs::ChildDialogs(MainWindow& window, KeyboardSession& session, UserSettings& settings,
                           const LanguageTable& language)
    : m_window(window), m_session(session), m_settings(settings), m_language(language)
{
    ChildWindowHooks& hooks = window.Children();
    hooks.runProfileManager = [this] { ProfileManager().exec(); };
    // A manager never made is not open: nothing pending, nothing to show or close.
    hooks.profileManagerApplyPending = [this] { return m_profileManager && m_profileManager->ApplyPending(); };
    hooks.profileManagerSwitched = [this](int profile) {
        if (m_profileManager) m_profileManager->ShowSwitchedProfile(profile);
    };
    hooks.closeProfileManager = [this] {
        if (m_profileManager) m_profileManager->CloseProfileManager();
    };
    hooks.runUpdateDialog = [this] { UpdateDialog().exec(); };
}

DeviceJobRunner ChildDialogs::DeviceRunner()
{
    // Keyboard work queues on the window's one device thread, behind the window's own.
    return [&window = m_window](std::function<void()> job, std::function<void()> then) {
        window.RunOnDevice(std::move(job), std::move(then));
    };
}

ProfileManagerDialog& ChildDialogs::ProfileManager()
{
    if (!m_profileManager) {
        m_profileManager =
            std::make_unique<ProfileManagerDialog>(&m_window, m_session.GetTransfer(), DeviceRunner(), m_settings,
                                                   m_language, static_cast<ProfileManagerOwner&>(*this));
    }
    return *m_profileManager;
}

FirmwareUpdateDialog& ChildDialogs::UpdateDialog()
{
    if (!m_updateDialog) {
        m_updateDialog = std::make_unique<FirmwareUpdateDialog>(&m_window, m_session.Protocol(), m_session.Store(),
                                                                DeviceRunner(), m_language);
    }
    return *m_updateDialog;
}

ChildDialogs::~ChildDialogs()
{
    ChildWindowHooks& hooks = m_window.Children();
    hooks.runProfileManager = {};
    hooks.profileManagerApplyPending = {};
    hooks.profileManagerSwitched = {};
    hooks.closeProfileManager = {};
    hooks.runUpdateDialog = {};
}

void ChildDialogs::BuildProfileMenu(bool create)
{
    m_window.BuildProfileMenu(create);
    // The profile buttons follow the manager's switch, as the menu does,
    // instead of going on showing the profile the keyboard has left.
    m_window.ShowActiveProfileButton();
}

void ChildDialogs::SettleUnappliedChanges(std::function<void(bool goOn)> then)
{
    // The question a profile button asks: No lets the edits go with the rebuild.
    if (!m_window.UnappliedChanges() || !m_window.GetReporter().Ask({"PROFILE_SELECT_PROMPT", {}})) {
        then(true);
        return;
    }
    // Yes: the edits go to the profile they were made on, and only when the
    // keyboard took them does the manager switch and rebuild.
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(&m_window, &MainWindow::applyFinished, m_profileManager.get(),
                                   [connection, then = std::move(then)](bool succeeded) {
                                       QObject::disconnect(*connection);
                                       then(succeeded);
                                   });
    m_window.Apply();
}

void ChildDialogs::SetUnappliedChanges(bool unapplied)
{
    m_window.SetUnappliedChanges(unapplied);
}

} // namespace kestrune
