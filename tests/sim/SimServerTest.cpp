#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "TestUtil.h"
#include "tools/meter-sim/SimServer.h"

using namespace quillon;
using namespace quillon::sim;
using namespace quillon::test;

namespace {

class SimServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    model.LoadFile(std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt");
    server = std::make_unique<TSimServer>(model);
    auto& s = server->Session();
    s.Associated = true;
    s.Conformance = cbGet | cbSet | cbAction | cbSelectiveAccess | cbBlockTransferWithGetOrRead |
                    cbBlockTransferWithSetOrWrite | cbAccess | cbGeneralBlockTransfer | cbRead | cbWrite;
    s.ClientMaxPdu = 512;
  }
  std::unique_ptr<T_COSEMpdu> Ask(const std::string& xml) {
    auto req = MakeFromXml<T_COSEMpdu>(xmlIgnore, xml);
    PduStr resp = server->HandleApdu(req->Encoded());
    return MakeFromPdu<T_COSEMpdu>(xmlIgnore, resp);
  }
  static std::string Get(const char* cls, const char* ln, const char* attr, const std::string& sel = "") {
    return std::string("<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>") +
           "<ClassId Value=\"" + cls + "\" /><InstanceId Value=\"" + ln + "\" /><AttributeId Value=\"" + attr +
           "\" /></AttributeDescriptor>" + sel + "</GetRequestNormal></GetRequest>";
  }
  TSimModel model;
  std::unique_ptr<TSimServer> server;
};

T_GetResponseNormal* Normal(T_COSEMpdu& p) {
  if (p.Tag != 0xC4) return nullptr;
  auto* g = static_cast<T_GetResponse*>(p.Value.get());
  return g->Tag == 1 ? static_cast<T_GetResponseNormal*>(g->Value.get()) : nullptr;
}

}  // namespace

TEST_F(SimServerTest, ReadsRegistersClockAndErrors) {
  auto r = Ask(Get("0003", "1.0.1.8.0.255", "03"));
  ASSERT_NE(Normal(*r), nullptr);
  EXPECT_EQ(Hex(r->Encoded()), Hex(H("C401C100 0202 0F00 161E")));
  EXPECT_NE(r->ToXMLString().find("<Enum Value=\"1E\" />"), std::string::npos);
  auto clock = Ask(Get("0008", "0.0.1.0.0.255", "02"));
  auto* data = static_cast<T_Data*>(Normal(*clock)->FResult()->Value.get());
  ASSERT_EQ(data->Tag, 9);
  EXPECT_EQ(static_cast<T_OctetString*>(data->Value.get())->Value.size(), 12u);
  auto missing = Ask(Get("0003", "1.0.99.99.0.255", "02"));
  EXPECT_EQ(Hex(missing->Encoded()), "C401C10104");
  auto noAttr = Ask(Get("0003", "1.0.1.8.0.255", "09"));
  EXPECT_EQ(Hex(noAttr->Encoded()), "C401C10104");
}

TEST_F(SimServerTest, LongReadsTravelInBlocksAndReassemble) {
  auto first = Ask(Get("000F", "0.0.40.0.0.255", "02"));
  ASSERT_EQ(first->Tag, 0xC4);
  PduStr collected;
  int block = 0;
  auto* resp = static_cast<T_GetResponse*>(first->Value.get());
  for (;;) {
    ASSERT_EQ(resp->Tag, 2);
    auto* wdb = static_cast<T_GetResponseWithDataBlock*>(resp->Value.get());
    auto* b = wdb->FResult();
    EXPECT_EQ(b->FBlockNumber()->Value, static_cast<uint32_t>(++block));
    ASSERT_EQ(b->FResult()->Tag, 0);
    collected += static_cast<T_OctetString*>(b->FResult()->Value.get())->Value;
    if (b->FLastBlock()->Value) break;
    first = Ask("<GetRequest><GetRequestForNextDataBlock><InvokeIdAndPriority Value=\"C1\" /><BlockNumber Value=\"" +
                TMisc::IntToHex(static_cast<uint32_t>(block), 8) + "\" /></GetRequestForNextDataBlock></GetRequest>");
    EXPECT_LE(first->PDUSize(), 512);
    resp = static_cast<T_GetResponse*>(first->Value.get());
  }
  EXPECT_GT(block, 1);
  auto list = MakeFromPdu<T_Data>(xmlIgnore, collected);
  ASSERT_EQ(list->Tag, 1);
  // Every object but the short-name association object, which logical names cannot reach.
  int reachable = 0;
  for (const auto& o : model.Objects()) reachable += o->ClassId != 12;
  EXPECT_EQ(static_cast<T_Array*>(list->Value.get())->ElementCount(), reachable);
  // A block number out of turn ends the transfer with an error.
  Ask(Get("000F", "0.0.40.0.0.255", "02"));
  auto bad = Ask(
      "<GetRequest><GetRequestForNextDataBlock><InvokeIdAndPriority Value=\"C1\" /><BlockNumber Value=\"00000005\" />"
      "</GetRequestForNextDataBlock></GetRequest>");
  EXPECT_NE(bad->ToXMLString().find("DataBlockNumberInvalid"), std::string::npos);
}

TEST_F(SimServerTest, ProfileSelectiveAccessByEntry) {
  server->Session().ClientMaxPdu = 0xFFFF;
  auto r = Ask(Get("0007", "1.0.99.1.0.255", "02",
                   "<AccessSelection><AccessSelector Value=\"02\" /><AccessParameters><Structure Qty=\"0004\">"
                   "<DoubleLongUnsigned Value=\"00000001\" /><DoubleLongUnsigned Value=\"0000000A\" />"
                   "<LongUnsigned Value=\"0001\" /><LongUnsigned Value=\"0000\" /></Structure></AccessParameters>"
                   "</AccessSelection>"));
  auto* data = static_cast<T_Data*>(Normal(*r)->FResult()->Value.get());
  ASSERT_EQ(data->Tag, 1);
  auto* arr = static_cast<T_Array*>(data->Value.get());
  EXPECT_EQ(arr->ElementCount(), 10);
  EXPECT_EQ(static_cast<T_Structure*>((*arr)[0]->Value.get())->ElementCount(), 6);
}

TEST_F(SimServerTest, WritesWithAndWithoutBlocks) {
  auto denied = Ask(
      "<SetRequest><SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0003\" />"
      "<InstanceId Value=\"1.0.1.8.0.255\" /><AttributeId Value=\"02\" /></AttributeDescriptor>"
      "<Value><DoubleLongUnsigned Value=\"00000000\" /></Value></SetRequestNormal></SetRequest>");
  EXPECT_EQ(Hex(denied->Encoded()), "C501C103");
  auto ok = Ask(
      "<SetRequest><SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0001\" />"
      "<InstanceId Value=\"0.0.96.10.1.255\" /><AttributeId Value=\"02\" /></AttributeDescriptor>"
      "<Value><Unsigned Value=\"07\" /></Value></SetRequestNormal></SetRequest>");
  EXPECT_EQ(Hex(ok->Encoded()), "C501C100");
  EXPECT_NE(Ask(Get("0001", "0.0.96.10.1.255", "02"))->ToXMLString().find("\"07\""), std::string::npos);
  // Value 08 in two blocks: 11 | 08.
  auto b1 = Ask(
      "<SetRequest><SetRequestWithFirstDataBlock><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
      "<ClassId Value=\"0001\" /><InstanceId Value=\"0.0.96.10.1.255\" /><AttributeId Value=\"02\" />"
      "</AttributeDescriptor><DataBlock><LastBlock Value=\"00\" /><BlockNumber Value=\"00000001\" />"
      "<RawData Value=\"11\" /></DataBlock></SetRequestWithFirstDataBlock></SetRequest>");
  EXPECT_EQ(Hex(b1->Encoded()), "C502C100000001");
  auto b2 = Ask(
      "<SetRequest><SetRequestWithDataBlock><InvokeIdAndPriority Value=\"C1\" /><DataBlock><LastBlock Value=\"01\" />"
      "<BlockNumber Value=\"00000002\" /><RawData Value=\"08\" /></DataBlock></SetRequestWithDataBlock></SetRequest>");
  EXPECT_EQ(Hex(b2->Encoded()), "C503C10000000002");
  EXPECT_NE(Ask(Get("0001", "0.0.96.10.1.255", "02"))->ToXMLString().find("\"08\""), std::string::npos);
}

TEST_F(SimServerTest, MethodsAccessAndShortNames) {
  auto act = Ask(
      "<ActionRequest><ActionRequestNormal><InvokeIdAndPriority Value=\"C1\" /><MethodDescriptor>"
      "<ClassId Value=\"0046\" /><InstanceId Value=\"0.0.96.3.10.255\" /><MethodId Value=\"01\" />"
      "</MethodDescriptor><MethodInvocationParameters><Integer Value=\"00\" /></MethodInvocationParameters>"
      "</ActionRequestNormal></ActionRequest>");
  EXPECT_EQ(Hex(act->Encoded()), "C701C10000");
  EXPECT_EQ(Hex(Ask(Get("0046", "0.0.96.3.10.255", "02"))->Encoded()), "C401C1000300");

  auto acc = Ask(
      "<AccessRequest><LongInvokeIdAndPriority Value=\"00000001\" /><DateTime Value=\"\" /><AccessRequestBody>"
      "<AccessRequestSpecification Qty=\"0002\"><AccessRequestGet><AttributeDescriptor><ClassId Value=\"0001\" />"
      "<InstanceId Value=\"0.0.96.1.0.255\" /><AttributeId Value=\"02\" /></AttributeDescriptor></AccessRequestGet>"
      "<AccessRequestGet><AttributeDescriptor><ClassId Value=\"0001\" /><InstanceId Value=\"0.0.96.99.0.255\" />"
      "<AttributeId Value=\"02\" /></AttributeDescriptor></AccessRequestGet></AccessRequestSpecification>"
      "<AccessRequestListOfData Qty=\"0002\"><NullData /><NullData /></AccessRequestListOfData>"
      "</AccessRequestBody></AccessRequest>");
  EXPECT_EQ(Hex(acc->Encoded()), Hex(H("DA 00000001 00 00 02 0A083531303030343237 00 02 0100 0104")));

  server->Session().LogicalNames = false;
  auto read = Ask("<ReadRequest Qty=\"0002\"><VariableName Value=\"2208\" /><VariableName Value=\"7777\" /></ReadRequest>");
  EXPECT_EQ(Hex(read->Encoded()), Hex(H("0C 02 00 060012D687 01 04")));
  auto write = Ask(
      "<WriteRequest><ListOfVariableAccessSpecification Qty=\"0001\"><VariableName Value=\"2120\" />"
      "</ListOfVariableAccessSpecification><ListOfData Qty=\"0001\"><Unsigned Value=\"01\" /></ListOfData></WriteRequest>");
  EXPECT_EQ(Hex(write->Encoded()), "0D010103");
  // An LN service in a short-name association is refused.
  EXPECT_EQ(Hex(Ask(Get("0003", "1.0.1.8.0.255", "02"))->Encoded()), "D80102");
}

TEST_F(SimServerTest, GeneralBlockTransferBothWays) {
  auto& s = server->Session();
  s.Conformance &= ~cbBlockTransferWithGetOrRead;
  s.ClientMaxPdu = 200;
  PduStr req = MakeFromXml<T_COSEMpdu>(xmlIgnore, Get("000F", "0.0.40.0.0.255", "02"))->Encoded();
  PduStr resp = server->HandleApdu(req);
  PduStr whole;
  for (int n = 1;; ++n) {
    auto g = MakeFromPdu<T_COSEMpdu>(xmlIgnore, resp);
    ASSERT_EQ(g->Tag, 0xE0);
    auto* gbt = static_cast<T_GeneralBlockTransfer*>(g->Value.get());
    EXPECT_EQ(gbt->FBlockNumber()->Value, n);
    EXPECT_LE(resp.size(), 200u);
    whole += gbt->FBlockData()->Value;
    if (gbt->FBlockControl()->Value & 0x80) break;
    auto ack = MakeFromXml<T_COSEMpdu>(
        xmlIgnore, "<GeneralBlockTransfer><BlockControl Value=\"81\" /><BlockNumber Value=\"0001\" /><BlockNumberAck "
                   "Value=\"" + TMisc::IntToHex(static_cast<uint32_t>(n), 4) + "\" /><BlockData Value=\"\" /></GeneralBlockTransfer>");
    resp = server->HandleApdu(ack->Encoded());
  }
  auto full = MakeFromPdu<T_COSEMpdu>(xmlIgnore, whole);
  ASSERT_NE(Normal(*full), nullptr);

  // A request split by the client: two blocks, acknowledged, then answered.
  PduStr r1 = req.substr(0, 5), r2 = req.substr(5);
  auto gbtOf = [](int ctl, int n, const PduStr& d) {
    return MakeFromXml<T_COSEMpdu>(xmlIgnore, "<GeneralBlockTransfer><BlockControl Value=\"" + TMisc::IntToHex(ctl, 2) +
                                                  "\" /><BlockNumber Value=\"" + TMisc::IntToHex(n, 4) +
                                                  "\" /><BlockNumberAck Value=\"0000\" /><BlockData Value=\"" +
                                                  TMisc::ByteStrToHexStr(d) + "\" /></GeneralBlockTransfer>")
        ->Encoded();
  };
  s.ClientMaxPdu = 0xFFFF;
  auto ack1 = MakeFromPdu<T_COSEMpdu>(xmlIgnore, server->HandleApdu(gbtOf(0x01, 1, r1)));
  EXPECT_EQ(static_cast<T_GeneralBlockTransfer*>(ack1->Value.get())->FBlockNumberAck()->Value, 1);
  auto last = MakeFromPdu<T_COSEMpdu>(xmlIgnore, server->HandleApdu(gbtOf(0x81, 2, r2)));
  auto* g = static_cast<T_GeneralBlockTransfer*>(last->Value.get());
  EXPECT_EQ(g->FBlockControl()->Value, 0x81);
  EXPECT_EQ(g->FBlockNumberAck()->Value, 2);
  EXPECT_EQ(static_cast<uint8_t>(g->FBlockData()->Value[0]), 0xC4);
}

TEST_F(SimServerTest, ShortNameReadInBlocks) {
  server->Session().LogicalNames = false;
  server->Session().ClientMaxPdu = 200;
  // The short-name object list (association base name FA00, attribute 2).
  auto first = Ask("<ReadRequest Qty=\"0001\"><VariableName Value=\"FA08\" /></ReadRequest>");
  PduStr collected;
  for (int n = 1;; ++n) {
    auto* rr = static_cast<T_ReadResponse*>(first->Value.get());
    ASSERT_EQ(rr->ElementCount(), 1);
    ASSERT_EQ((*rr)[0]->Tag, 2);
    auto* b = static_cast<T_DataBlockResult*>((*rr)[0]->Value.get());
    EXPECT_EQ(b->FBlockNumber()->Value, n);
    EXPECT_LE(first->PDUSize(), 200);
    collected += b->FRawData()->Value;
    if (b->FLastBlock()->Value) break;
    first = Ask("<ReadRequest Qty=\"0001\"><BlockNumberAccess><BlockNumber Value=\"" +
                TMisc::IntToHex(static_cast<uint32_t>(n), 4) + "\" /></BlockNumberAccess></ReadRequest>");
  }
  auto whole = MakeFromPdu<T_ReadResponse>(xmlReadResponse, collected);
  ASSERT_EQ(whole->ElementCount(), 1);
  EXPECT_EQ((*whole)[0]->Tag, 0);
  // A block asked for out of turn is refused.
  Ask("<ReadRequest Qty=\"0001\"><VariableName Value=\"FA08\" /></ReadRequest>");
  auto bad = Ask("<ReadRequest Qty=\"0001\"><BlockNumberAccess><BlockNumber Value=\"0003\" /></BlockNumberAccess></ReadRequest>");
  EXPECT_NE(bad->ToXMLString().find("DataBlockNumberInvalid"), std::string::npos);
}

TEST(SimModel, RefusesBadModels) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"object 1 0 0.0.96.1.0.255 sn=2100 \"A\"\nattr 2 <Unsigned Value=\"00\" />\n"
       "object 1 0 0.0.96.1.1.255 sn=2108 \"B\"\nattr 2 <Unsigned Value=\"00\" />\n",
       "meter model: short names of A (2100..2108) overlap B (2108)"},
      {"object 1 0 0000600100 \"A\"\n", "meter model, line 1: a logical name has six bytes"},
      {"attr 2 <Unsigned Value=\"00\" />\n", "meter model, line 1: attr before the first object"},
      {"object 1 0 0.0.96.1.0.255\nattr 2 <Bogus Value=\"00\" />\n", "meter model, line 2: 'Bogus' unknown identifier"},
      {"object 1 0 0.0.96.1.0.255 colour=red\n", "meter model, line 1: unknown word \"colour=red\""},
      // Base names and method counts that would overflow the short-name range check.
      {"object 1 0 0.0.96.1.0.255 sn=7FFFFFFF \"A\"\n", "meter model, line 1: sn=<base name 0000..FFFF, hex> expected"},
      {"object 1 0 0.0.96.1.0.255 sn=2G00 \"A\"\n", "meter model, line 1: sn=<base name 0000..FFFF, hex> expected"},
      {"object 1 0 0.0.96.1.0.255 sn=2100 \"A\"\nmethods 400000000\n", "meter model, line 2: method count 0..127 expected"},
  };
  for (const auto& c : cases) {
    TSimModel m;
    EXPECT_EQ(ErrorOf([&] { m.Load(c.text); }), c.error) << c.text;
  }
}

// The clock takes dates its time arithmetic can hold, and shifts of at most
// a quarter of an hour; anything else is refused instead of overflowing.
TEST(SimModel, ClockRefusesTimesOutOfRange) {
  TSimModel m;
  m.LoadFile(std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt");
  TSimObject* clock = m.Find(8, TMisc::HexStrToByteStr("0000010000FF"));
  ASSERT_NE(clock, nullptr);
  auto data = [](const char* xml) { return MakeFromXml<T_Data>(xmlIgnore, xml); };
  const struct {
    const char* dateTime;
    int result;
  } writes[] = {
      {"07EA0C0A04100000FF800000", darSuccess},        // 2026-12-10 16:00
      {"00000108000004000200FF00", darTypeUnmatched},  // year 0
      {"270F0101FF000000FF800000", darTypeUnmatched},  // year 9999
  };
  for (const auto& w : writes)
    EXPECT_EQ(m.Write(*clock, 2, *data((std::string("<OctetString Value=\"") + w.dateTime + "\" />").c_str())),
              w.result)
        << w.dateTime;
  std::unique_ptr<T_Data> returned;
  EXPECT_EQ(m.Invoke(*clock, 6, data("<Long Value=\"0384\" />").get(), returned), darSuccess);  // 900 s
  EXPECT_EQ(m.Invoke(*clock, 6, data("<DoubleLong Value=\"7FFFFFFF\" />").get(), returned), darOtherReason);
}

namespace {

std::string RangeSelection(const char* restrictingClass, const char* from, const char* to, const std::string& columns) {
  return std::string("<AccessSelection><AccessSelector Value=\"01\" /><AccessParameters><Structure Qty=\"0004\">") +
         "<Structure Qty=\"0004\"><LongUnsigned Value=\"" + restrictingClass +
         "\" /><OctetString Value=\"0000010000FF\" /><Integer Value=\"02\" /><LongUnsigned Value=\"0000\" /></Structure>"
         "<OctetString Value=\"" + from + "\" /><OctetString Value=\"" + to + "\" />" + columns +
         "</Structure></AccessParameters></AccessSelection>";
}

std::string EntrySelection(int from, int to, int firstColumn, int lastColumn) {
  auto u32 = [](int v) { return "<DoubleLongUnsigned Value=\"" + TMisc::IntToHex(static_cast<uint32_t>(v), 8) + "\" />"; };
  auto u16 = [](int v) { return "<LongUnsigned Value=\"" + TMisc::IntToHex(static_cast<uint32_t>(v), 4) + "\" />"; };
  return "<AccessSelection><AccessSelector Value=\"02\" /><AccessParameters><Structure Qty=\"0004\">" + u32(from) +
         u32(to) + u16(firstColumn) + u16(lastColumn) + "</Structure></AccessParameters></AccessSelection>";
}

// Rows of a profile buffer as (column bytes) lists.
std::vector<std::vector<std::string>> Rows(T_COSEMpdu& response) {
  std::vector<std::vector<std::string>> rows;
  auto* n = Normal(response);
  if (!n || n->FResult()->Tag != 0) return rows;
  auto* data = static_cast<T_Data*>(n->FResult()->Value.get());
  if (data->Tag != 1) return rows;
  auto* arr = static_cast<T_Array*>(data->Value.get());
  for (int i = 0; i < arr->ElementCount(); ++i) {
    auto* row = static_cast<T_Structure*>((*arr)[i]->Value.get());
    std::vector<std::string> cells;
    for (int c = 0; c < row->ElementCount(); ++c) cells.push_back(Hex((*row)[c]->Encoded()));
    rows.push_back(cells);
  }
  return rows;
}

}  // namespace

// A profile's history depends on the time stamps alone: the same range reads
// the same with the clock moved on, a range returns exactly the entries
// stamped inside it, and the entry numbers and columns of the other selector
// address the same rows.
TEST_F(SimServerTest, ProfileHistoryIsFixedByTimeStamps) {
  server->Session().ClientMaxPdu = 0xFFFF;
  TSimObject* clock = model.Find(8, TMisc::HexStrToByteStr("0000010000FF"));
  auto setClock = [&](const char* dateTime) {
    ASSERT_EQ(model.Write(*clock, 2, *MakeFromXml<T_Data>(xmlIgnore, std::string("<OctetString Value=\"") + dateTime + "\" />")),
              darSuccess);
  };
  const char* lp1 = "1.0.99.1.0.255";
  // 2026-12-10 12:00: the newest of the 5000 quarter-hour entries is 12:00.
  setClock("07EA0C0A040C000000000000");
  std::string all = "<Array Qty=\"0000\"></Array>";
  auto first = Rows(*Ask(Get("0007", lp1, "02", RangeSelection("0008", "07EA0C0A0409070000000000", "07EA0C0A040A000000000000", all))));
  ASSERT_EQ(first.size(), 4u);  // 09:15, 09:30, 09:45 and 10:00 of the range 09:07..10:00
  const char* stamps[] = {"090C07EA0C0A04090F0000000000", "090C07EA0C0A04091E0000000000", "090C07EA0C0A04092D0000000000",
                          "090C07EA0C0A040A000000000000"};
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(first[i].size(), 6u);
    EXPECT_EQ(first[i][0], stamps[i]);
    // Energy import rises from entry to entry.
    if (i > 0) {
      EXPECT_GT(first[i][2], first[i - 1][2]);
    }
  }

  // 25 minutes later, the same range: the same rows.
  setClock("07EA0C0A040C190000000000");
  EXPECT_EQ(Rows(*Ask(Get("0007", lp1, "02", RangeSelection("0008", "07EA0C0A0409070000000000", "07EA0C0A040A000000000000", all)))),
            first);
  // The newest entry is now 12:15, number 5000; 10:00 is eight quarters
  // earlier, 09:15 three more.
  auto byEntry = Rows(*Ask(Get("0007", lp1, "02", EntrySelection(4991 - 3, 4991, 1, 0))));
  EXPECT_EQ(byEntry, first);
  // Columns 3 and 4 only, by entry and by the range's selected values.
  auto twoColumns = Rows(*Ask(Get("0007", lp1, "02", EntrySelection(4988, 4991, 3, 4))));
  std::string selected =
      "<Array Qty=\"0002\"><Structure Qty=\"0004\"><LongUnsigned Value=\"0003\" /><OctetString Value=\"0100010800FF\" />"
      "<Integer Value=\"02\" /><LongUnsigned Value=\"0000\" /></Structure><Structure Qty=\"0004\"><LongUnsigned "
      "Value=\"0003\" /><OctetString Value=\"0100020800FF\" /><Integer Value=\"02\" /><LongUnsigned Value=\"0000\" />"
      "</Structure></Array>";
  auto selectedRange = Rows(*Ask(Get("0007", lp1, "02", RangeSelection("0008", "07EA0C0A0409070000000000", "07EA0C0A040A000000000000", selected))));
  ASSERT_EQ(twoColumns.size(), 4u);
  EXPECT_EQ(selectedRange, twoColumns);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(twoColumns[i], (std::vector<std::string>{first[i][2], first[i][3]}));

  // A range that ends before it begins is empty; a range restricted by
  // anything but the clock is refused.
  EXPECT_TRUE(Rows(*Ask(Get("0007", lp1, "02", RangeSelection("0008", "07EA0C0A040A000000000000", "07EA0C0A0409070000000000", all)))).empty());
  EXPECT_EQ(Hex(Ask(Get("0007", lp1, "02", RangeSelection("0003", "07EA0C0A0409070000000000", "07EA0C0A040A000000000000", all)))->Encoded()),
            "C401C101FA");
}

// Registers of every common unit: each register-like object has a numeric
// value and a (scaler, unit) pair, and together they cover the units a
// client has to show.
TEST_F(SimServerTest, RegistersCoverTheCommonUnits) {
  std::set<int> units;
  for (const auto& o : model.Objects()) {
    if (o->ClassId != 3 && o->ClassId != 4 && o->ClassId != 5) continue;
    std::string ln = Hex(o->LogicalName);
    SCOPED_TRACE(ln);
    std::unique_ptr<T_Data> value, scalerUnit;
    ASSERT_EQ(model.Read(*o, 2, nullptr, 0, value), darSuccess);
    EXPECT_NE(dynamic_cast<TNumericBase*>(value->Value.get()), nullptr);
    ASSERT_EQ(model.Read(*o, o->ClassId == 5 ? 4 : 3, nullptr, 0, scalerUnit), darSuccess);
    ASSERT_EQ(scalerUnit->Tag, 2);
    auto* pair = static_cast<T_Structure*>(scalerUnit->Value.get());
    ASSERT_EQ(pair->ElementCount(), 2);
    EXPECT_EQ((*pair)[0]->Tag, 15);  // integer scaler
    ASSERT_EQ((*pair)[1]->Tag, 22);  // enum unit
    units.insert(static_cast<int>(static_cast<TNumericBase*>((*pair)[1]->Value.get())->Bits()));
  }
  // Wh, varh, VAh, W, var, VA, V, A, Hz, m3, m3/h, degree C, J, K, bar, s, %.
  for (int unit : {30, 32, 31, 27, 29, 28, 35, 33, 44, 13, 15, 9, 25, 52, 24, 7, 56}) EXPECT_EQ(units.count(unit), 1u) << unit;
}
