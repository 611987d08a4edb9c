#pragma once

// File helpers for the emulator tests, with the shared scratch folder and
// environment override.

#include "support/EnvOverride.h"
#include "support/ScratchFolder.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kestrune::emulator::testing {

using kestrune::testing::EnvOverride;
using kestrune::testing::ScratchFolder;

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
