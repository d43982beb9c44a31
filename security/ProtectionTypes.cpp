#include "security/ProtectionTypes.h"

#include <cctype>

namespace quillon {

namespace {

constexpr uint8_t kScAuthentication = 0x10;
constexpr uint8_t kScEncryption = 0x20;
constexpr uint8_t kScBroadcast = 0x40;
constexpr uint8_t kScCompression = 0x80;

const char* const kServiceNames[] = {"Authentication", "Encryption", "Signature", "Compression"};
const char* const kKeyInfoKindNames[] = {"Identified", "Wrapped", "Agreed"};
const char* const kKeyIdNames[] = {"GUEK", "GBEK", "KEK", "GAK", "DEK"};
const char* const kKeyAgreementNames[] = {"OPDH", "SUM", "EUM"};
const char* const kKeyPairTypeNames[] = {"Signing", "Agreement", "Ephemeral"};
const char* const kReservedConstNames[kPPReservedConstCount] = {
    "DUMMY",
    "AUTHENTICATION",
    "ENCRYPTION",
    "SIGNATURE",
    "COMPRESSION",
    "RESERVED0",
    "GENERAL_PROTECTION",
    "GENERAL_BLOCK_TRANSFER",
    "READ",
    "WRITE",
    "UNCONFIRMED_WRITE",
    "RESERVED6",
    "RESERVED7",
    "ATTRIBUTE0_SUPPORTED_WITH_SET",
    "PRIORITY_MGMT_SUPPORTED",
    "ATTRIBUTE0_SUPPORTED_WITH_GET",
    "BLOCK_TRANSFER_WITH_GET_OR_READ",
    "BLOCK_TRANSFER_WITH_SET_OR_WRITE",
    "BLOCK_TRANSFER_WITH_ACTION",
    "MULTIPLE_REFERENCES",
    "INFORMATION_REPORT",
    "DATA_NOTIFICATION",
    "ACCESS",
    "PARAMETRIZED_ACCESS",
    "GET",
    "SET",
    "SELECTIVE_ACCESS",
    "EVENT_NOTIFICATION",
    "ACTION"};

template <size_t N>
std::string NameFromTable(const char* const (&table)[N], unsigned v) {
  CheckAssertion(v < N, "enumeration value in range");
  return table[v];
}

std::string UpperCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

uint8_t TSecurityControl::ToByte() const {
  uint8_t sc = 0;
  if (COSEMProtectionServices.Contains(psEncryption)) sc |= kScEncryption;
  if (COSEMProtectionServices.Contains(psAuthentication)) sc |= kScAuthentication;
  if (COSEMProtectionServices.Contains(psCompression)) sc |= kScCompression;
  if (BroadCast) sc |= kScBroadcast;
  return static_cast<uint8_t>(sc | (SecuritySuite & 0x0F));
}

TSecurityControl TSecurityControl::FromByte(uint8_t sc) {
  TSecurityControl r;
  r.BroadCast = (sc & kScBroadcast) != 0;
  r.SecuritySuite = sc & 0x0F;
  if (sc & kScAuthentication) r.COSEMProtectionServices.Include(psAuthentication);
  if (sc & kScEncryption) r.COSEMProtectionServices.Include(psEncryption);
  if (sc & kScCompression) r.COSEMProtectionServices.Include(psCompression);
  return r;
}

int32_t SymmetricKeySizeOfSuite(int32_t suite) {
  CheckAssertion(suite >= 0 && suite <= 2, "security suite 0..2");
  return suite == 2 ? 32 : 16;
}

int32_t PrivateKeySizeOfSuite(int32_t suite) {
  CheckAssertion(suite == 1 || suite == 2, "security suite 1 or 2");
  return suite == 2 ? 48 : 32;
}

int32_t PublicKeySizeOfSuite(int32_t suite) { return 2 * PrivateKeySizeOfSuite(suite); }

TProtectionServices COSEMProtectionServicesToCTI(TCOSEMProtectionServices s) {
  return TProtectionServices::FromBits(static_cast<uint32_t>(s.Bits() & 0x0F) << 1);
}

TCOSEMProtectionServices CTIToCOSEMProtectionServices(TProtectionServices s) {
  return TCOSEMProtectionServices::FromBits(static_cast<uint8_t>((s.Bits() >> 1) & 0x0F));
}

std::string NameOf(TCOSEMProtectionService v) { return NameFromTable(kServiceNames, v); }
std::string NameOf(TKeyInfoKind v) { return NameFromTable(kKeyInfoKindNames, v); }
std::string NameOf(TKeyId v) { return NameFromTable(kKeyIdNames, v); }
std::string NameOf(TKeyAgreementKind v) { return NameFromTable(kKeyAgreementNames, v); }
std::string NameOf(TKeyPairType v) { return NameFromTable(kKeyPairTypeNames, v); }
std::string NameOf(TPPReservedConst v) { return NameFromTable(kReservedConstNames, v); }

namespace {
// "[A,B]" from the members first..last of a set, in ascending order.
template <typename Set, typename E>
std::string SetText(Set s, E first, E last) {
  std::string r = "[";
  for (unsigned v = first; v <= last; ++v) {
    auto e = static_cast<E>(v);
    if (!s.Contains(e)) continue;
    if (r.size() > 1) r += ',';
    r += UpperCase(NameOf(e));
  }
  return r + "]";
}
}  // namespace

std::string ServicesToString(TCOSEMProtectionServices s) { return SetText(s, psAuthentication, psCompression); }
std::string ServicesToString(TProtectionServices s) { return SetText(s, rcAUTHENTICATION, rcCOMPRESSION); }

std::string KeyInfoToString(const TKeyInfo& k) {
  std::string r = NameOf(k.KeyInfoKind);
  switch (k.KeyInfoKind) {
    case kiIdentified: return r + " KeyId=" + NameOf(k.KeyId);
    case kiWrapped: return r + " KekId=" + NameOf(k.KekId);
    case kiAgreed: return r + " KeyAgreementKind=" + NameOf(k.KeyAgreementKind);
  }
  return r;
}

std::string TProtectionHelper::ByteStrToFormatedString(std::string_view s) {
  if (s.empty()) return ByteStrToHexStr(s);
  for (unsigned char c : s)
    if (c < 32 || c > 126 || c == '"') return ByteStrToHexStr(s);
  std::string r = "\\";
  r += s;
  return r;
}

PduStr TProtectionHelper::GetAlgorithmOID(TAlgorithmId algorithmId) {
  CheckAssertion(algorithmId <= aiAES_WRAP_256, "known algorithm id");
  // 2.16.756.5.8.3.n: the last arc selects the algorithm.
  PduStr oid("\x60\x85\x74\x05\x08\x03\x00", 7);
  oid[6] = static_cast<char>(algorithmId);
  return oid;
}

}  // namespace quillon
