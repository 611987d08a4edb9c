#include "ProfileReport.h"

#include "common/Utf.h"
#include "config/ConfigHeader.h"
#include "config/KeyButtonText.h"
#include "config/KeyDialogCommit.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "config/ProfileFileCheck.h"
#include "keymodel/KeyAssignment.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace kestrune::cli {

namespace {

constexpr std::size_t kShownKeyMaps = wire::kProfileCount; // key map 3 is never used
constexpr std::uint64_t kMaxProfileFileSize = 0xFFFFFFFFull;

std::string Number(std::uint64_t n)
{
    return std::to_string(n);
}

std::string HeaderProblem(const std::array<std::uint8_t, kConfigHeaderSize>& bytes, std::uint64_t fileSize)
{
    const ConfigHeader h = DecodeConfigHeader(bytes);
    const auto field = [](const char* name, std::uint64_t found, std::uint64_t expected) {
        return std::string("header field ") + name + " is " + Number(found) + ", expected " + Number(expected) +
               " (not a profile file, or a corrupt one)";
    };
    if (h.magic != kConfigMagic) return field("magic", h.magic, kConfigMagic);
    if (h.headerSize != kConfigHeaderSize) return field("header size", h.headerSize, kConfigHeaderSize);
    if (h.version != kConfigVersion) return field("version", h.version, kConfigVersion);
    if (h.one != kConfigHeaderOne) return field("at offset 6", h.one, kConfigHeaderOne);
    if (h.slotCount != kConfigKeySlotCount) return field("key slot count", h.slotCount, kConfigKeySlotCount);
    if (h.macroCount > kMaxMacros)
        return "the header announces " + Number(h.macroCount) + " macros, at most " + Number(kMaxMacros) +
               " are allowed";
    if (h.flag > kConfigFlagMaxAccepted)
        return "header flag is " + Number(h.flag) + ", expected at most " + Number(kConfigFlagMaxAccepted);
    if (h.checksum != HeaderChecksum(bytes))
        return "header checksum is " + Number(h.checksum) + ", expected " + Number(HeaderChecksum(bytes)) +
               " (the file is corrupt)";
    const std::uint64_t expectedTotal = ProfileTotalSize(h.macroCount, h.stringBytes);
    if (h.totalSize < kConfigBlockSize || h.totalSize != expectedTotal)
        return "the header's total size is " + Number(h.totalSize) + " bytes, but " + Number(h.macroCount) +
               " macros and " + Number(h.stringBytes) + " string bytes make " + Number(expectedTotal) +
               " (the file is corrupt)";
    if (fileSize < h.totalSize)
        return "the file is truncated: its header announces " + Number(h.totalSize) + " bytes, the file has " +
               Number(fileSize);
    return {};
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

template <typename T>
std::optional<T> ParseNumber(std::string_view text, int base)
{
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::string Utf8KeyName(KeyIndex key)
{
    return Utf16ToUtf8(KeyName(key));
}

// Name of the key a slot of a key map belongs to.
std::string SlotName(std::size_t slot)
{
    if (slot < kKeySlotCount) return Utf8KeyName(KeyFromCompact(static_cast<CompactKey>(slot)));
    if (slot < kGKeyFirstSlot + kGKeySlotCount) {
        const std::size_t g = slot - kGKeyFirstSlot;
        return "G" + Number(g % kGKeyCount + 1) + (g < static_cast<std::size_t>(kGKeyCount) ? " bank A" : " bank B");
    }
    return "slot " + Number(slot);
}

std::optional<std::string> SlotText(const CurrentCopy& copy, std::size_t map, std::size_t slot)
{
    auto text = copy.Strings().Text(StringSlotIndex(map, slot));
    if (!text) return std::nullopt;
    return Utf16ToUtf8(*text);
}

std::string ActionText(const MacroAction& action)
{
    return std::string(action.IsPress() ? "press " : "release ") + Utf8KeyName(action.key) + ", " +
           std::to_string(action.delay) + " ms";
}

} // namespace

const char* TypeName(AssignmentType type)
{
    switch (type) {
    case AssignmentType::Default: return "Default";
    case AssignmentType::Disabled: return "Disabled";
    case AssignmentType::RemapKey: return "RemapKey";
    case AssignmentType::LaunchProgram: return "LaunchProgram";
    case AssignmentType::PlayMacro: return "PlayMacro";
    case AssignmentType::StopMacro: return "StopMacro";
    case AssignmentType::TextBlock: return "TextBlock";
    case AssignmentType::Media: return "Media";
    case AssignmentType::FunctionKey: return "FunctionKey";
    case AssignmentType::Unknown: return "Unknown";
    }
    return "Unknown";
}

Result<CurrentCopy> LoadCheckedProfile(const std::filesystem::path& path, ActionSlots slots)
{
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return Error{"there is no such file"};
    if (!std::filesystem::is_regular_file(path, ec)) return Error{"it is not a regular file"};
    const std::uint64_t fileSize = std::filesystem::file_size(path, ec);
    if (ec) return Error{"its size cannot be read: " + ec.message()};
    if (fileSize < kConfigBlockSize)
        return Error{"the file is truncated: " + Number(fileSize) + " bytes, a profile file has at least " +
                     Number(kConfigBlockSize)};
    if (fileSize > kMaxProfileFileSize) return Error{"the file is larger than any profile file can be"};

    std::ifstream file(path, std::ios::binary);
    if (!file) return Error{"it cannot be opened"};
    std::array<std::uint8_t, kConfigHeaderSize> header{};
    if (!file.read(reinterpret_cast<char*>(header.data()), header.size())) return Error{"its header cannot be read"};
    if (std::string problem = HeaderProblem(header, fileSize); !problem.empty()) return Error{problem};
    // The words above are ours; the verdict must still be the core's.
    if (!ProfileHeaderAccepted(header, fileSize)) return Error{"the header is not one a profile file has"};

    // Only the bytes the header announces; anything after them is ignored.
    const ConfigHeader h = DecodeConfigHeader(header);
    std::vector<std::uint8_t> image(h.totalSize);
    std::ranges::copy(header, image.begin());
    if (!file.read(reinterpret_cast<char*>(image.data() + kConfigHeaderSize),
                   static_cast<std::streamsize>(image.size() - kConfigHeaderSize)))
        return Error{"the file could not be read to its end"};

    auto copy = ParseProfileImage(image, slots);
    if (!copy) return Error{copy.error()};
    if (Status macros = CheckMacroList(copy->Macros()); !macros) return Error{"bad macro list: " + macros.error()};
    return copy;
}

std::string DescribeAssignment(const CurrentCopy& copy, std::size_t map, std::size_t slot)
{
    const KeyAssignment* a = copy.Assignment(map, slot);
    if (a == nullptr) return {};
    switch (a->type) {
    case AssignmentType::Default: return "default";
    case AssignmentType::Disabled: return "disabled";
    case AssignmentType::RemapKey: return "key " + Utf8KeyName(static_cast<KeyIndex>(a->value));
    case AssignmentType::LaunchProgram: return "program " + SlotText(copy, map, slot).value_or("(no path)");
    case AssignmentType::PlayMacro: {
        std::string text = "macro " + Number(a->value);
        if (a->aux > 1) text += " x" + Number(a->aux);
        return text;
    }
    case AssignmentType::StopMacro: return "stop macro";
    case AssignmentType::TextBlock: return "text \"" + SlotText(copy, map, slot).value_or("") + "\"";
    case AssignmentType::Media:
        if (a->value < kMediaCount)
            return "media " + Number(a->value) + " (" + Utf8KeyName(MediaTable[a->value].key) + ")";
        return "media " + Number(a->value);
    case AssignmentType::FunctionKey:
        // Named as the key dialog's list names it, as media are.
        if (a->value < kFunctionKeyCount)
            return "function " + Number(a->value) + " (" + Utf16ToUtf8(FunctionKeyText(TheLanguageTable(), a->value)) +
                   ")";
        return "function " + Number(a->value);
    case AssignmentType::Unknown: return "unknown keyboard entry " + HardwareEntryText(RawEntryOf(a->value));
    }
    return "unknown type " + Number(static_cast<std::uint16_t>(a->type));
}

std::string ProfileText(const CurrentCopy& copy)
{
    std::ostringstream out;
    for (std::size_t map = 0; map < kShownKeyMaps; ++map) {
        out << "Profile " << map << ":\n";
        bool any = false;
        for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot) {
            const KeyAssignment* a = copy.Assignment(map, slot);
            if (a == nullptr || a->type == AssignmentType::Default) continue;
            out << "  " << SlotName(slot) << " -> " << DescribeAssignment(copy, map, slot) << "\n";
            any = true;
        }
        if (!any) out << "  (every key does what it is labelled)\n";
    }
    out << "Macros: " << copy.MacroCount() << "\n";
    for (const MacroRecord& macro : copy.Macros()) {
        out << "  " << macro.id << " \"" << Utf16ToUtf8(macro.Name()) << "\", " << int{macro.cycles}
            << (macro.cycles == 1 ? " cycle, " : " cycles, ") << macro.Actions().size() << " actions\n";
        for (const MacroAction& action : macro.Actions()) out << "    " << ActionText(action) << "\n";
    }
    return out.str();
}

nlohmann::json ProfileJson(const CurrentCopy& copy)
{
    nlohmann::json profiles = nlohmann::json::array();
    for (std::size_t map = 0; map < kShownKeyMaps; ++map) {
        nlohmann::json keys = nlohmann::json::array();
        for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot) {
            const KeyAssignment* a = copy.Assignment(map, slot);
            if (a == nullptr || a->type == AssignmentType::Default) continue;
            nlohmann::json key = {{"slot", slot},
                                  {"key", SlotName(slot)},
                                  {"type", TypeName(a->type)},
                                  {"value", a->value},
                                  {"aux", a->aux},
                                  {"target", DescribeAssignment(copy, map, slot)}};
            if (slot < kKeySlotCount) key["keyIndex"] = KeyFromCompact(static_cast<CompactKey>(slot));
            if (a->type == AssignmentType::RemapKey) key["targetKey"] = Utf8KeyName(static_cast<KeyIndex>(a->value));
            if (HasStringSlot(a->type)) key["text"] = SlotText(copy, map, slot).value_or("");
            keys.push_back(std::move(key));
        }
        profiles.push_back({{"profile", map}, {"keys", std::move(keys)}});
    }
    nlohmann::json macros = nlohmann::json::array();
    for (const MacroRecord& macro : copy.Macros()) {
        nlohmann::json actions = nlohmann::json::array();
        for (const MacroAction& action : macro.Actions())
            actions.push_back({{"key", Utf8KeyName(action.key)},
                               {"keyIndex", action.key},
                               {"direction", action.IsPress() ? "press" : "release"},
                               {"delay", action.delay}});
        macros.push_back({{"id", macro.id},
                          {"name", Utf16ToUtf8(macro.Name())},
                          {"cycles", macro.cycles},
                          {"actions", std::move(actions)}});
    }
    return {{"profiles", std::move(profiles)}, {"macros", std::move(macros)}};
}

std::optional<KeyIndex> ParseKey(std::string_view text)
{
    if (text.empty()) return std::nullopt;
    const std::string wanted = Lower(text);
    // Button order first, so a name two keys share means the one on the keyboard's face.
    for (KeyIndex key : KeyButtonOrder)
        if (Lower(Utf8KeyName(key)) == wanted) return key;
    for (KeyIndex key = 1; key <= kMaxKeyIndex; ++key)
        if (IsValidKeyIndex(key) && Lower(Utf8KeyName(key)) == wanted) return key;
    std::optional<unsigned> number = wanted.starts_with("0x") ? ParseNumber<unsigned>(wanted.substr(2), 16)
                                                              : ParseNumber<unsigned>(wanted, 10);
    if (number && *number > 0 && *number <= kMaxKeyIndex && IsValidKeyIndex(static_cast<KeyIndex>(*number)))
        return static_cast<KeyIndex>(*number);
    return std::nullopt;
}

std::optional<std::size_t> ParseKeyLight(std::string_view text)
{
    const std::string lower = Lower(text);
    if (lower == "fn") return kFnLight;
    if (lower.size() == 2 && lower[0] == 'g' && lower[1] >= '1' && lower[1] <= '9')
        if (auto light = LightOfGKey(lower[1] - '0')) return *light;
    auto key = ParseKey(text);
    if (!key) return std::nullopt;
    auto position = ButtonPositionOfKey(*key);
    if (!position) return std::nullopt;
    return kKeyLedTable[*position];
}

std::optional<Colour> ParseColour(std::string_view text)
{
    if (text.starts_with('#')) text.remove_prefix(1);
    if (text.size() != 6) return std::nullopt;
    auto rgb = ParseNumber<std::uint32_t>(text, 16);
    if (!rgb) return std::nullopt;
    return MakeColour(static_cast<std::uint8_t>(*rgb >> 16), static_cast<std::uint8_t>(*rgb >> 8),
                      static_cast<std::uint8_t>(*rgb));
}

std::string ColourText(Colour colour)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : ColourBytes(colour)) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

} // namespace kestrune::cli
