// How to reach one meter and open an association with it: transport,
// addresses, referencing, authentication, security and timeouts. Profiles
// come from command-line options, from the desktop application's settings
// file form, or from the named meters file ($XDG_CONFIG_HOME/quillon/meters.ini).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "client/Quirks.h"
#include "xmlpdu/infra/Errors.h"

namespace quillon::client {

enum class TTransport { tWrapperTcp, tHdlcTcp, tHdlcSerial };

// Authentication mechanisms by the engine's numbering (1 lowest .. 8 ECDSA).
enum TMechanism { mLowest = 1, mLow = 2, mManufacturer = 3, mMD5 = 4, mSHA1 = 5, mGMAC = 6, mSHA256 = 7, mECDSA = 8 };

// Client system title proposed when the profile gives none.
inline constexpr const char* kDefaultClientSystemTitle = "QXV00001";

struct TMeterProfile {
  // The meter's name where it has one (a section of the meters file, a row
  // of a fleet list): messages name the meter by it.
  std::string Name;
  TTransport Transport = TTransport::tWrapperTcp;
  std::string Host;        // TCP: address (IPv4, IPv6 or name)
  int Port = 4059;
  std::string Device;      // serial device path
  int Baud = 9600;
  bool ModeE = false;

  int ClientAddress = 16;
  int ServerAddress = 1;     // logical device (wrapper port or HDLC upper address)
  int PhysicalAddress = -1;  // HDLC lower address; -1: a one-byte server address
  int AddressSize = 0;       // HDLC server address size 1, 2 or 4; 0: chosen from the addresses

  bool ShortNames = false;
  int Mechanism = mLowest;
  std::string Secret;  // password or HLS secret, as bytes

  int Policy = 0;  // 0 none, 1 authenticated, 2 encrypted, 3 both; not 0 means a ciphered context
  int Suite = 0;   // 0, 1, 2
  std::string EK, AK, KEK, ClientSystemTitle, ServerSystemTitle;  // bytes
  bool UseDedicatedKey = false;  // the engine proposes a fresh dedicated key
  // ECDSA authentication: PEM files of the client's private signing key and
  // of the meter's public signing key (a public key or a certificate), on
  // the curve of the suite (1: P-256, 2: P-384).
  std::string ClientSigningKeyFile, ServerSigningKeyFile;

  // The meter calls in (TCP, wrapper or HDLC): instead of dialling
  // Host:Port, the session listens on [Host:]Port (Host empty: every local
  // address) and runs over the first connection that comes within
  // CallInWait seconds. The session's call-in notice says when it waits
  // and who connected (TSession::SetCallInNotice, TSession::Peer).
  bool CallIn = false;
  int CallInWait = 300;
  // Who may call as this meter (client/CallerTrust.h): the addresses and
  // networks it calls from ("192.0.2.7, 198.51.100.0/24"; empty: anywhere),
  // and whether a caller that cannot prove it is the meter before it gets
  // the meter's secret is read all the same.
  std::string Callers;
  bool TrustUnprovenCaller = false;

  int ConnectTimeout = 5000;
  int ResponseTimeout = 3000;
  int InactivityTimeout = 30000;

  TQuirks Quirks;  // tolerances for this meter's deviations
  // Refuse the deviations tolerated by default (see ToleratedDeviations);
  // those the quirks name are still taken.
  bool Strict = false;
  // Ciphered associations start from the invocation counter the meter
  // publishes (0.0.43.1.0.255, read through the public client) + 1.
  bool InvocationCounterAuto = false;

  bool Ciphered() const { return Policy != 0; }
  // Whether the session's messages carry an invocation counter the meter
  // checks: a ciphered context, or HLS with GMAC or ECDSA.
  bool CountsInvocations() const { return Ciphered() || Mechanism == mGMAC || Mechanism == mECDSA; }
  // The engine's ApplicationContext: 1 SN, 2 SN ciphered, 3 LN, 4 LN ciphered.
  int ApplicationContext() const { return (ShortNames ? 1 : 3) + (Ciphered() ? 1 : 0); }
  // Fails with a one-line message naming the field, the value and what was
  // expected (key lengths of the suite, mechanisms that need a secret, ...).
  void Check() const;
};

// The same meter reached through the public client (16, no authentication,
// no ciphering, logical names).
TMeterProfile PublicClientProfile(const TMeterProfile& p);

// HOST[:PORT], IPv6 in brackets; the port is left as it is when the text
// gives none. Fails with a message naming `where` and the text.
void SplitHostPort(const std::string& where, const std::string& text, std::string& host, int& port);
// The desktop's "IP and Port": an address, never a host name (IPv6 in
// brackets), with its port. Fails with "Illegal IP address \"<text>\"" or
// "Server TCP port not specified".
void SplitAddressAndPort(const std::string& text, std::string& address, int& port);
// Serial devices present on this machine: /dev/serial/by-id/*, then
// ttyUSB*, ttyACM* and ttyS*, each group in natural order (`dev`: the
// folder in place of /dev).
std::vector<std::string> SerialPorts(const std::string& dev = "/dev");
// The device of a COM port number of old settings files.
std::string SerialDeviceOfCom(int com);
// The items of the application's authentication combo box, as its settings
// file holds them, with their mechanisms. The first three are the ones the
// settings have always had; their positions stay.
struct TMechanismItem {
  const char* Text;
  int Value;
};
inline constexpr TMechanismItem kSettingsMechanisms[] = {
    {"NO", mLowest},         {"LOW", mLow},           {"HIGH  (GMAC)", mGMAC},   {"HIGH  (MD5)", mMD5},
    {"HIGH  (SHA-1)", mSHA1}, {"HIGH  (SHA-256)", mSHA256}, {"HIGH  (ECDSA)", mECDSA}};
// Mechanisms whose secret is the settings' password field.
inline bool UsesPassword(int mechanism) {
  return mechanism == mLow || mechanism == mMD5 || mechanism == mSHA1 || mechanism == mSHA256;
}
// The security fields of the settings form that a mechanism in a context
// (ciphered or not) reads; the others are left alone.
struct TSettingsSecurityFields {
  bool Password = false;           // EDITPW: the password or HLS secret
  bool Keys = false;               // EDITGUEK, EDITGAK
  bool ServerSystemTitle = false;  // EDITServerSystemTitle: GMAC, SHA-256 and ECDSA compute with it
  bool SigningKeyFiles = false;    // EDITClientSigningKeyFile, EDITServerSigningKeyFile
};
TSettingsSecurityFields SettingsSecurityFields(bool ciphered, int mechanism);
// Key encryption key the settings form proposes where it uses keys: the
// form has no field for one.
inline constexpr const char* kSettingsKEKHex = "7E51C0A9B3D24F86E0A5917C3B6D28F4";

// The addresses the settings form can carry for a profile: a wrapper port
// is 16 bits, an HDLC address byte 7 bits (the client and a one-byte server
// address); with a physical address the server address has two or four
// bytes, each part then 0..16383.
struct TAddressRange {
  int Min, Max;
};
struct TSettingsAddressRanges {
  TAddressRange Client, Server, Physical;
};
TSettingsAddressRanges SettingsAddressRanges(bool tcp, bool physicalAddress);
// The HDLC server address size of a profile: its own when set, else 1
// without a physical address, 4 when either part is above 127, 2 otherwise.
int ServerAddressSize(const TMeterProfile& p);

// Names as users type them.
// Unknown names throw, naming `where` and the name.
const char* MechanismName(int mechanism);  // "none", "low", "md5", ...
int MechanismOfName(const std::string& name, const std::string& where = "--auth");
const char* PolicyName(int policy);            // "none", "auth", "enc", "auth-enc"
int PolicyOfName(const std::string& name, const std::string& where = "--security");

// ---------------------------------------------------------------- INI files

// A name as section names and keys compare (as strcasecmp does): ASCII
// letters in lower case, for looking them up in an index.
std::string FoldedName(const std::string& name);

// An INI-structured file: sections of key=value lines, kept in order. Keys
// and section names compare case-insensitively, as the application's own.
class TIniData {
public:
  void Parse(const std::string& text);
  std::string Text() const;
  // Missing file: empty data. Unreadable file: general error.
  static TIniData Load(const std::string& path);
  // Written durably (WriteFileDurably: through a link to its target); `mode`
  // for the new file (0600 for files holding secrets).
  void Save(const std::string& path, unsigned mode) const;

  bool Has(const std::string& section, const std::string& key) const;
  std::string Get(const std::string& section, const std::string& key, const std::string& def = "") const;
  void Set(const std::string& section, const std::string& key, const std::string& value);
  bool HasSection(const std::string& section) const;
  void EraseSection(const std::string& section);
  std::vector<std::string> Sections() const;

private:
  struct TSection {
    std::string Name;
    std::vector<std::pair<std::string, std::string>> Entries;
    // Entry positions by lower-case key, once there are more than
    // kKeysWithoutIndex of them.
    std::unordered_map<std::string, size_t> KeyIndex;
    static constexpr size_t kKeysWithoutIndex = 32;
    const std::pair<std::string, std::string>* Entry(const std::string& key) const;
    std::pair<std::string, std::string>* Entry(const std::string& key) {
      return const_cast<std::pair<std::string, std::string>*>(std::as_const(*this).Entry(key));
    }
    void Add(const std::string& key, const std::string& value);
  };
  TSection* Find(const std::string& name);
  const TSection* Find(const std::string& name) const;
  std::vector<TSection> FSections;
  // Section positions by lower-case name: a file of 100,000 meters loads in
  // linear time.
  std::unordered_map<std::string, size_t> FIndex;
};

// The settings file form of the desktop application (section "FormSettings"
// and its combo-box sections). The serial line is "EDITDevicePath" when that
// is set (any path, a pseudo-terminal included), else the port number
// "EDITComPort" (1 /dev/ttyS0, 101 /dev/ttyUSB1, 201 /dev/ttyACM1). The HDLC
// inactivity timeout is key "0" of section "Misc" when the form has it (the
// program's own settings file does). A TCP profile whose meter calls in is
// "CHKCallIn"=1 with the port to listen on in "EDITCallInPort" and the
// seconds to wait in "EDITCallInWait" (EDITServerIP is then not read). This is the one way the application's
// settings become a profile: the window converts its controls through it.
TMeterProfile ProfileFromSettings(const TIniData& ini);
void ProfileToSettings(const TMeterProfile& p, TIniData& ini);

// A value of a meter's section that cannot serve; `Key` names it.
struct EMeterFieldError : EGeneralError {
  EMeterFieldError(std::string key, const std::string& message) : EGeneralError(message), Key(std::move(key)) {}
  std::string Key;
};

// One section of the meters file. A bad value fails with EMeterFieldError
// "meter NAME: KEY \"VALUE\": expected ...".
TMeterProfile ProfileFromMeterSection(const TIniData& ini, const std::string& name);
void ProfileToMeterSection(const TMeterProfile& p, TIniData& ini, const std::string& name);

// Stores `p` as meter `name` in the meters file (MetersFilePath()), its
// other meters kept: read, changed and written under an exclusive lock
// (TFileLock on the file's link target + ".lock", waiting up to
// kMetersLockWaitMs), so that processes saving at once lose nothing; a
// link stays a link. The lock that cannot be had fails as TFileLock says.
inline constexpr int kMetersLockWaitMs = 10000;
void SaveMeterSection(const TMeterProfile& p, const std::string& name);

// $XDG_CONFIG_HOME/quillon (or ~/.config/quillon) and the meters file in it.
std::string ConfigFolder();
std::string MetersFilePath();
// $XDG_DATA_HOME/quillon (or ~/.local/share/quillon).
std::string DataFolder();
// Creates a folder and its parents that are missing, readable by the owner only.
void MakeFolders(const std::string& path);

}  // namespace quillon::client
