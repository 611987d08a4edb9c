#pragma once

// The lighting panel in a plain host window, on the emulator's device
// library as the program binds it, with the keyboard's traffic written down
// on the way. The tests and the benchmarks share it.

#include "emulator/KeyboardState.h"
#include "session/KeyboardSession.h"
#include "support/EnvOverride.h"
#include "support/RecordingReporter.h"
#include "support/ScratchFolder.h"
#include "ui/LightingPanel.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::test {

// A window that draws a picture whose every pixel differs, so a colour
// taken from it tells exactly where it was taken.
class HostWindow : public QWidget {
public:
    HostWindow();
    static QColor PixelAt(QPoint point);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_picture;
};

// The key buttons as the panel leaves them.
class RecordingKeys : public LightingKeyButtons {
public:
    std::array<std::optional<QColor>, kLightingKeyButtons> fills{};
    int assignmentLooks = 0;
    bool settle = true;
    int settleCalls = 0;

    void FillKeyButton(int button, std::optional<QColor> colour) override
    {
        fills.at(static_cast<std::size_t>(button)) = colour;
    }
    void ShowAssignmentLooks() override { ++assignmentLooks; }
    bool SettleKeyEdits() override
    {
        ++settleCalls;
        return settle;
    }
};

// A command report the keyboard was sent: command, address and payload.
struct SentReport {
    std::uint8_t command;
    std::uint16_t address;
    std::vector<std::uint8_t> payload;
};

class PanelRig {
public:
    // Starts the emulated keyboard with `state` in a folder of the rig's own,
    // opens a keyboard session on the recorded library, reads the lighting
    // and builds the panel. The settings file starts with the per-key light
    // switch as given.
    PanelRig(const emulator::KeyboardState& state, bool lightSwitch);
    ~PanelRig();

    // Runs the event loop until the panel's writer has nothing left and its
    // reports have been handled; false after the timeout.
    bool Settle(int timeoutMs = 20000);
    // A command to the running emulator (fault, dump, ...); the reply text.
    std::string Control(const std::vector<std::string>& words);
    emulator::KeyboardState Dump();

    // Every command report since the mark.
    std::size_t Mark() const;
    std::vector<SentReport> SentSince(std::size_t mark) const;
    // The lighting-block writes since the mark, as (address, first byte).
    std::vector<std::pair<std::uint16_t, std::uint8_t>> ByteWritesSince(std::size_t mark) const;

    template <typename T> T* Find(const char* name) const { return window->findChild<T*>(QString::fromLatin1(name)); }
    // Clicks the middle of a control as a user would.
    void Click(const char* name) const;
    // Chooses the effect in the list as a user would.
    void ChooseEffect(int effect) const;

    // Declared in the order of creation: the emulator's variables outlive
    // the session, and the session the window.
    testing::ScratchFolder scratch{"kestrune-panel"};
    SettingsFile settings;
    testing::EnvOverride stateFile;
    testing::EnvOverride controlSocket;
    testing::EnvOverride latency;
    testing::RecordingReporter reporter;
    std::unique_ptr<KeyboardSession> session;
    std::unique_ptr<HostWindow> window;
    RecordingKeys keys;
    LightingPanel* panel = nullptr;
};

} // namespace kestrune::test
