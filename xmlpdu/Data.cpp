#include "xmlpdu/Data.h"

#include <array>

namespace quillon {

namespace {

// Data values are most of what meters send (profiles, object lists), so
// their XML is written here line by line, without the per-element dispatch
// of the generic CHOICE and SEQUENCE OF code. What is read, in what order,
// the errors and the text are those of that code (and of the tree); the rare
// alternatives (bit strings, compact arrays) are handed to it.

enum class TDataForm : uint8_t { Generic, Null, Sequence, Number, Octets, FixedOctets };

struct TDataAlternative {
  TDataForm Form = TDataForm::Generic;
  uint8_t Bytes = 0;   // of a Number or FixedOctets
  std::string Open;    // "<Name Value=\"", "<Name Qty=\"" or "<Name />\r\n"
  std::string Close;   // "</Name>\r\n" of a Sequence
  const TChoiceAlt* Alt = nullptr;
};

struct TDataForms {
  std::array<TDataAlternative, 256> ByTag;

  TDataForms() {
    struct TKnown {
      const TPduClass* Type;
      TDataForm Form;
      uint8_t Bytes;
    };
    const TKnown known[] = {
        {&T_NullData::ClassInfo, TDataForm::Null, 0},        {&T_DontCare::ClassInfo, TDataForm::Null, 0},
        {&T_Array::ClassInfo, TDataForm::Sequence, 0},       {&T_Structure::ClassInfo, TDataForm::Sequence, 0},
        {&T_Boolean::ClassInfo, TDataForm::Number, 1},       {&T_Integer8::ClassInfo, TDataForm::Number, 1},
        {&T_Integer16::ClassInfo, TDataForm::Number, 2},     {&T_Integer32::ClassInfo, TDataForm::Number, 4},
        {&T_Integer64::ClassInfo, TDataForm::Number, 8},     {&T_Unsigned8::ClassInfo, TDataForm::Number, 1},
        {&T_Unsigned16::ClassInfo, TDataForm::Number, 2},    {&T_Unsigned32::ClassInfo, TDataForm::Number, 4},
        {&T_Unsigned64::ClassInfo, TDataForm::Number, 8},    {&T_Float32::ClassInfo, TDataForm::Number, 4},
        {&T_Float64::ClassInfo, TDataForm::Number, 8},       {&T_Enum::ClassInfo, TDataForm::Number, 1},
        {&T_Bcd::ClassInfo, TDataForm::Number, 1},           {&T_OctetString::ClassInfo, TDataForm::Octets, 0},
        {&T_VisibleString::ClassInfo, TDataForm::Octets, 0}, {&T_UTF8String::ClassInfo, TDataForm::Octets, 0},
        {&T_FloatingPoint::ClassInfo, TDataForm::FixedOctets, 4}, {&T_Date::ClassInfo, TDataForm::FixedOctets, 5},
        {&T_Time::ClassInfo, TDataForm::FixedOctets, 4},    {&T_DateTime::ClassInfo, TDataForm::FixedOctets, 12},
    };
    for (const TChoiceAlt& alt : T_Data::StaticSchema().Alts) {
      TDataAlternative& d = ByTag[static_cast<size_t>(alt.Tag)];
      d.Alt = &alt;
      for (const TKnown& k : known)
        if (k.Type == alt.Type) {
          d.Form = k.Form;
          d.Bytes = k.Bytes;
        }
      const std::string& name = XMLIdName(alt.Role);
      switch (d.Form) {
        case TDataForm::Null:
          d.Open = "<" + name + " />\r\n";
          break;
        case TDataForm::Sequence:
          d.Open = "<" + name + " Qty=\"";
          d.Close = "</" + name + ">\r\n";
          break;
        case TDataForm::Number:
        case TDataForm::Octets:
        case TDataForm::FixedOctets:
          d.Open = "<" + name + " " + XMLIdName(xmlValue) + "=\"";
          break;
        case TDataForm::Generic:
          break;
      }
    }
  }
};

const TDataForms& DataForms() {
  static const TDataForms forms;
  return forms;
}

struct THexPairs {
  std::array<char, 512> Digits{};
  constexpr THexPairs() {
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (int b = 0; b < 256; ++b) {
      Digits[static_cast<size_t>(2 * b)] = kDigits[b >> 4];
      Digits[static_cast<size_t>(2 * b + 1)] = kDigits[b & 15];
    }
  }
};
constexpr THexPairs kHexPairs;

char* WriteHex(char* out, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i, out += 2) std::memcpy(out, &kHexPairs.Digits[2u * bytes[i]], 2);
  return out;
}

constexpr std::string_view kValueEnd = "\" />\r\n";

class TDataWriter {
public:
  TDataWriter(TStringWrapper& r, TScriptStream& s) : R(r), S(s), Forms(DataForms()) {}

  // One Data value at nesting level `level` (the levels counted before it),
  // in the element `id` or bare for xmlIgnore.
  void Value(TXMLId id, int level) {
    if (level + 1 > kMaxPduNesting) TNestingGuard::RaiseTooDeep();
    const uint8_t tag = R.NextByte();
    const TDataAlternative& d = Forms.ByTag[tag];
    if (d.Alt == nullptr) RaiseGeneral(Format("%s : illegal Tag %d", T_Data::StaticSchema().ClassName, tag));
    if (id != xmlIgnore) {
      S.XMLOpenTagLn(XMLIdName(id));
      ++S.Indent;
    }
    switch (d.Form) {
      case TDataForm::Null:
        Text(d.Open);
        break;
      case TDataForm::Number:
        R.RequireRemaining(d.Bytes);
        Line(d.Open, Take(d.Bytes), d.Bytes);
        break;
      case TDataForm::FixedOctets:
        R.RequireRemaining(d.Bytes);
        Octets(d.Open, Take(d.Bytes), d.Bytes);
        break;
      case TDataForm::Octets: {
        const int n = static_cast<int>(DecodeVarLengthUnsignedInteger(R));
        R.RequireRemaining(n);
        Octets(d.Open, Take(static_cast<size_t>(n)), static_cast<size_t>(n));
        break;
      }
      case TDataForm::Sequence:
        Sequence(d, level + 1);
        break;
      case TDataForm::Generic:
        Generic(*d.Alt, level + 1);
        break;
    }
    if (id != xmlIgnore) {
      --S.Indent;
      S.XMLCloseTagLn(XMLIdName(id));
    }
  }

private:
  const uint8_t* Take(size_t n) {
    const auto* at = reinterpret_cast<const uint8_t*>(R.FString.data()) + (R.FIndex - 1);
    R.FIndex += static_cast<int>(n);
    return at;
  }

  char* Indented(size_t n) {
    const size_t indent = static_cast<size_t>(S.Indent) * 2;
    char* out = S.Room(indent + n);
    std::memset(out, ' ', indent);
    return out + indent;
  }

  // A whole line of fixed text ("<Name />", "</Name>"), indented.
  void Text(const std::string& line) {
    char* out = Indented(line.size());
    std::memcpy(out, line.data(), line.size());
    S.EndLine(out + line.size());
  }

  // <Name Value="HEX" /> of n bytes.
  void Line(const std::string& open, const uint8_t* bytes, size_t n) {
    char* out = Indented(open.size() + 2 * n + kValueEnd.size());
    std::memcpy(out, open.data(), open.size());
    out = WriteHex(out + open.size(), bytes, n);
    std::memcpy(out, kValueEnd.data(), kValueEnd.size());
    S.EndLine(out + kValueEnd.size());
  }

  // Octets whose characters are all printable (and no quote) stand as text
  // behind a backslash, any other as hex.
  void Octets(const std::string& open, const uint8_t* bytes, size_t n) {
    bool text = n > 0;
    for (size_t i = 0; i < n && text; ++i) {
      const uint8_t c = bytes[i];
      text = c >= 32 && c <= 126 && c != '"' && c != '\'';
    }
    if (!text) return Line(open, bytes, n);
    char* out = Indented(open.size() + 1 + n + kValueEnd.size());
    std::memcpy(out, open.data(), open.size());
    out += open.size();
    *out++ = '\\';
    std::memcpy(out, bytes, n);
    out += n;
    std::memcpy(out, kValueEnd.data(), kValueEnd.size());
    S.EndLine(out + kValueEnd.size());
  }

  void Sequence(const TDataAlternative& d, int level) {
    if (level + 1 > kMaxPduNesting) TNestingGuard::RaiseTooDeep();
    const uint32_t n = DecodeVarLengthUnsignedInteger(R);
    R.RequireRemaining(n);
    char* out = Indented(d.Open.size() + 16 + 4);
    std::memcpy(out, d.Open.data(), d.Open.size());
    out += d.Open.size();
    out += TMisc::IntToHex(n, 4, out);
    std::memcpy(out, "\" >\r\n", 5);
    S.EndLine(out + 5);
    ++S.Indent;
    for (uint32_t i = 0; i < n; ++i) Value(xmlIgnore, level + 1);
    --S.Indent;
    Text(d.Close);
  }

  // The generic code counts its levels on the thread's counter.
  void Generic(const TChoiceAlt& alt, int level) {
    int& depth = TNestingGuard::Depth();
    depth = level;
    alt.Type->PduToXml(alt.Role, R, S);
  }

  TStringWrapper& R;
  TScriptStream& S;
  const TDataForms& Forms;
};

void DataPduToXml(TXMLId id, TStringWrapper& r, TScriptStream& s) {
  if (s.LineNotEmpty) return TChoice::PduToXml(T_Data::StaticSchema(), id, r, s);
  int& depth = TNestingGuard::Depth();
  struct TRestore {
    int& Depth;
    int Entry;
    ~TRestore() { Depth = Entry; }
  } restore{depth, depth};
  TDataWriter(r, s).Value(id, restore.Entry);
}

}  // namespace

constinit const TPduClass T_Data::ClassInfo = [] {
  TPduClass c = TPduFactory<T_Data>::Describe<true>("T_Data", true);
  c.PduToXml = &DataPduToXml;
  return c;
}();
const TChoiceSchema& T_Data::StaticSchema() {
  static const TChoiceSchema s{"T_Data", {QCHO_T_Data(QUILLON_CHO_ROW_)}};
  return s;
}

QUILLON_DEFINE_CHOICE(T_TypeDescription)
QUILLON_DEFINE_SEQUENCE_OF(T_Array)
QUILLON_DEFINE_SEQUENCE_OF(T_Structure)
QUILLON_DEFINE_SEQUENCE_OF(T_StructureTypeDescription)
QUILLON_DEFINE_SEQUENCE(T_CompactArray)
QUILLON_DEFINE_SEQUENCE(T_ArrayTypeDescription)

}  // namespace quillon
