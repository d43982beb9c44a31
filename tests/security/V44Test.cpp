#include <gtest/gtest.h>

#include <vector>

#include "security/V44.h"
#include "tests/security/TestSupport.h"

namespace quillon {
namespace {

using test::H;
using test::Hex;

std::vector<TTransfer> Transfers(const PduStr& input) {
  std::vector<TTransfer> r;
  TV44Encoder enc(input, [&r](const TTransfer& t) { r.push_back(t); });
  while (!enc.EncodeNext()) {
  }
  return r;
}

std::string InflateError(const PduStr& compressed) {
  PduStr out = "untouched";
  if (V44Decompress(compressed, out)) return "no error";
  EXPECT_EQ(out, "");
  return V44LastError;
}

// Bit streams worked out by hand from the transfer layout.
TEST(V44, HandDerivedStreams) {
  const std::pair<const char*, const char*> cases[] = {
      {"41", "8203"},          // ordinal 41 (0 + 7 bits), FLUSH (1 + 6 bits)
      {"414141", "828901"},    // ordinal, codeword 4 ("AA"), FLUSH
      {"414141414141", "82093900"},  // ordinal, codeword 4, extension of 3, FLUSH
      {"", ""},
  };
  for (const auto& [plain, packed] : cases) {
    EXPECT_EQ(Hex(V44Deflate(H(plain))), packed) << plain;
    EXPECT_EQ(Hex(V44Inflate(H(packed))), plain) << packed;
  }
}

TEST(V44, HighByteIsPrecededByOneStepupThenOrdinalsStayWide) {
  const std::vector<TTransfer> t = Transfers(H("01C0027F"));
  const std::vector<TTransfer> expected = {{ttOrdinal, 0x01}, {ttControl, v44::STEPUP}, {ttOrdinal, 0xC0},
                                           {ttOrdinal, 0x02}, {ttOrdinal, 0x7F},        {ttControl, v44::FLUSH}};
  EXPECT_EQ(t, expected);
  // 0 + 7 bits, STEPUP 1 + 6 bits, three 0 + 8 bit ordinals, FLUSH 1 + 6
  // bits: 49 bits in 7 octets.
  EXPECT_EQ(V44Deflate(H("01C0027F")).size(), 7u);
}

TEST(V44, PackerAndUnpackerAgreeOnEveryTransferShape) {
  // Every string-extension length, ordinals around the STEPUP, wide
  // codewords after successive STEPUPs.
  std::vector<TTransfer> seq = {{ttOrdinal, 0x55}};
  for (int len = 1; len <= 255; ++len) {
    seq.push_back({ttCodeWord, 4 + len % 60});
    seq.push_back({ttStringExtensionLength, len});
    seq.push_back({ttOrdinal, len % 128});
  }
  seq.push_back({ttControl, v44::STEPUP});
  seq.push_back({ttOrdinal, 0xFF});
  for (int k = 0; k < 5; ++k) {
    seq.push_back({ttControl, v44::STEPUP});
    seq.push_back({ttCodeWord, (64 << k) + 3});
    seq.push_back({ttOrdinal, 0x80});
  }
  seq.push_back({ttControl, v44::FLUSH});
  TTransferToString packer;
  for (const auto& t : seq) packer.PutTransfer(t);
  EXPECT_EQ(packer.C2_CodeWordBits, 11);
  TStringToTransfer unpacker(packer.Output);
  for (size_t i = 0; i < seq.size(); ++i) ASSERT_EQ(unpacker.GetTransfer(), seq[i]) << "transfer " << i;
  // Only the padding of the last octet is left over.
  EXPECT_EQ(unpacker.CurrentOctetIndex + (unpacker.NextBitMask != 1 ? 1 : 0), packer.Output.size());
}

TEST(V44, PackerRefusesWhatTheFormatCannotCarry) {
  TTransferToString packer;
  EXPECT_THROW(packer.PutTransfer({ttStringExtensionLength, 3}), EAssertionFailed);
  TTransferToString wide;
  for (int k = 0; k < 5; ++k) {
    wide.PutTransfer({ttControl, v44::STEPUP});
    wide.PutTransfer({ttCodeWord, 4});
  }
  wide.PutTransfer({ttControl, v44::STEPUP});
  EXPECT_THROW(wide.PutTransfer({ttCodeWord, 4}), EAssertionFailed);
}

PduStr RunOf(char c, size_t n) { return PduStr(n, c); }

PduStr ObjectListLike() {
  // Repetitive structure like an association object list: class id, logical
  // name, version, access rights.
  PduStr s = H("C401C100010182");
  for (int i = 0; i < 300; ++i) {
    s += H("020412000309060100") + PduStr(1, static_cast<char>(i % 97)) + H("0800FF110002020103");
    s += H("020312000102") + PduStr(1, static_cast<char>(i % 5)) + H("0F0116010002");
  }
  return s;
}

TEST(V44, RoundTripsAndShrinksRedundantData) {
  test::TRandomBytes rnd(44);
  PduStr allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  PduStr text;
  for (int i = 0; i < 2000; ++i) text += "the meter reads " + std::to_string(i % 37) + " kWh; ";
  struct {
    const char* name;
    PduStr data;
    bool shrinks;
  } cases[] = {
      {"run of 255", RunOf('A', 255), true},
      {"run of 256", RunOf('A', 256), true},
      {"run of 10000", RunOf('\xAA', 10000), true},
      {"two-byte cycle", [] { PduStr s; for (int i = 0; i < 3000; ++i) s += "\x01\xFE"; return s; }(), true},
      {"all byte values twice", allBytes + allBytes, false},
      {"random 1", rnd.Next(1), false},
      {"random 5000", rnd.Next(5000), false},
      {"text beyond the dictionary size", text, true},
      {"object list", ObjectListLike(), true},
  };
  for (const auto& c : cases) {
    const PduStr packed = V44Deflate(c.data);
    EXPECT_EQ(V44Inflate(packed), c.data) << c.name;
    if (c.shrinks) {
      EXPECT_LT(packed.size() * 3, c.data.size()) << c.name;
    }
  }
  // A long run grows strings up to the 255-byte limit: a 10000-byte run
  // needs few codewords.
  std::vector<TTransfer> t = Transfers(RunOf('A', 10000));
  int extensions = 0;
  for (const auto& x : t) {
    EXPECT_LE(x.Value, 255);
    if (x.Kind == ttStringExtensionLength) ++extensions;
  }
  EXPECT_GT(extensions, 0);
  EXPECT_LT(t.size(), 200u);
}

TEST(V44, RoundTripsManyRandomStructuredInputs) {
  test::TRandomBytes rnd(4444);
  for (int i = 0; i < 300; ++i) {
    // Draw from a small alphabet with repeats so strings and extensions
    // occur in every shape.
    const PduStr alphabet = rnd.Next(1 + rnd.Below(6));
    PduStr s;
    const size_t n = rnd.Below(3000);
    while (s.size() < n) {
      if (!s.empty() && rnd.Below(3) == 0) {
        size_t from = rnd.Below(static_cast<uint32_t>(s.size()));
        s += s.substr(from, rnd.Below(300));
      } else {
        s += alphabet[rnd.Below(static_cast<uint32_t>(alphabet.size()))];
      }
    }
    ASSERT_EQ(V44Inflate(V44Deflate(s)), s) << "case " << i;
  }
}

TEST(V44, BadStreamsFailCleanly) {
  EXPECT_EQ(InflateError(H("FF")), "Illegal compressed data");     // codeword 63 first
  EXPECT_EQ(InflateError(H("82")), "Compressed data ends before FLUSH");
  EXPECT_EQ(InflateError(H("8209")), "Compressed data ends before FLUSH");
  // Every strict prefix of a valid stream fails; none reads past its end.
  const PduStr packed = V44Deflate(ObjectListLike());
  for (size_t n = 1; n < packed.size(); ++n) {
    PduStr out;
    EXPECT_FALSE(V44Decompress(packed.substr(0, n), out)) << n;
  }
  PduStr out;
  ASSERT_TRUE(V44Decompress(packed + "trailing", out));
  EXPECT_EQ(out, ObjectListLike());
  // Arbitrary bytes: an error or some output, bounded by what 8 bits can carry.
  test::TRandomBytes rnd(13);
  for (int i = 0; i < 2000; ++i) {
    const PduStr junk = rnd.Next(1 + rnd.Below(64));
    PduStr o;
    if (V44Decompress(junk, o)) {
      EXPECT_LE(o.size(), junk.size() * 8 * 255);
    }
  }
}

TEST(V44, WrappersReportSuccessAndEmptyInput) {
  PduStr out = "x";
  EXPECT_TRUE(V44Compress("", out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(V44Compress(H("41"), out));
  EXPECT_EQ(out, H("8203"));
  EXPECT_TRUE(V44Decompress(out, out));
  EXPECT_EQ(out, H("41"));
}

}  // namespace
}  // namespace quillon
