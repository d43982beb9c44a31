// The readings store: what batch reads and listen receives, kept in one
// database, the same tables and keys whichever database it is: an SQLite
// file (the embedded default) or a PostgreSQL server that many processes on
// many machines write at once. Keys are unique, so that reading the same
// thing twice stores it once, and each batch of results goes in with one
// transaction, so that a run killed part-way leaves whole meters behind and
// the next run with the same name does only the meters still missing.
//
// What is stored, exported and merged is decided here once; the two
// databases only run the statements (their dialects differ a little) and
// keep their transactions.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "client/Batch.h"
#include "xmlpdu/infra/Errors.h"

namespace quillon::client {

// The tables (also in README, "Reading a fleet"), as SQLite has them;
// PostgreSQL gets the same tables with its own type names.
extern const char* const kReadingsSchema;
// The version of those tables: SQLite keeps it as the file's user_version,
// PostgreSQL as the row of table quillon_schema, so that a later change
// knows what it migrates from.
constexpr int kReadingsSchemaVersion = 1;
// How a merge takes a meter both databases have (the end of its INSERT).
extern const char* const kMergeMetersConflict;
// Our tables, in the order a merge copies them.
extern const char* const kReadingsTables[5];
// The largest cell a merge takes: far above any value a meter gives (a
// whole object list as JSON is a few hundred kilobytes), far below what a
// hostile source could make a merge write.
constexpr size_t kMaxMergedCellBytes = 4u << 20;
// The refusal of a larger one: "<named>: table \"t\", row N, column \"c\":
// expected at most 4194304 bytes" (`named`: SOURCE "<path>"; empty: none).
[[noreturn]] void RaiseCellTooLarge(const std::string& named, const std::string& table, long long row,
                                    const std::string& column);
// The query that finds the first such cell of `table` (its row number and
// column name; no row when there is none), in SQLite's or PostgreSQL's
// spelling; `from` is the table as the query names it, `columns` how many
// of its columns it has (fewer in files of an older schema).
std::string OversizedCellQuery(const std::string& table, const std::string& from, bool postgres, size_t columns);

// The kind of the notification row the head end keeps of each call it read:
// who called, whether it proved it is the meter, and the meter's invocation
// counter in its ciphered answer (so that a recorded call is known later).
constexpr const char* kCallInKind = "call-in";

// A message a meter pushed, as the listener stores it.
struct TNotification {
  std::string Meter;        // name, or the system title in hex when unknown
  int64_t ReceivedAt = 0;
  int64_t InvocationCounter = -1;  // -1: the message was not ciphered
  std::string Kind;         // "data-notification", "event-notification", "information-report"
  std::string Body;         // JSON of the values as decoded
  bool Unknown = false;     // no meter of the list: Meter is the name the message carries
};

// A value of a column: NULL, an integer, a real or a text.
using TCell = std::variant<std::monostate, int64_t, double, std::string>;
using TRow = std::vector<TCell>;

// The database cannot take the statement now (SQLite: another process holds
// a lock; PostgreSQL: the connection is lost, the server is restarting, or
// two writers deadlocked): the same statement may succeed later.
struct EDatabaseBusy : EGeneralError {
  using EGeneralError::EGeneralError;
};

class TReadingsStore {
public:
  virtual ~TReadingsStore() = default;

  // The database as messages name it: the file's path, or the connection
  // with its password masked.
  virtual std::string Name() const = 0;
  // Whether it is a server others reach as well (PostgreSQL).
  virtual bool Shared() const = 0;

  // Results in one transaction; `run` (when not empty) marks each meter
  // done in that run, in the same transaction.
  void Store(const std::vector<TMeterResult>& results, const std::string& run);
  void Store(const TMeterResult& r, const std::string& run);
  // Meters a run has finished.
  std::set<std::string> DoneInRun(const std::string& run);

  // false when the meter already stored this counter (a replay).
  bool StoreNotification(const TNotification& n);
  // All of them in one transaction, or none (throws, rolled back: a locked
  // database, say). Returns how many were stored; `duplicate` is told of
  // each one whose counter its meter had already stored.
  size_t StoreNotifications(const std::vector<TNotification>& ns,
                            const std::function<void(const TNotification&)>& duplicate = {});
  // The highest invocation counter stored for each meter, so that a
  // listener that restarts still knows a replay when it sees one: of its
  // pushes, or (`calls`) of the answers of its calls to the head end.
  std::map<std::string, uint32_t> LastInvocationCounters(bool calls = false);
  // How long a statement waits for another process's lock before it fails
  // (SQLite; a server makes writers wait for each other itself).
  virtual void SetBusyTimeout(int milliseconds) = 0;

  // The rows of "readings" or "profiles" (entries), by meter (empty: all)
  // and time range (read time or entry time, inclusive), as CSV cells: the
  // header first, times in ISO 8601, string values as their text. A value
  // that is not valid JSON is written as its raw text, and `warning` gets
  // one line at the end saying how many rows were so and which was first.
  void Export(const std::string& what, const std::string& meter, int64_t from, int64_t to,
              const std::function<void(const std::vector<std::string>&)>& line,
              const std::function<void(const std::string&)>& warning = {});

  // "undecoded": the pushed messages that could not be decoded, kept as
  // notifications of that kind: meter (empty when not known), received_at,
  // sender, reason and the bytes in hex.
  void ExportUndecoded(const std::string& meter, int64_t from, int64_t to,
                       const std::function<void(const std::vector<std::string>&)>& line);

  // Refuses a source that is not a readings database before anything is
  // read from it (a file: every table a plain table with exactly our
  // columns; a server: our tables and schema version). A source is an
  // SQLite file or a PostgreSQL connection, as OpenReadingsStore tells.
  virtual void CheckSource(const std::string& source);
  // Adds every row of another readings database that this one lacks; the
  // source is checked first (CheckSource). Rows go in by the thousand, one
  // transaction each: a merge cut short is completed by running it again.
  virtual void Merge(const std::string& source);

  // Row counts of the tables, for tests and summaries.
  int64_t Count(const std::string& table);
  // Every row of one of our tables, in the schema's column order.
  virtual void ReadRows(const std::string& table, const std::function<void(const TRow&)>& row);

  // The statements the store runs, written once (SQLite's spelling; each
  // database adapts it): placeholders ?1.., `greatest(` for the larger of
  // two values.
  enum TStatementId { sReading, sEntry, sMeterOk, sMeterFailed, sDone, sNotification,
                      sMergeReading, sMergeEntry, sMergeNotification, sMergeDone, sMergeMeter, kStatements };
  struct TCall {
    TStatementId Statement;
    TRow Params;
  };
  static const char* StatementSql(TStatementId id);
  // What failed, for the error: "store a reading".
  static const char* StatementWhat(TStatementId id);

protected:
  // Runs the calls in order, in one transaction; `changed` (when given)
  // gets the number of rows each call changed. Throws (rolled back) on the
  // first that fails.
  virtual void Execute(const std::vector<TCall>& calls, std::vector<int64_t>* changed) = 0;
  // Runs a query (SQLite's spelling, placeholders ?1..) with `params`
  // bound; `row` gets each row.
  virtual void Query(const std::string& sql, const TRow& params, const std::function<void(const TRow&)>& row,
                     const char* what) = 0;
};

// A statement in SQLite's spelling as `postgres` or SQLite runs it:
// placeholders ?N become $N, greatest( becomes max(, and %C (after a text in
// ORDER BY) asks for byte order where the database's collation may differ.
std::string InDialect(const std::string& sql, bool postgres);

// Whether a --db argument names a PostgreSQL server: a URI
// (postgresql://, postgres://) or a libpq keyword string (host=... dbname=...).
bool IsServerDatabase(const std::string& dbArgument);
// The argument with its password (URI user info, password= in the query
// or as a keyword) replaced by ***, for messages and logs.
std::string MaskConnection(const std::string& dbArgument);
// The one way the commands open their database: an SQLite file, created
// when missing, or a PostgreSQL server, its tables created on first use.
// An SQLite statement waits up to `busyTimeoutMs` for another process's
// lock. Errors name "--db \"<path or masked connection>\"".
std::unique_ptr<TReadingsStore> OpenReadingsStore(const std::string& dbArgument, int busyTimeoutMs = 10000);

// How the writer waits out a database that cannot take its results now
// (another process's lock, a server that is away): each try waits the
// database's own timeout, then the writer pauses FirstPauseMs, doubling up
// to MaxPauseMs, and gives up once it has waited LimitMs in all. Nothing
// pushed is dropped: what could not be stored is handed back by Finish.
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
  TReadingsWriter(TReadingsStore& db, std::string run, TLockWait wait = {});
  ~TReadingsWriter();  // Finish()
  void Push(TMeterResult r);
  // Called (on the writer's thread) when a store first finds the database
  // unable to take it, before the writer starts waiting.
  std::function<void()> OnLocked;

  struct TReport {
    int64_t WaitedMs = 0;               // time spent waiting for the database
    std::string Error;                  // why storing stopped; empty when all went in
    std::vector<TMeterResult> Unstored; // results not in the database, in order
  };
  // Waits for the queue to empty (storing what it can, within the wait
  // limit) and stops the thread.
  TReport Finish();

private:
  void Loop();
  TReadingsStore& FDb;
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
