// Our own AES (128- and 256-bit keys, forward direction only) and the
// Galois/Counter Mode of NIST SP 800-38D with a 96-bit IV. The DLMS framing
// on top of it lives in GCMCipher.h.
#pragma once

#include <cstdint>
#include <string_view>

#include "xmlpdu/infra/Misc.h"

namespace quillon {

// Result codes of GCMDecryptString.
inline constexpr int kGcmOk = 0;
inline constexpr int kGcmAuthenticationFailure = 1;

// Expanded AES key. Accepts 16-byte (AES-128) and 32-byte (AES-256) keys.
class TAesKey {
public:
  explicit TAesKey(std::string_view key);
  void EncryptBlock(const uint8_t in[16], uint8_t out[16]) const;
  int Rounds() const { return FRounds; }
  // The round keys in the byte order the processor's AES instructions take:
  // 16 bytes per round, Rounds() + 1 of them.
  void RoundKeyBytes(uint8_t out[240]) const;

private:
  uint32_t FRoundKeys[60];
  int FRounds;
};

// Multiplication in GF(2^128) with the bit order of GCM, one bit at a time.
// Kept as the reference that the table-driven GHASH is tested against.
void GF128MulBitwise(const uint8_t x[16], const uint8_t h[16], uint8_t z[16]);

// GHASH keyed by H, with a 4-bit multiplication table built per key.
class TGHash {
public:
  explicit TGHash(const uint8_t h[16]);
  // S = (S xor block) * H for every 16-byte block of data; the last block is
  // padded with zeros.
  void Update(std::string_view data);
  // Absorbs the 128-bit length block (lengths in bytes) and returns S.
  void Final(uint64_t aadBytes, uint64_t textBytes, uint8_t out[16]);
  // Z = X * H with the table.
  void MulH(uint64_t& hi, uint64_t& lo) const;

private:
  uint64_t FTableHi[16];
  uint64_t FTableLo[16];
  uint64_t FStateHi = 0;
  uint64_t FStateLo = 0;
};

// The two implementations of GCM: the portable table-driven one (also the
// reference), and one on the processor's AES and carry-less multiply
// instructions. GCMEncryptString and GCMDecryptString take the second when
// CPUID reports both instruction sets.
enum class TGcmEngine { Table, Instructions };
bool GcmInstructionsAvailable();
TGcmEngine DefaultGcmEngine();

// key: 16 or 32 bytes, iv: 12 bytes; anything else is an assertion failure.
// Asking for the instruction engine on a processor without it is one too.
void GCMEncryptString(TGcmEngine engine, std::string_view key, std::string_view iv, std::string_view plaintext,
                      std::string_view aad, PduStr& ciphertext, PduStr& tag);
int GCMDecryptString(TGcmEngine engine, std::string_view key, std::string_view iv, std::string_view ciphertext,
                     std::string_view aad, std::string_view receivedTag, PduStr& plaintext);

void GCMEncryptString(std::string_view key, std::string_view iv, std::string_view plaintext, std::string_view aad,
                      PduStr& ciphertext, PduStr& tag);
// Compares as many tag bytes as received (4 to 16; other lengths never
// authenticate). On failure no plaintext is produced.
int GCMDecryptString(std::string_view key, std::string_view iv, std::string_view ciphertext, std::string_view aad,
                     std::string_view receivedTag, PduStr& plaintext);

}  // namespace quillon
