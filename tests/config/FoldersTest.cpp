#include "config/Folders.h"
#include "SettingsTestSupport.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using testing::EnvOverride;
using testing::ScratchFolder;
using testing::WriteBytes;

TEST(Folders, ProgramFolderIsTheFolderOfTheRunningProgramUnlessOverridden)
{
    const auto real = ProgramFolder();
    EXPECT_TRUE(std::filesystem::exists(real / "test_config"));
    SetProgramFolder("/opt/elsewhere");
    EXPECT_EQ(SkinFolder(), std::filesystem::path("/opt/elsewhere/Skins"));
    EXPECT_EQ(HelpFolder(), std::filesystem::path("/opt/elsewhere/Help"));
    SetProgramFolder(std::nullopt);
    EXPECT_EQ(ProgramFolder(), real);
}

TEST(Folders, DocumentsFolderFollowsUserDirs)
{
    ScratchFolder home;
    std::filesystem::create_directories(home / "cfg");
    EnvOverride homeEnv("HOME", home.Path().string());
    EnvOverride configEnv("XDG_CONFIG_HOME", (home / "cfg").string());

    struct Case {
        const char* file; // nullptr: no user-dirs.dirs at all
        std::filesystem::path expected;
    };
    const Case cases[] = {
        {nullptr, home / "Documents"},
        {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOCUMENTS_DIR=\"$HOME/Papiere\"\n", home / "Papiere"},
        {"XDG_DOCUMENTS_DIR=\"/srv/docs\"\r\n", "/srv/docs"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/\"\n", home.Path()},
        {"XDG_DOCUMENTS_DIR=\"$HOME/My\\\"Docs\"\n", home / "My\"Docs"},
        // Relative and unquoted values are not usable folders.
        {"XDG_DOCUMENTS_DIR=\"docs\"\n", home / "Documents"},
        {"XDG_DOCUMENTS_DIR=$HOME/Docs\n", home / "Documents"},
        {"XDG_DOCUMENTS_DIRX=\"/x\"\n", home / "Documents"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(home / "cfg" / "user-dirs.dirs");
        if (c.file != nullptr) WriteBytes(home / "cfg" / "user-dirs.dirs", c.file);
        EXPECT_EQ(DocumentsFolder(), c.expected) << (c.file ? c.file : "(no file)");
    }
    // The system would stop reading the path at the NUL, in another folder.
    using namespace std::string_view_literals;
    EXPECT_EQ(DocumentsFolderFromUserDirs("XDG_DOCUMENTS_DIR=\"/srv/a\0b\"\n"sv, "/home/u"), std::nullopt);
    EXPECT_EQ(DocumentsFolderFromUserDirs("XDG_DOCUMENTS_DIR=\"$HOME/a\\\0\"\n"sv, "/home/u"), std::nullopt);
}

TEST(Folders, ProfileFolderIsCreatedSettingsPathIsNot)
{
    ScratchFolder home;
    EnvOverride homeEnv("HOME", home.Path().string());
    EnvOverride configEnv("XDG_CONFIG_HOME", std::nullopt);
    const auto folder = home / "Documents" / "Mechanical Keyboard";

    EXPECT_EQ(SettingsFilePath(), folder / "wskb.ini");
    EXPECT_FALSE(std::filesystem::exists(folder));

    auto working = WorkingProfilePath();
    ASSERT_TRUE(working.ok()) << working.error();
    EXPECT_EQ(*working, folder / "$Profile0");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(UserSettingsPath(), home / ".config" / "Kestrune_Orvanta" / "test_config.ini");
}

TEST(Folders, ProfileFolderBlockedByAFileIsAnError)
{
    ScratchFolder home;
    EnvOverride homeEnv("HOME", home.Path().string());
    EnvOverride configEnv("XDG_CONFIG_HOME", std::nullopt);
    std::filesystem::create_directories(home / "Documents");
    WriteBytes(home / "Documents" / "Mechanical Keyboard", "not a folder");

    auto folder = ProfileFolder();
    ASSERT_FALSE(folder.ok());
    EXPECT_NE(folder.error().find("Mechanical Keyboard"), std::string::npos);
    EXPECT_FALSE(WorkingProfilePath().ok());
}

} // namespace
} // namespace kestrune
