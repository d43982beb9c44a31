// What the Python binding costs per call: 1000 gets of one register (its
// value, and its scaler and unit: two exchanges each) on one open session, through the C++ session library and through the quillon package
// (on Python's main thread, where each call watches for Ctrl-C, and on
// another thread). Both against the simulator on loopback.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "SimProcess.h"
#include "client/Session.h"

namespace {

constexpr int kCalls = 1000;

double ProcessSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Per call: wall time (the meter's answers included) and this process's
// processor time (what the client spends; the simulator is another process).
void Report(benchmark::State& state, double wall, double cpu) {
  const double calls = static_cast<double>(state.iterations()) * kCalls;
  state.counters["us_per_call"] = wall / calls * 1e6;
  state.counters["cpu_us_per_call"] = cpu / calls * 1e6;
}

void CppSessionGets(benchmark::State& state) {
  quillon::test::TSimProcess sim({"--port", "0"});
  quillon::client::TMeterProfile p;
  p.Host = "127.0.0.1";
  p.Port = sim.Port();
  quillon::client::TSession s(p);
  s.Open();
  const quillon::client::TObjectRef ref = quillon::client::ParseObjectRef("3/1.0.1.8.0.255/2");
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessSeconds();
    for (int i = 0; i < kCalls; ++i) benchmark::DoNotOptimize(s.Get(ref));
    cpu += ProcessSeconds() - cpuStart;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    wall += seconds;
  }
  s.Close();
  Report(state, wall, cpu);
}
BENCHMARK(CppSessionGets)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void PythonSessionGets(benchmark::State& state) {
  quillon::test::TSimProcess sim({"--port", "0"});
  const bool mainThread = state.range(0) == 0;
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    const std::string command = std::string("PYTHONPATH=") + QUILLON_PYTHONPATH + " " + QUILLON_PYTHON + " " +
                                QUILLON_GET_SCRIPT + " " + std::to_string(sim.Port()) + " " + std::to_string(kCalls);
    FILE* out = ::popen(command.c_str(), "r");
    double figures[4] = {};
    if (!out || std::fscanf(out, "%lf %lf %lf %lf", &figures[0], &figures[1], &figures[2], &figures[3]) != 4) {
      if (out) ::pclose(out);
      state.SkipWithError("the Python script failed");
      break;
    }
    ::pclose(out);
    const double* mine = mainThread ? figures : figures + 2;
    state.SetIterationTime(mine[0]);
    wall += mine[0];
    cpu += mine[1];
  }
  if (state.iterations()) Report(state, wall, cpu);
}
BENCHMARK(PythonSessionGets)->Arg(0)->Arg(1)->ArgName("other_thread")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
