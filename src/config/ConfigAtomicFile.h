#pragma once

// Replacing a file the user owns so that it is never torn: the new content
// goes to a temporary file in the same folder, is flushed to the disk, and
// then takes the old file's place in one rename. A crash, a kill or a full
// disk at any moment leaves either the complete old file or the complete new
// one, never a mixture or an empty file.
//
// The temporary file is named ".NAME.PID.N.kestrune.tmp" (NAME cut short
// where the whole would pass the folder's name limit). One that a killed
// writer left behind is removed by the next write to its folder: only names
// of that pattern, owned by this user, whose process is gone and which are
// older than the write that finds them.

#include "common/Result.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace kestrune {

// The moments at which a write can be cut short.
enum class AtomicWriteStage {
    TemporaryCreated, // the temporary file exists and is empty
    DataWritten,      // all bytes are in the temporary file, not yet flushed
    DataFlushed,      // the temporary file is on the disk; the target is still the old file
};

struct AtomicWriteHooks {
    // Asked at each stage whether to go on. Returning false abandons the write
    // as a crash or a failing disk at that moment would, except that the
    // temporary file is cleaned up. Unset means always go on.
    std::function<bool(AtomicWriteStage)> proceed;
    // Stand-ins for the system's write(2) and fsync(2) on the temporary
    // file, so a full disk or a failing device can be played: return -1 and
    // set errno. Unset means the system's calls.
    std::function<long(int fd, const void* data, std::size_t size)> write;
    std::function<int(int fd)> fsync;
};

// Whether a file name is one of our temporary names; gives the process id in
// it.
std::optional<long> AtomicTemporaryOwner(std::string_view fileName);

// A replacement that is written and flushed to the disk beside its target but
// not yet in its place. Commit puts it there; dropped uncommitted, it is
// removed and the target stays as it was. Movable, not copyable.
class StagedFile {
public:
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&& other) noexcept;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile();

    // Renames the replacement over the target and makes the rename durable.
    // Once only: a second call fails.
    Status Commit();

    const std::filesystem::path& Target() const { return m_target; }

private:
    friend Result<StagedFile> StageFileAtomically(const std::filesystem::path&, std::span<const std::uint8_t>,
                                                  const AtomicWriteHooks&);
    StagedFile(std::filesystem::path target, std::filesystem::path temporary);

    std::filesystem::path m_target;
    std::filesystem::path m_temporary; // empty once committed or moved from
};

// Everything WriteFileAtomically does up to the rename (each of the hooks'
// stages included), so the slow part can run while something else decides
// whether the new content should replace the old at all. The hooks run on the
// calling thread.
Result<StagedFile> StageFileAtomically(const std::filesystem::path& target, std::span<const std::uint8_t> bytes,
                                       const AtomicWriteHooks& hooks = {});

// Writes bytes to target as described above. A symbolic link at target is
// followed, so the file it names is replaced and the link kept.
Status WriteFileAtomically(const std::filesystem::path& target, std::span<const std::uint8_t> bytes,
                           const AtomicWriteHooks& hooks = {});

// Whether the regular file at path (a link followed) holds exactly bytes.
// False when it cannot be read: the caller then writes it.
bool FileHolds(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

} // namespace kestrune
