#pragma once

// Colours in skins and styles are written as 0x00BBGGRR numbers (red in the
// low byte), the form the skin files and caption tables have always used and
// the one the lighting keeps its colours in; the encoding is the lighting's.

#include "lighting/LightingRecords.h"

#include <QColor>
#include <cstdint>

namespace kestrune {

inline QColor ColourFromRef(Colour ref)
{
    return QColor(RedOf(ref), GreenOf(ref), BlueOf(ref));
}

inline Colour RefFromColour(const QColor& colour)
{
    return MakeColour(static_cast<std::uint8_t>(colour.red()), static_cast<std::uint8_t>(colour.green()),
                      static_cast<std::uint8_t>(colour.blue()));
}

} // namespace kestrune
