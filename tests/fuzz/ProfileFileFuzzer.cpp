// Feeds arbitrary bytes to the profile-file reader as if a user had picked
// them as a profile file. Beyond not reading out of bounds, a file that loads
// must keep the store's rules, and writing what was loaded must give a file
// that loads back to the same configuration.
//
// A real file starts with a 32832-byte block of mostly zero key maps, which
// mutations rarely get through. Inputs shorter than a block are therefore
// expanded: the first 32 bytes are the header, the next 256 the first sixteen
// key-map slots, and everything after that follows the block (macros, then
// strings). When bit 7 of the header's flag byte is set, the total size is
// made to match the header's other sizes, so that inputs reach the parts
// behind that check. Inputs of a block or more are taken as they are.

#include "common/LittleEndian.h"
#include "config/ConfigBlock.h"
#include "config/ProfileFile.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using namespace kestrune;

constexpr std::size_t kCompactSlots = 16;
constexpr std::size_t kCompactSlotBytes = kCompactSlots * kKeyAssignmentSize;
constexpr std::uint8_t kFixTotalBit = 0x80;

void Require(bool condition, const char* what)
{
    if (condition) return;
    std::fprintf(stderr, "profile file fuzzer: %s\n", what);
    std::abort();
}

std::vector<std::uint8_t> Expand(std::span<const std::uint8_t> input)
{
    if (input.size() >= kConfigBlockSize) return {input.begin(), input.end()};
    std::vector<std::uint8_t> image(kConfigBlockSize, 0);
    const std::size_t header = std::min(input.size(), kConfigHeaderSize);
    std::copy_n(input.begin(), header, image.begin());
    const auto slots = input.subspan(header, std::min(input.size() - header, kCompactSlotBytes));
    std::copy(slots.begin(), slots.end(), image.begin() + kKeyMapsOffset);
    const auto rest = input.subspan(header + slots.size());
    image.insert(image.end(), rest.begin(), rest.end());
    if (image[kHdrFlag] & kFixTotalBit) {
        const std::uint64_t total = ProfileTotalSize(ReadLe16(image, kHdrMacroCount), ReadLe32(image, kHdrStringBytes));
        WriteLe32(image, kHdrTotalSize, static_cast<std::uint32_t>(total));
    }
    return image;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::uint8_t> image = Expand(std::span<const std::uint8_t>(data, size));
    Result<CurrentCopy> parsed = ParseProfileImage(image);
    if (!parsed) {
        Require(!parsed.error().empty(), "a rejected file came without a message");
        return 0;
    }
    CurrentCopy& copy = *parsed;
    const ConfigHeader header = DecodeConfigHeader(std::span<const std::uint8_t, kConfigHeaderSize>(image.data(), 32));
    Require(copy.HasBlock(), "a loaded file has no block");
    Require(copy.MacroCount() == header.macroCount && copy.MacroCount() <= kMaxMacros, "wrong macro count");
    for (std::size_t i = 0; i < kStringSlotCount; ++i) {
        if (copy.Strings().Size(i) == 0) continue;
        Require(HasStringSlot(copy.Block()->AssignmentAt(i).type), "a text on a key that has none");
        // Keys may share a text, but none holds more than the area had.
        Require(copy.Strings().Size(i) <= header.stringBytes, "a text larger than the file's string area");
    }

    // What the writer makes of the loaded copy must load back to it.
    ConfigBlock& block = *copy.Block();
    BuildHeader(block.header, static_cast<std::uint16_t>(copy.MacroCount()), copy.StringBytes(), kConfigFlagWritten);
    const std::vector<std::uint8_t> strings = PackStrings(block, copy.Strings(), copy.StringBytes());
    const std::vector<std::uint8_t> written = ProfileImage(block, copy.Macros(), strings);
    Result<CurrentCopy> again = ParseProfileImage(written);
    Require(again.ok(), "a file the writer made does not load");
    Require(*again->Block() == block, "the block changed on its way through a file");
    Require(again->Macros() == copy.Macros(), "the macros changed on their way through a file");
    Require(again->Strings() == copy.Strings(), "the texts changed on their way through a file");
    return 0;
}
