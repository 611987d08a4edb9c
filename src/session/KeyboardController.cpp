#include "session/KeyboardController.h"

#include "config/Folders.h"
#include "config/ProfileFile.h"
#include "keymodel/KeyCodes.h"

#include <chrono>
#include <mutex>

namespace kestrune {

namespace {

// How often the attach thread, waiting for its refresh on the worker, looks
// whether shutdown has begun.
constexpr std::chrono::milliseconds kWorkerPoll{50};

// Swallows the file check's message for an import: that message says the
// default settings were restored, true where the working file is read but
// not for an import, which leaves everything as it was and says so itself.
class QuietReporter : public Reporter {
public:
    void Inform(const UserMessage&) override {}
    bool Ask(const UserMessage&) override { return false; }
};

} // namespace

Result<std::unique_ptr<KeyboardController>> KeyboardController::Create(KeyboardControllerOptions options,
                                                                       Reporter& reporter)
{
    std::unique_ptr<KeyboardController> controller(new KeyboardController(options.observer, options.readAtAttach));
    options.session.listener = controller.get();
    auto session = KeyboardSession::Create(std::move(options.session), reporter);
    if (!session) return Error{session.error()};
    controller->m_session = std::move(*session);
    return controller;
}

KeyboardController::KeyboardController(KeyboardObserver* observer, bool readAtAttach)
    : m_observer(observer), m_readAtAttach(readAtAttach)
{
}

KeyboardController::~KeyboardController()
{
    Stop();
}

void KeyboardController::SkipFirstAttach()
{
    m_session->Events().SkipFirstAttach();
}

Status KeyboardController::Start()
{
    return m_session->Start();
}

Status KeyboardController::StartAndWaitForAttach()
{
    return m_session->StartAndWaitForAttach();
}

void KeyboardController::WaitForAttach()
{
    m_session->WaitForAttach();
}

void KeyboardController::Stop()
{
    // The attach thread may be waiting for a job on the worker: the events
    // stop first (it gives up waiting), then the worker finishes its job.
    if (m_session) m_session->Stop();
    m_worker.Stop();
}

void KeyboardController::FrontEndReady()
{
    m_session->Events().ReadyChanged();
}

bool KeyboardController::Attached() const
{
    return m_session->Attached();
}

bool KeyboardController::BankB() const
{
    return m_session->Events().BankB();
}

int KeyboardController::ActiveProfile() const
{
    return m_session->GetTransfer().CachedActiveProfile();
}

std::size_t KeyboardController::MacroCapacity() const
{
    return m_session->GetTransfer().MacroCapacity();
}

void KeyboardController::Tell(KeyboardOperation operation, const Status& status)
{
    if (m_observer != nullptr) m_observer->OperationFinished(operation, status);
}

Status KeyboardController::Finished(KeyboardOperation operation, Status status)
{
    Tell(operation, status);
    return status;
}

// --- Operations ------------------------------------------------------------------

ApplyOutcome KeyboardController::ApplyActiveProfile()
{
    ApplyOutcome outcome;
    {
        ConfigStore& store = Store();
        std::lock_guard lock(store.CurrentLock());
        outcome.saved = SaveWorkingProfileFile(store);
        if (outcome.saved) outcome.downloaded = GetTransfer().DownloadCurrentCopy(false);
    }
    Tell(KeyboardOperation::Apply, !outcome.saved ? outcome.saved : outcome.downloaded);
    return outcome;
}

ApplyAllOutcome KeyboardController::ApplyAllProfiles(CurrentCopy copy,
                                                     const Result<std::filesystem::path>& workingProfilePath,
                                                     const AtomicWriteHooks& hooks)
{
    ApplyAllOutcome outcome;
    {
        ConfigStore& store = Store();
        // The file and the download describe the same copy: nobody changes it in between.
        std::lock_guard lock(store.CurrentLock());
        store.Current() = std::move(copy);
        std::lock_guard working(store.WorkingLock());
        Result<std::shared_ptr<const WorkingSnapshot>> snapshot = store.TakeWorkingSnapshot();
        if (!snapshot) {
            outcome.downloaded = Error{snapshot.error()};
        } else if (workingProfilePath) {
            WorkingFileUpdate file(*snapshot, *workingProfilePath, hooks);
            outcome.downloaded = GetTransfer().DownloadConfiguration(**snapshot, true);
            outcome.fileProblem = file.Finish(outcome.downloaded.ok());
        } else {
            outcome.downloaded = GetTransfer().DownloadConfiguration(**snapshot, true);
            if (outcome.downloaded) outcome.fileProblem = workingProfilePath.error();
        }
    }
    Tell(KeyboardOperation::ApplyAll, outcome.downloaded);
    return outcome;
}

ImportOutcome KeyboardController::ImportProfileFile(const std::filesystem::path& path)
{
    ImportOutcome outcome;
    // Read and parsed once, before the configuration is touched: a file that
    // fails to read leaves it as it was.
    QuietReporter quiet;
    Result<CurrentCopy> copy = LoadProfileFile(path, quiet);
    if (!copy) {
        outcome.read = Error{copy.error()};
        Tell(KeyboardOperation::Import, outcome.read);
        return outcome;
    }
    {
        ConfigStore& store = Store();
        std::lock_guard lock(store.CurrentLock());
        store.Current() = std::move(*copy);
        outcome.saved = SaveWorkingProfileFile(store);
        outcome.downloaded = GetTransfer().DownloadCurrentCopy(true);
    }
    Tell(KeyboardOperation::Import, !outcome.downloaded ? outcome.downloaded : outcome.saved);
    return outcome;
}

Status KeyboardController::ExportProfileFile(const std::filesystem::path& path)
{
    return Finished(KeyboardOperation::Export, WriteProfileFile(Store(), path));
}

ReadBackOutcome KeyboardController::ReadBackToFile(const std::filesystem::path& path)
{
    ReadBackOutcome outcome = GetTransfer().ReadBackToFile(path);
    Tell(KeyboardOperation::ReadBack, outcome.ok() ? Status::Ok() : Status(Error{outcome.reason}));
    return outcome;
}

Status KeyboardController::SwitchProfile(int profile)
{
    Transfer& transfer = GetTransfer();
    transfer.SetActiveProfile(profile);
    Status switched;
    if (profile >= 0 && transfer.CachedActiveProfile() != profile)
        switched = Error{"the keyboard did not switch to profile " + std::to_string(profile + 1)};
    return Finished(KeyboardOperation::SwitchProfile, switched);
}

Status KeyboardController::DiscardUnappliedEdits()
{
    m_unappliedEdits = false;
    Status read;
    if (Result<std::filesystem::path> path = WorkingProfilePath(); !path) {
        read = Error{path.error()};
    } else {
        ConfigStore& store = Store();
        std::lock_guard lock(store.CurrentLock());
        store.EmptyCurrentCopy();
        read = ReadProfileFile(store, *path);
    }
    return Finished(KeyboardOperation::DiscardEdits, read);
}

Status KeyboardController::RefreshFromKeyboard()
{
    const Status read = GetTransfer().RefreshFromKeyboard();
    m_unappliedEdits = false;
    if (m_observer != nullptr) m_observer->ConfigurationReplaced(ConfigurationSource::Keyboard, false);
    return Finished(KeyboardOperation::Refresh, read);
}

Status KeyboardController::ResetAssignments(int profile, GKeyBank bank)
{
    if (profile < 0) return Finished(KeyboardOperation::ResetKeys, Error{"no profile of the keyboard is known"});
    m_unappliedEdits = true;
    {
        ConfigStore& store = Store();
        std::lock_guard lock(store.CurrentLock());
        CurrentCopy& copy = store.Current();
        for (KeyIndex key : KeyButtonOrder) {
            if (KeyAssignment* slot = copy.Assignment(static_cast<std::size_t>(profile), SlotOfKey(key)))
                *slot = KeyAssignment{};
        }
        for (int n = 1; n <= kGKeyCount; ++n) {
            // The macro key keeps its identity; everything else goes.
            if (KeyAssignment* slot = copy.Assignment(static_cast<std::size_t>(profile), *GKeySlot(n, bank))) {
                *slot = KeyAssignment{};
                slot->aux = GKeyId(n, bank);
            }
        }
    }
    return Finished(KeyboardOperation::ResetKeys, Status::Ok());
}

Status KeyboardController::RereadLighting(bool withKeyColours)
{
    const int result = GetLighting().ReadLightingState(withKeyColours);
    if (result != 0) return Error{"the lighting state could not be read (result " + std::to_string(result) + ")"};
    return Status::Ok();
}

// --- Device events ---------------------------------------------------------------

void KeyboardController::FirstAttachBegins()
{
    if (m_observer != nullptr) m_observer->FirstAttachBegins();
}

void KeyboardController::AttachReadsDone()
{
    if (!m_readAtAttach) return;
    if (m_worker.OnWorkerThread()) {
        RefreshAtAttach();
        return;
    }
    // The keyboard work waits its turn behind a download rather than
    // interleaving with it. The attach thread holds no lock here, and the
    // worker never waits for a user-interface thread, so this wait ends.
    std::future<void> done = m_worker.Run([this] { RefreshAtAttach(); });
    while (done.wait_for(kWorkerPoll) != std::future_status::ready) {
        if (m_worker.Stopped() || m_session->Events().Stopping()) break;
    }
}

void KeyboardController::RefreshAtAttach()
{
    ConfigStore& store = Store();
    Transfer& transfer = GetTransfer();
    // Edits the keyboard never took (it went away before, or during, their
    // Apply) are the user's: the copy read from the keyboard would replace
    // them, so they come back over it and stay unapplied. The lock is held
    // throughout, so nobody sees the keyboard's copy in between.
    bool kept = false;
    if (m_unappliedEdits) {
        std::lock_guard lock(store.CurrentLock());
        if (store.Current().HasBlock()) {
            CurrentCopy unsent = std::move(store.Current());
            store.Current() = CurrentCopy();
            // What the keyboard holds only matters for the working file here.
            (void)transfer.RefreshFromKeyboard();
            store.Current() = std::move(unsent);
            kept = true;
        }
    }
    // A keyboard that cannot be read leaves the default configuration, which
    // is what the window then shows: nothing more to tell.
    if (!kept) {
        (void)transfer.RefreshFromKeyboard();
        m_unappliedEdits = false;
    }
    // The lighting panel shows what it read; one it could not read shows its defaults.
    (void)GetLighting().ReadLightingState(true);
    if (m_observer != nullptr) m_observer->ConfigurationReplaced(ConfigurationSource::Attach, kept);
}

void KeyboardController::Detached()
{
    if (m_observer != nullptr) m_observer->Detached();
}

bool KeyboardController::Ready() const
{
    return m_observer == nullptr || m_observer->ReadyForPresence();
}

void KeyboardController::PresenceSettled(bool attached, bool firstAttach)
{
    if (m_observer != nullptr) m_observer->PresenceSettled(attached, firstAttach);
}

void KeyboardController::BankChanged(bool bankB)
{
    if (m_observer != nullptr) m_observer->BankChanged(bankB);
}

void KeyboardController::LightingChangedOnKeyboard()
{
    if (m_observer != nullptr) m_observer->LightingChangedOnKeyboard();
}

void KeyboardController::RecordingChanged(bool recording)
{
    if (m_observer != nullptr) m_observer->RecordingChanged(recording);
}

} // namespace kestrune
