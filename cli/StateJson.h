#pragma once

// What `status`, `lighting` and `profile` print with --json: the same facts
// as their text, for scripts. The shapes are described in the README.

#include "lighting/LightingRecords.h"
#include "lighting/LightingState.h"
#include "wire/SettingsRecord.h"

#include <nlohmann/json.hpp>

#include <array>
#include <string>

namespace kestrune::cli {

// The effects with a colour of their own, in the order both forms list them.
inline constexpr std::array<int, 7> kColouredEffects = {kEffectColourTrail, kEffectPerKey, kEffectSingleColour,
                                                        kEffect11,          kEffect12,     kEffect14,
                                                        kEffect15};

// The effects the keyboard offers, in the order of its list.
nlohmann::ordered_json EffectsJson(const SettingsRecord& settings);

// Effect, brightness, speed as the command line sets it (0 slowest to 4
// fastest), direction, and per effect its colour, rainbow and trigger.
nlohmann::ordered_json LightingJson(const LightingState& state);

nlohmann::ordered_json StatusJson(const std::string& library, const SettingsRecord& settings,
                                  const LightingState& lighting);

nlohmann::ordered_json ProfileNumberJson(int activeProfile);

} // namespace kestrune::cli
