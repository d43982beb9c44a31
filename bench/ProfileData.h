// A load-profile buffer as meters send it: an array of structures (date-time,
// four double-long-unsigned, unsigned), 37 bytes an entry.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::bench {

using PduStr = std::string;

// A-XDR length field.
inline void AppendLength(PduStr& s, size_t n) {
  if (n < 0x80) {
    s += static_cast<char>(n);
    return;
  }
  int bytes = n <= 0xFF ? 1 : n <= 0xFFFF ? 2 : 3;
  s += static_cast<char>(0x80 | bytes);
  for (int b = bytes - 1; b >= 0; --b) s += static_cast<char>((n >> (8 * b)) & 0xFF);
}

inline PduStr ProfileBuffer(size_t targetBytes) {
  constexpr size_t kEntryBytes = 37;
  const size_t n = targetBytes / kEntryBytes;
  PduStr body;
  body.reserve(n * kEntryBytes);
  for (size_t i = 0; i < n; ++i) {
    body += "\x02\x06";
    body += '\x19';
    body += std::string("\x07\xEA\x0C\x0A\x04\x00\x00\x00\x00\x80\x00\x00", 12);
    body[body.size() - 7] = static_cast<char>(i % 60);
    for (int k = 0; k < 4; ++k) {
      body += '\x06';
      const uint32_t v = static_cast<uint32_t>(i * 7 + static_cast<size_t>(k));
      for (int b = 3; b >= 0; --b) body += static_cast<char>((v >> (8 * b)) & 0xFF);
    }
    body += '\x11';
    body += '\x00';
  }
  PduStr pdu;
  pdu += '\x01';
  AppendLength(pdu, n);
  pdu += body;
  return pdu;
}

// The same buffer in a GetResponseNormal, as a capture holds it.
inline PduStr ProfileResponse(size_t targetBytes) { return std::string("\xC4\x01\xC1\x00", 4) + ProfileBuffer(targetBytes); }

}  // namespace quillon::bench
