// The key dialog opened from the main window's key buttons, on the emulated
// keyboard: placement beside the button, what reaches the store, the
// buttons' looks and tooltips, and closing with the window.

#include "WindowTestSupport.h"

#include "app/AboutDlg.h"
#include "session/KeyboardSession.h"
#include "ui/Kestrune_DlgComposite.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <linux/input-event-codes.h>

namespace kestrune::test {
namespace {

using namespace mainwnd;

#ifdef EMULATOR_LIBRARY
class KeyDialogWiringTest : public WindowTest {
protected:
    void SetUp() override
    {
        ::setenv("KESTRUNE_EMULATOR_STATE", (root / "emulator.json").c_str(), 1);
        MakeWindow();
        KeyboardSessionOptions options;
        options.libraryPath = EMULATOR_LIBRARY;
        options.sink = window.get();
        options.workingProfilePath = root / "$Profile0";
        auto created = KeyboardSession::Create(std::move(options), window->GetReporter());
        ASSERT_TRUE(created.ok()) << created.error();
        session = std::move(created.value());
        window->SetKeyboard({&session->Store(), &session->GetTransfer(), &session->GetLighting(), &session->Events()});
        // The attach waits for the window's deferred initialisation, which
        // needs the event loop.
        ASSERT_TRUE(session->Start().ok());
        QTRY_VERIFY_WITH_TIMEOUT(window->ActiveProfile() == 0, 20000);
        ASSERT_TRUE(window->WaitForWorker(20000));
        dialog = window->KeyDialog();
        ASSERT_NE(dialog, nullptr);
    }
    void TearDown() override
    {
        if (session) session->Stop();
        window.reset();
        session.reset();
        ::unsetenv("KESTRUNE_EMULATOR_STATE");
    }

    // Runs `inside` once the dialog's modal loop is going, then opens the
    // dialog from the button as a click does.
    void OpenFromButton(int id, std::function<void()> inside)
    {
        QTimer::singleShot(0, dialog, [this, inside = std::move(inside)] {
            EXPECT_TRUE(dialog->IsOpen());
            inside();
            if (dialog->IsOpen()) dialog->OnCancel();
        });
        window->OpenKeyDialog(id);
        EXPECT_FALSE(dialog->IsOpen());
    }

    void PressKey(unsigned evdev)
    {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, evdev + 8, 0, 0);
        QApplication::sendEvent(dialog, &press);
    }

    KeyAssignment SlotOf(std::size_t slot)
    {
        std::lock_guard lock(session->Store().CurrentLock());
        return *session->Store().Current().Assignment(0, slot);
    }

    std::unique_ptr<KeyboardSession> session;
    Kestrune_DlgComposite* dialog = nullptr;
};

TEST_F(KeyDialogWiringTest, AKeyButtonOpensTheDialogBesideItAndOkSetsTheKey)
{
    const int idOfA = kKeyButtonIds[0];
    CPngButton& buttonA = *window->Button(idOfA);
    OpenFromButton(idOfA, [&] {
        EXPECT_TRUE(buttonA.isDown());
        const QRect button(buttonA.mapToGlobal(QPoint(0, 0)), buttonA.size());
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_EQ(dialog->pos(), PlaceBesideButton(button, dialog->size(), screen));
        PressKey(KEY_B);
        dialog->OnOK();
    });
    EXPECT_FALSE(buttonA.isDown());
    EXPECT_EQ(SlotOf(0x1E), (KeyAssignment{AssignmentType::RemapKey, 0, 0x030}));
    EXPECT_TRUE(window->UnappliedChanges());
    EXPECT_TRUE(buttonA.IsSelected());
    EXPECT_EQ(buttonA.TooltipText(),
              QStringLiteral("A") + Text("KEY_PROMPT_SET") + Text("KEY_PROMPT_SINGLE") + QStringLiteral("B)"));

    // Cancel leaves the key as it was.
    OpenFromButton(idOfA, [&] { PressKey(KEY_C); });
    EXPECT_EQ(SlotOf(0x1E).value, 0x030u);
}

TEST_F(KeyDialogWiringTest, TheMacroButtonOpensTheEditorOnG9AndTheWindowClosesItAsCancel)
{
    OpenFromButton(kIdMacro, [&] {
        EXPECT_TRUE(dialog->MacroOnly());
        EXPECT_EQ(dialog->Slot(), *GKeySlot(9, GKeyBank::A));
        window->CloseChildWindows();
        EXPECT_FALSE(dialog->IsOpen());
    });
    EXPECT_EQ(SlotOf(*GKeySlot(9, GKeyBank::A)).type, AssignmentType::Default);
}
#endif

} // namespace
} // namespace kestrune::test
