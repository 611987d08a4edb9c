#pragma once

// The tooltip of a key button of the main window: the key's caption and,
// when it has an assignment, what it is set to, with the language texts.

#include "config/LanguageTable.h"
#include "keymodel/KeyAssignment.h"
#include "macro/MacroRecord.h"

#include <span>
#include <string>

namespace kestrune {

// The caption of a button: KeyName of an ordinary key, "G%d" of macro key Gn.
std::u16string KeyButtonCaption(KeyIndex key);
std::u16string GKeyButtonCaption(int n);

// The text of line `line` of the function list (FUNC_KEY_DESC1..11); the
// unknown text for a line outside it.
std::u16string FunctionKeyText(const LanguageTable& table, std::size_t line);
// The text of row `row` of the media list; the unknown text outside it.
std::u16string MediaText(std::size_t row);

// What a value outside the media or function list shows as (such values
// come only from profile files).
inline constexpr std::u16string_view kUnknownChoiceText = u"?";

// Caption alone for type Default; otherwise caption, KEY_PROMPT_SET and the
// assignment: Key(name), Macro(name of the macro with that id, nothing when
// none), Media(text), Function(text); nothing more for the types without a
// pane. `macros` is the current copy's list (the caller holds its lock).
std::u16string KeyButtonTooltipText(const LanguageTable& table, std::u16string_view caption, const KeyAssignment& a,
                                    std::span<const MacroRecord> macros);

} // namespace kestrune
