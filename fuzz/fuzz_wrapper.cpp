// Wrapper frames: the completeness test the byte layers call on every
// received byte, the header reader and the listing, and the payload of a
// wrapper frame given as hex text.
#include "FuzzSupport.h"
#include "comm/Wrapper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon;
  fuzz::TAllocationBudget budget(size);
  PduStr s(reinterpret_cast<const char*>(data), size);
  bool complete = TProtocolLayerWrapper::IsWPdu(s);
  THeaderHelper h = THeaderHelper::FromBytes(s);
  if (complete) {
    fuzz::Require(h.H.Version == 1 && s.size() >= 8u + h.H.DataLength, "a short frame counted as complete",
                  TMisc::ByteStrToHexStr(s));
    fuzz::Require(h.Bytes() == s.substr(0, 8), "header bytes -> header -> bytes changed them",
                  TMisc::ByteStrToHexStr(s));
  }
  // One byte short of header plus announced length is incomplete: the byte
  // layers must keep reading.
  if (complete && h.H.DataLength > 0)
    fuzz::Require(!TProtocolLayerWrapper::IsWPdu(s.substr(0, 8u + h.H.DataLength - 1)),
                  "a frame one byte short counted as complete", TMisc::ByteStrToHexStr(s));
  std::vector<std::string> lines;
  TProtocolLayerWrapper::WPduGetAsStrings(s, lines, 2);
  fuzz::Require(lines.size() == 4, "a wrapper listing is not four lines");
  fuzz::Expecting([&] { TProtocolLayerWrapper::GetHexAPduPayLoad(s); });
  return 0;
}
