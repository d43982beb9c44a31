/* Records shared by the exported engine interface and the security suite.
   Plain C: the engine's public header includes this file. */
#ifndef QUILLON_DLMS_RECORDS_H
#define QUILLON_DLMS_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A caller-owned run of bytes; Size <= 0 means empty. */
typedef struct TByteArray {
  int32_t Size;
  int32_t Reserved_; /* padding */
  uint8_t* Bytes;
} TByteArray;

/* One protection layer to wrap around every request. Kind 0 ends the list. */
typedef struct TProtectionLayer {
  int32_t Kind;        /* 0 none, 1 ciphering, 2 signing */
  int32_t Style;       /* ciphering: 1..5 */
  int32_t KeyInfo;     /* style 5: 1 identified, 2 wrapped, 3 agreed OPDH, 4 agreed SUM */
  int32_t Originator;  /* 1 client system title, 2 third party */
  int32_t DateTime;    /* Bool32 */
  int32_t Reserved_;   /* padding */
  TByteArray TransactionId;
  TByteArray OtherInformation;
  uint32_t ProtectionServices; /* bit 0 authentication, 1 encryption, 2 signature */
  uint32_t Reserved2_;         /* padding */
} TProtectionLayer;

#ifdef __cplusplus
}
#define QUILLON_STATIC_ASSERT static_assert
#else
#define QUILLON_STATIC_ASSERT _Static_assert
#endif

QUILLON_STATIC_ASSERT(sizeof(TByteArray) == 16, "TByteArray is 16 bytes");
QUILLON_STATIC_ASSERT(offsetof(TByteArray, Size) == 0, "TByteArray.Size");
QUILLON_STATIC_ASSERT(offsetof(TByteArray, Bytes) == 8, "TByteArray.Bytes");
QUILLON_STATIC_ASSERT(sizeof(TProtectionLayer) == 64, "TProtectionLayer is 64 bytes");
QUILLON_STATIC_ASSERT(offsetof(TProtectionLayer, Kind) == 0, "TProtectionLayer.Kind");
QUILLON_STATIC_ASSERT(offsetof(TProtectionLayer, Style) == 4, "TProtectionLayer.Style");
QUILLON_STATIC_ASSERT(offsetof(TProtectionLayer, KeyInfo) == 8, "TProtectionLayer.KeyInfo");
QUILLON_STATIC_ASSERT(offsetof(TProtectionLayer, Originator) == 12, "TProtectionLayer.Originator");
QUILLON_STATIC_ASSERT(offsetof(TProtectionLayer, DateTime) == 16, "TProtectionLayer.DateTime");
QUILLON_STATIC_ASSERT(offsetof(TProtectionLayer, TransactionId) == 24, "TProtectionLayer.TransactionId");
QUILLON_STATIC_ASSERT(offsetof(TProtectionLayer, OtherInformation) == 40, "TProtectionLayer.OtherInformation");
QUILLON_STATIC_ASSERT(offsetof(TProtectionLayer, ProtectionServices) == 56, "TProtectionLayer.ProtectionServices");

#endif
