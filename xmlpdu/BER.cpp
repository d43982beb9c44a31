#include "xmlpdu/BER.h"

#include <array>
#include <cstring>

namespace quillon {

// ------------------------------------------------------------- bit strings

void TBERBitStr::EncodeContents(PduStr& s) const {
  // The A-XDR form is the bit count followed by exactly the packed bits we
  // need; packing (and refusing characters other than 0 and 1) stays there.
  PduStr axdr;
  TBitStr::EncodeToPduStr(axdr);
  TStringWrapper r(axdr);
  DecodeVarLengthUnsignedInteger(r);
  size_t packed = static_cast<size_t>(r.GetRemainingBytes());
  // The length is a single byte; a longer value would be cut and the bytes
  // behind it misread, so it is refused instead.
  if (packed + 1 > 127) RaiseGeneral(Format("BERBitString: %d bits do not fit a one-byte length", static_cast<int>(Value.size())));
  s += static_cast<char>(packed + 1);
  s += static_cast<char>(Value.size() % 8 == 0 ? 0 : 8 - Value.size() % 8);
  s.append(axdr, static_cast<size_t>(r.FIndex - 1), packed);
}

void TBERBitStr::EncodeToPduStr(PduStr& s) const { EncodeContents(s); }

void TBERBitStr::EncodeToDataPduStr(PduStr& s) const {
  s += static_cast<char>(DataTag());
  TBitStr::EncodeToPduStr(s);
}

void TBERBitStr::LoadPduStr(TStringWrapper& r) {
  int n = r.NextByte();
  int unused = r.NextByte();
  // n counts the unused-bits byte, so it is at least 1; at most 7 bits of the
  // last byte can be unused.
  if (n < 1 || unused > 7 || (n == 1 && unused != 0)) RaiseGeneral(kWrongEncoding);
  PduStr bytes = r.CopyFromIndexAndForward(n - 1);
  size_t bits = bytes.size() * 8 - static_cast<size_t>(unused);
  Value.clear();
  Value.reserve(bits);
  for (size_t i = 0; i < bits; ++i)
    Value += (static_cast<uint8_t>(bytes[i / 8]) & (0x80 >> (i % 8))) ? '1' : '0';
}

QUILLON_DEFINE_LEAF_WITH_DATA(T_ProtocolVersion)
QUILLON_DEFINE_LEAF_WITH_DATA(T_ACSERequirement)

// ------------------------------------------------------- conformance block

namespace {

// Bit number -> name, in bit order; the names written in XML.
const std::array<const char*, T_Conformance::kBitCount> kConformanceNames = {
    "Reserved0",
    "GeneralProtection",
    "GeneralBlockTransfer",
    "Read",
    "Write",
    "UnconfirmedWrite",
    "DeltaValueEncoding",
    "Reserved7",
    "Attribute0SupportedWithSet",
    "PriorityMgmtSupported",
    "Attribute0SupportedWithGet",
    "BlockTransferWithGetOrRead",
    "BlockTransferWithSetOrWrite",
    "BlockTransferWithAction",
    "MultipleReferences",
    "InformationReport",
    "DataNotification",
    "Access",
    "ParametrizedAccess",
    "Get",
    "Set",
    "SelectiveAccess",
    "EventNotification",
    "Action",
};

// Names older files and meters still use; read, never written.
struct TOldConformanceName {
  const char* Name;
  int Bit;
};
const TOldConformanceName kOldConformanceNames[] = {
    {"Attribute0Supported", 10},
    {"BlockTransferWithGet", 11},
    {"BlockTransferWithSet", 12},
};

}  // namespace

void T_Conformance::SetBit(int bit, bool on) {
  CheckAssertion(bit >= 0 && bit < 1024, "conformance bit number in range");
  if (Value.size() <= static_cast<size_t>(bit)) Value.resize(static_cast<size_t>(bit) + 1, '0');
  Value[static_cast<size_t>(bit)] = on ? '1' : '0';
}

int T_Conformance::NameToValue(std::string_view name) {
  for (size_t i = 0; i < kConformanceNames.size(); ++i)
    if (name == kConformanceNames[i]) return static_cast<int>(i);
  for (const auto& o : kOldConformanceNames)
    if (name == o.Name) return o.Bit;
  RaiseGeneral("T_Conformance.NameToValue, no such name " + std::string(name));
}

const char* T_Conformance::ValueToName(int value) {
  if (value < 0 || value >= kBitCount) RaiseGeneral(Format("T_Conformance.ValueToName, illegal value %d", value));
  return kConformanceNames[static_cast<size_t>(value)];
}

void T_Conformance::EncodeToPduStr(PduStr& s) const {
  s += '\x5F';
  s += '\x1F';
  EncodeContents(s);
}

void T_Conformance::DecodeFromPduStr(TStringWrapper& r) {
  r.ExpectByte(0x5F);
  // Some meters leave out the second tag byte.
  if (r.Inspect() == 0x1F) r.NextByte();
  LoadPduStr(r);
}

void T_Conformance::ToXML(TScriptStream& stream) const {
  const std::string& name = XMLIdName(XMLId);
  stream.XMLOpenTagLn(name);
  ++stream.Indent;
  for (int bit = kBitCount - 1; bit >= 0; --bit)
    if (IsBitSet(bit)) EmitTagAttrLine(stream, BitXMLId, xmlName, ValueToName(bit));
  --stream.Indent;
  stream.XMLCloseTagLn(name);
}

void T_Conformance::DecodeFromXml(TXMLParser& p) {
  TNestingGuard guard(&p);
  SetDefaultValue();
  // The element is taken under whatever name it stands; only its children
  // are checked.
  if (p.FToken != xtStartTag) p.XMLAssertStartTag(XMLId);
  TXMLId open = p.Tag();
  p.Next();
  while (p.FToken == xtStartTag) {
    TXMLId k = p.Tag();
    if (k != xmlConformanceBit) p.UnexpectedKeyword(k);
    const std::string_view name = p.XMLGetAttributeValue(xmlName);
    int bit;
    try {
      bit = NameToValue(name);
    } catch (const EXMLError&) {
      throw;
    } catch (const std::exception& e) {
      p.RaiseXMLError(e.what());
    }
    SetBit(bit);
    p.Next();
  }
  p.XMLAssertStopTagAndNext(open);
}

QUILLON_DEFINE_LEAF_WITH_DATA(T_Conformance)

// ------------------------------------------------------ object identifiers

namespace {

struct TOidRow {
  const char* Name;
  uint8_t Group;  // the two last contents bytes: 60 85 74 05 08 Group Id
  uint8_t Id;
};

// Indexed by TObjectIdentifier; UNKNOWN has no fixed contents.
const std::array<TOidRow, kObjectIdentifierCount> kOids = {{
    {"UNKNOWN", 0, 0},
    {"LN", 1, 1},
    {"SN", 1, 2},
    {"LN_WITH_CIPHERING", 1, 3},
    {"SN_WITH_CIPHERING", 1, 4},
    {"NO_SECURITY", 2, 0},
    {"LOW_SECURITY", 2, 1},
    {"HIGH_SECURITY", 2, 2},
    {"HIGH_SECURITY_MD5", 2, 3},
    {"HIGH_SECURITY_SHA1", 2, 4},
    {"HIGH_SECURITY_GMAC", 2, 5},
    {"HIGH_SECURITY_SHA256", 2, 6},
    {"HIGH_SECURITY_ECDSA", 2, 7},
}};

// 2.16.756.5.8: the DLMS UA branch under which every known name sits.
const char kDlmsUaPrefix[] = "\x60\x85\x74\x05\x08";
constexpr size_t kDlmsUaPrefixLen = 5;

// The identifier written for UNKNOWN.
const char kUnknownOidText[] = " {2, 15, 757, 4, 7, 2, 3}";

}  // namespace

const char* TBERObjectIdentifier::Name(TObjectIdentifier v) {
  CheckAssertion(v >= 0 && v < kObjectIdentifierCount, "object identifier value in range");
  return kOids[static_cast<size_t>(v)].Name;
}

void TBERObjectIdentifier::EncodeFromText(PduStr& s, std::string_view text) {
  TLexicalAnalyser lex;
  lex.SetText(text);
  lex.Expect(toCurlOpen);
  PduStr contents;
  int count = 0;
  int first = 0;
  while (lex.FToken != toCurlClose && count < 10) {
    if (count > 0 && lex.FToken == toComma) lex.Next();
    if (count == 0) {
      first = lex.ExpectInt(0, 2);
    } else if (count == 1) {
      contents += static_cast<char>(40 * first + lex.ExpectInt(0, 39));
    } else {
      // Base 128, most significant group first, continuation bit on every
      // group but the last.
      auto arc = static_cast<uint32_t>(lex.ExpectInt(0, 2147483647));
      char groups[5];
      int n = 0;
      do {
        groups[n++] = static_cast<char>(arc & 0x7F);
        arc >>= 7;
      } while (arc != 0);
      while (n > 1) contents += static_cast<char>(groups[--n] | 0x80);
      contents += groups[0];
    }
    ++count;
  }
  if (count < 2) RaiseGeneral("Some values missing");
  lex.Expect(toCurlClose);
  s += static_cast<char>(contents.size());
  s += contents;
}

void TBERObjectIdentifier::EncodeToPduStr(PduStr& s) const {
  if (Value == oiUNKNOWN) {
    EncodeFromText(s, kUnknownOidText);
    return;
  }
  const TOidRow& row = kOids[static_cast<size_t>(Value)];
  CheckAssertion(Value > oiUNKNOWN && Value < kObjectIdentifierCount, "object identifier value in range");
  s += '\x07';
  s.append(kDlmsUaPrefix, kDlmsUaPrefixLen);
  s += static_cast<char>(row.Group);
  s += static_cast<char>(row.Id);
}

void TBERObjectIdentifier::LoadFromPDUStr(TStringWrapper& r) {
  int len = r.NextByte();
  Value = oiUNKNOWN;
  if (len == 0) return;
  if (len != 7) RaiseGeneral(Format("Object identifier illegal length %d", len));
  PduStr c = r.CopyFromIndexAndForward(7);
  if (c.compare(0, kDlmsUaPrefixLen, kDlmsUaPrefix, kDlmsUaPrefixLen) != 0) return;
  for (int v = oiLN; v < kObjectIdentifierCount; ++v) {
    const TOidRow& row = kOids[static_cast<size_t>(v)];
    if (static_cast<uint8_t>(c[5]) == row.Group && static_cast<uint8_t>(c[6]) == row.Id) {
      Value = static_cast<TObjectIdentifier>(v);
      return;
    }
  }
}

void TBERObjectIdentifier::ToXML(TScriptStream& stream) const {
  EmitTagAttrLine(stream, XMLId, xmlValue, Name(Value));
}

void TBERObjectIdentifier::LoadFromXml(TXMLParser& p) {
  p.XMLAssertStartTag(XMLId);
  const std::string_view v = p.XMLGetAttributeValue(xmlValue);
  for (int i = 0; i < kObjectIdentifierCount; ++i) {
    if (v == kOids[static_cast<size_t>(i)].Name) {
      Value = static_cast<TObjectIdentifier>(i);
      p.Next();
      return;
    }
  }
  p.RaiseXMLError("Illegal value " + std::string(v));
}

void TBERObjectIdentifier::EncodeToDataPduStr(PduStr& s) const {
  s += static_cast<char>(DataTag());
  EncodeToPduStr(s);
}

void TBERObjectIdentifier::DecodeFromDataPduStr(TStringWrapper& r) {
  r.ExpectByte(static_cast<uint8_t>(DataTag()));
  LoadFromPDUStr(r);
}

QUILLON_DEFINE_LEAF_WITH_DATA(T_ApplicationContextName)
QUILLON_DEFINE_LEAF_WITH_DATA(T_MechanismName)

// ----------------------------------------------------------- octet strings

QUILLON_DEFINE_LEAF(T_APTitle)
QUILLON_DEFINE_LEAF(T_AEQualifier)
QUILLON_DEFINE_LEAF(T_AuthenticationValue)
QUILLON_DEFINE_LEAF(T_ImplementationData)

}  // namespace quillon
