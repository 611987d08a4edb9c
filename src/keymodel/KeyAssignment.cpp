#include "keymodel/KeyAssignment.h"

#include "common/LittleEndian.h"

#include <algorithm>
#include <string>

namespace kestrune {

namespace {

Error SizeError(const char* what, std::size_t expected, std::size_t found, bool atLeast)
{
    return Error{std::string(what) + ": expected " + (atLeast ? "at least " : "") + std::to_string(expected) +
                 " bytes, found " + std::to_string(found)};
}

void WriteAssignmentAt(const KeyAssignment& a, std::span<std::uint8_t> out, std::size_t offset)
{
    WriteLe16(out, offset + kAssignmentOffType, static_cast<std::uint16_t>(a.type));
    WriteLe16(out, offset + kAssignmentOffAux, a.aux);
    WriteLe32(out, offset + kAssignmentOffValue, a.value);
    WriteLe32(out, offset + kAssignmentOffMark, a.mark);
    WriteLe32(out, offset + kAssignmentOffReserved, a.reserved);
}

KeyAssignment ReadAssignmentAt(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    KeyAssignment a;
    a.type = static_cast<AssignmentType>(ReadLe16(bytes, offset + kAssignmentOffType));
    a.aux = ReadLe16(bytes, offset + kAssignmentOffAux);
    a.value = ReadLe32(bytes, offset + kAssignmentOffValue);
    a.mark = ReadLe32(bytes, offset + kAssignmentOffMark);
    a.reserved = ReadLe32(bytes, offset + kAssignmentOffReserved);
    return a;
}

} // namespace

void InitialiseKeyMap(KeyMap& map)
{
    map.slots.fill(KeyAssignment{});
    for (GKeyBank bank : {GKeyBank::A, GKeyBank::B}) {
        for (int n = 1; n <= kGKeyCount; ++n) map[*GKeySlot(n, bank)].aux = GKeyId(n, bank);
    }
}

KeyMap MakeInitialisedKeyMap()
{
    KeyMap map;
    InitialiseKeyMap(map);
    return map;
}

Status WriteKeyAssignment(const KeyAssignment& assignment, std::span<std::uint8_t> out)
{
    if (out.size() < kKeyAssignmentSize) return SizeError("key assignment", kKeyAssignmentSize, out.size(), true);
    WriteAssignmentAt(assignment, out, 0);
    return Status::Ok();
}

Result<KeyAssignment> ReadKeyAssignment(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kKeyAssignmentSize) return SizeError("key assignment", kKeyAssignmentSize, bytes.size(), true);
    return ReadAssignmentAt(bytes, 0);
}

Status WriteKeyMap(const KeyMap& map, std::span<std::uint8_t> out)
{
    if (out.size() < kKeyMapSize) return SizeError("key map", kKeyMapSize, out.size(), true);
    for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot)
        WriteAssignmentAt(map[slot], out, slot * kKeyAssignmentSize);
    return Status::Ok();
}

std::array<std::uint8_t, kKeyMapSize> KeyMapToBytes(const KeyMap& map)
{
    std::array<std::uint8_t, kKeyMapSize> bytes{};
    for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot)
        WriteAssignmentAt(map[slot], bytes, slot * kKeyAssignmentSize);
    return bytes;
}

Result<KeyMap> ReadKeyMap(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kKeyMapSize) return SizeError("key map", kKeyMapSize, bytes.size(), true);
    KeyMap map;
    for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot)
        map[slot] = ReadAssignmentAt(bytes, slot * kKeyAssignmentSize);
    return map;
}

std::array<std::uint8_t, kHardwareKeyTableSize> HardwareKeyTableToBytes(const HardwareKeyTable& table)
{
    std::array<std::uint8_t, kHardwareKeyTableSize> bytes{};
    for (std::size_t p = 0; p < kHardwarePositions; ++p) {
        bytes[p * kHardwareEntrySize] = table[p].kind;
        bytes[p * kHardwareEntrySize + 1] = table[p].sub;
        bytes[p * kHardwareEntrySize + 2] = table[p].value;
    }
    return bytes;
}

Status WriteHardwareKeyTable(const HardwareKeyTable& table, std::span<std::uint8_t> out)
{
    if (out.size() < kHardwareKeyTableSize)
        return SizeError("hardware key table", kHardwareKeyTableSize, out.size(), true);
    const auto bytes = HardwareKeyTableToBytes(table);
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return Status::Ok();
}

Result<HardwareKeyTable> ReadHardwareKeyTable(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kHardwareKeyTableSize)
        return SizeError("hardware key table", kHardwareKeyTableSize, bytes.size(), true);
    HardwareKeyTable table;
    for (std::size_t p = 0; p < kHardwarePositions; ++p) {
        table[p] = HardwareEntry{bytes[p * kHardwareEntrySize], bytes[p * kHardwareEntrySize + 1],
                                 bytes[p * kHardwareEntrySize + 2]};
    }
    return table;
}

std::string HardwareEntryText(HardwareEntry entry)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : {entry.kind, entry.sub, entry.value}) {
        if (!text.empty()) text.push_back(' ');
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

KeyIndex KeyFromTriple(HardwareEntry entry)
{
    const auto wide = static_cast<std::uint16_t>(entry.sub | (entry.value << 8));
    switch (entry.kind) {
    case kHwKindKey:
        if (entry.sub == kHwSubUsage) return KeyFromUsage({kUsagePageKeyboard, entry.value});
        return KeyFromModifierBits(entry.value);
    case kHwKindConsumer:
        return KeyFromUsage({kUsagePageConsumer, wide});
    case kHwKindSystem:
        return KeyFromUsage({kUsagePageGenericDesktop, wide});
    default:
        return kNoKey;
    }
}

namespace {

HardwareEntry EncodeRemap(KeyIndex target)
{
    if (const std::uint8_t bit = ModifierBitOfKey(target)) return {kHwKindKey, kHwSubModifier, bit};
    const UsagePair usage = UsageFromKey(target);
    // Keys on the consumer or system page cannot be produced by a remap; Media covers those.
    const auto code = usage.page == kUsagePageKeyboard ? static_cast<std::uint8_t>(usage.usage) : std::uint8_t{0};
    return {kHwKindKey, kHwSubUsage, code};
}

std::uint8_t MacroPosition(std::span<const std::uint16_t> macroIds, std::uint32_t id)
{
    for (std::size_t i = 0; i < macroIds.size(); ++i)
        if (macroIds[i] == id) return static_cast<std::uint8_t>(i);
    return 0;
}

} // namespace

HardwareEntry EncodeEntry(const KeyAssignment& a, HardwareEntry factory, std::span<const std::uint16_t> macroIds)
{
    switch (a.type) {
    case AssignmentType::Disabled:
    case AssignmentType::TextBlock:
        return {};
    case AssignmentType::RemapKey:
        return EncodeRemap(static_cast<KeyIndex>(a.value <= kMaxKeyIndex ? a.value : kNoKey));
    case AssignmentType::PlayMacro:
        return {kHwKindMacro, kHwSubPlayMacro, MacroPosition(macroIds, a.value)};
    case AssignmentType::StopMacro:
        return {kHwKindMacro, kHwSubStopMacro, 0};
    case AssignmentType::Media:
        if (a.value < kMediaCount) {
            const std::uint16_t usage = MediaTable[a.value].consumerUsage;
            return {kHwKindConsumer, static_cast<std::uint8_t>(usage & 0xFF), static_cast<std::uint8_t>(usage >> 8)};
        }
        return factory;
    case AssignmentType::FunctionKey:
        return {kHwKindMacro, kHwSubFunction, static_cast<std::uint8_t>(a.value & 0xFF)};
    case AssignmentType::Unknown:
        return RawEntryOf(a.value);
    default: // Default, LaunchProgram and types of no meaning keep the factory entry
        return factory;
    }
}

HardwareKeyTable EncodeKeyTable(const KeyMap& map, const HardwareKeyTable& defaultTable,
                                std::span<const std::uint16_t> macroIds)
{
    HardwareKeyTable table = defaultTable;
    for (std::size_t p = 0; p < kHardwarePositions; ++p) {
        const KeyIndex key = KeyFromTriple(defaultTable[p]);
        if (key == kNoKey) continue;
        table[p] = EncodeEntry(map[SlotOfKey(key)], defaultTable[p], macroIds);
    }
    return table;
}

KeyMap DecodeKeyTable(const HardwareKeyTable& keyboardTable, const HardwareKeyTable& defaultTable)
{
    KeyMap map = MakeInitialisedKeyMap();
    for (std::size_t p = 0; p < kHardwarePositions; ++p) {
        const HardwareEntry& d = defaultTable[p];
        const HardwareEntry& s = keyboardTable[p];
        if (s == d) continue;
        const std::size_t slot = SlotOfKey(KeyFromTriple(d));
        if (slot == 0) continue;
        KeyAssignment& a = map[slot];
        SetAssignment(a, AssignmentType::Disabled, 0, 0);
        if (s.kind == kHwKindMacro && s.sub == kHwSubPlayMacro) {
            // The macro read-back numbers macros from 1 in area order.
            SetAssignment(a, AssignmentType::PlayMacro, 0, std::uint32_t{s.value} + 1);
        } else if (s.kind == kHwKindMacro && s.sub == kHwSubStopMacro) {
            SetAssignment(a, AssignmentType::StopMacro, 0, 0);
        } else if (s.kind == kHwKindMacro && s.sub == kHwSubFunction) {
            SetAssignment(a, AssignmentType::FunctionKey, 0, s.value);
        } else if (s.kind == kHwKindConsumer) {
            if (const auto row = MediaRowOfUsage(static_cast<std::uint16_t>(s.sub | (s.value << 8))))
                SetAssignment(a, AssignmentType::Media, 0, static_cast<std::uint32_t>(*row));
        } else if (s.kind == kHwKindKey && s.sub == kHwSubUsage) {
            if (const KeyIndex target = KeyFromUsage({kUsagePageKeyboard, s.value}))
                SetAssignment(a, AssignmentType::RemapKey, 0, target);
        } else if (s.kind == kHwKindKey && s.sub == kHwSubModifier) {
            SetAssignment(a, AssignmentType::RemapKey, 0, KeyFromModifierBits(s.value));
        }
        // A macro number is kept whatever the macro list (the read-back numbers
        // its macros the same way); anything else must encode back to the byte.
        if (a.type != AssignmentType::PlayMacro && EncodeEntry(a, d, {}) != s)
            SetAssignment(a, AssignmentType::Unknown, 0, RawEntryValue(s));
    }
    return map;
}

} // namespace kestrune
