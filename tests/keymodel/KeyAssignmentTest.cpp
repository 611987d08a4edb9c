#include "keymodel/KeyAssignment.h"
#include "keymodel/DefaultHardwareTable.h"

#include <gtest/gtest.h>

#include <map>

#include <cstdio>
#include <optional>
#include <ostream>
#include <set>
#include <string>
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
std::optional<std::size_t> FindPosition(KeyIndex key)
{
    for (std::size_t p = 0; p < kHardwarePositions; ++p)
        if (KeyFromTriple(DefaultHardwareTable[p]) == key) return p;
    return std::nullopt;
}

std::size_t PositionOf(KeyIndex key)
{
    const auto p = FindPosition(key);
    if (!p) ADD_FAILURE() << "no position for key " << std::hex << key;
    return p.value_or(0);
}

// The slots in which two key maps differ, for a readable failure.
std::string SlotDifferences(const KeyMap& a, const KeyMap& b)
{
    std::string out;
    for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot) {
        if (a[slot] == b[slot]) continue;
        out += "slot " + std::to_string(slot) + ": type " + std::to_string(static_cast<int>(a[slot].type)) + "/" +
               std::to_string(static_cast<int>(b[slot].type)) + " value " + std::to_string(a[slot].value) + "/" +
               std::to_string(b[slot].value) + "\n";
    }
    return out;
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
        {"an entry read back as it came", AssignmentType::Unknown, 0x008104, {0x04, 0x81, 0x00}},
        {"a type of no meaning", static_cast<AssignmentType>(kAssignmentTypeCount), 5, DefaultHardwareTable[p]},
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

TEST(DefaultHardwareTable, PlacesEveryOrdinaryKeyAndNothingBeyondTheMatrix)
{
    const auto bytes = HardwareKeyTableToBytes(DefaultHardwareTable);
    const std::vector<std::uint8_t> tail(bytes.begin() + 136 * 3, bytes.begin() + 138 * 3);
    EXPECT_EQ(tail, (std::vector<std::uint8_t>{0xAA, 0x55, 0xFF, 0x02, 0xB4, 0x04}));

    // The Fn key takes the place of Right Win; every other ordinary key has a position.
    for (KeyIndex k : KeyButtonOrder) EXPECT_EQ(FindPosition(k).has_value(), k != kKeyRightWin) << std::hex << k;
    EXPECT_EQ(KeyFromTriple(DefaultHardwareTable[54]), kKeyEquals);
    EXPECT_EQ(KeyFromTriple(DefaultHardwareTable[105]), kKeyEquals);
    EXPECT_EQ(KeyFromTriple(DefaultHardwareTable[137]), kKeyAlt);
    EXPECT_EQ(KeyFromTriple(DefaultHardwareTable[45]), kKeyRightAlt);
    EXPECT_EQ(KeyFromTriple(DefaultHardwareTable[112]), 0x110); // previous track
    for (std::size_t p : {0, 1, 2, 3, 4, 5, 53, 136}) EXPECT_EQ(KeyFromTriple(DefaultHardwareTable[p]), kNoKey) << p;
    for (std::size_t p = 138; p < kHardwarePositions; ++p)
        EXPECT_EQ(KeyFromTriple(DefaultHardwareTable[p]), kNoKey) << p;

    auto back = ReadHardwareKeyTable(bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, DefaultHardwareTable);
}

TEST(KeyFromTriple, ResolvesEachKind)
{
    const struct {
        HardwareEntry entry;
        KeyIndex key;
    } cases[] = {
        {{0x02, 0x02, 0x04}, 0x01E},  {{0x02, 0x02, 0x48}, 0x045},  {{0x02, 0x02, 0x00}, kNoKey},
        {{0x02, 0x01, 0x22}, 0x02A},  {{0x02, 0xB4, 0x04}, 0x038},  {{0x02, 0x01, 0x00}, kNoKey},
        {{0x03, 0xE9, 0x00}, 0x130},  {{0x03, 0x23, 0x02}, 0x132},  {{0x03, 0x00, 0x00}, 0x174},
        {{0x03, 0x34, 0x12}, kNoKey}, {{0x04, 0x81, 0x00}, 0x15E},  {{0x04, 0x81, 0x01}, kNoKey},
        {{0x00, 0x00, 0x04}, kNoKey}, {{0x01, 0x02, 0x04}, kNoKey}, {{0x05, 0x01, 0x00}, kNoKey},
    };
    for (const auto& c : cases) EXPECT_EQ(KeyFromTriple(c.entry), c.key) << ::testing::PrintToString(c.entry);
}

TEST(EncodeKeyTable, KeysAtTwoPositionsAndPositionsWithoutAKey)
{
    // "=" sits at two positions; both carry its assignment.
    HardwareKeyTable table = EncodeKeyTable(MapWith(kKeyEquals, AssignmentType::Media, 6), DefaultHardwareTable, {});
    EXPECT_EQ(table[54], (HardwareEntry{0x03, 0xE9, 0x00}));
    EXPECT_EQ(table[105], (HardwareEntry{0x03, 0xE9, 0x00}));

    // Position 137 belongs to Alt like Alt's own position.
    table = EncodeKeyTable(MapWith(kKeyAlt, AssignmentType::StopMacro, 0), DefaultHardwareTable, {});
    EXPECT_EQ(table[137], (HardwareEntry{0x05, 0x02, 0x00}));
    EXPECT_EQ(table[PositionOf(kKeyAlt)], (HardwareEntry{0x05, 0x02, 0x00}));

    // With every key disabled, exactly the positions without a key keep their
    // bytes; macro-key slots never reach the hardware table.
    KeyMap all = MakeInitialisedKeyMap();
    for (std::size_t slot = 0; slot < kKeySlotCount; ++slot) SetAssignment(all[slot], AssignmentType::Disabled, 0, 0);
    for (std::size_t slot = kGKeyFirstSlot; slot < kGKeyFirstSlot + kGKeySlotCount; ++slot)
        SetAssignment(all[slot], AssignmentType::FunctionKey, all[slot].aux, 3);
    table = EncodeKeyTable(all, DefaultHardwareTable, {});
    for (std::size_t p = 0; p < kHardwarePositions; ++p) {
        const bool isKey = KeyFromTriple(DefaultHardwareTable[p]) != kNoKey;
        EXPECT_EQ(table[p], isKey ? HardwareEntry{} : DefaultHardwareTable[p]) << p;
    }
}

struct DecodeCase {
    const char* what;
    HardwareEntry keyboard;
    AssignmentType type;
    std::uint32_t value;
};

TEST(DecodeKeyTable, RefinesEachEntryThatDiffersFromTheDefault)
{
    const std::size_t p = PositionOf(kKeyA);
    const DecodeCase cases[] = {
        {"same as the default", DefaultHardwareTable[p], AssignmentType::Default, 0},
        {"volume up", {0x03, 0xE9, 0x00}, AssignmentType::Media, 6},
        {"modifier bit of Right Shift", {0x02, 0x01, 0x20}, AssignmentType::RemapKey, 0x036},
        {"keyboard usage of Q", {0x02, 0x02, 0x14}, AssignmentType::RemapKey, 0x010},
        {"nothing", {0x00, 0x00, 0x00}, AssignmentType::Disabled, 0},
        {"macro number 3", {0x05, 0x01, 0x03}, AssignmentType::PlayMacro, 4},
        {"stop macro", {0x05, 0x02, 0x00}, AssignmentType::StopMacro, 0},
        {"function", {0x05, 0x05, 0x07}, AssignmentType::FunctionKey, 7},
        // Entries no other type encodes back to exactly keep their bytes.
        {"consumer usage of no media function", {0x03, 0x00, 0x00}, AssignmentType::Unknown, 0x000003},
        {"modifier byte 0", {0x02, 0x01, 0x00}, AssignmentType::Unknown, 0x000102},
        {"two modifier bits", {0x02, 0x01, 0x60}, AssignmentType::Unknown, 0x600102},
        {"keyboard usage 0", {0x02, 0x02, 0x00}, AssignmentType::Unknown, 0x000202},
        {"system usage", {0x04, 0x81, 0x00}, AssignmentType::Unknown, 0x008104},
        {"unknown kind", {0x07, 0x01, 0x02}, AssignmentType::Unknown, 0x020107},
        {"stop macro with a value", {0x05, 0x02, 0x09}, AssignmentType::Unknown, 0x090205},
        {"nothing with bytes", {0x00, 0x04, 0x00}, AssignmentType::Unknown, 0x000400},
    };
    for (const DecodeCase& c : cases) {
        HardwareKeyTable keyboard = DefaultHardwareTable;
        keyboard[p] = c.keyboard;
        const KeyMap map = DecodeKeyTable(keyboard, DefaultHardwareTable);
        KeyMap expected = MakeInitialisedKeyMap();
        SetAssignment(expected[SlotOfKey(kKeyA)], c.type, 0, c.value);
        EXPECT_EQ(map, expected) << c.what << "\n" << SlotDifferences(map, expected);
    }
}

TEST(DecodeKeyTable, TwoPositionsOfOneKeyAndPositionsWithoutAKey)
{
    HardwareKeyTable keyboard = DefaultHardwareTable;
    keyboard[54] = {0x05, 0x02, 0x00};
    KeyMap map = DecodeKeyTable(keyboard, DefaultHardwareTable);
    EXPECT_EQ(map[SlotOfKey(kKeyEquals)].type, AssignmentType::StopMacro); // 105 matches its default

    keyboard[105] = {0x03, 0xE9, 0x00};
    map = DecodeKeyTable(keyboard, DefaultHardwareTable);
    EXPECT_EQ(map[SlotOfKey(kKeyEquals)].type, AssignmentType::Media); // the higher position wins

    // Changed bytes where the default names no key are not a key's assignment.
    keyboard = DefaultHardwareTable;
    for (std::size_t p : {0, 6, 136, 140, 159}) keyboard[p] = {0x05, 0x02, 0x00};
    EXPECT_EQ(DecodeKeyTable(keyboard, DefaultHardwareTable), MakeInitialisedKeyMap());
}

TEST(KeyTableCodec, DecodingAnEncodedMapGivesItBack)
{
    // Every ordinary key gets an assignment of a type the keyboard can hold;
    // the macro list's ids are 1..m, as the read-back numbers them.
    const std::vector<std::uint16_t> macroIds = {1, 2, 3, 4, 5};
    KeyMap map = MakeInitialisedKeyMap();
    for (std::size_t i = 0; i < KeyButtonOrder.size(); ++i) {
        const KeyIndex target = KeyButtonOrder[(i + 7) % KeyButtonOrder.size()];
        if (!FindPosition(KeyButtonOrder[i])) continue;
        KeyAssignment& a = map[SlotOfKey(KeyButtonOrder[i])];
        const auto n = static_cast<std::uint32_t>(i);
        switch (i % 7) {
        case 0:
            SetAssignment(a, AssignmentType::Disabled, 0, 0);
            break;
        case 1:
            SetAssignment(a, AssignmentType::RemapKey, 0, target);
            break;
        case 2:
            SetAssignment(a, AssignmentType::PlayMacro, 0, 1 + n % 5);
            break;
        case 3:
            SetAssignment(a, AssignmentType::StopMacro, 0, 0);
            break;
        case 4:
            SetAssignment(a, AssignmentType::Media, 0, n % kMediaCount);
            break;
        case 5:
            SetAssignment(a, AssignmentType::FunctionKey, 0, n % 11);
            break;
        default:
            break; // stays Default
        }
    }
    const HardwareKeyTable table = EncodeKeyTable(map, DefaultHardwareTable, macroIds);
    const KeyMap decoded = DecodeKeyTable(table, DefaultHardwareTable);
    EXPECT_EQ(decoded, map) << SlotDifferences(decoded, map);

    const auto bytes = HardwareKeyTableToBytes(table);
    auto reread = ReadHardwareKeyTable(bytes);
    ASSERT_TRUE(reread.ok());
    EXPECT_EQ(*reread, table);
}

// What the keyboard holds and the program has no type for goes back to it
// unchanged, at every position of a key, after a read-back and a download.
TEST(KeyTableCodec, EntriesWithoutATypeGoBackAsTheyCame)
{
    const HardwareEntry odd[] = {{0x03, 0x00, 0x00}, {0x02, 0x01, 0x60}, {0x02, 0x02, 0x00}, {0x04, 0x82, 0x00},
                                 {0x07, 0x01, 0x02}, {0x05, 0x02, 0x09}, {0x00, 0x04, 0x00}, {0xFF, 0xFF, 0xFF}};
    HardwareKeyTable keyboard = DefaultHardwareTable;
    // Positions of one key ("=" at 54 and 105, Alt at 29 and 137) hold one assignment between them.
    std::map<KeyIndex, HardwareEntry> ofKey;
    for (std::size_t p = 0; p < kHardwarePositions; ++p) {
        const KeyIndex key = KeyFromTriple(DefaultHardwareTable[p]);
        if (key == kNoKey) continue;
        keyboard[p] = ofKey.emplace(key, odd[p % std::size(odd)]).first->second;
    }

    const KeyMap map = DecodeKeyTable(keyboard, DefaultHardwareTable);
    EXPECT_EQ(map[SlotOfKey(kKeyA)].type, AssignmentType::Unknown);
    EXPECT_EQ(EncodeKeyTable(map, DefaultHardwareTable, {}), keyboard);

    const KeyAssignment power{AssignmentType::Unknown, 0, 0x008104};
    EXPECT_EQ(RawEntryOf(power.value), (HardwareEntry{0x04, 0x81, 0x00}));
    EXPECT_EQ(HardwareEntryText(RawEntryOf(power.value)), "04 81 00");
}

TEST(KeyAssignmentRecord, ChangingAnAssignmentKeepsMarkAndReserved)
{
    KeyAssignment a{AssignmentType::Media, 0, 3, 1, 0xDEADBEEF};
    SetAssignment(a, AssignmentType::RemapKey, 0, 0x01E);
    EXPECT_EQ(a, (KeyAssignment{AssignmentType::RemapKey, 0, 0x01E, 1, 0xDEADBEEF}));

    std::uint8_t bytes[20] = {};
    ASSERT_TRUE(WriteKeyAssignment(a, bytes).ok());
    auto back = ReadKeyAssignment(bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, a);

    // Colour marks of the macro keys live in their own slots, clear of the
    // marks of the ordinary keys at button positions 0..103.
    std::set<std::size_t> markSlots;
    for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i) markSlots.insert(ColourMarkSlotOfButton(i));
    for (GKeyBank bank : {GKeyBank::A, GKeyBank::B}) {
        for (int n = 1; n <= kGKeyCount; ++n) {
            ASSERT_TRUE(ColourMarkSlotOfGKey(n, bank).has_value());
            EXPECT_TRUE(markSlots.insert(*ColourMarkSlotOfGKey(n, bank)).second) << n;
            EXPECT_EQ(MakeInitialisedKeyMap()[*GKeySlot(n, bank)].aux, GKeyId(n, bank));
        }
    }
    EXPECT_EQ(GKeySlot(1, GKeyBank::A), 256u);
    EXPECT_EQ(GKeySlot(9, GKeyBank::B), 273u);
    EXPECT_EQ(GKeySlot(0, GKeyBank::A), std::nullopt);
}

} // namespace
} // namespace kestrune
