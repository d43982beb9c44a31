#include "security/AesGcm.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "security/AesGcmInstructions.h"
#include "xmlpdu/infra/Errors.h"

namespace quillon {

namespace {

// --- AES tables, derived at compile time from GF(2^8) arithmetic ----------

constexpr uint8_t XTime(uint8_t a) { return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0)); }

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return r;
}

constexpr std::array<uint8_t, 256> MakeSBox() {
  std::array<uint8_t, 256> s{};
  for (int x = 0; x < 256; ++x) {
    // Multiplicative inverse by brute force (fine at compile time).
    uint8_t inv = 0;
    for (int y = 1; y < 256 && x != 0; ++y)
      if (GfMul(static_cast<uint8_t>(x), static_cast<uint8_t>(y)) == 1) {
        inv = static_cast<uint8_t>(y);
        break;
      }
    uint8_t b = inv, r = inv;
    for (int k = 0; k < 4; ++k) {
      b = static_cast<uint8_t>((b << 1) | (b >> 7));
      r ^= b;
    }
    s[static_cast<size_t>(x)] = static_cast<uint8_t>(r ^ 0x63);
  }
  return s;
}

constexpr std::array<uint8_t, 256> kSBox = MakeSBox();
static_assert(kSBox[0x00] == 0x63 && kSBox[0x53] == 0xED && kSBox[0xFF] == 0x16);

constexpr uint32_t Ror8(uint32_t w, int n) { return (w >> n) | (w << (32 - n)); }

// Te[k][x]: SubBytes and MixColumns of one byte, rotated for row k.
constexpr std::array<std::array<uint32_t, 256>, 4> MakeTe() {
  std::array<std::array<uint32_t, 256>, 4> t{};
  for (int x = 0; x < 256; ++x) {
    uint8_t s = kSBox[static_cast<size_t>(x)];
    uint32_t w = (uint32_t(GfMul(s, 2)) << 24) | (uint32_t(s) << 16) | (uint32_t(s) << 8) | GfMul(s, 3);
    t[0][static_cast<size_t>(x)] = w;
    t[1][static_cast<size_t>(x)] = Ror8(w, 8);
    t[2][static_cast<size_t>(x)] = Ror8(w, 16);
    t[3][static_cast<size_t>(x)] = Ror8(w, 24);
  }
  return t;
}

constexpr auto kTe = MakeTe();

inline uint32_t LoadBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline void StoreBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint64_t LoadBE64(const uint8_t* p) { return (uint64_t(LoadBE32(p)) << 32) | LoadBE32(p + 4); }
inline void StoreBE64(uint8_t* p, uint64_t v) {
  StoreBE32(p, static_cast<uint32_t>(v >> 32));
  StoreBE32(p + 4, static_cast<uint32_t>(v));
}

inline uint32_t SubWord(uint32_t w) {
  return (uint32_t(kSBox[w >> 24]) << 24) | (uint32_t(kSBox[(w >> 16) & 0xFF]) << 16) |
         (uint32_t(kSBox[(w >> 8) & 0xFF]) << 8) | kSBox[w & 0xFF];
}

// --- GF(2^128) ------------------------------------------------------------

constexpr uint64_t kGcmReductionHi = 0xE100000000000000ull;

// Multiplying by x^4 shifts four bits out of the low end; their reduction
// lands in the top 16 bits of the high word. Built once at start-up.
struct TReduction4 {
  uint64_t Value[16];
  TReduction4() {
    for (uint64_t rem = 0; rem < 16; ++rem) {
      uint64_t hi = 0, lo = rem;
      for (int k = 0; k < 4; ++k) {
        uint64_t carry = lo & 1;
        lo = (lo >> 1) | (hi << 63);
        hi >>= 1;
        if (carry) hi ^= kGcmReductionHi;
      }
      Value[rem] = hi;
    }
  }
};
const TReduction4 kReduction4;

// One-bit shift towards higher powers of x, reducing modulo the GCM polynomial.
inline void MulX(uint64_t& hi, uint64_t& lo) {
  uint64_t carry = lo & 1;
  lo = (lo >> 1) | (hi << 63);
  hi >>= 1;
  if (carry) hi ^= kGcmReductionHi;
}

void XorBlock(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] ^= src[i];
}

const uint8_t* Bytes(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void CheckKeyAndIv(std::string_view key, std::string_view iv) {
  CheckAssertion(key.size() == 16 || key.size() == 32, "AES-GCM key length is 16 or 32 bytes");
  CheckAssertion(iv.size() == 12, "AES-GCM IV length is 12 bytes");
}

// Counter mode from J0: the first block uses inc32(J0).
void Ctr(const TAesKey& aes, const uint8_t j0[16], std::string_view in, PduStr& out) {
  out.assign(in.data(), in.size());
  uint8_t cb[16], ks[16];
  std::memcpy(cb, j0, 16);
  uint32_t counter = LoadBE32(cb + 12);
  uint8_t* p = reinterpret_cast<uint8_t*>(out.data());
  for (size_t pos = 0; pos < out.size(); pos += 16) {
    StoreBE32(cb + 12, ++counter);
    aes.EncryptBlock(cb, ks);
    XorBlock(p + pos, ks, std::min<size_t>(16, out.size() - pos));
  }
}

// J0 = IV || 00 00 00 01 for a 96-bit IV.
void MakeJ0(std::string_view iv, uint8_t j0[16]) {
  std::memcpy(j0, iv.data(), 12);
  j0[12] = j0[13] = j0[14] = 0;
  j0[15] = 1;
}

// The full 16-byte tag over aad and ciphertext.
void ComputeTag(const TAesKey& aes, const uint8_t j0[16], std::string_view aad, std::string_view ciphertext,
                uint8_t tag[16]) {
  uint8_t h[16] = {0};
  aes.EncryptBlock(h, h);
  TGHash ghash(h);
  ghash.Update(aad);
  ghash.Update(ciphertext);
  uint8_t s[16], ej0[16];
  ghash.Final(aad.size(), ciphertext.size(), s);
  aes.EncryptBlock(j0, ej0);
  for (int i = 0; i < 16; ++i) tag[i] = static_cast<uint8_t>(ej0[i] ^ s[i]);
}

}  // namespace

TAesKey::TAesKey(std::string_view key) {
  CheckAssertion(key.size() == 16 || key.size() == 32, "AES key length is 16 or 32 bytes");
  const int nk = static_cast<int>(key.size() / 4);
  FRounds = nk + 6;
  const int words = 4 * (FRounds + 1);
  for (int i = 0; i < nk; ++i) FRoundKeys[i] = LoadBE32(Bytes(key) + 4 * i);
  uint32_t rcon = 0x01;
  for (int i = nk; i < words; ++i) {
    uint32_t temp = FRoundKeys[i - 1];
    if (i % nk == 0) {
      temp = SubWord((temp << 8) | (temp >> 24)) ^ (rcon << 24);
      rcon = XTime(static_cast<uint8_t>(rcon));
    } else if (nk > 6 && i % nk == 4) {
      temp = SubWord(temp);
    }
    FRoundKeys[i] = FRoundKeys[i - nk] ^ temp;
  }
}

void TAesKey::RoundKeyBytes(uint8_t out[240]) const {
  for (int i = 0; i < 4 * (FRounds + 1); ++i) StoreBE32(out + 4 * i, FRoundKeys[i]);
}

void TAesKey::EncryptBlock(const uint8_t in[16], uint8_t out[16]) const {
  const uint32_t* rk = FRoundKeys;
  uint32_t s0 = LoadBE32(in) ^ rk[0], s1 = LoadBE32(in + 4) ^ rk[1];
  uint32_t s2 = LoadBE32(in + 8) ^ rk[2], s3 = LoadBE32(in + 12) ^ rk[3];
  for (int r = 1; r < FRounds; ++r) {
    rk += 4;
    uint32_t t0 = kTe[0][s0 >> 24] ^ kTe[1][(s1 >> 16) & 0xFF] ^ kTe[2][(s2 >> 8) & 0xFF] ^ kTe[3][s3 & 0xFF] ^ rk[0];
    uint32_t t1 = kTe[0][s1 >> 24] ^ kTe[1][(s2 >> 16) & 0xFF] ^ kTe[2][(s3 >> 8) & 0xFF] ^ kTe[3][s0 & 0xFF] ^ rk[1];
    uint32_t t2 = kTe[0][s2 >> 24] ^ kTe[1][(s3 >> 16) & 0xFF] ^ kTe[2][(s0 >> 8) & 0xFF] ^ kTe[3][s1 & 0xFF] ^ rk[2];
    uint32_t t3 = kTe[0][s3 >> 24] ^ kTe[1][(s0 >> 16) & 0xFF] ^ kTe[2][(s1 >> 8) & 0xFF] ^ kTe[3][s2 & 0xFF] ^ rk[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  // Last round: SubBytes and ShiftRows only.
  auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return ((uint32_t(kSBox[a >> 24]) << 24) | (uint32_t(kSBox[(b >> 16) & 0xFF]) << 16) |
            (uint32_t(kSBox[(c >> 8) & 0xFF]) << 8) | kSBox[d & 0xFF]) ^
           k;
  };
  StoreBE32(out, last(s0, s1, s2, s3, rk[0]));
  StoreBE32(out + 4, last(s1, s2, s3, s0, rk[1]));
  StoreBE32(out + 8, last(s2, s3, s0, s1, rk[2]));
  StoreBE32(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void GF128MulBitwise(const uint8_t x[16], const uint8_t h[16], uint8_t z[16]) {
  uint8_t zz[16] = {0}, v[16];
  std::memcpy(v, h, 16);
  for (int i = 0; i < 128; ++i) {
    if ((x[i / 8] >> (7 - i % 8)) & 1) XorBlock(zz, v, 16);
    bool lsb = v[15] & 1;
    for (int k = 15; k > 0; --k) v[k] = static_cast<uint8_t>((v[k] >> 1) | (v[k - 1] << 7));
    v[0] >>= 1;
    if (lsb) v[0] ^= 0xE1;
  }
  std::memcpy(z, zz, 16);
}

TGHash::TGHash(const uint8_t h[16]) {
  // Table entry n holds n*H where the top bit of the nibble is the x^0 term.
  uint64_t hi = LoadBE64(h), lo = LoadBE64(h + 8);
  FTableHi[0] = FTableLo[0] = 0;
  for (int bit = 8; bit >= 1; bit >>= 1) {
    FTableHi[bit] = hi;
    FTableLo[bit] = lo;
    MulX(hi, lo);
  }
  for (int n = 2; n < 16; n <<= 1)
    for (int k = 1; k < n; ++k) {
      FTableHi[n + k] = FTableHi[n] ^ FTableHi[k];
      FTableLo[n + k] = FTableLo[n] ^ FTableLo[k];
    }
}

void TGHash::MulH(uint64_t& hi, uint64_t& lo) const {
  uint8_t x[16];
  StoreBE64(x, hi);
  StoreBE64(x + 8, lo);
  uint64_t zh = 0, zl = 0;
  // Horner's rule over the nibbles, from the highest power of x down.
  for (int i = 15; i >= 0; --i) {
    for (int shift = 0; shift <= 4; shift += 4) {
      unsigned n = (x[i] >> shift) & 0x0F;
      uint64_t rem = zl & 0x0F;
      zl = (zl >> 4) | (zh << 60);
      zh = (zh >> 4) ^ kReduction4.Value[rem];
      zh ^= FTableHi[n];
      zl ^= FTableLo[n];
    }
  }
  hi = zh;
  lo = zl;
}

void TGHash::Update(std::string_view data) {
  const uint8_t* p = Bytes(data);
  for (size_t pos = 0; pos < data.size(); pos += 16) {
    uint8_t block[16] = {0};
    std::memcpy(block, p + pos, std::min<size_t>(16, data.size() - pos));
    FStateHi ^= LoadBE64(block);
    FStateLo ^= LoadBE64(block + 8);
    MulH(FStateHi, FStateLo);
  }
}

void TGHash::Final(uint64_t aadBytes, uint64_t textBytes, uint8_t out[16]) {
  FStateHi ^= aadBytes * 8;
  FStateLo ^= textBytes * 8;
  MulH(FStateHi, FStateLo);
  StoreBE64(out, FStateHi);
  StoreBE64(out + 8, FStateLo);
}

bool GcmInstructionsAvailable() { return gcmhw::Available(); }

TGcmEngine DefaultGcmEngine() { return GcmInstructionsAvailable() ? TGcmEngine::Instructions : TGcmEngine::Table; }

namespace {

void CheckEngine(TGcmEngine engine) {
  CheckAssertion(engine == TGcmEngine::Table || GcmInstructionsAvailable(),
                 "AES-GCM instructions are available on this processor");
}

}  // namespace

void GCMEncryptString(TGcmEngine engine, std::string_view key, std::string_view iv, std::string_view plaintext,
                      std::string_view aad, PduStr& ciphertext, PduStr& tag) {
  CheckKeyAndIv(key, iv);
  CheckEngine(engine);
  TAesKey aes(key);
  uint8_t j0[16], t[16];
  MakeJ0(iv, j0);
  PduStr c;
  if (engine == TGcmEngine::Instructions) {
    c.resize(plaintext.size());
    gcmhw::Crypt(aes, j0, aad, plaintext, reinterpret_cast<uint8_t*>(c.data()), true, t);
  } else {
    Ctr(aes, j0, plaintext, c);
    ComputeTag(aes, j0, aad, c, t);
  }
  ciphertext = std::move(c);
  tag.assign(reinterpret_cast<const char*>(t), 16);
}

int GCMDecryptString(TGcmEngine engine, std::string_view key, std::string_view iv, std::string_view ciphertext,
                     std::string_view aad, std::string_view receivedTag, PduStr& plaintext) {
  CheckKeyAndIv(key, iv);
  CheckEngine(engine);
  TAesKey aes(key);
  uint8_t j0[16], t[16];
  MakeJ0(iv, j0);
  // The instruction engine deciphers while it hashes; the result is only
  // handed out once the tag has matched.
  PduStr p;
  if (engine == TGcmEngine::Instructions) {
    p.resize(ciphertext.size());
    gcmhw::Crypt(aes, j0, aad, ciphertext, reinterpret_cast<uint8_t*>(p.data()), false, t);
  } else {
    ComputeTag(aes, j0, aad, ciphertext, t);
  }
  // A tag shorter than 32 bits proves nothing (an empty one would match
  // anything), so it never authenticates.
  if (receivedTag.size() < 4 || receivedTag.size() > 16) return kGcmAuthenticationFailure;
  uint8_t diff = 0;
  for (size_t i = 0; i < receivedTag.size(); ++i) diff |= static_cast<uint8_t>(t[i] ^ Bytes(receivedTag)[i]);
  if (diff != 0) return kGcmAuthenticationFailure;
  if (engine == TGcmEngine::Table) Ctr(aes, j0, ciphertext, p);
  plaintext = std::move(p);
  return kGcmOk;
}

void GCMEncryptString(std::string_view key, std::string_view iv, std::string_view plaintext, std::string_view aad,
                      PduStr& ciphertext, PduStr& tag) {
  GCMEncryptString(DefaultGcmEngine(), key, iv, plaintext, aad, ciphertext, tag);
}

int GCMDecryptString(std::string_view key, std::string_view iv, std::string_view ciphertext, std::string_view aad,
                     std::string_view receivedTag, PduStr& plaintext) {
  return GCMDecryptString(DefaultGcmEngine(), key, iv, ciphertext, aad, receivedTag, plaintext);
}

}  // namespace quillon
