// Attribute values as typed trees: what a meter returns as one DLMS XML Data
// element, read into kinds a program can use, and rendered as readable text,
// JSON and CSV cells. COSEM dates and times are decoded; register values are
// scaled and given their unit.
#pragma once

#include <functional>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillon::client {

enum class TValueKind {
  vkNull,
  vkBoolean,
  vkSigned,    // Integer, Long, DoubleLong, Long64
  vkUnsigned,  // Unsigned, LongUnsigned, DoubleLongUnsigned, Long64Unsigned
  vkEnum,
  vkFloat,     // Float32, Float64
  vkBitString,
  vkOctetString,
  vkVisibleString,
  vkUtf8String,
  vkBcd,
  vkArray,
  vkStructure,
  vkOther,  // anything else the Data choice holds; kept as its XML
};

struct TValue {
  TValueKind Kind = TValueKind::vkNull;
  std::string Type;  // the element name, "LongUnsigned", "OctetString", ...
  int64_t Signed = 0;
  uint64_t Unsigned = 0;  // also Enum, Boolean (0/1) and Bcd
  double Float = 0;
  std::string Bytes;  // octet and character strings; bit strings as '0'/'1'
  std::vector<TValue> Items;
  std::string Xml;  // the element as it came, for vkOther

  bool IsInteger() const {
    return Kind == TValueKind::vkSigned || Kind == TValueKind::vkUnsigned || Kind == TValueKind::vkEnum;
  }
  // The numeric value of an integer, enum or float; nullopt otherwise.
  std::optional<double> Number() const;
  // The integer value; nullopt for anything that is not one.
  std::optional<int64_t> Integer() const;
};

// Reads one Data element (optionally inside <Data>..</Data>). Nesting deeper
// than kMaxValueDepth is refused. `itemRead`, when set, is told the count of
// the outermost array's or structure's items read so far, after each one.
inline constexpr int kMaxValueDepth = 64;
TValue ParseDataXml(std::string_view xml, const std::function<void(size_t)>& itemRead = {});

// ---------------------------------------------------------------- dates

// A COSEM date-time (12 bytes), date (5) or time (4). Fields a meter leaves
// unspecified are nullopt.
struct TCosemDateTime {
  std::optional<int> Year, Month, Day, DayOfWeek, Hour, Minute, Second, Hundredths;
  std::optional<int> Deviation;  // minutes
  std::optional<int> ClockStatus;
  bool HasDate = false, HasTime = false;
};
std::optional<TCosemDateTime> DecodeDateTime(std::string_view bytes);
std::optional<TCosemDateTime> DecodeDate(std::string_view bytes);
std::optional<TCosemDateTime> DecodeTime(std::string_view bytes);
// ISO 8601: "2026-12-10T14:30:00+01:00"; unspecified fields are written as
// dashes of their width ("----" for a year), an unspecified deviation is
// left out; a clock status other than 0 is added as " (status 0xNN)".
std::string DateTimeToIso(const TCosemDateTime& d);
// The 12 bytes of a date-time for a UTC time point (seconds since the
// epoch), written as local time of the given deviation in minutes (COSEM
// sign: -60 for UTC+1); without a deviation as UTC, deviation unspecified.
std::string EncodeDateTime(int64_t unixSeconds, std::optional<int> deviationMinutes);
// Seconds since the epoch of a fully specified date-time (deviation applied
// when given, local wall time as UTC otherwise); nullopt if a field is missing.
std::optional<int64_t> DateTimeToUnix(const TCosemDateTime& d);
// Reads "YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM|-HH:MM]" (a blank may stand for
// the T); without a zone the time is taken as UTC. Throws a general error
// naming `field` and the text when it is not such a time.
int64_t ParseIsoTime(std::string_view text, const char* field);

// ---------------------------------------------------------------- renderings

// Readable text: numbers in decimal, octet strings as date-times when they
// are 12 bytes that decode as one, as text when printable, else as hex;
// arrays and structures as {a, b, ...}.
std::string ValueToText(const TValue& v);
// Where a value was read: the object's class and version, the attribute,
// and the element path inside the attribute's value (structure positions,
// kAnyElement inside arrays). It says what an enum of the value means.
struct TValuePlace {
  int ClassId = 0;
  int Version = -1;  // negative: not known
  int Attribute = 0;
  std::vector<int> Path;
  // The place of element `index` of `parent`, a structure or array here.
  TValuePlace Element(const TValue& parent, size_t index) const;
};
// The name of an enum at its place ("internal crystal" for a clock_base of
// 1, "Wh" for the unit of a scaler_unit); nullopt for other values and for
// enums the class catalogue has no name for.
std::optional<std::string> EnumNameAt(const TValue& v, const TValuePlace& place);
// ValueToText with every named enum as "internal crystal (1)".
std::string ValueToText(const TValue& v, const TValuePlace& place);
// JSON: numbers, booleans, strings (octet strings as ISO date-time or hex),
// arrays for arrays and structures, null.
nlohmann::json ValueToJson(const TValue& v);
// One CSV cell (not yet quoted): the readable text.
std::string ValueToCsvCell(const TValue& v);
// The typed value as a DLMS XML Data element (one line).
std::string ValueToXml(const TValue& v);
// RFC 4180 quoting of one cell.
std::string CsvQuote(std::string_view cell);
// One cell as a spreadsheet may safely read it, then quoted: text that
// begins with =, +, -, @, a tab or a carriage return would be taken for a
// formula, so it gets a leading ' ; a number ("-12.5", "+3", "1e-3") stays
// as it is.
std::string CsvCell(std::string_view cell);
// One CSV line of such cells (CRLF ended): every CSV the system writes.
std::string CsvLine(const std::vector<std::string>& cells);

// ---------------------------------------------------------------- scaling

struct TScalerUnit {
  int Scaler = 0;
  int Unit = 255;
};
// Reads a scaler_unit structure {integer scaler, enum unit}.
std::optional<TScalerUnit> ScalerUnitOf(const TValue& v);
// value * 10^scaler as decimal text with as many decimals as the scaler asks
// for ("2300" with -1 gives "230.0"); nullopt for a value that is no number.
std::optional<std::string> ScaledText(const TValue& v, int scaler);
std::optional<double> ScaledNumber(const TValue& v, int scaler);
// A reading's JSON object gets "scaler", "unit" (its name) and "scaled" (the
// value scaled, as a number); nothing is added without a scaler and unit.
void AddScaledJson(nlohmann::json& j, const TValue& v, const std::optional<TScalerUnit>& su);

// ---------------------------------------------------------------- input

// A value given on the command line: a DLMS XML Data element (starting with
// '<'), or a typed literal "TYPE:VALUE" with TYPE an element name (any case):
// integers in decimal (or 0x hex), Boolean true/false/1/0, OctetString hex,
// VisibleString/UTF8String text, DateTime as ISO 8601, Null without value.
// Throws a general error naming the value and what was expected.
std::string ValueLiteralToXml(std::string_view text);

}  // namespace quillon::client
