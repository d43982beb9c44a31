#include "client/SigningKeys.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "xmlpdu/infra/Errors.h"

namespace quillon::client {

namespace {

// A PEM key file is a few hundred bytes, a certificate chain a few
// kilobytes; anything far beyond is not what was meant.
constexpr size_t kMaxPemBytes = 1 << 20;

struct TCurve {
  int Nid;
  const char* Name;
  int Bytes;
};

TCurve CurveOfSuite(int suite, const std::string& field) {
  if (suite == 1) return {NID_X9_62_prime256v1, "P-256", 32};
  if (suite == 2) return {NID_secp384r1, "P-384", 48};
  RaiseGeneral(Format("%s: expected security suite 1 (P-256) or 2 (P-384) for ECDSA, found suite %d", field.c_str(),
                      suite));
}

using TKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using TBio = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string ReadPem(const std::string& path, const std::string& where) {
  std::ifstream f(path, std::ios::binary);
  if (!f) RaiseGeneral(Format("%s: cannot be read (%s)", where.c_str(), std::strerror(errno)));
  std::string text(kMaxPemBytes + 1, '\0');
  f.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (f.bad()) RaiseGeneral(Format("%s: cannot be read (%s)", where.c_str(), std::strerror(errno)));
  text.resize(static_cast<size_t>(f.gcount()));
  if (text.size() > kMaxPemBytes) RaiseGeneral(Format("%s: expected a PEM file, found more than 1 MiB", where.c_str()));
  return text;
}

TBio MemoryBio(const std::string& text) {
  return TBio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), &BIO_free);
}

// An encrypted key would make OpenSSL ask for a pass phrase on the
// terminal; we take unencrypted keys only.
int NoPassword(char*, int, int, void*) { return 0; }

std::string Coordinate(const EVP_PKEY* key, const char* param, int bytes) {
  BIGNUM* bn = nullptr;
  if (!EVP_PKEY_get_bn_param(key, param, &bn)) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  const int n = BN_bn2binpad(bn, reinterpret_cast<unsigned char*>(out.data()), bytes);
  BN_clear_free(bn);
  return n == bytes ? out : std::string();
}

// The key is an EC key on the suite's curve; its public point as X then Y.
std::string CheckedPublic(const EVP_PKEY* key, const TCurve& curve, const std::string& where, int suite) {
  const std::string expected = Format("%s: expected a key on %s for security suite %d", where.c_str(), curve.Name, suite);
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) {
    const char* type = EVP_PKEY_get0_type_name(key);
    RaiseGeneral(Format("%s, found a key of type %s", expected.c_str(), type ? type : "unknown"));
  }
  char group[80] = {0};
  size_t length = 0;
  const int nid = EVP_PKEY_get_group_name(key, group, sizeof group, &length) ? OBJ_sn2nid(group) : NID_undef;
  if (nid != curve.Nid) {
    const char* nist = nid != NID_undef ? EC_curve_nid2nist(nid) : nullptr;
    RaiseGeneral(Format("%s, found a key on %s", expected.c_str(), nist ? nist : group[0] ? group : "an unknown curve"));
  }
  const std::string x = Coordinate(key, OSSL_PKEY_PARAM_EC_PUB_X, curve.Bytes);
  const std::string y = Coordinate(key, OSSL_PKEY_PARAM_EC_PUB_Y, curve.Bytes);
  if (x.empty() || y.empty()) RaiseGeneral(Format("%s: the key's public point cannot be read", where.c_str()));
  return x + y;
}

std::string Where(const char* field, const std::string& path) { return Format("%s \"%s\"", field, path.c_str()); }

}  // namespace

TEcKeyPair LoadPrivateKeyPem(const std::string& path, int suite, const char* field) {
  const std::string where = Where(field, path);
  const TCurve curve = CurveOfSuite(suite, where);
  const std::string text = ReadPem(path, where);
  TBio bio = MemoryBio(text);
  TKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, &NoPassword, nullptr) : nullptr, &EVP_PKEY_free);
  ERR_clear_error();
  if (!key) RaiseGeneral(Format("%s: expected an unencrypted EC private key in PEM form", where.c_str()));
  TEcKeyPair pair;
  pair.Public = CheckedPublic(key.get(), curve, where, suite);
  pair.Private = Coordinate(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, curve.Bytes);
  if (pair.Private.empty()) RaiseGeneral(Format("%s: the private key cannot be read", where.c_str()));
  return pair;
}

std::string LoadPublicKeyPem(const std::string& path, int suite, const char* field) {
  const std::string where = Where(field, path);
  const TCurve curve = CurveOfSuite(suite, where);
  const std::string text = ReadPem(path, where);
  TBio bio = MemoryBio(text);
  TKey key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, &NoPassword, nullptr) : nullptr, &EVP_PKEY_free);
  if (!key) {
    // A meter's certificate holds its public key.
    TBio again = MemoryBio(text);
    X509* cert = again ? PEM_read_bio_X509(again.get(), nullptr, &NoPassword, nullptr) : nullptr;
    if (cert) {
      key.reset(X509_get_pubkey(cert));
      X509_free(cert);
    }
  }
  ERR_clear_error();
  if (!key) RaiseGeneral(Format("%s: expected an EC public key or a certificate in PEM form", where.c_str()));
  return CheckedPublic(key.get(), curve, where, suite);
}

TEcKeyPair GenerateEcKeyPair(int suite) {
  const TCurve curve = CurveOfSuite(suite, "key pair");
  TKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", OBJ_nid2sn(curve.Nid)), &EVP_PKEY_free);
  if (!key) RaiseGeneral(Format("key pair: cannot generate a key on %s", curve.Name));
  TEcKeyPair pair;
  pair.Private = Coordinate(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, curve.Bytes);
  pair.Public = Coordinate(key.get(), OSSL_PKEY_PARAM_EC_PUB_X, curve.Bytes) +
                Coordinate(key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, curve.Bytes);
  return pair;
}

TSigningKeys LoadSigningKeys(const TMeterProfile& p) {
  TSigningKeys keys;
  keys.Client = LoadPrivateKeyPem(p.ClientSigningKeyFile, p.Suite, "Client signing key");
  keys.ServerPublic = LoadPublicKeyPem(p.ServerSigningKeyFile, p.Suite, "Server signing key");
  return keys;
}

}  // namespace quillon::client
