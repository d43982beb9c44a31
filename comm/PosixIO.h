// Descriptor-level helpers shared by the byte layers (TCP client, TCP server,
// serial port): a buffered one-byte reader with a timeout and a complete write
// on a non-blocking descriptor.
#pragma once

#include <cstdint>
#include <string>

struct pollfd;

namespace quillon {

class TFdByteReader {
public:
  enum TResult { rByte, rTimeout, rClosed, rError };

  // Returns rByte with `b` set, rTimeout when nothing came within timeoutMs
  // (0: only what is already waiting), rClosed at end of stream, rError with
  // errno in `err`. Reads in blocks so that a long answer costs few calls.
  TResult ReadByte(int fd, uint8_t& b, int timeoutMs, int& err);
  bool HasBuffered() const { return FPos < FBuf.size(); }
  void Drop() {
    FBuf.clear();
    FPos = 0;
  }

private:
  std::string FBuf;
  size_t FPos = 0;
};

// poll(2) on one descriptor that an abort request (CheckUserAbort) can end:
// a long wait is cut into short slices with the check between them, so a
// cancel reaches a silent peer within a fraction of a second. A negative
// timeout waits without end (but still ends on an abort request). Returns
// what poll returns; EINTR is retried.
int PollAbortable(struct pollfd& p, int timeoutMs);

// Writes every byte, waiting while the descriptor is full, but not longer than
// stallTimeoutMs without progress. Returns 0 or errno.
int WriteAll(int fd, const std::string& data, int stallTimeoutMs = 10000);

// Owns a descriptor; closes it on destruction.
class TUniqueFd {
public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) : FFd(fd) {}
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;
  TUniqueFd(TUniqueFd&& o) noexcept : FFd(o.Release()) {}
  TUniqueFd& operator=(TUniqueFd&& o) noexcept {
    Reset(o.Release());
    return *this;
  }
  ~TUniqueFd() { Reset(); }
  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  int Release() {
    int f = FFd;
    FFd = -1;
    return f;
  }
  void Reset(int fd = -1);

private:
  int FFd = -1;
};

std::string SystemErrorText(int err);

// For command-line programs: Ctrl-C and SIGTERM call `onSignal` (which may
// only set a flag), and a closed pipe becomes a write error instead of
// ending the process.
void CatchTerminationSignals(void (*onSignal)(int));

}  // namespace quillon
