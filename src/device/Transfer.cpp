#include "device/Transfer.h"

#include "device/CommandProtocol.h"
#include "keymodel/DefaultHardwareTable.h"
#include "lighting/LightingRecords.h"

namespace kestrune {

Transfer::Transfer(CommandProtocol& protocol, Reporter& reporter)
    : m_protocol(protocol), m_reporter(reporter), m_defaultTable(DefaultHardwareTable)
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

bool Transfer::ReadCapacityFromKeyboard()
{
    SettingsRecord settings;
    if (m_protocol.ReadSettings(settings.bytes) != kResultOk) return false;
    m_macroCapacity = settings.MacroCapacityBytes();
    return true;
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

} // namespace kestrune
