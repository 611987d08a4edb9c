#include "config/KeyButtonText.h"

#include <string>

namespace kestrune {

namespace {

constexpr std::size_t kFunctionTextKeys = 11;
constexpr std::string_view kFunctionTextKey[kFunctionTextKeys] = {
    "FUNC_KEY_DESC1", "FUNC_KEY_DESC2", "FUNC_KEY_DESC3", "FUNC_KEY_DESC4",  "FUNC_KEY_DESC5",  "FUNC_KEY_DESC6",
    "FUNC_KEY_DESC7", "FUNC_KEY_DESC8", "FUNC_KEY_DESC9", "FUNC_KEY_DESC10", "FUNC_KEY_DESC11",
};

std::u16string Ascii(std::string_view text)
{
    return std::u16string(text.begin(), text.end());
}

} // namespace

std::u16string KeyButtonCaption(KeyIndex key)
{
    return KeyName(key);
}

std::u16string GKeyButtonCaption(int n)
{
    return u"G" + Ascii(std::to_string(n));
}

std::u16string FunctionKeyText(const LanguageTable& table, std::size_t line)
{
    if (line >= kFunctionTextKeys) return std::u16string(kUnknownChoiceText);
    return table.Text(kFunctionTextKey[line]);
}

std::u16string MediaText(std::size_t row)
{
    if (row >= kMediaCount) return std::u16string(kUnknownChoiceText);
    return KeyName(MediaTable[row].key);
}

std::u16string KeyButtonTooltipText(const LanguageTable& table, std::u16string_view caption, const KeyAssignment& a,
                                    std::span<const MacroRecord> macros)
{
    std::u16string text(caption);
    if (a.type == AssignmentType::Default) return text;
    text += table.Text("KEY_PROMPT_SET");
    switch (a.type) {
    case AssignmentType::RemapKey:
        text += table.Text("KEY_PROMPT_SINGLE");
        text += a.value <= kMaxKeyIndex ? KeyName(static_cast<KeyIndex>(a.value)) : std::u16string(kUnknownChoiceText);
        text += u")";
        break;
    case AssignmentType::PlayMacro:
        text += table.Text("KEY_PROMPT_MACRO");
        for (const auto& macro : macros) {
            if (macro.id == a.value) {
                text += macro.Name();
                break;
            }
        }
        text += u")";
        break;
    case AssignmentType::Media:
        text += table.Text("KEY_PROMPT_MEDIA") + MediaText(a.value) + u")";
        break;
    case AssignmentType::FunctionKey:
        text += table.Text("KEY_PROMPT_FUNCTION") + FunctionKeyText(table, a.value) + u")";
        break;
    case AssignmentType::Unknown:
        text += table.Text("KEY_PROMPT_UNKNOWN") + Ascii(HardwareEntryText(RawEntryOf(a.value))) + u")";
        break;
    default:
        break;
    }
    return text;
}

} // namespace kestrune
