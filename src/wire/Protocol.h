#pragma once

// Wire constants of the keyboard: USB identity, HID interfaces, the command
// report layout, command codes and the sizes of the keyboard's memory regions.
// Shared by the program side and the emulator, which must agree byte for byte.

#include <cstddef>
#include <cstdint>

namespace kestrune::wire {

inline constexpr std::uint16_t kVendorId = 0x04B4;
inline constexpr std::uint16_t kProductId = 0x5004;
inline constexpr std::uint32_t kSelectorFlags = 0x0000000F;

// HID interfaces (usage page, usage).
inline constexpr std::uint16_t kCommandUsagePage = 0xFF1C;
inline constexpr std::uint16_t kCommandUsage = 0x0092;
inline constexpr std::uint16_t kConsumerUsagePage = 0x000C;
inline constexpr std::uint16_t kConsumerUsage = 0x0001;
inline constexpr std::uint16_t kBankStatusUsagePage = 0x0008;
inline constexpr std::uint16_t kBankStatusUsage = 0x0089;

// Request tags, 32-bit multi-character constants.
inline constexpr std::uint32_t kTagCtrl = 0x4354524C;  // 'CTRL'
inline constexpr std::uint32_t kTagCons = 0x434F4E53;  // 'CONS'
inline constexpr std::uint32_t kTagLed = 0x004C4544;   // 'LED'

// Command report: 64 bytes both ways.
inline constexpr std::size_t kReportSize = 64;
inline constexpr std::uint8_t kReportId = 4;
inline constexpr std::size_t kOffReportId = 0;
inline constexpr std::size_t kOffChecksum = 1;  // u16 LE, sum of bytes 3..63
inline constexpr std::size_t kOffCommand = 3;
inline constexpr std::size_t kOffLength = 4;
inline constexpr std::size_t kOffAddress = 5;  // u16 LE
inline constexpr std::size_t kOffStatus = 7;
inline constexpr std::size_t kOffPayload = 8;
inline constexpr std::size_t kChecksumFirstByte = 3;
inline constexpr std::size_t kMaxPayload = 56;

// Reply status values; any other value means success.
inline constexpr std::uint8_t kStatusOk = 0x00;
inline constexpr std::uint8_t kStatusErrorFF = 0xFF;
inline constexpr std::uint8_t kStatusErrorFE = 0xFE;

enum class Command : std::uint8_t {
    BeginUpdate = 1,
    EndUpdate = 2,
    ReadSettings = 3,
    WriteSettings = 4,
    ReadMemory = 5,
    WriteMemory = 6,
    ReadKeyTable = 7,
    WriteKeyTable = 8,
    ReadMacroArea = 9,
    WriteMacroArea = 10,
    ReadDefaultKeyTable = 15,
    ReadColours = 16,
    WriteColours = 17,
    EnterBootMode = 0xEE,
};

// Sizes and addresses of the keyboard's memory regions.
inline constexpr std::size_t kSettingsRecordSize = 28;
inline constexpr std::size_t kSettingsActiveProfile = 10;
inline constexpr std::size_t kSettingsMacroCapacity = 11;  // in units of kMacroCapacityUnit
inline constexpr std::size_t kSettingsEffectList = 12;     // 14 slots, bytes 12..25
inline constexpr std::size_t kEffectListSlots = 14;
inline constexpr std::size_t kMacroCapacityUnit = 128;

// Macro area: a 16-byte header of four u16 words (magic, total length, macro
// count, names flag) and eight reserved bytes, then the entries' offsets.
inline constexpr std::uint16_t kMacroAreaMagic = 0x55AA;
inline constexpr std::size_t kMacroAreaHeaderSize = 16;
inline constexpr std::size_t kMacroAreaOffMagic = 0;
inline constexpr std::size_t kMacroAreaOffLength = 2;
inline constexpr std::size_t kMacroAreaOffCount = 4;
inline constexpr std::size_t kMacroAreaOffNamesFlag = 6;
inline constexpr std::size_t kMacroAreaMaxLength = 0xFFFF;  // the length word is 16 bits
inline constexpr int kProfileCount = 3;
inline constexpr std::size_t kKeyTableSize = 480;           // 160 positions x 3 bytes
inline constexpr std::size_t kKeyTableProfileStride = 512;  // key table address = 512 x profile + offset
inline constexpr std::size_t kLightingBlockSize = 56;
inline constexpr std::size_t kKeyColourTableSize = 486;  // 162 lights x 3 bytes; address = 3 x light number

// Consumer report words the keyboard sends on the 'CONS' interface.
inline constexpr std::uint16_t kConsBankKey = 0x02FF;
inline constexpr std::uint16_t kConsLightingChanged = 0x0401;
inline constexpr std::uint16_t kConsRecordStart = 0x1811;
inline constexpr std::uint16_t kConsRecordStop = 0x1810;
// A consumer report is the 16-bit word alone, little-endian, no report id.
inline constexpr std::size_t kConsumerReportSize = 2;

// Bank-status output: two bytes.
inline constexpr std::size_t kBankStatusSize = 2;

}  // namespace kestrune::wire
