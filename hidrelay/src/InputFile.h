#pragma once

// The file a standing read waits on. Reads bypass hidapi so that a read can
// block in poll() on the interface and on its own stop signal at once: an
// idle keyboard then costs no wake-ups at all.

#include <string>

namespace kestrune::hidrelay {

// Opens an interface's device node for input reports, without blocking and
// closed on exec; -1 when it cannot be opened (yet). As on hidraw, poll()
// gives POLLIN while a report waits and POLLHUP or POLLERR once the interface
// has gone, and each read() gives one whole report. The caller closes it.
// errno tells why it could not be opened.
int OpenInputFile(const std::string& path);

} // namespace kestrune::hidrelay
