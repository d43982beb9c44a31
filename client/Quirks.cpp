#include "client/Quirks.h"

#include <cstdlib>
#include <stdexcept>

namespace quillon::client {

namespace {

const std::vector<TQuirkInfo> kCatalogue = {
    {"challenge-16", "HLS challenge of exactly 16 bytes (some meters take no other length)"},
    {"challenge-32", "HLS challenge of exactly 32 bytes"},
    {"max-pdu=N", "PDU size limit N (12..65535) for both directions, below what the meter announces"},
    {"hdlc-info=N", "HDLC information field length N (32..2030) instead of 128"},
    {"inter-frame-delay=MS", "pause of MS milliseconds before each frame sent on a serial line (slow modems)"},
    {"first-response-timeout=MS", "wait up to MS milliseconds for the first answers of a new link (slow modems)"},
    {"no-rlrq", "hang up without a release request (meters that do not answer one)"},
    {"blocks-without-bit", "accept answers in data blocks although the meter did not grant block transfer in its "
                           "AARE (tolerated by default; this keeps it tolerated when strict)"},
    {"trailing-bytes", "ignore bytes after the end of a deciphered APDU instead of failing (logged with their count)"},
};

// Many meters of a widely used firmware family answer long reads in blocks
// while their AARE grants no block transfer; refusing them by default would
// leave those meters unreadable for no gain, as the blocks themselves are
// well formed.
const std::vector<TToleratedDeviation> kTolerated = {
    {"blocks-without-bit", "answers in data blocks without granting block transfer in its conformance",
     "received when not allowed by the conformance block: accepted"},
};

// Failures a quirk cures, by what the engine says of them.
struct TCureSign {
  const char* Quirk;
  const char* Sign;
  const char* What;
};
const TCureSign kCures[] = {
    {"blocks-without-bit", "received when not allowed by the conformance block", kTolerated[0].What},
    {"trailing-bytes", "Unexpected pdu trailing data", "sends bytes after the end of a deciphered APDU"},
    {"trailing-bytes", "GCMDecrypted data is not a valid APDU", "sends bytes after the end of a deciphered APDU"},
};

std::string Syntaxes() {
  std::string s;
  for (const TQuirkInfo& q : kCatalogue) s += (s.empty() ? "" : ", ") + std::string(q.Syntax);
  return s;
}

}  // namespace

const std::vector<TQuirkInfo>& QuirkCatalogue() { return kCatalogue; }

const std::vector<TToleratedDeviation>& ToleratedDeviations() { return kTolerated; }

bool HasQuirk(const TQuirks& q, const std::string& name) {
  TQuirks with = q;
  ParseQuirk(name, with);
  return with.Text() == q.Text();
}

TQuirks EffectiveQuirks(const TQuirks& named, bool strict) {
  TQuirks q = named;
  if (!strict)
    for (const TToleratedDeviation& d : kTolerated) ParseQuirk(d.Quirk, q);
  return q;
}

std::string DeviationNote(const TToleratedDeviation& d, bool named) {
  return std::string("quirk ") + d.Quirk + ": the meter " + d.What +
         (named ? "; tolerated as its quirks ask" : "; tolerated (strict refuses it)");
}

std::optional<TQuirkCure> QuirkCuring(const std::string& failure) {
  for (const TCureSign& c : kCures)
    if (failure.find(c.Sign) != std::string::npos) return TQuirkCure{c.Quirk, c.What};
  return std::nullopt;
}

bool TQuirks::Any() const { return !Text().empty(); }

std::string TQuirks::Text() const {
  std::string s;
  auto add = [&](const std::string& q) { s += (s.empty() ? "" : ",") + q; };
  if (ChallengeLength) add("challenge-" + std::to_string(ChallengeLength));
  if (MaxPduSize) add("max-pdu=" + std::to_string(MaxPduSize));
  if (HdlcInfoLength) add("hdlc-info=" + std::to_string(HdlcInfoLength));
  if (InterFrameDelayMs) add("inter-frame-delay=" + std::to_string(InterFrameDelayMs));
  if (FirstResponseTimeoutMs) add("first-response-timeout=" + std::to_string(FirstResponseTimeoutMs));
  if (NoRelease) add("no-rlrq");
  if (BlocksWithoutBit) add("blocks-without-bit");
  if (TrailingBytes) add("trailing-bytes");
  return s;
}

void ParseQuirk(const std::string& text, TQuirks& q, const char* field) {
  const size_t eq = text.find('=');
  const std::string name = text.substr(0, eq);
  const std::string value = eq == std::string::npos ? std::string() : text.substr(eq + 1);
  auto fail = [&](const std::string& expected) {
    throw std::runtime_error(std::string(field) + " \"" + text + "\": expected " + expected);
  };
  auto number = [&](int low, int high, const char* what) {
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end || n < low || n > high)
      fail(name + "=" + what + " with " + what + " " + std::to_string(low) + ".." + std::to_string(high));
    return static_cast<int>(n);
  };
  if (eq == std::string::npos && name == "challenge-16") q.ChallengeLength = 16;
  else if (eq == std::string::npos && name == "challenge-32") q.ChallengeLength = 32;
  else if (eq == std::string::npos && name == "no-rlrq") q.NoRelease = true;
  else if (eq == std::string::npos && name == "blocks-without-bit") q.BlocksWithoutBit = true;
  else if (eq == std::string::npos && name == "trailing-bytes") q.TrailingBytes = true;
  else if (eq != std::string::npos && name == "max-pdu") q.MaxPduSize = number(12, 65535, "N");
  else if (eq != std::string::npos && name == "hdlc-info") q.HdlcInfoLength = number(32, 2030, "N");
  else if (eq != std::string::npos && name == "inter-frame-delay") q.InterFrameDelayMs = number(1, 10000, "MS");
  else if (eq != std::string::npos && name == "first-response-timeout") q.FirstResponseTimeoutMs = number(1, 120000, "MS");
  else fail("one of " + Syntaxes());
}

TQuirks ParseQuirks(const std::string& list, const char* field) {
  TQuirks q;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!item.empty()) ParseQuirk(item, q, field);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return q;
}

}  // namespace quillon::client
