// Any byte string offered as a Data value (attribute values come this way).
#include "FuzzSupport.h"
#include "xmlpdu/Data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillon::fuzz::FuzzFromBytes(&quillon::T_Data::ClassInfo, quillon::xmlIgnore, data, size);
  return 0;
}
