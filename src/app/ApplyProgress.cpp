#include "app/ApplyProgress.h"

#include "app/MainWindowIds.h"
#include "config/Folders.h"

#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <string>

namespace kestrune {

static_assert(mainwnd::kProgressFrames == 10, "the skin has ten progress frames");

ApplyProgress::ApplyProgress(QWidget& window) : QObject(&window)
{
    m_timer = new QTimer(&window);
    m_timer->setObjectName(QStringLiteral("timer1050"));
    m_timer->setInterval(mainwnd::kProgressPeriodMs);
    connect(m_timer, &QTimer::timeout, this, &ApplyProgress::NextFrame);

    m_picture = new QLabel(&window);
    m_picture->setObjectName(QStringLiteral("CONTROL_JDTStatic"));
    m_picture->setScaledContents(true);
    m_picture->hide();
}

void ApplyProgress::Start()
{
    if (m_frames[0].isNull()) {
        for (int i = 0; i < kFrames; ++i) {
            const auto file = SkinFolder() / ("jdt" + std::to_string(i + 1) + ".bmp");
            m_frames[static_cast<std::size_t>(i)] = QImage(QString::fromStdU16String(file.u16string()));
        }
    }
    ++m_run;
    m_frame = 0;
    m_picture->setPixmap(QPixmap::fromImage(m_frames[0]));
    m_picture->show();
    m_picture->raise();
    m_timer->start();
}

void ApplyProgress::NextFrame()
{
    m_frame = (m_frame + 1) % kFrames;
    m_picture->setPixmap(QPixmap::fromImage(m_frames[static_cast<std::size_t>(m_frame)]));
}

void ApplyProgress::Stop()
{
    // The picture stays a moment, so even an Apply with nothing to send is seen.
    const int run = m_run;
    QTimer::singleShot(mainwnd::kProgressLingerMs, this, [this, run] {
        if (run != m_run) return;
        m_timer->stop();
        m_picture->hide();
    });
}

} // namespace kestrune
