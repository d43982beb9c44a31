// End to end over loopback: register reads per second through the engine, the
// transport stack and the simulator (plain and ciphered), and a 1 MB profile
// read over HDLC.
#include <benchmark/benchmark.h>

#include "Harness.h"

using namespace quillon;
using namespace quillon::e2e;

namespace {

void ReadRegister(benchmark::State& state, TCase c) {
  TE2ESession s;
  s.Start(c);
  if (EstablishAA(&s.ctx) != 0) {
    state.SkipWithError(s.Result().c_str());
    return;
  }
  std::string req = GetNormal("0003", "0100010800FF", "02");
  for (auto _ : state) {
    if (ReadAttributes(&s.ctx, req.c_str()) != 0) {
      state.SkipWithError(s.Result().c_str());
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  ReleaseAA(&s.ctx);
}
BENCHMARK_CAPTURE(ReadRegister, wrapper_plain, TCase{"", pWrapper, true, 1, false})->UseRealTime();
BENCHMARK_CAPTURE(ReadRegister, wrapper_ciphered, TCase{"", pWrapper, true, 1, true})->UseRealTime();

// About 1 MB of profile entries (27 500 entries of 38 bytes) over HDLC.
void ReadProfileHdlc(benchmark::State& state) {
  TE2ESession s;
  s.ProfileEntries = 27500;
  s.HdlcInfoLength = static_cast<int>(state.range(0));
  s.Start(TCase{"", pHdlc, true, 1, false});
  s.ctx.ClientMaxReceivePDUSize = 0xFFFF;
  if (EstablishAA(&s.ctx) != 0) {
    state.SkipWithError(s.Result().c_str());
    return;
  }
  std::string req = GetNormal("0007", "0100630100FF", "02");
  size_t bytes = 0;
  for (auto _ : state) {
    if (ReadAttributes(&s.ctx, req.c_str()) != 0) {
      state.SkipWithError(s.Result().c_str());
      break;
    }
    bytes = std::strlen(s.ctx.Result);
  }
  state.counters["xml_bytes"] = static_cast<double>(bytes);
  ReleaseAA(&s.ctx);
}
BENCHMARK(ReadProfileHdlc)->Arg(128)->Arg(1024)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
