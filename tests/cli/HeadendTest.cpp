// Meters that call in: one meter read by quillon-cli --accept over the
// connection it opened (wrapper and HDLC), and quillon-cli headend taking a
// fleet that calls: who each meter is, every meter once in a run, unknown
// meters refused, a meter that pushes first heard as listen hears it, and
// strangers bounded.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>

#include "CliProcess.h"
#include "FleetSupport.h"
#include "SimProcess.h"
#include "client/Batch.h"
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
  };
  for (const TCase& c : cases) {
    const TRun r = RunCli(c.Args, dir.Path);
    EXPECT_EQ(r.Status, c.Status) << Describe(r);
    EXPECT_NE(r.Err.find(c.Says), std::string::npos) << Describe(r);
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

}  // namespace
