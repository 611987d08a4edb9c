#pragma once

// The commands that drive an emulated keyboard from outside, as words:
//   plug | unplug | bank-key | lighting-changed | record-start | record-stop
//   dump                      the state as JSON
//   received                  the command reports taken, oldest first, one per line in hex
//   reset                     factory memory; the cable stays as it is
//   fault show                the fault plan
//   fault clear               no faults, latency back to its default
//   fault after N             the next N replies come before the faults below
//   fault drop N | fault wrong-code N | fault status ff|fe N
//   fault latency MICROSECONDS | fault unplug-after N
// The control socket of a running emulator takes them, and the control tool
// runs plug, unplug, dump and reset on the state file when none is running.

#include "emulator/EmulatedKeyboard.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrune::emulator {

struct ControlReply {
    bool ok = false;
    std::string text; // what to show: the dump, the plan, or what went wrong
};

ControlReply RunControlCommand(EmulatedKeyboard& keyboard, const std::vector<std::string>& words);

// The words of a command line, split at white space.
std::vector<std::string> SplitWords(const std::string& text);

// Bytes as two lower-case hex digits each, separated by blanks.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// The commands that make sense without a running emulator, on the file alone.
bool IsFileCommand(const std::string& command);

// Faults written as text, the way KESTRUNE_EMULATOR_FAULTS gives them: one or
// more of the fault settings above, without "show" and "clear" and with or
// without the leading word "fault", separated by ';', applied in order onto
// base ("drop 3; status fe 2; latency 0"). All or nothing: an empty setting,
// an unknown word or a bad number refuses the whole text.
Result<FaultPlan> ParseFaultPlan(const std::string& text, FaultPlan base = {});

} // namespace kestrune::emulator
