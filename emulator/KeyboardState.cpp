#include "emulator/KeyboardState.h"

#include "keymodel/DefaultHardwareTable.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <span>

namespace kestrune::emulator {

namespace {

// The lighting the keyboard leaves its factory with: effect 1, brightness 3,
// speed 1, direction left, every effect colour white, the effect 4 to 14
// rainbow flags off, trigger single key, the effect 15 rainbow flag on.
constexpr std::array<std::uint8_t, 39> kFactoryLighting = {0x01, 0x03, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                                                           0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                                                           0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                                                           0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x01};
static_assert(kFactoryLighting.size() <= wire::kLightingBlockSize);

constexpr std::array<std::uint8_t, wire::kBankStatusSize> kFactoryBankStatus = {0x05, 0x02};

constexpr std::uint8_t kErasedByte = 0xFF;

const char* const kFieldSettings = "settings";
const char* const kFieldKeyTables = "key_tables";
const char* const kFieldDefaultKeyTable = "default_key_table";
const char* const kFieldMacroArea = "macro_area";
const char* const kFieldLighting = "lighting";
const char* const kFieldKeyColours = "key_colours";
const char* const kFieldAttached = "attached";
const char* const kFieldBankStatus = "bank_status";

std::string ToHex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1; // upper case is not the file's form either
}

Result<std::vector<std::uint8_t>> FromHex(const nlohmann::json& value, std::string_view field)
{
    if (!value.is_string())
        return Error{"field \"" + std::string(field) + "\": expected a hex string, found " + value.type_name()};
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() % 2 != 0)
        return Error{"field \"" + std::string(field) + "\": expected an even number of hex digits, found " +
                     std::to_string(text.size())};
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return Error{"field \"" + std::string(field) + "\": expected lower-case hex digits, found \"" +
                         text.substr(2 * i, 2) + "\" at byte " + std::to_string(i)};
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return bytes;
}

template <std::size_t N>
Status ReadFixed(const nlohmann::json& value, std::string_view field, std::array<std::uint8_t, N>& out)
{
    auto bytes = FromHex(value, field);
    if (!bytes) return Error{bytes.error()};
    if (bytes->size() != N)
        return Error{"field \"" + std::string(field) + "\": expected " + std::to_string(N) + " bytes, found " +
                     std::to_string(bytes->size())};
    std::copy(bytes->begin(), bytes->end(), out.begin());
    return {};
}

const nlohmann::json* Member(const nlohmann::json& object, const char* name)
{
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

} // namespace

KeyboardState FactoryKeyboardState()
{
    KeyboardState state;
    state.settings[wire::kSettingsActiveProfile] = 0;
    state.settings[wire::kSettingsMacroCapacity] = kFactoryMacroCapacityUnits;
    for (std::size_t slot = 0; slot < wire::kEffectListSlots; ++slot)
        state.settings[wire::kSettingsEffectList + slot] = static_cast<std::uint8_t>(slot + 1);
    state.defaultKeyTable = HardwareKeyTableToBytes(DefaultHardwareTable);
    state.keyTables.fill(state.defaultKeyTable);
    state.macroArea.assign(MacroCapacityBytes(state.settings), kErasedByte);
    std::copy(kFactoryLighting.begin(), kFactoryLighting.end(), state.lighting.begin());
    state.keyColours.fill(0xFF);
    state.attached = true;
    state.bankStatus = kFactoryBankStatus;
    return state;
}

Status CheckKeyboardState(const KeyboardState& state)
{
    const unsigned profile = state.settings[wire::kSettingsActiveProfile];
    if (profile >= static_cast<unsigned>(wire::kProfileCount))
        return Error{"settings byte 10 (active profile): expected 0 to 2, found " + std::to_string(profile)};
    const std::size_t capacity = MacroCapacityBytes(state.settings);
    if (state.macroArea.size() != capacity)
        return Error{"macro area: expected " + std::to_string(capacity) +
                     " bytes (the capacity in settings byte 11), found " + std::to_string(state.macroArea.size())};
    return {};
}

std::string KeyboardStateToJson(const KeyboardState& state)
{
    // ordered_json keeps the fields in this order, so the file reads top-down.
    nlohmann::ordered_json json;
    json[kFieldSettings] = ToHex(state.settings);
    json[kFieldKeyTables] = nlohmann::ordered_json::array();
    for (const auto& table : state.keyTables) json[kFieldKeyTables].push_back(ToHex(table));
    json[kFieldDefaultKeyTable] = ToHex(state.defaultKeyTable);
    json[kFieldMacroArea] = ToHex(state.macroArea);
    json[kFieldLighting] = ToHex(state.lighting);
    json[kFieldKeyColours] = ToHex(state.keyColours);
    json[kFieldAttached] = state.attached;
    json[kFieldBankStatus] = ToHex(state.bankStatus);
    return json.dump(2) + "\n";
}

Result<KeyboardState> KeyboardStateFromJson(std::string_view text)
{
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) return Error{"expected a JSON document, found text that does not parse as JSON"};
    if (!json.is_object()) return Error{std::string("expected a JSON object, found ") + json.type_name()};

    for (const char* name : {kFieldSettings, kFieldKeyTables, kFieldDefaultKeyTable, kFieldMacroArea, kFieldLighting,
                             kFieldKeyColours, kFieldAttached, kFieldBankStatus}) {
        if (!Member(json, name)) return Error{std::string("field \"") + name + "\": missing"};
    }

    KeyboardState state;
    if (auto s = ReadFixed(json[kFieldSettings], kFieldSettings, state.settings); !s) return Error{s.error()};

    const auto& tables = json[kFieldKeyTables];
    if (!tables.is_array() || tables.size() != state.keyTables.size())
        return Error{std::string("field \"") + kFieldKeyTables + "\": expected an array of " +
                     std::to_string(state.keyTables.size()) + " hex strings, found " +
                     (tables.is_array() ? std::to_string(tables.size()) + " entries" : tables.type_name())};
    for (std::size_t p = 0; p < state.keyTables.size(); ++p) {
        const std::string field = std::string(kFieldKeyTables) + "[" + std::to_string(p) + "]";
        if (auto s = ReadFixed(tables[p], field, state.keyTables[p]); !s) return Error{s.error()};
    }
    if (auto s = ReadFixed(json[kFieldDefaultKeyTable], kFieldDefaultKeyTable, state.defaultKeyTable); !s)
        return Error{s.error()};
    auto macro = FromHex(json[kFieldMacroArea], kFieldMacroArea);
    if (!macro) return Error{macro.error()};
    state.macroArea = std::move(*macro);
    if (auto s = ReadFixed(json[kFieldLighting], kFieldLighting, state.lighting); !s) return Error{s.error()};
    if (auto s = ReadFixed(json[kFieldKeyColours], kFieldKeyColours, state.keyColours); !s) return Error{s.error()};
    const auto& attached = json[kFieldAttached];
    if (!attached.is_boolean())
        return Error{std::string("field \"") + kFieldAttached + "\": expected true or false, found " +
                     attached.type_name()};
    state.attached = attached.get<bool>();
    if (auto s = ReadFixed(json[kFieldBankStatus], kFieldBankStatus, state.bankStatus); !s) return Error{s.error()};

    if (auto s = CheckKeyboardState(state); !s) return Error{s.error()};
    return state;
}

} // namespace kestrune::emulator
