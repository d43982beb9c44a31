// The base of every transport layer, the transport error classes, the timing
// helpers shared by the layers, and the traffic log that turns every block
// sent or received into one prefixed line of the log window.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/ExchangeErrors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

// ---------------------------------------------------------------- errors

#define QUILLON_LAYER_ERROR(Name)                                          \
  class Name : public EGeneralError {                                      \
  public:                                                                  \
    explicit Name(const std::string& msg) : EGeneralError(msg) {}          \
  }

QUILLON_LAYER_ERROR(EProtocolLayerException);  // operation a layer does not offer
QUILLON_LAYER_ERROR(EProtocolLayerTCPClient);
QUILLON_LAYER_ERROR(EProtocolLayerTCPServer);
QUILLON_LAYER_ERROR(EProtocolLayerSerial);
QUILLON_LAYER_ERROR(EProtocolLayerWrapper);
QUILLON_LAYER_ERROR(EFrame);
QUILLON_LAYER_ERROR(EProtocolLayerHDLC);

#undef QUILLON_LAYER_ERROR

// An address as a transport carries it: HDLC address bytes hold seven bits
// each, a wrapper port sixteen. A value outside 0..max fails with `E`
// "<field>: <value> is not in the range 0..<max>" instead of being masked
// into the address of another station.
template <class E>
void CheckAddressRange(const std::string& field, int64_t value, int64_t max) {
  if (value < 0 || value > max)
    throw E(Format("%s: %lld is not in the range 0..%lld", field.c_str(), static_cast<long long>(value),
                   static_cast<long long>(max)));
}

// Fails with the general error "Wrong assertion (<code>)" when cond is false.
// The numbered form is what the link layer reports for a misuse it can name.
void CheckAssertion(bool cond, int code);

// ---------------------------------------------------------------- timing

// The 32-bit millisecond tick (milliseconds of the monotonic clock, wrapping).
uint32_t GetTickCount32();
// Distance from an earlier to a later tick reading; unsigned arithmetic keeps
// it right across a wrap-around of the counter.
constexpr uint32_t TickDiff(uint32_t earlier, uint32_t later) { return later - earlier; }
inline uint32_t MillisecondsSince(uint32_t tick) { return TickDiff(tick, GetTickCount32()); }

// The time a layer gives one frame to arrive whole: twice the response
// timeout (once for the answer to begin, once for it to come), and one more
// response timeout for every whole 1024 bytes that have come (plus, on a
// serial line, twice the line time of the bytes that have come), so that a
// long answer over a slow link goes on while a line that trickles a byte at
// a time ends. A silence of the response timeout still ends a frame as it
// always has (what came is handed up and judged there); the per-byte
// timeout alone let a trickling line hold a session for ever.
class TFrameDeadline {
public:
  TFrameDeadline(int timeoutMs, int baud = 0) : FStarted(GetTickCount32()), FTimeoutMs(timeoutMs), FBaud(baud) {}
  // The time allowed for a frame of which `received` bytes have come.
  int64_t AllowedMs(size_t received) const;
  // What is left of it now (0 when it has run out).
  int LeftMs(size_t received) const;
  // ENoResponse "No complete response within 3000 ms (17 bytes received)".
  [[noreturn]] void RaiseIncomplete(size_t received) const;

private:
  uint32_t FStarted;
  int FTimeoutMs;
  int FBaud;
};

// High-resolution counter for measured intervals.
int64_t QueryPerformanceCounter();
int64_t QueryPerformanceFrequency();
// (later - earlier) * 1000 / frequency, integer division.
int64_t PerformanceCounterDiffMs(int64_t earlier, int64_t later);
// The counter reading taken when the program started.
int64_t ProgramStartCounter();

void SleepMs(uint32_t ms);
// A long wait: while more than 1000 ms remain, check for an abort request and
// sleep 1000 ms; then sleep the rest without a check.
void WaitInSteps(uint32_t ms);
// Waits until more than `ms` milliseconds have passed since `startCounter`
// (a performance-counter reading); for delays that need millisecond accuracy.
void WaitUntilElapsed(int64_t startCounter, int64_t ms);

// ---------------------------------------------------------------- traffic

enum TTrafficOption : uint8_t {
  toName,
  toIncoming,
  toOutgoing,
  toInfo,
  toASCII,
  toTimeStampsDelta,
  toTimeStampsSession,
};

// A set of TTrafficOption: one byte, bit n for the n-th value.
struct TTrafficOptions {
  uint8_t Bits = 0;
  constexpr TTrafficOptions() = default;
  constexpr explicit TTrafficOptions(uint8_t bits) : Bits(bits) {}
  constexpr TTrafficOptions(std::initializer_list<TTrafficOption> list) {
    for (TTrafficOption o : list) Bits = static_cast<uint8_t>(Bits | (1u << o));
  }
  constexpr bool Contains(TTrafficOption o) const { return (Bits >> o) & 1u; }
  constexpr TTrafficOptions operator+(TTrafficOption o) const {
    return TTrafficOptions(static_cast<uint8_t>(Bits | (1u << o)));
  }
  constexpr bool operator==(const TTrafficOptions&) const = default;
};

// What every byte layer asks for: name, time since start, delta (0x61).
inline constexpr TTrafficOptions kByteLayerTrafficOptions{toName, toTimeStampsDelta, toTimeStampsSession};

class TProtocolLayerAbstract;

class TTrafficEvent {
public:
  const TProtocolLayerAbstract* Sender = nullptr;  // may be null for lines without a name column
  PduStr Bytes;
  TTrafficOptions Options;
};

// The log window side of the traffic log. The desktop application implements
// it: Deliver runs the handler on the thread that owns the log window and
// returns only after it has run there (a blocking queued call from any other
// thread, a direct call on the owner thread itself, so the owner never waits
// on itself). The three log calls are then made on the owner thread.
class TTrafficSink {
public:
  virtual ~TTrafficSink() = default;
  virtual void Deliver(const std::function<void()>& handler) = 0;
  virtual void DataReceived(const PduStr& s, bool BinaryData, const std::string& Prefix) = 0;
  virtual void DataSent(const PduStr& s, bool BinaryData, const std::string& Prefix) = 0;
  virtual void Info(const std::string& s, const std::string& Prefix) = 0;
};

class TTrafficWindowManager {
public:
  TTrafficWindowManager();

  // The log window to deliver to; without one the events are dropped.
  void SetSink(TTrafficSink* sink) { FSink.store(sink); }
  TTrafficSink* Sink() const { return FSink.load(); }

  // Hands the event to the log window's thread and waits until it is shown.
  void OnTraffic(const TProtocolLayerAbstract* Sender, const PduStr& Bytes, TTrafficOptions Options);
  // Runs on the log window's thread: prefix, log call, event destroyed.
  void HandleTrafficEvent(std::unique_ptr<TTrafficEvent> event);
  // The prefix columns of one event at counter reading `now`; advances RefTime.
  std::string BuildPrefix(const TTrafficEvent& event, int64_t now);

  int64_t RefTime = 0;  // counter reading of the previous event, 0 before the first
  int64_t PerformanceFrequency;
  int64_t StartCounter;  // the reading the session column counts from

private:
  std::atomic<TTrafficSink*> FSink{nullptr};
};

// The one process-wide manager.
TTrafficWindowManager& TrafficWindowManager();

// ---------------------------------------------------------------- layers

class TProtocolLayerAbstract {
public:
  using TCheckFrameCompleteCallBack =
      std::function<bool(TProtocolLayerAbstract& Sender, const PduStr& CurrentReceivedBytes)>;
  // The layer owns the list and refills it before each call; copy what you keep.
  using TLogProc = std::function<void(const std::vector<std::string>& aStringList)>;

  TProtocolLayerAbstract() = default;
  TProtocolLayerAbstract(const TProtocolLayerAbstract&) = delete;
  TProtocolLayerAbstract& operator=(const TProtocolLayerAbstract&) = delete;
  virtual ~TProtocolLayerAbstract() = default;

  virtual void Connect() = 0;
  virtual void Disconnect() = 0;
  virtual PduStr SendRec(const PduStr& s) = 0;
  virtual bool IsConnected() = 0;
  virtual void Send(const PduStr& s);
  virtual PduStr Rec();
  virtual void DisconnectSupportingLayer() {}
  virtual void ClearInputBuffer() = 0;

  [[noreturn]] void RaiseProtocolLayerException(const std::string& Message) const;

  std::string Name;
  TTrafficOptions TrafficOptions;
  TCheckFrameCompleteCallBack CheckFrameCompleteCallBack;
  TLogProc LogProc;

protected:
  // One traffic event about this layer: its options plus `kind` (and toASCII).
  void EmitTraffic(const PduStr& bytes, TTrafficOption kind, bool ascii = false) const;
  // Hands `lines` to LogProc (when set).
  void WriteListing(const std::vector<std::string>& lines) const;
};

// First line of a frame listing: for a received frame "+<ms>" (omitted when
// the time is 0), nothing for a sent one, padded to 20 columns, then `text`.
std::string ListingLine(bool received, int64_t ms, const std::string& text);
// "Waiting %d.%d sec. (<what>)" from a second on, else "Waiting %d millisec. (<what>)".
std::string WaitingText(uint32_t waitMs, const char* what);

// Bytes from hex text; spaces, hyphens, CR and LF between digits are skipped.
PduStr HexStrToByteStr2(std::string_view s);

// Lookup of the byte layers by name; provided by the layer registry.
TProtocolLayerAbstract& GetLayer(const std::string& LayerName);

}  // namespace quillon
