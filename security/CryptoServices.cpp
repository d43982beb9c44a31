#include "security/CryptoServices.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <memory>

namespace quillon {

namespace {

// ------------------------------------------------------------ ownership --

struct FreeEvpPkey { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct FreeEvpPkeyCtx { void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); } };
struct FreeEvpMdCtx { void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); } };
struct FreeCipherCtx { void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); } };
struct FreeBn { void operator()(BIGNUM* p) const { BN_clear_free(p); } };
struct FreeBnCtx { void operator()(BN_CTX* p) const { BN_CTX_free(p); } };
struct FreeGroup { void operator()(EC_GROUP* p) const { EC_GROUP_free(p); } };
struct FreePoint { void operator()(EC_POINT* p) const { EC_POINT_free(p); } };
struct FreeSig { void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); } };
struct FreeParamBld { void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); } };
struct FreeParams { void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); } };

using PkeyPtr = std::unique_ptr<EVP_PKEY, FreeEvpPkey>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, FreeEvpPkeyCtx>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, FreeEvpMdCtx>;
using BnPtr = std::unique_ptr<BIGNUM, FreeBn>;

const unsigned char* U(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// -------------------------------------------------------- symmetric core --

// Result codes of the symmetric services.
constexpr int kErrArgument = -1;
constexpr int kErrLibrary = -2;
constexpr int kErrIntegrity = -3;

enum class TWrapDirection { Wrap, Unwrap };

int CipherKeyWrap(TWrapDirection dir, int32_t suite, std::string_view in, std::string_view kek, PduStr& out) {
  CheckAssertion(suite >= 0 && suite <= 2, "key wrap security suite 0..2");
  const EVP_CIPHER* cipher = suite == 2 ? EVP_aes_256_wrap() : EVP_aes_128_wrap();
  if (kek.size() != static_cast<size_t>(EVP_CIPHER_get_key_length(cipher))) return kErrArgument;
  // Keys to wrap are whole 64-bit blocks, at least two; a wrapped key adds one.
  const size_t minIn = dir == TWrapDirection::Wrap ? 16 : 24;
  if (in.size() < minIn || in.size() % 8 != 0 || in.size() > 4096) return kErrArgument;
  std::unique_ptr<EVP_CIPHER_CTX, FreeCipherCtx> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return kErrLibrary;
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  const int enc = dir == TWrapDirection::Wrap ? 1 : 0;
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, U(kek), nullptr, enc) != 1) return kErrLibrary;
  std::string buf(in.size() + 16, '\0');
  int len = 0, fin = 0;
  auto* o = reinterpret_cast<unsigned char*>(buf.data());
  if (EVP_CipherUpdate(ctx.get(), o, &len, U(in), static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), o + len, &fin) != 1) {
    ERR_clear_error();
    return dir == TWrapDirection::Unwrap ? kErrIntegrity : kErrLibrary;
  }
  buf.resize(static_cast<size_t>(len + fin));
  out = std::move(buf);
  return static_cast<int>(out.size());
}

enum THashOption { hoSHA1 = 0, hoMD5 = 1, hoSHA256 = 3, hoSHA384 = 4 };

PduStr Hash(THashOption option, const char* name, std::string_view s) {
  const EVP_MD* md = option == hoMD5      ? EVP_md5()
                     : option == hoSHA1   ? EVP_sha1()
                     : option == hoSHA256 ? EVP_sha256()
                                          : EVP_sha384();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(s.data(), s.size(), digest, &len, md, nullptr) != 1) {
    ERR_clear_error();
    RaiseGeneral(Format("THASH.%s: Error: %d", name, kErrLibrary));
  }
  return PduStr(reinterpret_cast<const char*>(digest), len);
}

// ----------------------------------------------------- elliptic curves ----

thread_local std::string gLastError;
// The trace routing belongs to the thread that set it: a signature made on
// another thread must never call into a log (or a layer already freed) that
// this thread routed to.
thread_local std::function<void(const std::string&)> gLogCallback;

void Trace(const std::string& line) {
  if (gLogCallback) gLogCallback(line);
}

bool Fail(const std::string& what) {
  unsigned long e = ERR_get_error();
  gLastError = what;
  if (e != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    gLastError += std::string(": ") + buf;
  }
  ERR_clear_error();
  return false;
}

struct TCurve {
  int Nid;
  const char* Name;     // OpenSSL group name
  const char* Display;  // for trace lines
  const EVP_MD* (*Md)();
  size_t Size;          // bytes of a scalar / coordinate
};

const TCurve* CurveOf(int32_t suite) {
  static const TCurve p256{NID_X9_62_prime256v1, "prime256v1", "P-256", EVP_sha256, 32};
  static const TCurve p384{NID_secp384r1, "secp384r1", "P-384", EVP_sha384, 48};
  if (suite == 1) return &p256;
  if (suite == 2) return &p384;
  gLastError = Format("Security suite %d has no elliptic curve", suite);
  return nullptr;
}

PkeyPtr FromData(OSSL_PARAM_BLD* bld, int selection) {
  std::unique_ptr<OSSL_PARAM, FreeParams> params(OSSL_PARAM_BLD_to_param(bld));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &pkey, selection, params.get()) != 1)
    return nullptr;
  return PkeyPtr(pkey);
}

// Public key X||Y to an EVP key; the point must lie on the curve.
PkeyPtr PublicKeyOf(const TCurve& c, std::string_view pub) {
  if (pub.size() != 2 * c.Size) {
    Fail(Format("Public key of %d bytes, expected %d", static_cast<int>(pub.size()), static_cast<int>(2 * c.Size)));
    return nullptr;
  }
  std::string octets = "\x04";
  octets.append(pub);
  std::unique_ptr<OSSL_PARAM_BLD, FreeParamBld> bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, c.Name, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, octets.data(), octets.size()) != 1) {
    Fail("Cannot build public key");
    return nullptr;
  }
  PkeyPtr key = FromData(bld.get(), EVP_PKEY_PUBLIC_KEY);
  if (!key) {
    Fail("Invalid public key");
    return nullptr;
  }
  return key;
}

// Private scalar to an EVP key pair (the public point is derived from it).
PkeyPtr PrivateKeyOf(const TCurve& c, std::string_view priv) {
  if (priv.size() != c.Size) {
    Fail(Format("Private key of %d bytes, expected %d", static_cast<int>(priv.size()), static_cast<int>(c.Size)));
    return nullptr;
  }
  std::unique_ptr<EC_GROUP, FreeGroup> group(EC_GROUP_new_by_curve_name(c.Nid));
  std::unique_ptr<BN_CTX, FreeBnCtx> bnCtx(BN_CTX_new());
  BnPtr d(BN_bin2bn(U(priv), static_cast<int>(priv.size()), nullptr));
  if (!group || !bnCtx || !d) {
    Fail("Cannot build private key");
    return nullptr;
  }
  if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0) {
    Fail("Private key out of range");
    return nullptr;
  }
  std::unique_ptr<EC_POINT, FreePoint> q(EC_POINT_new(group.get()));
  unsigned char octets[1 + 2 * 66];
  size_t octLen = 0;
  if (!q || EC_POINT_mul(group.get(), q.get(), d.get(), nullptr, nullptr, bnCtx.get()) != 1 ||
      (octLen = EC_POINT_point2oct(group.get(), q.get(), POINT_CONVERSION_UNCOMPRESSED, octets, sizeof octets,
                                   bnCtx.get())) == 0) {
    Fail("Cannot derive public key");
    return nullptr;
  }
  std::unique_ptr<OSSL_PARAM_BLD, FreeParamBld> bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, c.Name, 0) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, octets, octLen) != 1) {
    Fail("Cannot build private key");
    return nullptr;
  }
  PkeyPtr key = FromData(bld.get(), EVP_PKEY_KEYPAIR);
  if (!key) Fail("Invalid private key");
  return key;
}

PduStr BnToFixed(const BIGNUM* bn, size_t size) {
  PduStr r(size, '\0');
  BN_bn2binpad(bn, reinterpret_cast<unsigned char*>(r.data()), static_cast<int>(size));
  return r;
}

}  // namespace

// ------------------------------------------------------------ key wrap ----

PduStr TKeyWrap::Wrap(int32_t SecuritySuite, std::string_view Key, std::string_view MasterKey) {
  PduStr out;
  int r = CipherKeyWrap(TWrapDirection::Wrap, SecuritySuite, Key, MasterKey, out);
  if (r < 0) RaiseGeneral(Format("TKeyWrap.Wrap: Error: %d", r));
  return out;
}

PduStr TKeyWrap::UnWrap(int32_t SecuritySuite, std::string_view WrappedKey, std::string_view MasterKey) {
  PduStr out;
  int r = CipherKeyWrap(TWrapDirection::Unwrap, SecuritySuite, WrappedKey, MasterKey, out);
  if (r < 0) RaiseGeneral(Format("TKeyWrap.UnWrap: Error: %d", r));
  return out;
}

// --------------------------------------------------------------- hashes ---

PduStr THASH::MD5(std::string_view s) { return Hash(hoMD5, "MD5", s); }
PduStr THASH::MD5(const void* bytes, size_t size) {
  return Hash(hoMD5, "MD5", std::string_view(static_cast<const char*>(bytes), size));
}
PduStr THASH::SHA1(std::string_view s) { return Hash(hoSHA1, "SHA1", s); }
PduStr THASH::SHA256(std::string_view s) { return Hash(hoSHA256, "SHA256", s); }
PduStr THASH::SHA384(std::string_view s) { return Hash(hoSHA384, "SHA384", s); }

// ------------------------------------------------------ elliptic curves ---

bool ECDSASign(int32_t SecuritySuite, std::string_view Data, std::string_view PrivateKey, PduStr& Signature) {
  const TCurve* c = CurveOf(SecuritySuite);
  if (!c) return false;
  PkeyPtr key = PrivateKeyOf(*c, PrivateKey);
  if (!key) return false;
  Trace(Format("ECDSA SIGN %s, %d bytes", c->Display, static_cast<int>(Data.size())));
  MdCtxPtr md(EVP_MD_CTX_new());
  size_t derLen = 0;
  if (!md || EVP_DigestSignInit(md.get(), nullptr, c->Md(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(md.get(), nullptr, &derLen, U(Data), Data.size()) != 1)
    return Fail("ECDSA signing failed");
  std::string der(derLen, '\0');
  if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(der.data()), &derLen, U(Data), Data.size()) != 1)
    return Fail("ECDSA signing failed");
  const unsigned char* p = U(der);
  std::unique_ptr<ECDSA_SIG, FreeSig> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLen)));
  if (!sig) return Fail("ECDSA signing failed");
  Signature = BnToFixed(ECDSA_SIG_get0_r(sig.get()), c->Size) + BnToFixed(ECDSA_SIG_get0_s(sig.get()), c->Size);
  return true;
}

bool ECDSAVerify(int32_t SecuritySuite, std::string_view Data, std::string_view Signature,
                 std::string_view PublicKey, bool& Valid) {
  Valid = false;
  const TCurve* c = CurveOf(SecuritySuite);
  if (!c) return false;
  PkeyPtr key = PublicKeyOf(*c, PublicKey);
  if (!key) return false;
  Trace(Format("ECDSA VERIFY %s, %d bytes", c->Display, static_cast<int>(Data.size())));
  if (Signature.size() != 2 * c->Size) return true;
  std::unique_ptr<ECDSA_SIG, FreeSig> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(U(Signature), static_cast<int>(c->Size), nullptr);
  BIGNUM* s = BN_bin2bn(U(Signature.substr(c->Size)), static_cast<int>(c->Size), nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return Fail("Cannot build signature");
  }
  unsigned char* der = nullptr;
  int derLen = i2d_ECDSA_SIG(sig.get(), &der);
  if (derLen <= 0) return Fail("Cannot build signature");
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(der, [](unsigned char* q) { OPENSSL_free(q); });
  MdCtxPtr md(EVP_MD_CTX_new());
  if (!md || EVP_DigestVerifyInit(md.get(), nullptr, c->Md(), nullptr, key.get()) != 1)
    return Fail("ECDSA verification failed");
  Valid = EVP_DigestVerify(md.get(), der, static_cast<size_t>(derLen), U(Data), Data.size()) == 1;
  ERR_clear_error();
  return true;
}

bool GetSharedSecret(int32_t SecuritySuite, std::string_view PrivateKey, std::string_view PublicKey,
                     PduStr& Secret) {
  const TCurve* c = CurveOf(SecuritySuite);
  if (!c) return false;
  PkeyPtr priv = PrivateKeyOf(*c, PrivateKey);
  if (!priv) return false;
  PkeyPtr peer = PublicKeyOf(*c, PublicKey);
  if (!peer) return false;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(priv.get(), nullptr));
  size_t len = 0;
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
      EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1)
    return Fail("ECDH failed");
  PduStr z(len, '\0');
  if (EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char*>(z.data()), &len) != 1) return Fail("ECDH failed");
  z.resize(len);
  Secret = std::move(z);
  return true;
}

bool GetDerivedKey(int32_t SecuritySuite, std::string_view SharedSecret, std::string_view OtherInformation,
                   PduStr& Key) {
  const TCurve* c = CurveOf(SecuritySuite);
  if (!c) return false;
  const size_t keyLen = static_cast<size_t>(SymmetricKeySizeOfSuite(SecuritySuite));
  PduStr out;
  // K(i) = H(counter_i || Z || OtherInfo), counter from 1, big-endian.
  for (uint32_t counter = 1; out.size() < keyLen; ++counter) {
    PduStr block;
    for (int shift = 24; shift >= 0; shift -= 8) block += static_cast<char>((counter >> shift) & 0xFF);
    block.append(SharedSecret);
    block.append(OtherInformation);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(block.data(), block.size(), digest, &len, c->Md(), nullptr) != 1)
      return Fail("Key derivation failed");
    out.append(reinterpret_cast<const char*>(digest), len);
  }
  out.resize(keyLen);
  Key = std::move(out);
  return true;
}

bool GenerateKeyPair(int32_t SecuritySuite, TKeyPair& KeyPair) {
  const TCurve* c = CurveOf(SecuritySuite);
  if (!c) return false;
  PkeyPtr key(EVP_EC_gen(c->Name));
  BIGNUM* d = nullptr;
  unsigned char octets[1 + 2 * 66];
  size_t octLen = 0;
  if (!key || EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1 ||
      EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, octets, sizeof octets, &octLen) != 1 ||
      octLen != 1 + 2 * c->Size) {
    BN_clear_free(d);
    return Fail("Key generation failed");
  }
  BnPtr dOwner(d);
  KeyPair.PrivateKey = BnToFixed(d, c->Size);
  KeyPair.PublicKey.assign(reinterpret_cast<const char*>(octets) + 1, 2 * c->Size);
  return true;
}

void GetLastErrorString(std::string& Text) { Text = gLastError; }

void SetLoggingCallback(std::function<void(const std::string&)> Callback) {
  gLogCallback = std::move(Callback);
}

}  // namespace quillon
