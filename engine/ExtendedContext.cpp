#include "engine/ExtendedContext.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_set>

#include "xmlpdu/Catalogue.h"

namespace quillon {

namespace {

// Every engine state handed out and not yet destroyed. The initialised check
// looks a pointer up here before it reads the marker, so a record holding a
// stale or garbage ReservedRef is reported as not initialised instead of being
// dereferenced.
std::mutex gLiveStatesLock;
std::unordered_set<const void*>& LiveStates() {
  static std::unordered_set<const void*> states;
  return states;
}

}  // namespace

TExtendedContext::TExtendedContext()
    : FLoggingContext(std::make_unique<TLoggingContext>()), InBuffer(kMaxInDataLength) {
  std::lock_guard<std::mutex> lock(gLiveStatesLock);
  LiveStates().insert(this);
}

TExtendedContext::~TExtendedContext() {
  MagicNumber = 0;
  std::lock_guard<std::mutex> lock(gLiveStatesLock);
  LiveStates().erase(this);
}

// ---------------------------------------------------------------------------

uint32_t TFrameCounter::FLastValue = 0;

uint32_t TFrameCounter::NextFor(int64_t secondsSinceEpoch2011) {
  const uint32_t v = static_cast<uint32_t>(static_cast<uint64_t>(secondsSinceEpoch2011) * 5u);
  if (v > FLastValue)
    FLastValue = v;
  else
    ++FLastValue;
  return FLastValue;
}

uint32_t TFrameCounter::GetNext() {
  // The counter follows the local wall clock, counted from 2011-04-07 00:00.
  // Reading the local broken-down time through timegm gives local seconds
  // without a time-zone shift.
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::tm epoch{};
  epoch.tm_year = 2011 - 1900;
  epoch.tm_mon = 3;
  epoch.tm_mday = 7;
  const int64_t seconds = static_cast<int64_t>(timegm(&local)) - static_cast<int64_t>(timegm(&epoch));
  return NextFor(seconds);
}

// ---------------------------------------------------------------------------

void TContextHelper::CreateState(PDLMSProtocolContext ctx) {
  ctx->ReservedRef = new TExtendedContext();
}

void TContextHelper::FreeState(PDLMSProtocolContext ctx) {
  if (ctx->ReservedRef == nullptr) return;
  if (IsInitialised(ctx)) delete static_cast<TExtendedContext*>(ctx->ReservedRef);
  ctx->ReservedRef = nullptr;
}

bool TContextHelper::IsInitialised(PDLMSProtocolContext ctx) {
  if (ctx == nullptr || ctx->ReservedRef == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(gLiveStatesLock);
    if (LiveStates().count(ctx->ReservedRef) == 0) return false;
  }
  return static_cast<TExtendedContext*>(ctx->ReservedRef)->MagicNumber == kExtendedContextMagic;
}

TExtendedContext& TContextHelper::State(PDLMSProtocolContext ctx) {
  CheckAssertion(IsInitialised(ctx), "engine state present");
  return *static_cast<TExtendedContext*>(ctx->ReservedRef);
}

TLoggingContext& TContextHelper::Logging(PDLMSProtocolContext ctx) { return *State(ctx).FLoggingContext; }

uint32_t TContextHelper::NextInvocationCounter(PDLMSProtocolContext ctx) {
  CheckAssertion(ctx->GetNextInvocationCounterFunc != nullptr, "GetNextInvocationCounterFunc set");
  return ctx->GetNextInvocationCounterFunc();
}

std::string TContextHelper::CallBackResultText(PDLMSProtocolContext ctx) {
  const char* p = ctx->CallBackResult;
  const size_t n = sizeof(ctx->CallBackResult);
  return std::string(p, strnlen(p, n));
}

namespace {

// A NUL-terminated copy of the logical name for the short-name callbacks.
std::vector<uint8_t> NulTerminated(const PduStr& s) {
  std::vector<uint8_t> v(s.begin(), s.end());
  v.push_back(0);
  return v;
}

template <class TFunc>
uint16_t AskShortName(PDLMSProtocolContext ctx, TFunc func, const char* missingText, const PduStr& instanceId,
                      int32_t classId, int32_t itemId) {
  if (func == nullptr) RaiseGeneral(missingText);
  std::vector<uint8_t> name = NulTerminated(instanceId);
  uint16_t shortName = 0;
  if (func(ctx, name.data(), classId, itemId, &shortName) == 1)
    RaiseGeneral(TContextHelper::CallBackResultText(ctx));
  return shortName;
}

}  // namespace

uint16_t TContextHelper::ShortNameOfAttribute(PDLMSProtocolContext ctx, const PduStr& instanceId, int32_t classId,
                                              int32_t attributeId) {
  return AskShortName(ctx, ctx->GetShortNameOfAttributeFunc, "GetShortNameOfAttribute call-back not set",
                      instanceId, classId, attributeId);
}

uint16_t TContextHelper::ShortNameOfMethod(PDLMSProtocolContext ctx, const PduStr& instanceId, int32_t classId,
                                           int32_t methodId) {
  return AskShortName(ctx, ctx->GetShortNameOfMethodFunc, "GetShortNameOfMethod call-back not set", instanceId,
                      classId, methodId);
}

PduStr TContextHelper::ExchangeBytes(PDLMSProtocolContext ctx, const PduStr& request) {
  TExtendedContext& state = State(ctx);
  if (ctx->SendReceiveDataFunc == nullptr) RaiseGeneral("Call-back \"SendReceiveDataFunc\" is not specified");
  int32_t inLength = 0;
  const int32_t rc =
      ctx->SendReceiveDataFunc(ctx, reinterpret_cast<const uint8_t*>(request.data()),
                               static_cast<int32_t>(request.size()), state.InBuffer.data(), kMaxInDataLength,
                               &inLength);
  if (rc != 0) RaiseGeneral(CallBackResultText(ctx));
  // A callback that claims more than the buffer holds (or a negative count)
  // would make us read outside the buffer; refuse it.
  if (inLength < 0 || inLength > kMaxInDataLength)
    RaiseGeneral(Format("Call-back \"SendReceiveDataFunc\" returned an illegal length (%d)", inLength));
  return PduStr(reinterpret_cast<const char*>(state.InBuffer.data()), static_cast<size_t>(inLength));
}

void TContextHelper::BindLogging(PDLMSProtocolContext ctx) {
  TLoggingContext& logging = Logging(ctx);
  logging.FLogStringProc = [ctx](const std::string& s) {
    if (ctx->LogStringFunc != nullptr) ctx->LogStringFunc(s.c_str());
  };
  BindProtocolItemLogging(logging);
}

}  // namespace quillon
