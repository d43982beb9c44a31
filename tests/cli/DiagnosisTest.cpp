// Each explanation of a failure, provoked through the simulator made to fail
// that way, as quillon-cli prints it; and each quirk, which makes a failing
// meter work.
#include <gtest/gtest.h>

#include "CliProcess.h"
#include "SimProcess.h"
#include "client/Diagnosis.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

using namespace quillon;

namespace {

using test::Describe;
using test::ReadFile;
using test::RunCli;
using test::TRun;
using test::TTempDir;

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// Whether `text` is the row text `pattern` with each {placeholder} filled
// by anything.
bool Fills(const std::string& pattern, const std::string& text) {
  std::vector<std::string> pieces{""};
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && pattern.find('}', i) != std::string::npos) {
      i = pattern.find('}', i);
      pieces.emplace_back();
    } else {
      pieces.back() += pattern[i];
    }
  }
  if (pieces.size() == 1) return text == pattern;
  const std::string& first = pieces.front();
  const std::string& last = pieces.back();
  if (text.size() < first.size() + last.size() || text.compare(0, first.size(), first) != 0 ||
      text.compare(text.size() - last.size(), last.size(), last) != 0)
    return false;
  size_t at = first.size();
  const size_t end = text.size() - last.size();
  for (size_t k = 1; k + 1 < pieces.size(); ++k) {
    at = text.find(pieces[k], at);
    if (at == std::string::npos || at + pieces[k].size() > end) return false;
    at += pieces[k].size();
  }
  return true;
}

// The line of `text` that starts with `label` ("" when none).
std::string LineAfter(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return {};
  const size_t from = at + label.size();
  return text.substr(from, text.find('\n', from) - from);
}

// The placeholders of a row text, in order.
std::vector<std::string> Placeholders(const std::string& text) {
  std::vector<std::string> keys;
  for (size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at + 1))
    keys.push_back(text.substr(at, text.find('}', at) + 1 - at));
  return keys;
}

const char* const kEK = "000102030405060708090A0B0C0D0E0F";
const char* const kAK = "D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF";
const char* const kKEK = "101112131415161718191A1B1C1D1E1F";
const char* const kClientTitle = "4D4D4D0000BC614E";
const char* const kMeterTitle = "5153494D00000001";
const char* const kOtherTitle = "5153494D000000FF";

struct TDiagnosisCase {
  const char* Row;                      // the row's name
  std::vector<std::string> SimOptions;  // how the meter misbehaves
  std::vector<std::string> CliOptions;  // what we say
  const char* ErrorLine;                // the line after "quillon-cli: "
  const char* What;                     // "  what happened: ..."
};

std::vector<std::string> Ciphered(int client, const std::string& ek, const std::string& serverTitle,
                                  const std::string& clientTitle = kClientTitle) {
  std::vector<std::string> v{"--client", std::to_string(client), "--security", "auth-enc", "--ek", ek,
                             "--ak",     kAK,                    "--kek",        kKEK,
                             "--system-title", clientTitle};
  if (!serverTitle.empty()) v.insert(v.end(), {"--server-system-title", serverTitle});
  return v;
}

std::vector<std::string> WithCounter(std::vector<std::string> v, const std::string& counter) {
  v.insert(v.end(), {"--ic", counter});
  return v;
}

const std::vector<TDiagnosisCase> kCases = {
    {"authentication-failure", {}, {"--client", "17", "--auth", "low", "--password", "wrong"},
     "association: Association is not \"accepted\"",
     "The meter rejected the association of client 17: authentication failure"},
    {"mechanism-not-supported", {}, {"--client", "18", "--auth", "sha1", "--password", "Quillon-HLS-secret"},
     "association: Association is not \"accepted\"", "The meter does not accept authentication sha1 for client 18"},
    {"context-not-supported", {}, {"--client", "48"}, "association: Unexpected application context name",
     "The meter does not accept the application context LN for client 48"},
    {"calling-title-not-recognised", {"--client-system-title", kClientTitle},
     Ciphered(32, kEK, kMeterTitle, "0102030405060708"), "association: Association is not \"accepted\"",
     "The meter does not know our system title 0102030405060708"},
    {"authentication-required", {}, {"--client", "17"}, "association: Association is not \"accepted\"",
     "The meter requires authentication from client 17"},
    {"rejected-ciphered", {"--invocation-counter", "100000"}, Ciphered(32, kEK, kMeterTitle),
     "association: Association is not \"accepted\"",
     "The meter rejected the ciphered association of client 32 without giving a reason"},
    // A meter that checks the counter only inside the association, and a
    // client that starts below what the meter has seen.
    {"invocation-counter", {"--invocation-counter", "100000", "--aarq-counter-unchecked"},
     WithCounter(Ciphered(32, kEK, kMeterTitle), "5000"), "Unexpected response",
     "The meter refused our invocation counter"},
    {"rejected-no-reason", {}, {"--client", "99"}, "association: Association is not \"accepted\"",
     "The meter rejected the association of client 99 without giving a reason"},
    {"meter-cannot-decipher", {}, Ciphered(32, "0F0E0D0C0B0A09080706050403020100", kMeterTitle),
     "association: Association is not \"accepted\"", "The meter could not decipher our request"},
    {"server-title-mismatch", {"--aare-system-title", kOtherTitle}, Ciphered(32, kEK, kMeterTitle),
     "association: The received system-title does not match the declared value",
     "The meter's system title 5153494D000000FF is not the one configured (5153494D00000001)"},
    {"hls-reply-refused", {}, {"--client", "18", "--auth", "md5", "--password", "not-the-secret"},
     "association: Unexpected response ReadWriteDenied to method invocation",
     "The meter refused our reply to its md5 challenge"},
    {"illegal-challenge-response", {"--aare-system-title", kOtherTitle},
     {"--client", "20", "--auth", "gmac", "--ek", kEK, "--ak", kAK, "--kek", kKEK, "--system-title", kClientTitle,
      "--server-system-title", kOtherTitle},
     "association: Illegal response to challenge",
     "The meter's reply to our gmac challenge is not the one its secret would give"},
    {"response-not-deciphered", {"--aare-system-title", kOtherTitle}, Ciphered(32, kEK, kOtherTitle),
     "association: Authentication failure (Decrypt error)", "We could not decipher the meter's response"},
    {"response-replayed", {"--frozen-invocation-counter"}, Ciphered(32, kEK, kMeterTitle), 
     "Invocation counter 1 of the response is not above the last one received (1)",
     "The meter's response repeats an invocation counter it has used before"},
    // The GetRequest is 13 bytes long.
    {"pdu-too-long", {"--pdu-limit", "12"}, {}, "Unexpected response",
     "The meter refused our request as too long"},
    // A meter that pads what it ciphers, from its AARE on.
    {"meter-quirk", {"--trailing-bytes", "3"}, Ciphered(32, kEK, kMeterTitle),
     "association: Unexpected pdu trailing data", "The meter sends bytes after the end of a deciphered APDU"},
};

class DiagnosisRows : public ::testing::TestWithParam<TDiagnosisCase> {};

TEST_P(DiagnosisRows, ProvokedThroughTheSimulator) {
  const TDiagnosisCase& c = GetParam();
  std::vector<std::string> sim{"--port", "0"};
  sim.insert(sim.end(), c.SimOptions.begin(), c.SimOptions.end());
  test::TSimProcess meter(sim);
  TTempDir home;
  std::vector<std::string> args{"--tcp", "127.0.0.1:" + std::to_string(meter.Port())};
  args.insert(args.end(), c.CliOptions.begin(), c.CliOptions.end());
  args.push_back("get");
  args.push_back("1.0.1.8.0.255");
  const TRun r = RunCli(args, home.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  const std::string expectedStart = std::string("quillon-cli: ") + c.ErrorLine + "\n  what happened: " + c.What + "\n";
  EXPECT_EQ(r.Err.substr(0, expectedStart.size()), expectedStart) << Describe(r);
  // The cause and the fix follow, from the same row.
  const client::TDiagnosisRow* row = nullptr;
  for (const auto& candidate : client::DiagnosisTable())
    if (std::string(candidate.Name) == c.Row) row = &candidate;
  ASSERT_NE(row, nullptr) << c.Row;
  EXPECT_TRUE(Fills(row->Cause, LineAfter(r.Err, "\n  likely cause: "))) << Describe(r);
  // quillon-cli names its own options, not the window's settings.
  EXPECT_TRUE(Fills(row->Fix, LineAfter(r.Err, "\n  fix: "))) << Describe(r);
  EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 4) << Describe(r);
}

INSTANTIATE_TEST_SUITE_P(EveryRow, DiagnosisRows, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                           std::string n = info.param.Row;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

// The link's failures and the meter's refusals, each provoked for real: the
// same three lines follow the error.
struct TLinkCase {
  const char* Row;
  std::vector<std::string> Args;  // "{port}": the port of the case's peer
  std::string ErrorStart;          // the error line's beginning
  std::string What;
};

// Which peer a link case talks to.
enum class TPeer { Simulator, SilentSimulator, Closed, Backlogged, None };

const std::vector<std::pair<TPeer, TLinkCase>> kLinkCases = {
    {TPeer::Simulator,
     {"access-denied", {"--tcp", "127.0.0.1:{port}", "set", "1.0.1.8.0.255", "<DoubleLongUnsigned Value=\"00000001\" />"},
      "3/1.0.1.8.0.255/2: the meter refused the write (ReadWriteDenied)", "The meter does not let client 16 do this"}},
    {TPeer::Closed,
     {"connection-refused", {"--tcp", "127.0.0.1:{port}", "get", "1.0.1.8.0.255"}, "127.0.0.1:{port}: Connection refused",
      "Nothing accepts connections at 127.0.0.1:{port}"}},
    {TPeer::Backlogged,
     {"no-connection", {"--tcp", "127.0.0.1:{port}", "--connect-timeout", "300", "get", "1.0.1.8.0.255"},
      "127.0.0.1:{port}: Connect timed out", "No connection to 127.0.0.1:{port}"}},
    {TPeer::SilentSimulator,
     {"no-response", {"--tcp", "127.0.0.1:{port}", "--timeout", "300", "get", "1.0.1.8.0.255"}, "association: ",
      "The meter at 127.0.0.1:{port} did not answer within 300 ms"}},
    {TPeer::None,
     {"serial-port-unavailable", {"--serial", "/nonexistent/ttyQ9", "get", "1.0.1.8.0.255"}, "/nonexistent/ttyQ9: ",
      "The serial port /nonexistent/ttyQ9 cannot be opened"}},
};

std::string WithPort(std::string s, int port) {
  for (size_t at = s.find("{port}"); at != std::string::npos; at = s.find("{port}"))
    s.replace(at, 6, std::to_string(port));
  return s;
}

TEST(DiagnosisRows, LinkFailuresAndRefusalsExplained) {
  for (const auto& [peer, c] : kLinkCases) {
    SCOPED_TRACE(c.Row);
    std::unique_ptr<test::TSimProcess> meter;
    int port = 0, listener = -1, filler = -1;
    if (peer == TPeer::Simulator) meter = std::make_unique<test::TSimProcess>(std::vector<std::string>{"--port", "0"});
    if (peer == TPeer::SilentSimulator)
      meter = std::make_unique<test::TSimProcess>(std::vector<std::string>{"--port", "0", "--first-response-delay", "5000"});
    if (meter) port = meter->Port();
    if (peer == TPeer::Closed) port = test::ClosedPort();
    if (peer == TPeer::Backlogged) {
      // A listener that never accepts, its queue filled by one waiting
      // connection: the next handshake goes unanswered.
      listener = test::ListenOnLoopback(port, 0);
      filler = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    std::vector<std::string> args;
    for (const std::string& a : c.Args) args.push_back(WithPort(a, port));
    TTempDir home;
    const TRun r = RunCli(args, home.Path);
    for (int fd : {listener, filler})
      if (fd >= 0) ::close(fd);
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_EQ(r.Err.rfind("quillon-cli: " + WithPort(c.ErrorStart, port), 0), 0u) << Describe(r);
    EXPECT_TRUE(Has(r.Err, "\n  what happened: " + WithPort(c.What, port) + "\n")) << Describe(r);
    const client::TDiagnosisRow* row = nullptr;
    for (const auto& candidate : client::DiagnosisTable())
      if (std::string(candidate.Name) == c.Row) row = &candidate;
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(Fills(row->Cause, LineAfter(r.Err, "\n  likely cause: "))) << Describe(r);
    EXPECT_TRUE(Fills(row->Fix, LineAfter(r.Err, "\n  fix: "))) << Describe(r);
  }
}

TEST(DiagnosisRows, EveryRowOfTheTableIsProvoked) {
  for (const auto& row : client::DiagnosisTable()) {
    bool found = false;
    for (const auto& c : kCases) found = found || std::string(c.Row) == row.Name;
    for (const auto& c : kLinkCases) found = found || std::string(c.second.Row) == row.Name;
    // A meter that trickles its answer: Deadlines.AMeterThatTricklesFailsWithinTheTimeForAWholeAnswer.
    found = found || std::string(row.Name) == "answer-incomplete";
    EXPECT_TRUE(found) << row.Name;
  }
}

// The desktop window shows each row's fix in its own words: no option of
// quillon-cli nor its environment variables, and the particulars the
// command line's fix names (client, titles) named there as well.
TEST(DiagnosisRows, WindowFixNamesNoOptions) {
  for (const auto& row : client::DiagnosisTable()) {
    const std::string window = row.WindowText();
    EXPECT_FALSE(Has(window, "--")) << row.Name << ": " << window;
    EXPECT_FALSE(Has(window, "QUILLON_")) << row.Name << ": " << window;
    // Every placeholder is one that is filled in.
    EXPECT_FALSE(Has(client::GeneralText(window), "{")) << row.Name << ": " << window;
    for (const std::string& key : Placeholders(row.Fix)) EXPECT_TRUE(Has(window, key)) << row.Name << ": " << key;
  }
}

// Both wordings of the fix, filled from the same evidence.
TEST(DiagnosisRows, FixInBothWordings) {
  struct TCase {
    const char* EngineText;
    const char* Aare;  // the association response's elements
    const char* Fix;
    const char* WindowFix;
    bool Strict = false;
    const char* Quirks = "";
  };
  const TCase cases[] = {
      {"Association is not \"accepted\"",
       "  <AssociationResult Value=\"01\" />\n  <ResultSourceDiagnostic>\n    <ACSEServiceUser Value=\"0D\" />\n"
       "  </ResultSourceDiagnostic>\n",
       "check the secret (--password TEXT or --password-hex HEX, or QUILLON_PASSWORD / QUILLON_PASSWORD_HEX) and that "
       "client 17 is the one the meter assigns to it",
       "in Show → Settings..., check the secret in \"Low security PW\" or \"HLS secret\" (\"Hex\" ticked for a "
       "secret in hex digits) and that client 17 in \"Client\" under \"Addresses\" is the one the meter assigns to "
       "it"},
      {"The received system-title does not match the declared value",
       "  <RespondingAPTitle Value=\"5153494D000000FF\" />\n  <AssociationResult Value=\"00\" />\n",
       "use --server-system-title 5153494D000000FF if this is the meter you meant",
       "if this is the meter you meant, put 5153494D000000FF in \"Meter system title\" (Show → Settings...), or "
       "take it with the \"Use the meter's system title\" button the status bar offers"},
      // A fix that names nothing of either program reads the same in both.
      {"Invocation counter 1 of the response is not above the last one received (1)",
       "  <AssociationResult Value=\"00\" />\n",
       "if nothing sits between us and the meter, its owner should look at its security setup: a counter that does "
       "not rise lets anyone replay its answers",
       "if nothing sits between us and the meter, its owner should look at its security setup: a counter that does "
       "not rise lets anyone replay its answers"},
      // A deviation tolerated by default fails only when strict: dropping
      // strict cures it as well as the quirk.
      {"General-block-transfer received when not allowed by the conformance block", "  <AssociationResult Value=\"00\" />\n",
       "drop --strict or add --quirk blocks-without-bit (save-meter keeps it with the meter)",
       "in Show → Settings..., untick \"Strict: refuse meters' deviations\" or tick \"blocks-without-bit\" under "
       "\"Meter quirks\"",
       true},
      {"Unexpected pdu trailing data", "  <AssociationResult Value=\"00\" />\n",
       "add --quirk trailing-bytes (save-meter keeps it with the meter)",
       "in Show → Settings..., tick \"trailing-bytes\" under \"Meter quirks\"", true},
  };
  for (const TCase& c : cases) {
    client::TFailureEvidence e;
    e.Profile.ClientAddress = 17;
    e.Profile.Strict = c.Strict;
    e.Profile.Quirks = client::ParseQuirks(c.Quirks);
    e.EngineText = c.EngineText;
    e.Traffic = std::string("RESPONSE:\n<AssociationResponse>\n") + c.Aare + "</AssociationResponse>\n";
    const auto d = client::Diagnose(e);
    ASSERT_TRUE(d) << c.EngineText;
    EXPECT_EQ(d->Fix, c.Fix);
    EXPECT_EQ(d->WindowFix, c.WindowFix);
  }
}

// A meter that refuses the mechanism: the explanation names the one its
// association object for this client lists, read through the public client.
TEST(DiagnosisRows, MechanismNotSupportedNamesTheMetersMechanism) {
  test::TSimProcess meter({"--port", "0", "--association-objects"});
  TTempDir home;
  const TRun r = RunCli({"--tcp", "127.0.0.1:" + std::to_string(meter.Port()), "--client", "18", "--auth", "sha1",
                         "--password", "Quillon-HLS-secret", "get", "1.0.1.8.0.255"},
                        home.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  EXPECT_TRUE(Has(r.Err, "\n  likely cause: the meter expects another mechanism for this client (its associations list "
                         "md5 for client 18)\n"))
      << Describe(r);
  // Without association objects of other clients there is nothing to name.
  test::TSimProcess plain({"--port", "0"});
  const TRun without = RunCli({"--tcp", "127.0.0.1:" + std::to_string(plain.Port()), "--client", "18", "--auth", "sha1",
                               "--password", "Quillon-HLS-secret", "get", "1.0.1.8.0.255"},
                              home.Path);
  EXPECT_TRUE(Has(without.Err, "\n  likely cause: the meter expects another mechanism for this client\n"))
      << Describe(without);
}

// The texts a user reads, filled from what the meter said.
TEST(DiagnosisRows, CausesNameWhatTheMeterAnswered) {
  client::TFailureEvidence e;
  e.Profile.ClientAddress = 48;
  e.EngineText = "Unexpected application context name";
  e.Traffic =
      "RESPONSE:\n<AssociationResponse>\n  <ApplicationContextName Value=\"SN\" />\n"
      "  <AssociationResult Value=\"01\" />\n  <ResultSourceDiagnostic>\n    <ACSEServiceUser Value=\"02\" />\n"
      "  </ResultSourceDiagnostic>\n</AssociationResponse>\n";
  auto d = client::Diagnose(e);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->Cause, "logical vs short names, or ciphered vs plain: the meter answered with SN");

  client::TFailureEvidence ic;
  ic.Profile.ClientAddress = 32;
  ic.Profile.Policy = 3;
  ic.EngineText = "Unexpected response";
  ic.Traffic =
      "RESPONSE:\n<ExceptionResponse>\n  <StateError Value=\"ServiceNotAllowed\" />\n"
      "  <ServiceError Value=\"InvocationCounterError\" />\n</ExceptionResponse>\n";
  d = client::Diagnose(ic);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->Name, "invocation-counter");
  EXPECT_EQ(d->Cause, "the counter was replayed or is lower than the last one the meter accepted from client 32");

  // A silent meter is explained from the profile: where, how long.
  client::TFailureEvidence link;
  link.EngineText = "No response";
  link.Profile.Host = "10.0.0.7";
  link.Profile.Port = 4059;
  link.Profile.ResponseTimeout = 1500;
  d = client::Diagnose(link);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->Name, "no-response");
  EXPECT_EQ(d->What, "The meter at 10.0.0.7:4059 did not answer within 1500 ms");
  // A failure no row knows stays bare.
  link.EngineText = "Something else entirely";
  EXPECT_FALSE(client::Diagnose(link));
}

// ---------------------------------------------------------------- quirks

TRun GetEnergy(const test::TSimProcess& meter, const TTempDir& home, std::vector<std::string> options) {
  std::vector<std::string> args{"--tcp", "127.0.0.1:" + std::to_string(meter.Port()), "-v"};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {"--format", "json", "get", "1.0.1.8.0.255"});
  return RunCli(args, home.Path);
}

// A meter that takes HLS challenges of at most 16 bytes: our random length
// (8 to 64 bytes) is mostly refused, a fixed 16 always taken.
TEST(Quirks, ChallengeLength) {
  test::TSimProcess meter({"--port", "0", "--max-challenge", "16"});
  TTempDir home;
  const std::vector<std::string> md5{"--client", "18", "--auth", "md5", "--password", "Quillon-HLS-secret"};
  // A random length of 16 or less comes one time in six; six tries all
  // taken would mean the limit is not there.
  bool refused = false;
  for (int i = 0; i < 6 && !refused; ++i) {
    const TRun r = GetEnergy(meter, home, md5);
    refused = r.Status == 1 && Has(r.Err, "what happened: The meter rejected the association of client 18: "
                                          "authentication failure\n");
  }
  EXPECT_TRUE(refused);
  std::vector<std::string> withQuirk = md5;
  withQuirk.insert(withQuirk.end(), {"--quirk", "challenge-16"});
  for (int i = 0; i < 3; ++i) {
    const TRun r = GetEnergy(meter, home, withQuirk);
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_TRUE(Has(r.Err, "quirk challenge-16: HLS challenge of 16 bytes\n")) << Describe(r);
  }
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The command fails against the misbehaving meter without the quirk (with
// `refusal` as its first line, when given) and works with it, which says so
// in the log. The run with the quirk is returned.
TRun ExpectQuirkMakesItWork(const std::vector<std::string>& sim, const std::vector<std::string>& connection,
                            const std::vector<std::string>& command, const std::string& quirk,
                            const std::string& logLine, const std::string& refusal = std::string()) {
  std::vector<std::string> simArgs{"--port", "0"};
  simArgs.insert(simArgs.end(), sim.begin(), sim.end());
  test::TSimProcess meter(simArgs);
  TTempDir home;
  std::vector<std::string> args = connection;
  for (std::string& a : args)
    if (a == "PORT") a = "127.0.0.1:" + std::to_string(meter.Port());
  args.push_back("-v");
  std::vector<std::string> without = args;
  without.insert(without.end(), command.begin(), command.end());
  const TRun refused = RunCli(without, home.Path);
  EXPECT_EQ(refused.Status, 1) << Describe(refused);
  if (!refusal.empty()) {
    EXPECT_TRUE(Has(refused.Err, "\nquillon-cli: " + refusal + "\n")) << Describe(refused);
  }
  std::vector<std::string> with = args;
  with.insert(with.end(), {"--quirk", quirk});
  with.insert(with.end(), command.begin(), command.end());
  const TRun r = RunCli(with, home.Path);
  EXPECT_EQ(r.Status, 0) << Describe(r);
  EXPECT_TRUE(Has(r.Err, logLine + "\n")) << Describe(r);
  return r;
}

// A meter that sends the object list in blocks although its AARE granted
// no block transfer: general blocks answering the ACCESS request of logical
// names, data blocks answering the READ of short names. Taken by default and
// said once; refused when strict, with the explanation naming the quirk,
// which makes it work even then.
TEST(Quirks, BlocksWithoutTheirConformanceBit) {
  const struct {
    std::vector<std::string> Connection;
    const char* Form;
  } cases[] = {{{"--tcp", "PORT"}, "General-block-transfer"},
               // The short-name object list is shorter than the meter's PDU size.
               {{"--tcp", "PORT", "--sn", "--client", "48", "--quirk", "max-pdu=256"}, "Block-transfer-with-get"}};
  const client::TToleratedDeviation& blocks = client::ToleratedDeviations().at(0);
  ASSERT_EQ(std::string(blocks.Quirk), "blocks-without-bit");
  const std::string note = client::DeviationNote(blocks, false);
  EXPECT_EQ(note,
            "quirk blocks-without-bit: the meter answers in data blocks without granting block transfer in its "
            "conformance; tolerated (strict refuses it)");
  for (const auto& c : cases) {
    test::TSimProcess meter({"--port", "0", "--blocks-without-bit"});
    TTempDir home;
    std::vector<std::string> args = c.Connection;
    for (std::string& a : args)
      if (a == "PORT") a = "127.0.0.1:" + std::to_string(meter.Port());
    const std::string log = home.Path + "/traffic.log";
    std::vector<std::string> lenient = args;
    lenient.insert(lenient.end(), {"--log", log, "objects"});
    const TRun read = RunCli(lenient, home.Path);
    ASSERT_EQ(read.Status, 0) << Describe(read);
    EXPECT_EQ(Count(read.Err, "quillon-cli: " + note + "\n"), 1u) << Describe(read);
    EXPECT_EQ(Count(read.Err, "\n"), 1u) << Describe(read);
    EXPECT_EQ(Count(ReadFile(log), note), 1u) << ReadFile(log);
    EXPECT_EQ(Count(ReadFile(log), "when not allowed by the conformance block"), 0u) << ReadFile(log);
    EXPECT_GT(Count(read.Out, "\n"), 40u) << read.Out;
  }
  for (const auto& c : cases) {
    const std::string refusal = std::string(c.Form) + " received when not allowed by the conformance block";
    std::vector<std::string> strict = c.Connection;
    strict.push_back("--strict");
    const TRun r = ExpectQuirkMakesItWork({"--blocks-without-bit"}, strict, {"objects"}, "blocks-without-bit",
                                          client::DeviationNote(blocks, true), refusal);
    EXPECT_EQ(Count(r.Err, "in data blocks without granting block transfer"), 1u) << Describe(r);
    EXPECT_GT(Count(r.Out, "\n"), 40u) << r.Out;
  }
  // A meter list marks the meters to hold to what they grant: batch reads
  // the others, and explains the refusal as the command line does.
  {
    test::TSimProcess meter({"--port", "0", "--blocks-without-bit"});
    TTempDir home;
    const std::string address = "127.0.0.1:" + std::to_string(meter.Port());
    const std::string list = home.Path + "/meters.csv";
    std::ofstream(list) << "name,address,strict\nlenient," << address << ",\nheld," << address << ",1\n";
    const TRun batch = RunCli({"batch", "--list", list, "--jobs", "1", "--retries", "0", "get", "15/0.0.40.0.0.255/2"},
                              home.Path);
    EXPECT_EQ(batch.Status, 1) << Describe(batch);
    EXPECT_EQ(Count(batch.Out, "\"meter\":\"lenient\""), 1u) << batch.Out;
    EXPECT_TRUE(Has(batch.Out, "\"diagnosis\":\"meter-quirk\"")) << batch.Out;
    EXPECT_TRUE(Has(batch.Err, "failed: held: ")) << Describe(batch);
    EXPECT_TRUE(Has(batch.Err, "\n  fix: drop --strict or add --quirk blocks-without-bit")) << Describe(batch);
    EXPECT_FALSE(Has(batch.Err, "failed: lenient")) << Describe(batch);
  }
  // Strict and refused: the explanation names the quirk and strict.
  test::TSimProcess meter({"--port", "0", "--blocks-without-bit"});
  TTempDir home;
  const TRun refused = RunCli({"--tcp", "127.0.0.1:" + std::to_string(meter.Port()), "--strict", "objects"}, home.Path);
  EXPECT_EQ(refused.Status, 1) << Describe(refused);
  EXPECT_EQ(refused.Err,
            "quillon-cli: General-block-transfer received when not allowed by the conformance block\n"
            "  what happened: The meter answers in data blocks without granting block transfer in its conformance\n"
            "  likely cause: a deviation known from meters in the field, which the quirk blocks-without-bit lets pass\n"
            "  fix: drop --strict or add --quirk blocks-without-bit (save-meter keeps it with the meter)\n");
}

// A meter that pads what it ciphers: three bytes after every APDU.
TEST(Quirks, TrailingBytesAfterADecipheredApdu) {
  std::vector<std::string> connection{"--tcp", "PORT"};
  const std::vector<std::string> ciphered = Ciphered(32, kEK, kMeterTitle);
  connection.insert(connection.end(), ciphered.begin(), ciphered.end());
  const TRun r = ExpectQuirkMakesItWork({"--trailing-bytes", "3"}, connection, {"get", "1.0.1.8.0.255"}, "trailing-bytes",
                                        "3 bytes after the end of the deciphered APDU ignored",
                                        "association: Unexpected pdu trailing data");
  // Once for every ciphered answer, from the AARE's InitiateResponse on.
  EXPECT_EQ(Count(r.Err, "3 bytes after the end of the deciphered APDU ignored\n"), Count(r.Err, "\nDECRYPTION "))
      << Describe(r);
  EXPECT_GE(Count(r.Err, "\nDECRYPTION "), 2u) << Describe(r);
}

// A slow modem: the first answer of each link comes 1.5 s late.
TEST(Quirks, FirstResponseTimeout) {
  ExpectQuirkMakesItWork({"--first-response-delay", "1500"}, {"--tcp", "PORT", "--timeout", "400"},
                         {"get", "1.0.1.8.0.255"}, "first-response-timeout=6000",
                         "quirk first-response-timeout: 6000 ms until the association stands");
}

// A meter whose HDLC buffer is smaller than it says: the ciphered AARQ
// (over 64 bytes) is lost in one frame, and arrives in frames of 64.
TEST(Quirks, HdlcInformationFieldLength) {
  std::vector<std::string> connection{"--hdlc-tcp", "PORT", "--physical", "17", "--timeout", "1000"};
  const std::vector<std::string> ciphered = Ciphered(32, kEK, kMeterTitle);
  connection.insert(connection.end(), ciphered.begin(), ciphered.end());
  ExpectQuirkMakesItWork({"--profile", "hdlc-tcp", "--hdlc-info-limit", "64"}, connection, {"get", "1.0.1.8.0.255"},
                         "hdlc-info=64", "quirk hdlc-info: information field of 64 bytes");
}

// A meter that takes APDUs of at most 100 bytes while it announces 1024: a
// 200-byte value reaches it only in blocks of the size the quirk sets.
TEST(Quirks, MaxPduSize) {
  const std::string value = "<OctetString Value=\"" + std::string(400, 'A') + "\" />";
  ExpectQuirkMakesItWork({"--pdu-limit", "100"}, {"--tcp", "PORT"}, {"set", "8/0.0.1.0.0.255/5", value}, "max-pdu=100",
                         "quirk max-pdu: PDU size 100 instead of the 1024 the meter announced");
}

TEST(Quirks, NamesAndValuesAreChecked) {
  TTempDir home;
  const struct {
    const char* Quirk;
    const char* Err;
  } cases[] = {
      {"challenge-17",
       "quillon-cli: --quirk \"challenge-17\": expected one of challenge-16, challenge-32, max-pdu=N, hdlc-info=N, "
       "inter-frame-delay=MS, first-response-timeout=MS, no-rlrq, blocks-without-bit, trailing-bytes\n"},
      {"max-pdu=5", "quillon-cli: --quirk \"max-pdu=5\": expected max-pdu=N with N 12..65535\n"},
      {"hdlc-info=x", "quillon-cli: --quirk \"hdlc-info=x\": expected hdlc-info=N with N 32..2030\n"},
  };
  for (const auto& c : cases) {
    const TRun r = RunCli({"--tcp", "127.0.0.1:1", "--quirk", c.Quirk, "get", "1.0.1.8.0.255"}, home.Path);
    EXPECT_EQ(r.Status, 2) << c.Quirk;
    EXPECT_EQ(r.Err, c.Err);
  }
  // Kept with a named meter and read back.
  const TRun save = RunCli(
      {"--tcp", "127.0.0.1:1", "--quirk", "no-rlrq", "--quirk", "max-pdu=512", "--strict", "save-meter", "slow"},
      home.Path);
  ASSERT_EQ(save.Status, 0) << Describe(save);
  std::ifstream f(home.Path + "/quillon/meters.ini");
  std::stringstream ini;
  ini << f.rdbuf();
  EXPECT_TRUE(Has(ini.str(), "quirks=max-pdu=512,no-rlrq\n")) << ini.str();
  EXPECT_TRUE(Has(ini.str(), "strict=1\n")) << ini.str();
}

// A meter that has seen higher counters than ours refuses our counter, in
// the association or in the first request after it, until the counter is
// read from the meter first.
TEST(InvocationCounter, AutoGoesOnFromTheMetersCounter) {
  const struct {
    std::vector<std::string> Meter;
    const char* Refusal;  // the first two lines of the refused run
  } kMeters[] = {
      {{"--invocation-counter", "100000"},
       "quillon-cli: association: Association is not \"accepted\"\n  what happened: The meter rejected the ciphered "
       "association of client 32 without giving a reason\n"},
      {{"--invocation-counter", "100000", "--aarq-counter-unchecked"},
       "quillon-cli: Unexpected response\n  what happened: The meter refused our "
       "invocation counter\n"},
  };
  for (const auto& m : kMeters) {
    std::vector<std::string> sim{"--port", "0"};
    sim.insert(sim.end(), m.Meter.begin(), m.Meter.end());
    test::TSimProcess meter(sim);
    TTempDir home;
    const std::vector<std::string> args = Ciphered(32, kEK, kMeterTitle);
    const TRun refused = GetEnergy(meter, home, WithCounter(args, "5000"));
    EXPECT_EQ(refused.Status, 1) << Describe(refused);
    EXPECT_TRUE(Has(refused.Err, m.Refusal)) << Describe(refused);
    const TRun r = GetEnergy(meter, home, WithCounter(args, "auto"));
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_TRUE(Has(r.Err, "invocation counter 99999 read from the meter: starting at 100000\n")) << Describe(r);
    EXPECT_TRUE(Has(r.Out, "\"value\": 1234567")) << r.Out;
  }
}

// The README's section is the table itself.
TEST(DiagnosisRows, ReadmeCarriesTheTable) {
  const char* source = std::getenv("QUILLON_SOURCE_DIR");
  ASSERT_NE(source, nullptr) << "run through ctest, which sets QUILLON_SOURCE_DIR";
  std::ifstream f(std::string(source) + "/README.md");
  std::stringstream readme;
  readme << f.rdbuf();
  EXPECT_TRUE(Has(readme.str(), "## When it does not connect"));
  EXPECT_TRUE(Has(readme.str(), client::DiagnosisMarkdown()));
}

}  // namespace
