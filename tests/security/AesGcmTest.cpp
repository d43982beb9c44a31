#include <gtest/gtest.h>

#include "security/AesGcm.h"
#include "tests/security/TestSupport.h"

namespace quillon {
namespace {

using test::H;
using test::Hex;

struct TGcmVector {
  const char* name;
  const char* key;
  const char* iv;
  const char* plaintext;
  const char* aad;
  const char* ciphertext;
  const char* tag;
};

constexpr const char* kP64 =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
    "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255";
constexpr const char* kP60 =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
    "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39";
constexpr const char* kAad20 = "feedfacedeadbeeffeedfacedeadbeefabaddad2";
constexpr const char* kK128 = "feffe9928665731c6d6a8f9467308308";
constexpr const char* kK256 = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
constexpr const char* kIv = "cafebabefacedbaddecaf888";
constexpr const char* kZeroIv = "000000000000000000000000";

// The published GCM test cases with 96-bit IVs (McGrew/Viega, as used for
// NIST SP 800-38D validation): 128- and 256-bit keys, empty and odd lengths,
// with and without AAD.
const TGcmVector kVectors[] = {
    {"TC1", "00000000000000000000000000000000", kZeroIv, "", "", "", "58e2fccefa7e3061367f1d57a4e7455a"},
    {"TC2", "00000000000000000000000000000000", kZeroIv, "00000000000000000000000000000000", "",
     "0388dace60b6a392f328c2b971b2fe78", "ab6e47d42cec13bdf53a67b21257bddf"},
    {"TC3", kK128, kIv, kP64, "",
     "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
     "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985",
     "4d5c2af327cd64a62cf35abd2ba6fab4"},
    {"TC4", kK128, kIv, kP60, kAad20,
     "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
     "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091",
     "5bc94fbc3221a5db94fae95ae7121a47"},
    {"TC13", "0000000000000000000000000000000000000000000000000000000000000000", kZeroIv, "", "", "",
     "530f8afbc74536b9a963b4f1c4cb738b"},
    {"TC14", "0000000000000000000000000000000000000000000000000000000000000000", kZeroIv,
     "00000000000000000000000000000000", "", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"TC15", kK256, kIv, kP64, "",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
     "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
    {"TC16", kK256, kIv, kP60, kAad20,
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
     "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

// Both engines where the processor has the instructions; the table engine
// alone elsewhere (the instruction cases then do not run at all).
class AesGcmEngines : public ::testing::TestWithParam<TGcmEngine> {
protected:
  void SetUp() override {
    if (GetParam() == TGcmEngine::Instructions && !GcmInstructionsAvailable())
      GTEST_SKIP() << "no AES/PCLMULQDQ on this processor";
  }
};
INSTANTIATE_TEST_SUITE_P(, AesGcmEngines, ::testing::Values(TGcmEngine::Table, TGcmEngine::Instructions),
                         [](const auto& info) {
                           return std::string(info.param == TGcmEngine::Table ? "Table" : "Instructions");
                         });

TEST_P(AesGcmEngines, PublishedVectorsBothDirections) {
  for (const auto& v : kVectors) {
    SCOPED_TRACE(v.name);
    PduStr c, t, p;
    GCMEncryptString(GetParam(), H(v.key), H(v.iv), H(v.plaintext), H(v.aad), c, t);
    EXPECT_EQ(c, H(v.ciphertext));
    EXPECT_EQ(t, H(v.tag));
    ASSERT_EQ(GCMDecryptString(GetParam(), H(v.key), H(v.iv), H(v.ciphertext), H(v.aad), H(v.tag), p), kGcmOk);
    EXPECT_EQ(p, H(v.plaintext));
  }
}

TEST(AesGcm, BlockCipherMatchesFips197Examples) {
  const std::pair<const char*, const char*> cases[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
  };
  const PduStr plain = H("00112233445566778899aabbccddeeff");
  for (const auto& [key, expected] : cases) {
    TAesKey aes(H(key));
    uint8_t out[16];
    aes.EncryptBlock(reinterpret_cast<const uint8_t*>(plain.data()), out);
    EXPECT_EQ(PduStr(reinterpret_cast<char*>(out), 16), H(expected));
  }
  EXPECT_EQ(TAesKey(PduStr(16, 'k')).Rounds(), 10);
  EXPECT_EQ(TAesKey(PduStr(32, 'k')).Rounds(), 14);
}

TEST(AesGcm, TableGhashEqualsBitwiseMultiplication) {
  test::TRandomBytes rnd(7);
  for (int i = 0; i < 500; ++i) {
    PduStr x = rnd.Next(16), h = rnd.Next(16);
    if (i == 0) x = PduStr(16, '\0');
    if (i == 1) x = H("80000000000000000000000000000000");  // the unit element
    if (i == 2) x = H("00000000000000000000000000000001");  // forces every reduction
    uint8_t z[16];
    GF128MulBitwise(reinterpret_cast<const uint8_t*>(x.data()), reinterpret_cast<const uint8_t*>(h.data()), z);
    TGHash g(reinterpret_cast<const uint8_t*>(h.data()));
    g.Update(x);  // S = (0 xor x) * H
    uint64_t hi = 0, lo = 0;
    for (int k = 0; k < 8; ++k) {
      hi = (hi << 8) | static_cast<uint8_t>(x[k]);
      lo = (lo << 8) | static_cast<uint8_t>(x[8 + k]);
    }
    g.MulH(hi, lo);
    PduStr table;
    for (int k = 7; k >= 0; --k) table += static_cast<char>(hi >> (8 * k));
    for (int k = 7; k >= 0; --k) table += static_cast<char>(lo >> (8 * k));
    ASSERT_EQ(Hex(table), Hex(PduStr(reinterpret_cast<char*>(z), 16))) << "case " << i;
    if (i == 1) {
      EXPECT_EQ(table, h);
    }
  }
}

// OpenSSL as an independent oracle: every message length from 0 to 1000
// bytes, random keys of both sizes, random IVs and AAD (now and then long
// enough for the eight-block GHASH steps), both directions.
TEST_P(AesGcmEngines, AgreesWithOpenSslOnEveryLengthUpTo1000) {
  test::TRandomBytes rnd(2024);
  for (size_t len = 0; len <= 1000; ++len) {
    const PduStr key = rnd.Next(len % 2 ? 32 : 16);
    const PduStr iv = rnd.Next(12);
    const PduStr aad = rnd.Next(rnd.Below(len % 5 == 0 ? 400 : 70));
    const PduStr plain = rnd.Next(len);

    PduStr ours, ourTag;
    GCMEncryptString(GetParam(), key, iv, plain, aad, ours, ourTag);
    PduStr theirs, theirTag;
    ASSERT_TRUE(test::OpenSslGcm(true, key, iv, aad, plain, theirs, theirTag));
    ASSERT_EQ(ours, theirs) << "length " << len;
    ASSERT_EQ(ourTag, theirTag) << "length " << len;

    // OpenSSL opens ours; we open OpenSSL's.
    PduStr back;
    ASSERT_TRUE(test::OpenSslGcm(false, key, iv, aad, ours, back, ourTag));
    ASSERT_EQ(back, plain);
    PduStr ourPlain;
    ASSERT_EQ(GCMDecryptString(GetParam(), key, iv, theirs, aad, theirTag, ourPlain), kGcmOk);
    ASSERT_EQ(ourPlain, plain);

    // A changed tag bit is refused by both.
    PduStr badTag = ourTag;
    badTag[len % 16] = static_cast<char>(badTag[len % 16] ^ (1 << (len % 8)));
    ASSERT_FALSE(test::OpenSslGcm(false, key, iv, aad, ours, back, badTag)) << "length " << len;
    ASSERT_EQ(GCMDecryptString(GetParam(), key, iv, theirs, aad, badTag, ourPlain), kGcmAuthenticationFailure);
  }
}

TEST_P(AesGcmEngines, AnyChangeFailsAuthenticationAndYieldsNoPlaintext) {
  test::TRandomBytes rnd(99);
  const PduStr key = rnd.Next(16), iv = rnd.Next(12), aad = rnd.Next(21), plain = rnd.Next(33);
  PduStr c, t;
  GCMEncryptString(GetParam(), key, iv, plain, aad, c, t);
  auto flip = [](PduStr s, size_t at) {
    s[at] = static_cast<char>(s[at] ^ 0x01);
    return s;
  };
  const struct {
    const char* what;
    PduStr iv, c, aad, tag;
  } cases[] = {
      {"ciphertext", iv, flip(c, 32), aad, t},
      {"first ciphertext byte", iv, flip(c, 0), aad, t},
      {"aad", iv, c, flip(aad, 20), t},
      {"iv", flip(iv, 11), c, aad, t},
      {"tag", iv, c, aad, flip(t, 15)},
      {"truncated ciphertext", iv, c.substr(0, 32), aad, t},
      {"extra aad byte", iv, c, aad + "x", t},
      {"empty tag", iv, c, aad, ""},
      {"3-byte tag", iv, c, aad, t.substr(0, 3)},
      {"17-byte tag", iv, c, aad, t + "x"},
  };
  for (const auto& m : cases) {
    PduStr out = "untouched";
    EXPECT_EQ(GCMDecryptString(GetParam(), key, m.iv, m.c, m.aad, m.tag, out), kGcmAuthenticationFailure) << m.what;
    EXPECT_EQ(out, "untouched") << m.what;
  }
  // A truncated but correct tag (as the 12-byte DLMS tag) still authenticates.
  PduStr out;
  EXPECT_EQ(GCMDecryptString(GetParam(), key, iv, c, aad, t.substr(0, 12), out), kGcmOk);
  EXPECT_EQ(out, plain);
}

TEST(AesGcm, RefusesWrongKeyAndIvLengths) {
  PduStr c, t, p;
  const std::pair<size_t, size_t> bad[] = {{15, 12}, {24, 12}, {17, 12}, {0, 12}, {16, 11}, {16, 16}, {32, 0}};
  for (auto [k, i] : bad) {
    EXPECT_THROW(GCMEncryptString(PduStr(k, 'k'), PduStr(i, 'i'), "x", "", c, t), EAssertionFailed) << k << "/" << i;
    EXPECT_THROW(GCMDecryptString(PduStr(k, 'k'), PduStr(i, 'i'), "x", "", PduStr(12, 't'), p), EAssertionFailed);
  }
}

}  // namespace
}  // namespace quillon
