// Pull reader for the DLMS XML representation over a fixed vocabulary, and a
// small general-purpose tokenizer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "xmlpdu/infra/Misc.h"

namespace quillon {

enum TXMLId : uint16_t {
#define X(n) xml##n,
#include "xmlpdu/infra/XMLIdNames.inc"
#undef X
};
inline constexpr int kXMLIdCount = xmlDummy + 1;
static_assert(kXMLIdCount == 426);

// Element name of an identifier: the identifier without its "xml" prefix.
const std::string& XMLIdName(TXMLId id);
// Case-insensitive lookup; false for an unknown name.
bool FindXMLId(std::string_view name, TXMLId& id);

enum TXMLToken { xtUnknown, xtStartTag, xtStopTag, xtEndOfBuffer, xtComment };

class TXMLParser {
public:
  TXMLParser() = default;
  explicit TXMLParser(std::string_view text) { SetText(text); }

  // The text must stay alive while the parser reads it.
  void SetText(std::string_view value);
  void Next();

  TXMLId KeyWord(std::string_view identifier) const;
  // The tag's identifier, looked up once per token (readers ask several
  // times which tag they stand on).
  TXMLId Tag() const {
    if (FTagId < 0) FTagId = KeyWord(FTagIdentifier);
    return static_cast<TXMLId>(FTagId);
  }
  bool IsStartTag(TXMLId k) const { return FToken == xtStartTag && IsTag(k); }
  template <typename... Ids>
  bool IsStartTag(TXMLId k, Ids... more) const {
    if (FToken != xtStartTag) return false;
    TXMLId t = Tag();
    return t == k || ((t == more) || ...);
  }
  bool IsStopTag(TXMLId k) const { return FToken == xtStopTag && IsTag(k); }
  void XMLAssertStartTag(TXMLId k) const;
  void XMLAssertStartTagAndNext(TXMLId k) {
    XMLAssertStartTag(k);
    Next();
  }
  void XMLAssertStopTagAndNext(TXMLId k);
  // The value of the start tag's attribute; it points into the text.
  std::string_view XMLGetAttributeValue(TXMLId attribute) const;
  PduStr HexStrToByteStrOfValue() const;
  [[noreturn]] void UnexpectedKeyword(TXMLId k) const;
  [[noreturn]] void RaiseXMLError(const std::string& s) const;

  TXMLToken FToken = xtEndOfBuffer;
  int FNextIdx = 0;
  int FLineNr = 0;
  int FTokenIdx = 0;
  // The names and the value of the current token point into the text.
  std::string_view FTagIdentifier;
  std::string_view FAttribIdentifier;
  TXMLId FAttributeId = xmlDummy;
  std::string_view FAttribValue;
  bool FFullElement = false;
  bool FHasAttribute = false;

private:
  // Whether the current tag is k. Names differ in more than case, so a tag
  // spelt exactly as k's name is k without a lookup.
  bool IsTag(TXMLId k) const {
    if (FTagId < 0 && FTagIdentifier == XMLIdName(k)) FTagId = k;
    return Tag() == k;
  }
  char Ch(int i) const { return i < static_cast<int>(FText.size()) ? FText[static_cast<size_t>(i)] : '\0'; }
  void SkipWhite();
  bool ReadName(std::string_view& name);
  int LineStart(int idx) const;

  std::string_view FText;
  mutable int FTagId = -1;  // Tag() of the current token, -1 until asked
};

enum TLexicalToken {
  toUnknown, toIdentifier, toEndOfBuffer, toSemicolon, toPoint, toBraOpen, toBraClose, toAssigment,
  toPlusEqual, toMinusEqual, toParOpen, toParClose, toComma, toColon, toPlus, toMinus, toRange,
  toEndOfLine, toStrConst, toGreaterOrEqual, toGreater, toLesserOrEqual, toLesser, toDifferent,
  toEqual, toSpaces, toStar, toNotYetKnown, toSlash, toIntConst, toArobase, toCaret, toCurlOpen,
  toCurlClose, toComment, toSharp, toAlias, toPerCent, toVerticalBar, toEllipsis, toAmpersAnd
};
const char* LexicalTokenText(TLexicalToken t);

enum TLexError { LexNoErr, LexQuoteExp, LexIllChar };

class TLexicalAnalyser {
public:
  virtual ~TLexicalAnalyser() = default;
  void SetText(std::string_view value);
  virtual void Next();
  void Expect(TLexicalToken token);
  int ExpectInt(int low, int high);
  [[noreturn]] void RaiseLexError(const std::string& s) const;
  int GetTokenIndexInLine() const;

  TLexError LexError = LexNoErr;
  TLexicalToken FToken = toUnknown;
  int FTokenLen = 0;
  int32_t FTokenIntValue = 0;
  int FTokenIdx = 0;
  int FNextIdx = 0;
  int FLineNr = 0;
  bool FFirstTokenOnLine = false;
  std::string FStrConst;
  std::string FIdentifier;

protected:
  char Ch(int i) const { return i < static_cast<int>(FText.size()) ? FText[static_cast<size_t>(i)] : '\0'; }
  std::string_view FText;
  bool FNextFirstOnLine = false;
};

}  // namespace quillon
