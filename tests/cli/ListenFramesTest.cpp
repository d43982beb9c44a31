// quillon-cli listen on meters' customer ports: M-Bus frames over TCP (a
// real meter's capture, as a serial-to-TCP bridge delivers it), a serial
// line (a pseudo-terminal) that is pulled out and put back, and the options
// that set them up.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "CliProcess.h"
#include "FleetSupport.h"
#include "comm/PushFrames.h"
#include "comm/Serial.h"
#include "tests/PseudoTerminal.h"
#include "tests/RealCaptures.h"
#include "tools/cli/Listen.h"
#include "tools/meter-sim/SimFleet.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using namespace quillon::test;
using nlohmann::json;

TEST(ListenMBus, AMetersCapturedFramesOverTcpAreJoinedAndDeciphered) {
  TTempDir dir;
  const std::string list = dir.Path + "/meters.csv", lines = dir.Path + "/n.jsonl";
  WriteFile(list, std::string("name,address,server-system-title,ek,ak,security\r\n") +
                      "tinetz,10.9.9.9:4059,4B464D1010000023," + kKaifaEk + ",,enc\r\n");
  // A Kaifa MA309M's push as its customer port sent it, its key as its owner published it.
  const PduStr frames = TMisc::HexStrToByteStr(std::string(kKaifaMBusFrame1) + kKaifaMBusFrame2);
  PduStr badSum = frames;
  badSum[254] ^= 0x01;  // the first frame's checksum
  const int port = ClosedPort();
  // Junk, the push in pieces as a bridge forwards them, then the push with
  // a broken frame, then the push again.
  std::thread bridge([&] {
    const int fd = ConnectWhenUp(port);
    if (fd < 0) return;
    const PduStr out = "\x01\x02" + frames + badSum + frames;
    for (size_t at = 0; at < out.size(); at += 100) {
      const PduStr piece = out.substr(at, 100);
      ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(fd);
  });
  const TRun r = RunCli({"listen", "--address", "127.0.0.1", "--port", "0", "--mbus-port", std::to_string(port), "--for",
                         "2", "--list", list, "--out", lines},
                        dir.Path);
  bridge.join();
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_NE(r.Err.find(Format("listening on 127.0.0.1 port %d (TCP, M-Bus)\n", port)), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("/mbus: 2 bytes outside a frame skipped\n"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("/mbus: M-Bus frame dropped (checksum 0E, expected 0F)\n"), std::string::npos) << r.Err;
  // The broken frame's second half is its own message's rest: no line, no message.
  EXPECT_EQ(r.Err.find("segment 1"), std::string::npos) << r.Err;
  const auto records = JsonLines(ReadFile(lines));
  ASSERT_EQ(records.size(), 2u) << r.Err;
  for (const json& j : records) {
    EXPECT_EQ(j["meter"], "tinetz") << j.dump();
    EXPECT_EQ(j["kind"], "data-notification") << j.dump();
    EXPECT_FALSE(j.contains("unknown")) << j.dump();
    // The time the meter stamped it with: 2021-07-19 15:46:35.
    EXPECT_NE(j.dump().find("2021-07-19T15:46:35"), std::string::npos) << j.dump();
  }
  EXPECT_NE(r.Err.find("2 notifications, 0 replays dropped, 2 malformed, "), std::string::npos) << r.Err;
}

namespace {

// The listener on its own thread, what it says and what it decodes kept.
struct TRunningListener {
  explicit TRunningListener(const cli::TListenOptions& options) : Listener(Decoder) {
    Listener.OnError = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(Lock);
      Lines.push_back(line);
    };
    Listener.OnListeningSerial = Listener.OnError;
    Listener.OnPushed = [this](const cli::TPushed& p) {
      std::lock_guard<std::mutex> lock(Lock);
      Pushed.push_back(p.Meter + " " + p.Body.dump());
    };
    Thread = std::thread([this, options] { Counts = Listener.Run(options, Cancel); });
  }
  ~TRunningListener() { Stop(); }
  void Stop() {
    Cancel.Cancel();
    if (Thread.joinable()) Thread.join();
  }
  bool Said(const std::string& line) {
    return Eventually([&] {
      std::lock_guard<std::mutex> lock(Lock);
      return std::find(Lines.begin(), Lines.end(), line) != Lines.end();
    }, 10);
  }
  bool PushedCount(size_t n) {
    return Eventually([&] {
      std::lock_guard<std::mutex> lock(Lock);
      return Pushed.size() >= n;
    }, 10);
  }
  std::vector<std::string> Said() {
    std::lock_guard<std::mutex> lock(Lock);
    return Lines;
  }
  cli::TPushDecoder Decoder{{}, {}};
  cli::TPushListener Listener;
  client::TCancelToken Cancel;
  cli::TListenCounts Counts;
  std::mutex Lock;
  std::vector<std::string> Lines, Pushed;
  std::thread Thread;
};

}  // namespace

TEST(ListenSerial, ACustomerPortIsReadAndSurvivesItsAdapterPulledAndPutBack) {
  TTempDir dir;
  const std::string link = dir.Path + "/ttyHAN";
  auto pty = std::make_unique<TPluggedPty>(link);
  cli::TListenOptions options;
  options.Address = "127.0.0.1";
  options.Port = 0;
  options.Serial = link;
  TRunningListener l(options);
  const std::string peer = link + "/serial";
  ASSERT_TRUE(l.Said("serial port " + link + " (2400 baud, 8E1, HDLC or M-Bus)")) << ::testing::PrintToString(l.Said());

  // M-Bus frames, the push cut into small segments as a meter with a short
  // frame would; junk before them.
  auto push = [](int n, uint32_t id) {
    return sim::PushNotification(sim::FleetIdentity(n), id, 1765000000, n, false, "", "");
  };
  PduStr mbus = "\x55\x55";
  for (const PduStr& f : MBusLongFrames(push(1, 1), 20)) mbus += f;
  ASSERT_TRUE(pty->Write(mbus));
  ASSERT_TRUE(l.PushedCount(1)) << ::testing::PrintToString(l.Said());
  EXPECT_TRUE(l.Said(peer + ": M-Bus frames found; read as M-Bus"));
  EXPECT_TRUE(l.Said(peer + ": 2 bytes outside a frame skipped"));

  // Pulled out: one line; put back, on another device behind the same
  // name: one line, and what it sends is read (HDLC this time: the framing
  // is found afresh).
  pty.reset();
  ASSERT_TRUE(l.Said("serial port " + link + " lost (hung up); reopening")) << ::testing::PrintToString(l.Said());
  pty = std::make_unique<TPluggedPty>(link);
  ASSERT_TRUE(l.Said("serial port " + link + " open again")) << ::testing::PrintToString(l.Said());
  ASSERT_TRUE(pty->Write(sim::HdlcPushFrames(push(2, 7), sim::THdlcSettings{})));
  ASSERT_TRUE(l.PushedCount(2)) << ::testing::PrintToString(l.Said());
  EXPECT_TRUE(l.Said(peer + ": HDLC frames found; read as HDLC"));
  l.Stop();
  const auto id = [](int n) { return sim::FleetIdentity(n).LogicalDeviceName; };
  ASSERT_EQ(l.Pushed.size(), 2u);
  EXPECT_EQ(l.Pushed[0].rfind(id(1) + " ", 0), 0u) << l.Pushed[0];
  EXPECT_EQ(l.Pushed[1].rfind(id(2) + " ", 0), 0u) << l.Pushed[1];
  EXPECT_EQ(l.Counts.Received, 2u);
  // Each of lost and back said once.
  const auto said = l.Said();
  EXPECT_EQ(std::count_if(said.begin(), said.end(), [](const std::string& s) { return s.find(" lost (") != std::string::npos; }), 1);
  EXPECT_EQ(std::count_if(said.begin(), said.end(), [](const std::string& s) { return s.find(" open again") != std::string::npos; }), 1);
}

TEST(ListenSerial, OptionsAreCheckedBeforeAnythingListens) {
  TTempDir dir;
  const std::string bauds = SerialBaudsText();
  const struct {
    std::vector<std::string> Args;
    std::string Err;
  } cases[] = {
      {{"--mbus-port", "70000"}, "quillon-cli: --mbus-port 70000: expected 0..65535\n"},
      {{"--baud", "2400"}, "quillon-cli: --baud: expected --serial as well\n"},
      {{"--framing", "mbus"}, "quillon-cli: --framing: expected --serial as well\n"},
      {{"--serial", "/dev/null", "--baud", "2401"}, "quillon-cli: --baud 2401: expected one of " + bauds + "\n"},
      {{"--serial", "/dev/null", "--parity", "odd"}, "quillon-cli: --parity \"odd\": expected none or even\n"},
      {{"--serial", "/dev/null", "--framing", "iec"}, "quillon-cli: --framing \"iec\": expected hdlc, mbus, apdu or auto\n"},
      {{"--serial", dir.Path + "/ttyNone", "--port", "0"},
       "quillon-cli: cannot open serial port " + dir.Path + "/ttyNone: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"listen", "--quiet"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const TRun r = RunCli(args, dir.Path);
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_EQ(r.Err, c.Err);
  }
}
