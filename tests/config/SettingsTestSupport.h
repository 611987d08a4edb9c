#pragma once

// File helpers for the configuration tests, with the shared scratch folder
// and environment override.

#include "support/EnvOverride.h"
#include "support/ScratchFolder.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kestrune::testing {

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A UTF-16LE file image with its byte-order mark, from ASCII-or-UTF-16 text.
inline std::string Utf16LeBytes(const std::u16string& text)
{
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

} // namespace kestrune::testing
