// Joining a push's general-block-transfer blocks and naming what they carry:
// whatever the blocks, the joiner holds no more than its bounds, never hands
// out half a series, and the joined bytes decode or fail cleanly; a list
// that names its values is named without reading outside it.
//
// Input: blocks, each after its length in one byte (0 ends the input); a
// block's first byte is made E0 when the input's first byte is odd, so that
// most blocks are taken as blocks.
#include "FuzzSupport.h"
#include "client/Push.h"
#include "xmlpdu/Make.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::TAllocationBudget budget(size);
  client::TBlockJoiner::TLimits limits;
  limits.MaxBlocks = 8;
  limits.MaxBytes = 512;
  limits.Deadline = std::chrono::seconds(5);
  client::TBlockJoiner joiner(limits);
  const bool forceTag = (data[0] & 1) != 0;
  auto now = client::TBlockJoiner::TClock::time_point{};
  size_t at = 1;
  while (at < size) {
    const size_t n = data[at++];
    if (n == 0 || at + n > size) break;
    std::string block(reinterpret_cast<const char*>(data) + at, n);
    at += n;
    if (forceTag) block[0] = static_cast<char>(client::kGeneralBlockTransferTag);
    now += std::chrono::seconds(1);
    std::optional<std::string> whole;
    try {
      whole = joiner.Add(block, now);
    } catch (const std::exception&) {
      fuzz::Require(!joiner.Pending() || joiner.Held() <= limits.MaxBytes, "a broken series held beyond its bounds");
      continue;
    }
    fuzz::Require(joiner.Held() <= limits.MaxBytes, "a series held beyond its bounds");
    if (!whole) continue;
    fuzz::Require(!joiner.Pending(), "a series handed out and still pending");
    fuzz::Require(whole->size() <= limits.MaxBytes, "a joined APDU beyond the bound");
    try {
      TStringWrapper r(*whole);
      auto d = TMake::DataFromReader(r);
      const client::TValue v = client::ParseDataXml(d->ToXMLString());
      if (auto named = client::SelfNamed(v)) (void)client::NamedValuesJson(*named);
    } catch (const std::exception&) {
    }
    (void)joiner.Expire(now + std::chrono::seconds(10));
  }
  return 0;
}
