#pragma once

// Moves configuration between the program and the keyboard: the download of
// the working copy (macro area and key tables), the attach-time reads of the
// factory key table and the macro capacity, the active profile, and the
// read-back that rebuilds a whole configuration from the keyboard.
//
// Threading rules:
// - Every operation that talks to the keyboard may take seconds when the
//   keyboard does not answer; the user interface runs them on a worker
//   thread, never on its own. Messages for the user go to the Reporter, from
//   the thread that runs the operation.
// - The per-process values (macro capacity, active-profile cache, the current
//   factory table) are safe to read and change from any thread.
// - DownloadConfiguration runs inside the store's WorkingLock, taken by the
//   store's snapshot, and reads only the working copy: macro positions come
//   from the snapshot's macro list, which the snapshot copied under both
//   locks, so the download never waits for CurrentLock.
// - RefreshFromKeyboard takes CurrentLock only to replace the current copy,
//   after the keyboard has been read; it asks the window to redraw after the
//   lock is left.

#include "common/Reporter.h"
#include "keymodel/KeyAssignment.h"

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

namespace kestrune {

class CommandProtocol;
class DeviceEventSink;

// The text shown when the macros do not fit the keyboard even without names.
inline constexpr std::string_view kMacroSpaceExceededText =
    "Macro space exceeds the hardware space.\r\n Please reduce the number of macros or macro action "
    "number\xEF\xBC\x8C"
    "and then download.";

inline constexpr int kUnknownProfile = -1;

class Transfer {
public:
    Transfer(CommandProtocol& protocol, Reporter& reporter);

    // --- Per-process values -------------------------------------------------
    // Bytes the keyboard has for the macro area; 0 until read at attach.
    std::size_t MacroCapacity() const { return m_macroCapacity.load(); }
    void SetMacroCapacity(std::size_t bytes) { m_macroCapacity = bytes; }
    // The factory key table: the built-in copy until one is read at attach.
    HardwareKeyTable CurrentDefaultTable() const;
    void SetDefaultTable(const HardwareKeyTable& table);
    // The cached active profile, -1 when unknown; forgotten at detach.
    int CachedActiveProfile() const { return m_activeProfile.load(); }
    void ForgetActiveProfile() { m_activeProfile = kUnknownProfile; }

    // --- Attach-time reads --------------------------------------------------
    // ReadDefaultKeyTable into the current factory table; false (and the
    // previous table kept) when the keyboard does not give it.
    bool ReadDefaultTableFromKeyboard();
    // ReadSettings and, on success, the macro capacity from its byte 11.
    bool ReadCapacityFromKeyboard();

    // --- Active profile -----------------------------------------------------
    // 0 to 2, or -1 when the keyboard cannot tell.
    int ActiveProfile();
    // Switches the keyboard; a negative profile does nothing.
    void SetActiveProfile(int profile);

private:
    CommandProtocol& m_protocol;
    Reporter& m_reporter;

    std::atomic<std::size_t> m_macroCapacity{0};
    std::atomic<int> m_activeProfile{kUnknownProfile};
    mutable std::mutex m_tableMutex;
    HardwareKeyTable m_defaultTable;
};

} // namespace kestrune
