// Sessions against the simulator (a separate process on loopback): two
// sessions at once, each with its own stack; short names, from the object
// list or from the caller; raw requests; the cancel token ending a wait for
// a peer that never answers; a refused password.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <thread>

#include "SimProcess.h"
#include "client/InvocationCounters.h"
#include "client/Session.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using namespace quillon::client;

namespace {

TMeterProfile WrapperProfile(int port, int client) {
  TMeterProfile p;
  p.Host = "127.0.0.1";
  p.Port = port;
  p.ClientAddress = client;
  return p;
}

// Whether an answer's APDU is its last part, by kind of APDU.
TEST(Session, LastPartOfAnAnswer) {
  const struct {
    const char* Apdu;
    bool Last;
  } cases[] = {
      {"C401C100090100", true},                // get-response-normal
      {"C402C1000000000100820100", false},      // data block 1, more to come
      {"C402C1010000000200820100", true},       // data block 2, the last
      {"E6E700C402C1010000000200", true},       // the same after an LLC header
      {"E6E700C402C1000000000100", false},
      {"E0C0000100000100", true},               // general block, last-block bit set
      {"E0400001000001", false},                // general block, streaming, more to come
      {"C403C1000000", false},                  // get-response-with-list: not a block of a profile
      {"CC0B300000000100", false},              // ciphered: nothing to tell
      {"C402C1", false},                        // cut short
      {"C4", false},
      {"", false},
  };
  for (const auto& c : cases) {
    std::string bytes;
    for (size_t i = 0; c.Apdu[i] && c.Apdu[i + 1]; i += 2)
      bytes += static_cast<char>(std::stoi(std::string(c.Apdu + i, 2), nullptr, 16));
    EXPECT_EQ(IsLastPartOfAnswer(bytes), c.Last) << c.Apdu;
  }
}

// A profile read reports its blocks, then the decoding: entries never
// fewer than before, ending at the count of the table, and a block count
// that no longer changes once decoding has begun.
TEST(Session, ProfileReadReportsDecodingUpToTheLastEntry) {
  test::TSimProcess sim({"--port", "0"});
  TSession s(WrapperProfile(sim.Port(), 16));
  s.Open();
  std::vector<TProgress> reports;
  TCall call;
  call.Progress = [&reports](const TProgress& p) { reports.push_back(p); };
  TProfileRange range;
  range.Kind = TProfileRange::rEntries;
  const TProfileTable t = s.ReadProfile(TObjectRef{7, ParseLogicalName("1.0.99.1.0.255"), 0}, range, call);
  s.Close();
  ASSERT_EQ(t.Rows.size(), 5000u);
  const auto first = std::find_if(reports.begin(), reports.end(), [](const TProgress& p) { return p.Decoding; });
  ASSERT_NE(first, reports.end());
  EXPECT_EQ(first->Entries, 0u);
  std::vector<uint64_t> entries;
  for (auto p = first; p != reports.end(); ++p) {
    EXPECT_TRUE(p->Decoding);
    EXPECT_EQ(p->Blocks, first->Blocks);
    if (entries.empty() || entries.back() != p->Entries) entries.push_back(p->Entries);
  }
  EXPECT_EQ(entries, (std::vector<uint64_t>{0, 1000, 2000, 3000, 4000, 5000}));
  EXPECT_EQ(reports.back().Blocks, first->Blocks);
  EXPECT_GT(first->Blocks, 1u);
  EXPECT_EQ(ProgressText(TProgress{3, 196608, false, 0}), "3 blocks, 196608 bytes");
  EXPECT_EQ(ProgressText(reports.back()), std::to_string(first->Blocks) + " blocks, " +
                                              std::to_string(first->Bytes) + " bytes, decoding: 5000 entries");
}

TEST(Session, TwoSessionsAtOnceEachWithItsOwnStack) {
  test::TSimProcess wrapper({"--port", "0"});
  test::TSimProcess hdlc({"--profile", "hdlc-tcp", "--port", "0"});
  TMeterProfile a = WrapperProfile(wrapper.Port(), 16);
  TMeterProfile b = WrapperProfile(hdlc.Port(), 16);
  b.Transport = TTransport::tHdlcTcp;
  b.PhysicalAddress = 17;
  auto run = [](TMeterProfile p) {
    TSession s(p);
    s.Open();
    std::string out;
    for (int i = 0; i < 5; ++i) {
      const TReading r = s.Get(ParseObjectRef("1.0.32.7.0.255"));
      out = ScaledText(r.Value, r.ScalerUnit->Scaler).value_or("?");
    }
    s.Close();
    return out;
  };
  auto first = std::async(std::launch::async, run, a);
  auto second = std::async(std::launch::async, run, b);
  EXPECT_EQ(first.get(), "230.0");
  EXPECT_EQ(second.get(), "230.0");
}

TEST(Session, ShortNamesComeFromTheObjectList) {
  test::TSimProcess sim({"--port", "0"});
  TMeterProfile p = WrapperProfile(sim.Port(), 48);
  p.ShortNames = true;
  TSession s(p);
  s.Open();
  const auto& list = s.ObjectList();
  ASSERT_FALSE(list.empty());
  EXPECT_GE(list.front().ShortName, 0);
  const TReading r = s.Get(ParseObjectRef("1.0.31.7.0.255"));
  EXPECT_EQ(r.Ref.ClassId, 3);
  ASSERT_TRUE(r.ScalerUnit.has_value());
  EXPECT_EQ(ScaledText(r.Value, r.ScalerUnit->Scaler).value_or("?"), "5.50");
}

std::string GetRequestXml(int classId, const std::string& instanceHex, int attribute) {
  return "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"000" +
         std::to_string(classId) + "\" /><InstanceId Value=\"" + instanceHex + "\" /><AttributeId Value=\"0" +
         std::to_string(attribute) + "\" /></AttributeDescriptor></GetRequestNormal>";
}

TEST(Session, RawRequestsReturnTheEnginesAnswer) {
  test::TSimProcess sim({"--port", "0"});
  TSession s(WrapperProfile(sim.Port(), 16));
  const std::string voltage = GetRequestXml(3, "0100200700FF", 2);
  try {
    s.Request(TRequestKind::rkGet, voltage);
    FAIL() << "a request without an association";
  } catch (const EMeterError& e) {
    EXPECT_EQ(std::string(e.what()), "no association: the session is not open");
  }
  s.Open();
  const TReading typed = s.Get(ParseObjectRef("3/1.0.32.7.0.255/2"));
  const std::string raw = s.Request(TRequestKind::rkGet, voltage);
  EXPECT_NE(raw.find("GetResponseNormal"), std::string::npos) << raw;
  EXPECT_NE(raw.find(typed.DataXml), std::string::npos) << raw;
  EXPECT_EQ(s.LastXml(), raw);
  // A refusal of the meter is an answer, not a failure.
  const std::string refused = s.Request(TRequestKind::rkGet, GetRequestXml(1, "0000636363FF", 2));
  EXPECT_EQ(refused.find("<Data>"), std::string::npos) << refused;
  EXPECT_NE(refused.find("ObjectUndefined"), std::string::npos) << refused;
  EXPECT_TRUE(s.LinkConnected());
  // Ending without a release request leaves nothing open.
  s.Close(false);
  EXPECT_FALSE(s.IsOpen());
  EXPECT_FALSE(s.LinkConnected());
}

TEST(Session, ShortNamesFromASourceOfTheCaller) {
  test::TSimProcess sim({"--port", "0"});
  TMeterProfile p = WrapperProfile(sim.Port(), 48);
  p.ShortNames = true;
  TSession s(p);
  std::vector<std::string> asked;
  // Knows the voltage register only (base name 2320 hex: attribute 2 is 8 on).
  s.SetShortNameSource([&](int classId, const TLogicalName& name, int attribute, int& sn, std::string& error) {
    asked.push_back(std::to_string(classId) + "/" + LogicalNameDotted(name) + "/" + std::to_string(attribute));
    if (classId == 3 && LogicalNameDotted(name) == "1.0.32.7.0.255") {
      sn = 0x2320 + 8 * (attribute - 1);
      return true;
    }
    error = "no row for " + LogicalNameDotted(name);
    return false;
  });
  s.Open();
  const std::string raw = s.Request(TRequestKind::rkGet, GetRequestXml(3, "0100200700FF", 2));
  EXPECT_NE(raw.find("<Data>"), std::string::npos) << raw;
  try {
    s.Request(TRequestKind::rkGet, GetRequestXml(1, "0000636363FF", 2));
    FAIL() << "a short name the source does not know";
  } catch (const EMeterError& e) {
    EXPECT_EQ(std::string(e.what()), "no row for 0.0.99.99.99.255");
  }
  // The object list was never read: the source answered every question.
  EXPECT_EQ(asked, (std::vector<std::string>{"3/1.0.32.7.0.255/2", "1/0.0.99.99.99.255/2"}));
}

TEST(Session, CancelEndsAWaitForASilentPeer) {
  // A peer that accepts the connection and never answers.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  TMeterProfile p = WrapperProfile(ntohs(addr.sin_port), 16);
  // Far longer than the test may take: only the cancel can end the wait.
  p.ResponseTimeout = 600000;
  TSession s(p);
  TCancelToken cancel;
  TCall call;
  call.Cancel = &cancel;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel.Cancel();
  });
  std::string error;
  try {
    s.Open(call);
  } catch (const EMeterError& e) {
    error = e.what();
  }
  canceller.join();
  ::close(listener);
  EXPECT_EQ(error, "cancelled");
  EXPECT_FALSE(s.IsOpen());
}

TEST(Session, RefusedPasswordAndUnreachableHostAreMeterErrors) {
  test::TSimProcess sim({"--port", "0"});
  TMeterProfile p = WrapperProfile(sim.Port(), 17);
  p.Mechanism = mLow;
  p.Secret = "wrong";
  TSession s(p);
  try {
    s.Open();
    FAIL() << "associated with a wrong password";
  } catch (const EMeterError& e) {
    EXPECT_EQ(std::string(e.what()), "association: Association is not \"accepted\"");
  }
  // Nothing listens on port 1 of loopback.
  TSession none(WrapperProfile(1, 16));
  try {
    none.Open();
    FAIL() << "connected to port 1";
  } catch (const EMeterError& e) {
    EXPECT_EQ(std::string(e.what()), "127.0.0.1:1: Connection refused");
  }
}

}  // namespace

namespace {

// The simulator's ciphered client (33: GMAC, authenticated and encrypted).
TMeterProfile CipheredProfile(int port) {
  TMeterProfile p = WrapperProfile(port, 33);
  p.Mechanism = mGMAC;
  p.Policy = 3;
  p.EK = TMisc::HexStrToByteStr("000102030405060708090A0B0C0D0E0F");
  p.AK = TMisc::HexStrToByteStr("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF");
  p.KEK = TMisc::HexStrToByteStr("101112131415161718191A1B1C1D1E1F");
  p.ServerSystemTitle = TMisc::HexStrToByteStr("5153494D00000001");
  return p;
}

// The counters the simulator received from client 33, in order.
std::vector<uint32_t> Received(const std::string& log) {
  std::vector<uint32_t> out;
  std::ifstream in(log);
  std::string meter, word1, word2;
  int client = 0;
  uint32_t counter = 0;
  while (in >> meter >> word1 >> client >> word2 >> counter)
    if (client == 33) out.push_back(counter);
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string TempFolder() {
  char tmpl[] = "/tmp/quillon-session-XXXXXX";
  return ::mkdtemp(tmpl) ? tmpl : "/tmp";
}

}  // namespace

// A session counts in blocks reserved in the counters file, reserving the
// next when one runs out, and hands back what it did not use; the next
// session goes on from there; another key is another sequence, and the
// section an older version kept is where a sequence starts.
TEST(SessionCounters, BlocksReservedAsTheSessionGoesAndTheRestHandedBack) {
  const std::string dir = TempFolder(), log = dir + "/received.log", file = dir + "/counters.ini";
  test::TSimProcess sim({"--port", "0", "--counter-log", log});
  const TMeterProfile p = CipheredProfile(sim.Port());
  // What an older version kept for this meter: the count starts above it.
  TIniData legacy;
  legacy.Set(Format("127.0.0.1:%d/1/33/5153494D00000001", sim.Port()), "next", "700");
  legacy.Save(file, 0600);
  const TInvocationCounterFile counters(file);
  EXPECT_EQ(counters.Next(p), 700u);
  // Blocks of three first (a reservation every few messages), then the
  // usual blocks, of which the session uses a few.
  for (const uint32_t block : {3u, kCounterBlock}) {
    TSession s(p);
    s.KeepInvocationCounter(TCounterKeeping{.File = file, .Block = block});
    s.Open();
    for (int k = 0; k < 4; ++k) EXPECT_EQ(s.Get(TObjectRef{3, {1, 0, 1, 8, 0, 255}, 2}).Value.Integer(), 1234567);
    s.Close();
  }
  const std::vector<uint32_t> got = Received(log);
  ASSERT_GE(got.size(), 10u);
  EXPECT_EQ(got.front(), 700u);
  EXPECT_TRUE(std::adjacent_find(got.begin(), got.end(), std::greater_equal<uint32_t>()) == got.end())
      << "the counters did not rise";
  // Sessions that ended well cost no counter: the rest of the last block
  // came back (a release may use a counter the meter does not keep).
  EXPECT_GT(counters.Next(p), got.back());
  EXPECT_LE(counters.Next(p), got.back() + 3);
  // Another key is another sequence: it starts where the older version's
  // section says (that section names no key), not where this key's stands.
  TMeterProfile rekeyed = p;
  rekeyed.EK[0] ^= 1;
  EXPECT_EQ(counters.Next(rekeyed), 700u);
  // The file names no key.
  EXPECT_EQ(ReadAll(file).find("000102030405060708090A0B0C0D0E0F"), std::string::npos);
}

// When no further block can be reserved, the message that would need it is
// never sent: the call fails naming the file.
TEST(SessionCounters, NoBlockNoMessage) {
  const std::string dir = TempFolder(), log = dir + "/received.log", file = dir + "/counters.ini";
  test::TSimProcess sim({"--port", "0", "--counter-log", log});
  TSession s(CipheredProfile(sim.Port()));
  s.KeepInvocationCounter(TCounterKeeping{.Warning = [](const std::string&) {}, .File = file, .Block = 2});
  s.Open();
  const uint32_t reserved = TInvocationCounterFile(file).Next(s.Profile());
  ASSERT_EQ(::unlink(file.c_str()), 0);
  ASSERT_EQ(::mkdir(file.c_str(), 0700), 0);
  try {
    for (int k = 0; k < 3; ++k) s.Get(TObjectRef{3, {1, 0, 1, 8, 0, 255}, 2});
    FAIL() << "the reads went on without a reserved counter";
  } catch (const EMeterError& e) {
    EXPECT_EQ(std::string(e.what()), "invocation counter: file \"" + file + "\": cannot be written (Is a directory)");
  }
  s.Close();
  for (uint32_t c : Received(log)) EXPECT_LT(c, reserved) << "a counter beyond the blocks reserved was sent";
}

namespace {

// The lines of a text after the first `n` (the checksum line).
std::string WithoutFirstLine(const std::string& text) { return text.substr(text.find('\n') + 1); }

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

}  // namespace

// A counters file that does not parse or verify is refused before anything
// is sent, naming the file and what is wrong, and is left as it stood; one
// of an older version (no checksum line) is taken once and written back
// with one.
TEST(SessionCounters, ADamagedFileIsRefusedBeforeAnythingIsSent) {
  const std::string dir = TempFolder(), log = dir + "/received.log", file = dir + "/counters.ini";
  test::TSimProcess sim({"--port", "0", "--counter-log", log});
  const TMeterProfile p = CipheredProfile(sim.Port());
  auto session = [&] {
    TSession s(p);
    s.KeepInvocationCounter(TCounterKeeping{.File = file, .Block = 5});
    s.Open();
    EXPECT_EQ(s.Get(TObjectRef{3, {1, 0, 1, 8, 0, 255}, 2}).Value.Integer(), 1234567);
    s.Close();
  };
  session();
  const std::string good = ReadAll(file);
  ASSERT_EQ(good.rfind("; checksum sha256 ", 0), 0u) << good;
  const std::string body = WithoutFirstLine(good);
  const size_t open = body.find("[key "), close = body.find(']', open);
  ASSERT_NE(open, std::string::npos) << good;
  const std::string section = body.substr(open + 1, close - open - 1);
  const std::string salt = body.substr(body.find("value=") + 6, 32);
  const std::string next = body.substr(body.find("next=") + 5, body.find('\n', body.find("next=")) - body.find("next=") - 5);
  const std::string saltSection = "[salt]\nvalue=" + salt + "\n";
  const struct {
    const char* What;
    std::string Text;
    std::string Reason;
  } cases[] = {
      {"salt section removed", Replaced(good, saltSection, ""), "the checksum does not verify"},
      {"salt changed", Replaced(good, "value=" + salt, "value=" + std::string(32, 'A')), "the checksum does not verify"},
      {"counter lowered", Replaced(good, "next=" + next, "next=1"), "the checksum does not verify"},
      {"checksum cut", good.substr(0, 30) + "\n" + body, "the checksum line holds no SHA-256"},
      {"old file, no salt", Replaced(body, saltSection, ""), "no [salt] section, while it holds counters under keys"},
      {"old file, salt not hex", Replaced(body, "value=" + salt, "value=" + std::string(32, 'G')),
       "[salt] value: expected 32 hex digits"},
      {"old file, counter garbage", Replaced(body, "next=" + next, "next=12x"),
       "[" + section + "] next \"12x\": expected a counter 1..4294967295"},
      {"old file, counter overflow", Replaced(body, "next=" + next, "next=4294967296"),
       "[" + section + "] next \"4294967296\": expected a counter 1..4294967295"},
      {"old file, a line cut", body + "next\n", "line " + std::to_string(std::count(body.begin(), body.end(), '\n') + 1) +
                                                   " is neither a [section] nor a key=value"},
  };
  const size_t sent = Received(log).size();
  for (const auto& c : cases) {
    {
      std::ofstream(file, std::ios::binary | std::ios::trunc) << c.Text;
    }
    TSession s(p);
    s.KeepInvocationCounter(TCounterKeeping{.File = file, .Block = 5});
    try {
      s.Open();
      ADD_FAILURE() << c.What << ": the session opened";
    } catch (const EMeterError& e) {
      EXPECT_EQ(std::string(e.what()), "invocation counter: file \"" + file + "\": damaged: " + c.Reason +
                                           "; no ciphered session runs until it is repaired")
          << c.What;
    }
    EXPECT_EQ(Received(log).size(), sent) << c.What << ": sent on a damaged file";
    EXPECT_EQ(ReadAll(file), c.Text) << c.What << ": the damaged file was rewritten";
    EXPECT_THROW(TInvocationCounterFile(file).Next(p), EGeneralError) << c.What;
  }
  // The file as an older version wrote it: taken, written back checksummed.
  { std::ofstream(file, std::ios::binary | std::ios::trunc) << body; }
  session();
  const std::string rewritten = ReadAll(file);
  EXPECT_EQ(rewritten.rfind("; checksum sha256 ", 0), 0u) << rewritten;
  const std::vector<uint32_t> got = Received(log);
  EXPECT_TRUE(std::adjacent_find(got.begin(), got.end(), std::greater_equal<uint32_t>()) == got.end())
      << "the counters did not rise";
}
