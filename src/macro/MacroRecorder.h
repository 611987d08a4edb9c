#pragma once

// Macro recording and single-key capture, free of any window system: the
// dialog hands in each key event (the key, press or release, whether the
// platform marked it an auto-repeat, and the event's own timestamp) and is
// told whether to swallow it and which actions it makes.

#include "keymodel/KeyCodes.h"
#include "macro/MacroRecord.h"

#include <bitset>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrune {

// The 18 keys of MediaTable: never recorded or captured, always passed on.
bool IsMediaKey(KeyIndex key);

// The delay of the press a release-only key is recorded with.
inline constexpr std::int32_t kReleaseOnlyPressDelayMs = 2;

struct KeyEventInput {
    KeyIndex key = kNoKey;
    bool release = false;
    bool autoRepeat = false;       // as the platform marks it
    std::uint32_t timestampMs = 0; // the event's own time; differences are taken modulo 2^32
};

enum class KeyVerdict { PassOn, Swallow };

struct RecordOutcome {
    KeyVerdict verdict = KeyVerdict::PassOn;
    // In order; each delay is the measured time since the previous recorded
    // event (the receiving list moves it to the action before, see
    // MacroActionList::Add).
    std::vector<MacroAction> actions;
};

class MacroRecorder {
public:
    bool IsRecording() const { return m_recording; }
    // `nowMs` is the time of the event that started recording, on the same
    // clock as the key events.
    void Start(std::uint32_t nowMs);
    void Stop();

    RecordOutcome OnKey(const KeyEventInput& event);

private:
    bool m_recording = false;
    std::uint32_t m_lastTick = 0;
    // Keys seen pressed and not yet released: a second press is a repeat even
    // where the platform does not mark it (the Windows keys, taken by a grab).
    std::bitset<kMaxKeyIndex + 1> m_down;
};

struct CaptureOutcome {
    KeyVerdict verdict = KeyVerdict::PassOn;
    KeyIndex captured = kNoKey; // 0: nothing captured
};

// The single-key pane: a fresh press captures its key; a release-only key
// (Print Screen and the like) is captured on its release, its press being
// dropped; repeats and other releases are swallowed; media keys pass.
CaptureOutcome CaptureKey(const KeyEventInput& event);

} // namespace kestrune
