// One `quillon-cli get` of a register as a script would run it: process
// start, connect, associate, read register and unit, release, exit. The
// simulator runs as its own process on loopback for the whole benchmark.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "SimProcess.h"

namespace {

void CliGetRegister(benchmark::State& state, std::vector<std::string> extra) {
  quillon::test::TSimProcess sim({"--port", "0"});
  std::vector<std::string> args{QUILLON_CLI, "--tcp", "127.0.0.1:" + std::to_string(sim.Port())};
  args.insert(args.end(), extra.begin(), extra.end());
  args.insert(args.end(), {"get", "1.0.1.8.0.255"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawn(&pid, QUILLON_CLI, &fa, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot start quillon-cli");
      break;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("quillon-cli failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&fa);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK_CAPTURE(CliGetRegister, wrapper_lowest, std::vector<std::string>{"--client", "16"})
    ->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CliGetRegister, wrapper_low, std::vector<std::string>{"--client", "17", "--auth", "low",
                                                                        "--password", "12345678"})
    ->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
