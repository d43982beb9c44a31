// The compiler of the authored OBIS descriptions; the format is described in
// OBISSource.h.
#include "knowledge/OBISSource.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sstream>

namespace quillon {

namespace {

using TBits = std::array<bool, 256>;


struct TLocation {
  std::string File;
  int Line = 0;
  std::string Where() const { return File + ":" + std::to_string(Line); }
};

[[noreturn]] void Fail(const TLocation& at, const std::string& msg) { throw EOBISSourceError(at.Where() + ": " + msg); }

std::string Trim(std::string_view s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string_view::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r");
  return std::string(s.substr(b, e - b + 1));
}

TValue BitsToValue(const TBits& bits) {
  std::vector<int> members;
  for (int i = 0; i < 256; ++i)
    if (bits[static_cast<size_t>(i)]) members.push_back(i);
  TValue v;
  if (members.empty()) return v;
  if (members.size() == 1) return TValue::Single(static_cast<uint8_t>(members[0]));
  if (members.back() - members.front() + 1 == static_cast<int>(members.size()))
    return TValue::Range(static_cast<uint8_t>(members.front()), static_cast<uint8_t>(members.back()));
  v.Kind = vkSet;
  for (int m : members) ByteSetAdd(v.SetValue, static_cast<uint8_t>(m));
  return v;
}

TBits ValueToBits(const TValue& v) {
  TBits bits{};
  for (int i = 0; i < 256; ++i) bits[static_cast<size_t>(i)] = v.HasElement(static_cast<uint8_t>(i));
  return bits;
}

struct TClause {
  std::string Text;
  bool Joined = false;  // appended without a comma
  int Condition = -1;   // index into the item's conditions
};

struct TCondition {
  int Column = 0;
  TBits Set{};
  bool operator==(const TCondition&) const = default;
};

struct TSourceItem {
  TLocation At;
  std::array<TBits, 6> Pattern{};
  std::vector<TClause> Clauses;
  std::vector<TCondition> Conditions;
  std::optional<TValue> InterfaceClasses, AltInterfaceClasses, ValueTypes;
};

}  // namespace

class TOBISSourceCompiler::TImpl {
public:
  void AddSource(const std::string& name, std::string_view text);
  std::unique_ptr<TOBISData> Build();

private:
  TBits ParseSet(const TLocation& at, std::string_view text) const;
  void ParseObis(const TLocation& at, std::string_view rest);
  void ParseClause(const TLocation& at, std::string_view line);
  void ParseTableEntry(const TLocation& at, std::string_view line, TTable& table);
  void EndItem();
  std::vector<TOBISMediaData*> Media(const TLocation& at);

  void AddVariants(TOBISMediaData& media, const TSourceItem& item);
  void Check(const TOBISMediaData& media, const TOBISItemData& item, const TLocation& at) const;

  std::unique_ptr<TOBISData> FData = std::make_unique<TOBISData>();
  std::vector<int> FMedia;  // the media the statements apply to
  std::array<std::vector<TSourceItem>, kMediaCount> FItems;
  // The items whose clauses follow: one per medium of the statement.
  std::vector<std::pair<size_t, size_t>> FCurrent;

  std::map<const TOBISItemData*, TLocation> FLocations;
};

std::vector<TOBISMediaData*> TOBISSourceCompiler::TImpl::Media(const TLocation& at) {
  if (FMedia.empty()) Fail(at, "no \"medium\" before this line");
  std::vector<TOBISMediaData*> result;
  for (int m : FMedia) {
    auto& media = FData->AllMediaData[static_cast<size_t>(m)];
    if (!media) media = std::make_unique<TOBISMediaData>();
    result.push_back(media.get());
  }
  return result;
}

TBits TOBISSourceCompiler::TImpl::ParseSet(const TLocation& at, std::string_view text) const {
  TBits bits{};
  std::stringstream parts{std::string(text)};
  std::string part;
  bool any = false;
  while (std::getline(parts, part, ',')) {
    part = Trim(part);
    any = true;
    if (part == "*") {
      bits.fill(true);
    } else if (!part.empty() && part[0] == '@') {
      // Variables are defined alike in every medium of the statement.
      const TValue* v = FMedia.empty() ? nullptr
                                       : FData->AllMediaData[static_cast<size_t>(FMedia[0])]->Variables.Find(part.substr(1));
      if (!v) Fail(at, "unknown value set \"" + part + "\"");
      const TBits more = ValueToBits(*v);
      for (size_t i = 0; i < 256; ++i) bits[i] = bits[i] || more[i];
    } else {
      int lo = -1, hi = -1;
      char dash = 0;
      char tail = 0;
      const int n = std::sscanf(part.c_str(), "%d%c%d%c", &lo, &dash, &hi, &tail);
      if (n == 1) hi = lo;
      else if (!(n == 3 && dash == '-')) Fail(at, "bad value set \"" + part + "\"");
      if (lo < 0 || hi > 255 || lo > hi) Fail(at, "bad value set \"" + part + "\"");
      for (int i = lo; i <= hi; ++i) bits[static_cast<size_t>(i)] = true;
    }
  }
  if (!any) Fail(at, "empty value set");
  return bits;
}

void TOBISSourceCompiler::TImpl::ParseObis(const TLocation& at, std::string_view rest) {
  std::stringstream words{std::string(rest)};
  std::string pattern;
  words >> pattern;
  TSourceItem item;
  item.At = at;
  size_t start = 0;
  for (int g = 0; g < 6; ++g) {
    const size_t dot = g < 5 ? pattern.find('.', start) : pattern.size();
    if (dot == std::string::npos) Fail(at, "a pattern has six value groups separated by \".\"");
    item.Pattern[static_cast<size_t>(g)] = ParseSet(at, std::string_view(pattern).substr(start, dot - start));
    start = dot + 1;
  }
  const bool all = std::count(item.Pattern[0].begin(), item.Pattern[0].end(), true) == 256;
  if (!(all && FMedia.size() > 1) && !(FMedia.size() == 1 && item.Pattern[0][static_cast<size_t>(FMedia[0])] &&
                                       std::count(item.Pattern[0].begin(), item.Pattern[0].end(), true) == 1))
    Fail(at, "value group A of a pattern is the medium (\"*\" for several media)");
  std::string key, set;
  while (words >> key) {
    if (!(words >> set)) Fail(at, "\"" + key + "\" needs a value set");
    const TValue v = BitsToValue(ParseSet(at, set));
    if (key == "ic") item.InterfaceClasses = v;
    else if (key == "alt") item.AltInterfaceClasses = v;
    else if (key == "types") item.ValueTypes = v;
    else Fail(at, "unknown attribute \"" + key + "\"");
  }
  FCurrent.clear();
  for (int m : FMedia) {
    TSourceItem copy = item;
    copy.Pattern[0] = TBits{};
    copy.Pattern[0][static_cast<size_t>(m)] = true;
    FItems[static_cast<size_t>(m)].push_back(std::move(copy));
    FCurrent.emplace_back(static_cast<size_t>(m), FItems[static_cast<size_t>(m)].size() - 1);
  }
}

void TOBISSourceCompiler::TImpl::ParseClause(const TLocation& at, std::string_view line) {
  TClause clause;
  std::string text = Trim(line);
  if (text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close < 4 || text[1] < 'A' || text[1] > 'F' || text[2] != ' ')
      Fail(at, "a condition reads \"[X set]\" with X one of A to F");
    TCondition cond{text[1] - 'A', ParseSet(at, std::string_view(text).substr(3, close - 3))};
    // Every copy of the item has the same conditions.
    auto& conds = FItems[FCurrent[0].first][FCurrent[0].second].Conditions;
    auto found = std::find(conds.begin(), conds.end(), cond);
    clause.Condition = static_cast<int>(found - conds.begin());
    if (found == conds.end())
      for (auto [m, i] : FCurrent) FItems[m][i].Conditions.push_back(cond);
    text = Trim(std::string_view(text).substr(close + 1));
  }
  if (!text.empty() && text[0] == '+') {
    clause.Joined = true;
    text = Trim(std::string_view(text).substr(1));
  }
  if (text.empty()) Fail(at, "empty clause");
  clause.Text = text;
  for (auto [m, i] : FCurrent) FItems[m][i].Clauses.push_back(clause);
}

void TOBISSourceCompiler::TImpl::EndItem() {
  for (auto [m, i] : FCurrent)
    if (FItems[m][i].Clauses.empty()) Fail(FItems[m][i].At, "pattern without description");
  FCurrent.clear();
}

void TOBISSourceCompiler::TImpl::ParseTableEntry(const TLocation& at, std::string_view line, TTable& table) {
  const std::string text = Trim(line);
  const size_t colon = text.find(':');
  if (colon == std::string::npos) Fail(at, "a table entry reads \"values: text\"");
  const TBits bits = ParseSet(at, std::string_view(text).substr(0, colon));
  const std::string entry = Trim(std::string_view(text).substr(colon + 1));
  if (entry.empty()) Fail(at, "empty table entry");
  for (size_t i = 0; i < 256; ++i) {
    if (!bits[i]) continue;
    if (table.Entries.size() <= i) table.Entries.resize(i + 1);
    if (!table.Entries[i].Text.empty()) Fail(at, "table entry " + std::to_string(i) + " defined twice");
    table.Entries[i].Text = entry;
  }
}

void TOBISSourceCompiler::TImpl::AddSource(const std::string& name, std::string_view text) {
  std::istringstream in{std::string(text)};
  TLocation at{name, 0};
  std::string raw;
  FMedia.clear();
  FCurrent.clear();
  std::vector<TTable*> tables;
  while (std::getline(in, raw)) {
    ++at.Line;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const bool indented = raw[0] == ' ' || raw[0] == '\t';
    if (!tables.empty()) {
      if (line == "end") tables.clear();
      else
        for (TTable* t : tables) ParseTableEntry(at, line, *t);
      continue;
    }
    if (indented) {
      if (FCurrent.empty()) Fail(at, "an indented clause belongs under an \"obis\" line");
      ParseClause(at, line);
      continue;
    }
    EndItem();
    std::stringstream words{line};
    std::string keyword;
    words >> keyword;
    std::string rest;
    std::getline(words, rest);
    rest = Trim(rest);
    if (keyword == "medium") {
      std::stringstream numbers{rest};
      std::string number;
      FMedia.clear();
      while (numbers >> number) {
        if (number.size() != 1 || number[0] < '0' || number[0] > '9') Fail(at, "a medium is 0 to 9");
        if (std::find(FMedia.begin(), FMedia.end(), number[0] - '0') != FMedia.end()) Fail(at, "medium named twice");
        FMedia.push_back(number[0] - '0');
      }
      Media(at);
    } else if (keyword == "let") {
      const size_t eq = rest.find('=');
      if (eq == std::string::npos) Fail(at, "\"let NAME = set\"");
      const TValue v = BitsToValue(ParseSet(at, std::string_view(rest).substr(eq + 1)));
      for (TOBISMediaData* media : Media(at)) media->Variables.Define(Trim(std::string_view(rest).substr(0, eq)), v);
    } else if (keyword == "table") {
      int n = -1;
      char column = 0;
      char tail = 0;
      if (std::sscanf(rest.c_str(), "%d %c %c", &n, &column, &tail) != 2 || n < 0 || n > 9 || column < 'A' ||
          column > 'F')
        Fail(at, "\"table N X\" with N 0 to 9 and X one of A to F");
      for (TOBISMediaData* media : Media(at)) {
        auto& slot = media->Tables[static_cast<size_t>(n)];
        if (slot) Fail(at, "table " + std::to_string(n) + " defined twice");
        slot = std::make_unique<TTable>();
        slot->Column = static_cast<TColumn>(column);
        tables.push_back(slot.get());
      }
    } else if (keyword == "obis") {
      Media(at);
      ParseObis(at, rest);
    } else {
      Fail(at, "unknown statement \"" + keyword + "\"");
    }
  }
  if (!tables.empty()) Fail(at, "table without \"end\"");
  EndItem();
}

void TOBISSourceCompiler::TImpl::AddVariants(TOBISMediaData& media, const TSourceItem& item) {
  const size_t k = item.Conditions.size();
  for (size_t mask = 0; mask < (size_t{1} << k); ++mask) {
    std::array<TBits, 6> pattern = item.Pattern;
    for (size_t c = 0; c < k; ++c) {
      const TCondition& cond = item.Conditions[c];
      const bool inside = mask >> c & 1;
      for (size_t v = 0; v < 256; ++v)
        pattern[static_cast<size_t>(cond.Column)][v] = pattern[static_cast<size_t>(cond.Column)][v] && (cond.Set[v] == inside);
    }
    if (std::any_of(pattern.begin(), pattern.end(),
                    [](const TBits& b) { return std::none_of(b.begin(), b.end(), [](bool x) { return x; }); }))
      continue;
    auto out = std::make_unique<TOBISItemData>();
    out->LineNr = item.At.Line;
    for (size_t g = 0; g < 6; ++g) out->Values.Items[g] = BitsToValue(pattern[g]);
    for (const TClause& clause : item.Clauses) {
      if (clause.Condition >= 0 && !(mask >> clause.Condition & 1)) continue;
      if (clause.Joined && !out->Texts.empty()) {
        out->Texts.push_back(clause.Text);
        continue;
      }
      if (!out->Texts.empty()) out->Texts.back() += ",";
      out->Texts.push_back(clause.Text);
    }
    out->InterfaceClasses = item.InterfaceClasses;
    out->AltInterfaceClasses = item.AltInterfaceClasses;
    out->ValueTypes = item.ValueTypes;
    out->IsAmpersAndExpansion = k > 0;
    for (const std::string& t : out->Texts)
      for (size_t p = t.find('$'); p != std::string::npos; p = t.find('$', p + 1))
        if (p + 1 < t.size() && t[p + 1] >= '1' && t[p + 1] <= '9') out->IsTableExpansion = true;
    FLocations[out.get()] = item.At;
    media.Items.push_back(std::move(out));
  }
}

// Composes the description for every value of each value group the item
// allows, the other groups held at their first allowed value.
void TOBISSourceCompiler::TImpl::Check(const TOBISMediaData& media, const TOBISItemData& item, const TLocation& at) const {
  TOBISCode base{};
  for (size_t g = 0; g < 6; ++g)
    for (int v = 0; v < 256; ++v)
      if (item.Values.Items[g].HasElement(static_cast<uint8_t>(v))) {
        base[g] = static_cast<uint8_t>(v);
        break;
      }
  for (size_t g = 0; g < 6; ++g)
    for (int v = 0; v < 256; ++v) {
      if (!item.Values.Items[g].HasElement(static_cast<uint8_t>(v))) continue;
      TOBISCode code = base;
      code[g] = static_cast<uint8_t>(v);
      std::string text;
      try {
        text = media.ComposeText(item, code);
      } catch (const std::exception& e) {
        Fail(at, OBISCodeToReducedStr(code) + ": " + e.what());
      }
      if (text.find('$') != std::string::npos) Fail(at, OBISCodeToReducedStr(code) + ": unexpanded \"$\" in \"" + text + "\"");
    }
}

std::unique_ptr<TOBISData> TOBISSourceCompiler::TImpl::Build() {
  std::set<std::string> words;
  auto collect = [&words](const std::string& text) {
    std::string word;
    for (size_t i = 0; i <= text.size(); ++i) {
      const unsigned char c = i < text.size() ? static_cast<unsigned char>(text[i]) : ' ';
      if (c == '$') {  // skip the reference
        if (i + 1 < text.size() && text[i + 1] == '(') i = std::min(text.find(')', i), text.size());
        else ++i;
        continue;
      }
      if (std::isalnum(c) || c >= 0x80) {
        word += static_cast<char>(c);
      } else {
        if (!word.empty()) words.insert(word);
        word.clear();
      }
    }
  };
  for (int m = 0; m < kMediaCount; ++m) {
    auto& media = FData->AllMediaData[static_cast<size_t>(m)];
    if (!media) continue;
    for (const TSourceItem& item : FItems[static_cast<size_t>(m)]) AddVariants(*media, item);
    if (media->Items.empty()) throw EOBISSourceError("medium " + std::to_string(m) + " has no patterns");
    for (const auto& item : media->Items) {
      Check(*media, *item, FLocations.at(item.get()));
      for (const std::string& t : item->Texts) collect(t);
    }
    for (const auto& table : media->Tables)
      if (table)
        for (const TTableEntry& e : table->Entries) collect(e.Text);
  }
  FData->FAllWords.assign(words.begin(), words.end());
  return std::move(FData);
}

TOBISSourceCompiler::TOBISSourceCompiler() : FImpl(std::make_unique<TImpl>()) {}
TOBISSourceCompiler::~TOBISSourceCompiler() = default;
void TOBISSourceCompiler::AddSource(const std::string& name, std::string_view text) { FImpl->AddSource(name, text); }
std::unique_ptr<TOBISData> TOBISSourceCompiler::Build() { return FImpl->Build(); }

}  // namespace quillon
