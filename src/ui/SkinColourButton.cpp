#include "ui/SkinColourButton.h"

#include "ui/ColourRef.h"

#include <QColorDialog>
#include <QFocusEvent>
#include <QGridLayout>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace kestrune {

namespace {

// Edges as the face is laid out: right and bottom are one past the last
// pixel, which keeps the layout rules below free of off-by-one fixes.
struct Edges {
    int left, top, right, bottom;
    QRect ToRect() const { return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)); }
};

constexpr int kFaceInset = 3; // the focus frame runs round the face at this distance

Edges FaceEdges(const QWidget& widget)
{
    return {kFaceInset, kFaceInset, widget.width() - kFaceInset, widget.height() - kFaceInset};
}

Edges SwatchEdges(const Edges& face)
{
    Edges swatch{face.left - 1, face.top - 1, face.right + 1, face.bottom + 1};
    swatch.right = swatch.right / 2 + 5;
    return swatch;
}

Edges ArrowAreaEdges(const Edges& face)
{
    Edges area{face.left - 1, face.top - 2, face.right + 1, face.bottom + 2};
    area.left = area.left + area.right / 2 + 3;
    return area;
}

} // namespace

SkinColourButton::SkinColourButton(QWidget* parent) : QPushButton(parent), m_palette(DefaultPalette())
{
    setMouseTracking(true);
    setAttribute(Qt::WA_Hover);
    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("palette"));
    // The face shows the colour; redraw it once the palette is gone.
    connect(m_menu, &QMenu::aboutToHide, this, qOverload<>(&QWidget::update));
    // Connected before setMenu so the entries are in before the button sizes
    // and places the menu for its drop-down; aboutToShow covers showMenu().
    connect(this, &QAbstractButton::pressed, this, &SkinColourButton::BuildMenuIfStale);
    connect(m_menu, &QMenu::aboutToShow, this, &SkinColourButton::BuildMenuIfStale);
    setMenu(m_menu);
}

QList<QColor> SkinColourButton::DefaultPalette()
{
    // Four rows of ten: a grey column, then nine hues from dark to light.
    QList<QColor> colours;
    const int hues[] = {0, 30, 60, 90, 120, 180, 210, 240, 300};
    const int greys[] = {0, 96, 192, 255};
    const int values[] = {128, 255, 255, 255};
    const int saturations[] = {255, 255, 160, 80};
    for (int row = 0; row < 4; ++row) {
        colours.append(QColor(greys[row], greys[row], greys[row]));
        for (int hue : hues) colours.append(QColor::fromHsv(hue, saturations[row], values[row]));
    }
    return colours;
}

void SkinColourButton::SetColour(const QColor& colour)
{
    m_colour = colour;
    update();
}

void SkinColourButton::SetColourAutomatic(const QColor& colour)
{
    m_automatic = colour;
    update();
}

void SkinColourButton::EnableAutomaticButton(const QString& label, const QColor& automatic, bool enable)
{
    m_automaticLabel = label;
    m_automatic = automatic;
    m_automaticEntry = enable;
    MenuChanged();
    update();
}

void SkinColourButton::EnableOtherButton(const QString& label, bool enable)
{
    m_otherLabel = label;
    m_otherEntry = enable;
    MenuChanged();
}

void SkinColourButton::SetPalette(const QList<QColor>& colours)
{
    m_palette = colours;
    MenuChanged();
}

void SkinColourButton::SetColumnsNumber(int columns)
{
    m_columns = columns > 0 ? columns : 1;
    MenuChanged();
}

QMenu* SkinColourButton::PaletteMenu()
{
    BuildMenuIfStale();
    return m_menu;
}

void SkinColourButton::BuildMenuIfStale()
{
    if (!m_menuStale) return;
    m_menuStale = false;
    m_menu->clear();
    auto* panel = new QWidget(m_menu);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(4, 4, 4, 4);
    column->setSpacing(4);
    if (m_automaticEntry) {
        auto* automatic = new QToolButton(panel);
        automatic->setObjectName(QStringLiteral("automatic"));
        automatic->setText(m_automaticLabel);
        automatic->setToolButtonStyle(Qt::ToolButtonTextOnly);
        automatic->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        connect(automatic, &QToolButton::clicked, this, [this] { Choose(QColor()); });
        column->addWidget(automatic);
    }
    auto* grid = new QGridLayout;
    grid->setSpacing(2);
    for (int i = 0; i < m_palette.size(); ++i) {
        const QColor colour = m_palette[i];
        auto* swatch = new QToolButton(panel);
        swatch->setObjectName(QStringLiteral("swatch_%1").arg(i));
        swatch->setFixedSize(18, 18);
        swatch->setToolTip(colour.name());
        swatch->setStyleSheet(QStringLiteral("QToolButton { background: %1; border: 1px solid #808080; }"
                                             "QToolButton:hover { border: 1px solid #000000; }")
                                  .arg(colour.name()));
        connect(swatch, &QToolButton::clicked, this, [this, colour] { Choose(colour); });
        grid->addWidget(swatch, i / m_columns, i % m_columns);
    }
    column->addLayout(grid);
    if (m_otherEntry) {
        auto* other = new QToolButton(panel);
        other->setObjectName(QStringLiteral("other"));
        other->setText(m_otherLabel);
        other->setToolButtonStyle(Qt::ToolButtonTextOnly);
        other->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        connect(other, &QToolButton::clicked, this, &SkinColourButton::ChooseOther);
        column->addWidget(other);
    }
    auto* action = new QWidgetAction(m_menu);
    action->setDefaultWidget(panel);
    m_menu->addAction(action);
}

void SkinColourButton::Choose(const QColor& colour)
{
    m_menu->hide();
    SetColour(colour);
    Q_EMIT colourChosen(EffectiveColour());
}

void SkinColourButton::ChooseOther()
{
    m_menu->hide();
    const QColor picked = QColorDialog::getColor(EffectiveColour(), window());
    if (!picked.isValid()) return; // cancelled: the colour stays
    SetColour(picked);
    Q_EMIT colourChosen(picked);
}

QRect SkinColourButton::FaceRect() const
{
    return FaceEdges(*this).ToRect();
}

QRect SkinColourButton::SwatchRect() const
{
    return SwatchEdges(FaceEdges(*this)).ToRect();
}

QRect SkinColourButton::ArrowAreaRect() const
{
    return ArrowAreaEdges(FaceEdges(*this)).ToRect();
}

void SkinColourButton::paintEvent(QPaintEvent* /*event*/)
{
    QStylePainter painter(this);
    const Edges face = FaceEdges(*this);

    // Swatch: a one-pixel frame in one colour for both edges, filled with
    // the colour unless there is none or the button is disabled.
    const QRect swatch = SwatchEdges(face).ToRect();
    if (swatch.isValid()) {
        const QColor frame = palette().color(QPalette::Mid);
        painter.fillRect(QRect(swatch.left(), swatch.top(), swatch.width(), 1), frame);
        painter.fillRect(QRect(swatch.left(), swatch.bottom(), swatch.width(), 1), frame);
        painter.fillRect(QRect(swatch.left(), swatch.top(), 1, swatch.height()), frame);
        painter.fillRect(QRect(swatch.right(), swatch.top(), 1, swatch.height()), frame);
        const QColor fill = EffectiveColour();
        if (fill.isValid() && isEnabled()) painter.fillRect(swatch.adjusted(1, 1, -1, -1), fill);
    }

    const QRect area = ArrowAreaEdges(face).ToRect();
    if (area.isValid()) painter.fillRect(area, ColourFromRef(kColourArrowAreaRef));

    const Edges grown{face.left - 1, face.top - 1, face.right + 1, face.bottom + 1};
    const int middle = (grown.bottom - grown.top) / 2;
    const QPolygon arrow({QPoint(grown.right - 11, middle - 2), QPoint(grown.right - 5, middle - 2),
                          QPoint(grown.right - 8, middle + 1)});
    painter.setPen(Qt::black);
    painter.setBrush(Qt::black);
    painter.drawPolygon(arrow);

    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect();
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, option);
    }
}

void SkinColourButton::leaveEvent(QEvent* event)
{
    QPushButton::leaveEvent(event);
    update();
}

void SkinColourButton::focusOutEvent(QFocusEvent* event)
{
    if (mouseGrabber() == this) releaseMouse();
    setDown(false);
    QPushButton::focusOutEvent(event);
    repaint();
}

} // namespace kestrune
