// Bytes straight to XML and XML straight to bytes (no tree) against the
// conversions through a tree: the same results, the same errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/xmlpdu/TestUtil.h"
#include "xmlpdu/Make.h"

namespace quillon {
namespace {

using test::H;

struct TOutcome {
  std::string Xml;  // or "error: " and the error text
  int Remaining = -1;
};

template <class F>
TOutcome Run(const PduStr& bytes, F&& convert) {
  TStringWrapper r(bytes);
  TOutcome o;
  try {
    o.Xml = convert(r);
  } catch (const std::exception& e) {
    o.Xml = std::string("error: ") + e.what();
  }
  o.Remaining = r.GetRemainingBytes();
  return o;
}

TOutcome ViaTree(TCOSEMPduBaseClass cls, TXMLId id, const PduStr& bytes) {
  return Run(bytes, [&](TStringWrapper& r) { return cls->CreateFromPduStr(id, r)->ToXMLString(); });
}

TOutcome Streamed(TCOSEMPduBaseClass cls, TXMLId id, const PduStr& bytes) {
  return Run(bytes, [&](TStringWrapper& r) { return TCOSEMPduBase::PduToXMLString(id, cls, r); });
}

void ExpectSame(TCOSEMPduBaseClass cls, TXMLId id, const PduStr& bytes, const std::string& what) {
  const TOutcome tree = ViaTree(cls, id, bytes), streamed = Streamed(cls, id, bytes);
  EXPECT_EQ(streamed.Xml, tree.Xml) << what;
  EXPECT_EQ(streamed.Remaining, tree.Remaining) << what;
}

// XML -> bytes both ways, as hex or "error: " and the text.
template <class F>
std::string BytesOrError(F&& f) {
  try {
    return TMisc::ByteStrToHexStr(f());
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

void ExpectSameBytes(TCOSEMPduBaseClass cls, TXMLId id, const std::string& xml, const std::string& what) {
  EXPECT_EQ(BytesOrError([&] { return TCOSEMPduBase::XmlToPduStr(id, cls, xml); }),
            BytesOrError([&] { return TCOSEMPduBase::MakeAnyFromXml(id, cls, xml)->Encoded(); }))
      << what;
}

PduStr ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct TSeedKind {
  const char* folder;  // of fuzz/corpus
  TCOSEMPduBaseClass cls;
  TXMLId id;
};

// f(kind, path, content) for every seed of every kind; the number of seeds.
template <class F>
int ForEachSeed(std::initializer_list<TSeedKind> kinds, F&& f) {
  const char* src = std::getenv("QUILLON_SOURCE_DIR");
  int seeds = 0;
  for (const auto& k : kinds)
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(src ? src : ".") / "fuzz/corpus" /
                                                                 k.folder)) {
      f(k, entry.path().string(), ReadFile(entry.path()));
      ++seeds;
    }
  return seeds;
}

// Every seed the fuzzers start from: real APDUs, Data values and
// association APDUs, well formed and broken, each read as what it is.
TEST(PduToXml, SameAsTreeOnEverySeed) {
  ASSERT_NE(std::getenv("QUILLON_SOURCE_DIR"), nullptr);
  const int seeds = ForEachSeed(
      {{"fuzz_apdu_bytes", &T_COSEMpdu::ClassInfo, xmlIgnore},
       {"fuzz_acse_bytes", &T_COSEMpdu::ClassInfo, xmlIgnore},
       {"fuzz_data_bytes", &T_Data::ClassInfo, xmlData},
       {"fuzz_data_bytes", &T_Data::ClassInfo, xmlIgnore}},
      [](const TSeedKind& k, const std::string& what, const PduStr& bytes) {
        ExpectSame(k.cls, k.id, bytes, what);
        // And back: the tree's XML of what decodes gives the tree's bytes.
        const TOutcome tree = ViaTree(k.cls, k.id, bytes);
        if (tree.Xml.rfind("error: ", 0) != 0) ExpectSameBytes(k.cls, k.id, tree.Xml, what + " back");
        // Every truncation fails the same way too.
        for (size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 16)
          ExpectSame(k.cls, k.id, bytes.substr(0, cut), what + " cut at " + std::to_string(cut));
      });
  EXPECT_GT(seeds, 100);
}

// XML seeds, well formed and broken, and every truncation of them: the same
// bytes or the same error (with its line and position) as through a tree.
TEST(XmlToPdu, SameAsTreeOnEveryXmlSeed) {
  ASSERT_NE(std::getenv("QUILLON_SOURCE_DIR"), nullptr);
  const int seeds = ForEachSeed({{"fuzz_apdu_xml", &T_COSEMpdu::ClassInfo, xmlIgnore},
                                 {"fuzz_data_xml", &T_Data::ClassInfo, xmlData}},
                                [](const TSeedKind& k, const std::string& what, const std::string& xml) {
                                  for (size_t cut = 0; cut < xml.size(); cut += 1 + xml.size() / 16)
                                    ExpectSameBytes(k.cls, k.id, xml.substr(0, cut),
                                                    what + " cut at " + std::to_string(cut));
                                  ExpectSameBytes(k.cls, k.id, xml, what);
                                });
  EXPECT_GT(seeds, 50);
}

// Errors of reading come before errors of encoding, wherever they stand.
TEST(XmlToPdu, KeepsTheReaderChecksAndTheirOrder) {
  const struct {
    const char* what;
    const char* xml;
    const char* error;
  } cases[] = {
      {"count differs", "<Data><Array Qty=\"0002\" ><Unsigned Value=\"01\" /></Array></Data>",
       "error: ExpectedQty=2, ActualQty=1"},
      {"bad bit string, then a read error", "<Data><Structure Qty=\"0002\" ><BitString Value=\"12\" />"
       "<Unsigned Value=\"0102\" /></Structure></Data>", "error: Illegal data size, expected 1, found 2"},
      {"bad bit string alone", "<Data><BitString Value=\"12\" /></Data>", "error: BERBitString: illegal character"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BytesOrError([&] { return TCOSEMPduBase::XmlToPduStr(xmlData, &T_Data::ClassInfo, c.xml); }), c.error)
        << c.what;
    ExpectSameBytes(&T_Data::ClassInfo, xmlData, c.xml, c.what);
  }
}

// The errors hostile bytes must still give, each with its exact text.
TEST(PduToXml, KeepsTheDecoderChecks) {
  PduStr deep;
  for (int i = 0; i < 150; ++i) deep += H("0101");  // arrays of one array, 150 deep
  deep += H("00");
  const struct {
    const char* what;
    PduStr bytes;
    const char* error;
  } cases[] = {
      {"count beyond the bytes", H("0182FFFF0600000001"), "error: Wrong encoding in pdu"},
      {"unknown data tag", H("020211010811"), "error: T_Data : illegal Tag 8"},
      {"truncated value", H("0206000000"), "error: Wrong encoding in pdu"},
      {"nesting", deep, "error: Nesting deeper than 200 levels"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Streamed(&T_Data::ClassInfo, xmlData, c.bytes).Xml, c.error) << c.what;
    ExpectSame(&T_Data::ClassInfo, xmlData, c.bytes, c.what);
  }
}

// Data values have a writer of their own: every form it writes itself, the
// forms it hands to the generic code, the nesting limit exactly, and text
// handed on in pieces, against the tree (and through a whole APDU).
TEST(PduToXml, DataWriterAsTheTree) {
  auto nested = [](int arrays) {
    PduStr b;
    for (int i = 0; i < arrays; ++i) b += H("0101");
    return b + H("00");
  };
  PduStr many = H("0183010000");  // 65536 NullData: a five-digit Qty
  many.append(65536, '\0');
  const struct {
    const char* what;
    PduStr bytes;
  } cases[] = {
      {"numbers of every size", H("020A030105FFFFFFFE0600000001100102110212ABCD14800000000000000115FFFFFFFFFFFFFFFF"
                                  "16071700000000")},
      {"floats, bcd, deltas", H("02081740490FDB18400921FB54442D180D991CFF1D80001E000000011F0120FFFF")},
      {"text, quotes, control characters, empty", H("0206090548656C6C6F0A04276122270902004109000C000A03616263")},
      {"fixed octets, printable and not", H("02041A07EA0C0A041B303132331907EA0C0A04000000008000000730313233")},
      {"bit string and compact array among values", H("0203040A8FC01302021106050A000000011103")},
      {"null and don't care", H("010200FF")},
      {"nested arrays at the limit", nested(99)},
      {"one level beyond", nested(100)},
      {"a five-digit count", many},
      {"truncated octet string", H("0202090A4142")},
      {"truncated length", H("020109")},
      {"truncated date-time", H("19070A")},
      {"truncated compact array", H("13020211")},
  };
  for (const auto& c : cases)
    for (TXMLId id : {xmlData, xmlIgnore}) {
      ExpectSame(&T_Data::ClassInfo, id, c.bytes, c.what);
      // Pieces joined are the whole text.
      const TOutcome whole = Streamed(&T_Data::ClassInfo, id, c.bytes);
      std::string joined;
      const TOutcome pieces = quillon::Run(c.bytes, [&](TStringWrapper& r) {
        TCOSEMPduBase::PduToXmlPieces(id, &T_Data::ClassInfo, r, [&](std::string_view p) { joined += p; }, 64);
        return joined;
      });
      EXPECT_EQ(pieces.Xml, whole.Xml) << c.what;
    }
  EXPECT_EQ(Streamed(&T_Data::ClassInfo, xmlData, nested(100)).Xml, "error: Nesting deeper than 200 levels");
  EXPECT_NE(Streamed(&T_Data::ClassInfo, xmlIgnore, nested(99)).Xml.find("<NullData />"), std::string::npos);
  // Inside an APDU the levels above the value count as well.
  for (int arrays : {96, 97, 98, 99}) {
    const PduStr apdu = H("C401C100") + nested(arrays);
    ExpectSame(&T_COSEMpdu::ClassInfo, xmlIgnore, apdu, std::to_string(arrays) + " arrays in a GetResponse");
  }
}

}  // namespace
}  // namespace quillon
