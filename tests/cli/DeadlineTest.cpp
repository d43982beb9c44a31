// Runs that always end: a meter that trickles its answer a byte at a time
// fails within the time allowed for a whole answer, a batch gives up on a
// meter that takes too long and goes on, and Ctrl-C or SIGTERM end a
// command with the status shells expect.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "CliProcess.h"
#include "SimProcess.h"
#include "xmlpdu/infra/Errors.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// A "meter" on loopback that takes every connection and answers whatever it
// is sent with the start of a wrapper frame, one byte every 100 ms, never
// finishing it.
class TTrickler {
public:
  TTrickler() {
    FFd = ListenOnLoopback(Port);
    FThread = std::thread([this] { Serve(); });
  }
  ~TTrickler() {
    FStop = true;
    FThread.join();
    ::close(FFd);
  }
  int Port = 0;

private:
  void Serve() {
    std::vector<std::thread> links;
    while (!FStop) {
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int c = ::accept(FFd, nullptr, nullptr);
      if (c < 0) continue;
      links.emplace_back([this, c] {
        // Header: version 1, source 1, destination 16, 200 bytes to come.
        static const unsigned char kFrame[] = {0x00, 0x01, 0x00, 0x01, 0x00, 0x10, 0x00, 0xC8};
        char request[512];
        pollfd q{c, POLLIN, 0};
        for (size_t sent = 0; !FStop;) {
          if (::poll(&q, 1, 100) > 0 && ::recv(c, request, sizeof request, 0) <= 0) break;
          const unsigned char b = sent < sizeof kFrame ? kFrame[sent] : 0x00;
          if (::send(c, &b, 1, MSG_NOSIGNAL) != 1) break;
          ++sent;
        }
        ::close(c);
      });
    }
    for (auto& t : links) t.join();
  }
  int FFd = -1;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

}  // namespace

TEST(Deadlines, AMeterThatTricklesFailsWithinTheTimeForAWholeAnswer) {
  TTempDir home;
  TTrickler meter;
  const TRun r = RunCli({"--tcp", Format("127.0.0.1:%d", meter.Port), "--timeout", "1000", "get", "1.0.1.8.0.255"},
                        home.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  // Twice the response timeout for a whole answer; bytes every 100 ms keep
  // coming until then.
  EXPECT_TRUE(std::regex_match(r.Err, std::regex("quillon-cli: association: No complete response within 2000 ms "
                                                 "\\([0-9]+ bytes received\\)\n"
                                                 "  what happened: The answer from 127\\.0\\.0\\.1:[0-9]+ did not come "
                                                 "whole in time\n  likely cause: .*\n  fix: try again; .*\n")))
      << r.Err;
}

TEST(Deadlines, ABatchGivesUpOnASlowMeterAndWritesTheOthersAsTheyFinish) {
  TTempDir home;
  TTrickler slow;
  TSimProcess good({"--port", "0"});
  const std::string list = home.Path + "/list.csv", out = home.Path + "/out.jsonl";
  {
    std::ofstream f(list);
    f << "name,address\nslow,127.0.0.1:" << slow.Port << "\ngood,127.0.0.1:" << good.Port() << "\n";
  }
  // The slow meter's answer would be allowed a minute; the meter, a second.
  const TRun r = RunCli({"batch", "--list", list, "--timeout", "60000", "--retries", "0", "--meter-timeout", "1",
                         "--out", out, "get", "1.0.1.8.0.255"},
                        home.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  EXPECT_NE(r.Err.find("2 meters: 1 read, 1 failed, 0 not started"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("failed: slow: not read within the meter timeout of 1 s\n"), std::string::npos) << r.Err;
  const std::string lines = ReadFile(out);
  EXPECT_NE(lines.find("\"meter\":\"good\""), std::string::npos) << lines;
  EXPECT_NE(lines.find("\"error\":\"not read within the meter timeout of 1 s\""), std::string::npos) << lines;
}

TEST(Deadlines, CtrlCAndSigtermEndACommandWithTheStatusShellsExpect) {
  TTempDir home;
  TTrickler meter;
  const std::string list = home.Path + "/list.csv";
  {
    std::ofstream f(list);
    f << "name,address\nslow,127.0.0.1:" << meter.Port << "\n";
  }
  const struct {
    std::vector<std::string> Args;
    int Signal, Status;
  } cases[] = {
      {{"--tcp", Format("127.0.0.1:%d", meter.Port), "--timeout", "600000", "get", "1.0.1.8.0.255"}, SIGINT, 130},
      {{"--tcp", Format("127.0.0.1:%d", meter.Port), "--timeout", "600000", "get", "1.0.1.8.0.255"}, SIGTERM, 143},
      {{"batch", "--list", list, "--timeout", "600000", "get", "1.0.1.8.0.255"}, SIGINT, 130},
      {{"batch", "--list", list, "--timeout", "600000", "get", "1.0.1.8.0.255"}, SIGTERM, 143},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args[0] + " " + strsignal(c.Signal));
    TCliProcess run(c.Args, home.Path);
    // In the middle of the exchange with the meter.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    run.Signal(c.Signal);
    EXPECT_EQ(run.WaitFor(20000).Status, c.Status);
  }
}

TEST(Deadlines, TheSimulatedMeterClosesAnIdleConnectionAndServesTheNextCaller) {
  TTempDir home;
  TSimProcess meter({"--port", "0", "--inactivity-timeout", "1"});
  // A caller that connects and says nothing holds the meter's one association...
  const int idle = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(meter.Port()));
  ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // ...until the meter closes it; the next caller is then served.
  const TRun r = RunCli({"--tcp", Format("127.0.0.1:%d", meter.Port()), "--timeout", "10000", "get", "1.0.1.8.0.255"},
                        home.Path);
  EXPECT_EQ(r.Status, 0) << Describe(r);
  char byte;
  pollfd p{idle, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 10000), 1);
  EXPECT_EQ(::recv(idle, &byte, 1, 0), 0) << "the idle connection was not closed";
  ::close(idle);
}
