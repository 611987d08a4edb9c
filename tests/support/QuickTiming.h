#pragma once

#include "device/CommandProtocol.h"

#include <chrono>

namespace kestrune::testing {

// Waits short enough that a keyboard that stays silent fails a command quickly.
inline ProtocolTiming QuickTiming()
{
    ProtocolTiming timing;
    timing.replyWait = std::chrono::milliseconds(100);
    timing.giveWayPause = std::chrono::milliseconds(5);
    timing.retryPause = std::chrono::milliseconds(1);
    timing.endUpdatePause = std::chrono::milliseconds(1);
    return timing;
}

} // namespace kestrune::testing
