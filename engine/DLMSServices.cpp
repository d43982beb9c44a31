#include "engine/DLMSServices.h"

#include "engine/ExtendedContext.h"

namespace quillon {

namespace {
[[noreturn]] void NotYet(const char* what) { RaiseGeneral(Format("%s is not available in this build", what)); }
}  // namespace

std::string TDLMSServices::DoReadAttributes(PDLMSProtocolContext, const std::string&) { NotYet("ReadAttributes"); }
std::string TDLMSServices::DoWriteAttributes(PDLMSProtocolContext, const std::string&) { NotYet("WriteAttributes"); }
std::string TDLMSServices::DoInvokeMethod(PDLMSProtocolContext, const std::string&, bool) { NotYet("InvokeMethod"); }
void TDLMSServices::DoEstablishAA(PDLMSProtocolContext) { NotYet("Association establishment"); }
PduStr TDLMSServices::SendReceiveAPDUBytes(PDLMSProtocolContext, const PduStr&) { NotYet("SendReceiveAPDU"); }

void TDLMSServices::ReleaseAA(PDLMSProtocolContext ctx) {
  if (!ctx->RLRQSupported) {
    TContextHelper::FreeState(ctx);
    return;
  }
  NotYet("ReleaseRequest");
}

}  // namespace quillon
