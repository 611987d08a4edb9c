#include "HidShim.h"

#include "InputFile.h"

#include <hidapi.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

struct hid_device_ : kestrune::hidshim::ShimBus::Handle {};

namespace kestrune::hidshim {

namespace {

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
}

void ShimBus::PruneInputsLocked() const
{
    std::erase_if(m_inputs, [](const Input& input) {
        pollfd end{input.fd, 0, 0};
        if (poll(&end, 1, 0) <= 0 || (end.revents & POLLHUP) == 0) return false;
        close(input.fd);
        return true;
    });
}

int ShimBus::OpenHandles() const
{
    std::lock_guard lock(m_mutex);
    PruneInputsLocked();
    return static_cast<int>(m_handles.size() + m_inputs.size());
}

int ShimBus::OpenHandlesOn(std::uint16_t usagePage) const
{
    std::lock_guard lock(m_mutex);
    PruneInputsLocked();
    auto on = [&](const std::shared_ptr<ShimInterface>& interface) {
        return !interface->gone && interface->usagePage == usagePage;
    };
    return static_cast<int>(
        std::count_if(m_handles.begin(), m_handles.end(), [&](const Handle* h) { return on(h->interface); }) +
        std::count_if(m_inputs.begin(), m_inputs.end(), [&](const Input& i) { return on(i.interface); }));
}

int ShimBus::InitCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_initCalls;
}

int ShimBus::EnumerateCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_enumerateCalls;
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
    // Their input files hang up, as hidraw's do for a device that went away.
    std::erase_if(m_inputs, [](const Input& input) {
        if (!input.interface->gone) return false;
        close(input.fd);
        return true;
    });
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
    if (changed) changed();
}

void ShimBus::QueueLocked(std::uint16_t usagePage, std::span<const std::uint8_t> report)
{
    // Like hidraw, a file whose queue is full drops the report; so does one
    // the library has closed already.
    for (const Input& input : m_inputs)
        if (!input.interface->gone && input.interface->usagePage == usagePage)
            (void)send(input.fd, report.data(), report.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void ShimBus::OnConsumerReport(std::span<const std::uint8_t> report)
{
    std::lock_guard lock(m_mutex);
    QueueLocked(wire::kConsumerUsagePage, report);
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

std::vector<std::shared_ptr<ShimInterface>> ShimBus::Interfaces()
{
    std::lock_guard lock(m_mutex);
    ++m_enumerateCalls;
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

int ShimBus::OpenInput(const char* path)
{
    std::lock_guard lock(m_mutex);
    auto found = std::find_if(m_interfaces.begin(), m_interfaces.end(),
                              [&](const auto& interface) { return interface->path == path; });
    if (found == m_interfaces.end()) return -1;
    // A datagram per report keeps them whole, one per read.
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    m_inputs.push_back({*found, ends[0]});
    return ends[1];
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
        std::lock_guard lock(m_mutex);
        for (const emulator::Reply& reply : replies) QueueLocked(wire::kCommandUsagePage, reply.Arrived());
        return static_cast<int>(length);
    }
    if (usagePage == wire::kBankStatusUsagePage) return keyboard->WriteBankStatus(report) ? static_cast<int>(length) : -1;
    return -1;
}

}  // namespace kestrune::hidshim

using kestrune::hidshim::ShimBus;

int kestrune::hidrelay::OpenInputFile(const std::string& path)
{
    return ShimBus::Instance().OpenInput(path.c_str());
}

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
