#include "config/ProfileFileCheck.h"

#include "config/ConfigHeader.h"

#include "ConfigTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

namespace kestrune {
namespace {

using testing::RecordingReporter;
using testing::ScratchFolder;
using testing::WriteAll;

// A file image with a correct header for the given parts; key maps, macros
// and strings are zero.
std::vector<std::uint8_t> ProfileImage(std::uint16_t macros, std::uint32_t strings, std::uint8_t flag = 0)
{
    std::vector<std::uint8_t> bytes(ProfileTotalSize(macros, strings), 0);
    ConfigHeader header;
    BuildHeader(header, macros, strings, flag);
    EncodeConfigHeader(header, std::span<std::uint8_t, kConfigHeaderSize>(bytes.data(), kConfigHeaderSize));
    const DeviceBlock device = DefaultDeviceBlock();
    std::copy(device.begin(), device.end(), bytes.begin() + kConfigHeaderSize);
    return bytes;
}

void FixChecksum(std::vector<std::uint8_t>& bytes)
{
    bytes[kHdrChecksum] = HeaderChecksum(std::span<const std::uint8_t, kConfigHeaderSize>(bytes.data(), 32));
}

TEST(ValidateProfileFile, JudgesFilesByHeaderAndSize)
{
    struct Case {
        const char* name;
        std::function<std::vector<std::uint8_t>()> make;
        int expected;
        bool message;
    };
    const Case cases[] = {
        {"default block", [] { return ProfileImage(0, 0); }, kProfileFileValid, false},
        {"one byte short of a block",
         [] {
             auto b = ProfileImage(0, 0);
             b.pop_back();
             return b;
         },
         kProfileFileRejected, false},
        {"flag 1", [] { return ProfileImage(0, 0, 1); }, kProfileFileValid, false},
        {"flag 2", [] { return ProfileImage(0, 0, 2); }, kProfileFileRejected, true},
        {"macros and strings", [] { return ProfileImage(3, 10); }, kProfileFileValid, false},
        {"101 macros with agreeing sizes", [] { return ProfileImage(101, 0); }, kProfileFileRejected, true},
        {"shorter than its header says",
         [] {
             auto b = ProfileImage(1, 8);
             b.resize(b.size() - 1);
             return b;
         },
         kProfileFileRejected, true},
        {"longer than its header says",
         [] {
             auto b = ProfileImage(0, 4);
             b.resize(b.size() + 1000, 0xEE);
             return b;
         },
         kProfileFileValid, false},
        {"total size disagrees with the parts",
         [] {
             auto b = ProfileImage(0, 4);
             b[kHdrTotalSize] = static_cast<std::uint8_t>(b[kHdrTotalSize] + 2);
             b.resize(b.size() + 2);
             FixChecksum(b);
             return b;
         },
         kProfileFileRejected, true},
        {"version 2 with a fixed checksum",
         [] {
             auto b = ProfileImage(0, 0);
             b[kHdrVersion] = 2;
             FixChecksum(b);
             return b;
         },
         kProfileFileRejected, true},
        {"device block and key map changed",
         [] {
             auto b = ProfileImage(0, 0);
             b[kConfigHeaderSize + 3] ^= 0xFF;
             b[kKeyMapsOffset + 8192 * 3 + 100] = 0x42;
             return b;
         },
         kProfileFileValid, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder;
        const auto path = folder / "p.kpf";
        WriteAll(path, c.make());
        RecordingReporter reporter;
        EXPECT_EQ(ValidateProfileFile(path, reporter), c.expected);
        ASSERT_EQ(reporter.Messages().size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(reporter.Messages()[0].key, "PROFILE_FORMAT_ERROR");
            EXPECT_EQ(reporter.Messages()[0].args, std::vector<std::string>{path.string()});
        }
    }
}

TEST(ValidateProfileFile, AnyChangedHeaderByteIsCaughtByTheChecksum)
{
    ScratchFolder folder;
    const auto path = folder / "p.kpf";
    for (std::size_t i = 0; i < kHdrChecksum; ++i) {
        SCOPED_TRACE(i);
        auto bytes = ProfileImage(0, 0);
        bytes[i] = static_cast<std::uint8_t>(bytes[i] + 1);
        WriteAll(path, bytes);
        RecordingReporter reporter;
        EXPECT_EQ(ValidateProfileFile(path, reporter), kProfileFileRejected);
        EXPECT_EQ(reporter.Messages().size(), 1u);
    }
}

TEST(ValidateProfileFile, NoFileIsRejectedSilently)
{
    ScratchFolder folder;
    RecordingReporter reporter;
    EXPECT_EQ(ValidateProfileFile(folder / "absent.kpf", reporter), kProfileFileRejected);
    EXPECT_EQ(ValidateProfileFile(folder.Path(), reporter), kProfileFileRejected);
    EXPECT_TRUE(reporter.Messages().empty());
}

} // namespace
} // namespace kestrune
