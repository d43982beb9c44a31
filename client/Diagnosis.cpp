#include "client/Diagnosis.h"

#include <cstdlib>

namespace quillon::client {

namespace {

// ACSE service-user diagnostics a meter puts in a rejecting AARE.
enum {
  kNoReason = 1,
  kContextNotSupported = 2,
  kCallingTitleNotRecognised = 3,
  kMechanismNotRecognised = 11,
  kMechanismRequired = 12,
  kAuthenticationFailure = 13,
  kAuthenticationRequired = 14,
};

const std::vector<TDiagnosisRow> kTable = {
    {TCondition::cAuthenticationFailure, "authentication-failure",
     "AARE rejected, diagnostic authentication-failure (13)",
     "The meter rejected the association of client {client}: authentication failure",
     "a wrong password or key, the password given as {secret-form} where the meter expects {other-secret-form}, "
     "or a client address that does not go with this secret",
     "check the secret (--password TEXT or --password-hex HEX, or QUILLON_PASSWORD / QUILLON_PASSWORD_HEX) and "
     "that client {client} is the one the meter assigns to it",
     "in Show → Settings..., check the secret in \"Low security PW\" or \"HLS secret\" (\"Hex\" ticked for a secret "
     "in hex digits) and that client {client} in \"Client\" under \"Addresses\" is the one the meter assigns to it"},
    {TCondition::cMechanismNotSupported, "mechanism-not-supported",
     "AARE rejected, diagnostic authentication-mechanism-name-not-recognised (11)",
     "The meter does not accept authentication {mechanism} for client {client}",
     "the meter expects another mechanism for this client{meter-mechanisms}",
     "choose the meter's mechanism with --auth, or a client address that uses {mechanism}",
     "in Show → Settings..., choose the meter's mechanism in \"Auth. Mechanism\", or a \"Client\" address that uses "
     "{mechanism}"},
    {TCondition::cContextNotSupported, "context-not-supported",
     "AARE rejected, diagnostic application-context-name-not-supported (2)",
     "The meter does not accept the application context {context} for client {client}",
     "logical vs short names, or ciphered vs plain: the meter answered with {meter-context}",
     "use the referencing and ciphering the meter expects (--sn for short names; --security for a ciphered "
     "context, --security none for a plain one)",
     "in Show → Settings..., choose the \"Referencing Model\" the meter expects: SN for short names, LN for logical "
     "names, one \"with ciphering\" for a ciphered context"},
    {TCondition::cCallingTitleNotRecognised, "calling-title-not-recognised",
     "AARE rejected, diagnostic calling-AP-title-not-recognized (3)",
     "The meter does not know our system title {title}",
     "the client system title is not the one registered in the meter for client {client}",
     "give the registered client system title with --system-title HEX (or QUILLON_SYSTEM_TITLE)",
     "the window always calls with the client system title {title} and has no setting for another: register {title} "
     "in the meter for client {client}, or connect with quillon-cli, which takes the registered title"},
    {TCondition::cAuthenticationRequired, "authentication-required",
     "AARE rejected, diagnostic authentication-required (14) or mechanism-name-required (12)",
     "The meter requires authentication from client {client}",
     "the association was proposed without authentication (or without the mechanism the meter needs)",
     "give the mechanism with --auth and its secret or keys, or use the public client 16",
     "in Show → Settings..., choose the mechanism in \"Auth. Mechanism\" and give its secret or keys, or use the "
     "public client: 16 in \"Client\" under \"Addresses\""},
    {TCondition::cRejectedCiphered, "rejected-ciphered",
     "AARE rejected without a reason (1) in a ciphered context",
     "The meter rejected the ciphered association of client {client} without giving a reason",
     "the meter could not decipher the InitiateRequest: a wrong encryption or authentication key, a client system "
     "title it does not know, or an invocation counter it has already seen",
     "check --ek, --ak and --system-title; use --ic auto to start from the meter's own invocation counter",
     "in Show → Settings..., check \"Encryption key\" and \"Authentication key\", and that the meter knows the "
     "client system title {title}, which the window always uses; the window goes on from the invocation counter it "
     "saved for this meter and cannot begin at the meter's own counter: if the meter has seen higher ones from "
     "client {client} (from another program), connect once with quillon-cli, which can"},
    {TCondition::cRejectedNoReason, "rejected-no-reason", "AARE rejected without a reason (1)",
     "The meter rejected the association of client {client} without giving a reason",
     "the meter has no client {client}, or the server address is not one of its logical devices",
     "try the public client (--client 16) or let quillon-cli probe find the addresses",
     "try the public client (16 in \"Client\" under \"Addresses\", Show → Settings...) or let Do → Find meter... "
     "find the addresses"},
    {TCondition::cMeterCannotDecipher, "meter-cannot-decipher",
     "ExceptionResponse or ConfirmedServiceError with deciphering-error",
     "The meter could not decipher our request",
     "a wrong encryption key or authentication key, or a client system title the meter does not know",
     "check --ek, --ak and --system-title against the meter's security setup",
     "in Show → Settings..., check \"Encryption key\" and \"Authentication key\" against the meter's security "
     "setup, and that the meter knows the client system title {title}, which the window always uses"},
    {TCondition::cInvocationCounterRefused, "invocation-counter",
     "ExceptionResponse or ConfirmedServiceError with invocation-counter-error",
     "The meter refused our invocation counter",
     "the counter was replayed or is lower than the last one the meter accepted from client {client}",
     "use --ic auto to read the meter's counter first and continue above it",
     "the window goes on from the counter it saved for this meter but cannot read the meter's counter first: "
     "connect once with quillon-cli, which reads the meter's counter, continues above it and saves it for the "
     "window"},
    {TCondition::cServerTitleMismatch, "server-title-mismatch",
     "AARE accepted, but its system title is not the one configured",
     "The meter's system title {meter-title} is not the one configured ({server-title})",
     "a wrong server system title in the profile, or another meter on this address",
     "use --server-system-title {meter-title} if this is the meter you meant",
     "if this is the meter you meant, put {meter-title} in \"Meter system title\" (Show → Settings...), or take it "
     "with the \"Use the meter's system title\" button the status bar offers"},
    {TCondition::cHlsReplyRefused, "hls-reply-refused",
     "HLS: the meter answers our reply to its challenge with read-write-denied",
     "The meter refused our reply to its {mechanism} challenge",
     "a wrong secret, or for GMAC a wrong authentication key, encryption key or client system title on our side",
     "check the HLS secret (--password / --password-hex) or --ak, --ek and --system-title",
     "in Show → Settings..., check \"HLS secret\" and its \"Hex\" box, or for GMAC \"Authentication key\", "
     "\"Encryption key\" and that the meter knows the client system title {title}, which the window always uses"},
    {TCondition::cIllegalChallengeResponse, "illegal-challenge-response",
     "HLS: the meter's reply to our challenge does not check (\"Illegal response to challenge\")",
     "The meter's reply to our {mechanism} challenge is not the one its secret would give",
     "a wrong key or secret on our side, or a wrong server system title",
     "check the secret or --ek/--ak (for ecdsa the meter's public key, --server-signing-key), and "
     "--server-system-title against the meter's security setup",
     "in Show → Settings..., check \"HLS secret\" or \"Encryption key\" and \"Authentication key\" (for ECDSA "
     "\"Meter signing key (PEM)\"), and \"Meter system title\" against the meter's security setup"},
    {TCondition::cResponseNotDeciphered, "response-not-deciphered",
     "a ciphered response from the meter fails its authentication check here",
     "We could not decipher the meter's response",
     "a wrong encryption or authentication key on our side, or a wrong server system title",
     "check --ek, --ak and --server-system-title",
     "in Show → Settings..., check \"Encryption key\", \"Authentication key\" and \"Meter system title\""},
    {TCondition::cResponseReplayed, "response-replayed",
     "a ciphered response whose invocation counter is not above the one before it",
     "The meter's response repeats an invocation counter it has used before",
     "a meter whose invocation counter is stuck, or a recorded response played back by something on the line",
     "if nothing sits between us and the meter, its owner should look at its security setup: a counter that "
     "does not rise lets anyone replay its answers",
     nullptr},
    {TCondition::cPduTooLong, "pdu-too-long", "ExceptionResponse with pdu-too-long",
     "The meter refused our request as too long",
     "the meter takes shorter APDUs than the PDU size it announced",
     "give a smaller size with --quirk max-pdu=N (requests are then sent in blocks)",
     "in Show → Settings..., tick \"max-pdu\" under \"Meter quirks\" and give a smaller size (requests are then "
     "sent in blocks)"},
    {TCondition::cAccessDenied, "access-denied",
     "a data-access-result or action-result read-write-denied to a read, a write or a method",
     "The meter does not let client {client} do this",
     "the attribute or method is read-only, write-only or out of reach for client {client}'s association (the "
     "object list shows its access rights), or the association lacks the authentication it needs",
     "use a client whose association has the right, with its secret or keys (--client N, --auth and its "
     "password or keys), or leave the attribute alone",
     "in Show → Settings..., give the \"Client\" address under \"Addresses\" of an association that has the right, "
     "with its \"Auth. Mechanism\" and secret or keys, or leave the attribute alone"},
    {TCondition::cConnectionRefused, "connection-refused", "the TCP connection is refused",
     "Nothing accepts connections at {endpoint}",
     "a wrong address or port, the meter's (or its modem's) server not running, or a meter that takes one "
     "connection at a time serving another client",
     "check the meter's address and port (--tcp HOST:PORT, --hdlc-tcp HOST:PORT), that it is reachable, and that "
     "no other client holds it",
     "in Show → Settings..., check \"IP and Port\"; make sure the meter is reachable and that no other client "
     "(another window, quillon-cli, a head end) holds it"},
    {TCondition::cNoConnection, "no-connection", "the TCP connection times out or has no route",
     "No connection to {endpoint}",
     "the address is not reachable from here: a wrong address, a network or firewall that drops the connection, "
     "or a cellular modem without signal",
     "check the address and the network path; give a slow cellular link more time with --connect-timeout MS",
     "in Show → Settings..., check \"IP and Port\" and the network path; give a slow cellular link more time in "
     "\"Connect (ms)\" under \"Timeouts\""},
    {TCondition::cNoResponse, "no-response", "no answer (or no complete answer) within the response timeout",
     "The meter at {endpoint} did not answer within {timeout} ms",
     "a meter that is busy, asleep or slow, addresses it ignores (a meter stays silent to frames not meant for "
     "it), or the wrong transport (wrapper or HDLC)",
     "check --server and --physical, the transport (--tcp for the wrapper, --hdlc-tcp or --serial for HDLC), and "
     "give a slow meter more time with --timeout MS",
     "in Show → Settings..., check \"Server\" under \"Addresses\", \"Phys. addr.\" and the transport, and give "
     "a slow meter more time in \"Response (ms)\" under \"Timeouts\""},
    {TCondition::cAnswerIncomplete, "answer-incomplete",
     "an answer begun but not whole within the time for it (twice the response timeout, more per kilobyte)",
     "The answer from {endpoint} did not come whole in time",
     "a line that trickles or loses bytes (a poor modem or radio link), or a meter that stops part-way through its "
     "answer",
     "try again; on a slow line give more time with --timeout MS (the time for a whole answer grows with it)",
     "try again; on a slow line give more time in \"Response (ms)\" under \"Timeouts\""},
    {TCondition::cSerialPortUnavailable, "serial-port-unavailable", "the serial device cannot be opened",
     "The serial port {endpoint} cannot be opened",
     "the device does not exist (an adapter unplugged), another program holds it, or this user may not open it "
     "(not in group dialout)",
     "check the device (--serial DEVICE; ls /dev/serial/by-id), close the program that holds it, or add the user "
     "to group dialout",
     "choose the port again in Show → Settings... (the button beside the device lists the ports present), close "
     "the program that holds it, or add the user to group dialout"},
    {TCondition::cMeterQuirk, "meter-quirk",
     "a deviation a quirk lets pass: data blocks without the block-transfer conformance bit (tolerated unless "
     "strict), bytes after the end of a deciphered APDU",
     "The meter {deviation}",
     "a deviation known from meters in the field, which the quirk {quirk} lets pass",
     "{drop-strict}add --quirk {quirk} (save-meter keeps it with the meter)",
     "in Show → Settings..., {drop-strict}tick \"{quirk}\" under \"Meter quirks\""},
};

// The text between the last `open` and the `close` after it ("" when absent).
std::string LastBlock(const std::string& text, const std::string& open, const std::string& close) {
  const size_t at = text.rfind(open);
  if (at == std::string::npos) return {};
  const size_t end = text.find(close, at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end + close.size() - at);
}

// The Value="..." of the first `element` in `xml`.
std::string ValueOf(const std::string& xml, const std::string& element) {
  const size_t at = xml.find("<" + element);
  if (at == std::string::npos) return {};
  const size_t tagEnd = xml.find('>', at);
  const size_t v = xml.find("Value=\"", at);
  if (v == std::string::npos || v > tagEnd) return {};
  const size_t end = xml.find('"', v + 7);
  return end == std::string::npos ? std::string() : xml.substr(v + 7, end - v - 7);
}

int HexOrNumber(const std::string& s) {
  if (s.empty()) return -1;
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 16);
  return *end ? -1 : static_cast<int>(v);
}

bool Has(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

// What to drop before adding the quirk, in each program's words: a strict
// profile refuses even the deviations tolerated by default.
const char kDropStrict[] = "drop --strict or ";
const char kWindowDropStrict[] = "untick \"Strict: refuse meters' deviations\" or ";

std::string ContextText(const TMeterProfile& p) {
  return std::string(p.ShortNames ? "SN" : "LN") + (p.Ciphered() ? "_WITH_CIPHERING" : "");
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : bytes) s += {kDigits[c >> 4], kDigits[c & 15]};
  return s;
}

void Replace(std::string& s, const std::string& key, const std::string& value) {
  for (size_t at = s.find(key); at != std::string::npos; at = s.find(key, at + value.size()))
    s.replace(at, key.size(), value);
}

}  // namespace

const std::vector<TDiagnosisRow>& DiagnosisTable() { return kTable; }

std::string TDiagnosis::Text() const { return What + ". Likely cause: " + Cause + ". Fix: " + Fix + "."; }

bool IsRejection(TCondition c) {
  switch (c) {
    case TCondition::cAuthenticationFailure:
    case TCondition::cMechanismNotSupported:
    case TCondition::cContextNotSupported:
    case TCondition::cCallingTitleNotRecognised:
    case TCondition::cAuthenticationRequired:
    case TCondition::cRejectedCiphered:
    case TCondition::cRejectedNoReason: return true;
    default: return false;
  }
}

bool IsLinkFailure(TCondition c) {
  switch (c) {
    case TCondition::cConnectionRefused:
    case TCondition::cNoConnection:
    case TCondition::cNoResponse:
    case TCondition::cAnswerIncomplete:
    case TCondition::cSerialPortUnavailable: return true;
    default: return false;
  }
}

// The AARE's diagnostic when the traffic holds a rejected association
// response (-1 otherwise).
static int RejectionDiagnostic(const std::string& traffic) {
  const std::string aare = LastBlock(traffic, "<AssociationResponse>", "</AssociationResponse>");
  if (aare.empty() || HexOrNumber(ValueOf(aare, "AssociationResult")) <= 0) return -1;
  return HexOrNumber(ValueOf(aare, "ACSEServiceUser"));
}

std::string AnnouncedSystemTitle(const std::string& traffic) {
  return ValueOf(LastBlock(traffic, "<AssociationResponse>", "</AssociationResponse>"), "RespondingAPTitle");
}

std::optional<uint32_t> AnswerInvocationCounter(const std::string& traffic) {
  // The ciphered InitiateResponse of the AARE as it came: security control
  // byte, then the counter in four bytes (big-endian).
  const std::string aare = LastBlock(traffic, "<AssociationResponse>", "</AssociationResponse>");
  std::string hex;
  for (const char* element : {"glo_InitiateResponse", "ded_InitiateResponse", "CipheredService"})
    if (hex.empty()) hex = ValueOf(aare, element);
  if (hex.size() < 10 || hex.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) return std::nullopt;
  return static_cast<uint32_t>(std::stoul(hex.substr(2, 8), nullptr, 16));
}

std::optional<TDiagnosis> Diagnose(const TFailureEvidence& e) {
  const TMeterProfile& p = e.Profile;
  const std::string aare = LastBlock(e.Traffic, "<AssociationResponse>", "</AssociationResponse>");
  // The meter's complaint about ciphering, wherever it came (exception
  // response after the association, confirmed service error in the AARE).
  const std::string exception = LastBlock(e.Traffic, "<ExceptionResponse>", "</ExceptionResponse>");
  const std::string serviceError = LastBlock(e.Traffic, "<ConfirmedServiceError>", "</ConfirmedServiceError>");
  const std::string complaint = exception + serviceError;
  const std::optional<TQuirkCure> cure = QuirkCuring(e.EngineText);
  std::optional<TCondition> c;
  if (Has(complaint, "InvocationCounterError")) c = TCondition::cInvocationCounterRefused;
  else if (Has(complaint, "DecipheringError")) c = TCondition::cMeterCannotDecipher;
  else if (Has(complaint, "PduTooLong")) c = TCondition::cPduTooLong;
  else if (const int d = RejectionDiagnostic(e.Traffic); d >= 0) {
    switch (d) {
      case kAuthenticationFailure: c = TCondition::cAuthenticationFailure; break;
      case kMechanismNotRecognised: c = TCondition::cMechanismNotSupported; break;
      case kContextNotSupported: c = TCondition::cContextNotSupported; break;
      case kCallingTitleNotRecognised: c = TCondition::cCallingTitleNotRecognised; break;
      case kMechanismRequired:
      case kAuthenticationRequired: c = TCondition::cAuthenticationRequired; break;
      default: c = p.Ciphered() ? TCondition::cRejectedCiphered : TCondition::cRejectedNoReason; break;
    }
  } else if (cure && !HasQuirk(p.Quirks, cure->Quirk)) {
    c = TCondition::cMeterQuirk;
  } else if (Has(e.EngineText, "The received system-title does not match the declared value") ||
             Has(e.EngineText, "No system title received")) {
    c = TCondition::cServerTitleMismatch;
  } else if (Has(e.EngineText, "Illegal response to challenge")) {
    c = TCondition::cIllegalChallengeResponse;
  } else if (Has(e.EngineText, "ReadWriteDenied to method invocation") ||
             (p.Mechanism >= mManufacturer && Has(e.EngineText, "method invocation") &&
              Has(e.Traffic, "ReadWriteDenied"))) {
    c = TCondition::cHlsReplyRefused;
  } else if (Has(e.EngineText, "of the response is not above the last one received")) {
    c = TCondition::cResponseReplayed;
  } else if (Has(e.EngineText, "Authentication failure (Decrypt error)")) {
    c = TCondition::cResponseNotDeciphered;
  } else if (Has(e.EngineText, "the meter refused") && Has(e.EngineText, "(ReadWriteDenied)")) {
    c = TCondition::cAccessDenied;
  } else if (Has(e.EngineText, "Connection refused")) {
    c = TCondition::cConnectionRefused;
  } else if (Has(e.EngineText, "Connect timed out") || Has(e.EngineText, "No route to host") ||
             Has(e.EngineText, "Network is unreachable") || Has(e.EngineText, "Host is unreachable")) {
    c = TCondition::cNoConnection;
  } else if (Has(e.EngineText, "No complete response within")) {
    c = TCondition::cAnswerIncomplete;
  } else if (Has(e.EngineText, "No response")) {
    c = TCondition::cNoResponse;
  } else if (Has(e.EngineText, "Cannot open port")) {
    c = TCondition::cSerialPortUnavailable;
  }
  if (!c) return std::nullopt;
  const TDiagnosisRow* row = nullptr;
  for (const TDiagnosisRow& r : kTable)
    if (r.Condition == *c) row = &r;
  TDiagnosis d{*c, row->Name, row->What, row->Cause, row->Fix, row->WindowText()};
  std::string mechanisms;
  for (const std::string& m : e.MeterMechanisms)
    if (!m.empty()) mechanisms += (mechanisms.empty() ? "" : ", ") + m;
  const std::string meterContext = ValueOf(aare, "ApplicationContextName");
  const std::string meterTitle = AnnouncedSystemTitle(e.Traffic);
  const bool hexSecret = !p.Secret.empty() && [&] {
    for (unsigned char ch : p.Secret)
      if (ch < 0x20 || ch > 0x7E) return true;
    return false;
  }();
  const std::vector<std::pair<std::string, std::string>> fill = {
      {"{client}", std::to_string(p.ClientAddress)},
      {"{mechanism}", MechanismName(p.Mechanism)},
      {"{context}", ContextText(p)},
      {"{meter-context}", meterContext.empty() ? "no context name" : meterContext},
      {"{title}", Hex(p.ClientSystemTitle.empty() ? std::string(kDefaultClientSystemTitle) : p.ClientSystemTitle)},
      {"{server-title}", p.ServerSystemTitle.empty() ? "none" : Hex(p.ServerSystemTitle)},
      {"{meter-title}", meterTitle.empty() ? "(none sent)" : meterTitle},
      {"{meter-mechanisms}", mechanisms.empty() ? "" : " (its associations list " + mechanisms + ")"},
      {"{secret-form}", hexSecret ? "hex" : "text"},
      {"{other-secret-form}", hexSecret ? "text" : "hex"},
      {"{endpoint}", !e.Peer.empty()                       ? e.Peer
                     : p.Transport == TTransport::tHdlcSerial ? p.Device
                     : p.CallIn                               ? "port " + std::to_string(p.Port)
                                                              : p.Host + ":" + std::to_string(p.Port)},
      {"{timeout}", std::to_string(p.ResponseTimeout)},
  };
  if (*c == TCondition::cMeterQuirk) {
    bool tolerated = false;
    for (const TToleratedDeviation& t : ToleratedDeviations()) tolerated = tolerated || cure->Quirk == t.Quirk;
    const bool strict = tolerated && p.Strict;
    Replace(d.Fix, "{drop-strict}", strict ? kDropStrict : "");
    Replace(d.WindowFix, "{drop-strict}", strict ? kWindowDropStrict : "");
    Replace(d.What, "{deviation}", cure->What);
    for (std::string* s : {&d.Cause, &d.Fix, &d.WindowFix}) Replace(*s, "{quirk}", cure->Quirk);
  }
  for (std::string* s : {&d.What, &d.Cause, &d.Fix, &d.WindowFix})
    for (const auto& [key, value] : fill) Replace(*s, key, value);
  return d;
}

std::string GeneralText(const std::string& rowText) {
  std::string s = rowText;
  Replace(s, "{other-secret-form}", "the other form");
  Replace(s, "{secret-form}", "text or hex");
  Replace(s, "{meter-mechanisms}", "");
  Replace(s, "{drop-strict}", "drop --strict (when given) or ");
  Replace(s, "{deviation}", "deviates from what it announced");
  for (const char* k : {"client", "mechanism", "context", "meter-context", "title", "server-title", "meter-title",
                        "endpoint", "timeout", "quirk"})
    Replace(s, std::string("{") + k + "}", std::string("*") + k + "*");
  return s;
}

std::string DiagnosisMarkdown() {
  std::string md = "| the meter says | what it means | likely cause | fix |\n|---|---|---|---|\n";
  for (const TDiagnosisRow& r : kTable) {
    std::string cells[4] = {r.When, r.What, r.Cause, r.Fix};
    for (std::string& s : cells) {
      s = GeneralText(s);
      Replace(s, "|", "\\|");
    }
    md += "| " + cells[0] + " | " + cells[1] + " | " + cells[2] + " | " + cells[3] + " |\n";
  }
  return md;
}

}  // namespace quillon::client
