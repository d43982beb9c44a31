#include "comm/SerialInput.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "comm/Serial.h"

namespace quillon {

int TSerialInput::TryOpen() {
  // Read-only: whatever this program does, the meter's port gets nothing.
  TUniqueFd fd(::open(FDevice.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return errno;
  SetRawLine(fd.Get(), FBaud, 8, FEven);
  FFd = std::move(fd);
  FHeard = false;
  return 0;
}

void TSerialInput::Open() {
  int err = 0;
  try {
    err = TryOpen();
  } catch (const EProtocolLayerSerial& e) {
    throw EProtocolLayerSerial(Format("cannot set up serial port %s: %s", FDevice.c_str(), e.what()));
  }
  if (err) throw EProtocolLayerSerial(Format("cannot open serial port %s: %s", FDevice.c_str(), SystemErrorText(err).c_str()));
}

void TSerialInput::Lost(int err) {
  FFd.Reset();
  // A port that gave bytes before it went is tried again soon; one that
  // fails at once after every opening is tried less and less often.
  FDelay = FHeard ? std::chrono::duration_cast<TClock::duration>(kFirstRetry)
                  : std::min<TClock::duration>(FDelay * 2, kMaxRetry);
  FRetryAt = TClock::now() + FDelay;
  if (OnLine)
    OnLine(Format("serial port %s lost (%s); reopening", FDevice.c_str(),
                  err ? SystemErrorText(err).c_str() : "hung up"));
}

bool TSerialInput::Read(short revents, std::string& bytes) {
  if (!FFd.Valid() || revents == 0) return FFd.Valid();
  char block[4096];
  ssize_t n;
  do n = ::read(FFd.Get(), block, sizeof block);
  while (n < 0 && errno == EINTR);
  if (n > 0) {
    bytes.append(block, static_cast<size_t>(n));
    FHeard = true;
    return true;
  }
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    Lost(errno);
    return false;
  }
  // A raw line returns nothing when nothing is there; only a hang-up
  // reported by poll makes that the end.
  if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
    Lost(0);
    return false;
  }
  return true;
}

bool TSerialInput::Tend(TClock::time_point now) {
  if (FFd.Valid() || now < FRetryAt) return false;
  int err;
  try {
    err = TryOpen();
  } catch (const EProtocolLayerSerial&) {
    err = EIO;  // there, but refusing its settings: as good as gone for now
  }
  if (err) {
    FDelay = std::min<TClock::duration>(FDelay * 2, kMaxRetry);
    FRetryAt = now + FDelay;
    return false;
  }
  if (OnLine) OnLine(Format("serial port %s open again", FDevice.c_str()));
  return true;
}

}  // namespace quillon
