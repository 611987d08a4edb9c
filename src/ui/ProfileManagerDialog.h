#pragma once

// The profile manager: a list whose first three rows stand for the
// keyboard's three profiles and whose further rows are profile files the
// user added or loaded; the checked row is the profile Apply makes active.
// Apply also keeps the list in the user settings (never read back) and
// rebuilds the configuration from the keyboard.
//
// The dialog object lives as long as the main window and is reused: every
// opening starts again from the three keyboard rows.
//
// Threading: the keyboard exchanges of Apply run through the DeviceJobRunner;
// everything else runs on the GUI thread.

#include "config/Settings.h"
#include "ui/DeviceJobDialog.h"
#include "ui/ImageButton.h"

#include <QString>

#include <filesystem>
#include <functional>
#include <string>

class QTableWidget;
class QTableWidgetItem;
class QPushButton;

namespace kestrune {

class Transfer;

// What the profile manager asks of the window that owns it.
class ProfileManagerOwner {
public:
    virtual ~ProfileManagerOwner() = default;
    virtual void BuildProfileMenu(bool create) = 0;
    virtual void SetUnappliedChanges(bool unapplied) = 0;
    // Apply rebuilds the configuration from the keyboard, which drops edits
    // the window has not sent: the owner settles them first (asks, and sends
    // them when the user wants) and then calls `then` with whether Apply may
    // go on. An owner without edits of its own goes on at once.
    virtual void SettleUnappliedChanges(std::function<void(bool goOn)> then) { then(true); }
};

// Control ids, as the rest of the program knows them.
inline constexpr int kProfileListControl = 1007;
inline constexpr int kProfileAddControl = 1010;
inline constexpr int kProfileLoadControl = 1008;
inline constexpr int kProfileDeleteControl = 1011;
inline constexpr int kProfileApplyControl = 1012;
inline constexpr int kProfileTestControl = 1013;

// Language keys of the list's column headings.
inline constexpr std::string_view kProfileActiveHeadingKey = "PROFILE_COLUMN_ACTIVE";
inline constexpr std::string_view kProfileNameHeadingKey = "PROFILE_COLUMN_NAME";
inline constexpr std::string_view kProfilePathHeadingKey = "PROFILE_COLUMN_PATH";

// Skin keys of the profile manager (section BUTTONINFO of Profile.ini).
inline constexpr std::string_view kProfileListKey = "PROGRAM_LIST";
inline constexpr std::string_view kProfileAddKey = "FUNC_ADD";
inline constexpr std::string_view kProfileLoadKey = "FUNC_LOAD";
inline constexpr std::string_view kProfileDeleteKey = "FUNC_DELETE";
inline constexpr std::string_view kProfileOkKey = "CONTROL_OK";
inline constexpr std::string_view kProfileCancelKey = "CONTROL_CANCEL";
inline constexpr std::string_view kProfileApplyKey = "CONTROL2_APPLY";
inline constexpr std::string_view kProfileTitleKey = "PROFILE_MANAGER_TITLE";

// The file a row stands for, as the list shows it: the name without its
// extension, and the folder with a separator at its end.
struct ProfileRowText {
    QString name;
    QString folder;
};
ProfileRowText RowTextOf(const std::filesystem::path& file);
// The path Apply keeps for a row: folder + name + ".kpf".
QString KeptPathOf(const ProfileRowText& row);
// The name a new profile file is offered under: the profile folder followed by
// the language text, whose backslashes (the text's folder separators) become
// this system's.
QString NewProfileOffer(const std::filesystem::path& profileFolder, std::u16string_view text);

class ProfileManagerDialog : public DeviceJobDialog {
    Q_OBJECT
public:
    ProfileManagerDialog(QWidget* parent, Transfer& transfer, DeviceJobRunner runDevice, UserSettings& settings,
                         const LanguageTable& language, ProfileManagerOwner& owner);
    ~ProfileManagerDialog() override;

    bool OnInitDialog() override;
    // Apply, then close once the keyboard has been read again.
    void OnOK() override;
    // Closes at once; rows added, loaded or deleted are forgotten.
    void OnCancel() override;

    // Cancels the dialog when it is open, as its Cancel button would. Always 1.
    int CloseProfileManager();
    bool IsOpen() const { return m_openCount > 0; }
    int OpenCount() const { return m_openCount; }
    bool ApplyPending() const { return m_applyPending; }
    // A switch made elsewhere while the dialog is open: the row of that
    // keyboard profile becomes the checked one, and Apply is disabled.
    void ShowSwitchedProfile(int profile);

    void OnAdd();
    void OnLoad();
    void OnDelete();
    void OnApply();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void SetUpList();
    void SetHeadings();
    void PlaceControls();
    void FillList();
    void AppendRow(const std::filesystem::path& file, int keyboardProfile);
    int FirstCheckedRow() const;
    int KeyboardProfileOfRow(int row) const;
    QString RowFile(int row) const; // the full path of the file a row stands for
    void OnItemChanged(QTableWidgetItem* item);
    void SetApplyPending(bool pending);
    void StartApply(bool closeAfter);
    void RunApply(bool closeAfter);
    void FinishApply(unsigned opening, int profile, int switchedTo, bool closeAfter);
    void CloseDialog(bool accepted);

    Transfer& m_transfer;
    UserSettings& m_settings;
    ProfileManagerOwner& m_owner;

    QTableWidget* m_list;
    ImageButton* m_add;
    ImageButton* m_load;
    ImageButton* m_delete;
    ImageButton* m_ok;
    ImageButton* m_cancel;
    ImageButton* m_apply;
    QPushButton* m_test;

    int m_openCount = 0;
    unsigned m_opening = 0; // counts openings, so late work knows whether its opening is still on
    bool m_applyPending = false;
    bool m_checking = false; // inside the single-check bookkeeping
    bool m_settling = false; // Apply waits for the owner to settle its unsent edits
};

} // namespace kestrune
