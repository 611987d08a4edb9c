#include "config/RecordDelayOption.h"

#include "SettingsTestSupport.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(RecordDelayOption, ReadsNormalisesAndStoresAtOnce)
{
    testing::ScratchFolder folder;
    IniUserSettings settings(folder / "kestrune.ini");
    LanguageTable table;
    EXPECT_EQ(LoadRecordDelayOption(settings, table), 0);
    EXPECT_EQ(settings.Read(kUserSettingsSection, u"RecordDelay", u"?"), u"0");

    for (const auto& [stored, option] : {std::pair{u"1", 1}, {u"7", 0}, {u"x", 0}, {u"-1", 0}}) {
        ASSERT_TRUE(settings.Write(kUserSettingsSection, u"RecordDelay", stored).ok());
        EXPECT_EQ(LoadRecordDelayOption(settings, table), option);
        EXPECT_EQ(settings.Read(kUserSettingsSection, u"RecordDelay", u"?"), option ? u"1" : u"0");
    }
    EXPECT_EQ(StoreRecordDelayOption(settings, table, 1), 1);
    EXPECT_EQ(settings.Read(kUserSettingsSection, u"RecordDelay", u"?"), u"1");
    EXPECT_EQ(StoreRecordDelayOption(settings, table, 2), 0);
    EXPECT_EQ(settings.Read(kUserSettingsSection, u"RecordDelay", u"?"), u"0");
}

} // namespace
} // namespace kestrune
