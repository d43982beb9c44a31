// Reading a fleet, whole processes on loopback: quillon-cli batch against
// the simulator serving many meters (one association and one register read
// per meter) at several --jobs, into JSON lines, an SQLite file or a
// PostgreSQL server (a private cluster), quillon-cli headend reading the
// same fleet when its meters call in, and quillon-cli listen taking the
// notifications of a pushing fleet. Both simulator and client share the
// machine's cores, as they would not in the field.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "CliProcess.h"
#include "FleetSupport.h"
#include "PgCluster.h"
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

// The PostgreSQL server of db 2, started when first asked for.
const std::string& ServerDb() {
  static TPgCluster server;
  static const std::string uri = server.CreateDatabase("bench");
  return uri;
}

void BM_BatchRegisterRead(benchmark::State& state) {
  TBatchFleet& f = Fleet();
  const std::string jobs = std::to_string(state.range(0));
  const int64_t db = state.range(1);  // 0 JSON lines, 1 an SQLite file, 2 a PostgreSQL server
  int64_t meters = 0;
  for (auto _ : state) {
    std::vector<std::string> args{"batch", "--list", f.List, "--jobs", jobs, "-q"};
    if (db) {
      args.push_back("--db");
      try {
        args.push_back(db == 2 ? ServerDb() : f.Dir.Path + "/bench.db");
      } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
      }
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
    ->Args({1, 0})->Args({8, 0})->Args({32, 0})->Args({128, 0})->Args({32, 1})->Args({128, 1})->Args({32, 2})->Args({128, 2})
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Port nothing listens on yet.
int FreePort() {
  TSimProcess probe({"--port", "0"});
  return probe.Port();
}

// The same fleet as BM_BatchRegisterRead's, but every meter calls
// quillon-cli headend (all at once, as after a wake-up broadcast) instead of
// being dialled: the time from the first call until every meter is read,
// identified through the public client (logical device name) first. Compare
// with BM_BatchRegisterRead at the same jobs and db.
void BM_HeadendRegisterRead(benchmark::State& state) {
  TBatchFleet& f = Fleet();
  const std::string jobs = std::to_string(state.range(0));
  const bool db = state.range(1) != 0;
  int64_t meters = 0;
  for (auto _ : state) {
    TTempDir dir;
    const int port = FreePort();
    const std::string lines = dir.Path + "/r.jsonl";
    std::vector<std::string> args{"headend", "--address", "127.0.0.1", "--port", std::to_string(port), "--list", f.List,
                                  "--jobs", jobs, "--out", lines, "-q"};
    if (db) args.insert(args.end(), {"--db", dir.Path + "/bench.db"});
    args.insert(args.end(), {"get", "1.0.1.8.0.255"});
    TCliProcess headend(args, dir.Path);
    if (ConnectWhenUp(port) < 0) {
      state.SkipWithError("headend did not listen");
      break;
    }
    const auto start = std::chrono::steady_clock::now();
    TSimProcess calls({"--fleet", std::to_string(kMeters), "--call-in", Format("127.0.0.1:%d", port), "--every", "600"});
    auto read = [&] {
      std::ifstream in(lines);
      return static_cast<int>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
    };
    const bool all = Eventually([&] { return read() >= kMeters; }, 300);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    headend.Signal(SIGTERM);
    headend.WaitFor(30000);
    if (!all) {
      state.SkipWithError(Format("headend read %d of %d meters", read(), kMeters).c_str());
      break;
    }
    meters += kMeters;
  }
  state.counters["meters/s"] = benchmark::Counter(static_cast<double>(meters), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HeadendRegisterRead)
    ->ArgNames({"jobs", "db"})
    ->Args({32, 0})->Args({128, 0})->Args({32, 1})->Args({128, 1})
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

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

// The resident set of a process in MiB (0 when it cannot be read).
double RssMiB(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// A soak, not a speed test: 1000 meters (half plain, half ciphered) push
// once a second into listen --db for QUILLON_SOAK_SECONDS (default 600).
// Counters: notifications per second received and stored, the listener's
// resident set a few seconds in and at the end, and what was lost (queue
// full, or not stored at the end).
void BM_ListenSoak(benchmark::State& state) {
  const char* env = std::getenv("QUILLON_SOAK_SECONDS");
  const double seconds = env ? std::atof(env) : 600;
  for (auto _ : state) {
    TTempDir dir;
    const int port = FreePort();
    TSimProcess sim({"--fleet", std::to_string(kMeters), "--port", "0", "--fleet-list", dir.Path + "/l.csv", "--push",
                     Format("127.0.0.1:%d", port), "--every", "1", "--push-security", "mixed"});
    TCliProcess listen({"listen", "--port", std::to_string(port), "--for", Format("%g", seconds), "--list",
                        dir.Path + "/l.csv", "--db", dir.Path + "/n.db"},
                       dir.Path);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double rssStart = RssMiB(listen.Pid());
    double rssEnd = rssStart;
    // Sampled until it ends: the last sample before the summary.
    for (double t = 5; t < seconds - 1; t += 1) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      if (const double r = RssMiB(listen.Pid())) rssEnd = r;
    }
    const TRun r = listen.Wait();
    std::smatch m;
    if (!std::regex_search(r.Err, m, std::regex(R"((\d+) notifications, (\d+) replays dropped, (\d+) malformed, (\d+) refused, .*; (\d+) stored, (\d+) already stored, (\d+) lost)"))) {
      state.SkipWithError(("listen failed: " + r.Err.substr(0, 300)).c_str());
      break;
    }
    const double received = std::stod(m[1].str()), stored = std::stod(m[5].str()), lost = std::stod(m[7].str());
    state.SetIterationTime(seconds);
    state.counters["notifications/s"] = received / seconds;
    state.counters["stored/s"] = stored / seconds;
    state.counters["rss_start_MiB"] = rssStart;
    state.counters["rss_end_MiB"] = rssEnd;
    state.counters["lost"] = lost + (received - stored);
    state.counters["malformed"] = std::stod(m[3].str());
    state.counters["refused"] = std::stod(m[4].str());
  }
}
BENCHMARK(BM_ListenSoak)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
