#include "session/DeviceWorker.h"

#include <utility>

namespace kestrune {

DeviceWorker::DeviceWorker() : m_thread([this] { Loop(); }) {}

DeviceWorker::~DeviceWorker()
{
    Stop();
}

std::future<void> DeviceWorker::Run(std::function<void()> job)
{
    std::packaged_task<void()> task(std::move(job));
    std::future<void> done = task.get_future();
    {
        std::lock_guard lock(m_mutex);
        // A stopped worker drops the task here, which breaks its future.
        if (m_stopping) return done;
        m_jobs.push_back(std::move(task));
    }
    m_changed.notify_one();
    return done;
}

void DeviceWorker::Stop()
{
    std::deque<std::packaged_task<void()>> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_jobs);
    }
    m_changed.notify_all();
    dropped.clear();
    if (m_thread.joinable() && !OnWorkerThread()) m_thread.join();
}

bool DeviceWorker::Stopped() const
{
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

int DeviceWorker::Pending() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_jobs.size()) + m_running;
}

void DeviceWorker::Loop()
{
    for (;;) {
        std::packaged_task<void()> task;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping) return;
            task = std::move(m_jobs.front());
            m_jobs.pop_front();
            m_running = 1;
        }
        task();
        std::lock_guard lock(m_mutex);
        m_running = 0;
    }
}

} // namespace kestrune
