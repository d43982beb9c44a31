// BER-coded leaves: the bit string with its three uses (the conformance block,
// the protocol version and the ACSE requirements), the object identifier of
// application-context and mechanism names, and the octet string with its four
// uses. Each writes and reads its length and contents only; the context tags
// around them in an AARQ or AARE belong to the APDU types (ACSE.h). The one
// exception is the conformance block, which carries its own application tag.
#pragma once

#include <string>
#include <string_view>

#include "xmlpdu/Leaves.h"

namespace quillon {

// ------------------------------------------------------------- bit strings

// Value as the A-XDR bit string holds it: character i is bit i in BER
// numbering, bit 0 being the most significant bit of the first byte. The XML
// form and the Data-value form (tag 04, bit count, bits) are those of the
// A-XDR bit string; only the ordinary encoding differs: a one-byte length, the
// unused-bits byte, then the bits.
class TBERBitStr : public TBitStr {
public:
  using TBitStr::TBitStr;

  void EncodeToPduStr(PduStr& s) const override;
  void EncodeToDataPduStr(PduStr& s) const override;
  // Reads length, unused-bit count and contents into Value.
  void LoadPduStr(TStringWrapper& r);
  void DecodeFromPduStr(TStringWrapper& r) { LoadPduStr(r); }

protected:
  // The bit string's contents without any tag: length, unused bits, bits.
  void EncodeContents(PduStr& s) const;
};

class T_ProtocolVersion : public TPduImpl<T_ProtocolVersion, TBERBitStr> {
public:
  using TPduImpl::TPduImpl;
  static const TPduClass ClassInfo;
};

class T_ACSERequirement : public TPduImpl<T_ACSERequirement, TBERBitStr> {
public:
  using TPduImpl::TPduImpl;
  static const TPduClass ClassInfo;
};

// The xDLMS conformance block: 24 bits behind the application tag 5F 1F. In
// XML every set bit is one ConformanceBit element carrying the bit's name.
class T_Conformance : public TPduImpl<T_Conformance, TBERBitStr> {
public:
  static constexpr int kBitCount = 24;

  explicit T_Conformance(TXMLId id) : TPduImpl(id) { SetDefaultValue(); }
  T_Conformance(TXMLId id, TNoDefault) : TPduImpl(id) {}
  T_Conformance(const T_Conformance&) = default;
  static const TPduClass ClassInfo;

  void EncodeToPduStr(PduStr& s) const override;
  void ToXML(TScriptStream& stream) const override;
  void DecodeFromPduStr(TStringWrapper& r);
  void DecodeFromXml(TXMLParser& p);

  // Value becomes 24 zero bits.
  void SetDefaultValue() { Value.assign(kBitCount, '0'); }
  bool IsBitSet(int bit) const { return bit >= 0 && static_cast<size_t>(bit) < Value.size() && Value[bit] == '1'; }
  void SetBit(int bit, bool on = true);

  // Bit number of a name; the older names of bits 10 to 12 are accepted too.
  static int NameToValue(std::string_view name);
  // Name of bit `value` (0..23), as it is written.
  static const char* ValueToName(int value);

  TXMLId BitXMLId = xmlConformanceBit;
};

// ------------------------------------------------------ object identifiers

// The object identifiers the system knows; each is written in XML by its name.
enum TObjectIdentifier : int {
  oiUNKNOWN,
  oiLN,
  oiSN,
  oiLN_WITH_CIPHERING,
  oiSN_WITH_CIPHERING,
  oiNO_SECURITY,
  oiLOW_SECURITY,
  oiHIGH_SECURITY,
  oiHIGH_SECURITY_MD5,
  oiHIGH_SECURITY_SHA1,
  oiHIGH_SECURITY_GMAC,
  oiHIGH_SECURITY_SHA256,
  oiHIGH_SECURITY_ECDSA,
};
inline constexpr int kObjectIdentifierCount = oiHIGH_SECURITY_ECDSA + 1;

class TBERObjectIdentifier : public TCOSEMPduBase {
public:
  explicit TBERObjectIdentifier(TXMLId id, TObjectIdentifier v = oiUNKNOWN) : TCOSEMPduBase(id), Value(v) {}

  void EncodeToPduStr(PduStr& s) const override;
  void ToXML(TScriptStream& stream) const override;
  int DataTag() const override { return 9; }
  void EncodeToDataPduStr(PduStr& s) const override;

  void LoadFromPDUStr(TStringWrapper& r);
  void LoadFromXml(TXMLParser& p);
  void DecodeFromPduStr(TStringWrapper& r) { LoadFromPDUStr(r); }
  void DecodeFromDataPduStr(TStringWrapper& r);
  void DecodeFromXml(TXMLParser& p) { LoadFromXml(p); }
  std::string GetValueStr() const { return Name(Value); }

  static const char* Name(TObjectIdentifier v);
  // General BER encoding (one length byte, then the X.690 contents) of an
  // identifier written as arcs in braces, such as "{2, 16, 756, 5, 8, 1, 1}".
  static void EncodeFromText(PduStr& s, std::string_view text);

  TObjectIdentifier Value;
};

class T_ApplicationContextName : public TPduImpl<T_ApplicationContextName, TBERObjectIdentifier> {
public:
  using TPduImpl::TPduImpl;
  static const TPduClass ClassInfo;
};

class T_MechanismName : public TPduImpl<T_MechanismName, TBERObjectIdentifier> {
public:
  using TPduImpl::TPduImpl;
  static const TPduClass ClassInfo;
};

// ----------------------------------------------------------- octet strings

// A BER length (one byte below 128, else 81/82/83 and the length) and the
// bytes. That is exactly the unbounded A-XDR octet string, in both forms, so
// its four uses are unbounded octet strings.
using TBEROctetStr = TOctetString;

QUILLON_DECLARE_OCTETS(T_APTitle, -1)
QUILLON_DECLARE_OCTETS(T_AEQualifier, -1)
QUILLON_DECLARE_OCTETS(T_AuthenticationValue, -1)
QUILLON_DECLARE_OCTETS(T_ImplementationData, -1)

}  // namespace quillon
