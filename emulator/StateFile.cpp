#include "emulator/StateFile.h"

#include "config/ConfigAtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include <sys/stat.h>

namespace kestrune::emulator {

namespace {

constexpr std::size_t kMaxStateFileSize = 1 << 20; // a valid state is some 20 KB

std::filesystem::path FromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? std::filesystem::path(value) : std::filesystem::path();
}

Status CreatePrivateFolders(const std::filesystem::path& folder)
{
    if (folder.empty()) return {};
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec)) return {};
    if (auto parent = CreatePrivateFolders(folder.parent_path()); !parent) return parent;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return Error{"cannot create the folder " + folder.string() + ": " + std::strerror(errno)};
    return {};
}

} // namespace

std::filesystem::path DefaultStateFilePath()
{
    if (auto path = FromEnvironment(kStateFileVariable); !path.empty()) return path;
    std::filesystem::path base = FromEnvironment("XDG_STATE_HOME");
    if (base.empty() || base.is_relative()) base = FromEnvironment("HOME") / ".local" / "state";
    return base / "kestrune" / "emulator.json";
}

Result<std::optional<KeyboardState>> ReadStateFile(const std::filesystem::path& path)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) return std::optional<KeyboardState>{};
    if (ec) return Error{"cannot read the emulator state file " + path.string() + ": " + ec.message()};
    if (status.type() != std::filesystem::file_type::regular)
        return Error{"the emulator state file " + path.string() + " is not a regular file"};
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return Error{"cannot read the emulator state file " + path.string() + ": " + ec.message()};
    if (size > kMaxStateFileSize)
        return Error{"the emulator state file " + path.string() + " has " + std::to_string(size) +
                     " bytes, expected at most " + std::to_string(kMaxStateFileSize)};
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in && !in.eof()) return Error{"cannot read the emulator state file " + path.string()};
    auto state = KeyboardStateFromJson(text.str());
    if (!state) return Error{"the emulator state file " + path.string() + " is malformed: " + state.error()};
    return std::optional<KeyboardState>(std::move(*state));
}

Status SaveStateFile(const std::filesystem::path& path, const KeyboardState& state)
{
    if (auto folders = CreatePrivateFolders(path.parent_path()); !folders) return folders;
    const std::string text = KeyboardStateToJson(state);
    return WriteFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

OpenedState OpenStateFile(const std::filesystem::path& path)
{
    auto read = ReadStateFile(path);
    if (!read)
        return {FactoryKeyboardState(), false, read.error() + "; running on factory values, the file is left as it is"};
    if (*read) return {std::move(**read), true, {}};
    OpenedState opened{FactoryKeyboardState(), true, {}};
    if (auto saved = SaveStateFile(path, opened.state); !saved)
        opened.problem = "cannot create the emulator state file: " + saved.error();
    return opened;
}

} // namespace kestrune::emulator
