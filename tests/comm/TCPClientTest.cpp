#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "TestSupport.h"
#include "comm/MidLayers.h"

namespace quillon {
namespace {

using test::Hex;
using test::TLoggedLine;
using test::TRecordingSink;
using test::TScript;
using test::TTcpPeer;

struct SplitCase {
  const char* text;
  bool error;
  const char* address;
  int port;
  bool ipv4;
};

TEST(SplitIPAddressAndPort, Table) {
  const SplitCase cases[] = {
      {"192.168.0.10:4059", false, "192.168.0.10", 4059, true},
      {"[::1]:4059", false, "::1", 4059, false},
      {"::1", false, "::1", -1, false},
      {"10.0.0.1", false, "10.0.0.1", -1, true},
      {"10.0.0.1:", false, "10.0.0.1", -1, true},
      {"010.0x10.1", false, "8.16.0.1", -1, true},
      {"[fe80::1", true, "", -1, false},
      {"meter:4059", true, "", 4059, false},
      {"10.0.0.1:40x", true, "", -1, false},
      {"[::1]:port", true, "", -1, false},
      {"", true, "", -1, false},
  };
  for (const SplitCase& c : cases) {
    std::string address = "junk";
    int port = 7;
    bool ipv4 = false, error = false;
    TProtocolLayerTCPClient::SplitIPAddressAndPort(c.text, address, port, ipv4, error);
    EXPECT_EQ(error, c.error) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
    if (!c.error) {
      EXPECT_EQ(address, c.address) << c.text;
      EXPECT_EQ(ipv4, c.ipv4) << c.text;
    }
  }
}

class TCPClientTest : public ::testing::Test {
protected:
  void SetUp() override {
    client.Disconnect();
    client.SetResponseTimeout(300);
    client.SetConnectTimeout(2000);
    client.SetDisconnectToConnectDelay(0);
    client.SetShowTraffic(true);
    client.CheckFrameCompleteCallBack = nullptr;
  }
  void TearDown() override { client.Disconnect(); }
  void Aim(const TTcpPeer& peer, bool ipv6 = false) {
    client.SetIPVersion(ipv6 ? IPv6 : IPv4);
    client.SetIP(ipv6 ? "::1" : "127.0.0.1");
    client.SetPort(peer.Port());
  }
  TRecordingSink sink;
  TProtocolLayerTCPClient& client = LowerLayers().TCPClient;
};

TEST_F(TCPClientTest, ExchangeOverIPv4AndIPv6WithTrafficEvents) {
  for (bool ipv6 : {false, true}) {
    sink.Lines.clear();
    TTcpPeer peer(ipv6);
    Aim(peer, ipv6);
    TScript meter([&] {
      TUniqueFd c = peer.Accept();
      EXPECT_EQ(TTcpPeer::Read(c.Get(), 3), "req");
      TTcpPeer::Write(c.Get(), "answer");
      TTcpPeer::Read(c.Get(), 1);  // until the client goes
    });
    client.Connect();
    EXPECT_TRUE(client.IsConnected());
    // The frame check ends the receive exactly at the end of the answer.
    client.CheckFrameCompleteCallBack = [](TProtocolLayerAbstract&, const PduStr& s) { return s.size() == 6; };
    EXPECT_EQ(client.SendRec("req"), "answer");
    client.Disconnect();
    EXPECT_FALSE(client.IsConnected());

    std::string connected = ipv6 ? Format("Connected to [::1]:%d", peer.Port())
                                 : Format("Connected to 127.0.0.1:%d", peer.Port());
    auto lines = sink.Snapshot();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].Text, "Connecting");
    EXPECT_EQ(lines[1].Text, connected);
    EXPECT_EQ(lines[2].Kind, TLoggedLine::Sent);
    EXPECT_EQ(lines[2].Text, "req");
    EXPECT_EQ(lines[3].Kind, TLoggedLine::Received);
    EXPECT_EQ(lines[3].Text, "answer");
    EXPECT_EQ(lines[4].Text, "Disconnecting");
    EXPECT_EQ(lines[5].Text, "Disconnected");
    EXPECT_EQ(lines[0].Prefix.substr(0, 10), "TCPClient ");
  }
}

TEST_F(TCPClientTest, EmptySendRecOnlyListensEmptySendStillLogs) {
  TTcpPeer peer;
  Aim(peer);
  TScript meter([&] {
    TUniqueFd c = peer.Accept();
    TTcpPeer::Write(c.Get(), "unasked");
    TTcpPeer::Read(c.Get(), 1);
  });
  client.Connect();
  sink.Lines.clear();
  EXPECT_EQ(client.SendRec(""), "unasked");
  client.Send("");
  auto lines = sink.Snapshot();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Kind, TLoggedLine::Received);
  EXPECT_EQ(lines[1].Kind, TLoggedLine::Sent);
  EXPECT_EQ(lines[1].Text, "");
  client.Disconnect();
}

TEST_F(TCPClientTest, ParametersLockedWhileOpen) {
  TTcpPeer peer;
  Aim(peer);
  TScript meter([&] {
    TUniqueFd c = peer.Accept();
    TTcpPeer::Read(c.Get(), 1);
  });
  client.Connect();
  EXPECT_NO_THROW(client.SetPort(peer.Port()));
  test::ExpectError<EProtocolLayerTCPClient>([&] { client.SetPort(peer.Port() + 1); }, "\"TCPClient\" is open, cannot change parameter");
  EXPECT_EQ(client.Port(), peer.Port());
  EXPECT_THROW(client.SetIP("127.0.0.2"), EProtocolLayerTCPClient);
  EXPECT_THROW(client.Connect(), EProtocolLayerTCPClient);  // already connected
  client.SetResponseTimeout(100);                            // always allowed
  client.Disconnect();
}

TEST_F(TCPClientTest, NotConnectedAndRefused) {
  test::ExpectError<EProtocolLayerTCPClient>([&] { client.Send("x"); }, "\"TCPClient\" is not connected");
  EXPECT_THROW(client.Rec(), EProtocolLayerTCPClient);
  int port;
  {
    TTcpPeer closed;
    port = closed.Port();
  }
  client.SetIP("127.0.0.1");
  client.SetPort(port);
  test::ExpectError<EProtocolLayerTCPClient>([&] { client.Connect(); }, "Connection refused");
  EXPECT_FALSE(client.IsConnected());
}

// The window's Cancel (and a session's cancel token) must end a wait for a
// peer that never answers, long before the response timeout.
TEST_F(TCPClientTest, AnAbortRequestEndsASilentWait) {
  TTcpPeer peer;
  Aim(peer);
  client.SetResponseTimeout(600000);
  client.Connect();
  TUniqueFd far = peer.Accept();
  std::thread canceller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    UserAbortRequested = true;
  });
  test::ExpectError<EUserAbort>([&] { client.SendRec("x"); }, "USER ABORT");
  canceller.join();
  UserAbortRequested = false;
  // A token of this thread does the same without touching the others.
  std::atomic<bool> token{true};
  ThreadAbortFlag = &token;
  test::ExpectError<EUserAbort>([&] { client.Rec(); }, "USER ABORT");
  ThreadAbortFlag = nullptr;
}

TEST_F(TCPClientTest, PeerClosingMidAnswerFailsAndTheNextConnectWorks) {
  TTcpPeer peer;
  Aim(peer);
  TScript meter([&] {
    TUniqueFd c = peer.Accept();
    TTcpPeer::Read(c.Get(), 3);
    TTcpPeer::Write(c.Get(), Hex("0001"));  // half a header, then gone
    c.Reset();
    TUniqueFd again = peer.Accept();
    TTcpPeer::Read(again.Get(), 3);
    TTcpPeer::Write(again.Get(), "ok");
    TTcpPeer::Read(again.Get(), 1);
  });
  client.Connect();
  client.CheckFrameCompleteCallBack = [](TProtocolLayerAbstract&, const PduStr& s) { return s.size() == 8; };
  test::ExpectError<EProtocolLayerTCPClient>([&] { client.SendRec("req"); }, "Connection closed by peer");
  EXPECT_FALSE(client.IsConnected());
  client.CheckFrameCompleteCallBack = nullptr;
  client.Connect();
  EXPECT_EQ(client.SendRec("req"), "ok");
  client.Disconnect();
}

TEST_F(TCPClientTest, IsConnectedNoticesAPeerThatHasGone) {
  TTcpPeer peer;
  Aim(peer);
  {
    TScript meter([&] { peer.Accept(); });
    client.Connect();
  }
  // The peer's socket is closed; give the FIN a moment to arrive.
  for (int i = 0; i < 200 && client.IsConnected(); ++i) SleepMs(5);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(sink.Infos().back(), "Disconnected");
}

TEST_F(TCPClientTest, DisconnectToConnectDelayIsAnnouncedAndWaited) {
  TTcpPeer peer;
  Aim(peer);
  TScript meter([&] {
    for (int i = 0; i < 2; ++i) {
      TUniqueFd c = peer.Accept();
      TTcpPeer::Read(c.Get(), 1, 500);
    }
  });
  client.Connect();
  client.Disconnect();
  client.SetDisconnectToConnectDelay(150);
  client.Connect();
  client.Disconnect();
  client.SetDisconnectToConnectDelay(0);
  int wait = -1;
  for (const std::string& s : sink.Infos())
    if (s.rfind("Waiting TCP disconnect to connect delay ", 0) == 0) sscanf(s.c_str() + 40, "%d", &wait);
  EXPECT_GT(wait, 0);
  EXPECT_LE(wait, 150);
}

}  // namespace
}  // namespace quillon
