#include "security/ByteArray.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace quillon {

PduStr ByteArrayToPduStr(const TByteArray& a) {
  if (a.Size <= 0 || a.Bytes == nullptr) return PduStr();
  return PduStr(reinterpret_cast<const char*>(a.Bytes), static_cast<size_t>(a.Size));
}

TByteArray PduStrToByteArray(std::string_view s) {
  TByteArray a{};
  if (s.empty()) return a;
  CheckAssertion(s.size() <= 0x7FFFFFFF, "byte array fits a 32-bit size");
  // malloc/free: the record is plain C and may be released on the C side.
  a.Bytes = static_cast<uint8_t*>(std::malloc(s.size()));
  if (a.Bytes == nullptr) throw std::bad_alloc();
  std::memcpy(a.Bytes, s.data(), s.size());
  a.Size = static_cast<int32_t>(s.size());
  return a;
}

void ReleaseByteArray(TByteArray& a) {
  if (a.Size > 0) std::free(a.Bytes);
  a.Size = 0;
  a.Bytes = nullptr;
}

}  // namespace quillon
