#pragma once

// The first 64 bytes of every configuration block and profile file: the
// header that describes the sizes of the parts that follow, and the device
// block that the program writes when it builds a block from scratch and
// otherwise carries along untouched.

#include "macro/MacroRecord.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrune {

inline constexpr std::size_t kConfigHeaderSize = 32;
inline constexpr std::size_t kDeviceBlockSize = 32;
inline constexpr std::size_t kKeyMapsOffset = kConfigHeaderSize + kDeviceBlockSize;
inline constexpr std::size_t kConfigKeyMapCount = 4;
inline constexpr std::size_t kConfigBlockSize = 32832;

inline constexpr std::uint16_t kConfigMagic = 0x4446; // the bytes 46 44
inline constexpr std::uint16_t kConfigVersion = 3;
inline constexpr std::uint16_t kConfigHeaderOne = 1; // the word at offset 6 is always 1
inline constexpr std::uint16_t kConfigKeySlotCount = 2048;
inline constexpr std::uint8_t kConfigFlagWritten = 0; // every writer stores 0
inline constexpr std::uint8_t kConfigFlagMaxAccepted = 1;

// Byte offsets of the header fields.
inline constexpr std::size_t kHdrMagic = 0;
inline constexpr std::size_t kHdrHeaderSize = 2;
inline constexpr std::size_t kHdrVersion = 4;
inline constexpr std::size_t kHdrOne = 6;
inline constexpr std::size_t kHdrTotalSize = 8;
inline constexpr std::size_t kHdrSlotCount = 12;
inline constexpr std::size_t kHdrMacroCount = 14;
inline constexpr std::size_t kHdrStringBytes = 16;
inline constexpr std::size_t kHdrReserved20 = 20;
inline constexpr std::size_t kHdrReserved24 = 24;
inline constexpr std::size_t kHdrReserved28 = 28;
inline constexpr std::size_t kHdrFlag = 30;
inline constexpr std::size_t kHdrChecksum = 31;

// The largest string area a file can describe: its total size is a u32.
inline constexpr std::uint32_t kMaxStringBytes =
    0xFFFFFFFFu - static_cast<std::uint32_t>(kConfigBlockSize + kMaxMacros * kMacroRecordSize);

struct ConfigHeader {
    std::uint16_t magic = 0;
    std::uint16_t headerSize = 0;
    std::uint16_t version = 0;
    std::uint16_t one = 0;
    std::uint32_t totalSize = 0;
    std::uint16_t slotCount = 0;
    std::uint16_t macroCount = 0;
    std::uint32_t stringBytes = 0;
    std::uint32_t reserved20 = 0;
    std::uint32_t reserved24 = 0;
    std::uint16_t reserved28 = 0;
    std::uint8_t flag = 0;
    std::uint8_t checksum = 0;

    bool operator==(const ConfigHeader&) const = default;
};
static_assert(sizeof(ConfigHeader) == kConfigHeaderSize);
static_assert(offsetof(ConfigHeader, totalSize) == kHdrTotalSize);
static_assert(offsetof(ConfigHeader, stringBytes) == kHdrStringBytes);
static_assert(offsetof(ConfigHeader, flag) == kHdrFlag);
static_assert(offsetof(ConfigHeader, checksum) == kHdrChecksum);

using DeviceBlock = std::array<std::uint8_t, kDeviceBlockSize>;
static_assert(sizeof(DeviceBlock) == kDeviceBlockSize);

// What a block built from scratch carries; bytes 16..19 are the keyboard's
// USB vendor and product id.
DeviceBlock DefaultDeviceBlock();

// Total size a header announces for the given parts, as a 64-bit number so a
// caller can tell when the parts do not fit the 32-bit field.
constexpr std::uint64_t ProfileTotalSize(std::uint64_t macroCount, std::uint64_t stringBytes)
{
    return kConfigBlockSize + kMacroRecordSize * macroCount + stringBytes;
}

// Fills every field for a block with these parts, including the checksum.
// The caller keeps macroCount <= kMaxMacros and stringBytes <=
// kMaxStringBytes, so the total size fits.
void BuildHeader(ConfigHeader& header, std::uint16_t macroCount, std::uint32_t stringBytes, std::uint8_t flag);

void EncodeConfigHeader(const ConfigHeader& header, std::span<std::uint8_t, kConfigHeaderSize> out);
ConfigHeader DecodeConfigHeader(std::span<const std::uint8_t, kConfigHeaderSize> bytes);

// Sum of bytes 0..30 modulo 256: what byte 31 of a good header holds.
std::uint8_t HeaderChecksum(std::span<const std::uint8_t, kConfigHeaderSize> bytes);

} // namespace kestrune
