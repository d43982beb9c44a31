// The simulated meter's link layers: the DLMS wrapper over TCP and the HDLC
// secondary station over TCP or a serial line (a pseudo-terminal in tests).
#pragma once

#include <atomic>
#include <cstdint>
#include <chrono>
#include <functional>
#include <string>

#include "comm/HDLCFrame.h"
#include "tools/meter-sim/SimAssociation.h"

namespace quillon::sim {

using TTrafficLog = std::function<void(const std::string&)>;

// A file descriptor the simulator reads and writes: an accepted socket or a
// pseudo-terminal master. Owns the descriptor.
class TSimLink {
public:
  explicit TSimLink(int fd) : FFd(fd) {}
  ~TSimLink();
  TSimLink(const TSimLink&) = delete;
  TSimLink& operator=(const TSimLink&) = delete;

  // One byte within timeoutMs; false on timeout. Throws when the peer closed.
  bool ReadByte(uint8_t& b, int timeoutMs);
  // Exactly n bytes, each within timeoutMs of the previous one.
  bool ReadExact(PduStr& out, size_t n, int timeoutMs);
  void Write(const PduStr& bytes);
  int Fd() const { return FFd; }
  // The first write on this link waits this long (a slow modem's first answer).
  void SetFirstWriteDelay(int ms) { FFirstWriteDelayMs = ms; }
  // A connection that has sent nothing for this long is closed (0: never),
  // as a meter's TCP setup closes an idle one: a client that connects and
  // says nothing must not keep the meter from everyone else.
  void SetInactivityTimeout(int ms) { FInactivityTimeoutMs = ms; }
  // Nothing was received for the inactivity timeout; said in the log once.
  bool Idle(const std::function<void(const std::string&)>& log) const;

private:
  int FFd;
  int FFirstWriteDelayMs = 0;
  int FInactivityTimeoutMs = 0;
  std::chrono::steady_clock::time_point FLastHeard = std::chrono::steady_clock::now();
  uint8_t FBuf[4096];
  size_t FLen = 0, FPos = 0;
};

class EPeerClosed : public EGeneralError {
public:
  EPeerClosed() : EGeneralError("peer closed the connection") {}
};

struct THdlcSettings {
  int ServerUpper = 1;       // logical device address
  int ServerLower = 17;      // physical device address; 0 or less: one-part address
  int MaxInfoLength = 128;   // largest information field we send and take
  int InterFrameTimeoutMs = 2000;
  // Information fields the meter really takes (0: what it announces); longer
  // I frames are lost, as on meters that announce more than their buffer.
  int TakenInfoLength = 0;
  // IEC 62056-21 mode E: the line starts at 300 baud and waits for the
  // sign-on; the meter answers with its identification offering ModeEBaudId
  // ("0" 300 ... "6" 19200 baud), and after the acknowledgement for HDLC the
  // link speaks HDLC until a DISC, when it waits for the sign-on again.
  bool ModeE = false;
  char ModeEBaudId = '6';
  // Set the line speed of a real serial device on the changeover (a
  // pseudo-terminal has none).
  bool SetLineSpeed = false;
};

// The meter's own HDLC address as it goes on the line.
TFrameAddress ServerFrameAddress(const THdlcSettings& settings);

// Serves one link until the peer goes or stop is set. The association is
// reset when the link ends.
void ServeWrapper(TSimLink& link, TSimAssociation& assoc, const std::atomic<bool>& stop, const TTrafficLog& log);
void ServeHdlc(TSimLink& link, TSimAssociation& assoc, const THdlcSettings& settings, const std::atomic<bool>& stop,
               const TTrafficLog& log);

// Listening socket on a loopback (or given) address; port 0 picks a free one.
class TSimListener {
public:
  TSimListener(const std::string& address, int port);
  ~TSimListener();
  int Port() const { return FPort; }
  // A connected socket, or -1 when nothing arrived within timeoutMs.
  int Accept(int timeoutMs);

private:
  int FFd = -1;
  int FPort = 0;
};

// Opens a pseudo-terminal pair in raw mode; returns the master descriptor
// and the slave's path.
int OpenPseudoTerminal(std::string& slavePath);

}  // namespace quillon::sim
