// Pushed frames as a customer port or a bridge delivers them, to the M-Bus
// reader and to the reader that tells M-Bus from HDLC, in pieces of a
// chosen size. Whatever comes: every message given is whole (no longer
// than an APDU can be), a reader holds at most a frame and a message, and
// the same stream gives the same messages and lines however it is cut.
//
// Input: byte 0 is the size of the pieces (1..256), byte 1 picks the
// reader (bit 0: the one that decides the framing); with bit 1 set the
// rest is cut into APDUs (two-byte length each) which the encoder frames
// first, so that the fuzzer reaches the joining of segments too.
#include <algorithm>

#include "FuzzSupport.h"
#include "comm/PushFrames.h"

namespace {

using namespace quillon;

std::unique_ptr<TPushFramer> Reader(bool autoFraming) {
  if (autoFraming) return std::make_unique<TAutoPushReader>();
  return std::make_unique<TMBusPushReader>();
}

// The messages and lines of a stream cut into pieces of `piece` bytes.
std::vector<std::string> Read(std::string_view stream, size_t piece, bool autoFraming, size_t& held) {
  auto reader = Reader(autoFraming);
  std::vector<std::string> events;
  reader->OnNotice = [&](const std::string& n) { events.push_back("notice " + n); };
  auto message = [&](const std::string& m) {
    fuzz::Require(m.size() <= 65535 + 3, "a message longer than an APDU", std::to_string(m.size()));
    events.push_back("message " + m);
  };
  auto error = [&](const std::string& e) { events.push_back("error " + e); };
  for (size_t at = 0; at < stream.size(); at += piece) {
    reader->Feed(stream.substr(at, piece), message, error);
    // A frame (HDLC's is the longest) and a message at most, or what is
    // kept while the framing is not known.
    fuzz::Require(reader->Buffered() <= std::max<size_t>(2051 + 65535 + 3, 65536 + 2051), "a reader holds more than it may",
                  std::to_string(reader->Buffered()));
  }
  held = reader->Held();
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  fuzz::TAllocationBudget budget(size);
  const size_t piece = 1 + data[0];
  const bool autoFraming = data[1] & 1;
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::string framed;
  if (data[1] & 2) {
    // APDUs framed by the encoder, with a segment size from each length's
    // high bits; the reader gives back each one.
    std::vector<std::string> apdus;
    for (size_t at = 0; at + 2 <= rest.size();) {
      const size_t len = std::min<size_t>(static_cast<uint8_t>(rest[at + 1]), rest.size() - at - 2);
      const size_t segment = 1 + static_cast<uint8_t>(rest[at]) % 250;
      apdus.emplace_back(rest.substr(at + 2, len));
      for (const auto& f : MBusLongFrames(apdus.back(), segment)) framed += f;
      at += 2 + len;
    }
    size_t held = 0;
    const auto events = Read(framed, piece, false, held);
    fuzz::Require(events.size() == apdus.size(), "framed APDUs not all given back");
    for (size_t i = 0; i < apdus.size(); ++i)
      fuzz::Require(events[i] == "message " + apdus[i], "an APDU given back changed", events[i]);
    rest = framed;
  }
  size_t heldWhole = 0, heldCut = 0;
  const auto whole = Read(rest, rest.size() + 1, autoFraming, heldWhole);
  const auto cut = Read(rest, piece, autoFraming, heldCut);
  fuzz::Require(whole == cut, "the stream cut otherwise gave other messages or lines");
  fuzz::Require(heldWhole == heldCut, "the stream cut otherwise leaves other bytes held");
  return 0;
}
