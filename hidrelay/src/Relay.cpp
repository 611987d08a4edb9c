#include "Relay.h"

#include "InputFile.h"

#include "wire/Protocol.h"

#include <hidapi.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>

namespace kestrune::hidrelay {

namespace {

// An interface that is listed but will not open yet (its permissions are set
// just after it appears) is tried again this soon.
constexpr int kOpenRetryMs = 250;
// Where the presence source may miss a change, a closed read still looks
// again this often, so a missed notice delays a replug but never loses it.
constexpr int kIdleRecheckMs = 2000;
// Input reports of the keyboard are 64 bytes; room for larger ones all the same.
constexpr std::size_t kReadBufferSize = 256;
constexpr std::chrono::milliseconds kPollingPeriod{500};
// The rule installed with the program that opens the keyboard's nodes to the user.
constexpr const char* kUdevRuleName = "70-kestrune.rules";

std::atomic<int> g_debugLevel{0};

bool SelectorMatches(const HidRelaySelector& selector, const InterfaceInfo& info)
{
    const std::uint32_t flags = selector.flags;
    if ((flags & 0x1u) && info.vendorId != selector.vendor_id) return false;
    if ((flags & 0x2u) && info.productId != selector.product_id) return false;
    if ((flags & 0x4u) && info.usagePage != selector.usage_page) return false;
    if ((flags & 0x8u) && info.usage != selector.usage) return false;
    return true;
}

// The USB device a hidraw node belongs to, by its device number.
std::string UsbDeviceOf(udev* context, const std::string& path)
{
    struct stat node {};
    if (context == nullptr || stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return {};
    udev_device* raw = udev_device_new_from_devnum(context, 'c', node.st_rdev);
    if (raw == nullptr) return {};
    // The parent belongs to the child.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(raw, "usb", "usb_device");
    std::string device = usb != nullptr && udev_device_get_syspath(usb) != nullptr ? udev_device_get_syspath(usb) : "";
    udev_device_unref(raw);
    return device;
}

// hidapi's list of interfaces, narrowed to a vendor and product (0: any).
std::vector<InterfaceInfo> SearchInterfaces(std::uint16_t vendorId, std::uint16_t productId)
{
    std::vector<InterfaceInfo> found;
    {
        std::lock_guard lock(HidApiLock());
        hid_device_info* list = hid_enumerate(vendorId, productId);
        for (const hid_device_info* info = list; info != nullptr; info = info->next)
            if (info->path != nullptr)
                found.push_back({info->path, info->vendor_id, info->product_id, info->usage_page, info->usage, {}});
        hid_free_enumeration(list);
    }
    udev* context = udev_new();
    for (InterfaceInfo& info : found) info.device = UsbDeviceOf(context, info.path);
    if (context != nullptr) udev_unref(context);
    return found;
}

bool IsCommandInterface(const HidRelaySelector& selector)
{
    return selector.vendor_id == wire::kVendorId && selector.product_id == wire::kProductId &&
           selector.usage_page == wire::kCommandUsagePage && selector.usage == wire::kCommandUsage;
}

// The paths a selector picks; those of 'keyboard' (a USB device, or the
// command interface's path when empty) first.
std::vector<std::string> PathsMatching(const std::vector<InterfaceInfo>& interfaces, const HidRelaySelector& selector,
                                       const std::string& commandInterface)
{
    std::string keyboard;
    if (!IsCommandInterface(selector)) {
        HidRelaySelector command = selector;
        command.usage_page = wire::kCommandUsagePage;
        command.usage = wire::kCommandUsage;
        for (const InterfaceInfo& info : interfaces) {
            const bool chosen = commandInterface.empty() ? SelectorMatches(command, info) : info.path == commandInterface;
            if (chosen) {
                keyboard = info.device;
                break;
            }
        }
    }
    std::vector<std::string> paths;
    std::vector<std::string> others;
    for (const InterfaceInfo& info : interfaces) {
        if (!SelectorMatches(selector, info)) continue;
        if (std::find(paths.begin(), paths.end(), info.path) != paths.end() ||
            std::find(others.begin(), others.end(), info.path) != others.end())
            continue;
        (keyboard.empty() || info.device == keyboard ? paths : others).push_back(info.path);
    }
    paths.insert(paths.end(), others.begin(), others.end());
    return paths;
}

std::string SelectorKey(const HidRelaySelector& selector)
{
    char key[64];
    std::snprintf(key, sizeof key, "%08x:%04x:%04x:%04x:%04x", selector.flags, selector.vendor_id, selector.product_id,
                  selector.usage_page, selector.usage);
    return key;
}

} // namespace

namespace {
// Constant-initialised, so it outlives the relay that uses it at exit.
std::mutex g_hidApiLock;
} // namespace

std::mutex& HidApiLock()
{
    return g_hidApiLock;
}

int SetDebugLevel(int level)
{
    return g_debugLevel.exchange(level);
}

void Log(int level, const char* format, ...)
{
    if (g_debugLevel.load() < level) return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "HidRelay: %s\n", line);
}

bool RefusedForPermission(int error)
{
    return error == EACCES || error == EPERM;
}

void ReportNoPermission(const std::string& path)
{
    // Said whatever the debug level: without it a user sees only that the
    // keyboard does not answer. Once for each node.
    static std::mutex mutex;
    static std::set<std::string> reported;
    {
        std::lock_guard lock(mutex);
        if (!reported.insert(path).second) return;
    }
    std::fprintf(stderr,
                 "HidRelay: no permission to open %s, an interface of the keyboard: the udev rule %s lets the "
                 "user at the seat open it; install it (sudo cmake --install build, see Install in the README), "
                 "then sudo udevadm control --reload && sudo udevadm trigger, and plug the keyboard in again\n",
                 path.c_str(), kUdevRuleName);
}

HidDevice* OpenPath(const std::string& path)
{
    HidDevice* device = nullptr;
    {
        std::lock_guard lock(HidApiLock());
        device = hid_open_path(path.c_str());
    }
    if (device != nullptr) return device;
    Log(1, "cannot open %s", path.c_str());
    // hidapi keeps no errno of its own; the node tells why.
    if (access(path.c_str(), R_OK | W_OK) != 0 && RefusedForPermission(errno)) ReportNoPermission(path);
    return nullptr;
}

// ----------------------------------------------------------------- FileRead

FileRead::FileRead(Relay& relay, const HidRelaySelector& selector, HidRelayCallback callback, std::uint32_t tag,
                   HidRelayHandle handle, bool reportsPresence)
    : m_relay(relay), m_selector(selector), m_reportsPresence(reportsPresence),
      m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_read(callback, tag, handle)
{
}

FileRead::~FileRead()
{
    // Left running when deleted from its own callback: its wake signal stays.
    if (m_read.StopAndJoin() && m_wakeFd >= 0) close(m_wakeFd);
}

bool FileRead::Start(int input, bool present)
{
    if (m_wakeFd < 0) {
        Log(1, "handle %u: no wake signal for the read: %s", Handle(), std::strerror(errno));
        return false;
    }
    m_read.Start([this, input, present] { Run(input, present); }, [this] { Wake(); });
    return true;
}

void FileRead::Wake()
{
    const std::uint64_t one = 1;
    if (m_wakeFd >= 0 && write(m_wakeFd, &one, sizeof one) < 0) Log(1, "handle %u: cannot wake the read", Handle());
}

short FileRead::Wait(int input, int timeoutMs)
{
    pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {input, POLLIN, 0}};
    if (poll(fds, input >= 0 ? 2 : 1, timeoutMs) <= 0) return 0;
    if (fds[0].revents != 0) {
        std::uint64_t wakes = 0;
        if (read(m_wakeFd, &wakes, sizeof wakes) < 0) Log(2, "handle %u: wake already taken", Handle());
        return 0;
    }
    return input >= 0 ? fds[1].revents : 0;
}

void FileRead::Announce(bool present)
{
    if (!m_reportsPresence) return;
    Log(1, "handle %u: device %s", Handle(), present ? "attached" : "removed");
    m_read.DeliverPresence(present);
}

void FileRead::Run(int input, bool present)
{
    bool announced = present;
    std::uint8_t buffer[kReadBufferSize];

    while (!m_read.Stopping()) {
        if (input < 0) {
            const std::vector<std::string> paths = m_relay.MatchingPaths(m_selector);
            if (!paths.empty()) input = OpenInputFile(paths.front());
            const bool refused = input < 0 && !paths.empty() && RefusedForPermission(errno);
            if (refused) ReportNoPermission(paths.front());
            if (input >= 0) {
                if (m_reportsPresence) m_relay.CommandInterfaceOpened(paths.front());
                if (!announced) Announce(true);
                announced = true;
                continue;
            }
            if (paths.empty() && announced) {
                Announce(false);
                announced = false;
            }
            // A node the user may not open opens only once udev has run its
            // rules on it, which a notice tells.
            const int timeout = !paths.empty() && !refused ? kOpenRetryMs
                                : m_relay.NoticesEveryChange() ? -1
                                                               : kIdleRecheckMs;
            Wait(-1, timeout);
            continue;
        }

        // Blocks until a report comes, the interface goes or the read is
        // woken: an idle keyboard wakes nothing. A presence notice needs
        // nothing from an open read; the file tells when its interface goes.
        const short events = Wait(input, -1);
        if (events == 0) continue;
        if (events & POLLIN) {
            const ssize_t count = read(input, buffer, sizeof buffer);
            if (count > 0) {
                Log(2, "handle %u: report of %zd bytes, id %u", Handle(), count, buffer[0]);
                m_read.DeliverReport({buffer, static_cast<std::size_t>(count)});
                continue;
            }
            if (count < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        }
        // The interface went away (or failed): close it and look again at
        // once; the loop above reopens it or reports the removal.
        Log(1, "handle %u: interface gone or failed, reopening", Handle());
        close(input);
        input = -1;
        if (m_reportsPresence) m_relay.CommandInterfaceOpened({});
    }
    if (input >= 0) {
        close(input);
        if (m_reportsPresence) m_relay.CommandInterfaceOpened({});
    }
}

// -------------------------------------------------------------------- Relay

namespace {

std::mutex g_factoryMutex;
PresenceFactory g_factory;

} // namespace

void SetPresenceFactory(PresenceFactory factory)
{
    std::lock_guard lock(g_factoryMutex);
    g_factory = std::move(factory);
}

Relay& Relay::Instance()
{
    static Relay relay;
    return relay;
}

Relay::~Relay()
{
    // The process is ending without End: the threads still must not outlive
    // the code they run.
    End();
}

int Relay::Init()
{
    std::lock_guard lifecycle(m_lifecycle);
    {
        std::lock_guard lock(m_mutex);
        if (m_running) return 1;
    }
    {
        std::lock_guard api(HidApiLock());
        if (hid_init() != 0) {
            Log(1, "hid_init failed");
            return 0;
        }
    }
    std::unique_ptr<PresenceSource> source;
    {
        std::lock_guard factory(g_factoryMutex);
        if (g_factory) source = g_factory();
    }
    // Started without the relay's lock: a source may report at once, and
    // reporting takes that lock.
    auto start = [this](PresenceSource& candidate) {
        m_noticesEveryChange = candidate.NoticesEveryChange();
        return candidate.Start([this] { PresenceChanged(); });
    };
    if (!source) source = MakeUdevPresence();
    if (!source) source = MakePollingPresence(kPollingPeriod);
    if (!start(*source)) {
        Log(1, "presence source did not start; polling instead");
        source = MakePollingPresence(kPollingPeriod);
        if (!start(*source)) return 0;
    }
    // Watching already, so no change after this list goes unnoticed.
    RefreshInterfaces();
    std::lock_guard lock(m_mutex);
    m_presence = std::move(source);
    m_running = true;
    return 1;
}

int Relay::End()
{
    std::lock_guard lifecycle(m_lifecycle);
    std::map<HidRelayHandle, std::shared_ptr<FileRead>> reads;
    std::vector<std::shared_ptr<FileRead>> retired;
    std::unique_ptr<PresenceSource> presence;
    {
        std::lock_guard lock(m_mutex);
        if (!m_running && m_retired.empty()) return 1;
        m_running = false;
        reads.swap(m_reads);
        retired.swap(m_retired);
        presence = std::move(m_presence);
    }
    if (presence) presence->Stop();
    {
        std::lock_guard lock(m_interfacesMutex);
        m_noticesEveryChange = false;
        m_interfaces.reset();
    }
    for (auto& [handle, read] : reads) read->RequestStop();
    for (auto& [handle, read] : reads) read->Join();
    for (auto& read : retired) read->Join();
    {
        std::lock_guard lock(m_writeMutex);
        for (auto& [key, device] : m_writeHandles) hid_close(device);
        m_writeHandles.clear();
    }
    std::lock_guard api(HidApiLock());
    hid_exit();
    return 1;
}

void Relay::JoinRetired()
{
    std::vector<std::shared_ptr<FileRead>> retired;
    {
        std::lock_guard lock(m_mutex);
        auto self = std::find_if(m_retired.begin(), m_retired.end(), [](auto& r) { return r->OnOwnThread(); });
        // A read that deleted itself from its own callback is joined later, by someone else.
        std::vector<std::shared_ptr<FileRead>> keep;
        if (self != m_retired.end()) keep.push_back(*self);
        for (auto& read : m_retired)
            if (!read->OnOwnThread()) retired.push_back(read);
        m_retired.swap(keep);
    }
    for (auto& read : retired) read->Join();
}

int Relay::DeviceCount(const HidRelaySelector& selector)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_running) return 0;
    }
    return static_cast<int>(MatchingPaths(selector).size());
}

int Relay::AsyncRead(const HidRelaySelector& selector, HidRelayCallback callback, std::uint32_t tag,
                     HidRelayHandle handle)
{
    if (callback == nullptr || handle == 0) return 0;
    JoinRetired();
    // Opened before the call returns, so no report sent after it is missed.
    const std::vector<std::string> paths = MatchingPaths(selector);
    const int input = paths.empty() ? -1 : OpenInputFile(paths.front());
    const bool command = IsCommandInterface(selector);
    auto read = std::make_shared<FileRead>(*this, selector, callback, tag, handle, command);
    if (command && input >= 0) CommandInterfaceOpened(paths.front());
    {
        std::lock_guard lock(m_mutex);
        const bool refused = !m_running || m_reads.count(handle) != 0;
        if (refused) Log(1, "handle %u: %s", handle, m_running ? "already reading" : "library not started");
        if (refused || !read->Start(input, !paths.empty())) {
            if (input >= 0) close(input);
            if (command && input >= 0) CommandInterfaceOpened({});
            return 0;
        }
        m_reads[handle] = read;
    }
    Log(1, "handle %u: standing read started (%s)", handle, paths.empty() ? "no device yet" : paths.front().c_str());
    return 1;
}

int Relay::Delete(HidRelayHandle handle)
{
    std::shared_ptr<FileRead> read;
    {
        std::lock_guard lock(m_mutex);
        auto found = m_reads.find(handle);
        if (found == m_reads.end()) return 0;
        read = found->second;
        m_reads.erase(found);
        if (read->OnOwnThread()) m_retired.push_back(read);
    }
    read->RequestStop();
    read->Join();
    JoinRetired();
    return 1;
}

// Called for every notice; with a source that notices every change this is
// the only search of the devices, so counts and reads cost none.
void Relay::RefreshInterfaces()
{
    std::lock_guard lock(m_interfacesMutex);
    if (!m_noticesEveryChange.load()) return;
    m_interfaces = SearchInterfaces(0, 0);
}

std::vector<std::string> Relay::MatchingPaths(const HidRelaySelector& selector)
{
    std::string commandInterface;
    {
        std::lock_guard lock(m_interfacesMutex);
        if (m_interfaces) return PathsMatching(*m_interfaces, selector, m_commandInterface);
        commandInterface = m_commandInterface;
    }
    return PathsMatching(SearchInterfaces((selector.flags & 0x1u) ? selector.vendor_id : 0,
                                          (selector.flags & 0x2u) ? selector.product_id : 0),
                         selector, commandInterface);
}

void Relay::CommandInterfaceOpened(const std::string& path)
{
    std::lock_guard lock(m_interfacesMutex);
    m_commandInterface = path;
}

void Relay::PresenceChanged()
{
    // The list first, so that a read woken by this notice finds it current.
    RefreshInterfaces();
    std::vector<std::shared_ptr<FileRead>> reads;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [handle, read] : m_reads) reads.push_back(read);
    }
    for (auto& read : reads) read->Wake();
}

// A cached handle per selector; a failed operation drops it and tries once
// more on a fresh one, which is how a replugged keyboard is found again.
template <typename Operation> int Relay::WithWriteHandle(const HidRelaySelector& selector, Operation operation)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_running) return 0;
    }
    const std::string key = SelectorKey(selector);
    std::lock_guard lock(m_writeMutex);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto found = m_writeHandles.find(key);
        HidDevice* device = found == m_writeHandles.end() ? nullptr : found->second;
        if (device == nullptr) {
            const std::vector<std::string> paths = MatchingPaths(selector);
            if (paths.empty()) return 0;
            device = OpenPath(paths.front());
            if (device == nullptr) return 0;
            m_writeHandles[key] = device;
        }
        const int result = operation(device);
        if (result >= 0) return result;
        hid_close(device);
        m_writeHandles.erase(key);
    }
    return 0;
}

int Relay::WriteReport(const HidRelaySelector& selector, const std::uint8_t* data, std::size_t length)
{
    if (data == nullptr || length == 0) return 0;
    const int written = WithWriteHandle(selector, [&](HidDevice* device) { return hid_write(device, data, length); });
    Log(2, "write of %zu bytes (id %u): %d", length, data[0], written);
    return written > 0 ? written : 0;
}

int Relay::SendFeature(const HidRelaySelector& selector, const std::uint8_t* data, std::size_t length)
{
    if (data == nullptr || length == 0) return 0;
    const int sent =
        WithWriteHandle(selector, [&](HidDevice* device) { return hid_send_feature_report(device, data, length); });
    return sent > 0 ? sent : 0;
}

int Relay::GetFeature(const HidRelaySelector& selector, std::uint8_t* data, std::size_t length)
{
    if (data == nullptr || length == 0) return 0;
    const int got =
        WithWriteHandle(selector, [&](HidDevice* device) { return hid_get_feature_report(device, data, length); });
    return got > 0 ? got : 0;
}

} // namespace kestrune::hidrelay
