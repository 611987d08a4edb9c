#pragma once

// Profile files: the configuration block (all four key maps), then the macro
// records in list order, then the string area with the texts of program and
// text-block keys. The working profile file, exports, backups and the profile
// manager's files all share this format.
//
// Writes replace the file atomically (see ConfigAtomicFile.h): whatever
// happens during a write, the old file or the complete new one is there.

#include "config/ConfigAtomicFile.h"
#include "config/ConfigBlock.h"
#include "config/ConfigStore.h"
#include "config/ProfileFileCheck.h"
#include "macro/MacroRecord.h"

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrune {

inline constexpr const char* kProfileFileExtension = "kpf";

// Reads a whole file image (as loaded from disk, possibly longer than its
// header says) into a copy: the block, the macro records and one text per
// program or text-block key. Fails when the image is shorter than the header
// announces, holds more than kMaxMacros macros, or its sizes do not add up.
// A key whose offset lies outside the string area, or whose text has no
// terminator inside it, gets no text. Keys pointing at one text each get it;
// the copy holds the area's texts once, so its memory stays within the
// image's size. Fails when the texts would not fit a profile file written
// again. Nothing outside the image is ever read. 'slots' says which action
// slots of the macro records are decoded.
Result<CurrentCopy> ParseProfileImage(std::span<const std::uint8_t> image, ActionSlots slots = ActionSlots::All);

// The file's configuration as a copy of its own, touching no store; what
// ReadProfileFile puts into the store.
Result<CurrentCopy> ReadProfileCopy(const std::filesystem::path& path);

// Loads the file into the store's current copy, replacing it whole on
// success and leaving it untouched on failure. Takes CurrentLock only for the
// exchange, so the file is read without holding it. Does not check the header
// beyond the sizes; run ValidateProfileFile first on files from the user.
Status ReadProfileFile(ConfigStore& store, const std::filesystem::path& path);

// A profile file the user chose, opened and read once: the check of
// ValidateProfileFile (telling the reporter what it tells), then the parse
// of ParseProfileImage. Touches no store, so it needs no lock.
Result<CurrentCopy> LoadProfileFile(const std::filesystem::path& path, Reporter& reporter,
                                    ActionSlots slots = ActionSlots::All);

// The bytes of a profile file holding block, macros and string area, in that
// order. The block is written as it is: its header should describe the parts.
std::vector<std::uint8_t> ProfileImage(const ConfigBlock& block, std::span<const MacroRecord> macros,
                                       std::span<const std::uint8_t> strings);

// Writes a profile file from parts (as a read-back from the keyboard builds
// them), atomically.
Status WriteProfileImage(const std::filesystem::path& path, const ConfigBlock& block,
                         std::span<const MacroRecord> macros, std::span<const std::uint8_t> strings,
                         const AtomicWriteHooks& hooks = {});

// Writes the current copy: rebuilds the block's header for its macros and
// texts (flag 0) and packs the texts, which also refreshes their offsets in
// the block. Takes CurrentLock. Fails without touching the file when the copy
// has no block or more than kMaxMacros macros.
Status WriteProfileFile(ConfigStore& store, const std::filesystem::path& path, const AtomicWriteHooks& hooks = {});

// Writes the current copy to the working profile file, but only when that
// file already exists; a missing file is a failure and stays missing.
Status SaveWorkingProfileFile(ConfigStore& store, const std::filesystem::path& workingProfilePath);
// The same at WorkingProfilePath() (creating the profile folder).
Status SaveWorkingProfileFile(ConfigStore& store);

// The working profile file made to follow a download, so that it describes
// what the keyboard then holds. The file's new content (the snapshot as a
// profile file, what SaveWorkingProfileFile would write of the same copy) is
// made, written and flushed beside it on a thread of its own while the
// download runs, and takes the old file's place only when Finish hears the
// download was taken; otherwise it is removed and the old file stays as it
// was. A missing working file stays missing. The hooks run on the writing
// thread.
class WorkingFileUpdate {
public:
    WorkingFileUpdate(std::shared_ptr<const WorkingSnapshot> snapshot, std::filesystem::path workingProfilePath,
                      AtomicWriteHooks hooks = {});
    // Waits for the writing thread; a replacement never committed is removed.
    ~WorkingFileUpdate();
    WorkingFileUpdate(const WorkingFileUpdate&) = delete;
    WorkingFileUpdate& operator=(const WorkingFileUpdate&) = delete;

    // After the download: why the file did not follow a download that was
    // taken; nothing when it did, when there is no working file, and when the
    // download was not taken (the file is then left alone).
    std::optional<std::string> Finish(bool downloadTaken);

private:
    std::shared_ptr<const WorkingSnapshot> m_snapshot;
    std::filesystem::path m_path;
    AtomicWriteHooks m_hooks;
    bool m_missing = false;
    std::optional<Result<StagedFile>> m_staged;
    std::future<Result<StagedFile>> m_staging;
};

} // namespace kestrune
