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
#include "xmlpdu/infra/Errors.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillon::client {

// The tables (also in README, "Reading a fleet").
extern const char* const kReadingsSchema;

class TReadingsDb {
public:
  // Opens (creating when missing) and brings the schema up to date; a file
  // whose tables are not ours (views, other columns, triggers) is refused
  // as CheckSource says, naming "--db \"<path>\"". A statement waits up to `busyTimeoutMs` for a lock another process holds
  // before it fails with EDatabaseBusy.
  explicit TReadingsDb(const std::string& path, int busyTimeoutMs = 10000);
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
  // header first, times in ISO 8601, string values as their text. A value
  // that is not valid JSON is written as its raw text, and `warning` gets
  // one line at the end saying how many rows were so and which was first.
  void Export(const std::string& what, const std::string& meter, int64_t from, int64_t to,
              const std::function<void(const std::vector<std::string>&)>& line,
              const std::function<void(const std::string&)>& warning = {});
  // Refuses a file that is not a readings database before anything is read
  // from it: every table must be a plain table with exactly the columns of
  // ours (a view or a virtual table could make reading it endless). Fails
  // with a general error naming the file and the table.
  void CheckSource(const std::string& otherPath);
  // Adds every row of another readings database that this one lacks; the
  // source is checked first (CheckSource).
  void Merge(const std::string& otherPath);

  // Row counts of the tables, for tests and summaries.
  int64_t Count(const std::string& table);

  sqlite3* Handle() { return FDb; }

private:
  bool HasColumn(const std::string& schema, const std::string& table, const std::string& column);
  void Close();
  void Exec(const char* sql);
  void Attach(const std::string& otherPath);
  void Detach();
  // Every table of `schema` (main, other) a plain table with our columns,
  // and no triggers; fails naming `named` and the table.
  void CheckTables(const char* schema, const std::string& named);
  void StoreOne(const TMeterResult& r, const std::string& run);
  sqlite3* FDb = nullptr;
  sqlite3_stmt *FReading = nullptr, *FEntry = nullptr, *FMeterOk = nullptr, *FMeterFailed = nullptr, *FDone = nullptr;
};

// The database is locked by another process (SQLITE_BUSY, SQLITE_LOCKED):
// the same statement may succeed later.
struct EDatabaseBusy : EGeneralError {
  using EGeneralError::EGeneralError;
};

// How the writer waits out a database another process has locked: each
// try waits the database's busy timeout, then the writer pauses
// FirstPauseMs, doubling up to MaxPauseMs, and gives up once it has waited
// LimitMs in all. Nothing pushed is dropped: what could not be stored is
// handed back by Finish.
struct TLockWait {
  int LimitMs = 300000;
  int FirstPauseMs = 500;
  int MaxPauseMs = 8000;
  // Ends the waiting early (Ctrl-C): what is not stored is handed back
  // with the error "cancelled".
  const TCancelToken* Cancel = nullptr;
};

// One writer thread fed by the readers: results queue up and go in together,
// one transaction per batch of queued results.
class TReadingsWriter {
public:
  TReadingsWriter(TReadingsDb& db, std::string run, TLockWait wait = {});
  ~TReadingsWriter();  // Finish()
  void Push(TMeterResult r);
  // Called (on the writer's thread) when a store first finds the database
  // locked, before the writer starts waiting.
  std::function<void()> OnLocked;

  struct TReport {
    int64_t WaitedMs = 0;               // time spent waiting for a lock
    std::string Error;                  // why storing stopped; empty when all went in
    std::vector<TMeterResult> Unstored; // results not in the database, in order
  };
  // Waits for the queue to empty (storing what it can, within the wait
  // limit) and stops the thread.
  TReport Finish();

private:
  void Loop();
  TReadingsDb& FDb;
  std::string FRun;
  TLockWait FWait;
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TMeterResult> FQueue;
  bool FStop = false;
  TReport FReport;
  std::thread FThread;
};

}  // namespace quillon::client
