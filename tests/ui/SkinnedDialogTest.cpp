#include "ui/SkinnedDialog.h"

#include "ui/ImageButton.h"
#include "ui/Skin.h"
#include "ui/SkinIniFile.h"

#include "UiTestSupport.h"

#include <QPainter>
#include <QTest>

#include <string>
#include <vector>

namespace kestrune::test {
namespace {

class BaseDialogTest : public SkinFolderTest {
protected:
    BaseDialogTest()
    {
        previous = SetPictureFailureHandler([this](const std::string& why) { failures.push_back(why); });
    }
    ~BaseDialogTest() override { SetPictureFailureHandler(previous); }

    std::filesystem::path Ini() const { return skins / "Profile.ini"; }

    // A background with a 10 x 10 white square in each corner.
    static QImage CorneredPicture(QSize size)
    {
        QImage picture = SolidImage(size, QColor(30, 60, 90));
        QPainter painter(&picture);
        for (QPoint corner : {QPoint(0, 0), QPoint(size.width() - 10, 0), QPoint(0, size.height() - 10),
                              QPoint(size.width() - 10, size.height() - 10)}) {
            painter.fillRect(QRect(corner, QSize(10, 10)), Qt::white);
        }
        return picture;
    }

    PictureFailureHandler previous;
    std::vector<std::string> failures;
};

TEST_F(BaseDialogTest, BackgroundGivesTheSizeAndIsPaintedAtNaturalSize)
{
    WritePicture(skins / "bg.bmp", CoordinateImage(QSize(700, 400), 5), "BMP");
    WriteText(Ini(), "[SCREEN]\nMain=bg.bmp\n");
    SkinnedDialog dialog(nullptr, Ini(), skins);
    dialog.setGeometry(40, 30, 300, 200);
    dialog.show();
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(dialog.geometry(), QRect(40, 30, 700, 400));
    EXPECT_TRUE(dialog.windowFlags() & Qt::FramelessWindowHint);
    const QImage shown = dialog.grab().toImage();
    EXPECT_EQ(shown.pixel(0, 0), qRgb(0, 0, 5));
    EXPECT_EQ(shown.pixel(699, 399), qRgb(699 % 256, 399 % 256, 5));
}

TEST_F(BaseDialogTest, MaskShapesTheWindowWithoutItsWhitePixels)
{
    WritePicture(skins / "bg.bmp", SolidImage(QSize(200, 100), Qt::darkGray), "BMP");
    WritePicture(skins / "mask.bmp", CorneredPicture(QSize(200, 100)), "BMP");
    WriteText(Ini(), "[SCREEN]\nMain=bg.bmp\nMask=mask.bmp\n");
    SkinnedDialog dialog(nullptr, Ini(), skins);
    ASSERT_TRUE(dialog.OnInitDialog());
    const QRegion shape = dialog.mask();
    for (QPoint outside : {QPoint(0, 0), QPoint(9, 9), QPoint(195, 2), QPoint(2, 95), QPoint(199, 99)}) {
        EXPECT_FALSE(shape.contains(outside)) << outside.x() << "," << outside.y();
    }
    for (QPoint inside : {QPoint(10, 0), QPoint(0, 10), QPoint(100, 50), QPoint(189, 99), QPoint(199, 89)}) {
        EXPECT_TRUE(shape.contains(inside)) << inside.x() << "," << inside.y();
    }
}

TEST_F(BaseDialogTest, SkinWithOnlyMainUsesItAsItsOwnMask)
{
    WritePicture(skins / "bg.bmp", CorneredPicture(QSize(120, 80)), "BMP");
    WriteText(Ini(), "[SCREEN]\nMain=bg.bmp\n");
    SkinnedDialog dialog(nullptr, Ini(), skins);
    ASSERT_TRUE(dialog.OnInitDialog());
    EXPECT_EQ(dialog.MaskPicture(), dialog.Background());
    EXPECT_FALSE(dialog.mask().contains(QPoint(115, 75)));
    EXPECT_TRUE(dialog.mask().contains(QPoint(60, 40)));
}

TEST_F(BaseDialogTest, AllWhiteMaskLeavesTheWindowRectangular)
{
    WritePicture(skins / "bg.bmp", SolidImage(QSize(120, 80), Qt::white), "BMP");
    WriteText(Ini(), "[SCREEN]\nMain=bg.bmp\n");
    SkinnedDialog dialog(nullptr, Ini(), skins);
    ASSERT_TRUE(dialog.OnInitDialog());
    EXPECT_TRUE(RegionFromMask(dialog.MaskPicture()).isEmpty());
    EXPECT_TRUE(dialog.mask().isEmpty()); // no shape: the whole rectangle
    EXPECT_EQ(dialog.size(), QSize(120, 80));
}

TEST(RegionFromMaskTest, ManyRunsAreCollectedAcrossBatches)
{
    // A checkerboard of 100 x 60 has 3000 one-pixel runs: more than one batch.
    QImage mask(100, 60, QImage::Format_RGB32);
    for (int y = 0; y < mask.height(); ++y) {
        for (int x = 0; x < mask.width(); ++x) mask.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    }
    // An almost-white pixel is still part of the window; transparency does not count.
    mask.setPixel(1, 0, qRgb(255, 255, 254));
    const QRegion region = RegionFromMask(mask);
    for (int y = 0; y < mask.height(); ++y) {
        for (int x = 0; x < mask.width(); ++x) {
            const bool inside = (x + y) % 2 == 0 || (x == 1 && y == 0);
            ASSERT_EQ(region.contains(QPoint(x, y)), inside) << x << "," << y;
        }
    }
}

TEST_F(BaseDialogTest, PictureThatCannotBeLoadedIsFatalAndSaysWhy)
{
    WritePicture(skins / "good.bmp", SolidImage(QSize(50, 40), Qt::gray), "BMP");
    WriteText(skins / "empty.jpg", "");
    WriteText(skins / "garbage.jpg", "this is no picture at all");
    struct Case {
        const char* name;
        std::string screen;
        std::string expected; // part of the reason given
    };
    const Case cases[] = {
        {"no Main key", "[SCREEN]\n", "cannot open"},
        {"missing file", "[SCREEN]\nMain=nothere.jpg\n", "nothere.jpg"},
        {"empty file", "[SCREEN]\nMain=empty.jpg\n", "empty.jpg\" is empty"},
        {"undecodable", "[SCREEN]\nMain=garbage.jpg\n", "cannot decode"},
        {"bad mask", "[SCREEN]\nMain=good.bmp\nMask=nothere.bmp\n", "nothere.bmp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        failures.clear();
        WriteText(Ini(), c.screen);
        SkinnedDialog dialog(nullptr, Ini(), skins);
        dialog.resize(300, 200);
        EXPECT_FALSE(dialog.OnInitDialog());
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_NE(failures[0].find(c.expected), std::string::npos) << failures[0];
        EXPECT_EQ(dialog.size(), QSize(300, 200));
    }
}

TEST_F(BaseDialogTest, ReopeningReloadsAChangedSkin)
{
    WritePicture(skins / "bg.jpg", SolidImage(QSize(200, 100), QColor(0, 0, 220)), "JPEG");
    WriteText(Ini(), "[SCREEN]\nMain=bg.jpg\n");
    SkinnedDialog dialog(nullptr, Ini(), skins);
    dialog.show();
    EXPECT_EQ(dialog.size(), QSize(200, 100));
    EXPECT_GT(dialog.grab().toImage().pixelColor(50, 50).blue(), 200);

    dialog.OnOK();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(dialog.Background().isNull());
    WritePicture(skins / "bg.jpg", SolidImage(QSize(240, 120), QColor(220, 0, 0)), "JPEG");
    dialog.show();
    EXPECT_EQ(dialog.size(), QSize(240, 120));
    EXPECT_GT(dialog.grab().toImage().pixelColor(50, 50).red(), 200);
    dialog.reject();
    EXPECT_TRUE(dialog.Background().isNull());
}

TEST_F(BaseDialogTest, DraggingTheBackgroundMovesTheWindowButNotAButton)
{
    WritePicture(skins / "bg.bmp", SolidImage(QSize(300, 200), Qt::darkGray), "BMP");
    WriteText(Ini(), "[SCREEN]\nMain=bg.bmp\n");
    SkinnedDialog dialog(nullptr, Ini(), skins);
    auto* button = new ImageButton(&dialog);
    button->setGeometry(200, 150, 40, 20);
    dialog.move(100, 80);
    dialog.show();
    const QPoint start = dialog.pos();

    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseMove(button, QPoint(30, 25));
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(30, 25));
    EXPECT_EQ(dialog.pos(), start);

    QTest::mousePress(&dialog, Qt::LeftButton, {}, QPoint(50, 50));
    QTest::mouseMove(&dialog, QPoint(80, 90));
    QTest::mouseRelease(&dialog, Qt::LeftButton, {}, QPoint(80, 90));
    EXPECT_EQ(dialog.pos(), start + QPoint(30, 40));
}

TEST_F(BaseDialogTest, IniFileGivesNothingForAnEmptyValue)
{
    WriteText(Ini(), "[SCREEN]\nMain=bg.jpg\nMask=\nLong=" + std::string(3000, 'x') + "\n");
    SkinIniFile ini(Ini());
    EXPECT_EQ(ini.ReadString("SCREEN", "Main"), QStringLiteral("bg.jpg"));
    EXPECT_EQ(ini.ReadString("SCREEN", "Mask", QStringLiteral("bg.jpg")), std::nullopt);
    EXPECT_EQ(ini.ReadString("SCREEN", "Missing", QStringLiteral("d")), QStringLiteral("d"));
    EXPECT_EQ(ini.ReadString("SCREEN", "Missing"), std::nullopt);
    EXPECT_EQ(ini.ReadString("SCREEN", "Long")->size(), 2047);
    ASSERT_TRUE(ini.WriteString("SCREEN", "Mask", QStringLiteral("mask.bmp")).ok());
    EXPECT_EQ(ini.ReadString("SCREEN", "Mask"), QStringLiteral("mask.bmp"));
}

} // namespace
} // namespace kestrune::test
