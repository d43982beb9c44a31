// Reads, writes and method invocations under short-name referencing and over
// the ACCESS service, driven through the exported entry points against
// scripted conversations: the caller passes the same logical-name requests as
// for GET, SET and ACTION and gets the same kinds of answers back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "RequestXml.h"

using namespace enginetest;

namespace {

// ------------------------------------------------ short names of the meter

struct TShortName {
  const char* LogicalName;  // 6 bytes
  int32_t ClassId;
  int32_t ItemId;
  uint16_t Name;
};

const TShortName kAttributeNames[] = {
    {"\x00\x00\x60\x01\x00\xFF", 1, 2, 0x1008},
    {"\x01\x00\x01\x08\x00\xFF", 3, 2, 0x2008},
    {"\x01\x00\x01\x08\x00\xFF", 3, 3, 0x2010},
};
const TShortName kMethodNames[] = {{"\x00\x00\x01\x00\x00\xFF", 8, 1, 0x3060}};

template <size_t N>
int32_t Lookup(const TShortName (&table)[N], PDLMSProtocolContext ctx, const uint8_t* instanceId, int32_t classId,
               int32_t itemId, uint16_t* shortName) {
  for (const TShortName& n : table) {
    if (std::memcmp(n.LogicalName, instanceId, 6) == 0 && n.ClassId == classId && n.ItemId == itemId) {
      *shortName = n.Name;
      return 0;
    }
  }
  std::snprintf(ctx->CallBackResult, sizeof ctx->CallBackResult, "No short name for class %d item %d", classId,
                itemId);
  return 1;
}

int32_t AttributeName(PDLMSProtocolContext ctx, const uint8_t* id, int32_t classId, int32_t attributeId,
                      uint16_t* name) {
  return Lookup(kAttributeNames, ctx, id, classId, attributeId, name);
}
int32_t MethodName(PDLMSProtocolContext ctx, const uint8_t* id, int32_t classId, int32_t methodId, uint16_t* name) {
  return Lookup(kMethodNames, ctx, id, classId, methodId, name);
}

// ----------------------------------------------------------- the requests

#define QT_DESCRIPTOR(cls, ln, attr)                                                                 \
  "<_AttributeDescriptorWithSelection><AttributeDescriptor><ClassId Value=\"" cls "\" /><InstanceId " \
  "Value=\"" ln "\" /><AttributeId Value=\"" attr "\" /></AttributeDescriptor></_AttributeDescriptorWithSelection>"

const char kRange[] =
    "<AccessSelection><AccessSelector Value=\"02\" /><AccessParameters><Structure Qty=\"0002\">"
    "<DoubleLongUnsigned Value=\"00000001\" /><DoubleLongUnsigned Value=\"00000005\" /></Structure>"
    "</AccessParameters></AccessSelection>";
const char kRangeBytes[] = "02 02 02 06 00000001 06 00000005";  // selector, then the Data

const std::string kGetSelected = std::string(
    "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0001\" />"
    "<InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>") + kRange +
    "</GetRequestNormal>";

const char kGetList1[] =
    "<GetRequestWithList><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptorList Qty=\"0001\">" QT_DESCRIPTOR(
        "0001", "0000600100FF", "02") "</AttributeDescriptorList></GetRequestWithList>";
const char kGetList2[] =
    "<GetRequestWithList><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptorList Qty=\"0002\">" QT_DESCRIPTOR(
        "0001", "0000600100FF", "02") QT_DESCRIPTOR("0003", "0100010800FF",
                                                    "02") "</AttributeDescriptorList></GetRequestWithList>";
const char kGetList3[] =
    "<GetRequestWithList><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptorList Qty=\"0003\">" QT_DESCRIPTOR(
        "0001", "0000600100FF", "02") QT_DESCRIPTOR("0003", "0100010800FF", "02")
        QT_DESCRIPTOR("0003", "0100010800FF", "03") "</AttributeDescriptorList></GetRequestWithList>";

const char kSetList2[] =
    "<SetRequestWithList><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptorList Qty=\"0002\">" QT_DESCRIPTOR(
        "0001", "0000600100FF", "02") QT_DESCRIPTOR("0003", "0100010800FF", "02")
        "</AttributeDescriptorList><ValueList Qty=\"0002\"><Unsigned Value=\"05\" /><LongUnsigned Value=\"0102\" />"
        "</ValueList></SetRequestWithList>";
const std::string kSetListSelected = std::string(
    "<SetRequestWithList><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptorList Qty=\"0001\">"
    "<_AttributeDescriptorWithSelection><AttributeDescriptor><ClassId Value=\"0001\" />"
    "<InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>") + kRange +
    "</_AttributeDescriptorWithSelection></AttributeDescriptorList><ValueList Qty=\"0001\"><Unsigned Value=\"05\" />"
    "</ValueList></SetRequestWithList>";

const char kActionNoParameters[] =
    "<ActionRequestNormal><InvokeIdAndPriority Value=\"C1\" /><MethodDescriptor><ClassId Value=\"0008\" />"
    "<InstanceId Value=\"0000010000FF\" /><MethodId Value=\"01\" /></MethodDescriptor></ActionRequestNormal>";

// ------------------------------------------------------------ the answers

std::string GetNormal(const char* invokeId, std::initializer_list<const char*> result) {
  std::string s = Xml({"<GetResponseNormal>"}) + "  <InvokeIdAndPriority Value=\"" + invokeId + "\" />\r\n" +
                  Xml({"  <Result>"});
  for (const char* l : result) s += std::string("    ") + l + "\r\n";
  return s + Xml({"  </Result>", "</GetResponseNormal>"});
}
const std::string kUnsigned5 = GetNormal("C1", {"<Data>", "  <Unsigned Value=\"05\" />", "</Data>"});
const std::string kUnsigned5Id00 = GetNormal("00", {"<Data>", "  <Unsigned Value=\"05\" />", "</Data>"});
const std::string kUndefined = GetNormal("C1", {"<DataAccessError Value=\"ObjectUndefined\" />"});
const std::string kOctets10 =
    GetNormal("C1", {"<Data>", "  <OctetString Value=\"0102030405060708090A\" />", "</Data>"});

std::string WithList(const char* invokeId, const char* qty, std::initializer_list<const char*> results) {
  std::string s = Xml({"<GetResponseWithList>"}) + "  <InvokeIdAndPriority Value=\"" + invokeId + "\" />\r\n" +
                  "  <Result Qty=\"" + qty + "\" >\r\n";
  for (const char* l : results) s += std::string("    ") + l + "\r\n";
  return s + Xml({"  </Result>", "</GetResponseWithList>"});
}
const std::string kThreeWithError =
    WithList("00", "0003",
             {"<Data>", "  <Unsigned Value=\"05\" />", "</Data>", "<DataAccessError Value=\"ObjectUndefined\" />",
              "<Data>", "  <LongUnsigned Value=\"0102\" />", "</Data>"});

std::string ActionNormal(const char* invokeId, const char* result, std::initializer_list<const char*> more = {}) {
  std::string s = Xml({"<ActionResponseNormal>"}) + "  <InvokeIdAndPriority Value=\"" + invokeId + "\" />\r\n" +
                  "  <Result Value=\"" + result + "\" />\r\n";
  for (const char* l : more) s += std::string("  ") + l + "\r\n";
  return s + Xml({"</ActionResponseNormal>"});
}
const std::string kReturns5 =
    ActionNormal("00", "Success",
                 {"<ReturnParameters>", "  <Data>", "    <Unsigned Value=\"05\" />", "  </Data>", "</ReturnParameters>"});

// ------------------------------------------------------------- the cases

enum class TEntry { eRead, eWrite, eInvoke };

struct TFamilyCase {
  const char* Label;
  TEntry Entry;
  std::string RequestXml;
  std::vector<TScriptStep> Steps;
  int32_t ExpectedRc;
  std::string ExpectedText;  // the response XML, or the failure message
  uint32_t Conformance = cbGet | cbSet | cbAction | cbBlockTransferWithGet;
  bool ExpectReturnParameters = true;
  bool ShortNameCallbacks = true;
};

// Runs one case on a pre-established association of the given referencing
// and options.
void RunCase(TDLMSProtocolContext& ctx, const TFamilyCase& c, int32_t applicationContext,
             uint32_t options) {
  TScriptedConversation script(c.Steps);
  ctx.ApplicationContext = applicationContext;
  ctx.Options = options;
  if (c.ShortNameCallbacks) {
    ctx.GetShortNameOfAttributeFunc = AttributeName;
    ctx.GetShortNameOfMethodFunc = MethodName;
  }
  script.Install(ctx);
  ctx.Options |= DLMS_OPTION_PRE_ESTABLISHED;
  ctx.NegotiatedConformance = c.Conformance;
  ctx.NegotiatedMaxPduSize = 1024;
  ASSERT_EQ(EstablishAA(&ctx), 0) << ctx.Result;
  int32_t rc = -1;
  switch (c.Entry) {
    case TEntry::eRead: rc = ReadAttributes(&ctx, c.RequestXml.c_str()); break;
    case TEntry::eWrite: rc = WriteAttributes(&ctx, c.RequestXml.c_str()); break;
    case TEntry::eInvoke: rc = InvokeMethod(&ctx, c.RequestXml.c_str(), c.ExpectReturnParameters ? 1 : 0); break;
  }
  EXPECT_EQ(rc, c.ExpectedRc);
  EXPECT_EQ(std::string(ctx.Result ? ctx.Result : "<null>"), c.ExpectedText);
  EXPECT_EQ(script.Exchanges(), c.Steps.size()) << "every scripted exchange happens, and no other";
}

void PrintTo(const TFamilyCase& c, std::ostream* os) { *os << c.Label; }

auto CaseName = [](const auto& info) { return std::string(info.param.Label); };

// ---------------------------------------------------------- short names

class ShortNames : public EngineTest, public ::testing::WithParamInterface<TFamilyCase> {};

TEST_P(ShortNames, ConversationAndResult) { RunCase(Ctx, GetParam(), 1, 0); }

const char kRead1008[] = "05 01 02 1008";
const char kReadThree[] = "05 03 02 1008 02 2008 02 2010";
// The reassembled answer is a ReadResponse of one octet string of ten bytes
// (01 00 09 0A 01..0A), sent as six bytes and then eight.
const char kFirstBlock[] = "0C 01 02 00 0001 06 0100090A0102";
const char kNextBlockRequest[] = "05 01 05 0001";

INSTANTIATE_TEST_SUITE_P(
    Read, ShortNames,
    ::testing::Values(
        TFamilyCase{"One", TEntry::eRead, kGetNormal, {{kRead1008, "0C 01 00 11 05"}}, 0, kUnsigned5},
        TFamilyCase{"OneRefused", TEntry::eRead, kGetNormal, {{kRead1008, "0C 01 01 04"}}, 0, kUndefined},
        TFamilyCase{"OneWithSelectiveAccess", TEntry::eRead, kGetSelected,
                    {{std::string("05 01 04 1008 ") + kRangeBytes, "0C 01 00 11 05"}}, 0, kUnsigned5},
        TFamilyCase{"TwoResultsForOne", TEntry::eRead, kGetNormal, {{kRead1008, "0C 02 00 11 05 00 11 06"}}, 1,
                    "Wrong element count (2) in ReadResponse"},
        TFamilyCase{"AnsweredByWrite", TEntry::eRead, kGetNormal, {{kRead1008, "0D 01 00"}}, 1,
                    "Unexpected response WriteResponse to ReadRequest"},
        TFamilyCase{"AnsweredByBlockNumber", TEntry::eRead, kGetNormal, {{kRead1008, "0C 01 03 0001"}}, 1,
                    "Unexpected response Unsigned16 to ReadRequest"},
        TFamilyCase{"UnknownShortName", TEntry::eRead,
                    "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId "
                    "Value=\"0007\" /><InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" />"
                    "</AttributeDescriptor></GetRequestNormal>",
                    {}, 1, "No short name for class 7 item 2"},
        TFamilyCase{"NoAttributeCallback", TEntry::eRead, kGetNormal, {}, 1,
                    "GetShortNameOfAttribute call-back not set", cbGet, true, false},
        TFamilyCase{"ListOfOne", TEntry::eRead, kGetList1, {{kRead1008, "0C 01 00 11 05"}}, 0, kUnsigned5Id00},
        TFamilyCase{"ListErrorInTheMiddle", TEntry::eRead, kGetList3,
                    {{kReadThree, "0C 03 00 11 05 01 04 00 12 0102"}}, 0, kThreeWithError},
        TFamilyCase{"ListWithSelectiveAccess", TEntry::eRead,
                    std::string("<GetRequestWithList><InvokeIdAndPriority Value=\"C1\" />"
                                "<AttributeDescriptorList Qty=\"0002\">") +
                        QT_DESCRIPTOR("0001", "0000600100FF", "02") +
                        "<_AttributeDescriptorWithSelection><AttributeDescriptor><ClassId Value=\"0003\" />"
                        "<InstanceId Value=\"0100010800FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>" +
                        kRange + "</_AttributeDescriptorWithSelection></AttributeDescriptorList></GetRequestWithList>",
                    {{std::string("05 02 02 1008 04 2008 ") + kRangeBytes, "0C 02 00 11 05 01 03"}}, 0,
                    WithList("00", "0002",
                             {"<Data>", "  <Unsigned Value=\"05\" />", "</Data>",
                              "<DataAccessError Value=\"ReadWriteDenied\" />"})},
        TFamilyCase{"ListAnsweredShort", TEntry::eRead, kGetList3, {{kReadThree, "0C 02 00 11 05 01 04"}}, 1,
                    "Wrong element count (2) in ReadResponse"},
        TFamilyCase{"Truncated", TEntry::eRead, kGetNormal, {{kRead1008, "0C 01 00 11"}}, 1, "Wrong encoding in pdu"},
        TFamilyCase{"ListAnsweredByException", TEntry::eRead, kGetList3, {{kReadThree, "D8 01 02"}}, 1,
                    "Unexpected response ExceptionResponse to ReadRequest"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    ReadBlocks, ShortNames,
    ::testing::Values(
        TFamilyCase{"InSequence", TEntry::eRead, kGetNormal,
                    {{kRead1008, kFirstBlock}, {kNextBlockRequest, "0C 01 02 01 0002 08 030405060708090A"}}, 0,
                    kOctets10},
        TFamilyCase{"FirstIsLast", TEntry::eRead, kGetNormal, {{kRead1008, "0C 01 02 01 0001 04 01001105"}}, 0,
                    kUnsigned5},
        TFamilyCase{"ThreeBlocks", TEntry::eRead, kGetNormal,
                    {{kRead1008, kFirstBlock},
                     {kNextBlockRequest, "0C 01 02 00 0002 04 03040506"},
                     {"05 01 05 0002", "0C 01 02 01 0003 04 0708090A"}},
                    0, kOctets10},
        TFamilyCase{"ListInOneBlock", TEntry::eRead, kGetList2,
                    {{"05 02 02 1008 02 2008", "0C 01 02 01 0001 06 020011050104"}}, 0,
                    WithList("00", "0002",
                             {"<Data>", "  <Unsigned Value=\"05\" />", "</Data>",
                              "<DataAccessError Value=\"ObjectUndefined\" />"})},
        TFamilyCase{"BlockNumberSkipped", TEntry::eRead, kGetNormal,
                    {{kRead1008, kFirstBlock}, {kNextBlockRequest, "0C 01 02 01 0003 08 030405060708090A"}}, 1,
                    "Unexpected block number 3 during ReadRequest block transfer"},
        TFamilyCase{"BlockNumberRepeated", TEntry::eRead, kGetNormal,
                    {{kRead1008, kFirstBlock}, {kNextBlockRequest, "0C 01 02 00 0001 06 0100090A0102"}}, 1,
                    "Unexpected block number 1 during ReadRequest block transfer"},
        TFamilyCase{"NotNegotiated", TEntry::eRead, kGetNormal, {{kRead1008, kFirstBlock}}, 1,
                    "Block-transfer-with-get received when not allowed by the conformance block", cbGet},
        TFamilyCase{"NextAnsweredByWrite", TEntry::eRead, kGetNormal,
                    {{kRead1008, kFirstBlock}, {kNextBlockRequest, "0D 01 00"}}, 1,
                    "Unexpected response WriteResponse during ReadRequest block transfer"},
        TFamilyCase{"NextWithTwoElements", TEntry::eRead, kGetNormal,
                    {{kRead1008, kFirstBlock}, {kNextBlockRequest, "0C 02 00 11 05 00 11 05"}}, 1,
                    "Unexpected element count 2 during ReadRequest block transfer"},
        TFamilyCase{"NextIsData", TEntry::eRead, kGetNormal,
                    {{kRead1008, kFirstBlock}, {kNextBlockRequest, "0C 01 00 11 05"}}, 1,
                    "Unexpected variant Data during ReadRequest block transfer"},
        TFamilyCase{"WholeHasTwoResultsForOne", TEntry::eRead, kGetNormal,
                    {{kRead1008, "0C 01 02 01 0001 07 02001105001106"}}, 1, "Wrong element count (2) in ReadResponse"},
        TFamilyCase{"WholeTruncated", TEntry::eRead, kGetNormal, {{kRead1008, "0C 01 02 01 0001 03 010011"}}, 1,
                    "Wrong encoding in pdu"},
        TFamilyCase{"WholeClaimsHugeCount", TEntry::eRead, kGetNormal,
                    {{kRead1008, "0C 01 02 01 0001 04 83FFFFFF"}}, 1, "Wrong encoding in pdu"},
        TFamilyCase{"NextIsError", TEntry::eRead, kGetNormal,
                    {{kRead1008, kFirstBlock}, {kNextBlockRequest, "0C 01 01 0E"}}, 1,
                    "Unexpected variant DataAccessResult during ReadRequest block transfer"}),
    CaseName);

const char kWrite1008[] = "06 01 02 1008 01 09 04 01020304";

INSTANTIATE_TEST_SUITE_P(
    Write, ShortNames,
    ::testing::Values(
        TFamilyCase{"Success", TEntry::eWrite, kSetOctets4, {{kWrite1008, "0D 01 00"}}, 0,
                    ActionNormal("00", "Success")},
        TFamilyCase{"Refused", TEntry::eWrite, kSetOctets4, {{kWrite1008, "0D 01 01 03"}}, 0,
                    ActionNormal("00", "ReadWriteDenied")},
        TFamilyCase{"TwoResults", TEntry::eWrite, kSetOctets4, {{kWrite1008, "0D 02 00 00"}}, 1,
                    "Wrong element count (2) in WriteResponse"},
        TFamilyCase{"AnsweredByRead", TEntry::eWrite, kSetOctets4, {{kWrite1008, "0C 01 00 11 05"}}, 1,
                    "Unexpected response ReadResponse to WriteRequest"},
        TFamilyCase{"AnsweredByBlockNumber", TEntry::eWrite, kSetOctets4, {{kWrite1008, "0D 01 02 0001"}}, 1,
                    "Unexpected response Unsigned16 to WriteRequest"},
        TFamilyCase{"List", TEntry::eWrite, kSetList2, {}, 1,
                    "WriteRequest for more that one attribute not implemented"},
        TFamilyCase{"NoAttributeCallback", TEntry::eWrite, kSetOctets4, {}, 1,
                    "GetShortNameOfAttribute call-back not set", cbSet, true, false}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Invoke, ShortNames,
    ::testing::Values(
        TFamilyCase{"ThroughRead", TEntry::eInvoke, kAction, {{"05 01 04 3060 00 0F 00", "0C 01 00 11 05"}}, 0,
                    kReturns5},
        TFamilyCase{"ThroughReadRefused", TEntry::eInvoke, kAction, {{"05 01 04 3060 00 0F 00", "0C 01 01 03"}}, 0,
                    ActionNormal("00", "ReadWriteDenied")},
        TFamilyCase{"ThroughReadTwoResults", TEntry::eInvoke, kAction,
                    {{"05 01 04 3060 00 0F 00", "0C 02 00 11 05 00 11 05"}}, 1,
                    "Wrong element count (2) in ReadResponse"},
        TFamilyCase{"ThroughReadAnsweredByGet", TEntry::eInvoke, kAction,
                    {{"05 01 04 3060 00 0F 00", "C4 01 C1 00 11 05"}}, 1,
                    "Unexpected response GetResponse to ReadRequest"},
        TFamilyCase{"ThroughReadInBlocks", TEntry::eInvoke, kAction,
                    {{"05 01 04 3060 00 0F 00", "0C 01 02 00 0001 02 0100"},
                     {kNextBlockRequest, "0C 01 02 01 0002 02 1105"}},
                    0, kReturns5},
        TFamilyCase{"ThroughWrite", TEntry::eInvoke, kAction, {{"06 01 02 3060 01 0F 00", "0D 01 00"}}, 0,
                    ActionNormal("00", "Success"), cbAction, false},
        TFamilyCase{"ThroughWriteRefused", TEntry::eInvoke, kAction, {{"06 01 02 3060 01 0F 00", "0D 01 01 0B"}}, 0,
                    ActionNormal("00", "ObjectUnavailable"), cbAction, false},
        TFamilyCase{"WithoutParametersSendsNullData", TEntry::eInvoke, kActionNoParameters,
                    {{"06 01 02 3060 01 00", "0D 01 00"}}, 0, ActionNormal("00", "Success"), cbAction, false},
        TFamilyCase{"NoMethodCallback", TEntry::eInvoke, kAction, {}, 1, "GetShortNameOfMethod call-back not set",
                    cbAction, true, false}),
    CaseName);

// The reassembled answer of a read block transfer is logged once, as it
// would have arrived in one piece: no title, not indented.
TEST_F(EngineTest, ShortNameBlockTransferLogsTheWholeAnswer) {
  TScriptedConversation script(std::vector<TScriptStep>{{kRead1008, kFirstBlock}, {kNextBlockRequest, "0C 01 02 01 0002 08 030405060708090A"}});
  Ctx.ApplicationContext = 1;
  Ctx.GetShortNameOfAttributeFunc = AttributeName;
  EstablishPre(script, cbGet | cbBlockTransferWithGet, 1024);
  ASSERT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << ResultText();
  const std::vector<std::string> whole = {"<ReadResponse Qty=\"0001\" >", "  <Data>",
                                          "    <OctetString Value=\"0102030405060708090A\" />", "  </Data>",
                                          "</ReadResponse>"};
  const auto& log = script.LogLines();
  auto at = std::search(log.begin(), log.end(), whole.begin(), whole.end());
  EXPECT_NE(at, log.end()) << "the reassembled ReadResponse is logged";
  EXPECT_EQ(std::search(at + 1, log.end(), whole.begin(), whole.end()), log.end()) << "and only once";
}

// ------------------------------------------------------------- ACCESS

class Access : public EngineTest, public ::testing::WithParamInterface<TFamilyCase> {};

TEST_P(Access, ConversationAndResult) { RunCase(Ctx, GetParam(), 3, 0); }

// Long invoke id 1, confirmed, break on error; no date-time.
#define QT_ACCESS_REQUEST "D9 60000001 00 "
#define QT_ACCESS_RESPONSE "DA 60000001 00 00 "
const char kAccessGet[] = QT_ACCESS_REQUEST "01 01 0001 0000600100FF 02 01 00";
const char kAccessGetThree[] =
    QT_ACCESS_REQUEST "03 01 0001 0000600100FF 02 01 0003 0100010800FF 02 01 0003 0100010800FF 03 03 00 00 00";
const char kAccessSet[] = QT_ACCESS_REQUEST "01 02 0001 0000600100FF 02 01 09 04 01020304";
const char kAccessAction[] = QT_ACCESS_REQUEST "01 03 0008 0000010000FF 01 01 0F 00";
const uint32_t kAccessConformance = cbAccess | cbGet | cbSet | cbAction;

INSTANTIATE_TEST_SUITE_P(
    Read, Access,
    ::testing::Values(
        TFamilyCase{"One", TEntry::eRead, kGetNormal, {{kAccessGet, QT_ACCESS_RESPONSE "01 11 05 01 01 00"}}, 0,
                    kUnsigned5, kAccessConformance},
        TFamilyCase{"OneRefused", TEntry::eRead, kGetNormal, {{kAccessGet, QT_ACCESS_RESPONSE "01 00 01 01 04"}}, 0,
                    kUndefined, kAccessConformance},
        TFamilyCase{"WithSelection", TEntry::eRead, kGetSelected,
                    {{std::string(QT_ACCESS_REQUEST "01 04 0001 0000600100FF 02 ") + kRangeBytes + " 01 00",
                      QT_ACCESS_RESPONSE "01 11 05 01 01 00"}},
                    0, kUnsigned5, kAccessConformance},
        TFamilyCase{"ListErrorInTheMiddle", TEntry::eRead, kGetList3,
                    {{kAccessGetThree, QT_ACCESS_RESPONSE "03 11 05 00 12 0102 03 01 00 01 04 01 00"}}, 0,
                    WithList("C1", "0003",
                             {"<Data>", "  <Unsigned Value=\"05\" />", "</Data>",
                              "<DataAccessError Value=\"ObjectUndefined\" />", "<Data>",
                              "  <LongUnsigned Value=\"0102\" />", "</Data>"}),
                    kAccessConformance},
        TFamilyCase{"ListOfOneStaysAList", TEntry::eRead, kGetList1,
                    {{kAccessGet, QT_ACCESS_RESPONSE "01 11 05 01 01 00"}}, 0,
                    WithList("C1", "0001", {"<Data>", "  <Unsigned Value=\"05\" />", "</Data>"}),
                    kAccessConformance}),
    CaseName);

// Every check of an AccessResponse, each failing on the read of one attribute.
INSTANTIATE_TEST_SUITE_P(
    Checks, Access,
    ::testing::Values(
        TFamilyCase{"ExceptionResponse", TEntry::eRead, kGetNormal, {{kAccessGet, "D8 01 02"}}, 1,
                    "Unexpected response", kAccessConformance},
        TFamilyCase{"GetResponse", TEntry::eRead, kGetNormal, {{kAccessGet, "C4 01 C1 00 11 05"}}, 1,
                    "Unexpected response", kAccessConformance},
        TFamilyCase{"PriorityBitDiffers", TEntry::eRead, kGetNormal,
                    {{kAccessGet, "DA E0000001 00 00 01 11 05 01 01 00"}}, 1,
                    "Wrong value of long-invoke-id-and-priority", kAccessConformance},
        TFamilyCase{"OtherInvokeId", TEntry::eRead, kGetNormal,
                    {{kAccessGet, "DA 60000002 00 00 01 11 05 01 01 00"}}, 1,
                    "Wrong value of long-invoke-id-and-priority", kAccessConformance},
        TFamilyCase{"DateTime", TEntry::eRead, kGetNormal,
                    {{kAccessGet, "DA 60000001 0C 07EA0C0A04030405 00 8000 00 00 01 11 05 01 01 00"}}, 1,
                    "Unexpected \"date-time\"", kAccessConformance},
        TFamilyCase{"RequestSpecificationEchoed", TEntry::eRead, kGetNormal,
                    {{kAccessGet, "DA 60000001 00 01 01 01 0001 0000600100FF 02 01 11 05 01 01 00"}}, 1,
                    "Unexpected \"access-request-specification\" in response", kAccessConformance},
        TFamilyCase{"TwoDataForThree", TEntry::eRead, kGetList3,
                    {{kAccessGetThree, QT_ACCESS_RESPONSE "02 11 05 11 06 03 01 00 01 00 01 00"}}, 1,
                    "Unexpected number of elements in \"list-of-data\" in response", kAccessConformance},
        TFamilyCase{"NoResponseSpecification", TEntry::eRead, kGetNormal,
                    {{kAccessGet, QT_ACCESS_RESPONSE "01 11 05 00"}}, 1,
                    "Unexpected number of elements in \"access-response-specification\" in response",
                    kAccessConformance},
        TFamilyCase{"Truncated", TEntry::eRead, kGetNormal, {{kAccessGet, QT_ACCESS_RESPONSE "01 11 05 01"}}, 1,
                    "Wrong encoding in pdu", kAccessConformance},
        TFamilyCase{"ReadAnsweredAsWrite", TEntry::eRead, kGetNormal,
                    {{kAccessGet, QT_ACCESS_RESPONSE "01 11 05 01 02 00"}}, 1,
                    "Access-response-specification does not match the request", kAccessConformance}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    WriteAndInvoke, Access,
    ::testing::Values(
        TFamilyCase{"Write", TEntry::eWrite, kSetOctets4, {{kAccessSet, QT_ACCESS_RESPONSE "01 00 01 02 00"}}, 0,
                    Xml({"<SetResponseNormal>", "  <InvokeIdAndPriority Value=\"C1\" />",
                         "  <Result Value=\"Success\" />", "</SetResponseNormal>"}),
                    kAccessConformance},
        TFamilyCase{"WriteList", TEntry::eWrite, kSetList2,
                    {{QT_ACCESS_REQUEST "02 02 0001 0000600100FF 02 02 0003 0100010800FF 02 02 11 05 12 0102",
                      QT_ACCESS_RESPONSE "02 00 00 02 02 00 02 03"}},
                    0,
                    Xml({"<SetResponseWithList>", "  <InvokeIdAndPriority Value=\"C1\" />", "  <Result Qty=\"0002\" >",
                         "    <_DataAccessResult Value=\"Success\" />",
                         "    <_DataAccessResult Value=\"ReadWriteDenied\" />", "  </Result>",
                         "</SetResponseWithList>"}),
                    kAccessConformance},
        TFamilyCase{"WriteListValuesMissing", TEntry::eWrite,
                    "<SetRequestWithList><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptorList Qty=\"0002\">" QT_DESCRIPTOR(
                        "0001", "0000600100FF", "02") QT_DESCRIPTOR("0003", "0100010800FF", "02")
                        "</AttributeDescriptorList><ValueList Qty=\"0001\"><Unsigned Value=\"05\" />"
                        "</ValueList></SetRequestWithList>",
                    {}, 1, "SetRequestWithList has 2 attributes but 1 values", kAccessConformance},
        TFamilyCase{"WriteListWithSelection", TEntry::eWrite, kSetListSelected, {}, 1,
                    "Access/WithList/SelectiveAccess not implemented", kAccessConformance},
        TFamilyCase{"Invoke", TEntry::eInvoke, kAction, {{kAccessAction, QT_ACCESS_RESPONSE "01 11 05 01 03 00"}}, 0,
                    ActionNormal("C1", "Success",
                                 {"<ReturnParameters>", "  <Data>", "    <Unsigned Value=\"05\" />", "  </Data>",
                                  "</ReturnParameters>"}),
                    kAccessConformance},
        TFamilyCase{"InvokeRefused", TEntry::eInvoke, kAction, {{kAccessAction, QT_ACCESS_RESPONSE "01 00 01 03 0B"}},
                    0, ActionNormal("C1", "ObjectUnavailable"), kAccessConformance},
        TFamilyCase{"InvokeWithoutParameters", TEntry::eInvoke, kActionNoParameters,
                    {{QT_ACCESS_REQUEST "01 03 0008 0000010000FF 01 01 00", QT_ACCESS_RESPONSE "01 00 01 03 00"}}, 0,
                    ActionNormal("C1", "Success",
                                 {"<ReturnParameters>", "  <Data>", "    <NullData />", "  </Data>",
                                  "</ReturnParameters>"}),
                    kAccessConformance}),
    CaseName);

}  // namespace
