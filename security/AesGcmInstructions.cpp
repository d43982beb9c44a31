// GCM on AES-NI and PCLMULQDQ. Every function that touches the intrinsics
// carries the target attribute, so this file needs no special compiler flag
// and the rest of the build stays generic x86-64; Available() decides from
// CPUID whether any of it may run.
//
// GHASH works in the byte-reflected domain: blocks are byte-reversed on
// load, so that the carry-less products come out bit-reflected and shifted
// by one. Eight blocks are multiplied by H^8..H^1, their 256-bit products
// added, and the sum reduced once (aggregated reduction).
#include "security/AesGcmInstructions.h"

#include <cstring>

#include "security/AesGcm.h"
#include "xmlpdu/infra/Errors.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUILLON_GCM_X86 1
#endif

namespace quillon::gcmhw {

#ifdef QUILLON_GCM_X86

#define GCM_TARGET __attribute__((target("aes,pclmul,ssse3,sse4.1")))

namespace {

constexpr int kLanes = 8;

struct TKeySchedule {
  __m128i Round[15];
  int Rounds;
};

struct TProduct {  // an unreduced 256-bit carry-less product
  __m128i Lo, Hi;
};

GCM_TARGET inline __m128i ByteReverse(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

GCM_TARGET inline __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
GCM_TARGET inline void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// A block of up to 16 bytes, padded with zeros.
GCM_TARGET inline __m128i LoadPartial(const uint8_t* p, size_t n) {
  alignas(16) uint8_t b[16] = {0};
  std::memcpy(b, p, n);
  return Load(b);
}

GCM_TARGET inline TProduct ClMul(__m128i a, __m128i b) {
  __m128i lo = _mm_clmulepi64_si128(a, b, 0x00);
  __m128i hi = _mm_clmulepi64_si128(a, b, 0x11);
  __m128i mid = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x10), _mm_clmulepi64_si128(a, b, 0x01));
  return {_mm_xor_si128(lo, _mm_slli_si128(mid, 8)), _mm_xor_si128(hi, _mm_srli_si128(mid, 8))};
}

// The reflected product shifted back by one bit, then reduced modulo
// x^128 + x^7 + x^2 + x + 1 in two folding steps.
GCM_TARGET inline __m128i Reduce(TProduct p) {
  __m128i loCarry = _mm_srli_epi32(p.Lo, 31), hiCarry = _mm_srli_epi32(p.Hi, 31);
  __m128i lo = _mm_slli_epi32(p.Lo, 1), hi = _mm_slli_epi32(p.Hi, 1);
  const __m128i crossing = _mm_srli_si128(loCarry, 12);  // top bit of Lo into Hi
  lo = _mm_or_si128(lo, _mm_slli_si128(loCarry, 4));
  hi = _mm_or_si128(_mm_or_si128(hi, _mm_slli_si128(hiCarry, 4)), crossing);

  __m128i fold = _mm_xor_si128(_mm_xor_si128(_mm_slli_epi32(lo, 31), _mm_slli_epi32(lo, 30)), _mm_slli_epi32(lo, 25));
  const __m128i spill = _mm_srli_si128(fold, 4);
  lo = _mm_xor_si128(lo, _mm_slli_si128(fold, 12));
  __m128i back = _mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(lo, 1), _mm_srli_epi32(lo, 2)), _mm_srli_epi32(lo, 7));
  back = _mm_xor_si128(back, spill);
  return _mm_xor_si128(hi, _mm_xor_si128(lo, back));
}

GCM_TARGET inline __m128i GfMul(__m128i a, __m128i b) { return Reduce(ClMul(a, b)); }

// Karatsuba form of the eight-block step: per block the products of the low
// halves, the high halves and the xor of both halves, summed over the
// blocks and combined and reduced once.
struct TKaratsubaSum {
  __m128i Lo, Hi, Mid;
};

GCM_TARGET inline __m128i HalvesXored(__m128i v) { return _mm_xor_si128(v, _mm_srli_si128(v, 8)); }

GCM_TARGET inline void KaratsubaAdd(TKaratsubaSum& s, __m128i x, __m128i h, __m128i hHalves) {
  s.Lo = _mm_xor_si128(s.Lo, _mm_clmulepi64_si128(x, h, 0x00));
  s.Hi = _mm_xor_si128(s.Hi, _mm_clmulepi64_si128(x, h, 0x11));
  s.Mid = _mm_xor_si128(s.Mid, _mm_clmulepi64_si128(HalvesXored(x), hHalves, 0x00));
}

GCM_TARGET inline __m128i KaratsubaReduce(const TKaratsubaSum& s) {
  const __m128i mid = _mm_xor_si128(s.Mid, _mm_xor_si128(s.Lo, s.Hi));
  return Reduce({_mm_xor_si128(s.Lo, _mm_slli_si128(mid, 8)), _mm_xor_si128(s.Hi, _mm_srli_si128(mid, 8))});
}

class TGhash {
public:
  GCM_TARGET explicit TGhash(__m128i hReflected) {
    FPower[0] = hReflected;
    for (int i = 1; i < kLanes; ++i) FPower[i] = GfMul(FPower[i - 1], hReflected);
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) FHalves[i] = HalvesXored(FPower[i]);
    FState = _mm_setzero_si128();
  }

  // Starts an eight-block step: block i of the step is multiplied by H^(8-i).
  GCM_TARGET TKaratsubaSum Begin() const {
    const __m128i z = _mm_setzero_si128();
    return {z, z, z};
  }
  GCM_TARGET void Add(TKaratsubaSum& sum, int i, const uint8_t* block) const {
    __m128i x = ByteReverse(Load(block));
    if (i == 0) x = _mm_xor_si128(x, FState);
    KaratsubaAdd(sum, x, FPower[kLanes - 1 - i], FHalves[kLanes - 1 - i]);
  }
  GCM_TARGET void End(const TKaratsubaSum& sum) { FState = KaratsubaReduce(sum); }

  // Whole blocks, eight at a time where possible.
  GCM_TARGET void Blocks(const uint8_t* p, size_t blocks) {
    for (; blocks >= kLanes; blocks -= kLanes, p += 16 * kLanes) {
      TKaratsubaSum sum = Begin();
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) Add(sum, i, p + 16 * i);
      End(sum);
    }
    for (; blocks > 0; --blocks, p += 16) Block(Load(p));
  }

  // Any length; the last block is padded with zeros.
  GCM_TARGET void Update(const uint8_t* p, size_t n) {
    Blocks(p, n / 16);
    if (n % 16) Block(LoadPartial(p + n - n % 16, n % 16));
  }

  GCM_TARGET void Block(__m128i raw) { FState = GfMul(_mm_xor_si128(FState, ByteReverse(raw)), FPower[0]); }

  GCM_TARGET __m128i Final(uint64_t aadBytes, uint64_t textBytes) {
    // The length block aadBits || textBits, already in reflected order.
    Block(ByteReverse(_mm_set_epi64x(static_cast<long long>(aadBytes * 8), static_cast<long long>(textBytes * 8))));
    return ByteReverse(FState);
  }

private:
  __m128i FPower[kLanes];   // H^1 .. H^8
  __m128i FHalves[kLanes];  // their two halves xored, for Karatsuba
  __m128i FState;
};

GCM_TARGET inline __m128i EncryptBlock(const TKeySchedule& k, __m128i b) {
  b = _mm_xor_si128(b, k.Round[0]);
  for (int r = 1; r < k.Rounds; ++r) b = _mm_aesenc_si128(b, k.Round[r]);
  return _mm_aesenclast_si128(b, k.Round[k.Rounds]);
}

// Eight counter blocks through AES side by side, so the instruction's
// latency is hidden behind the other lanes; when `hashed` is given, its
// eight blocks go through GHASH in the same rounds, where the carry-less
// multiplications run beside the AES rounds.
GCM_TARGET inline void EncryptLanes(const TKeySchedule& k, __m128i b[kLanes], TGhash& ghash, const uint8_t* hashed) {
  TKaratsubaSum sum = ghash.Begin();
#pragma GCC unroll 8
  for (int i = 0; i < kLanes; ++i) b[i] = _mm_xor_si128(b[i], k.Round[0]);
  for (int r = 1; r < k.Rounds; ++r) {
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) b[i] = _mm_aesenc_si128(b[i], k.Round[r]);
    if (hashed && r <= kLanes) ghash.Add(sum, r - 1, hashed + 16 * (r - 1));
  }
#pragma GCC unroll 8
  for (int i = 0; i < kLanes; ++i) b[i] = _mm_aesenclast_si128(b[i], k.Round[k.Rounds]);
  if (hashed) ghash.End(sum);
}

GCM_TARGET inline __m128i CounterBlock(__m128i j0, uint32_t counter) {
  return _mm_insert_epi32(j0, static_cast<int>(__builtin_bswap32(counter)), 3);
}

GCM_TARGET void CryptImpl(const TAesKey& key, const uint8_t j0Bytes[16], std::string_view aad, std::string_view in,
                          uint8_t* out, bool encrypting, uint8_t tag[16]) {
  TKeySchedule ks{};
  alignas(16) uint8_t roundBytes[240];
  key.RoundKeyBytes(roundBytes);
  ks.Rounds = key.Rounds();
  for (int r = 0; r <= ks.Rounds; ++r) ks.Round[r] = Load(roundBytes + 16 * r);

  TGhash ghash(ByteReverse(EncryptBlock(ks, _mm_setzero_si128())));
  ghash.Update(reinterpret_cast<const uint8_t*>(aad.data()), aad.size());

  const __m128i j0 = Load(j0Bytes);
  uint32_t counter = __builtin_bswap32(static_cast<uint32_t>(_mm_extract_epi32(j0, 3)));
  const uint8_t* src = reinterpret_cast<const uint8_t*>(in.data());
  const size_t n = in.size();
  size_t pos = 0;
  // The blocks GHASH reads: the ciphertext, which is the output when
  // encrypting and the input when decrypting.
  const uint8_t* hashed = encrypting ? out : src;
  // Deciphering hashes the batch it deciphers; enciphering hashes the batch
  // it wrote one step before, and the last one after the loop.
  const uint8_t* pending = nullptr;
  for (; pos + 16 * kLanes <= n; pos += 16 * kLanes) {
    __m128i b[kLanes];
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) b[i] = CounterBlock(j0, ++counter);
    EncryptLanes(ks, b, ghash, encrypting ? pending : hashed + pos);
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) Store(out + pos + 16 * i, _mm_xor_si128(b[i], Load(src + pos + 16 * i)));
    pending = out + pos;
  }
  if (encrypting && pending) ghash.Blocks(pending, kLanes);
  for (; pos < n; pos += 16) {
    const size_t len = n - pos < 16 ? n - pos : 16;
    const __m128i ks16 = EncryptBlock(ks, CounterBlock(j0, ++counter));
    if (len == 16) {
      const __m128i c = Load(src + pos);
      if (!encrypting) ghash.Block(c);
      const __m128i o = _mm_xor_si128(ks16, c);
      Store(out + pos, o);
      if (encrypting) ghash.Block(o);
    } else {
      const __m128i c = LoadPartial(src + pos, len);
      if (!encrypting) ghash.Block(c);
      alignas(16) uint8_t o[16];
      Store(o, _mm_xor_si128(ks16, c));
      std::memset(o + len, 0, 16 - len);
      std::memcpy(out + pos, o, len);
      if (encrypting) ghash.Block(Load(o));
    }
  }
  const __m128i s = ghash.Final(aad.size(), n);
  Store(tag, _mm_xor_si128(s, EncryptBlock(ks, j0)));
}

}  // namespace

bool Available() {
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3") &&
           __builtin_cpu_supports("sse4.1");
  }();
  return available;
}

void Crypt(const TAesKey& key, const uint8_t j0[16], std::string_view aad, std::string_view in, uint8_t* out,
           bool encrypting, uint8_t tag[16]) {
  CryptImpl(key, j0, aad, in, out, encrypting, tag);
}

#else

bool Available() { return false; }

void Crypt(const TAesKey&, const uint8_t[16], std::string_view, std::string_view, uint8_t*, bool, uint8_t[16]) {
  CheckAssertion(false, "AES-GCM instructions are available on this processor");
}

#endif

}  // namespace quillon::gcmhw
