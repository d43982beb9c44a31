// Named tolerances for meters that deviate from what they announce. Each is
// kept with the meter's profile ("quirks" in the meters file, --quirk on the
// command line) and is logged when it takes effect. Most are off unless
// named; the few deviations that whole firmware families in the field show
// are tolerated by default (ToleratedDeviations) unless the profile is
// strict, and said once per session when they show.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon::client {

struct TQuirks {
  int ChallengeLength = 0;         // HLS challenge of exactly 16 or 32 bytes (0: random 8..64)
  int MaxPduSize = 0;              // our PDU size limit, below the meter's announcement (0: none)
  int HdlcInfoLength = 0;          // HDLC information field length (0: the default 128)
  int InterFrameDelayMs = 0;       // pause before each frame sent on a serial line
  int FirstResponseTimeoutMs = 0;  // timeout for the first answers on a new link (0: the profile's)
  bool NoRelease = false;          // hang up without a release request
  bool BlocksWithoutBit = false;   // take data blocks the negotiated conformance does not allow
  bool TrailingBytes = false;      // drop bytes after a deciphered APDU (logged with their count)

  bool Any() const;
  // "challenge-16,no-rlrq"; empty when none is set.
  std::string Text() const;
};

// One quirk as users write it ("challenge-16", "max-pdu=512", ...) added to
// `q`; a name or value that is not one of them fails with a one-line message
// naming the field.
void ParseQuirk(const std::string& text, TQuirks& q, const char* field = "--quirk");
// A comma-separated list, as Text() writes it.
TQuirks ParseQuirks(const std::string& list, const char* field = "quirks");

struct TQuirkInfo {
  const char* Syntax;
  const char* Meaning;
};
// Every quirk with its syntax, for --help and the README.
const std::vector<TQuirkInfo>& QuirkCatalogue();

// A deviation tolerated by default. Strict profiles refuse it unless the
// meter's own quirks name it.
struct TToleratedDeviation {
  const char* Quirk;  // the quirk that tolerates it ("blocks-without-bit")
  const char* What;   // what the meter does, for the log and for a refusal's explanation
  // The end of the engine's log line when it let the deviation pass.
  const char* EngineSign;
};
const std::vector<TToleratedDeviation>& ToleratedDeviations();

// Whether `q` holds quirk `name` (as ParseQuirk takes it) already.
bool HasQuirk(const TQuirks& q, const std::string& name);

// The quirks a session works with: those named, and unless `strict` every
// deviation tolerated by default.
TQuirks EffectiveQuirks(const TQuirks& named, bool strict);

// The session's one line about a deviation it let pass: named by the
// meter's quirks, or tolerated by default (which strict would refuse).
std::string DeviationNote(const TToleratedDeviation& d, bool named);

// A quirk a meter needs when a session fails this way: its name and what the
// meter did; nothing when the failure is not one a quirk cures.
struct TQuirkCure {
  std::string Quirk;
  std::string What;
};
std::optional<TQuirkCure> QuirkCuring(const std::string& failure);

}  // namespace quillon::client
