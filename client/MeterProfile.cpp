#include "client/MeterProfile.h"
#include "client/CallerTrust.h"
#include "client/FileLock.h"
#include "client/SecretText.h"
#include "comm/Serial.h"
#include "comm/TCPClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <tuple>
#include <sstream>
#include <strings.h>

#include "comm/Serial.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

namespace {

const char* const kMechanismNames[] = {"", "none", "low", "manufacturer", "md5", "sha1", "gmac", "sha256", "ecdsa"};
const char* const kPolicyNames[] = {"none", "auth", "enc", "auth-enc"};

bool Same(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

void CheckLength(const std::string& prefix, const char* field, const std::string& value, size_t bytes,
                 const std::string& why) {
  if (value.empty() || value.size() == bytes) return;
  // The value itself is a key more often than not: it is never quoted.
  RaiseGeneral(Format("%s%s: expected %d hex digits (%s), found %d", prefix.c_str(), field,
                      static_cast<int>(bytes * 2), why.c_str(), static_cast<int>(value.size() * 2)));
}

std::string Hex(const std::string& bytes) { return TMisc::ByteStrToHexStr(bytes); }

}  // namespace

const char* MechanismName(int m) { return m >= 1 && m <= 8 ? kMechanismNames[m] : "?"; }

int MechanismOfName(const std::string& name, const std::string& where) {
  for (int m = 1; m <= 8; ++m)
    if (Same(name, kMechanismNames[m])) return m;
  RaiseGeneral(Format("%s \"%s\": expected none, low, manufacturer, md5, sha1, gmac, sha256 or ecdsa", where.c_str(),
                      name.c_str()));
}

const char* PolicyName(int p) { return p >= 0 && p <= 3 ? kPolicyNames[p] : "?"; }

int PolicyOfName(const std::string& name, const std::string& where) {
  for (int p = 0; p <= 3; ++p)
    if (Same(name, kPolicyNames[p])) return p;
  RaiseGeneral(Format("%s \"%s\": expected none, auth, enc or auth-enc", where.c_str(), name.c_str()));
}

void TMeterProfile::Check() const {
  const std::string prefix = "--";
  if (CallIn) {
    if (Transport == TTransport::tHdlcSerial)
      RaiseGeneral("--accept: expected a TCP transport (the DLMS wrapper or HDLC frames), not a serial line");
    if (Port < 0 || Port > 65535) RaiseGeneral(Format("--accept port \"%d\": expected 0..65535", Port));
    if (CallInWait < 0 || CallInWait > 86400 * 7)
      RaiseGeneral(Format("--wait \"%d\": expected 0..604800 seconds", CallInWait));
  } else if (Transport == TTransport::tHdlcSerial ? Device.empty() : Host.empty())
    RaiseGeneral("connection: expected --tcp HOST[:PORT], --hdlc-tcp HOST:PORT, --serial DEVICE or --meter NAME");
  if (!CallIn && (Port < 1 || Port > 65535)) RaiseGeneral(Format("--tcp port \"%d\": expected 1..65535", Port));
  if (ClientAddress < 0 || ClientAddress > 255)
    RaiseGeneral(Format("--client \"%d\": expected 0..255", ClientAddress));
  if (ServerAddress < 0 || ServerAddress > (Transport == TTransport::tWrapperTcp ? 65535 : 16383))
    RaiseGeneral(Format("--server \"%d\": expected 0..%d", ServerAddress,
                        Transport == TTransport::tWrapperTcp ? 65535 : 16383));
  if (PhysicalAddress > 16383) RaiseGeneral(Format("--physical \"%d\": expected 0..16383", PhysicalAddress));
  if (Suite < 0 || Suite > 2) RaiseGeneral(Format("--suite \"%d\": expected 0, 1 or 2", Suite));
  if (Mechanism < 1 || Mechanism > 8) RaiseGeneral(Format("--auth \"%d\": expected 1..8", Mechanism));
  const size_t keyBytes = Suite == 2 ? 32 : 16;
  const std::string why = Format("a %d-byte key for security suite %d", static_cast<int>(keyBytes), Suite);
  CheckLength(prefix, "ek", EK, keyBytes, why);
  CheckLength(prefix, "ak", AK, keyBytes, why);
  CheckLength(prefix, "kek", KEK, keyBytes, why);
  CheckLength(prefix, "system-title", ClientSystemTitle, 8, "8 bytes");
  CheckLength(prefix, "server-system-title", ServerSystemTitle, 8, "8 bytes");
  if (Mechanism >= mLow && Mechanism != mGMAC && Mechanism != mECDSA && Secret.empty())
    RaiseGeneral(Format("--password: expected a password for --auth %s (or --password-hex, QUILLON_PASSWORD)",
                        MechanismName(Mechanism)));
  if ((Mechanism == mSHA256 || Mechanism == mECDSA) && ServerSystemTitle.empty())
    RaiseGeneral(Format("--server-system-title: expected the meter's system title for --auth %s", MechanismName(Mechanism)));
  if (Mechanism == mECDSA) {
    // The signatures are made on the suite's curve, and the engine holds the
    // symmetric keys of the suite for every association that has one.
    if (Suite != 1 && Suite != 2)
      RaiseGeneral(Format("--suite \"%d\": expected 1 (P-256) or 2 (P-384) for --auth ecdsa", Suite));
    if (ClientSigningKeyFile.empty())
      RaiseGeneral("--signing-key: expected the PEM file of the client's private signing key for --auth ecdsa");
    if (ServerSigningKeyFile.empty())
      RaiseGeneral("--server-signing-key: expected the PEM file of the meter's public signing key for --auth ecdsa");
    if (EK.empty()) RaiseGeneral("--ek: expected the encryption key for --auth ecdsa (or QUILLON_EK)");
    if (KEK.empty()) RaiseGeneral("--kek: expected the key encryption key for --auth ecdsa (or QUILLON_KEK)");
  }
  if ((Ciphered() || Mechanism == mGMAC) && EK.empty())
    RaiseGeneral("--ek: expected the encryption key for a ciphered association (or QUILLON_EK)");
  if ((Ciphered() || Mechanism == mGMAC) && ServerSystemTitle.empty() && Mechanism != mGMAC)
    RaiseGeneral("--server-system-title: expected the meter's system title for a ciphered association");
}

// ---------------------------------------------------------------- INI files

std::string FoldedName(const std::string& name) {
  std::string f = name;
  for (char& c : f)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return f;
}

void TIniData::Parse(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  TSection* current = nullptr;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';' || line[first] == '#') continue;
    const size_t last = line.find_last_not_of(" \t");
    if (line[first] == '[' && line[last] == ']') {
      const std::string name = line.substr(first + 1, last - first - 1);
      current = Find(name);
      if (!current) {
        FIndex.emplace(FoldedName(name), FSections.size());
        FSections.push_back(TSection{name, {}, {}});
        current = &FSections.back();
      }
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq <= first || !current) continue;
    std::string key = line.substr(first, eq - first);
    key.erase(key.find_last_not_of(" \t") + 1);
    const std::string name = current->Name;
    Set(name, key, line.substr(eq + 1));
    current = Find(name);
  }
}

std::string TIniData::Text() const {
  std::string out;
  for (const TSection& s : FSections) {
    out += "[" + s.Name + "]\n";
    for (const auto& [k, v] : s.Entries) out += k + "=" + v + "\n";
    out += "\n";
  }
  return out;
}

TIniData TIniData::Load(const std::string& path) {
  TIniData d;
  d.Parse(ReadFileText(path));
  return d;
}

void TIniData::Save(const std::string& path, unsigned mode) const { WriteFileDurably(path, Text(), mode); }

TIniData::TSection* TIniData::Find(const std::string& name) {
  const auto it = FIndex.find(FoldedName(name));
  return it == FIndex.end() ? nullptr : &FSections[it->second];
}

const TIniData::TSection* TIniData::Find(const std::string& name) const {
  const auto it = FIndex.find(FoldedName(name));
  return it == FIndex.end() ? nullptr : &FSections[it->second];
}

const std::pair<std::string, std::string>* TIniData::TSection::Entry(const std::string& key) const {
  if (!KeyIndex.empty()) {
    const auto it = KeyIndex.find(FoldedName(key));
    return it == KeyIndex.end() ? nullptr : &Entries[it->second];
  }
  for (const auto& e : Entries)
    if (Same(e.first, key)) return &e;
  return nullptr;
}

void TIniData::TSection::Add(const std::string& key, const std::string& value) {
  Entries.emplace_back(key, value);
  // A few keys are found fastest by looking at each; a section of many
  // (a hostile list of thousands of columns) gets an index.
  if (!KeyIndex.empty()) KeyIndex.emplace(FoldedName(key), Entries.size() - 1);
  else if (Entries.size() > kKeysWithoutIndex)
    for (size_t i = 0; i < Entries.size(); ++i) KeyIndex.emplace(FoldedName(Entries[i].first), i);
}

bool TIniData::Has(const std::string& section, const std::string& key) const {
  const TSection* s = Find(section);
  return s && s->Entry(key);
}

std::string TIniData::Get(const std::string& section, const std::string& key, const std::string& def) const {
  const TSection* s = Find(section);
  const auto* e = s ? s->Entry(key) : nullptr;
  return e ? e->second : def;
}

void TIniData::Set(const std::string& section, const std::string& key, const std::string& value) {
  TSection* s = Find(section);
  if (!s) {
    FIndex.emplace(FoldedName(section), FSections.size());
    FSections.push_back(TSection{section, {}, {}});
    s = &FSections.back();
  }
  // One line per key: a value never spills into the next line.
  const std::string v = value.substr(0, value.find_first_of("\r\n"));
  if (auto* e = s->Entry(key)) e->second = v;
  else s->Add(key, v);
}

bool TIniData::HasSection(const std::string& section) const { return Find(section) != nullptr; }

void TIniData::EraseSection(const std::string& section) {
  const auto it = FIndex.find(FoldedName(section));
  if (it == FIndex.end()) return;
  FSections.erase(FSections.begin() + static_cast<std::ptrdiff_t>(it->second));
  FIndex.clear();
  for (size_t i = 0; i < FSections.size(); ++i) FIndex.emplace(FoldedName(FSections[i].Name), i);
}

std::vector<std::string> TIniData::Sections() const {
  std::vector<std::string> names;
  for (const TSection& s : FSections) names.push_back(s.Name);
  return names;
}

// ---------------------------------------------------------------- helpers

namespace {

int IntOf(const std::string& where, const std::string& text, int lo, int hi) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || v < lo || v > hi)
    RaiseGeneral(Format("%s \"%s\": expected an integer in %d..%d", where.c_str(), text.c_str(), lo, hi));
  return static_cast<int>(v);
}

std::string BytesOfHex(const std::string& where, const std::string& text) {
  try {
    return TMisc::HexStrToByteStr(text);
  } catch (const std::exception& e) {
    RaiseGeneral(Format("%s \"%s\": expected hex digits (%s)", where.c_str(), text.c_str(), e.what()));
  }
}

}  // namespace

void SplitAddressAndPort(const std::string& text, std::string& address, int& port) {
  bool isIPv4 = true, error = true;
  port = -1;
  TProtocolLayerTCPClient::SplitIPAddressAndPort(text, address, port, isIPv4, error);
  if (error) RaiseGeneral(Format("Illegal IP address \"%s\"", text.c_str()));
  if (port < 0) RaiseGeneral("Server TCP port not specified");
}

std::vector<std::string> SerialPorts(const std::string& dev) {
  std::vector<std::string> devices = TProtocolLayerSerial::PresentDevices(dev);
  // ttyUSB2 before ttyUSB10: within its group a name sorts by its stem,
  // then by the number it ends in.
  const auto key = [&dev](const std::string& path) {
    int group = 0;
    for (const char* g : {"/serial/by-id/", "/ttyUSB", "/ttyACM", "/ttyS"}) {
      if (path.compare(dev.size(), std::strlen(g), g) == 0) break;
      ++group;
    }
    size_t stem = path.size();
    while (stem > 0 && std::isdigit(static_cast<unsigned char>(path[stem - 1]))) --stem;
    const std::string digits = path.substr(stem, 18);
    return std::make_tuple(group, path.substr(0, stem), digits.empty() ? 0LL : std::stoll(digits));
  };
  std::stable_sort(devices.begin(), devices.end(),
                   [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
  return devices;
}

std::string SerialDeviceOfCom(int com) { return TProtocolLayerSerial::DeviceNameOfCOM(com); }

void SplitHostPort(const std::string& where, const std::string& text, std::string& host, int& port) {
  std::string p;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) RaiseGeneral(Format("%s \"%s\": expected [IPv6]:PORT", where.c_str(), text.c_str()));
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') RaiseGeneral(Format("%s \"%s\": expected [IPv6]:PORT", where.c_str(), text.c_str()));
      p = text.substr(close + 2);
    }
  } else {
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find(':') == colon) {
      host = text.substr(0, colon);
      p = text.substr(colon + 1);
    } else {
      host = text;
    }
  }
  if (host.empty()) RaiseGeneral(Format("%s \"%s\": expected HOST[:PORT]", where.c_str(), text.c_str()));
  if (!p.empty()) port = IntOf(where + " port", p, 1, 65535);
}

namespace {

const char* const kSection = "FormSettings";
const char* const kReferencing[] = {"LN", "LN with ciphering", "SN", "SN with ciphering"};
const char* const kProtection[] = {"No", "Authentication", "Encryption", "Authentication and Encryption"};

// The selected item of a saved combo box; empty when none.
std::string ComboText(const TIniData& ini, const char* control) {
  const std::string section = std::string(kSection) + "." + control;
  const std::string index = ini.Get(section, "i", "-1");
  if (index.empty() || index[0] == '-') return std::string();
  return ini.Get(section, index);
}

template <size_t N>
void WriteCombo(TIniData& ini, const char* control, const char* const (&items)[N], int selected) {
  const std::string section = std::string(kSection) + "." + control;
  ini.EraseSection(section);
  ini.Set(section, "c", std::to_string(N));
  for (size_t i = 0; i < N; ++i) ini.Set(section, std::to_string(i), items[i]);
  ini.Set(section, "i", std::to_string(selected));
}

bool Flag(const std::string& v) { return v == "1" || Same(v, "true") || Same(v, "yes"); }

}  // namespace

TSettingsSecurityFields SettingsSecurityFields(bool ciphered, int mechanism) {
  TSettingsSecurityFields f;
  f.Password = UsesPassword(mechanism);
  f.Keys = ciphered || mechanism == mGMAC || mechanism == mECDSA;
  f.ServerSystemTitle = ciphered || mechanism >= mGMAC;
  f.SigningKeyFiles = mechanism == mECDSA;
  return f;
}

TSettingsAddressRanges SettingsAddressRanges(bool tcp, bool physicalAddress) {
  constexpr int kOneByte = 127, kTwoBytes = 16383, kWrapperPort = 65535;
  if (tcp) return {{0, 255}, {0, kWrapperPort}, {0, kTwoBytes}};
  if (!physicalAddress) return {{0, kOneByte}, {1, kOneByte}, {0, kTwoBytes}};
  return {{0, kOneByte}, {0, kTwoBytes}, {0, kTwoBytes}};
}

int ServerAddressSize(const TMeterProfile& p) {
  if (p.AddressSize) return p.AddressSize;
  if (p.PhysicalAddress < 0) return 1;
  return p.PhysicalAddress > 127 || p.ServerAddress > 127 ? 4 : 2;
}

TMeterProfile ProfileFromSettings(const TIniData& ini) {
  TMeterProfile p;
  // Blanks around a value are never part of it (the window trims what is typed).
  auto get = [&](const char* key) {
    const std::string v = ini.Get(kSection, key);
    const size_t first = v.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : v.substr(first, v.find_last_not_of(" \t") - first + 1);
  };
  auto where = [](const char* key) { return std::string("settings ") + key; };
  auto number = [&](const char* key, TAddressRange r) { return IntOf(where(key), get(key), r.Min, r.Max); };
  const bool tcp = Flag(get("RBSelectTCP"));
  if (tcp && Flag(get("CHKCallIn"))) {
    // "Wait for the meter to call in on port N": every local address.
    p.Transport = TTransport::tWrapperTcp;
    p.CallIn = true;
    p.Port = IntOf(where("EDITCallInPort"), get("EDITCallInPort"), 0, 65535);
    if (!get("EDITCallInWait").empty()) p.CallInWait = IntOf(where("EDITCallInWait"), get("EDITCallInWait"), 0, 86400 * 7);
  } else if (tcp) {
    p.Transport = TTransport::tWrapperTcp;
    p.Port = -1;
    SplitHostPort(where("EDITServerIP"), get("EDITServerIP"), p.Host, p.Port);
    if (p.Port < 0) RaiseGeneral(Format("settings EDITServerIP \"%s\": expected HOST:PORT", get("EDITServerIP").c_str()));
    if (!get("EDITConnectTimeout").empty())
      p.ConnectTimeout = IntOf(where("EDITConnectTimeout"), get("EDITConnectTimeout"), 0, 2147483647);
  } else {
    p.Transport = TTransport::tHdlcSerial;
    p.Device = get("EDITDevicePath");
    if (p.Device.empty())
      p.Device = TProtocolLayerSerial::DeviceNameOfCOM(IntOf(where("EDITComPort"), get("EDITComPort"), 1, 2147483647));
    p.ModeE = Flag(get("CHKModeE"));
    if (!get("EDITBaud").empty()) p.Baud = IntOf(where("EDITBaud"), get("EDITBaud"), 45, 2147483647);
    const std::string misc = ini.Get("Misc", "0");
    if (!misc.empty()) p.InactivityTimeout = IntOf("settings Misc 0", misc, 0, 2147483647);
  }
  if (!get("EDITResponseTimeout").empty())
    p.ResponseTimeout = IntOf(where("EDITResponseTimeout"), get("EDITResponseTimeout"), 0, 2147483647);
  const bool physical = !tcp && !get("EDITPhysicalAddress").empty();
  const TSettingsAddressRanges ranges = SettingsAddressRanges(tcp, physical);
  p.ClientAddress = number("EDITClientAddress", ranges.Client);
  p.ServerAddress = number("EDITServerAddress", ranges.Server);
  if (physical) p.PhysicalAddress = number("EDITPhysicalAddress", ranges.Physical);
  if (!tcp) p.AddressSize = ServerAddressSize(p);
  const std::string referencing = ComboText(ini, "CBReferencingModel");
  int r = -1;
  for (int i = 0; i < 4; ++i)
    if (referencing == kReferencing[i]) r = i;
  if (r < 0) RaiseGeneral("No referencing model specified");
  p.ShortNames = r >= 2;
  const bool ciphered = r == 1 || r == 3;
  const std::string auth = ComboText(ini, "CBAuthMechanism");
  p.Mechanism = 0;
  for (const TMechanismItem& m : kSettingsMechanisms)
    if (auth == m.Text) p.Mechanism = m.Value;
  if (p.Mechanism == 0) RaiseGeneral("No security mechanism specified");
  const TSettingsSecurityFields fields = SettingsSecurityFields(ciphered, p.Mechanism);
  if (fields.Password) p.Secret = SecretBytesOfHex(where("EDITPW"), get("EDITPW"));
  if (fields.Keys) {
    p.EK = SecretBytesOfHex(where("EDITGUEK"), get("EDITGUEK"));
    p.AK = SecretBytesOfHex(where("EDITGAK"), get("EDITGAK"));
    p.KEK = TMisc::HexStrToByteStr(kSettingsKEKHex);
  }
  if (fields.SigningKeyFiles) {
    // The settings' key fields hold suite 1's lengths: signatures on P-256.
    p.Suite = 1;
    p.ClientSigningKeyFile = get("EDITClientSigningKeyFile");
    p.ServerSigningKeyFile = get("EDITServerSigningKeyFile");
  }
  if (fields.ServerSystemTitle) {
    p.ServerSystemTitle = BytesOfHex(where("EDITServerSystemTitle"), get("EDITServerSystemTitle"));
    p.ClientSystemTitle = kDefaultClientSystemTitle;
  }
  if (ciphered) {
    const std::string protection = ComboText(ini, "CBProtectionOnRequest");
    p.Policy = -1;
    for (int i = 0; i < 4; ++i)
      if (protection == kProtection[i]) p.Policy = i;
    if (p.Policy < 0) RaiseGeneral("No protection on request specified");
    // "No" in a ciphered context still ciphers the association itself; the
    // closest we have is authenticated requests.
    if (p.Policy == 0) p.Policy = 1;
  }
  p.Quirks = ParseQuirks(get("Quirks"), "settings Quirks");
  p.Strict = Flag(get("CHKStrict"));
  return p;
}

void ProfileToSettings(const TMeterProfile& p, TIniData& ini) {
  // The window reaches a TCP meter through the wrapper only; writing such a
  // meter as a wrapper one would quietly talk to it in the wrong framing.
  if (p.Transport == TTransport::tHdlcTcp)
    RaiseGeneral("transport \"hdlc-tcp\": the application's settings hold tcp (wrapper) or serial only");
  const bool tcp = p.Transport != TTransport::tHdlcSerial;
  ini.Set(kSection, "RBSelectTCP", tcp ? "1" : "0");
  ini.Set(kSection, "RBSelectHDLC", tcp ? "0" : "1");
  if (tcp && p.CallIn) {
    ini.Set(kSection, "CHKCallIn", "1");
    ini.Set(kSection, "EDITCallInPort", std::to_string(p.Port));
    ini.Set(kSection, "EDITCallInWait", std::to_string(p.CallInWait));
  } else if (tcp) {
    if (ini.Has(kSection, "CHKCallIn")) ini.Set(kSection, "CHKCallIn", "0");
    const bool v6 = p.Host.find(':') != std::string::npos;
    ini.Set(kSection, "EDITServerIP", (v6 ? "[" + p.Host + "]" : p.Host) + ":" + std::to_string(p.Port));
  } else {
    // A device the port numbers name goes there (older settings read only
    // the number); any other goes by its path, which wins over the number.
    bool numbered = false;
    for (int n = 1; n < 300 && !numbered; ++n)
      if (TProtocolLayerSerial::DeviceNameOfCOM(n) == p.Device) {
        ini.Set(kSection, "EDITComPort", std::to_string(n));
        numbered = true;
      }
    ini.Set(kSection, "EDITDevicePath", numbered ? "" : p.Device);
    ini.Set(kSection, "EDITBaud", std::to_string(p.Baud));
    ini.Set(kSection, "CHKModeE", p.ModeE ? "1" : "0");
    ini.Set(kSection, "EDITPhysicalAddress", p.PhysicalAddress >= 0 ? std::to_string(p.PhysicalAddress) : "");
  }
  ini.Set(kSection, "EDITPW", UsesPassword(p.Mechanism) ? Hex(p.Secret) : "");
  ini.Set(kSection, "EDITGUEK", Hex(p.EK));
  ini.Set(kSection, "EDITGAK", Hex(p.AK));
  ini.Set(kSection, "EDITServerSystemTitle", Hex(p.ServerSystemTitle));
  ini.Set(kSection, "EDITClientSigningKeyFile", p.Mechanism == mECDSA ? p.ClientSigningKeyFile : "");
  ini.Set(kSection, "EDITServerSigningKeyFile", p.Mechanism == mECDSA ? p.ServerSigningKeyFile : "");
  ini.Set(kSection, "EDITConnectTimeout", std::to_string(p.ConnectTimeout));
  ini.Set(kSection, "EDITResponseTimeout", std::to_string(p.ResponseTimeout));
  ini.Set(kSection, "EDITClientAddress", std::to_string(p.ClientAddress));
  ini.Set(kSection, "EDITServerAddress", std::to_string(p.ServerAddress));
  WriteCombo(ini, "CBReferencingModel", kReferencing, (p.ShortNames ? 2 : 0) + (p.Ciphered() ? 1 : 0));
  const char* mechanisms[std::size(kSettingsMechanisms)];
  int selected = -1;
  for (size_t i = 0; i < std::size(kSettingsMechanisms); ++i) {
    mechanisms[i] = kSettingsMechanisms[i].Text;
    if (kSettingsMechanisms[i].Value == p.Mechanism) selected = static_cast<int>(i);
  }
  if (selected < 0)
    RaiseGeneral(Format("--auth \"%s\": the application's settings hold none, low, md5, sha1, gmac, sha256 or ecdsa",
                        MechanismName(p.Mechanism)));
  WriteCombo(ini, "CBAuthMechanism", mechanisms, selected);
  WriteCombo(ini, "CBProtectionOnRequest", kProtection, p.Policy);
  ini.Set(kSection, "Quirks", p.Quirks.Text());
  ini.Set(kSection, "CHKStrict", p.Strict ? "1" : "0");
}

// ---------------------------------------------------------------- meters file

TMeterProfile ProfileFromMeterSection(const TIniData& ini, const std::string& name) {
  if (!ini.HasSection(name))
    RaiseGeneral(Format("--meter \"%s\": no such meter in %s", name.c_str(), MetersFilePath().c_str()));
  TMeterProfile p;
  p.Name = name;
  // The key read last is the one a failure is about.
  std::string current;
  auto where = [&](const char* key) { return Format("meter %s: %s", name.c_str(), key); };
  auto get = [&](const char* key) {
    current = key;
    return ini.Get(name, key);
  };
  auto has = [&](const char* key) { return ini.Has(name, key) && !get(key).empty(); };
  try {
    const std::string transport = get("transport");
    if (transport == "tcp" || transport.empty()) p.Transport = TTransport::tWrapperTcp;
    else if (transport == "hdlc-tcp") p.Transport = TTransport::tHdlcTcp;
    else if (transport == "serial") p.Transport = TTransport::tHdlcSerial;
    else RaiseGeneral(Format("%s \"%s\": expected tcp, hdlc-tcp or serial", where("transport").c_str(), transport.c_str()));
    p.Host = get("host");
    if (has("port")) p.Port = IntOf(where("port"), get("port"), 1, 65535);
    p.CallIn = Flag(get("call-in"));
    if (has("call-in-wait")) p.CallInWait = IntOf(where("call-in-wait"), get("call-in-wait"), 0, 86400 * 7);
    if (has("caller")) {
      p.Callers = get("caller");
      try {
        CheckCallerNetworks(p.Callers);
      } catch (const std::exception& e) {
        RaiseGeneral(Format("meter %s: %s", name.c_str(), e.what()));
      }
    }
    p.TrustUnprovenCaller = Flag(get("trust-unproven-caller"));
    p.Device = get("device");
    if (has("baud")) p.Baud = IntOf(where("baud"), get("baud"), 45, 2147483647);
    p.ModeE = Flag(get("mode-e"));
    if (has("client")) p.ClientAddress = IntOf(where("client"), get("client"), 0, 255);
    if (has("server")) p.ServerAddress = IntOf(where("server"), get("server"), 0, 65535);
    if (has("physical")) p.PhysicalAddress = IntOf(where("physical"), get("physical"), 0, 16383);
    if (has("address-size")) p.AddressSize = IntOf(where("address-size"), get("address-size"), 0, 4);
    p.ShortNames = Same(get("referencing"), "sn");
    if (has("auth")) p.Mechanism = MechanismOfName(get("auth"), where("auth"));
    if (has("password")) p.Secret = get("password");
    if (has("password-hex")) p.Secret = SecretBytesOfHex(where("password-hex"), get("password-hex"));
    if (has("security")) p.Policy = PolicyOfName(get("security"), where("security"));
    if (has("suite")) p.Suite = IntOf(where("suite"), get("suite"), 0, 2);
    if (has("ek")) p.EK = SecretBytesOfHex(where("ek"), get("ek"));
    if (has("ak")) p.AK = SecretBytesOfHex(where("ak"), get("ak"));
    if (has("kek")) p.KEK = SecretBytesOfHex(where("kek"), get("kek"));
    if (has("system-title")) p.ClientSystemTitle = BytesOfHex(where("system-title"), get("system-title"));
    if (has("server-system-title"))
      p.ServerSystemTitle = BytesOfHex(where("server-system-title"), get("server-system-title"));
    p.UseDedicatedKey = Flag(get("dedicated-key"));
    p.ClientSigningKeyFile = get("signing-key");
    p.ServerSigningKeyFile = get("server-signing-key");
    if (has("connect-timeout")) p.ConnectTimeout = IntOf(where("connect-timeout"), get("connect-timeout"), 0, 2147483647);
    if (has("response-timeout"))
      p.ResponseTimeout = IntOf(where("response-timeout"), get("response-timeout"), 0, 2147483647);
    if (has("quirks")) p.Quirks = ParseQuirks(get("quirks"), where("quirks").c_str());
    p.Strict = Flag(get("strict"));
    p.InvocationCounterAuto = Same(get("ic"), "auto");
  } catch (const std::exception& e) {
    throw EMeterFieldError(current, e.what());
  }
  return p;
}

void ProfileToMeterSection(const TMeterProfile& p, TIniData& ini, const std::string& name) {
  ini.EraseSection(name);
  auto set = [&](const char* key, const std::string& v) {
    if (!v.empty()) ini.Set(name, key, v);
  };
  const char* transports[] = {"tcp", "hdlc-tcp", "serial"};
  set("transport", transports[static_cast<int>(p.Transport)]);
  if (p.Transport == TTransport::tHdlcSerial) {
    set("device", p.Device);
    set("baud", std::to_string(p.Baud));
    set("mode-e", p.ModeE ? "1" : "0");
  } else {
    set("host", p.Host);
    set("port", std::to_string(p.Port));
    if (p.CallIn) {
      set("call-in", "1");
      set("call-in-wait", std::to_string(p.CallInWait));
    }
    set("caller", p.Callers);
    if (p.TrustUnprovenCaller) set("trust-unproven-caller", "1");
  }
  set("client", std::to_string(p.ClientAddress));
  set("server", std::to_string(p.ServerAddress));
  if (p.PhysicalAddress >= 0) set("physical", std::to_string(p.PhysicalAddress));
  if (p.AddressSize) set("address-size", std::to_string(p.AddressSize));
  set("referencing", p.ShortNames ? "sn" : "ln");
  set("auth", MechanismName(p.Mechanism));
  // Secrets as hex: whatever bytes they hold survive the round trip.
  set("password-hex", Hex(p.Secret));
  set("security", PolicyName(p.Policy));
  set("suite", std::to_string(p.Suite));
  set("ek", Hex(p.EK));
  set("ak", Hex(p.AK));
  set("kek", Hex(p.KEK));
  set("system-title", Hex(p.ClientSystemTitle));
  set("server-system-title", Hex(p.ServerSystemTitle));
  if (p.UseDedicatedKey) set("dedicated-key", "1");
  set("signing-key", p.ClientSigningKeyFile);
  set("server-signing-key", p.ServerSigningKeyFile);
  set("connect-timeout", std::to_string(p.ConnectTimeout));
  set("response-timeout", std::to_string(p.ResponseTimeout));
  set("quirks", p.Quirks.Text());
  if (p.Strict) set("strict", "1");
  if (p.InvocationCounterAuto) set("ic", "auto");
}

void SaveMeterSection(const TMeterProfile& p, const std::string& name) {
  // The folder holds secrets too: only its owner may look inside.
  MakeFolders(ConfigFolder());
  const std::string path = MetersFilePath();
  // The lock sits beside the file a link points to, so that every name for
  // the file shares it.
  TFileLock lock(LinkTarget(path) + ".lock", kMetersLockWaitMs);
  lock.WriteOwner();
  TIniData ini = TIniData::Load(path);
  ProfileToMeterSection(p, ini, name);
  ini.Save(path, 0600);
}

TMeterProfile PublicClientProfile(const TMeterProfile& p) {
  TMeterProfile pub = p;
  pub.ClientAddress = 16;
  pub.Mechanism = mLowest;
  pub.Secret.clear();
  pub.Policy = 0;
  pub.ShortNames = false;
  pub.Quirks = TQuirks{};
  pub.InvocationCounterAuto = false;
  return pub;
}

std::string ConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/quillon";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/quillon";
}

std::string MetersFilePath() { return ConfigFolder() + "/meters.ini"; }

std::string DataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/quillon";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share/quillon";
}

void MakeFolders(const std::string& path) {
  for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
    const std::string partial = path.substr(0, pos);
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
      RaiseGeneral(Format("folder \"%s\": cannot be created (%s)", partial.c_str(), std::strerror(errno)));
    if (pos == std::string::npos) break;
  }
}

}  // namespace quillon::client
