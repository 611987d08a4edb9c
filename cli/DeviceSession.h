#pragma once

// One connection to the keyboard for one command: the device library bound
// the way the program binds it, the command protocol, the standing reads and
// the attach-time reads (factory key table, settings and macro capacity),
// which have all finished when Open returns.

#include "common/Reporter.h"
#include "common/Result.h"
#include "config/ConfigStore.h"
#include "device/CommandProtocol.h"
#include "device/DeviceEvents.h"
#include "device/Transfer.h"
#include "lighting/Lighting.h"

#include <atomic>
#include <memory>
#include <string>

namespace kestrune::cli {

// The main window as a command line has it: nothing to show, nothing to
// refresh. The attach reads themselves run in DeviceEvents.
class CliWindow : public DeviceEventSink {
public:
    void SendRefreshProfile() override { m_refreshes.fetch_add(1); }
    void SendDetached() override {}
    void HideMainWindow() override {}
    void PostOpen() override {}
    void SendBankChanged(bool) override {}
    void StartLightingTimer() override {}
    void SetTrayIcon(int) override {}
    bool Initialised() const override { return true; }
    void RefreshKeyDisplay() override {}
    void ClearUnappliedChanges() override {}

    int Refreshes() const { return m_refreshes.load(); }

private:
    std::atomic<int> m_refreshes{0};
};

class DeviceSession {
public:
    // Binds the library (`emulator` as --emulator, else KESTRUNE_DEVICE_LIBRARY,
    // else the real one), starts the standing reads and waits for the attach
    // handling. Fails only when the library cannot be bound or started; an
    // absent keyboard is a session with Attached() false.
    static Result<std::unique_ptr<DeviceSession>> Open(bool emulator, Reporter& reporter);
    ~DeviceSession();

    bool Attached() const;
    const std::string& LibraryDescription() const { return m_library; }

    CommandProtocol& Protocol() { return *m_protocol; }
    ConfigStore& Store() { return m_store; }
    Transfer& GetTransfer() { return *m_transfer; }
    Lighting& GetLighting() { return *m_lighting; }

private:
    DeviceSession() = default;

    std::string m_library;
    ConfigStore m_store;
    std::unique_ptr<CommandProtocol> m_protocol;
    std::unique_ptr<Transfer> m_transfer;
    CliWindow m_window;
    std::unique_ptr<DeviceEvents> m_events;
    std::unique_ptr<Lighting> m_lighting;
};

} // namespace kestrune::cli
