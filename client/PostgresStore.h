// The readings store on a PostgreSQL server: one database that the batch
// runs of many machines, the listener and the head end write at once, and
// that dashboards and billing query while they do.
//
// Results go in as prepared statements sent in a pipeline, hundreds per
// round trip, inside one transaction per batch. A connection that is lost
// (a server restarting, a network that drops) fails the batch with
// EDatabaseBusy, rolled back as a whole; the next call connects again, so a
// writer that keeps its results and tries again loses nothing.
#pragma once

#include <mutex>
#include <string>

#include "client/ReadingsStore.h"

struct pg_conn;

namespace quillon::client {

class TPostgresStore : public TReadingsStore {
public:
  enum TOpen {
    oWrite,   // the tables made on first use; errors name "--db \"...\""
    oSource,  // a merge source: a database without our tables is refused, naming "SOURCE \"...\""
  };
  // `connection`: postgresql://user@host:5432/db, postgres://..., or
  // host=... dbname=... (the password from PGPASSWORD or ~/.pgpass, as libpq
  // finds it). Connects at once: a server that cannot be reached fails here.
  explicit TPostgresStore(const std::string& connection, TOpen open = oWrite);
  ~TPostgresStore() override;
  TPostgresStore(const TPostgresStore&) = delete;
  TPostgresStore& operator=(const TPostgresStore&) = delete;

  std::string Name() const override { return MaskConnection(FConnection); }
  bool Shared() const override { return true; }
  // Writers wait for each other's rows on the server; nothing to set.
  void SetBusyTimeout(int) override {}

  // The tables in PostgreSQL's types (from the one schema text).
  static std::string Schema();

protected:
  void Execute(const std::vector<TCall>& calls, std::vector<int64_t>* changed) override;
  void Query(const std::string& sql, const TRow& params, const std::function<void(const TRow&)>& row,
             const char* what) override;

private:
  void Connect();
  void Disconnect();
  void PrepareFor(const std::vector<TCall>& calls);
  void MakeSchema();
  // A merge source's tables as a file's are checked (TSqliteStore::CheckTables).
  void CheckSourceTables();
  // Throws for `what`: EDatabaseBusy when the same may work later, else a
  // general error; the message never holds the password.
  [[noreturn]] void Fail(const std::string& what, const std::string& message, const std::string& state);
  std::string Scrub(std::string message) const;
  std::string FConnection;
  std::string FPassword;  // as parsed from the connection, to keep it out of messages
  pg_conn* FConn = nullptr;
  bool FPrepared[kStatements] = {};
  std::mutex FLock;  // one statement at a time on the connection
};

}  // namespace quillon::client
