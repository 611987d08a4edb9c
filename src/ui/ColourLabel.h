#pragma once

// A text label that lies on a dialog picture: only its letters are drawn, in
// its own colour, so the picture shows through around them.

#include <QColor>
#include <QLabel>

namespace kestrune {

class ColourLabel : public QLabel {
    Q_OBJECT
public:
    explicit ColourLabel(QWidget* parent = nullptr);

    // Repaints at once.
    void SetTextColour(const QColor& colour);
    QColor TextColour() const { return m_textColour; }

private:
    QColor m_textColour{Qt::white};
};

} // namespace kestrune
