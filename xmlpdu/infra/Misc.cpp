#include "xmlpdu/infra/Misc.h"

#include <algorithm>

namespace quillon {

namespace {
const char kHexDigits[] = "0123456789ABCDEF";
}

void TStringWrapper::ExpectByte(uint8_t value) {
  int pos = FIndex;
  uint8_t found = NextByte();
  if (found != value)
    RaiseGeneral(Format("Byte[%d]:, expected 0x%s found 0x%s", pos, TMisc::IntToHex(value, 2).c_str(),
                        TMisc::IntToHex(found, 2).c_str()));
}

std::string TStringWrapper::CopyFromIndexAndForward(int qty) {
  if (qty < 0 || qty > GetRemainingBytes()) RaiseGeneral(kWrongEncoding);
  std::string r = FString.substr(static_cast<size_t>(FIndex) - 1, static_cast<size_t>(qty));
  FIndex += qty;
  return r;
}

std::string TMisc::ByteStrToHexStr(std::string_view s) {
  std::string r;
  r.resize(s.size() * 2);
  char* out = r.data();
  for (unsigned char c : s) {
    *out++ = kHexDigits[c >> 4];
    *out++ = kHexDigits[c & 15];
  }
  return r;
}

std::string TMisc::ByteStrToSpacedHexStr(std::string_view s) {
  std::string r;
  r.reserve(s.size() * 3);
  for (unsigned char c : s) {
    if (!r.empty()) r += ' ';
    r += kHexDigits[c >> 4];
    r += kHexDigits[c & 15];
  }
  return r;
}

uint8_t TMisc::H1(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  RaiseGeneral("Illegal hex-character");
}

namespace {
// Hex digit values by character; -1 for anything else.
struct THexDigitValues {
  int8_t v[256];
  constexpr THexDigitValues() : v() {
    for (int c = 0; c < 256; ++c)
      v[c] = static_cast<int8_t>(c >= '0' && c <= '9' ? c - '0'
                                 : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                 : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                        : -1);
  }
};
constexpr THexDigitValues kHexDigitValues;
}  // namespace

PduStr TMisc::HexStrToByteStr(std::string_view s) {
  PduStr r;
  r.reserve(s.size() / 2);
  size_t i = 0, n = s.size();
  // Pairs of digits without blanks, the usual form, by table; the loop
  // below takes over at the first blank or wrong character.
  for (; i + 1 < n; i += 2) {
    const int hi = kHexDigitValues.v[static_cast<uint8_t>(s[i])];
    const int lo = kHexDigitValues.v[static_cast<uint8_t>(s[i + 1])];
    if ((hi | lo) < 0) break;
    r += static_cast<char>(hi * 16 + lo);
  }
  for (;;) {
    while (i < n && s[i] == ' ') ++i;
    if (i >= n) break;
    char hi = s[i++];
    while (i < n && s[i] == ' ') ++i;
    if (i >= n) RaiseGeneral("HexStrToByteStr: Hex-character missing");
    char lo = s[i++];
    r += static_cast<char>(H2(hi, lo));
  }
  return r;
}

PduStr TMisc::FormattedStrToByteStr(std::string_view s, TStringFormat& format) {
  if (s.empty()) {
    format = sfNone;
    return PduStr();
  }
  if (s[0] == '\\') {
    format = sfVisibleString;
    return PduStr(s.substr(1));
  }
  if (s.find('.') == std::string_view::npos) {
    format = sfHex;
    return HexStrToByteStr(s);
  }
  format = sfDotted;
  PduStr r;
  std::string_view rest = s;
  for (int k = 0; k < 6; ++k) {
    size_t len = 0;
    while (len < rest.size() && rest[len] >= '0' && rest[len] <= '9') ++len;
    if (len == 0) RaiseGeneral("'' is not a valid integer value");
    // Numbers above 255 are refused rather than silently truncated to a byte.
    unsigned long v = 0;
    for (size_t j = 0; j < len; ++j) {
      v = v * 10 + static_cast<unsigned long>(rest[j] - '0');
      if (v > 255) RaiseGeneral(Format("'%s' is not a valid byte value", std::string(rest.substr(0, len)).c_str()));
    }
    r += static_cast<char>(v);
    rest.remove_prefix(len);
    if (!rest.empty()) rest.remove_prefix(1);
  }
  return r;
}

std::string TMisc::ByteStrToFormatedString2(std::string_view s) {
  if (s.empty()) return std::string();
  for (unsigned char c : s)
    if (c < 32 || c > 126 || c == '"' || c == '\'') return ByteStrToHexStr(s);
  std::string r;
  r.reserve(s.size() + 1);
  r += '\\';
  r += s;
  return r;
}

size_t TMisc::IntToHex(uint64_t value, int digits, char* out) {
  char buf[16];
  int n = 0;
  do {
    buf[n++] = kHexDigits[value & 15];
    value >>= 4;
  } while (value != 0);
  size_t k = 0;
  for (int pad = std::min(digits, 16) - n; pad > 0; --pad) out[k++] = '0';
  while (n > 0) out[k++] = buf[--n];
  return k;
}

std::string TMisc::IntToHex(uint64_t value, int digits) {
  char buf[16];
  std::string r;
  if (digits > 16) r.assign(static_cast<size_t>(digits - 16), '0');
  r.append(buf, IntToHex(value, digits, buf));
  return r;
}

void EncodeVarLengthUnsignedInteger(PduStr& s, int32_t value) {
  if (value < 0 || value > 16777215)
    RaiseGeneral(Format("Coding of variable-length integer %d not implemented", value));
  if (value < 128) {
    s += static_cast<char>(value);
  } else if (value <= 255) {
    s += '\x81';
    s += static_cast<char>(value);
  } else if (value <= 65535) {
    s += '\x82';
    s += static_cast<char>(value >> 8);
    s += static_cast<char>(value & 255);
  } else {
    s += '\x83';
    s += static_cast<char>(value >> 16);
    s += static_cast<char>((value >> 8) & 255);
    s += static_cast<char>(value & 255);
  }
}

uint32_t DecodeVarLengthUnsignedInteger(TStringWrapper& r) {
  uint8_t b = r.NextByte();
  if ((b & 0x80) == 0) return b;
  int count = b & 0x7F;
  if (count < 1 || count > 3) RaiseGeneral("Unsupported integer length.");
  uint32_t v = 0;
  for (int i = 0; i < count; ++i) v = (v << 8) | r.NextByte();
  return v;
}

}  // namespace quillon
