#pragma once

// A mocked Linux kernel in which the emulated keyboard is plugged in, for
// running programs on the real device library (libHidRelay.so, hidapi's
// hidraw backend and libudev) without a keyboard.
//
// The kernel is a umockdev test bed: the keyboard's USB device with its four
// interfaces (the typing keyboard, the vendor command collection, the
// consumer reports and the bank status), each with its HID device, report
// descriptor and hidraw node, as sysfs shows them; the nodes answer open,
// read, write, poll and the hidraw ioctls through umockdev's preload library,
// backed by the same keyboard model the emulator library uses (its state
// file, control socket and faults). Plugging and unplugging the keyboard
// adds and removes the devices and sends the uevents udev's monitor delivers.
//
// The command runs with umockdev's preload library and UMOCKDEV_DIR set, and
// without KESTRUNE_DEVICE_LIBRARY, so a program binds the real library beside
// itself. What a program cannot tell from a real kernel:
// - every open of one node shares one poll state: a file that has neither
//   read nor written, or has read at least once, and has reports waiting
//   makes the node readable for every open file of it, and the others find
//   nothing to read (EAGAIN) until it reads its own;
// - a read finds EAGAIN when nothing waits even on a file opened without
//   O_NONBLOCK (a blocking read would stop the whole kernel);
// - the keyboard's nodes are pseudo-terminals underneath: their mode and
//   owner are those of the pseudo-terminal.

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::emulator {

struct MockKernelOptions {
    // The program to run and its arguments.
    std::vector<std::string> command;
    // More keyboards with the same ids, plugged in from the start with
    // factory memory; the control socket drives only the first.
    unsigned extraKeyboards = 0;
    // A device of another vendor with the keyboard's four collections.
    bool otherVendor = false;
    // Permission bits of the keyboard's nodes (e.g. 0 for a system without
    // the udev rule); the pseudo-terminal's own when not given.
    std::optional<unsigned> nodeMode;
};

// Runs the command in the mocked kernel and gives its exit status (128 plus
// the signal's number when a signal ended it), or 1 after a message on 'err'
// when the kernel cannot be made or the command cannot be started. The
// calling program is first started again with the same arguments ('argv')
// under umockdev's preload library, which umockdev needs for itself.
int RunInMockKernel(const MockKernelOptions& options, char** argv, std::ostream& err);

} // namespace kestrune::emulator
