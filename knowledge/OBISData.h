// The OBIS description database: turns the six value groups of a logical name
// into the plain-language description an operator sees next to each object.
//
// The database is an ordered list of patterns per medium (value group A); the
// first pattern that matches a code gives the description, composed from the
// pattern's text lines with references to the code's values ($E, $(F-100)) and
// to lookup tables of the medium ($1 .. $9) expanded.
//
// It travels as a binary stream (OBISStream.cpp) that is block-enciphered
// with our database key; tools/obiscompile produces it from data/obis.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

// The six value groups A..F of a logical name, in that order.
using TOBISCode = std::array<uint8_t, 6>;
// A value group letter 'A'..'F'.
using TColumn = char16_t;
// Value group A, 0..9.
using TMediaNr = uint8_t;
// The number of a lookup table, '0'..'9'.
using TTableRange = char16_t;

inline constexpr int kMediaCount = 10;
inline constexpr int kTableCount = 10;

// Index 0..5 of a value group letter; the letter must be 'A'..'F'.
inline int ColumnIndex(TColumn column) { return static_cast<int>(column - u'A'); }
inline bool IsColumn(TColumn column) { return column >= u'A' && column <= u'F'; }

// 256-bit set; value b is bit (b mod 8) of byte (b div 8), as it is stored.
using TByteSet = std::array<uint8_t, 32>;
inline bool ByteSetHas(const TByteSet& s, uint8_t b) { return (s[b / 8] >> (b % 8)) & 1; }
inline void ByteSetAdd(TByteSet& s, uint8_t b) { s[b / 8] = static_cast<uint8_t>(s[b / 8] | (1u << (b % 8))); }

enum TValueKind : uint8_t { vkNone = 0, vkSingle = 1, vkRange = 2, vkSet = 3 };

// The pattern for one value group.
class TValue {
public:
  TValueKind Kind = vkNone;
  uint8_t ByteValue = 0;
  uint8_t LoRange = 0;
  uint8_t HiRange = 0;
  TByteSet SetValue{};

  static TValue Single(uint8_t b);
  static TValue Range(uint8_t lo, uint8_t hi);
  static TValue Set(std::initializer_list<uint8_t> members);

  bool HasElement(uint8_t b) const;
  bool operator==(const TValue&) const = default;
};

// The patterns of value groups A..F.
class TValues {
public:
  std::array<TValue, 6> Items{};
  const TValue& GetValue(TColumn column) const;
  TValue& GetValue(TColumn column);
};

// One pattern with its description.
class TOBISItemData {
public:
  int32_t LineNr = 0;  // source line of the pattern, quoted in expansion errors
  TValues Values;
  std::vector<std::string> Texts;  // UTF-8 text lines with references
  // Kept with the pattern for tools; the lookup reads none of these.
  std::optional<TValue> InterfaceClasses;
  std::optional<TValue> AltInterfaceClasses;
  std::optional<TValue> ValueTypes;
  bool IsTableExpansion = false;
  bool IsAmpersAndExpansion = false;

  bool Match(const TOBISCode& code) const;
};

class TTableEntry {
public:
  std::string Text;
};

class TTable {
public:
  TColumn Column = u'A';  // the value group whose value selects the entry
  std::vector<TTableEntry> Entries;
};

// Named patterns of the authored source, kept for tools.
class TVariables {
public:
  void Define(const std::string& name, const TValue& value);
  const TValue* Find(std::string_view name) const;
  std::vector<std::pair<std::string, std::unique_ptr<TValue>>> Items;
};

// A reference inside a description could expand into text that refers to
// itself again; no sound description needs more replacements, or a longer
// line, than this.
inline constexpr int kMaxReplacementsPerLine = 256;
inline constexpr size_t kMaxExpandedLineLength = 4096;

class TOBISMediaData {
public:
  std::vector<std::unique_ptr<TOBISItemData>> Items;  // in order of priority
  std::array<std::unique_ptr<TTable>, kTableCount> Tables;  // indexed by table number
  TVariables Variables;

  // The description of the first item that matches, or "Not found ...".
  std::string GetOBISText(const TOBISCode& code) const;
  // The description composed from one item's text lines.
  std::string ComposeText(const TOBISItemData& item, const TOBISCode& code) const;
  // One text line with every reference expanded.
  std::string ExpandLine(const TOBISItemData& item, std::string line, const TOBISCode& code) const;
};

class TOBISData {
public:
  std::vector<std::string> FAllWords;
  std::array<std::unique_ptr<TOBISMediaData>, kMediaCount> AllMediaData;

  // Builds the database from the plain stream; fails with EOBISStreamError on
  // a truncated or malformed stream.
  static std::unique_ptr<TOBISData> CreateFromStream(std::string_view plain);
  // Deciphers the whole resource and builds the database from it.
  static std::unique_ptr<TOBISData> CreateFromCipheredStream(std::string_view ciphered);
  // The plain stream of this database, as CreateFromStream reads it.
  PduStr SaveToStream() const;

  std::string GetOBISText(const TOBISCode& code) const;
  // The same for the six bytes of a logical name as an APDU carries it.
  std::string GetOBISTextOfLogicalName(std::string_view logicalName) const;
  // The same for a code written as text (see StrToOBISCode).
  std::string GetOBISTextOfStr(std::string_view code) const;

  static std::string OBISCodeToOBISStr(const TOBISCode& code);
};

// "A-B:C.D.E*F" as metering people write it.
std::string OBISCodeToReducedStr(const TOBISCode& code);
// Reads "A-B:C.D.E*F" or the dotted "A.B.C.D.E.F"; fails with a general error
// naming the text for anything else.
TOBISCode StrToOBISCode(std::string_view text);
// The six bytes of a logical name; fails unless there are exactly six.
TOBISCode LogicalNameToOBISCode(std::string_view logicalName);

// A table reference selected an entry beyond the end of its table.
class EOBISIndexOutOfRange : public EGeneralError {
public:
  EOBISIndexOutOfRange(int index, int count)
      : EGeneralError(Format("List index out of bounds (%d)", index)), Index(index), Count(count) {}
  int Index;
  int Count;
};

// The database stream is truncated or does not follow the format.
class EOBISStreamError : public EGeneralError {
public:
  EOBISStreamError(const std::string& what, size_t offset)
      : EGeneralError(Format("OBIS database: %s at byte %zu", what.c_str(), offset)), Offset(offset) {}
  size_t Offset;
};

// Our 8-byte database key and the chained block enciphering of the resource:
// each block is XORed with the key and with the previous ciphered block
// (eight zero bytes before the first).
extern const std::array<uint8_t, 8> kOBISDatabaseKey;
// Pads with zero bytes to a multiple of 8 and enciphers.
PduStr OBISEncipher(std::string_view plain);
// Fails with EOBISStreamError unless the length is a multiple of 8.
PduStr OBISDecipher(std::string_view ciphered);

// The database compiled into the program from data/obis, loaded once on
// first use; later calls return the same instance.
const TOBISData& EmbeddedOBISData();
// A fresh copy of the embedded database (the ciphered bytes are built in).
std::unique_ptr<TOBISData> LoadEmbeddedOBISData();
// The ciphered resource as it is built into the program.
std::string_view EmbeddedOBISResource();
// The same database as a file in the build tree, for tests and tools.
std::string DefaultOBISDatabaseFile();
std::unique_ptr<TOBISData> LoadOBISDataFromFile(const std::string& path);

}  // namespace quillon
