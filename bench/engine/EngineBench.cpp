// Throughput of the engine through its exported C interface, with an
// in-process transport that answers from prepared bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/ProfileData.h"
#include "engine/DLMSProtocol.h"

namespace {

const char kRegisterRead[] =
    "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
    "<ClassId Value=\"0003\" /><InstanceId Value=\"0100010800FF\" /><AttributeId Value=\"02\" />"
    "</AttributeDescriptor></GetRequestNormal>";

// Answers every request with the next prepared response, round robin.
struct TCannedTransport {
  std::vector<std::string> Responses;
  size_t Next = 0;

  static int32_t Call(PDLMSProtocolContext ctx, const uint8_t*, int32_t, uint8_t* in, int32_t maxIn,
                      int32_t* inLen) {
    auto* self = static_cast<TCannedTransport*>(ctx->ReservedForDllUser);
    const std::string& r = self->Responses[self->Next];
    self->Next = (self->Next + 1) % self->Responses.size();
    if (static_cast<int32_t>(r.size()) > maxIn) return 1;
    std::memcpy(in, r.data(), r.size());
    *inLen = static_cast<int32_t>(r.size());
    return 0;
  }
};

void Establish(TDLMSProtocolContext& ctx, TCannedTransport& transport, int32_t maxPdu) {
  ClearContext(&ctx);
  ctx.ApplicationContext = 3;
  ctx.MechanismName = 1;
  ctx.Options = DLMS_OPTION_PRE_ESTABLISHED;
  ctx.NegotiatedConformance = (1u << 19) | (1u << 2) | (1u << 11);
  ctx.NegotiatedMaxPduSize = maxPdu;
  ctx.SendReceiveDataFunc = &TCannedTransport::Call;
  ctx.ReservedForDllUser = &transport;
}

void RegisterReads(benchmark::State& state) {
  TCannedTransport transport;
  transport.Responses.push_back(std::string("\xC4\x01\xC1\x00\x06\x00\x00\x30\x39", 9));
  TDLMSProtocolContext ctx;
  Establish(ctx, transport, 1024);
  if (EstablishAA(&ctx) != 0) state.SkipWithError(ctx.Result);
  for (auto _ : state) {
    if (ReadAttributes(&ctx, kRegisterRead) != 0) {
      state.SkipWithError(ctx.Result);
      break;
    }
    benchmark::DoNotOptimize(ctx.Result);
  }
  state.counters["reads/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  ReleaseAA(&ctx);
}
BENCHMARK(RegisterReads);

// One general block: E0, block control, block number, acknowledged number,
// then the data with its length field.
std::string GeneralBlock(bool last, uint16_t number, const std::string& data) {
  std::string b;
  b += '\xE0';
  b += static_cast<char>(last ? 0x81 : 0x01);
  b += static_cast<char>(number >> 8);
  b += static_cast<char>(number & 0xFF);
  b += '\0';
  b += '\0';
  const size_t n = data.size();
  if (n < 0x80) {
    b += static_cast<char>(n);
  } else {
    b += '\x82';
    b += static_cast<char>(n >> 8);
    b += static_cast<char>(n & 0xFF);
  }
  return b + data;
}

void LargeResponseAsGeneralBlocks(benchmark::State& state) {
  // A GetResponseNormal carrying a 64 KB octet string, cut into 1000-byte blocks.
  const size_t valueSize = 65536;
  std::string apdu("\xC4\x01\xC1\x00\x09\x83\x01\x00\x00", 9);
  apdu += std::string(valueSize, '\x5A');
  TCannedTransport transport;
  const size_t blockSize = 1000;
  uint16_t number = 1;
  for (size_t pos = 0; pos < apdu.size(); pos += blockSize, ++number)
    transport.Responses.push_back(
        GeneralBlock(pos + blockSize >= apdu.size(), number, apdu.substr(pos, blockSize)));
  TDLMSProtocolContext ctx;
  Establish(ctx, transport, 1024);
  if (EstablishAA(&ctx) != 0) state.SkipWithError(ctx.Result);
  for (auto _ : state) {
    transport.Next = 0;
    if (ReadAttributes(&ctx, kRegisterRead) != 0) {
      state.SkipWithError(ctx.Result);
      break;
    }
    benchmark::DoNotOptimize(ctx.Result);
  }
  state.counters["blocks"] = static_cast<double>(transport.Responses.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * apdu.size()));
  ReleaseAA(&ctx);
}
BENCHMARK(LargeResponseAsGeneralBlocks)->Unit(benchmark::kMillisecond);

// A load profile read as a meter sends it: GetResponseWithDataBlock of
// 1000-byte pieces of the buffer, the engine asking for each next block, and
// the whole value's XML as the result.
void ProfileReadInDataBlocks(benchmark::State& state) {
  const std::string value = quillon::bench::ProfileBuffer(static_cast<size_t>(state.range(0)));
  TCannedTransport transport;
  const size_t blockSize = 1000;
  uint32_t number = 1;
  for (size_t pos = 0; pos < value.size(); pos += blockSize, ++number) {
    const std::string piece = value.substr(pos, blockSize);
    std::string b("\xC4\x02\xC1", 3);
    b += static_cast<char>(pos + blockSize >= value.size() ? 1 : 0);
    for (int k = 3; k >= 0; --k) b += static_cast<char>((number >> (8 * k)) & 0xFF);
    b += '\0';  // raw data
    quillon::bench::AppendLength(b, piece.size());
    transport.Responses.push_back(b + piece);
  }
  TDLMSProtocolContext ctx;
  Establish(ctx, transport, 1200);
  if (EstablishAA(&ctx) != 0) state.SkipWithError(ctx.Result);
  size_t xmlBytes = 0;
  for (auto _ : state) {
    transport.Next = 0;
    if (ReadAttributes(&ctx, kRegisterRead) != 0) {
      state.SkipWithError(ctx.Result);
      break;
    }
    xmlBytes = std::strlen(ctx.Result);
  }
  state.counters["blocks"] = static_cast<double>(transport.Responses.size());
  state.counters["xml_bytes"] = static_cast<double>(xmlBytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * value.size()));
  ReleaseAA(&ctx);
}
BENCHMARK(ProfileReadInDataBlocks)->Arg(100 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
