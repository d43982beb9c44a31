// Cost of the OBIS description database as the application uses it: loading
// the built-in copy once per object list, then one lookup per object.
#include <benchmark/benchmark.h>

#include "knowledge/OBISData.h"

using namespace quillon;

namespace {

// A 5,000-object list shaped like a large meter's: registers by tariff and
// billing period, per-phase instantaneous values, harmonics, profiles and the
// abstract objects around them.
std::vector<TOBISCode> ObjectList() {
  std::vector<TOBISCode> list;
  const uint8_t abstract[][6] = {{0, 0, 1, 0, 0, 255},  {0, 0, 40, 0, 0, 255}, {0, 0, 43, 1, 0, 255},
                                 {0, 1, 24, 2, 1, 255}, {0, 0, 96, 7, 21, 255}, {0, 0, 99, 98, 0, 255},
                                 {0, 0, 25, 9, 0, 255}, {0, 0, 96, 1, 0, 255}};
  for (size_t i = 0; list.size() < 5000; ++i) {
    const uint8_t c = static_cast<uint8_t>(1 + i % 80);
    const uint8_t e = static_cast<uint8_t>(i % 5);
    const uint8_t f = i % 7 == 0 ? static_cast<uint8_t>(1 + i % 12) : 255;
    list.push_back({1, 0, c, 8, e, f});
    list.push_back({1, 0, c, 6, e, f});
    list.push_back({1, 0, c, 7, static_cast<uint8_t>(i % 3 == 0 ? 124 : 0), 255});
    const auto& a = abstract[i % std::size(abstract)];
    list.push_back({a[0], a[1], a[2], a[3], a[4], a[5]});
    list.push_back({static_cast<uint8_t>(4 + i % 6), 0, static_cast<uint8_t>(1 + i % 3), 0, 0, 255});
  }
  list.resize(5000);
  return list;
}

void BM_LoadEmbeddedDatabase(benchmark::State& state) {
  for (auto _ : state) {
    auto db = LoadEmbeddedOBISData();
    benchmark::DoNotOptimize(db.get());
  }
  state.counters["bytes"] = static_cast<double>(EmbeddedOBISResource().size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(EmbeddedOBISResource().size()));
}
BENCHMARK(BM_LoadEmbeddedDatabase)->Unit(benchmark::kMillisecond);

void BM_DescribeObjectList(benchmark::State& state) {
  const auto db = LoadEmbeddedOBISData();
  const std::vector<TOBISCode> list = ObjectList();
  size_t chars = 0;
  for (auto _ : state) {
    for (const TOBISCode& code : list) chars += db->GetOBISText(code).size();
    benchmark::DoNotOptimize(chars);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(list.size()));
  state.counters["descriptions/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * list.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DescribeObjectList)->Unit(benchmark::kMillisecond);

}  // namespace
