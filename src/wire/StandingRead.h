#pragma once

// A standing read of a device library: its own thread, which hands the
// program presence changes and input reports through the callback the read
// was requested with, until the read is stopped. Both device libraries run
// their reads on it; what a read's thread waits on (a device file, a queue of
// replies) stays with the library.

#include "wire/HidRelay.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>
#include <utility>

namespace kestrune::wire {

class StandingRead {
public:
    StandingRead(HidRelayCallback callback, std::uint32_t tag, HidRelayHandle handle)
        : m_callback(callback), m_tag(tag), m_handle(handle)
    {
    }
    StandingRead(const StandingRead&) = delete;
    StandingRead& operator=(const StandingRead&) = delete;
    ~StandingRead() { StopAndJoin(); }

    // Runs 'loop' on the read's thread; it should return soon after
    // Stopping() turns true. 'wake' makes a waiting loop look at Stopping()
    // again; Stop calls it, from any thread. Throws what std::thread throws.
    void Start(std::function<void()> loop, std::function<void()> wake)
    {
        m_wake = std::move(wake);
        m_thread = std::thread([this, loop = std::move(loop)] {
            // Set here, not from the std::thread after it is made: the loop may
            // already ask, from a callback, before the constructor returns.
            m_threadId.store(std::this_thread::get_id());
            loop();
        });
    }

    void Stop()
    {
        m_stop.store(true);
        if (m_wake) m_wake();
    }
    bool Stopping() const { return m_stop.load(); }

    // Waits for the thread unless called on it.
    void Join()
    {
        if (m_thread.joinable() && !OnOwnThread()) m_thread.join();
    }

    // Stops the thread and waits for it. Called on the thread itself (a read
    // deleted from its own callback), it cannot wait: the thread is left to
    // end its loop on its own, and the answer is false.
    bool StopAndJoin()
    {
        Stop();
        if (!m_thread.joinable()) return true;
        if (OnOwnThread()) {
            m_thread.detach();
            return false;
        }
        m_thread.join();
        return true;
    }

    bool OnOwnThread() const { return std::this_thread::get_id() == m_threadId.load(); }
    HidRelayHandle Handle() const { return m_handle; }

    void DeliverPresence(bool present) const
    {
        HidRelayEventData data{};
        data.tag = m_tag;
        data.value = present ? 1u : 0u;
        data.handle = m_handle;
        HidRelayEvent event{HIDRELAY_EVENT_PRESENCE, 0, &data};
        m_callback(&event);
    }

    void DeliverReport(std::span<const std::uint8_t> report) const
    {
        HidRelayTransfer transfer{};
        transfer.length = static_cast<std::uint32_t>(report.size());
        transfer.bytes = report.data();
        HidRelayEventData data{};
        data.tag = m_tag;
        data.value = transfer.length;
        data.data = report.data();
        data.handle = m_handle;
        data.transfer = &transfer;
        HidRelayEvent event{HIDRELAY_EVENT_REPORT, 0, &data};
        m_callback(&event);
    }

private:
    const HidRelayCallback m_callback;
    const std::uint32_t m_tag;
    const HidRelayHandle m_handle;
    std::function<void()> m_wake;
    std::atomic<bool> m_stop{false};
    std::atomic<std::thread::id> m_threadId{};
    std::thread m_thread;
};

} // namespace kestrune::wire
