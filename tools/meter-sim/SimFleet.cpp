#include "tools/meter-sim/SimFleet.h"

#include <random>

#include <algorithm>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <regex>
#include <thread>

#include "security/GCMCipher.h"
#include "tools/meter-sim/SimHistory.h"
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
  id.EnergyFactor = 0.5 + (h >> 8) % 100001 / 100000.0;
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

const char* const kPushObjects = "1/0.0.42.0.0.255/2,8/0.0.1.0.0.255/2,3/1.0.1.8.0.255/2";

PduStr PushNotification(const TFleetIdentity& id, uint32_t counter, int64_t unixSeconds, double energyWh,
                        bool ciphered, const PduStr& ek, const PduStr& ak) {
  using std::chrono::seconds;
  using std::chrono::system_clock;
  const PduStr time = TSimModel::DateTimeBytes(system_clock::time_point(seconds(unixSeconds)));
  PduStr apdu;
  apdu += '\x0F';  // data-notification
  for (int shift = 24; shift >= 0; shift -= 8) apdu += static_cast<char>((counter & 0x00FFFFFF) >> shift);
  apdu += static_cast<char>(time.size()) + time;
  apdu += "\x02\x03";  // structure of three
  apdu += '\x09' + PduStr(1, static_cast<char>(id.LogicalDeviceName.size())) + id.LogicalDeviceName;
  apdu += '\x09' + PduStr(1, static_cast<char>(time.size())) + time;
  const uint32_t wh = static_cast<uint32_t>(std::min(std::max(energyWh, 0.0), 4294967295.0));
  apdu += '\x06';
  for (int shift = 24; shift >= 0; shift -= 8) apdu += static_cast<char>(wh >> shift);
  if (!ciphered) return apdu;
  return GloCiphered(apdu, TMisc::HexStrToByteStr(id.SystemTitleHex), ek, ak, 0x30, counter);
}

PduStr GloCiphered(const PduStr& apdu, const PduStr& systemTitle, const PduStr& ek, const PduStr& ak,
                   uint8_t securityControl, uint32_t counter) {
  const PduStr cipher =
      TGCMCipher::GCMEncrypt(systemTitle, apdu, ek, ak, TSecurityControl::FromByte(securityControl), counter, PduStr());
  PduStr out = "\xDB";
  EncodeVarLengthUnsignedInteger(out, static_cast<int32_t>(systemTitle.size()));
  out += systemTitle;
  EncodeVarLengthUnsignedInteger(out, static_cast<int32_t>(cipher.size()));
  return out + cipher;
}

PduStr WrapperFrame(const PduStr& apdu, int source, int destination) {
  PduStr out;
  for (int v : {1, source, destination, static_cast<int>(apdu.size())}) {
    out += static_cast<char>((v >> 8) & 0xFF);
    out += static_cast<char>(v & 0xFF);
  }
  return out + apdu;
}

PduStr HdlcPushFrames(const PduStr& apdu, const THdlcSettings& server, size_t segment, int destination,
                      bool finalOnLast) {
  const PduStr data = PduStr("\xE6\xE7\x00", 3) + apdu;
  if (segment == 0) segment = static_cast<size_t>(server.MaxInfoLength);
  PduStr out;
  for (size_t at = 0; at < data.size(); at += segment) {
    TFrame f;
    f.SetKind(fkUI);
    f.FData = data.substr(at, segment);
    f.Segmented = at + segment < data.size();
    f.PollFinal = finalOnLast && !f.Segmented;
    f.SrcAddress = ServerFrameAddress(server);
    f.DstAddress = TFrameAddress{static_cast<uint16_t>(destination), 0, 1};
    const PduStr frame = f.GetPDUByteStr();
    // The closing flag of one frame opens the next.
    out += out.empty() ? frame : frame.substr(1);
  }
  return out;
}

struct TSimFleet::TMeter {
  TFleetIdentity Identity;
  PduStr EK, AK, KEK;
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
    std::smatch km;
    static const std::regex kEk("\\bek=([0-9A-Fa-f]+)"), kAk("\\bak=([0-9A-Fa-f]+)"), kKek("\\bkek=([0-9A-Fa-f]+)");
    if (std::regex_search(m->Text, km, kEk)) m->EK = TMisc::HexStrToByteStr(km[1].str());
    if (std::regex_search(m->Text, km, kAk)) m->AK = TMisc::HexStrToByteStr(km[1].str());
    if (std::regex_search(m->Text, km, kKek)) m->KEK = TMisc::HexStrToByteStr(km[1].str());
    m->Model.Load(m->Text);
    m->Model.ScaleEnergies(m->Identity.EnergyFactor);
    m->Association = std::make_unique<TSimAssociation>(m->Model, TSimSecurity{});
    m->Association->Configure(m->Text);
    m->Association->SetFirstInvocationCounter(options.FirstInvocationCounter);
    if (log) {
      const std::string name = m->Identity.Name;
      m->Association->SetLog([log, name](const std::string& s) { log(name + ": " + s); });
    }
    if (options.CounterRecord)
      m->Association->SetCounterRecord(
          [record = options.CounterRecord, name = m->Identity.Name](int client, uint32_t counter) { record(name, client, counter); });
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
  if (!FOptions.PushHost.empty())
    for (auto& mp : FMeters) threads.emplace_back([this, m = mp.get(), &stop] { Push(*m, stop); });
  for (auto& mp : FMeters) {
    TMeter* m = mp.get();
    threads.emplace_back([this, m, &stop] {
      TTrafficLog log;
      if (FLog) log = [this, m](const std::string& s) { FLog(m->Identity.Name + ": " + s); };
      if (FOptions.CallIn) {
        CallIn(*FOptions.CallIn, [&](TSimLink& link) {
          try {
            if (FOptions.Hdlc)
              ServeHdlc(link, *m->Association, FOptions.HdlcSettings, stop, log);
            else
              ServeWrapper(link, *m->Association, stop, log);
          } catch (...) {
            m->Association->Reset();
            throw;
          }
        }, stop, static_cast<unsigned>(m->Identity.Number), log);
        return;
      }
      while (!stop) {
        const int fd = m->Listener->Accept(200);
        if (fd < 0) continue;
        try {
          TSimLink link(fd);
          link.SetInactivityTimeout(FOptions.InactivityTimeoutMs);
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

int ConnectTo(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 || !res) return -1;
  int fd = ::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
    ::close(fd);
    fd = -1;
  }
  freeaddrinfo(res);
  if (fd >= 0) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

namespace {

bool SendAll(int fd, const PduStr& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void CallIn(const TCallInOptions& o, const std::function<void(TSimLink&)>& serve, const std::atomic<bool>& stop,
            unsigned seed, const TTrafficLog& log) {
  using namespace std::chrono;
  std::mt19937 random(seed * 2654435761u + 1);
  auto jitter = [&] {
    return milliseconds(static_cast<int64_t>(o.Jitter * 1000 * std::uniform_real_distribution<double>(0, 1)(random)));
  };
  auto sleepUntil = [&](steady_clock::time_point t) {
    while (!stop && steady_clock::now() < t)
      std::this_thread::sleep_for(std::min<steady_clock::duration>(t - steady_clock::now(), milliseconds(200)));
  };
  sleepUntil(steady_clock::now() + jitter());
  while (!stop) {
    const int fd = ConnectTo(o.Host, o.Port);
    if (fd < 0) {
      sleepUntil(steady_clock::now() + seconds(1));
      continue;
    }
    if (log) log(Format("called %s:%d", o.Host.c_str(), o.Port));
    try {
      TSimLink link(fd);
      link.SetInactivityTimeout(o.InactivityTimeoutMs);
      serve(link);
    } catch (const std::exception& e) {
      if (log) log(std::string("call ended: ") + e.what());
    }
    if (log) log("call ended");
    sleepUntil(steady_clock::now() + milliseconds(static_cast<int64_t>(o.Every * 1000)) + jitter());
  }
}

void TSimFleet::Push(TMeter& m, const std::atomic<bool>& stop) {
  using namespace std::chrono;
  const bool ciphered = PushesCiphered(m.Identity.Number);
  static const PduStr kEnergy("\x01\x00\x01\x08\x00\xFF", 6);
  uint32_t counter = 0;
  int fd = -1;
  // Meters do not all push at the same instant.
  auto next = steady_clock::now() + milliseconds(static_cast<int64_t>(FOptions.PushEvery * 1000 * (m.Identity.Number % 10) / 10));
  while (!stop) {
    if (steady_clock::now() < next) {
      std::this_thread::sleep_for(std::min<steady_clock::duration>(next - steady_clock::now(), milliseconds(100)));
      continue;
    }
    next += milliseconds(std::max<int64_t>(1, static_cast<int64_t>(FOptions.PushEvery * 1000)));
    if (fd < 0) fd = ConnectTo(FOptions.PushHost, FOptions.PushPort);
    if (fd < 0) continue;
    const int64_t now = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    double wh = 0;
    HistoricValue(kEnergy, now, wh);
    const PduStr apdu = PushNotification(m.Identity, ++counter, now, wh * m.Identity.EnergyFactor, ciphered, m.EK, m.AK);
    if (SendAll(fd, FOptions.PushHdlc ? HdlcPushFrames(apdu, FOptions.HdlcSettings) : WrapperFrame(apdu))) {
      ++FPushed;
    } else {
      ::close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) ::close(fd);
}

bool TSimFleet::PushesCiphered(int number) const {
  return FOptions.PushSecurity == "glo" || (FOptions.PushSecurity == "mixed" && number % 2 == 0);
}

std::string TSimFleet::MeterListCsv(int clientAddress, int cipheringClientAddress) const {
  // Each row says whatever its client needs (mechanism, secret, security,
  // keys), so that the list works as written. A fleet that pushes says how
  // each meter protects its pushes, and the listener takes from each no
  // less than that: the row's client then ciphers exactly when the meter's
  // pushes do.
  const bool pushing = !FOptions.PushHost.empty();
  static const char* const kMechanisms[] = {"none", "low", "manufacturer", "md5", "sha1", "gmac", "sha256", "ecdsa"};
  std::string csv = "name,transport,address,client,server,physical,serial,server-system-title,ek,ak,logical-device-name,"
                    "kek,auth,password-hex,security,suite,push-security\r\n";
  const bool hdlc = FOptions.Hdlc;
  for (const auto& m : FMeters) {
    const std::string host =
        FOptions.Address.find(':') != std::string::npos ? "[" + FOptions.Address + "]" : FOptions.Address;
    const TSimClient* given = m->Association->Client(clientAddress);
    const bool givenCiphers = given && given->Ciphered;
    int client = clientAddress;
    if (pushing && PushesCiphered(m->Identity.Number) && !givenCiphers) client = cipheringClientAddress;
    if (pushing && !PushesCiphered(m->Identity.Number) && givenCiphers) client = 16;
    const TSimClient* c = m->Association->Client(client);
    const int mechanism = c ? std::clamp(c->Mechanism, 1, 8) : 1;
    // What its pushes carry, stated apart from how its client reads: a
    // meter read by a plain client still pushes as it pushes.
    const char* pushSecurity = !pushing ? "" : PushesCiphered(m->Identity.Number) ? "auth-enc" : "none";
    csv += Format("%s,%s,%s:%d,%d,%d,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%d,%s\r\n", m->Identity.Name.c_str(),
                  hdlc ? "hdlc-tcp" : "tcp", host.c_str(), m->Listener->Port(), client,
                  hdlc ? FOptions.HdlcSettings.ServerUpper : 1,
                  hdlc ? std::to_string(FOptions.HdlcSettings.ServerLower).c_str() : "", m->Identity.Serial.c_str(),
                  m->Identity.SystemTitleHex.c_str(), TMisc::ByteStrToHexStr(m->EK).c_str(),
                  TMisc::ByteStrToHexStr(m->AK).c_str(), m->Identity.LogicalDeviceName.c_str(),
                  TMisc::ByteStrToHexStr(m->KEK).c_str(), kMechanisms[mechanism - 1],
                  c ? TMisc::ByteStrToHexStr(c->Secret).c_str() : "", c && c->Ciphered ? "auth-enc" : "none",
                  m->Association->Security().Suite, pushSecurity);
  }
  return csv;
}

}  // namespace quillon::sim
