#include "macro/MacroRecord.h"

#include "common/LittleEndian.h"

#include <algorithm>
#include <bitset>
#include <string>

namespace kestrune {

std::u16string_view MacroRecord::Name() const
{
    const auto end = std::find(name.begin(), name.begin() + kMaxMacroNameLength, u'\0');
    return {name.data(), static_cast<std::size_t>(end - name.begin())};
}

void MacroRecord::SetName(std::u16string_view text)
{
    name.fill(u'\0');
    const std::size_t length = std::min(text.size(), kMaxMacroNameLength);
    std::copy_n(text.begin(), length, name.begin());
}

std::size_t MacroRecord::EffectiveActionCount() const
{
    return std::min<std::size_t>(actionCount, kMaxMacroActions);
}

std::span<const MacroAction> MacroRecord::Actions() const
{
    return std::span<const MacroAction>(actions).first(EffectiveActionCount());
}

bool MacroRecord::AppendAction(const MacroAction& action)
{
    const std::size_t count = EffectiveActionCount();
    if (count >= kMaxMacroActions) return false;
    actions[count] = action;
    actionCount = static_cast<std::uint16_t>(count + 1);
    return true;
}

MacroRecord MakeMacroRecord(std::u16string_view name, std::uint16_t id)
{
    MacroRecord record;
    record.SetName(name);
    record.cycles = kNewMacroCycles;
    record.id = id;
    return record;
}

void MacroActionToBytes(const MacroAction& action, std::span<std::uint8_t, kMacroActionSize> out)
{
    WriteLeI32(out, kActionOffDelay, action.delay);
    WriteLe16(out, kActionOffKey, action.key);
    WriteLe16(out, kActionOffDirection, action.direction);
}

MacroAction MacroActionFromBytes(std::span<const std::uint8_t, kMacroActionSize> bytes)
{
    MacroAction action;
    action.delay = ReadLeI32(bytes, kActionOffDelay);
    action.key = ReadLe16(bytes, kActionOffKey);
    action.direction = ReadLe16(bytes, kActionOffDirection);
    return action;
}

void MacroRecordToBytes(const MacroRecord& record, std::span<std::uint8_t, kMacroRecordSize> out)
{
    for (std::size_t i = 0; i < kMacroNameUnits; ++i)
        WriteLe16(out, kMacroOffName + 2 * i, static_cast<std::uint16_t>(record.name[i]));
    out[kMacroOffCycles] = record.cycles;
    out[kMacroOffReserved1] = record.reserved1;
    WriteLe16(out, kMacroOffNewFlag, record.newFlag);
    WriteLe16(out, kMacroOffReserved2, record.reserved2);
    WriteLe16(out, kMacroOffId, record.id);
    WriteLe16(out, kMacroOffActionCount, record.actionCount);
    WriteLe16(out, kMacroOffReserved3, record.reserved3);
    for (std::size_t i = 0; i < kMaxMacroActions; ++i)
        MacroActionToBytes(record.actions[i],
                           out.subspan(kMacroOffActions + kMacroActionSize * i).first<kMacroActionSize>());
}

MacroRecord MacroRecordFromBytes(std::span<const std::uint8_t, kMacroRecordSize> bytes, ActionSlots slots)
{
    MacroRecord record;
    for (std::size_t i = 0; i < kMacroNameUnits; ++i)
        record.name[i] = static_cast<char16_t>(ReadLe16(bytes, kMacroOffName + 2 * i));
    record.cycles = bytes[kMacroOffCycles];
    record.reserved1 = bytes[kMacroOffReserved1];
    record.newFlag = ReadLe16(bytes, kMacroOffNewFlag);
    record.reserved2 = ReadLe16(bytes, kMacroOffReserved2);
    record.id = ReadLe16(bytes, kMacroOffId);
    record.actionCount = ReadLe16(bytes, kMacroOffActionCount);
    record.reserved3 = ReadLe16(bytes, kMacroOffReserved3);
    const std::size_t decoded = slots == ActionSlots::All ? kMaxMacroActions : record.EffectiveActionCount();
    for (std::size_t i = 0; i < decoded; ++i)
        record.actions[i] =
            MacroActionFromBytes(bytes.subspan(kMacroOffActions + kMacroActionSize * i).first<kMacroActionSize>());
    return record;
}

std::vector<std::uint8_t> MacroListToBytes(std::span<const MacroRecord> list)
{
    std::vector<std::uint8_t> bytes(list.size() * kMacroRecordSize);
    const std::span<std::uint8_t> all(bytes);
    for (std::size_t i = 0; i < list.size(); ++i)
        MacroRecordToBytes(list[i], all.subspan(i * kMacroRecordSize).first<kMacroRecordSize>());
    return bytes;
}

Result<std::vector<MacroRecord>> MacroListFromBytes(std::span<const std::uint8_t> bytes, std::size_t count,
                                                    ActionSlots slots)
{
    if (count > kMaxMacros)
        return Error{"macro list: expected at most " + std::to_string(kMaxMacros) + " macros, found " +
                     std::to_string(count)};
    if (bytes.size() / kMacroRecordSize < count)
        return Error{"macro list: expected " + std::to_string(count) + " records of " +
                     std::to_string(kMacroRecordSize) + " bytes (" + std::to_string(count * kMacroRecordSize) +
                     " bytes), found " + std::to_string(bytes.size()) + " bytes"};
    std::vector<MacroRecord> list(count);
    for (std::size_t i = 0; i < count; ++i)
        list[i] = MacroRecordFromBytes(bytes.subspan(i * kMacroRecordSize).first<kMacroRecordSize>(), slots);
    return list;
}

Status CheckMacroList(std::span<const MacroRecord> list)
{
    if (list.size() > kMaxMacros)
        return Error{"macro list: expected at most " + std::to_string(kMaxMacros) + " macros, found " +
                     std::to_string(list.size())};
    std::bitset<kMaxMacroId + 1> seen;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const MacroRecord& record = list[i];
        const std::string where = "macro " + std::to_string(i + 1) + ": ";
        if (record.id < kMinMacroId || record.id > kMaxMacroId)
            return Error{where + "expected an id from 1 to 100, found " + std::to_string(record.id)};
        if (seen.test(record.id))
            return Error{where + "id " + std::to_string(record.id) + " is already used by an earlier macro"};
        seen.set(record.id);
        if (record.actionCount > kMaxMacroActions)
            return Error{where + "expected at most " + std::to_string(kMaxMacroActions) + " actions, found " +
                         std::to_string(record.actionCount)};
        if (record.cycles < kMinMacroCycles) return Error{where + "expected a repeat count from 1 to 255, found 0"};
        if (std::find(record.name.begin(), record.name.end(), u'\0') == record.name.end())
            return Error{where + "name is not terminated within " + std::to_string(kMacroNameUnits) + " characters"};
    }
    return Status::Ok();
}

std::uint16_t SmallestFreeMacroId(std::span<const MacroRecord> list)
{
    std::bitset<kMaxMacroId + 1> used;
    for (const MacroRecord& record : list)
        if (record.id <= kMaxMacroId) used.set(record.id);
    for (std::uint16_t id = kMinMacroId; id <= kMaxMacroId; ++id)
        if (!used.test(id)) return id;
    return 0;
}

std::uint16_t MacroIdAtPosition(std::span<const MacroRecord> list, int position)
{
    if (position < 0 || static_cast<std::size_t>(position) >= list.size()) return 0;
    return list[static_cast<std::size_t>(position)].id;
}

} // namespace kestrune
