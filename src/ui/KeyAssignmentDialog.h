#pragma once

// The key assignment dialog: what one key (or macro key G1..G9) does, chosen
// in four panes (single key, macro, media, keyboard function), and the
// program's macro editor, which is its macro pane. Edits live in the dialog
// until Apply or OK writes them into the current profile of the current
// configuration copy; sending them to the keyboard is the main window's Apply.

#include "config/ConfigStore.h"
#include "config/KeyDialogCommit.h"
#include "macro/MacroActionList.h"
#include "macro/MacroRecorder.h"
#include "ui/DeviceJobRunner.h"
#include "ui/ImageButton.h"
#include "ui/Skin.h"
#include "ui/SkinnedDialog.h"
#include "ui/X11KeyGrab.h"

#include <QRect>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QKeyEvent;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestrune {

class ColourLabel;
class UserSettings;

namespace keydlg {
// Control numbers of the dialog.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdApply = 1015;
inline constexpr int kIdMacroAdd = 1017;
inline constexpr int kIdMacroDelete = 1018;
inline constexpr int kIdActionList = 1019;
inline constexpr int kIdRecord = 1020;
inline constexpr int kIdActionDelete = 1021;
inline constexpr int kIdActionClear = 1022;
inline constexpr int kIdActionTop = 1023;
inline constexpr int kIdActionUp = 1024;
inline constexpr int kIdActionDown = 1025;
inline constexpr int kIdActionBottom = 1026;
inline constexpr int kIdRecordDelay = 1027;
inline constexpr int kIdTabKey = 1028;
inline constexpr int kIdTabMacro = 1029;
inline constexpr int kIdTabMedia = 1030;
inline constexpr int kIdTabFunction = 1031;
inline constexpr int kIdClear = 1032;
inline constexpr int kIdMask = 1033;
inline constexpr int kIdCycles = 1125;
inline constexpr int kIdMacroName = 1126;
inline constexpr int kIdKeyInput = 1127;
inline constexpr int kIdMediaSelect = 1128;
inline constexpr int kIdFunctionSelect = 1129;
inline constexpr int kIdTitle = 1131;
inline constexpr int kIdOsk = 1132;

// The main window's buttons of G1..G9; G9 opens the dialog for macros only.
inline constexpr std::array<int, kGKeyCount> kGKeyButtonIds = {1000, 1001, 1002, 1003, 1004, 1140, 1141, 1142, 1143};
inline constexpr int kMacroOnlyButtonId = 1143;

inline constexpr int kMaxRecordedDelayMs = 40000;
} // namespace keydlg

// Where the dialog places itself: its top-left at the button's bottom-right,
// or moved to the right-above, left-below or left-above of the button when
// the screen has no room there (screen = the available area).
QPoint PlaceBesideButton(const QRect& button, const QSize& dialog, const QRect& screen);

// The on-screen keyboards the OSK button starts, the first one installed.
QStringList OnScreenKeyboardPrograms();

// What the dialog needs from the main window. Every member may be empty.
struct KeyDialogHost {
    std::function<int()> activeProfile; // -1 when unknown (the dialog then edits profile 0)
    std::function<bool()> bankB;
    // The ordinary key of a key button id, nullopt for other ids.
    std::function<std::optional<KeyIndex>(int buttonId)> keyOfButton;
    // The button's place on the screen.
    std::function<QRect(int buttonId)> buttonRect;
    // The button's look: pressed while the dialog is open on it, then its
    // plain or assigned look.
    std::function<void(int buttonId, bool pressed)> showButtonPressed;
    std::function<void(int buttonId, bool assigned)> showButtonAssigned;
    // ResetKeyButton: the button of a slot (of the profile shown) back to no assignment.
    std::function<void(std::size_t slot)> resetKeyButton;
    // The main window's Apply becomes available.
    std::function<void()> setUnappliedChanges;
    // RefreshKeyTooltips: every key button's tooltip and look.
    std::function<void()> refreshKeyTooltips;
    // The keyboard's macro space in bytes; 0 when not known.
    std::function<std::size_t()> macroCapacity;
    // Where the dialog's reads and writes of the configuration copy wait
    // while someone else (a download) holds it, so the GUI thread never
    // does. Empty: the GUI thread waits (a host without a device thread).
    DeviceJobRunner runDevice;
};

// Answers the dialog's message boxes: the text, and whether it is a Yes/No
// question (No the default). Gives true for Yes (or OK).
using KeyDialogAsk = std::function<bool(const QString& text, bool question)>;

class KeyAssignmentDialog : public SkinnedDialog {
    Q_OBJECT
public:
    KeyAssignmentDialog(ConfigStore& store, UserSettings& settings, KeyDialogHost host, QWidget* parent = nullptr);
    ~KeyAssignmentDialog() override;

    // Opens the dialog on a main-window button and runs it modally; gives
    // the dialog's result, or -1 when the id is no key of the window.
    int OpenKeyDialog(int buttonId);
    // The same without the modal loop (the dialog stays open, window-modal).
    bool Open(int buttonId);
    // Closes it as Cancel would, when it is open.
    void CloseIfOpen();
    bool IsOpen() const { return m_openCount > 0; }

    void SetAsk(KeyDialogAsk ask) { m_ask = std::move(ask); }

    // State, for the main window and for tests.
    std::size_t Slot() const { return m_slot; }
    bool MacroOnly() const { return m_macroOnly; }
    AssignmentType PaneType() const { return m_paneType; }
    KeyIndex CapturedKey() const { return m_capturedKey; }
    bool Recording() const { return m_recorder.IsRecording(); }
    int RecordDelayOption() const { return m_recordDelay; }
    int CurrentMacro() const { return m_currentMacro; }
    const MacroActionList& Actions() const { return m_actions; }
    // Reads or writes of the configuration copy wait on the device thread.
    bool WaitingForCopy() const { return m_storeWaits > 0; }
    // The editor's macro copies, in the name box's order.
    std::vector<MacroRecord> EditedMacros() const;
    // The keys held by the desktop-wide grab now.
    const std::vector<std::uint32_t>& GrabbedKeys() const { return m_grab.Grabbed(); }

    // The commands, as the controls run them.
    void OnTab(AssignmentType pane);
    void OnClear();
    void OnApply();
    void OnOK() override;
    void OnCancel() override;
    void OnMacroAdd();
    void OnMacroDelete();
    void OnActionDelete();
    void OnActionClear();
    void OnActionMove(RowMove move);
    void OnRecordDelayClicked();
    // The OSK button: starts the desktop's on-screen keyboard, or says none is installed.
    void OnOnScreenKeyboard();
    void ToggleRecording();
    // In-place cell edits of the action list; the delay text as typed.
    void EditActionKey(int row, int listCode);
    void EditActionDirection(int row, int direction);
    void EditActionDelay(int row, const QString& text);
    void SelectAction(int row);

    bool OnInitDialog() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    enum class Hook { None, Capture, Record };

    ImageButton* MakeButton(int id, const char* skinKey);
    void LoadPictures();
    void PlaceControls();
    void SetTexts();
    std::size_t Profile() const;
    void PlaceBeside(int buttonId);
    void ShowPane(bool opening);
    void SetHook(Hook hook);
    bool HandleKey(QKeyEvent* event);
    void StopRecordingIfOn();
    void EnableApply(bool on);
    bool ConfirmMacroSpace();
    bool Commit();
    void Closing();
    // What an opening reads from the copy.
    struct OpeningRead {
        std::vector<MacroRecord> macros;
        KeyAssignment stored;
    };
    void ShowOpeningRead(const OpeningRead& read);
    // Runs `use` on the copy under its lock and then `then`: here and now
    // when the lock is free, else on the device thread with `then` back
    // here afterwards.
    void WithCurrentCopy(std::function<void(CurrentCopy&)> use, std::function<void()> then);

    // The macro editor.
    void LoadMacroList(bool opening, const std::vector<MacroRecord>& macros);
    void ClearMacroList();
    void LoadActions(bool opening);
    void SaveActions(int position);
    void AddRecordedAction(const MacroAction& action);
    bool MacroDeletionAllowed(const MacroRecord& record, bool played);
    void DeleteMacro(std::size_t position);
    void OnNameSelected(int index);
    void OnNameTyped(const QString& text);
    void OnCyclesTyped(const QString& text);
    void RefreshActionView();
    QTreeWidgetItem* MakeActionItem(const MacroAction& action) const;
    void ShowSelectedAction();
    void EnableActionButtons();
    std::vector<std::u16string> MacroNames() const;

    ConfigStore& m_store;
    UserSettings& m_settings;
    KeyDialogHost m_host;
    KeyDialogAsk m_ask;

    // Dialog state.
    std::size_t m_slot = 0;
    int m_buttonId = 0;
    bool m_macroOnly = false;
    AssignmentType m_paneType = AssignmentType::Default;
    KeyIndex m_capturedKey = kNoKey;
    std::uint32_t m_storedValue = 0;
    std::uint16_t m_storedAux = 0;
    int m_recordDelay = 0;
    int m_currentMacro = -1;
    int m_nameCounter = 0;
    bool m_firstMacroPane = true;
    bool m_suppressSelection = false;
    int m_openCount = 0;
    unsigned m_opening = 0; // counts openings, so a late read knows whether its opening is still on
    bool m_loading = false; // the opening's read of the copy has not come back yet
    int m_storeWaits = 0;   // work on the copy waiting on the device thread
    bool m_picturesLoaded = false;
    std::uint32_t m_recordClickTime = 0;

    // One copy per line of the name box.
    std::vector<std::unique_ptr<MacroRecord>> m_macros;
    MacroActionList m_actions;
    MacroRecorder m_recorder;
    Hook m_hook = Hook::None;
    X11KeyGrab m_grab;

    struct PictureSet {
        StateImage normal, over, down, disable;
    };
    PictureSet m_keySet, m_macroSet, m_macro2Set, m_mediaSet, m_functionSet;

    // Controls.
    ImageButton *m_tabKey, *m_tabMacro, *m_tabMedia, *m_tabFunction, *m_clear, *m_ok, *m_cancel, *m_apply, *m_title,
        *m_osk, *m_mask;
    ImageButton *m_macroAdd, *m_macroDelete, *m_record, *m_actionDelete, *m_actionClear, *m_actionTop, *m_actionUp,
        *m_actionDown, *m_actionBottom;
    QLineEdit* m_keyInput;
    QComboBox* m_mediaSelect;
    QComboBox* m_functionSelect;
    QComboBox* m_macroName;
    QLineEdit* m_cycles;
    QCheckBox* m_recordDelayBox;
    QTreeWidget* m_actionView;
    ColourLabel *m_keyHint, *m_mediaHint, *m_functionHint, *m_generalHint, *m_nameLabel, *m_recordDelayLabel,
        *m_cyclesLabel;
};

} // namespace kestrune
