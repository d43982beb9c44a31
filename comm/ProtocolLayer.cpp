#include "comm/ProtocolLayer.h"

#include <algorithm>

#include <chrono>
#include <thread>

namespace quillon {

void CheckAssertion(bool cond, int code) {
  if (!cond) RaiseGeneral(Format("Wrong assertion (%d)", code));
}

// ---------------------------------------------------------------- timing

namespace {
// Read at static initialisation: the session column counts from here.
const int64_t gProgramStart = QueryPerformanceCounter();
}  // namespace

uint32_t GetTickCount32() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(static_cast<uint64_t>(ms.count()));
}

int64_t QueryPerformanceCounter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t QueryPerformanceFrequency() { return 1000000000; }

int64_t PerformanceCounterDiffMs(int64_t earlier, int64_t later) {
  return (later - earlier) * 1000 / QueryPerformanceFrequency();
}

int64_t ProgramStartCounter() { return gProgramStart; }

int64_t TFrameDeadline::AllowedMs(size_t received) const {
  const int64_t timeout = std::max(FTimeoutMs, 0);
  int64_t allowed = 2 * timeout + timeout * static_cast<int64_t>(received / 1024);
  // Ten bits a character on the line, twice over for gaps between them.
  if (FBaud > 0) allowed += static_cast<int64_t>(received) * 20000 / FBaud;
  return allowed;
}

int TFrameDeadline::LeftMs(size_t received) const {
  const int64_t left = AllowedMs(received) - static_cast<int64_t>(MillisecondsSince(FStarted));
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 0x7FFFFFFF));
}

void TFrameDeadline::RaiseIncomplete(size_t received) const {
  throw ENoResponse(Format("No complete response within %lld ms (%zu bytes received)",
                           static_cast<long long>(AllowedMs(received)), received));
}

void SleepMs(uint32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void WaitInSteps(uint32_t ms) {
  while (ms > 1000) {
    CheckUserAbort();
    SleepMs(1000);
    ms -= 1000;
  }
  SleepMs(ms);
}

void WaitUntilElapsed(int64_t startCounter, int64_t ms) {
  // Sleep while far away, then spin the last stretch for accuracy.
  for (;;) {
    int64_t left = ms - PerformanceCounterDiffMs(startCounter, QueryPerformanceCounter());
    if (left < 0) return;
    if (left > 2)
      SleepMs(static_cast<uint32_t>(left - 2));
    else
      std::this_thread::yield();
  }
}

// ---------------------------------------------------------------- traffic

TTrafficWindowManager::TTrafficWindowManager()
    : PerformanceFrequency(QueryPerformanceFrequency()), StartCounter(ProgramStartCounter()) {}

TTrafficWindowManager& TrafficWindowManager() {
  static TTrafficWindowManager instance;
  return instance;
}

void TTrafficWindowManager::OnTraffic(const TProtocolLayerAbstract* Sender, const PduStr& Bytes,
                                      TTrafficOptions Options) {
  TTrafficSink* sink = Sink();
  if (!sink) return;
  auto event = std::make_unique<TTrafficEvent>();
  event->Sender = Sender;
  event->Bytes = Bytes;
  event->Options = Options;
  // The handler takes the event over; should a sink drop the handler (a log
  // window that is going away), the holder still frees it.
  auto holder = std::make_shared<std::unique_ptr<TTrafficEvent>>(std::move(event));
  sink->Deliver([this, holder] { HandleTrafficEvent(std::move(*holder)); });
}

namespace {
void PadTo(std::string& s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
}
}  // namespace

std::string TTrafficWindowManager::BuildPrefix(const TTrafficEvent& event, int64_t now) {
  int64_t delta = 0;
  if (RefTime != 0)
    delta = static_cast<int64_t>(static_cast<double>(now - RefTime) * 1000.0 /
                                 static_cast<double>(PerformanceFrequency));
  RefTime = now;

  std::string name, session, deltaColumn;
  if (event.Options.Contains(toName)) {
    if (event.Sender) name = event.Sender->Name;
    PadTo(name, 10);
  }
  if (event.Options.Contains(toTimeStampsSession)) {
    int64_t ms = (now - StartCounter) * 1000 / PerformanceFrequency;
    session = Format("%d'%.2d.%.3d", static_cast<int>(ms / 60000), static_cast<int>(ms / 1000 % 60),
                     static_cast<int>(ms % 1000));
    PadTo(session, 10);
  }
  if (event.Options.Contains(toTimeStampsDelta)) {
    deltaColumn = Format("+%lld", static_cast<long long>(delta));
    PadTo(deltaColumn, 10);
  }
  return name + session + deltaColumn;
}

void TTrafficWindowManager::HandleTrafficEvent(std::unique_ptr<TTrafficEvent> event) {
  std::string prefix = BuildPrefix(*event, QueryPerformanceCounter());
  TTrafficSink* sink = Sink();
  if (!sink) return;
  bool binary = !event->Options.Contains(toASCII);
  if (event->Options.Contains(toIncoming))
    sink->DataReceived(event->Bytes, binary, prefix);
  else if (event->Options.Contains(toOutgoing))
    sink->DataSent(event->Bytes, binary, prefix);
  else if (event->Options.Contains(toInfo))
    sink->Info(event->Bytes, prefix);
}

// ---------------------------------------------------------------- layers

void TProtocolLayerAbstract::Send(const PduStr&) { RaiseProtocolLayerException("\"Send\" not available"); }

PduStr TProtocolLayerAbstract::Rec() { RaiseProtocolLayerException("\"Rec\" not available"); }

void TProtocolLayerAbstract::RaiseProtocolLayerException(const std::string& Message) const {
  throw EProtocolLayerException(Name + ":" + Message);
}

void TProtocolLayerAbstract::EmitTraffic(const PduStr& bytes, TTrafficOption kind, bool ascii) const {
  TTrafficOptions options = TrafficOptions + kind;
  if (ascii) options = options + toASCII;
  TrafficWindowManager().OnTraffic(this, bytes, options);
}

void TProtocolLayerAbstract::WriteListing(const std::vector<std::string>& lines) const {
  if (LogProc) LogProc(lines);
}

std::string ListingLine(bool received, int64_t ms, const std::string& text) {
  std::string lead;
  if (received && ms != 0) lead = Format("+%lld", static_cast<long long>(ms));
  PadTo(lead, 20);
  return lead + text;
}

std::string WaitingText(uint32_t waitMs, const char* what) {
  if (waitMs >= 1000) return Format("Waiting %u.%u sec. (%s)", waitMs / 1000, waitMs % 1000, what);
  return Format("Waiting %u millisec. (%s)", waitMs, what);
}

PduStr HexStrToByteStr2(std::string_view s) {
  std::string digits;
  digits.reserve(s.size());
  for (char c : s)
    if (c != ' ' && c != '-' && c != '\r' && c != '\n') digits += c;
  // Convert the complete pairs first so that a bad digit is reported before
  // a missing last one, as a left-to-right reading would.
  bool odd = digits.size() % 2 != 0;
  if (odd) digits.pop_back();
  PduStr r = TMisc::HexStrToByteStr(digits);
  if (odd) RaiseGeneral("HexStrToByteStr2: Hex-character missing");
  return r;
}

}  // namespace quillon
