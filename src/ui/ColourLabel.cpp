#include "ui/ColourLabel.h"

#include <QPalette>

namespace kestrune {

ColourLabel::ColourLabel(QWidget* parent) : QLabel(parent)
{
    setAutoFillBackground(false);
    setAttribute(Qt::WA_TranslucentBackground);
    // Clicks go through to the dialog, which is dragged by its picture.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    SetTextColour(m_textColour);
}

void ColourLabel::SetTextColour(const QColor& colour)
{
    m_textColour = colour;
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    setPalette(palette);
    repaint();
}

} // namespace kestrune
