#include "comm/HDLCFrame.h"

#include <array>

namespace quillon {

namespace {

constexpr std::array<uint16_t, 256> MakeFcsTable() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned v = i;
    for (int k = 0; k < 8; ++k) v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
    t[i] = static_cast<uint16_t>(v);
  }
  return t;
}
constexpr std::array<uint16_t, 256> kFcsTable = MakeFcsTable();

void AppendFcs(PduStr& s, size_t from) {
  uint16_t fcs = HDLCFcs16(s.data() + from, s.size() - from);
  s += static_cast<char>(fcs & 0xFF);
  s += static_cast<char>(fcs >> 8);
}

uint8_t ByteAt(const PduStr& s, size_t i) { return static_cast<uint8_t>(s[i]); }

// Reads an address from index i up to and including the byte with bit 0 set;
// an address that never ends before `end` fails the frame.
TFrameAddress DecodeFrameAddress(const PduStr& s, size_t& i, size_t end) {
  size_t start = i;
  while (i < end && (ByteAt(s, i) & 1) == 0) ++i;
  if (i >= end) throw EFrame("Illegal address");
  ++i;
  TFrameAddress a;
  a.FSize = static_cast<int32_t>(i - start);
  auto b = [&](size_t k) { return static_cast<uint16_t>(ByteAt(s, start + k) >> 1); };
  switch (a.FSize) {
    case 1: a.FUpper = b(0); break;
    case 2:
      a.FUpper = b(0);
      a.FLower = b(1);
      break;
    case 4:
      a.FUpper = static_cast<uint16_t>(b(0) * 128 + b(1));
      a.FLower = static_cast<uint16_t>(b(2) * 128 + b(3));
      break;
    default: break;  // other sizes carry no address values
  }
  return a;
}

std::string AddressText(const TFrameAddress& a) {
  switch (a.FSize) {
    case 1: return TMisc::IntToHex(a.FUpper, 2);
    case 2: return TMisc::IntToHex(a.FUpper, 2) + " " + TMisc::IntToHex(a.FLower, 2);
    case 4: return TMisc::IntToHex(a.FUpper, 4) + " " + TMisc::IntToHex(a.FLower, 4);
    default: throw EAssertionFailed(Format("frame address size %d", a.FSize));
  }
}

}  // namespace

uint16_t HDLCFcs16(const char* data, size_t n) {
  uint16_t fcs = 0xFFFF;
  for (size_t i = 0; i < n; ++i) fcs = static_cast<uint16_t>((fcs >> 8) ^ kFcsTable[(fcs ^ static_cast<uint8_t>(data[i])) & 0xFF]);
  return static_cast<uint16_t>(~fcs);
}

void CheckFrameAddress(const TFrameAddress& a, const char* role) {
  if (a.FSize < 1 || a.FSize > 5) return;  // EncodeFrameAddress reports the size
  // The one- and two-byte forms give each part one byte; the longer forms two.
  const int64_t max = a.FSize <= 2 ? kMaxOneByteAddress : kMaxTwoByteAddress;
  const std::string form = Format(" address (%d-byte form)", a.FSize);
  CheckAddressRange<EFrame>(std::string(role) + " upper" + form, a.FUpper, max);
  if (a.FSize > 1) CheckAddressRange<EFrame>(std::string(role) + " lower" + form, a.FLower, max);
}

void EncodeFrameAddress(const TFrameAddress& a, PduStr& out) {
  auto put = [&](unsigned v) { out += static_cast<char>(v & 0xFF); };
  switch (a.FSize) {
    case 1: put(a.FUpper * 2 + 1); break;
    case 2:
      put(a.FUpper * 2);
      put(a.FLower * 2 + 1);
      break;
    case 3:
      put(a.FUpper / 128 * 2);
      put(a.FUpper % 128 * 2);
      put(a.FLower / 128 * 2 + 1);
      break;
    case 4:
    case 5:
      put(a.FUpper / 128 * 2);
      put(a.FUpper % 128 * 2);
      put(a.FLower / 128 * 2);
      put(a.FLower % 128 * 2 + (a.FSize == 4 ? 1 : 0));
      if (a.FSize == 5) put(1);
      break;
    default: throw EAssertionFailed(Format("frame address size %d", a.FSize));
  }
}

const char* FrameKindName(TFrameKind k) {
  static const char* const names[] = {"Unknown", "I", "RNR", "RR", "DISC", "DM", "FRMR", "SNRM", "UA", "UI"};
  return names[k];
}

int32_t MaxInformationFieldLength(int32_t dstSize, int32_t srcSize) {
  return 2047 - (2 + dstSize + srcSize + 1 + 2 + 2);
}

PduStr TFrame::GetPDUByteStr() {
  CheckFrameAddress(DstAddress, "Destination");
  CheckFrameAddress(SrcAddress, "Source");
  PduStr addresses;
  EncodeFrameAddress(DstAddress, addresses);
  EncodeFrameAddress(SrcAddress, addresses);
  int32_t length = static_cast<int32_t>(2 + addresses.size() + 1 + 2);
  if (!FData.empty()) length += static_cast<int32_t>(FData.size()) + 2;
  // Only 11 bits are on the line; a longer frame would go out corrupted.
  if (length > 2047) throw EFrame(Format("Frame too long (%d)", length));

  uint8_t r = RSequenceNr & 7, s = SSequenceNr & 7;
  uint8_t control;
  switch (FKind) {
    case fkUnknown: control = 0xFF; break;
    case fkI: control = static_cast<uint8_t>(r << 5 | s << 1); break;
    case fkRNR: control = static_cast<uint8_t>(r << 5 | 0x05); break;
    case fkRR: control = static_cast<uint8_t>(r << 5 | 0x01); break;
    case fkDISC: control = 0x43; break;
    case fkDM: control = 0x0F; break;
    case fkFRMR: control = 0x87; break;
    case fkSNRM: control = 0x83; break;
    case fkUA: control = 0x63; break;
    case fkUI: control = 0x03; break;
    default: control = 0xFF; break;
  }
  if (PollFinal) control |= 0x10;
  FControl = control;

  PduStr f;
  f.reserve(static_cast<size_t>(length) + 2);
  f += '\x7E';
  f += static_cast<char>(0xA0 | (Segmented ? 0x08 : 0) | ((length >> 8) & 7));
  f += static_cast<char>(length & 0xFF);
  f += addresses;
  f += static_cast<char>(control);
  FHCSIndex = static_cast<int32_t>(f.size());
  AppendFcs(f, 1);
  if (!FData.empty()) {
    f += FData;
    FFCSIndex = static_cast<int32_t>(f.size());
    AppendFcs(f, 1);
  }
  f += '\x7E';
  return f;
}

void TFrame::SetFromPduByteStr(const PduStr& s) {
  size_t n = s.size();
  if (n < 3) throw EFrame(Format("Illegal length (%d)", static_cast<int>(n)));
  if (ByteAt(s, 0) != 0x7E) throw EFrame("Illegal opening flag");
  if ((ByteAt(s, 1) >> 4) != 0x0A) throw EFrame("Illegal frame type");
  Segmented = (ByteAt(s, 1) & 0x08) != 0;
  FLength = (ByteAt(s, 1) & 7) * 256 + ByteAt(s, 2);
  if (static_cast<int32_t>(n) != FLength + 2)
    throw EFrame(Format("Frame length subfield value (%d) does not match frame length (%d)", FLength,
                        static_cast<int>(n) - 2));

  // Both addresses, the control byte, the HCS and the closing flag must fit.
  size_t i = 3;
  DstAddress = DecodeFrameAddress(s, i, n - 1);
  SrcAddress = DecodeFrameAddress(s, i, n - 1);
  size_t ctrl = i;
  if (ctrl + 3 >= n) throw EFrame(Format("Illegal length (%d)", static_cast<int>(n)));

  uint8_t c = ByteAt(s, ctrl);
  FControl = c;
  TFrameKind kind;
  if ((c & 1) == 0) {
    kind = fkI;
    SSequenceNr = (c >> 1) & 7;
    RSequenceNr = c >> 5;
  } else if ((c & 0x0F) == 0x01 || (c & 0x0F) == 0x05) {
    kind = (c & 0x0F) == 0x01 ? fkRR : fkRNR;
    RSequenceNr = c >> 5;
  } else {
    switch (c & ~0x10) {
      case 0x03: kind = fkUI; break;
      case 0x0F: kind = fkDM; break;
      case 0x43: kind = fkDISC; break;
      case 0x63: kind = fkUA; break;
      case 0x83: kind = fkSNRM; break;
      case 0x87: kind = fkFRMR; break;
      default: throw EFrame("Illegal kind");
    }
  }
  PollFinal = (c & 0x10) != 0;
  SetKind(kind);

  size_t hcs = ctrl + 1;
  uint16_t expected = static_cast<uint16_t>(ByteAt(s, hcs) | ByteAt(s, hcs + 1) << 8);
  if (HDLCFcs16(s.data() + 1, ctrl) != expected) throw EFrame("Illegal HCS");

  size_t closing = hcs + 2;
  if (n - 1 >= hcs + 4) {  // at least two bytes between the HCS and the last byte
    size_t dataEnd = n - 3;
    FData.assign(s, hcs + 2, dataEnd - (hcs + 2));
    uint16_t fcs = static_cast<uint16_t>(ByteAt(s, dataEnd) | ByteAt(s, dataEnd + 1) << 8);
    if (HDLCFcs16(s.data() + 1, dataEnd - 1) != fcs) throw EFrame("Illegal FCS");
    closing = n - 1;
  }
  if (ByteAt(s, closing) != 0x7E) throw EFrame("Illegal closing flag");
}

int32_t ReadUAValue(const char* p, int len) {
  auto b = [&](int k) { return static_cast<uint8_t>(p[k]); };
  switch (len) {
    case 1: return b(0);
    case 2: return static_cast<int16_t>(b(0) << 8 | b(1));
    default: return static_cast<int32_t>(static_cast<uint32_t>(b(0)) << 24 | b(1) << 16 | b(2) << 8 | b(3));
  }
}

TUAParameters CheckUAParameters(const PduStr& info) {
  TUAParameters r;
  if (info.empty()) return r;
  auto fail = [](int code) { throw EFrame(Format("Wrong encoding of UA frame info (ErrorCode=%d)", code)); };
  size_t n = info.size(), i = 0;
  if (ByteAt(info, i++) != 0x81) fail(2);
  if (i >= n) fail(1);
  if (ByteAt(info, i++) != 0x80) fail(3);
  if (i >= n) return r;
  size_t groupLength = ByteAt(info, i++);
  if (groupLength != n - i) fail(4);
  while (n - i >= 2) {
    uint8_t id = ByteAt(info, i++);
    if (id < 5 || id > 8) fail(9);
    int len = ByteAt(info, i++);
    if (len != 1 && len != 2 && len != 4) fail(id);
    if (n - i < static_cast<size_t>(len)) fail(1);
    int32_t v = ReadUAValue(info.data() + i, len);
    i += static_cast<size_t>(len);
    switch (id) {
      case 5: r.MaxInfoLengthTransmit = v; break;
      case 6: r.MaxInfoLengthReceive = v; break;
      case 7: r.WindowSizeTransmit = v; break;
      default: r.WindowSizeReceive = v; break;
    }
    r.Present.emplace_back(id, v);
  }
  return r;
}

void TFrame::GetAsStrings(std::vector<std::string>& StringList, int Indent) const {
  std::string outer(static_cast<size_t>(Indent < 0 ? 0 : Indent) * 2, ' ');
  std::string inner = outer + "  ";
  std::vector<std::string> lines;
  lines.push_back(outer + "Frame(");
  std::string line = inner + "Kind:" + FrameKindName(FKind) + ", Dst:'" + AddressText(DstAddress) + "', Src:'" +
                     AddressText(SrcAddress) + "', P/F:" + (PollFinal ? "1" : "0") +
                     ", Seg:" + (Segmented ? "1" : "0");
  if (FKind == fkI || FKind == fkRR || FKind == fkRNR) {
    lines.push_back(line + ",");
    line = inner + Format("N(R):%d", RSequenceNr);
    if (FKind == fkI) line += Format(", N(S):%d", SSequenceNr);
  }
  if (!FData.empty()) {
    lines.push_back(line + ",");
    line = inner + "Info:'" + TMisc::ByteStrToHexStr(FData) + "' size=" + std::to_string(FData.size());
    if (FKind == fkSNRM || FKind == fkUA) {
      static const char* const names[] = {" MaxInfoLengthTransmit=", " MaxInfoLengthReceive=",
                                          " WindowSizeTransmit=", " WindowSizeReceive="};
      line += "(";
      for (const auto& [id, value] : CheckUAParameters(FData).Present) line += names[id - 5] + std::to_string(value);
      line += ")";
    }
  }
  lines.push_back(line);
  lines.push_back(outer + ")");
  StringList.insert(StringList.end(), lines.begin(), lines.end());
}

}  // namespace quillon
