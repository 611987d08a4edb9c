#include "config/ProfileFileCheck.h"

#include <array>
#include <fstream>
#include <system_error>

namespace kestrune {

namespace {

inline constexpr std::uint64_t kMaxProfileFileSize = 0xFFFFFFFFull; // the total size is a u32

} // namespace

bool ProfileHeaderAccepted(std::span<const std::uint8_t, kConfigHeaderSize> bytes, std::uint64_t fileSize)
{
    if (fileSize > kMaxProfileFileSize || fileSize < kConfigBlockSize) return false;
    const ConfigHeader h = DecodeConfigHeader(bytes);
    return h.magic == kConfigMagic && h.headerSize == kConfigHeaderSize && h.version == kConfigVersion &&
           h.one == kConfigHeaderOne && h.totalSize >= kConfigBlockSize && h.slotCount == kConfigKeySlotCount &&
           h.macroCount <= kMaxMacros && h.flag <= kConfigFlagMaxAccepted &&
           h.totalSize == ProfileTotalSize(h.macroCount, h.stringBytes) && h.checksum == HeaderChecksum(bytes) &&
           fileSize >= h.totalSize;
}

OpenedProfileFile OpenProfileFile(const std::filesystem::path& path, Reporter& reporter)
{
    OpenedProfileFile opened; // rejected until shown otherwise
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return opened;
    opened.file.open(path, std::ios::binary);
    opened.size = opened.file ? std::filesystem::file_size(path, ec) : 0;
    if (!opened.file || ec) {
        opened.verdict = kProfileFileCannotOpen;
        return opened;
    }
    if (opened.size > kMaxProfileFileSize || opened.size < kConfigBlockSize) return opened;
    if (!opened.file.read(reinterpret_cast<char*>(opened.header.data()), opened.header.size())) {
        opened.verdict = kProfileFileCannotOpen;
        return opened;
    }
    if (!ProfileHeaderAccepted(opened.header, opened.size)) {
        reporter.Inform(UserMessage{kProfileFormatErrorKey, {path.string()}});
        return opened;
    }
    opened.verdict = kProfileFileValid;
    return opened;
}

int ValidateProfileFile(const std::filesystem::path& path, Reporter& reporter)
{
    return OpenProfileFile(path, reporter).verdict;
}

} // namespace kestrune
