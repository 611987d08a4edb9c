#pragma once

// Reads the keyboard's lighting and sends every lighting change at once.
//
// Threading rules:
// - Every operation here exchanges commands with the keyboard and may take up
//   to a few seconds when the keyboard does not answer, so the user interface
//   calls them from a worker thread, never from its own. Any thread may call
//   any operation; the state is guarded by one mutex and State() gives a copy.
// - Each change holds the protocol's exchange lock from its BeginUpdate to its
//   EndUpdate, so a download or another change is never sent in between.
// - The state changes first and the write follows: a change the keyboard did
//   not take stays in the state until the next read. Each write gives 1 when
//   every exchange of its update was answered with success, else the first
//   failing result code, so a caller can read the keyboard's state again.
//   A refused or unanswered BeginUpdate sends none of the update's writes,
//   and a write of several parts stops at the first part that fails; the
//   EndUpdate is still sent.

#include "config/Settings.h"
#include "lighting/LightingRecords.h"
#include "lighting/LightingState.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>

namespace kestrune {

class CommandProtocol;

class Lighting {
public:
    // ReadLightingState takes the per-key light switch and the report rate
    // from the settings file.
    explicit Lighting(CommandProtocol& protocol, SettingsFile settingsFile = SettingsFile());

    // Gives 0, or -1 when the settings record cannot be read (the effect list
    // then stays empty and everything else keeps its value). The per-key
    // colours are read only with 'withKeyColours' and only when the keyboard
    // offers effect 5. A settings record the caller already holds (the one
    // read at attach) is used instead of reading it again.
    int ReadLightingState(bool withKeyColours, const std::optional<SettingsRecord>& known = std::nullopt);

    int WriteEffect(int effect);
    int WriteBrightness(int position);
    int WriteSpeed(int sliderPosition);
    int WriteDirection(int direction);
    // Effects 4, 11, 12, 14, 15 (clears the effect's rainbow flag) and 9.
    int WriteEffectColour(int effect, Colour colour);
    int WriteRainbowFlag(int effect, std::uint8_t flag);
    int WriteTrigger(std::uint8_t trigger);
    // The base colour of effect 5 followed by the whole key colour table.
    int WriteBaseColour(Colour colour);
    int WriteKeyColour(std::size_t light, Colour colour);
    // Several keys painted in one update: each light's request is the one
    // WriteKeyColour sends, between a single BeginUpdate and EndUpdate.
    // Nothing is sent for an empty list; a light out of range sends nothing.
    struct KeyPaint {
        std::size_t light;
        Colour colour;
    };
    int WriteKeyColours(std::span<const KeyPaint> paints);
    // Sets the key colour table entry without sending it: the panel gives
    // every base-coloured key the new base colour before WriteBaseColour.
    void SetKeyColour(std::size_t light, Colour colour);
    int WriteLightingDefaults();
    int WriteWhiteKeyColours();

    LightingState State() const;

private:
    // One BeginUpdate ... EndUpdate sequence of memory writes.
    struct MemoryWrite {
        std::uint16_t address;
        std::span<const std::uint8_t> bytes;
    };
    int SendMemoryWrites(std::initializer_list<MemoryWrite> writes);
    int SendByte(std::uint16_t address, std::uint8_t value);
    // A one-byte setting: kept in the state as 'field' and in the block at
    // 'address', then sent.
    int WriteBlockByte(int LightingState::*field, std::uint16_t address, std::uint8_t value);
    // Sends the whole key colour table in nine requests; 'memory' first when given.
    int SendKeyColourTable(const KeyColourTable& table, std::optional<MemoryWrite> memory);

    CommandProtocol& m_protocol;
    mutable std::mutex m_mutex;
    LightingState m_state;
    const SettingsFile m_settingsFile;
};

} // namespace kestrune
