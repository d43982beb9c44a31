#include <gtest/gtest.h>

#include "TestUtil.h"
#include "xmlpdu/Data.h"

using namespace quillon;
using namespace quillon::test;

namespace {

std::unique_ptr<T_Data> DataFromHex(const std::string& hex, TXMLId id = xmlIgnore) {
  return MakeFromPdu<T_Data>(id, H(hex));
}
std::unique_ptr<T_Data> DataFromXml(const std::string& xml, TXMLId id = xmlIgnore) {
  return MakeFromXml<T_Data>(id, xml);
}

}  // namespace

TEST(Data, StructureInARoleWorkedExample) {
  auto d = DataFromHex("02 02 11 05 09 06 00 00 28 00 00 FF", xmlValue);
  EXPECT_EQ(d->ToXMLString(), Lines({"<Value>",
                                     "  <Structure Qty=\"0002\" >",
                                     "    <Unsigned Value=\"05\" />",
                                     "    <OctetString Value=\"0000280000FF\" />",
                                     "  </Structure>",
                                     "</Value>"}));
  auto back = DataFromXml(d->ToXMLString(), xmlValue);
  EXPECT_EQ(Hex(back->Encoded()), "0202110509060000280000FF");
}

TEST(Data, EveryAlternativeRoundTrips) {
  const char* vectors[] = {
      "00", "FF", "0100", "0200", "0300", "03FF", "04 03 A0", "04 09 FF80", "04 00", "05 FFFFFFFE", "06 00000001",
      "07 3F800000", "09 00", "09 03 414243", "0A 02 4142", "0C 02 C3A9", "0D 12", "0F 80", "10 FFFE", "11 FF",
      "12 FFFF", "14 8000000000000000", "15 FFFFFFFFFFFFFFFF", "16 07", "17 3F800000", "18 3FF0000000000000",
      "19 07E3010101000000FF800000", "1A 07E30101FF", "1B 0C000000", "1C FF", "1D 0001", "1E 00000001",
      "1F 01", "20 0002", "21 00000003", "01 02 0201 1101 0200", "13 01 000A 12 04 00010002",
      "13 02 04 11 12 01 0002 06 09 07 01020304050600",
  };
  for (const char* v : vectors) {
    SCOPED_TRACE(v);
    std::unique_ptr<T_Data> d;
    ASSERT_NO_THROW(d = DataFromHex(v));
    EXPECT_EQ(Hex(d->Encoded()), Hex(H(v)));
    std::string xml = d->ToXMLString();
    std::unique_ptr<T_Data> x;
    ASSERT_NO_THROW(x = DataFromXml(xml)) << xml;
    EXPECT_EQ(Hex(x->Encoded()), Hex(H(v)));
    EXPECT_EQ(x->ToXMLString(), xml);
  }
}

TEST(Data, LeafForms) {
  struct Case {
    const char* hex;
    const char* xml;
  } cases[] = {
      {"00", "<NullData />"},
      {"FF", "<DontCare />"},
      {"10 FFFE", "<Long Value=\"FFFE\" />"},
      {"1C FF", "<DeltaInteger Value=\"FF\" />"},
      {"0F FF", "<Integer Value=\"FF\" />"},
      {"09 03 414243", "<OctetString Value=\"\\ABC\" />"},
      {"09 02 0041", "<OctetString Value=\"0041\" />"},
      {"09 00", "<OctetString Value=\"\" />"},
      {"04 03 A0", "<BitString Value=\"101\" />"},
      {"04 09 FF80", "<BitString Value=\"111111111\" />"},
      {"0100", "<Array Qty=\"0000\" >\r\n</Array>"},
      {"03 05", "<Boolean Value=\"05\" />"},
  };
  for (const auto& c : cases) {
    auto d = DataFromHex(c.hex);
    EXPECT_EQ(d->ToXMLString(), std::string(c.xml) + "\r\n") << c.hex;
  }
  // Reading takes hex in either case, a backslash text or the dotted form.
  EXPECT_EQ(Hex(DataFromXml("<Long Value=\"fffe\" />")->Encoded()), "10FFFE");
  EXPECT_EQ(Hex(DataFromXml("<OctetString Value=\"1.0.99.1.0.255\" />")->Encoded()), "09060100630100FF");
  EXPECT_EQ(Hex(DataFromXml("<VisibleString Value=\"\\A B\" />")->Encoded()), "0A03412042");
}

TEST(Data, CountsAndAutoQuantity) {
  auto d = DataFromXml(
      "<Array Qty=\"auto\"><Unsigned Value=\"01\" /><Unsigned Value=\"02\" /><Unsigned Value=\"03\" /></Array>");
  EXPECT_EQ(Hex(d->Encoded()), "0103110111021103");
  std::string xml = "<Structure Qty=\"00C8\">";
  for (int i = 0; i < 200; ++i) xml += "<NullData />";
  xml += "</Structure>";
  EXPECT_EQ(Hex(DataFromXml(xml)->Encoded()).substr(0, 6), "0281C8");
  EXPECT_EQ(ErrorOf([] { DataFromXml("<Array Qty=\"000A\"></Array>"); }), "ExpectedQty=10, ActualQty=0");
}

TEST(Data, CompactArrayKeepsItsContents) {
  auto d = DataFromHex("13 01 000A 12 05 FFFFFFFFFF");
  EXPECT_EQ(d->ToXMLString(), Lines({"<CompactArray>",
                                     "  <ContentDescription>",
                                     "    <Array>",
                                     "      <NumberOfElements Value=\"000A\" />",
                                     "      <TypeDescription>",
                                     "        <LongUnsigned />",
                                     "      </TypeDescription>",
                                     "    </Array>",
                                     "  </ContentDescription>",
                                     "  <ArrayContent Value=\"FFFFFFFFFF\" />",
                                     "</CompactArray>"}));
  EXPECT_EQ(Hex(DataFromXml(d->ToXMLString())->Encoded()), "1301000A1205FFFFFFFFFF");
}

TEST(Data, BadInput) {
  struct Case {
    const char* hex;
    const char* error;
  } cases[] = {
      {"08", "T_Data : illegal Tag 8"},   {"0B", "T_Data : illegal Tag 11"}, {"0E", "T_Data : illegal Tag 14"},
      {"22", "T_Data : illegal Tag 34"},  {"FE", "T_Data : illegal Tag 254"}, {"12 00", "Wrong encoding in pdu"},
      {"13 13", "T_TypeDescription : illegal Tag 19"}, {"13 1C", "T_TypeDescription : illegal Tag 28"},
      {"01 05 11 01", "Wrong encoding in pdu"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { DataFromHex(c.hex); }), c.error) << c.hex;
  EXPECT_EQ(ErrorOf([] { DataFromXml("<Bogus Value=\"00\" />"); }), "'Bogus' unknown identifier");
  EXPECT_EQ(ErrorOf([] { DataFromXml("<GetRequest />"); }), "T_Data.CreateFromXml : illegal choice");
  EXPECT_EQ(ErrorOf([] { DataFromXml("<Long Value=\"01\" />"); }), "Illegal data size, expected 2, found 1");
  EXPECT_EQ(ErrorOf([] { DataFromXml("<DateTime Value=\"0102\" />"); }),
            "T_DateTime: Illegal data size, expected 12, found 2");
  EXPECT_EQ(ErrorOf([] { DataFromXml("<CompactArray><ContentDescription><DeltaInteger /></ContentDescription>"
                                     "<ArrayContent Value=\"\" /></CompactArray>"); }),
            "T_TypeDescription.CreateFromXml : illegal choice");
  EXPECT_EQ(ErrorOf([] { DataFromXml("<BitString Value=\"10x\" />")->Encoded(); }), "BERBitString: illegal character");
}

TEST(Data, HostileNestingFailsCleanly) {
  // 100 000 nested arrays: bytes and XML both stop at the nesting limit.
  std::string bytes;
  for (int i = 0; i < 100000; ++i) bytes += "\x01\x01";
  bytes += '\0';
  EXPECT_EQ(ErrorOf([&] { MakeFromPdu<T_Data>(xmlIgnore, bytes); }), "Nesting deeper than 200 levels");
  std::string xml;
  for (int i = 0; i < 100000; ++i) xml += "<Array Qty=\"0001\">";
  try {
    MakeFromXml<T_Data>(xmlIgnore, xml);
    FAIL() << "no error";
  } catch (const EXMLError& e) {
    EXPECT_STREQ(e.what(), "Nesting deeper than 200 levels");
    EXPECT_EQ(e.PosY, 1);
  }
  // A legitimate depth still works.
  std::string ok;
  for (int i = 0; i < 50; ++i) ok += "\x01\x01";
  ok += '\0';
  EXPECT_EQ(MakeFromPdu<T_Data>(xmlIgnore, ok)->Encoded(), ok);
}

TEST(Leaves, CompareAndRange) {
  T_Unsigned8 one(xml_Unsigned8, 1), two(xml_Unsigned8, 2);
  EXPECT_EQ(one.CompareTo(two), 1);
  EXPECT_EQ(two.CompareTo(one), -1);
  EXPECT_EQ(one.CompareTo(one), 0);
  T_Integer8 minus(xml_Integer8, -1);
  EXPECT_EQ(ErrorOf([&] { one.CompareTo(minus); }), "T_Unsigned8.CompareTo illegal type");
  EXPECT_TRUE(minus.CheckRange(-1, 0));
  EXPECT_FALSE(minus.CheckRange(0, 10));
  T_Unsigned64 big(xml_Unsigned64, 0xFFFFFFFFFFFFFFFFull), small(xml_Unsigned64, 1);
  EXPECT_EQ(big.CompareTo(small), -1);  // compared as unsigned
  T_OctetString a(xmlOctetString, "A"), b(xmlOctetString, "B");
  T_VisibleString vb(xmlVisibleString, "B");
  EXPECT_EQ(a.CompareTo(b), 1);
  EXPECT_EQ(b.CompareTo(vb), 0);
  EXPECT_EQ(ErrorOf([&] { a.CompareTo(one); }), "TOctetString.CompareTo illegal type");
  EXPECT_EQ(ErrorOf([&] { a.CheckRange(0, 1); }), "T_OctetString.CheckRange is not implemented");
  T_Float32 f(xml_Float32, 1.5f);
  EXPECT_TRUE(f.CheckRange(1, 2));
  EXPECT_EQ(Hex(f.Encoded()), "3FC00000");
}

TEST(Leaves, EnumerationNames) {
  T_DataAccessResult r(xmlResult, 5);
  EXPECT_EQ(Hex(r.Encoded()), "05");
  EXPECT_EQ(ErrorOf([&] { r.ToXMLString(); }), "T_DataAccessResult: case range");
  EXPECT_EQ(ErrorOf([&] { r.GetString(); }), "T_DataAccessResult: case range");
  EXPECT_EQ(T_DataAccessResult::GetString(250), "OtherReason");
  EXPECT_EQ(T_ExceptionServiceError::GetString(6), "InvocationCounterError");
  r.Value = 4;
  EXPECT_EQ(r.ToXMLString(), "<Result Value=\"ObjectUndefined\" />\r\n");
  // Names are matched with their letter case.
  EXPECT_EQ(ErrorOf([] { MakeFromXml<T_ActionResult>(xmlResult, "<Result Value=\"success\" />"); }),
            "T_ActionResult: illegal element success");
}

TEST(Leaves, RootAndDataFormMessages) {
  T_Unsigned8 u(xml_Unsigned8);
  PduStr s;
  EXPECT_EQ(ErrorOf([&] { u.EncodeToDataPduStr(s); }), "T_Unsigned8.EncodeToDataPduStr not implemented");
  EXPECT_EQ(ErrorOf([&] { u.DataTag(); }), "T_Unsigned8.DataTag not implemented");
  TStringWrapper r(H("00"));
  EXPECT_EQ(ErrorOf([&] { T_Unsigned8::ClassInfo.CreateFromDataPduStr(xml_Unsigned8, r); }),
            "T_Unsigned8.CreateFromDataPduStr not implemented");
  T_BitString bits(xmlBitString, "101");
  bits.EncodeToDataPduStr(s);
  EXPECT_EQ(Hex(s), "0403A0");
  T_Structure st(xmlStructure);
  st.Add(std::make_unique<T_NullData>(xmlNullData));
  PduStr ds;
  st.EncodeToDataPduStr(ds);
  EXPECT_EQ(Hex(ds), "020100");
  EXPECT_EQ(st.FriendlyName(), "Structure");
  EXPECT_EQ(ErrorOf([&] { st.GetElements(1); }), "Argument out of range: index 1, count 1");
}
