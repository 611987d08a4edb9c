#pragma once

// Colours in skins and styles are written as 0x00BBGGRR numbers (red in the
// low byte), the form the skin files and caption tables have always used.

#include <QColor>
#include <cstdint>

namespace kestrune {

inline QColor ColorFromRef(std::uint32_t ref)
{
    return QColor(static_cast<int>(ref & 0xFF), static_cast<int>((ref >> 8) & 0xFF),
                  static_cast<int>((ref >> 16) & 0xFF));
}

inline std::uint32_t RefFromColor(const QColor& colour)
{
    return static_cast<std::uint32_t>(colour.red()) | (static_cast<std::uint32_t>(colour.green()) << 8) |
           (static_cast<std::uint32_t>(colour.blue()) << 16);
}

} // namespace kestrune
