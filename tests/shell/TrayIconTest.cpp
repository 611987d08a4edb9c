// The tray icon on the offscreen platform: its menu, what each kind of click
// gives the owner, and icon changes from other threads.

#include "app/TrayIcon.h"
#include "app/WindowPresence.h"
#include "config/Folders.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <thread>

using namespace kestrune;

namespace {

class TrayIconTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_skins = m_folder / "Skins";
        ASSERT_TRUE(std::filesystem::create_directory(m_skins));
        for (int id : {kIconDetached, kIconAttached, kIconRecording}) {
            QImage picture(16, 16, QImage::Format_ARGB32);
            picture.fill(QColor(id, 0, 0));
            ASSERT_TRUE(picture.save(QString::fromStdString(TrayIconFile(m_skins, id).string())));
        }
        WriteLanguage("[LANGUAGE]\nlanguage=1\n[CHINESE]\nMENU_11=C-Open\n"
                      "[ENGINSH]\nMENU_11=Open(&O)\nMENU_22=About(&A)\n");
        SetProgramFolder(m_folder.Path());
        auto icons = LoadTrayIcons(m_skins);
        ASSERT_TRUE(icons) << icons.error();
        m_icons = *icons;
    }
    void TearDown() override { SetProgramFolder(std::nullopt); }

    void WriteLanguage(const QByteArray& text)
    {
        QFile file(QString::fromStdString((m_skins / "language.ini").string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    kestrune::testing::ScratchFolder m_folder{"kestrune-tray"};
    std::filesystem::path m_skins;
    TrayIcons m_icons;
    QWidget m_owner;
};

TEST_F(TrayIconTest, MenuTakesTheLanguageFileAtEveryDisplayWithOpenAsDefault)
{
    TrayIcon tray;
    ASSERT_TRUE(tray.Create(&m_owner, m_icons, "Gaming keyboard settings", kIconDetached));
    QMenu* menu = tray.Menu();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 3);
    EXPECT_EQ(menu->defaultAction(), menu->actions()[0]);
    // A key the file lacks shows a single blank.
    const QStringList english{"Open(&O)", "About(&A)", " "};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(menu->actions()[i]->text(), english[i]);

    WriteLanguage("[LANGUAGE]\nlanguage=0\n[CHINESE]\nMENU_11=C-Open\nMENU_22=C-About\nMENU_33=C-Exit\n");
    menu = tray.Menu();
    EXPECT_EQ(menu->actions()[2]->text(), "C-Exit");

    QSignalSpy commands(&tray, &TrayIcon::Command);
    for (QAction* action : menu->actions()) action->trigger();
    ASSERT_EQ(commands.size(), 3);
    EXPECT_EQ(commands[0][0].toInt(), mainwnd::kCmdOpen);
    EXPECT_EQ(commands[1][0].toInt(), mainwnd::kCmdAbout);
    EXPECT_EQ(commands[2][0].toInt(), mainwnd::kCmdExit);

    EXPECT_EQ(tray.Tip(), "Gaming keyboard settings");
    tray.SetTip("other");
    EXPECT_EQ(tray.Tip(), "other");
}

TEST_F(TrayIconTest, ClicksGiveTheOwnerACommandOrTheMenu)
{
    using R = QSystemTrayIcon::ActivationReason;
    struct Case {
        const char* name;
        TrayHost host;
        int singleClick;
        std::vector<R> clicks;
        std::vector<int> expected;
        bool menuShown = false; // by this program rather than by Qt's tray
    };
    const Case cases[] = {
        {"double-click opens",
         TrayHost::XEmbed,
         mainwnd::kIdProfileMenu,
         {R::Trigger, R::DoubleClick},
         {mainwnd::kCmdOpen}},
        {"single click shows the profile menu",
         TrayHost::XEmbed,
         mainwnd::kIdProfileMenu,
         {R::Trigger},
         {mainwnd::kIdProfileMenu}},
        {"no single-click command", TrayHost::XEmbed, 0, {R::Trigger}, {}},
        {"right click is the menu's", TrayHost::XEmbed, mainwnd::kIdProfileMenu, {R::Context}, {}},
        {"notifier activation opens",
         TrayHost::StatusNotifier,
         mainwnd::kIdProfileMenu,
         {R::Trigger},
         {mainwnd::kCmdOpen}},
        {"notifier secondary activation",
         TrayHost::StatusNotifier,
         mainwnd::kIdProfileMenu,
         {R::MiddleClick},
         {mainwnd::kIdProfileMenu}},
        {"notifier context menu request", TrayHost::StatusNotifier, mainwnd::kIdProfileMenu, {R::Context}, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TrayIcon tray;
        ASSERT_TRUE(tray.Create(&m_owner, m_icons, "tip", kIconDetached));
        tray.SetHost(c.host);
        tray.SetSingleClickCommand(c.singleClick);
        QSignalSpy commands(&tray, &TrayIcon::Command);
        for (R click : c.clicks) EXPECT_TRUE(tray.OnTrayNotification(kTrayIconId, click));
        // Past the double-click time, so a late single click would show; then
        // until the click is settled, however late a loaded machine runs its timer.
        QTest::qWait(QApplication::doubleClickInterval() + 100);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !tray.IsClickPending(); }, 30000));
        std::vector<int> got;
        for (const auto& args : commands) got.push_back(args[0].toInt());
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(tray.Menu()->isVisible(), c.menuShown);
        EXPECT_FALSE(tray.OnTrayNotification(kTrayIconId + 1, R::DoubleClick));
    }
}

// Exit from the tray menu ends the program, which removes the icon and its
// menu while the menu is still handling the click: the menu must outlive it.
TEST_F(TrayIconTest, RemovingTheIconFromItsOwnMenuCommandLeavesTheMenuUntilTheClickIsHandled)
{
    TrayIcon tray;
    ASSERT_TRUE(tray.Create(&m_owner, m_icons, "tip", kIconDetached));
    QPointer<QMenu> menu = tray.Menu();
    bool aliveAfterDelete = false;
    QObject::connect(&tray, &TrayIcon::Command, &tray, [&](int command) {
        if (command != mainwnd::kCmdExit) return;
        tray.Delete();
        aliveAfterDelete = !menu.isNull();
    });
    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    QAction* exit = menu->findChild<QAction*>(QStringLiteral("trayMenu%1").arg(mainwnd::kCmdExit));
    ASSERT_NE(exit, nullptr);
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(exit).center());
    EXPECT_TRUE(aliveAfterDelete);
    // Gone once the click has been handled.
    EXPECT_TRUE(QTest::qWaitFor([&] { return menu.isNull(); }, 5000));
}

TEST_F(TrayIconTest, IconChangesFromOtherThreadsArriveOnTheGuiThread)
{
    TrayIcon tray;
    EXPECT_FALSE(tray.Create(nullptr, m_icons, "tip", kIconDetached));
    tray.SetIcon(kIconAttached); // before Create: nothing
    EXPECT_EQ(tray.ShownIcon(), 0);

    ASSERT_TRUE(tray.Create(&m_owner, m_icons, "tip", kIconDetached));
    std::thread worker([&] {
        tray.SetIcon(kIconRecording);
        tray.SetIcon(kIconAttached);
        tray.SetTip("from a worker");
    });
    worker.join();
    EXPECT_EQ(tray.ShownIcon(), kIconDetached); // not yet: the GUI thread makes the change
    QCoreApplication::processEvents();
    EXPECT_EQ(tray.ShownIcon(), kIconAttached);
    EXPECT_EQ(tray.Tip(), "from a worker");

    tray.Delete();
    EXPECT_FALSE(tray.IsCreated());
    tray.SetIcon(kIconDetached);
    EXPECT_EQ(tray.ShownIcon(), 0);
}

TEST_F(TrayIconTest, MissingIconPictureIsNamed)
{
    ASSERT_TRUE(QFile::remove(QString::fromStdString(TrayIconFile(m_skins, kIconRecording).string())));
    auto icons = LoadTrayIcons(m_skins);
    ASSERT_FALSE(icons);
    EXPECT_NE(icons.error().find("tray142.png"), std::string::npos) << icons.error();
}

TEST(WindowPresenceTest, ToolWindowWhileHiddenAppWindowWhileShown)
{
    QWidget window(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    ShowAsAppWindow(&window);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.windowFlags() & Qt::WindowType_Mask, Qt::Window);
    EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);

    window.showMinimized();
    ShowAsAppWindow(&window);
    EXPECT_FALSE(window.isMinimized());

    HideToTray(&window);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.windowFlags() & Qt::WindowType_Mask, Qt::Tool);
    EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
}

} // namespace
