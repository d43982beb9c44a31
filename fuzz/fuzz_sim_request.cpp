// The meter simulator's association and application layers, serving
// arbitrary requests from a client: every request gets an answer (or
// silence) and never an escaping exception, since one would end the
// simulator's connection thread.
//
// Input: one byte of settings, then the requests, each as a two-byte
// big-endian length and that many bytes (the last one may be short).
//   bits 0..1  the client address: 16 (LN), 48 (SN), 32 (LN ciphered), 17 (LN password)
//   bit 2      an association is opened for the client first (16 and 48)
#include "FuzzSupport.h"
#include "tools/meter-sim/SimAssociation.h"

extern const char* const kQuillonDefaultMeterModel;

namespace {

using quillon::PduStr;
using quillon::TMisc;

// AARQ without authentication, with the InitiateRequest of a client that
// proposes the conformance block 00 7E 1F and a 65535-byte PDU size.
PduStr Aarq(bool logicalNames) {
  return TMisc::HexStrToByteStr(std::string("601DA109060760857405080101").replace(25, 1, logicalNames ? "1" : "2") +
                                "BE10040E01000000065F1F0400007E1FFFFF");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon;
  if (size < 1) return 0;
  // One meter for all inputs, as one meter serves client after client:
  // values written by one input stay for the next (loading the model for
  // every input would cost a thousand times the request handling).
  static sim::TSimModel model = [] {
    sim::TSimModel m;
    m.Load(kQuillonDefaultMeterModel);
    return m;
  }();
  // Built in place: the association hands its own address to its server.
  static std::unique_ptr<sim::TSimAssociation> served = [] {
    auto a = std::make_unique<sim::TSimAssociation>(model, sim::TSimSecurity{});
    a->Configure(kQuillonDefaultMeterModel);
    return a;
  }();
  sim::TSimAssociation& assoc = *served;
  assoc.Reset();  // a new connection
  fuzz::TAllocationBudget budget(size);
  static const int kClients[] = {16, 48, 32, 17};
  const int client = kClients[data[0] & 3];
  auto handle = [&](const PduStr& request) {
    try {
      (void)assoc.Handle(client, request);
    } catch (const std::exception& e) {
      fuzz::Fail("an exception escaped the simulator", e.what());
    }
  };
  if ((data[0] & 4) && (client == 16 || client == 48)) {
    handle(Aarq(client == 16));
    fuzz::Require(assoc.Associated(), "the fixed association request was refused");
  }
  const uint8_t* pos = data + 1;
  const uint8_t* end = data + size;
  while (end - pos >= 2) {
    size_t n = static_cast<size_t>(pos[0] << 8 | pos[1]);
    pos += 2;
    n = std::min(n, static_cast<size_t>(end - pos));
    handle(PduStr(reinterpret_cast<const char*>(pos), n));
    pos += n;
  }
  return 0;
}
