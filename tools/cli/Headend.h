// quillon-cli headend: meters that call in. Every meter that connects is
// identified (client/Caller.h), read with its own settings from the list by
// one of batch's jobs over the connection it opened, and released; a meter
// that pushes as soon as it is connected is heard as listen hears it.
//
// Whoever calls is given nothing secret before it proved it is the meter
// (client/CallerTrust.h); what a caller that did not prove it gives is
// marked unproven, and the run's bookkeeping (done, last read, the meter's
// invocation counter) moves only on a proven call.
//
// The ports face anyone: connections over the cap, and over the cap of one
// address, are turned away, a connection that only pushes is closed after
// the idle timeout, identification has workers and a short deadline of its
// own and reading its own deadline, the
// partial frames of pushing connections are bounded over all of them, an
// unknown meter is logged with what it said and disconnected, and error
// lines are limited as the listener limits them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
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
  // Callers identified at once, by workers of their own: a caller that
  // says nothing holds one of these for IdentifyTimeoutMs at most, never a
  // reading worker.
  int IdentifyJobs = 16;
  int IdentifyTimeoutMs = 10000;
  int MaxConnections = 0;  // 0: from the descriptor limit (DefaultMaxConnections)
  int MaxPerAddress = 32;  // connections from one address at once (carriers put many meters behind one)
  double IdleTimeout = 120;    // seconds a pushing connection may send nothing; 0: no limit
  int PushWaitMs = 300;        // a new connection that sends within this long is a pushing meter
  int MeterTimeoutMs = 120000;  // reading one meter; 0: no limit
  size_t MaxBuffered = 32u << 20;  // bytes of partial frames over all pushing connections
  bool KeepInvocationCounters = true;
  // With a run (--run): a meter read in it is released when it calls
  // again. Without: every call is read, but a meter read less than
  // MinInterval seconds ago is released.
  bool OncePerRun = false;
  double MinInterval = 0;
};

struct THeadEndCounts {
  uint64_t Connections = 0, Read = 0, Failed = 0, AlreadyRead = 0, Unknown = 0, Pushing = 0;
  uint64_t Refused = 0;  // callers not given a meter's secrets, or that did not prove they are the meter
  uint64_t TurnedAway = 0, IdleClosed = 0, BufferedClosed = 0, NotStarted = 0;
};

// What the head end knows of a call that was read.
struct TCallNote {
  std::string Peer;  // "10.0.0.7:40112", "/hdlc" after it for the HDLC port
  std::string By;    // what the meter was known by: "system title", ...
  bool Proven = false;
  int64_t Counter = -1;  // the meter's invocation counter in its ciphered answer
};

class THeadEnd {
public:
  // `pushes` hears the connections that push first (its OnPushed and
  // OnError are the caller's).
  THeadEnd(const std::vector<client::TFleetMeter>& meters, client::TBatchJob job, TPushListener& pushes);
  // Once per port: its number and its framing ("DLMS wrapper", "HDLC").
  std::function<void(int port, const std::string& framing)> OnListening;
  // Each meter read (or failed) by a caller that proved it is the meter or
  // whose reading is marked unproven; calls are never concurrent. A caller
  // that claimed a meter and failed before it proved it is only a line.
  std::function<void(const client::TMeterResult&, const TCallNote&)> OnResult;
  // What happened to a connection: unknown meters, meters already read,
  // connections turned away or closed (limited in number as listen's).
  std::function<void(const std::string&)> OnLine;
  // Meters already read in this run (an earlier process's, from the
  // database); a meter read by this head end joins them.
  void SetDone(std::set<std::string> done) { FDone = std::move(done); }
  // The invocation counter each meter last answered a call with (from the
  // database): a call whose counter is not above it is a recording.
  void SetLastCounters(std::map<std::string, uint32_t> last) { FLastCounter = std::move(last); }

  THeadEndCounts Run(const THeadEndOptions& options, client::TCancelToken& cancel);

private:
  struct TCaller;
  // Who called and whether it may be read: false when it is done with.
  bool Identify(TCaller& caller, client::TMeterWatch::TSlot& limit);
  void Read(TCaller& caller, client::TMeterWatch::TSlot& limit, int timeoutMs);
  // Why a meter is not read again now (called with FLock held); nullptr: it is.
  const char* ReadAlready(const std::string& meter, std::string& detail) const;
  void Line(const char* sort, const std::string& sender, const std::string& text);

  const std::vector<client::TFleetMeter>& FMeters;
  client::TBatchJob FJob;
  TPushListener& FPushes;
  client::TCallerIdentifier FWrapperCallers, FHdlcCallers;
  bool FKeepCounters = true;
  bool FOncePerRun = false;
  double FMinInterval = 0;
  std::mutex FLock;  // the sets, the counts, the callbacks, the line limiter
  std::condition_variable FFreed;  // a meter left FInFlight
  std::set<std::string> FDone, FInFlight;
  std::map<std::string, std::chrono::steady_clock::time_point> FLastRead;
  std::map<std::string, uint32_t> FLastCounter;
  std::map<std::string, int> FPerAddress;  // connections held per caller address
  THeadEndCounts FCounts;
  TLineLimiter FLines{20, std::chrono::seconds(10)};
};

}  // namespace quillon::cli
