// A full high-level-security (GMAC) establishment in a ciphered LN context
// followed by one ciphered read, per iteration, through the exported C
// interface. The in-process transport plays the meter with the security
// suite's GCM: it seals every answer afresh, as a meter would.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "engine/DLMSProtocol.h"
#include "security/GCMCipher.h"

using quillon::PduStr;
using quillon::TGCMCipher;
using quillon::TSecurityControl;

namespace {

const std::string kKey(16, '\x42');
const std::string kClientTitle("MMM\x00\x00\xBC\x61\x4E", 8);
const std::string kServerTitle("MMM\x00\x00\x00\x00\x01", 8);
const std::string kCtoS = "0123456789ABCDEF";
const std::string kStoC = "FEDCBA9876543210";

const char kRegisterRead[] =
    "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
    "<ClassId Value=\"0003\" /><InstanceId Value=\"0100010800FF\" /><AttributeId Value=\"02\" />"
    "</AttributeDescriptor></GetRequestNormal>";

std::string Tlv(uint8_t tag, const std::string& v) {
  std::string s(1, static_cast<char>(tag));
  if (v.size() >= 128) s += '\x81';
  return s + static_cast<char>(v.size()) + v;
}

struct TBenchMeter {
  uint32_t Counter = 1;

  std::string Seal(uint8_t tag, const std::string& plain) {
    TSecurityControl sc;
    sc.COSEMProtectionServices = {quillon::psAuthentication, quillon::psEncryption};
    return Tlv(tag, TGCMCipher::GCMEncrypt(kServerTitle, plain, kKey, kKey, sc, Counter++, {}));
  }

  std::string Answer(uint8_t first) {
    // InitiateResponse: version 6, conformance Get and Action, 1024, VAA 0007.
    static const std::string initiate("\x08\x00\x06\x5F\x1F\x04\x00\x00\x00\x11\x04\x00\x00\x07", 14);
    switch (first) {
      case 0x60: {
        std::string c;
        c += Tlv(0xA1, Tlv(0x06, std::string("\x60\x85\x74\x05\x08\x01\x03", 7)));
        c += Tlv(0xA2, std::string("\x02\x01\x00", 3));
        c += Tlv(0xA3, Tlv(0xA1, std::string("\x02\x01\x0E", 3)));
        c += Tlv(0xA4, Tlv(0x04, kServerTitle));
        c += Tlv(0x88, std::string("\x07\x80", 2));
        c += Tlv(0x89, std::string("\x60\x85\x74\x05\x08\x02\x05", 7));
        c += Tlv(0xAA, Tlv(0x80, kStoC));
        c += Tlv(0xBE, Tlv(0x04, Seal(0x28, initiate)));
        return Tlv(0x61, c);
      }
      case 0xCB: {
        const PduStr proof = TGCMCipher::ResponseToChallenge(kServerTitle, kCtoS, kKey, kKey, Counter++, 0);
        return Seal(0xCF, std::string("\xC7\x01\xC1\x00\x01\x00\x09", 7) + static_cast<char>(proof.size()) + proof);
      }
      case 0xC8: return Seal(0xCC, std::string("\xC4\x01\xC1\x00\x06\x00\x00\x30\x39", 9));
      default: return std::string("\xD8\x01\x02", 3);
    }
  }

  static int32_t Call(PDLMSProtocolContext ctx, const uint8_t* out, int32_t outLen, uint8_t* in, int32_t maxIn,
                      int32_t* inLen) {
    auto* self = static_cast<TBenchMeter*>(ctx->ReservedForDllUser);
    const std::string r = self->Answer(outLen > 0 ? out[0] : 0);
    if (static_cast<int32_t>(r.size()) > maxIn) return 1;
    std::memcpy(in, r.data(), r.size());
    *inLen = static_cast<int32_t>(r.size());
    return 0;
  }
};

void Prepare(TDLMSProtocolContext& ctx, TBenchMeter& meter, const std::string& challenge) {
  ClearContext(&ctx);
  ctx.ApplicationContext = 4;
  ctx.MechanismName = 6;
  ctx.SecuritySuite = 1;
  ctx.EncryptionKey = reinterpret_cast<const uint8_t*>(kKey.data());
  ctx.AuthenticationKey = ctx.EncryptionKey;
  ctx.KeyEncryptionKey = ctx.EncryptionKey;
  ctx.ClientSystemTitle = reinterpret_cast<const uint8_t*>(kClientTitle.data());
  ctx.ServerSystemTitle = reinterpret_cast<const uint8_t*>(kServerTitle.data());
  ctx.HLSChallenge.Size = static_cast<int32_t>(challenge.size());
  ctx.HLSChallenge.Bytes = reinterpret_cast<uint8_t*>(const_cast<char*>(challenge.data()));
  ctx.ProtectionLayers[0].Kind = 1;
  ctx.ProtectionLayers[0].Style = 1;
  ctx.ProtectionLayers[0].ProtectionServices = 3;
  ctx.SendReceiveDataFunc = &TBenchMeter::Call;
  ctx.ReservedForDllUser = &meter;
}

void GmacEstablishmentAndCipheredRead(benchmark::State& state) {
  TBenchMeter meter;
  TDLMSProtocolContext ctx;
  for (auto _ : state) {
    Prepare(ctx, meter, kCtoS);
    if (EstablishAA(&ctx) != 0 || ReadAttributes(&ctx, kRegisterRead) != 0) {
      state.SkipWithError(ctx.Result);
      break;
    }
    benchmark::DoNotOptimize(ctx.Result);
    ReleaseAA(&ctx);  // RLRQSupported is 0: the state goes, nothing is sent
  }
  state.counters["associations/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(GmacEstablishmentAndCipheredRead);

}  // namespace
