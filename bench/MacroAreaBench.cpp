// Encoding and decoding the macro area of a full list: 100 macros with as
// many actions as still fit the area's 16-bit length, named to the limit.

#include "macro/MacroArea.h"
#include "wire/Protocol.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace kestrune {
namespace {

std::vector<MacroRecord> FullList()
{
    // 100 entries of 4 + 4a bytes plus 2 x 249 name bytes each stay within
    // 65535 bytes for a = 37.
    constexpr std::size_t kActions = 37;
    std::vector<MacroRecord> list;
    for (std::uint16_t id = 1; id <= kMaxMacros; ++id) {
        MacroRecord record = MakeMacroRecord(std::u16string(kMaxMacroNameLength, u'm'), id);
        static constexpr std::uint16_t keys[] = {0x01D, 0x01E, 0x130, 0x15E, 0x054, 0x136};
        for (std::size_t i = 0; i < kActions; ++i)
            record.AppendAction({static_cast<std::int32_t>(10 * i), keys[i % 6], static_cast<std::uint16_t>(i % 2)});
        list.push_back(record);
    }
    return list;
}

void BM_EncodeMacroArea(benchmark::State& state)
{
    const std::vector<MacroRecord> list = FullList();
    const MacroAreaSize sizes = MacroAreaSizes(list);
    std::vector<std::uint8_t> area(sizes.withNames);
    for (auto _ : state) {
        const Status status = EncodeMacroArea(list, area.size(), true, area);
        benchmark::DoNotOptimize(status.ok());
        benchmark::DoNotOptimize(area.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * area.size()));
}
BENCHMARK(BM_EncodeMacroArea);

void BM_DecodeMacroArea(benchmark::State& state)
{
    const std::vector<MacroRecord> list = FullList();
    std::vector<std::uint8_t> area(MacroAreaSizes(list).withNames);
    if (!EncodeMacroArea(list, area.size(), true, area).ok()) {
        state.SkipWithError("the full list does not encode");
        return;
    }
    for (auto _ : state) {
        auto records = DecodeMacroArea(area, list.size(), u"Macro");
        benchmark::DoNotOptimize(records.ok());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * area.size()));
}
BENCHMARK(BM_DecodeMacroArea);

} // namespace
} // namespace kestrune
