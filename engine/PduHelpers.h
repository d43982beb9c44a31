// Small conveniences over the APDU trees that the engine's services share:
// naming what arrived, finding the service inside an APDU, and limits.
#pragma once

#include <memory>
#include <string>

#include "xmlpdu/Make.h"

namespace quillon {

// Bounds how much a reassembling transfer collects before it gives up, so a
// server that never sends its last block cannot exhaust memory.
inline constexpr size_t kMaxReassembledSize = 64u * 1024u * 1024u;
void CheckReassembledSize(size_t size);

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
