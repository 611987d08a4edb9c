#include "config/ConfigStore.h"

#include "config/ConfigAtomicFile.h"

#include <algorithm>
#include <array>
#include <new>

namespace kestrune {

std::vector<std::uint16_t> WorkingSnapshot::MacroIds() const
{
    std::vector<std::uint16_t> ids;
    ids.reserve(macros.size());
    for (const MacroRecord& macro : macros) ids.push_back(macro.id);
    return ids;
}

CurrentCopy::CurrentCopy() : m_strings(std::make_unique<StringSlotTable>()) {}

KeyAssignment* CurrentCopy::Assignment(std::size_t map, std::size_t slot)
{
    if (!m_block || map >= kConfigKeyMapCount || slot >= kKeyMapSlots) return nullptr;
    return &m_block->maps[map][slot];
}

const KeyAssignment* CurrentCopy::Assignment(std::size_t map, std::size_t slot) const
{
    return const_cast<CurrentCopy*>(this)->Assignment(map, slot);
}

bool CurrentCopy::AnyKeyPlaysMacro(std::uint16_t id) const
{
    if (!m_block) return false;
    for (std::size_t i = 0; i < kStringSlotCount; ++i) {
        const KeyAssignment& a = m_block->AssignmentAt(i);
        if (a.type == AssignmentType::PlayMacro && a.value == id) return true;
    }
    return false;
}

void CurrentCopy::Empty()
{
    m_strings->ClearAll();
    m_macros.clear();
    m_macros.shrink_to_fit();
    m_block.reset();
}

std::shared_ptr<const WorkingSnapshot> ConfigStore::WorkingCopy() const
{
    std::lock_guard lock(m_workingLock);
    return m_working;
}

void ConfigStore::EmptyCurrentCopy()
{
    std::lock_guard lock(m_currentLock);
    m_current.Empty();
}

void ConfigStore::EmptyWorkingCopy()
{
    std::lock_guard lock(m_workingLock);
    m_working.reset();
}

bool ConfigStore::CreateDefaultConfiguration(std::uint8_t flag)
{
    std::lock_guard lock(m_currentLock);
    m_current.Empty();
    try {
        m_current.SetBlock(MakeDefaultConfigBlock(flag));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

Result<std::shared_ptr<const WorkingSnapshot>> ConfigStore::TakeWorkingSnapshot()
{
    std::lock_guard current(m_currentLock);
    std::lock_guard working(m_workingLock);
    m_working.reset();
    ConfigBlock* block = m_current.Block();
    if (block == nullptr) return Error{"there is no configuration to send"};
    if (m_current.MacroCount() > kMaxMacros)
        return Error{"the configuration holds " + std::to_string(m_current.MacroCount()) + " macros, more than the " +
                     std::to_string(kMaxMacros) + " the keyboard can take"};

    std::shared_ptr<WorkingSnapshot> snapshot;
    try {
        snapshot = std::make_shared<WorkingSnapshot>();
        const std::uint32_t stringBytes = m_current.StringBytes();
        snapshot->strings = PackStrings(*block, m_current.Strings(), stringBytes);
        snapshot->block = *block;
        BuildHeader(snapshot->block.header, static_cast<std::uint16_t>(m_current.MacroCount()), stringBytes,
                    kConfigFlagWritten);
        snapshot->macros = m_current.Macros();
    } catch (const std::bad_alloc&) {
        return Error{"no memory for a copy of the configuration to send"};
    }
    m_working = snapshot;
    return std::shared_ptr<const WorkingSnapshot>(std::move(snapshot));
}

Status CreateDefaultConfiguration(const std::filesystem::path& path, std::uint8_t flag)
{
    try {
        const std::unique_ptr<ConfigBlock> block = MakeDefaultConfigBlock(flag);
        std::vector<std::uint8_t> bytes(kConfigBlockSize);
        ConfigBlockToBytes(*block, std::span<std::uint8_t, kConfigBlockSize>(bytes.data(), kConfigBlockSize));
        return WriteFileAtomically(path, bytes);
    } catch (const std::bad_alloc&) {
        return Error{"no memory for a configuration block of " + std::to_string(kConfigBlockSize) + " bytes"};
    }
}

} // namespace kestrune
