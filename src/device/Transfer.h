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
#include "config/ConfigStore.h"
#include "device/KnownImage.h"
#include "keymodel/KeyAssignment.h"
#include "wire/SettingsRecord.h"

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace kestrune {

class CommandProtocol;
class DeviceEventSink;

// Messages of the transfer, by language key.
inline constexpr std::string_view kMacroSpaceExceededKey = "MACRO_SPACE_EXCEEDED";
inline constexpr std::string_view kNamesDroppedKey = "EXTRA_PROFILE_SPACE_TIGHT";
inline constexpr std::string_view kNewMacroPrefixKey = "MACRO_NEW_PREFIX";

inline constexpr int kUnknownProfile = -1;

class Transfer : public ConfigurationDownloader {
public:
    // The store is the one whose current copy a refresh replaces; the window,
    // when there is one, is told about a refresh (RefreshFromKeyboard) and
    // must outlive the transfer.
    Transfer(CommandProtocol& protocol, ConfigStore& store, Reporter& reporter, DeviceEventSink* window = nullptr);

    // --- Per-process values -------------------------------------------------
    // Bytes the keyboard has for the macro area; 0 until read at attach.
    std::size_t MacroCapacity() const { return m_macroCapacity.load(); }
    void SetMacroCapacity(std::size_t bytes) { m_macroCapacity = bytes; }
    // The factory key table: the built-in copy until one is read at attach.
    HardwareKeyTable CurrentDefaultTable() const;
    void SetDefaultTable(const HardwareKeyTable& table);
    // The cached active profile, -1 when unknown; forgotten at detach.
    int CachedActiveProfile() const { return m_activeProfile.load(); }
    // At detach: the active profile and the attach's settings record.
    void ForgetActiveProfile();

    // --- Attach-time reads --------------------------------------------------
    // ReadDefaultKeyTable into the current factory table; false (and the
    // previous table kept) when the keyboard does not give it.
    bool ReadDefaultTableFromKeyboard();
    // ReadSettings and, on success, the macro capacity from its byte 11 and
    // the active profile from its byte 10 (one read serves both), and the
    // record kept for AttachSettings.
    bool ReadSettingsAtAttach();
    // The settings record the last attach read; nothing when that read
    // failed or no keyboard has attached. Forgotten at detach.
    std::optional<SettingsRecord> AttachSettings() const;
    // The result code of that read: kResultOk, the failed read's code, or
    // kResultAbsent when no keyboard has attached.
    int AttachSettingsResult() const;

    // --- Active profile -----------------------------------------------------
    // 0 to 2, or -1 when the keyboard cannot tell.
    int ActiveProfile();
    // Switches the keyboard; a negative profile does nothing.
    void SetActiveProfile(int profile);

    // --- Download -------------------------------------------------------------
    // Sends the snapshot's macro area and the key tables of all three profiles
    // or of the active one, between BeginUpdate and EndUpdate: of each, the
    // reports that change what the keyboard is known to hold (see Known());
    // nothing at all when none does. Gives 1 when
    // the macro area and every key table were taken, else 0. Macros that do not fit even without
    // names send nothing and report kMacroSpaceExceededKey; names that do not
    // fit are left out and kNamesDroppedKey follows the download.
    int DownloadConfiguration(const WorkingSnapshot& snapshot, bool allProfiles) override;

    // --- Read-back ------------------------------------------------------------
    // Rebuilds a whole profile file from the keyboard's three key tables and
    // its macro area. The file is replaced atomically, and only once
    // everything has been read: a failure leaves the old file as it was.
    // Gives 1 on success, 0 on failure.
    int ReadBackToFile(const std::filesystem::path& path);

    // Replaces the current copy with what the keyboard holds, read back
    // through the working profile file, or with a fresh default configuration
    // when the keyboard cannot be read. The macro keys, and the program and
    // text keys with their texts, keep what the working file gave them where
    // the keyboard agrees (see ReadKeyboardImage). Then asks the window to
    // show the keys and, unless leaveApplyState, to clear its unapplied
    // changes. Always 1.
    int RefreshFromKeyboard(bool leaveApplyState);

    // The working profile file; by default the one in the profile folder.
    void SetWorkingProfilePath(std::filesystem::path path);

    // What the keyboard's key tables and macro area are known to hold: noted
    // by the read-back and the download, which then sends only the reports
    // that change something; forgotten at attach and detach, when the
    // keyboard reports a change made on it, and when a transfer fails.
    KnownImage& Known() { return m_known; }

private:
    Result<std::filesystem::path> WorkingPath() const;

    CommandProtocol& m_protocol;
    ConfigStore& m_store;
    Reporter& m_reporter;

    std::atomic<std::size_t> m_macroCapacity{0};
    std::atomic<int> m_activeProfile{kUnknownProfile};
    mutable std::mutex m_tableMutex;
    HardwareKeyTable m_defaultTable;
    std::filesystem::path m_workingPath;            // guarded by m_tableMutex; empty: the profile folder's
    std::optional<SettingsRecord> m_attachSettings; // guarded by m_tableMutex
    int m_attachSettingsResult;                     // guarded by m_tableMutex
    DeviceEventSink* const m_window;
    KnownImage m_known;
};

} // namespace kestrune
