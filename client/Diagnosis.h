// Why a meter refused us, in words a meter engineer can act on. A failed
// association or protected exchange is classified from what the meter
// actually answered (the AARE's result and diagnostic, an exception
// response, a confirmed service error, the method result of the HLS reply)
// and from the engine's own complaint; each condition has one row in the
// table below: what happened, the likely cause and the fix.
//
// The table is the single source of these texts: the CLI prints them, the
// README's "When it does not connect" section is generated from it
// (quillon-cli explain --markdown), the desktop window shows them and the
// tests provoke each row. The fix comes in two wordings: one naming
// quillon-cli's options, one naming the window's settings and menu
// commands, as an operator in the window has no options to give.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/MeterProfile.h"

namespace quillon::client {

enum class TCondition {
  cAuthenticationFailure,      // AARE: authentication-failure
  cMechanismNotSupported,      // AARE: authentication-mechanism-name-not-recognised
  cContextNotSupported,        // AARE: application-context-name-not-supported
  cCallingTitleNotRecognised,  // AARE: calling-AP-title-not-recognized
  cAuthenticationRequired,     // AARE: authentication-required, or mechanism name required
  cRejectedCiphered,           // AARE: rejected without a reason in a ciphered context
  cRejectedNoReason,           // AARE: rejected without a reason
  cMeterCannotDecipher,        // deciphering error from the meter (exception or service error)
  cInvocationCounterRefused,   // invocation-counter error from the meter
  cServerTitleMismatch,        // the AARE's system title is not the one configured
  cHlsReplyRefused,            // HLS pass 3: the meter refuses our reply to its challenge
  cIllegalChallengeResponse,   // HLS pass 4: the meter's reply to our challenge does not check
  cResponseNotDeciphered,      // we cannot decipher what the meter sent
  cResponseReplayed,           // the meter's response repeats (or lowers) its invocation counter
  cPduTooLong,                 // the meter refuses a request as too long
  cAccessDenied,               // a read, write or method answered read-write-denied
  cConnectionRefused,          // nothing accepts connections at the address
  cNoConnection,               // the address cannot be reached (timed out, no route)
  cNoResponse,                 // the meter stayed silent
  cAnswerIncomplete,           // an answer that did not come whole in the time for it
  cSerialPortUnavailable,      // the serial device cannot be opened
  cMeterQuirk,                 // a deviation of the meter that a quirk would let pass
};

// One row: texts with placeholders filled from the evidence:
// {client} {mechanism} {context} {meter-context} {title} {server-title} {meter-title}
// {meter-mechanisms} {secret-form} {other-secret-form} {endpoint} {timeout}
// {quirk} {deviation} {drop-strict}.
struct TDiagnosisRow {
  TCondition Condition;
  const char* Name;   // short key, stable (JSON, README anchors)
  const char* When;   // what the meter said, for the README
  const char* What;   // what happened
  const char* Cause;  // the likely cause
  const char* Fix;    // what to do, in quillon-cli's words (its options)
  // What to do in the desktop window: the settings as the settings dialog
  // labels them, the menu commands. Null where the fix names nothing of
  // either program, and `Fix` says it for both.
  const char* WindowFix;
  const char* WindowText() const { return WindowFix ? WindowFix : Fix; }
};

const std::vector<TDiagnosisRow>& DiagnosisTable();

struct TDiagnosis {
  TCondition Condition;
  std::string Name, What, Cause, Fix;
  std::string WindowFix;  // the fix as the desktop window words it
  // "What. Likely cause: ... Fix: ..." on one line (quillon-cli's fix).
  std::string Text() const;
};

// What we know about a failure.
struct TFailureEvidence {
  std::string EngineText;  // the engine's (or a layer's) error text
  std::string Traffic;     // the engine's log lines of the failed call (request and response XML)
  TMeterProfile Profile;
  // Mechanism names the meter's association objects list, when they could
  // be read through the public client ("" entries are skipped).
  std::vector<std::string> MeterMechanisms;
  // Where a meter that called in called from ("192.0.2.7:40001"); the
  // profile's address names every other meter.
  std::string Peer;
};

// The row that explains the failure, filled in; nothing when no row applies
// (a link failure, say: its own message says enough).
std::optional<TDiagnosis> Diagnose(const TFailureEvidence& evidence);

// The system title the meter announced in the last association response of
// `traffic` (the engine's log lines), as hex; empty when it announced none.
std::string AnnouncedSystemTitle(const std::string& traffic);
// The invocation counter of the ciphered InitiateResponse in the last AARE
// the traffic holds; none when it holds no ciphered one.
std::optional<uint32_t> AnswerInvocationCounter(const std::string& traffic);

// The meter refused the association in its AARE (rather than failing later).
bool IsRejection(TCondition c);
// The link failed rather than the meter refusing something.
bool IsLinkFailure(TCondition c);

// A row's text with its placeholders in general words ("*client*"), as
// the table is shown without a failure at hand.
std::string GeneralText(const std::string& rowText);

// The table as a Markdown section body (the README is made from it).
std::string DiagnosisMarkdown();

}  // namespace quillon::client
