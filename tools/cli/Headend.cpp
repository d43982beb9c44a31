#include "tools/cli/Headend.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <thread>

#include "client/CallerTrust.h"
#include "comm/CallIn.h"
#include "xmlpdu/infra/Errors.h"

namespace quillon::cli {

using namespace quillon::client;
using TClock = std::chrono::steady_clock;

namespace {
// After accept fails for want of descriptors, new connections wait this
// long in the kernel's queue; the ones already open are served meanwhile.
constexpr std::chrono::milliseconds kAcceptPause(500);
}  // namespace

struct THeadEnd::TCaller {
  std::shared_ptr<TCallerConnection> Connection;
  std::string Host;  // the address it called from, for the cap per address
  bool Hdlc = false;
  TClock::time_point Since;  // accepted; once pushing, the last bytes
  std::unique_ptr<TPushSender> Pushing;
  uint64_t PartialSince = 0;  // the order in which pushing connections began holding a partial frame
  // Once identified: the meter it claims to be, how, and what it may be given.
  int Meter = -1;
  std::string By;
  TCallerVerdict Verdict;
  std::string Peer() const { return Connection->Peer() + (Hdlc ? "/hdlc" : ""); }
};

THeadEnd::THeadEnd(const std::vector<TFleetMeter>& meters, TBatchJob job, TPushListener& pushes)
    : FMeters(meters),
      FJob(std::move(job)),
      FPushes(pushes),
      FWrapperCallers(meters, TTransport::tWrapperTcp),
      FHdlcCallers(meters, TTransport::tHdlcTcp) {}

void THeadEnd::Line(const char* sort, const std::string& sender, const std::string& text) {
  // Called with FLock held.
  FLines.Report(sort, sender, text, TClock::now(), [this](const std::string& l) {
    if (OnLine) OnLine(l);
  });
}

const char* THeadEnd::ReadAlready(const std::string& meter, std::string& detail) const {
  if (FDone.count(meter)) return "already read in this run";
  if (FMinInterval <= 0) return nullptr;
  const auto last = FLastRead.find(meter);
  if (last == FLastRead.end()) return nullptr;
  const double ago = std::chrono::duration<double>(TClock::now() - last->second).count();
  if (ago >= FMinInterval) return nullptr;
  detail = Format("read %.0f s ago, less than --min-interval %g s", ago, FMinInterval);
  return detail.c_str();
}

bool THeadEnd::Identify(TCaller& caller, TMeterWatch::TSlot& limit) {
  TCall call;
  call.Cancel = &limit.Token;
  const std::string peer = caller.Peer();
  TCallerIdentity who;
  try {
    who = (caller.Hdlc ? FHdlcCallers : FWrapperCallers).Identify(caller.Connection, call);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> g(FLock);
    ++FCounts.Failed;
    Line("identifications failed", peer,
         Format("%s: not identified (%s)", peer.c_str(), limit.TimedOut ? "the identification timeout ran out" : e.what()));
    return false;
  }
  std::lock_guard<std::mutex> g(FLock);
  if (who.Meter < 0) {
    ++FCounts.Unknown;
    Line("unknown meters", peer, Format("%s: unknown meter, it said %s; disconnected", peer.c_str(), who.Text().c_str()));
    return false;
  }
  const TFleetMeter& meter = FMeters[static_cast<size_t>(who.Meter)];
  caller.Meter = who.Meter;
  caller.By = who.By;
  if (meter.ConfigError.empty()) {
    caller.Verdict = JudgeCaller(meter.Profile, caller.Connection->Peer());
    if (caller.Verdict.Trust == TCallerTrust::ctRefused) {
      ++FCounts.Refused;
      Line("callers refused", peer,
           Format("%s: meter %s (%s): %s", peer.c_str(), PrintableName(meter.Name).c_str(), who.By.c_str(),
                  caller.Verdict.Why.c_str()));
      return false;
    }
  }
  std::string detail;
  if (const char* why = ReadAlready(meter.Name, detail)) {
    ++FCounts.AlreadyRead;
    Line("meters called again", meter.Name,
         Format("%s: meter %s (%s) %s; released", peer.c_str(), PrintableName(meter.Name).c_str(), who.By.c_str(), why));
    return false;
  }
  return true;
}

void THeadEnd::Read(TCaller& caller, TMeterWatch::TSlot& limit, int timeoutMs) {
  TCall call;
  call.Cancel = &limit.Token;
  const std::string peer = caller.Peer();
  const TFleetMeter& meter = FMeters[static_cast<size_t>(caller.Meter)];
  {
    // One session per meter: a second caller naming a meter in session
    // waits for it (whoever it is, it never ends the first one's call).
    std::unique_lock<std::mutex> g(FLock);
    while (FInFlight.count(meter.Name) && !limit.Token.Cancelled()) FFreed.wait_for(g, std::chrono::milliseconds(50));
    std::string detail;
    const char* why = limit.Token.Cancelled() ? (limit.TimedOut ? "still being read over another connection when its "
                                                                  "meter timeout ran out"
                                                                : "not read: the head end is stopping")
                                              : ReadAlready(meter.Name, detail);
    if (why) {
      ++FCounts.AlreadyRead;
      Line("meters called again", meter.Name,
           Format("%s: meter %s (%s) %s; released", peer.c_str(), PrintableName(meter.Name).c_str(), caller.By.c_str(), why));
      return;
    }
    FInFlight.insert(meter.Name);
  }
  TCallNote note{peer, caller.By, caller.Verdict.Proven(), -1};
  // A meter that proves itself does so when its session stands: only then
  // is its answer's invocation counter worth anything.
  bool opened = false;
  auto checkCounter = [&](TSession& s) {
    if (caller.Verdict.Trust != TCallerTrust::ctProvesItself) {
      opened = true;
      return;
    }
    const std::optional<uint32_t> counter = s.AnswerInvocationCounter();
    if (!counter) RaiseGeneral("the meter's ciphered answer carried no invocation counter");
    std::lock_guard<std::mutex> g(FLock);
    const auto last = FLastCounter.find(meter.Name);
    if (last != FLastCounter.end() && *counter <= last->second)
      throw EMeterError(Format("invocation counter %u of the meter's answer is not above the %u of its last call: a "
                               "recorded call played back; not read",
                               *counter, last->second));
    FLastCounter[meter.Name] = *counter;
    note.Counter = *counter;
    opened = true;
  };
  TMeterResult r;
  if (!meter.ConfigError.empty()) {
    r.Meter = meter.Name;
    r.ReadAt = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    r.Error = meter.ConfigError;
    r.Line = meter.Line;
    r.Column = meter.Column;
    opened = true;  // nothing was asked of the caller: the list is at fault
  } else {
    try {
      r = TBatchRunner::ReadMeter(meter, FJob, call, FKeepCounters, caller.Connection, checkCounter);
    } catch (const std::exception& e) {
      r = FailedResult(meter.Name, e, 1);
      if (limit.TimedOut) {
        r.Error = Format("not read within the meter timeout of %d s", timeoutMs / 1000);
        r.Diagnosis.reset();
      }
    }
  }
  r.Attempts = 1;
  // A meter the list cannot describe fails as such whoever called: the list is at fault.
  r.Unproven = !caller.Verdict.Proven() && meter.ConfigError.empty();
  std::lock_guard<std::mutex> g(FLock);
  FInFlight.erase(meter.Name);
  FFreed.notify_all();
  if (!r.Ok) ++FCounts.Failed;
  if (!r.Ok && (!opened || r.Unproven)) {
    // Whoever called did not show it is the meter: nothing is kept of it
    // under the meter's name, the line says what happened.
    Line("callers not proven", peer,
         Format("%s: claimed to be meter %s (%s) and was not read: %s", peer.c_str(), PrintableName(meter.Name).c_str(),
                caller.By.c_str(), r.Error.c_str()));
    return;
  }
  if (r.Ok) {
    ++FCounts.Read;
    if (note.Proven) {
      if (FOncePerRun) FDone.insert(meter.Name);
      FLastRead[meter.Name] = TClock::now();
    }
  }
  if (OnResult) OnResult(r, note);
}

THeadEndCounts THeadEnd::Run(const THeadEndOptions& options, TCancelToken& cancel) {
  FCounts = THeadEndCounts{};
  FKeepCounters = options.KeepInvocationCounters;
  FOncePerRun = options.OncePerRun;
  FPerAddress.clear();
  FMinInterval = options.MinInterval;
  const size_t maxConnections =
      static_cast<size_t>(options.MaxConnections > 0 ? options.MaxConnections : DefaultMaxConnections());
  const auto idleTimeout = std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(options.IdleTimeout));
  const auto pushWait = std::chrono::milliseconds(options.PushWaitMs);
  TCallInListener wrapper(options.Address, options.Port);
  std::optional<TCallInListener> hdlc;
  if (options.HdlcPort >= 0) hdlc.emplace(options.Address, options.HdlcPort);
  if (OnListening) {
    OnListening(wrapper.Port(), "DLMS wrapper");
    if (hdlc) OnListening(hdlc->Port(), "HDLC");
  }

  // Callers waiting for a worker, and the connections the workers hold
  // (queued, being identified or read): they count against the cap too.
  // Identification and reading have workers of their own, so that callers
  // that say nothing never hold up the meters being read.
  std::mutex queueLock;
  std::condition_variable queueWake;
  std::deque<std::unique_ptr<TCaller>> toIdentify, toRead;
  bool closingIdentify = false, closingRead = false;
  std::atomic<size_t> working{0};
  const int jobs = std::clamp(options.Jobs, 1, 4096);
  const int identifiers = std::clamp(options.IdentifyJobs, 1, 4096);
  TMeterWatch readWatch(static_cast<size_t>(jobs), &cancel), identifyWatch(static_cast<size_t>(identifiers), &cancel);
  auto release = [&](TCaller& caller) {
    caller.Connection->HangUp();
    {
      std::lock_guard<std::mutex> g(FLock);
      if (--FPerAddress[caller.Host] <= 0) FPerAddress.erase(caller.Host);
    }
    --working;
  };
  // Takes the next caller of `queue`; nullptr when the head end has closed
  // and it is empty. A caller taken while closing is not served.
  auto next = [&](std::deque<std::unique_ptr<TCaller>>& queue, const bool& closing) -> std::unique_ptr<TCaller> {
    for (;;) {
      std::unique_ptr<TCaller> caller;
      bool stopping;
      {
        std::unique_lock<std::mutex> g(queueLock);
        queueWake.wait(g, [&] { return closing || !queue.empty(); });
        if (queue.empty()) return nullptr;
        caller = std::move(queue.front());
        queue.pop_front();
        stopping = closing;
      }
      if (!stopping) return caller;
      {
        std::lock_guard<std::mutex> c(FLock);
        ++FCounts.NotStarted;
      }
      release(*caller);
    }
  };
  auto identifier = [&](size_t slot) {
    while (std::unique_ptr<TCaller> caller = next(toIdentify, closingIdentify)) {
      TMeterWatch::TSlot& limit = identifyWatch.Start(slot, options.IdentifyTimeoutMs);
      const bool read = Identify(*caller, limit);
      identifyWatch.Stop(slot);
      if (!read) {
        release(*caller);
        continue;
      }
      {
        std::lock_guard<std::mutex> g(queueLock);
        toRead.push_back(std::move(caller));
      }
      queueWake.notify_all();
    }
  };
  auto reader = [&](size_t slot) {
    while (std::unique_ptr<TCaller> caller = next(toRead, closingRead)) {
      TMeterWatch::TSlot& limit = readWatch.Start(slot, options.MeterTimeoutMs);
      Read(*caller, limit, options.MeterTimeoutMs);
      readWatch.Stop(slot);
      release(*caller);
    }
  };
  std::vector<std::jthread> readers, identifiersRunning;
  for (int k = 0; k < jobs; ++k) readers.emplace_back(reader, static_cast<size_t>(k));
  for (int k = 0; k < identifiers; ++k) identifiersRunning.emplace_back(identifier, static_cast<size_t>(k));

  std::vector<std::unique_ptr<TCaller>> held;  // waiting to see whether they push, or pushing
  uint64_t partialOrder = 0;
  TClock::time_point acceptAgain{};
  const auto end = TClock::now() + std::chrono::milliseconds(static_cast<int64_t>(options.Seconds * 1000));
  std::string chunk(65536 + 16, '\0');
  auto say = [this](const std::string& l) {
    if (OnLine) OnLine(l);
  };
  auto line = [&](const char* sort, const std::string& sender, const std::string& text) {
    std::lock_guard<std::mutex> g(FLock);
    Line(sort, sender, text);
  };
  while (!cancel.Cancelled() && (options.Seconds <= 0 || TClock::now() < end)) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FLines.Tick(TClock::now(), say);
    }
    const bool accepting = TClock::now() >= acceptAgain;
    constexpr size_t kFirstCaller = 2;
    std::vector<pollfd> fds{{accepting ? wrapper.Fd() : -1, POLLIN, 0}, {accepting && hdlc ? hdlc->Fd() : -1, POLLIN, 0}};
    for (const auto& c : held) fds.push_back({c->Connection->Fd(), POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), 50);
    if (ready < 0 && errno != EINTR) RaiseGeneral(Format("poll: %s", std::strerror(errno)));
    for (const size_t at : {size_t{0}, size_t{1}}) {
      if (ready <= 0 || !(fds[at].revents & POLLIN)) continue;
      TCallInListener& listener = at == 0 ? wrapper : *hdlc;
      for (;;) {
        int error = 0;
        std::unique_ptr<TCallerConnection> c = listener.AcceptWaiting(&error);
        if (!c) {
          if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            acceptAgain = TClock::now() + kAcceptPause;
            line("accept failures", "", Format("accept: %s; new connections wait", std::strerror(error)));
          }
          break;
        }
        std::lock_guard<std::mutex> g(FLock);
        ++FCounts.Connections;
        if (held.size() + working.load() >= maxConnections) {
          ++FCounts.TurnedAway;
          Line("connections turned away", c->Peer(),
               Format("%s: %zu connections open, the most --max-connections allows; closed", c->Peer().c_str(),
                      held.size() + working.load()));
          continue;  // the connection closes with c
        }
        const std::string host = PeerHost(c->Peer());
        int& fromThere = FPerAddress[host];
        if (fromThere >= options.MaxPerAddress) {
          ++FCounts.TurnedAway;
          Line("connections turned away", host,
               Format("%s: %d connections open from %s, the most --max-per-address allows; closed", c->Peer().c_str(),
                      fromThere, host.c_str()));
          continue;
        }
        ++fromThere;
        auto caller = std::make_unique<TCaller>();
        caller->Host = host;
        caller->Connection = std::move(c);
        caller->Hdlc = at == 1;
        caller->Since = TClock::now();
        held.push_back(std::move(caller));
      }
    }
    std::vector<size_t> closing_, dropped;  // leaving `held`; of them, those whose connection ends
    auto close = [&](size_t i, const char* sort, const std::string& why) {
      if (!why.empty()) line(sort, held[i]->Connection->Peer(), held[i]->Connection->Peer() + ": " + why);
      closing_.push_back(i);
      dropped.push_back(i);
    };
    for (size_t i = kFirstCaller; ready > 0 && i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      TCaller& c = *held[i - kFirstCaller];
      const ssize_t n = ::recv(c.Connection->Fd(), chunk.data(), chunk.size(), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        const size_t kept = c.Pushing ? c.Pushing->Held() : 0;
        close(i - kFirstCaller, "closed connections",
              kept ? Format("connection closed inside a frame (%zu bytes dropped)", kept) : std::string());
        continue;
      }
      if (n < 0) continue;
      if (!c.Pushing) {
        // It spoke first: a meter that pushes, heard as listen hears it.
        c.Pushing = std::make_unique<TPushSender>();
        c.Pushing->Peer = c.Connection->Peer() + (c.Hdlc ? "/hdlc" : "");
        if (c.Hdlc) c.Pushing->Framer = std::make_unique<THdlcPushReader>();
        std::lock_guard<std::mutex> g(FLock);
        ++FCounts.Pushing;
      }
      c.Since = TClock::now();
      if (!FPushes.Received(*c.Pushing, std::string_view(chunk.data(), static_cast<size_t>(n)))) {
        close(i - kFirstCaller, "closed connections", std::string());
        continue;
      }
      if (c.Pushing->Buffered() == 0) c.PartialSince = 0;
      else if (c.PartialSince == 0) c.PartialSince = ++partialOrder;
    }
    const auto now = TClock::now();
    size_t buffered = 0;
    std::vector<size_t> partial;
    for (size_t i = 0; i < held.size(); ++i) {
      if (std::find(closing_.begin(), closing_.end(), i) != closing_.end()) continue;
      TCaller& c = *held[i];
      if (!c.Pushing) {
        if (now - c.Since < pushWait) continue;
        // Silent: the head end speaks first, on a worker.
        ++working;
        {
          std::lock_guard<std::mutex> g(queueLock);
          toIdentify.push_back(std::move(held[i]));
        }
        queueWake.notify_all();  // readers wait on the same condition
        closing_.push_back(i);
        continue;
      }
      if (options.IdleTimeout > 0 && now - c.Since >= idleTimeout) {
        {
          std::lock_guard<std::mutex> g(FLock);
          ++FCounts.IdleClosed;
        }
        close(i, "closed connections", Format("nothing for %g s, connection closed", options.IdleTimeout));
        continue;
      }
      if (c.PartialSince) {
        buffered += c.Pushing->Buffered();
        partial.push_back(i);
      }
    }
    if (buffered > options.MaxBuffered) {
      // The oldest partial frames go first: they have had the longest to finish.
      std::sort(partial.begin(), partial.end(), [&](size_t a, size_t b) { return held[a]->PartialSince < held[b]->PartialSince; });
      for (const size_t i : partial) {
        if (buffered <= options.MaxBuffered) break;
        const size_t kept = held[i]->Pushing->Buffered();
        buffered -= kept;
        {
          std::lock_guard<std::mutex> g(FLock);
          ++FCounts.BufferedClosed;
        }
        close(i, "closed connections",
              Format("%zu bytes of a partial frame held, over the bound of %zu for all connections; the oldest closed first",
                     kept, options.MaxBuffered));
      }
    }
    {
      std::lock_guard<std::mutex> g(FLock);
      std::sort(dropped.begin(), dropped.end());
      dropped.erase(std::unique(dropped.begin(), dropped.end()), dropped.end());
      for (const size_t i : dropped)
        if (--FPerAddress[held[i]->Host] <= 0) FPerAddress.erase(held[i]->Host);
    }
    std::sort(closing_.begin(), closing_.end());
    closing_.erase(std::unique(closing_.begin(), closing_.end()), closing_.end());
    for (auto it = closing_.rbegin(); it != closing_.rend(); ++it) held.erase(held.begin() + static_cast<long>(*it));
  }
  // Connections still deciding whether they push are not read; those being
  // read finish within their deadline (at once after Ctrl-C).
  {
    std::lock_guard<std::mutex> g(FLock);
    for (const auto& c : held)
      if (!c->Pushing) ++FCounts.NotStarted;
  }
  held.clear();
  // Identification ends first: what it hands on is then refused by the
  // readers as called while stopping, not left behind.
  for (bool* flag : {&closingIdentify, &closingRead}) {
    {
      std::lock_guard<std::mutex> g(queueLock);
      *flag = true;
    }
    queueWake.notify_all();
    (flag == &closingIdentify ? identifiersRunning : readers).clear();
  }
  FPushes.FlushLines();
  std::lock_guard<std::mutex> g(FLock);
  FLines.Tick(TClock::now(), say, true);
  return FCounts;
}

}  // namespace quillon::cli
