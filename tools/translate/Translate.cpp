#include "tools/translate/Translate.h"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "xmlpdu/Make.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

namespace {

// Hex text may be laid out freely: every kind of white space between the
// digits is passed over. Pairs are read in one pass, with the errors of
// TMisc::HexStrToByteStr (a bad digit when its pair is complete, a lone
// digit at the end).
// Value of a hex digit, 16 for anything else.
constexpr std::array<uint8_t, 256> kHexValue = [] {
  std::array<uint8_t, 256> t{};
  t.fill(16);
  for (int i = 0; i < 10; ++i) t[static_cast<size_t>('0' + i)] = static_cast<uint8_t>(i);
  for (int i = 0; i < 6; ++i) {
    t[static_cast<size_t>('A' + i)] = static_cast<uint8_t>(10 + i);
    t[static_cast<size_t>('a' + i)] = static_cast<uint8_t>(10 + i);
  }
  return t;
}();

PduStr HexInputToBytes(std::string_view input) {
  PduStr bytes(input.size() / 2, '\0');
  size_t n = 0;
  char high = 0;
  bool haveHigh = false;
  for (char c : input) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (!haveHigh) {
      high = c;
      haveHigh = true;
      continue;
    }
    const uint8_t hi = kHexValue[static_cast<uint8_t>(high)], lo = kHexValue[static_cast<uint8_t>(c)];
    bytes[n++] = static_cast<char>(hi < 16 && lo < 16 ? hi * 16 + lo : TMisc::H2(high, c));  // H2 says what is wrong
    haveHigh = false;
  }
  if (haveHigh) RaiseGeneral("HexStrToByteStr: Hex-character missing");
  bytes.resize(n);
  return bytes;
}

// A capture pasted with bytes of the next frame is a mistake worth saying.
void CheckNothingFollows(bool data, const TStringWrapper& reader) {
  if (reader.GetRemainingBytes() > 0)
    RaiseGeneral(Format("%d trailing bytes after the %s", reader.GetRemainingBytes(), data ? "value" : "APDU"));
}

// The reader takes the bytes over: no copy of a large capture.
std::string DecodeToXml(bool data, PduStr bytes) {
  TStringWrapper reader(std::move(bytes));
  std::string xml = data ? TMake::DataXmlFromReader(reader) : TMake::COSEMPduXmlFromReader(reader);
  CheckNothingFollows(data, reader);
  return xml;
}

std::unique_ptr<TCOSEMPduBase> Parse(bool data, std::string_view xml) {
  if (data) return TMake::DataFromXml(xml);
  return TMake::COSEMPduFromXml(xml);
}

std::string WithFinalLineBreak(std::string s) {
  if (s.empty() || s.back() != '\n') s += '\n';
  return s;
}

struct TSample {
  const char* Title;
  const char* Hex;
};

// Captures from meters and clients in the field (logical-name referencing,
// no security), chosen to show each kind of APDU once.
const TSample kSamples[] = {
    {"Association request (AARQ), logical names, no authentication",
     "60 1D A1 09 06 07 60 85 74 05 08 01 01 BE 10 04 0E 01 00 00 00 06 5F 1F 04 00 00 7E 1F 04 B0"},
    {"Association response (AARE), accepted",
     "61 29 A1 09 06 07 60 85 74 05 08 01 01 A2 03 02 01 00 A3 05 A1 03 02 01 00 BE 10 04 0E 08 00 06 5F 1F 04 00 00 "
     "50 1F 01 F4 00 07"},
    {"Get request: clock time (class 8, 0.0.1.0.0.255, attribute 2)", "C0 01 C1 00 08 00 00 01 00 00 FF 02 00"},
    {"Get response: register scaler and unit (structure of -3 and Wh)", "C4 01 C1 00 02 02 0F FD 16 1E"},
    {"Release request, normal", "62 03 80 01 00"},
};

}  // namespace

std::string Translate(TTranslateMode mode, bool data, std::string_view input) {
  switch (mode) {
    case TTranslateMode::tmToXml:
      return WithFinalLineBreak(DecodeToXml(data, HexInputToBytes(input)));
    case TTranslateMode::tmToHex:
      return TMisc::ByteStrToSpacedHexStr(data ? TMake::DataBytesFromXml(input) : TMake::COSEMPduBytesFromXml(input)) +
             "\n";
    case TTranslateMode::tmClean:
      return WithFinalLineBreak(Parse(data, input)->ToXMLString());
    case TTranslateMode::tmDemo:
      return DemoText();
    case TTranslateMode::tmNone:
      break;
  }
  RaiseGeneral("No conversion selected");
}

void TranslateToXmlPieces(bool data, std::string_view input, const std::function<void(std::string_view)>& sink,
                          size_t piece) {
  TStringWrapper reader(HexInputToBytes(input));
  char last = 0;
  auto pass = [&](std::string_view text) {
    last = text.back();
    sink(text);
  };
  if (data)
    TMake::DataXmlPiecesFromReader(reader, pass, piece);
  else
    TMake::COSEMPduXmlPiecesFromReader(reader, pass, piece);
  CheckNothingFollows(data, reader);
  if (last != '\n') sink("\n");
}

std::string DemoText() {
  std::string out;
  for (const TSample& s : kSamples) {
    out += "== ";
    out += s.Title;
    out += "\nhex:\n  ";
    out += s.Hex;
    out += "\nxml:\n";
    // The XML as the system writes it, with its CR LF line ends turned into
    // plain ones for the terminal.
    std::string xml = Translate(TTranslateMode::tmToXml, false, s.Hex);
    std::erase(xml, '\r');
    out += xml;
    out += "\n";
  }
  return out;
}

std::string DescribeError(const std::exception& e) {
  if (auto* x = dynamic_cast<const EXMLError*>(&e))
    return Format("%s (line %d, position %d)", x->what(), x->PosY, x->PosX);
  return e.what();
}

}  // namespace quillon
