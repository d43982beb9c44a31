// The four ACSE APDUs that open and close an association (AARQ, AARE, RLRQ,
// RLRE), their small BER leaves, the result source diagnostic and the
// length-prefixed xDLMS APDU carried in their user information. T_COSEMpdu
// writes and reads the APDU tag (60 to 63); the types here everything after it.
//
// The four APDUs share one codec: each is a table of BER fields (context tag,
// inner tag, type, role), declared once below, and TACSEApdu does the work.
#pragma once

#include <vector>

#include "xmlpdu/Catalogue.h"

namespace quillon {

// ------------------------------------------------------------ small leaves

// A BER INTEGER of one byte: the length 01, then the byte. Hex in XML, as
// every one-byte number.
template <class D>
class TBERByteInteger : public TNumericLeaf<D, uint8_t> {
public:
  using TNumericLeaf<D, uint8_t>::TNumericLeaf;
  void EncodeToPduStr(PduStr& s) const override {
    s += '\x01';
    TNumericBase::EncodeToPduStr(s);
  }
  void DecodeFromPduStr(TStringWrapper& r) {
    if (r.NextByte() != 1) RaiseGeneral(Format("%s: Illegal data size", D::ClassInfo.Name));
    TNumericBase::DecodeFromPduStr(r);
  }
};

#define QUILLON_DECLARE_BER_BYTE(Name)                         \
  class Name : public quillon::TBERByteInteger<Name> {         \
  public:                                                      \
    using TBERByteInteger::TBERByteInteger;                    \
    static const quillon::TPduClass ClassInfo;                 \
  };

QUILLON_DECLARE_BER_BYTE(T_InvocationId)
QUILLON_DECLARE_BER_BYTE(T_AssociationResult)
QUILLON_DECLARE_BER_BYTE(T_ACSEServiceUser)
QUILLON_DECLARE_BER_BYTE(T_ACSEServiceProvider)

// A release reason: the length 01, then the value; its name in XML.
template <class D>
class TBEREnum : public TEnumOf<D> {
public:
  using TEnumOf<D>::TEnumOf;
  void EncodeToPduStr(PduStr& s) const override {
    s += '\x01';
    TEnum::EncodeToPduStr(s);
  }
  void DecodeFromPduStr(TStringWrapper& r) {
    r.ExpectByte(1);
    TEnum::DecodeFromPduStr(r);
  }
};

#define QENUM_T_ReleaseRequestReason(E) E(0, Normal) E(1, Urgent) E(30, UserDefined)
#define QENUM_T_ReleaseResponseReason(E) E(0, Normal) E(1, NotFinished) E(30, UserDefined)

#define QUILLON_DECLARE_BER_ENUM(Name)                                \
  class Name : public quillon::TBEREnum<Name> {                       \
  public:                                                             \
    using TBEREnum::TBEREnum;                                         \
    static const quillon::TPduClass ClassInfo;                        \
    static const std::vector<quillon::TEnumName>& StaticNames();      \
  };

QUILLON_DECLARE_BER_ENUM(T_ReleaseRequestReason)
QUILLON_DECLARE_BER_ENUM(T_ReleaseResponseReason)

// ----------------------------------------------- result source diagnostic

// Who answered the association request and why: A1 (service user) or A2
// (service provider), each holding a one-byte INTEGER. In XML it is a CHOICE;
// on the wire the selected tag is followed by a length and the INTEGER tag 02.
// Tag holds what the wire calls Tag1.
#define QCHO_T_ResultSourceDiagnostic(A) \
  A(0xA1, ACSEServiceUser, T_ACSEServiceUser) A(0xA2, ACSEServiceProvider, T_ACSEServiceProvider)

class T_ResultSourceDiagnostic : public TChoiceOf<T_ResultSourceDiagnostic> {
public:
  static constexpr TXMLId kTypeId = xml_ResultSourceDiagnostic;
  // A new diagnostic says "service user, null" so that a new AARE encodes.
  explicit T_ResultSourceDiagnostic(TXMLId id) : TChoiceOf(id) { SelectVariant(xmlACSEServiceUser, nullptr); }
  T_ResultSourceDiagnostic(TXMLId id, TNoDefault) : TChoiceOf(id) {}
  T_ResultSourceDiagnostic(const T_ResultSourceDiagnostic&) = default;
  static const TPduClass ClassInfo;
  static const TChoiceSchema& StaticSchema();

  int Tag1() const { return Tag; }
  // The diagnostic value, whichever side gave it.
  int Diagnostic() const { return static_cast<const TNumericBase&>(*Value).Bits() & 0xFF; }

  void EncodeToPduStr(PduStr& s) const override;
  void DecodeFromPduStr(TStringWrapper& r);
  void DecodeFromXml(TXMLParser& p);
};

// ------------------------------------------------ user information APDU

// An xDLMS APDU preceded by its length, as the user information of the ACSE
// APDUs carries it.
class T_BERCOSEMpdu : public TPduImpl<T_BERCOSEMpdu, T_COSEMpdu> {
public:
  using TPduImpl::TPduImpl;
  static const TPduClass ClassInfo;

  void EncodeToPduStr(PduStr& s) const override;
  // The APDU alone, without the length: the bytes the protection layers cipher.
  void EncodeToPduStrNoLen(PduStr& s) const override { T_COSEMpdu::EncodeToPduStr(s); }
  // The APDU delimits itself; the length only has to fit the input.
  void DecodeFromPduStr(TStringWrapper& r) {
    r.RequireRemaining(DecodeVarLengthUnsignedInteger(r));
    T_COSEMpdu::DecodeFromPduStr(r);
  }
};

// ------------------------------------------------------- APDU field tables

// How a field appears in XML.
enum TACSEFieldXml {
  axRole,          // under its own role name, read when that start tag is current
  axBareRequest,   // the xDLMS APDU itself, without wrapper (InitiateRequest & co.)
  axBareResponse,  // the same for the responses (InitiateResponse & co.)
};

enum TACSEPresence {
  apOptional,   // may be absent
  apMandatory,  // required for encoding and in XML; made by Create
  apCreated,    // optional, but made by Create (the reason of a release APDU)
};

struct TACSEField {
  const char* Name;        // for "Field %s missing"
  uint8_t Tag;             // context tag; bit 20 set = constructed (tag, length, inner tag)
  uint8_t InnerTag;        // 0 = none (the value follows the length directly)
  TXMLId Role;             // identifier of the field object
  TCOSEMPduBaseClass Type;
  TACSEPresence Presence;
  TACSEFieldXml Xml;
};

struct TACSESchema {
  TACSESchema(const char* className, std::vector<TACSEField> fields);
  const TACSEField* ByTag(int tag, size_t& index) const;

  const char* ClassName;
  std::vector<TACSEField> Fields;
  // The same fields as SEQUENCE members (optional unless mandatory): the
  // SEQUENCE machinery keeps the slots, copies them and writes the XML.
  TSequenceSchema Sequence;
};

// One ACSE APDU: a SEQUENCE with one member slot per field of its table,
// empty when absent, and its own BER codec and XML reading.
class TACSEApdu : public TSequence {
public:
  explicit TACSEApdu(TXMLId id) : TSequence(id) {}

  virtual const TACSESchema& ACSESchema() const = 0;
  const TSequenceSchema& Schema() const override { return ACSESchema().Sequence; }

  // Length of the contents, then every present field in table order.
  void EncodeToPduStr(PduStr& s) const override;
  // Fields in any order until the input ends; a repeated field replaces the
  // earlier one.
  void DecodeFromPduStr(TStringWrapper& r);
  void DecodeFromXml(TXMLParser& p);

protected:
  // Makes the fields that a new APDU holds (mandatory ones and the release
  // reason) with their default content; the others stay absent.
  void InitFields();
};

template <class D>
class TACSEApduT : public TPduImpl<D, TACSEApdu> {
public:
  explicit TACSEApduT(TXMLId id) : TPduImpl<D, TACSEApdu>(id) { this->InitFields(); }
  TACSEApduT(TXMLId id, TNoDefault) : TPduImpl<D, TACSEApdu>(id) {}
  TACSEApduT(const TACSEApduT&) = default;
  const TACSESchema& ACSESchema() const override { return D::StaticSchema(); }
};

#define QUILLON_ACSE_INDEX_(Name, Type, Tag, Inner, Presence, Xml) kIdx_##Name,
#define QUILLON_ACSE_ACCESSOR_(Name, Type, Tag, Inner, Presence, Xml)                               \
  Type* Name() const { return static_cast<Type*>(this->Member(static_cast<size_t>(kIdx_##Name))); } \
  void Set##Name(std::unique_ptr<Type> v) { this->SetMember(static_cast<size_t>(kIdx_##Name), quillon::PduPtr(v.release())); }

#define QUILLON_DECLARE_ACSE(ClassName)                                 \
  class ClassName : public quillon::TACSEApduT<ClassName> {             \
  public:                                                               \
    using TACSEApduT::TACSEApduT;                                       \
    static const quillon::TPduClass ClassInfo;                          \
    static const quillon::TACSESchema& StaticSchema();                  \
    enum : int { QACSE_##ClassName(QUILLON_ACSE_INDEX_) kFieldCount };  \
    QACSE_##ClassName(QUILLON_ACSE_ACCESSOR_)                           \
  };

// (field, type, context tag, inner tag, presence, XML form), in wire order.
#define QACSE_T_AssociationRequest(F)                                                \
  F(ProtocolVersion, T_ProtocolVersion, 0x80, 0, apOptional, axRole)                          \
  F(ApplicationContextName, T_ApplicationContextName, 0xA1, 0x06, apMandatory, axRole)         \
  F(CalledAPTitle, T_APTitle, 0xA2, 0x04, apOptional, axRole)                                 \
  F(CalledAEQualifier, T_AEQualifier, 0xA3, 0x04, apOptional, axRole)                         \
  F(CalledAPInvocationId, T_InvocationId, 0xA4, 0x02, apOptional, axRole)                     \
  F(CalledAEInvocationId, T_InvocationId, 0xA5, 0x02, apOptional, axRole)                     \
  F(CallingAPTitle, T_APTitle, 0xA6, 0x04, apOptional, axRole)                                \
  F(CallingAEQualifier, T_AEQualifier, 0xA7, 0x04, apOptional, axRole)                        \
  F(CallingAPInvocationId, T_InvocationId, 0xA8, 0x02, apOptional, axRole)                    \
  F(CallingAEInvocationId, T_InvocationId, 0xA9, 0x02, apOptional, axRole)                    \
  F(SenderACSERequirements, T_ACSERequirement, 0x8A, 0, apOptional, axRole)                   \
  F(MechanismName, T_MechanismName, 0x8B, 0, apOptional, axRole)                              \
  F(CallingAuthenticationValue, T_AuthenticationValue, 0xAC, 0x80, apOptional, axRole)        \
  F(ImplementationInformation, T_ImplementationData, 0x9D, 0, apOptional, axRole)             \
  F(UserInformation, T_BERCOSEMpdu, 0xBE, 0x04, apOptional, axBareRequest)

#define QACSE_T_AssociationResponse(F)                                               \
  F(ProtocolVersion, T_ProtocolVersion, 0x80, 0, apOptional, axRole)                          \
  F(ApplicationContextName, T_ApplicationContextName, 0xA1, 0x06, apMandatory, axRole)         \
  F(AssociationResult, T_AssociationResult, 0xA2, 0x02, apMandatory, axRole)                   \
  F(ResultSourceDiagnostic, T_ResultSourceDiagnostic, 0xA3, 0, apMandatory, axRole)            \
  F(RespondingAPTitle, T_APTitle, 0xA4, 0x04, apOptional, axRole)                             \
  F(RespondingAEQualifier, T_AEQualifier, 0xA5, 0x04, apOptional, axRole)                     \
  F(RespondingAPInvocationId, T_InvocationId, 0xA6, 0x02, apOptional, axRole)                 \
  F(RespondingAEInvocationId, T_InvocationId, 0xA7, 0x02, apOptional, axRole)                 \
  F(ResponderACSERequirement, T_ACSERequirement, 0x88, 0, apOptional, axRole)                 \
  F(MechanismName, T_MechanismName, 0x89, 0, apOptional, axRole)                              \
  F(RespondingAuthenticationValue, T_AuthenticationValue, 0xAA, 0x80, apOptional, axRole)     \
  F(UserInformation, T_BERCOSEMpdu, 0xBE, 0x04, apOptional, axBareResponse)

#define QACSE_T_ReleaseRequest(F)                          \
  F(Reason, T_ReleaseRequestReason, 0x80, 0, apCreated, axRole)    \
  F(UserInformation, T_BERCOSEMpdu, 0xBE, 0x04, apOptional, axRole)

#define QACSE_T_ReleaseResponse(F)                         \
  F(Reason, T_ReleaseResponseReason, 0x80, 0, apCreated, axRole)   \
  F(UserInformation, T_BERCOSEMpdu, 0xBE, 0x04, apOptional, axRole)

QUILLON_DECLARE_ACSE(T_AssociationRequest)
QUILLON_DECLARE_ACSE(T_AssociationResponse)

QUILLON_DECLARE_ACSE(T_ReleaseRequest)
QUILLON_DECLARE_ACSE(T_ReleaseResponse)

}  // namespace quillon
