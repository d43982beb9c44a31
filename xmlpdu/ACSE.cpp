#include "xmlpdu/ACSE.h"

namespace quillon {

// ------------------------------------------------------------ small leaves

QUILLON_DEFINE_LEAF(T_InvocationId)
QUILLON_DEFINE_LEAF(T_AssociationResult)
QUILLON_DEFINE_LEAF(T_ACSEServiceUser)
QUILLON_DEFINE_LEAF(T_ACSEServiceProvider)

QUILLON_DEFINE_ENUM(T_ReleaseRequestReason)
QUILLON_DEFINE_ENUM(T_ReleaseResponseReason)

// ----------------------------------------------- result source diagnostic

QUILLON_DEFINE_CHOICE(T_ResultSourceDiagnostic)

void T_ResultSourceDiagnostic::EncodeToPduStr(PduStr& s) const {
  CheckAssertion(Value != nullptr, "result source diagnostic has a value");
  PduStr integer;
  Value->EncodeToPduStr(integer);
  s += static_cast<char>(Tag);
  s += static_cast<char>(1 + integer.size());
  s += '\x02';
  s += integer;
}

void T_ResultSourceDiagnostic::DecodeFromPduStr(TStringWrapper& r) {
  int tag = r.NextByte();
  const TChoiceAlt* alt = Schema().ByTag(tag);
  if (!alt) RaiseGeneral(Format("T_ResultSourceDiagnostic : illegal Tag %d", tag));
  r.NextByte();  // length of what follows; the INTEGER delimits itself
  r.ExpectByte(0x02);
  Tag = tag;
  Value = alt->Type->CreateFromPduStr(alt->Role, r);
}

void T_ResultSourceDiagnostic::DecodeFromXml(TXMLParser& p) {
  // Look ahead on a copy of the reader, so that a wrong alternative is
  // reported with this type's own message; the CHOICE then reads as usual.
  TXMLParser look = p;
  if (XMLId != xmlIgnore) look.XMLAssertStartTagAndNext(XMLId);
  if (!look.IsStartTag(xmlACSEServiceUser, xmlACSEServiceProvider))
    look.RaiseXMLError("T_ResultSourceDiagnostic : illegal choice");
  TChoice::DecodeFromXml(p);
}

// ------------------------------------------------ user information APDU

const TPduClass T_BERCOSEMpdu::ClassInfo = TPduFactory<T_BERCOSEMpdu>::Describe<true>("T_BERCOSEMpdu", true);

void T_BERCOSEMpdu::EncodeToPduStr(PduStr& s) const {
  PduStr apdu;
  T_COSEMpdu::EncodeToPduStr(apdu);
  EncodeVarLengthUnsignedInteger(s, static_cast<int32_t>(apdu.size()));
  s += apdu;
}

// ------------------------------------------------------------- the codec

namespace {

bool IsConstructed(uint8_t tag) { return (tag & 0x20) != 0; }

}  // namespace

TACSESchema::TACSESchema(const char* className, std::vector<TACSEField> fields)
    : ClassName(className), Fields(std::move(fields)), Sequence{className, {}} {
  for (const TACSEField& f : Fields) Sequence.Members.push_back({f.Role, f.Type, f.Presence != apMandatory});
}

const TACSEField* TACSESchema::ByTag(int tag, size_t& index) const {
  for (size_t i = 0; i < Fields.size(); ++i) {
    if (Fields[i].Tag == tag) {
      index = i;
      return &Fields[i];
    }
  }
  return nullptr;
}

void TACSEApdu::InitFields() {
  InitDefault();
  const TACSESchema& schema = ACSESchema();
  for (size_t i = 0; i < schema.Fields.size(); ++i) {
    const TACSEField& f = schema.Fields[i];
    if (f.Presence == apCreated) Members[i] = f.Type->Create(f.Role);
  }
}

void TACSEApdu::EncodeToPduStr(PduStr& s) const {
  const TACSESchema& schema = ACSESchema();
  PduStr contents;
  for (size_t i = 0; i < schema.Fields.size(); ++i) {
    const TACSEField& f = schema.Fields[i];
    const TCOSEMPduBase* v = Member(i);
    if (!v) {
      if (f.Presence == apMandatory) RaiseGeneral(Format("Field %s missing", f.Name));
      continue;
    }
    contents += static_cast<char>(f.Tag);
    if (!IsConstructed(f.Tag)) {
      // Implicit tag: the value's own encoding starts with its length.
      v->EncodeToPduStr(contents);
      continue;
    }
    PduStr inner;
    if (f.InnerTag != 0) inner += static_cast<char>(f.InnerTag);
    v->EncodeToPduStr(inner);
    EncodeVarLengthUnsignedInteger(contents, static_cast<int32_t>(inner.size()));
    contents += inner;
  }
  EncodeVarLengthUnsignedInteger(s, static_cast<int32_t>(contents.size()));
  s += contents;
}

void TACSEApdu::DecodeFromPduStr(TStringWrapper& r) {
  TNestingGuard guard;
  const TACSESchema& schema = ACSESchema();
  Members.clear();
  Members.resize(schema.Fields.size());
  // Every field delimits itself and the APDU runs to the end of the input, so
  // the lengths do not bound anything. A length promising more than the input
  // holds does mean the APDU was cut short, though, even where the cut falls
  // between two fields, and that must not pass as a shorter APDU.
  r.RequireRemaining(DecodeVarLengthUnsignedInteger(r));
  while (r.GetRemainingBytes() > 0) {
    int tag = r.NextByte();
    size_t i = 0;
    const TACSEField* f = schema.ByTag(tag, i);
    if (!f) RaiseGeneral(Format("Unexpected tag1 %d", tag));
    if (IsConstructed(f->Tag)) {
      r.RequireRemaining(DecodeVarLengthUnsignedInteger(r));
      if (f->InnerTag != 0) {
        int inner = r.NextByte();
        if (inner != f->InnerTag) RaiseGeneral(Format("Unexpected tag2 %d", inner));
      }
    }
    Members[i] = f->Type->CreateFromPduStr(f->Role, r);
  }
}

void TACSEApdu::DecodeFromXml(TXMLParser& p) {
  TNestingGuard guard(&p);
  const TACSESchema& schema = ACSESchema();
  p.XMLAssertStartTagAndNext(XMLId);
  Members.clear();
  Members.resize(schema.Fields.size());
  for (size_t i = 0; i < schema.Fields.size(); ++i) {
    const TACSEField& f = schema.Fields[i];
    bool present = false;
    switch (f.Xml) {
      case axRole:
        present = f.Presence == apMandatory || p.IsStartTag(f.Role);
        break;
      case axBareRequest:
        present = p.IsStartTag(xmlInitiateRequest, xmlglo_InitiateRequest, xmlGeneralGloCiphering);
        break;
      case axBareResponse:
        present = p.IsStartTag(xmlInitiateResponse, xmlConfirmedServiceError, xmlglo_InitiateResponse,
                               xmlglo_ConfirmedServiceError, xmlGeneralGloCiphering);
        break;
    }
    if (present) Members[i] = f.Type->CreateFromXml(f.Role, p);
  }
  p.XMLAssertStopTagAndNext(XMLId);
}

// ------------------------------------------------------------ the tables

// The user information of the association APDUs stands in XML as the bare
// xDLMS APDU, so its object carries xmlIgnore.
#define QUILLON_ACSE_ROW_(Name, Type, Tag, Inner, Presence, Xml) \
  {#Name, Tag, Inner, (Xml) == axRole ? xml##Name : xmlIgnore, &Type::ClassInfo, Presence, Xml},

#define QUILLON_DEFINE_ACSE(ClassName)                                                                   \
  const TPduClass ClassName::ClassInfo = TPduFactory<ClassName>::Describe<false>(#ClassName, false);       \
  const TACSESchema& ClassName::StaticSchema() {                                                         \
    static const TACSESchema s{#ClassName, {QACSE_##ClassName(QUILLON_ACSE_ROW_)}};                      \
    return s;                                                                                            \
  }

QUILLON_DEFINE_ACSE(T_AssociationRequest)
QUILLON_DEFINE_ACSE(T_AssociationResponse)
QUILLON_DEFINE_ACSE(T_ReleaseRequest)
QUILLON_DEFINE_ACSE(T_ReleaseResponse)

}  // namespace quillon
