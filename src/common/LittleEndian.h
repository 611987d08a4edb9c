#pragma once

// The one place where multi-byte values meet byte buffers. Everything the
// keyboard or a profile file sees is little-endian, whatever the host is.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrune {

inline std::uint16_t ReadLe16(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(bytes[offset]) | (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

inline std::int32_t ReadLeI32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::int32_t>(ReadLe32(bytes, offset));
}

inline void WriteLe16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value)
{
    bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void WriteLe32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF);
}

inline void WriteLeI32(std::span<std::uint8_t> bytes, std::size_t offset, std::int32_t value)
{
    WriteLe32(bytes, offset, static_cast<std::uint32_t>(value));
}

}  // namespace kestrune
