// udev helper: kestrune-hid-access FILE reads the report descriptor in FILE
// (a hidraw node's report_descriptor in sysfs) and prints
// KESTRUNE_HID_ACCESS=1 when the node is one the program opens; for any
// other node, or a descriptor that does not parse, it prints nothing. The
// udev rule imports the output and grants the user at the seat access only
// where it was printed.

#include "HidAccess.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrune-hid-access REPORT_DESCRIPTOR_FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "kestrune-hid-access: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    // One byte more than a descriptor may have, to tell an oversized file.
    std::vector<std::uint8_t> bytes(kestrune::kMaxReportDescriptorSize + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        std::fprintf(stderr, "kestrune-hid-access: cannot read %s\n", argv[1]);
        return 1;
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (kestrune::DescriptorNeedsUserAccess(bytes)) std::printf("%s\n", kestrune::kHidAccessGranted);
    return 0;
}
