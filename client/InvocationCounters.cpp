#include "client/InvocationCounters.h"

#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

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

std::string KeyFingerprint(const std::string& saltHex, const TMeterProfile& p) {
  if (p.EK.empty()) return "none";
  const std::string salt = TMisc::HexStrToByteStr(saltHex);
  unsigned char mac[32];
  unsigned int length = 0;
  HMAC(EVP_sha256(), salt.data(), static_cast<int>(salt.size()), reinterpret_cast<const unsigned char*>(p.EK.data()),
       p.EK.size(), mac, &length);
  return Hex(std::string(reinterpret_cast<const char*>(mac), 8));
}

std::string SequenceSection(const std::string& saltHex, const TMeterProfile& p) {
  return Format("%s client %d key %s", CounterMeterIdentity(p).c_str(), p.ClientAddress, KeyFingerprint(saltHex, p).c_str());
}

// A stored counter: 1..4294967295; anything else is no counter.
std::optional<uint64_t> StoredNext(const TIniData& ini, const std::string& section) {
  const std::string v = ini.Get(section, "next");
  if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 10) return std::nullopt;
  const uint64_t n = std::strtoull(v.c_str(), nullptr, 10);
  if (n == 0 || n > kLastCounter) return std::nullopt;
  return n;
}

// The next free counter of the sequence: its own section, or (before the
// first reservation under this version) the section an older one kept.
uint32_t NextIn(const TIniData& ini, const TMeterProfile& p) {
  const std::string salt = ini.Get(kSaltSection, "value");
  if (!salt.empty())
    if (auto n = StoredNext(ini, SequenceSection(salt, p))) return static_cast<uint32_t>(*n);
  if (auto n = StoredNext(ini, LegacySection(p))) return static_cast<uint32_t>(*n);
  return 1;
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

uint32_t TInvocationCounterFile::Next(const TMeterProfile& p) const { return NextIn(TIniData::Load(FPath), p); }

uint32_t TInvocationCounterFile::Reserve(const TMeterProfile& p, std::optional<uint32_t> from, uint32_t floor,
                                         uint32_t count, uint32_t& end) const {
  MakeFolders(FolderOf(FPath));
  TFileLock lock(FPath + ".lock", kFileLockWaitMs);
  TIniData ini = TIniData::Load(FPath);
  std::string salt = ini.Get(kSaltSection, "value");
  if (salt.size() != 32 || salt.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
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
  ini.Save(FPath, 0600);
  return first;
}

void TInvocationCounterFile::GiveBack(const TMeterProfile& p, uint32_t next, uint32_t reservedEnd) const {
  TFileLock lock(FPath + ".lock", kFileLockWaitMs);
  TIniData ini = TIniData::Load(FPath);
  const std::string salt = ini.Get(kSaltSection, "value");
  if (salt.empty() || next >= reservedEnd) return;
  const std::string section = SequenceSection(salt, p);
  if (StoredNext(ini, section) != std::optional<uint64_t>(reservedEnd)) return;
  ini.Set(section, "next", std::to_string(next));
  ini.Save(FPath, 0600);
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
