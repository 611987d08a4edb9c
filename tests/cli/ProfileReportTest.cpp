// Keys and colours as a person types them on the command line.

#include "ProfileReport.h"

#include <gtest/gtest.h>

namespace kestrune::cli {
namespace {

TEST(CliParsing, KeysLightsAndColours)
{
    EXPECT_EQ(ParseKey("A"), KeyIndex{0x01E});
    EXPECT_EQ(ParseKey("esc"), KeyIndex{0x001});
    EXPECT_EQ(ParseKey("0"), KeyIndex{0x00B}); // the key called 0, not a number
    EXPECT_EQ(ParseKey("0x145"), KeyIndex{0x145});
    EXPECT_EQ(ParseKey("30"), KeyIndex{0x01E});
    for (const char* bad : {"", "NoSuchKey", "0x80", "0x180", "0x0", "-1", "0x"})
        EXPECT_FALSE(ParseKey(bad).has_value()) << bad;

    EXPECT_EQ(ParseKeyLight("A"), std::size_t{53});
    EXPECT_EQ(ParseKeyLight("g5"), std::size_t{5});
    EXPECT_EQ(ParseKeyLight("G9"), std::size_t{0});
    EXPECT_EQ(ParseKeyLight("Fn"), std::size_t{kFnLight});
    EXPECT_FALSE(ParseKeyLight("G0").has_value());

    EXPECT_EQ(ParseColour("102030"), MakeColour(0x10, 0x20, 0x30));
    EXPECT_EQ(ParseColour("#abcdef"), MakeColour(0xAB, 0xCD, 0xEF));
    for (const char* bad : {"", "12345", "1234567", "GG0000", "+12345", "#"})
        EXPECT_FALSE(ParseColour(bad).has_value()) << bad;
    EXPECT_EQ(ColourText(MakeColour(0x0A, 0xB0, 0xFF)), "0AB0FF");
}

} // namespace
} // namespace kestrune::cli
