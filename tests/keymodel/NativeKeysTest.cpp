#include "keymodel/NativeKeys.h"

#include <gtest/gtest.h>

#if __has_include(<linux/input-event-codes.h>)
#include <linux/input-event-codes.h>
#define KESTRUNE_HAVE_EVDEV_HEADER 1
#endif

#include <algorithm>
#include <set>

namespace kestrune {
namespace {

#ifdef KESTRUNE_HAVE_EVDEV_HEADER
// Every key of the keyboard picture with the evdev code the kernel gives it,
// spelled with the kernel's own constants, and the key it must become.
struct Expected {
    unsigned evdev;
    KeyIndex key;
};
constexpr Expected kPictureKeys[] = {
    {KEY_A, 0x01E},
    {KEY_B, 0x030},
    {KEY_C, 0x02E},
    {KEY_D, 0x020},
    {KEY_E, 0x012},
    {KEY_F, 0x021},
    {KEY_G, 0x022},
    {KEY_H, 0x023},
    {KEY_I, 0x017},
    {KEY_J, 0x024},
    {KEY_K, 0x025},
    {KEY_L, 0x026},
    {KEY_M, 0x032},
    {KEY_N, 0x031},
    {KEY_O, 0x018},
    {KEY_P, 0x019},
    {KEY_Q, 0x010},
    {KEY_R, 0x013},
    {KEY_S, 0x01F},
    {KEY_T, 0x014},
    {KEY_U, 0x016},
    {KEY_V, 0x02F},
    {KEY_W, 0x011},
    {KEY_X, 0x02D},
    {KEY_Y, 0x015},
    {KEY_Z, 0x02C},
    {KEY_1, 0x002},
    {KEY_2, 0x003},
    {KEY_3, 0x004},
    {KEY_4, 0x005},
    {KEY_5, 0x006},
    {KEY_6, 0x007},
    {KEY_7, 0x008},
    {KEY_8, 0x009},
    {KEY_9, 0x00A},
    {KEY_0, 0x00B},
    {KEY_ENTER, 0x01C},
    {KEY_ESC, 0x001},
    {KEY_BACKSPACE, 0x00E},
    {KEY_TAB, 0x00F},
    {KEY_SPACE, 0x039},
    {KEY_MINUS, 0x00C},
    {KEY_EQUAL, 0x00D},
    {KEY_LEFTBRACE, 0x01A},
    {KEY_RIGHTBRACE, 0x01B},
    {KEY_BACKSLASH, 0x02B},
    {KEY_SEMICOLON, 0x027},
    {KEY_APOSTROPHE, 0x028},
    {KEY_GRAVE, 0x029},
    {KEY_COMMA, 0x033},
    {KEY_DOT, 0x034},
    {KEY_SLASH, 0x035},
    {KEY_F1, 0x03B},
    {KEY_F2, 0x03C},
    {KEY_F3, 0x03D},
    {KEY_F4, 0x03E},
    {KEY_F5, 0x03F},
    {KEY_F6, 0x040},
    {KEY_F7, 0x041},
    {KEY_F8, 0x042},
    {KEY_F9, 0x043},
    {KEY_F10, 0x044},
    {KEY_F11, 0x057},
    {KEY_F12, 0x058},
    // Two-part set-1 sequences and the two keys that break the numbering rule.
    {KEY_SYSRQ, 0x137},
    {KEY_PAUSE, 0x045},
    {KEY_INSERT, 0x152},
    {KEY_DELETE, 0x153},
    {KEY_HOME, 0x147},
    {KEY_END, 0x14F},
    {KEY_PAGEUP, 0x149},
    {KEY_PAGEDOWN, 0x151},
    {KEY_UP, 0x148},
    {KEY_DOWN, 0x150},
    {KEY_LEFT, 0x14B},
    {KEY_RIGHT, 0x14D},
    {KEY_SCROLLLOCK, 0x046},
    {KEY_CAPSLOCK, 0x03A},
    {KEY_COMPOSE, 0x15D},
    {KEY_LEFTCTRL, 0x01D},
    {KEY_RIGHTCTRL, 0x11D},
    {KEY_LEFTSHIFT, 0x02A},
    {KEY_RIGHTSHIFT, 0x036},
    {KEY_LEFTALT, 0x038},
    {KEY_RIGHTALT, 0x138},
    {KEY_LEFTMETA, 0x15B},
    {KEY_RIGHTMETA, 0x15C},
    {KEY_KP1, 0x04F},
    {KEY_KP2, 0x050},
    {KEY_KP3, 0x051},
    {KEY_KP4, 0x04B},
    {KEY_KP5, 0x04C},
    {KEY_KP6, 0x04D},
    {KEY_KP7, 0x047},
    {KEY_KP8, 0x048},
    {KEY_KP9, 0x049},
    {KEY_KP0, 0x052},
    {KEY_NUMLOCK, 0x145},
    {KEY_KPENTER, 0x11C},
    {KEY_KPDOT, 0x053},
    {KEY_KPSLASH, 0x135},
    {KEY_KPASTERISK, 0x037},
    {KEY_KPMINUS, 0x04A},
    {KEY_KPPLUS, 0x04E},
};

TEST(NativeKeys, EveryKeyOfThePictureBecomesItsKeyThroughTheHookTranslation)
{
    std::set<KeyIndex> covered;
    for (const auto& [evdev, key] : kPictureKeys) {
        const std::uint32_t native = evdev + kNativeScanCodeOffset;
        EXPECT_EQ(KeyFromNativeScanCode(native), key) << "evdev " << evdev;
        EXPECT_EQ(NativeScanCodeOfKey(key), native) << std::hex << key;
        covered.insert(key);
    }
    for (KeyIndex key : KeyButtonOrder) EXPECT_TRUE(covered.count(key)) << std::hex << key;
}

// The bytes a hook would deliver for the keys set 1 sends in two parts.
TEST(NativeKeys, TwoPartSequencesArriveAsTheHookReportsThem)
{
    struct Case {
        unsigned evdev;
        HookKeyEvent event;
    } cases[] = {
        {KEY_SYSRQ, {0x2C, 0x37, true}},     {KEY_PAUSE, {0x13, 0x45, false}},   {KEY_NUMLOCK, {0x90, 0x45, true}},
        {KEY_RIGHTCTRL, {0xA3, 0x1D, true}}, {KEY_RIGHTALT, {0xA5, 0x38, true}}, {KEY_LEFTMETA, {0x5B, 0x5B, true}},
        {KEY_RIGHTMETA, {0x5C, 0x5C, true}}, {KEY_COMPOSE, {0x5D, 0x5D, true}},  {KEY_HOME, {0x24, 0x47, true}},
        {KEY_KP7, {0x67, 0x47, false}},      {KEY_KPENTER, {0x0D, 0x1C, true}},  {KEY_KPSLASH, {0x6F, 0x35, true}},
        {KEY_ENTER, {0x0D, 0x1C, false}},
    };
    for (const auto& c : cases) EXPECT_EQ(HookEventFromEvdev(c.evdev), c.event) << "evdev " << c.evdev;
    EXPECT_EQ(HookEventFromEvdev(KEY_LEFTMETA)->Flags(), 0x015B0000u);
    EXPECT_EQ(HookEventFromEvdev(KEY_A)->Flags(true), 0xC01E0000u);
}

TEST(NativeKeys, TheKeyboardsMediaKeysAreKnownAsTheKernelNamesThem)
{
    const std::pair<unsigned, KeyIndex> media[] = {
        {KEY_CONFIG, 0x16D},   {KEY_PLAYPAUSE, 0x122},  {KEY_STOPCD, 0x124},   {KEY_PREVIOUSSONG, 0x110},
        {KEY_NEXTSONG, 0x119}, {KEY_VOLUMEDOWN, 0x12E}, {KEY_VOLUMEUP, 0x130}, {KEY_MUTE, 0x120},
        {KEY_HOMEPAGE, 0x132}, {KEY_REFRESH, 0x167},    {KEY_STOP, 0x168},     {KEY_BACK, 0x16A},
        {KEY_FORWARD, 0x169},  {KEY_BOOKMARKS, 0x166},  {KEY_SEARCH, 0x165},   {KEY_FILE, 0x16B},
        {KEY_CALC, 0x121},     {KEY_MAIL, 0x16C},
    };
    for (const auto& [evdev, key] : media) EXPECT_EQ(KeyFromNativeScanCode(evdev + 8), key) << "evdev " << evdev;
}

TEST(NativeKeys, TableNamesMatchTheKernelHeader)
{
    // A typo in a hand-written code would pass every lookup above only by
    // luck; the names the table carries pin each code.
    const std::pair<std::string_view, unsigned> spotChecks[] = {
        {"KEY_102ND", KEY_102ND},
        {"KEY_RO", KEY_RO},
        {"KEY_YEN", KEY_YEN},
        {"KEY_HENKAN", KEY_HENKAN},
        {"KEY_MUHENKAN", KEY_MUHENKAN},
        {"KEY_HANJA", KEY_HANJA},
        {"KEY_HANGEUL", KEY_HANGEUL},
        {"KEY_KPCOMMA", KEY_KPCOMMA},
        {"KEY_F13", KEY_F13},
        {"KEY_POWER", KEY_POWER},
        {"KEY_SLEEP", KEY_SLEEP},
        {"KEY_WAKEUP", KEY_WAKEUP},
        {"KEY_KATAKANAHIRAGANA", KEY_KATAKANAHIRAGANA},
    };
    const auto table = EvdevKeyTable();
    for (const auto& [name, code] : spotChecks) {
        const auto it = std::find_if(table.begin(), table.end(), [&](const EvdevKeyRow& r) { return r.name == name; });
        ASSERT_NE(it, table.end()) << name;
        EXPECT_EQ(it->evdev, code) << name;
    }
}
#endif

TEST(NativeKeys, EveryRowIsAKnownKeyAndNoKeyHasTwoCodes)
{
    std::set<KeyIndex> keys;
    for (const auto& row : EvdevKeyTable()) {
        const KeyIndex key = KeyFromNativeScanCode(row.evdev + kNativeScanCodeOffset);
        EXPECT_NE(key, kNoKey) << row.name;
        EXPECT_FALSE(DescriptorOfKey(key).name.empty() && DescriptorOfKey(key).languageKey.empty()) << row.name;
        EXPECT_TRUE(keys.insert(key).second) << row.name;
    }
}

TEST(NativeKeys, UnknownAndOutOfRangeCodesGiveNoKey)
{
    EXPECT_EQ(KeyFromNativeScanCode(0), kNoKey);
    EXPECT_EQ(KeyFromNativeScanCode(7), kNoKey);
    EXPECT_EQ(KeyFromNativeScanCode(8 + 0x2FF), kNoKey);
    EXPECT_EQ(KeyFromNativeScanCode(0xFFFFFFFFu), kNoKey);
    EXPECT_EQ(NativeScanCodeOfKey(kNoKey), std::nullopt);
    EXPECT_EQ(NativeScanCodeOfKey(0x054), std::nullopt); // Sys Req: Linux reports Print Screen for it
}

} // namespace
} // namespace kestrune
