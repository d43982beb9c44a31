#include "client/InvocationCounters.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <strings.h>
#include <sys/stat.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "client/Session.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

namespace {

// A read-modify-write of the counters file takes milliseconds; a wait this
// long means a process hangs while holding it.
constexpr int kFileLockWaitMs = 10000;
constexpr uint32_t kLastCounter = 0xFFFFFFFFu;

std::string Hex(const std::string& bytes) { return TMisc::ByteStrToHexStr(bytes); }

std::string Endpoint(const TMeterProfile& p) {
  return p.Transport == TTransport::tHdlcSerial ? p.Device : p.Host + ":" + std::to_string(p.Port);
}

// The section older versions kept a meter's next counter in: address,
// server and client address, and the system title the profile named.
std::string LegacySection(const TMeterProfile& p) {
  return Format("%s/%d/%d/%s", Endpoint(p).c_str(), p.ServerAddress, p.ClientAddress, Hex(p.ServerSystemTitle).c_str());
}

// The file's salt: the keys are told apart by a hash keyed with it, so that
// the file names no key and a copy of it tells nothing about them.
const char* const kSaltSection = "salt";

// The first line of the file as this version writes it: the SHA-256 of
// everything after that line. It is a comment, so that an older version
// still reads the file; an older version that rewrites it drops the line,
// and such a file (or one from before the line existed) is taken as it is
// once and written back with the line. A file whose line does not match
// what follows it was damaged (cut short, a section lost, a digit changed
// by hand) and is refused: counters read from it could repeat.
const char* const kChecksumPrefix = "; checksum sha256 ";

// Far above any fleet's file (100,000 sequences take a few megabytes); a
// larger one is not a counters file and is not read into memory.
constexpr size_t kMaxFileBytes = 64u << 20;

std::string Sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    RaiseGeneral("invocation counters: no SHA-256 for the file's checksum");
  return Hex(std::string(reinterpret_cast<const char*>(digest), length));
}

bool IsHex(const std::string& s) { return s.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos; }

std::string KeyFingerprint(const std::string& saltHex, const TMeterProfile& p) {
  if (p.EK.empty()) return "none";
  const std::string salt = TMisc::HexStrToByteStr(saltHex);
  unsigned char mac[32];
  unsigned int length = 0;
  HMAC(EVP_sha256(), salt.data(), static_cast<int>(salt.size()), reinterpret_cast<const unsigned char*>(p.EK.data()),
       p.EK.size(), mac, &length);
  return Hex(std::string(reinterpret_cast<const char*>(mac), 8));
}

std::string ClientTitle(const TMeterProfile& p) {
  return Hex(p.ClientSystemTitle.empty() ? std::string(kDefaultClientSystemTitle) : p.ClientSystemTitle);
}

// The sequence of a nonce's key and client system title: every meter under
// one key (fleets share keys) counts in it, so that no two messages under
// that key carry the same nonce.
std::string SequenceSection(const std::string& saltHex, const TMeterProfile& p) {
  return Format("key %s client title %s", KeyFingerprint(saltHex, p).c_str(), ClientTitle(p).c_str());
}

// The per-meter sections of the version before: "<meter> client <n> key
// <fingerprint>", one sequence per meter under the same key.
const char* const kMeterSequenceKey = " key ";

// A stored counter: 1..4294967295; anything else is no counter.
std::optional<uint64_t> StoredNext(const TIniData& ini, const std::string& section) {
  const std::string v = ini.Get(section, "next");
  if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 10) return std::nullopt;
  const uint64_t n = std::strtoull(v.c_str(), nullptr, 10);
  if (n == 0 || n > kLastCounter) return std::nullopt;
  return n;
}

// The next free counter of the sequence: the highest of its own section,
// of every per-meter section an older version kept under the same key (any
// of those meters may have seen counters that high), and of the section the
// oldest versions kept for this meter before keys were told apart.
uint32_t NextIn(const TIniData& ini, const TMeterProfile& p) {
  uint64_t next = 1;
  auto raise = [&](const std::string& section) {
    if (auto n = StoredNext(ini, section)) next = std::max(next, *n);
  };
  const std::string salt = ini.Get(kSaltSection, "value");
  if (!salt.empty()) {
    raise(SequenceSection(salt, p));
    const std::string meterSuffix = kMeterSequenceKey + KeyFingerprint(salt, p);
    for (const std::string& section : ini.Sections())
      if (section.size() > meterSuffix.size() &&
          section.compare(section.size() - meterSuffix.size(), meterSuffix.size(), meterSuffix) == 0)
        raise(section);
  }
  raise(LegacySection(p));
  return static_cast<uint32_t>(next);
}

// The counters file, read and checked: it must be what this program wrote
// (or what an older version wrote, see kChecksumPrefix), each counter a
// counter, the salt a salt. Anything else fails with ECounterFileDamaged
// before a session sends, since a counter taken from it could repeat.
TIniData LoadChecked(const std::string& path) {
  auto damaged = [&](const std::string& what) {
    throw ECounterFileDamaged(
        Format("file \"%s\": damaged: %s; no ciphered session runs until it is repaired", path.c_str(), what.c_str()));
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > kMaxFileBytes)
    damaged(Format("%lld bytes, expected at most %zu", static_cast<long long>(st.st_size), kMaxFileBytes));
  std::string text = ReadFileText(path);
  if (text.size() > kMaxFileBytes) damaged(Format("expected at most %zu bytes", kMaxFileBytes));
  const size_t prefix = std::strlen(kChecksumPrefix);
  if (text.compare(0, prefix, kChecksumPrefix) == 0) {
    const size_t eol = text.find('\n');
    const std::string sum = text.substr(prefix, eol == std::string::npos ? std::string::npos : eol - prefix);
    if (sum.size() != 64 || !IsHex(sum)) damaged("the checksum line holds no SHA-256");
    text.erase(0, eol == std::string::npos ? text.size() : eol + 1);
    if (strcasecmp(sum.c_str(), Sha256Hex(text).c_str()) != 0) damaged("the checksum does not verify");
  }
  // Every line is a section, a key=value, a comment or blank: the reader
  // of such files skips other lines, and a counter on one would be lost.
  size_t lineNr = 0, pos = 0;
  while (pos < text.size()) {
    const size_t eol = std::min(text.find('\n', pos), text.size());
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    ++lineNr;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';' || line[first] == '#') continue;
    const size_t last = line.find_last_not_of(" \t");
    const size_t eq = line.find('=');
    if ((line[first] == '[' && line[last] == ']') || (eq != std::string::npos && eq > first)) continue;
    damaged(Format("line %zu is neither a [section] nor a key=value", lineNr));
  }
  TIniData ini;
  ini.Parse(text);
  bool keyed = false;
  for (const std::string& section : ini.Sections()) {
    if (strcasecmp(section.c_str(), kSaltSection) == 0) continue;
    keyed = keyed || section.find(kMeterSequenceKey) != std::string::npos || section.rfind("key ", 0) == 0;
    if (!ini.Has(section, "next")) continue;
    if (!StoredNext(ini, section)) {
      std::string v = ini.Get(section, "next");
      if (v.size() > 24) v = v.substr(0, 24) + "...";
      damaged(Format("[%s] next \"%s\": expected a counter 1..4294967295", section.c_str(), v.c_str()));
    }
  }
  if (ini.HasSection(kSaltSection)) {
    const std::string salt = ini.Get(kSaltSection, "value");
    if (salt.size() != 32 || !IsHex(salt)) damaged("[salt] value: expected 32 hex digits");
  } else if (keyed) {
    // Without its salt no key's sequence can be found again: each would
    // start over at 1.
    damaged("no [salt] section, while it holds counters under keys");
  }
  return ini;
}

void SaveChecked(const TIniData& ini, const std::string& path) {
  const std::string text = ini.Text();
  WriteFileDurably(path, kChecksumPrefix + Sha256Hex(text) + "\n" + text, 0600);
}

// A name for a file: letters, digits, dots and dashes; the rest "_".
std::string FileNameOf(const std::string& text) {
  std::string name = text;
  for (char& ch : name)
    if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-')) ch = '_';
  return name;
}

}  // namespace

std::string CounterMeterIdentity(const TMeterProfile& p) {
  if (!p.ServerSystemTitle.empty()) return "title " + Hex(p.ServerSystemTitle);
  std::string id = Endpoint(p) + "/" + std::to_string(p.ServerAddress);
  if (p.Transport != TTransport::tWrapperTcp && p.PhysicalAddress >= 0) id += "/" + std::to_string(p.PhysicalAddress);
  return id;
}

std::string MeterLabel(const TMeterProfile& p) { return p.Name.empty() ? Endpoint(p) : p.Name; }

std::string DefaultCountersFile() {
  const char* file = std::getenv("QUILLON_COUNTERS");
  return file && *file ? std::string(file) : DataFolder() + "/invocation-counters.ini";
}

TInvocationCounterFile::TInvocationCounterFile(std::string path)
    : FPath(path.empty() ? DefaultCountersFile() : std::move(path)) {}

uint32_t TInvocationCounterFile::Next(const TMeterProfile& p) const { return NextIn(LoadChecked(FPath), p); }

uint32_t TInvocationCounterFile::Reserve(const TMeterProfile& p, std::optional<uint32_t> from, uint32_t floor,
                                         uint32_t count, uint32_t& end) const {
  MakeFolders(FolderOf(FPath));
  TFileLock lock(FPath + ".lock", kFileLockWaitMs);
  TIniData ini = LoadChecked(FPath);
  std::string salt = ini.Get(kSaltSection, "value");
  if (salt.empty()) {
    // A new file, or one of a version before keys were told apart.
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) RaiseGeneral("invocation counters: no random salt for the key hash");
    salt = Hex(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
    ini.Set(kSaltSection, "value", salt);
  }
  const uint32_t stored = NextIn(ini, p);
  const uint32_t first = from ? *from : std::max(stored, floor);
  if (first >= kLastCounter)
    RaiseGeneral(Format("invocation counter: meter %s, client %d has used every counter under its key: the meter needs a new key",
                        MeterLabel(p).c_str(), p.ClientAddress));
  end = first + std::min(std::max(count, 1u), kLastCounter - first);
  // The file only ever rises: a counter given below it leaves the counters
  // reserved before reserved.
  ini.Set(SequenceSection(salt, p), "next", std::to_string(std::max(end, stored)));
  SaveChecked(ini, FPath);
  return first;
}

void TInvocationCounterFile::GiveBack(const TMeterProfile& p, uint32_t next, uint32_t reservedEnd) const {
  TFileLock lock(FPath + ".lock", kFileLockWaitMs);
  TIniData ini = LoadChecked(FPath);
  const std::string salt = ini.Get(kSaltSection, "value");
  if (salt.empty() || next >= reservedEnd) return;
  const std::string section = SequenceSection(salt, p);
  if (StoredNext(ini, section) != std::optional<uint64_t>(reservedEnd)) return;
  ini.Set(section, "next", std::to_string(next));
  SaveChecked(ini, FPath);
}

std::string TInvocationCounterFile::SessionLockPath(const TMeterProfile& p) const {
  return FolderOf(FPath) + "/sessions/" + FileNameOf(CounterMeterIdentity(p)) + "-client-" +
         std::to_string(p.ClientAddress) + ".lock";
}

std::unique_ptr<TFileLock> LockMeterSession(const TInvocationCounterFile& file, const TMeterProfile& p,
                                            const std::atomic<bool>* cancel) {
  std::unique_ptr<TFileLock> lock;
  try {
    lock = std::make_unique<TFileLock>(file.SessionLockPath(p), std::max(p.ConnectTimeout, 0), cancel);
  } catch (const ELockBusy& e) {
    if (cancel && cancel->load()) throw EMeterError("cancelled", e.what());
    const std::string who = e.Owner > 0 ? Format("another session (process %ld)", e.Owner) : std::string("another session");
    throw EMeterError(Format("meter %s, client %d: %s holds it", MeterLabel(p).c_str(), p.ClientAddress, who.c_str()),
                      e.what());
  } catch (const EGeneralError& e) {
    throw EMeterError(Format("invocation counter: %s", e.what()), e.what());
  }
  lock->WriteOwner();
  return lock;
}

}  // namespace quillon::client
