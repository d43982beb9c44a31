// ITU-T V.44 (LZJH) data compression with fixed parameters and without the
// transparent mode: tree encoder, dictionary decoder, and the bit packer and
// unpacker between them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "xmlpdu/infra/Misc.h"

namespace quillon {

namespace v44 {
inline constexpr int32_t ETM = 0;
inline constexpr int32_t FLUSH = 1;
inline constexpr int32_t STEPUP = 2;
inline constexpr int32_t REINIT = 3;
inline constexpr int32_t FirstCodeWord = 4;
inline constexpr int32_t LastCodeWord = 1525;
inline constexpr int32_t MaxCodeWordBits = 11;
inline constexpr int32_t MaxOrdinalBits = 8;
inline constexpr int32_t MaxStringLength = 255;
}  // namespace v44

enum TTransferKind : uint8_t { ttNone, ttControl, ttOrdinal, ttCodeWord, ttStringExtensionLength };

struct TTransfer {
  TTransferKind Kind = ttNone;
  int32_t Value = 0;
  bool operator==(const TTransfer&) const = default;
};

using TV44LogProc = std::function<void(const std::string&)>;

// What packer and unpacker both track: field widths, the pending STEPUP and
// the bit position within the current octet.
class TV44BitState {
public:
  TTransferKind PrevTransferKind = ttNone;
  uint8_t NextBitMask = 1;
  int32_t C5_OrdinalBits = 7;
  int32_t C2_CodeWordBits = 6;
  bool STEPUP_Pending = false;

protected:
  // A pending STEPUP widens whichever field comes next.
  void WidenCodeWordIfPending();
  void WidenOrdinalIfPending();
};

// Bit packer: bits fill each octet from the least significant bit upwards.
class TTransferToString : public TV44BitState {
public:
  void PutTransfer(const TTransfer& t);

  uint8_t CurrentOctet = 0;
  PduStr Output;

private:
  void PutBits(uint32_t value, int32_t count);
  void PutLengthCode(int32_t length);
};

// Bit unpacker; reading past the end of the input fails cleanly.
class TStringToTransfer : public TV44BitState {
public:
  explicit TStringToTransfer(std::string_view input) : Input(input) {}
  TTransfer GetTransfer();

  size_t CurrentOctetIndex = 0;
  std::string_view Input;

private:
  uint32_t GetBits(int32_t count);
  int32_t GetLengthCode();
};

struct TNode {
  int32_t CodeWord = 0;
  int32_t SegmentPosition = 0;
  int32_t SegmentLength = 0;
  int32_t DownIndex = 0;
  int32_t SideIndex = 0;
  int32_t TotalStringLength = 0;
};

class TV44Encoder {
public:
  using TEmitTransferProc = std::function<void(const TTransfer&)>;
  TV44Encoder(std::string_view input, TEmitTransferProc emit) : Input(input), EmitTransferProc(std::move(emit)) {}
  // Encodes from InputIndex on; returns true once FLUSH has been sent.
  bool EncodeNext();

  int32_t Root[256] = {0};
  std::vector<TNode> NodeTree = std::vector<TNode>(v44::LastCodeWord + 1);
  int32_t NextCodeWord = v44::FirstCodeWord;
  int32_t C5_OrdinalBits = 7;
  int32_t C3_ChangeCodeWordSizeThreshold = 64;
  TV44LogProc LogProc;
  std::string_view Input;
  size_t InputIndex = 0;

private:
  TEmitTransferProc EmitTransferProc;
  void Emit(TTransferKind kind, int32_t value) { EmitTransferProc(TTransfer{kind, value}); }
  void SendOrdinal(uint8_t c);
  bool SendFlushAtEnd();
  int32_t NewNode(int32_t segmentPosition, int32_t segmentLength, int32_t totalLength);
  void AppendSibling(int32_t first, int32_t node);
};

struct TDecoderString {
  int32_t CodeWord = 0;
  int32_t StringPosition = 0;
  int32_t StringLength = 0;
};

class TV44Decoder {
public:
  TV44Decoder() : DecoderStrings(v44::LastCodeWord + 1) {}
  // Applies one transfer; returns true for FLUSH.
  bool DecodeNext(const TTransfer& t);

  std::vector<TDecoderString> DecoderStrings;
  int32_t NextCodeWord = v44::FirstCodeWord;
  TTransfer PrevTransfer;
  TV44LogProc LogProc;
  PduStr Output;

private:
  void AddString(int32_t lastBytePosition, int32_t length);
  void AppendString(int32_t codeWord);
};

PduStr V44Deflate(std::string_view input);
PduStr V44Inflate(std::string_view input);
// Wrappers that report failure as false and keep the message in V44LastError.
bool V44Compress(std::string_view input, PduStr& output);
bool V44Decompress(std::string_view input, PduStr& output);
// Message of the last failed V44Compress/V44Decompress on this thread.
extern thread_local std::string V44LastError;

}  // namespace quillon
