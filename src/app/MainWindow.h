#pragma once

// The program's main window: the keyboard picture with a button per key,
// the profile buttons, Apply, OK, Cancel and the window buttons, the button
// menu, and the hub every other part of the program reaches the window
// through: device events (as its DeviceEventSink), messages for the user
// (its Reporter), the tray, a second instance and the child windows.
//
// Threading rules:
// - The window lives on the GUI thread. Everything that talks to the
//   keyboard runs on its DeviceWorker; results come back as queued calls.
// - The DeviceEventSink operations may be called from any thread. Those the
//   device events send (refresh after attach) run their keyboard work on the
//   worker and wait for it there, never for the GUI thread; the rest post a
//   message and return.
// - The GUI thread never blocks on CurrentLock: a download holds it for
//   seconds. Display refreshes try the lock and come back shortly when it is
//   busy.

#include "app/DeviceWorker.h"
#include "app/MainWindowIds.h"
#include "common/Reporter.h"
#include "device/DeviceEvents.h"
#include "ui/ImageButton.h"
#include "ui/LightingPanel.h"
#include "ui/Skin.h"
#include "ui/SkinnedDialog.h"
#include "ui/StatePictureBatch.h"

#include <QPointer>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class QLabel;
class QMenu;
class QTimer;

namespace kestrune {

class CommandProtocol;
class ConfigStore;
class CurrentCopy;
class Lighting;
class KeyboardSession;
class Transfer;
class UserSettings;
class AboutDialog;
class KeyAssignmentDialog;
struct KeyAssignment;

// The keyboard as the window uses it: the parts of the keyboard session.
// Any of them may be missing (the window then behaves as with no keyboard).
struct KeyboardLink {
    ConfigStore* store = nullptr;
    Transfer* transfer = nullptr;
    Lighting* lighting = nullptr;
    DeviceEvents* events = nullptr;
    CommandProtocol* protocol = nullptr;
};

// Where the child windows plug into the main window. Each is optional: a
// window that is not there is never open and has nothing to close.
struct ChildWindowHooks {
    // The key dialog on a key button (or 1143 from the macro button, macros only).
    std::function<void(int buttonId)> openKeyDialog;
    std::function<bool()> keyDialogOpen;
    std::function<void()> closeKeyDialog; // as its Cancel would
    // Command 1005: the profile manager, modal.
    std::function<void()> runProfileManager;
    std::function<bool()> profileManagerApplyPending;
    // A switch while the profile manager is open checks that row and disables its Apply.
    std::function<void(int profile)> profileManagerSwitched;
    std::function<void()> closeProfileManager;
    // Command 32780: the firmware update dialog, modal.
    std::function<void()> runUpdateDialog;
};

// Where the lighting panel plugs in.
struct LightingPanelHooks {
    std::function<void()> refresh; // RefreshLightingPanel, after the lighting state was read
    std::function<bool()> perKeyLightSwitchOn;
    std::function<void()> switchOffKeyLights;
    std::function<void(int buttonId)> paintKeyColour;
    std::function<void()> restoreDefaults;
    // After a language switch: the panel's captions and effect names.
    std::function<void(int languageIndex)> recaption;
    // A left press on the window's background (the colour ring lies there):
    // true when the panel took it, else the window is dragged.
    std::function<bool(QPoint position)> backgroundPress;
};

class MainWindow : public SkinnedDialog, public DeviceEventSink {
    Q_OBJECT
public:
    // The skin is Skins/Main.ini beside the program; `settings` is the
    // per-user settings branch (layout variant).
    MainWindow(UserSettings& settings, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The window's initialisation, hidden: skin, controls, captions; then the
    // deferred initialisation is posted. False when the skin cannot be loaded.
    bool Initialise();
    void SetKeyboard(const KeyboardLink& link);
    // The parts of a session made with this window as its sink and reporter.
    // The window's worker must stop (ShutDown) before the session does.
    void SetKeyboard(KeyboardSession& session);
    const KeyboardLink& Keyboard() const { return m_link; }
    ChildWindowHooks& Children() { return m_children; }
    LightingPanelHooks& LightingHooks() { return m_lighting; }
    // The lighting panel, made once the keyboard's lighting is known.
    LightingPanel* LightingPanelControls() const { return m_panel; }
    Reporter& GetReporter();

    // --- Operations offered to the rest of the program --------------------
    void ShowMainWindow();
    // 'OPEN' and 'KILL' from a second instance: handled when this returns.
    void HandleInstanceMessage(int message, std::uint32_t param);
    // A menu or button command by its number.
    void OnCommand(int command);
    void SetUnappliedChanges(bool pending);
    bool UnappliedChanges() const { return m_unappliedChanges; }
    // Apply as the Apply button: the download runs on the worker.
    void Apply();
    // The posted 0x1E: Apply once the event loop gets to it.
    void PostApply();
    bool ApplyRunning() const { return m_applyRunning; }
    int SwitchProfile(int index);
    void BuildProfileMenu(bool create);
    QMenu* ProfileMenu() const { return m_profileMenu; }
    // Hides, shuts down and asks the program to end (exitRequested).
    void Exit();
    int ShutDown();
    // Closes the About box, the profile manager and the key dialog.
    void CloseChildWindows();
    // The button menu with its entries for the present language.
    QMenu* BuildButtonMenu();
    int TrayIconId() const { return m_trayIcon.load(); }
    QString TrayTip() const;
    bool ColourKeysMode() const { return m_colourKeysMode; }
    ImageButton* Button(int id) const;
    // Any state picture held or still being decoded (none while hidden).
    bool HoldsStatePictures() const;
    // Shown, with the hover and press pictures not handed out yet.
    bool LatePicturesPending() const { return m_pictureBatch != nullptr; }
    AboutDialog* AboutBox() const { return m_about; }
    // The key dialog, made here when not yet made (it is made at its first
    // opening otherwise); null while the keyboard link brings no store.
    KeyAssignmentDialog* KeyDialog();
    // Keyboard work for the window and its child windows: `job` runs on the
    // window's device worker, behind every job queued before it; `then`
    // runs on the GUI thread afterwards. A job never waits for the GUI
    // thread. Matches DeviceJobRunner.
    void RunOnDevice(std::function<void()> job, std::function<void()> then = {});
    // Waits (processing events) until the worker has nothing left; for tests and shutdown.
    bool WaitForWorker(int timeoutMs);
    // The active profile as last read, -1 when unknown.
    int ActiveProfile() const;
    // Shows the key buttons' assigned looks and the macro keys of the present bank.
    void RefreshKeyButtons();
    void OpenKeyDialog(int buttonId);
    void ResetAllAssignments();
    // The button of this slot of the shown profile (one of the 104 keys, or
    // a macro key of the present bank) shows no assignment: plain look, its
    // caption as tooltip; it stays disabled when it is. Other slots: nothing.
    void ResetKeyButton(std::size_t slot);
    void RepaintColourMarks();
    void ShowActiveProfileButton();

    // --- DeviceEventSink -------------------------------------------------------
    void SendRefreshProfile() override;
    void SendDetached() override;
    void HideMainWindow() override;
    void PostOpen() override;
    void FirstAttachBegins() override;
    void SendBankChanged(bool bankB) override;
    void StartLightingTimer() override;
    void SetTrayIcon(int iconId) override;
    bool Initialised() const override { return m_initialisedFlag.load(); }
    void RefreshKeyDisplay() override;
    void ClearUnappliedChanges() override;

    void OnOK() override;
    void OnCancel() override;
    bool OnInitDialog() override;

Q_SIGNALS:
    // The deferred initialisation: add the tray icon now (then Initialised is set).
    void deferredInitialisation();
    void trayIconChanged(int iconId);
    void trayTipChanged(const QString& tip);
    // ShutDown has run: remove the tray icon and end the program.
    void exitRequested();
    // The language changed: every window takes its texts anew.
    void languageSwitched(int languageIndex);
    // An Apply ended: true when the keyboard took everything.
    void applyFinished(bool succeeded);

protected:
    bool LoadShownPictures() override;
    void DropShownPictures() override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    ImageButton* MakeButton(int id, const QString& objectName);
    void PlaceButton(int id, const std::string& skinKey, const char* pictures);
    void PlaceControls();
    void HandOutPictures();
    void StartPictureBatch();
    void TakeLatePictures();
    void PrepareShownPictures();
    static const std::array<StateImage MainWindow::*, 11>& StatePictures();
    void PlaceKeyboardPicture();
    void ApplyLayoutVariant();
    void PlaceArrow(bool left, bool drawn);
    void SetSwitchCaption();
    void Recaption();
    void SetAccessibleTexts();
    void OnButton(int id);
    void OnKeyButton(int id);
    void OnProfileButton(int profile);
    void OnRestoreDefaults();
    void OnFlip();
    void OnCloseButton();
    void OnMenuButton();
    void OnImport();
    void OnExport();
    void OnSwitchLanguage(int index);
    void OpenAbout();
    void OpenHelp();
    void OpenLink();
    void ShowProfileMenuAtCursor();
    void DeferredInitialisation();
    void RefreshAfterAttach();
    void MarkBank(bool bankB);
    void PlugKeyDialog(ConfigStore& store);
    KeyAssignmentDialog& MakeKeyDialog(ConfigStore& store);
    void SetKeyTooltip(ImageButton* button, const std::u16string& caption, const KeyAssignment* slot,
                       const CurrentCopy& copy);
    void OnLightingTimer();
    void StartProgress();
    void StopProgress();
    void NextProgressFrame();
    void Post(int message, std::uint32_t first = 0, std::intptr_t second = 0);
    // Runs `use` on the current copy when CurrentLock is free now; otherwise
    // tries again shortly. Never blocks the GUI thread.
    void WithCurrentCopy(std::function<void(CurrentCopy&)> use);
    void RetryDisplay();
    bool BankB() const;
    bool KeyboardAttached() const;
    QString LanguageText(std::string_view key) const;
    QString CaptionText(std::string_view key) const;

    class PanelKeyButtons;
    void CreateLightingPanel();

    UserSettings& m_settings;
    KeyboardLink m_link;
    ChildWindowHooks m_children;
    LightingPanelHooks m_lighting;
    std::unique_ptr<LightingKeyButtons> m_panelKeys;
    LightingPanel* m_panel = nullptr; // a child of the window
    std::unique_ptr<Reporter> m_reporter;
    DeviceWorker m_worker;

    std::map<int, ImageButton*> m_buttons;
    std::array<ImageButton*, kOrdinaryKeyCount> m_keyButtons{};
    std::array<ImageButton*, kGKeyCount> m_gKeyButtons{};
    std::array<ImageButton*, mainwnd::kVariantKeyCount> m_variantKeys{};
    QLabel* m_progress = nullptr;
    QTimer* m_progressTimer = nullptr;
    QTimer* m_lightingTimer = nullptr;
    QTimer* m_displayRetry = nullptr;
    QTimer* m_preparedDrop = nullptr; // drops pictures prepared for a showing that never came
    QMenu* m_profileMenu = nullptr;
    QPointer<AboutDialog> m_about;
    KeyAssignmentDialog* m_keyDialog = nullptr; // a child of the window
    std::vector<std::function<void(CurrentCopy&)>> m_waitingForCopy;

    StateImage m_normal, m_over, m_down, m_disable;
    StateImage m_normal2, m_over2, m_down2, m_disable2;
    StateImage m_arrow, m_colour0, m_colour1;
    // The state pictures of this showing being decoded; the first
    // m_earlyPictures of m_batchTargets are taken before the first paint,
    // the rest when they are in or when something needs them.
    std::unique_ptr<StatePictureBatch> m_pictureBatch;
    std::vector<StateImage*> m_batchTargets;
    std::size_t m_earlyPictures = 0;
    QString m_skinLink;
    std::array<QImage, mainwnd::kProgressFrames> m_progressFrames;

    // Read by the attach's refresh on the worker too.
    std::atomic<bool> m_unappliedChanges{false};
    bool m_applyRunning = false;
    bool m_switchQuestionShowing = false;
    bool m_colourKeysMode = false;
    bool m_shutDown = false;
    bool m_controlsMade = false;
    int m_progressFrame = 0;
    int m_progressRun = 0;
    std::atomic<bool> m_initialisedFlag{false};
    std::atomic<int> m_trayIcon{0};
    std::thread m_fontWarmup; // reads the font database in, see the constructor
};

} // namespace kestrune
