// The readings store in one SQLite file (write-ahead log, so readers never
// block the writer): the embedded default, one machine's database.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "client/ReadingsStore.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillon::client {

// A column of our tables: its name and the type SQLite declares.
struct TReadingsColumn {
  std::string Name, Type;
};
// Our tables (kReadingsTables' order) and their columns in order, as the
// schema makes them: what a merge source must have.
const std::vector<std::pair<std::string, std::vector<TReadingsColumn>>>& ReadingsColumns();

class TSqliteStore : public TReadingsStore {
public:
  // Opens (creating when missing) and brings the schema up to date; a file
  // whose tables are not ours (views, other columns, triggers) is refused
  // as CheckSource says, naming "--db \"<path>\"". A statement waits up to
  // `busyTimeoutMs` for a lock another process holds before it fails with
  // EDatabaseBusy.
  explicit TSqliteStore(const std::string& path, int busyTimeoutMs = 10000);
  ~TSqliteStore() override;
  TSqliteStore(const TSqliteStore&) = delete;
  TSqliteStore& operator=(const TSqliteStore&) = delete;

  std::string Name() const override { return FPath; }
  bool Shared() const override { return false; }
  void SetBusyTimeout(int milliseconds) override;
  // Another SQLite file is attached and copied with a few statements; a
  // server is read row by row.
  void Merge(const std::string& source) override;

  sqlite3* Handle() { return FDb; }

protected:
  void Execute(const std::vector<TCall>& calls, std::vector<int64_t>* changed) override;
  void Query(const std::string& sql, const TRow& params, const std::function<void(const TRow&)>& row,
             const char* what) override;
  bool HasColumn(const std::string& schema, const std::string& table, const std::string& column);
  void Exec(const char* sql);
  void Attach(const std::string& otherPath);
  void Detach();
  // Every table of `schema` (main, other) a plain table with our columns,
  // and no triggers; fails naming `named` and the table.
  void CheckTables(const char* schema, const std::string& named);
  // No cell of the attached source larger than kMaxMergedCellBytes; fails
  // naming the table, the row and the column.
  void CheckCellSizes(const std::string& otherPath);

private:
  void Close();
  sqlite3_stmt* Prepared(TStatementId id);
  std::string FPath;
  sqlite3* FDb = nullptr;
  sqlite3_stmt* FStatements[kStatements] = {};
};

// Another readings file as a merge source: attached to a database in
// memory and checked (CheckSource's refusals, naming "SOURCE \"<path>\""),
// then only read.
class TSqliteSource : public TSqliteStore {
public:
  explicit TSqliteSource(const std::string& path);
  ~TSqliteSource() override;
  void ReadRows(const std::string& table, const std::function<void(const TRow&)>& row) override;
};

}  // namespace quillon::client
