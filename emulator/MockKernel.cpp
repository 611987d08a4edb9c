#include "emulator/MockKernel.h"

#include "emulator/ControlCommands.h"
#include "emulator/ControlSocket.h"
#include "emulator/EmulatedKeyboard.h"
#include "emulator/StateFile.h"

#include <glib-unix.h>
#include <umockdev.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace kestrune::emulator {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
// Marks the kernel's own process as started again under the preload library.
constexpr const char* kPreloadedMark = "KESTRUNE_KERNEL_PRELOADED";
constexpr const char* kLatencyVariable = "KESTRUNE_EMULATOR_LATENCY_US";
constexpr const char* kBootVariable = "KESTRUNE_EMULATOR_BOOT_MS";
constexpr const char* kFaultsVariable = "KESTRUNE_EMULATOR_FAULTS";
constexpr std::chrono::milliseconds kDefaultBootTime{2000};

// What the kernel's hidraw driver allows and keeps.
constexpr unsigned kHidrawMajor = 243;
constexpr std::size_t kHidMaxBufferSize = 16384; // the largest report a write may carry
constexpr std::size_t kHidrawMinWrite = 2;       // a report id and one byte
constexpr std::size_t kHidrawQueuedReports = 64; // per open file; newer reports are dropped beyond
constexpr std::uint32_t kBusUsb = 0x03;

constexpr std::uint16_t kOtherVendorId = 0x1209;
constexpr std::uint8_t kBankStatusReportId = 5;

enum class Role { Typing, Command, Consumer, BankStatus };

const char* RoleName(Role role)
{
    switch (role) {
    case Role::Typing:
        return "typing";
    case Role::Command:
        return "command";
    case Role::Consumer:
        return "consumer";
    case Role::BankStatus:
        return "bank-status";
    }
    return "?";
}

// The keyboard's interfaces in the order its configuration lists them, with
// the report descriptor each HID device hands out.
struct InterfaceLayout {
    Role role;
    std::uint8_t subclass;
    std::uint8_t protocol;
    std::vector<std::uint8_t> descriptor;
};

const std::array<InterfaceLayout, 4>& Interfaces()
{
    static const std::array<InterfaceLayout, 4> interfaces = {{
        // A boot keyboard: modifiers, a reserved byte, six key codes; five LEDs out.
        {Role::Typing, 1, 1, {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
                              0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
                              0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
                              0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
                              0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0}},
        // Report 4: 63 bytes each way after the report id.
        {Role::Command, 0, 0, {0x06, 0x1C, 0xFF, 0x09, 0x92, 0xA1, 0x01, 0x85, 0x04, 0x15, 0x00, 0x26, 0xFF,
                               0x00, 0x75, 0x08, 0x95, 0x3F, 0x09, 0x92, 0x81, 0x02, 0x09, 0x92, 0x91, 0x02, 0xC0}},
        // One 16-bit consumer usage, no report id.
        {Role::Consumer, 0, 0, {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x3F, 0x19, 0x00,
                                0x2A, 0xFF, 0x3F, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xC0}},
        // Report 5: one byte out and as a feature.
        {Role::BankStatus, 0, 0, {0x05, 0x08, 0x09, 0x89, 0xA1, 0x01, 0x85, kBankStatusReportId, 0x15, 0x00,
                                  0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x01, 0x09, 0x89, 0x91, 0x02, 0x09, 0x89,
                                  0xB1, 0x02, 0xC0}},
    }};
    return interfaces;
}

std::string Hex4(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

std::string Upper4(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
    return text;
}

std::optional<unsigned long> NumberFromEnvironment(const char* name)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return std::nullopt;
    unsigned long value = 0;
    const char* end = text + std::strlen(text);
    if (auto [at, error] = std::from_chars(text, end, value); error != std::errc() || at != end) return std::nullopt;
    return value;
}

class MockKernel;
struct Device;

// What one open file of a node has queued and has done.
struct OpenFile {
    std::deque<std::vector<std::uint8_t>> queue;
    bool read = false;
    bool wrote = false;
};

// One hidraw node: its sysfs device, its pseudo-terminal (whose input tells
// poll() that a report waits) and the files open on it.
struct Node {
    MockKernel* kernel = nullptr;
    Device* device = nullptr;
    const InterfaceLayout* layout = nullptr;
    unsigned interfaceNumber = 0;
    unsigned minor = 0;
    std::string devnode;
    std::string syspath;
    UMockdevIoctlBase* handler = nullptr;
    int master = -1;
    int drain = -1; // the kernel's own end of the node, to take the readiness byte back
    bool ready = false;
    bool gone = false;
    std::map<UMockdevIoctlClient*, OpenFile> files;
};

// What was done to one interface of a device, across plugs.
struct InterfaceUse {
    unsigned opens = 0;
    unsigned reads = 0;
    unsigned writes = 0;
    std::set<std::size_t> writeLengths;
    std::set<unsigned> reportIds;
};

struct Device {
    std::string label;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string serial;
    unsigned port = 0;
    EmulatedKeyboard* keyboard = nullptr; // null: nothing answers (another vendor's device)
    bool plugged = false;
    std::vector<std::string> syspaths; // in the order they were added
    std::vector<Node*> nodes;
    std::array<InterfaceUse, 4> use{};
    std::unique_ptr<KeyboardListener> listener;
};

// Writes the state file on a thread of its own, so a reply never waits for the disk.
class StateSaver {
public:
    StateSaver(std::filesystem::path path, const EmulatedKeyboard& keyboard) : m_path(std::move(path)), m_keyboard(keyboard)
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~StateSaver()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    void Changed()
    {
        {
            std::lock_guard lock(m_mutex);
            m_dirty = true;
        }
        m_wake.notify_one();
    }

private:
    void Run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_dirty || m_stop; });
            if (!m_dirty) return;
            m_dirty = false;
            lock.unlock();
            if (auto saved = SaveStateFile(m_path, m_keyboard.State()); !saved)
                std::fprintf(stderr, "kestrune-emu kernel: cannot save the state: %s\n", saved.error().c_str());
            lock.lock();
        }
    }

    const std::filesystem::path m_path;
    const EmulatedKeyboard& m_keyboard;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_dirty = false;
    bool m_stop = false;
    std::thread m_thread;
};

class MockKernel {
public:
    explicit MockKernel(const MockKernelOptions& options) : m_options(options) {}
    ~MockKernel();

    Status Start();
    int Run();

    // Called by the keyboard models' listeners, on any thread.
    void PresenceChanged(Device& device, bool present);
    void ConsumerReport(Device& device, std::span<const std::uint8_t> report);
    void StateChanged()
    {
        if (m_saver) m_saver->Changed();
    }

    // The ioctl handler's signals, on the kernel's thread.
    void Connected(Node& node, UMockdevIoctlClient* client);
    void Ioctl(Node& node, UMockdevIoctlClient* client);
    void Read(Node& node, UMockdevIoctlClient* client);
    void Write(Node& node, UMockdevIoctlClient* client);

private:
    // Runs 'work' on the kernel's thread and waits for it; at once when
    // called there. Dropped once the kernel is closing.
    void OnKernelThread(const std::function<void()>& work);
    // Runs 'work' on the kernel's thread after 'delay'.
    void After(std::chrono::microseconds delay, std::function<void()> work);

    std::chrono::microseconds Latency(const Device& device) const
    {
        return device.keyboard ? device.keyboard->Faults().latency : 0us;
    }

    Device& AddDevice(std::string label, std::uint16_t vendorId, EmulatedKeyboard* keyboard);
    Status Plug(Device& device);
    void Unplug(Device& device);
    Status AddNode(Device& device, const std::string& interfacePath, const InterfaceLayout& layout, unsigned number);
    unsigned FreeMinor() const;
    void Deliver(Node& node, std::span<const std::uint8_t> report);
    // Makes the node's readiness match what its files have waiting.
    void UpdateReadiness(Node& node);
    void Forget(Node& node);
    // umockdev 0.17 says that a client closed its file only by the client's
    // "connected" property, without a notice: files are looked at when it matters.
    void PruneClosedFiles();
    void CompleteWrite(Node& node, UMockdevIoctlClient* client, std::vector<std::uint8_t> bytes);
    std::string DescribeNodes() const;
    ControlReply Control(const std::vector<std::string>& words);
    Status Spawn();

    const MockKernelOptions m_options;
    UMockdevTestbed* m_testbed = nullptr;
    std::string m_root;
    GMainContext* m_context = nullptr;
    GMainLoop* m_loop = nullptr;
    std::thread::id m_kernelThread;

    std::mutex m_closingMutex;
    bool m_closing = false;

    std::filesystem::path m_statePath;
    std::vector<std::unique_ptr<EmulatedKeyboard>> m_keyboards;
    std::vector<std::unique_ptr<Device>> m_devices;
    std::set<std::unique_ptr<Node>> m_nodes; // including removed ones that files still hold open
    unsigned m_hidSequence = 0;
    std::chrono::milliseconds m_bootTime = kDefaultBootTime;

    // Presence changes that arise while a command report is handled wait
    // until its reply is delivered, as on the emulator library.
    bool m_handlingReport = false;
    std::vector<std::pair<Device*, bool>> m_deferredPresence;

    std::unique_ptr<StateSaver> m_saver;
    std::unique_ptr<ControlServer> m_server;

    pid_t m_child = -1;
    int m_childStatus = 0;
};

class DeviceListener final : public KeyboardListener {
public:
    DeviceListener(MockKernel& kernel, Device& device, bool persistent)
        : m_kernel(kernel), m_device(device), m_persistent(persistent)
    {
    }
    void OnPresenceChanged(bool present) override { m_kernel.PresenceChanged(m_device, present); }
    void OnConsumerReport(std::span<const std::uint8_t> report) override { m_kernel.ConsumerReport(m_device, report); }
    void OnStateChanged() override
    {
        if (m_persistent) m_kernel.StateChanged();
    }

private:
    MockKernel& m_kernel;
    Device& m_device;
    const bool m_persistent;
};

// --- umockdev's signals ------------------------------------------------------

gboolean OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    auto& node = *static_cast<Node*>(data);
    node.kernel->Ioctl(node, client);
    return TRUE;
}

gboolean OnHandleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    auto& node = *static_cast<Node*>(data);
    node.kernel->Read(node, client);
    return TRUE;
}

gboolean OnHandleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    auto& node = *static_cast<Node*>(data);
    node.kernel->Write(node, client);
    return TRUE;
}

void OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    auto& node = *static_cast<Node*>(data);
    node.kernel->Connected(node, client);
}



// A source that fires once at a monotonic time, to the microsecond.
struct TimedWork {
    std::function<void()> work;
};

gboolean DispatchTimed(GSource*, GSourceFunc callback, gpointer data)
{
    return callback(data);
}

GSourceFuncs g_timedFuncs = {nullptr, nullptr, DispatchTimed, nullptr, nullptr, nullptr};

// --- the kernel ---------------------------------------------------------------

MockKernel::~MockKernel()
{
    m_server.reset();
    for (auto& device : m_devices)
        if (device->keyboard) device->keyboard->SetListener(nullptr);
    for (const auto& node : m_nodes) {
        if (node->handler != nullptr) {
            umockdev_testbed_detach_ioctl(m_testbed, node->devnode.c_str(), nullptr);
            g_object_unref(node->handler);
        }
        for (auto& [client, file] : node->files) g_object_unref(client);
        if (node->master >= 0) close(node->master);
        if (node->drain >= 0) close(node->drain);
    }
    m_saver.reset();
    if (m_testbed != nullptr) g_object_unref(m_testbed);
    if (m_loop != nullptr) g_main_loop_unref(m_loop);
}

void MockKernel::OnKernelThread(const std::function<void()>& work)
{
    if (std::this_thread::get_id() == m_kernelThread) {
        work();
        return;
    }
    struct Call {
        const std::function<void()>* work;
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    } call{&work, {}, {}, false};
    {
        std::lock_guard closing(m_closingMutex);
        if (m_closing) return;
        // A source of the kernel's context, not g_main_context_invoke: that
        // would run the work on this thread whenever it can take the context.
        GSource* source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                auto& c = *static_cast<Call*>(data);
                (*c.work)();
                std::lock_guard lock(c.mutex);
                c.finished = true;
                c.done.notify_one();
                return G_SOURCE_REMOVE;
            },
            &call, nullptr);
        g_source_attach(source, m_context);
        g_source_unref(source);
    }
    std::unique_lock lock(call.mutex);
    call.done.wait(lock, [&] { return call.finished; });
}

void MockKernel::After(std::chrono::microseconds delay, std::function<void()> work)
{
    GSource* source = g_source_new(&g_timedFuncs, sizeof(GSource));
    g_source_set_ready_time(source, g_get_monotonic_time() + delay.count());
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            static_cast<TimedWork*>(data)->work();
            return G_SOURCE_REMOVE;
        },
        new TimedWork{std::move(work)}, [](gpointer data) { delete static_cast<TimedWork*>(data); });
    g_source_attach(source, m_context);
    g_source_unref(source);
}

Device& MockKernel::AddDevice(std::string label, std::uint16_t vendorId, EmulatedKeyboard* keyboard)
{
    auto device = std::make_unique<Device>();
    device->label = std::move(label);
    device->vendorId = vendorId;
    device->productId = wire::kProductId;
    device->port = static_cast<unsigned>(m_devices.size()) + 1;
    device->serial = "KS" + std::to_string(1000 + device->port);
    device->keyboard = keyboard;
    if (keyboard) {
        device->listener = std::make_unique<DeviceListener>(*this, *device, m_devices.empty());
        keyboard->SetListener(device->listener.get());
    }
    m_devices.push_back(std::move(device));
    return *m_devices.back();
}

unsigned MockKernel::FreeMinor() const
{
    for (unsigned minor = 0;; ++minor) {
        const bool taken = std::any_of(m_nodes.begin(), m_nodes.end(), [&](auto& n) { return n->minor == minor; });
        // A node the machine itself has would be reached whenever a program
        // opened a path of ours after we removed it: never share a name.
        const std::string real = "/dev/hidraw" + std::to_string(minor);
        if (!taken && access(real.c_str(), F_OK) != 0) return minor;
    }
}

// Text attributes and properties as umockdev takes them: name, value, ..., null.
std::vector<const char*> Pairs(const std::vector<std::string>& strings)
{
    std::vector<const char*> pairs;
    for (const auto& s : strings) pairs.push_back(s.c_str());
    pairs.push_back(nullptr);
    return pairs;
}

std::string AddTestbedDevice(UMockdevTestbed* testbed, const char* subsystem, const std::string& path,
                             const std::vector<std::string>& attributes, const std::vector<std::string>& properties)
{
    auto a = Pairs(attributes);
    auto p = Pairs(properties);
    // The full path as the name, without a parent: umockdev checks a parent
    // against the real /sys when the calling process is not itself mocked.
    gchar* added = umockdev_testbed_add_devicev(testbed, subsystem, path.c_str(), nullptr,
                                                const_cast<gchar**>(a.data()), const_cast<gchar**>(p.data()));
    std::string result = added ? added : "";
    g_free(added);
    return result;
}

Status MockKernel::Plug(Device& device)
{
    if (device.plugged) return Status::Ok();
    PruneClosedFiles();
    const std::string port = std::to_string(device.port);
    const std::string usbName = "pci0000:00/0000:00:14.0/usb1/1-" + port;
    const std::string product = device.keyboard ? "Kestrune Keyboard" : "Test Keyboard";
    const std::string maker = device.keyboard ? "Kestrune" : "Test";
    const std::string productProperty =
        std::to_string(device.vendorId) + "/" + std::to_string(device.productId) + "/100";
    const std::string usb = AddTestbedDevice(
        m_testbed, "usb", usbName,
        {"idVendor", Hex4(device.vendorId), "idProduct", Hex4(device.productId), "manufacturer", maker, "product",
         product, "serial", device.serial, "bcdDevice", "0100", "busnum", "1", "devnum", port, "speed", "12",
         "bNumInterfaces", " 4", "bDeviceClass", "00"},
        {"DEVTYPE", "usb_device", "PRODUCT", productProperty, "BUSNUM", "001", "DEVNUM", "00" + port});
    if (usb.empty()) return Error{"cannot add the USB device " + usbName};
    device.syspaths.push_back(usb);

    unsigned number = 0;
    for (const InterfaceLayout& layout : Interfaces()) {
        const std::string interfaceName = usbName + "/1-" + port + ":1." + std::to_string(number);
        const std::string interfaceClass = "3/" + std::to_string(layout.subclass) + "/" + std::to_string(layout.protocol);
        const std::string iface = AddTestbedDevice(
            m_testbed, "usb", interfaceName,
            {"bInterfaceNumber", "0" + std::to_string(number), "bInterfaceClass", "03", "bInterfaceSubClass",
             "0" + std::to_string(layout.subclass), "bInterfaceProtocol", "0" + std::to_string(layout.protocol),
             "bAlternateSetting", " 0", "bNumEndpoints", "02"},
            {"DEVTYPE", "usb_interface", "PRODUCT", productProperty, "INTERFACE", interfaceClass});
        if (iface.empty()) return Error{"cannot add the USB interface " + interfaceName};
        device.syspaths.push_back(iface);
        if (Status added = AddNode(device, interfaceName, layout, number); !added) return added;
        ++number;
    }
    device.plugged = true;
    for (const std::string& path : device.syspaths) umockdev_testbed_uevent(m_testbed, path.c_str(), "add");
    return Status::Ok();
}

Status MockKernel::AddNode(Device& device, const std::string& interfaceName, const InterfaceLayout& layout,
                           unsigned number)
{
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:%s:%s.%04X", Upper4(device.vendorId).c_str(),
                  Upper4(device.productId).c_str(), ++m_hidSequence);
    const std::string hidPath = interfaceName + "/" + hidName;
    char hidId[64];
    std::snprintf(hidId, sizeof hidId, "0003:0000%s:0000%s", Upper4(device.vendorId).c_str(),
                  Upper4(device.productId).c_str());
    const std::string name = device.keyboard ? "Kestrune Keyboard" : "Test Keyboard";
    const std::string hid = AddTestbedDevice(
        m_testbed, "hid", hidPath, {},
        {"DRIVER", "hid-generic", "HID_ID", hidId, "HID_NAME", name, "HID_PHYS",
         "usb-0000:00:14.0-" + std::to_string(device.port) + "/input" + std::to_string(number), "HID_UNIQ",
         device.serial, "MODALIAS",
         "hid:b0003g0001v0000" + Upper4(device.vendorId) + "p0000" + Upper4(device.productId)});
    if (hid.empty()) return Error{"cannot add the HID device " + hidPath};
    umockdev_testbed_set_attribute_binary(m_testbed, hid.c_str(), "report_descriptor",
                                          const_cast<guint8*>(layout.descriptor.data()),
                                          static_cast<gint>(layout.descriptor.size()));
    device.syspaths.push_back(hid);

    auto node = std::make_unique<Node>();
    node->kernel = this;
    node->device = &device;
    node->layout = &layout;
    node->interfaceNumber = number;
    node->minor = FreeMinor();
    const std::string rawName = "hidraw" + std::to_string(node->minor);
    node->devnode = "/dev/" + rawName;
    node->syspath = AddTestbedDevice(
        m_testbed, "hidraw", hidPath + "/hidraw/" + rawName,
        {"dev", std::to_string(kHidrawMajor) + ":" + std::to_string(node->minor)},
        {"DEVNAME", node->devnode, "MAJOR", std::to_string(kHidrawMajor), "MINOR", std::to_string(node->minor)});
    if (node->syspath.empty()) return Error{"cannot add " + rawName};
    device.syspaths.push_back(node->syspath);
    // hidapi reads the report descriptor through this link, which umockdev does not make.
    const std::string link = m_root + node->syspath + "/device";
    if (symlink((std::string("../../../") + hidName).c_str(), link.c_str()) != 0)
        return Error{"cannot link " + link + ": " + std::strerror(errno)};

    // The node itself: a pseudo-terminal whose input holds a byte while a
    // report waits, so that poll() on it behaves as on hidraw.
    node->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (node->master < 0 || grantpt(node->master) != 0 || unlockpt(node->master) != 0)
        return Error{std::string("cannot make a pseudo-terminal: ") + std::strerror(errno)};
    char slave[128];
    if (ptsname_r(node->master, slave, sizeof slave) != 0)
        return Error{std::string("cannot name a pseudo-terminal: ") + std::strerror(errno)};
    node->drain = open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw{};
    if (node->drain < 0 || tcgetattr(node->drain, &raw) != 0)
        return Error{std::string("cannot open ") + slave + ": " + std::strerror(errno)};
    cfmakeraw(&raw);
    tcsetattr(node->drain, TCSANOW, &raw);
    if (device.keyboard && m_options.nodeMode && chmod(slave, *m_options.nodeMode) != 0)
        return Error{std::string("cannot change the mode of ") + slave + ": " + std::strerror(errno)};
    const std::string nodePath = m_root + node->devnode;
    g_mkdir_with_parents((m_root + "/dev").c_str(), 0755);
    if (symlink(slave, nodePath.c_str()) != 0)
        return Error{"cannot make " + nodePath + ": " + std::strerror(errno)};

    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(OnHandleIoctl), node.get());
    g_signal_connect(node->handler, "handle-read", G_CALLBACK(OnHandleRead), node.get());
    g_signal_connect(node->handler, "handle-write", G_CALLBACK(OnHandleWrite), node.get());
    g_signal_connect(node->handler, "client-connected", G_CALLBACK(OnClientConnected), node.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_testbed, node->devnode.c_str(), node->handler, &error)) {
        std::string message = "cannot serve " + node->devnode + ": " + (error ? error->message : "unknown error");
        g_clear_error(&error);
        return Error{message};
    }
    device.nodes.push_back(node.get());
    m_nodes.insert(std::move(node));
    return Status::Ok();
}

void MockKernel::Unplug(Device& device)
{
    if (!device.plugged) return;
    PruneClosedFiles();
    device.plugged = false;
    for (Node* node : device.nodes) {
        // Every open file now finds the node hung up, as hidraw's are once
        // their device has gone; what was queued can still be read.
        node->gone = true;
        close(node->master);
        node->master = -1;
        close(node->drain);
        node->drain = -1;
        node->ready = false;
        // Gone from the lists before the uevents, so that a program that
        // looks on the event no longer finds it.
        unlink((m_root + "/sys/class/hidraw/" + node->devnode.substr(5)).c_str());
        unlink((m_root + node->devnode).c_str());
        Forget(*node);
    }
    device.nodes.clear();
    for (auto path = device.syspaths.rbegin(); path != device.syspaths.rend(); ++path)
        umockdev_testbed_uevent(m_testbed, path->c_str(), "remove");
    for (auto path = device.syspaths.rbegin(); path != device.syspaths.rend(); ++path)
        if (g_file_test((m_root + *path).c_str(), G_FILE_TEST_IS_DIR))
            umockdev_testbed_remove_device(m_testbed, path->c_str());
    device.syspaths.clear();
}

// A removed node stays served while files are open on it.
void MockKernel::Forget(Node& node)
{
    if (!node.gone || !node.files.empty()) return;
    umockdev_testbed_detach_ioctl(m_testbed, node.devnode.c_str(), nullptr);
    g_object_unref(node.handler);
    node.handler = nullptr;
    for (auto it = m_nodes.begin(); it != m_nodes.end(); ++it) {
        if (it->get() == &node) {
            m_nodes.erase(it);
            return;
        }
    }
}

void MockKernel::PresenceChanged(Device& device, bool present)
{
    if (std::this_thread::get_id() == m_kernelThread && m_handlingReport) {
        m_deferredPresence.emplace_back(&device, present);
        return;
    }
    OnKernelThread([&] {
        if (!present) {
            Unplug(device);
            if (device.keyboard && device.keyboard->InBootMode())
                After(m_bootTime, [keyboard = device.keyboard] { keyboard->LeaveBootMode(); });
        } else if (Status plugged = Plug(device); !plugged) {
            std::fprintf(stderr, "kestrune-emu kernel: %s\n", plugged.error().c_str());
        }
    });
}

void MockKernel::ConsumerReport(Device& device, std::span<const std::uint8_t> report)
{
    std::vector<std::uint8_t> bytes(report.begin(), report.end());
    OnKernelThread([&] {
        After(Latency(device), [this, &device, bytes] {
            for (Node* node : device.nodes)
                if (node->layout->role == Role::Consumer) Deliver(*node, bytes);
        });
    });
}

void MockKernel::Deliver(Node& node, std::span<const std::uint8_t> report)
{
    if (node.gone) return;
    for (auto it = node.files.begin(); it != node.files.end();) {
        if (umockdev_ioctl_client_get_connected(it->first)) {
            ++it;
        } else {
            g_object_unref(it->first);
            it = node.files.erase(it);
        }
    }
    for (auto& [client, file] : node.files)
        if (file.queue.size() < kHidrawQueuedReports) file.queue.emplace_back(report.begin(), report.end());
    UpdateReadiness(node);
}

void MockKernel::UpdateReadiness(Node& node)
{
    if (node.gone) return;
    // A file that only ever wrote (a program's write handle) does not make
    // the node readable for the others.
    const bool waiting = std::any_of(node.files.begin(), node.files.end(), [](auto& entry) {
        return !entry.second.queue.empty() && (entry.second.read || !entry.second.wrote);
    });
    if (waiting && !node.ready) {
        const char byte = 1;
        node.ready = write(node.master, &byte, 1) == 1;
    } else if (!waiting && node.ready) {
        char bytes[64];
        while (read(node.drain, bytes, sizeof bytes) > 0) {
        }
        node.ready = false;
    }
}

void MockKernel::Connected(Node& node, UMockdevIoctlClient* client)
{
    g_object_ref(client);
    node.files[client];
    ++node.device->use[node.interfaceNumber].opens;
}

void MockKernel::PruneClosedFiles()
{
    std::vector<Node*> nodes;
    for (const auto& node : m_nodes) nodes.push_back(node.get());
    for (Node* node : nodes) {
        bool closed = false;
        for (auto it = node->files.begin(); it != node->files.end();) {
            if (umockdev_ioctl_client_get_connected(it->first)) {
                ++it;
                continue;
            }
            g_object_unref(it->first);
            it = node->files.erase(it);
            closed = true;
        }
        if (!closed) continue;
        UpdateReadiness(*node);
        Forget(*node);
    }
}

void MockKernel::Read(Node& node, UMockdevIoctlClient* client)
{
    OpenFile& file = node.files[client];
    file.read = true;
    ++node.device->use[node.interfaceNumber].reads;
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    if (!file.queue.empty()) {
        // One report per read, cut to the buffer, as hidraw does.
        std::vector<std::uint8_t> report = std::move(file.queue.front());
        file.queue.pop_front();
        const std::size_t n = std::min<std::size_t>(report.size(), static_cast<std::size_t>(buffer->data_len));
        std::memcpy(buffer->data, report.data(), n);
        umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, node.gone ? EIO : EAGAIN);
    }
    UpdateReadiness(node);
}

void MockKernel::Write(Node& node, UMockdevIoctlClient* client)
{
    OpenFile& file = node.files[client];
    file.wrote = true;
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    std::vector<std::uint8_t> bytes(buffer->data, buffer->data + buffer->data_len);
    InterfaceUse& use = node.device->use[node.interfaceNumber];
    ++use.writes;
    use.writeLengths.insert(bytes.size());
    if (!bytes.empty()) use.reportIds.insert(bytes[0]);
    if (node.gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (bytes.size() < kHidrawMinWrite || bytes.size() > kHidMaxBufferSize) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    UpdateReadiness(node);
    // The write returns once the report is on the wire.
    g_object_ref(client);
    After(Latency(*node.device), [this, &node, client, bytes = std::move(bytes)]() mutable {
        CompleteWrite(node, client, std::move(bytes));
        g_object_unref(client);
    });
}

void MockKernel::CompleteWrite(Node& node, UMockdevIoctlClient* client, std::vector<std::uint8_t> bytes)
{
    if (node.gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    Device& device = *node.device;
    const glong written = static_cast<glong>(bytes.size());
    if (device.keyboard == nullptr || node.layout->role == Role::Typing || node.layout->role == Role::Consumer) {
        umockdev_ioctl_client_complete(client, written, 0);
        return;
    }
    if (node.layout->role == Role::BankStatus) {
        device.keyboard->WriteBankStatus(bytes);
        umockdev_ioctl_client_complete(client, written, 0);
        return;
    }
    m_handlingReport = true;
    const std::vector<Reply> replies = device.keyboard->HandleOutputReport(bytes);
    m_handlingReport = false;
    umockdev_ioctl_client_complete(client, written, 0);
    std::vector<std::pair<Device*, bool>> deferred;
    deferred.swap(m_deferredPresence);
    if (replies.empty() && deferred.empty()) return;
    After(Latency(device), [this, &device, replies, deferred] {
        for (const Reply& reply : replies)
            for (Node* commandNode : device.nodes)
                if (commandNode->layout->role == Role::Command) Deliver(*commandNode, reply.Arrived());
        for (auto [target, present] : deferred) PresenceChanged(*target, present);
    });
}

void MockKernel::Ioctl(Node& node, UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const std::size_t size = _IOC_SIZE(request);
    const auto done = [client](glong result, int error) { umockdev_ioctl_client_complete(client, result, error); };
    if (node.gone) return done(-1, ENODEV);
    if (_IOC_TYPE(request) != 'H') return done(-1, ENOTTY);

    // The caller's memory the request points to, copied here and back at completion.
    const auto memory = [&](std::size_t length) -> UMockdevIoctlData* {
        return umockdev_ioctl_data_resolve(arg, 0, length, nullptr);
    };
    const auto text = [&](const std::string& value) {
        UMockdevIoctlData* out = memory(size);
        if (out == nullptr) return done(-1, EFAULT);
        const std::size_t n = std::min(size, value.size() + 1);
        std::memcpy(out->data, value.c_str(), n);
        done(static_cast<glong>(n), 0);
        g_object_unref(out);
    };
    const InterfaceLayout& layout = *node.layout;
    const Device& device = *node.device;
    switch (_IOC_NR(request)) {
    case _IOC_NR(HIDIOCGRDESCSIZE): {
        UMockdevIoctlData* out = memory(sizeof(int));
        if (out == nullptr) return done(-1, EFAULT);
        const int descriptorSize = static_cast<int>(layout.descriptor.size());
        std::memcpy(out->data, &descriptorSize, sizeof descriptorSize);
        done(0, 0);
        g_object_unref(out);
        return;
    }
    case _IOC_NR(HIDIOCGRDESC): {
        UMockdevIoctlData* out = memory(sizeof(hidraw_report_descriptor));
        if (out == nullptr) return done(-1, EFAULT);
        hidraw_report_descriptor descriptor{};
        std::memcpy(&descriptor, out->data, sizeof descriptor.size);
        if (descriptor.size > HID_MAX_DESCRIPTOR_SIZE) {
            g_object_unref(out);
            return done(-1, EINVAL);
        }
        const std::size_t n = std::min<std::size_t>(descriptor.size, layout.descriptor.size());
        std::memcpy(out->data + offsetof(hidraw_report_descriptor, value), layout.descriptor.data(), n);
        done(0, 0);
        g_object_unref(out);
        return;
    }
    case _IOC_NR(HIDIOCGRAWINFO): {
        UMockdevIoctlData* out = memory(sizeof(hidraw_devinfo));
        if (out == nullptr) return done(-1, EFAULT);
        hidraw_devinfo info{kBusUsb, static_cast<__s16>(device.vendorId), static_cast<__s16>(device.productId)};
        std::memcpy(out->data, &info, sizeof info);
        done(0, 0);
        g_object_unref(out);
        return;
    }
    case _IOC_NR(HIDIOCGRAWNAME(0)):
        return text(device.keyboard ? "Kestrune Keyboard" : "Test Keyboard");
    case _IOC_NR(HIDIOCGRAWPHYS(0)):
        return text("usb-0000:00:14.0-" + std::to_string(device.port) + "/input" +
                    std::to_string(node.interfaceNumber));
    case _IOC_NR(HIDIOCGRAWUNIQ(0)):
        return text(device.serial);
    case _IOC_NR(HIDIOCSFEATURE(0)):
    case _IOC_NR(HIDIOCGFEATURE(0)): {
        // Only the bank status has a feature report (its id and one byte).
        const bool set = _IOC_NR(request) == _IOC_NR(HIDIOCSFEATURE(0));
        UMockdevIoctlData* out = memory(size);
        if (out == nullptr || size == 0) {
            if (out) g_object_unref(out);
            return done(-1, EINVAL);
        }
        if (layout.role != Role::BankStatus || device.keyboard == nullptr || out->data[0] != kBankStatusReportId ||
            size < wire::kBankStatusSize) {
            g_object_unref(out);
            return done(-1, EPIPE); // the device stalls a report it does not have
        }
        if (set) {
            device.keyboard->WriteBankStatus({out->data, wire::kBankStatusSize});
            done(static_cast<glong>(wire::kBankStatusSize), 0);
        } else {
            const auto status = device.keyboard->State().bankStatus;
            std::copy(status.begin(), status.end(), out->data);
            done(static_cast<glong>(status.size()), 0);
        }
        g_object_unref(out);
        return;
    }
    default:
        return done(-1, EINVAL);
    }
}

std::string MockKernel::DescribeNodes() const
{
    std::ostringstream out;
    for (const auto& device : m_devices) {
        for (unsigned number = 0; number < Interfaces().size(); ++number) {
            const InterfaceUse& use = device->use[number];
            std::string node = "-";
            for (const Node* n : device->nodes)
                if (n->interfaceNumber == number) node = n->devnode;
            out << device->label << " " << Hex4(device->vendorId) << ":" << Hex4(device->productId) << " interface "
                << number << " " << RoleName(Interfaces()[number].role) << " " << node << " opens " << use.opens
                << " reads " << use.reads << " writes " << use.writes << " lengths";
            if (use.writeLengths.empty()) out << " -";
            for (std::size_t length : use.writeLengths) out << " " << length;
            out << " ids";
            if (use.reportIds.empty()) out << " -";
            for (unsigned id : use.reportIds) {
                char hex[8];
                std::snprintf(hex, sizeof hex, " %02x", id);
                out << hex;
            }
            out << "\n";
        }
    }
    return out.str();
}

ControlReply MockKernel::Control(const std::vector<std::string>& words)
{
    if (words.size() == 1 && words[0] == "nodes") {
        std::string text;
        OnKernelThread([&] { text = DescribeNodes(); });
        return {true, text};
    }
    // "keyboard N WORDS...": the Nth keyboard of the kernel.
    if (words.size() >= 3 && words[0] == "keyboard") {
        const auto& number = words[1];
        std::size_t n = 0;
        auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), n);
        if (error != std::errc() || end != number.data() + number.size() || n == 0 || n > m_keyboards.size())
            return {false, "expected a keyboard from 1 to " + std::to_string(m_keyboards.size()) + ", found \"" +
                               number + "\""};
        return RunControlCommand(*m_keyboards[n - 1], {words.begin() + 2, words.end()});
    }
    return RunControlCommand(*m_keyboards.front(), words);
}

Status MockKernel::Start()
{
    if (m_options.command.empty()) return Error{"no command to run"};
    m_context = g_main_context_default();
    m_kernelThread = std::this_thread::get_id();
    m_loop = g_main_loop_new(m_context, FALSE);
    m_testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    m_root = root;
    g_free(root);

    m_statePath = DefaultStateFilePath();
    OpenedState opened = OpenStateFile(m_statePath);
    if (!opened.problem.empty()) std::fprintf(stderr, "kestrune-emu kernel: %s\n", opened.problem.c_str());
    FaultPlan plan;
    if (auto latency = NumberFromEnvironment(kLatencyVariable))
        plan.latency = std::chrono::microseconds(static_cast<std::int64_t>(*latency));
    if (const char* faults = std::getenv(kFaultsVariable); faults && *faults) {
        if (auto armed = ParseFaultPlan(faults, plan))
            plan = *armed;
        else
            std::fprintf(stderr, "kestrune-emu kernel: %s: %s; starting without faults\n", kFaultsVariable,
                         armed.error().c_str());
    }
    if (auto boot = NumberFromEnvironment(kBootVariable))
        m_bootTime = std::chrono::milliseconds(static_cast<std::int64_t>(*boot));

    const bool attached = opened.state.attached;
    m_keyboards.push_back(std::make_unique<EmulatedKeyboard>(std::move(opened.state)));
    m_keyboards.back()->SetFaults(plan);
    if (opened.writable) m_saver = std::make_unique<StateSaver>(m_statePath, *m_keyboards.back());
    for (unsigned extra = 0; extra < m_options.extraKeyboards; ++extra) {
        m_keyboards.push_back(std::make_unique<EmulatedKeyboard>());
        m_keyboards.back()->SetFaults(plan);
    }
    for (std::size_t k = 0; k < m_keyboards.size(); ++k) {
        Device& device = AddDevice("keyboard-" + std::to_string(k + 1), wire::kVendorId, m_keyboards[k].get());
        if ((k > 0 || attached)) {
            if (Status plugged = Plug(device); !plugged) return plugged;
        }
    }
    if (m_options.otherVendor) {
        Device& other = AddDevice("other-vendor", kOtherVendorId, nullptr);
        if (Status plugged = Plug(other); !plugged) return plugged;
    }

    auto server = ControlServer::Start(DefaultControlSocketPath(),
                                       [this](const std::vector<std::string>& words) { return Control(words); });
    if (!server) return Error{"no control socket for the keyboard: " + server.error()};
    m_server = std::move(*server);
    return Spawn();
}

Status MockKernel::Spawn()
{
    std::vector<std::string> environment;
    std::string preload = kPreloadLibrary;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        if (name == "LD_PRELOAD") {
            preload += ":" + variable.substr(name.size() + 1);
        } else if (name != "UMOCKDEV_DIR" && name != "KESTRUNE_DEVICE_LIBRARY" && name != kPreloadedMark) {
            environment.push_back(variable);
        }
    }
    environment.push_back("LD_PRELOAD=" + preload);
    environment.push_back("UMOCKDEV_DIR=" + m_root);
    std::vector<char*> envp;
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::vector<std::string> arguments = m_options.command;
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&m_child, argv[0], nullptr, nullptr, argv.data(), envp.data());
    if (spawned != 0) return Error{"cannot run " + m_options.command[0] + ": " + std::strerror(spawned)};
    return Status::Ok();
}

int MockKernel::Run()
{
    g_child_watch_add(
        m_child,
        [](GPid, gint status, gpointer data) {
            auto& kernel = *static_cast<MockKernel*>(data);
            kernel.m_childStatus = status;
            g_main_loop_quit(kernel.m_loop);
        },
        this);
    // A signal that would end the kernel ends the command first; the kernel
    // follows when the command has gone.
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        g_unix_signal_add(
            signal,
            [](gpointer data) -> gboolean {
                auto& kernel = *static_cast<MockKernel*>(data);
                kill(kernel.m_child, SIGTERM);
                return G_SOURCE_CONTINUE;
            },
            this);
    }
    g_main_loop_run(m_loop);

    // The control socket's thread may be waiting for this thread: keep
    // serving it while it stops.
    {
        std::lock_guard lock(m_closingMutex);
        m_closing = true;
    }
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        m_server.reset();
        stopped = true;
        g_main_context_wakeup(m_context);
    });
    while (!stopped) g_main_context_iteration(m_context, TRUE);
    stopper.join();

    if (WIFEXITED(m_childStatus)) return WEXITSTATUS(m_childStatus);
    if (WIFSIGNALED(m_childStatus)) return 128 + WTERMSIG(m_childStatus);
    return 1;
}

} // namespace

int RunInMockKernel(const MockKernelOptions& options, char** argv, std::ostream& err)
{
    // umockdev's own calls (the uevents it sends) find devices through
    // libudev, which sees the test bed only under the preload library.
    if (std::getenv(kPreloadedMark) == nullptr) {
        // Without it the program would run on the machine's own devices.
        void* library = dlopen(kPreloadLibrary, RTLD_LAZY | RTLD_LOCAL);
        if (library == nullptr) {
            err << "kestrune-emu kernel: cannot load " << kPreloadLibrary << " (Debian package umockdev): "
                << dlerror() << "\n";
            return 1;
        }
        dlclose(library);
        std::string preload = kPreloadLibrary;
        if (const char* existing = std::getenv("LD_PRELOAD"); existing && *existing) preload += std::string(":") + existing;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv(kPreloadedMark, "1", 1);
        execv("/proc/self/exe", argv);
        err << "kestrune-emu kernel: cannot start again with " << kPreloadLibrary << ": " << std::strerror(errno)
            << "\n";
        return 1;
    }
    MockKernel kernel(options);
    if (Status started = kernel.Start(); !started) {
        err << "kestrune-emu kernel: " << started.error() << "\n";
        return 1;
    }
    return kernel.Run();
}

} // namespace kestrune::emulator
