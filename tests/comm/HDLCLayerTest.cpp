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

std::string HexOf(const PduStr& s) { return TMisc::ByteStrToHexStr(s); }
const PduStr kLLC = Hex("E6E700");

TEST(HDLCFrameCheck, IsHDLCPduOnPartialAndSharedFlagFrames) {
  const PduStr rr = MeterFrame(fkRR, true);  // 9 bytes, length 7
  const std::pair<PduStr, bool> cases[] = {
      {rr.substr(0, 2), false},
      {rr.substr(0, 8), false},
      {rr, true},
      {rr.substr(1, 7), false},  // opening flag shared with the frame before
      {rr.substr(1), true},
      {Hex("313233"), false},
  };
  for (const auto& [s, complete] : cases) EXPECT_EQ(TProtocolLayerHDLC::IsHDLCPdu(s), complete) << HexOf(s);
  PduStr seg = MeterFrame(fkI, true, 0, 0, "abc", true);
  EXPECT_TRUE(TProtocolLayerHDLC::IsHexFrameSegmented(HexOf(seg)));
  EXPECT_FALSE(TProtocolLayerHDLC::IsHexFrameSegmented(TMisc::ByteStrToSpacedHexStr(rr)));
  EXPECT_EQ(TProtocolLayerHDLC::GetHexFrameHexInfo(HexOf(seg)), "616263");
  EXPECT_EQ(TProtocolLayerHDLC::GetHexFrameHexInfo(HexOf(rr)), "");
  EXPECT_THROW(TProtocolLayerHDLC::GetHexFrameHexInfo("7EA"), EGeneralError);
}

TEST(HDLCLayerAlone, SendRecBeforeTheFirstConnectFails) {
  TProtocolLayerHDLC fresh;
  fresh.Name = "HDLC[9]";
  test::ExpectError<EProtocolLayerHDLC>([&] { fresh.SendRec("x"); }, "\"HDLC[9]\" is not connected");
}

class HDLCTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::SetUpHDLCStack(serial, hdlc, meter.Path());
    hdlc.LogProc = [this](const std::vector<std::string>& l) { listing.insert(listing.end(), l.begin(), l.end()); };
  }
  void TearDown() override {
    hdlc.LogProc = nullptr;
    hdlc.InactivityTimeout = 0;
    hdlc.PollingInterval = 1000;
    if (hdlc.IsConnected()) {
      TScript m([this] {
        meter.ReadFrame(500);
        meter.Write(MeterFrame(fkUA, true));
      });
      hdlc.Disconnect();
    }
    serial.Disconnect();
    serial.SetDevicePath("");
  }
  void ConnectLink(const PduStr& uaInfo = PduStr()) {
    TScript m([this, uaInfo] {
      EXPECT_EQ(meter.ExpectFrame().Kind(), fkSNRM);
      meter.Write(MeterFrame(fkUA, true, 0, 0, uaInfo));
    });
    hdlc.Connect();
  }
  // The meter expects an I frame with the given sequence numbers.
  TFrame ExpectI(int ns, int nr) {
    TFrame f = meter.ExpectFrame();
    EXPECT_EQ(f.Kind(), fkI);
    EXPECT_EQ(f.SSequenceNr, ns);
    EXPECT_EQ(f.RSequenceNr, nr);
    return f;
  }
  TFrame ExpectRR(int nr) {
    TFrame f = meter.ExpectFrame();
    EXPECT_EQ(f.Kind(), fkRR);
    EXPECT_EQ(f.RSequenceNr, nr);
    EXPECT_TRUE(f.PollFinal);
    return f;
  }
  template <class E>
  void ExpectSendRecError(const PduStr& apdu, const std::string& message) {
    test::ExpectError<E>([&] { hdlc.SendRec(apdu); }, message);
  }

  TRecordingSink sink;
  TPtyMeter meter;
  TProtocolLayerSerial& serial = LowerLayers().Serial(1);
  TProtocolLayerHDLC& hdlc = HDLCLayers().HDLC(1);
  std::vector<std::string> listing;
};

TEST_F(HDLCTest, SNRMWithoutParametersAndUAWithDefaults) {
  TScript m([this] {
    PduStr snrm = meter.ReadFrame();
    ASSERT_EQ(snrm.size(), 9u);
    EXPECT_EQ(HexOf(snrm.substr(0, 6)), "7EA007032193");
    meter.Write(MeterFrame(fkUA, true, 0, 0, Hex("818012050180060180070400000001080400000001")));
  });
  hdlc.Connect();
  m.Join();
  EXPECT_TRUE(hdlc.IsConnected());
  EXPECT_EQ(hdlc.State(), hpNRM);
  EXPECT_EQ(hdlc.MaxInfoFieldLengthTransmit, 128);
  EXPECT_EQ(hdlc.MaxInfoFieldLengthReceive, 128);
  EXPECT_EQ(hdlc.WindowSizeTransmit, 1);
  EXPECT_EQ(hdlc.WindowSizeReceive, 1);
  // the listing of the SNRM as sent
  ASSERT_GE(listing.size(), 5u);
  EXPECT_EQ(listing[0].substr(0, 25), std::string(20, ' ') + "Sent ");
  EXPECT_EQ(listing[1], std::string(24, ' ') + "Frame(");
  EXPECT_EQ(listing[2], std::string(26, ' ') + "Kind:SNRM, Dst:'01', Src:'10', P/F:1, Seg:0");
}

TEST_F(HDLCTest, SNRMProposesOtherLengthsAndUAGrantsAreMapped) {
  hdlc.InformationFieldLength = 512;
  TScript m([this] {
    TFrame snrm = meter.ExpectFrame();
    EXPECT_EQ(HexOf(snrm.FData), "8180080502020006020200");
    meter.Write(MeterFrame(fkUA, true, 0, 0, Hex("81800D 05020100 060140 070103 080102")));
  });
  hdlc.Connect();
  m.Join();
  EXPECT_EQ(hdlc.MaxInfoFieldLengthReceive, 256);
  EXPECT_EQ(hdlc.MaxInfoFieldLengthTransmit, 64);
  EXPECT_EQ(hdlc.WindowSizeReceive, 3);
  EXPECT_EQ(hdlc.WindowSizeTransmit, 2);
}

TEST_F(HDLCTest, FailedLinkSetUps) {
  struct Case {
    PduStr answer;
    std::string message;
  } cases[] = {
      {MeterFrame(fkUA, true, 0, 0, Hex("81800309010A")), "Illegal UA data"},
      {MeterFrame(fkUA, true, 0, 0, Hex("818004050201")), "Illegal UA data"},  // value past the end
      {MeterFrame(fkUA, true, 0, 0, Hex("818003060100")), "Illegal UA data"},  // nothing may be sent
      {MeterFrame(fkDM, true), "Unexpected response to SNRM frame (DM)"},
      {PduStr(), "No response to SNRM"},
  };
  for (const Case& c : cases) {
    TScript m([this, answer = c.answer] {
      meter.ReadFrame();
      meter.Write(answer);
    });
    test::ExpectError<EGeneralError>([&] { hdlc.Connect(); }, c.message);
    EXPECT_EQ(hdlc.State(), hpNDM);
    EXPECT_FALSE(hdlc.IsConnected());
  }
  PduStr badFcs = MeterFrame(fkUA, true, 0, 0, Hex("8180"));
  badFcs[badFcs.size() - 2] ^= 1;
  TScript m([&] {
    meter.ReadFrame();
    meter.Write(badFcs);
  });
  EXPECT_THROW(hdlc.Connect(), EFrame);
}

TEST_F(HDLCTest, AddressSettersRefuseValuesThatWrapAndKeepTheOldOne) {
  const struct {
    void (TProtocolLayerHDLC::*set)(int32_t);
    int32_t value;
    const char* message;
  } cases[] = {
      {&TProtocolLayerHDLC::SetClientAddress, 128, "ClientAddress: 128 is not in the range 0..127"},
      {&TProtocolLayerHDLC::SetClientAddress, -1, "ClientAddress: -1 is not in the range 0..127"},
      {&TProtocolLayerHDLC::SetServerUpperAddress, 16384, "ServerUpperAddress: 16384 is not in the range 0..16383"},
      {&TProtocolLayerHDLC::SetServerLowerAddress, 65535, "ServerLowerAddress: 65535 is not in the range 0..16383"},
      {&TProtocolLayerHDLC::SetServerLowerAddress, -5, "ServerLowerAddress: -5 is not in the range 0..16383"},
  };
  TProtocolLayerHDLC& layer = hdlc;
  for (const auto& c : cases) {
    const auto set = c.set;
    const int32_t value = c.value;
    test::ExpectError<EProtocolLayerHDLC>([&layer, set, value] { (layer.*set)(value); }, c.message);
  }
  EXPECT_EQ(hdlc.ClientAddress(), 16);
  EXPECT_EQ(hdlc.ServerUpperAddress(), 1);
  EXPECT_EQ(hdlc.ServerLowerAddress(), 0);
  // The largest values of each part are taken.
  hdlc.SetClientAddress(127);
  hdlc.SetServerUpperAddress(16383);
  hdlc.SetServerLowerAddress(16383);
  EXPECT_EQ(hdlc.ClientAddress(), 127);
  EXPECT_EQ(hdlc.ServerLowerAddress(), 16383);
}

TEST_F(HDLCTest, AddressTooLargeForTheChosenFormSendsNothing) {
  // Each part is within the setters' range, but the two-byte form holds 0..127.
  hdlc.SetServerAddressSize(2);
  hdlc.SetServerLowerAddress(200);
  test::ExpectError<EFrame>([&] { hdlc.Connect(); },
                            "Destination lower address (2-byte form): 200 is not in the range 0..127");
  EXPECT_TRUE(listing.empty());  // every frame that leaves is listed
  EXPECT_EQ(hdlc.State(), hpNDM);
  // The four-byte form carries it.
  hdlc.SetServerAddressSize(4);
  TScript m([this] {
    TFrame snrm = meter.ExpectFrame();
    EXPECT_EQ(snrm.DstAddress.FSize, 4);
    EXPECT_EQ(snrm.DstAddress.FLower, 200);
    meter.Write(MeterFrame(fkUA, true));
  });
  hdlc.Connect();
  m.Join();
  EXPECT_TRUE(hdlc.IsConnected());
}

TEST_F(HDLCTest, ThreeHundredByteApduGoesOutInThreeFrames) {
  ConnectLink();
  PduStr apdu;
  for (int i = 0; i < 300; ++i) apdu += static_cast<char>(i);
  TScript m([&] {
    PduStr got;
    const size_t sizes[] = {128, 128, 47};
    for (int k = 0; k < 3; ++k) {
      TFrame f = ExpectI(k, 0);
      EXPECT_EQ(f.FData.size(), sizes[k]);
      EXPECT_EQ(f.Segmented, k < 2);
      got += f.FData;
      if (k < 2) meter.Write(MeterFrame(fkRR, true, static_cast<uint8_t>(k + 1)));
    }
    EXPECT_EQ(got, Hex("E6E600") + apdu);
    meter.Write(MeterFrame(fkI, true, 3, 0, kLLC + "resp"));
  });
  EXPECT_EQ(hdlc.SendRec(apdu), "resp");
  EXPECT_EQ(hdlc.SSN, 3);
  EXPECT_EQ(hdlc.RSN, 1);
  EXPECT_EQ(hdlc.InfoFragments[2].size(), 47u);
}

TEST_F(HDLCTest, SegmentedAnswerIsCollectedWithRRPolls) {
  ConnectLink();
  TScript m([&] {
    ExpectI(0, 0);
    meter.Write(MeterFrame(fkI, true, 1, 0, kLLC + "ab", true));
    ExpectRR(1);
    meter.Write(MeterFrame(fkI, true, 1, 1, "cd", true));
    ExpectRR(2);
    meter.Write(MeterFrame(fkI, true, 1, 2, "ef"));
  });
  EXPECT_EQ(hdlc.SendRec("req"), "abcdef");
}

TEST_F(HDLCTest, UIFramesFromTheMeterAreSkipped) {
  ConnectLink();
  TScript m([&] {
    ExpectI(0, 0);
    meter.Write(MeterFrame(fkUI, false, 0, 0, "event"));
    SleepMs(20);
    // sent with its opening flag shared with the UI frame's closing flag
    meter.Write(MeterFrame(fkI, true, 1, 0, kLLC + "answer").substr(1));
  });
  EXPECT_EQ(hdlc.SendRec("req"), "answer");
}

TEST_F(HDLCTest, RNRThenRRAndAnRROnTheLastSegment) {
  ConnectLink();
  TScript m([&] {
    ExpectI(0, 0);
    meter.Write(MeterFrame(fkRNR, true, 1));
    ExpectRR(0);
    meter.Write(MeterFrame(fkRR, true, 1));  // acknowledged, answer still due
    ExpectRR(0);
    meter.Write(MeterFrame(fkI, true, 1, 0, kLLC + "late"));
  });
  EXPECT_EQ(hdlc.SendRec("req"), "late");
}

TEST_F(HDLCTest, ProtocolViolationsOfTheAnswer) {
  ConnectLink();
  {
    TScript m([&] {
      ExpectI(0, 0);
      meter.Write(MeterFrame(fkI, true, 1, 0, Hex("E6E600") + "x"));
    });
    ExpectSendRecError<EProtocolLayerHDLC>("req", "LLC prefix missing");
  }
  {
    TScript m([&] {
      ExpectI(1, 1);
      meter.Write(MeterFrame(fkI, true, 5, 1, kLLC));
    });
    ExpectSendRecError<EProtocolLayerHDLC>("req", "R(S)/N(S) synchronization lost");
  }
  {
    TScript m([&] {
      ExpectI(2, 1);
      meter.Write(MeterFrame(fkFRMR, true));
    });
    ExpectSendRecError<EProtocolLayerHDLC>("req", "Unexpected frame FRMR.");
    EXPECT_TRUE(hdlc.IsConnected());
  }
  {
    TScript m([&] {
      ExpectI(3, 1);
      meter.Write(MeterFrame(fkDM, true));
    });
    ExpectSendRecError<EProtocolLayerHDLC>("req", "Unexpected frame DM.");
    EXPECT_FALSE(hdlc.IsConnected());
  }
}

TEST_F(HDLCTest, SilentMeterGivesNoResponseAfterOnePoll) {
  ConnectLink();
  TScript m([&] {
    ExpectI(0, 0);
    ExpectRR(0);
    EXPECT_TRUE(meter.Silent(150));
  });
  ExpectSendRecError<ENoResponse>("req", "No response");
  EXPECT_TRUE(hdlc.IsConnected());
}

TEST_F(HDLCTest, EndlessRRWhileCollectingGivesNoResponse) {
  ConnectLink();
  TScript m([&] {
    ExpectI(0, 0);
    meter.Write(MeterFrame(fkI, true, 1, 0, kLLC, true));
    for (int i = 0; i < 11; ++i) {
      ExpectRR(1);
      meter.Write(MeterFrame(fkRR, true, 1));
    }
  });
  ExpectSendRecError<ENoResponse>("req", "No response");
}

TEST_F(HDLCTest, BadFrameAndBrokenFrameThenTheLinkIsSetUpAgain) {
  ConnectLink();
  {
    PduStr bad = MeterFrame(fkI, true, 1, 0, kLLC + "data");
    bad[12] ^= 0x40;
    TScript m([&] {
      ExpectI(0, 0);
      meter.Write(bad);
    });
    ExpectSendRecError<EFrame>("req", "Illegal FCS");
  }
  {
    PduStr whole = MeterFrame(fkI, true, 1, 0, kLLC + "data");
    TScript m([&] {
      ExpectI(1, 0);
      meter.Write(whole.substr(0, 10));  // the meter stops in the middle
    });
    ExpectSendRecError<EFrame>("req", Format("Frame length subfield value (%d) does not match frame length (8)",
                                             static_cast<int>(whole.size()) - 2));
  }
  TScript m([&] {
    EXPECT_EQ(meter.ExpectFrame().Kind(), fkDISC);
    meter.Write(MeterFrame(fkUA, true));
  });
  hdlc.Disconnect();
  m.Join();
  EXPECT_FALSE(serial.IsConnected());  // closing the link closes the port
  ConnectLink();
  EXPECT_EQ(hdlc.SSN, 0);
  TScript again([&] {
    ExpectI(0, 0);
    meter.Write(MeterFrame(fkI, true, 1, 0, kLLC + "fine"));
  });
  EXPECT_EQ(hdlc.SendRec("req"), "fine");
}

TEST_F(HDLCTest, UnconfirmedSendOnlyWithoutALink) {
  ConnectLink();
  test::ExpectError<EGeneralError>([&] { hdlc.UnconfirmedSend("x"); }, "Wrong assertion (1109)");
  EXPECT_TRUE(meter.Silent(50));
  TScript m([&] {
    meter.ReadFrame();
    meter.Write(MeterFrame(fkUA, true));
  });
  hdlc.Disconnect();
  m.Join();
  serial.Connect();
  hdlc.UIFrameLength = 10;
  hdlc.UnconfirmedSend("0123456789ABCDE");  // 18 bytes with the LLC header
  TFrame a = meter.ExpectFrame(), b = meter.ExpectFrame();
  EXPECT_EQ(a.Kind(), fkUI);
  EXPECT_TRUE(a.Segmented);
  EXPECT_FALSE(a.PollFinal);
  EXPECT_EQ(a.FData, Hex("E6E600") + "0123456");
  EXPECT_FALSE(b.Segmented);
  EXPECT_EQ(b.FData, "789ABCDE");
}

TEST_F(HDLCTest, KeepAlivePollsAnIdleLinkOnly) {
  ConnectLink();
  hdlc.PollingInterval = 10;
  EXPECT_TRUE(meter.Silent(60));  // InactivityTimeout 0: never
  hdlc.InactivityTimeout = 1;
  TFrame f = meter.ExpectFrame(2000);
  EXPECT_EQ(f.Kind(), fkRR);
  hdlc.InactivityTimeout = 0;
  meter.Write(MeterFrame(fkRR, true, 0));
  // The keep-alive shares the lock with exchanges: the next exchange is intact.
  SleepMs(30);
  hdlc.ClearInputBuffer();
  meter.Read(1000, 50);
  TScript m([&] {
    ExpectI(0, 0);
    meter.Write(MeterFrame(fkI, true, 1, 0, kLLC + "ok"));
  });
  EXPECT_EQ(hdlc.SendRec("req"), "ok");
}

TEST_F(HDLCTest, ListingOfTimeoutAndIllegalFrame) {
  ConnectLink();
  listing.clear();
  TScript m([&] {
    ExpectI(0, 0);
    meter.Write(Hex("7EA0050102037E"));
  });
  EXPECT_THROW(hdlc.SendRec("req"), EFrame);
  ASSERT_GE(listing.size(), 2u);
  EXPECT_EQ(listing.back().substr(20), "    Illegal frame");
  EXPECT_EQ(listing[listing.size() - 2].substr(20), "Rec 7EA0050102037E");
}

}  // namespace
}  // namespace quillon
