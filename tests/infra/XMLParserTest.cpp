#include <gtest/gtest.h>

#include "TestUtil.h"

#include "xmlpdu/infra/XMLParser.h"

using namespace quillon;
using quillon::test::ErrorOf;

namespace {


// Token kinds and tag names of a whole text.
std::string Tokens(std::string_view text) {
  TXMLParser p(text);
  std::string r;
  for (int guard = 0; guard < 100; ++guard) {
    switch (p.FToken) {
      case xtStartTag: r += "<" + std::string(p.FTagIdentifier) + (p.FHasAttribute ? "=" + std::string(p.FAttribValue) : "") + ">"; break;
      case xtStopTag: r += "</" + std::string(p.FTagIdentifier) + ">"; break;
      case xtUnknown: r += "?"; return r;
      case xtEndOfBuffer: return r;
      default: r += "!"; break;
    }
    p.Next();
  }
  return r;
}

}  // namespace

TEST(XMLNames, VocabularyInOrder) {
  EXPECT_EQ(XMLIdName(xmlInitiateRequest), "InitiateRequest");
  EXPECT_EQ(static_cast<int>(xmlInitiateRequest), 0);
  EXPECT_EQ(static_cast<int>(xmlDummy), 425);
  EXPECT_EQ(XMLIdName(xml_GetRequest), "_GetRequest");
  TXMLId id;
  ASSERT_TRUE(FindXMLId("getresponsenormal", id));
  EXPECT_EQ(id, xmlGetResponseNormal);
  EXPECT_FALSE(FindXMLId("NoSuchName", id));
  for (int i = 0; i < kXMLIdCount; ++i) {
    ASSERT_TRUE(FindXMLId(XMLIdName(static_cast<TXMLId>(i)), id));
    EXPECT_EQ(id, i);
  }
}

TEST(XMLParser, TokenizesTheForms) {
  struct Case {
    const char* text;
    const char* tokens;
  } cases[] = {
      {"<A><B Value=\"01\" /></A>", "<A><B=01></A>"},
      {"<?xml version=\"1.0\"?><!-- note --><A/>", "<A>"},
      {"// line comment\n(* block\n comment *)<A>", "<A>"},
      {"(*)<A>", "<A>"},
      {"<B Value = \"01\"/>", "<B=01>"},
      {"<B Value='01'>", "<B=01>"},
      {"<B\n  Value\n=\n'01'\n/>", "<B=01>"},
      {"<B Value=\"01\" Qty=\"0002\"/>", "?"},
      {"<1B>", "?"},
      {"<B Value=\"01\"", "?"},
      {"text", "?"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Tokens(c.text), c.tokens) << c.text;
}

TEST(XMLParser, AssertionsAndErrors) {
  TXMLParser p("<GetRequest>\n  <Unsigned Value=\"05\"></Unsigned>\n</GetRequest>");
  EXPECT_TRUE(p.IsStartTag(xmlGetRequest));
  EXPECT_TRUE(p.IsStartTag(xmlSetRequest, xmlGetRequest));
  EXPECT_FALSE(p.IsStartTag(xmlSetRequest));
  EXPECT_EQ(ErrorOf([&] { p.XMLAssertStopTagAndNext(xmlGetRequest); }), "Stop tag \"GetRequest\" expected");
  p.XMLAssertStartTagAndNext(xmlGetRequest);
  EXPECT_EQ(p.XMLGetAttributeValue(xmlValue), "05");
  EXPECT_EQ(ErrorOf([&] { p.XMLGetAttributeValue(xmlQty); }), "\"Qty\" expected");
  EXPECT_EQ(ErrorOf([&] { p.XMLAssertStartTag(xmlData); }), "Start tag \"Data\" expected");
  EXPECT_EQ(ErrorOf([&] { p.UnexpectedKeyword(xmlData); }), "Unexpected keyword \"Data\"");
  try {
    p.RaiseXMLError("boom");
  } catch (const EXMLError& e) {
    EXPECT_STREQ(e.what(), "boom");
    EXPECT_EQ(e.PosY, 2);
    EXPECT_EQ(e.PosX, 3);
  }
  p.Next();
  // The leaf's own stop tag is left for the enclosing element to trip over.
  EXPECT_EQ(ErrorOf([&] { p.XMLAssertStopTagAndNext(xmlGetRequest); }), "Stop tag \"GetRequest\" expected");

  TXMLParser bad("<Nonsense>");
  EXPECT_EQ(ErrorOf([&] { bad.Tag(); }), "'Nonsense' unknown identifier");
  EXPECT_EQ(ErrorOf([] { TXMLParser q("<A Bogus=\"1\" />"); }), "'Bogus' unknown identifier");
  TXMLParser hex("<A Value=\"0G\" />");
  try {
    hex.HexStrToByteStrOfValue();
    FAIL();
  } catch (const EXMLError& e) {
    EXPECT_STREQ(e.what(), "Illegal hex-character");
    EXPECT_EQ(e.PosY, 1);
  }
}

TEST(LexicalAnalyser, Tokens) {
  TLexicalAnalyser lex;
  lex.SetText("{2 16 756 5 8 1 1}");
  EXPECT_EQ(lex.FToken, toCurlOpen);
  std::vector<int> nums;
  lex.Next();
  while (lex.FToken == toIntConst) {
    nums.push_back(lex.FTokenIntValue);
    lex.Next();
  }
  EXPECT_EQ(nums, (std::vector<int>{2, 16, 756, 5, 8, 1, 1}));
  EXPECT_EQ(lex.FToken, toCurlClose);
  lex.Next();
  EXPECT_EQ(lex.FToken, toEndOfBuffer);

  lex.SetText("0x1F");
  EXPECT_EQ(lex.FTokenIntValue, 31);
  lex.SetText("'it''s'");
  EXPECT_EQ(lex.FToken, toStrConst);
  EXPECT_EQ(lex.FStrConst, "it's");
  lex.SetText("abc_1");
  EXPECT_EQ(lex.FIdentifier, "ABC_1");

  struct Op {
    const char* text;
    TLexicalToken token;
  } ops[] = {{":=", toAssigment}, {"+=", toPlusEqual}, {"-=", toMinusEqual}, {"::", toAlias},
             {"<=", toLesserOrEqual}, {"<>", toDifferent}, {">=", toGreaterOrEqual}, {"..", toRange},
             {"...", toEllipsis}, {"(", toParOpen}, {"@", toArobase}, {"!", toUnknown}, {"&", toAmpersAnd},
             {"// c\n;", toSemicolon}, {"(* c *)]", toBraClose}};
  for (const auto& o : ops) {
    lex.SetText(o.text);
    EXPECT_EQ(lex.FToken, o.token) << o.text;
  }
  lex.SetText("a\n  b");
  EXPECT_TRUE(lex.FFirstTokenOnLine);
  lex.Next();
  EXPECT_TRUE(lex.FFirstTokenOnLine);
  EXPECT_EQ(lex.GetTokenIndexInLine(), 3);
  lex.SetText("\xC3\xA9");
  EXPECT_EQ(lex.LexError, LexIllChar);
}

TEST(LexicalAnalyser, Errors) {
  TLexicalAnalyser lex;
  lex.SetText("3");
  EXPECT_EQ(ErrorOf([&] { lex.ExpectInt(0, 2); }), "(1:1) Value out of range 3.");
  lex.SetText("\n  x");
  EXPECT_EQ(ErrorOf([&] { lex.ExpectInt(0, 2); }), "(3:2) Integer value [0..2] expected.");
  EXPECT_EQ(ErrorOf([&] { lex.Expect(toCurlOpen); }), "(3:2) '{' expected");
  try {
    lex.Expect(toCurlOpen);
  } catch (const ELexError& e) {
    EXPECT_EQ(e.PosX, 3);
    EXPECT_EQ(e.PosY, 2);
  }
  lex.SetText("7");
  EXPECT_EQ(lex.ExpectInt(0, 9), 7);
  EXPECT_EQ(lex.FToken, toEndOfBuffer);
}
