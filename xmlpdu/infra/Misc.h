// Byte strings, the read cursor over them, hex and formatted text, and the
// length field shared by the A-XDR and BER codecs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "xmlpdu/infra/Errors.h"

namespace quillon {

// One char per byte (0..255); length is the byte count. Compared and
// concatenated as a string.
using PduStr = std::string;

inline constexpr const char* kWrongEncoding = "Wrong encoding in pdu";

// Read cursor over one PduStr. Positions count from 1.
class TStringWrapper {
public:
  explicit TStringWrapper(std::string s) : FString(std::move(s)) {}
  TStringWrapper(const void* buffer, uint32_t size)
      : FString(static_cast<const char*>(buffer), size) {}

  uint8_t NextByte() {
    uint8_t b = static_cast<uint8_t>(GetChar(FIndex));
    ++FIndex;
    return b;
  }
  uint8_t Inspect() const { return static_cast<uint8_t>(GetChar(FIndex)); }
  void ExpectByte(uint8_t value);
  int GetRemainingBytes() const { return static_cast<int>(FString.size()) - FIndex + 1; }
  // Fails before copying when fewer than qty bytes remain.
  std::string CopyFromIndexAndForward(int qty);
  char GetChar(int index) const {
    if (index < 1 || static_cast<size_t>(index) > FString.size()) RaiseGeneral(kWrongEncoding);
    return FString[static_cast<size_t>(index) - 1];
  }
  // Fails with "Wrong encoding in pdu" unless n more bytes are there; decoders
  // call it before they allocate for an announced count.
  void RequireRemaining(int64_t n) const {
    if (n < 0 || n > GetRemainingBytes()) RaiseGeneral(kWrongEncoding);
  }

  std::string FString;
  int FIndex = 1;
};

enum class TStringFormat { sfNone, sfVisibleString, sfHex, sfDotted };
using enum TStringFormat;

class TMisc {
public:
  static std::string ByteStrToHexStr(std::string_view s);
  // Same, with one space between bytes (for listings and logs).
  static std::string ByteStrToSpacedHexStr(std::string_view s);
  static PduStr HexStrToByteStr(std::string_view s);
  static uint8_t H1(char c);
  static uint8_t H2(char cHigh, char cLow) { return static_cast<uint8_t>(H1(cHigh) * 16 + H1(cLow)); }
  static PduStr FormattedStrToByteStr(std::string_view s, TStringFormat& format);
  static PduStr FormattedStrToByteStr(std::string_view s) {
    TStringFormat f;
    return FormattedStrToByteStr(s, f);
  }
  static std::string ByteStrToFormatedString2(std::string_view s);
  // Upper-case hex, zero-padded to `digits`; wider values take what they need.
  static std::string IntToHex(uint64_t value, int digits);
  // The same digits into out (room for 16 at least); returns how many.
  static size_t IntToHex(uint64_t value, int digits, char* out);
};

// BER definite length / A-XDR length field.
void EncodeVarLengthUnsignedInteger(PduStr& s, int32_t value);
uint32_t DecodeVarLengthUnsignedInteger(TStringWrapper& r);

}  // namespace quillon
