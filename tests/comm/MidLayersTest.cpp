#include <gtest/gtest.h>

#include "TestSupport.h"
#include "comm/MidLayers.h"

namespace quillon {
namespace {

using test::Hex;
using test::MeterFrame;
using test::TPtyMeter;
using test::TRecordingSink;
using test::TScript;
using test::TTcpPeer;

const PduStr kLLC = Hex("E6E700");

// Every channel closed, without the TCP server's half-second wait.
void CloseAll() {
  LowerLayers().TCPServer.PollInterval = 20;
  LowerLayers().DisconnectAllChannels();
  LowerLayers().TCPServer.PollInterval = 500;
}

TEST(MidLayers, FixedAnswers) {
  TMidLayerHDLC& h = MidLayerHDLC();
  TMidLayerWRAPPER& w = MidLayerWRAPPER();
  h.HDLCLayer = &HDLCLayers().HDLC(1);
  w.WRAPPERLayer = &WRAPPERLayers().WRAPPER(1);
  EXPECT_EQ(h.Kind(), mlHDLC);
  EXPECT_EQ(w.Kind(), mlWrapper);
  EXPECT_FALSE(h.NeedRelease());
  EXPECT_TRUE(w.NeedRelease());
  EXPECT_TRUE(h.SupportPreEstablishedClient());
  EXPECT_TRUE(w.SupportPreEstablishedClient());
  EXPECT_EQ(&h.LowerLayer(), &LowerLayers().Serial(1));
  EXPECT_EQ(&w.LowerLayer(), &LowerLayers().TCPClient);
  EXPECT_THROW(h.ReceiveData(), EAssertionFailed);
  EXPECT_THROW(w.ReceiveData(), EAssertionFailed);  // closed
  TMidLayerHDLC unset;
  EXPECT_THROW(unset.Connected(), EAssertionFailed);
}

class HDLCMidLayerTest : public ::testing::Test {
protected:
  void SetUp() override {
    serial.SetDevicePath(meter.Path());
    serial.ResponseTimeout = 100;
    hdlc.SetSupportingLayer("Serial[1]");
    hdlc.InactivityTimeout = 0;
    hdlc.SetServerAddressSize(1);
    mid.HDLCLayer = &hdlc;
    mid.DiscToNDMTimeout = 0;
    mid.OnDisconnected = [this](TMidLayerAbstract&) { ++closes; };
    CurrentMidLayer = &mid;
  }
  void TearDown() override {
    if (mid.Connected()) {
      TScript m([this] {
        meter.ReadFrame(500);
        meter.Write(MeterFrame(fkUA, true));
      });
      mid.Disconnect();
    }
    CloseAll();
    serial.SetDevicePath("");
    serial.LogProc = nullptr;
    mid.OnDisconnected = nullptr;
    CurrentMidLayer = nullptr;
  }
  // The meter: UA to SNRM and DISC, an I answer carrying `reply` to I frames.
  void Serve(int frames, const PduStr& reply, std::vector<TFrame>* seen) {
    uint8_t rsn = 0;
    for (int i = 0; i < frames; ++i) {
      TFrame f = meter.ExpectFrame();
      if (seen) seen->push_back(f);
      if (f.Kind() == fkSNRM || f.Kind() == fkDISC) {
        rsn = 0;
        meter.Write(MeterFrame(fkUA, true));
      } else if (f.Kind() == fkI) {
        meter.Write(MeterFrame(fkI, true, static_cast<uint8_t>(f.SSequenceNr + 1), rsn++, kLLC + reply));
      }
    }
  }
  TRecordingSink sink;
  TPtyMeter meter;
  TProtocolLayerSerial& serial = LowerLayers().Serial(1);
  TProtocolLayerHDLC& hdlc = HDLCLayers().HDLC(1);
  TMidLayerHDLC& mid = MidLayerHDLC();
  int closes = 0;
};

TEST_F(HDLCMidLayerTest, ConnectsFirstReusesTheLinkAndReconnectsForAnotherServer) {
  std::vector<TFrame> seen;
  TScript m([&] { Serve(6, "r", &seen); });
  PduStr in;
  CurrentMidLayer->SendReceiveData(16, 1, "a", in);  // SNRM, I
  EXPECT_EQ(in, "r");
  CurrentMidLayer->SendReceiveData(16, 1, "b", in);  // I
  mid.DiscToNDMTimeout = 300;
  std::vector<std::string> waits;
  serial.LogProc = [&](const std::vector<std::string>& l) { waits.insert(waits.end(), l.begin(), l.end()); };
  CurrentMidLayer->SendReceiveData(16, 17, "c", in);  // DISC, wait, SNRM, I
  m.Join();
  ASSERT_EQ(seen.size(), 6u);
  const TFrameKind kinds[] = {fkSNRM, fkI, fkI, fkDISC, fkSNRM, fkI};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(seen[i].Kind(), kinds[i]) << i;
  EXPECT_EQ(seen[5].DstAddress.FUpper, 17);
  EXPECT_EQ(closes, 1);
  ASSERT_EQ(waits.size(), 1u);
  unsigned wait = 0;
  ASSERT_EQ(sscanf(waits[0].c_str(), "Waiting %u millisec. (DISCToNDMTimeout)", &wait), 1) << waits[0];
  EXPECT_GT(wait, 0u);
  EXPECT_LE(wait, 300u);
}

TEST_F(HDLCMidLayerTest, SendDataGoesOutAsUIFramesWithoutALink) {
  {
    TScript m([&] { Serve(1, "", nullptr); });
    mid.Connect(16, 1);
  }
  TScript m([&] { Serve(1, "", nullptr); });  // the DISC
  mid.SendData(16, 1, "push");
  m.Join();
  TFrame ui = meter.ExpectFrame();
  EXPECT_EQ(ui.Kind(), fkUI);
  EXPECT_EQ(ui.FData, Hex("E6E600") + "push");
  EXPECT_FALSE(mid.Connected());
  EXPECT_TRUE(serial.IsConnected());
}

class WrapperMidLayerTest : public ::testing::Test {
protected:
  void SetUp() override {
    tcp.SetIPVersion(IPv4);
    tcp.SetIP("127.0.0.1");
    tcp.SetPort(peer.Port());
    tcp.SetResponseTimeout(300);
    wrapper.SupportingLayer = "TCPClient";
    mid.WRAPPERLayer = &wrapper;
  }
  void TearDown() override { CloseAll(); }
  TRecordingSink sink;
  TTcpPeer peer;
  TProtocolLayerTCPClient& tcp = LowerLayers().TCPClient;
  TProtocolLayerWrapper& wrapper = WRAPPERLayers().WRAPPER(1);
  TMidLayerWRAPPER& mid = MidLayerWRAPPER();
};

TEST_F(WrapperMidLayerTest, NewAddressesKeepTheConnection) {
  TScript m([&] {
    TUniqueFd c = peer.Accept();
    EXPECT_EQ(TMisc::ByteStrToHexStr(TTcpPeer::Read(c.Get(), 9)), "000100100001000161");
    TTcpPeer::Write(c.Get(), Hex("0001000100100001AA"));
    EXPECT_EQ(TMisc::ByteStrToHexStr(TTcpPeer::Read(c.Get(), 9)), "000100200002000162");
    TTcpPeer::Write(c.Get(), Hex("0001000200200001BB"));
    TTcpPeer::Write(c.Get(), Hex("0001000900080001CC"));  // unasked
    TTcpPeer::Read(c.Get(), 1, 1000);
  });
  PduStr in;
  mid.SendReceiveData(16, 1, "a", in);
  EXPECT_EQ(in, "\xAA");
  mid.SendReceiveData(32, 2, "b", in);
  EXPECT_EQ(in, "\xBB");
  EXPECT_EQ(mid.ReceiveData(), "\xCC");
  EXPECT_EQ(wrapper.ServerAddress, 9);
  EXPECT_EQ(wrapper.ClientAddress, 8);
  int connects = 0;
  for (const std::string& s : sink.Infos()) connects += s == "Connecting";
  EXPECT_EQ(connects, 1);
  mid.Disconnect();
  EXPECT_FALSE(mid.Connected());
}

TEST(LowerLayersRegistry, DisconnectAllChannelsWithNothingOpen) {
  CloseAll();
  EXPECT_FALSE(LowerLayers().TCPServer.IsListening());
  EXPECT_FALSE(LowerLayers().Serial(1).IsConnected());
}

}  // namespace
}  // namespace quillon
