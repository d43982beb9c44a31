#include <gtest/gtest.h>

#include "TestSupport.h"
#include "comm/HDLCFrame.h"

namespace quillon {
namespace {

using test::Hex;

std::string HexOf(const PduStr& s) { return TMisc::ByteStrToHexStr(s); }

TEST(HDLCFcs, CheckValueOfTheDigits) { EXPECT_EQ(HDLCFcs16("123456789"), 0x906E); }

TFrame Frame(TFrameKind kind, TFrameAddress dst, TFrameAddress src, bool pf = true) {
  TFrame f;
  f.SetKind(kind);
  f.DstAddress = dst;
  f.SrcAddress = src;
  f.PollFinal = pf;
  return f;
}

TEST(HDLCFrameEncode, RRFrameBytesLengthAndChecksumPositions) {
  TFrame f = Frame(fkRR, {1, 0, 1}, {16, 0, 1});
  PduStr s = f.GetPDUByteStr();
  ASSERT_EQ(s.size(), 9u);
  EXPECT_EQ(HexOf(s.substr(0, 6)), "7EA007032111");
  uint16_t hcs = HDLCFcs16(s.substr(1, 5));
  EXPECT_EQ(static_cast<uint8_t>(s[6]), hcs & 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(s[7]), hcs >> 8);
  EXPECT_EQ(static_cast<uint8_t>(s[8]), 0x7E);
  EXPECT_EQ(f.HCSIndex(), 6);
  EXPECT_EQ(f.Control(), 0x11);
}

TEST(HDLCFrameEncode, AddressSizes) {
  const std::pair<TFrameAddress, const char*> cases[] = {
      {{16, 0, 1}, "21"},
      {{1, 17, 2}, "0223"},
      {{1, 300, 4}, "00020459"},
      {{1, 300, 3}, "000205"},
      {{1, 300, 5}, "0002045801"},
  };
  for (const auto& [address, bytes] : cases) {
    PduStr out;
    EncodeFrameAddress(address, out);
    EXPECT_EQ(HexOf(out), bytes) << "size " << address.FSize;
  }
  PduStr out;
  EXPECT_THROW(EncodeFrameAddress({1, 0, 6}, out), EAssertionFailed);
}

// Each address byte carries seven bits: a part that does not fit its form is
// refused instead of being masked into the address of another station (the
// physical address 16384 would go out as 0, 65535 as the all-station 3FFF).
TEST(HDLCFrameEncode, AddressPartsMustFitTheirForm) {
  struct Case {
    TFrameAddress dst, src;
    const char* result;  // address bytes, or the error text
  } cases[] = {
      {{127, 0, 1}, {127, 0, 1}, "FFFF"},
      {{127, 127, 2}, {16, 0, 1}, "FEFF21"},
      {{16383, 16383, 4}, {16, 0, 1}, "FEFEFEFF21"},
      {{1, 0, 1}, {128, 0, 1}, "Source upper address (1-byte form): 128 is not in the range 0..127"},
      {{128, 0, 1}, {16, 0, 1}, "Destination upper address (1-byte form): 128 is not in the range 0..127"},
      {{128, 1, 2}, {16, 0, 1}, "Destination upper address (2-byte form): 128 is not in the range 0..127"},
      {{1, 128, 2}, {16, 0, 1}, "Destination lower address (2-byte form): 128 is not in the range 0..127"},
      {{16384, 1, 4}, {16, 0, 1}, "Destination upper address (4-byte form): 16384 is not in the range 0..16383"},
      {{1, 16384, 4}, {16, 0, 1}, "Destination lower address (4-byte form): 16384 is not in the range 0..16383"},
      {{1, 65535, 4}, {16, 0, 1}, "Destination lower address (4-byte form): 65535 is not in the range 0..16383"},
  };
  for (const Case& c : cases) {
    TFrame f = Frame(fkRR, c.dst, c.src);
    std::string result;
    try {
      PduStr s = f.GetPDUByteStr();
      result = HexOf(s.substr(3, c.dst.FSize + c.src.FSize));
    } catch (const EFrame& e) {
      result = e.what();
    }
    EXPECT_EQ(result, c.result) << "dst " << c.dst.FUpper << "/" << c.dst.FLower << " size " << c.dst.FSize;
  }
}

TEST(HDLCFrameEncode, SegmentationBitAndInformationField) {
  TFrame f = Frame(fkI, {1, 0, 1}, {16, 0, 1});
  f.Segmented = true;
  f.SSequenceNr = 2;
  f.RSequenceNr = 5;
  f.FData = "ABC";
  PduStr s = f.GetPDUByteStr();
  EXPECT_EQ(static_cast<uint8_t>(s[1]), 0xA8);
  EXPECT_EQ(static_cast<uint8_t>(s[2]), 12);  // 2 + 1 + 1 + 1 + 2 + 3 + 2
  EXPECT_EQ(f.Control(), 5 << 5 | 2 << 1 | 0x10);
  EXPECT_EQ(f.FCSIndex(), 11);
  TFrame back;
  back.SetFromPduByteStr(s);
  EXPECT_EQ(back.Kind(), fkI);
  EXPECT_TRUE(back.Segmented);
  EXPECT_EQ(back.SSequenceNr, 2);
  EXPECT_EQ(back.RSequenceNr, 5);
  EXPECT_EQ(back.FData, "ABC");
  EXPECT_EQ(back.FrameLength(), 12);
}

TEST(HDLCFrameEncode, RefusesAFrameLongerThanTheLengthField) {
  TFrame f = Frame(fkI, {1, 0, 1}, {16, 0, 1});
  f.FData.assign(MaxInformationFieldLength(1, 1), 'x');
  EXPECT_EQ(f.GetPDUByteStr().size(), 2049u);
  f.FData += 'x';
  EXPECT_THROW(f.GetPDUByteStr(), EFrame);
}

TEST(HDLCFrameDecode, RoundTripOfEveryKindAndAddressSize) {
  const TFrameKind kinds[] = {fkI, fkRNR, fkRR, fkDISC, fkDM, fkFRMR, fkSNRM, fkUA, fkUI};
  const TFrameAddress dsts[] = {{1, 0, 1}, {1, 17, 2}, {300, 1000, 4}};
  for (TFrameKind kind : kinds)
    for (const TFrameAddress& dst : dsts)
      for (bool pf : {false, true}) {
        TFrame f = Frame(kind, dst, {16, 0, 1}, pf);
        f.RSequenceNr = 6;
        f.SSequenceNr = kind == fkI ? 3 : 0;
        if (kind == fkI || kind == fkUI) f.FData = "payload";
        TFrame back;
        back.SetFromPduByteStr(f.GetPDUByteStr());
        EXPECT_EQ(back.Kind(), kind) << FrameKindName(kind);
        EXPECT_EQ(back.PollFinal, pf);
        EXPECT_EQ(back.DstAddress.FUpper, dst.FUpper);
        EXPECT_EQ(back.DstAddress.FLower, dst.FLower);
        EXPECT_EQ(back.DstAddress.FSize, dst.FSize);
        EXPECT_EQ(back.SrcAddress.FUpper, 16);
        EXPECT_EQ(back.FData, f.FData);
        if (kind == fkI || kind == fkRR || kind == fkRNR) EXPECT_EQ(back.RSequenceNr, 6);
        if (kind == fkI) EXPECT_EQ(back.SSequenceNr, 3);
      }
}

// A frame with the given control byte and valid checksums.
PduStr WithControl(uint8_t control) {
  PduStr body = Hex("A007") + "\x03\x21" + static_cast<char>(control);
  uint16_t hcs = HDLCFcs16(body);
  return "\x7E" + body + static_cast<char>(hcs & 0xFF) + static_cast<char>(hcs >> 8) + "\x7E";
}

TEST(HDLCFrameDecode, ControlBytes) {
  struct {
    uint8_t control;
    TFrameKind kind;
    bool pf;
    int nr;
  } cases[] = {{0x73, fkUA, true, -1}, {0x13, fkUI, true, -1}, {0x05, fkRNR, false, 0},
               {0xB1, fkRR, true, 5},  {0x1F, fkDM, true, -1}, {0x53, fkDISC, true, -1},
               {0x93, fkSNRM, true, -1}, {0x97, fkFRMR, true, -1}};
  for (const auto& c : cases) {
    TFrame f;
    f.SetFromPduByteStr(WithControl(c.control));
    EXPECT_EQ(f.Kind(), c.kind) << std::hex << int(c.control);
    EXPECT_EQ(f.PollFinal, c.pf);
    if (c.nr >= 0) EXPECT_EQ(f.RSequenceNr, c.nr);
  }
}

void ExpectDecodeError(const PduStr& s, const std::string& message) {
  SCOPED_TRACE(HexOf(s));
  TFrame f;
  test::ExpectError<EFrame>([&] { f.SetFromPduByteStr(s); }, message);
}

TEST(HDLCFrameDecode, MalformedFramesGiveTheirMessages) {
  PduStr rr = test::MeterFrame(fkRR, true);
  ExpectDecodeError("\x7E\xA0", "Illegal length (2)");
  ExpectDecodeError("\x7F" + rr.substr(1), "Illegal opening flag");
  ExpectDecodeError("\x7E\xB0" + rr.substr(2), "Illegal frame type");
  // length field 12, 13 bytes between the flags
  ExpectDecodeError(Hex("7EA00C") + PduStr(12, '\x01'),
                    "Frame length subfield value (12) does not match frame length (13)");
  ExpectDecodeError(WithControl(0x33), "Illegal kind");
  PduStr noClosing = rr;
  noClosing.back() = '\x00';
  ExpectDecodeError(noClosing, "Illegal closing flag");
  // Neither address ever ends: every byte has bit 0 clear.
  ExpectDecodeError(Hex("7EA008020202020202 7E"), "Illegal address");
  // Addresses that leave no room for control and HCS.
  ExpectDecodeError(Hex("7EA00403217E"), "Illegal length (6)");
}

TEST(HDLCFrameDecode, EverySingleBitErrorIsCaught) {
  TFrame f = Frame(fkI, {1, 0, 1}, {16, 0, 1});
  f.FData = "\xE6\xE7\x00\xC4\x01";
  const PduStr good = f.GetPDUByteStr();
  // Header bytes 3..5 (addresses, control) and the information field.
  for (size_t i = 3; i + 3 < good.size(); ++i) {
    if (i == 6 || i == 7) continue;  // the HCS itself
    for (int bit = 0; bit < 8; ++bit) {
      PduStr bad = good;
      bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
      TFrame g;
      try {
        g.SetFromPduByteStr(bad);
        ADD_FAILURE() << "byte " << i << " bit " << bit;
      } catch (const EFrame& e) {
        std::string expected = i < 6 ? "Illegal HCS" : "Illegal FCS";
        // A flipped address extension bit may change the layout instead.
        if (i < 6 && std::string(e.what()) != expected) continue;
        EXPECT_EQ(e.what(), expected) << "byte " << i << " bit " << bit;
      }
    }
  }
}

struct UACase {
  const char* hex;
  int code;  // 0: valid
};

TEST(UAParameters, StrictCheck) {
  const UACase cases[] = {
      {"", 0},
      {"8180", 0},
      {"81801405020080060200800704000000010804000000 01", 0},
      {"82801405020080", 2},
      {"81", 1},
      {"81811405020080", 3},
      {"8180130502008006020080070400000001080400000001", 4},
      {"818003050300", 5},
      {"818003060300", 6},
      {"818003070300", 7},
      {"818003080300", 8},
      {"81800309010A", 9},
      {"8180030502FF", 1},
  };
  for (const UACase& c : cases) {
    try {
      TUAParameters p = CheckUAParameters(Hex(c.hex));
      EXPECT_EQ(c.code, 0) << c.hex;
      EXPECT_EQ(p.MaxInfoLengthTransmit, 128);
      EXPECT_EQ(p.WindowSizeReceive, 1);
    } catch (const EFrame& e) {
      EXPECT_EQ(e.what(), Format("Wrong encoding of UA frame info (ErrorCode=%d)", c.code)) << c.hex;
    }
  }
  TUAParameters p = CheckUAParameters(Hex("818007 0502 0200 0601 40"));
  EXPECT_EQ(p.MaxInfoLengthTransmit, 512);
  EXPECT_EQ(p.MaxInfoLengthReceive, 64);
  EXPECT_EQ(ReadUAValue("\xFF\xFF", 2), -1);
  EXPECT_EQ(ReadUAValue("\xFF", 1), 255);
}

TEST(HDLCFrameListing, RRAndUAListings) {
  TFrame rr = Frame(fkRR, {1, 0, 1}, {16, 0, 1});
  rr.RSequenceNr = 3;
  std::vector<std::string> lines;
  rr.GetAsStrings(lines, 0);
  EXPECT_EQ(lines, (std::vector<std::string>{"Frame(", "  Kind:RR, Dst:'01', Src:'10', P/F:1, Seg:0,", "  N(R):3", ")"}));

  TFrame ua = Frame(fkUA, {16, 0, 1}, {1, 0x11, 2});
  ua.FData = Hex("8180070502020006010A");
  lines.clear();
  ua.GetAsStrings(lines, 1);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "  Frame(",
                       "    Kind:UA, Dst:'10', Src:'01 11', P/F:1, Seg:0,",
                       "    Info:'8180070502020006010A' size=10( MaxInfoLengthTransmit=512 MaxInfoLengthReceive=10)",
                       "  )"}));

  TFrame i = Frame(fkI, {300, 5, 4}, {16, 0, 1}, false);
  i.FData = "\x01";
  i.SSequenceNr = 4;
  lines.clear();
  i.GetAsStrings(lines, 0);
  EXPECT_EQ(lines[1], "  Kind:I, Dst:'012C 0005', Src:'10', P/F:0, Seg:0,");
  EXPECT_EQ(lines[2], "  N(R):0, N(S):4,");
  EXPECT_EQ(lines[3], "  Info:'01' size=1");

  ua.FData = Hex("8180FF");
  EXPECT_THROW(ua.GetAsStrings(lines, 0), EFrame);
}

}  // namespace
}  // namespace quillon
