// What the Python binding costs per call: 1000 gets of one register (its
// value, and its scaler and unit: two exchanges each) on one open session, through the C++ session library and through the quillon package
// (on Python's main thread, where each call watches for Ctrl-C, and on
// another thread). Both against the simulator on loopback.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "SimProcess.h"
#include "client/Session.h"

namespace {

constexpr int kCalls = 1000;

void CppSessionGets(benchmark::State& state) {
  quillon::test::TSimProcess sim({"--port", "0"});
  quillon::client::TMeterProfile p;
  p.Host = "127.0.0.1";
  p.Port = sim.Port();
  quillon::client::TSession s(p);
  s.Open();
  const quillon::client::TObjectRef ref = quillon::client::ParseObjectRef("3/1.0.1.8.0.255/2");
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) benchmark::DoNotOptimize(s.Get(ref));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  s.Close();
  state.counters["us_per_call"] = total / static_cast<double>(state.iterations()) / kCalls * 1e6;
}
BENCHMARK(CppSessionGets)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void PythonSessionGets(benchmark::State& state) {
  quillon::test::TSimProcess sim({"--port", "0"});
  const bool mainThread = state.range(0) == 0;
  double total = 0;
  for (auto _ : state) {
    const std::string command = std::string("PYTHONPATH=") + QUILLON_PYTHONPATH + " " + QUILLON_PYTHON + " " +
                                QUILLON_GET_SCRIPT + " " + std::to_string(sim.Port()) + " " + std::to_string(kCalls);
    FILE* out = ::popen(command.c_str(), "r");
    double onMain = 0, onThread = 0;
    if (!out || std::fscanf(out, "%lf %lf", &onMain, &onThread) != 2) {
      if (out) ::pclose(out);
      state.SkipWithError("the Python script failed");
      break;
    }
    ::pclose(out);
    const double seconds = mainThread ? onMain : onThread;
    state.SetIterationTime(seconds);
    total += seconds;
  }
  if (state.iterations())
    state.counters["us_per_call"] = total / static_cast<double>(state.iterations()) / kCalls * 1e6;
}
BENCHMARK(PythonSessionGets)->Arg(0)->Arg(1)->ArgName("other_thread")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
