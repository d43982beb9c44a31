#include "comm/PosixIO.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "comm/ProtocolLayer.h"

namespace quillon {

int PollAbortable(pollfd& p, int timeoutMs) {
  constexpr int kSliceMs = 50;
  const uint32_t started = GetTickCount32();
  for (bool first = true;; first = false) {
    // The first slice goes without a check: a short or zero wait behaves as
    // a plain poll, and only waits that last get interrupted.
    if (!first) CheckUserAbort();
    int slice = kSliceMs;
    if (timeoutMs >= 0) {
      const uint32_t spent = MillisecondsSince(started);
      const int left = spent >= static_cast<uint32_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int>(spent);
      slice = std::min(left, kSliceMs);
    }
    const int n = ::poll(&p, 1, slice);
    if (n < 0 && errno == EINTR) continue;
    if (n != 0) return n;
    if (timeoutMs >= 0 && MillisecondsSince(started) >= static_cast<uint32_t>(timeoutMs)) return 0;
  }
}

TFdByteReader::TResult TFdByteReader::ReadByte(int fd, uint8_t& b, int timeoutMs, int& err) {
  if (FPos >= FBuf.size()) {
    Drop();
    pollfd p{fd, POLLIN, 0};
    const int n = PollAbortable(p, timeoutMs < 0 ? 0 : timeoutMs);
    if (n < 0) {
      err = errno;
      return rError;
    }
    if (n == 0) return rTimeout;
    char block[4096];
    ssize_t got;
    do got = ::read(fd, block, sizeof block);
    while (got < 0 && errno == EINTR);
    if (got == 0) return rClosed;
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return rTimeout;
      err = errno;
      return rError;
    }
    FBuf.assign(block, static_cast<size_t>(got));
  }
  b = static_cast<uint8_t>(FBuf[FPos++]);
  return rByte;
}

int WriteAll(int fd, const std::string& data, int stallTimeoutMs) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A peer that stops reading must not hang the writer for ever.
      pollfd p{fd, POLLOUT, 0};
      const int n = PollAbortable(p, stallTimeoutMs);
      if (n == 0) return ETIMEDOUT;
      if (n < 0) return errno;
      continue;
    }
    return n < 0 ? errno : EIO;
  }
  return 0;
}

void TUniqueFd::Reset(int fd) {
  if (FFd >= 0) ::close(FFd);
  FFd = fd;
}

std::string SystemErrorText(int err) {
  char buf[256];
  // GNU strerror_r returns the text (possibly not in buf).
  return std::string(::strerror_r(err, buf, sizeof buf));
}

void CatchTerminationSignals(void (*onSignal)(int)) {
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace quillon
