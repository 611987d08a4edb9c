#pragma once

// The main window's child dialogs that work on the keyboard: the profile
// manager and the firmware update dialog. Each is made the first time it is
// needed and kept until the window goes; the window reaches them through its
// child-window hooks, which this fills and empties again.

#include "ui/FirmwareUpdateDialog.h"
#include "ui/ProfileManagerDialog.h"

#include <memory>

namespace kestrune {

class MainWindow;
class KeyboardSession;
class LanguageTable;
class UserSettings;

class ChildDialogs : private ProfileManagerOwner {
public:
    ChildDialogs(MainWindow& window, KeyboardSession& session, UserSettings& settings, const LanguageTable& language);
    ~ChildDialogs() override;
    ChildDialogs(const ChildDialogs&) = delete;
    ChildDialogs& operator=(const ChildDialogs&) = delete;

    // Made here when not yet made: most runs never open them, and a start in
    // the tray should not wait for their widgets.
    ProfileManagerDialog& ProfileManager();
    FirmwareUpdateDialog& UpdateDialog();

private:
    DeviceJobRunner DeviceRunner();
    void BuildProfileMenu(bool create) override;
    void SetUnappliedChanges(bool unapplied) override;
    void SettleUnappliedChanges(std::function<void(bool goOn)> then) override;

    MainWindow& m_window;
    KeyboardSession& m_session;
    UserSettings& m_settings;
    const LanguageTable& m_language;
    std::unique_ptr<ProfileManagerDialog> m_profileManager;
    std::unique_ptr<FirmwareUpdateDialog> m_updateDialog;
};

} // namespace kestrune
