#include "keymodel/KeyAssignment.h"
#include "keymodel/DefaultHardwareTable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <vector>

namespace kestrune {

void PrintTo(const HardwareEntry& e, std::ostream* os)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X", e.kind, e.sub, e.value);
    *os << text;
}

namespace {

// Position of the first built-in entry that resolves to the key.
std::size_t PositionOf(KeyIndex key)
{
    for (std::size_t p = 0; p < kHardwarePositions; ++p)
        if (KeyFromTriple(DefaultHardwareTable[p]) == key) return p;
    ADD_FAILURE() << "no position for key " << key;
    return 0;
}

constexpr KeyIndex kKeyA = 0x01E;
constexpr KeyIndex kKeyEquals = 0x00D;

KeyMap MapWith(KeyIndex key, AssignmentType type, std::uint32_t value)
{
    KeyMap map = MakeInitialisedKeyMap();
    SetAssignment(map[SlotOfKey(key)], type, 0, value);
    return map;
}

TEST(KeyMapLayout, InitialisedMapCarriesGKeyIdsAndSerialisesLittleEndian)
{
    KeyMap map = MakeInitialisedKeyMap();
    for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot) {
        std::uint16_t expectedAux = 0;
        if (slot >= 256 && slot <= 264) expectedAux = static_cast<std::uint16_t>(0x0301 + (slot - 256));
        if (slot >= 265 && slot <= 273) expectedAux = static_cast<std::uint16_t>(0x1301 + (slot - 265));
        EXPECT_EQ(map[slot].aux, expectedAux) << slot;
        EXPECT_EQ(map[slot].type, AssignmentType::Default) << slot;
    }

    map[0x1E] = KeyAssignment{AssignmentType::Media, 0x0102, 0x03040506, 0x0708090A, 0x0B0C0D0E};
    const auto bytes = KeyMapToBytes(map);
    const std::vector<std::uint8_t> slot30(bytes.begin() + 0x1E * 16, bytes.begin() + 0x1F * 16);
    EXPECT_EQ(slot30, (std::vector<std::uint8_t>{0x07, 0x00, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0A, 0x09, 0x08, 0x07,
                                                 0x0E, 0x0D, 0x0C, 0x0B}));
    // G1 bank B sits at slot 265 with aux 0x1301.
    EXPECT_EQ(bytes[265 * 16 + 2], 0x01);
    EXPECT_EQ(bytes[265 * 16 + 3], 0x13);

    auto back = ReadKeyMap(bytes);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(*back, map);
}

TEST(KeyMapLayout, ShortInputIsRefusedWithTheSizes)
{
    std::vector<std::uint8_t> bytes(kKeyMapSize - 1);
    auto map = ReadKeyMap(bytes);
    ASSERT_FALSE(map.ok());
    EXPECT_NE(map.error().find("8192"), std::string::npos);
    EXPECT_NE(map.error().find("8191"), std::string::npos);
    EXPECT_FALSE(ReadKeyAssignment(std::span<const std::uint8_t>(bytes.data(), 15)).ok());
    EXPECT_FALSE(ReadHardwareKeyTable(std::span<const std::uint8_t>(bytes.data(), 479)).ok());
    std::vector<std::uint8_t> small(100);
    EXPECT_FALSE(WriteKeyMap(KeyMap{}, small).ok());
    EXPECT_FALSE(WriteHardwareKeyTable(HardwareKeyTable{}, small).ok());
}

struct EncodeCase {
    const char* what;
    AssignmentType type;
    std::uint32_t value;
    HardwareEntry expected;
};

TEST(EncodeKeyTable, EncodesEachAssignmentTypeAtTheKeysPosition)
{
    const std::size_t p = PositionOf(kKeyA);
    const std::vector<std::uint16_t> macroIds = {7, 3, 12};
    const EncodeCase cases[] = {
        {"default", AssignmentType::Default, 0, DefaultHardwareTable[p]},
        {"launch program keeps the factory code", AssignmentType::LaunchProgram, 40, DefaultHardwareTable[p]},
        {"disabled", AssignmentType::Disabled, 0, {0x00, 0x00, 0x00}},
        {"text block", AssignmentType::TextBlock, 12, {0x00, 0x00, 0x00}},
        {"remap to Right Alt", AssignmentType::RemapKey, 0x138, {0x02, 0x01, 0x40}},
        {"remap to Right Shift", AssignmentType::RemapKey, 0x036, {0x02, 0x01, 0x20}},
        {"remap to the fake shift is no modifier", AssignmentType::RemapKey, 0x136, {0x02, 0x02, 0xE5}},
        {"remap to Power", AssignmentType::RemapKey, 0x15E, {0x02, 0x02, 0x00}},
        {"remap to Q", AssignmentType::RemapKey, 0x010, {0x02, 0x02, 0x14}},
        {"remap to a number beyond the keys", AssignmentType::RemapKey, 0x10138, {0x02, 0x02, 0x00}},
        {"macro by position", AssignmentType::PlayMacro, 12, {0x05, 0x01, 0x02}},
        {"macro id not in the list", AssignmentType::PlayMacro, 99, {0x05, 0x01, 0x00}},
        {"stop macro", AssignmentType::StopMacro, 0, {0x05, 0x02, 0x00}},
        {"volume up", AssignmentType::Media, 6, {0x03, 0xE9, 0x00}},
        {"www home", AssignmentType::Media, 8, {0x03, 0x23, 0x02}},
        {"media row beyond the table keeps the factory code", AssignmentType::Media, 18, DefaultHardwareTable[p]},
        {"function key", AssignmentType::FunctionKey, 0x10A, {0x05, 0x05, 0x0A}},
        {"unknown type", static_cast<AssignmentType>(9), 5, DefaultHardwareTable[p]},
    };
    for (const EncodeCase& c : cases) {
        const HardwareKeyTable table = EncodeKeyTable(MapWith(kKeyA, c.type, c.value), DefaultHardwareTable, macroIds);
        EXPECT_EQ(table[p], c.expected) << c.what;
        for (std::size_t q = 0; q < kHardwarePositions; ++q) {
            if (q == p) continue;
            EXPECT_EQ(table[q], DefaultHardwareTable[q]) << c.what << " touched position " << q;
        }
    }
}

} // namespace
} // namespace kestrune
