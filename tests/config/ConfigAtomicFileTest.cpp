#include "config/ConfigAtomicFile.h"

#include "ConfigTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrune {
namespace {

using testing::FolderEntries;
using testing::ReadAll;
using testing::ScratchFolder;
using testing::WriteAll;

TEST(WriteFileAtomically, ReplacesTheFileAndLeavesNothingElse)
{
    ScratchFolder folder;
    const auto target = folder / "a.kpf";
    WriteAll(target, std::vector<std::uint8_t>(5000, 0x11));
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);

    const std::vector<std::uint8_t> replacement(12, 0x22);
    ASSERT_TRUE(WriteFileAtomically(target, replacement));
    EXPECT_EQ(ReadAll(target), replacement);
    EXPECT_EQ(FolderEntries(folder.path()), std::vector<std::string>{"a.kpf"});
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    // A link stays a link; the file it names gets the content.
    const auto link = folder / "link.kpf";
    std::filesystem::create_symlink(target, link);
    ASSERT_TRUE(WriteFileAtomically(link, std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadAll(target), (std::vector<std::uint8_t>{1, 2, 3}));

    const Status missingFolder = WriteFileAtomically(folder / "absent" / "b.kpf", replacement);
    ASSERT_FALSE(missingFolder);
    EXPECT_NE(missingFolder.error().find("absent"), std::string::npos);
}

TEST(WriteFileAtomically, AnInterruptedWriteKeepsTheOldFile)
{
    const AtomicWriteStage stages[] = {AtomicWriteStage::TemporaryCreated, AtomicWriteStage::DataWritten,
                                       AtomicWriteStage::DataFlushed};
    for (const AtomicWriteStage stop : stages) {
        SCOPED_TRACE(static_cast<int>(stop));
        ScratchFolder folder;
        const auto target = folder / "$Profile0";
        const std::vector<std::uint8_t> old(40000, 0x5A);
        WriteAll(target, old);

        AtomicWriteHooks hooks;
        hooks.proceed = [stop](AtomicWriteStage stage) { return stage != stop; };
        EXPECT_FALSE(WriteFileAtomically(target, std::vector<std::uint8_t>(100, 0), hooks));
        EXPECT_EQ(ReadAll(target), old);
        EXPECT_EQ(FolderEntries(folder.path()), std::vector<std::string>{"$Profile0"});
    }
}

// A real kill at an arbitrary moment: the file is always one whole version.
TEST(WriteFileAtomically, AKilledWriterLeavesOneWholeVersion)
{
    ScratchFolder folder;
    const auto target = folder / "killed.kpf";
    const std::vector<std::uint8_t> first(70000, 0xAA);
    const std::vector<std::uint8_t> second(150000, 0xBB);
    WriteAll(target, first);

    std::mt19937 random(12345);
    for (int round = 0; round < 12; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (unsigned i = 0;; ++i) (void)WriteFileAtomically(target, (i % 2) ? first : second);
        }
        ::usleep(std::uniform_int_distribution<unsigned>(0, 30000)(random));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        const auto now = ReadAll(target);
        ASSERT_TRUE(now == first || now == second) << "round " << round << ": " << now.size() << " bytes";
    }
}

} // namespace
} // namespace kestrune
