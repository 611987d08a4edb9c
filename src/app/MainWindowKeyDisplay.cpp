// The key buttons as the configuration has them: assigned looks, tooltips,
// the macro keys of the present bank and the colour marks.

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

// --- The key display -----------------------------------------------------------------

void MainWindow::WithCurrentCopy(std::function<void(CurrentCopy&)> use)
{
    if (m_link.store == nullptr) return;
    std::recursive_mutex& lock = m_link.store->CurrentLock();
    if (!lock.try_lock()) {
        m_waitingForCopy.push_back(std::move(use));
        m_displayRetry->start();
        return;
    }
    std::lock_guard held(lock, std::adopt_lock);
    use(m_link.store->Current());
}

void MainWindow::RetryDisplay()
{
    std::vector<std::function<void(CurrentCopy&)>> waiting;
    waiting.swap(m_waitingForCopy);
    for (auto& use : waiting) WithCurrentCopy(std::move(use));
}

void MainWindow::RefreshKeyButtons()
{
    const int profile = ActiveProfile();
    WithCurrentCopy([this, profile](CurrentCopy& copy) {
        for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i) {
            const KeyAssignment* slot =
                profile < 0 ? nullptr
                            : copy.Assignment(static_cast<std::size_t>(profile), SlotOfKey(KeyButtonOrder[i]));
            m_keyButtons[i]->SetSelected(slot != nullptr && slot->type != AssignmentType::Default);
            SetKeyTooltip(m_keyButtons[i], KeyButtonCaption(KeyButtonOrder[i]), slot, copy);
        }
    });
    MarkBank(BankB());
    RepaintColourMarks();
}

void MainWindow::MarkBank(bool bankB)
{
    Button(kIdLockBank)->SetSelected(bankB);
    const int profile = ActiveProfile();
    if (profile < 0) return;
    const GKeyBank bank = bankB ? GKeyBank::B : GKeyBank::A;
    WithCurrentCopy([this, profile, bank](CurrentCopy& copy) {
        for (int n = 1; n <= kGKeyCount; ++n) {
            const KeyAssignment* slot = copy.Assignment(static_cast<std::size_t>(profile), *GKeySlot(n, bank));
            m_gKeyButtons[static_cast<std::size_t>(n - 1)]->SetSelected(slot != nullptr &&
                                                                        slot->type != AssignmentType::Default);
            SetKeyTooltip(m_gKeyButtons[static_cast<std::size_t>(n - 1)], GKeyButtonCaption(n), slot, copy);
        }
    });
    if (m_colourKeysMode) RepaintColourMarks();
}

void MainWindow::RepaintColourMarks()
{
    if (m_colourKeysMode) TakeLatePictures();
    const int profile = ActiveProfile();
    const GKeyBank bank = BankB() ? GKeyBank::B : GKeyBank::A;
    const auto paint = [this](ImageButton* button, bool marked) {
        button->SetCheckImages(m_colour0, m_colour1, m_colourKeysMode, m_colourKeysMode && marked);
        // The macro keys that never react (G6 to G9) show their disable
        // picture in every mode: in this mode that is their mark's look, as
        // for every other key, not a plain key standing out of the dimmed picture.
        if (!button->isEnabled() &&
            std::find(m_gKeyButtons.begin(), m_gKeyButtons.end(), button) != m_gKeyButtons.end()) {
            const QImage& disable = !m_colourKeysMode ? m_normal : marked ? m_colour1 : m_colour0;
            button->ReplaceImages(m_normal, m_over, m_down, disable, m_disable);
        }
    };
    if (profile < 0 || m_link.store == nullptr) {
        for (ImageButton* button : m_keyButtons) paint(button, false);
        for (ImageButton* button : m_gKeyButtons) paint(button, false);
        return;
    }
    WithCurrentCopy([this, profile, bank, paint](CurrentCopy& copy) {
        const auto marked = [&](std::size_t slot) {
            const KeyAssignment* assignment = copy.Assignment(static_cast<std::size_t>(profile), slot);
            return assignment != nullptr && assignment->mark != 0;
        };
        for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i) paint(m_keyButtons[i], marked(ColourMarkSlotOfButton(i)));
        for (int n = 1; n <= kGKeyCount; ++n)
            paint(m_gKeyButtons[static_cast<std::size_t>(n - 1)], marked(*ColourMarkSlotOfGKey(n, bank)));
    });
}

bool MainWindow::WaitForWorker(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_link.controller != nullptr && m_link.controller->PendingJobs() > 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    QCoreApplication::processEvents();
    return true;
}

} // namespace kestrune
