// quillon-cli listen: data that meters push on their own (data
// notifications, event notifications, information reports), plain or
// ciphered, over TCP (DLMS wrapper) and UDP (one wrapper frame per
// datagram).
#pragma once

#include <cstdint>
#include <functional>
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
  // last used (for glo-ciphered messages, which carry none); updated.
  TPushed Decode(const std::string& apdu, std::string& lastTitle);
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
  TPushed DecodePlain(const std::string& apdu, int depth);
  nlohmann::json Named(const nlohmann::json& values) const;
  std::map<std::string, TKeys> FByTitle;         // title bytes -> meter
  std::map<std::string, uint32_t> FLastCounter;  // meter -> last counter taken
  std::vector<client::TObjectRef> FPushObjects;
};

struct TListenOptions {
  std::string Address = "0.0.0.0";
  int Port = 4059;     // 0: a free port (told through OnListening)
  double Seconds = 0;  // stop after this long; 0: only when cancelled
};

struct TListenCounts {
  uint64_t Received = 0, Replays = 0, Malformed = 0, Connections = 0;
};

// Takes connections (TCP) and datagrams (UDP) on the port, many meters at
// once on one thread; every wrapper frame is decoded. A bad message is
// reported through OnError and never ends the listener; a connection whose
// framing is lost is closed.
class TPushListener {
public:
  explicit TPushListener(TPushDecoder& decoder) : FDecoder(decoder) {}
  std::function<void(int port)> OnListening;
  std::function<void(const TPushed&)> OnPushed;
  std::function<void(const std::string&)> OnError;
  TListenCounts Run(const TListenOptions& options, const client::TCancelToken& cancel);

private:
  void Frames(std::string& buffer, const std::string& peer, std::string& lastTitle, bool datagram);
  void Message(const std::string& apdu, const std::string& peer, std::string& lastTitle);
  TPushDecoder& FDecoder;
  TListenCounts FCounts;
};

}  // namespace quillon::cli
