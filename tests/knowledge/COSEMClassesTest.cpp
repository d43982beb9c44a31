#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "knowledge/COSEMClasses.h"
#include "xmlpdu/infra/Errors.h"

using namespace quillon;

namespace {

using Names = std::vector<std::string>;

const TCOSEMClassesInfo& Catalogue() { return COSEMClassesInfo(); }

// The class versions the client must know: identifier, name, versions.
struct TKnownClass {
  int ClassId;
  const char* Name;
  std::vector<int> Versions;
};

const std::vector<TKnownClass> kKnownClasses = {
    {1, "Data", {0}},
    {3, "Register", {0}},
    {4, "Extended register", {0}},
    {5, "Demand register", {0}},
    {6, "Register activation", {0}},
    {7, "Profile generic", {1}},
    {8, "Clock", {0}},
    {9, "Script table", {0}},
    {10, "Schedule", {0}},
    {11, "Special days table", {0}},
    {12, "Association SN", {0, 1, 2, 3, 4}},
    {15, "Association LN", {0, 1, 2, 3}},
    {17, "SAP assignement", {0}},
    {18, "Image transfer", {0}},
    {19, "IEC local port setup", {0, 1}},
    {20, "Activity calendar", {0}},
    {21, "Register monitor", {0}},
    {22, "Single action schedule", {0}},
    {23, "IEC HDLC setup", {0, 1}},
    {24, "IEC Twisted Pair (1) setup", {0, 1}},
    {25, "M-Bus slave port setup", {0}},
    {26, "Utility tables", {0}},
    {27, "PSTN Modem configuration", {0}},
    {27, "Modem configuration", {1}},
    {28, "Auto answer", {0, 2}},
    {29, "PSTN auto dial", {0}},
    {29, "Auto connect", {1, 2}},
    {30, "Data Protection", {0}},
    {40, "Push setup", {0, 1, 2}},
    {41, "TCP-UDP setup", {0}},
    {42, "IPv4 setup", {0}},
    {43, "MAC address setup", {0}},
    {44, "PPP setup", {0}},
    {45, "GPRS modem setup", {0}},
    {46, "SMTP setup", {0}},
    {47, "GSM diagnostic", {0, 1, 2}},
    {48, "IPv6 setup", {0}},
    {50, "S-FSK Phy&MAC setup", {0, 1}},
    {51, "S-FSK Active initiator", {0}},
    {52, "S-FSK MAC synchronization timeouts", {0}},
    {53, "S-FSK MAC counters", {0}},
    {55, "S-FSK IEC 61334-4-32 LLC setup", {0}},
    {55, "IEC 61334-4-32 LLC setup", {1}},
    {56, "S-FSK Reporting system list", {0}},
    {57, "ISO/IEC 8802-2 LLC Type 1 setup", {0}},
    {58, "ISO/IEC 8802-2 LLC Type 2 setup", {0}},
    {59, "ISO/IEC 8802-2 LLC Type 3 setup", {0}},
    {61, "Register table", {0}},
    {62, "Compact data", {0, 1}},
    {63, "Status mapping", {0}},
    {64, "Security setup", {0, 1}},
    {65, "Parameter monitor", {0, 1}},
    {67, "Sensor manager", {0}},
    {68, "Arbitrator", {0}},
    {70, "Disconnect control", {0}},
    {71, "Limiter", {0}},
    {72, "M-Bus client", {0, 1, 2}},
    {73, "Wireless Mode Q channel", {1}},
    {74, "M-Bus master port setup", {0}},
    {76, "DLMS/COSEM server M-Bus port setup", {0}},
    {77, "M-Bus diagnostic", {0}},
    {80, "61334-4-32 LLC SSCS setup", {0}},
    {81, "PRIME NB OFDM PLC Physical layer counters", {0}},
    {82, "PRIME NB OFDM PLC MAC setup", {0}},
    {83, "PRIME NB OFDM PLC MAC functional parameters", {0}},
    {84, "PRIME NB OFDM PLC MAC counters", {0}},
    {85, "PRIME NB OFDM PLC MAC network administration data", {0}},
    {86, "PRIME NB OFDM PLC Applications identification", {0}},
    {90, "G3-PLC MAC layer counters", {1}},
    {91, "G3-PLC MAC setup", {1, 2, 3}},
    {92, "G3-PLC 6LoWPAN adaptation layer setup", {1, 2, 3}},
    {95, "Wi-SUN setup", {0}},
    {96, "Wi-SUN diagnostics", {0}},
    {97, "RPL diagnostic", {0}},
    {98, "MPL diagnostic", {0}},
    {100, "NTP setup", {0}},
    {101, "ZigBee SAS startup", {0}},
    {102, "ZigBee SAS join", {0}},
    {103, "ZigBee SAS APS fragmentation", {0}},
    {104, "ZigBee network control", {0}},
    {105, "ZigBee tunnel setup", {0}},
    {111, "Account", {0}},
    {112, "Credit", {0}},
    {113, "Charge", {0}},
    {115, "Token gateway", {0}},
    {116, "IEC 62055-41 Attributes", {0}},
    {122, "Function control", {0}},
    {123, "Array manager", {0}},
    {124, "Communication port protection", {0}},
    {126, "SCHC LPWAN setup", {0}},
    {127, "SCHC LPWAN disgnostic", {0}},
    {128, "LoRaWAN setup", {0}},
    {129, "LoRaWAN diagnostic", {0}},
    {130, "ISO/IEC 14908 identification", {0}},
    {131, "ISO/IEC 14908 protocol setup", {0}},
    {132, "ISO/IEC 14908 protocol status", {0}},
    {133, "ISO/IEC 14908 diagnostic", {0}},
    {140, "HS-PLC ISO/IEC 12139-1 MAC setup", {0}},
    {141, "HS-PLC ISO/IEC 12139-1 CPAS setup", {0}},
    {142, "HS-PLC ISO/IEC 12139-1 IP SSAS setup", {0}},
    {143, "HS-PLC ISO/IEC 12139-1 HDLC SSAS setup", {0}},
    {151, "LTE monitoring", {0, 1}},
    {160, "G3-PLC Hybrid RF MAC layer counters", {0}},
    {161, "G3-PLC Hybrid RF MAC setup", {0}},
    {162, "G3-PLC Hybrid 6LoWPAN adaptation layer setup", {0}},
};

}  // namespace

// ---------------------------------------------------------------- the table

TEST(COSEMClassTable, RegistersExactlyTheKnownClassVersionsInOrder) {
  std::vector<std::tuple<int, int, std::string>> expected;
  for (const TKnownClass& k : kKnownClasses)
    for (int v : k.Versions) expected.emplace_back(k.ClassId, v, k.Name);

  std::vector<std::tuple<int, int, std::string>> registered;
  for (const TCOSEMClassInfo& info : Catalogue())
    registered.emplace_back(info.ClassId, info.Version, info.Description);

  EXPECT_EQ(registered, expected);
  EXPECT_EQ(Catalogue().Count(), 132u);
  std::set<int> ids;
  for (const TCOSEMClassInfo& info : Catalogue()) ids.insert(info.ClassId);
  EXPECT_EQ(ids.size(), 102u);
}

TEST(COSEMClassTable, IdsAscendAndVersionsAscendWithinAClass) {
  const TCOSEMClassInfo* previous = nullptr;
  for (const TCOSEMClassInfo& info : Catalogue()) {
    EXPECT_GT(info.ClassId, 0);
    EXPECT_GE(info.Version, 0);
    if (previous != nullptr) {
      const bool ascends = info.ClassId > previous->ClassId ||
                           (info.ClassId == previous->ClassId && info.Version > previous->Version);
      EXPECT_TRUE(ascends) << info.ClassId << "/" << info.Version << " after "
                           << previous->ClassId << "/" << previous->Version;
    }
    previous = &info;
    // Every registered version is reachable by an exact search.
    EXPECT_EQ(Catalogue().Search(info.ClassId, info.Version), &info);
  }
}

TEST(COSEMClassTable, EveryRowHasConsistentAttributeNamesAndStaticSet) {
  for (const TCOSEMClassInfo& info : Catalogue()) {
    SCOPED_TRACE(std::to_string(info.ClassId) + "/" + std::to_string(info.Version) + " " +
                 info.Description);
    ASSERT_FALSE(info.AttributeNames.empty());
    EXPECT_EQ(info.AttributesQty, static_cast<int>(info.AttributeNames.size()));
    EXPECT_LE(info.AttributesQty, TCOSEMClassesInfo::MaxAttributes);
    EXPECT_GE(info.MethodsQty, 0);
    std::set<std::string> distinct;
    for (const std::string& name : info.AttributeNames) {
      EXPECT_FALSE(name.empty());
      EXPECT_EQ(name.find_first_of("\t\n\r"), std::string::npos) << name;
      EXPECT_TRUE(distinct.insert(name).second) << "repeated " << name;
    }
    // Attribute 1 is always the logical name, and it never changes.
    EXPECT_TRUE(info.AttributeNames[0] == "logical_name" ||
                (info.ClassId == 98 && info.AttributeNames[0] == "logical name"))
        << info.AttributeNames[0];
    EXPECT_TRUE(info.IsStatic(1));
    EXPECT_EQ(info.StaticAttributes & 1u, 0u);
    EXPECT_EQ(info.StaticAttributes >> (info.AttributesQty + 1), 0u);
  }
}

TEST(COSEMClassTable, ExtremesBelongToTheExpectedClasses) {
  const TCOSEMClassInfo* mostAttributes = &Catalogue()[0];
  const TCOSEMClassInfo* mostMethods = &Catalogue()[0];
  for (const TCOSEMClassInfo& info : Catalogue()) {
    if (info.AttributesQty > mostAttributes->AttributesQty) mostAttributes = &info;
    if (info.MethodsQty > mostMethods->MethodsQty) mostMethods = &info;
  }
  EXPECT_EQ(mostAttributes->AttributesQty, 26);
  EXPECT_EQ(mostAttributes->Description, "G3-PLC MAC setup");
  EXPECT_EQ(mostAttributes->Version, 3);
  EXPECT_EQ(mostMethods->MethodsQty, 11);
  EXPECT_EQ(mostMethods->Description, "ZigBee network control");
}

// Rows checked column by column, odd spellings included: operators know these texts.
TEST(COSEMClassTable, FullRowsMatchExactly) {
  struct TRow {
    int ClassId, Version;
    const char* Name;
    int Attributes, Methods;
    std::vector<int> Static;
    Names AttributeNames;
  };
  const Names assocLN = {"logical_name", "object_list", "associated_partner_id",
                         "application_context_name", "xDLMS_context_info",
                         "authentication_mechanism_name", "LLS_secret", "association_status"};
  const Names security = {"logical_name", "security_policy", "security_suite",
                          "client_system_title", "server_system_title"};
  Names assocLN3 = assocLN;
  for (const char* n : {"security_setup_reference", "user_list", "current_user"})
    assocLN3.push_back(n);
  Names security1 = security;
  security1.push_back("certificates");

  const std::vector<TRow> rows = {
      {1, 0, "Data", 2, 0, {1}, {"logical_name", "value"}},
      {3, 0, "Register", 3, 1, {1, 3}, {"logical_name", "value", "scaler_unit"}},
      {7, 1, "Profile generic", 8, 2, {1, 3, 4, 5, 6, 8},
       {"logical_name", "buffer", "capture_objects", "capture_period", "sort_method",
        "sort_object", "entries_in_use", "profile_entries"}},
      {8, 0, "Clock", 9, 6, {1, 3, 5, 6, 7, 8, 9},
       {"logical_name", "time", "time_zone", "status", "daylight_savings_begin",
        "daylight_savings_end", "daylight_savings_deviation", "daylight_savings_enabled",
        "clock_base"}},
      {12, 4, "Association SN", 6, 10, {1, 2, 3, 4},
       {"logical_name", "object_list", "access_rights_list", "security_setup_reference",
        "user_list", "current_user"}},
      {15, 0, "Association LN", 8, 4, {1, 2}, assocLN},
      {15, 3, "Association LN", 11, 6, {1, 2, 9, 10}, assocLN3},
      {17, 0, "SAP assignement", 2, 1, {1, 2}, {"logical_name", "SAP_assignement_list"}},
      {23, 0, "IEC HDLC setup", 9, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9},
       {"logical_name", "comm_speed", "window_size_transmit", "window_size_receive",
        "max_info_field_length_tramsmit", "max_info_field_length_receive",
        "inter_octet_time_out", "inactivity_time_out", "device_address"}},
      {64, 0, "Security setup", 5, 2, {1, 2, 3, 5}, security},
      {64, 1, "Security setup", 6, 8, {1, 2, 3, 5}, security1},
      {70, 0, "Disconnect control", 4, 2, {1, 4},
       {"logical_name", "output_state", "control_state", "control_mode"}},
      {97, 0, "RPL diagnostic", 9, 1, {1},
       {"logical_name", "rpl_ instance_id", "dodag_version_number", "dodag_rank", "grounded",
        "mode_of_operation", "dodag_prf", "dodag_dtsn", "dodag_id"}},
      {98, 0, "MPL diagnostic", 13, 1, {1},
       {"logical name", "proactive_forwarding", "z", "tunit", "se_lifetime", "dm_k", "dm_imin",
        "dm_imax", "dm_t_exp", "c_k", "c_imin", "c_imax", "c_t_exp"}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(std::to_string(row.ClassId) + "/" + std::to_string(row.Version));
    const TCOSEMClassInfo* info = Catalogue().Search(row.ClassId, row.Version);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->Description, row.Name);
    EXPECT_EQ(info->AttributesQty, row.Attributes);
    EXPECT_EQ(info->MethodsQty, row.Methods);
    std::vector<int> statics;
    for (int a = 0; a < 32; ++a)
      if (info->IsStatic(a)) statics.push_back(a);
    EXPECT_EQ(statics, row.Static);
    EXPECT_EQ(info->AttributeNames, row.AttributeNames);
  }
}

TEST(COSEMClassTable, LaterVersionsExtendOrRenameAsTheClassEvolved) {
  // Association LN and Security setup keep the names of version 0 and append.
  for (int classId : {15, 64}) {
    const TCOSEMClassInfo* first = Catalogue().Search(classId, 0);
    ASSERT_NE(first, nullptr);
    for (const TCOSEMClassInfo& info : Catalogue()) {
      if (info.ClassId != classId) continue;
      SCOPED_TRACE(std::to_string(classId) + "/" + std::to_string(info.Version));
      ASSERT_GE(info.AttributeNames.size(), first->AttributeNames.size());
      EXPECT_TRUE(std::equal(first->AttributeNames.begin(), first->AttributeNames.end(),
                             info.AttributeNames.begin()));
    }
  }
  // Others rename an attribute between versions.
  struct TCase {
    int ClassId, Version, Attribute;
    const char* Name;
  };
  for (const TCase& c : std::vector<TCase>{{24, 0, 2, "secondary_address"},
                                           {24, 1, 2, "mode"},
                                           {29, 0, 6, "phone_list"},
                                           {29, 1, 6, "destination_list"}}) {
    const TCOSEMClassInfo* info = Catalogue().Search(c.ClassId, c.Version);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->AttributeNames.at(c.Attribute - 1), c.Name) << c.ClassId << "/" << c.Version;
  }
}

// ---------------------------------------------------------------- Search

TEST(COSEMClassSearch, FindsByIdAndVersionOrTheFirstVersionWhenNegative) {
  struct TCase {
    int ClassId, Version;
    int FoundVersion;  // -1: nothing found
    const char* Name;
    int Attributes;
  };
  const std::vector<TCase> cases = {
      {3, 0, 0, "Register", 3},
      {3, 1, -1, "", 0},
      {3, -1, 0, "Register", 3},
      {3, INT_MIN, 0, "Register", 3},
      {15, -1, 0, "Association LN", 8},
      {15, 3, 3, "Association LN", 11},
      {15, 4, -1, "", 0},
      {12, -1, 0, "Association SN", 2},
      {12, 4, 4, "Association SN", 6},
      {27, 0, 0, "PSTN Modem configuration", 4},
      {27, 1, 1, "Modem configuration", 4},
      {28, 1, -1, "", 0},  // a gap between registered versions
      {28, 2, 2, "Auto answer", 7},
      {7, 0, -1, "", 0},   // only version 1 is known
      {7, -1, 1, "Profile generic", 8},
      {162, 0, 0, "G3-PLC Hybrid 6LoWPAN adaptation layer setup", 25},
      {2, 0, -1, "", 0},   // a class that is not in the table
      {2, -1, -1, "", 0},
      {0, -1, -1, "", 0},
      {-3, 0, -1, "", 0},
      {163, -1, -1, "", 0},
      {INT_MAX, INT_MAX, -1, "", 0},
      {INT_MIN, INT_MIN, -1, "", 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.ClassId) + "/" + std::to_string(c.Version));
    const TCOSEMClassInfo* info = Catalogue().Search(c.ClassId, c.Version);
    if (c.FoundVersion < 0) {
      EXPECT_EQ(info, nullptr);
      continue;
    }
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->ClassId, c.ClassId);
    EXPECT_EQ(info->Version, c.FoundVersion);
    EXPECT_EQ(info->Description, c.Name);
    EXPECT_EQ(static_cast<int>(info->AttributeNames.size()), c.Attributes);
  }
}

TEST(COSEMClassSearch, ReturnsTheFirstRegisteredEntryNotTheLowestVersion) {
  TCOSEMClassesInfo list;
  const TCOSEMClassInfo& v2 = list.Add(500, 2, "second", 1, 0, 0, {"a"});
  const TCOSEMClassInfo& v1 = list.Add(500, 1, "first", 1, 0, 0, {"b"});
  const TCOSEMClassInfo& again = list.Add(500, 2, "duplicate", 1, 0, 0, {"c"});
  list.Add(501, 0, "other", 1, 0, 0, {"d"});

  EXPECT_EQ(list.Search(500, -1), &v2);
  EXPECT_EQ(list.Search(500, 1), &v1);
  EXPECT_EQ(list.Search(500, 2), &v2);
  EXPECT_NE(list.Search(500, 2), &again);
  EXPECT_EQ(list.Search(501, -7)->Description, "other");
  EXPECT_EQ(list.Search(502, -1), nullptr);
  EXPECT_EQ(TCOSEMClassesInfo().Search(500, -1), nullptr);
}

// ---------------------------------------------------------------- Add

TEST(COSEMClassAdd, KeepsValuesAndNameOrderAndStaysStableWhileGrowing) {
  TCOSEMClassesInfo list;
  const TCOSEMClassInfo& first =
      list.Add(9000, 3, "Test class", 3, 2, AttributeSet({1, 3}), {"zeta", "alpha", "mid"});
  // Enough further entries to make any reallocating container move its items.
  for (int i = 0; i < 1000; ++i) list.Add(9001 + i, 0, "filler", 1, 0, 0, {"x"});

  ASSERT_EQ(list.Count(), 1001u);
  EXPECT_EQ(&list[0], &first);
  EXPECT_EQ(list.Search(9000, 3), &first);
  EXPECT_EQ(first.ClassId, 9000);
  EXPECT_EQ(first.Version, 3);
  EXPECT_EQ(first.Description, "Test class");
  EXPECT_EQ(first.AttributesQty, 3);
  EXPECT_EQ(first.MethodsQty, 2);
  EXPECT_EQ(first.StaticAttributes, 0b1010u);
  EXPECT_EQ(first.AttributeNames, (Names{"zeta", "alpha", "mid"}));
  EXPECT_EQ(list[1000].ClassId, 10000);
}

TEST(COSEMClassAdd, AcceptsTheLargestAttributeCount) {
  TCOSEMClassesInfo list;
  Names names;
  for (int i = 1; i <= 26; ++i) names.push_back("attribute_" + std::to_string(i));
  const TCOSEMClassInfo& info = list.Add(1, 0, "Wide", 26, 0, AttributeRange(1, 26), names);
  EXPECT_EQ(info.AttributeNames.size(), 26u);
  EXPECT_TRUE(info.IsStatic(26));
  EXPECT_FALSE(info.IsStatic(27));
  EXPECT_FALSE(info.IsStatic(0));
  EXPECT_FALSE(info.IsStatic(-1));
  EXPECT_FALSE(info.IsStatic(32));
}

TEST(COSEMClassAdd, RefusesInconsistentRowsWithoutAddingThem) {
  struct TCase {
    int Attributes, Methods;
    TAttributeSet Static;
    int NameCount;
    const char* Message;
  };
  const std::vector<TCase> cases = {
      {27, 0, 0, 27, "Assertion failed: AttributeQty = 27, Max = 26"},
      {1000, 0, 0, 0, "Assertion failed: AttributeQty = 1000, Max = 26"},
      {-1, 0, 0, 0, "Assertion failed: AttributeQty = -1, Min = 0"},
      {2, -1, 0, 2, "Assertion failed: MethodsQty = -1, Min = 0"},
      {3, 0, 0, 2, "Assertion failed: AttributeNames = 2, AttributeQty = 3"},
      {3, 0, 0, 4, "Assertion failed: AttributeNames = 4, AttributeQty = 3"},
      {0, 0, 0, 1, "Assertion failed: AttributeNames = 1, AttributeQty = 0"},
      {3, 0, 1u, 3, "Assertion failed: StaticAttributes = 00000001, AttributeQty = 3"},
      {3, 0, AttributeSet({1, 4}), 3,
       "Assertion failed: StaticAttributes = 00000012, AttributeQty = 3"},
      {3, 0, 0x80000000u, 3, "Assertion failed: StaticAttributes = 80000000, AttributeQty = 3"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Message);
    TCOSEMClassesInfo list;
    list.Add(1, 0, "Kept", 1, 0, 0, {"logical_name"});
    Names names(static_cast<size_t>(c.NameCount), "n");
    try {
      list.Add(2, 0, "Refused", c.Attributes, c.Methods, c.Static, names);
      ADD_FAILURE() << "accepted";
    } catch (const EAssertionFailed& e) {
      EXPECT_STREQ(e.what(), c.Message);
    }
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Search(2, -1), nullptr);
  }
}
