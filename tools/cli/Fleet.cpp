#include "comm/PosixIO.h"
#include "comm/Serial.h"
#include "tools/cli/Fleet.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "client/Batch.h"
#include "client/FileLock.h"
#include "client/ReadingsStore.h"
#include "tools/cli/Headend.h"
#include "tools/cli/Listen.h"
#include "tools/cli/Signals.h"
#include "tools/cli/Output.h"
#include "tools/cli/ProbeCommand.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::cli {

using namespace quillon::client;
using nlohmann::json;

namespace {

using EUsage = EFleetUsage;

TCancelToken gFleetCancel;

void CatchSignals() { CatchStopSignals(gFleetCancel); }

std::string ReadFile(const std::string& path, const char* field) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw EUsage(Format("%s \"%s\": expected a readable file", field, path.c_str()));
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int64_t TimeArg(const std::string& text, const char* field, const char* otherwise) {
  try {
    return ParseIsoTime(text.empty() ? otherwise : text, field);
  } catch (const std::exception& e) {
    throw EUsage(e.what());
  }
}

// The meter list of --meters or --list (or the named meters file when
// `required` and neither is given). Bad rows stay in the list as meters
// that fail (batch), or refuse the list (`strict`).
std::vector<TFleetMeter> LoadMeters(const std::string& metersFile, const std::string& listFile, bool required,
                                    bool strict = false) {
  if (!metersFile.empty() && !listFile.empty()) throw EUsage("--meters and --list: expected one of them, not both");
  std::vector<TFleetMeter> meters;
  try {
    if (!listFile.empty()) {
      meters = MetersOfCsv(ReadFile(listFile, "--list"));
    } else {
      const std::string path = metersFile.empty() ? MetersFilePath() : metersFile;
      if (::access(path.c_str(), R_OK) != 0) {
        if (!required && metersFile.empty()) return {};
        throw EUsage(Format("--meters \"%s\": expected a readable meters file", path.c_str()));
      }
      meters = MetersOfIniText(ReadFileText(path));
    }
  } catch (const EUsage&) {
    throw;
  } catch (const std::exception& e) {
    throw EUsage(e.what());
  }
  if (strict)
    for (const TFleetMeter& m : meters)
      if (!m.ConfigError.empty()) throw EUsage(m.ConfigError);
  return meters;
}

// --strict of batch and headend: every meter refuses the deviations
// tolerated by default, as a meter with strict=1 in the list does.
void AddStrictFlag(CLI::App& app, bool& strict) {
  app.add_flag("--strict", strict,
               "every meter refuses the deviations tolerated by default (as strict=1 in the list); quirks still apply");
}

void ApplyStrict(std::vector<TFleetMeter>& meters, bool strict) {
  if (strict)
    for (TFleetMeter& m : meters) m.Profile.Strict = true;
}

// Parses the command's options (argv[1] is the command); false when help
// was asked for and shown.
bool Parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc - 1, argv + 1);
    return true;
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return false;
  } catch (const CLI::ParseError& e) {
    throw EUsage(std::string(argv[1]) + ": " + e.what());
  }
}

// Where JSON lines go: standard output, a file, or nowhere.
class TJsonLines {
public:
  explicit TJsonLines(const std::string& path) {
    if (path.empty()) return;
    if (path == "-") {
      FOut = &std::cout;
      return;
    }
    FFile.open(path, std::ios::binary | std::ios::app);
    if (!FFile) throw EUsage(Format("--out \"%s\": expected a file that can be written", path.c_str()));
    FOut = &FFile;
  }
  void Write(const json& j) {
    if (FOut) *FOut << j.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
  }
  void Flush() {
    if (FOut) FOut->flush();
  }

private:
  std::ofstream FFile;
  std::ostream* FOut = nullptr;
};

// ---------------------------------------------------------------- batch

// Results the readings database did not take are not lost: their JSON lines
// go to a file beside the database (a server's: in the working folder;
// standard output when that cannot be written). Returns the line that says
// where they are.
std::string KeepUnstored(const TReadingsStore& db, const TReadingsWriter::TReport& report) {
  const std::string path = Format("%s.unstored-%lld.jsonl", db.Shared() ? "readings" : db.Name().c_str(),
                                  static_cast<long long>(::getpid()));
  std::string text;
  for (const TMeterResult& r : report.Unstored)
    for (const json& j : ResultRecords(r)) text += j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  std::string where = path, why = report.Error;
  if (why.rfind("readings database: ", 0) == 0) why.erase(0, 19);
  try {
    WriteFileDurably(path, text, 0600);
  } catch (const std::exception&) {
    std::cout << text << std::flush;
    where = "standard output";
  }
  return Format("readings database \"%s\": %zu %s not stored (%s); their results are in %s", db.Name().c_str(),
                report.Unstored.size(), report.Unstored.size() == 1 ? "meter" : "meters", why.c_str(),
                where.c_str());
}

// The jobs batch and headend run on each meter: get, profile, clock, dump.
struct TJobCommands {
  std::vector<std::string> Refs;
  std::string ProfileRef, From, To, ClockSet;
  CLI::App *Get = nullptr, *Profile = nullptr, *Clock = nullptr, *Dump = nullptr;

  void Add(CLI::App& app) {
    app.require_subcommand(1);
    Get = app.add_subcommand("get", "read attributes (default attribute 2)");
    Get->add_option("REF", Refs, "[CLASS/]OBIS[/ATTRIBUTE]")->required();
    Profile = app.add_subcommand("profile", "read a profile's entries");
    Profile->add_option("REF", ProfileRef, "[7/]OBIS of the profile")->required();
    Profile->add_option("--from", From, "first capture time, YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM]");
    Profile->add_option("--to", To, "last capture time (inclusive)");
    Clock = app.add_subcommand("clock", "set the clocks");
    Clock->add_option("--set", ClockSet, "now or a time YYYY-MM-DDTHH:MM:SS[Z|+HH:MM]")->required();
    Dump = app.add_subcommand("dump", "every readable attribute of every object");
  }

  TBatchJob Job() const {
    TBatchJob job;
    auto ref = [](const std::string& text) { return ObjectRefOption(text); };
    if (Get->parsed()) {
      job.Kind = TBatchJob::jGet;
      for (const auto& r : Refs) job.Refs.push_back(ref(r));
    } else if (Profile->parsed()) {
      job.Kind = TBatchJob::jProfile;
      job.Profile = ref(ProfileRef);
      job.Range = ProfileRangeOf(From, To, "");
    } else if (Clock->parsed()) {
      job.Kind = TBatchJob::jClockSet;
      job.ClockNow = ClockSet == "now";
      if (!job.ClockNow) job.ClockTo = TimeArg(ClockSet, "--set", "");
    } else if (Dump->parsed()) {
      job.Kind = TBatchJob::jDump;
    }
    return job;
  }
};

// The bounds of a listening end, listen's and the head end's alike: its
// ports, the connections and bytes it holds, its database queue.
template <typename TOptions>
void CheckListenBounds(const CLI::App& app, const TOptions& options, size_t queueLimit) {
  if (options.Port < 0 || options.Port > 65535) throw EUsage(Format("--port %d: expected 0..65535", options.Port));
  if (app.count("--hdlc-port") && (options.HdlcPort < 0 || options.HdlcPort > 65535))
    throw EUsage(Format("--hdlc-port %d: expected 0..65535", options.HdlcPort));
  if (app.count("--max-connections") && options.MaxConnections < 1)
    throw EUsage(Format("--max-connections %d: expected 1 or more", options.MaxConnections));
  if (options.IdleTimeout < 0) throw EUsage("--idle-timeout: expected 0 or more seconds");
  if (options.MaxBuffered < 65544)
    throw EUsage(Format("--max-buffered %zu: expected 65544 or more (one whole wrapper frame)", options.MaxBuffered));
  if (queueLimit < 1) throw EUsage("--queue 0: expected 1 or more");
}

// listen's M-Bus port and serial line (the head end has neither).
void CheckSerialListen(const CLI::App& app, TListenOptions& options, const std::string& parity) {
  if (app.count("--mbus-port") && (options.MBusPort < 0 || options.MBusPort > 65535))
    throw EUsage(Format("--mbus-port %d: expected 0..65535", options.MBusPort));
  if (options.Serial.empty()) {
    for (const char* o : {"--baud", "--parity", "--framing"})
      if (app.count(o)) throw EUsage(Format("%s: expected --serial as well", o));
    return;
  }
  if (!IsSerialBaud(options.Baud))
    throw EUsage(Format("--baud %d: expected one of %s", options.Baud, SerialBaudsText().c_str()));
  if (parity != "none" && parity != "even")
    throw EUsage(Format("--parity \"%s\": expected none or even", parity.c_str()));
  options.EvenParity = parity == "even";
  if (!MakePushFramer(options.Framing))
    throw EUsage(Format("--framing \"%s\": expected hdlc, mbus, apdu or auto", options.Framing.c_str()));
}

// The readings database of batch and headend (a file or a server): results
// stored as they come, a run's finished meters marked in the same
// transaction.
struct TFleetStore {
  std::unique_ptr<TReadingsStore> Db;
  std::unique_ptr<TReadingsWriter> Writer;

  TFleetStore(const std::string& path, const std::string& run, int waitSeconds, bool quiet) {
    if (path.empty()) return;
    try {
      // Short waits inside SQLite; the writer waits out a longer lock itself.
      Db = OpenReadingsStore(path, 1000);
    } catch (const EDatabaseBusy& e) {
      // A server that cannot be reached is no fault of the command line.
      if (IsServerDatabase(path)) throw;
      throw EUsage(e.what());
    } catch (const std::exception& e) {
      throw EUsage(e.what());
    }
    Writer = std::make_unique<TReadingsWriter>(*Db, run, TLockWait{.LimitMs = waitSeconds * 1000, .Cancel = &gFleetCancel});
    if (!quiet)
      Writer->OnLocked = [name = Db->Name(), shared = Db->Shared(), waitSeconds] {
        std::cerr << Format(shared ? "readings database \"%s\" cannot take results now: results kept, retrying for up to %d s"
                                   : "readings database \"%s\" is locked by another process: results kept, retrying for up to %d s",
                            name.c_str(), waitSeconds)
                  << std::endl;
      };
  }
  // Ends the writing; false when results could not be stored (they are then
  // in a file beside the database, and a line says so).
  bool Finish(bool quiet) {
    if (!Writer) return true;
    const TReadingsWriter::TReport stored = Writer->Finish();
    if (stored.WaitedMs > 0 && !quiet)
      std::cerr << Format(Db->Shared() ? "readings database \"%s\": waited %.1f s for the server"
                                       : "readings database \"%s\": waited %.1f s for another process's lock",
                          Db->Name().c_str(), stored.WaitedMs / 1000.0)
                << "\n";
    if (stored.Unstored.empty()) return true;
    std::cerr << KeepUnstored(*Db, stored) << "\n";
    return false;
  }
};

// What happens to each meter's result in batch and headend: its JSON lines
// out at once, its readings to the database, and who failed kept for the
// summary.
struct TResultSink {
  TJsonLines& Lines;
  TFleetStore& Store;
  std::vector<TMeterResult> Failures;  // without their readings

  void operator()(const TMeterResult& r) {
    for (const json& j : ResultRecords(r)) Lines.Write(j);
    // Each meter's lines are out as soon as it is done: a run that is killed
    // or never ends has given what it read.
    Lines.Flush();
    if (!r.Ok) {
      TMeterResult failed;
      failed.Meter = r.Meter;
      failed.Error = r.Error;
      failed.Diagnosis = r.Diagnosis;
      Failures.push_back(std::move(failed));
    }
    if (Store.Writer) Store.Writer->Push(r);
  }
  void PrintFailures() const {
    for (const TMeterResult& f : Failures) {
      std::cerr << "failed: " << PrintableName(f.Meter) << ": " << f.Error << "\n";
      if (f.Diagnosis) std::cerr << DiagnosisLines(*f.Diagnosis);
    }
  }
};

int Batch(int argc, char** argv) {
  CLI::App app{"Read many meters at once: one session per meter, --jobs of them in parallel.", "quillon-cli batch"};
  std::string metersFile, listFile, shardText, out, dbPath, run;
  TBatchOptions options;
  options.Jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()) * 8);
  int timeout = -1, connectTimeout = -1;
  int dbWait = 300;
  bool quiet = false;
  app.add_option("--meters", metersFile, "a meters file (one section per meter; default the named meters file)")->option_text("FILE");
  app.add_option("--list", listFile, "a CSV meter list: header row with name and meters-file keys (address for HOST:PORT)")->option_text("FILE");
  app.add_option("--jobs", options.Jobs, "meters read in parallel (default cores x 8)")->option_text("N");
  app.add_option("--retries", options.Retries, "attempts after a failed one (default 2)")->option_text("N");
  app.add_option("--retry-delay", options.RetryDelayMs, "wait before the first retry, doubled for each next (default 500)")->option_text("MS");
  int meterTimeout = options.MeterTimeoutMs / 1000;
  app.add_option("--meter-timeout", meterTimeout,
                 "the longest one meter may take, retries included, before it fails as a timeout (default 300; 0: no limit)")
      ->option_text("SECONDS");
  app.add_option("--timeout", timeout, "response timeout per request (default each meter's)")->option_text("MS");
  app.add_option("--connect-timeout", connectTimeout, "TCP connect timeout (default each meter's)")->option_text("MS");
  app.add_option("--shard", shardText, "read only slice I of N (0 <= I < N), stable by meter name")->option_text("I/N");
  app.add_option("--out", out, "JSON lines to FILE (appended; - for standard output, the default without --db)")->option_text("FILE");
  app.add_option("--db", dbPath, "store the readings in this SQLite file, or PostgreSQL database (postgresql://USER@HOST/DB or "
                 "host=... dbname=...; the password from PGPASSWORD or ~/.pgpass)")
      ->option_text("FILE|URI");
  app.add_option("--db-wait", dbWait,
                 "while another process locks the database (or the server cannot be reached), keep the results and "
                 "retry for up to SECONDS "
                 "(after 0.5 s, doubling up to 8 s; default 300); what is still not stored then goes to a file")
      ->option_text("SECONDS");
  app.add_option("--run", run, "name of this run (with --db): meters it has finished are not read again")->option_text("NAME");
  app.add_flag("-q,--quiet", quiet, "no summary on standard error");
  bool strict = false;
  AddStrictFlag(app, strict);
  TJobCommands jobs;
  jobs.Add(app);
  if (!Parse(app, argc, argv)) return 0;
  const TBatchJob job = jobs.Job();
  if (options.Jobs < 1 || options.Jobs > 4096) throw EUsage(Format("--jobs %d: expected 1..4096", options.Jobs));
  if (options.Retries < 0 || options.Retries > 100) throw EUsage(Format("--retries %d: expected 0..100", options.Retries));
  if (options.RetryDelayMs < 0) throw EUsage(Format("--retry-delay %d: expected 0 or more", options.RetryDelayMs));
  if (meterTimeout < 0 || meterTimeout > 86400 * 7)
    throw EUsage(Format("--meter-timeout %d: expected 0..604800 seconds", meterTimeout));
  options.MeterTimeoutMs = meterTimeout * 1000;
  if (!run.empty() && dbPath.empty()) throw EUsage("--run: expected --db as well");
  if (dbWait < 0 || dbWait > 86400) throw EUsage(Format("--db-wait %d: expected 0..86400", dbWait));

  std::vector<TFleetMeter> meters = LoadMeters(metersFile, listFile, true);
  CheckMeters(meters);
  ApplyStrict(meters, strict);
  if (!shardText.empty()) {
    TShard shard;
    try {
      shard = ParseShard(shardText);
    } catch (const std::exception& e) {
      throw EUsage(e.what());
    }
    std::erase_if(meters, [&](const TFleetMeter& m) { return !shard.Holds(m.Name); });
  }
  for (auto& m : meters) {
    if (timeout >= 0) m.Profile.ResponseTimeout = timeout;
    if (connectTimeout >= 0) m.Profile.ConnectTimeout = connectTimeout;
  }

  TFleetStore store(dbPath, run, dbWait, quiet);
  if (store.Db && !run.empty()) {
    const auto done = store.Db->DoneInRun(run);
    const size_t before = meters.size();
    std::erase_if(meters, [&](const TFleetMeter& m) { return done.count(m.Name) != 0; });
    if (!quiet && before != meters.size())
      std::cerr << Format("run %s: %zu meters already read, %zu to go", run.c_str(), before - meters.size(), meters.size())
                << "\n";
  }
  TJsonLines lines(out.empty() && dbPath.empty() ? "-" : out);

  CatchSignals();
  TResultSink sink{lines, store, {}};
  TProgressLine progress;
  const auto started = std::chrono::steady_clock::now();
  auto rate = [&](uint64_t reads) {
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return s > 0 ? reads / s : 0.0;
  };
  TBatchRunner runner(options, job);
  runner.OnResult = [&](const TMeterResult& r) { sink(r); };
  runner.OnProgress = [&](const TBatchCounts& c) {
    progress.Show(Format("%zu/%zu meters done, %zu failed, %zu in flight, %.1f reads/s", c.Done, c.Total, c.Failed,
                         c.InFlight, rate(c.Reads)));
  };
  const TBatchCounts counts = runner.Run(meters, &gFleetCancel);
  lines.Flush();
  const bool allStored = store.Finish(quiet);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!quiet) {
    std::cerr << Format("%zu meters: %zu read, %zu failed, %zu not started; %.1f s, %.1f meters/s", counts.Total,
                        counts.Done, counts.Failed, counts.Total - counts.Done - counts.Failed, seconds,
                        seconds > 0 ? counts.Done / seconds : 0.0)
              << "\n";
    sink.PrintFailures();
  }
  if (gFleetCancel.Cancelled()) {
    std::cerr << "quillon-cli: batch: cancelled\n";
    return StatusAfterStop(1);
  }
  return counts.Failed == 0 && allStored ? 0 : 1;
}

// ---------------------------------------------------------------- export, merge

int Export(int argc, char** argv) {
  CLI::App app{"Profile entries or readings of the readings database as CSV.", "quillon-cli export"};
  std::string dbPath, what = "profiles", meter, from, to, out;
  app.add_option("--db", dbPath, "the readings database: an SQLite file or a PostgreSQL URI")->option_text("FILE|URI")->required();
  app.add_option("--what", what, "profiles (entries, the default), readings, or undecoded (pushed messages kept as bytes)")
      ->option_text("WHAT");
  app.add_option("--meter", meter, "only this meter")->option_text("NAME");
  app.add_option("--from", from, "first time (entry time or read time), YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM]");
  app.add_option("--to", to, "last time (inclusive)");
  app.add_option("--out", out, "write to FILE instead of standard output")->option_text("FILE");
  if (!Parse(app, argc, argv)) return 0;
  if (what != "profiles" && what != "readings" && what != "undecoded")
    throw EUsage(Format("--what \"%s\": expected profiles, readings or undecoded", what.c_str()));
  const int64_t a = TimeArg(from, "--from", "1970-01-01T00:00:00Z"), b = TimeArg(to, "--to", "2999-12-31T23:59:59Z");
  if (!IsServerDatabase(dbPath) && ::access(dbPath.c_str(), R_OK) != 0)
    throw EUsage(Format("--db \"%s\": expected a readable readings database", dbPath.c_str()));
  const auto db = OpenReadingsStore(dbPath);
  std::ofstream file;
  if (!out.empty()) {
    file.open(out, std::ios::binary | std::ios::trunc);
    if (!file) throw EUsage(Format("--out \"%s\": expected a file that can be written", out.c_str()));
  }
  std::ostream& o = out.empty() ? std::cout : file;
  db->Export(what, meter, a, b, [&](const std::vector<std::string>& cells) { o << CsvLine(cells); },
            [](const std::string& warning) { std::cerr << "quillon-cli: export: " << warning << "\n"; });
  o.flush();
  if (!o) throw std::runtime_error("export: writing failed");
  return 0;
}

int Merge(int argc, char** argv) {
  CLI::App app{"Combine readings databases (one per shard, say) into one, without duplicates.", "quillon-cli merge"};
  std::string dbPath;
  std::vector<std::string> sources;
  app.add_option("--db", dbPath, "the database to merge into (created when missing): an SQLite file or a PostgreSQL URI")
      ->option_text("FILE|URI")
      ->required();
  app.add_option("SOURCE", sources, "readings databases to take rows from (SQLite files or PostgreSQL URIs)")->required();
  if (!Parse(app, argc, argv)) return 0;
  for (const auto& s : sources)
    if (!IsServerDatabase(s) && ::access(s.c_str(), R_OK) != 0) throw EUsage(Format("SOURCE \"%s\": expected a readable readings database", s.c_str()));
  const auto db = OpenReadingsStore(dbPath);
  // Every source is checked before any is merged: a bad one changes nothing.
  for (const auto& s : sources) {
    try {
      db->CheckSource(s);
    } catch (const std::exception& e) {
      throw EUsage(e.what());
    }
  }
  for (const auto& s : sources) db->Merge(s);
  std::cerr << Format("%s: %lld meters, %lld readings, %lld profile values, %lld notifications", db->Name().c_str(),
                      static_cast<long long>(db->Count("meters")), static_cast<long long>(db->Count("readings")),
                      static_cast<long long>(db->Count("profile_entries")),
                      static_cast<long long>(db->Count("notifications")))
            << "\n";
  return 0;
}

// ---------------------------------------------------------------- listen

// What happens to a pushed message in listen and headend: its JSON line
// out at once, and the notification queued for the database.
struct TPushStore {
  TJsonLines& Lines;
  TNotificationWriter* Writer;
  size_t QueueLimit;
  std::function<void(const std::string&)> Say;
  uint64_t QueueFull = 0;

  void operator()(const TPushed& p) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    json j{{"meter", p.Meter}, {"received", TimeText(now)}, {"kind", p.Kind}};
    if (p.Unknown) j["unknown"] = true;
    if (p.InvocationCounter >= 0) j["counter"] = p.InvocationCounter;
    for (const auto& [k, v] : p.Body.items()) j[k] = v;
    // Each line as it is decided: a listener killed keeps what it wrote.
    Lines.Write(j);
    Lines.Flush();
    if (Writer) {
      TNotification n{p.Meter, now, p.InvocationCounter, p.Kind,
                                   p.Body.dump(-1, ' ', false, json::error_handler_t::replace), p.Unknown};
      // The network side never waits for the database: a full queue loses
      // this one (counted) and says so once in a while.
      if (!Writer->Push(std::move(n)) && (QueueFull++ % 1000) == 0)
        Say(Format("%s: database queue full (%zu), notification lost", p.Meter.c_str(), QueueLimit));
    }
  }

  // A message that could not be decoded goes to the database as what came
  // (its error line is already out): kind "undecoded", never values.
  void Undecoded(const TUndecoded& u) {
    if (!Writer) return;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    json body{{"sender", u.Sender}, {"reason", u.Reason}, {"bytes", TMisc::ByteStrToHexStr(u.Bytes)}};
    TNotification n{u.Meter, now, -1, "undecoded", body.dump(-1, ' ', false, json::error_handler_t::replace),
                    u.Meter.empty()};
    if (!Writer->Push(std::move(n)) && (QueueFull++ % 1000) == 0)
      Say(Format("%s: database queue full (%zu), undecoded message lost", u.Sender.c_str(), QueueLimit));
  }
};

int ListenCommand(int argc, char** argv) {
  CLI::App app{"Receive what meters push: data notifications, event notifications, information reports.",
               "quillon-cli listen"};
  TListenOptions options;
  std::string metersFile, listFile, pushObjects, out, dbPath, layoutFile, pushSetup = "0.0.25.9.0.255";
  bool quiet = false, fromMeter = false;
  size_t queueLimit = 100000;
  app.add_option("--address", options.Address, "IPv4 address to listen on (default 0.0.0.0)")->option_text("IP");
  app.add_option("--port", options.Port, "TCP and UDP port (default 4059; 0: a free one)")->option_text("N");
  app.add_option("--hdlc-port", options.HdlcPort, "also a TCP port that takes HDLC frames (0: a free one)")->option_text("N");
  app.add_option("--mbus-port", options.MBusPort,
                 "also a TCP port that takes wired M-Bus long frames, as a serial-to-TCP bridge delivers (0: a free one)")
      ->option_text("N");
  std::string parity = "even";
  app.add_option("--serial", options.Serial, "also a meter's customer port on this serial device (read only)")
      ->option_text("DEVICE");
  app.add_option("--baud", options.Baud, "with --serial: the line's speed (default 2400)")->option_text("N");
  app.add_option("--parity", parity, "with --serial: none or even (default even; 8 data bits, 1 stop bit)")
      ->option_text("none|even");
  app.add_option("--framing", options.Framing, "with --serial: hdlc, mbus, apdu (ciphered APDUs without frames) or auto (default auto: told by the bytes)")
      ->option_text("hdlc|mbus|apdu|auto");
  app.add_option("--meters", metersFile, "meters file: keys, security and names of the meters that push")->option_text("FILE");
  app.add_option("--list", listFile, "CSV meter list instead (columns as for batch)")->option_text("FILE");
  app.add_option("--push-objects", pushObjects, "the captured objects of the push, REF,REF,... (names the values)")->option_text("REFS");
  app.add_flag("--objects-from-meter", fromMeter,
               "read the push object list once from each meter of the list that pushes (names the values)");
  app.add_option("--push-setup", pushSetup, "the push setup object whose list is read (default 0.0.25.9.0.255)")->option_text("OBIS");
  app.add_option("--push-layout", layoutFile,
                 "names the values of a fixed list that names nothing: one line per position, OBIS [CLASS [SCALER UNIT]]")
      ->option_text("FILE");
  app.add_option("--for", options.Seconds, "stop after SECONDS (default: at Ctrl-C or SIGTERM)")->option_text("SECONDS");
  app.add_option("--out", out, "JSON lines to FILE (appended, each as it comes; - for standard output, the default without --db)")
      ->option_text("FILE");
  app.add_option("--db", dbPath, "store the notifications in this SQLite file or PostgreSQL database (as batch)")
      ->option_text("FILE|URI");
  app.add_option("--max-connections", options.MaxConnections,
                 "connections open at once (default: the descriptor limit less 64)")->option_text("N");
  app.add_option("--idle-timeout", options.IdleTimeout, "close a connection that sends nothing for this long (default 120; 0: never)")
      ->option_text("SECONDS");
  app.add_option("--max-buffered", options.MaxBuffered,
                 "bytes of partial frames held over all connections (default 33554432)")->option_text("BYTES");
  app.add_option("--queue", queueLimit, "notifications waiting for the database at most (default 100000)")->option_text("N");
  app.add_flag("-q,--quiet", quiet, "no listening line and summary on standard error");
  if (!Parse(app, argc, argv)) return 0;
  CheckListenBounds(app, options, queueLimit);
  CheckSerialListen(app, options, parity);
  TObjectRef setupRef;
  try {
    setupRef = TObjectRef{40, ParseLogicalName(pushSetup), 2};
  } catch (const std::exception& e) {
    throw EUsage(std::string("--push-setup: ") + e.what());
  }
  if (options.Seconds < 0) throw EUsage("--for: expected 0 or more seconds");
  std::vector<TObjectRef> objects;
  for (size_t at = 0; !pushObjects.empty() && at <= pushObjects.size();) {
    const size_t comma = std::min(pushObjects.find(',', at), pushObjects.size());
    try {
      objects.push_back(ParseObjectRef(pushObjects.substr(at, comma - at), "--push-objects"));
    } catch (const std::exception& e) {
      throw EUsage(e.what());
    }
    at = comma + 1;
  }
  const std::vector<TFleetMeter> meters = LoadMeters(metersFile, listFile, false, true);
  if (fromMeter && meters.empty()) throw EUsage("--objects-from-meter: expected meters in --meters or --list");
  TPushDecoder decoder(meters, objects);
  if (!layoutFile.empty()) {
    try {
      decoder.SetLayout(ReadPushLayout(layoutFile));
    } catch (const std::exception& e) {
      throw EUsage(e.what());
    }
  }
  // The writer thread and the listener both report; one line at a time.
  std::mutex sayLock;
  auto say = [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(sayLock);
    std::cerr << "listen: " << line << "\n";
  };
  std::unique_ptr<TReadingsStore> db;
  std::unique_ptr<TNotificationWriter> writer;
  if (!dbPath.empty()) {
    try {
      db = OpenReadingsStore(dbPath);
      for (const auto& [meter, counter] : db->LastInvocationCounters()) decoder.SetLastCounter(meter, counter);
    } catch (const EDatabaseBusy& e) {
      // As for batch: a server that cannot be reached is no fault of the command line.
      if (IsServerDatabase(dbPath)) throw;
      throw EUsage(e.what());
    } catch (const std::exception& e) {
      throw EUsage(e.what());
    }
    writer = std::make_unique<TNotificationWriter>(*db, queueLimit);
    writer->OnError = say;
  }
  TJsonLines lines(out.empty() && dbPath.empty() ? "-" : out);
  CatchSignals();
  TPushListener listener(decoder);
  listener.OnListening = [&](int port, const std::string& framing) {
    if (!quiet) std::cerr << Format("listening on %s port %d (%s)", options.Address.c_str(), port, framing.c_str()) << std::endl;
  };
  listener.OnListeningSerial = [&](const std::string& what) {
    if (!quiet) std::cerr << "listening on " << what << std::endl;
  };
  if (fromMeter) {
    // One association per meter, as batch makes it (with its invocation
    // counters when the meter ciphers), reading the one attribute.
    listener.ReadPushObjects = [&meters, setupRef](const std::string& name) {
      const auto m = std::find_if(meters.begin(), meters.end(), [&](const TFleetMeter& x) { return x.Name == name; });
      if (m == meters.end()) RaiseGeneral("not in the meter list");
      TBatchJob job;
      job.Refs = {setupRef};
      TBatchOptions once;
      once.Jobs = 1;
      once.Retries = 1;
      TBatchRunner runner(once, job);
      TMeterResult result;
      runner.OnResult = [&](const TMeterResult& r) { result = r; };
      runner.Run({*m}, &gFleetCancel);
      if (!result.Ok) RaiseGeneral(result.Error.empty() ? "cancelled" : result.Error);
      return PushObjectRefs(result.Readings.at(0).Value, ObjectRefText(setupRef));
    };
  }
  TPushStore store{lines, writer.get(), queueLimit, say};
  listener.OnPushed = [&](const TPushed& p) { store(p); };
  listener.OnUndecoded = [&](const TUndecoded& u) { store.Undecoded(u); };
  listener.OnError = say;
  TListenCounts counts;
  try {
    counts = listener.Run(options, gFleetCancel);
  } catch (const std::exception& e) {
    throw EUsage(e.what());
  }
  lines.Flush();
  TNotificationWriter::TCounts written;
  if (writer) {
    // What is queued still goes in: a database that stays locked gets a while
    // longer, except after Ctrl-C, which ends the command within a second.
    writer->Finish(gFleetCancel.Cancelled() ? std::chrono::milliseconds(500) : std::chrono::milliseconds(30000));
    written = writer->Counts();
  }
  if (!quiet) {
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::lock_guard<std::mutex> lock(sayLock);
    std::cerr << Format("%llu notifications, %llu replays dropped, %llu malformed, %llu refused, %llu connections "
               "(%llu turned away, %llu closed idle, %llu closed for buffered bytes)",
               u(counts.Received), u(counts.Replays), u(counts.Malformed), u(counts.Refused), u(counts.Connections),
               u(counts.TurnedAway), u(counts.IdleClosed), u(counts.BufferedClosed)) +
        (db ? Format("; %llu stored, %llu already stored, %llu lost, %llu database retries", u(written.Stored),
                     u(written.Duplicates), u(written.Lost), u(written.Retries))
            : std::string())
              << "\n";
  }
  return StatusAfterStop(written.Lost == 0 ? 0 : 1);
}


// ---------------------------------------------------------------- headend

int HeadendCommand(int argc, char** argv) {
  CLI::App app{"Read the meters that call in: each meter that connects is identified, read with its own settings "
               "from the list by the job, and released; a meter that pushes first is heard as listen hears it.",
               "quillon-cli headend"};
  THeadEndOptions options;
  std::string metersFile, listFile, out, dbPath, run;
  int dbWait = 300, timeout = -1;
  int meterTimeout = options.MeterTimeoutMs / 1000;
  bool quiet = false;
  size_t queueLimit = 100000;
  app.add_option("--address", options.Address, "address to listen on (default: every local address)")->option_text("IP");
  app.add_option("--port", options.Port, "TCP port for meters that call with the DLMS wrapper (default 4059; 0: a free one)")
      ->option_text("N");
  app.add_option("--hdlc-port", options.HdlcPort, "also a TCP port for meters that call with HDLC frames (0: a free one)")
      ->option_text("N");
  app.add_option("--meters", metersFile, "a meters file: the meters that may call (default the named meters file)")->option_text("FILE");
  app.add_option("--list", listFile,
                 "a CSV meter list instead (columns as for batch; logical-device-name, serial; caller: the addresses "
                 "and networks a meter calls from; trust-unproven-caller)")
      ->option_text("FILE");
  app.add_option("--jobs", options.Jobs, "meters read at once (default 32)")->option_text("N");
  app.add_option("--for", options.Seconds, "stop after SECONDS (default: at Ctrl-C or SIGTERM)")->option_text("SECONDS");
  app.add_option("--meter-timeout", meterTimeout,
                 "the longest reading one meter may take before it is hung up on (default 120; 0: no limit)")
      ->option_text("SECONDS");
  double identifyTimeout = options.IdentifyTimeoutMs / 1000.0;
  app.add_option("--identify-timeout", identifyTimeout,
                 "the longest finding out who called may take, by workers of its own (default 10)")
      ->option_text("SECONDS");
  app.add_option("--identify-jobs", options.IdentifyJobs, "callers identified at once (default 16)")->option_text("N");
  app.add_option("--max-per-address", options.MaxPerAddress,
                 "connections open at once from one address (default 32; carriers put many meters behind one)")
      ->option_text("N");
  app.add_option("--min-interval", options.MinInterval,
                 "without --run: a meter read less than SECONDS ago is released when it calls (default 0: read every call)")
      ->option_text("SECONDS");
  bool trustUnproven = false;
  app.add_flag("--trust-unproven-callers", trustUnproven,
               "give every meter's password or HLS response to a caller that cannot prove first that it is the meter "
               "(else only meters whose caller column holds the address they call from)");
  app.add_option("--timeout", timeout, "response timeout per request (default each meter's)")->option_text("MS");
  app.add_option("--push-wait", options.PushWaitMs,
                 "a meter that sends within this long of connecting is a pushing meter; silent ones are asked (default 300)")
      ->option_text("MS");
  app.add_option("--out", out, "JSON lines to FILE (appended; - for standard output, the default without --db)")->option_text("FILE");
  app.add_option("--db", dbPath, "store the readings and notifications in this SQLite file or PostgreSQL database (as batch)")
      ->option_text("FILE|URI");
  app.add_option("--db-wait", dbWait, "while another process locks the database, keep the results and retry for up to SECONDS (default 300)")
      ->option_text("SECONDS");
  app.add_option("--run", run,
                 "name of this run (with --db): a meter read in it (by a call that proved it is the meter) is released, "
                 "not read again, when it calls again")
      ->option_text("NAME");
  app.add_option("--max-connections", options.MaxConnections,
                 "connections open at once, being read or pushing (default: the descriptor limit less 64)")->option_text("N");
  app.add_option("--idle-timeout", options.IdleTimeout, "close a pushing connection that sends nothing for this long (default 120; 0: never)")
      ->option_text("SECONDS");
  app.add_option("--max-buffered", options.MaxBuffered, "bytes of partial frames held over all pushing connections (default 33554432)")
      ->option_text("BYTES");
  app.add_option("--queue", queueLimit, "notifications waiting for the database at most (default 100000)")->option_text("N");
  app.add_flag("-q,--quiet", quiet, "no listening lines and summary on standard error");
  bool strict = false;
  AddStrictFlag(app, strict);
  TJobCommands jobs;
  jobs.Add(app);
  if (!Parse(app, argc, argv)) return 0;
  const TBatchJob job = jobs.Job();
  CheckListenBounds(app, options, queueLimit);
  if (options.Jobs < 1 || options.Jobs > 4096) throw EUsage(Format("--jobs %d: expected 1..4096", options.Jobs));
  if (options.Seconds < 0) throw EUsage("--for: expected 0 or more seconds");
  if (meterTimeout < 0 || meterTimeout > 86400) throw EUsage(Format("--meter-timeout %d: expected 0..86400 seconds", meterTimeout));
  options.MeterTimeoutMs = meterTimeout * 1000;
  if (!(identifyTimeout >= 1 && identifyTimeout <= 600))
    throw EUsage(Format("--identify-timeout %g: expected 1..600 seconds", identifyTimeout));
  options.IdentifyTimeoutMs = static_cast<int>(identifyTimeout * 1000);
  if (options.IdentifyJobs < 1 || options.IdentifyJobs > 4096)
    throw EUsage(Format("--identify-jobs %d: expected 1..4096", options.IdentifyJobs));
  if (options.MaxPerAddress < 1) throw EUsage(Format("--max-per-address %d: expected 1 or more", options.MaxPerAddress));
  if (!(options.MinInterval >= 0 && options.MinInterval <= 86400 * 366))
    throw EUsage(Format("--min-interval %g: expected 0..31622400 seconds", options.MinInterval));
  if (options.MinInterval > 0 && !run.empty()) throw EUsage("--min-interval: expected no --run (a run reads each meter once)");
  options.OncePerRun = !run.empty();
  if (options.PushWaitMs < 0 || options.PushWaitMs > 60000)
    throw EUsage(Format("--push-wait %d: expected 0..60000 ms", options.PushWaitMs));
  if (!run.empty() && dbPath.empty()) throw EUsage("--run: expected --db as well");
  if (dbWait < 0 || dbWait > 86400) throw EUsage(Format("--db-wait %d: expected 0..86400", dbWait));

  std::vector<TFleetMeter> meters = LoadMeters(metersFile, listFile, true);
  CheckMeters(meters);
  if (meters.empty()) throw EUsage("headend: expected meters in --meters or --list");
  ApplyStrict(meters, strict);
  if (timeout >= 0)
    for (auto& m : meters) m.Profile.ResponseTimeout = timeout;
  if (trustUnproven)
    for (auto& m : meters) m.Profile.TrustUnprovenCaller = true;

  // Output comes from the workers and from the pushing connections: one line at a time.
  std::mutex outLock;
  auto say = [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(outLock);
    std::cerr << "headend: " << line << "\n";
  };
  TFleetStore store(dbPath, run, dbWait, quiet);
  std::set<std::string> done;
  if (store.Db && !run.empty()) {
    done = store.Db->DoneInRun(run);
    if (!quiet && !done.empty()) std::cerr << Format("run %s: %zu meters already read", run.c_str(), done.size()) << "\n";
  }
  TPushDecoder decoder(meters, {});
  std::unique_ptr<TReadingsStore> notificationsDb;
  std::unique_ptr<TNotificationWriter> notifications;
  std::map<std::string, uint32_t> callCounters;
  if (store.Db) {
    notificationsDb = OpenReadingsStore(dbPath);
    for (const auto& [meter, counter] : notificationsDb->LastInvocationCounters()) decoder.SetLastCounter(meter, counter);
    callCounters = notificationsDb->LastInvocationCounters(true);
    notifications = std::make_unique<TNotificationWriter>(*notificationsDb, queueLimit);
    notifications->OnError = say;
  }
  TJsonLines lines(out.empty() && dbPath.empty() ? "-" : out);
  TResultSink results{lines, store, {}};
  TPushStore pushes{lines, notifications.get(), queueLimit, say};
  CatchSignals();
  TPushListener listener(decoder);
  listener.OnPushed = [&](const TPushed& p) {
    std::lock_guard<std::mutex> lock(outLock);
    pushes(p);
  };
  listener.OnUndecoded = [&](const TUndecoded& u) {
    std::lock_guard<std::mutex> lock(outLock);
    pushes.Undecoded(u);
  };
  listener.OnError = say;
  THeadEnd headend(meters, job, listener);
  headend.SetDone(std::move(done));
  headend.SetLastCounters(std::move(callCounters));
  headend.OnListening = [&](int port, const std::string& framing) {
    if (!quiet)
      std::cerr << Format("headend: waiting for meters on %s port %d (%s)",
                          options.Address.empty() ? "every address" : options.Address.c_str(), port, framing.c_str())
                << std::endl;
  };
  headend.OnResult = [&](const TMeterResult& r, const TCallNote& call) {
    std::lock_guard<std::mutex> lock(outLock);
    results(r);
    // Each call read is kept with who made it and the meter's counter, which
    // the next head end on this database holds the meter's next call to.
    if (notifications && (r.Ok || call.Counter >= 0)) {
      const json body{{"peer", call.Peer}, {"by", call.By}, {"proven", call.Proven}};
      notifications->Push(TNotification{r.Meter, r.ReadAt, call.Counter, kCallInKind,
                                        body.dump(-1, ' ', false, json::error_handler_t::replace), false});
    }
    if (!quiet)
      std::cerr << Format("headend: %s: meter %s (%s) %s%s", call.Peer.c_str(), PrintableName(r.Meter).c_str(),
                          call.By.c_str(), r.Ok ? "read" : ("failed: " + r.Error).c_str(), call.Proven ? "" : " (unproven)")
                << "\n";
  };
  headend.OnLine = say;
  const auto started = std::chrono::steady_clock::now();
  THeadEndCounts counts;
  try {
    counts = headend.Run(options, gFleetCancel);
  } catch (const EGeneralError& e) {
    throw EUsage(e.what());
  }
  lines.Flush();
  const bool allStored = store.Finish(quiet);
  if (notifications)
    notifications->Finish(gFleetCancel.Cancelled() ? std::chrono::milliseconds(500) : std::chrono::milliseconds(30000));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!quiet) {
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::lock_guard<std::mutex> lock(outLock);
    std::cerr << Format("%llu connections: %llu meters read, %llu failed, %llu called again and released, %llu unknown, "
                        "%llu refused, %llu pushing, %llu not started (%llu turned away, %llu closed idle, %llu closed for "
                        "buffered bytes); %.1f s, %.1f meters/s",
                        u(counts.Connections), u(counts.Read), u(counts.Failed), u(counts.AlreadyRead), u(counts.Unknown),
                        u(counts.Refused),
                        u(counts.Pushing), u(counts.NotStarted), u(counts.TurnedAway), u(counts.IdleClosed),
                        u(counts.BufferedClosed), seconds, seconds > 0 ? counts.Read / seconds : 0.0)
              << "\n";
    results.PrintFailures();
  }
  return StatusAfterStop(counts.Failed == 0 && allStored ? 0 : 1);
}

}  // namespace

bool IsFleetCommand(const char* word) {
  for (const char* c : {"batch", "export", "merge", "listen", "headend"})
    if (std::strcmp(word, c) == 0) return true;
  return false;
}

int RunFleetCommand(int argc, char** argv) {
  const std::string command = argv[1];
  try {
    if (command == "batch") return Batch(argc, argv);
    if (command == "export") return Export(argc, argv);
    if (command == "merge") return Merge(argc, argv);
    if (command == "listen") return ListenCommand(argc, argv);
    if (command == "headend") return HeadendCommand(argc, argv);
  } catch (const EUsage& e) {
    std::cerr << "quillon-cli: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "quillon-cli: " << command << ": " << e.what() << "\n";
    return 1;
  }
  return 2;
}

}  // namespace quillon::cli
