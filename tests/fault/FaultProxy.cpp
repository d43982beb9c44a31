#include "FaultProxy.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <termios.h>
#include <poll.h>
#include <sys/stat.h>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace quillon::test {

const char* FaultName(TFault f) {
  switch (f) {
    case TFault::None: return "none";
    case TFault::Drop: return "drop";
    case TFault::Hold: return "hold";
    case TFault::Truncate: return "truncate";
    case TFault::Duplicate: return "duplicate";
    case TFault::Corrupt: return "corrupt";
    case TFault::Reset: return "reset";
  }
  return "?";
}

namespace {

TUniqueFd ConnectLoopback(int port) {
  TUniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage a{};
  socklen_t len = LoopbackAddress(false, port, a);
  if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&a), len) != 0) return TUniqueFd();
  return s;
}

// The relay passes bytes, not text.
void MakeRaw(int fd) {
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
}

// Makes the peer of fd see a reset instead of an orderly close.
void CloseWithReset(TUniqueFd& fd) {
  linger l{1, 0};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  fd.Reset();
}

}  // namespace

TFaultRelay::TFaultRelay() {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  FWakeRead.Reset(p[0]);
  FWakeWrite.Reset(p[1]);
}

void TFaultRelay::Stop() {
  FStop = true;
  char c = 0;
  (void)!::write(FWakeWrite.Get(), &c, 1);
}

void TFaultRelay::Arm(TFault fault, size_t arg) {
  std::lock_guard<std::mutex> lock(FLock);
  FArmed = fault;
  FArg = arg;
}

void TFaultRelay::ReleaseHeld() {
  std::unique_lock<std::mutex> lock(FLock);
  FReleaseRequested = true;
  char c = 0;
  (void)!::write(FWakeWrite.Get(), &c, 1);
  FChanged.wait(lock, [this] { return !FReleaseRequested; });
}

bool TFaultRelay::Relay(int layerSide, int meterSide) {
  char buf[4096];
  while (!FStop) {
    pollfd p[3] = {{layerSide, POLLIN, 0}, {meterSide, POLLIN, 0}, {FWakeRead.Get(), POLLIN, 0}};
    if (::poll(p, 3, -1) < 0) return false;
    if (p[2].revents) {
      char c;
      (void)!::read(FWakeRead.Get(), &c, 1);
      std::lock_guard<std::mutex> lock(FLock);
      if (FReleaseRequested) {
        WriteAll(layerSide, FHeld);
        FHeld.clear();
        FReleaseRequested = false;
        FChanged.notify_all();
      }
    }
    if (p[0].revents) {
      ssize_t n = ::read(layerSide, buf, sizeof buf);
      if (n <= 0) return false;
      WriteAll(meterSide, PduStr(buf, static_cast<size_t>(n)));
    }
    if (p[1].revents) {
      ssize_t n = ::read(meterSide, buf, sizeof buf);
      if (n <= 0) return false;
      if (!PassAnswer(layerSide, PduStr(buf, static_cast<size_t>(n)))) return true;
    }
  }
  return false;
}

bool TFaultRelay::PassAnswer(int layerSide, PduStr chunk) {
  std::lock_guard<std::mutex> lock(FLock);
  TFault f = FArmed;
  FArmed = TFault::None;
  switch (f) {
    case TFault::None: break;
    case TFault::Drop: return true;
    case TFault::Hold: FHeld = chunk; return true;
    case TFault::Truncate: chunk.resize(std::min(chunk.size(), FArg)); break;
    case TFault::Duplicate: chunk += chunk; break;
    case TFault::Corrupt:
      if (FArg < chunk.size()) chunk[FArg] = static_cast<char>(~chunk[FArg]);
      break;
    case TFault::Reset: return false;
  }
  WriteAll(layerSide, chunk);
  return true;
}

// ------------------------------------------------------------------ TCP proxy

TFaultProxy::TFaultProxy(int upstreamPort) : FUpstreamPort(upstreamPort) {
  FThread = std::thread([this] {
    while (!FStop) {
      TUniqueFd client = FFront.Accept();
      if (!client.Valid() || FStop) continue;
      TUniqueFd upstream = ConnectLoopback(FUpstreamPort);
      if (!upstream.Valid()) continue;
      ++FConnections;
      if (Relay(client.Get(), upstream.Get())) CloseWithReset(client);
    }
  });
}

TFaultProxy::~TFaultProxy() {
  Stop();
  // Wakes the accept of the proxy thread, if it is waiting there.
  TUniqueFd wake = ConnectLoopback(Port());
  FThread.join();
}

// ---------------------------------------------------------- serial relay

TPtyFaultRelay::TPtyFaultRelay(const std::string& meterSlavePath) {
  char dir[] = "/tmp/quillon-line-XXXXXX";
  if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
  FDir = dir;
  FPath = FDir + "/line";
  FMeterSide.Reset(::open(meterSlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!FMeterSide.Valid()) throw std::runtime_error("cannot open the meter's line");
  MakeRaw(FMeterSide.Get());
  OpenLine();
  FThread = std::thread([this] {
    while (Relay(FMaster.Get(), FMeterSide.Get())) {
      // The new line is in place under Path() before the old one hangs up
      // (closing its master does that), so whoever reopens after the hang-up
      // finds the new line.
      TUniqueFd oldMaster = std::move(FMaster), oldSlave = std::move(FSlave);
      OpenLine();
      ++FHangUps;
    }
  });
}

void TPtyFaultRelay::OpenLine() {
  int master = -1, slave = -1;
  char name[256];
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  FMaster.Reset(master);
  FSlave.Reset(slave);  // kept open so that the master never sees a hang-up
  MakeRaw(slave);
  // The link is replaced in one step: the layer never finds the path missing.
  std::string next = FDir + "/next";
  ::unlink(next.c_str());
  if (::symlink(name, next.c_str()) != 0 || ::rename(next.c_str(), FPath.c_str()) != 0)
    throw std::runtime_error("cannot link the line");
}

TPtyFaultRelay::~TPtyFaultRelay() {
  Stop();
  FThread.join();
  ::unlink(FPath.c_str());
  ::rmdir(FDir.c_str());
}

// ------------------------------------------------------------ wrapper meter

TWrapperMeter::TWrapperMeter() {
  FThread = std::thread([this] {
    while (!FStop) {
      TUniqueFd c = FPeer.Accept();
      if (c.Valid() && !FStop) Serve(c.Get());
    }
  });
}

TWrapperMeter::~TWrapperMeter() {
  FStop = true;
  TUniqueFd wake = ConnectLoopback(Port());
  FThread.join();
}

void TWrapperMeter::Serve(int fd) {
  while (!FStop) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) == 0) continue;  // idle: look at FStop again
    PduStr header = TTcpPeer::Read(fd, 8);
    if (header.size() < 8) return;  // closed (or reset) by the proxy
    PduStr apdu = TTcpPeer::Read(fd, (static_cast<uint8_t>(header[6]) << 8) | static_cast<uint8_t>(header[7]));
    if (apdu.size() < 3) return;
    ++FAnswers;
    PduStr answer = Hex("C401") + apdu[2] + Hex("000901") + static_cast<char>(FAnswers);
    TTcpPeer::Write(fd, Hex("0001 0001 0010 0007") + answer);
  }
}

}  // namespace quillon::test
