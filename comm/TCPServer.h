// Byte layer for a meter that calls in: listens on a TCP port and serves one
// connection at a time on its own thread; that thread and the caller meet in
// two locked byte queues.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "comm/ByteCircularBuffer.h"
#include "comm/PosixIO.h"
#include "comm/ProtocolLayer.h"

namespace quillon {

class TProtocolLayerTCPServer : public TProtocolLayerAbstract {
public:
  TProtocolLayerTCPServer();
  ~TProtocolLayerTCPServer() override;

  // The server only answers whoever calls in; it neither connects nor
  // exchanges on its own. Calling these is a programming error.
  void Connect() override;
  PduStr SendRec(const PduStr& s) override;

  void Disconnect() override;
  bool IsConnected() override { return !IP().empty(); }
  void Send(const PduStr& s) override;
  PduStr Rec() override;
  // Empties InputBuffer.
  void ClearInputBuffer() override { InputBuffer.Clear(); }

  void StartListening();
  void StopListening();
  bool IsListening() const { return FListening.Valid(); }
  void DisconnectAllConnections();

  std::string IP() const;
  int32_t Port() const { return FPort; }
  void SetPort(int32_t v);
  // The port actually listened on (differs from Port when Port is 0).
  int32_t BoundPort() const { return FBoundPort; }

  std::atomic<bool> ShowTraffic{true};
  std::atomic<int32_t> ReceiveTimeout{0};
  // Step of the waits in Rec and Disconnect.
  uint32_t PollInterval = 500;
  // Upper bound of one answer (see the TCP client).
  size_t MaxAnswerLength = 1 << 20;

  TByteCircularBuffer InputBuffer;
  TByteCircularBuffer OutputBuffer;
  std::atomic<bool> DisconnectRequested{false};

private:
  void ConnectionThread();
  void AcceptPeer();
  void ServeConnection();
  void CloseConnection();

  int32_t FPort = 0;
  int32_t FBoundPort = 0;
  TUniqueFd FListening;
  TUniqueFd FConnection;  // guarded by FConnectionLock
  mutable std::mutex FConnectionLock;
  std::string FPeerIP;  // guarded by FConnectionLock
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

}  // namespace quillon
