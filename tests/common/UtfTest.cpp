#include "common/Utf.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(Utf, RoundTripsAsciiChineseAndSurrogatePairs)
{
    const std::string text = "Key \xE5\xA4\x87\xE4\xBB\xBD \xF0\x9F\x8E\xB9";  // "Key 备份 🎹"
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide, u"Key 备份 🎹");
    EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(Utf, MalformedInputBecomesReplacementCharacters)
{
    EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("a\xE5\xA4"), u"a\uFFFD");  // cut short at the end
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD");    // overlong '/'
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kestrune
