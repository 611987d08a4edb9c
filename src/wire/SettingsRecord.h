#pragma once

// The keyboard's 28-byte settings record (ReadSettings / WriteSettings):
// active profile, macro capacity and the effects the keyboard offers. Read at
// every attach, by the transfer, the lighting and the emulator alike.

#include "wire/Protocol.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune {

// Bytes the program does not use are carried unchanged when the record is
// written back.
struct SettingsRecord {
    std::array<std::uint8_t, wire::kSettingsRecordSize> bytes{};

    int ActiveProfileByte() const { return bytes[wire::kSettingsActiveProfile]; }
    void SetActiveProfileByte(std::uint8_t profile) { bytes[wire::kSettingsActiveProfile] = profile; }
    std::size_t MacroCapacityBytes() const { return wire::kMacroCapacityUnit * bytes[wire::kSettingsMacroCapacity]; }
    std::uint8_t EffectSlot(std::size_t slot) const { return bytes[wire::kSettingsEffectList + slot]; }
    void ClearEffectList()
    {
        std::fill_n(bytes.begin() + wire::kSettingsEffectList, wire::kEffectListSlots, std::uint8_t{0});
    }
    bool OffersEffect(int effect) const
    {
        for (std::size_t slot = 0; slot < wire::kEffectListSlots; ++slot)
            if (EffectSlot(slot) == effect) return true;
        return false;
    }
};
static_assert(sizeof(SettingsRecord) == wire::kSettingsRecordSize);

} // namespace kestrune
