#include "client/ReadingsDb.h"

#include <sqlite3.h>

#include <cctype>
#include <chrono>


#include "knowledge/COSEMUnits.h"
#include "xmlpdu/infra/Errors.h"

namespace quillon::client {

using nlohmann::json;

const char* const kReadingsSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meters (
  name         TEXT PRIMARY KEY,
  last_read    INTEGER,  -- seconds since 1970 (UTC) of the last complete read
  last_attempt INTEGER,  -- and of the last attempt, read or failed
  last_error   TEXT      -- the last attempt's error; NULL when it succeeded
);
CREATE TABLE IF NOT EXISTS readings (
  meter     TEXT    NOT NULL,
  obis      TEXT    NOT NULL,  -- 1.0.1.8.0.255
  attribute INTEGER NOT NULL,
  read_at   INTEGER NOT NULL,  -- seconds since 1970 (UTC)
  class     INTEGER NOT NULL,
  value     TEXT    NOT NULL,  -- the value as JSON, as the meter sent it
  scaler    INTEGER,           -- registers: the scaler and unit applied in scaled
  unit      TEXT,
  scaled    REAL,
  PRIMARY KEY (meter, obis, attribute, read_at)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS profile_entries (
  meter      TEXT    NOT NULL,
  profile    TEXT    NOT NULL,  -- OBIS of the profile
  entry_time INTEGER NOT NULL,  -- the entry's capture time, seconds since 1970 (UTC)
  column_ref TEXT    NOT NULL,  -- the captured attribute, 3/1.0.1.8.0.255/2
  value      TEXT    NOT NULL,  -- JSON
  scaler     INTEGER,
  unit       TEXT,
  scaled     REAL,
  PRIMARY KEY (meter, profile, entry_time, column_ref)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS notifications (
  meter              TEXT    NOT NULL,  -- name, or the system title in hex
  received_at        INTEGER NOT NULL,
  invocation_counter INTEGER,           -- NULL for plain messages
  kind               TEXT    NOT NULL,
  body               TEXT    NOT NULL,  -- JSON
  unknown            INTEGER NOT NULL DEFAULT 0,  -- 1: no meter of the list, stored under the name it carries
  UNIQUE (meter, invocation_counter)
);
CREATE TABLE IF NOT EXISTS runs_done (
  run   TEXT NOT NULL,  -- the name a batch run was given
  meter TEXT NOT NULL,
  PRIMARY KEY (run, meter)
) WITHOUT ROWID;
)SQL";

namespace {

bool Busy(int rc) {
  rc &= 0xFF;  // extended codes carry the primary one in the low byte
  return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  const std::string text = Format("readings database: %s: %s", what.c_str(), db ? sqlite3_errmsg(db) : "out of memory");
  if (db && Busy(sqlite3_extended_errcode(db))) throw EDatabaseBusy(text);
  RaiseGeneral(text);
}

// A prepared statement that finalizes itself.
class TStatement {
public:
  TStatement(sqlite3* db, const char* sql) : FDb(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &FStmt, nullptr) != SQLITE_OK) Fail(db, "prepare");
  }
  ~TStatement() { sqlite3_finalize(FStmt); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  sqlite3_stmt* operator*() { return FStmt; }

private:
  sqlite3* FDb;
  sqlite3_stmt* FStmt = nullptr;
};

void BindText(sqlite3_stmt* s, int i, const std::string& v) { sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }

void BindScaled(sqlite3_stmt* s, int i, const TValue& v, const std::optional<TScalerUnit>& su) {
  if (!su) {
    sqlite3_bind_null(s, i);
    sqlite3_bind_null(s, i + 1);
    sqlite3_bind_null(s, i + 2);
    return;
  }
  sqlite3_bind_int(s, i, su->Scaler);
  BindText(s, i + 1, COSEMUnitName(su->Unit));
  if (auto n = ScaledNumber(v, su->Scaler)) sqlite3_bind_double(s, i + 2, *n);
  else sqlite3_bind_null(s, i + 2);
}

void Step(sqlite3* db, sqlite3_stmt* s, const char* what) {
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) Fail(db, what);
}

std::string ValueJson(const TValue& v) { return ValueToJson(v).dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace

TReadingsDb::TReadingsDb(const std::string& path, int busyTimeoutMs) {
  if (sqlite3_open_v2(path.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
      SQLITE_OK) {
    const std::string msg = FDb ? sqlite3_errmsg(FDb) : "out of memory";
    sqlite3_close(FDb);
    FDb = nullptr;
    RaiseGeneral(Format("--db \"%s\": %s", path.c_str(), msg.c_str()));
  }
  try {
    sqlite3_busy_timeout(FDb, busyTimeoutMs);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    Exec(kReadingsSchema);
    // A file made elsewhere may hold views or triggers under our names.
    CheckTables("main", Format("--db \"%s\"", path.c_str()));
    // Files made before notifications were marked unknown.
    if (!HasColumn("main", "notifications", "unknown"))
      Exec("ALTER TABLE notifications ADD COLUMN unknown INTEGER NOT NULL DEFAULT 0");
    auto prep = [&](sqlite3_stmt*& s, const char* sql) {
      if (sqlite3_prepare_v2(FDb, sql, -1, &s, nullptr) != SQLITE_OK) Fail(FDb, "prepare");
    };
    prep(FReading,
         "INSERT INTO readings(meter, obis, attribute, read_at, class, value, scaler, unit, scaled) "
         "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT DO UPDATE SET class = excluded.class, "
         "value = excluded.value, scaler = excluded.scaler, unit = excluded.unit, scaled = excluded.scaled");
    prep(FEntry,
         "INSERT INTO profile_entries(meter, profile, entry_time, column_ref, value, scaler, unit, scaled) "
         "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT DO UPDATE SET value = excluded.value, "
         "scaler = excluded.scaler, unit = excluded.unit, scaled = excluded.scaled");
    prep(FMeterOk,
         "INSERT INTO meters(name, last_read, last_attempt, last_error) VALUES(?1, ?2, ?2, NULL) "
         "ON CONFLICT DO UPDATE SET last_read = max(coalesce(last_read, 0), excluded.last_read), "
         "last_attempt = excluded.last_attempt, last_error = NULL");
    prep(FMeterFailed,
         "INSERT INTO meters(name, last_attempt, last_error) VALUES(?1, ?2, ?3) "
         "ON CONFLICT DO UPDATE SET last_attempt = excluded.last_attempt, last_error = excluded.last_error");
    prep(FDone, "INSERT INTO runs_done(run, meter) VALUES(?1, ?2) ON CONFLICT DO NOTHING");
  } catch (...) {
    Close();
    throw;
  }
}

TReadingsDb::~TReadingsDb() { Close(); }

void TReadingsDb::Close() {
  for (sqlite3_stmt* s : {FReading, FEntry, FMeterOk, FMeterFailed, FDone}) sqlite3_finalize(s);
  FReading = FEntry = FMeterOk = FMeterFailed = FDone = nullptr;
  if (FDb) sqlite3_close(FDb);
  FDb = nullptr;
}

bool TReadingsDb::HasColumn(const std::string& schema, const std::string& table, const std::string& column) {
  TStatement s(FDb, "SELECT 1 FROM pragma_table_info(?1, ?2) WHERE name = ?3");
  BindText(*s, 1, table);
  BindText(*s, 2, schema);
  BindText(*s, 3, column);
  return sqlite3_step(*s) == SQLITE_ROW;
}

void TReadingsDb::SetBusyTimeout(int milliseconds) { sqlite3_busy_timeout(FDb, milliseconds); }

void TReadingsDb::Exec(const char* sql) {
  char* err = nullptr;
  const int rc = sqlite3_exec(FDb, sql, nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    const std::string msg = "readings database: " + std::string(err ? err : "unknown error");
    sqlite3_free(err);
    if (Busy(rc)) throw EDatabaseBusy(msg);
    RaiseGeneral(msg);
  }
}

void TReadingsDb::StoreOne(const TMeterResult& r, const std::string& run) {
  if (!r.Ok) {
    BindText(FMeterFailed, 1, r.Meter);
    sqlite3_bind_int64(FMeterFailed, 2, r.ReadAt);
    BindText(FMeterFailed, 3, r.Error);
    Step(FDb, FMeterFailed, "store a failure");
    return;
  }
  for (const TReading& reading : r.Readings) {
    BindText(FReading, 1, r.Meter);
    BindText(FReading, 2, LogicalNameDotted(reading.Ref.Name));
    sqlite3_bind_int(FReading, 3, reading.Ref.Member);
    sqlite3_bind_int64(FReading, 4, r.ReadAt);
    sqlite3_bind_int(FReading, 5, reading.Ref.ClassId);
    BindText(FReading, 6, ValueJson(reading.Value));
    BindScaled(FReading, 7, reading.Value, reading.ScalerUnit);
    Step(FDb, FReading, "store a reading");
  }
  if (r.ProfileData) {
    const TProfileTable& t = *r.ProfileData;
    const std::string profile = LogicalNameDotted(r.ProfileRef.Name);
    for (size_t row = 0; row < t.Rows.size(); ++row) {
      const auto at = EntryTime(t, row);
      if (!at) continue;  // an entry without a time has no key
      for (size_t c = 0; c < t.Columns.size() && c < t.Rows[row].size(); ++c) {
        const TProfileColumn& col = t.Columns[c];
        if (col.ClassId == 8 && col.Attribute == 2) continue;  // the key itself
        BindText(FEntry, 1, r.Meter);
        BindText(FEntry, 2, profile);
        sqlite3_bind_int64(FEntry, 3, *at);
        BindText(FEntry, 4, ObjectRefText(TObjectRef{col.ClassId, col.Name, col.Attribute}));
        BindText(FEntry, 5, ValueJson(t.Rows[row][c]));
        BindScaled(FEntry, 6, t.Rows[row][c], col.ScalerUnit);
        Step(FDb, FEntry, "store a profile entry");
      }
    }
  }
  BindText(FMeterOk, 1, r.Meter);
  sqlite3_bind_int64(FMeterOk, 2, r.ReadAt);
  Step(FDb, FMeterOk, "store a meter");
  if (!run.empty()) {
    BindText(FDone, 1, run);
    BindText(FDone, 2, r.Meter);
    Step(FDb, FDone, "mark a meter done");
  }
}

void TReadingsDb::Store(const std::vector<TMeterResult>& results, const std::string& run) {
  Exec("BEGIN IMMEDIATE");
  try {
    for (const auto& r : results) StoreOne(r, run);
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void TReadingsDb::Store(const TMeterResult& r, const std::string& run) { Store(std::vector<TMeterResult>{r}, run); }

std::set<std::string> TReadingsDb::DoneInRun(const std::string& run) {
  TStatement s(FDb, "SELECT meter FROM runs_done WHERE run = ?1");
  BindText(*s, 1, run);
  std::set<std::string> done;
  int rc;
  while ((rc = sqlite3_step(*s)) == SQLITE_ROW) done.insert(reinterpret_cast<const char*>(sqlite3_column_text(*s, 0)));
  if (rc != SQLITE_DONE) Fail(FDb, "read the run");
  return done;
}

namespace {

bool InsertNotification(sqlite3* db, sqlite3_stmt* s, const TReadingsDb::TNotification& n) {
  BindText(s, 1, n.Meter);
  sqlite3_bind_int64(s, 2, n.ReceivedAt);
  if (n.InvocationCounter >= 0) sqlite3_bind_int64(s, 3, n.InvocationCounter);
  else sqlite3_bind_null(s, 3);
  BindText(s, 4, n.Kind);
  BindText(s, 5, n.Body);
  sqlite3_bind_int(s, 6, n.Unknown ? 1 : 0);
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  if (rc != SQLITE_DONE) Fail(db, "store a notification");
  return sqlite3_changes(db) == 1;
}

constexpr const char* kInsertNotification =
    "INSERT INTO notifications(meter, received_at, invocation_counter, kind, body, unknown) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO NOTHING";

}  // namespace

bool TReadingsDb::StoreNotification(const TNotification& n) {
  TStatement s(FDb, kInsertNotification);
  return InsertNotification(FDb, *s, n);
}

size_t TReadingsDb::StoreNotifications(const std::vector<TNotification>& ns,
                                       const std::function<void(const TNotification&)>& duplicate) {
  TStatement s(FDb, kInsertNotification);
  Exec("BEGIN IMMEDIATE");
  std::vector<const TNotification*> duplicates;
  try {
    for (const TNotification& n : ns)
      if (!InsertNotification(FDb, *s, n)) duplicates.push_back(&n);
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  // Told only once the transaction holds: a batch that is tried again is not told twice.
  if (duplicate)
    for (const TNotification* n : duplicates) duplicate(*n);
  return ns.size() - duplicates.size();
}

std::map<std::string, uint32_t> TReadingsDb::LastInvocationCounters() {
  TStatement s(FDb,
               "SELECT meter, max(invocation_counter) FROM notifications WHERE invocation_counter IS NOT NULL "
               "GROUP BY meter");
  std::map<std::string, uint32_t> last;
  int rc;
  while ((rc = sqlite3_step(*s)) == SQLITE_ROW)
    last[reinterpret_cast<const char*>(sqlite3_column_text(*s, 0))] = static_cast<uint32_t>(sqlite3_column_int64(*s, 1));
  if (rc != SQLITE_DONE) Fail(FDb, "read the invocation counters");
  return last;
}

void TReadingsDb::Export(const std::string& what, const std::string& meter, int64_t from, int64_t to,
                         const std::function<void(const std::vector<std::string>&)>& line,
                         const std::function<void(const std::string&)>& warning) {
  const bool readings = what == "readings";
  if (!readings && what != "profiles")
    RaiseGeneral(Format("--what \"%s\": expected readings or profiles", what.c_str()));
  const char* sql =
      readings ? "SELECT meter, obis, attribute, read_at, value, scaler, unit, scaled FROM readings "
                 "WHERE (?1 = '' OR meter = ?1) AND read_at BETWEEN ?2 AND ?3 ORDER BY meter, read_at, obis, attribute"
               : "SELECT meter, profile, entry_time, column_ref, value, scaler, unit, scaled FROM profile_entries "
                 "WHERE (?1 = '' OR meter = ?1) AND entry_time BETWEEN ?2 AND ?3 "
                 "ORDER BY meter, profile, entry_time, column_ref";
  TStatement s(FDb, sql);
  BindText(*s, 1, meter);
  sqlite3_bind_int64(*s, 2, from);
  sqlite3_bind_int64(*s, 3, to);
  line(readings ? std::vector<std::string>{"meter", "obis", "attribute", "read_at", "value", "scaler", "unit", "scaled"}
                : std::vector<std::string>{"meter", "profile", "entry_time", "column", "value", "scaler", "unit", "scaled"});
  int rc;
  size_t bad = 0;
  std::string firstBad;
  while ((rc = sqlite3_step(*s)) == SQLITE_ROW) {
    auto text = [&](int i) {
      const unsigned char* t = sqlite3_column_text(*s, i);
      return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(*s, i)))
               : std::string();
    };
    std::vector<std::string> cells{text(0), text(1), text(2), text(3), text(4), text(5), text(6), text(7)};
    const int timeColumn = readings ? 3 : 2;
    cells[timeColumn] = TimeText(sqlite3_column_int64(*s, timeColumn));
    // Values are stored as JSON; a string's text itself reads better in a
    // cell. A value that is no JSON (a merged source may hold anything) is
    // written as it is, and the rows around it still are.
    const json value = json::parse(cells[4], nullptr, false);
    if (value.is_discarded()) {
      if (bad++ == 0)
        firstBad = Format("meter \"%s\", %s %s, %s", cells[0].c_str(), cells[1].c_str(), cells[readings ? 2 : 3].c_str(),
                          cells[timeColumn].c_str());
    } else if (value.is_string()) {
      cells[4] = value.get<std::string>();
    }
    line(cells);
  }
  if (rc != SQLITE_DONE) Fail(FDb, "export");
  if (bad && warning)
    warning(Format("%zu %s whose value is not valid JSON written as raw text (the first: %s)", bad,
                   bad == 1 ? "row" : "rows", firstBad.c_str()));
}

void TReadingsDb::Attach(const std::string& otherPath) {
  TStatement attach(FDb, "ATTACH DATABASE ?1 AS other");
  BindText(*attach, 1, otherPath);
  if (sqlite3_step(*attach) != SQLITE_DONE) Fail(FDb, "open " + otherPath);
}

void TReadingsDb::Detach() { sqlite3_exec(FDb, "DETACH DATABASE other", nullptr, nullptr, nullptr); }

namespace {

// The columns of each table as our schema makes them.
const std::vector<std::pair<const char*, std::vector<std::string>>>& ExpectedTables() {
  static const std::vector<std::pair<const char*, std::vector<std::string>>> tables = [] {
    std::vector<std::pair<const char*, std::vector<std::string>>> t;
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, kReadingsSchema, nullptr, nullptr, nullptr);
    for (const char* name : {"meters", "readings", "profile_entries", "notifications", "runs_done"}) {
      std::vector<std::string> columns;
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, (std::string("PRAGMA table_xinfo(") + name + ")").c_str(), -1, &st, nullptr);
      while (st && sqlite3_step(st) == SQLITE_ROW) columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
      sqlite3_finalize(st);
      t.emplace_back(name, columns);
    }
    sqlite3_close(db);
    return t;
  }();
  return tables;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string s;
  for (const auto& i : items) s += (s.empty() ? "" : ", ") + i;
  return s;
}

}  // namespace

void TReadingsDb::CheckTables(const char* schema, const std::string& named) {
  auto refuse = [&](const char* table, const std::string& why) {
    RaiseGeneral(Format("%s: table \"%s\": %s", named.c_str(), table, why.c_str()));
  };
  const std::string master = std::string(schema) + ".sqlite_master";
  for (const auto& [table, expected] : ExpectedTables()) {
    // Only the schema is read here: nothing of the file runs.
    TStatement kind(FDb, ("SELECT type, sql FROM " + master + " WHERE name = ?1 COLLATE NOCASE").c_str());
    BindText(*kind, 1, table);
    const int rc = sqlite3_step(*kind);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(FDb, "read the schema of " + named);
    if (rc == SQLITE_DONE) refuse(table, "expected a table, found none");
    const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(*kind, 0));
    const unsigned char* sqlText = sqlite3_column_text(*kind, 1);
    std::string sql = sqlText ? reinterpret_cast<const char*>(sqlText) : "";
    for (char& c : sql) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (type != "table") refuse(table, "expected a plain table, found a " + type);
    if (sql.rfind("CREATE VIRTUAL", 0) == 0) refuse(table, "expected a plain table, found a virtual table");
    TStatement info(FDb, (std::string("PRAGMA ") + schema + ".table_xinfo(\"" + table + "\")").c_str());
    std::vector<std::string> columns;
    int step;
    while ((step = sqlite3_step(*info)) == SQLITE_ROW && columns.size() <= expected.size())
      columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(*info, 1)));
    if (step != SQLITE_ROW && step != SQLITE_DONE) Fail(FDb, "read the schema of " + named);
    // Files made before notifications were marked unknown lack that last
    // column; they are upgraded (ours) or merged with it as 0 (sources).
    std::vector<std::string> older = expected;
    if (std::string(table) == "notifications" && !older.empty() && older.back() == "unknown") older.pop_back();
    if (columns != expected && columns != older)
      refuse(table, "expected the columns " + Joined(expected) + "; found " + Joined(columns) +
                        (columns.size() > expected.size() ? ", ..." : ""));
  }
  // Triggers would run with every row stored; our schema has none.
  TStatement triggers(FDb, ("SELECT name FROM " + master + " WHERE type = 'trigger' LIMIT 1").c_str());
  if (sqlite3_step(*triggers) == SQLITE_ROW)
    RaiseGeneral(Format("%s: trigger \"%s\": expected no triggers", named.c_str(),
                        reinterpret_cast<const char*>(sqlite3_column_text(*triggers, 0))));
}

void TReadingsDb::CheckSource(const std::string& otherPath) {
  Attach(otherPath);
  try {
    CheckTables("other", Format("SOURCE \"%s\"", otherPath.c_str()));
  } catch (...) {
    Detach();
    throw;
  }
  Detach();
}

void TReadingsDb::Merge(const std::string& otherPath) {
  Attach(otherPath);
  try {
    CheckTables("other", Format("SOURCE \"%s\"", otherPath.c_str()));
    Exec("BEGIN IMMEDIATE");
    // A file made before notifications were marked unknown has one column less.
    const std::string notifications = HasColumn("other", "notifications", "unknown") ? "*" : "*, 0";
    Exec(("INSERT INTO readings SELECT * FROM other.readings WHERE true ON CONFLICT DO NOTHING;"
         "INSERT INTO profile_entries SELECT * FROM other.profile_entries WHERE true ON CONFLICT DO NOTHING;"
         "INSERT INTO notifications SELECT " + notifications +
         " FROM other.notifications WHERE true ON CONFLICT DO NOTHING;"
         "INSERT INTO runs_done SELECT * FROM other.runs_done WHERE true ON CONFLICT DO NOTHING;"
         "INSERT INTO meters SELECT * FROM other.meters WHERE true ON CONFLICT DO UPDATE SET "
         "last_read = max(coalesce(last_read, 0), coalesce(excluded.last_read, 0)), "
         "last_error = CASE WHEN excluded.last_attempt > coalesce(last_attempt, 0) THEN excluded.last_error ELSE last_error END, "
         "last_attempt = max(coalesce(last_attempt, 0), coalesce(excluded.last_attempt, 0));"
         "COMMIT")
             .c_str());
  } catch (...) {
    if (!sqlite3_get_autocommit(FDb)) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    Detach();
    throw;
  }
  Detach();
}

int64_t TReadingsDb::Count(const std::string& table) {
  TStatement s(FDb, ("SELECT count(*) FROM \"" + table + "\"").c_str());
  if (sqlite3_step(*s) != SQLITE_ROW) Fail(FDb, "count");
  return sqlite3_column_int64(*s, 0);
}

// ---------------------------------------------------------------- the writer

TReadingsWriter::TReadingsWriter(TReadingsDb& db, std::string run, TLockWait wait)
    : FDb(db), FRun(std::move(run)), FWait(wait) {
  FThread = std::thread([this] { Loop(); });
}

TReadingsWriter::~TReadingsWriter() { Finish(); }

void TReadingsWriter::Push(TMeterResult r) {
  {
    std::lock_guard<std::mutex> g(FLock);
    FQueue.push_back(std::move(r));
  }
  FWake.notify_one();
}

void TReadingsWriter::Loop() {
  using namespace std::chrono;
  std::unique_lock<std::mutex> g(FLock);
  int pause = FWait.FirstPauseMs;
  for (;;) {
    FWake.wait(g, [&] { return FStop || !FQueue.empty(); });
    if (FQueue.empty()) return;
    std::vector<TMeterResult> batch(std::make_move_iterator(FQueue.begin()), std::make_move_iterator(FQueue.end()));
    FQueue.clear();
    if (!FReport.Error.empty()) {
      // Storing has stopped: the rest is kept for the caller.
      for (auto& r : batch) FReport.Unstored.push_back(std::move(r));
      continue;
    }
    g.unlock();
    const auto start = steady_clock::now();
    std::string error;
    bool busy = false;
    try {
      FDb.Store(batch, FRun);
    } catch (const EDatabaseBusy& e) {
      busy = true;
      error = e.what();
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (busy && FReport.WaitedMs == 0 && OnLocked) OnLocked();
    g.lock();
    if (busy) FReport.WaitedMs += duration_cast<milliseconds>(steady_clock::now() - start).count();
    if (error.empty()) {
      pause = FWait.FirstPauseMs;
      continue;
    }
    auto cancelled = [&] { return FWait.Cancel && FWait.Cancel->Cancelled(); };
    if (busy && FReport.WaitedMs < FWait.LimitMs && !cancelled()) {
      // Back to the front of the queue, in order, to go in with whatever
      // arrives meanwhile once the lock is free.
      for (auto it = batch.rbegin(); it != batch.rend(); ++it) FQueue.push_front(std::move(*it));
      const int64_t wait = std::min<int64_t>(pause, FWait.LimitMs - FReport.WaitedMs);
      g.unlock();
      // Awake for a cancel.
      const auto from = steady_clock::now(), until = from + milliseconds(wait);
      while (steady_clock::now() < until && !cancelled()) std::this_thread::sleep_for(milliseconds(20));
      g.lock();
      FReport.WaitedMs += duration_cast<milliseconds>(steady_clock::now() - from).count();
      pause = std::min(pause * 2, FWait.MaxPauseMs);
      continue;
    }
    if (busy && cancelled()) error = "cancelled";
    FReport.Error = error;
    for (auto& r : batch) FReport.Unstored.push_back(std::move(r));
  }
}

TReadingsWriter::TReport TReadingsWriter::Finish() {
  {
    std::lock_guard<std::mutex> g(FLock);
    FStop = true;
  }
  FWake.notify_one();
  if (FThread.joinable()) FThread.join();
  return std::move(FReport);
}

}  // namespace quillon::client
