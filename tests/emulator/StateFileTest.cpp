#include "emulator/StateFile.h"

#include "EmulatorTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace kestrune::emulator {
namespace {

using testing::ReadText;
using testing::EnvOverride;
using testing::ScratchFolder;
using testing::WriteText;

TEST(StateFile, MissingFileIsCreatedWithFactoryValuesInAPrivateFolder)
{
    ScratchFolder scratch;
    const auto path = scratch / "state" / "kestrune" / "emulator.json";
    const OpenedState opened = OpenStateFile(path);
    EXPECT_TRUE(opened.writable);
    EXPECT_EQ(opened.problem, "");
    EXPECT_EQ(opened.state, FactoryKeyboardState());
    const auto read = ReadStateFile(path);
    ASSERT_TRUE(read) << read.error();
    ASSERT_TRUE(read->has_value());
    EXPECT_EQ(**read, FactoryKeyboardState());
    struct stat info {};
    ASSERT_EQ(::stat(path.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(StateFile, UnusableFileIsReportedAndLeftAsItIs)
{
    ScratchFolder scratch;
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"not JSON", "{ this is not json"},
        {"wrong field", "{\"settings\": \"00\"}"},
        {"empty", ""},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        const auto path = scratch / "emulator.json";
        WriteText(path, text);
        const OpenedState opened = OpenStateFile(path);
        EXPECT_FALSE(opened.writable);
        EXPECT_NE(opened.problem.find(path.string()), std::string::npos) << opened.problem;
        EXPECT_NE(opened.problem.find("malformed"), std::string::npos) << opened.problem;
        EXPECT_EQ(opened.state, FactoryKeyboardState());
        EXPECT_EQ(ReadText(path), text);
    }
    const OpenedState folder = OpenStateFile(scratch.Path());
    EXPECT_FALSE(folder.writable);
    EXPECT_NE(folder.problem.find("not a regular file"), std::string::npos) << folder.problem;
}

TEST(StateFile, SavedStateIsReadBack)
{
    ScratchFolder scratch;
    const auto path = scratch / "emulator.json";
    KeyboardState state = FactoryKeyboardState();
    state.keyTables[2][5] = 0x42;
    state.attached = false;
    ASSERT_TRUE(SaveStateFile(path, state));
    state.lighting[1] = 4;
    ASSERT_TRUE(SaveStateFile(path, state));
    const auto opened = OpenStateFile(path);
    EXPECT_TRUE(opened.writable);
    EXPECT_EQ(opened.state, state);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.Path()), {}), 1) << "no temporary file left";
}

TEST(StateFile, PathComesFromTheEnvironment)
{
    {
        EnvOverride state("KESTRUNE_EMULATOR_STATE", "/somewhere/else.json");
        EXPECT_EQ(DefaultStateFilePath(), "/somewhere/else.json");
    }
    EnvOverride state("KESTRUNE_EMULATOR_STATE", "");
    {
        EnvOverride xdg("XDG_STATE_HOME", "/xdg/state");
        EXPECT_EQ(DefaultStateFilePath(), "/xdg/state/kestrune/emulator.json");
    }
    EnvOverride xdg("XDG_STATE_HOME", "");
    EnvOverride home("HOME", "/home/someone");
    EXPECT_EQ(DefaultStateFilePath(), "/home/someone/.local/state/kestrune/emulator.json");
}

} // namespace
} // namespace kestrune::emulator
