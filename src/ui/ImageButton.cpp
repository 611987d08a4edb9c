#include "ui/ImageButton.h"

#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <utility>

namespace kestrune {

namespace {

// The angle a turned caption is centred with is worked out from pi as a
// single-precision number, so that every skin lays its captions out alike.
constexpr double kCaptionPi = 3.1415927410125732;

int TextFlags(unsigned format)
{
    int flags = Qt::AlignTop;
    if (format & kCaptionCenter) {
        flags |= Qt::AlignHCenter;
    } else if (format & kCaptionRight) {
        flags |= Qt::AlignRight;
    } else {
        flags |= Qt::AlignLeft;
    }
    if (format & kCaptionSingleLine) flags |= Qt::TextSingleLine;
    return flags;
}

} // namespace

QRect CentreTurnedText(const QRect& rect, const QSize& extent, int escapement)
{
    const double theta = (escapement / 10.0) * kCaptionPi / 180.0;
    const int cx = extent.width();
    const int cy = extent.height();
    const int width = rect.width();
    const int height = rect.height();
    const int a = static_cast<int>(std::cos(theta) * cx);
    const int b = static_cast<int>(std::sin(theta) * cx);
    QRect result = rect;
    if (a < width) {
        result.setLeft(result.left() + (width - a) / 2 - static_cast<int>(std::sin(theta) * cy * 0.5));
    }
    if (b < height) {
        result.setBottom(result.bottom() - (height - b) / 2 + static_cast<int>(std::cos(theta) * cy * 0.5));
    }
    return result;
}

QRect AlignCaption(const QRect& rect, const QSize& extent, unsigned format)
{
    int x = rect.left();
    if (format & kCaptionCenter) {
        x = rect.left() + (rect.width() - extent.width()) / 2;
    } else if (format & kCaptionRight) {
        x = rect.left() + rect.width() - extent.width();
    }
    int y = rect.top();
    // Vertical placement only applies to a single line; a multi-line text
    // always starts at the top.
    if (format & kCaptionSingleLine) {
        if (format & kCaptionBottom) {
            y = rect.top() + rect.height() - extent.height();
        } else if (format & kCaptionVCenter) {
            y = rect.top() + (rect.height() - extent.height()) / 2;
        }
    }
    return QRect(QPoint(x, y), extent);
}

int CaptionPixelSize(int points, int dpi)
{
    // Rounded multiply-divide, halves away from zero.
    const long long product = static_cast<long long>(points) * dpi;
    const long long half = 36;
    return static_cast<int>(product >= 0 ? (product + half) / 72 : (product - half) / 72);
}

ImageButton::ImageButton(QWidget* parent) : QAbstractButton(parent), m_tooltipTimer(new QTimer(this))
{
    setMouseTracking(true);
    m_tooltipTimer->setSingleShot(true);
    m_tooltipTimer->setInterval(kButtonTooltipDelayMs);
    connect(m_tooltipTimer, &QTimer::timeout, this, &ImageButton::ShowTooltip);
}

ImageButton::~ImageButton() = default;

void ImageButton::SetImages(QPoint origin, const QImage& normal, const QImage& over, const QImage& down,
                            const QImage& disable, const QImage& other)
{
    m_origin = origin;
    ReplaceImages(normal, over, down, disable, other);
}

void ImageButton::ReplaceImages(const QImage& normal, const QImage& over, const QImage& down, const QImage& disable,
                                const QImage& other)
{
    m_normal = normal;
    m_over = over;
    m_down = down;
    m_disable = disable;
    m_other = other;
    ClearMouseState();
    update();
}

void ImageButton::SetCheckImages(const QImage& unchecked, const QImage& checked, bool checkMode, bool isChecked)
{
    m_unchecked = unchecked;
    m_checkedImage = checked;
    m_checkMode = checkMode;
    m_checked = isChecked;
    ClearMouseState();
    update();
}

void ImageButton::SetSelected(bool selected, bool redraw)
{
    m_selected = selected;
    if (redraw) update();
}

void ImageButton::SetBorderMode(const QColor& colour, int /*width*/, bool on)
{
    m_borderColour = colour;
    m_borderOn = on;
    update();
}

void ImageButton::SetTextStyle(bool on, int points, const QString& face, const QColor& colour, unsigned format)
{
    m_captionOn = on;
    m_points = points;
    m_face = face;
    m_captionColour = colour;
    m_format = format;
    update();
}

void ImageButton::SetTextRotation(int escapement, bool heavy)
{
    m_escapement = escapement;
    m_heavy = heavy;
    update();
}

void ImageButton::SetTooltipText(const QString& text, bool active)
{
    if (text.isEmpty()) return;
    m_tooltipText = text;
    m_tooltipActive = active;
    if (!active) {
        m_tooltipTimer->stop();
    } else if (m_hover && !m_tooltipTimer->isActive()) {
        m_tooltipTimer->start();
    }
}

void ImageButton::SetDrawCallback(DrawCallback callback)
{
    m_drawCallback = std::move(callback);
}

void ImageButton::Redraw()
{
    repaint();
}

ImageButton::Picture ImageButton::ChoosePicture() const
{
    if (!isEnabled()) return Picture::Disable;
    if (m_checkMode) return m_checked ? Picture::Checked : Picture::Unchecked;
    if (isDown()) return Picture::Down;
    if (m_hover) return Picture::Over;
    if (m_selected) return Picture::Other;
    return Picture::Normal;
}

const QImage& ImageButton::ImageOf(Picture picture) const
{
    static const QImage none;
    switch (picture) {
    case Picture::Normal:
        return m_normal;
    case Picture::Over:
        return m_over;
    case Picture::Down:
        return m_down;
    case Picture::Disable:
        return m_disable;
    case Picture::Other:
        return m_other;
    case Picture::Unchecked:
        return m_unchecked;
    case Picture::Checked:
        return m_checkedImage;
    case Picture::None:
        break;
    }
    return none;
}

QFont ImageButton::CaptionFont() const
{
    QFont font(m_face);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(std::max(1, CaptionPixelSize(m_points, logicalDpiY())));
    font.setWeight(static_cast<QFont::Weight>(m_heavy ? kCaptionWeightHeavy : kCaptionWeightNormal));
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

void ImageButton::SetFillColour(std::optional<QColor> colour)
{
    if (m_fill == colour) return;
    m_fill = colour;
    update();
}

void ImageButton::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    const Picture picture = ChoosePicture();
    const QImage& image = ImageOf(picture);
    if (m_borderOn) {
        painter.setPen(QPen(m_borderColour, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRect(1, 1, width() - 2, height() - 2));
    } else if (!image.isNull()) {
        // The face lies one pixel left of and above the origin in the
        // pictures; skins are drawn to that.
        painter.drawImage(QPoint(0, 0), image, QRect(m_origin - QPoint(1, 1), size()));
    }
    if (m_fill) {
        // The key's light: its colour over the cap, the legend still showing through.
        QColor glow = *m_fill;
        glow.setAlpha(kFillAlpha);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(glow);
        painter.drawRoundedRect(QRectF(rect()).adjusted(2, 2, -2, -2), 3, 3);
    }
    m_lastPicture = picture;
    if (m_captionOn) DrawCaption(painter);
    painter.end();
    if (m_drawCallback) {
        // Buttons that share one picture for several states count as drawn
        // normal whenever that shared picture is shown.
        m_drawCallback(this, image.cacheKey() == m_normal.cacheKey());
    }
}

void ImageButton::DrawCaption(QPainter& painter)
{
    const QString caption = text().left(kCaptionMaxChars);
    QFont font = CaptionFont();
    const auto measure = [&] {
        const QFontMetrics metrics(font);
        return (m_format & kCaptionSingleLine) ? QSize(metrics.horizontalAdvance(caption), metrics.height())
                                               : metrics.size(0, caption);
    };
    QSize extent = measure();
    // The face the skin names may be missing and stand in by a wider one:
    // a level caption wider than its button is drawn smaller, never cut off
    // at both ends.
    if (m_escapement == 0) {
        const int room = width() - 2 * kCaptionFitMargin;
        while (extent.width() > room && font.pixelSize() > kCaptionMinPixels) {
            font.setPixelSize(font.pixelSize() - 1);
            extent = measure();
        }
    }
    QRect area = rect();
    if (m_heavy) area = CentreTurnedText(area, extent, m_escapement);
    const QRect box = AlignCaption(area, extent, m_format);

    painter.save();
    painter.setFont(font);
    painter.setPen(m_captionColour);
    painter.setBackgroundMode(Qt::TransparentMode);
    // A turned caption turns about the corner where the unturned one would
    // start, counter-clockwise for a positive escapement.
    painter.translate(box.topLeft());
    painter.rotate(-m_escapement / 10.0);
    painter.drawText(QRect(QPoint(0, 0), extent), TextFlags(m_format), caption);
    painter.restore();
}

void ImageButton::ClearMouseState()
{
    m_hover = false;
    m_tracking = false;
    m_tooltipTimer->stop();
    setDown(false);
}

void ImageButton::StartTracking()
{
    m_tracking = true;
    // Hover is reported after 1 ms over the button: as good as at once.
    OnHover();
}

void ImageButton::OnHover()
{
    m_hover = true;
    update();
    if (!m_tooltipText.isEmpty() && m_tooltipActive) m_tooltipTimer->start();
}

void ImageButton::OnLeave()
{
    m_tracking = false;
    m_hover = false;
    if (m_tooltipTimer->isActive()) {
        m_tooltipTimer->stop();
    } else if (QToolTip::isVisible() && QToolTip::text() == m_tooltipText) {
        QToolTip::hideText();
    }
    update();
}

void ImageButton::ShowTooltip()
{
    if (!m_hover || m_tooltipText.isEmpty() || !m_tooltipActive) return;
    QToolTip::showText(mapToGlobal(QPoint(0, height())), m_tooltipText, this, rect());
}

void ImageButton::enterEvent(QEnterEvent* event)
{
    if (!m_tracking) StartTracking();
    QAbstractButton::enterEvent(event);
}

void ImageButton::leaveEvent(QEvent* event)
{
    OnLeave();
    QAbstractButton::leaveEvent(event);
}

void ImageButton::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_tracking && rect().contains(event->position().toPoint())) StartTracking();
    QAbstractButton::mouseMoveEvent(event);
}

void ImageButton::mouseDoubleClickEvent(QMouseEvent* event)
{
    // Two quick clicks are two presses, never one press and a double-click.
    mousePressEvent(event);
}

bool ImageButton::event(QEvent* event)
{
    // The tooltip keeps its own delay; the platform's would show it early.
    if (event->type() == QEvent::ToolTip) return true;
    return QAbstractButton::event(event);
}

} // namespace kestrune
