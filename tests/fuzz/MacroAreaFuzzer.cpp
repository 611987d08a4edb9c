// Feeds arbitrary bytes to the macro-area decoder as if the keyboard had sent
// them. Beyond not reading out of bounds, an area that decodes must give
// records that keep the list rules, and encoding those records again must
// give them back.

#include "common/LittleEndian.h"
#include "macro/MacroArea.h"
#include "wire/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

void Require(bool condition, const char* what)
{
    if (condition) return;
    std::fprintf(stderr, "macro area fuzzer: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrune;
    const std::span<const std::uint8_t> area(data, size);
    // The read-back takes the count from the header, so that is what the fuzzer does too.
    const std::size_t count =
        size >= wire::kMacroAreaOffCount + 2 ? ReadLe16(area, wire::kMacroAreaOffCount) : std::size_t{0};

    auto decoded = DecodeMacroArea(area, count, u"Macro");
    if (!decoded.ok()) {
        Require(!decoded.error().empty(), "an invalid area came without a message");
        return 0;
    }
    const std::vector<MacroRecord>& records = *decoded;
    Require(records.size() == count && count <= kMaxMacros, "record count differs from the header's");
    for (std::size_t i = 0; i < records.size(); ++i) {
        const MacroRecord& record = records[i];
        Require(record.id == i + 1, "ids are not numbered by position");
        Require(record.newFlag == 0, "a decoded macro carries the new flag");
        Require(record.actionCount <= kMaxMacroActions, "more actions than a record holds");
        Require(!record.Name().empty(), "a decoded macro has no name");
        Require(record.name[kMaxMacroNameLength] == u'\0', "a decoded name is not terminated");
        for (const MacroAction& action : record.Actions()) {
            Require(action.delay >= 0 && action.delay <= kMaxEncodableDelayMs && action.delay % 10 == 0,
                    "a decoded delay is not whole 10 ms units in range");
            Require(action.direction == kMacroPress || action.direction == kMacroRelease,
                    "a decoded direction is neither press nor release");
        }
    }

    // Prefix names are longer than none, and entries may share bytes, so the
    // records may need more room than the area they came from.
    const MacroAreaSize sizes = MacroAreaSizes(records);
    if (sizes.withNames > wire::kMacroAreaMaxLength) return 0;
    std::vector<std::uint8_t> again(sizes.withNames);
    Require(EncodeMacroArea(records, again.size(), true, again).ok(), "decoded records do not encode");
    auto redecoded = DecodeMacroArea(again, records.size(), u"Macro");
    Require(redecoded.ok(), "an area the encoder made does not decode");

    // A key whose usage has no code of its own (Word, Zoom+) comes back as the
    // first key with the same code, so keys are compared by what the keyboard
    // receives: a read-back sent again must give the keyboard the same bytes.
    std::vector<std::uint8_t> third(sizes.withNames);
    Require(EncodeMacroArea(*redecoded, third.size(), true, third).ok(), "re-decoded records do not encode");
    Require(third == again, "a read-back sent again changes the area");
    auto withoutKeys = [](std::vector<MacroRecord> list) {
        for (MacroRecord& record : list)
            for (MacroAction& action : record.actions) action.key = 0;
        return list;
    };
    Require(withoutKeys(*redecoded) == withoutKeys(records), "encoding decoded records changed them");
    return 0;
}
