#include <gtest/gtest.h>

#include "FaultProxy.h"
#include "comm/MidLayers.h"
#include "xmlpdu/Catalogue.h"

namespace quillon {
namespace {

using test::Hex;
using test::TFault;

// GetRequestNormal for the clock's time with invoke id `id`.
PduStr GetRequest(uint8_t id) { return Hex("C001") + static_cast<char>(id) + Hex("00080000010000FF0200"); }

class WrapperFaultTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::SetUpWrapperStack(tcp, w, proxy.Port(), 300);
  }
  void TearDown() override { tcp.Disconnect(); }

  // One request through the stack and the decoding of its answer, as the
  // layer above does it. Returns the error text, or "" when the answer is
  // the one to this request.
  std::string Exchange(uint8_t id) {
    try {
      PduStr apdu = w.SendRec(GetRequest(id));
      auto pdu = MakeFromPdu<T_COSEMpdu>(xmlIgnore, apdu);
      std::string hex = TMisc::ByteStrToHexStr(pdu->Encoded());
      if (hex.substr(0, 6) != "C401" + TMisc::IntToHex(id, 2)) return "answer to another request: " + hex;
      return "";
    } catch (const EGeneralError& e) {
      return e.what();
    }
  }

  test::TWrapperMeter meter;
  test::TFaultProxy proxy{meter.Port()};
  TProtocolLayerTCPClient& tcp = LowerLayers().TCPClient;
  TProtocolLayerWrapper& w = WRAPPERLayers().WRAPPER(1);
};

// Every fault on the meter's answer gives its error within the response
// timeout; afterwards the link is usable again (reconnected where the fault
// took the connection) and the next request gets its own answer.
TEST_F(WrapperFaultTest, EachFaultGivesItsErrorAndTheNextRequestWorks) {
  const struct {
    TFault fault;
    size_t arg;
    const char* error;    // what the faulty exchange reports ("" = nothing)
    bool connectedAfter;  // the connection survives the fault
    const char* orError = nullptr;  // the same fault seen a moment earlier
  } cases[] = {
      {TFault::Drop, 0, "No response", true},
      {TFault::Hold, 0, "No response", true},
      {TFault::Truncate, 5, "Illegal WPDU", true},
      {TFault::Truncate, 12, "Wrong encoding in pdu", true},  // header whole, APDU cut
      {TFault::Duplicate, 0, "", true},
      {TFault::Corrupt, 1, "Illegal version 254 in response WPDU", true},
      {TFault::Corrupt, 3, "Illegal Src in response WPDU, expected=1, received=254", true},
      {TFault::Corrupt, 5, "Illegal Dst in response WPDU, expected=16, received=239", true},
      {TFault::Corrupt, 8, "T_COSEMpdu : illegal Tag 59", true},  // the APDU's tag
      // A reset that lands while the layer waits for the answer, or one that
      // landed before it began to wait and was seen by its connection check.
      {TFault::Reset, 0, "Connection reset by peer", false, "\"TCPClient\" is not connected"},
  };
  w.Connect();
  uint8_t id = 0x40;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(test::FaultName(c.fault)) + " " + std::to_string(c.arg));
    ASSERT_EQ(Exchange(++id), "");  // the link works before the fault
    proxy.Arm(c.fault, c.arg);
    std::string error = Exchange(++id);
    if (c.orError && error == c.orError) error = c.error;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(w.IsConnected(), c.connectedAfter);
    if (c.fault == TFault::Hold) proxy.ReleaseHeld();  // the late answer arrives
    if (!w.IsConnected()) w.Connect();
    EXPECT_EQ(Exchange(++id), "");
  }
  EXPECT_EQ(proxy.Connections(), 2);  // one reconnection, for the reset
}

}  // namespace
}  // namespace quillon
