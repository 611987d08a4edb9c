#pragma once

// The configuration block: header, device block and the four key maps, laid
// out exactly like the first kConfigBlockSize bytes of a profile file. Key map
// m serves keyboard profile m for m = 0..2; key map 3 is carried in files and
// copies but never edited, downloaded or shown.

#include "config/ConfigHeader.h"
#include "config/StringSlotTable.h"
#include "keymodel/KeyAssignment.h"
#include "macro/MacroRecord.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kestrune {

struct ConfigBlock {
    ConfigHeader header;
    DeviceBlock device{};
    std::array<KeyMap, kConfigKeyMapCount> maps{};

    // Slot s of key map m is string slot 512 x m + s; this is the assignment
    // that goes with string slot index. The caller keeps index below
    // kStringSlotCount.
    KeyAssignment& AssignmentAt(std::size_t index) { return maps[index / kKeyMapSlots][index % kKeyMapSlots]; }
    const KeyAssignment& AssignmentAt(std::size_t index) const
    {
        return maps[index / kKeyMapSlots][index % kKeyMapSlots];
    }

    friend bool operator==(const ConfigBlock&, const ConfigBlock&) = default;
};
static_assert(sizeof(ConfigBlock) == kConfigBlockSize);
static_assert(offsetof(ConfigBlock, device) == kConfigHeaderSize);
static_assert(offsetof(ConfigBlock, maps) == kKeyMapsOffset);
static_assert(kConfigKeyMapCount * kKeyMapSlots == kStringSlotCount);
static_assert(kStringSlotCount == kConfigKeySlotCount);
static_assert(kSlotsPerKeyMap == kKeyMapSlots);

// Byte form, little-endian, every byte written.
void ConfigBlockToBytes(const ConfigBlock& block, std::span<std::uint8_t, kConfigBlockSize> out);
ConfigBlock ConfigBlockFromBytes(std::span<const std::uint8_t, kConfigBlockSize> bytes);

// A block built from scratch: a header for no macros and no strings with the
// given flag, the device block, all key maps clear and the macro-key slots of
// key map 0 named by their GKeyId. Throws std::bad_alloc when memory is short.
std::unique_ptr<ConfigBlock> MakeDefaultConfigBlock(std::uint8_t flag);

// Lays the texts of the program and text-block keys out in a string area of
// stringBytes bytes, in string slot order, and points each packed key's value
// at its text's byte offset. A slot is packed only when it holds a text, its
// key is LaunchProgram or TextBlock, and the text fits in what is left; the
// value of a key whose text does not fit stays as it was. A program or
// text-block key without a text gets kNoStringOffset, so that it cannot pick
// up another key's text when the file is read again. Bytes after the last
// text are zero. Throws std::bad_alloc when memory is short.
inline constexpr std::uint32_t kNoStringOffset = 0xFFFFFFFF; // outside any string area

std::vector<std::uint8_t> PackStrings(ConfigBlock& block, const StringSlotTable& strings, std::uint32_t stringBytes);

// Whether a key of this type keeps its text in a string slot.
constexpr bool HasStringSlot(AssignmentType type)
{
    return type == AssignmentType::LaunchProgram || type == AssignmentType::TextBlock;
}

// Position (0-based) of the first record with this id; 0 when no record has
// it, as for the first record, and for an empty list.
std::size_t MacroPosition(std::span<const MacroRecord> macros, std::uint16_t id);

} // namespace kestrune
