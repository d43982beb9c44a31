// Reading many meters at once: a meter list (the named meters file, or a
// CSV whose header row names the same keys), a job to run on each meter,
// and a runner that works through the list with a pool of threads, one
// session and its own layer stack per meter, retrying with back-off, so that
// no meter's failure holds up another.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/Session.h"

namespace quillon::client {

struct TFleetMeter {
  std::string Name;
  TMeterProfile Profile;
  // A meter the list names but does not describe well enough to be read (a
  // bad cell or name, a ciphered meter without its keys): it fails with
  // this error, without an attempt, and the others are read. Where the
  // fault is: the list's line (0 for the meters file) and column name
  // (empty when it is not one cell's).
  std::string ConfigError;
  size_t Line = 0;
  std::string Column;
  // What the push listener knows the meter by besides its system title:
  // keys "logical-device-name" and "serial" of its entry (as text).
  std::string LogicalDeviceName, Serial;
  // What its pushes must carry at least ("push-security", as "security"
  // numbers it); -1: not stated (authentication when the entry has an
  // authentication key). Apart from "security", which is how a session reads.
  int PushPolicy = -1;
};

// One section of a meters file (or one row of a meter list) as a meter.
TFleetMeter FleetMeterOfSection(const TIniData& ini, const std::string& name);
// Every section of a meters file.
std::vector<TFleetMeter> MetersOfIni(const TIniData& ini);
// Every section of a meters file's text, under the meter list's rules for
// names: a section named twice (which a plain INI reading merges) or a
// name with brackets or control characters is a meter that fails with
// ConfigError "meters file line L: ..." (Line: L), not a merge of two.
std::vector<TFleetMeter> MetersOfIniText(const std::string& text);
// A meter list as CSV (RFC 4180): a header row with "name" and keys of the
// meters file (transport, host, port, client, server, physical, auth,
// password, password-hex, security, suite, ek, ak, kek, system-title,
// server-system-title, ...), and "address" as a short form of HOST:PORT (or
// the device of a serial line). Columns it does not know are kept with the
// meter and otherwise ignored. A list without its header fails as a whole
// (a general error); a bad row is a meter with ConfigError "meter list line
// L, column C (KEY): ..." (names: no brackets, no control characters, once).
std::vector<TFleetMeter> MetersOfCsv(const std::string& text);
// The cells of each record of a CSV text; quoted cells may hold commas,
// quotes ("") and line breaks. `lines`, when given, gets the line each
// record starts on (from 1).
std::vector<std::vector<std::string>> ParseCsv(const std::string& text, std::vector<size_t>* lines = nullptr);
// Marks the meters whose profile cannot serve a session (Check(): a
// ciphered meter without its keys, a meter without an address) as failed
// by configuration: "meter list line L: meter NAME: ...".
void CheckMeters(std::vector<TFleetMeter>& meters);
// A name as one line of text: control characters as \n, \r, \t, \xNN.
std::string PrintableName(const std::string& name);

// --shard I/N: the meters whose name falls into slice I (0 <= I < N). The
// slice of a name depends on the name alone, so N copies with I = 0..N-1
// read every meter exactly once, whatever order their lists are in.
struct TShard {
  unsigned Index = 0, Count = 1;
  bool Holds(const std::string& meterName) const;
};
// "I/N"; throws a general error naming the text otherwise.
TShard ParseShard(const std::string& text);

// What to do with each meter.
struct TBatchJob {
  enum TKind { jGet, jProfile, jClockSet, jDump } Kind = jGet;
  std::vector<TObjectRef> Refs;  // jGet
  TObjectRef Profile;            // jProfile
  TProfileRange Range;
  bool ClockNow = true;          // jClockSet: this machine's clock at the time of writing
  int64_t ClockTo = 0;
};

// The outcome for one meter.
struct TMeterResult {
  std::string Meter;
  bool Ok = false;
  std::string Error;   // the last attempt's error
  std::optional<TDiagnosis> Diagnosis;  // its explanation, where the diagnosis table has one
  int Attempts = 0;
  int64_t ReadAt = 0;  // seconds since the epoch, when the session was opened
  std::vector<TReading> Readings;           // jGet
  std::optional<TProfileTable> ProfileData;  // jProfile
  TObjectRef ProfileRef;
  std::optional<TValue> ClockBefore;       // jClockSet: the clock read before it was set
  nlohmann::json Dump;                     // jDump: {"ref": value, ...}
  size_t Line = 0;      // a configuration failure: where in the meter list
  std::string Column;
  // Read from a caller that did not prove it is the meter (a meter that
  // called in and needs no secret, or one trusted unproven): the records
  // say "unproven": true.
  bool Unproven = false;
};

// One JSON object per reading (per entry of a profile), or one for the
// failure: stable field names, "meter" and "time" in every record. A failure
// has "error" and "attempts", and where the diagnosis table explains it
// "diagnosis" (the row's name), "what", "cause" and "fix"; a configuration
// failure "line" and, when one cell is at fault, "column".
std::vector<nlohmann::json> ResultRecords(const TMeterResult& r);
// "2026-12-10T13:59:01Z"
std::string TimeText(int64_t unixSeconds);
// The capture time of a profile entry (its clock column), if it has one.
std::optional<int64_t> EntryTime(const TProfileTable& t, size_t row);

struct TBatchOptions {
  int Jobs = 8;
  int Retries = 2;            // attempts after the first
  int RetryDelayMs = 500;     // before the first retry; doubled for every one after
  // The longest one meter may take, its retries included (0: no limit):
  // then it fails as a timeout ("not read within the meter timeout of 300 s")
  // and the batch goes on. A meter that keeps answering slowly, a byte at a
  // time or a block at a time, must not hold a fleet run.
  int MeterTimeoutMs = 300000;
  // Keeps the invocation counters of ciphered meters between runs.
  bool KeepInvocationCounters = true;
};

struct TBatchCounts {
  size_t Total = 0, Done = 0, Failed = 0, InFlight = 0;
  uint64_t Reads = 0;  // attributes and profile entries read so far
};

// The result of a meter whose attempt failed with `e`.
TMeterResult FailedResult(const std::string& meter, const std::exception& e, int attempts);

// The meters in flight and their limits: a watch ends a meter that has run
// out of time (and every one when `cancelAll` is cancelled) through its
// slot's own cancel token. One slot per worker.
class TMeterWatch {
public:
  struct TSlot {
    TCancelToken Token;
    std::chrono::steady_clock::time_point Deadline = std::chrono::steady_clock::time_point::max();
    std::atomic<bool> TimedOut{false};
  };
  TMeterWatch(size_t slots, TCancelToken* cancelAll);
  ~TMeterWatch();
  // The slot's meter has `timeoutMs` from now (0: no limit).
  TSlot& Start(size_t slot, int timeoutMs);
  void Stop(size_t slot);

private:
  void Watch(std::stop_token stop);
  std::vector<TSlot> FSlots;
  TCancelToken* FCancelAll;
  std::mutex FLock;
  std::jthread FThread;
};

class TBatchRunner {
public:
  TBatchRunner(TBatchOptions options, TBatchJob job) : FOptions(options), FJob(std::move(job)) {}

  // Called for every meter as soon as it is finished, on the worker's
  // thread; calls are never concurrent.
  std::function<void(const TMeterResult&)> OnResult;
  // Called whenever the counts change; same guarantee.
  std::function<void(const TBatchCounts&)> OnProgress;

  // Reads every meter; returns the counts at the end. Cancel stops the
  // sessions in flight within a fraction of a second and starts no more.
  TBatchCounts Run(const std::vector<TFleetMeter>& meters, TCancelToken* cancel = nullptr);

  // One meter, one attempt (what each worker runs; also for tests). With
  // `keepCounter`, a ciphered meter's invocation counter is kept in the
  // counters file (see TSession::KeepInvocationCounter).
  // `over`: a meter that called in is read over its connection.
  // `opened`: told of the session once it is open, before anything is
  // read (throws to stop the reading: the meter then fails with that error).
  static TMeterResult ReadMeter(const TFleetMeter& meter, const TBatchJob& job, const TCall& call,
                                bool keepCounter = false, std::shared_ptr<TCallerConnection> over = nullptr,
                                const std::function<void(TSession&)>& opened = {});

private:
  TBatchOptions FOptions;
  TBatchJob FJob;
  std::mutex FLock;  // serialises the callbacks and the counts
  TBatchCounts FCounts;
};

}  // namespace quillon::client
