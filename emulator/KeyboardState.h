#pragma once

// Everything the emulated keyboard remembers across power cycles: its memory
// regions, whether its cable is in, and the last bank status it was sent.
// The JSON form is the emulator's state file and the `dump` of the control
// tool: every byte field is a lower-case hex string.

#include "common/Result.h"
#include "wire/Protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::emulator {

using KeyTableBytes = std::array<std::uint8_t, wire::kKeyTableSize>;

struct KeyboardState {
    std::array<std::uint8_t, wire::kSettingsRecordSize> settings{};
    std::array<KeyTableBytes, wire::kProfileCount> keyTables{};
    KeyTableBytes defaultKeyTable{};
    std::vector<std::uint8_t> macroArea; // exactly MacroCapacityBytes(settings) long
    std::array<std::uint8_t, wire::kLightingBlockSize> lighting{};
    std::array<std::uint8_t, wire::kKeyColourTableSize> keyColours{};
    bool attached = true; // the cable: plugged in or pulled out
    std::array<std::uint8_t, wire::kBankStatusSize> bankStatus{};

    friend bool operator==(const KeyboardState&, const KeyboardState&) = default;
};

// Factory values: active profile 0, capacity kFactoryMacroCapacityUnits,
// effects 1 to 14 offered, every profile table and the factory table equal
// to the built-in factory key table, an erased (0xFF) macro area, the
// lighting defaults, every key light white, plugged in, bank status 05 02.
inline constexpr std::uint8_t kFactoryMacroCapacityUnits = 0x40;
KeyboardState FactoryKeyboardState();

inline std::size_t MacroCapacityBytes(const std::array<std::uint8_t, wire::kSettingsRecordSize>& settings)
{
    return std::size_t{settings[wire::kSettingsMacroCapacity]} * wire::kMacroCapacityUnit;
}

// The rules a state must keep for the keyboard to run on it: active profile
// 0 to 2 and a macro area of exactly the capacity the settings announce.
Status CheckKeyboardState(const KeyboardState& state);

// JSON text of the state (indented, one field per line, fields in a fixed order).
std::string KeyboardStateToJson(const KeyboardState& state);

// Parses and checks JSON text; the error names the field and what was wrong.
Result<KeyboardState> KeyboardStateFromJson(std::string_view text);

} // namespace kestrune::emulator
