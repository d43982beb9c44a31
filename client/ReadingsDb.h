// The readings database: what batch reads and listen receives, kept in one
// SQLite file (write-ahead log, so readers never block the writer). Keys are
// unique, so that reading the same thing twice stores it once, and each
// meter's results go in with one transaction, so that a run killed part-way
// leaves whole meters behind and the next run with the same name does only
// the meters still missing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/Batch.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillon::client {

// The tables (also in README, "Reading a fleet").
extern const char* const kReadingsSchema;

class TReadingsDb {
public:
  // Opens (creating when missing) and brings the schema up to date.
  explicit TReadingsDb(const std::string& path);
  ~TReadingsDb();
  TReadingsDb(const TReadingsDb&) = delete;
  TReadingsDb& operator=(const TReadingsDb&) = delete;

  // One meter's result in one transaction; `run` (when not empty) marks
  // the meter done in that run, in the same transaction.
  void Store(const TMeterResult& r, const std::string& run);
  void Store(const std::vector<TMeterResult>& results, const std::string& run);
  // Meters a run has finished.
  std::set<std::string> DoneInRun(const std::string& run);

  struct TNotification {
    std::string Meter;        // name, or the system title in hex when unknown
    int64_t ReceivedAt = 0;
    int64_t InvocationCounter = -1;  // -1: the message was not ciphered
    std::string Kind;         // "data-notification", "event-notification", "information-report"
    std::string Body;         // JSON of the values as decoded
    bool Unknown = false;     // no meter of the list: Meter is the name the message carries
  };
  // false when the meter already stored this counter (a replay).
  bool StoreNotification(const TNotification& n);
  // All of them in one transaction, or none (throws, rolled back: a locked
  // database, say). Returns how many were stored; `duplicate` is told of
  // each one whose counter its meter had already stored.
  size_t StoreNotifications(const std::vector<TNotification>& ns,
                            const std::function<void(const TNotification&)>& duplicate = {});
  // How long a statement waits for another process's lock before it fails.
  void SetBusyTimeout(int milliseconds);
  // The highest invocation counter stored for each meter, so that a
  // listener that restarts still knows a replay when it sees one.
  std::map<std::string, uint32_t> LastInvocationCounters();

  // The rows of "readings" or "profiles" (entries), by meter (empty: all)
  // and time range (read time or entry time, inclusive), as CSV cells: the
  // header first, times in ISO 8601, string values as their text.
  void Export(const std::string& what, const std::string& meter, int64_t from, int64_t to,
              const std::function<void(const std::vector<std::string>&)>& line);
  // Adds every row of another readings database that this one lacks.
  void Merge(const std::string& otherPath);

  // Row counts of the tables, for tests and summaries.
  int64_t Count(const std::string& table);

  sqlite3* Handle() { return FDb; }

private:
  bool HasColumn(const std::string& schema, const std::string& table, const std::string& column);
  void Close();
  void Exec(const char* sql);
  void StoreOne(const TMeterResult& r, const std::string& run);
  sqlite3* FDb = nullptr;
  sqlite3_stmt *FReading = nullptr, *FEntry = nullptr, *FMeterOk = nullptr, *FMeterFailed = nullptr, *FDone = nullptr;
};

// One writer thread fed by the readers: results queue up and go in together,
// one transaction per batch of queued results.
class TReadingsWriter {
public:
  TReadingsWriter(TReadingsDb& db, std::string run);
  ~TReadingsWriter();  // Finish(), errors swallowed
  void Push(TMeterResult r);
  // Waits for the queue to empty and stops the thread; rethrows the first
  // error the writer met.
  void Finish();

private:
  void Loop();
  TReadingsDb& FDb;
  std::string FRun;
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TMeterResult> FQueue;
  bool FStop = false;
  std::exception_ptr FError;
  std::thread FThread;
};

}  // namespace quillon::client
