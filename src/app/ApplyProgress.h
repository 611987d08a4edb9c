#pragma once

// The main window's picture that turns while an Apply or an import runs:
// the skin's ten frames (jdt1.bmp to jdt10.bmp), read at the first run, shown
// in turn every kProgressPeriodMs over the window, and left up a moment
// after the end so that even an Apply with nothing to send is seen.

#include <QImage>
#include <QObject>

#include <array>

class QLabel;
class QTimer;
class QWidget;

namespace kestrune {

class ApplyProgress : public QObject {
    Q_OBJECT
public:
    // The picture and its timer are children of the window, found by the
    // names "CONTROL_JDTStatic" (its place in the skin) and "timer1050".
    explicit ApplyProgress(QWidget& window);

    QLabel& Picture() const { return *m_picture; }
    void Start();
    void Stop();

private:
    void NextFrame();

    static constexpr int kFrames = 10;
    QLabel* m_picture = nullptr;
    QTimer* m_timer = nullptr;
    std::array<QImage, kFrames> m_frames;
    int m_frame = 0;
    int m_run = 0;
};

} // namespace kestrune
