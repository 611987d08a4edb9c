#pragma once

// The colour-picker button of the lighting panel: a swatch of the chosen
// colour beside a drop-down arrow, drawn to sit on the dialog picture. A
// click opens a palette (a grid of colours, optionally an automatic entry
// and an entry that opens the colour dialog); the owner reads the colour
// after colourChosen.

#include <QColor>
#include <QList>
#include <QPushButton>
#include <QRect>

#include <cstdint>

class QMenu;

namespace kestrune {

inline constexpr int kColourPaletteColumns = 10;
inline constexpr std::uint32_t kColourArrowAreaRef = 0x8B9294;

class SkinColourButton : public QPushButton {
    Q_OBJECT
public:
    explicit SkinColourButton(QWidget* parent = nullptr);

    // An invalid colour means none is chosen: the automatic colour stands in.
    void SetColour(const QColor& colour);
    QColor GetColour() const { return m_colour; }
    void SetColourAutomatic(const QColor& colour);
    QColor GetAutomaticColour() const { return m_automatic; }
    // The chosen colour, or the automatic one while none is chosen.
    QColor EffectiveColour() const { return m_colour.isValid() ? m_colour : m_automatic; }

    // Offers an entry that clears the choice, so the automatic colour holds.
    void EnableAutomaticButton(const QString& label, const QColor& automatic, bool enable = true);
    // Offers an entry that opens the colour dialog.
    void EnableOtherButton(const QString& label, bool enable = true);
    void SetPalette(const QList<QColor>& colours);
    QList<QColor> Palette() const { return m_palette; }
    void SetColumnsNumber(int columns);

    // The palette as it drops down, its entries as they stand now.
    QMenu* PaletteMenu();

    // The parts of the face, in client coordinates.
    QRect FaceRect() const;
    QRect SwatchRect() const;
    QRect ArrowAreaRect() const;

    static QList<QColor> DefaultPalette();

Q_SIGNALS:
    // The user took a colour from the palette or the colour dialog, or the
    // automatic entry.
    void colourChosen(const QColor& effective);

protected:
    void paintEvent(QPaintEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void Choose(const QColor& colour);
    void ChooseOther();
    // The palette's entries are built when it is about to drop down, not as
    // they change: a panel of these buttons would otherwise build hundreds of
    // styled swatches nobody has opened yet.
    void MenuChanged() { m_menuStale = true; }
    void BuildMenuIfStale();

    QColor m_colour;
    QColor m_automatic;
    QList<QColor> m_palette;
    int m_columns = kColourPaletteColumns;
    bool m_automaticEntry = false;
    QString m_automaticLabel;
    bool m_otherEntry = true;
    QString m_otherLabel{QStringLiteral("other")};
    QMenu* m_menu = nullptr;
    bool m_menuStale = true;
};

} // namespace kestrune
