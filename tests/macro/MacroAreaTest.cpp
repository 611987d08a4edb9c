#include "macro/MacroArea.h"

#include "common/LittleEndian.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(std::span<const MacroRecord> list, bool withNames)
{
    const MacroAreaSize sizes = MacroAreaSizes(list);
    const std::size_t length = withNames ? sizes.withNames : sizes.withoutNames;
    Bytes area(length, 0xEE);
    const Status status = EncodeMacroArea(list, length, withNames, area);
    EXPECT_TRUE(status.ok()) << status.error();
    return area;
}

MacroRecord TwoActionMacro(std::uint16_t id)
{
    MacroRecord record = MakeMacroRecord(u"Strafe", id);
    record.cycles = 4;
    record.AppendAction({125, 0x01D, kMacroPress});
    record.AppendAction({0, 0x01E, kMacroRelease});
    return record;
}

TEST(MacroArea, EmptyListIsAHeaderOnly)
{
    EXPECT_EQ(MacroAreaSizes({}), (MacroAreaSize{16, 16}));
    for (bool withNames : {false, true}) {
        const Bytes area = Encode({}, withNames);
        const std::uint8_t flag = withNames ? 1 : 0;
        EXPECT_EQ(area, (Bytes{0xAA, 0x55, 0x10, 0x00, 0x00, 0x00, flag, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
        auto decoded = DecodeMacroArea(area, 0, u"Macro");
        ASSERT_TRUE(decoded.ok()) << decoded.error();
        EXPECT_TRUE(decoded->empty());
    }
}

TEST(MacroArea, OneMacroLaidOutByteForByte)
{
    const std::vector<MacroRecord> list{TwoActionMacro(9)};
    EXPECT_EQ(MacroAreaSizes(list), (MacroAreaSize{42, 30}));

    const Bytes withNames = Encode(list, true);
    EXPECT_EQ(withNames, (Bytes{
                             0xAA, 0x55, 42,   0,    1,   0, 1,   0, 0,   0, 0,   0, 0, 0, 0, 0, // header
                             18,   0,                                                            // offset of entry 1
                             2,    0,    4,    6,                                    // actions, cycles, name length
                             0x0C, 0xA0, 0x01, 0x01,                                 // press Ctrl, 120 ms
                             0x00, 0x20, 0x02, 0x04,                                 // release A, 0 ms
                             'S',  0,    't',  0,    'r', 0, 'a', 0, 'f', 0, 'e', 0, // name, no terminator
                         }));

    const Bytes withoutNames = Encode(list, false);
    ASSERT_EQ(withoutNames.size(), 30u);
    EXPECT_EQ(ReadLe16(withoutNames, 6), 0);
    EXPECT_EQ(ReadLe16(withoutNames, 16), 18);
    EXPECT_EQ(withoutNames[21], 0); // name length
}

TEST(MacroArea, ActionsEncodeAndDecode)
{
    struct Case {
        const char* what;
        MacroAction action;
        std::array<std::uint8_t, 4> bytes;
        MacroAction decoded;
    };
    const Case cases[] = {
        {"Ctrl press, delay cut to 10 ms",
         {125, 0x01D, kMacroPress},
         {0x0C, 0xA0, 0x01, 0x01},
         {120, 0x01D, kMacroPress}},
        {"A release", {0, 0x01E, kMacroRelease}, {0x00, 0x20, 0x02, 0x04}, {0, 0x01E, kMacroRelease}},
        {"Volume Up, consumer page",
         {40000, 0x130, kMacroPress},
         {0xA0, 0xBF, 0xE9, 0x00},
         {40000, 0x130, kMacroPress}},
        {"Sys Req has no usage", {30, 0x054, kMacroRelease}, {0x03, 0x00, 0x00, 0x00}, {30, 0, kMacroRelease}},
        {"fake Right Shift is no modifier", {0, 0x136, kMacroPress}, {0x00, 0xA0, 0x02, 0xE5}, {0, 0x036, kMacroPress}},
        {"Right Alt is a modifier", {10, 0x138, kMacroRelease}, {0x01, 0x20, 0x01, 0x40}, {10, 0x138, kMacroRelease}},
        {"Power, generic-desktop page", {20, 0x15E, kMacroPress}, {0x02, 0xC0, 0x81, 0x00}, {20, 0x15E, kMacroPress}},
        {"mail, 16-bit consumer usage", {0, 0x16C, kMacroPress}, {0x00, 0xB0, 0x8A, 0x01}, {0, 0x16C, kMacroPress}},
        {"recorded delay beyond 12 bits",
         {45678, 0x01E, kMacroPress},
         {0xFF, 0xAF, 0x02, 0x04},
         {40950, 0x01E, kMacroPress}},
        {"largest delay that fits", {40959, 0x01E, kMacroPress}, {0xFF, 0xAF, 0x02, 0x04}, {40950, 0x01E, kMacroPress}},
        {"negative delay from a damaged file",
         {-20, 0x01E, kMacroPress},
         {0x00, 0xA0, 0x02, 0x04},
         {0, 0x01E, kMacroPress}},
        {"direction other than 0 is a release", {0, 0x01E, 7}, {0x00, 0x20, 0x02, 0x04}, {0, 0x01E, kMacroRelease}},
        {"key beyond the table", {0, 0xFFFF, kMacroPress}, {0x00, 0x80, 0x00, 0x00}, {0, 0, kMacroPress}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeMacroAction(c.action), c.bytes) << c.what;
        EXPECT_EQ(DecodeMacroAction(c.bytes), c.decoded) << c.what;
    }
}

TEST(MacroArea, DecodedMacrosAreNumberedByPosition)
{
    MacroRecord first = TwoActionMacro(7);
    first.newFlag = 1;
    MacroRecord second = MakeMacroRecord(u"Empty", 3);
    second.cycles = 255;
    MacroRecord third = MakeMacroRecord(u"", 1); // a nameless macro sent with names
    third.AppendAction({40000, 0x130, kMacroPress});
    const std::vector<MacroRecord> list{first, second, third};

    auto withoutNames = DecodeMacroArea(Encode(list, false), 3, u"Macro");
    ASSERT_TRUE(withoutNames.ok()) << withoutNames.error();
    ASSERT_EQ(withoutNames->size(), 3u);
    const std::u16string expectedNames[] = {u"Macro1", u"Macro2", u"Macro3"};
    for (std::size_t i = 0; i < 3; ++i) {
        const MacroRecord& record = (*withoutNames)[i];
        EXPECT_EQ(record.Name(), expectedNames[i]);
        EXPECT_EQ(record.id, i + 1);
        EXPECT_EQ(record.newFlag, 0);
        EXPECT_EQ(record.cycles, list[i].cycles);
        EXPECT_EQ(record.actionCount, list[i].actionCount);
    }
    EXPECT_EQ((*withoutNames)[0].actions[0], (MacroAction{120, 0x01D, kMacroPress}));
    EXPECT_EQ((*withoutNames)[0].actions[1], (MacroAction{0, 0x01E, kMacroRelease}));
    EXPECT_EQ((*withoutNames)[2].actions[0], (MacroAction{40000, 0x130, kMacroPress}));

    auto withNames = DecodeMacroArea(Encode(list, true), 3, u"宏");
    ASSERT_TRUE(withNames.ok()) << withNames.error();
    EXPECT_EQ((*withNames)[0].Name(), u"Strafe");
    EXPECT_EQ((*withNames)[1].Name(), u"Empty");
    EXPECT_EQ((*withNames)[2].Name(), u"宏3");
}

TEST(MacroArea, NamesFromTheKeyboardEndAtTheirFirstZeroAndFitTheField)
{
    // Three nameless entries with names appended by hand: 2 units with a zero
    // in the middle, 2 units starting with zero, and 255 units.
    Bytes area{0xAA, 0x55, 0, 0, 3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 22, 0, 30, 0, 38, 0};
    for (std::size_t length : {2u, 2u, 255u}) {
        const Bytes entry{0, 0, 1, static_cast<std::uint8_t>(length)};
        area.insert(area.end(), entry.begin(), entry.end());
        for (std::size_t k = 0; k < length; ++k) area.insert(area.end(), {static_cast<std::uint8_t>('a' + k % 26), 0});
    }
    area[26] = 'x'; // first entry: "x", then a zero unit
    area[28] = 0;
    area[34] = 0; // second entry: starts with a zero unit
    WriteLe16(area, 2, static_cast<std::uint16_t>(area.size()));

    auto decoded = DecodeMacroArea(area, 3, u"Macro");
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ((*decoded)[0].Name(), u"x");
    EXPECT_EQ((*decoded)[0].name[1], u'\0');
    EXPECT_EQ((*decoded)[1].Name(), u"Macro2");
    EXPECT_EQ((*decoded)[2].Name().size(), kMaxMacroNameLength);
    EXPECT_EQ((*decoded)[2].Name().substr(0, 3), u"abc");
}

TEST(MacroArea, LongestNameAndMostActionsSurviveTheRoundTrip)
{
    MacroRecord record = MakeMacroRecord(std::u16string(kMaxMacroNameLength, u'\x4E2D'), 1);
    for (std::size_t i = 0; i < kMaxMacroActions; ++i)
        record.AppendAction({static_cast<std::int32_t>(10 * (i % 4096)), 0x01E, static_cast<std::uint16_t>(i % 2)});
    const std::vector<MacroRecord> list{record};
    const MacroAreaSize sizes = MacroAreaSizes(list);
    EXPECT_EQ(sizes.withoutNames, 16u + 2 + 4 + 4 * kMaxMacroActions);
    EXPECT_EQ(sizes.withNames, sizes.withoutNames + 2 * kMaxMacroNameLength);

    auto decoded = DecodeMacroArea(Encode(list, true), 1, u"Macro");
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    const MacroRecord& back = decoded->front();
    EXPECT_EQ(back.Name(), record.Name());
    ASSERT_EQ(back.actionCount, kMaxMacroActions);
    for (std::size_t i = 0; i < kMaxMacroActions; ++i) ASSERT_EQ(back.actions[i], record.actions[i]) << i;
}

TEST(MacroArea, DamagedRecordsEncodeWithinTheirFields)
{
    MacroRecord record;
    record.id = 1;
    record.name.fill(u'n');      // no terminator
    record.actionCount = 0xFFFF; // more than the array holds
    const std::vector<MacroRecord> list{record};
    const MacroAreaSize sizes = MacroAreaSizes(list);
    EXPECT_EQ(sizes.withoutNames, 16u + 2 + 4 + 4 * kMaxMacroActions);
    EXPECT_EQ(sizes.withNames - sizes.withoutNames, 2 * kMaxMacroNameLength);

    const Bytes area = Encode(list, true);
    EXPECT_EQ(ReadLe16(area, 18), kMaxMacroActions);
    EXPECT_EQ(area[21], kMaxMacroNameLength);
}

TEST(MacroArea, EncoderRefusesWhatDoesNotFit)
{
    const std::vector<MacroRecord> one{TwoActionMacro(1)};
    Bytes buffer(100, 0xEE);

    EXPECT_FALSE(EncodeMacroArea(one, 41, true, buffer).ok());
    EXPECT_TRUE(EncodeMacroArea(one, 41, false, buffer).ok());
    EXPECT_FALSE(EncodeMacroArea(one, 42, true, std::span(buffer).first(41)).ok());

    // Room to spare: the header carries the length given and the rest is zero;
    // bytes past that length are left alone.
    ASSERT_TRUE(EncodeMacroArea(one, 50, true, buffer).ok());
    EXPECT_EQ(ReadLe16(buffer, 2), 50);
    EXPECT_EQ(Bytes(buffer.begin() + 42, buffer.begin() + 50), Bytes(8, 0));
    EXPECT_EQ(buffer[50], 0xEE);
    auto decoded = DecodeMacroArea(std::span(buffer).first(50), 1, u"Macro");
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded->front().Name(), u"Strafe");

    std::vector<MacroRecord> tooMany(kMaxMacros + 1);
    Bytes scratch(1000);
    Status status = EncodeMacroArea(tooMany, scratch.size(), false, scratch);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().find("found 101"), std::string::npos) << status.error();

    // A full list of full macros is far beyond the 16-bit length word; its
    // sizes say so instead of wrapping round.
    std::vector<MacroRecord> full(kMaxMacros, MakeMacroRecord(u"m", 1));
    for (MacroRecord& record : full) record.actionCount = kMaxMacroActions;
    const MacroAreaSize sizes = MacroAreaSizes(full);
    EXPECT_EQ(sizes.withoutNames, 16u + 200 + 100 * (4 + 4 * kMaxMacroActions));
    Bytes big(sizes.withoutNames);
    status = EncodeMacroArea(full, big.size(), false, big);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().find("at most 65535 bytes"), std::string::npos) << status.error();
}

TEST(MacroArea, DecoderReportsAreasThatDoNotHoldTogether)
{
    // Two macros, one action each, without names: entries at 20 and 28, 36 bytes.
    std::vector<MacroRecord> list{MakeMacroRecord(u"a", 1), MakeMacroRecord(u"b", 2)};
    list[0].AppendAction({0, 0x01E, kMacroPress});
    list[1].AppendAction({0, 0x030, kMacroPress});
    const Bytes good = Encode(list, false);
    ASSERT_EQ(good.size(), 36u);

    struct Case {
        const char* what;
        void (*spoil)(Bytes&);
        std::size_t count;
        const char* message;
    };
    const Case cases[] = {
        {"shorter than a header", [](Bytes& a) { a.resize(15); }, 2, "header of 16 bytes, found 15"},
        {"wrong magic", [](Bytes& a) { a[0] = 0xAB; }, 2, "magic 0x55AA, found 0x55AB"},
        {"length beyond what was read", [](Bytes& a) { a.resize(35); }, 2, "length of 36 bytes, only 35 bytes"},
        {"count other than the header's", [](Bytes&) {}, 3, "expected 3 macros, the header gives 2"},
        {"more than 100 entries",
         [](Bytes& a) {
             a.resize(16 + 2 * 101 + 4, 0);
             WriteLe16(a, 2, static_cast<std::uint16_t>(a.size()));
             WriteLe16(a, 4, 101);
         },
         101, "at most 100 macros, found 101"},
        {"offset table past the end", [](Bytes& a) { WriteLe16(a, 4, 11); }, 11, "offset table ending at byte 38"},
        {"offset into the offset table", [](Bytes& a) { WriteLe16(a, 18, 19); }, 2,
         "entry 2: expected an offset from 20"},
        {"offset past the end", [](Bytes& a) { WriteLe16(a, 16, 0xFFF0); }, 2,
         "entry 1: expected an offset from 20 to 32, found 65520"},
        {"entry header cut off", [](Bytes& a) { WriteLe16(a, 18, 33); }, 2, "found 33"},
        {"2001 actions", [](Bytes& a) { WriteLe16(a, 28, 2001); }, 2,
         "entry 2: expected at most 2000 actions, found 2001"},
        {"actions past the end", [](Bytes& a) { WriteLe16(a, 28, 3); }, 2, "entry 2: it ends at byte 44"},
        {"name past the end", [](Bytes& a) { a[31] = 3; }, 2, "entry 2: it ends at byte 42"},
        {"length word shorter than the entries", [](Bytes& a) { WriteLe16(a, 2, 30); }, 2,
         "entry 2: expected an offset"},
    };
    for (const Case& c : cases) {
        Bytes area = good;
        c.spoil(area);
        auto decoded = DecodeMacroArea(area, c.count, u"Macro");
        ASSERT_FALSE(decoded.ok()) << c.what;
        EXPECT_NE(decoded.error().find(c.message), std::string::npos) << c.what << ": " << decoded.error();
    }

    // Bytes read beyond the area's own length are no part of it.
    Bytes longer = good;
    longer.resize(64, 0x77);
    auto decoded = DecodeMacroArea(longer, 2, u"Macro");
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ((*decoded)[1].actions[0], (MacroAction{0, 0x030, kMacroPress}));
}

} // namespace
} // namespace kestrune
