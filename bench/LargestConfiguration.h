#pragma once

// The largest configuration a user can download: every ordinary key of a
// profile remapped, and as many macros of as many actions as the keyboard's
// macro area takes.

#include "config/ConfigStore.h"
#include "keymodel/KeyAssignment.h"
#include "keymodel/KeyCodes.h"
#include "macro/MacroArea.h"
#include "macro/MacroRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::bench {

// As many macros of 40 actions as fit 'capacity' bytes of macro area.
inline std::vector<MacroRecord> LargestMacroList(std::size_t capacity)
{
    static constexpr std::uint16_t keys[] = {0x01D, 0x01E, 0x130, 0x15E, 0x054, 0x136};
    std::vector<MacroRecord> list;
    for (std::uint16_t id = 1; id <= kMaxMacros; ++id) {
        MacroRecord record = MakeMacroRecord(u"Macro " + std::u16string(1, char16_t(u'A' + id % 26)), id);
        for (std::size_t i = 0; i < 40; ++i)
            record.AppendAction({static_cast<std::int32_t>(10 * i), keys[i % 6], static_cast<std::uint16_t>(i % 2)});
        list.push_back(record);
        if (MacroAreaSizes(list).withNames > capacity) {
            list.pop_back();
            break;
        }
    }
    return list;
}

// Every ordinary key of the profile plays the next one. The caller holds the
// copy's CurrentLock.
inline void RemapOrdinaryKeys(CurrentCopy& current, std::size_t profile)
{
    for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i) {
        KeyAssignment* slot = current.Assignment(profile, CompactFromKey(KeyButtonOrder[i]));
        if (slot != nullptr)
            SetAssignment(*slot, AssignmentType::RemapKey, 0, KeyButtonOrder[(i + 1) % kOrdinaryKeyCount]);
    }
}

} // namespace kestrune::bench
