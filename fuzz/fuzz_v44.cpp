// V.44 decompression of arbitrary bytes (what a peer may send), and the
// round trip of the same bytes through compression and decompression.
#include "FuzzSupport.h"
#include "security/V44.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon;
  fuzz::TAllocationBudget budget(size);
  std::string_view in(reinterpret_cast<const char*>(data), size);
  PduStr inflated;
  if (fuzz::Expecting([&] { inflated = V44Inflate(in); })) {
    PduStr again;
    fuzz::Require(fuzz::Expecting([&] { again = V44Inflate(V44Deflate(inflated)); }),
                  "inflated bytes do not survive deflate and inflate", TMisc::ByteStrToHexStr(inflated));
    fuzz::Require(again == inflated, "deflate then inflate changed inflated bytes", TMisc::ByteStrToHexStr(inflated));
  }
  PduStr packed, unpacked;
  fuzz::Require(fuzz::Expecting([&] { packed = V44Deflate(in); }), "deflate failed", TMisc::ByteStrToHexStr(in));
  fuzz::Require(fuzz::Expecting([&] { unpacked = V44Inflate(packed); }), "own deflate output does not inflate",
                TMisc::ByteStrToHexStr(in));
  fuzz::Require(unpacked == in, "deflate then inflate changed the bytes", TMisc::ByteStrToHexStr(in));
  return 0;
}
