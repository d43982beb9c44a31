#include "tools/cli/ProbeCommand.h"

#include <iostream>
#include <nlohmann/json.hpp>

#include "client/Diagnosis.h"
#include "tools/cli/Output.h"

namespace quillon::cli {

using nlohmann::json;
using namespace quillon::client;

namespace {

const char* TransportName(TTransport t) {
  switch (t) {
    case TTransport::tWrapperTcp: return "wrapper";
    case TTransport::tHdlcTcp: return "hdlc-tcp";
    case TTransport::tHdlcSerial: return "serial";
  }
  return "";
}

json ProfileJson(const TMeterProfile& p) {
  json j{{"transport", TransportName(p.Transport)},
         {"client", p.ClientAddress},
         {"server", p.ServerAddress},
         {"referencing", p.ShortNames ? "sn" : "ln"},
         {"auth", MechanismName(p.Mechanism)}};
  if (p.Transport == TTransport::tHdlcSerial) {
    j["device"] = p.Device;
    j["mode_e"] = p.ModeE;
    if (!p.ModeE) j["baud"] = p.Baud;
  } else {
    j["host"] = p.Host;
    j["port"] = p.Port;
  }
  if (p.Transport != TTransport::tWrapperTcp) {
    j["physical"] = p.PhysicalAddress;
    j["address_size"] = p.AddressSize;
  }
  if (p.Quirks.Any()) j["quirks"] = p.Quirks.Text();
  if (p.Strict) j["strict"] = true;
  return j;
}

}  // namespace

std::string DiagnosisLines(const TDiagnosis& d) {
  return "  what happened: " + d.What + "\n  likely cause: " + d.Cause + "\n  fix: " + d.Fix + "\n";
}

void PrintExplanations(bool markdown) {
  if (markdown) {
    std::cout << DiagnosisMarkdown();
    return;
  }
  std::vector<std::vector<std::string>> rows{{"NAME", "THE METER SAYS", "LIKELY CAUSE"}};
  for (const TDiagnosisRow& r : DiagnosisTable()) rows.push_back({r.Name, r.When, GeneralText(r.Cause)});
  std::cout << TextTable(rows);
}

int RunProbe(const TProbeCommand& c, TCancelToken* cancel) {
  TProgressLine progress;
  TCall call;
  call.Cancel = cancel;
  int n = 0;
  const TProbeResult r = Probe(c.Options, call, [&](const TProbeAttempt& a) {
    progress.Show("probe: attempt " + std::to_string(++n) + ": " + a.Outcome);
  });
  if (c.Json) {
    json attempts = json::array();
    for (const TProbeAttempt& a : r.Attempts) {
      json j{{"attempt", AttemptText(a.Profile)},
             {"profile", ProfileJson(a.Profile)},
             {"outcome", a.Outcome},
             {"detail", a.Detail},
             {"ms", a.ElapsedMs}};
      if (!a.LogicalDeviceName.empty()) j["logical_device_name"] = a.LogicalDeviceName;
      if (!a.SerialNumber.empty()) j["serial_number"] = a.SerialNumber;
      if (a.ObjectCount >= 0) j["objects"] = a.ObjectCount;
      attempts.push_back(j);
    }
    json out{{"attempts", attempts},
             {"recommended", r.Recommended ? ProfileJson(*r.Recommended) : json(nullptr)},
             {"suggested_quirks", r.SuggestedQuirks},
             {"cancelled", r.Cancelled},
             {"out_of_time", r.OutOfTime}};
    std::cout << out.dump(2) << "\n";
  } else {
    std::vector<std::vector<std::string>> rows{{"#", "ATTEMPT", "OUTCOME", "MS", "DETAIL"}};
    int i = 0;
    for (const TProbeAttempt& a : r.Attempts) {
      std::string detail = a.Detail;
      if (a.Outcome == "associated" && (!a.LogicalDeviceName.empty() || a.ObjectCount >= 0))
        detail = "device " + a.LogicalDeviceName + ", serial number " + a.SerialNumber + ", " +
                 (a.ObjectCount >= 0 ? std::to_string(a.ObjectCount) + " objects" : "object list: " + a.Detail);
      rows.push_back({std::to_string(++i), AttemptText(a.Profile), a.Outcome, std::to_string(a.ElapsedMs), detail});
    }
    std::cout << TextTable(rows, {true, false, false, true, false});
    if (r.Recommended) std::cout << "recommended: " << AttemptText(*r.Recommended)
                                 << (r.Recommended->Quirks.Any() ? " quirks " + r.Recommended->Quirks.Text() : "")
                                 << (r.Recommended->Strict ? " strict" : "") << "\n";
    for (const std::string& q : r.SuggestedQuirks) std::cout << "suggested quirk: " << q << "\n";
  }
  if (!r.Recommended) {
    std::cerr << "quillon-cli: probe: no association with the meter after " << r.Attempts.size() << " attempts"
              << (r.Cancelled ? " (cancelled)" : r.OutOfTime ? " (out of time)" : "") << "\n";
    return 1;
  }
  if (!c.SaveAs.empty()) c.Save(c.SaveAs, *r.Recommended);
  return 0;
}

}  // namespace quillon::cli
