// GCM on the processor's AES and carry-less multiply instructions. Used by
// AesGcm.cpp only; callers go through GCMEncryptString/GCMDecryptString.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon {

class TAesKey;

namespace gcmhw {

// CPUID reports AES, PCLMULQDQ and SSE4.1 (the rest of the build stays
// generic x86-64, so nothing here may run before this said yes).
bool Available();

// Counter mode from inc32(J0) over `in` into `out` (in.size() bytes; may be
// the same memory), and the full 16-byte tag over aad and the ciphertext,
// which is `out` when encrypting and `in` when decrypting.
void Crypt(const TAesKey& key, const uint8_t j0[16], std::string_view aad, std::string_view in, uint8_t* out,
           bool encrypting, uint8_t tag[16]);

}  // namespace gcmhw
}  // namespace quillon
