#pragma once

// The action list of the macro editor: the rows of the macro being edited,
// with the selection, and the edits the editor makes on them. A row's delay
// is the time from its action to the next one.

#include "macro/MacroRecord.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kestrune {

// What recording stores instead of the measured delay when the record-delay
// option is off.
inline constexpr std::int32_t kFixedRecordDelayMs = 50;

enum class RowMove { Top, Up, Down, Bottom };

class MacroActionList {
public:
    std::span<const MacroAction> Rows() const { return m_rows; }
    std::size_t Size() const { return m_rows.size(); }
    bool Full() const { return m_rows.size() >= kMaxMacroActions; }

    // -1 = none.
    int Selected() const { return m_selected; }
    void Select(int row);

    // Adds one action and gives its row, or nullopt when the list is full.
    // A direction above 1 becomes a press. A recorded action's delay becomes
    // kFixedRecordDelayMs unless the record-delay option is 1. Placed after
    // the selected row when afterSelection is set and a row is selected,
    // else at the end. Unless loading, the given delay goes to the row above
    // and the new row takes that row's former delay (a new first row gets 0
    // and the given delay is dropped), so each delay stays the time to the
    // next action. A recorded row becomes the selected one.
    std::optional<int> Add(MacroAction action, bool recorded, int recordDelayOption, bool afterSelection, bool loading);

    // The record's actions, as loaded rows; no selection.
    void Load(const MacroRecord& record);
    // The rows as the record's actions (count and actions; nothing else changes).
    void SaveInto(MacroRecord& record) const;

    // Removes the selected row, selecting the next row or, for the last one,
    // the previous. False when no row is selected.
    bool DeleteSelected();
    void Clear();
    // Moves the selected row with its delay; it stays selected. False when no
    // row is selected.
    bool MoveSelected(RowMove move);

    // Cell edits; false for a row out of range.
    bool SetKey(int row, std::uint16_t key);
    bool SetDirection(int row, std::uint16_t direction);
    bool SetDelay(int row, std::int32_t delay);

private:
    std::vector<MacroAction> m_rows;
    int m_selected = -1;
};

// A delay typed into a delay cell. Empty text: nothing. Digits only; a number
// above kMaxEditedDelayMs (however long) gives kMaxEditedDelayMs with
// tooLong set; the result is rounded down to a multiple of
// kEditedDelayStepMs.
struct TypedDelay {
    std::int32_t delay = 0;
    bool tooLong = false;
};
std::optional<TypedDelay> ParseTypedDelay(std::u16string_view text);

// The cycles box: a decimal integer kept in 1..255. Text that is not a number
// (or is empty) reads as 1. `corrected` says the box must show `cycles`
// instead of what was typed.
struct TypedCycles {
    std::uint8_t cycles = kMinMacroCycles;
    bool corrected = false;
};
TypedCycles ParseTypedCycles(std::u16string_view text);

// The name of the editor's next new macro: prefix + counter, the counter
// growing until no existing name begins with it (letter case ignored).
// Gives the name and leaves the counter at the number used.
std::u16string NextNewMacroName(std::u16string_view prefix, int& counter, std::span<const std::u16string> names);

} // namespace kestrune
