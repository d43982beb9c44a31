// Pushes as meters send them: block series joined within their bounds, and
// the names lists give their values (by themselves or by a layout file).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "client/Push.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using namespace quillon::client;
using nlohmann::json;

namespace {

// A general-block-transfer block: control (last block: 0x80), number, no ack, data.
std::string Block(int number, bool last, const std::string& data) {
  std::string b{"\xE0", 1};
  b += static_cast<char>(last ? 0xC0 : 0x40);
  b += static_cast<char>(number >> 8);
  b += static_cast<char>(number & 0xFF);
  b += std::string(2, '\0');
  EncodeVarLengthUnsignedInteger(b, static_cast<int32_t>(data.size()));
  return b + data;
}

using TClock = TBlockJoiner::TClock;

// What a joiner makes of blocks in turn: "wait", "whole <data>" or the error.
std::vector<std::string> Join(TBlockJoiner& j, const std::vector<std::string>& blocks) {
  std::vector<std::string> out;
  TClock::time_point t{};
  for (const auto& b : blocks) {
    try {
      const auto whole = j.Add(b, t += std::chrono::seconds(1));
      out.push_back(whole ? "whole " + *whole : "wait");
    } catch (const std::exception& e) {
      out.push_back(e.what());
    }
  }
  return out;
}

TValue Data(const std::string& xml) { return ParseDataXml(xml); }

}  // namespace

TEST(PushBlocks, SeriesJoinedInOrderAndWhateverBreaksOneDropsItWhole) {
  TBlockJoiner::TLimits small;
  small.MaxBlocks = 3;
  small.MaxBytes = 8;
  const struct {
    const char* What;
    std::vector<std::string> Blocks;
    std::vector<std::string> Out;
  } cases[] = {
      {"one block", {Block(1, true, "abc")}, {"whole abc"}},
      {"three blocks", {Block(1, false, "ab"), Block(2, false, "cd"), Block(3, true, "e")}, {"wait", "wait", "whole abcde"}},
      {"a block missing",
       {Block(1, false, "ab"), Block(3, true, "e"), Block(1, true, "x")},
       {"wait", "general-block-transfer block 3 out of order (expected 2); the series of 1 blocks before it dropped",
        "whole x"}},
      {"no first block", {Block(2, true, "cd")}, {"general-block-transfer block 2 without the blocks before it"}},
      {"a new series before the end",
       {Block(1, false, "ab"), Block(1, false, "xy"), Block(2, true, "z")},
       {"wait", "a new block series began before the last one ended; its 1 blocks dropped", "whole xyz"}},
      {"too many blocks",
       {Block(1, false, "a"), Block(2, false, "b"), Block(3, false, "c"), Block(4, true, "d")},
       {"wait", "wait", "wait", "general-block-transfer series longer than 3 blocks; the series of 3 blocks before it dropped"}},
      {"too many bytes",
       {Block(1, false, "abcde"), Block(2, true, "fghij")},
       {"wait", "general-block-transfer series longer than 8 bytes; the series of 1 blocks before it dropped"}},
      {"a length beyond the block", {Block(1, true, "abc").substr(0, 8)},
       {"general-block-transfer block malformed at byte 8 of 8"}},
      {"bytes after the data", {Block(1, true, "abc") + "zz"}, {"general-block-transfer block 1: 2 bytes after its data"}},
  };
  for (const auto& c : cases) {
    TBlockJoiner j(small);
    EXPECT_EQ(Join(j, c.Blocks), c.Out) << c.What;
    EXPECT_EQ(j.Held(), 0u) << c.What;
  }
}

TEST(PushBlocks, AnIncompleteSeriesIsDroppedAtItsDeadline) {
  TBlockJoiner::TLimits limits;
  limits.Deadline = std::chrono::seconds(30);
  TBlockJoiner j(limits);
  const TClock::time_point t0{};
  EXPECT_FALSE(j.Add(Block(1, false, "abcd"), t0));
  EXPECT_EQ(j.Held(), 4u);
  EXPECT_FALSE(j.Expire(t0 + std::chrono::seconds(29)));
  EXPECT_EQ(j.Expire(t0 + std::chrono::seconds(31)),
            "incomplete block series dropped: 1 blocks (4 bytes) in 31 s, no last block");
  EXPECT_FALSE(j.Pending());
  EXPECT_EQ(j.Held(), 0u);
}

// The ways meters name what they push, and lists that name nothing.
TEST(PushNames, ListsNamingThemselvesAreKeyedByObis) {
  const struct {
    const char* What;
    const char* Xml;
    const char* Named;  // "" when the list names nothing
  } cases[] = {
      {"structures of OBIS, value and scaler-unit",
       "<Array Qty=\"2\"><Structure Qty=\"3\"><OctetString Value=\"0100010700FF\" /><DoubleLongUnsigned Value=\"00000462\" />"
       "<Structure Qty=\"2\"><Integer Value=\"FF\" /><Enum Value=\"1B\" /></Structure></Structure>"
       "<Structure Qty=\"2\"><OctetString Value=\"0100200700FF\" /><LongUnsigned Value=\"00E6\" /></Structure></Array>",
       R"({"1.0.1.7.0.255": {"value": 1122, "scaler": -1, "unit": "W", "scaled": 112.2},
           "1.0.32.7.0.255": {"value": 230}})"},
      {"OBIS codes alternating with values, a list version first",
       "<Structure Qty=\"5\"><VisibleString Value=\"4B616D73747275705F5630303031\" />"
       "<OctetString Value=\"0101000005FF\" /><VisibleString Value=\"3537\" />"
       "<OctetString Value=\"0101010700FF\" /><DoubleLongUnsigned Value=\"0000033A\" /></Structure>",
       R"({"list-version": {"value": "Kamstrup_V0001"}, "1.1.0.0.5.255": {"value": "57"}, "1.1.1.7.0.255": {"value": 826}})"},
      {"both in one list",
       "<Structure Qty=\"3\"><OctetString Value=\"0000010000FF\" /><OctetString Value=\"07E5071301 0F2E2300FF8880\" />"
       "<Structure Qty=\"2\"><OctetString Value=\"0100010800FF\" /><DoubleLongUnsigned Value=\"00002394\" /></Structure></Structure>",
       R"j({"0.0.1.0.0.255": {"value": "2021-07-19T15:46:35+02:00 (status 0x80)"}, "1.0.1.8.0.255": {"value": 9108}})j"},
      {"the push object list first",
       "<Structure Qty=\"3\"><Array Qty=\"3\">"
       "<Structure Qty=\"4\"><LongUnsigned Value=\"0028\" /><OctetString Value=\"0000190900FF\" /><Integer Value=\"02\" /><LongUnsigned Value=\"0000\" /></Structure>"
       "<Structure Qty=\"4\"><LongUnsigned Value=\"0008\" /><OctetString Value=\"0000010000FF\" /><Integer Value=\"03\" /><LongUnsigned Value=\"0000\" /></Structure>"
       "<Structure Qty=\"4\"><LongUnsigned Value=\"0003\" /><OctetString Value=\"0100010800FF\" /><Integer Value=\"02\" /><LongUnsigned Value=\"0000\" /></Structure>"
       "</Array><Long Value=\"FF88\" /><DoubleLongUnsigned Value=\"00000064\" /></Structure>",
       R"({"0.0.1.0.0.255/3": {"value": -120}, "1.0.1.8.0.255": {"value": 100}})"},
      {"one OBIS twice", "<Structure Qty=\"4\"><OctetString Value=\"0100010700FF\" /><Unsigned Value=\"01\" />"
       "<OctetString Value=\"0100010700FF\" /><Unsigned Value=\"02\" /></Structure>",
       R"({"1.0.1.7.0.255": {"value": 1}, "1.0.1.7.0.255#2": {"value": 2}})"},
      {"bare values", "<Structure Qty=\"2\"><DoubleLongUnsigned Value=\"00000528\" /><Long Value=\"0005\" /></Structure>", ""},
      {"a version and nothing else", "<Structure Qty=\"1\"><VisibleString Value=\"41\" /></Structure>", ""},
      {"an OBIS without its value", "<Structure Qty=\"1\"><OctetString Value=\"0100010700FF\" /></Structure>", ""},
      {"an OBIS followed by an OBIS", "<Structure Qty=\"2\"><OctetString Value=\"0100010700FF\" /><OctetString Value=\"0100020700FF\" /></Structure>", ""},
      {"a push object list that does not fit",
       "<Structure Qty=\"2\"><Array Qty=\"1\"><Structure Qty=\"4\"><LongUnsigned Value=\"0003\" /><OctetString Value=\"0100010800FF\" />"
       "<Integer Value=\"02\" /><LongUnsigned Value=\"0000\" /></Structure></Array><Unsigned Value=\"01\" /></Structure>", ""},
      {"no list", "<DoubleLongUnsigned Value=\"00000528\" />", ""},
  };
  for (const auto& c : cases) {
    const auto named = SelfNamedValues(Data(c.Xml));
    if (*c.Named == 0) {
      EXPECT_FALSE(named) << c.What << ": " << named->dump();
      continue;
    }
    ASSERT_TRUE(named) << c.What;
    EXPECT_EQ(*named, json::parse(c.Named)) << c.What;
  }
}

TEST(PushNames, ALayoutNamesAFixedListOfItsLength) {
  const TPushLayout layout = ParsePushLayout(
      "# Kaifa list 1\n"
      "1.0.1.7.0.255 3 0 W   # active power import\n"
      "\n"
      "1-0:32.7.0*255 3 -1 V\n"
      "0.0.96.1.0.255\n",
      "kaifa.layout");
  ASSERT_EQ(layout.size(), 3u);
  const TValue list = Data("<Structure Qty=\"3\"><DoubleLongUnsigned Value=\"00000528\" /><LongUnsigned Value=\"0903\" />"
                           "<OctetString Value=\"41\" /></Structure>");
  EXPECT_EQ(*LayoutNamedValues(list, layout),
            json::parse(R"({"1.0.1.7.0.255": {"value": 1320, "scaler": 0, "unit": "W", "scaled": 1320.0},
                            "1.0.32.7.0.255": {"value": 2307, "scaler": -1, "unit": "V", "scaled": 230.7},
                            "0.0.96.1.0.255": {"value": "41"}})"));
  EXPECT_FALSE(LayoutNamedValues(Data("<Structure Qty=\"1\"><Unsigned Value=\"01\" /></Structure>"), layout));
  const struct {
    const char* Text;
    const char* Error;
  } bad[] = {
      {"1.0.1.7.0.255 3 0\n", "f line 1: expected OBIS [CLASS [SCALER UNIT]]"},
      {"\n1.0.1.7.0 3\n", "f line 2: OBIS code \"1.0.1.7.0\": expected"},
      {"1.0.1.7.0.255 3 200 W\n", "f line 1: scaler \"200\": expected -128..127"},
      {"1.0.1.7.0.255 x\n", "f line 1: class \"x\": expected 0..65535"},
      {"1.0.1.7.0.255 3 0 furlongs\n", "f line 1: unit \"furlongs\": expected a unit symbol"},
      {"# nothing\n", "f: no positions"},
  };
  for (const auto& b : bad) {
    std::string error = "<no error>";
    try {
      ParsePushLayout(b.Text, "f");
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error.substr(0, std::string(b.Error).size()), b.Error) << b.Text;
  }
}

// The text telegram of a P1 port, as some meters cipher it in place of a
// data notification.
TEST(PushNames, ATelegramNamesItsValuesByObisAndItsChecksumHolds) {
  const std::string body =
      "/SAG5SMARTY\r\n\r\n0-0:1.0.0(190123120000W)\r\n1-0:1.8.0(001234.567*kWh)\r\n1-0:1.7.0(00.352*kW)\r\n"
      "0-0:96.1.1(53414731)\r\n0-1:24.2.1(190123115500W)(00123.456*m3)\r\n!";
  ASSERT_TRUE(LooksLikeTelegram(body + "87A3\r\n"));
  EXPECT_EQ(TelegramJson(body + "87A3\r\n"), json::parse(R"({"identification": "SAG5SMARTY", "values": {
      "0.0.1.0.0.255": {"value": "2019-01-23T12:00:00+01:00"},
      "1.0.1.8.0.255": {"value": 1234.567, "unit": "kWh"},
      "1.0.1.7.0.255": {"value": 0.352, "unit": "kW"},
      "0.0.96.1.1.255": {"value": "53414731"},
      "0.1.24.2.1.255": {"value": 123.456, "unit": "m3", "time": "2019-01-23T11:55:00+01:00"}}})"));
  const struct {
    std::string Text;
    const char* Error;
  } bad[] = {
      {body + "87A4\r\n", "telegram checksum \"87A4\" does not match (87A3)"},
      {"/X\r\n1-0:1.8.0 1234\r\n!", "telegram line 2 is no OBIS line"},
      {"/X\r\n1-0:1.999.0(1)\r\n!", "telegram line 2: OBIS part 999 over 255"},
      {"/X\r\n1-0:1.8.0(" + std::string(100000, '1') + ")\r\n!", "telegram line 2 longer than 1024 characters"},
  };
  for (const auto& b : bad) {
    std::string error = "<no error>";
    try {
      TelegramJson(b.Text);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error, b.Error);
  }
}
