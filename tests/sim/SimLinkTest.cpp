// The simulator's links driven by the client's own transport stacks:
// DLMS wrapper over loopback TCP and HDLC over a pseudo-terminal.
#include <gtest/gtest.h>

#include <thread>

#include "TestUtil.h"
#include "comm/MidLayers.h"
#include "tools/meter-sim/SimTransport.h"
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
  void TearDown() override {
    stop = true;
    if (server.joinable()) server.join();
  }
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
  std::atomic<bool> stop{false};
  std::thread server;
};

}  // namespace

TEST_F(SimFixture, WrapperOverLoopbackTcp) {
  auto listener = std::make_shared<TSimListener>("127.0.0.1", 0);
  int port = listener->Port();
  server = std::thread([this, listener] {
    while (!stop) {
      int fd = listener->Accept(50);
      if (fd < 0) continue;
      TSimLink link(fd);
      ServeWrapper(link, *assoc, stop, nullptr);
    }
  });
  auto& tcp = LowerLayers().TCPClient;
  tcp.SetIP("127.0.0.1");
  tcp.SetPort(port);
  tcp.SetConnectTimeout(2000);
  tcp.SetResponseTimeout(2000);
  tcp.SetDisconnectToConnectDelay(0);
  tcp.SetShowTraffic(false);
  WRAPPERLayers().WRAPPER(1).SupportingLayer = "TCPClient";
  MidLayerWRAPPER().WRAPPERLayer = &WRAPPERLayers().WRAPPER(1);
  TMidLayerAbstract& mid = MidLayerWRAPPER();
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
  mid.Disconnect();
  LowerLayers().DisconnectAllChannels();
}

TEST_F(SimFixture, HdlcOverPseudoTerminal) {
  std::string path;
  int master = OpenPseudoTerminal(path);
  auto link = std::make_shared<TSimLink>(master);
  server = std::thread([this, link] {
    THdlcSettings s;
    s.ServerUpper = 1;
    s.ServerLower = 17;
    while (!stop) ServeHdlc(*link, *assoc, s, stop, nullptr);
  });
  auto& serial = LowerLayers().Serial(1);
  serial.SetDevicePath(path);
  serial.ResponseTimeout = 2000;
  auto& hdlc = HDLCLayers().HDLC(1);
  hdlc.SetServerAddressSize(2);
  hdlc.SetServerUpperAddress(1);
  hdlc.SetServerLowerAddress(17);
  hdlc.SetClientAddress(16);
  hdlc.SetSupportingLayer("Serial[1]");
  MidLayerHDLC().HDLCLayer = &hdlc;
  MidLayerHDLC().DiscToNDMTimeout = 0;
  TMidLayerAbstract& mid = MidLayerHDLC();
  mid.Connect(16, 1);
  Converse(mid, 16, 1);
  mid.Disconnect();
  LowerLayers().DisconnectAllChannels();
}
