// Throughput of the hex text conversions and of the XML pull reader.
#include <benchmark/benchmark.h>

#include <random>

#include "xmlpdu/infra/Misc.h"
#include "xmlpdu/infra/XMLParser.h"

using namespace quillon;

namespace {

PduStr RandomBytes(size_t n) {
  std::mt19937 rng(42);
  PduStr s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

void BM_BytesToHex(benchmark::State& state) {
  PduStr bytes = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(TMisc::ByteStrToHexStr(bytes));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_BytesToHex)->Arg(64)->Arg(64 << 10)->Arg(1 << 20);

void BM_HexToBytes(benchmark::State& state) {
  std::string hex = TMisc::ByteStrToHexStr(RandomBytes(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(TMisc::HexStrToByteStr(hex));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(hex.size()));
}
BENCHMARK(BM_HexToBytes)->Arg(64)->Arg(64 << 10)->Arg(1 << 20);

// A large object-list-like XML text, read token by token.
std::string LargeXml(size_t targetBytes) {
  std::string xml = "<?xml version=\"1.0\"?>\r\n<Array Qty=\"AUTO\" >\r\n";
  while (xml.size() < targetBytes) {
    xml +=
        "  <Structure Qty=\"0004\" >\r\n    <LongUnsigned Value=\"0003\" />\r\n"
        "    <OctetString Value=\"0100010800FF\" />\r\n    <Unsigned Value=\"00\" />\r\n"
        "    <Structure Qty=\"0002\" >\r\n      <Array Qty=\"0000\" >\r\n      </Array>\r\n"
        "    </Structure>\r\n  </Structure>\r\n";
  }
  xml += "</Array>\r\n";
  return xml;
}

void BM_XmlTokenize(benchmark::State& state) {
  std::string xml = LargeXml(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TXMLParser p(xml);
    int tags = 0;
    while (p.FToken != xtEndOfBuffer) {
      if (p.FToken == xtStartTag) benchmark::DoNotOptimize(p.Tag());
      ++tags;
      p.Next();
    }
    benchmark::DoNotOptimize(tags);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(xml.size()));
}
BENCHMARK(BM_XmlTokenize)->Arg(64 << 10)->Arg(4 << 20);

}  // namespace
