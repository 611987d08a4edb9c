#pragma once

// Scratch folders and environment for the emulator tests. Paths stay short:
// a control socket's path must fit in 107 bytes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace kestrune::emulator::testing {

class ScratchFolder {
public:
    ScratchFolder()
    {
        std::string pattern = "/tmp/kemu-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch folder");
        m_path = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Sets an environment variable for the life of the object and restores it.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value) : m_name(std::move(name))
    {
        if (const char* old = std::getenv(m_name.c_str())) m_old = old;
        ::setenv(m_name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment()
    {
        if (m_old)
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

inline std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace kestrune::emulator::testing
