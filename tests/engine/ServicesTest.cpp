// GET, SET and ACTION with their block transfers, driven through the exported
// entry points against scripted conversations. Each case lists every byte the
// engine must send and every byte the meter answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "RequestXml.h"

using namespace enginetest;

namespace {

const char kGetWithListBytes[] = "C0 03 C1 02 0001 0000600100FF 02 00 0003 0100010800FF 02 00";

const char kNextBlock1[] = "C0 02 C1 00000001";
const char kNextBlock2[] = "C0 02 C1 00000002";

const std::string kOctets10Result =
    Xml({"<GetResponseNormal>", "  <InvokeIdAndPriority Value=\"C1\" />", "  <Result>", "    <Data>",
         "      <OctetString Value=\"0102030405060708090A\" />", "    </Data>", "  </Result>",
         "</GetResponseNormal>"});
const std::string kWithListResult =
    Xml({"<GetResponseWithList>", "  <InvokeIdAndPriority Value=\"C1\" />", "  <Result Qty=\"0002\" >",
         "    <Data>", "      <Unsigned Value=\"05\" />", "    </Data>",
         "    <DataAccessError Value=\"ObjectUndefined\" />", "  </Result>", "</GetResponseWithList>"});

const char kSetOctets4Bytes[] = "C1 01 C1 0001 0000600100FF 02 00 09 04 01020304";  // 19 bytes
const std::string kSetSuccess =
    Xml({"<SetResponseNormal>", "  <InvokeIdAndPriority Value=\"C1\" />", "  <Result Value=\"Success\" />",
         "</SetResponseNormal>"});

// 30 octets 01..1E: the value encodes as 09 1E 01 .. 1E (32 bytes).
const char kSetOctets30[] =
    "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0001\" />"
    "<InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>"
    "<Value><OctetString Value=\"0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E\" /></Value>"
    "</SetRequestNormal>";

const char kActionBytes[] = "C3 01 C1 0008 0000010000FF 01 01 0F 00";

enum class TEntry { eRead, eWrite, eInvoke, eRelease };

struct TServiceCase {
  const char* Label;
  TEntry Entry;
  const char* RequestXml;
  uint32_t Conformance;
  int32_t MaxPdu;
  std::vector<TScriptStep> Steps;
  int32_t ExpectedRc;
  std::string ExpectedText;  // the response XML, or the failure message
};

class Services : public EngineTest, public ::testing::WithParamInterface<TServiceCase> {};

// Each case runs with a log procedure and without one: without, an
// unprotected read needs no element trees, and must not differ in anything
// the caller sees.
TEST_P(Services, ConversationAndResult) {
  const TServiceCase& c = GetParam();
  for (const bool logged : {true, false}) {
    SCOPED_TRACE(logged ? "with a log procedure" : "without a log procedure");
    DropState();
    TScriptedConversation script(c.Steps);
    EstablishPre(script, c.Conformance, c.MaxPdu);
    if (!logged) Ctx.LogStringFunc = nullptr;
    int32_t rc = -1;
    switch (c.Entry) {
      case TEntry::eRead: rc = ReadAttributes(&Ctx, c.RequestXml); break;
      case TEntry::eWrite: rc = WriteAttributes(&Ctx, c.RequestXml); break;
      case TEntry::eInvoke: rc = InvokeMethod(&Ctx, c.RequestXml, 1); break;
      case TEntry::eRelease:
        Ctx.RLRQSupported = 1;
        rc = ReleaseAA(&Ctx);
        break;
    }
    EXPECT_EQ(rc, c.ExpectedRc);
    EXPECT_EQ(ResultText(), c.ExpectedText);
    EXPECT_EQ(script.Exchanges(), c.Steps.size()) << "every scripted exchange happens, and no other";
    for (int32_t offered : script.OfferedLengths()) EXPECT_EQ(offered, 262144);
  }
}

// A server that answers every block request with another block holding no
// data and never the last one: n blocks in all.
std::vector<TScriptStep> EmptyGetBlocks(int n) {
  auto number = [](int i) {
    char b[9];
    std::snprintf(b, sizeof b, "%08X", static_cast<unsigned>(i));
    return std::string(b);
  };
  std::vector<TScriptStep> steps = {{kGetNormalBytes, "C4 02 C1 00 00000001 00 00"}};
  for (int i = 2; i <= n; ++i)
    steps.push_back({"C0 02 C1 " + number(i - 1), "C4 02 C1 00 " + number(i) + " 00 00"});
  return steps;
}

// A GetResponseNormal whose value is `depth` structures, each holding the
// next, around an unsigned 5; and the result XML the engine gives for it.
std::string NestedResponse(int depth) {
  std::string hex = "C4 01 C1 00";
  for (int i = 0; i < depth; ++i) hex += " 02 01";
  return hex + " 11 05";
}
std::string NestedResult(int depth) {
  auto pad = [](int level) { return std::string(static_cast<size_t>(level) * 2, ' '); };
  std::string xml = "<GetResponseNormal>\r\n  <InvokeIdAndPriority Value=\"C1\" />\r\n  <Result>\r\n    <Data>\r\n";
  for (int i = 0; i < depth; ++i) xml += pad(3 + i) + "<Structure Qty=\"0001\" >\r\n";
  xml += pad(3 + depth) + "<Unsigned Value=\"05\" />\r\n";
  for (int i = depth - 1; i >= 0; --i) xml += pad(3 + i) + "</Structure>\r\n";
  return xml + "    </Data>\r\n  </Result>\r\n</GetResponseNormal>\r\n";
}

const uint32_t kGetOnly = cbGet;
const uint32_t kGetBlocks = cbGet | cbBlockTransferWithGet;

INSTANTIATE_TEST_SUITE_P(
    Get, Services,
    ::testing::Values(
        TServiceCase{"Normal", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "C4 01 C1 00 11 05"}}, 0, kUnsigned5Result},
        TServiceCase{"WithList", TEntry::eRead, kGetWithList, kGetOnly, 1024,
                     {{kGetWithListBytes, "C4 03 C1 02 00 11 05 01 04"}}, 0, kWithListResult},
        TServiceCase{"BlocksInSequence", TEntry::eRead, kGetNormal, kGetBlocks, 1024,
                     {{kGetNormalBytes, "C4 02 C1 00 00000001 00 06 090A01020304"},
                      {kNextBlock1, "C4 02 C1 01 00000002 00 06 05060708090A"}},
                     0, kOctets10Result},
        TServiceCase{"FirstBlockIsLast", TEntry::eRead, kGetNormal, kGetBlocks, 1024,
                     {{kGetNormalBytes, "C4 02 C1 01 00000001 00 02 1105"}}, 0, kUnsigned5Result},
        TServiceCase{"WithListInBlocks", TEntry::eRead, kGetWithList, kGetBlocks, 1024,
                     {{kGetWithListBytes, "C4 02 C1 00 00000001 00 03 020011"},
                      {kNextBlock1, "C4 02 C1 01 00000002 00 03 050104"}},
                     0, kWithListResult},
        TServiceCase{"ErrorInThirdBlock", TEntry::eRead, kGetNormal, kGetBlocks, 1024,
                     {{kGetNormalBytes, "C4 02 C1 00 00000001 00 03 090A01"},
                      {kNextBlock1, "C4 02 C1 00 00000002 00 03 020304"},
                      {kNextBlock2, "C4 02 C1 01 00000003 01 0E"}},
                     0,
                     Xml({"<GetResponseNormal>", "  <InvokeIdAndPriority Value=\"C1\" />", "  <Result>",
                          "    <DataAccessError Value=\"DataBlockUnavailable\" />", "  </Result>",
                          "</GetResponseNormal>"})},
        TServiceCase{"BlockOutOfSequence", TEntry::eRead, kGetNormal, kGetBlocks, 1024,
                     {{kGetNormalBytes, "C4 02 C1 00 00000001 00 06 090A01020304"},
                      {kNextBlock1, "C4 02 C1 01 00000003 00 06 05060708090A"}},
                     1, "Block number out of sequence rec.3, exp.2"},
        TServiceCase{"BlocksNotNegotiated", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "C4 02 C1 00 00000001 00 06 090A01020304"}}, 1,
                     "Block-transfer-with-get received when not allowed by the conformance block"},
        TServiceCase{"NextBlockAnsweredBySet", TEntry::eRead, kGetNormal, kGetBlocks, 1024,
                     {{kGetNormalBytes, "C4 02 C1 00 00000001 00 06 090A01020304"}, {kNextBlock1, "C5 01 C1 00"}},
                     1, "Unexpected response SetResponse to GetRequest"},
        TServiceCase{"NextBlockAnsweredNormally", TEntry::eRead, kGetNormal, kGetBlocks, 1024,
                     {{kGetNormalBytes, "C4 02 C1 00 00000001 00 06 090A01020304"},
                      {kNextBlock1, "C4 01 C1 00 11 05"}},
                     1, "Unexpected response GetResponseNormal to GetRequestForNextDataBlock"},
        TServiceCase{"NormalAnsweredWithList", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "C4 03 C1 01 00 11 05"}}, 1,
                     "Unexpected response GetResponseWithList to GetRequestNormal"},
        TServiceCase{"ExceptionResponse", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "D8 01 02"}}, 1, "Unexpected response ExceptionResponse to GetRequest"},
        TServiceCase{"NextBlockRequestRefused", TEntry::eRead,
                     "<GetRequestForNextDataBlock><InvokeIdAndPriority Value=\"C1\" /><BlockNumber "
                     "Value=\"00000001\" /></GetRequestForNextDataBlock>",
                     kGetBlocks, 1024, {}, 1, "Unsupported request GetRequestForNextDatablock"},
        TServiceCase{"EmptyBlocksAreBounded", TEntry::eRead, kGetNormal, kGetBlocks, 1024, EmptyGetBlocks(17), 1,
                     "Block transfer with more than 16 blocks without data"},
        TServiceCase{"BytesAfterTheResponse", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "C4 01 C1 00 11 05 AA BB"}}, 0, kUnsigned5Result},
        TServiceCase{"AccessError", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "C4 01 C1 01 04"}}, 0,
                     Xml({"<GetResponseNormal>", "  <InvokeIdAndPriority Value=\"C1\" />", "  <Result>",
                          "    <DataAccessError Value=\"ObjectUndefined\" />", "  </Result>",
                          "</GetResponseNormal>"})},
        TServiceCase{"AccessErrorWithoutName", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "C4 01 C1 01 C8"}}, 1, "T_DataAccessResult: case range"},
        TServiceCase{"TruncatedResponse", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "C4 01 C1 00 06 00 00"}}, 1, "Wrong encoding in pdu"},
        TServiceCase{"NestedAtTheLimit", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, NestedResponse(97)}}, 0, NestedResult(97)},
        TServiceCase{"NestedBeyondTheLimit", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, NestedResponse(98)}}, 1, "Nesting deeper than 200 levels"},
        TServiceCase{"BadRequestXml", TEntry::eRead,
                     "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId "
                     "Value=\"01\" /></AttributeDescriptor></GetRequestNormal>",
                     kGetOnly, 1024, {}, 1, "Illegal data size, expected 2, found 1"},
        TServiceCase{"TransportFailure", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "", 2, "HDLC: no answer from the meter"}}, 1,
                     "HDLC: no answer from the meter"}),
    [](const auto& info) { return std::string(info.param.Label); });

const uint32_t kSetOnly = cbSet;
const uint32_t kSetBlocks = cbSet | cbBlockTransferWithSet;

INSTANTIATE_TEST_SUITE_P(
    Set, Services,
    ::testing::Values(
        // 19 bytes + 28 reserve = 47: fits exactly.
        TServiceCase{"FitsExactly", TEntry::eWrite, kSetOctets4, kSetBlocks, 47,
                     {{kSetOctets4Bytes, "C5 01 C1 00"}}, 0, kSetSuccess},
        TServiceCase{"OneOverWithGeneralBlocksSentAsIs", TEntry::eWrite, kSetOctets4, cbSet | cbGeneralBlockTransfer,
                     46, {{kSetOctets4Bytes, "C5 01 C1 00"}}, 0, kSetSuccess},
        TServiceCase{"OneOverWithoutBlockTransfer", TEntry::eWrite, kSetOctets4, kSetOnly, 46, {}, 1,
                     "Block transfer needed but not supported"},
        TServiceCase{"NoRoomForBlockData", TEntry::eWrite, kSetOctets4, kSetBlocks, 46, {}, 1,
                     "Negotiated max PDU size 46 too small for block transfer"},
        // 61 - 28 - 4 leaves 10 bytes beside the 19-byte first block and 20
        // beside the 9-byte later blocks: 32 value bytes go as 10, 20, 2.
        TServiceCase{"BlockSizes", TEntry::eWrite, kSetOctets30, kSetBlocks, 61,
                     {{"C1 02 C1 0001 0000600100FF 02 00 00 00000001 0A 091E0102030405060708", "C5 02 C1 00000001"},
                      {"C1 03 C1 00 00000002 14 090A0B0C0D0E0F101112131415161718191A1B1C", "C5 02 C1 00000002"},
                      {"C1 03 C1 01 00000003 02 1D1E", "C5 03 C1 00 00000003"}},
                     0, kSetSuccess},
        TServiceCase{"LastBlockRefused", TEntry::eWrite, kSetOctets30, kSetBlocks, 61,
                     {{"C1 02 C1 0001 0000600100FF 02 00 00 00000001 0A 091E0102030405060708", "C5 02 C1 00000001"},
                      {"C1 03 C1 00 00000002 14 090A0B0C0D0E0F101112131415161718191A1B1C", "C5 02 C1 00000002"},
                      {"C1 03 C1 01 00000003 02 1D1E", "C5 03 C1 03 00000003"}},
                     0,
                     Xml({"<SetResponseNormal>", "  <InvokeIdAndPriority Value=\"C1\" />",
                          "  <Result Value=\"ReadWriteDenied\" />", "</SetResponseNormal>"})},
        TServiceCase{"AcknowledgementMismatch", TEntry::eWrite, kSetOctets30, kSetBlocks, 61,
                     {{"C1 02 C1 0001 0000600100FF 02 00 00 00000001 0A 091E0102030405060708", "C5 02 C1 00000002"}},
                     1, "Unexpected BlockNumber 2 in SetResponseForDataBlock"},
        TServiceCase{"NormalAnswerDuringBlocks", TEntry::eWrite, kSetOctets30, kSetBlocks, 61,
                     {{"C1 02 C1 0001 0000600100FF 02 00 00 00000001 0A 091E0102030405060708", "C5 01 C1 00"}},
                     1, "Unexpected response during Block-transfer_with_set"},
        TServiceCase{"MoreBlocksWantedAfterLast", TEntry::eWrite, kSetOctets30, kSetBlocks, 61,
                     {{"C1 02 C1 0001 0000600100FF 02 00 00 00000001 0A 091E0102030405060708", "C5 02 C1 00000001"},
                      {"C1 03 C1 00 00000002 14 090A0B0C0D0E0F101112131415161718191A1B1C", "C5 02 C1 00000002"},
                      {"C1 03 C1 01 00000003 02 1D1E", "C5 02 C1 00000003"}},
                     1, "Unexpected response during Block-transfer_with_set"},
        // A success for the last block is a success for the whole value only
        // when every block went out and the server names the last one.
        TServiceCase{"LastBlockAcknowledgedBeforeAllWereSent", TEntry::eWrite, kSetOctets30, kSetBlocks, 61,
                     {{"C1 02 C1 0001 0000600100FF 02 00 00 00000001 0A 091E0102030405060708", "C5 03 C1 00 00000001"}},
                     1, "SetResponseForLastDataBlock received after block 1, before the last block was sent"},
        TServiceCase{"LastBlockAcknowledgedUnderAnotherNumber", TEntry::eWrite, kSetOctets30, kSetBlocks, 61,
                     {{"C1 02 C1 0001 0000600100FF 02 00 00 00000001 0A 091E0102030405060708", "C5 02 C1 00000001"},
                      {"C1 03 C1 00 00000002 14 090A0B0C0D0E0F101112131415161718191A1B1C", "C5 02 C1 00000002"},
                      {"C1 03 C1 01 00000003 02 1D1E", "C5 03 C1 00 00000002"}},
                     1, "Unexpected BlockNumber 2 in SetResponseForLastDataBlock, last block sent 3"},
        TServiceCase{"GetResponseDuringBlocks", TEntry::eWrite, kSetOctets30, kSetBlocks, 61,
                     {{"C1 02 C1 0001 0000600100FF 02 00 00 00000001 0A 091E0102030405060708", "C4 01 C1 00 11 05"}},
                     1, "Unexpected response GetResponse to SetRequest"},
        TServiceCase{"WrongKindOfAnswer", TEntry::eWrite, kSetOctets4, kSetOnly, 1024,
                     {{kSetOctets4Bytes, "C5 05 C1 01 00"}}, 1, "Unexpected response SetResponseWithList to SetRequest"},
        TServiceCase{"AccessSelectionRefused", TEntry::eWrite,
                     "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId "
                     "Value=\"0007\" /><InstanceId Value=\"0100630100FF\" /><AttributeId Value=\"02\" />"
                     "</AttributeDescriptor><AccessSelection><AccessSelector Value=\"02\" /><AccessParameters>"
                     "<Unsigned Value=\"05\" /></AccessParameters></AccessSelection><Value><Unsigned Value=\"05\" />"
                     "</Value></SetRequestNormal>",
                     kSetBlocks, 1024, {}, 1, "SetRequest with access selection is not supported"},
        TServiceCase{"OversizedListWithSetBlocks", TEntry::eWrite,
                     "<SetRequestWithList><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptorList Qty=\"0001\">"
                     "<_AttributeDescriptorWithSelection><AttributeDescriptor><ClassId Value=\"0001\" />"
                     "<InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>"
                     "</_AttributeDescriptorWithSelection></AttributeDescriptorList><ValueList Qty=\"0001\">"
                     "<OctetString Value=\"0102030405060708090A\" /></ValueList></SetRequestWithList>",
                     kSetBlocks | cbGeneralBlockTransfer, 40, {}, 1,
                     "SetRequest with list and block transfer not supported"}),
    [](const auto& info) { return std::string(info.param.Label); });

INSTANTIATE_TEST_SUITE_P(
    Action, Services,
    ::testing::Values(
        TServiceCase{"Normal", TEntry::eInvoke, kAction, cbAction, 1024, {{kActionBytes, "C7 01 C1 00 00"}}, 0,
                     Xml({"<ActionResponseNormal>", "  <InvokeIdAndPriority Value=\"C1\" />",
                          "  <Result Value=\"Success\" />", "</ActionResponseNormal>"})},
        TServiceCase{"WithReturnParameters", TEntry::eInvoke, kAction, cbAction, 1024,
                     {{kActionBytes, "C7 01 C1 00 01 00 12 0102"}}, 0,
                     Xml({"<ActionResponseNormal>", "  <InvokeIdAndPriority Value=\"C1\" />",
                          "  <Result Value=\"Success\" />", "  <ReturnParameters>", "    <Data>",
                          "      <LongUnsigned Value=\"0102\" />", "    </Data>", "  </ReturnParameters>",
                          "</ActionResponseNormal>"})},
        TServiceCase{"OtherActionChoice", TEntry::eInvoke, kAction, cbAction, 1024,
                     {{kActionBytes, "C7 04 C1 00000001"}}, 1,
                     "Unexpected response ActionResponseForNextPBlock to ActionRequestNormal"},
        TServiceCase{"NotAnActionResponse", TEntry::eInvoke, kAction, cbAction, 1024,
                     {{kActionBytes, "C4 01 C1 00 11 05"}}, 1, "Unexpected response GetResponse to ActionRequest"}),
    [](const auto& info) { return std::string(info.param.Label); });

// Answers holding a value that has no name in the XML: the "RESPONSE:" log
// line cannot show them as XML, and that must not change what the call
// returns; the service reports the answer as it would unlogged.
INSTANTIATE_TEST_SUITE_P(
    NamelessValues, Services,
    ::testing::Values(
        TServiceCase{"ExceptionWithUnknownStateAndServiceError", TEntry::eRead, kGetNormal, kGetOnly, 1024,
                     {{kGetNormalBytes, "D8 05 09"}}, 1, "Unexpected response ExceptionResponse to GetRequest"},
        TServiceCase{"ErrorWithoutNameInADataBlock", TEntry::eRead, kGetNormal, kGetBlocks, 1024,
                     {{kGetNormalBytes, "C4 02 C1 01 00000001 01 C8"}}, 1, "T_DataAccessResult: case range"},
        TServiceCase{"SetResultWithoutName", TEntry::eWrite, kSetOctets4, kSetOnly, 1024,
                     {{kSetOctets4Bytes, "C5 01 C1 C8"}}, 1, "T_DataAccessResult: case range"},
        TServiceCase{"ActionResultWithoutName", TEntry::eInvoke, kAction, cbAction, 1024,
                     {{kActionBytes, "C7 01 C1 C8 00"}}, 1, "T_ActionResult: case range"},
        TServiceCase{"ReleaseReasonWithoutName", TEntry::eRelease, nullptr, kGetOnly, 1024,
                     {{"62 03 80 01 00", "63 03 80 01 0F"}}, 1, "Unexpected reason in ReleaseResponse"}),
    [](const auto& info) { return std::string(info.param.Label); });

// The log line of such an answer: its bytes, and why they are not XML.
TEST_F(EngineTest, AnAnswerThatCannotBeXmlIsLoggedAsHexWithTheReason) {
  TScriptedConversation script(std::vector<TScriptStep>{{kGetNormalBytes, "D8 05 09"}});
  EstablishPre(script, kGetOnly, 1024);
  EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 1);
  EXPECT_EQ(ResultText(), "Unexpected response ExceptionResponse to GetRequest");
  const auto& log = script.LogLines();
  EXPECT_NE(std::find(log.begin(), log.end(), "RESPONSE: not shown as XML (T_ExceptionStateError: case range): D80509"),
            log.end());
}

// A meter that answers in blocks without granting them: with the option
// data blocks and general blocks are followed and the log says so once per
// association; without it a general block is refused as a data block is
// (case BlocksNotNegotiated above).
TEST_F(EngineTest, BlocksWithoutTheirConformanceBitFollowedWhenAsked) {
  const std::vector<TScriptStep> steps = {{kGetNormalBytes, "C4 02 C1 00 00000001 00 06 090A01020304"},
                                          {kNextBlock1, "C4 02 C1 01 00000002 00 06 05060708090A"},
                                          {kGetNormalBytes, "C4 02 C1 00 00000001 00 06 090A01020304"},
                                          {kNextBlock1, "C4 02 C1 01 00000002 00 06 05060708090A"},
                                          {kGetNormalBytes, "E0 81 0001 0000 06 C401C1001105"}};
  TScriptedConversation script(steps);
  Ctx.Options |= DLMS_OPTION_BLOCKS_WITHOUT_CONFORMANCE;
  EstablishPre(script, kGetOnly, 1024);
  for (const std::string& expected : {kOctets10Result, kOctets10Result, kUnsigned5Result}) {
    ASSERT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << ResultText();
    EXPECT_EQ(ResultText(), expected);
  }
  EXPECT_EQ(script.Exchanges(), steps.size());
  const std::string line = "Block-transfer-with-get received when not allowed by the conformance block: accepted";
  EXPECT_EQ(std::count(script.LogLines().begin(), script.LogLines().end(), line), 1);
  EXPECT_EQ(std::count_if(script.LogLines().begin(), script.LogLines().end(),
                          [](const std::string& l) { return l.find(": accepted") != std::string::npos; }),
            1);

  DropState();
  TScriptedConversation refusing(std::vector<TScriptStep>{{kGetNormalBytes, "E0 81 0001 0000 06 C401C1001105"}});
  Ctx.Options &= ~DLMS_OPTION_BLOCKS_WITHOUT_CONFORMANCE;
  EstablishPre(refusing, kGetOnly, 1024);
  EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 1);
  EXPECT_EQ(ResultText(), "General-block-transfer received when not allowed by the conformance block");
}

}  // namespace
