#pragma once

// Key events as the desktop reports them, turned into what KeyFromHookEvent
// takes: a virtual-key code, a set-1 scan code and the extended flag.
//
// On Linux (X11 and Wayland alike) a key event carries the kernel's evdev key
// code plus 8 as its native scan code. One table maps evdev codes to scan code
// set 1 make codes; the virtual-key code then comes from the key table, so
// the two can never disagree.

#include "keymodel/KeyCodes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrune {

// How set 1 sends a key's make code.
enum class Set1Prefix : std::uint8_t {
    None, // one byte
    E0,   // E0 xx: the extended keys
    E1,   // E1 1D 45: Pause, the only key of its kind
};

struct EvdevKeyRow {
    std::uint16_t evdev;   // KEY_* value of linux/input-event-codes.h
    std::string_view name; // that KEY_* name, for tests and messages
    std::uint8_t make;     // last byte of the set-1 make sequence
    Set1Prefix prefix;
};

// Every key of the keyboard the program knows an evdev code for.
std::span<const EvdevKeyRow> EvdevKeyTable();

// What a keyboard hook would have delivered for a key.
struct HookKeyEvent {
    std::uint8_t virtualKey = 0;
    std::uint8_t scanCode = 0;
    bool extended = false;

    // The keystroke word: scan code in bits 16..23, extended flag in bit 24.
    // With `release` bit 31 (transition) and bit 30 (was down) are set; with
    // `repeat` only bit 30.
    std::uint32_t Flags(bool release = false, bool repeat = false) const;
    friend constexpr bool operator==(const HookKeyEvent&, const HookKeyEvent&) = default;
};

// The X11 and Wayland native scan code of a key is its evdev code plus this.
inline constexpr std::uint32_t kNativeScanCodeOffset = 8;

std::optional<HookKeyEvent> HookEventFromEvdev(std::uint32_t evdevCode);
std::optional<HookKeyEvent> HookEventFromNativeScanCode(std::uint32_t nativeScanCode);

// The key of a native scan code through KeyFromHookEvent; 0 for a code the
// table does not know.
KeyIndex KeyFromNativeScanCode(std::uint32_t nativeScanCode);

// The native scan code of a key; nullopt for a key without an evdev code.
std::optional<std::uint32_t> NativeScanCodeOfKey(KeyIndex key);

} // namespace kestrune
