// Storing a batch's results: the same 200 meters' readings into an SQLite
// file and into a PostgreSQL server (a private cluster on loopback, started
// once, as the tests start theirs), through the store the commands use.
// Each iteration is one writer batch, new read times, so every row is new.
#include <benchmark/benchmark.h>

#include <memory>

#include "PgCluster.h"
#include "client/PostgresStore.h"
#include "client/SqliteStore.h"

using namespace quillon;
using namespace quillon::client;
using namespace quillon::test;

namespace {

constexpr int kMeters = 200;

// 200 meters with `registers` energy registers each (scaler and unit, as a
// register read brings them).
std::vector<TMeterResult> Results(int registers, int64_t at) {
  std::vector<TMeterResult> results;
  for (int m = 1; m <= kMeters; ++m) {
    TMeterResult r;
    r.Meter = Format("sim-%04d", m);
    r.Ok = true;
    r.ReadAt = at;
    for (int i = 0; i < registers; ++i) {
      TReading reading;
      reading.Ref = ParseObjectRef(Format("3/1.0.%d.8.0.255/2", i + 1));
      reading.Value = ParseDataXml(Format("<DoubleLongUnsigned Value=\"%08X\"/>", m * 1000 + i));
      reading.ScalerUnit = TScalerUnit{-1, 30};
      r.Readings.push_back(reading);
    }
    results.push_back(std::move(r));
  }
  return results;
}

// The file beside the cluster's data, on the same disk.
struct TStores {
  std::unique_ptr<TPgCluster> Server = std::make_unique<TPgCluster>();
  std::string Uri = Server->CreateDatabase("bench");
  std::string File = Server->Dir + "/bench.db";
};

TStores& Stores() {
  static TStores s;
  return s;
}

void BM_StoreBatch(benchmark::State& state) {
  const bool server = state.range(0) != 0;
  const int registers = static_cast<int>(state.range(1));
  std::unique_ptr<TReadingsStore> store;
  try {
    store = server ? std::unique_ptr<TReadingsStore>(std::make_unique<TPostgresStore>(Stores().Uri))
                   : std::make_unique<TSqliteStore>(Stores().File);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  static int64_t at = 1700000000;
  int64_t readings = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const auto results = Results(registers, ++at);
    state.ResumeTiming();
    store->Store(results, "bench");
    readings += kMeters * registers;
  }
  state.SetLabel(server ? "postgresql" : "sqlite");
  state.counters["readings/s"] = benchmark::Counter(static_cast<double>(readings), benchmark::Counter::kIsRate);
}
// SQLite, then PostgreSQL; 3 and 20 registers a meter.
BENCHMARK(BM_StoreBatch)->ArgsProduct({{0, 1}, {3, 20}})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace


