#pragma once

// Work that may block (keyboard exchanges, which can take seconds when the
// keyboard does not answer, and anything that waits for the configuration
// locks a download holds) runs here on a thread of its own, one piece at a
// time, so the window stays live. What the work gives back runs afterwards on
// the thread that owns the task (the GUI thread).

#include <QObject>

#include <functional>
#include <thread>

namespace kestrune {

class BackgroundTask : public QObject {
    Q_OBJECT
public:
    // What the work leaves to do on the owner's thread; may be empty.
    using Continuation = std::function<void()>;
    using Work = std::function<Continuation()>;

    explicit BackgroundTask(QObject* parent = nullptr);
    // Waits for running work; its continuation is dropped.
    ~BackgroundTask() override;

    // Starts the work unless some is already running; false then.
    bool Run(Work work);
    bool Busy() const { return m_busy; }

Q_SIGNALS:
    // After the continuation has run.
    void Finished();

private:
    void Complete(const Continuation& continuation);

    std::thread m_thread;
    bool m_busy = false; // touched only on the owner's thread
};

} // namespace kestrune
