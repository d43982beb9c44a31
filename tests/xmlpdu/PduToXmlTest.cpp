// Bytes straight to XML (no tree) against bytes -> tree -> XML: the same
// text, the same errors, the reader left at the same place.
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

// Every seed the fuzzers start from: real APDUs, Data values and
// association APDUs, well formed and broken, each read as what it is.
TEST(PduToXml, SameAsTreeOnEverySeed) {
  const char* src = std::getenv("QUILLON_SOURCE_DIR");
  ASSERT_NE(src, nullptr);
  const struct {
    const char* folder;
    TCOSEMPduBaseClass cls;
    TXMLId id;
  } kinds[] = {
      {"fuzz_apdu_bytes", &T_COSEMpdu::ClassInfo, xmlIgnore},
      {"fuzz_acse_bytes", &T_COSEMpdu::ClassInfo, xmlIgnore},
      {"fuzz_data_bytes", &T_Data::ClassInfo, xmlData},
      {"fuzz_data_bytes", &T_Data::ClassInfo, xmlIgnore},
  };
  int seeds = 0;
  for (const auto& k : kinds) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(src) / "fuzz/corpus" / k.folder)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      const PduStr bytes = ss.str();
      ExpectSame(k.cls, k.id, bytes, entry.path().string());
      // Every truncation fails the same way too.
      for (size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 16)
        ExpectSame(k.cls, k.id, bytes.substr(0, cut), entry.path().string() + " cut at " + std::to_string(cut));
      ++seeds;
    }
  }
  EXPECT_GT(seeds, 100);
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

}  // namespace
}  // namespace quillon
