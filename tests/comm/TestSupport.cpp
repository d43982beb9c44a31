#include "TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <fcntl.h>

#include "comm/HDLC.h"

namespace quillon::test {

PduStr Hex(const std::string& hex) { return TMisc::HexStrToByteStr(hex); }

TPtyMeter::TPtyMeter() {
  int master = -1, slave = -1;
  char name[256];
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  FMaster.Reset(master);
  FSlave.Reset(slave);
  FPath = name;
  // Raw on both sides from the start, so nothing the meter writes is echoed
  // back before the layer sets up the line.
  termios t{};
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
}

void TPtyMeter::Write(const PduStr& s) { WriteAll(FMaster.Get(), s); }

PduStr TPtyMeter::Read(size_t n, int timeoutMs) {
  PduStr r;
  uint8_t b;
  int err = 0;
  while (r.size() < n && FReader.ReadByte(FMaster.Get(), b, timeoutMs, err) == TFdByteReader::rByte)
    r += static_cast<char>(b);
  return r;
}

PduStr TPtyMeter::ReadFrame(int timeoutMs) {
  PduStr r;
  uint8_t b;
  int err = 0;
  while (FReader.ReadByte(FMaster.Get(), b, timeoutMs, err) == TFdByteReader::rByte) {
    r += static_cast<char>(b);
    if (TProtocolLayerHDLC::IsHDLCPdu(r)) break;
  }
  return r;
}

TFrame TPtyMeter::ExpectFrame(int timeoutMs) {
  PduStr raw = ReadFrame(timeoutMs);
  TFrame f;
  EXPECT_FALSE(raw.empty()) << "the meter got no frame";
  if (raw.empty()) return f;
  try {
    f.SetFromPduByteStr(raw);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "the meter got a bad frame " << TMisc::ByteStrToHexStr(raw) << ": " << e.what();
  }
  return f;
}

bool TPtyMeter::Silent(int timeoutMs) { return Read(1, timeoutMs).empty(); }

PduStr MeterFrame(TFrameKind kind, bool pf, uint8_t nr, uint8_t ns, const PduStr& info, bool segmented) {
  TFrame f;
  f.SetKind(kind);
  f.SrcAddress = {1, 0, 1};
  f.DstAddress = {16, 0, 1};
  f.PollFinal = pf;
  f.RSequenceNr = nr;
  f.SSequenceNr = ns;
  f.Segmented = segmented;
  f.FData = info;
  return f.GetPDUByteStr();
}

socklen_t LoopbackAddress(bool ipv6, int port, sockaddr_storage& a) {
  a = {};
  if (ipv6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof *a6;
  }
  auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
  a4->sin_family = AF_INET;
  a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a4->sin_port = htons(static_cast<uint16_t>(port));
  return sizeof *a4;
}

void SetUpHDLCStack(TProtocolLayerSerial& serial, TProtocolLayerHDLC& hdlc, const std::string& devicePath) {
  serial.Disconnect();
  serial.SetDevicePath(devicePath);
  serial.SetBaud(9600);
  serial.ResponseTimeout = 100;
  hdlc.SetSupportingLayer(serial.Name);
  hdlc.SetClientAddress(16);
  hdlc.SetServerAddressSize(1);
  hdlc.SetServerUpperAddress(1);
  hdlc.SetServerLowerAddress(0);
  hdlc.InformationFieldLength = 128;
  hdlc.InactivityTimeout = 0;
  hdlc.UIFrameLength = 128;
}

void SetUpWrapperStack(TProtocolLayerTCPClient& tcp, TProtocolLayerWrapper& w, int port, int32_t responseTimeoutMs) {
  tcp.Disconnect();
  tcp.SetResponseTimeout(responseTimeoutMs);
  tcp.SetDisconnectToConnectDelay(0);
  tcp.SetIPVersion(IPv4);
  tcp.SetIP("127.0.0.1");
  tcp.SetPort(port);
  w.SupportingLayer = tcp.Name;
  w.ClientAddress = 16;
  w.ServerAddress = 1;
  w.MinOutWPduFramesDelay = 0;
}

TTcpPeer::TTcpPeer(bool ipv6) {
  FListen.Reset(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  ::setsockopt(FListen.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage a{};
  socklen_t len = LoopbackAddress(ipv6, 0, a);
  if (::bind(FListen.Get(), reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(FListen.Get(), 4) != 0)
    throw std::runtime_error("cannot listen on loopback");
  ::getsockname(FListen.Get(), reinterpret_cast<sockaddr*>(&a), &len);
  FPort = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

TTcpPeer::~TTcpPeer() = default;

TUniqueFd TTcpPeer::Accept() {
  pollfd p{FListen.Get(), POLLIN, 0};
  if (::poll(&p, 1, 2000) <= 0) return TUniqueFd();
  return TUniqueFd(::accept4(FListen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

PduStr TTcpPeer::Read(int fd, size_t n, int timeoutMs) {
  PduStr r;
  while (r.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) break;
    char buf[4096];
    ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - r.size()), 0);
    if (got <= 0) break;
    r.append(buf, static_cast<size_t>(got));
  }
  return r;
}

void TTcpPeer::Write(int fd, const PduStr& s) { WriteAll(fd, s); }

}  // namespace quillon::test
