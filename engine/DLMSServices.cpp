// Association control: the establishment exchange and the release.
#include "engine/DLMSServices.h"

#include "engine/ExtendedContext.h"
#include "engine/PduHelpers.h"
#include "xmlpdu/ACSE.h"

namespace quillon {

void TDLMSServices::ReleaseAA(PDLMSProtocolContext ctx) {
  if (!ctx->RLRQSupported) {
    TContextHelper::FreeState(ctx);
    return;
  }
  // A ciphered context repeats its InitiateRequest in the release request,
  // protected the way it was at establishment.
  const bool ciphered = TContextHelper::IsCipheredContext(ctx);
  TExtendedContext& state = TContextHelper::State(ctx);
  std::string xml = "<ReleaseRequest><Reason Value = \"Normal\" />";
  if (ciphered) {
    CheckAssertion(state.FInitiateRequest != nullptr, "InitiateRequest kept at establishment");
    xml += "<UserInformation>" + state.FInitiateRequest->ToXMLString() + "</UserInformation>";
  }
  xml += "</ReleaseRequest>";
  auto request = TMake::COSEMPduFromXml(xml);
  if (ciphered) {
    T_BERCOSEMpdu* userInformation = ServiceOf<T_ReleaseRequest>(*request)->UserInformation();
    CheckAssertion(userInformation != nullptr, "release request carries an InitiateRequest");
    TCiphering::ProtectUserInformation(ctx, *userInformation);
  }
  auto response = SendReceiveCOSEMPdu(ctx, *request);
  T_ReleaseResponse* rlre = ServiceOf<T_ReleaseResponse>(*response);
  if (rlre == nullptr) RaiseGeneral("Unexpected response to ReleaseRequest");
  if (rlre->Reason() == nullptr || rlre->Reason()->Value != 0) RaiseGeneral("Unexpected reason in ReleaseResponse");
  if (ciphered) {
    T_BERCOSEMpdu* userInformation = rlre->UserInformation();
    if (userInformation == nullptr || userInformation->Value == nullptr) RaiseGeneral("User-information not ciphered");
    TCiphering::UnprotectUserInformation(ctx, *userInformation);
    const auto* initiate = dynamic_cast<const T_InitiateResponse*>(userInformation->Value.get());
    if (initiate == nullptr) RaiseGeneral("User-information is not InitiateResponse");
    TContextHelper::Logging(ctx).LogProtocolItem(*initiate, "DECIPHERED USER INFORMATION", 20);
  }
  TContextHelper::FreeState(ctx);
}

}  // namespace quillon
