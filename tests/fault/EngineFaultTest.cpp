// The client engine, through its exported interface, against the meter
// simulator over both stacks with a fault injector in the line: the wrapper
// over TCP behind a loopback proxy, and HDLC over a serial line with a
// pseudo-terminal relay in it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "FaultProxy.h"
#include "engine/DLMSProtocol.h"
#include "tests/sim/SimStack.h"

namespace quillon {
namespace {

using test::TFault;

// The application's transport function: every APDU through the mid layer in
// use; a transport error becomes the callback's failure text.
int32_t SendReceive(PDLMSProtocolContext ctx, const uint8_t* out, int32_t outLength, uint8_t* in, int32_t maxIn,
                    int32_t* inLength) {
  try {
    PduStr answer;
    CurrentMidLayer->SendReceiveData(ctx->ClientId, ctx->ServerId,
                                     PduStr(reinterpret_cast<const char*>(out), static_cast<size_t>(outLength)),
                                     answer);
    if (answer.size() > static_cast<size_t>(maxIn)) throw EGeneralError("answer too long");
    std::memcpy(in, answer.data(), answer.size());
    *inLength = static_cast<int32_t>(answer.size());
    return 0;
  } catch (const std::exception& e) {
    std::snprintf(ctx->CallBackResult, sizeof ctx->CallBackResult, "%s", e.what());
    return 1;
  }
}

const char* kReadSerialNumber =
    "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0001\" />"
    "<InstanceId Value=\"00006001 00FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor></GetRequestNormal>";

struct TFaultCase {
  TFault fault;
  size_t arg;
  const char* error;  // "" = the read succeeds
  // The fault took the connection or the link, and the meter's association
  // with it: the association is opened again before the next read.
  bool associationLost;
  const char* orError = nullptr;  // the same fault seen a moment earlier
};

class EngineFaultTest : public ::testing::Test {
protected:
  void SetUp() override {
    model.LoadFile(std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt");
    assoc = std::make_unique<sim::TSimAssociation>(model, sim::TSimSecurity{});
    assoc->AddClient(sim::TSimClient{16, true, false, 1, {}});
    ClearContext(&ctx);
    ctx.ClientId = 16;
    ctx.ServerId = 1;
    ctx.ApplicationContext = 3;
    ctx.MechanismName = 1;
    ctx.RLRQSupported = 0;
    ctx.SendReceiveDataFunc = SendReceive;
  }
  void TearDown() override {
    if (ctx.ReservedRef) ReleaseAA(&ctx);
    stack.Stop();
    CurrentMidLayer = nullptr;
  }

  // The simulator's wrapper port, reached through a fault proxy.
  void StartWrapper() {
    CurrentMidLayer = &stack.StartWrapper(*assoc);
    auto& tcp = LowerLayers().TCPClient;
    auto proxy = std::make_unique<test::TFaultProxy>(tcp.Port());
    tcp.SetPort(proxy->Port());
    tcp.SetResponseTimeout(500);
    faults = std::move(proxy);
  }
  // The simulator's serial line, reached through a fault relay.
  void StartHdlc() {
    CurrentMidLayer = &stack.StartHdlc(*assoc, 16);
    auto& serial = LowerLayers().Serial(1);
    auto relay = std::make_unique<test::TPtyFaultRelay>(serial.DevicePath());
    serial.SetDevicePath(relay->Path());
    serial.ResponseTimeout = 500;
    faults = std::move(relay);
  }

  std::string Read() {
    if (ReadAttributes(&ctx, kReadSerialNumber) != 0) return ctx.Result;
    return std::strstr(ctx.Result, "51000427") ? "" : ctx.Result;
  }

  // Each fault fails the read with its error; the stack then recovers (the
  // mid layer reconnects a lost connection or sets up a closed link by
  // itself), and once the association is open again where it was lost, the
  // next read returns the value.
  void RunCases(const std::vector<TFaultCase>& cases) {
    ASSERT_EQ(EstablishAA(&ctx), 0) << ctx.Result;
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(test::FaultName(c.fault)) + " " + std::to_string(c.arg));
      ASSERT_EQ(Read(), "");
      faults->Arm(c.fault, c.arg);
      std::string error = Read();
      if (c.orError && error == c.orError) error = c.error;
      EXPECT_EQ(error, c.error);
      if (c.fault == TFault::Hold) faults->ReleaseHeld();
      if (c.associationLost) {
        // On HDLC a failed exchange leaves the sequence numbers unknown: the
        // application closes the link (which ends the meter's association).
        if (CurrentMidLayer->Kind() == mlHDLC) CurrentMidLayer->Disconnect();
        // Dropping the engine's state sends nothing (no release exchange);
        // establishing again goes over a connection or link set up anew.
        ReleaseAA(&ctx);
        ASSERT_EQ(EstablishAA(&ctx), 0) << ctx.Result;
      }
      EXPECT_EQ(Read(), "");
    }
  }

  sim::TSimModel model;
  std::unique_ptr<sim::TSimAssociation> assoc;
  sim::TSimStack stack;
  std::unique_ptr<test::TFaultRelay> faults;
  TDLMSProtocolContext ctx{};
};

TEST_F(EngineFaultTest, OverTheWrapper) {
  StartWrapper();
  RunCases({
      {TFault::Drop, 0, "No response", false},
      {TFault::Hold, 0, "No response", false},
      {TFault::Truncate, 12, "Wrong encoding in pdu", false},  // the APDU cut after four bytes
      {TFault::Corrupt, 1, "Illegal version 254 in response WPDU", false},
      {TFault::Reset, 0, "Connection reset by peer", true, "\"TCPClient\" is not connected"},
      {TFault::Duplicate, 0, "", false},  // the copy is not taken for the next answer
  });
}

// The simulator answers the read with one 36-byte I frame (two-byte server
// address: the control field at offset 6, the HCS at 7 and 8). The client
// gives up on a lost frame once its RR polls brought no I frame.
TEST_F(EngineFaultTest, OverHdlc) {
  StartHdlc();
  RunCases({
      {TFault::Drop, 0, "No response", true},
      {TFault::Hold, 0, "No response", true},
      {TFault::Truncate, 10, "Frame length subfield value (34) does not match frame length (8)", true},
      {TFault::Corrupt, 6, "Illegal kind", true},  // the control field
      {TFault::Corrupt, 8, "Illegal HCS", true},
      {TFault::Corrupt, 20, "Illegal FCS", true},
      {TFault::Reset, 0, "(4) Input/output error", true},
      {TFault::Duplicate, 0, "", false},  // the copy is not taken for the next answer
  });
}

}  // namespace
}  // namespace quillon
