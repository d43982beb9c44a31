// A serial line that only listens: a meter's customer port (HAN, P1, M-Bus
// user port) sends on its own and must never be sent anything, so the
// device is opened read-only. An adapter pulled out and put back, or a
// line that hangs up, costs the bytes in flight and nothing more: the port
// is closed and opened again, first soon, then less and less often.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "comm/PosixIO.h"

namespace quillon {

class TSerialInput {
public:
  using TClock = std::chrono::steady_clock;
  using TSink = std::function<void(const std::string&)>;
  // 8 data bits, even parity or none, one stop bit; `baud` one of IsSerialBaud's.
  TSerialInput(std::string device, int baud, bool evenParity) : FDevice(std::move(device)), FBaud(baud), FEven(evenParity) {}

  // The first opening: throws EProtocolLayerSerial naming the device and the
  // reason when it cannot be opened or set up.
  void Open();
  const std::string& Device() const { return FDevice; }
  // The descriptor to poll for input; -1 while the port is lost.
  int Fd() const { return FFd.Get(); }
  // After poll said something of Fd() (its revents): appends what came to
  // `bytes`. A read error or a hang-up closes the port, says so in one line
  // and schedules the reopening; false then.
  bool Read(short revents, std::string& bytes);
  // A lost port whose time has come is opened again (one line when it is);
  // true when it opened now.
  bool Tend(TClock::time_point now);
  // Lines: lost, open again.
  TSink OnLine;

  // First retry after a loss, and the most the retries are apart.
  static constexpr std::chrono::milliseconds kFirstRetry{250};
  static constexpr std::chrono::milliseconds kMaxRetry{10000};

private:
  // Opens and sets up the line; returns 0 or errno.
  int TryOpen();
  void Lost(int err);
  std::string FDevice;
  int FBaud;
  bool FEven;
  TUniqueFd FFd;
  TClock::time_point FRetryAt{};
  TClock::duration FDelay = kFirstRetry;
  bool FHeard = false;  // bytes came since it was last opened
};

}  // namespace quillon
