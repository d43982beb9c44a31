#include "xmlpdu/infra/XMLParser.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quillon {

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// Mixes the length and four characters, in lower case, at fixed places:
// enough to spread the names over the table, and a few instructions for any
// name (every tag and attribute the reader meets goes through here).
uint32_t LowerHash(std::string_view s) {
  const size_t n = s.size();
  uint32_t h = static_cast<uint32_t>(n) * 0x9E3779B1u;
  if (n == 0) return h;
  h ^= static_cast<uint32_t>(static_cast<uint8_t>(AsciiLower(s[0]))) * 0x85EBCA77u;
  h ^= static_cast<uint32_t>(static_cast<uint8_t>(AsciiLower(s[n - 1]))) * 0xC2B2AE3Du;
  h ^= static_cast<uint32_t>(static_cast<uint8_t>(AsciiLower(s[n / 2]))) * 0x27D4EB2Fu;
  h ^= static_cast<uint32_t>(static_cast<uint8_t>(AsciiLower(s[n / 3]))) * 0x165667B1u;
  return h ^ (h >> 15) ^ (h >> 23);
}

// Names by identifier, and identifiers by name in any case: an open-address
// table over the lower-case names, looked up without building a string
// (every tag the reader meets goes through here).
struct NameTable {
  static constexpr size_t kSlots = 4096;  // a power of two, well above twice the names
  static_assert(kSlots >= 2 * static_cast<size_t>(kXMLIdCount));
  std::array<std::string, kXMLIdCount> names;
  std::array<std::string, kXMLIdCount> lower;
  std::array<int16_t, kSlots> slots;
  NameTable() {
    int i = 0;
#define X(n) names[static_cast<size_t>(i++)] = #n;
#include "xmlpdu/infra/XMLIdNames.inc"
#undef X
    slots.fill(-1);
    for (size_t k = 0; k < static_cast<size_t>(kXMLIdCount); ++k) {
      for (char c : names[k]) lower[k] += AsciiLower(c);
      size_t slot = LowerHash(lower[k]) & (kSlots - 1);
      while (slots[slot] >= 0 && lower[static_cast<size_t>(slots[slot])] != lower[k]) slot = (slot + 1) & (kSlots - 1);
      if (slots[slot] < 0) slots[slot] = static_cast<int16_t>(k);  // the first of equal names wins
    }
  }
  bool Find(std::string_view name, TXMLId& id) const {
    for (size_t slot = LowerHash(name) & (kSlots - 1); slots[slot] >= 0; slot = (slot + 1) & (kSlots - 1)) {
      const std::string& candidate = lower[static_cast<size_t>(slots[slot])];
      if (candidate.size() != name.size()) continue;
      // Names are nearly always written as they are spelt.
      if (name == names[static_cast<size_t>(slots[slot])]) {
        id = static_cast<TXMLId>(slots[slot]);
        return true;
      }
      size_t i = 0;
      while (i < name.size() && AsciiLower(name[i]) == candidate[i]) ++i;
      if (i == name.size()) {
        id = static_cast<TXMLId>(slots[slot]);
        return true;
      }
    }
    return false;
  }
};

// Built before main() runs and read-only afterwards.
const NameTable& Names() {
  static const NameTable table;
  return table;
}
[[maybe_unused]] const NameTable& gNamesAtStartup = Names();

// Index just past a "(* ... *)" comment opening at `open` (or the end of the
// text); line feeds inside are counted. The opening star may also close, so
// "(*)" is a whole comment.
int SkipBlockComment(std::string_view text, int open, int& lineNr) {
  const int len = static_cast<int>(text.size());
  int i = open + 1;
  while (i + 1 < len && !(text[static_cast<size_t>(i)] == '*' && text[static_cast<size_t>(i) + 1] == ')')) {
    if (text[static_cast<size_t>(i)] == '\n') ++lineNr;
    ++i;
  }
  return i + 1 < len ? i + 2 : len;
}

// Character classes of names by table: 1 may start a name, 2 may follow.
struct TNameChars {
  std::array<uint8_t, 256> cls{};
  constexpr TNameChars() {
    for (int c = 0; c < 256; ++c) {
      const bool start = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
      cls[static_cast<size_t>(c)] = static_cast<uint8_t>((start ? 1 : 0) | (start || (c >= '0' && c <= '9') ? 2 : 0));
    }
  }
};
constexpr TNameChars kNameChars;
bool IsNameStart(char c) { return (kNameChars.cls[static_cast<uint8_t>(c)] & 1) != 0; }
bool IsNameChar(char c) { return (kNameChars.cls[static_cast<uint8_t>(c)] & 2) != 0; }

}  // namespace

const std::string& XMLIdName(TXMLId id) {
  static const std::string unknown = "?";
  if (static_cast<int>(id) >= kXMLIdCount) return unknown;
  return Names().names[id];
}

bool FindXMLId(std::string_view name, TXMLId& id) {
  if (name.size() >= 64) return false;
  return Names().Find(name, id);
}

// ---------------------------------------------------------------- TXMLParser

void TXMLParser::SetText(std::string_view value) {
  FText = value;
  FNextIdx = 0;
  FLineNr = 0;
  FTokenIdx = 0;
  Next();
}

void TXMLParser::SkipWhite() {
  const char* const begin = FText.data();
  const char* const end = begin + FText.size();
  const char* at = begin + FNextIdx;
  while (at < end) {
    const char c = *at;
    if (c == '\n') {
      ++FLineNr;
    } else if (c != ' ' && c != '\t' && c != '\r') {
      break;
    }
    ++at;
  }
  FNextIdx = static_cast<int>(at - begin);
}

bool TXMLParser::ReadName(std::string_view& name) {
  const char* const begin = FText.data();
  const char* const end = begin + FText.size();
  const char* const start = begin + FNextIdx;
  if (start >= end || !IsNameStart(*start)) {
    name = {};
    return false;
  }
  const char* at = start + 1;
  while (at < end && IsNameChar(*at)) ++at;
  name = std::string_view(start, static_cast<size_t>(at - start));
  FNextIdx = static_cast<int>(at - begin);
  return true;
}

void TXMLParser::Next() {
  FTagIdentifier = {};
  FTagId = -1;
  FAttribIdentifier = {};
  FAttribValue = {};
  FHasAttribute = false;
  FFullElement = false;
  const int len = static_cast<int>(FText.size());
  for (;;) {
    // Step 1: white space and the two comment forms.
    for (;;) {
      SkipWhite();
      char c = Ch(FNextIdx);
      if (c == '/' && Ch(FNextIdx + 1) == '/') {
        while (FNextIdx < len && Ch(FNextIdx) != '\n') ++FNextIdx;
      } else if (c == '(' && Ch(FNextIdx + 1) == '*') {
        FNextIdx = SkipBlockComment(FText, FNextIdx, FLineNr);
      } else {
        break;
      }
    }
    if (FNextIdx >= len || Ch(FNextIdx) == '\0') {
      FTokenIdx = FNextIdx;
      FToken = xtEndOfBuffer;
      return;
    }
    if (Ch(FNextIdx) != '<') {
      FTokenIdx = FNextIdx;
      FToken = xtUnknown;
      return;
    }
    FTokenIdx = FNextIdx;
    char after = Ch(FNextIdx + 1);
    if (after == '!' || after == '?') {
      int i = FNextIdx + 2;
      while (i < len && Ch(i) != '>') {
        if (Ch(i) == '\n') ++FLineNr;
        ++i;
      }
      FNextIdx = i < len ? i + 1 : len;
      continue;
    }
    break;
  }

  // A tag.
  FToken = xtUnknown;
  ++FNextIdx;  // '<'
  bool stop = false;
  if (Ch(FNextIdx) == '/') {
    stop = true;
    ++FNextIdx;
  }
  if (!ReadName(FTagIdentifier)) return;
  SkipWhite();
  if (Ch(FNextIdx) == '>') {
    ++FNextIdx;
    FToken = stop ? xtStopTag : xtStartTag;
    return;
  }
  if (IsNameStart(Ch(FNextIdx))) {
    ReadName(FAttribIdentifier);
    FAttributeId = KeyWord(FAttribIdentifier);
    SkipWhite();
    if (Ch(FNextIdx) != '=') return;
    ++FNextIdx;
    SkipWhite();
    char q = Ch(FNextIdx);
    if (q != '"' && q != '\'') return;
    ++FNextIdx;
    int start = FNextIdx;
    const void* close = std::memchr(FText.data() + FNextIdx, q, static_cast<size_t>(len - FNextIdx));
    FNextIdx = close ? static_cast<int>(static_cast<const char*>(close) - FText.data()) : len;
    FAttribValue = FText.substr(static_cast<size_t>(start), static_cast<size_t>(FNextIdx - start));
    if (FNextIdx < len) ++FNextIdx;
    FHasAttribute = true;
    SkipWhite();
  }
  if (Ch(FNextIdx) == '/') {
    FFullElement = true;
    ++FNextIdx;
  }
  if (Ch(FNextIdx) != '>') return;
  ++FNextIdx;
  FToken = stop ? xtStopTag : xtStartTag;
}

TXMLId TXMLParser::KeyWord(std::string_view identifier) const {
  TXMLId id;
  if (!FindXMLId(identifier, id)) RaiseXMLError(Format("'%s' unknown identifier", std::string(identifier).c_str()));
  return id;
}

void TXMLParser::XMLAssertStartTag(TXMLId k) const {
  if (!IsStartTag(k)) RaiseXMLError(Format("Start tag \"%s\" expected", XMLIdName(k).c_str()));
}

void TXMLParser::XMLAssertStopTagAndNext(TXMLId k) {
  if (!IsStopTag(k)) RaiseXMLError(Format("Stop tag \"%s\" expected", XMLIdName(k).c_str()));
  Next();
}

std::string_view TXMLParser::XMLGetAttributeValue(TXMLId attribute) const {
  if (FToken != xtStartTag || !FHasAttribute || FAttributeId != attribute)
    RaiseXMLError(Format("\"%s\" expected", XMLIdName(attribute).c_str()));
  return FAttribValue;
}

PduStr TXMLParser::HexStrToByteStrOfValue() const {
  const std::string_view v = XMLGetAttributeValue(xmlValue);
  try {
    return TMisc::FormattedStrToByteStr(v);
  } catch (const EXMLError&) {
    throw;
  } catch (const std::exception& e) {
    RaiseXMLError(e.what());
  }
}

void TXMLParser::UnexpectedKeyword(TXMLId k) const {
  RaiseXMLError(Format("Unexpected keyword \"%s\"", XMLIdName(k).c_str()));
}

int TXMLParser::LineStart(int idx) const {
  int i = idx;
  while (i > 0 && Ch(i - 1) != '\n') --i;
  return i;
}

void TXMLParser::RaiseXMLError(const std::string& s) const {
  throw EXMLError(s, FTokenIdx - LineStart(FTokenIdx) + 1, FLineNr + 1);
}

// ---------------------------------------------------------- TLexicalAnalyser

const char* LexicalTokenText(TLexicalToken t) {
  static const char* const texts[] = {
      "", "Identifier", "End of buffer", ";", ".", "[", "]", ":=", "+=", "-=", "(", ")", ",", ":",
      "+", "-", "..", "End of line", "String constant", ">=", ">", "<=", "<", "<>", "=", " ", "*", "",
      "/", "Int constant", "@", "^", "{", "}", "Comment", "#", "::", "%", "|", "...", "&"};
  static_assert(sizeof texts / sizeof texts[0] == toAmpersAnd + 1);
  return texts[t];
}

void TLexicalAnalyser::SetText(std::string_view value) {
  FText = value;
  FNextIdx = 0;
  FLineNr = 0;
  FNextFirstOnLine = true;
  LexError = LexNoErr;
  Next();
}

void TLexicalAnalyser::Next() {
  const int len = static_cast<int>(FText.size());
  for (;;) {
    FFirstTokenOnLine = FNextFirstOnLine;
    char c = Ch(FNextIdx);
    if (c == ' ' || c == '\t' || c == '\r') {
      ++FNextIdx;
      continue;
    }
    if (c == '\n') {
      ++FNextIdx;
      ++FLineNr;
      FNextFirstOnLine = true;
      continue;
    }
    unsigned char uc = static_cast<unsigned char>(c);
    if (uc > 126) {
      LexError = LexIllChar;
      return;
    }
    FTokenIdx = FNextIdx;
    FTokenLen = 0;
    FNextFirstOnLine = false;
    if (FNextIdx >= len || c == '\0') {
      FToken = toEndOfBuffer;
      return;
    }
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '~') {
      FIdentifier.clear();
      while (FNextIdx < len) {
        char d = Ch(FNextIdx);
        bool ok = (d >= 'A' && d <= 'Z') || (d >= 'a' && d <= 'z') || d == '_' || (d >= '0' && d <= '9') ||
                  (FNextIdx == FTokenIdx && d == '~');
        if (!ok) break;
        FIdentifier += static_cast<char>(std::toupper(static_cast<unsigned char>(d)));
        ++FNextIdx;
      }
      FToken = toIdentifier;
    } else if (c >= '0' && c <= '9') {
      int base = 10;
      if (c == '0' && (Ch(FNextIdx + 1) == 'x' || Ch(FNextIdx + 1) == 'X')) {
        base = 16;
        FNextIdx += 2;
      }
      uint32_t v = 0;
      for (;;) {
        char d = Ch(FNextIdx);
        int dv;
        if (d >= '0' && d <= '9') dv = d - '0';
        else if (d >= 'A' && d <= 'F') dv = d - 'A' + 10;
        else if (d >= 'a' && d <= 'f') dv = d - 'a' + 10;
        else break;
        v = v * static_cast<uint32_t>(base) + static_cast<uint32_t>(dv);
        ++FNextIdx;
      }
      FTokenIntValue = static_cast<int32_t>(v);
      FToken = toIntConst;
    } else if (c == '"' || c == '\'') {
      FStrConst.clear();
      ++FNextIdx;
      for (;;) {
        char d = Ch(FNextIdx);
        if (FNextIdx >= len || d == '\0' || d == '\r') break;
        ++FNextIdx;
        if (d == c) {
          if (Ch(FNextIdx) == c) {
            FStrConst += c;
            ++FNextIdx;
            continue;
          }
          break;
        }
        FStrConst += d;
      }
      FToken = toStrConst;
    } else {
      char n = Ch(FNextIdx + 1);
      FToken = toUnknown;
      int take = 1;
      switch (c) {
        case '(':
          if (n == '*') {
            FNextIdx = SkipBlockComment(FText, FNextIdx, FLineNr);
            continue;
          }
          FToken = toParOpen;
          break;
        case '/':
          if (n == '/') {
            while (FNextIdx < len && Ch(FNextIdx) != '\n') ++FNextIdx;
            continue;
          }
          FToken = toSlash;
          break;
        case '+': FToken = n == '=' ? (take = 2, toPlusEqual) : toPlus; break;
        case '-': FToken = n == '=' ? (take = 2, toMinusEqual) : toMinus; break;
        case ':':
          if (n == '=') FToken = (take = 2, toAssigment);
          else if (n == ':') FToken = (take = 2, toAlias);
          else FToken = toColon;
          break;
        case '<':
          if (n == '=') FToken = (take = 2, toLesserOrEqual);
          else if (n == '>') FToken = (take = 2, toDifferent);
          else FToken = toLesser;
          break;
        case '>': FToken = n == '=' ? (take = 2, toGreaterOrEqual) : toGreater; break;
        case '.':
          if (n == '.') FToken = Ch(FNextIdx + 2) == '.' ? (take = 3, toEllipsis) : (take = 2, toRange);
          else FToken = toPoint;
          break;
        case ';': FToken = toSemicolon; break;
        case '[': FToken = toBraOpen; break;
        case ']': FToken = toBraClose; break;
        case ')': FToken = toParClose; break;
        case ',': FToken = toComma; break;
        case '=': FToken = toEqual; break;
        case '*': FToken = toStar; break;
        case '^': FToken = toCaret; break;
        case '{': FToken = toCurlOpen; break;
        case '}': FToken = toCurlClose; break;
        case '#': FToken = toSharp; break;
        case '%': FToken = toPerCent; break;
        case '|': FToken = toVerticalBar; break;
        case '&': FToken = toAmpersAnd; break;
        case '@': FToken = toArobase; break;
        default: FToken = toUnknown; break;
      }
      FNextIdx += take;
    }
    FTokenLen = FNextIdx - FTokenIdx;
    return;
  }
}

void TLexicalAnalyser::Expect(TLexicalToken token) {
  if (FToken != token) RaiseLexError(Format("'%s' expected", LexicalTokenText(token)));
  Next();
}

int TLexicalAnalyser::ExpectInt(int low, int high) {
  if (FToken != toIntConst) RaiseLexError(Format("Integer value [%d..%d] expected.", low, high));
  if (FTokenIntValue < low || FTokenIntValue > high) RaiseLexError(Format("Value out of range %d.", FTokenIntValue));
  int v = FTokenIntValue;
  Next();
  return v;
}

int TLexicalAnalyser::GetTokenIndexInLine() const {
  int i = FTokenIdx;
  while (i > 0 && Ch(i - 1) != '\n') --i;
  return FTokenIdx - i + 1;
}

void TLexicalAnalyser::RaiseLexError(const std::string& s) const {
  int x = GetTokenIndexInLine();
  int y = FLineNr + 1;
  throw ELexError(Format("(%d:%d) %s", x, y, s.c_str()), x, y);
}

}  // namespace quillon
