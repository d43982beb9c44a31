#include <gtest/gtest.h>

#include <vector>

#include "security/GCMCipher.h"
#include "tests/security/TestSupport.h"

namespace quillon {
namespace {

using test::H;
using test::Hex;

const PduStr& kTitle = test::kServerTitle;
const PduStr& kEK = test::kGUEK;
const PduStr& kAK = test::kGAK;
constexpr uint32_t kIC = 0x01020304;

TSecurityControl Sc(TCOSEMProtectionServices s, int suite = 0) { return TSecurityControl{s, false, suite}; }

std::string DecryptError(const PduStr& ciphered, const PduStr& extraAad = "", const PduStr& ek = kEK) {
  TSecurityControl sc;
  uint32_t ic = 0;
  PduStr info = "untouched";
  try {
    TGCMCipher::GCMDecrypt(kTitle, ciphered, extraAad, ek, kAK, sc, ic, info);
  } catch (const EProtection& e) {
    EXPECT_EQ(info, "untouched");
    return e.what();
  }
  return "no error";
}

struct TLayoutCase {
  const char* name;
  TCOSEMProtectionServices services;
  bool authenticated;
  bool encrypted;
};

const TLayoutCase kLayouts[] = {
    {"none", {}, false, false},
    {"authentication", {psAuthentication}, true, false},
    {"encryption", {psEncryption}, false, true},
    {"both", {psAuthentication, psEncryption}, true, true},
};

// The framing checked against OpenSSL: IV = title || IC, AAD = SC || AK ||
// extra (|| information when only authenticated), 12-byte tag.
TEST(GCMCipher, LayoutsMatchAnIndependentGcm) {
  test::TRandomBytes rnd(5);
  for (const auto& c : kLayouts) {
    for (size_t len : {0u, 1u, 16u, 17u, 100u}) {
      SCOPED_TRACE(std::string(c.name) + " length " + std::to_string(len));
      const PduStr info = rnd.Next(len), extra = rnd.Next(9);
      const PduStr out = TGCMCipher::GCMEncrypt(kTitle, info, kEK, kAK, Sc(c.services), kIC, extra);
      const uint8_t scByte = TSecurityControl{c.services, false, 0}.ToByte();
      ASSERT_EQ(out.size(), 5 + len + (c.authenticated ? 12 : 0));
      EXPECT_EQ(static_cast<uint8_t>(out[0]), scByte);
      EXPECT_EQ(out.substr(1, 4), H("01020304"));

      const PduStr sc(1, static_cast<char>(scByte));
      PduStr ct, tag;
      const PduStr iv = kTitle + H("01020304");
      if (c.encrypted) {
        ASSERT_TRUE(test::OpenSslGcm(true, kEK, iv, c.authenticated ? sc + kAK + extra : PduStr(), info, ct, tag));
        EXPECT_EQ(out.substr(5, len), ct);
      } else {
        EXPECT_EQ(out.substr(5, len), info);  // travels in clear
        ASSERT_TRUE(test::OpenSslGcm(true, kEK, iv, sc + kAK + extra + info, "", ct, tag));
      }
      if (c.authenticated) {
        EXPECT_EQ(out.substr(5 + len), tag.substr(0, 12));
      }

      TSecurityControl rsc;
      uint32_t ric = 0;
      PduStr back;
      TGCMCipher::GCMDecrypt(kTitle, out, extra, kEK, kAK, rsc, ric, back);
      EXPECT_EQ(back, info);
      EXPECT_EQ(ric, kIC);
      EXPECT_EQ(rsc, Sc(c.services));
    }
  }
}

TEST(GCMCipher, AuthenticatedLayoutsRejectEveryFlippedByte) {
  const PduStr info = "GetRequest bytes";
  for (const auto& c : kLayouts) {
    if (!c.authenticated) continue;
    const PduStr out = TGCMCipher::GCMEncrypt(kTitle, info, kEK, kAK, Sc(c.services), kIC, "");
    for (size_t i = 0; i < out.size(); ++i) {
      PduStr bad = out;
      // Bit 0 only: in the SC byte that changes the suite, not the layout.
      bad[i] = static_cast<char>(bad[i] ^ 0x01);
      EXPECT_EQ(DecryptError(bad), "Authentication failure (Decrypt error)") << c.name << " byte " << i;
    }
  }
  const PduStr both = TGCMCipher::GCMEncrypt(kTitle, info, kEK, kAK, Sc({psAuthentication, psEncryption}), kIC, "A");
  EXPECT_EQ(DecryptError(both, "B"), "Authentication failure (Decrypt error)");
  EXPECT_EQ(DecryptError(both, "A", H("000102030405060708090A0B0C0D0E0E")), "Authentication failure (Decrypt error)");
}

TEST(GCMCipher, EncryptionOnlyHasNoIntegrity) {
  const PduStr info(40, 'x');
  PduStr out = TGCMCipher::GCMEncrypt(kTitle, info, kEK, kAK, Sc({psEncryption}), kIC, "");
  out[20] = static_cast<char>(out[20] ^ 0x40);
  TSecurityControl sc;
  uint32_t ic;
  PduStr back;
  TGCMCipher::GCMDecrypt(kTitle, out, "", kEK, kAK, sc, ic, back);
  ASSERT_EQ(back.size(), info.size());
  EXPECT_EQ(back[15], 'x' ^ 0x40);
  EXPECT_EQ(back.substr(0, 15), info.substr(0, 15));
}

TEST(GCMCipher, ShortCipheredInformationIsRefused) {
  const PduStr cases[] = {"", H("30"), H("30010203"), H("10010203040506070809101112"),
                          H("30" "01020304" "0102030405060708091011")};
  for (const auto& c : cases) EXPECT_EQ(DecryptError(c), "Ciphered information too short") << Hex(c);
  // Unprotected, five bytes is a complete (empty) information.
  EXPECT_EQ(DecryptError(H("0001020304")), "no error");
}

TEST(GCMCipher, RefusesSignatureServiceAndOddKeys) {
  EXPECT_THROW(TGCMCipher::GCMEncrypt(kTitle, "x", kEK, kAK, Sc({psSignature, psEncryption}), 1, ""),
               EAssertionFailed);
  EXPECT_THROW(TGCMCipher::GCMEncrypt(kTitle, "x", PduStr(24, 'k'), kAK, Sc({psEncryption}), 1, ""),
               EAssertionFailed);
  // A 7-byte title gives an 11-byte IV.
  EXPECT_THROW(TGCMCipher::GCMEncrypt(kTitle.substr(1), "x", kEK, kAK, Sc({psEncryption}), 1, ""), EAssertionFailed);
}

TEST(GCMCipher, Suite2WorksWith256BitKeysEndToEnd) {
  const PduStr ek = H("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
  const PduStr info = "a longer APDU of some thirty-three";
  const PduStr out = TGCMCipher::GCMEncrypt(kTitle, info, ek, kAK, Sc({psAuthentication, psEncryption}, 2), kIC, "");
  EXPECT_EQ(static_cast<uint8_t>(out[0]), 0x32);
  PduStr ct, tag;
  ASSERT_TRUE(test::OpenSslGcm(true, ek, kTitle + H("01020304"), H("32") + kAK, info, ct, tag));
  EXPECT_EQ(out.substr(5), ct + tag.substr(0, 12));
  TSecurityControl sc;
  uint32_t ic;
  PduStr back;
  TGCMCipher::GCMDecrypt(kTitle, out, "", ek, kAK, sc, ic, back);
  EXPECT_EQ(back, info);
  EXPECT_EQ(sc.SecuritySuite, 2);
}

TEST(GCMCipher, ChallengeResponsePerSuite) {
  const PduStr challenge = H("503677524A323146");
  for (int suite : {0, 1, 2}) {
    SCOPED_TRACE(suite);
    const PduStr ek = suite == 2 ? kEK + kEK : kEK;
    const PduStr r = TGCMCipher::ResponseToChallenge(kTitle, challenge, ek, kAK, kIC, suite);
    ASSERT_EQ(r.size(), 17u);
    EXPECT_EQ(static_cast<uint8_t>(r[0]), 0x10 + suite);
    EXPECT_EQ(r.substr(1, 4), H("01020304"));
    PduStr ct, gmac;
    ASSERT_TRUE(test::OpenSslGcm(true, ek, kTitle + H("01020304"), r.substr(0, 1) + kAK + challenge, "", ct, gmac));
    EXPECT_EQ(r.substr(5), gmac.substr(0, 12));

    EXPECT_TRUE(TGCMCipher::CheckOtherResponseToChallenge(kTitle, r, challenge, ek, kAK, suite));
    const int other = suite == 1 ? 0 : 1;
    const PduStr otherSuite = TGCMCipher::ResponseToChallenge(kTitle, challenge, ek, kAK, kIC, other);
    EXPECT_FALSE(TGCMCipher::CheckOtherResponseToChallenge(kTitle, otherSuite, challenge, ek, kAK, suite));
    PduStr flipped = r;
    flipped[16] = static_cast<char>(flipped[16] ^ 1);
    const PduStr rejects[] = {flipped, r.substr(0, 16), r + "x", "", r.substr(0, 4)};
    for (const auto& bad : rejects)
      EXPECT_FALSE(TGCMCipher::CheckOtherResponseToChallenge(kTitle, bad, challenge, ek, kAK, suite));
    EXPECT_FALSE(TGCMCipher::CheckOtherResponseToChallenge(kTitle, r, challenge + "x", ek, kAK, suite));
    EXPECT_FALSE(TGCMCipher::CheckOtherResponseToChallenge(H("4D4D4D0000BC614F"), r, challenge, ek, kAK, suite));
  }
}

class GCMAndCompression : public ::testing::Test {
protected:
  std::vector<std::string> Lines;
  TGCMAndCompression::TLogProc Log = [this](const std::string& s) { Lines.push_back(s); };
};

TEST_F(GCMAndCompression, CompressesWhenItShrinksAndTracesBothWays) {
  const TSecurityControl sc = Sc({psAuthentication, psEncryption, psCompression});
  // Six equal bytes pack into 82 09 39 00 (ordinal, codeword, extension 3).
  const PduStr out = TGCMAndCompression::CompressAndEncrypt(kTitle, "AAAAAA", kEK, kAK, sc, kIC, "", Log);
  EXPECT_EQ(static_cast<uint8_t>(out[0]), 0xB0);
  EXPECT_EQ(out.size(), 4u + 17u);
  EXPECT_EQ(Lines, (std::vector<std::string>{"TO COMPRESS 414141414141", "COMPRESSED  82093900",
                                             "COMPRESSION FACTOR: 1.50",
                                             "ENCRYPTION GUEK= " + Hex(kEK) + ", GAK=" + Hex(kAK) + ", IC: 01020304"}));
  Lines.clear();
  TSecurityControl rsc;
  uint32_t ic;
  PduStr info;
  TGCMAndCompression::DecryptAndDecompress(kTitle, out, "", kEK, kAK, rsc, ic, info, Log);
  EXPECT_EQ(info, "AAAAAA");
  EXPECT_EQ(rsc, sc);
  EXPECT_EQ(Lines, (std::vector<std::string>{"DECRYPTION GUEK= " + Hex(kEK) + ", GAK=" + Hex(kAK),
                                             "COMPRESSED   82093900", "DECOMPRESSED 414141414141",
                                             "COMPRESSION FACTOR: 1.50"}));
}

TEST_F(GCMAndCompression, SendsPlainWhenCompressionDoesNotShrink) {
  const TSecurityControl sc = Sc({psAuthentication, psCompression}, 1);
  const PduStr out = TGCMAndCompression::CompressAndEncrypt(kTitle, "A", kEK, kAK, sc, 0xABCDEF, "", Log);
  EXPECT_EQ(static_cast<uint8_t>(out[0]), 0x11);
  EXPECT_EQ(out.substr(5, 1), "A");
  EXPECT_EQ(Lines, (std::vector<std::string>{"ENCRYPTION GUEK= " + Hex(kEK) + ", GAK=" + Hex(kAK) + ", IC: 00ABCDEF"}));
  TSecurityControl rsc;
  uint32_t ic;
  PduStr info;
  TGCMAndCompression::DecryptAndDecompress(kTitle, out, "", kEK, kAK, rsc, ic, info, Log);
  EXPECT_EQ(info, "A");
  EXPECT_EQ(ic, 0xABCDEFu);
  EXPECT_FALSE(rsc.COSEMProtectionServices.Contains(psCompression));
}

TEST_F(GCMAndCompression, AuthenticCompressedGarbageIsAnError) {
  // Authentic, flagged as compressed, but a codeword nobody defined.
  const PduStr out =
      TGCMCipher::GCMEncrypt(kTitle, H("FF"), kEK, kAK, Sc({psAuthentication, psCompression}), kIC, "");
  TSecurityControl rsc;
  uint32_t ic;
  PduStr info;
  try {
    TGCMAndCompression::DecryptAndDecompress(kTitle, out, "", kEK, kAK, rsc, ic, info, Log);
    FAIL();
  } catch (const EProtection& e) {
    EXPECT_STREQ(e.what(), "Decompression failed: Illegal compressed data");
  }
}

}  // namespace
}  // namespace quillon
