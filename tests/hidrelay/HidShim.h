#pragma once

// A test implementation of the hidapi functions the device access library
// calls, backed by the emulator's keyboard model instead of /dev/hidraw. It
// behaves like the hidraw backend where the library depends on it: each open
// handle gets its own copy of every input report, a handle of an interface
// that went away fails its reads and writes, and a replugged keyboard comes
// back under new paths.

#include "emulator/EmulatedKeyboard.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune::hidshim {

struct ShimInterface {
    std::string path;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    bool gone = false;
};

class ShimBus final : public emulator::KeyboardListener {
public:
    static ShimBus& Instance();

    // Puts the model on the bus (its interfaces appear when it is present)
    // or takes it off. 'changed' is told whenever interfaces come or go.
    void Connect(emulator::EmulatedKeyboard* keyboard, std::function<void()> changed);
    void Disconnect();

    int OpenHandles() const;
    // Open handles on the present interface of that usage page.
    int OpenHandlesOn(std::uint16_t usagePage) const;
    int InitCalls() const;
    int ExitCalls() const;

    // emulator::KeyboardListener
    void OnPresenceChanged(bool present) override;
    void OnConsumerReport(std::span<const std::uint8_t> report) override;
    void OnStateChanged() override {}

    // The hidapi side.
    struct Handle {
        std::shared_ptr<ShimInterface> interface;
        std::deque<std::vector<std::uint8_t>> queue;
    };
    void Init();
    void Exit();
    std::vector<std::shared_ptr<ShimInterface>> Interfaces() const;
    Handle* Open(const char* path);
    void Close(Handle* handle);
    int Read(Handle* handle, std::uint8_t* data, std::size_t length, int milliseconds);
    int Write(Handle* handle, const std::uint8_t* data, std::size_t length);

private:
    void PlugLocked();
    void UnplugLocked();
    void QueueLocked(std::uint16_t usagePage, std::span<const std::uint8_t> report);

    mutable std::mutex m_mutex;
    std::condition_variable m_input;
    emulator::EmulatedKeyboard* m_keyboard = nullptr;
    std::function<void()> m_changed;
    std::vector<std::shared_ptr<ShimInterface>> m_interfaces;
    std::vector<Handle*> m_handles;
    int m_nextNode = 0;
    int m_initCalls = 0;
    int m_exitCalls = 0;
};

}  // namespace kestrune::hidshim
