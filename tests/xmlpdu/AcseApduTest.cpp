// The ACSE APDUs (AARQ, AARE, RLRQ, RLRE) through the top-level APDU CHOICE:
// captures in both directions, fields out of order, every wire and XML error,
// and cut or lying lengths.
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "xmlpdu/ACSE.h"

using namespace quillon;
using quillon::test::ErrorOf;
using quillon::test::H;

namespace {

std::string Hex(const PduStr& s) { return TMisc::ByteStrToSpacedHexStr(s); }

std::unique_ptr<T_COSEMpdu> FromBytes(const PduStr& bytes) { return MakeFromPdu<T_COSEMpdu>(xmlIgnore, bytes); }
std::unique_ptr<T_COSEMpdu> FromXml(const std::string& xml) { return MakeFromXml<T_COSEMpdu>(xmlIgnore, xml); }

template <class T>
T& As(const T_COSEMpdu& pdu) {
  auto* v = dynamic_cast<T*>(pdu.Value.get());
  if (!v) throw std::runtime_error("unexpected APDU type");
  return *v;
}

const char kInitiateRequest[] = "01 00 00 00 06 5F 1F 04 00 00 7E 1F 04 B0";
const char kSystemTitle[] = "4D 4D 4D 00 00 BC 61 4E";

// The InitiateResponse that the AARE and RLRE captures carry (conformance
// 00 50 1F, PDU size 500, logical names), written `level` levels deep.
std::string InitiateResponseXml(int level) {
  std::string pad(static_cast<size_t>(level) * 2, ' ');
  std::string xml;
  for (const char* line : {"<InitiateResponse>", "  <NegotiatedDlmsVersionNumber Value=\"06\" />",
                           "  <NegotiatedConformance>", "    <ConformanceBit Name=\"Action\" />",
                           "    <ConformanceBit Name=\"EventNotification\" />",
                           "    <ConformanceBit Name=\"SelectiveAccess\" />", "    <ConformanceBit Name=\"Set\" />",
                           "    <ConformanceBit Name=\"Get\" />",
                           "    <ConformanceBit Name=\"BlockTransferWithGetOrRead\" />",
                           "    <ConformanceBit Name=\"PriorityMgmtSupported\" />", "  </NegotiatedConformance>",
                           "  <NegotiatedMaxPduSize Value=\"01F4\" />", "  <VaaName Value=\"0007\" />",
                           "</InitiateResponse>"})
    xml += pad + line + "\r\n";
  return xml;
}

// Real exchanges: the bytes as captured and the XML the system writes for them.
struct Capture {
  const char* name;
  std::string hex;
  std::string xml;
};

const std::vector<Capture>& Captures() {
  static const std::vector<Capture> captures = {
      {"AARQ, logical names, no authentication",
       std::string("60 1D A1 09 06 07 60 85 74 05 08 01 01 BE 10 04 0E ") + kInitiateRequest,
       "<AssociationRequest>\r\n"
       "  <ApplicationContextName Value=\"LN\" />\r\n"
       "  <InitiateRequest>\r\n"
       "    <ProposedDlmsVersionNumber Value=\"06\" />\r\n"
       "    <ProposedConformance>\r\n"
       "      <ConformanceBit Name=\"Action\" />\r\n"
       "      <ConformanceBit Name=\"EventNotification\" />\r\n"
       "      <ConformanceBit Name=\"SelectiveAccess\" />\r\n"
       "      <ConformanceBit Name=\"Set\" />\r\n"
       "      <ConformanceBit Name=\"Get\" />\r\n"
       "      <ConformanceBit Name=\"MultipleReferences\" />\r\n"
       "      <ConformanceBit Name=\"BlockTransferWithAction\" />\r\n"
       "      <ConformanceBit Name=\"BlockTransferWithSetOrWrite\" />\r\n"
       "      <ConformanceBit Name=\"BlockTransferWithGetOrRead\" />\r\n"
       "      <ConformanceBit Name=\"Attribute0SupportedWithGet\" />\r\n"
       "      <ConformanceBit Name=\"PriorityMgmtSupported\" />\r\n"
       "    </ProposedConformance>\r\n"
       "    <ProposedMaxPduSize Value=\"04B0\" />\r\n"
       "  </InitiateRequest>\r\n"
       "</AssociationRequest>\r\n"},
      {"AARQ, low-level security",
       std::string("60 36 A1 09 06 07 60 85 74 05 08 01 01 8A 02 07 80 8B 07 60 85 74 05 08 02 01 "
                   "AC 0A 80 08 31 32 33 34 35 36 37 38 BE 10 04 0E ") +
           kInitiateRequest,
       ""},
      {"AARQ, every optional field",
       std::string("60 60 80 02 07 80 A1 09 06 07 60 85 74 05 08 01 01 A2 04 04 02 11 22 A3 03 04 01 33 "
                   "A4 03 02 01 01 A5 03 02 01 02 A6 0A 04 08 ") +
           kSystemTitle +
           " A7 03 04 01 44 A8 03 02 01 03 A9 03 02 01 04 8A 02 07 80 8B 07 60 85 74 05 08 02 05 "
           "AC 06 80 04 01 02 03 04 9D 02 AB CD BE 06 04 04 21 02 AA BB",
       ""},
      {"AARQ, ciphered InitiateRequest",
       std::string("60 46 A1 09 06 07 60 85 74 05 08 01 03 A6 0A 04 08 ") + kSystemTitle +
           " 8A 02 07 80 8B 07 60 85 74 05 08 02 05 AC 0A 80 08 01 02 03 04 05 06 07 08 "
           "BE 14 04 12 21 10 30 00 00 00 01 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB",
       "<AssociationRequest>\r\n"
       "  <ApplicationContextName Value=\"LN_WITH_CIPHERING\" />\r\n"
       "  <CallingAPTitle Value=\"4D4D4D0000BC614E\" />\r\n"
       "  <SenderACSERequirements Value=\"1\" />\r\n"
       "  <MechanismName Value=\"HIGH_SECURITY_GMAC\" />\r\n"
       "  <CallingAuthenticationValue Value=\"0102030405060708\" />\r\n"
       "  <glo_InitiateRequest Value=\"3000000001A1A2A3A4A5A6A7A8A9AAAB\" />\r\n"
       "</AssociationRequest>\r\n"},
      {"AARE, accepted",
       "61 29 A1 09 06 07 60 85 74 05 08 01 01 A2 03 02 01 00 A3 05 A1 03 02 01 00 "
       "BE 10 04 0E 08 00 06 5F 1F 04 00 00 50 1F 01 F4 00 07",
       "<AssociationResponse>\r\n"
       "  <ApplicationContextName Value=\"LN\" />\r\n"
       "  <AssociationResult Value=\"00\" />\r\n"
       "  <ResultSourceDiagnostic>\r\n"
       "    <ACSEServiceUser Value=\"00\" />\r\n"
       "  </ResultSourceDiagnostic>\r\n"
       + InitiateResponseXml(1) +
       "</AssociationResponse>\r\n"},
      {"AARE, high-level security pending",
       std::string("61 56 A1 09 06 07 60 85 74 05 08 01 01 A2 03 02 01 00 A3 05 A1 03 02 01 0E A4 0A 04 08 ") +
           kSystemTitle +
           " 88 02 07 80 89 07 60 85 74 05 08 02 05 AA 12 80 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF "
           "BE 10 04 0E 08 00 06 5F 1F 04 00 00 50 1F 01 F4 00 07",
       ""},
      {"AARE, rejected by the provider with a service error",
       "61 1F A1 09 06 07 60 85 74 05 08 01 01 A2 03 02 01 01 A3 05 A2 03 02 01 02 BE 06 04 04 0E 01 06 01",
       "<AssociationResponse>\r\n"
       "  <ApplicationContextName Value=\"LN\" />\r\n"
       "  <AssociationResult Value=\"01\" />\r\n"
       "  <ResultSourceDiagnostic>\r\n"
       "    <ACSEServiceProvider Value=\"02\" />\r\n"
       "  </ResultSourceDiagnostic>\r\n"
       "  <ConfirmedServiceError>\r\n"
       "    <Service Value=\"01\" />\r\n"
       "    <ServiceError>\r\n"
       "      <Initiate Value=\"DlmsVersionTooLow\" />\r\n"
       "    </ServiceError>\r\n"
       "  </ConfirmedServiceError>\r\n"
       "</AssociationResponse>\r\n"},
      {"RLRQ, normal", "62 03 80 01 00",
       "<ReleaseRequest>\r\n"
       "  <Reason Value=\"Normal\" />\r\n"
       "</ReleaseRequest>\r\n"},
      {"RLRQ with user information", std::string("62 15 80 01 00 BE 10 04 0E ") + kInitiateRequest, ""},
      {"RLRQ, empty", "62 00", "<ReleaseRequest>\r\n</ReleaseRequest>\r\n"},
      {"RLRE, user defined", "63 03 80 01 1E",
       "<ReleaseResponse>\r\n"
       "  <Reason Value=\"UserDefined\" />\r\n"
       "</ReleaseResponse>\r\n"},
      {"RLRE with user information",
       "63 15 80 01 01 BE 10 04 0E 08 00 06 5F 1F 04 00 00 50 1F 01 F4 00 07",
       "<ReleaseResponse>\r\n"
       "  <Reason Value=\"NotFinished\" />\r\n"
       "  <UserInformation>\r\n"
       + InitiateResponseXml(2) +
       "  </UserInformation>\r\n"
       "</ReleaseResponse>\r\n"},
  };
  return captures;
}

}  // namespace

TEST(AcseApdu, CapturesRoundTripThroughBytesAndXml) {
  for (const auto& c : Captures()) {
    SCOPED_TRACE(c.name);
    PduStr bytes = H(c.hex);
    auto pdu = FromBytes(bytes);
    EXPECT_EQ(Hex(pdu->Encoded()), Hex(bytes));
    std::string xml = pdu->ToXMLString();
    if (!c.xml.empty()) {
      EXPECT_EQ(xml, c.xml);
    }
    auto again = FromXml(xml);
    EXPECT_EQ(again->ToXMLString(), xml);
    EXPECT_EQ(Hex(again->Encoded()), Hex(bytes));
    auto copy = pdu->Clone();
    EXPECT_TRUE(copy->IsEqual(*pdu));
    EXPECT_EQ(copy->ToXMLString(), xml);
  }
}

TEST(AcseApdu, AarqBuiltAsTheEngineWritesIt) {
  // Logical names, no authentication, a calling AP title and the usual
  // InitiateRequest, laid out on one line as the request templates are.
  std::string xml =
      "<AssociationRequest><ApplicationContextName Value=\"LN\" />"
      "<CallingAPTitle Value=\"4D4D4D0000BC614E\" />"
      "<InitiateRequest><ProposedDlmsVersionNumber Value=\"06\" /><ProposedConformance>"
      "<ConformanceBit Name=\"Get\" /><ConformanceBit Name=\"Set\" /><ConformanceBit Name=\"SelectiveAccess\" />"
      "<ConformanceBit Name=\"Action\" /><ConformanceBit Name=\"BlockTransferWithGetOrRead\" />"
      "</ProposedConformance><ProposedMaxPduSize Value=\"04B0\" /></InitiateRequest></AssociationRequest>";
  auto pdu = FromXml(xml);
  EXPECT_EQ(pdu->Tag, 0x60);
  EXPECT_EQ(Hex(pdu->Encoded()),
            Hex(H(std::string("60 29 A1 09 06 07 60 85 74 05 08 01 01 A6 0A 04 08 ") + kSystemTitle +
                  " BE 10 04 0E 01 00 00 00 06 5F 1F 04 00 00 10 1D 04 B0")));
  auto& aarq = As<T_AssociationRequest>(*pdu);
  EXPECT_EQ(aarq.ApplicationContextName()->Value, oiLN);
  EXPECT_EQ(aarq.CallingAPTitle()->Value, H(kSystemTitle));
  EXPECT_EQ(aarq.MechanismName(), nullptr);
  ASSERT_NE(aarq.UserInformation(), nullptr);
  EXPECT_EQ(aarq.UserInformation()->XMLId, xmlIgnore);
  PduStr noLen;
  aarq.UserInformation()->EncodeToPduStrNoLen(noLen);
  EXPECT_EQ(Hex(noLen), "01 00 00 00 06 5F 1F 04 00 00 10 1D 04 B0");
}

TEST(AcseApdu, AareFieldsInAnyOrderGiveTheSameTree) {
  const std::string inOrder = Captures()[4].hex;
  const char* shuffled[] = {
      "61 29 BE 10 04 0E 08 00 06 5F 1F 04 00 00 50 1F 01 F4 00 07 A3 05 A1 03 02 01 00 A2 03 02 01 00 "
      "A1 09 06 07 60 85 74 05 08 01 01",
      "61 29 A2 03 02 01 00 A1 09 06 07 60 85 74 05 08 01 01 BE 10 04 0E 08 00 06 5F 1F 04 00 00 50 1F 01 F4 00 07 "
      "A3 05 A1 03 02 01 00",
  };
  for (const char* hex : shuffled) {
    auto pdu = FromBytes(H(hex));
    EXPECT_EQ(Hex(pdu->Encoded()), Hex(H(inOrder))) << hex;
    EXPECT_EQ(pdu->ToXMLString(), Captures()[4].xml) << hex;
  }
  // A field given twice: the later one counts.
  auto twice = FromBytes(H("61 1C A1 09 06 07 60 85 74 05 08 01 01 A2 03 02 01 00 A2 03 02 01 01 A3 05 A1 03 02 01 00"));
  auto& aare = As<T_AssociationResponse>(*twice);
  EXPECT_EQ(aare.AssociationResult()->Value, 1);
  EXPECT_EQ(aare.ResultSourceDiagnostic()->Tag1(), 0xA1);
  EXPECT_EQ(aare.ResultSourceDiagnostic()->Diagnostic(), 0);
}

TEST(AcseApdu, WireErrorsNameWhatWasWrong) {
  struct Case {
    const char* hex;
    const char* error;
  } cases[] = {
      // trailing byte after a complete AARE
      {"61 17 A1 09 06 07 60 85 74 05 08 01 01 A2 03 02 01 00 A3 05 A1 03 02 01 00 00", "Unexpected tag1 0"},
      {"60 02 99 00", "Unexpected tag1 153"},
      {"60 0B A1 09 04 07 60 85 74 05 08 01 01", "Unexpected tag2 4"},
      {"60 05 A4 03 04 01 01", "Unexpected tag2 4"},
      {"60 06 AC 04 04 02 31 32", "Unexpected tag2 4"},
      {"60 04 BE 02 05 00", "Unexpected tag2 5"},
      {"61 07 A3 05 A3 03 02 01 00", "T_ResultSourceDiagnostic : illegal Tag 163"},
      {"61 07 A3 05 A1 03 03 01 00", "Byte[7]:, expected 0x02 found 0x03"},
      {"61 06 A2 04 02 02 00 00", "T_AssociationResult: Illegal data size"},
      {"60 05 A4 03 02 00 01", "T_InvocationId: Illegal data size"},
      {"61 08 A3 06 A1 04 02 02 00 01", "T_ACSEServiceUser: Illegal data size"},
      {"61 08 A3 06 A2 04 02 02 00 01", "T_ACSEServiceProvider: Illegal data size"},
      {"60 09 A1 07 06 05 60 85 74 05 08", "Object identifier illegal length 5"},
      {"60 04 8A 02 07 80 8A", "Wrong encoding in pdu"},
      {"62 03 80 02 00", "Byte[4]:, expected 0x01 found 0x02"},
      {"63 03 81 01 00", "Unexpected tag1 129"},
      {"62 04 BE 02 03 00", "Unexpected tag2 3"},
      {"62 05 BE 03 04 01 02", "T_COSEMpdu : illegal Tag 2"},
      {"60 02 8B 09", "Object identifier illegal length 9"},
      {"60 03 8A 00 00", "Wrong encoding in pdu"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { FromBytes(H(c.hex)); }), c.error) << c.hex;
}

TEST(AcseApdu, CutOrLyingLengthsFailCleanly) {
  // Every cut of every capture fails: inside a field the bytes run out, and a
  // cut between two fields leaves less than the APDU's own length announces.
  for (const auto& c : Captures()) {
    PduStr bytes = H(c.hex);
    for (size_t n = 0; n < bytes.size(); ++n) {
      std::string err = ErrorOf([&] { FromBytes(bytes.substr(0, n)); });
      EXPECT_EQ(err, "Wrong encoding in pdu") << c.name << ", first " << n << " bytes";
    }
  }
  const char* lying[] = {
      "60 83 FF FF FF A1 09 06 07 60 85 74 05 08 01 01",  // whole length far beyond the input
      "60 0B A1 7F 06 07 60 85 74 05 08 01 01",           // field length beyond the input
      "60 07 BE 05 04 83 FF FF FF",                      // user information length beyond the input
      "60 06 AC 04 80 82 FF FF",                         // authentication value length beyond the input
  };
  for (const char* hex : lying) EXPECT_EQ(ErrorOf([&] { FromBytes(H(hex)); }), "Wrong encoding in pdu") << hex;
  EXPECT_EQ(ErrorOf([] { FromBytes(H("60 84 00 00 00 01")); }), "Unsupported integer length.");
}

TEST(AcseApdu, MandatoryFieldsAreCheckedWhenEncoding) {
  struct Case {
    const char* hex;
    const char* error;
  } cases[] = {
      {"60 00", "Field ApplicationContextName missing"},
      {"60 04 8A 02 07 80", "Field ApplicationContextName missing"},
      {"61 07 A3 05 A1 03 02 01 00", "Field ApplicationContextName missing"},
      {"61 12 A1 09 06 07 60 85 74 05 08 01 01 A3 05 A1 03 02 01 00", "Field AssociationResult missing"},
      {"61 10 A1 09 06 07 60 85 74 05 08 01 01 A2 03 02 01 00", "Field ResultSourceDiagnostic missing"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<T_COSEMpdu> pdu;
    ASSERT_NO_THROW(pdu = FromBytes(H(c.hex))) << c.hex;  // absent fields decode
    EXPECT_EQ(ErrorOf([&] { pdu->Encoded(); }), c.error) << c.hex;
  }
}

TEST(AcseApdu, XmlErrorsNameWhatWasWrong) {
  const std::string ctx = "<ApplicationContextName Value=\"LN\" />";
  const std::string result = "<AssociationResult Value=\"00\" />";
  struct Case {
    std::string xml;
    const char* error;
  } cases[] = {
      {"<AssociationRequest><MechanismName Value=\"LOW_SECURITY\" /></AssociationRequest>",
       "Start tag \"ApplicationContextName\" expected"},
      {"<AssociationRequest>" + ctx + "<InitiateResponse></InitiateResponse></AssociationRequest>",
       "Stop tag \"AssociationRequest\" expected"},
      // fields follow the order of the APDU in XML
      {"<AssociationRequest>" + ctx + "<MechanismName Value=\"LN\" /><CallingAPTitle Value=\"01\" /></AssociationRequest>",
       "Stop tag \"AssociationRequest\" expected"},
      {"<AssociationRequest><ApplicationContextName Value=\"LM\" /></AssociationRequest>", "Illegal value LM"},
      {"<AssociationRequest>" + ctx + "<CalledAPInvocationId Value=\"0102\" /></AssociationRequest>",
       "Illegal data size, expected 1, found 2"},
      {"<AssociationResponse>" + ctx + "<ResultSourceDiagnostic><ACSEServiceUser Value=\"00\" /></ResultSourceDiagnostic></AssociationResponse>",
       "Start tag \"AssociationResult\" expected"},
      {"<AssociationResponse>" + ctx + result + "</AssociationResponse>", "Start tag \"ResultSourceDiagnostic\" expected"},
      {"<AssociationResponse>" + ctx + result +
           "<ResultSourceDiagnostic><AssociationResult Value=\"00\" /></ResultSourceDiagnostic></AssociationResponse>",
       "T_ResultSourceDiagnostic : illegal choice"},
      {"<AssociationResponse>" + ctx + result +
           "<ResultSourceDiagnostic><ACSEServiceUser Value=\"00\" /></ResultSourceDiagnostic>"
           "<InitiateRequest></InitiateRequest></AssociationResponse>",
       "Stop tag \"AssociationResponse\" expected"},
      {"<ReleaseRequest><Reason Value=\"Later\" /></ReleaseRequest>", "T_ReleaseRequestReason: illegal element Later"},
      {"<ReleaseResponse><Reason Value=\"Urgent\" /></ReleaseResponse>", "T_ReleaseResponseReason: illegal element Urgent"},
      {"<ReleaseRequest><Reason Value=\"Normal\" /><InitiateRequest></InitiateRequest></ReleaseRequest>",
       "Stop tag \"ReleaseRequest\" expected"},
      {"<ReleaseRequest><UserInformation><Reason Value=\"Normal\" /></UserInformation></ReleaseRequest>",
       "T_COSEMpdu.CreateFromXml : illegal choice"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { FromXml(c.xml); }), c.error) << c.xml;

  try {
    FromXml("<AssociationResponse>\n  <ApplicationContextName Value=\"LN\" />\n  <Foo />\n</AssociationResponse>");
    FAIL() << "no error";
  } catch (const EXMLError& e) {
    EXPECT_STREQ(e.what(), "'Foo' unknown identifier");
    EXPECT_EQ(e.PosY, 3);
  }
}

TEST(AcseApdu, ReleaseReasonsAreWrittenByName) {
  struct Case {
    const char* hex;
    const char* name;
  } cases[] = {
      {"62 03 80 01 00", "Normal"},   {"62 03 80 01 01", "Urgent"},      {"62 03 80 01 1E", "UserDefined"},
      {"63 03 80 01 00", "Normal"},   {"63 03 80 01 01", "NotFinished"}, {"63 03 80 01 1E", "UserDefined"},
  };
  for (const auto& c : cases) {
    auto pdu = FromBytes(H(c.hex));
    EXPECT_NE(pdu->ToXMLString().find(std::string("<Reason Value=\"") + c.name + "\" />"), std::string::npos) << c.hex;
  }
  EXPECT_EQ(ErrorOf([] { FromBytes(H("62 03 80 01 02"))->ToXMLString(); }), "T_ReleaseRequestReason: case range");
  EXPECT_EQ(ErrorOf([] { FromBytes(H("63 03 80 01 02"))->ToXMLString(); }), "T_ReleaseResponseReason: case range");
  // Unnamed values still travel as bytes.
  EXPECT_EQ(Hex(FromBytes(H("62 03 80 01 02"))->Encoded()), "62 03 80 01 02");
}

TEST(AcseApdu, NewObjectsHoldTheirRequiredFields) {
  T_AssociationResponse aare(xmlAssociationResponse);
  aare.ApplicationContextName()->Value = oiLN;
  aare.AssociationResult()->Value = 1;
  aare.ResultSourceDiagnostic()->SelectVariant(xmlACSEServiceProvider, std::make_unique<T_ACSEServiceProvider>(xmlIgnore, 2));
  EXPECT_EQ(Hex(aare.Encoded()), "17 A1 09 06 07 60 85 74 05 08 01 01 A2 03 02 01 01 A3 05 A2 03 02 01 02");

  T_AssociationRequest aarq(xmlAssociationRequest);
  aarq.SetMechanismName(std::make_unique<T_MechanismName>(xmlIgnore, oiLOW_SECURITY));
  aarq.SetCallingAuthenticationValue(std::make_unique<T_AuthenticationValue>(xmlIgnore, "pass"));
  EXPECT_EQ(Hex(aarq.Encoded()),
            "1C A1 09 06 07 5F 85 75 04 07 02 03 8B 07 60 85 74 05 08 02 01 AC 06 80 04 70 61 73 73");
  EXPECT_EQ(aarq.MechanismName()->XMLId, xmlMechanismName);

  T_ReleaseRequest rlrq(xmlReleaseRequest);
  EXPECT_EQ(Hex(rlrq.Encoded()), "03 80 01 00");
  EXPECT_EQ(rlrq.ToXMLString(), "<ReleaseRequest>\r\n  <Reason Value=\"Normal\" />\r\n</ReleaseRequest>\r\n");
  EXPECT_EQ(T_ReleaseResponseReason::GetString(1), "NotFinished");
}

TEST(AcseApdu, UserInformationKeepsItsLengthApart) {
  auto pdu = FromBytes(H("62 15 80 01 00 BE 10 04 0E 01 00 00 00 06 5F 1F 04 00 00 7E 1F 04 B0"));
  auto& rlrq = As<T_ReleaseRequest>(*pdu);
  ASSERT_NE(rlrq.UserInformation(), nullptr);
  EXPECT_EQ(rlrq.UserInformation()->XMLId, xmlUserInformation);
  PduStr withLen, noLen;
  rlrq.UserInformation()->EncodeToPduStr(withLen);
  rlrq.UserInformation()->EncodeToPduStrNoLen(noLen);
  EXPECT_EQ(Hex(withLen), "0E 01 00 00 00 06 5F 1F 04 00 00 7E 1F 04 B0");
  EXPECT_EQ(Hex(noLen), "01 00 00 00 06 5F 1F 04 00 00 7E 1F 04 B0");
  // A long ciphered user information takes a two-byte length.
  PduStr cipher(300, '\x5A');
  PduStr bytes = H("BE 82 01 34 04 82 01 30 21 82 01 2C") + cipher;
  bytes = H("60 82 01 43 A1 09 06 07 60 85 74 05 08 01 03") + bytes;
  auto big = FromBytes(bytes);
  EXPECT_EQ(Hex(big->Encoded()), Hex(bytes));
}

TEST(AcseApdu, DeeplyNestedUserInformationIsRefused) {
  // User information may hold any APDU, an AARQ too; hostile input nesting
  // them hundreds deep must end in an error, not in an exhausted stack.
  PduStr bytes = H("62 00");
  std::string xml = "<ReleaseRequest></ReleaseRequest>";
  for (int i = 0; i < 300; ++i) {
    PduStr apdu;
    EncodeVarLengthUnsignedInteger(apdu, static_cast<int32_t>(bytes.size()));
    apdu += bytes;
    PduStr inner = H("04") + apdu;
    PduStr field = H("BE");
    EncodeVarLengthUnsignedInteger(field, static_cast<int32_t>(inner.size()));
    field += inner;
    bytes = H("62");
    EncodeVarLengthUnsignedInteger(bytes, static_cast<int32_t>(field.size()));
    bytes += field;
    xml = "<ReleaseRequest><UserInformation>" + xml + "</UserInformation></ReleaseRequest>";
  }
  EXPECT_EQ(ErrorOf([&] { FromBytes(bytes); }), "Nesting deeper than 200 levels");
  EXPECT_EQ(ErrorOf([&] { FromXml(xml); }), "Nesting deeper than 200 levels");
}
