// A load-profile buffer (array of structures: date-time, four
// double-long-unsigned, unsigned) converted bytes -> tree -> XML and
// XML -> tree -> bytes, at four sizes to show that the cost grows linearly.
#include <benchmark/benchmark.h>

#include "xmlpdu/Catalogue.h"

using namespace quillon;

namespace {

PduStr ProfileBuffer(size_t targetBytes) {
  constexpr size_t kEntryBytes = 37;
  size_t n = targetBytes / kEntryBytes;
  PduStr body;
  body.reserve(n * kEntryBytes);
  for (size_t i = 0; i < n; ++i) {
    body += "\x02\x06";
    body += '\x19';
    body += std::string("\x07\xEA\x0C\x0A\x04\x00\x00\x00\x00\x80\x00\x00", 12);
    body[body.size() - 7] = static_cast<char>(i % 60);
    for (int k = 0; k < 4; ++k) {
      body += '\x06';
      uint32_t v = static_cast<uint32_t>(i * 7 + static_cast<size_t>(k));
      for (int b = 3; b >= 0; --b) body += static_cast<char>((v >> (8 * b)) & 0xFF);
    }
    body += '\x11';
    body += '\x00';
  }
  PduStr pdu;
  pdu += '\x01';
  EncodeVarLengthUnsignedInteger(pdu, static_cast<int32_t>(n));
  pdu += body;
  return pdu;
}

void BM_ProfileBytesToXml(benchmark::State& state) {
  PduStr pdu = ProfileBuffer(static_cast<size_t>(state.range(0)));
  size_t xmlSize = 0;
  for (auto _ : state) {
    auto tree = MakeFromPdu<T_Data>(xmlIgnore, pdu);
    std::string xml = tree->ToXMLString();
    xmlSize = xml.size();
    benchmark::DoNotOptimize(xml);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(pdu.size()));
  state.counters["xml_bytes"] = static_cast<double>(xmlSize);
}

void BM_ProfileXmlToBytes(benchmark::State& state) {
  PduStr pdu = ProfileBuffer(static_cast<size_t>(state.range(0)));
  std::string xml = MakeFromPdu<T_Data>(xmlIgnore, pdu)->ToXMLString();
  for (auto _ : state) {
    auto tree = MakeFromXml<T_Data>(xmlIgnore, xml);
    PduStr out = tree->Encoded();
    if (out.size() != pdu.size()) state.SkipWithError("round trip changed the size");
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(pdu.size()));
}

#define PROFILE_SIZES Arg(10 << 10)->Arg(100 << 10)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_ProfileBytesToXml)->PROFILE_SIZES;
BENCHMARK(BM_ProfileXmlToBytes)->PROFILE_SIZES;

}  // namespace
