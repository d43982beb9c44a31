#include "tools/meter-sim/SimTransport.h"

#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "comm/HDLCFrame.h"

namespace quillon::sim {

// ------------------------------------------------------------------ TSimLink

TSimLink::~TSimLink() {
  if (FFd >= 0) ::close(FFd);
}

bool TSimLink::Idle(const std::function<void(const std::string&)>& log) const {
  if (FInactivityTimeoutMs <= 0 || std::chrono::steady_clock::now() - FLastHeard < std::chrono::milliseconds(FInactivityTimeoutMs))
    return false;
  if (log) log(Format("inactivity timeout: nothing received for %d s, connection closed", FInactivityTimeoutMs / 1000));
  return true;
}

bool TSimLink::ReadByte(uint8_t& b, int timeoutMs) {
  if (FPos < FLen) {
    b = FBuf[FPos++];
    return true;
  }
  pollfd p{FFd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  if (r < 0) throw EPeerClosed();
  ssize_t n;
  do {
    n = ::read(FFd, FBuf, sizeof FBuf);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    // A pseudo-terminal whose slave is not open reports EIO: no peer yet.
    if (n < 0 && errno == EIO) {
      ::usleep(static_cast<useconds_t>(std::min(timeoutMs, 50)) * 1000);
      return false;
    }
    throw EPeerClosed();
  }
  FLastHeard = std::chrono::steady_clock::now();
  FLen = static_cast<size_t>(n);
  FPos = 0;
  b = FBuf[FPos++];
  return true;
}

bool TSimLink::ReadExact(PduStr& out, size_t n, int timeoutMs) {
  out.clear();
  while (out.size() < n) {
    uint8_t b;
    if (!ReadByte(b, timeoutMs)) return false;
    out += static_cast<char>(b);
  }
  return true;
}

void TSimLink::Write(const PduStr& bytes) {
  if (FFirstWriteDelayMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(FFirstWriteDelayMs));
    FFirstWriteDelayMs = 0;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(FFd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EPeerClosed();
    done += static_cast<size_t>(n);
  }
}

// ------------------------------------------------------------------ wrapper

void ServeWrapper(TSimLink& link, TSimAssociation& assoc, const std::atomic<bool>& stop, const TTrafficLog& log) {
  auto u16 = [](const PduStr& s, size_t i) {
    return static_cast<uint16_t>((static_cast<uint8_t>(s[i]) << 8) | static_cast<uint8_t>(s[i + 1]));
  };
  try {
    while (!stop) {
      uint8_t first;
      if (!link.ReadByte(first, 200)) {
        if (link.Idle(log)) break;
        continue;
      }
      PduStr rest;
      if (!link.ReadExact(rest, 7, 5000)) break;
      PduStr header = PduStr(1, static_cast<char>(first)) + rest;
      uint16_t version = u16(header, 0), src = u16(header, 2), dst = u16(header, 4), len = u16(header, 6);
      if (version != 1) {
        if (log) log("wrapper: version " + std::to_string(version) + ", closing");
        break;
      }
      PduStr apdu;
      if (!link.ReadExact(apdu, len, 5000)) break;
      if (log) log(Format("RX wrapper %d->%d: %s", src, dst, TMisc::ByteStrToSpacedHexStr(apdu).c_str()));
      PduStr resp = assoc.Handle(src, apdu, dst);
      if (resp.empty()) continue;
      PduStr out;
      auto put16 = [&](uint16_t v) {
        out += static_cast<char>(v >> 8);
        out += static_cast<char>(v & 0xFF);
      };
      put16(1);
      put16(dst);
      put16(src);
      put16(static_cast<uint16_t>(resp.size()));
      out += resp;
      if (log) log(Format("TX wrapper %d->%d: %s", dst, src, TMisc::ByteStrToSpacedHexStr(resp).c_str()));
      link.Write(out);
    }
  } catch (const EPeerClosed&) {
  }
  assoc.Reset();
}

// --------------------------------------------------------------------- HDLC

namespace {

enum TReadResult { rrNothing, rrFrame, rrSignOn };

// One frame: opening flag, the frame format field whose 11-bit length counts
// the bytes up to the closing flag, and the flag. The contents are not
// byte-stuffed, so a 7E inside a frame is data; only the length delimits it.
// Returns rrNothing when the link stays idle or a frame breaks off; with
// signOn, a "/" (with or without its parity bit) between frames is the start
// of a mode E sign-on, and returns rrSignOn.
TReadResult ReadFrame(TSimLink& link, PduStr& frame, int timeoutMs, int interFrameMs, bool signOn) {
  uint8_t b;
  do {
    if (!link.ReadByte(b, timeoutMs)) return rrNothing;
    if (signOn && (b & 0x7F) == '/') return rrSignOn;
  } while (b != 0x7E);
  uint8_t f1;
  // A closing flag may be followed by the next frame's opening flag.
  do {
    if (!link.ReadByte(f1, interFrameMs)) return rrNothing;
  } while (f1 == 0x7E);
  uint8_t f2;
  if (!link.ReadByte(f2, interFrameMs)) return rrNothing;
  size_t length = static_cast<size_t>(((f1 & 0x07) << 8) | f2);
  frame.assign(1, '\x7E');
  frame += static_cast<char>(f1);
  frame += static_cast<char>(f2);
  if (length < 2) return rrFrame;  // let the frame decoder report it
  PduStr rest;
  if (!link.ReadExact(rest, length - 2 + 1, interFrameMs)) return rrNothing;
  frame += rest;
  return rrFrame;
}

// Mode E characters travel as 7 data bits with even parity.
PduStr WithEvenParity(const std::string& text) {
  PduStr out;
  for (char c : text) {
    uint8_t b = static_cast<uint8_t>(c) & 0x7F;
    if (__builtin_popcount(b) & 1) b |= 0x80;
    out += static_cast<char>(b);
  }
  return out;
}

// One line of a mode E exchange (up to and with its line feed), parity
// removed; false when the line stays silent or the line grows too long.
bool ReadModeELine(TSimLink& link, std::string& line, int timeoutMs) {
  while (line.size() < 128) {
    uint8_t b;
    if (!link.ReadByte(b, timeoutMs)) return false;
    line += static_cast<char>(b & 0x7F);
    if (line.back() == '\n') return true;
  }
  return false;
}

std::string Printable(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "<CR>";
    else if (c == '\n') out += "<LF>";
    else if (c == '\x06') out += "<ACK>";
    else if (c < 0x20 || c == 0x7F) out += Format("<%02X>", static_cast<unsigned>(static_cast<uint8_t>(c)));
    else out += c;
  }
  return out;
}

void SetSpeed(TSimLink& link, int baud) {
  static const struct {
    int Baud;
    speed_t Speed;
  } kSpeeds[] = {{300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200}};
  termios t{};
  if (::tcgetattr(link.Fd(), &t) != 0) return;
  for (const auto& s : kSpeeds)
    if (s.Baud == baud) {
      ::cfsetspeed(&t, s.Speed);
      ::tcsetattr(link.Fd(), TCSADRAIN, &t);
    }
}

// The rest of a mode E opening whose "/" has arrived: the sign-on line,
// our identification, the client's acknowledgement. True when the client
// chose HDLC.
bool ModeEOpening(TSimLink& link, const THdlcSettings& settings, const TTrafficLog& log) {
  std::string signOn = "/";
  if (!ReadModeELine(link, signOn, 1500) || signOn.size() < 5 || signOn.compare(0, 2, "/?") != 0 ||
      signOn.compare(signOn.size() - 3, 3, "!\r\n") != 0) {
    if (log) log("mode E: no sign-on: " + Printable(signOn));
    return false;
  }
  if (log) log("mode E: RX " + Printable(signOn));
  std::string id = std::string("/QSM") + settings.ModeEBaudId + "QuillonSim\r\n";
  if (log) log("mode E: TX " + Printable(id));
  link.Write(WithEvenParity(id));
  std::string ack;
  if (!ReadModeELine(link, ack, 3000)) {
    if (log) log("mode E: no acknowledgement");
    return false;
  }
  if (log) log("mode E: RX " + Printable(ack));
  // ACK, protocol control "2" (HDLC), the chosen speed, mode "2" (binary).
  if (ack.size() != 6 || ack[0] != '\x06' || ack[1] != '2' || ack[2] < '0' || ack[2] > settings.ModeEBaudId ||
      ack[3] != '2' || ack[4] != '\r') {
    if (log) log("mode E: not an acknowledgement for HDLC, back to waiting");
    return false;
  }
  static const int kBaud[] = {300, 600, 1200, 2400, 4800, 9600, 19200};
  int baud = kBaud[ack[2] - '0'];
  if (settings.SetLineSpeed) {
    ::usleep(200 * 1000);  // the acknowledgement leaves the line before the speed changes
    SetSpeed(link, baud);
  }
  if (log) log(Format("mode E: HDLC at %d baud", baud));
  return true;
}

PduStr UAParameters(int maxInfo) {
  PduStr p;
  auto param = [&](uint8_t id, uint32_t v, int bytes) {
    p += static_cast<char>(id);
    p += static_cast<char>(bytes);
    for (int i = bytes - 1; i >= 0; --i) p += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  param(0x05, static_cast<uint32_t>(maxInfo), maxInfo > 255 ? 2 : 1);
  param(0x06, static_cast<uint32_t>(maxInfo), maxInfo > 255 ? 2 : 1);
  param(0x07, 1, 4);
  param(0x08, 1, 4);
  PduStr info = "\x81\x80";
  info += static_cast<char>(p.size());
  return info + p;
}

}  // namespace

TFrameAddress ServerFrameAddress(const THdlcSettings& settings) {
  TFrameAddress a;
  a.FUpper = static_cast<uint16_t>(settings.ServerUpper);
  a.FLower = static_cast<uint16_t>(settings.ServerLower > 0 ? settings.ServerLower : 0);
  a.FSize = settings.ServerLower > 0 ? 2 : 1;
  if (settings.ServerUpper > 127 || settings.ServerLower > 127) a.FSize = settings.ServerLower > 0 ? 4 : 2;
  return a;
}

void ServeHdlc(TSimLink& link, TSimAssociation& assoc, const THdlcSettings& settings, const std::atomic<bool>& stop,
               const TTrafficLog& log) {
  bool connected = false;
  uint8_t vs = 0, vr = 0;
  int txMax = settings.MaxInfoLength, rxMax = settings.MaxInfoLength;
  PduStr incoming, outgoing;
  size_t outPos = 0;
  TFrameAddress client;

  auto reply = [&](TFrame& f) {
    f.DstAddress = client;
    f.SrcAddress = ServerFrameAddress(settings);
    PduStr bytes = f.GetPDUByteStr();
    if (log) log("TX HDLC " + TMisc::ByteStrToSpacedHexStr(bytes));
    link.Write(bytes);
  };
  // RR (with our receive sequence number) or DM, as the final answer.
  auto sendSupervisory = [&](TFrameKind kind) {
    TFrame f;
    f.SetKind(kind);
    f.RSequenceNr = vr;
    f.PollFinal = true;
    reply(f);
  };
  auto sendNextSegment = [&]() {
    TFrame f;
    f.SetKind(fkI);
    size_t n = std::min(outgoing.size() - outPos, static_cast<size_t>(txMax));
    f.FData = outgoing.substr(outPos, n);
    outPos += n;
    f.Segmented = outPos < outgoing.size();
    f.SSequenceNr = vs;
    f.RSequenceNr = vr;
    f.PollFinal = true;
    vs = static_cast<uint8_t>((vs + 1) & 7);
    if (!f.Segmented) {
      outgoing.clear();
      outPos = 0;
    }
    reply(f);
  };

  // In mode E the line speaks HDLC only after an opening.
  bool hdlcMode = !settings.ModeE;
  auto backToModeE = [&]() {
    if (!settings.ModeE) return;
    hdlcMode = false;
    if (settings.SetLineSpeed) SetSpeed(link, 300);
  };
  backToModeE();

  try {
    while (!stop) {
      PduStr raw;
      TReadResult got = ReadFrame(link, raw, 200, settings.InterFrameTimeoutMs, settings.ModeE && !connected);
      if (got == rrSignOn) {
        // A sign-on ends whatever link there was.
        connected = false;
        assoc.Reset();
        backToModeE();
        hdlcMode = ModeEOpening(link, settings, log);
        continue;
      }
      if (got == rrNothing) {
        if (link.Idle(log)) break;
        continue;
      }
      if (!hdlcMode) {
        if (log) log("mode E: HDLC frame before the opening, ignored");
        continue;
      }
      if (log) log("RX HDLC " + TMisc::ByteStrToSpacedHexStr(raw));
      TFrame in;
      try {
        in.SetFromPduByteStr(raw);
      } catch (const std::exception& e) {
        if (log) log(std::string("HDLC frame dropped: ") + e.what());
        continue;  // a secondary station stays silent on a bad frame
      }
      if (in.DstAddress.FUpper != settings.ServerUpper ||
          (settings.ServerLower > 0 && in.DstAddress.FLower != settings.ServerLower))
        continue;  // not for us
      client = in.SrcAddress;
      switch (in.Kind()) {
        case fkSNRM: {
          if (!in.FData.empty()) {
            try {
              TUAParameters p = CheckUAParameters(in.FData);
              // The client's receive limit is what we may send, and the other way round.
              for (auto& [id, v] : p.Present) {
                if (id == 0x05) rxMax = std::min(settings.MaxInfoLength, static_cast<int>(v));
                if (id == 0x06) txMax = std::min(settings.MaxInfoLength, static_cast<int>(v));
              }
            } catch (const std::exception&) {
              sendSupervisory(fkDM);
              continue;
            }
          }
          connected = true;
          vs = vr = 0;
          incoming.clear();
          outgoing.clear();
          outPos = 0;
          assoc.Reset();
          TFrame ua;
          ua.SetKind(fkUA);
          ua.PollFinal = true;
          ua.FData = UAParameters(std::min(txMax, rxMax));
          reply(ua);
          break;
        }
        case fkDISC: {
          TFrame r;
          r.SetKind(connected ? fkUA : fkDM);
          r.PollFinal = true;
          connected = false;
          assoc.Reset();
          reply(r);
          backToModeE();
          break;
        }
        case fkRR: {
          if (!connected) break;
          if (!outgoing.empty()) {
            sendNextSegment();
          } else {
            sendSupervisory(fkRR);
          }
          break;
        }
        case fkI: {
          if (!connected) {
            sendSupervisory(fkDM);
            break;
          }
          if (settings.TakenInfoLength > 0 && static_cast<int>(in.FData.size()) > settings.TakenInfoLength) {
            // A receive buffer smaller than the meter announces: the frame is lost.
            if (log) log(Format("I frame of %d bytes dropped", static_cast<int>(in.FData.size())));
            break;
          }
          if (in.SSequenceNr != vr) {
            // Repeated or lost frame: ask again for the one we expect.
            sendSupervisory(fkRR);
            break;
          }
          vr = static_cast<uint8_t>((vr + 1) & 7);
          incoming += in.FData;
          if (in.Segmented) {
            sendSupervisory(fkRR);
            break;
          }
          PduStr info = std::move(incoming);
          incoming.clear();
          // LLC header E6 E6 00 before the APDU. Without it the request is
          // as undecodable as a broken APDU, and is answered the same way.
          PduStr resp;
          if (info.size() < 3 || static_cast<uint8_t>(info[0]) != 0xE6 || static_cast<uint8_t>(info[1]) != 0xE6) {
            if (log) log("HDLC: LLC header missing");
            resp = TSimServer::ExceptionResponse(2 /* ServiceUnknown */, 2 /* ServiceNotSupported */);
          } else {
            resp = assoc.Handle(client.FUpper, info.substr(3), settings.ServerUpper);
          }
          if (resp.empty()) {
            sendSupervisory(fkRR);
            break;
          }
          outgoing = PduStr("\xE6\xE7\x00", 3) + resp;
          outPos = 0;
          sendNextSegment();
          break;
        }
        default:
          break;
      }
    }
  } catch (const EPeerClosed&) {
  }
  assoc.Reset();
}

// ---------------------------------------------------------------- listener

TSimListener::TSimListener(const std::string& address, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
  addrinfo* res = nullptr;
  std::string portText = std::to_string(port);
  if (getaddrinfo(address.c_str(), portText.c_str(), &hints, &res) != 0 || !res)
    RaiseGeneral(Format("Cannot resolve listening address %s", address.c_str()));
  FFd = ::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (FFd >= 0) ::setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (FFd < 0 || ::bind(FFd, res->ai_addr, res->ai_addrlen) != 0 || ::listen(FFd, 4) != 0) {
    int err = errno;
    freeaddrinfo(res);
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
    RaiseGeneral(Format("Cannot listen on %s port %d: %s", address.c_str(), port, std::strerror(err)));
  }
  freeaddrinfo(res);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  ::getsockname(FFd, reinterpret_cast<sockaddr*>(&ss), &len);
  FPort = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

TSimListener::~TSimListener() {
  if (FFd >= 0) ::close(FFd);
}

int TSimListener::Accept(int timeoutMs) {
  pollfd p{FFd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return -1;
  int fd = ::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

int OpenPseudoTerminal(std::string& slavePath) {
  int master = -1, slave = -1;
  char name[256] = {0};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) RaiseGeneral("Cannot open a pseudo-terminal");
  termios t{};
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  ::tcgetattr(master, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(master, TCSANOW, &t);
  // Keep the slave open ourselves so the master does not report EIO between
  // clients; the client opens the path on its own.
  (void)slave;
  slavePath = name;
  return master;
}

}  // namespace quillon::sim
