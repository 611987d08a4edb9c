#pragma once

// The one thread on which the keyboard controller does a front end's keyboard
// work: Apply, profile switches, imports and lighting re-reads run here one
// after another, in the order they were asked for, so a user-interface thread
// never waits for a reply and two downloads never interleave.

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace kestrune {

class DeviceWorker {
public:
    DeviceWorker();
    ~DeviceWorker();
    DeviceWorker(const DeviceWorker&) = delete;
    DeviceWorker& operator=(const DeviceWorker&) = delete;

    // Queues a job. The future is ready when the job has run, or broken
    // (std::future_error on get) when the worker stopped before running it.
    std::future<void> Run(std::function<void()> job);
    // Finishes the job in progress, drops the queued ones and joins. Idempotent.
    void Stop();
    bool Stopped() const;
    // Jobs queued or running.
    int Pending() const;
    bool OnWorkerThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    void Loop();

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::packaged_task<void()>> m_jobs;
    int m_running = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace kestrune
