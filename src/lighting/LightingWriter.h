#pragma once

// Sends lighting changes to the keyboard from a thread of its own, so that
// whoever asks for them (a window dragging a slider) never waits on the
// keyboard.
//
// - Jobs run one at a time in the order they were submitted.
// - A job submitted while an earlier job of the same kind still waits its
//   turn replaces it: the earlier one is dropped and the new one goes to the
//   end of the queue. A burst of slider positions therefore reaches the
//   keyboard as the position under way and the last one, and a later change
//   never runs before an earlier change of another kind that it follows.
// - The listener hears of every finished job on the writer's thread, with
//   the job's result and whether the queue is now empty.
// - The destructor lets the queued jobs finish, so no change the user made
//   is lost when the program closes.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrune {

class Lighting;

enum class LightingJob : std::uint8_t {
    Effect,
    Brightness,
    Speed,
    Direction,
    EffectColour, // which: the effect
    Rainbow,      // which: the effect
    Trigger,
    BaseColour,
    KeyColour, // which: the light
    Defaults,
    WhiteKeyColours,
    Read, // which: 1 with the per-key colours
};

struct LightingJobKind {
    LightingJob job;
    int which = 0;
    bool operator==(const LightingJobKind&) const = default;
};

struct LightingJobDone {
    LightingJobKind kind;
    int result; // the write's result code; for a read 0 or -1
    bool idle;  // nothing waits after this job
};

class LightingWriter {
public:
    using Job = std::function<int(Lighting&)>;
    using Listener = std::function<void(const LightingJobDone&)>;

    LightingWriter(Lighting& lighting, Listener listener = {});
    ~LightingWriter();
    LightingWriter(const LightingWriter&) = delete;
    LightingWriter& operator=(const LightingWriter&) = delete;

    void Submit(LightingJobKind kind, Job job);

    // Waits until no job runs or waits; false when that takes longer than the timeout.
    bool WaitIdle(std::chrono::milliseconds timeout);
    // Jobs waiting, not counting one under way.
    std::size_t Queued() const;
    bool Busy() const;
    // A job waits or runs; unlike Busy, false while the last job's report is
    // being made: a report handled on another thread can show the state at once.
    bool WritesPending() const;

private:
    struct Entry {
        LightingJobKind kind;
        Job job;
    };
    void Run();

    Lighting& m_lighting;
    const Listener m_listener;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Entry> m_queue;
    bool m_running = false;   // a job is under way
    bool m_reporting = false; // its work is done and the listener is told
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace kestrune
