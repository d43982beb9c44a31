// Fault injection between a transport layer and the meter it talks to: a
// loopback TCP proxy that passes the client's bytes on unchanged and applies
// one armed fault to the meter's next answer (drop, hold back, truncate,
// duplicate, corrupt one byte, or reset the connection), and a scripted
// wrapper meter behind it whose every answer names the request it answers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "comm/PosixIO.h"
#include "tests/comm/TestSupport.h"

namespace quillon::test {

enum class TFault { None, Drop, Hold, Truncate, Duplicate, Corrupt, Reset };

// Name of a fault for test traces.
const char* FaultName(TFault f);

// The relay between two descriptors: what the layer side sends passes on
// unchanged; the meter side's next chunk gets the armed fault.
class TFaultRelay {
public:
  TFaultRelay();
  virtual ~TFaultRelay() = default;
  TFaultRelay(const TFaultRelay&) = delete;
  TFaultRelay& operator=(const TFaultRelay&) = delete;

  // The meter's next answer gets `fault`. `arg` is the number of bytes kept
  // (Truncate) or the offset of the byte inverted (Corrupt).
  void Arm(TFault fault, size_t arg = 0);
  // Sends what a Hold kept back; returns once it is on its way.
  void ReleaseHeld();

protected:
  // Relays until a side closes, a Reset fires or Stop; true for a Reset.
  bool Relay(int layerSide, int meterSide);
  void Stop();
  std::atomic<bool> FStop{false};

private:
  // Returns false when the connection is to be reset.
  bool PassAnswer(int layerSide, PduStr chunk);
  TUniqueFd FWakeRead, FWakeWrite;
  std::mutex FLock;
  std::condition_variable FChanged;
  TFault FArmed = TFault::None;
  size_t FArg = 0;
  PduStr FHeld;
  bool FReleaseRequested = false;
};

// A loopback TCP proxy in front of a meter's port; Reset closes the client's
// connection with a reset, and the proxy takes the next one.
class TFaultProxy : public TFaultRelay {
public:
  explicit TFaultProxy(int upstreamPort);
  ~TFaultProxy() override;
  int Port() const { return FFront.Port(); }
  // Connections accepted from the client so far.
  int Connections() const { return FConnections.load(); }

private:
  int FUpstreamPort;
  TTcpPeer FFront;
  std::atomic<int> FConnections{0};
  std::thread FThread;
};

// A serial line with a relay in it: the layer opens Path(), the meter sits on
// the far end of the pseudo-terminal given to the constructor. Reset hangs
// the line up the way an unplugged adapter does: the layer's open descriptor
// is dead from then on, and a new line appears under the same Path() (a
// symbolic link), as the adapter would when plugged in again.
class TPtyFaultRelay : public TFaultRelay {
public:
  explicit TPtyFaultRelay(const std::string& meterSlavePath);
  ~TPtyFaultRelay() override;
  const std::string& Path() const { return FPath; }
  // Hang-ups so far.
  int HangUps() const { return FHangUps.load(); }

private:
  void OpenLine();
  TUniqueFd FMaster, FSlave, FMeterSide;
  std::string FDir, FPath;
  std::atomic<int> FHangUps{0};
  std::thread FThread;
};

// A wrapper meter (port 1, answering client port 16) on loopback. It accepts
// connection after connection; to each request whose APDU is C0 01 <id> ...
// it answers the GetResponseNormal C4 01 <id> 00 09 01 <n>, n counting the
// answers it sent.
class TWrapperMeter {
public:
  TWrapperMeter();
  ~TWrapperMeter();
  int Port() const { return FPeer.Port(); }

private:
  void Serve(int fd);
  TTcpPeer FPeer;
  std::atomic<bool> FStop{false};
  int FAnswers = 0;
  std::thread FThread;
};

}  // namespace quillon::test
