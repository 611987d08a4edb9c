#pragma once

// The main window's child dialogs that work on the keyboard: the profile
// manager and the firmware update dialog. They are made once the window has
// its keyboard session and kept until the window goes; the window reaches
// them through its child-window hooks, which this fills and empties again.

#include "ui/CKestrune_DlgProfile.h"
#include "ui/CKestrune_DlgUpdate.h"

#include <memory>

namespace kestrune {

class CKestruneDlg;
class KeyboardSession;
class LanguageTable;
class UserSettings;

class ChildDialogs : private ProfileManagerOwner {
public:
    ChildDialogs(CKestruneDlg& window, KeyboardSession& session, UserSettings& settings, const LanguageTable& language);
    ~ChildDialogs() override;
    ChildDialogs(const ChildDialogs&) = delete;
    ChildDialogs& operator=(const ChildDialogs&) = delete;

    CKestrune_DlgProfile& ProfileManager() { return *m_profileManager; }
    CKestrune_DlgUpdate& UpdateDialog() { return *m_updateDialog; }

private:
    void BuildProfileMenu(bool create) override;
    void SetUnappliedChanges(bool unapplied) override;

    CKestruneDlg& m_window;
    std::unique_ptr<CKestrune_DlgProfile> m_profileManager;
    std::unique_ptr<CKestrune_DlgUpdate> m_updateDialog;
};

} // namespace kestrune
