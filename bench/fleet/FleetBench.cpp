// Reading a fleet, whole processes on loopback: quillon-cli batch against
// the simulator serving many meters (one association and one register read
// per meter) at several --jobs, and quillon-cli listen taking the
// notifications of a pushing fleet. Both simulator and client share the
// machine's cores, as they would not in the field.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <regex>

#include "CliProcess.h"
#include "SimProcess.h"
#include "xmlpdu/infra/Errors.h"

using namespace quillon;
using namespace quillon::test;

namespace {

constexpr int kMeters = 1000;

struct TBatchFleet {
  TTempDir Dir;
  std::string List = Dir.Path + "/fleet.csv";
  TSimProcess Sim{{"--fleet", std::to_string(kMeters), "--port", "0", "--fleet-list", List}};
};

TBatchFleet& Fleet() {
  static TBatchFleet f;
  return f;
}

void BM_BatchRegisterRead(benchmark::State& state) {
  TBatchFleet& f = Fleet();
  const std::string jobs = std::to_string(state.range(0));
  const bool db = state.range(1) != 0;
  int64_t meters = 0;
  for (auto _ : state) {
    std::vector<std::string> args{"batch", "--list", f.List, "--jobs", jobs, "-q"};
    if (db) {
      args.push_back("--db");
      args.push_back(f.Dir.Path + "/bench.db");
    } else {
      args.push_back("--out");
      args.push_back("/dev/null");
    }
    args.push_back("get");
    args.push_back("1.0.1.8.0.255");
    const auto start = std::chrono::steady_clock::now();
    const TRun r = RunCli(args, f.Dir.Path);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (r.Status != 0) state.SkipWithError(("batch failed: " + r.Err.substr(0, 300)).c_str());
    meters += kMeters;
  }
  state.counters["meters/s"] = benchmark::Counter(static_cast<double>(meters), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BatchRegisterRead)
    ->ArgNames({"jobs", "db"})
    ->Args({1, 0})->Args({8, 0})->Args({32, 0})->Args({128, 0})->Args({32, 1})->Args({128, 1})
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Port nothing listens on yet.
int FreePort() {
  TSimProcess probe({"--port", "0"});
  return probe.Port();
}

void BM_ListenNotifications(benchmark::State& state) {
  const int pushers = static_cast<int>(state.range(0));
  const bool db = state.range(1) != 0;
  const bool hdlc = state.range(2) != 0;  // HDLC frames on the listener's HDLC port instead of the wrapper
  const double seconds = 5;
  double received = 0, total = 0;
  for (auto _ : state) {
    TTempDir dir;
    const int port = FreePort();
    std::vector<std::string> simArgs{"--fleet", std::to_string(pushers), "--port", "0", "--fleet-list", dir.Path + "/l.csv",
                                     "--push", Format("127.0.0.1:%d", port), "--every", "0.01", "--push-security", "mixed"};
    if (hdlc) simArgs.push_back("--push-hdlc");
    TSimProcess sim(simArgs);
    std::vector<std::string> args{"listen", "--for", "5", "--list", dir.Path + "/l.csv"};
    if (hdlc) args.insert(args.end(), {"--port", "0", "--hdlc-port", std::to_string(port)});
    else args.insert(args.end(), {"--port", std::to_string(port)});
    if (db) args.insert(args.end(), {"--db", dir.Path + "/n.db"});
    else args.insert(args.end(), {"--out", "/dev/null"});
    const TRun r = RunCli(args, dir.Path);
    std::smatch m;
    if (r.Status != 0 || !std::regex_search(r.Err, m, std::regex("(\\d+) notifications, "))) {
      state.SkipWithError(("listen failed: " + r.Err.substr(0, 300)).c_str());
      break;
    }
    received += std::stod(m[1].str());
    total += seconds;
    state.SetIterationTime(seconds);
  }
  // Offered: pushers x 100 per second.
  state.counters["notifications/s"] = received / std::max(total, 1.0);
}
BENCHMARK(BM_ListenNotifications)
    ->ArgNames({"meters", "db", "hdlc"})
    ->Args({50, 0, 0})->Args({200, 0, 0})->Args({200, 1, 0})->Args({200, 0, 1})
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
