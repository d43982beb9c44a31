// Association and release APDUs (BER): the first byte picks AARQ, AARE, RLRQ
// or RLRE, the rest is the APDU after its tag; decode and round-trip.
#include "FuzzSupport.h"
#include "xmlpdu/ACSE.h"
#include "xmlpdu/Catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::basic_string<uint8_t> apdu(data, size);
  apdu[0] = static_cast<uint8_t>(0x60 + (data[0] & 3));
  quillon::fuzz::FuzzFromBytes(&quillon::T_COSEMpdu::ClassInfo, quillon::xmlIgnore, apdu.data(), apdu.size());
  return 0;
}
