#include "comm/TCPServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "comm/TCPClient.h"

namespace quillon {

namespace {
std::string PeerText(const sockaddr_storage& a) {
  char buf[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, buf, sizeof buf);
  } else {
    const in6_addr& a6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
    // A dual-stack socket reports IPv4 peers as ::ffff:a.b.c.d.
    if (IN6_IS_ADDR_V4MAPPED(&a6))
      ::inet_ntop(AF_INET, &a6.s6_addr[12], buf, sizeof buf);
    else
      ::inet_ntop(AF_INET6, &a6, buf, sizeof buf);
  }
  return buf;
}
}  // namespace

TProtocolLayerTCPServer::TProtocolLayerTCPServer() { TrafficOptions = kByteLayerTrafficOptions; }

TProtocolLayerTCPServer::~TProtocolLayerTCPServer() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
}

void TProtocolLayerTCPServer::Connect() {
  throw EAssertionFailed(Name + ": Connect is not offered by the TCP server layer");
}

PduStr TProtocolLayerTCPServer::SendRec(const PduStr&) {
  throw EAssertionFailed(Name + ": SendRec is not offered by the TCP server layer");
}

std::string TProtocolLayerTCPServer::IP() const {
  std::lock_guard<std::mutex> lock(FConnectionLock);
  return FPeerIP;
}

void TProtocolLayerTCPServer::SetPort(int32_t v) {
  if (IsConnected() && v != FPort)
    throw EProtocolLayerTCPServer(Format("\"%s\" is connected, cannot change parameter", Name.c_str()));
  FPort = v;
}

void TProtocolLayerTCPServer::StartListening() {
  if (IsListening()) return;
  // All local addresses: a dual-stack IPv6 socket, or IPv4 where IPv6 is off.
  TUniqueFd s(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int one = 1, zero = 0;
  sockaddr_storage addr{};
  socklen_t len;
  if (s.Valid()) {
    ::setsockopt(s.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_any;
    a->sin6_port = htons(static_cast<uint16_t>(FPort));
    len = sizeof(sockaddr_in6);
  } else {
    s.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.Valid()) throw EProtocolLayerTCPServer(SystemErrorText(errno));
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_ANY);
    a->sin_port = htons(static_cast<uint16_t>(FPort));
    len = sizeof(sockaddr_in);
  }
  ::setsockopt(s.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(s.Get(), 1) != 0)
    throw EProtocolLayerTCPServer(SystemErrorText(errno));
  sockaddr_storage bound{};
  socklen_t boundLen = sizeof bound;
  ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&bound), &boundLen);
  FBoundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                 : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  FListening = std::move(s);
  if (ShowTraffic) EmitTraffic("Start Listening", toInfo);
  InputBuffer.Clear();
  OutputBuffer.Clear();
  FStop = false;
  FThread = std::thread([this] { ConnectionThread(); });
}

void TProtocolLayerTCPServer::StopListening() {
  if (!IsListening()) return;
  FStop = true;
  if (FThread.joinable()) FThread.join();
  FListening.Reset();
  {
    std::lock_guard<std::mutex> lock(FConnectionLock);
    FPeerIP.clear();
  }
  if (ShowTraffic) EmitTraffic("Stop Listening", toInfo);
}

void TProtocolLayerTCPServer::ConnectionThread() {
  while (!FStop) {
    bool connected;
    {
      std::lock_guard<std::mutex> lock(FConnectionLock);
      connected = FConnection.Valid();
    }
    pollfd p{FListening.Get(), POLLIN, 0};
    // While a peer is served, only look at the listening socket now and then.
    if (::poll(&p, 1, connected ? 0 : 10) > 0) AcceptPeer();
    if (connected) ServeConnection();
  }
  CloseConnection();
}

void TProtocolLayerTCPServer::AcceptPeer() {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  TUniqueFd c(::accept4(FListening.Get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!c.Valid()) return;
  std::string ip = PeerText(peer);
  {
    std::lock_guard<std::mutex> lock(FConnectionLock);
    if (FConnection.Valid()) return;  // one peer at a time: the second is refused
    DisconnectRequested = false;
    FConnection = std::move(c);
    FPeerIP = ip;
  }
  if (ShowTraffic) EmitTraffic(Format("(Inbound) Connected to %s", ip.c_str()), toInfo);
}

void TProtocolLayerTCPServer::ServeConnection() {
  if (DisconnectRequested) {
    CloseConnection();
    return;
  }
  int fd;
  {
    std::lock_guard<std::mutex> lock(FConnectionLock);
    fd = FConnection.Get();
  }
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10) > 0) {
    PduStr got;
    char block[4096];
    bool closed = false;
    for (;;) {
      ssize_t n = ::recv(fd, block, sizeof block, MSG_DONTWAIT);
      if (n > 0) {
        got.append(block, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
      break;
    }
    if (!got.empty()) {
      InputBuffer.Write(got);
      if (ShowTraffic) EmitTraffic(got, toIncoming);
    }
    if (closed) {
      CloseConnection();
      return;
    }
  }
  if (OutputBuffer.ByteQty() > 0) {
    PduStr out;
    OutputBuffer.Read(out, 0);
    if (ShowTraffic) EmitTraffic(out, toOutgoing);
    if (WriteAll(fd, out) != 0) CloseConnection();
  }
}

void TProtocolLayerTCPServer::CloseConnection() {
  std::string ip;
  {
    std::lock_guard<std::mutex> lock(FConnectionLock);
    if (!FConnection.Valid()) return;
    FConnection.Reset();
    ip = FPeerIP;
  }
  if (!ip.empty()) {
    LastTCPDisconnectTick = GetTickCount32();
    if (ShowTraffic) EmitTraffic(Format("Disconnected from %s", ip.c_str()), toInfo);
  }
  std::lock_guard<std::mutex> lock(FConnectionLock);
  FPeerIP.clear();
}

void TProtocolLayerTCPServer::DisconnectAllConnections() {
  std::lock_guard<std::mutex> lock(FConnectionLock);
  // The connection thread sees the end of stream and closes its side.
  if (FConnection.Valid()) ::shutdown(FConnection.Get(), SHUT_RDWR);
}

void TProtocolLayerTCPServer::Disconnect() {
  DisconnectRequested = true;
  do {
    SleepMs(PollInterval);
    CheckUserAbort();
  } while (IsConnected());
}

void TProtocolLayerTCPServer::Send(const PduStr& s) {
  if (!IsConnected()) throw EProtocolLayerTCPServer(Format("\"%s\" is not connected", Name.c_str()));
  if (!s.empty()) OutputBuffer.Write(s);
}

PduStr TProtocolLayerTCPServer::Rec() {
  PduStr result;
  for (;;) {
    int64_t start = QueryPerformanceCounter();
    bool gotByte = true;
    while (InputBuffer.ByteQty() == 0) {
      if (PerformanceCounterDiffMs(start, QueryPerformanceCounter()) >= ReceiveTimeout.load()) {
        gotByte = false;
        break;
      }
      // Wakes as soon as bytes arrive instead of sleeping the whole step.
      InputBuffer.WaitForData(PollInterval);
      CheckUserAbort();
    }
    if (!gotByte) break;
    result += static_cast<char>(InputBuffer.ReadByte());
    if (CheckFrameCompleteCallBack && CheckFrameCompleteCallBack(*this, result)) break;
    if (result.size() >= MaxAnswerLength) break;
  }
  return result;
}

}  // namespace quillon
