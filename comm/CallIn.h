// Meters that call in: a listening socket on [HOST:]PORT that hands over
// the connections meters open, each with the address it came from. The
// TCP byte layer then takes a connection over (TProtocolLayerTCPClient::
// Adopt) and the wrapper or HDLC layer runs over it as over a dialled one.
#pragma once

#include <memory>
#include <string>

#include "comm/PosixIO.h"

namespace quillon {

// A connection a meter opened. Several sessions may run over it one after
// the other (the head end identifies the meter through one association and
// reads it through another); each layer that takes it over gets its own
// descriptor of the same connection, which stays up until this one goes.
class TCallerConnection {
public:
  TCallerConnection(TUniqueFd socket, std::string peer) : FSocket(std::move(socket)), FPeer(std::move(peer)) {}
  // "192.0.2.7:40001", "[2001:db8::7]:40001"
  const std::string& Peer() const { return FPeer; }
  int Fd() const { return FSocket.Get(); }
  // A descriptor of its own for one layer (invalid when the system has none left).
  TUniqueFd Share() const;
  // Ends the connection for every layer over it.
  void HangUp();

private:
  TUniqueFd FSocket;
  std::string FPeer;
};

class TCallInListener {
public:
  // Listens on `host` (empty: every local address, IPv6 and IPv4) and
  // `port` (0: a free one). Fails with EProtocolLayerTCPServer naming the
  // address and the reason.
  // `backlog`: calls the kernel holds before they are accepted (a fleet woken at once calls at once).
  TCallInListener(const std::string& host, int port, int backlog = 4096);
  int Port() const { return FPort; }
  int Fd() const { return FSocket.Get(); }
  // The next meter that calls within `timeoutMs` (negative: no limit), or
  // nullptr. The wait ends on an abort request (CheckUserAbort: EUserAbort).
  std::unique_ptr<TCallerConnection> Accept(int timeoutMs);
  // A connection already waiting, without waiting; nullptr when there is
  // none. `error` gets errno when accepting failed for want of resources.
  std::unique_ptr<TCallerConnection> AcceptWaiting(int* error = nullptr);

private:
  TUniqueFd FSocket;
  int FPort = 0;
};

// "Waiting for a meter on port 4059..." and "Meter connected from 192.0.2.7:40001".
std::string WaitingForMeterText(int port);
std::string MeterConnectedText(const std::string& peer);

}  // namespace quillon
