// The client engine, through its exported interface, against a meter whose
// every answer is arbitrary: the association, one service and the release,
// with the answers taken from the input. Whatever the meter says, each call
// must come back with 0 or 1 and a readable result text.
//
// Input: one byte of settings, then the meter's answers, each as a two-byte
// big-endian length and that many bytes (the last one may be short).
//   bit 0      short names (else logical names)
//   bits 1..2  the service: read, read of a list, write, method invocation
//   bit 3      the release is a confirmed exchange
#include <cstring>

#include "FuzzSupport.h"
#include "engine/DLMSProtocol.h"
#include "tests/engine/RequestXml.h"

namespace {

struct TAnswers {
  const uint8_t* Pos;
  const uint8_t* End;
};

int32_t Transport(PDLMSProtocolContext ctx, const uint8_t*, int32_t, uint8_t* in, int32_t maxIn, int32_t* inLength) {
  auto* a = static_cast<TAnswers*>(ctx->ReservedForDllUser);
  if (a->End - a->Pos < 2) {
    std::snprintf(ctx->CallBackResult, sizeof ctx->CallBackResult, "%s", "the meter is silent");
    return 1;
  }
  size_t n = static_cast<size_t>(a->Pos[0] << 8 | a->Pos[1]);
  a->Pos += 2;
  n = std::min(n, static_cast<size_t>(a->End - a->Pos));
  n = std::min(n, static_cast<size_t>(maxIn));
  std::memcpy(in, a->Pos, n);
  a->Pos += n;
  *inLength = static_cast<int32_t>(n);
  return 0;
}

int32_t AttributeName(PDLMSProtocolContext, const uint8_t*, int32_t, int32_t attribute, uint16_t* sn) {
  *sn = static_cast<uint16_t>(0x2BC0 + 8 * (attribute - 1));
  return 0;
}

int32_t MethodName(PDLMSProtocolContext, const uint8_t*, int32_t, int32_t method, uint16_t* sn) {
  *sn = static_cast<uint16_t>(0x2BF0 + 8 * (method - 1));
  return 0;
}

const char kRead[] =
    "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0001\" />"
    "<InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor></GetRequestNormal>";

// A failure, and a service that succeeded, leave a text in Result (the
// message or the response XML); the association calls leave it as it was
// when they succeed.
void CheckOutcome(int32_t result, const TDLMSProtocolContext& ctx, const char* call, bool textOnSuccess) {
  quillon::fuzz::Require(result == 0 || result == 1, "an engine call returned neither 0 nor 1", call);
  if (result == 1 || textOnSuccess) {
    quillon::fuzz::Require(ctx.Result != nullptr, "an engine call left no result text", call);
    (void)std::strlen(ctx.Result);  // must be a terminated, readable text
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  quillon::fuzz::TAllocationBudget budget(size);
  TAnswers answers{data + 1, data + size};
  const uint8_t settings = data[0];
  TDLMSProtocolContext ctx;
  ClearContext(&ctx);
  ctx.ClientId = 16;
  ctx.ServerId = 1;
  ctx.ApplicationContext = (settings & 1) ? 1 : 3;
  ctx.MechanismName = 1;
  ctx.RLRQSupported = (settings & 8) ? 1 : 0;
  ctx.SendReceiveDataFunc = Transport;
  ctx.GetShortNameOfAttributeFunc = AttributeName;
  ctx.GetShortNameOfMethodFunc = MethodName;
  ctx.ReservedForDllUser = &answers;

  int32_t r = EstablishAA(&ctx);
  CheckOutcome(r, ctx, "EstablishAA", false);
  if (r == 0) {
    switch ((settings >> 1) & 3) {
      case 0: r = ReadAttributes(&ctx, kRead); break;
      case 1: r = ReadAttributes(&ctx, enginetest::kGetWithList); break;
      case 2: r = WriteAttributes(&ctx, enginetest::kSetOctets4); break;
      default: r = InvokeMethod(&ctx, enginetest::kAction, 1); break;
    }
    CheckOutcome(r, ctx, "service", true);
  }
  r = ReleaseAA(&ctx);
  CheckOutcome(r, ctx, "ReleaseAA", false);
  // A failed release keeps the state for a retry; without the release
  // exchange the state is only discarded, which cannot fail.
  if (r != 0) {
    ctx.RLRQSupported = 0;
    quillon::fuzz::Require(ReleaseAA(&ctx) == 0, "discarding the engine state failed", ctx.Result);
  }
  quillon::fuzz::Require(ctx.ReservedRef == nullptr, "the engine state outlived ReleaseAA");
  return 0;
}
