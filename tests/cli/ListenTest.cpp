// quillon-cli listen: what meters push, against the fleet simulator and
// against what an attacker sends (forged and replayed pushes, idle and
// half-sent connections, junk datagrams, a locked database); and its
// pieces: the decoder, the HDLC reader, the push object list, the writer.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "CliProcess.h"
#include "FleetSupport.h"
#include "SimProcess.h"
#include "client/Batch.h"
#include "client/SqliteStore.h"
#include "security/GCMCipher.h"
#include "tools/cli/Listen.h"
#include "tools/meter-sim/SimFleet.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using namespace quillon::client;
using namespace quillon::test;
using nlohmann::json;

namespace {

// ---------------------------------------------------------------- messages made by hand

PduStr U32(uint32_t v) {
  PduStr s;
  for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>(v >> shift);
  return s;
}
PduStr Octets(const std::string& s) { return '\x09' + PduStr(1, static_cast<char>(s.size())) + s; }
// A data notification (no time) whose body is the Data bytes given.
PduStr Notification(uint32_t id, const PduStr& body) { return '\x0F' + U32(id) + '\x00' + body; }
PduStr Structure(const std::vector<PduStr>& items) {
  PduStr s = "\x02" + PduStr(1, static_cast<char>(items.size()));
  for (const auto& i : items) s += i;
  return s;
}
// A general-glo-ciphering (or, with tag 0xDC, general-ded-ciphering) APDU
// around a ciphered content.
PduStr CipheredApdu(const std::string& title, const PduStr& content, char tag = '\xDB') {
  PduStr out(1, tag);
  EncodeVarLengthUnsignedInteger(out, static_cast<int32_t>(title.size()));
  out += title;
  EncodeVarLengthUnsignedInteger(out, static_cast<int32_t>(content.size()));
  return out + content;
}
// `apdu` under the security control byte `sc`: as the cipher makes it when
// sc asks for protection, else (what a forger sends) the byte, the counter
// and the APDU as they are.
PduStr Protected(const std::string& title, uint8_t sc, uint32_t counter, const PduStr& apdu, const PduStr& ek,
                 const PduStr& ak, char tag = '\xDB') {
  if ((sc & 0x30) == 0) return CipheredApdu(title, PduStr(1, static_cast<char>(sc)) + U32(counter) + apdu, tag);
  TSecurityControl c = TSecurityControl::FromByte(sc);
  return CipheredApdu(title, TGCMCipher::GCMEncrypt(title, apdu, ek, ak, c, counter, PduStr()), tag);
}

// What an attacker makes of a captured ciphered push without the keys: the
// security control byte says encryption only, the tag is cut off, a bit of
// the ciphertext flipped (the content's length below 128).
PduStr EncryptionOnlyForgery(PduStr captured) {
  const size_t at = 11;  // tag, title length, title, content length
  captured.resize(captured.size() - 12);
  captured[at] = 0x20;
  captured[at - 1] = static_cast<char>(captured.size() - at);
  captured[captured.size() - 3] ^= 0x01;
  return captured;
}

// Meter n of the simulated fleet as a list row: its keys, its names.
std::string FleetRow(int n, const std::string& pushSecurity, const std::string& host = "10.0.0.1") {
  const auto id = sim::FleetIdentity(n);
  return Format("sim-%04d,%s:4059,%s,%s,%s,%s,%s,%s\r\n", n, host.c_str(), id.SystemTitleHex.c_str(),
                sim::FleetKeyHex("000102030405060708090A0B0C0D0E0F", n).c_str(),
                sim::FleetKeyHex("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF", n).c_str(), id.LogicalDeviceName.c_str(),
                id.Serial.c_str(), pushSecurity.c_str());
}
constexpr const char* kFleetHeader = "name,address,server-system-title,ek,ak,logical-device-name,serial,push-security\r\n";

// What the decoder makes of a message: "meter <name>[ unknown][ counter N]",
// or the error's text.
std::string Outcome(cli::TPushDecoder& d, const PduStr& apdu, std::string& title, const std::string& host = "") {
  try {
    const cli::TPushed p = d.Decode(apdu, title, host);
    return "meter " + p.Meter + (p.Unknown ? " unknown" : "") +
           (p.InvocationCounter >= 0 ? Format(" counter %lld", static_cast<long long>(p.InvocationCounter)) : "");
  } catch (const std::exception& e) {
    return e.what();
  }
}

// ---------------------------------------------------------------- the decoder

TEST(ListenDecoder, LessProtectionThanTheMeterRequiresIsRefusedAndMovesNothing) {
  // sim-0001 states nothing: its authentication key makes authentication
  // required. The others state what they require.
  const auto meters = MetersOfCsv(std::string(kFleetHeader) + FleetRow(1, "") + FleetRow(2, "auth-enc") +
                                  FleetRow(3, "enc") + FleetRow(4, "none"));
  cli::TPushDecoder d(meters, {});
  auto keys = [&](int n) { return std::make_pair(meters[n - 1].Profile.EK, meters[n - 1].Profile.AK); };
  auto push = [&](int n, uint8_t sc, uint32_t counter, uint32_t value = 1000) {
    const auto [ek, ak] = keys(n);
    const auto id = sim::FleetIdentity(n);
    return Protected(meters[n - 1].Profile.ServerSystemTitle, sc, counter,
                     Notification(counter, Structure({Octets(id.LogicalDeviceName), '\x06' + U32(value)})), ek, ak);
  };
  // A captured push of sim-0001 made encryption-only, its tag cut off and a
  // bit of its ciphertext flipped: what an attacker can do without the keys.
  const PduStr captured = EncryptionOnlyForgery(push(1, 0x30, 1));
  const struct {
    PduStr Apdu;
    std::string Outcome;
  } cases[] = {
      {push(1, 0x00, 0xFFFFFFF0, 999999999), "sim-0001: requires auth, the message has none; refused"},
      {captured, "sim-0001: requires auth, the message has enc; refused"},
      {Notification(7, Structure({Octets("QSM0000000001"), '\x06' + U32(999999999)})),
       "sim-0001: requires auth, the message has none; refused"},
      {push(1, 0x30, 1), "meter sim-0001 counter 1"},
      {push(1, 0x10, 2), "meter sim-0001 counter 2"},
      {push(2, 0x10, 1), "sim-0002: requires auth-enc, the message has auth; refused"},
      {push(2, 0x20, 1), "sim-0002: requires auth-enc, the message has enc; refused"},
      {push(2, 0x30, 1), "meter sim-0002 counter 1"},
      // Encryption alone proves nothing of the counter: it is never kept.
      {push(3, 0x20, 0xFFFFFFF0), "meter sim-0003"},
      {push(3, 0x30, 5), "meter sim-0003 counter 5"},
      {push(3, 0x00, 6), "sim-0003: requires enc, the message has none; refused"},
      {Notification(8, Structure({Octets("QSM0000000004"), '\x06' + U32(4)})), "meter sim-0004"},
      {push(4, 0x00, 9), "meter sim-0004"},
      // A dedicated key belongs to an association; a push has none.
      {Protected(meters[0].Profile.ServerSystemTitle, 0x30, 3, Notification(3, '\x06' + U32(1)), keys(1).first,
                 keys(1).second, '\xDC'),
       "sim-0001: general-ded-ciphering refused (its dedicated key belongs to an association, and a push comes "
       "outside one)"},
      // The forgeries moved no counter: the meter's next pushes are taken.
      {push(1, 0x30, 3), "meter sim-0001 counter 3"},
      {push(3, 0x30, 6), "meter sim-0003 counter 6"},
  };
  for (const auto& c : cases) {
    std::string title;
    EXPECT_EQ(Outcome(d, c.Apdu, title), c.Outcome);
  }
}

// "security" is how sessions read a meter; what its pushes must carry is
// "push-security", else authentication when its entry has the key for it.
TEST(ListenDecoder, PushProtectionIsStatedApartFromHowSessionsRead) {
  const std::string ek = "000102030405060708090A0B0C0D0E0F", ak = "D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF";
  const auto meters = MetersOfCsv("name,address,security,ek,ak,push-security\r\n"
                                  "public,10.0.0.1:4059,none," + ek + "," + ak + ",\r\n"
                                  "ciphered,10.0.0.2:4059,auth-enc," + ek + "," + ak + ",\r\n"
                                  "plain-pushes,10.0.0.3:4059,auth-enc," + ek + "," + ak + ",none\r\n"
                                  "enc-key,10.0.0.4:4059,none," + ek + ",,\r\n"
                                  "no-keys,10.0.0.5:4059,none,,,\r\n"
                                  "stated,10.0.0.6:4059,none,,,auth-enc\r\n"
                                  "bad,10.0.0.7:4059,none,,,sometimes\r\n");
  ASSERT_EQ(meters.size(), 7u);
  const int required[] = {cli::kProtectAuth, cli::kProtectAuth, 0, cli::kProtectEnc, 0, 3};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(cli::RequiredProtection(meters[i]), required[i]) << meters[i].Name;
  EXPECT_NE(meters[6].ConfigError.find("push-security"), std::string::npos) << meters[6].ConfigError;
  EXPECT_EQ(meters[6].Column, "push-security");
  // A plain push from the address of the meter read by the public client:
  // anyone could have sent it, and its entry has the keys to do better.
  cli::TPushDecoder d(meters, {});
  const PduStr plain = Notification(1, '\x06' + U32(999999999));
  std::string title;
  EXPECT_EQ(Outcome(d, plain, title, "10.0.0.1"), "public: requires auth, the message has none; refused");
  EXPECT_EQ(Outcome(d, plain, title, "10.0.0.3"), "meter plain-pushes");
}

TEST(ListenDecoder, EveryPushIsKnownByTheNameItCarriesAndNeverStoredAsAnotherMeter) {
  // a and b share an address (a NAT); c is alone on its own; sim-0004 ciphers.
  const auto meters = MetersOfCsv(std::string(kFleetHeader) +
                                  "a,10.0.0.9:4059,,,,QSM0000000101,,none\r\n"
                                  "b,10.0.0.9:4060,,,,,60000102,none\r\n"
                                  "c,10.0.0.5:4059,,,,,,none\r\n" +
                                  FleetRow(4, "auth-enc"));
  ASSERT_EQ(meters[3].LogicalDeviceName, "QSM0000000004");
  const PduStr ek = meters[3].Profile.EK, ak = meters[3].Profile.AK, title4 = meters[3].Profile.ServerSystemTitle;
  auto named = [](const std::string& name) { return Notification(1, Structure({Octets(name), '\x06' + U32(5)})); };
  const PduStr anonymous = Notification(1, Structure({'\x06' + U32(5), Octets("QSM0000000101")}));
  const struct {
    PduStr Apdu;
    std::string Host, SenderTitle, Outcome;
  } cases[] = {
      {named("QSM0000000101"), "10.0.0.9", "", "meter a"},
      {named("QSM0000000101"), "10.0.0.5", "", "meter a"},
      // By its serial number: as the name is, or after a manufacturer's mark.
      {named("60000102"), "10.0.0.9", "", "meter b"},
      {named("QSM0060000102"), "10.0.0.9", "", "meter b"},
      // A name no meter has: stored under that name, marked, not as c.
      {named("QSM0000000099"), "10.0.0.5", "", "meter QSM0000000099 unknown"},
      {named(std::string("\x01\xFF", 2)), "10.0.0.5", "", "meter 01FF unknown"},
      // No name where the name goes: the address decides when it is one meter's.
      {anonymous, "10.0.0.5", "", "meter c"},
      {anonymous, "10.0.0.9", "", "meter  unknown"},
      // A connection whose meter is sim-0004 (by its keys) sends a plain
      // message: sim-0004 requires protection.
      {anonymous, "10.0.0.7", title4, "sim-0004: requires auth-enc, the message has none; refused"},
      // The keys of sim-0004 with another meter's name inside: refused.
      {Protected(title4, 0x30, 1, named("QSM0000000101"), ek, ak), "10.0.0.7", "",
       "sim-0004: the message carries logical device name QSM0000000101, which is not this meter's; refused"},
      {Protected(title4, 0x30, 2, named("QSM0000000004"), ek, ak), "10.0.0.7", "", "meter sim-0004 counter 2"},
  };
  cli::TPushDecoder d(meters, {});
  for (const auto& c : cases) {
    std::string title = c.SenderTitle;
    EXPECT_EQ(Outcome(d, c.Apdu, title, c.Host), c.Outcome) << c.Host;
  }
  // With --push-objects the name is where the list says.
  cli::TPushDecoder listed(meters, {ParseObjectRef("3/1.0.1.8.0.255/2"), ParseObjectRef("1/0.0.42.0.0.255/2")});
  std::string title;
  EXPECT_EQ(Outcome(listed, anonymous, title, "10.0.0.5"), "meter a");
  EXPECT_EQ(Outcome(listed, named("QSM0000000101"), title, "10.0.0.5"), "meter c");
}

TEST(ListenDecoder, AReplayDoesNotMakeItsMeterTheConnectionsForAPlainMessage) {
  const auto meters = MetersOfCsv(std::string(kFleetHeader) + FleetRow(2, ""));
  const PduStr ek = meters[0].Profile.EK, ak = meters[0].Profile.AK, title2 = meters[0].Profile.ServerSystemTitle;
  cli::TPushDecoder d(meters, {});
  const PduStr genuine = Protected(title2, 0x30, 1, Notification(1, '\x06' + U32(1)), ek, ak);
  // A plain message that names no meter, from an address no meter has.
  const PduStr plain = Notification(9, '\x06' + U32(999));
  std::string first, second;
  EXPECT_EQ(Outcome(d, genuine, first), "meter sim-0002 counter 1");
  EXPECT_EQ(first, title2);
  // On another connection: the replay is dropped and leaves it without a meter.
  EXPECT_EQ(Outcome(d, genuine, second), "sim-0002: invocation counter 1 replayed (last 1), dropped");
  EXPECT_EQ(second, "");
  EXPECT_EQ(Outcome(d, plain, second), "meter  unknown");
  // The same goes for one refused for its protection and one that does not decipher.
  PduStr forged = Protected(title2, 0x30, 2, Notification(2, '\x06' + U32(1)), ek, ak);
  forged.back() ^= 1;
  for (const PduStr& bad : {Protected(title2, 0x00, 2, Notification(2, '\x06' + U32(1)), ek, ak), forged}) {
    std::string t;
    Outcome(d, bad, t);
    EXPECT_EQ(t, "");
  }
}

TEST(ListenWriter, AFullQueueLosesWhatItCannotHoldAndALockedDatabaseIsWaitedFor) {
  TTempDir dir;
  const std::string path = dir.Path + "/n.db";
  TSqliteStore db(path);
  TSqliteStore other(path);
  ASSERT_EQ(sqlite3_exec(other.Handle(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::vector<std::string> said;
  std::mutex lock;
  {
    cli::TNotificationWriter w(db, 3);
    w.OnError = [&](const std::string& s) {
      std::lock_guard<std::mutex> l(lock);
      said.push_back(s);
    };
    std::vector<bool> taken;
    for (int i = 0; i < 5; ++i)
      taken.push_back(w.Push(TNotification{"m", 1, i < 2 ? i : 1, "data-notification", "{}", false}));
    EXPECT_EQ(taken, (std::vector<bool>{true, true, true, false, false}));
    ASSERT_TRUE(Eventually([&] { return w.Counts().Retries >= 2; }));
    ASSERT_EQ(sqlite3_exec(other.Handle(), "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    w.Finish(std::chrono::seconds(20));
    const auto c = w.Counts();
    EXPECT_EQ(c.Stored, 2u);
    EXPECT_EQ(c.Duplicates, 1u);
    EXPECT_EQ(c.Lost, 2u);
  }
  EXPECT_EQ(db.Count("notifications"), 2);
  ASSERT_EQ(said.size(), 3u);
  EXPECT_EQ(said[0], "readings database: database is locked; 3 notifications held, trying again");
  EXPECT_EQ(said[1], "readings database takes notifications again");
  EXPECT_EQ(said[2], "m: invocation counter 1 already stored, dropped");
  // Out of patience (Ctrl-C): what the locked database has not taken is lost, counted.
  ASSERT_EQ(sqlite3_exec(other.Handle(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  cli::TNotificationWriter w(db, 10);
  for (int i = 10; i < 14; ++i) w.Push(TNotification{"m", 1, i, "data-notification", "{}", false});
  w.Finish(std::chrono::milliseconds(0));
  EXPECT_EQ(w.Counts().Lost, 4u);
  EXPECT_EQ(w.Counts().Stored, 0u);
  ASSERT_EQ(sqlite3_exec(other.Handle(), "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
}

TEST(ListenDatabase, FilesFromBeforeTheUnknownMarkAreUpgradedAndMerged) {
  TTempDir dir;
  // Two files as listeners made them before: one opened again, one merged.
  for (const char* name : {"/old.db", "/source.db"}) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir.Path + name).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE notifications (meter TEXT NOT NULL, received_at INTEGER NOT NULL, "
                           "invocation_counter INTEGER, kind TEXT NOT NULL, body TEXT NOT NULL, "
                           "UNIQUE (meter, invocation_counter));"
                           "INSERT INTO notifications VALUES('m', 1, 5, 'data-notification', '{}');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  {
    TSqliteStore old(dir.Path + "/old.db");
    EXPECT_TRUE(old.StoreNotification({"QSM1", 2, -1, "data-notification", "{}", true}));
    EXPECT_EQ(old.LastInvocationCounters(), (std::map<std::string, uint32_t>{{"m", 5}}));
  }
  sqlite3* source = nullptr;
  ASSERT_EQ(sqlite3_open((dir.Path + "/source.db").c_str(), &source), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(source,
                         "CREATE TABLE readings (meter TEXT NOT NULL, obis TEXT NOT NULL, attribute INTEGER NOT NULL, "
                         "read_at INTEGER NOT NULL, class INTEGER NOT NULL, value TEXT NOT NULL, scaler INTEGER, unit TEXT, "
                         "scaled REAL, PRIMARY KEY (meter, obis, attribute, read_at)) WITHOUT ROWID;"
                         "CREATE TABLE profile_entries (meter TEXT NOT NULL, profile TEXT NOT NULL, entry_time INTEGER "
                         "NOT NULL, column_ref TEXT NOT NULL, value TEXT NOT NULL, scaler INTEGER, unit TEXT, scaled REAL, "
                         "PRIMARY KEY (meter, profile, entry_time, column_ref)) WITHOUT ROWID;"
                         "CREATE TABLE meters (name TEXT PRIMARY KEY, last_read INTEGER, last_attempt INTEGER, last_error TEXT);"
                         "CREATE TABLE runs_done (run TEXT NOT NULL, meter TEXT NOT NULL, PRIMARY KEY (run, meter)) WITHOUT ROWID;"
                         "INSERT INTO notifications VALUES('n', 1, 7, 'data-notification', '{}');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(source);
  TSqliteStore merged(dir.Path + "/old.db");
  merged.Merge(dir.Path + "/source.db");
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(merged.Handle(), "SELECT meter, unknown FROM notifications ORDER BY meter", -1, &s, nullptr),
            SQLITE_OK);
  std::vector<std::string> rows;
  while (sqlite3_step(s) == SQLITE_ROW)
    rows.push_back(Format("%s %d", sqlite3_column_text(s, 0), sqlite3_column_int(s, 1)));
  sqlite3_finalize(s);
  EXPECT_EQ(rows, (std::vector<std::string>{"QSM1 1", "m 0", "n 0"}));
}

TEST(ListenSenders, AtMostSoManyTheLeastRecentlyHeardGoFirstAndOldOnesAreForgotten) {
  cli::TSenderTable table(3, std::chrono::seconds(60));
  const auto t0 = cli::TSenderTable::TClock::now();
  auto heard = [&](const std::string& peer, int second) {
    cli::TPushSender s;
    s.Peer = peer;
    s.Title = "title of " + peer;
    table.Heard(std::move(s), t0 + std::chrono::seconds(second));
    table.Prune(t0 + std::chrono::seconds(second));
  };
  auto kept = [&] {
    std::string out;
    for (const char* p : {"a", "b", "c", "d", "e"})
      if (const cli::TPushSender* s = table.Find(p)) out += p + std::string(s->Title == "title of " + std::string(p) ? "" : "?");
    return out;
  };
  heard("a", 0);
  heard("b", 1);
  heard("c", 2);
  EXPECT_EQ(kept(), "abc");
  heard("d", 3);
  EXPECT_EQ(kept(), "bcd");
  heard("b", 4);  // heard again: now the most recent
  heard("e", 5);
  EXPECT_EQ(kept(), "bde");
  table.Prune(t0 + std::chrono::seconds(64));
  EXPECT_EQ(kept(), "be");
  table.Prune(t0 + std::chrono::seconds(70));
  EXPECT_EQ(kept(), "");
  EXPECT_EQ(table.Size(), 0u);
}

TEST(ListenLines, RepeatedLinesBecomeOneSummaryAPeriod) {
  cli::TLineLimiter limiter(2, std::chrono::seconds(10));
  std::vector<std::string> out;
  auto sink = [&](const std::string& s) { out.push_back(s); };
  const auto t0 = cli::TLineLimiter::TClock::now();
  for (int i = 0; i < 1234; ++i)
    limiter.Report("malformed datagrams", Format("10.0.%d.1", i % 567), Format("line %d", i), t0, sink);
  limiter.Report("refused messages", "x", "refused 1", t0, sink);
  // The period ends with the next line after it.
  limiter.Report("malformed datagrams", "y", "line after", t0 + std::chrono::seconds(10), sink);
  limiter.Tick(t0 + std::chrono::seconds(11), sink, true);
  EXPECT_EQ(out, (std::vector<std::string>{"line 0", "line 1", "refused 1",
                                           "1232 malformed datagrams from 567 senders in the last 10 s", "line after"}));
}

// ---------------------------------------------------------------- the listener as a process

// A fleet of simulated meters that push, every `every` seconds, to a port
// nothing listens on yet: the listener the test starts takes it. Its list
// is in `dir`/fleet.csv.
struct TPushingFleet {
  TPushingFleet(const std::string& dir, int count, const std::string& every, const std::vector<std::string>& extra = {})
      : Port(ClosedPort()), List(dir + "/fleet.csv"), Sim(Args(count, every, extra)) {}
  std::vector<std::string> Args(int count, const std::string& every, const std::vector<std::string>& extra) const {
    std::vector<std::string> a{"--fleet", std::to_string(count), "--port", "0", "--fleet-list", List,
                               "--push", Format("127.0.0.1:%d", Port), "--every", every};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
  int Port;
  std::string List;
  TSimProcess Sim;
};

TEST(FleetListen, PushesStoredOnceReplayDroppedBadMessagesLoggedAndTheRestKept) {
  TTempDir dir;
  const TPushingFleet fleet(dir.Path, 50, "0.5", {"--push-security", "mixed"});
  const int port = fleet.Port;
  const std::string list = fleet.List, db = dir.Path + "/n.db", lines = dir.Path + "/n.jsonl";
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
    // Plain or ciphered, each meter by the name its push carries; the two
    // that no meter of the list has under that name, marked unknown.
    EXPECT_EQ(j["meter"], n <= 50 ? Format("sim-%04d", n) : ldn) << j.dump();
    EXPECT_EQ(j.value("unknown", false), n > 50) << j.dump();
    if (n <= 50 && n % 2 == 0) EXPECT_EQ(j["counter"], j["id"]);
    else EXPECT_FALSE(j.contains("counter")) << j.dump();
  }
  EXPECT_EQ(ids.size(), 52u);
  for (const auto& [ldn, got] : ids) {
    ASSERT_FALSE(got.empty());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<int>(i + 1)) << ldn;
  }
  // The notification cut short is kept as it came, never as values.
  std::vector<std::vector<std::string>> undecoded;
  TSqliteStore(db).Export("undecoded", "", 0, INT64_MAX, [&](const std::vector<std::string>& row) { undecoded.push_back(row); });
  ASSERT_EQ(undecoded.size(), 2u);
  EXPECT_EQ(undecoded[1][3], "undecodable message (Wrong encoding in pdu at byte 7 of 7)");
  EXPECT_EQ(undecoded[1][4], "0F000000010C07");
  EXPECT_EQ(TSqliteStore(db).Count("notifications"), static_cast<int64_t>(records.size()) + 1);
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
  EXPECT_EQ(TSqliteStore(db).Count("notifications"), static_cast<int64_t>(records.size()) + 1);
}

TEST(FleetListen, HdlcPushesNamedByTheListReadFromEachMeterAndABadFrameCostsOnlyItself) {
  TTempDir dir;
  const TPushingFleet fleet(dir.Path, 6, "0.4", {"--push-security", "glo", "--push-hdlc"});
  const int hdlcPort = fleet.Port;
  const std::string list = fleet.List, listed = dir.Path + "/listed.csv", lines = dir.Path + "/n.jsonl";
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
    if (n > 6) {  // the extra ones: no meter of the list, values as they came
      EXPECT_EQ(j["meter"], ldn) << j.dump();
      EXPECT_EQ(j["unknown"], true) << j.dump();
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

TEST(FleetListen, APlainPushIsTheMeterItNamesAndNamedByItsList) {
  TTempDir dir;
  const TPushingFleet fleet(dir.Path, 1, "0.2", {"--push-hdlc"});
  const int hdlcPort = fleet.Port;
  const std::string list = fleet.List, lines = dir.Path + "/n.jsonl";
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
      {PduStr("\x0F", 1), "undecodable message (Wrong encoding in pdu: the APDU ends too early, after byte 1)"},
      {plain.substr(0, plain.size() - 2), "undecodable message (Wrong encoding in pdu at byte 51 of 52)"},
      {PduStr("\xC0\x01\xC1\x00\x01\x00\x00\x01\x08\x00\xFF\x02\x00", 13),
       "tag 192: expected a data notification, event notification or information report"},
      {sim::PushNotification(id4, 1, 1765000000, 1, true, ek, ak), "system title 5153494D00000004: no meter of the list has it"},
      {tampered, ""},  // filled below: the tag does not check
      {good, ""},
      {good, "sim-0003: invocation counter 5 replayed (last 5), dropped"},
      {sim::PushNotification(id3, 4, 1765000000, 1, true, ek, ak), "sim-0003: invocation counter 4 replayed (last 5), dropped"},
      {sim::PushNotification(id3, 6, 1765000000, 1, true, ek, ak), ""},
      {PduStr("\xCA\x02\x00\x00", 4), "sim-0003: requires auth, the message has none; refused"},
      {PduStr("\xCA\x06\x30\x00\x00\x00\x07\x00", 8), "sim-0003: cannot decipher"},
      {plain + "\x01\x02", "undecodable message (2 bytes after the end of the APDU, from byte 55 of 56)"},
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

// What a reader makes of a byte stream, fed at once and one byte at a time:
// "message <hex>" and "error <text>" in order.
std::vector<std::string> HdlcEvents(const std::string& stream, bool bytewise, size_t* held = nullptr) {
  THdlcPushReader reader;
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



// The lines of `err` that start with `prefix` and end with `suffix`.
size_t LinesLike(const std::string& err, const std::string& prefix, const std::string& suffix) {
  std::istringstream in(err);
  size_t n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0 && line.size() >= suffix.size() &&
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
      ++n;
  return n;
}

size_t LinesIn(const std::string& path) { return JsonLines(ReadFile(path)).size(); }

void Send(int fd, const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

TEST(ListenProcess, AMixedFleetIsStoredUnderItsOwnNamesAndForgeriesChangeNothing) {
  TTempDir dir;
  const TPushingFleet fleet(dir.Path, 50, "0.5", {"--push-security", "mixed"});
  const int port = fleet.Port;
  const std::string list = fleet.List, db = dir.Path + "/n.db";
  // The list says how each meter pushes.
  const auto meters = MetersOfCsv(ReadFile(list));
  ASSERT_EQ(meters.size(), 50u);
  ASSERT_EQ(meters[1].Name, "sim-0002");
  EXPECT_EQ(cli::RequiredProtection(meters[0]), 0);
  EXPECT_EQ(cli::RequiredProtection(meters[1]), 3);
  EXPECT_EQ(meters[1].LogicalDeviceName, "QSM0000000002");
  const PduStr ek = meters[1].Profile.EK, ak = meters[1].Profile.AK, title = meters[1].Profile.ServerSystemTitle;

  // Forgeries of sim-0002 on a connection of their own: no protection with a
  // counter near the top and a value of 999999999, and a captured push made
  // encryption-only.
  int attackPort = 0;
  std::thread attack([&] {
    const int fd = ConnectWhenUp(port);
    if (fd < 0) return;
    attackPort = LocalPort(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const int64_t now = std::time(nullptr);
    const auto id = sim::FleetIdentity(2);
    Send(fd, sim::WrapperFrame(Protected(title, 0x00, 0xFFFFFFF0,
                                         sim::PushNotification(id, 0xFFFFFFF0, now, 999999999, false, "", ""), ek, ak)) +
                 sim::WrapperFrame(EncryptionOnlyForgery(sim::PushNotification(id, 1, now, 999999999, true, ek, ak))));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(fd);
  });
  const TRun r = RunCli({"listen", "--port", std::to_string(port), "--for", "5", "--list", list, "--db", db}, dir.Path);
  attack.join();
  ASSERT_EQ(r.Status, 0) << Describe(r);
  for (const char* arrived : {"none", "enc"})
    EXPECT_NE(r.Err.find(Format("listen: 127.0.0.1:%d: sim-0002: requires auth-enc, the message has %s; refused\n",
                                attackPort, arrived)),
              std::string::npos)
        << r.Err;
  EXPECT_NE(r.Err.find(" 0 malformed, 2 refused, "), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find("replayed"), std::string::npos) << r.Err;

  // A second listener on the same database: sim-0002 is still taken.
  const TRun r2 = RunCli({"listen", "--port", std::to_string(port), "--for", "3", "--list", list, "--db", db}, dir.Path);
  ASSERT_EQ(r2.Status, 0) << Describe(r2);
  EXPECT_EQ(r2.Err.find("replayed"), std::string::npos) << r2.Err;

  std::set<std::string> names;
  for (const auto& m : meters) names.insert(m.Name);
  std::map<std::string, std::vector<int64_t>> counters;
  std::map<std::string, int> rows;
  TSqliteStore d(db);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(d.Handle(), "SELECT meter, invocation_counter, unknown, body FROM notifications", -1, &s,
                               nullptr),
            SQLITE_OK);
  while (sqlite3_step(s) == SQLITE_ROW) {
    const std::string meter = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    const std::string body = reinterpret_cast<const char*>(sqlite3_column_text(s, 3));
    ASSERT_EQ(names.count(meter), 1u) << meter;
    EXPECT_EQ(sqlite3_column_int(s, 2), 0) << meter;
    EXPECT_EQ(body.find("999999999"), std::string::npos) << meter << " " << body;
    ++rows[meter];
    const int n = std::stoi(meter.substr(4));
    EXPECT_EQ(sqlite3_column_type(s, 1) == SQLITE_NULL, n % 2 == 1) << meter;
    if (n % 2 == 0) counters[meter].push_back(sqlite3_column_int64(s, 1));
  }
  sqlite3_finalize(s);
  EXPECT_EQ(rows.size(), 50u);
  for (const auto& [meter, count] : rows) EXPECT_GE(count, 3) << meter;
  for (auto& [meter, got] : counters) {
    std::sort(got.begin(), got.end());
    EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end()) << meter;
    EXPECT_LT(got.back(), 1000) << meter;
  }
  // Pushed after the forgeries and after the restart.
  EXPECT_GE(counters["sim-0002"].size(), 8u);
}

TEST(ListenProcess, IdleConnectionsAreClosedAndOnesOverTheLimitTurnedAwayWhileMetersGoOn) {
  TTempDir dir;
  const TPushingFleet fleet(dir.Path, 3, "0.2");
  const int port = fleet.Port;
  const std::string list = fleet.List, lines = dir.Path + "/n.jsonl";
  TCliProcess listen({"listen", "--port", std::to_string(port), "--for", "6", "--list", list, "--out", lines,
                      "--max-connections", "6", "--idle-timeout", "1.5"},
                     dir.Path);
  // Every meter's connection is in before the idle ones come.
  ASSERT_TRUE(Eventually([&] {
    std::set<std::string> m;
    for (const json& j : JsonLines(ReadFile(lines))) m.insert(j["meter"].get<std::string>());
    return m.size() == 3;
  })) << listen.Err();
  std::vector<int> fds, ports;
  for (int i = 0; i < 5; ++i) {
    fds.push_back(ConnectWhenUp(port));
    ports.push_back(LocalPort(fds.back()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const size_t before = LinesIn(lines);
  const TRun r = listen.Wait();
  for (const int fd : fds) ::close(fd);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string idle = Format("listen: 127.0.0.1:%d: nothing for 1.5 s, connection closed\n", ports[i]);
    const std::string away =
        Format("listen: 127.0.0.1:%d: 6 connections open, the most --max-connections allows; closed\n", ports[i]);
    EXPECT_EQ(r.Err.find(idle) != std::string::npos, i < 3) << r.Err;
    EXPECT_EQ(r.Err.find(away) != std::string::npos, i >= 3) << r.Err;
  }
  EXPECT_NE(r.Err.find(", 8 connections (2 turned away, 3 closed idle, 0 closed for buffered bytes)\n"), std::string::npos)
      << r.Err;
  // The meters went on pushing all along (five a second each).
  EXPECT_GE(LinesIn(lines), before + 15) << r.Err;
}

TEST(ListenProcess, OutOfDescriptorsTheListenerWaitsInsteadOfSpinningAndServesItsConnections) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checks test memory through a pipe; with no
  // descriptor left they find none readable and report every virtual call.
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  TTempDir dir;
  const int port = ClosedPort();
  const std::string lines = dir.Path + "/n.jsonl";
  TCliProcess listen({"listen", "--port", std::to_string(port), "--for", "4", "--out", lines, "--max-connections", "1000"},
                     dir.Path, 24);
  std::vector<int> fds;
  for (int i = 0; i < 40; ++i) fds.push_back(ConnectWhenUp(port));
  // The first connection was accepted; it is served while others wait.
  const auto push = sim::WrapperFrame(sim::PushNotification(sim::FleetIdentity(7), 1, 1765000000, 7, false, "", ""));
  Send(fds[0], push);
  EXPECT_TRUE(Eventually([&] { return LinesIn(lines) == 1; }, 3)) << listen.Err();
  double cpu = 0;
  const TRun r = listen.Wait(&cpu);
  for (const int fd : fds) ::close(fd);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  EXPECT_NE(r.Err.find("listen: accept: Too many open files; new connections wait\n"), std::string::npos) << r.Err;
  // Four seconds of a loop that spins use four seconds of a processor.
  EXPECT_LT(cpu, 1.0) << r.Err;
}

TEST(ListenProcess, PartialFramesOverTheBoundCloseTheOldestFirst) {
  TTempDir dir;
  const int port = ClosedPort();
  TCliProcess listen({"listen", "--port", std::to_string(port), "--for", "3", "--out", dir.Path + "/n.jsonl",
                      "--max-buffered", "150000"},
                     dir.Path);
  // Five connections, one after the other, each with 60000 of the 65280
  // bytes its frame header announces.
  std::vector<int> fds, ports;
  const std::string partial = std::string("\x00\x01\x00\x01\x00\x66\xFF\x00", 8) + std::string(60000, '\x0F');
  for (int i = 0; i < 5; ++i) {
    fds.push_back(ConnectWhenUp(port));
    ports.push_back(LocalPort(fds.back()));
    Send(fds.back(), partial);
  }
  const TRun r = listen.Wait();
  for (const int fd : fds) ::close(fd);
  ASSERT_EQ(r.Status, 0) << Describe(r);
  for (size_t i = 0; i < ports.size(); ++i)
    EXPECT_EQ(LinesLike(r.Err, Format("listen: 127.0.0.1:%d: ", ports[i]),
                        " bytes of a partial frame held, over the bound of 150000 for all connections; the oldest "
                        "closed first"),
              i < 3 ? 1u : 0u)
        << i << "\n"
        << r.Err;
  EXPECT_NE(r.Err.find(" (0 turned away, 0 closed idle, 3 closed for buffered bytes)\n"), std::string::npos) << r.Err;
}

TEST(ListenProcess, OutHoldsEachLineAsItComes) {
  TTempDir dir;
  const int port = ClosedPort();
  const std::string lines = dir.Path + "/n.jsonl";
  TCliProcess listen({"listen", "--port", std::to_string(port), "--out", lines}, dir.Path);
  const int fd = ConnectWhenUp(port);
  ASSERT_GE(fd, 0);
  for (uint32_t n = 1; n <= 14; ++n)
    Send(fd, sim::WrapperFrame(sim::PushNotification(sim::FleetIdentity(1), n, 1765000000, n, false, "", "")));
  EXPECT_TRUE(Eventually([&] { return LinesIn(lines) == 14; }, 10)) << listen.Err();
  // Killed: what it has written stays.
  listen.Kill();
  ::close(fd);
  const auto records = JsonLines(ReadFile(lines));
  ASSERT_EQ(records.size(), 14u);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i]["id"], i + 1);
    EXPECT_EQ(records[i]["meter"], "QSM0000000001");
    EXPECT_EQ(records[i]["unknown"], true);
  }
}

TEST(ListenProcess, ADatabaseLockedFor15SecondsLosesNothingAndStallsNothing) {
  TTempDir dir;
  const TPushingFleet fleet(dir.Path, 4, "0.5", {"--push-security", "mixed"});
  const int port = fleet.Port;
  const std::string list = fleet.List, db = dir.Path + "/n.db", lines = dir.Path + "/n.jsonl";
  TCliProcess listen({"listen", "--port", std::to_string(port), "--for", "19", "--list", list, "--db", db, "--out", lines},
                     dir.Path);
  ASSERT_TRUE(Eventually([&] { return LinesIn(lines) >= 4; })) << listen.Err();
  size_t during = 0;
  {
    // Another process's write transaction, held longer than any busy timeout.
    TSqliteStore other(db);
    ASSERT_EQ(sqlite3_exec(other.Handle(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const size_t before = LinesIn(lines);
    std::this_thread::sleep_for(std::chrono::seconds(15));
    during = LinesIn(lines) - before;
    ASSERT_EQ(sqlite3_exec(other.Handle(), "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  const TRun r = listen.Wait();
  ASSERT_EQ(r.Status, 0) << Describe(r);
  // Four meters pushing twice a second went on being received.
  EXPECT_GE(during, 60u) << r.Err;
  EXPECT_EQ(TSqliteStore(db).Count("notifications"), static_cast<int64_t>(LinesIn(lines))) << r.Err;
  EXPECT_EQ(LinesLike(r.Err, "listen: readings database: database is locked; ", " notifications held, trying again"), 1u)
      << r.Err;
  EXPECT_NE(r.Err.find("listen: readings database takes notifications again\n"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find(" 0 malformed, 0 refused, "), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find(" 0 already stored, 0 lost, "), std::string::npos) << r.Err;
}

TEST(ListenProcess, JunkDatagramsAreSummedUpNotLoggedOneByOne) {
  TTempDir dir;
  const int port = ClosedPort();
  TCliProcess listen({"listen", "--port", std::to_string(port), "--for", "3"}, dir.Path);
  ASSERT_GE(ConnectWhenUp(port), 0);
  const sockaddr_in to = Loopback(port);
  for (int s = 0; s < 50; ++s) {
    const int u = ::socket(AF_INET, SOCK_DGRAM, 0);
    for (int i = 0; i < 10; ++i) ::sendto(u, "\x00\x02junkjk", 8, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(u);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const TRun r = listen.Wait();
  ASSERT_EQ(r.Status, 0) << Describe(r);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.Err, m, std::regex(R"(\n(\d+) notifications, 0 replays dropped, (\d+) malformed, )")))
      << r.Err;
  const int malformed = std::stoi(m[2].str());
  EXPECT_GE(malformed, 400) << r.Err;
  // Ten lines one by one, the rest in one.
  EXPECT_EQ(LinesLike(r.Err, "listen: 127.0.0.1:", "/udp: wrapper version 2, expected 1"), 10u) << r.Err;
  ASSERT_TRUE(std::regex_search(
      r.Err, m, std::regex(R"(\nlisten: (\d+) malformed datagrams from (\d+) senders in the last [1-4] s\n)")))
      << r.Err;
  EXPECT_EQ(std::stoi(m[1].str()), malformed - 10);
  EXPECT_LE(std::stoi(m[2].str()), 50);
}

}  // namespace
