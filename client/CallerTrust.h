// Whom a meter that calls in is trusted to be, and so what it may be given.
//
// Anyone can call and say a meter's name or system title. Until the caller
// has proven that it is the meter, nothing secret goes to it: no password,
// no HLS response, nothing under the meter's keys it could not have asked
// for. A ciphered association proves the meter in its answer (an
// InitiateResponse under the meter's keys and system title, checked before
// any authentication step of ours); a meter whose entry holds a secret it
// cannot prove itself before (a low-level password, which goes in the
// association request, or HLS without ciphering, whose response goes out
// before the meter's) is only read when the operator has bound it to the
// addresses it calls from, or said to trust unproven callers.
#pragma once

#include <string>

#include "client/MeterProfile.h"

namespace quillon::client {

enum class TCallerTrust {
  ctProvesItself,   // a ciphered association: proven once it stands
  ctNothingSecret,  // the entry needs no secret: read, what it gives unproven
  ctBound,          // called from an address its entry binds it to
  ctTrusted,        // unproven, read because the entry says to trust it
  ctRefused,        // Why says why and what to configure
};

struct TCallerVerdict {
  TCallerTrust Trust = TCallerTrust::ctRefused;
  std::string Why;
  // Whether what the caller gives may count as the meter's: bookkeeping
  // (a run's finished meters, the last read) moves only then.
  bool Proven() const { return Trust == TCallerTrust::ctProvesItself || Trust == TCallerTrust::ctBound; }
};

// What a caller from `peer` ("192.0.2.7:40001", "[2001:db8::7]:40001")
// that claims to be the meter of `p` may be given. The Why of a refusal
// reads after "meter NAME: ": "its settings give a low-level password,
// which goes in the association request, before the caller could prove it
// is the meter; not read: " and `remedy`, what the operator configures.
extern const char* const kCallerRemedyList;  // the meters file's keys, a list's columns
TCallerVerdict JudgeCaller(const TMeterProfile& p, const std::string& peer, const char* remedy = kCallerRemedyList);

// Checks a "caller" text: addresses and networks (CIDR), IPv4 or IPv6,
// separated by commas or blanks. Fails naming the entry that is wrong and
// what was expected.
void CheckCallerNetworks(const std::string& text);
// Whether `host` (an address as the listener reports it) is in one of them.
bool CallerNetworksHold(const std::string& text, const std::string& host);
// The address of a peer without its port: "192.0.2.7", "2001:db8::7".
std::string PeerHost(const std::string& peer);

}  // namespace quillon::client
