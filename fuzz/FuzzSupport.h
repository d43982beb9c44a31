// Shared pieces of the libFuzzer harnesses: the allocation budget that turns
// "a hostile length made us allocate far more than the input" into a crash the
// fuzzer can report, the check that aborts on a broken invariant, and the
// round trips that every PDU harness runs on what it managed to decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xmlpdu/infra/PduBase.h"

namespace quillon::fuzz {

// While one of these lives, the bytes held by live heap blocks may not exceed
// kBudgetBase + kBudgetPerInputByte * inputSize; beyond that the process
// aborts with a report. A decoded tree costs a few hundred bytes per input byte
// at most (one node per one-byte Data value), so a hostile count shows up as
// orders of magnitude above this line.
inline constexpr size_t kBudgetBase = size_t{4} << 20;
inline constexpr size_t kBudgetPerInputByte = 1024;

class TAllocationBudget {
public:
  explicit TAllocationBudget(size_t inputSize);
  ~TAllocationBudget();
  TAllocationBudget(const TAllocationBudget&) = delete;
  TAllocationBudget& operator=(const TAllocationBudget&) = delete;
  // Largest number of live bytes seen while this budget was armed.
  static size_t Peak();
};

// A broken invariant: print what and abort so that libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what, const std::string& detail = {});
inline void Require(bool cond, const char* what, const std::string& detail = {}) {
  if (!cond) Fail(what, detail);
}

// Runs f; the system's own errors are the expected answer to bad input, every
// other exception is a fault. Returns true when f finished without error.
template <class F>
bool Expecting(F&& f) {
  try {
    f();
    return true;
  } catch (const EGeneralError&) {
    return false;
  } catch (const std::exception& e) {
    Fail("foreign exception escaped", e.what());
  }
}

// Whatever decodes from bytes must encode and decode again to the same bytes
// and XML; its XML must read back to the same XML, and the bytes of that must
// decode to the same XML and bytes again. A tree read from XML may fail to
// encode, with the system's own error only.
void CheckTree(const TCOSEMPduBase& tree, TCOSEMPduBaseClass cls, TXMLId id, bool fromBytes);

// Bytes -> tree, then CheckTree.
void FuzzFromBytes(TCOSEMPduBaseClass cls, TXMLId id, const uint8_t* data, size_t size);
// XML -> tree (and Clean, which must give the tree's XML), then CheckTree.
void FuzzFromXml(TCOSEMPduBaseClass cls, TXMLId id, const uint8_t* data, size_t size);

}  // namespace quillon::fuzz
