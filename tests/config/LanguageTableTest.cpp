#include "config/LanguageTable.h"
#include "SettingsTestSupport.h"
#include "common/Utf.h"
#include "config/Folders.h"
#include "config/LanguageKeyNames.h"
#include "keymodel/KeyCodes.h"

#include <gtest/gtest.h>

#include <set>

namespace kestrune {
namespace {

using testing::ReadBytes;
using testing::ScratchFolder;
using testing::Utf16LeBytes;
using testing::WriteBytes;

TEST(LanguageTable, BuiltInTextsKeepTheirExactWording)
{
    const LanguageTable table;
    const std::pair<const char*, std::u16string> cases[] = {
        {"MACRO_ERR_MAX", u"The maximum number of macro: %d   "},
        {"MACRO_ACTION_CLEAR_CONFIRM", u"Really need to clear the macro action? "},
        {"MACRO_DELETE_CONFIRM_OF_KEYS",
         u"Detect some key points to set this macro, \n  really need to remove this macro?  "},
        {"PROFILE_FORMAT_ERROR", u"wrong file format, revert to the default values: \n  %s"},
        {"PROFILE_NEW", u"\\The new contextual  mode"},
        {"MAIN_NO_DEVICE_PROMPT", u"Device is not detected\uFF0Cthe key settings can not be displayed! "},
        {"MAIN_UPDATE_BACKUP_NG", u"\u5907\u4EFD\u5931\u8D25,\u8BF7\u91CD\u65B0\u5907\u4EFD!"},
        {"MAIN_BOOT_ERROR_TEXT", u"\u65E0\u6CD5\u8FDB\u5165Boot\u6A21\u5F0F! "},
        {"KEYBOARD_TRAY_DESC", u"Single-handed keyboard Driver "},
        {"MEDIA_Next_TRACK_5", u"Hello world"},
        {"FUNC_KEY_DESC10", u"Zoom-"},
        {"MAIN_BUTTON_ZELVOR_VER", u""},
        {"MENU_11", u"Open(&O)"}, // read by the tray menu, not held in the table
        {"RECORD_DELAY", u"Record Delay"},
    };
    for (const auto& [key, text] : cases) {
        EXPECT_EQ(table.Text(key), text) << key;
        EXPECT_EQ(BuiltInLanguageText(key), std::optional<std::u16string_view>(text)) << key;
    }
    EXPECT_FALSE(BuiltInLanguageText("NO_SUCH_KEY").has_value());
    EXPECT_FALSE(table.Find("MENU_11").has_value());

    const auto entries = LanguageTableEntries();
    std::set<std::string_view> keys;
    for (const LanguageEntry& entry : entries) EXPECT_TRUE(keys.insert(entry.key).second) << entry.key;
    EXPECT_EQ(entries.size(), 96u);
    EXPECT_EQ(entries.front().key, "MACRO_ACTION_RECORD_DELAY");
    EXPECT_EQ(entries.back().key, "MAIN_MACROS_UNREADABLE");
    // Every text the key model names keys with is one the table loads.
    for (const KeyLanguageEntry& entry : KeyLanguageEntries()) {
        EXPECT_EQ(BuiltInLanguageText(entry.languageKey), std::optional(entry.builtIn)) << entry.languageKey;
    }
}

TEST(LanguageTable, IndexChoosesTheSection)
{
    ScratchFolder folder;
    const auto path = folder / "language.ini";
    struct Case {
        const char* indexLines; // the LANGUAGE section's lines
        int index;
        std::u16string caption;
    };
    const Case cases[] = {
        {"[LANGUAGE]\nlanguage=1\n", 1, u"English"},
        {"[language]\nLANGUAGE= 1 words\n", 1, u"English"},
        {"[LANGUAGE]\nlanguage=01\n", 1, u"English"},
        {"[LANGUAGE]\nlanguage=0\n", 0, u"\u4E2D\u6587"},
        {"[LANGUAGE]\nlanguage=\n", 0, u"\u4E2D\u6587"},
        {"[LANGUAGE]\nlanguage=\" \"\n", 0, u"\u4E2D\u6587"},
        {"[LANGUAGE]\nlanguage=English\n", 0, u"\u4E2D\u6587"},
        {"[LANGUAGE]\nlanguage=2\n", 2, u"\u4E2D\u6587"},
        {"[LANGUAGE]\nlanguage=-1\n", -1, u"\u4E2D\u6587"},
        {"", 0, u"\u4E2D\u6587"},
    };
    for (const Case& c : cases) {
        WriteBytes(path, std::string(c.indexLines) + "[CHINESE]\nMAIN_CAPTION=\xE4\xB8\xAD\xE6\x96\x87\n" +
                             "[ENGINSH]\nMAIN_CAPTION=English\nMENU_1=Import it\n");
        LanguageTable table;
        table.Load(path);
        EXPECT_EQ(ReadLanguageIndex(path), c.index) << c.indexLines;
        EXPECT_EQ(table.Text("MAIN_CAPTION"), c.caption) << c.indexLines;
        EXPECT_EQ(ReadLanguageText(path, "MAIN_CAPTION"), c.caption) << c.indexLines;
    }
}

TEST(LanguageTable, MissingKeysAndFilesGiveASingleBlank)
{
    ScratchFolder folder;
    const auto path = folder / "language.ini";
    WriteBytes(path, "[LANGUAGE]\nlanguage=1\n[CHINESE]\nMAIN_CAPTION=x\n[ENGINSH]\nMAIN_HELP_PROMPT=Help me\n");
    LanguageTable table;
    table.Load(path);
    EXPECT_EQ(table.Text("MAIN_HELP_PROMPT"), u"Help me");
    EXPECT_EQ(table.Text("MAIN_CAPTION"), u" ");
    EXPECT_EQ(ReadLanguageText(path, "MENU_1"), u" ");

    table.Load(folder / "absent.ini");
    EXPECT_EQ(ReadLanguageIndex(folder / "absent.ini"), 0);
    for (const LanguageEntry& entry : LanguageTableEntries()) EXPECT_EQ(table.Text(entry.key), u" ") << entry.key;
    EXPECT_EQ(ReadLanguageText(folder / "absent.ini", "PROFILE_1"), u" ");

    table.ResetToBuiltIn();
    EXPECT_EQ(table.Text("MAIN_CAPTION"), u"Gaming Keyboard Settings");
}

TEST(LanguageTable, LongTextsKeepTheFirst259UnitsAndUtf16FilesRead)
{
    ScratchFolder folder;
    const auto path = folder / "language.ini";
    const std::u16string longText(300, u'\u5B57');
    WriteBytes(
        path,
        Utf16LeBytes(u"[CHINESE]\r\nPROFILE_TIP=" + longText +
                     u"\r\nMAIN_UPDATE_BACKUP_OK=\u5907\u4EFD\u6210\u529F\u4E86\u5F88\u957F\u7684\u6587\u5B57!\r\n"));
    LanguageTable table;
    table.Load(path);
    EXPECT_EQ(table.Text("PROFILE_TIP"), longText.substr(0, 259));
    // The update texts' slots are short; a longer translation is kept whole.
    EXPECT_EQ(table.Text("MAIN_UPDATE_BACKUP_OK"), u"\u5907\u4EFD\u6210\u529F\u4E86\u5F88\u957F\u7684\u6587\u5B57!");
}

TEST(LanguageTable, SwitchingWritesTheIndexIntoTheSameSection)
{
    ScratchFolder folder;
    const auto path = folder / "language.ini";
    WriteBytes(path, "[LANGUAGE]\r\nlanguage=0\r\n[ENGINSH]\r\nMAIN_CAPTION=English\r\n");
    ASSERT_TRUE(WriteLanguageIndex(path, 1).ok());
    EXPECT_EQ(ReadBytes(path), "[LANGUAGE]\r\nlanguage=1\r\n[ENGINSH]\r\nMAIN_CAPTION=English\r\n");
    LanguageTable table;
    table.Load(path);
    EXPECT_EQ(table.Text("MAIN_CAPTION"), u"English");

    // Without a file the switch creates one that reads back.
    ASSERT_TRUE(WriteLanguageIndex(folder / "new.ini", 1).ok());
    EXPECT_EQ(ReadLanguageIndex(folder / "new.ini"), 1);
}

TEST(LanguageTable, FormattingFillsArgumentsSafely)
{
    struct Case {
        std::u16string format;
        std::vector<std::string> args;
        std::u16string expected;
    };
    const Case cases[] = {
        {u"Maximum delay time is: %d(ms) ", {"3000"}, u"Maximum delay time is: 3000(ms) "},
        {u"Unknown Key: %03x", {"30"}, u"Unknown Key: 01e"},
        {u"%X|%o|%u|%i", {"255", "8", "7", "-4"}, u"FF|10|7|-4"},
        {u"%5s|%-5s|%.2s|", {"ab", "cd", "xyz"}, u"   ab|cd   |xy|"},
        {u"%-5d|%05d|%+d", {"-7", "42", "3"}, u"-7   |00042|+3"},
        {u"%s", {"%s%n%d"}, u"%s%n%d"},               // an argument is never a format
        {u"%s and %s", {"a"}, u"a and %s"},           // too few arguments
        {u"%d", {"abc"}, u"abc"},                     // not a number: shown as it is
        {u"%n %p %ls %c", {"x", "65"}, u"%n %p x A"}, // unknown directives stay
        {u"%99999d|%.5000s", {"1", "2"}, u"%99999d|%.5000s"},
        {u"100%% done %", {}, u"100% done %"},
        {u"\n  %s", {"/home/u/\xE4\xB8\xAD.kpf"}, u"\n  /home/u/\u4E2D.kpf"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatLanguageText(c.format, c.args), c.expected) << Utf16ToUtf8(c.format);
    }
}

TEST(LanguageTable, MessagesUseTheTableOrTheBuiltInText)
{
    ScratchFolder folder;
    const auto path = folder / "language.ini";
    WriteBytes(path, "[CHINESE]\nMACRO_ERR_MAX=\xE5\xAE\x8F %d\n");
    LanguageTable table;
    const UserMessage formatError{"PROFILE_FORMAT_ERROR", {"/p/a.kpf"}};
    EXPECT_EQ(MessageTextUtf8(table, formatError), "wrong file format, revert to the default values: \n  /p/a.kpf");

    table.Load(path);
    EXPECT_EQ(MessageText(table, {"MACRO_ERR_MAX", {"64"}}), u"\u5B8F 64");
    // The table holds a blank for this key now; a blank box would say nothing.
    EXPECT_EQ(MessageTextUtf8(table, formatError), "wrong file format, revert to the default values: \n  /p/a.kpf");
    EXPECT_EQ(MessageTextUtf8(table, {"MENU_3", {}}), "About");
    EXPECT_EQ(MessageTextUtf8(table, {"SOMETHING_NEW", {"a", "b"}}), "SOMETHING_NEW a b");
    EXPECT_EQ(MessageTextUtf8(table, {"APPLY_PROMPT", {}}), "APPLY_PROMPT");
}

TEST(LanguageTable, StartUpLoadsTheSkinFolderFileAndKeyNames)
{
    ScratchFolder program;
    std::filesystem::create_directory(program / "Skins");
    WriteBytes(program / "Skins" / "language.ini",
               "[LANGUAGE]\nlanguage=1\n[ENGINSH]\nMEDIA_MUTE_8=Mute\nUNKNOWN_KEY=Key %03X\nMAIN_CAPTION=Keys\n");
    SetProgramFolder(program.Path());
    LoadLanguageTableAndKeyNames();
    SetProgramFolder(std::nullopt);

    EXPECT_EQ(TheLanguageTable().Text("MAIN_CAPTION"), u"Keys");
    EXPECT_EQ(KeyLanguageText("MEDIA_MUTE_8"), u"Mute");
    EXPECT_EQ(KeyLanguageText("UNKNOWN_KEY"), u"Key %03X");
    EXPECT_EQ(KeyLanguageText("MEDIA_CALC_17"), u" ");
    ResetKeyLanguageTexts();
    TheLanguageTable().ResetToBuiltIn();
}

} // namespace
} // namespace kestrune
