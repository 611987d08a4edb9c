#pragma once

// What the transfer, events and lighting tests share: an emulated keyboard
// behind the real binding, in a keyboard session like the program's, with a
// reporter and a window that remember what they were told.

#include "EventsEmulatorRelay.h"
#include "QuickTiming.h"
#include "common/Reporter.h"
#include "config/ConfigStore.h"
#include "device/CommandProtocol.h"
#include "device/DeviceEvents.h"
#include "device/Transfer.h"
#include "emulator/EmulatedKeyboard.h"
#include "macro/MacroRecord.h"
#include "session/KeyboardSession.h"
#include "support/RecordingReporter.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::testing {

inline constexpr KeyIndex kKeyEsc = 0x001;
inline constexpr KeyIndex kKeyA = 0x01E;
inline constexpr KeyIndex kKeyB = 0x030;

// A macro of 'actions' alternating presses and releases of A, 10 ms apart.
inline MacroRecord MakeMacro(std::uint16_t id, std::size_t actions, std::u16string_view name)
{
    MacroRecord record;
    record.id = id;
    record.SetName(name);
    record.actionCount = static_cast<std::uint16_t>(actions);
    for (std::size_t i = 0; i < actions; ++i)
        record.actions[i] = {10 * static_cast<std::int32_t>(i), kKeyA, static_cast<std::uint16_t>(i % 2)};
    return record;
}

// A current copy whose three profiles differ (Esc remapped to B in profile 0,
// disabled in profile 1) and whose A key in profile 2 plays the last macro.
inline void FillConfiguration(ConfigStore& store, std::vector<MacroRecord> macros)
{
    std::lock_guard lock(store.CurrentLock());
    ASSERT_TRUE(store.CreateDefaultConfiguration());
    CurrentCopy& copy = store.Current();
    SetAssignment(*copy.Assignment(0, SlotOfKey(kKeyEsc)), AssignmentType::RemapKey, 0, kKeyB);
    SetAssignment(*copy.Assignment(1, SlotOfKey(kKeyEsc)), AssignmentType::Disabled, 0, 0);
    if (!macros.empty())
        SetAssignment(*copy.Assignment(2, SlotOfKey(kKeyA)), AssignmentType::PlayMacro, 0, macros.back().id);
    copy.Macros() = std::move(macros);
}

// A main window that writes down what it is asked to do, and refreshes the
// configuration from the keyboard on 'PROF' as the real one does.
class RecordingWindow : public DeviceEventSink {
public:
    Transfer* transfer = nullptr;

    void SendRefreshProfile() override
    {
        if (transfer != nullptr) transfer->RefreshFromKeyboard(false);
        Record("refresh");
    }
    void SendDetached() override { Record("detached"); }
    void HideMainWindow() override { Record("hide"); }
    void PostOpen() override { Record("open"); }
    void FirstAttachBegins() override { Record("opening"); }
    void SendBankChanged(bool bankB) override { Record(bankB ? "bank B" : "bank A"); }
    void StartLightingTimer() override { Record("timer 1051"); }
    void SetTrayIcon(int iconId) override
    {
        std::function<void(int)> hook;
        {
            std::lock_guard lock(m_mutex);
            hook = m_onTrayIcon;
        }
        if (hook) hook(iconId);
        Record("icon " + std::to_string(iconId));
    }
    // Runs with every icon change, on the thread that makes it.
    void OnTrayIcon(std::function<void(int)> hook)
    {
        std::lock_guard lock(m_mutex);
        m_onTrayIcon = std::move(hook);
    }
    bool Initialised() const override { return true; }
    void RefreshKeyDisplay() override {}
    void ClearUnappliedChanges() override {}

    std::vector<std::string> Calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::size_t Count(const std::string& call) const
    {
        std::lock_guard lock(m_mutex);
        return static_cast<std::size_t>(std::count(m_calls.begin(), m_calls.end(), call));
    }
    // What one device event is given to reach the window: long enough for a
    // loaded machine, short enough that one that never comes fails soon.
    static constexpr std::chrono::seconds kEventWait{20};

    // Waits until the call has been made 'times' times; false when it is not
    // within 'deadline'.
    bool WaitFor(const std::string& call, std::size_t times = 1, std::chrono::seconds deadline = kEventWait) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, deadline, [&] {
            return static_cast<std::size_t>(std::count(m_calls.begin(), m_calls.end(), call)) >= times;
        });
    }

private:
    void Record(std::string call)
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
        m_changed.notify_all();
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_calls;
    std::function<void(int)> m_onTrayIcon;
};

struct SentCommand {
    std::uint8_t command;
    std::uint8_t length;
    std::uint16_t address;
    std::vector<std::uint8_t> payload;
};

// A session over 'keyboard' that reports to 'window' and 'reporter', with
// waits short enough that a keyboard that stays silent fails a command quickly.
inline std::unique_ptr<KeyboardSession> MakeSession(std::unique_ptr<DeviceLibrary> library, DeviceEventSink& window,
                                                    Reporter& reporter)
{
    KeyboardSessionOptions options;
    options.library = std::move(library);
    options.timing = QuickTiming();
    options.sink = &window;
    auto session = KeyboardSession::Create(std::move(options), reporter);
    EXPECT_TRUE(session.ok()) << session.error();
    return session.ok() ? std::move(*session) : nullptr;
}

class KeyboardFixture : public ::testing::Test {
protected:
    KeyboardFixture()
        : session(MakeSession(BindRelay(keyboard), window, reporter)), protocol(session->Protocol()),
          store(session->Store()), transfer(session->GetTransfer()), events(session->Events())
    {
    }

    // The standing reads carry the replies: every exchange needs them. The
    // attach at start has been handled when this returns.
    void StartEvents() { ASSERT_TRUE(session->StartAndWaitForAttach().ok()); }

    void SetUp() override
    {
        transfer.SetWorkingProfilePath(folder / "$Profile0");
        // Other tests' downloads, in processes of their own, are no other program's writes to this keyboard.
        transfer.Known().SetTokenPath(folder / "keyboard.token");
    }
    void TearDown() override { session->Stop(); }

    void EditState(const std::function<void(emulator::KeyboardState&)>& edit)
    {
        emulator::KeyboardState state = keyboard.State();
        edit(state);
        ASSERT_TRUE(keyboard.SetState(state).ok());
    }

    std::size_t Mark() const { return keyboard.ReceivedReports().size(); }
    std::vector<SentCommand> SentSince(std::size_t mark) const
    {
        std::vector<SentCommand> sent;
        const auto reports = keyboard.ReceivedReports();
        for (std::size_t i = mark; i < reports.size(); ++i) {
            const auto& r = reports[i];
            SentCommand command{r[wire::kOffCommand],
                                r[wire::kOffLength],
                                static_cast<std::uint16_t>(r[wire::kOffAddress] | (r[wire::kOffAddress + 1] << 8)),
                                {}};
            command.payload.assign(r.begin() + wire::kOffPayload,
                                   r.begin() + wire::kOffPayload + std::min<std::size_t>(r[wire::kOffLength], 56));
            sent.push_back(std::move(command));
        }
        return sent;
    }

    emulator::EmulatedKeyboard keyboard;
    RecordingReporter reporter;
    RecordingWindow window;
    std::unique_ptr<KeyboardSession> session;
    CommandProtocol& protocol;
    ConfigStore& store;
    Transfer& transfer;
    DeviceEvents& events;
    ScratchFolder scratch{"kestrune-transfer"};
    const std::filesystem::path folder = scratch.Path();
};

} // namespace kestrune::testing
