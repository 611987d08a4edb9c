#include "ui/PictureSlider.h"

#include "ui/WindowMessage.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QWheelEvent>

namespace kestrune {

PictureSlider::PictureSlider(QWidget* parent, int controlId) : QWidget(parent), m_controlId(controlId)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
}

void PictureSlider::SetRange(int minimum, int maximum)
{
    m_minimum = minimum;
    m_maximum = maximum;
    m_position = Clamp(m_position);
    update();
}

void PictureSlider::SetPos(int position)
{
    m_position = Clamp(position);
    update();
}

void PictureSlider::SetBasePicture(const QImage& picture)
{
    m_pictureWidth = picture.width();
    resize(picture.size());
    m_picture = picture;
    update();
}

void PictureSlider::SetPicture(const QImage& picture)
{
    m_picture = picture;
    repaint();
}

int PictureSlider::Clamp(int position) const
{
    if (position > m_maximum) position = m_maximum;
    if (position < m_minimum) position = m_minimum;
    return position;
}

int PictureSlider::MapWidth() const
{
    return m_pictureWidth > 0 ? m_pictureWidth : width();
}

int PictureSlider::PixelOf(int position) const
{
    if (m_maximum <= m_minimum) return 0;
    return static_cast<int>(static_cast<double>(position - m_minimum) / (m_maximum - m_minimum) * MapWidth());
}

int PictureSlider::PositionAt(int x) const
{
    const int span = MapWidth();
    if (span <= 0 || m_maximum <= m_minimum) return m_minimum;
    return m_minimum + static_cast<int>(static_cast<double>(x) / span * (m_maximum - m_minimum));
}

void PictureSlider::MoveTo(int position)
{
    m_position = Clamp(position);
    update();
}

void PictureSlider::TrackTo(int x)
{
    if (x == PixelOf(m_position)) return;
    MoveTo(PositionAt(x));
    PostMoved();
}

void PictureSlider::PostMoved()
{
    if (QWidget* owner = parentWidget()) {
        QCoreApplication::postEvent(owner,
                                    new WindowMessage(kSliderMoved, static_cast<quintptr>(m_controlId), m_position));
    }
}

void PictureSlider::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    m_pressed = true;
    m_active = true;
    m_wheelRest = 0;
    TrackTo(event->position().toPoint().x());
    update();
}

void PictureSlider::mouseMoveEvent(QMouseEvent* event)
{
    if (m_pressed) TrackTo(event->position().toPoint().x());
}

void PictureSlider::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    m_pressed = false;
    PostMoved();
}

void PictureSlider::leaveEvent(QEvent* event)
{
    m_active = false;
    m_wheelRest = 0;
    update();
    QWidget::leaveEvent(event);
}

void PictureSlider::keyPressEvent(QKeyEvent* event)
{
    int position = m_position;
    switch (event->key()) {
    case Qt::Key_PageUp:
        position -= m_page;
        break;
    case Qt::Key_PageDown:
        position += m_page;
        break;
    case Qt::Key_End:
        position = m_maximum;
        break;
    case Qt::Key_Home:
        position = m_minimum;
        break;
    case Qt::Key_Right:
    case Qt::Key_Down:
        position += 1;
        break;
    case Qt::Key_Left:
    case Qt::Key_Up:
        position -= 1;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    MoveTo(position);
    PostMoved();
}

void PictureSlider::wheelEvent(QWheelEvent* event)
{
    if (!m_active) {
        // Not ours to take: the dialog under the slider may scroll.
        event->ignore();
        return;
    }
    // A notch away from the user lowers the position, one towards the user
    // raises it; a fast turn that arrives as several notches at once moves
    // as far, and fine-grained deltas add up to whole notches.
    m_wheelRest += event->angleDelta().y();
    int position = m_position;
    while (m_wheelRest >= kWheelNotch) {
        --position;
        m_wheelRest -= kWheelNotch;
    }
    while (m_wheelRest <= -kWheelNotch) {
        ++position;
        m_wheelRest += kWheelNotch;
    }
    MoveTo(position);
    PostMoved();
    event->accept();
}

void PictureSlider::paintEvent(QPaintEvent* /*event*/)
{
    QStylePainter painter(this);
    if (m_active) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect();
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, option);
    }
    if (!m_picture.isNull()) painter.drawImage(QPoint(0, 0), m_picture);
}

} // namespace kestrune
