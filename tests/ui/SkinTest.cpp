#include "ui/Skin.h"

#include "config/LanguageTable.h"
#include "keymodel/KeyCodes.h"
#include "ui/ImageButton.h"
#include "ui/PictureSlider.h"
#include "ui/QtTranslations.h"

#include "UiTestSupport.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QThread>
#include <QTranslator>

#include <filesystem>
#include <thread>
#include <vector>

namespace kestrune::test {
namespace {

TEST(SkinRectTest, ParsesFourNumbersAndFillsTheMissingWithOne)
{
    struct Case {
        std::u16string_view value;
        SkinRect expected;
    };
    const Case cases[] = {
        {u"10,20,60,24", {10, 20, 60, 24}},
        {u"10,20,60,24,more", {10, 20, 60, 24}},
        {u"10,20,60,24x", {10, 20, 60, 24}},
        {u" 10, 20,\t60, 24", {10, 20, 60, 24}},
        {u"-5,+7,3,4", {-5, 7, 3, 4}},
        {u"1,1,1,1,x", {1, 1, 1, 1}},
        {u"10,20", {10, 20, 1, 1}},
        {u"10,20,", {10, 20, 1, 1}},
        {u"10 ,20,30,40", {10, 1, 1, 1}}, // the comma must follow the number at once
        {u"10,,30,40", {10, 1, 1, 1}},
        {u"", {1, 1, 1, 1}},
        {u"wide", {1, 1, 1, 1}},
        {u"99999999999,-99999999999,3,4", {2147483647, -2147483647 - 1, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString::fromStdU16String(std::u16string(c.value)).toStdString());
        EXPECT_EQ(ParseSkinRect(c.value), c.expected);
    }
}

class SkinPlacementTest : public SkinFolderTest {
protected:
    SkinPlacementTest()
    {
        mainIni = skins / "Main.ini";
        WriteText(mainIni, "[SCREEN]\n"
                           "Main=main.bmp\n"
                           "[BUTTONINFO]\n"
                           "CONTROL_OK=10,20,60,24,more\n"
                           "FUNC_PROFILE1=30,40,50,20\n"
                           "CONTROL_SpeedSlider=5,6,100,12\n"
                           "KEY_01E=100,50,30,20\n"
                           "KEY_09D=200,50,40,20\n"
                           "KEY_0DB=300,50,35,20\n"
                           "LEFT_ARROW=200,100,20,10\n"
                           "[BUTTONINFO2]\n"
                           "DOWN_ARROW_LEFT1=5,7,0,0\n"
                           "UP_ARROW_LEFT1=50,70,0,0\n"
                           "[Control_Name]\n"
                           "Light=Liangdu\n"
                           "[Control_Name1]\n"
                           "Light=Brightness\n"
                           "[Mode]\n"
                           "1=Jingtai\n"
                           "[Mode1]\n"
                           "1=Static\n");
        dialog.resize(500, 300);
        picture = CoordinateImage(QSize(600, 400), 9);
    }

    void Place(ImageButton& button, std::string_view key)
    {
        PlaceImageButton(button, mainIni, kPlacementSection, key, picture, picture, picture, picture, picture);
    }

    std::filesystem::path mainIni;
    QWidget dialog;
    QImage picture;
};

TEST_F(SkinPlacementTest, ImageButtonTakesItsPlaceAndPictureOrigin)
{
    ImageButton button(&dialog);
    Place(button, "CONTROL_OK");
    EXPECT_EQ(button.geometry(), QRect(10, 20, 60, 24));
    EXPECT_EQ(button.Origin(), QPoint(10, 20));
    EXPECT_TRUE(button.isEnabled());
    EXPECT_EQ(button.objectName(), QStringLiteral("CONTROL_OK"));
    EXPECT_EQ(button.grab().toImage().pixel(0, 0), picture.pixel(9, 19));
}

TEST_F(SkinPlacementTest, MissingKeyHidesAButtonButOnlyShrinksOtherControls)
{
    ImageButton profile(&dialog);
    Place(profile, "FUNC_PROFILE3");
    EXPECT_EQ(profile.geometry(), QRect(1, 1, 1, 1));
    EXPECT_FALSE(profile.isEnabled());

    PictureSlider slider(&dialog);
    PlaceControl(slider, mainIni, kPlacementSection, "CONTROL_LightSlider");
    EXPECT_EQ(slider.geometry(), QRect(1, 1, 1, 1));
    EXPECT_TRUE(slider.isEnabled());
    EXPECT_EQ(slider.objectName(), QStringLiteral("CONTROL_LightSlider"));

    PictureSlider speed(&dialog);
    PlaceControl(speed, mainIni, kPlacementSection, "CONTROL_SpeedSlider");
    EXPECT_EQ(speed.geometry(), QRect(5, 6, 100, 12));
}

TEST_F(SkinPlacementTest, KeyButtonsArePlacedByTheirCompactKey)
{
    struct Case {
        KeyIndex key;
        std::u16string_view name;
        const char* skinKey;
        QRect place;
    };
    const Case cases[] = {
        {0x01E, u"A", "KEY_01E", QRect(100, 50, 30, 20)},
        {kKeyRightCtrl, u"Right Ctrl", "KEY_09D", QRect(200, 50, 40, 20)},
        {kKeyWin, u"Win", "KEY_0DB", QRect(300, 50, 35, 20)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.skinKey);
        EXPECT_EQ(KeyName(c.key), c.name);
        const std::string key = KeyButtonSkinKey(CompactFromKey(c.key));
        EXPECT_EQ(key, c.skinKey);
        ImageButton button(&dialog);
        Place(button, key);
        EXPECT_EQ(button.geometry(), c.place);
    }
    EXPECT_EQ(MacroKeySkinKey(9), "FUNC_G9");
}

TEST_F(SkinPlacementTest, ArrowTakesItsPictureOffsetFromTheSecondSection)
{
    EXPECT_EQ(ArrowPictureKey(0, true), "DOWN_ARROW_LEFT1");
    EXPECT_EQ(ArrowPictureKey(1, false, 2), "UP_ARROW_RIGHT2");
    ImageButton arrow(&dialog);
    arrow.setEnabled(false); // arrows are never touched by the disable rule
    PlaceArrowButton(arrow, mainIni, kPlacementSection, "LEFT_ARROW", kArrowPictureSection, ArrowPictureKey(0, true),
                     picture);
    EXPECT_EQ(arrow.geometry(), QRect(200, 100, 20, 10));
    EXPECT_EQ(arrow.Origin(), QPoint(5, 7));
    arrow.setEnabled(true);
    EXPECT_EQ(arrow.grab().toImage().pixel(0, 0), picture.pixel(4, 6));
    PlaceArrowButton(arrow, mainIni, kPlacementSection, "LEFT_ARROW", kArrowPictureSection, ArrowPictureKey(2, true),
                     picture);
    EXPECT_EQ(arrow.Origin(), QPoint(50, 70));
}

TEST_F(SkinPlacementTest, LanguageSectionsOfCaptionsAndEffectNames)
{
    EXPECT_EQ(ReadPanelCaption(mainIni, 0, "Light"), QStringLiteral("Liangdu"));
    EXPECT_EQ(ReadPanelCaption(mainIni, 1, "Light"), QStringLiteral("Brightness"));
    EXPECT_EQ(ReadPanelCaption(mainIni, 2, "Light"), std::nullopt);
    EXPECT_EQ(ReadPanelCaption(mainIni, 1, "Speed"), QString());

    EXPECT_EQ(ReadEffectName(mainIni, 0, 1), QStringLiteral("Jingtai"));
    EXPECT_EQ(ReadEffectName(mainIni, 1, 1), QStringLiteral("Static"));
    EXPECT_EQ(ReadEffectName(mainIni, 7, 1), QStringLiteral("Jingtai"));
    EXPECT_EQ(ReadEffectName(mainIni, 1, 3), QStringLiteral("1"));
}

TEST_F(SkinPlacementTest, ScreenMaskDefaultsToTheBackground)
{
    const SkinScreen screen = ReadSkinScreen(mainIni);
    EXPECT_EQ(screen.main, QStringLiteral("main.bmp"));
    EXPECT_EQ(screen.mask, QStringLiteral("main.bmp"));
    EXPECT_EQ(screen.link.toStdU16String(), kDefaultSkinLink);
    const SkinScreen none = ReadSkinScreen(skins / "Missing.ini");
    EXPECT_TRUE(none.main.isEmpty());
    EXPECT_TRUE(none.mask.isEmpty());
}

TEST_F(SkinPlacementTest, StateImageIsTheDialogPlusAMarginWithThePictureUnscaled)
{
    WritePicture(skins / "coords.bmp", CoordinateImage(QSize(150, 80), 3), "BMP");
    const StateImage image = LoadStateImage("Skins/coords.bmp", dialog);
    EXPECT_EQ(image.size(), QSize(600, 400));
    EXPECT_EQ(image.pixel(149, 79), qRgb(149, 79, 3));
    EXPECT_EQ(image.pixel(150, 79), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(599, 399), qRgb(0, 0, 0));

    // A picture larger than the image is cut, not shrunk.
    WritePicture(skins / "big.bmp", CoordinateImage(QSize(700, 500), 4), "BMP");
    EXPECT_EQ(LoadStateImage("Skins/big.bmp", dialog).pixel(599, 399), qRgb(599 % 256, 399 % 256, 4));

    // The skins are JPEG.
    WritePicture(skins / "main_normal.jpg", SolidImage(QSize(40, 30), QColor(200, 40, 40)), "JPEG");
    const QColor drawn = LoadStateImage(kMainPictures.normal, dialog).pixelColor(20, 15);
    EXPECT_NEAR(drawn.red(), 200, 8);
    EXPECT_NEAR(drawn.green(), 40, 8);
}

TEST_F(SkinPlacementTest, MissingStatePictureLeavesItUndrawnWithoutEndingTheProgram)
{
    int failures = 0;
    const auto previous = SetPictureFailureHandler([&](const std::string&) { ++failures; });
    const StateImage image = LoadStateImage("Skins/main_over.jpg", dialog);
    SetPictureFailureHandler(previous);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(image.size(), QSize(600, 400));
    EXPECT_EQ(image.pixel(10, 10), qRgb(0, 0, 0));

    // A picture whose header reads but whose pixels do not (its quantisation
    // tables taken out): black, never what the memory held before.
    WritePicture(skins / "main_down.jpg", SolidImage(QSize(40, 30), QColor(200, 40, 40)), "JPEG");
    QFile cut(QString::fromStdU16String((skins / "main_down.jpg").u16string()));
    ASSERT_TRUE(cut.open(QIODevice::ReadOnly));
    QByteArray bytes = cut.readAll();
    cut.close();
    for (qsizetype at = bytes.indexOf("\xFF\xDB"); at > 0; at = bytes.indexOf("\xFF\xDB"))
        bytes.remove(at, 2 + ((uchar(bytes[at + 2]) << 8) | uchar(bytes[at + 3])));
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly | QIODevice::Truncate));
    cut.write(bytes);
    cut.close();
    WritePicture(skins / "coords.bmp", CoordinateImage(QSize(600, 400), 3), "BMP");
    for (int round = 0; round < 3; ++round) {
        // Memory that held another picture just before.
        LoadStateImage("Skins/coords.bmp", dialog);
        const StateImage broken = LoadStateImage(kMainPictures.down, dialog);
        EXPECT_EQ(broken.size(), QSize(600, 400));
        for (QPoint at : {QPoint(20, 15), QPoint(39, 29), QPoint(599, 399)})
            EXPECT_EQ(broken.pixel(at), qRgb(0, 0, 0)) << round;
    }
}

TEST_F(SkinPlacementTest, APictureFailureOnAWorkerIsReportedOnTheGuiThread)
{
    std::vector<QThread*> reportedOn;
    const auto previous =
        SetPictureFailureHandler([&](const std::string&) { reportedOn.push_back(QThread::currentThread()); });
    // No memory for a picture of this size.
    std::thread worker([] { LoadStateImage(kMainPictures.normal, QSize(200000, 200000)); });
    worker.join();
    QCoreApplication::processEvents();
    SetPictureFailureHandler(previous);
    ASSERT_EQ(reportedOn.size(), 1u);
    EXPECT_EQ(reportedOn.front(), QCoreApplication::instance()->thread());
}

TEST(PictureFailureTest, EndsTheProgramWithStatusOneAndSaysWhy)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(PictureFailure("cannot open \"Skins/bg.jpg\""), ::testing::ExitedWithCode(1),
                "cannot open \"Skins/bg.jpg\"");
}

class LanguageSwitchTest : public SkinFolderTest {
protected:
    LanguageSwitchTest()
    {
        languageFile = skins / "language.ini";
        WriteText(languageFile, "[LANGUAGE]\n"
                                "language=0\n"
                                "[CHINESE]\n"
                                "MENU_11=Dakai\n"
                                "PROFILE_TIP=Dangqian\n"
                                "MEDIA_V_ADD_7=Yinliang jia\n"
                                "[ENGINSH]\n"
                                "MENU_11=Open\n"
                                "PROFILE_TIP=Current\n"
                                "MEDIA_V_ADD_7=Volume up\n");
    }
    ~LanguageSwitchTest() override
    {
        // The table is the whole program's: hand it on as it was at start.
        TheLanguageTable().ResetToBuiltIn();
        ResetKeyLanguageTexts();
        ApplyQtTranslations(kEnglishLanguageIndex);
    }

    std::filesystem::path languageFile;
};

TEST_F(LanguageSwitchTest, StoresTheIndexReloadsTheTableAndRecaptions)
{
    std::vector<int> recaptioned;
    EXPECT_TRUE(SwitchLanguage(1, [&](int index) { recaptioned.push_back(index); }).ok());
    EXPECT_EQ(ReadLanguageIndex(languageFile), 1);
    EXPECT_EQ(TheLanguageTable().TextUtf8("PROFILE_TIP"), "Current");
    // Key and media names follow the language too.
    EXPECT_EQ(KeyName(MediaTable[6].key), u"Volume up");
    EXPECT_EQ(SwitchedLanguageIndex(), 1);
    EXPECT_TRUE(MainCaptionsInEnglish());

    EXPECT_TRUE(SwitchLanguage(0, [&](int index) { recaptioned.push_back(index); }).ok());
    EXPECT_EQ(TheLanguageTable().TextUtf8("PROFILE_TIP"), "Dangqian");
    EXPECT_EQ(KeyName(MediaTable[6].key), u"Yinliang jia");
    EXPECT_FALSE(MainCaptionsInEnglish());
    EXPECT_EQ(recaptioned, (std::vector<int>{1, 0}));
}

TEST_F(LanguageSwitchTest, QtsOwnButtonTextsFollowTheLanguage)
{
    QTranslator catalogue;
    ASSERT_TRUE(catalogue.load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        << "Qt's Chinese catalogue is not installed (qt6-translations-l10n)";
    const QString chineseYes = catalogue.translate("QPlatformTheme", "&Yes");
    ASSERT_FALSE(chineseYes.isEmpty());
    ASSERT_NE(chineseYes, QStringLiteral("&Yes"));

    const auto yesText = [] {
        QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("q"),
                        QMessageBox::Yes | QMessageBox::No);
        return box.button(QMessageBox::Yes)->text();
    };
    ASSERT_TRUE(SwitchLanguage(kChineseLanguageIndex).ok());
    EXPECT_EQ(yesText(), chineseYes);
    // Switching again replaces the catalogue rather than stacking a second one.
    ASSERT_TRUE(SwitchLanguage(kChineseLanguageIndex).ok());
    ASSERT_TRUE(SwitchLanguage(kEnglishLanguageIndex).ok());
    EXPECT_EQ(yesText(), QStringLiteral("&Yes"));
}

TEST_F(LanguageSwitchTest, UnwritableFileIsReadAsItIsButTheSwitchIsRemembered)
{
    ASSERT_TRUE(SwitchLanguage(0).ok());
    ASSERT_EQ(TheLanguageTable().TextUtf8("PROFILE_TIP"), "Dangqian");
    // A folder in the file's place: no write gets through, whoever runs the test.
    std::filesystem::remove(languageFile);
    std::filesystem::create_directory(languageFile);
    std::vector<int> recaptioned;
    const Status stored = SwitchLanguage(1, [&](int index) { recaptioned.push_back(index); });
    EXPECT_FALSE(stored.ok());
    EXPECT_TRUE(std::filesystem::is_directory(languageFile));
    // The table was still reloaded, from what is there: nothing, so blanks.
    EXPECT_EQ(TheLanguageTable().TextUtf8("PROFILE_TIP"), " ");
    EXPECT_EQ(recaptioned, std::vector<int>{1});
    // The main window's captions follow either the file or the switch.
    EXPECT_EQ(SwitchedLanguageIndex(), 1);
    EXPECT_TRUE(MainCaptionsInEnglish());
}

} // namespace
} // namespace kestrune::test
