// The client engine, through its exported interface, over the wrapper stack
// with a fault proxy in front of the meter simulator.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "FaultProxy.h"
#include "comm/MidLayers.h"
#include "engine/DLMSProtocol.h"
#include "tools/meter-sim/SimTransport.h"

namespace quillon {
namespace {

using test::TFault;

// The application's transport function: every APDU through the wrapper mid
// layer; a transport error becomes the callback's failure text.
int32_t SendReceive(PDLMSProtocolContext ctx, const uint8_t* out, int32_t outLength, uint8_t* in, int32_t maxIn,
                    int32_t* inLength) {
  try {
    PduStr answer;
    MidLayerWRAPPER().SendReceiveData(ctx->ClientId, ctx->ServerId,
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

class EngineFaultTest : public ::testing::Test {
protected:
  void SetUp() override {
    model.LoadFile(std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt");
    assoc = std::make_unique<sim::TSimAssociation>(model, sim::TSimSecurity{});
    assoc->AddClient(sim::TSimClient{16, true, false, 1, {}});
    server = std::thread([this] {
      while (!stop) {
        int fd = listener.Accept(50);
        if (fd < 0) continue;
        sim::TSimLink link(fd);
        sim::ServeWrapper(link, *assoc, stop, nullptr);
      }
    });
    test::SetUpWrapperStack(tcp, WRAPPERLayers().WRAPPER(1), proxy.Port(), 500);
    MidLayerWRAPPER().WRAPPERLayer = &WRAPPERLayers().WRAPPER(1);
    ClearContext(&ctx);
    ctx.ClientId = 16;
    ctx.ServerId = 1;
    ctx.ApplicationContext = 3;
    ctx.MechanismName = 1;
    ctx.RLRQSupported = 0;
    ctx.SendReceiveDataFunc = SendReceive;
  }
  // A lost connection took the meter's association with it: drop the
  // engine's state without a release exchange and open a new one.
  void Reassociate() {
    ReleaseAA(&ctx);
    ASSERT_EQ(EstablishAA(&ctx), 0) << ctx.Result;
  }
  void TearDown() override {
    if (ctx.ReservedRef) ReleaseAA(&ctx);
    MidLayerWRAPPER().Disconnect();
    stop = true;
    server.join();
  }
  std::string Read() {
    if (ReadAttributes(&ctx, kReadSerialNumber) != 0) return ctx.Result;
    return std::strstr(ctx.Result, "51000427") ? "" : ctx.Result;
  }

  sim::TSimModel model;
  std::unique_ptr<sim::TSimAssociation> assoc;
  sim::TSimListener listener{"127.0.0.1", 0};
  std::atomic<bool> stop{false};
  std::thread server;
  test::TFaultProxy proxy{listener.Port()};
  TProtocolLayerTCPClient& tcp = LowerLayers().TCPClient;
  TDLMSProtocolContext ctx{};
};

// Each fault fails the read with its error; the stack then recovers (the mid
// layer reconnects a lost connection by itself), and once the association is
// open again where the connection was lost, the next read returns the value.
TEST_F(EngineFaultTest, EachFaultFailsTheReadAndTheNextReadWorks) {
  const struct {
    TFault fault;
    size_t arg;
    const char* error;
    bool associationLost;
    const char* orError = nullptr;
  } cases[] = {
      {TFault::Drop, 0, "No response", false},
      {TFault::Hold, 0, "No response", false},
      {TFault::Truncate, 12, "Wrong encoding in pdu", false},  // the APDU cut after four bytes
      {TFault::Corrupt, 1, "Illegal version 254 in response WPDU", false},
      {TFault::Reset, 0, "Connection reset by peer", true, "\"TCPClient\" is not connected"},
  };
  ASSERT_EQ(EstablishAA(&ctx), 0) << ctx.Result;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(test::FaultName(c.fault)) + " " + std::to_string(c.arg));
    ASSERT_EQ(Read(), "");
    proxy.Arm(c.fault, c.arg);
    std::string error = Read();
    if (c.orError && error == c.orError) error = c.error;
    EXPECT_EQ(error, c.error);
    if (c.fault == TFault::Hold) proxy.ReleaseHeld();
    if (c.associationLost) Reassociate();
    EXPECT_EQ(Read(), "");
  }
}

}  // namespace
}  // namespace quillon
