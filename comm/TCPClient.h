// Byte layer over a TCP connection to a meter or gateway (IPv4 or IPv6).
#pragma once

#include <atomic>

#include "comm/PosixIO.h"
#include "comm/ProtocolLayer.h"

namespace quillon {

enum TIPVersion { IPv4, IPv6 };

// Tick of the last TCP disconnection in the process (0 at start); written by
// the TCP client and by the TCP server when its peer goes away.
extern std::atomic<uint32_t> LastTCPDisconnectTick;

class TProtocolLayerTCPClient : public TProtocolLayerAbstract {
public:
  TProtocolLayerTCPClient();
  ~TProtocolLayerTCPClient() override;

  void Connect() override;
  void Disconnect() override;
  PduStr SendRec(const PduStr& s) override;
  bool IsConnected() override;
  void Send(const PduStr& s) override;
  PduStr Rec() override;
  void ClearInputBuffer() override;

  // Takes over a connection the meter opened (TCallerConnection::Share):
  // the layer is then connected without dialling. A meter that called in
  // cannot be called back, so Connect does nothing while the connection is
  // up and fails once it is gone. Disconnect lets go of this descriptor
  // only, so that another session can run over the same connection; the
  // connection ends when its owner hangs up.
  void Adopt(TUniqueFd socket, const std::string& peer);
  bool Adopted() const { return FAdopted; }

  const std::string& IP() const { return FIP; }
  void SetIP(const std::string& v);
  int32_t Port() const { return FPort; }
  void SetPort(int32_t v);
  TIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIPVersion v);
  int32_t ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int32_t v);
  int32_t ResponseTimeout() const { return FResponseTimeout; }
  void SetResponseTimeout(int32_t v) { FResponseTimeout = v; }
  bool ShowTraffic() const { return FShowTraffic; }
  void SetShowTraffic(bool v) { FShowTraffic = v; }
  int32_t DisconnectToConnectDelay() const { return FDisconnectToConnectDelay; }
  void SetDisconnectToConnectDelay(int32_t v) { FDisconnectToConnectDelay = v; }
  // Upper bound of one answer: a peer that streams without ever completing a
  // frame cannot make the receive grow without limit.
  size_t MaxAnswerLength = 1 << 20;

  static void SplitIPAddressAndPort(const std::string& Text, std::string& Address, int& Port, bool& IsIPv4,
                                    bool& Error);

private:
  void CheckParameterChange(bool differs) const;
  [[noreturn]] void NotConnected() const;
  void Info(const char* text) const;
  // Closes the socket after the peer went away or the connection broke.
  void DropConnection();

  std::string FIP;
  int32_t FPort = 0;
  int32_t FConnectTimeout = 10000;
  int32_t FResponseTimeout = 3000;
  TIPVersion FIPVersion = IPv4;
  bool FShowTraffic = true;
  int32_t FDisconnectToConnectDelay = 0;
  TUniqueFd FSocket;
  TFdByteReader FReader;
  bool FAdopted = false;
  std::string FPeer;
};

}  // namespace quillon
