// quillon-cli probe against the simulator started with a transport, speed
// and addresses the test does not tell the probe: it must find them within
// its budget, and the meter it saves must then read the object list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

#include "CliProcess.h"
#include "SimProcess.h"
#include "client/Probe.h"

using namespace quillon;
using nlohmann::json;

namespace {

using test::Describe;
using test::ReadFile;
using test::RunCli;
using test::TRun;
using test::TTempDir;

// The simulator's serial number, as printed on its nameplate.
const char* const kSerialNumber = "51000427";

struct TProbeCase {
  const char* Name;
  std::vector<std::string> Sim;  // how the meter is started
  bool Serial;
  std::vector<std::string> Probe;  // what the user tells the probe
  const char* Transport;           // what it must find
  int Physical;
  int FailedBefore;  // attempts that found nothing before the meter answered
};

const std::vector<TProbeCase> kCases = {
    // HDLC over TCP at a physical address only the serial number gives:
    // the wrapper is tried first and hears nothing.
    {"HdlcOverTcp", {"--profile", "hdlc-tcp", "--port", "0", "--server-address", "1,443"}, false,
     {"--serial-number", kSerialNumber}, "hdlc-tcp", 443, 1},
    // A pseudo-terminal that only speaks after the mode E opening, at the
    // factory physical address.
    {"ModeE", {"--profile", "hdlc-pty", "--mode-e", "--server-address", "1,17"}, true, {}, "serial", 17, 0},
};

class ProbeFinds : public ::testing::TestWithParam<TProbeCase> {};

TEST_P(ProbeFinds, TheMeterAndSavesIt) {
  const TProbeCase& c = GetParam();
  test::TSimProcess meter(c.Sim);
  TTempDir home;
  const std::vector<std::string> where =
      c.Serial ? std::vector<std::string>{"--serial", meter.Device()}
               : std::vector<std::string>{"--tcp", "127.0.0.1:" + std::to_string(meter.Port())};
  std::vector<std::string> args = where;
  args.insert(args.end(), {"--format", "json", "probe", "--budget", "20", "--attempt-timeout", "700", "--save", "found"});
  args.insert(args.end(), c.Probe.begin(), c.Probe.end());
  const TRun r = RunCli(args, home.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const json out = json::parse(r.Out);
  const json& rec = out["recommended"];
  EXPECT_EQ(rec["transport"], c.Transport) << r.Out;
  EXPECT_EQ(rec["physical"], c.Physical) << r.Out;
  EXPECT_EQ(rec["client"], 16) << r.Out;
  const json& attempts = out["attempts"];
  ASSERT_EQ(attempts.size(), static_cast<size_t>(c.FailedBefore + 1)) << r.Out;
  for (int i = 0; i < c.FailedBefore; ++i) EXPECT_EQ(attempts[i]["outcome"], "nothing") << r.Out;
  const json& found = attempts.back();
  EXPECT_EQ(found["outcome"], "associated");
  EXPECT_EQ(found["logical_device_name"], "QSM0000000001");
  EXPECT_EQ(found["serial_number"], kSerialNumber);
  EXPECT_GT(found["objects"].get<int>(), 40);

  // The saved meter reads the object list on its own.
  const TRun objects = RunCli({"--meter", "found", "--format", "json", "objects"}, home.Path);
  ASSERT_EQ(objects.Status, 0) << Describe(objects);
  EXPECT_EQ(json::parse(objects.Out).size(), found["objects"].get<size_t>());
}

INSTANTIATE_TEST_SUITE_P(Transports, ProbeFinds, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Probe, WithoutAMeterSaysSoWithinItsBudget) {
  TTempDir home;
  // Nothing listens on port 1: every attempt is refused.
  const TRun r = RunCli({"--tcp", "127.0.0.1:1", "probe", "--budget", "5", "--attempt-timeout", "200"}, home.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  EXPECT_EQ(r.Err.rfind("quillon-cli: probe: no association with the meter after ", 0), 0u) << Describe(r);
  const TRun usage = RunCli({"probe"}, home.Path);
  EXPECT_EQ(usage.Status, 2);
  EXPECT_EQ(usage.Err,
            "quillon-cli: connection: expected --tcp HOST[:PORT], --hdlc-tcp HOST:PORT, --serial DEVICE or --meter NAME\n");
}

// A meter that sends data blocks it did not grant and pads what it
// ciphers: a strict probe (which refuses the blocks as well) finds that each
// quirk cures an attempt, suggests both and saves them with the meter, which
// then reads on its own, strict as it was probed.
TEST(Probe, SuggestsTheQuirksItSawANeedFor) {
  test::TSimProcess meter({"--port", "0", "--blocks-without-bit", "--trailing-bytes", "2"});
  TTempDir home;
  const TRun r = RunCli({"--strict", "--tcp", "127.0.0.1:" + std::to_string(meter.Port()), "--client", "32", "--security",
                         "auth-enc", "--ek", "000102030405060708090A0B0C0D0E0F", "--ak",
                         "D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF", "--kek", "101112131415161718191A1B1C1D1E1F", "--system-title", "4D4D4D0000BC614E",
                         "--server-system-title", "5153494D00000001",
                         "--format", "json",
                         "probe", "--budget", "20", "--attempt-timeout", "700", "--save", "padded"},
                        home.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const json out = json::parse(r.Out);
  EXPECT_EQ(out["suggested_quirks"], json({"blocks-without-bit", "trailing-bytes"})) << r.Out;
  EXPECT_EQ(out["recommended"]["client"], 32) << r.Out;
  EXPECT_EQ(out["recommended"]["quirks"], "blocks-without-bit,trailing-bytes") << r.Out;
  EXPECT_EQ(out["recommended"]["strict"], true) << r.Out;
  // Public association (its object list refused), again with the first
  // quirk; client 32 (its AARE refused), again with the second.
  std::vector<std::string> outcomes;
  for (const json& a : out["attempts"]) outcomes.push_back(a["outcome"]);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"associated", "associated", "AARE", "associated"})) << r.Out;
  EXPECT_EQ(out["attempts"][0]["detail"], "General-block-transfer received when not allowed by the conformance block") << r.Out;

  // The probe used the meter's first invocation counters.
  const TRun objects = RunCli({"--meter", "padded", "--ic", "auto", "--format", "json", "objects"}, home.Path);
  ASSERT_EQ(objects.Status, 0) << Describe(objects);
  EXPECT_GT(json::parse(objects.Out).size(), 40u);
}

// A meter whose public client speaks short names only and sends data
// blocks it did not grant (its object list, 20 objects longer than the
// built-in one, needs more than its PDU size): strict, the public
// short-names association is tried again with the quirk its object list
// needs; by default the blocks are taken and no quirk is needed.
TEST(Probe, PublicShortNamesGetTheirQuirkToo) {
  const char* source = std::getenv("QUILLON_SOURCE_DIR");
  ASSERT_NE(source, nullptr) << "run through ctest, which sets QUILLON_SOURCE_DIR";
  std::string model = ReadFile(std::string(source) + "/data/sim/meter.txt");
  const size_t at = model.find("client 16 LN 1\n");
  ASSERT_NE(at, std::string::npos);
  model.replace(at, 14, "client 16 SN 1");
  for (int n = 0; n < 20; ++n)
    model += "\nobject 1 0 0.0.96.50." + std::to_string(n) + ".255 sn=" + std::to_string(5000 + 16 * n) + " \"Spare " +
             std::to_string(n) + "\"\nattr 2 <Unsigned Value=\"07\" />\n";
  TTempDir home;
  const std::string modelPath = home.Path + "/model.txt";
  std::ofstream(modelPath) << model;
  test::TSimProcess meter({"--port", "0", "--model", modelPath, "--blocks-without-bit"});
  const TRun r = RunCli({"--strict", "--tcp", "127.0.0.1:" + std::to_string(meter.Port()), "--format", "json", "probe",
                         "--budget", "20", "--attempt-timeout", "700", "--save", "sn"},
                        home.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const json out = json::parse(r.Out);
  std::vector<std::string> outcomes;
  for (const json& a : out["attempts"]) outcomes.push_back(a["outcome"]);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"AARE rejected", "associated", "associated"})) << r.Out;
  EXPECT_EQ(out["attempts"][1]["detail"], "Block-transfer-with-get received when not allowed by the conformance block")
      << r.Out;
  EXPECT_EQ(out["suggested_quirks"], json({"blocks-without-bit"})) << r.Out;
  EXPECT_EQ(out["recommended"]["referencing"], "sn") << r.Out;
  EXPECT_EQ(out["recommended"]["quirks"], "blocks-without-bit") << r.Out;
  const TRun objects = RunCli({"--meter", "sn", "--format", "json", "objects"}, home.Path);
  ASSERT_EQ(objects.Status, 0) << Describe(objects);
  EXPECT_EQ(json::parse(objects.Out).size(), out["attempts"][2]["objects"].get<size_t>());

  const TRun lenient = RunCli({"--tcp", "127.0.0.1:" + std::to_string(meter.Port()), "--format", "json", "probe",
                               "--budget", "20", "--attempt-timeout", "700"},
                              home.Path);
  ASSERT_EQ(lenient.Status, 0) << Describe(lenient);
  const json found = json::parse(lenient.Out);
  outcomes.clear();
  for (const json& a : found["attempts"]) outcomes.push_back(a["outcome"]);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"AARE rejected", "associated"})) << lenient.Out;
  EXPECT_EQ(found["suggested_quirks"], json::array()) << lenient.Out;
  EXPECT_EQ(found["attempts"][1]["objects"], out["attempts"][2]["objects"]) << lenient.Out;
  EXPECT_FALSE(found["recommended"].contains("quirks")) << lenient.Out;
}

// A meter that has taken higher counters from client 32 than 1: the probe
// goes on from the counter the last session left, and leaves its own for
// the sessions after it.
TEST(Probe, InvocationCounterGoesOnFromTheSavedOne) {
  test::TSimProcess meter({"--port", "0", "--invocation-counter", "100000"});
  TTempDir home;
  const std::vector<std::string> ciphered{
      "--tcp", "127.0.0.1:" + std::to_string(meter.Port()), "--client", "32", "--security", "auth-enc", "--ek",
      "000102030405060708090A0B0C0D0E0F", "--ak", "D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF", "--kek",
      "101112131415161718191A1B1C1D1E1F", "--system-title", "4D4D4D0000BC614E", "--server-system-title",
      "5153494D00000001", "--format", "json"};
  std::vector<std::string> args = ciphered;
  args.insert(args.end(), {"--ic", "100000", "get", "1.0.1.8.0.255"});
  const TRun first = RunCli(args, home.Path);
  ASSERT_EQ(first.Status, 0) << Describe(first);
  args = ciphered;
  args.insert(args.end(), {"probe", "--budget", "20", "--attempt-timeout", "700", "--save", "counted"});
  const TRun r = RunCli(args, home.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  const json out = json::parse(r.Out);
  std::vector<std::string> outcomes;
  for (const json& a : out["attempts"]) outcomes.push_back(a["outcome"]);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"associated", "associated"})) << r.Out;
  EXPECT_EQ(out["recommended"]["client"], 32) << r.Out;
  // The saved meter reads without being told the counter.
  const TRun objects = RunCli({"--meter", "counted", "--format", "json", "objects"}, home.Path);
  ASSERT_EQ(objects.Status, 0) << Describe(objects);
  EXPECT_GT(json::parse(objects.Out).size(), 40u);
}

TEST(Probe, PhysicalAddressFromTheSerialNumber) {
  const struct {
    const char* SerialNumber;
    int Physical;
  } cases[] = {{"51000427", 443}, {"QSM-0009999", 10015}, {"7", 23}, {"no digits", -1}, {"123456789012", 16 + 9012}};
  for (const auto& c : cases) EXPECT_EQ(client::PhysicalAddressOfSerialNumber(c.SerialNumber), c.Physical) << c.SerialNumber;
}

}  // namespace
