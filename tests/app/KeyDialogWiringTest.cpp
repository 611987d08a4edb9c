// The key dialog opened from the main window's key buttons, on the emulated
// keyboard: placement beside the button, what reaches the store, the
// buttons' looks and tooltips, and closing with the window.

#include "WindowTestSupport.h"

#include "app/AboutDialog.h"
#include "emulator/ControlSocket.h"
#include "emulator/StateFile.h"
#include "session/KeyboardSession.h"
#include "ui/KeyAssignmentDialog.h"

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
        // State and control socket of this test's own: tests run side by side.
        SetVariable(emulator::kStateFileVariable, (root / "emulator.json").string());
        SetVariable(emulator::kControlSocketVariable, (root / "control").string());
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
        // The first attach brings the window up once the keyboard's data is in.
        WAIT_TRUE(window->isVisible(), 20000);
        ASSERT_TRUE(window->WaitForWorker(20000));
        WAIT_TRUE(HasKeyData(), 20000);
        // The dialog is made by its first opening, as in the program.
    }
    void TearDown() override
    {
        if (session) session->Stop();
        window.reset();
        session.reset();
    }

    // Runs `inside` once the dialog's modal loop is going, then opens the
    // dialog from the button as a click does. A click that opens nothing
    // fails here, before `inside` could run in a later test step.
    void OpenFromButton(int id, std::function<void()> inside)
    {
        QTimer timer;
        timer.setSingleShot(true);
        bool ran = false;
        QObject::connect(&timer, &QTimer::timeout, window.get(), [this, &ran, &inside] {
            ran = true;
            dialog = window->KeyDialog();
            EXPECT_TRUE(dialog->IsOpen());
            inside();
            if (dialog->IsOpen()) dialog->OnCancel();
        });
        timer.start(0);
        window->OnCommand(id);
        ASSERT_TRUE(ran) << "button " << id << " opened no dialog";
        EXPECT_FALSE(dialog->IsOpen());
    }

    void PressKey(unsigned evdev)
    {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, evdev + 8, 0, 0);
        QApplication::sendEvent(dialog, &press);
    }

    bool HasKeyData()
    {
        std::lock_guard lock(session->Store().CurrentLock());
        return session->Store().Current().Assignment(0, 0) != nullptr;
    }

    KeyAssignment SlotOf(std::size_t slot)
    {
        std::lock_guard lock(session->Store().CurrentLock());
        return *session->Store().Current().Assignment(0, slot);
    }

    void Control(std::vector<std::string> words)
    {
        auto reply = emulator::SendControlCommand(root / "control", words);
        ASSERT_TRUE(reply.ok() && reply->has_value()) << (reply.ok() ? "no emulator answers" : reply.error());
        EXPECT_TRUE((*reply)->ok) << (*reply)->text;
    }

    std::unique_ptr<KeyboardSession> session;
    KeyAssignmentDialog* dialog = nullptr; // once an opening made it
};

TEST_F(KeyDialogWiringTest, AKeyButtonOpensTheDialogBesideItAndOkSetsTheKey)
{
    const int idOfA = kKeyButtonIds[0];
    ImageButton& buttonA = *window->Button(idOfA);
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

// ResetKeyButton finds the button of a slot (a key, or a macro key of the
// bank shown) and shows it unassigned, keeping it disabled when it is; a
// slot without a button changes nothing. Clear then OK in the dialog uses it.
TEST_F(KeyDialogWiringTest, ResetKeyButtonShowsTheSlotsButtonUnassigned)
{
    const std::size_t slotA = 0x1E, g1 = *GKeySlot(1, GKeyBank::A), g1OfB = *GKeySlot(1, GKeyBank::B);
    {
        std::lock_guard lock(session->Store().CurrentLock());
        CurrentCopy& copy = session->Store().Current();
        for (std::size_t slot : {slotA, g1, g1OfB}) {
            copy.Assignment(0, slot)->type = AssignmentType::Media;
            copy.Assignment(0, slot)->value = 2;
        }
    }
    window->RefreshKeyButtons();
    ImageButton& a = *window->Button(kKeyButtonIds[0]);
    ImageButton& g1Button = *window->Button(kGKeyIds[0]);
    ASSERT_TRUE(a.IsSelected());
    ASSERT_TRUE(g1Button.IsSelected());
    g1Button.setEnabled(false);

    struct Case {
        std::size_t slot;
        ImageButton* button; // null: no button of this slot is shown
        QString caption;
    };
    const Case cases[] = {
        {slotA, &a, QStringLiteral("A")}, {g1, &g1Button, QStringLiteral("G1")}, {g1OfB, nullptr, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slot);
        const QString aTooltip = a.TooltipText(), g1Tooltip = g1Button.TooltipText();
        window->ResetKeyButton(c.slot);
        if (c.button == nullptr) {
            EXPECT_EQ(a.TooltipText(), aTooltip);
            EXPECT_EQ(g1Button.TooltipText(), g1Tooltip);
            continue;
        }
        EXPECT_FALSE(c.button->IsSelected());
        EXPECT_EQ(c.button->TooltipText(), c.caption);
    }
    EXPECT_FALSE(g1Button.isEnabled());
    EXPECT_EQ(SlotOf(slotA).type, AssignmentType::Media) << "only the button changes";

    // Clear and OK leave the key unassigned, and its button says so.
    window->RefreshKeyButtons();
    ASSERT_TRUE(a.IsSelected());
    OpenFromButton(kKeyButtonIds[0], [&] {
        dialog->OnClear();
        dialog->OnOK();
    });
    EXPECT_EQ(SlotOf(slotA).type, AssignmentType::Default);
    EXPECT_FALSE(a.IsSelected());
    EXPECT_EQ(a.TooltipText(), QStringLiteral("A"));
}

// The title is read at every opening, so it follows a language switch made
// while the dialog was closed, or before it was ever made.
TEST_F(KeyDialogWiringTest, TheDialogsTitleAndButtonCaptionsFollowTheLanguage)
{
    auto file = IniFile::Load(program / "Skins" / "language.ini");
    ASSERT_TRUE(file.ok());
    const std::pair<int, std::string_view> languages[] = {{kCmdChinese, kChineseSection},
                                                          {kCmdEnglish, kEnglishSection}};
    for (const auto& [command, section] : languages) {
        SCOPED_TRACE(section);
        window->OnCommand(command);
        const std::pair<int, const char*> openers[] = {{kKeyButtonIds[0], "KEY_PROMPT"}, {kIdMacro, "PROFILE_MACRO"}};
        for (const auto& [id, key] : openers) {
            const QString expected = QString::fromStdU16String(file->ReadString(section, key, u""));
            ASSERT_FALSE(expected.isEmpty()) << key;
            OpenFromButton(id, [&] {
                EXPECT_EQ(dialog->windowTitle(), expected) << key;
                // Apply stood in English in the Chinese dialog.
                const std::pair<const char*, const char*> captions[] = {
                    {"CONTROL_OK", "MACRO_OK"}, {"CONTROL_CANCEL", "MACRO_CANCLE"}, {"CONTROL_APPLY", "PROFILE_APPLY"}};
                for (const auto& [control, caption] : captions) {
                    auto* button = dialog->findChild<ImageButton*>(QString::fromLatin1(control));
                    ASSERT_NE(button, nullptr) << control;
                    EXPECT_EQ(button->text(), QString::fromStdU16String(file->ReadString(section, caption, u"")))
                        << control;
                }
            });
        }
    }
}

// An unplug closes the child windows, the key dialog among them, before
// anything made it; the first click after the replug makes and opens it.
TEST_F(KeyDialogWiringTest, AnUnplugBeforeTheDialogWasMadeLeavesItToTheFirstClick)
{
    Control({"unplug"});
    WAIT_TRUE(!window->isVisible(), 10000);
    WAIT_EQ(window->TrayIconId(), kIconDetached, 10000);
    Control({"plug"});
    WAIT_EQ(window->TrayIconId(), kIconAttached, 10000);
    ASSERT_TRUE(window->WaitForWorker(20000));
    window->OnCommand(kCmdOpen);
    ASSERT_TRUE(window->isVisible());
    OpenFromButton(kKeyButtonIds[0], [&] {
        PressKey(KEY_B);
        dialog->OnOK();
    });
    EXPECT_EQ(SlotOf(0x1E), (KeyAssignment{AssignmentType::RemapKey, 0, 0x030}));
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
