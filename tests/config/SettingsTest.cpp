#include "config/Settings.h"
#include "SettingsTestSupport.h"
#include "common/Utf.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using testing::EnvOverride;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;

TEST(SettingsFile, ValuesParseByTheCRules)
{
    ScratchFolder folder;
    const SettingsFile settings(folder / "wskb.ini");
    EXPECT_FALSE(settings.LightSwitch());
    EXPECT_EQ(settings.ReportRate(), 1);

    struct Case {
        const char* dengCheck; // nullptr: key missing
        bool lightSwitch;
        const char* kbdpi;
        int reportRate;
    };
    const Case cases[] = {
        {"1", true, "3", 3},    {"2", false, "7", 7},     {"0", false, "4", 4},         {" 1 ", true, "", 0},
        {"1abc", true, "x", 0}, {"yes", false, "-2", -2}, {nullptr, false, nullptr, 1}, {"\"1\"", true, "\"2\"", 2},
    };
    for (const Case& c : cases) {
        std::string file = "[keycolor]\n";
        if (c.dengCheck) file += std::string("dengcheck=") + c.dengCheck + "\n";
        if (c.kbdpi) file += std::string("kbdpi=") + c.kbdpi + "\n";
        WriteBytes(settings.path(), file);
        EXPECT_EQ(settings.LightSwitch(), c.lightSwitch) << file;
        EXPECT_EQ(settings.ReportRate(), c.reportRate) << file;
    }
}

TEST(SettingsFile, WritesKeepTheRestAndNeedTheFolder)
{
    ScratchFolder folder;
    const SettingsFile settings(folder / "wskb.ini");
    WriteBytes(settings.path(), "[KEYCOLOR]\r\nDengCheck=2\r\nKBDPI=7\r\nOther=kept\r\n");
    ASSERT_TRUE(settings.SetLightSwitch(true).ok());
    ASSERT_TRUE(settings.SetReportRate(4).ok());
    EXPECT_FALSE(settings.SetReportRate(5).ok());
    EXPECT_FALSE(settings.SetReportRate(0).ok());
    EXPECT_EQ(ReadBytes(settings.path()), "[KEYCOLOR]\r\nDengCheck=1\r\nKBDPI=4\r\nOther=kept\r\n");
    ASSERT_TRUE(settings.SetLightSwitch(false).ok());
    EXPECT_FALSE(settings.LightSwitch());

    // The profile code makes the folder; until then writes fail and nothing appears.
    const SettingsFile homeless(folder / "Mechanical Keyboard" / "wskb.ini");
    EXPECT_FALSE(homeless.SetLightSwitch(true).ok());
    EXPECT_FALSE(std::filesystem::exists(folder / "Mechanical Keyboard"));
    EXPECT_FALSE(homeless.LightSwitch());
}

TEST(SettingsFile, DefaultPathIsInTheDocumentsFolder)
{
    ScratchFolder home;
    EnvOverride homeEnv("HOME", home.Path().string());
    EnvOverride configEnv("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(SettingsFile().path(), home / "Documents" / "Mechanical Keyboard" / "wskb.ini");
    EXPECT_EQ(IniUserSettings().path(), home / ".config" / "Kestrune_Orvanta" / "test_config.ini");
}

TEST(UserSettings, FlipReadsAnyNonZeroAsTheSecondVariant)
{
    ScratchFolder folder;
    IniUserSettings settings(folder / "branch" / "kestrune.ini");
    EXPECT_EQ(ReadFlipSetting(settings), 0); // nothing stored yet

    const std::pair<const char*, int> stored[] = {{"0", 0}, {"1", 1}, {"5", 5}, {" -3", -3}, {"x1", 0}, {"", 0}};
    for (const auto& [text, variant] : stored) {
        ASSERT_TRUE(settings.Write("PROFILES", u"Flip", Utf8ToUtf16(text)).ok());
        EXPECT_EQ(ReadFlipSetting(settings), variant) << text;
    }

    const std::pair<int, std::u16string> written[] = {{0, u"0"}, {1, u"1"}, {2, u"0"}, {5, u"0"}};
    for (const auto& [variant, text] : written) {
        ASSERT_TRUE(WriteFlipSetting(settings, variant).ok());
        EXPECT_EQ(settings.Read("profiles", u"FLIP", u"?"), text) << variant;
    }
}

TEST(UserSettings, RecordDelayNameFollowsTheLanguageFile)
{
    ScratchFolder folder;
    IniUserSettings settings(folder / "kestrune.ini");
    LanguageTable table;
    EXPECT_EQ(RecordDelayValueName(table), u"RecordDelay");
    ASSERT_TRUE(settings.Write(kUserSettingsSection, RecordDelayValueName(table), u"1").ok());

    WriteBytes(folder / "language.ini", "[CHINESE]\nMACRO_ACTION_RECORD_DELAY=DelayOption\n");
    table.Load(folder / "language.ini");
    EXPECT_EQ(settings.Read(kUserSettingsSection, RecordDelayValueName(table), u"0"), u"0");
    ASSERT_TRUE(settings.Write(kUserSettingsSection, RecordDelayValueName(table), u"1").ok());
    EXPECT_EQ(ReadBytes(settings.path()), "[PROFILES]\nRecordDelay=1\nDelayOption=1\n");
}

TEST(UserSettings, ProfileListWritesCountThenPaths)
{
    ScratchFolder folder;
    IniUserSettings settings(folder / "kestrune.ini");
    std::vector<std::u16string> paths;
    for (int i = 0; i < 11; ++i) paths.push_back(u"/docs/p" + Utf8ToUtf16(std::to_string(i)) + u".kpf");
    paths[1] = u"/docs/\u4E2D\u6587.kpf";
    ASSERT_TRUE(WriteProfileList(settings, paths).ok());
    EXPECT_EQ(settings.Read("PROFILES", u"PROFILE00", u""), u"11");
    EXPECT_EQ(settings.Read("PROFILES", u"PROFILE02", u""), u"/docs/\u4E2D\u6587.kpf");
    EXPECT_EQ(settings.Read("PROFILES", u"PROFILE11", u""), u"/docs/p10.kpf");
    EXPECT_EQ(settings.Read("PROFILES", u"PROFILE12", u"none"), u"none");
}

} // namespace
} // namespace kestrune
