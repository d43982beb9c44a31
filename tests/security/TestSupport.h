// Helpers shared by the security tests: hex literals, reproducible random
// bytes, and OpenSSL's AES-GCM as an independent oracle.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>

#include "tests/xmlpdu/TestUtil.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::test {

// Titles and keys shared by the cipher and layer tests.
inline const PduStr kClientTitle = H("4D4D4D0000000001");
inline const PduStr kServerTitle = H("4D4D4D0000BC614E");
inline const PduStr kGUEK = H("000102030405060708090A0B0C0D0E0F");
inline const PduStr kGAK = H("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF");

class TRandomBytes {
public:
  explicit TRandomBytes(uint32_t seed) : FGen(seed) {}
  PduStr Next(size_t n) {
    PduStr s(n, '\0');
    for (auto& c : s) c = static_cast<char>(FGen() & 0xFF);
    return s;
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(FGen() % n); }

private:
  std::mt19937 FGen;
};

// AES-GCM through OpenSSL EVP; returns false when the tag does not verify.
inline bool OpenSslGcm(bool encrypt, const PduStr& key, const PduStr& iv, const PduStr& aad, const PduStr& in,
                       PduStr& out, PduStr& tag) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const EVP_CIPHER* cipher = key.size() == 32 ? EVP_aes_256_gcm() : EVP_aes_128_gcm();
  auto u = [](const PduStr& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, nullptr, nullptr, encrypt) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv.size()), nullptr) == 1 &&
            EVP_CipherInit_ex(ctx, nullptr, nullptr, u(key), u(iv), encrypt) == 1;
  int len = 0;
  if (ok && !aad.empty()) ok = EVP_CipherUpdate(ctx, nullptr, &len, u(aad), static_cast<int>(aad.size())) == 1;
  out.assign(in.size(), '\0');
  if (ok && !in.empty())
    ok = EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &len, u(in),
                          static_cast<int>(in.size())) == 1;
  if (ok && !encrypt)
    ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()), tag.data()) == 1;
  unsigned char fin[16];
  if (ok) ok = EVP_CipherFinal_ex(ctx, fin, &len) == 1;
  if (ok && encrypt) {
    tag.assign(16, '\0');
    ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag.data()) == 1;
  }
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

}  // namespace quillon::test
