#include "client/ObjectRef.h"

#include <cctype>
#include <vector>

#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

namespace {

bool ParseNumber(std::string_view s, long max, long& out) {
  if (s.empty() || s.size() > 10) return false;
  out = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    out = out * 10 + (c - '0');
  }
  return out <= max;
}

// Splits at any of `separators`, in order: "1-0:1.8.0*255" with "-:...*".
bool SplitGroups(std::string_view text, std::string_view separators, TLogicalName& out) {
  size_t pos = 0;
  for (size_t g = 0; g < 6; ++g) {
    size_t end = text.size();
    if (g < separators.size()) {
      end = text.find(separators[g], pos);
      if (end == std::string_view::npos) return false;
    }
    long v = 0;
    if (!ParseNumber(text.substr(pos, end - pos), 255, v)) return false;
    out[g] = static_cast<uint8_t>(v);
    pos = end + 1;
  }
  return true;
}

}  // namespace

TLogicalName ParseLogicalName(std::string_view text) {
  TLogicalName n{};
  if (SplitGroups(text, ".....", n) || SplitGroups(text, "-:..*", n)) return n;
  if (text.size() == 12) {
    bool hex = true;
    for (char c : text) hex = hex && std::isxdigit(static_cast<unsigned char>(c));
    if (hex) {
      const PduStr b = TMisc::HexStrToByteStr(std::string(text));
      for (size_t i = 0; i < 6; ++i) n[i] = static_cast<uint8_t>(b[i]);
      return n;
    }
  }
  RaiseGeneral(Format("OBIS code \"%s\": expected A.B.C.D.E.F, A-B:C.D.E*F or 12 hex digits, each group 0..255",
                      std::string(text).c_str()));
}

TObjectRef ParseObjectRef(std::string_view text, const char* field) {
  std::vector<std::string_view> parts;
  size_t pos = 0;
  for (;;) {
    const size_t slash = text.find('/', pos);
    parts.push_back(text.substr(pos, slash == std::string_view::npos ? std::string_view::npos : slash - pos));
    if (slash == std::string_view::npos) break;
    pos = slash + 1;
  }
  const std::string expected =
      Format("%s \"%s\": expected [CLASS/]OBIS[/ATTRIBUTE], e.g. 3/1.0.1.8.0.255/2", field, std::string(text).c_str());
  if (parts.size() > 3) RaiseGeneral(expected);
  TObjectRef r;
  long v = 0;
  size_t obisAt = 0;
  if (parts.size() == 3 || (parts.size() == 2 && parts[0].find_first_of(".-:") == std::string_view::npos &&
                            parts[0].size() != 12)) {
    if (!ParseNumber(parts[0], 65535, v) || v == 0)
      RaiseGeneral(Format("%s \"%s\": class \"%s\" is not a class identifier 1..65535", field,
                          std::string(text).c_str(), std::string(parts[0]).c_str()));
    r.ClassId = static_cast<int>(v);
    obisAt = 1;
  }
  r.Name = ParseLogicalName(parts[obisAt]);
  if (obisAt + 1 < parts.size()) {
    if (!ParseNumber(parts[obisAt + 1], 255, v) || v == 0)
      RaiseGeneral(Format("%s \"%s\": attribute \"%s\" is not a number 1..255", field, std::string(text).c_str(),
                          std::string(parts[obisAt + 1]).c_str()));
    r.Member = static_cast<int>(v);
  }
  return r;
}

std::string LogicalNameDotted(const TLogicalName& n) {
  return Format("%d.%d.%d.%d.%d.%d", n[0], n[1], n[2], n[3], n[4], n[5]);
}

std::string LogicalNameHex(const TLogicalName& n) {
  return TMisc::ByteStrToHexStr(std::string(reinterpret_cast<const char*>(n.data()), 6));
}

TLogicalName LogicalNameOfBytes(std::string_view bytes) {
  TLogicalName n{};
  for (size_t i = 0; i < 6 && i < bytes.size(); ++i) n[i] = static_cast<uint8_t>(bytes[i]);
  return n;
}

std::string ObjectRefText(const TObjectRef& r) {
  std::string s = LogicalNameDotted(r.Name);
  if (r.ClassId) s = std::to_string(r.ClassId) + "/" + s;
  if (r.Member) s += "/" + std::to_string(r.Member);
  return s;
}

}  // namespace quillon::client
