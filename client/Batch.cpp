#include "client/Batch.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

#include "client/Dump.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

using nlohmann::json;

// ---------------------------------------------------------------- meter lists

TFleetMeter FleetMeterOfSection(const TIniData& ini, const std::string& name) {
  TFleetMeter m{name, ProfileFromMeterSection(ini, name)};
  m.LogicalDeviceName = ini.Get(name, "logical-device-name");
  m.Serial = ini.Get(name, "serial");
  m.SecurityStated = !ini.Get(name, "security").empty();
  return m;
}

std::vector<TFleetMeter> MetersOfIni(const TIniData& ini) {
  std::vector<TFleetMeter> meters;
  for (const std::string& name : ini.Sections()) meters.push_back(FleetMeterOfSection(ini, name));
  return meters;
}

std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string cell;
  bool quoted = false, any = false;
  auto endCell = [&] {
    row.push_back(cell);
    cell.clear();
  };
  auto endRow = [&] {
    endCell();
    // A line with nothing on it is no record.
    if (!(row.size() == 1 && row[0].empty())) rows.push_back(std::move(row));
    row.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    any = true;
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
    } else if (ch != '\r') {
      cell += ch;
    }
  }
  if (quoted) RaiseGeneral("meter list: a quoted cell is not closed");
  if (any && (!cell.empty() || !row.empty())) endRow();
  return rows;
}

std::vector<TFleetMeter> MetersOfCsv(const std::string& text) {
  const auto rows = ParseCsv(text);
  if (rows.empty()) RaiseGeneral("meter list: expected a header row naming the columns");
  const std::vector<std::string>& head = rows[0];
  const auto nameAt = std::find(head.begin(), head.end(), "name");
  if (nameAt == head.end()) RaiseGeneral("meter list: expected a column \"name\" in the header row");
  const size_t nameColumn = static_cast<size_t>(nameAt - head.begin());
  TIniData ini;
  std::vector<std::string> order;
  for (size_t r = 1; r < rows.size(); ++r) {
    const auto& row = rows[r];
    if (row.size() != head.size())
      RaiseGeneral(Format("meter list line %zu: expected %zu cells, found %zu", r + 1, head.size(), row.size()));
    const std::string& name = row[nameColumn];
    if (name.empty() || name.find_first_of("[]") != std::string::npos)
      RaiseGeneral(Format("meter list line %zu: name \"%s\": expected a name without brackets", r + 1, name.c_str()));
    if (ini.HasSection(name)) RaiseGeneral(Format("meter list line %zu: meter \"%s\" is listed twice", r + 1, name.c_str()));
    for (size_t c = 0; c < head.size(); ++c) {
      if (c == nameColumn || row[c].empty()) continue;
      if (head[c] != "address") {
        ini.Set(name, head[c], row[c]);
        continue;
      }
      // HOST:PORT, [IPv6]:PORT, or a device path.
      const std::string& a = row[c];
      if (!a.empty() && a[0] == '/') {
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
    order.push_back(name);
  }
  std::vector<TFleetMeter> meters;
  for (const auto& name : order) meters.push_back(FleetMeterOfSection(ini, name));
  return meters;
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
  const json base{{"meter", r.Meter}, {"time", IsoUtc(r.ReadAt)}};
  if (!r.Ok) {
    json j = base;
    j["error"] = r.Error;
    j["attempts"] = r.Attempts;
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
                                     uint32_t* counter) {
  static const TObjectRef kClock{8, {0, 0, 1, 0, 0, 255}, 2};
  TMeterResult r;
  r.Meter = meter.Name;
  r.ReadAt = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  TSession s(meter.Profile);
  struct TKeep {
    TSession& S;
    uint32_t* Counter;
    ~TKeep() {
      if (!Counter) return;
      S.Close();
      *Counter = S.InvocationCounter();
    }
  } keep{s, counter};
  if (counter) s.SetInvocationCounter(*counter);
  s.Open(call);
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

TBatchCounts TBatchRunner::Run(const std::vector<TFleetMeter>& meters, TCancelToken* cancel) {
  FCounts = TBatchCounts{};
  FCounts.Total = meters.size();
  std::atomic<size_t> next{0};
  std::mutex counterLock;  // the invocation counters file is shared by all meters
  auto cancelled = [&] { return cancel && cancel->Cancelled(); };
  auto report = [&](auto&& change) {
    std::lock_guard<std::mutex> g(FLock);
    change();
    if (OnProgress) OnProgress(FCounts);
  };
  auto worker = [&] {
    for (size_t i = next++; i < meters.size() && !cancelled(); i = next++) {
      const TFleetMeter& meter = meters[i];
      report([&] { ++FCounts.InFlight; });
      TMeterResult result;
      const bool counted = FOptions.KeepInvocationCounters && meter.Profile.CountsInvocations();
      int delay = FOptions.RetryDelayMs;
      for (int attempt = 1; attempt <= 1 + std::max(FOptions.Retries, 0); ++attempt) {
        TCall call;
        call.Cancel = cancel;
        try {
          if (!counted) {
            result = ReadMeter(meter, FJob, call);
          } else {
            uint32_t counter;
            {
              std::lock_guard<std::mutex> g(counterLock);
              counter = LoadInvocationCounter(meter.Profile);
            }
            struct TSave {
              std::mutex& Lock;
              const TMeterProfile& Profile;
              uint32_t& Counter;
              ~TSave() {
                std::lock_guard<std::mutex> g(Lock);
                try {
                  SaveInvocationCounter(Profile, Counter);
                } catch (const std::exception&) {
                  // The next run starts lower and the meter says so; the
                  // reading itself stands.
                }
              }
            } save{counterLock, meter.Profile, counter};
            result = ReadMeter(meter, FJob, call, &counter);
          }
          result.Attempts = attempt;
          break;
        } catch (const std::exception& e) {
          result = TMeterResult{};
          result.Meter = meter.Name;
          result.ReadAt = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
          result.Error = e.what();
          if (const auto* meterError = dynamic_cast<const EMeterError*>(&e)) result.Diagnosis = meterError->Diagnosis;
          result.Attempts = attempt;
        }
        if (attempt > FOptions.Retries || cancelled()) break;
        // Back off before the next attempt, awake for a cancel.
        for (int waited = 0; waited < delay && !cancelled(); waited += 20)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        delay *= 2;
      }
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
  const int jobs = std::clamp<int>(FOptions.Jobs, 1, static_cast<int>(std::max<size_t>(meters.size(), 1)));
  {
    std::vector<std::jthread> threads;
    for (int k = 0; k < jobs; ++k) threads.emplace_back(worker);
  }
  return FCounts;
}

}  // namespace quillon::client
