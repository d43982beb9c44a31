#include "FuzzSupport.h"

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace quillon::fuzz {

namespace {

std::atomic<bool> gArmed{false};
std::atomic<int64_t> gLive{0};
std::atomic<int64_t> gPeak{0};
std::atomic<int64_t> gLimit{0};

void OnMalloc(const volatile void*, size_t size) {
  if (!gArmed.load(std::memory_order_relaxed)) return;
  int64_t live = gLive.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed) + static_cast<int64_t>(size);
  int64_t peak = gPeak.load(std::memory_order_relaxed);
  while (live > peak && !gPeak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
  if (live > gLimit.load(std::memory_order_relaxed)) {
    gArmed = false;
    std::fprintf(stderr, "==quillon-fuzz== allocation budget exceeded: %lld bytes live, limit %lld\n",
                 static_cast<long long>(live), static_cast<long long>(gLimit.load()));
    std::abort();
  }
}

void OnFree(const volatile void* p) {
  if (!p || !gArmed.load(std::memory_order_relaxed)) return;
  // Blocks allocated before arming may be freed now; never count below zero.
  int64_t size = static_cast<int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(p)));
  int64_t live = gLive.load(std::memory_order_relaxed);
  while (!gLive.compare_exchange_weak(live, std::max<int64_t>(0, live - size), std::memory_order_relaxed)) {
  }
}

const bool gHooksInstalled = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;

}  // namespace

TAllocationBudget::TAllocationBudget(size_t inputSize) {
  if (!gHooksInstalled) Fail("allocation hooks could not be installed");
  gLive = 0;
  gPeak = 0;
  gLimit = static_cast<int64_t>(kBudgetBase + kBudgetPerInputByte * inputSize);
  gArmed = true;
}

TAllocationBudget::~TAllocationBudget() { gArmed = false; }

size_t TAllocationBudget::Peak() { return static_cast<size_t>(gPeak.load()); }

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "==quillon-fuzz== %s\n%s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

void CheckTree(const TCOSEMPduBase& tree, TCOSEMPduBaseClass cls, TXMLId id) {
  PduStr bytes;
  std::string xml;
  Require(Expecting([&] { bytes = tree.Encoded(); }), "a decoded tree does not encode", tree.ToXMLString());
  Require(Expecting([&] { xml = tree.ToXMLString(); }), "a decoded tree does not write XML");

  PduPtr again;
  Require(Expecting([&] { again = TCOSEMPduBase::MakeAnyFromPdu(id, cls, bytes); }),
          "own encoding does not decode", TMisc::ByteStrToHexStr(bytes));
  Require(again->Encoded() == bytes, "bytes -> tree -> bytes changed the bytes", TMisc::ByteStrToHexStr(bytes));
  Require(again->ToXMLString() == xml, "bytes -> tree -> XML differs from the first XML", xml);

  PduPtr fromXml;
  Require(Expecting([&] { fromXml = TCOSEMPduBase::MakeAnyFromXml(id, cls, xml); }), "own XML does not read back",
          xml);
  Require(fromXml->ToXMLString() == xml, "XML -> tree -> XML changed the XML", xml);
  Require(fromXml->Encoded() == bytes, "XML -> tree -> bytes differs from the encoding", xml);

  PduPtr copy = tree.Clone();
  Require(copy->Encoded() == bytes && copy->EqualType(tree), "a clone differs from its original", xml);
}

void FuzzFromBytes(TCOSEMPduBaseClass cls, TXMLId id, const uint8_t* data, size_t size) {
  TAllocationBudget budget(size);
  PduStr in(reinterpret_cast<const char*>(data), size);
  PduPtr tree;
  if (!Expecting([&] { tree = TCOSEMPduBase::MakeAnyFromPdu(id, cls, in); })) return;
  CheckTree(*tree, cls, id);
}

void FuzzFromXml(TCOSEMPduBaseClass cls, TXMLId id, const uint8_t* data, size_t size) {
  TAllocationBudget budget(size);
  std::string in(reinterpret_cast<const char*>(data), size);
  PduPtr tree;
  if (!Expecting([&] { tree = TCOSEMPduBase::MakeAnyFromXml(id, cls, in); })) return;
  std::string cleaned;
  Require(Expecting([&] { cleaned = TCOSEMPduBase::Clean(id, cls, in); }), "Clean fails where reading succeeded", in);
  Require(cleaned == tree->ToXMLString(), "Clean differs from the tree's XML", in);
  CheckTree(*tree, cls, id);
}

}  // namespace quillon::fuzz
