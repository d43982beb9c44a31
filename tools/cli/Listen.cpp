#include "tools/cli/Listen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "client/Value.h"
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

TPushDecoder::TPushDecoder(const std::vector<TFleetMeter>& meters, std::vector<TObjectRef> pushObjects)
    : FPushObjects(std::move(pushObjects)) {
  for (const auto& m : meters)
    if (!m.Profile.ServerSystemTitle.empty())
      FByTitle[m.Profile.ServerSystemTitle] = TKeys{m.Name, m.Profile.EK, m.Profile.AK};
}

json TPushDecoder::Named(const json& values) const {
  if (FPushObjects.empty() || !values.is_array() || values.size() != FPushObjects.size()) return values;
  json named = json::object();
  for (size_t i = 0; i < FPushObjects.size(); ++i) named[ObjectRefText(FPushObjects[i])] = values[i];
  return named;
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
      json v = DataJson(*n.FNotificationBody()->FDataValue());
      p.Body["values"] = Named(v);
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

TPushed TPushDecoder::Decode(const std::string& apdu, std::string& lastTitle) {
  if (apdu.empty()) RaiseGeneral("empty message");
  const int tag = static_cast<uint8_t>(apdu[0]);
  if (tag != 0xDB && tag != 0xDC && !GloPushTag(tag)) {
    TPushed p = DecodePlain(apdu, 0);
    p.Meter = lastTitle.empty() ? "" : (FByTitle.count(lastTitle) ? FByTitle[lastTitle].Name : TMisc::ByteStrToHexStr(lastTitle));
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
    title = lastTitle;
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

// ---------------------------------------------------------------- the listener

namespace {

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

void TPushListener::Message(const std::string& apdu, const std::string& peer, std::string& lastTitle) {
  try {
    const TPushed p = FDecoder.Decode(apdu, lastTitle);
    ++FCounts.Received;
    if (OnPushed) OnPushed(p);
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
  if (OnListening) OnListening(PortOf(tcp.F));
  struct TConn {
    TFd Fd;
    std::string Peer, Buffer, LastTitle;
  };
  std::vector<TConn> conns;
  std::map<std::string, std::string> udpTitles;  // peer -> last system title
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(options.Seconds * 1000));
  std::string chunk(65536 + 16, '\0');
  while (!cancel.Cancelled() && (options.Seconds <= 0 || std::chrono::steady_clock::now() < end)) {
    std::vector<pollfd> fds{{tcp.F, POLLIN, 0}, {udp.F, POLLIN, 0}};
    for (const auto& c : conns) fds.push_back({c.Fd.F, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const int fd = ::accept4(tcp.F, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) break;
        ++FCounts.Connections;
        conns.push_back(TConn{TFd(fd), PeerText(a), {}, {}});
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
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      TConn& c = conns[i - 2];
      const ssize_t n = ::recv(c.Fd.F, chunk.data(), chunk.size(), 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        if (!c.Buffer.empty() && OnError)
          OnError(Format("%s: connection closed inside a frame (%zu bytes dropped)", c.Peer.c_str(), c.Buffer.size()));
        closed.push_back(i - 2);
        continue;
      }
      if (n < 0) continue;
      c.Buffer.append(chunk.data(), static_cast<size_t>(n));
      try {
        Frames(c.Buffer, c.Peer, c.LastTitle, false);
        if (c.Buffer.size() > kMaxBuffered) RaiseGeneral("frame longer than a wrapper frame can be");
      } catch (const std::exception& e) {
        // The framing is lost: nothing after it can be trusted.
        ++FCounts.Malformed;
        if (OnError) OnError(Format("%s: %s; connection closed", c.Peer.c_str(), e.what()));
        closed.push_back(i - 2);
      }
    }
    for (auto it = closed.rbegin(); it != closed.rend(); ++it) conns.erase(conns.begin() + static_cast<long>(*it));
  }
  return FCounts;
}

}  // namespace quillon::cli
