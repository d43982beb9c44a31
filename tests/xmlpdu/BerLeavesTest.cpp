// BER leaves: bit strings, the conformance block, object identifiers and octet
// strings, in bytes and in XML, including broken and hostile input.
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "xmlpdu/BER.h"

using namespace quillon;
using quillon::test::ErrorOf;
using quillon::test::H;

namespace {

std::string Hex(const PduStr& s) { return TMisc::ByteStrToSpacedHexStr(s); }

template <class T>
std::unique_ptr<T> FromBytes(const PduStr& bytes, TXMLId id, int* left = nullptr) {
  TStringWrapper r(bytes);
  auto v = std::unique_ptr<T>(static_cast<T*>(T::ClassInfo.CreateFromPduStr(id, r).release()));
  if (left) *left = r.GetRemainingBytes();
  return v;
}

template <class T>
std::unique_ptr<T> FromXml(const std::string& xml, TXMLId id) {
  return MakeFromXml<T>(id, xml);
}

// Encodes, decodes the bytes again and writes both trees' XML: every BER leaf
// must survive bytes -> tree -> bytes and XML -> tree -> XML unchanged.
template <class T>
void ExpectRoundTrips(const T& v, const PduStr& expectedBytes) {
  PduStr bytes = v.Encoded();
  EXPECT_EQ(Hex(bytes), Hex(expectedBytes));
  int left = -1;
  auto back = FromBytes<T>(bytes, v.XMLId, &left);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(Hex(back->Encoded()), Hex(expectedBytes));
  std::string xml = v.ToXMLString();
  auto fromXml = FromXml<T>(xml, v.XMLId);
  EXPECT_EQ(fromXml->ToXMLString(), xml);
  EXPECT_EQ(Hex(fromXml->Encoded()), Hex(expectedBytes));
}

}  // namespace

// ---------------------------------------------------------------- bit strings

TEST(BerBitString, EncodesLengthUnusedBitsAndBits) {
  struct Case {
    const char* bits;
    const char* hex;
  } cases[] = {
      {"", "01 00"},
      {"1", "02 07 80"},
      {"101", "02 05 A0"},
      {"10000001", "02 00 81"},
      {"111111111", "03 07 FF 80"},
      {"0000000000000001", "03 00 00 01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    T_ProtocolVersion pv(xmlProtocolVersion, c.bits);
    ExpectRoundTrips(pv, H(c.hex));
    EXPECT_EQ(FromBytes<T_ProtocolVersion>(H(c.hex), xmlProtocolVersion)->Value, c.bits);
    T_ACSERequirement req(xmlSenderACSERequirements, c.bits);
    ExpectRoundTrips(req, H(c.hex));
  }
}

TEST(BerBitString, XmlHoldsTheDigitsAndDataFormIsTheAxdrOne) {
  T_ACSERequirement req(xmlSenderACSERequirements, "1");
  EXPECT_EQ(req.ToXMLString(), "<SenderACSERequirements Value=\"1\" />\r\n");
  PduStr data;
  req.EncodeToDataPduStr(data);
  EXPECT_EQ(Hex(data), "04 01 80");
  TStringWrapper r(data);
  auto back = T_ACSERequirement::ClassInfo.CreateFromDataPduStr(xmlSenderACSERequirements, r);
  EXPECT_EQ(static_cast<T_ACSERequirement&>(*back).Value, "1");
}

TEST(BerBitString, RefusesWhatCannotBeEncodedOrDecoded) {
  EXPECT_EQ(ErrorOf([] { T_ProtocolVersion(xmlProtocolVersion, "1021").Encoded(); }),
            "BERBitString: illegal character");
  EXPECT_EQ(ErrorOf([] { T_ProtocolVersion(xmlProtocolVersion, std::string(2000, '1')).Encoded(); }),
            "BERBitString: 2000 bits do not fit a one-byte length");
  const char* broken[] = {
      "",            // nothing at all
      "02",          // no unused-bits byte
      "03 00 80",    // one contents byte missing
      "00 00",       // a length that does not even cover the unused-bits byte
      "02 08 FF",    // more unused bits than a byte has
      "01 03",       // unused bits without any contents byte
      "7F 00 01 02", // length far beyond the input
  };
  for (const char* hex : broken)
    EXPECT_EQ(ErrorOf([&] { FromBytes<T_ProtocolVersion>(H(hex), xmlProtocolVersion); }), "Wrong encoding in pdu")
        << hex;
}

// ----------------------------------------------------------- conformance

TEST(Conformance, EncodesWithItsTagAndWritesSetBitsFromTheHighest) {
  T_Conformance c(xmlProposedConformance);
  EXPECT_EQ(c.Value, std::string(24, '0'));
  c.SetBit(T_Conformance::NameToValue("Get"));
  c.SetBit(T_Conformance::NameToValue("Set"));
  c.SetBit(T_Conformance::NameToValue("Action"));
  ExpectRoundTrips(c, H("5F 1F 04 00 00 00 19"));
  EXPECT_EQ(c.ToXMLString(),
            "<ProposedConformance>\r\n"
            "  <ConformanceBit Name=\"Action\" />\r\n"
            "  <ConformanceBit Name=\"Set\" />\r\n"
            "  <ConformanceBit Name=\"Get\" />\r\n"
            "</ProposedConformance>\r\n");
  T_Conformance none(xmlNegotiatedConformance);
  EXPECT_EQ(Hex(none.Encoded()), "5F 1F 04 00 00 00 00");
  EXPECT_EQ(none.ToXMLString(), "<NegotiatedConformance>\r\n</NegotiatedConformance>\r\n");
}

TEST(Conformance, EveryBitHasItsNameAndPlace) {
  // Bit i sits in byte i / 8 of the contents under the mask 80 >> (i % 8).
  for (int bit = 0; bit < T_Conformance::kBitCount; ++bit) {
    SCOPED_TRACE(bit);
    const char* name = T_Conformance::ValueToName(bit);
    EXPECT_EQ(T_Conformance::NameToValue(name), bit);
    T_Conformance c(xmlProposedConformance);
    c.SetBit(bit);
    PduStr expected = H("5F 1F 04 00 00 00 00");
    expected[static_cast<size_t>(4 + bit / 8)] = static_cast<char>(0x80 >> (bit % 8));
    ExpectRoundTrips(c, expected);
    EXPECT_NE(c.ToXMLString().find(std::string("<ConformanceBit Name=\"") + name + "\" />"), std::string::npos);
  }
  EXPECT_STREQ(T_Conformance::ValueToName(0), "Reserved0");
  EXPECT_STREQ(T_Conformance::ValueToName(10), "Attribute0SupportedWithGet");
  EXPECT_STREQ(T_Conformance::ValueToName(18), "ParametrizedAccess");
  EXPECT_STREQ(T_Conformance::ValueToName(23), "Action");
}

TEST(Conformance, ReadsTheSecondTagByteOnlyWhenPresent) {
  for (const char* hex : {"5F 1F 04 00 00 00 19", "5F 04 00 00 00 19"}) {
    int left = -1;
    auto c = FromBytes<T_Conformance>(H(hex), xmlNegotiatedConformance, &left);
    EXPECT_EQ(left, 0) << hex;
    EXPECT_EQ(c->Value, "000000000000000000011001") << hex;
  }
  // The block of the usual InitiateRequest: Get, Set, SelectiveAccess,
  // Action and BlockTransferWithGetOrRead.
  auto c = FromBytes<T_Conformance>(H("5F 1F 04 00 00 10 1D"), xmlProposedConformance);
  for (const char* n : {"Get", "Set", "SelectiveAccess", "Action", "BlockTransferWithGetOrRead"})
    EXPECT_TRUE(c->IsBitSet(T_Conformance::NameToValue(n))) << n;
}

TEST(Conformance, AcceptsOldNamesAndWritesTheCurrentOnes) {
  struct Case {
    const char* oldName;
    const char* newName;
  } cases[] = {
      {"Attribute0Supported", "Attribute0SupportedWithGet"},
      {"BlockTransferWithGet", "BlockTransferWithGetOrRead"},
      {"BlockTransferWithSet", "BlockTransferWithSetOrWrite"},
  };
  for (const auto& c : cases) {
    auto conf = FromXml<T_Conformance>(
        std::string("<ProposedConformance><ConformanceBit Name=\"") + c.oldName + "\" /></ProposedConformance>",
        xmlProposedConformance);
    EXPECT_EQ(conf->ToXMLString(), std::string("<ProposedConformance>\r\n  <ConformanceBit Name=\"") + c.newName +
                                       "\" />\r\n</ProposedConformance>\r\n");
  }
}

TEST(Conformance, ReportsBadInput) {
  struct Case {
    const char* xml;
    const char* error;
  } cases[] = {
      {"<ProposedConformance><ConformanceBit Name=\"Gett\" /></ProposedConformance>",
       "T_Conformance.NameToValue, no such name Gett"},
      {"<ProposedConformance><ConformanceBit Name=\"get\" /></ProposedConformance>",
       "T_Conformance.NameToValue, no such name get"},
      {"<ProposedConformance><Unsigned Value=\"01\" /></ProposedConformance>", "Unexpected keyword \"Unsigned\""},
      {"<ProposedConformance><ConformanceBit Value=\"Get\" /></ProposedConformance>", "\"Name\" expected"},
      {"<ProposedConformance><ConformanceBit Name=\"Get\" /></NegotiatedConformance>", "Stop tag \"ProposedConformance\" expected"},
      {"", "Start tag \"ProposedConformance\" expected"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorOf([&] { FromXml<T_Conformance>(c.xml, xmlProposedConformance); }), c.error) << c.xml;
  }
  EXPECT_EQ(ErrorOf([] { T_Conformance::ValueToName(24); }), "T_Conformance.ValueToName, illegal value 24");
  EXPECT_EQ(ErrorOf([] { T_Conformance::ValueToName(-1); }), "T_Conformance.ValueToName, illegal value -1");
  EXPECT_EQ(ErrorOf([] { FromBytes<T_Conformance>(H("5E 1F 04 00 00 00 19"), xmlProposedConformance); }),
            "Byte[1]:, expected 0x5F found 0x5E");
  for (const char* hex : {"5F", "5F 1F", "5F 1F 04 00 00"})
    EXPECT_EQ(ErrorOf([&] { FromBytes<T_Conformance>(H(hex), xmlProposedConformance); }), "Wrong encoding in pdu")
        << hex;
}

TEST(Conformance, XmlErrorsCarryThePositionOfTheTag) {
  try {
    FromXml<T_Conformance>("<ProposedConformance>\n  <ConformanceBit Name=\"Nope\" />\n</ProposedConformance>",
                           xmlProposedConformance);
    FAIL() << "no error";
  } catch (const EXMLError& e) {
    EXPECT_EQ(e.PosY, 2);
    EXPECT_EQ(e.PosX, 3);
  }
}

// ---------------------------------------------------- object identifiers

TEST(ObjectIdentifier, EveryKnownNameHasItsBytes) {
  struct Case {
    TObjectIdentifier value;
    const char* name;
    const char* hex;
  } cases[] = {
      {oiUNKNOWN, "UNKNOWN", "07 5F 85 75 04 07 02 03"},
      {oiLN, "LN", "07 60 85 74 05 08 01 01"},
      {oiSN, "SN", "07 60 85 74 05 08 01 02"},
      {oiLN_WITH_CIPHERING, "LN_WITH_CIPHERING", "07 60 85 74 05 08 01 03"},
      {oiSN_WITH_CIPHERING, "SN_WITH_CIPHERING", "07 60 85 74 05 08 01 04"},
      {oiNO_SECURITY, "NO_SECURITY", "07 60 85 74 05 08 02 00"},
      {oiLOW_SECURITY, "LOW_SECURITY", "07 60 85 74 05 08 02 01"},
      {oiHIGH_SECURITY, "HIGH_SECURITY", "07 60 85 74 05 08 02 02"},
      {oiHIGH_SECURITY_MD5, "HIGH_SECURITY_MD5", "07 60 85 74 05 08 02 03"},
      {oiHIGH_SECURITY_SHA1, "HIGH_SECURITY_SHA1", "07 60 85 74 05 08 02 04"},
      {oiHIGH_SECURITY_GMAC, "HIGH_SECURITY_GMAC", "07 60 85 74 05 08 02 05"},
      {oiHIGH_SECURITY_SHA256, "HIGH_SECURITY_SHA256", "07 60 85 74 05 08 02 06"},
      {oiHIGH_SECURITY_ECDSA, "HIGH_SECURITY_ECDSA", "07 60 85 74 05 08 02 07"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    T_MechanismName m(xmlMechanismName, c.value);
    ExpectRoundTrips(m, H(c.hex));
    EXPECT_EQ(m.GetValueStr(), c.name);
    EXPECT_EQ(m.ToXMLString(), std::string("<MechanismName Value=\"") + c.name + "\" />\r\n");
    EXPECT_EQ(FromBytes<T_ApplicationContextName>(H(c.hex), xmlApplicationContextName)->Value, c.value);
    PduStr data;
    m.EncodeToDataPduStr(data);
    EXPECT_EQ(Hex(data), Hex(H("09") + H(c.hex)));
    TStringWrapper r(data);
    auto back = T_MechanismName::ClassInfo.CreateFromDataPduStr(xmlMechanismName, r);
    EXPECT_EQ(static_cast<T_MechanismName&>(*back).Value, c.value);
  }
}

TEST(ObjectIdentifier, UnknownContentsReadAsUnknown) {
  // Another branch, another arc and the empty identifier: all UNKNOWN, and
  // written back as the UNKNOWN identifier, not as the bytes read.
  for (const char* hex : {"07 60 85 74 05 08 03 01", "07 60 85 74 05 09 01 01", "07 60 85 74 05 08 02 08", "00"}) {
    SCOPED_TRACE(hex);
    int left = -1;
    auto oid = FromBytes<T_ApplicationContextName>(H(hex), xmlApplicationContextName, &left);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(oid->Value, oiUNKNOWN);
    EXPECT_EQ(Hex(oid->Encoded()), "07 5F 85 75 04 07 02 03");
  }
}

TEST(ObjectIdentifier, ReportsBadInput) {
  EXPECT_EQ(ErrorOf([] { FromBytes<T_MechanismName>(H("05 60 85 74 05 08"), xmlMechanismName); }),
            "Object identifier illegal length 5");
  EXPECT_EQ(ErrorOf([] { FromBytes<T_MechanismName>(H("81 07"), xmlMechanismName); }),
            "Object identifier illegal length 129");
  for (const char* hex : {"", "07 60 85 74", "07"})
    EXPECT_EQ(ErrorOf([&] { FromBytes<T_MechanismName>(H(hex), xmlMechanismName); }), "Wrong encoding in pdu") << hex;
  EXPECT_EQ(ErrorOf([] { FromXml<T_MechanismName>("<MechanismName Value=\"low_security\" />", xmlMechanismName); }),
            "Illegal value low_security");
  EXPECT_EQ(ErrorOf([] { FromXml<T_MechanismName>("<MechanismName Name=\"LN\" />", xmlMechanismName); }),
            "\"Value\" expected");
  EXPECT_EQ(ErrorOf([] { FromXml<T_MechanismName>("<ApplicationContextName Value=\"LN\" />", xmlMechanismName); }),
            "Start tag \"MechanismName\" expected");
  PduStr notData = H("06 07 60 85 74 05 08 01 01");
  EXPECT_EQ(ErrorOf([&] {
              TStringWrapper r(notData);
              T_MechanismName::ClassInfo.CreateFromDataPduStr(xmlMechanismName, r);
            }),
            "Byte[1]:, expected 0x09 found 0x06");
}

TEST(ObjectIdentifier, GeneralEncodingFollowsX690) {
  struct Case {
    const char* text;
    const char* hex;
  } cases[] = {
      {" {2, 15, 757, 4, 7, 2, 3}", "07 5F 85 75 04 07 02 03"},
      {"{2 16 756 5 8 1 1}", "07 60 85 74 05 08 01 01"},
      {"{2, 16, 128}", "03 60 81 00"},
      {"{2 16 127}", "02 60 7F"},
      {"{1 2 840 113549}", "06 2A 86 48 86 F7 0D"},
      {"{0 0}", "01 00"},
      {"{2 39 2147483647}", "06 77 87 FF FF FF 7F"},
      {"{1,2,3,4,5,6,7,8,9,10}", "09 2A 03 04 05 06 07 08 09 0A"},
  };
  for (const auto& c : cases) {
    PduStr s;
    TBERObjectIdentifier::EncodeFromText(s, c.text);
    EXPECT_EQ(Hex(s), c.hex) << c.text;
  }
  struct Bad {
    const char* text;
    const char* error;
  } bad[] = {
      {"{2}", "Some values missing"},
      {"{}", "Some values missing"},
      {"{3 1}", "(2:1) Value out of range 3."},
      {"{2 40}", "(4:1) Value out of range 40."},
      {"{2 16 x}", "(7:1) Integer value [0..2147483647] expected."},
      {"2 16 1", "(1:1) '{' expected"},
      {"{1 2 3 4 5 6 7 8 9 10 11}", "(23:1) '}' expected"},
  };
  for (const auto& b : bad) {
    PduStr s;
    EXPECT_EQ(ErrorOf([&] { TBERObjectIdentifier::EncodeFromText(s, b.text); }), b.error) << b.text;
  }
}

// --------------------------------------------------------- octet strings

TEST(BerOctetString, EncodesItsLengthInTheBerForms) {
  PduStr title = H("4D 4D 4D 00 00 BC 61 4E");
  struct Case {
    size_t size;
    const char* lengthHex;
  } cases[] = {{0, "00"}, {8, "08"}, {127, "7F"}, {128, "81 80"}, {200, "81 C8"}, {256, "82 01 00"}, {70000, "83 01 11 70"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    PduStr bytes(c.size, '\xA5');
    if (c.size == 8) bytes = title;
    T_APTitle t(xmlCallingAPTitle, bytes);
    ExpectRoundTrips(t, H(c.lengthHex) + bytes);
  }
}

TEST(BerOctetString, EachUseReadsEveryTextForm) {
  struct Case {
    TXMLId id;
    TCOSEMPduBaseClass cls;
    const char* xml;
    const char* hex;
    const char* written;
  } cases[] = {
      {xmlCallingAPTitle, &T_APTitle::ClassInfo, "<CallingAPTitle Value=\"4D4D4D0000BC614E\" />",
       "08 4D 4D 4D 00 00 BC 61 4E", "<CallingAPTitle Value=\"4D4D4D0000BC614E\" />\r\n"},
      {xmlCallingAuthenticationValue, &T_AuthenticationValue::ClassInfo,
       "<CallingAuthenticationValue Value=\"\\12345678\" />", "08 31 32 33 34 35 36 37 38",
       "<CallingAuthenticationValue Value=\"\\12345678\" />\r\n"},
      {xmlCalledAEQualifier, &T_AEQualifier::ClassInfo, "<CalledAEQualifier Value=\"1.0.99.1.0.255\" />",
       "06 01 00 63 01 00 FF", "<CalledAEQualifier Value=\"0100630100FF\" />\r\n"},
      {xmlImplementationInformation, &T_ImplementationData::ClassInfo, "<ImplementationInformation Value=\"\" />",
       "00", "<ImplementationInformation Value=\"\" />\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    auto v = TCOSEMPduBase::MakeAnyFromXml(c.id, c.cls, c.xml);
    EXPECT_EQ(Hex(v->Encoded()), Hex(H(c.hex)));
    EXPECT_EQ(v->ToXMLString(), c.written);
    auto back = TCOSEMPduBase::MakeAnyFromPdu(c.id, c.cls, H(c.hex));
    EXPECT_EQ(back->ToXMLString(), c.written);
  }
}

TEST(BerOctetString, RefusesBadInput) {
  EXPECT_EQ(ErrorOf([] { FromXml<T_APTitle>("<CallingAPTitle Value=\"4D4\" />", xmlCallingAPTitle); }),
            "HexStrToByteStr: Hex-character missing");
  EXPECT_EQ(ErrorOf([] { FromXml<T_APTitle>("<CallingAPTitle Value=\"4G\" />", xmlCallingAPTitle); }),
            "Illegal hex-character");
  // Lengths that promise more than the input holds fail before any copy.
  for (const char* hex : {"", "08 4D 4D", "81", "83 FF FF FF 00", "82 FF FF 01 02"})
    EXPECT_EQ(ErrorOf([&] { FromBytes<T_APTitle>(H(hex), xmlCallingAPTitle); }), "Wrong encoding in pdu") << hex;
  EXPECT_EQ(ErrorOf([] { FromBytes<T_APTitle>(H("84 00 00 00 01 00"), xmlCallingAPTitle); }),
            "Unsupported integer length.");
}
