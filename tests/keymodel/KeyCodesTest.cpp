#include "keymodel/KeyCodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kestrune {
namespace {

std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            char code[12];
            std::snprintf(code, sizeof code, "<U+%04X>", static_cast<unsigned>(c));
            out += code;
        }
    }
    return out;
}

// Restores the built-in language texts whatever a test changed.
class KeyNames : public ::testing::Test {
protected:
    void SetUp() override { ResetKeyLanguageTexts(); }
    void TearDown() override { ResetKeyLanguageTexts(); }
};

std::vector<KeyIndex> AllValidKeys()
{
    std::vector<KeyIndex> keys;
    for (KeyIndex k = 0; k <= kMaxKeyIndex; ++k)
        if (IsValidKeyIndex(k)) keys.push_back(k);
    return keys;
}

TEST(CompactKeys, ConversionIsInverseOnEveryKeyAndEveryCompactValue)
{
    const auto keys = AllValidKeys();
    EXPECT_EQ(keys.size(), 256u);
    std::set<CompactKey> seen;
    for (KeyIndex k : keys) {
        EXPECT_EQ(KeyFromCompact(CompactFromKey(k)), k) << std::hex << k;
        seen.insert(CompactFromKey(k));
    }
    EXPECT_EQ(seen.size(), 256u);
    for (unsigned x = 0; x < 256; ++x) {
        const auto compact = static_cast<CompactKey>(x);
        EXPECT_TRUE(IsValidKeyIndex(KeyFromCompact(compact))) << x;
        EXPECT_EQ(CompactFromKey(KeyFromCompact(compact)), compact) << x;
    }
    EXPECT_EQ(CompactFromKey(0x145), 0xC5);
    EXPECT_EQ(CompactFromKey(0x17F), 0xFF);
    EXPECT_EQ(KeyFromCompact(0x80), 0x100);
    // Break codes are not keys: 0x0C5 would otherwise read as Num Lock's row.
    EXPECT_FALSE(IsValidKeyIndex(0x0C5));
    EXPECT_FALSE(IsValidKeyIndex(0x180));
}

TEST(KeyDescriptorTable, AgreesWithTheOtherKeyTables)
{
    std::size_t occupied = 0;
    for (const KeyDescriptor& row : KeyDescriptorTable) {
        if (row.name.empty()) {
            EXPECT_EQ(row.listCode, kVacantListCode);
            EXPECT_EQ(row.primaryVk, 0);
            EXPECT_EQ(row.usage, 0);
        } else {
            ++occupied;
        }
        // Only numeric-pad keys have a second code.
        if (row.secondaryVk != row.primaryVk) {
            EXPECT_EQ(row.name.substr(0, 4), u"Num ");
        }
    }
    EXPECT_EQ(occupied, 155u);

    // Every ordinary key is in the pick list, each line names one of them.
    std::set<std::uint16_t> codes;
    for (KeyIndex k : KeyButtonOrder) {
        const std::uint16_t code = ListCodeFromKey(k);
        ASSERT_LT(code, kListCodeCount) << std::hex << k;
        EXPECT_EQ(KeyFromListCode(code), k) << std::hex << k;
        codes.insert(code);
    }
    EXPECT_EQ(codes.size(), kOrdinaryKeyCount);
    std::set<KeyIndex> distinctKeys(KeyButtonOrder.begin(), KeyButtonOrder.end());
    EXPECT_EQ(distinctKeys.size(), kOrdinaryKeyCount);

    // Each media function's key sends the function's consumer usage and
    // shows the function's language text.
    for (std::size_t r = 0; r < MediaTable.size(); ++r) {
        const MediaRow& media = MediaTable[r];
        EXPECT_EQ(UsageFromKey(media.key), (UsagePair{kUsagePageConsumer, media.consumerUsage})) << r;
        EXPECT_EQ(DescriptorOfKey(media.key).languageKey, media.languageKey) << r;
        EXPECT_EQ(MediaRowOfUsage(media.consumerUsage), r);
        EXPECT_EQ(KeyFromUsage({kUsagePageConsumer, media.consumerUsage}), media.key) << r;
    }

    // The modifier keys send the HID modifier usages E0..E7 in bit order.
    for (std::size_t bit = 0; bit < ModifierKeys.size(); ++bit)
        EXPECT_EQ(UsageFromKey(ModifierKeys[bit]),
                  (UsagePair{kUsagePageKeyboard, static_cast<std::uint16_t>(0xE0 + bit)}));

    // Keyboard-page usages name one key each, apart from the two pairs the
    // table shares on purpose.
    std::set<std::uint8_t> usages;
    for (KeyIndex k : AllValidKeys()) {
        const UsagePair usage = UsageFromKey(k);
        if (usage.page != kUsagePageKeyboard || k == 0x146 || k == kKeyFakeShift) continue;
        EXPECT_TRUE(usages.insert(static_cast<std::uint8_t>(usage.usage)).second) << std::hex << k;
    }
}

TEST_F(KeyNames, NamesAndTheUnknownKeyText)
{
    const struct {
        KeyIndex key;
        std::u16string name;
    } cases[] = {
        {0x055, u"Unknown Key: 055"},
        {0x000, u"Unknown Key: 000"},
        {0x036, u"Right Shift"},
        {0x136, u"Right Shift"},
        {0x029, u"`"},
        {0x02B, u"\\"},
        {0x148, u"\u2191"},
        {0x14B, u"\u2190"},
        {0x153, u"Delete"},
        {0x110, u"Hello world"},
        {0x0C5, u"Unknown Key: 0c5"},
        {0x1FF, u"Unknown Key: 1ff"},
        {0x290, u"Unknown Key: 290"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Narrow(KeyName(c.key)), Narrow(c.name)) << std::hex << c.key;
        char16_t buffer[kKeyNameCapacity];
        EXPECT_EQ(KeyName(c.key, buffer, kKeyNameCapacity), c.name.size());
        EXPECT_EQ(std::u16string(buffer), c.name);
    }
}

TEST_F(KeyNames, BufferIsCutAndAlwaysTerminated)
{
    char16_t buffer[12];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(KeyName(0x00E, buffer, 4), 3u);
    EXPECT_EQ(std::u16string(buffer), u"Bac");
    EXPECT_EQ(buffer[4], u'#');

    EXPECT_EQ(KeyName(0x00E, buffer, 10), 9u); // "Backspace" and its terminator fit exactly
    EXPECT_EQ(std::u16string(buffer), u"Backspace");

    EXPECT_EQ(KeyName(0x00E, buffer, 1), 0u);
    EXPECT_EQ(buffer[0], u'\0');
    buffer[0] = u'#';
    EXPECT_EQ(KeyName(0x00E, buffer, 0), 0u);
    EXPECT_EQ(buffer[0], u'#');
}

TEST_F(KeyNames, LanguageTextsReplaceTheBuiltInOnes)
{
    const auto entries = KeyLanguageEntries();
    ASSERT_EQ(entries.size(), 1 + kMediaCount);
    EXPECT_EQ(entries[0].languageKey, "UNKNOWN_KEY");
    EXPECT_EQ(entries[0].builtIn, u"Unknown Key: %03x");
    for (std::size_t r = 0; r < kMediaCount; ++r) {
        EXPECT_EQ(entries[r + 1].languageKey, MediaTable[r].languageKey);
        EXPECT_EQ(entries[r + 1].builtIn, u"Hello world");
    }

    EXPECT_TRUE(SetKeyLanguageText("MEDIA_V_ADD_7", u"Volume +"));
    EXPECT_EQ(KeyName(0x130), u"Volume +");
    EXPECT_FALSE(SetKeyLanguageText("MAIN_CAPTION", u"x"));
    EXPECT_EQ(KeyLanguageText("MAIN_CAPTION"), u"");

    // A lookup that knows some keys leaves the others as they are.
    LoadKeyLanguageTexts([](std::string_view key) -> std::optional<std::u16string> {
        if (key == "UNKNOWN_KEY") return u"?%X";
        if (key == "MEDIA_MUTE_8") return u"Mute";
        return std::nullopt;
    });
    EXPECT_EQ(KeyName(0x120), u"Mute");
    EXPECT_EQ(KeyName(0x130), u"Volume +");
    EXPECT_EQ(KeyName(0x17F), u"?17F");

    // The pick-list name of a language row follows the text too.
    EXPECT_TRUE(SetKeyLanguageText("MEDIA_PALYER_1", u"Player"));
    EXPECT_EQ(KeyName(0x16D), u"Player");

    // An empty language text falls back to the unknown-key text.
    EXPECT_TRUE(SetKeyLanguageText("MEDIA_CALC_17", u""));
    EXPECT_EQ(KeyName(0x121), u"?121");

    ResetKeyLanguageTexts();
    EXPECT_EQ(KeyName(0x120), u"Hello world");
}

TEST_F(KeyNames, UnknownKeyTextFromTheLanguageFileIsFormattedSafely)
{
    const struct {
        std::u16string pattern;
        std::u16string expected;
    } cases[] = {
        {u"Key %04X!", u"Key 0055!"},
        {u"%d|%-5x|%5x|%o", u"85|55   |   55|125"},
        {u"%s %n %p %%", u"%s %n %p %"},
        {u"100%", u"100%"},
        {u"%999999999x", std::u16string(30, u' ') + u"55"},
        {u"no number", u"no number"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SetKeyLanguageText("UNKNOWN_KEY", c.pattern));
        EXPECT_EQ(Narrow(KeyName(0x055)), Narrow(c.expected)) << Narrow(c.pattern);
    }
}

TEST_F(KeyNames, RefillingTextsWhileAnotherThreadReadsNamesIsSafe)
{
    std::thread writer([] {
        for (int i = 0; i < 200; ++i) {
            SetKeyLanguageText("MEDIA_MUTE_8", i % 2 ? u"Mute" : u"Stumm geschaltet");
            SetKeyLanguageText("UNKNOWN_KEY", i % 2 ? u"? %03x" : u"Unknown %x");
        }
    });
    for (int i = 0; i < 200; ++i) {
        const std::u16string name = KeyName(0x120);
        EXPECT_TRUE(name == u"Mute" || name == u"Stumm geschaltet" || name == u"Hello world") << Narrow(name);
        const std::u16string unknown = KeyName(0x055);
        EXPECT_TRUE(unknown == u"? 055" || unknown == u"Unknown 55" || unknown == u"Unknown Key: 055")
            << Narrow(unknown);
    }
    writer.join();
}

TEST(ListCodes, PickListLinesMapToKeys)
{
    EXPECT_EQ(KeyFromListCode(103), 0x036);
    EXPECT_EQ(ListCodeName(103), u"Right Shift");
    EXPECT_EQ(ListCodeFromKey(0x136), 103);
    EXPECT_EQ(KeyFromListCode(0), 0x01E);
    EXPECT_EQ(ListCodeName(96), u"K45");
    EXPECT_EQ(ListCodeName(106), u"");
    EXPECT_EQ(KeyFromListCode(106), kNoKey);
    EXPECT_NE(ListCodeFromKey(0x054) & kNotListedBit, 0); // Sys Req has a name but no line
    EXPECT_EQ(ListCodeFromKey(0x055), kVacantListCode);
    EXPECT_EQ(ListCodeFromKey(0x0C5), kVacantListCode); // not Num Lock's line
    for (std::uint16_t code = 0; code < kListCodeCount; ++code) {
        EXPECT_NE(KeyFromListCode(code), kNoKey) << code;
        EXPECT_FALSE(ListCodeName(code).empty()) << code;
    }
}

TEST(Usages, KeyToUsageAndBack)
{
    const struct {
        KeyIndex key;
        UsagePair usage;
    } toUsage[] = {
        {0x15E, {1, 0x81}},  {0x163, {1, 0x83}},   {0x054, {0, 0}},    {0x070, {7, 0x88}}, {0x174, {12, 0}},
        {0x130, {12, 0xE9}}, {0x16D, {12, 0x183}}, {0x01E, {7, 0x04}}, {0x072, {7, 0x90}}, {0x055, {0, 0}},
        {0x0C5, {0, 0}},     {0x138, {7, 0xE6}},   {0x146, {7, 0x48}},
    };
    for (const auto& c : toUsage) {
        const UsagePair usage = UsageFromKey(c.key);
        EXPECT_EQ(usage.page, c.usage.page) << std::hex << c.key;
        EXPECT_EQ(usage.usage, c.usage.usage) << std::hex << c.key;
    }

    const struct {
        UsagePair usage;
        KeyIndex key;
    } toKey[] = {
        {{12, 0}, 0x174}, {{12, 0x00E9}, 0x130}, {{7, 0x48}, 0x045}, {{7, 0xE5}, 0x036},    {{1, 0x82}, 0x15F},
        {{1, 0x84}, 0},   {{1, 0x04}, 0},        {{7, 0}, 0},        {{7, 0x104}, 0},       {{12, 0x1234}, 0},
        {{3, 0x04}, 0},   {{7, 0x04}, 0x01E},    {{7, 0xFF}, 0},     {{12, 0x022A}, 0x166},
    };
    for (const auto& c : toKey)
        EXPECT_EQ(KeyFromUsage(c.usage), c.key) << c.usage.page << "/" << std::hex << c.usage.usage;
}

TEST(Modifiers, BitsAndKeys)
{
    EXPECT_EQ(KeyFromModifierBits(0x22), 0x02A);
    EXPECT_EQ(KeyFromModifierBits(0x00), kNoKey);
    EXPECT_EQ(KeyFromModifierBits(0x80), 0x15C);
    EXPECT_EQ(KeyFromModifierBits(0x40), 0x138);
    for (unsigned bit = 0; bit < 8; ++bit) {
        const auto mask = static_cast<std::uint8_t>(1u << bit);
        EXPECT_EQ(ModifierBitOfKey(KeyFromModifierBits(mask)), mask);
    }
    EXPECT_EQ(ModifierBitOfKey(0x036), 0x20);
    EXPECT_EQ(ModifierBitOfKey(0x136), 0);
    EXPECT_EQ(ModifierBitOfKey(0x01E), 0);
    EXPECT_EQ(ModifierBitOfKey(kNoKey), 0);
}

TEST(SmallTables, ReleaseOnlyKeysAndMacroKeys)
{
    for (KeyIndex k : AllValidKeys()) {
        const bool expected = k == 0x054 || k == 0x071 || k == 0x072 || k == 0x137;
        EXPECT_EQ(IsReleaseOnlyKey(k), expected) << std::hex << k;
    }
    EXPECT_EQ(GKeyId(1, GKeyBank::A), 0x0301);
    EXPECT_EQ(GKeyId(9, GKeyBank::A), 0x0309);
    EXPECT_EQ(GKeyId(1, GKeyBank::B), 0x1301);
    EXPECT_EQ(GKeyId(9, GKeyBank::B), 0x1309);
    EXPECT_EQ(GKeyId(0, GKeyBank::A), 0);
    EXPECT_EQ(GKeyId(10, GKeyBank::B), 0);
    EXPECT_EQ(ButtonPositionOfKey(0x04E), 103u);
    EXPECT_EQ(ButtonPositionOfKey(0x136), std::nullopt);
}

TEST(HookEvents, VirtualKeyAndScanCodeGiveTheKey)
{
    const struct {
        const char* what;
        std::uint32_t vk;
        std::uint8_t scan;
        bool extended;
        KeyIndex key;
    } cases[] = {
        {"pad 7 with Num Lock off", 0x24, 0x47, false, 0x047},
        {"pad 7 with Num Lock on", 0x67, 0x47, false, 0x047},
        {"Home of the navigation block", 0x24, 0x47, true, 0x147},
        {"pad Enter", 0x0D, 0x1C, true, 0x11C},
        {"Enter", 0x0D, 0x1C, false, 0x01C},
        {"scan code 0 falls back on the code", 0x41, 0x00, false, 0x01E},
        {"scan code 0, snapshot code", 0x2C, 0x00, false, 0x137},
        {"code 0xFF keeps the scan candidate", 0xFF, 0x5A, true, 0x15A},
        {"right shift", 0xA1, 0x36, false, 0x036},
        {"right shift reported as generic shift", 0x10, 0x36, false, 0x036},
        {"fake shift", 0xA1, 0x36, true, 0x136},
        {"right ctrl reported as generic ctrl", 0x11, 0x1D, true, 0x11D},
        {"right alt reported as generic alt", 0x12, 0x38, true, 0x138},
        {"print screen", 0x2C, 0x37, true, 0x137},
        {"sys req", 0x2C, 0x54, false, 0x054},
        {"pause", 0x13, 0x45, false, 0x045},
        {"num lock", 0x90, 0x45, true, 0x145},
        {"scan code of another key", 0x41, 0x30, false, 0x01E},
        {"mouse button has no key", 0x01, 0x00, false, 0},
        {"code 0x9C without a descriptor", 0x9C, 0x00, false, 0x154},
        {"break code is no key", 0x41, 0xC5, false, 0x01E},
        {"code beyond the table", 0x141, 0x00, false, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KeyFromHookEvent(c.vk, c.scan, c.extended), c.key) << c.what;
        // The same from the hook's keystroke word, with repeat count, context,
        // previous-state and transition bits set around the fields that matter.
        const std::uint32_t flags = 0xFE000001u | (std::uint32_t{c.scan} << 16) | (c.extended ? 0x01000000u : 0u);
        EXPECT_EQ(KeyFromHookEvent(c.vk, flags), c.key) << c.what << " (flags)";
    }
}

TEST(HookEvents, FallbackTableFollowsThePrimaryCodesWithItsExceptions)
{
    const struct {
        std::uint32_t vk;
        KeyIndex key;
    } exceptions[] = {
        {0x01, 0},     {0x02, 0},     {0x04, 0},     {0x88, 0},     {0x89, 0},     {0x8A, 0},
        {0x97, 0},     {0x98, 0},     {0x99, 0},     {0x9A, 0},     {0x9B, 0},     {0x9E, 0},
        {0x9F, 0},     {0xFF, 0},     {0x10, 0x02A}, {0x11, 0x01D}, {0x12, 0x038}, {0x2C, 0x137},
        {0x8B, 0x152}, {0x8C, 0x153}, {0x9C, 0x154}, {0x9D, 0x155},
    };
    std::set<std::uint32_t> special;
    for (const auto& c : exceptions) {
        EXPECT_EQ(KeyFromCompact(VkFallbackTable[c.vk]), c.key) << std::hex << c.vk;
        special.insert(c.vk);
    }
    for (std::uint32_t vk = 0; vk < 256; ++vk) {
        if (special.count(vk)) continue;
        CompactKey first = 0;
        for (std::size_t compact = 0; compact < kKeyDescriptorRows; ++compact) {
            if (KeyDescriptorTable[compact].primaryVk == vk && vk != 0) {
                first = static_cast<CompactKey>(compact);
                break;
            }
        }
        EXPECT_EQ(VkFallbackTable[vk], first) << std::hex << vk;
    }
    EXPECT_EQ(KeyFromCompact(VkFallbackTable[0x0D]), 0x01C); // Enter before pad Enter
    EXPECT_EQ(KeyFromCompact(VkFallbackTable[0xA1]), 0x036); // Right Shift before the fake shift
}

} // namespace
} // namespace kestrune
