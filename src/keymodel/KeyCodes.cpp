#include "keymodel/KeyCodes.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace kestrune {

namespace {

constexpr std::uint16_t kUnlisted = kVacantListCode;

struct KeyRow {
    KeyIndex key;
    std::u16string_view name;
    std::string_view languageKey;
    std::uint16_t listCode;
    std::uint8_t primaryVk;
    std::uint8_t secondaryVk;
    std::uint8_t usage;
};

// Every row that is not vacant. A row with a language key shows the language
// text of that key; its name here is the built-in text.
// clang-format off
constexpr KeyRow kKeyRows[] = {
    {0x001, u"Esc", {}, 37, 0x1B, 0x1B, 0x29},
    {0x002, u"1", {}, 26, 0x31, 0x31, 0x1E},
    {0x003, u"2", {}, 27, 0x32, 0x32, 0x1F},
    {0x004, u"3", {}, 28, 0x33, 0x33, 0x20},
    {0x005, u"4", {}, 29, 0x34, 0x34, 0x21},
    {0x006, u"5", {}, 30, 0x35, 0x35, 0x22},
    {0x007, u"6", {}, 31, 0x36, 0x36, 0x23},
    {0x008, u"7", {}, 32, 0x37, 0x37, 0x24},
    {0x009, u"8", {}, 33, 0x38, 0x38, 0x25},
    {0x00A, u"9", {}, 34, 0x39, 0x39, 0x26},
    {0x00B, u"0", {}, 35, 0x30, 0x30, 0x27},
    {0x00C, u"-", {}, 41, 0xBD, 0xBD, 0x2D},
    {0x00D, u"=", {}, 42, 0xBB, 0xBB, 0x2E},
    {0x00E, u"Backspace", {}, 38, 0x08, 0x08, 0x2A},
    {0x00F, u"Tab", {}, 39, 0x09, 0x09, 0x2B},
    {0x010, u"Q", {}, 16, 0x51, 0x51, 0x14},
    {0x011, u"W", {}, 22, 0x57, 0x57, 0x1A},
    {0x012, u"E", {}, 4, 0x45, 0x45, 0x08},
    {0x013, u"R", {}, 17, 0x52, 0x52, 0x15},
    {0x014, u"T", {}, 19, 0x54, 0x54, 0x17},
    {0x015, u"Y", {}, 24, 0x59, 0x59, 0x1C},
    {0x016, u"U", {}, 20, 0x55, 0x55, 0x18},
    {0x017, u"I", {}, 8, 0x49, 0x49, 0x0C},
    {0x018, u"O", {}, 14, 0x4F, 0x4F, 0x12},
    {0x019, u"P", {}, 15, 0x50, 0x50, 0x13},
    {0x01A, u"[", {}, 43, 0xDB, 0xDB, 0x2F},
    {0x01B, u"]", {}, 44, 0xDD, 0xDD, 0x30},
    {0x01C, u"Enter", {}, 36, 0x0D, 0x0D, 0x28},
    {0x01D, u"Ctrl", {}, 98, 0xA2, 0xA2, 0xE0},
    {0x01E, u"A", {}, 0, 0x41, 0x41, 0x04},
    {0x01F, u"S", {}, 18, 0x53, 0x53, 0x16},
    {0x020, u"D", {}, 3, 0x44, 0x44, 0x07},
    {0x021, u"F", {}, 5, 0x46, 0x46, 0x09},
    {0x022, u"G", {}, 6, 0x47, 0x47, 0x0A},
    {0x023, u"H", {}, 7, 0x48, 0x48, 0x0B},
    {0x024, u"J", {}, 9, 0x4A, 0x4A, 0x0D},
    {0x025, u"K", {}, 10, 0x4B, 0x4B, 0x0E},
    {0x026, u"L", {}, 11, 0x4C, 0x4C, 0x0F},
    {0x027, u";", {}, 46, 0xBA, 0xBA, 0x33},
    {0x028, u"'", {}, 47, 0xDE, 0xDE, 0x34},
    {0x029, u"`", {}, 48, 0xC0, 0xC0, 0x35},
    {0x02A, u"Shift", {}, 99, 0xA0, 0xA0, 0xE1},
    {0x02B, u"\\", {}, 45, 0xDC, 0xDC, 0x31},
    {0x02C, u"Z", {}, 25, 0x5A, 0x5A, 0x1D},
    {0x02D, u"X", {}, 23, 0x58, 0x58, 0x1B},
    {0x02E, u"C", {}, 2, 0x43, 0x43, 0x06},
    {0x02F, u"V", {}, 21, 0x56, 0x56, 0x19},
    {0x030, u"B", {}, 1, 0x42, 0x42, 0x05},
    {0x031, u"N", {}, 13, 0x4E, 0x4E, 0x11},
    {0x032, u"M", {}, 12, 0x4D, 0x4D, 0x10},
    {0x033, u",", {}, 49, 0xBC, 0xBC, 0x36},
    {0x034, u".", {}, 50, 0xBE, 0xBE, 0x37},
    {0x035, u"/", {}, 51, 0xBF, 0xBF, 0x38},
    {0x036, u"Right Shift", {}, 103, 0xA1, 0xA1, 0xE5},
    {0x037, u"Num *", {}, 81, 0x6A, 0x6A, 0x55},
    {0x038, u"Alt", {}, 100, 0xA4, 0xA4, 0xE2},
    {0x039, u"Space", {}, 40, 0x20, 0x20, 0x2C},
    {0x03A, u"Caps Lock", {}, 78, 0x14, 0x14, 0x39},
    {0x03B, u"F1", {}, 52, 0x70, 0x70, 0x3A},
    {0x03C, u"F2", {}, 53, 0x71, 0x71, 0x3B},
    {0x03D, u"F3", {}, 54, 0x72, 0x72, 0x3C},
    {0x03E, u"F4", {}, 55, 0x73, 0x73, 0x3D},
    {0x03F, u"F5", {}, 56, 0x74, 0x74, 0x3E},
    {0x040, u"F6", {}, 57, 0x75, 0x75, 0x3F},
    {0x041, u"F7", {}, 58, 0x76, 0x76, 0x40},
    {0x042, u"F8", {}, 59, 0x77, 0x77, 0x41},
    {0x043, u"F9", {}, 60, 0x78, 0x78, 0x42},
    {0x044, u"F10", {}, 61, 0x79, 0x79, 0x43},
    {0x045, u"Pause", {}, 65, 0x13, 0x13, 0x48},
    {0x046, u"Scroll Lock", {}, 77, 0x91, 0x91, 0x47},
    {0x047, u"Num 7", {}, 91, 0x67, 0x24, 0x5F},
    {0x048, u"Num 8", {}, 92, 0x68, 0x26, 0x60},
    {0x049, u"Num 9", {}, 93, 0x69, 0x21, 0x61},
    {0x04A, u"Num -", {}, 82, 0x6D, 0x6D, 0x56},
    {0x04B, u"Num 4", {}, 88, 0x64, 0x25, 0x5C},
    {0x04C, u"Num 5", {}, 89, 0x65, 0x0C, 0x5D},
    {0x04D, u"Num 6", {}, 90, 0x66, 0x27, 0x5E},
    {0x04E, u"Num +", {}, 83, 0x6B, 0x6B, 0x57},
    {0x04F, u"Num 1", {}, 85, 0x61, 0x23, 0x59},
    {0x050, u"Num 2", {}, 86, 0x62, 0x28, 0x5A},
    {0x051, u"Num 3", {}, 87, 0x63, 0x22, 0x5B},
    {0x052, u"Num 0", {}, 94, 0x60, 0x2D, 0x62},
    {0x053, u"Num .", {}, 95, 0x6E, 0x2E, 0x63},
    {0x054, u"Sys Req", {}, kUnlisted, 0x2C, 0x2C, 0x00},
    {0x056, u"K45", {}, 96, 0xE2, 0xE2, 0x64},
    {0x057, u"F11", {}, 62, 0x7A, 0x7A, 0x44},
    {0x058, u"F12", {}, 63, 0x7B, 0x7B, 0x45},
    {0x064, u"F13", {}, kUnlisted, 0x7C, 0x7C, 0x00},
    {0x070, u"ROMA (133)", {}, kUnlisted, 0xFF, 0xFF, 0x88},
    {0x071, u"KL", {}, kUnlisted, 0xE9, 0xE9, 0x91},
    {0x072, u"KR", {}, kUnlisted, 0xFF, 0xFF, 0x90},
    {0x073, u"K56", {}, kUnlisted, 0xC1, 0xC1, 0x87},
    {0x079, u"CHG (132)", {}, kUnlisted, 0xFF, 0xFF, 0x8A},
    {0x07B, u"N-CHG (131)", {}, kUnlisted, 0xEB, 0xEB, 0x8B},
    {0x07D, u"K14", {}, kUnlisted, 0xFF, 0xFF, 0x89},
    {0x07E, u"K107", {}, kUnlisted, 0xC2, 0xC2, 0x85},
    {0x110, u"Hello world", "MEDIA_PREV_TRACK_4", kUnlisted, 0xB1, 0xB1, 0xD0},
    {0x119, u"Hello world", "MEDIA_Next_TRACK_5", kUnlisted, 0xB0, 0xB0, 0xD1},
    {0x11C, u"Num Enter", {}, 84, 0x0D, 0x0D, 0x58},
    {0x11D, u"Right Ctrl", {}, 102, 0xA3, 0xA3, 0xE4},
    {0x120, u"Hello world", "MEDIA_MUTE_8", kUnlisted, 0xAD, 0xAD, 0xCD},
    {0x121, u"Hello world", "MEDIA_CALC_17", kUnlisted, 0xB7, 0xB7, 0xC4},
    {0x122, u"Hello world", "MEDIA_PALY_PAUSE_2", kUnlisted, 0xB3, 0xB3, 0xCE},
    {0x124, u"Hello world", "MEDIA_STOP_PALY_3", kUnlisted, 0xB2, 0xB2, 0xCF},
    {0x12E, u"Hello world", "MEDIA_V_LOW_6", kUnlisted, 0xAE, 0xAE, 0xC1},
    {0x130, u"Hello world", "MEDIA_V_ADD_7", kUnlisted, 0xAF, 0xAF, 0xC0},
    {0x132, u"Hello world", "MEDIA_WWW_HOME_9", kUnlisted, 0xAC, 0xAC, 0xC7},
    {0x135, u"Num /", {}, 80, 0x6F, 0x6F, 0x54},
    {0x136, u"Right Shift", {}, 103, 0xA1, 0xA1, 0xE5},
    {0x137, u"Print Screen", {}, 64, 0x2C, 0x2C, 0x46},
    {0x138, u"Right Alt", {}, 104, 0xA5, 0xA5, 0xE6},
    {0x145, u"Num Lock", {}, 79, 0x90, 0x90, 0x53},
    {0x146, u"Break", {}, 66, 0x03, 0x03, 0x48},
    {0x147, u"Home", {}, 69, 0x24, 0x24, 0x4A},
    {0x148, u"\u2191", {}, 73, 0x26, 0x26, 0x52},
    {0x149, u"Page Up", {}, 71, 0x21, 0x21, 0x4B},
    {0x14B, u"\u2190", {}, 75, 0x25, 0x25, 0x50},
    {0x14D, u"\u2192", {}, 76, 0x27, 0x27, 0x4F},
    {0x14F, u"End", {}, 70, 0x23, 0x23, 0x4D},
    {0x150, u"\u2193", {}, 74, 0x28, 0x28, 0x51},
    {0x151, u"Page Down", {}, 72, 0x22, 0x22, 0x4E},
    {0x152, u"Insert", {}, 67, 0x2D, 0x2D, 0x49},
    {0x153, u"Delete", {}, 68, 0x2E, 0x2E, 0x4C},
    {0x15B, u"Win", {}, 101, 0x5B, 0x5B, 0xE3},
    {0x15C, u"Right Win", {}, 105, 0x5C, 0x5C, 0xE7},
    {0x15D, u"App", {}, 97, 0x5D, 0x5D, 0x65},
    {0x15E, u"Power", {}, kUnlisted, 0xFF, 0xFF, 0x81},
    {0x15F, u"Sleep", {}, kUnlisted, 0x5F, 0x5F, 0x82},
    {0x163, u"Wake", {}, kUnlisted, 0xFF, 0xFF, 0x83},
    {0x165, u"Hello world", "MEDIA_WWW_SEARCH_15", kUnlisted, 0xAA, 0xAA, 0xC6},
    {0x166, u"Hello world", "MEDIA_WWW_FAVORITE_14", kUnlisted, 0xAB, 0xAB, 0xCC},
    {0x167, u"Hello world", "MEDIA_WWW_REFRESH_10", kUnlisted, 0xA8, 0xA8, 0xCB},
    {0x168, u"Hello world", "MEDIA_WWW_STOP_11", kUnlisted, 0xA9, 0xA9, 0xCA},
    {0x169, u"Hello world", "MEDIA_WWW_FORWARD_13", kUnlisted, 0xA7, 0xA7, 0xC9},
    {0x16A, u"Hello world", "MEDIA_WWW_BACK_12", kUnlisted, 0xA6, 0xA6, 0xC8},
    {0x16B, u"Hello world", "MEDIA_MY_PC_16", kUnlisted, 0xB6, 0xB6, 0xC5},
    {0x16C, u"Hello world", "MEDIA_MAIL_18", kUnlisted, 0xB4, 0xB4, 0xC3},
    {0x16D, u"Hello world", "MEDIA_PALYER_1", kUnlisted, 0xB5, 0xB5, 0xC2},
    {0x16E, u"Pan Left", {}, kUnlisted, 0x88, 0x88, 0x00},
    {0x16F, u"Pan Right", {}, kUnlisted, 0x89, 0x89, 0x00},
    {0x170, u"Double Click", {}, kUnlisted, 0x8A, 0x8A, 0x00},
    {0x171, u"Left Button", {}, kUnlisted, 0x01, 0x01, 0x00},
    {0x172, u"Right Button", {}, kUnlisted, 0x02, 0x02, 0x00},
    {0x173, u"Middle Button", {}, kUnlisted, 0x04, 0x04, 0x00},
    {0x174, u"Zoom-", {}, kUnlisted, 0x8B, 0x8B, 0xD2},
    {0x175, u"Zoom+", {}, kUnlisted, 0x8C, 0x8C, 0xD3},
    {0x176, u"Copy", {}, kUnlisted, 0x97, 0x97, 0x00},
    {0x177, u"Cut", {}, kUnlisted, 0x98, 0x98, 0x00},
    {0x178, u"Paste", {}, kUnlisted, 0x99, 0x99, 0x00},
    {0x179, u"Minimize", {}, kUnlisted, 0x9A, 0x9A, 0x00},
    {0x17A, u"Maximize", {}, kUnlisted, 0x9B, 0x9B, 0x00},
    {0x17B, u"Word", {}, kUnlisted, 0x9C, 0x9C, 0xD4},
    {0x17C, u"Excel", {}, kUnlisted, 0x9D, 0x9D, 0xD5},
    {0x17D, u"PowerPoint", {}, kUnlisted, 0x9E, 0x9E, 0x00},
    {0x17E, u"Calendar", {}, kUnlisted, 0x9F, 0x9F, 0x00},
};
// clang-format on

constexpr std::array<KeyDescriptor, kKeyDescriptorRows> BuildDescriptorTable()
{
    std::array<KeyDescriptor, kKeyDescriptorRows> table{};
    for (const KeyRow& row : kKeyRows) {
        table[CompactFromKey(row.key)] =
            KeyDescriptor{row.name, row.languageKey, row.listCode, row.primaryVk, row.secondaryVk, row.usage};
    }
    return table;
}

constexpr std::array<CompactKey, 256> BuildVkFallbackTable(const std::array<KeyDescriptor, kKeyDescriptorRows>& rows)
{
    std::array<CompactKey, 256> table{};
    // First row (ascending CompactKey) for each primary code.
    for (std::size_t compact = kKeyDescriptorRows; compact-- > 0;) {
        const std::uint8_t vk = rows[compact].primaryVk;
        if (vk != 0) table[vk] = static_cast<CompactKey>(compact);
    }
    // Mouse buttons, mouse-only functions and the "no code" marker give no key.
    for (int vk : {0x01, 0x02, 0x04, 0x88, 0x89, 0x8A, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9E, 0x9F, 0xFF}) table[vk] = 0;
    // The generic modifier codes stand for the left keys.
    table[0x10] = CompactFromKey(kKeyShift);
    table[0x11] = CompactFromKey(kKeyCtrl);
    table[0x12] = CompactFromKey(kKeyAlt);
    // The snapshot code means Print Screen, not Sys Req.
    table[0x2C] = CompactFromKey(kKeyPrintScreen);
    table[0x8B] = CompactFromKey(0x152);
    table[0x8C] = CompactFromKey(0x153);
    table[0x9C] = CompactFromKey(0x154);
    table[0x9D] = CompactFromKey(0x155);
    return table;
}

} // namespace

constexpr std::array<KeyDescriptor, kKeyDescriptorRows> KeyDescriptorTable = BuildDescriptorTable();
constexpr std::array<CompactKey, 256> VkFallbackTable = BuildVkFallbackTable(KeyDescriptorTable);

const KeyDescriptor& DescriptorOfKey(KeyIndex key)
{
    static constexpr KeyDescriptor kVacant{};
    return IsValidKeyIndex(key) ? KeyDescriptorTable[CompactFromKey(key)] : kVacant;
}

// --- Language texts ------------------------------------------------------------

namespace {

constexpr std::array<KeyLanguageEntry, 1 + kMediaCount> BuildLanguageEntries()
{
    std::array<KeyLanguageEntry, 1 + kMediaCount> entries{};
    entries[0] = {kUnknownKeyLanguageKey, kUnknownKeyBuiltIn};
    for (std::size_t row = 0; row < kMediaCount; ++row)
        entries[row + 1] = {MediaTable[row].languageKey, kMediaNameBuiltIn};
    return entries;
}

constexpr auto kLanguageEntries = BuildLanguageEntries();

// The current texts. Written at start-up and on a language switch, read by
// every KeyName; the lock keeps a reader from seeing a half-written text.
class LanguageTexts {
public:
    LanguageTexts() { Reset(); }

    void Reset()
    {
        std::unique_lock lock(m_mutex);
        m_texts.clear();
        for (const KeyLanguageEntry& entry : kLanguageEntries)
            m_texts.emplace(entry.languageKey, std::u16string(entry.builtIn));
    }

    bool Set(std::string_view key, std::u16string text)
    {
        std::unique_lock lock(m_mutex);
        auto it = m_texts.find(key);
        if (it == m_texts.end()) return false;
        it->second = std::move(text);
        return true;
    }

    std::u16string Get(std::string_view key) const
    {
        std::shared_lock lock(m_mutex);
        auto it = m_texts.find(key);
        return it == m_texts.end() ? std::u16string() : it->second;
    }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    mutable std::shared_mutex m_mutex;
    std::unordered_map<std::string, std::u16string, Hash, std::equal_to<>> m_texts;
};

LanguageTexts& Texts()
{
    static LanguageTexts texts;
    return texts;
}

void AppendNumber(std::u16string& out, unsigned value, unsigned base, bool upper, std::size_t width, bool zeroPad,
                  bool leftAlign)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string number;
    do {
        number.insert(number.begin(), static_cast<char16_t>(digits[value % base]));
        value /= base;
    } while (value != 0);
    const std::size_t pad = width > number.size() ? width - number.size() : 0;
    if (leftAlign) {
        out += number;
        out.append(pad, u' ');
    } else {
        out.append(pad, zeroPad ? u'0' : u' ');
        out += number;
    }
}

// Formats the unknown-key text with the key number. The text comes from the
// user's language file, so only integer conversions are honoured; any other
// conversion is copied as it stands rather than handed to a printf.
std::u16string FormatUnknownKey(std::u16string_view pattern, KeyIndex key)
{
    constexpr std::size_t kMaxWidth = 32;
    std::u16string out;
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char16_t c = pattern[i];
        if (c != u'%') {
            out += c;
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        if (j < pattern.size() && pattern[j] == u'%') {
            out += u'%';
            i = j + 1;
            continue;
        }
        bool zeroPad = false;
        bool leftAlign = false;
        while (j < pattern.size() && std::u16string_view(u"-0 +#").find(pattern[j]) != std::u16string_view::npos) {
            zeroPad |= pattern[j] == u'0';
            leftAlign |= pattern[j] == u'-';
            ++j;
        }
        std::size_t width = 0;
        while (j < pattern.size() && pattern[j] >= u'0' && pattern[j] <= u'9') {
            width = std::min<std::size_t>(width * 10 + static_cast<std::size_t>(pattern[j] - u'0'), kMaxWidth);
            ++j;
        }
        while (j < pattern.size() && (pattern[j] == u'h' || pattern[j] == u'l')) ++j;
        if (j >= pattern.size()) {
            out.append(pattern.substr(i));
            break;
        }
        const char16_t conversion = pattern[j];
        unsigned base = 0;
        if (conversion == u'x' || conversion == u'X') base = 16;
        if (conversion == u'd' || conversion == u'i' || conversion == u'u') base = 10;
        if (conversion == u'o') base = 8;
        if (base == 0) {
            out.append(pattern.substr(i, j + 1 - i));
        } else {
            AppendNumber(out, key, base, conversion == u'X', width, zeroPad && !leftAlign, leftAlign);
        }
        i = j + 1;
    }
    return out;
}

} // namespace

std::span<const KeyLanguageEntry> KeyLanguageEntries()
{
    return kLanguageEntries;
}

bool SetKeyLanguageText(std::string_view languageKey, std::u16string text)
{
    return Texts().Set(languageKey, std::move(text));
}

void LoadKeyLanguageTexts(const std::function<std::optional<std::u16string>(std::string_view)>& lookup)
{
    for (const KeyLanguageEntry& entry : kLanguageEntries) {
        if (auto text = lookup(entry.languageKey)) Texts().Set(entry.languageKey, std::move(*text));
    }
}

void ResetKeyLanguageTexts()
{
    Texts().Reset();
}

std::u16string KeyLanguageText(std::string_view languageKey)
{
    return Texts().Get(languageKey);
}

namespace {

std::u16string RowName(const KeyDescriptor& row)
{
    return row.languageKey.empty() ? std::u16string(row.name) : Texts().Get(row.languageKey);
}

} // namespace

std::u16string KeyName(KeyIndex key)
{
    std::u16string name = RowName(DescriptorOfKey(key));
    if (name.empty()) name = FormatUnknownKey(Texts().Get(kUnknownKeyLanguageKey), key);
    return name;
}

std::size_t KeyName(KeyIndex key, char16_t* buffer, std::size_t capacity)
{
    if (buffer == nullptr || capacity == 0) return 0;
    const std::u16string name = KeyName(key);
    const std::size_t count = std::min(name.size(), capacity - 1);
    std::copy_n(name.begin(), count, buffer);
    buffer[count] = u'\0';
    return count;
}

// --- Pick-list codes ----------------------------------------------------------

namespace {

std::optional<std::size_t> FirstRowWithListCode(std::uint16_t listCode)
{
    for (std::size_t compact = 0; compact < kKeyDescriptorRows; ++compact)
        if (KeyDescriptorTable[compact].listCode == listCode) return compact;
    return std::nullopt;
}

} // namespace

std::u16string ListCodeName(std::uint16_t listCode)
{
    const auto row = FirstRowWithListCode(listCode);
    return row ? RowName(KeyDescriptorTable[*row]) : std::u16string();
}

KeyIndex KeyFromListCode(std::uint16_t listCode)
{
    const auto row = FirstRowWithListCode(listCode);
    return row ? KeyFromCompact(static_cast<CompactKey>(*row)) : kNoKey;
}

std::uint16_t ListCodeFromKey(KeyIndex key)
{
    return DescriptorOfKey(key).listCode;
}

// --- Usages ---------------------------------------------------------------------

UsagePair UsageFromKey(KeyIndex key)
{
    const std::uint8_t b = DescriptorOfKey(key).usage;
    if (b == 0 || b == 0xFF) return {};
    if (b == kUsageBytePowerDown || b == kUsageByteSleep || b == kUsageByteWakeUp) return {kUsagePageGenericDesktop, b};
    if (b >= kUsageByteConsumerFirst && b <= kUsageByteConsumerLast)
        return {kUsagePageConsumer, ConsumerUsageTable[b - kUsageByteConsumerFirst]};
    return {kUsagePageKeyboard, b};
}

KeyIndex KeyFromUsage(UsagePair pair)
{
    std::uint16_t b = 0;
    switch (pair.page) {
    case kUsagePageKeyboard:
        b = pair.usage;
        break;
    case kUsagePageGenericDesktop:
        if (pair.usage == kUsageBytePowerDown || pair.usage == kUsageByteSleep || pair.usage == kUsageByteWakeUp)
            b = pair.usage;
        break;
    case kUsagePageConsumer: {
        const auto it = std::find(ConsumerUsageTable.begin(), ConsumerUsageTable.end(), pair.usage);
        if (it != ConsumerUsageTable.end())
            b = static_cast<std::uint16_t>(kUsageByteConsumerFirst + (it - ConsumerUsageTable.begin()));
        break;
    }
    default:
        break;
    }
    for (std::size_t compact = 0; compact < kKeyDescriptorRows; ++compact)
        if (KeyDescriptorTable[compact].usage == b) return KeyFromCompact(static_cast<CompactKey>(compact));
    return kNoKey;
}

std::optional<std::size_t> MediaRowOfUsage(std::uint16_t consumerUsage)
{
    for (std::size_t row = 0; row < MediaTable.size(); ++row)
        if (MediaTable[row].consumerUsage == consumerUsage) return row;
    return std::nullopt;
}

std::optional<std::size_t> ButtonPositionOfKey(KeyIndex key)
{
    const auto it = std::find(KeyButtonOrder.begin(), KeyButtonOrder.end(), key);
    if (it == KeyButtonOrder.end()) return std::nullopt;
    return static_cast<std::size_t>(it - KeyButtonOrder.begin());
}

// --- Keyboard hook ----------------------------------------------------------------

KeyIndex KeyFromHookEvent(std::uint32_t virtualKey, std::uint32_t flags)
{
    const auto s = static_cast<KeyIndex>((flags >> 16) & 0x1FF);
    if (s == kKeyRightShift) return kKeyRightShift;
    const CompactKey fallbackCompact = virtualKey <= 0xFF ? VkFallbackTable[virtualKey] : CompactKey{0};
    const KeyIndex fallback = KeyFromCompact(fallbackCompact);
    if (virtualKey == 0xFF) return s;
    if ((s & 0xFF) == 0) return fallback;
    // A scan code beyond the table is a break code or noise, never a key.
    if (!IsValidKeyIndex(s)) return fallback;
    const KeyDescriptor& row = KeyDescriptorTable[CompactFromKey(s)];
    if (row.primaryVk == virtualKey || row.secondaryVk == virtualKey) return s;
    if ((s & 0xFF) == fallbackCompact) return s;
    return fallback;
}

KeyIndex KeyFromHookEvent(std::uint32_t virtualKey, std::uint8_t scanCode, bool extended)
{
    const std::uint32_t flags = (std::uint32_t{scanCode} << 16) | (extended ? (1u << 24) : 0u);
    return KeyFromHookEvent(virtualKey, flags);
}

} // namespace kestrune
