// The vocabulary every protection layer shares: services, key identifiers,
// key information, security control byte, key sizes, algorithm identifiers,
// the text forms used in log lines and messages, and the error classes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

class T_COSEMpdu;

enum TCOSEMProtectionService : uint8_t { psAuthentication = 0, psEncryption = 1, psSignature = 2, psCompression = 3 };
enum TKeyInfoKind : uint8_t { kiIdentified = 0, kiWrapped = 1, kiAgreed = 2 };
enum TKeyId : uint8_t { kiGUEK = 0, kiGBEK = 1, kiKEK = 2, kiGAK = 3, kiDEK = 4 };
enum TKeyAgreementKind : uint8_t { kaOPDH = 0, kaSUM = 1, kaEUM = 2 };
enum TKeyPairType : uint8_t { kpSigning = 0, kpAgreement = 1, kpEphemeral = 2 };
enum TAlgorithmId : uint8_t { aiAES_GCM_128 = 0, aiAES_GCM_256 = 1, aiAES_WRAP_128 = 2, aiAES_WRAP_256 = 3 };

// One numbering for protection services (1..4) and conformance bits (5..28).
enum TPPReservedConst : uint8_t {
  rcDUMMY = 0,
  rcAUTHENTICATION,
  rcENCRYPTION,
  rcSIGNATURE,
  rcCOMPRESSION,
  rcRESERVED0,
  rcGENERAL_PROTECTION,
  rcGENERAL_BLOCK_TRANSFER,
  rcREAD,
  rcWRITE,
  rcUNCONFIRMED_WRITE,
  rcRESERVED6,
  rcRESERVED7,
  rcATTRIBUTE0_SUPPORTED_WITH_SET,
  rcPRIORITY_MGMT_SUPPORTED,
  rcATTRIBUTE0_SUPPORTED_WITH_GET,
  rcBLOCK_TRANSFER_WITH_GET_OR_READ,
  rcBLOCK_TRANSFER_WITH_SET_OR_WRITE,
  rcBLOCK_TRANSFER_WITH_ACTION,
  rcMULTIPLE_REFERENCES,
  rcINFORMATION_REPORT,
  rcDATA_NOTIFICATION,
  rcACCESS,
  rcPARAMETRIZED_ACCESS,
  rcGET,
  rcSET,
  rcSELECTIVE_ACCESS,
  rcEVENT_NOTIFICATION,
  rcACTION
};
inline constexpr int kPPReservedConstCount = 29;

// Small bit set over an enumeration; bit n stands for value n.
template <typename E, typename Word>
class TEnumSet {
public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> members) {
    for (E e : members) Include(e);
  }
  static constexpr TEnumSet FromBits(Word bits) {
    TEnumSet s;
    s.FBits = bits;
    return s;
  }
  constexpr Word Bits() const { return FBits; }
  constexpr bool Contains(E e) const { return (FBits >> static_cast<unsigned>(e)) & 1u; }
  constexpr void Include(E e) { FBits = static_cast<Word>(FBits | (Word(1) << static_cast<unsigned>(e))); }
  constexpr void Exclude(E e) { FBits = static_cast<Word>(FBits & ~(Word(1) << static_cast<unsigned>(e))); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr TEnumSet operator+(TEnumSet o) const { return FromBits(static_cast<Word>(FBits | o.FBits)); }
  constexpr TEnumSet operator-(TEnumSet o) const { return FromBits(static_cast<Word>(FBits & ~o.FBits)); }
  constexpr TEnumSet operator*(TEnumSet o) const { return FromBits(static_cast<Word>(FBits & o.FBits)); }
  constexpr bool operator==(const TEnumSet&) const = default;

private:
  Word FBits = 0;
};

using TCOSEMProtectionServices = TEnumSet<TCOSEMProtectionService, uint8_t>;
using TProtectionServices = TEnumSet<TPPReservedConst, uint32_t>;

struct TKeyInfo {
  TKeyInfoKind KeyInfoKind = kiIdentified;
  TKeyId KeyId = kiGUEK;
  TKeyId KekId = kiGUEK;
  TKeyAgreementKind KeyAgreementKind = kaOPDH;

  static TKeyInfo Identified(TKeyId keyId) { return TKeyInfo{kiIdentified, keyId, kiGUEK, kaOPDH}; }
  static TKeyInfo Wrapped(TKeyId kekId) { return TKeyInfo{kiWrapped, kiGUEK, kekId, kaOPDH}; }
  static TKeyInfo Agreed(TKeyAgreementKind kind) { return TKeyInfo{kiAgreed, kiGUEK, kiGUEK, kind}; }
  bool operator==(const TKeyInfo&) const = default;
};
static_assert(sizeof(TKeyInfo) == 4);

struct TKeyPair {
  PduStr PrivateKey;
  PduStr PublicKey;
  bool operator==(const TKeyPair&) const = default;
};

struct TSecurityControl {
  TCOSEMProtectionServices COSEMProtectionServices;
  bool BroadCast = false;
  int32_t SecuritySuite = 0;

  // The byte that leads every ciphered information. Signature has no bit.
  uint8_t ToByte() const;
  static TSecurityControl FromByte(uint8_t sc);
  bool operator==(const TSecurityControl&) const = default;
};

class EProtection : public EGeneralError {
public:
  explicit EProtection(const std::string& msg) : EGeneralError(msg) {}
};

class ESignatureCheck : public EProtection {
public:
  explicit ESignatureCheck(const std::string& msg) : EProtection(msg) {}
};

// Key sizes per security suite; suites outside the table are a caller bug.
int32_t SymmetricKeySizeOfSuite(int32_t suite);
int32_t PrivateKeySizeOfSuite(int32_t suite);
int32_t PublicKeySizeOfSuite(int32_t suite);

TProtectionServices COSEMProtectionServicesToCTI(TCOSEMProtectionServices s);
TCOSEMProtectionServices CTIToCOSEMProtectionServices(TProtectionServices s);

// Names of values without their two-letter prefix (GUEK, Signing, OPDH ...).
std::string NameOf(TCOSEMProtectionService v);
std::string NameOf(TKeyInfoKind v);
std::string NameOf(TKeyId v);
std::string NameOf(TKeyAgreementKind v);
std::string NameOf(TKeyPairType v);
std::string NameOf(TPPReservedConst v);

// "[AUTHENTICATION,ENCRYPTION]" style texts.
std::string ServicesToString(TCOSEMProtectionServices s);
std::string ServicesToString(TProtectionServices s);
// "Identified KeyId=GUEK" style text.
std::string KeyInfoToString(const TKeyInfo& k);

class TProtectionHelper {
public:
  static std::string ByteStrToHexStr(std::string_view s) { return TMisc::ByteStrToHexStr(s); }
  static PduStr HexStrToByteStr(std::string_view s) { return TMisc::HexStrToByteStr(s); }
  // Like the XML writer's form, except that the apostrophe counts as printable.
  static std::string ByteStrToFormatedString(std::string_view s);
  static PduStr GetAlgorithmOID(TAlgorithmId algorithmId);
  // One APDU from its bytes; left-over bytes are an EProtection error.
  // Bytes after the APDU fail it, unless Trailing is given to take their count.
  static std::unique_ptr<T_COSEMpdu> MakeCOSEMPduFromPdu(const PduStr& Pdu, int* Trailing = nullptr);
  static std::unique_ptr<T_COSEMpdu> MakeCOSEMPduFromXml(std::string_view Xml);
};

}  // namespace quillon
