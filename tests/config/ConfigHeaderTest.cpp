#include "config/ConfigHeader.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace kestrune {
namespace {

std::array<std::uint8_t, kConfigHeaderSize> BuiltHeaderBytes(std::uint16_t macros, std::uint32_t strings,
                                                             std::uint8_t flag)
{
    ConfigHeader header;
    header.reserved24 = 0xDEADBEEF; // BuildHeader owns every field
    BuildHeader(header, macros, strings, flag);
    std::array<std::uint8_t, kConfigHeaderSize> bytes{};
    EncodeConfigHeader(header, bytes);
    return bytes;
}

TEST(BuildHeader, EmptyConfigurationGivesKnownBytes)
{
    const std::vector<std::uint8_t> expected = {0x46, 0x44, 0x20, 0x00, 0x03, 0x00, 0x01, 0x00, 0x40, 0x80, 0x00,
                                                0x00, 0x00, 0x08, 0x00, 0x00, 0,    0,    0,    0,    0,    0,
                                                0,    0,    0,    0,    0,    0,    0,    0,    0,    0x76};
    const auto bytes = BuiltHeaderBytes(0, 0, 0);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), expected);
}

TEST(BuildHeader, TotalSizeAndChecksumFollowTheParts)
{
    const auto bytes = BuiltHeaderBytes(2, 40, 0);
    EXPECT_EQ(bytes[8], 0x68);
    EXPECT_EQ(bytes[9], 0x01);
    EXPECT_EQ(bytes[10], 0x01);
    EXPECT_EQ(bytes[11], 0x00);
    EXPECT_EQ(bytes[14], 2);
    EXPECT_EQ(bytes[16], 40);
    EXPECT_EQ(bytes[31], 0x4A);
    EXPECT_EQ(HeaderChecksum(bytes), 0x4A);

    const auto flagged = BuiltHeaderBytes(2, 40, 1);
    EXPECT_EQ(flagged[30], 1);
    EXPECT_EQ(flagged[31], 0x4B);
}

TEST(ConfigHeader, DecodeReadsWhatEncodeWrote)
{
    ConfigHeader header;
    BuildHeader(header, 100, kMaxStringBytes, 1);
    EXPECT_EQ(header.totalSize, 0xFFFFFFFFu);
    std::array<std::uint8_t, kConfigHeaderSize> bytes{};
    EncodeConfigHeader(header, bytes);
    EXPECT_EQ(DecodeConfigHeader(bytes), header);
}

TEST(DeviceBlock, CarriesTheKeyboardIdentity)
{
    const DeviceBlock expected = {0x4B, 0x48, 0x20, 0x00, 0x20, 0x80, 0x00, 0x00, 0x04, 0x00, 0x00,
                                  0x02, 0x00, 0x00, 0x00, 0x00, 0xB4, 0x04, 0x04, 0x50, 0x4F, 0x1C,
                                  0x0E, 0x00, 0,    0,    0,    0,    0,    0,    0,    0};
    EXPECT_EQ(DefaultDeviceBlock(), expected);
}

} // namespace
} // namespace kestrune
