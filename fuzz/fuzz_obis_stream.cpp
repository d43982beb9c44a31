// The OBIS description stream (what the program reads from its resource or
// a database file): load, and what loads must save to a stream that loads to
// the same stream again and answers look-ups.
#include "FuzzSupport.h"
#include "knowledge/OBISData.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon;
  fuzz::TAllocationBudget budget(size);
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<TOBISData> db;
  if (!fuzz::Expecting([&] { db = TOBISData::CreateFromStream(in); })) return 0;
  PduStr saved;
  fuzz::Require(fuzz::Expecting([&] { saved = db->SaveToStream(); }), "a loaded database does not save");
  std::unique_ptr<TOBISData> again;
  fuzz::Require(fuzz::Expecting([&] { again = TOBISData::CreateFromStream(saved); }),
                "a saved database does not load", TMisc::ByteStrToHexStr(saved));
  fuzz::Require(again->SaveToStream() == saved, "load -> save -> load -> save changed the stream");
  // Look-ups with logical names taken from the input itself.
  for (size_t i = 0; i + 6 <= size && i < 64; i += 6) {
    std::string_view ln = in.substr(i, 6);
    std::string a, b;
    fuzz::Expecting([&] { a = db->GetOBISTextOfLogicalName(ln); });
    fuzz::Expecting([&] { b = again->GetOBISTextOfLogicalName(ln); });
    fuzz::Require(a == b, "a saved database describes a code otherwise", TMisc::ByteStrToHexStr(ln));
  }
  return 0;
}
