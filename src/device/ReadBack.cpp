#include "device/ReadBack.h"

#include "common/LittleEndian.h"
#include "config/ConfigAtomicFile.h"
#include "config/ConfigBlock.h"
#include "config/ConfigStore.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "device/CommandProtocol.h"
#include "device/KnownImage.h"
#include "device/Transfer.h"
#include "macro/MacroArea.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <optional>

namespace kestrune {

namespace {

// Whether the keyboard plays the two macros alike: names aside (a download
// may leave them out), as the macro area stores them.
bool SameOnKeyboard(const MacroRecord& a, const MacroRecord& b)
{
    if (a.cycles != b.cycles || a.actionCount != b.actionCount || a.actionCount > kMaxMacroActions) return false;
    for (std::size_t i = 0; i < a.actionCount; ++i)
        if (EncodeMacroAction(a.actions[i]) != EncodeMacroAction(b.actions[i])) return false;
    return true;
}

// The id in 'macros' (as read back) of the macro that id 'applied' names in
// the applied list; nullopt when the keyboard does not hold it.
std::optional<std::uint32_t> MacroOnKeyboard(const std::vector<MacroRecord>& appliedMacros, std::uint32_t id,
                                             const std::vector<MacroRecord>& macros)
{
    const auto played = std::ranges::find(appliedMacros, id, &MacroRecord::id);
    if (played == appliedMacros.end()) return std::nullopt;
    const auto place = static_cast<std::size_t>(played - appliedMacros.begin());
    if (place < macros.size() && SameOnKeyboard(*played, macros[place])) return macros[place].id;
    for (const MacroRecord& m : macros)
        if (SameOnKeyboard(*played, m)) return m.id;
    return std::nullopt;
}

// Puts the applied assignment of a slot into the block, with its text when
// it has one; the text's offset is set when the strings are packed.
void TakeSlot(const CurrentCopy& applied, std::size_t map, std::size_t slot, std::uint32_t value, ConfigBlock& block,
              StringSlotTable& strings)
{
    const KeyAssignment& was = *applied.Assignment(map, slot);
    SetAssignment(block.maps[map][slot], was.type, was.aux, value);
    if (!HasStringSlot(was.type)) return;
    const std::size_t index = StringSlotIndex(map, slot);
    // Cannot fail: the applied copy read from a file whose texts fit one.
    if (const std::optional<std::u16string_view> text = applied.Strings().Text(index)) (void)strings.Set(index, *text);
}

void TakeMacroKeySlots(const CurrentCopy& applied, const std::vector<MacroRecord>& macros, ConfigBlock& block,
                       StringSlotTable& strings)
{
    for (std::size_t map = 0; map < wire::kProfileCount; ++map) {
        for (std::size_t slot = kGKeyFirstSlot; slot < kGKeyFirstSlot + kGKeySlotCount; ++slot) {
            const KeyAssignment* was = applied.Assignment(map, slot);
            if (was == nullptr || was->type == AssignmentType::Default ||
                static_cast<std::uint16_t>(was->type) >= kAssignmentTypeCount)
                continue;
            std::uint32_t value = was->value;
            if (was->type == AssignmentType::PlayMacro) {
                const std::optional<std::uint32_t> id = MacroOnKeyboard(applied.Macros(), was->value, macros);
                if (!id) continue;
                value = *id;
            }
            TakeSlot(applied, map, slot, value, block, strings);
        }
    }
}

// Program and text keys in the key tables: their text lives only in the
// program, so a key keeps it while every entry of the key on the keyboard is
// still the one its assignment downloads as.
void TakeStringKeySlots(const CurrentCopy& applied, const std::array<HardwareKeyTable, wire::kProfileCount>& tables,
                        const HardwareKeyTable& defaultTable, ConfigBlock& block, StringSlotTable& strings)
{
    for (std::size_t map = 0; map < wire::kProfileCount; ++map) {
        std::array<bool, kKeyMapSlots> held{}, changed{};
        for (std::size_t p = 0; p < kHardwarePositions; ++p) {
            const std::size_t slot = SlotOfKey(KeyFromTriple(defaultTable[p]));
            const KeyAssignment* was = applied.Assignment(map, slot);
            if (slot == 0 || was == nullptr || !HasStringSlot(was->type)) continue;
            held[slot] = true;
            if (tables[map][p] != EncodeEntry(*was, defaultTable[p], {})) changed[slot] = true;
        }
        for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot)
            if (held[slot] && !changed[slot]) TakeSlot(applied, map, slot, 0, block, strings);
    }
}

} // namespace

ReadBackOutcome ReadKeyboardImage(CommandProtocol& protocol, Transfer& transfer, Reporter& reporter,
                                  std::vector<std::uint8_t>& image, const CurrentCopy* applied)
{
    using Failure = ReadBackOutcome::Failure;
    auto keyboardFailed = [](std::string what, int code) {
        return ReadBackOutcome{Failure::Keyboard, std::move(what), code, false};
    };
    if (transfer.ActiveProfile() == kUnknownProfile)
        return ReadBackOutcome{Failure::Keyboard, "reading the keyboard's active profile", std::nullopt, false};

    std::array<std::array<std::uint8_t, wire::kKeyTableSize>, wire::kProfileCount> tables{};
    std::vector<std::uint8_t> area;
    {
        auto exchanges = protocol.LockExchanges();
        // What is read is noted as what the keyboard holds, unless a read
        // fails: a keyboard that does not answer may not hold what it did.
        struct Noting {
            KnownImage& known;
            bool read = false;
            ~Noting()
            {
                if (!read) known.Forget();
                known.EndTransfer(false);
            }
        } noting{transfer.Known()};
        noting.known.BeginTransfer(false);
        for (int profile = 0; profile < wire::kProfileCount; ++profile) {
            auto& table = tables[static_cast<std::size_t>(profile)];
            const int code = protocol.ReadKeyTable(profile, table);
            if (code != kResultOk) return keyboardFailed("reading key table " + std::to_string(profile), code);
            noting.known.NoteKeyTable(profile, table);
        }
        // The area's first report carries its header and as much of the area
        // as a report takes: an area of n bytes costs the n / 56 reports
        // (rounded up) it fills, not one more for the header alone.
        const std::size_t capacity = transfer.MacroCapacity();
        const std::size_t firstLength =
            capacity == 0 ? wire::kMacroAreaHeaderSize : std::min(capacity, wire::kMaxPayload);
        std::vector<std::uint8_t> first(std::max(firstLength, wire::kMacroAreaHeaderSize));
        if (const int code = protocol.ReadMacroArea(first); code != kResultOk)
            return keyboardFailed("reading the macro area's header", code);
        noting.known.NoteMacroArea(0, first);
        if (ReadLe16(first, wire::kMacroAreaOffMagic) == wire::kMacroAreaMagic) {
            // A length shorter than the header cannot hold what the header
            // announces; such an area is read no further and decodes as
            // nothing below.
            const std::size_t length = ReadLe16(first, wire::kMacroAreaOffLength);
            const std::size_t kept =
                length < wire::kMacroAreaHeaderSize ? wire::kMacroAreaHeaderSize : std::min(length, first.size());
            area.assign(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(kept));
            if (length > first.size()) {
                area.resize(length);
                if (const int code = protocol.ReadMacroArea(first.size(), std::span(area).subspan(first.size()));
                    code != kResultOk)
                    return keyboardFailed("reading the macro area", code);
                noting.known.NoteMacroArea(0, area);
            }
        }
        noting.read = true;
    }

    ReadBackOutcome outcome;
    std::vector<MacroRecord> macros;
    if (!area.empty()) {
        const std::size_t count = ReadLe16(area, wire::kMacroAreaOffCount);
        const std::u16string prefix = TheLanguageTable().Text(kNewMacroPrefixKey);
        Result<std::vector<MacroRecord>> decoded = DecodeMacroArea(area, count, prefix);
        if (decoded) {
            macros = std::move(*decoded);
        } else {
            // The key tables were read whole and stay; only the macros are lost.
            outcome.macrosDropped = true;
            reporter.Inform({std::string(kMacrosUnreadableKey), {decoded.error()}});
        }
    }

    try {
        auto block = std::make_unique<ConfigBlock>();
        block->device = DefaultDeviceBlock();
        const HardwareKeyTable defaultTable = transfer.CurrentDefaultTable();
        std::array<HardwareKeyTable, wire::kProfileCount> decoded{};
        for (std::size_t profile = 0; profile < wire::kProfileCount; ++profile) {
            Result<HardwareKeyTable> table = ReadHardwareKeyTable(tables[profile]);
            if (!table)
                return ReadBackOutcome{Failure::Keyboard,
                                       "decoding key table " + std::to_string(profile) + " (" + table.error() + ")",
                                       std::nullopt, outcome.macrosDropped};
            decoded[profile] = *table;
            block->maps[profile] = DecodeKeyTable(*table, defaultTable);
        }
        auto strings = std::make_unique<StringSlotTable>();
        if (applied != nullptr) {
            TakeMacroKeySlots(*applied, macros, *block, *strings);
            TakeStringKeySlots(*applied, decoded, defaultTable, *block, *strings);
        }
        BuildHeader(block->header, static_cast<std::uint16_t>(macros.size()), strings->StringBytes(),
                    kConfigFlagWritten);
        const std::vector<std::uint8_t> texts = PackStrings(*block, *strings, strings->StringBytes());
        image = ProfileImage(*block, macros, texts);
    } catch (const std::bad_alloc&) {
        return ReadBackOutcome{Failure::File, "no memory for the configuration read", std::nullopt,
                               outcome.macrosDropped};
    }
    return outcome;
}

ReadBackOutcome ReadBack(CommandProtocol& protocol, Transfer& transfer, Reporter& reporter,
                         const std::filesystem::path& path)
{
    std::vector<std::uint8_t> image;
    ReadBackOutcome outcome = ReadKeyboardImage(protocol, transfer, reporter, image);
    if (!outcome.ok()) return outcome;
    if (Status written = WriteFileAtomically(path, image); !written) {
        outcome.failure = ReadBackOutcome::Failure::File;
        outcome.reason = written.error();
    }
    return outcome;
}

} // namespace kestrune
