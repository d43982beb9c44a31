#include "xmlpdu/infra/PduBase.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sstream>

namespace quillon {

// ------------------------------------------------------------ TScriptStream

void TScriptStream::XMLOpenTagLn(std::string_view tag) {
  AppendLine(std::string_view("<"), tag, std::string_view(">\r\n"));
}

void TScriptStream::XMLCloseTagLn(std::string_view tag) {
  AppendLine(std::string_view("</"), tag, std::string_view(">\r\n"));
}

void TScriptStream::EmitTagAttrLn(std::string_view tag, std::string_view attr, std::string_view value) {
  // This is the line written for every value.
  AppendLine(std::string_view("<"), tag, std::string_view(" "), attr, std::string_view("=\""), value,
             std::string_view("\" />\r\n"));
}

namespace {
constexpr size_t kStagingMax = 32u << 10;
constexpr size_t kStagingMin = 512;

// The buffer of the last stream on a thread waits there for the next one, so
// that converting one APDU after another does not allocate it each time.
struct TSpareBuffer {
  std::unique_ptr<char[]> Buf;
  size_t Cap = 0;
};
TSpareBuffer& SpareBuffer() {
  thread_local TSpareBuffer spare;
  return spare;
}
constexpr size_t kSpareMax = 1u << 20;
}  // namespace

TScriptStream::~TScriptStream() {
  if (!FBuf || FCap > kSpareMax) return;
  TSpareBuffer& spare = SpareBuffer();
  if (spare.Cap >= FCap) return;
  spare.Buf = std::move(FBuf);
  spare.Cap = FCap;
}

void TScriptStream::GrowBuffer(size_t n) {
  size_t cap = std::max({n, 2 * FCap, kStagingMin});
  TSpareBuffer& spare = SpareBuffer();
  std::unique_ptr<char[]> buf;
  if (spare.Buf && spare.Cap >= cap) {
    buf = std::move(spare.Buf);
    cap = spare.Cap;
    spare.Cap = 0;
  } else {
    buf.reset(new char[cap]);
  }
  if (FLen != 0) std::memcpy(buf.get(), FBuf.get(), FLen);
  FBuf = std::move(buf);
  FCap = cap;
}

void TScriptStream::MakeRoom(size_t n) {
  // Text handed on in pieces stays in the buffer until its piece is full;
  // a text kept whole moves on once the buffer has its full size.
  if (FSink || FCap < kStagingMax) return GrowBuffer(FLen + n);
  Spill();
  if (FCap < n) GrowBuffer(n);
}

void TScriptStream::Spill() {
  if (FLen == 0 || FSink) return;
#ifdef MADV_POPULATE_WRITE
  // The pages of a large text are mapped a few megabytes ahead of the
  // writing, in one call each, not one page fault per 4 KB.
  constexpr size_t kAhead = 4u << 20;
  constexpr uintptr_t kPage = 4096;
  const size_t end = FText.size() + FLen;
  if (FText.capacity() >= kAhead && end > FMapped && FText.capacity() >= end) {
    const auto base = reinterpret_cast<uintptr_t>(FText.data());
    const uintptr_t from = (base + std::max(FMapped, FText.size()) + kPage - 1) & ~(kPage - 1);
    FMapped = std::min(FText.capacity(), end + kAhead);
    const uintptr_t to = (base + FMapped) & ~(kPage - 1);
    // Only a hint: where the system cannot, the pages come as they are written.
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  }
#endif
  const char* before = FText.data();
  FText.append(FBuf.get(), FLen);
  if (FText.data() != before) FMapped = 0;
  FLen = 0;
}

void TScriptStream::Reserve(size_t n) {
  // A short text stays in the buffer until it is taken.
  constexpr size_t kShort = 256u << 10;
  if (n <= kShort) {
    if (FCap < n) GrowBuffer(n);
    return;
  }
  FText.reserve(n);
  FMapped = 0;
  if (FCap < kStagingMax) GrowBuffer(kStagingMax);
}

std::string TScriptStream::Take() {
  if (FText.empty() && !FSink) {
    std::string text(FBuf.get(), FLen);
    FLen = 0;
    return text;
  }
  Spill();
  return std::move(FText);
}

// ------------------------------------------------------------ TNestingGuard

TNestingGuard::TNestingGuard(const TXMLParser* p) {
  if (++Depth() > kMaxPduNesting) {
    --Depth();
    RaiseTooDeep(p);
  }
}

void TNestingGuard::RaiseTooDeep(const TXMLParser* p) {
  std::string msg = Format("Nesting deeper than %d levels", kMaxPduNesting);
  if (p) p->RaiseXMLError(msg);
  RaiseGeneral(msg);
}

PduPtr CreateFromDataPduStrNotImplemented(const char* className) {
  RaiseGeneral(Format("%s.CreateFromDataPduStr not implemented", className));
}

// ------------------------------------------------------------ TCOSEMPduBase

bool TCOSEMPduBase::CheckRange(int64_t, int64_t) const {
  RaiseGeneral(Format("%s.CheckRange is not implemented", ClassName()));
}

int TCOSEMPduBase::CompareTo(const TCOSEMPduBase&) const {
  RaiseGeneral(Format("%s.CompareTo is not implemented", ClassName()));
}

bool TCOSEMPduBase::EqualType(const TCOSEMPduBase& x) const { return std::strcmp(ClassName(), x.ClassName()) == 0; }

std::string TCOSEMPduBase::FriendlyName() const {
  std::string n = ClassName();
  if (n.rfind("T_", 0) == 0) return n.substr(2);
  if (n.rfind("_", 0) == 0) return n.substr(1);
  return n;
}

int TCOSEMPduBase::DataTag() const { RaiseGeneral(Format("%s.DataTag not implemented", ClassName())); }

void TCOSEMPduBase::EncodeToDataPduStr(PduStr&) const {
  RaiseGeneral(Format("%s.EncodeToDataPduStr not implemented", ClassName()));
}

void TCOSEMPduBase::EmitTagAttrLine(TScriptStream& stream, TXMLId tag, TXMLId attr, std::string_view value) const {
  stream.EmitTagAttrLn(XMLIdName(tag), XMLIdName(attr), value);
}

std::string TCOSEMPduBase::ToXMLString() const {
  TScriptStream s;
  ToXML(s);
  return s.Take();
}

std::vector<std::string> TCOSEMPduBase::ToStringList(int indent) const {
  TScriptStream s;
  s.Indent = indent;
  ToXML(s);
  std::vector<std::string> lines;
  const std::string& text = s.AsString();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

void TCOSEMPduBase::AddXmlToLines(int indent, std::vector<std::string>& lines) const {
  for (auto& l : ToStringList(indent / 2)) lines.push_back(std::move(l));
}

PduPtr TCOSEMPduBase::MakeAnyFromXml(TXMLId id, TCOSEMPduBaseClass requiredClass, std::string_view xml) {
  TXMLParser p(xml);
  return requiredClass->CreateFromXml(id, p);
}

PduPtr TCOSEMPduBase::MakeAnyFromPdu(TXMLId id, TCOSEMPduBaseClass requiredClass, const PduStr& pdu) {
  TStringWrapper r(pdu);
  return requiredClass->CreateFromPduStr(id, r);
}

std::string TCOSEMPduBase::PduToXMLString(TXMLId id, TCOSEMPduBaseClass requiredClass, TStringWrapper& r) {
  TScriptStream s;
  s.ReserveForBytes(static_cast<size_t>(r.GetRemainingBytes()));
  requiredClass->PduToXml(id, r, s);
  if (s.Deferred) std::rethrow_exception(s.Deferred);
  std::string xml = s.Take();
  if (xml.capacity() > 2 * xml.size() + 4096) xml.shrink_to_fit();
  return xml;
}

void TCOSEMPduBase::PduToXmlPieces(TXMLId id, TCOSEMPduBaseClass requiredClass, TStringWrapper& r,
                                   const std::function<void(std::string_view)>& sink, size_t piece) {
  TScriptStream s;
  s.HandOn(sink, piece);
  requiredClass->PduToXml(id, r, s);
  if (s.Deferred) std::rethrow_exception(s.Deferred);
  s.Flush();
}

PduStr TCOSEMPduBase::XmlToPduStr(TXMLId id, TCOSEMPduBaseClass requiredClass, std::string_view xml) {
  TXMLParser p(xml);
  TPduWriter w;
  w.Out.reserve(xml.size() / 8 + 64);  // XML takes about nine characters per byte
  requiredClass->XmlToPdu(id, p, w);
  if (w.Deferred) std::rethrow_exception(w.Deferred);
  return std::move(w.Out);
}

std::string TCOSEMPduBase::Clean(TXMLId id, TCOSEMPduBaseClass requiredClass, std::string_view xml) {
  return MakeAnyFromXml(id, requiredClass, xml)->ToXMLString();
}

// ------------------------------------------------------------------ TChoice

TChoiceSchema::TChoiceSchema(const char* className, std::vector<TChoiceAlt> alts)
    : ClassName(className), Alts(std::move(alts)) {
  std::memset(FByTag, 0xFF, sizeof FByTag);
  for (size_t i = 0; i < Alts.size(); ++i)
    if (Alts[i].Tag >= 0 && Alts[i].Tag < 256 && FByTag[Alts[i].Tag] < 0)
      FByTag[Alts[i].Tag] = static_cast<int16_t>(i);
}

const TChoiceAlt* TChoiceSchema::ByRole(TXMLId role) const {
  for (const auto& a : Alts)
    if (a.Role == role) return &a;
  return nullptr;
}

const TChoiceAlt& TChoiceSchema::ReadAlternative(TStringWrapper& r) const {
  int tag = r.NextByte();
  const TChoiceAlt* alt = ByTag(tag);
  if (!alt) RaiseGeneral(Format("%s : illegal Tag %d", ClassName, tag));
  return *alt;
}

void TChoice::EncodeToPduStr(PduStr& s) const {
  CheckAssertion(Value != nullptr, "CHOICE has a selected alternative");
  s += static_cast<char>(Tag);
  Value->EncodeToPduStr(s);
}

void TChoice::ToXML(TScriptStream& stream) const {
  CheckAssertion(Value != nullptr, "CHOICE has a selected alternative");
  stream.Element(XMLId, [&] { Value->ToXML(stream); });
}

void TChoice::PduToXml(const TChoiceSchema& schema, TXMLId id, TStringWrapper& r, TScriptStream& s) {
  TNestingGuard guard;
  const TChoiceAlt& alt = schema.ReadAlternative(r);
  s.Element(id, [&] { alt.Type->PduToXml(alt.Role, r, s); });
}

bool TChoice::EqualType(const TCOSEMPduBase& x) const {
  auto* o = dynamic_cast<const TChoice*>(&x);
  if (!o || o->Tag != Tag) return false;
  if (!Value || !o->Value) return !Value && !o->Value;
  return Value->EqualType(*o->Value);
}

void TChoice::EncodeToDataPduStr(PduStr& s) const {
  CheckAssertion(Value != nullptr, "CHOICE has a selected alternative");
  Value->EncodeToDataPduStr(s);
}

int TChoice::DataTag() const {
  CheckAssertion(Value != nullptr, "CHOICE has a selected alternative");
  return Value->DataTag();
}

void TChoice::DecodeFromPduStr(TStringWrapper& r) {
  TNestingGuard guard;
  const TChoiceAlt& alt = Schema().ReadAlternative(r);
  Tag = alt.Tag;
  Value = alt.Type->CreateFromPduStr(alt.Role, r);
}

void TChoice::DecodeFromXml(TXMLParser& p) {
  TNestingGuard guard(&p);
  const TChoiceSchema& schema = Schema();
  if (XMLId != xmlIgnore) p.XMLAssertStartTagAndNext(XMLId);
  const TChoiceAlt* alt = nullptr;
  if (p.FToken == xtStartTag) alt = schema.ByRole(p.Tag());
  if (!alt) p.RaiseXMLError(Format("%s.CreateFromXml : illegal choice", schema.ClassName));
  Tag = alt->Tag;
  Value = alt->Type->CreateFromXml(alt->Role, p);
  if (XMLId != xmlIgnore) p.XMLAssertStopTagAndNext(XMLId);
}

void TChoice::XmlToPdu(const TChoiceSchema& schema, TXMLId id, TXMLParser& p, TPduWriter& w) {
  TNestingGuard guard(&p);
  if (id != xmlIgnore) p.XMLAssertStartTagAndNext(id);
  const TChoiceAlt* alt = nullptr;
  if (p.FToken == xtStartTag) alt = schema.ByRole(p.Tag());
  if (!alt) p.RaiseXMLError(Format("%s.CreateFromXml : illegal choice", schema.ClassName));
  w.Encode([&](PduStr& out) { out += static_cast<char>(alt->Tag); });
  alt->Type->XmlToPdu(alt->Role, p, w);
  if (id != xmlIgnore) p.XMLAssertStopTagAndNext(id);
}

void TChoice::SelectVariant(TXMLId role, PduPtr v) {
  const TChoiceSchema& schema = Schema();
  const TChoiceAlt* alt = schema.ByRole(role);
  if (!alt) RaiseGeneral(Format("%s.CreateVariant : illegal choice", schema.ClassName));
  Tag = alt->Tag;
  if (v) {
    v->XMLId = alt->Role;
    Value = std::move(v);
  } else {
    Value = alt->Type->Create(alt->Role);
  }
}

// ---------------------------------------------------------------- TSequence

TSequence::TSequence(const TSequence& o) : TCOSEMPduBase(o) {
  Members.reserve(o.Members.size());
  for (const auto& m : o.Members) Members.push_back(m ? m->Clone() : nullptr);
}

void TSequence::InitDefault() {
  const TSequenceSchema& schema = Schema();
  Members.clear();
  Members.reserve(schema.Members.size());
  for (const auto& m : schema.Members) Members.push_back(m.Optional ? nullptr : m.Type->Create(m.Role));
}

void TSequence::SetMember(size_t i, PduPtr v) {
  const TSequenceSchema& schema = Schema();
  CheckAssertion(i < schema.Members.size(), "SEQUENCE member index in range");
  if (Members.size() < schema.Members.size()) Members.resize(schema.Members.size());
  if (v) v->XMLId = schema.Members[i].Role;
  Members[i] = std::move(v);
}

void TSequence::EncodeToPduStr(PduStr& s) const {
  const TSequenceSchema& schema = Schema();
  for (size_t i = 0; i < schema.Members.size(); ++i) {
    const TCOSEMPduBase* m = i < Members.size() ? Members[i].get() : nullptr;
    if (schema.Members[i].Optional) {
      if (!m) {
        s += '\0';
        continue;
      }
      s += '\x01';
    }
    CheckAssertion(m != nullptr, "mandatory SEQUENCE member present");
    m->EncodeToPduStr(s);
  }
}

void TSequence::ToXML(TScriptStream& stream) const {
  const std::string& name = XMLIdName(XMLId);
  stream.XMLOpenTagLn(name);
  ++stream.Indent;
  for (const auto& m : Members)
    if (m) m->ToXML(stream);
  --stream.Indent;
  stream.XMLCloseTagLn(name);
}

void TSequence::PduToXml(const TSequenceSchema& schema, TXMLId id, TStringWrapper& r, TScriptStream& s) {
  TNestingGuard guard;
  const std::string& name = XMLIdName(id);
  s.XMLOpenTagLn(name);
  ++s.Indent;
  for (const auto& m : schema.Members)
    if (!m.Optional || r.NextByte() != 0) m.Type->PduToXml(m.Role, r, s);
  --s.Indent;
  s.XMLCloseTagLn(name);
}

void TSequence::DecodeFromPduStr(TStringWrapper& r) {
  TNestingGuard guard;
  const TSequenceSchema& schema = Schema();
  Members.clear();
  Members.reserve(schema.Members.size());
  for (const auto& m : schema.Members) {
    if (m.Optional && r.NextByte() == 0) {
      Members.push_back(nullptr);
      continue;
    }
    Members.push_back(m.Type->CreateFromPduStr(m.Role, r));
  }
}

void TSequence::DecodeFromXml(TXMLParser& p) {
  TNestingGuard guard(&p);
  const TSequenceSchema& schema = Schema();
  p.XMLAssertStartTagAndNext(XMLId);
  Members.clear();
  Members.reserve(schema.Members.size());
  for (const auto& m : schema.Members) {
    if (m.Optional && !p.IsStartTag(m.Role)) {
      Members.push_back(nullptr);
      continue;
    }
    Members.push_back(m.Type->CreateFromXml(m.Role, p));
  }
  p.XMLAssertStopTagAndNext(XMLId);
}

void TSequence::XmlToPdu(const TSequenceSchema& schema, TXMLId id, TXMLParser& p, TPduWriter& w) {
  TNestingGuard guard(&p);
  p.XMLAssertStartTagAndNext(id);
  for (const auto& m : schema.Members) {
    const bool present = !m.Optional || p.IsStartTag(m.Role);
    if (m.Optional) w.Encode([&](PduStr& out) { out += present ? '\x01' : '\0'; });
    if (present) m.Type->XmlToPdu(m.Role, p, w);
  }
  p.XMLAssertStopTagAndNext(id);
}

// -------------------------------------------------------------- TSequenceOf

TSequenceOf::TSequenceOf(const TSequenceOf& o) : TCOSEMPduBase(o) {
  FElements.reserve(o.FElements.size());
  for (const auto& e : o.FElements) FElements.push_back(e->Clone());
}

bool TSequenceOf::EqualType(const TCOSEMPduBase& x) const {
  auto* o = dynamic_cast<const TSequenceOf*>(&x);
  if (!o || o->FElements.size() != FElements.size()) return false;
  for (size_t i = 0; i < FElements.size(); ++i)
    if (!FElements[i]->EqualType(*o->FElements[i])) return false;
  return true;
}

void TSequenceOf::Add(PduPtr item) {
  CheckAssertion(item != nullptr, "SEQUENCE OF element present");
  // Choice elements stand without a wrapper element of their own.
  if (item->Class().IsChoice) item->XMLId = xmlIgnore;
  FElements.push_back(std::move(item));
}

TCOSEMPduBase* TSequenceOf::GetElements(int index) const {
  if (index < 0 || index >= ElementCount())
    throw std::out_of_range(Format("Argument out of range: index %d, count %d", index, ElementCount()));
  return FElements[static_cast<size_t>(index)].get();
}

void TSequenceOf::SaveToPduStr(PduStr& s, bool dataForm) const {
  if (dataForm) s += static_cast<char>(DataTag());
  EncodeVarLengthUnsignedInteger(s, static_cast<int32_t>(std::min<size_t>(FElements.size(), 0x7FFFFFFF)));
  for (const auto& e : FElements) {
    if (dataForm)
      e->EncodeToDataPduStr(s);
    else
      e->EncodeToPduStr(s);
  }
}

void TSequenceOf::EncodeToDataPduStr(PduStr& s) const { SaveToPduStr(s, true); }

// Every element takes at least one byte, so a count larger than what remains
// is refused before anything is allocated for it.
static uint32_t ReadElementCount(TStringWrapper& r) {
  uint32_t n = DecodeVarLengthUnsignedInteger(r);
  r.RequireRemaining(n);
  return n;
}

void TSequenceOf::LoadFromPduElementsOfType(TStringWrapper& r, TXMLId elemId, TCOSEMPduBaseClass elementClass) {
  TNestingGuard guard;
  uint32_t n = ReadElementCount(r);
  FElements.clear();
  FElements.reserve(n);
  for (uint32_t i = 0; i < n; ++i) Add(elementClass->CreateFromPduStr(elemId, r));
}

void TSequenceOf::LoadFromDataPduElementsOfType(TStringWrapper& r, TXMLId elemId, TCOSEMPduBaseClass elementClass) {
  TNestingGuard guard;
  r.ExpectByte(static_cast<uint8_t>(DataTag()));
  uint32_t n = ReadElementCount(r);
  FElements.clear();
  FElements.reserve(n);
  for (uint32_t i = 0; i < n; ++i) Add(elementClass->CreateFromDataPduStr(elemId, r));
}

bool TSequenceOf::ReadQty(const TXMLParser& p, long& expected) {
  const std::string qty(p.XMLGetAttributeValue(xmlQty));
  std::string up = qty;
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (up == "AUTO") return false;
  char* end = nullptr;
  expected = std::strtol(qty.c_str(), &end, 16);
  if (qty.empty() || *end != '\0' || expected < 0)
    p.RaiseXMLError(Format("'%s' is not a valid integer value", qty.c_str()));
  return true;
}

void TSequenceOf::XmlToPdu(TXMLId id, TXMLId elemId, TCOSEMPduBaseClass elementClass, TXMLParser& p,
                           TPduWriter& w) {
  TNestingGuard guard(&p);
  p.XMLAssertStartTag(id);
  long expected = 0;
  const bool counted = ReadQty(p, expected);
  p.Next();
  // The count goes in front of the elements once they are all read.
  const size_t countAt = w.Out.size();
  int count = 0;
  const TXMLId eid = elementClass->IsChoice ? xmlIgnore : elemId;
  for (; p.FToken == xtStartTag; ++count) elementClass->XmlToPdu(eid, p, w);
  if (p.FToken != xtStopTag) p.RaiseXMLError("UnexpectedKeyword");
  if (counted && expected != count) p.RaiseXMLError(Format("ExpectedQty=%d, ActualQty=%d", static_cast<int>(expected), count));
  p.XMLAssertStopTagAndNext(id);
  w.Encode([&](PduStr& out) {
    PduStr n;
    EncodeVarLengthUnsignedInteger(n, count);
    out.insert(countAt, n);
  });
}

void TSequenceOf::LoadFromXmlElementsOfTag(TXMLParser& p, TXMLId elemId, TCOSEMPduBaseClass elementClass) {
  TNestingGuard guard(&p);
  p.XMLAssertStartTag(XMLId);
  long expected = 0;
  const bool counted = ReadQty(p, expected);
  p.Next();
  FElements.clear();
  TXMLId id = elementClass->IsChoice ? xmlIgnore : elemId;
  while (p.FToken == xtStartTag) Add(elementClass->CreateFromXml(id, p));
  if (p.FToken != xtStopTag) p.RaiseXMLError("UnexpectedKeyword");
  if (counted && expected != ElementCount())
    p.RaiseXMLError(Format("ExpectedQty=%d, ActualQty=%d", static_cast<int>(expected), ElementCount()));
  p.XMLAssertStopTagAndNext(XMLId);
}

void TSequenceOf::OpenTagWithQty(TScriptStream& s, const std::string& name, size_t count) {
  s.Emit("<");
  s.Emit(name);
  s.Emit(" Qty=\"");
  s.Emit(TMisc::IntToHex(count, 4));
  s.EmitLn("\" >");
}

void TSequenceOf::SaveToXml(TScriptStream& stream) const {
  const std::string& name = XMLIdName(XMLId);
  OpenTagWithQty(stream, name, FElements.size());
  ++stream.Indent;
  for (const auto& e : FElements) e->ToXML(stream);
  --stream.Indent;
  stream.XMLCloseTagLn(name);
}

void TSequenceOf::PduToXml(TXMLId id, TXMLId elemId, TCOSEMPduBaseClass elementClass, TStringWrapper& r,
                           TScriptStream& s) {
  TNestingGuard guard;
  const uint32_t n = ReadElementCount(r);
  const std::string& name = XMLIdName(id);
  OpenTagWithQty(s, name, n);
  ++s.Indent;
  // As Add() does for the tree: a CHOICE element has no wrapper of its own.
  const TXMLId eid = elementClass->IsChoice ? xmlIgnore : elemId;
  for (uint32_t i = 0; i < n; ++i) elementClass->PduToXml(eid, r, s);
  --s.Indent;
  s.XMLCloseTagLn(name);
}

}  // namespace quillon
