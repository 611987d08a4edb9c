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

    // True when every change is noticed as it happens. The library then keeps
    // the list of interfaces from the notices and answers from it, and a
    // closed read waits for a notice without looking again on its own; else
    // it searches the devices whenever it needs to know.
    virtual bool NoticesEveryChange() const = 0;
};

// Follows udev's hidraw events; null where no udev daemon runs (containers, CI).
// It notices every change.
std::unique_ptr<PresenceSource> MakeUdevPresence();

// Compares the list of HID interfaces every 'period'; a change may go
// unnoticed for that long.
std::unique_ptr<PresenceSource> MakePollingPresence(std::chrono::milliseconds period);

using PresenceFactory = std::function<std::unique_ptr<PresenceSource>()>;

// Replaces the source the next Init starts (empty: udev, else polling).
// For programs that drive presence themselves, such as tests.
void SetPresenceFactory(PresenceFactory factory);

}  // namespace kestrune::hidrelay
