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

int ValidateProfileFile(const std::filesystem::path& path, Reporter& reporter)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return kProfileFileRejected;
    std::ifstream file(path, std::ios::binary);
    if (!file) return kProfileFileCannotOpen;
    const std::uint64_t size = std::filesystem::file_size(path, ec);
    if (ec) return kProfileFileCannotOpen;
    if (size > kMaxProfileFileSize || size < kConfigBlockSize) return kProfileFileRejected;

    std::array<std::uint8_t, kConfigHeaderSize> header{};
    if (!file.read(reinterpret_cast<char*>(header.data()), header.size())) return kProfileFileCannotOpen;
    if (ProfileHeaderAccepted(header, size)) return kProfileFileValid;
    reporter.Inform(UserMessage{kProfileFormatErrorKey, {path.string()}});
    return kProfileFileRejected;
}

} // namespace kestrune
