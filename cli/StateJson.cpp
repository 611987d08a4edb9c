#include "StateJson.h"

#include "ProfileReport.h"

namespace kestrune::cli {

nlohmann::ordered_json EffectsJson(const SettingsRecord& settings)
{
    nlohmann::ordered_json effects = nlohmann::ordered_json::array();
    for (std::size_t slot = 0; slot < wire::kEffectListSlots; ++slot)
        if (int effect = settings.EffectSlot(slot); effect != 0) effects.push_back(effect);
    return effects;
}

nlohmann::ordered_json LightingJson(const LightingState& state)
{
    nlohmann::ordered_json colours = nlohmann::ordered_json::array();
    for (int effect : kColouredEffects) {
        const auto which = ColourOfEffect(effect);
        if (!which) continue;
        nlohmann::ordered_json entry = {{"effect", effect}, {"colour", ColourText(state.ColourOf(*which))}};
        if (RainbowSlot(effect)) entry["rainbow"] = state.RainbowOf(effect) != 0;
        if (effect == kEffectColourTrail) entry["trigger"] = state.trigger[1] != 0 ? "grid" : "single";
        colours.push_back(std::move(entry));
    }
    return {{"effect", state.effect},
            {"brightness", state.brightness},
            {"speed", kSpeedMax - state.speed},
            {"direction", state.direction == 0 ? "left" : "right"},
            {"effects", std::move(colours)}};
}

nlohmann::ordered_json StatusJson(const std::string& library, const SettingsRecord& settings,
                                  const LightingState& lighting)
{
    return {{"attached", true},
            {"library", library},
            {"activeProfile", settings.ActiveProfileByte()},
            {"macroCapacity", settings.MacroCapacityBytes()},
            {"effectsOffered", EffectsJson(settings)},
            {"lighting", LightingJson(lighting)}};
}

nlohmann::ordered_json ProfileNumberJson(int activeProfile)
{
    return {{"activeProfile", activeProfile}};
}

} // namespace kestrune::cli
