#include "config/IniFile.h"
#include "SettingsTestSupport.h"
#include "common/Utf.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <sys/stat.h>
#include <thread>

namespace kestrune {
namespace {

using testing::ReadBytes;
using testing::ScratchFolder;
using testing::Utf16LeBytes;
using testing::WriteBytes;

constexpr const char* kMixedFile = "; settings of the test\r\n"
                                   "orphan=before any section\r\n"
                                   "[Main]\r\n"
                                   "Key1=plain\r\n"
                                   "  key2  =   padded value   \r\n"
                                   "QUOTED=\" keep blanks \"\r\n"
                                   "Half=\"only leading\r\n"
                                   "Twice=\"\"x\"\"\r\n"
                                   "Single=' in single quotes '\r\n"
                                   "Unmatched='x\"\r\n"
                                   "Empty=\r\n"
                                   "Dup=first\r\n"
                                   "dup=second\r\n"
                                   "no equals sign here\r\n"
                                   "=no name\r\n"
                                   ";Hidden=commented out\r\n"
                                   "[ main ]\r\n"
                                   "Late=unseen\r\n"
                                   "[Other]\r\n"
                                   "Number=  -42abc\r\n"
                                   "[broken\r\n"
                                   "Caption=\xE4\xB8\xAD\xE6\x96\x87 a=b\r\n"
                                   "Emoji=a\xF0\x9F\x98\x80";

TEST(IniFile, ReadsFollowTheProfileStringRules)
{
    const IniFile file = IniFile::FromBytes(kMixedFile);
    struct Case {
        const char* section;
        const char* key;
        std::size_t bufferSize;
        std::u16string expected;
        bool sameTick = false; // can share the old version's timestamps: caught only while unsettled
    };
    const Case cases[] = {
        {"MAIN", "key1", kIniNoLimit, u"plain"},
        {"main", "KEY2", kIniNoLimit, u"padded value"},
        {"Main", "quoted", kIniNoLimit, u" keep blanks "},
        {"Main", "Half", kIniNoLimit, u"\"only leading"},
        {"Main", "Twice", kIniNoLimit, u"\"x\""},
        {"Main", "Single", kIniNoLimit, u" in single quotes "},
        {"Main", "Unmatched", kIniNoLimit, u"'x\""},
        {"Main", "Empty", kIniNoLimit, u""}, // present but empty: not the default
        {"Main", "Dup", kIniNoLimit, u"first"},
        {"Main", "Late", kIniNoLimit, u"<default>"}, // under a repeated header
        {"Main", "orphan", kIniNoLimit, u"<default>"},
        {"Main", "Hidden", kIniNoLimit, u"<default>"},
        {"Main", "no equals sign here", kIniNoLimit, u"<default>"},
        {"Missing", "Key1", kIniNoLimit, u"<default>"},
        {"Other", "Caption", kIniNoLimit, u"\u4E2D\u6587 a=b"}, // "[broken" opens nothing
        {"Main", "Key1", 4, u"pla"},
        {"Main", "Key1", 1, u""},
        {"Main", "Key1", 0, u""},
        {"Missing", "Key1", 4, u"<de"}, // the default is cut like a value
        {"Other", "Emoji", 3, u"a"},    // never half a surrogate pair
        {"Other", "Emoji", 4, u"a\U0001F600"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(file.ReadString(c.section, c.key, u"<default>", c.bufferSize), c.expected)
            << c.section << "/" << c.key << " size " << c.bufferSize;
    }
    EXPECT_EQ(file.ReadInt("other", "number", 5), -42);
    EXPECT_EQ(file.ReadInt("other", "absent", 5), 5);
    EXPECT_EQ(file.ReadStringUtf8("Other", "Caption", ""), "\xE4\xB8\xAD\xE6\x96\x87 a=b");
    EXPECT_TRUE(file.HasSection("OTHER"));
    EXPECT_FALSE(file.HasSection("broken"));
}

TEST(IniFile, DecimalConversionFollowsTheCRules)
{
    const std::pair<const char*, int> cases[] = {
        {"12abc", 12},
        {"  \t7", 7},
        {"+7", 7},
        {"-3", -3},
        {"abc", 0},
        {"", 0},
        {" ", 0},
        {"- 5", 0},
        {"0x10", 0},
        {"007", 7},
        {"1 2", 1},
        {"2147483647", INT_MAX},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ParseDecimalInt(std::string_view(text)), expected) << '"' << text << '"';
        EXPECT_EQ(ParseDecimalInt(Utf8ToUtf16(text)), expected) << '"' << text << '"';
    }
}

TEST(IniFile, WritesChangeOnlyTheirLine)
{
    ScratchFolder folder;
    const auto path = folder / "settings.ini";
    WriteBytes(path, "; keep me\r\n"
                     "[KEYCOLOR]\r\n"
                     "  dengcheck = 0   ; not a comment\r\n"
                     "Unknown=stays\r\n"
                     "; trailing comment of the section\r\n"
                     "\r\n"
                     "[Later]\r\n"
                     "A=1");

    ASSERT_TRUE(WriteIniString(path, "keycolor", "DengCheck", u"1").ok());
    ASSERT_TRUE(WriteIniString(path, "KEYCOLOR", "KBDPI", u"3").ok());
    ASSERT_TRUE(WriteIniString(path, "New", "Value", u"x").ok());
    EXPECT_EQ(ReadBytes(path), "; keep me\r\n"
                               "[KEYCOLOR]\r\n"
                               "  dengcheck =1\r\n"
                               "Unknown=stays\r\n"
                               "; trailing comment of the section\r\n"
                               "KBDPI=3\r\n"
                               "\r\n"
                               "[Later]\r\n"
                               "A=1\r\n"
                               "\r\n"
                               "[New]\r\n"
                               "Value=x\r\n");
    EXPECT_EQ(ReadIniInt(path, "KeyColor", "DENGCHECK", 0), 1);
}

TEST(IniFile, NewFileIsUtf8WithLfAndValuesReadBackAsWritten)
{
    ScratchFolder folder;
    const auto path = folder / "new.ini";
    const std::u16string values[] = {u" padded ", u"\"quoted\"", u"\u4E2D\u6587", u"", u"a;b=c", u"'single'"};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        ASSERT_TRUE(WriteIniString(path, "language", "v" + std::to_string(i), values[i]).ok());
    }
    const std::string bytes = ReadBytes(path);
    EXPECT_TRUE(bytes.starts_with("[language]\nv0=\" padded \"\nv1=\"\"quoted\"\"\nv2=\xE4\xB8\xAD"));
    EXPECT_EQ(bytes.find('\r'), std::string::npos);
    for (std::size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(ReadIniString(path, "LANGUAGE", "v" + std::to_string(i), u"-"), values[i]);
    }
}

TEST(IniFile, WritesKeepTheEncodingOfTheFile)
{
    ScratchFolder folder;
    struct Case {
        std::string original;
        std::string expected;
    };
    const Case cases[] = {
        {Utf16LeBytes(u"[CHINESE]\r\nMAIN_CAPTION=\u952E\u76D8\r\n"),
         Utf16LeBytes(u"[CHINESE]\r\nMAIN_CAPTION=\u952E\u76D8\r\nNEW=\u4E2D\r\n")},
        {"\xEF\xBB\xBF[CHINESE]\nMAIN_CAPTION=x", "\xEF\xBB\xBF[CHINESE]\nMAIN_CAPTION=x\nNEW=\xE4\xB8\xAD\n"},
        // Half a unit at the end stays there, after the new line.
        {Utf16LeBytes(u"[CHINESE]\r\nK=1") + "\x41", Utf16LeBytes(u"[CHINESE]\r\nK=1\r\nNEW=\u4E2D\r\n") + "\x41"},
        // Bytes that are not UTF-8 on other lines survive the rewrite untouched.
        {"[CHINESE]\n\xB0\xB4=\xBC\xFC\n", "[CHINESE]\n\xB0\xB4=\xBC\xFC\nNEW=\xE4\xB8\xAD\n"},
    };
    for (const Case& c : cases) {
        const auto path = folder / "language.ini";
        WriteBytes(path, c.original);
        ASSERT_TRUE(WriteIniString(path, "chinese", "NEW", u"\u4E2D").ok());
        EXPECT_EQ(ReadBytes(path), c.expected);
        EXPECT_EQ(ReadIniString(path, "Chinese", "new", u""), u"\u4E2D");
    }

    const IniFile bigEndian = IniFile::FromBytes(std::string("\xFE\xFF\0[\0A\0]\0\n\0K\0=\x4E\x2D", 16));
    EXPECT_EQ(bigEndian.encoding(), IniEncoding::Utf16Be);
    EXPECT_EQ(bigEndian.ReadString("a", "k", u""), u"\u4E2D");
    IniFile edited = bigEndian;
    ASSERT_TRUE(edited.WriteString("A", "N", u"x").ok());
    EXPECT_EQ(edited.ToBytes(), std::string("\xFE\xFF\0[\0A\0]\0\n\0K\0=\x4E\x2D\0\n\0N\0=\0x\0\n", 26));

    const IniFile utf16 = IniFile::FromBytes(Utf16LeBytes(u"[A]\r\nK=\U0001F600 v \r\n"));
    EXPECT_EQ(utf16.encoding(), IniEncoding::Utf16Le);
    EXPECT_EQ(utf16.lineBreak(), u"\r\n");
    EXPECT_EQ(utf16.ReadString("a", "k", u""), u"\U0001F600 v");
}

TEST(IniFile, RejectedWritesLeaveTheFileAlone)
{
    ScratchFolder folder;
    const auto path = folder / "file.ini";
    const std::string original = "[S]\nK=1\n";
    WriteBytes(path, original);
    struct Case {
        const char* section;
        const char* key;
        std::u16string value;
    };
    const Case cases[] = {
        {"S", "K", u"two\nlines"}, {"S", "K", u"cr\r"},
        {"S", "K=V", u"1"},        {"S", " K", u"1"},
        {"S", "", u"1"},           {"S", ";K", u"1"},
        {"S]", "K", u"1"},         {"", "K", u"1"},
        {"S\n", "K", u"1"},        {"S", "K", std::u16string(u"a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(WriteIniString(path, c.section, c.key, c.value).ok()) << c.section << "/" << c.key;
    }
    EXPECT_EQ(ReadBytes(path), original);

    // A read-only file is not replaced behind its owner's back, nor is a folder.
    ::chmod(path.c_str(), 0444);
    if (::access(path.c_str(), W_OK) != 0) { // running as root ignores the mode
        EXPECT_FALSE(WriteIniString(path, "S", "K", u"2").ok());
        EXPECT_EQ(ReadBytes(path), original);
    }
    std::filesystem::create_directory(folder / "dir.ini");
    EXPECT_FALSE(WriteIniString(folder / "dir.ini", "S", "K", u"2").ok());
    EXPECT_EQ(ReadIniString(folder / "dir.ini", "S", "K", u"def"), u"def");
    // No folder, no file: the write fails and creates nothing.
    EXPECT_FALSE(WriteIniString(folder / "missing" / "wskb.ini", "S", "K", u"2").ok());
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
    EXPECT_EQ(ReadIniInt(folder / "missing" / "wskb.ini", "S", "K", 9), 9);
}

TEST(IniFile, SaveReplacesAtomicallyKeepingModeAndLinks)
{
    ScratchFolder folder;
    const auto target = folder / "real.ini";
    const auto link = folder / "link.ini";
    WriteBytes(target, "[S]\nK=1\n");
    ::chmod(target.c_str(), 0640);
    std::filesystem::create_symlink(target, link);

    ASSERT_TRUE(WriteIniString(link, "S", "K", u"2").ok());
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(target), "[S]\nK=2\n");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    // No temporary files left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 2);
}

TEST(IniFile, CrAloneEndsALineAndNewLinesFollowTheFilesBreaks)
{
    struct Case {
        std::string original;
        std::string expected; // after writing C=3 into [S]
    };
    const Case cases[] = {
        {"[S]\rA=1\rB=2\r", "[S]\rA=1\rB=2\rC=3\r"},
        {"[S]\rA=1\r\nB=2\nX", "[S]\rA=1\r\nB=2\nX\rC=3\r"},
        {"[S]\r\nA=1\rB=2", "[S]\r\nA=1\rB=2\r\nC=3\r\n"},
        {Utf16LeBytes(u"[S]\rA=1\rB=2"), Utf16LeBytes(u"[S]\rA=1\rB=2\rC=3\r")},
    };
    for (const Case& c : cases) {
        IniFile file = IniFile::FromBytes(c.original);
        EXPECT_EQ(file.ReadInt("s", "a", 0), 1);
        EXPECT_EQ(file.ReadInt("s", "b", 0), 2);
        ASSERT_TRUE(file.WriteString("S", "C", u"3").ok());
        EXPECT_EQ(file.ToBytes(), c.expected);
    }
}

TEST(IniFile, RemoveKeyAndInMemoryEdits)
{
    struct Case {
        const char* original;
        const char* expected; // after removing B
    };
    const Case cases[] = {
        {"[S]\nA=1\nB=2", "[S]\nA=1\n"},
        {"[S]\r\nA=1\r\nB=2\r\n", "[S]\r\nA=1\r\n"},
        {"[S]\nB=2\nA=1", "[S]\nA=1"},
    };
    for (const Case& c : cases) {
        IniFile file = IniFile::FromBytes(c.original);
        EXPECT_TRUE(file.RemoveKey("s", "b"));
        EXPECT_FALSE(file.RemoveKey("s", "b"));
        EXPECT_EQ(file.ToBytes(), c.expected);
    }
    IniFile file = IniFile::FromBytes("[S]\nA=1\nB=2");
    ASSERT_TRUE(file.RemoveKey("S", "B"));
    ASSERT_TRUE(file.WriteString("S", "C", u"3").ok());
    EXPECT_EQ(file.ToBytes(), "[S]\nA=1\nC=3\n");
    EXPECT_EQ(file.ReadInt("S", "C", 0), 3);
}

// Per-call reads come from a parsed copy of the file; every way the file can
// change under it must still show at the next read.
TEST(IniFile, PerCallReadsSeeEveryChangeOfTheFile)
{
    ScratchFolder folder;
    const auto path = folder / "skin.ini";
    struct Change {
        const char* what;
        std::function<void()> change;
        std::u16string expected;
        bool sameTick = false; // can share the old version's timestamps: caught only while unsettled
    };
    const std::vector<Change> changes = {
        {"rewritten in place, same size", [&] { WriteBytes(path, "[Skin]\nKey=bbb\n"); }, u"bbb", true},
        {"rewritten in place, longer", [&] { WriteBytes(path, "[Skin]\nKey=cccc\n"); }, u"cccc"},
        {"replaced by a rename, same size",
         [&] {
             WriteBytes(folder / "next.ini", "[Skin]\nKey=dddd\n");
             std::filesystem::rename(folder / "next.ini", path);
         },
         u"dddd"},
        {"written here", [&] { ASSERT_TRUE(WriteIniString(path, "skin", "KEY", u"e").ok()); }, u"e"},
        {"removed", [&] { std::filesystem::remove(path); }, u"default"},
    };
    for (const bool settled : {false, true}) {
        // Settled: files older than the settle time are trusted while their stamp is unchanged.
        SetIniSettleTime(settled ? std::chrono::milliseconds(0) : kIniSettleTime);
        WriteBytes(path, "[Skin]\nKey=aaa\n");
        EXPECT_EQ(ReadIniString(path, "SKIN", "key", u"default"), u"aaa");
        for (const Change& c : changes) {
            if (settled && c.sameTick) continue;
            c.change();
            EXPECT_EQ(ReadIniString(path, "skin", "KEY", u"default"), c.expected) << c.what << ", settled " << settled;
            EXPECT_EQ(ReadIniString(path, "Skin", "absent", u"default"), u"default") << c.what;
        }
    }
    SetIniSettleTime(kIniSettleTime);

    // A write that creates its section and key is read back, with any case of the names.
    ASSERT_TRUE(WriteIniString(path, "New", "Made", u"7").ok());
    EXPECT_EQ(ReadIniInt(path, "NEW", "made", 0), 7);
    EXPECT_EQ(ReadIniInt(path, "new", "other", -1), -1);
    const auto shared = LoadSharedIni(path);
    ASSERT_TRUE(shared.ok());
    EXPECT_EQ((*shared)->ReadString("nEw", "MADE", u""), u"7");
}

TEST(IniFile, ConcurrentWritersKeepEachOthersValues)
{
    ScratchFolder folder;
    const auto path = folder / "shared.ini";
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                const std::string key = "K" + std::to_string(t) + "_" + std::to_string(i);
                EXPECT_TRUE(WriteIniString(path, "S", key, u"x").ok());
            }
        });
    }
    for (auto& writer : writers) writer.join();
    const auto file = IniFile::Load(path);
    ASSERT_TRUE(file.ok());
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 10; ++i) {
            EXPECT_TRUE(file->Find("S", "K" + std::to_string(t) + "_" + std::to_string(i)).has_value());
        }
    }
}

} // namespace
} // namespace kestrune
