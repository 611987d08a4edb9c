#pragma once

// The inner working of the device access library: the standing reads (one
// thread each), writes through a per-interface handle, device counts, and the
// presence source that tells the reads to look for their interface again.

#include "Presence.h"

#include "wire/HidRelay.h"
#include "wire/StandingRead.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct hid_device_;

namespace kestrune::hidrelay {

using HidDevice = hid_device_;

// hidapi keeps process-wide state (its last error) that enumerate, open,
// init and exit all replace; those calls must not run at the same time.
std::mutex& HidApiLock();

// One HID interface as a search lists it.
struct InterfaceInfo {
    std::string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    // The USB device the interface belongs to (its sysfs path); empty when unknown.
    std::string device;
};

// Opens an interface under the hidapi lock; null when it cannot be opened.
HidDevice* OpenPath(const std::string& path);

// Whether an open failed for want of permission, and the words that tell the
// user so and point to the udev rule (on standard error, once per node).
bool RefusedForPermission(int error);
void ReportNoPermission(const std::string& path);

void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
int SetDebugLevel(int level);

class Relay;

// A standing read on its interface's input file. Its thread blocks on the
// file and a wake signal, so an attached, idle keyboard wakes nothing; while
// the interface is missing it looks for it again when presence changes.
class FileRead {
public:
    FileRead(Relay& relay, const HidRelaySelector& selector, HidRelayCallback callback, std::uint32_t tag,
             HidRelayHandle handle, bool reportsPresence);
    ~FileRead();

    // 'input' (an input file or -1) was opened by the caller and becomes the
    // read's. False, with 'input' left to the caller, when the read cannot run.
    bool Start(int input, bool present);
    void RequestStop() { m_read.Stop(); }
    // Waits for the thread unless called on it.
    void Join() { m_read.Join(); }
    // Presence may have changed: look for the interface again.
    void Wake();
    bool OnOwnThread() const { return m_read.OnOwnThread(); }
    HidRelayHandle Handle() const { return m_read.Handle(); }

private:
    void Run(int input, bool present);
    void Announce(bool present);
    // Blocks until the read is woken, 'input' (when not -1) is ready, or
    // 'timeoutMs' (-1: none) has passed; gives the input's poll events, 0
    // when nothing but a wake or the time came.
    short Wait(int input, int timeoutMs);

    Relay& m_relay;
    const HidRelaySelector m_selector;
    const bool m_reportsPresence;

    // Counts wakes and the stop, so that none is lost between two waits.
    int m_wakeFd = -1;
    wire::StandingRead m_read;
};

class Relay {
public:
    static Relay& Instance();
    ~Relay();

    int Init();
    int End();

    int DeviceCount(const HidRelaySelector& selector);
    int AsyncRead(const HidRelaySelector& selector, HidRelayCallback callback, std::uint32_t tag,
                  HidRelayHandle handle);
    int Delete(HidRelayHandle handle);

    // Output reports: the whole buffer as one report.
    int WriteReport(const HidRelaySelector& selector, const std::uint8_t* data, std::size_t length);
    int SendFeature(const HidRelaySelector& selector, const std::uint8_t* data, std::size_t length);
    int GetFeature(const HidRelaySelector& selector, std::uint8_t* data, std::size_t length);

    void PresenceChanged();

    // The paths of the interfaces a selector picks, without duplicates, in the
    // order of the search: from the list the presence notices keep when the
    // source notices every change, else from a search of the devices. With
    // two keyboards attached, the interfaces of the one the command read has
    // open (else of the first listed) come first, so that a command's reply,
    // the keyboard's key reports and the bank status all belong to one keyboard.
    std::vector<std::string> MatchingPaths(const HidRelaySelector& selector);
    // The command read opened this interface (empty: it closed its interface).
    void CommandInterfaceOpened(const std::string& path);
    bool NoticesEveryChange() const { return m_noticesEveryChange.load(); }

private:
    Relay() = default;

    void RefreshInterfaces();

    template <typename Operation> int WithWriteHandle(const HidRelaySelector& selector, Operation operation);
    void JoinRetired();

    std::mutex m_lifecycle; // one Init or End at a time
    std::mutex m_mutex;     // running flag, reads, retired reads, presence source
    bool m_running = false;
    std::map<HidRelayHandle, std::shared_ptr<FileRead>> m_reads;
    std::vector<std::shared_ptr<FileRead>> m_retired;
    std::unique_ptr<PresenceSource> m_presence;

    std::atomic<bool> m_noticesEveryChange{false};
    std::mutex m_interfacesMutex;                           // taken before the hidapi lock
    std::optional<std::vector<InterfaceInfo>> m_interfaces; // kept while the source notices every change
    std::string m_commandInterface;                         // the command read's, under m_interfacesMutex

    std::mutex m_writeMutex;                          // the write handles and every write through them
    std::map<std::string, HidDevice*> m_writeHandles; // by selector bytes
};

} // namespace kestrune::hidrelay
