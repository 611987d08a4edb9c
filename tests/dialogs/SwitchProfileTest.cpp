// Profile switches from every place that offers one, with the profile
// manager and the update dialog wired into the main window as the program
// wires them, against the emulator's device library.

#include "DialogFixture.h"

#include "app/AboutDialog.h"
#include "app/ChildDialogs.h"
#include "app/MainWindow.h"
#include "app/MainWindowIds.h"
#include "keymodel/KeyCodes.h"

#include <QAction>
#include <QMenu>
#include <QTableWidget>
#include <QTest>

namespace kestrune::test {
namespace {

using namespace mainwnd;

constexpr KeyIndex kEsc = 0x001;
constexpr KeyIndex kB = 0x030;

class SwitchProfileTest : public KeyboardDialogTest {
protected:
    DeviceEventSink& SessionSink() override
    {
        if (!main) {
            main = std::make_unique<MainWindow>(settings);
            EXPECT_TRUE(main->Initialise());
            QCoreApplication::sendPostedEvents(main.get()); // the deferred initialisation
        }
        return *main;
    }
    Reporter& SessionReporter() override { return main->GetReporter(); }
    void BeforeStart() override
    {
        main->SetKeyboard({&session->Store(), &session->GetTransfer(), &session->GetLighting(), &session->Events()});
        children = std::make_unique<ChildDialogs>(*main, *session, settings, language);
        // Open without a modal loop, so the test goes on while they are open.
        main->Children().runProfileManager = [this] { children->ProfileManager().show(); };
        main->Children().runUpdateDialog = [this] { children->UpdateDialog().show(); };
    }
    void TearDown() override
    {
        if (main) main->WaitForWorker(20000);
        if (session) session->Stop();
        children.reset();
        KeyboardDialogTest::TearDown();
        main.reset();
    }

    void Settle() { ASSERT_TRUE(main->WaitForWorker(20000)); }

    // An edit of profile 0 that Apply has not sent: Esc plays B.
    void EditWithoutApplying()
    {
        {
            std::lock_guard lock(Store().CurrentLock());
            SetAssignment(*Store().Current().Assignment(0, SlotOfKey(kEsc)), AssignmentType::RemapKey, 0, kB);
        }
        main->SetUnappliedChanges(true);
    }

    bool CurrentCopyHasTheEdit()
    {
        std::lock_guard lock(Store().CurrentLock());
        return Store().Current().Assignment(0, SlotOfKey(kEsc))->type == AssignmentType::RemapKey;
    }

    bool KeyboardTookTheEdit()
    {
        auto state = emulator::KeyboardStateFromJson(Control({"dump"}));
        EXPECT_TRUE(state.ok());
        return state.ok() && state->keyTables[0] != emulator::FactoryKeyboardState().keyTables[0];
    }

    QAction* MenuCommand(int command)
    {
        for (QAction* action : main->ProfileMenu()->actions())
            if (action->objectName() == QStringLiteral("command%1").arg(command)) return action;
        ADD_FAILURE() << "no menu item for command " << command;
        return nullptr;
    }

    std::vector<int> ManagerCheckedRows()
    {
        auto* list = children->ProfileManager().findChild<QTableWidget*>("PROGRAM_LIST");
        std::vector<int> rows;
        for (int row = 0; row < list->rowCount(); ++row)
            if (list->item(row, 0)->checkState() == Qt::Checked) rows.push_back(row);
        return rows;
    }

    std::unique_ptr<MainWindow> main;
    std::unique_ptr<ChildDialogs> children;
};

TEST_F(SwitchProfileTest, EveryCallerSwitchesAndSettlesUnappliedEditsAsAnswered)
{
    enum class Edits { None, Yes, No };
    struct Case {
        const char* caller;
        std::function<void()> press; // asks for profile 2
        Edits edits;
    };
    const auto button = [this] { QTest::mouseClick(main->Button(kIdProfile1 + 2), Qt::LeftButton); };
    const auto menu = [this] { MenuCommand(kCmdDefaultProfile + 3)->trigger(); };
    const auto manager = [this] {
        main->OnCommand(kIdProfiles);
        auto* list = children->ProfileManager().findChild<QTableWidget*>("PROGRAM_LIST");
        list->item(2, 0)->setCheckState(Qt::Checked);
        QTest::mouseClick(children->ProfileManager().findChild<ImageButton*>("CONTROL_OK"), Qt::LeftButton);
    };
    const Case cases[] = {
        {"profile button", button, Edits::None},   {"profile button", button, Edits::Yes},
        {"profile button", button, Edits::No},     {"profile menu", menu, Edits::None},
        {"profile menu", menu, Edits::Yes},        {"profile menu", menu, Edits::No},
        {"profile manager", manager, Edits::None}, {"profile manager", manager, Edits::Yes},
        {"profile manager", manager, Edits::No},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.caller) + (c.edits == Edits::None ? "" : c.edits == Edits::Yes ? ", Yes" : ", No"));
        Control({"reset"});
        transfer->SetActiveProfile(0);
        transfer->RefreshFromKeyboard(false);
        Settle();
        main->BuildProfileMenu(false);
        main->ShowActiveProfileButton();
        prompts.messages.clear();
        if (c.edits != Edits::None) {
            EditWithoutApplying();
            prompts.answers = {c.edits == Edits::Yes};
        }

        c.press();
        // The manager switches once the edits it was told to send are in.
        ASSERT_TRUE(WaitUntil([&] { return !children->ProfileManager().IsOpen(); }));
        Settle();
        EXPECT_EQ(KeyboardActiveProfile(), 2);
        EXPECT_EQ(main->ActiveProfile(), 2);
        EXPECT_FALSE(main->UnappliedChanges());
        EXPECT_TRUE(MenuCommand(kCmdDefaultProfile + 3)->isChecked());
        for (int n = 0; n < 3; ++n) EXPECT_EQ(main->Button(kIdProfile1 + n)->IsSelected(), n == 2) << "button " << n;
        if (c.edits == Edits::None) {
            EXPECT_TRUE(prompts.messages.empty());
            continue;
        }
        ASSERT_EQ(prompts.messages.size(), 1u);
        EXPECT_TRUE(prompts.messages[0].question);
        EXPECT_EQ(prompts.messages[0].text, QString::fromStdU16String(language.Text("PROFILE_SELECT_PROMPT")));
        // Yes sends the edits to the profile they were made on; No drops them.
        EXPECT_EQ(KeyboardTookTheEdit(), c.edits == Edits::Yes);
        if (c.edits == Edits::No) {
            EXPECT_FALSE(CurrentCopyHasTheEdit());
        }
    }
}

// The manager's rebuild from the keyboard would replace edits the keyboard
// has not taken: with the download refused, nothing switches and they stay.
TEST_F(SwitchProfileTest, TheManagerSwitchesNothingWhenTheKeyboardRefusesTheEditsToBeSent)
{
    Settle(); // the attach at start has been shown
    EditWithoutApplying();
    main->OnCommand(kIdProfiles);
    ProfileManagerDialog& manager = children->ProfileManager();
    manager.findChild<QTableWidget*>("PROGRAM_LIST")->item(1, 0)->setCheckState(Qt::Checked);
    Control({"fault", "status", "ff", "1000"});
    prompts.answers = {true};
    QTest::mouseClick(manager.findChild<ImageButton*>("CONTROL_OK"), Qt::LeftButton);
    Settle();
    Control({"fault", "status", "ff", "0"});
    ASSERT_EQ(prompts.messages.size(), 2u);
    EXPECT_TRUE(prompts.messages[0].question);
    EXPECT_EQ(prompts.messages[1].text, QString::fromStdU16String(language.Text("MAIN_DOWNLOAD_FAILED")));
    EXPECT_TRUE(manager.IsOpen());
    EXPECT_EQ(KeyboardActiveProfile(), 0);
    EXPECT_TRUE(CurrentCopyHasTheEdit());
    EXPECT_TRUE(main->UnappliedChanges());
    // The same OK once the keyboard answers again sends them and switches.
    prompts.answers = {true};
    QTest::mouseClick(manager.findChild<ImageButton*>("CONTROL_OK"), Qt::LeftButton);
    // The switch is queued once the download has ended.
    ASSERT_TRUE(WaitUntil([&] { return !manager.IsOpen(); }));
    Settle();
    EXPECT_EQ(KeyboardActiveProfile(), 1);
    EXPECT_TRUE(KeyboardTookTheEdit());
    EXPECT_TRUE(CurrentCopyHasTheEdit());
}

TEST_F(SwitchProfileTest, TheDefaultMenuItemAndTheLightingPanelKeepTheKeyboardsProfile)
{
    transfer->SetActiveProfile(1);
    Settle();
    const std::size_t sent = Received().size();
    MenuCommand(kCmdDefaultProfile)->trigger();
    Settle();
    // The lighting panel switches to the profile that is active.
    EXPECT_EQ(main->SwitchProfile(main->ActiveProfile()), 1);
    Settle();
    EXPECT_EQ(KeyboardActiveProfile(), 1);
    EXPECT_TRUE(prompts.messages.empty());
    EXPECT_TRUE(MenuCommand(kCmdDefaultProfile + 2)->isChecked());
    // Only the switch to the active profile wrote the settings record.
    std::size_t writes = 0;
    const auto now = Received();
    for (std::size_t i = sent; i < now.size(); ++i) writes += now[i].compare(9, 2, "04") == 0;
    EXPECT_EQ(writes, 1u);
}

TEST_F(SwitchProfileTest, ASwitchWhileTheManagerIsOpenMovesItsCheckOrAsksWhenItHasChanges)
{
    main->OnCommand(kIdProfiles);
    ProfileManagerDialog& manager = children->ProfileManager();
    ASSERT_TRUE(manager.IsOpen());
    EXPECT_EQ(ManagerCheckedRows(), std::vector<int>{0});

    QTest::mouseClick(main->Button(kIdProfile1 + 1), Qt::LeftButton);
    Settle();
    EXPECT_EQ(KeyboardActiveProfile(), 1);
    EXPECT_EQ(ManagerCheckedRows(), std::vector<int>{1});
    EXPECT_FALSE(manager.ApplyPending());
    EXPECT_TRUE(prompts.messages.empty());

    // Changes in the manager that Apply has not taken: the question, and the
    // manager's list is left as it is.
    auto* list = manager.findChild<QTableWidget*>("PROGRAM_LIST");
    list->item(0, 0)->setCheckState(Qt::Checked);
    ASSERT_TRUE(manager.ApplyPending());
    prompts.answers = {false};
    QTest::mouseClick(main->Button(kIdProfile1 + 2), Qt::LeftButton);
    Settle();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(prompts.messages[0].question);
    EXPECT_EQ(KeyboardActiveProfile(), 2);
    EXPECT_EQ(ManagerCheckedRows(), std::vector<int>{0});

    // A detach closes the manager as Cancel would.
    main->CloseChildWindows();
    EXPECT_FALSE(manager.IsOpen());
}

TEST_F(SwitchProfileTest, TheManagersOkSwitchesAndRebuildsTheWindowsMenu)
{
    main->OnCommand(kIdProfiles);
    ProfileManagerDialog& manager = children->ProfileManager();
    auto* list = manager.findChild<QTableWidget*>("PROGRAM_LIST");
    list->item(2, 0)->setCheckState(Qt::Checked);
    QTest::mouseClick(manager.findChild<ImageButton*>("CONTROL_OK"), Qt::LeftButton);
    Settle();
    EXPECT_FALSE(manager.IsOpen());
    EXPECT_EQ(KeyboardActiveProfile(), 2);
    EXPECT_TRUE(MenuCommand(kCmdDefaultProfile + 3)->isChecked());
    EXPECT_FALSE(main->UnappliedChanges());
}

TEST_F(SwitchProfileTest, FirmwareUpdateRequestOpensTheUpdateDialog)
{
    main->HandleInstanceMessage(kMsgOpen, kParamFirmwareUpdate);
    EXPECT_FALSE(children->UpdateDialog().isVisible()); // posted: the sender is not kept waiting
    ASSERT_TRUE(WaitUntil([&] { return children->UpdateDialog().isVisible(); }));
}

} // namespace
} // namespace kestrune::test
