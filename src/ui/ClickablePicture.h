#pragma once

// A picture that lies on a dialog and answers a click: the lighting panel's
// switches, direction arrows, rainbow toggles and tool choices. The owner
// swaps the picture to show the state.

#include <QImage>
#include <QWidget>

namespace kestrune {

class ClickablePicture : public QWidget {
    Q_OBJECT
public:
    explicit ClickablePicture(QWidget* parent = nullptr);

    // Shown unscaled from the control's top-left corner; repainted at once.
    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return m_picture; }

Q_SIGNALS:
    // The left button went down and came up again on the picture.
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QImage m_picture;
    bool m_pressed = false;
};

} // namespace kestrune
