#include "device/Transfer.h"

#include "common/LittleEndian.h"
#include "config/ConfigAtomicFile.h"
#include "config/Folders.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "device/CommandProtocol.h"
#include "device/DeviceEvents.h"
#include "device/ReadBack.h"
#include "keymodel/DefaultHardwareTable.h"
#include "macro/MacroArea.h"
#include "wire/SettingsRecord.h"

#include <new>
#include <vector>

namespace kestrune {

namespace {
// The window's message for a profile file it could not write.
constexpr std::string_view kWorkingFileNotWrittenKey = "MAIN_EXPORT_FAILED";
} // namespace

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
    m_known.Forget();
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
    // Without the capacity (the attach could not read it) any macro area would
    // look too big: the settings record is read now, as the attach would
    // have, and a keyboard that cannot tell it (gone, or not answering) fails
    // the download without talk of macro space.
    if (MacroCapacity() == 0 && !ReadSettingsAtAttach()) return kDownloadFailed;
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
    //
    // Only the reports that change what the keyboard is known to hold are
    // sent; the rest would write the bytes already there, so the keyboard
    // ends as a whole download would leave it. With nothing to change,
    // nothing is sent, not even the update's bounds.
    bool allTaken = true;
    {
        auto exchanges = m_protocol.LockExchanges();
        m_known.BeginTransfer(true);
        const std::optional<std::vector<Chunk>> areaChunks = m_known.MacroAreaChunksToSend(area);
        std::vector<std::optional<std::vector<Chunk>>> tableChunks;
        bool changes = !areaChunks || !areaChunks->empty();
        for (std::size_t i = 0; i < profiles.size(); ++i) {
            tableChunks.push_back(m_known.KeyTableChunksToSend(profiles[i], tables[i]));
            changes = changes || !tableChunks.back() || !tableChunks.back()->empty();
        }
        if (changes) {
            bool bounds = m_protocol.BeginUpdate() == kResultOk;
            allTaken = (areaChunks ? m_protocol.WriteMacroArea(area, *areaChunks) : m_protocol.WriteMacroArea(area)) ==
                       kResultOk;
            for (std::size_t i = 0; i < profiles.size(); ++i) {
                const int written = tableChunks[i] ? m_protocol.WriteKeyTable(profiles[i], tables[i], *tableChunks[i])
                                                   : m_protocol.WriteKeyTable(profiles[i], tables[i]);
                allTaken = written == kResultOk && allTaken;
            }
            bounds = m_protocol.EndUpdate() == kResultOk && bounds;
            // A part refused or unanswered may have been half written: what
            // the keyboard holds is no longer known.
            if (allTaken && bounds) {
                m_known.NoteMacroArea(0, area);
                for (std::size_t i = 0; i < profiles.size(); ++i) m_known.NoteKeyTable(profiles[i], tables[i]);
            } else {
                m_known.Forget();
            }
        }
        m_known.EndTransfer(true);
    }

    if (!withNames) m_reporter.Inform({std::string(kNamesDroppedKey), {}});
    return allTaken ? kDownloadSucceeded : kDownloadFailed;
}

int Transfer::ReadBackToFile(const std::filesystem::path& path)
{
    return ReadBack(m_protocol, *this, m_reporter, path).ok() ? 1 : 0;
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
    std::vector<std::uint8_t> image;
    // The working file is what was last sent to the keyboard: the macro keys
    // and the texts of program and text keys, which the keyboard does not
    // hold, come from it. One that is missing or does not read (a first
    // start, a damaged file) leaves them unassigned, as the keyboard's copy
    // that replaces it has them.
    std::optional<CurrentCopy> applied;
    if (path) {
        if (Result<CurrentCopy> copy = ReadProfileCopy(*path)) applied = std::move(*copy);
    }
    if (ActiveProfile() != kUnknownProfile &&
        ReadKeyboardImage(m_protocol, *this, m_reporter, image, applied ? &*applied : nullptr).ok()) {
        // What the keyboard holds is the copy, whether or not the working
        // file can be written; a file that cannot is the user's to know.
        // A file that already holds it (the usual replug) is left alone: no
        // flush to disk stands between the attach and the window coming up.
        const Status written = !path                     ? Status(Error{path.error()})
                               : FileHolds(*path, image) ? Status::Ok()
                                                         : WriteFileAtomically(*path, image);
        if (!written) {
            const std::string name = path ? path->string() : std::string("$Profile0");
            m_reporter.Inform({std::string(kWorkingFileNotWrittenKey), {name, written.error()}});
        }
        Result<CurrentCopy> copy = ParseProfileImage(image);
        if (copy) {
            std::lock_guard lock(m_store.CurrentLock());
            m_store.Current() = std::move(*copy);
            loaded = true;
        }
    }
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
