// One HDLC frame of the DLMS/COSEM connection-oriented data-link layer
// (IEC 62056-46, frame format type 3 of ISO/IEC 13239): encoding, decoding
// with every check the format allows, and a readable listing.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "comm/ProtocolLayer.h"

namespace quillon {

// CRC-16/X-25 (the FCS-16 of ISO/IEC 13239 and RFC 1662); check value 906E.
uint16_t HDLCFcs16(const char* data, size_t n);
inline uint16_t HDLCFcs16(std::string_view s) { return HDLCFcs16(s.data(), s.size()); }

struct TFrameAddress {
  uint16_t FUpper = 0;
  uint16_t FLower = 0;
  int32_t FSize = 0;  // bytes on the line
};

// Largest address part in one address byte (seven bits) and in two.
constexpr int32_t kMaxOneByteAddress = 127;
constexpr int32_t kMaxTwoByteAddress = 16383;

// Appends the address bytes; sizes other than 1 to 5 are a programming error.
void EncodeFrameAddress(const TFrameAddress& a, PduStr& out);
// Fails with EFrame naming the role ("Destination", "Source"), the part and
// the range when a part does not fit the address form.
void CheckFrameAddress(const TFrameAddress& a, const char* role);

enum TFrameKind { fkUnknown, fkI, fkRNR, fkRR, fkDISC, fkDM, fkFRMR, fkSNRM, fkUA, fkUI };

const char* FrameKindName(TFrameKind k);

// The negotiation parameters of an SNRM or UA information field.
struct TUAParameters {
  int32_t MaxInfoLengthTransmit = 128;
  int32_t MaxInfoLengthReceive = 128;
  int32_t WindowSizeTransmit = 1;
  int32_t WindowSizeReceive = 1;
  // (identifier, value) in order of appearance
  std::vector<std::pair<uint8_t, int32_t>> Present;
};

// Strict reading of a parameter field; fails with
// "Wrong encoding of UA frame info (ErrorCode=%d)".
TUAParameters CheckUAParameters(const PduStr& info);

// Reads one negotiation value of 1 (unsigned), 2 or 4 (signed) bytes.
int32_t ReadUAValue(const char* p, int len);

// Largest information field that fits the 11-bit frame length with the
// given address sizes.
int32_t MaxInformationFieldLength(int32_t dstSize, int32_t srcSize);

class TFrame {
public:
  PduStr GetPDUByteStr();
  void SetFromPduByteStr(const PduStr& PduByteStr);
  void GetAsStrings(std::vector<std::string>& StringList, int Indent) const;
  std::string AsPduHexStr() { return TMisc::ByteStrToHexStr(GetPDUByteStr()); }

  TFrameKind Kind() const { return FKind; }
  void SetKind(TFrameKind k) {
    FKind = k;
    FData.clear();
  }
  uint8_t Control() const { return FControl; }
  int32_t HCSIndex() const { return FHCSIndex; }
  int32_t FCSIndex() const { return FFCSIndex; }
  int32_t FrameLength() const { return FLength; }

  bool Segmented = false;
  TFrameAddress SrcAddress;
  TFrameAddress DstAddress;
  uint8_t RSequenceNr = 0;
  uint8_t SSequenceNr = 0;
  bool PollFinal = false;
  PduStr FData;  // information field, empty when absent

private:
  TFrameKind FKind = fkUnknown;
  uint8_t FControl = 0;
  int32_t FLength = 0;
  int32_t FHCSIndex = 0;
  int32_t FFCSIndex = 0;
};

}  // namespace quillon
