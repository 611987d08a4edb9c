#pragma once

// Checking a profile file before it replaces the configuration. Only the
// header and the file's size are looked at; the reader checks the rest as it
// loads.

#include "common/Reporter.h"
#include "config/ConfigHeader.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>

namespace kestrune {

inline constexpr int kProfileFileValid = 1;
inline constexpr int kProfileFileRejected = 0; // missing, too small or too large, or a bad header
inline constexpr int kProfileFileCannotOpen = -2;

inline constexpr const char* kProfileFormatErrorKey = "PROFILE_FORMAT_ERROR"; // argument: the path

// Gives one of the values above; callers treat only values above 0 as valid.
// A file that is missing, shorter than a configuration block or 4 GiB or
// larger is rejected without a word. A file whose header is wrong, or which
// is shorter than the size its header announces, is rejected after telling
// the user through the reporter. Bytes beyond the announced size are ignored.
int ValidateProfileFile(const std::filesystem::path& path, Reporter& reporter);

// ValidateProfileFile's check that keeps the file open: when the verdict is
// valid, `file` stands just after the header, so a reader goes on from there
// instead of opening the file again.
struct OpenedProfileFile {
    int verdict = kProfileFileRejected;
    std::ifstream file;
    std::uint64_t size = 0;
    std::array<std::uint8_t, kConfigHeaderSize> header{};
};
OpenedProfileFile OpenProfileFile(const std::filesystem::path& path, Reporter& reporter);

// The same check of a header already read from a file of fileSize bytes: true
// when ValidateProfileFile would find the file valid.
bool ProfileHeaderAccepted(std::span<const std::uint8_t, kConfigHeaderSize> header, std::uint64_t fileSize);

} // namespace kestrune
