// Invocation counters that are never used twice under one key.
//
// A ciphered message's nonce is the client's system title and its
// invocation counter: the same counter twice under one key gives away the
// XOR of two plaintexts and lets a forger compute tags, and a meter refuses
// a counter that does not rise. So the counters of every program on this
// machine (quillon-cli, batch, listen, probe, the desktop) come from one
// file (DefaultCountersFile()), shared under a lock:
//
// - A sequence is one key (the encryption key, told apart by a keyed hash
//   under a random salt of the file, so the file holds no key) and one
//   client system title: the nonce's parts besides the counter. Every meter
//   under that key counts in it, since fleets share keys. A new key starts
//   a new sequence.
// - The file carries a checksum of its own. A file that does not parse or
//   verify (a salt lost or changed, a counter that is no number) is refused
//   before anything is sent: its counters could repeat.
// - Before its first counted message a session reserves a block of
//   counters durably (the file's "next" moves past the block, written to a
//   temporary file, flushed and renamed, all under the file's lock) and
//   counts inside it, reserving the next block the same way when it runs
//   out. At the end it hands back what it did not use. A crash wastes the
//   rest of a block; it never reuses a counter.
// - One session per meter and client at a time: a meter holds one
//   association per client and refuses a counter below one it has seen, so
//   two sessions must not interleave. A session holds the lock of its
//   (meter, client) from before it associates until it has released.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "client/FileLock.h"
#include "client/MeterProfile.h"

namespace quillon::client {

// Counters reserved at a time.
inline constexpr uint32_t kCounterBlock = 1000;

// The meter as session locks (and older counters files) know it: "title 5153494D00000001",
// or "127.0.0.1:4059/1" (host:port or device, server address, and the
// physical address where there is one) when the profile names no system title.
std::string CounterMeterIdentity(const TMeterProfile& p);
// The meter as messages name it: its name, else its address.
std::string MeterLabel(const TMeterProfile& p);

// The counters file: $QUILLON_COUNTERS when set (a fleet's shard keeps its
// own on a volume that outlives the machine), else
// DataFolder()/invocation-counters.ini.
std::string DefaultCountersFile();

// The counters file does not parse or verify: "file \"<path>\": damaged:
// <what>; ...". No ciphered session runs on it, not even one that was
// given its counter.
struct ECounterFileDamaged : EGeneralError {
  using EGeneralError::EGeneralError;
};

class TInvocationCounterFile {
public:
  // `path`: the counters file; empty: DefaultCountersFile().
  explicit TInvocationCounterFile(std::string path = std::string());
  const std::string& Path() const { return FPath; }

  // The next counter of the profile's sequence that nobody has used or
  // reserved (1 when the file has none). Fails when the file cannot be read
  // or is damaged.
  uint32_t Next(const TMeterProfile& p) const;

  // Reserves `count` counters and returns the first: `from` when given (the
  // caller knows better: quillon-cli --ic N), else the larger of the file's
  // next and `floor`. The file's next is then past the block. The block may
  // be shorter than `count` at the top of the counter's range; `end` is set
  // to the first counter after it. Fails with a general error naming the
  // file and the reason, or when the sequence has no counter left.
  uint32_t Reserve(const TMeterProfile& p, std::optional<uint32_t> from, uint32_t floor, uint32_t count,
                   uint32_t& end) const;

  // Hands back the unused end of a block: the file's next becomes `next`
  // when it still stands at `reservedEnd` (nobody reserved after us).
  void GiveBack(const TMeterProfile& p, uint32_t next, uint32_t reservedEnd) const;

  // The lock file of one (meter, client), beside the counters file.
  std::string SessionLockPath(const TMeterProfile& p) const;

private:
  std::string FPath;
};

// The lock of one (meter, client) for the life of a session: waits up to
// the profile's connect timeout (and the cancel token), then fails with
// EMeterError "meter sim-0001, client 33: another session (process 1234)
// holds it".
std::unique_ptr<TFileLock> LockMeterSession(const TInvocationCounterFile& file, const TMeterProfile& p,
                                            const std::atomic<bool>* cancel);

}  // namespace quillon::client
