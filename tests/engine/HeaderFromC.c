/* Compiled as C: the public header must stay plain C, and the record seen from
   C must have the layout the C++ side was built with. */
#include <stddef.h>
#include <string.h>

#include "engine/DLMSProtocol.h"

#if defined(__cplusplus)
#error "this file must be compiled as C"
#endif

struct CFieldOffset {
  const char* Name;
  size_t Offset;
};

#define AT(f) {#f, offsetof(TDLMSProtocolContext, f)}
const struct CFieldOffset quillon_c_offsets[] = {
    AT(ClientId), AT(ServerId), AT(ApplicationContext), AT(MechanismName), AT(UseDedicatedKey),
    AT(SignInitiateRequest), AT(InitiateRequestCipheringStyle), AT(Secret), AT(HLSChallenge),
    AT(ClientUserIdSupported), AT(ClientUserId), AT(RLRQSupported), AT(SecuritySuite), AT(EncryptionKey),
    AT(AuthenticationKey), AT(KeyEncryptionKey), AT(ClientPrivateSigningKey), AT(ClientPublicSigningKey),
    AT(ClientPrivateKeyAgreementKey), AT(ClientPublicKeyAgreementKey), AT(ClientPrivateEphemeralKey),
    AT(ClientPublicEphemeralKey), AT(ThirdPartyPrivateSigningKey), AT(ThirdPartyPublicSigningKey),
    AT(ThirdPartyPrivateKeyAgreementKey), AT(ThirdPartyPublicKeyAgreementKey), AT(ThirdPartyPrivateEphemeralKey),
    AT(ThirdPartyPublicEphemeralKey), AT(ServerPublicSigningKey), AT(ServerPublicKeyAgreementKey),
    AT(ClientSystemTitle), AT(ThirdPartysystemTitle), AT(ServerSystemTitle), AT(ProtectionLayers), AT(Options),
    AT(DoNotAdvertizeCBBits), AT(NegotiatedConformance), AT(NegotiatedMaxPduSize), AT(ClientMaxReceivePDUSize),
    AT(Result), AT(CallBackResult), AT(LogStringFunc), AT(SendReceiveDataFunc), AT(GetShortNameOfAttributeFunc),
    AT(GetShortNameOfMethodFunc), AT(GetNextInvocationCounterFunc), AT(ReservedRef), AT(ReservedForDllUser),
    {NULL, sizeof(TDLMSProtocolContext)}};
#undef AT

const size_t quillon_c_protection_layer_size = sizeof(TProtectionLayer);

/* A plain C caller: clear a record, then read on it without establishing.
   Returns the result code and hands out the result text. */
int quillon_c_read_uninitialised(const char** text) {
  TDLMSProtocolContext ctx;
  memset(&ctx, 0x5A, sizeof ctx);
  ClearContext(&ctx);
  int rc = ReadAttributes(&ctx, "<GetRequestNormal />");
  *text = ctx.Result;
  return rc;
}
