// Finding a meter: which transport, speed and addresses it answers on, tried
// in a fixed order within a time budget, one connection at a time, each
// attempt ending with a disconnect so the meter is left as found.
//
// What is tried, in this order:
//  - TCP: the DLMS wrapper (logical device 1 and the one given), then HDLC
//    frames over TCP.
//  - Serial: mode E (sign-on at 300 baud, then the speed the meter offers),
//    then direct HDLC at 9600, 19200, 38400, 57600 and 115200 baud.
//  - HDLC server addresses: upper address 1 (and the one given) with the
//    physical addresses given, the one derived from the meter's serial
//    number (16 + its last four digits, modulo 16384), then 17, 1 and 16;
//    each in the four-byte, two-byte and one-byte forms the address allows.
//    The all-station address is never used: on a shared bus every meter
//    would answer at once.
//  - Client 16 (public, no authentication) with logical names, then short
//    names; then the client given, with its secrets.
// Once a link answers, its settings are kept and only the association is
// varied. From a public association the logical device name, the serial
// number and the size of the object list are read. An attempt that fails in
// a way a quirk cures (a refused HLS challenge, blocks without their
// conformance bit, bytes after a deciphered APDU) is repeated with it, and
// the quirks that worked are suggested.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/MeterProfile.h"
#include "client/Session.h"

namespace quillon::client {

struct TProbeOptions {
  // The meter: TCP (Host, Port) or serial (Device); secrets, the client
  // to try besides 16 and timeouts also come from here.
  TMeterProfile Base;
  bool Serial = false;
  int BudgetMs = 60000;
  int AttemptTimeoutMs = 1500;         // response timeout of each attempt
  std::vector<int> PhysicalAddresses;  // --physical
  std::string SerialNumber;            // the meter's serial number, for its physical address
  int Client = -1;                     // a client besides 16 (-1: none)
  int Server = -1;                     // an upper address besides 1 (-1: none)
  std::vector<int> Bauds;              // direct HDLC speeds (empty: the standard list)
  bool ModeE = true, Direct = true;    // serial ways to try
  bool Wrapper = true, HdlcTcp = true; // TCP ways to try
  // Progress: sees each attempt's profile as it starts.
  std::function<void(const TMeterProfile&)> OnStart;
  // The names the attempts' layers log their traffic under, and where the
  // attempts' engine lines go (nowhere when empty).
  TLayerNames LayerNames;
  std::function<void(const std::string&)> Log;
};

struct TProbeAttempt {
  TMeterProfile Profile;  // what was tried
  // "nothing", "frame error", "DM", "UA" (link up, association failed),
  // "AARE rejected", "associated"
  std::string Outcome;
  std::string Detail;  // the error text, the AARE diagnostic, ...
  int ElapsedMs = 0;
  // From a public association.
  std::string LogicalDeviceName, SerialNumber;
  int ObjectCount = -1;
};

struct TProbeResult {
  std::vector<TProbeAttempt> Attempts;
  std::optional<TMeterProfile> Recommended;
  std::vector<std::string> SuggestedQuirks;
  bool Cancelled = false, OutOfTime = false;
};

// The physical address the common rule derives from a serial number
// (16 + its last four digits, modulo 16384); -1 when it has no digits.
int PhysicalAddressOfSerialNumber(const std::string& serialNumber);

// Runs the probe; `onAttempt` sees each attempt when it ends (progress).
TProbeResult Probe(const TProbeOptions& options, const TCall& call = {},
                   const std::function<void(const TProbeAttempt&)>& onAttempt = {});

// "wrapper 127.0.0.1:4059 client 16 server 1 LN" and the like.
std::string AttemptText(const TMeterProfile& p);

}  // namespace quillon::client
