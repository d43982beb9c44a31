#include <gtest/gtest.h>

#include "FaultProxy.h"
#include "comm/MidLayers.h"

namespace quillon {
namespace {

using test::Hex;
using test::MeterFrame;
using test::TFault;
using test::TScript;

const PduStr kLLC = Hex("E6E700");

// The HDLC stack on a serial line with a fault relay between the port and a
// scripted meter (server 1, client 16).
class HDLCFaultTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::SetUpHDLCStack(serial, hdlc, relay.Path());
  }
  void TearDown() override {
    if (hdlc.IsConnected()) Unlink();
    serial.Disconnect();
    serial.SetDevicePath("");
  }
  void Link() {
    TScript m([this] {
      EXPECT_EQ(meter.ExpectFrame().Kind(), fkSNRM);
      meter.Write(MeterFrame(fkUA, true));
    });
    hdlc.Connect();
  }
  void Unlink() {
    TScript m([this] {
      meter.ReadFrame(500);
      meter.Write(MeterFrame(fkUA, true));
    });
    hdlc.Disconnect();
  }
  // One request; the meter answers the I frame (ns, nr) with the I frame
  // (nr + 1 ... ) that carries "ans", then ignores whatever poll follows.
  // Returns the error text, or the answer.
  std::string Exchange(uint8_t ns, uint8_t nr) {
    TScript m([=, this] {
      TFrame f = meter.ExpectFrame();
      EXPECT_EQ(f.Kind(), fkI);
      EXPECT_EQ(f.SSequenceNr, ns);
      meter.Write(MeterFrame(fkI, true, static_cast<uint8_t>((ns + 1) % 8), nr, kLLC + "ans"));
      meter.ReadFrame(300);  // a poll of a client that got nothing stays unanswered
    });
    try {
      return hdlc.SendRec("req");
    } catch (const EGeneralError& e) {
      return e.what();
    }
  }

  test::TPtyMeter meter;
  test::TPtyFaultRelay relay{meter.Path()};
  TProtocolLayerSerial& serial = LowerLayers().Serial(1);
  TProtocolLayerHDLC& hdlc = HDLCLayers().HDLC(1);
};

// The meter's answer frame is 17 bytes: flag, format (2), addresses (2),
// control, HCS (2), information (6), FCS (2), flag.
TEST_F(HDLCFaultTest, EachFaultGivesItsErrorAndTheLinkIsSetUpAgain) {
  const struct {
    TFault fault;
    size_t arg;
    const char* error;  // what the faulty exchange reports
  } cases[] = {
      {TFault::Drop, 0, "No response"},
      {TFault::Hold, 0, "No response"},
      {TFault::Truncate, 10, "Frame length subfield value (15) does not match frame length (8)"},
      {TFault::Corrupt, 6, "Illegal HCS"},
      {TFault::Corrupt, 10, "Illegal FCS"},
      {TFault::Corrupt, 16, "Illegal closing flag"},
      // The line hangs up while the answer is due (an unplugged adapter).
      {TFault::Reset, 0, "(4) Input/output error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(test::FaultName(c.fault)) + " " + std::to_string(c.arg));
    Link();
    relay.Arm(c.fault, c.arg);
    EXPECT_EQ(Exchange(0, 0), c.error);
    if (c.fault == TFault::Hold) relay.ReleaseHeld();  // the late answer arrives
    // What the application does after a failed exchange, whose sequence
    // numbers are unknown: close the link and set it up again (on the new
    // line after a hang-up, whose dead port the layer has closed); the next
    // request then gets its answer.
    Unlink();
    Link();
    EXPECT_EQ(Exchange(0, 0), "ans");
    Unlink();
  }
  EXPECT_EQ(relay.HangUps(), 1);
}

// A frame that arrives twice: the first copy answers the request; the copy
// must not be taken for the answer to the next one.
TEST_F(HDLCFaultTest, DuplicatedAnswerIsNotTakenForTheNextOne) {
  Link();
  relay.Arm(TFault::Duplicate);
  EXPECT_EQ(Exchange(0, 0), "ans");
  EXPECT_EQ(Exchange(1, 1), "ans");
  EXPECT_EQ(Exchange(2, 2), "ans");
}

}  // namespace
}  // namespace quillon
