#include "config/KeyDialogCommit.h"

#include <algorithm>

namespace kestrune {

bool CommitEditedMacros(CurrentCopy& copy, std::span<MacroRecord> edited)
{
    bool changed = false;
    if (ConfigBlock* block = copy.Block()) {
        for (std::size_t i = 0; i < kStringSlotCount; ++i) {
            KeyAssignment& slot = block->AssignmentAt(i);
            if (slot.type != AssignmentType::PlayMacro) continue;
            if (slot.value == 0) {
                if (!edited.empty()) {
                    slot.value = edited.front().id;
                    changed = true;
                }
                continue;
            }
            const auto it =
                std::find_if(edited.begin(), edited.end(), [&](const MacroRecord& m) { return m.id == slot.value; });
            if (it == edited.end() || it->newFlag != 0) {
                slot.type = AssignmentType::Default;
                changed = true;
            }
        }
    }
    for (auto& macro : edited) macro.newFlag = 0;
    copy.Macros().assign(edited.begin(), edited.end());
    return changed;
}

std::uint16_t DefaultAuxOfSlot(std::size_t slot)
{
    for (int n = 1; n <= kGKeyCount; ++n) {
        if (GKeySlot(n, GKeyBank::A) == slot) return GKeyId(n, GKeyBank::A);
        if (GKeySlot(n, GKeyBank::B) == slot) return GKeyId(n, GKeyBank::B);
    }
    return 0;
}

std::optional<KeyAssignment> WriteKeyChoice(CurrentCopy& copy, std::size_t map, std::size_t slot,
                                            const KeyChoice& choice)
{
    KeyAssignment* target = copy.Assignment(map, slot);
    if (target == nullptr || map >= kConfigKeyMapCount) return std::nullopt;
    if (!HasDialogPane(choice.paneType)) return *target;

    AssignmentType type = choice.paneType;
    std::uint16_t aux = DefaultAuxOfSlot(slot);
    std::uint32_t value = 0;
    copy.Strings().Clear(StringSlotIndex(map, slot));

    switch (type) {
    case AssignmentType::RemapKey:
        value = choice.capturedKey;
        if (choice.capturedKey == kNoKey || CompactFromKey(choice.capturedKey) == slot) type = AssignmentType::Default;
        break;
    case AssignmentType::PlayMacro:
        if (!choice.editorHasMacros) {
            type = AssignmentType::Default;
        } else {
            value = choice.macroId;
            aux = choice.cycles;
        }
        break;
    case AssignmentType::Media:
        if (choice.mediaLine >= 0 && static_cast<std::size_t>(choice.mediaLine) < kMediaCount)
            value = static_cast<std::uint32_t>(choice.mediaLine);
        break;
    case AssignmentType::FunctionKey:
        if (choice.functionLine >= 0 && static_cast<std::size_t>(choice.functionLine) < kFunctionKeyCount)
            value = static_cast<std::uint32_t>(choice.functionLine);
        break;
    default:
        break;
    }
    SetAssignment(*target, type, aux, value);
    return *target;
}

} // namespace kestrune
