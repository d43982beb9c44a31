// Our AES-GCM against OpenSSL's in the same run, and V.44 throughput and
// compression ratio on two realistic APDUs.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <time.h>

#include <random>

#include "security/AesGcm.h"
#include "security/V44.h"

namespace quillon {
namespace {

PduStr RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  PduStr s(n, '\0');
  for (auto& c : s) c = static_cast<char>(g() & 0xFF);
  return s;
}

void OpenSslSeal(EVP_CIPHER_CTX* ctx, const PduStr& key, const PduStr& iv, const PduStr& aad, const PduStr& in,
                 PduStr& out, unsigned char tag[16]) {
  auto u = [](const PduStr& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  int len = 0;
  EVP_EncryptInit_ex(ctx, key.size() == 32 ? EVP_aes_256_gcm() : EVP_aes_128_gcm(), nullptr, u(key), u(iv));
  EVP_EncryptUpdate(ctx, nullptr, &len, u(aad), static_cast<int>(aad.size()));
  out.resize(in.size());
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &len, u(in), static_cast<int>(in.size()));
  EVP_EncryptFinal_ex(ctx, tag, &len);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
}

// Processor time of this thread: on a machine shared with other work the
// wall clock also counts the time spent waiting for a processor.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Both implementations per iteration; the reported time is ours, the
// counters give both throughputs and the ratio (ours / OpenSSL time).
void BM_AesGcmOursVsOpenSsl(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const PduStr key = RandomBytes(static_cast<size_t>(state.range(1)), 1), iv = RandomBytes(12, 2);
  const PduStr aad = RandomBytes(17, 3), plain = RandomBytes(size, 4);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  PduStr c, t, oc;
  unsigned char otag[16];
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    GCMEncryptString(key, iv, plain, aad, c, t);
    const double t1 = ThreadSeconds();
    OpenSslSeal(ctx, key, iv, aad, plain, oc, otag);
    const double t2 = ThreadSeconds();
    benchmark::DoNotOptimize(c.data());
    benchmark::DoNotOptimize(oc.data());
    const double a = t1 - t0;
    ours += a;
    theirs += t2 - t1;
    state.SetIterationTime(a);
  }
  EVP_CIPHER_CTX_free(ctx);
  const double bytes = static_cast<double>(size) * static_cast<double>(state.iterations());
  state.counters["ours_MBps"] = bytes / ours / 1e6;
  state.counters["openssl_MBps"] = bytes / theirs / 1e6;
  state.counters["ratio"] = ours / theirs;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_AesGcmOursVsOpenSsl)
    ->ArgNames({"bytes", "keybytes"})
    ->Args({64, 16})
    ->Args({1024, 16})
    ->Args({65536, 16})
    ->Args({64, 32})
    ->Args({1024, 32})
    ->Args({65536, 32})
    ->UseManualTime();

// A GetResponse with an association object list: class id, version, logical
// name and access rights per object, as a meter sends it.
PduStr ObjectListApdu() {
  PduStr s("\xC4\x01\xC1\x00\x01\x82\x00\x50", 8);  // GetResponseNormal, data, array of 80
  const uint16_t classes[] = {1, 3, 4, 5, 7, 8, 15, 17, 18, 20, 22, 40, 41, 64, 70, 71};
  for (int i = 0; i < 80; ++i) {
    const uint16_t cls = classes[i % 16];
    s += PduStr("\x02\x04\x12", 3) + static_cast<char>(cls >> 8) + static_cast<char>(cls & 0xFF);
    s += PduStr("\x11\x00\x09\x06", 4);
    s += PduStr("\x01\x00", 2) + static_cast<char>(i % 10) + static_cast<char>(8 + i % 3) + PduStr("\x00\xFF", 2);
    const int attributes = 2 + cls % 7;
    s += PduStr("\x02\x02\x01", 3) + static_cast<char>(attributes);
    for (int a = 1; a <= attributes; ++a)
      s += PduStr("\x02\x03\x0F", 3) + static_cast<char>(a) + PduStr("\x16", 1) + static_cast<char>(a == 1 ? 1 : 3) +
           PduStr("\x00", 1);
    s += PduStr("\x01\x01\x02\x02\x0F\x01\x03\x00", 8);
  }
  return s;
}

// A load-profile buffer: 15-minute rows of a date-time, status and four
// energy registers that grow slowly.
PduStr ProfileBufferApdu() {
  PduStr s("\xC4\x01\xC1\x00\x01\x82\x01\x20", 8);  // array of 288 rows
  uint32_t energy[4] = {1200345, 88000, 543210, 9876};
  std::mt19937 g(9);
  for (int row = 0; row < 288; ++row) {
    const int minute = row * 15;
    s += PduStr("\x02\x06\x09\x0C\x07\xEA\x0C\x0A\x04", 9) + static_cast<char>(minute / 60) +
         static_cast<char>(minute % 60) + PduStr("\x00\x00\x80\x00\x00", 5);
    s += PduStr("\x11\x00", 2);
    for (auto& e : energy) {
      e += g() % 40;
      s += PduStr("\x06", 1) + static_cast<char>(e >> 24) + static_cast<char>(e >> 16) + static_cast<char>(e >> 8) +
           static_cast<char>(e);
    }
  }
  return s;
}

const PduStr& Sample(int which) {
  static const PduStr objectList = ObjectListApdu(), profile = ProfileBufferApdu();
  return which == 0 ? objectList : profile;
}

void BM_V44Compress(benchmark::State& state) {
  const PduStr& in = Sample(static_cast<int>(state.range(0)));
  PduStr out;
  for (auto _ : state) {
    out = V44Deflate(in);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(in.size()) * state.iterations());
  state.counters["input_bytes"] = static_cast<double>(in.size());
  state.counters["ratio"] = static_cast<double>(in.size()) / static_cast<double>(out.size());
}
BENCHMARK(BM_V44Compress)->ArgName("objectlist0_profile1")->Arg(0)->Arg(1);

void BM_V44Decompress(benchmark::State& state) {
  const PduStr& in = Sample(static_cast<int>(state.range(0)));
  const PduStr packed = V44Deflate(in);
  PduStr out;
  for (auto _ : state) {
    out = V44Inflate(packed);
    benchmark::DoNotOptimize(out.data());
  }
  if (out != in) state.SkipWithError("round trip differs");
  state.SetBytesProcessed(static_cast<int64_t>(in.size()) * state.iterations());
  state.counters["ratio"] = static_cast<double>(in.size()) / static_cast<double>(packed.size());
}
BENCHMARK(BM_V44Decompress)->ArgName("objectlist0_profile1")->Arg(0)->Arg(1);

}  // namespace
}  // namespace quillon
