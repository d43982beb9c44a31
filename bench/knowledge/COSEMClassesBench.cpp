// How fast the catalogue answers the lookups the object list view makes: one
// Search per object, with the class and version the meter reported.
#include <benchmark/benchmark.h>

#include <utility>
#include <vector>

#include "knowledge/COSEMClasses.h"

using namespace quillon;

namespace {

void Lookups(benchmark::State& state, std::vector<std::pair<int, int>> keys) {
  const TCOSEMClassesInfo& classes = COSEMClassesInfo();
  for (auto _ : state)
    for (const auto& [classId, version] : keys)
      benchmark::DoNotOptimize(classes.Search(classId, version));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(keys.size()));
}

// A typical electricity meter object list: mostly registers, data and profiles.
void BM_SearchTypicalObjectList(benchmark::State& state) {
  Lookups(state, {{1, 0}, {3, 0}, {3, 0}, {4, 0}, {5, 0}, {7, 1}, {8, 0}, {15, 3},
                  {17, 0}, {18, 0}, {20, 0}, {22, 0}, {23, 1}, {40, 2}, {64, 1}, {70, 0}});
}
BENCHMARK(BM_SearchTypicalObjectList);

void BM_SearchLastClass(benchmark::State& state) { Lookups(state, {{162, 0}}); }
BENCHMARK(BM_SearchLastClass);

// Unknown classes and versions scan the whole table before giving up.
void BM_SearchMiss(benchmark::State& state) { Lookups(state, {{2, 0}, {3, 7}, {1000, -1}}); }
BENCHMARK(BM_SearchMiss);

void BM_SearchAnyVersion(benchmark::State& state) { Lookups(state, {{15, -1}, {92, -1}}); }
BENCHMARK(BM_SearchAnyVersion);

}  // namespace
