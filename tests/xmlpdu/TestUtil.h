#pragma once

#include <string>

#include "xmlpdu/infra/Misc.h"

namespace quillon::test {

template <class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

inline PduStr H(const std::string& hex) { return TMisc::HexStrToByteStr(hex); }
inline std::string Hex(const PduStr& s) { return TMisc::ByteStrToHexStr(s); }

// Joins lines with CR LF, each ending in CR LF: the canonical XML layout.
inline std::string Lines(std::initializer_list<const char*> lines) {
  std::string r;
  for (const char* l : lines) {
    r += l;
    r += "\r\n";
  }
  return r;
}

}  // namespace quillon::test
