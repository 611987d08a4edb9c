// What the main window asks of the keyboard (Apply, import, export, profile
// switches, all operations of the keyboard controller run on its worker) and
// what it shows for the keyboard's events.

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

// --- Apply -----------------------------------------------------------------------

void MainWindow::SetUnappliedChanges(bool pending)
{
    m_unappliedChanges = pending;
    if (m_link.controller != nullptr) m_link.controller->SetUnappliedEdits(pending);
    if (ImageButton* apply = Button(kIdApply)) apply->setEnabled(pending && !m_applyRunning);
}

bool MainWindow::UnappliedChanges() const
{
    return m_link.controller != nullptr ? m_link.controller->UnappliedEdits() : m_unappliedChanges;
}

void MainWindow::PostApply()
{
    QMetaObject::invokeMethod(
        this, [this] { Apply(); }, Qt::QueuedConnection);
}

void MainWindow::Apply()
{
    // One download at a time: a second Apply while one runs has nothing to add.
    if (m_applyRunning || m_shutDown) return;
    m_applyRunning = true;
    SetUnappliedChanges(UnappliedChanges());
    m_progress->Start();

    const auto finish = [this](bool succeeded) {
        m_applyRunning = false;
        SetUnappliedChanges(succeeded ? false : UnappliedChanges());
        m_progress->Stop();
        BuildProfileMenu(false);
        Q_EMIT applyFinished(succeeded);
    };
    if (!UnappliedChanges()) {
        finish(true);
        return;
    }
    if (m_link.controller == nullptr) {
        m_reporter->Inform({"MAIN_DOWNLOAD_FAILED", {}});
        finish(false);
        return;
    }
    auto outcome = std::make_shared<ApplyOutcome>();
    RunOnDevice([controller = m_link.controller, outcome] { *outcome = controller->ApplyActiveProfile(); },
                [this, outcome, finish] {
                    if (!outcome->saved)
                        m_reporter->Inform({"MAIN_APPLY_SAVE_FAILED", {outcome->saved.error()}});
                    else if (!outcome->downloaded)
                        m_reporter->Inform({"MAIN_DOWNLOAD_FAILED", {}});
                    finish(outcome->ok());
                });
}

// --- Import and export -------------------------------------------------------------

void MainWindow::OnImport()
{
    FileDialogRequest request;
    request.caption = CaptionText("MENU_1");
    if (auto folder = ProfileFolder()) request.initialPath = QString::fromStdU16String(folder->u16string());
    request.filter = QString::fromLatin1(kProfileFileFilter);
    request.defaultSuffix = QString::fromLatin1(kProfileFileExtension);
    const QString chosen = AskFileName(this, request);
    if (chosen.isEmpty()) return;
    if (m_link.controller == nullptr) return;
    const std::filesystem::path path(chosen.toStdU16String());
    auto outcome = std::make_shared<ImportOutcome>();
    m_progress->Start();
    RunOnDevice([controller = m_link.controller, path, outcome] { *outcome = controller->ImportProfileFile(path); },
                [this, outcome] {
                    m_progress->Stop();
                    if (!outcome->read) {
                        // One box: the import failed, and which file and why on a line of its own.
                        ShowInformation(this, LanguageText("MAIN_PROMPT_INPORT").trimmed() + QLatin1Char('\n') +
                                                  QString::fromStdString(outcome->read.error()));
                        return;
                    }
                    RefreshKeyButtons();
                    if (!outcome->saved) m_reporter->Inform({"MAIN_APPLY_SAVE_FAILED", {outcome->saved.error()}});
                    if (!outcome->downloaded) {
                        m_reporter->Inform({"MAIN_DOWNLOAD_FAILED", {}});
                        SetUnappliedChanges(true);
                        return;
                    }
                    SetUnappliedChanges(false);
                });
}

void MainWindow::OnExport()
{
    FileDialogRequest request;
    request.save = true;
    request.caption = CaptionText("MENU_2");
    if (auto folder = ProfileFolder()) request.initialPath = QString::fromStdU16String(folder->u16string());
    request.filter = QString::fromLatin1(kProfileFileFilter);
    request.defaultSuffix = QString::fromLatin1(kProfileFileExtension);
    const QString chosen = AskFileName(this, request);
    if (chosen.isEmpty() || m_link.controller == nullptr) return;
    const std::filesystem::path path(chosen.toStdU16String());
    auto written = std::make_shared<Status>();
    RunOnDevice([controller = m_link.controller, path, written] { *written = controller->ExportProfileFile(path); },
                [this, path, written] {
                    if (!*written) m_reporter->Inform({"MAIN_EXPORT_FAILED", {path.string(), written->error()}});
                });
}

// --- Profiles ------------------------------------------------------------------------

int MainWindow::SwitchProfile(int index)
{
    if (index >= 3) index = 0;
    if (m_children.keyDialogOpen && m_children.keyDialogOpen()) {
        m_reporter->Inform({"PROFILE_SEELCT_PROMPT2", {}});
        return 0;
    }
    KeyboardController* controller = m_link.controller;
    const bool managerPending = m_children.profileManagerApplyPending && m_children.profileManagerApplyPending();
    bool tellManager = false;
    if (!managerPending && !UnappliedChanges()) {
        tellManager = true;
    } else if (!m_switchQuestionShowing) {
        m_switchQuestionShowing = true;
        const bool save = AskYesNo(this, LanguageText("PROFILE_SELECT_PROMPT"));
        m_switchQuestionShowing = false;
        if (save) {
            // Queued ahead of the switch: the edits reach the profile they were made on.
            Apply();
        } else {
            SetUnappliedChanges(false);
            if (ActiveProfile() >= 0) {
                RunOnDevice([controller] {
                    if (Status read = controller->DiscardUnappliedEdits(); !read)
                        std::fprintf(stderr, "kestrune: %s\n", read.error().c_str());
                });
            }
        }
    }
    auto switched = std::make_shared<Status>();
    RunOnDevice([controller, index, switched] { *switched = controller->SwitchProfile(index); },
                [this, switched, index, tellManager] {
                    if (tellManager && m_children.profileManagerSwitched) m_children.profileManagerSwitched(index);
                    RefreshKeyButtons();
                    BuildProfileMenu(false);
                    // The menus switch too, and the profile buttons must not go on
                    // showing the profile the keyboard has left.
                    ShowActiveProfileButton();
                    // Nor one it never reached: the user hears that the switch failed.
                    // (A negative index is the default item: the keyboard stays.)
                    if (!*switched) {
                        const int active = ActiveProfile();
                        for (int n = 0; n < 3; ++n) Button(kIdProfile1 + n)->SetSelected(n == active);
                        m_reporter->Inform({"PROFILE_SWITCH_FAILED", {std::to_string(index + 1)}});
                    }
                });
    return 1;
}

void MainWindow::BuildProfileMenu(bool /*create*/)
{
    // One menu for the life of the window, emptied and filled again.
    m_profileMenu->clear();
    const int active = ActiveProfile();
    QAction* checked = nullptr;
    const auto add = [&](const QString& text, int command, bool isChecked) {
        QAction* action = m_profileMenu->addAction(text);
        action->setObjectName(QStringLiteral("command%1").arg(command));
        action->setCheckable(true);
        action->setChecked(isChecked);
        if (isChecked) checked = action;
        connect(action, &QAction::triggered, this, [this, command] { OnCommand(command); });
    };
    add(LanguageText("DEFAULT_PROFILE_NAME"), kCmdDefaultProfile, active < 0);
    m_profileMenu->addSeparator();
    for (int i = 0; i < 3; ++i) add(KeyboardProfileName(i), kCmdDefaultProfile + 1 + i, active == i);
    if (ImageButton* profiles = Button(kIdProfiles); profiles != nullptr && checked != nullptr) {
        profiles->setText(checked->text());
        profiles->SetTooltipText(LanguageText("PROFILE_TIP") + checked->text(), true);
        profiles->setAccessibleName(profiles->TooltipText());
        m_profileMenu->setAccessibleName(profiles->TooltipText());
    }
}

void MainWindow::ShowActiveProfileButton()
{
    const int active = ActiveProfile();
    if (active < 0) return;
    for (int n = 0; n < 3; ++n) Button(kIdProfile1 + n)->SetSelected(n == active);
}

// --- Device events -------------------------------------------------------------------

void MainWindow::RunOnDevice(std::function<void()> job, std::function<void()> then)
{
    if (m_link.controller == nullptr) return;
    (void)m_link.controller->RunOnWorker([this, job = std::move(job), then = std::move(then)] {
        job();
        if (then) QMetaObject::invokeMethod(this, then, Qt::QueuedConnection);
    });
}

// Each event of the keyboard becomes what the window shows for it, on the GUI thread.
void MainWindow::ConfigurationReplaced(ConfigurationSource source, bool unsentEditsKept)
{
    QMetaObject::invokeMethod(
        this,
        [this, source, unsentEditsKept] {
            if (!unsentEditsKept) SetUnappliedChanges(false);
            if (source == ConfigurationSource::Attach)
                RefreshAfterAttach();
            else
                RefreshKeyButtons();
        },
        Qt::QueuedConnection);
}

void MainWindow::RefreshAfterAttach()
{
    ShowActiveProfileButton();
    if (m_lighting.refresh) m_lighting.refresh();
    RefreshKeyButtons();
    BuildProfileMenu(false);
}

void MainWindow::Detached()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            CloseChildWindows();
            HideMainWindow();
        },
        Qt::QueuedConnection);
}

void MainWindow::PresenceSettled(bool attached, bool firstAttach)
{
    const int icon = attached ? kIconAttached : kIconDetached;
    m_presenceIcon = icon;
    SetTrayIcon(icon);
    // The first attach brings the window up (not for a start in the tray,
    // where no attach counts as the first).
    if (firstAttach)
        QMetaObject::invokeMethod(
            this, [this] { ShowMainWindow(); }, Qt::QueuedConnection);
}

void MainWindow::RecordingChanged(bool recording)
{
    SetTrayIcon(recording ? kIconRecording : m_presenceIcon.load());
}

void MainWindow::BankChanged(bool bankB)
{
    QMetaObject::invokeMethod(
        this, [this, bankB] { MarkBank(bankB); }, Qt::QueuedConnection);
}

void MainWindow::LightingChangedOnKeyboard()
{
    QMetaObject::invokeMethod(
        this, [this] { m_lightingTimer->start(); }, Qt::QueuedConnection);
}

void MainWindow::OnLightingTimer()
{
    m_lightingTimer->stop();
    if (m_link.lighting == nullptr) return;
    RunOnDevice([controller = m_link.controller] { (void)controller->RereadLighting(false); },
                [this] {
                    if (m_lighting.refresh) m_lighting.refresh();
                });
}

void MainWindow::SetTrayIcon(int iconId)
{
    if (m_trayIcon.exchange(iconId) == iconId) return;
    QMetaObject::invokeMethod(
        this, [this, iconId] { Q_EMIT trayIconChanged(iconId); }, Qt::QueuedConnection);
}

} // namespace kestrune
