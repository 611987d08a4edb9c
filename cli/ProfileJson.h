#pragma once

// Profile files as JSON text, both ways, so a configuration can live in
// version control, be reviewed as a diff and be written in an editor.
//
// The JSON form names keys, types, macros and texts in words and leaves out
// everything a new configuration has anyway; what it leaves out comes back
// from the defaults, what it holds comes back exactly, so a profile file the
// program wrote, turned into JSON and back, is the same file byte for byte.
// The shape is described in the README.

#include "config/ConfigStore.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace kestrune::cli {

inline constexpr int kProfileJsonFormat = 1;

// The JSON form of a profile loaded with ActionSlots::All.
nlohmann::ordered_json ProfileToJson(const CurrentCopy& copy);

// The profile file a JSON document describes, as the program writes it
// (header rebuilt, texts packed). Refuses anything it does not understand; the
// message starts with the JSON path of the offending value
// ("profiles[1].keys[3].target: unknown key \"Foo\"").
Result<std::vector<std::uint8_t>> ProfileImageFromJson(const nlohmann::json& document);

// The bytes the program writes for a copy: what WriteProfileFile stores.
std::vector<std::uint8_t> ProgramProfileImage(CurrentCopy& copy);

// Whether a file holds the JSON form rather than a profile file's bytes: its
// first character that is not white space is '{' (a profile file begins with
// the bytes 46 44).
bool LooksLikeJson(const std::filesystem::path& path);

// A JSON document read from a file; the message says where the text stops
// being JSON.
Result<nlohmann::json> ReadJsonDocument(const std::filesystem::path& path);

// Reads and checks a file in either form, as LoadCheckedProfile does for
// profile files; JSON is turned into the profile file it describes first.
Result<CurrentCopy> LoadProfileEitherForm(const std::filesystem::path& path, ActionSlots slots = ActionSlots::All);

} // namespace kestrune::cli
