// Element trees of APDUs: the root class, the three structural classes from
// which every generated type derives, the XML script stream, and the
// declaration machinery with which each APDU type is described once.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "xmlpdu/infra/Misc.h"
#include "xmlpdu/infra/XMLParser.h"

namespace quillon {

class TCOSEMPduBase;
class TScriptStream;
struct TPduWriter;
using PduPtr = std::unique_ptr<TCOSEMPduBase>;

// Factory descriptor of one element type: what a class reference is elsewhere.
struct TPduClass {
  const char* Name;  // class name, e.g. "T_GetRequest"
  bool IsChoice;
  PduPtr (*Create)(TXMLId id);
  PduPtr (*CreateFromPduStr)(TXMLId id, TStringWrapper& r);
  PduPtr (*CreateFromXml)(TXMLId id, TXMLParser& p);
  PduPtr (*CreateFromDataPduStr)(TXMLId id, TStringWrapper& r);
  // Reads one element as CreateFromPduStr does (same checks, same errors)
  // and writes the XML its tree would write, without keeping a tree.
  void (*PduToXml)(TXMLId id, TStringWrapper& r, TScriptStream& s);
  // Reads one element from XML as CreateFromXml does and appends the bytes
  // its tree would encode to, without keeping a tree.
  void (*XmlToPdu)(TXMLId id, TXMLParser& p, TPduWriter& w);
};

// Bytes written while XML is read. The tree reads all of its XML before it
// encodes, so a read error anywhere comes before an encoding error; an
// encoding error is therefore kept until the whole element has been read.
struct TPduWriter {
  PduStr Out;
  std::exception_ptr Deferred;
  template <class F>
  void Encode(F&& f) {
    if (Deferred) return;
    try {
      f(Out);
    } catch (...) {
      Deferred = std::current_exception();
    }
  }
};
using TCOSEMPduBaseClass = const TPduClass*;

// Growable text for the XML form: CR LF line ends, two spaces per level.
class TScriptStream {
public:
  TScriptStream() = default;
  TScriptStream(const TScriptStream&) = delete;
  TScriptStream& operator=(const TScriptStream&) = delete;
  ~TScriptStream();
  // A tree reads all of its bytes before it writes any XML, so a read error
  // anywhere comes before a writing error (a value without a name, say). XML
  // written while the bytes are read keeps its first writing error here until
  // the whole element has been read.
  std::exception_ptr Deferred;
  template <class F>
  void Write(F&& f) {
    if (Deferred) return;
    try {
      f();
    } catch (...) {
      Deferred = std::current_exception();
    }
  }
  void Emit(std::string_view s) {
    const size_t indent = LineNotEmpty ? 0 : static_cast<size_t>(Indent) * 2;
    char* out = Room(indent + s.size());
    std::memset(out, ' ', indent);
    std::memcpy(out + indent, s.data(), s.size());
    FLen += indent + s.size();
    LineNotEmpty = true;
  }
  void EmitLn(std::string_view s) { AppendLine(s, std::string_view("\r\n")); }
  // The rest of the line (indented when nothing stands on it yet) from its
  // parts and the line end among them.
  template <class... P>
  void AppendLine(P... parts) {
    const size_t indent = LineNotEmpty ? 0 : static_cast<size_t>(Indent) * 2;
    char* out = Room(indent + (parts.size() + ... + 0));
    std::memset(out, ' ', indent);
    out += indent;
    ((std::memcpy(out, parts.data(), parts.size()), out += parts.size()), ...);
    EndLine(out);
  }
  void XMLOpenTagLn(std::string_view tag);
  void XMLCloseTagLn(std::string_view tag);
  // <tag attr="value" /> on a line of its own.
  void EmitTagAttrLn(std::string_view tag, std::string_view attr, std::string_view value);
  // The element `id` around what body writes one level deeper; xmlIgnore
  // writes the body alone.
  template <class F>
  void Element(TXMLId id, F&& body) {
    if (id == xmlIgnore) {
      body();
      return;
    }
    const std::string& name = XMLIdName(id);
    XMLOpenTagLn(name);
    ++Indent;
    body();
    --Indent;
    XMLCloseTagLn(name);
  }

  // Writing lines in place: Room(n) gives room for n more characters after
  // the text, EndLine(end) takes what was written up to `end` as whole lines.
  char* Room(size_t n) {
    if (FCap - FLen < n || FBuf == nullptr) MakeRoom(n);
    return FBuf.get() + FLen;
  }
  void EndLine(const char* end) {
    FLen = static_cast<size_t>(end - FBuf.get());
    LineNotEmpty = false;
    if (FLen >= FlushAt) Flush();
  }

  // Room for a text of n characters.
  void Reserve(size_t n);
  // Room for the XML of `bytes` bytes of values: profiles and object lists
  // give about nine characters per byte.
  void ReserveForBytes(size_t bytes) { Reserve(bytes * 10 + 256); }
  const std::string& AsString() {
    Spill();
    return FText;
  }
  std::string Take();
  // Text handed on in pieces instead of kept whole: once a line end brings
  // the text to `flushAt` characters, `sink` gets it and the text starts
  // again empty. Flush hands on what is left.
  void HandOn(std::function<void(std::string_view)> sink, size_t flushAt) {
    FSink = std::move(sink);
    FlushAt = flushAt;
    // A piece ends at the first line end past `flushAt`; lines are short.
    if (FCap < flushAt + 4096) GrowBuffer(flushAt + 4096);
  }
  void Flush() {
    if (FSink && FLen != 0) FSink(std::string_view(FBuf.get(), FLen));
    FLen = 0;
  }

  bool LineNotEmpty = false;
  int Indent = 0;

private:
  void MakeRoom(size_t n);
  void Spill();
  void GrowBuffer(size_t n);
  // Lines are written into a small buffer that stays in the cache and moved
  // to the text (or handed on) from there: the text's memory is written once.
  std::unique_ptr<char[]> FBuf;
  size_t FCap = 0;
  size_t FLen = 0;
  std::string FText;
  size_t FMapped = 0;  // characters of FText's capacity whose pages are mapped
  std::function<void(std::string_view)> FSink;
  size_t FlushAt = SIZE_MAX;
};

// Hostile input must not exhaust the stack: decoders nest at most this deep.
inline constexpr int kMaxPduNesting = 200;

class TCOSEMPduBase {
public:
  explicit TCOSEMPduBase(TXMLId id) : XMLId(id) {}
  TCOSEMPduBase(const TCOSEMPduBase&) = default;
  TCOSEMPduBase& operator=(const TCOSEMPduBase&) = delete;
  virtual ~TCOSEMPduBase() = default;

  virtual const TPduClass& Class() const = 0;
  const char* ClassName() const { return Class().Name; }

  virtual void EncodeToPduStr(PduStr& s) const = 0;
  virtual void ToXML(TScriptStream& stream) const = 0;
  virtual bool CheckRange(int64_t low, int64_t high) const;
  virtual int CompareTo(const TCOSEMPduBase& x) const;
  virtual bool EqualType(const TCOSEMPduBase& x) const;
  std::string FriendlyName() const;
  virtual PduPtr Clone() const = 0;
  virtual int DataTag() const;
  virtual void EncodeToDataPduStr(PduStr& s) const;
  virtual void EncodeToPduStrNoLen(PduStr& s) const { EncodeToPduStr(s); }

  void EmitTagAttrLine(TScriptStream& stream, TXMLId tag, TXMLId attr, std::string_view value) const;
  static void EncodeVarLengthUnsignedInteger(PduStr& s, int32_t value) {
    quillon::EncodeVarLengthUnsignedInteger(s, value);
  }
  static uint32_t DecodeVarLengthUnsignedInteger(TStringWrapper& r) {
    return quillon::DecodeVarLengthUnsignedInteger(r);
  }

  std::string ToXMLString() const;
  std::vector<std::string> ToStringList(int indent) const;
  void AddXmlToLines(int indent, std::vector<std::string>& lines) const;
  bool IsEqual(const TCOSEMPduBase& x) const { return Encoded() == x.Encoded(); }
  int PDUSize() const { return static_cast<int>(Encoded().size()); }
  PduStr Encoded() const {
    PduStr s;
    EncodeToPduStr(s);
    return s;
  }

  static PduPtr MakeAnyFromXml(TXMLId id, TCOSEMPduBaseClass requiredClass, std::string_view xml);
  static PduPtr MakeAnyFromPdu(TXMLId id, TCOSEMPduBaseClass requiredClass, const PduStr& pdu);
  // The XML of the element read from r, as the tree read from r would write
  // it; r then stands after the element.
  static std::string PduToXMLString(TXMLId id, TCOSEMPduBaseClass requiredClass, TStringWrapper& r);
  // The same XML handed to sink in pieces of about `piece` characters, for
  // text too large to keep whole. On an error the pieces written before it
  // have been handed on already.
  static void PduToXmlPieces(TXMLId id, TCOSEMPduBaseClass requiredClass, TStringWrapper& r,
                             const std::function<void(std::string_view)>& sink, size_t piece);
  // The bytes of the element in xml, as the tree read from xml would encode.
  static PduStr XmlToPduStr(TXMLId id, TCOSEMPduBaseClass requiredClass, std::string_view xml);
  static std::string Clean(TXMLId id, TCOSEMPduBaseClass requiredClass, std::string_view xml);

  TXMLId XMLId;
};

// Typed forms of the class-level factories.
template <class T>
std::unique_ptr<T> MakeFromXml(TXMLId id, std::string_view xml) {
  return std::unique_ptr<T>(static_cast<T*>(TCOSEMPduBase::MakeAnyFromXml(id, &T::ClassInfo, xml).release()));
}
template <class T>
std::unique_ptr<T> MakeFromPdu(TXMLId id, const PduStr& pdu) {
  return std::unique_ptr<T>(static_cast<T*>(TCOSEMPduBase::MakeAnyFromPdu(id, &T::ClassInfo, pdu).release()));
}

// Counts nesting while a tree is decoded; beyond kMaxPduNesting it fails.
class TNestingGuard {
public:
  explicit TNestingGuard(const TXMLParser* p = nullptr);
  ~TNestingGuard() { --Depth(); }
  TNestingGuard(const TNestingGuard&) = delete;
  TNestingGuard& operator=(const TNestingGuard&) = delete;

  // The levels counted on this thread, for code that counts its own levels
  // (and leaves the count as it found it).
  static int& Depth() {
    thread_local int depth = 0;
    return depth;
  }
  [[noreturn]] static void RaiseTooDeep(const TXMLParser* p = nullptr);
};

// The default factory functions of the root: every Data-value read fails.
PduPtr CreateFromDataPduStrNotImplemented(const char* className);

// CRTP glue: class descriptor and deep copy for a concrete type D deriving from B.
template <class D, class B>
class TPduImpl : public B {
public:
  using B::B;
  const TPduClass& Class() const override { return D::ClassInfo; }
  PduPtr Clone() const override { return std::make_unique<D>(static_cast<const D&>(*this)); }
};

// ------------------------------------------------------------------ CHOICE

struct TChoiceAlt {
  int Tag;
  TXMLId Role;
  TCOSEMPduBaseClass Type;
};

class TChoiceSchema {
public:
  TChoiceSchema(const char* className, std::vector<TChoiceAlt> alts);
  const TChoiceAlt* ByTag(int tag) const {
    return tag >= 0 && tag < 256 && FByTag[tag] >= 0 ? &Alts[static_cast<size_t>(FByTag[tag])] : nullptr;
  }
  const TChoiceAlt* ByRole(TXMLId role) const;
  // Reads the tag byte; one without an alternative fails.
  const TChoiceAlt& ReadAlternative(TStringWrapper& r) const;
  const char* ClassName;
  std::vector<TChoiceAlt> Alts;

private:
  int16_t FByTag[256];
};

class TChoice : public TCOSEMPduBase {
public:
  explicit TChoice(TXMLId id) : TCOSEMPduBase(id) {}
  TChoice(const TChoice& o) : TCOSEMPduBase(o), Tag(o.Tag), Value(o.Value ? o.Value->Clone() : nullptr) {}

  virtual const TChoiceSchema& Schema() const = 0;

  void EncodeToPduStr(PduStr& s) const override;
  void ToXML(TScriptStream& stream) const override;
  bool EqualType(const TCOSEMPduBase& x) const override;
  void EncodeToDataPduStr(PduStr& s) const override;
  int DataTag() const override;

  void DecodeFromPduStr(TStringWrapper& r);
  void DecodeFromDataPduStr(TStringWrapper& r) { DecodeFromPduStr(r); }
  void DecodeFromXml(TXMLParser& p);
  static void PduToXml(const TChoiceSchema& schema, TXMLId id, TStringWrapper& r, TScriptStream& s);
  static void XmlToPdu(const TChoiceSchema& schema, TXMLId id, TXMLParser& p, TPduWriter& w);
  // Selects the alternative whose role is `role` and takes ownership of v
  // (or makes a default alternative when v is empty).
  void SelectVariant(TXMLId role, PduPtr v);

  int Tag = -1;
  PduPtr Value;
};

// ---------------------------------------------------------------- SEQUENCE

struct TSequenceMember {
  TXMLId Role;
  TCOSEMPduBaseClass Type;
  bool Optional;
};

struct TSequenceSchema {
  const char* ClassName;
  std::vector<TSequenceMember> Members;
};

class TSequence : public TCOSEMPduBase {
public:
  explicit TSequence(TXMLId id) : TCOSEMPduBase(id) {}
  TSequence(const TSequence& o);

  virtual const TSequenceSchema& Schema() const = 0;

  void EncodeToPduStr(PduStr& s) const override;
  void ToXML(TScriptStream& stream) const override;

  // Fills Members with the default content: mandatory members made empty,
  // optional ones absent.
  void InitDefault();
  void DecodeFromPduStr(TStringWrapper& r);
  void DecodeFromXml(TXMLParser& p);
  static void PduToXml(const TSequenceSchema& schema, TXMLId id, TStringWrapper& r, TScriptStream& s);
  static void XmlToPdu(const TSequenceSchema& schema, TXMLId id, TXMLParser& p, TPduWriter& w);

  TCOSEMPduBase* Member(size_t i) const { return i < Members.size() ? Members[i].get() : nullptr; }
  void SetMember(size_t i, PduPtr v);

  std::vector<PduPtr> Members;
};

// ------------------------------------------------------------- SEQUENCE OF

class TSequenceOf : public TCOSEMPduBase {
public:
  explicit TSequenceOf(TXMLId id) : TCOSEMPduBase(id) {}
  TSequenceOf(const TSequenceOf& o);

  virtual TCOSEMPduBaseClass ElementClass() const = 0;
  virtual TXMLId ElementXMLId() const = 0;

  void EncodeToPduStr(PduStr& s) const override { SaveToPduStr(s, false); }
  void ToXML(TScriptStream& stream) const override { SaveToXml(stream); }
  bool EqualType(const TCOSEMPduBase& x) const override;
  int DataTag() const override { return 1; }
  void EncodeToDataPduStr(PduStr& s) const override;

  void Add(PduPtr item);
  int ElementCount() const { return static_cast<int>(FElements.size()); }
  TCOSEMPduBase* GetElements(int index) const;

  void LoadFromPduElementsOfType(TStringWrapper& r, TXMLId elemId, TCOSEMPduBaseClass elementClass);
  void LoadFromDataPduElementsOfType(TStringWrapper& r, TXMLId elemId, TCOSEMPduBaseClass elementClass);
  void LoadFromXmlElementsOfTag(TXMLParser& p, TXMLId elemId, TCOSEMPduBaseClass elementClass);
  void SaveToXml(TScriptStream& stream) const;
  static void PduToXml(TXMLId id, TXMLId elemId, TCOSEMPduBaseClass elementClass, TStringWrapper& r,
                       TScriptStream& s);
  static void XmlToPdu(TXMLId id, TXMLId elemId, TCOSEMPduBaseClass elementClass, TXMLParser& p, TPduWriter& w);

  std::vector<PduPtr> FElements;

private:
  static void OpenTagWithQty(TScriptStream& s, const std::string& name, size_t count);
  // The Qty attribute of the start tag p stands on: false for AUTO,
  // otherwise true with the count in expected.
  static bool ReadQty(const TXMLParser& p, long& expected);
  void SaveToPduStr(PduStr& s, bool dataForm) const;
};

// ----------------------------------------------- generic factory functions

struct TNoDefault {};

template <class D>
class TChoiceOf;
template <class D>
class TSequenceT;
template <class D, class Elem, TXMLId ElemId>
class TSequenceOfT;

// Types that read and write themselves with the generic CHOICE, SEQUENCE and
// SEQUENCE OF code can be turned from bytes into XML element by element;
// any other type is read whole and written.
template <class T>
concept GenericChoicePdu = std::is_base_of_v<TChoiceOf<T>, T> && requires {
  requires std::is_same_v<decltype(&T::DecodeFromPduStr), void (TChoice::*)(TStringWrapper&)>;
  requires std::is_same_v<decltype(&T::ToXML), void (TChoice::*)(TScriptStream&) const>;
  requires std::is_same_v<decltype(&T::DecodeFromXml), void (TChoice::*)(TXMLParser&)>;
  requires std::is_same_v<decltype(&T::EncodeToPduStr), void (TChoice::*)(PduStr&) const>;
};
template <class T>
concept GenericSequencePdu = std::is_base_of_v<TSequenceT<T>, T> && requires {
  requires std::is_same_v<decltype(&T::DecodeFromPduStr), void (TSequence::*)(TStringWrapper&)>;
  requires std::is_same_v<decltype(&T::ToXML), void (TSequence::*)(TScriptStream&) const>;
  requires std::is_same_v<decltype(&T::DecodeFromXml), void (TSequence::*)(TXMLParser&)>;
  requires std::is_same_v<decltype(&T::EncodeToPduStr), void (TSequence::*)(PduStr&) const>;
};
template <class T>
concept GenericSequenceOfPdu = requires {
  typename T::ElementType;
  requires std::is_same_v<decltype(&T::DecodeFromPduStr),
                          void (TSequenceOfT<T, typename T::ElementType, T::kElementId>::*)(TStringWrapper&)>;
  requires std::is_same_v<decltype(&T::ToXML), void (TSequenceOf::*)(TScriptStream&) const>;
  requires std::is_same_v<decltype(&T::DecodeFromXml),
                          void (TSequenceOfT<T, typename T::ElementType, T::kElementId>::*)(TXMLParser&)>;
  requires std::is_same_v<decltype(&T::EncodeToPduStr), void (TSequenceOf::*)(PduStr&) const>;
};

template <class T>
struct TPduFactory {
  // Objects that are about to be decoded skip their default content.
  static std::unique_ptr<T> Empty(TXMLId id) {
    if constexpr (std::is_constructible_v<T, TXMLId, TNoDefault>)
      return std::make_unique<T>(id, TNoDefault{});
    else
      return std::make_unique<T>(id);
  }
  static PduPtr Create(TXMLId id) { return std::make_unique<T>(id); }
  static PduPtr FromPdu(TXMLId id, TStringWrapper& r) {
    auto v = Empty(id);
    v->DecodeFromPduStr(r);
    return v;
  }
  static PduPtr FromXml(TXMLId id, TXMLParser& p) {
    auto v = Empty(id);
    v->DecodeFromXml(p);
    return v;
  }
  static PduPtr FromDataPdu(TXMLId id, TStringWrapper& r) {
    auto v = Empty(id);
    v->DecodeFromDataPduStr(r);
    return v;
  }
  static PduPtr NoDataPdu(TXMLId, TStringWrapper&) { return CreateFromDataPduStrNotImplemented(T::ClassInfo.Name); }
  static void PduToXml(TXMLId id, TStringWrapper& r, TScriptStream& s) {
    if constexpr (GenericChoicePdu<T>) {
      TChoice::PduToXml(T::StaticSchema(), id, r, s);
    } else if constexpr (GenericSequencePdu<T>) {
      TSequence::PduToXml(T::StaticSchema(), id, r, s);
    } else if constexpr (GenericSequenceOfPdu<T>) {
      TSequenceOf::PduToXml(id, T::kElementId, &T::ElementType::ClassInfo, r, s);
    } else if constexpr (requires(TStringWrapper& rr, TScriptStream& ss) { T::PduToXmlWithoutObject(id, rr, ss); }) {
      T::PduToXmlWithoutObject(id, r, s);
    } else {
      OnStack(id, [&](T& v) {
        v.DecodeFromPduStr(r);
        s.Write([&] { v.ToXML(s); });
      });
    }
  }
  static void XmlToPdu(TXMLId id, TXMLParser& p, TPduWriter& w) {
    if constexpr (GenericChoicePdu<T>) {
      TChoice::XmlToPdu(T::StaticSchema(), id, p, w);
    } else if constexpr (GenericSequencePdu<T>) {
      TSequence::XmlToPdu(T::StaticSchema(), id, p, w);
    } else if constexpr (GenericSequenceOfPdu<T>) {
      TSequenceOf::XmlToPdu(id, T::kElementId, &T::ElementType::ClassInfo, p, w);
    } else {
      OnStack(id, [&](T& v) {
        v.DecodeFromXml(p);
        w.Encode([&](PduStr& out) { v.EncodeToPduStr(out); });
      });
    }
  }
  // An empty object as Empty() makes it, on the stack: a leaf, or a type
  // with its own reading, converted without the heap.
  template <class F>
  static void OnStack(TXMLId id, F&& f) {
    if constexpr (std::is_constructible_v<T, TXMLId, TNoDefault>) {
      T v(id, TNoDefault{});
      f(v);
    } else {
      T v(id);
      f(v);
    }
  }
  // The class descriptor of T.
  template <bool WithDataForm>
  static constexpr TPduClass Describe(const char* name, bool isChoice) {
    if constexpr (WithDataForm)
      return {name, isChoice, &Create, &FromPdu, &FromXml, &FromDataPdu, &PduToXml, &XmlToPdu};
    else
      return {name, isChoice, &Create, &FromPdu, &FromXml, &NoDataPdu, &PduToXml, &XmlToPdu};
  }
};

// A generated CHOICE type: T_X::CreateVariant(role, value) and the typed value.
template <class D>
class TChoiceOf : public TPduImpl<D, TChoice> {
public:
  using TPduImpl<D, TChoice>::TPduImpl;
  const TChoiceSchema& Schema() const override { return D::StaticSchema(); }
  static std::unique_ptr<D> CreateVariant(TXMLId role, PduPtr v = nullptr) {
    auto c = std::make_unique<D>(D::kTypeId);
    c->SelectVariant(role, std::move(v));
    return c;
  }
};

template <class D>
class TSequenceT : public TPduImpl<D, TSequence> {
public:
  explicit TSequenceT(TXMLId id) : TPduImpl<D, TSequence>(id) { this->InitDefault(); }
  TSequenceT(TXMLId id, TNoDefault) : TPduImpl<D, TSequence>(id) {}
  TSequenceT(const TSequenceT&) = default;
  const TSequenceSchema& Schema() const override { return D::StaticSchema(); }
};

template <class D, class Elem, TXMLId ElemId>
class TSequenceOfT : public TPduImpl<D, TSequenceOf> {
public:
  using TPduImpl<D, TSequenceOf>::TPduImpl;
  using ElementType = Elem;
  static constexpr TXMLId kElementId = ElemId;
  TCOSEMPduBaseClass ElementClass() const override { return &Elem::ClassInfo; }
  TXMLId ElementXMLId() const override { return ElemId; }
  void DecodeFromPduStr(TStringWrapper& r) { this->LoadFromPduElementsOfType(r, ElemId, &Elem::ClassInfo); }
  void DecodeFromDataPduStr(TStringWrapper& r) { this->LoadFromDataPduElementsOfType(r, ElemId, &Elem::ClassInfo); }
  void DecodeFromXml(TXMLParser& p) { this->LoadFromXmlElementsOfTag(p, ElemId, &Elem::ClassInfo); }
  Elem* operator[](int i) const { return static_cast<Elem*>(this->GetElements(i)); }
};

}  // namespace quillon

// ------------------------------------------------- declaration macros
//
// A SEQUENCE is declared with a member list macro and one line:
//
//   #define QSEQ_T_Foo(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0)
//                         M(AccessSelection, T_SelectiveAccessDescriptor, 1)   (one line)
//   QUILLON_DECLARE_SEQUENCE(T_Foo)           // in a header
//   QUILLON_DEFINE_SEQUENCE(T_Foo)            // in one source file
//
// Each member becomes a slot of Members and a typed accessor F<Role>()
// (plus SetF<Role>(ptr)); the third column is 1 for OPTIONAL. The type id of
// the class is xml_<name without T_>. A CHOICE lists (tag, role, type); a
// SEQUENCE OF names its element type and element identifier.

#define QUILLON_SEQ_ACCESSOR_(Role, Type, Opt)                                                  \
  template <class U = Type>                                                                     \
  U* F##Role() const {                                                                          \
    return static_cast<U*>(this->Members[static_cast<size_t>(kIdx_##Role)].get());              \
  }                                                                                             \
  template <class U = Type>                                                                     \
  void SetF##Role(std::unique_ptr<U> v) {                                                       \
    this->SetMember(static_cast<size_t>(kIdx_##Role), quillon::PduPtr(v.release()));            \
  }
#define QUILLON_SEQ_INDEX_(Role, Type, Opt) kIdx_##Role,
#define QUILLON_SEQ_ROW_(Role, Type, Opt) {quillon::xml##Role, &Type::ClassInfo, (Opt) != 0},

#define QUILLON_DECLARE_SEQUENCE(Name)                                              \
  class Name : public quillon::TSequenceT<Name> {                                   \
  public:                                                                           \
    using TSequenceT::TSequenceT;                                                   \
    static const quillon::TPduClass ClassInfo;                                      \
    static const quillon::TSequenceSchema& StaticSchema();                          \
    enum : int { QSEQ_##Name(QUILLON_SEQ_INDEX_) kMemberCount };                    \
    QSEQ_##Name(QUILLON_SEQ_ACCESSOR_)                                              \
  };

#define QUILLON_DEFINE_SEQUENCE(Name)                                                       \
  const quillon::TPduClass Name::ClassInfo = quillon::TPduFactory<Name>::Describe<false>(#Name, false); \
  const quillon::TSequenceSchema& Name::StaticSchema() {                                            \
    static const quillon::TSequenceSchema s{#Name, {QSEQ_##Name(QUILLON_SEQ_ROW_)}};                \
    return s;                                                                                       \
  }

#define QUILLON_CHO_ROW_(Tag, Role, Type) {Tag, quillon::xml##Role, &Type::ClassInfo},

#define QUILLON_DECLARE_CHOICE(Name, TypeId)                     \
  class Name : public quillon::TChoiceOf<Name> {                 \
  public:                                                        \
    using TChoiceOf::TChoiceOf;                                  \
    static constexpr quillon::TXMLId kTypeId = quillon::TypeId;  \
    static const quillon::TPduClass ClassInfo;                   \
    static const quillon::TChoiceSchema& StaticSchema();         \
  };

#define QUILLON_DEFINE_CHOICE(Name)                                                                 \
  const quillon::TPduClass Name::ClassInfo = quillon::TPduFactory<Name>::Describe<true>(#Name, true); \
  const quillon::TChoiceSchema& Name::StaticSchema() {                                              \
    static const quillon::TChoiceSchema s{#Name, {QCHO_##Name(QUILLON_CHO_ROW_)}};                  \
    return s;                                                                                       \
  }

#define QUILLON_DECLARE_SEQUENCE_OF(Name, Elem, ElemId)                                        \
  class Name : public quillon::TSequenceOfT<Name, Elem, quillon::ElemId> {                     \
  public:                                                                                      \
    using TSequenceOfT::TSequenceOfT;                                                          \
    static const quillon::TPduClass ClassInfo;                                                 \
  };

#define QUILLON_DEFINE_SEQUENCE_OF(Name)                                                            \
  const quillon::TPduClass Name::ClassInfo = quillon::TPduFactory<Name>::Describe<true>(#Name, false);
