// The association exchange as the engine handles it: the AARQ from its XML
// to bytes, the AARE from bytes to a tree and to XML.
#include <benchmark/benchmark.h>

#include "xmlpdu/Make.h"

using namespace quillon;

namespace {

const char kAarqXml[] =
    "<AssociationRequest><ApplicationContextName Value=\"LN_WITH_CIPHERING\" />"
    "<CallingAPTitle Value = \"4D4D4D0000BC614E\"/><SenderACSERequirements Value=\"1\" />"
    "<MechanismName Value=\"HIGH_SECURITY_GMAC\" /><CallingAuthenticationValue Value = \"0102030405060708\" />"
    "<InitiateRequest><ProposedDlmsVersionNumber Value=\"06\" /><ProposedConformance>"
    "<ConformanceBit Name=\"BlockTransferWithGetOrRead\" /><ConformanceBit Name=\"Get\" />"
    "<ConformanceBit Name=\"Set\" /><ConformanceBit Name=\"SelectiveAccess\" /><ConformanceBit Name=\"Action\" />"
    "</ProposedConformance><ProposedMaxPduSize Value=\"04B0\" /></InitiateRequest></AssociationRequest>";

const char kAareHex[] =
    "61 56 A1 09 06 07 60 85 74 05 08 01 01 A2 03 02 01 00 A3 05 A1 03 02 01 0E A4 0A 04 08 4D 4D 4D 00 00 BC 61 4E "
    "88 02 07 80 89 07 60 85 74 05 08 02 05 AA 12 80 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF "
    "BE 10 04 0E 08 00 06 5F 1F 04 00 00 50 1F 01 F4 00 07";

void BM_AarqXmlToBytes(benchmark::State& state) {
  for (auto _ : state) {
    PduStr bytes;
    TMake::COSEMPduFromXml(kAarqXml)->EncodeToPduStr(bytes);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_AarqXmlToBytes);

void BM_AareBytesToTree(benchmark::State& state) {
  PduStr bytes = TMisc::HexStrToByteStr(kAareHex);
  for (auto _ : state) benchmark::DoNotOptimize(TMake::COSEMPduFromPdu(bytes));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_AareBytesToTree);

void BM_AareBytesToXml(benchmark::State& state) {
  PduStr bytes = TMisc::HexStrToByteStr(kAareHex);
  for (auto _ : state) benchmark::DoNotOptimize(TMake::COSEMPduFromPdu(bytes)->ToXMLString());
}
BENCHMARK(BM_AareBytesToXml);

}  // namespace
