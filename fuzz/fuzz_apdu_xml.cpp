// Any text offered as the XML of an APDU: read, clean, and round-trip what reads.
#include "FuzzSupport.h"
#include "xmlpdu/Catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillon::fuzz::FuzzFromXml(&quillon::T_COSEMpdu::ClassInfo, quillon::xmlIgnore, data, size);
  return 0;
}
