#pragma once

// The device access library's own code linked into a program over the hidapi
// test implementation: its twelve functions bound like a loaded library, and
// a presence source the bus drives the way udev's monitor would.

#include "HidShim.h"
#include "Presence.h"

#include "device/DeviceLibrary.h"

#include <functional>
#include <mutex>

namespace kestrune::hidshim {

inline DeviceFunctions LinkedFunctions()
{
    DeviceFunctions f;
    f.Debug = &::Debug;
    f.Init = &::Init;
    f.End = &::End;
    f.RequestGetDeviceCount = &::RequestGetDeviceCount;
    f.DeleteRequestFromUnitId = &::DeleteRequestFromUnitId;
    f.DeleteRequestFromHandle = &::DeleteRequestFromHandle;
    f.RequestWrite = &::RequestWrite;
    f.RequestWriteOne = &::RequestWriteOne;
    f.RequestStatusWrite = &::RequestStatusWrite;
    f.RequestStatusGet = &::RequestStatusGet;
    f.RequestAsyncRead = &::RequestAsyncRead;
    f.RequestStatusSetFeature = &::RequestStatusSetFeature;
    return f;
}

// Stands in for udev: the bus tells it when interfaces come or go, at once.
// It can also claim to miss changes, as the library's polling does, so that
// the library searches the devices instead of trusting its notices.
class ManualPresence final : public hidrelay::PresenceSource {
public:
    explicit ManualPresence(bool noticesEveryChange = true) : m_noticesEveryChange(noticesEveryChange) {}

    bool Start(std::function<void()> changed) override
    {
        std::lock_guard lock(m_mutex);
        m_changed = std::move(changed);
        return true;
    }
    void Stop() override
    {
        std::lock_guard lock(m_mutex);
        m_changed = nullptr;
    }
    void Notify()
    {
        std::lock_guard lock(m_mutex);
        if (m_changed) m_changed();
    }
    bool NoticesEveryChange() const override { return m_noticesEveryChange; }

private:
    const bool m_noticesEveryChange;
    std::mutex m_mutex;
    std::function<void()> m_changed;
};

} // namespace kestrune::hidshim
