// A meter's customer port end to end: the simulator pushes its three lists as
// such ports do (HDLC or M-Bus frames, over a pseudo-terminal or TCP, plain
// or ciphered, in blocks, each way of naming the values and of sending the
// time) and quillon-cli listen stores what they say, keyed by OBIS.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "CliProcess.h"
#include "SimProcess.h"

using namespace quillon;
using namespace quillon::test;
using nlohmann::json;

namespace {

// The simulator's model: its system title and keys.
constexpr const char* kHanList =
    "name,address,server-system-title,ek,ak,push-security\r\n"
    "han,127.0.0.1:4059,5153494D00000001,000102030405060708090A0B0C0D0E0F,D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF,enc\r\n";

std::vector<json> Lines(const std::string& text) {
  std::vector<json> out;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    if (end > at) out.push_back(json::parse(text.substr(at, end - at)));
  return out;
}

}  // namespace

TEST(CustomerPort, EveryFramingNamingAndTimeFormEndToEnd) {
  const struct {
    const char* What;
    std::vector<std::string> Sim;  // after --han TARGET
    const char* Transport;         // "serial", "mbus-port" or "hdlc-port"
    bool Ciphered;
    bool Layout;
    std::vector<std::string> Keys;  // among the values of some message
  } cases[] = {
      {"HDLC on a serial line, structures, the time as tagged Data",
       {"--han-names", "structures", "--han-time", "tagged"}, "serial", false, false,
       {"1.0.1.7.0.255", "1.0.32.7.0.255", "1.0.1.8.0.255"}},
      {"M-Bus on a serial line, OBIS and values alternating, no time",
       {"--han-names", "alternating", "--han-time", "absent", "--han-framing", "mbus"}, "serial", false, false,
       {"1.0.1.7.0.255", "list-version"}},
      {"M-Bus over TCP, the push object list first, ciphered in blocks",
       {"--han-names", "object-list", "--han-framing", "mbus", "--han-security", "auth-enc", "--han-block-size", "64"},
       "mbus-port", true, false, {"1.0.1.7.0.255", "0.0.1.0.0.255", "1.0.4.8.0.255"}},
      {"HDLC over TCP, bare values named by a layout, encrypted only, the time tagged",
       {"--han-names", "bare", "--han-security", "enc", "--han-time", "tagged"}, "hdlc-port", true, true,
       {"1.0.1.7.0.255", "1.0.2.7.0.255"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TTempDir dir;
    WriteText(dir.Path + "/list.csv", kHanList);
    WriteText(dir.Path + "/list1.layout", "1.0.1.7.0.255 3 0 W\n1.0.2.7.0.255 3 0 W\n");
    std::vector<std::string> sim{"--han"};
    std::unique_ptr<TSimProcess> serialSim;
    std::vector<std::string> listen{"listen", "--port", "0", "--for", "3", "--list", dir.Path + "/list.csv", "--out",
                                    dir.Path + "/out.jsonl"};
    if (c.Layout) listen.insert(listen.end(), {"--push-layout", dir.Path + "/list1.layout"});
    const std::vector<std::string> fast{"--han-every", "1,2,4", "--han-speed", "10"};
    int port = 0;
    if (std::string(c.Transport) == "serial") {
      std::vector<std::string> args{"--han", "pty"};
      args.insert(args.end(), fast.begin(), fast.end());
      args.insert(args.end(), c.Sim.begin(), c.Sim.end());
      serialSim = std::make_unique<TSimProcess>(args);
      listen.insert(listen.end(), {"--serial", serialSim->Device(), "--parity", "none"});
    } else {
      port = ClosedPort();
      listen.insert(listen.end(), {"--" + std::string(c.Transport), std::to_string(port)});
    }
    TCliProcess cli(listen, dir.Path);
    std::unique_ptr<TSimProcess> tcpSim;
    if (port) {
      std::vector<std::string> args{"--han", "127.0.0.1:" + std::to_string(port)};
      args.insert(args.end(), fast.begin(), fast.end());
      args.insert(args.end(), c.Sim.begin(), c.Sim.end());
      tcpSim = std::make_unique<TSimProcess>(args);
    }
    const TRun r = cli.Wait();
    ASSERT_EQ(r.Status, 0) << r.Err;
    const auto lines = Lines(ReadFile(dir.Path + "/out.jsonl"));
    ASSERT_GE(lines.size(), 3u) << r.Err;
    std::set<std::string> keys;
    for (const json& j : lines) {
      EXPECT_EQ(j["kind"], "data-notification");
      EXPECT_EQ(j["meter"], c.Ciphered ? "han" : "") << j.dump();
      // Only an authenticated counter is kept.
      const bool authenticated = std::find(c.Sim.begin(), c.Sim.end(), "auth-enc") != c.Sim.end();
      EXPECT_EQ(j.contains("counter"), authenticated) << j.dump();
      if (j["values"].is_object())
        for (const auto& [k, v] : j["values"].items()) keys.insert(k);
      // The time, sent or tagged, comes out as a time; when absent, not at all.
      EXPECT_EQ(j.contains("time"), std::find(c.Sim.begin(), c.Sim.end(), "absent") == c.Sim.end()) << j.dump();
    }
    for (const auto& k : c.Keys) EXPECT_TRUE(keys.count(k)) << k << " in " << lines.back().dump();
    EXPECT_NE(r.Err.find(" replays dropped, 0 malformed, 0 refused, "), std::string::npos) << r.Err;
  }
}
