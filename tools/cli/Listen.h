// quillon-cli listen: data that meters push on their own (data
// notifications, event notifications, information reports), plain or
// ciphered, over TCP (DLMS wrapper or HDLC frames) and UDP (one wrapper
// frame per datagram).
//
// The port faces anyone who can reach it, so: a message is trusted only as
// far as its protection reaches (a meter's counter and a connection's meter
// move only on a message that passed every check), every sender is
// identified by what the message itself says before the address it came
// from, and what a stranger can hold (connections, idle time, partial
// frames, per-sender state, log lines, queued database writes) is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/Batch.h"
#include "client/MeterIndex.h"
#include "client/Push.h"
#include "client/ReadingsStore.h"
#include "comm/PushFrames.h"

namespace quillon::cli {

// One pushed message, decoded.
struct TPushed {
  // The meter of the list it came from; when it is no meter of the list,
  // the logical device name it carries (empty when it carries none) and
  // Unknown set.
  std::string Meter;
  bool Unknown = false;
  std::string Kind;             // "data-notification", "event-notification", "information-report"
  int64_t InvocationCounter = -1;  // authenticated ciphered messages only
  nlohmann::json Body;          // {"time": ..., "values": [...]} or named values
  // A data notification's body as it came, for naming its values.
  std::optional<client::TValue> List;
};

// A message that could not be decoded: kept as its bytes with the reason, so
// that nothing a meter sent is lost.
struct TUndecoded {
  std::string Meter;   // the sender's meter when known, else empty
  std::string Sender;  // "127.0.0.1:40001/hdlc"
  std::string Reason;
  std::string Bytes;
};

// The captured objects of a push object list (or of a profile's capture
// objects) as references: class, logical name and attribute of each entry.
std::vector<client::TObjectRef> PushObjectRefs(const client::TValue& list, const std::string& owner);

// Protection as a set: bit 1 authentication, bit 2 encryption, so that the
// numbers are those of the "security" key (0 none, 1 auth, 2 enc, 3 auth-enc).
enum : int { kProtectAuth = 1, kProtectEnc = 2 };
// The protection a meter's pushes must carry at least: its "push-security"
// when its entry states one; else authentication when it has an
// authentication key, encryption when it has only an encryption key, none
// without keys.
int RequiredProtection(const client::TFleetMeter& m);

// Decodes pushed APDUs: identifies the meter of each, refuses what carries
// less protection than the meter requires, deciphers with the meter's keys,
// checks that each meter's invocation counter rises, and names the values
// when the push object list is known.
class TPushDecoder {
public:
  // The meters of the list and the captured objects of the push (empty:
  // values as they came; the logical device name is then looked for as the
  // first element, when it is an octet string).
  TPushDecoder(const std::vector<client::TFleetMeter>& meters, std::vector<client::TObjectRef> pushObjects);

  // Throws EReplay for a replay, ERefused for a message that carries less
  // protection than its meter requires or names another meter than its
  // keys, and a general error for anything malformed. `senderTitle` is the
  // system title of the meter whose message from this sender (connection or
  // UDP address) last passed every check: glo-ciphered messages, which carry
  // none, are that meter's; updated only by a message that passes. The
  // values are left as they came: Name() names them. `peerHost` is the IP
  // address the message came from: when exactly one meter of the list has
  // it as its host, a message that names no meter is that meter's.
  TPushed Decode(const std::string& apdu, std::string& senderTitle, const std::string& peerHost = std::string());
  // Names the values of a decoded message by the push object list read from
  // its meter, or else by the one given to the constructor, or else by the
  // layout, when the count of values is the list's; else by the names the
  // list carries itself (OBIS codes beside the values, or the push object
  // list first). A list that names nothing stays as it came.
  void Name(TPushed& p) const;
  // Names the values of a fixed list that names nothing (--push-layout).
  void SetLayout(client::TPushLayout layout) { FLayout = std::move(layout); }
  // The meter a sender is known to be, by the title of its last good
  // message or by its address; empty when not known.
  std::string MeterOfSender(const std::string& senderTitle, const std::string& peerHost) const;
  // A meter of the list (by name), whose push object list can be read.
  bool Knows(const std::string& meter) const;
  // The push object list read from the meter (empty: values as they came).
  void SetObjectsOf(const std::string& meter, std::vector<client::TObjectRef> objects);
  bool HasObjectsOf(const std::string& meter) const { return FObjectsOf.count(meter) != 0; }
  // A counter the meter has used before (from the database of an earlier run).
  void SetLastCounter(const std::string& meter, uint32_t counter) { FLastCounter[meter] = counter; }

  class EReplay : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
  };
  class ERefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
  };

private:
  struct TMeter {
    std::string Name, Title, EK, AK, DeviceName;
    int Required = 0;
  };
  const TMeter* At(int meter) const;
  struct TPlain {
    TPushed Pushed;
    std::optional<std::string> DeviceName;  // as text
  };
  TPlain DecodePlain(const std::string& apdu, int depth) const;
  const TMeter* ByDeviceName(const std::string& name) const;
  std::vector<TMeter> FMeters;
  client::TMeterIndex FIndex;
  std::map<std::string, uint32_t> FLastCounter;  // meter -> last authenticated counter
  std::vector<client::TObjectRef> FPushObjects;
  std::optional<size_t> FDeviceNameAt;  // in a data notification's values
  std::map<std::string, std::vector<client::TObjectRef>> FObjectsOf;  // meter -> list read from it
  client::TPushLayout FLayout;
};

// Error lines of one sort ("malformed datagrams", ...): the first few of a
// period go out as they come, the others are counted, with their senders,
// into one line when the period ends: "1234 malformed datagrams from 567
// senders in the last 10 s".
class TLineLimiter {
public:
  using TClock = std::chrono::steady_clock;
  using TSink = std::function<void(const std::string&)>;
  TLineLimiter(size_t linesPerPeriod, std::chrono::seconds period) : FLines(linesPerPeriod), FPeriod(period) {}
  void Report(const std::string& sort, const std::string& sender, const std::string& line, TClock::time_point now,
              const TSink& sink);
  // The summaries of the periods that have ended (all of them when `all`).
  void Tick(TClock::time_point now, const TSink& sink, bool all = false);

private:
  struct TSort {
    TClock::time_point Start;
    size_t Shown = 0;
    uint64_t Held = 0;
    std::unordered_set<std::string> Senders;  // of the lines held; at most kMaxSenders
  };
  static constexpr size_t kMaxSenders = 100000;
  size_t FLines;
  std::chrono::seconds FPeriod;
  std::map<std::string, TSort> FSorts;
};

// The database side of the listener: notifications queue up (a bounded
// queue, never waited for) and a thread of its own writes them, a batch per
// transaction; a batch that fails (a database locked by another process) is
// kept and tried again.
class TNotificationWriter {
public:
  TNotificationWriter(client::TReadingsStore& db, size_t capacity);
  ~TNotificationWriter();
  // Tells of a notification already stored and of failures (on the writer's
  // thread; set before the first Push).
  std::function<void(const std::string&)> OnError;
  // false when `capacity` notifications are held (queued or being
  // written): this one is lost (counted).
  bool Push(client::TNotification n);
  // Writes what is queued for at most `patience` more; what is left then is
  // counted lost. Then the thread ends.
  void Finish(std::chrono::milliseconds patience);
  struct TCounts {
    uint64_t Stored = 0, Duplicates = 0, Lost = 0, Retries = 0;
  };
  TCounts Counts();

private:
  void Loop();
  client::TReadingsStore& FDb;
  size_t FCapacity;
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<client::TNotification> FQueue;
  size_t FWriting = 0;  // in the batch being written
  bool FStop = false;
  std::chrono::steady_clock::time_point FGiveUp = std::chrono::steady_clock::time_point::max();
  TCounts FCounts;
  std::thread FThread;
};

// A sender: a TCP connection, the UDP address of datagrams, or a serial line.
struct TPushSender {
  std::string Peer;         // "127.0.0.1:40001" and "/hdlc", "/mbus" or "/udp"; "/dev/ttyUSB0/serial"
  std::string Buffer;       // a wrapper frame not yet complete
  std::string Title;        // its meter's system title (TPushDecoder::Decode)
  std::unique_ptr<TPushFramer> Framer;  // frames other than the wrapper's (HDLC, M-Bus)
  bool Datagrams = false;
  client::TBlockJoiner Blocks;  // a general-block-transfer series being joined
  size_t Held() const { return (Framer ? Framer->Held() : Buffer.size()) + Blocks.Held(); }
  size_t Buffered() const { return (Framer ? Framer->Buffered() : Buffer.size()) + Blocks.Held(); }
};

// The UDP senders whose meter is known, by a message that passed every
// check (a sender gets no state before): at most `capacity`, the least
// recently heard going first, each forgotten `age` after it was last heard.
class TSenderTable {
public:
  using TClock = std::chrono::steady_clock;
  TSenderTable(size_t capacity, TClock::duration age) : FCapacity(capacity), FAge(age) {}
  // Its state; nullptr when it has none.
  TPushSender* Find(const std::string& peer);
  // A sender heard from at `now`: one already kept is moved to the back,
  // another one kept.
  void Heard(TPushSender&& s, TClock::time_point now);
  // Forgets the ones beyond the bounds.
  void Prune(TClock::time_point now);
  size_t Size() const { return FOrder.size(); }

private:
  struct TEntry {
    TPushSender Sender;
    TClock::time_point Last;
  };
  size_t FCapacity;
  TClock::duration FAge;
  std::list<TEntry> FOrder;
  std::unordered_map<std::string, std::list<TEntry>::iterator> FByPeer;
};

struct TListenOptions {
  std::string Address = "0.0.0.0";
  int Port = 4059;     // 0: a free port (told through OnListening)
  int HdlcPort = -1;   // a TCP port that takes HDLC frames; -1: none, 0: a free one
  int MBusPort = -1;   // a TCP port that takes M-Bus long frames; -1: none, 0: a free one
  // A customer port on a serial line (empty: none): 8 data bits, parity
  // even or none, one stop bit; framing "hdlc", "mbus" or "auto".
  std::string Serial;
  int Baud = 2400;
  bool EvenParity = true;
  std::string Framing = "auto";
  double Seconds = 0;  // stop after this long; 0: only when cancelled
  int MaxConnections = 0;   // 0: from the descriptor limit (DefaultMaxConnections)
  double IdleTimeout = 120;  // seconds a connection may send nothing; 0: no limit
  size_t MaxBuffered = 32u << 20;  // bytes of partial frames over all connections
};
// The descriptors the process may open, less room for the listening
// sockets, the database, standard streams and the push object reads.
int DefaultMaxConnections();

struct TListenCounts {
  uint64_t Received = 0, Replays = 0, Malformed = 0, Refused = 0, Connections = 0;
  uint64_t Undecoded = 0;       // messages framed well whose APDU could not be decoded (part of Malformed)
  uint64_t TurnedAway = 0;      // connections over --max-connections
  uint64_t IdleClosed = 0;      // connections silent for --idle-timeout
  uint64_t BufferedClosed = 0;  // closed, oldest partial first, over the bound of partial-frame bytes
};

// Takes connections (TCP) and datagrams (UDP) on the port, HDLC and M-Bus
// connections on their ports, and what a serial line brings, many meters at
// once on one thread; every frame is decoded. A bad message is reported
// through OnError and never ends the listener; a wrapper connection whose
// framing is lost is closed, an HDLC or M-Bus one finds the next frame. A
// serial line lost is opened again.
class TPushListener {
public:
  explicit TPushListener(TPushDecoder& decoder);
  // Once per port: its number and its framing ("TCP and UDP, DLMS wrapper", "TCP, HDLC", "TCP, M-Bus").
  std::function<void(int port, const std::string& framing)> OnListening;
  // Once, when the serial line is open: "serial port DEVICE (2400 baud, 8E1, HDLC or M-Bus)".
  std::function<void(const std::string&)> OnListeningSerial;
  std::function<void(const TPushed&)> OnPushed;
  std::function<void(const std::string&)> OnError;
  // A message that could not be decoded (after its error line).
  std::function<void(const TUndecoded&)> OnUndecoded;
  // When set: the push object list of a meter of the list, read from the
  // meter (throws when it cannot be read). Called once per meter, on a thread
  // of its own, when its first message comes; its messages wait for it.
  std::function<std::vector<client::TObjectRef>(const std::string& meter)> ReadPushObjects;
  TListenCounts Run(const TListenOptions& options, const client::TCancelToken& cancel);

  using TSender = TPushSender;
  // What Run does with bytes that came: those of a connection (false when
  // its framing is lost and it must be closed), a datagram. Public for the
  // fuzzing harness, which feeds them without sockets.
  bool Received(TSender& s, std::string_view bytes);
  void Datagram(TSender& s, std::string_view bytes);
  const TListenCounts& Counts() const { return FCounts; }
  // Summaries of error lines held back (at the end of a run).
  void FlushLines() { FLines.Tick(TLineLimiter::TClock::now(), Say(), true); }

private:
  void Frames(TSender& s);
  // A message as its framing gave it: blocks joined, then decoded.
  void Message(const std::string& message, TSender& s);
  void Decoded(const std::string& apdu, TSender& s);
  client::TBlockJoiner& BlocksOf(TSender& s);
  // Drops the sender's block series when it took too long.
  void ExpireBlocks(TSender& s, TLineLimiter::TClock::time_point now);
  void Deliver(TPushed& p);
  void Report(const char* sort, const TSender& s, const std::string& line);
  TLineLimiter::TSink Say();
  // Hands on the messages whose meter's list has come (all of them when `wait`).
  void ObjectListsRead(bool wait);
  TPushDecoder& FDecoder;
  TListenCounts FCounts;
  TLineLimiter FLines;
  struct TReadOfMeter {
    std::future<std::vector<client::TObjectRef>> List;
    std::vector<TPushed> Waiting;
  };
  // Meters whose list is being read (a future of std::async waits for its
  // thread when it goes).
  std::map<std::string, TReadOfMeter> FReads;
  // Block series of datagram senders (see BlocksOf).
  std::map<std::string, client::TBlockJoiner> FUdpBlocks;
};

}  // namespace quillon::cli
