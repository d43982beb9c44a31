// Object references, typed values (dates, scaling, renderings, literals) and
// the profile files of the session library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "client/LogMask.h"
#include "client/MeterProfile.h"
#include "client/ObjectRef.h"
#include "client/Session.h"
#include "client/Value.h"
#include "knowledge/COSEMUnits.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using namespace quillon::client;

namespace {

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// The selected item of a combo box in the application's settings form.
std::string ComboSelection(const TIniData& ini, const std::string& control) {
  const std::string section = "FormSettings." + control;
  return ini.Get(section, ini.Get(section, "i"));
}

// ---------------------------------------------------------------- references

TEST(ObjectRef, AcceptsEveryWrittenForm) {
  struct {
    const char* Text;
    int Class;
    const char* Dotted;
    int Member;
  } cases[] = {
      {"1.0.1.8.0.255", 0, "1.0.1.8.0.255", 0},
      {"1-0:1.8.0*255", 0, "1.0.1.8.0.255", 0},
      {"0100010800FF", 0, "1.0.1.8.0.255", 0},
      {"3/1.0.1.8.0.255", 3, "1.0.1.8.0.255", 0},
      {"3/1-0:1.8.0*255/3", 3, "1.0.1.8.0.255", 3},
      {"1.0.1.8.0.255/2", 0, "1.0.1.8.0.255", 2},
      {"0000010000ff/2", 0, "0.0.1.0.0.255", 2},
      {"7/1.0.99.1.0.255/2", 7, "1.0.99.1.0.255", 2},
  };
  for (const auto& c : cases) {
    const TObjectRef r = ParseObjectRef(c.Text);
    EXPECT_EQ(r.ClassId, c.Class) << c.Text;
    EXPECT_EQ(LogicalNameDotted(r.Name), c.Dotted) << c.Text;
    EXPECT_EQ(r.Member, c.Member) << c.Text;
  }
}

TEST(ObjectRef, RefusesMalformedInputNamingIt) {
  struct {
    const char* Text;
    const char* Error;
  } cases[] = {
      {"1.0.1.8.0", "OBIS code \"1.0.1.8.0\": expected A.B.C.D.E.F, A-B:C.D.E*F or 12 hex digits, each group 0..255"},
      {"1.0.1.8.0.256", "OBIS code \"1.0.1.8.0.256\": expected A.B.C.D.E.F, A-B:C.D.E*F or 12 hex digits, each group 0..255"},
      {"0100010800G0", "OBIS code \"0100010800G0\": expected A.B.C.D.E.F, A-B:C.D.E*F or 12 hex digits, each group 0..255"},
      {"", "OBIS code \"\": expected A.B.C.D.E.F, A-B:C.D.E*F or 12 hex digits, each group 0..255"},
      {"x/1.0.1.8.0.255/2", "reference \"x/1.0.1.8.0.255/2\": class \"x\" is not a class identifier 1..65535"},
      {"3/1.0.1.8.0.255/0", "reference \"3/1.0.1.8.0.255/0\": attribute \"0\" is not a number 1..255"},
      {"1/2/3/4", "reference \"1/2/3/4\": expected [CLASS/]OBIS[/ATTRIBUTE], e.g. 3/1.0.1.8.0.255/2"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { ParseObjectRef(c.Text); }), c.Error) << c.Text;
}

// ---------------------------------------------------------------- values

TEST(Value, ReadsEveryKindAndRendersIt) {
  struct {
    const char* Xml;
    const char* Text;
    const char* Json;
  } cases[] = {
      {"<Integer Value=\"FF\" />", "-1", "-1"},
      {"<Long Value=\"8000\" />", "-32768", "-32768"},
      {"<DoubleLong Value=\"FFFFFFFE\" />", "-2", "-2"},
      {"<Long64 Value=\"8000000000000000\" />", "-9223372036854775808", "-9223372036854775808"},
      {"<Unsigned Value=\"FF\" />", "255", "255"},
      {"<LongUnsigned Value=\"08FC\" />", "2300", "2300"},
      {"<DoubleLongUnsigned Value=\"0012D687\" />", "1234567", "1234567"},
      {"<Long64Unsigned Value=\"FFFFFFFFFFFFFFFF\" />", "18446744073709551615", "18446744073709551615"},
      {"<Enum Value=\"1E\" />", "30", "30"},
      {"<Boolean Value=\"01\" />", "true", "true"},
      {"<Float32 Value=\"3FC00000\" />", "1.5", "1.5"},
      {"<Float64 Value=\"C004000000000000\" />", "-2.5", "-2.5"},
      {"<Float32 Value=\"3F3DF3B6\" />", "0.742", "0.742"},
      {"<BitString Value=\"0101\" />", "0101", "\"0101\""},
      {"<OctetString Value=\"00FF10\" />", "00FF10", "\"00FF10\""},
      {"<OctetString Value=\"\\QSM-FW 7.0.3\" />", "QSM-FW 7.0.3", "\"51534D2D465720372E302E33\""},
      {"<VisibleString Value=\"3531303030343237\" />", "51000427", "\"51000427\""},
      {"<NullData />", "null", "null"},
      {"<Data><Structure Qty=\"0002\" ><Integer Value=\"FF\" /><Enum Value=\"23\" /></Structure></Data>", "{-1, 35}",
       "[-1,35]"},
      {"<Array Qty=\"0000\" ></Array>", "{}", "[]"},
      {"<OctetString Value=\"07EA0C0A040C1E0000FFC400\" />", "2026-12-10T12:30:00+01:00", "\"2026-12-10T12:30:00+01:00\""},
  };
  for (const auto& c : cases) {
    const TValue v = ParseDataXml(c.Xml);
    EXPECT_EQ(ValueToText(v), c.Text) << c.Xml;
    EXPECT_EQ(ValueToJson(v).dump(), c.Json) << c.Xml;
  }
}

TEST(Value, EnumsNamedWhereTheirPlaceIsKnown) {
  struct {
    const char* Xml;
    TValuePlace Place;
    const char* Text;
  } cases[] = {
      {"<Enum Value=\"02\" />", {8, 0, 9, {}}, "mains frequency 50 Hz (2)"},
      {"<Enum Value=\"63\" />", {8, 0, 9, {}}, "99"},  // no name for it
      {"<Enum Value=\"02\" />", {}, "2"},              // no place
      {"<Unsigned Value=\"02\" />", {8, 0, 9, {}}, "2"},  // only enums are named
      {"<Structure Qty=\"0002\" ><Integer Value=\"FD\" /><Enum Value=\"1E\" /></Structure>", {3, 0, 3, {}},
       "{-3, Wh (30)}"},
      // An object list entry: the access modes inside the arrays of its rights.
      {"<Array Qty=\"0001\" ><Structure Qty=\"0004\" ><LongUnsigned Value=\"0003\" /><Unsigned Value=\"00\" />"
       "<OctetString Value=\"0100010800FF\" /><Structure Qty=\"0002\" ><Array Qty=\"0002\" >"
       "<Structure Qty=\"0003\" ><Integer Value=\"01\" /><Enum Value=\"01\" /><NullData /></Structure>"
       "<Structure Qty=\"0003\" ><Integer Value=\"02\" /><Enum Value=\"03\" /><NullData /></Structure></Array>"
       "<Array Qty=\"0001\" ><Structure Qty=\"0002\" ><Integer Value=\"01\" /><Enum Value=\"00\" /></Structure>"
       "</Array></Structure></Structure></Array>",
       {15, 1, 2, {}},
       "{{3, 0, 0100010800FF, {{{1, read-only (1), null}, {2, read and write (3), null}}, {{1, no access (0)}}}}}"},
  };
  for (const auto& c : cases) EXPECT_EQ(ValueToText(ParseDataXml(c.Xml), c.Place), c.Text) << c.Xml;
}

TEST(ObjectList, BothLayoutsWithTheAccessRightsOfLNLists) {
  // LN: a register with attribute 2 read-only, 3 write-only, 1 not listed, and
  // method 1 without access; then an SN entry, told apart by its first element.
  const char* ln =
      "<Array Qty=\"0001\" ><Structure Qty=\"0004\" ><LongUnsigned Value=\"0003\" /><Unsigned Value=\"00\" />"
      "<OctetString Value=\"0100010800FF\" /><Structure Qty=\"0002\" ><Array Qty=\"0002\" >"
      "<Structure Qty=\"0003\" ><Integer Value=\"02\" /><Enum Value=\"01\" /><NullData /></Structure>"
      "<Structure Qty=\"0003\" ><Integer Value=\"03\" /><Enum Value=\"02\" /><NullData /></Structure></Array>"
      "<Array Qty=\"0001\" ><Structure Qty=\"0002\" ><Integer Value=\"01\" /><Boolean Value=\"00\" /></Structure>"
      "</Array></Structure></Structure></Array>";
  const std::vector<TObjectListEntry> list = DecodeObjectList(ParseDataXml(ln));
  ASSERT_EQ(list.size(), 1u);
  const TObjectListEntry& e = list[0];
  EXPECT_EQ(e.ClassId, 3);
  EXPECT_EQ(e.ShortName, -1);
  EXPECT_EQ(LogicalNameDotted(e.Name), "1.0.1.8.0.255");
  EXPECT_EQ(e.ClassName, "Register");
  EXPECT_EQ(e.AccessText(), "2:R 3:W");
  EXPECT_EQ(e.AttributeAccessOf(2), 1);
  EXPECT_EQ(e.AttributeAccessOf(1), std::nullopt);
  EXPECT_EQ(e.MethodAccessOf(1), 0);  // a Boolean false: no access
  EXPECT_EQ((std::vector<bool>{e.MayRead(1), e.MayRead(2), e.MayRead(3)}), (std::vector<bool>{false, true, false}));
  TObjectListEntry open;  // no rights listed: everything may be tried
  EXPECT_TRUE(open.MayRead(2));
  open.AttributeAccess = {{2, 4}, {3, 6}, {4, 5}};
  EXPECT_EQ((std::vector<bool>{open.MayRead(2), open.MayRead(3), open.MayRead(4)}), (std::vector<bool>{true, true, false}));

  const char* sn =
      "<Array Qty=\"0001\" ><Structure Qty=\"0004\" ><Long Value=\"FA00\" /><LongUnsigned Value=\"000C\" />"
      "<Unsigned Value=\"02\" /><OctetString Value=\"0000280000FF\" /></Structure></Array>";
  const std::vector<TObjectListEntry> snList = DecodeObjectList(ParseDataXml(sn));
  ASSERT_EQ(snList.size(), 1u);
  EXPECT_EQ(snList[0].ShortName, 0xFA00);
  EXPECT_EQ(snList[0].ClassId, 12);
  EXPECT_TRUE(snList[0].AttributeAccess.empty());
  // A session that knows its referencing does not guess it.
  EXPECT_EQ(ErrorOf([&] { DecodeObjectList(ParseDataXml(sn), false); }),
            "Object list, entry 1: element 0 is not of the expected type");
}

TEST(Value, XmlRoundTripKeepsTypeAndBits) {
  for (const char* xml : {"<Integer Value=\"80\" />", "<Long64 Value=\"FFFFFFFFFFFFFFFF\" />",
                          "<Float32 Value=\"C0490FDB\" />", "<Structure Qty=\"0002\" ><Boolean Value=\"01\" />"
                                                           "<OctetString Value=\"0102\" /></Structure>",
                          "<BitString Value=\"1\" />", "<NullData />"})
    EXPECT_EQ(ValueToXml(ParseDataXml(xml)), xml);
}

TEST(Value, RefusesBrokenAndTooDeepData) {
  EXPECT_EQ(ErrorOf([] { ParseDataXml("<LongUnsigned Value=\"08\" />"); }).find("Illegal data size, expected 2, found 1") !=
                std::string::npos,
            true);
  EXPECT_NE(ErrorOf([] { ParseDataXml("<Structure Qty=\"0001\" ><Integer Value=\"01\" />"); }).find("</Structure> expected"),
            std::string::npos);
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "<Array Qty=\"0001\" >";
  deep += "<NullData />";
  for (int i = 0; i < 100; ++i) deep += "</Array>";
  EXPECT_NE(ErrorOf([&] { ParseDataXml(deep); }).find("Data nested deeper than 64 levels"), std::string::npos);
}

TEST(Value, DateTimesWithUnspecifiedFieldsDeviationAndStatus) {
  struct {
    const char* Hex;
    const char* Iso;  // nullptr: not a date-time
  } cases[] = {
      {"07EA0C0A040C1E0000000000", "2026-12-10T12:30:00Z"},
      {"07EA0C0A040C1E00008000FF", "2026-12-10T12:30:00"},
      {"FFFF0C0AFF0C1E0000800000", "-----12-10T12:30:00"},
      {"07EA0C0A04FFFFFFFF800000", "2026-12-10T--:--:--"},
      {"07EA0C0A040C1E0032FF8880", "2026-12-10T12:30:00.50+02:00 (status 0x80)"},
      {"07EA0D0A040C1E0000000000", nullptr},  // month 13
      {"07EA0C0A04181E0000000000", nullptr},  // hour 24
  };
  for (const auto& c : cases) {
    const auto d = DecodeDateTime(TMisc::HexStrToByteStr(c.Hex));
    if (!c.Iso) {
      EXPECT_FALSE(d.has_value()) << c.Hex;
      continue;
    }
    ASSERT_TRUE(d.has_value()) << c.Hex;
    EXPECT_EQ(DateTimeToIso(*d), c.Iso) << c.Hex;
  }
  EXPECT_EQ(DateTimeToIso(*DecodeDate(TMisc::HexStrToByteStr("07EA0C0AFF"))), "2026-12-10");
  EXPECT_EQ(DateTimeToIso(*DecodeTime(TMisc::HexStrToByteStr("173B3B00"))), "23:59:59");
}

TEST(Value, EncodedDateTimeDecodesToTheSameInstant) {
  const int64_t t = ParseIsoTime("2026-03-29T01:30:00Z", "time");
  for (std::optional<int> deviation : {std::optional<int>(0), std::optional<int>(-60), std::optional<int>(120),
                                       std::optional<int>()}) {
    const auto d = DecodeDateTime(EncodeDateTime(t, deviation));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(DateTimeToUnix(*d), t);
  }
  EXPECT_EQ(ParseIsoTime("2026-03-29T03:30:00+02:00", "t"), t);
  EXPECT_EQ(ParseIsoTime("2026-03-29 01:30", "t"), t);
  for (const char* bad : {"2026-13-01", "2026-02-29", "2026-04-31T00:00", "2026-01-01T24:00", "2026-01-01T12",
                          "2026-01-01T12:00+1"})
    EXPECT_EQ(ErrorOf([&] { ParseIsoTime(bad, "--from"); }),
              std::string("--from \"") + bad + "\": expected a time as YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM]");
  EXPECT_EQ(ParseIsoTime("2024-02-29", "t"), ParseIsoTime("2024-03-01", "t") - 86400);
}

TEST(Value, ScalingIsExactDecimal) {
  struct {
    const char* Xml;
    int Scaler;
    const char* Text;
  } cases[] = {
      {"<LongUnsigned Value=\"08FC\" />", -1, "230.0"},
      {"<LongUnsigned Value=\"0226\" />", -2, "5.50"},
      {"<Long Value=\"03D4\" />", -3, "0.980"},
      {"<DoubleLong Value=\"FFFFFFF6\" />", -3, "-0.010"},
      {"<DoubleLongUnsigned Value=\"0012D687\" />", 3, "1234567000"},
      {"<Unsigned Value=\"00\" />", 2, "0"},
  };
  for (const auto& c : cases) EXPECT_EQ(ScaledText(ParseDataXml(c.Xml), c.Scaler).value_or("?"), c.Text) << c.Xml;
  EXPECT_FALSE(ScaledText(ParseDataXml("<OctetString Value=\"01\" />"), -1).has_value());
  const auto su = ScalerUnitOf(ParseDataXml("<Structure Qty=\"0002\" ><Integer Value=\"FE\" /><Enum Value=\"21\" /></Structure>"));
  ASSERT_TRUE(su.has_value());
  EXPECT_EQ(su->Scaler, -2);
  EXPECT_EQ(COSEMUnitName(su->Unit), "A");
  EXPECT_EQ(COSEMUnitName(30), "Wh");
  EXPECT_EQ(COSEMUnitName(29), "var");
  EXPECT_EQ(COSEMUnitName(13), "m3");
  EXPECT_EQ(COSEMUnitName(255), "");
}

TEST(Value, LiteralsBecomeDataElements) {
  struct {
    const char* Literal;
    const char* Xml;
  } cases[] = {
      {"LongUnsigned:300", "<LongUnsigned Value=\"012C\" />"},
      {"integer:-1", "<Integer Value=\"FF\" />"},
      {"DoubleLongUnsigned:0x10", "<DoubleLongUnsigned Value=\"00000010\" />"},
      {"Boolean:true", "<Boolean Value=\"01\" />"},
      {"OctetString:0102", "<OctetString Value=\"0102\" />"},
      {"VisibleString:AB", "<VisibleString Value=\"4142\" />"},
      {"Enum:4", "<Enum Value=\"04\" />"},
      {"DateTime:2026-12-10T12:30:00Z", "<OctetString Value=\"07EA0C0A040C1E0000000000\" />"},
      {"<Unsigned Value=\"05\" />", "<Unsigned Value=\"05\" />"},
      {"null", "<NullData />"},
  };
  for (const auto& c : cases) EXPECT_EQ(ValueLiteralToXml(c.Literal), c.Xml) << c.Literal;
  struct {
    const char* Literal;
    const char* Error;
  } bad[] = {
      {"Unsigned:256", "value \"Unsigned:256\": expected an integer in 0..255 after Unsigned:"},
      {"Long:40000", "value \"Long:40000\": expected an integer in -32768..32767 after Long:"},
      {"Boolean:maybe", "value \"Boolean:maybe\": expected true, false, 1 or 0 after Boolean:"},
      {"OctetString:0G", "value \"OctetString:0G\": expected hex digits after OctetString:"},
      {"12", "value \"12\": expected TYPE:VALUE (e.g. LongUnsigned:300, OctetString:0102, "
             "DateTime:2026-01-31T12:00:00Z) or a DLMS XML Data element"},
  };
  for (const auto& c : bad) EXPECT_EQ(ErrorOf([&] { ValueLiteralToXml(c.Literal); }), c.Error) << c.Literal;
}

TEST(Value, CsvQuotingFollowsRfc4180) {
  EXPECT_EQ(CsvQuote("plain"), "plain");
  EXPECT_EQ(CsvQuote("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvQuote("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvQuote("two\nlines"), "\"two\nlines\"");
}

// Text a spreadsheet would run as a formula gets a leading quote; numbers
// and harmless text are written as they are.
TEST(Value, CsvCellsNeverStartAFormula) {
  const struct {
    const char* Cell;
    const char* Written;
  } cases[] = {
      {"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
      {"=1+cmd|' /C calc'!A0", "'=1+cmd|' /C calc'!A0"},
      {"+SUM(A1)", "'+SUM(A1)"},
      {"-2+3", "'-2+3"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\t=1", "'\t=1"},
      {"\r=1", "\"'\r=1\""},
      {"=1,2", "\"'=1,2\""},
      {"-", "'-"},
      {"-e5", "'-e5"},
      {"-12.5", "-12.5"},
      {"+3", "+3"},
      {"-1.5e-3", "-1.5e-3"},
      {"-.5", "-.5"},
      {"12", "12"},
      {"a=b", "a=b"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(CsvCell(c.Cell), c.Written) << c.Cell;
  EXPECT_EQ(CsvLine({"sim-1", "=2+5", "-7"}), "sim-1,'=2+5,-7\r\n");
}

// ---------------------------------------------------------------- profiles and files

class ProfileFiles : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillon-client-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    Dir = tmpl;
  }
  void TearDown() override { std::system(("rm -rf " + Dir).c_str()); }
  std::string Dir;
};

// Sections are found by name whatever the case, also after one is erased
// (the index by name follows the sections).
TEST(IniData, SectionsByNameWithoutCaseAfterErasing) {
  TIniData ini;
  ini.Parse("[Alpha]\nk=1\n[beta]\nk=2\n[GAMMA]\nk=3\n[alpha]\nj=4\n");
  EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"Alpha", "beta", "GAMMA"}));
  EXPECT_EQ(ini.Get("ALPHA", "j"), "4");
  ini.EraseSection("BETA");
  EXPECT_FALSE(ini.HasSection("beta"));
  EXPECT_EQ(ini.Get("gamma", "K"), "3");
  ini.Set("Beta", "k", "5");
  EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"Alpha", "GAMMA", "Beta"}));
  EXPECT_EQ(ini.Get("alpha", "k"), "1");
  EXPECT_EQ(ini.Get("beta", "k"), "5");
  // A section of many keys (beyond those looked up one by one) behaves alike.
  for (int i = 0; i < 100; ++i) ini.Set("wide", "Key" + std::to_string(i), std::to_string(i));
  ini.Set("WIDE", "KEY7", "seven");
  EXPECT_EQ(ini.Get("wide", "key7"), "seven");
  EXPECT_EQ(ini.Get("wide", "key99"), "99");
  EXPECT_FALSE(ini.Has("wide", "key100"));
  const std::string text = ini.Text();
  EXPECT_NE(text.find("[wide]\nKey0=0\nKey1=1\n"), std::string::npos);
  EXPECT_NE(text.find("\nKey7=seven\n"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '='), 3 + 1 + 100);
}

// Every line the engine and the layers log with a secret in it, masked; the
// rest of the line and lines without secrets unchanged.
TEST(SecretMask, HidesEveryLabelledSecretAndTheProfilesKeysInHex) {
  TMeterProfile p;
  p.EK = TMisc::HexStrToByteStr("000102030405060708090A0B0C0D0E0F");
  p.AK = TMisc::HexStrToByteStr("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF");
  p.Secret = "abc";  // too short to be looked for as hex: it is found by its place
  const TSecretMask mask(p);
  const struct {
    const char* Line;
    const char* Shown;
  } cases[] = {
      {"ENCRYPTION GUEK= 000102030405060708090A0B0C0D0E0F, GAK=D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF, IC: 00000001",
       "ENCRYPTION GUEK=<hidden>, GAK=<hidden>, IC: 00000001"},
      {"DECRYPTION GUEK= 11111111111111111111111111111111, GAK=", "DECRYPTION GUEK=<hidden>, GAK="},
      {"    SHARED SECRET: 0A0B0C", "    SHARED SECRET: <hidden>"},
      {"      d=0A0B0C0D", "      d=<hidden>"},
      {"      Q=0A0B0C0D", "      Q=0A0B0C0D"},
      {"PRIV.KEY: 0A0B", "PRIV.KEY: <hidden>"},
      {"WRAPPED 0A0B0C WITH = 0D0E0F", "WRAPPED <hidden> WITH = <hidden>"},
      {"  <CallingAuthenticationValue Value=\"\\abc\" />", "  <CallingAuthenticationValue Value=\"<hidden>\" />"},
      {"    <DedicatedKey Value=\"00112233445566778899AABBCCDDEEFF\" />", "    <DedicatedKey Value=\"<hidden>\" />"},
      // The association request in the traffic: the password after AC 05 80 03.
      {"6036A1090607608574050801018A0207808B0760857405080201AC0580036162630BE", "6036A1090607608574050801018A0207808B0760857405080201AC058003<hidden>0BE"},
      // A key in a frame, at a byte's place only.
      {"TX: 7E00000102030405060708090A0B0C0D0E0F7E", "TX: 7E00<hidden>7E"},
      {"TX: 7E0000102030405060708090A0B0C0D0E0F7E", "TX: 7E0000102030405060708090A0B0C0D0E0F7E"},
      {"REQUEST:", "REQUEST:"},
      {"  <InvokeIdAndPriority Value=\"C1\" />", "  <InvokeIdAndPriority Value=\"C1\" />"},
  };
  for (const auto& c : cases) EXPECT_EQ(mask(c.Line), c.Shown) << c.Line;
}

TEST_F(ProfileFiles, MeterSectionRoundTripAndModeOfTheFile) {
  TMeterProfile p;
  p.Transport = TTransport::tHdlcTcp;
  p.Host = "::1";
  p.Port = 4061;
  p.ClientAddress = 33;
  p.ServerAddress = 1;
  p.PhysicalAddress = 17;
  p.ShortNames = true;
  p.Mechanism = mGMAC;
  p.Secret = std::string("\x00\x01pw", 4);
  p.Policy = 3;
  p.Suite = 0;
  p.EK = TMisc::HexStrToByteStr("000102030405060708090A0B0C0D0E0F");
  p.AK = TMisc::HexStrToByteStr("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF");
  p.ServerSystemTitle = TMisc::HexStrToByteStr("5153494D00000001");
  p.ResponseTimeout = 1500;
  TIniData ini;
  ProfileToMeterSection(p, ini, "lab meter");
  const std::string path = Dir + "/meters.ini";
  ini.Save(path, 0600);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const TMeterProfile q = ProfileFromMeterSection(TIniData::Load(path), "lab meter");
  EXPECT_EQ(q.Transport, p.Transport);
  EXPECT_EQ(q.Host, p.Host);
  EXPECT_EQ(q.Port, p.Port);
  EXPECT_EQ(q.ClientAddress, p.ClientAddress);
  EXPECT_EQ(q.PhysicalAddress, p.PhysicalAddress);
  EXPECT_TRUE(q.ShortNames);
  EXPECT_EQ(q.Mechanism, p.Mechanism);
  EXPECT_EQ(q.Secret, p.Secret);
  EXPECT_EQ(q.Policy, p.Policy);
  EXPECT_EQ(q.EK, p.EK);
  EXPECT_EQ(q.AK, p.AK);
  EXPECT_EQ(q.ServerSystemTitle, p.ServerSystemTitle);
  EXPECT_EQ(q.ResponseTimeout, p.ResponseTimeout);
  EXPECT_EQ(q.ApplicationContext(), 2);

  // A text password is read as text.
  TIniData text;
  text.Parse("[m]\nhost=10.0.0.1\npassword=12345678\nauth=low\n");
  EXPECT_EQ(ProfileFromMeterSection(text, "m").Secret, "12345678");
  EXPECT_EQ(ErrorOf([&] { ProfileFromMeterSection(text, "x"); }).rfind("--meter \"x\": no such meter in ", 0), 0u);

  // A mistyped secret is described, never quoted.
  for (const auto& [line, message] : {
           std::pair{"ek=000102030405060708090A0B0C0D0EZZ", "meter m: ek: 30 hex digits of 32; position 31 is not a hex digit"},
           std::pair{"kek=10 11 12 1", "meter m: kek: 7 hex digits; expected an even number, two per byte"},
           std::pair{"password-hex=31323334353G", "meter m: password-hex: 11 hex digits of 12; position 12 is not a hex digit"},
       }) {
    TIniData bad;
    bad.Parse(std::string("[m]\nhost=10.0.0.1\n") + line + "\n");
    EXPECT_EQ(ErrorOf([&] { ProfileFromMeterSection(bad, "m"); }), message);
  }
}

TEST_F(ProfileFiles, ApplicationSettingsFormBothWays) {
  // As the application's "Save settings..." writes it.
  const char* saved =
      "[FormSettings]\nEDITOLFileName=\nRBSelectTCP=1\nEDITServerIP=127.0.0.1:4059\nEDITComPort=\nEDITBaud=\n"
      "CHKModeE=0\nEDITPhysicalAddress=\nRBSelectHDLC=0\nEDITPW=3132333435363738\nEDITGUEK=\nEDITGAK=\n"
      "EDITServerSystemTitle=\nEDITConnectTimeout=2000\nEDITResponseTimeout=1000\nEDITClientAddress=17\n"
      "EDITServerAddress=1\n\n[FormSettings.CBReferencingModel]\nc=4\n0=LN\n1=LN with ciphering\n2=SN\n"
      "3=SN with ciphering\ni=0\n\n[FormSettings.CBAuthMechanism]\nc=3\n0=NO\n1=LOW\n2=HIGH  (GMAC)\ni=1\n\n"
      "[FormSettings.CBProtectionOnRequest]\nc=4\n0=No\n1=Authentication\n2=Encryption\n"
      "3=Authentication and Encryption\ni=-1\n";
  TIniData ini;
  ini.Parse(saved);
  const TMeterProfile p = ProfileFromSettings(ini);
  EXPECT_EQ(p.Transport, TTransport::tWrapperTcp);
  EXPECT_EQ(p.Host, "127.0.0.1");
  EXPECT_EQ(p.Port, 4059);
  EXPECT_EQ(p.ClientAddress, 17);
  EXPECT_EQ(p.Mechanism, mLow);
  EXPECT_EQ(p.Secret, "12345678");
  EXPECT_EQ(p.ConnectTimeout, 2000);
  EXPECT_EQ(p.ResponseTimeout, 1000);
  EXPECT_EQ(p.ApplicationContext(), 3);

  TIniData written;
  ProfileToSettings(p, written);
  const TMeterProfile q = ProfileFromSettings(written);
  EXPECT_EQ(q.Host, p.Host);
  EXPECT_EQ(q.Port, p.Port);
  EXPECT_EQ(q.Secret, p.Secret);
  EXPECT_EQ(written.Get("FormSettings.CBAuthMechanism", "2"), "HIGH  (GMAC)");
  EXPECT_EQ(written.Get("FormSettings", "EDITPW"), "3132333435363738");

  TIniData none;
  none.Parse("[FormSettings]\nRBSelectTCP=1\nEDITServerIP=h:1\nEDITClientAddress=1\nEDITServerAddress=1\n");
  EXPECT_EQ(ErrorOf([&] { ProfileFromSettings(none); }), "No referencing model specified");
}

TEST_F(ProfileFiles, ApplicationSettingsSerialPathAndHlsMechanisms) {
  struct TCase {
    std::string Device;       // the profile's serial line
    std::string ComPort;      // what the settings then hold
    std::string DevicePath;
    int Mechanism;
    std::string AuthItem;
  } cases[] = {
      {"/dev/ttyS0", "1", "", mMD5, "HIGH  (MD5)"},
      {"/dev/ttyUSB1", "101", "", mSHA1, "HIGH  (SHA-1)"},
      {"/dev/pts/7", "", "/dev/pts/7", mSHA256, "HIGH  (SHA-256)"},
      {"/dev/serial/by-id/usb-FTDI-if00-port0", "", "/dev/serial/by-id/usb-FTDI-if00-port0", mLow, "LOW"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Device);
    TMeterProfile p;
    p.Transport = TTransport::tHdlcSerial;
    p.Device = c.Device;
    p.Mechanism = c.Mechanism;
    p.Secret = "Quillon-HLS-secret";
    p.ServerSystemTitle = std::string("QSM\0\0\0\0\1", 8);
    TIniData written;
    ProfileToSettings(p, written);
    EXPECT_EQ(written.Get("FormSettings", "EDITComPort"), c.ComPort);
    EXPECT_EQ(written.Get("FormSettings", "EDITDevicePath"), c.DevicePath);
    EXPECT_EQ(ComboSelection(written, "CBAuthMechanism"), c.AuthItem);
    const TMeterProfile q = ProfileFromSettings(written);
    EXPECT_EQ(q.Device, c.Device);
    EXPECT_EQ(q.Mechanism, c.Mechanism);
    EXPECT_EQ(q.Secret, p.Secret);
    // SHA-256 computes with the meter's system title; the others do not read it.
    EXPECT_EQ(q.ServerSystemTitle, c.Mechanism == mSHA256 ? p.ServerSystemTitle : std::string());
  }
  // The path wins over a number that is set as well.
  TIniData both;
  both.Parse("[FormSettings]\nRBSelectTCP=0\nEDITComPort=3\nEDITDevicePath=/dev/pts/9\nEDITClientAddress=16\n"
             "EDITServerAddress=1\n[FormSettings.CBReferencingModel]\nc=1\n0=LN\ni=0\n"
             "[FormSettings.CBAuthMechanism]\nc=1\n0=NO\ni=0\n");
  EXPECT_EQ(ProfileFromSettings(both).Device, "/dev/pts/9");
  // ECDSA keeps its two key files, on suite 1 whose key lengths the settings hold.
  TMeterProfile ecdsa;
  ecdsa.Host = "127.0.0.1";
  ecdsa.Mechanism = mECDSA;
  ecdsa.Suite = 1;
  ecdsa.ClientSigningKeyFile = "/keys/client.pem";
  ecdsa.ServerSigningKeyFile = "/keys/meter.pem";
  TIniData signing;
  ProfileToSettings(ecdsa, signing);
  const TMeterProfile e = ProfileFromSettings(signing);
  EXPECT_EQ(e.Mechanism, mECDSA);
  EXPECT_EQ(e.Suite, 1);
  EXPECT_EQ(e.ClientSigningKeyFile, ecdsa.ClientSigningKeyFile);
  EXPECT_EQ(e.ServerSigningKeyFile, ecdsa.ServerSigningKeyFile);
  // The manufacturer's mechanism has no item in the settings.
  TMeterProfile manufacturer;
  manufacturer.Mechanism = mManufacturer;
  TIniData ignored;
  EXPECT_EQ(ErrorOf([&] { ProfileToSettings(manufacturer, ignored); }),
            "--auth \"manufacturer\": the application's settings hold none, low, md5, sha1, gmac, sha256 or ecdsa");
}

// A settings form as the window saves it: the given FormSettings lines,
// the three combo boxes with their selections (-1 none), and extra sections.
std::string SettingsForm(const std::string& lines, int referencing, int mechanism, int protection,
                         const std::string& extra = "") {
  std::string text = "[FormSettings]\n" + lines + "\n[FormSettings.CBReferencingModel]\nc=4\n0=LN\n"
                     "1=LN with ciphering\n2=SN\n3=SN with ciphering\ni=" + std::to_string(referencing) +
                     "\n[FormSettings.CBAuthMechanism]\nc=" + std::to_string(std::size(kSettingsMechanisms)) + "\n";
  for (size_t i = 0; i < std::size(kSettingsMechanisms); ++i)
    text += std::to_string(i) + "=" + kSettingsMechanisms[i].Text + "\n";
  text += "i=" + std::to_string(mechanism) +
          "\n[FormSettings.CBProtectionOnRequest]\nc=4\n0=No\n1=Authentication\n2=Encryption\n"
          "3=Authentication and Encryption\ni=" + std::to_string(protection) + "\n" + extra;
  return text;
}

TEST(Profile, SettingsFormBecomesTheProfileTheWindowConnectsWith) {
  const std::string kek = TMisc::HexStrToByteStr(kSettingsKEKHex);
  const std::string ek = TMisc::HexStrToByteStr("000102030405060708090A0B0C0D0E0F");
  const std::string title("QSM\0\0\0\0\1", 8);
  // Mechanism items: 0 NO, 1 LOW, 2 GMAC, 3 MD5, 4 SHA-1, 5 SHA-256, 6 ECDSA.
  struct TCase {
    const char* Name;
    std::string Lines;
    int Referencing, Mechanism, Protection;
    std::string Extra;
    // What the profile holds.
    TTransport Transport;
    std::string Where;  // host:port or device
    int Client, Server, Physical, AddressSize;
    int Mech;
    std::string Secret, EK, KEK, ServerTitle, ClientTitle;
    int Suite, Policy;
    bool ShortNames;
    std::string SigningKeys;  // client|server
    std::string Quirks;
    int Inactivity;
  } cases[] = {
      {"TCP, IPv6, no security",
       "RBSelectTCP=1\nEDITServerIP=[fe80::1]:4060\nEDITConnectTimeout=2000\nEDITClientAddress=16\n"
       "EDITServerAddress=1\nEDITPW=3132\nEDITGUEK=000102030405060708090A0B0C0D0E0F",
       0, 0, 0, "", TTransport::tWrapperTcp, "fe80::1:4060", 16, 1, -1, 0, mLowest, "", "", "", "", "", 0, 0,
       false, "|", "", 30000},
      {"low password typed as text, blanks around the values",
       "RBSelectTCP=1\nEDITServerIP= 10.0.0.7:4059 \nEDITClientAddress= 17 \nEDITServerAddress=1\n"
       "EDITPW=  3132 3334  ",
       0, 1, -1, "", TTransport::tWrapperTcp, "10.0.0.7:4059", 17, 1, -1, 0, mLow, "1234", "", "", "", "", 0, 0,
       false, "|", "", 30000},
      {"COM number, HLS secret that is no text, inactivity from the program's file",
       "RBSelectTCP=0\nEDITComPort=101\nEDITDevicePath=\nEDITBaud=9600\nEDITClientAddress=16\n"
       "EDITServerAddress=17\nEDITPhysicalAddress=\nEDITPW=00FF10\nEDITServerSystemTitle=5153",
       0, 4, -1, "[Misc]\n0=45000\n", TTransport::tHdlcSerial, "/dev/ttyUSB1", 16, 17, -1, 1, mSHA1,
       std::string("\0\xFF\x10", 3), "", "", "", "", 0, 0, false, "|", "", 45000},
      {"device path wins over the number, four-byte address",
       "RBSelectTCP=0\nEDITComPort=3\nEDITDevicePath= /dev/pts/4 \nCHKModeE=1\nEDITBaud=300\n"
       "EDITClientAddress=1\nEDITServerAddress=1\nEDITPhysicalAddress=128",
       2, 0, -1, "", TTransport::tHdlcSerial, "/dev/pts/4", 1, 1, 128, 4, mLowest, "", "", "", "", "", 0, 0, true,
       "|", "", 30000},
      {"two-byte address, SHA-256 with the meter's title",
       "RBSelectTCP=0\nEDITComPort=1\nEDITClientAddress=1\nEDITServerAddress=127\nEDITPhysicalAddress=5\n"
       "EDITPW=414243\nEDITServerSystemTitle=51534D0000000001",
       0, 5, -1, "", TTransport::tHdlcSerial, "/dev/ttyS0", 1, 127, 5, 2, mSHA256, "ABC", "", "", title, "QXV00001",
       0, 0, false, "|", "", 30000},
      {"ECDSA key files on suite 1",
       "RBSelectTCP=1\nEDITServerIP=127.0.0.1:4059\nEDITClientAddress=48\nEDITServerAddress=1\n"
       "EDITGUEK=000102030405060708090A0B0C0D0E0F\nEDITServerSystemTitle=51534D0000000001\n"
       "EDITClientSigningKeyFile= /keys/client.pem\nEDITServerSigningKeyFile=/keys/meter.pem \nEDITPW=3132",
       0, 6, -1, "", TTransport::tWrapperTcp, "127.0.0.1:4059", 48, 1, -1, 0, mECDSA, "", ek, kek, title,
       "QXV00001", 1, 0, false, "/keys/client.pem|/keys/meter.pem", "", 30000},
      {"ciphered, protection No still ciphers the association",
       "RBSelectTCP=1\nEDITServerIP=127.0.0.1:4059\nEDITClientAddress=1\nEDITServerAddress=1\n"
       "EDITGUEK=000102030405060708090A0B0C0D0E0F\nEDITServerSystemTitle=51534D0000000001",
       1, 0, 0, "", TTransport::tWrapperTcp, "127.0.0.1:4059", 1, 1, -1, 0, mLowest, "", ek, kek, title,
       "QXV00001", 0, 1, false, "|", "", 30000},
      {"SN ciphered with GMAC, both protections, quirks",
       "RBSelectTCP=1\nEDITServerIP=127.0.0.1:4059\nEDITClientAddress=1\nEDITServerAddress=1\n"
       "EDITGUEK=000102030405060708090A0B0C0D0E0F\nEDITServerSystemTitle=51534D0000000001\n"
       "Quirks=max-pdu=512,challenge-16",
       3, 2, 3, "", TTransport::tWrapperTcp, "127.0.0.1:4059", 1, 1, -1, 0, mGMAC, "", ek, kek, title, "QXV00001", 0,
       3, true, "|", "challenge-16,max-pdu=512", 30000},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TIniData ini;
    ini.Parse(SettingsForm(c.Lines, c.Referencing, c.Mechanism, c.Protection, c.Extra));
    const TMeterProfile p = ProfileFromSettings(ini);
    EXPECT_EQ(p.Transport, c.Transport);
    EXPECT_EQ(p.Transport == TTransport::tHdlcSerial ? p.Device : p.Host + ":" + std::to_string(p.Port), c.Where);
    EXPECT_EQ(p.ClientAddress, c.Client);
    EXPECT_EQ(p.ServerAddress, c.Server);
    EXPECT_EQ(p.PhysicalAddress, c.Physical);
    EXPECT_EQ(p.AddressSize, c.AddressSize);
    EXPECT_EQ(p.Mechanism, c.Mech);
    EXPECT_EQ(p.Secret, c.Secret);
    EXPECT_EQ(p.EK, c.EK);
    EXPECT_EQ(p.KEK, c.KEK);
    EXPECT_EQ(p.ServerSystemTitle, c.ServerTitle);
    EXPECT_EQ(p.ClientSystemTitle, c.ClientTitle);
    EXPECT_EQ(p.Suite, c.Suite);
    EXPECT_EQ(p.Policy, c.Policy);
    EXPECT_EQ(p.ShortNames, c.ShortNames);
    EXPECT_EQ(p.ClientSigningKeyFile + "|" + p.ServerSigningKeyFile, c.SigningKeys);
    EXPECT_EQ(p.Quirks.Text(), c.Quirks);
    EXPECT_EQ(p.InactivityTimeout, c.Inactivity);
  }
}

TEST(Profile, SettingsFormThatCannotBeUsedIsNamed) {
  const std::string hdlc = "RBSelectTCP=0\nEDITComPort=1\nEDITClientAddress=16\nEDITServerAddress=1\n";
  const struct {
    std::string Lines;
    int Referencing, Mechanism, Protection;
    const char* Message;
  } cases[] = {
      // An HDLC address byte carries seven bits; two bytes 14 bits each part.
      {hdlc + "EDITClientAddress=128", 0, 0, -1, "settings EDITClientAddress \"128\": expected an integer in 0..127"},
      {hdlc + "EDITServerAddress=128", 0, 0, -1, "settings EDITServerAddress \"128\": expected an integer in 1..127"},
      {hdlc + "EDITPhysicalAddress=16384", 0, 0, -1,
       "settings EDITPhysicalAddress \"16384\": expected an integer in 0..16383"},
      {"RBSelectTCP=1\nEDITServerIP=h:1\nEDITClientAddress=1\nEDITServerAddress=65536", 0, 0, -1,
       "settings EDITServerAddress \"65536\": expected an integer in 0..65535"},
      {hdlc + "EDITComPort=", 0, 0, -1, "settings EDITComPort \"\": expected an integer in 1..2147483647"},
      {hdlc + "EDITPW=31 3", 0, 1, -1,
       "settings EDITPW: 3 hex digits; expected an even number, two per byte"},
      {hdlc + "EDITPW=3132x4", 0, 1, -1, "settings EDITPW: 5 hex digits of 6; position 5 is not a hex digit"},
      {hdlc + "Quirks=max-pdu=5", 0, 0, -1, "settings Quirks \"max-pdu=5\": expected max-pdu=N with N 12..65535"},
      {hdlc, 1, 0, -1, "No protection on request specified"},
      {hdlc, 0, -1, -1, "No security mechanism specified"},
  };
  for (const auto& c : cases) {
    TIniData ini;
    ini.Parse(SettingsForm(c.Lines, c.Referencing, c.Mechanism, c.Protection));
    EXPECT_EQ(ErrorOf([&] { ProfileFromSettings(ini); }), c.Message) << c.Lines;
  }
}

TEST(Profile, CheckNamesFieldValueAndExpectation) {
  TMeterProfile p;
  p.Host = "h";
  p.Policy = 3;
  p.EK = std::string(15, 'k');
  EXPECT_EQ(ErrorOf([&] { p.Check(); }),
            "--ek: expected 32 hex digits (a 16-byte key for security suite 0), found 30");
  p.EK = std::string(16, 'k');
  p.Suite = 2;
  EXPECT_EQ(ErrorOf([&] { p.Check(); }), "--ek: expected 64 hex digits (a 32-byte key for security suite 2), found 32");
  p.Suite = 0;
  p.ServerSystemTitle = "12345678";
  p.Mechanism = mLow;
  EXPECT_EQ(ErrorOf([&] { p.Check(); }),
            "--password: expected a password for --auth low (or --password-hex, QUILLON_PASSWORD)");
  p.Secret = "pw";
  EXPECT_EQ(ErrorOf([&] { p.Check(); }), "(no error)");
}

}  // namespace
