#include <gtest/gtest.h>

#include "TestUtil.h"
#include "xmlpdu/Catalogue.h"
#include "xmlpdu/Make.h"

using namespace quillon;
using namespace quillon::test;

namespace {

std::unique_ptr<T_COSEMpdu> ApduFromHex(const std::string& hex) {
  return MakeFromPdu<T_COSEMpdu>(xmlIgnore, H(hex));
}
std::unique_ptr<T_COSEMpdu> ApduFromXml(const std::string& xml) { return MakeFromXml<T_COSEMpdu>(xmlIgnore, xml); }

const char* kGetRequestXml =
    "<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
    "<ClassId Value=\"0001\" /><InstanceId Value=\"0000280000FF\" /><AttributeId Value=\"02\" />"
    "</AttributeDescriptor></GetRequestNormal></GetRequest>";

}  // namespace

TEST(Catalogue, GetRequestNormalWorkedExample) {
  auto pdu = ApduFromXml(kGetRequestXml);
  EXPECT_EQ(pdu->Tag, 0xC0);
  auto* get = dynamic_cast<T_GetRequest*>(pdu->Value.get());
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(get->XMLId, xmlGetRequest);
  EXPECT_EQ(get->Tag, 1);
  auto* normal = dynamic_cast<T_GetRequestNormal*>(get->Value.get());
  ASSERT_NE(normal, nullptr);
  EXPECT_EQ(normal->FInvokeIdAndPriority()->Value, 0xC1);
  EXPECT_EQ(normal->FAttributeDescriptor()->FClassId()->Value, 1);
  EXPECT_EQ(normal->FAccessSelection(), nullptr);
  EXPECT_EQ(Hex(pdu->Encoded()), "C001C100010000280000FF0200");
  EXPECT_EQ(pdu->ToXMLString(), Lines({"<GetRequest>",
                                       "  <GetRequestNormal>",
                                       "    <InvokeIdAndPriority Value=\"C1\" />",
                                       "    <AttributeDescriptor>",
                                       "      <ClassId Value=\"0001\" />",
                                       "      <InstanceId Value=\"0000280000FF\" />",
                                       "      <AttributeId Value=\"02\" />",
                                       "    </AttributeDescriptor>",
                                       "  </GetRequestNormal>",
                                       "</GetRequest>"}));
  // And back from the bytes to the same tree.
  auto again = ApduFromHex("C001C100010000280000FF0200");
  EXPECT_EQ(again->ToXMLString(), pdu->ToXMLString());
  EXPECT_TRUE(again->IsEqual(*pdu));
  EXPECT_EQ(pdu->PDUSize(), 13);
}

// Byte vectors that must survive bytes -> tree -> bytes and XML -> tree -> XML.
TEST(Catalogue, RoundTripsEveryKindOfApdu) {
  const char* vectors[] = {
      "C001C100010000280000FF0200",                            // GetRequestNormal
      "C001C1 0007 0100630100FF 02 01 01 0204 0204 120008 09060000010000FF 0F02 120000"
      "090C07E3010101000000FF800000 090C07E3010201000000FF800000 0100",                                            // GetRequestNormal with access selection
      "C002C100000002",                                        // GetRequestForNextDataBlock
      "C003C1 02 0001 0000280000FF 02 00 0003 0100010800FF 02 00",  // GetRequestWithList
      "C401C100 09 03 112233",                                    // GetResponseNormal, data
      "C401C10104",                                            // GetResponseNormal, data-access error
      "C402C1 00 00000001 00 05 0102030405",                  // GetResponseWithDataBlock, raw data
      "C403C102 0011 05 0103",                                 // GetResponseWithList
      "C101C1000100002800 00FF0200 0906 010203040506",         // SetRequestNormal
      "C102C100010000280000FF0200 00 00000001 03 AABBCC",      // SetRequestWithFirstDataBlock
      "C103C1 01 00000002 02 DDEE",                            // SetRequestWithDataBlock
      "C104C1 02 0001 00002800 00FF 02 00 0008 0000010000FF 02 01 02 0101 12 0000 02 11 01 12 0002",
      "C501C100",                                              // SetResponseNormal
      "C502C100000001",                                        // SetResponseForDataBlock
      "C503C10000000002",                                      // SetResponseForLastDataBlock
      "C504C1020003 00000002",                                 // SetResponseForLastDataBlockWithList
      "C505C1020003",                                          // SetResponseWithList
      "C301C100460000600300FF0100",                            // ActionRequestNormal, no parameters
      "C301C100460000600300FF01010F00",                        // ActionRequestNormal with parameters
      "C302C100000003",                                        // ActionRequestForNextPBlock
      "C303C1010046 0000600300FF 01 01 0F00",                  // ActionRequestWithList
      "C304C100460000600300FF01 00 00000001 02 AABB",          // ActionRequestWithFirstPBlock
      "C305C101004600006003 00FF01 01 00000001 01 AA",         // ActionRequestWithListAndFirstPBlock
      "C306C1 01 00000002 00",                                 // ActionRequestWithPBlock
      "C701C10000",                                            // ActionResponseNormal
      "C701C1000100 0906 0102030405 06",                       // ActionResponseNormal with return parameters
      "C702C1 01 00000001 02 ABCD",                            // ActionResponseWithPBlock
      "C703C1 02 00 00 03 01 00 11 05",                            // ActionResponseWithList
      "C704C100000005",                                        // ActionResponseForNextPBlock
      "D8 01 02",                                              // ExceptionResponse
      "0E 05 06 02",                                           // ConfirmedServiceError
      "01 000000 06 5F1F040000101D 04B0",                      // InitiateRequest
      "01 01 10 000102030405060708090A0B0C0D0E0F 01 00 01 06 06 5F1F040000101D 04B0",
      "08 00 06 5F1F040000101D 01F4 0007",                     // InitiateResponse
      "05 02 02 FA00 04 FA08 02 0101 11 05",                   // ReadRequest
      "0C 04 00 1105 01 03 02 01 0001 02 AABB 03 0002",             // ReadResponse
      "06 01 02 FA08 01 1105",                                 // WriteRequest
      "0D 03 00 01 03 02 0007",                                // WriteResponse
      "16 01 02 FA08 01 1105",                                 // UnconfirmedWriteRequest
      "18 00 01 02 FA08 01 1105",                              // InformationReportRequest
      "0F 00000001 00 1105",                                   // DataNotification with empty date-time
      "0F 00000001 0C 07E3010101000000FF800000 0200",          // DataNotification with a date-time
      "0F 40000000 090C 07E1090C0217122AFF800000 0201 06 00000528",  // DataNotification, date-time as tagged Data
      "10 00000001 00",                                        // DataNotificationConfirm
      "C2 00 0001 0000010000FF 02 1105",                       // EventNotificationRequest
      "C8 14 000102030405060708090A0B0C0D0E0F10111213",        // glo_GetRequest
      "CC 03 414243",                                          // glo_GetResponse
      "21 02 0102", "D4 01 FF", "58 00",                       // more ciphered alternatives
      "DB 08 4D4D4D0000BC614E 05 3000000001",                  // GeneralGloCiphering
      "DC 08 4D4D4D0000BC614E 02 3000",                        // GeneralDedCiphering
      "DD 01 01 08 0102030405060708 00 00 00 01 00 00 02 AABB", // GeneralCiphering, identified key
      "DD 00 00 00 00 00 01 01 00 03 010203 00",               // GeneralCiphering, wrapped key
      "DD 00 00 00 00 00 01 02 01 AA 01 BB 00",                // GeneralCiphering, agreed key
      "DD 00 00 00 00 00 00 00",                               // GeneralCiphering, no key info
      "DF 00 00 00 00 00 02 C001 02 AABB",                     // GeneralSigning
      "E0 81 0001 0000 03 C00100",                             // GeneralBlockTransfer
      "D9 00000001 00 01 01 0001 0000010000FF 02 01 00",       // AccessRequest
      "DA 00000001 00 00 01 1105 01 01 00",                    // AccessResponse
      "DA 00000001 00 01 01 03 0046 0000600300FF 01 01 00 01 03 00", // AccessResponse with the request echoed
      "FF 0203 1105 0906 0000280000FF 01 00",                  // bare Data
      "FF 13 01 000A 12 04 00010002",                       // Data compact array
      "FF 13 02 03 11 12 06 08 0101020203030404",              // compact array of structures
  };
  for (const char* v : vectors) {
    SCOPED_TRACE(v);
    bool ok = true;
    [&] {
    PduStr bytes = H(v);
    std::unique_ptr<T_COSEMpdu> pdu;
    ASSERT_NO_THROW(pdu = ApduFromHex(v)) << v;
    EXPECT_EQ(Hex(pdu->Encoded()), Hex(bytes));
    std::string xml = pdu->ToXMLString();
    std::unique_ptr<T_COSEMpdu> fromXml;
    ASSERT_NO_THROW(fromXml = ApduFromXml(xml)) << xml;
    EXPECT_EQ(fromXml->ToXMLString(), xml);
    EXPECT_EQ(Hex(fromXml->Encoded()), Hex(bytes));
    auto copy = pdu->Clone();
    EXPECT_EQ(Hex(copy->Encoded()), Hex(bytes));
    EXPECT_TRUE(copy->EqualType(*pdu));
    }();
    (void)ok;
  }
}

TEST(Catalogue, DataAccessErrorAndAccessSelectionForms) {
  auto err = ApduFromHex("C401C10104");
  EXPECT_EQ(err->ToXMLString(), Lines({"<GetResponse>",
                                       "  <GetResponseNormal>",
                                       "    <InvokeIdAndPriority Value=\"C1\" />",
                                       "    <Result>",
                                       "      <DataAccessError Value=\"ObjectUndefined\" />",
                                       "    </Result>",
                                       "  </GetResponseNormal>",
                                       "</GetResponse>"}));
  auto sel = ApduFromXml(
      "<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
      "<ClassId Value=\"0007\" /><InstanceId Value=\"1.0.99.1.0.255\" /><AttributeId Value=\"02\" />"
      "</AttributeDescriptor><AccessSelection><AccessSelector Value=\"02\" /><AccessParameters>"
      "<Structure Qty=\"AUTO\"><DoubleLongUnsigned Value=\"00000001\" /><DoubleLongUnsigned Value=\"00000005\" />"
      "<LongUnsigned Value=\"0001\" /><LongUnsigned Value=\"0000\" /></Structure></AccessParameters>"
      "</AccessSelection></GetRequestNormal></GetRequest>");
  EXPECT_EQ(Hex(sel->Encoded()), Hex(H("C001C1 0007 0100630100FF 02 01 02 02 04 0600000001 0600000005 120001 120000")));
}

TEST(Catalogue, CiphedAlternativeIsOneOctetStringElement) {
  auto pdu = ApduFromHex("C8 14 000102030405060708090A0B0C0D0E0F10111213");
  EXPECT_EQ(pdu->ToXMLString(), "<glo_GetRequest Value=\"000102030405060708090A0B0C0D0E0F10111213\" />\r\n");
  auto printable = ApduFromHex("CC 03 414243");
  EXPECT_EQ(printable->ToXMLString(), "<glo_GetResponse Value=\"\\ABC\" />\r\n");
}

TEST(Catalogue, BadInputGivesItsMessage) {
  struct Case {
    const char* hex;
    const char* error;
  } cases[] = {
      {"02", "T_COSEMpdu : illegal Tag 2"},
      {"CA 00", "T_COSEMpdu : illegal Tag 202"},
      {"C009C1", "T_GetRequest : illegal Tag 9"},
      {"C409C1", "T_GetResponse : illegal Tag 9"},
      {"C001C1000100002800", "Wrong encoding in pdu"},
      {"C001C100010000280000FF02", "Wrong encoding in pdu"},          // presence byte missing
      {"C001C100010000280000FF0201", "Wrong encoding in pdu"},        // present but truncated
      {"C401C10008", "T_Data : illegal Tag 8"},
      {"C401C1000B", "T_Data : illegal Tag 11"},
      {"C401C10022", "T_Data : illegal Tag 34"},
      {"C401C102", "T_GetDataResult : illegal Tag 2"},
      {"FF 13 13", "T_TypeDescription : illegal Tag 19"},
      {"FF 01 83FFFFFF 000000", "Wrong encoding in pdu"},            // count beyond the input
      {"FF 09 83FFFFFF 000000", "Wrong encoding in pdu"},            // length beyond the input
      {"FF 04 83FFFFFF 000000", "Wrong encoding in pdu"},            // bit count beyond the input
      {"FF 01 80", "Unsupported integer length."},
      {"", "Wrong encoding in pdu"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { ApduFromHex(c.hex); }), c.error) << c.hex;
}

TEST(Catalogue, PresenceByteOtherThanOneMeansPresent) {
  auto pdu = ApduFromHex("C001C100010000280000FF02 02 02 0F00");
  auto* normal = static_cast<T_GetRequestNormal*>(static_cast<T_GetRequest*>(pdu->Value.get())->Value.get());
  ASSERT_NE(normal->FAccessSelection(), nullptr);
  EXPECT_EQ(normal->FAccessSelection()->FAccessSelector()->Value, 2);
  EXPECT_EQ(Hex(pdu->Encoded()), "C001C100010000280000FF0201020F00");
}

TEST(Catalogue, XmlErrorsCarryMessageAndPosition) {
  struct Case {
    const char* xml;
    const char* error;
  } cases[] = {
      {"<GetRequest><Bogus/></GetRequest>", "'Bogus' unknown identifier"},
      {"<GetRequest><GetRequestNormal><AttributeDescriptor/></GetRequestNormal></GetRequest>",
       "Start tag \"InvokeIdAndPriority\" expected"},
      {"<GetRequest><GetResponseNormal/></GetRequest>", "T_GetRequest.CreateFromXml : illegal choice"},
      {"<Unsigned Value=\"05\" />", "T_COSEMpdu.CreateFromXml : illegal choice"},
      {"<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
       "<ClassId Value=\"01\" />",
       "Illegal data size, expected 2, found 1"},
      {"<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
       "<ClassId Value=\"0001\" /><InstanceId Value=\"0000280000\" />",
       "T_ObjectInstanceId: Illegal data size, expected 6, found 5"},
      {"<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"C\" />",
       "HexStrToByteStr: Hex-character missing"},
      {"<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"ZZ\" />", "Illegal hex-character"},
      {"<GetRequest><GetRequestNormal><InvokeIdAndPriority />", "\"Value\" expected"},
      {"<GetResponse><GetResponseNormal><InvokeIdAndPriority Value=\"C1\" /><Result>"
       "<DataAccessError Value=\"Nonsense\" /></Result></GetResponseNormal></GetResponse>",
       "T_DataAccessResult: illegal element Nonsense"},
      {"<Data><Array Qty=\"0003\"><Unsigned Value=\"01\" /><Unsigned Value=\"02\" /></Array></Data>",
       "ExpectedQty=3, ActualQty=2"},
      {"<Data><Array><Unsigned Value=\"01\" /></Array></Data>", "\"Qty\" expected"},
      {"<Data><Unsigned Value=\"05\"></Unsigned></Data>", "Stop tag \"Data\" expected"},
      {"<Data><Array Qty=\"0001\"><Unsigned Value=\"01\" /> junk </Array></Data>", "UnexpectedKeyword"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { ApduFromXml(c.xml); }), c.error) << c.xml;

  try {
    ApduFromXml("<GetRequest>\r\n  <GetRequestNormal>\r\n    <InvokeIdAndPriority Value=\"1\" />");
    FAIL();
  } catch (const EXMLError& e) {
    EXPECT_EQ(e.PosY, 3);
    EXPECT_EQ(e.PosX, 5);
  }
}

TEST(Catalogue, CreateVariantSelectsByRole) {
  auto get = T_GetRequest::CreateVariant(xmlGetRequestNormal);
  EXPECT_EQ(get->XMLId, xml_GetRequest);
  EXPECT_EQ(get->Tag, 1);
  auto pdu = T_COSEMpdu::CreateVariant(xmlGetRequest, std::move(get));
  EXPECT_EQ(pdu->XMLId, xmlIgnore);
  EXPECT_EQ(pdu->Tag, 0xC0);
  EXPECT_EQ(Hex(pdu->Encoded()), "C0010000000000000000000000");
  EXPECT_EQ(ErrorOf([] { T_GetRequest::CreateVariant(xmlSetRequestNormal); }),
            "T_GetRequest.CreateVariant : illegal choice");
  EXPECT_EQ(ErrorOf([] { T_Data::CreateVariant(xmlGetRequest); }), "T_Data.CreateVariant : illegal choice");
  EXPECT_EQ(pdu->Value->FriendlyName(), "GetRequest");
}

TEST(Catalogue, IdentifiersDoNotReachTheBytes) {
  auto a = ApduFromXml(kGetRequestXml);
  auto b = a->Clone();
  static_cast<T_COSEMpdu*>(b.get())->Value->XMLId = xml_GetRequest;
  EXPECT_TRUE(a->IsEqual(*b));
  EXPECT_NE(a->ToXMLString(), b->ToXMLString());
}

TEST(Catalogue, InitiateRequestAsTheEngineBuildsIt) {
  auto pdu = ApduFromXml(
      "<InitiateRequest><ProposedDlmsVersionNumber Value=\"06\" /><ProposedConformance>"
      "<ConformanceBit Name=\"Get\" /><ConformanceBit Name=\"Set\" /><ConformanceBit Name=\"SelectiveAccess\" />"
      "<ConformanceBit Name=\"Action\" /><ConformanceBit Name=\"BlockTransferWithGetOrRead\" />"
      "</ProposedConformance><ProposedMaxPduSize Value=\"04B0\" /></InitiateRequest>");
  EXPECT_EQ(Hex(pdu->Encoded()), "01000000065F1F040000101D04B0");
  auto* init = static_cast<T_InitiateRequest*>(pdu->Value.get());
  EXPECT_EQ(init->FDedicatedKey(), nullptr);
  EXPECT_EQ(init->FProposedMaxPduSize()->Value, 1200);
  // Default content: the three mandatory members, no optional one.
  T_InitiateRequest fresh(xml_InitiateRequest);
  EXPECT_EQ(Hex(fresh.Encoded()), "00000000" "5F1F0400000000" "0000");
}

TEST(Catalogue, CleanGivesTheCanonicalLayout) {
  std::string messy =
      "<?xml version=\"1.0\"?>\n<!-- a capture -->\n<GetResponse>  <GetResponseNormal>\n"
      "\t<InvokeIdAndPriority Value = 'c1'/><Result><Data><Array Qty='auto'>"
      "<Unsigned Value=\"1\" Dummy=\"\"/></Array></Data></Result></GetResponseNormal></GetResponse>";
  // The second attribute makes the tag unreadable, which ends the list.
  EXPECT_EQ(ErrorOf([&] { TCOSEMPduBase::Clean(xmlIgnore, &T_COSEMpdu::ClassInfo, messy); }), "UnexpectedKeyword");
  messy.replace(messy.find(" Dummy=\"\""), 9, "");
  messy.replace(messy.find("\"1\""), 3, "\"01\"");
  EXPECT_EQ(TCOSEMPduBase::Clean(xmlIgnore, &T_COSEMpdu::ClassInfo, messy),
            Lines({"<GetResponse>", "  <GetResponseNormal>", "    <InvokeIdAndPriority Value=\"C1\" />",
                   "    <Result>", "      <Data>", "        <Array Qty=\"0001\" >", "          <Unsigned Value=\"01\" />",
                   "        </Array>", "      </Data>", "    </Result>", "  </GetResponseNormal>", "</GetResponse>"}));
  EXPECT_EQ(ErrorOf([] { TCOSEMPduBase::Clean(xmlIgnore, &T_COSEMpdu::ClassInfo, "<Nonsense/>"); }),
            "'Nonsense' unknown identifier");

  auto pdu = ApduFromHex("C401C1000F05");
  auto lines = pdu->ToStringList(1);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "  <GetResponse>");
  EXPECT_EQ(lines[5], "          <Integer Value=\"05\" />");
  std::vector<std::string> more{"x"};
  pdu->AddXmlToLines(4, more);
  EXPECT_EQ(more.size(), 11u);
  EXPECT_EQ(more[1], "    <GetResponse>");
}

// The date-time of a data notification as meters send it: the octet string
// (00 when absent) and the Data octet string (09 0C and 12 bytes). The XML
// keeps the form that came, so the bytes come back as they were.
TEST(Catalogue, NotificationDateTimeKeepsItsForm) {
  const struct {
    const char* Hex;
    const char* DateTimeXml;
  } cases[] = {
      {"0F 40000000 090C 07E1090C0217122AFF800000 0201 06 00000528",
       "  <DateTime>\r\n    <OctetString Value=\"07E1090C0217122AFF800000\" />\r\n  </DateTime>\r\n"},
      {"0F 40000000 0C 07E1090C0217122AFF800000 0201 06 00000528",
       "  <DateTime Value=\"07E1090C0217122AFF800000\" />\r\n"},
      {"0F 40000000 00 0201 06 00000528", "  <DateTime Value=\"\" />\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Hex);
    const std::string xml = ApduFromHex(c.Hex)->ToXMLString();
    EXPECT_NE(xml.find(c.DateTimeXml), std::string::npos) << xml;
    EXPECT_EQ(Hex(ApduFromXml(xml)->Encoded()), Hex(H(c.Hex)));
    EXPECT_EQ(Hex(TCOSEMPduBase::XmlToPduStr(xmlIgnore, &T_COSEMpdu::ClassInfo, xml)), Hex(H(c.Hex)));
  }
}

// A message from outside is one whole APDU: where decoding stopped, and
// bytes after the end, are said with their place.
TEST(Catalogue, WholeApduOrAnErrorNamingTheByte) {
  EXPECT_EQ(Hex(TMake::WholeCOSEMPduFromPdu(H("0F 40000000 00 0201 06 00000528"))->Encoded()),
            "0F40000000000201060000052" "8");
  const struct {
    const char* Hex;
    const char* Error;
  } cases[] = {
      {"0F 40000000 00 0201 06 00000528 AABB", "2 bytes after the end of the APDU, from byte 14 of 15"},
      {"0F 40000000 00 0201 06 0000", "Wrong encoding in pdu at byte 10 of 11"},
      {"C4 01 C1 00 09 03 1122", "Wrong encoding in pdu at byte 7 of 8"},
      {"C4 01 C1 00 11 05 00", "1 byte after the end of the APDU, from byte 7 of 7"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { TMake::WholeCOSEMPduFromPdu(H(c.Hex)); }), c.Error) << c.Hex;
}
