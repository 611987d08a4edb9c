#pragma once

// Profile files as the command line sees them: checked with a reason a person
// can act on, and described for people or for scripts.

#include "common/Result.h"
#include "config/ConfigStore.h"
#include "keymodel/KeyCodes.h"
#include "lighting/LightingRecords.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::cli {

// Reads and checks a whole profile file, reading it once: the header passes
// the core's check of profile files as well. The error says what is wrong
// with the file (truncated, a header field, too many macros, a bad checksum,
// a broken macro list) without naming the file; the caller adds the path.
// Never reads beyond the bytes the file holds. 'slots' as for
// ParseProfileImage.
Result<CurrentCopy> LoadCheckedProfile(const std::filesystem::path& path, ActionSlots slots = ActionSlots::All);

// Every key whose assignment is not Default in key maps 0 to 2, by key name
// with its target, then every macro with its id, cycles and actions.
std::string ProfileText(const CurrentCopy& copy);
nlohmann::json ProfileJson(const CurrentCopy& copy);

// The name of an assignment type ("RemapKey"); "Unknown" for numbers past the known types.
const char* TypeName(AssignmentType type);

// What an assignment does, in words ("key B", "macro 3", "disabled").
std::string DescribeAssignment(const CurrentCopy& copy, std::size_t map, std::size_t slot);

// A key by its name (case-insensitive, as the key table names it) or by its
// KeyIndex in decimal or 0x hex.
std::optional<KeyIndex> ParseKey(std::string_view text);
// The light under a key: ordinary keys by name or KeyIndex, G1 to G9 and Fn.
std::optional<std::size_t> ParseKeyLight(std::string_view text);
// RRGGBB, with or without a leading '#'.
std::optional<Colour> ParseColour(std::string_view text);
std::string ColourText(Colour colour);

} // namespace kestrune::cli
