// The authored form of the OBIS descriptions and its compilation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "knowledge/OBISSource.h"

using namespace quillon;

namespace {

std::unique_ptr<TOBISData> Compile(std::string_view source) {
  TOBISSourceCompiler compiler;
  compiler.AddSource("t.obis", source);
  return compiler.Build();
}

}  // namespace

TEST(OBISSource, ConditionsSplitThePatternAndClausesJoin) {
  const auto db = Compile(
      "# a comment\n"
      "medium 1\n"
      "\n"
      "obis 1.0.1.8.0-63.255,1\n"
      "  Energy\n"
      "  [E 1-63] tariff $E\n"
      "  [F 1] + of last period\n");
  struct Case {
    TOBISCode Code;
    const char* Text;
  } const cases[] = {
      {{1, 0, 1, 8, 0, 255}, "Energy"},
      {{1, 0, 1, 8, 2, 255}, "Energy, tariff 2"},
      {{1, 0, 1, 8, 0, 1}, "Energy of last period"},
      {{1, 0, 1, 8, 63, 1}, "Energy, tariff 63 of last period"},
      {{1, 0, 1, 8, 64, 255}, "Not found 1.0.1.8.64.255"},
      {{1, 0, 1, 8, 0, 2}, "Not found 1.0.1.8.0.2"},
  };
  for (const Case& c : cases) EXPECT_EQ(db->GetOBISText(c.Code), c.Text) << c.Text;
  const auto& items = db->AllMediaData[1]->Items;
  ASSERT_EQ(items.size(), 4u);
  for (const auto& item : items) {
    EXPECT_EQ(item->LineNr, 4);
    EXPECT_TRUE(item->IsAmpersAndExpansion);
    EXPECT_FALSE(item->IsTableExpansion);
  }
  // The item for tariffs of the current period carries plain text lines.
  EXPECT_EQ(items[1]->Values.GetValue(u'E'), TValue::Range(1, 63));
  EXPECT_EQ(items[1]->Values.GetValue(u'F'), TValue::Single(255));
  EXPECT_EQ(items[1]->Texts, (std::vector<std::string>{"Energy,", "tariff $E"}));
}

TEST(OBISSource, ExclusiveConditionsGiveNoEmptyItems) {
  const auto db = Compile(
      "medium 1\n"
      "obis 1.0.1.8.0.0-99,101,255\n"
      "  Energy\n"
      "  [F 0-99] billing period $F\n"
      "  [F 101] last billing period\n");
  EXPECT_EQ(db->AllMediaData[1]->Items.size(), 3u);
  EXPECT_EQ(db->GetOBISText({1, 0, 1, 8, 0, 7}), "Energy, billing period 7");
  EXPECT_EQ(db->GetOBISText({1, 0, 1, 8, 0, 101}), "Energy, last billing period");
  EXPECT_EQ(db->GetOBISText({1, 0, 1, 8, 0, 255}), "Energy");
  // Outside both conditions only F = 255 is left.
  EXPECT_EQ(db->AllMediaData[1]->Items[0]->Values.GetValue(u'F'), TValue::Single(255));
}

TEST(OBISSource, SharedMediaTablesAndVariables) {
  const auto db = Compile(
      "medium 8 9\n"
      "let Q = 1,2\n"
      "table 6 A\n"
      "  8: Cold\n"
      "  9: Hot\n"
      "end\n"
      "table 1 C\n"
      "  1: volume\n"
      "  2: flow rate\n"
      "end\n"
      "obis *.0.@Q.0.0.255 ic 3 alt 4 types 6,17\n"
      "  $6 water $1\n");
  EXPECT_EQ(db->GetOBISText({8, 0, 1, 0, 0, 255}), "Cold water volume");
  EXPECT_EQ(db->GetOBISText({9, 0, 2, 0, 0, 255}), "Hot water flow rate");
  EXPECT_EQ(db->GetOBISText({9, 0, 3, 0, 0, 255}), "Not found 9.0.3.0.0.255");
  for (int m : {8, 9}) {
    const TOBISMediaData& media = *db->AllMediaData[static_cast<size_t>(m)];
    ASSERT_EQ(media.Items.size(), 1u);
    const TOBISItemData& item = *media.Items[0];
    EXPECT_EQ(item.Values.GetValue(u'A'), TValue::Single(static_cast<uint8_t>(m)));
    EXPECT_TRUE(item.IsTableExpansion);
    EXPECT_FALSE(item.IsAmpersAndExpansion);
    EXPECT_EQ(item.InterfaceClasses, TValue::Single(3));
    EXPECT_EQ(item.AltInterfaceClasses, TValue::Single(4));
    EXPECT_EQ(item.ValueTypes, TValue::Set({6, 17}));
    ASSERT_NE(media.Variables.Find("Q"), nullptr);
    EXPECT_EQ(*media.Variables.Find("Q"), TValue::Range(1, 2));
  }
  EXPECT_FALSE(db->AllMediaData[7]);
  // Words of the descriptions without the references, sorted, each once.
  EXPECT_EQ(db->FAllWords, (std::vector<std::string>{"Cold", "Hot", "flow", "rate", "volume", "water"}));
}

TEST(OBISSource, MistakesNameTheLine) {
  struct Case {
    const char* Source;
    const char* Message;
  } const cases[] = {
      {"obis 1.0.1.8.0.255\n  x\n", "t.obis:1: no \"medium\" before this line"},
      {"medium 10\n", "t.obis:1: a medium is 0 to 9"},
      {"medium 1\nobis 1.0.1-.8.0.255\n  x\n", "t.obis:2: bad value set \"1-\""},
      {"medium 1\nobis 1.0.2-1.8.0.255\n  x\n", "t.obis:2: bad value set \"2-1\""},
      {"medium 1\nobis 1.0.1.8.0.256\n  x\n", "t.obis:2: bad value set \"256\""},
      {"medium 1\nobis 1.0.1.8.0\n  x\n", "t.obis:2: a pattern has six value groups separated by \".\""},
      {"medium 1\nobis 2.0.1.8.0.255\n  x\n", "t.obis:2: value group A of a pattern is the medium (\"*\" for several media)"},
      {"medium 1\nobis 1.0.@X.8.0.255\n  x\n", "t.obis:2: unknown value set \"@X\""},
      {"medium 1\nobis 1.0.1.8.0.255 colour 3\n  x\n", "t.obis:2: unknown attribute \"colour\""},
      {"medium 1\nobis 1.0.1.8.0.255\nobis 1.0.2.8.0.255\n  x\n", "t.obis:2: pattern without description"},
      {"medium 1\n  x\n", "t.obis:2: an indented clause belongs under an \"obis\" line"},
      {"medium 1\nobis 1.0.1.8.0.255\n  [G 1] x\n", "t.obis:3: a condition reads \"[X set]\" with X one of A to F"},
      {"medium 1\ntable 1 C\n  1: a\n", "t.obis:3: table without \"end\""},
      {"medium 1\ntable 1 C\n  1: a\n  0-1: b\nend\n", "t.obis:4: table entry 1 defined twice"},
      {"medium 1\ntable 1 G\nend\n", "t.obis:2: \"table N X\" with N 0 to 9 and X one of A to F"},
      {"medium 1\nrule 1\n", "t.obis:2: unknown statement \"rule\""},
      {"medium 1\nlet X = 1\n", "medium 1 has no patterns"},
      // References are checked for every value the pattern allows.
      {"medium 1\nobis 1.0.1.8.0.255\n  $2\n", "t.obis:2: 1-0:1.8.0*255: Error 1 on line 2"},
      {"medium 1\ntable 1 E\n  0-2: x\nend\nobis 1.0.1.8.0-3.255\n  $1\n",
       "t.obis:5: 1-0:1.8.3*255: List index out of bounds (3)"},
      {"medium 1\ntable 1 E\n  0: x\n  2: z\nend\nobis 1.0.1.8.0-2.255\n  $1\n",
       "t.obis:6: 1-0:1.8.1*255: Error 2 on line 6"},
      {"medium 1\nobis 1.0.1.8.0.255\n  $(Z)\n", "t.obis:2: 1-0:1.8.0*255: Error 4 on line 2"},
      {"medium 1\nobis 1.0.1.8.0.255\n  costs $x\n", "t.obis:2: 1-0:1.8.0*255: unexpanded \"$\" in \"costs $x\""},
  };
  for (const Case& c : cases)
    EXPECT_THAT([&] { Compile(c.Source); }, testing::ThrowsMessage<EOBISSourceError>(testing::StrEq(c.Message)))
        << c.Source;
}
