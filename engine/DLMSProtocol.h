/* Quillon DLMS client engine: the exported flat interface.

   Plain C, usable from C, C++ and Python ctypes. The record layout is a binary
   interface between independently built programs, so every offset is pinned
   below; do not reorder or resize anything.

   Calling order: ClearContext, fill the fields, EstablishAA, any number of
   ReadAttributes / WriteAttributes / InvokeMethod / SendReceiveAPDU, ReleaseAA.
   Every entry point except ClearContext and DLMSProtocolVersion returns 0 on
   success and 1 on failure; on failure Result points to the message. */
#ifndef QUILLON_DLMS_PROTOCOL_H
#define QUILLON_DLMS_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

#include "security/DLMSRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QUILLON_BUILDING_DLMSPROTOCOL)
#define DLMSPROTOCOL_API __attribute__((visibility("default")))
#else
#define DLMSPROTOCOL_API
#endif

struct TDLMSProtocolContext;
typedef struct TDLMSProtocolContext* PDLMSProtocolContext;

/* One log line per call; s is NUL-terminated. */
typedef void (*TLogStringFunc)(const char* s);

/* Send OutDataLength bytes as one APDU, wait for the whole response, copy it to
   InDataBuffer (the engine always offers 262144 bytes), set *InDataLength and
   return 0. Any other result fails the engine call with CallBackResult as text. */
typedef int32_t (*TSendReceiveDataFunc)(PDLMSProtocolContext Context, const uint8_t* OutDataBuffer,
                                        int32_t OutDataLength, uint8_t* InDataBuffer,
                                        int32_t MaxInDataLength, int32_t* InDataLength);

/* Short-name lookups for SN referencing. InstanceId is a NUL-terminated copy of
   the six logical-name bytes. Result 1 means failure (text in CallBackResult). */
typedef int32_t (*TGetShortNameOfAttributeFunc)(PDLMSProtocolContext Context, const uint8_t* InstanceId,
                                                int32_t ClassId, int32_t AttributeId, uint16_t* ShortName);
typedef int32_t (*TGetShortNameOfMethodFunc)(PDLMSProtocolContext Context, const uint8_t* InstanceId,
                                             int32_t ClassId, int32_t MethodId, uint16_t* ShortName);

/* The next invocation counter for a security header. */
typedef uint32_t (*TGetNextInvocationCounterFunc)(void);

/* Options bits. */
#define DLMS_OPTION_NO_ACCESS_SERVICE 1u
#define DLMS_OPTION_PRE_ESTABLISHED 2u
#define DLMS_OPTION_GENERAL_CIPHERING_INITIATE 4u
/* Tolerances for meters that deviate; each logs when it takes effect. */
#define DLMS_OPTION_BLOCKS_WITHOUT_CONFORMANCE 8u /* data blocks accepted without their conformance bit */
#define DLMS_OPTION_IGNORE_TRAILING_BYTES 16u     /* bytes after a deciphered APDU dropped */

typedef struct TDLMSProtocolContext {
  int32_t ClientId;                      /*   0 */
  int32_t ServerId;                      /*   4 */
  int32_t ApplicationContext;            /*   8: 1 SN, 2 SN ciphered, 3 LN, 4 LN ciphered */
  int32_t MechanismName;                 /*  12: 1 lowest .. 8 high ECDSA */
  int32_t UseDedicatedKey;               /*  16 */
  int32_t SignInitiateRequest;           /*  20 */
  uint32_t InitiateRequestCipheringStyle;/*  24: reserved */
  int32_t Reserved1_;                    /*  28 */
  TByteArray Secret;                     /*  32 */
  TByteArray HLSChallenge;               /*  48 */
  int32_t ClientUserIdSupported;         /*  64 */
  int32_t ClientUserId;                  /*  68 */
  int32_t RLRQSupported;                 /*  72 */
  int32_t SecuritySuite;                 /*  76: 0 none, 1 suite 0, 2 suite 1, 3 suite 2 */
  const uint8_t* EncryptionKey;          /*  80 */
  const uint8_t* AuthenticationKey;      /*  88 */
  const uint8_t* KeyEncryptionKey;       /*  96 */
  const uint8_t* ClientPrivateSigningKey;          /* 104 */
  const uint8_t* ClientPublicSigningKey;           /* 112 */
  const uint8_t* ClientPrivateKeyAgreementKey;     /* 120 */
  const uint8_t* ClientPublicKeyAgreementKey;      /* 128 */
  const uint8_t* ClientPrivateEphemeralKey;        /* 136 */
  const uint8_t* ClientPublicEphemeralKey;         /* 144 */
  const uint8_t* ThirdPartyPrivateSigningKey;      /* 152 */
  const uint8_t* ThirdPartyPublicSigningKey;       /* 160 */
  const uint8_t* ThirdPartyPrivateKeyAgreementKey; /* 168 */
  const uint8_t* ThirdPartyPublicKeyAgreementKey;  /* 176 */
  const uint8_t* ThirdPartyPrivateEphemeralKey;    /* 184 */
  const uint8_t* ThirdPartyPublicEphemeralKey;     /* 192 */
  const uint8_t* ServerPublicSigningKey;           /* 200 */
  const uint8_t* ServerPublicKeyAgreementKey;      /* 208 */
  const uint8_t* ClientSystemTitle;      /* 216: 8 bytes */
  const uint8_t* ThirdPartysystemTitle;  /* 224: 8 bytes or null */
  const uint8_t* ServerSystemTitle;      /* 232: 8 bytes */
  TProtectionLayer ProtectionLayers[4];  /* 240 */
  uint32_t Options;                      /* 496 */
  uint32_t DoNotAdvertizeCBBits;         /* 500 */
  uint32_t NegotiatedConformance;        /* 504 */
  int32_t NegotiatedMaxPduSize;          /* 508 */
  int32_t ClientMaxReceivePDUSize;       /* 512 */
  int32_t Reserved2_;                    /* 516 */
  const char* Result;                    /* 520 */
  char CallBackResult[256];              /* 528 */
  TLogStringFunc LogStringFunc;                               /* 784 */
  TSendReceiveDataFunc SendReceiveDataFunc;                   /* 792 */
  TGetShortNameOfAttributeFunc GetShortNameOfAttributeFunc;   /* 800 */
  TGetShortNameOfMethodFunc GetShortNameOfMethodFunc;         /* 808 */
  TGetNextInvocationCounterFunc GetNextInvocationCounterFunc; /* 816 */
  void* ReservedRef;                     /* 824: engine state, never touch */
  void* ReservedForDllUser;              /* 832: free for the caller */
} TDLMSProtocolContext;

DLMSPROTOCOL_API int32_t ClearContext(PDLMSProtocolContext Context);
DLMSPROTOCOL_API const char* DLMSProtocolVersion(void);
DLMSPROTOCOL_API int32_t EstablishAA(PDLMSProtocolContext Context);
DLMSPROTOCOL_API int32_t ReadAttributes(PDLMSProtocolContext Context, const char* RequestXml);
DLMSPROTOCOL_API int32_t WriteAttributes(PDLMSProtocolContext Context, const char* RequestXml);
DLMSPROTOCOL_API int32_t InvokeMethod(PDLMSProtocolContext Context, const char* RequestXml,
                                      int32_t ExpectReturnParameters);
DLMSPROTOCOL_API int32_t SendReceiveAPDU(PDLMSProtocolContext Context, const uint8_t* OutAPDU,
                                         int32_t OutAPDULength, uint8_t* InAPDU, int32_t MaxInAPDULength,
                                         int32_t* InAPDULength);
DLMSPROTOCOL_API int32_t ReleaseAA(PDLMSProtocolContext Context);

#ifdef __cplusplus
}
#endif

#define QUILLON_CTX_AT(field, off) \
  QUILLON_STATIC_ASSERT(offsetof(TDLMSProtocolContext, field) == off, "TDLMSProtocolContext." #field)
QUILLON_STATIC_ASSERT(sizeof(TDLMSProtocolContext) == 840, "TDLMSProtocolContext is 840 bytes");
QUILLON_STATIC_ASSERT(__alignof__(TDLMSProtocolContext) == 8, "TDLMSProtocolContext is 8-byte aligned");
QUILLON_CTX_AT(ClientId, 0);
QUILLON_CTX_AT(ServerId, 4);
QUILLON_CTX_AT(ApplicationContext, 8);
QUILLON_CTX_AT(MechanismName, 12);
QUILLON_CTX_AT(UseDedicatedKey, 16);
QUILLON_CTX_AT(SignInitiateRequest, 20);
QUILLON_CTX_AT(InitiateRequestCipheringStyle, 24);
QUILLON_CTX_AT(Secret, 32);
QUILLON_CTX_AT(HLSChallenge, 48);
QUILLON_CTX_AT(ClientUserIdSupported, 64);
QUILLON_CTX_AT(ClientUserId, 68);
QUILLON_CTX_AT(RLRQSupported, 72);
QUILLON_CTX_AT(SecuritySuite, 76);
QUILLON_CTX_AT(EncryptionKey, 80);
QUILLON_CTX_AT(AuthenticationKey, 88);
QUILLON_CTX_AT(KeyEncryptionKey, 96);
QUILLON_CTX_AT(ClientPrivateSigningKey, 104);
QUILLON_CTX_AT(ClientPublicSigningKey, 112);
QUILLON_CTX_AT(ClientPrivateKeyAgreementKey, 120);
QUILLON_CTX_AT(ClientPublicKeyAgreementKey, 128);
QUILLON_CTX_AT(ClientPrivateEphemeralKey, 136);
QUILLON_CTX_AT(ClientPublicEphemeralKey, 144);
QUILLON_CTX_AT(ThirdPartyPrivateSigningKey, 152);
QUILLON_CTX_AT(ThirdPartyPublicSigningKey, 160);
QUILLON_CTX_AT(ThirdPartyPrivateKeyAgreementKey, 168);
QUILLON_CTX_AT(ThirdPartyPublicKeyAgreementKey, 176);
QUILLON_CTX_AT(ThirdPartyPrivateEphemeralKey, 184);
QUILLON_CTX_AT(ThirdPartyPublicEphemeralKey, 192);
QUILLON_CTX_AT(ServerPublicSigningKey, 200);
QUILLON_CTX_AT(ServerPublicKeyAgreementKey, 208);
QUILLON_CTX_AT(ClientSystemTitle, 216);
QUILLON_CTX_AT(ThirdPartysystemTitle, 224);
QUILLON_CTX_AT(ServerSystemTitle, 232);
QUILLON_CTX_AT(ProtectionLayers, 240);
QUILLON_CTX_AT(Options, 496);
QUILLON_CTX_AT(DoNotAdvertizeCBBits, 500);
QUILLON_CTX_AT(NegotiatedConformance, 504);
QUILLON_CTX_AT(NegotiatedMaxPduSize, 508);
QUILLON_CTX_AT(ClientMaxReceivePDUSize, 512);
QUILLON_CTX_AT(Result, 520);
QUILLON_CTX_AT(CallBackResult, 528);
QUILLON_CTX_AT(LogStringFunc, 784);
QUILLON_CTX_AT(SendReceiveDataFunc, 792);
QUILLON_CTX_AT(GetShortNameOfAttributeFunc, 800);
QUILLON_CTX_AT(GetShortNameOfMethodFunc, 808);
QUILLON_CTX_AT(GetNextInvocationCounterFunc, 816);
QUILLON_CTX_AT(ReservedRef, 824);
QUILLON_CTX_AT(ReservedForDllUser, 832);
#undef QUILLON_CTX_AT

#endif
