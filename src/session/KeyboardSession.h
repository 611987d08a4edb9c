#pragma once

// One connection to the keyboard, the same for every front end (the window,
// the command line, the tests): the device library bound at run time, the
// command protocol over it, the configuration store, the transfer, the device
// events and the lighting, created and started in that order and stopped in
// the reverse one.
//
// Ownership:
// - The session owns everything it hands out (library, protocol, store,
//   transfer, events, lighting). References it gives stay valid until the
//   session is destroyed.
// - The listener and the reporter belong to the caller and must outlive the
//   session: the device events and the transfer call them until Stop()
//   returns. Without a listener of its own the caller gets a quiet one that
//   reads nothing more at an attach and is always ready.
//
// Threading:
// - Create, Start, Stop and the destructor belong to the thread that owns the
//   session (the window's user-interface thread, the command's main thread).
// - Start returns once the standing reads run; the attach of a keyboard that
//   is present at start is handled on a thread of the device events, which
//   reads the keyboard's settings and then tells the listener
//   (AttachReadsDone, then PresenceSettled). The keyboard controller is the
//   listener of a front end that shows the keyboard; the command line waits
//   with WaitForAttach.
// - Stop (and the destructor) first stops the device events, which removes
//   the standing reads, ends every wait for a reply and joins every thread
//   they started; then nothing calls the listener or the reporter any more.
//   A listener whose AttachReadsDone waits for the thread calling Stop must
//   return once DeviceEvents::Stopping() is true.
// - The parts themselves keep their own rules (CommandProtocol.h, Transfer.h,
//   DeviceEvents.h, Lighting.h, ConfigStore.h): keyboard operations may
//   block for seconds and never run on a user-interface thread.

#include "common/Reporter.h"
#include "common/Result.h"
#include "config/ConfigStore.h"
#include "config/Settings.h"
#include "device/CommandProtocol.h"
#include "device/DeviceEvents.h"
#include "device/DeviceLibrary.h"
#include "device/Transfer.h"
#include "lighting/Lighting.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace kestrune {

struct KeyboardSessionOptions {
    // A library already bound (a test's in-process keyboard). When empty, the
    // file at libraryPath is bound (see ProgramLibraryPath).
    std::unique_ptr<DeviceLibrary> library;
    std::filesystem::path libraryPath;
    ProtocolTiming timing;
    // Who hears the device events; null for a quiet one.
    DeviceEventListener* listener = nullptr;
    // What the attach reads before it tells the listener.
    AttachReads attachReads;
    // The working profile file of refreshes; empty for the profile folder's.
    std::filesystem::path workingProfilePath;
    // Where the lighting finds the per-key light switch and the report rate.
    SettingsFile settingsFile;
};

class KeyboardSession {
public:
    // The library file a program beside its device libraries binds:
    // `--emulator` (emulator = true), else KESTRUNE_DEVICE_LIBRARY, else the
    // real library.
    static Result<std::filesystem::path> ProgramLibraryPath(bool emulator);

    // Binds the library and builds the parts; nothing runs until Start().
    // Fails when the library cannot be bound or its Init fails.
    static Result<std::unique_ptr<KeyboardSession>> Create(KeyboardSessionOptions options, Reporter& reporter);

    ~KeyboardSession();
    KeyboardSession(const KeyboardSession&) = delete;
    KeyboardSession& operator=(const KeyboardSession&) = delete;

    // Starts the device events (standing reads, then the attach at start on a
    // thread of its own) and returns without waiting for the attach. Fails
    // when the reads cannot be started or another session already receives
    // the library's callbacks.
    Status Start();
    // Waits until every presence change reported so far has been handled,
    // the attach at start included.
    void WaitForAttach();
    // Start, then WaitForAttach.
    Status StartAndWaitForAttach();
    // Stops in the reverse order of Start; idempotent.
    void Stop();

    // Whether the last presence change handled found a keyboard.
    bool Attached() const;
    // The bound library file, for messages.
    const std::string& LibraryDescription() const;
    // The settings record the last attach read (active profile, macro
    // capacity, effects offered); nothing when it could not be read.
    std::optional<SettingsRecord> Settings() const { return m_transfer->AttachSettings(); }

    CommandProtocol& Protocol() { return *m_protocol; }
    ConfigStore& Store() { return m_store; }
    Transfer& GetTransfer() { return *m_transfer; }
    DeviceEvents& Events() { return *m_events; }
    Lighting& GetLighting() { return *m_lighting; }

private:
    KeyboardSession() = default;

    // Declared in the order of creation; destroyed in the reverse one.
    std::unique_ptr<DeviceEventListener> m_quietListener;
    DeviceEventListener* m_listener = nullptr;
    std::unique_ptr<CommandProtocol> m_protocol;
    ConfigStore m_store;
    std::unique_ptr<Transfer> m_transfer;
    std::unique_ptr<DeviceEvents> m_events;
    std::unique_ptr<Lighting> m_lighting;
};

} // namespace kestrune
