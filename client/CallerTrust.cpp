#include "client/CallerTrust.h"

#include <arpa/inet.h>

#include <cstring>
#include <optional>
#include <vector>

#include "xmlpdu/infra/Errors.h"

namespace quillon::client {

namespace {

struct TNetwork {
  int Family = 0;
  unsigned char Bytes[16]{};
  int Prefix = 0;  // bits that must match
};

std::optional<TNetwork> AddressOf(const std::string& text) {
  TNetwork n;
  if (::inet_pton(AF_INET, text.c_str(), n.Bytes) == 1) {
    n.Family = AF_INET;
    n.Prefix = 32;
    return n;
  }
  if (::inet_pton(AF_INET6, text.c_str(), n.Bytes) == 1) {
    n.Family = AF_INET6;
    n.Prefix = 128;
    return n;
  }
  return std::nullopt;
}

// The entries of a caller text; `bad` gets the first that is none (the
// text is the operator's, not a secret: it may be named).
std::vector<TNetwork> Networks(const std::string& text, std::string* bad) {
  std::vector<TNetwork> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t begin = text.find_first_not_of(", \t", at);
    if (begin == std::string::npos) break;
    const size_t end = std::min(text.find_first_of(", \t", begin), text.size());
    const std::string entry = text.substr(begin, end - begin);
    at = end;
    const size_t slash = entry.find('/');
    std::optional<TNetwork> n = AddressOf(entry.substr(0, slash));
    if (n && slash != std::string::npos) {
      const std::string bits = entry.substr(slash + 1);
      if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(bits) > n->Prefix)
        n.reset();
      else
        n->Prefix = std::stoi(bits);
    }
    if (!n) {
      if (bad && bad->empty()) *bad = entry;
      continue;
    }
    out.push_back(*n);
  }
  return out;
}

bool Holds(const TNetwork& net, const TNetwork& a) {
  if (net.Family != a.Family) return false;
  const int whole = net.Prefix / 8, rest = net.Prefix % 8;
  if (std::memcmp(net.Bytes, a.Bytes, static_cast<size_t>(whole)) != 0) return false;
  if (rest == 0) return true;
  const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (net.Bytes[whole] & mask) == (a.Bytes[whole] & mask);
}

// The secret a caller would be given before it proved itself; nullptr
// when the meter proves itself first or none is given.
const char* SecretGivenFirst(const TMeterProfile& p) {
  if (p.Mechanism == mLow) return "a low-level password, which goes in the association request";
  if (p.Ciphered()) return nullptr;  // the ciphered answer comes before any HLS step of ours
  switch (p.Mechanism) {
    case mLowest: return nullptr;
    case mGMAC: return "HLS with GMAC without ciphering, whose response goes out before the meter's";
    case mECDSA: return "HLS with ECDSA without ciphering, whose signature goes out before the meter's";
    default: return "HLS without ciphering, whose response goes out before the meter's";
  }
}

}  // namespace

const char* const kCallerRemedyList =
    "bind it to the addresses it calls from (caller) or trust unproven callers (trust-unproven-caller=1)";

std::string PeerHost(const std::string& peer) {
  if (!peer.empty() && peer.front() == '[') {
    const size_t close = peer.find(']');
    return close == std::string::npos ? peer.substr(1) : peer.substr(1, close - 1);
  }
  const size_t colon = peer.rfind(':');
  return colon == std::string::npos || peer.find(':') != colon ? peer : peer.substr(0, colon);
}

void CheckCallerNetworks(const std::string& text) {
  std::string bad;
  const auto networks = Networks(text, &bad);
  if (!bad.empty())
    RaiseGeneral(Format("caller \"%s\": expected IPv4 or IPv6 addresses or networks (ADDRESS/BITS)", bad.c_str()));
  if (networks.empty()) RaiseGeneral("caller: expected at least one address or network");
}

bool CallerNetworksHold(const std::string& text, const std::string& host) {
  const std::optional<TNetwork> a = AddressOf(host);
  if (!a) return false;
  for (const TNetwork& n : Networks(text, nullptr))
    if (Holds(n, *a)) return true;
  return false;
}

TCallerVerdict JudgeCaller(const TMeterProfile& p, const std::string& peer, const char* remedy) {
  TCallerVerdict v;
  const std::string host = PeerHost(peer);
  if (!p.Callers.empty()) {
    if (!CallerNetworksHold(p.Callers, host)) {
      v.Why = Format("called from %s, which is not among the addresses it may call from (%s); refused", host.c_str(),
                     p.Callers.c_str());
      return v;
    }
    // Bound: whoever reaches us from there is the meter, as far as we can tell.
    v.Trust = p.Ciphered() && !SecretGivenFirst(p) ? TCallerTrust::ctProvesItself : TCallerTrust::ctBound;
    return v;
  }
  if (p.Ciphered() && !SecretGivenFirst(p)) {
    v.Trust = TCallerTrust::ctProvesItself;
    return v;
  }
  const char* secret = SecretGivenFirst(p);
  if (!secret) {
    v.Trust = TCallerTrust::ctNothingSecret;
    return v;
  }
  if (p.TrustUnprovenCaller) {
    v.Trust = TCallerTrust::ctTrusted;
    return v;
  }
  v.Why = Format("its settings give %s, before the caller could prove it is the meter; not read: %s", secret, remedy);
  return v;
}

}  // namespace quillon::client
