#include "tools/meter-sim/SimFleet.h"

#include <regex>
#include <thread>

#include "xmlpdu/infra/Misc.h"

namespace quillon::sim {

TFleetIdentity FleetIdentity(int number) {
  TFleetIdentity id;
  id.Number = number;
  id.Name = Format("sim-%04d", number);
  id.Serial = Format("%08d", 60000000 + number);
  id.LogicalDeviceName = Format("QSM%010d", number);
  id.SystemTitleHex = Format("5153494D%08X", static_cast<unsigned>(number));
  // A spread that looks random but is the same on every run.
  const uint32_t h = static_cast<uint32_t>(number) * 2654435761u;
  id.EnergyFactor = 0.5 + (h >> 8) % 1001 / 1000.0;
  return id;
}

std::string FleetKeyHex(const std::string& baseHex, int number) {
  if (baseHex.size() < 8) return baseHex;
  return baseHex.substr(0, baseHex.size() - 8) + Format("%08X", static_cast<unsigned>(number));
}

std::string FleetModelText(const std::string& base, int number) {
  const TFleetIdentity id = FleetIdentity(number);
  std::string text = base;
  // The meter's own system title wherever the base title appears (the
  // security line and the security setup object).
  std::smatch m;
  static const std::regex kTitle("title=([0-9A-Fa-f]{16})");
  if (std::regex_search(text, m, kTitle)) {
    const std::string old = m[1].str();
    for (size_t at = text.find(old); at != std::string::npos; at = text.find(old, at + 16))
      text.replace(at, 16, id.SystemTitleHex);
  }
  static const std::regex kKey("\\b(ek|ak|kek)=([0-9A-Fa-f]{32,64})");
  std::string out;
  auto begin = text.cbegin();
  while (std::regex_search(begin, text.cend(), m, kKey)) {
    out.append(begin, m[0].first);
    out += m[1].str() + "=" + FleetKeyHex(m[2].str(), number);
    begin = m[0].second;
  }
  out.append(begin, text.cend());
  auto replaceValue = [&](const std::string& from, const std::string& to) {
    const size_t at = out.find(from);
    if (at != std::string::npos) out.replace(at, from.size(), to);
  };
  replaceValue("Value=\"\\QSM0000000001\"", "Value=\"\\" + id.LogicalDeviceName + "\"");
  replaceValue("Value=\"\\51000427\"", "Value=\"\\" + id.Serial + "\"");
  return out;
}

struct TSimFleet::TMeter {
  TFleetIdentity Identity;
  std::string Text;
  TSimModel Model;
  std::unique_ptr<TSimAssociation> Association;
  std::unique_ptr<TSimListener> Listener;
};

TSimFleet::TSimFleet(const std::string& modelText, const TFleetOptions& options, const TTrafficLog& log)
    : FOptions(options), FLog(log) {
  for (int n = 1; n <= options.Count; ++n) {
    auto m = std::make_unique<TMeter>();
    m->Identity = FleetIdentity(n);
    m->Text = FleetModelText(modelText, n);
    m->Model.Load(m->Text);
    m->Model.ScaleEnergies(m->Identity.EnergyFactor);
    m->Association = std::make_unique<TSimAssociation>(m->Model, TSimSecurity{});
    m->Association->Configure(m->Text);
    m->Association->SetFirstInvocationCounter(options.FirstInvocationCounter);
    if (log) {
      const std::string name = m->Identity.Name;
      m->Association->SetLog([log, name](const std::string& s) { log(name + ": " + s); });
    }
    m->Listener = std::make_unique<TSimListener>(options.Address, options.FirstPort ? options.FirstPort + n - 1 : 0);
    FMeters.push_back(std::move(m));
  }
}

TSimFleet::~TSimFleet() = default;

int TSimFleet::Count() const { return static_cast<int>(FMeters.size()); }
const TFleetIdentity& TSimFleet::Identity(int i) const { return FMeters.at(i)->Identity; }
int TSimFleet::Port(int i) const { return FMeters.at(i)->Listener->Port(); }

void TSimFleet::Run(const std::atomic<bool>& stop) {
  std::vector<std::jthread> threads;
  for (auto& mp : FMeters) {
    TMeter* m = mp.get();
    threads.emplace_back([this, m, &stop] {
      TTrafficLog log;
      if (FLog) log = [this, m](const std::string& s) { FLog(m->Identity.Name + ": " + s); };
      while (!stop) {
        const int fd = m->Listener->Accept(200);
        if (fd < 0) continue;
        try {
          TSimLink link(fd);
          if (FOptions.Hdlc)
            ServeHdlc(link, *m->Association, FOptions.HdlcSettings, stop, log);
          else
            ServeWrapper(link, *m->Association, stop, log);
        } catch (const std::exception& e) {
          // One meter's broken link never stops the others.
          if (log) log(std::string("connection failed: ") + e.what());
          m->Association->Reset();
        }
      }
    });
  }
}

std::string TSimFleet::MeterListCsv(int clientAddress) const {
  std::string csv = "name,transport,address,client,server,physical,serial,server-system-title\r\n";
  const bool hdlc = FOptions.Hdlc;
  for (const auto& m : FMeters) {
    const std::string host =
        FOptions.Address.find(':') != std::string::npos ? "[" + FOptions.Address + "]" : FOptions.Address;
    csv += Format("%s,%s,%s:%d,%d,%d,%s,%s,%s\r\n", m->Identity.Name.c_str(), hdlc ? "hdlc-tcp" : "tcp",
                  host.c_str(), m->Listener->Port(), clientAddress, hdlc ? FOptions.HdlcSettings.ServerUpper : 1,
                  hdlc ? std::to_string(FOptions.HdlcSettings.ServerLower).c_str() : "", m->Identity.Serial.c_str(),
                  m->Identity.SystemTitleHex.c_str());
  }
  return csv;
}

}  // namespace quillon::sim
