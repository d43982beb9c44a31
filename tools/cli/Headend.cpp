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
  bool Hdlc = false;
  TClock::time_point Since;  // accepted; once pushing, the last bytes
  std::unique_ptr<TPushSender> Pushing;
  uint64_t PartialSince = 0;  // the order in which pushing connections began holding a partial frame
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

void THeadEnd::Serve(TCaller& caller, TMeterWatch::TSlot& limit, int timeoutMs) {
  TCall call;
  call.Cancel = &limit.Token;
  const std::string peer = caller.Connection->Peer() + (caller.Hdlc ? "/hdlc" : "");
  TCallerIdentity who;
  try {
    who = (caller.Hdlc ? FHdlcCallers : FWrapperCallers).Identify(caller.Connection, call);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> g(FLock);
    ++FCounts.Failed;
    Line("identifications failed", peer,
         Format("%s: not identified (%s)", peer.c_str(), limit.TimedOut ? "the meter timeout ran out" : e.what()));
    return;
  }
  if (who.Meter < 0) {
    std::lock_guard<std::mutex> g(FLock);
    ++FCounts.Unknown;
    Line("unknown meters", peer, Format("%s: unknown meter, it said %s; disconnected", peer.c_str(), who.Text().c_str()));
    return;
  }
  const TFleetMeter& meter = FMeters[static_cast<size_t>(who.Meter)];
  {
    std::lock_guard<std::mutex> g(FLock);
    const char* why = FDone.count(meter.Name)       ? "already read in this run"
                      : FInFlight.count(meter.Name) ? "being read over another connection"
                                                    : nullptr;
    if (why) {
      ++FCounts.AlreadyRead;
      Line("meters called again", meter.Name,
           Format("%s: meter %s (%s) %s; released", peer.c_str(), PrintableName(meter.Name).c_str(), who.By.c_str(), why));
      return;
    }
    FInFlight.insert(meter.Name);
  }
  TMeterResult r;
  if (!meter.ConfigError.empty()) {
    r.Meter = meter.Name;
    r.ReadAt = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    r.Error = meter.ConfigError;
    r.Line = meter.Line;
    r.Column = meter.Column;
  } else {
    try {
      r = TBatchRunner::ReadMeter(meter, FJob, call, FKeepCounters, caller.Connection);
    } catch (const std::exception& e) {
      r = FailedResult(meter.Name, e, 1);
      if (limit.TimedOut) {
        r.Error = Format("not read within the meter timeout of %d s", timeoutMs / 1000);
        r.Diagnosis.reset();
      }
    }
  }
  r.Attempts = 1;
  std::lock_guard<std::mutex> g(FLock);
  FInFlight.erase(meter.Name);
  if (r.Ok) {
    ++FCounts.Read;
    FDone.insert(meter.Name);
  } else {
    ++FCounts.Failed;
  }
  if (OnResult) OnResult(r, peer, who.By);
}

THeadEndCounts THeadEnd::Run(const THeadEndOptions& options, TCancelToken& cancel) {
  FCounts = THeadEndCounts{};
  FKeepCounters = options.KeepInvocationCounters;
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
  // (queued or being read): they count against the cap too.
  std::mutex queueLock;
  std::condition_variable queueWake;
  std::deque<std::unique_ptr<TCaller>> queue;
  bool closing = false;
  std::atomic<size_t> working{0};
  const int jobs = std::clamp(options.Jobs, 1, 4096);
  TMeterWatch watch(static_cast<size_t>(jobs), &cancel);
  auto worker = [&](size_t slot) {
    for (;;) {
      std::unique_ptr<TCaller> caller;
      bool stopping;
      {
        std::unique_lock<std::mutex> g(queueLock);
        queueWake.wait(g, [&] { return closing || !queue.empty(); });
        if (queue.empty()) return;
        caller = std::move(queue.front());
        queue.pop_front();
        stopping = closing;
      }
      if (stopping) {
        // Called while the head end was stopping: not read.
        std::lock_guard<std::mutex> c(FLock);
        ++FCounts.NotStarted;
      } else {
        TMeterWatch::TSlot& limit = watch.Start(slot, options.MeterTimeoutMs);
        Serve(*caller, limit, options.MeterTimeoutMs);
        watch.Stop(slot);
      }
      caller->Connection->HangUp();
      --working;
    }
  };
  std::vector<std::jthread> workers;
  for (int k = 0; k < jobs; ++k) workers.emplace_back(worker, static_cast<size_t>(k));

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
        auto caller = std::make_unique<TCaller>();
        caller->Connection = std::move(c);
        caller->Hdlc = at == 1;
        caller->Since = TClock::now();
        held.push_back(std::move(caller));
      }
    }
    std::vector<size_t> closing_;
    auto close = [&](size_t i, const char* sort, const std::string& why) {
      if (!why.empty()) line(sort, held[i]->Connection->Peer(), held[i]->Connection->Peer() + ": " + why);
      closing_.push_back(i);
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
          queue.push_back(std::move(held[i]));
        }
        queueWake.notify_one();
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
  {
    std::lock_guard<std::mutex> g(queueLock);
    closing = true;
  }
  queueWake.notify_all();
  workers.clear();
  FPushes.FlushLines();
  std::lock_guard<std::mutex> g(FLock);
  FLines.Tick(TClock::now(), say, true);
  return FCounts;
}

}  // namespace quillon::cli
