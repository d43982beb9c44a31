#include "client/SqliteStore.h"

#include <sqlite3.h>

#include <cstdint>

#include <cctype>

#include "xmlpdu/infra/Errors.h"

namespace quillon::client {

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

void Bind(sqlite3_stmt* s, const TRow& params) {
  for (size_t i = 0; i < params.size(); ++i) {
    const int at = static_cast<int>(i + 1);
    if (const auto* t = std::get_if<std::string>(&params[i])) BindText(s, at, *t);
    else if (const auto* n = std::get_if<int64_t>(&params[i])) sqlite3_bind_int64(s, at, *n);
    else if (const auto* d = std::get_if<double>(&params[i])) sqlite3_bind_double(s, at, *d);
    else sqlite3_bind_null(s, at);
  }
}

void Step(sqlite3* db, sqlite3_stmt* s, const char* what) {
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) Fail(db, what);
}

}  // namespace

TSqliteStore::TSqliteStore(const std::string& path, int busyTimeoutMs) : FPath(path) {
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
    // The schema's version, for a later change to migrate from.
    int64_t version = 0;
    Query("PRAGMA user_version", {}, [&](const TRow& r) { version = std::get<int64_t>(r.at(0)); }, "read the schema version");
    if (version < kReadingsSchemaVersion) Exec(("PRAGMA user_version = " + std::to_string(kReadingsSchemaVersion)).c_str());
  } catch (...) {
    Close();
    throw;
  }
}

TSqliteStore::~TSqliteStore() { Close(); }

void TSqliteStore::Close() {
  for (sqlite3_stmt*& s : FStatements) {
    sqlite3_finalize(s);
    s = nullptr;
  }
  if (FDb) sqlite3_close(FDb);
  FDb = nullptr;
}

bool TSqliteStore::HasColumn(const std::string& schema, const std::string& table, const std::string& column) {
  TStatement s(FDb, "SELECT 1 FROM pragma_table_info(?1, ?2) WHERE name = ?3");
  BindText(*s, 1, table);
  BindText(*s, 2, schema);
  BindText(*s, 3, column);
  return sqlite3_step(*s) == SQLITE_ROW;
}

void TSqliteStore::SetBusyTimeout(int milliseconds) { sqlite3_busy_timeout(FDb, milliseconds); }

void TSqliteStore::Exec(const char* sql) {
  char* err = nullptr;
  const int rc = sqlite3_exec(FDb, sql, nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    const std::string msg = "readings database: " + std::string(err ? err : "unknown error");
    sqlite3_free(err);
    if (Busy(rc)) throw EDatabaseBusy(msg);
    RaiseGeneral(msg);
  }
}

sqlite3_stmt* TSqliteStore::Prepared(TStatementId id) {
  if (!FStatements[id] &&
      sqlite3_prepare_v2(FDb, InDialect(StatementSql(id), false).c_str(), -1, &FStatements[id], nullptr) != SQLITE_OK)
    Fail(FDb, "prepare");
  return FStatements[id];
}

void TSqliteStore::Execute(const std::vector<TCall>& calls, std::vector<int64_t>* changed) {
  Exec("BEGIN IMMEDIATE");
  try {
    for (const TCall& c : calls) {
      sqlite3_stmt* s = Prepared(c.Statement);
      Bind(s, c.Params);
      Step(FDb, s, StatementWhat(c.Statement));
      if (changed) changed->push_back(sqlite3_changes(FDb));
    }
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void TSqliteStore::Query(const std::string& sql, const TRow& params, const std::function<void(const TRow&)>& row,
                         const char* what) {
  TStatement s(FDb, InDialect(sql, false).c_str());
  Bind(*s, params);
  int rc;
  TRow cells;
  while ((rc = sqlite3_step(*s)) == SQLITE_ROW) {
    cells.clear();
    for (int i = 0, n = sqlite3_column_count(*s); i < n; ++i) {
      switch (sqlite3_column_type(*s, i)) {
        case SQLITE_NULL: cells.emplace_back(); break;
        case SQLITE_INTEGER: cells.emplace_back(static_cast<int64_t>(sqlite3_column_int64(*s, i))); break;
        case SQLITE_FLOAT: cells.emplace_back(sqlite3_column_double(*s, i)); break;
        default: {
          const unsigned char* t = sqlite3_column_text(*s, i);
          cells.emplace_back(t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(*s, i)))
                               : std::string());
        }
      }
    }
    row(cells);
  }
  if (rc != SQLITE_DONE) Fail(FDb, what);
}

void TSqliteStore::Attach(const std::string& otherPath) {
  TStatement attach(FDb, "ATTACH DATABASE ?1 AS other");
  BindText(*attach, 1, otherPath);
  if (sqlite3_step(*attach) != SQLITE_DONE) Fail(FDb, "open " + otherPath);
}

void TSqliteStore::Detach() { sqlite3_exec(FDb, "DETACH DATABASE other", nullptr, nullptr, nullptr); }

const std::vector<std::pair<std::string, std::vector<TReadingsColumn>>>& ReadingsColumns() {
  static const auto tables = [] {
    std::vector<std::pair<std::string, std::vector<TReadingsColumn>>> t;
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, kReadingsSchema, nullptr, nullptr, nullptr);
    for (const char* name : kReadingsTables) {
      std::vector<TReadingsColumn> columns;
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, (std::string("PRAGMA table_xinfo(") + name + ")").c_str(), -1, &st, nullptr);
      while (st && sqlite3_step(st) == SQLITE_ROW)
        columns.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st, 1)),
                           reinterpret_cast<const char*>(sqlite3_column_text(st, 2))});
      sqlite3_finalize(st);
      t.emplace_back(name, columns);
    }
    sqlite3_close(db);
    return t;
  }();
  return tables;
}

namespace {

std::string Joined(const std::vector<std::string>& items) {
  std::string s;
  for (const auto& i : items) s += (s.empty() ? "" : ", ") + i;
  return s;
}

}  // namespace

void TSqliteStore::CheckTables(const char* schema, const std::string& named) {
  auto refuse = [&](const char* table, const std::string& why) {
    RaiseGeneral(Format("%s: table \"%s\": %s", named.c_str(), table, why.c_str()));
  };
  const std::string master = std::string(schema) + ".sqlite_master";
  for (const auto& [tableName, columnsExpected] : ReadingsColumns()) {
    const char* table = tableName.c_str();
    std::vector<std::string> expected;
    for (const TReadingsColumn& c : columnsExpected) expected.push_back(c.Name + " " + c.Type);
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
    while ((step = sqlite3_step(*info)) == SQLITE_ROW && columns.size() <= expected.size()) {
      const std::string column = reinterpret_cast<const char*>(sqlite3_column_text(*info, 1));
      const unsigned char* type = sqlite3_column_text(*info, 2);
      // A generated column computes what it holds: a few bytes of schema
      // can make every row as large as they like.
      const int hidden = sqlite3_column_int(*info, 6);
      if (hidden != 0)
        refuse(table, Format("column \"%s\": expected a stored column, found a %s", column.c_str(),
                             hidden == 1 ? "hidden column" : "generated column"));
      columns.push_back(column + " " + (type ? reinterpret_cast<const char*>(type) : ""));
    }
    if (step != SQLITE_ROW && step != SQLITE_DONE) Fail(FDb, "read the schema of " + named);
    // Files made before notifications were marked unknown lack that last
    // column; they are upgraded (ours) or merged with it as 0 (sources).
    std::vector<std::string> older = expected;
    if (tableName == "notifications" && !older.empty() && older.back().rfind("unknown ", 0) == 0) older.pop_back();
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

void TSqliteStore::CheckCellSizes(const std::string& otherPath) {
  for (const char* table : kReadingsTables) {
    // A file of before notifications were marked unknown lacks that column.
    const bool older = std::string(table) == "notifications" && !HasColumn("other", table, "unknown");
    Query(OversizedCellQuery(table, std::string("other.\"") + table + "\"", false, older ? 5 /* its columns before */ : SIZE_MAX), {},
          [&](const TRow& r) {
            RaiseCellTooLarge(Format("SOURCE \"%s\"", otherPath.c_str()), table, std::get<int64_t>(r[0]),
                              std::get<std::string>(r[1]));
          },
          "read the rows");
  }
}

void TSqliteStore::Merge(const std::string& otherPath) {
  if (IsServerDatabase(otherPath)) return TReadingsStore::Merge(otherPath);
  Attach(otherPath);
  try {
    CheckTables("other", Format("SOURCE \"%s\"", otherPath.c_str()));
    CheckCellSizes(otherPath);
    Exec("BEGIN IMMEDIATE");
    // A file made before notifications were marked unknown has one column less.
    const std::string notifications = HasColumn("other", "notifications", "unknown") ? "*" : "*, 0";
    Exec(("INSERT INTO readings SELECT * FROM other.readings WHERE true ON CONFLICT DO NOTHING;"
         "INSERT INTO profile_entries SELECT * FROM other.profile_entries WHERE true ON CONFLICT DO NOTHING;"
         "INSERT INTO notifications SELECT " + notifications +
         " FROM other.notifications WHERE true ON CONFLICT DO NOTHING;"
         "INSERT INTO runs_done SELECT * FROM other.runs_done WHERE true ON CONFLICT DO NOTHING;"
         "INSERT INTO meters SELECT * FROM other.meters WHERE true " + InDialect(kMergeMetersConflict, false) + ";"
         "COMMIT")
             .c_str());
  } catch (...) {
    if (!sqlite3_get_autocommit(FDb)) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    Detach();
    throw;
  }
  Detach();
}

// ---------------------------------------------------------------- a merge source

TSqliteSource::TSqliteSource(const std::string& path) : TSqliteStore(":memory:") {
  Attach(path);
  try {
    CheckTables("other", Format("SOURCE \"%s\"", path.c_str()));
    CheckCellSizes(path);
  } catch (...) {
    Detach();
    throw;
  }
}

TSqliteSource::~TSqliteSource() { Detach(); }

void TSqliteSource::ReadRows(const std::string& table, const std::function<void(const TRow&)>& row) {
  // A file made before notifications were marked unknown has one column less.
  const bool older = table == "notifications" && !HasColumn("other", "notifications", "unknown");
  Query("SELECT *" + std::string(older ? ", 0" : "") + " FROM other." + table, {}, row, "read the rows");
}

}  // namespace quillon::client
