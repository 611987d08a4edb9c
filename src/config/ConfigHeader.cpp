#include "config/ConfigHeader.h"

#include "common/LittleEndian.h"
#include "wire/Protocol.h"

namespace kestrune {

DeviceBlock DefaultDeviceBlock()
{
    DeviceBlock block{0x4B, 0x48, 0x20, 0x00, 0x20, 0x80, 0x00, 0x00, 0x04, 0x00, 0x00, 0x02};
    WriteLe16(block, 16, wire::kVendorId);
    WriteLe16(block, 18, wire::kProductId);
    const std::uint8_t tail[] = {0x4F, 0x1C, 0x0E, 0x00};
    for (std::size_t i = 0; i < sizeof tail; ++i) block[20 + i] = tail[i];
    return block;
}

void EncodeConfigHeader(const ConfigHeader& header, std::span<std::uint8_t, kConfigHeaderSize> out)
{
    WriteLe16(out, kHdrMagic, header.magic);
    WriteLe16(out, kHdrHeaderSize, header.headerSize);
    WriteLe16(out, kHdrVersion, header.version);
    WriteLe16(out, kHdrOne, header.one);
    WriteLe32(out, kHdrTotalSize, header.totalSize);
    WriteLe16(out, kHdrSlotCount, header.slotCount);
    WriteLe16(out, kHdrMacroCount, header.macroCount);
    WriteLe32(out, kHdrStringBytes, header.stringBytes);
    WriteLe32(out, kHdrReserved20, header.reserved20);
    WriteLe32(out, kHdrReserved24, header.reserved24);
    WriteLe16(out, kHdrReserved28, header.reserved28);
    out[kHdrFlag] = header.flag;
    out[kHdrChecksum] = header.checksum;
}

ConfigHeader DecodeConfigHeader(std::span<const std::uint8_t, kConfigHeaderSize> bytes)
{
    ConfigHeader header;
    header.magic = ReadLe16(bytes, kHdrMagic);
    header.headerSize = ReadLe16(bytes, kHdrHeaderSize);
    header.version = ReadLe16(bytes, kHdrVersion);
    header.one = ReadLe16(bytes, kHdrOne);
    header.totalSize = ReadLe32(bytes, kHdrTotalSize);
    header.slotCount = ReadLe16(bytes, kHdrSlotCount);
    header.macroCount = ReadLe16(bytes, kHdrMacroCount);
    header.stringBytes = ReadLe32(bytes, kHdrStringBytes);
    header.reserved20 = ReadLe32(bytes, kHdrReserved20);
    header.reserved24 = ReadLe32(bytes, kHdrReserved24);
    header.reserved28 = ReadLe16(bytes, kHdrReserved28);
    header.flag = bytes[kHdrFlag];
    header.checksum = bytes[kHdrChecksum];
    return header;
}

std::uint8_t HeaderChecksum(std::span<const std::uint8_t, kConfigHeaderSize> bytes)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < kHdrChecksum; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

void BuildHeader(ConfigHeader& header, std::uint16_t macroCount, std::uint32_t stringBytes, std::uint8_t flag)
{
    header = ConfigHeader{};
    header.magic = kConfigMagic;
    header.headerSize = static_cast<std::uint16_t>(kConfigHeaderSize);
    header.version = kConfigVersion;
    header.one = kConfigHeaderOne;
    header.totalSize = static_cast<std::uint32_t>(ProfileTotalSize(macroCount, stringBytes));
    header.slotCount = kConfigKeySlotCount;
    header.macroCount = macroCount;
    header.stringBytes = stringBytes;
    header.flag = flag;
    std::array<std::uint8_t, kConfigHeaderSize> bytes{};
    EncodeConfigHeader(header, bytes);
    header.checksum = HeaderChecksum(bytes);
}

} // namespace kestrune
