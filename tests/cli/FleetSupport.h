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
  TSilentPort() { FFd = ListenOnLoopback(Port, 8); }
  ~TSilentPort() { ::close(FFd); }
  int Port = 0;

private:
  int FFd = -1;
};


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
