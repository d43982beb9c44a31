#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "security/CryptoServices.h"
#include "tests/security/TestSupport.h"

namespace quillon {
namespace {

using test::ErrorOf;
using test::H;

// RFC 3394 section 4 test vectors.
TEST(KeyWrap, Rfc3394Vectors) {
  const struct {
    int suite;
    const char *kek, *key, *wrapped;
  } cases[] = {
      {1, "000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
       "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5"},
      {0, "000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
       "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5"},
      {2, "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", "00112233445566778899AABBCCDDEEFF",
       "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7"},
      {2, "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
       "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
       "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TKeyWrap::Wrap(c.suite, H(c.key), H(c.kek)), H(c.wrapped)) << c.wrapped;
    EXPECT_EQ(TKeyWrap::UnWrap(c.suite, H(c.wrapped), H(c.kek)), H(c.key)) << c.wrapped;
  }
}

TEST(KeyWrap, FailuresCarryTheirCodes) {
  const PduStr kek = H("000102030405060708090A0B0C0D0E0F");
  PduStr wrapped = TKeyWrap::Wrap(1, H("00112233445566778899AABBCCDDEEFF"), kek);
  wrapped[3] = static_cast<char>(wrapped[3] ^ 1);
  EXPECT_EQ(ErrorOf([&] { TKeyWrap::UnWrap(1, wrapped, kek); }), "TKeyWrap.UnWrap: Error: -3");
  EXPECT_EQ(ErrorOf([&] { TKeyWrap::UnWrap(1, wrapped.substr(0, 16), kek); }), "TKeyWrap.UnWrap: Error: -1");
  EXPECT_EQ(ErrorOf([&] { TKeyWrap::UnWrap(2, wrapped, kek); }), "TKeyWrap.UnWrap: Error: -1");
  EXPECT_EQ(ErrorOf([&] { TKeyWrap::Wrap(1, PduStr(15, 'k'), kek); }), "TKeyWrap.Wrap: Error: -1");
  EXPECT_EQ(ErrorOf([&] { TKeyWrap::Wrap(1, PduStr(8, 'k'), kek); }), "TKeyWrap.Wrap: Error: -1");
  EXPECT_EQ(ErrorOf([&] { TKeyWrap::Wrap(0, PduStr(16, 'k'), kek + kek); }), "TKeyWrap.Wrap: Error: -1");
  EXPECT_THROW(TKeyWrap::Wrap(3, PduStr(16, 'k'), kek), EAssertionFailed);
}

TEST(Hashes, KnownDigests) {
  EXPECT_EQ(THASH::MD5("abc"), H("900150983cd24fb0d6963f7d28e17f72"));
  EXPECT_EQ(THASH::MD5(""), H("d41d8cd98f00b204e9800998ecf8427e"));
  EXPECT_EQ(THASH::MD5("abc", 3), H("900150983cd24fb0d6963f7d28e17f72"));
  EXPECT_EQ(THASH::SHA1("abc"), H("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(THASH::SHA256("abc"), H("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(THASH::SHA384("abc"), H("cb00753f45a35e8bb5a03d699ac65007272c32ab0eded163"
                                    "1a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"));
}

// ----------------------------------------------------------------------
// OpenSSL's own EC keys and DER signatures, converted by hand, serve as the
// independent side of every elliptic-curve check.

struct FreeKey {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, FreeKey>;

struct TOsslKey {
  KeyPtr Key;
  TKeyPair Raw;
};

const char* Curve(int suite) { return suite == 1 ? "P-256" : "P-384"; }
size_t Size(int suite) { return suite == 1 ? 32 : 48; }
const EVP_MD* Md(int suite) { return suite == 1 ? EVP_sha256() : EVP_sha384(); }

TOsslKey OsslKey(int suite) {
  TOsslKey k{KeyPtr(EVP_EC_gen(Curve(suite))), {}};
  BIGNUM* d = nullptr;
  EVP_PKEY_get_bn_param(k.Key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d);
  k.Raw.PrivateKey.assign(Size(suite), '\0');
  BN_bn2binpad(d, reinterpret_cast<unsigned char*>(k.Raw.PrivateKey.data()), static_cast<int>(Size(suite)));
  BN_free(d);
  unsigned char pub[200];
  size_t len = 0;
  EVP_PKEY_get_octet_string_param(k.Key.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub, &len);
  k.Raw.PublicKey.assign(reinterpret_cast<char*>(pub) + 1, len - 1);
  return k;
}

std::string RawToDer(const PduStr& raw) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  size_t half = raw.size() / 2;
  ECDSA_SIG_set0(sig, BN_bin2bn(reinterpret_cast<const unsigned char*>(raw.data()), static_cast<int>(half), nullptr),
                 BN_bin2bn(reinterpret_cast<const unsigned char*>(raw.data()) + half, static_cast<int>(half), nullptr));
  unsigned char* der = nullptr;
  int n = i2d_ECDSA_SIG(sig, &der);
  std::string r(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return r;
}

bool OsslVerify(int suite, EVP_PKEY* key, const PduStr& data, const PduStr& rawSig) {
  const std::string der = RawToDer(rawSig);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_DigestVerifyInit(md, nullptr, Md(suite), nullptr, key);
  int ok = EVP_DigestVerify(md, reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size());
  EVP_MD_CTX_free(md);
  return ok == 1;
}

PduStr OsslSignRaw(int suite, EVP_PKEY* key, const PduStr& data) {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  unsigned char der[160];
  size_t len = sizeof der;
  EVP_DigestSignInit(md, nullptr, Md(suite), nullptr, key);
  EVP_DigestSign(md, der, &len, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  EVP_MD_CTX_free(md);
  const unsigned char* p = der;
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len));
  PduStr raw(2 * Size(suite), '\0');
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(Size(suite)));
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), reinterpret_cast<unsigned char*>(raw.data()) + Size(suite),
               static_cast<int>(Size(suite)));
  ECDSA_SIG_free(sig);
  return raw;
}

class EllipticCurves : public ::testing::TestWithParam<int> {};

TEST_P(EllipticCurves, SignaturesCrossVerifyWithOpenSsl) {
  const int suite = GetParam();
  const TOsslKey k = OsslKey(suite);
  test::TRandomBytes rnd(static_cast<uint32_t>(suite));
  for (size_t len : {0u, 1u, 64u, 1000u}) {
    const PduStr data = rnd.Next(len);
    PduStr sig;
    ASSERT_TRUE(ECDSASign(suite, data, k.Raw.PrivateKey, sig));
    ASSERT_EQ(sig.size(), 2 * Size(suite));
    EXPECT_TRUE(OsslVerify(suite, k.Key.get(), data, sig));
    EXPECT_FALSE(OsslVerify(suite, k.Key.get(), data + "x", sig));

    const PduStr theirs = OsslSignRaw(suite, k.Key.get(), data);
    bool valid = false;
    ASSERT_TRUE(ECDSAVerify(suite, data, theirs, k.Raw.PublicKey, valid));
    EXPECT_TRUE(valid);
    PduStr flipped = theirs;
    flipped[5] = static_cast<char>(flipped[5] ^ 1);
    const PduStr wrongSigs[] = {flipped, theirs.substr(1), theirs + "x", "", PduStr(theirs.size(), '\0')};
    for (const auto& bad : wrongSigs) {
      valid = true;
      ASSERT_TRUE(ECDSAVerify(suite, data, bad, k.Raw.PublicKey, valid));
      EXPECT_FALSE(valid);
    }
    valid = true;
    ASSERT_TRUE(ECDSAVerify(suite, data + "x", theirs, k.Raw.PublicKey, valid));
    EXPECT_FALSE(valid);
  }
}

TEST_P(EllipticCurves, SharedSecretIsSymmetricAndMatchesOpenSsl) {
  const int suite = GetParam();
  const TOsslKey a = OsslKey(suite), b = OsslKey(suite);
  PduStr ab, ba;
  ASSERT_TRUE(GetSharedSecret(suite, a.Raw.PrivateKey, b.Raw.PublicKey, ab));
  ASSERT_TRUE(GetSharedSecret(suite, b.Raw.PrivateKey, a.Raw.PublicKey, ba));
  EXPECT_EQ(ab, ba);
  EXPECT_EQ(ab.size(), Size(suite));

  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(a.Key.get(), nullptr);
  EVP_PKEY_derive_init(ctx);
  EVP_PKEY_derive_set_peer(ctx, b.Key.get());
  unsigned char z[64];
  size_t zlen = sizeof z;
  EVP_PKEY_derive(ctx, z, &zlen);
  EVP_PKEY_CTX_free(ctx);
  EXPECT_EQ(ab, PduStr(reinterpret_cast<char*>(z), zlen));
}

TEST_P(EllipticCurves, KdfMatchesOpenSslSingleStepKdf) {
  const int suite = GetParam();
  test::TRandomBytes rnd(77);
  for (int i = 0; i < 5; ++i) {
    const PduStr z = rnd.Next(Size(suite)), other = rnd.Next(7 + 8 + 8 * static_cast<size_t>(i));
    PduStr ours;
    ASSERT_TRUE(GetDerivedKey(suite, z, other, ours));
    const size_t keyLen = suite == 1 ? 16 : 32;
    ASSERT_EQ(ours.size(), keyLen);

    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "SSKDF", nullptr);
    ASSERT_NE(kdf, nullptr);
    EVP_KDF_CTX* kctx = EVP_KDF_CTX_new(kdf);
    const char* digest = suite == 1 ? "SHA256" : "SHA384";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digest), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(z.data()), z.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(other.data()), other.size()),
        OSSL_PARAM_construct_end()};
    unsigned char out[32];
    ASSERT_EQ(EVP_KDF_derive(kctx, out, keyLen, params), 1);
    EVP_KDF_CTX_free(kctx);
    EVP_KDF_free(kdf);
    EXPECT_EQ(ours, PduStr(reinterpret_cast<char*>(out), keyLen));
  }
}

TEST_P(EllipticCurves, GeneratedPairsWorkTogether) {
  const int suite = GetParam();
  TKeyPair p;
  ASSERT_TRUE(GenerateKeyPair(suite, p));
  EXPECT_EQ(p.PrivateKey.size(), Size(suite));
  EXPECT_EQ(p.PublicKey.size(), 2 * Size(suite));
  PduStr sig;
  bool valid = false;
  ASSERT_TRUE(ECDSASign(suite, "data", p.PrivateKey, sig));
  ASSERT_TRUE(ECDSAVerify(suite, "data", sig, p.PublicKey, valid));
  EXPECT_TRUE(valid);
}

TEST_P(EllipticCurves, BadKeysAreReportedWithText) {
  const int suite = GetParam();
  const TOsslKey k = OsslKey(suite);
  PduStr offCurve = k.Raw.PublicKey;
  offCurve.back() = static_cast<char>(offCurve.back() ^ 1);
  PduStr out;
  bool valid = true;
  std::string text;
  const struct {
    const char* what;
    std::function<bool()> call;
  } cases[] = {
      {"public key off the curve", [&] { return ECDSAVerify(suite, "d", PduStr(2 * Size(suite), 'x'), offCurve, valid); }},
      {"short public key", [&] { return GetSharedSecret(suite, k.Raw.PrivateKey, offCurve.substr(1), out); }},
      {"off-curve peer", [&] { return GetSharedSecret(suite, k.Raw.PrivateKey, offCurve, out); }},
      {"zero private key", [&] { return ECDSASign(suite, "d", PduStr(Size(suite), '\0'), out); }},
      {"private key above the order", [&] { return ECDSASign(suite, "d", PduStr(Size(suite), '\xFF'), out); }},
      {"long private key", [&] { return ECDSASign(suite, "d", k.Raw.PrivateKey + "x", out); }},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(c.call()) << c.what;
    GetLastErrorString(text);
    EXPECT_FALSE(text.empty()) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Suites, EllipticCurves, ::testing::Values(1, 2));

TEST(EllipticCurvesSuite0, HasNoCurve) {
  PduStr out;
  bool valid;
  std::string text;
  EXPECT_FALSE(ECDSASign(0, "d", PduStr(32, 'k'), out));
  GetLastErrorString(text);
  EXPECT_EQ(text, "Security suite 0 has no elliptic curve");
  EXPECT_FALSE(ECDSAVerify(0, "d", "s", PduStr(64, 'k'), valid));
  EXPECT_FALSE(GetSharedSecret(3, "a", "b", out));
  EXPECT_FALSE(GetDerivedKey(0, "z", "o", out));
}

TEST(EllipticCurvesLogging, TraceGoesToTheCallbackOnlyWhileSet) {
  TKeyPair p;
  ASSERT_TRUE(GenerateKeyPair(1, p));
  std::vector<std::string> lines;
  SetLoggingCallback([&](const std::string& s) { lines.push_back(s); });
  PduStr sig;
  ASSERT_TRUE(ECDSASign(1, "abc", p.PrivateKey, sig));
  SetLoggingCallback(nullptr);
  ASSERT_TRUE(ECDSASign(1, "abc", p.PrivateKey, sig));
  EXPECT_EQ(lines, std::vector<std::string>{"ECDSA SIGN P-256, 3 bytes"});
}

TEST(EllipticCurvesLogging, RoutingBelongsToTheThreadThatSetIt) {
  // A signature made on another thread must not reach a log this thread
  // routed to: by then that log's owner may be gone.
  TKeyPair p;
  ASSERT_TRUE(GenerateKeyPair(1, p));
  std::vector<std::string> lines;
  SetLoggingCallback([&](const std::string& s) { lines.push_back(s); });
  bool otherSigned = false;
  std::thread other([&] {
    PduStr sig;
    otherSigned = ECDSASign(1, "other thread", p.PrivateKey, sig);
  });
  other.join();
  PduStr sig;
  ASSERT_TRUE(ECDSASign(1, "abc", p.PrivateKey, sig));
  SetLoggingCallback(nullptr);
  EXPECT_TRUE(otherSigned);
  EXPECT_EQ(lines, std::vector<std::string>{"ECDSA SIGN P-256, 3 bytes"});
}

}  // namespace
}  // namespace quillon
