#include "ui/PictureSlider.h"

#include "UiTestSupport.h"

#include <QTest>
#include <QWheelEvent>

namespace kestrune::test {
namespace {

constexpr int kId = 1178;

class BitmapSliderTest : public QtTest {
protected:
    BitmapSliderTest()
    {
        owner.resize(300, 100);
        slider = new PictureSlider(&owner, kId);
        slider->move(20, 30);
        slider->SetBasePicture(SolidImage(QSize(100, 12), Qt::gray));
        slider->SetRange(0, 4);
        slider->SetPageSize(10);
        owner.show();
    }

    std::vector<MessageSink::Message> Posted()
    {
        owner.Deliver();
        auto posted = owner.messages;
        owner.messages.clear();
        return posted;
    }

    static MessageSink::Message Moved(int position) { return {kSliderMoved, kId, position}; }

    void Wheel(int delta)
    {
        QWheelEvent wheel(QPointF(50, 6), slider->mapToGlobal(QPointF(50, 6)), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(slider, &wheel);
    }

    void Leave()
    {
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(slider, &leave);
    }

    MessageSink owner;
    PictureSlider* slider = nullptr;
};

TEST_F(BitmapSliderTest, BasePictureSizesTheControlInPlace)
{
    EXPECT_EQ(slider->geometry(), QRect(20, 30, 100, 12));
}

TEST_F(BitmapSliderTest, PressSetsThePositionUnderTheMouseAndReleasePostsAgain)
{
    QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(60, 5));
    EXPECT_EQ(slider->GetPos(), 2);
    EXPECT_TRUE(slider->IsPressed());
    EXPECT_TRUE(slider->IsActive());
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(60, 5));
    EXPECT_EQ(Posted(), (std::vector{Moved(2), Moved(2)}));
    EXPECT_FALSE(slider->IsPressed());
}

TEST_F(BitmapSliderTest, DraggingFollowsTheMouseAndStaysInRange)
{
    QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(0, 5));
    EXPECT_EQ(slider->GetPos(), 0);
    // A press on the pixel of the present position changes nothing.
    EXPECT_TRUE(Posted().empty());
    QTest::mouseMove(slider, QPoint(80, 5));
    EXPECT_EQ(slider->GetPos(), 3);
    QTest::mouseMove(slider, QPoint(250, 5));
    EXPECT_EQ(slider->GetPos(), 4);
    QTest::mouseMove(slider, QPoint(-40, 5));
    EXPECT_EQ(slider->GetPos(), 0);
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(-40, 5));
    EXPECT_EQ(Posted(), (std::vector{Moved(3), Moved(4), Moved(0), Moved(0)}));
    // Without a button held, moving does not move it.
    QTest::mouseMove(slider, QPoint(80, 5));
    EXPECT_EQ(slider->GetPos(), 0);
}

TEST_F(BitmapSliderTest, KeysMoveByStepPageAndToTheEnds)
{
    struct Case {
        Qt::Key key;
        int expected;
    };
    const Case cases[] = {
        {Qt::Key_PageUp, 0}, {Qt::Key_PageDown, 4}, {Qt::Key_End, 4},  {Qt::Key_Home, 0},
        {Qt::Key_Right, 3},  {Qt::Key_Down, 3},     {Qt::Key_Left, 1}, {Qt::Key_Up, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        slider->SetPos(2);
        Posted();
        QTest::keyClick(slider, c.key);
        EXPECT_EQ(slider->GetPos(), c.expected);
        EXPECT_EQ(Posted(), (std::vector{Moved(c.expected)}));
    }
    slider->SetPos(2);
    QTest::keyClick(slider, Qt::Key_A);
    EXPECT_EQ(slider->GetPos(), 2);
    EXPECT_TRUE(Posted().empty());
}

TEST_F(BitmapSliderTest, WheelActsOnlyWhileActive)
{
    slider->SetPos(2);
    Wheel(-120);
    EXPECT_EQ(slider->GetPos(), 2);
    EXPECT_TRUE(Posted().empty());

    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(50, 5));
    Posted();
    Wheel(120); // away from the user
    EXPECT_EQ(slider->GetPos(), 1);
    Wheel(-120); // towards the user
    EXPECT_EQ(slider->GetPos(), 2);
    Wheel(-240); // a fast turn of two notches towards the user
    EXPECT_EQ(slider->GetPos(), 4);
    Wheel(240); // and two away: down, not up
    EXPECT_EQ(slider->GetPos(), 2);
    Wheel(60); // half a notch moves nothing yet, the next half does
    EXPECT_EQ(slider->GetPos(), 2);
    Wheel(60);
    EXPECT_EQ(slider->GetPos(), 1);
    EXPECT_EQ(Posted(), (std::vector{Moved(1), Moved(2), Moved(4), Moved(2), Moved(2), Moved(1)}));

    Leave();
    EXPECT_FALSE(slider->IsActive());
    Wheel(120);
    EXPECT_EQ(slider->GetPos(), 1);
    EXPECT_TRUE(Posted().empty());
}

TEST_F(BitmapSliderTest, DisabledSliderIgnoresInput)
{
    slider->setEnabled(false);
    QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(60, 5));
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(60, 5));
    QTest::keyClick(slider, Qt::Key_End);
    EXPECT_EQ(slider->GetPos(), 0);
    EXPECT_FALSE(slider->IsActive());
    EXPECT_TRUE(Posted().empty());
}

TEST_F(BitmapSliderTest, PositionsAreClampedAndMappedOntoThePicture)
{
    slider->SetPos(9);
    EXPECT_EQ(slider->GetPos(), 4);
    slider->SetPos(-3);
    EXPECT_EQ(slider->GetPos(), 0);
    EXPECT_EQ(slider->PixelOf(3), 75);
    EXPECT_EQ(slider->PositionAt(74), 2);
    slider->SetPos(4);
    slider->SetRange(0, 2);
    EXPECT_EQ(slider->GetPos(), 2);
    // A range without span maps everything to its minimum instead of dividing by zero.
    slider->SetRange(3, 3);
    EXPECT_EQ(slider->PixelOf(3), 0);
    EXPECT_EQ(slider->PositionAt(60), 3);
    EXPECT_EQ(slider->GetPos(), 3);
}

TEST_F(BitmapSliderTest, ShowsTheOwnersPicture)
{
    slider->SetPicture(SolidImage(QSize(100, 12), QColor(200, 10, 10)));
    EXPECT_EQ(PixelOf(*slider, QPoint(50, 6)), QColor(200, 10, 10));
}

} // namespace
} // namespace kestrune::test
