#pragma once

// Replacing a file the user owns so that it is never torn: the new content
// goes to a temporary file in the same folder, is flushed to the disk, and
// then takes the old file's place in one rename. A crash, a kill or a full
// disk at any moment leaves either the complete old file or the complete new
// one, never a mixture or an empty file.

#include "common/Result.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>

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
};

// Writes bytes to target as described above. A symbolic link at target is
// followed, so the file it names is replaced and the link kept.
Status WriteFileAtomically(const std::filesystem::path& target, std::span<const std::uint8_t> bytes,
                           const AtomicWriteHooks& hooks = {});

} // namespace kestrune
