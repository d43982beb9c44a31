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

class TFaultProxy {
public:
  explicit TFaultProxy(int upstreamPort);
  ~TFaultProxy();
  TFaultProxy(const TFaultProxy&) = delete;
  TFaultProxy& operator=(const TFaultProxy&) = delete;

  int Port() const { return FFront.Port(); }
  // The meter's next answer gets `fault`. `arg` is the number of bytes kept
  // (Truncate) or the offset of the byte inverted (Corrupt).
  void Arm(TFault fault, size_t arg = 0);
  // Sends the answer a Hold kept back; returns once it is on its way.
  void ReleaseHeld();
  // Connections accepted from the client so far.
  int Connections() const { return FConnections.load(); }

private:
  void Run();
  void Relay(int client, int upstream);
  // Returns false when the connection pair is to be closed.
  bool PassAnswer(int client, PduStr chunk);

  int FUpstreamPort;
  TTcpPeer FFront;
  TUniqueFd FWakeRead, FWakeWrite;
  std::atomic<bool> FStop{false};
  std::atomic<int> FConnections{0};
  std::mutex FLock;
  std::condition_variable FChanged;
  TFault FArmed = TFault::None;
  size_t FArg = 0;
  PduStr FHeld;
  bool FReleaseRequested = false;
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
