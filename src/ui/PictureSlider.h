#pragma once

// A slider that is one picture: the owner shows a picture per position, the
// slider maps the mouse, the keys and the wheel onto a position and tells
// its parent with a posted kSliderMoved message (control id, position).

#include <QImage>
#include <QWidget>

namespace kestrune {

// One wheel notch, in the units wheel deltas come in.
inline constexpr int kWheelNotch = 120;

class PictureSlider : public QWidget {
    Q_OBJECT
public:
    explicit PictureSlider(QWidget* parent = nullptr, int controlId = 0);

    void SetControlId(int id) { m_controlId = id; }
    int ControlId() const { return m_controlId; }

    // The position is clamped into the new range. A range whose maximum is
    // not above its minimum keeps every position at the minimum.
    void SetRange(int minimum, int maximum);
    void SetPageSize(int page) { m_page = page; }
    void SetPos(int position);
    int GetPos() const { return m_position; }
    int Minimum() const { return m_minimum; }
    int Maximum() const { return m_maximum; }
    int PageSize() const { return m_page; }

    // Sizes the control to `picture` (its place stays) and maps positions
    // onto the picture's width.
    void SetBasePicture(const QImage& picture);
    // The picture shown; repainted at once.
    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return m_picture; }

    bool IsPressed() const { return m_pressed; }
    // Pressed on since the pointer last came in: only then does the wheel act.
    bool IsActive() const { return m_active; }

    // The x of a position on the picture, and the position of an x.
    int PixelOf(int position) const;
    int PositionAt(int x) const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    int Clamp(int position) const;
    int MapWidth() const;
    void MoveTo(int position);
    void TrackTo(int x);
    void PostMoved();

    int m_controlId = 0;
    int m_minimum = 0;
    int m_maximum = 100;
    int m_position = 0;
    int m_page = 10;
    bool m_pressed = false;
    bool m_active = false;
    int m_wheelRest = 0; // wheel delta short of a whole notch, kept for the next turn
    QImage m_picture;
    int m_pictureWidth = 0;
};

} // namespace kestrune
