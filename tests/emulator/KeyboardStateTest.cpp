#include "emulator/KeyboardState.h"

#include "keymodel/DefaultHardwareTable.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace kestrune::emulator {
namespace {

TEST(KeyboardState, FactoryValuesDescribeAWorkingKeyboard)
{
    const KeyboardState s = FactoryKeyboardState();
    EXPECT_TRUE(CheckKeyboardState(s));
    EXPECT_EQ(s.settings[wire::kSettingsActiveProfile], 0);
    EXPECT_EQ(s.settings[wire::kSettingsMacroCapacity], 0x40);
    EXPECT_EQ(s.macroArea.size(), 0x40u * 128u);
    for (std::size_t slot = 0; slot < wire::kEffectListSlots; ++slot)
        EXPECT_EQ(s.settings[wire::kSettingsEffectList + slot], slot + 1);
    EXPECT_EQ(s.defaultKeyTable, HardwareKeyTableToBytes(DefaultHardwareTable));
    for (const auto& table : s.keyTables) EXPECT_EQ(table, s.defaultKeyTable);
    EXPECT_NE(s.macroArea[0] | s.macroArea[1] << 8, 0x55AA) << "no macros stored";
    EXPECT_EQ(s.lighting[0], 1) << "effect 1 selected";
    EXPECT_TRUE(s.attached);
    EXPECT_EQ(s.bankStatus, (std::array<std::uint8_t, 2>{0x05, 0x02}));
}

TEST(KeyboardState, JsonKeepsEveryByte)
{
    KeyboardState s = FactoryKeyboardState();
    s.settings[wire::kSettingsActiveProfile] = 2;
    s.settings[wire::kSettingsMacroCapacity] = 3;
    s.macroArea.assign(3 * 128, 0);
    for (std::size_t i = 0; i < s.macroArea.size(); ++i) s.macroArea[i] = static_cast<std::uint8_t>(i);
    s.keyTables[1][479] = 0xAB;
    s.defaultKeyTable[0] = 0x0F;
    s.lighting[55] = 0xF0;
    s.keyColours[485] = 0x7E;
    s.attached = false;
    s.bankStatus = {0x05, 0x03};

    const std::string text = KeyboardStateToJson(s);
    const auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json["bank_status"], "0503");
    EXPECT_EQ(json["key_tables"].size(), 3u);
    EXPECT_EQ(json["attached"], false);
    const auto back = KeyboardStateFromJson(text);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, s);
}

TEST(KeyboardState, MalformedJsonIsRefusedWithTheFieldNamed)
{
    const auto factory = nlohmann::json::parse(KeyboardStateToJson(FactoryKeyboardState()));
    struct Case {
        const char* name;
        std::function<void(nlohmann::json&)> spoil;
        const char* expected; // part of the message
    };
    const std::vector<Case> cases = {
        {"missing field", [](nlohmann::json& j) { j.erase("lighting"); }, "\"lighting\": missing"},
        {"short record", [](nlohmann::json& j) { j["settings"] = "00"; }, "expected 28 bytes, found 1"},
        {"upper-case hex", [](nlohmann::json& j) { j["bank_status"] = "05AA"; }, "\"bank_status\""},
        {"odd digit count", [](nlohmann::json& j) { j["lighting"] = "0"; }, "even number"},
        {"not a string", [](nlohmann::json& j) { j["key_colours"] = 5; }, "\"key_colours\": expected a hex string"},
        {"two key tables", [](nlohmann::json& j) { j["key_tables"].erase(0); }, "found 2 entries"},
        {"key table too long",
         [](nlohmann::json& j) { j["key_tables"][2] = j["key_tables"][2].get<std::string>() + "00"; }, "key_tables[2]"},
        {"attached as text", [](nlohmann::json& j) { j["attached"] = "yes"; }, "\"attached\""},
        {"macro area not the capacity", [](nlohmann::json& j) { j["macro_area"] = "ffff"; }, "macro area"},
        {"profile 3",
         [](nlohmann::json& j) {
             auto s = j["settings"].get<std::string>();
             s.replace(20, 2, "03");
             j["settings"] = s;
         },
         "active profile"},
        {"an array", [](nlohmann::json& j) { j = nlohmann::json::array(); }, "JSON object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        nlohmann::json json = factory;
        c.spoil(json);
        const auto result = KeyboardStateFromJson(json.dump());
        ASSERT_FALSE(result);
        EXPECT_NE(result.error().find(c.expected), std::string::npos) << result.error();
    }
    const auto broken = KeyboardStateFromJson("{\"settings\": ");
    ASSERT_FALSE(broken);
    EXPECT_NE(broken.error().find("JSON"), std::string::npos);
}

} // namespace
} // namespace kestrune::emulator
