#include "config/ConfigBlock.h"

#include "common/LittleEndian.h"

#include <algorithm>

namespace kestrune {

void ConfigBlockToBytes(const ConfigBlock& block, std::span<std::uint8_t, kConfigBlockSize> out)
{
    EncodeConfigHeader(block.header, out.first<kConfigHeaderSize>());
    std::copy(block.device.begin(), block.device.end(), out.begin() + kConfigHeaderSize);
    for (std::size_t m = 0; m < kConfigKeyMapCount; ++m) {
        // Cannot fail: the span is exactly one key map long.
        (void)WriteKeyMap(block.maps[m], out.subspan(kKeyMapsOffset + m * kKeyMapSize, kKeyMapSize));
    }
}

ConfigBlock ConfigBlockFromBytes(std::span<const std::uint8_t, kConfigBlockSize> bytes)
{
    ConfigBlock block;
    block.header = DecodeConfigHeader(bytes.first<kConfigHeaderSize>());
    std::copy_n(bytes.begin() + kConfigHeaderSize, kDeviceBlockSize, block.device.begin());
    for (std::size_t m = 0; m < kConfigKeyMapCount; ++m)
        block.maps[m] = *ReadKeyMap(bytes.subspan(kKeyMapsOffset + m * kKeyMapSize, kKeyMapSize));
    return block;
}

std::unique_ptr<ConfigBlock> MakeDefaultConfigBlock(std::uint8_t flag)
{
    auto block = std::make_unique<ConfigBlock>();
    BuildHeader(block->header, 0, 0, flag);
    block->device = DefaultDeviceBlock();
    InitialiseKeyMap(block->maps[0]);
    return block;
}

std::vector<std::uint8_t> PackStrings(ConfigBlock& block, const StringSlotTable& strings, std::uint32_t stringBytes)
{
    std::vector<std::uint8_t> area(stringBytes, 0);
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < kStringSlotCount; ++i) {
        const std::uint32_t size = strings.Size(i);
        KeyAssignment& assignment = block.AssignmentAt(i);
        if (!HasStringSlot(assignment.type)) continue;
        if (size == 0) {
            assignment.value = kNoStringOffset;
            continue;
        }
        if (offset + size > stringBytes) continue;
        const std::u16string_view text = *strings.Text(i);
        for (std::size_t u = 0; u < text.size(); ++u) WriteLe16(area, offset + 2 * u, text[u]);
        // The terminator is already there: the area starts zeroed.
        assignment.value = static_cast<std::uint32_t>(offset);
        offset += size;
    }
    return area;
}

std::size_t MacroPosition(std::span<const MacroRecord> macros, std::uint16_t id)
{
    const auto found = std::find_if(macros.begin(), macros.end(), [id](const MacroRecord& m) { return m.id == id; });
    return found == macros.end() ? 0 : static_cast<std::size_t>(found - macros.begin());
}

} // namespace kestrune
