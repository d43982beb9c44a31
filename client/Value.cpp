#include "client/Value.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>

#include "knowledge/COSEMEnums.h"
#include "knowledge/COSEMUnits.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"
#include "xmlpdu/infra/XMLParser.h"

namespace quillon::client {

namespace {

struct TKindOfName {
  const char* Name;
  TValueKind Kind;
  int Bytes;  // width of a number, 0 for the rest
};

constexpr TKindOfName kKinds[] = {
    {"NullData", TValueKind::vkNull, 0},
    {"Null", TValueKind::vkNull, 0},
    {"Boolean", TValueKind::vkBoolean, 1},
    {"Integer", TValueKind::vkSigned, 1},
    {"Long", TValueKind::vkSigned, 2},
    {"DoubleLong", TValueKind::vkSigned, 4},
    {"Long64", TValueKind::vkSigned, 8},
    {"Unsigned", TValueKind::vkUnsigned, 1},
    {"LongUnsigned", TValueKind::vkUnsigned, 2},
    {"DoubleLongUnsigned", TValueKind::vkUnsigned, 4},
    {"Long64Unsigned", TValueKind::vkUnsigned, 8},
    {"Enum", TValueKind::vkEnum, 1},
    {"Float32", TValueKind::vkFloat, 4},
    {"Float64", TValueKind::vkFloat, 8},
    {"BitString", TValueKind::vkBitString, 0},
    {"OctetString", TValueKind::vkOctetString, 0},
    {"VisibleString", TValueKind::vkVisibleString, 0},
    {"UTF8String", TValueKind::vkUtf8String, 0},
    {"Bcd", TValueKind::vkBcd, 1},
    {"Array", TValueKind::vkArray, 0},
    {"Structure", TValueKind::vkStructure, 0},
};

const TKindOfName* FindKind(std::string_view name) {
  for (const TKindOfName& k : kKinds)
    if (name.size() == std::strlen(k.Name) && strncasecmp(name.data(), k.Name, name.size()) == 0) return &k;
  return nullptr;
}

uint64_t BigEndian(const std::string& bytes) {
  uint64_t b = 0;
  for (unsigned char c : bytes) b = (b << 8) | c;
  return b;
}

int64_t SignExtend(uint64_t bits, int bytes) {
  if (bytes >= 8) return static_cast<int64_t>(bits);
  const uint64_t sign = uint64_t{1} << (8 * bytes - 1);
  return static_cast<int64_t>((bits ^ sign) - sign);
}

// Reads the element the parser stands on and moves past it.
TValue ReadElement(TXMLParser& p, int depth, const std::function<void(size_t)>* itemRead = nullptr) {
  if (depth > kMaxValueDepth) p.RaiseXMLError(Format("Data nested deeper than %d levels", kMaxValueDepth));
  if (p.FToken != xtStartTag) p.RaiseXMLError("Data element expected");
  TValue v;
  v.Type = p.FTagIdentifier;
  const TKindOfName* k = FindKind(v.Type);
  if (!k) {
    // Keep what we cannot type by its name, and step over its content.
    const std::string name(p.FTagIdentifier);
    v.Kind = TValueKind::vkOther;
    int level = 0;
    do {
      if (p.FToken == xtStartTag && !p.FFullElement) ++level;
      if (p.FToken == xtStopTag) --level;
      if (p.FToken == xtEndOfBuffer || p.FToken == xtUnknown) p.RaiseXMLError("Unterminated element " + name);
      p.Next();
    } while (level > 0);
    v.Xml = "<" + name + " />";
    return v;
  }
  v.Kind = k->Kind;
  switch (k->Kind) {
    case TValueKind::vkNull:
      break;
    case TValueKind::vkArray:
    case TValueKind::vkStructure: {
      const bool full = p.FFullElement;
      p.Next();
      if (full) return v;
      while (p.FToken == xtStartTag) {
        v.Items.push_back(ReadElement(p, depth + 1));
        if (itemRead && *itemRead) (*itemRead)(v.Items.size());
      }
      if (p.FToken != xtStopTag || strcasecmp(std::string(p.FTagIdentifier).c_str(), v.Type.c_str()) != 0)
        p.RaiseXMLError("</" + v.Type + "> expected");
      break;
    }
    case TValueKind::vkBitString:
      v.Bytes = p.XMLGetAttributeValue(xmlValue);
      for (char c : v.Bytes)
        if (c != '0' && c != '1') p.RaiseXMLError("Illegal bit string \"" + v.Bytes + "\"");
      break;
    case TValueKind::vkOctetString:
    case TValueKind::vkVisibleString:
    case TValueKind::vkUtf8String:
      v.Bytes = p.HexStrToByteStrOfValue();
      break;
    default: {
      const std::string bytes = p.HexStrToByteStrOfValue();
      if (static_cast<int>(bytes.size()) != k->Bytes)
        p.RaiseXMLError(Format("Illegal data size, expected %d, found %d", k->Bytes, static_cast<int>(bytes.size())));
      const uint64_t bits = BigEndian(bytes);
      if (k->Kind == TValueKind::vkSigned) {
        v.Signed = SignExtend(bits, k->Bytes);
      } else if (k->Kind == TValueKind::vkFloat) {
        if (k->Bytes == 4) {
          const uint32_t b32 = static_cast<uint32_t>(bits);
          float f;
          std::memcpy(&f, &b32, 4);
          v.Float = f;
        } else {
          std::memcpy(&v.Float, &bits, 8);
        }
      } else {
        v.Unsigned = bits;
        if (k->Kind == TValueKind::vkBoolean) v.Unsigned = bits != 0;
      }
    }
  }
  p.Next();
  return v;
}

bool Printable(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

std::string Pad(int v, int width) {
  std::string s = std::to_string(v);
  while (static_cast<int>(s.size()) < width) s.insert(0, "0");
  return s;
}

// The shortest decimal text that reads back as the same number of the
// value's own precision (7 digits are enough for a Float32).
std::string FormatNumber(double d, bool single = false) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, d);
    const double back = std::strtod(buf, nullptr);
    if (single ? static_cast<float>(back) == static_cast<float>(d) : back == d) break;
  }
  return buf;
}

bool IsSingle(const TValue& v) { return strcasecmp(v.Type.c_str(), "Float32") == 0; }

// A 12-byte octet string shown as a date-time when it decodes as one.
std::optional<std::string> OctetAsDateTime(const TValue& v) {
  if (v.Kind != TValueKind::vkOctetString || v.Bytes.size() != 12) return std::nullopt;
  auto d = DecodeDateTime(v.Bytes);
  if (!d) return std::nullopt;
  return DateTimeToIso(*d);
}

std::string Hex(const std::string& bytes) { return TMisc::ByteStrToHexStr(bytes); }

}  // namespace

std::optional<double> TValue::Number() const {
  switch (Kind) {
    case TValueKind::vkSigned:
      return static_cast<double>(Signed);
    case TValueKind::vkUnsigned:
    case TValueKind::vkEnum:
      return static_cast<double>(Unsigned);
    case TValueKind::vkFloat:
      return Float;
    default:
      return std::nullopt;
  }
}

std::optional<int64_t> TValue::Integer() const {
  if (Kind == TValueKind::vkSigned) return Signed;
  if (Kind == TValueKind::vkUnsigned || Kind == TValueKind::vkEnum) return static_cast<int64_t>(Unsigned);
  return std::nullopt;
}

TValue ParseDataXml(std::string_view xml, const std::function<void(size_t)>& itemRead) {
  TXMLParser p(xml);  // stands on the first token
  bool wrapped = false;
  if (p.FToken == xtStartTag && strcasecmp(std::string(p.FTagIdentifier).c_str(), "Data") == 0 && !p.FFullElement) {
    wrapped = true;
    p.Next();
  }
  TValue v = ReadElement(p, 0, &itemRead);
  if (wrapped) {
    if (p.FToken != xtStopTag) p.RaiseXMLError("</Data> expected");
    p.Next();
  }
  if (p.FToken != xtEndOfBuffer) p.RaiseXMLError("Text after the Data element");
  return v;
}

// ---------------------------------------------------------------- dates

namespace {

std::optional<int> Field(int v, int unspecified) { return v == unspecified ? std::nullopt : std::optional<int>(v); }

bool InRange(const std::optional<int>& v, int lo, int hi) { return !v || (*v >= lo && *v <= hi); }

void ReadDate(const unsigned char* b, TCosemDateTime& d) {
  d.Year = Field(b[0] << 8 | b[1], 0xFFFF);
  // 0xFD and 0xFE (daylight saving end and begin, last and second last day)
  // are not a calendar value either.
  d.Month = b[2] >= 0xFD ? std::nullopt : std::optional<int>(b[2]);
  d.Day = b[3] >= 0xFD ? std::nullopt : std::optional<int>(b[3]);
  d.DayOfWeek = Field(b[4], 0xFF);
  d.HasDate = true;
}

void ReadTime(const unsigned char* b, TCosemDateTime& d) {
  d.Hour = Field(b[0], 0xFF);
  d.Minute = Field(b[1], 0xFF);
  d.Second = Field(b[2], 0xFF);
  d.Hundredths = Field(b[3], 0xFF);
  d.HasTime = true;
}

bool Plausible(const TCosemDateTime& d) {
  return InRange(d.Month, 1, 12) && InRange(d.Day, 1, 31) && InRange(d.DayOfWeek, 1, 7) && InRange(d.Hour, 0, 23) &&
         InRange(d.Minute, 0, 59) && InRange(d.Second, 0, 59) && InRange(d.Hundredths, 0, 99) &&
         InRange(d.Deviation, -720, 720);
}

const unsigned char* U(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

std::optional<TCosemDateTime> DecodeDateTime(std::string_view bytes) {
  if (bytes.size() != 12) return std::nullopt;
  const unsigned char* b = U(bytes);
  TCosemDateTime d;
  ReadDate(b, d);
  ReadTime(b + 5, d);
  const int16_t dev = static_cast<int16_t>(b[9] << 8 | b[10]);
  d.Deviation = dev == static_cast<int16_t>(0x8000) ? std::nullopt : std::optional<int>(dev);
  d.ClockStatus = Field(b[11], 0xFF);
  if (!Plausible(d)) return std::nullopt;
  return d;
}

std::optional<TCosemDateTime> DecodeDate(std::string_view bytes) {
  if (bytes.size() != 5) return std::nullopt;
  TCosemDateTime d;
  ReadDate(U(bytes), d);
  if (!Plausible(d)) return std::nullopt;
  return d;
}

std::optional<TCosemDateTime> DecodeTime(std::string_view bytes) {
  if (bytes.size() != 4) return std::nullopt;
  TCosemDateTime d;
  ReadTime(U(bytes), d);
  if (!Plausible(d)) return std::nullopt;
  return d;
}

std::string DateTimeToIso(const TCosemDateTime& d) {
  auto f = [](const std::optional<int>& v, int width) { return v ? Pad(*v, width) : std::string(width, '-'); };
  std::string s;
  if (d.HasDate) s = f(d.Year, 4) + "-" + f(d.Month, 2) + "-" + f(d.Day, 2);
  if (d.HasDate && d.HasTime) s += "T";
  if (d.HasTime) {
    s += f(d.Hour, 2) + ":" + f(d.Minute, 2) + ":" + f(d.Second, 2);
    if (d.Hundredths && *d.Hundredths != 0) s += "." + Pad(*d.Hundredths, 2);
  }
  if (d.Deviation) {
    // The meter's deviation is local time minus UTC with the opposite sign
    // of the ISO offset: -60 means one hour ahead of UTC.
    const int offset = -*d.Deviation;
    s += offset == 0 ? std::string("Z")
                     : std::string(offset < 0 ? "-" : "+") + Pad(std::abs(offset) / 60, 2) + ":" +
                           Pad(std::abs(offset) % 60, 2);
  }
  if (d.ClockStatus && *d.ClockStatus != 0) s += Format(" (status 0x%.2X)", *d.ClockStatus);
  return s;
}

std::optional<int64_t> DateTimeToUnix(const TCosemDateTime& d) {
  if (!d.Year || !d.Month || !d.Day || !d.Hour || !d.Minute || !d.Second) return std::nullopt;
  int64_t t = DaysFromCivil(*d.Year, static_cast<unsigned>(*d.Month), static_cast<unsigned>(*d.Day)) * 86400 +
              *d.Hour * 3600 + *d.Minute * 60 + *d.Second;
  if (d.Deviation) t += static_cast<int64_t>(*d.Deviation) * 60;
  return t;
}

std::string EncodeDateTime(int64_t unixSeconds, std::optional<int> deviation) {
  const int deviationMinutes = deviation.value_or(0);
  const int64_t local = unixSeconds - static_cast<int64_t>(deviationMinutes) * 60;
  const time_t tt = static_cast<time_t>(local);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  const int year = tm.tm_year + 1900;
  const int dow = tm.tm_wday == 0 ? 7 : tm.tm_wday;
  const uint16_t dev = deviation ? static_cast<uint16_t>(static_cast<int16_t>(deviationMinutes)) : 0x8000;
  std::string b;
  for (int v : {year >> 8, year & 0xFF, tm.tm_mon + 1, tm.tm_mday, dow, tm.tm_hour, tm.tm_min, tm.tm_sec, 0,
                dev >> 8, dev & 0xFF, 0})
    b += static_cast<char>(v);
  return b;
}

int64_t ParseIsoTime(std::string_view text, const char* field) {
  auto fail = [&]() -> int64_t {
    RaiseGeneral(Format("%s \"%s\": expected a time as YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM]", field,
                        std::string(text).c_str()));
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  size_t i = 0;
  auto digits = [&](int n, int& out) {
    if (i + n > text.size()) return false;
    out = 0;
    for (int k = 0; k < n; ++k) {
      const char c = text[i + k];
      if (c < '0' || c > '9') return false;
      out = out * 10 + (c - '0');
    }
    i += n;
    return true;
  };
  auto sep = [&](char c) {
    if (i < text.size() && text[i] == c) {
      ++i;
      return true;
    }
    return false;
  };
  if (!digits(4, y) || !sep('-') || !digits(2, mo) || !sep('-') || !digits(2, d)) return fail();
  if (i < text.size() && (text[i] == 'T' || text[i] == ' ')) {
    ++i;
    if (!digits(2, h) || !sep(':') || !digits(2, mi)) return fail();
    if (sep(':') && !digits(2, s)) return fail();
    // Fractions of a second are accepted and dropped.
    if (sep('.')) {
      const size_t start = i;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
      if (i == start) return fail();
    }
  }
  int offset = 0;
  if (i < text.size()) {
    if (text[i] == 'Z') {
      ++i;
    } else if (text[i] == '+' || text[i] == '-') {
      const int sign = text[i] == '-' ? -1 : 1;
      ++i;
      int oh = 0, om = 0;
      if (!digits(2, oh) || !sep(':') || !digits(2, om)) return fail();
      offset = sign * (oh * 60 + om);
    }
  }
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  const int monthDays[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (i != text.size() || mo < 1 || mo > 12 || d < 1 || d > monthDays[mo - 1] || h > 23 || mi > 59 || s > 59)
    return fail();
  return DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + s -
         static_cast<int64_t>(offset) * 60;
}

// ---------------------------------------------------------------- renderings

TValuePlace TValuePlace::Element(const TValue& parent, size_t index) const {
  TValuePlace child = *this;
  child.Path.push_back(parent.Kind == TValueKind::vkArray ? kAnyElement : static_cast<int>(index));
  return child;
}

std::optional<std::string> EnumNameAt(const TValue& v, const TValuePlace& place) {
  if (v.Kind != TValueKind::vkEnum || place.ClassId <= 0) return std::nullopt;
  std::string name = COSEMEnumName(place.ClassId, place.Version, place.Attribute, place.Path,
                                   static_cast<int64_t>(v.Unsigned));
  if (name.empty()) return std::nullopt;
  return name;
}

namespace {

std::string TextOf(const TValue& v, const TValuePlace* place) {
  switch (v.Kind) {
    case TValueKind::vkNull:
      return "null";
    case TValueKind::vkBoolean:
      return v.Unsigned ? "true" : "false";
    case TValueKind::vkSigned:
      return std::to_string(v.Signed);
    case TValueKind::vkUnsigned:
      return std::to_string(v.Unsigned);
    case TValueKind::vkEnum:
      if (place)
        if (auto name = EnumNameAt(v, *place)) return *name + " (" + std::to_string(v.Unsigned) + ")";
      return std::to_string(v.Unsigned);
    case TValueKind::vkBcd:
      return Format("%.2X", static_cast<unsigned>(v.Unsigned));
    case TValueKind::vkFloat:
      return FormatNumber(v.Float, IsSingle(v));
    case TValueKind::vkBitString:
      return v.Bytes;
    case TValueKind::vkOctetString:
      if (auto dt = OctetAsDateTime(v)) return *dt;
      return Printable(v.Bytes) ? v.Bytes : Hex(v.Bytes);
    case TValueKind::vkVisibleString:
    case TValueKind::vkUtf8String:
      return v.Bytes;
    case TValueKind::vkArray:
    case TValueKind::vkStructure: {
      std::string s = "{";
      for (size_t i = 0; i < v.Items.size(); ++i) {
        s += i ? ", " : "";
        if (place) {
          const TValuePlace element = place->Element(v, i);
          s += TextOf(v.Items[i], &element);
        } else {
          s += TextOf(v.Items[i], nullptr);
        }
      }
      return s + "}";
    }
    case TValueKind::vkOther:
      return v.Xml;
  }
  return std::string();
}

}  // namespace

std::string ValueToText(const TValue& v) { return TextOf(v, nullptr); }

std::string ValueToText(const TValue& v, const TValuePlace& place) { return TextOf(v, &place); }

nlohmann::json ValueToJson(const TValue& v) {
  switch (v.Kind) {
    case TValueKind::vkNull:
      return nullptr;
    case TValueKind::vkBoolean:
      return v.Unsigned != 0;
    case TValueKind::vkSigned:
      return v.Signed;
    case TValueKind::vkUnsigned:
    case TValueKind::vkEnum:
      return v.Unsigned;
    case TValueKind::vkFloat:
      if (!std::isfinite(v.Float)) return FormatNumber(v.Float);
      return IsSingle(v) ? nlohmann::json(std::strtod(FormatNumber(v.Float, true).c_str(), nullptr)) : nlohmann::json(v.Float);
    case TValueKind::vkOctetString:
      if (auto dt = OctetAsDateTime(v)) return *dt;
      return Hex(v.Bytes);
    case TValueKind::vkVisibleString:
    case TValueKind::vkUtf8String:
      // Bytes that are not UTF-8 are replaced when the document is written.
      return v.Bytes;
    case TValueKind::vkArray:
    case TValueKind::vkStructure: {
      nlohmann::json a = nlohmann::json::array();
      for (const TValue& i : v.Items) a.push_back(ValueToJson(i));
      return a;
    }
    default:
      return ValueToText(v);
  }
}

std::string ValueToCsvCell(const TValue& v) { return ValueToText(v); }

std::string ValueToXml(const TValue& v) {
  const TKindOfName* k = FindKind(v.Type);
  if (!k || v.Kind == TValueKind::vkOther) return v.Xml;
  switch (v.Kind) {
    case TValueKind::vkNull:
      return "<" + v.Type + " />";
    case TValueKind::vkArray:
    case TValueKind::vkStructure: {
      std::string s = Format("<%s Qty=\"%.4X\" >", v.Type.c_str(), static_cast<unsigned>(v.Items.size()));
      for (const TValue& i : v.Items) s += ValueToXml(i);
      return s + "</" + v.Type + ">";
    }
    case TValueKind::vkBitString:
      return "<" + v.Type + " Value=\"" + v.Bytes + "\" />";
    case TValueKind::vkOctetString:
    case TValueKind::vkVisibleString:
    case TValueKind::vkUtf8String:
      return "<" + v.Type + " Value=\"" + Hex(v.Bytes) + "\" />";
    default: {
      uint64_t bits = v.Unsigned;
      if (v.Kind == TValueKind::vkSigned) bits = static_cast<uint64_t>(v.Signed);
      if (v.Kind == TValueKind::vkFloat) {
        if (k->Bytes == 4) {
          const float f = static_cast<float>(v.Float);
          uint32_t b32;
          std::memcpy(&b32, &f, 4);
          bits = b32;
        } else {
          std::memcpy(&bits, &v.Float, 8);
        }
      }
      if (k->Bytes < 8) bits &= (uint64_t{1} << (8 * k->Bytes)) - 1;
      return "<" + v.Type + " Value=\"" + TMisc::IntToHex(bits, k->Bytes * 2) + "\" />";
    }
  }
}

std::string CsvQuote(std::string_view cell) {
  if (cell.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(cell);
  std::string s = "\"";
  for (char c : cell) {
    if (c == '"') s += '"';
    s += c;
  }
  return s + "\"";
}

namespace {

// A decimal number as a spreadsheet reads one: sign, digits, a point,
// an exponent.
bool IsNumber(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const size_t start = i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    if (i == start) return false;
  }
  return i == s.size();
}

}  // namespace

std::string CsvCell(std::string_view cell) {
  const bool formula = !cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos;
  if (formula && !IsNumber(cell)) return CsvQuote("'" + std::string(cell));
  return CsvQuote(cell);
}

std::string CsvLine(const std::vector<std::string>& cells) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + CsvCell(cells[i]);
  return line + "\r\n";
}

// ---------------------------------------------------------------- scaling

std::optional<TScalerUnit> ScalerUnitOf(const TValue& v) {
  if (v.Kind != TValueKind::vkStructure || v.Items.size() != 2) return std::nullopt;
  auto scaler = v.Items[0].Integer();
  auto unit = v.Items[1].Integer();
  if (!scaler || !unit) return std::nullopt;
  return TScalerUnit{static_cast<int>(*scaler), static_cast<int>(*unit)};
}

std::optional<double> ScaledNumber(const TValue& v, int scaler) {
  auto n = v.Number();
  if (!n) return std::nullopt;
  return *n * std::pow(10.0, scaler);
}

void AddScaledJson(nlohmann::json& j, const TValue& v, const std::optional<TScalerUnit>& su) {
  if (!su) return;
  j["scaler"] = su->Scaler;
  j["unit"] = COSEMUnitName(su->Unit);
  // The decimal text is exact; the number is what JSON readers get.
  if (auto s = ScaledText(v, su->Scaler)) j["scaled"] = std::stod(*s);
}

std::optional<std::string> ScaledText(const TValue& v, int scaler) {
  if (v.Kind == TValueKind::vkFloat) {
    // The float's own digits, shifted: no binary noise from the scaling.
    const std::string digits = FormatNumber(v.Float, IsSingle(v));
    if (scaler == 0) return digits;
    return FormatNumber(std::strtod((digits + "e" + std::to_string(scaler)).c_str(), nullptr));
  }
  auto i = v.Integer();
  if (!i) return std::nullopt;
  // Exact decimal shifting of the digits: no binary rounding in the text.
  const bool negative = v.Kind == TValueKind::vkSigned && v.Signed < 0;
  std::string digits = v.Kind == TValueKind::vkSigned
                           ? std::to_string(negative ? -static_cast<uint64_t>(v.Signed) : static_cast<uint64_t>(v.Signed))
                           : std::to_string(v.Unsigned);
  if (scaler >= 0) {
    if (digits != "0") digits.append(static_cast<size_t>(scaler), '0');
  } else {
    const size_t decimals = static_cast<size_t>(-scaler);
    if (digits.size() <= decimals) digits.insert(0, decimals - digits.size() + 1, '0');
    digits.insert(digits.size() - decimals, ".");
  }
  return (negative ? "-" : "") + digits;
}

// ---------------------------------------------------------------- input

namespace {

[[noreturn]] void BadLiteral(std::string_view text, const std::string& expected) {
  RaiseGeneral(Format("value \"%s\": expected %s", std::string(text).c_str(), expected.c_str()));
}

}  // namespace

std::string ValueLiteralToXml(std::string_view text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start != std::string_view::npos && text[start] == '<') {
    // Checked here so that a typing error is reported before anything is sent.
    try {
      const std::string xml(text);
      ParseDataXml(xml);
      return xml;
    } catch (const std::exception& e) {
      BadLiteral(text, std::string("a DLMS XML Data element (") + e.what() + ")");
    }
  }
  const size_t colon = text.find(':');
  const std::string expected = "TYPE:VALUE (e.g. LongUnsigned:300, OctetString:0102, DateTime:2026-01-31T12:00:00Z) "
                               "or a DLMS XML Data element";
  if (colon == std::string_view::npos) {
    if (text.size() >= 4 && strncasecmp(text.data(), "null", text.size()) == 0) return "<NullData />";
    BadLiteral(text, expected);
  }
  const std::string type(text.substr(0, colon));
  const std::string value(text.substr(colon + 1));
  if (strcasecmp(type.c_str(), "DateTime") == 0)
    return "<OctetString Value=\"" + Hex(EncodeDateTime(ParseIsoTime(value, "value"), 0)) +
           "\" />";
  const TKindOfName* k = FindKind(type);
  if (!k || k->Kind == TValueKind::vkArray || k->Kind == TValueKind::vkStructure) BadLiteral(text, expected);
  TValue v;
  v.Type = k->Name;
  v.Kind = k->Kind;
  switch (k->Kind) {
    case TValueKind::vkNull:
      break;
    case TValueKind::vkBoolean:
      if (value == "true" || value == "1") v.Unsigned = 1;
      else if (value == "false" || value == "0") v.Unsigned = 0;
      else BadLiteral(text, "true, false, 1 or 0 after Boolean:");
      break;
    case TValueKind::vkOctetString:
      try {
        v.Bytes = TMisc::HexStrToByteStr(value);
      } catch (const std::exception&) {
        BadLiteral(text, "hex digits after OctetString:");
      }
      break;
    case TValueKind::vkVisibleString:
    case TValueKind::vkUtf8String:
      v.Bytes = value;
      break;
    case TValueKind::vkBitString:
      for (char c : value)
        if (c != '0' && c != '1') BadLiteral(text, "bits 0 and 1 after BitString:");
      v.Bytes = value;
      break;
    case TValueKind::vkFloat: {
      char* end = nullptr;
      v.Float = std::strtod(value.c_str(), &end);
      if (value.empty() || *end) BadLiteral(text, "a number after " + type + ":");
      break;
    }
    default: {
      // Integers, enums, BCD: decimal or 0x hex within the type's range.
      char* end = nullptr;
      errno = 0;
      const bool isSigned = k->Kind == TValueKind::vkSigned;
      const int bits = 8 * k->Bytes;
      const std::string range =
          isSigned ? Format("an integer in %lld..%lld after %s:", bits == 64 ? INT64_MIN : -(1LL << (bits - 1)),
                            bits == 64 ? INT64_MAX : (1LL << (bits - 1)) - 1, k->Name)
                   : Format("an integer in 0..%llu after %s:",
                            bits == 64 ? UINT64_MAX : (1ULL << bits) - 1, k->Name);
      if (value.empty()) BadLiteral(text, range);
      if (isSigned) {
        const long long n = std::strtoll(value.c_str(), &end, 0);
        if (*end || errno || (bits < 64 && (n < -(1LL << (bits - 1)) || n > (1LL << (bits - 1)) - 1)))
          BadLiteral(text, range);
        v.Signed = n;
      } else {
        if (value[0] == '-') BadLiteral(text, range);
        const unsigned long long n = std::strtoull(value.c_str(), &end, 0);
        if (*end || errno || (bits < 64 && n > (1ULL << bits) - 1)) BadLiteral(text, range);
        v.Unsigned = n;
      }
    }
  }
  return ValueToXml(v);
}

}  // namespace quillon::client
