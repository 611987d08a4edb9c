#pragma once

// Scratch folders and environment overrides for the configuration tests.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>

namespace kestrune::testing {

class ScratchFolder {
public:
    ScratchFolder()
    {
        std::random_device random;
        m_path = std::filesystem::temp_directory_path() / ("kestrune-config-" + std::to_string(random()));
        std::filesystem::create_directories(m_path);
    }
    ~ScratchFolder()
    {
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Sets (or, with nullopt, removes) an environment variable for the lifetime of the object.
class EnvOverride {
public:
    EnvOverride(const char* name, std::optional<std::string> value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvOverride()
    {
        if (m_old) {
            setenv(m_name.c_str(), m_old->c_str(), 1);
        } else {
            unsetenv(m_name.c_str());
        }
    }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

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
