#pragma once

// A test implementation of the hidapi functions the device access library
// calls, and of the input files its standing reads open, backed by the
// emulator's keyboard model instead of /dev/hidraw. It behaves like hidraw
// where the library depends on it: each input file is a socket that gets its
// own copy of every input report, one report per read, and hangs up when its
// interface goes; a handle of an interface that went away fails its writes;
// a replugged keyboard comes back under new paths.

#include "emulator/EmulatedKeyboard.h"

#include <cstdint>
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

    // Handles and input files the library holds open.
    int OpenHandles() const;
    // Those on the present interface of that usage page.
    int OpenHandlesOn(std::uint16_t usagePage) const;
    int InitCalls() const;
    // Searches of the bus (hid_enumerate) so far.
    int EnumerateCalls() const;
    int ExitCalls() const;

    // emulator::KeyboardListener
    void OnPresenceChanged(bool present) override;
    void OnConsumerReport(std::span<const std::uint8_t> report) override;
    void OnStateChanged() override {}

    // The hidapi side.
    struct Handle {
        std::shared_ptr<ShimInterface> interface;
    };
    void Init();
    void Exit();
    // What a search lists; counted as a search.
    std::vector<std::shared_ptr<ShimInterface>> Interfaces();
    Handle* Open(const char* path);
    void Close(Handle* handle);
    int Write(Handle* handle, const std::uint8_t* data, std::size_t length);
    // The input file side: the library's end of a new socket, or -1.
    int OpenInput(const char* path);

private:
    // The bus's end of an input file.
    struct Input {
        std::shared_ptr<ShimInterface> interface;
        int fd = -1;
    };

    void PlugLocked();
    void UnplugLocked();
    void QueueLocked(std::uint16_t usagePage, std::span<const std::uint8_t> report);
    // Forgets the input files the library has closed.
    void PruneInputsLocked() const;

    mutable std::mutex m_mutex;
    emulator::EmulatedKeyboard* m_keyboard = nullptr;
    std::function<void()> m_changed;
    std::vector<std::shared_ptr<ShimInterface>> m_interfaces;
    std::vector<Handle*> m_handles;
    mutable std::vector<Input> m_inputs;
    int m_nextNode = 0;
    int m_initCalls = 0;
    int m_exitCalls = 0;
    int m_enumerateCalls = 0;
};

}  // namespace kestrune::hidshim
