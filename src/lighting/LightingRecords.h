#pragma once

// The keyboard's lighting data as the program sees it: the lighting block
// addressed by byte, the per-key colour table, which light sits under which
// key button, and the effect list's row numbering of the settings record.

#include "wire/Protocol.h"
#include "wire/SettingsRecord.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kestrune {

// A colour in memory: 0x00BBGGRR. On the wire it is the three bytes R, G, B.
using Colour = std::uint32_t;

inline constexpr Colour kWhite = 0x00FFFFFF;

constexpr Colour MakeColour(std::uint8_t red, std::uint8_t green, std::uint8_t blue)
{
    return static_cast<Colour>(red) | (static_cast<Colour>(green) << 8) | (static_cast<Colour>(blue) << 16);
}
constexpr std::uint8_t RedOf(Colour colour)
{
    return static_cast<std::uint8_t>(colour & 0xFF);
}
constexpr std::uint8_t GreenOf(Colour colour)
{
    return static_cast<std::uint8_t>((colour >> 8) & 0xFF);
}
constexpr std::uint8_t BlueOf(Colour colour)
{
    return static_cast<std::uint8_t>((colour >> 16) & 0xFF);
}

inline constexpr std::size_t kColourWireSize = 3;

// Reads R, G, B at offset; the caller has checked the span is long enough.
inline Colour ColourAt(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return MakeColour(bytes[offset], bytes[offset + 1], bytes[offset + 2]);
}
inline std::array<std::uint8_t, kColourWireSize> ColourBytes(Colour colour)
{
    return {RedOf(colour), GreenOf(colour), BlueOf(colour)};
}

// Lighting effects the keyboard offers, by id.
inline constexpr int kFirstEffect = 1;
inline constexpr int kLastEffect = 15;
inline constexpr int kEffectColourTrail = 4;  // colour C, rainbow flag, trigger
inline constexpr int kEffectPerKey = 5;       // base colour B and per-key colours
inline constexpr int kEffectSingleColour = 9; // colour A, no rainbow flag
inline constexpr int kEffect11 = 11;
inline constexpr int kEffect12 = 12;
inline constexpr int kEffect14 = 14;
inline constexpr int kEffect15 = 15;

// Byte addresses inside the keyboard's lighting block.
namespace lightaddr {
inline constexpr std::uint16_t kEffect = 0;
inline constexpr std::uint16_t kBrightness = 1;
inline constexpr std::uint16_t kSpeed = 2;
inline constexpr std::uint16_t kDirection = 4;
inline constexpr std::uint16_t kColourA = 5;  // effect 9
inline constexpr std::uint16_t kColourB = 10; // base colour of effect 5
inline constexpr std::uint16_t kColourC = 15; // effect 4
inline constexpr std::uint16_t kRainbow4 = 18;
inline constexpr std::uint16_t kTrigger = 19;
inline constexpr std::uint16_t kColourD = 20; // effect 11
inline constexpr std::uint16_t kRainbow11 = 23;
inline constexpr std::uint16_t kColourE = 25; // effect 12
inline constexpr std::uint16_t kRainbow12 = 28;
inline constexpr std::uint16_t kColourF = 30; // effect 14
inline constexpr std::uint16_t kRainbow14 = 33;
inline constexpr std::uint16_t kColourG = 35; // effect 15
inline constexpr std::uint16_t kRainbow15 = 38;
} // namespace lightaddr

inline constexpr int kBrightnessMax = 4;
inline constexpr int kSpeedMax = 4;
inline constexpr std::uint8_t kTriggerSingleKey = 0;
inline constexpr std::uint8_t kTriggerGrid = 1;

struct LightingBlock {
    std::array<std::uint8_t, wire::kLightingBlockSize> bytes{};
};
static_assert(sizeof(LightingBlock) == wire::kLightingBlockSize);

// Effects with a rainbow flag: 4, 11, 12, 14 and 15, in this order wherever
// the program keeps one value per such effect.
inline constexpr std::array<int, 5> kRainbowEffects = {kEffectColourTrail, kEffect11, kEffect12, kEffect14, kEffect15};

// Slot of an effect in kRainbowEffects, or nothing for an effect without a flag.
std::optional<std::size_t> RainbowSlot(int effect);
// Address of the effect's rainbow flag (effects 4, 11, 12, 14, 15).
std::optional<std::uint16_t> RainbowFlagAddress(int effect);
// Address of the effect's own colour (effects 4, 9, 11, 12, 14, 15).
std::optional<std::uint16_t> EffectColourAddress(int effect);

// The seven effect colours, A to G, in the order LightingState keeps them.
enum class EffectColour : std::size_t { A, B, C, D, E, F, G, Count };
std::optional<EffectColour> ColourOfEffect(int effect);
std::uint16_t ColourAddress(EffectColour colour);

inline constexpr std::size_t kLightCount = 162;
inline constexpr std::size_t kLightsPerColourWrite = 18;
inline constexpr std::size_t kColourWriteBytes = kLightsPerColourWrite * kColourWireSize; // 54
inline constexpr std::size_t kColourWriteCount = 9;                                       // lights 0, 18, .. 144
inline constexpr std::size_t kWhiteLightCount = 160; // the white reset leaves lights 160 and 161 alone
static_assert(kLightCount * kColourWireSize == wire::kKeyColourTableSize);
static_assert(kColourWriteCount * kLightsPerColourWrite == kLightCount);

struct KeyColourTable {
    std::array<std::uint8_t, wire::kKeyColourTableSize> bytes{};

    // Lights outside 0 to 161 read as black and are not written.
    Colour Get(std::size_t light) const;
    void Set(std::size_t light, Colour colour);
};
static_assert(sizeof(KeyColourTable) == wire::kKeyColourTableSize);

// Light of the ordinary key at position i of the key-button order (0 to 103).
inline constexpr std::size_t kOrdinaryKeyButtons = 104;
inline constexpr std::array<std::uint8_t, kOrdinaryKeyButtons> kKeyLedTable = {
    53, 74, 72, 55, 38, 56, 57, 58, 43, 59, 60, 61, 76,  75,  44,  45,  36,  39,  54,  40,  42,  73,  37, 71, 41,  70,
    19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 81, 1,  98,  35,  89,  29,  30,  46,  47,  64,  62,  63,  18, 77, 78,  79,
    2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 106, 108, 110, 113, 111, 114, 112, 115, 96,  95,  94, 97, 107, 52,
    92, 86, 93, 69, 80, 88, 90, 87, 30, 82, 83, 84, 65,  66,  67,  48,  49,  50,  99,  31,  101, 100, 32, 33, 116, 117};
inline constexpr std::uint8_t kFnLight = 91;

// Light of macro key G1 to G9 (n = 1 to 9): G1 to G5 have lights 1 to 5, G6 to G9 share light 0.
std::optional<std::uint8_t> LightOfGKey(int n);

// The effect list's rows: the non-zero slots of the settings record's effect
// list, in order.
class EffectIndex {
public:
    struct Entry {
        int row;
        int effect;
    };

    void Rebuild(const SettingsRecord& settings);
    void Clear() { m_count = 0; }
    // Row of the effect, -1 when the list does not offer it.
    int RowOf(int effect) const;
    // Effect of the row, 0 when there is no such row.
    int EffectAt(int row) const;
    std::span<const Entry> Entries() const { return {m_entries.data(), m_count}; }

private:
    std::array<Entry, wire::kEffectListSlots> m_entries{};
    std::size_t m_count = 0;
};

} // namespace kestrune
