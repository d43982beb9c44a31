// quillon-cli end to end: the program run as a process against the meter
// simulator over the DLMS wrapper, HDLC over TCP and HDLC over a
// pseudo-terminal, with LN and SN, no security, a password, an HLS mechanism
// and a GMAC-ciphered association. Outputs are parsed back (JSON, CSV).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CliProcess.h"
#include "SimProcess.h"
#include "client/Batch.h"
#include "client/Value.h"

using namespace quillon;
using nlohmann::json;

namespace {

using client::ParseCsv;
using test::Describe;
using test::ReadFile;
using test::RunCli;
using test::TRun;
using test::TTempDir;

enum TTransportCase { tcWrapper, tcHdlcTcp, tcPty, tcPtyModeE };

struct TCliCase {
  const char* Name;
  TTransportCase Transport;
  std::vector<std::string> Security;  // options after the connection
  std::vector<std::string> Env;
  bool SN;
};

const std::vector<std::string> kGmacEnv = {"QUILLON_EK=000102030405060708090A0B0C0D0E0F",
                                           "QUILLON_AK=D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF",
                                           "QUILLON_KEK=101112131415161718191A1B1C1D1E1F",
                                           "QUILLON_SERVER_SYSTEM_TITLE=5153494D00000001"};

class Cli : public ::testing::TestWithParam<TCliCase> {
protected:
  void SetUp() override {
    const TCliCase& c = GetParam();
    switch (c.Transport) {
      case tcWrapper:
        Sim = std::make_unique<test::TSimProcess>(std::vector<std::string>{"--port", "0"});
        Connection = {"--tcp", "127.0.0.1:" + std::to_string(Sim->Port())};
        break;
      case tcHdlcTcp:
        Sim = std::make_unique<test::TSimProcess>(std::vector<std::string>{"--profile", "hdlc-tcp", "--port", "0"});
        Connection = {"--hdlc-tcp", "127.0.0.1:" + std::to_string(Sim->Port()), "--physical", "17"};
        break;
      case tcPty:
      case tcPtyModeE:
        Sim = c.Transport == tcPty
                  ? std::make_unique<test::TSimProcess>(std::vector<std::string>{"--profile", "hdlc-pty"})
                  : std::make_unique<test::TSimProcess>(std::vector<std::string>{"--profile", "hdlc-pty", "--mode-e"});
        Connection = {"--serial", Sim->Device(), "--physical", "17"};
        if (c.Transport == tcPtyModeE) Connection.push_back("--mode-e");
        break;
    }
    Connection.insert(Connection.end(), c.Security.begin(), c.Security.end());
    if (c.SN) Connection.push_back("--sn");
  }

  TRun Run(std::vector<std::string> command) {
    std::vector<std::string> args = Connection;
    args.insert(args.end(), command.begin(), command.end());
    return RunCli(args, Home.Path, GetParam().Env);
  }

  std::unique_ptr<test::TSimProcess> Sim;
  std::vector<std::string> Connection;
  TTempDir Home;
};

TEST_P(Cli, ObjectsGetSetActionClockProfile) {
  // The object list, as JSON with the documented fields.
  TRun r = Run({"--format", "json", "objects"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const json objects = json::parse(r.Out);
  ASSERT_TRUE(objects.is_array());
  ASSERT_GT(objects.size(), 20u);
  bool voltage = false;
  for (const auto& o : objects) {
    ASSERT_TRUE(o.contains("class") && o.contains("version") && o.contains("obis") && o.contains("description")) << o;
    voltage = voltage || (o["obis"] == "1.0.32.7.0.255" && o["class"] == 3);
  }
  EXPECT_TRUE(voltage);

  // A register, scaled with its unit; the class comes from the object list.
  r = Run({"--format", "json", "get", "1.0.32.7.0.255", "3/1-0:31.7.0*255/2"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  json got = json::parse(r.Out);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]["ref"], "3/1.0.32.7.0.255/2");
  EXPECT_EQ(got[0]["value"], 2300);
  EXPECT_EQ(got[0]["scaler"], -1);
  EXPECT_EQ(got[0]["unit"], "V");
  EXPECT_DOUBLE_EQ(got[0]["scaled"].get<double>(), 230.0);
  EXPECT_EQ(got[1]["unit"], "A");
  EXPECT_DOUBLE_EQ(got[1]["scaled"].get<double>(), 5.5);

  // Enums the class catalogue knows read by name on a terminal.
  r = Run({"get", "0.0.1.0.0.255/9"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_NE(r.Out.find("  internal crystal (1)  "), std::string::npos) << r.Out;

  // Set and read back.
  r = Run({"set", "1/0.0.96.10.1.255/2", "Unsigned:7"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  r = Run({"--format", "csv", "get", "0.0.96.10.1.255"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  auto csv = ParseCsv(r.Out);
  ASSERT_EQ(csv.size(), 2u) << r.Out;
  EXPECT_EQ(csv[0], (std::vector<std::string>{"ref", "value", "scaler", "unit", "scaled"}));
  EXPECT_EQ(csv[1][0], "1/0.0.96.10.1.255/2");
  EXPECT_EQ(csv[1][1], "7");

  // A method: remote disconnect, then the output state reads false.
  r = Run({"action", "70/0.0.96.3.10.255/1", "Integer:0"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  r = Run({"--format", "json", "get", "0.0.96.3.10.255/2"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_EQ(json::parse(r.Out)[0]["value"], false);

  // The clock set from this machine's clock reads back as (about) now.
  r = Run({"--format", "json", "clock", "--set", "now"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const std::string iso = json::parse(r.Out)["value"];
  const int64_t meter = client::ParseIsoTime(iso, "clock");
  EXPECT_LT(std::llabs(meter - static_cast<int64_t>(std::time(nullptr))), 3600) << iso;

  // Load profile by capture time: exactly the entries in the range.
  const int64_t now = std::time(nullptr) / 900 * 900;
  const int64_t from = now - 6 * 3600 + 7 * 60, to = now - 3 * 3600;
  auto isoOf = [](int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return std::string(buf);
  };
  r = Run({"--format", "csv", "profile", "1.0.99.1.0.255", "--from", isoOf(from), "--to", isoOf(to)});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  csv = ParseCsv(r.Out);
  const int64_t first = (from + 899) / 900 * 900;
  const size_t expected = static_cast<size_t>((to - first) / 900 + 1);
  ASSERT_EQ(csv.size(), expected + 1) << r.Out.substr(0, 600);
  EXPECT_EQ(csv[0][0], "Clock [0.0.1.0.0.255/2]");
  EXPECT_NE(csv[0][2].find("[1.0.1.8.0.255/2, Wh]"), std::string::npos) << csv[0][2];
  for (size_t i = 1; i < csv.size(); ++i) {
    ASSERT_EQ(csv[i].size(), csv[0].size());
    EXPECT_EQ(client::ParseIsoTime(csv[i][0], "row"), first + static_cast<int64_t>(i - 1) * 900) << csv[i][0];
  }

  // By entry numbers.
  r = Run({"--format", "json", "profile", "7/1.0.99.1.0.255", "--entries", "3..5"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_EQ(json::parse(r.Out)["rows"].size(), 3u);
}

const TCliCase kCases[] = {
    {"WrapperLnNone", tcWrapper, {"--client", "16"}, {}, false},
    {"WrapperLnLow", tcWrapper, {"--client", "17", "--auth", "low"}, {"QUILLON_PASSWORD=12345678"}, false},
    {"WrapperLnSha256", tcWrapper, {"--client", "21", "--auth", "sha256"},
     {"QUILLON_PASSWORD=Quillon-HLS-secret", "QUILLON_SERVER_SYSTEM_TITLE=5153494D00000001"}, false},
    {"WrapperLnGmacCiphered", tcWrapper, {"--client", "33", "--auth", "gmac", "--security", "auth-enc"}, kGmacEnv, false},
    {"WrapperSnNone", tcWrapper, {"--client", "48"}, {}, true},
    {"HdlcTcpLnMd5", tcHdlcTcp, {"--client", "18", "--auth", "md5"}, {"QUILLON_PASSWORD=Quillon-HLS-secret"}, false},
    {"HdlcTcpSnLow", tcHdlcTcp, {"--client", "49", "--auth", "low", "--password-hex", "3132333435363738"}, {}, true},
    {"PtyLnNone", tcPty, {"--client", "16"}, {}, false},
    {"PtyModeESnNone", tcPtyModeE, {"--client", "48"}, {}, true},
};

INSTANTIATE_TEST_SUITE_P(Transports, Cli, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TCliCase>& i) { return std::string(i.param.Name); });

TEST(CliDump, EveryReadableAttributeAsJson) {
  test::TSimProcess sim({"--port", "0"});
  TTempDir home;
  const TRun r = RunCli({"--tcp", "127.0.0.1:" + std::to_string(sim.Port()), "--format", "json", "dump"}, home.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const json dump = json::parse(r.Out);
  ASSERT_GT(dump.size(), 20u);
  bool energy = false;
  for (const auto& o : dump) {
    ASSERT_TRUE(o["attributes"].is_array());
    if (o["obis"] == "1.0.1.8.0.255") {
      energy = true;
      EXPECT_EQ(o["attributes"][0]["value"], "0100010800FF");
      EXPECT_EQ(o["attributes"][1]["name"], "value");
      EXPECT_EQ(o["attributes"][1]["unit"], "Wh");
      EXPECT_EQ(o["attributes"][1]["value"], 1234567);
    }
  }
  EXPECT_TRUE(energy);
}

// ---------------------------------------------------------------- bad input

TEST(CliErrors, EachGivesItsLineAndStatus) {
  test::TSimProcess sim({"--port", "0"});
  TTempDir home;
  const std::string tcp = "127.0.0.1:" + std::to_string(sim.Port());
  struct {
    std::vector<std::string> Args;
    int Status;
    const char* Err;
  } cases[] = {
      {{"--tcp", tcp, "frobnicate"}, 2,
       "quillon-cli: command \"frobnicate\": expected objects, get, set, action, profile, clock, dump, save-meter, probe, explain, batch, export, merge, listen or headend\n"},
      {{"--tcp", tcp}, 2,
       "quillon-cli: command: expected objects, get, set, action, profile, clock, dump, save-meter, probe, explain, batch, export, merge, listen or headend (see --help)\n"},
      {{"--tcp", tcp, "get", "1.0.1.8.0"}, 2,
       "quillon-cli: OBIS code \"1.0.1.8.0\": expected A.B.C.D.E.F, A-B:C.D.E*F or 12 hex digits, each group 0..255\n"},
      {{"--tcp", tcp, "--client", "33", "--auth", "gmac", "--security", "auth-enc", "--ek", "0001020304", "get",
        "1.0.1.8.0.255"},
       2, "quillon-cli: --ek: expected 32 hex digits (a 16-byte key for security suite 0), found 10\n"},
      // A mistyped key is described, never quoted.
      {{"--tcp", tcp, "--client", "33", "--auth", "gmac", "--security", "auth-enc", "--ek",
        "000102030405060708090A0B0C0D0E0G", "get", "1.0.1.8.0.255"},
       2, "quillon-cli: --ek: 31 hex digits of 32; position 32 is not a hex digit\n"},
      {{"--tcp", tcp, "--client", "17", "--auth", "low", "--password-hex", "3132333", "get", "1.0.1.8.0.255"}, 2,
       "quillon-cli: --password-hex: 7 hex digits; expected an even number, two per byte\n"},
      {{"--tcp", tcp, "--client", "17", "--auth", "low", "--password", "wrong", "get", "1.0.1.8.0.255"}, 1,
       "quillon-cli: association: Association is not \"accepted\"\n"
       "  what happened: The meter rejected the association of client 17: authentication failure\n"
       "  likely cause: a wrong password or key, the password given as text where the meter expects hex, or a "
       "client address that does not go with this secret\n"
       "  fix: check the secret (--password TEXT or --password-hex HEX, or QUILLON_PASSWORD / QUILLON_PASSWORD_HEX) "
       "and that client 17 is the one the meter assigns to it\n"},
      {{"--tcp", "127.0.0.1:1", "get", "1.0.1.8.0.255"}, 1,
       "quillon-cli: 127.0.0.1:1: Connection refused\n"
       "  what happened: Nothing accepts connections at 127.0.0.1:1\n"
       "  likely cause: a wrong address or port, the meter's (or its modem's) server not running, or a meter that "
       "takes one connection at a time serving another client\n"
       "  fix: check the meter's address and port (--tcp HOST:PORT, --hdlc-tcp HOST:PORT), that it is reachable, and "
       "that no other client holds it\n"},
      {{"--tcp", tcp, "get", "1.0.99.99.0.255"}, 1,
       "quillon-cli: object 1.0.99.99.0.255: not in the association's object list\n"},
      {{"--tcp", tcp, "--format", "yaml", "objects"}, 2, "quillon-cli: --format \"yaml\": expected text, json, csv or xml\n"},
      {{"--tcp", tcp, "set", "1.0.1.8.0.255", "Unsigned:300"}, 2,
       "quillon-cli: value \"Unsigned:300\": expected an integer in 0..255 after Unsigned:\n"},
      {{"--tcp", tcp, "profile", "1.0.99.1.0.255", "--entries", "5..2"}, 2,
       "quillon-cli: --entries \"5..2\": expected A..B with 1 <= A <= B (or A.. for all from A)\n"},
  };
  for (const auto& c : cases) {
    const TRun r = RunCli(c.Args, home.Path);
    EXPECT_EQ(r.Status, c.Status) << Describe(r);
    EXPECT_EQ(r.Err, c.Err) << Describe(r);
    EXPECT_EQ(r.Out, "") << Describe(r);
  }
  EXPECT_FALSE(std::ifstream(home.Path + "/quillon/meters.ini").good());
}

TEST(CliMeters, SaveMeterWritesOnlyOnSuccessAndTheNameWorks) {
  test::TSimProcess sim({"--port", "0"});
  TTempDir home;
  const std::string tcp = "127.0.0.1:" + std::to_string(sim.Port());
  const std::string file = home.Path + "/quillon/meters.ini";
  // A key of the wrong length: refused, nothing written.
  TRun r = RunCli({"--tcp", tcp, "--client", "33", "--auth", "gmac", "--security", "auth-enc", "--ek", "00", "save-meter", "lab"},
                  home.Path);
  EXPECT_EQ(r.Status, 2) << Describe(r);
  EXPECT_FALSE(std::ifstream(file).good());

  r = RunCli({"--tcp", tcp, "--client", "17", "--auth", "low", "save-meter", "lab"}, home.Path,
             {"QUILLON_PASSWORD=12345678"});
  ASSERT_EQ(r.Status, 0) << Describe(r);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  r = RunCli({"--meter", "lab", "--format", "json", "get", "1.0.1.8.0.255"}, home.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_EQ(json::parse(r.Out)[0]["value"], 1234567);
  r = RunCli({"--meter", "nosuch", "objects"}, home.Path);
  EXPECT_EQ(r.Status, 2) << Describe(r);
  EXPECT_EQ(r.Err, "quillon-cli: --meter \"nosuch\": no such meter in " + file + "\n");
}

TEST(CliLog, TrafficAndEngineLinesGoToTheFile) {
  test::TSimProcess sim({"--port", "0"});
  TTempDir home;
  const std::string log = home.Path + "/traffic.log";
  const TRun r = RunCli({"--tcp", "127.0.0.1:" + std::to_string(sim.Port()), "--log", log, "get", "1.0.1.8.0.255"},
                        home.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const std::string text = ReadFile(log);
  EXPECT_NE(text.find("Connected to 127.0.0.1:" + std::to_string(sim.Port())), std::string::npos) << text.substr(0, 400);
  EXPECT_NE(text.find("REQUEST:"), std::string::npos);
  EXPECT_NE(text.find("<ReleaseRequest>"), std::string::npos);
}

TEST(CliHelp, HelpAndVersion) {
  TTempDir home;
  TRun r = RunCli({"--help"}, home.Path);
  EXPECT_EQ(r.Status, 0);
  EXPECT_NE(r.Out.find("save-meter"), std::string::npos);
  EXPECT_NE(r.Out.find("--hdlc-tcp"), std::string::npos);
  r = RunCli({"--version"}, home.Path);
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.Out.rfind("quillon-cli ", 0), 0u);
}

}  // namespace
