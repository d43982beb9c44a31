// Association control: the establishment exchange and the release.
#include "engine/DLMSServices.h"

#include "engine/ExtendedContext.h"
#include "engine/PduHelpers.h"

namespace quillon {

void TDLMSServices::DoEstablishAA(PDLMSProtocolContext) {
  RaiseGeneral("Association establishment is not supported by this engine build; use a pre-established association");
}

void TDLMSServices::ReleaseAA(PDLMSProtocolContext ctx) {
  if (!ctx->RLRQSupported) {
    TContextHelper::FreeState(ctx);
    return;
  }
  // A ciphered context repeats its protected InitiateRequest in the release
  // request; that needs the security suite's layers.
  if (TContextHelper::IsCipheredContext(ctx))
    RaiseGeneral("Releasing a ciphered association is not supported by this engine build");
  auto request = TMake::COSEMPduFromXml("<ReleaseRequest><Reason Value = \"Normal\" /></ReleaseRequest>");
  auto response = SendReceiveCOSEMPdu(ctx, *request);
  const T_ReleaseResponse* rlre = ServiceOf<T_ReleaseResponse>(*response);
  if (rlre == nullptr) RaiseGeneral("Unexpected response to ReleaseRequest");
  if (rlre->Reason() == nullptr || rlre->Reason()->Value != 0) RaiseGeneral("Unexpected reason in ReleaseResponse");
  TContextHelper::FreeState(ctx);
}

}  // namespace quillon
