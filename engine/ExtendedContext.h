// The engine state behind one TDLMSProtocolContext, the built-in invocation
// counter, and the helper operations through which every engine service reads
// the caller's record.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/DLMSProtocol.h"
#include "security/ProtectionTypes.h"
#include "security/SecurityMaterial.h"
#include "xmlpdu/infra/LoggingContext.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

enum class TAssociationState { asUnknown, asIdle, asAssociated };
using enum TAssociationState;

class T_COSEMpdu;
class T_InitiateRequest;

inline constexpr int32_t kExtendedContextMagic = 0x64F4C12B;
// The receive buffer offered to SendReceiveDataFunc; the callback contract
// promises exactly this many bytes, no more.
inline constexpr int32_t kMaxInDataLength = 262144;

class TExtendedContext {
public:
  TExtendedContext();
  ~TExtendedContext();
  TExtendedContext(const TExtendedContext&) = delete;
  TExtendedContext& operator=(const TExtendedContext&) = delete;

  int32_t MagicNumber = kExtendedContextMagic;
  TAssociationState AssociationState = asUnknown;
  std::string AAREXml;
  bool ResponseReceivedUsingGBT = false;
  std::unique_ptr<T_COSEMpdu> FAARQCOSEMPdu;  // the AARQ as built
  std::unique_ptr<T_COSEMpdu> FAARECOSEMPdu;  // the AARE as received
  // Kept for ciphered contexts: the release request carries it again.
  std::unique_ptr<T_InitiateRequest> FInitiateRequest;
  std::unique_ptr<TLoggingContext> FLoggingContext;
  // The keys of this association, loaded from the record by EstablishAA.
  std::unique_ptr<TSecurityMaterialClient> FSecurityMaterial;
  TProtectionServices ProtectionAppliedToInitiateRequest;
  bool UseProtectionAppliedToInitiateRequest = false;
  std::vector<uint8_t> InBuffer;
  std::string Result;
  // The highest authenticated invocation counter received from the server in
  // this association, one for the dedicated key and one for the others: a
  // response that does not exceed it is a replay.
  struct TReceivedCounter {
    bool Seen = false;
    uint32_t Last = 0;
  };
  TReceivedCounter ServerCounters[2];
  // A data block arrived without its conformance bit and was taken (said
  // once per association).
  bool BlocksWithoutConformanceLogged = false;
};

// The built-in invocation counter: up to five strictly increasing values per
// second of UTC, never running ahead of the clock and never repeating or
// going back within the process, whatever the local time or other threads do.
class TFrameCounter {
public:
  static uint32_t GetNext();
  // The same step for a given clock reading (whole seconds since 2011-04-07
  // 00:00 UTC); GetNext feeds it the current time.
  static uint32_t NextFor(int64_t secondsSinceEpoch2011);
  // The process-wide last value handed out.
  static std::atomic<uint32_t> FLastValue;
};

// Helper operations on a caller's record. Every engine service reads the
// record through these so the conversions live in one place.
class TContextHelper {
public:
  static void CreateState(PDLMSProtocolContext ctx);
  static void FreeState(PDLMSProtocolContext ctx);
  // True only for a reference to live engine state made by CreateState; never
  // dereferences anything it did not hand out. ReservedRef holds a handle
  // that is never issued twice in a process, so a stale copy of a record
  // cannot reach the state of a later association.
  static bool IsInitialised(PDLMSProtocolContext ctx);
  static TExtendedContext& State(PDLMSProtocolContext ctx);
  static TLoggingContext& Logging(PDLMSProtocolContext ctx);

  static bool IsCipheredContext(PDLMSProtocolContext ctx) {
    return ctx->ApplicationContext == 2 || ctx->ApplicationContext == 4;
  }
  static bool IsLNReferencing(PDLMSProtocolContext ctx) {
    return ctx->ApplicationContext == 3 || ctx->ApplicationContext == 4;
  }
  static PduStr BytesOf(const void* p, int32_t count) {
    if (p == nullptr || count <= 0) return {};
    return PduStr(static_cast<const char*>(p), static_cast<size_t>(count));
  }
  static PduStr BytesOf(const TByteArray& a) { return BytesOf(a.Bytes, a.Size); }
  // The record's conformance (bit k = conformance bit k) in the combined
  // numbering, where conformance bit k is bit k + 5.
  static TProtectionServices NegotiatedConformanceAsParameterSet(PDLMSProtocolContext ctx) {
    return ConformanceAsParameterSet(ctx->NegotiatedConformance);
  }
  static TProtectionServices ConformanceAsParameterSet(uint32_t conformance) {
    return TProtectionServices::FromBits((conformance & 0x00FFFFFFu) << rcRESERVED0);
  }
  static uint32_t NextInvocationCounter(PDLMSProtocolContext ctx);
  static uint16_t ShortNameOfAttribute(PDLMSProtocolContext ctx, const PduStr& instanceId, int32_t classId,
                                       int32_t attributeId);
  static uint16_t ShortNameOfMethod(PDLMSProtocolContext ctx, const PduStr& instanceId, int32_t classId,
                                    int32_t methodId);
  // The one place where an APDU is handed to the caller's SendReceiveDataFunc.
  static PduStr ExchangeBytes(PDLMSProtocolContext ctx, const PduStr& request);
  // Empties CallBackResult; done before every callback that may fail, so a
  // failure never reports the text of an earlier one.
  static void ClearCallBackResult(PDLMSProtocolContext ctx);
  // The text a failing callback left in CallBackResult, or a fixed text
  // naming the callback when it left none.
  static std::string CallBackResultText(PDLMSProtocolContext ctx, const char* callBackName);
  // Binds the state's logging context to the record's LogStringFunc.
  static void BindLogging(PDLMSProtocolContext ctx);
};

// Routes PDU log blocks (a title line, then the XML lines) to the logging
// context's line procedure.
void BindProtocolItemLogging(TLoggingContext& logging);

// The last stage of the transfer chain: one exchange of bytes with the caller.
class TIOTransfer {
public:
  static void SendReceiveData(PDLMSProtocolContext ctx, const PduStr& outData, PduStr& inData) {
    inData = TContextHelper::ExchangeBytes(ctx, outData);
  }
};

}  // namespace quillon
