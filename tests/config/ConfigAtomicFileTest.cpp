#include "config/ConfigAtomicFile.h"

#include "ConfigTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
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
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"a.kpf"});
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

TEST(FileHolds, OnlyTheExactBytesOfAReadableFileCount)
{
    ScratchFolder folder;
    const std::vector<std::uint8_t> bytes(20000, 0x5A); // more than one read's chunk
    std::vector<std::uint8_t> lastDiffers = bytes;
    lastDiffers.back() = 0x5B;
    WriteAll(folder / "same", bytes);
    WriteAll(folder / "longer", std::vector<std::uint8_t>(bytes.size() + 1, 0x5A));
    WriteAll(folder / "last", lastDiffers);
    WriteAll(folder / "empty", {});
    std::filesystem::create_symlink(folder / "same", folder / "link");
    std::filesystem::create_directory(folder / "folder");
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool holds;
    } cases[] = {
        {"same", bytes, true}, {"link", bytes, true},   {"longer", bytes, false},  {"last", bytes, false},
        {"empty", {}, true},   {"empty", bytes, false}, {"missing", bytes, false}, {"folder", {}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(FileHolds(folder / c.name, c.bytes), c.holds) << c.name;
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
        EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"$Profile0"});
    }
}

TEST(StageFileAtomically, TheReplacementTakesThePlaceOnlyWhenCommitted)
{
    ScratchFolder folder;
    const auto target = folder / "$Profile0";
    const std::vector<std::uint8_t> old(40000, 0x5A);
    const std::vector<std::uint8_t> replacement(30000, 0xC3);
    WriteAll(target, old);

    {
        Result<StagedFile> dropped = StageFileAtomically(target, replacement);
        ASSERT_TRUE(dropped) << dropped.error();
        EXPECT_EQ(ReadAll(target), old);
        EXPECT_EQ(FolderEntries(folder.Path()).size(), 2u) << "the replacement waits beside the file";
        // Handed on, as a result travels from the thread that wrote it.
        StagedFile moved = std::move(*dropped);
    }
    EXPECT_EQ(ReadAll(target), old);
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"$Profile0"});

    Result<StagedFile> kept = StageFileAtomically(target, replacement);
    ASSERT_TRUE(kept) << kept.error();
    ASSERT_TRUE(kept->Commit());
    EXPECT_EQ(ReadAll(target), replacement);
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"$Profile0"});
    EXPECT_FALSE(kept->Commit()) << "a replacement is put in place once";
    EXPECT_EQ(ReadAll(target), replacement);
}

TEST(WriteFileAtomically, TakesEveryLegalNameLength)
{
    ScratchFolder folder;
    // 'e' with an accent is two bytes, so some cuts fall inside it.
    const std::string accented = "\xC3\xA9";
    const std::string names[] = {std::string(242, 'n'), std::string(243, 'n'), std::string(255, 'n'), "a" + [&] {
                                     std::string s;
                                     for (int i = 0; i < 127; ++i) s += accented;
                                     return s;
                                 }()};
    for (const std::string& name : names) {
        SCOPED_TRACE(name.size());
        const std::vector<std::uint8_t> bytes(300, static_cast<std::uint8_t>(name.size()));
        const Status written = WriteFileAtomically(folder / name, bytes);
        ASSERT_TRUE(written) << written.error();
        EXPECT_EQ(ReadAll(folder / name), bytes);
        EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{name});
        std::filesystem::remove(folder / name);
    }
}

pid_t FinishedProcess()
{
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

TEST(WriteFileAtomically, RemovesOnlyTheStaleTemporariesOfKilledWrites)
{
    ScratchFolder folder;
    const std::string gone = std::to_string(FinishedProcess());
    const std::string alive = std::to_string(::getppid());
    struct Case {
        std::string name;
        bool removed;
    };
    const Case cases[] = {
        {".$Profile0." + gone + ".0.kestrune.tmp", true},
        {".other.kpf." + gone + ".17.kestrune.tmp", true},
        {".." + gone + ".1.kestrune.tmp", true}, // a name cut to nothing
        {".$Profile0." + alive + ".0.kestrune.tmp", false},
        {".$Profile0." + std::to_string(::getpid()) + ".99.kestrune.tmp", false},
        {".$Profile0." + gone + ".0.tmp", false},
        {"$Profile0." + gone + ".0.kestrune.tmp", false},
        {".$Profile0." + gone + ".x.kestrune.tmp", false},
        {".$Profile0.-" + gone + ".0.kestrune.tmp", false},
        {".$Profile0." + gone + ".kestrune.tmp", false},
    };
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5);
    for (const Case& c : cases) {
        WriteAll(folder / c.name, {1, 2, 3});
        std::filesystem::last_write_time(folder / c.name, old);
    }
    // Newer than the write that finds it: a write of another machine on a shared folder.
    const std::string newer = ".$Profile0." + gone + ".1.kestrune.tmp";
    WriteAll(folder / newer, {1});
    std::filesystem::last_write_time(folder / newer, old + std::chrono::hours(1));
    const std::string folderNamed = ".$Profile0." + gone + ".2.kestrune.tmp";
    std::filesystem::create_directory(folder / folderNamed);

    ASSERT_TRUE(WriteFileAtomically(folder / "$Profile0", std::vector<std::uint8_t>{9}));
    for (const Case& c : cases) EXPECT_EQ(std::filesystem::exists(folder / c.name), !c.removed) << c.name;
    EXPECT_TRUE(std::filesystem::exists(folder / newer));
    EXPECT_TRUE(std::filesystem::is_directory(folder / folderNamed));
    EXPECT_EQ(ReadAll(folder / "$Profile0"), std::vector<std::uint8_t>{9});
}

TEST(WriteFileAtomically, AFullDiskOrAFailingFlushKeepsTheOldFileAndSaysWhy)
{
    struct Case {
        const char* name;
        AtomicWriteHooks hooks;
        const char* reason;
    };
    AtomicWriteHooks fullDisk;
    // Half the bytes go in, then the disk is full.
    fullDisk.write = [](int fd, const void* data, std::size_t size) -> long {
        static thread_local bool first = true;
        if (first) {
            first = false;
            return ::write(fd, data, size / 2);
        }
        first = true;
        errno = ENOSPC;
        return -1;
    };
    AtomicWriteHooks failingFlush;
    failingFlush.fsync = [](int) {
        errno = EIO;
        return -1;
    };
    const Case cases[] = {{"full disk", fullDisk, "No space left on device"},
                          {"failing flush", failingFlush, "Input/output error"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder;
        const auto target = folder / "$Profile0";
        const std::vector<std::uint8_t> old(40000, 0x5A);
        WriteAll(target, old);
        const Status written = WriteFileAtomically(target, std::vector<std::uint8_t>(50000, 1), c.hooks);
        ASSERT_FALSE(written);
        EXPECT_NE(written.error().find(c.reason), std::string::npos) << written.error();
        EXPECT_NE(written.error().find("$Profile0"), std::string::npos) << written.error();
        EXPECT_EQ(ReadAll(target), old);
        EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"$Profile0"});
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
