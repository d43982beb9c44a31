#include "engine/ExtendedContext.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "xmlpdu/Catalogue.h"

namespace quillon {

namespace {

// Every engine state handed out and not yet destroyed, by the handle its
// record holds in ReservedRef. The initialised check looks the handle up here
// before it touches any state, so a record holding a stale or garbage
// ReservedRef is reported as not initialised instead of being dereferenced.
// Handles count up and are never reused, so a copy of a record made before a
// release cannot reach a later state, even one that the allocator placed at
// the same address.
std::mutex gLiveStatesLock;
std::unordered_map<uintptr_t, TExtendedContext*>& LiveStates() {
  static std::unordered_map<uintptr_t, TExtendedContext*> states;
  return states;
}
// Handles start far from small numbers and from where the heap and stacks
// live, so garbage in ReservedRef is unlikely to name one.
uintptr_t gLastHandle = static_cast<uintptr_t>(0x51C0000000000000ull);

uintptr_t HandleOf(PDLMSProtocolContext ctx) { return reinterpret_cast<uintptr_t>(ctx->ReservedRef); }

// Counts the states destroyed. Each thread remembers its last lookup with
// the count it saw: while no state has been destroyed since, the answer still
// holds (handles are never reused), and an entry point needs no lock to find
// its state again.
std::atomic<uint64_t> gStatesFreed{0};
struct TLastLookup {
  uintptr_t Handle = 0;
  uint64_t Freed = 0;
  TExtendedContext* State = nullptr;
};
thread_local TLastLookup tLastLookup;

// The live state behind the record's handle, or null.
TExtendedContext* LiveState(PDLMSProtocolContext ctx) {
  const uintptr_t handle = HandleOf(ctx);
  TLastLookup& last = tLastLookup;
  if (last.State != nullptr && last.Handle == handle && last.Freed == gStatesFreed.load(std::memory_order_acquire))
    return last.State;
  std::lock_guard<std::mutex> lock(gLiveStatesLock);
  const auto it = LiveStates().find(handle);
  TExtendedContext* state = it == LiveStates().end() ? nullptr : it->second;
  last = {handle, gStatesFreed.load(std::memory_order_relaxed), state};
  return state;
}

}  // namespace

TExtendedContext::TExtendedContext()
    : FLoggingContext(std::make_unique<TLoggingContext>()), InBuffer(kMaxInDataLength) {}

TExtendedContext::~TExtendedContext() { MagicNumber = 0; }

// ---------------------------------------------------------------------------

std::atomic<uint32_t> TFrameCounter::FLastValue{0};

uint32_t TFrameCounter::NextFor(int64_t secondsSinceEpoch2011) {
  const uint32_t v = static_cast<uint32_t>(static_cast<uint64_t>(secondsSinceEpoch2011) * 5u);
  // Several threads may draw at once: each value goes to exactly one caller.
  uint32_t last = FLastValue.load();
  for (;;) {
    if (last == std::numeric_limits<uint32_t>::max())
      RaiseGeneral("Built-in invocation counter exhausted");
    const uint32_t next = v > last ? v : last + 1;
    if (FLastValue.compare_exchange_weak(last, next)) return next;
  }
}

uint32_t TFrameCounter::GetNext() {
  // The counter follows UTC, counted from 2011-04-07 00:00 UTC: local time
  // goes back at a daylight-saving change, and a restarted program would then
  // reuse counter values it had already sent under the same key.
  std::tm epoch{};
  epoch.tm_year = 2011 - 1900;
  epoch.tm_mon = 3;
  epoch.tm_mday = 7;
  const int64_t seconds = static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(timegm(&epoch));
  return NextFor(seconds);
}

// ---------------------------------------------------------------------------

void TContextHelper::CreateState(PDLMSProtocolContext ctx) {
  auto state = std::make_unique<TExtendedContext>();
  std::lock_guard<std::mutex> lock(gLiveStatesLock);
  const uintptr_t handle = ++gLastHandle;
  LiveStates().emplace(handle, state.get());
  ctx->ReservedRef = reinterpret_cast<void*>(handle);
  state.release();
}

void TContextHelper::FreeState(PDLMSProtocolContext ctx) {
  if (ctx->ReservedRef == nullptr) return;
  TExtendedContext* state = nullptr;
  {
    std::lock_guard<std::mutex> lock(gLiveStatesLock);
    const auto it = LiveStates().find(HandleOf(ctx));
    if (it != LiveStates().end()) {
      state = it->second;
      LiveStates().erase(it);
      gStatesFreed.fetch_add(1, std::memory_order_release);
    }
  }
  delete state;
  ctx->ReservedRef = nullptr;
}

bool TContextHelper::IsInitialised(PDLMSProtocolContext ctx) {
  if (ctx == nullptr || ctx->ReservedRef == nullptr) return false;
  const TExtendedContext* state = LiveState(ctx);
  return state != nullptr && state->MagicNumber == kExtendedContextMagic;
}

TExtendedContext& TContextHelper::State(PDLMSProtocolContext ctx) {
  TExtendedContext* state = ctx == nullptr || ctx->ReservedRef == nullptr ? nullptr : LiveState(ctx);
  CheckAssertion(state != nullptr && state->MagicNumber == kExtendedContextMagic, "engine state present");
  return *state;
}

TLoggingContext& TContextHelper::Logging(PDLMSProtocolContext ctx) { return *State(ctx).FLoggingContext; }

uint32_t TContextHelper::NextInvocationCounter(PDLMSProtocolContext ctx) {
  CheckAssertion(ctx->GetNextInvocationCounterFunc != nullptr, "GetNextInvocationCounterFunc set");
  return ctx->GetNextInvocationCounterFunc();
}

void TContextHelper::ClearCallBackResult(PDLMSProtocolContext ctx) {
  std::memset(ctx->CallBackResult, 0, sizeof(ctx->CallBackResult));
}

std::string TContextHelper::CallBackResultText(PDLMSProtocolContext ctx, const char* callBackName) {
  const char* p = ctx->CallBackResult;
  const size_t n = sizeof(ctx->CallBackResult);
  std::string text(p, strnlen(p, n));
  if (text.empty()) text = Format("Call-back \"%s\" failed without giving a reason", callBackName);
  return text;
}

namespace {

// A NUL-terminated copy of the logical name for the short-name callbacks.
std::vector<uint8_t> NulTerminated(const PduStr& s) {
  std::vector<uint8_t> v(s.begin(), s.end());
  v.push_back(0);
  return v;
}

template <class TFunc>
uint16_t AskShortName(PDLMSProtocolContext ctx, TFunc func, const char* callBackName, const char* missingText,
                      const PduStr& instanceId, int32_t classId, int32_t itemId) {
  if (func == nullptr) RaiseGeneral(missingText);
  std::vector<uint8_t> name = NulTerminated(instanceId);
  uint16_t shortName = 0;
  TContextHelper::ClearCallBackResult(ctx);
  if (func(ctx, name.data(), classId, itemId, &shortName) == 1)
    RaiseGeneral(TContextHelper::CallBackResultText(ctx, callBackName));
  return shortName;
}

}  // namespace

uint16_t TContextHelper::ShortNameOfAttribute(PDLMSProtocolContext ctx, const PduStr& instanceId, int32_t classId,
                                              int32_t attributeId) {
  return AskShortName(ctx, ctx->GetShortNameOfAttributeFunc, "GetShortNameOfAttributeFunc",
                      "GetShortNameOfAttribute call-back not set", instanceId, classId, attributeId);
}

uint16_t TContextHelper::ShortNameOfMethod(PDLMSProtocolContext ctx, const PduStr& instanceId, int32_t classId,
                                           int32_t methodId) {
  return AskShortName(ctx, ctx->GetShortNameOfMethodFunc, "GetShortNameOfMethodFunc",
                      "GetShortNameOfMethod call-back not set", instanceId, classId, methodId);
}

PduStr TContextHelper::ExchangeBytes(PDLMSProtocolContext ctx, const PduStr& request) {
  TExtendedContext& state = State(ctx);
  if (ctx->SendReceiveDataFunc == nullptr) RaiseGeneral("Call-back \"SendReceiveDataFunc\" is not specified");
  int32_t inLength = 0;
  ClearCallBackResult(ctx);
  const int32_t rc =
      ctx->SendReceiveDataFunc(ctx, reinterpret_cast<const uint8_t*>(request.data()),
                               static_cast<int32_t>(request.size()), state.InBuffer.data(), kMaxInDataLength,
                               &inLength);
  if (rc != 0) RaiseGeneral(CallBackResultText(ctx, "SendReceiveDataFunc"));
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
  logging.FIsActive = [ctx] { return ctx->LogStringFunc != nullptr; };
  BindProtocolItemLogging(logging);
}

}  // namespace quillon
