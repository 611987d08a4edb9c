#include "ui/ClickablePicture.h"

#include <QMouseEvent>
#include <QPainter>

namespace kestrune {

ClickablePicture::ClickablePicture(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setCursor(Qt::PointingHandCursor);
}

void ClickablePicture::SetPicture(const QImage& picture)
{
    m_picture = picture;
    repaint();
}

void ClickablePicture::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    if (!m_picture.isNull()) painter.drawImage(QPoint(0, 0), m_picture);
}

void ClickablePicture::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_pressed = true;
    event->accept();
}

void ClickablePicture::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_pressed) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    m_pressed = false;
    if (rect().contains(event->position().toPoint())) Q_EMIT clicked();
}

} // namespace kestrune
