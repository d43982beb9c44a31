#include "client/Push.h"

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "knowledge/COSEMUnits.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

using nlohmann::json;

// ---------------------------------------------------------------- blocks

std::optional<std::string> TBlockJoiner::Add(std::string_view apdu, TClock::time_point now) {
  // E0, block control (bit 7: last block), block number and the number
  // acknowledged (two bytes each), then the block's data as an octet string.
  TStringWrapper r{std::string(apdu)};
  auto fail = [&](const std::string& why) -> std::optional<std::string> {
    const size_t had = FBlocks;
    Drop();
    RaiseGeneral(had ? Format("%s; the series of %zu blocks before it dropped", why.c_str(), had) : why);
  };
  uint8_t control = 0;
  uint32_t number = 0;
  std::string data;
  try {
    r.ExpectByte(kGeneralBlockTransferTag);
    control = r.NextByte();
    number = r.NextByte() * 256u;
    number += r.NextByte();
    r.NextByte();  // the block acknowledged: a push asks for no answer
    r.NextByte();
    const uint32_t length = DecodeVarLengthUnsignedInteger(r);
    r.RequireRemaining(length);
    data = r.CopyFromIndexAndForward(static_cast<int>(length));
  } catch (const std::exception&) {
    return fail(Format("general-block-transfer block malformed at byte %d of %zu",
                       std::min<int>(r.FIndex, static_cast<int>(apdu.size())), apdu.size()));
  }
  if (r.GetRemainingBytes() != 0)
    return fail(Format("general-block-transfer block %u: %d bytes after its data", number, r.GetRemainingBytes()));
  const bool last = (control & 0x80) != 0;
  if (number == 1 && FBlocks != 0) {
    const size_t had = FBlocks;
    Drop();
    FStarted = now;
    if (!last) {
      FData = std::move(data);
      FBlocks = 1;
    }
    RaiseGeneral(Format("a new block series began before the last one ended; its %zu blocks dropped", had));
  }
  if (number != FBlocks + 1)
    return fail(FBlocks ? Format("general-block-transfer block %u out of order (expected %zu)", number, FBlocks + 1)
                        : Format("general-block-transfer block %u without the blocks before it", number));
  if (FBlocks == 0) FStarted = now;
  if (FBlocks + 1 > FLimits.MaxBlocks)
    return fail(Format("general-block-transfer series longer than %zu blocks", FLimits.MaxBlocks));
  if (FData.size() + data.size() > FLimits.MaxBytes)
    return fail(Format("general-block-transfer series longer than %zu bytes", FLimits.MaxBytes));
  FData += data;
  ++FBlocks;
  if (!last) return std::nullopt;
  std::string whole = std::move(FData);
  Drop();
  return whole;
}

std::optional<std::string> TBlockJoiner::Expire(TClock::time_point now) {
  if (FBlocks == 0 || now - FStarted < FLimits.Deadline) return std::nullopt;
  const std::string line =
      Format("incomplete block series dropped: %zu blocks (%zu bytes) in %lld s, no last block", FBlocks, FData.size(),
             static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(now - FStarted).count()));
  Drop();
  return line;
}

// ---------------------------------------------------------------- names

namespace {

bool IsObis(const TValue& v) { return v.Kind == TValueKind::vkOctetString && v.Bytes.size() == 6; }

bool IsList(const TValue& v) { return v.Kind == TValueKind::vkStructure || v.Kind == TValueKind::vkArray; }

// A key once: a list that names one object twice keeps both values.
void Put(json& out, std::string key, json value) {
  if (out.contains(key)) {
    for (int n = 2;; ++n)
      if (!out.contains(key + Format("#%d", n))) {
        key += Format("#%d", n);
        break;
      }
  }
  out[key] = std::move(value);
}

std::string KeyOf(const TLogicalName& name, int attribute) {
  std::string key = LogicalNameDotted(name);
  if (attribute != 2) key += Format("/%d", attribute);
  return key;
}

// {OBIS, value} or {OBIS, value, {scaler, unit}}.
bool IsNamedElement(const TValue& e) {
  if (e.Kind != TValueKind::vkStructure || (e.Items.size() != 2 && e.Items.size() != 3) || !IsObis(e.Items[0]))
    return false;
  return e.Items.size() == 2 || ScalerUnitOf(e.Items[2]).has_value();
}

// {class, OBIS, attribute, data index}: an entry of a push object list.
bool IsObjectDefinition(const TValue& e) {
  return e.Kind == TValueKind::vkStructure && e.Items.size() == 4 && e.Items[0].IsInteger() && IsObis(e.Items[1]) &&
         e.Items[2].IsInteger() && e.Items[3].IsInteger();
}

using TNamed = std::vector<TNamedValue>;

bool IsText(const TValue& v) {
  return v.Kind == TValueKind::vkVisibleString || v.Kind == TValueKind::vkUtf8String ||
         (v.Kind == TValueKind::vkOctetString && v.Bytes.size() != 6);
}

// Elements that are {OBIS, value[, {scaler, unit}]} and OBIS codes followed
// by their values, in any mix (meters use both in one list), after at most
// one leading text: the list's version.
std::optional<TNamed> NamedByWalk(const TValue& body) {
  const auto& items = body.Items;
  TNamed out;
  size_t i = 0;
  if (!items.empty() && IsText(items[0])) {
    out.push_back({"list-version", &items[0], std::nullopt});
    i = 1;
  }
  const size_t leading = out.size();
  while (i < items.size()) {
    const TValue& e = items[i];
    if (IsNamedElement(e)) {
      out.push_back({LogicalNameDotted(LogicalNameOfBytes(e.Items[0].Bytes)), &e.Items[1],
                     e.Items.size() == 3 ? ScalerUnitOf(e.Items[2]) : std::nullopt});
      ++i;
    } else if (IsObis(e) && i + 1 < items.size() && !IsObis(items[i + 1]) && !IsList(items[i + 1])) {
      out.push_back({LogicalNameDotted(LogicalNameOfBytes(e.Bytes)), &items[i + 1], std::nullopt});
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  if (out.size() == leading) return std::nullopt;
  return out;
}

std::optional<TNamed> NamedByObjectList(const TValue& body) {
  if (body.Items.empty() || body.Items[0].Kind != TValueKind::vkArray) return std::nullopt;
  const TValue& list = body.Items[0];
  if (list.Items.size() != body.Items.size()) return std::nullopt;
  for (const TValue& e : list.Items)
    if (!IsObjectDefinition(e)) return std::nullopt;
  TNamed out;
  // The first entry is the push setup's own object list: the array itself.
  for (size_t i = 1; i < list.Items.size(); ++i) {
    const TValue& d = list.Items[i];
    out.push_back({KeyOf(LogicalNameOfBytes(d.Items[1].Bytes), static_cast<int>(d.Items[2].Integer().value_or(2))),
                   &body.Items[i], std::nullopt});
  }
  return out;
}

int UnitCode(std::string_view text) {
  // By symbol first; a number is the code itself.
  for (int code = 1; code < 255; ++code)
    if (COSEMUnitName(code) == text) return code;
  if (!text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string_view::npos) {
    const int code = std::stoi(std::string(text));
    if (code <= 255) return code;
  }
  return -1;
}

}  // namespace

json NamedValueJson(const TValue& v, const std::optional<TScalerUnit>& su) {
  json j = json::object();
  j["value"] = ValueToJson(v);
  AddScaledJson(j, v, su);
  return j;
}

std::optional<std::vector<TNamedValue>> SelfNamed(const TValue& body) {
  if (!IsList(body)) return std::nullopt;
  if (auto named = NamedByObjectList(body)) return named;
  return NamedByWalk(body);
}

json NamedValuesJson(const std::vector<TNamedValue>& values) {
  json out = json::object();
  for (const TNamedValue& v : values) Put(out, v.Key, NamedValueJson(*v.Value, v.ScalerUnit));
  return out;
}

std::optional<json> SelfNamedValues(const TValue& body) {
  if (auto named = SelfNamed(body)) return NamedValuesJson(*named);
  return std::nullopt;
}

TPushLayout ParsePushLayout(std::string_view text, const std::string& name) {
  constexpr size_t kMaxPositions = 1000;
  TPushLayout layout;
  std::istringstream in{std::string(text)};
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    auto bad = [&](const std::string& what) {
      RaiseGeneral(Format("%s line %d: %s", name.c_str(), number, what.c_str()));
    };
    if (w.size() != 1 && w.size() != 2 && w.size() != 4)
      bad("expected OBIS [CLASS [SCALER UNIT]]");
    if (layout.size() == kMaxPositions) bad(Format("more than %zu positions", kMaxPositions));
    TLayoutEntry e;
    try {
      e.Name = ParseLogicalName(w[0]);
    } catch (const std::exception& x) {
      bad(x.what());
    }
    auto number16 = [&](const std::string& s, int low, int high, const char* what) {
      size_t used = 0;
      int v = 0;
      try {
        v = std::stoi(s, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used != s.size() || v < low || v > high) bad(Format("%s \"%s\": expected %d..%d", what, s.c_str(), low, high));
      return v;
    };
    if (w.size() >= 2) e.ClassId = number16(w[1], 0, 65535, "class");
    if (w.size() == 4 && !(w[2] == "-" && w[3] == "-")) {
      const int scaler = number16(w[2], -128, 127, "scaler");
      const int unit = w[3] == "-" ? 255 : UnitCode(w[3]);
      if (unit < 0) bad(Format("unit \"%s\": expected a unit symbol (W, Wh, var, V, A, ...) or a code 0..255", w[3].c_str()));
      e.ScalerUnit = TScalerUnit{scaler, unit};
    }
    layout.push_back(e);
  }
  if (layout.empty()) RaiseGeneral(Format("%s: no positions (one line \"OBIS [CLASS [SCALER UNIT]]\" each)", name.c_str()));
  return layout;
}

TPushLayout ReadPushLayout(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) RaiseGeneral(Format("--push-layout \"%s\": cannot be read", path.c_str()));
  // A layout is a few dozen lines; a huge file is a mistake.
  std::string text(64 * 1024 + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > 64 * 1024) RaiseGeneral(Format("--push-layout \"%s\": longer than 64 KB", path.c_str()));
  return ParsePushLayout(text, path);
}

std::optional<json> LayoutNamedValues(const TValue& body, const TPushLayout& layout) {
  if (!IsList(body) || body.Items.size() != layout.size()) return std::nullopt;
  TNamed named;
  for (size_t i = 0; i < layout.size(); ++i)
    named.push_back({KeyOf(layout[i].Name, layout[i].Attribute), &body.Items[i], layout[i].ScalerUnit});
  return NamedValuesJson(named);
}

// ---------------------------------------------------------------- telegrams

namespace {

// CRC-16 (polynomial A001, reflected, start 0) of the telegram from "/" to "!".
uint16_t TelegramCrc(std::string_view text) {
  uint16_t crc = 0;
  for (const char c : text) {
    crc ^= static_cast<uint8_t>(c);
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

// One value of a line: a number with its unit ("001234.567*kWh") or
// decimals, a time
// ("190123120000W": winter time, S summer, as the meters of Central Europe
// that write these keep it), or text.
json TelegramValue(const std::string& v) {
  static const std::regex number(R"(^(-?\d+(?:\.\d+)?)(?:\*(.+))?$)");
  static const std::regex stamp(R"(^(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)([SW])$)");
  std::smatch m;
  json j = json::object();
  if (std::regex_match(v, m, stamp)) {
    j["value"] = Format("20%s-%s-%sT%s:%s:%s%s", m[1].str().c_str(), m[2].str().c_str(), m[3].str().c_str(),
                        m[4].str().c_str(), m[5].str().c_str(), m[6].str().c_str(), m[7] == "S" ? "+02:00" : "+01:00");
  } else if (std::regex_match(v, m, number) && (m[2].matched || v.find('.') != std::string::npos)) {
    // A number has its unit or its decimals; digits alone are an
    // identifier or a count, kept as written (leading zeros and all).
    j["value"] = std::stod(m[1].str());
    if (m[2].matched) j["unit"] = m[2].str();
  } else {
    j["value"] = v;
  }
  return j;
}

}  // namespace

bool LooksLikeTelegram(std::string_view bytes) {
  return bytes.size() >= 3 && bytes[0] == '/' && bytes.find('!') != std::string_view::npos;
}

json TelegramJson(std::string_view text) {
  const size_t bang = text.rfind('!');
  if (!LooksLikeTelegram(text) || bang == std::string_view::npos) RaiseGeneral("telegram without \"/\" and \"!\"");
  std::string crc(text.substr(bang + 1));
  while (!crc.empty() && (crc.back() == '\r' || crc.back() == '\n')) crc.pop_back();
  if (!crc.empty()) {
    const uint16_t want = TelegramCrc(text.substr(0, bang + 1));
    if (crc.size() != 4 || crc.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos ||
        static_cast<uint16_t>(std::stoul(crc, nullptr, 16)) != want)
      RaiseGeneral(Format("telegram checksum \"%s\" does not match (%04X)", crc.substr(0, 8).c_str(), want));
  }
  static const std::regex line(R"(^(\d+)-(\d+):(\d+)\.(\d+)\.(\d+)((?:\([^()]*\))+)$)");
  json out{{"identification", ""}, {"values", json::object()}};
  size_t at = 0;
  int number = 0;
  const std::string_view body = text.substr(0, bang);
  while (at < body.size()) {
    const size_t end = std::min(body.find('\n', at), body.size());
    std::string l(body.substr(at, end - at));
    at = end + 1;
    ++number;
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (number == 1) {
      out["identification"] = l.substr(1);
      continue;
    }
    if (l.empty()) continue;
    // Lines are short; a long one is refused before the pattern sees it (the
    // matcher recurses as deep as the text is long).
    constexpr size_t kMaxLine = 1024;
    if (l.size() > kMaxLine) RaiseGeneral(Format("telegram line %d longer than %zu characters", number, kMaxLine));
    std::smatch m;
    if (!std::regex_match(l, m, line)) RaiseGeneral(Format("telegram line %d is no OBIS line", number));
    TLogicalName name{};
    for (int i = 0; i < 5; ++i) {
      const unsigned long part = std::stoul(m[i + 1].str());
      if (part > 255) RaiseGeneral(Format("telegram line %d: OBIS part %lu over 255", number, part));
      name[static_cast<size_t>(i)] = static_cast<uint8_t>(part);
    }
    name[5] = 255;
    // (time)(value) as gas meters' lines have it; a longer run (a log) is kept as text.
    std::vector<std::string> groups;
    const std::string all = m[6].str();
    for (size_t g = 0; g < all.size();) {
      const size_t close = all.find(')', g);
      groups.push_back(all.substr(g + 1, close - g - 1));
      g = close + 1;
    }
    json v;
    if (groups.size() == 1) {
      v = TelegramValue(groups[0]);
    } else if (groups.size() == 2) {
      v = TelegramValue(groups[1]);
      v["time"] = TelegramValue(groups[0])["value"];
    } else {
      v = json{{"value", all}};
    }
    Put(out["values"], LogicalNameDotted(name), std::move(v));
  }
  return out;
}

}  // namespace quillon::client
