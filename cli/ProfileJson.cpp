#include "ProfileJson.h"

#include "ProfileReport.h"

#include "common/Utf.h"
#include "config/ConfigBlock.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "keymodel/KeyAssignment.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <set>
#include <string_view>

namespace kestrune::cli {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

// A JSON text larger than this is no profile: the largest profile (100 macros
// of 2000 actions) is about 12 MB of JSON.
constexpr std::uintmax_t kMaxJsonBytes = 256u * 1024u * 1024u;
constexpr std::size_t kShownValueLength = 40;

// Thrown while reading a document; becomes the Error of ProfileImageFromJson.
struct JsonProblem {
    std::string message;
};

[[noreturn]] void Fail(const std::string& path, const std::string& reason)
{
    throw JsonProblem{(path.empty() ? std::string("the document") : path) + ": " + reason};
}

std::string Field(const std::string& path, std::string_view name)
{
    return path.empty() ? std::string(name) : path + "." + std::string(name);
}

std::string Item(const std::string& path, std::size_t index)
{
    return path + "[" + std::to_string(index) + "]";
}

std::string Shown(const json& value)
{
    std::string text = value.dump();
    if (text.size() > kShownValueLength) text = text.substr(0, kShownValueLength) + "...";
    return text;
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

const json& Object(const json& value, const std::string& path, std::initializer_list<std::string_view> fields)
{
    if (!value.is_object()) Fail(path, "expected an object {...}, found " + Shown(value));
    for (const auto& [name, unused] : value.items()) {
        if (std::ranges::find(fields, std::string_view(name)) != fields.end()) continue;
        std::string known;
        for (std::string_view field : fields) known += (known.empty() ? "" : ", ") + std::string(field);
        Fail(Field(path, name), "unknown field (known here: " + known + ")");
    }
    return value;
}

const json& Array(const json& value, const std::string& path, std::size_t most)
{
    if (!value.is_array()) Fail(path, "expected an array [...], found " + Shown(value));
    if (value.size() > most)
        Fail(path, "holds " + std::to_string(value.size()) + " entries, at most " + std::to_string(most) + " fit");
    return value;
}

const json* Member(const json& object, std::string_view name)
{
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

std::int64_t Integer(const json& value, const std::string& path, std::int64_t least, std::int64_t most)
{
    if (!value.is_number_integer()) Fail(path, "expected a whole number, found " + Shown(value));
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(most))
        Fail(path, Shown(value) + " is out of range (" + std::to_string(least) + " to " + std::to_string(most) + ")");
    const std::int64_t n = value.get<std::int64_t>();
    if (n < least || n > most)
        Fail(path, Shown(value) + " is out of range (" + std::to_string(least) + " to " + std::to_string(most) + ")");
    return n;
}

const std::string& Text(const json& value, const std::string& path)
{
    if (!value.is_string()) Fail(path, "expected a string, found " + Shown(value));
    return value.get_ref<const std::string&>();
}

std::string Hex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

std::vector<std::uint8_t> FromHex(const json& value, const std::string& path)
{
    const std::string& text = Text(value, path);
    if (text.size() % 2 != 0) Fail(path, "expected pairs of hex digits, found an odd number of digits");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const auto digit = [&](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            Fail(path, std::string("'") + c + "' is not a hex digit");
        };
        bytes.push_back(static_cast<std::uint8_t>(digit(text[i]) << 4 | digit(text[i + 1])));
    }
    return bytes;
}

std::string KeyNameOf(KeyIndex key)
{
    return Utf16ToUtf8(KeyName(key));
}

// A key as a word: its name where the name leads back to it, else its
// KeyIndex in hex; numbers that name no key stay numbers.
ordered_json KeyJson(std::uint32_t value)
{
    if (value == 0 || value > kMaxKeyIndex || !IsValidKeyIndex(static_cast<KeyIndex>(value))) return value;
    const auto key = static_cast<KeyIndex>(value);
    if (std::string name = KeyNameOf(key); ParseKey(name) == key) return name;
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%03x", static_cast<unsigned>(key));
    return hex;
}

std::uint32_t KeyFromJson(const json& value, const std::string& path, std::uint32_t most)
{
    if (value.is_string()) {
        const std::string& name = value.get_ref<const std::string&>();
        if (auto key = ParseKey(name)) return *key;
        Fail(path, "unknown key \"" + name + "\"");
    }
    if (value.is_number_integer()) return static_cast<std::uint32_t>(Integer(value, path, 0, most));
    Fail(path, "expected a key name (\"A\", \"Esc\", \"0x11d\") or a number, found " + Shown(value));
}

// Key map slots: ordinary keys by name, macro keys as "G1 bank A", the rest as "slot N".
std::string SlotJson(std::size_t slot)
{
    if (slot < kKeySlotCount) {
        const KeyIndex key = KeyFromCompact(static_cast<CompactKey>(slot));
        const ordered_json named = KeyJson(key);
        if (named.is_string() && SlotOfKey(*ParseKey(named.get<std::string>())) == slot) return named.get<std::string>();
    } else if (slot < kGKeyFirstSlot + kGKeySlotCount) {
        const std::size_t g = slot - kGKeyFirstSlot;
        return "G" + std::to_string(g % kGKeyCount + 1) + (g < static_cast<std::size_t>(kGKeyCount) ? " bank A" : " bank B");
    }
    return "slot " + std::to_string(slot);
}

std::size_t SlotFromJson(const json& value, const std::string& path)
{
    const std::string& text = Text(value, path);
    const std::string lower = Lower(text);
    if (lower.starts_with("slot ")) {
        const std::string number = lower.substr(5);
        if (!number.empty() && std::ranges::all_of(number, [](char c) { return c >= '0' && c <= '9'; }) &&
            number.size() < 5 && std::stoul(number) < kKeyMapSlots)
            return std::stoul(number);
        Fail(path, "\"" + text + "\": a slot number is 0 to " + std::to_string(kKeyMapSlots - 1));
    }
    if (lower.size() == 9 && lower[0] == 'g' && lower[1] >= '1' && lower[1] <= '9' && lower.substr(2, 6) == " bank " &&
        (lower[8] == 'a' || lower[8] == 'b'))
        return *GKeySlot(lower[1] - '0', lower[8] == 'a' ? GKeyBank::A : GKeyBank::B);
    if (auto key = ParseKey(text)) return SlotOfKey(*key);
    Fail(path, "unknown key \"" + text + "\"");
}

constexpr std::array<AssignmentType, kAssignmentTypeCount> kTypes = {
    AssignmentType::Default,   AssignmentType::Disabled,   AssignmentType::RemapKey, AssignmentType::LaunchProgram,
    AssignmentType::PlayMacro, AssignmentType::StopMacro,  AssignmentType::TextBlock, AssignmentType::Media,
    AssignmentType::FunctionKey, AssignmentType::Unknown};

AssignmentType TypeFromJson(const json& value, const std::string& path)
{
    if (value.is_number_integer()) return static_cast<AssignmentType>(Integer(value, path, 0, 0xFFFF));
    const std::string& name = Text(value, path);
    for (AssignmentType type : kTypes)
        if (Lower(TypeName(type)) == Lower(name)) return type;
    std::string known;
    for (AssignmentType type : kTypes) known += (known.empty() ? "" : ", ") + std::string(TypeName(type));
    Fail(path, "unknown type \"" + name + "\" (one of " + known + ")");
}

// Types whose value the JSON gives as "target", in words where it can.
bool HasTarget(AssignmentType type)
{
    return type == AssignmentType::RemapKey || type == AssignmentType::PlayMacro || type == AssignmentType::Media ||
           type == AssignmentType::FunctionKey;
}

std::optional<std::size_t> MediaRowNamed(std::string_view name)
{
    for (std::size_t row = 0; row < kMediaCount; ++row)
        if (Lower(KeyNameOf(MediaTable[row].key)) == Lower(name)) return row;
    return std::nullopt;
}

ordered_json TargetJson(AssignmentType type, std::uint32_t value)
{
    if (type == AssignmentType::RemapKey) return KeyJson(value);
    if (type == AssignmentType::Media && value < kMediaCount) {
        const std::string name = KeyNameOf(MediaTable[value].key);
        if (MediaRowNamed(name) == value) return name;
    }
    return value;
}

std::uint32_t TargetFromJson(AssignmentType type, const json& value, const std::string& path)
{
    constexpr auto kMost = std::numeric_limits<std::uint32_t>::max();
    if (type == AssignmentType::RemapKey) return KeyFromJson(value, path, kMost);
    if (type == AssignmentType::Media && value.is_string()) {
        if (auto row = MediaRowNamed(value.get_ref<const std::string&>())) return static_cast<std::uint32_t>(*row);
        std::string known;
        for (const MediaRow& row : MediaTable) known += (known.empty() ? "" : ", ") + KeyNameOf(row.key);
        Fail(path, "unknown media function \"" + value.get<std::string>() + "\" (one of " + known + ")");
    }
    return static_cast<std::uint32_t>(Integer(value, path, 0, kMost));
}

// Whether the UTF-8 form of a text leads back to exactly the same units.
bool SurvivesUtf8(std::u16string_view text)
{
    return Utf8ToUtf16(Utf16ToUtf8(text)) == text;
}

std::string UnitsHex(std::u16string_view text)
{
    std::vector<std::uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return Hex(bytes);
}

// What a slot holds in a key map nobody has touched: zero, with the macro-key
// slots named by their GKeyId where the map was initialised that way.
KeyAssignment Baseline(std::size_t slot, bool macroKeyIds)
{
    static const KeyMap initialised = MakeInitialisedKeyMap();
    return macroKeyIds ? initialised[slot] : KeyAssignment{};
}

// A new configuration initialises key map 0 only.
bool DefaultMacroKeyIds(std::size_t map)
{
    return map == 0;
}

bool MajorityHasMacroKeyIds(const KeyMap& map)
{
    std::size_t named = 0;
    for (std::size_t slot = kGKeyFirstSlot; slot < kGKeyFirstSlot + kGKeySlotCount; ++slot)
        if (map[slot].aux == Baseline(slot, true).aux) ++named;
    return named * 2 > kGKeySlotCount;
}

// A macro record made from the fields the JSON names; the rest zero.
MacroRecord RecordFromFields(std::u16string_view name, std::uint16_t id, std::uint8_t cycles,
                             std::span<const MacroAction> actions)
{
    MacroRecord record = MakeMacroRecord(name, id);
    record.cycles = cycles;
    std::ranges::copy(actions, record.actions.begin());
    record.actionCount = static_cast<std::uint16_t>(actions.size());
    return record;
}

std::array<std::uint8_t, kMacroRecordSize> RecordBytes(const MacroRecord& record)
{
    std::array<std::uint8_t, kMacroRecordSize> bytes{};
    MacroRecordToBytes(record, bytes);
    return bytes;
}

// Runs of bytes closer than this are kept as one.
constexpr std::size_t kExtraGap = 8;

ordered_json MacroJson(const MacroRecord& macro)
{
    ordered_json actions = ordered_json::array();
    for (const MacroAction& action : macro.Actions()) {
        ordered_json direction = action.direction == kMacroPress     ? ordered_json("press")
                                 : action.direction == kMacroRelease ? ordered_json("release")
                                                                     : ordered_json(action.direction);
        actions.push_back({{"key", KeyJson(action.key)}, {"direction", direction}, {"delay", action.delay}});
    }
    ordered_json out = {{"id", macro.id},
                        {"name", Utf16ToUtf8(macro.Name())},
                        {"cycles", macro.cycles},
                        {"actions", std::move(actions)}};
    // Whatever the fields above do not carry (bytes past the name or the
    // actions, reserved words, a name that is no valid text) goes along as it is.
    const auto original = RecordBytes(macro);
    const auto rebuilt =
        RecordBytes(RecordFromFields(Utf8ToUtf16(Utf16ToUtf8(macro.Name())), macro.id, macro.cycles, macro.Actions()));
    ordered_json extra = ordered_json::array();
    for (std::size_t i = 0; i < kMacroRecordSize;) {
        if (original[i] == rebuilt[i]) {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        for (std::size_t same = 0; end < kMacroRecordSize && same < kExtraGap; ++end)
            same = original[end] == rebuilt[end] ? same + 1 : 0;
        while (original[end - 1] == rebuilt[end - 1]) --end;
        extra.push_back({{"offset", i}, {"bytes", Hex(std::span(original).subspan(i, end - i))}});
        i = end;
    }
    if (!extra.empty()) out["extra"] = std::move(extra);
    return out;
}

MacroRecord MacroFromJson(const json& value, const std::string& path, std::size_t position)
{
    Object(value, path, {"id", "name", "cycles", "actions", "extra"});
    std::uint16_t id = static_cast<std::uint16_t>(position + 1);
    if (const json* v = Member(value, "id")) id = static_cast<std::uint16_t>(Integer(*v, Field(path, "id"), kMinMacroId, kMaxMacroId));
    std::u16string name = TheLanguageTable().Text("MACRO_NEW_PREFIX") + Utf8ToUtf16(std::to_string(id));
    if (const json* v = Member(value, "name")) {
        name = Utf8ToUtf16(Text(*v, Field(path, "name")));
        if (name.size() > kMaxMacroNameLength)
            Fail(Field(path, "name"), "holds " + std::to_string(name.size()) + " UTF-16 units, at most " +
                                          std::to_string(kMaxMacroNameLength) + " fit");
        if (name.find(u'\0') != std::u16string::npos) Fail(Field(path, "name"), "a name cannot hold a NUL character");
    }
    std::uint8_t cycles = kNewMacroCycles;
    if (const json* v = Member(value, "cycles"))
        cycles = static_cast<std::uint8_t>(Integer(*v, Field(path, "cycles"), kMinMacroCycles, kMaxMacroCycles));
    std::vector<MacroAction> actions;
    if (const json* list = Member(value, "actions")) {
        const std::string listPath = Field(path, "actions");
        Array(*list, listPath, kMaxMacroActions);
        for (std::size_t i = 0; i < list->size(); ++i) {
            const std::string at = Item(listPath, i);
            const json& item = Object((*list)[i], at, {"key", "direction", "delay"});
            MacroAction action;
            const json* key = Member(item, "key");
            if (key == nullptr) Fail(at, "an action needs a \"key\"");
            action.key = static_cast<std::uint16_t>(KeyFromJson(*key, Field(at, "key"), 0xFFFF));
            const json* direction = Member(item, "direction");
            if (direction == nullptr) Fail(at, "an action needs a \"direction\": \"press\" or \"release\"");
            if (direction->is_number_integer()) {
                action.direction = static_cast<std::uint16_t>(Integer(*direction, Field(at, "direction"), 0, 0xFFFF));
            } else {
                const std::string& word = Text(*direction, Field(at, "direction"));
                if (word != "press" && word != "release")
                    Fail(Field(at, "direction"), "\"" + word + "\" is neither \"press\" nor \"release\"");
                action.direction = word == "press" ? kMacroPress : kMacroRelease;
            }
            if (const json* delay = Member(item, "delay"))
                action.delay = static_cast<std::int32_t>(Integer(*delay, Field(at, "delay"),
                                                                 std::numeric_limits<std::int32_t>::min(),
                                                                 std::numeric_limits<std::int32_t>::max()));
            actions.push_back(action);
        }
    }
    MacroRecord record = RecordFromFields(name, id, cycles, actions);
    if (const json* list = Member(value, "extra")) {
        const std::string listPath = Field(path, "extra");
        Array(*list, listPath, kMacroRecordSize);
        auto bytes = RecordBytes(record);
        for (std::size_t i = 0; i < list->size(); ++i) {
            const std::string at = Item(listPath, i);
            const json& item = Object((*list)[i], at, {"offset", "bytes"});
            const json* offset = Member(item, "offset");
            const json* patch = Member(item, "bytes");
            if (offset == nullptr || patch == nullptr) Fail(at, "needs both \"offset\" and \"bytes\"");
            const auto start = static_cast<std::size_t>(Integer(*offset, Field(at, "offset"), 0, kMacroRecordSize - 1));
            const std::vector<std::uint8_t> data = FromHex(*patch, Field(at, "bytes"));
            if (start + data.size() > kMacroRecordSize)
                Fail(at, "runs past the end of the " + std::to_string(kMacroRecordSize) + "-byte macro record");
            std::ranges::copy(data, bytes.begin() + static_cast<std::ptrdiff_t>(start));
        }
        record = MacroRecordFromBytes(bytes);
    }
    return record;
}

ordered_json KeysJson(const CurrentCopy& copy, std::size_t map, bool macroKeyIds)
{
    ordered_json keys = ordered_json::array();
    for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot) {
        const KeyAssignment& a = *copy.Assignment(map, slot);
        const KeyAssignment base = Baseline(slot, macroKeyIds);
        const auto index = StringSlotIndex(map, slot);
        const bool hasText = HasStringSlot(a.type) && copy.Strings().Text(index).has_value();
        // A text key's value is where its text lies, worked out anew on every write.
        const bool valueCarried = !HasStringSlot(a.type);
        if (a.type == base.type && a.aux == base.aux && (!valueCarried || a.value == base.value) &&
            a.mark == base.mark && a.reserved == base.reserved && !hasText)
            continue;
        ordered_json key = {{"key", SlotJson(slot)}};
        if (a.type != AssignmentType::Default) {
            const auto raw = static_cast<std::uint16_t>(a.type);
            if (raw < kAssignmentTypeCount)
                key["type"] = TypeName(a.type);
            else
                key["type"] = raw;
        }
        if (HasTarget(a.type)) {
            key["target"] = TargetJson(a.type, a.value);
        } else if (hasText) {
            const std::u16string_view text = *copy.Strings().Text(index);
            if (SurvivesUtf8(text))
                key["text"] = Utf16ToUtf8(text);
            else
                key["textUtf16"] = UnitsHex(text);
        } else if (valueCarried && a.value != 0) {
            key["value"] = a.value;
        }
        if (a.aux != base.aux) key["aux"] = a.aux;
        if (a.mark != 0) key["mark"] = a.mark;
        if (a.reserved != 0) key["reserved"] = a.reserved;
        keys.push_back(std::move(key));
    }
    return keys;
}

void SlotEntryFromJson(const json& value, const std::string& path, std::size_t map, bool macroKeyIds,
                       CurrentCopy& copy, std::set<std::size_t>& seen)
{
    Object(value, path, {"key", "type", "target", "value", "text", "textUtf16", "aux", "mark", "reserved"});
    const json* keyName = Member(value, "key");
    if (keyName == nullptr) Fail(path, "every entry needs a \"key\" naming the key it changes");
    const std::size_t slot = SlotFromJson(*keyName, Field(path, "key"));
    if (!seen.insert(slot).second)
        Fail(Field(path, "key"), "\"" + keyName->get<std::string>() + "\" is given twice in this profile");

    KeyAssignment a = Baseline(slot, macroKeyIds);
    if (const json* v = Member(value, "type")) a.type = TypeFromJson(*v, Field(path, "type"));
    const std::string typeName = static_cast<std::uint16_t>(a.type) < kAssignmentTypeCount
                                     ? TypeName(a.type)
                                     : "type " + std::to_string(static_cast<std::uint16_t>(a.type));
    const json* target = Member(value, "target");
    const json* raw = Member(value, "value");
    if (target != nullptr && raw != nullptr) Fail(path, "give either \"target\" or \"value\", not both");
    if (target != nullptr) {
        if (!HasTarget(a.type))
            Fail(Field(path, "target"), "a " + typeName + " key has no target (RemapKey, PlayMacro, Media and "
                                                           "FunctionKey keys have one)");
        a.value = TargetFromJson(a.type, *target, Field(path, "target"));
    } else if (HasTarget(a.type) && raw == nullptr) {
        Fail(path, "a " + typeName + " key needs a \"target\"");
    }
    const json* text = Member(value, "text");
    const json* units = Member(value, "textUtf16");
    if (HasStringSlot(a.type)) {
        if (raw != nullptr)
            Fail(Field(path, "value"), "a " + typeName + " key's value is where its text lies in the file, worked "
                                                          "out when the file is written; give \"text\"");
        if (text != nullptr && units != nullptr) Fail(path, "give either \"text\" or \"textUtf16\", not both");
        std::u16string stored;
        if (text != nullptr) stored = Utf8ToUtf16(Text(*text, Field(path, "text")));
        if (units != nullptr) {
            const std::vector<std::uint8_t> bytes = FromHex(*units, Field(path, "textUtf16"));
            if (bytes.size() % 2 != 0) Fail(Field(path, "textUtf16"), "expected whole UTF-16 units (4 hex digits each)");
            for (std::size_t i = 0; i < bytes.size(); i += 2)
                stored.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
        }
        if (stored.find(u'\0') != std::u16string::npos)
            Fail(Field(path, text != nullptr ? "text" : "textUtf16"), "a text cannot hold a NUL character");
        if (text != nullptr || units != nullptr)
            if (Status set = copy.Strings().Set(StringSlotIndex(map, slot), stored); !set)
                Fail(Field(path, text != nullptr ? "text" : "textUtf16"), set.error());
    } else {
        if (text != nullptr || units != nullptr)
            Fail(Field(path, text != nullptr ? "text" : "textUtf16"),
                 "a " + typeName + " key has no text (LaunchProgram and TextBlock keys have one)");
        if (raw != nullptr)
            a.value = static_cast<std::uint32_t>(
                Integer(*raw, Field(path, "value"), 0, std::numeric_limits<std::uint32_t>::max()));
    }
    if (const json* v = Member(value, "aux")) a.aux = static_cast<std::uint16_t>(Integer(*v, Field(path, "aux"), 0, 0xFFFF));
    if (const json* v = Member(value, "mark"))
        a.mark = static_cast<std::uint32_t>(Integer(*v, Field(path, "mark"), 0, std::numeric_limits<std::uint32_t>::max()));
    if (const json* v = Member(value, "reserved"))
        a.reserved = static_cast<std::uint32_t>(
            Integer(*v, Field(path, "reserved"), 0, std::numeric_limits<std::uint32_t>::max()));
    *copy.Assignment(map, slot) = a;
}

// 'padding': zero bytes after the texts, where the copy a file was written
// from still held the text of a key that has since become another kind.
std::vector<std::uint8_t> ImageWithFlag(CurrentCopy& copy, std::uint8_t flag, std::uint32_t padding = 0)
{
    ConfigBlock& block = *copy.Block();
    const std::uint32_t stringBytes = copy.StringBytes() + padding;
    BuildHeader(block.header, static_cast<std::uint16_t>(copy.MacroCount()), stringBytes, flag);
    const std::vector<std::uint8_t> strings = PackStrings(block, copy.Strings(), stringBytes);
    return ProfileImage(block, copy.Macros(), strings);
}

std::vector<std::uint8_t> ImageFromDocument(const json& document)
{
    Object(document, "", {"kestruneProfile", "flag", "device", "stringPadding", "profiles", "macros"});
    if (const json* v = Member(document, "kestruneProfile"))
        Integer(*v, "kestruneProfile", kProfileJsonFormat, kProfileJsonFormat);
    std::uint8_t flag = kConfigFlagWritten;
    if (const json* v = Member(document, "flag"))
        flag = static_cast<std::uint8_t>(Integer(*v, "flag", 0, kConfigFlagMaxAccepted));

    CurrentCopy copy;
    copy.SetBlock(MakeDefaultConfigBlock(flag));
    ConfigBlock& block = *copy.Block();
    if (const json* v = Member(document, "device")) {
        const std::vector<std::uint8_t> bytes = FromHex(*v, "device");
        if (bytes.size() != kDeviceBlockSize)
            Fail("device", "expected " + std::to_string(kDeviceBlockSize) + " bytes (" +
                               std::to_string(2 * kDeviceBlockSize) + " hex digits), found " +
                               std::to_string(bytes.size()));
        std::ranges::copy(bytes, block.device.begin());
    }

    if (const json* profiles = Member(document, "profiles")) {
        Array(*profiles, "profiles", kConfigKeyMapCount);
        std::set<std::size_t> maps;
        for (std::size_t i = 0; i < profiles->size(); ++i) {
            const std::string at = Item("profiles", i);
            const json& profile = Object((*profiles)[i], at, {"profile", "macroKeyIds", "keys"});
            std::size_t map = i;
            if (const json* v = Member(profile, "profile"))
                map = static_cast<std::size_t>(Integer(*v, Field(at, "profile"), 0, kConfigKeyMapCount - 1));
            if (!maps.insert(map).second) Fail(Field(at, "profile"), "profile " + std::to_string(map) + " is given twice");
            bool macroKeyIds = DefaultMacroKeyIds(map);
            if (const json* v = Member(profile, "macroKeyIds")) {
                if (!v->is_boolean()) Fail(Field(at, "macroKeyIds"), "expected true or false, found " + Shown(*v));
                macroKeyIds = v->get<bool>();
            }
            for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot) block.maps[map][slot] = Baseline(slot, macroKeyIds);
            if (const json* keys = Member(profile, "keys")) {
                const std::string keysPath = Field(at, "keys");
                Array(*keys, keysPath, kKeyMapSlots);
                std::set<std::size_t> seen;
                for (std::size_t k = 0; k < keys->size(); ++k)
                    SlotEntryFromJson((*keys)[k], Item(keysPath, k), map, macroKeyIds, copy, seen);
            }
        }
    }

    if (const json* macros = Member(document, "macros")) {
        Array(*macros, "macros", kMaxMacros);
        for (std::size_t i = 0; i < macros->size(); ++i)
            copy.Macros().push_back(MacroFromJson((*macros)[i], Item("macros", i), i));
        if (Status list = CheckMacroList(copy.Macros()); !list) Fail("macros", list.error());
    }
    std::uint32_t padding = 0;
    if (const json* v = Member(document, "stringPadding"))
        padding = static_cast<std::uint32_t>(Integer(*v, "stringPadding", 0, kMaxStringBytes - copy.StringBytes()));
    return ImageWithFlag(copy, flag, padding);
}

std::string WithoutExceptionTag(std::string text)
{
    // nlohmann's messages start with "[json.exception.parse_error.101] ".
    if (text.starts_with("[json.exception.")) {
        const std::size_t end = text.find("] ");
        if (end != std::string::npos) text.erase(0, end + 2);
    }
    return text;
}

} // namespace

nlohmann::ordered_json ProfileToJson(const CurrentCopy& copy)
{
    ordered_json out = {{"kestruneProfile", kProfileJsonFormat}};
    const ConfigBlock& block = *copy.Block();
    if (block.header.flag != kConfigFlagWritten) out["flag"] = block.header.flag;
    if (block.device != DefaultDeviceBlock()) out["device"] = Hex(block.device);
    if (block.header.stringBytes > copy.StringBytes())
        out["stringPadding"] = block.header.stringBytes - copy.StringBytes();
    ordered_json profiles = ordered_json::array();
    for (std::size_t map = 0; map < kConfigKeyMapCount; ++map) {
        // Key map 3 serves no profile of the keyboard: shown only when it holds something.
        if (map == wire::kProfileCount && block.maps[map] == KeyMap{}) continue;
        const bool macroKeyIds = MajorityHasMacroKeyIds(block.maps[map]);
        ordered_json profile = {{"profile", map}};
        if (macroKeyIds != DefaultMacroKeyIds(map)) profile["macroKeyIds"] = macroKeyIds;
        profile["keys"] = KeysJson(copy, map, macroKeyIds);
        profiles.push_back(std::move(profile));
    }
    out["profiles"] = std::move(profiles);
    ordered_json macros = ordered_json::array();
    for (const MacroRecord& macro : copy.Macros()) macros.push_back(MacroJson(macro));
    out["macros"] = std::move(macros);
    return out;
}

Result<std::vector<std::uint8_t>> ProfileImageFromJson(const nlohmann::json& document)
{
    try {
        return ImageFromDocument(document);
    } catch (const JsonProblem& problem) {
        return Error{problem.message};
    } catch (const std::bad_alloc&) {
        return Error{"no memory to build the profile"};
    }
}

std::vector<std::uint8_t> ProgramProfileImage(CurrentCopy& copy)
{
    return ImageWithFlag(copy, kConfigFlagWritten);
}

bool LooksLikeJson(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    char c = 0;
    while (file.get(c))
        if (!std::isspace(static_cast<unsigned char>(c))) return c == '{';
    return false;
}

Result<nlohmann::json> ReadJsonDocument(const std::filesystem::path& path)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return Error{"there is no such file"};
    if (std::filesystem::file_size(path, ec) > kMaxJsonBytes)
        return Error{"the file is larger than the JSON form of any profile can be"};
    std::ifstream file(path, std::ios::binary);
    if (!file) return Error{"it cannot be opened"};
    try {
        return json::parse(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } catch (const json::exception& e) {
        return Error{"not valid JSON: " + WithoutExceptionTag(e.what())};
    }
}

Result<CurrentCopy> LoadProfileEitherForm(const std::filesystem::path& path, ActionSlots slots)
{
    if (!LooksLikeJson(path)) return LoadCheckedProfile(path, slots);
    Result<json> document = ReadJsonDocument(path);
    if (!document) return Error{document.error()};
    Result<std::vector<std::uint8_t>> image = ProfileImageFromJson(*document);
    if (!image) return Error{image.error()};
    auto copy = ParseProfileImage(*image, slots);
    if (!copy) return Error{copy.error()};
    return copy;
}

} // namespace kestrune::cli
