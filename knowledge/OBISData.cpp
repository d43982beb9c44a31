// Matching, text composition and the codes' text forms.
#include "knowledge/OBISData.h"

#include <algorithm>
#include <charconv>

#include "xmlpdu/infra/XMLParser.h"

namespace quillon {

TValue TValue::Single(uint8_t b) {
  TValue v;
  v.Kind = vkSingle;
  v.ByteValue = b;
  return v;
}

TValue TValue::Range(uint8_t lo, uint8_t hi) {
  TValue v;
  v.Kind = vkRange;
  v.LoRange = lo;
  v.HiRange = hi;
  return v;
}

TValue TValue::Set(std::initializer_list<uint8_t> members) {
  TValue v;
  v.Kind = vkSet;
  for (uint8_t b : members) ByteSetAdd(v.SetValue, b);
  return v;
}

bool TValue::HasElement(uint8_t b) const {
  switch (Kind) {
    case vkSingle: return b == ByteValue;
    case vkRange: return LoRange <= b && b <= HiRange;
    case vkSet: return ByteSetHas(SetValue, b);
    default: return false;
  }
}

const TValue& TValues::GetValue(TColumn column) const {
  CheckAssertion(IsColumn(column), "IsColumn(column)");
  return Items[static_cast<size_t>(ColumnIndex(column))];
}

TValue& TValues::GetValue(TColumn column) {
  CheckAssertion(IsColumn(column), "IsColumn(column)");
  return Items[static_cast<size_t>(ColumnIndex(column))];
}

bool TOBISItemData::Match(const TOBISCode& code) const {
  for (size_t i = 0; i < 6; ++i)
    if (!Values.Items[i].HasElement(code[i])) return false;
  return true;
}

void TVariables::Define(const std::string& name, const TValue& value) {
  for (auto& [n, v] : Items)
    if (n == name) {
      v = std::make_unique<TValue>(value);
      return;
    }
  Items.emplace_back(name, std::make_unique<TValue>(value));
}

const TValue* TVariables::Find(std::string_view name) const {
  for (const auto& [n, v] : Items)
    if (n == name) return v.get();
  return nullptr;
}

std::string TOBISMediaData::GetOBISText(const TOBISCode& code) const {
  for (const auto& item : Items)
    if (item->Match(code)) return ComposeText(*item, code);
  return "Not found " + TOBISData::OBISCodeToOBISStr(code);
}

std::string TOBISMediaData::ComposeText(const TOBISItemData& item, const TOBISCode& code) const {
  std::string result;
  for (const std::string& text : item.Texts) {
    std::string line = ExpandLine(item, text, code);
    if (line.empty()) continue;
    if (!result.empty()) result += ' ';
    result += line;
  }
  return result;
}

namespace {

[[noreturn]] void RaiseExpansion(int number, const TOBISItemData& item) {
  RaiseGeneral(Format("Error %d on line %d", number, item.LineNr));
}

// A parenthesised reference "$(X)", "$(X+n)" or "$(X-n)" read with the
// tokenizer over the rest of the line after the "(". Gives the replacement
// and the number of characters after the "(" that it replaces.
std::pair<std::string, size_t> ExpandParenthesised(const TOBISItemData& item, std::string_view rest,
                                                   const TOBISCode& code) {
  TLexicalAnalyser lex;
  lex.SetText(rest);
  if (lex.LexError != LexNoErr || lex.FToken != toIdentifier || lex.FIdentifier.size() != 1) RaiseExpansion(3, item);
  const char letter = lex.FIdentifier[0];
  if (letter < 'A' || letter > 'F') RaiseExpansion(4, item);
  const int64_t value = code[static_cast<size_t>(letter - 'A')];
  lex.Next();
  if (lex.LexError != LexNoErr) RaiseExpansion(5, item);
  if (lex.FToken == toParClose) return {std::to_string(value), static_cast<size_t>(lex.FTokenIdx) + 1};
  if (lex.FToken != toPlus && lex.FToken != toMinus) RaiseExpansion(5, item);
  const bool plus = lex.FToken == toPlus;
  lex.Next();
  if (lex.LexError != LexNoErr || lex.FToken != toIntConst) RaiseExpansion(6, item);
  const int64_t n = lex.FTokenIntValue;
  std::string text = std::to_string(plus ? value + n : value - n);
  // The replaced text runs through the character that follows the number,
  // which is the closing parenthesis when the reference is written tightly;
  // with blanks before it, through the parenthesis itself.
  const size_t afterNumber = static_cast<size_t>(lex.FNextIdx) + 1;
  lex.Next();
  if (lex.LexError == LexNoErr && lex.FToken == toParClose)
    return {std::move(text), std::max(afterNumber, static_cast<size_t>(lex.FTokenIdx) + 1)};
  return {std::move(text), afterNumber};
}

}  // namespace

std::string TOBISMediaData::ExpandLine(const TOBISItemData& item, std::string line, const TOBISCode& code) const {
  size_t from = 0;
  int replacements = 0;
  for (;;) {
    const size_t p = line.find('$', from);
    if (p == std::string::npos || p + 1 >= line.size()) return line;
    const char c = line[p + 1];
    std::string replacement;
    size_t length = 2;  // "$" and one character
    if (c >= 'A' && c <= 'F') {
      replacement = std::to_string(code[static_cast<size_t>(c - 'A')]);
    } else if (c >= '1' && c <= '9') {
      const TTable* table = Tables[static_cast<size_t>(c - '0')].get();
      if (!table) RaiseExpansion(1, item);
      const int index = code[static_cast<size_t>(ColumnIndex(table->Column))];
      if (index >= static_cast<int>(table->Entries.size()))
        throw EOBISIndexOutOfRange(index, static_cast<int>(table->Entries.size()));
      replacement = table->Entries[static_cast<size_t>(index)].Text;
      if (replacement.empty()) RaiseExpansion(2, item);
    } else if (c == '(') {
      auto [text, used] = ExpandParenthesised(item, std::string_view(line).substr(p + 2), code);
      replacement = std::move(text);
      length = std::min(2 + used, line.size() - p);
    } else {
      from = p + 1;  // not a reference: the "$" stays
      continue;
    }
    if (++replacements > kMaxReplacementsPerLine)
      RaiseGeneral(Format("Too many replacements on line %d", item.LineNr));
    line.replace(p, length, replacement);
    if (line.size() > kMaxExpandedLineLength) RaiseGeneral(Format("Description too long on line %d", item.LineNr));
    from = 0;
  }
}

std::string TOBISData::GetOBISText(const TOBISCode& code) const {
  if (code[0] > 9) RaiseGeneral(Format("Code=%s, illegal media %d", OBISCodeToOBISStr(code).c_str(), code[0]));
  const TOBISMediaData* media = AllMediaData[code[0]].get();
  if (!media)
    RaiseGeneral(Format("Code=%s, no data available for media %d", OBISCodeToOBISStr(code).c_str(), code[0]));
  return media->GetOBISText(code);
}

std::string TOBISData::GetOBISTextOfLogicalName(std::string_view logicalName) const {
  return GetOBISText(LogicalNameToOBISCode(logicalName));
}

std::string TOBISData::GetOBISTextOfStr(std::string_view code) const { return GetOBISText(StrToOBISCode(code)); }

std::string TOBISData::OBISCodeToOBISStr(const TOBISCode& code) {
  return Format("%d.%d.%d.%d.%d.%d", code[0], code[1], code[2], code[3], code[4], code[5]);
}

std::string OBISCodeToReducedStr(const TOBISCode& code) {
  return Format("%d-%d:%d.%d.%d*%d", code[0], code[1], code[2], code[3], code[4], code[5]);
}

TOBISCode StrToOBISCode(std::string_view text) {
  // Separators after A..E: either "-", ":", ".", ".", "*" or all ".".
  static constexpr char kReduced[] = "-:..*";
  TOBISCode code{};
  size_t pos = 0;
  bool dotted = true;
  bool reduced = true;
  for (size_t i = 0; i < 6; ++i) {
    if (i > 0) {
      if (pos >= text.size()) RaiseGeneral(Format("Invalid OBIS code \"%.*s\"", int(text.size()), text.data()));
      const char sep = text[pos++];
      dotted = dotted && sep == '.';
      reduced = reduced && sep == kReduced[i - 1];
    }
    unsigned value = 256;
    const char* first = text.data() + pos;
    const char* last = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr == first || ptr - first > 3 || value > 255 || (!dotted && !reduced))
      RaiseGeneral(Format("Invalid OBIS code \"%.*s\"", int(text.size()), text.data()));
    code[i] = static_cast<uint8_t>(value);
    pos = static_cast<size_t>(ptr - text.data());
  }
  if (pos != text.size()) RaiseGeneral(Format("Invalid OBIS code \"%.*s\"", int(text.size()), text.data()));
  return code;
}

TOBISCode LogicalNameToOBISCode(std::string_view logicalName) {
  if (logicalName.size() != 6)
    RaiseGeneral(Format("A logical name has 6 bytes, not %d", static_cast<int>(logicalName.size())));
  TOBISCode code{};
  for (size_t i = 0; i < 6; ++i) code[i] = static_cast<uint8_t>(logicalName[i]);
  return code;
}

// Our database key. Its only purpose is to keep the resource from being read
// or patched casually; it is not a secret in any cryptographic sense.
const std::array<uint8_t, 8> kOBISDatabaseKey = {0x51, 0x75, 0x69, 0x4C, 0x6C, 0x30, 0x6E, 0xB7};

namespace {

// Both directions XOR with the key and the previous ciphered block; only the
// source of "previous ciphered block" differs.
PduStr ChainBlocks(std::string_view in, bool encipher) {
  PduStr out(in.size(), '\0');
  std::array<uint8_t, 8> previous{};
  for (size_t block = 0; block < in.size(); block += 8) {
    for (size_t i = 0; i < 8; ++i) {
      const uint8_t b = static_cast<uint8_t>(in[block + i]);
      const uint8_t r = static_cast<uint8_t>(b ^ kOBISDatabaseKey[i] ^ previous[i]);
      out[block + i] = static_cast<char>(r);
      previous[i] = encipher ? r : b;
    }
  }
  return out;
}

}  // namespace

PduStr OBISEncipher(std::string_view plain) {
  PduStr padded(plain);
  padded.resize((plain.size() + 7) / 8 * 8, '\0');
  return ChainBlocks(padded, true);
}

PduStr OBISDecipher(std::string_view ciphered) {
  if (ciphered.size() % 8 != 0) throw EOBISStreamError("length is not a multiple of 8", ciphered.size());
  return ChainBlocks(ciphered, false);
}

std::unique_ptr<TOBISData> TOBISData::CreateFromCipheredStream(std::string_view ciphered) {
  return CreateFromStream(OBISDecipher(ciphered));
}

}  // namespace quillon
