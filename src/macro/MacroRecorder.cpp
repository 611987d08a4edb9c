#include "macro/MacroRecorder.h"

namespace kestrune {

bool IsMediaKey(KeyIndex key)
{
    for (const auto& row : MediaTable)
        if (row.key == key) return true;
    return false;
}

void MacroRecorder::Start(std::uint32_t nowMs)
{
    m_recording = true;
    m_lastTick = nowMs;
    m_down.reset();
}

void MacroRecorder::Stop()
{
    m_recording = false;
    m_down.reset();
}

RecordOutcome MacroRecorder::OnKey(const KeyEventInput& event)
{
    RecordOutcome outcome;
    if (!m_recording || event.key == kNoKey || event.key > kMaxKeyIndex || IsMediaKey(event.key)) return outcome;
    outcome.verdict = KeyVerdict::Swallow;

    const bool releaseOnly = IsReleaseOnlyKey(event.key);
    if (!event.release) {
        // The platform reports the press of a release-only key where the
        // recorded form has none of its own: the release brings both.
        if (releaseOnly || event.autoRepeat || m_down.test(event.key)) return outcome;
        m_down.set(event.key);
    } else {
        m_down.reset(event.key);
    }

    const std::uint32_t now = event.timestampMs;
    if (releaseOnly) outcome.actions.push_back({kReleaseOnlyPressDelayMs, event.key, kMacroPress});
    const std::uint32_t elapsed = now - m_lastTick;
    // A clock that runs backwards between two events (events from two
    // sources) gives 0, not a delay of weeks.
    const std::int32_t delay = elapsed > 0x7FFFFFFFu ? 0 : static_cast<std::int32_t>(elapsed);
    outcome.actions.push_back({delay, event.key, event.release ? kMacroRelease : kMacroPress});
    m_lastTick = now;
    return outcome;
}

CaptureOutcome CaptureKey(const KeyEventInput& event)
{
    CaptureOutcome outcome;
    if (event.key == kNoKey || event.key > kMaxKeyIndex || IsMediaKey(event.key)) return outcome;
    outcome.verdict = KeyVerdict::Swallow;
    const bool releaseOnly = IsReleaseOnlyKey(event.key);
    const bool freshPress = !event.release && !event.autoRepeat;
    if ((freshPress && !releaseOnly) || (releaseOnly && event.release)) outcome.captured = event.key;
    return outcome;
}

} // namespace kestrune
