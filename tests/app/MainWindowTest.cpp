// The main window on the shipped skin with no keyboard: its picture, its
// messages, its buttons and menu, the language switch.

#include "WindowTestSupport.h"

#include "app/AboutDialog.h"

#include "ui/WindowMessage.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <QThread>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace kestrune::test {
namespace {

using namespace mainwnd;

class MainWindowTest : public WindowTest {
protected:
    void SetUp() override { MakeWindow(); }

    ImageButton& Button(int id) { return *window->Button(id); }
};

TEST_F(MainWindowTest, PlacesEveryKeyOfThePictureAndNamesEveryControl)
{
    // Every key the default skin draws gets a real place; a key placed at
    // (1, 1) would be a key the user cannot reach.
    std::vector<int> keys(kKeyButtonIds.begin(), kKeyButtonIds.end());
    keys.insert(keys.end(), kGKeyIds.begin(), kGKeyIds.end());
    keys.push_back(kIdFn);
    for (int id : keys) {
        ImageButton& key = Button(id);
        EXPECT_GT(key.width(), 1) << key.objectName().toStdString();
        EXPECT_TRUE(key.objectName().startsWith("KEY_") || key.objectName().startsWith("FUNC_G"));
        EXPECT_FALSE(key.accessibleName().trimmed().isEmpty()) << key.objectName().toStdString();
    }
    EXPECT_EQ(Button(kKeyButtonIds[0]).objectName(), "KEY_01E"); // A
    EXPECT_EQ(Button(kKeyButtonIds[0]).accessibleName(), "A");
    for (int n = 0; n < kGKeyCount; ++n) EXPECT_EQ(Button(kGKeyIds[n]).isEnabled(), n < kGKeysThatReact) << n;
    // The colour-keys switch is shown, so the mode can be reached.
    EXPECT_GT(Button(kIdSwitch).width(), 1);
    EXPECT_TRUE(Button(kIdSwitch).isEnabled());

    EXPECT_FALSE(Button(kIdApply).isEnabled());
    EXPECT_FALSE(window->UnappliedChanges());
    EXPECT_FALSE(Button(kIdVersion).isEnabled());
    EXPECT_EQ(Button(kIdOk).text(), EnglishCaption("PROFILE_OK"));
    EXPECT_EQ(Button(kIdProfile1 + 2).text(), EnglishCaption("PROFILE_3"));
    EXPECT_EQ(Button(kIdClose).TooltipText(), EnglishCaption("MAIN_CLOSE_PROMPT"));
    EXPECT_EQ(Button(kIdClose).accessibleName(), EnglishCaption("MAIN_CLOSE_PROMPT"));
    EXPECT_EQ(window->windowTitle(), Text("MAIN_CAPTION"));
    EXPECT_FALSE(window->isVisible());

    if (const char* png = std::getenv("KESTRUNE_WINDOW_PNG")) window->grab().save(png);
}

TEST_F(MainWindowTest, HoldsItsPicturesOnlyWhileShownAndHandsThemToEveryButtonEachTime)
{
    // Hidden in the tray the window knows its size from the picture's header
    // and holds no decoded picture.
    const QSize size = window->size();
    EXPECT_GT(size.width(), 100);
    EXPECT_FALSE(window->PicturesLoaded());
    EXPECT_TRUE(window->Background().isNull());

    // A key's face is cut from the state pictures: drawn, it is not one flat colour.
    const auto faceDrawn = [&](int id) {
        const QImage face = Button(id).grab().toImage();
        for (int y = 0; y < face.height(); ++y)
            for (int x = 0; x < face.width(); ++x)
                if (face.pixel(x, y) != face.pixel(0, 0)) return true;
        return false;
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        window->show();
        EXPECT_TRUE(window->PicturesLoaded());
        EXPECT_EQ(window->Background().size(), size);
        EXPECT_EQ(window->size(), size);
        EXPECT_TRUE(faceDrawn(kKeyButtonIds[0]));
        EXPECT_TRUE(faceDrawn(kIdOk));
        window->hide();
        EXPECT_FALSE(window->PicturesLoaded());
        EXPECT_TRUE(window->Background().isNull());
    }
}

TEST_F(MainWindowTest, HoverAndPressFacesAreRightFromTheFirstEventAndNeverOutliveTheShowing)
{
    // The hover and press pictures are decoded after the first paint; a
    // pointer arriving before they are in still gets its face, with no
    // event processed in between to deliver them.
    const auto faceFrom = [&](std::string_view file, ImageButton& button) {
        const StateImage state = LoadStateImage(file, *window);
        return state.copy(QRect(button.Origin() - QPoint(1, 1), button.size()));
    };
    ImageButton& key = Button(kKeyButtonIds[0]);
    window->show();
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), key.mapToGlobal(QPointF(2, 2)));
    QApplication::sendEvent(&key, &enter);
    ASSERT_EQ(key.ChoosePicture(), ImageButton::Picture::Over);
    EXPECT_TRUE(key.grab().toImage().convertToFormat(QImage::Format_RGB32) == faceFrom(kMainPictures.over, key));
    QTest::mousePress(&key, Qt::LeftButton, {}, QPoint(2, 2));
    ASSERT_EQ(key.ChoosePicture(), ImageButton::Picture::Down);
    EXPECT_TRUE(key.grab().toImage().convertToFormat(QImage::Format_RGB32) == faceFrom(kMainPictures.down, key));
    QTest::mouseRelease(&key, Qt::LeftButton, {}, QPoint(2, 2));
    window->hide();

    // Hidden again while they are still on their way: they are dropped,
    // and none turns up later.
    for (int round = 0; round < 3; ++round) {
        window->show();
        window->hide();
        EXPECT_FALSE(window->HoldsStatePictures());
        QTest::qWait(50);
        EXPECT_FALSE(window->HoldsStatePictures());
    }
    // Left shown, they all come in by themselves.
    window->show();
    QTRY_VERIFY(!window->LatePicturesPending());
    QEnterEvent again(QPointF(2, 2), QPointF(2, 2), key.mapToGlobal(QPointF(2, 2)));
    QApplication::sendEvent(&key, &again);
    EXPECT_TRUE(key.grab().toImage().convertToFormat(QImage::Format_RGB32) == faceFrom(kMainPictures.over, key));
    window->hide();
}

TEST_F(MainWindowTest, PicturesMadeReadyForTheFirstAttachGoWhenTheWindowDoesNotComeUp)
{
    // The first attach announces the window: its pictures are decoded while
    // the keyboard is read, and dropped if no showing follows.
    auto* drop = window->findChild<QTimer*>(QStringLiteral("preparedPicturesTimer"));
    ASSERT_NE(drop, nullptr);
    window->FirstAttachBegins();
    QTRY_VERIFY(window->PicturesLoaded());
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(drop->isActive());
    drop->start(0);
    QTRY_VERIFY(!window->HoldsStatePictures());
    EXPECT_FALSE(window->PicturesLoaded());

    // Followed by the showing: the window comes up with them and keeps them.
    window->FirstAttachBegins();
    QTRY_VERIFY(window->PicturesLoaded());
    window->show();
    EXPECT_FALSE(drop->isActive());
    QTest::qWait(20);
    EXPECT_TRUE(window->PicturesLoaded());
    EXPECT_FALSE(Button(kIdOk).grab().toImage().isNull());
    window->hide();
    EXPECT_FALSE(window->HoldsStatePictures());
}

TEST_F(MainWindowTest, MessagesActOnlyOnTheirOwnParameter)
{
    QSignalSpy deferred(window.get(), &MainWindow::deferredInitialisation);
    QCoreApplication::sendPostedEvents(window.get()); // the 'INIT' the initialisation posted
    EXPECT_EQ(deferred.count(), 1);
    EXPECT_TRUE(window->Initialised());
    EXPECT_EQ(window->TrayIconId(), kIconDetached);

    QCoreApplication::postEvent(window.get(), new WindowMessage(kMsgInit, 0x58585858, 0));
    QCoreApplication::postEvent(window.get(), new WindowMessage(kMsgOpen, kParamKill, 0));
    QCoreApplication::postEvent(window.get(), new WindowMessage(kMsgKill, kParamOpen, 0));
    QSignalSpy exit(window.get(), &MainWindow::exitRequested);
    QCoreApplication::sendPostedEvents(window.get());
    EXPECT_EQ(deferred.count(), 1);
    EXPECT_EQ(exit.count(), 0);
    EXPECT_TRUE(boxes.empty());

    // The profile menu: the default item checked while the profile is unknown.
    QMenu* menu = window->ProfileMenu();
    const auto actions = menu->actions();
    ASSERT_EQ(actions.size(), 5);
    EXPECT_EQ(actions[0]->text(), Text("DEFAULT_PROFILE_NAME"));
    EXPECT_TRUE(actions[0]->isChecked());
    EXPECT_TRUE(actions[1]->isSeparator());
    // The keyboard's profiles go by their names, not by the file they share.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(actions[2 + i]->text(), EnglishCaption("PROFILE_" + std::to_string(i + 1))) << i;
    EXPECT_EQ(Button(kIdProfiles).text(), Text("DEFAULT_PROFILE_NAME"));
    EXPECT_EQ(Button(kIdProfiles).TooltipText(), Text("PROFILE_TIP") + Text("DEFAULT_PROFILE_NAME"));

    window->HandleInstanceMessage(kMsgKill, kParamKill);
    EXPECT_EQ(exit.count(), 1);
}

TEST_F(MainWindowTest, OpeningWithoutAKeyboardTellsTheUserAndStaysHidden)
{
    for (auto open : {+[](MainWindow& w) { w.OnCommand(kCmdOpen); },
                      +[](MainWindow& w) { w.HandleInstanceMessage(kMsgOpen, kParamOpen); }}) {
        boxes.clear();
        open(*window);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, Text("MAIN_NO_DEVICE_PROMPT"));
        EXPECT_FALSE(boxes[0].question);
        EXPECT_FALSE(window->isVisible());
    }
}

TEST_F(MainWindowTest, EnterAndEscapeDoNotCloseTheWindow)
{
    window->show();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_TRUE(window->isVisible());
    Button(kIdCancel).click();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowTest, TheExitButtonAsksFirstTheMenusCloseDoesNot)
{
    QSignalSpy exit(window.get(), &MainWindow::exitRequested);
    answers = {false};
    Button(kIdClose).click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].question);
    EXPECT_EQ(boxes[0].text, Text("MAIN_CLOSE_DIALOG"));
    EXPECT_EQ(exit.count(), 0);

    answers = {true};
    Button(kIdClose).click();
    EXPECT_EQ(exit.count(), 1);

    MakeWindow();
    QSignalSpy closed(window.get(), &MainWindow::exitRequested);
    boxes.clear();
    window->OnCommand(kCmdClose);
    EXPECT_EQ(closed.count(), 1);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainWindowTest, FlipSwapsTheVariantKeysAndStoresTheVariant)
{
    struct Case {
        const char16_t* stored;
        bool firstVariant;
        const char16_t* afterFlip;
    };
    for (const Case& c : {Case{u"0", true, u"1"}, Case{u"1", false, u"0"}, Case{u"5", false, u"0"}}) {
        ASSERT_TRUE(settings->Write(kUserSettingsSection, kFlipValueName, c.stored).ok());
        MakeWindow();
        EXPECT_EQ(Button(kIdF1).isEnabled(), c.firstVariant) << std::u16string(c.stored).size();
        EXPECT_EQ(Button(kIdF1 + 3).isEnabled(), c.firstVariant);
        EXPECT_EQ(Button(kIdD1).isEnabled(), !c.firstVariant);
        Button(kIdFlip2).click();
        EXPECT_EQ(settings->Read(kUserSettingsSection, kFlipValueName, u""), c.afterFlip);
        EXPECT_EQ(Button(kIdF1).isEnabled(), !c.firstVariant);
        EXPECT_EQ(Button(kIdD1 + 5).isEnabled(), c.firstVariant);
    }
}

TEST_F(MainWindowTest, TheColourKeysSwitchChangesItsCaptionBothWays)
{
    EXPECT_EQ(Button(kIdSwitch).text(), Text("MAIN_SWITCH_FUNCTION_TEXT"));
    Button(kIdSwitch).click();
    EXPECT_TRUE(window->ColourKeysMode());
    EXPECT_EQ(Button(kIdSwitch).text(), Text("MAIN_SWITCH_COLOR_TEXT"));
    EXPECT_TRUE(Button(kKeyButtonIds[0]).IsCheckMode());
    Button(kIdSwitch).click();
    EXPECT_FALSE(window->ColourKeysMode());
    EXPECT_FALSE(Button(kKeyButtonIds[0]).IsCheckMode());
}

TEST_F(MainWindowTest, TheButtonMenuOffersTheLanguagesAndASwitchRecaptionsTheWindow)
{
    QSignalSpy tip(window.get(), &MainWindow::trayTipChanged);
    QMenu* menu = window->BuildButtonMenu();
    QStringList texts;
    for (QAction* action : menu->actions()) texts << (action->isSeparator() ? "-" : action->text());
    EXPECT_EQ(texts,
              (QStringList{EnglishCaption("MENU_1"), EnglishCaption("MENU_2"), EnglishCaption("MENU_3"),
                           EnglishCaption("MENU_4"), "-", EnglishCaption("CHINESE_5"), EnglishCaption("ENGINSH_6")}));
    menu->findChild<QAction*>(QStringLiteral("command%1").arg(kCmdChinese))->trigger();
    delete menu;

    auto file = IniFile::Load(program / "Skins" / "language.ini");
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(ReadLanguageIndex(*file), kChineseLanguageIndex);
    const QString chineseOk = QString::fromStdU16String(file->ReadString(kChineseSection, "PROFILE_OK", u" "));
    EXPECT_EQ(Button(kIdOk).text(), chineseOk);
    EXPECT_EQ(window->windowTitle(),
              QString::fromStdU16String(file->ReadString(kChineseSection, "MAIN_CAPTION", u" ")));
    ASSERT_GE(tip.count(), 1);
    EXPECT_EQ(tip.last().at(0).toString(),
              QString::fromStdU16String(file->ReadString(kChineseSection, "KEYBOARD_TRAY_DESC", u" ")));

    // The profile menu's names follow too: the file's names of the language shown.
    const auto profileNames = [&](std::string_view section) {
        QStringList menuNames, fileNames;
        for (int i = 0; i < 3; ++i) {
            const std::string key = "PROFILE_" + std::to_string(i + 1);
            menuNames << window->ProfileMenu()->findChild<QAction*>(QStringLiteral("command%1").arg(9001 + i))->text();
            fileNames << QString::fromStdU16String(file->ReadString(section, key, u" "));
        }
        EXPECT_EQ(menuNames, fileNames) << section;
        return menuNames;
    };
    const QStringList chineseNames = profileNames(kChineseSection);

    // The About box is named in the language too: its title stood in English.
    window->OnCommand(kCmdAbout);
    ASSERT_NE(window->AboutBox(), nullptr);
    EXPECT_EQ(window->AboutBox()->windowTitle(),
              QString::fromStdU16String(file->ReadString(kChineseSection, "MENU_3", u" ")));
    window->AboutBox()->close();

    window->OnCommand(kCmdEnglish);
    EXPECT_EQ(Button(kIdOk).text(), EnglishCaption("PROFILE_OK"));
    EXPECT_NE(profileNames(kEnglishSection), chineseNames);
}

TEST_F(MainWindowTest, HelpLinkAndAboutOpenWhatTheyName)
{
    Button(kIdHelp).click();
    Button(kIdLink).click();
    ASSERT_EQ(openedUrls.size(), 2u);
    EXPECT_EQ(openedUrls[0].toLocalFile().toStdString(), (program / "Help" / "index.html").string());
    EXPECT_EQ(openedUrls[1].toString(), Button(kIdLink).text());
    EXPECT_TRUE(openedUrls[1].toString().startsWith("https://"));
    EXPECT_TRUE(boxes.empty());

    // No program on the desktop takes them: the user is told what could not be opened.
    urlsOpen = false;
    Button(kIdHelp).click();
    Button(kIdLink).click();
    const QString help = QString::fromStdString((program / "Help" / "index.html").string());
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{Text(kOpenFailedKey).replace("%s", help),
                                                Text(kOpenFailedKey).replace("%s", Button(kIdLink).text())}));

    window->OnCommand(kCmdAbout);
    AboutDialog* about = window->AboutBox();
    ASSERT_NE(about, nullptr);
    window->OnCommand(kCmdAbout);
    EXPECT_EQ(window->AboutBox(), about); // one at a time
    EXPECT_EQ(window->findChildren<AboutDialog*>().size(), 1);
}

TEST_F(MainWindowTest, ApplyWithoutAKeyboardSaysWhatFailedAndKeepsTheChanges)
{
    QSignalSpy finished(window.get(), &MainWindow::applyFinished);
    // Nothing changed: nothing to send, and nothing to complain about.
    window->Apply();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_TRUE(finished.last().at(0).toBool());
    EXPECT_TRUE(boxes.empty());

    window->SetUnappliedChanges(true);
    EXPECT_TRUE(Button(kIdApply).isEnabled());
    Button(kIdApply).click();
    ASSERT_EQ(finished.count(), 2);
    EXPECT_FALSE(finished.last().at(0).toBool());
    EXPECT_EQ(BoxTexts(), std::vector<QString>{Text("MAIN_DOWNLOAD_FAILED")});
    EXPECT_TRUE(window->UnappliedChanges());
    EXPECT_TRUE(Button(kIdApply).isEnabled());
}

TEST_F(MainWindowTest, TheReporterShowsOtherThreadsMessagesOnTheGuiThreadOneAfterAnother)
{
    std::vector<QThread*> threads;
    bool nested = false;
    SetMessageBoxHook([&](const MessageBoxRequest& request) {
        threads.push_back(QThread::currentThread());
        boxes.push_back(request);
        // A message that arrives while a box is up waits for it to close.
        if (boxes.size() == 1) {
            window->GetReporter().Inform({"MAIN_NO_DEVICE_PROMPT", {}});
            nested = boxes.size() != 1;
        }
        return request.question ? QMessageBox::Yes : QMessageBox::Ok;
    });
    std::atomic<bool> done{false};
    bool answer = false;
    std::thread sender([&] {
        window->GetReporter().Inform({"MAIN_PROMPT_INPORT", {}});
        // The question waits for its answer from the GUI thread.
        answer = window->GetReporter().Ask({"MAIN_PROMPT_DEFAULT", {}});
        done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    sender.join();
    QCoreApplication::processEvents();

    EXPECT_FALSE(nested);
    EXPECT_TRUE(answer);
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{Text("MAIN_PROMPT_INPORT"), Text("MAIN_NO_DEVICE_PROMPT"),
                                                Text("MAIN_PROMPT_DEFAULT")}));
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_TRUE(boxes[2].question);
    for (QThread* thread : threads) EXPECT_EQ(thread, QCoreApplication::instance()->thread());
}

} // namespace
} // namespace kestrune::test
