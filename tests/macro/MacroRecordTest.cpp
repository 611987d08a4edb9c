#include "macro/MacroRecord.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune {
namespace {

MacroRecord SampleRecord()
{
    MacroRecord record = MakeMacroRecord(u"Dash", 7);
    record.cycles = 3;
    record.AppendAction({125, 0x01D, kMacroPress});
    record.AppendAction({-1, 0x130, kMacroRelease});
    return record;
}

TEST(MacroRecord, BytesSitAtTheirOffsetsLittleEndian)
{
    MacroRecord record = SampleRecord();
    record.reserved1 = 0xAB;
    record.newFlag = 1;
    record.reserved2 = 0x1234;
    record.reserved3 = 0xBEEF;
    record.actions[1999] = {40000, 0x17E, kMacroRelease}; // past the count: still carried

    std::vector<std::uint8_t> bytes(kMacroRecordSize, 0xCC);
    MacroRecordToBytes(record, std::span<std::uint8_t, kMacroRecordSize>(bytes));

    EXPECT_EQ(bytes[0], 'D');
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(bytes[6], 'h');
    EXPECT_EQ(bytes[8], 0); // terminator
    EXPECT_EQ(bytes[499], 0);
    EXPECT_EQ(bytes[500], 3);
    EXPECT_EQ(bytes[501], 0xAB);
    EXPECT_EQ((std::vector<std::uint8_t>{bytes.begin() + 502, bytes.begin() + 512}),
              (std::vector<std::uint8_t>{0x01, 0x00, 0x34, 0x12, 0x07, 0x00, 0x02, 0x00, 0xEF, 0xBE}));
    // First action: delay 125, key 0x01D, press.
    EXPECT_EQ((std::vector<std::uint8_t>{bytes.begin() + 512, bytes.begin() + 520}),
              (std::vector<std::uint8_t>{0x7D, 0x00, 0x00, 0x00, 0x1D, 0x00, 0x00, 0x00}));
    // Second action: delay -1, key 0x130, release.
    EXPECT_EQ((std::vector<std::uint8_t>{bytes.begin() + 520, bytes.begin() + 528}),
              (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0x30, 0x01, 0x01, 0x00}));
    EXPECT_EQ((std::vector<std::uint8_t>{bytes.end() - 8, bytes.end()}),
              (std::vector<std::uint8_t>{0x40, 0x9C, 0x00, 0x00, 0x7E, 0x01, 0x01, 0x00}));

    EXPECT_EQ(MacroRecordFromBytes(std::span<const std::uint8_t, kMacroRecordSize>(bytes)), record);

    // Decoding only the used actions leaves the slots past the count empty.
    MacroRecord used = MacroRecordFromBytes(std::span<const std::uint8_t, kMacroRecordSize>(bytes), ActionSlots::Used);
    EXPECT_EQ(used.actions[1999], MacroAction{});
    used.actions[1999] = record.actions[1999];
    EXPECT_EQ(used, record);
}

TEST(MacroRecord, ListLiesBackToBackAndShortInputIsRefused)
{
    std::vector<MacroRecord> list{SampleRecord(), MakeMacroRecord(u"Second", 2)};
    const std::vector<std::uint8_t> bytes = MacroListToBytes(list);
    ASSERT_EQ(bytes.size(), 2 * kMacroRecordSize);
    EXPECT_EQ(bytes[kMacroRecordSize + kMacroOffId], 2);

    auto back = MacroListFromBytes(bytes, 2);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(*back, list);

    auto shortRead = MacroListFromBytes(std::span(bytes).first(bytes.size() - 1), 2);
    ASSERT_FALSE(shortRead.ok());
    EXPECT_NE(shortRead.error().find("33024 bytes"), std::string::npos) << shortRead.error();
    EXPECT_NE(shortRead.error().find("33023"), std::string::npos) << shortRead.error();

    EXPECT_FALSE(MacroListFromBytes({}, kMaxMacros + 1).ok());
    auto none = MacroListFromBytes({}, 0);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());
}

TEST(MacroRecord, NameIsCutToItsFieldAndReadBackWithoutTerminator)
{
    MacroRecord record;
    record.SetName(std::u16string(300, u'x'));
    EXPECT_EQ(record.Name().size(), kMaxMacroNameLength);
    EXPECT_EQ(record.name[kMaxMacroNameLength], u'\0');

    record.SetName(u"ab");
    EXPECT_EQ(record.Name(), u"ab");
    EXPECT_EQ(record.name[2], u'\0');
    EXPECT_EQ(record.name[3], u'\0'); // old text does not linger behind the terminator

    record.name.fill(u'y'); // a record from a file without terminator
    EXPECT_EQ(record.Name().size(), kMaxMacroNameLength);
}

TEST(MacroRecord, ActionsNeverReachPastTheArray)
{
    MacroRecord record;
    record.actionCount = 60000; // as a damaged file may claim
    EXPECT_EQ(record.Actions().size(), kMaxMacroActions);
    EXPECT_FALSE(record.AppendAction({}));

    record.actionCount = kMaxMacroActions - 1;
    EXPECT_TRUE(record.AppendAction({10, 0x01E, kMacroRelease}));
    EXPECT_EQ(record.actionCount, kMaxMacroActions);
    EXPECT_EQ(record.Actions().back(), (MacroAction{10, 0x01E, kMacroRelease}));
    EXPECT_FALSE(record.AppendAction({}));
}

TEST(MacroList, RulesNameTheFirstRecordThatBreaksThem)
{
    struct Case {
        const char* what;
        void (*spoil)(std::vector<MacroRecord>&);
        const char* message; // empty: the list is sound
    };
    const Case cases[] = {
        {"sound", [](std::vector<MacroRecord>&) {}, ""},
        {"id 0", [](std::vector<MacroRecord>& l) { l[1].id = 0; }, "macro 2: expected an id from 1 to 100, found 0"},
        {"id 101", [](std::vector<MacroRecord>& l) { l[0].id = 101; }, "found 101"},
        {"duplicate id", [](std::vector<MacroRecord>& l) { l[2].id = 1; }, "macro 3: id 1 is already used"},
        {"2001 actions", [](std::vector<MacroRecord>& l) { l[0].actionCount = 2001; }, "found 2001"},
        {"cycles 0", [](std::vector<MacroRecord>& l) { l[1].cycles = 0; }, "repeat count"},
        {"unterminated name", [](std::vector<MacroRecord>& l) { l[2].name.fill(u'n'); }, "not terminated"},
        {"101 macros",
         [](std::vector<MacroRecord>& l) {
             l.resize(kMaxMacros + 1);
             for (std::size_t i = 0; i < l.size(); ++i) l[i] = MakeMacroRecord(u"m", static_cast<std::uint16_t>(i));
         },
         "at most 100 macros, found 101"},
    };
    for (const Case& c : cases) {
        std::vector<MacroRecord> list{MakeMacroRecord(u"a", 1), MakeMacroRecord(u"b", 100), MakeMacroRecord(u"c", 5)};
        c.spoil(list);
        const Status status = CheckMacroList(list);
        if (std::string(c.message).empty()) {
            EXPECT_TRUE(status.ok()) << c.what << ": " << status.error();
        } else {
            ASSERT_FALSE(status.ok()) << c.what;
            EXPECT_NE(status.error().find(c.message), std::string::npos) << c.what << ": " << status.error();
        }
    }
}

TEST(MacroList, FreeIdsAndIdsByPosition)
{
    EXPECT_EQ(SmallestFreeMacroId({}), 1);

    // Ids need not follow positions; a gap left by a deleted macro is reused first.
    std::vector<MacroRecord> list{MakeMacroRecord(u"a", 2), MakeMacroRecord(u"b", 1), MakeMacroRecord(u"c", 4)};
    EXPECT_EQ(SmallestFreeMacroId(list), 3);
    EXPECT_EQ(MacroIdAtPosition(list, 0), 2);
    EXPECT_EQ(MacroIdAtPosition(list, 2), 4);
    EXPECT_EQ(MacroIdAtPosition(list, 3), 0);
    EXPECT_EQ(MacroIdAtPosition(list, -1), 0);
    EXPECT_EQ(MacroIdAtPosition({}, 0), 0);

    list.clear();
    for (std::uint16_t id = 1; id <= kMaxMacroId; ++id) list.push_back(MakeMacroRecord(u"m", id));
    EXPECT_EQ(SmallestFreeMacroId(list), 0);
    list[41].id = 0xFFFF; // out-of-range ids in a damaged list are ignored, not indexed
    EXPECT_EQ(SmallestFreeMacroId(list), 42);
}

} // namespace
} // namespace kestrune
