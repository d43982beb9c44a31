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
#include "SimProcess.h"
#include "client/Batch.h"
#include "client/ReadingsDb.h"
#include "security/GCMCipher.h"
#include "tools/cli/Listen.h"
#include "tools/meter-sim/SimFleet.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using namespace quillon::client;
using namespace quillon::test;
using nlohmann::json;

namespace {

std::vector<json> JsonLines(const std::string& text) {
  std::vector<json> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) out.push_back(json::parse(line));
  return out;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

// A fleet of simulated meters and its meter list.
struct TFleet {
  TFleet(int count, const std::string& dir) : List(dir + "/fleet.csv"),
    Sim({"--fleet", std::to_string(count), "--port", "0", "--fleet-list", dir + "/fleet.csv"}) {}
  std::string List;
  TSimProcess Sim;
};

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
int ClosedPort() {
  TSilentPort p;
  return p.Port;
}

// The meter list with one meter's address changed.
std::string WithAddress(const std::string& csv, const std::string& meter, const std::string& address) {
  auto rows = ParseCsv(csv);
  std::string out;
  for (auto& row : rows) {
    if (row[0] == meter) row[2] = address;
    for (size_t i = 0; i < row.size(); ++i) out += (i ? "," : "") + row[i];
    out += "\r\n";
  }
  return out;
}

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

  TReadingsDb d(db);
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
  const int64_t values = TReadingsDb(whole).Count("profile_entries");
  // 24 meters, 9 entries, the captured values besides the clock column.
  ASSERT_GT(values, 0);
  EXPECT_EQ(values % (24 * 9), 0) << values;
  profile(whole, {});
  EXPECT_EQ(TReadingsDb(whole).Count("profile_entries"), values);

  // Two shards: disjoint, together the fleet; merged, the same rows.
  const std::string a = dir.Path + "/a.db", b = dir.Path + "/b.db", merged = dir.Path + "/m.db";
  profile(a, {"--shard", "0/2"});
  profile(b, {"--shard", "1/2"});
  const int64_t ma = TReadingsDb(a).Count("meters"), mb = TReadingsDb(b).Count("meters");
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
      done = TReadingsDb(db).DoneInRun("nightly").size();
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
  TReadingsDb d(db);
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
      {{"export", "--db", list, "--what", "both"}, "quillon-cli: --what \"both\": expected profiles or readings\n"},
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

// A TCP connection to the listener once it is up (within a few seconds).
int ConnectWhenUp(int port) {
  for (int i = 0; i < 100; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

TEST(FleetListen, PushesStoredOnceReplayDroppedBadMessagesLoggedAndTheRestKept) {
  TTempDir dir;
  const int port = ClosedPort();
  const std::string list = dir.Path + "/fleet.csv", db = dir.Path + "/n.db", lines = dir.Path + "/n.jsonl";
  TSimProcess sim({"--fleet", "50", "--port", "0", "--fleet-list", list, "--push", Format("127.0.0.1:%d", port),
                   "--every", "0.5", "--push-security", "mixed"});
  // Meter 2 pushes ciphered: its keys from the list.
  const auto rows = ParseCsv(ReadFile(list));
  ASSERT_EQ(rows[0][8], "ek");
  const PduStr ek = TMisc::HexStrToByteStr(rows[2][8]), ak = TMisc::HexStrToByteStr(rows[2][9]);
  ASSERT_EQ(rows[2][0], "sim-0002");

  // What the test itself sends while the listener runs: a replay of meter
  // 2's first message, a notification cut short, a plain one of a meter not
  // in the list (TCP and UDP), and at last a frame of a wrong version.
  std::thread extra([&] {
    const int fd = ConnectWhenUp(port);
    if (fd < 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    const int64_t now = std::time(nullptr);
    std::string out = sim::WrapperFrame(sim::PushNotification(sim::FleetIdentity(2), 1, now, 1000, true, ek, ak));
    out += sim::WrapperFrame(std::string("\x0F\x00\x00\x00\x01\x0C\x07", 7));
    out += sim::WrapperFrame(sim::PushNotification(sim::FleetIdentity(51), 1, now, 51, false, "", ""));
    ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    const int u = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string datagram = sim::WrapperFrame(sim::PushNotification(sim::FleetIdentity(52), 1, now, 52, false, "", ""));
    ::sendto(u, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::close(u);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string bad("\x00\x02\x00\x01\x00\x66\x00\x01\x0F", 9);
    ::send(fd, bad.data(), bad.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::close(fd);
  });
  const TRun r = RunCli({"listen", "--port", std::to_string(port), "--for", "4", "--list", list, "--db", db, "--out",
                         lines, "--push-objects", sim::kPushObjects},
                        dir.Path);
  extra.join();
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_NE(r.Err.find(": sim-0002: invocation counter 1 replayed (last "), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find(": undecodable message ("), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find(": wrapper version 2, expected 1; connection closed\n"), std::string::npos) << r.Err;

  // Every meter's notifications once each, numbered from 1 without a gap;
  // the ciphered ones under the meter's name with their counters.
  std::map<std::string, std::vector<int>> ids;
  const auto records = JsonLines(ReadFile(lines));
  for (const json& j : records) {
    ASSERT_EQ(j["kind"], "data-notification") << j.dump();
    const std::string ldn = TMisc::HexStrToByteStr(j["values"]["1/0.0.42.0.0.255/2"].get<std::string>());
    ids[ldn].push_back(j["id"]);
    EXPECT_TRUE(j["values"]["3/1.0.1.8.0.255/2"].is_number()) << j.dump();
    const int n = std::stoi(ldn.substr(3));
    if (n <= 50 && n % 2 == 0) {
      EXPECT_EQ(j["meter"], Format("sim-%04d", n));
      EXPECT_EQ(j["counter"], j["id"]);
    } else {
      EXPECT_FALSE(j.contains("counter")) << j.dump();
    }
  }
  EXPECT_EQ(ids.size(), 52u);
  for (const auto& [ldn, got] : ids) {
    ASSERT_FALSE(got.empty());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<int>(i + 1)) << ldn;
  }
  EXPECT_EQ(TReadingsDb(db).Count("notifications"), static_cast<int64_t>(records.size()));
  EXPECT_NE(r.Err.find(Format("%zu notifications, 1 replays dropped, ", records.size())), std::string::npos) << r.Err;

  // A listener started again on the same database still knows meter 2's
  // counters: an old message is a replay.
  const int port2 = ClosedPort();
  std::thread again([&] {
    const int fd = ConnectWhenUp(port2);
    if (fd < 0) return;
    const std::string out = sim::WrapperFrame(sim::PushNotification(sim::FleetIdentity(2), 2, std::time(nullptr), 1, true, ek, ak));
    ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    ::close(fd);
  });
  const TRun r2 = RunCli({"listen", "--port", std::to_string(port2), "--for", "1.5", "--list", list, "--db", db}, dir.Path);
  again.join();
  EXPECT_NE(r2.Err.find(": sim-0002: invocation counter 2 replayed (last "), std::string::npos) << r2.Err;
  EXPECT_EQ(TReadingsDb(db).Count("notifications"), static_cast<int64_t>(records.size()));
}

TEST(FleetListen, HdlcPushesNamedByTheListReadFromEachMeterAndABadFrameCostsOnlyItself) {
  TTempDir dir;
  const int hdlcPort = ClosedPort();
  const std::string list = dir.Path + "/fleet.csv", listed = dir.Path + "/listed.csv", lines = dir.Path + "/n.jsonl";
  TSimProcess sim({"--fleet", "6", "--port", "0", "--fleet-list", list, "--push", Format("127.0.0.1:%d", hdlcPort),
                   "--every", "0.4", "--push-security", "glo", "--push-hdlc"});
  // Meter 3's address in the listener's list is a port nothing listens on:
  // its push object list cannot be read.
  WriteFile(listed, WithAddress(ReadFile(list), "sim-0003", Format("127.0.0.1:%d", ClosedPort())));

  // On a connection of its own: bytes that are no frame, then a plain push
  // of meter 51 (not in the list), one of meter 52 whose FCS is broken, one
  // of meter 53; only 52's is lost.
  std::thread extra([&] {
    const int fd = ConnectWhenUp(hdlcPort);
    if (fd < 0) return;
    const int64_t now = std::time(nullptr);
    const sim::THdlcSettings server;
    auto frames = [&](int n) {
      return sim::HdlcPushFrames(sim::PushNotification(sim::FleetIdentity(n), 1, now, n, false, "", ""), server);
    };
    PduStr broken = frames(52);
    broken[broken.size() - 6] ^= 0x01;
    const std::string out = "\x01\x02\x03" + frames(51) + broken + frames(53);
    ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(fd);
  });
  const TRun r = RunCli({"listen", "--address", "127.0.0.1", "--port", "0", "--hdlc-port", std::to_string(hdlcPort),
                         "--for", "3", "--list", listed, "--out", lines, "--objects-from-meter"},
                        dir.Path);
  extra.join();
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_NE(r.Err.find(Format("listening on 127.0.0.1 port %d (TCP, HDLC)\n", hdlcPort)), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("/hdlc: 3 bytes outside a frame skipped\n"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("/hdlc: HDLC frame dropped (Illegal FCS)\n"), std::string::npos) << r.Err;
  const size_t notRead = r.Err.find("listen: sim-0003: push object list not read (");
  ASSERT_NE(notRead, std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("); values as they came\n", notRead), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find("push object list not read", r.Err.find('\n', notRead)), std::string::npos)
      << "tried more than once: " << r.Err;

  // Each meter's messages in order from 1, named by the list its push setup
  // object holds: the objects the meter really pushes.
  std::vector<std::string> pushed;
  for (size_t at = 0; *(sim::kPushObjects + at);) {
    const std::string rest = sim::kPushObjects + at;
    pushed.push_back(rest.substr(0, rest.find(',')));
    at += pushed.back().size() + (rest.find(',') == std::string::npos ? 0 : 1);
  }
  std::map<int, std::vector<int>> ids;
  const auto records = JsonLines(ReadFile(lines));
  for (const json& j : records) {
    const json& v = j["values"];
    const bool named = v.is_object();
    const std::string ldn = TMisc::HexStrToByteStr((named ? v[pushed[0]] : v[0]).get<std::string>());
    const int n = std::stoi(ldn.substr(3));
    ids[n].push_back(j["id"]);
    if (n > 6) {  // the extra ones: no meter, values as they came
      EXPECT_EQ(j["meter"], "") << j.dump();
      EXPECT_FALSE(named) << j.dump();
      continue;
    }
    EXPECT_EQ(j["meter"], Format("sim-%04d", n));
    EXPECT_EQ(j["counter"], j["id"]);
    EXPECT_EQ(named, n != 3) << j.dump();
    if (!named) continue;
    std::vector<std::string> keys;
    for (const auto& [k, value] : v.items()) keys.push_back(k);
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> want = pushed;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(keys, want);
    EXPECT_TRUE(v["3/1.0.1.8.0.255/2"].is_number()) << j.dump();
  }
  EXPECT_EQ(ids.size(), 8u);
  EXPECT_EQ(ids.count(52), 0u);
  for (const auto& [n, got] : ids) {
    ASSERT_GE(got.size(), n > 6 ? 1u : 3u) << n;
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<int>(i + 1)) << n;
  }
  EXPECT_NE(r.Err.find(Format("%zu notifications, 0 replays dropped, 2 malformed, ", records.size())), std::string::npos)
      << r.Err;
}

TEST(FleetListen, APlainPushIsTheMeterWhoseHostItComesFromAndNamedByItsList) {
  TTempDir dir;
  const int hdlcPort = ClosedPort();
  const std::string list = dir.Path + "/fleet.csv", lines = dir.Path + "/n.jsonl";
  TSimProcess sim({"--fleet", "1", "--port", "0", "--fleet-list", list, "--push", Format("127.0.0.1:%d", hdlcPort),
                   "--every", "0.2", "--push-hdlc"});
  const TRun r = RunCli({"listen", "--address", "127.0.0.1", "--port", "0", "--hdlc-port", std::to_string(hdlcPort),
                         "--for", "1.5", "--list", list, "--out", lines, "--objects-from-meter"},
                        dir.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const auto records = JsonLines(ReadFile(lines));
  ASSERT_GE(records.size(), 3u) << r.Err;
  for (size_t i = 0; i < records.size(); ++i) {
    const json& j = records[i];
    EXPECT_EQ(j["meter"], "sim-0001");
    EXPECT_EQ(j["id"], i + 1);
    EXPECT_FALSE(j.contains("counter"));
    EXPECT_EQ(TMisc::HexStrToByteStr(j["values"]["1/0.0.42.0.0.255/2"].get<std::string>()), "QSM0000000001") << j.dump();
  }
}

// ---------------------------------------------------------------- the pieces

TEST(FleetPushDecoder, EveryBadMessageGetsItsErrorAndTheCounterOnlyMovesOnGoodOnes) {
  const auto meters = MetersOfCsv(
      "name,address,server-system-title,ek,ak\r\n"
      "sim-0003,h:1,5153494D00000003,000102030405060708090A0B00000003,D0D1D2D3D4D5D6D7D8D9DADB00000003\r\n");
  const PduStr ek = meters[0].Profile.EK, ak = meters[0].Profile.AK;
  cli::TPushDecoder d(meters, {});
  const auto id3 = sim::FleetIdentity(3), id4 = sim::FleetIdentity(4);
  const PduStr good = sim::PushNotification(id3, 5, 1765000000, 100, true, ek, ak);
  PduStr tampered = good;
  tampered.back() ^= 1;
  const PduStr plain = sim::PushNotification(id3, 9, 1765000000, 100, false, "", "");
  const struct {
    PduStr Apdu;
    std::string Error;  // empty: decodes
  } cases[] = {
      {"", "empty message"},
      {PduStr("\x0F", 1), "undecodable message (Wrong encoding in pdu)"},
      {plain.substr(0, plain.size() - 2), "undecodable message (Wrong encoding in pdu)"},
      {PduStr("\xC0\x01\xC1\x00\x01\x00\x00\x01\x08\x00\xFF\x02\x00", 13),
       "tag 192: expected a data notification, event notification or information report"},
      {sim::PushNotification(id4, 1, 1765000000, 1, true, ek, ak), "system title 5153494D00000004: no meter of the list has it"},
      {tampered, ""},  // filled below: the tag does not check
      {good, ""},
      {good, "sim-0003: invocation counter 5 replayed (last 5), dropped"},
      {sim::PushNotification(id3, 4, 1765000000, 1, true, ek, ak), "sim-0003: invocation counter 4 replayed (last 5), dropped"},
      {sim::PushNotification(id3, 6, 1765000000, 1, true, ek, ak), ""},
      {PduStr("\xCA\x02\x00\x00", 4), "sim-0003: cannot decipher"},
  };
  std::string title;
  for (const auto& c : cases) {
    try {
      const cli::TPushed p = d.Decode(c.Apdu, title);
      EXPECT_TRUE(c.Error.empty()) << "decoded, expected: " << c.Error;
      EXPECT_EQ(p.Meter, "sim-0003");
      EXPECT_EQ(p.Kind, "data-notification");
      EXPECT_EQ(p.InvocationCounter, p.Body["id"].get<int64_t>());
      EXPECT_EQ(p.Body["values"].size(), 3u);
    } catch (const std::exception& e) {
      const std::string what = e.what();
      if (&c == &cases[5]) {
        EXPECT_EQ(what.rfind("sim-0003: cannot decipher (", 0), 0u) << what;
        continue;
      }
      if (c.Error == "sim-0003: cannot decipher") {
        EXPECT_EQ(what.rfind(c.Error, 0), 0u) << what;
        continue;
      }
      EXPECT_EQ(what, c.Error);
    }
  }
  // Random bytes, as a careless or hostile sender might send: an error, never
  // a crash.
  uint64_t x = 88172645463325252ull;
  for (int i = 0; i < 3000; ++i) {
    PduStr apdu = good.substr(0, static_cast<size_t>(x % (good.size() + 1)));
    for (size_t k = 0; k < apdu.size(); k += 1 + (x >> 7) % 9) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      apdu[k] = static_cast<char>(x);
    }
    std::string t;
    try {
      d.Decode(apdu, t);
    } catch (const std::exception&) {
    }
  }
}

TEST(FleetPushDecoder, AMessageThatNamesNoMeterIsTheMeterWhoseHostItComesFrom) {
  const auto meters = MetersOfCsv(
      "name,address,server-system-title,ek,ak\r\n"
      "solo,10.0.0.5:4059,5153494D00000005,000102030405060708090A0B00000005,D0D1D2D3D4D5D6D7D8D9DADB00000005\r\n"
      "shared-1,10.0.0.9:4059,,,\r\n"
      "shared-2,10.0.0.9:4060,,,\r\n");
  const PduStr ek = meters[0].Profile.EK, ak = meters[0].Profile.AK;
  const PduStr plain = sim::PushNotification(sim::FleetIdentity(5), 7, 1765000000, 5, false, "", "");
  // Glo-ciphered: the tag, the length and the ciphered content, no system title.
  TSecurityControl sc;
  sc.COSEMProtectionServices = TCOSEMProtectionServices{psAuthentication, psEncryption};
  const PduStr content = TGCMCipher::GCMEncrypt(meters[0].Profile.ServerSystemTitle, plain, ek, ak, sc, 7, PduStr());
  const PduStr glo = "\xCA" + PduStr(1, static_cast<char>(content.size())) + content;
  const struct {
    PduStr Apdu;
    std::string Host, Meter, Error;
  } cases[] = {
      {plain, "10.0.0.5", "solo", ""},
      {plain, "10.0.0.9", "", ""},  // two meters have that host
      {plain, "10.0.0.7", "", ""},
      {glo, "10.0.0.9", "", "glo-ciphered message on a connection whose meter is not known yet"},
      {glo, "10.0.0.5", "solo", ""},
  };
  cli::TPushDecoder d(meters, {});
  for (const auto& c : cases) {
    std::string title;
    try {
      const cli::TPushed p = d.Decode(c.Apdu, title, c.Host);
      EXPECT_TRUE(c.Error.empty()) << c.Host << ": decoded, expected: " << c.Error;
      EXPECT_EQ(p.Meter, c.Meter) << c.Host;
      EXPECT_EQ(p.Body["id"], 7) << c.Host;
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.Error) << c.Host;
    }
  }
  EXPECT_TRUE(d.Knows("solo"));
  EXPECT_FALSE(d.Knows("shared-1"));
}

// What a reader makes of a byte stream, fed at once and one byte at a time:
// "message <hex>" and "error <text>" in order.
std::vector<std::string> HdlcEvents(const std::string& stream, bool bytewise, size_t* held = nullptr) {
  cli::THdlcPushReader reader;
  std::vector<std::string> events;
  auto message = [&](const std::string& m) { events.push_back("message " + TMisc::ByteStrToHexStr(m)); };
  auto error = [&](const std::string& e) { events.push_back("error " + e); };
  if (bytewise)
    for (char c : stream) reader.Feed(std::string_view(&c, 1), message, error);
  else
    reader.Feed(stream, message, error);
  if (held) *held = reader.Held();
  return events;
}

TEST(FleetHdlcPushReader, MessagesOutOfFramesAndEveryBadFrameSkippedAlone) {
  const sim::THdlcSettings server;  // upper 1, lower 17
  auto notification = [](int n) { return sim::PushNotification(sim::FleetIdentity(n), 1, 1765000000, n, false, "", ""); };
  const PduStr a = notification(1), b = notification(2);
  const PduStr fa = sim::HdlcPushFrames(a, server), fb = sim::HdlcPushFrames(b, server);
  auto frame = [&](TFrameKind kind, const PduStr& info) {
    TFrame f;
    f.SetKind(kind);
    f.FData = info;
    f.SrcAddress = sim::ServerFrameAddress(server);
    f.DstAddress = TFrameAddress{102, 0, 1};
    return f.GetPDUByteStr();
  };
  PduStr badFcs = fb, badHcs = fb;
  badFcs[badFcs.size() - 6] ^= 0x01;  // an information byte
  badHcs[6] ^= 0x10;                  // the P/F bit of the control byte
  const PduStr big(70000, 'x');
  const std::string ma = "message " + TMisc::ByteStrToHexStr(a), mb = "message " + TMisc::ByteStrToHexStr(b);
  const struct {
    const char* What;
    PduStr Stream;
    std::vector<std::string> Events;
  } cases[] = {
      {"frames sharing a flag", fa + fb.substr(1), {ma, mb}},
      {"fill flags between frames", fa + "\x7E\x7E" + fb, {ma, mb}},
      {"a message in segments", sim::HdlcPushFrames(a, server, 16) + fb, {ma, mb}},
      {"an I frame", frame(fkI, PduStr("\xE6\xE7\x00", 3) + a), {ma}},
      {"no LLC header", frame(fkUI, a), {ma}},
      {"bytes before a frame", "\x01\x02\x03" + fa, {"error 3 bytes outside a frame skipped", ma}},
      {"a frame cut short", fa.substr(0, 20) + fb, {"error 19 bytes outside a frame skipped", mb}},
      {"a bad FCS", fa + badFcs + fa, {ma, "error HDLC frame dropped (Illegal FCS)", ma}},
      {"a bad HCS", badHcs + fb, {"error HDLC frame dropped (Illegal HCS)", mb}},
      {"a frame of another kind", frame(fkRR, "") + fa, {"error HDLC RR frame ignored", ma}},
      {"a message too long", sim::HdlcPushFrames(big, server, 1000) + fa,
       {"error segmented message longer than 65538 bytes, dropped", ma}},
  };
  for (const auto& c : cases) {
    size_t held = 99;
    EXPECT_EQ(HdlcEvents(c.Stream, false, &held), c.Events) << c.What;
    EXPECT_EQ(held, 0u) << c.What;
    EXPECT_EQ(HdlcEvents(c.Stream, true), c.Events) << c.What << ", byte by byte";
  }
  // What is held until the rest comes: part of a frame, the segments of a
  // message, bytes that are no frame.
  const PduStr segmented = sim::HdlcPushFrames(a, server, 16);
  const size_t firstFrame = (static_cast<uint8_t>(segmented[1]) & 7u) * 256u + static_cast<uint8_t>(segmented[2]) + 2;
  for (const auto& [stream, bytes] : std::vector<std::pair<PduStr, size_t>>{
           {fa.substr(0, 10), 10}, {segmented.substr(0, firstFrame), 16}, {fa + "\x01\x02", 2}}) {
    size_t held = 0;
    HdlcEvents(stream, false, &held);
    EXPECT_EQ(held, bytes) << TMisc::ByteStrToHexStr(stream);
  }
}

TEST(FleetPushObjects, TheListMustBeAnArrayOfObjectDefinitions) {
  const TValue list = ParseDataXml(
      "<Array Qty=\"0002\"><Structure Qty=\"0004\"><LongUnsigned Value=\"0001\" /><OctetString Value=\"00002A0000FF\" />"
      "<Integer Value=\"02\" /><LongUnsigned Value=\"0000\" /></Structure><Structure Qty=\"0004\"><LongUnsigned "
      "Value=\"0003\" /><OctetString Value=\"0100010800FF\" /><Integer Value=\"02\" /><LongUnsigned Value=\"0000\" />"
      "</Structure></Array>");
  const auto refs = cli::PushObjectRefs(list, "40/0.0.25.9.0.255/2");
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_EQ(ObjectRefText(refs[0]) + "," + ObjectRefText(refs[1]), "1/0.0.42.0.0.255/2,3/1.0.1.8.0.255/2");
  const std::pair<const char*, const char*> bad[] = {
      {"<Structure Qty=\"0000\"></Structure>", "40/0.0.25.9.0.255/2: push objects are not an array"},
      {"<Array Qty=\"0001\"><Structure Qty=\"0003\"><LongUnsigned Value=\"0001\" /><OctetString Value=\"00002A0000FF\" />"
       "<Integer Value=\"02\" /></Structure></Array>",
       "40/0.0.25.9.0.255/2: a push object is not the structure expected"},
      {"<Array Qty=\"0001\"><Structure Qty=\"0004\"><LongUnsigned Value=\"0001\" /><OctetString Value=\"00002A\" />"
       "<Integer Value=\"02\" /><LongUnsigned Value=\"0000\" /></Structure></Array>",
       "40/0.0.25.9.0.255/2: a push object is not the structure expected"},
  };
  for (const auto& [xml, error] : bad) {
    try {
      cli::PushObjectRefs(ParseDataXml(xml), "40/0.0.25.9.0.255/2");
      ADD_FAILURE() << "accepted: " << xml;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), error);
    }
  }
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
