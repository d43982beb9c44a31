// quillon-cli run as a process by the tests: its status and both outputs,
// in a temporary folder of its own.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillon::test {

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class TTempDir {
public:
  TTempDir() {
    char tmpl[] = "/tmp/quillon-cli-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    Path = tmpl;
  }
  ~TTempDir() { std::system(("rm -rf '" + Path + "'").c_str()); }
  std::string Path;
};

// quillon-cli as a process: started with `args`, an environment of
// XDG_CONFIG_HOME and HOME (`home`), PATH and the extra variables given,
// under a descriptor limit when one is given, its outputs in files of a
// folder of its own; waited for, signalled or killed.
class TCliProcess {
public:
  TCliProcess(const std::vector<std::string>& args, const std::string& home, int fileLimit = 0)
      : TCliProcess(args, home, {}, fileLimit) {}
  TCliProcess(const std::vector<std::string>& args, const std::string& home, const std::vector<std::string>& extraEnv,
              int fileLimit = 0)
      : FOut(FIo.Path + "/out"), FErr(FIo.Path + "/err") {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, FOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, FErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string limit = fileLimit ? "ulimit -n " + std::to_string(fileLimit) + "; " : "";
    std::vector<std::string> all{"/bin/sh", "-c", limit + "exec \"$0\" \"$@\"", QUILLON_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envs{"XDG_CONFIG_HOME=" + home, "HOME=" + home, "PATH=/usr/bin:/bin"};
    envs.insert(envs.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&FPid, "/bin/sh", &fa, nullptr, argv.data(), envp.data()) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~TCliProcess() {
    if (FPid > 0) Kill();
  }
  TCliProcess(const TCliProcess&) = delete;
  TCliProcess& operator=(const TCliProcess&) = delete;

  bool Started() const { return FPid > 0; }
  bool Running() {
    if (FPid <= 0 || FReaped) return false;
    if (::wait4(FPid, &FStatus, WNOHANG, &FUse) != FPid) return true;
    FReaped = true;
    return false;
  }
  void Signal(int sig) { ::kill(FPid, sig); }
  pid_t Pid() const { return FPid; }
  std::string Err() const { return ReadFile(FErr); }

  // Its status (128 + the signal that ended it) and outputs once it ended;
  // `cpuSeconds` the processor time it used.
  TRun Wait(double* cpuSeconds = nullptr) {
    TRun r;
    if (FPid > 0 && (FReaped || ::wait4(FPid, &FStatus, 0, &FUse) == FPid))
      r.Status = WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : 128 + WTERMSIG(FStatus);
    FPid = -1;
    FReaped = false;
    if (cpuSeconds)
      *cpuSeconds = FUse.ru_utime.tv_sec + FUse.ru_stime.tv_sec + (FUse.ru_utime.tv_usec + FUse.ru_stime.tv_usec) / 1e6;
    r.Out = ReadFile(FOut);
    r.Err = ReadFile(FErr);
    return r;
  }
  // The same when it ends within `limitMs`; status -1 when it has not (a
  // generous bound: such a test is about ending at all).
  TRun WaitFor(int limitMs) {
    for (int waited = 0; waited < limitMs && Running(); waited += 10) ::usleep(10000);
    if (Running()) return TRun{};
    return Wait();
  }
  TRun Kill() {
    if (FPid > 0 && !FReaped) ::kill(FPid, SIGKILL);
    return Wait();
  }

private:
  TTempDir FIo;
  pid_t FPid = -1;
  // Reaped by Running: its status and use are here.
  bool FReaped = false;
  int FStatus = 0;
  rusage FUse{};
  std::string FOut, FErr;
};

// Runs quillon-cli with `args` to its end (see TCliProcess).
inline TRun RunCli(const std::vector<std::string>& args, const std::string& configHome,
            const std::vector<std::string>& extraEnv = {}) {
  TCliProcess cli(args, configHome, extraEnv);
  return cli.Started() ? cli.Wait() : TRun{};
}

// A TCP socket listening on loopback at a free port.
inline int ListenOnLoopback(int& port, int backlog = 16) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, backlog) != 0)
    throw std::runtime_error("cannot listen on loopback");
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// A loopback port nothing listens on (free for a listener of the test's).
inline int ClosedPort() {
  int port = 0;
  ::close(ListenOnLoopback(port));
  return port;
}

inline std::string Describe(const TRun& r) { return "status " + std::to_string(r.Status) + "\nstdout: " + r.Out + "\nstderr: " + r.Err; }

}  // namespace quillon::test
