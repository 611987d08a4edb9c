#include "device/ReadBack.h"

#include "common/LittleEndian.h"
#include "config/ConfigAtomicFile.h"
#include "config/ConfigBlock.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "device/CommandProtocol.h"
#include "device/Transfer.h"
#include "macro/MacroArea.h"

#include <array>
#include <memory>
#include <new>

namespace kestrune {

ReadBackOutcome ReadKeyboardImage(CommandProtocol& protocol, Transfer& transfer, Reporter& reporter,
                                  std::vector<std::uint8_t>& image)
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
        for (int profile = 0; profile < wire::kProfileCount; ++profile) {
            const int code = protocol.ReadKeyTable(profile, tables[static_cast<std::size_t>(profile)]);
            if (code != kResultOk) return keyboardFailed("reading key table " + std::to_string(profile), code);
        }
        std::array<std::uint8_t, wire::kMacroAreaHeaderSize> header{};
        if (const int code = protocol.ReadMacroArea(header); code != kResultOk)
            return keyboardFailed("reading the macro area's header", code);
        if (ReadLe16(header, wire::kMacroAreaOffMagic) == wire::kMacroAreaMagic) {
            // A length shorter than the header cannot hold what the header
            // announces; such an area is read no further and decodes as
            // nothing below.
            const std::size_t length = ReadLe16(header, wire::kMacroAreaOffLength);
            area.assign(header.begin(), header.end());
            if (length >= wire::kMacroAreaHeaderSize) {
                area.resize(length);
                if (const int code = protocol.ReadMacroArea(area); code != kResultOk)
                    return keyboardFailed("reading the macro area", code);
            }
        }
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
        BuildHeader(block->header, static_cast<std::uint16_t>(macros.size()), 0, kConfigFlagWritten);
        block->device = DefaultDeviceBlock();
        const HardwareKeyTable defaultTable = transfer.CurrentDefaultTable();
        for (std::size_t profile = 0; profile < wire::kProfileCount; ++profile) {
            Result<HardwareKeyTable> table = ReadHardwareKeyTable(tables[profile]);
            if (!table)
                return ReadBackOutcome{Failure::Keyboard,
                                       "decoding key table " + std::to_string(profile) + " (" + table.error() + ")",
                                       std::nullopt, outcome.macrosDropped};
            block->maps[profile] = DecodeKeyTable(*table, defaultTable);
        }
        image = ProfileImage(*block, macros, {});
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
