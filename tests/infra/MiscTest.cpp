#include <gtest/gtest.h>

#include "TestUtil.h"

#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using quillon::test::ErrorOf;

namespace {


PduStr H(const char* hex) { return TMisc::HexStrToByteStr(hex); }

}  // namespace

TEST(HexText, ConvertsBothWays) {
  EXPECT_EQ(TMisc::HexStrToByteStr(""), "");
  EXPECT_EQ(TMisc::HexStrToByteStr("0a 0B ff"), std::string("\x0A\x0B\xFF", 3));
  EXPECT_EQ(TMisc::HexStrToByteStr("  0 a0B  f f "), std::string("\x0A\x0B\xFF", 3));
  EXPECT_EQ(TMisc::HexStrToByteStr("   "), "");
  EXPECT_EQ(TMisc::ByteStrToHexStr(std::string("\x00\x7F\xAB", 3)), "007FAB");
  EXPECT_EQ(TMisc::ByteStrToHexStr(""), "");
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(TMisc::HexStrToByteStr(TMisc::ByteStrToHexStr(all)), all);
}

TEST(HexText, RejectsBadDigits) {
  struct Case { const char* text; const char* error; } cases[] = {
      {"0A1", "HexStrToByteStr: Hex-character missing"},
      {"0G", "Illegal hex-character"},
      {"0A\t0B", "Illegal hex-character"},
      {"0A\r\n", "Illegal hex-character"},
  };
  for (auto& c : cases) EXPECT_EQ(ErrorOf([&] { TMisc::HexStrToByteStr(c.text); }), c.error) << c.text;
}

TEST(FormattedText, RecognisesEachForm) {
  struct Case { const char* text; PduStr bytes; TStringFormat format; } cases[] = {
      {"", "", sfNone},
      {"\\", "", sfVisibleString},
      {"\\1.2", "1.2", sfVisibleString},
      {"\\ABC", "ABC", sfVisibleString},
      {"0A0B", H("0A0B"), sfHex},
      {"0.0.40.0.0.255", H("00 00 28 00 00 FF"), sfDotted},
      {"1.0.99.1.0.255", H("01 00 63 01 00 FF"), sfDotted},
      {"1-0:1.8.0*255", H("01 00 01 08 00 FF"), sfDotted},
  };
  for (auto& c : cases) {
    TStringFormat f = sfNone;
    EXPECT_EQ(TMisc::FormattedStrToByteStr(c.text, f), c.bytes) << c.text;
    EXPECT_EQ(f, c.format) << c.text;
  }
  EXPECT_EQ(ErrorOf([] { TMisc::FormattedStrToByteStr("1.2.3"); }), "'' is not a valid integer value");
  EXPECT_EQ(ErrorOf([] { TMisc::FormattedStrToByteStr("1..2.3.4.5"); }), "'' is not a valid integer value");
  EXPECT_EQ(ErrorOf([] { TMisc::FormattedStrToByteStr("1.0.256.1.0.255"); }), "'256' is not a valid byte value");
}

TEST(FormattedText, WritesVisibleOrHexAndReadsBack) {
  EXPECT_EQ(TMisc::ByteStrToFormatedString2("ABC"), "\\ABC");
  EXPECT_EQ(TMisc::ByteStrToFormatedString2(" "), "\\ ");
  EXPECT_EQ(TMisc::ByteStrToFormatedString2("a\"b"), "612262");
  EXPECT_EQ(TMisc::ByteStrToFormatedString2("a'b"), "612762");
  EXPECT_EQ(TMisc::ByteStrToFormatedString2(H("00 01")), "0001");
  EXPECT_EQ(TMisc::ByteStrToFormatedString2(H("7F")), "7F");
  EXPECT_EQ(TMisc::ByteStrToFormatedString2(""), "");
  for (PduStr s : {PduStr("ABC"), PduStr("1.0.1"), H("00FF7E2E"), PduStr("")})
    EXPECT_EQ(TMisc::FormattedStrToByteStr(TMisc::ByteStrToFormatedString2(s)), s);
}

TEST(LengthField, EncodesEachRange) {
  struct Case { int32_t value; const char* hex; } cases[] = {
      {0, "00"}, {127, "7F"}, {128, "8180"}, {255, "81FF"}, {256, "820100"}, {65535, "82FFFF"},
      {65536, "83010000"}, {16777215, "83FFFFFF"},
  };
  for (auto& c : cases) {
    PduStr s;
    EncodeVarLengthUnsignedInteger(s, c.value);
    EXPECT_EQ(TMisc::ByteStrToHexStr(s), c.hex);
    TStringWrapper r(s);
    EXPECT_EQ(DecodeVarLengthUnsignedInteger(r), static_cast<uint32_t>(c.value));
    EXPECT_EQ(r.GetRemainingBytes(), 0);
  }
  PduStr s;
  EXPECT_EQ(ErrorOf([&] { EncodeVarLengthUnsignedInteger(s, 16777216); }),
            "Coding of variable-length integer 16777216 not implemented");
  EXPECT_EQ(ErrorOf([&] { EncodeVarLengthUnsignedInteger(s, -1); }),
            "Coding of variable-length integer -1 not implemented");
}

TEST(LengthField, RejectsBadEncodings) {
  struct Case { const char* hex; const char* error; } cases[] = {
      {"80", "Unsupported integer length."},
      {"84 01 02 03 04", "Unsupported integer length."},
      {"82 01", "Wrong encoding in pdu"},
      {"", "Wrong encoding in pdu"},
  };
  for (auto& c : cases) {
    TStringWrapper r(H(c.hex));
    EXPECT_EQ(ErrorOf([&] { DecodeVarLengthUnsignedInteger(r); }), c.error) << c.hex;
  }
}

TEST(LengthField, HostileCountFailsBeforeAllocating) {
  // Announces 16 MB with three bytes behind it.
  TStringWrapper r(H("83 FF FF FF 01 02 03"));
  uint32_t n = DecodeVarLengthUnsignedInteger(r);
  EXPECT_EQ(n, 0xFFFFFFu);
  EXPECT_EQ(ErrorOf([&] { r.CopyFromIndexAndForward(static_cast<int>(n)); }), "Wrong encoding in pdu");
  EXPECT_EQ(r.GetRemainingBytes(), 3);
}

TEST(StringWrapper, ReadsAndChecksBytes) {
  TStringWrapper r(H("60"));
  EXPECT_EQ(ErrorOf([&] { r.ExpectByte(0x61); }), "Byte[1]:, expected 0x61 found 0x60");
  EXPECT_EQ(r.FIndex, 2);
  EXPECT_EQ(ErrorOf([&] { r.NextByte(); }), "Wrong encoding in pdu");
  EXPECT_EQ(ErrorOf([&] { r.Inspect(); }), "Wrong encoding in pdu");

  unsigned char raw[] = {0xC0, 0x01, 0xC1};
  TStringWrapper w(raw, 3);
  EXPECT_EQ(w.Inspect(), 0xC0);
  EXPECT_EQ(w.NextByte(), 0xC0);
  EXPECT_EQ(w.CopyFromIndexAndForward(2), H("01C1"));
  EXPECT_EQ(w.GetRemainingBytes(), 0);
}
