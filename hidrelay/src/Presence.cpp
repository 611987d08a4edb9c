#include "Presence.h"

#include "Relay.h"

#include <hidapi.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace kestrune::hidrelay {

namespace {

// udev's daemon creates its control socket here; without it no hidraw event
// would ever arrive on the monitor.
constexpr const char* kUdevControl = "/run/udev/control";
// Set by umockdev's preload library, whose mocked kernel sends the monitor
// its uevents itself, with no udev daemon running.
constexpr const char* kMockedKernel = "UMOCKDEV_DIR";

class UdevPresence final : public PresenceSource {
public:
    ~UdevPresence() override
    {
        Stop();
        if (m_monitor != nullptr) udev_monitor_unref(m_monitor);
        if (m_udev != nullptr) udev_unref(m_udev);
        if (m_wakeFd >= 0) close(m_wakeFd);
    }

    bool Start(std::function<void()> changed) override
    {
        m_udev = udev_new();
        if (m_udev == nullptr) return false;
        m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
        if (m_monitor == nullptr) return false;
        if (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr) < 0 ||
            udev_monitor_enable_receiving(m_monitor) < 0)
            return false;
        m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_wakeFd < 0) return false;
        m_thread = std::thread([this, changed = std::move(changed)] { Run(changed); });
        return true;
    }

    void Stop() override
    {
        if (!m_thread.joinable()) return;
        const std::uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof one) < 0) Log(1, "cannot wake the udev monitor");
        m_thread.join();
    }

    bool NoticesEveryChange() const override { return true; }

private:
    void Run(const std::function<void()>& changed)
    {
        pollfd fds[2] = {{udev_monitor_get_fd(m_monitor), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            if (fds[0].revents & POLLIN) {
                udev_device* device = udev_monitor_receive_device(m_monitor);
                if (device != nullptr) {
                    Log(2, "udev: %s %s", udev_device_get_action(device), udev_device_get_devnode(device));
                    udev_device_unref(device);
                }
                changed();
            }
        }
    }

    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    int m_wakeFd = -1;
    std::thread m_thread;
};

class PollingPresence final : public PresenceSource {
public:
    explicit PollingPresence(std::chrono::milliseconds period) : m_period(period) {}
    ~PollingPresence() override { Stop(); }

    bool Start(std::function<void()> changed) override
    {
        m_thread = std::thread([this, changed = std::move(changed)] { Run(changed); });
        return true;
    }

    void Stop() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }

    bool NoticesEveryChange() const override { return false; }

private:
    static std::set<std::string> Interfaces()
    {
        std::set<std::string> paths;
        std::lock_guard lock(HidApiLock());
        hid_device_info* list = hid_enumerate(0, 0);
        for (const hid_device_info* info = list; info != nullptr; info = info->next)
            if (info->path != nullptr) paths.insert(info->path);
        hid_free_enumeration(list);
        return paths;
    }

    void Run(const std::function<void()>& changed)
    {
        std::set<std::string> last = Interfaces();
        std::unique_lock lock(m_mutex);
        while (!m_wake.wait_for(lock, m_period, [this] { return m_stop; })) {
            lock.unlock();
            std::set<std::string> now = Interfaces();
            if (now != last) {
                last.swap(now);
                changed();
            }
            lock.lock();
        }
    }

    const std::chrono::milliseconds m_period;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace

std::unique_ptr<PresenceSource> MakeUdevPresence()
{
    if (access(kUdevControl, F_OK) != 0 && std::getenv(kMockedKernel) == nullptr) return nullptr;
    return std::make_unique<UdevPresence>();
}

std::unique_ptr<PresenceSource> MakePollingPresence(std::chrono::milliseconds period)
{
    return std::make_unique<PollingPresence>(period);
}

}  // namespace kestrune::hidrelay
