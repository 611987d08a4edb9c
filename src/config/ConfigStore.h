#pragma once

// The configuration in memory, twice: the CurrentCopy that the windows edit
// and that profile files are saved from and loaded into, and the WorkingCopy,
// a snapshot of it taken for a download to the keyboard. The store only
// keeps them; sending a snapshot is the transfer's (device/Transfer.h).
//
// Threading rules
// - CurrentLock guards the CurrentCopy, WorkingLock the WorkingCopy. Both are
//   recursive: a holder may call anything here that takes the lock again.
// - Lock order: CurrentLock before WorkingLock. A thread that holds
//   WorkingLock without CurrentLock must not take CurrentLock.
// - Current() hands out the copy itself: hold CurrentLock for as long as you
//   use it or anything obtained from it (assignments, texts, macros).
// - TakeWorkingSnapshot takes both locks (in that order) and builds a new
//   WorkingSnapshot. The snapshot carries everything a download needs,
//   including the macro list for MacroPosition, so a download never needs
//   CurrentLock. Whoever downloads it (the transfer) holds CurrentLock for the
//   download when the copy must not change meanwhile, and never takes either
//   lock on another thread while it waits for that download.
// - A WorkingSnapshot never changes once published: a new snapshot replaces
//   the pointer, it is not edited in place.
// - The profile-file operations (ProfileFile.h) take CurrentLock themselves,
//   so they follow the same order: not from a thread that holds only
//   WorkingLock.

#include "config/ConfigBlock.h"
#include "config/StringSlotTable.h"
#include "keymodel/KeyAssignment.h"
#include "macro/MacroRecord.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrune {

// What a download sends: a copy of the current configuration with its header
// rebuilt for the macros and strings it carries (flag 0) and its strings
// packed.
struct WorkingSnapshot {
    ConfigBlock block;
    std::vector<MacroRecord> macros;
    std::vector<std::uint8_t> strings; // the packed string area

    // Ids of the macro list in list order, as EncodeKeyTable wants them.
    std::vector<std::uint16_t> MacroIds() const;
};

class CurrentCopy {
public:
    CurrentCopy();

    bool HasBlock() const { return m_block != nullptr; }
    ConfigBlock* Block() { return m_block.get(); }
    const ConfigBlock* Block() const { return m_block.get(); }
    // Replaces the block; the macros and texts stay.
    void SetBlock(std::unique_ptr<ConfigBlock> block) { m_block = std::move(block); }

    // The assignment in slot of key map map; nullptr without a block or for a
    // map or slot out of range.
    KeyAssignment* Assignment(std::size_t map, std::size_t slot);
    const KeyAssignment* Assignment(std::size_t map, std::size_t slot) const;

    // The texts of program and text-block keys: string slot 512 x map + slot.
    StringSlotTable& Strings() { return *m_strings; }
    const StringSlotTable& Strings() const { return *m_strings; }
    std::uint32_t StringBytes() const { return m_strings->StringBytes(); }

    std::vector<MacroRecord>& Macros() { return m_macros; }
    const std::vector<MacroRecord>& Macros() const { return m_macros; }
    std::size_t MacroCount() const { return m_macros.size(); }

    // Whether any slot of the four key maps plays the macro with this id.
    // Exactly the four maps are searched, every slot of each, which is also
    // where the key dialog resets keys whose macro went away.
    bool AnyKeyPlaysMacro(std::uint16_t id) const;

    // Drops every text, every macro and the block.
    void Empty();

private:
    std::unique_ptr<ConfigBlock> m_block;
    std::vector<MacroRecord> m_macros;
    std::unique_ptr<StringSlotTable> m_strings; // 2048 slots: kept off the stack and the copy's footprint
};

class ConfigStore {
public:
    ConfigStore() = default;
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    std::recursive_mutex& CurrentLock() const { return m_currentLock; }
    std::recursive_mutex& WorkingLock() const { return m_workingLock; }

    // Hold CurrentLock while using the copy.
    CurrentCopy& Current() { return m_current; }
    const CurrentCopy& Current() const { return m_current; }

    // The last snapshot, or nullptr when the working copy is empty. Takes
    // WorkingLock; the snapshot itself needs no lock.
    std::shared_ptr<const WorkingSnapshot> WorkingCopy() const;

    // Each takes its copy's lock.
    void EmptyCurrentCopy();
    void EmptyWorkingCopy();

    // Gives the current copy a configuration built from scratch (see
    // MakeDefaultConfigBlock), replacing whatever it held. Takes CurrentLock.
    // False when memory is short; the current copy is then left empty.
    bool CreateDefaultConfiguration(std::uint8_t flag = kConfigFlagWritten);

    // Copies the current configuration into a new working snapshot (packing
    // the strings, which also refreshes the string offsets in the current
    // block), keeps it as the working copy and gives it. Fails, leaving the
    // working copy empty, when the current copy has no block, holds more than
    // kMaxMacros macros, or memory is short.
    Result<std::shared_ptr<const WorkingSnapshot>> TakeWorkingSnapshot();

private:
    mutable std::recursive_mutex m_currentLock;
    mutable std::recursive_mutex m_workingLock;
    CurrentCopy m_current;
    std::shared_ptr<const WorkingSnapshot> m_working;
};

// Writes a configuration built from scratch as a new file of kConfigBlockSize
// bytes (replacing any file of that name atomically).
Status CreateDefaultConfiguration(const std::filesystem::path& path, std::uint8_t flag = kConfigFlagWritten);

} // namespace kestrune
