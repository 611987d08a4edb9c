#include "ui/ImageButton.h"

#include "UiTestSupport.h"

#include <QEnterEvent>
#include <QSignalSpy>
#include <QTest>

#include <cmath>

namespace kestrune::test {
namespace {

using Picture = ImageButton::Picture;

class PngButtonTest : public QtTest {
protected:
    PngButtonTest()
    {
        dialog.resize(400, 300);
        button = new ImageButton(&dialog);
        button->setGeometry(100, 50, 30, 20);
    }

    // Five pictures of one colour each, so the face tells which was drawn.
    void GiveSolidPictures()
    {
        button->SetImages(QPoint(100, 50), SolidImage(kSize, kNormal), SolidImage(kSize, kOver),
                          SolidImage(kSize, kDown), SolidImage(kSize, kDisable), SolidImage(kSize, kOther));
        button->SetCheckImages(SolidImage(kSize, kUnchecked), SolidImage(kSize, kChecked), false, false);
    }

    QColor Face() { return PixelOf(*button, QPoint(10, 10)); }

    void Enter()
    {
        QEnterEvent enter(QPointF(5, 5), QPointF(105, 55), button->mapToGlobal(QPointF(5, 5)));
        QCoreApplication::sendEvent(button, &enter);
    }

    void Leave()
    {
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(button, &leave);
    }

    static constexpr QSize kSize{400, 300};
    const QColor kNormal{10, 0, 0}, kOver{20, 0, 0}, kDown{30, 0, 0}, kDisable{40, 0, 0}, kOther{50, 0, 0},
        kUnchecked{60, 0, 0}, kChecked{70, 0, 0};
    QWidget dialog;
    ImageButton* button = nullptr;
};

TEST_F(PngButtonTest, FaceIsCopiedFromOnePixelLeftOfAndAboveTheOrigin)
{
    const QImage picture = CoordinateImage(QSize(500, 400), 7);
    button->SetImages(QPoint(100, 50), picture, picture, picture, picture, picture);
    const QImage face = button->grab().toImage();
    EXPECT_EQ(face.pixel(0, 0), picture.pixel(99, 49));
    EXPECT_EQ(face.pixel(29, 19), picture.pixel(128, 68));
    EXPECT_EQ(button->Origin(), QPoint(100, 50));
}

TEST_F(PngButtonTest, StateChoosesThePicture)
{
    struct Case {
        const char* name;
        bool enabled, checkMode, checked, down, hover, selected;
        Picture expected;
    };
    const Case cases[] = {
        {"plain", true, false, false, false, false, false, Picture::Normal},
        {"selected", true, false, false, false, false, true, Picture::Other},
        {"hover beats selected", true, false, false, false, true, true, Picture::Over},
        {"pressed beats hover", true, false, false, true, true, true, Picture::Down},
        {"check mode beats pressed", true, true, true, true, true, false, Picture::Checked},
        {"check mode unchecked", true, true, false, false, false, true, Picture::Unchecked},
        {"disabled beats check mode", false, true, true, false, false, false, Picture::Disable},
        {"disabled beats selected", false, false, false, false, false, true, Picture::Disable},
    };
    GiveSolidPictures();
    const std::pair<Picture, QColor> colours[] = {
        {Picture::Normal, kNormal},   {Picture::Over, kOver},   {Picture::Down, kDown},
        {Picture::Disable, kDisable}, {Picture::Other, kOther}, {Picture::Unchecked, kUnchecked},
        {Picture::Checked, kChecked},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        button->setEnabled(true);
        button->SetCheckImages(SolidImage(kSize, kUnchecked), SolidImage(kSize, kChecked), c.checkMode, c.checked);
        button->SetSelected(c.selected);
        if (c.hover) Enter();
        button->setDown(c.down);
        button->setEnabled(c.enabled);
        EXPECT_EQ(button->ChoosePicture(), c.expected);
        for (const auto& [picture, colour] : colours) {
            if (picture == c.expected) {
                EXPECT_EQ(Face(), colour);
            }
        }
        EXPECT_EQ(button->LastPicture(), c.expected);
        Leave();
    }
}

TEST_F(PngButtonTest, SelectedButtonShowsOverWhileHoveredAndOtherAfterLeave)
{
    GiveSolidPictures();
    button->SetSelected(true);
    EXPECT_EQ(Face(), kOther);
    Enter();
    EXPECT_TRUE(button->IsTracking());
    EXPECT_EQ(Face(), kOver);
    Leave();
    EXPECT_FALSE(button->IsHovered());
    EXPECT_FALSE(button->IsTracking());
    EXPECT_EQ(Face(), kOther);

    // New pictures drop the mouse state as well.
    Enter();
    button->ReplaceImages(SolidImage(kSize, kNormal), SolidImage(kSize, kOver), SolidImage(kSize, kDown),
                          SolidImage(kSize, kDisable), SolidImage(kSize, kOther));
    EXPECT_FALSE(button->IsHovered());
    EXPECT_EQ(Face(), kOther);
}

TEST_F(PngButtonTest, EmptyTooltipTextLeavesTheTooltipAsItWas)
{
    button->SetTooltipText(QStringLiteral("Help"), true);
    button->SetTooltipText(QString(), false);
    EXPECT_EQ(button->TooltipText(), QStringLiteral("Help"));
    EXPECT_TRUE(button->IsTooltipActive());
    button->SetTooltipText(QStringLiteral("Menu"), false);
    EXPECT_EQ(button->TooltipText(), QStringLiteral("Menu"));
    EXPECT_FALSE(button->IsTooltipActive());
}

TEST_F(PngButtonTest, DoubleClickGivesTwoPresses)
{
    dialog.show();
    QSignalSpy clicks(button, &QAbstractButton::clicked);
    QSignalSpy presses(button, &QAbstractButton::pressed);
    // What the window system delivers for two quick clicks.
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseDClick(button, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(presses.count(), 2);
    EXPECT_EQ(clicks.count(), 2);
}

TEST_F(PngButtonTest, BorderModeDrawsOnlyAFrame)
{
    GiveSolidPictures();
    button->SetBorderMode(QColor(0, 200, 0), 5, true);
    const QImage face = button->grab().toImage();
    EXPECT_EQ(face.pixelColor(1, 1), QColor(0, 200, 0));
    EXPECT_EQ(face.pixelColor(28, 18), QColor(0, 200, 0));
    // Two pixels wide whatever width was asked for, and no fill inside.
    EXPECT_NE(face.pixelColor(4, 10), QColor(0, 200, 0));
    EXPECT_NE(face.pixelColor(15, 10), kNormal);
    button->SetBorderMode(QColor(0, 200, 0), 5, false);
    EXPECT_EQ(Face(), kNormal);
}

TEST_F(PngButtonTest, DrawCallbackTellsWhetherTheNormalPictureWasDrawn)
{
    std::vector<bool> calls;
    button->SetDrawCallback([&](QWidget* drawn, bool normal) {
        EXPECT_EQ(drawn, button);
        calls.push_back(normal);
    });
    const QImage normal = SolidImage(kSize, kNormal);
    const QImage over = SolidImage(kSize, kOver);
    // The disable state shares the normal picture, as several skins do.
    button->SetImages(QPoint(100, 50), normal, over, over, normal, over);
    button->grab();
    Enter();
    button->grab();
    Leave();
    button->setEnabled(false);
    button->grab();
    EXPECT_EQ(calls, (std::vector<bool>{true, false, true}));
}

TEST_F(PngButtonTest, CaptionIsDrawnWithoutPictures)
{
    button->setGeometry(100, 50, 120, 30);
    button->setText(QStringLiteral("MMMM"));
    button->SetTextStyle(true, 9, QStringLiteral("Tahoma"), Qt::white);
    const QImage face = button->grab().toImage();
    int white = 0;
    for (int y = 0; y < face.height(); ++y) {
        for (int x = 0; x < face.width(); ++x) white += face.pixelColor(x, y) == QColor(Qt::white);
    }
    EXPECT_GT(white, 0);
}

// A caption too wide for its button at the skin's size is drawn smaller,
// whole, with a margin on each side, rather than cut off at both ends.
TEST_F(PngButtonTest, ALevelCaptionTooWideForItsButtonShrinksToFit)
{
    button->setText(QStringLiteral("Switch to function keys mode"));
    button->SetImages(QPoint(100, 50), SolidImage(kSize, Qt::black), {}, {}, {}, {});
    button->SetTextStyle(true, 10, QStringLiteral("Arial"), Qt::white);
    const int wide = QFontMetrics(button->CaptionFont()).horizontalAdvance(button->text());
    button->setGeometry(100, 50, wide * 3 / 4, 30);
    const QImage face = button->grab().toImage();
    int left = face.width(), right = -1;
    for (int y = 0; y < face.height(); ++y)
        for (int x = 0; x < face.width(); ++x)
            if (qRed(face.pixel(x, y)) >= 0x80) left = std::min(left, x), right = std::max(right, x);
    ASSERT_GE(right, 0);
    EXPECT_GE(left, kCaptionFitMargin - 1);
    EXPECT_LE(right, face.width() - kCaptionFitMargin);
    EXPECT_GT(right - left, face.width() / 2);
}

TEST(CaptionLayout, HeavyTurnedTextIsCentredByExtentAndAngle)
{
    struct Case {
        QRect rect;
        QSize extent;
        int escapement;
        QRect expected;
    };
    // For 26.8 degrees: cos = 0.89259, sin = 0.45088.
    const Case cases[] = {
        // a = 71 < 120: left += 49 / 2 - (int)3.6; b = 36 < 40: bottom += -(4 / 2) + (int)7.14.
        {QRect(0, 0, 120, 40), QSize(80, 16), 268, QRect(QPoint(21, 0), QPoint(119, 44))},
        // a = 107 >= 100 keeps the left edge; b = 54 >= 40 keeps the bottom.
        {QRect(0, 0, 100, 40), QSize(120, 16), 268, QRect(0, 0, 100, 40)},
        // No turn: plain centring of the width, the bottom moves down by half the height.
        {QRect(10, 5, 100, 30), QSize(60, 12), 0, QRect(QPoint(30, 5), QPoint(109, 5 + 29 - 15 + 6))},
        // A quarter turn: a = 0, left += 50 - (int)5.99999 (the angle is a hair over 90 degrees);
        // b = 60 >= 30 keeps the bottom.
        {QRect(0, 0, 100, 30), QSize(60, 12), 900, QRect(QPoint(45, 0), QPoint(99, 29))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.escapement);
        EXPECT_EQ(CentreTurnedText(c.rect, c.extent, c.escapement), c.expected);
    }
}

TEST(CaptionLayout, FontSizeAndAlignment)
{
    EXPECT_EQ(CaptionPixelSize(9, 96), 12);
    EXPECT_EQ(CaptionPixelSize(8, 96), 11); // 10.67 rounds up
    EXPECT_EQ(CaptionPixelSize(10, 120), 17);
    const QRect area(0, 0, 100, 40);
    const QSize text(30, 10);
    EXPECT_EQ(AlignCaption(area, text, kDefaultCaptionFormat), QRect(35, 15, 30, 10));
    EXPECT_EQ(AlignCaption(area, text, kCaptionLeft | kCaptionBottom | kCaptionSingleLine), QRect(0, 30, 30, 10));
    EXPECT_EQ(AlignCaption(area, text, kCaptionRight | kCaptionVCenter), QRect(70, 0, 30, 10));
}

TEST_F(PngButtonTest, HeavyProfileCaptionIsTurnedHeavyAndCentred)
{
    button->setGeometry(100, 50, 160, 60);
    button->setText(QStringLiteral("PROFILE"));
    button->SetImages(QPoint(100, 50), SolidImage(kSize, Qt::black), {}, {}, {}, {});
    button->SetTextStyle(true, 10, QStringLiteral("Arial"), QColor(0xE4, 0xE4, 0xE4),
                         kCaptionLeft | kCaptionBottom | kCaptionSingleLine);
    button->SetTextRotation(268, true);
    EXPECT_EQ(button->CaptionFont().weight(), kCaptionWeightHeavy);

    const QImage face = button->grab().toImage();
    QRect ink;
    int leftY = 0, rightY = 0;
    for (int y = 0; y < face.height(); ++y) {
        for (int x = 0; x < face.width(); ++x) {
            if (qRed(face.pixel(x, y)) < 0x80) continue;
            if (ink.isNull() || x < ink.left()) leftY = y;
            if (ink.isNull() || x > ink.right()) rightY = y;
            ink = ink.united(QRect(x, y, 1, 1));
        }
    }
    ASSERT_FALSE(ink.isNull());
    // Counter-clockwise: the text climbs to the right.
    EXPECT_GT(leftY, rightY + 10);
    // Centred by the rule: the ink lies about the middle of the face.
    EXPECT_NEAR(ink.center().x(), 80, 12);
    EXPECT_NEAR(ink.center().y(), 30, 12);
}

} // namespace
} // namespace kestrune::test
