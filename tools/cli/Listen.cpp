#include "tools/cli/Listen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "client/Value.h"
#include "comm/HDLCFrame.h"
#include "security/GCMCipher.h"
#include "xmlpdu/Catalogue.h"
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

TPushDecoder::TPushDecoder(const std::vector<TFleetMeter>& meters, std::vector<TObjectRef> pushObjects)
    : FPushObjects(std::move(pushObjects)) {
  for (const auto& m : meters) {
    if (!m.Profile.ServerSystemTitle.empty())
      FByTitle[m.Profile.ServerSystemTitle] = TKeys{m.Name, m.Profile.EK, m.Profile.AK};
    if (m.Profile.Transport == TTransport::tHdlcSerial || m.Profile.Host.empty()) continue;
    // Meters behind one terminal server or NAT share their host: none of them is known by it.
    const auto [at, added] = FByHost.emplace(m.Profile.Host, THostMeter{m.Name, m.Profile.ServerSystemTitle});
    if (!added) at->second.Unique = false;
  }
}

bool TPushDecoder::Knows(const std::string& meter) const {
  for (const auto& [title, keys] : FByTitle)
    if (keys.Name == meter) return true;
  for (const auto& [host, m] : FByHost)
    if (m.Unique && m.Name == meter) return true;
  return false;
}

void TPushDecoder::Name(TPushed& p) const {
  // Only a data notification's body is the push object list's values.
  if (p.Kind != "data-notification" || !p.Body.contains("values")) return;
  const auto own = FObjectsOf.find(p.Meter);
  const std::vector<TObjectRef>& objects = own != FObjectsOf.end() ? own->second : FPushObjects;
  const json& values = p.Body["values"];
  if (objects.empty() || !values.is_array() || values.size() != objects.size()) return;
  json named = json::object();
  for (size_t i = 0; i < objects.size(); ++i) named[ObjectRefText(objects[i])] = values[i];
  p.Body["values"] = std::move(named);
}

TPushed TPushDecoder::DecodePlain(const std::string& apdu, int depth) {
  std::unique_ptr<T_COSEMpdu> pdu;
  try {
    pdu = MakeFromPdu<T_COSEMpdu>(xmlIgnore, apdu);
  } catch (const std::exception& e) {
    RaiseGeneral(Format("undecodable message (%s)", e.what()));
  }
  const int tag = static_cast<uint8_t>(apdu[0]);
  TPushed p;
  switch (tag) {
    case 0x0F: {
      auto& n = static_cast<T_DataNotification&>(*pdu->Value);
      p.Kind = "data-notification";
      p.Body["id"] = n.FLongInvokeIdAndPriority()->Value & 0x00FFFFFF;
      if (!n.FDateTime()->Value.empty()) p.Body["time"] = TimeJsonText(n.FDateTime()->Value);
      p.Body["values"] = DataJson(*n.FNotificationBody()->FDataValue());
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
  return p;
}

TPushed TPushDecoder::Decode(const std::string& apdu, std::string& lastTitle, const std::string& peerHost) {
  if (apdu.empty()) RaiseGeneral("empty message");
  const auto byHost = FByHost.find(peerHost);
  const THostMeter* host = byHost != FByHost.end() && byHost->second.Unique ? &byHost->second : nullptr;
  const int tag = static_cast<uint8_t>(apdu[0]);
  if (tag != 0xDB && tag != 0xDC && !GloPushTag(tag)) {
    TPushed p = DecodePlain(apdu, 0);
    if (!lastTitle.empty())
      p.Meter = FByTitle.count(lastTitle) ? FByTitle[lastTitle].Name : TMisc::ByteStrToHexStr(lastTitle);
    else if (host)
      p.Meter = host->Name;
    return p;
  }
  std::string title, content;
  if (tag == 0xDB || tag == 0xDC) {
    std::unique_ptr<T_COSEMpdu> pdu;
    try {
      pdu = MakeFromPdu<T_COSEMpdu>(xmlIgnore, apdu);
    } catch (const std::exception& e) {
      RaiseGeneral(Format("undecodable ciphered message (%s)", e.what()));
    }
    auto& g = static_cast<T_GeneralGloCiphering&>(*pdu->Value);
    title = g.FSystemTitle()->Value;
    content = g.FCipheredService()->Value;
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
    title = lastTitle.empty() && host ? host->Title : lastTitle;
    if (title.empty()) RaiseGeneral("glo-ciphered message on a connection whose meter is not known yet");
  }
  const auto keys = FByTitle.find(title);
  if (keys == FByTitle.end())
    RaiseGeneral(Format("system title %s: no meter of the list has it", TMisc::ByteStrToHexStr(title).c_str()));
  TSecurityControl sc;
  uint32_t counter = 0;
  std::string plain;
  try {
    TGCMAndCompression::DecryptAndDecompress(title, content, std::string(), keys->second.EK, keys->second.AK, sc, counter,
                                             plain, [](const std::string&) {});
  } catch (const std::exception& e) {
    RaiseGeneral(Format("%s: cannot decipher (%s)", keys->second.Name.c_str(), e.what()));
  }
  lastTitle = title;
  const auto last = FLastCounter.find(keys->second.Name);
  if (last != FLastCounter.end() && counter <= last->second)
    throw EReplay(Format("%s: invocation counter %u replayed (last %u), dropped", keys->second.Name.c_str(), counter,
                         last->second));
  if (plain.empty()) RaiseGeneral(Format("%s: empty ciphered message", keys->second.Name.c_str()));
  TPushed p = DecodePlain(plain, 1);
  // Only a message that decoded moves the counter on.
  FLastCounter[keys->second.Name] = counter;
  p.Meter = keys->second.Name;
  p.InvocationCounter = counter;
  return p;
}

// ---------------------------------------------------------------- HDLC over TCP

namespace {

// The shortest frame: format, one-byte addresses, control and HCS.
constexpr size_t kMinFrameLength = 7;
// A message of joined segments is at most an APDU of 65535 bytes and its LLC header.
constexpr size_t kMaxSegmented = 65535 + 3;

}  // namespace

size_t THdlcPushReader::Held() const {
  const bool onlyFlags = FBuffer.find_first_not_of('\x7E') == std::string::npos;
  return FSegments.size() + FSkipped + (onlyFlags ? 0 : FBuffer.size());
}

void THdlcPushReader::Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError) {
  FBuffer.append(bytes);
  size_t at = 0;
  size_t& skipped = FSkipped;
  auto reportSkipped = [&] {
    if (skipped) onError(Format("%zu bytes outside a frame skipped", skipped));
    skipped = 0;
  };
  for (;;) {
    const size_t flag = FBuffer.find('\x7E', at);
    if (flag == std::string::npos) {
      skipped += FBuffer.size() - at;
      at = FBuffer.size();
      break;
    }
    skipped += flag - at;
    at = flag;
    // Fill flags between frames; the last one opens the frame.
    while (at + 1 < FBuffer.size() && FBuffer[at + 1] == '\x7E') ++at;
    if (FBuffer.size() - at < 3) break;
    const uint8_t format = static_cast<uint8_t>(FBuffer[at + 1]);
    const size_t length = (format & 7u) * 256u + static_cast<uint8_t>(FBuffer[at + 2]);
    // Flags are never counted as skipped bytes.
    if ((format & 0xF0) != 0xA0 || length < kMinFrameLength) {
      // Not the start of a frame: a flag value inside bytes that are none.
      ++at;
      continue;
    }
    if (FBuffer.size() - at < length + 2) break;
    if (FBuffer[at + length + 1] != '\x7E') {
      // No closing flag where the length says: a length garbled or bytes
      // lost; look for the next frame from the byte after this flag.
      ++at;
      continue;
    }
    reportSkipped();
    TFrame f;
    bool good = true;
    try {
      f.SetFromPduByteStr(FBuffer.substr(at, length + 2));
    } catch (const std::exception& e) {
      onError(Format("HDLC frame dropped (%s)", e.what()));
      good = false;
    }
    // The closing flag may also open the next frame.
    at += length + 1;
    if (!good) continue;
    if (f.Kind() != fkUI && f.Kind() != fkI) {
      onError(Format("HDLC %s frame ignored", FrameKindName(f.Kind())));
      continue;
    }
    if (!FDropping) FSegments += f.FData;
    if (FSegments.size() > kMaxSegmented) {
      onError(Format("segmented message longer than %zu bytes, dropped", kMaxSegmented));
      FSegments.clear();
      FDropping = true;
    }
    if (f.Segmented) continue;
    std::string message = std::move(FSegments);
    FSegments.clear();
    if (FDropping) {
      FDropping = false;
      continue;
    }
    // The LLC header of a meter's message (E6 E7 00), or of a request (E6 E6
    // 00) from meters that use that one. A message without one goes to the
    // decoder as it came; the decoder says whether it is a pushed service.
    if (message.size() >= 3 && message[0] == '\xE6' && (message[1] == '\xE7' || message[1] == '\xE6') && message[2] == '\0')
      message.erase(0, 3);
    onMessage(message);
  }
  FBuffer.erase(0, at);
}

// ---------------------------------------------------------------- the listener

namespace {

// Messages of one meter held while its push object list is read.
constexpr size_t kMaxWaiting = 1000;

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

}  // namespace

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

void TPushListener::Message(const std::string& apdu, const std::string& peer, std::string& lastTitle) {
  try {
    // The peer is "IPv4:port" and perhaps a suffix.
    TPushed p = FDecoder.Decode(apdu, lastTitle, peer.substr(0, peer.find(':')));
    ++FCounts.Received;
    if (ReadPushObjects && p.Kind == "data-notification" && FDecoder.Knows(p.Meter) && !FDecoder.HasObjectsOf(p.Meter)) {
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
    if (OnError) OnError(Format("%s: %s", peer.c_str(), e.what()));
  } catch (const std::exception& e) {
    ++FCounts.Malformed;
    if (OnError) OnError(Format("%s: %s", peer.c_str(), e.what()));
  }
}

void TPushListener::Frames(std::string& buffer, const std::string& peer, std::string& lastTitle, bool datagram) {
  size_t at = 0;
  while (buffer.size() - at >= 8) {
    auto u16 = [&](size_t i) {
      return static_cast<unsigned>((static_cast<uint8_t>(buffer[at + i]) << 8) | static_cast<uint8_t>(buffer[at + i + 1]));
    };
    if (u16(0) != 1) RaiseGeneral(Format("wrapper version %u, expected 1", u16(0)));
    const size_t len = u16(6);
    if (buffer.size() - at < 8 + len) {
      if (datagram) RaiseGeneral(Format("datagram holds %zu of %zu bytes", buffer.size() - at - 8, len));
      break;
    }
    Message(buffer.substr(at + 8, len), peer, lastTitle);
    at += 8 + len;
  }
  buffer.erase(0, at);
  if (datagram && !buffer.empty()) RaiseGeneral(Format("datagram: %zu bytes after the last frame", buffer.size()));
}

TListenCounts TPushListener::Run(const TListenOptions& options, const TCancelToken& cancel) {
  FCounts = TListenCounts{};
  TFd tcp(Bound(options.Address, options.Port, SOCK_STREAM));
  TFd udp(Bound(options.Address, PortOf(tcp.F), SOCK_DGRAM));
  TFd hdlc(options.HdlcPort >= 0 ? Bound(options.Address, options.HdlcPort, SOCK_STREAM) : -1);
  if (OnListening) {
    OnListening(PortOf(tcp.F), "TCP and UDP, DLMS wrapper");
    if (hdlc.F >= 0) OnListening(PortOf(hdlc.F), "TCP, HDLC");
  }
  struct TConn {
    TFd Fd;
    std::string Peer, Buffer, LastTitle;
    std::unique_ptr<THdlcPushReader> Hdlc;  // an HDLC connection's frames
  };
  std::vector<TConn> conns;
  std::map<std::string, std::string> udpTitles;  // peer -> last system title
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(options.Seconds * 1000));
  std::string chunk(65536 + 16, '\0');
  while (!cancel.Cancelled() && (options.Seconds <= 0 || std::chrono::steady_clock::now() < end)) {
    ObjectListsRead(false);
    // Listening sockets first (the HDLC one is polled as -1, ignored, when there is none).
    constexpr size_t kFirstConn = 3;
    std::vector<pollfd> fds{{tcp.F, POLLIN, 0}, {udp.F, POLLIN, 0}, {hdlc.F, POLLIN, 0}};
    for (const auto& c : conns) fds.push_back({c.Fd.F, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (const int at : {0, 2}) {
      if (!(fds[at].revents & POLLIN)) continue;
      for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const int fd = ::accept4(fds[at].fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) break;
        ++FCounts.Connections;
        conns.push_back(TConn{TFd(fd), PeerText(a) + (at == 2 ? "/hdlc" : ""), {}, {},
                              at == 2 ? std::make_unique<THdlcPushReader>() : nullptr});
      }
    }
    if (fds[1].revents & POLLIN) {
      for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const ssize_t n = ::recvfrom(udp.F, chunk.data(), chunk.size(), 0, reinterpret_cast<sockaddr*>(&a), &len);
        if (n < 0) break;
        const std::string peer = PeerText(a) + "/udp";
        std::string datagram = chunk.substr(0, static_cast<size_t>(n));
        try {
          Frames(datagram, peer, udpTitles[peer], true);
        } catch (const std::exception& e) {
          ++FCounts.Malformed;
          if (OnError) OnError(Format("%s: %s", peer.c_str(), e.what()));
        }
      }
    }
    std::vector<size_t> closed;
    for (size_t i = kFirstConn; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      TConn& c = conns[i - kFirstConn];
      const ssize_t n = ::recv(c.Fd.F, chunk.data(), chunk.size(), 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        const size_t held = c.Hdlc ? c.Hdlc->Held() : c.Buffer.size();
        if (held && OnError) OnError(Format("%s: connection closed inside a frame (%zu bytes dropped)", c.Peer.c_str(), held));
        closed.push_back(i - kFirstConn);
        continue;
      }
      if (n < 0) continue;
      if (c.Hdlc) {
        // A bad frame costs that frame only: HDLC finds the next one by its flag.
        c.Hdlc->Feed(std::string_view(chunk.data(), static_cast<size_t>(n)),
                     [&](const std::string& apdu) { Message(apdu, c.Peer, c.LastTitle); },
                     [&](const std::string& error) {
                       ++FCounts.Malformed;
                       if (OnError) OnError(Format("%s: %s", c.Peer.c_str(), error.c_str()));
                     });
        continue;
      }
      c.Buffer.append(chunk.data(), static_cast<size_t>(n));
      try {
        Frames(c.Buffer, c.Peer, c.LastTitle, false);
        if (c.Buffer.size() > kMaxBuffered) RaiseGeneral("frame longer than a wrapper frame can be");
      } catch (const std::exception& e) {
        // The framing is lost: nothing after it can be trusted.
        ++FCounts.Malformed;
        if (OnError) OnError(Format("%s: %s; connection closed", c.Peer.c_str(), e.what()));
        closed.push_back(i - kFirstConn);
      }
    }
    for (auto it = closed.rbegin(); it != closed.rend(); ++it) conns.erase(conns.begin() + static_cast<long>(*it));
  }
  // Messages still waiting for their meter's list go out when it is read.
  ObjectListsRead(true);
  return FCounts;
}

}  // namespace quillon::cli
