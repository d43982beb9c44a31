// The simulator as an outside client meets it through the engine: the object
// list's access rights say what reads and writes do, the current association
// object describes the association that reads it, a profile's history does
// not move, requests the meter cannot decode or decipher are answered, and
// invocation counters are remembered per client across connections.
#include <gtest/gtest.h>

#include <atomic>

#include "Harness.h"

using namespace quillon;
using namespace quillon::e2e;

namespace {

class MeterBehaviour : public ::testing::Test, public TE2ESession {
protected:
  void TearDown() override { Stop(); }

  // The Data of a successful read, or nullptr with the access error in `error`.
  std::unique_ptr<T_Data> Read(const std::string& request, std::string* error = nullptr) {
    EXPECT_EQ(ReadAttributes(&ctx, request.c_str()), 0) << Result();
    std::string xml = Result();
    size_t open = xml.find("<Data>"), close = xml.rfind("</Data>");
    if (open == std::string::npos || close == std::string::npos) {
      if (error) *error = AccessError(xml);
      return nullptr;
    }
    return MakeFromXml<T_Data>(xmlIgnore, xml.substr(open + 6, close - open - 6));
  }

  static std::string AccessError(const std::string& xml) {
    size_t p = xml.find("<DataAccessError Value=\"");
    if (p == std::string::npos) return xml;
    p += 24;
    return xml.substr(p, xml.find('"', p) - p);
  }

  static std::string Inner(const std::string& xml) {
    size_t open = xml.find("<Data>"), close = xml.rfind("</Data>");
    return open == std::string::npos ? std::string() : xml.substr(open + 6, close - open - 6);
  }
};

T_Data* Item(T_Data* d, int i) {
  if (!d || (d->Tag != 1 && d->Tag != 2)) return nullptr;
  auto* list = static_cast<TSequenceOf*>(d->Value.get());
  return i < list->ElementCount() ? static_cast<T_Data*>(list->GetElements(i)) : nullptr;
}
int Count(T_Data* d) { return d && (d->Tag == 1 || d->Tag == 2) ? static_cast<TSequenceOf*>(d->Value.get())->ElementCount() : 0; }
int64_t Int(T_Data* d) {
  auto* n = d ? dynamic_cast<TNumericBase*>(d->Value.get()) : nullptr;
  if (!n) return -1;
  return d->Tag == 15 ? static_cast<int8_t>(n->Bits()) : d->Tag == 16 ? static_cast<int16_t>(n->Bits()) : static_cast<int64_t>(n->Bits());
}
PduStr Octets(T_Data* d) {
  auto* o = d ? dynamic_cast<TOctetString*>(d->Value.get()) : nullptr;
  return o ? o->Value : PduStr("?");
}
std::string Hex6(const PduStr& ln) { return TMisc::ByteStrToHexStr(ln); }
std::string Hex4(int v) { return TMisc::IntToHex(static_cast<uint32_t>(v), 4); }
std::string Hex2(int v) { return TMisc::IntToHex(static_cast<uint32_t>(v), 2); }

// Every attribute of every object listed, read as the list's access rights
// announce; under logical names each value read is also written back, which
// succeeds exactly where the list grants write access.
TEST_F(MeterBehaviour, ObjectListAnnouncesWhatReadsAndWritesDo) {
  ProfileEntries = 50;  // whole buffers are read: keep them short
  Start(TCase{"", pWrapper, true, 1, false});
  ASSERT_EQ(EstablishAA(&ctx), 0) << Result();
  auto list = Read(GetNormal("000F", "0000280000FF", "02"));
  ASSERT_TRUE(list);
  ASSERT_GT(Count(list.get()), 25);
  int reads = 0, writes = 0, denied = 0;
  for (int i = 0; i < Count(list.get()); ++i) {
    T_Data* entry = Item(list.get(), i);
    int cls = static_cast<int>(Int(Item(entry, 0)));
    std::string ln = Hex6(Octets(Item(entry, 2)));
    SCOPED_TRACE("class " + std::to_string(cls) + " " + ln);
    EXPECT_NE(cls, 12) << "the short-name association object is listed under logical names";
    T_Data* attributes = Item(Item(entry, 3), 0);
    for (int a = 0; a < Count(attributes); ++a) {
      T_Data* access = Item(attributes, a);
      int id = static_cast<int>(Int(Item(access, 0)));
      int mode = static_cast<int>(Int(Item(access, 1)));
      ASSERT_EQ(id, a + 1);
      std::string error;
      ReadAttributes(&ctx, GetNormal(Hex4(cls).c_str(), ln.c_str(), Hex2(id).c_str()).c_str());
      std::string read = Result();
      if (mode & 1) {
        EXPECT_EQ(read.find("DataAccessError"), std::string::npos) << "attribute " << id << ": " << read.substr(0, 300);
        ++reads;
      } else {
        EXPECT_EQ(AccessError(read), "ReadWriteDenied") << "attribute " << id;
        ++denied;
        continue;
      }
      // Long buffers are read-only and too long to send back usefully.
      std::string value = Inner(read);
      if (value.empty() || value.size() > 4000) continue;
      std::string set = "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"" +
                        Hex4(cls) + "\" /><InstanceId Value=\"" + ln + "\" /><AttributeId Value=\"" + Hex2(id) +
                        "\" /></AttributeDescriptor><Value>" + value + "</Value></SetRequestNormal>";
      ASSERT_EQ(WriteAttributes(&ctx, set.c_str()), 0) << Result();
      EXPECT_NE(Result().find(mode & 2 ? "<Result Value=\"Success\" />" : "<Result Value=\"ReadWriteDenied\" />"),
                std::string::npos)
          << "attribute " << id << " mode " << mode << ": " << Result();
      writes += (mode & 2) != 0;
    }
    // One past the last listed attribute does not exist.
    ReadAttributes(&ctx, GetNormal(Hex4(cls).c_str(), ln.c_str(), Hex2(Count(attributes) + 1).c_str()).c_str());
    EXPECT_EQ(AccessError(Result()), "ObjectUndefined");
  }
  EXPECT_GT(reads, 100);
  EXPECT_GT(writes, 10);
  EXPECT_GT(denied, 0);  // the association's secret, at least
  ReadAttributes(&ctx, GetNormal("000C", "0000280000FF", "02").c_str());
  EXPECT_EQ(AccessError(Result()), "ObjectUndefined");
  ASSERT_EQ(ReleaseAA(&ctx), 0) << Result();
}

// The same under short names: base names from the association's object list
// (attribute 2), access rights from its access rights list (attribute 3).
TEST_F(MeterBehaviour, ShortNameAccessRightsListAnnouncesWhatReadsDo) {
  ProfileEntries = 50;
  Start(TCase{"", pWrapper, false, 1, false});
  ASSERT_EQ(EstablishAA(&ctx), 0) << Result();
  auto names = Read(GetNormal("000C", "0000280000FF", "02"));
  auto rights = Read(GetNormal("000C", "0000280000FF", "03"));
  ASSERT_TRUE(names && rights);
  ASSERT_EQ(Count(names.get()), Count(rights.get()));
  std::map<int, std::pair<int, PduStr>> byBase;
  for (int i = 0; i < Count(names.get()); ++i) {
    T_Data* e = Item(names.get(), i);
    int base = static_cast<uint16_t>(Int(Item(e, 0)));
    int cls = static_cast<int>(Int(Item(e, 1)));
    EXPECT_NE(cls, 15) << "the logical-name association object is listed under short names";
    harness.BaseNames[{cls, Octets(Item(e, 3))}] = base;
    byBase[base] = {cls, Octets(Item(e, 3))};
  }
  int reads = 0, denied = 0;
  for (int i = 0; i < Count(rights.get()); ++i) {
    T_Data* e = Item(rights.get(), i);
    auto it = byBase.find(static_cast<uint16_t>(Int(Item(e, 0))));
    ASSERT_NE(it, byBase.end());
    auto [cls, ln] = it->second;
    T_Data* attributes = Item(e, 1);
    for (int a = 0; a < Count(attributes); ++a) {
      int id = static_cast<int>(Int(Item(Item(attributes, a), 0)));
      int mode = static_cast<int>(Int(Item(Item(attributes, a), 1)));
      ReadAttributes(&ctx, GetNormal(Hex4(cls).c_str(), Hex6(ln).c_str(), Hex2(id).c_str()).c_str());
      if (mode & 1) {
        EXPECT_EQ(Result().find("DataAccessError"), std::string::npos) << Hex6(ln) << "/" << id << ": " << Result().substr(0, 300);
        ++reads;
      } else {
        EXPECT_EQ(AccessError(Result()), "ReadWriteDenied") << Hex6(ln) << "/" << id;
        ++denied;
      }
    }
  }
  EXPECT_GT(reads, 100);
  ASSERT_EQ(ReleaseAA(&ctx), 0) << Result();
}

struct TAssociationCase {
  const char* Name;
  int Client;
  int Mechanism;
  bool Ciphered;
};

class CurrentAssociation : public MeterBehaviour, public ::testing::WithParamInterface<TAssociationCase> {};

// The current association object names the client, context, mechanism,
// conformance and PDU sizes of the association that reads it.
TEST_P(CurrentAssociation, DescribesTheAssociationThatReadsIt) {
  const TAssociationCase& c = GetParam();
  ClientAddress = c.Client;
  Start(TCase{"", pWrapper, true, c.Mechanism, c.Ciphered});
  ASSERT_EQ(EstablishAA(&ctx), 0) << Result();
  auto partners = Read(GetNormal("000F", "0000280000FF", "03"));
  EXPECT_EQ(Int(Item(partners.get(), 0)), c.Client);
  EXPECT_EQ(Int(Item(partners.get(), 1)), 1);
  auto context = Read(GetNormal("000F", "0000280000FF", "04"));
  EXPECT_EQ(TMisc::ByteStrToHexStr(Octets(context.get())), c.Ciphered ? "60857405080103" : "60857405080101");
  auto mechanism = Read(GetNormal("000F", "0000280000FF", "06"));
  EXPECT_EQ(TMisc::ByteStrToHexStr(Octets(mechanism.get())), "608574050802" + Hex2(c.Mechanism - 1));
  auto xdlms = Read(GetNormal("000F", "0000280000FF", "05"));
  ASSERT_EQ(Count(xdlms.get()), 6);
  std::string bits(24, '0');
  for (int k = 0; k < 24; ++k)
    if (ctx.NegotiatedConformance & (1u << k)) bits[static_cast<size_t>(k)] = '1';
  EXPECT_EQ(static_cast<TBitStr*>(Item(xdlms.get(), 0)->Value.get())->Value, bits);
  EXPECT_EQ(bits[17], '1');  // access, granted at association
  EXPECT_EQ(Int(Item(xdlms.get(), 1)), ctx.NegotiatedMaxPduSize);
  EXPECT_EQ(Int(Item(xdlms.get(), 2)), ctx.ClientMaxReceivePDUSize);
  EXPECT_EQ(Int(Item(xdlms.get(), 3)), 6);
  auto setup = Read(GetNormal("000F", "0000280000FF", "09"));
  EXPECT_EQ(TMisc::ByteStrToHexStr(Octets(setup.get())), "00002B0000FF");
  ASSERT_EQ(ReleaseAA(&ctx), 0) << Result();
}

const TAssociationCase kAssociations[] = {
    {"Client17Low", 17, 2, false},
    {"Client20Gmac", 20, 6, false},
    {"Client33CipheredGmac", 33, 6, true},
    {"Client21Sha256", 21, 7, false},
};

INSTANTIATE_TEST_SUITE_P(Clients, CurrentAssociation, ::testing::ValuesIn(kAssociations),
                         [](const ::testing::TestParamInfo<TAssociationCase>& i) { return std::string(i.param.Name); });

// The same range read twice, 25 minutes of meter time apart: the same rows,
// exactly the entries stamped inside the range.
TEST_F(MeterBehaviour, ProfileRangeReadsTheSameLater) {
  Start(TCase{"", pWrapper, true, 1, false});
  ASSERT_EQ(EstablishAA(&ctx), 0) << Result();
  auto setClock = [&](const char* dateTime) {
    std::string set =
        "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0008\" />"
        "<InstanceId Value=\"0000010000FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>"
        "<Value><OctetString Value=\"" + std::string(dateTime) + "\" /></Value></SetRequestNormal>";
    ASSERT_EQ(WriteAttributes(&ctx, set.c_str()), 0) << Result();
  };
  // Load profile 2: ten-minute entries of voltages, currents, power and frequency.
  std::string range =
      "<AccessSelection><AccessSelector Value=\"01\" /><AccessParameters><Structure Qty=\"0004\">"
      "<Structure Qty=\"0004\"><LongUnsigned Value=\"0008\" /><OctetString Value=\"0000010000FF\" />"
      "<Integer Value=\"02\" /><LongUnsigned Value=\"0000\" /></Structure>"
      "<OctetString Value=\"07EA0C0A04060A0000000000\" /><OctetString Value=\"07EA0C0A04080A0000000000\" />"
      "<Array Qty=\"0000\"></Array></Structure></AccessParameters></AccessSelection>";
  setClock("07EA0C0A040C000000000000");  // 12:00
  auto first = Read(GetNormal("0007", "0100630200FF", "02", range));
  std::string firstXml = Result();
  ASSERT_TRUE(first);
  // 06:10 to 08:10 inclusive, every ten minutes: 13 entries.
  ASSERT_EQ(Count(first.get()), 13);
  EXPECT_EQ(TMisc::ByteStrToHexStr(Octets(Item(Item(first.get(), 0), 0))), "07EA0C0A04060A0000000000");
  EXPECT_EQ(TMisc::ByteStrToHexStr(Octets(Item(Item(first.get(), 12), 0))), "07EA0C0A04080A0000000000");
  for (int r = 0; r < 13; ++r) {
    T_Data* row = Item(first.get(), r);
    ASSERT_EQ(Count(row), 9);
    // Voltages in tenths of a volt, plausible for a 230 V supply.
    for (int v = 1; v <= 3; ++v) {
      EXPECT_GT(Int(Item(row, v)), 2150);
      EXPECT_LT(Int(Item(row, v)), 2450);
    }
  }
  setClock("07EA0C0A040C190000000000");  // 12:25
  Read(GetNormal("0007", "0100630200FF", "02", range));
  EXPECT_EQ(Result(), firstXml);
  ASSERT_EQ(ReleaseAA(&ctx), 0) << Result();
}

// A request the meter cannot decode, and one it cannot decipher, each get
// their answer at once, and the association goes on.
class UnreadableRequest : public MeterBehaviour,
                          public ::testing::WithParamInterface<std::tuple<bool, const char*, const char*>> {};

TEST_P(UnreadableRequest, IsAnsweredAndTheAssociationGoesOn) {
  auto [ciphered, request, expected] = GetParam();
  Start(TCase{"", pWrapper, true, 1, ciphered});
  ASSERT_EQ(EstablishAA(&ctx), 0) << Result();
  PduStr answer;
  harness.Mid->SendReceiveData(harness.Client, harness.Server, TMisc::HexStrToByteStr(request), answer);
  EXPECT_EQ(TMisc::ByteStrToHexStr(answer), expected);
  EXPECT_TRUE(assoc->Associated());
  ASSERT_TRUE(Read(GetNormal("0001", "0000600100FF", "02"))) << Result();
  ASSERT_EQ(ReleaseAA(&ctx), 0) << Result();
}

INSTANTIATE_TEST_SUITE_P(
    Requests, UnreadableRequest,
    ::testing::Values(
        // A GET whose attribute descriptor breaks off: service unknown.
        std::make_tuple(false, "C001C100030100", "D80202"),
        // A glo-get-request whose ciphertext does not authenticate: deciphering error.
        std::make_tuple(true, "C81E3000000001C0A1B2C3D4E5F60718293A4B5C6D7E8F900011223344556677", "D80105")));

std::atomic<uint32_t> gCounter{0};
uint32_t NextCounter() { return gCounter++; }

// The meter remembers each client's invocation counter across connections
// and refuses a client that starts again from a lower one; a client it has
// not heard yet must start at the first counter it was told to take.
TEST_F(MeterBehaviour, InvocationCountersAreRememberedPerClient) {
  Start(TCase{"", pWrapper, true, 1, true});
  ctx.GetNextInvocationCounterFunc = &NextCounter;
  auto session = [&](uint32_t counter) {
    gCounter = counter;
    int r = EstablishAA(&ctx);
    std::string result = Result();
    if (r == 0) {
      EXPECT_TRUE(Read(GetNormal("0001", "0000600100FF", "02")));
      EXPECT_EQ(ReleaseAA(&ctx), 0) << Result();
    } else {
      ctx.RLRQSupported = 0;
      ReleaseAA(&ctx);
      ctx.RLRQSupported = 1;
    }
    harness.Mid->Disconnect();
    harness.Mid->Connect(harness.Client, harness.Server);
    return r == 0 ? std::string("accepted") : result;
  };
  EXPECT_EQ(session(100), "accepted");
  EXPECT_EQ(session(1), "Association is not \"accepted\"");  // a new connection, the counter restarted
  EXPECT_EQ(session(500), "accepted");

  // Another client the meter has not heard: it must start at 1000.
  assoc->SetFirstInvocationCounter(1000);
  assoc->AddClient(TSimClient{0x31, true, true, 1, {}});
  harness.Mid->Disconnect();
  harness.Client = ctx.ClientId = 0x31;
  harness.Mid->Connect(harness.Client, harness.Server);
  EXPECT_EQ(session(999), "Association is not \"accepted\"");
  EXPECT_EQ(session(1000), "accepted");
}

}  // namespace
