// The transfer chain under every service: general block transfer in both
// directions, the pass-through SendReceiveAPDU, the log blocks, the choice of
// service family and the byte exchange with the caller's callback.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "EngineFixture.h"

using namespace enginetest;

namespace {

// A SetRequestNormal whose value is an octet string of n bytes (0, 1, 2, ...),
// with its XML and its exact encoding.
struct TLongSet {
  std::string Xml;
  std::string Bytes;
};
TLongSet LongSet(size_t n) {
  std::string value;
  for (size_t i = 0; i < n; ++i) value += static_cast<char>(i & 0xFF);
  std::string hexValue;
  for (char c : Hex(value))
    if (c != ' ') hexValue += c;
  TLongSet s;
  s.Xml = "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0001\" />"
          "<InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor><Value>"
          "<OctetString Value=\"" + hexValue + "\" /></Value></SetRequestNormal>";
  std::string length = n < 0x80 ? std::string(1, static_cast<char>(n)) : std::string("\x81", 1) + static_cast<char>(n);
  s.Bytes = enginetest::Bytes("C1 01 C1 0001 0000600100FF 02 00 09") + length + value;
  return s;
}

// A general block: tag, control, number, acknowledged number, data.
std::string Gbt(int control, int number, int ack, const std::string& data) {
  std::string b = enginetest::Bytes("E0");
  b += static_cast<char>(control);
  b += static_cast<char>(number >> 8);
  b += static_cast<char>(number & 0xFF);
  b += static_cast<char>(ack >> 8);
  b += static_cast<char>(ack & 0xFF);
  if (data.size() >= 0x80) b += '\x81';
  b += static_cast<char>(data.size());
  return b + data;
}

const uint32_t kSetWithGeneralBlocks = cbSet | cbGeneralBlockTransfer;

TEST_F(EngineTest, LongRequestIsSentAsHundredHundredFifty) {
  const TLongSet set = LongSet(234);
  ASSERT_EQ(set.Bytes.size(), 250u);
  const std::string& r = set.Bytes;
  TScriptedConversation script({
      {Hex(Gbt(0x01, 1, 0, r.substr(0, 100))), Hex(Gbt(0x01, 1, 1, ""))},
      {Hex(Gbt(0x01, 2, 1, r.substr(100, 100))), Hex(Gbt(0x01, 2, 2, ""))},
      {Hex(Gbt(0x81, 3, 2, r.substr(200, 50))), Hex(Gbt(0x81, 3, 3, enginetest::Bytes("C5 01 C1 00")))},
  });
  EstablishPre(script, kSetWithGeneralBlocks, 113);
  EXPECT_EQ(WriteAttributes(&Ctx, set.Xml.c_str()), 0) << ResultText();
  EXPECT_TRUE(script.AllStepsUsed());
  EXPECT_NE(ResultText().find("<Result Value=\"Success\" />"), std::string::npos) << ResultText();

  const std::vector<std::string> expected = {"REQUEST:",      "SENT GBT:", "RECEIVED GBT:", "SENT GBT:",
                                             "RECEIVED GBT:", "SENT GBT:", "RECEIVED GBT:", "RESPONSE:"};
  EXPECT_EQ(script.LogTitles(), expected);
}

TEST_F(EngineTest, RequestOfExactlyTheNegotiatedSizeIsNotSplit) {
  const TLongSet set = LongSet(234);
  struct {
    int32_t MaxPdu;
    std::vector<TScriptStep> Steps;
  } cases[] = {
      {250, {{Hex(set.Bytes), "C5 01 C1 00"}}},
      {249,
       {{Hex(Gbt(0x01, 1, 0, set.Bytes.substr(0, 236))), Hex(Gbt(0x01, 1, 1, ""))},
        {Hex(Gbt(0x81, 2, 1, set.Bytes.substr(236))), Hex(Gbt(0x81, 2, 2, enginetest::Bytes("C5 01 C1 00")))}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.MaxPdu);
    TScriptedConversation script(c.Steps);
    EstablishPre(script, kSetWithGeneralBlocks, c.MaxPdu);
    EXPECT_EQ(WriteAttributes(&Ctx, set.Xml.c_str()), 0) << ResultText();
    EXPECT_TRUE(script.AllStepsUsed());
    DropState();
  }
}

TEST_F(EngineTest, BadAnswersWhileSendingBlocks) {
  // 30-byte request, max 23: blocks of 10 bytes.
  const TLongSet set = LongSet(15);
  ASSERT_EQ(set.Bytes.size(), 30u);
  const std::string& r = set.Bytes;
  const std::string first = Hex(Gbt(0x01, 1, 0, r.substr(0, 10)));
  const std::string second = Hex(Gbt(0x01, 2, 1, r.substr(10, 10)));
  const std::string last = Hex(Gbt(0x81, 3, 2, r.substr(20, 10)));
  const std::string ack1 = Hex(Gbt(0x01, 1, 1, ""));
  const std::string ack2 = Hex(Gbt(0x01, 2, 2, ""));
  struct {
    const char* Label;
    std::vector<TScriptStep> Steps;
    const char* Message;
  } cases[] = {
      {"plain answer", {{first, "C5 01 C1 00"}}, "GeneralBlockTransfer expected"},
      {"empty answer", {{first, ""}}, "GeneralBlockTransfer expected"},
      {"wrong acknowledgement", {{first, ack1}, {second, Hex(Gbt(0x01, 2, 1, ""))}}, "Unexpected \"BlockNumberAck\""},
      {"last answer not last",
       {{first, ack1}, {second, ack2}, {last, Hex(Gbt(0x01, 3, 3, enginetest::Bytes("C5 01 C1 00")))}},
       "Last GBT received is does not indicate 'last block' (not supported)"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TScriptedConversation script(c.Steps);
    EstablishPre(script, kSetWithGeneralBlocks, 23);
    EXPECT_EQ(WriteAttributes(&Ctx, set.Xml.c_str()), 1);
    EXPECT_EQ(ResultText(), c.Message);
    EXPECT_TRUE(script.AllStepsUsed());
    DropState();
  }
}

TEST_F(EngineTest, NegotiatedSizeTooSmallForAnyBlockData) {
  const TLongSet set = LongSet(15);
  TScriptedConversation script;
  EstablishPre(script, kSetWithGeneralBlocks, 13);
  EXPECT_EQ(WriteAttributes(&Ctx, set.Xml.c_str()), 1);
  EXPECT_EQ(ResultText(), "Negotiated max PDU size 13 too small for general block transfer");
  EXPECT_EQ(script.Exchanges(), 0u);
}

struct TReceiveCase {
  const char* Label;
  std::vector<TScriptStep> Steps;
  int32_t Rc;
  std::string Text;
  std::vector<std::string> Titles;
};

class ReceiveBlocks : public EngineTest, public ::testing::WithParamInterface<TReceiveCase> {};

TEST_P(ReceiveBlocks, ResponseJoinedFromGeneralBlocks) {
  const TReceiveCase& c = GetParam();
  TScriptedConversation script(c.Steps);
  EstablishPre(script, cbGet | cbGeneralBlockTransfer, 1024);
  EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), c.Rc);
  EXPECT_EQ(ResultText(), c.Text);
  EXPECT_TRUE(script.AllStepsUsed());
  EXPECT_EQ(script.LogTitles(), c.Titles);
}

INSTANTIATE_TEST_SUITE_P(
    Gbt, ReceiveBlocks,
    ::testing::Values(
        TReceiveCase{"OneLastBlock",
                     {{kGetNormalBytes, "E0 81 0001 0000 06 C401C1001105"}},
                     0,
                     kUnsigned5Result,
                     {"REQUEST:", "RECEIVED GBT:", "RESPONSE:"}},
        TReceiveCase{"TwoBlocks",
                     {{kGetNormalBytes, "E0 01 0001 0000 03 C401C1"},
                      {"E0 81 0001 0001 00", "E0 81 0002 0000 03 001105"}},
                     0,
                     kUnsigned5Result,
                     {"REQUEST:", "RECEIVED GBT:", "SENT GBT:", "RECEIVED GBT:", "RESPONSE:"}},
        TReceiveCase{"ThreeBlocksAcknowledgedInTurn",
                     {{kGetNormalBytes, "E0 01 0001 0000 02 C401"},
                      {"E0 81 0001 0001 00", "E0 01 0002 0000 02 C100"},
                      {"E0 81 0002 0002 00", "E0 81 0003 0000 02 1105"}},
                     0,
                     kUnsigned5Result,
                     {"REQUEST:", "RECEIVED GBT:", "SENT GBT:", "RECEIVED GBT:", "SENT GBT:", "RECEIVED GBT:",
                      "RESPONSE:"}},
        TReceiveCase{"SecondBlockNumberedThree",
                     {{kGetNormalBytes, "E0 01 0001 0000 03 C401C1"},
                      {"E0 81 0001 0001 00", "E0 81 0003 0000 03 001105"}},
                     1,
                     "Unexpected block number 3",
                     {"REQUEST:", "RECEIVED GBT:", "SENT GBT:", "RECEIVED GBT:"}},
        TReceiveCase{"FirstBlockNumberedTwo",
                     {{kGetNormalBytes, "E0 81 0002 0000 06 C401C1001105"}},
                     1,
                     "Unexpected block number 2",
                     {"REQUEST:", "RECEIVED GBT:"}},
        TReceiveCase{"NoDataAtAll",
                     {{kGetNormalBytes, "E0 01 0001 0000 00"}, {"E0 81 0001 0001 00", "E0 81 0002 0000 00"}},
                     1,
                     "GBT transfered no data",
                     {"REQUEST:", "RECEIVED GBT:", "SENT GBT:", "RECEIVED GBT:"}},
        TReceiveCase{"AcknowledgementAnsweredPlainly",
                     {{kGetNormalBytes, "E0 01 0001 0000 03 C401C1"}, {"E0 81 0001 0001 00", "C4 01 C1 00 11 05"}},
                     1,
                     "Unexpected service \"GetResponse\"",
                     {"REQUEST:", "RECEIVED GBT:", "SENT GBT:"}}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(EngineTest, RequestAndResponseAreLoggedAsIndentedXml) {
  TScriptedConversation script(std::vector<TScriptStep>{{kGetNormalBytes, "C4 01 C1 00 11 05"}});
  EstablishPre(script, cbGet, 1024);
  ASSERT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << ResultText();
  const std::string pad(20, ' ');
  const std::vector<std::string> expected = {
      "REQUEST:",
      pad + "<GetRequest>",
      pad + "  <GetRequestNormal>",
      pad + "    <InvokeIdAndPriority Value=\"C1\" />",
      pad + "    <AttributeDescriptor>",
      pad + "      <ClassId Value=\"0001\" />",
      pad + "      <InstanceId Value=\"0000600100FF\" />",
      pad + "      <AttributeId Value=\"02\" />",
      pad + "    </AttributeDescriptor>",
      pad + "  </GetRequestNormal>",
      pad + "</GetRequest>",
      "RESPONSE:",
      pad + "<GetResponse>",
      pad + "  <GetResponseNormal>",
      pad + "    <InvokeIdAndPriority Value=\"C1\" />",
      pad + "    <Result>",
      pad + "      <Data>",
      pad + "        <Unsigned Value=\"05\" />",
      pad + "      </Data>",
      pad + "    </Result>",
      pad + "  </GetResponseNormal>",
      pad + "</GetResponse>",
  };
  EXPECT_EQ(script.LogLines(), expected);
}

// ------------------------------------------------------------ SendReceiveAPDU

TEST_F(EngineTest, SendReceiveApduPassesPlainBytesBothWays) {
  TScriptedConversation script(std::vector<TScriptStep>{{kGetNormalBytes, "E0 01 0001 0000 03 C401C1"},
                                {"E0 81 0001 0001 00", "E0 81 0002 0000 03 001105"}});
  EstablishPre(script, cbGet | cbGeneralBlockTransfer, 1024);
  ReadAttributes(&Ctx, "<NoSuchElement />");  // leaves a failure text in Result
  const char* resultBefore = Ctx.Result;
  const std::string out = Bytes(kGetNormalBytes);
  uint8_t in[32];
  int32_t inLength = -1;
  ASSERT_EQ(SendReceiveAPDU(&Ctx, reinterpret_cast<const uint8_t*>(out.data()), static_cast<int32_t>(out.size()), in,
                            sizeof in, &inLength),
            0)
      << ResultText();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in), static_cast<size_t>(inLength)), Bytes("C4 01 C1 00 11 05"));
  EXPECT_EQ(Ctx.Result, resultBefore) << "Result is left alone on success";
  EXPECT_TRUE(script.AllStepsUsed());
}

TEST_F(EngineTest, SendReceiveApduRefusesBytesThatAreNoApdu) {
  const std::vector<std::string> notApdus = {"02 00", "C0 01 C1 00", "", "C0 07"};
  TScriptedConversation script;
  EstablishPre(script, cbGet, 1024);
  for (const std::string& hex : notApdus) {
    SCOPED_TRACE(hex);
    const std::string out = Bytes(hex);
    uint8_t in[16];
    int32_t inLength = -1;
    EXPECT_EQ(SendReceiveAPDU(&Ctx, reinterpret_cast<const uint8_t*>(out.data()), static_cast<int32_t>(out.size()),
                              in, sizeof in, &inLength),
              1);
    EXPECT_EQ(ResultText().rfind("OutAPDU is not legal (", 0), 0u) << ResultText();
    EXPECT_EQ(ResultText().back(), ')');
    EXPECT_EQ(inLength, -1);
  }
  EXPECT_EQ(script.Exchanges(), 0u);
}

TEST_F(EngineTest, SendReceiveApduReportsTheLengthItNeeds) {
  const int32_t maxLengths[] = {0, 5};
  for (int32_t maxLength : maxLengths) {
    SCOPED_TRACE(maxLength);
    TScriptedConversation script(std::vector<TScriptStep>{{kGetNormalBytes, "C4 01 C1 00 11 05"}});
    EstablishPre(script, cbGet, 1024);
    const std::string out = Bytes(kGetNormalBytes);
    uint8_t in[16];
    std::memset(in, 0xEE, sizeof in);
    int32_t inLength = -1;
    EXPECT_EQ(SendReceiveAPDU(&Ctx, reinterpret_cast<const uint8_t*>(out.data()), static_cast<int32_t>(out.size()), in,
                              maxLength, &inLength),
              1);
    EXPECT_EQ(inLength, 6);
    EXPECT_EQ(ResultText(), "InAPDU buffer too small (" + std::to_string(maxLength) + "), needs 6 ");
    for (uint8_t b : in) ASSERT_EQ(b, 0xEE) << "buffer untouched";
    DropState();
  }
}

// ------------------------------------------------------------ family and chain

// Every attribute has short name 1008 here; the family test only needs one.
int32_t ShortName1008(PDLMSProtocolContext, const uint8_t*, int32_t, int32_t, uint16_t* name) {
  *name = 0x1008;
  return 0;
}

TEST_F(EngineTest, ServiceFamilyFollowsReferencingAndAccess) {
  struct {
    const char* Label;
    int32_t ApplicationContext;
    uint32_t Conformance;
    uint32_t Options;
    TScriptStep Step;  // the one read this family sends, answered with unsigned 5
  } cases[] = {
      {"LN", 3, cbGet, 0, {kGetNormalBytes, "C4 01 C1 00 11 05"}},
      {"LN access negotiated but switched off", 3, cbGet | cbAccess, DLMS_OPTION_NO_ACCESS_SERVICE,
       {kGetNormalBytes, "C4 01 C1 00 11 05"}},
      {"LN access negotiated", 3, cbGet | cbAccess, 0,
       {"D9 60000001 00 01 01 0001 0000600100FF 02 01 00", "DA 60000001 00 00 01 11 05 01 01 00"}},
      {"SN", 1, cbGet, 0, {"05 01 02 1008", "0C 01 00 11 05"}},
      {"SN ignores access", 1, cbGet | cbAccess, 0, {"05 01 02 1008", "0C 01 00 11 05"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TScriptedConversation script(std::vector<TScriptStep>{c.Step});
    Ctx.ApplicationContext = c.ApplicationContext;
    Ctx.Options = c.Options;
    Ctx.GetShortNameOfAttributeFunc = ShortName1008;
    EstablishPre(script, c.Conformance, 1024);
    EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 0);
    EXPECT_EQ(ResultText(), kUnsigned5Result);
    EXPECT_TRUE(script.AllStepsUsed());
    DropState();
  }
}

TEST_F(EngineTest, MalformedAnswersFailCleanly) {
  // Truncated, overlong and wrongly tagged answers, as a broken or hostile
  // meter might send them: each ends the call with a message.
  const struct {
    const char* Answer;
    const char* Message;  // null: any message
  } cases[] = {
      {"", "Wrong encoding in pdu"},
      {"C4", "Wrong encoding in pdu"},
      {"C4 01 C1 00", "Wrong encoding in pdu"},
      {"C4 07 C1", "T_GetResponse : illegal Tag 7"},
      {"02 00", "T_COSEMpdu : illegal Tag 2"},
      {"C4 02 C1 00 000000", "Wrong encoding in pdu"},
      {"C4 02 C1 01 00000001 00 FF 1105", "Unsupported integer length."},
      {"C4 02 C1 01 00000001 00 84FFFFFFFF 1105", nullptr},
      {"C4 02 C1 01 00000001 00 01 02", nullptr},  // the joined bytes are no Data
      {"E0 81 0001 0000 FF C4", "Unsupported integer length."},
      {"E0 81 0001", "Wrong encoding in pdu"},
      {"E0 81 0001 0000 02 C401", "Wrong encoding in pdu"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Answer);
    TScriptedConversation script(std::vector<TScriptStep>{{kGetNormalBytes, c.Answer}});
    EstablishPre(script, cbGet | cbBlockTransferWithGet | cbGeneralBlockTransfer, 1024);
    EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 1);
    if (c.Message != nullptr) {
      EXPECT_EQ(ResultText(), c.Message);
    } else {
      EXPECT_FALSE(ResultText().empty());
    }
    DropState();
  }
}

// Transports that misbehave in ways the scripted one never does.
int32_t gLengthToReport = 0;
int32_t ReportLength(PDLMSProtocolContext, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t* inLength) {
  *inLength = gLengthToReport;
  return 0;
}
int32_t FailWithoutTerminator(PDLMSProtocolContext ctx, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t*) {
  std::memset(ctx->CallBackResult, 'x', sizeof ctx->CallBackResult);
  return -1;
}

TEST_F(EngineTest, CallbackFailuresBecomeTheMessage) {
  TScriptedConversation script;
  EstablishPre(script, cbGet, 1024);
  Ctx.SendReceiveDataFunc = FailWithoutTerminator;
  EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 1);
  EXPECT_EQ(ResultText(), std::string(256, 'x')) << "read up to 256 characters, no further";

  Ctx.SendReceiveDataFunc = ReportLength;
  for (int32_t length : {-1, 262145, 0x7FFFFFFF}) {
    gLengthToReport = length;
    EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 1);
    EXPECT_EQ(ResultText(),
              "Call-back \"SendReceiveDataFunc\" returned an illegal length (" + std::to_string(length) + ")");
  }
}

// Callbacks that fail without saying why: they leave CallBackResult alone.
int32_t FailSilently(PDLMSProtocolContext, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t*) { return 3; }
int32_t NoShortName(PDLMSProtocolContext, const uint8_t*, int32_t, int32_t, uint16_t*) { return 1; }

TEST_F(EngineTest, SilentCallbackFailureIsNamedNotTakenFromAnEarlierOne) {
  const char kInvoke[] =
      "<ActionRequestNormal><InvokeIdAndPriority Value=\"C1\" /><MethodDescriptor><ClassId Value=\"0008\" />"
      "<InstanceId Value=\"0000010000FF\" /><MethodId Value=\"01\" /></MethodDescriptor></ActionRequestNormal>";
  const struct {
    const char* Label;
    int32_t ApplicationContext;
    std::function<void(TDLMSProtocolContext&)> Break;
    std::function<int32_t(TDLMSProtocolContext&)> Call;
    const char* Message;
  } cases[] = {
      {"transport", 3, [](auto& c) { c.SendReceiveDataFunc = FailSilently; },
       [](auto& c) { return ReadAttributes(&c, kGetNormal); },
       "Call-back \"SendReceiveDataFunc\" failed without giving a reason"},
      {"short name of an attribute", 1, [](auto& c) { c.GetShortNameOfAttributeFunc = NoShortName; },
       [](auto& c) { return ReadAttributes(&c, kGetNormal); },
       "Call-back \"GetShortNameOfAttributeFunc\" failed without giving a reason"},
      {"short name of a method", 1, [](auto& c) { c.GetShortNameOfMethodFunc = NoShortName; },
       [&](auto& c) { return InvokeMethod(&c, kInvoke, 1); },
       "Call-back \"GetShortNameOfMethodFunc\" failed without giving a reason"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TScriptedConversation script;
    Ctx.ApplicationContext = c.ApplicationContext;
    EstablishPre(script, cbGet | cbAction, 1024);
    c.Break(Ctx);
    // What an earlier failure left behind must not become this one's text.
    std::snprintf(Ctx.CallBackResult, sizeof Ctx.CallBackResult, "%s", "link down");
    EXPECT_EQ(c.Call(Ctx), 1);
    EXPECT_EQ(ResultText(), c.Message);
    EXPECT_EQ(script.Exchanges(), 0u);
    DropState();
  }
}

TEST_F(EngineTest, SendReceiveApduRefusesTrailingBytesWithoutSending) {
  const struct {
    const char* Hex;
    const char* Message;
  } cases[] = {
      {"C0 01 C1 0001 0000600100FF 02 00 FF", "OutAPDU is not legal (1 byte after the end of the APDU)"},
      {"C0 01 C1 0001 0000600100FF 02 00 C0 01", "OutAPDU is not legal (2 bytes after the end of the APDU)"},
  };
  TScriptedConversation script;
  EstablishPre(script, cbGet, 1024);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Hex);
    const std::string out = Bytes(c.Hex);
    uint8_t in[16];
    int32_t inLength = -1;
    EXPECT_EQ(SendReceiveAPDU(&Ctx, reinterpret_cast<const uint8_t*>(out.data()), static_cast<int32_t>(out.size()),
                              in, sizeof in, &inLength),
              1);
    EXPECT_EQ(ResultText(), c.Message);
    EXPECT_EQ(inLength, -1);
  }
  EXPECT_EQ(script.Exchanges(), 0u);
}

TEST_F(EngineTest, BytesAfterAReceivedApduAreLoggedAndIgnored) {
  const struct {
    const char* Label;
    uint32_t Conformance;
    std::vector<TScriptStep> Steps;
    const char* LogLine;
  } cases[] = {
      {"plain response", cbGet, {{kGetNormalBytes, "C4 01 C1 00 11 05 AA BB"}},
       "2 bytes after the end of the response APDU ignored"},
      {"general block", cbGet | cbGeneralBlockTransfer, {{kGetNormalBytes, "E0 81 0001 0000 06 C401C1001105 EE"}},
       "1 byte after the end of the general block ignored"},
      {"data joined from GET blocks", cbGet | cbBlockTransferWithGet,
       {{kGetNormalBytes, "C4 02 C1 00 00000001 00 01 11"}, {"C0 02 C1 00000001", "C4 02 C1 01 00000002 00 03 05EEEE"}},
       "2 bytes after the end of the reassembled data ignored"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TScriptedConversation script(c.Steps);
    EstablishPre(script, c.Conformance, 1024);
    ASSERT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << ResultText();
    EXPECT_EQ(ResultText(), kUnsigned5Result);
    const auto& log = script.LogLines();
    EXPECT_EQ(std::count(log.begin(), log.end(), std::string(c.LogLine)), 1);
    EXPECT_TRUE(script.AllStepsUsed());
    DropState();
  }
}

TEST_F(EngineTest, ScriptCatchesAnyByteDifference) {
  TScriptedConversation script(std::vector<TScriptStep>{{"C0 01 C1 0001 0000600100FF 03 00", "C4 01 C1 00 11 05"}});
  EstablishPre(script, cbGet, 1024);
  EXPECT_NONFATAL_FAILURE(ReadAttributes(&Ctx, kGetNormal), "expected");
  EXPECT_EQ(ResultText(), "request differs from the script");
}

}  // namespace
