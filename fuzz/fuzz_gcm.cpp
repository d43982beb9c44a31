// Both AES-GCM engines on the same arbitrary input: they must give the same
// ciphertext and tag, open each other's output, and agree on whether a
// received message (with its tag taken from the input) authenticates.
// Input: one byte choosing the key size and the AAD length, key, IV, tag,
// then AAD and message.
#include "FuzzSupport.h"
#include "security/AesGcm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon;
  if (size < 1) return 0;
  const size_t keyLen = (data[0] & 1) ? 32 : 16;
  const size_t header = 1 + keyLen + 12 + 16;
  if (size < header) return 0;
  fuzz::TAllocationBudget budget(size);
  std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string_view key = in.substr(1, keyLen), iv = in.substr(1 + keyLen, 12);
  const std::string_view tag = in.substr(1 + keyLen + 12, 16 - (data[0] >> 5));  // 9 to 16 bytes
  std::string_view rest = in.substr(header);
  const size_t aadLen = std::min<size_t>(rest.size(), (data[0] >> 1 & 0x0F) * 17);
  const std::string_view aad = rest.substr(0, aadLen), text = rest.substr(aadLen);

  if (!GcmInstructionsAvailable()) return 0;
  PduStr c1, t1, c2, t2;
  GCMEncryptString(TGcmEngine::Table, key, iv, text, aad, c1, t1);
  GCMEncryptString(TGcmEngine::Instructions, key, iv, text, aad, c2, t2);
  fuzz::Require(c1 == c2 && t1 == t2, "the engines encrypt differently", TMisc::ByteStrToHexStr(in));
  PduStr p1 = "x", p2 = "x";
  fuzz::Require(GCMDecryptString(TGcmEngine::Instructions, key, iv, c1, aad, t1, p1) == kGcmOk && p1 == text,
                "the instruction engine does not open the table engine's message", TMisc::ByteStrToHexStr(in));
  p1 = p2 = "x";
  const int r1 = GCMDecryptString(TGcmEngine::Table, key, iv, text, aad, tag, p1);
  const int r2 = GCMDecryptString(TGcmEngine::Instructions, key, iv, text, aad, tag, p2);
  fuzz::Require(r1 == r2 && p1 == p2, "the engines disagree on a received message", TMisc::ByteStrToHexStr(in));
  return 0;
}
