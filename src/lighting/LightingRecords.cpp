#include "lighting/LightingRecords.h"

#include <algorithm>

namespace kestrune {

std::optional<std::size_t> RainbowSlot(int effect)
{
    for (std::size_t i = 0; i < kRainbowEffects.size(); ++i)
        if (kRainbowEffects[i] == effect) return i;
    return std::nullopt;
}

std::optional<std::uint16_t> RainbowFlagAddress(int effect)
{
    static constexpr std::array<std::uint16_t, kRainbowEffects.size()> addresses = {
        lightaddr::kRainbow4, lightaddr::kRainbow11, lightaddr::kRainbow12, lightaddr::kRainbow14,
        lightaddr::kRainbow15};
    if (auto slot = RainbowSlot(effect)) return addresses[*slot];
    return std::nullopt;
}

std::optional<EffectColour> ColourOfEffect(int effect)
{
    switch (effect) {
    case kEffectSingleColour:
        return EffectColour::A;
    case kEffectPerKey:
        return EffectColour::B;
    case kEffectColourTrail:
        return EffectColour::C;
    case kEffect11:
        return EffectColour::D;
    case kEffect12:
        return EffectColour::E;
    case kEffect14:
        return EffectColour::F;
    case kEffect15:
        return EffectColour::G;
    default:
        return std::nullopt;
    }
}

std::uint16_t ColourAddress(EffectColour colour)
{
    static constexpr std::array<std::uint16_t, static_cast<std::size_t>(EffectColour::Count)> addresses = {
        lightaddr::kColourA, lightaddr::kColourB, lightaddr::kColourC, lightaddr::kColourD,
        lightaddr::kColourE, lightaddr::kColourF, lightaddr::kColourG};
    return addresses[static_cast<std::size_t>(colour)];
}

std::optional<std::uint16_t> EffectColourAddress(int effect)
{
    // The base colour of effect 5 is written with its key colours, not as an effect colour.
    if (effect == kEffectPerKey) return std::nullopt;
    if (auto colour = ColourOfEffect(effect)) return ColourAddress(*colour);
    return std::nullopt;
}

Colour KeyColourTable::Get(std::size_t light) const
{
    if (light >= kLightCount) return 0;
    return ColourAt(bytes, light * kColourWireSize);
}

void KeyColourTable::Set(std::size_t light, Colour colour)
{
    if (light >= kLightCount) return;
    const auto rgb = ColourBytes(colour);
    std::copy(rgb.begin(), rgb.end(), bytes.begin() + static_cast<std::ptrdiff_t>(light * kColourWireSize));
}

std::optional<std::uint8_t> LightOfGKey(int n)
{
    constexpr int kMacroKeys = 9;
    constexpr int kLastOwnLight = 5;
    if (n < 1 || n > kMacroKeys) return std::nullopt;
    return static_cast<std::uint8_t>(n <= kLastOwnLight ? n : 0);
}

void EffectIndex::Rebuild(const SettingsRecord& settings)
{
    m_count = 0;
    for (std::size_t slot = 0; slot < wire::kEffectListSlots; ++slot) {
        const int effect = settings.EffectSlot(slot);
        if (effect == 0) continue;
        m_entries[m_count] = {static_cast<int>(m_count), effect};
        ++m_count;
    }
}

int EffectIndex::RowOf(int effect) const
{
    for (const Entry& entry : Entries())
        if (entry.effect == effect) return entry.row;
    return -1;
}

int EffectIndex::EffectAt(int row) const
{
    for (const Entry& entry : Entries())
        if (entry.row == row) return entry.effect;
    return 0;
}

} // namespace kestrune
