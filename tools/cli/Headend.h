// quillon-cli headend: meters that call in. Every meter that connects is
// identified (client/Caller.h), read with its own settings from the list by
// one of batch's jobs over the connection it opened, and released; a meter
// that pushes as soon as it is connected is heard as listen hears it.
//
// The ports face anyone: connections over the cap are turned away, a
// connection that only pushes is closed after the idle timeout, every
// meter has a deadline for its identification and reading together, the
// partial frames of pushing connections are bounded over all of them, an
// unknown meter is logged with what it said and disconnected, and error
// lines are limited as the listener limits them.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "client/Batch.h"
#include "client/Caller.h"
#include "tools/cli/Listen.h"

namespace quillon::cli {

struct THeadEndOptions {
  std::string Address;     // empty: every local address
  int Port = 4059;         // DLMS wrapper; 0: a free port (told through OnListening)
  int HdlcPort = -1;       // HDLC frames; -1: none, 0: a free one
  double Seconds = 0;      // stop after this long; 0: only when cancelled
  int Jobs = 32;           // meters read at once
  int MaxConnections = 0;  // 0: from the descriptor limit (DefaultMaxConnections)
  double IdleTimeout = 120;    // seconds a pushing connection may send nothing; 0: no limit
  int PushWaitMs = 300;        // a new connection that sends within this long is a pushing meter
  int MeterTimeoutMs = 120000;  // identification and reading of one meter together; 0: no limit
  size_t MaxBuffered = 32u << 20;  // bytes of partial frames over all pushing connections
  bool KeepInvocationCounters = true;
};

struct THeadEndCounts {
  uint64_t Connections = 0, Read = 0, Failed = 0, AlreadyRead = 0, Unknown = 0, Pushing = 0;
  uint64_t TurnedAway = 0, IdleClosed = 0, BufferedClosed = 0, NotStarted = 0;
};

class THeadEnd {
public:
  // `pushes` hears the connections that push first (its OnPushed and
  // OnError are the caller's).
  THeadEnd(const std::vector<client::TFleetMeter>& meters, client::TBatchJob job, TPushListener& pushes);
  // Once per port: its number and its framing ("DLMS wrapper", "HDLC").
  std::function<void(int port, const std::string& framing)> OnListening;
  // Each meter read (or failed), with the address it called from and what
  // it was known by ("system title", ...); calls are never concurrent.
  std::function<void(const client::TMeterResult&, const std::string& peer, const std::string& by)> OnResult;
  // What happened to a connection: unknown meters, meters already read,
  // connections turned away or closed (limited in number as listen's).
  std::function<void(const std::string&)> OnLine;
  // Meters already read in this run (an earlier process's, from the
  // database); a meter read by this head end joins them.
  void SetDone(std::set<std::string> done) { FDone = std::move(done); }

  THeadEndCounts Run(const THeadEndOptions& options, client::TCancelToken& cancel);

private:
  struct TCaller;
  void Serve(TCaller& caller, client::TMeterWatch::TSlot& limit, int timeoutMs);
  void Line(const char* sort, const std::string& sender, const std::string& text);

  const std::vector<client::TFleetMeter>& FMeters;
  client::TBatchJob FJob;
  TPushListener& FPushes;
  client::TCallerIdentifier FWrapperCallers, FHdlcCallers;
  bool FKeepCounters = true;
  std::mutex FLock;  // the sets, the counts, the callbacks, the line limiter
  std::set<std::string> FDone, FInFlight;
  THeadEndCounts FCounts;
  TLineLimiter FLines{20, std::chrono::seconds(10)};
};

}  // namespace quillon::cli
