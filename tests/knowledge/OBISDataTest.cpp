// Lookup and text composition of the OBIS description database, on small
// databases built here so that each case shows exactly what it exercises.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "knowledge/OBISData.h"

using namespace quillon;

namespace {

constexpr int kLine = 17;

// One item matching exactly the given code in every group but those
// widened by the caller.
std::unique_ptr<TOBISItemData> Item(const TOBISCode& code, std::vector<std::string> texts, int line = kLine) {
  auto item = std::make_unique<TOBISItemData>();
  item->LineNr = line;
  for (size_t g = 0; g < 6; ++g) item->Values.Items[g] = TValue::Single(code[g]);
  item->Texts = std::move(texts);
  return item;
}

std::unique_ptr<TTable> Table(TColumn column, std::vector<std::string> entries) {
  auto table = std::make_unique<TTable>();
  table->Column = column;
  for (auto& e : entries) table->Entries.push_back({std::move(e)});
  return table;
}

struct Database {
  TOBISData Data;
  TOBISMediaData& Electricity;
  Database() : Electricity(*(Data.AllMediaData[1] = std::make_unique<TOBISMediaData>())) {}
};

const TOBISCode kCode = {1, 2, 1, 8, 3, 255};

std::string ComposeOne(const std::string& line, const TOBISCode& code = kCode) {
  Database db;
  db.Electricity.Items.push_back(Item(code, {line}));
  db.Electricity.Tables[1] = Table(u'C', {"zero", "one", "two"});
  db.Electricity.Tables[2] = Table(u'E', {"none", "single", "double", "tariff $E of $(F)"});
  return db.Data.GetOBISText(code);
}

// The general error with exactly this text.
auto Fails(const std::string& text) { return testing::ThrowsMessage<EGeneralError>(testing::StrEq(text)); }

}  // namespace

TEST(OBISLookup, MediumErrorsAndNotFound) {
  Database db;
  db.Electricity.Items.push_back(Item({1, 0, 1, 8, 0, 255}, {"Energy"}));
  EXPECT_THAT([&] { db.Data.GetOBISText({12, 0, 1, 8, 0, 255}); }, Fails("Code=12.0.1.8.0.255, illegal media 12"));
  EXPECT_THAT([&] { db.Data.GetOBISText({255, 0, 1, 8, 0, 255}); }, Fails("Code=255.0.1.8.0.255, illegal media 255"));
  EXPECT_THAT([&] { db.Data.GetOBISText({7, 0, 3, 0, 0, 255}); },
            Fails("Code=7.0.3.0.0.255, no data available for media 7"));
  EXPECT_EQ(db.Data.GetOBISText({1, 0, 99, 99, 0, 255}), "Not found 1.0.99.99.0.255");
  // The failures leave the database as it was.
  EXPECT_EQ(db.Data.GetOBISText({1, 0, 1, 8, 0, 255}), "Energy");
}

TEST(OBISLookup, FirstMatchingItemWins) {
  Database db;
  auto specific = Item({1, 0, 1, 8, 0, 255}, {"specific"});
  auto general = Item({1, 0, 1, 8, 0, 255}, {"general"});
  general->Values.Items[4] = TValue::Range(0, 63);
  auto shadowed = Item({1, 0, 1, 8, 0, 255}, {"shadowed"});
  db.Electricity.Items.push_back(std::move(specific));
  db.Electricity.Items.push_back(std::move(general));
  db.Electricity.Items.push_back(std::move(shadowed));
  EXPECT_EQ(db.Data.GetOBISText({1, 0, 1, 8, 0, 255}), "specific");
  EXPECT_EQ(db.Data.GetOBISText({1, 0, 1, 8, 5, 255}), "general");
  EXPECT_EQ(db.Data.GetOBISText({1, 0, 1, 8, 64, 255}), "Not found 1.0.1.8.64.255");
}

TEST(OBISLookup, ValueKinds) {
  const TValue none;
  const TValue single = TValue::Single(7);
  const TValue all = TValue::Range(0, 255);
  const TValue inverted = TValue::Range(9, 3);
  const TValue set = TValue::Set({0, 9, 128, 255});
  struct Case {
    const TValue& Value;
    std::vector<int> In;
    std::vector<int> Out;
  };
  const Case cases[] = {
      {none, {}, {0, 7, 255}},
      {single, {7}, {0, 6, 8, 255}},
      {all, {0, 1, 128, 254, 255}, {}},
      {inverted, {}, {2, 3, 5, 9, 10}},
      {set, {0, 9, 128, 255}, {1, 8, 10, 127, 129, 254}},
  };
  for (const Case& c : cases) {
    for (int b : c.In) EXPECT_TRUE(c.Value.HasElement(static_cast<uint8_t>(b))) << int(c.Value.Kind) << " " << b;
    for (int b : c.Out) EXPECT_FALSE(c.Value.HasElement(static_cast<uint8_t>(b))) << int(c.Value.Kind) << " " << b;
  }
  // One group of kind none keeps the item from ever matching.
  Database db;
  auto item = Item({1, 0, 1, 8, 0, 255}, {"never"});
  item->Values.Items[5] = TValue();
  db.Electricity.Items.push_back(std::move(item));
  EXPECT_EQ(db.Data.GetOBISText({1, 0, 1, 8, 0, 255}), "Not found 1.0.1.8.0.255");
}

TEST(OBISCompose, LinesJoinWithOneSpaceAndEmptyLinesAddNothing) {
  Database db;
  db.Electricity.Items.push_back(Item(kCode, {"", "Energy tariff $(E)", "", "(channel $B)", ""}));
  EXPECT_EQ(db.Data.GetOBISText(kCode), "Energy tariff 3 (channel 2)");
}

TEST(OBISCompose, References) {
  struct Case {
    const char* Line;
    const char* Expected;
  } const cases[] = {
      {"$A$B$C$D$E$F", "1218" "3255"},
      {"$(E)", "3"},
      {"$(E+1)", "4"},
      {"$(e+1)", "4"},
      {"$(E-4)", "-1"},
      {"$(F+1)", "256"},
      {"$( E + 0x10 )", "19"},
      {"$(E+1]", "4"},         // through the character after the number
      {"$(E+1 ]", "4]"},
      {"$(E+1", "4"},
      {"before $(E) after", "before 3 after"},
      {"$(E-1)$(E+1)", "24"},
      {"rate $2", "rate tariff 3 of 255"},  // a table entry with references of its own
      {"$1", "one"},
      // No reference: the "$" stays and the rest is still expanded.
      {"$0 $x $ $E", "$0 $x $ 3"},
      {"cost in $", "cost in $"},
      {"$G", "$G"},
  };
  for (const Case& c : cases) EXPECT_EQ(ComposeOne(c.Line), c.Expected) << c.Line;
}

TEST(OBISCompose, NumberedErrorsNameTheLine) {
  struct Case {
    const char* Line;
    int Error;
  } const cases[] = {
      {"$(AB)", 3}, {"$()", 3}, {"$(1)", 3}, {"$(", 3}, {"$(\"E\")", 3},
      {"$(G)", 4},  {"$(_)", 4},
      {"$(E*2)", 5}, {"$(E", 5}, {"$(E 1)", 5},
      {"$(E+)", 6}, {"$(E-x)", 6}, {"$(E+", 6},
      {"$3", 1},
  };
  for (const Case& c : cases)
    EXPECT_THAT([&] { ComposeOne(c.Line); }, Fails(Format("Error %d on line %d", c.Error, kLine))) << c.Line;
}

TEST(OBISCompose, TableSelection) {
  Database db;
  auto item = Item(kCode, {"[$1]"});
  item->Values.Items[2] = TValue::Range(0, 255);
  db.Electricity.Items.push_back(std::move(item));
  db.Electricity.Tables[1] = Table(u'C', {"", "second", "third"});
  EXPECT_EQ(db.Data.GetOBISText({1, 2, 1, 8, 3, 255}), "[second]");
  EXPECT_EQ(db.Data.GetOBISText({1, 2, 2, 8, 3, 255}), "[third]");
  EXPECT_THAT([&] { db.Data.GetOBISText({1, 2, 0, 8, 3, 255}); }, Fails("Error 2 on line 17"));
  try {
    db.Data.GetOBISText({1, 2, 3, 8, 3, 255});
    ADD_FAILURE() << "no index error";
  } catch (const EOBISIndexOutOfRange& e) {
    EXPECT_EQ(e.Index, 3);
    EXPECT_EQ(e.Count, 3);
  }
}

TEST(OBISCompose, SelfReferenceIsBounded) {
  Database db;
  db.Electricity.Items.push_back(Item(kCode, {"loop $1"}, 5));
  db.Electricity.Tables[1] = Table(u'C', {"x", "again $1"});
  EXPECT_THAT([&] { db.Data.GetOBISText(kCode); }, Fails("Too many replacements on line 5"));
  // An entry that grows the line by 100 characters each time hits the
  // length bound first.
  db.Electricity.Tables[1] = Table(u'C', {"x", std::string(100, '.') + "$1"});
  EXPECT_THAT([&] { db.Data.GetOBISText(kCode); }, Fails("Description too long on line 5"));
}

TEST(OBISCodeText, ReadAndWrite) {
  EXPECT_EQ(TOBISData::OBISCodeToOBISStr({1, 0, 1, 8, 0, 255}), "1.0.1.8.0.255");
  EXPECT_EQ(OBISCodeToReducedStr({0, 1, 24, 2, 1, 255}), "0-1:24.2.1*255");
  struct Good {
    const char* Text;
    TOBISCode Code;
  } const good[] = {
      {"1-0:1.8.0*255", {1, 0, 1, 8, 0, 255}},
      {"1.0.1.8.0.255", {1, 0, 1, 8, 0, 255}},
      {"0-1:24.2.1*255", {0, 1, 24, 2, 1, 255}},
      {"255.255.255.255.255.255", {255, 255, 255, 255, 255, 255}},
  };
  for (const Good& g : good) EXPECT_EQ(StrToOBISCode(g.Text), g.Code) << g.Text;
  for (const char* bad : {"", "1-0:1.8.0", "1-0:1.8.0*256", "1-0:1.8.0*255 ", "1.0:1.8.0*255", "1-0:1.8.0.255",
                          "1.0.1.8.0", "1.0.1.8.0.0.0", "a.b.c.d.e.f", "1.0.1.8.0.-1", "1.0.1.8.0.0255"})
    EXPECT_THAT([&] { StrToOBISCode(bad); }, Fails(Format("Invalid OBIS code \"%s\"", bad))) << bad;
  EXPECT_EQ(LogicalNameToOBISCode(std::string("\x01\x00\x01\x08\x00\xff", 6)), (TOBISCode{1, 0, 1, 8, 0, 255}));
  EXPECT_THAT([] { LogicalNameToOBISCode(std::string("\x01\x00", 2)); }, Fails("A logical name has 6 bytes, not 2"));
}
