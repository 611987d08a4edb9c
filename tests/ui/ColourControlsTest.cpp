#include "ui/ColourLabel.h"
#include "ui/ColourRef.h"
#include "ui/SkinColourButton.h"

#include "UiTestSupport.h"

#include <QFocusEvent>
#include <QGridLayout>
#include <QMenu>
#include <QPainter>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace kestrune::test {
namespace {

class ColourButtonTest : public QtTest {
protected:
    ColourButtonTest()
    {
        button = new SkinColourButton(&owner);
        button->setGeometry(10, 10, 80, 24);
    }

    QColor SwatchCentre() { return PixelOf(*button, button->SwatchRect().center()); }

    QWidget owner;
    SkinColourButton* button = nullptr;
};

TEST_F(ColourButtonTest, FaceShowsTheColourBesideTheArrowArea)
{
    // Face 3..77 x 3..21: the swatch spans 2..(78 / 2 + 5), the arrow area from 2 + 78 / 2 + 3.
    EXPECT_EQ(button->SwatchRect(), QRect(QPoint(2, 2), QPoint(43, 21)));
    EXPECT_EQ(button->ArrowAreaRect(), QRect(QPoint(44, 1), QPoint(77, 22)));

    button->SetColour(QColor(255, 0, 0));
    const QImage face = button->grab().toImage();
    EXPECT_EQ(face.pixelColor(20, 12), QColor(255, 0, 0));
    EXPECT_EQ(face.pixelColor(50, 4), ColourFromRef(kColourArrowAreaRef));
    // The arrow's tip: (right - 8, middle + 1) of the face grown by one.
    EXPECT_EQ(face.pixelColor(70, 9), QColor(Qt::black));
}

TEST_F(ColourButtonTest, SwatchFallsBackToAutomaticAndStaysEmptyWhenDisabled)
{
    button->SetColourAutomatic(QColor(0, 255, 0));
    EXPECT_EQ(SwatchCentre(), QColor(0, 255, 0));
    button->SetColour(QColor(0, 0, 255));
    EXPECT_EQ(SwatchCentre(), QColor(0, 0, 255));
    button->setEnabled(false);
    EXPECT_NE(SwatchCentre(), QColor(0, 0, 255));
}

TEST_F(ColourButtonTest, PaletteHasTenColumnsAndItsEntriesChooseTheColour)
{
    button->EnableAutomaticButton(QStringLiteral("automatic"), QColor(1, 2, 3));
    QMenu* menu = button->PaletteMenu();
    ASSERT_NE(menu, nullptr);
    const auto swatches = menu->findChildren<QToolButton*>(QRegularExpression(QStringLiteral("^swatch_")));
    EXPECT_EQ(swatches.size(), button->Palette().size());
    auto* grid = menu->findChild<QGridLayout*>();
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(grid->columnCount(), kColourPaletteColumns);
    ASSERT_NE(menu->findChild<QToolButton*>(QStringLiteral("other")), nullptr);

    QSignalSpy chosen(button, &SkinColourButton::colourChosen);
    menu->findChild<QToolButton*>(QStringLiteral("swatch_3"))->click();
    EXPECT_EQ(button->GetColour(), button->Palette()[3]);
    ASSERT_EQ(chosen.count(), 1);
    EXPECT_EQ(chosen[0][0].value<QColor>(), button->Palette()[3]);

    menu->findChild<QToolButton*>(QStringLiteral("automatic"))->click();
    EXPECT_FALSE(button->GetColour().isValid());
    ASSERT_EQ(chosen.count(), 2);
    EXPECT_EQ(chosen[1][0].value<QColor>(), QColor(1, 2, 3));
}

TEST_F(ColourButtonTest, PaletteDropsDownWithTheEntriesSetSinceItWasLastBuilt)
{
    button->EnableOtherButton(QStringLiteral("first"));
    ASSERT_EQ(button->PaletteMenu()->findChild<QToolButton*>(QStringLiteral("other"))->text(), QStringLiteral("first"));
    button->EnableOtherButton(QStringLiteral("second"));
    button->SetPalette({QColor(1, 1, 1), QColor(2, 2, 2)});

    // The press drops the palette down; read it while it is up, then close it.
    owner.show();
    QStringList shown;
    QTimer::singleShot(0, button, [&] {
        QMenu* menu = button->menu();
        if (!menu->isVisible()) return;
        for (auto* entry : menu->findChildren<QToolButton*>())
            if (entry->isVisibleTo(menu)) shown << entry->objectName() + QLatin1Char('=') + entry->text();
        menu->hide();
    });
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    shown.sort();
    EXPECT_EQ(shown,
              QStringList({QStringLiteral("other=second"), QStringLiteral("swatch_0="), QStringLiteral("swatch_1=")}));
}

TEST_F(ColourButtonTest, LosingFocusReleasesThePress)
{
    button->setDown(true);
    QFocusEvent focusOut(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QCoreApplication::sendEvent(button, &focusOut);
    EXPECT_FALSE(button->isDown());
}

// A dialog whose picture is plain blue.
class BluePicture : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), QColor(0, 0, 200)); }
};

TEST(ColourLabelTest, OnlyTheLettersCoverThePicture)
{
    App();
    BluePicture dialog;
    dialog.resize(200, 60);
    auto* label = new ColourLabel(&dialog);
    label->setGeometry(10, 10, 150, 30);
    label->setText(QStringLiteral("MMMM"));
    EXPECT_EQ(label->TextColour(), QColor(Qt::white));

    auto count = [&](QColor colour) {
        const QImage picture = dialog.grab().toImage();
        int found = 0;
        for (int y = 10; y < 40; ++y) {
            for (int x = 10; x < 160; ++x) found += picture.pixelColor(x, y) == colour;
        }
        return found;
    };
    EXPECT_GT(count(Qt::white), 0);
    // The picture shows through beside the text.
    EXPECT_EQ(dialog.grab().toImage().pixelColor(155, 12), QColor(0, 0, 200));

    label->SetTextColour(Qt::black);
    EXPECT_EQ(count(Qt::white), 0);
    EXPECT_GT(count(Qt::black), 0);
}

} // namespace
} // namespace kestrune::test
