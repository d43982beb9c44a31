#include "comm/TCPClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace quillon {

std::atomic<uint32_t> LastTCPDisconnectTick{0};

TProtocolLayerTCPClient::TProtocolLayerTCPClient() { TrafficOptions = kByteLayerTrafficOptions; }

TProtocolLayerTCPClient::~TProtocolLayerTCPClient() = default;

void TProtocolLayerTCPClient::Info(const char* text) const {
  if (FShowTraffic) EmitTraffic(text, toInfo);
}

void TProtocolLayerTCPClient::CheckParameterChange(bool differs) const {
  if (differs && FSocket.Valid())
    throw EProtocolLayerTCPClient(Format("\"%s\" is open, cannot change parameter", Name.c_str()));
}

void TProtocolLayerTCPClient::SetIP(const std::string& v) {
  CheckParameterChange(v != FIP);
  FIP = v;
}
void TProtocolLayerTCPClient::SetPort(int32_t v) {
  CheckParameterChange(v != FPort);
  FPort = v;
}
void TProtocolLayerTCPClient::SetIPVersion(TIPVersion v) {
  CheckParameterChange(v != FIPVersion);
  FIPVersion = v;
}
void TProtocolLayerTCPClient::SetConnectTimeout(int32_t v) {
  CheckParameterChange(v != FConnectTimeout);
  FConnectTimeout = v;
}

void TProtocolLayerTCPClient::Adopt(TUniqueFd socket, const std::string& peer) {
  if (FSocket.Valid()) throw EProtocolLayerTCPClient("Already connected");
  if (!socket.Valid()) throw EProtocolLayerTCPClient(Format("The connection from %s is gone", peer.c_str()));
  FSocket = std::move(socket);
  FReader.Drop();
  FAdopted = true;
  FPeer = peer;
  if (FShowTraffic) EmitTraffic(Format("(Inbound) Connected to %s", peer.c_str()), toInfo);
}

void TProtocolLayerTCPClient::NotConnected() const {
  // A meter that called in and went cannot be called back: said as such.
  if (FAdopted) throw EProtocolLayerTCPClient(Format("The meter at %s has hung up", FPeer.c_str()));
  throw EProtocolLayerTCPClient(Format("\"%s\" is not connected", Name.c_str()));
}

void TProtocolLayerTCPClient::Connect() {
  if (FAdopted) {
    if (FSocket.Valid()) return;
    NotConnected();
  }
  if (FSocket.Valid()) throw EProtocolLayerTCPClient("Already connected");

  uint32_t elapsed = MillisecondsSince(LastTCPDisconnectTick.load());
  if (FDisconnectToConnectDelay > 0 && elapsed < static_cast<uint32_t>(FDisconnectToConnectDelay)) {
    uint32_t wait = static_cast<uint32_t>(FDisconnectToConnectDelay) - elapsed;
    if (FShowTraffic) EmitTraffic(Format("Waiting TCP disconnect to connect delay %u ms", wait), toInfo);
    WaitInSteps(wait);
  }

  sockaddr_storage addr{};
  socklen_t addrLen;
  int family = FIPVersion == IPv6 ? AF_INET6 : AF_INET;
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(FPort));
    if (::inet_pton(AF_INET6, FIP.c_str(), &a->sin6_addr) != 1)
      throw EProtocolLayerTCPClient(Format("Illegal IPv6 address \"%s\"", FIP.c_str()));
    addrLen = sizeof(sockaddr_in6);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(FPort));
    if (::inet_pton(AF_INET, FIP.c_str(), &a->sin_addr) != 1)
      throw EProtocolLayerTCPClient(Format("Illegal IPv4 address \"%s\"", FIP.c_str()));
    addrLen = sizeof(sockaddr_in);
  }

  Info("Connecting");
  TUniqueFd sock(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!sock.Valid()) throw EProtocolLayerTCPClient(SystemErrorText(errno));
  int one = 1;
  ::setsockopt(sock.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  int rc = ::connect(sock.Get(), reinterpret_cast<sockaddr*>(&addr), addrLen);
  if (rc != 0 && errno != EINPROGRESS) throw EProtocolLayerTCPClient(SystemErrorText(errno));
  if (rc != 0) {
    pollfd p{sock.Get(), POLLOUT, 0};
    const int n = PollAbortable(p, FConnectTimeout > 0 ? FConnectTimeout : -1);
    if (n == 0) throw EProtocolLayerTCPClient("Connect timed out");
    int err = 0;
    socklen_t len = sizeof err;
    if (n < 0) err = errno;
    else ::getsockopt(sock.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) throw EProtocolLayerTCPClient(SystemErrorText(err));
  }
  FSocket = std::move(sock);
  FReader.Drop();
  if (FShowTraffic) {
    if (FIPVersion == IPv6)
      EmitTraffic(Format("Connected to [%s]:%d", FIP.c_str(), FPort), toInfo);
    else
      EmitTraffic(Format("Connected to %s:%d", FIP.c_str(), FPort), toInfo);
  }
}

void TProtocolLayerTCPClient::DropConnection() {
  FSocket.Reset();
  FReader.Drop();
  LastTCPDisconnectTick = GetTickCount32();
  Info("Disconnected");
}

void TProtocolLayerTCPClient::Disconnect() {
  FReader.Drop();
  if (!FSocket.Valid()) return;
  Info("Disconnecting");
  // An adopted connection belongs to whoever accepted it.
  if (!FAdopted) ::shutdown(FSocket.Get(), SHUT_RDWR);
  DropConnection();
}

bool TProtocolLayerTCPClient::IsConnected() {
  if (!FSocket.Valid()) return false;
  if (FReader.HasBuffered()) return true;
  pollfd p{FSocket.Get(), POLLIN, 0};
  int n = ::poll(&p, 1, 0);
  bool gone = false;
  if (n < 0) {
    gone = errno != EINTR;
  } else if (n > 0) {
    char c;
    ssize_t got = ::recv(FSocket.Get(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    // Bytes still waiting keep the connection usable even if the peer has
    // closed its side after sending them.
    if (got == 0) gone = true;
    else if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) gone = true;
  }
  if (gone) DropConnection();
  return !gone;
}

void TProtocolLayerTCPClient::Send(const PduStr& s) {
  if (!IsConnected()) NotConnected();
  if (FShowTraffic) EmitTraffic(s, toOutgoing);
  if (s.empty()) return;
  int err = WriteAll(FSocket.Get(), s);
  if (err != 0) {
    std::string text = SystemErrorText(err);
    DropConnection();
    throw EProtocolLayerTCPClient(text);
  }
}

PduStr TProtocolLayerTCPClient::Rec() {
  if (!IsConnected()) NotConnected();
  PduStr result;
  const TFrameDeadline deadline(FResponseTimeout);
  for (;;) {
    uint8_t b;
    int err = 0;
    // Without a frame check nothing tells a frame whole: what came before a
    // silence of the response timeout is the answer, as ever.
    const bool framed = static_cast<bool>(CheckFrameCompleteCallBack);
    const int left = framed ? std::min(deadline.LeftMs(result.size()), FResponseTimeout) : FResponseTimeout;
    TFdByteReader::TResult r = left > 0 || result.empty() ? FReader.ReadByte(FSocket.Get(), b, left, err)
                                                          : TFdByteReader::rTimeout;
    if (r == TFdByteReader::rTimeout) {
      // A silence ends the frame; only the frame's time running out while
      // bytes still come is the failure of a trickling line.
      if (result.empty() || !framed || left >= FResponseTimeout) break;
      // Half an answer is no answer. What may follow it is dropped before
      // the next request (ClearInputBuffer).
      if (FShowTraffic) EmitTraffic(result, toIncoming);
      deadline.RaiseIncomplete(result.size());
    }
    if (r != TFdByteReader::rByte) {
      // The partial answer is dropped; the connection is gone either way.
      std::string text = r == TFdByteReader::rClosed ? "Connection closed by peer" : SystemErrorText(err);
      DropConnection();
      throw EProtocolLayerTCPClient(text);
    }
    result += static_cast<char>(b);
    if (CheckFrameCompleteCallBack && CheckFrameCompleteCallBack(*this, result)) break;
    if (result.size() >= MaxAnswerLength) break;
    CheckUserAbort();
  }
  if (!result.empty() && FShowTraffic) EmitTraffic(result, toIncoming);
  return result;
}

PduStr TProtocolLayerTCPClient::SendRec(const PduStr& s) {
  if (!s.empty()) Send(s);
  return Rec();
}

void TProtocolLayerTCPClient::ClearInputBuffer() {
  FReader.Drop();
  if (!FSocket.Valid()) return;
  // A peer that keeps sending must not hold the caller here: the draining
  // stops after a bounded time, and an abort request ends it at once.
  constexpr uint32_t kMaxDrainMs = 500;
  const uint32_t started = GetTickCount32();
  for (;;) {
    uint8_t b;
    int err = 0;
    if (FReader.ReadByte(FSocket.Get(), b, 10, err) != TFdByteReader::rByte) break;
    CheckUserAbort();
    if (MillisecondsSince(started) >= kMaxDrainMs) break;
  }
  FReader.Drop();
}

namespace {
// A whole decimal integer with an optional sign, fitting in 32 bits.
bool ParseInt(const std::string& s, int& out) {
  if (s.empty()) return false;
  size_t i = 0;
  bool neg = false;
  if (s[0] == '+' || s[0] == '-') {
    neg = s[0] == '-';
    i = 1;
  }
  if (i >= s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (neg) v = -v;
  if (v > INT_MAX || v < INT_MIN) return false;
  out = static_cast<int>(v);
  return true;
}
}  // namespace

void TProtocolLayerTCPClient::SplitIPAddressAndPort(const std::string& Text, std::string& Address, int& Port,
                                                    bool& IsIPv4, bool& Error) {
  Error = true;
  Port = -1;
  Address.clear();
  if (Text.empty()) return;

  std::string addressText = Text;
  if (Text[0] == '[') {
    size_t close = Text.find(']');
    if (close == std::string::npos) return;
    // The character right after "]" is taken to be the colon.
    std::string portText = close + 2 < Text.size() ? Text.substr(close + 2) : std::string();
    if (!portText.empty() && !ParseInt(portText, Port)) return;
    addressText = Text.substr(1, close - 1);
  }

  in6_addr a6{};
  if (::inet_pton(AF_INET6, addressText.c_str(), &a6) == 1) {
    char buf[INET6_ADDRSTRLEN];
    Address = ::inet_ntop(AF_INET6, &a6, buf, sizeof buf);
    IsIPv4 = false;
    Error = false;
    return;
  }

  size_t colon = Text.find(':');
  if (colon != std::string::npos) {
    std::string portText = Text.substr(colon + 1);
    if (!portText.empty() && !ParseInt(portText, Port)) return;
    addressText = Text.substr(0, colon);
  } else {
    addressText = Text;
  }
  // inet_aton reads the classic forms: octal and hex parts, fewer than four parts.
  in_addr a4{};
  if (::inet_aton(addressText.c_str(), &a4) != 0) {
    char buf[INET_ADDRSTRLEN];
    Address = ::inet_ntop(AF_INET, &a4, buf, sizeof buf);
    IsIPv4 = true;
    Error = false;
  }
}

}  // namespace quillon
