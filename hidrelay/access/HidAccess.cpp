#include "HidAccess.h"

#include <array>
#include <vector>

namespace kestrune {

namespace {

struct Usage {
    std::uint16_t page;
    std::uint16_t id;
};

// The application collections the program opens (the interfaces of its
// device access library).
constexpr std::array<Usage, 3> kOurCollections = {{
    {0xFF1C, 0x0092}, // command reports and presence
    {0x000C, 0x0001}, // consumer reports
    {0x0008, 0x0089}, // bank status
}};

// Item prefix: bits 0-1 size code, 2-3 type, 4-7 tag.
constexpr std::uint8_t kLongItemPrefix = 0xFE;
enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };
constexpr std::uint8_t kMainCollection = 0xA;
constexpr std::uint8_t kMainEndCollection = 0xC;
constexpr std::uint8_t kGlobalUsagePage = 0x0;
constexpr std::uint8_t kGlobalPush = 0xA;
constexpr std::uint8_t kGlobalPop = 0xB;
constexpr std::uint8_t kLocalUsage = 0x0;
constexpr std::uint32_t kApplicationCollection = 0x01;
// Deeper nesting than any real device uses; the kernel's own limits are of
// the same order.
constexpr std::size_t kMaxDepth = 64;

} // namespace

bool DescriptorNeedsUserAccess(std::span<const std::uint8_t> d)
{
    if (d.empty() || d.size() > kMaxReportDescriptorSize) return false;

    std::uint16_t usagePage = 0;
    std::vector<std::uint16_t> pushedPages;
    // The first usage of the pending local items: what a collection is for.
    bool haveUsage = false;
    bool usageHasPage = false;
    std::uint32_t firstUsage = 0;
    std::size_t depth = 0;
    bool ours = false;

    std::size_t at = 0;
    while (at < d.size()) {
        const std::uint8_t prefix = d[at];
        if (prefix == kLongItemPrefix) {
            // Long items carry no meaning for any parser in use; skip them whole.
            if (at + 3 > d.size()) return false;
            const std::size_t dataSize = d[at + 1];
            if (at + 3 + dataSize > d.size()) return false;
            at += 3 + dataSize;
            continue;
        }
        static constexpr std::size_t kSizes[] = {0, 1, 2, 4};
        const std::size_t size = kSizes[prefix & 0x3];
        const std::uint8_t type = (prefix >> 2) & 0x3;
        const std::uint8_t tag = prefix >> 4;
        if (at + 1 + size > d.size()) return false;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i) value |= std::uint32_t{d[at + 1 + i]} << (8 * i);
        at += 1 + size;

        switch (type) {
        case kMain:
            if (tag == kMainCollection) {
                if (depth == 0 && haveUsage && (value & 0xFF) == kApplicationCollection) {
                    const Usage usage{usageHasPage ? static_cast<std::uint16_t>(firstUsage >> 16) : usagePage,
                                      static_cast<std::uint16_t>(firstUsage & 0xFFFF)};
                    for (const Usage& wanted : kOurCollections)
                        ours = ours || (usage.page == wanted.page && usage.id == wanted.id);
                }
                if (++depth > kMaxDepth) return false;
            } else if (tag == kMainEndCollection) {
                if (depth == 0) return false;
                --depth;
            }
            haveUsage = false; // local items end with every main item
            break;
        case kGlobal:
            if (tag == kGlobalUsagePage) {
                usagePage = static_cast<std::uint16_t>(value);
            } else if (tag == kGlobalPush) {
                if (pushedPages.size() >= kMaxDepth) return false;
                pushedPages.push_back(usagePage);
            } else if (tag == kGlobalPop) {
                if (pushedPages.empty()) return false;
                usagePage = pushedPages.back();
                pushedPages.pop_back();
            }
            break;
        case kLocal:
            if (tag == kLocalUsage && !haveUsage) {
                haveUsage = true;
                usageHasPage = size == 4;
                firstUsage = value;
            }
            break;
        default:
            return false; // a reserved item type
        }
    }
    return depth == 0 && ours;
}

} // namespace kestrune
