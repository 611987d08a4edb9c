#pragma once

// Sources of "devices may have come or gone" for the standing reads. The
// library does not trust a source for the details: on every notice each read
// looks at the list of interfaces again, so a source may notify too often but
// must not stay silent after a change.

#include <chrono>
#include <functional>
#include <memory>

namespace kestrune::hidrelay {

class PresenceSource {
public:
    virtual ~PresenceSource() = default;

    // Starts watching. 'changed' may be called on any thread, until Stop returns.
    virtual bool Start(std::function<void()> changed) = 0;
    virtual void Stop() = 0;
};

// Follows udev's hidraw events; null where no udev daemon runs (containers, CI).
std::unique_ptr<PresenceSource> MakeUdevPresence();

// Compares the list of HID interfaces every 'period'.
std::unique_ptr<PresenceSource> MakePollingPresence(std::chrono::milliseconds period);

using PresenceFactory = std::function<std::unique_ptr<PresenceSource>()>;

// Replaces the source the next Init starts (empty: udev, else polling).
// For programs that drive presence themselves, such as tests.
void SetPresenceFactory(PresenceFactory factory);

}  // namespace kestrune::hidrelay
