#pragma once

// The keyboard keeps the macros of all profiles in one macro area: a header,
// a table of entry offsets, then one entry per macro with its actions packed
// into four bytes each and, when there is room, its name. This is the codec
// between that area and a list of MacroRecords.

#include "common/Result.h"
#include "macro/MacroRecord.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

inline constexpr std::size_t kMacroEntryHeaderSize = 4; // u16 action count, u8 cycles, u8 name length
inline constexpr std::size_t kMacroEntryOffActionCount = 0;
inline constexpr std::size_t kMacroEntryOffCycles = 2;
inline constexpr std::size_t kMacroEntryOffNameLength = 3;
inline constexpr std::size_t kEncodedActionSize = 4;
inline constexpr std::size_t kEncodedOffWord = 0; // u16: delay, kind, press bit
inline constexpr std::size_t kEncodedOffSub = 2;  // with the kind, the key's hardware entry
inline constexpr std::size_t kEncodedOffValue = 3;

// The delay field holds 12 bits of 10 ms units.
inline constexpr std::int32_t kAreaDelayUnitMs = 10;
inline constexpr std::uint16_t kAreaDelayMask = 0x0FFF;
inline constexpr std::int32_t kMaxEncodableDelayMs = kAreaDelayMask * kAreaDelayUnitMs; // 40950
inline constexpr unsigned kAreaKindShift = 12;
inline constexpr std::uint16_t kAreaKindMask = 0x7;
inline constexpr std::uint16_t kAreaPressBit = 0x8000;

struct MacroAreaSize {
    std::size_t withNames = 0;
    std::size_t withoutNames = 0;
    friend bool operator==(const MacroAreaSize&, const MacroAreaSize&) = default;
};

// The byte counts the list needs with and without names. They are not capped
// at what the length word can hold, so a list too big for any keyboard shows
// up as too big rather than wrapping round to something small.
MacroAreaSize MacroAreaSizes(std::span<const MacroRecord> list);

// Fills the first totalLength bytes of buffer with the area of the list.
// totalLength goes into the header as given; bytes past what the entries need
// are zero. Fails, writing nothing, when the list holds more than kMaxMacros
// records, when totalLength is smaller than the list needs or larger than the
// length word holds, or when buffer is shorter than totalLength. The caller
// holds the lock of the copy that owns the list.
Status EncodeMacroArea(std::span<const MacroRecord> list, std::size_t totalLength, bool withNames,
                       std::span<std::uint8_t> buffer);

// One action as it sits in an entry. Delays are cut to whole 10 ms units;
// those beyond what 12 bits hold (only recording makes them) become the
// largest encodable delay, negative ones 0.
std::array<std::uint8_t, kEncodedActionSize> EncodeMacroAction(const MacroAction& action);
MacroAction DecodeMacroAction(std::span<const std::uint8_t, kEncodedActionSize> bytes);

// The name a macro gets when it has none of its own: the prefix followed by
// its 1-based number, cut to the name field.
std::u16string NumberedMacroName(std::u16string_view prefix, std::size_t number);

// Decodes count entries of an area read from the keyboard into records: ids
// 1..count by position, new flag clear, and for an entry without a name the
// prefix with its 1-based position. Every count, offset and length is checked
// against the bytes given; an area that does not hold together (wrong magic,
// a count other than the header's or above kMaxMacros, a total length beyond
// what was read, an offset or entry outside the area, more than
// kMaxMacroActions actions in an entry) gives an error and no records.
Result<std::vector<MacroRecord>> DecodeMacroArea(std::span<const std::uint8_t> area, std::size_t count,
                                                 std::u16string_view newPrefix);

} // namespace kestrune
