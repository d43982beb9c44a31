// What quillon-cli writes and reads besides the meter: the readings database
// while another process locks it, merge sources that are not what they
// claim, export of rows that do not parse, CSV cells a spreadsheet would
// run, log files and the secrets in them, the meters file saved by many
// processes at once, and meter lists with bad rows.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "CliProcess.h"
#include "SimProcess.h"
#include "client/Batch.h"
#include "client/SqliteStore.h"

using namespace quillon;
using namespace quillon::client;
using namespace quillon::test;
using nlohmann::json;

namespace {

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) out.push_back(line);
  return out;
}

std::vector<json> JsonLines(const std::string& text) {
  std::vector<json> out;
  for (const auto& l : Lines(text)) out.push_back(json::parse(l));
  return out;
}

void Sql(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    const std::string msg = err ? err : "?";
    sqlite3_free(err);
    throw std::runtime_error(sql + ": " + msg);
  }
}


TMeterResult Read(const std::string& meter) {
  TMeterResult r;
  r.Meter = meter;
  r.Ok = true;
  r.ReadAt = 1765000000;
  r.Attempts = 1;
  return r;
}

// ---------------------------------------------------------------- a locked database

// The writer keeps what it could not store while another process holds the
// lock, and stores it once the lock is free; past its limit it hands the
// results back instead of dropping them.
TEST(FilesLockedDatabase, TheWriterWaitsOutTheLockAndHandsBackWhatItCouldNotStore) {
  TTempDir dir;
  const std::string path = dir.Path + "/r.db";
  TSqliteStore holder(path);
  TSqliteStore db(path, 100);
  {
    Sql(holder.Handle(), "BEGIN IMMEDIATE");
    TReadingsWriter writer(db, "run", TLockWait{.LimitMs = 60000, .FirstPauseMs = 50, .MaxPauseMs = 100});
    // The lock ends when the writer first finds it: no timing decides.
    int locked = 0;
    writer.OnLocked = [&] {
      ++locked;
      Sql(holder.Handle(), "COMMIT");
    };
    for (const char* m : {"a", "b", "c"}) writer.Push(Read(m));
    const auto report = writer.Finish();
    EXPECT_EQ(locked, 1);
    EXPECT_GT(report.WaitedMs, 0);
    EXPECT_EQ(report.Error, "");
    EXPECT_TRUE(report.Unstored.empty());
    EXPECT_EQ(db.Count("meters"), 3);
    EXPECT_EQ(db.DoneInRun("run"), (std::set<std::string>{"a", "b", "c"}));
  }
  // Past the limit, or cancelled: handed back in order, with the reason.
  TCancelToken cancel;
  cancel.Cancel();
  for (const TLockWait wait : {TLockWait{.LimitMs = 200, .FirstPauseMs = 50, .MaxPauseMs = 100},
                               TLockWait{.LimitMs = 60000, .Cancel = &cancel}}) {
    Sql(holder.Handle(), "BEGIN IMMEDIATE");
    TReadingsWriter writer(db, "", wait);
    for (const char* m : {"d", "e"}) writer.Push(Read(m));
    const auto report = writer.Finish();
    Sql(holder.Handle(), "ROLLBACK");
    EXPECT_EQ(report.Error, wait.Cancel ? "cancelled" : "readings database: database is locked");
    ASSERT_EQ(report.Unstored.size(), 2u);
    EXPECT_EQ(report.Unstored[0].Meter, "d");
    EXPECT_EQ(report.Unstored[1].Meter, "e");
    EXPECT_EQ(db.Count("meters"), 3);
  }
}

// batch with the database locked throughout: the summary is printed, the
// wait reported, and every result is in a file beside the database.
TEST(FilesLockedDatabase, BatchPrintsItsSummaryAndKeepsEveryResultInAFile) {
  TTempDir dir;
  const std::string path = dir.Path + "/r.db";
  const int port = ClosedPort();
  std::string list = "name,address\n";
  for (const char* m : {"m1", "m2", "m3"}) list += std::string(m) + ",127.0.0.1:" + std::to_string(port) + "\n";
  WriteFile(dir.Path + "/list.csv", list);
  TSqliteStore holder(path);
  Sql(holder.Handle(), "BEGIN IMMEDIATE");
  const TRun r = RunCli({"batch", "--list", dir.Path + "/list.csv", "--db", path, "--db-wait", "0", "--retries", "0",
                         "get", "1.0.1.8.0.255"},
                        dir.Path);
  Sql(holder.Handle(), "ROLLBACK");
  EXPECT_EQ(r.Status, 1) << Describe(r);
  const auto err = Lines(r.Err);
  auto has = [&](const std::string& pattern) {
    return std::any_of(err.begin(), err.end(), [&](const std::string& l) { return std::regex_match(l, std::regex(pattern)); });
  };
  EXPECT_TRUE(has("3 meters: 0 read, 3 failed, 0 not started; .*")) << r.Err;
  EXPECT_TRUE(has("readings database \"" + path +
                  "\" is locked by another process: results kept, retrying for up to 0 s"))
      << r.Err;
  EXPECT_TRUE(has("readings database \"" + path + "\": waited [0-9]+\\.[0-9] s for another process's lock")) << r.Err;
  std::smatch m;
  const std::regex kept("readings database \"" + path +
                        "\": 3 meters not stored \\(database is locked\\); their results are in (.*)");
  const auto keptLine = std::find_if(err.begin(), err.end(), [&](const std::string& l) { return std::regex_match(l, kept); });
  ASSERT_NE(keptLine, err.end()) << r.Err;
  std::regex_match(*keptLine, m, kept);
  const std::string file = m[1];
  EXPECT_EQ(file.rfind(path + ".unstored-", 0), 0u) << file;
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::set<std::string> meters;
  for (const json& j : JsonLines(ReadFile(file))) meters.insert(j.at("meter").get<std::string>());
  EXPECT_EQ(meters, (std::set<std::string>{"m1", "m2", "m3"}));
  EXPECT_EQ(TSqliteStore(path).Count("meters"), 0);
}

// ---------------------------------------------------------------- merge and export

// A readings database made by hand: our schema, then `change`.
std::string Source(const std::string& dir, const std::string& name, const std::string& change) {
  const std::string path = dir + "/" + name;
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  Sql(db, kReadingsSchema);
  Sql(db, change);
  sqlite3_close(db);
  return path;
}

TEST(FilesMerge, ASourceThatIsNotPlainTablesOfOurColumnsIsRefusedBeforeAnythingIsMerged) {
  TTempDir dir;
  const std::string good = Source(dir.Path, "good.db",
                                  "INSERT INTO meters VALUES('m1', 1, 1, NULL);");
  const struct {
    const char* Name;
    const char* Change;
    const char* Why;
  } cases[] = {
      {"view.db",
       "DROP TABLE readings; CREATE VIEW readings AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r "
       "LIMIT 1000) SELECT 'm' AS meter, '1.0.1.8.0.255' AS obis, 2 AS attribute, n AS read_at, 3 AS class, "
       "'1' AS value, NULL AS scaler, NULL AS unit, NULL AS scaled FROM r;",
       "table \"readings\": expected a plain table, found a view"},
      {"columns.db", "DROP TABLE meters; CREATE TABLE meters(name TEXT, extra TEXT);",
       "table \"meters\": expected the columns name TEXT, last_read INTEGER, last_attempt INTEGER, last_error TEXT; "
       "found name TEXT, extra TEXT"},
      {"types.db", "DROP TABLE meters; CREATE TABLE meters(name TEXT, last_read BLOB, last_attempt INTEGER, last_error TEXT);",
       "table \"meters\": expected the columns name TEXT, last_read INTEGER, last_attempt INTEGER, last_error TEXT; "
       "found name TEXT, last_read BLOB, last_attempt INTEGER, last_error TEXT"},
      {"missing.db", "DROP TABLE notifications;", "table \"notifications\": expected a table, found none"},
      // A few bytes of schema that would write a megabyte for every row.
      {"generated.db",
       "DROP TABLE meters; CREATE TABLE meters(name TEXT PRIMARY KEY, last_read INTEGER, last_attempt INTEGER, "
       "last_error TEXT GENERATED ALWAYS AS (printf('%.*c', 1000000, 'x')) VIRTUAL); INSERT INTO meters(name) VALUES('m');",
       "table \"meters\": column \"last_error\": expected a stored column, found a generated column"},
      {"oversized.db",
       "INSERT INTO meters VALUES('m1', 1, 1, NULL); INSERT INTO meters VALUES('m2', 1, 1, printf('%.*c', 4194305, 'x'));",
       "table \"meters\", row 2, column \"last_error\": expected at most 4194304 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string bad = Source(dir.Path, c.Name, c.Change);
    const std::string target = dir.Path + "/target-" + c.Name;
    const TRun r = RunCli({"merge", "--db", target, good, bad}, dir.Path);
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_EQ(r.Err, "quillon-cli: SOURCE \"" + bad + "\": " + c.Why + "\n");
    EXPECT_EQ(TSqliteStore(target).Count("meters"), 0) << "nothing merged, the good source neither";
  }
  // Such a file is no database to read from or store into either.
  const std::string view = dir.Path + "/view.db";
  const TRun r = RunCli({"export", "--db", view, "--what", "readings"}, dir.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  EXPECT_EQ(r.Err, "quillon-cli: export: --db \"" + view + "\": table \"readings\": expected a plain table, found a view\n");
  const std::string trigger =
      Source(dir.Path, "trigger.db", "CREATE TRIGGER t AFTER INSERT ON meters BEGIN DELETE FROM readings; END;");
  const TRun m = RunCli({"merge", "--db", trigger, good}, dir.Path);
  EXPECT_EQ(m.Status, 1) << Describe(m);
  EXPECT_EQ(m.Err, "quillon-cli: merge: --db \"" + trigger + "\": trigger \"t\": expected no triggers\n");
}

// A row whose value is no JSON is exported as its raw text with one warning;
// the other rows are written; no cell starts a formula.
TEST(FilesExport, ABadValueIsWrittenRawWithOneWarningAndCellsNeverStartAFormula) {
  TTempDir dir;
  const std::string source = Source(
      dir.Path, "s.db",
      "INSERT INTO readings VALUES('m1', '1.0.1.8.0.255', 2, 1765000000, 3, '\"unclosed', NULL, NULL, NULL);"
      "INSERT INTO readings VALUES('m1', '1.0.1.8.0.255', 2, 1765000060, 3, '{oops', NULL, NULL, NULL);"
      "INSERT INTO readings VALUES('m1', '1.0.1.8.0.255', 2, 1765000120, 3, '-5', -1, 'Wh', -0.5);"
      "INSERT INTO readings VALUES('=1+cmd|'' /C calc''!A0', '0.0.96.1.0.255', 2, 1765000000, 1, "
      "'\"=HYPERLINK(\\\"http://x\\\")\"', NULL, NULL, NULL);");
  const std::string db = dir.Path + "/all.db";
  ASSERT_EQ(RunCli({"merge", "--db", db, source}, dir.Path).Status, 0);
  const TRun r = RunCli({"export", "--db", db, "--what", "readings"}, dir.Path);
  EXPECT_EQ(r.Status, 0) << Describe(r);
  EXPECT_EQ(r.Out,
            "meter,obis,attribute,read_at,value,scaler,unit,scaled\r\n"
            "'=1+cmd|' /C calc'!A0,0.0.96.1.0.255,2,2025-12-06T05:46:40Z,\"'=HYPERLINK(\"\"http://x\"\")\",,,\r\n"
            "m1,1.0.1.8.0.255,2,2025-12-06T05:46:40Z,\"\"\"unclosed\",,,\r\n"
            "m1,1.0.1.8.0.255,2,2025-12-06T05:47:40Z,{oops,,,\r\n"
            "m1,1.0.1.8.0.255,2,2025-12-06T05:48:40Z,-5,-1,Wh,-0.5\r\n");
  EXPECT_EQ(r.Err,
            "quillon-cli: export: 2 rows whose value is not valid JSON written as raw text (the first: meter \"m1\", "
            "1.0.1.8.0.255 2, 2025-12-06T05:46:40Z)\n");
}

// ---------------------------------------------------------------- log files

// --log and -v: the file is the owner's alone, keys and the password are
// hidden unless --log-secrets asks for them.
TEST(FilesLog, LogFileIsPrivateAndHidesSecretsUnlessAsked) {
  TSimProcess sim({"--port", "0"});
  TTempDir home;
  const std::string log = home.Path + "/traffic.log";
  const std::vector<std::string> keys = {"QUILLON_EK=000102030405060708090A0B0C0D0E0F",
                                         "QUILLON_AK=D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF",
                                         "QUILLON_KEK=101112131415161718191A1B1C1D1E1F",
                                         "QUILLON_SERVER_SYSTEM_TITLE=5153494D00000001"};
  const std::string tcp = "127.0.0.1:" + std::to_string(sim.Port());
  const struct {
    std::vector<std::string> Args;
    std::vector<std::string> Env;
    std::vector<std::string> Shown, Hidden;
  } cases[] = {
      {{"--client", "33", "--auth", "gmac", "--security", "auth-enc"},
       keys,
       {"GUEK=<hidden>, GAK=<hidden>"},
       {"000102030405060708090A0B0C0D0E0F", "D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF", "101112131415161718191A1B1C1D1E1F"}},
      {{"--client", "17", "--auth", "low"}, {"QUILLON_PASSWORD=12345678"}, {"<CallingAuthenticationValue Value=\"<hidden>\" />"},
       {"3132333435363738", "\\12345678"}},
      {{"--client", "33", "--auth", "gmac", "--security", "auth-enc", "--log-secrets"},
       keys,
       {"GUEK= 000102030405060708090A0B0C0D0E0F, GAK=D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args.back());
    WriteFile(log, "old\n");
    ::chmod(log.c_str(), 0644);
    std::vector<std::string> args = {"--tcp", tcp, "--log", log, "-v"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    args.insert(args.end(), {"get", "1.0.1.8.0.255"});
    const TRun r = RunCli(args, home.Path, c.Env);
    ASSERT_EQ(r.Status, 0) << Describe(r);
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string text = ReadFile(log);
    for (const std::string& where : {text, r.Err}) {
      for (const auto& s : c.Shown) EXPECT_NE(where.find(s), std::string::npos) << s << "\n" << where.substr(0, 3000);
      for (const auto& s : c.Hidden) EXPECT_EQ(where.find(s), std::string::npos) << s;
    }
  }
}

// ---------------------------------------------------------------- the meters file

// Ten processes save a meter each at once into a meters file that is a link:
// every section arrives, and the link stays a link to its target.
TEST(FilesMeters, ParallelSavesKeepEveryMeterAndWriteThroughALink) {
  TTempDir home;
  const std::string config = home.Path + "/quillon", real = home.Path + "/real";
  ASSERT_EQ(::mkdir(config.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
  WriteFile(real + "/meters.ini", "[first]\nhost=10.0.0.1\n");
  ASSERT_EQ(::symlink("../real/meters.ini", (config + "/meters.ini").c_str()), 0);
  std::vector<std::thread> runs;
  std::vector<TRun> results(10);
  for (int i = 0; i < 10; ++i)
    runs.emplace_back([&, i] {
      results[i] = RunCli({"--tcp", "10.0.0." + std::to_string(i + 2), "save-meter", "m" + std::to_string(i)}, home.Path);
    });
  for (auto& t : runs) t.join();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(results[i].Status, 0) << Describe(results[i]);
    EXPECT_EQ(results[i].Err, "meter \"m" + std::to_string(i) + "\" saved in " + config + "/meters.ini\n");
  }
  struct stat st {};
  ASSERT_EQ(::lstat((config + "/meters.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  const TIniData ini = TIniData::Load(real + "/meters.ini");
  std::vector<std::string> names = ini.Sections();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"first", "m0", "m1", "m2", "m3", "m4", "m5", "m6", "m7", "m8", "m9"}));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(ini.Get("m" + std::to_string(i), "host"), "10.0.0." + std::to_string(i + 2));
}

// ---------------------------------------------------------------- meter lists

// A meters file follows the meter list's rules for names: a section named
// twice fails instead of being merged with the first, and so does a name
// with a control character; the other meters are read as ever.
TEST(FilesMeterList, AMetersFileNamesAMeterOnceAndWithoutControlCharacters) {
  TTempDir dir;
  const std::string at = Format("host=127.0.0.1\nport=%d\n", ClosedPort());
  WriteFile(dir.Path + "/meters.ini", "[good]\n" + at + "[twice]\n" + at + "[ctl\x01name]\n" + at +
                                          "[Twice]\nclient=17\nauth=low\npassword=secret\n");
  const TRun r = RunCli({"batch", "--meters", dir.Path + "/meters.ini", "--retries", "0", "get", "1.0.1.8.0.255"},
                        dir.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  std::map<std::string, std::string> errors;
  for (const json& j : JsonLines(r.Out)) errors[j.at("meter").get<std::string>()] = j.at("error").get<std::string>();
  EXPECT_EQ(errors["twice"], "meters file line 10: meter \"twice\" is listed twice (first on line 4)");
  EXPECT_EQ(errors["ctl\x01name"],
            "meters file line 7: name \"ctl\\x01name\": expected a name without brackets or control characters");
  EXPECT_NE(errors["good"].find("Connection refused"), std::string::npos) << errors["good"];
  EXPECT_EQ(errors.size(), 3u) << r.Out;
}

// Bad rows fail their meter alone, named by line, column and meter, without
// an attempt; the good rows are read (here: refused, and retried); exit 1.
TEST(FilesMeterList, EachBadRowFailsItsMeterAloneNamingLineColumnAndMeter) {
  TTempDir dir;
  const std::string at = "127.0.0.1:" + std::to_string(ClosedPort());
  WriteFile(dir.Path + "/list.csv",
            "name,address,client,auth,security,port\n"
            "good," + at + ",16,,,\n"
            "badport," + at + ",16,,,99999\n"
            "badclient," + at + ",x,,,\n"
            "badauth," + at + ",16,bogus,,\n"
            "\"two\nlines\"," + at + ",16,,,\n"
            "ctl\x01name," + at + ",16,,,\n"
            "nokeys," + at + ",16,,auth-enc,\n"
            "good," + at + ",16,,,\n"
            "short,1\n");
  const TRun r = RunCli({"batch", "--list", dir.Path + "/list.csv", "--retries", "1", "--retry-delay", "0", "--jobs", "2",
                         "get", "1.0.1.8.0.255"},
                        dir.Path);
  EXPECT_EQ(r.Status, 1) << Describe(r);
  std::map<std::string, json> byMeter;
  std::vector<std::string> order;
  for (const json& j : JsonLines(r.Out)) {
    const std::string key = j.at("meter").get<std::string>() + "@" + std::to_string(j.value("line", 0));
    byMeter[key] = j;
  }
  const struct {
    const char* Key;
    int Line;
    const char* Column;  // "" when the fault is the row's, not a cell's
    const char* Error;
  } bad[] = {
      {"badport@3", 3, "port", "meter list line 3, column 6 (port): meter badport: port \"99999\": expected an integer in 1..65535"},
      {"badclient@4", 4, "client", "meter list line 4, column 3 (client): meter badclient: client \"x\": expected an integer in 0..255"},
      {"badauth@5", 5, "auth",
       "meter list line 5, column 4 (auth): meter badauth: auth \"bogus\": expected none, low, manufacturer, md5, sha1, "
       "gmac, sha256 or ecdsa"},
      {"two\nlines@6", 6, "name",
       "meter list line 6, column 1 (name): name \"two\\nlines\": expected a name without brackets or control characters"},
      {"ctl\x01name@8", 8, "name",
       "meter list line 8, column 1 (name): name \"ctl\\x01name\": expected a name without brackets or control characters"},
      {"nokeys@9", 9, "",
       "meter list line 9: meter nokeys: --ek: expected the encryption key for a ciphered association (or QUILLON_EK)"},
      {"good@10", 10, "name", "meter list line 10, column 1 (name): meter \"good\" is listed twice (first on line 2)"},
      {"short@11", 11, "", "meter list line 11: expected 6 cells, found 2"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.Key);
    ASSERT_EQ(byMeter.count(b.Key), 1u) << r.Out;
    const json& j = byMeter[b.Key];
    EXPECT_EQ(j.at("error"), b.Error);
    EXPECT_EQ(j.at("attempts"), 0) << "a configuration failure is not retried";
    EXPECT_EQ(j.at("line"), b.Line);
    if (*b.Column) EXPECT_EQ(j.at("column"), b.Column);
    else EXPECT_FALSE(j.contains("column"));
    std::string shown = b.Key;
    shown = shown.substr(0, shown.rfind('@'));
    // The summary shows a name as printable text.
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{{"\n", "\\n"}, {"\x01", "\\x01"}})
      for (size_t p = shown.find(from); p != std::string::npos; p = shown.find(from, p)) shown.replace(p, from.size(), to);
    EXPECT_NE(r.Err.find("failed: " + shown + ": " + b.Error + "\n"), std::string::npos) << r.Err;
  }
  ASSERT_EQ(byMeter.count("good@0"), 1u) << r.Out;
  EXPECT_EQ(byMeter["good@0"].at("attempts"), 2) << "a meter that was reached is retried";
  EXPECT_NE(r.Err.find("9 meters: 0 read, 9 failed, 0 not started; "), std::string::npos) << r.Err;
}

}  // namespace
