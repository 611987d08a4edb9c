#include "HidShim.h"

#include <hidapi.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

struct hid_device_ : kestrune::hidshim::ShimBus::Handle {};

namespace kestrune::hidshim {

namespace {

// hidraw keeps this many reports per open file and drops newer ones when full.
constexpr std::size_t kQueueLimit = 64;

struct InterfaceKind {
    std::uint16_t usagePage;
    std::uint16_t usage;
};
constexpr InterfaceKind kKinds[] = {
    {wire::kConsumerUsagePage, wire::kConsumerUsage},
    {wire::kCommandUsagePage, wire::kCommandUsage},
    {wire::kBankStatusUsagePage, wire::kBankStatusUsage},
};

}  // namespace

ShimBus& ShimBus::Instance()
{
    static ShimBus bus;
    return bus;
}

void ShimBus::Connect(emulator::EmulatedKeyboard* keyboard, std::function<void()> changed)
{
    {
        std::lock_guard lock(m_mutex);
        m_keyboard = keyboard;
        m_changed = std::move(changed);
        if (keyboard->Present()) PlugLocked();
    }
    keyboard->SetListener(this);
}

void ShimBus::Disconnect()
{
    emulator::EmulatedKeyboard* keyboard = nullptr;
    {
        std::lock_guard lock(m_mutex);
        keyboard = m_keyboard;
        UnplugLocked();
        m_keyboard = nullptr;
        m_changed = nullptr;
    }
    if (keyboard != nullptr) keyboard->SetListener(nullptr);
    m_input.notify_all();
}

int ShimBus::OpenHandles() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_handles.size());
}

int ShimBus::OpenHandlesOn(std::uint16_t usagePage) const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(std::count_if(m_handles.begin(), m_handles.end(), [&](const Handle* handle) {
        return !handle->interface->gone && handle->interface->usagePage == usagePage;
    }));
}

int ShimBus::InitCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_initCalls;
}

int ShimBus::ExitCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_exitCalls;
}

void ShimBus::PlugLocked()
{
    if (!m_interfaces.empty()) return;
    for (const InterfaceKind& kind : kKinds) {
        auto interface = std::make_shared<ShimInterface>();
        interface->path = "/dev/hidraw" + std::to_string(m_nextNode++);
        interface->usagePage = kind.usagePage;
        interface->usage = kind.usage;
        m_interfaces.push_back(interface);
    }
}

void ShimBus::UnplugLocked()
{
    for (auto& interface : m_interfaces) interface->gone = true;
    m_interfaces.clear();
}

void ShimBus::OnPresenceChanged(bool present)
{
    std::function<void()> changed;
    {
        std::lock_guard lock(m_mutex);
        if (present)
            PlugLocked();
        else
            UnplugLocked();
        changed = m_changed;
    }
    m_input.notify_all();
    if (changed) changed();
}

void ShimBus::QueueLocked(std::uint16_t usagePage, std::span<const std::uint8_t> report)
{
    for (Handle* handle : m_handles) {
        if (handle->interface->gone || handle->interface->usagePage != usagePage) continue;
        if (handle->queue.size() < kQueueLimit) handle->queue.emplace_back(report.begin(), report.end());
    }
}

void ShimBus::OnConsumerReport(std::span<const std::uint8_t> report)
{
    {
        std::lock_guard lock(m_mutex);
        QueueLocked(wire::kConsumerUsagePage, report);
    }
    m_input.notify_all();
}

void ShimBus::Init()
{
    std::lock_guard lock(m_mutex);
    ++m_initCalls;
}

void ShimBus::Exit()
{
    std::lock_guard lock(m_mutex);
    ++m_exitCalls;
}

std::vector<std::shared_ptr<ShimInterface>> ShimBus::Interfaces() const
{
    std::lock_guard lock(m_mutex);
    return m_interfaces;
}

ShimBus::Handle* ShimBus::Open(const char* path)
{
    std::lock_guard lock(m_mutex);
    auto found = std::find_if(m_interfaces.begin(), m_interfaces.end(),
                              [&](const auto& interface) { return interface->path == path; });
    if (found == m_interfaces.end()) return nullptr;
    auto* handle = new hid_device_{};
    handle->interface = *found;
    m_handles.push_back(handle);
    return handle;
}

void ShimBus::Close(Handle* handle)
{
    {
        std::lock_guard lock(m_mutex);
        m_handles.erase(std::remove(m_handles.begin(), m_handles.end(), handle), m_handles.end());
    }
    delete static_cast<hid_device_*>(handle);
}

int ShimBus::Read(Handle* handle, std::uint8_t* data, std::size_t length, int milliseconds)
{
    std::unique_lock lock(m_mutex);
    auto ready = [&] { return handle->interface->gone || !handle->queue.empty(); };
    if (milliseconds < 0)
        m_input.wait(lock, ready);
    else
        m_input.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    if (!handle->queue.empty()) {
        std::vector<std::uint8_t> report = std::move(handle->queue.front());
        handle->queue.pop_front();
        const std::size_t count = std::min(length, report.size());
        std::memcpy(data, report.data(), count);
        return static_cast<int>(count);
    }
    return handle->interface->gone ? -1 : 0;
}

int ShimBus::Write(Handle* handle, const std::uint8_t* data, std::size_t length)
{
    emulator::EmulatedKeyboard* keyboard = nullptr;
    std::uint16_t usagePage = 0;
    {
        std::lock_guard lock(m_mutex);
        if (handle->interface->gone || m_keyboard == nullptr) return -1;
        keyboard = m_keyboard;
        usagePage = handle->interface->usagePage;
    }
    const std::span<const std::uint8_t> report(data, length);
    // The model is called without the bus lock: it calls back into the bus.
    if (usagePage == wire::kCommandUsagePage) {
        const std::vector<emulator::Reply> replies = keyboard->HandleOutputReport(report);
        {
            std::lock_guard lock(m_mutex);
            for (const emulator::Reply& reply : replies) QueueLocked(wire::kCommandUsagePage, reply.Arrived());
        }
        m_input.notify_all();
        return static_cast<int>(length);
    }
    if (usagePage == wire::kBankStatusUsagePage) return keyboard->WriteBankStatus(report) ? static_cast<int>(length) : -1;
    return -1;
}

}  // namespace kestrune::hidshim

using kestrune::hidshim::ShimBus;

extern "C" {

int hid_init(void)
{
    ShimBus::Instance().Init();
    return 0;
}

int hid_exit(void)
{
    ShimBus::Instance().Exit();
    return 0;
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    if ((vendor_id != 0 && vendor_id != kestrune::wire::kVendorId) ||
        (product_id != 0 && product_id != kestrune::wire::kProductId))
        return nullptr;
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const auto& interface : ShimBus::Instance().Interfaces()) {
        auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        info->path = strdup(interface->path.c_str());
        info->vendor_id = kestrune::wire::kVendorId;
        info->product_id = kestrune::wire::kProductId;
        info->usage_page = interface->usagePage;
        info->usage = interface->usage;
        info->bus_type = HID_API_BUS_USB;
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devs)
{
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs);
        devs = next;
    }
}

hid_device* hid_open_path(const char* path)
{
    return static_cast<hid_device*>(ShimBus::Instance().Open(path));
}

void hid_close(hid_device* dev)
{
    if (dev != nullptr) ShimBus::Instance().Close(dev);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    return ShimBus::Instance().Read(dev, data, length, milliseconds);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    return ShimBus::Instance().Read(dev, data, length, -1);
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    return ShimBus::Instance().Write(dev, data, length);
}

// The keyboard has no feature reports.
int hid_send_feature_report(hid_device*, const unsigned char*, size_t)
{
    return -1;
}

int hid_get_feature_report(hid_device*, unsigned char*, size_t)
{
    return -1;
}

const wchar_t* hid_error(hid_device*)
{
    return L"test device error";
}

}  // extern "C"
