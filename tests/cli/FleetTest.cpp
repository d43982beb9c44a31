// Reading a fleet: quillon-cli batch against the simulator serving many
// meters, the readings database it fills (no duplicates, a killed run
// completed by the next), shards merged, export, and the errors of the
// fleet commands.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "CliProcess.h"
#include "FleetSupport.h"
#include "SimProcess.h"
#include "client/Batch.h"
#include "client/SqliteStore.h"
#include "tools/meter-sim/SimFleet.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using namespace quillon::client;
using namespace quillon::test;
using nlohmann::json;

namespace {

// A fleet of simulated meters and its meter list.
struct TFleet {
  TFleet(int count, const std::string& dir) : List(dir + "/fleet.csv"),
    Sim({"--fleet", std::to_string(count), "--port", "0", "--fleet-list", dir + "/fleet.csv"}) {}
  std::string List;
  TSimProcess Sim;
};

TEST(FleetBatch, EveryMeterOnceIntoTheDatabaseAndAsJsonLines) {
  TTempDir dir;
  TFleet fleet(200, dir.Path);
  EXPECT_EQ(fleet.Sim.FirstLine, "fleet of 200 meters listening on 127.0.0.1 (DLMS wrapper)");
  const std::string db = dir.Path + "/r.db", lines = dir.Path + "/r.jsonl";
  const TRun r = RunCli({"batch", "--list", fleet.List, "--jobs", "32", "--db", db, "--out", lines, "get",
                         "1.0.1.8.0.255", "0.0.96.1.0.255", "0.0.42.0.0.255"},
                        dir.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_NE(r.Err.find("200 meters: 200 read, 0 failed, 0 not started"), std::string::npos) << r.Err;

  // One record per meter and reading; each meter is itself.
  std::map<std::string, std::map<std::string, json>> byMeter;
  for (const json& j : JsonLines(ReadFile(lines))) {
    ASSERT_FALSE(j.contains("error")) << j.dump();
    ASSERT_TRUE(byMeter[j["meter"]].emplace(j["obis"], j).second) << "twice: " << j.dump();
  }
  ASSERT_EQ(byMeter.size(), 200u);
  std::set<double> energies;
  for (int n = 1; n <= 200; ++n) {
    const auto& m = byMeter[Format("sim-%04d", n)];
    ASSERT_EQ(m.size(), 3u) << n;
    EXPECT_EQ(m.at("0.0.96.1.0.255")["value"], std::to_string(60000000 + n));
    // Octet strings come as hex.
    EXPECT_EQ(m.at("0.0.42.0.0.255")["value"], TMisc::ByteStrToHexStr(Format("QSM%010d", n)));
    const json& e = m.at("1.0.1.8.0.255");
    EXPECT_EQ(e["unit"], "Wh");
    EXPECT_EQ(e["ref"], "3/1.0.1.8.0.255/2");
    energies.insert(e["scaled"].get<double>());
  }
  EXPECT_GT(energies.size(), 190u) << "the meters' energies should differ";

  TSqliteStore d(db);
  EXPECT_EQ(d.Count("meters"), 200);
  EXPECT_EQ(d.Count("readings"), 600);
  std::string csv;
  d.Export("readings", "sim-0007", 0, 4102444800, [&](const std::vector<std::string>& row) {
    csv += row[0] + "|" + row[1] + "|" + row[4] + "\n";
  });
  EXPECT_NE(csv.find("sim-0007|0.0.96.1.0.255|60000007\n"), std::string::npos) << csv;
}

TEST(FleetBatch, AProfileRangeReadAgainAddsNoRowsAndShardsMergeToOneRun) {
  TTempDir dir;
  TFleet fleet(24, dir.Path);
  // Yesterday 00:00 to 02:00: nine quarter hours, both ends included.
  const int64_t day = (std::time(nullptr) / 86400 - 1) * 86400;
  const std::string from = TimeText(day), to = TimeText(day + 7200);
  auto profile = [&](const std::string& db, std::vector<std::string> extra) {
    std::vector<std::string> args{"batch", "--list", fleet.List, "--jobs", "8", "--db", db, "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (const char* a : {"profile", "1.0.99.1.0.255", "--from"}) args.push_back(a);
    args.push_back(from);
    args.push_back("--to");
    args.push_back(to);
    const TRun r = RunCli(args, dir.Path);
    EXPECT_EQ(r.Status, 0) << Describe(r);
  };
  const std::string whole = dir.Path + "/whole.db";
  profile(whole, {});
  const int64_t values = TSqliteStore(whole).Count("profile_entries");
  // 24 meters, 9 entries, the captured values besides the clock column.
  ASSERT_GT(values, 0);
  EXPECT_EQ(values % (24 * 9), 0) << values;
  profile(whole, {});
  EXPECT_EQ(TSqliteStore(whole).Count("profile_entries"), values);

  // Two shards: disjoint, together the fleet; merged, the same rows.
  const std::string a = dir.Path + "/a.db", b = dir.Path + "/b.db", merged = dir.Path + "/m.db";
  profile(a, {"--shard", "0/2"});
  profile(b, {"--shard", "1/2"});
  const int64_t ma = TSqliteStore(a).Count("meters"), mb = TSqliteStore(b).Count("meters");
  EXPECT_EQ(ma + mb, 24);
  EXPECT_GT(ma, 0);
  EXPECT_GT(mb, 0);
  const TRun m = RunCli({"merge", "--db", merged, a, b, a}, dir.Path);
  ASSERT_EQ(m.Status, 0) << Describe(m);
  const TRun e1 = RunCli({"export", "--db", merged}, dir.Path), e2 = RunCli({"export", "--db", whole}, dir.Path);
  ASSERT_EQ(e1.Status, 0) << Describe(e1);
  EXPECT_EQ(e1.Out, e2.Out);
  const auto rows = ParseCsv(e1.Out);
  ASSERT_EQ(static_cast<int64_t>(rows.size()), values + 1);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"meter", "profile", "entry_time", "column", "value", "scaler", "unit", "scaled"}));
  EXPECT_EQ(rows[1][0], "sim-0001");
  EXPECT_EQ(rows[1][1], "1.0.99.1.0.255");
  EXPECT_EQ(rows[1][2], from);
  // By meter and time range: one meter's last entry.
  const TRun one = RunCli({"export", "--db", merged, "--meter", "sim-0002", "--from", to}, dir.Path);
  const auto oneRows = ParseCsv(one.Out);
  ASSERT_GT(oneRows.size(), 1u) << Describe(one);
  for (size_t i = 1; i < oneRows.size(); ++i) {
    EXPECT_EQ(oneRows[i][0], "sim-0002");
    EXPECT_EQ(oneRows[i][2], to);
  }
}

TEST(FleetBatch, AKilledRunIsCompletedByTheNextWithTheSameName) {
  TTempDir dir;
  TFleet fleet(40, dir.Path);
  TSilentPort hang;
  const std::string list = ReadFile(fleet.List);
  const std::string first = dir.Path + "/first.csv", db = dir.Path + "/r.db";
  WriteFile(first, WithAddress(list, "sim-0013", Format("127.0.0.1:%d", hang.Port)));
  // The first run hangs on the meter that never answers, with everything
  // else read: then it is killed.
  pid_t pid;
  std::vector<std::string> args{QUILLON_CLI, "batch", "--list", first, "--jobs", "4", "--timeout", "60000",
                                "--db", db, "--run", "nightly", "-q", "get", "1.0.1.8.0.255"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ASSERT_EQ(posix_spawn(&pid, QUILLON_CLI, nullptr, nullptr, argv.data(), environ), 0);
  int64_t done = 0;
  for (int i = 0; i < 600 && done < 39; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    try {
      done = TSqliteStore(db).DoneInRun("nightly").size();
    } catch (const std::exception&) {
    }
  }
  ::kill(pid, SIGKILL);
  int status;
  ::waitpid(pid, &status, 0);
  ASSERT_EQ(done, 39);

  const TRun r = RunCli({"batch", "--list", fleet.List, "--jobs", "4", "--db", db, "--run", "nightly", "get",
                         "1.0.1.8.0.255"},
                        dir.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_NE(r.Err.find("run nightly: 39 meters already read, 1 to go\n"), std::string::npos) << r.Err;
  TSqliteStore d(db);
  EXPECT_EQ(d.DoneInRun("nightly").size(), 40u);
  EXPECT_EQ(d.Count("readings"), 40);
  EXPECT_EQ(d.Count("meters"), 40);
}

TEST(FleetBatch, AFailingMeterIsRetriedReportedAndStopsNoOther) {
  TTempDir dir;
  TFleet fleet(6, dir.Path);
  const std::string list = dir.Path + "/list.csv";
  WriteFile(list, WithAddress(ReadFile(fleet.List), "sim-0004", Format("127.0.0.1:%d", ClosedPort())));
  const TRun r = RunCli({"batch", "--list", list, "--jobs", "3", "--retries", "2", "--retry-delay", "10", "get",
                         "1.0.1.8.0.255"},
                        dir.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  int ok = 0;
  for (const json& j : JsonLines(r.Out)) {
    if (j["meter"] != "sim-0004") {
      ++ok;
      continue;
    }
    EXPECT_EQ(j["attempts"], 3);
    EXPECT_NE(j["error"].get<std::string>().find("Connection refused"), std::string::npos) << j.dump();
  }
  EXPECT_EQ(ok, 5);
  EXPECT_NE(r.Err.find("6 meters: 5 read, 1 failed, 0 not started"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("failed: sim-0004: "), std::string::npos) << r.Err;
}

TEST(FleetBatch, AnExplainedFailureCarriesItsDiagnosis) {
  TTempDir dir;
  TSimProcess sim({"--port", "0"});
  const std::string list = dir.Path + "/list.csv";
  const std::string address = Format("127.0.0.1:%d", sim.Port());
  WriteFile(list, "name,address,client,auth,password\r\n"
                  "good," + address + ",17,low,12345678\r\n"
                  "wrong," + address + ",17,low,1234\r\n");
  const TRun r = RunCli({"batch", "--list", list, "--jobs", "1", "--retries", "0", "get", "1.0.1.8.0.255"}, dir.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  const auto lines = JsonLines(r.Out);
  ASSERT_EQ(lines.size(), 2u) << r.Out;
  const std::string what = "The meter rejected the association of client 17: authentication failure";
  const std::string cause =
      "a wrong password or key, the password given as text where the meter expects hex, or a client address that "
      "does not go with this secret";
  const std::string fix =
      "check the secret (--password TEXT or --password-hex HEX, or QUILLON_PASSWORD / QUILLON_PASSWORD_HEX) and that "
      "client 17 is the one the meter assigns to it";
  for (const json& j : lines) {
    if (j["meter"] == "good") {
      EXPECT_EQ(j["value"], 1234567) << j.dump();
      EXPECT_FALSE(j.contains("diagnosis")) << j.dump();
      continue;
    }
    EXPECT_EQ(j["error"], "association: Association is not \"accepted\"") << j.dump();
    EXPECT_EQ(j["attempts"], 1);
    EXPECT_EQ(j["diagnosis"], "authentication-failure");
    EXPECT_EQ(j["what"], what);
    EXPECT_EQ(j["cause"], cause);
    EXPECT_EQ(j["fix"], fix);
  }
  // The summary explains it the same way.
  EXPECT_NE(r.Err.find("failed: wrong: association: Association is not \"accepted\"\n  what happened: " + what +
                       "\n  likely cause: " + cause + "\n  fix: " + fix + "\n"),
            std::string::npos)
      << r.Err;
}

TEST(FleetBatch, ClocksSetAndMetersDumped) {
  TTempDir dir;
  TFleet fleet(3, dir.Path);
  const TRun c = RunCli({"batch", "--list", fleet.List, "clock", "--set", "2030-01-02T03:04:05Z"}, dir.Path);
  ASSERT_EQ(c.Status, 0) << Describe(c);
  const auto set = JsonLines(c.Out);
  ASSERT_EQ(set.size(), 3u);
  for (const json& j : set) {
    EXPECT_EQ(j["result"], "set");
    EXPECT_EQ(j["ref"], "8/0.0.1.0.0.255/2");
    EXPECT_TRUE(j["before"].is_string()) << j.dump();
  }
  // The clocks now read 2030 (a few seconds on).
  const TRun d = RunCli({"batch", "--list", fleet.List, "dump"}, dir.Path);
  ASSERT_EQ(d.Status, 0) << Describe(d);
  const auto dumps = JsonLines(d.Out);
  ASSERT_EQ(dumps.size(), 3u);
  for (const json& j : dumps) {
    const int n = std::stoi(j["meter"].get<std::string>().substr(4));
    EXPECT_EQ(j["dump"]["1/0.0.96.1.0.255/2"], std::to_string(60000000 + n)) << j.dump();
    EXPECT_EQ(j["dump"]["8/0.0.1.0.0.255/2"].get<std::string>().substr(0, 10), "2030-01-02") << j.dump();
    EXPECT_TRUE(j["dump"]["3/1.0.1.8.0.255/3"].is_array()) << j.dump();
  }
}

TEST(FleetCommands, UsageErrorsGiveTheirLineAndStatusTwo) {
  TTempDir dir;
  const std::string list = dir.Path + "/l.csv", noName = dir.Path + "/n.csv";
  WriteFile(list, "name,address\r\nm1,127.0.0.1:1\r\n");
  WriteFile(noName, "address\r\n127.0.0.1:1\r\n");
  WriteFile(dir.Path + "/none.csv", "name,address\r\n");
  const struct {
    std::vector<std::string> Args;
    std::string Err;
  } cases[] = {
      {{"batch", "--list", list, "--shard", "2/2", "get", "1.0.1.8.0.255"},
       "quillon-cli: --shard \"2/2\": expected I/N with 0 <= I < N\n"},
      {{"batch", "--list", list, "--shard", "x", "get", "1.0.1.8.0.255"},
       "quillon-cli: --shard \"x\": expected I/N with 0 <= I < N\n"},
      {{"batch", "--list", list, "--run", "r", "get", "1.0.1.8.0.255"}, "quillon-cli: --run: expected --db as well\n"},
      {{"batch", "--list", noName, "get", "1.0.1.8.0.255"},
       "quillon-cli: meter list: expected a column \"name\" in the header row\n"},
      {{"batch", "--list", list, "--jobs", "0", "get", "1.0.1.8.0.255"}, "quillon-cli: --jobs 0: expected 1..4096\n"},
      {{"batch", "--list", list, "get", "1.0.1.8.0"},
       "quillon-cli: OBIS code \"1.0.1.8.0\": expected A.B.C.D.E.F, A-B:C.D.E*F or 12 hex digits, each group 0..255\n"},
      {{"export", "--db", dir.Path + "/missing.db"},
       "quillon-cli: --db \"" + dir.Path + "/missing.db\": expected a readable readings database\n"},
      {{"export", "--db", list, "--what", "both"}, "quillon-cli: --what \"both\": expected profiles, readings or undecoded\n"},
      {{"merge", "--db", dir.Path + "/m.db", dir.Path + "/none.db"},
       "quillon-cli: SOURCE \"" + dir.Path + "/none.db\": expected a readable readings database\n"},
      {{"listen", "--list", list, "--hdlc-port", "70000"}, "quillon-cli: --hdlc-port 70000: expected 0..65535\n"},
      {{"listen", "--list", list, "--objects-from-meter", "--push-setup", "0.0.25.9"},
       "quillon-cli: --push-setup: OBIS code \"0.0.25.9\": expected A.B.C.D.E.F, A-B:C.D.E*F or 12 hex digits, each group "
       "0..255\n"},
      {{"listen", "--list", dir.Path + "/none.csv", "--objects-from-meter"},
       "quillon-cli: --objects-from-meter: expected meters in --meters or --list\n"},
  };
  for (const auto& c : cases) {
    const TRun r = RunCli(c.Args, dir.Path);
    EXPECT_EQ(r.Status, 2) << c.Args[0] << " " << Describe(r);
    EXPECT_EQ(r.Err, c.Err);
  }
  // Something that is no readings database: a source refused as a wrong
  // command line, status 2, and the target untouched.
  const TRun r = RunCli({"merge", "--db", dir.Path + "/m.db", list}, dir.Path);
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(r.Err, "quillon-cli: readings database: open " + list + ": file is not a database\n");
}

TEST(FleetShard, SlicesAreDisjointCoverEveryMeterAndSpreadEvenly) {
  for (unsigned n : {1u, 2u, 3u, 7u, 16u}) {
    std::vector<int> sizes(n, 0);
    for (int m = 1; m <= 5000; ++m) {
      const std::string name = Format("meter-%d", m);
      int holders = 0;
      for (unsigned i = 0; i < n; ++i)
        if (TShard{i, n}.Holds(name)) ++holders, ++sizes[i];
      ASSERT_EQ(holders, 1) << name << " in " << n;
    }
    for (int s : sizes) EXPECT_NEAR(s, 5000.0 / n, 5000.0 / n * 0.15) << n;
  }
  EXPECT_EQ(ParseShard("3/8").Index, 3u);
  EXPECT_EQ(ParseShard("3/8").Count, 8u);
  for (const char* bad : {"8/8", "1/0", "1", "/2", "1/", "-1/2", "a/b", "1/2/3"})
    EXPECT_THROW(ParseShard(bad), std::exception) << bad;
}

TEST(FleetMeterList, CsvColumnsAreMetersFileKeys) {
  const auto meters = MetersOfCsv(
      "name,transport,address,client,server,physical,auth,password,security,ek,ak,system-title,extra\r\n"
      "a,tcp,10.0.0.1:4061,17,1,,low,\"pa,ss\",,,,,x\r\n"
      "\"b c\",hdlc-tcp,[::1]:5000,32,1,17,none,,auth-enc,000102030405060708090A0B0C0D0E0F,"
      "D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF,4D4D4D0000000001,\r\n"
      "d,serial,/dev/ttyUSB0,16,1,17,,,,,,,\r\n");
  ASSERT_EQ(meters.size(), 3u);
  EXPECT_EQ(meters[0].Name, "a");
  EXPECT_EQ(meters[0].Profile.Host, "10.0.0.1");
  EXPECT_EQ(meters[0].Profile.Port, 4061);
  EXPECT_EQ(meters[0].Profile.ClientAddress, 17);
  EXPECT_EQ(meters[0].Profile.Mechanism, mLow);
  EXPECT_EQ(meters[0].Profile.Secret, "pa,ss");
  EXPECT_EQ(meters[1].Name, "b c");
  EXPECT_EQ(meters[1].Profile.Transport, TTransport::tHdlcTcp);
  EXPECT_EQ(meters[1].Profile.Host, "::1");
  EXPECT_EQ(meters[1].Profile.Port, 5000);
  EXPECT_EQ(meters[1].Profile.PhysicalAddress, 17);
  EXPECT_EQ(meters[1].Profile.Policy, 3);
  EXPECT_EQ(meters[1].Profile.EK.size(), 16u);
  EXPECT_EQ(meters[2].Profile.Transport, TTransport::tHdlcSerial);
  EXPECT_EQ(meters[2].Profile.Device, "/dev/ttyUSB0");

  // A bad row is a meter that fails; a list without its header fails whole.
  const struct {
    const char* Text;
    const char* Error;
  } badRow[] = {
      {"name,address\r\na,h:1,extra\r\n", "meter list line 2: expected 2 cells, found 3"},
      {"name,address\r\na,h:1\r\na,h:2\r\n", "meter list line 3, column 1 (name): meter \"a\" is listed twice (first on line 2)"},
      {"name,address\r\n,h:1\r\n",
       "meter list line 2, column 1 (name): name \"\": expected a name without brackets or control characters"},
      {"name,client\r\na,300\r\n", "meter list line 2, column 2 (client): meter a: client \"300\": expected an integer in 0..255"},
  };
  for (const auto& c : badRow) EXPECT_EQ(MetersOfCsv(c.Text).back().ConfigError, c.Error);
  const struct {
    const char* Text;
    const char* Error;
  } badList[] = {
      {"name,address\r\n\"a,h:1\r\n", "meter list: a quoted cell is not closed"},
      {"", "meter list: expected a header row naming the columns"},
  };
  for (const auto& c : badList) {
    try {
      MetersOfCsv(c.Text);
      ADD_FAILURE() << c.Text;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.Error);
    }
  }
}

}  // namespace
