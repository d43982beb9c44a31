#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "TestSupport.h"
#include "comm/MidLayers.h"

namespace quillon {
namespace {

using test::TLoggedLine;
using test::TRecordingSink;
using test::TTcpPeer;

// A calling device: connects to the server's port on loopback.
TUniqueFd Call(int port, bool ipv6 = false) {
  TUniqueFd s(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage a;
  socklen_t len = test::LoopbackAddress(ipv6, port, a);
  if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&a), len) != 0) s.Reset();
  return s;
}

class TCPServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    server.PollInterval = 20;
    server.ReceiveTimeout = 0;
    server.CheckFrameCompleteCallBack = nullptr;
    server.SetPort(0);
    server.StartListening();
  }
  void TearDown() override {
    if (server.IsConnected()) server.Disconnect();
    server.StopListening();
    server.PollInterval = 500;
  }
  void WaitFor(const std::function<bool()>& cond) {
    for (int i = 0; i < 400 && !cond(); ++i) SleepMs(5);
    ASSERT_TRUE(cond());
  }
  TRecordingSink sink;
  TProtocolLayerTCPServer& server = LowerLayers().TCPServer;
};

TEST_F(TCPServerTest, ListeningStartsOnceAndStops) {
  server.StartListening();
  EXPECT_TRUE(server.IsListening());
  EXPECT_NE(server.BoundPort(), 0);
  server.StopListening();
  EXPECT_FALSE(server.IsListening());
  EXPECT_EQ(sink.Infos(), (std::vector<std::string>{"Start Listening", "Stop Listening"}));
}

TEST_F(TCPServerTest, RecWithoutDataEndsAtItsTimeout) {
  EXPECT_EQ(server.Rec(), "");
  server.ReceiveTimeout = 50;
  EXPECT_EQ(server.Rec(), "");
}

TEST_F(TCPServerTest, BytesOfAPeerThatLeftStayReadable) {
  {
    TUniqueFd peer = Call(server.BoundPort());
    ASSERT_TRUE(peer.Valid());
    WaitFor([&] { return server.IsConnected(); });
    EXPECT_EQ(server.IP(), "127.0.0.1");
    TTcpPeer::Write(peer.Get(), "12345");
  }
  WaitFor([&] { return !server.IsConnected(); });
  server.ReceiveTimeout = 100;
  EXPECT_EQ(server.Rec(), "12345");
  auto infos = sink.Infos();
  ASSERT_EQ(infos.size(), 3u);
  EXPECT_EQ(infos[1], "(Inbound) Connected to 127.0.0.1");
  EXPECT_EQ(infos[2], "Disconnected from 127.0.0.1");
  bool incoming = false;
  for (const auto& l : sink.Snapshot()) incoming = incoming || (l.Kind == TLoggedLine::Received && l.Text == "12345");
  EXPECT_TRUE(incoming);
}

TEST_F(TCPServerTest, ExchangeWithFrameCheckOverIPv6) {
  TUniqueFd peer = Call(server.BoundPort(), true);
  ASSERT_TRUE(peer.Valid());
  WaitFor([&] { return server.IsConnected(); });
  EXPECT_EQ(server.IP(), "::1");
  server.Send("request");
  EXPECT_EQ(TTcpPeer::Read(peer.Get(), 7), "request");
  TTcpPeer::Write(peer.Get(), "frame1frame2");
  server.ReceiveTimeout = 1000;
  server.CheckFrameCompleteCallBack = [](TProtocolLayerAbstract&, const PduStr& s) { return s.size() == 6; };
  EXPECT_EQ(server.Rec(), "frame1");
  EXPECT_EQ(server.Rec(), "frame2");
  test::ExpectError<EProtocolLayerTCPServer>([&] { server.SetPort(server.Port() + 1); }, "\"TCPServer\" is connected, cannot change parameter");
  server.Disconnect();
  EXPECT_FALSE(server.IsConnected());
  EXPECT_EQ(TTcpPeer::Read(peer.Get(), 1, 500), "");  // closed on the peer's side too
}

TEST_F(TCPServerTest, SecondPeerIsRefusedAndSendNeedsAPeer) {
  test::ExpectError<EProtocolLayerTCPServer>([&] { server.Send("x"); }, "\"TCPServer\" is not connected");
  TUniqueFd first = Call(server.BoundPort());
  WaitFor([&] { return server.IsConnected(); });
  TUniqueFd second = Call(server.BoundPort());
  EXPECT_EQ(TTcpPeer::Read(second.Get(), 1, 1000), "");
  server.Send("still first");
  EXPECT_EQ(TTcpPeer::Read(first.Get(), 11), "still first");
}

TEST_F(TCPServerTest, DisconnectWithoutPeerReturns) {
  server.Disconnect();
  EXPECT_FALSE(server.IsConnected());
  EXPECT_TRUE(server.IsListening());
}

}  // namespace
}  // namespace quillon
