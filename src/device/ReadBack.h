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
ReadBackOutcome ReadKeyboardImage(CommandProtocol& protocol, Transfer& transfer, Reporter& reporter,
                                  std::vector<std::uint8_t>& image);

// ReadKeyboardImage written to path.
ReadBackOutcome ReadBack(CommandProtocol& protocol, Transfer& transfer, Reporter& reporter,
                         const std::filesystem::path& path);

} // namespace kestrune
