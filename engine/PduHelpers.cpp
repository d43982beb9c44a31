#include "engine/PduHelpers.h"

namespace quillon {

void CheckReassembledSize(size_t size) {
  if (size > kMaxReassembledSize)
    RaiseGeneral(Format("Response longer than %u bytes", static_cast<unsigned>(kMaxReassembledSize)));
}

void TBlockLimit::Count(size_t dataBytes) {
  if (++FBlocks > kMaxTransferBlocks) RaiseGeneral(Format("Block transfer longer than %d blocks", kMaxTransferBlocks));
  if (dataBytes == 0 && ++FEmptyBlocks > kMaxEmptyBlocks)
    RaiseGeneral(Format("Block transfer with more than %d blocks without data", kMaxEmptyBlocks));
}

std::string BytesAfterEndText(int count, const char* what) {
  return Format("%d %s after the end of the %s", count, count == 1 ? "byte" : "bytes", what);
}

void LogIgnoredBytes(const TLoggingContext& logging, int count, const char* after) {
  if (count > 0) logging.LogString(BytesAfterEndText(count, after) + " ignored");
}

std::string ApduName(const T_COSEMpdu& pdu) { return pdu.Value ? pdu.Value->FriendlyName() : pdu.FriendlyName(); }

std::string ChoiceName(const TChoice& choice) {
  return choice.Value ? choice.Value->FriendlyName() : choice.FriendlyName();
}

bool IsProtectedApdu(const T_COSEMpdu& pdu) {
  const int tag = pdu.Tag;
  return (tag >= 33 && tag <= 88) || (tag >= 200 && tag <= 215) || tag == 219 || tag == 220 || tag == 221 ||
         tag == 223;
}

std::string Hex2(unsigned value) { return TMisc::IntToHex(value & 0xFF, 2); }

}  // namespace quillon
