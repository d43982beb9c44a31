#include "tools/cli/Listen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "client/Value.h"
#include "comm/SerialInput.h"
#include "security/GCMCipher.h"
#include "xmlpdu/Catalogue.h"
#include "xmlpdu/Make.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::cli {

using namespace quillon::client;
using nlohmann::json;

namespace {

// The chosen alternative's XML is the Data element the value reader takes.
json DataJson(const T_Data& d) {
  if (!d.Value) RaiseGeneral("Data without a value");
  return ValueToJson(ParseDataXml(d.Value->ToXMLString()));
}

std::string TimeJsonText(const std::string& bytes) {
  if (auto d = DecodeDateTime(bytes)) return DateTimeToIso(*d);
  return TMisc::ByteStrToHexStr(bytes);
}

// Tags of the glo-ciphered forms of the pushed services (no system title).
bool GloPushTag(int tag) { return tag == 0xCA || tag == 0x38; }

}  // namespace

std::vector<TObjectRef> PushObjectRefs(const TValue& list, const std::string& owner) {
  std::vector<TObjectRef> refs;
  for (const TProfileColumn& d : ObjectDefinitionsOf(list, owner, "push objects", "a push object"))
    refs.push_back(TObjectRef{d.ClassId, d.Name, d.Attribute});
  return refs;
}

int RequiredProtection(const TFleetMeter& m) {
  // "security" is how sessions read the meter (a public client reads without
  // it, whatever keys the entry holds); what pushes carry is stated apart.
  if (m.PushPolicy >= 0) return m.PushPolicy;
  if (!m.Profile.AK.empty()) return kProtectAuth;
  return m.Profile.EK.empty() ? 0 : kProtectEnc;
}

namespace {

// The protection a ciphered content carries, from its security control byte.
int ProtectionOf(uint8_t securityControl) {
  const TSecurityControl sc = TSecurityControl::FromByte(securityControl);
  return (sc.COSEMProtectionServices.Contains(psAuthentication) ? kProtectAuth : 0) |
         (sc.COSEMProtectionServices.Contains(psEncryption) ? kProtectEnc : 0);
}

// A logical device name is at most 16 bytes; a longer octet string in its
// place is something else.
constexpr size_t kMaxDeviceName = 32;

// The logical device name, 0.0.42.0.0.255 attribute 2 (of whatever class the list says).
bool IsDeviceName(const TObjectRef& r) {
  return r.Name == TLogicalName{0, 0, 42, 0, 0, 255} && r.Member == 2;
}

// The two ciphered APDUs with a system title, each read as what it is.
template <class T>
void TitleAndContent(const T_COSEMpdu& pdu, std::string& title, std::string& content) {
  const auto* g = dynamic_cast<const T*>(pdu.Value.get());
  if (!g) RaiseGeneral("undecodable ciphered message (not the type its tag says)");
  title = g->FSystemTitle()->Value;
  content = g->FCipheredService()->Value;
}

}  // namespace

TPushDecoder::TPushDecoder(const std::vector<TFleetMeter>& meters, std::vector<TObjectRef> pushObjects)
    : FIndex(meters), FPushObjects(std::move(pushObjects)) {
  for (const auto& m : meters)
    FMeters.push_back(TMeter{m.Name, m.Profile.ServerSystemTitle, m.Profile.EK, m.Profile.AK, m.LogicalDeviceName,
                             RequiredProtection(m)});
  if (FPushObjects.empty()) {
    FDeviceNameAt = 0;
  } else {
    for (size_t i = 0; i < FPushObjects.size(); ++i)
      if (IsDeviceName(FPushObjects[i])) FDeviceNameAt = FDeviceNameAt.value_or(i);
  }
}

bool TPushDecoder::Knows(const std::string& meter) const {
  return std::any_of(FMeters.begin(), FMeters.end(), [&](const TMeter& m) { return m.Name == meter; });
}

void TPushDecoder::SetObjectsOf(const std::string& meter, std::vector<TObjectRef> objects) {
  // Without --push-objects the meters' own lists say where the name is.
  if (FPushObjects.empty())
    for (size_t i = 0; i < objects.size(); ++i)
      if (IsDeviceName(objects[i])) {
        FDeviceNameAt = i;
        break;
      }
  FObjectsOf[meter] = std::move(objects);
}

void TPushDecoder::Name(TPushed& p) const {
  // Only a data notification's body is the push object list's values.
  if (p.Kind != "data-notification" || !p.Body.contains("values")) return;
  const auto own = p.Unknown ? FObjectsOf.end() : FObjectsOf.find(p.Meter);
  const std::vector<TObjectRef>& objects = own != FObjectsOf.end() ? own->second : FPushObjects;
  const json& values = p.Body["values"];
  if (!objects.empty() && values.is_array() && values.size() == objects.size()) {
    json named = json::object();
    for (size_t i = 0; i < objects.size(); ++i) named[ObjectRefText(objects[i])] = values[i];
    p.Body["values"] = std::move(named);
    return;
  }
  if (!p.List) return;
  if (!FLayout.empty())
    if (auto named = LayoutNamedValues(*p.List, FLayout)) {
      p.Body["values"] = std::move(*named);
      return;
    }
  if (auto named = SelfNamedValues(*p.List)) p.Body["values"] = std::move(*named);
}

std::string TPushDecoder::MeterOfSender(const std::string& senderTitle, const std::string& peerHost) const {
  if (const TMeter* m = At(FIndex.ByTitle(senderTitle))) return m->Name;
  if (const TMeter* m = At(FIndex.ByHost(peerHost))) return m->Name;
  return std::string();
}

const TPushDecoder::TMeter* TPushDecoder::At(int meter) const {
  return meter < 0 ? nullptr : &FMeters[static_cast<size_t>(meter)];
}

const TPushDecoder::TMeter* TPushDecoder::ByDeviceName(const std::string& name) const {
  return At(FIndex.ByDeviceName(name));
}

TPushDecoder::TPlain TPushDecoder::DecodePlain(const std::string& apdu, int depth) const {
  std::unique_ptr<T_COSEMpdu> pdu;
  try {
    pdu = TMake::WholeCOSEMPduFromPdu(apdu);
  } catch (const std::exception& e) {
    RaiseGeneral(Format("undecodable message (%s)", e.what()));
  }
  const int tag = static_cast<uint8_t>(apdu[0]);
  TPlain out;
  TPushed& p = out.Pushed;
  switch (tag) {
    case 0x0F: {
      auto& n = static_cast<T_DataNotification&>(*pdu->Value);
      p.Kind = "data-notification";
      p.Body["id"] = n.FLongInvokeIdAndPriority()->Value & 0x00FFFFFF;
      if (!n.FDateTime()->Value.empty()) p.Body["time"] = TimeJsonText(n.FDateTime()->Value);
      const T_Data& d = *n.FNotificationBody()->FDataValue();
      if (!d.Value) RaiseGeneral("Data without a value");
      TValue body = ParseDataXml(d.Value->ToXMLString());
      p.Body["values"] = ValueToJson(body);
      const bool list = body.Kind == TValueKind::vkStructure || body.Kind == TValueKind::vkArray;
      auto deviceName = [&](const TValue& name) {
        if (name.Kind == TValueKind::vkOctetString && !name.Bytes.empty() && name.Bytes.size() <= kMaxDeviceName)
          out.DeviceName = DeviceNameText(name.Bytes);
      };
      if (list && FDeviceNameAt && *FDeviceNameAt < body.Items.size()) deviceName(body.Items[*FDeviceNameAt]);
      // A list that names its values says where the logical device name is.
      if (!out.DeviceName && FPushObjects.empty())
        if (const auto named = SelfNamed(body))
          for (const TNamedValue& v : *named)
            if (v.Key == "0.0.42.0.0.255") {
              deviceName(*v.Value);
              break;
            }
      p.List = std::move(body);
      break;
    }
    case 0xC2: {
      auto& n = static_cast<T_EventNotificationRequest&>(*pdu->Value);
      p.Kind = "event-notification";
      if (n.FTime()) p.Body["time"] = TimeJsonText(n.FTime()->Value);
      auto& ad = *n.FAttributeDescriptor();
      p.Body["ref"] = ObjectRefText(TObjectRef{ad.FClassId()->Value, LogicalNameOfBytes(ad.FInstanceId()->Value),
                                               ad.FAttributeId()->Value});
      p.Body["value"] = DataJson(*n.FAttributeValue());
      break;
    }
    case 0x18: {
      auto& n = static_cast<T_InformationReportRequest&>(*pdu->Value);
      p.Kind = "information-report";
      if (n.FCurrentTime()) p.Body["time"] = TimeJsonText(n.FCurrentTime()->Value);
      json values = json::array();
      const auto& list = *n.FListOfData();
      for (int i = 0; i < list.ElementCount(); ++i) values.push_back(DataJson(*static_cast<T_Data*>(list.GetElements(i))));
      p.Body["values"] = values;
      break;
    }
    default:
      RaiseGeneral(depth ? Format("ciphered message holds tag %d, expected a pushed service", tag)
                         : Format("tag %d: expected a data notification, event notification or information report", tag));
  }
  return out;
}

TPushed TPushDecoder::Decode(const std::string& apdu, std::string& senderTitle, const std::string& peerHost) {
  if (apdu.empty()) RaiseGeneral("empty message");
  const TMeter* host = At(FIndex.ByHost(peerHost));
  auto refuse = [](const TMeter& m, int arrived) {
    throw ERefused(Format("%s: requires %s, the message has %s; refused", m.Name.c_str(), PolicyName(m.Required),
                          PolicyName(arrived)));
  };
  const int tag = static_cast<uint8_t>(apdu[0]);
  if (tag != 0xDB && tag != 0xDC && !GloPushTag(tag)) {
    TPlain plain = DecodePlain(apdu, 0);
    TPushed& p = plain.Pushed;
    // The name the message carries first: meters behind one address are told
    // apart by it. A name no meter of the list has is never another meter's.
    const TMeter* m = nullptr;
    if (plain.DeviceName) m = ByDeviceName(*plain.DeviceName);
    else if (const TMeter* sender = At(FIndex.ByTitle(senderTitle))) m = sender;
    else m = host;
    if (!m) {
      p.Meter = plain.DeviceName.value_or(std::string());
      p.Unknown = true;
      return p;
    }
    if (m->Required != 0) refuse(*m, 0);
    p.Meter = m->Name;
    return p;
  }
  std::string title, content;
  if (tag == 0xDB || tag == 0xDC) {
    std::unique_ptr<T_COSEMpdu> pdu;
    try {
      pdu = TMake::WholeCOSEMPduFromPdu(apdu);
    } catch (const std::exception& e) {
      RaiseGeneral(Format("undecodable ciphered message (%s)", e.what()));
    }
    if (tag == 0xDB) TitleAndContent<T_GeneralGloCiphering>(*pdu, title, content);
    else TitleAndContent<T_GeneralDedCiphering>(*pdu, title, content);
  } else {
    // The tag and the ciphered content as an octet string (not every glo
    // form of a pushed service is in the APDU catalogue).
    size_t at = 1, len = 0;
    const uint8_t first = at < apdu.size() ? static_cast<uint8_t>(apdu[at++]) : 0xFF;
    if (first < 0x80) {
      len = first;
    } else if (first == 0x81 || first == 0x82) {
      for (int k = first - 0x80; k > 0 && at < apdu.size(); --k) len = len * 256 + static_cast<uint8_t>(apdu[at++]);
      if (at - 2 != static_cast<size_t>(first - 0x80)) len = SIZE_MAX;
    } else {
      len = SIZE_MAX;
    }
    if (len == SIZE_MAX || len != apdu.size() - at)
      RaiseGeneral(Format("undecodable ciphered message (length of tag %d's content)", tag));
    content = apdu.substr(at);
    title = senderTitle.empty() && host ? host->Title : senderTitle;
    if (title.empty()) RaiseGeneral("glo-ciphered message on a connection whose meter is not known yet");
  }
  const TMeter* m = At(FIndex.ByTitle(title));
  if (!m) RaiseGeneral(Format("system title %s: no meter of the list has it", TMisc::ByteStrToHexStr(title).c_str()));
  if (tag == 0xDC)
    throw ERefused(Format("%s: general-ded-ciphering refused (its dedicated key belongs to an association, and a push "
                          "comes outside one)",
                          m->Name.c_str()));
  if (content.empty()) RaiseGeneral(Format("%s: empty ciphered content", m->Name.c_str()));
  // Checked before anything is deciphered: less than the meter's protection
  // is refused whatever it holds.
  const int arrived = ProtectionOf(static_cast<uint8_t>(content[0]));
  if ((m->Required & ~arrived) != 0) refuse(*m, arrived);
  TSecurityControl sc;
  uint32_t counter = 0;
  std::string plainBytes;
  try {
    TGCMAndCompression::DecryptAndDecompress(title, content, std::string(), m->EK, m->AK, sc, counter, plainBytes,
                                             [](const std::string&) {});
  } catch (const std::exception& e) {
    RaiseGeneral(Format("%s: cannot decipher (%s)", m->Name.c_str(), e.what()));
  }
  const bool authenticated = (arrived & kProtectAuth) != 0;
  const auto last = FLastCounter.find(m->Name);
  if (last != FLastCounter.end() && counter <= last->second)
    throw EReplay(Format("%s: invocation counter %u replayed (last %u), dropped", m->Name.c_str(), counter, last->second));
  if (plainBytes.empty()) RaiseGeneral(Format("%s: empty ciphered message", m->Name.c_str()));
  TPlain plain;
  if (LooksLikeTelegram(plainBytes)) {
    // Some meters cipher their port's text telegram instead of a data
    // notification.
    try {
      plain.Pushed.Body = TelegramJson(plainBytes);
    } catch (const std::exception& e) {
      RaiseGeneral(Format("%s: %s", m->Name.c_str(), e.what()));
    }
    plain.Pushed.Kind = "telegram";
  } else {
    plain = DecodePlain(plainBytes, 1);
  }
  // The name inside cross-checks the keys: a meter's keys never store
  // another meter's data.
  if (plain.DeviceName) {
    const TMeter* named = ByDeviceName(*plain.DeviceName);
    if ((named && named != m) || (!named && !m->DeviceName.empty()))
      throw ERefused(Format("%s: the message carries logical device name %s, which is not this meter's; refused",
                            m->Name.c_str(), plain.DeviceName->c_str()));
  }
  // Passed every check. Only an authenticated counter moves the meter's:
  // anyone can write an unauthenticated one.
  TPushed& p = plain.Pushed;
  if (authenticated) {
    FLastCounter[m->Name] = counter;
    p.InvocationCounter = counter;
  }
  senderTitle = title;
  p.Meter = m->Name;
  return p;
}

// ---------------------------------------------------------------- error lines

void TLineLimiter::Report(const std::string& sort, const std::string& sender, const std::string& line,
                          TClock::time_point now, const TSink& sink) {
  Tick(now, sink);
  TSort& s = FSorts[sort];
  if (s.Shown == 0 && s.Held == 0) s.Start = now;
  if (s.Shown < FLines) {
    ++s.Shown;
    if (sink) sink(line);
    return;
  }
  ++s.Held;
  if (s.Senders.size() < kMaxSenders) s.Senders.insert(sender);
}

void TLineLimiter::Tick(TClock::time_point now, const TSink& sink, bool all) {
  for (auto it = FSorts.begin(); it != FSorts.end();) {
    TSort& s = it->second;
    if (!all && now - s.Start < FPeriod) {
      ++it;
      continue;
    }
    if (s.Held && sink) {
      // A run cut short says how long it was.
      const auto seconds = std::chrono::round<std::chrono::seconds>(std::min<TClock::duration>(now - s.Start, FPeriod));
      sink(Format("%llu %s from %zu%s senders in the last %lld s", static_cast<unsigned long long>(s.Held),
                  it->first.c_str(), s.Senders.size(), s.Senders.size() >= kMaxSenders ? " or more" : "",
                  static_cast<long long>(std::max<int64_t>(1, seconds.count()))));
    }
    it = FSorts.erase(it);
  }
}

// ---------------------------------------------------------------- the database

TNotificationWriter::TNotificationWriter(TReadingsStore& db, size_t capacity) : FDb(db), FCapacity(capacity) {
  // Short waits for another process's lock: the thread comes back to its
  // queue and to Finish, and tries again itself.
  FDb.SetBusyTimeout(200);
  FThread = std::thread([this] { Loop(); });
}

TNotificationWriter::~TNotificationWriter() { Finish(std::chrono::milliseconds(0)); }

bool TNotificationWriter::Push(TNotification n) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    // The batch being written counts: a database that does not take it
    // holds the queue back.
    if (FStop || FQueue.size() + FWriting >= FCapacity) {
      ++FCounts.Lost;
      return false;
    }
    FQueue.push_back(std::move(n));
  }
  FWake.notify_one();
  return true;
}

void TNotificationWriter::Finish(std::chrono::milliseconds patience) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FStop) FGiveUp = std::chrono::steady_clock::now() + patience;
    FStop = true;
  }
  FWake.notify_all();
  if (FThread.joinable()) FThread.join();
}

TNotificationWriter::TCounts TNotificationWriter::Counts() {
  std::lock_guard<std::mutex> lock(FLock);
  return FCounts;
}

void TNotificationWriter::Loop() {
  constexpr size_t kBatch = 500;
  std::vector<TNotification> batch;
  bool failing = false;
  auto delay = std::chrono::milliseconds(100);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(FLock);
      if (batch.empty()) FWake.wait(lock, [&] { return FStop || !FQueue.empty(); });
      if (FStop && std::chrono::steady_clock::now() >= FGiveUp) {
        // Out of patience: a database that does not take them, or more
        // queued than goes in before the end.
        FCounts.Lost += batch.size() + FQueue.size();
        FQueue.clear();
        return;
      }
      if (batch.empty()) {
        if (FQueue.empty()) return;
        while (!FQueue.empty() && batch.size() < kBatch) {
          batch.push_back(std::move(FQueue.front()));
          FQueue.pop_front();
        }
        FWriting = batch.size();
      }
    }
    std::vector<std::string> duplicates;
    size_t stored = 0;
    try {
      stored = FDb.StoreNotifications(batch, [&](const TNotification& n) {
        duplicates.push_back(Format("%s: invocation counter %lld already stored, dropped", n.Meter.c_str(),
                                    static_cast<long long>(n.InvocationCounter)));
      });
    } catch (const std::exception& e) {
      size_t held;
      {
        std::lock_guard<std::mutex> lock(FLock);
        ++FCounts.Retries;
        held = batch.size() + FQueue.size();
      }
      if (!failing && OnError) OnError(Format("%s; %zu notifications held, trying again", e.what(), held));
      failing = true;
      std::unique_lock<std::mutex> lock(FLock);
      FWake.wait_for(lock, delay, [&] { return FStop && std::chrono::steady_clock::now() >= FGiveUp; });
      delay = std::min(delay * 2, std::chrono::milliseconds(1000));
      continue;
    }
    if (failing && OnError) OnError("readings database takes notifications again");
    failing = false;
    delay = std::chrono::milliseconds(100);
    {
      std::lock_guard<std::mutex> lock(FLock);
      FCounts.Stored += stored;
      FCounts.Duplicates += duplicates.size();
      FWriting = 0;
    }
    if (OnError)
      for (const auto& d : duplicates) OnError(d);
    batch.clear();
  }
}

// ---------------------------------------------------------------- the listener

namespace {

// Messages of one meter held while its push object list is read.
constexpr size_t kMaxWaiting = 1000;
// Error lines of a sort shown one by one in a period; the rest are counted.
constexpr size_t kLinesPerPeriod = 10;
constexpr std::chrono::seconds kLinePeriod(10);
// UDP senders whose meter is remembered, and for how long since their last
// good message: only messages that passed every check add one.
constexpr size_t kMaxUdpSenders = 10000;
constexpr std::chrono::hours kUdpSenderAge(1);
// After accept fails for want of descriptors, new connections wait this
// long in the kernel's queue; the ones already open are served meanwhile.
constexpr std::chrono::milliseconds kAcceptPause(500);

class TFd {
public:
  explicit TFd(int fd = -1) : F(fd) {}
  ~TFd() {
    if (F >= 0) ::close(F);
  }
  TFd(TFd&& o) noexcept : F(o.F) { o.F = -1; }
  TFd& operator=(TFd&& o) noexcept {
    std::swap(F, o.F);
    return *this;
  }
  int F;
};

int Bound(const std::string& address, int port, int type) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1)
    RaiseGeneral(Format("--address \"%s\": expected an IPv4 address", address.c_str()));
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 256) != 0)) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    RaiseGeneral(Format("cannot listen on %s port %d: %s", address.c_str(), port, std::strerror(err)));
  }
  return fd;
}

int PortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

std::string PeerText(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return Format("%s:%d", ip, ntohs(a.sin_port));
}

// Buffered bytes of one connection beyond which it is cut off: a wrapper
// frame is at most 8 + 65535 bytes.
constexpr size_t kMaxBuffered = 8 + 65535;

// The peer is "IPv4:port" and perhaps a suffix.
std::string HostOf(const std::string& peer) { return peer.substr(0, peer.find(':')); }

}  // namespace

TPushSender* TSenderTable::Find(const std::string& peer) {
  const auto at = FByPeer.find(peer);
  return at == FByPeer.end() ? nullptr : &at->second->Sender;
}

void TSenderTable::Heard(TPushSender&& s, TClock::time_point now) {
  const auto at = FByPeer.find(s.Peer);
  if (at != FByPeer.end()) {
    at->second->Last = now;
    FOrder.splice(FOrder.end(), FOrder, at->second);
    return;
  }
  const std::string peer = s.Peer;
  FOrder.push_back(TEntry{std::move(s), now});
  FByPeer[peer] = std::prev(FOrder.end());
}

void TSenderTable::Prune(TClock::time_point now) {
  while (!FOrder.empty() && (FOrder.size() > FCapacity || now - FOrder.front().Last > FAge)) {
    FByPeer.erase(FOrder.front().Sender.Peer);
    FOrder.pop_front();
  }
}

int DefaultMaxConnections() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return 4096;
  const long limit = static_cast<long>(std::min<rlim_t>(r.rlim_cur, 1 << 20));
  // Standard streams, three listening sockets, the database and its log,
  // sessions reading push object lists: 64 kept back, or half of a small limit.
  return static_cast<int>(std::max(1L, limit - std::min(64L, limit / 2)));
}

TPushListener::TPushListener(TPushDecoder& decoder) : FDecoder(decoder), FLines(kLinesPerPeriod, kLinePeriod) {}

TLineLimiter::TSink TPushListener::Say() {
  return [this](const std::string& line) {
    if (OnError) OnError(line);
  };
}

void TPushListener::Report(const char* sort, const TSender& s, const std::string& line) {
  FLines.Report(sort, s.Peer, Format("%s: %s", s.Peer.c_str(), line.c_str()), TLineLimiter::TClock::now(), Say());
}

void TPushListener::Deliver(TPushed& p) {
  FDecoder.Name(p);
  if (OnPushed) OnPushed(p);
}

void TPushListener::ObjectListsRead(bool wait) {
  for (auto it = FReads.begin(); it != FReads.end();) {
    auto& [meter, read] = *it;
    if (!wait && read.List.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      ++it;
      continue;
    }
    std::vector<TObjectRef> objects;
    try {
      objects = read.List.get();
    } catch (const std::exception& e) {
      if (OnError) OnError(Format("%s: push object list not read (%s); values as they came", meter.c_str(), e.what()));
    }
    // Once per meter, also when it failed: the next messages do not wait.
    FDecoder.SetObjectsOf(meter, std::move(objects));
    for (TPushed& p : read.Waiting) Deliver(p);
    it = FReads.erase(it);
  }
}

namespace {

// The bytes of a message that could not be decoded, on its error line: at
// most this many, the whole message goes to the database.
constexpr size_t kHexOnLine = 512;

std::string BytesForLine(const std::string& bytes) {
  if (bytes.size() <= kHexOnLine) return TMisc::ByteStrToHexStr(bytes);
  return TMisc::ByteStrToHexStr(bytes.substr(0, kHexOnLine)) + Format("... (%zu bytes in all)", bytes.size());
}

// Senders of datagrams with a block series under way: at most this many.
constexpr size_t kMaxUdpSeries = 256;

}  // namespace

client::TBlockJoiner& TPushListener::BlocksOf(TSender& s) {
  if (!s.Datagrams) return s.Blocks;
  // A datagram's sender has no state of its own before a good message; its
  // series is kept here, a bounded few at a time.
  auto at = FUdpBlocks.find(s.Peer);
  if (at == FUdpBlocks.end()) {
    if (FUdpBlocks.size() >= kMaxUdpSeries) {
      Report("dropped block series", s, Format("%zu senders of datagrams have a block series under way; one dropped",
                                              FUdpBlocks.size()));
      FUdpBlocks.erase(FUdpBlocks.begin());
    }
    at = FUdpBlocks.emplace(s.Peer, client::TBlockJoiner{}).first;
  }
  return at->second;
}

void TPushListener::ExpireBlocks(TSender& s, TLineLimiter::TClock::time_point now) {
  if (auto line = s.Blocks.Expire(now)) {
    ++FCounts.Malformed;
    Report("malformed messages", s, *line);
  }
}

namespace {

// The LLC header of HDLC, which some gateways keep when they pass a meter's
// message on in a wrapper frame: one is taken off.
bool HasLlcHeader(const std::string& m) {
  return m.size() > 3 && m[0] == '\xE6' && (m[1] == '\xE7' || m[1] == '\xE6') && m[2] == '\0';
}

}  // namespace

void TPushListener::Message(const std::string& message, TSender& s) {
  const std::string apdu = HasLlcHeader(message) ? message.substr(3) : message;
  if (!apdu.empty() && static_cast<uint8_t>(apdu[0]) == kGeneralBlockTransferTag) {
    // A push longer than the meter sends at once comes as blocks; the APDU
    // they carry is decoded once the last one is in. What they carry is
    // decoded as it is, never taken as blocks again: blocks inside blocks
    // would nest as deep as a sender likes.
    std::optional<std::string> whole;
    try {
      client::TBlockJoiner& blocks = BlocksOf(s);
      whole = blocks.Add(apdu, TLineLimiter::TClock::now());
      if (s.Datagrams && !blocks.Pending()) FUdpBlocks.erase(s.Peer);
    } catch (const std::exception& e) {
      if (s.Datagrams) FUdpBlocks.erase(s.Peer);
      ++FCounts.Malformed;
      Report(s.Datagrams ? "malformed datagrams" : "malformed messages", s, e.what());
      return;
    }
    if (whole) Decoded(*whole, s);
    return;
  }
  Decoded(apdu, s);
}

void TPushListener::Decoded(const std::string& apdu, TSender& s) {
  try {
    TPushed p = FDecoder.Decode(apdu, s.Title, HostOf(s.Peer));
    ++FCounts.Received;
    if (ReadPushObjects && !p.Unknown && p.Kind == "data-notification" && FDecoder.Knows(p.Meter) &&
        !FDecoder.HasObjectsOf(p.Meter)) {
      auto read = FReads.find(p.Meter);
      if (read == FReads.end()) {
        read = FReads.emplace(p.Meter, TReadOfMeter{}).first;
        read->second.List = std::async(std::launch::async, ReadPushObjects, p.Meter);
      }
      // A read that takes long does not hold a fast meter's messages without
      // bound: past the limit they go out as they came.
      if (read->second.Waiting.size() < kMaxWaiting) {
        read->second.Waiting.push_back(std::move(p));
        return;
      }
    }
    Deliver(p);
  } catch (const TPushDecoder::EReplay& e) {
    ++FCounts.Replays;
    Report("replayed messages", s, e.what());
  } catch (const TPushDecoder::ERefused& e) {
    ++FCounts.Refused;
    Report("refused messages", s, e.what());
  } catch (const std::exception& e) {
    // Never stored as values; kept as what came, with the reason.
    ++FCounts.Malformed;
    ++FCounts.Undecoded;
    Report(s.Datagrams ? "malformed datagrams" : "malformed messages", s,
           Format("%s; bytes %s", e.what(), BytesForLine(apdu).c_str()));
    if (OnUndecoded) OnUndecoded(TUndecoded{FDecoder.MeterOfSender(s.Title, HostOf(s.Peer)), s.Peer, e.what(), apdu});
  }
}

void TPushListener::Frames(TSender& s) {
  std::string& buffer = s.Buffer;
  size_t at = 0;
  while (buffer.size() - at >= 8) {
    auto u16 = [&](size_t i) {
      return static_cast<unsigned>((static_cast<uint8_t>(buffer[at + i]) << 8) | static_cast<uint8_t>(buffer[at + i + 1]));
    };
    if (u16(0) != 1) RaiseGeneral(Format("wrapper version %u, expected 1", u16(0)));
    const size_t len = u16(6);
    if (buffer.size() - at < 8 + len) {
      if (s.Datagrams) RaiseGeneral(Format("datagram holds %zu of %zu bytes", buffer.size() - at - 8, len));
      break;
    }
    Message(buffer.substr(at + 8, len), s);
    at += 8 + len;
  }
  buffer.erase(0, at);
  if (s.Datagrams && !buffer.empty()) RaiseGeneral(Format("datagram: %zu bytes after the last frame", buffer.size()));
}

bool TPushListener::Received(TSender& s, std::string_view bytes) {
  if (s.Framer) {
    // A bad frame costs that frame only: HDLC and M-Bus find the next one by
    // its start.
    s.Framer->Feed(bytes, [&](const std::string& apdu) { Message(apdu, s); },
                 [&](const std::string& error) {
                   ++FCounts.Malformed;
                   Report("malformed messages", s, error);
                 });
    return true;
  }
  s.Buffer.append(bytes);
  try {
    Frames(s);
    if (s.Buffer.size() > kMaxBuffered) RaiseGeneral("frame longer than a wrapper frame can be");
  } catch (const std::exception& e) {
    // The framing is lost: nothing after it can be trusted.
    ++FCounts.Malformed;
    Report("malformed messages", s, std::string(e.what()) + "; connection closed");
    return false;
  }
  return true;
}

void TPushListener::Datagram(TSender& s, std::string_view bytes) {
  s.Buffer.assign(bytes);
  try {
    Frames(s);
  } catch (const std::exception& e) {
    ++FCounts.Malformed;
    Report("malformed datagrams", s, e.what());
  }
  s.Buffer.clear();
}

TListenCounts TPushListener::Run(const TListenOptions& options, const TCancelToken& cancel) {
  using TClock = std::chrono::steady_clock;
  FCounts = TListenCounts{};
  const size_t maxConnections =
      static_cast<size_t>(options.MaxConnections > 0 ? options.MaxConnections : DefaultMaxConnections());
  const auto idleTimeout = std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(options.IdleTimeout));
  TFd tcp(Bound(options.Address, options.Port, SOCK_STREAM));
  TFd udp(Bound(options.Address, PortOf(tcp.F), SOCK_DGRAM));
  TFd hdlc(options.HdlcPort >= 0 ? Bound(options.Address, options.HdlcPort, SOCK_STREAM) : -1);
  TFd mbus(options.MBusPort >= 0 ? Bound(options.Address, options.MBusPort, SOCK_STREAM) : -1);
  // A customer port on a serial line: one more sender, never closed for
  // idling (a meter may push once an hour), opened again when it is lost.
  std::optional<TSerialInput> serial;
  TSender serialSender;
  auto serialFramer = [&] {
    serialSender.Framer = MakePushFramer(options.Framing);
    if (!serialSender.Framer) RaiseGeneral(Format("--framing \"%s\": expected hdlc, mbus, apdu or auto", options.Framing.c_str()));
    serialSender.Framer->OnNotice = [this, peer = serialSender.Peer](const std::string& line) {
      if (OnError) OnError(Format("%s: %s", peer.c_str(), line.c_str()));
    };
  };
  if (!options.Serial.empty()) {
    serialSender.Peer = options.Serial + "/serial";
    serialFramer();
    serial.emplace(options.Serial, options.Baud, options.EvenParity);
    serial->Open();
    serial->OnLine = Say();
  }
  if (OnListening) {
    OnListening(PortOf(tcp.F), "TCP and UDP, DLMS wrapper");
    if (hdlc.F >= 0) OnListening(PortOf(hdlc.F), "TCP, HDLC");
    if (mbus.F >= 0) OnListening(PortOf(mbus.F), "TCP, M-Bus");
  }
  if (serial && OnListeningSerial) {
    const char* framing = options.Framing == "hdlc" ? "HDLC" : options.Framing == "mbus" ? "M-Bus" : "HDLC or M-Bus";
    OnListeningSerial(Format("serial port %s (%d baud, 8%c1, %s)", options.Serial.c_str(), options.Baud,
                             options.EvenParity ? 'E' : 'N', framing));
  }
  struct TConn {
    TFd Fd;
    TSender Sender;
    TClock::time_point LastBytes;
    uint64_t PartialSince = 0;  // the order in which connections began holding a partial frame; 0: none
  };
  std::vector<TConn> conns;
  uint64_t partialOrder = 0;
  TSenderTable udpSenders(kMaxUdpSenders, kUdpSenderAge);
  TClock::time_point acceptAgain{};
  const auto end = TClock::now() + std::chrono::milliseconds(static_cast<int64_t>(options.Seconds * 1000));
  std::string chunk(65536 + 16, '\0');
  std::vector<size_t> closing;
  auto close = [&](size_t i, const std::string& why) {
    if (!why.empty()) Report("closed connections", conns[i].Sender, why);
    closing.push_back(i);
  };
  while (!cancel.Cancelled() && (options.Seconds <= 0 || TClock::now() < end)) {
    ObjectListsRead(false);
    const auto now = TClock::now();
    FLines.Tick(now, Say());
    // Listening sockets and the serial line first; one polled as -1 is
    // ignored (no HDLC or M-Bus port, accepting paused, no serial line or
    // one lost).
    constexpr size_t kSerial = 4, kFirstConn = 5;
    const bool accepting = now >= acceptAgain;
    if (serial) serial->Tend(now);
    std::vector<pollfd> fds{{accepting ? tcp.F : -1, POLLIN, 0},
                            {udp.F, POLLIN, 0},
                            {accepting ? hdlc.F : -1, POLLIN, 0},
                            {accepting ? mbus.F : -1, POLLIN, 0},
                            {serial ? serial->Fd() : -1, POLLIN, 0}};
    for (const auto& c : conns) fds.push_back({c.Fd.F, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), 100);
    if (ready < 0 && errno != EINTR) RaiseGeneral(Format("poll: %s", std::strerror(errno)));
    for (const size_t at : {size_t{0}, size_t{2}, size_t{3}}) {
      if (ready <= 0 || !(fds[at].revents & POLLIN)) continue;
      for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const int fd = ::accept4(fds[at].fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
          if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection stays queued and poll would wake at once, again
            // and again: leave the listening sockets alone for a while.
            acceptAgain = TClock::now() + kAcceptPause;
            FLines.Report("accept failures", "", Format("accept: %s; new connections wait", std::strerror(errno)),
                          TClock::now(), Say());
          }
          break;
        }
        ++FCounts.Connections;
        TConn c{TFd(fd), TSender{}, TClock::now(), 0};
        c.Sender.Peer = PeerText(a) + (at == 2 ? "/hdlc" : at == 3 ? "/mbus" : "");
        if (conns.size() >= maxConnections) {
          ++FCounts.TurnedAway;
          FLines.Report("connections turned away", c.Sender.Peer,
                        Format("%s: %zu connections open, the most --max-connections allows; closed",
                               c.Sender.Peer.c_str(), conns.size()),
                        TClock::now(), Say());
          continue;  // the descriptor closes with c
        }
        if (at == 2) c.Sender.Framer = std::make_unique<THdlcPushReader>();
        if (at == 3) c.Sender.Framer = std::make_unique<TMBusPushReader>();
        conns.push_back(std::move(c));
      }
    }
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const ssize_t n = ::recvfrom(udp.F, chunk.data(), chunk.size(), 0, reinterpret_cast<sockaddr*>(&a), &len);
        if (n < 0) break;
        const std::string peer = PeerText(a) + "/udp";
        // A sender gets state only once one of its messages passed every
        // check; junk from a million spoofed addresses leaves none behind.
        TPushSender* known = udpSenders.Find(peer);
        TPushSender fresh;
        fresh.Peer = peer;
        fresh.Datagrams = true;
        const uint64_t before = FCounts.Received;
        Datagram(known ? *known : fresh, std::string_view(chunk.data(), static_cast<size_t>(n)));
        const auto t = TClock::now();
        // Kept (or kept longer) only for a message taken.
        if (FCounts.Received != before && (known || !fresh.Title.empty())) udpSenders.Heard(std::move(fresh), t);
        udpSenders.Prune(t);
      }
    }
    if (ready > 0 && fds[kSerial].revents) {
      std::string bytes;
      if (serial->Read(fds[kSerial].revents, bytes)) {
        if (!bytes.empty()) Received(serialSender, bytes);
      } else {
        // What was half read when the line went is lost with it; the next
        // opening starts afresh.
        if (const size_t held = serialSender.Held())
          Report("closed connections", serialSender, Format("serial line lost inside a frame (%zu bytes dropped)", held));
        serialFramer();
      }
    }
    closing.clear();
    for (size_t i = kFirstConn; ready > 0 && i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      TConn& c = conns[i - kFirstConn];
      const ssize_t n = ::recv(c.Fd.F, chunk.data(), chunk.size(), 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        const size_t held = c.Sender.Held();
        close(i - kFirstConn,
              held ? Format("connection closed inside a frame (%zu bytes dropped)", held) : std::string());
        continue;
      }
      if (n < 0) continue;
      c.LastBytes = TClock::now();
      if (!Received(c.Sender, std::string_view(chunk.data(), static_cast<size_t>(n)))) {
        close(i - kFirstConn, std::string());
        continue;
      }
      if (c.Sender.Buffered() == 0) c.PartialSince = 0;
      else if (c.PartialSince == 0) c.PartialSince = ++partialOrder;
    }
    // Connections that said nothing for too long hold a descriptor an honest
    // meter may need.
    const auto t = TClock::now();
    for (size_t i = 0; options.IdleTimeout > 0 && i < conns.size(); ++i)
      if (t - conns[i].LastBytes >= idleTimeout && std::find(closing.begin(), closing.end(), i) == closing.end()) {
        ++FCounts.IdleClosed;
        close(i, Format("nothing for %g s, connection closed", options.IdleTimeout));
      }
    // Block series that never got their last block.
    for (auto& c : conns) ExpireBlocks(c.Sender, t);
    for (auto it = FUdpBlocks.begin(); it != FUdpBlocks.end();) {
      if (auto line = it->second.Expire(t)) {
        ++FCounts.Malformed;
        FLines.Report("malformed datagrams", it->first, Format("%s: %s", it->first.c_str(), line->c_str()), t, Say());
      }
      it = it->second.Pending() ? std::next(it) : FUdpBlocks.erase(it);
    }
    // Partial frames over all connections: the oldest go first, as they have
    // had the longest to finish.
    size_t buffered = 0;
    std::vector<size_t> partial;
    for (size_t i = 0; i < conns.size(); ++i)
      if (conns[i].PartialSince && std::find(closing.begin(), closing.end(), i) == closing.end()) {
        buffered += conns[i].Sender.Buffered();
        partial.push_back(i);
      }
    if (buffered > options.MaxBuffered) {
      std::sort(partial.begin(), partial.end(),
                [&](size_t a, size_t b) { return conns[a].PartialSince < conns[b].PartialSince; });
      for (const size_t i : partial) {
        if (buffered <= options.MaxBuffered) break;
        const size_t held = conns[i].Sender.Buffered();
        buffered -= held;
        ++FCounts.BufferedClosed;
        close(i, Format("%zu bytes of a partial frame held, over the bound of %zu for all connections; the oldest "
                        "closed first",
                        held, options.MaxBuffered));
      }
    }
    std::sort(closing.begin(), closing.end());
    closing.erase(std::unique(closing.begin(), closing.end()), closing.end());
    for (auto it = closing.rbegin(); it != closing.rend(); ++it) conns.erase(conns.begin() + static_cast<long>(*it));
  }
  // Messages still waiting for their meter's list go out when it is read.
  ObjectListsRead(true);
  FlushLines();
  return FCounts;
}

}  // namespace quillon::cli
