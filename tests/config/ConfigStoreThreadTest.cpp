// The store under the threads that share it: the user-interface thread edits
// and applies, a download hands its work to a worker thread, the device
// thread replaces the configuration, and readers look at the last snapshot.
// Built into the ThreadSanitizer run as well; the checks here catch torn
// snapshots, the sanitizer catches unguarded access, and a lock-order mistake
// shows up as a test that never ends.

#include "config/ConfigStore.h"
#include "config/ProfileFile.h"

#include "SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kestrune {
namespace {

using testing::ScratchFolder;

// Checks the snapshot on a thread of its own, as a download to the keyboard
// may, while the calling thread waits holding both locks.
bool ConsistentOnWorker(const WorkingSnapshot& snapshot, bool allProfiles)
{
    bool consistent = false;
    std::thread worker([&] {
        const auto ids = snapshot.MacroIds();
        consistent = snapshot.block.header.macroCount == snapshot.macros.size() &&
                     snapshot.block.header.stringBytes == snapshot.strings.size();
        for (std::size_t map = 0; map < (allProfiles ? 3u : 1u); ++map) {
            for (const KeyAssignment& a : snapshot.block.maps[map].slots) {
                if (a.type != AssignmentType::PlayMacro) continue;
                const std::size_t position = MacroPosition(snapshot.macros, static_cast<std::uint16_t>(a.value));
                consistent = consistent && (ids.empty() || position < ids.size());
            }
        }
    });
    worker.join();
    return consistent;
}

TEST(ConfigStoreThreads, EditsDownloadsAndReplacementsDoNotCollide)
{
    ScratchFolder folder;
    const auto file = folder / "$Profile0";
    ConfigStore store;
    {
        ASSERT_TRUE(store.CreateDefaultConfiguration());
        std::lock_guard lock(store.CurrentLock());
        store.Current().Macros() = {MakeMacroRecord(u"a", 1), MakeMacroRecord(u"b", 2)};
        SetAssignment(*store.Current().Assignment(0, 0x1E), AssignmentType::PlayMacro, 0, 2);
        SetAssignment(*store.Current().Assignment(1, 0x1F), AssignmentType::TextBlock, 0, 0);
        ASSERT_TRUE(store.Current().Strings().Set(StringSlotIndex(1, 0x1F), u"text"));
        ASSERT_TRUE(WriteProfileFile(store, file));
    }
    constexpr int kRounds = 150;
    std::atomic<int> failures{0};

    std::thread ui([&] {
        for (int i = 0; i < kRounds; ++i) {
            std::lock_guard lock(store.CurrentLock());
            CurrentCopy& current = store.Current();
            if (!current.HasBlock()) continue;
            current.Macros().push_back(MakeMacroRecord(u"new", static_cast<std::uint16_t>(3 + i % 50)));
            if (current.Macros().size() > 10) current.Macros().erase(current.Macros().begin());
            SetAssignment(*current.Assignment(0, 0x20), AssignmentType::PlayMacro, 0, current.Macros().front().id);
            if (!current.Strings().Set(StringSlotIndex(0, 0x21), u"edited")) ++failures;
            SetAssignment(*current.Assignment(0, 0x21), AssignmentType::LaunchProgram, 0, 0);
            std::lock_guard working(store.WorkingLock());
            const auto snapshot = store.TakeWorkingSnapshot();
            if (!snapshot || !ConsistentOnWorker(**snapshot, i % 2 == 0)) ++failures;
        }
    });
    std::thread device([&] {
        for (int i = 0; i < kRounds; ++i) {
            std::lock_guard lock(store.CurrentLock());
            if (i % 3 == 0) {
                store.EmptyCurrentCopy();
                if (!store.CreateDefaultConfiguration()) ++failures;
            } else if (!ReadProfileFile(store, file)) {
                ++failures;
            }
        }
    });
    std::thread reader([&] {
        for (int i = 0; i < kRounds * 4; ++i) {
            const auto snapshot = store.WorkingCopy();
            if (snapshot && snapshot->block.header.macroCount != snapshot->macros.size()) ++failures;
            std::this_thread::yield();
        }
    });
    ui.join();
    device.join();
    reader.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
} // namespace kestrune
