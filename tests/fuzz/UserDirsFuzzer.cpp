// Any bytes as user-dirs.dirs: the documents folder it names, if any, is an
// absolute path the system reads as given (no NUL to cut it short).

#include "config/Folders.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrune;
    const auto folder =
        DocumentsFolderFromUserDirs(std::string_view(reinterpret_cast<const char*>(data), size), "/home/fuzz");
    if (!folder) return 0;
    if (!folder->is_absolute()) std::abort();
    if (folder->native().find('\0') != std::string::npos) std::abort();
    return 0;
}
