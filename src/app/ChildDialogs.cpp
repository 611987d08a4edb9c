#include "app/ChildDialogs.h"

#include "app/AboutDlg.h" // completes the window's QPointer member
#include "app/KestruneDlg.h"
#include "session/KeyboardSession.h"

namespace kestrune {

ChildDialogs::ChildDialogs(CKestruneDlg& window, KeyboardSession& session, UserSettings& settings,
                           const LanguageTable& language)
    : m_window(window)
{
    // Keyboard work queues on the window's one device thread, behind the window's own.
    DeviceJobRunner runDevice = [&window](std::function<void()> job, std::function<void()> then) {
        window.RunOnDevice(std::move(job), std::move(then));
    };
    m_profileManager = std::make_unique<CKestrune_DlgProfile>(&window, session.GetTransfer(), runDevice, settings,
                                                              language, static_cast<ProfileManagerOwner&>(*this));
    m_updateDialog =
        std::make_unique<CKestrune_DlgUpdate>(&window, session.Protocol(), session.Store(), runDevice, language);

    ChildWindowHooks& hooks = window.Children();
    hooks.runProfileManager = [this] { m_profileManager->exec(); };
    hooks.profileManagerApplyPending = [this] { return m_profileManager->ApplyPending(); };
    hooks.profileManagerSwitched = [this](int profile) { m_profileManager->ShowSwitchedProfile(profile); };
    hooks.closeProfileManager = [this] { m_profileManager->CloseProfileManager(); };
    hooks.runUpdateDialog = [this] { m_updateDialog->exec(); };
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
}

void ChildDialogs::SetUnappliedChanges(bool unapplied)
{
    m_window.SetUnappliedChanges(unapplied);
}

} // namespace kestrune
