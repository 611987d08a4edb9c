// Any bytes as the report descriptor of a hidraw node: the udev helper's
// parser never reads past them, always ends, and gives the same answer for
// the same bytes. A descriptor it grants must still be granted behind a long
// item, which every parser skips whole.

#include "HidAccess.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrune;
    // Copied, so the sanitizer sees exactly the bytes given and nothing beyond.
    const std::vector<std::uint8_t> descriptor(data, data + size);
    const bool granted = DescriptorNeedsUserAccess(descriptor);
    if (granted != DescriptorNeedsUserAccess(descriptor)) std::abort();
    if (granted && size + 3 <= kMaxReportDescriptorSize) {
        std::vector<std::uint8_t> prefixed = {0xFE, 0x00, 0x10};
        prefixed.insert(prefixed.end(), descriptor.begin(), descriptor.end());
        if (!DescriptorNeedsUserAccess(prefixed)) std::abort();
    }
    return 0;
}
