// Loading a meter list: a CSV list and a meters file of N meters, parsed
// into profiles. A list of 100,000 rows should load in about a second.
#include <benchmark/benchmark.h>

#include <string>

#include "client/Batch.h"

using namespace quillon::client;

namespace {

std::string CsvList(int n) {
  std::string s = "name,address,client,auth,password\n";
  for (int i = 0; i < n; ++i) s += "meter-" + std::to_string(i) + ",10.0." + std::to_string(i / 250) + "." +
                                   std::to_string(i % 250) + ":4059,1,low,secret\n";
  return s;
}

std::string MetersFile(int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    s += "[meter-" + std::to_string(i) + "]\ntransport=tcp\nhost=10.0.0.1\nport=4059\nclient=1\nauth=low\npassword=secret\n\n";
  return s;
}

void BM_CsvList(benchmark::State& state) {
  const std::string text = CsvList(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(MetersOfCsv(text));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CsvList)->Arg(10000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_MetersFile(benchmark::State& state) {
  const std::string text = MetersFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    TIniData ini;
    ini.Parse(text);
    benchmark::DoNotOptimize(MetersOfIni(ini));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MetersFile)->Arg(10000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
