#pragma once

// The inner working of the device access library: the standing reads (one
// thread each), writes through a per-interface handle, device counts, and the
// presence source that tells the reads to look for their interface again.

#include "Presence.h"

#include "wire/HidRelay.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct hid_device_;

namespace kestrune::hidrelay {

using HidDevice = hid_device_;

// hidapi keeps process-wide state (its last error) that enumerate, open,
// init and exit all replace; those calls must not run at the same time.
std::mutex& HidApiLock();

// The interfaces a selector picks, without duplicates, in enumeration order.
std::vector<std::string> MatchingPaths(const HidRelaySelector& selector);

// Opens an interface under the hidapi lock; null when it cannot be opened.
HidDevice* OpenPath(const std::string& path);

void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
int SetDebugLevel(int level);

class StandingRead {
public:
    StandingRead(const HidRelaySelector& selector, HidRelayCallback callback, std::uint32_t tag,
                 HidRelayHandle handle, bool reportsPresence);
    ~StandingRead();

    // 'device' (may be null) was opened by the caller and becomes the read's.
    void Start(HidDevice* device, bool present);
    void RequestStop();
    // Waits for the thread unless called on it.
    void Join();
    // Presence may have changed: look for the interface again.
    void Wake();
    bool OnOwnThread() const { return std::this_thread::get_id() == m_threadId.load(); }
    HidRelayHandle Handle() const { return m_handle; }

private:
    void Run(HidDevice* device, bool present);
    void Announce(bool present);
    void DeliverReport(const std::uint8_t* bytes, std::uint32_t length);
    bool WaitForChange(std::uint64_t& seen, std::chrono::milliseconds timeout);

    const HidRelaySelector m_selector;
    const HidRelayCallback m_callback;
    const std::uint32_t m_tag;
    const HidRelayHandle m_handle;
    const bool m_reportsPresence;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::uint64_t m_generation = 0;
    bool m_stop = false;
    std::atomic<std::thread::id> m_threadId{};
    std::thread m_thread;
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

private:
    Relay() = default;

    template <typename Operation>
    int WithWriteHandle(const HidRelaySelector& selector, Operation operation);
    void JoinRetired();

    std::mutex m_lifecycle;  // one Init or End at a time
    std::mutex m_mutex;      // running flag, reads, retired reads, presence source
    bool m_running = false;
    std::map<HidRelayHandle, std::shared_ptr<StandingRead>> m_reads;
    std::vector<std::shared_ptr<StandingRead>> m_retired;
    std::unique_ptr<PresenceSource> m_presence;

    std::mutex m_writeMutex;  // the write handles and every write through them
    std::map<std::string, HidDevice*> m_writeHandles;  // by selector bytes
};

}  // namespace kestrune::hidrelay
