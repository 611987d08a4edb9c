#pragma once

// What every key of a profile does, in the program's form (KeyMap, 512 slots
// of 16 bytes) and in the keyboard's form (HardwareKeyTable, 160 positions of
// three bytes), and the conversions between the two.

#include "common/Result.h"
#include "keymodel/KeyCodes.h"
#include "wire/Protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrune {

// --- Assignments --------------------------------------------------------------

enum class AssignmentType : std::uint16_t {
    Default = 0,       // the key keeps its factory code
    Disabled = 1,      // the key sends nothing
    RemapKey = 2,      // value: KeyIndex to produce
    LaunchProgram = 3, // value: offset of the path in a profile file's string area
    PlayMacro = 4,     // value: macro id
    StopMacro = 5,
    TextBlock = 6,   // value: offset of the text in a profile file's string area
    Media = 7,       // value: MediaTable row
    FunctionKey = 8, // value: keyboard function number
    // An entry of the keyboard's table that no other type stands for exactly
    // (a system usage, several modifiers, a kind the program does not know):
    // value holds its three bytes (see RawEntryValue), and it goes back to the
    // keyboard as it came. Only a read-back makes it.
    Unknown = 9,
};

inline constexpr std::uint16_t kAssignmentTypeCount = 10;

// The colour-keys mark of a slot: non-zero = marked. The main window toggles
// it between 0 and 1.
using ColourKeyMark = std::uint32_t;

// One slot of a key map. The in-memory layout matches the stored record, but
// bytes only ever pass through ReadKeyAssignment / WriteKeyAssignment.
struct KeyAssignment {
    AssignmentType type = AssignmentType::Default;
    std::uint16_t aux = 0;   // GKeyId on macro-key slots; repeat count of a PlayMacro from the combined dialog
    std::uint32_t value = 0; // meaning depends on type
    ColourKeyMark mark = 0;  // numbered by button position, not by slot: see ColourMarkSlotOfButton
    std::uint32_t reserved = 0;
    friend constexpr bool operator==(const KeyAssignment&, const KeyAssignment&) = default;
};

inline constexpr std::size_t kKeyAssignmentSize = 16;
inline constexpr std::size_t kAssignmentOffType = 0;
inline constexpr std::size_t kAssignmentOffAux = 2;
inline constexpr std::size_t kAssignmentOffValue = 4;
inline constexpr std::size_t kAssignmentOffMark = 8;
inline constexpr std::size_t kAssignmentOffReserved = 12;
static_assert(sizeof(KeyAssignment) == kKeyAssignmentSize);

// Rewrites type, aux and value of a slot; the mark and the reserved word stay.
constexpr void SetAssignment(KeyAssignment& slot, AssignmentType type, std::uint16_t aux, std::uint32_t value)
{
    slot.type = type;
    slot.aux = aux;
    slot.value = value;
}

// --- Key maps -----------------------------------------------------------------

inline constexpr std::size_t kKeyMapSlots = 512;
inline constexpr std::size_t kKeyMapSize = kKeyMapSlots * kKeyAssignmentSize; // 8192
inline constexpr std::size_t kKeySlotCount = 256;                             // slots 0..255 by CompactKey
inline constexpr std::size_t kGKeyFirstSlot = 256;                            // G1..G9 bank A, then bank B
inline constexpr std::size_t kGKeySlotCount = 18;

struct KeyMap {
    std::array<KeyAssignment, kKeyMapSlots> slots{};

    KeyAssignment& operator[](std::size_t slot) { return slots[slot]; }
    const KeyAssignment& operator[](std::size_t slot) const { return slots[slot]; }
    friend bool operator==(const KeyMap&, const KeyMap&) = default;
};
static_assert(sizeof(KeyMap) == kKeyMapSize);

// Slot of an ordinary key.
constexpr std::size_t SlotOfKey(KeyIndex key)
{
    return CompactFromKey(key);
}

// Slot of macro key Gn (n = 1..9) in a bank: 255 + n for bank A, 264 + n for
// bank B; nullopt for n out of range.
constexpr std::optional<std::size_t> GKeySlot(int n, GKeyBank bank)
{
    if (n < 1 || n > kGKeyCount) return std::nullopt;
    return kGKeyFirstSlot - 1 + static_cast<std::size_t>(n) + (bank == GKeyBank::B ? kGKeyCount : 0);
}

// The slot whose mark field holds the colour-keys mark of the ordinary key at
// position i of KeyButtonOrder (marks are numbered by button position, not by key).
constexpr std::size_t ColourMarkSlotOfButton(std::size_t position)
{
    return position;
}

// The slot whose mark field holds the colour-keys mark of macro key Gn in a
// bank: the macro key's own slot. Slots n - 1 and n + 8 would collide with the
// marks of the first 18 ordinary keys.
constexpr std::optional<std::size_t> ColourMarkSlotOfGKey(int n, GKeyBank bank)
{
    return GKeySlot(n, bank);
}

// All slots zero, then aux of the macro-key slots set to their GKeyId.
void InitialiseKeyMap(KeyMap& map);
KeyMap MakeInitialisedKeyMap();

// Byte form, little-endian. Reading checks the length first.
Status WriteKeyAssignment(const KeyAssignment& assignment, std::span<std::uint8_t> out);
Result<KeyAssignment> ReadKeyAssignment(std::span<const std::uint8_t> bytes);

Status WriteKeyMap(const KeyMap& map, std::span<std::uint8_t> out);
std::array<std::uint8_t, kKeyMapSize> KeyMapToBytes(const KeyMap& map);
Result<KeyMap> ReadKeyMap(std::span<const std::uint8_t> bytes);

// --- Hardware key table -------------------------------------------------------

// Kinds and subs of a hardware entry.
inline constexpr std::uint8_t kHwKindNone = 0;
inline constexpr std::uint8_t kHwKindKey = 2;      // sub 1: modifier byte; sub 2: keyboard usage
inline constexpr std::uint8_t kHwKindConsumer = 3; // sub, value: consumer usage little-endian
inline constexpr std::uint8_t kHwKindSystem = 4;   // sub, value: generic-desktop usage little-endian
inline constexpr std::uint8_t kHwKindMacro = 5;    // sub 1: play, 2: stop, 5: keyboard function
inline constexpr std::uint8_t kHwSubModifier = 1;
inline constexpr std::uint8_t kHwSubUsage = 2;
inline constexpr std::uint8_t kHwSubPlayMacro = 1;
inline constexpr std::uint8_t kHwSubStopMacro = 2;
inline constexpr std::uint8_t kHwSubFunction = 5;

struct HardwareEntry {
    std::uint8_t kind = 0;
    std::uint8_t sub = 0;
    std::uint8_t value = 0;
    friend constexpr bool operator==(const HardwareEntry&, const HardwareEntry&) = default;
};
inline constexpr std::size_t kHardwareEntrySize = 3;
static_assert(sizeof(HardwareEntry) == kHardwareEntrySize);

// The value of an Unknown assignment: kind, sub and value in bytes 0 to 2.
constexpr std::uint32_t RawEntryValue(HardwareEntry entry)
{
    return std::uint32_t{entry.kind} | std::uint32_t{entry.sub} << 8 | std::uint32_t{entry.value} << 16;
}
constexpr HardwareEntry RawEntryOf(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>((value >> 16) & 0xFF)};
}

// The three bytes in hex, as "05 07 09".
std::string HardwareEntryText(HardwareEntry entry);

inline constexpr std::size_t kHardwarePositions = 160;

struct HardwareKeyTable {
    std::array<HardwareEntry, kHardwarePositions> entries{};

    HardwareEntry& operator[](std::size_t position) { return entries[position]; }
    const HardwareEntry& operator[](std::size_t position) const { return entries[position]; }
    friend constexpr bool operator==(const HardwareKeyTable&, const HardwareKeyTable&) = default;
};
inline constexpr std::size_t kHardwareKeyTableSize = kHardwarePositions * kHardwareEntrySize; // 480
static_assert(sizeof(HardwareKeyTable) == kHardwareKeyTableSize);
static_assert(kHardwareKeyTableSize == wire::kKeyTableSize);

std::array<std::uint8_t, kHardwareKeyTableSize> HardwareKeyTableToBytes(const HardwareKeyTable& table);
Status WriteHardwareKeyTable(const HardwareKeyTable& table, std::span<std::uint8_t> out);
Result<HardwareKeyTable> ReadHardwareKeyTable(std::span<const std::uint8_t> bytes);

// --- Conversions ----------------------------------------------------------------

// The key a hardware entry produces; 0 when the entry is not a key.
KeyIndex KeyFromTriple(HardwareEntry entry);

// The hardware table of one profile. defaultTable is the keyboard's factory
// table (the built-in copy until one has been read from the keyboard);
// macroIds are the ids of the macro list in list order, so that a PlayMacro
// assignment can become the macro's position. Callers hold the lock of the
// configuration copy the key map belongs to.
HardwareKeyTable EncodeKeyTable(const KeyMap& map, const HardwareKeyTable& defaultTable,
                                std::span<const std::uint16_t> macroIds);

// The entry an assignment puts at a position whose factory entry is 'factory'.
HardwareEntry EncodeEntry(const KeyAssignment& assignment, HardwareEntry factory,
                          std::span<const std::uint16_t> macroIds);

// The key map a hardware table read back from the keyboard stands for. An
// entry that no assignment would encode back to exactly becomes Unknown, so
// a read-back followed by a download leaves the keyboard's table as it was.
KeyMap DecodeKeyTable(const HardwareKeyTable& keyboardTable, const HardwareKeyTable& defaultTable);

} // namespace kestrune
