#include "client/LogMask.h"

#include <cctype>

#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

namespace {

const char kHidden[] = "<hidden>";

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

size_t HexRunEnd(const std::string& s, size_t from) {
  while (from < s.size() && IsHex(s[from])) ++from;
  return from;
}

// Replaces the hex run after each `label` (and the blanks after the label)
// with `replacement`.
void MaskAfter(std::string& line, const std::string& label, const std::string& replacement) {
  for (size_t at = line.find(label); at != std::string::npos; at = line.find(label, at + 1)) {
    size_t start = at + label.size();
    while (start < line.size() && line[start] == ' ') ++start;
    const size_t end = HexRunEnd(line, start);
    if (end == start) continue;
    line.replace(at + label.size(), end - (at + label.size()), replacement);
  }
}

// <Element Value="..." />: the value, whatever its form.
void MaskAttribute(std::string& line, const std::string& element) {
  const std::string open = "<" + element + " Value=\"";
  for (size_t at = line.find(open); at != std::string::npos; at = line.find(open, at + 1)) {
    const size_t start = at + open.size();
    const size_t end = line.find('"', start);
    if (end == std::string::npos) return;
    line.replace(start, end - start, kHidden);
  }
}

int ByteAt(const std::string& s, size_t pos) {
  return std::stoi(s.substr(pos, 2), nullptr, 16);
}

}  // namespace

TSecretMask::TSecretMask(const TMeterProfile& p) {
  for (const std::string* secret : {&p.EK, &p.AK, &p.KEK, &p.Secret})
    // Shorter values would hide harmless bytes of the traffic as well.
    if (secret->size() >= 4) FHexSecrets.push_back(TMisc::ByteStrToHexStr(*secret));
}

std::string TSecretMask::operator()(const std::string& input) const {
  std::string line = input;
  MaskAfter(line, "GUEK=", kHidden);
  MaskAfter(line, "GAK=", kHidden);
  MaskAfter(line, "SHARED SECRET: ", kHidden);
  MaskAfter(line, "PRIV.KEY: ", kHidden);
  MaskAfter(line, "WRAPPED ", kHidden);
  MaskAfter(line, " WITH = ", kHidden);
  const size_t first = line.find_first_not_of(' ');
  if (first != std::string::npos && line.compare(first, 2, "d=") == 0) MaskAfter(line, "d=", kHidden);
  MaskAttribute(line, "CallingAuthenticationValue");
  MaskAttribute(line, "DedicatedKey");
  // Runs of hex: the traffic's bytes and the values of the lines above.
  // Bytes start at even places of a run.
  std::string out;
  size_t pos = 0;
  while (pos < line.size()) {
    if (!IsHex(line[pos])) {
      out += line[pos++];
      continue;
    }
    const size_t end = HexRunEnd(line, pos);
    std::string run = line.substr(pos, end - pos);
    for (char& c : run) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string masked;
    for (size_t i = 0; i < run.size();) {
      bool hidden = false;
      if (i % 2 == 0) {
        for (const std::string& secret : FHexSecrets)
          if (run.compare(i, secret.size(), secret) == 0) {
            masked += kHidden;
            i += secret.size();
            hidden = true;
            break;
          }
        // An association request's calling authentication value: AC, its
        // length, 80, the value's length, the value.
        if (!hidden && i + 8 <= run.size() && run.compare(i, 2, "AC") == 0 && run.compare(i + 4, 2, "80") == 0) {
          const int outer = ByteAt(run, i + 2), inner = ByteAt(run, i + 6);
          if (inner > 0 && outer == inner + 2 && i + 8 + static_cast<size_t>(inner) * 2 <= run.size()) {
            masked += run.substr(i, 8) + kHidden;
            i += 8 + static_cast<size_t>(inner) * 2;
            hidden = true;
          }
        }
      }
      if (!hidden) masked += line[pos + i++];
    }
    out += masked;
    pos = end;
  }
  return out;
}

}  // namespace quillon::client
