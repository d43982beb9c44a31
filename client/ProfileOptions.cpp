// Connection and security options as quillon-cli and the Python package take
// them, turned into a meter profile.
#include "client/ProfileOptions.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "client/CallerTrust.h"
#include "client/SecretText.h"
#include "client/SigningKeys.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string HexBytes(const char* field, const std::string& text) {
  try {
    return TMisc::HexStrToByteStr(text);
  } catch (const std::exception& e) {
    throw EUsageError(Format("%s \"%s\": expected hex digits (%s)", field, text.c_str(), e.what()));
  }
}

std::string SecretBytes(const std::string& field, const std::string& text) {
  try {
    return SecretBytesOfHex(field, text);
  } catch (const std::exception& e) {
    throw EUsageError(e.what());
  }
}

TMeterProfile BuildProfileChecked(const TProfileOptions& o) {
  TMeterProfile p;
  if (!o.Meter.empty() && !o.Settings.empty()) throw EUsageError("--meter and --settings: expected one of them, not both");
  if (!o.Meter.empty()) p = ProfileFromMeterSection(TIniData::Load(MetersFilePath()), o.Meter);
  if (!o.Settings.empty()) {
    if (::access(o.Settings.c_str(), R_OK) != 0)
      throw EUsageError(Format("--settings \"%s\": expected a readable settings file", o.Settings.c_str()));
    p = ProfileFromSettings(TIniData::Load(o.Settings));
    // The form has no size field of its own: the session chooses it from the
    // addresses, those of the options included.
    p.AddressSize = 0;
  }
  const int transports =
      !o.Tcp.empty() + !o.HdlcTcp.empty() + !o.Serial.empty() + !o.Accept.empty() + !o.AcceptHdlc.empty();
  if (transports > 1)
    throw EUsageError("connection: expected one of --tcp, --hdlc-tcp, --serial, --accept and --accept-hdlc");
  auto hostPort = [&](const char* field, const std::string& text, bool portRequired) {
    std::string host = text, port;
    if (!text.empty() && text[0] == '[') {
      const size_t close = text.find(']');
      if (close == std::string::npos) throw EUsageError(Format("%s \"%s\": expected [IPv6]:PORT", field, text.c_str()));
      host = text.substr(1, close - 1);
      if (close + 1 < text.size() && text[close + 1] == ':') port = text.substr(close + 2);
    } else if (text.find(':') != std::string::npos && text.find(':') == text.rfind(':')) {
      host = text.substr(0, text.find(':'));
      port = text.substr(text.find(':') + 1);
    }
    if (host.empty()) throw EUsageError(Format("%s \"%s\": expected HOST%s", field, text.c_str(), portRequired ? ":PORT" : "[:PORT]"));
    if (port.empty() && portRequired) throw EUsageError(Format("%s \"%s\": expected HOST:PORT", field, text.c_str()));
    p.Host = host;
    if (!port.empty()) {
      char* end = nullptr;
      const long n = std::strtol(port.c_str(), &end, 10);
      if (*end || n < 1 || n > 65535)
        throw EUsageError(Format("%s \"%s\": expected a port 1..65535 after the colon", field, text.c_str()));
      p.Port = static_cast<int>(n);
    } else if (o.Meter.empty() && o.Settings.empty()) {
      p.Port = 4059;
    }
  };
  if (!o.Tcp.empty()) {
    p.Transport = TTransport::tWrapperTcp;
    hostPort("--tcp", o.Tcp, false);
  }
  if (!o.HdlcTcp.empty()) {
    p.Transport = TTransport::tHdlcTcp;
    hostPort("--hdlc-tcp", o.HdlcTcp, true);
  }
  if (!o.Serial.empty()) {
    p.Transport = TTransport::tHdlcSerial;
    p.Device = o.Serial;
  }
  // The meter calls: [HOST:]PORT is where this end listens (every local
  // address without a host).
  auto accept = [&](const char* field, const std::string& text, TTransport transport) {
    const bool bare = text.find_first_not_of("0123456789") == std::string::npos;
    if (bare) {
      p.Host.clear();
      const long n = text.size() <= 5 ? std::strtol(text.c_str(), nullptr, 10) : -1;
      if (n < 0 || n > 65535)
        throw EUsageError(Format("%s \"%s\": expected [HOST:]PORT with a port 0..65535", field, text.c_str()));
      p.Port = static_cast<int>(n);
    } else {
      hostPort(field, text, true);
    }
    p.Transport = transport;
    p.CallIn = true;
  };
  if (!o.Accept.empty()) accept("--accept", o.Accept, TTransport::tWrapperTcp);
  if (!o.AcceptHdlc.empty()) accept("--accept-hdlc", o.AcceptHdlc, TTransport::tHdlcTcp);
  if (o.Wait >= 0) {
    if (!p.CallIn) throw EUsageError("--wait: expected --accept or --accept-hdlc as well");
    if (o.Wait > 86400 * 7) throw EUsageError(Format("--wait %d: expected 0..604800 seconds", o.Wait));
    p.CallInWait = o.Wait;
  }
  if (!o.Caller.empty() || o.TrustUnprovenCaller) {
    if (!p.CallIn) throw EUsageError("--caller, --trust-unproven-caller: expected --accept or --accept-hdlc as well");
    if (!o.Caller.empty()) {
      try {
        CheckCallerNetworks(o.Caller);
      } catch (const std::exception& e) {
        throw EUsageError(std::string("--") + e.what());
      }
      p.Callers = o.Caller;
    }
    if (o.TrustUnprovenCaller) p.TrustUnprovenCaller = true;
  }
  if (o.Baud > 0) p.Baud = o.Baud;
  if (o.ModeE) p.ModeE = true;
  if (o.Client >= 0) p.ClientAddress = o.Client;
  if (o.Server >= 0) p.ServerAddress = o.Server;
  if (o.Physical >= 0) p.PhysicalAddress = o.Physical;
  if (o.AddressSize) p.AddressSize = o.AddressSize;
  if (o.ShortNames) p.ShortNames = true;
  if (o.DedicatedKey) p.UseDedicatedKey = true;
  try {
    if (!o.Auth.empty()) p.Mechanism = MechanismOfName(o.Auth);
    if (!o.Security.empty()) p.Policy = PolicyOfName(o.Security);
  } catch (const std::exception& e) {
    throw EUsageError(e.what());
  }
  if (o.Suite >= 0) p.Suite = o.Suite;
  if (o.Timeout >= 0) p.ResponseTimeout = o.Timeout;
  if (o.ConnectTimeout >= 0) p.ConnectTimeout = o.ConnectTimeout;
  if (o.InvocationCounter == "auto") p.InvocationCounterAuto = true;
  else if (!o.InvocationCounter.empty() && o.InvocationCounter.find_first_not_of("0123456789") != std::string::npos)
    throw EUsageError(Format("--ic \"%s\": expected auto or a number", o.InvocationCounter.c_str()));
  for (const std::string& q : o.Quirks) {
    try {
      ParseQuirk(q, p.Quirks);
    } catch (const std::exception& e) {
      throw EUsageError(e.what());
    }
  }
  if (o.Strict) p.Strict = true;

  // Secrets: option, then keys file, then environment.
  TIniData keys;
  if (!o.Keys.empty()) {
    if (::access(o.Keys.c_str(), R_OK) != 0)
      throw EUsageError(Format("--keys \"%s\": expected a readable keys file", o.Keys.c_str()));
    keys = TIniData::Load(o.Keys);
  }
  auto secret = [&](const char* field, const std::string& option, const char* key, const char* env,
                    std::string& target, bool hidden = true) {
    std::string text = option;
    std::string where = field;
    if (text.empty() && keys.Has("keys", key)) {
      text = keys.Get("keys", key);
      where = o.Keys + ": " + key;
    }
    if (text.empty() && !Env(env).empty()) {
      text = Env(env);
      where = env;
    }
    if (!text.empty()) target = hidden ? SecretBytes(where, text) : HexBytes(where.c_str(), text);
  };
  secret("--ek", o.EK, "ek", "QUILLON_EK", p.EK);
  secret("--ak", o.AK, "ak", "QUILLON_AK", p.AK);
  secret("--kek", o.KEK, "kek", "QUILLON_KEK", p.KEK);
  // System titles are no secret: a mistyped one is quoted.
  secret("--system-title", o.SystemTitle, "system-title", "QUILLON_SYSTEM_TITLE", p.ClientSystemTitle, false);
  secret("--server-system-title", o.ServerSystemTitle, "server-system-title", "QUILLON_SERVER_SYSTEM_TITLE",
         p.ServerSystemTitle, false);
  if (!o.Password.empty() && !o.PasswordHex.empty())
    throw EUsageError("--password and --password-hex: expected one of them, not both");
  if (!o.Password.empty()) p.Secret = o.Password;
  else if (!o.PasswordHex.empty()) p.Secret = SecretBytes("--password-hex", o.PasswordHex);
  else if (keys.Has("keys", "password")) p.Secret = keys.Get("keys", "password");
  else if (keys.Has("keys", "password-hex")) p.Secret = SecretBytes("password-hex", keys.Get("keys", "password-hex"));
  else if (!Env("QUILLON_PASSWORD").empty()) p.Secret = Env("QUILLON_PASSWORD");
  else if (!Env("QUILLON_PASSWORD_HEX").empty()) p.Secret = SecretBytes("QUILLON_PASSWORD_HEX", Env("QUILLON_PASSWORD_HEX"));
  // ECDSA key files: option, then keys file, then environment. Kept as
  // absolute paths, so that a saved meter finds them from anywhere.
  auto keyFile = [&](const std::string& option, const char* key, const char* env, std::string& target) {
    std::string path = option;
    if (path.empty()) path = keys.Get("keys", key);
    if (path.empty()) path = Env(env);
    if (!path.empty()) target = std::filesystem::absolute(path).string();
  };
  keyFile(o.SigningKey, "signing-key", "QUILLON_SIGNING_KEY", p.ClientSigningKeyFile);
  keyFile(o.ServerSigningKey, "server-signing-key", "QUILLON_SERVER_SIGNING_KEY", p.ServerSigningKeyFile);
  try {
    p.Check();
    // A key file that cannot serve is a wrong command line too.
    if (p.Mechanism == mECDSA) LoadSigningKeys(p);
  } catch (const std::exception& e) {
    throw EUsageError(e.what());
  }
  return p;
}

}  // namespace

TMeterProfile BuildProfile(const TProfileOptions& o) {
  try {
    return BuildProfileChecked(o);
  } catch (const EUsageError&) {
    throw;
  } catch (const std::exception& e) {
    // The meters file and the settings file are part of what the user said.
    throw EUsageError(e.what());
  }
}

std::optional<uint32_t> GivenInvocationCounter(const TProfileOptions& o) {
  if (o.InvocationCounter.empty() || o.InvocationCounter == "auto") return std::nullopt;
  const unsigned long long n = std::strtoull(o.InvocationCounter.c_str(), nullptr, 10);
  if (n > 0xFFFFFFFFull) throw EUsageError(Format("--ic \"%s\": expected at most 4294967295", o.InvocationCounter.c_str()));
  return static_cast<uint32_t>(n);
}

TProfileRange ProfileRangeOf(const std::string& from, const std::string& to, const std::string& entries) {
  TProfileRange r;
  if (!entries.empty()) {
    if (!from.empty() || !to.empty()) throw EUsageError("--entries and --from/--to: expected one kind of range, not both");
    const size_t dots = entries.find("..");
    auto number = [&](const std::string& s, uint32_t& out) {
      char* end = nullptr;
      const unsigned long long n = std::strtoull(s.c_str(), &end, 10);
      if (s.empty() || *end || n > 0xFFFFFFFFull || s[0] == '-') return false;
      out = static_cast<uint32_t>(n);
      return true;
    };
    if (dots == std::string::npos || !number(entries.substr(0, dots), r.FirstEntry) ||
        (dots + 2 < entries.size() && !number(entries.substr(dots + 2), r.LastEntry)) || r.FirstEntry == 0 ||
        (r.LastEntry != 0 && r.LastEntry < r.FirstEntry))
      throw EUsageError(Format("--entries \"%s\": expected A..B with 1 <= A <= B (or A.. for all from A)", entries.c_str()));
    r.Kind = TProfileRange::rEntries;
  } else if (!from.empty() || !to.empty()) {
    r.Kind = TProfileRange::rTime;
    try {
      r.From = from.empty() ? ParseIsoTime("2000-01-01T00:00:00Z", "--from") : ParseIsoTime(from, "--from");
      r.To = to.empty() ? ParseIsoTime("2099-12-31T23:59:59Z", "--to") : ParseIsoTime(to, "--to");
    } catch (const std::exception& e) {
      throw EUsageError(e.what());
    }
    if (r.To < r.From) throw EUsageError(Format("--to \"%s\": expected a time after --from \"%s\"", to.c_str(), from.c_str()));
  }
  return r;
}

TObjectRef ObjectRefOption(const std::string& text, const char* field) {
  try {
    return ParseObjectRef(text, field);
  } catch (const std::exception& e) {
    throw EUsageError(e.what());
  }
}

std::string ValueOption(const std::string& text) {
  try {
    return ValueLiteralToXml(text);
  } catch (const std::exception& e) {
    throw EUsageError(e.what());
  }
}

}  // namespace quillon::client
