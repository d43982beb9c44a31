// What the fleet and listener tests share: JSON lines, files, ports on
// loopback, and a listener run in the background.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "CliProcess.h"
#include "client/Batch.h"

namespace quillon::test {

inline std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) out.push_back(nlohmann::json::parse(line));
  return out;
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

// A TCP port that takes connections (the kernel queues them) and never
// answers: a meter that hangs.
class TSilentPort {
public:
  TSilentPort() {
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(FFd, 8) != 0)
      throw std::runtime_error("silent port");
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  ~TSilentPort() { ::close(FFd); }
  int Port = 0;

private:
  int FFd = -1;
};

// A port nothing listens on.
inline int ClosedPort() {
  TSilentPort p;
  return p.Port;
}

inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A TCP connection to the listener once it is up (within a few seconds).
inline int ConnectWhenUp(int port) {
  for (int i = 0; i < 100; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

// The port of this end of a connection.
inline int LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// The meter list with one meter's address changed.
inline std::string WithAddress(const std::string& csv, const std::string& meter, const std::string& address) {
  auto rows = client::ParseCsv(csv);
  std::string out;
  for (auto& row : rows) {
    if (row[0] == meter) row[2] = address;
    for (size_t i = 0; i < row.size(); ++i) out += (i ? "," : "") + row[i];
    out += "\r\n";
  }
  return out;
}

// quillon-cli run in the background (under a descriptor limit when one is
// given), its outputs in files of `dir`.
class TCliProcess {
public:
  TCliProcess(const std::vector<std::string>& args, const std::string& dir, int fileLimit = 0)
      : FOut(dir + "/cli.out"), FErr(dir + "/cli.err") {
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
    std::vector<std::string> envs{"XDG_CONFIG_HOME=" + dir, "HOME=" + dir, "PATH=/usr/bin:/bin"};
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
  // Its status and outputs once it ended; `cpuSeconds` the processor time it used.
  TRun Wait(double* cpuSeconds = nullptr) {
    TRun r;
    int status = 0;
    rusage use{};
    if (FPid > 0 && ::wait4(FPid, &status, 0, &use) == FPid)
      r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FPid = -1;
    if (cpuSeconds)
      *cpuSeconds = use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    r.Out = ReadFile(FOut);
    r.Err = ReadFile(FErr);
    return r;
  }
  TRun Kill() {
    if (FPid > 0) ::kill(FPid, SIGKILL);
    return Wait();
  }
  std::string Err() const { return ReadFile(FErr); }
  pid_t Pid() const { return FPid; }

private:
  pid_t FPid = -1;
  std::string FOut, FErr;
};

// Polls `done` every 50 ms for at most `seconds`; whether it came true.
template <class F>
bool Eventually(F done, double seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace quillon::test
