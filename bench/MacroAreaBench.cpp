// Encoding and decoding the macro area of a full keyboard: as many named
// macros as the keyboard's 8 KiB area holds with their names.

#include "macro/MacroArea.h"
#include "wire/Protocol.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace kestrune {
namespace {

// What the keyboard announces in its settings record: 64 units of 128 bytes.
constexpr std::size_t kKeyboardMacroCapacity = 64 * wire::kMacroCapacityUnit;
static_assert(kKeyboardMacroCapacity == 8192);

std::vector<MacroRecord> FullList()
{
    // Macros of 16 actions under names of ordinary length, as many as fit;
    // then actions for the last one until the area is full.
    constexpr std::size_t kActions = 16;
    static constexpr std::uint16_t keys[] = {0x01D, 0x01E, 0x130, 0x15E, 0x054, 0x136};
    auto action = [](std::size_t i) {
        return MacroAction{static_cast<std::int32_t>(10 * i), keys[i % 6], static_cast<std::uint16_t>(i % 2)};
    };
    std::vector<MacroRecord> list;
    for (std::uint16_t id = 1; id <= kMaxMacros; ++id) {
        MacroRecord record = MakeMacroRecord(u"Combo " + std::u16string(1, static_cast<char16_t>(u'A' + id % 26)), id);
        for (std::size_t i = 0; i < kActions; ++i) record.AppendAction(action(i));
        list.push_back(record);
        if (MacroAreaSizes(list).withNames > kKeyboardMacroCapacity) {
            list.pop_back();
            break;
        }
    }
    for (std::size_t i = kActions; list.back().AppendAction(action(i)); ++i) {
        if (MacroAreaSizes(list).withNames > kKeyboardMacroCapacity) {
            list.back().actionCount--;
            break;
        }
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
    state.counters["area_bytes"] = static_cast<double>(area.size());
    state.counters["macros"] = static_cast<double>(list.size());
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
