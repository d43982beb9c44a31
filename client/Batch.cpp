#include "client/Batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <ctime>
#include <thread>
#include <unordered_map>

#include "client/Dump.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

using nlohmann::json;

// ---------------------------------------------------------------- meter lists

std::vector<std::vector<std::string>> ParseCsv(const std::string& text, std::vector<size_t>* lines) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string cell;
  bool quoted = false, any = false;
  size_t line = 1, rowLine = 1;
  auto endCell = [&] {
    row.push_back(cell);
    cell.clear();
  };
  auto endRow = [&] {
    endCell();
    // A line with nothing on it is no record.
    if (!(row.size() == 1 && row[0].empty())) {
      rows.push_back(std::move(row));
      if (lines) lines->push_back(rowLine);
    }
    row.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    any = true;
    if (ch == '\n') ++line;
    if (quoted) {
      if (ch != '"') cell += ch;
      else if (i + 1 < text.size() && text[i + 1] == '"') cell += text[++i];
      else quoted = false;
    } else if (ch == '"') {
      quoted = true;
    } else if (ch == ',') {
      endCell();
    } else if (ch == '\n') {
      endRow();
      rowLine = line;
    } else if (ch != '\r') {
      cell += ch;
    }
  }
  if (quoted) RaiseGeneral("meter list: a quoted cell is not closed");
  if (any && (!cell.empty() || !row.empty())) endRow();
  return rows;
}

std::string PrintableName(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20 || c == 0x7F) out += Format("\\x%02X", c);
    else out += static_cast<char>(c);
  }
  return out;
}

namespace {

bool IsMeterName(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c == '[' || c == ']' || c < 0x20 || c == 0x7F) return false;
  return true;
}

// A meter of the list as its section of a meters file would hold it.
void SetCells(TIniData& ini, const std::string& name, const std::vector<std::string>& head,
              const std::vector<std::string>& row, size_t nameColumn) {
  for (size_t c = 0; c < head.size(); ++c) {
    if (c == nameColumn || row[c].empty()) continue;
    if (head[c] != "address") {
      ini.Set(name, head[c], row[c]);
      continue;
    }
    // HOST:PORT, [IPv6]:PORT, or a device path.
    const std::string& a = row[c];
    if (a[0] == '/') {
      ini.Set(name, "device", a);
      continue;
    }
    size_t colon = a.rfind(':');
    std::string host = a.substr(0, colon == std::string::npos ? a.size() : colon);
    if (!host.empty() && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    else if (colon != std::string::npos && a.find(':') != colon) host = a, colon = std::string::npos;  // bare IPv6
    ini.Set(name, "host", host);
    if (colon != std::string::npos) ini.Set(name, "port", a.substr(colon + 1));
  }
}

// The profile of a meter, or why it has none.
void Describe(TFleetMeter& m, const TIniData& ini, const std::function<std::string(const std::string&)>& cell) {
  // What the push listener knows the meter by besides its system title.
  m.LogicalDeviceName = ini.Get(m.Name, "logical-device-name");
  m.Serial = ini.Get(m.Name, "serial");
  try {
    m.Profile = ProfileFromMeterSection(ini, m.Name);
    if (const std::string push = ini.Get(m.Name, "push-security"); !push.empty()) {
      try {
        m.PushPolicy = PolicyOfName(push, Format("meter %s: push-security", PrintableName(m.Name).c_str()));
      } catch (const std::exception& e) {
        throw EMeterFieldError("push-security", e.what());
      }
    }
  } catch (const EMeterFieldError& e) {
    m.Column = cell(e.Key);
    m.ConfigError = e.what();
  } catch (const std::exception& e) {
    m.ConfigError = Format("meter %s: %s", PrintableName(m.Name).c_str(), e.what());
  }
}

}  // namespace

TFleetMeter FleetMeterOfSection(const TIniData& ini, const std::string& name) {
  TFleetMeter m;
  m.Name = name;
  Describe(m, ini, [](const std::string&) { return std::string(); });
  return m;
}

std::vector<TFleetMeter> MetersOfIni(const TIniData& ini) {
  std::vector<TFleetMeter> meters;
  for (const std::string& name : ini.Sections()) meters.push_back(FleetMeterOfSection(ini, name));
  return meters;
}

std::vector<TFleetMeter> MetersOfIniText(const std::string& text) {
  TIniData ini;
  ini.Parse(text);
  // Each section's header lines, read as TIniData reads them.
  std::unordered_map<std::string, std::vector<size_t>> headers;  // folded name: lines
  size_t lineNr = 0;
  for (size_t pos = 0; pos < text.size();) {
    const size_t eol = std::min(text.find('\n', pos), text.size());
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    ++lineNr;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t"), last = line.find_last_not_of(" \t");
    if (first != std::string::npos && line[first] == '[' && line[last] == ']')
      headers[FoldedName(line.substr(first + 1, last - first - 1))].push_back(lineNr);
  }
  std::vector<TFleetMeter> meters;
  for (const std::string& name : ini.Sections()) {
    const std::vector<size_t>& lines = headers[FoldedName(name)];
    std::string why;
    size_t at = lines.empty() ? 0 : lines.front();
    if (!IsMeterName(name)) {
      why = Format("name \"%s\": expected a name without brackets or control characters", PrintableName(name).c_str());
    } else if (lines.size() > 1) {
      at = lines[1];
      why = Format("meter \"%s\" is listed twice (first on line %zu)", name.c_str(), lines.front());
    }
    if (why.empty()) {
      meters.push_back(FleetMeterOfSection(ini, name));
      continue;
    }
    TFleetMeter m;
    m.Name = name;
    m.Line = at;
    m.ConfigError = Format("meters file line %zu: %s", at, why.c_str());
    meters.push_back(std::move(m));
  }
  return meters;
}

std::vector<TFleetMeter> MetersOfCsv(const std::string& text) {
  std::vector<size_t> lines;
  const auto rows = ParseCsv(text, &lines);
  if (rows.empty()) RaiseGeneral("meter list: expected a header row naming the columns");
  const std::vector<std::string>& head = rows[0];
  const auto nameAt = std::find(head.begin(), head.end(), "name");
  if (nameAt == head.end()) RaiseGeneral("meter list: expected a column \"name\" in the header row");
  const size_t nameColumn = static_cast<size_t>(nameAt - head.begin());
  const auto addressAt = std::find(head.begin(), head.end(), "address");
  // Where a meters-file key comes from: its own column, else the address.
  auto columnOf = [&](const std::string& key) -> size_t {
    for (size_t c = 0; c < head.size(); ++c)
      if (FoldedName(head[c]) == key) return c;
    if ((key == "host" || key == "port" || key == "device") && addressAt != head.end())
      return static_cast<size_t>(addressAt - head.begin());
    return std::string::npos;
  };
  std::unordered_map<std::string, size_t> seen;  // folded name: its line
  std::vector<TFleetMeter> meters;
  for (size_t r = 1; r < rows.size(); ++r) {
    const auto& row = rows[r];
    TFleetMeter m;
    m.Line = lines[r];
    m.Name = nameColumn < row.size() ? row[nameColumn] : std::string();
    auto fail = [&](size_t column, const std::string& why) {
      m.ConfigError = column == std::string::npos
                          ? Format("meter list line %zu: %s", m.Line, why.c_str())
                          : Format("meter list line %zu, column %zu (%s): %s", m.Line, column + 1,
                                   PrintableName(head[column]).c_str(), why.c_str());
      if (column != std::string::npos) m.Column = head[column];
      meters.push_back(std::move(m));
    };
    if (row.size() != head.size()) {
      fail(std::string::npos, Format("expected %zu cells, found %zu", head.size(), row.size()));
      continue;
    }
    if (!IsMeterName(m.Name)) {
      fail(nameColumn, Format("name \"%s\": expected a name without brackets or control characters",
                              PrintableName(m.Name).c_str()));
      continue;
    }
    const auto [first, fresh] = seen.emplace(FoldedName(m.Name), m.Line);
    if (!fresh) {
      fail(nameColumn, Format("meter \"%s\" is listed twice (first on line %zu)", m.Name.c_str(), first->second));
      continue;
    }
    TIniData ini;
    SetCells(ini, m.Name, head, row, nameColumn);
    if (!ini.HasSection(m.Name)) ini.Set(m.Name, "transport", "tcp");
    Describe(m, ini, [&](const std::string& key) {
      const size_t c = columnOf(key);
      return c == std::string::npos ? std::string() : head[c];
    });
    if (!m.ConfigError.empty()) {
      const size_t c = m.Column.empty() ? std::string::npos : columnOf(FoldedName(m.Column));
      const std::string why = m.ConfigError;
      fail(c, why);
      continue;
    }
    meters.push_back(std::move(m));
  }
  return meters;
}

void CheckMeters(std::vector<TFleetMeter>& meters) {
  for (TFleetMeter& m : meters) {
    if (!m.ConfigError.empty()) continue;
    try {
      m.Profile.Check();
    } catch (const std::exception& e) {
      const std::string line = m.Line ? Format("meter list line %zu: ", m.Line) : std::string();
      m.ConfigError = Format("%smeter %s: %s", line.c_str(), PrintableName(m.Name).c_str(), e.what());
    }
  }
}

// ---------------------------------------------------------------- shards

bool TShard::Holds(const std::string& meterName) const {
  // FNV-1a: the same slice for a name on every machine and every run.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char ch : meterName) {
    h ^= ch;
    h *= 1099511628211ull;
  }
  return h % Count == Index;
}

TShard ParseShard(const std::string& text) {
  const size_t slash = text.find('/');
  auto number = [&](const std::string& s, unsigned& out) {
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = static_cast<unsigned>(std::stoul(s));
    return true;
  };
  TShard s;
  if (slash == std::string::npos || !number(text.substr(0, slash), s.Index) || !number(text.substr(slash + 1), s.Count) ||
      s.Count == 0 || s.Index >= s.Count)
    RaiseGeneral(Format("--shard \"%s\": expected I/N with 0 <= I < N", text.c_str()));
  return s;
}

// ---------------------------------------------------------------- records

namespace {

std::string IsoUtc(int64_t t) {
  const time_t tt = static_cast<time_t>(t);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}


}  // namespace

std::string TimeText(int64_t unixSeconds) { return IsoUtc(unixSeconds); }

std::optional<int64_t> EntryTime(const TProfileTable& t, size_t row) {
  for (size_t c = 0; c < t.Columns.size() && c < t.Rows[row].size(); ++c) {
    if (t.Columns[c].ClassId != 8 || t.Columns[c].Attribute != 2) continue;
    const TValue& v = t.Rows[row][c];
    if (v.Kind != TValueKind::vkOctetString) return std::nullopt;
    if (auto d = DecodeDateTime(v.Bytes)) return DateTimeToUnix(*d);
    return std::nullopt;
  }
  return std::nullopt;
}

std::vector<json> ResultRecords(const TMeterResult& r) {
  std::vector<json> out;
  json base{{"meter", r.Meter}, {"time", IsoUtc(r.ReadAt)}};
  if (r.Unproven) base["unproven"] = true;
  if (!r.Ok) {
    json j = base;
    j["error"] = r.Error;
    j["attempts"] = r.Attempts;
    if (r.Line) j["line"] = r.Line;
    if (!r.Column.empty()) j["column"] = r.Column;
    if (r.Diagnosis) {
      j["diagnosis"] = r.Diagnosis->Name;
      j["what"] = r.Diagnosis->What;
      j["cause"] = r.Diagnosis->Cause;
      j["fix"] = r.Diagnosis->Fix;
    }
    out.push_back(j);
    return out;
  }
  for (const TReading& reading : r.Readings) {
    json j = base;
    j["ref"] = ObjectRefText(reading.Ref);
    j["obis"] = LogicalNameDotted(reading.Ref.Name);
    j["attribute"] = reading.Ref.Member;
    j["value"] = ValueToJson(reading.Value);
    AddScaledJson(j, reading.Value, reading.ScalerUnit);
    out.push_back(j);
  }
  if (r.ProfileData) {
    const TProfileTable& t = *r.ProfileData;
    for (size_t row = 0; row < t.Rows.size(); ++row) {
      json j = base;
      j["profile"] = LogicalNameDotted(r.ProfileRef.Name);
      if (auto at = EntryTime(t, row)) j["entry"] = IsoUtc(*at);
      json values = json::array();
      for (size_t c = 0; c < t.Columns.size() && c < t.Rows[row].size(); ++c) {
        const TProfileColumn& col = t.Columns[c];
        json v{{"obis", LogicalNameDotted(col.Name)}, {"attribute", col.Attribute}, {"value", ValueToJson(t.Rows[row][c])}};
        AddScaledJson(v, t.Rows[row][c], col.ScalerUnit);
        values.push_back(v);
      }
      j["values"] = values;
      out.push_back(j);
    }
  }
  if (r.ClockBefore) {
    json j = base;
    j["ref"] = "8/0.0.1.0.0.255/2";
    j["before"] = ValueToJson(*r.ClockBefore);
    j["result"] = "set";
    out.push_back(j);
  }
  if (!r.Dump.is_null()) {
    json j = base;
    j["dump"] = r.Dump;
    out.push_back(j);
  }
  return out;
}

// ---------------------------------------------------------------- the runner

TMeterResult TBatchRunner::ReadMeter(const TFleetMeter& meter, const TBatchJob& job, const TCall& call,
                                     bool keepCounter, std::shared_ptr<TCallerConnection> over,
                                     const std::function<void(TSession&)>& opened) {
  static const TObjectRef kClock{8, {0, 0, 1, 0, 0, 255}, 2};
  TMeterResult r;
  r.Meter = meter.Name;
  r.ReadAt = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  TMeterProfile profile = meter.Profile;
  if (profile.Name.empty()) profile.Name = meter.Name;
  TSession s(profile);
  if (over) s.UseConnection(std::move(over));
  // The counters file is read, locked and written by the session itself: a
  // handing back that fails costs the next session part of a block only.
  if (keepCounter) s.KeepInvocationCounter(TCounterKeeping{.Warning = [](const std::string&) {}});
  s.Open(call);
  if (opened) opened(s);
  switch (job.Kind) {
    case TBatchJob::jGet:
      for (const TObjectRef& ref : job.Refs) r.Readings.push_back(s.Get(ref, call));
      break;
    case TBatchJob::jProfile:
      r.ProfileRef = job.Profile;
      r.ProfileData = s.ReadProfile(job.Profile, job.Range, call);
      break;
    case TBatchJob::jClockSet: {
      r.ClockBefore = s.Get(kClock, call).Value;
      const int64_t to = job.ClockNow ? static_cast<int64_t>(std::time(nullptr)) : job.ClockTo;
      const time_t tt = static_cast<time_t>(to);
      std::tm tm{};
      localtime_r(&tt, &tm);
      const std::string bytes = EncodeDateTime(to, static_cast<int>(-tm.tm_gmtoff / 60));
      s.Set(kClock, "<OctetString Value=\"" + TMisc::ByteStrToHexStr(bytes) + "\" />", call);
      break;
    }
    case TBatchJob::jDump: {
      // The logical name is in every reference already; profiles belong to
      // profile jobs. Refused attributes are left out.
      r.Dump = json::object();
      DumpReadable(s, call, TDumpOptions{.FirstAttribute = 2, .Profiles = false},
                   [&](const TObjectListEntry& e, const std::vector<TDumpedAttribute>& read, size_t, size_t) {
                     for (const TDumpedAttribute& d : read)
                       if (d.Reading) r.Dump[ObjectRefText(TObjectRef{e.ClassId, e.Name, d.Attribute})] = ValueToJson(d.Reading->Value);
                   });
      break;
    }
  }
  s.Close();
  r.Ok = true;
  r.Attempts = 1;
  return r;
}

TMeterWatch::TMeterWatch(size_t slots, TCancelToken* cancelAll) : FSlots(slots), FCancelAll(cancelAll) {
  FThread = std::jthread([this](std::stop_token stop) { Watch(stop); });
}

TMeterWatch::~TMeterWatch() { FThread.request_stop(); }

TMeterWatch::TSlot& TMeterWatch::Start(size_t slot, int timeoutMs) {
  std::lock_guard<std::mutex> g(FLock);
  TSlot& s = FSlots[slot];
  s.Token.Reset();
  s.TimedOut = false;
  s.Deadline = timeoutMs > 0 ? std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)
                             : std::chrono::steady_clock::time_point::max();
  return s;
}

void TMeterWatch::Stop(size_t slot) {
  std::lock_guard<std::mutex> g(FLock);
  FSlots[slot].Deadline = std::chrono::steady_clock::time_point::max();
}

void TMeterWatch::Watch(std::stop_token stop) {
  while (!stop.stop_requested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto now = std::chrono::steady_clock::now();
    const bool cancelled = FCancelAll && FCancelAll->Cancelled();
    std::lock_guard<std::mutex> g(FLock);
    for (TSlot& s : FSlots) {
      if (s.Deadline == std::chrono::steady_clock::time_point::max()) continue;
      if (now >= s.Deadline) s.TimedOut = true;
      if (cancelled || s.TimedOut) s.Token.Cancel();
    }
  }
}

TMeterResult FailedResult(const std::string& meter, const std::exception& e, int attempts) {
  TMeterResult r;
  r.Meter = meter;
  r.ReadAt = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  r.Error = e.what();
  if (const auto* meterError = dynamic_cast<const EMeterError*>(&e)) r.Diagnosis = meterError->Diagnosis;
  r.Attempts = attempts;
  return r;
}

TBatchCounts TBatchRunner::Run(const std::vector<TFleetMeter>& meters, TCancelToken* cancel) {
  FCounts = TBatchCounts{};
  FCounts.Total = meters.size();
  std::atomic<size_t> next{0};
  auto cancelled = [&] { return cancel && cancel->Cancelled(); };
  auto report = [&](auto&& change) {
    std::lock_guard<std::mutex> g(FLock);
    change();
    if (OnProgress) OnProgress(FCounts);
  };
  const int jobs = std::clamp<int>(FOptions.Jobs, 1, static_cast<int>(std::max<size_t>(meters.size(), 1)));
  TMeterWatch watch(static_cast<size_t>(jobs), cancel);
  auto worker = [&](size_t slot) {
    for (size_t i = next++; i < meters.size() && !cancelled(); i = next++) {
      const TFleetMeter& meter = meters[i];
      report([&] { ++FCounts.InFlight; });
      TMeterResult result;
      if (!meter.ConfigError.empty()) {
        // Nothing to try: the list does not say how to reach the meter.
        result.Meter = meter.Name;
        result.ReadAt = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
        result.Error = meter.ConfigError;
        result.Line = meter.Line;
        result.Column = meter.Column;
        report([&] {
          --FCounts.InFlight;
          ++FCounts.Failed;
          if (OnResult) OnResult(result);
        });
        continue;
      }
      TMeterWatch::TSlot& limit = watch.Start(slot, FOptions.MeterTimeoutMs);
      int delay = FOptions.RetryDelayMs;
      for (int attempt = 1; attempt <= 1 + std::max(FOptions.Retries, 0); ++attempt) {
        TCall call;
        call.Cancel = &limit.Token;
        try {
          result = ReadMeter(meter, FJob, call, FOptions.KeepInvocationCounters);
          result.Attempts = attempt;
          break;
        } catch (const std::exception& e) {
          result = FailedResult(meter.Name, e, attempt);
        }
        if (limit.TimedOut) {
          result.Error = Format("not read within the meter timeout of %d s", FOptions.MeterTimeoutMs / 1000);
          result.Diagnosis.reset();
          break;
        }
        if (attempt > FOptions.Retries || cancelled()) break;
        // Back off before the next attempt, awake for a cancel.
        for (int waited = 0; waited < delay && !limit.Token.Cancelled(); waited += 20)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        delay *= 2;
      }
      watch.Stop(slot);
      report([&] {
        --FCounts.InFlight;
        if (result.Ok) {
          ++FCounts.Done;
          FCounts.Reads += result.Readings.size() + (result.ProfileData ? result.ProfileData->Rows.size() : 0);
        } else {
          ++FCounts.Failed;
        }
        if (OnResult) OnResult(result);
      });
    }
  };
  {
    std::vector<std::jthread> threads;
    for (int k = 0; k < jobs; ++k) threads.emplace_back(worker, static_cast<size_t>(k));
  }
  return FCounts;
}

}  // namespace quillon::client
