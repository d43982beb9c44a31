#include "client/PostgresStore.h"
#include "client/SqliteStore.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <regex>

#include "xmlpdu/infra/Errors.h"

namespace quillon::client {

namespace {

// Statements sent before their results are read: a round trip per chunk,
// and never more results waiting than the sockets' buffers hold.
constexpr size_t kPipelineChunk = 500;
// One process makes the tables at a time, however many start at once.
constexpr long long kSchemaLock = 0x51554c4c4f4eLL;

// Connection lost or not yet there, the server shutting down or starting
// up, too many clients, two writers deadlocked or serialised: all may work
// a moment later.
bool Transient(const std::string& state) {
  return state.rfind("08", 0) == 0 || state == "57P01" || state == "57P02" || state == "57P03" || state == "40001" ||
         state == "40P01" || state == "53300";
}

// libpq's messages end with a newline and may go on with a hint.
std::string OneLine(const char* message) {
  std::string s;
  for (const char* c = message ? message : ""; *c; ++c) {
    const bool blank = *c == '\n' || *c == '\t' || *c == ' ';
    if (!blank) s += *c;
    else if (!s.empty() && s.back() != ' ') s += ' ';
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s.empty() ? "unknown error" : s;
}

// Text as the server takes it: UTF-8 without NUL. What is not (a meter name
// read from a list in another encoding, say) becomes U+FFFD, byte by byte,
// instead of failing the whole batch.
std::string ServerText(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = len > 0 && c != 0 && i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    const unsigned char d = ok && len > 1 ? static_cast<unsigned char>(s[i + 1]) : 0;
    if (ok && len == 2) ok = c >= 0xC2;  // no overlong forms
    if (ok && len == 3) ok = !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d >= 0xA0);  // nor surrogates
    if (ok && len == 4) ok = c <= 0xF4 && !(c == 0xF0 && d < 0x90) && !(c == 0xF4 && d >= 0x90);
    if (ok) {
      out.append(s, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

// Parameters in text form; a null pointer for NULL.
struct TParams {
  explicit TParams(const TRow& row) {
    Text.reserve(row.size());
    for (const TCell& c : row) {
      if (const auto* s = std::get_if<std::string>(&c)) Text.push_back(ServerText(*s));
      else if (const auto* i = std::get_if<int64_t>(&c)) Text.push_back(std::to_string(*i));
      else if (const auto* d = std::get_if<double>(&c)) Text.push_back(Format("%.17g", *d));
      else Text.emplace_back();
    }
    for (size_t i = 0; i < row.size(); ++i)
      Values.push_back(std::holds_alternative<std::monostate>(row[i]) ? nullptr : Text[i].c_str());
  }
  int Count() const { return static_cast<int>(Values.size()); }
  std::vector<std::string> Text;
  std::vector<const char*> Values;
};

constexpr unsigned kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701;

TCell CellOf(const PGresult* r, int row, int column) {
  if (PQgetisnull(r, row, column)) return {};
  const char* v = PQgetvalue(r, row, column);
  switch (PQftype(r, column)) {
    case kInt8:
    case kInt2:
    case kInt4: return static_cast<int64_t>(std::strtoll(v, nullptr, 10));
    case kFloat4:
    case kFloat8: return std::strtod(v, nullptr);
    default: return std::string(v, static_cast<size_t>(PQgetlength(r, row, column)));
  }
}

std::string StatementName(int id) { return "quillon_" + std::to_string(id); }

}  // namespace

std::string TPostgresStore::Schema() {
  std::string s = std::string(kReadingsSchema) + "CREATE TABLE IF NOT EXISTS quillon_schema (version INTEGER NOT NULL);\n";
  s = std::regex_replace(s, std::regex(R"(\bINTEGER\b)"), "BIGINT");
  s = std::regex_replace(s, std::regex(R"(\bREAL\b)"), "DOUBLE PRECISION");
  return std::regex_replace(s, std::regex(R"(\) WITHOUT ROWID;)"), ");");
}

TPostgresStore::TPostgresStore(const std::string& connection, TOpen open) : FConnection(connection) {
  const std::string named = Format(open == oSource ? "SOURCE \"%s\"" : "--db \"%s\"", Name().c_str());
  char* err = nullptr;
  PQconninfoOption* options = PQconninfoParse(connection.c_str(), &err);
  if (!options) {
    const std::string why = OneLine(err);
    PQfreemem(err);
    RaiseGeneral(Format("%s: %s", named.c_str(), why.c_str()));
  }
  std::string nested;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    if (std::strcmp(o->keyword, "password") == 0 && o->val) FPassword = o->val;
    // libpq expands a dbname that is itself a connection: its password is
    // the one used, and the one to keep out of messages.
    if (std::strcmp(o->keyword, "dbname") == 0 && o->val && IsServerDatabase(o->val)) nested = o->val;
  }
  PQconninfoFree(options);
  if (!nested.empty())
    if (PQconninfoOption* inner = PQconninfoParse(nested.c_str(), nullptr)) {
      for (PQconninfoOption* o = inner; o->keyword; ++o)
        if (std::strcmp(o->keyword, "password") == 0 && o->val && *o->val) FPassword = o->val;
      PQconninfoFree(inner);
    }
  auto rename = [&](const std::exception& e) {
    std::string why = e.what();
    if (why.rfind("readings database: ", 0) == 0) why.erase(0, 19);
    return Format("%s: %s", named.c_str(), why.c_str());
  };
  try {
    Connect();
    if (open == oWrite) MakeSchema();
    std::string ours;
    Query("SELECT to_regclass('quillon_schema') IS NOT NULL", {},
          [&](const TRow& r) { ours = std::get<std::string>(r.at(0)); }, "read the schema version");
    if (ours != "t") RaiseGeneral("expected a readings database, found no table quillon_schema");
    int64_t version = 0;
    Query("SELECT coalesce(max(version), 0) FROM quillon_schema", {},
          [&](const TRow& r) { version = std::get<int64_t>(r.at(0)); }, "read the schema version");
    // Version 1 is the first: a later one adds its migrations here.
    if (version > kReadingsSchemaVersion)
      RaiseGeneral(Format("schema version %lld: expected %d or older (made by a later quillon-cli)",
                          static_cast<long long>(version), kReadingsSchemaVersion));
    if (open == oSource) CheckSourceTables();
  } catch (const EDatabaseBusy& e) {
    Disconnect();
    throw EDatabaseBusy(rename(e));
  } catch (const std::exception& e) {
    Disconnect();
    RaiseGeneral(rename(e));
  }
}

TPostgresStore::~TPostgresStore() { Disconnect(); }

void TPostgresStore::CheckSourceTables() {
  // The same rules as for a file: what a merge reads is a plain table with
  // our columns, of our types, none computed. A view (over a series, say)
  // or a generated column makes rows out of nothing.
  static const std::map<std::string, std::string> kTypes = {
      {"TEXT", "text"}, {"INTEGER", "bigint"}, {"REAL", "double precision"}};
  for (const auto& entry : ReadingsColumns()) {
    // Named, not bound: a lambda may not take a structured binding with every compiler.
    const auto& table = entry.first;
    const auto& columns = entry.second;
    auto refuse = [&](const std::string& why) { RaiseGeneral(Format("table \"%s\": %s", table.c_str(), why.c_str())); };
    std::string kind;
    Query("SELECT c.relkind::text FROM pg_class c WHERE c.oid = to_regclass(?1)", {table},
          [&](const TRow& r) { kind = std::get<std::string>(r.at(0)); }, "read the schema");
    if (kind.empty()) refuse("expected a table, found none");
    static const std::map<std::string, std::string> kKinds = {{"v", "view"}, {"m", "materialized view"},
                                                              {"f", "foreign table"}, {"p", "partitioned table"},
                                                              {"S", "sequence"}};
    if (kind != "r") refuse("expected a plain table, found a " + (kKinds.count(kind) ? kKinds.at(kind) : "relation of kind " + kind));
    std::vector<std::string> expected, found;
    for (const TReadingsColumn& c : columns) {
      const auto type = kTypes.find(c.Type);
      expected.push_back(c.Name + " " + (type == kTypes.end() ? c.Type : type->second));
    }
    std::string generated;
    Query("SELECT attname::text, format_type(atttypid, atttypmod), attgenerated::text FROM pg_attribute "
          "WHERE attrelid = to_regclass(?1) AND attnum > 0 AND NOT attisdropped ORDER BY attnum",
          {table},
          [&](const TRow& r) {
            const std::string name = std::get<std::string>(r.at(0));
            if (generated.empty() && !std::get<std::string>(r.at(2)).empty()) generated = name;
            if (found.size() <= expected.size()) found.push_back(name + " " + std::get<std::string>(r.at(1)));
          },
          "read the schema");
    if (!generated.empty())
      refuse(Format("column \"%s\": expected a stored column, found a generated column", generated.c_str()));
    std::vector<std::string> older = expected;
    if (table == "notifications" && older.back().rfind("unknown ", 0) == 0) older.pop_back();
    if (found != expected && found != older) {
      std::string e, f;
      for (const auto& x : expected) e += (e.empty() ? "" : ", ") + x;
      for (const auto& x : found) f += (f.empty() ? "" : ", ") + x;
      refuse("expected the columns " + e + "; found " + f + (found.size() > expected.size() ? ", ..." : ""));
    }
    Query(OversizedCellQuery(table, "\"" + table + "\"", true, found.size()), {}, [&](const TRow& r) { RaiseCellTooLarge("", table, std::get<int64_t>(r.at(0)), std::get<std::string>(r.at(1))); },
          "read the rows");
  }
}

std::string TPostgresStore::Scrub(std::string message) const {
  if (FPassword.empty()) return message;
  for (size_t at; (at = message.find(FPassword)) != std::string::npos;) message.replace(at, FPassword.size(), "***");
  return message;
}

void TPostgresStore::Fail(const std::string& what, const std::string& message, const std::string& state) {
  const std::string text = Scrub(Format("readings database: %s: %s", what.c_str(), message.c_str()));
  if (Transient(state) || !FConn || PQstatus(FConn) != CONNECTION_OK) {
    // A connection in doubt is not used again: the next call makes a new one.
    Disconnect();
    throw EDatabaseBusy(text);
  }
  RaiseGeneral(text);
}

void TPostgresStore::Connect() {
  if (FConn && PQstatus(FConn) == CONNECTION_OK) return;
  Disconnect();
  // The argument is expanded as a whole (URI or keywords); what it says
  // wins over these defaults.
  const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {"10", "quillon", FConnection.c_str(), nullptr};
  FConn = PQconnectdbParams(keys, values, 1);
  if (!FConn || PQstatus(FConn) != CONNECTION_OK) {
    const std::string why = FConn ? OneLine(PQerrorMessage(FConn)) : "out of memory";
    Disconnect();
    Fail("connect", why, "08001");
  }
  // CREATE ... IF NOT EXISTS and the like tell of themselves; not on our stderr.
  PQsetNoticeProcessor(FConn, [](void*, const char*) {}, nullptr);
}

void TPostgresStore::Disconnect() {
  if (FConn) PQfinish(FConn);
  FConn = nullptr;
  std::fill(std::begin(FPrepared), std::end(FPrepared), false);
}

void TPostgresStore::MakeSchema() {
  const std::string sql = Format("BEGIN; SELECT pg_advisory_xact_lock(%lld); ", kSchemaLock) + Schema() +
                          Format("INSERT INTO quillon_schema(version) SELECT %d WHERE NOT EXISTS "
                                 "(SELECT 1 FROM quillon_schema); COMMIT;",
                                 kReadingsSchemaVersion);
  PGresult* r = PQexec(FConn, sql.c_str());
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  const std::string why = ok ? "" : OneLine(PQresultErrorMessage(r));
  const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  const std::string s = state ? state : "08006";
  PQclear(r);
  if (ok) return;
  if (PQstatus(FConn) == CONNECTION_OK) PQclear(PQexec(FConn, "ROLLBACK"));
  Fail("make the tables", why, s);
}

void TPostgresStore::PrepareFor(const std::vector<TCall>& calls) {
  for (const TCall& c : calls) {
    if (FPrepared[c.Statement]) continue;
    PGresult* r = PQprepare(FConn, StatementName(c.Statement).c_str(),
                            InDialect(StatementSql(c.Statement), true).c_str(), 0, nullptr);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string why = ok ? "" : OneLine(r ? PQresultErrorMessage(r) : PQerrorMessage(FConn));
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const std::string s = state ? state : "08006";
    PQclear(r);
    if (!ok) Fail("prepare", why, s);
    FPrepared[c.Statement] = true;
  }
}

void TPostgresStore::Execute(const std::vector<TCall>& calls, std::vector<int64_t>* changed) {
  if (calls.empty()) return;
  std::lock_guard<std::mutex> guard(FLock);
  Connect();
  PrepareFor(calls);
  if (!PQenterPipelineMode(FConn)) Fail("start a pipeline", OneLine(PQerrorMessage(FConn)), "08006");
  std::string error, state, what;
  bool broken = false;
  // One statement's outcome: its result, then the end of it (a sync has
  // no end). `failing` names the statement for the error.
  auto take = [&](const char* failing, int64_t* count) {
    if (broken) return;
    PGresult* r = PQgetResult(FConn);
    if (!r) {
      broken = true;
      if (error.empty()) error = OneLine(PQerrorMessage(FConn)), state = "08006", what = failing;
      return;
    }
    const ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_FATAL_ERROR && error.empty()) {
      error = OneLine(PQresultErrorMessage(r));
      const char* s = PQresultErrorField(r, PG_DIAG_SQLSTATE);
      state = s ? s : "08006";
      what = failing;
    }
    if (count) *count = status == PGRES_COMMAND_OK ? std::strtoll(PQcmdTuples(r), nullptr, 10) : 0;
    PQclear(r);
    if (status != PGRES_PIPELINE_SYNC)
      if (PGresult* end = PQgetResult(FConn)) PQclear(end);
  };
  auto send = [&](int ok) {
    if (!ok && !broken) {
      broken = true;
      if (error.empty()) error = OneLine(PQerrorMessage(FConn)), state = "08006", what = "send";
    }
  };
  for (size_t from = 0; from < calls.size() && !broken && error.empty();) {
    const size_t to = std::min(calls.size(), from + kPipelineChunk);
    const bool first = from == 0, last = to == calls.size();
    if (first) send(PQsendQueryParams(FConn, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0));
    for (size_t i = from; i < to && !broken; ++i) {
      const TParams p(calls[i].Params);
      send(PQsendQueryPrepared(FConn, StatementName(calls[i].Statement).c_str(), p.Count(), p.Values.data(), nullptr,
                               nullptr, 0));
    }
    if (last) send(PQsendQueryParams(FConn, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0));
    send(PQpipelineSync(FConn));
    if (first) take("begin", nullptr);
    for (size_t i = from; i < to; ++i) {
      int64_t count = 0;
      take(StatementWhat(calls[i].Statement), &count);
      if (changed) changed->push_back(count);
    }
    if (last) take("commit", nullptr);
    take("sync", nullptr);
    from = to;
  }
  if (broken || !PQexitPipelineMode(FConn)) {
    Disconnect();
    Fail(what.empty() ? "store" : what, error.empty() ? "connection lost" : error, "08006");
  }
  if (!error.empty()) {
    // The transaction failed as a whole; end it so the connection serves on.
    PQclear(PQexec(FConn, "ROLLBACK"));
    if (changed) changed->clear();
    Fail(what, error, state);
  }
}

void TPostgresStore::Query(const std::string& sql, const TRow& params, const std::function<void(const TRow&)>& row,
                           const char* what) {
  std::lock_guard<std::mutex> guard(FLock);
  Connect();
  const TParams p(params);
  if (!PQsendQueryParams(FConn, InDialect(sql, true).c_str(), p.Count(), nullptr, p.Values.data(), nullptr, nullptr, 0))
    Fail(what, OneLine(PQerrorMessage(FConn)), "08006");
  // Row by row: an export of millions is never all in memory.
  PQsetSingleRowMode(FConn);
  std::string error, state;
  std::exception_ptr thrown;
  TRow cells;
  while (PGresult* r = PQgetResult(FConn)) {
    const ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_SINGLE_TUPLE && !thrown) {
      cells.clear();
      for (int c = 0, n = PQnfields(r); c < n; ++c) cells.push_back(CellOf(r, 0, c));
      try {
        row(cells);
      } catch (...) {
        thrown = std::current_exception();  // the rest is read and dropped, so the connection serves on
      }
    } else if (status == PGRES_FATAL_ERROR && error.empty()) {
      error = OneLine(PQresultErrorMessage(r));
      const char* s = PQresultErrorField(r, PG_DIAG_SQLSTATE);
      state = s ? s : "08006";
    }
    PQclear(r);
  }
  if (thrown) std::rethrow_exception(thrown);
  if (!error.empty()) Fail(what, error, state);
  if (PQstatus(FConn) != CONNECTION_OK) Fail(what, OneLine(PQerrorMessage(FConn)), "08006");
}

}  // namespace quillon::client
