// Invocation counters seen from the meter's side: whatever runs at once
// (processes, shards, the listener) and however a run ends (a kill), the
// simulator, which records every counter it receives, never gets the same
// counter twice from a client, and every run is accepted.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "CliProcess.h"
#include "SimProcess.h"
#include "client/FileLock.h"
#include "client/InvocationCounters.h"
#include "xmlpdu/infra/Errors.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// The simulated meter's keys and system title, as a ciphered client needs them.
const std::vector<std::string> kKeys = {"QUILLON_EK=000102030405060708090A0B0C0D0E0F",
                                        "QUILLON_AK=D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF",
                                        "QUILLON_KEK=101112131415161718191A1B1C1D1E1F",
                                        "QUILLON_SERVER_SYSTEM_TITLE=5153494D00000001"};

// Every "METER client C counter N" line of the simulator's record: the
// counters of each (meter, client) in the order received.
std::map<std::string, std::vector<uint32_t>> ReceivedCounters(const std::string& log) {
  std::map<std::string, std::vector<uint32_t>> out;
  std::istringstream in(ReadFile(log));
  std::string meter, clientWord, counterWord;
  int client = 0;
  uint32_t counter = 0;
  while (in >> meter >> clientWord >> client >> counterWord >> counter)
    out[meter + " client " + std::to_string(client)].push_back(counter);
  return out;
}

// No counter received twice by any meter from any client; the number of
// counters received in all.
size_t ExpectNoCounterTwice(const std::string& log) {
  size_t total = 0;
  for (const auto& [who, counters] : ReceivedCounters(log)) {
    std::set<uint32_t> seen;
    for (uint32_t c : counters) EXPECT_TRUE(seen.insert(c).second) << who << ": counter " << c << " received twice";
    total += counters.size();
  }
  return total;
}


// The single simulated meter, recording the counters it receives, and the
// options of its ciphered client (33: GMAC, authenticated and encrypted).
struct TCipheredMeter {
  explicit TCipheredMeter(const std::string& dir)
      : Log(dir + "/received.log"), Sim({"--port", "0", "--counter-log", dir + "/received.log"}) {}
  std::vector<std::string> Args(std::vector<std::string> command) const {
    std::vector<std::string> a{"--tcp", Format("127.0.0.1:%d", Sim.Port()), "--client", "33", "--auth", "gmac",
                               "--security", "auth-enc"};
    a.insert(a.end(), command.begin(), command.end());
    return a;
  }
  std::string Log;
  TSimProcess Sim;
};

std::vector<TRun> RunAtOnce(int processes, const std::vector<std::string>& args, const std::string& home,
                            const std::vector<std::string>& env = kKeys) {
  std::vector<TRun> runs(static_cast<size_t>(processes));
  std::vector<std::thread> threads;
  for (int k = 0; k < processes; ++k)
    threads.emplace_back([&, k] { runs[static_cast<size_t>(k)] = RunCli(args, home, env); });
  for (auto& t : threads) t.join();
  return runs;
}

}  // namespace

TEST(Counters, ProcessesAtOnceForOneMeterNeverSendACounterTwiceAndAllSucceed) {
  TTempDir home;
  TCipheredMeter meter(home.Path);
  for (const auto& [processes, rounds] : {std::pair{2, 5}, std::pair{8, 3}}) {
    for (int round = 0; round < rounds; ++round)
      for (const TRun& r : RunAtOnce(processes, meter.Args({"get", "1.0.1.8.0.255"}), home.Path)) {
        ASSERT_EQ(r.Status, 0) << processes << " at once, round " << round << ": " << Describe(r);
        EXPECT_NE(r.Out.find("1234567"), std::string::npos) << r.Out;
      }
  }
  // Each run sends several ciphered messages (association, get, release).
  EXPECT_GE(ExpectNoCounterTwice(meter.Log), static_cast<size_t>(2 * 5 + 8 * 3) * 2);
}

TEST(Counters, AKilledDumpWastesItsBlockAndTheNextRunReusesNothing) {
  TTempDir home;
  TCipheredMeter meter(home.Path);
  {
    TCliProcess dump(meter.Args({"dump"}), home.Path, kKeys);
    // Killed in the middle: some counters on the wire, the session not released.
    for (int waited = 0; waited < 20000 && ReceivedCounters(meter.Log)["meter client 33"].size() < 15; waited += 5)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(dump.Running()) << "the dump ended before it could be killed";
    dump.Kill();
  }
  const size_t before = ReceivedCounters(meter.Log)["meter client 33"].size();
  ASSERT_GE(before, 15u);
  for (int k = 0; k < 2; ++k) {
    const TRun r = RunCli(meter.Args({"get", "1.0.1.8.0.255"}), home.Path, kKeys);
    ASSERT_EQ(r.Status, 0) << Describe(r);
  }
  EXPECT_GT(ReceivedCounters(meter.Log)["meter client 33"].size(), before);
  ExpectNoCounterTwice(meter.Log);
}

TEST(Counters, ACountersFileThatCannotBeWrittenStopsTheSessionBeforeAnythingIsSent) {
  TTempDir home;
  TCipheredMeter meter(home.Path);
  const std::string file = home.Path + "/.local/share/quillon/invocation-counters.ini";
  client::MakeFolders(file);  // a folder where the file should be
  const TRun r = RunCli(meter.Args({"get", "1.0.1.8.0.255"}), home.Path, kKeys);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  EXPECT_EQ(r.Err, "quillon-cli: invocation counter: file \"" + file + "\": cannot be written (Is a directory)\n");
  EXPECT_TRUE(ReceivedCounters(meter.Log).empty()) << ReadFile(meter.Log);

  // A counter the caller gives is used all the same, and said not to be kept.
  const TRun given = RunCli(meter.Args({"--ic", "500", "get", "1.0.1.8.0.255"}), home.Path, kKeys);
  EXPECT_EQ(given.Status, 0) << Describe(given);
  EXPECT_NE(given.Err.find("quillon-cli: invocation counter 500 is not kept: file \"" + file +
                           "\": cannot be written (Is a directory)\n"),
            std::string::npos)
      << given.Err;
  EXPECT_EQ(ReceivedCounters(meter.Log)["meter client 33"].front(), 500u);
}

// A nonce is the key, the client's system title and the counter: two
// meters under one key (fleets share keys) must never receive the same
// counter, however their sessions alternate.
TEST(Counters, TwoMetersUnderOneKeyNeverReceiveTheSameCounter) {
  TTempDir home;
  const char* source = std::getenv("QUILLON_SOURCE_DIR");
  ASSERT_NE(source, nullptr) << "run through ctest, which sets QUILLON_SOURCE_DIR";
  const std::string model = ReadFile(std::string(source) + "/data/sim/meter.txt");
  ASSERT_FALSE(model.empty());
  // The second meter: the same keys, a system title of its own.
  WriteText(home.Path + "/second.txt", model + "\nsecurity title=5153494D00000002\n");
  const std::string firstLog = home.Path + "/first.log", secondLog = home.Path + "/second.log";
  TSimProcess first({"--port", "0", "--counter-log", firstLog});
  TSimProcess second({"--port", "0", "--model", home.Path + "/second.txt", "--counter-log", secondLog});
  auto keysOf = [](const std::string& title) {
    std::vector<std::string> env(kKeys.begin(), kKeys.end() - 1);
    env.push_back("QUILLON_SERVER_SYSTEM_TITLE=" + title);
    return env;
  };
  for (int round = 0; round < 3; ++round)
    for (const auto& [sim, title] : {std::pair{&first, "5153494D00000001"}, std::pair{&second, "5153494D00000002"}}) {
      const TRun r = RunCli({"--tcp", Format("127.0.0.1:%d", sim->Port()), "--client", "33", "--auth", "gmac",
                             "--security", "auth-enc", "get", "1.0.1.8.0.255"},
                            home.Path, keysOf(title));
      ASSERT_EQ(r.Status, 0) << title << ", round " << round << ": " << Describe(r);
    }
  // The maps are kept: a loop over an element of a temporary map would read
  // freed memory.
  auto firstLogCounters = ReceivedCounters(firstLog), secondLogCounters = ReceivedCounters(secondLog);
  const std::set<uint32_t> firstCounters(firstLogCounters["meter client 33"].begin(),
                                         firstLogCounters["meter client 33"].end());
  const std::vector<uint32_t> secondCounters = secondLogCounters["meter client 33"];
  ASSERT_FALSE(firstCounters.empty());
  ASSERT_FALSE(secondCounters.empty());
  for (uint32_t c : secondCounters) EXPECT_EQ(firstCounters.count(c), 0u) << "counter " << c << " went to both meters";
  ExpectNoCounterTwice(firstLog);
  ExpectNoCounterTwice(secondLog);
}

// A counters file that does not verify stops the session before anything
// is sent, even one that was given its counter: which counters other
// meters under the key took is no longer known.
TEST(Counters, ADamagedCountersFileStopsEvenAGivenCounter) {
  TTempDir home;
  TCipheredMeter meter(home.Path);
  ASSERT_EQ(RunCli(meter.Args({"get", "1.0.1.8.0.255"}), home.Path, kKeys).Status, 0);
  const std::string file = home.Path + "/.local/share/quillon/invocation-counters.ini";
  std::string text = ReadFile(file);
  const size_t next = text.find("next=");
  ASSERT_NE(next, std::string::npos) << text;
  text.insert(next + 5, "1");
  WriteText(file, text);
  const size_t before = ReceivedCounters(meter.Log)["meter client 33"].size();
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"get", "1.0.1.8.0.255"}, std::vector<std::string>{"--ic", "90000", "get", "1.0.1.8.0.255"}}) {
    const TRun r = RunCli(meter.Args(command), home.Path, kKeys);
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_EQ(r.Err, "quillon-cli: invocation counter: file \"" + file +
                         "\": damaged: the checksum does not verify; no ciphered session runs until it is repaired\n");
  }
  EXPECT_EQ(ReceivedCounters(meter.Log)["meter client 33"].size(), before);
  EXPECT_EQ(ReadFile(file), text) << "a damaged file was rewritten";
}

TEST(Counters, ASecondSessionWaitsForTheMeterThenNamesWhoHoldsIt) {
  TTempDir home;
  TCipheredMeter meter(home.Path);
  client::TMeterProfile p;
  p.Host = "127.0.0.1";
  p.Port = meter.Sim.Port();
  p.ClientAddress = 33;
  p.ServerSystemTitle = std::string("QSIM\0\0\0\1", 8);
  const client::TInvocationCounterFile file(home.Path + "/.local/share/quillon/invocation-counters.ini");
  {
    // Another session of this meter and client holds it.
    client::TFileLock held(file.SessionLockPath(p), 0);
    held.WriteOwner();
    const TRun r = RunCli(meter.Args({"--connect-timeout", "300", "get", "1.0.1.8.0.255"}), home.Path, kKeys);
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_EQ(r.Err, Format("quillon-cli: meter 127.0.0.1:%d, client 33: another session (process %d) holds it\n",
                            meter.Sim.Port(), static_cast<int>(::getpid())));
    EXPECT_TRUE(ReceivedCounters(meter.Log).empty());
  }
  // Once it is free, the next session runs.
  const TRun r = RunCli(meter.Args({"get", "1.0.1.8.0.255"}), home.Path, kKeys);
  EXPECT_EQ(r.Status, 0) << Describe(r);
}

namespace {


// A whole batch of the fleet: every meter read, none failed.
void ExpectWholeBatchReads(const std::string& list, int meters, const std::string& home) {
  const TRun r = RunCli({"batch", "--list", list, "--jobs", "8", "get", "1.0.1.8.0.255"}, home);
  EXPECT_EQ(r.Status, 0) << Describe(r);
  EXPECT_NE(r.Err.find(Format("%d meters: %d read, 0 failed, 0 not started", meters, meters)), std::string::npos) << r.Err;
}

}  // namespace

TEST(Counters, TheListenerReadingThirtyCipheredMetersLeavesEveryCounterForTheNextBatch) {
  TTempDir home;
  const std::string list = home.Path + "/fleet.csv", received = home.Path + "/received.log";
  const int port = ClosedPort();
  WriteText(list, "an older list, readable by all\n");
  ::chmod(list.c_str(), 0644);
  TSimProcess fleet({"--fleet", "30", "--port", "0", "--fleet-list", list, "--fleet-client", "33", "--counter-log",
                     received, "--push", Format("127.0.0.1:%d", port), "--every", "0.5", "--push-security", "glo"});
  // The list describes the ciphered client whole: the listener and the
  // batch read with it as written.
  EXPECT_EQ(ReadFile(list).substr(0, ReadFile(list).find('\r')),
            "name,transport,address,client,server,physical,serial,server-system-title,ek,ak,logical-device-name,kek,"
            "auth,password-hex,security,suite,push-security");
  EXPECT_NE(ReadFile(list).find(",33,1,,60000001,5153494D00000001,"), std::string::npos) << ReadFile(list);
  EXPECT_NE(ReadFile(list).find(",gmac,,auth-enc,0,auth-enc\r\n"), std::string::npos) << ReadFile(list);
  struct stat st {};
  ASSERT_EQ(::stat(list.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the list holds every meter's keys";
  const TRun r = RunCli({"listen", "--address", "127.0.0.1", "--port", std::to_string(port), "--for", "4", "--list",
                         list, "--objects-from-meter"},
                        home.Path);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_EQ(r.Err.find("push object list not read"), std::string::npos) << r.Err;
  EXPECT_GE(ReceivedCounters(received).size(), 30u) << "every meter's push object list read with client 33";
  ExpectWholeBatchReads(list, 30, home.Path);
  ExpectNoCounterTwice(received);
}

TEST(Counters, FourShardsAtOnceRoundAfterRoundThenAWholeBatch) {
  TTempDir home;
  const std::string list = home.Path + "/fleet.csv", received = home.Path + "/received.log";
  TSimProcess fleet({"--fleet", "40", "--port", "0", "--fleet-list", list, "--fleet-client", "33", "--counter-log",
                     received});
  for (int round = 0; round < 3; ++round) {
    std::vector<TRun> runs(4);
    std::vector<std::thread> shards;
    for (int i = 0; i < 4; ++i)
      shards.emplace_back([&, i] {
        runs[static_cast<size_t>(i)] = RunCli(
            {"batch", "--list", list, "--shard", Format("%d/4", i), "--jobs", "4", "get", "1.0.1.8.0.255"}, home.Path);
      });
    for (auto& t : shards) t.join();
    for (const TRun& r : runs) ASSERT_EQ(r.Status, 0) << "round " << round << ": " << Describe(r);
  }
  ExpectWholeBatchReads(list, 40, home.Path);
  EXPECT_EQ(ReceivedCounters(received).size(), 40u);
  ExpectNoCounterTwice(received);
}
