#pragma once

// The read-back: a whole profile file rebuilt from what the keyboard holds
// (its three key tables and its macro area), for the working profile file a
// refresh loads and for the user's own files.
//
// - The file is replaced atomically, and only once everything has been read:
//   a failure leaves the old file as it was.
// - A macro area that does not decode costs the macros, not the key tables:
//   the file gets no macros and the user is told (kMacrosUnreadableKey).
// - A failure says whether the keyboard or the file system was at fault, and
//   why, so the user hears the real cause.
//
// Runs on the caller's thread and talks to the keyboard: never on a
// user-interface thread (see Transfer.h).

#include "common/Reporter.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

class CommandProtocol;
class CurrentCopy;
class Transfer;

inline constexpr std::string_view kMacrosUnreadableKey = "MAIN_MACROS_UNREADABLE";

struct ReadBackOutcome {
    enum class Failure { None, Keyboard, File };
    Failure failure = Failure::None;
    std::string reason;      // on failure: what failed, in words
    std::optional<int> code; // for a command the keyboard failed: its result code
    // The macro area did not decode: the file holds the key tables and no macros.
    bool macrosDropped = false;
    bool ok() const { return failure == Failure::None; }
};

// The profile file image of what the keyboard holds, into image.
//
// The macro keys have no place in the keyboard's key tables: what they do is
// known only to the program. Given 'applied', the configuration last sent to
// the keyboard (the working profile file), the image takes its macro-key
// slots: a slot that plays a macro keeps it while the keyboard still holds
// that macro (the same cycles and actions as the keyboard stores them), at
// its place in the list or, moved, at the first place that holds it; a macro
// the keyboard no longer holds leaves the key unassigned. Program and text
// keys, whose texts only the program has, are taken with their texts: on the
// macro keys always, on other keys while every entry of the key in the
// keyboard's table is still the one the assignment downloads as.
ReadBackOutcome ReadKeyboardImage(CommandProtocol& protocol, Transfer& transfer, Reporter& reporter,
                                  std::vector<std::uint8_t>& image, const CurrentCopy* applied = nullptr);

// ReadKeyboardImage written to path.
ReadBackOutcome ReadBack(CommandProtocol& protocol, Transfer& transfer, Reporter& reporter,
                         const std::filesystem::path& path);

} // namespace kestrune
