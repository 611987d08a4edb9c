#include "config/Folders.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <pwd.h>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace kestrune {

namespace fs = std::filesystem;

namespace {

constexpr const char* kProfileFolderName = "Mechanical Keyboard";
constexpr const char* kWorkingProfileName = "$Profile0";
constexpr const char* kSettingsFileName = "wskb.ini";
constexpr const char* kUserSettingsBranch = "Kestrune_Orvanta";

std::mutex g_programFolderMutex;
std::optional<fs::path> g_programFolderOverride;

fs::path ProgramFile()
{
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe;
}

fs::path HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
    return "/";
}

fs::path ConfigHome()
{
    // Relative values are invalid by the base-directory rules and are ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') return config;
    return HomeFolder() / ".config";
}

// The value of one "NAME=..." line of user-dirs.dirs: a double-quoted text that
// is either an absolute path or "$HOME" followed by a path. Anything else is
// not a usable folder; nor is a path with a NUL in it, which the system
// would cut short to another folder.
std::optional<fs::path> ParseUserDir(std::string_view value, const fs::path& home)
{
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
        value.remove_suffix(1);
    }
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::nullopt;
    value = value.substr(1, value.size() - 2);
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        text.push_back(value[i]);
    }
    if (text.find('\0') != std::string::npos) return std::nullopt;
    constexpr std::string_view kHome = "$HOME";
    if (text.starts_with(kHome) && (text.size() == kHome.size() || text[kHome.size()] == '/')) {
        std::string rest = text.substr(kHome.size());
        while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
        return rest.empty() ? home : home / rest;
    }
    if (!text.empty() && text.front() == '/') return fs::path(text);
    return std::nullopt;
}

std::optional<fs::path> UserDirsDocuments()
{
    std::ifstream in(ConfigHome() / "user-dirs.dirs", std::ios::binary);
    if (!in) return std::nullopt;
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return DocumentsFolderFromUserDirs(text, HomeFolder());
}

} // namespace

std::optional<fs::path> DocumentsFolderFromUserDirs(std::string_view text, const fs::path& home)
{
    constexpr std::string_view kName = "XDG_DOCUMENTS_DIR";
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view view = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        while (!view.empty() && (view.front() == ' ' || view.front() == '\t')) view.remove_prefix(1);
        if (!view.starts_with(kName)) continue;
        view.remove_prefix(kName.size());
        if (view.empty() || view.front() != '=') continue;
        return ParseUserDir(view.substr(1), home);
    }
    return std::nullopt;
}

fs::path ProgramFolder()
{
    {
        std::lock_guard lock(g_programFolderMutex);
        if (g_programFolderOverride) return *g_programFolderOverride;
    }
    return ProgramFile().parent_path();
}

void SetProgramFolder(std::optional<fs::path> folder)
{
    std::lock_guard lock(g_programFolderMutex);
    g_programFolderOverride = std::move(folder);
}

fs::path SkinFolder()
{
    return ProgramFolder() / "Skins";
}

fs::path HelpFolder()
{
    return ProgramFolder() / "Help";
}

fs::path PackageFolder()
{
    return ProgramFolder() / "Package";
}

fs::path DocumentsFolder()
{
    if (auto documents = UserDirsDocuments()) return *documents;
    return HomeFolder() / "Documents";
}

Result<fs::path> ProfileFolder()
{
    fs::path folder = DocumentsFolder() / kProfileFolderName;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return Error{"cannot create the profile folder " + folder.string() + ": " + ec.message()};
    if (!fs::is_directory(folder, ec)) {
        return Error{"the profile folder " + folder.string() + " exists but is not a folder"};
    }
    return folder;
}

Result<fs::path> WorkingProfilePath()
{
    auto folder = ProfileFolder();
    if (!folder) return Error{folder.error()};
    return *folder / kWorkingProfileName;
}

fs::path WorkingProfileLocation()
{
    return DocumentsFolder() / kProfileFolderName / kWorkingProfileName;
}

fs::path SettingsFilePath()
{
    return DocumentsFolder() / kProfileFolderName / kSettingsFileName;
}

fs::path UserSettingsPath()
{
    std::string name = ProgramFile().stem().string();
    if (name.empty()) name = "kestrune";
    return ConfigHome() / kUserSettingsBranch / (name + ".ini");
}

} // namespace kestrune
