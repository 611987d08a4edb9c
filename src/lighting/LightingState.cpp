#include "lighting/LightingState.h"

namespace kestrune {

std::uint8_t LightingState::RainbowOf(int effectId) const
{
    if (auto slot = RainbowSlot(effectId)) return rainbow[*slot];
    return 0;
}

void LightingState::SetRainbow(int effectId, std::uint8_t value)
{
    if (auto slot = RainbowSlot(effectId)) rainbow[*slot] = value;
}

void LightingState::SetTrigger(std::uint8_t value)
{
    trigger = {static_cast<std::uint8_t>(value == kTriggerSingleKey), static_cast<std::uint8_t>(value == kTriggerGrid)};
}

void DecodeLightingBlock(const LightingBlock& block, LightingState& state)
{
    const auto& b = block.bytes;
    state.block = block;
    state.effect = b[lightaddr::kEffect];
    state.brightness = b[lightaddr::kBrightness];
    state.speed = b[lightaddr::kSpeed];
    state.direction = b[lightaddr::kDirection];
    for (std::size_t i = 0; i < state.colours.size(); ++i)
        state.colours[i] = ColourAt(b, ColourAddress(static_cast<EffectColour>(i)));

    const std::uint8_t flag4 = b[lightaddr::kRainbow4];
    if (state.effect == kEffectColourTrail && (flag4 == 0 || flag4 == 1)) state.SetRainbow(kEffectColourTrail, flag4);
    const std::uint8_t trigger = b[lightaddr::kTrigger];
    if (trigger == kTriggerSingleKey || trigger == kTriggerGrid) state.SetTrigger(trigger);
    for (int effectId : {kEffect11, kEffect12, kEffect14, kEffect15})
        state.SetRainbow(effectId, b[*RainbowFlagAddress(effectId)] != 0 ? 1 : 0);
}

} // namespace kestrune
