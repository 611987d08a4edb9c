#include "config/StringSlotTable.h"

#include <gtest/gtest.h>

#include <memory>

namespace kestrune {
namespace {

TEST(StringSlotTable, KeepsTheSumOfFilledSlotsAcrossEdits)
{
    auto table = std::make_unique<StringSlotTable>();
    ASSERT_TRUE(table->Set(StringSlotIndex(0, 5), u"abc"));
    ASSERT_TRUE(table->Set(StringSlotIndex(3, 511), u"")); // only a terminator: filled, 2 bytes
    EXPECT_EQ(table->Size(StringSlotIndex(0, 5)), 8u);
    EXPECT_EQ(table->Size(StringSlotIndex(3, 511)), 2u);
    EXPECT_EQ(table->StringBytes(), 10u);

    ASSERT_TRUE(table->Set(StringSlotIndex(0, 5), u"abcdef")); // replacing counts the new size only
    EXPECT_EQ(table->StringBytes(), 16u);

    table->Clear(StringSlotIndex(0, 5));
    table->Clear(StringSlotIndex(0, 5)); // clearing twice must not subtract twice
    table->Clear(kStringSlotCount);
    EXPECT_EQ(table->StringBytes(), 2u);
    EXPECT_FALSE(table->Text(StringSlotIndex(0, 5)).has_value());
    EXPECT_EQ(table->Text(StringSlotIndex(3, 511)), std::u16string_view(u""));

    table->ClearAll();
    EXPECT_EQ(table->StringBytes(), 0u);
    EXPECT_EQ(table->Size(StringSlotIndex(3, 511)), 0u);
}

TEST(StringSlotTable, StoresWhatAFileCanCarry)
{
    auto table = std::make_unique<StringSlotTable>();
    // A file keeps a text up to its terminator, so the table does too.
    ASSERT_TRUE(table->Set(7, std::u16string_view(u"ab\0cd", 5)));
    EXPECT_EQ(table->Text(7), std::u16string_view(u"ab"));
    EXPECT_EQ(table->StringBytes(), 6u);

    const Status outOfRange = table->Set(kStringSlotCount, u"x");
    ASSERT_FALSE(outOfRange);
    EXPECT_NE(outOfRange.error().find("2048"), std::string::npos);
    EXPECT_EQ(table->StringBytes(), 6u);
    EXPECT_EQ(table->Size(kStringSlotCount), 0u);
}

} // namespace
} // namespace kestrune
