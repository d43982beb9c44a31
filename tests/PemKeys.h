// Test keys as PEM files: raw key pairs of the security suite written by
// OpenSSL as a private key, a public key or a self-signed certificate, so
// that the code reading them is checked against another implementation.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <string>

#include "security/CryptoServices.h"

namespace quillon::test {

// An OpenSSL key made from raw bytes (a public key alone when `priv` is empty).
inline EVP_PKEY* KeyOfRaw(int suite, const std::string& priv, const std::string& pub) {
  OSSL_PARAM_BLD* b = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_utf8_string(b, OSSL_PKEY_PARAM_GROUP_NAME, suite == 2 ? "secp384r1" : "prime256v1", 0);
  const std::string point = "\x04" + pub;  // uncompressed
  OSSL_PARAM_BLD_push_octet_string(b, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
  BIGNUM* bn = priv.empty() ? nullptr
                            : BN_bin2bn(reinterpret_cast<const unsigned char*>(priv.data()), static_cast<int>(priv.size()), nullptr);
  if (bn) OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_PRIV_KEY, bn);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(b);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata_init(ctx) <= 0 ||
      EVP_PKEY_fromdata(ctx, &key, bn ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params) <= 0)
    key = nullptr;
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  BN_free(bn);
  OSSL_PARAM_BLD_free(b);
  return key;
}

enum class TPem { pPrivate, pPublic, pCertificate };

// Writes `pair` to `path` as a PEM private key, public key, or self-signed
// certificate; false when OpenSSL refused any step.
inline bool WritePem(const std::string& path, int suite, const TKeyPair& pair, TPem form) {
  EVP_PKEY* key = KeyOfRaw(suite, form == TPem::pPublic ? std::string() : pair.PrivateKey, pair.PublicKey);
  if (!key) return false;
  BIO* bio = BIO_new_file(path.c_str(), "w");
  if (!bio) {
    EVP_PKEY_free(key);
    return false;
  }
  bool ok = true;
  if (form == TPem::pPrivate) {
    ok = PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  } else if (form == TPem::pPublic) {
    ok = PEM_write_bio_PUBKEY(bio, key) == 1;
  } else {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("QSM0000000001"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    ok = X509_sign(cert, key, EVP_sha256()) > 0 && PEM_write_bio_X509(bio, cert) == 1;
    X509_free(cert);
  }
  BIO_free(bio);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace quillon::test
