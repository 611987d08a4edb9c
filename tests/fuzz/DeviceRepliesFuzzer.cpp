// Any bytes as what the keyboard answers to the program's reads: its settings
// record, its lighting block and a key table, decoded the way the program
// decodes them after an attach or a read-back. Nothing reads beyond the
// reply, every decoded value is one the program can hold, and a decoded key
// table encodes back to the bytes it came from.
//
// Input: the settings record (28 bytes), the lighting block (56), then a key
// table (480); missing bytes are zero.

#include "keymodel/DefaultHardwareTable.h"
#include "keymodel/KeyAssignment.h"
#include "lighting/LightingState.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using namespace kestrune;

void Require(bool condition, const char* what)
{
    if (condition) return;
    std::fprintf(stderr, "device replies fuzzer: %s\n", what);
    std::abort();
}

// The next n bytes of the input, zero-padded.
std::vector<std::uint8_t> Take(std::span<const std::uint8_t>& input, std::size_t n)
{
    std::vector<std::uint8_t> bytes(n, 0);
    const std::size_t have = std::min(n, input.size());
    std::copy_n(input.begin(), have, bytes.begin());
    input = input.subspan(have);
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> input(data, size);

    LightingState state;
    const auto settings = Take(input, wire::kSettingsRecordSize);
    std::copy(settings.begin(), settings.end(), state.settings.bytes.begin());
    Require(state.settings.MacroCapacityBytes() <= 255 * wire::kMacroCapacityUnit, "capacity beyond its byte");
    for (int effect = -1; effect <= 256; ++effect) (void)state.settings.OffersEffect(effect);

    const auto block = Take(input, wire::kLightingBlockSize);
    std::copy(block.begin(), block.end(), state.block.bytes.begin());
    DecodeLightingBlock(state.block, state);
    for (int effect = 0; effect <= 16; ++effect) (void)state.RainbowOf(effect);

    const auto tableBytes = Take(input, wire::kKeyTableSize);
    Result<HardwareKeyTable> table = ReadHardwareKeyTable(tableBytes);
    Require(table.ok(), "a key table of the right size did not read");
    const KeyMap map = DecodeKeyTable(*table, DefaultHardwareTable);
    for (const KeyAssignment& a : map.slots)
        Require(static_cast<unsigned>(a.type) < kAssignmentTypeCount, "an assignment type the program does not know");

    // A read-back followed by a download gives the keyboard its table back,
    // at every key held at one position only (two positions of one key share
    // one assignment). The read-back numbers macros 1, 2, ... in area order.
    std::array<std::uint16_t, 256> ids{};
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<std::uint16_t>(i + 1);
    const HardwareKeyTable again = EncodeKeyTable(map, DefaultHardwareTable, ids);
    std::array<int, 512> positionsOfSlot{};
    for (const HardwareEntry& entry : DefaultHardwareTable.entries)
        if (const KeyIndex key = KeyFromTriple(entry)) ++positionsOfSlot[SlotOfKey(key)];
    for (std::size_t p = 0; p < kHardwarePositions; ++p) {
        const KeyIndex key = KeyFromTriple(DefaultHardwareTable[p]);
        if (key == kNoKey || positionsOfSlot[SlotOfKey(key)] != 1) continue;
        Require(again[p] == (*table)[p], "a read-back and download changed an entry of the key table");
    }

    return 0;
}
