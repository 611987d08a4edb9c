#include "macro/MacroArea.h"

#include "common/LittleEndian.h"
#include "keymodel/KeyAssignment.h"
#include "keymodel/KeyCodes.h"
#include "wire/Protocol.h"

#include <algorithm>
#include <string>

namespace kestrune {
namespace {

using wire::kMacroAreaHeaderSize;

std::string Bytes(std::size_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::string Hex16(std::uint16_t value)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string hex = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) hex.push_back(digits[(value >> shift) & 0xF]);
    return hex;
}

std::size_t EntrySize(const MacroRecord& record, bool withNames)
{
    std::size_t size = kMacroEntryHeaderSize + kEncodedActionSize * record.EffectiveActionCount();
    if (withNames) size += 2 * record.Name().size();
    return size;
}

std::size_t AreaSize(std::span<const MacroRecord> list, bool withNames)
{
    std::size_t size = kMacroAreaHeaderSize + 2 * list.size();
    for (const MacroRecord& record : list) size += EntrySize(record, withNames);
    return size;
}

HardwareEntry TripleOfKey(KeyIndex key)
{
    const UsagePair usage = UsageFromKey(key);
    switch (usage.page) {
    case kUsagePageKeyboard:
        if (const std::uint8_t bit = ModifierBitOfKey(key); bit != 0) return {kHwKindKey, kHwSubModifier, bit};
        return {kHwKindKey, kHwSubUsage, static_cast<std::uint8_t>(usage.usage & 0xFF)};
    case kUsagePageConsumer:
        return {kHwKindConsumer, static_cast<std::uint8_t>(usage.usage & 0xFF),
                static_cast<std::uint8_t>(usage.usage >> 8)};
    case kUsagePageGenericDesktop:
        return {kHwKindSystem, static_cast<std::uint8_t>(usage.usage & 0xFF),
                static_cast<std::uint8_t>(usage.usage >> 8)};
    default:
        return {};
    }
}

} // namespace

MacroAreaSize MacroAreaSizes(std::span<const MacroRecord> list)
{
    return {AreaSize(list, true), AreaSize(list, false)};
}

std::array<std::uint8_t, kEncodedActionSize> EncodeMacroAction(const MacroAction& action)
{
    const std::int32_t delay = std::clamp(action.delay, 0, kMaxEncodableDelayMs);
    const HardwareEntry triple = TripleOfKey(action.key);
    std::uint16_t word = static_cast<std::uint16_t>(delay / kAreaDelayUnitMs);
    word = static_cast<std::uint16_t>(word | (triple.kind & kAreaKindMask) << kAreaKindShift);
    if (action.direction == kMacroPress) word |= kAreaPressBit;

    std::array<std::uint8_t, kEncodedActionSize> bytes{};
    WriteLe16(bytes, kEncodedOffWord, word);
    bytes[kEncodedOffSub] = triple.sub;
    bytes[kEncodedOffValue] = triple.value;
    return bytes;
}

MacroAction DecodeMacroAction(std::span<const std::uint8_t, kEncodedActionSize> bytes)
{
    const std::uint16_t word = ReadLe16(bytes, kEncodedOffWord);
    MacroAction action;
    action.delay = (word & kAreaDelayMask) * kAreaDelayUnitMs;
    const auto kind = static_cast<std::uint8_t>((word >> kAreaKindShift) & kAreaKindMask);
    action.key = KeyFromTriple({kind, bytes[kEncodedOffSub], bytes[kEncodedOffValue]});
    action.direction = (word & kAreaPressBit) ? kMacroPress : kMacroRelease;
    return action;
}

Status EncodeMacroArea(std::span<const MacroRecord> list, std::size_t totalLength, bool withNames,
                       std::span<std::uint8_t> buffer)
{
    if (list.size() > kMaxMacros)
        return Error{"macro area: expected at most " + std::to_string(kMaxMacros) + " macros, found " +
                     std::to_string(list.size())};
    const std::size_t needed = AreaSize(list, withNames);
    if (totalLength < needed)
        return Error{"macro area: the macros need " + Bytes(needed) + ", the length given is " + Bytes(totalLength)};
    if (totalLength > wire::kMacroAreaMaxLength)
        return Error{"macro area: expected a length of at most " + Bytes(wire::kMacroAreaMaxLength) + ", found " +
                     Bytes(totalLength)};
    if (buffer.size() < totalLength)
        return Error{"macro area: expected a buffer of " + Bytes(totalLength) + ", found " + Bytes(buffer.size())};

    const std::span<std::uint8_t> area = buffer.first(totalLength);
    std::fill(area.begin(), area.end(), std::uint8_t{0});
    WriteLe16(area, wire::kMacroAreaOffMagic, wire::kMacroAreaMagic);
    WriteLe16(area, wire::kMacroAreaOffLength, static_cast<std::uint16_t>(totalLength));
    WriteLe16(area, wire::kMacroAreaOffCount, static_cast<std::uint16_t>(list.size()));
    WriteLe16(area, wire::kMacroAreaOffNamesFlag, withNames ? 1 : 0);

    // Every offset stays below needed, which the length checks above keep within 16 bits.
    std::size_t offset = kMacroAreaHeaderSize + 2 * list.size();
    for (std::size_t i = 0; i < list.size(); ++i) {
        const MacroRecord& record = list[i];
        const std::u16string_view name = withNames ? record.Name() : std::u16string_view{};
        const std::span<const MacroAction> actions = record.Actions();

        WriteLe16(area, kMacroAreaHeaderSize + 2 * i, static_cast<std::uint16_t>(offset));
        WriteLe16(area, offset + kMacroEntryOffActionCount, static_cast<std::uint16_t>(actions.size()));
        area[offset + kMacroEntryOffCycles] = record.cycles;
        area[offset + kMacroEntryOffNameLength] = static_cast<std::uint8_t>(name.size());
        offset += kMacroEntryHeaderSize;

        for (const MacroAction& action : actions) {
            const auto encoded = EncodeMacroAction(action);
            std::copy(encoded.begin(), encoded.end(), area.begin() + static_cast<std::ptrdiff_t>(offset));
            offset += kEncodedActionSize;
        }
        for (char16_t unit : name) {
            WriteLe16(area, offset, static_cast<std::uint16_t>(unit));
            offset += 2;
        }
    }
    return Status::Ok();
}

std::u16string NumberedMacroName(std::u16string_view prefix, std::size_t number)
{
    std::u16string name(prefix);
    for (char c : std::to_string(number)) name.push_back(static_cast<char16_t>(c));
    if (name.size() > kMaxMacroNameLength) name.resize(kMaxMacroNameLength);
    return name;
}

Result<std::vector<MacroRecord>> DecodeMacroArea(std::span<const std::uint8_t> area, std::size_t count,
                                                 std::u16string_view newPrefix)
{
    if (area.size() < kMacroAreaHeaderSize)
        return Error{"macro area: expected a header of " + Bytes(kMacroAreaHeaderSize) + ", found " +
                     Bytes(area.size())};
    const std::uint16_t magic = ReadLe16(area, wire::kMacroAreaOffMagic);
    if (magic != wire::kMacroAreaMagic)
        return Error{"macro area: expected the magic " + Hex16(wire::kMacroAreaMagic) + ", found " + Hex16(magic)};
    const std::size_t total = ReadLe16(area, wire::kMacroAreaOffLength);
    if (total > area.size())
        return Error{"macro area: the header gives a length of " + Bytes(total) + ", only " + Bytes(area.size()) +
                     " were read"};
    const std::size_t headerCount = ReadLe16(area, wire::kMacroAreaOffCount);
    if (count != headerCount)
        return Error{"macro area: expected " + std::to_string(count) + " macros, the header gives " +
                     std::to_string(headerCount)};
    if (count > kMaxMacros)
        return Error{"macro area: expected at most " + std::to_string(kMaxMacros) + " macros, found " +
                     std::to_string(count)};
    const std::size_t entriesStart = kMacroAreaHeaderSize + 2 * count;
    if (entriesStart > total)
        return Error{"macro area: " + std::to_string(count) + " macros need an offset table ending at byte " +
                     std::to_string(entriesStart) + ", the area has " + Bytes(total)};

    std::vector<MacroRecord> records(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string where = "macro area, entry " + std::to_string(i + 1) + ": ";
        const std::size_t offset = ReadLe16(area, kMacroAreaHeaderSize + 2 * i);
        if (offset < entriesStart || offset + kMacroEntryHeaderSize > total)
            return Error{where + "expected an offset from " + std::to_string(entriesStart) + " to " +
                         std::to_string(total < kMacroEntryHeaderSize ? 0 : total - kMacroEntryHeaderSize) +
                         ", found " + std::to_string(offset)};
        const std::size_t actionCount = ReadLe16(area, offset + kMacroEntryOffActionCount);
        if (actionCount > kMaxMacroActions)
            return Error{where + "expected at most " + std::to_string(kMaxMacroActions) + " actions, found " +
                         std::to_string(actionCount)};
        const std::size_t nameLength = area[offset + kMacroEntryOffNameLength];
        const std::size_t actionsStart = offset + kMacroEntryHeaderSize;
        const std::size_t nameStart = actionsStart + kEncodedActionSize * actionCount;
        const std::size_t end = nameStart + 2 * nameLength;
        if (end > total)
            return Error{where + "it ends at byte " + std::to_string(end) + ", past the end of the area at byte " +
                         std::to_string(total)};

        MacroRecord& record = records[i];
        record.cycles = area[offset + kMacroEntryOffCycles];
        record.newFlag = 0;
        record.reserved2 = 0;
        record.id = static_cast<std::uint16_t>(i + 1);
        record.actionCount = static_cast<std::uint16_t>(actionCount);
        for (std::size_t j = 0; j < actionCount; ++j)
            record.actions[j] =
                DecodeMacroAction(area.subspan(actionsStart + kEncodedActionSize * j).first<kEncodedActionSize>());
        // A name ends at its first zero unit; one that ends before it starts is
        // no name, as if the entry carried none.
        std::u16string name;
        for (std::size_t k = 0; k < nameLength; ++k) {
            const auto unit = static_cast<char16_t>(ReadLe16(area, nameStart + 2 * k));
            if (unit == u'\0') break;
            name.push_back(unit);
        }
        record.SetName(name.empty() ? NumberedMacroName(newPrefix, i + 1) : name);
    }
    return records;
}

} // namespace kestrune
