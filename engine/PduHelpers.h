// Small conveniences over the APDU trees that the engine's services share:
// naming what arrived, finding the service inside an APDU, and limits.
#pragma once

#include <memory>
#include <string>

#include "xmlpdu/Make.h"
#include "xmlpdu/infra/LoggingContext.h"

namespace quillon {

// Bounds how much a reassembling transfer collects before it gives up, so a
// server that never sends its last block cannot exhaust memory.
inline constexpr size_t kMaxReassembledSize = 64u * 1024u * 1024u;
void CheckReassembledSize(size_t size);

// Bounds the number of blocks of one transfer, and of blocks that carry no
// data: a server that never sends its last block, or keeps sending empty
// ones, is stopped with a clear error instead of being followed until a
// block number wraps.
inline constexpr int kMaxTransferBlocks = 65536;
inline constexpr int kMaxEmptyBlocks = 16;
class TBlockLimit {
public:
  // Counts one received block holding dataBytes bytes.
  void Count(size_t dataBytes);

private:
  int FBlocks = 0;
  int FEmptyBlocks = 0;
};

// Decodes one element of type T from the front of bytes; trailing tells how
// many bytes followed it.
template <class T>
std::unique_ptr<T> DecodeFront(TXMLId id, const PduStr& bytes, int& trailing) {
  TStringWrapper r(bytes);
  std::unique_ptr<T> result(static_cast<T*>(T::ClassInfo.CreateFromPduStr(id, r).release()));
  trailing = r.GetRemainingBytes();
  return result;
}

// "2 bytes after the end of the APDU": how much followed what.
std::string BytesAfterEndText(int count, const char* what);

// The same for received bytes: what follows the element is accepted, since
// some meters append garbage, but never dropped unseen: one log line says how
// many bytes were ignored after what.
void LogIgnoredBytes(const TLoggingContext& logging, int count, const char* after);
template <class T>
std::unique_ptr<T> DecodeReceived(const TLoggingContext& logging, TXMLId id, const PduStr& bytes, const char* what) {
  int trailing = 0;
  std::unique_ptr<T> result = DecodeFront<T>(id, bytes, trailing);
  LogIgnoredBytes(logging, trailing, what);
  return result;
}

// The FriendlyName of the APDU an element tree holds ("GetResponse"), and of
// the alternative chosen inside a service CHOICE ("GetResponseWithList").
std::string ApduName(const T_COSEMpdu& pdu);
std::string ChoiceName(const TChoice& choice);

// The service CHOICE of an APDU when it is of type T, else null.
template <class T>
T* ServiceOf(const T_COSEMpdu& pdu) {
  return dynamic_cast<T*>(pdu.Value.get());
}

// A ciphered or signed APDU: service-specific glo/ded ciphering or one of the
// general protection APDUs.
bool IsProtectedApdu(const T_COSEMpdu& pdu);

// Two hex digits, as request and result templates write an invoke id.
std::string Hex2(unsigned value);

}  // namespace quillon
