#include "xmlpdu/Leaves.h"

namespace quillon {

// ----------------------------------------------------------- numeric leaves

void TNumericBase::EncodeToPduStr(PduStr& s) const {
  uint64_t b = Bits();
  for (int i = ByteCount() - 1; i >= 0; --i) s += static_cast<char>((b >> (8 * i)) & 0xFF);
}

void TNumericBase::ToXML(TScriptStream& stream) const { WriteBits(stream, XMLId, Bits(), ByteCount()); }

void TNumericBase::DecodeFromPduStr(TStringWrapper& r) { SetBits(ReadBits(r, ByteCount())); }

uint64_t TNumericBase::ReadBits(TStringWrapper& r, int n) {
  r.RequireRemaining(n);
  uint64_t b = 0;
  for (int i = 0; i < n; ++i) b = (b << 8) | r.NextByte();
  return b;
}

void TNumericBase::WriteBits(TScriptStream& s, TXMLId id, uint64_t bits, int n) {
  char hex[16];
  s.EmitTagAttrLn(XMLIdName(id), XMLIdName(xmlValue), std::string_view(hex, TMisc::IntToHex(bits, n * 2, hex)));
}

void TNumericBase::DecodeFromXml(TXMLParser& p) {
  p.XMLAssertStartTag(XMLId);
  PduStr bytes = p.HexStrToByteStrOfValue();
  int n = ByteCount();
  if (static_cast<int>(bytes.size()) != n)
    p.RaiseXMLError(Format("Illegal data size, expected %d, found %d", n, static_cast<int>(bytes.size())));
  uint64_t b = 0;
  for (unsigned char c : bytes) b = (b << 8) | c;
  SetBits(b);
  p.Next();
}

QUILLON_DEFINE_LEAF(T_Boolean)
QUILLON_DEFINE_LEAF(T_Integer8)
QUILLON_DEFINE_LEAF(T_Integer16)
QUILLON_DEFINE_LEAF(T_Integer32)
QUILLON_DEFINE_LEAF(T_Integer64)
QUILLON_DEFINE_LEAF(T_Unsigned8)
QUILLON_DEFINE_LEAF(T_Unsigned16)
QUILLON_DEFINE_LEAF(T_Unsigned32)
QUILLON_DEFINE_LEAF(T_Unsigned64)
QUILLON_DEFINE_LEAF(T_Float32)
QUILLON_DEFINE_LEAF(T_Float64)
QUILLON_DEFINE_LEAF(T_Enum)
QUILLON_DEFINE_LEAF(T_Bcd)
QUILLON_DEFINE_LEAF(T_ClassId)
QUILLON_DEFINE_LEAF(T_ObjectAttributeId)
QUILLON_DEFINE_LEAF(T_ObjectMethodId)
QUILLON_DEFINE_LEAF(T_ObjectName)
QUILLON_DEFINE_LEAF(T_InvokeIdAndPriority)
QUILLON_DEFINE_LEAF(T_LongInvokeIdAndPriority)
QUILLON_DEFINE_LEAF(T_OtherError)
QUILLON_DEFINE_LEAF(T_BlockControl)

// ------------------------------------------------------------ octet strings

void TOctetString::EncodeToPduStr(PduStr& s) const {
  if (Size < 0) {
    EncodeVarLengthUnsignedInteger(s, static_cast<int32_t>(std::min<size_t>(Value.size(), 0x7FFFFFFF)));
    s += Value;
  } else {
    CheckAssertion(static_cast<int>(Value.size()) == Size, "fixed-size octet string holds its size");
    s += Value;
  }
}

void TOctetString::ToXML(TScriptStream& stream) const {
  EmitTagAttrLine(stream, XMLId, xmlValue, TMisc::ByteStrToFormatedString2(Value));
}

int TOctetString::CompareTo(const TCOSEMPduBase& x) const {
  auto* o = dynamic_cast<const TOctetString*>(&x);
  if (!o) RaiseGeneral("TOctetString.CompareTo illegal type");
  if (Value < o->Value) return 1;
  if (Value > o->Value) return -1;
  return 0;
}

void TOctetString::LoadFromPduStr(TStringWrapper& r) {
  int n = Size;
  if (n < 0) n = static_cast<int>(DecodeVarLengthUnsignedInteger(r));
  Value = r.CopyFromIndexAndForward(n);
}

void TOctetString::LoadFromXml(TXMLParser& p) {
  p.XMLAssertStartTag(XMLId);
  PduStr bytes = p.HexStrToByteStrOfValue();
  if (Size >= 0 && static_cast<int>(bytes.size()) != Size)
    p.RaiseXMLError(
        Format("%s: Illegal data size, expected %d, found %d", ClassName(), Size, static_cast<int>(bytes.size())));
  Value = std::move(bytes);
  p.Next();
}

QUILLON_DEFINE_LEAF(T_OctetString)
QUILLON_DEFINE_LEAF(T_VisibleString)
QUILLON_DEFINE_LEAF(T_UTF8String)
QUILLON_DEFINE_LEAF(T_FloatingPoint)
QUILLON_DEFINE_LEAF(T_Date)
QUILLON_DEFINE_LEAF(T_Time)
QUILLON_DEFINE_LEAF(T_DateTime)
QUILLON_DEFINE_LEAF(T_ObjectInstanceId)

void TNotificationDateTime::EncodeToPduStr(PduStr& s) const {
  if (Tagged) s += '\x09';
  TOctetString::EncodeToPduStr(s);
}

void TNotificationDateTime::ToXML(TScriptStream& stream) const {
  if (!Tagged) return TOctetString::ToXML(stream);
  stream.Element(XMLId, [&] { EmitTagAttrLine(stream, xmlOctetString, xmlValue, TMisc::ByteStrToFormatedString2(Value)); });
}

void TNotificationDateTime::DecodeFromPduStr(TStringWrapper& r) {
  // 09 as a length would be a date-time of nine bytes, which none is; 09 0C
  // and the twelve bytes are the Data octet string.
  Tagged = r.GetRemainingBytes() >= 14 && r.Inspect() == 0x09 && static_cast<uint8_t>(r.GetChar(r.FIndex + 1)) == 0x0C;
  if (Tagged) r.NextByte();
  LoadFromPduStr(r);
}

void TNotificationDateTime::DecodeFromXml(TXMLParser& p) {
  p.XMLAssertStartTag(XMLId);
  Tagged = !p.FFullElement;
  if (!Tagged) return LoadFromXml(p);
  p.Next();
  p.XMLAssertStartTag(xmlOctetString);
  Value = p.HexStrToByteStrOfValue();
  p.Next();
  p.XMLAssertStopTagAndNext(XMLId);
}

QUILLON_DEFINE_LEAF(T_NotificationDateTime)

// --------------------------------------------------------------- bit string

void TBitStr::EncodeToPduStr(PduStr& s) const {
  for (char c : Value)
    if (c != '0' && c != '1') RaiseGeneral("BERBitString: illegal character");
  EncodeVarLengthUnsignedInteger(s, static_cast<int32_t>(std::min<size_t>(Value.size(), 0x7FFFFFFF)));
  uint8_t cur = 0;
  for (size_t i = 0; i < Value.size(); ++i) {
    if (Value[i] == '1') cur = static_cast<uint8_t>(cur | (0x80 >> (i % 8)));
    if (i % 8 == 7) {
      s += static_cast<char>(cur);
      cur = 0;
    }
  }
  if (Value.size() % 8 != 0) s += static_cast<char>(cur);
}

void TBitStr::ToXML(TScriptStream& stream) const { EmitTagAttrLine(stream, XMLId, xmlValue, Value); }

void TBitStr::EncodeToDataPduStr(PduStr& s) const {
  s += static_cast<char>(DataTag());
  EncodeToPduStr(s);
}

void TBitStr::DecodeFromPduStr(TStringWrapper& r) {
  uint32_t bits = DecodeVarLengthUnsignedInteger(r);
  uint32_t bytes = (bits + 7) / 8;
  r.RequireRemaining(bytes);
  Value.clear();
  Value.reserve(bits);
  for (uint32_t i = 0; i < bytes; ++i) {
    uint8_t b = r.NextByte();
    for (int k = 0; k < 8 && Value.size() < bits; ++k) Value += (b & (0x80 >> k)) ? '1' : '0';
  }
}

void TBitStr::DecodeFromDataPduStr(TStringWrapper& r) {
  r.ExpectByte(static_cast<uint8_t>(DataTag()));
  DecodeFromPduStr(r);
}

void TBitStr::DecodeFromXml(TXMLParser& p) {
  p.XMLAssertStartTag(XMLId);
  Value = p.XMLGetAttributeValue(xmlValue);
  p.Next();
}

QUILLON_DEFINE_LEAF_WITH_DATA(T_BitString)

// --------------------------------------------------------------------- NULL

void TNull::ToXML(TScriptStream& stream) const {
  const std::string& n = XMLIdName(XMLId);
  std::string line;
  line.reserve(n.size() + 4);
  line += '<';
  line += n;
  line += " />";
  stream.EmitLn(line);
}

void TNull::DecodeFromXml(TXMLParser& p) {
  p.XMLAssertStartTagAndNext(XMLId);
}

QUILLON_DEFINE_LEAF_WITH_DATA(T_NullData)
QUILLON_DEFINE_LEAF_WITH_DATA(T_DontCare)

// ------------------------------------------------------------- enumerations

const char* TEnum::FindName(const std::vector<TEnumName>& names, int value) {
  for (const auto& n : names)
    if (n.Value == value) return n.Name;
  return nullptr;
}

std::string TEnum::NameOf(const std::vector<TEnumName>& names, const char* className, int value) {
  const char* n = FindName(names, value);
  // The same words as writing the tree (ToXML): one byte, one message.
  if (!n) RaiseGeneral(Format("%s: case range", className));
  return n;
}

void TEnum::ToXML(TScriptStream& stream) const {
  const char* n = FindName(Names(), Value);
  if (!n) RaiseGeneral(Format("%s: case range", ClassName()));
  EmitTagAttrLine(stream, XMLId, xmlValue, n);
}

int TEnum::CompareTo(const TCOSEMPduBase& x) const {
  auto* o = dynamic_cast<const TEnum*>(&x);
  if (!o || std::strcmp(o->ClassName(), ClassName()) != 0)
    RaiseGeneral(Format("%s.CompareTo illegal type", ClassName()));
  return Value < o->Value ? 1 : Value > o->Value ? -1 : 0;
}

void TEnum::DecodeFromXml(TXMLParser& p) {
  p.XMLAssertStartTag(XMLId);
  const std::string_view v = p.XMLGetAttributeValue(xmlValue);
  for (const auto& n : Names()) {
    if (v == n.Name) {
      Value = n.Value;
      p.Next();
      return;
    }
  }
  p.RaiseXMLError(Format("%s: illegal element %s", ClassName(), std::string(v).c_str()));
}

QUILLON_DEFINE_ENUM(T_DataAccessResult)
QUILLON_DEFINE_ENUM(T_ActionResult)
QUILLON_DEFINE_ENUM(T_ApplicationReference)
QUILLON_DEFINE_ENUM(T_HardwareResource)
QUILLON_DEFINE_ENUM(T_VdeStateError)
QUILLON_DEFINE_ENUM(T_Service)
QUILLON_DEFINE_ENUM(T_Definition)
QUILLON_DEFINE_ENUM(T_Access)
QUILLON_DEFINE_ENUM(T_Initiate)
QUILLON_DEFINE_ENUM(T_LoadDataSet)
QUILLON_DEFINE_ENUM(T_Task)
QUILLON_DEFINE_ENUM(T_ExceptionStateError)
QUILLON_DEFINE_ENUM(T_ExceptionServiceError)
QUILLON_DEFINE_ENUM(T_KeyId)
QUILLON_DEFINE_ENUM(T_KekId)

}  // namespace quillon
