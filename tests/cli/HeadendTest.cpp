// Meters that call in: one meter read by quillon-cli --accept over the
// connection it opened (wrapper and HDLC), and quillon-cli headend taking a
// fleet that calls: who each meter is, every meter once in a run, unknown
// meters refused, a meter that pushes first heard as listen hears it, and
// strangers bounded. Callers that claim a meter get none of its secrets
// before they proved it, cannot mark it read, cannot play a recorded call
// back, and never end the real meter's call.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include <algorithm>
#include <map>
#include <regex>
#include <set>

#include "CliProcess.h"
#include "FleetSupport.h"
#include "SimProcess.h"
#include "client/Batch.h"
#include "client/CallerTrust.h"
#include "client/ReadingsStore.h"

using namespace quillon;
using namespace quillon::client;
using namespace quillon::test;
using nlohmann::json;

namespace {

std::string Csv(const std::vector<std::vector<std::string>>& rows) {
  std::string out;
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) out += (i ? "," : "") + row[i];
    out += "\r\n";
  }
  return out;
}

// The meters of the readings database, with the number of readings of each.
std::map<std::string, int> ReadingsPerMeter(const std::string& db, const std::string& home) {
  const TRun e = RunCli({"export", "--db", db, "--what", "readings"}, home);
  std::map<std::string, int> per;
  const auto rows = ParseCsv(e.Out);
  for (size_t i = 1; i < rows.size(); ++i) ++per[rows[i][0]];
  return per;
}

// A simulated fleet's meter list, rows changed by `edit` (given the rows
// and a column's position by name), written to `path`.
template <class F>
void EditList(const std::string& path, F edit) {
  auto rows = ParseCsv(ReadFile(path));
  auto col = [&](const char* name) {
    auto& head = rows[0];
    const auto at = std::find(head.begin(), head.end(), name);
    if (at != head.end()) return static_cast<size_t>(at - head.begin());
    head.push_back(name);
    for (size_t r = 1; r < rows.size(); ++r) rows[r].resize(head.size());
    return head.size() - 1;
  };
  edit(rows, col);
  WriteFile(path, Csv(rows));
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Whole DLMS wrapper frames of a byte stream (8 bytes of header, the
// length of the APDU in the last two).
std::vector<std::string> WrapperFrames(std::string& buffer) {
  std::vector<std::string> frames;
  while (buffer.size() >= 8) {
    const size_t len = static_cast<uint8_t>(buffer[6]) * 256u + static_cast<uint8_t>(buffer[7]);
    if (buffer.size() < 8 + len) break;
    frames.push_back(buffer.substr(0, 8 + len));
    buffer.erase(0, 8 + len);
  }
  return frames;
}

// Bytes of `fd` within `ms`; empty when it closed or said nothing.
std::string Receive(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return {};
  char buf[4096];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// ---------------------------------------------------------------- trust

TEST(CallerTrust, NetworksHoldTheirAddressesOnly) {
  struct TCase {
    const char* Networks;
    const char* Host;
    bool Holds;
  } cases[] = {
      {"192.0.2.0/24", "192.0.2.77", true},     {"192.0.2.0/24", "192.0.3.1", false},
      {"192.0.2.0/25", "192.0.2.200", false},   {"192.0.2.7", "192.0.2.7", true},
      {"192.0.2.7", "192.0.2.8", false},        {"0.0.0.0/0", "203.0.113.9", true},
      {"10.0.0.1, 2001:db8::/32", "2001:db8:1::5", true}, {"10.0.0.1 2001:db8::/32", "2001:db9::1", false},
      {"2001:db8::/32", "192.0.2.1", false},    {"192.0.2.0/24", "::ffff:192.0.2.1", false},
      {"10.1.2.3/12", "10.15.0.1", true},       {"10.1.2.3/12", "10.16.0.1", false},
      {"192.0.2.0/24", "not an address", false},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(CallerNetworksHold(c.Networks, c.Host), c.Holds) << c.Networks << " " << c.Host;
  struct TBad {
    const char* Text;
    const char* Says;
  } bad[] = {
      {"192.0.2.0/33", "caller \"192.0.2.0/33\": expected IPv4 or IPv6 addresses or networks (ADDRESS/BITS)"},
      {"10.0.0.1,meters.example", "caller \"meters.example\": expected"},
      {"1.2.3.4/", "caller \"1.2.3.4/\": expected"},
      {"2001:db8::/129", "caller \"2001:db8::/129\": expected"},
      {" , ", "caller: expected at least one address or network"},
  };
  for (const TBad& b : bad) {
    try {
      CheckCallerNetworks(b.Text);
      ADD_FAILURE() << b.Text;
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(b.Says), std::string::npos) << e.what();
    }
  }
  // In a meter list, a bad cell fails that meter only, naming its column.
  const auto meters = MetersOfCsv("name,address,caller,trust-unproven-caller\r\n"
                                  "a,10.0.0.1:4059,\"192.0.2.0/24, 10.0.0.0/8\",yes\r\n"
                                  "b,10.0.0.2:4059,192.0.2.300,\r\n");
  ASSERT_EQ(meters.size(), 2u);
  EXPECT_EQ(meters[0].ConfigError, "");
  EXPECT_EQ(meters[0].Profile.Callers, "192.0.2.0/24, 10.0.0.0/8");
  EXPECT_TRUE(meters[0].Profile.TrustUnprovenCaller);
  EXPECT_EQ(meters[1].Column, "caller");
  EXPECT_NE(meters[1].ConfigError.find("meter b: caller \"192.0.2.300\": expected"), std::string::npos)
      << meters[1].ConfigError;
  EXPECT_EQ(PeerHost("[2001:db8::7]:40001"), "2001:db8::7");
  EXPECT_EQ(PeerHost("192.0.2.7:40001"), "192.0.2.7");
}

TEST(CallerTrust, OnlyACipheredAnswerOrABoundAddressProvesAMeterBeforeItsSecret) {
  struct TCase {
    int Mechanism, Policy;
    const char* Callers;
    bool Trust;
    TCallerTrust Expected;
  } cases[] = {
      {mLowest, 0, "", false, TCallerTrust::ctNothingSecret},
      {mLowest, 0, "127.0.0.0/8", false, TCallerTrust::ctBound},
      {mLow, 0, "", false, TCallerTrust::ctRefused},
      {mLow, 0, "", true, TCallerTrust::ctTrusted},
      {mLow, 0, "127.0.0.1", false, TCallerTrust::ctBound},
      {mLow, 0, "10.0.0.0/8", true, TCallerTrust::ctRefused},  // bound elsewhere: trust does not widen it
      {mLow, 3, "", false, TCallerTrust::ctRefused},           // the password goes with the ciphered request
      {mMD5, 0, "", false, TCallerTrust::ctRefused},
      {mSHA1, 0, "", false, TCallerTrust::ctRefused},
      {mGMAC, 0, "", false, TCallerTrust::ctRefused},
      {mMD5, 3, "", false, TCallerTrust::ctProvesItself},
      {mGMAC, 3, "", false, TCallerTrust::ctProvesItself},
      {mLowest, 1, "", false, TCallerTrust::ctProvesItself},
      {mLowest, 3, "127.0.0.1", false, TCallerTrust::ctProvesItself},
  };
  for (const TCase& c : cases) {
    TMeterProfile p;
    p.Mechanism = c.Mechanism;
    p.Policy = c.Policy;
    p.Callers = c.Callers;
    p.TrustUnprovenCaller = c.Trust;
    const TCallerVerdict v = JudgeCaller(p, "127.0.0.1:40001");
    EXPECT_EQ(v.Trust, c.Expected) << MechanismName(c.Mechanism) << " " << c.Policy << " " << c.Callers;
    EXPECT_EQ(v.Proven(), c.Expected == TCallerTrust::ctProvesItself || c.Expected == TCallerTrust::ctBound);
    EXPECT_EQ(v.Why.empty(), c.Expected != TCallerTrust::ctRefused) << v.Why;
  }
}

// ---------------------------------------------------------------- one meter

struct TAcceptCase {
  const char* Option;
  std::vector<std::string> Addressing;  // the HDLC addresses of the simulated meter
  const char* SimProfile;
};

class AcceptOneMeter : public ::testing::TestWithParam<TAcceptCase> {};

TEST_P(AcceptOneMeter, WaitsForTheCallAndRunsTheCommandOverIt) {
  const TAcceptCase& c = GetParam();
  TTempDir dir;
  const int port = ClosedPort();
  std::vector<std::string> args{c.Option, "127.0.0.1:" + std::to_string(port), "--wait", "30"};
  args.insert(args.end(), c.Addressing.begin(), c.Addressing.end());
  args.insert(args.end(), {"get", "1.0.1.8.0.255", "0.0.96.1.0.255"});
  TCliProcess cli(args, dir.Path);
  // The meter calls until it gets through: the order of the two starts does not matter.
  TSimProcess sim({"--profile", c.SimProfile, "--call-in", "127.0.0.1:" + std::to_string(port), "--every", "600"});
  const TRun r = cli.WaitFor(30000);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_NE(r.Out.find("3/1.0.1.8.0.255/2"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("51000427"), std::string::npos) << r.Out;  // the serial number, a second request
  EXPECT_NE(r.Err.find("Waiting for a meter on port " + std::to_string(port) + "..."), std::string::npos) << r.Err;
  EXPECT_TRUE(std::regex_search(r.Err, std::regex("Meter connected from 127\\.0\\.0\\.1:[0-9]+")));
  EXPECT_TRUE(std::regex_search(r.Err, std::regex("meter at 127\\.0\\.0\\.1:[0-9]+: logical device name QSM0000000001")))
      << r.Err;
}

INSTANTIATE_TEST_SUITE_P(Framing, AcceptOneMeter,
                         ::testing::Values(TAcceptCase{"--accept", {}, "wrapper"},
                                           TAcceptCase{"--accept-hdlc", {"--server", "1", "--physical", "17"}, "hdlc-tcp"}),
                         [](const auto& info) { return std::string(info.param.SimProfile == std::string("wrapper") ? "Wrapper" : "Hdlc"); });

TEST(AcceptOneMeter, WrongCommandLinesAndAMeterThatNeverCalls) {
  TTempDir dir;
  struct TCase {
    std::vector<std::string> Args;
    int Status;
    const char* Says;
  } cases[] = {
      {{"--wait", "5", "--tcp", "127.0.0.1", "objects"}, 2, "--wait: expected --accept or --accept-hdlc"},
      {{"--accept", "4059", "--tcp", "127.0.0.1", "objects"}, 2, "expected one of --tcp, --hdlc-tcp, --serial, --accept"},
      {{"--accept", "70000", "objects"}, 2, "--accept \"70000\": expected [HOST:]PORT"},
      {{"--accept", "127.0.0.1:" + std::to_string(ClosedPort()), "--wait", "1", "objects"}, 1, "no meter called within 1 s"},
      {{"--caller", "127.0.0.1", "--tcp", "127.0.0.1", "objects"}, 2,
       "--caller, --trust-unproven-caller: expected --accept or --accept-hdlc as well"},
      {{"--accept", "4059", "--caller", "1.2.3.400", "objects"}, 2,
       "--caller \"1.2.3.400\": expected IPv4 or IPv6 addresses or networks (ADDRESS/BITS)"},
  };
  for (const TCase& c : cases) {
    const TRun r = RunCli(c.Args, dir.Path);
    EXPECT_EQ(r.Status, c.Status) << Describe(r);
    EXPECT_NE(r.Err.find(c.Says), std::string::npos) << Describe(r);
  }
}

// A meter whose settings hold a secret it cannot prove itself before gets
// it only from an address it is bound to, or when told to trust the caller.
TEST(AcceptOneMeter, GivesAPasswordOrHlsResponseOnlyToABoundOrTrustedCaller) {
  TTempDir dir;
  const std::vector<std::string> low{"--client", "17", "--auth", "low", "--password", "12345678"};
  const std::vector<std::string> md5{"--client", "18", "--auth", "md5", "--password", "Quillon-HLS-secret"};
  struct TCase {
    std::vector<std::string> Settings, Extra;
    int Status;
    const char* Says;
  } cases[] = {
      {low, {}, 1, "its settings give a low-level password, which goes in the association request, before the caller "
                   "could prove it is the meter; not read: bind it to the addresses it calls from (--caller"},
      {md5, {}, 1, "its settings give HLS without ciphering, whose response goes out before the meter's"},
      {low, {"--caller", "10.0.0.0/8"}, 1,
       "called from 127.0.0.1, which is not among the addresses it may call from (10.0.0.0/8); refused"},
      {low, {"--caller", "192.0.2.0/24,127.0.0.0/8"}, 0, "3/1.0.1.8.0.255/2"},
      {md5, {"--trust-unproven-caller"}, 0, "3/1.0.1.8.0.255/2"},
  };
  for (const TCase& c : cases) {
    const int port = ClosedPort();
    std::vector<std::string> args{"--accept", "127.0.0.1:" + std::to_string(port), "--wait", "30"};
    args.insert(args.end(), c.Settings.begin(), c.Settings.end());
    args.insert(args.end(), c.Extra.begin(), c.Extra.end());
    args.insert(args.end(), {"get", "1.0.1.8.0.255"});
    TCliProcess cli(args, dir.Path);
    TSimProcess sim({"--call-in", "127.0.0.1:" + std::to_string(port), "--every", "600"});
    const TRun r = cli.WaitFor(30000);
    EXPECT_EQ(r.Status, c.Status) << Describe(r);
    EXPECT_NE((c.Status ? r.Err : r.Out).find(c.Says), std::string::npos) << Describe(r);
    EXPECT_TRUE(c.Status == 0 || r.Out.empty()) << Describe(r);
  }
}

// ---------------------------------------------------------------- head end

// A head end running in the background until the test stops it (SIGTERM).
struct THeadEndRun {
  THeadEndRun(const std::vector<std::string>& extra, const std::string& home, int& port) {
    port = ClosedPort();
    std::vector<std::string> args{"headend", "--address", "127.0.0.1", "--port", std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    Cli = std::make_unique<TCliProcess>(args, home);
  }
  TRun Stop() {
    Cli->Signal(SIGTERM);
    return Cli->WaitFor(20000);
  }
  std::unique_ptr<TCliProcess> Cli;
};

TEST(HeadEnd, TwoHundredMetersCallingAreEachReadOnceAndReleasedWhenTheyCallAgain) {
  TTempDir dir;
  int port = 0;
  const std::string list = dir.Path + "/fleet.csv", db = dir.Path + "/r.db", lines = dir.Path + "/r.jsonl";
  {
    // The list only: the meters have ports of their own, which the head end never dials.
    TSimProcess lister({"--fleet", "200", "--fleet-list", list});
  }
  // They need no secret, so only their address proves who they are: bound
  // here, their calls count for the run.
  EditList(list, [](auto& rows, auto col) {
    for (size_t r = 1; r < rows.size(); ++r) rows[r][col("caller")] = "127.0.0.1";
  });
  THeadEndRun headend({"--list", list, "--db", db, "--run", "night", "--out", lines, "--jobs", "32", "--meter-timeout", "20",
                       "get", "1.0.1.8.0.255"},
                      dir.Path, port);
  // Every meter calls within 3 s and again 2 s after each call.
  TSimProcess fleet({"--fleet", "200", "--call-in", "127.0.0.1:" + std::to_string(port), "--jitter", "3", "--every", "2"});
  // Whole lines only: the file may end in one being written.
  auto linesWritten = [&] {
    const std::string text = ReadFile(lines);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  };
  const bool allRead = Eventually([&] { return linesWritten() >= 200; }, 60);
  // Calls of meters read already come in meanwhile; wait for one to be released.
  const bool released = Eventually([&] { return headend.Cli->Err().find("already read in this run; released") != std::string::npos; }, 20);
  const TRun r = headend.Stop();
  ASSERT_TRUE(allRead) << Describe(r);
  EXPECT_TRUE(released) << Describe(r);
  const auto records = JsonLines(ReadFile(lines));
  std::set<std::string> meters;
  for (const json& j : records) {
    EXPECT_FALSE(j.contains("error")) << j.dump();
    meters.insert(j["meter"].get<std::string>());
  }
  EXPECT_EQ(records.size(), 200u);
  EXPECT_EQ(meters.size(), 200u);
  const auto stored = ReadingsPerMeter(db, dir.Path);
  EXPECT_EQ(stored.size(), 200u);
  for (const auto& [meter, n] : stored) EXPECT_EQ(n, 1) << meter;
  auto check = OpenReadingsStore(db);
  EXPECT_EQ(check->DoneInRun("night").size(), 200u);

  // The next head end of the same run reads none of them again.
  int port2 = 0;
  THeadEndRun again({"--list", list, "--db", db, "--run", "night", "--out", lines, "get", "1.0.1.8.0.255"}, dir.Path, port2);
  TSimProcess caller({"--fleet", "3", "--call-in", "127.0.0.1:" + std::to_string(port2), "--every", "600"});
  const bool toldAgain = Eventually([&] {
    const std::string err = again.Cli->Err();
    size_t n = 0;
    for (size_t at = err.find("released"); at != std::string::npos; at = err.find("released", at + 1)) ++n;
    return n >= 3;
  }, 20);
  const TRun r2 = again.Stop();
  EXPECT_TRUE(toldAgain) << Describe(r2);
  EXPECT_EQ(JsonLines(ReadFile(lines)).size(), 200u);
}

// One fleet whose meters 1 and 2 are listed as ciphered (keys and system
// title, no name), 3 and 4 as plain (logical device name, public client),
// and 5 not at all; plus two meters that push as soon as they connect.
TEST(HeadEnd, CipheredMetersByTitlePlainOnesByNameUnknownRefusedPushesStored) {
  TTempDir dir;
  const std::string simList = dir.Path + "/sim.csv", list = dir.Path + "/list.csv", db = dir.Path + "/r.db";
  {
    TSimProcess lister({"--fleet", "5", "--fleet-client", "32", "--fleet-list", simList});
  }
  auto rows = ParseCsv(ReadFile(simList));
  const auto& head = rows[0];
  auto col = [&](const char* name) { return static_cast<size_t>(std::find(head.begin(), head.end(), name) - head.begin()); };
  for (size_t r = 1; r <= 2; ++r) rows[r][col("logical-device-name")] = rows[r][col("serial")] = "";
  for (size_t r = 3; r <= 4; ++r) {
    rows[r][col("client")] = "16";
    rows[r][col("security")] = "none";
    for (const char* key : {"ek", "ak", "kek", "server-system-title"}) rows[r][col(key)] = "";
  }
  rows.pop_back();
  WriteFile(list, Csv(rows));

  int port = 0;
  THeadEndRun headend({"--list", list, "--db", db, "--hdlc-port", "0", "--jobs", "4", "get", "1.0.1.8.0.255"}, dir.Path, port);
  TSimProcess fleet({"--fleet", "5", "--call-in", "127.0.0.1:" + std::to_string(port), "--every", "600"});
  TSimProcess pushers({"--fleet", "2", "--push", "127.0.0.1:" + std::to_string(port), "--every", "0.5"});
  const bool done = Eventually([&] {
    const std::string err = headend.Cli->Err();
    return err.find("sim-0004 (logical device name) read") != std::string::npos &&
           err.find("sim-0002 (system title) read") != std::string::npos && err.find("unknown meter") != std::string::npos;
  }, 30);
  ::usleep(1500 * 1000);  // a few pushes more
  const TRun r = headend.Stop();
  ASSERT_TRUE(done) << Describe(r);
  for (const char* line : {"sim-0001 (system title) read", "sim-0002 (system title) read",
                           "sim-0003 (logical device name) read", "sim-0004 (logical device name) read"})
    EXPECT_NE(r.Err.find(line), std::string::npos) << line << "\n" << r.Err;
  EXPECT_TRUE(std::regex_search(
      r.Err, std::regex("127\\.0\\.0\\.1:[0-9]+: unknown meter, it said system title 5153494D00000005, logical device "
                        "name QSM0000000005, serial number 60000005; disconnected")))
      << r.Err;
  const auto stored = ReadingsPerMeter(db, dir.Path);
  EXPECT_EQ(stored, (std::map<std::string, int>{{"sim-0001", 1}, {"sim-0002", 1}, {"sim-0003", 1}, {"sim-0004", 1}}));
  auto check = OpenReadingsStore(db);
  EXPECT_GE(check->Count("notifications"), 2);
  EXPECT_NE(r.Err.find(" 2 pushing"), std::string::npos) << r.Err;
}

TEST(HeadEnd, StrangersAreBoundedAndAMeterIsStillRead) {
  TTempDir dir;
  const std::string list = dir.Path + "/fleet.csv", db = dir.Path + "/r.db";
  {
    TSimProcess lister({"--fleet", "1", "--fleet-list", list});
  }
  int port = 0;
  THeadEndRun headend({"--list", list, "--db", db, "--max-connections", "2", "--timeout", "300", "--meter-timeout", "5",
                       "--idle-timeout", "1", "get", "1.0.1.8.0.255"},
                      dir.Path, port);
  // One stranger says nothing at all, one sends junk first (then nothing):
  // the first is asked and found to be nobody, the second is closed as idle.
  const int silent = ConnectWhenUp(port);
  const int junk = ConnectWhenUp(port);
  ASSERT_GE(silent, 0);
  ASSERT_GE(junk, 0);
  const std::string bytes("\x00\x01\x00\x66\x00\x01\xFF\xFFjunk", 12);
  ASSERT_EQ(::send(junk, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  // While both are held, a third connection is over the cap.
  const int third = ConnectWhenUp(port);
  const bool turnedAway = Eventually([&] { return headend.Cli->Err().find("the most --max-connections allows") != std::string::npos; }, 10);
  const bool strangers = Eventually([&] {
    const std::string err = headend.Cli->Err();
    return err.find("unknown meter, it said nothing; disconnected") != std::string::npos &&
           err.find("connection closed") != std::string::npos;
  }, 20);
  // The meter still gets through once the strangers are gone.
  TSimProcess meter({"--fleet", "1", "--call-in", "127.0.0.1:" + std::to_string(port), "--every", "600"});
  const bool read = Eventually([&] { return headend.Cli->Err().find("sim-0001 (logical device name) read") != std::string::npos; }, 20);
  const TRun r = headend.Stop();
  for (const int fd : {silent, junk, third}) ::close(fd);
  EXPECT_TRUE(turnedAway) << Describe(r);
  EXPECT_TRUE(strangers) << Describe(r);
  EXPECT_TRUE(read) << Describe(r);
  EXPECT_EQ(ReadingsPerMeter(db, dir.Path), (std::map<std::string, int>{{"sim-0001", 1}}));
}

// ---------------------------------------------------------------- trust at the port

// Five meters that call with a secret in their entries: a low-level
// password and HLS-MD5 unbound, a password bound to this address and one
// bound elsewhere, and HLS-MD5 trusted unproven.
TEST(HeadEnd, NoSecretGoesToACallerThatCannotProveItIsTheMeter) {
  TTempDir dir;
  const std::string low = dir.Path + "/low.csv", md5 = dir.Path + "/md5.csv", list = dir.Path + "/list.csv";
  const std::string db = dir.Path + "/r.db", lines = dir.Path + "/r.jsonl";
  {
    TSimProcess a({"--fleet", "5", "--fleet-client", "17", "--fleet-list", low});
    TSimProcess b({"--fleet", "5", "--fleet-client", "18", "--fleet-list", md5});
  }
  const auto l = ParseCsv(ReadFile(low)), m = ParseCsv(ReadFile(md5));
  WriteFile(list, Csv({l[0], l[1], m[2], l[3], l[4], m[5]}));
  EditList(list, [](auto& rows, auto col) {
    rows[3][col("caller")] = "127.0.0.1";
    rows[4][col("caller")] = "10.0.0.0/8";
    rows[5][col("trust-unproven-caller")] = "1";
  });
  int port = 0;
  THeadEndRun headend({"--list", list, "--db", db, "--out", lines, "get", "1.0.1.8.0.255"}, dir.Path, port);
  TSimProcess fleet({"--fleet", "5", "--call-in", "127.0.0.1:" + std::to_string(port), "--every", "600"});
  const std::vector<std::string> said{
      "meter sim-0001 (logical device name): its settings give a low-level password, which goes in the association "
      "request, before the caller could prove it is the meter; not read: bind it to the addresses it calls from "
      "(caller) or trust unproven callers (trust-unproven-caller=1)",
      "meter sim-0002 (logical device name): its settings give HLS without ciphering, whose response goes out before "
      "the meter's",
      "meter sim-0004 (logical device name): called from 127.0.0.1, which is not among the addresses it may call from "
      "(10.0.0.0/8); refused",
      "meter sim-0003 (logical device name) read\n",
      "meter sim-0005 (logical device name) read (unproven)\n",
  };
  const bool all = Eventually([&] {
    const std::string err = headend.Cli->Err();
    return std::all_of(said.begin(), said.end(), [&](const std::string& s) { return err.find(s) != std::string::npos; });
  }, 30);
  const TRun r = headend.Stop();
  ASSERT_TRUE(all) << Describe(r);
  EXPECT_NE(r.Err.find(" 3 refused"), std::string::npos) << r.Err;
  EXPECT_EQ(ReadingsPerMeter(db, dir.Path), (std::map<std::string, int>{{"sim-0003", 1}, {"sim-0005", 1}}));
  std::map<std::string, bool> unproven;
  for (const json& j : JsonLines(ReadFile(lines))) unproven[j["meter"]] = j.value("unproven", false);
  EXPECT_EQ(unproven, (std::map<std::string, bool>{{"sim-0003", false}, {"sim-0005", true}}));
}

// Whoever calls with the name of a meter that needs no secret is read, but
// only a caller bound to its address makes the run done with the meter: an
// unbound one (a stranger, for all the head end knows) never keeps the
// meter from being read when it calls.
TEST(HeadEnd, OnlyAProvenCallMarksAMeterReadInTheRun) {
  TTempDir dir;
  const std::string list = dir.Path + "/fleet.csv", db = dir.Path + "/r.db", lines = dir.Path + "/r.jsonl";
  {
    TSimProcess lister({"--fleet", "2", "--fleet-list", list});
  }
  EditList(list, [](auto& rows, auto col) { rows[2][col("caller")] = "127.0.0.1"; });
  int port = 0;
  THeadEndRun headend({"--list", list, "--db", db, "--run", "night", "--out", lines, "get", "1.0.1.8.0.255"}, dir.Path,
                      port);
  TSimProcess fleet({"--fleet", "2", "--call-in", "127.0.0.1:" + std::to_string(port), "--every", "1"});
  const bool seen = Eventually([&] {
    const std::string err = headend.Cli->Err();
    return Count(err, "meter sim-0001 (logical device name) read (unproven)") >= 2 &&
           err.find("meter sim-0002 (logical device name) already read in this run; released") != std::string::npos;
  }, 30);
  const TRun r = headend.Stop();
  ASSERT_TRUE(seen) << Describe(r);
  EXPECT_EQ(r.Err.find("sim-0001 (logical device name) already read"), std::string::npos) << r.Err;
  EXPECT_EQ(Count(r.Err, "meter sim-0002 (logical device name) read\n"), 1u) << r.Err;
  EXPECT_EQ(OpenReadingsStore(db)->DoneInRun("night"), (std::set<std::string>{"sim-0002"}));
  for (const json& j : JsonLines(ReadFile(lines))) EXPECT_EQ(j.value("unproven", false), j["meter"] == "sim-0001") << j;
}

// Without a run every call is read; --min-interval releases a meter read
// not long ago.
TEST(HeadEnd, WithoutARunEveryCallIsReadUnlessWithinTheMinimumInterval) {
  TTempDir dir;
  const std::string list = dir.Path + "/fleet.csv";
  {
    TSimProcess lister({"--fleet", "1", "--fleet-list", list});
  }
  EditList(list, [](auto& rows, auto col) { rows[1][col("caller")] = "127.0.0.0/8"; });
  for (const bool interval : {false, true}) {
    int port = 0;
    std::vector<std::string> args{"--list", list, "--out", dir.Path + "/r.jsonl"};
    if (interval) args.insert(args.end(), {"--min-interval", "3600"});
    args.insert(args.end(), {"get", "1.0.1.8.0.255"});
    THeadEndRun headend(args, dir.Path, port);
    TSimProcess fleet({"--fleet", "1", "--call-in", "127.0.0.1:" + std::to_string(port), "--every", "1"});
    const char* read = "meter sim-0001 (logical device name) read\n";
    const char* released = "s ago, less than --min-interval 3600 s; released";
    const bool seen = Eventually([&] {
      const std::string err = headend.Cli->Err();
      return interval ? err.find(released) != std::string::npos : Count(err, read) >= 2;
    }, 20);
    const TRun r = headend.Stop();
    EXPECT_TRUE(seen) << Describe(r);
    if (interval) {
      EXPECT_EQ(Count(r.Err, read), 1u) << r.Err;
    }
  }
}

// A caller that announces a ciphered meter's system title without its keys
// is not read, leaves nothing under the meter's name, and the meter itself
// is read when it calls.
TEST(HeadEnd, AStrangerWithAMetersSystemTitleLeavesNoTrace) {
  TTempDir dir;
  const std::string list = dir.Path + "/fleet.csv", db = dir.Path + "/r.db", lines = dir.Path + "/r.jsonl";
  {
    TSimProcess lister({"--fleet", "2", "--fleet-client", "32", "--fleet-list", list});
  }
  int port = 0;
  THeadEndRun headend({"--list", list, "--db", db, "--run", "night", "--out", lines, "get", "1.0.1.8.0.255"}, dir.Path,
                      port);
  const std::string at = "127.0.0.1:" + std::to_string(port);
  {
    TSimProcess stranger({"--call-in", at, "--every", "600", "--aare-system-title", "5153494D00000002"});
    ASSERT_TRUE(Eventually([&] {
      return headend.Cli->Err().find("claimed to be meter sim-0002 (system title) and was not read") != std::string::npos;
    }, 20)) << headend.Cli->Err();
  }
  TSimProcess fleet({"--fleet", "2", "--call-in", at, "--every", "600"});
  const bool read = Eventually([&] { return headend.Cli->Err().find("meter sim-0002 (system title) read\n") != std::string::npos; }, 20);
  const TRun r = headend.Stop();
  EXPECT_TRUE(read) << Describe(r);
  for (const json& j : JsonLines(ReadFile(lines))) EXPECT_FALSE(j.contains("error")) << j;
  EXPECT_EQ(ReadingsPerMeter(db, dir.Path), (std::map<std::string, int>{{"sim-0001", 1}, {"sim-0002", 1}}));
}

// A ciphered call recorded between the meter and one head end, played back
// to the next head end on the same database: the meter's invocation
// counter in the answer does not rise, so nothing is read or stored.
TEST(HeadEnd, ARecordedCipheredCallPlayedBackIsRefused) {
  TTempDir dir;
  const std::string list = dir.Path + "/fleet.csv", db = dir.Path + "/r.db";
  {
    TSimProcess lister({"--fleet", "1", "--fleet-client", "32", "--fleet-list", list});
  }
  std::vector<std::string> recorded;
  {
    int port = 0;
    THeadEndRun headend({"--list", list, "--db", db, "get", "1.0.1.8.0.255"}, dir.Path, port);
    // The meter calls a relay of ours, which calls the head end and keeps what the meter says.
    int relayPort = 0;
    const int relay = ListenOnLoopback(relayPort);
    TSimProcess meter({"--fleet", "1", "--call-in", "127.0.0.1:" + std::to_string(relayPort), "--every", "600"});
    pollfd p{relay, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 20000), 1);
    const int fromMeter = ::accept(relay, nullptr, nullptr);
    const int toHeadEnd = ConnectWhenUp(port);
    ::close(relay);
    ASSERT_GE(fromMeter, 0);
    std::string said;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20); std::chrono::steady_clock::now() < end;) {
      pollfd both[2] = {{fromMeter, POLLIN, 0}, {toHeadEnd, POLLIN, 0}};
      if (::poll(both, 2, 200) <= 0) continue;
      const int from = both[0].revents ? fromMeter : toHeadEnd;
      const std::string bytes = Receive(from, 0);
      if (bytes.empty()) break;
      ::send(from == fromMeter ? toHeadEnd : fromMeter, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (from == fromMeter) said += bytes;
    }
    ::close(fromMeter);
    ::close(toHeadEnd);
    const TRun r = headend.Stop();
    ASSERT_NE(r.Err.find("meter sim-0001 (system title) read\n"), std::string::npos) << Describe(r);
    recorded = WrapperFrames(said);
    ASSERT_GE(recorded.size(), 3u);
  }
  int port = 0;
  THeadEndRun again({"--list", list, "--db", db, "get", "1.0.1.8.0.255"}, dir.Path, port);
  const int fd = ConnectWhenUp(port);
  std::string pending;
  for (const std::string& answer : recorded) {
    // Each answer goes back once the head end has asked.
    while (WrapperFrames(pending).empty()) {
      const std::string bytes = Receive(fd, 10000);
      if (bytes.empty()) break;
      pending += bytes;
    }
    ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
  }
  const bool refused = Eventually([&] { return again.Cli->Err().find("a recorded call played back; not read") != std::string::npos; }, 20);
  ::close(fd);
  const TRun r = again.Stop();
  EXPECT_TRUE(refused) << Describe(r);
  EXPECT_EQ(r.Err.find("sim-0001 (system title) read"), std::string::npos) << r.Err;
  EXPECT_EQ(ReadingsPerMeter(db, dir.Path), (std::map<std::string, int>{{"sim-0001", 1}}));
}

TEST(HeadEnd, ConnectionsFromOneAddressAreCapped) {
  TTempDir dir;
  const std::string list = dir.Path + "/fleet.csv";
  {
    TSimProcess lister({"--fleet", "1", "--fleet-list", list});
  }
  int port = 0;
  THeadEndRun headend({"--list", list, "--max-per-address", "2", "--identify-timeout", "30", "--push-wait", "60000",
                       "get", "1.0.1.8.0.255"},
                      dir.Path, port);
  // Two held (they have a minute to push before they are asked), a third over the cap.
  const int a = ConnectWhenUp(port), b = ConnectWhenUp(port), c = ConnectWhenUp(port);
  const bool capped = Eventually([&] {
    return headend.Cli->Err().find("2 connections open from 127.0.0.1, the most --max-per-address allows; closed") !=
           std::string::npos;
  }, 10);
  for (const int fd : {a, b, c}) ::close(fd);
  const TRun r = headend.Stop();
  EXPECT_TRUE(capped) << Describe(r);
}

}  // namespace
