#include "common/LittleEndian.h"

#include <gtest/gtest.h>

#include <array>

namespace kestrune {
namespace {

TEST(LittleEndian, WritesLowByteFirstAndReadsItBack)
{
    std::array<std::uint8_t, 8> bytes{};
    WriteLe16(bytes, 0, 0x52EF);
    WriteLe32(bytes, 2, 0x44460003);
    WriteLeI32(bytes, 4, -2);
    EXPECT_EQ(bytes[0], 0xEF);
    EXPECT_EQ(bytes[1], 0x52);
    EXPECT_EQ(bytes[2], 0x03);
    EXPECT_EQ(bytes[3], 0x00);
    EXPECT_EQ(ReadLe16(bytes, 0), 0x52EF);
    EXPECT_EQ(ReadLeI32(bytes, 4), -2);
    EXPECT_EQ(ReadLe32(bytes, 4), 0xFFFFFFFEu);
}

}  // namespace
}  // namespace kestrune
