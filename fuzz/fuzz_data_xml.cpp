// Any text offered as the XML of a Data value (object lists and edited values).
#include "FuzzSupport.h"
#include "xmlpdu/Data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillon::fuzz::FuzzFromXml(&quillon::T_Data::ClassInfo, quillon::xmlIgnore, data, size);
  return 0;
}
