#pragma once

// The one place that does keyboard work for every front end (the window and
// its dialogs, the command line, the tests): it owns the keyboard session
// (the configuration copies and their locks, the transfer, the device events,
// the lighting), the thread that talks to the keyboard, and the operations a
// user asks for. What happens on the keyboard's side reaches the front end as
// domain events through one KeyboardObserver; the front end decides what to
// show for them.
//
// Threading:
// - Create, Start, Stop and the destructor belong to the thread that owns the
//   controller (the window's user-interface thread, the command's main
//   thread). Stop first stops the device events, then the worker.
// - The operations below talk to the keyboard and may take seconds: a front
//   end with a user-interface thread runs them on the controller's worker
//   (RunOnWorker), one after another in the order they were asked for; a
//   command calls them directly. They never wait for a user-interface thread.
// - The observer is called from the device events' threads and from the
//   worker, never while a configuration lock is held by the caller, and must
//   not block.

#include "common/Reporter.h"
#include "common/Result.h"
#include "config/ConfigAtomicFile.h"
#include "device/DeviceEvents.h"
#include "device/ReadBack.h"
#include "keymodel/KeyAssignment.h"
#include "session/DeviceWorker.h"
#include "session/KeyboardSession.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

namespace kestrune {

class CurrentCopy;

// The operations, as OperationFinished names them.
enum class KeyboardOperation {
    Apply,         // the window's Apply: the working file, then the active profile
    ApplyAll,      // the command line's apply: all three profiles, then the working file
    Import,        // a profile file into the configuration and onto the keyboard
    Export,        // the configuration into a profile file
    ReadBack,      // the keyboard's configuration into a profile file
    SwitchProfile, // the keyboard's active profile
    DiscardEdits,  // the configuration back to the working file
    Refresh,       // the configuration read from the keyboard again
    ResetKeys,     // every key of a profile back to its own function
};

// Why the configuration was replaced.
enum class ConfigurationSource {
    Attach,   // the attach read the keyboard (and its lighting)
    Keyboard, // a read of the keyboard asked for by the front end
};

class KeyboardObserver {
public:
    virtual ~KeyboardObserver() = default;

    // The keyboard present at start has begun to be read (the first attach).
    virtual void FirstAttachBegins() {}
    // The configuration (and at an attach the lighting state) was read from
    // the keyboard. unsentEditsKept: the user's edits the keyboard never took
    // were put back over what was read, and remain unapplied; otherwise
    // nothing is unapplied any more.
    virtual void ConfigurationReplaced(ConfigurationSource /*source*/, bool /*unsentEditsKept*/) {}
    // The keyboard went away.
    virtual void Detached() {}
    // A presence change is complete: the keyboard is attached or not, and
    // this was the first attach (of the keyboard present at start).
    virtual void PresenceSettled(bool /*attached*/, bool /*firstAttach*/) {}
    // The bank key switched the macro keys to bank B (or back to A).
    virtual void BankChanged(bool /*bankB*/) {}
    // The user changed the lighting on the keyboard itself.
    virtual void LightingChangedOnKeyboard() {}
    // The keyboard began or ended recording a macro of its own.
    virtual void RecordingChanged(bool /*recording*/) {}
    // An operation has ended, with what it ended with.
    virtual void OperationFinished(KeyboardOperation /*operation*/, const Status& /*status*/) {}
    // Whether the front end can take the presence settling; the attach waits
    // for it. A front end that turns ready calls KeyboardController::FrontEndReady.
    virtual bool ReadyForPresence() const { return true; }
};

struct KeyboardControllerOptions {
    KeyboardSessionOptions session;
    // Null for a front end that hears nothing (a command).
    KeyboardObserver* observer = nullptr;
    // Whether an attach reads the configuration and the lighting state: a
    // front end that shows them wants it; a command reads what it needs.
    bool readAtAttach = true;
};

// The window's Apply: the working file is saved first, and only a saved
// configuration is downloaded.
struct ApplyOutcome {
    Status saved;
    Status downloaded = Error{"not sent: the working profile file was not saved"};
    bool ok() const { return saved.ok() && downloaded.ok(); }
};

// The command line's apply: downloaded to all three profiles, then the
// working profile file follows what the keyboard took.
struct ApplyAllOutcome {
    Status downloaded;
    // Why the working file did not follow a download that was taken.
    std::optional<std::string> fileProblem;
};

// An import: the file read, the working file saved, the download made.
struct ImportOutcome {
    Status read;
    Status saved;
    Status downloaded = Error{"not sent"};
};

class KeyboardController : private DeviceEventListener {
public:
    // Binds the library and builds the session with this controller as its
    // listener; nothing runs until Start().
    static Result<std::unique_ptr<KeyboardController>> Create(KeyboardControllerOptions options, Reporter& reporter);

    ~KeyboardController() override;
    KeyboardController(const KeyboardController&) = delete;
    KeyboardController& operator=(const KeyboardController&) = delete;

    // Before Start: no attach counts as the first (a start in the tray).
    void SkipFirstAttach();
    // Starts the device events; see KeyboardSession::Start.
    Status Start();
    Status StartAndWaitForAttach();
    void WaitForAttach();
    // Stops the device events, then the worker (the job in progress ends,
    // queued ones are dropped). Idempotent.
    void Stop();
    // The observer's ReadyForPresence has turned true.
    void FrontEndReady();

    // --- State, from any thread ---------------------------------------------
    bool Attached() const;
    bool BankB() const;
    // The active profile as last read, -1 when unknown.
    int ActiveProfile() const;
    std::size_t MacroCapacity() const;
    // Edits the keyboard has not taken yet.
    bool UnappliedEdits() const { return m_unappliedEdits.load(); }
    void SetUnappliedEdits(bool pending) { m_unappliedEdits = pending; }

    // --- The worker -----------------------------------------------------------
    // Queues a job behind every job queued before it. The future is ready when
    // it has run, or broken when the worker stopped first.
    std::future<void> RunOnWorker(std::function<void()> job) { return m_worker.Run(std::move(job)); }
    bool OnWorkerThread() const { return m_worker.OnWorkerThread(); }
    int PendingJobs() const { return m_worker.Pending(); }
    void StopWorker() { m_worker.Stop(); }

    // --- Operations (on the worker, or on a command's own thread) ------------
    // Saves the working profile file, then downloads the active profile.
    ApplyOutcome ApplyActiveProfile();
    // Makes `copy` the configuration and downloads all three profiles; the
    // working profile file (when there is one) then follows what the keyboard
    // took. Without a working path, its error is the file problem of a
    // download that was taken.
    ApplyAllOutcome ApplyAllProfiles(CurrentCopy copy, const Result<std::filesystem::path>& workingProfilePath,
                                     const AtomicWriteHooks& hooks = {});
    // Reads the profile file once, and only then replaces the configuration,
    // saves the working file and downloads all three profiles. A file that
    // does not read changes nothing.
    ImportOutcome ImportProfileFile(const std::filesystem::path& path);
    Status ExportProfileFile(const std::filesystem::path& path);
    // Rebuilds a whole profile file from the keyboard (see ReadBack.h).
    ReadBackOutcome ReadBackToFile(const std::filesystem::path& path);
    // Switches the keyboard to profile 0 to 2; a negative profile leaves it
    // where it is. Fails when the keyboard did not switch.
    Status SwitchProfile(int profile);
    // The configuration back to what the working profile file holds: the
    // user let the unapplied edits go.
    Status DiscardUnappliedEdits();
    // Reads the configuration from the keyboard again (ConfigurationReplaced).
    Status RefreshFromKeyboard();
    // Every key of the profile, and the macro keys of the bank, back to their
    // own function; the macro keys keep their identity. An unapplied edit.
    Status ResetAssignments(int profile, GKeyBank bank);
    // Reads the lighting state again (see Lighting::ReadLightingState).
    Status RereadLighting(bool withKeyColours);

    // --- The parts, for what is not an operation yet --------------------------
    KeyboardSession& Session() { return *m_session; }
    ConfigStore& Store() { return m_session->Store(); }
    Transfer& GetTransfer() { return m_session->GetTransfer(); }
    Lighting& GetLighting() { return m_session->GetLighting(); }
    DeviceEvents& Events() { return m_session->Events(); }
    CommandProtocol& Protocol() { return m_session->Protocol(); }

private:
    KeyboardController(KeyboardObserver* observer, bool readAtAttach);

    // DeviceEventListener
    void FirstAttachBegins() override;
    void AttachReadsDone() override;
    void Detached() override;
    bool Ready() const override;
    void PresenceSettled(bool attached, bool firstAttach) override;
    void BankChanged(bool bankB) override;
    void LightingChangedOnKeyboard() override;
    void RecordingChanged(bool recording) override;

    void RefreshAtAttach();
    // Tells the observer an operation ended; Finished also gives the status back.
    void Tell(KeyboardOperation operation, const Status& status);
    Status Finished(KeyboardOperation operation, Status status);

    KeyboardObserver* const m_observer;
    const bool m_readAtAttach;
    std::atomic<bool> m_unappliedEdits{false};
    // Declared before the session: the worker's jobs use the session, so the
    // worker stops (in Stop, or here by destruction order) before it goes.
    std::unique_ptr<KeyboardSession> m_session;
    DeviceWorker m_worker;
};

} // namespace kestrune
