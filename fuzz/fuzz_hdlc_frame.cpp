// HDLC frames as they come off the line. With the low bit of the first byte
// set, the harness first makes the length field, HCS and FCS right, so that
// the fuzzer also reaches what lies behind those checks.
#include "FuzzSupport.h"
#include "comm/HDLC.h"
#include "comm/HDLCFrame.h"

namespace {

using quillon::PduStr;

// Position after a frame address starting at i (the byte with bit 0 set ends it).
size_t AddressEnd(const PduStr& s, size_t i) {
  while (i < s.size() && (static_cast<uint8_t>(s[i]) & 1) == 0) ++i;
  return i + 1;
}

void PutFcs(PduStr& s, size_t from, size_t to) {  // FCS over [from, to) written at `to`
  uint16_t f = quillon::HDLCFcs16(s.data() + from, to - from);
  s[to] = static_cast<char>(f & 0xFF);
  s[to + 1] = static_cast<char>(f >> 8);
}

void MakeChecksumsRight(PduStr& s) {
  if (s.size() < 3 || s.size() - 2 > 0x7FF) return;
  s[0] = '\x7E';
  s[1] = static_cast<char>((static_cast<uint8_t>(s[1]) & 0x08) | 0xA0 | ((s.size() - 2) >> 8));
  s[2] = static_cast<char>((s.size() - 2) & 0xFF);
  size_t ctrl = AddressEnd(s, AddressEnd(s, 3));
  if (ctrl + 3 >= s.size()) return;
  PutFcs(s, 1, ctrl + 1);
  if (s.size() - 1 >= ctrl + 5) PutFcs(s, 1, s.size() - 3);
  s.back() = '\x7E';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon;
  if (size == 0) return 0;
  fuzz::TAllocationBudget budget(size);
  PduStr s(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) MakeChecksumsRight(s);
  TProtocolLayerHDLC::IsHDLCPdu(s);
  fuzz::Expecting([&] { CheckUAParameters(s); });

  TFrame f;
  if (!fuzz::Expecting([&] { f.SetFromPduByteStr(s); })) return 0;
  fuzz::Require(TProtocolLayerHDLC::IsHDLCPdu(s), "a frame that decodes is not complete", TMisc::ByteStrToHexStr(s));
  std::vector<std::string> lines;
  // The listing refuses addresses of other sizes than 1, 2 and 4 and SNRM or
  // UA parameters that do not read; its callers catch that. Nothing else.
  auto sizeListed = [](const TFrameAddress& a) { return a.FSize == 1 || a.FSize == 2 || a.FSize == 4; };
  bool listable = sizeListed(f.SrcAddress) && sizeListed(f.DstAddress) &&
                  ((f.Kind() != fkSNRM && f.Kind() != fkUA) || fuzz::Expecting([&] { CheckUAParameters(f.FData); }));
  fuzz::Require(fuzz::Expecting([&] { f.GetAsStrings(lines, 2); }) == listable,
                "a frame listed against the rules for listing", TMisc::ByteStrToHexStr(s));

  // What decodes must encode, and its encoding must decode to the same frame;
  // except that addresses of more than five bytes decode (as zeros) but have
  // no encoding.
  auto sizeEncoded = [](const TFrameAddress& a) { return a.FSize >= 1 && a.FSize <= 5; };
  bool encodable = sizeEncoded(f.SrcAddress) && sizeEncoded(f.DstAddress);
  PduStr again;
  fuzz::Require(fuzz::Expecting([&] { again = f.GetPDUByteStr(); }) == encodable,
                "a decoded frame encodes against the rules for encoding", TMisc::ByteStrToHexStr(s));
  if (!encodable) return 0;
  TFrame g;
  fuzz::Require(fuzz::Expecting([&] { g.SetFromPduByteStr(again); }), "own encoding of a frame does not decode",
                TMisc::ByteStrToHexStr(again));
  fuzz::Require(g.GetPDUByteStr() == again && g.Kind() == f.Kind() && g.FData == f.FData &&
                    g.SrcAddress.FUpper == f.SrcAddress.FUpper && g.SrcAddress.FLower == f.SrcAddress.FLower &&
                    g.DstAddress.FUpper == f.DstAddress.FUpper && g.DstAddress.FLower == f.DstAddress.FLower,
                "frame -> bytes -> frame changed the frame", TMisc::ByteStrToHexStr(s));
  return 0;
}
