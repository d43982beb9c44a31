// quillon-cli: read any meter from a shell or a script. Connection options
// build a meter profile (or take one from the meters file or from the
// desktop application's settings), the command runs over one session.
//
// Exit status: 0 success, 1 the meter, the link or the protocol failed,
// 2 the command line was wrong. Every error is one line on standard error.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "client/Caller.h"
#include "client/Dump.h"
#include "client/LogMask.h"
#include "client/ProfileOptions.h"
#include "client/Session.h"
#include "client/SigningKeys.h"
#include "comm/PosixIO.h"
#include "engine/DLMSProtocol.h"
#include "knowledge/COSEMClasses.h"
#include "knowledge/COSEMUnits.h"
#include "knowledge/OBISData.h"
#include "tools/cli/Fleet.h"
#include "tools/cli/Output.h"
#include "tools/cli/Signals.h"
#include "tools/cli/ProbeCommand.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"
#include "quillon/Version.h"

using namespace quillon;
using namespace quillon::client;
using namespace quillon::cli;
using nlohmann::json;

namespace {

// A wrong command line: exit status 2.
using EUsage = EUsageError;

enum class TFormat { fText, fJson, fCsv, fXml };

// The connection and security options, and how the command reports.
struct TOptions : TProfileOptions {
  std::string Log, Format = "text";
  bool Verbose = false, Quiet = false, LogSecrets = false;
};

TCancelToken gCancel;

// Ctrl-C and SIGTERM cancel what runs and end the process within a second;
// a closed pipe is an error, not a death.
void InstallSignals() { CatchStopSignals(gCancel); }

// ---------------------------------------------------------------- rendering

std::string UnitName(const std::optional<TScalerUnit>& su) { return su ? COSEMUnitName(su->Unit) : std::string(); }

// The value a person reads: scaled where a unit applies, enums by name
// where the class catalogue knows the attribute's values.
std::string ReadableValue(const client::TValue& v, const std::optional<TScalerUnit>& su, const TObjectRef& ref) {
  if (su) {
    if (auto t = ScaledText(v, su->Scaler)) return *t;
  }
  return ValueToText(v, client::TValuePlace{ref.ClassId, -1, ref.Member, {}});
}

std::string Description(const TLogicalName& n) {
  try {
    return EmbeddedOBISData().GetOBISText(n);
  } catch (const std::exception&) {
    return std::string();
  }
}

json ReadingJson(const TReading& r) {
  json j;
  j["ref"] = ObjectRefText(r.Ref);
  j["class"] = r.Ref.ClassId;
  j["obis"] = LogicalNameDotted(r.Ref.Name);
  j["attribute"] = r.Ref.Member;
  j["value"] = ValueToJson(r.Value);
  AddScaledJson(j, r.Value, r.ScalerUnit);
  return j;
}

void PrintJson(const json& j) {
  std::cout << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

// ---------------------------------------------------------------- commands

struct TContext {
  TOptions Options;
  TFormat Format = TFormat::fText;
  std::unique_ptr<TSession> Session;
  TCall Call;
};

void Info(const TContext& c, const std::string& text) {
  if (!c.Options.Quiet) std::cerr << text << "\n";
}

void CmdObjects(TContext& c) {
  const auto& list = c.Session->ObjectList(c.Call);
  switch (c.Format) {
    case TFormat::fXml:
      std::cout << c.Session->LastXml() << "\n";
      return;
    case TFormat::fJson: {
      json a = json::array();
      for (const auto& e : list) {
        json o{{"class", e.ClassId}, {"version", e.Version}, {"obis", LogicalNameDotted(e.Name)},
               {"description", e.Description}, {"classname", e.ClassName}, {"access", e.AccessText()}};
        if (e.ShortName >= 0) o["shortname"] = Format("%.4X", e.ShortName);
        o["attributes"] = e.AttributeNames;
        a.push_back(o);
      }
      PrintJson(a);
      return;
    }
    case TFormat::fCsv:
      std::cout << CsvLine({"class", "version", "obis", "description", "classname", "access"});
      for (const auto& e : list)
        std::cout << CsvLine({std::to_string(e.ClassId), std::to_string(e.Version), LogicalNameDotted(e.Name),
                              e.Description, e.ClassName, e.AccessText()});
      return;
    case TFormat::fText: {
      std::vector<std::vector<std::string>> rows{{"CLASS", "VER", "OBIS", "CLASS NAME", "DESCRIPTION"}};
      for (const auto& e : list)
        rows.push_back({std::to_string(e.ClassId), std::to_string(e.Version), LogicalNameDotted(e.Name), e.ClassName,
                        e.Description});
      std::cout << TextTable(rows, {true, true});
      std::cout << list.size() << " objects\n";
    }
  }
}

void CmdGet(TContext& c, const std::vector<TObjectRef>& refs) {
  std::vector<TReading> readings;
  std::string xml;
  for (const TObjectRef& ref : refs) {
    readings.push_back(c.Session->Get(ref, c.Call));
    xml += readings.back().DataXml + "\n";
  }
  switch (c.Format) {
    case TFormat::fXml:
      std::cout << xml;
      return;
    case TFormat::fJson: {
      json a = json::array();
      for (const auto& r : readings) a.push_back(ReadingJson(r));
      PrintJson(a);
      return;
    }
    case TFormat::fCsv:
      std::cout << CsvLine({"ref", "value", "scaler", "unit", "scaled"});
      for (const auto& r : readings)
        std::cout << CsvLine({ObjectRefText(r.Ref), ValueToCsvCell(r.Value),
                              r.ScalerUnit ? std::to_string(r.ScalerUnit->Scaler) : "", UnitName(r.ScalerUnit),
                              r.ScalerUnit ? ScaledText(r.Value, r.ScalerUnit->Scaler).value_or("") : ""});
      return;
    case TFormat::fText: {
      std::vector<std::vector<std::string>> rows;
      for (const auto& r : readings)
        rows.push_back({ObjectRefText(r.Ref), ReadableValue(r.Value, r.ScalerUnit, r.Ref), UnitName(r.ScalerUnit),
                        Description(r.Ref.Name)});
      std::cout << TextTable(rows, {false, true});
    }
  }
}

void Done(TContext& c, const std::string& what, const TObjectRef& ref, const std::optional<client::TValue>& returned = {}) {
  switch (c.Format) {
    case TFormat::fXml:
      std::cout << c.Session->LastXml() << "\n";
      return;
    case TFormat::fJson: {
      json j{{"ref", ObjectRefText(ref)}, {"result", "success"}};
      if (returned) j["value"] = ValueToJson(*returned);
      PrintJson(j);
      return;
    }
    case TFormat::fCsv:
      std::cout << CsvLine({"ref", "result", "value"});
      std::cout << CsvLine({ObjectRefText(ref), "success", returned ? ValueToCsvCell(*returned) : ""});
      return;
    case TFormat::fText:
      if (returned) std::cout << ValueToText(*returned) << "\n";
      Info(c, what + " " + ObjectRefText(ref));
  }
}

void CmdSet(TContext& c, TObjectRef ref, const std::string& xml) {
  c.Session->Set(ref, xml, c.Call);
  if (ref.Member == 0) ref.Member = 2;
  if (ref.ClassId == 0) ref.ClassId = c.Session->ClassOf(ref.Name, c.Call);
  Done(c, "written", ref);
}

void CmdAction(TContext& c, TObjectRef ref, const std::string& xml) {
  auto returned = c.Session->Action(ref, xml, c.Call);
  if (ref.ClassId == 0) ref.ClassId = c.Session->ClassOf(ref.Name, c.Call);
  Done(c, "invoked", ref, returned);
}

void CmdProfile(TContext& c, const TObjectRef& ref, const TProfileRange& range) {
  TProgressLine progress;
  TCall call = c.Call;
  call.Progress = [&](const TProgress& p) { progress.Show(ProgressText(p)); };
  const TProfileTable t = c.Session->ReadProfile(ref, range, call);
  switch (c.Format) {
    case TFormat::fXml:
      std::cout << c.Session->LastXml() << "\n";
      return;
    case TFormat::fJson: {
      json cols = json::array();
      for (const auto& col : t.Columns) {
        json j{{"description", col.Description}, {"class", col.ClassId}, {"obis", LogicalNameDotted(col.Name)},
               {"attribute", col.Attribute}};
        if (col.ScalerUnit) {
          j["scaler"] = col.ScalerUnit->Scaler;
          j["unit"] = COSEMUnitName(col.ScalerUnit->Unit);
        }
        cols.push_back(j);
      }
      json rows = json::array();
      for (const auto& row : t.Rows) {
        json r = json::array();
        for (size_t i = 0; i < row.size(); ++i) {
          if (i < t.Columns.size() && t.Columns[i].ScalerUnit) {
            if (auto s = ScaledText(row[i], t.Columns[i].ScalerUnit->Scaler)) {
              r.push_back(std::stod(*s));
              continue;
            }
          }
          r.push_back(ValueToJson(row[i]));
        }
        rows.push_back(r);
      }
      PrintJson(json{{"columns", cols}, {"rows", rows}});
      return;
    }
    case TFormat::fCsv:
      std::cout << ProfileCsv(t);
      return;
    case TFormat::fText: {
      std::vector<std::vector<std::string>> rows(1);
      std::vector<bool> right;
      for (const auto& col : t.Columns) {
        std::string h = LogicalNameDotted(col.Name);
        const std::string unit = UnitName(col.ScalerUnit);
        if (!unit.empty()) h += " [" + unit + "]";
        rows[0].push_back(h);
        right.push_back(col.ClassId != 8);
      }
      for (const auto& row : t.Rows) {
        std::vector<std::string> cells;
        for (size_t i = 0; i < row.size(); ++i)
          cells.push_back(i < t.Columns.size() ? ProfileCellText(row[i], &t.Columns[i]) : ValueToText(row[i]));
        rows.push_back(cells);
      }
      std::cout << TextTable(rows, right);
      std::cout << t.Rows.size() << " entries\n";
    }
  }
}

const TObjectRef kClock{8, {0, 0, 1, 0, 0, 255}, 2};

void CmdClock(TContext& c, const std::optional<int64_t>& setTo) {
  if (setTo) {
    // Local time of this machine with its deviation from UTC.
    const time_t now = static_cast<time_t>(*setTo);
    std::tm tm{};
    localtime_r(&now, &tm);
    const int deviation = static_cast<int>(-tm.tm_gmtoff / 60);
    const std::string bytes = EncodeDateTime(*setTo, deviation);
    c.Session->Set(kClock, "<OctetString Value=\"" + TMisc::ByteStrToHexStr(bytes) + "\" />", c.Call);
  }
  const TReading r = c.Session->Get(kClock, c.Call);
  switch (c.Format) {
    case TFormat::fXml:
      std::cout << r.DataXml << "\n";
      return;
    case TFormat::fJson:
      PrintJson(json{{"ref", ObjectRefText(r.Ref)}, {"value", ValueToJson(r.Value)}});
      return;
    case TFormat::fCsv:
      std::cout << CsvLine({"ref", "value"}) << CsvLine({ObjectRefText(r.Ref), ValueToCsvCell(r.Value)});
      return;
    case TFormat::fText:
      std::cout << ValueToText(r.Value) << "\n";
  }
}

void CmdDump(TContext& c) {
  TProgressLine progress;
  json objects = json::array();
  DumpReadable(*c.Session, c.Call, TDumpOptions{},
               [&](const TObjectListEntry& e, const std::vector<TDumpedAttribute>& read, size_t index, size_t count) {
                 progress.Show(Format("%zu/%zu objects", index, count));
                 json attributes = json::array();
                 for (const TDumpedAttribute& d : read) {
                   json j{{"attribute", d.Attribute}};
                   if (d.Attribute <= static_cast<int>(e.AttributeNames.size()))
                     j["name"] = e.AttributeNames[static_cast<size_t>(d.Attribute - 1)];
                   if (d.Reading) {
                     j["value"] = ValueToJson(d.Reading->Value);
                     AddScaledJson(j, d.Reading->Value, d.Reading->ScalerUnit);
                   } else {
                     j["error"] = d.Error;
                   }
                   attributes.push_back(j);
                 }
                 objects.push_back(json{{"class", e.ClassId}, {"version", e.Version}, {"obis", LogicalNameDotted(e.Name)},
                                        {"description", e.Description}, {"attributes", attributes}});
               });
  PrintJson(objects);
}

void CmdSaveMeter(const TOptions& o, const std::string& name, const TMeterProfile& p) {
  if (name.empty() || name.find_first_of("[]\r\n") != std::string::npos)
    throw EUsage(Format("NAME \"%s\": expected a name without brackets or line breaks", name.c_str()));
  SaveMeterSection(p, name);
  if (!o.Quiet) std::cerr << "meter \"" << name << "\" saved in " << MetersFilePath() << "\n";
}

const char* const kCommands =
    "objects, get, set, action, profile, clock, dump, save-meter, probe, explain, batch, export, merge, listen or headend";

// When no command was recognised: the first word that is neither an option
// nor an option's value is the command we do not know.
void UnknownCommand(CLI::App& app, int argc, char** argv) {
  if (!app.get_subcommands().empty()) return;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("-", 0) == 0) {
      const CLI::Option* opt = a.find('=') == std::string::npos ? app.get_option_no_throw(a) : nullptr;
      if (opt && opt->get_expected_min() > 0) ++i;  // its value
      continue;
    }
    throw EUsage(Format("command \"%s\": expected %s", a.c_str(), kCommands));
  }
}

}  // namespace

int main(int argc, char** argv) {
  // batch, export, merge, listen and headend have options of their own.
  if (argc > 1 && IsFleetCommand(argv[1])) return RunFleetCommand(argc, argv);
  TOptions o;
  CLI::App app{"quillon-cli - read and write DLMS/COSEM meters", "quillon-cli"};
  app.set_version_flag("--version", std::string("quillon-cli ") + QUILLON_VERSION);
  app.fallthrough();
  app.require_subcommand(1);
  app.footer(
      "Keys and passwords may come from the environment (QUILLON_EK, QUILLON_AK, QUILLON_KEK,\n"
      "QUILLON_SYSTEM_TITLE, QUILLON_SERVER_SYSTEM_TITLE, QUILLON_PASSWORD, QUILLON_PASSWORD_HEX,\n"
      "QUILLON_SIGNING_KEY, QUILLON_SERVER_SIGNING_KEY) or\n"
      "from a keys file (--keys FILE, section [keys] with the same names in lower case, e.g. ek=...),\n"
      "so that secrets stay out of the command line.\n"
      "Named meters live in $XDG_CONFIG_HOME/quillon/meters.ini; invocation counters in\n"
      "$XDG_DATA_HOME/quillon/invocation-counters.ini, or the file QUILLON_COUNTERS names.\n"
      "Exit status: 0 success, 1 meter, link or protocol failure, 2 usage error.");
  // One line per option: name, variable, value placeholder, help, group.
  auto option = [&app](const char* name, auto& variable, const char* placeholder, const char* help, const char* group) {
    app.add_option(name, variable, help)->option_text(placeholder)->group(group);
  };
  auto* conn = "Connection";
  option("--tcp", o.Tcp, "HOST[:PORT]", "DLMS wrapper over TCP (port 4059 when not given)", conn);
  option("--hdlc-tcp", o.HdlcTcp, "HOST:PORT", "HDLC frames over TCP (transparent modems, terminal servers)", conn);
  option("--serial", o.Serial, "DEVICE", "HDLC over a serial device", conn);
  option("--accept", o.Accept, "[HOST:]PORT",
         "the meter calls in: wait for one connection on PORT (DLMS wrapper), then run the command over it", conn);
  option("--accept-hdlc", o.AcceptHdlc, "[HOST:]PORT", "the meter calls in with HDLC frames over TCP", conn);
  option("--wait", o.Wait, "SECONDS", "with --accept: how long to wait for the meter (default 300)", conn);
  option("--caller", o.Caller, "ADDRESSES",
         "with --accept: the addresses and networks (ADDRESS/BITS, comma-separated) the meter calls from", conn);
  app.add_flag("--trust-unproven-caller", o.TrustUnprovenCaller,
               "with --accept: give a password or HLS response to a caller that cannot prove first that it is the meter")
      ->group(conn);
  option("--baud", o.Baud, "N", "serial speed (default 9600)", conn);
  app.add_flag("--mode-e", o.ModeE, "open the serial line with the IEC 62056-21 mode E handshake")->group(conn);
  option("--meter", o.Meter, "NAME", "a named meter from the meters file", conn);
  option("--settings", o.Settings, "FILE", "the desktop application's saved settings file", conn);
  option("--client", o.Client, "N", "client address (default 16)", conn);
  option("--server", o.Server, "N", "server logical address (default 1)", conn);
  option("--physical", o.Physical, "N", "HDLC physical (lower) server address", conn);
  option("--address-size", o.AddressSize, "N", "HDLC server address size 1, 2 or 4 (default: from the addresses)", conn);
  app.add_flag("--sn", o.ShortNames, "short-name referencing (default logical names)")->group(conn);
  auto* sec = "Security";
  option("--auth", o.Auth, "MECH", "none|low|manufacturer|md5|sha1|gmac|sha256|ecdsa", sec);
  option("--password", o.Password, "TEXT", "password or HLS secret as text", sec);
  option("--password-hex", o.PasswordHex, "HEX", "password or HLS secret as hex", sec);
  option("--security", o.Security, "POLICY", "none|auth|enc|auth-enc (not none: ciphered context)", sec);
  option("--suite", o.Suite, "N", "security suite 0|1|2", sec);
  option("--ek", o.EK, "HEX", "global unicast encryption key", sec);
  option("--ak", o.AK, "HEX", "authentication key", sec);
  option("--kek", o.KEK, "HEX", "key encryption key", sec);
  option("--system-title", o.SystemTitle, "HEX", "client system title (8 bytes)", sec);
  option("--server-system-title", o.ServerSystemTitle, "HEX", "meter system title (8 bytes)", sec);
  option("--signing-key", o.SigningKey, "FILE",
         "ECDSA: the client's private signing key, PEM (P-256 for --suite 1, P-384 for --suite 2)", sec);
  option("--server-signing-key", o.ServerSigningKey, "FILE",
         "ECDSA: the meter's public signing key, PEM (a public key or a certificate)", sec);
  app.add_flag("--dedicated-key", o.DedicatedKey, "propose a dedicated key")->group(sec);
  option("--keys", o.Keys, "FILE", "keys file", sec);
  auto* out = "Output";
  std::string quirkHelp = "a tolerance for this meter's deviations (repeatable):";
  for (const TQuirkInfo& q : QuirkCatalogue()) quirkHelp += std::string("\n") + q.Syntax + ": " + q.Meaning;
  option("--ic", o.InvocationCounter, "auto|N",
         "invocation counter of the first ciphered message: auto reads the meter's (0.0.43.1.0.255) "
         "through the public client and goes on above it and above the counters kept; a number starts there",
         sec);
  option("--quirk", o.Quirks, "NAME", quirkHelp.c_str(), conn);
  app.add_flag("--strict", o.Strict,
               "refuse the deviations tolerated by default (answers in data blocks the meter did not grant); "
               "quirks given still apply")
      ->group(conn);
  option("--timeout", o.Timeout, "MS", "response timeout (default 3000)", conn);
  option("--connect-timeout", o.ConnectTimeout, "MS", "TCP connect timeout (default 5000)", conn);
  option("--log", o.Log, "FILE", "traffic log, the same lines as the log window", out);
  option("--format", o.Format, "FORMAT", "text|json|csv|xml (default text)", out);
  app.add_flag("-v,--verbose", o.Verbose, "engine log lines on standard error")->group(out);
  app.add_flag("--log-secrets", o.LogSecrets,
               "keys, passwords and HLS secrets in clear in --log and -v lines (default: shown as <hidden>)")
      ->group(out);
  app.add_flag("-q,--quiet", o.Quiet, "no confirmations on standard error")->group(out);

  auto* cmdObjects = app.add_subcommand("objects", "the object list");
  std::vector<std::string> getRefs;
  auto* cmdGet = app.add_subcommand("get", "read attributes (default attribute 2)");
  cmdGet->add_option("REF", getRefs, "[CLASS/]OBIS[/ATTRIBUTE]")->required();
  std::string setRef, setValue;
  auto* cmdSet = app.add_subcommand("set", "write an attribute");
  cmdSet->add_option("REF", setRef, "[CLASS/]OBIS[/ATTRIBUTE]")->required();
  cmdSet->add_option("VALUE", setValue, "a DLMS XML Data element or TYPE:VALUE (e.g. LongUnsigned:300)")->required();
  std::string actRef, actValue;
  auto* cmdAction = app.add_subcommand("action", "invoke a method");
  cmdAction->add_option("REF", actRef, "[CLASS/]OBIS/METHOD")->required();
  cmdAction->add_option("VALUE", actValue, "parameters: a DLMS XML Data element or TYPE:VALUE");
  std::string profRef, from, to, entries;
  auto* cmdProfile = app.add_subcommand("profile", "read a profile's entries");
  cmdProfile->add_option("REF", profRef, "[7/]OBIS of the profile")->required();
  cmdProfile->add_option("--from", from, "first capture time, YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM] (UTC without zone)");
  cmdProfile->add_option("--to", to, "last capture time (inclusive)");
  cmdProfile->add_option("--entries", entries, "entry range A..B, counted from 1");
  std::string clockSet;
  auto* cmdClock = app.add_subcommand("clock", "read the clock, or set it");
  cmdClock->add_option("--set", clockSet, "now (this machine's clock) or a time YYYY-MM-DDTHH:MM:SS[Z|+HH:MM]");
  auto* cmdDump = app.add_subcommand("dump", "every readable attribute of every object (JSON)");
  std::string meterName;
  auto* cmdSave = app.add_subcommand("save-meter", "store the connection options as a named meter");
  cmdSave->add_option("NAME", meterName, "name of the meter")->required();
  std::string probeSave, probeSerialNumber;
  int probeBudget = 60, probeAttemptTimeout = 1500;
  auto* cmdProbe = app.add_subcommand("probe", "find how the meter at --tcp/--hdlc-tcp/--serial answers");
  cmdProbe->add_option("--budget", probeBudget, "time budget in seconds (default 60)")->check(CLI::Range(1, 3600));
  cmdProbe->add_option("--attempt-timeout", probeAttemptTimeout, "response timeout of each attempt in ms (default 1500)")
      ->check(CLI::Range(100, 60000));
  cmdProbe->add_option("--serial-number", probeSerialNumber, "the meter's serial number: its physical address is derived from it");
  cmdProbe->add_option("--save", probeSave, "store the recommended profile as a named meter");
  bool explainMarkdown = false;
  auto* cmdExplain = app.add_subcommand("explain", "the failures quillon-cli explains, with their causes");
  cmdExplain->add_flag("--markdown", explainMarkdown, "as the Markdown table of the README");

  TContext c;
  int status = 0;
  try {
    try {
      app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
      std::cout << app.help();
      return 0;
    } catch (const CLI::CallForVersion&) {
      std::cout << app.version() << "\n";
      return 0;
    } catch (const CLI::ExtrasError& e) {
      UnknownCommand(app, argc, argv);
      throw EUsage(e.what());
    } catch (const CLI::RequiredError& e) {
      if (app.get_subcommands().empty()) {
        UnknownCommand(app, argc, argv);
        throw EUsage(Format("command: expected %s (see --help)", kCommands));
      }
      throw EUsage(e.what());
    } catch (const CLI::ParseError& e) {
      throw EUsage(e.what());
    }
    c.Options = o;
    if (o.Format == "text") c.Format = TFormat::fText;
    else if (o.Format == "json") c.Format = TFormat::fJson;
    else if (o.Format == "csv") c.Format = TFormat::fCsv;
    else if (o.Format == "xml") c.Format = TFormat::fXml;
    else throw EUsage(Format("--format \"%s\": expected text, json, csv or xml", o.Format.c_str()));

    // The table of explanations needs no meter.
    if (cmdExplain->parsed()) {
      PrintExplanations(explainMarkdown);
      return 0;
    }
    // Everything the command line says is checked before the meter is called.
    const TMeterProfile profile = BuildProfile(o);
    std::vector<TObjectRef> refs;
    for (const auto& r : getRefs) refs.push_back(ObjectRefOption(r));
    std::string valueXml;
    TObjectRef ref;
    TProfileRange range;
    std::optional<int64_t> clockTo;
    if (cmdSet->parsed()) {
      ref = ObjectRefOption(setRef);
      valueXml = ValueOption(setValue);
    }
    if (cmdAction->parsed()) {
      ref = ObjectRefOption(actRef, "method");
      if (ref.Member == 0) throw EUsage(Format("method \"%s\": expected [CLASS/]OBIS/METHOD", actRef.c_str()));
      if (!actValue.empty()) valueXml = ValueOption(actValue);
    }
    if (cmdProfile->parsed()) {
      ref = ObjectRefOption(profRef);
      range = ProfileRangeOf(from, to, entries);
    }
    if (cmdClock->parsed() && !clockSet.empty()) {
      if (clockSet == "now") clockTo = static_cast<int64_t>(std::time(nullptr));
      else
        try {
          clockTo = ParseIsoTime(clockSet, "--set");
        } catch (const std::exception& e) {
          throw EUsage(e.what());
        }
    }
    if (cmdDump->parsed() && c.Format != TFormat::fJson && o.Format != "text")
      throw EUsage(Format("--format \"%s\": dump writes JSON only", o.Format.c_str()));
    if (cmdSave->parsed()) {
      CmdSaveMeter(o, meterName, profile);
      return 0;
    }
    if (cmdProbe->parsed()) {
      if (c.Format != TFormat::fText && c.Format != TFormat::fJson)
        throw EUsage(Format("--format \"%s\": probe writes text or JSON", o.Format.c_str()));
      TProbeCommand probe;
      probe.Options.Base = profile;
      probe.Options.Serial = !o.Serial.empty();
      probe.Options.Wrapper = o.HdlcTcp.empty();
      probe.Options.BudgetMs = probeBudget * 1000;
      probe.Options.AttemptTimeoutMs = probeAttemptTimeout;
      if (o.Physical >= 0) probe.Options.PhysicalAddresses.push_back(o.Physical);
      if (o.Baud > 0) probe.Options.Bauds.push_back(o.Baud);
      if (o.ModeE) probe.Options.Direct = false;
      probe.Options.SerialNumber = probeSerialNumber;
      probe.Options.Client = o.Client;
      probe.Options.Server = o.Server;
      probe.Json = c.Format == TFormat::fJson;
      probe.Quiet = o.Quiet;
      probe.SaveAs = probeSave;
      if (!probeSave.empty() && probeSave.find_first_of("[]\r\n") != std::string::npos)
        throw EUsage(Format("--save \"%s\": expected a name without brackets or line breaks", probeSave.c_str()));
      probe.Save = [&o](const std::string& name, const TMeterProfile& p) { CmdSaveMeter(o, name, p); };
      InstallSignals();
      return StatusAfterStop(RunProbe(probe, &gCancel));
    }

    // What --log and -v show: secrets hidden unless asked for.
    std::function<std::string(const std::string&)> mask;
    if (!o.LogSecrets) mask = TSecretMask(profile);
    if (!o.Log.empty()) {
      try {
        OpenTrafficLog(o.Log, mask);
      } catch (const std::exception& e) {
        throw EUsage(e.what());
      }
    }
    InstallSignals();

    c.Call.Cancel = &gCancel;
    c.Session = std::make_unique<TSession>(profile);
    c.Session->SetLog([&o, mask](const std::string& line) {
      TrafficLogLine(line);
      if (o.Verbose) std::cerr << (mask ? mask(line) : line) << "\n";
    });
    // -v shows the line among the engine's already.
    if (!o.Quiet && !o.Verbose)
      c.Session->SetDeviationNotice([](const std::string& text) { std::cerr << "quillon-cli: " << text << std::endl; });
    const std::optional<uint32_t> givenCounter = GivenInvocationCounter(o);
    // A meter refuses an invocation counter it has seen: the count goes on
    // from where the last process left it, unless one is given.
    c.Session->KeepInvocationCounter(TCounterKeeping{
        .First = givenCounter, .Warning = [](const std::string& e) { std::cerr << "quillon-cli: " << e << "\n"; }});
    if (profile.CallIn && !o.Quiet)
      c.Session->SetCallInNotice([](const std::string& text) { std::cerr << "quillon-cli: " << text << std::endl; });
    c.Session->Open(c.Call);
    if (profile.CallIn && !o.Quiet) std::cerr << "quillon-cli: " << CallerIdentityText(*c.Session, c.Call) << std::endl;
    if (o.Verbose)
      std::cerr << Format("associated: PDU size %d, conformance %s", c.Session->NegotiatedMaxPduSize(),
                          TMisc::IntToHex(c.Session->NegotiatedConformance(), 6).c_str())
                << "\n";
    if (cmdObjects->parsed()) CmdObjects(c);
    else if (cmdGet->parsed()) CmdGet(c, refs);
    else if (cmdSet->parsed()) CmdSet(c, ref, valueXml);
    else if (cmdAction->parsed()) CmdAction(c, ref, valueXml);
    else if (cmdProfile->parsed()) CmdProfile(c, ref, range);
    else if (cmdClock->parsed()) CmdClock(c, clockTo);
    else if (cmdDump->parsed()) CmdDump(c);
    c.Session->Close();
  } catch (const EUsage& e) {
    std::cerr << "quillon-cli: " << e.what() << "\n";
    status = 2;
  } catch (const EMeterError& e) {
    std::cerr << "quillon-cli: " << e.what() << "\n";
    if (e.Diagnosis) std::cerr << DiagnosisLines(*e.Diagnosis);
    status = 1;
  } catch (const std::exception& e) {
    std::cerr << "quillon-cli: " << e.what() << "\n";
    status = 1;
  }
  std::cout.flush();
  c.Session.reset();
  CloseTrafficLog();
  return StatusAfterStop(status);
}
