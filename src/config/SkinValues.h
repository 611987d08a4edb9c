#pragma once

// Values of the skin files that the controls read as numbers: placements of
// four numbers. Plain text in, plain numbers out, so every skin a user edits
// by hand goes through the same checked parser.

#include <cstddef>
#include <string_view>

namespace kestrune {

// What a missing placement reads as: a 1 x 1 control at (1, 1).
inline constexpr std::u16string_view kMissingSkinRect = u"1,1,1,1,x";
// Skin values are read through a buffer of this many units, terminator included.
inline constexpr std::size_t kSkinReadBuffer = 260;

// A control placement: top-left corner in the dialog and size in pixels.
struct SkinRect {
    int x = 1;
    int y = 1;
    int w = 1;
    int h = 1;
    bool operator==(const SkinRect&) const = default;
};

// Four decimal integers separated by commas, anything after the fourth
// ignored. A number may have blanks and a sign before it, but the comma must
// follow it at once. Numbers that are not there count as 1; numbers beyond
// the range of int are held at its ends.
SkinRect ParseSkinRect(std::u16string_view value);

} // namespace kestrune
