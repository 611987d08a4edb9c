#include "lighting/LightingRecords.h"
#include "lighting/LightingState.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(LightingRecords, ColourTravelsAsRedGreenBlue)
{
    const Colour colour = MakeColour(0x12, 0x34, 0x56);
    EXPECT_EQ(colour, 0x00563412u);
    KeyColourTable table;
    table.Set(161, colour);
    table.Set(162, kWhite); // past the last light: ignored
    EXPECT_EQ(table.bytes[483], 0x12);
    EXPECT_EQ(table.bytes[484], 0x34);
    EXPECT_EQ(table.bytes[485], 0x56);
    EXPECT_EQ(table.Get(161), colour);
    EXPECT_EQ(table.Get(162), 0u);
}

TEST(LightingRecords, EffectIndexNumbersTheOfferedEffectsInOrder)
{
    SettingsRecord settings;
    settings.bytes[12] = 5;
    settings.bytes[14] = 9;
    settings.bytes[25] = 15;
    EffectIndex index;
    index.Rebuild(settings);
    ASSERT_EQ(index.Entries().size(), 3u);
    EXPECT_EQ(index.RowOf(5), 0);
    EXPECT_EQ(index.RowOf(9), 1);
    EXPECT_EQ(index.RowOf(15), 2);
    EXPECT_EQ(index.RowOf(4), -1);
    EXPECT_EQ(index.EffectAt(1), 9);
    EXPECT_EQ(index.EffectAt(3), 0);
    EXPECT_TRUE(settings.OffersEffect(5));
    EXPECT_FALSE(settings.OffersEffect(4));
    settings.ClearEffectList();
    index.Rebuild(settings);
    EXPECT_TRUE(index.Entries().empty());
    EXPECT_FALSE(settings.OffersEffect(5));
}

TEST(LightingRecords, LightsOfTheKeyButtons)
{
    EXPECT_EQ(kKeyLedTable[0], 53);
    EXPECT_EQ(kKeyLedTable[103], 117);
    EXPECT_EQ(kKeyLedTable[42], 30); // "=+" and the right Windows key share light 30
    EXPECT_EQ(kKeyLedTable[86], 30);
    EXPECT_EQ(LightOfGKey(1), 1);
    EXPECT_EQ(LightOfGKey(5), 5);
    EXPECT_EQ(LightOfGKey(6), 0);
    EXPECT_EQ(LightOfGKey(9), 0);
    EXPECT_EQ(LightOfGKey(0), std::nullopt);
    EXPECT_EQ(LightOfGKey(10), std::nullopt);
}

TEST(LightingRecords, EffectAddresses)
{
    struct Case {
        int effect;
        std::optional<std::uint16_t> colour;
        std::optional<std::uint16_t> flag;
    };
    const Case cases[] = {
        {4, 15, 18},  {5, std::nullopt, std::nullopt}, {9, 5, std::nullopt}, {11, 20, 23}, {12, 25, 28}, {14, 30, 33},
        {15, 35, 38}, {2, std::nullopt, std::nullopt}};
    for (const Case& c : cases) {
        EXPECT_EQ(EffectColourAddress(c.effect), c.colour) << "effect " << c.effect;
        EXPECT_EQ(RainbowFlagAddress(c.effect), c.flag) << "effect " << c.effect;
    }
}

LightingBlock BlockOf(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes)
{
    LightingBlock block;
    for (auto [address, value] : bytes) block.bytes[address] = value;
    return block;
}

TEST(LightingState, DecodesEveryField)
{
    LightingState state;
    DecodeLightingBlock(BlockOf({{0, 4},
                                 {1, 3},
                                 {2, 1},
                                 {4, 1},
                                 {5, 0x10},
                                 {6, 0x20},
                                 {7, 0x30},
                                 {10, 0xAA},
                                 {17, 0x77},
                                 {18, 1},
                                 {19, 1},
                                 {20, 9},
                                 {23, 1},
                                 {28, 0},
                                 {33, 7},
                                 {35, 0xFF},
                                 {38, 0}}),
                        state);
    EXPECT_EQ(state.effect, 4);
    EXPECT_EQ(state.brightness, 3);
    EXPECT_EQ(state.speed, 1);
    EXPECT_EQ(state.direction, 1);
    EXPECT_EQ(state.ColourOf(EffectColour::A), MakeColour(0x10, 0x20, 0x30));
    EXPECT_EQ(state.ColourOf(EffectColour::B), MakeColour(0xAA, 0, 0));
    EXPECT_EQ(state.ColourOf(EffectColour::C), MakeColour(0, 0, 0x77));
    EXPECT_EQ(state.ColourOf(EffectColour::D), MakeColour(9, 0, 0));
    EXPECT_EQ(state.ColourOf(EffectColour::G), MakeColour(0xFF, 0, 0));
    EXPECT_EQ(state.RainbowOf(4), 1);
    EXPECT_EQ(state.RainbowOf(11), 1);
    EXPECT_EQ(state.RainbowOf(12), 0);
    EXPECT_EQ(state.RainbowOf(14), 1); // any non-zero byte is on
    EXPECT_EQ(state.RainbowOf(15), 0);
    EXPECT_EQ(state.trigger, (std::array<std::uint8_t, 2>{0, 1}));
}

TEST(LightingState, OutOfRangeFlagAndTriggerKeepTheirValues)
{
    LightingState state;
    state.SetRainbow(4, 1);
    state.SetTrigger(kTriggerSingleKey);
    DecodeLightingBlock(BlockOf({{0, 4}, {18, 2}, {19, 5}}), state);
    EXPECT_EQ(state.RainbowOf(4), 1);
    EXPECT_EQ(state.trigger, (std::array<std::uint8_t, 2>{1, 0}));

    // The effect-4 flag only follows its byte while effect 4 is selected.
    DecodeLightingBlock(BlockOf({{0, 2}, {18, 0}}), state);
    EXPECT_EQ(state.RainbowOf(4), 1);
    DecodeLightingBlock(BlockOf({{0, 4}, {18, 0}}), state);
    EXPECT_EQ(state.RainbowOf(4), 0);
}

} // namespace
} // namespace kestrune
