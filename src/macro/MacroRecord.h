#pragma once

// A macro as the configuration store, profile files and the macro editor hold
// it: a fixed-size record whose byte image lies back to back with the others
// of its list. The in-memory struct mirrors the byte layout, but bytes only
// ever cross through MacroRecordToBytes / MacroRecordFromBytes, so the layout
// stays little-endian whatever the host is.

#include "common/Result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kestrune {

inline constexpr std::size_t kMacroActionSize = 8;
inline constexpr std::size_t kMacroRecordSize = 16512;

inline constexpr std::size_t kMaxMacros = 100;
inline constexpr std::size_t kMaxMacroActions = 2000;
inline constexpr std::size_t kMacroNameUnits = 250;     // room in the record, terminator included
inline constexpr std::size_t kMaxMacroNameLength = 249; // characters before the terminator
inline constexpr std::uint16_t kMinMacroId = 1;
inline constexpr std::uint16_t kMaxMacroId = 100;
inline constexpr std::uint8_t kMinMacroCycles = 1;
inline constexpr std::uint8_t kMaxMacroCycles = 255;
inline constexpr std::uint8_t kNewMacroCycles = 1;
inline constexpr std::int32_t kMaxEditedDelayMs = 40000; // what the editor lets a user type
inline constexpr std::int32_t kEditedDelayStepMs = 10;

// Byte offsets inside a record image.
inline constexpr std::size_t kMacroOffName = 0;
inline constexpr std::size_t kMacroOffCycles = 500;
inline constexpr std::size_t kMacroOffReserved1 = 501;
inline constexpr std::size_t kMacroOffNewFlag = 502;
inline constexpr std::size_t kMacroOffReserved2 = 504;
inline constexpr std::size_t kMacroOffId = 506;
inline constexpr std::size_t kMacroOffActionCount = 508;
inline constexpr std::size_t kMacroOffReserved3 = 510;
inline constexpr std::size_t kMacroOffActions = 512;

// Byte offsets inside an action image.
inline constexpr std::size_t kActionOffDelay = 0;
inline constexpr std::size_t kActionOffKey = 4;
inline constexpr std::size_t kActionOffDirection = 6;

inline constexpr std::uint16_t kMacroPress = 0;
inline constexpr std::uint16_t kMacroRelease = 1;

struct MacroAction {
    std::int32_t delay = 0;                // milliseconds until the next action
    std::uint16_t key = 0;                 // KeyIndex
    std::uint16_t direction = kMacroPress; // kMacroPress or kMacroRelease

    bool IsPress() const { return direction == kMacroPress; }
    friend bool operator==(const MacroAction&, const MacroAction&) = default;
};
static_assert(sizeof(MacroAction) == kMacroActionSize);

struct MacroRecord {
    std::array<char16_t, kMacroNameUnits> name{};
    std::uint8_t cycles = kNewMacroCycles;
    std::uint8_t reserved1 = 0;
    std::uint16_t newFlag = 0; // 1 only for a macro that lives in the open editor, not yet applied
    std::uint16_t reserved2 = 0;
    std::uint16_t id = 0; // 1..100, unique within its list; PlayMacro assignments hold it
    std::uint16_t actionCount = 0;
    std::uint16_t reserved3 = 0;
    std::array<MacroAction, kMaxMacroActions> actions{};

    // The name up to its terminator, never more than kMaxMacroNameLength units
    // even when a record from a file carries no terminator.
    std::u16string_view Name() const;
    // Stores the text cut to kMaxMacroNameLength units and terminated; the
    // rest of the name field is cleared.
    void SetName(std::u16string_view text);

    // The actions that mean something: the first actionCount, at most
    // kMaxMacroActions even when a record from a file claims more.
    std::span<const MacroAction> Actions() const;
    std::size_t EffectiveActionCount() const;
    // Appends an action; false when the record already holds kMaxMacroActions.
    bool AppendAction(const MacroAction& action);

    friend bool operator==(const MacroRecord&, const MacroRecord&) = default;
};
static_assert(sizeof(MacroRecord) == kMacroRecordSize);
static_assert(offsetof(MacroRecord, cycles) == kMacroOffCycles);
static_assert(offsetof(MacroRecord, newFlag) == kMacroOffNewFlag);
static_assert(offsetof(MacroRecord, id) == kMacroOffId);
static_assert(offsetof(MacroRecord, actionCount) == kMacroOffActionCount);
static_assert(offsetof(MacroRecord, actions) == kMacroOffActions);

// A zeroed record with a name, cycles 1 and the given id: how the editor
// starts a macro.
MacroRecord MakeMacroRecord(std::u16string_view name, std::uint16_t id);

void MacroActionToBytes(const MacroAction& action, std::span<std::uint8_t, kMacroActionSize> out);
MacroAction MacroActionFromBytes(std::span<const std::uint8_t, kMacroActionSize> bytes);

// Which action slots a record read from bytes decodes.
enum class ActionSlots {
    // All kMaxMacroActions, so that the record is written back unchanged.
    All,
    // Only the actions the record uses (Actions()); the slots past them stay
    // zero. For a copy that goes to the keyboard, which takes no more.
    Used,
};

// Every byte of the record is written, reserved ones included, so a record
// read from a file (with ActionSlots::All) is written back unchanged.
void MacroRecordToBytes(const MacroRecord& record, std::span<std::uint8_t, kMacroRecordSize> out);
MacroRecord MacroRecordFromBytes(std::span<const std::uint8_t, kMacroRecordSize> bytes,
                                 ActionSlots slots = ActionSlots::All);

// A list as it lies in a profile file: count records back to back.
std::vector<std::uint8_t> MacroListToBytes(std::span<const MacroRecord> list);
// Reads count records from the start of bytes; fails when count is above
// kMaxMacros or bytes holds fewer than count records.
Result<std::vector<MacroRecord>> MacroListFromBytes(std::span<const std::uint8_t> bytes, std::size_t count,
                                                    ActionSlots slots = ActionSlots::All);

// The rules every stored list keeps: at most kMaxMacros records, ids in
// 1..100 and unique, at most kMaxMacroActions actions, cycles 1..255, names
// terminated within the name field. The message names the first record that
// breaks one.
Status CheckMacroList(std::span<const MacroRecord> list);

// The smallest id in 1..100 that no record of the list uses; 0 when all are taken.
std::uint16_t SmallestFreeMacroId(std::span<const MacroRecord> list);

// The id of the record at a position of the list; 0 when the position is
// negative or not below the count. The caller holds the lock of the copy that
// owns the list.
std::uint16_t MacroIdAtPosition(std::span<const MacroRecord> list, int position);

} // namespace kestrune
