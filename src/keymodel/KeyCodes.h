#pragma once

// The one numbering of keys used everywhere in the program, the constant table
// of key properties, and the conversions between a key and the other codes the
// program meets: its 8-bit storage form, its line in the single-key pick list,
// HID usages, the HID modifier byte and the codes a keyboard hook delivers.
//
// Everything here is constant data and pure functions, except the key names
// that come from the language table. Those are filled at start-up (see
// SetKeyLanguageText) and may be refilled when the language changes; the
// texts are guarded so that a refill never tears a name another thread reads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrune {

// Scan code set 1 make code in bits 0..6, the E0 prefix in bit 8; 0 = no key.
// Pause is 0x045 and Num Lock 0x145, against the rule.
using KeyIndex = std::uint16_t;
// 8-bit form of a KeyIndex; indexes every 256-slot array of keys.
using CompactKey = std::uint8_t;

inline constexpr KeyIndex kNoKey = 0x000;
inline constexpr KeyIndex kMaxKeyIndex = 0x17F;
inline constexpr std::size_t kKeyDescriptorRows = 256;

// List codes: 0..105 are lines of the single-key pick list; bit 15 marks a key
// that is not in it; vacant rows hold 0xFFFF.
inline constexpr std::uint16_t kListCodeCount = 106;
inline constexpr std::uint16_t kNotListedBit = 0x8000;
inline constexpr std::uint16_t kVacantListCode = 0xFFFF;

// Capacity, in UTF-16 units with the terminator, that callers give KeyName.
inline constexpr std::size_t kKeyNameCapacity = 260;

// Keys the rest of the program refers to by name.
inline constexpr KeyIndex kKeyCtrl = 0x01D;
inline constexpr KeyIndex kKeyShift = 0x02A;
inline constexpr KeyIndex kKeyRightShift = 0x036;
inline constexpr KeyIndex kKeyFakeShift = 0x136; // E0 36, named and listed like Right Shift
inline constexpr KeyIndex kKeyAlt = 0x038;
inline constexpr KeyIndex kKeyPause = 0x045;
inline constexpr KeyIndex kKeySysReq = 0x054;
inline constexpr KeyIndex kKeyRightCtrl = 0x11D;
inline constexpr KeyIndex kKeyPrintScreen = 0x137;
inline constexpr KeyIndex kKeyRightAlt = 0x138;
inline constexpr KeyIndex kKeyNumLock = 0x145;
inline constexpr KeyIndex kKeyWin = 0x15B;
inline constexpr KeyIndex kKeyRightWin = 0x15C;

constexpr CompactKey CompactFromKey(KeyIndex key)
{
    return key < 0x100 ? static_cast<CompactKey>(key) : static_cast<CompactKey>((key + 0x80) & 0xFF);
}

constexpr KeyIndex KeyFromCompact(CompactKey compact)
{
    return compact < 0x80 ? KeyIndex{compact} : static_cast<KeyIndex>(compact + 0x80);
}

// True for the numbers that can name a key: 0x000..0x17F with bit 7 clear
// (a make code never has it; 0x080..0x0FF are break codes). Any other number
// would alias another key's row through CompactFromKey, so every lookup below
// treats it as vacant. On these numbers KeyFromCompact undoes CompactFromKey.
constexpr bool IsValidKeyIndex(KeyIndex key)
{
    return key <= kMaxKeyIndex && (key & 0x80) == 0;
}

// One row of the key table. A row whose languageKey is set takes its name from
// the language table; name then holds the built-in text.
struct KeyDescriptor {
    std::u16string_view name;
    std::string_view languageKey;
    std::uint16_t listCode = kVacantListCode;
    std::uint8_t primaryVk = 0;
    std::uint8_t secondaryVk = 0; // differs from primaryVk only on the numeric pad (Num Lock off)
    std::uint8_t usage = 0;       // usage byte, see UsageFromKey
};

// 256 rows indexed by CompactKey.
extern const std::array<KeyDescriptor, kKeyDescriptorRows> KeyDescriptorTable;

// The row of a key; the vacant row for keys outside 0x000..0x17F.
const KeyDescriptor& DescriptorOfKey(KeyIndex key);

// --- Names -----------------------------------------------------------------

inline constexpr std::string_view kUnknownKeyLanguageKey = "UNKNOWN_KEY";
inline constexpr std::u16string_view kUnknownKeyBuiltIn = u"Unknown Key: %03x";

// A language text the key table uses, with the text it has until the language
// table is loaded.
struct KeyLanguageEntry {
    std::string_view languageKey;
    std::u16string_view builtIn;
};

// UNKNOWN_KEY and the names of the 18 media functions, in media-table order.
std::span<const KeyLanguageEntry> KeyLanguageEntries();

// Replaces the text of one language key used by the key table. Returns false
// (and changes nothing) for a key the table does not use. Start-up calls this
// for every entry of KeyLanguageEntries before any window exists; a later
// language switch may call it again.
bool SetKeyLanguageText(std::string_view languageKey, std::u16string text);

// Fills every key-table language text from a lookup; a key the lookup does not
// answer keeps its current text.
void LoadKeyLanguageTexts(const std::function<std::optional<std::u16string>(std::string_view)>& lookup);

// Puts every key-table language text back to its built-in value.
void ResetKeyLanguageTexts();

// The current text of a language key used by the key table; empty for others.
std::u16string KeyLanguageText(std::string_view languageKey);

// The display name of a key: its row's name, or the unknown-key text formatted
// with the key number when the row has none.
std::u16string KeyName(KeyIndex key);

// Writes KeyName into buffer, cut to capacity - 1 units and always terminated
// when capacity > 0. Returns the number of units written before the terminator.
std::size_t KeyName(KeyIndex key, char16_t* buffer, std::size_t capacity);

// --- Pick-list codes --------------------------------------------------------

// Name of the first row (ascending CompactKey) with this list code; empty when none.
std::u16string ListCodeName(std::uint16_t listCode);
// Key of the first row with this list code; 0 when none.
KeyIndex KeyFromListCode(std::uint16_t listCode);
// The list column of the key's row (bit 15 set for keys not in the list).
std::uint16_t ListCodeFromKey(KeyIndex key);

// --- HID usages -------------------------------------------------------------

inline constexpr std::uint16_t kUsagePageNone = 0;
inline constexpr std::uint16_t kUsagePageGenericDesktop = 1;
inline constexpr std::uint16_t kUsagePageKeyboard = 7;
inline constexpr std::uint16_t kUsagePageConsumer = 12;

// Usage bytes with a meaning of their own.
inline constexpr std::uint8_t kUsageBytePowerDown = 0x81;
inline constexpr std::uint8_t kUsageByteSleep = 0x82;
inline constexpr std::uint8_t kUsageByteWakeUp = 0x83;
inline constexpr std::uint8_t kUsageByteConsumerFirst = 0xC0;
inline constexpr std::uint8_t kUsageByteConsumerLast = 0xDF;

struct UsagePair {
    std::uint16_t page = kUsagePageNone;
    std::uint16_t usage = 0;
    friend constexpr bool operator==(const UsagePair&, const UsagePair&) = default;
};

// Consumer-page usages indexed by (usage byte - 0xC0).
inline constexpr std::array<std::uint16_t, 32> ConsumerUsageTable = {
    0x00E9, 0x00EA, 0x0183, 0x018A, 0x0192, 0x0194, 0x0221, 0x0223, 0x0224, 0x0225, 0x0226,
    0x0227, 0x022A, 0x00E2, 0x00CD, 0x00B7, 0x00B6, 0x00B5, 0,      0,      0,      0,
    0,      0,      0,      0,      0,      0,      0,      0,      0,      0,
};

UsagePair UsageFromKey(KeyIndex key);
KeyIndex KeyFromUsage(UsagePair usage);

// --- Media functions --------------------------------------------------------

struct MediaRow {
    std::uint16_t consumerUsage;
    KeyIndex key; // the keyboard's own key for the function
    std::string_view languageKey;
};

inline constexpr std::size_t kMediaCount = 18;

// The row number is what a Media assignment stores.
inline constexpr std::array<MediaRow, kMediaCount> MediaTable = {{
    {0x0183, 0x16D, "MEDIA_PALYER_1"},
    {0x00CD, 0x122, "MEDIA_PALY_PAUSE_2"},
    {0x00B7, 0x124, "MEDIA_STOP_PALY_3"},
    {0x00B6, 0x110, "MEDIA_PREV_TRACK_4"},
    {0x00B5, 0x119, "MEDIA_Next_TRACK_5"},
    {0x00EA, 0x12E, "MEDIA_V_LOW_6"},
    {0x00E9, 0x130, "MEDIA_V_ADD_7"},
    {0x00E2, 0x120, "MEDIA_MUTE_8"},
    {0x0223, 0x132, "MEDIA_WWW_HOME_9"},
    {0x0227, 0x167, "MEDIA_WWW_REFRESH_10"},
    {0x0226, 0x168, "MEDIA_WWW_STOP_11"},
    {0x0224, 0x16A, "MEDIA_WWW_BACK_12"},
    {0x0225, 0x169, "MEDIA_WWW_FORWARD_13"},
    {0x022A, 0x166, "MEDIA_WWW_FAVORITE_14"},
    {0x0221, 0x165, "MEDIA_WWW_SEARCH_15"},
    {0x0194, 0x16B, "MEDIA_MY_PC_16"},
    {0x0192, 0x121, "MEDIA_CALC_17"},
    {0x018A, 0x16C, "MEDIA_MAIL_18"},
}};

// The built-in text of every media function name.
inline constexpr std::u16string_view kMediaNameBuiltIn = u"Hello world";

// Row of the first media function sending this consumer usage.
std::optional<std::size_t> MediaRowOfUsage(std::uint16_t consumerUsage);

// --- Modifiers --------------------------------------------------------------

// The key each bit of the HID modifier byte stands for, bit 0 first.
inline constexpr std::array<KeyIndex, 8> ModifierKeys = {
    kKeyCtrl, kKeyShift, kKeyAlt, kKeyWin, kKeyRightCtrl, kKeyRightShift, kKeyRightAlt, kKeyRightWin,
};

constexpr KeyIndex KeyFromModifierBits(std::uint8_t bits)
{
    for (std::size_t bit = 0; bit < ModifierKeys.size(); ++bit)
        if (bits & (1u << bit)) return ModifierKeys[bit];
    return kNoKey;
}

// The modifier bit of the eight modifier keys, 0 for every other key
// (including the fake shift 0x136).
constexpr std::uint8_t ModifierBitOfKey(KeyIndex key)
{
    for (std::size_t bit = 0; bit < ModifierKeys.size(); ++bit)
        if (ModifierKeys[bit] == key) return static_cast<std::uint8_t>(1u << bit);
    return 0;
}

// --- Keys whose press the system hook never reports -------------------------

inline constexpr std::array<KeyIndex, 4> ReleaseOnlyKeys = {kKeySysReq, 0x071, 0x072, kKeyPrintScreen};

constexpr bool IsReleaseOnlyKey(KeyIndex key)
{
    for (KeyIndex k : ReleaseOnlyKeys)
        if (k == key) return true;
    return false;
}

// --- The ordinary keys in button order ---------------------------------------

inline constexpr std::size_t kOrdinaryKeyCount = 104;

// The order of the main window's key buttons and of the per-key colour marks.
inline constexpr std::array<KeyIndex, kOrdinaryKeyCount> KeyButtonOrder = {
    0x01E, 0x030, 0x02E, 0x020, 0x012, 0x021, 0x022, 0x023, 0x017, 0x024, 0x025, 0x026, 0x032, 0x031, 0x018,
    0x019, 0x010, 0x013, 0x01F, 0x014, 0x016, 0x02F, 0x011, 0x02D, 0x015, 0x02C, 0x002, 0x003, 0x004, 0x005,
    0x006, 0x007, 0x008, 0x009, 0x00A, 0x00B, 0x01C, 0x001, 0x00E, 0x00F, 0x039, 0x00C, 0x00D, 0x01A, 0x01B,
    0x02B, 0x027, 0x028, 0x029, 0x033, 0x034, 0x035, 0x03B, 0x03C, 0x03D, 0x03E, 0x03F, 0x040, 0x041, 0x042,
    0x043, 0x044, 0x057, 0x058, 0x137, 0x045, 0x152, 0x153, 0x147, 0x14F, 0x149, 0x151, 0x148, 0x150, 0x14B,
    0x14D, 0x046, 0x03A, 0x15D, 0x01D, 0x11D, 0x02A, 0x036, 0x038, 0x138, 0x15B, 0x15C, 0x04F, 0x050, 0x051,
    0x04B, 0x04C, 0x04D, 0x047, 0x048, 0x049, 0x052, 0x145, 0x11C, 0x053, 0x135, 0x037, 0x04A, 0x04E,
};

// Position of a key in KeyButtonOrder.
std::optional<std::size_t> ButtonPositionOfKey(KeyIndex key);

// --- Macro keys G1..G9 ------------------------------------------------------

enum class GKeyBank : std::uint8_t { A = 0, B = 1 };

inline constexpr int kGKeyCount = 9;
inline constexpr std::uint16_t kGKeyIdBaseA = 0x0300;
inline constexpr std::uint16_t kGKeyIdBaseB = 0x1300;

// Identity of macro key Gn (n = 1..9) in a bank; 0 for n out of range.
constexpr std::uint16_t GKeyId(int n, GKeyBank bank)
{
    if (n < 1 || n > kGKeyCount) return 0;
    return static_cast<std::uint16_t>((bank == GKeyBank::A ? kGKeyIdBaseA : kGKeyIdBaseB) + n);
}

// --- Keyboard hook ----------------------------------------------------------

// For each virtual-key code the CompactKey a hook event falls back on, or 0.
extern const std::array<CompactKey, 256> VkFallbackTable;

// Turns what a keyboard hook delivers into a key: the virtual-key code and the
// keystroke word (bits 16..23 scan code, bit 24 extended flag).
KeyIndex KeyFromHookEvent(std::uint32_t virtualKey, std::uint32_t flags);

// The same from the scan code and extended flag given separately.
KeyIndex KeyFromHookEvent(std::uint32_t virtualKey, std::uint8_t scanCode, bool extended);

} // namespace kestrune
