#include "keymodel/NativeKeys.h"

#include <array>

namespace kestrune {

namespace {

using P = Set1Prefix;

// Sources: the evdev codes are the KEY_* values of the Linux kernel header
// linux/input-event-codes.h; the make codes are IBM PC/AT scan code set 1.
// For the media keys the evdev code is the one the Linux HID input layer gives
// the consumer usage the keyboard sends for that function (usage 0x183, media
// player, arrives as KEY_CONFIG; 0x194, my computer, as KEY_FILE).
constexpr std::array kTable = std::to_array<EvdevKeyRow>({
    {1, "KEY_ESC", 0x01, P::None},
    {2, "KEY_1", 0x02, P::None},
    {3, "KEY_2", 0x03, P::None},
    {4, "KEY_3", 0x04, P::None},
    {5, "KEY_4", 0x05, P::None},
    {6, "KEY_5", 0x06, P::None},
    {7, "KEY_6", 0x07, P::None},
    {8, "KEY_7", 0x08, P::None},
    {9, "KEY_8", 0x09, P::None},
    {10, "KEY_9", 0x0A, P::None},
    {11, "KEY_0", 0x0B, P::None},
    {12, "KEY_MINUS", 0x0C, P::None},
    {13, "KEY_EQUAL", 0x0D, P::None},
    {14, "KEY_BACKSPACE", 0x0E, P::None},
    {15, "KEY_TAB", 0x0F, P::None},
    {16, "KEY_Q", 0x10, P::None},
    {17, "KEY_W", 0x11, P::None},
    {18, "KEY_E", 0x12, P::None},
    {19, "KEY_R", 0x13, P::None},
    {20, "KEY_T", 0x14, P::None},
    {21, "KEY_Y", 0x15, P::None},
    {22, "KEY_U", 0x16, P::None},
    {23, "KEY_I", 0x17, P::None},
    {24, "KEY_O", 0x18, P::None},
    {25, "KEY_P", 0x19, P::None},
    {26, "KEY_LEFTBRACE", 0x1A, P::None},
    {27, "KEY_RIGHTBRACE", 0x1B, P::None},
    {28, "KEY_ENTER", 0x1C, P::None},
    {29, "KEY_LEFTCTRL", 0x1D, P::None},
    {30, "KEY_A", 0x1E, P::None},
    {31, "KEY_S", 0x1F, P::None},
    {32, "KEY_D", 0x20, P::None},
    {33, "KEY_F", 0x21, P::None},
    {34, "KEY_G", 0x22, P::None},
    {35, "KEY_H", 0x23, P::None},
    {36, "KEY_J", 0x24, P::None},
    {37, "KEY_K", 0x25, P::None},
    {38, "KEY_L", 0x26, P::None},
    {39, "KEY_SEMICOLON", 0x27, P::None},
    {40, "KEY_APOSTROPHE", 0x28, P::None},
    {41, "KEY_GRAVE", 0x29, P::None},
    {42, "KEY_LEFTSHIFT", 0x2A, P::None},
    {43, "KEY_BACKSLASH", 0x2B, P::None},
    {44, "KEY_Z", 0x2C, P::None},
    {45, "KEY_X", 0x2D, P::None},
    {46, "KEY_C", 0x2E, P::None},
    {47, "KEY_V", 0x2F, P::None},
    {48, "KEY_B", 0x30, P::None},
    {49, "KEY_N", 0x31, P::None},
    {50, "KEY_M", 0x32, P::None},
    {51, "KEY_COMMA", 0x33, P::None},
    {52, "KEY_DOT", 0x34, P::None},
    {53, "KEY_SLASH", 0x35, P::None},
    {54, "KEY_RIGHTSHIFT", 0x36, P::None},
    {55, "KEY_KPASTERISK", 0x37, P::None},
    {56, "KEY_LEFTALT", 0x38, P::None},
    {57, "KEY_SPACE", 0x39, P::None},
    {58, "KEY_CAPSLOCK", 0x3A, P::None},
    {59, "KEY_F1", 0x3B, P::None},
    {60, "KEY_F2", 0x3C, P::None},
    {61, "KEY_F3", 0x3D, P::None},
    {62, "KEY_F4", 0x3E, P::None},
    {63, "KEY_F5", 0x3F, P::None},
    {64, "KEY_F6", 0x40, P::None},
    {65, "KEY_F7", 0x41, P::None},
    {66, "KEY_F8", 0x42, P::None},
    {67, "KEY_F9", 0x43, P::None},
    {68, "KEY_F10", 0x44, P::None},
    {69, "KEY_NUMLOCK", 0x45, P::None},
    {70, "KEY_SCROLLLOCK", 0x46, P::None},
    {71, "KEY_KP7", 0x47, P::None},
    {72, "KEY_KP8", 0x48, P::None},
    {73, "KEY_KP9", 0x49, P::None},
    {74, "KEY_KPMINUS", 0x4A, P::None},
    {75, "KEY_KP4", 0x4B, P::None},
    {76, "KEY_KP5", 0x4C, P::None},
    {77, "KEY_KP6", 0x4D, P::None},
    {78, "KEY_KPPLUS", 0x4E, P::None},
    {79, "KEY_KP1", 0x4F, P::None},
    {80, "KEY_KP2", 0x50, P::None},
    {81, "KEY_KP3", 0x51, P::None},
    {82, "KEY_KP0", 0x52, P::None},
    {83, "KEY_KPDOT", 0x53, P::None},
    {86, "KEY_102ND", 0x56, P::None},
    {87, "KEY_F11", 0x57, P::None},
    {88, "KEY_F12", 0x58, P::None},
    {89, "KEY_RO", 0x73, P::None},
    {92, "KEY_HENKAN", 0x79, P::None},
    {93, "KEY_KATAKANAHIRAGANA", 0x70, P::None},
    {94, "KEY_MUHENKAN", 0x7B, P::None},
    {96, "KEY_KPENTER", 0x1C, P::E0},
    {97, "KEY_RIGHTCTRL", 0x1D, P::E0},
    {98, "KEY_KPSLASH", 0x35, P::E0},
    {99, "KEY_SYSRQ", 0x37, P::E0}, // the Print Screen key
    {100, "KEY_RIGHTALT", 0x38, P::E0},
    {102, "KEY_HOME", 0x47, P::E0},
    {103, "KEY_UP", 0x48, P::E0},
    {104, "KEY_PAGEUP", 0x49, P::E0},
    {105, "KEY_LEFT", 0x4B, P::E0},
    {106, "KEY_RIGHT", 0x4D, P::E0},
    {107, "KEY_END", 0x4F, P::E0},
    {108, "KEY_DOWN", 0x50, P::E0},
    {109, "KEY_PAGEDOWN", 0x51, P::E0},
    {110, "KEY_INSERT", 0x52, P::E0},
    {111, "KEY_DELETE", 0x53, P::E0},
    {113, "KEY_MUTE", 0x20, P::E0},
    {114, "KEY_VOLUMEDOWN", 0x2E, P::E0},
    {115, "KEY_VOLUMEUP", 0x30, P::E0},
    {116, "KEY_POWER", 0x5E, P::E0},
    {119, "KEY_PAUSE", 0x45, P::E1},
    {121, "KEY_KPCOMMA", 0x7E, P::None},
    {122, "KEY_HANGEUL", 0x72, P::None},
    {123, "KEY_HANJA", 0x71, P::None},
    {124, "KEY_YEN", 0x7D, P::None},
    {125, "KEY_LEFTMETA", 0x5B, P::E0},
    {126, "KEY_RIGHTMETA", 0x5C, P::E0},
    {127, "KEY_COMPOSE", 0x5D, P::E0}, // the App (menu) key
    {128, "KEY_STOP", 0x68, P::E0},
    {140, "KEY_CALC", 0x21, P::E0},
    {142, "KEY_SLEEP", 0x5F, P::E0},
    {143, "KEY_WAKEUP", 0x63, P::E0},
    {144, "KEY_FILE", 0x6B, P::E0},
    {155, "KEY_MAIL", 0x6C, P::E0},
    {156, "KEY_BOOKMARKS", 0x66, P::E0},
    {158, "KEY_BACK", 0x6A, P::E0},
    {159, "KEY_FORWARD", 0x69, P::E0},
    {163, "KEY_NEXTSONG", 0x19, P::E0},
    {164, "KEY_PLAYPAUSE", 0x22, P::E0},
    {165, "KEY_PREVIOUSSONG", 0x10, P::E0},
    {166, "KEY_STOPCD", 0x24, P::E0},
    {171, "KEY_CONFIG", 0x6D, P::E0},
    {172, "KEY_HOMEPAGE", 0x32, P::E0},
    {173, "KEY_REFRESH", 0x67, P::E0},
    {183, "KEY_F13", 0x64, P::None},
    {217, "KEY_SEARCH", 0x65, P::E0},
});

constexpr std::uint8_t kNumLockMake = 0x45;

// What a hook reports for a set-1 sequence. Two keys break the plain rule
// (scan code = last byte, extended = E0 prefix): Pause arrives as scan 45
// without the flag, and Num Lock, whose set-1 code is plain 45, with it. That
// is why the key numbering has Pause at 0x045 and Num Lock at 0x145.
HookKeyEvent HookEventOfRow(const EvdevKeyRow& row)
{
    HookKeyEvent event;
    event.scanCode = row.make;
    switch (row.prefix) {
    case P::None:
        event.extended = row.make == kNumLockMake;
        break;
    case P::E0:
        event.extended = true;
        break;
    case P::E1:
        event.extended = false;
        break;
    }
    const KeyIndex key = static_cast<KeyIndex>(event.scanCode | (event.extended ? 0x100 : 0));
    event.virtualKey = DescriptorOfKey(key).primaryVk;
    return event;
}

const EvdevKeyRow* FindRow(std::uint32_t evdevCode)
{
    for (const auto& row : kTable)
        if (row.evdev == evdevCode) return &row;
    return nullptr;
}

} // namespace

std::span<const EvdevKeyRow> EvdevKeyTable()
{
    return kTable;
}

std::uint32_t HookKeyEvent::Flags(bool release, bool repeat) const
{
    std::uint32_t flags = (std::uint32_t{scanCode} << 16) | (extended ? (1u << 24) : 0u);
    if (release) flags |= (1u << 31) | (1u << 30);
    if (repeat) flags |= (1u << 30);
    return flags;
}

std::optional<HookKeyEvent> HookEventFromEvdev(std::uint32_t evdevCode)
{
    const EvdevKeyRow* row = FindRow(evdevCode);
    if (row == nullptr) return std::nullopt;
    return HookEventOfRow(*row);
}

std::optional<HookKeyEvent> HookEventFromNativeScanCode(std::uint32_t nativeScanCode)
{
    if (nativeScanCode < kNativeScanCodeOffset) return std::nullopt;
    return HookEventFromEvdev(nativeScanCode - kNativeScanCodeOffset);
}

KeyIndex KeyFromNativeScanCode(std::uint32_t nativeScanCode)
{
    const auto event = HookEventFromNativeScanCode(nativeScanCode);
    if (!event) return kNoKey;
    return KeyFromHookEvent(event->virtualKey, event->Flags());
}

std::optional<std::uint32_t> NativeScanCodeOfKey(KeyIndex key)
{
    if (key == kNoKey) return std::nullopt;
    for (const auto& row : kTable)
        if (KeyFromNativeScanCode(row.evdev + kNativeScanCodeOffset) == key) return row.evdev + kNativeScanCodeOffset;
    return std::nullopt;
}

} // namespace kestrune
