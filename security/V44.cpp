#include "security/V44.h"

#include "xmlpdu/infra/Errors.h"

namespace quillon {

thread_local std::string V44LastError;

namespace {
const char* const kIllegalCompressedData = "Illegal compressed data";
const char* const kTruncatedCompressedData = "Compressed data ends before FLUSH";
}  // namespace

// ------------------------------------------------------------ bit state --

void TV44BitState::WidenCodeWordIfPending() {
  if (!STEPUP_Pending) return;
  STEPUP_Pending = false;
  CheckAssertion(++C2_CodeWordBits <= v44::MaxCodeWordBits, "C2 <= 11");
}

void TV44BitState::WidenOrdinalIfPending() {
  if (!STEPUP_Pending) return;
  STEPUP_Pending = false;
  CheckAssertion(++C5_OrdinalBits <= v44::MaxOrdinalBits, "C5 <= 8");
}

// ---------------------------------------------------------------- packer --

void TTransferToString::PutBits(uint32_t value, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    if ((value >> i) & 1u) CurrentOctet = static_cast<uint8_t>(CurrentOctet | NextBitMask);
    NextBitMask = static_cast<uint8_t>(NextBitMask << 1);
    if (NextBitMask == 0) {
      Output += static_cast<char>(CurrentOctet);
      CurrentOctet = 0;
      NextBitMask = 1;
    }
  }
}

void TTransferToString::PutLengthCode(int32_t length) {
  CheckAssertion(length >= 1 && length <= v44::MaxStringLength, "string extension length 1..255");
  // Written bit by bit in transmission order.
  switch (length) {
    case 1: PutBits(1, 1); return;
    case 2: PutBits(0b010, 3); return;  // 0 1 0
    case 3: PutBits(0b100, 3); return;  // 0 0 1
    case 4: PutBits(0b110, 3); return;  // 0 1 1
    default: break;
  }
  if (length <= 12) {
    PutBits(0, 4);
    PutBits(static_cast<uint32_t>(length - 5), 3);
  } else {
    PutBits(0b1000, 4);  // 0 0 0 1
    PutBits(static_cast<uint32_t>(length - 13), 8);
  }
}

void TTransferToString::PutTransfer(const TTransfer& t) {
  switch (t.Kind) {
    case ttControl:
    case ttCodeWord:
      WidenCodeWordIfPending();
      PutBits(1, 1);
      PutBits(static_cast<uint32_t>(t.Value), C2_CodeWordBits);
      if (t.Kind == ttControl && t.Value == v44::STEPUP) STEPUP_Pending = true;
      if (t.Kind == ttControl && t.Value == v44::FLUSH && NextBitMask != 1) {
        Output += static_cast<char>(CurrentOctet);
        CurrentOctet = 0;
        NextBitMask = 1;
      }
      break;
    case ttOrdinal:
      WidenOrdinalIfPending();
      PutBits(0, PrevTransferKind == ttCodeWord ? 2 : 1);
      PutBits(static_cast<uint32_t>(t.Value), C5_OrdinalBits);
      break;
    case ttStringExtensionLength:
      CheckAssertion(PrevTransferKind == ttCodeWord, "string extension follows a codeword");
      PutBits(0b10, 2);  // 0 1
      PutLengthCode(t.Value);
      break;
    case ttNone: CheckAssertion(false, "transfer kind set");
  }
  PrevTransferKind = t.Kind;
}

// -------------------------------------------------------------- unpacker --

uint32_t TStringToTransfer::GetBits(int32_t count) {
  uint32_t v = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (CurrentOctetIndex >= Input.size()) RaiseGeneral(kTruncatedCompressedData);
    if (static_cast<uint8_t>(Input[CurrentOctetIndex]) & NextBitMask) v |= 1u << i;
    NextBitMask = static_cast<uint8_t>(NextBitMask << 1);
    if (NextBitMask == 0) {
      NextBitMask = 1;
      ++CurrentOctetIndex;
    }
  }
  return v;
}

int32_t TStringToTransfer::GetLengthCode() {
  if (GetBits(1)) return 1;
  switch (GetBits(2)) {
    case 0b01: return 2;  // 0 1 0
    case 0b10: return 3;  // 0 0 1
    case 0b11: return 4;  // 0 1 1
    default: break;
  }
  if (GetBits(1) == 0) return static_cast<int32_t>(GetBits(3)) + 5;
  return static_cast<int32_t>(GetBits(8)) + 13;
}

TTransfer TStringToTransfer::GetTransfer() {
  TTransfer t;
  if (GetBits(1)) {
    WidenCodeWordIfPending();
    t.Value = static_cast<int32_t>(GetBits(C2_CodeWordBits));
    t.Kind = t.Value < v44::FirstCodeWord ? ttControl : ttCodeWord;
    if (t.Value == v44::STEPUP) STEPUP_Pending = true;
  } else if (PrevTransferKind == ttCodeWord && GetBits(1)) {
    t.Kind = ttStringExtensionLength;
    t.Value = GetLengthCode();
  } else {
    WidenOrdinalIfPending();
    t.Kind = ttOrdinal;
    t.Value = static_cast<int32_t>(GetBits(C5_OrdinalBits));
  }
  PrevTransferKind = t.Kind;
  return t;
}

// --------------------------------------------------------------- encoder --

void TV44Encoder::SendOrdinal(uint8_t c) {
  if (c >= 128 && C5_OrdinalBits == 7) {
    Emit(ttControl, v44::STEPUP);
    C5_OrdinalBits = 8;
  }
  Emit(ttOrdinal, c);
}

bool TV44Encoder::SendFlushAtEnd() {
  if (InputIndex < Input.size()) return false;
  Emit(ttControl, v44::FLUSH);
  return true;
}

int32_t TV44Encoder::NewNode(int32_t segmentPosition, int32_t segmentLength, int32_t totalLength) {
  int32_t cw = NextCodeWord++;
  TNode& n = NodeTree[static_cast<size_t>(cw)];
  n = TNode{cw, segmentPosition, segmentLength, 0, 0, totalLength};
  return cw;
}

void TV44Encoder::AppendSibling(int32_t first, int32_t node) {
  while (NodeTree[static_cast<size_t>(first)].SideIndex != 0) first = NodeTree[static_cast<size_t>(first)].SideIndex;
  NodeTree[static_cast<size_t>(first)].SideIndex = node;
}

bool TV44Encoder::EncodeNext() {
  if (InputIndex >= Input.size()) return SendFlushAtEnd();
  const auto at = [this](size_t i) { return static_cast<uint8_t>(Input[i]); };
  const uint8_t c = at(InputIndex);
  // A new two-byte string (c and the byte after it) exists only if there is
  // a byte after it.
  const bool hasNext = InputIndex + 1 < Input.size();
  const int32_t pos1 = static_cast<int32_t>(InputIndex + 1);

  if (Root[c] == 0) {
    SendOrdinal(c);
    if (NextCodeWord <= v44::LastCodeWord && hasNext) Root[c] = NewNode(pos1, 1, 2);
    ++InputIndex;
    return SendFlushAtEnd();
  }

  // Longest dictionary string at InputIndex: walk the tree of c.
  int32_t matched = 0, matchedLength = 0;
  size_t pos = InputIndex + 1;
  for (int32_t n = Root[c]; n != 0;) {
    const TNode& node = NodeTree[static_cast<size_t>(n)];
    bool fits = matchedLength + node.SegmentLength < v44::MaxStringLength &&
                pos + static_cast<size_t>(node.SegmentLength) <= Input.size() &&
                Input.compare(pos, static_cast<size_t>(node.SegmentLength),
                              Input.substr(static_cast<size_t>(node.SegmentPosition),
                                           static_cast<size_t>(node.SegmentLength))) == 0;
    if (fits) {
      matched = n;
      matchedLength += node.SegmentLength;
      pos += static_cast<size_t>(node.SegmentLength);
      n = node.DownIndex;
    } else {
      n = node.SideIndex;
    }
  }

  if (matched == 0) {
    SendOrdinal(c);
    if (NextCodeWord <= v44::LastCodeWord && hasNext) AppendSibling(Root[c], NewNode(pos1, 1, 2));
    ++InputIndex;
    return SendFlushAtEnd();
  }

  InputIndex = pos;
  const int32_t stringLength = matchedLength + 1;
  while (matched >= C3_ChangeCodeWordSizeThreshold) {
    Emit(ttControl, v44::STEPUP);
    C3_ChangeCodeWordSizeThreshold *= 2;
  }
  Emit(ttCodeWord, matched);
  if (stringLength >= v44::MaxStringLength || InputIndex >= Input.size() || NextCodeWord > v44::LastCodeWord)
    return SendFlushAtEnd();

  TNode& node = NodeTree[static_cast<size_t>(matched)];
  size_t p = static_cast<size_t>(node.SegmentPosition + node.SegmentLength);
  int32_t child;
  if (at(p) == at(InputIndex)) {
    int32_t n = 0;
    while (InputIndex + static_cast<size_t>(n) < Input.size() && stringLength + n < v44::MaxStringLength &&
           at(p + static_cast<size_t>(n)) == at(InputIndex + static_cast<size_t>(n)))
      ++n;
    child = NewNode(static_cast<int32_t>(InputIndex), n, stringLength + n);
    Emit(ttStringExtensionLength, n);
    InputIndex += static_cast<size_t>(n);
  } else {
    child = NewNode(static_cast<int32_t>(InputIndex), 1, stringLength + 1);
  }
  TNode& parent = NodeTree[static_cast<size_t>(matched)];
  if (parent.DownIndex == 0)
    parent.DownIndex = child;
  else
    AppendSibling(parent.DownIndex, child);
  return SendFlushAtEnd();
}

// --------------------------------------------------------------- decoder --

void TV44Decoder::AddString(int32_t lastBytePosition, int32_t length) {
  if (NextCodeWord > v44::LastCodeWord) return;
  DecoderStrings[static_cast<size_t>(NextCodeWord)] = TDecoderString{NextCodeWord, lastBytePosition, length};
  ++NextCodeWord;
}

void TV44Decoder::AppendString(int32_t codeWord) {
  const TDecoderString& s = DecoderStrings[static_cast<size_t>(codeWord)];
  size_t first = static_cast<size_t>(s.StringPosition - s.StringLength + 1);
  for (int32_t k = 0; k < s.StringLength; ++k) Output += Output[first + static_cast<size_t>(k)];
}

bool TV44Decoder::DecodeNext(const TTransfer& t) {
  if (t.Kind == ttControl) return t.Value == v44::FLUSH;

  const int32_t appendedAt = static_cast<int32_t>(Output.size());
  const TTransfer& prev = PrevTransfer;
  switch (t.Kind) {
    case ttOrdinal: Output += static_cast<char>(t.Value); break;
    case ttCodeWord:
      if (t.Value < NextCodeWord) {
        AppendString(t.Value);
      } else if (t.Value == NextCodeWord && NextCodeWord <= v44::LastCodeWord && prev.Kind == ttCodeWord &&
                 DecoderStrings[static_cast<size_t>(prev.Value)].StringLength < v44::MaxStringLength) {
        AppendString(prev.Value);
        Output += Output[static_cast<size_t>(appendedAt)];
      } else if (t.Value == NextCodeWord && NextCodeWord <= v44::LastCodeWord && prev.Kind == ttOrdinal) {
        Output += static_cast<char>(prev.Value);
        Output += static_cast<char>(prev.Value);
      } else {
        // Also a codeword that only a string not yet made could name.
        RaiseGeneral(kIllegalCompressedData);
      }
      break;
    case ttStringExtensionLength: {
      CheckAssertion(prev.Kind == ttCodeWord, "string extension follows a codeword");
      const TDecoderString& v = DecoderStrings[static_cast<size_t>(prev.Value)];
      size_t from = static_cast<size_t>(v.StringPosition) + 1;
      if (from >= Output.size()) {
        if (LogProc) LogProc("### EXTENSION NOT POSSIBLE");
        return false;
      }
      if (v.StringLength + t.Value > v44::MaxStringLength) RaiseGeneral(kIllegalCompressedData);
      // Byte by byte: the source may run into the bytes being appended.
      for (int32_t k = 0; k < t.Value; ++k) Output += Output[from + static_cast<size_t>(k)];
      break;
    }
    default: CheckAssertion(false, "transfer kind set");
  }

  // Dictionary update from the previous transfer and what was just appended.
  const int32_t lastOfFirst = appendedAt;  // position of the first appended byte
  switch (prev.Kind) {
    case ttOrdinal:
      if (t.Kind == ttOrdinal || t.Kind == ttCodeWord) AddString(lastOfFirst, 2);
      break;
    case ttCodeWord: {
      int32_t vLen = DecoderStrings[static_cast<size_t>(prev.Value)].StringLength;
      if (t.Kind == ttStringExtensionLength)
        AddString(static_cast<int32_t>(Output.size()) - 1, vLen + t.Value);
      else if (vLen < v44::MaxStringLength)
        AddString(lastOfFirst, vLen + 1);
      break;
    }
    default: break;
  }
  PrevTransfer = t;
  return false;
}

// -------------------------------------------------------------- wrappers --

PduStr V44Deflate(std::string_view input) {
  if (input.empty()) return PduStr();
  TTransferToString packer;
  TV44Encoder encoder(input, [&packer](const TTransfer& t) { packer.PutTransfer(t); });
  while (!encoder.EncodeNext()) {
  }
  return std::move(packer.Output);
}

PduStr V44Inflate(std::string_view input) {
  if (input.empty()) return PduStr();
  TStringToTransfer unpacker(input);
  TV44Decoder decoder;
  while (!decoder.DecodeNext(unpacker.GetTransfer())) {
  }
  return std::move(decoder.Output);
}

namespace {
template <typename F>
bool ReportingFailure(F&& f, std::string_view input, PduStr& output) {
  try {
    output = f(input);
    return true;
  } catch (const std::exception& e) {
    output.clear();
    V44LastError = e.what();
    return false;
  }
}
}  // namespace

bool V44Compress(std::string_view input, PduStr& output) { return ReportingFailure(V44Deflate, input, output); }
bool V44Decompress(std::string_view input, PduStr& output) { return ReportingFailure(V44Inflate, input, output); }

}  // namespace quillon
