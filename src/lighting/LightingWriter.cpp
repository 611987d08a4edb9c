#include "lighting/LightingWriter.h"

#include "lighting/Lighting.h"

#include <algorithm>

namespace kestrune {

LightingWriter::LightingWriter(Lighting& lighting, Listener listener)
    : m_lighting(lighting), m_listener(std::move(listener)), m_thread([this] { Run(); })
{
}

LightingWriter::~LightingWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void LightingWriter::Submit(LightingJobKind kind, Job job)
{
    {
        std::lock_guard lock(m_mutex);
        std::erase_if(m_queue, [&](const Entry& entry) { return entry.kind == kind; });
        m_queue.push_back({kind, std::move(job)});
    }
    m_wake.notify_all();
}

bool LightingWriter::WaitIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [&] { return m_queue.empty() && !m_running; });
}

std::size_t LightingWriter::Queued() const
{
    std::lock_guard lock(m_mutex);
    return m_queue.size();
}

bool LightingWriter::Busy() const
{
    std::lock_guard lock(m_mutex);
    return m_running || !m_queue.empty();
}

bool LightingWriter::WritesPending() const
{
    std::lock_guard lock(m_mutex);
    return (m_running && !m_reporting) || !m_queue.empty();
}

void LightingWriter::Run()
{
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [&] { return !m_queue.empty() || m_stopping; });
        if (m_queue.empty()) return; // stopping, and every change has gone out
        Entry entry = std::move(m_queue.front());
        m_queue.pop_front();
        m_running = true;
        lock.unlock();

        const int result = entry.job(m_lighting);

        lock.lock();
        const bool idle = m_queue.empty();
        if (m_listener) {
            // The listener may submit the next job (a read after a failure).
            m_reporting = true;
            lock.unlock();
            m_listener({entry.kind, result, idle});
            lock.lock();
            m_reporting = false;
        }
        m_running = false;
        if (m_queue.empty()) m_idle.notify_all();
    }
}

} // namespace kestrune
