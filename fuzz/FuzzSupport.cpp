#include "FuzzSupport.h"

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "xmlpdu/ACSE.h"

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

// The association APDUs read back from XML only the user-information APDUs
// that belong there (the initiate APDUs, their ciphered forms, the confirmed
// service error); any other APDU in that place decodes and is written, and the
// reader then stops before it.
bool UserInformationNotReadBack(const TCOSEMPduBase& tree, const std::string& error) {
  auto* pdu = dynamic_cast<const TChoice*>(&tree);
  auto* acse = pdu ? dynamic_cast<const TACSEApdu*>(pdu->Value.get()) : nullptr;
  if (!acse) return false;
  bool bare = false;
  const auto& fields = acse->ACSESchema().Fields;
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].Xml != axRole && acse->Member(i)) bare = true;
  if (bare && error == Format("Stop tag \"%s\" expected", XMLIdName(acse->XMLId).c_str())) return true;
  // The APDU that stops the reader may sit deeper: user information may
  // carry an ACSE APDU of its own, and that one user information again.
  for (size_t i = 0; i < fields.size(); ++i)
    if (const TCOSEMPduBase* m = acse->Member(i); m && UserInformationNotReadBack(*m, error)) return true;
  return false;
}

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

void CheckTree(const TCOSEMPduBase& tree, TCOSEMPduBaseClass cls, TXMLId id, bool fromBytes) {
  PduStr bytes;
  std::string encodeError;
  try {
    bytes = tree.Encoded();
  } catch (const EGeneralError& e) {
    encodeError = e.what();
  }
  if (!encodeError.empty()) {
    // A tree read from XML may hold a value that has no encoding (a bit
    // string of other characters than 0 and 1). One read from bytes may be an
    // association APDU without a mandatory field, or hold a BER bit string
    // whose length byte is 128 or more: both decode but are refused by the
    // encoder. Either way its XML must be stable.
    auto refusedByEncoder = [&] {
      return (encodeError.starts_with("Field ") && encodeError.ends_with(" missing")) ||
             (encodeError.starts_with("BERBitString: ") && encodeError.ends_with(" do not fit a one-byte length"));
    };
    Require(!fromBytes || refusedByEncoder(), "a tree decoded from bytes does not encode", encodeError);
    std::string xml;
    if (!Expecting([&] { xml = tree.ToXMLString(); })) return;
    PduPtr back;
    // XML without the mandatory field is rightly refused by the reader.
    if (Expecting([&] { back = TCOSEMPduBase::MakeAnyFromXml(id, cls, xml); }))
      Require(back->ToXMLString() == xml, "XML -> tree -> XML changed the XML", xml);
    else
      Require(fromBytes, "own XML does not read back", xml);
    return;
  }
  const std::string hex = TMisc::ByteStrToHexStr(bytes);

  PduPtr again;
  Require(Expecting([&] { again = TCOSEMPduBase::MakeAnyFromPdu(id, cls, bytes); }), "own encoding does not decode",
          hex);
  Require(again->Encoded() == bytes, "bytes -> tree -> bytes changed the bytes", hex);
  PduPtr copy = tree.Clone();
  Require(copy->Encoded() == bytes && copy->EqualType(tree), "a clone differs from its original", hex);

  // Values without a name (an enumeration byte nobody defined) have no XML
  // form; writing them fails with the system's own error, the same each time.
  std::string xml, xmlAgain;
  std::string error, errorAgain;
  try {
    xml = tree.ToXMLString();
  } catch (const EGeneralError& e) {
    error = e.what();
  }
  try {
    xmlAgain = again->ToXMLString();
  } catch (const EGeneralError& e) {
    errorAgain = e.what();
  }
  Require(error == errorAgain && xml == xmlAgain, "bytes -> tree -> XML differs from the first XML", hex);
  if (!error.empty()) return;

  // Some byte forms have no XML of their own (a conformance block of other
  // than 24 bits, an unknown object identifier) and come back from XML in
  // their usual form; from there on bytes and XML must agree.
  PduPtr fromXml;
  try {
    fromXml = TCOSEMPduBase::MakeAnyFromXml(id, cls, xml);
  } catch (const EGeneralError& e) {
    if (UserInformationNotReadBack(tree, e.what())) return;
    Fail("own XML does not read back", xml + e.what());
  }
  Require(fromXml->ToXMLString() == xml, "XML -> tree -> XML changed the XML", xml);
  PduStr usual = fromXml->Encoded();
  PduPtr fromUsual;
  Require(Expecting([&] { fromUsual = TCOSEMPduBase::MakeAnyFromPdu(id, cls, usual); }),
          "the encoding of own XML does not decode", xml);
  Require(fromUsual->ToXMLString() == xml, "XML -> bytes -> XML changed the XML", xml);
  Require(fromUsual->Encoded() == usual, "XML -> bytes -> tree -> bytes changed the bytes", xml);
}

namespace {

// The system's error text of f, empty when f finished.
template <class F>
std::string ErrorText(F&& f) {
  try {
    f();
  } catch (const EGeneralError& e) {
    return e.what();
  } catch (const std::exception& e) {
    Fail("foreign exception escaped", e.what());
  }
  return {};
}

}  // namespace

void FuzzFromBytes(TCOSEMPduBaseClass cls, TXMLId id, const uint8_t* data, size_t size) {
  TAllocationBudget budget(size);
  PduStr in(reinterpret_cast<const char*>(data), size);
  PduPtr tree;
  TStringWrapper treeReader(in), streamReader(in);
  // Bytes -> tree -> XML: a tree may decode and still have no XML (a value
  // without a name), which the direct conversion reports as the same error.
  std::string treeXml;
  const std::string treeError = ErrorText([&] {
    tree = cls->CreateFromPduStr(id, treeReader);
    treeXml = tree->ToXMLString();
  });
  // The XML made straight from the bytes is the tree's XML, or the same
  // error, and leaves the reader at the same place.
  std::string streamed;
  const std::string streamError =
      ErrorText([&] { streamed = TCOSEMPduBase::PduToXMLString(id, cls, streamReader); });
  Require(streamError == treeError, "bytes to XML fails differently from bytes to tree to XML",
          treeError + " / " + streamError);
  if (!tree) return;
  if (treeError.empty()) {
    Require(streamed == treeXml, "bytes to XML differs from the tree's XML", TMisc::ByteStrToHexStr(in));
    Require(streamReader.GetRemainingBytes() == treeReader.GetRemainingBytes(),
            "bytes to XML stops elsewhere than bytes to tree", TMisc::ByteStrToHexStr(in));
  }
  CheckTree(*tree, cls, id, true);
}

void FuzzFromXml(TCOSEMPduBaseClass cls, TXMLId id, const uint8_t* data, size_t size) {
  TAllocationBudget budget(size);
  std::string in(reinterpret_cast<const char*>(data), size);
  PduPtr tree;
  PduStr treeBytes, streamed;
  // The bytes made straight from the XML are the tree's bytes, or the same
  // error.
  const std::string treeError = ErrorText([&] { treeBytes = TCOSEMPduBase::MakeAnyFromXml(id, cls, in)->Encoded(); });
  const std::string streamError = ErrorText([&] { streamed = TCOSEMPduBase::XmlToPduStr(id, cls, in); });
  Require(streamError == treeError && streamed == treeBytes, "XML to bytes differs from XML to tree to bytes",
          treeError + " / " + streamError);
  if (!Expecting([&] { tree = TCOSEMPduBase::MakeAnyFromXml(id, cls, in); })) return;
  std::string cleaned, treeXml;
  bool cleanOk = Expecting([&] { cleaned = TCOSEMPduBase::Clean(id, cls, in); });
  bool xmlOk = Expecting([&] { treeXml = tree->ToXMLString(); });
  Require(cleanOk == xmlOk && cleaned == treeXml, "Clean differs from the tree's XML", in);
  CheckTree(*tree, cls, id, false);
}

}  // namespace quillon::fuzz
