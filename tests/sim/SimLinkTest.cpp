// The simulator's links driven by the client's own transport stacks:
// DLMS wrapper over loopback TCP and HDLC over a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "comm/MidLayers.h"
#include "SimStack.h"
#include "xmlpdu/ACSE.h"

using namespace quillon;
using namespace quillon::sim;
using namespace quillon::test;

namespace {

const char* kAarqLowest =
    "<AssociationRequest><ApplicationContextName Value=\"LN\" /><InitiateRequest>"
    "<ProposedDlmsVersionNumber Value=\"06\" /><ProposedConformance><ConformanceBit Name=\"Get\" />"
    "<ConformanceBit Name=\"Set\" /><ConformanceBit Name=\"BlockTransferWithGetOrRead\" /></ProposedConformance>"
    "<ProposedMaxPduSize Value=\"0200\" /></InitiateRequest></AssociationRequest>";

PduStr Encode(const std::string& xml) { return MakeFromXml<T_COSEMpdu>(xmlIgnore, xml)->Encoded(); }

class SimFixture : public ::testing::Test {
protected:
  void SetUp() override {
    model.LoadFile(std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt");
    assoc = std::make_unique<TSimAssociation>(model, TSimSecurity{});
    assoc->AddClient(TSimClient{16, true, false, 1, {}});
    assoc->AddClient(TSimClient{17, true, false, 2, PduStr("12345678")});
  }
  void TearDown() override { stack.Stop(); }
  // AARQ, a clock read that needs blocks over a small PDU, and release.
  void Converse(TMidLayerAbstract& mid, int client, int serverId) {
    PduStr answer;
    mid.SendReceiveData(client, serverId, Encode(kAarqLowest), answer);
    auto aare = MakeFromPdu<T_COSEMpdu>(xmlIgnore, answer);
    ASSERT_EQ(aare->Tag, 0x61);
    EXPECT_EQ(static_cast<T_AssociationResponse&>(*aare->Value).AssociationResult()->Value, 0);
    mid.SendReceiveData(client, serverId,
                        Encode("<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
                               "<ClassId Value=\"0001\" /><InstanceId Value=\"0.0.96.1.0.255\" /><AttributeId Value=\"02\" />"
                               "</AttributeDescriptor></GetRequestNormal></GetRequest>"),
                        answer);
    EXPECT_EQ(Hex(answer), "C401C1000A083531303030343237");
    // The object list is longer than one 512-byte APDU: first block.
    mid.SendReceiveData(client, serverId,
                        Encode("<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
                               "<ClassId Value=\"000F\" /><InstanceId Value=\"0.0.40.0.0.255\" /><AttributeId Value=\"02\" />"
                               "</AttributeDescriptor></GetRequestNormal></GetRequest>"),
                        answer);
    EXPECT_EQ(Hex(answer.substr(0, 4)), "C402C100");
    EXPECT_LE(answer.size(), 512u);
    mid.SendReceiveData(client, serverId, Encode("<ReleaseRequest><Reason Value=\"Normal\" /></ReleaseRequest>"), answer);
    EXPECT_EQ(static_cast<uint8_t>(answer[0]), 0x63);
  }
  TSimModel model;
  std::unique_ptr<TSimAssociation> assoc;
  TSimStack stack;
};

}  // namespace

TEST_F(SimFixture, WrapperOverLoopbackTcp) {
  TMidLayerAbstract& mid = stack.StartWrapper(*assoc);
  mid.Connect(16, 1);
  Converse(mid, 16, 1);
  // A wrong password is rejected with authentication-failure (13).
  PduStr answer;
  std::string aarq = kAarqLowest;
  aarq.replace(aarq.find("<InitiateRequest>"), 0,
               "<SenderACSERequirements Value=\"1\" /><MechanismName Value=\"LOW_SECURITY\" />"
               "<CallingAuthenticationValue Value=\"\\wrong\" />");
  mid.Disconnect();
  mid.Connect(17, 1);
  mid.SendReceiveData(17, 1, Encode(aarq), answer);
  auto aare = MakeFromPdu<T_COSEMpdu>(xmlIgnore, answer);
  auto& r = static_cast<T_AssociationResponse&>(*aare->Value);
  EXPECT_EQ(r.AssociationResult()->Value, 1);
  EXPECT_EQ(r.ResultSourceDiagnostic()->Diagnostic(), 13);
}

TEST_F(SimFixture, HdlcOverPseudoTerminal) {
  TMidLayerAbstract& mid = stack.StartHdlc(*assoc, 16);
  mid.Connect(16, 1);
  Converse(mid, 16, 1);
}

// Mode E: the meter answers HDLC only after the opening, at the speed the
// client's ceiling allows (9600 of the 19200 offered); after a DISC it waits
// for the opening again, which the client's reconnection repeats.
TEST_F(SimFixture, HdlcOverPseudoTerminalWithModeE) {
  // The simulator's thread may outlive the test body when it fails.
  struct TLines {
    std::mutex M;
    std::vector<std::string> Lines;
  };
  auto seen = std::make_shared<TLines>();
  TMidLayerAbstract& mid = stack.StartHdlc(*assoc, 16, 128, [seen](const std::string& s) {
    std::lock_guard<std::mutex> lock(seen->M);
    seen->Lines.push_back(s);
  }, false, true);
  mid.Connect(16, 1);
  Converse(mid, 16, 1);
  mid.Disconnect();
  mid.Connect(16, 1);
  Converse(mid, 16, 1);
  std::lock_guard<std::mutex> lock(seen->M);
  const auto& lines = seen->Lines;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "mode E: RX /?!<CR><LF>"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "mode E: TX /QSM6QuillonSim<CR><LF>"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "mode E: RX <ACK>252<CR><LF>"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "mode E: HDLC at 9600 baud"), 2);
}
