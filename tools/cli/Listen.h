// quillon-cli listen: data that meters push on their own (data
// notifications, event notifications, information reports), plain or
// ciphered, over TCP (DLMS wrapper or HDLC frames) and UDP (one wrapper
// frame per datagram).
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/Batch.h"

namespace quillon::cli {

// One pushed message, decoded.
struct TPushed {
  std::string Meter;            // its name, or its system title in hex when no meter has it
  std::string Kind;             // "data-notification", "event-notification", "information-report"
  int64_t InvocationCounter = -1;  // ciphered messages only
  nlohmann::json Body;          // {"time": ..., "values": [...]} or named values
};

// The captured objects of a push object list (or of a profile's capture
// objects) as references: class, logical name and attribute of each entry.
std::vector<client::TObjectRef> PushObjectRefs(const client::TValue& list, const std::string& owner);

// Decodes pushed APDUs: deciphers them with the keys of the meter whose
// system title they carry, checks that each meter's invocation counter
// rises, and names the values when the push object list is known.
class TPushDecoder {
public:
  // The meters (their server system titles, ek and ak) and the captured
  // objects of the push (empty: values as they came).
  TPushDecoder(const std::vector<client::TFleetMeter>& meters, std::vector<client::TObjectRef> pushObjects);

  // Throws a general error that says what is wrong with the message; a
  // replay throws EReplay. `lastTitle` is the system title the connection
  // last used (for glo-ciphered messages, which carry none); updated. The
  // values are left as they came: Name() names them. `peerHost` is the IP
  // address the message came from: when exactly one meter of the list has
  // it as its host, a message that names no meter (plain, or glo-ciphered
  // before any other) is that meter's.
  TPushed Decode(const std::string& apdu, std::string& lastTitle, const std::string& peerHost = std::string());
  // Names the values of a decoded message by the push object list read from
  // its meter, or else by the one given to the constructor; values whose
  // count differs from the list's stay as they came.
  void Name(TPushed& p) const;
  // A meter of the list (by name), whose push object list can be read.
  bool Knows(const std::string& meter) const;
  // The push object list read from the meter (empty: values as they came).
  void SetObjectsOf(const std::string& meter, std::vector<client::TObjectRef> objects) { FObjectsOf[meter] = std::move(objects); }
  bool HasObjectsOf(const std::string& meter) const { return FObjectsOf.count(meter) != 0; }
  // A counter the meter has used before (from the database of an earlier run).
  void SetLastCounter(const std::string& meter, uint32_t counter) { FLastCounter[meter] = counter; }

  class EReplay : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
  };

private:
  struct TKeys {
    std::string Name, EK, AK;
  };
  struct THostMeter {
    std::string Name, Title;
    bool Unique = true;  // no other meter of the list has the host
  };
  TPushed DecodePlain(const std::string& apdu, int depth);
  std::map<std::string, TKeys> FByTitle;         // title bytes -> meter
  std::map<std::string, THostMeter> FByHost;     // host text as in the list -> meter
  std::map<std::string, uint32_t> FLastCounter;  // meter -> last counter taken
  std::vector<client::TObjectRef> FPushObjects;
  std::map<std::string, std::vector<client::TObjectRef>> FObjectsOf;  // meter -> list read from it
};

// Splits the byte stream of an HDLC-over-TCP connection into the messages a
// meter pushes: the information fields of UI frames (and of I frames, which
// some meters push on a link they think is up), segments joined, the LLC
// header taken off. A malformed frame is reported and skipped, and the
// frames after it are still read; so are bytes between frames.
class THdlcPushReader {
public:
  using TSink = std::function<void(const std::string&)>;
  void Feed(std::string_view bytes, const TSink& onMessage, const TSink& onError);
  // Bytes of a frame not yet complete, of a message not yet ended, and
  // outside a frame not yet reported (a run of them is reported once, when
  // the next frame begins).
  size_t Held() const;

private:
  std::string FBuffer, FSegments;
  size_t FSkipped = 0;     // bytes outside a frame not yet reported
  bool FDropping = false;  // segments of a message too long to keep
};

struct TListenOptions {
  std::string Address = "0.0.0.0";
  int Port = 4059;     // 0: a free port (told through OnListening)
  int HdlcPort = -1;   // a TCP port that takes HDLC frames; -1: none, 0: a free one
  double Seconds = 0;  // stop after this long; 0: only when cancelled
};

struct TListenCounts {
  uint64_t Received = 0, Replays = 0, Malformed = 0, Connections = 0;
};

// Takes connections (TCP) and datagrams (UDP) on the port, and HDLC
// connections on the HDLC port, many meters at once on one thread; every
// frame is decoded. A bad message is reported through OnError and never ends
// the listener; a wrapper connection whose framing is lost is closed, an
// HDLC one finds the next frame.
class TPushListener {
public:
  explicit TPushListener(TPushDecoder& decoder) : FDecoder(decoder) {}
  // Once per port: its number and its framing ("TCP and UDP, DLMS wrapper", "TCP, HDLC").
  std::function<void(int port, const std::string& framing)> OnListening;
  std::function<void(const TPushed&)> OnPushed;
  std::function<void(const std::string&)> OnError;
  // When set: the push object list of a meter of the list, read from the
  // meter (throws when it cannot be read). Called once per meter, on a thread
  // of its own, when its first message comes; its messages wait for it.
  std::function<std::vector<client::TObjectRef>(const std::string& meter)> ReadPushObjects;
  TListenCounts Run(const TListenOptions& options, const client::TCancelToken& cancel);

private:
  void Frames(std::string& buffer, const std::string& peer, std::string& lastTitle, bool datagram);
  void Message(const std::string& apdu, const std::string& peer, std::string& lastTitle);
  void Deliver(TPushed& p);
  // Hands on the messages whose meter's list has come (all of them when `wait`).
  void ObjectListsRead(bool wait);
  TPushDecoder& FDecoder;
  TListenCounts FCounts;
  struct TReadOfMeter {
    std::future<std::vector<client::TObjectRef>> List;
    std::vector<TPushed> Waiting;
  };
  // Meters whose list is being read (a future of std::async waits for its
  // thread when it goes).
  std::map<std::string, TReadOfMeter> FReads;
};

}  // namespace quillon::cli
