// Meters that call in: which meter of the list has called.
//
// The head end cannot tell a meter by the address it calls from (carriers
// translate addresses), so it asks the meter, in this order:
// 1. The system title. When the list has ciphered meters, the head end
//    proposes a ciphered association as the first of them (with keys of its
//    own making, so no meter's keys or passwords reach a stranger); the
//    meter's answer, accepted or refused, carries its system title, which
//    is looked up in the list (server-system-title).
// 2. The logical device name 0.0.42.0.0.255, read through the public
//    client (16, no authentication), looked up in the list's
//    logical-device-name column; a name that names no meter is tried as a
//    serial number, with and without a three-letter manufacturer mark.
// 3. The serial number 0.0.96.1.0.255, read through the same association,
//    when the list has a serial column.
// A key that more than one meter of the list has names none of them.
// What the caller says here is only a claim: client/CallerTrust.h decides
// what it may be given before it proved it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/Batch.h"
#include "client/MeterIndex.h"

namespace quillon {
class TCallerConnection;
}

namespace quillon::client {

struct TCallerIdentity {
  std::string TitleHex;    // as the meter announced it; empty: none
  std::string DeviceName;  // DeviceNameText of 0.0.42.0.0.255/2; empty: not read
  std::string Serial;      // 0.0.96.1.0.255/2 as text; empty: not read
  int Meter = -1;          // position in the list; -1: unknown
  std::string By;          // "system title", "logical device name", "serial number"
  // What the meter said: "system title 5153494D00000007, logical device
  // name QSM0000000007" ("nothing" when it said nothing).
  std::string Text() const;
};

class TCallerIdentifier {
public:
  // The meters of `transport` (wrapper or HDLC over TCP) in the list give
  // the probes their addresses and contexts.
  TCallerIdentifier(const std::vector<TFleetMeter>& meters, TTransport transport);
  // Asks the meter over its connection. A link that fails or a meter that
  // refuses leaves the identity as far as it got; cancellation throws.
  TCallerIdentity Identify(const std::shared_ptr<TCallerConnection>& connection, const TCall& call) const;

private:
  TMeterIndex FIndex;
  std::optional<TMeterProfile> FTitleProbe;
  TMeterProfile FPublic;
  bool FSerials = false;
};

// "meter at 192.0.2.7:40001: system title 5153494D00000001" for a session
// that a meter called (quillon-cli --accept): the title its AARE announced,
// else the logical device name read through the session's association.
std::string CallerIdentityText(TSession& session, const TCall& call);

}  // namespace quillon::client
