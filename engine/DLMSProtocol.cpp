// The eight exported entry points. Each one catches every error and turns it
// into result 1 with the message in the record's Result; nothing escapes to
// the caller, whatever language it is written in.
#include "engine/DLMSProtocol.h"

#include <cstring>
#include <exception>
#include <string>

#include "engine/DLMSServices.h"
#include "engine/ExtendedContext.h"

using namespace quillon;

namespace {

const char kVersionText[] = "DLMSProtocol version 107";
const char kNotInitialisedText[] = "Context not properly initialized (DoEstablishAA not called)";
// What Result points to once the engine state, and with it the last result
// text, has been released: never a dangling pointer.
const char kEmptyText[] = "";

// Keeps a message in the engine state and points the record at it.
void SetResult(PDLMSProtocolContext ctx, std::string text) {
  TExtendedContext& state = TContextHelper::State(ctx);
  state.Result = std::move(text);
  ctx->Result = state.Result.c_str();
}

// Runs body on an initialised context and applies the result convention.
template <class TBody>
int32_t Guarded(PDLMSProtocolContext ctx, TBody&& body) {
  if (ctx == nullptr) return 1;
  if (!TContextHelper::IsInitialised(ctx)) {
    ctx->Result = kNotInitialisedText;
    return 1;
  }
  try {
    body();
    return 0;
  } catch (const std::exception& e) {
    SetResult(ctx, e.what());
  } catch (...) {
    SetResult(ctx, "Unknown failure");
  }
  return 1;
}

uint32_t BuiltInInvocationCounter() { return TFrameCounter::GetNext(); }

std::string ToInternalText(const char* s) { return s == nullptr ? std::string() : std::string(s); }

}  // namespace

extern "C" {

int32_t ClearContext(PDLMSProtocolContext Context) {
  if (Context == nullptr) return 1;
  std::memset(Context, 0, sizeof(TDLMSProtocolContext));
  return 0;
}

const char* DLMSProtocolVersion(void) { return kVersionText; }

int32_t EstablishAA(PDLMSProtocolContext Context) {
  if (Context == nullptr) return 1;
  // A state still reachable through the record would be lost when the new one
  // replaces it; free it first, and with it the text Result may point to.
  if (TContextHelper::IsInitialised(Context)) Context->Result = kEmptyText;
  TContextHelper::FreeState(Context);
  try {
    TContextHelper::CreateState(Context);
  } catch (const std::exception&) {
    Context->Result = "Out of memory";
    return 1;
  }
  return Guarded(Context, [Context] {
    if (Context->ApplicationContext < 1 || Context->ApplicationContext > 4)
      RaiseGeneral("Illegal Application Context Name");
    if (Context->MechanismName < 1 || Context->MechanismName > 8) RaiseGeneral("Illegal Mechanism Name");
    if (Context->SendReceiveDataFunc == nullptr)
      RaiseGeneral("Call-back \"SendReceiveDataFunc\" is not specified");
    if (Context->GetNextInvocationCounterFunc == nullptr)
      Context->GetNextInvocationCounterFunc = BuiltInInvocationCounter;
    TContextHelper::BindLogging(Context);
    TDLMSServices::LoadSecurityMaterial(Context);
    if (Context->Options & DLMS_OPTION_PRE_ESTABLISHED) {
      if (Context->NegotiatedConformance == 0 || Context->NegotiatedMaxPduSize < 12)
        RaiseGeneral("Pre-established association defined with an incorrect \"Negotiated\" element.");
    } else {
      TDLMSServices::DoEstablishAA(Context);
    }
  });
}

int32_t ReadAttributes(PDLMSProtocolContext Context, const char* RequestXml) {
  return Guarded(Context, [&] { SetResult(Context, TDLMSServices::DoReadAttributes(Context, ToInternalText(RequestXml))); });
}

int32_t WriteAttributes(PDLMSProtocolContext Context, const char* RequestXml) {
  return Guarded(Context,
                 [&] { SetResult(Context, TDLMSServices::DoWriteAttributes(Context, ToInternalText(RequestXml))); });
}

int32_t InvokeMethod(PDLMSProtocolContext Context, const char* RequestXml, int32_t ExpectReturnParameters) {
  return Guarded(Context, [&] {
    SetResult(Context,
              TDLMSServices::DoInvokeMethod(Context, ToInternalText(RequestXml), ExpectReturnParameters != 0));
  });
}

int32_t SendReceiveAPDU(PDLMSProtocolContext Context, const uint8_t* OutAPDU, int32_t OutAPDULength,
                        uint8_t* InAPDU, int32_t MaxInAPDULength, int32_t* InAPDULength) {
  return Guarded(Context, [&] {
    const PduStr response =
        TDLMSServices::SendReceiveAPDUBytes(Context, TContextHelper::BytesOf(OutAPDU, OutAPDULength));
    const int32_t length = static_cast<int32_t>(response.size());
    // The length goes out before the size check so that a caller whose buffer
    // is too small learns what it needs.
    if (InAPDULength != nullptr) *InAPDULength = length;
    if (MaxInAPDULength < length || (InAPDU == nullptr && length > 0))
      RaiseGeneral(Format("InAPDU buffer too small (%d), needs %d ", MaxInAPDULength, length));
    if (length > 0) std::memcpy(InAPDU, response.data(), response.size());
  });
}

int32_t ReleaseAA(PDLMSProtocolContext Context) {
  const int32_t rc = Guarded(Context, [Context] { TDLMSServices::ReleaseAA(Context); });
  if (rc == 0) Context->Result = kEmptyText;
  return rc;
}

}  // extern "C"
