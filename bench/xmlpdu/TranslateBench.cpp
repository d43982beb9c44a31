// quillon-translate --to-xml as a whole process on a capture (the hex text of
// a GetResponse holding a load profile, 32 bytes a line): process start, hex
// reading, conversion and writing. The time is the process's own processor
// time (user and system, from wait4; its peak memory is not, since a child
// started from this process counts this process's pages in its own peak).
// QUILLON_TRANSLATE names another build's program to measure side by side.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/ProfileData.h"
#include "xmlpdu/infra/Misc.h"

namespace {

std::string WriteCapture(size_t bytes) {
  const std::string path = "/tmp/quillon-bench-capture-" + std::to_string(::getpid()) + "-" + std::to_string(bytes);
  const std::string hex = quillon::TMisc::ByteStrToHexStr(quillon::bench::ProfileResponse(bytes));
  std::ofstream out(path, std::ios::binary);
  for (size_t i = 0; i < hex.size(); i += 64) out << hex.substr(i, 64) << '\n';
  return path;
}

void TranslateToXml(benchmark::State& state, bool intoFile) {
  const char* program = std::getenv("QUILLON_TRANSLATE");
  if (program == nullptr || *program == '\0') program = QUILLON_TRANSLATE_PROGRAM;
  if (*program == '\0') return state.SkipWithError("quillon-translate is not built");
  const size_t bytes = static_cast<size_t>(state.range(0));
  const std::string capture = WriteCapture(bytes);
  const std::string output = intoFile ? capture + ".xml" : "/dev/null";
  std::vector<std::string> args{program, "--to-xml", capture};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawn(&pid, program, &fa, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot start quillon-translate");
      break;
    }
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("quillon-translate failed");
      break;
    }
    state.SetIterationTime(static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6);
  }
  posix_spawn_file_actions_destroy(&fa);
  std::remove(capture.c_str());
  if (intoFile) std::remove(output.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

BENCHMARK_CAPTURE(TranslateToXml, into_file, true)->Arg(1 << 20)->Arg(10 << 20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TranslateToXml, to_dev_null, false)->Arg(1 << 20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
