// Association control: the establishment exchange and the release.
#include "engine/DLMSServices.h"

#include "engine/ExtendedContext.h"

namespace quillon {

void TDLMSServices::DoEstablishAA(PDLMSProtocolContext) {
  RaiseGeneral("Association establishment is not supported by this engine build; use a pre-established association");
}

void TDLMSServices::ReleaseAA(PDLMSProtocolContext ctx) {
  if (!ctx->RLRQSupported) {
    TContextHelper::FreeState(ctx);
    return;
  }
  RaiseGeneral("ReleaseRequest is not supported by this engine build");
}

}  // namespace quillon
