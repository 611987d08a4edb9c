#pragma once

// The image button used for nearly every button of the program. It has no
// look of its own: it copies its face out of whole-dialog pictures, one per
// state (StateImages, see Skin.h), at its place in the dialog, and may draw a
// caption over it.

#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

class QTimer;

namespace kestrune {

// Caption layout bits. The numbers are the ones skin styles are written
// with, so a style reads the same in every table that lists one.
enum CaptionFormat : unsigned {
    kCaptionLeft = 0x00,
    kCaptionCenter = 0x01,
    kCaptionRight = 0x02,
    kCaptionTop = 0x00,
    kCaptionVCenter = 0x04,
    kCaptionBottom = 0x08,
    kCaptionSingleLine = 0x20,
};
inline constexpr unsigned kDefaultCaptionFormat = kCaptionCenter | kCaptionVCenter | kCaptionSingleLine; // 37

inline constexpr int kCaptionWeightNormal = 400;
inline constexpr int kCaptionWeightHeavy = 956;
inline constexpr int kCaptionMaxChars = 259;
// A level caption too wide for its button shrinks down to this size, keeping this margin each side.
inline constexpr int kCaptionMinPixels = 8;
inline constexpr int kCaptionFitMargin = 3;
inline constexpr int kButtonTooltipDelayMs = 2000;
inline constexpr int kFillAlpha = 170;

// Where a turned heavy caption is laid out inside `rect` so that it comes out
// centred: `extent` is the unturned text's width and height, `escapement` the
// turn in tenths of a degree.
QRect CentreTurnedText(const QRect& rect, const QSize& extent, int escapement);

// The rectangle an unturned text of `extent` takes in `rect` under `format`.
QRect AlignCaption(const QRect& rect, const QSize& extent, unsigned format);

// Pixel height of a font of `points` on a device of `dpi` dots per inch,
// rounded to the nearest pixel.
int CaptionPixelSize(int points, int dpi);

class ImageButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Picture { None, Normal, Over, Down, Disable, Other, Unchecked, Checked };
    using DrawCallback = std::function<void(QWidget* button, bool drewNormal)>;

    explicit ImageButton(QWidget* parent = nullptr);
    ~ImageButton() override;

    // `origin` is where the button's face lies in the pictures: the
    // button's own place in the dialog.
    void SetImages(QPoint origin, const QImage& normal, const QImage& over, const QImage& down, const QImage& disable,
                   const QImage& other);
    void ReplaceImages(const QImage& normal, const QImage& over, const QImage& down, const QImage& disable,
                       const QImage& other);
    void SetCheckImages(const QImage& unchecked, const QImage& checked, bool checkMode, bool isChecked);
    void SetSelected(bool selected, bool redraw = true);
    // The frame is always 2 pixels wide; `width` is accepted for callers
    // that pass one.
    void SetBorderMode(const QColor& colour, int width, bool on);
    void SetTextStyle(bool on, int points, const QString& face, const QColor& colour,
                      unsigned format = kDefaultCaptionFormat);
    void SetTextRotation(int escapement, bool heavy);
    void SetTooltipText(const QString& text, bool active);
    void SetDrawCallback(DrawCallback callback);
    // Draws the button now rather than at the next paint.
    void Redraw();
    // A colour laid over the face (a key's lighting colour); nothing for none.
    void SetFillColour(std::optional<QColor> colour);
    std::optional<QColor> FillColour() const { return m_fill; }

    QPoint Origin() const { return m_origin; }
    bool IsSelected() const { return m_selected; }
    bool IsHovered() const { return m_hover; }
    bool IsTracking() const { return m_tracking; }
    bool IsCheckMode() const { return m_checkMode; }
    bool IsChecked() const { return m_checked; }
    QString TooltipText() const { return m_tooltipText; }
    bool IsTooltipActive() const { return m_tooltipActive; }
    // The picture the present state asks for, and the one drawn last.
    Picture ChoosePicture() const;
    Picture LastPicture() const { return m_lastPicture; }
    // The caption font as it is drawn, for the present screen.
    QFont CaptionFont() const;
    int Escapement() const { return m_escapement; }
    bool IsHeavy() const { return m_heavy; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    const QImage& ImageOf(Picture picture) const;
    void ClearMouseState();
    void StartTracking();
    void OnHover();
    void OnLeave();
    void ShowTooltip();
    void DrawCaption(class QPainter& painter);

    QImage m_normal, m_over, m_down, m_disable, m_other, m_unchecked, m_checkedImage;
    QPoint m_origin{0, 0};
    bool m_checkMode = false;
    bool m_checked = false;
    bool m_selected = false;
    bool m_hover = false;
    bool m_tracking = false;
    bool m_borderOn = false;
    QColor m_borderColour{Qt::black};
    bool m_captionOn = false;
    QString m_face{QStringLiteral("Tahoma")};
    int m_points = 8;
    QColor m_captionColour{Qt::black};
    unsigned m_format = kDefaultCaptionFormat;
    int m_escapement = 0;
    bool m_heavy = false;
    QString m_tooltipText;
    bool m_tooltipActive = false;
    QTimer* m_tooltipTimer = nullptr;
    DrawCallback m_drawCallback;
    Picture m_lastPicture = Picture::None;
    std::optional<QColor> m_fill;
};

} // namespace kestrune
