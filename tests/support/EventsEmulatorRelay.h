#pragma once

// The twelve device-library functions over the emulator model, in-process,
// with one read thread that delivers replies, consumer reports and presence
// changes to the standing reads the way the real library's threads do.

#include "device/DeviceLibrary.h"
#include "emulator/EmulatedKeyboard.h"

#include <chrono>
#include <memory>

namespace kestrune::testing {

// Binds the relay to the keyboard; one at a time. The library's End() stops
// the read thread; the keyboard must outlive the returned library.
std::unique_ptr<DeviceLibrary> BindRelay(emulator::EmulatedKeyboard& keyboard);

// How long each command report takes to reach the keyboard and its reply to
// come back, as on the wire; none unless a test asks. The keyboard's own
// fault plan's latency is left to the emulator library.
void SetRelayLatency(std::chrono::microseconds eachWay);

} // namespace kestrune::testing
