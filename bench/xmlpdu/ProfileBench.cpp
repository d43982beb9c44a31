// A load-profile buffer (see ProfileData.h) converted bytes -> XML and
// XML -> bytes, at four sizes to show how the cost grows.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "bench/ProfileData.h"
#include "xmlpdu/Catalogue.h"

using namespace quillon;
using quillon::bench::ProfileBuffer;

// Heap bytes in use, counted here so that a benchmark can report the peak of
// one conversion (input excluded) without depending on what else the process
// has held before.
namespace {
size_t gHeapLive = 0;
size_t gHeapPeak = 0;
}  // namespace

void* operator new(size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  gHeapLive += malloc_usable_size(p);
  gHeapPeak = std::max(gHeapPeak, gHeapLive);
  return p;
}
// The matching operator new above takes its memory from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
  if (!p) return;
  gHeapLive -= malloc_usable_size(p);
  std::free(p);
}
#pragma GCC diagnostic pop
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

void BM_ProfileBytesToXml(benchmark::State& state) {
  PduStr pdu = ProfileBuffer(static_cast<size_t>(state.range(0)));
  size_t xmlSize = 0;
  for (auto _ : state) {
    TStringWrapper r(pdu);
    std::string xml = TCOSEMPduBase::PduToXMLString(xmlIgnore, &T_Data::ClassInfo, r);
    xmlSize = xml.size();
    benchmark::DoNotOptimize(xml);
  }
  double peak = 0;
  // One more conversion, outside the timing, for the peak heap it needs
  // (the reader's copy of the input excluded).
  {
    TStringWrapper r(pdu);
    const size_t before = gHeapLive;
    gHeapPeak = before;
    std::string xml = TCOSEMPduBase::PduToXMLString(xmlIgnore, &T_Data::ClassInfo, r);
    benchmark::DoNotOptimize(xml);
    peak = static_cast<double>(gHeapPeak - before);
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(pdu.size());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["sec_per_byte"] = benchmark::Counter(bytes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["xml_bytes"] = static_cast<double>(xmlSize);
  state.counters["peak_heap_MB"] = peak / 1e6;
  state.counters["peak_per_xml"] = peak / static_cast<double>(xmlSize);
}

// The same conversion with the XML handed on in 256 KB pieces (as
// quillon-translate writes to a file): no text of the full size is made.
void BM_ProfileBytesToXmlPieces(benchmark::State& state) {
  PduStr pdu = ProfileBuffer(static_cast<size_t>(state.range(0)));
  size_t xmlSize = 0;
  auto count = [&xmlSize](std::string_view piece) { xmlSize += piece.size(); };
  for (auto _ : state) {
    xmlSize = 0;
    TStringWrapper r(pdu);
    TCOSEMPduBase::PduToXmlPieces(xmlIgnore, &T_Data::ClassInfo, r, count, 256 << 10);
  }
  double peak = 0;
  {
    TStringWrapper r(pdu);
    const size_t before = gHeapLive;
    gHeapPeak = before;
    TCOSEMPduBase::PduToXmlPieces(xmlIgnore, &T_Data::ClassInfo, r, count, 256 << 10);
    peak = static_cast<double>(gHeapPeak - before);
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(pdu.size());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["sec_per_byte"] = benchmark::Counter(bytes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["peak_heap_MB"] = peak / 1e6;
}

void BM_ProfileXmlToBytes(benchmark::State& state) {
  PduStr pdu = ProfileBuffer(static_cast<size_t>(state.range(0)));
  std::string xml = MakeFromPdu<T_Data>(xmlIgnore, pdu)->ToXMLString();
  for (auto _ : state) {
    PduStr out = TCOSEMPduBase::XmlToPduStr(xmlIgnore, &T_Data::ClassInfo, xml);
    if (out.size() != pdu.size()) state.SkipWithError("round trip changed the size");
    benchmark::DoNotOptimize(out);
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(pdu.size());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["sec_per_byte"] = benchmark::Counter(bytes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

#define PROFILE_SIZES Arg(10 << 10)->Arg(100 << 10)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_ProfileBytesToXml)->PROFILE_SIZES;
BENCHMARK(BM_ProfileBytesToXmlPieces)->PROFILE_SIZES;
BENCHMARK(BM_ProfileXmlToBytes)->PROFILE_SIZES;

}  // namespace
