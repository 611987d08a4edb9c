#pragma once

// The folders the program reads from and writes to. Files that ship with the
// program (skins, language file, help) are found beside the program file,
// never through the working directory; files the user owns live in the
// user's documents folder.

#include "common/Result.h"

#include <filesystem>
#include <optional>
#include <string_view>

namespace kestrune {

// Folder of the running program file (/proc/self/exe). Tests and tools that
// run from elsewhere point it at a folder of their own.
std::filesystem::path ProgramFolder();
void SetProgramFolder(std::optional<std::filesystem::path> folder); // nullopt restores the real one

std::filesystem::path SkinFolder();    // ProgramFolder + "Skins"
std::filesystem::path HelpFolder();    // ProgramFolder + "Help"
std::filesystem::path PackageFolder(); // ProgramFolder + "Package"

// The user's documents folder: XDG_DOCUMENTS_DIR from
// $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config) with $HOME expanded,
// else $HOME/Documents. Read from the environment at every call, never created.
std::filesystem::path DocumentsFolder();

// The documents folder a user-dirs.dirs text names: the first
// XDG_DOCUMENTS_DIR line, a quoted absolute path or "$HOME/..." with home put
// in. nullopt when there is no such line or its value is not a usable path.
std::optional<std::filesystem::path> DocumentsFolderFromUserDirs(std::string_view text,
                                                                 const std::filesystem::path& home);

// Documents folder + "Mechanical Keyboard": profile files, the working
// profile file and the settings file. Created (with its parents) when missing;
// the error says why it could not be.
Result<std::filesystem::path> ProfileFolder();

// ProfileFolder + "$Profile0", creating the folder like ProfileFolder.
Result<std::filesystem::path> WorkingProfilePath();

// Where the working profile file is, without creating anything: for showing
// the place even when the folder cannot be made.
std::filesystem::path WorkingProfileLocation();

// Documents folder + "Mechanical Keyboard" + "wskb.ini". Does not create the
// folder: until the profile code has made it, settings writes fail and reads
// give the defaults.
std::filesystem::path SettingsFilePath();

// Where the per-user settings branch lives on a system without a registry:
// $XDG_CONFIG_HOME/Kestrune_Orvanta/<program file name>.ini. Not created.
std::filesystem::path UserSettingsPath();

} // namespace kestrune
