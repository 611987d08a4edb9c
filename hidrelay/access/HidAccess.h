#pragma once

// Which hidraw nodes of the keyboard the user at the seat may open: those
// whose report descriptor has a top-level application collection the program
// talks to (the command interface, the consumer reports, the bank status).
// The typing interface is left to the system, so no process of the user can
// read raw keystrokes from it through us.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrune {

// Parses a HID report descriptor. True only when the descriptor is well
// formed from first to last byte (no item cut short, collections balanced,
// the global stack never underflowing or too deep) and one of its top-level
// application collections is one the program opens.
bool DescriptorNeedsUserAccess(std::span<const std::uint8_t> descriptor);

// The line the udev helper prints for a node that gets access.
inline constexpr const char* kHidAccessGranted = "KESTRUNE_HID_ACCESS=1";

// The largest descriptor the kernel hands out; anything longer is not one.
inline constexpr std::size_t kMaxReportDescriptorSize = 4096;

} // namespace kestrune
