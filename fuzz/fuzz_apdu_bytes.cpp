// Any byte string offered as an APDU: decode, and round-trip what decodes.
#include "FuzzSupport.h"
#include "xmlpdu/Catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillon::fuzz::FuzzFromBytes(&quillon::T_COSEMpdu::ClassInfo, quillon::xmlIgnore, data, size);
  return 0;
}
