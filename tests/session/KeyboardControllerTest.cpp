// The keyboard controller's operations and events, without Qt, against the
// emulated keyboard behind the real binding: what each front end's operation
// leaves on the keyboard and in the working profile file, and what the
// controller tells its observer.

#include "session/KeyboardController.h"

#include "config/Folders.h"
#include "config/ProfileFile.h"
#include "support/EnvOverride.h"
#include "support/EventsFixture.h"

#include <fstream>

namespace kestrune::testing {
namespace {

// Writes down the controller's events, and can wait for one.
class RecordingObserver : public KeyboardObserver {
public:
    void FirstAttachBegins() override { Record("first attach begins"); }
    void ConfigurationReplaced(ConfigurationSource source, bool kept) override
    {
        Record(std::string(source == ConfigurationSource::Attach ? "read at attach" : "read again") +
               (kept ? ", edits kept" : ""));
    }
    void Detached() override { Record("detached"); }
    void PresenceSettled(bool attached, bool first) override
    {
        Record(std::string(attached ? "attached" : "gone") + (first ? ", first" : ""));
    }
    void BankChanged(bool bankB) override { Record(bankB ? "bank B" : "bank A"); }
    void OperationFinished(KeyboardOperation, const Status& status) override
    {
        Record(status ? "finished" : "failed: " + status.error());
    }

    std::vector<std::string> Calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    void Clear()
    {
        std::lock_guard lock(m_mutex);
        m_calls.clear();
    }
    bool WaitFor(const std::string& call)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20),
                                  [&] { return std::find(m_calls.begin(), m_calls.end(), call) != m_calls.end(); });
    }

private:
    void Record(std::string call)
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
        m_changed.notify_all();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_calls;
};

class KeyboardControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(working.parent_path());
        KeyboardControllerOptions options;
        options.session.library = BindRelay(keyboard);
        options.session.timing = QuickTiming();
        options.session.workingProfilePath = working;
        options.observer = &observer;
        auto made = KeyboardController::Create(std::move(options), reporter);
        ASSERT_TRUE(made.ok()) << made.error();
        controller = std::move(*made);
        ASSERT_TRUE(controller->StartAndWaitForAttach().ok());
        // The attach wrote the working file from what the keyboard holds.
        ASSERT_TRUE(std::filesystem::exists(working));
    }
    void TearDown() override { controller->Stop(); }

    // Esc remapped to B in every profile: an edit the keyboard does not hold.
    void EditEsc()
    {
        ConfigStore& store = controller->Store();
        std::lock_guard lock(store.CurrentLock());
        for (std::size_t profile = 0; profile < 3; ++profile)
            SetAssignment(*store.Current().Assignment(profile, SlotOfKey(kKeyEsc)), AssignmentType::RemapKey, 0, kKeyB);
        controller->SetUnappliedEdits(true);
    }

    // The profiles whose key table went to the keyboard since `mark`.
    std::vector<int> TablesSentSince(std::size_t mark) const
    {
        std::vector<int> profiles;
        const auto reports = keyboard.ReceivedReports();
        for (std::size_t i = mark; i < reports.size(); ++i) {
            if (reports[i][wire::kOffCommand] != 8) continue;
            const int profile = reports[i][wire::kOffAddress + 1] / 2; // 512 bytes a profile
            if (profiles.empty() || profiles.back() != profile) profiles.push_back(profile);
        }
        return profiles;
    }

    AssignmentType EscOnKeyboard(int profile) const
    {
        // State() gives a copy: keep it while its table is read.
        const auto state = keyboard.State();
        const auto& table = state.keyTables[static_cast<std::size_t>(profile)];
        return table[3 * 8 + 2] == 0x05 ? AssignmentType::RemapKey : AssignmentType::Default; // B's usage
    }

    std::vector<std::uint8_t> FileBytes(const std::filesystem::path& path) const
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    ScratchFolder scratch{"kestrune-controller"};
    EnvOverride home{"HOME", scratch.Path().string()};
    EnvOverride config{"XDG_CONFIG_HOME", (scratch.Path() / "config").string()};
    const std::filesystem::path working = *WorkingProfilePath();
    emulator::EmulatedKeyboard keyboard;
    RecordingReporter reporter;
    RecordingObserver observer;
    std::unique_ptr<KeyboardController> controller;
};

// The two Apply operations side by side: the window's saves the working file
// and then sends the active profile; the command line's sends all three and
// only then lets the working file follow.
TEST_F(KeyboardControllerTest, TheWindowsApplyAndTheCommandLinesApply)
{
    struct Case {
        const char* name;
        bool window;
        bool keyboardRefuses;
        std::vector<int> tablesSent;
        bool taken;
        bool fileChanged;
    };
    emulator::FaultPlan refuse;
    refuse.latency = std::chrono::microseconds(0);
    refuse.errorReplies = 1000;
    const Case cases[] = {
        {"window", true, false, {0}, true, true},
        {"window, the keyboard refuses", true, true, {0}, false, true}, // the file was saved first
        {"command line", false, false, {0, 1, 2}, true, true},
        {"command line, the keyboard refuses", false, true, {}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        keyboard.SetFaults({});
        ASSERT_TRUE(keyboard.SetState(emulator::FactoryKeyboardState()).ok());
        ASSERT_TRUE(controller->RefreshFromKeyboard().ok());
        const std::vector<std::uint8_t> before = FileBytes(working);
        EditEsc();
        if (c.keyboardRefuses) keyboard.SetFaults(refuse);
        const std::size_t mark = keyboard.ReceivedReports().size();
        bool taken = false;
        if (c.window) {
            const ApplyOutcome outcome = controller->ApplyActiveProfile();
            EXPECT_TRUE(outcome.saved.ok()) << outcome.saved.error();
            taken = outcome.ok();
        } else {
            CurrentCopy copy;
            {
                std::lock_guard lock(controller->Store().CurrentLock());
                copy = std::move(controller->Store().Current());
                controller->Store().Current() = CurrentCopy();
            }
            const ApplyAllOutcome outcome = controller->ApplyAllProfiles(std::move(copy), working);
            EXPECT_FALSE(outcome.fileProblem) << *outcome.fileProblem;
            taken = outcome.downloaded.ok();
        }
        keyboard.SetFaults({});
        EXPECT_EQ(taken, c.taken);
        if (!c.keyboardRefuses) {
            EXPECT_EQ(TablesSentSince(mark), c.tablesSent);
        }
        if (c.taken) {
            for (int profile : c.tablesSent) EXPECT_EQ(EscOnKeyboard(profile), AssignmentType::RemapKey) << profile;
        }
        EXPECT_EQ(FileBytes(working) != before, c.fileChanged);
        if (c.fileChanged) {
            ConfigStore reread;
            ASSERT_TRUE(ReadProfileFile(reread, working).ok());
            std::lock_guard lock(reread.CurrentLock());
            EXPECT_EQ(reread.Current().Assignment(0, SlotOfKey(kKeyEsc))->type, AssignmentType::RemapKey);
        }
        const auto calls = observer.Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().rfind(c.taken ? "finished" : "failed: ", 0), 0u) << calls.back();
    }
}

TEST_F(KeyboardControllerTest, TheWindowsApplySendsNothingWhenTheWorkingFileCannotBeSaved)
{
    EditEsc();
    std::filesystem::remove(working);
    std::filesystem::create_directory(working); // the working file's name taken by a folder
    const std::size_t mark = keyboard.ReceivedReports().size();
    const ApplyOutcome outcome = controller->ApplyActiveProfile();
    EXPECT_FALSE(outcome.saved.ok());
    EXPECT_FALSE(outcome.downloaded.ok());
    EXPECT_EQ(keyboard.ReceivedReports().size(), mark);
}

// An attach reads the keyboard once and tells it once; edits the keyboard
// never took come back over what it read.
TEST_F(KeyboardControllerTest, AReplugReadsTheKeyboardOnceAndKeepsUnsentEdits)
{
    EXPECT_EQ(observer.Calls(), (std::vector<std::string>{"first attach begins", "read at attach", "attached, first"}));

    for (const bool edited : {false, true}) {
        SCOPED_TRACE(edited ? "with unsent edits" : "without edits");
        if (edited) EditEsc();
        observer.Clear();
        keyboard.Unplug();
        ASSERT_TRUE(observer.WaitFor("gone"));
        keyboard.Plug();
        ASSERT_TRUE(observer.WaitFor("attached"));
        EXPECT_EQ(observer.Calls(),
                  (std::vector<std::string>{"detached", "gone",
                                            edited ? "read at attach, edits kept" : "read at attach", "attached"}));
        EXPECT_EQ(controller->UnappliedEdits(), edited);
        std::lock_guard lock(controller->Store().CurrentLock());
        EXPECT_EQ(controller->Store().Current().Assignment(0, SlotOfKey(kKeyEsc))->type,
                  edited ? AssignmentType::RemapKey : AssignmentType::Default);
    }
}

TEST_F(KeyboardControllerTest, ProfileSwitchesAndDiscardedEditsSayWhatHappened)
{
    ASSERT_TRUE(controller->SwitchProfile(2).ok());
    EXPECT_EQ(keyboard.State().settings[wire::kSettingsActiveProfile], 2);
    EXPECT_EQ(controller->ActiveProfile(), 2);

    emulator::FaultPlan refuse;
    refuse.latency = std::chrono::microseconds(0);
    refuse.errorReplies = 1000;
    keyboard.SetFaults(refuse);
    const Status refused = controller->SwitchProfile(1);
    keyboard.SetFaults({});
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().find("profile 2"), std::string::npos) << refused.error();
    EXPECT_EQ(keyboard.State().settings[wire::kSettingsActiveProfile], 2);

    // The edit is let go: the configuration is the working file's again.
    EditEsc();
    ASSERT_TRUE(controller->DiscardUnappliedEdits().ok());
    EXPECT_FALSE(controller->UnappliedEdits());
    std::lock_guard lock(controller->Store().CurrentLock());
    EXPECT_EQ(controller->Store().Current().Assignment(0, SlotOfKey(kKeyEsc))->type, AssignmentType::Default);
}

TEST_F(KeyboardControllerTest, ImportsSendAllProfilesAndAFileThatDoesNotReadChangesNothing)
{
    EditEsc();
    const auto exported = scratch.Path() / "edited.kpf";
    ASSERT_TRUE(controller->ExportProfileFile(exported).ok());
    ASSERT_TRUE(controller->RefreshFromKeyboard().ok()); // the edit gone again

    const auto junk = scratch.Path() / "junk.kpf";
    std::ofstream(junk) << "not a profile";
    const std::size_t mark = keyboard.ReceivedReports().size();
    const ImportOutcome bad = controller->ImportProfileFile(junk);
    EXPECT_FALSE(bad.read.ok());
    EXPECT_EQ(keyboard.ReceivedReports().size(), mark);
    {
        std::lock_guard lock(controller->Store().CurrentLock());
        EXPECT_EQ(controller->Store().Current().Assignment(0, SlotOfKey(kKeyEsc))->type, AssignmentType::Default);
    }

    const ImportOutcome good = controller->ImportProfileFile(exported);
    EXPECT_TRUE(good.read.ok() && good.saved.ok() && good.downloaded.ok()) << good.downloaded.error();
    EXPECT_EQ(TablesSentSince(mark), (std::vector<int>{0, 1, 2}));
    for (int profile = 0; profile < 3; ++profile) EXPECT_EQ(EscOnKeyboard(profile), AssignmentType::RemapKey);
}

TEST_F(KeyboardControllerTest, ARefreshTheKeyboardCannotAnswerSaysSoAndLeavesTheDefaults)
{
    EditEsc();
    keyboard.Unplug();
    ASSERT_TRUE(observer.WaitFor("gone"));
    observer.Clear();
    const Status read = controller->RefreshFromKeyboard();
    EXPECT_FALSE(read.ok());
    EXPECT_FALSE(controller->UnappliedEdits());
    EXPECT_EQ(observer.Calls(), (std::vector<std::string>{"read again", "failed: " + read.error()}));
    std::lock_guard lock(controller->Store().CurrentLock());
    ASSERT_TRUE(controller->Store().Current().HasBlock());
    EXPECT_EQ(controller->Store().Current().Assignment(0, SlotOfKey(kKeyEsc))->type, AssignmentType::Default);
}

} // namespace
} // namespace kestrune::testing
