#include "ui/BackgroundTask.h"

#include <QMetaObject>

#include <utility>

namespace kestrune {

BackgroundTask::BackgroundTask(QObject* parent) : QObject(parent) {}

BackgroundTask::~BackgroundTask()
{
    if (m_thread.joinable()) m_thread.join();
}

bool BackgroundTask::Run(Work work)
{
    if (m_busy) return false;
    // The previous thread has handed over its continuation and is ending.
    if (m_thread.joinable()) m_thread.join();
    m_busy = true;
    m_thread = std::thread([this, work = std::move(work)] {
        Continuation continuation = work();
        // The destructor joins this thread before the object goes, so the
        // event is posted to a live object; it is dropped with it.
        QMetaObject::invokeMethod(
            this, [this, continuation = std::move(continuation)] { Complete(continuation); }, Qt::QueuedConnection);
    });
    return true;
}

void BackgroundTask::Complete(const Continuation& continuation)
{
    if (m_thread.joinable()) m_thread.join();
    m_busy = false;
    if (continuation) continuation();
    Q_EMIT Finished();
}

} // namespace kestrune
