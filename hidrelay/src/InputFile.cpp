#include "InputFile.h"

#include "Relay.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace kestrune::hidrelay {

// hidapi's hidraw backend reads the same node the same way (poll, then one
// read per report), so the bytes a read delivers do not change.
int OpenInputFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        Log(1, "cannot open %s for reading: %s", path.c_str(), std::strerror(error));
        errno = error;
    }
    return fd;
}

} // namespace kestrune::hidrelay
