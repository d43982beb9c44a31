// The meter simulator as a child process, for tests that run whole programs
// against it: started with the given options, its first output line read
// (the port or the pseudo-terminal it serves), stopped when the object goes.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace quillon::test {

class TSimProcess {
public:
  explicit TSimProcess(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> all{QUILLON_SIM, "--quiet"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&FPid, QUILLON_SIM, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      throw std::runtime_error("cannot start the simulator");
    }
    FOut = ::fdopen(out[0], "r");
    char line[512];
    if (!FOut || !std::fgets(line, sizeof line, FOut)) throw std::runtime_error("the simulator said nothing");
    FirstLine = line;
    while (!FirstLine.empty() && (FirstLine.back() == '\n' || FirstLine.back() == '\r')) FirstLine.pop_back();
  }
  ~TSimProcess() {
    if (FPid > 0) {
      ::kill(FPid, SIGTERM);
      int status;
      ::waitpid(FPid, &status, 0);
    }
    if (FOut) std::fclose(FOut);
  }
  TSimProcess(const TSimProcess&) = delete;
  TSimProcess& operator=(const TSimProcess&) = delete;

  // "listening on 127.0.0.1 port 40123 (...)" -> 40123
  int Port() const {
    const size_t at = FirstLine.find(" port ");
    if (at == std::string::npos) throw std::runtime_error("no port in: " + FirstLine);
    return std::stoi(FirstLine.substr(at + 6));
  }
  // "pseudo-terminal /dev/pts/7" -> /dev/pts/7
  std::string Device() const {
    const size_t at = FirstLine.rfind(' ');
    return FirstLine.substr(at + 1);
  }

  std::string FirstLine;

private:
  pid_t FPid = -1;
  FILE* FOut = nullptr;
};

}  // namespace quillon::test
