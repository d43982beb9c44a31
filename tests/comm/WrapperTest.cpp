#include <gtest/gtest.h>

#include "TestSupport.h"
#include "comm/MidLayers.h"

namespace quillon {
namespace {

using test::Hex;
using test::TRecordingSink;
using test::TScript;
using test::TTcpPeer;

std::string HexOf(const PduStr& s) { return TMisc::ByteStrToHexStr(s); }

TEST(WrapperFrames, MakeRequestPdu) {
  TProtocolLayerWrapper w;
  w.ClientAddress = 16;
  w.ServerAddress = 1;
  PduStr pdu;
  THeaderHelper h;
  w.MakeRequestPdu(Hex("C001C1"), pdu, h);
  EXPECT_EQ(HexOf(pdu), "0001001000010003C001C1");
  EXPECT_EQ(h.H.DataLength, 3);
  // A port is 16 bits: larger addresses are refused, not cut to another port.
  w.ClientAddress = 0xFFFF;
  w.ServerAddress = 0;
  w.MakeRequestPdu("", pdu, h);
  EXPECT_EQ(HexOf(pdu), "0001FFFF00000000");
  w.ClientAddress = 0x10010;
  test::ExpectError<EProtocolLayerWrapper>([&] { w.MakeRequestPdu("", pdu, h); },
                                           "ClientAddress: 65552 is not in the range 0..65535");
  w.ClientAddress = 16;
  w.ServerAddress = 65536;
  test::ExpectError<EProtocolLayerWrapper>([&] { w.MakeRequestPdu("", pdu, h); },
                                           "ServerAddress: 65536 is not in the range 0..65535");
  w.ServerAddress = -1;
  test::ExpectError<EProtocolLayerWrapper>([&] { w.MakeRequestPdu("", pdu, h); },
                                           "ServerAddress: -1 is not in the range 0..65535");
}

TEST(WrapperFrames, IsWPduOnPartialFrames) {
  const std::pair<const char*, bool> cases[] = {
      {"00010010000100", false},          // 7 bytes
      {"0002001000010000", false},        // version 2
      {"00010010000100030102", false},    // 3 announced, 2 there
      {"0001001000010003010203", true},   // the third arrived
      {"000100100001000301020304", true}, // more than announced
      {"0001001000010000", true},
  };
  for (const auto& [hex, complete] : cases) EXPECT_EQ(TProtocolLayerWrapper::IsWPdu(Hex(hex)), complete) << hex;
}

TEST(WrapperFrames, ListingAndPayload) {
  std::vector<std::string> lines;
  TProtocolLayerWrapper::WPduGetAsStrings(Hex("00010001001000026162"), lines, 2);
  EXPECT_EQ(lines, (std::vector<std::string>{"  WPDU(", "    Version: 1, SrcWPort:1, DstWPort:16, Length:2",
                                             "    Data:'6162'", "  )"}));
  const std::pair<const char*, const char*> cases[] = {
      {"00 01 00 10 00 01 00 06 E6 E7 00 C4 01", "C401"},
      {"00-01-00-10-00-01-00-03\r\n61 29 A1", "6129A1"},
      {"0001001000010000", ""},
      {"0001001000010002E6E7", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(TProtocolLayerWrapper::GetHexAPduPayLoad(in), out) << in;
  EXPECT_THROW(TProtocolLayerWrapper::GetHexAPduPayLoad("000"), EGeneralError);
}

class WrapperTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::SetUpWrapperStack(tcp, w, peer.Port(), 200);
    w.LogProc = [this](const std::vector<std::string>& l) { listing.insert(listing.end(), l.begin(), l.end()); };
  }
  void TearDown() override {
    w.LogProc = nullptr;
    tcp.Disconnect();
  }
  // A peer that answers each request with the next of `answers` ("" = silence).
  TScript Answering(std::vector<PduStr> answers) {
    return TScript([this, answers] {
      TUniqueFd c = peer.Accept();
      for (const PduStr& a : answers) {
        PduStr header = TTcpPeer::Read(c.Get(), 8);
        if (header.size() < 8) return;
        TTcpPeer::Read(c.Get(), THeaderHelper::FromBytes(header).H.DataLength);
        TTcpPeer::Write(c.Get(), a);
      }
      TTcpPeer::Read(c.Get(), 1, 1000);
    });
  }
  void ExpectWrapperError(const PduStr& apdu, const std::string& message) {
    test::ExpectError<EProtocolLayerWrapper>([&] { w.SendRec(apdu); }, message);
  }
  TRecordingSink sink;
  TTcpPeer peer;
  TProtocolLayerTCPClient& tcp = LowerLayers().TCPClient;
  TProtocolLayerWrapper& w = WRAPPERLayers().WRAPPER(1);
  std::vector<std::string> listing;
};

TEST_F(WrapperTest, ChecksOfTheAnswerHeader) {
  TScript meter = Answering({Hex("000100010010 0002 AABB"), Hex("000100020010 0002 AABB"),
                             Hex("000100010011 0002 AABB"), Hex("000200010010 0000"), Hex("0001000100"),
                             Hex("000100010010 0000")});
  w.Connect();
  EXPECT_EQ(HexOf(w.SendRec(Hex("C001C1"))), "AABB");
  ExpectWrapperError(Hex("C0"), "Illegal Src in response WPDU, expected=1, received=2");
  ExpectWrapperError(Hex("C0"), "Illegal Dst in response WPDU, expected=16, received=17");
  ExpectWrapperError(Hex("C0"), "Illegal version 2 in response WPDU");
  ExpectWrapperError(Hex("C0"), "Illegal WPDU");  // 5 bytes, then silence
  EXPECT_TRUE(w.IsConnected());                   // a bad answer keeps the connection
  EXPECT_EQ(w.SendRec(Hex("C0")), "");
  ASSERT_GE(listing.size(), 2u);
  EXPECT_EQ(listing[0], std::string(20, ' ') + "WRAPPER[1] Sent 0001001000010003C001C1");
  EXPECT_EQ(listing[1].substr(20), "WRAPPER[1] Rec 0001000100100002AABB");
  w.Disconnect();
}

TEST_F(WrapperTest, SilentPeerGivesNoResponseAndTheConnectionStaysUsable) {
  TScript meter = Answering({PduStr(), Hex("0001000100100001CC")});
  w.Connect();
  test::ExpectError<ENoResponse>([&] { w.SendRec(Hex("C0")); }, "No response");
  EXPECT_EQ(listing.back().substr(20), "WRAPPER[1] Rec (timeout)");
  // The silent peer answers the next request (its first read took both).
  EXPECT_EQ(HexOf(w.SendRec(Hex("C1"))), "CC");
  w.Disconnect();
}

TEST_F(WrapperTest, ShortAnswerIsCollectedUntilTimeoutAndReturnedWhole) {
  TScript meter = Answering({Hex("000100010010 000A 01020304")});
  w.Connect();
  EXPECT_EQ(HexOf(w.SendRec(Hex("C0"))), "01020304");
  w.Disconnect();
}

TEST_F(WrapperTest, EmptyApduOnlyListensButStillChecksPorts) {
  TScript meter([this] {
    TUniqueFd c = peer.Accept();
    TTcpPeer::Write(c.Get(), Hex("000100010010 0001 DD"));
    TTcpPeer::Write(c.Get(), Hex("000100050010 0001 DD"));
    TTcpPeer::Read(c.Get(), 1, 1000);
  });
  w.Connect();
  EXPECT_EQ(HexOf(w.SendRec("")), "DD");
  ExpectWrapperError("", "Illegal Src in response WPDU, expected=1, received=5");
  w.Disconnect();
}

TEST_F(WrapperTest, RecAdoptsThePortsAndSendSendsAHeaderEvenWhenEmpty) {
  TScript meter([this] {
    TUniqueFd c = peer.Accept();
    EXPECT_EQ(HexOf(TTcpPeer::Read(c.Get(), 8)), "0001001000010000");
    TTcpPeer::Write(c.Get(), Hex("000100030020 0001 EE"));
    TTcpPeer::Read(c.Get(), 1, 1000);
  });
  w.Connect();
  w.Send("");
  EXPECT_EQ(HexOf(w.Rec()), "EE");
  EXPECT_EQ(w.ServerAddress, 3);
  EXPECT_EQ(w.ClientAddress, 32);
  w.Disconnect();
  w.ClientAddress = 16;
  w.ServerAddress = 1;
}

TEST_F(WrapperTest, ReleaseDelaySpacesOutgoingFrames) {
  TScript meter([this] {
    TUniqueFd c = peer.Accept();
    TTcpPeer::Read(c.Get(), 16, 1000);
    TTcpPeer::Read(c.Get(), 1, 1000);
  });
  w.Connect();
  w.MinOutWPduFramesDelay = 200;
  w.Send("");
  w.Send("");
  w.MinOutWPduFramesDelay = 0;
  ASSERT_EQ(listing.size(), 2u);
  unsigned wait = 0;
  ASSERT_EQ(sscanf(listing[1].c_str() + 20, "WRAPPER[1] Wait %u then send", &wait), 1) << listing[1];
  EXPECT_GT(wait, 0u);
  EXPECT_LE(wait, 200u);
  w.Disconnect();
}

TEST_F(WrapperTest, ClearInputBufferIsNotOffered) { EXPECT_THROW(w.ClearInputBuffer(), EAssertionFailed); }

TEST_F(WrapperTest, UnknownSupportingLayerFailsAtFirstUse) {
  TProtocolLayerWrapper& w2 = WRAPPERLayers().WRAPPER(2);
  w2.SupportingLayer = "Modem";
  test::ExpectError<EGeneralError>([&] { w2.Connect(); }, "Lower Layer \"Modem\" unknown");
  w2.SupportingLayer = "TCPClient";
}

}  // namespace
}  // namespace quillon
