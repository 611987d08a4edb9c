// The main window with the emulated keyboard behind the real device library
// binding: attach and detach, profile switches, Apply, import and export,
// the bank key and lighting changes made on the keyboard.

#include "WindowTestSupport.h"
#include "support/QuickTiming.h"

#include "app/AboutDialog.h"
#include "app/TrayIcon.h"
#include "config/ConfigStore.h"
#include "config/ProfileFile.h"
#include "emulator/ControlCommands.h"
#include "emulator/ControlSocket.h"
#include "emulator/KeyboardState.h"
#include "emulator/StateFile.h"
#include "keymodel/DefaultHardwareTable.h"
#include "lighting/LightingWriter.h"
#include "session/KeyboardSession.h"
#include "ui/ColourRef.h"
#include "ui/LightingPanel.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>

namespace kestrune::test {
namespace {

using namespace mainwnd;

constexpr KeyIndex kKeyEsc = 0x001;
constexpr KeyIndex kKeyB = 0x030;
using KeyTableBytes = decltype(emulator::KeyboardState{}.keyTables)::value_type;

class KeyboardWindowTest : public WindowTest {
protected:
    ~KeyboardWindowTest() override
    {
        // The window's worker uses the session: it stops first, as at exit.
        if (window) window->ShutDown();
        session.reset();
    }

    // Powers the emulated keyboard up, starts the window hidden with the
    // session behind it and waits until the attach at start has been shown.
    void Open(emulator::KeyboardState state = emulator::FactoryKeyboardState())
    {
        ASSERT_TRUE(emulator::SaveStateFile(root / "state.json", state).ok());
        SetVariable(emulator::kStateFileVariable, (root / "state.json").string());
        SetVariable(emulator::kControlSocketVariable, (root / "control").string());
        SetVariable("KESTRUNE_EMULATOR_LATENCY_US", "0");
        MakeWindow();
        trayIcons = std::make_unique<QSignalSpy>(window.get(), &MainWindow::trayIconChanged);
        KeyboardSessionOptions options;
        options.libraryPath = EMULATOR_LIBRARY;
        options.sink = window.get();
        options.timing = kestrune::testing::QuickTiming();
        auto created = KeyboardSession::Create(std::move(options), window->GetReporter());
        ASSERT_TRUE(created.ok()) << created.error();
        session = std::move(*created);
        window->SetKeyboard(*session);
        ASSERT_TRUE(session->Start().ok());
        // The first attach brings the window up once it has been handled.
        WAIT_TRUE(window->isVisible(), 10000);
        ASSERT_TRUE(window->WaitForWorker(10000));
        QCoreApplication::processEvents();
    }

    void Control(std::vector<std::string> words) { ControlText(std::move(words)); }
    // The emulator's answer to a command; fails the test when refused.
    std::string ControlText(std::vector<std::string> words)
    {
        auto reply = emulator::SendControlCommand(root / "control", words);
        EXPECT_TRUE(reply.ok() && reply->has_value()) << (reply.ok() ? "no emulator answers" : reply.error());
        if (!reply.ok() || !reply->has_value()) return {};
        EXPECT_TRUE((*reply)->ok) << (*reply)->text;
        return (*reply)->text;
    }

    emulator::KeyboardState Dump()
    {
        auto reply = emulator::SendControlCommand(root / "control", {"dump"});
        EXPECT_TRUE(reply.ok() && reply->has_value());
        auto state = emulator::KeyboardStateFromJson((*reply)->text);
        EXPECT_TRUE(state.ok());
        return state.ok() ? *state : emulator::KeyboardState{};
    }

    static emulator::KeyboardState WithActiveProfile(int profile)
    {
        emulator::KeyboardState state = emulator::FactoryKeyboardState();
        state.settings[wire::kSettingsActiveProfile] = static_cast<std::uint8_t>(profile);
        return state;
    }

    // An edit as the key dialog makes it: Esc sends B in the given profile.
    void RemapEsc(int profile)
    {
        std::lock_guard lock(session->Store().CurrentLock());
        KeyAssignment* slot =
            session->Store().Current().Assignment(static_cast<std::size_t>(profile), SlotOfKey(kKeyEsc));
        ASSERT_NE(slot, nullptr);
        SetAssignment(*slot, AssignmentType::RemapKey, 0, kKeyB);
        window->SetUnappliedChanges(true);
    }

    // The key table the keyboard should hold for a profile of the current copy.
    KeyTableBytes ExpectedTable(int profile)
    {
        std::lock_guard lock(session->Store().CurrentLock());
        std::vector<std::uint16_t> ids;
        for (const MacroRecord& m : session->Store().Current().Macros()) ids.push_back(m.id);
        return HardwareKeyTableToBytes(EncodeKeyTable(
            session->Store().Current().Block()->maps[static_cast<std::size_t>(profile)], DefaultHardwareTable, ids));
    }

    AssignmentType TypeOf(int profile, std::size_t slot)
    {
        std::lock_guard lock(session->Store().CurrentLock());
        return session->Store().Current().Assignment(static_cast<std::size_t>(profile), slot)->type;
    }

    bool Settle() { return window->WaitForWorker(10000); }

    ImageButton& Button(int id) { return *window->Button(id); }

    std::unique_ptr<KeyboardSession> session;
    std::unique_ptr<QSignalSpy> trayIcons;
};

TEST_F(KeyboardWindowTest, TheFirstAttachShowsTheWindowOnTheKeyboardsProfile)
{
    Open(WithActiveProfile(1));
    EXPECT_TRUE(boxes.empty()) << BoxTexts().front().toStdString();
    EXPECT_EQ(window->ActiveProfile(), 1);
    for (int n = 0; n < 3; ++n) EXPECT_EQ(Button(kIdProfile1 + n).IsSelected(), n == 1) << n;
    EXPECT_TRUE(window->ProfileMenu()->findChild<QAction*>("command9002")->isChecked());
    EXPECT_FALSE(window->ProfileMenu()->findChild<QAction*>("command9000")->isChecked());
    EXPECT_EQ(Button(kIdProfiles).text(), EnglishCaption("PROFILE_2"));
    EXPECT_EQ(Button(kIdProfiles).TooltipText(), Text("PROFILE_TIP") + EnglishCaption("PROFILE_2"));
    WAIT_TRUE(!trayIcons->isEmpty(), 5000);
    EXPECT_EQ(trayIcons->last().at(0).toInt(), kIconAttached);
    EXPECT_FALSE(Button(kIdApply).isEnabled());

    // Shown, it has a taskbar entry; a second instance's 'OPEN' just raises it.
    EXPECT_EQ(window->windowType(), Qt::Window);
    window->HandleInstanceMessage(kMsgOpen, kParamOpen);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(boxes.empty());

    if (const char* png = std::getenv("KESTRUNE_WINDOW_PNG")) window->grab().save(png);
}

TEST_F(KeyboardWindowTest, ApplyDownloadsTheEditsWhileTheWindowStaysLive)
{
    Open();
    const int profile = window->ActiveProfile();
    ASSERT_GE(profile, 0);
    RemapEsc(profile);
    EXPECT_TRUE(Button(kIdApply).isEnabled());
    QSignalSpy finished(window.get(), &MainWindow::applyFinished);
    Button(kIdApply).click();
    // The download runs on the worker: the progress picture turns meanwhile.
    QCoreApplication::sendPostedEvents(window.get());
    EXPECT_TRUE(window->findChild<QLabel*>("CONTROL_JDTStatic")->isVisible());
    EXPECT_FALSE(Button(kIdApply).isEnabled()) << "a second Apply could start";
    WAIT_EQ(finished.count(), 1, 10000);
    EXPECT_TRUE(finished.last().at(0).toBool());
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(window->UnappliedChanges());
    EXPECT_FALSE(Button(kIdApply).isEnabled());
    EXPECT_EQ(Dump().keyTables[static_cast<std::size_t>(profile)], ExpectedTable(profile));
    WAIT_TRUE(!window->findChild<QLabel*>("CONTROL_JDTStatic")->isVisible(), 5000);
    // The edited key shows its assignment once the keyboard has been read again.
    window->RefreshKeyButtons();
    EXPECT_TRUE(Button(kKeyButtonIds[37]).IsSelected()); // Esc
    EXPECT_FALSE(Button(kKeyButtonIds[0]).IsSelected()); // A
}

TEST_F(KeyboardWindowTest, AFailedApplySaysSoAndKeepsApplyEnabled)
{
    Open();
    const int profile = window->ActiveProfile();
    RemapEsc(profile);
    Control({"fault", "drop", "1000"});
    QSignalSpy finished(window.get(), &MainWindow::applyFinished);
    window->OnCommand(kIdApply);
    WAIT_EQ(finished.count(), 1, 20000);
    EXPECT_FALSE(finished.last().at(0).toBool());
    WAIT_TRUE(!boxes.empty(), 5000);
    EXPECT_EQ(boxes.back().text, Text("MAIN_DOWNLOAD_FAILED"));
    EXPECT_TRUE(window->UnappliedChanges());
    EXPECT_TRUE(Button(kIdApply).isEnabled());

    // The box says they are kept: so they are through an unplug and a replug,
    // whose read of the keyboard replaced them. (The refused replies may hide
    // a download the keyboard took: one more edit it has surely never seen.)
    Control({"fault", "clear"});
    {
        std::lock_guard lock(session->Store().CurrentLock());
        SetAssignment(*session->Store().Current().Assignment(static_cast<std::size_t>(profile), SlotOfKey(kKeyB)),
                      AssignmentType::RemapKey, 0, kKeyEsc);
    }
    Control({"unplug"});
    WAIT_EQ(trayIcons->last().at(0).toInt(), kIconDetached, 10000);
    int attachRefreshes = 0;
    window->LightingHooks().refresh = [&] { ++attachRefreshes; };
    Control({"plug"});
    WAIT_TRUE(attachRefreshes >= 1, 10000);
    ASSERT_TRUE(Settle());
    EXPECT_EQ(TypeOf(profile, SlotOfKey(kKeyEsc)), AssignmentType::RemapKey);
    EXPECT_EQ(TypeOf(profile, SlotOfKey(kKeyB)), AssignmentType::RemapKey);
    EXPECT_TRUE(window->UnappliedChanges());
    EXPECT_TRUE(Button(kIdApply).isEnabled());

    // Once the keyboard answers again, the posted Apply goes through.
    boxes.clear();
    window->PostApply();
    WAIT_EQ(finished.count(), 2, 20000);
    EXPECT_TRUE(finished.last().at(0).toBool());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(Dump().keyTables[static_cast<std::size_t>(profile)], ExpectedTable(profile));
}

TEST_F(KeyboardWindowTest, ProfileButtonsSwitchTheKeyboardAndAskAboutPendingEdits)
{
    Open(WithActiveProfile(0));
    Button(kIdProfile1 + 2).click();
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(Dump().settings[wire::kSettingsActiveProfile], 2);
    EXPECT_EQ(window->ActiveProfile(), 2);
    EXPECT_TRUE(Button(kIdProfile1 + 2).IsSelected());
    EXPECT_FALSE(Button(kIdProfile1).IsSelected());
    EXPECT_TRUE(window->ProfileMenu()->findChild<QAction*>("command9003")->isChecked());

    // Pending edits: No drops them, Yes downloads them before the switch.
    for (bool save : {false, true}) {
        const int from = window->ActiveProfile();
        const int to = from == 2 ? 1 : 2;
        const KeyTableBytes before = Dump().keyTables[static_cast<std::size_t>(from)];
        RemapEsc(from);
        boxes.clear();
        answers = {save};
        Button(kIdProfile1 + to).click();
        ASSERT_TRUE(Settle());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, Text("PROFILE_SELECT_PROMPT"));
        EXPECT_TRUE(boxes[0].question);
        const emulator::KeyboardState after = Dump();
        EXPECT_EQ(after.settings[wire::kSettingsActiveProfile], to);
        EXPECT_EQ(after.keyTables[static_cast<std::size_t>(from)] != before, save) << save;
        EXPECT_EQ(TypeOf(from, SlotOfKey(kKeyEsc)) == AssignmentType::RemapKey, save) << save;
        EXPECT_FALSE(window->UnappliedChanges());
    }

    // The profile menu's default item leaves the keyboard where it is.
    const int active = window->ActiveProfile();
    window->ProfileMenu()->findChild<QAction*>("command9000")->trigger();
    ASSERT_TRUE(Settle());
    EXPECT_EQ(Dump().settings[wire::kSettingsActiveProfile], active);

    // With the key dialog open a switch is refused with a message.
    window->Children().keyDialogOpen = [] { return true; };
    boxes.clear();
    Button(kIdProfile1 + (active + 1) % 3).click();
    ASSERT_TRUE(Settle());
    EXPECT_EQ(BoxTexts(), std::vector<QString>{Text("PROFILE_SEELCT_PROMPT2")});
    EXPECT_EQ(Dump().settings[wire::kSettingsActiveProfile], active);
    EXPECT_TRUE(Button(kIdProfile1 + active).IsSelected());
}

// A switch the keyboard does not take is reported, and no profile button
// shows a profile the keyboard is not on.
TEST_F(KeyboardWindowTest, AProfileSwitchTheKeyboardDoesNotTakeIsReportedAndNotShown)
{
    Open(WithActiveProfile(0));
    // The settings read is answered; the write that switches is refused.
    Control({"fault", "after", "1"});
    Control({"fault", "status", "fe", "3"});
    Button(kIdProfile1 + 2).click();
    ASSERT_TRUE(Settle());
    WAIT_TRUE(!boxes.empty(), 5000);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{Text("PROFILE_SWITCH_FAILED").replace("%d", "3")});
    EXPECT_EQ(Dump().settings[wire::kSettingsActiveProfile], 0);
    EXPECT_FALSE(Button(kIdProfile1 + 2).IsSelected());
    EXPECT_NE(window->ActiveProfile(), 2);
}

TEST_F(KeyboardWindowTest, ExportThenImportBringsTheConfigurationBackOnAllProfiles)
{
    Open();
    const int profile = window->ActiveProfile();
    RemapEsc(profile);
    chosenFile = QString::fromStdString((root / "saved.kpf").string());
    window->OnCommand(kCmdExport);
    ASSERT_TRUE(Settle());
    ASSERT_TRUE(std::filesystem::exists(root / "saved.kpf"));
    ASSERT_EQ(fileDialogs.size(), 1u);
    EXPECT_TRUE(fileDialogs[0].save);
    EXPECT_EQ(fileDialogs[0].defaultSuffix, "kpf");
    // The filter shows each pattern once (it read "(*.kpf) (*.kpf)").
    EXPECT_EQ(fileDialogs[0].filter.count(QStringLiteral("*.kpf")), 1) << fileDialogs[0].filter.toStdString();

    // Forget the edit, then take it back from the file.
    {
        std::lock_guard lock(session->Store().CurrentLock());
        SetAssignment(*session->Store().Current().Assignment(static_cast<std::size_t>(profile), SlotOfKey(kKeyEsc)),
                      AssignmentType::Default, 0, 0);
    }
    window->OnCommand(kCmdImport);
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(boxes.empty()) << BoxTexts().front().toStdString();
    EXPECT_EQ(TypeOf(profile, SlotOfKey(kKeyEsc)), AssignmentType::RemapKey);
    const emulator::KeyboardState state = Dump();
    for (int p = 0; p < 3; ++p) EXPECT_EQ(state.keyTables[static_cast<std::size_t>(p)], ExpectedTable(p)) << p;
    EXPECT_FALSE(window->UnappliedChanges());
    EXPECT_TRUE(Button(kKeyButtonIds[37]).IsSelected());

    // A file that is no profile file: one box that names it, and no word of
    // default settings restored (there were two boxes, the first saying so).
    {
        // Long enough to be read, with a header that is no profile file's.
        std::ofstream junk(root / "junk.kpf", std::ios::binary);
        junk << std::string(40000, 'x');
    }
    chosenFile = QString::fromStdString((root / "junk.kpf").string());
    window->OnCommand(kCmdImport);
    ASSERT_TRUE(Settle());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].text.startsWith(Text("MAIN_PROMPT_INPORT").trimmed())) << boxes[0].text.toStdString();
    EXPECT_TRUE(boxes[0].text.contains("junk.kpf"));
    EXPECT_EQ(TypeOf(profile, SlotOfKey(kKeyEsc)), AssignmentType::RemapKey);

    // An export the file system refuses says where and why.
    boxes.clear();
    chosenFile = QString::fromStdString((root / "no-such-folder" / "x.kpf").string());
    window->OnCommand(kCmdExport);
    ASSERT_TRUE(Settle());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].text.contains("no-such-folder")) << boxes[0].text.toStdString();
}

TEST_F(KeyboardWindowTest, UnplugClosesTheChildWindowsAndHidesAndReplugRefreshes)
{
    Open(WithActiveProfile(2));
    int keyDialogClosed = 0;
    window->Children().closeKeyDialog = [&] { ++keyDialogClosed; };
    window->OnCommand(kCmdAbout);
    ASSERT_TRUE(window->AboutBox());

    Control({"unplug"});
    WAIT_TRUE(!window->isVisible(), 10000);
    WAIT_TRUE(!window->AboutBox(), 5000);
    EXPECT_EQ(keyDialogClosed, 1);
    WAIT_EQ(trayIcons->last().at(0).toInt(), kIconDetached, 5000);
    EXPECT_EQ(window->windowType(), Qt::Tool);

    boxes.clear();
    window->OnCommand(kCmdOpen);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{Text("MAIN_NO_DEVICE_PROMPT")});

    int lightingRefreshes = 0;
    window->LightingHooks().refresh = [&] { ++lightingRefreshes; };
    Control({"plug"});
    WAIT_EQ(trayIcons->last().at(0).toInt(), kIconAttached, 10000);
    WAIT_TRUE(lightingRefreshes >= 1, 5000);
    EXPECT_TRUE(Button(kIdProfile1 + 2).IsSelected());
    // Only the first attach opens the window by itself.
    EXPECT_FALSE(window->isVisible());
    window->OnCommand(kCmdOpen);
    EXPECT_TRUE(window->isVisible());
}

// The macro key's link (its mark and its tooltip naming the macro) stays
// through the Apply that stores the macro on the keyboard, and through an
// unplug and a replug, whose read-back has no place for macro keys.
TEST_F(KeyboardWindowTest, AMacroOnG1KeepsItsLinkThroughApplyAndAReplug)
{
    Open();
    const int profile = window->ActiveProfile();
    ASSERT_GE(profile, 0);
    {
        std::lock_guard lock(session->Store().CurrentLock());
        CurrentCopy& copy = session->Store().Current();
        MacroRecord macro;
        macro.id = 1;
        macro.SetName(u"burst");
        macro.actionCount = 2;
        macro.actions[0] = {20, kKeyB, kMacroPress};
        macro.actions[1] = {0, kKeyB, kMacroRelease};
        copy.Macros().push_back(macro);
        KeyAssignment* g1 = copy.Assignment(static_cast<std::size_t>(profile), *GKeySlot(1, GKeyBank::A));
        ASSERT_NE(g1, nullptr);
        SetAssignment(*g1, AssignmentType::PlayMacro, g1->aux, macro.id);
    }
    // As the key dialog's OK leaves it.
    window->RefreshKeyButtons();
    window->SetUnappliedChanges(true);
    ImageButton& g1 = Button(kGKeyIds[0]);
    const QString linked = QStringLiteral("G1") + Text("KEY_PROMPT_SET") + Text("KEY_PROMPT_MACRO") + "burst)";
    ASSERT_TRUE(g1.IsSelected());
    ASSERT_EQ(g1.TooltipText(), linked);

    QSignalSpy finished(window.get(), &MainWindow::applyFinished);
    Button(kIdApply).click();
    WAIT_EQ(finished.count(), 1, 10000);
    ASSERT_TRUE(finished.last().at(0).toBool());
    ASSERT_TRUE(window->WaitForWorker(10000));
    EXPECT_TRUE(g1.IsSelected());
    EXPECT_EQ(g1.TooltipText(), linked);

    Control({"unplug"});
    WAIT_EQ(trayIcons->last().at(0).toInt(), kIconDetached, 10000);
    Control({"plug"});
    // The attach refreshes the keys before it shows the keyboard attached.
    WAIT_EQ(trayIcons->last().at(0).toInt(), kIconAttached, 10000);
    ASSERT_TRUE(window->WaitForWorker(10000));
    QCoreApplication::processEvents();
    EXPECT_EQ(TypeOf(profile, *GKeySlot(1, GKeyBank::A)), AssignmentType::PlayMacro);
    EXPECT_TRUE(g1.IsSelected());
    EXPECT_EQ(g1.TooltipText(), linked);
}

TEST_F(KeyboardWindowTest, TheBankKeyRemarksTheMacroKeysAndLightingChangesAreReadAgain)
{
    Open();
    const int profile = window->ActiveProfile();
    {
        std::lock_guard lock(session->Store().CurrentLock());
        SetAssignment(
            *session->Store().Current().Assignment(static_cast<std::size_t>(profile), *GKeySlot(1, GKeyBank::B)),
            AssignmentType::Disabled, GKeyId(1, GKeyBank::B), 0);
    }
    window->RefreshKeyButtons();
    EXPECT_FALSE(Button(kGKeyIds[0]).IsSelected());
    // The bank indicator's face shows the bank.
    const auto bankFace = [&] { return Button(kIdLockBank).grab().toImage(); };
    const QImage bankA = bankFace();
    Control({"bank-key"});
    WAIT_TRUE(Button(kGKeyIds[0]).IsSelected(), 10000);
    EXPECT_FALSE(Button(kGKeyIds[1]).IsSelected());
    EXPECT_NE(bankFace(), bankA);
    Control({"bank-key"});
    WAIT_TRUE(!Button(kGKeyIds[0]).IsSelected(), 10000);
    EXPECT_EQ(bankFace(), bankA);

    int lightingRefreshes = 0;
    window->LightingHooks().refresh = [&] { ++lightingRefreshes; };
    Control({"lighting-changed"});
    WAIT_EQ(lightingRefreshes, 1, 10000);
}

TEST_F(KeyboardWindowTest, RestoreDefaultsAsksThenClearsTheProfileAndDownloads)
{
    Open();
    const int profile = window->ActiveProfile();
    RemapEsc(profile);
    window->SetUnappliedChanges(false);
    answers = {false};
    Button(kIdDefault).click();
    ASSERT_TRUE(Settle());
    EXPECT_EQ(TypeOf(profile, SlotOfKey(kKeyEsc)), AssignmentType::RemapKey);

    answers = {true};
    Button(kIdDefault).click();
    ASSERT_TRUE(Settle());
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, Text("MAIN_PROMPT_DEFAULT"));
    EXPECT_EQ(TypeOf(profile, SlotOfKey(kKeyEsc)), AssignmentType::Default);
    EXPECT_EQ(Dump().keyTables[static_cast<std::size_t>(profile)], ExpectedTable(profile));
    EXPECT_FALSE(window->UnappliedChanges());
    std::lock_guard lock(session->Store().CurrentLock());
    EXPECT_EQ(session->Store().Current().Assignment(static_cast<std::size_t>(profile), *GKeySlot(3, GKeyBank::A))->aux,
              GKeyId(3, GKeyBank::A));
}

TEST_F(KeyboardWindowTest, ColourKeysModeMarksKeysInsteadOfOpeningTheKeyDialog)
{
    Open();
    int dialogs = 0;
    window->Children().openKeyDialog = [&](int) { ++dialogs; };
    Button(kKeyButtonIds[0]).click();
    Button(kGKeyIds[0]).click();
    EXPECT_EQ(dialogs, 2);

    const int profile = window->ActiveProfile();
    // Every macro key takes the mode's look, G6 to G9 (which never react) too.
    const auto face = [&](int n) { return Button(kGKeyIds[n - 1]).grab().toImage(); };
    const QImage g2 = face(2), g6 = face(6);
    Button(kIdSwitch).click();
    EXPECT_NE(face(2), g2);
    EXPECT_NE(face(6), g6);
    Button(kKeyButtonIds[2]).click();
    Button(kGKeyIds[0]).click();
    EXPECT_EQ(dialogs, 2);
    EXPECT_TRUE(window->UnappliedChanges());
    EXPECT_TRUE(Button(kKeyButtonIds[2]).IsChecked());
    EXPECT_FALSE(Button(kKeyButtonIds[0]).IsChecked());
    {
        std::lock_guard lock(session->Store().CurrentLock());
        const CurrentCopy& copy = session->Store().Current();
        EXPECT_NE(copy.Assignment(static_cast<std::size_t>(profile), ColourMarkSlotOfButton(2))->mark, 0u);
        EXPECT_NE(copy.Assignment(static_cast<std::size_t>(profile), *ColourMarkSlotOfGKey(1, GKeyBank::A))->mark, 0u);
    }
    // A profile switch leaves the mode.
    answers = {false};
    Button(kIdProfile1 + (profile + 1) % 3).click();
    ASSERT_TRUE(Settle());
    EXPECT_FALSE(window->ColourKeysMode());
    EXPECT_FALSE(Button(kKeyButtonIds[2]).IsCheckMode());
    EXPECT_EQ(face(6), g6);
}

// What a screen reader announces for a control: its accessible name.
QString AnnouncedName(QObject* object)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(object);
    return face != nullptr ? face->text(QAccessible::Name).trimmed() : QString();
}

bool Interactive(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
    case QAccessible::ComboBox:
    case QAccessible::Slider:
    case QAccessible::SpinBox:
    case QAccessible::EditableText:
    case QAccessible::Link:
    case QAccessible::MenuItem:
        return true;
    default:
        return false;
    }
}

// The visible controls a user can act on that a screen reader would announce
// without a name, by object name; clickable pictures count as controls.
std::string UnnamedControls(QWidget& root)
{
    QStringList unnamed;
    for (QWidget* widget : root.findChildren<QWidget*>()) {
        if (!widget->isVisible() || widget->isWindow()) continue;
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
        const bool acts = (face != nullptr && Interactive(face->role())) || widget->focusPolicy() != Qt::NoFocus ||
                          widget->metaObject()->indexOfSignal("clicked()") >= 0;
        if (acts && AnnouncedName(widget).isEmpty()) unnamed << widget->objectName();
    }
    return unnamed.join(' ').toStdString();
}

std::string UnnamedMenuItems(QMenu& menu)
{
    QStringList unnamed;
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(&menu);
    if (face == nullptr) return menu.objectName().toStdString();
    if (face->text(QAccessible::Name).trimmed().isEmpty()) unnamed << menu.objectName();
    for (int i = 0; i < face->childCount(); ++i) {
        QAccessibleInterface* item = face->child(i);
        if (item->role() == QAccessible::Separator) continue;
        if (item->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << menu.objectName() + "/" + menu.actions().value(i)->objectName();
    }
    return unnamed.join(' ').toStdString();
}

TEST_F(KeyboardWindowTest, EveryControlAndMenuItemHasANameInEitherLanguage)
{
    Open();
    auto icons = LoadTrayIcons(SkinFolder());
    ASSERT_TRUE(icons.ok()) << icons.error();
    TrayIcon tray;
    ASSERT_TRUE(tray.Create(window.get(), *icons, window->TrayTip(), kIconAttached));
    QObject::connect(window.get(), &MainWindow::trayTipChanged, &tray, &TrayIcon::SetTip);
    RemapEsc(window->ActiveProfile());
    window->RefreshKeyButtons();
    std::size_t esc = 0;
    while (KeyButtonOrder[esc] != kKeyEsc) ++esc;
    const ImageButton& escButton = Button(kKeyButtonIds[esc]);

    // A button with a caption, a light with none, a control of the lighting panel.
    const QString sample[] = {"CONTROL_OK", "LOCK_CAPS", "CONTROL_DengStaPic"};
    std::vector<QStringList> names;
    for (int command : {kCmdEnglish, kCmdChinese, kCmdEnglish}) {
        SCOPED_TRACE(command);
        window->OnCommand(command);
        EXPECT_EQ(UnnamedControls(*window), "");
        std::unique_ptr<QMenu> buttonMenu(window->BuildButtonMenu());
        for (QMenu* menu : {buttonMenu.get(), window->ProfileMenu(), tray.Menu()})
            EXPECT_EQ(UnnamedMenuItems(*menu), "");
        names.emplace_back();
        for (const QString& name : sample) names.back() << AnnouncedName(window->findChild<QWidget*>(name));
        // A remapped key's tooltip says what it is set to in the language shown.
        EXPECT_EQ(escButton.TooltipText(), QString::fromStdU16String(KeyName(kKeyEsc)) + Text("KEY_PROMPT_SET") +
                                               Text("KEY_PROMPT_SINGLE") + QString::fromStdU16String(KeyName(kKeyB)) +
                                               ")");
        names.back() << escButton.TooltipText();
    }
    // The names follow the language shown.
    EXPECT_EQ(names[0], names[2]);
    for (int i = 0; i < names[0].size(); ++i) EXPECT_NE(names[0][i], names[1][i]) << names[0][i].toStdString();
    EXPECT_EQ(names[0][0], EnglishCaption("PROFILE_OK"));
}

TEST_F(KeyboardWindowTest, TheKeyDisplayNeverWaitsForABusyConfiguration)
{
    Open();
    RemapEsc(window->ActiveProfile());
    // Another thread holds the configuration (as a download does) until
    // the GUI thread has asked for a refresh: a refresh that waited for
    // the lock would never return.
    std::promise<void> release;
    std::atomic<bool> held{false};
    std::thread holder([&] {
        std::lock_guard lock(session->Store().CurrentLock());
        held = true;
        release.get_future().wait();
    });
    while (!held) std::this_thread::yield();
    window->RefreshKeyButtons();
    EXPECT_FALSE(Button(kKeyButtonIds[37]).IsSelected());
    release.set_value();
    holder.join();
    WAIT_TRUE(Button(kKeyButtonIds[37]).IsSelected(), 5000);
}

// With the per-key lights on, a press on one key, a drag across its
// neighbours and back, and the release, all through the window's own mouse
// handling: each key the drag passes holds the brush colour on screen and on
// the keyboard, no other key changes, and the paints made while the keyboard
// was busy reach it once per key, however often the drag entered it.
TEST_F(KeyboardWindowTest, DraggingAcrossTheKeysPaintsThemOnTheKeyboard)
{
    emulator::KeyboardState state = emulator::FactoryKeyboardState();
    state.lighting[lightaddr::kEffect] = kEffectPerKey;
    std::filesystem::create_directories(SettingsFile().path().parent_path());
    ASSERT_TRUE(SettingsFile().SetLightSwitch(true).ok());
    Open(state);
    LightingPanel* panel = window->LightingPanelControls();
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(panel->PaintsKeys());
    const char* const rgbBoxes[] = {"m_edit_rgbr", "m_edit_rgbg", "m_edit_rgbb"};
    const QColor brush(12, 134, 56);
    const int channels[] = {brush.red(), brush.green(), brush.blue()};
    for (std::size_t i = 0; i < 3; ++i) {
        auto* box = window->findChild<QLineEdit*>(QString::fromLatin1(rgbBoxes[i]));
        ASSERT_NE(box, nullptr);
        box->selectAll();
        QTest::keyClicks(box, QString::number(channels[i]));
    }
    ASSERT_EQ(panel->BrushColour(), RefFromColour(brush));
    auto settle = [&] {
        WAIT_TRUE(!panel->Writer().Busy(), 10000);
        QCoreApplication::processEvents();
    };
    settle();
    const auto before = Dump().keyColours;
    auto received = [&] {
        std::vector<std::string> lines;
        std::istringstream text(ControlText({"received"}));
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        return lines;
    };
    auto colourWrites = [](const std::vector<std::string>& lines) {
        // Hex of the command byte of a report.
        const std::string code =
            emulator::HexBytes(std::array<std::uint8_t, 1>{static_cast<std::uint8_t>(wire::Command::WriteColours)});
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.compare(3 * wire::kOffCommand, 2, code) == 0;
        });
    };
    const auto writesBefore = colourWrites(received());

    // The drag runs from the middle of one key to the middle of a key a few
    // to its right, then back to the second key.
    ImageButton& first = Button(kKeyButtonIds[26]);
    ImageButton& last = Button(kKeyButtonIds[30]);
    const QPoint from = first.mapTo(window.get(), first.rect().center());
    const QPoint to = last.mapTo(window.get(), last.rect().center());
    ASSERT_EQ(from.y(), to.y());
    ASSERT_LT(from.x(), to.x());
    std::vector<int> path;
    for (int x = from.x(); x <= to.x(); x += 3) path.push_back(x);
    const int back = Button(kKeyButtonIds[27]).mapTo(window.get(), Button(kKeyButtonIds[27]).rect().center()).x();
    for (int x = to.x(); x >= back; x -= 3) path.push_back(x);

    // The keys under the path, by the window's geometry of its buttons.
    std::set<int> paintedLights;
    std::vector<int> paintedIds;
    for (int button = 0; button < static_cast<int>(kOrdinaryKeyCount); ++button) {
        ImageButton* key = window->Button(kKeyButtonIds[static_cast<std::size_t>(button)]);
        if (key == nullptr || !key->isVisible()) continue;
        const QRect area(key->mapTo(window.get(), QPoint(0, 0)), key->size());
        if (!area.intersects(QRect(QPoint(from.x(), from.y()), QPoint(to.x(), from.y())))) continue;
        paintedLights.insert(LightOfKeyButton(button));
        paintedIds.push_back(kKeyButtonIds[static_cast<std::size_t>(button)]);
    }
    ASSERT_GE(paintedIds.size(), 4u);

    // The keyboard is kept busy until the drag is over, as a slow keyboard
    // would be: every paint made meanwhile waits for the next update.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    panel->Writer().Submit({LightingJob::Direction}, [released](Lighting&) {
        released.wait();
        return kResultOk;
    });
    QWindow* handle = window->windowHandle();
    ASSERT_NE(handle, nullptr);
    QTest::mousePress(handle, Qt::LeftButton, {}, from);
    for (int x : path) QTest::mouseMove(handle, QPoint(x, from.y()));
    QTest::mouseRelease(handle, Qt::LeftButton, {}, QPoint(back, from.y()));
    for (int id : paintedIds) EXPECT_EQ(Button(id).FillColour(), brush) << "key " << id << " on screen";
    release.set_value();
    settle();

    const auto after = Dump().keyColours;
    for (std::size_t light = 0; light < kLightCount; ++light) {
        const QColor held(after[3 * light], after[3 * light + 1], after[3 * light + 2]);
        const QColor was(before[3 * light], before[3 * light + 1], before[3 * light + 2]);
        EXPECT_EQ(held, paintedLights.count(static_cast<int>(light)) != 0 ? brush : was) << "light " << light;
    }
    const std::vector<std::string> log = received();
    ASSERT_LT(log.size(), emulator::EmulatedKeyboard::kReportLogSize) << "the log no longer holds the drag";
    EXPECT_EQ(static_cast<std::size_t>(colourWrites(log) - writesBefore), paintedLights.size())
        << "keys entered again before their paint went out were sent again";
    EXPECT_TRUE(boxes.empty());
}

} // namespace
} // namespace kestrune::test
