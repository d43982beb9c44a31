// The factory: requests from templates and as objects, the entry points from
// bytes and XML, and the Data and date-time routines.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>

#include "TestUtil.h"
#include "xmlpdu/Make.h"

using namespace quillon;
using quillon::test::ErrorOf;
using quillon::test::H;

namespace {

std::string Hex(const PduStr& s) { return TMisc::ByteStrToSpacedHexStr(s); }

const PduStr kClock = H("00 00 01 00 00 FF");

std::unique_ptr<T_Data> Unsigned(uint8_t v) {
  return T_Data::CreateVariant(xmlUnsigned, std::make_unique<T_Unsigned8>(xmlUnsigned, v));
}

// A tree built as objects must write the XML of the same APDU read from text,
// and that XML must give the same bytes back.
void ExpectLikeReadFromText(const T_COSEMpdu& pdu) {
  std::string xml = pdu.ToXMLString();
  auto again = TMake::COSEMPduFromXml(xml);
  EXPECT_EQ(again->ToXMLString(), xml);
  EXPECT_EQ(Hex(again->Encoded()), Hex(pdu.Encoded()));
}

}  // namespace

TEST(MakeFromTemplates, BuildsTheRequestsTheEngineSends) {
  auto access = MakeFromXml<T_SelectiveAccessDescriptor>(
      xml_SelectiveAccessDescriptor,
      "<_SelectiveAccessDescriptor><AccessSelector Value=\"02\" /><AccessParameters><Unsigned Value=\"05\" />"
      "</AccessParameters></_SelectiveAccessDescriptor>");
  auto param = Unsigned(0);
  param->SelectVariant(xmlInteger, std::make_unique<T_Integer8>(xmlInteger, 0));
  struct Case {
    const char* name;
    std::unique_ptr<T_COSEMpdu> pdu;
    const char* hex;
  } cases[] = {
      {"get clock time", TMake::GetRequestNormal(8, kClock, 2, 0xC1, nullptr), "C0 01 C1 00 08 00 00 01 00 00 FF 02 00"},
      {"get with selective access", TMake::GetRequestNormal(7, H("01 00 63 01 00 FF"), 2, 0xC1, access.get()),
       "C0 01 C1 00 07 01 00 63 01 00 FF 02 01 02 11 05"},
      {"attribute id keeps its low byte", TMake::GetRequestNormal(1, kClock, 0x102, 0x81, nullptr),
       "C0 01 81 00 01 00 00 01 00 00 FF 02 00"},
      {"set", TMake::SetRequestNormal(1, H("00 00 60 01 00 FF"), 2, 0xC1, *Unsigned(5)),
       "C1 01 C1 00 01 00 00 60 01 00 FF 02 00 11 05"},
      {"action without parameters", TMake::ActionRequestNormal(70, H("00 00 60 03 0A FF"), 1, 0xC1, nullptr),
       "C3 01 C1 00 46 00 00 60 03 0A FF 01 00"},
      {"action with parameters", TMake::ActionRequestNormal(70, H("00 00 60 03 0A FF"), 1, 0xC1, param.get()),
       "C3 01 C1 00 46 00 00 60 03 0A FF 01 01 0F 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Hex(c.pdu->Encoded()), c.hex);
    ExpectLikeReadFromText(*c.pdu);
  }
  EXPECT_EQ(access->XMLId, xmlAccessSelection);
}

TEST(MakeFromTemplates, ValuesTooWideForTheirElementFail) {
  struct Case {
    const char* name;
    std::function<void()> make;
    const char* error;
  } cases[] = {
      {"class id of six digits", [] { TMake::GetRequestNormal(0x123456, kClock, 2, 0xC1, nullptr); },
       "Illegal data size, expected 2, found 3"},
      // an odd digit count fails in the hex conversion before the size check
      {"class id of five digits", [] { TMake::GetRequestNormal(0x10000, kClock, 2, 0xC1, nullptr); },
       "HexStrToByteStr: Hex-character missing"},
      {"invoke id", [] { TMake::SetRequestNormal(1, kClock, 2, 0x1234, *Unsigned(1)); },
       "Illegal data size, expected 1, found 2"},
      {"method id", [] { TMake::ActionRequestNormal(1, kClock, 0x100, 0xC1, nullptr); },
       "HexStrToByteStr: Hex-character missing"},
      {"instance id", [] { TMake::GetRequestNormal(1, H("00 00 01 00 00"), 2, 0xC1, nullptr); },
       "T_ObjectInstanceId: Illegal data size, expected 6, found 5"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.make), c.error) << c.name;
}

TEST(MakeAsObjects, BuildsBlockAndWriteRequests) {
  auto first = TMake::SetRequestWithFirstDataBlock(1, H("00 00 60 01 00 FF"), 2, 0xC1);
  auto firstFilled = first->Clone();
  {
    auto& set = static_cast<T_SetRequest&>(*static_cast<T_COSEMpdu&>(*firstFilled).Value);
    auto& block = *static_cast<T_SetRequestWithFirstDataBlock&>(*set.Value).FDataBlock();
    block.FLastBlock()->Value = 1;
    block.FBlockNumber()->Value = 1;
    block.FRawData()->Value = H("11 05");
  }
  struct Case {
    const char* name;
    std::unique_ptr<TCOSEMPduBase> pdu;
    const char* hex;
  } cases[] = {
      {"next data block", TMake::GetRequestForNextDataBlock(0xC1, 3), "C0 02 C1 00 00 00 03"},
      {"first data block, empty", std::move(first), "C1 02 C1 00 01 00 00 60 01 00 FF 02 00 00 00 00 00 00 00"},
      {"first data block, filled", std::move(firstFilled), "C1 02 C1 00 01 00 00 60 01 00 FF 02 00 01 00 00 00 01 02 11 05"},
      {"later data block", TMake::SetRequestWithDataBlock(), "C1 03 00 00 00 00 00 00 00"},
      {"short-name write", TMake::WriteRequest(0x1234, Unsigned(5)), "06 01 02 12 34 01 11 05"},
      {"negative short name", TMake::WriteRequest(-8, TMake::EmptyDataArray()), "06 01 02 FF F8 01 01 00"},
      {"block write", TMake::WriteRequestBlockTransfer(true, 2, H("41 42")), "06 01 07 01 00 02 01 09 02 41 42"},
      {"first block write", TMake::WriteRequestBlockTransfer(false, 1, ""), "06 01 07 00 00 01 01 09 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Hex(c.pdu->Encoded()), c.hex);
    ExpectLikeReadFromText(static_cast<const T_COSEMpdu&>(*c.pdu));
  }
  EXPECT_EQ(TMake::GetRequestForNextDataBlock(0xC1, 3)->ToXMLString(),
            "<GetRequest>\r\n"
            "  <GetRequestForNextDataBlock>\r\n"
            "    <InvokeIdAndPriority Value=\"C1\" />\r\n"
            "    <BlockNumber Value=\"00000003\" />\r\n"
            "  </GetRequestForNextDataBlock>\r\n"
            "</GetRequest>\r\n");
  EXPECT_EQ(ErrorOf([] { TMake::SetRequestWithFirstDataBlock(1, H("00 00 60 01 00"), 2, 0xC1); }),
            "T_ObjectInstanceId: Illegal data size, expected 6, found 5");
}

TEST(MakeEntryPoints, ReadBytesAndXml) {
  // Bytes after the APDU or value are left alone.
  EXPECT_EQ(Hex(TMake::COSEMPduFromPdu(H("C0 02 C1 00 00 00 03 FF FF"))->Encoded()), "C0 02 C1 00 00 00 03");
  EXPECT_EQ(Hex(TMake::DataFromPdu(H("11 05 00"))->Encoded()), "11 05");
  auto data = TMake::DataFromXml("<Data><Structure Qty=\"0001\"><Unsigned Value=\"05\" /></Structure></Data>");
  EXPECT_EQ(Hex(data->Encoded()), "02 01 11 05");
  EXPECT_EQ(data->ToXMLString(), "<Data>\r\n  <Structure Qty=\"0001\" >\r\n    <Unsigned Value=\"05\" />\r\n  </Structure>\r\n</Data>\r\n");
  auto rr = TMake::ReadResponseFromPdu(H("02 00 11 05 01 03"));
  ASSERT_EQ(rr->ElementCount(), 2);
  EXPECT_EQ(Hex(rr->Encoded()), "02 00 11 05 01 03");
  auto any = TMake::SomethingFromXml(xmlAttributeDescriptor, &T_AttributeDescriptor::ClassInfo,
                                     "<AttributeDescriptor><ClassId Value=\"0008\" /><InstanceId Value=\"0.0.1.0.0.255\" />"
                                     "<AttributeId Value=\"02\" /></AttributeDescriptor>");
  EXPECT_EQ(Hex(any->Encoded()), "00 08 00 00 01 00 00 FF 02");
  auto dar = TMake::DataAccessResult(3);
  EXPECT_EQ(dar->XMLId, xml_DataAccessResult);
  EXPECT_EQ(dar->ToXMLString(), "<_DataAccessResult Value=\"ReadWriteDenied\" />\r\n");
  EXPECT_EQ(Hex(TMake::DataOctetString(H("01 02"))->Encoded()), "09 02 01 02");
  EXPECT_EQ(Hex(TMake::EmptyDataArray()->Encoded()), "01 00");

  struct Case {
    const char* name;
    std::function<void()> f;
    const char* error;
  } cases[] = {
      {"unknown APDU tag", [] { TMake::COSEMPduFromPdu(H("02")); }, "T_COSEMpdu : illegal Tag 2"},
      {"cut APDU", [] { TMake::COSEMPduFromPdu(H("C0 01 C1 00")); }, "Wrong encoding in pdu"},
      {"unknown Data tag", [] { TMake::DataFromPdu(H("08 00")); }, "T_Data : illegal Tag 8"},
      {"read response count beyond input", [] { TMake::ReadResponseFromPdu(H("83 FF FF FF 00")); }, "Wrong encoding in pdu"},
      {"Data without wrapper", [] { TMake::DataFromXml("<Unsigned Value=\"05\" />"); }, "Start tag \"Data\" expected"},
      {"Data without alternative", [] { TMake::COSEMPduFromXml("<Data><Value Value=\"05\" /></Data>"); },
       "T_Data.CreateFromXml : illegal choice"},
      {"not an APDU", [] { TMake::COSEMPduFromXml("<Unsigned Value=\"05\" />"); }, "T_COSEMpdu.CreateFromXml : illegal choice"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.f), c.error) << c.name;
}

TEST(DataValueToXml, WritesTheAlternativeWithoutFinalLineBreak) {
  EXPECT_EQ(DataValueToXml(*Unsigned(5)), "<Unsigned Value=\"05\" />");
  auto s = TMake::DataFromPdu(H("02 02 11 05 09 06 00 00 28 00 00 FF"));
  EXPECT_EQ(DataValueToXml(*s),
            "<Structure Qty=\"0002\" >\r\n"
            "  <Unsigned Value=\"05\" />\r\n"
            "  <OctetString Value=\"0000280000FF\" />\r\n"
            "</Structure>");
  EXPECT_EQ(DataValueToXml(*TMake::DataFromPdu(H("00"))), "<NullData />");
}

TEST(StripDataTags, RemovesTheWrapper) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"<Data><Unsigned Value=\"05\" /></Data>", "<Unsigned Value=\"05\" />"},
      {"<Data>\r\n  <Unsigned Value=\"05\" />\r\n</Data>\r\n", "\r\n  <Unsigned Value=\"05\" />\r\n\r\n"},
      {" <Data><Null /></Data>", " <Data><Null />"},
      {"<Unsigned Value=\"05\" /></Data></Data>", "<Unsigned Value=\"05\" /></Data>"},
      {"<Data>", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(StripDataTags(c.in), c.out) << c.in;
}

TEST(DateTimeToCOSEMDateTime, WritesEveryField) {
  struct Case {
    TLocalDateTime t;
    const char* hex;
  } cases[] = {
      {{2024, 3, 10, 14, 5, 9, 0}, "07 E8 03 0A 07 0E 05 09 00 80 00 FF"},      // a Sunday
      {{2024, 3, 11, 0, 0, 0, 999}, "07 E8 03 0B 01 00 00 00 00 80 00 FF"},     // Monday, milliseconds dropped
      {{2024, 2, 29, 23, 59, 59, 0}, "07 E8 02 1D 04 17 3B 3B 00 80 00 FF"},    // leap day, a Thursday
      {{1999, 12, 31, 12, 0, 0, 0}, "07 CF 0C 1F 05 0C 00 00 00 80 00 FF"},     // a Friday
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(DateTimeToCOSEMDateTime(c.t)), c.hex) << c.hex;
  EXPECT_EQ(ErrorOf([] { DateTimeToCOSEMDateTime(TLocalDateTime{2023, 2, 29, 1, 2, 3, 0}); }),
            "Invalid date and time 2023-02-29 01:02:03");
  EXPECT_EQ(ErrorOf([] { DateTimeToCOSEMDateTime(TLocalDateTime{2024, 1, 1, 24, 0, 0, 0}); }),
            "Invalid date and time 2024-01-01 24:00:00");
}

TEST(DateTimeToCOSEMDateTime, TakesATimePointInLocalTime) {
  std::tm tm{};
  tm.tm_year = 2024 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = 10;
  tm.tm_hour = 14;
  tm.tm_min = 5;
  tm.tm_sec = 9;
  tm.tm_isdst = -1;
  auto tp = std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(640);
  EXPECT_EQ(Hex(DateTimeToCOSEMDateTime(tp)), "07 E8 03 0A 07 0E 05 09 00 80 00 FF");
}
