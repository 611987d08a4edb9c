#include "device/Transfer.h"

#include "common/LittleEndian.h"
#include "config/ConfigAtomicFile.h"
#include "config/Folders.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "device/CommandProtocol.h"
#include "device/DeviceEvents.h"
#include "keymodel/DefaultHardwareTable.h"
#include "macro/MacroArea.h"
#include "wire/SettingsRecord.h"

#include <new>
#include <vector>

namespace kestrune {

Transfer::Transfer(CommandProtocol& protocol, ConfigStore& store, Reporter& reporter, DeviceEventSink* window)
    : m_protocol(protocol), m_store(store), m_reporter(reporter), m_defaultTable(DefaultHardwareTable), m_window(window)
{
}

HardwareKeyTable Transfer::CurrentDefaultTable() const
{
    std::lock_guard lock(m_tableMutex);
    return m_defaultTable;
}

void Transfer::SetDefaultTable(const HardwareKeyTable& table)
{
    std::lock_guard lock(m_tableMutex);
    m_defaultTable = table;
}

bool Transfer::ReadDefaultTableFromKeyboard()
{
    std::array<std::uint8_t, wire::kKeyTableSize> bytes{};
    if (m_protocol.ReadDefaultKeyTable(bytes) != kResultOk) return false;
    Result<HardwareKeyTable> table = ReadHardwareKeyTable(bytes);
    if (!table) return false;
    SetDefaultTable(*table);
    return true;
}

bool Transfer::ReadSettingsAtAttach()
{
    SettingsRecord settings;
    if (const int result = m_protocol.ReadSettings(settings.bytes); result != kResultOk) {
        std::lock_guard lock(m_tableMutex);
        m_attachSettings.reset();
        m_attachSettingsResult = result;
        return false;
    }
    m_macroCapacity = settings.MacroCapacityBytes();
    // What ActiveProfile would read next: a read-back or a download of the
    // active profile right after the attach needs no second read.
    const int profile = settings.ActiveProfileByte();
    if (profile < wire::kProfileCount) m_activeProfile = profile;
    std::lock_guard lock(m_tableMutex);
    m_attachSettings = settings;
    m_attachSettingsResult = kResultOk;
    return true;
}

std::optional<SettingsRecord> Transfer::AttachSettings() const
{
    std::lock_guard lock(m_tableMutex);
    return m_attachSettings;
}

int Transfer::AttachSettingsResult() const
{
    std::lock_guard lock(m_tableMutex);
    return m_attachSettingsResult;
}

void Transfer::ForgetActiveProfile()
{
    m_activeProfile = kUnknownProfile;
    std::lock_guard lock(m_tableMutex);
    m_attachSettings.reset();
    m_attachSettingsResult = kResultAbsent;
}

int Transfer::ActiveProfile()
{
    const int cached = m_activeProfile.load();
    if (cached != kUnknownProfile) return cached;
    SettingsRecord settings;
    if (m_protocol.ReadSettings(settings.bytes) != kResultOk) return kUnknownProfile;
    const int profile = settings.ActiveProfileByte();
    // A profile the keyboard cannot have is as good as no answer.
    if (profile >= wire::kProfileCount) return kUnknownProfile;
    m_activeProfile = profile;
    return profile;
}

void Transfer::SetActiveProfile(int profile)
{
    if (profile < 0 || profile >= wire::kProfileCount) return;
    auto exchanges = m_protocol.LockExchanges();
    SettingsRecord settings;
    if (m_protocol.ReadSettings(settings.bytes) != kResultOk) return;
    settings.SetActiveProfileByte(static_cast<std::uint8_t>(profile));
    m_activeProfile = m_protocol.WriteSettings(settings.bytes) == kResultOk ? profile : kUnknownProfile;
}

int Transfer::DownloadConfiguration(const WorkingSnapshot& snapshot, bool allProfiles)
{
    const MacroAreaSize sizes = MacroAreaSizes(snapshot.macros);
    const std::size_t capacity = MacroCapacity();
    if (sizes.withoutNames > capacity) {
        m_reporter.Inform({std::string(kMacroSpaceExceededKey), {}});
        return kDownloadFailed;
    }
    const bool withNames = sizes.withNames <= capacity;
    const std::size_t areaLength = withNames ? sizes.withNames : sizes.withoutNames;
    std::vector<std::uint8_t> area(areaLength);
    if (!EncodeMacroArea(snapshot.macros, areaLength, withNames, area)) return kDownloadFailed;

    std::vector<int> profiles;
    if (allProfiles) {
        profiles = {0, 1, 2};
    } else {
        const int active = ActiveProfile();
        if (active == kUnknownProfile) return kDownloadFailed;
        profiles = {active};
    }

    const HardwareKeyTable defaultTable = CurrentDefaultTable();
    const std::vector<std::uint16_t> macroIds = snapshot.MacroIds();
    std::vector<std::array<std::uint8_t, wire::kKeyTableSize>> tables;
    for (int profile : profiles)
        tables.push_back(HardwareKeyTableToBytes(
            EncodeKeyTable(snapshot.block.maps[static_cast<std::size_t>(profile)], defaultTable, macroIds)));

    // One sequence: no other command may land between BeginUpdate and EndUpdate.
    // Every key table is sent even after one fails, but the download only
    // succeeds when the keyboard took the macro area and every table: keys
    // that play macros the keyboard does not hold are no success.
    bool allTaken = true;
    {
        auto exchanges = m_protocol.LockExchanges();
        m_protocol.BeginUpdate();
        allTaken = m_protocol.WriteMacroArea(area) == kResultOk;
        for (std::size_t i = 0; i < profiles.size(); ++i)
            allTaken = m_protocol.WriteKeyTable(profiles[i], tables[i]) == kResultOk && allTaken;
        m_protocol.EndUpdate();
    }

    if (!withNames) m_reporter.Inform({std::string(kNamesDroppedKey), {}});
    return allTaken ? kDownloadSucceeded : kDownloadFailed;
}

int Transfer::ReadBackToFile(const std::filesystem::path& path)
{
    const int active = ActiveProfile();
    if (active == kUnknownProfile) return 0;

    std::array<std::array<std::uint8_t, wire::kKeyTableSize>, wire::kProfileCount> tables{};
    std::vector<std::uint8_t> area;
    {
        auto exchanges = m_protocol.LockExchanges();
        for (int profile = 0; profile < wire::kProfileCount; ++profile)
            if (m_protocol.ReadKeyTable(profile, tables[static_cast<std::size_t>(profile)]) != kResultOk) return 0;

        std::array<std::uint8_t, wire::kMacroAreaHeaderSize> header{};
        if (m_protocol.ReadMacroArea(header) != kResultOk) return 0;
        if (ReadLe16(header, wire::kMacroAreaOffMagic) == wire::kMacroAreaMagic) {
            const std::size_t length = ReadLe16(header, wire::kMacroAreaOffLength);
            // A length shorter than the header cannot hold what the header announces.
            if (length < wire::kMacroAreaHeaderSize) return 0;
            area.resize(length);
            if (m_protocol.ReadMacroArea(area) != kResultOk) return 0;
        }
    }

    std::vector<MacroRecord> macros;
    if (!area.empty()) {
        const std::size_t count = ReadLe16(area, wire::kMacroAreaOffCount);
        const std::u16string prefix = TheLanguageTable().Text(kNewMacroPrefixKey);
        // An area that does not hold together is an error, not an empty list:
        // the keys that play its macros would otherwise point at nothing.
        Result<std::vector<MacroRecord>> decoded = DecodeMacroArea(area, count, prefix);
        if (!decoded) return 0;
        macros = std::move(*decoded);
    }

    try {
        auto block = std::make_unique<ConfigBlock>();
        BuildHeader(block->header, static_cast<std::uint16_t>(macros.size()), 0, kConfigFlagWritten);
        block->device = DefaultDeviceBlock();
        const HardwareKeyTable defaultTable = CurrentDefaultTable();
        for (std::size_t profile = 0; profile < wire::kProfileCount; ++profile) {
            Result<HardwareKeyTable> table = ReadHardwareKeyTable(tables[profile]);
            if (!table) return 0;
            block->maps[profile] = DecodeKeyTable(*table, defaultTable);
        }
        return WriteProfileImage(path, *block, macros, {}) ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

void Transfer::SetWorkingProfilePath(std::filesystem::path path)
{
    std::lock_guard lock(m_tableMutex);
    m_workingPath = std::move(path);
}

Result<std::filesystem::path> Transfer::WorkingPath() const
{
    {
        std::lock_guard lock(m_tableMutex);
        if (!m_workingPath.empty()) return m_workingPath;
    }
    return WorkingProfilePath();
}

int Transfer::RefreshFromKeyboard(bool leaveApplyState)
{
    // WorkingProfilePath creates the profile folder.
    const Result<std::filesystem::path> path = WorkingPath();
    bool loaded = false;
    if (path && ActiveProfile() != kUnknownProfile && ReadBackToFile(*path) == 1)
        loaded = static_cast<bool>(ReadProfileFile(m_store, *path));
    if (!loaded) {
        std::lock_guard lock(m_store.CurrentLock());
        m_store.EmptyCurrentCopy();
        m_store.CreateDefaultConfiguration(kConfigFlagWritten);
    }
    if (m_window != nullptr) {
        m_window->RefreshKeyDisplay();
        if (!leaveApplyState) m_window->ClearUnappliedChanges();
    }
    return 1;
}

} // namespace kestrune
