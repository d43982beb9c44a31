#include "client/ReadingsStore.h"

#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <regex>

#include "client/PostgresStore.h"
#include "client/SqliteStore.h"
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

// Meters last: their merge rule compares what both sides have.
const char* const kReadingsTables[5] = {"readings", "profile_entries", "notifications", "runs_done", "meters"};

// A meter in both: the later read, and the error of the later attempt.
#define MERGE_METERS_CONFLICT                                                                                   \
  "ON CONFLICT (name) DO UPDATE SET "                                                                           \
  "last_read = greatest(coalesce(meters.last_read, 0), coalesce(excluded.last_read, 0)), "                      \
  "last_error = CASE WHEN excluded.last_attempt > coalesce(meters.last_attempt, 0) THEN excluded.last_error "   \
  "ELSE meters.last_error END, "                                                                                \
  "last_attempt = greatest(coalesce(meters.last_attempt, 0), coalesce(excluded.last_attempt, 0))"
const char* const kMergeMetersConflict = MERGE_METERS_CONFLICT;

namespace {

struct TStatementText {
  const char* Sql;
  const char* What;
};

// Conflict targets are spelled out: PostgreSQL needs them for an update.
const TStatementText kStatementTexts[TReadingsStore::kStatements] = {
    {"INSERT INTO readings(meter, obis, attribute, read_at, class, value, scaler, unit, scaled) "
     "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT (meter, obis, attribute, read_at) DO UPDATE SET "
     "class = excluded.class, value = excluded.value, scaler = excluded.scaler, unit = excluded.unit, "
     "scaled = excluded.scaled",
     "store a reading"},
    {"INSERT INTO profile_entries(meter, profile, entry_time, column_ref, value, scaler, unit, scaled) "
     "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT (meter, profile, entry_time, column_ref) DO UPDATE SET "
     "value = excluded.value, scaler = excluded.scaler, unit = excluded.unit, scaled = excluded.scaled",
     "store a profile entry"},
    {"INSERT INTO meters(name, last_read, last_attempt, last_error) VALUES(?1, ?2, ?2, NULL) "
     "ON CONFLICT (name) DO UPDATE SET last_read = greatest(coalesce(meters.last_read, 0), excluded.last_read), "
     "last_attempt = excluded.last_attempt, last_error = NULL",
     "store a meter"},
    {"INSERT INTO meters(name, last_attempt, last_error) VALUES(?1, ?2, ?3) "
     "ON CONFLICT (name) DO UPDATE SET last_attempt = excluded.last_attempt, last_error = excluded.last_error",
     "store a failure"},
    {"INSERT INTO runs_done(run, meter) VALUES(?1, ?2) ON CONFLICT DO NOTHING", "mark a meter done"},
    {"INSERT INTO notifications(meter, received_at, invocation_counter, kind, body, unknown) "
     "VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO NOTHING",
     "store a notification"},
    {"INSERT INTO readings VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT DO NOTHING", "merge readings"},
    {"INSERT INTO profile_entries VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT DO NOTHING",
     "merge profile entries"},
    {"INSERT INTO notifications VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO NOTHING", "merge notifications"},
    {"INSERT INTO runs_done VALUES(?1, ?2) ON CONFLICT DO NOTHING", "merge runs"},
    {"INSERT INTO meters VALUES(?1, ?2, ?3, ?4) " MERGE_METERS_CONFLICT, "merge meters"},
};

std::string ValueJson(const TValue& v) { return ValueToJson(v).dump(-1, ' ', false, json::error_handler_t::replace); }

// The scaler, unit and scaled value of a register (three NULLs otherwise).
void AddScaled(TRow& row, const TValue& v, const std::optional<TScalerUnit>& su) {
  if (!su) {
    row.insert(row.end(), 3, TCell{});
    return;
  }
  row.emplace_back(int64_t{su->Scaler});
  row.emplace_back(COSEMUnitName(su->Unit));
  const auto n = ScaledNumber(v, su->Scaler);
  // A real that is no number is kept as NULL, as SQLite keeps it.
  row.push_back(n && !std::isnan(*n) ? TCell{*n} : TCell{});
}

// A cell as an export writes it; reals as SQLite has always written them.
std::string CellText(const TCell& c) {
  if (const auto* s = std::get_if<std::string>(&c)) return *s;
  if (const auto* i = std::get_if<int64_t>(&c)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&c)) {
    char buf[64];
    sqlite3_snprintf(sizeof buf, buf, "%!.15g", *d);
    return buf;
  }
  return "";
}

int64_t CellInt(const TCell& c) {
  if (const auto* i = std::get_if<int64_t>(&c)) return *i;
  if (const auto* d = std::get_if<double>(&c)) return static_cast<int64_t>(*d);
  if (const auto* s = std::get_if<std::string>(&c)) return std::strtoll(s->c_str(), nullptr, 10);
  return 0;
}

}  // namespace

const char* TReadingsStore::StatementSql(TStatementId id) { return kStatementTexts[id].Sql; }
const char* TReadingsStore::StatementWhat(TStatementId id) { return kStatementTexts[id].What; }

void TReadingsStore::Store(const std::vector<TMeterResult>& results, const std::string& run) {
  std::vector<TCall> calls;
  for (const TMeterResult& r : results) {
    if (!r.Ok) {
      calls.push_back({sMeterFailed, {r.Meter, r.ReadAt, r.Error}});
      continue;
    }
    for (const TReading& reading : r.Readings) {
      TRow row{r.Meter, LogicalNameDotted(reading.Ref.Name), int64_t{reading.Ref.Member}, r.ReadAt,
               int64_t{reading.Ref.ClassId}, ValueJson(reading.Value)};
      AddScaled(row, reading.Value, reading.ScalerUnit);
      calls.push_back({sReading, std::move(row)});
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
          TRow cells{r.Meter, profile, *at, ObjectRefText(TObjectRef{col.ClassId, col.Name, col.Attribute}),
                     ValueJson(t.Rows[row][c])};
          AddScaled(cells, t.Rows[row][c], col.ScalerUnit);
          calls.push_back({sEntry, std::move(cells)});
        }
      }
    }
    calls.push_back({sMeterOk, {r.Meter, r.ReadAt}});
    // What an unproven caller gave is kept, but the run is not done with the
    // meter for it: the meter itself may still call.
    if (!run.empty() && !r.Unproven) calls.push_back({sDone, {run, r.Meter}});
  }
  Execute(calls, nullptr);
}

void TReadingsStore::Store(const TMeterResult& r, const std::string& run) { Store(std::vector<TMeterResult>{r}, run); }

std::set<std::string> TReadingsStore::DoneInRun(const std::string& run) {
  std::set<std::string> done;
  Query("SELECT meter FROM runs_done WHERE run = ?1", {run}, [&](const TRow& r) { done.insert(CellText(r[0])); },
        "read the run");
  return done;
}

bool TReadingsStore::StoreNotification(const TNotification& n) { return StoreNotifications({n}) == 1; }

size_t TReadingsStore::StoreNotifications(const std::vector<TNotification>& ns,
                                          const std::function<void(const TNotification&)>& duplicate) {
  std::vector<TCall> calls;
  for (const TNotification& n : ns)
    calls.push_back({sNotification,
                     {n.Meter, n.ReceivedAt, n.InvocationCounter >= 0 ? TCell{n.InvocationCounter} : TCell{}, n.Kind,
                      n.Body, int64_t{n.Unknown ? 1 : 0}}});
  std::vector<int64_t> changed;
  Execute(calls, &changed);
  size_t stored = 0;
  // Told only once the transaction holds: a batch that is tried again is not told twice.
  for (size_t i = 0; i < ns.size(); ++i) {
    if (i < changed.size() && changed[i] == 1) ++stored;
    else if (duplicate) duplicate(ns[i]);
  }
  return stored;
}

std::map<std::string, uint32_t> TReadingsStore::LastInvocationCounters(bool calls) {
  std::map<std::string, uint32_t> last;
  Query(std::string("SELECT meter, max(invocation_counter) FROM notifications WHERE invocation_counter IS NOT NULL "
                    "AND kind ") +
            (calls ? "= " : "<> ") + "'" + kCallInKind + "' GROUP BY meter",
        {}, [&](const TRow& r) { last[CellText(r[0])] = static_cast<uint32_t>(CellInt(r[1])); },
        "read the invocation counters");
  return last;
}

void TReadingsStore::Export(const std::string& what, const std::string& meter, int64_t from, int64_t to,
                            const std::function<void(const std::vector<std::string>&)>& line,
                            const std::function<void(const std::string&)>& warning) {
  if (what == "undecoded") return ExportUndecoded(meter, from, to, line);
  const bool readings = what == "readings";
  if (!readings && what != "profiles")
    RaiseGeneral(Format("--what \"%s\": expected readings, profiles or undecoded", what.c_str()));
  // %C: texts ordered by their bytes in every database, whatever its collation.
  const char* sql =
      readings ? "SELECT meter, obis, attribute, read_at, value, scaler, unit, scaled FROM readings "
                 "WHERE (?1 = '' OR meter = ?1) AND read_at BETWEEN ?2 AND ?3 "
                 "ORDER BY meter%C, read_at, obis%C, attribute"
               : "SELECT meter, profile, entry_time, column_ref, value, scaler, unit, scaled FROM profile_entries "
                 "WHERE (?1 = '' OR meter = ?1) AND entry_time BETWEEN ?2 AND ?3 "
                 "ORDER BY meter%C, profile%C, entry_time, column_ref%C";
  line(readings ? std::vector<std::string>{"meter", "obis", "attribute", "read_at", "value", "scaler", "unit", "scaled"}
                : std::vector<std::string>{"meter", "profile", "entry_time", "column", "value", "scaler", "unit", "scaled"});
  size_t bad = 0;
  std::string firstBad;
  const int timeColumn = readings ? 3 : 2;
  Query(sql, {meter, from, to}, [&](const TRow& row) {
    std::vector<std::string> cells;
    for (const TCell& c : row) cells.push_back(CellText(c));
    cells[timeColumn] = TimeText(CellInt(row[timeColumn]));
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
  }, "export");
  if (bad && warning)
    warning(Format("%zu %s whose value is not valid JSON written as raw text (the first: %s)", bad,
                   bad == 1 ? "row" : "rows", firstBad.c_str()));
}

void TReadingsStore::ExportUndecoded(const std::string& meter, int64_t from, int64_t to,
                                     const std::function<void(const std::vector<std::string>&)>& line) {
  line({"meter", "received_at", "sender", "reason", "bytes"});
  Query("SELECT meter, received_at, body FROM notifications WHERE kind = 'undecoded' AND (?1 = '' OR meter = ?1) "
        "AND received_at BETWEEN ?2 AND ?3 ORDER BY received_at, meter%C",
        {meter, from, to}, [&](const TRow& row) {
          const json body = json::parse(CellText(row[2]), nullptr, false);
          auto field = [&](const char* name) {
            return body.is_object() && body.contains(name) && body[name].is_string() ? body[name].get<std::string>()
                                                                                    : std::string();
          };
          line({CellText(row[0]), TimeText(CellInt(row[1])), field("sender"), field("reason"), field("bytes")});
        }, "export");
}

int64_t TReadingsStore::Count(const std::string& table) {
  int64_t n = 0;
  Query("SELECT count(*) FROM \"" + table + "\"", {}, [&](const TRow& r) { n = CellInt(r[0]); }, "count");
  return n;
}

void TReadingsStore::ReadRows(const std::string& table, const std::function<void(const TRow&)>& row) {
  Query("SELECT * FROM " + table, {}, row, "read the rows");
}

namespace {

// A merge source, opened for reading: checked, never changed.
std::unique_ptr<TReadingsStore> OpenSource(const std::string& source) {
  if (IsServerDatabase(source)) return std::make_unique<TPostgresStore>(source, TPostgresStore::oSource);
  return std::make_unique<TSqliteSource>(source);
}

}  // namespace

void TReadingsStore::CheckSource(const std::string& source) { OpenSource(source); }

void RaiseCellTooLarge(const std::string& named, const std::string& table, long long row, const std::string& column) {
  RaiseGeneral(Format("%s%stable \"%s\", row %lld, column \"%s\": expected at most %zu bytes", named.c_str(),
                      named.empty() ? "" : ": ", table.c_str(), row, column.c_str(), kMaxMergedCellBytes));
}

std::string OversizedCellQuery(const std::string& table, const std::string& from, bool postgres, size_t count) {
  // Looked for inside the database: nothing large travels to find it.
  std::string which;
  for (const auto& [name, columns] : ReadingsColumns()) {
    if (name != table) continue;
    for (const TReadingsColumn& c : columns)
      if (count-- > 0)
        which += Format(postgres ? " WHEN octet_length(\"%s\"::text) > %zu THEN '%s'"
                               : " WHEN length(CAST(\"%s\" AS BLOB)) > %zu THEN '%s'",
                      c.Name.c_str(), kMaxMergedCellBytes, c.Name.c_str());
  }
  return "SELECT n, c FROM (SELECT row_number() OVER () AS n, CASE" + which + " END AS c FROM " + from +
         ") AS cells WHERE c IS NOT NULL LIMIT 1";
}

void TReadingsStore::Merge(const std::string& source) {
  const auto from = OpenSource(source);
  constexpr size_t kRowsPerTransaction = 2000;
  const TStatementId ids[] = {sMergeReading, sMergeEntry, sMergeNotification, sMergeDone, sMergeMeter};
  for (size_t t = 0; t < std::size(kReadingsTables); ++t) {
    std::vector<TCall> calls;
    long long rowNr = 0;
    const auto& columns = ReadingsColumns()[t].second;
    from->ReadRows(kReadingsTables[t], [&](const TRow& row) {
      ++rowNr;
      for (size_t c = 0; c < row.size(); ++c)
        if (const auto* text = std::get_if<std::string>(&row[c]); text && text->size() > kMaxMergedCellBytes)
          RaiseCellTooLarge(Format("SOURCE \"%s\"", (IsServerDatabase(source) ? MaskConnection(source) : source).c_str()),
                            kReadingsTables[t], rowNr, c < columns.size() ? columns[c].Name : "?");
      calls.push_back({ids[t], row});
      if (calls.size() == kRowsPerTransaction) {
        Execute(calls, nullptr);
        calls.clear();
      }
    });
    if (!calls.empty()) Execute(calls, nullptr);
  }
}

// ---------------------------------------------------------------- opening

std::string InDialect(const std::string& sql, bool postgres) {
  std::string out;
  out.reserve(sql.size() + 16);
  for (size_t i = 0; i < sql.size(); ++i) {
    if (sql.compare(i, 2, "%C") == 0) {
      if (postgres) out += " COLLATE \"C\"";
      ++i;
    } else if (postgres && sql[i] == '?') {
      out += '$';
    } else if (!postgres && sql.compare(i, 9, "greatest(") == 0) {
      out += "max(";
      i += 8;
    } else {
      out += sql[i];
    }
  }
  return out;
}

bool IsServerDatabase(const std::string& a) {
  if (a.rfind("postgresql://", 0) == 0 || a.rfind("postgres://", 0) == 0) return true;
  // host=... dbname=...: a keyword first. (A file whose name starts so is
  // given as ./name.)
  static const std::regex keyword(R"(^\s*[A-Za-z_]+\s*=)");
  return std::regex_search(a, keyword);
}

std::string MaskConnection(const std::string& a) {
  if (a.rfind("postgresql://", 0) == 0 || a.rfind("postgres://", 0) == 0) {
    std::string s = a;
    const size_t start = s.find("://") + 3;
    const size_t query = s.find('?', start);
    // user:password@host: the last @ before the query ends the user info.
    const size_t at = s.rfind('@', query == std::string::npos ? std::string::npos : query);
    size_t queryAt = query;
    if (at != std::string::npos && at >= start) {
      const size_t colon = s.find(':', start);
      if (colon < at) {
        s.replace(colon + 1, at - colon - 1, "***");
        if (queryAt != std::string::npos) queryAt = s.find('?', start);
      }
    }
    if (queryAt != std::string::npos) {
      static const std::regex password(R"(([?&]password=)[^&]*)", std::regex::icase);
      s = s.substr(0, queryAt) + std::regex_replace(s.substr(queryAt), password, "$1***");
    }
    return s;
  }
  // keyword = value pairs, as libpq reads them: a value quoted '...' with
  // backslash escapes, or up to the next blank. A dbname may itself be a
  // whole connection (libpq expands it), with a password of its own.
  std::string out;
  size_t i = 0;
  while (i < a.size()) {
    const size_t keyStart = a.find_first_not_of(" \t\n\r\f\v", i);
    out += a.substr(i, keyStart == std::string::npos ? std::string::npos : keyStart - i);
    if (keyStart == std::string::npos) break;
    const size_t eq = a.find('=', keyStart);
    if (eq == std::string::npos) {
      out += a.substr(keyStart);
      break;
    }
    std::string key = a.substr(keyStart, eq - keyStart);
    key.erase(key.find_last_not_of(" \t") + 1);
    size_t at = a.find_first_not_of(" \t", eq + 1);
    if (at == std::string::npos) at = a.size();
    out += a.substr(keyStart, at - keyStart);
    std::string value;
    const bool quoted = at < a.size() && a[at] == '\'';
    size_t end = at;
    if (quoted) {
      for (end = at + 1; end < a.size() && a[end] != '\''; ++end) {
        if (a[end] == '\\' && end + 1 < a.size()) ++end;
        value += a[end];
      }
      if (end < a.size()) ++end;
    } else {
      while (end < a.size() && !std::isspace(static_cast<unsigned char>(a[end]))) value += a[end++];
    }
    if (key == "password") out += "***";
    else if (key == "dbname" && IsServerDatabase(value)) out += quoted ? "'" + MaskConnection(value) + "'" : MaskConnection(value);
    else out += a.substr(at, end - at);
    i = end;
  }
  return out;
}

std::unique_ptr<TReadingsStore> OpenReadingsStore(const std::string& dbArgument, int busyTimeoutMs) {
  if (IsServerDatabase(dbArgument)) return std::make_unique<TPostgresStore>(dbArgument);
  return std::make_unique<TSqliteStore>(dbArgument, busyTimeoutMs);
}

// ---------------------------------------------------------------- the writer

TReadingsWriter::TReadingsWriter(TReadingsStore& db, std::string run, TLockWait wait)
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
      // arrives meanwhile once the database takes them.
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
