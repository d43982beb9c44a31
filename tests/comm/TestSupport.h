// Shared pieces of the transport tests: a log window that records what it is
// given, a pseudo-terminal pair with a scripted meter on its far end, and a
// scripted TCP peer on loopback.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/HDLC.h"
#include "comm/HDLCFrame.h"
#include "comm/PosixIO.h"
#include "comm/ProtocolLayer.h"
#include "comm/Serial.h"
#include "comm/TCPClient.h"
#include "comm/Wrapper.h"

namespace quillon::test {

struct TLoggedLine {
  enum TKind { Received, Sent, Info } Kind;
  std::string Text;
  bool BinaryData;
  std::string Prefix;
};

// Delivers on the calling thread, one event at a time, and keeps every line.
class TRecordingSink : public TTrafficSink {
public:
  TRecordingSink() { TrafficWindowManager().SetSink(this); }
  ~TRecordingSink() override { TrafficWindowManager().SetSink(nullptr); }
  void Deliver(const std::function<void()>& handler) override {
    std::lock_guard<std::mutex> lock(FLock);
    handler();
  }
  void DataReceived(const PduStr& s, bool binary, const std::string& prefix) override {
    Lines.push_back({TLoggedLine::Received, s, binary, prefix});
  }
  void DataSent(const PduStr& s, bool binary, const std::string& prefix) override {
    Lines.push_back({TLoggedLine::Sent, s, binary, prefix});
  }
  void Info(const std::string& s, const std::string& prefix) override {
    Lines.push_back({TLoggedLine::Info, s, true, prefix});
  }
  std::vector<std::string> Infos() {
    std::lock_guard<std::mutex> lock(FLock);
    std::vector<std::string> r;
    for (const auto& l : Lines)
      if (l.Kind == TLoggedLine::Info) r.push_back(l.Text);
    return r;
  }
  std::vector<TLoggedLine> Snapshot() {
    std::lock_guard<std::mutex> lock(FLock);
    return Lines;
  }

  std::vector<TLoggedLine> Lines;

private:
  std::mutex FLock;
};

// Runs a script on its own thread and joins it on destruction.
class TScript {
public:
  TScript() = default;
  explicit TScript(std::function<void()> body) : FThread(std::move(body)) {}
  TScript(TScript&&) = default;
  TScript& operator=(TScript&& o) {
    Join();
    FThread = std::move(o.FThread);
    return *this;
  }
  ~TScript() { Join(); }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }

private:
  std::thread FThread;
};

// The far end of a serial line: reads and writes raw bytes on the master side
// of a pseudo-terminal whose slave the layer under test opens by path.
class TPtyMeter {
public:
  TPtyMeter();
  const std::string& Path() const { return FPath; }
  int Fd() const { return FMaster.Get(); }

  void Write(const PduStr& s);
  // Bytes until `n` arrived or the line stayed silent for timeoutMs.
  PduStr Read(size_t n, int timeoutMs = 2000);
  // One HDLC frame (complete by its length field), or what came before silence.
  PduStr ReadFrame(int timeoutMs = 2000);
  // Decodes the next frame; a test failure when none or a bad one came.
  TFrame ExpectFrame(int timeoutMs = 2000);
  // True when nothing arrives within timeoutMs.
  bool Silent(int timeoutMs);

private:
  TUniqueFd FMaster;
  TUniqueFd FSlave;  // kept open so that the master never sees a hang-up
  std::string FPath;
  TFdByteReader FReader;
};

// A frame from the meter (server address 1, one byte) to the client 16.
PduStr MeterFrame(TFrameKind kind, bool pf, uint8_t nr = 0, uint8_t ns = 0, const PduStr& info = PduStr(),
                  bool segmented = false);

// A TCP peer on loopback: listens on an ephemeral port of 127.0.0.1 or ::1
// and runs `script` with each accepted connection.
class TTcpPeer {
public:
  explicit TTcpPeer(bool ipv6 = false);
  ~TTcpPeer();
  int Port() const { return FPort; }
  // Accepts one connection (waiting up to 2 s) and returns its descriptor.
  TUniqueFd Accept();
  static PduStr Read(int fd, size_t n, int timeoutMs = 2000);
  static void Write(int fd, const PduStr& s);

private:
  TUniqueFd FListen;
  int FPort = 0;
};

PduStr Hex(const std::string& hex);

// The HDLC stack the tests drive: the layer on `serial` (opened at
// devicePath, 9600 Bd, 100 ms response timeout), client 16, one-byte server
// address 1, 128-byte information fields, no inactivity timeout.
void SetUpHDLCStack(TProtocolLayerSerial& serial, TProtocolLayerHDLC& hdlc, const std::string& devicePath);
// The wrapper stack the tests drive: the wrapper (client 16, server 1, no
// delay between frames) on `tcp`, which reaches 127.0.0.1:port.
void SetUpWrapperStack(TProtocolLayerTCPClient& tcp, TProtocolLayerWrapper& w, int port, int32_t responseTimeoutMs);

// The call fails with an E carrying exactly `message`.
template <class E, class F>
void ExpectError(F&& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no error, expected: " << message;
  } catch (const E& e) {
    EXPECT_EQ(e.what(), message);
  }
}

// Loopback address (127.0.0.1 or ::1) with a port; returns its length.
socklen_t LoopbackAddress(bool ipv6, int port, sockaddr_storage& a);

}  // namespace quillon::test
