// The simulated meter's association layer: opens and releases associations
// for the clients of its configuration, runs high-level authentication, and
// removes and applies ciphering around the application layer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "tools/meter-sim/SimServer.h"

namespace quillon::sim {

// One client address the meter serves, and how it must associate.
struct TSimClient {
  int Address = 16;
  bool LogicalNames = true;
  bool Ciphered = false;
  int Mechanism = 1;  // 1 lowest ... 8 ECDSA, as the mechanism names number them from 1
  PduStr Secret;      // password (2) or shared secret (3, 4, 5, 7)
};

// The meter's own security material.
struct TSimSecurity {
  int Suite = 0;
  PduStr SystemTitle = PduStr("QSM\x00\x00\x00\x00\x01", 8);
  PduStr EK, AK, KEK;
  PduStr SigningPrivateKey, SigningPublicKey;
  PduStr ClientSigningPublicKey;  // for mechanism 8
};

// Ways in which real meters are difficult, each off unless asked for.
struct TSimMisbehaviour {
  // The system title put in the AARE instead of the meter's own (the
  // ciphering still uses the real one).
  PduStr AareSystemTitle;
  // The only client system title a ciphered or GMAC client may call with;
  // others are rejected with calling-AP-title-not-recognized. Empty: any.
  PduStr KnownClientTitle;
  // The longest HLS challenge the meter takes (0: any); a longer one fails
  // the authentication.
  size_t MaxChallenge = 0;
  // The longest APDU the meter really takes (0: what it announces); longer
  // ones get the exception response pdu-too-long.
  size_t PduLimit = 0;
  // The first answer on a new link comes this late (a slow modem).
  int FirstResponseDelayMs = 0;
  // The AARE grants no block transfer (with GET, SET, ACTION, READ or
  // WRITE, nor general), but answers longer than the meter's own PDU size
  // (1024) still come in blocks, data blocks or general ones.
  bool BlocksWithoutBit = false;
  // Bytes of padding after the APDU inside every ciphered answer.
  size_t TrailingBytes = 0;
  // Every ciphered answer carries the same invocation counter.
  bool FrozenInvocationCounter = false;
  // The counter of the ciphered InitiateRequest in the AARQ is neither
  // checked nor remembered: only the requests inside the association are,
  // and a counter too low is refused there (exception response).
  bool AarqCounterUnchecked = false;
};

class TSimAssociation {
public:
  using TLog = std::function<void(const std::string&)>;

  TSimAssociation(TSimModel& model, TSimSecurity security) : FModel(model), FSecurity(std::move(security)) {
    FServer.Inner = [this](const PduStr& request) { return HandleInner(request); };
    FModel.InvocationCounter = [this] { return LastInvocationCounter(); };
  }

  void AddClient(const TSimClient& c) { FClients[c.Address] = c; }
  // Reads "client" and "security" lines of a configuration text; other lines
  // are left to the model.
  void Configure(const std::string& text);
  void SetLog(TLog log) { FLog = std::move(log); }
  // Told every invocation counter a ciphered request carries (client
  // address, counter), taken or refused, as it arrives.
  using TCounterRecord = std::function<void(int client, uint32_t counter)>;
  void SetCounterRecord(TCounterRecord record) { FCounterRecord = std::move(record); }
  // The client at an address; nullptr when the meter serves none there.
  const TSimClient* Client(int address) const {
    const auto it = FClients.find(address);
    return it == FClients.end() ? nullptr : &it->second;
  }
  const TSimSecurity& Security() const { return FSecurity; }
  // Model lines of one association object (class 15, 0.0.40.0.n.255, n
  // counted from 1) for each logical-name client, whose partners and
  // mechanism name say how that client associates.
  std::string AssociationObjectsModel() const;

  // The lowest invocation counter the meter takes from a client it has not
  // heard a ciphered request from yet (default 0). After that, each client's
  // counter must rise, across connections too, as on a real meter.
  void SetFirstInvocationCounter(uint32_t value) { FFirstClientCounter = value; }
  void SetMisbehaviour(TSimMisbehaviour m) { FMisbehaviour = std::move(m); }
  const TSimMisbehaviour& Misbehaviour() const { return FMisbehaviour; }

  // Answers one APDU from the client at `clientAddress` to the logical
  // device at `serverAddress`; empty when the meter stays silent.
  PduStr Handle(int clientAddress, const PduStr& request, int serverAddress = 1);
  // The link went down: the association ends.
  void Reset();

  bool Associated() const { return FState == sAssociated; }
  // The highest invocation counter accepted from any client (below the
  // first one taken when none was), as the meter publishes it.
  uint32_t LastInvocationCounter() const;
  TSimSession& Session() { return FServer.Session(); }

private:
  enum TState { sIdle, sAwaitingHls, sAssociated };

  PduStr HandleAarq(const TSimClient* client, const T_AssociationRequest& aarq);
  // `userInformation`: an xDLMS APDU (a confirmed service error) for the AARE.
  PduStr Reject(int result, int diagnostic, TObjectIdentifier context, const PduStr& userInformation = PduStr());
  PduStr HandleRelease(const T_ReleaseRequest& rlrq);
  PduStr HandleHlsReply(const PduStr& plainRequest, bool& handled);
  // One complete request of an open association: deciphered, answered and
  // ciphered again as the request was.
  PduStr HandleInner(const PduStr& request);
  // Ciphering: the plain request out of a protected one, and the protected
  // form of a plain response. Fails with the exception response to send.
  bool Decipher(const PduStr& request, PduStr& plain, uint8_t& style, PduStr& failure, bool checkCounter = true);
  PduStr Encipher(const PduStr& plain, uint8_t style);
  PduStr ResponseF(const PduStr& challenge, const PduStr& otherChallenge, bool fromServer);
  void Log(const std::string& s) {
    if (FLog) FLog(s);
  }

  TSimModel& FModel;
  TSimSecurity FSecurity;
  TSimServer FServer{FModel};
  std::map<int, TSimClient> FClients;
  TLog FLog;
  TCounterRecord FCounterRecord;

  TState FState = sIdle;
  int FServerAddress = 1;
  TSimClient FCurrent;
  PduStr FClientTitle;
  // The AARE, accepted or refused, carries the meter's system title.
  bool FAnnounceTitle = false;
  PduStr FCtoS, FStoC;
  uint32_t FServerCounter = 1;
  // The last invocation counter of each client that sent a ciphered request.
  std::map<int, uint32_t> FLastClientCounters;
  uint32_t FFirstClientCounter = 0;
  TSimMisbehaviour FMisbehaviour;
};

}  // namespace quillon::sim
