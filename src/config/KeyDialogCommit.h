#pragma once

// What the key dialog's Apply does to the configuration: commit the macro
// editor's list, resetting keys whose macro went away, and write the chosen
// assignment into one key-map slot. The caller holds CurrentLock for both.

#include "config/ConfigStore.h"
#include "keymodel/KeyAssignment.h"
#include "macro/MacroRecord.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrune {

inline constexpr std::size_t kFunctionKeyCount = 11;

// Replaces the copy's macro list with the editor's. First, in all four key
// maps, a PlayMacro of id 0 gets the first edited macro's id (when there is
// one), and a PlayMacro of an id no edited macro has, or that only a macro
// created in the editor has, becomes Default (its value stays). The new flag
// of every edited macro is cleared, in `edited` too, so a later commit of
// the same list no longer treats them as new. Gives whether any slot changed.
bool CommitEditedMacros(CurrentCopy& copy, std::span<MacroRecord> edited);

// What the dialog's panes hold at Apply.
struct KeyChoice {
    AssignmentType paneType = AssignmentType::Default;
    KeyIndex capturedKey = kNoKey; // single-key pane
    std::uint16_t macroId = 0;     // macro pane: id of the current macro (0 for none)
    bool editorHasMacros = false;  // macro pane
    std::uint8_t cycles = 1;       // macro pane
    int mediaLine = 0;             // media pane, MediaTable row
    int functionLine = 0;          // function pane, 0..10
};

// The aux a slot carries when nothing else goes there: its GKeyId on the
// macro-key slots, 0 elsewhere.
std::uint16_t DefaultAuxOfSlot(std::size_t slot);

// Builds the assignment of `choice` and writes type, aux and value into the
// slot of key map `map` (mark and reserved stay), releasing the slot's
// string. A slot whose pane type is still a stored type without a pane
// (Disabled, LaunchProgram, StopMacro, TextBlock) is left exactly as it is,
// string included: the user chose nothing for it. Gives the slot as written,
// nullopt when the copy has no block or map/slot is out of range.
std::optional<KeyAssignment> WriteKeyChoice(CurrentCopy& copy, std::size_t map, std::size_t slot,
                                            const KeyChoice& choice);

// A type the dialog has a pane for.
constexpr bool HasDialogPane(AssignmentType type)
{
    return type == AssignmentType::Default || type == AssignmentType::RemapKey || type == AssignmentType::PlayMacro ||
           type == AssignmentType::Media || type == AssignmentType::FunctionKey;
}

} // namespace kestrune
