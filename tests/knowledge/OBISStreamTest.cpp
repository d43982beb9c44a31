// The database stream: its byte layout, the block enciphering, and the
// rejection of truncated or damaged streams.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "knowledge/OBISData.h"

using namespace quillon;

namespace {

std::string Hex(std::string_view s) { return TMisc::ByteStrToHexStr(s); }

std::string Utf16(std::string_view ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}
std::string Int32(int32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
  return out;
}
std::string String(std::string_view ascii) { return Int32(static_cast<int32_t>(ascii.size())) + Utf16(ascii); }
std::string Value(uint8_t kind, uint8_t b, uint8_t lo, uint8_t hi) {
  std::string v{static_cast<char>(kind), static_cast<char>(b), static_cast<char>(lo), static_cast<char>(hi)};
  return v + std::string(32, '\0');
}

// The plain stream of a database with one medium (A = 1) holding one item
// "1.0.1.8.0-63.255" with two lines, table 2 selected by E and one variable,
// written byte by byte after the documented layout.
std::string HandMadeStream() {
  std::string s = String("Energy\r\ntariff\r\n");  // the word list
  s += '\0';                                       // medium 0 absent
  s += '\1';                                       // medium 1 present
  s += Int32(1);                                   // one item
  s += Int32(42) + '\1' + '\0';                    // line, table mark, ampersand mark
  s += Value(1, 1, 0, 0) + Value(1, 0, 0, 0) + Value(1, 1, 0, 0) + Value(1, 8, 0, 0) + Value(2, 0, 0, 63) +
       Value(1, 255, 0, 0);
  s += String("Energy\r\n$2\r\n");
  s += std::string(1, '\1') + Value(1, 3, 0, 0);  // interface classes
  s += '\0';                                       // no alternative classes
  s += '\0';                                       // no value types
  std::string tables(32, '\0');
  tables[('2') / 8] = static_cast<char>(1 << ('2' % 8));
  s += tables;
  s += std::string("E\0", 2) + Int32(2) + String("total") + String("tariff $E");
  s += Int32(1) + String("RATE") + Value(2, 0, 0, 63);
  s += std::string(8, '\0');  // media 2 to 9 absent
  return s;
}

}  // namespace

TEST(OBISStream, ReadsTheDocumentedLayout) {
  const std::string plain = HandMadeStream();
  const auto db = TOBISData::CreateFromStream(plain);
  EXPECT_EQ(db->FAllWords, (std::vector<std::string>{"Energy", "tariff"}));
  ASSERT_FALSE(db->AllMediaData[0]);
  ASSERT_TRUE(db->AllMediaData[1]);
  const TOBISMediaData& m = *db->AllMediaData[1];
  ASSERT_EQ(m.Items.size(), 1u);
  const TOBISItemData& item = *m.Items[0];
  EXPECT_EQ(item.LineNr, 42);
  EXPECT_TRUE(item.IsTableExpansion);
  EXPECT_FALSE(item.IsAmpersAndExpansion);
  EXPECT_EQ(item.Values.GetValue(u'E'), TValue::Range(0, 63));
  EXPECT_EQ(item.Texts, (std::vector<std::string>{"Energy", "$2"}));
  EXPECT_EQ(item.InterfaceClasses, TValue::Single(3));
  EXPECT_FALSE(item.AltInterfaceClasses);
  ASSERT_TRUE(m.Tables[2]);
  EXPECT_EQ(m.Tables[2]->Column, u'E');
  ASSERT_NE(m.Variables.Find("RATE"), nullptr);
  EXPECT_EQ(*m.Variables.Find("RATE"), TValue::Range(0, 63));
  EXPECT_EQ(db->GetOBISText({1, 0, 1, 8, 0, 255}), "Energy total");
  EXPECT_EQ(db->GetOBISText({1, 0, 1, 8, 1, 255}), "Energy tariff 1");
  // Writing gives back the same bytes.
  EXPECT_EQ(Hex(db->SaveToStream()), Hex(plain));
}

TEST(OBISStream, LineBreaksAndCharacters) {
  std::string s = Int32(9) + Utf16("a\rb\nc\r\n") + std::string("\xB2\x00", 2) + Utf16("\r");
  s += std::string(10, '\0');
  const auto db = TOBISData::CreateFromStream(s);
  EXPECT_EQ(db->FAllWords, (std::vector<std::string>{"a", "b", "c", "\xC2\xB2"}));
  // Characters beyond Latin-1 and beyond the 16-bit plane travel both ways.
  TOBISData data;
  data.FAllWords = {"I\xC2\xB2h", "m\xC2\xB3", "\xE2\x88\x91", "\xF0\x9F\x94\x8C"};
  EXPECT_EQ(TOBISData::CreateFromStream(data.SaveToStream())->FAllWords, data.FAllWords);
  // An unpaired surrogate becomes the replacement character.
  const std::string lone = Int32(1) + std::string("\x00\xD8", 2) + std::string(10, '\0');
  EXPECT_EQ(TOBISData::CreateFromStream(lone)->FAllWords, (std::vector<std::string>{"\xEF\xBF\xBD"}));
}

TEST(OBISStream, EveryTruncationIsRejected) {
  const std::string plain = HandMadeStream();
  for (size_t n = 0; n < plain.size(); ++n) {
    const std::string cut = plain.substr(0, n);
    EXPECT_THROW(TOBISData::CreateFromStream(cut), EOBISStreamError) << n;
  }
}

TEST(OBISStream, DamagedStreamsAreRejected) {
  const std::string plain = HandMadeStream();
  const size_t medium = 4 + 2 * 16 + 1;           // the mark of medium 1
  const size_t item = medium + 1 + 4;             // the first item
  const size_t values = item + 6;                 // its value of group A
  const size_t tables = values + 6 * 36 + 4 + 2 * 12 + 1 + 36 + 2;  // the table set
  struct Case {
    const char* Name;
    size_t Offset;
    std::string Bytes;
    const char* Message;
  } const cases[] = {
      {"medium without items", medium + 1, Int32(0), "medium without items"},
      {"negative item count", medium + 1, Int32(-1), "negative item count -1"},
      {"huge item count", medium + 1, Int32(0x7FFFFFFF), "item count 2147483647 exceeds the data"},
      {"huge word list", 0, Int32(0x40000000), "truncated word list"},
      {"mark not boolean", item + 4, "\x02", "table expansion mark is 2, not 0 or 1"},
      {"unknown value kind", values, "\x04", "pattern value has kind 4"},
      {"table set outside 0..9", tables, "\x01", "table set names table 0"},
      {"table column outside A..F", tables + 32, "G", "table column 71 is no value group"},
  };
  for (const Case& c : cases) {
    std::string damaged = plain;
    damaged.replace(c.Offset, c.Bytes.size(), c.Bytes);
    EXPECT_THAT([&] { TOBISData::CreateFromStream(damaged); },
                testing::ThrowsMessage<EOBISStreamError>(
                    testing::StartsWith(std::string("OBIS database: ") + c.Message + " at byte ")))
        << c.Name;
  }
  // Media marks other than 0 are "present"; more bytes after the last medium are ignored.
  EXPECT_NO_THROW(TOBISData::CreateFromStream(plain + std::string(7, '\0')));
}

TEST(OBISStream, AnyDamagedByteGivesAnErrorOrAUsableDatabase) {
  const std::string plain = HandMadeStream();
  for (size_t offset = 0; offset < plain.size(); ++offset)
    for (char value : {'\x00', '\x01', '\x7F', '\x80', '\xFF'}) {
      std::string damaged = plain;
      damaged[offset] = value;
      std::unique_ptr<TOBISData> db;
      try {
        db = TOBISData::CreateFromStream(damaged);
      } catch (const EOBISStreamError&) {
        continue;
      }
      // What loads must answer every lookup with a text or a general error.
      for (const TOBISCode& code : {TOBISCode{1, 0, 1, 8, 0, 255}, TOBISCode{1, 0, 1, 8, 1, 255},
                                    TOBISCode{1, 0, 1, 8, 63, 255}, TOBISCode{0, 0, 1, 0, 0, 255}}) {
        try {
          db->GetOBISText(code);
        } catch (const EGeneralError&) {
        }
      }
    }
}

TEST(OBISCipher, ChainedBlocks) {
  // A zero plain text shows the chaining: the first block is the key, the
  // second the key XOR the first, and so on.
  const std::string key(reinterpret_cast<const char*>(kOBISDatabaseKey.data()), 8);
  EXPECT_EQ(Hex(OBISEncipher(std::string(24, '\0'))), Hex(key + std::string(8, '\0') + key));
  // Padding to whole blocks with zero bytes.
  EXPECT_EQ(OBISEncipher("").size(), 0u);
  EXPECT_EQ(OBISEncipher("x").size(), 8u);
  EXPECT_EQ(OBISEncipher(std::string(9, 'x')).size(), 16u);
  const std::string text = "The quick brown fox jumps over the lazy dog";
  PduStr padded = text;
  padded.resize(48, '\0');
  const PduStr ciphered = OBISEncipher(text);
  EXPECT_NE(ciphered.substr(0, text.size()), text);
  EXPECT_EQ(OBISDecipher(ciphered), padded);
  // Each plain block depends on its ciphered block and the one before only.
  PduStr damaged = ciphered;
  damaged[9] = static_cast<char>(damaged[9] ^ 0x40);
  const PduStr back = OBISDecipher(damaged);
  EXPECT_EQ(back.substr(0, 8), padded.substr(0, 8));
  EXPECT_NE(back.substr(8, 16), padded.substr(8, 16));
  EXPECT_EQ(back.substr(24), padded.substr(24));
  EXPECT_THROW(OBISDecipher(ciphered.substr(0, 47)), EOBISStreamError);
  // A whole database through the resource form.
  const auto db = TOBISData::CreateFromCipheredStream(OBISEncipher(HandMadeStream()));
  EXPECT_EQ(db->GetOBISText({1, 0, 1, 8, 1, 255}), "Energy tariff 1");
}
