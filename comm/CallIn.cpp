#include "comm/CallIn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "comm/ProtocolLayer.h"

namespace quillon {

namespace {

std::string PeerOf(const sockaddr_storage& a) {
  char buf[INET6_ADDRSTRLEN] = "";
  int port = 0;
  if (a.ss_family == AF_INET) {
    const auto& a4 = reinterpret_cast<const sockaddr_in&>(a);
    ::inet_ntop(AF_INET, &a4.sin_addr, buf, sizeof buf);
    port = ntohs(a4.sin_port);
    return std::string(buf) + ":" + std::to_string(port);
  }
  const auto& a6 = reinterpret_cast<const sockaddr_in6&>(a);
  port = ntohs(a6.sin6_port);
  // A dual-stack socket reports IPv4 peers as ::ffff:a.b.c.d.
  if (IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) {
    ::inet_ntop(AF_INET, &a6.sin6_addr.s6_addr[12], buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(port);
  }
  ::inet_ntop(AF_INET6, &a6.sin6_addr, buf, sizeof buf);
  return "[" + std::string(buf) + "]:" + std::to_string(port);
}

}  // namespace

TUniqueFd TCallerConnection::Share() const {
  return TUniqueFd(FSocket.Valid() ? ::fcntl(FSocket.Get(), F_DUPFD_CLOEXEC, 0) : -1);
}

void TCallerConnection::HangUp() {
  if (FSocket.Valid()) ::shutdown(FSocket.Get(), SHUT_RDWR);
}

TCallInListener::TCallInListener(const std::string& host, int port, int backlog) {
  const std::string where = (host.empty() ? std::string("port ") : host + " port ") + std::to_string(port);
  auto fail = [&](int err) {
    throw EProtocolLayerTCPServer(Format("cannot listen on %s: %s", where.c_str(), SystemErrorText(err).c_str()));
  };
  sockaddr_storage addr{};
  socklen_t len = 0;
  int family = AF_INET6;
  if (host.empty()) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_any;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof(sockaddr_in6);
  } else {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
    if (rc != 0 || !res)
      throw EProtocolLayerTCPServer(Format("cannot listen on %s: %s", where.c_str(), ::gai_strerror(rc)));
    std::memcpy(&addr, res->ai_addr, res->ai_addrlen);
    len = res->ai_addrlen;
    family = res->ai_family;
    ::freeaddrinfo(res);
  }
  TUniqueFd s(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!s.Valid() && host.empty()) {
    // No IPv6 on this machine: every IPv4 address.
    family = AF_INET;
    addr = sockaddr_storage{};
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_ANY);
    a->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof(sockaddr_in);
    s.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  }
  if (!s.Valid()) fail(errno);
  int one = 1, zero = 0;
  if (family == AF_INET6 && host.empty()) ::setsockopt(s.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  ::setsockopt(s.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(s.Get(), backlog) != 0) fail(errno);
  sockaddr_storage bound{};
  socklen_t boundLen = sizeof bound;
  ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&bound), &boundLen);
  FPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  FSocket = std::move(s);
}

std::unique_ptr<TCallerConnection> TCallInListener::AcceptWaiting(int* error) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  TUniqueFd c(::accept4(FSocket.Get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!c.Valid()) {
    if (error) *error = errno;
    return nullptr;
  }
  int one = 1;
  ::setsockopt(c.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return std::make_unique<TCallerConnection>(std::move(c), PeerOf(peer));
}

std::unique_ptr<TCallerConnection> TCallInListener::Accept(int timeoutMs) {
  const uint32_t started = GetTickCount32();
  for (;;) {
    if (auto c = AcceptWaiting()) return c;
    int left = -1;
    if (timeoutMs >= 0) {
      const uint32_t spent = MillisecondsSince(started);
      if (spent >= static_cast<uint32_t>(timeoutMs)) return nullptr;
      left = timeoutMs - static_cast<int>(spent);
    }
    pollfd p{FSocket.Get(), POLLIN, 0};
    if (PollAbortable(p, left) == 0) return nullptr;
  }
}

std::string WaitingForMeterText(int port) { return Format("Waiting for a meter on port %d...", port); }

std::string MeterConnectedText(const std::string& peer) { return "Meter connected from " + peer; }

}  // namespace quillon
