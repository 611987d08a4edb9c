// The main window's commands: the buttons, the menus and the tray, by the
// number each is known by, and what each does.

#include "app/MainWindow.h"

#include "app/AboutDialog.h"
#include "app/ApplyProgress.h"
#include "app/WindowPresence.h"
#include "config/ConfigStore.h"
#include "config/Folders.h"
#include "config/KeyButtonText.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "config/ProfileFileCheck.h"
#include "config/Settings.h"
#include "device/Transfer.h"
#include "lighting/Lighting.h"
#include "ui/KeyAssignmentDialog.h"
#include "ui/UserDialogs.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QLabel>
#include <QMenu>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <string>

namespace kestrune {

using namespace mainwnd;

// --- Commands -------------------------------------------------------------------

void MainWindow::OnCommand(int command)
{
    if (command >= kCmdDefaultProfile && command <= kCmdLastProfile) {
        SwitchProfile(command - (kCmdDefaultProfile + 1));
        return;
    }
    switch (command) {
    case kIdOk:
        OnOK();
        return;
    case kIdCancel:
        OnCancel();
        return;
    case kIdProfiles:
        if (m_children.runProfileManager) m_children.runProfileManager();
        return;
    case kIdApply:
        Apply();
        return;
    case kIdMacro:
        OpenKeyDialog(kGKeyIds[kGKeyCount - 1]);
        return;
    case kIdProfileMenu:
        ShowProfileMenuAtCursor();
        return;
    case kIdLink:
        OpenLink();
        return;
    case kIdHelp:
        OpenHelp();
        return;
    case kIdMinimize:
        showMinimized();
        return;
    case kIdClose:
        OnCloseButton();
        return;
    case kIdMenu:
        OnMenuButton();
        return;
    case kIdDefault:
        OnRestoreDefaults();
        return;
    case kIdSwitch:
        m_colourKeysMode = !m_colourKeysMode;
        SetSwitchCaption();
        RepaintColourMarks();
        return;
    case kIdFlip1:
    case kIdFlip2:
        OnFlip();
        return;
    case kIdLockBank:
        return; // an indicator: its click does nothing
    case kCmdOpen:
        ShowMainWindow();
        return;
    case kCmdAbout:
        OpenAbout();
        return;
    case kCmdExit:
    case kCmdClose:
        Exit();
        return;
    case kCmdImport:
        OnImport();
        return;
    case kCmdExport:
        OnExport();
        return;
    case kCmdUpdate:
        if (m_children.runUpdateDialog) m_children.runUpdateDialog();
        return;
    case kCmdChinese:
        OnSwitchLanguage(kChineseLanguageIndex);
        return;
    case kCmdEnglish:
        OnSwitchLanguage(kEnglishLanguageIndex);
        return;
    default:
        break;
    }
    if (command >= kIdProfile1 && command < kIdProfile1 + 3) {
        OnProfileButton(command - kIdProfile1);
        return;
    }
    OnKeyButton(command);
}

void MainWindow::OnKeyButton(int id)
{
    const bool lightSwitch = m_lighting.perKeyLightSwitchOn && m_lighting.perKeyLightSwitchOn();
    if (id == kIdFn) {
        if (lightSwitch && m_lighting.paintKeyColour) m_lighting.paintKeyColour(id);
        return;
    }
    for (int n = 0; n < kGKeysThatReact; ++n) {
        if (kGKeyIds[static_cast<std::size_t>(n)] == id) {
            OpenKeyDialog(id);
            return;
        }
    }
    for (int key : kKeyButtonIds) {
        if (key != id) continue;
        if (lightSwitch) {
            if (m_lighting.paintKeyColour) m_lighting.paintKeyColour(id);
        } else {
            OpenKeyDialog(id);
        }
        return;
    }
}

void MainWindow::OpenKeyDialog(int buttonId)
{
    int gKey = 0;
    std::optional<std::size_t> position;
    for (int n = 1; n <= kGKeyCount; ++n)
        if (kGKeyIds[static_cast<std::size_t>(n - 1)] == buttonId) gKey = n;
    for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i)
        if (kKeyButtonIds[i] == buttonId) position = i;
    if (gKey == 0 && !position) return;

    if (!m_colourKeysMode) {
        if (m_children.openKeyDialog) m_children.openKeyDialog(buttonId);
        return;
    }
    TakeLatePictures(); // the colour marks
    // In colour-keys mode a click marks or unmarks the key instead.
    const int profile = ActiveProfile();
    if (profile < 0) return;
    const bool bankB = BankB();
    WithCurrentCopy([this, gKey, position, profile, bankB, buttonId](CurrentCopy& copy) {
        const std::size_t slot = gKey != 0 ? *ColourMarkSlotOfGKey(gKey, bankB ? GKeyBank::B : GKeyBank::A)
                                           : ColourMarkSlotOfButton(*position);
        KeyAssignment* assignment = copy.Assignment(static_cast<std::size_t>(profile), slot);
        if (assignment == nullptr) return;
        assignment->mark = assignment->mark != 0 ? 0 : 1;
        Button(buttonId)->SetCheckImages(m_colour0, m_colour1, m_colourKeysMode, assignment->mark != 0);
        SetUnappliedChanges(true);
    });
}

void MainWindow::OnProfileButton(int profile)
{
    if (m_lighting.perKeyLightSwitchOn && m_lighting.perKeyLightSwitchOn() && m_lighting.switchOffKeyLights)
        m_lighting.switchOffKeyLights();
    if (ActiveProfile() == profile) return;
    if (SwitchProfile(profile) == 0) return;
    for (int n = 0; n < 3; ++n) Button(kIdProfile1 + n)->SetSelected(n == profile);
    m_colourKeysMode = false;
    SetSwitchCaption();
    RepaintColourMarks();
}

void MainWindow::OnRestoreDefaults()
{
    if (!AskYesNo(this, LanguageText("MAIN_PROMPT_DEFAULT"))) return;
    ResetAllAssignments();
    if (m_lighting.perKeyLightSwitchOn && m_lighting.perKeyLightSwitchOn() && m_lighting.restoreDefaults)
        m_lighting.restoreDefaults();
    Apply();
}

void MainWindow::ResetKeyButton(std::size_t slot)
{
    ImageButton* button = nullptr;
    std::u16string caption;
    for (std::size_t i = 0; i < kOrdinaryKeyCount && button == nullptr; ++i) {
        if (SlotOfKey(KeyButtonOrder[i]) != slot) continue;
        button = m_keyButtons[i];
        caption = KeyButtonCaption(KeyButtonOrder[i]);
    }
    const GKeyBank bank = BankB() ? GKeyBank::B : GKeyBank::A;
    for (int n = 1; n <= kGKeyCount && button == nullptr; ++n) {
        if (GKeySlot(n, bank) != slot) continue;
        button = m_gKeyButtons[static_cast<std::size_t>(n - 1)];
        caption = GKeyButtonCaption(n);
    }
    if (button == nullptr) return;
    button->SetSelected(false);
    button->SetTooltipText(
        QString::fromStdU16String(KeyButtonTooltipText(TheLanguageTable(), caption, KeyAssignment{}, {})), true);
}

void MainWindow::ResetAllAssignments()
{
    const int profile = ActiveProfile();
    if (profile < 0 || m_link.store == nullptr) return;
    const GKeyBank bank = BankB() ? GKeyBank::B : GKeyBank::A;
    // On the worker, ahead of the Apply that follows: the reset must reach
    // the copy before the download reads it, and the lock may be busy now.
    RunOnDevice([controller = m_link.controller, profile, bank] { (void)controller->ResetAssignments(profile, bank); },
                [this] {
                    RefreshKeyButtons();
                    SetUnappliedChanges(true);
                });
    // The reset counts as an edit from the moment it is queued, so the Apply
    // that follows it downloads.
    SetUnappliedChanges(true);
}

void MainWindow::OnCloseButton()
{
    if (AskYesNo(this, LanguageText("MAIN_CLOSE_DIALOG"))) Exit();
}

QMenu* MainWindow::BuildButtonMenu()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("buttonMenu"));
    menu->setAccessibleName(Button(kIdMenu)->TooltipText());
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const std::pair<const char*, int> entries[] = {
        {"MENU_1", kCmdImport}, {"MENU_2", kCmdExport}, {"MENU_3", kCmdAbout}, {"MENU_4", kCmdClose}};
    for (const auto& [key, command] : entries) {
        QAction* action = menu->addAction(CaptionText(key));
        action->setObjectName(QStringLiteral("command%1").arg(command));
        connect(action, &QAction::triggered, this, [this, command = command] { OnCommand(command); });
    }
    menu->addSeparator();
    const std::pair<const char*, int> languages[] = {{"CHINESE_5", kCmdChinese}, {"ENGINSH_6", kCmdEnglish}};
    for (const auto& [key, command] : languages) {
        QAction* action = menu->addAction(CaptionText(key));
        action->setObjectName(QStringLiteral("command%1").arg(command));
        action->setCheckable(true);
        action->setChecked(MainCaptionsInEnglish() == (command == kCmdEnglish));
        connect(action, &QAction::triggered, this, [this, command = command] { OnCommand(command); });
    }
    return menu;
}

void MainWindow::OnMenuButton()
{
    BuildButtonMenu()->popup(QCursor::pos());
}

void MainWindow::ShowProfileMenuAtCursor()
{
    if (isVisible()) {
        raise();
        activateWindow();
    }
    m_profileMenu->popup(QCursor::pos());
}

void MainWindow::OpenAbout()
{
    if (m_about) {
        m_about->raise();
        m_about->activateWindow();
        return;
    }
    m_about = new AboutDialog(m_skinLink, MainCaptionsInEnglish(), this);
    m_about->show();
}

void MainWindow::OpenHelp()
{
    kestrune::OpenHelp(this);
}

void MainWindow::OpenLink()
{
    OpenUrl(QUrl(m_skinLink), this);
}

void MainWindow::OnSwitchLanguage(int index)
{
    const Status stored = SwitchLanguage(index, [this](int languageIndex) {
        Recaption();
        // The key buttons' tooltips say what each key is set to in the table's words.
        RefreshKeyButtons();
        if (m_lighting.recaption) m_lighting.recaption(languageIndex);
        if (m_link.lighting != nullptr) {
            RunOnDevice([controller = m_link.controller] { (void)controller->RereadLighting(true); },
                        [this] {
                            if (m_lighting.refresh) m_lighting.refresh();
                        });
        }
        Q_EMIT languageSwitched(languageIndex);
    });
    if (!stored) qWarning("the language choice was not stored: %s", stored.error().c_str());
}

} // namespace kestrune
