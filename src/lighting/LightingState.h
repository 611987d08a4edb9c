#pragma once

// The program's copy of the keyboard's lighting: the records as last read and
// the values decoded from them.

#include "lighting/LightingRecords.h"

#include <array>
#include <cstdint>

namespace kestrune {

struct LightingState {
    SettingsRecord settings;
    LightingBlock block;
    KeyColourTable keyColours;

    int effect = 0;
    int brightness = 0;
    int speed = 0; // the value the keyboard holds; the slider shows 4 - speed
    int direction = 0;
    std::array<Colour, static_cast<std::size_t>(EffectColour::Count)> colours{}; // A to G
    std::array<std::uint8_t, kRainbowEffects.size()> rainbow{};                  // effects 4, 11, 12, 14, 15
    // Trigger of effect 4 as the panel shows it: {single key selected, grid selected}.
    std::array<std::uint8_t, 2> trigger{};

    // From the settings file: the per-key light switch and the report rate.
    bool perKeyLights = false;
    int reportRate = 1;

    Colour ColourOf(EffectColour which) const { return colours[static_cast<std::size_t>(which)]; }
    Colour& ColourOf(EffectColour which) { return colours[static_cast<std::size_t>(which)]; }
    // The effect's rainbow flag; 0 for an effect without one.
    std::uint8_t RainbowOf(int effect) const;
    void SetRainbow(int effect, std::uint8_t value);
    void SetTrigger(std::uint8_t value);
};

// Decodes the block into the state's values. The effect-4 rainbow flag and the
// trigger only change when the block holds a value they can take; the other
// flags follow their bytes.
void DecodeLightingBlock(const LightingBlock& block, LightingState& state);

// The 39 bytes the restore-defaults write sends from address 0.
inline constexpr std::size_t kLightingDefaultsSize = 39;
inline constexpr std::array<std::uint8_t, kLightingDefaultsSize> kLightingDefaults = {
    0x01, 0x03, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
    0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF,
    0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x01};

} // namespace kestrune
