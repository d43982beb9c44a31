#include "tools/translate/Frame.h"

#include <cctype>
#include <regex>

#include "client/Push.h"
#include "client/Value.h"
#include "comm/PushFrames.h"
#include "security/GCMCipher.h"
#include "xmlpdu/Catalogue.h"
#include "xmlpdu/Make.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

using nlohmann::json;

namespace {

// A capture is a few frames; a log of a day of them is still well below this.
constexpr size_t kMaxCaptureText = 64u << 20;

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// What stands before the bytes on a line of a reader's log.
const std::regex& LinePrefix() {
  static const std::regex prefix(
      R"(^\s*(?:\[[^\]]*\]|\(?\d{4}[-/.]\d\d[-/.]\d\d(?:[ T_]\d\d:\d\d(?::\d\d(?:[.,]\d+)?)?)?\)?|\d\d:\d\d:\d\d(?:[.,]\d+)?)\s*(?:[:>|-]\s*)?)");
  return prefix;
}

}  // namespace

std::string CaptureBytes(std::string_view text) {
  if (text.size() > kMaxCaptureText) RaiseGeneral(Format("capture longer than %zu bytes of text", kMaxCaptureText));
  std::string bytes;
  size_t lineStart = 0;
  int lineNumber = 0;
  while (lineStart <= text.size()) {
    const size_t end = std::min(text.find('\n', lineStart), text.size());
    std::string line(text.substr(lineStart, end - lineStart));
    ++lineNumber;
    lineStart = end + 1;
    // Time stamps (more than one: a date and a time as two bracketed parts),
    // looked for in the line's first characters only: the matcher recurses
    // as deep as the text it is given is long.
    for (;;) {
      const std::string head = line.substr(0, 80);
      std::smatch m;
      if (!std::regex_search(head, m, LinePrefix()) || m.length(0) == 0) break;
      line.erase(0, static_cast<size_t>(m.length(0)));
    }
    size_t at = 0;
    bool first = true;
    while (at < line.size()) {
      while (at < line.size() && (std::isspace(static_cast<unsigned char>(line[at])) || line[at] == ',')) ++at;
      if (at >= line.size()) break;
      size_t stop = at;
      while (stop < line.size() && !std::isspace(static_cast<unsigned char>(line[stop])) && line[stop] != ',') ++stop;
      std::string token = line.substr(at, stop - at);
      at = stop;
      // An offset at the start of a line ("0010:") is no data.
      if (first && token.size() >= 2 && token.back() == ':' &&
          std::all_of(token.begin(), token.end() - 1, IsHexDigit)) {
        first = false;
        continue;
      }
      first = false;
      if (token.size() > 2 && (token.compare(0, 2, "0x") == 0 || token.compare(0, 2, "0X") == 0)) token.erase(0, 2);
      if (token.empty() || token.size() % 2 != 0 || !std::all_of(token.begin(), token.end(), IsHexDigit)) {
        if (token.size() > 40) token = token.substr(0, 40) + "...";
        RaiseGeneral(Format("line %d: \"%s\" is neither hex nor a time stamp", lineNumber, token.c_str()));
      }
      bytes += TMisc::HexStrToByteStr(token);
    }
    if (end == text.size()) break;
  }
  if (bytes.empty()) RaiseGeneral("the capture holds no bytes");
  return bytes;
}

namespace {

class TFrameTranslator {
public:
  TFrameTranslator(const TFrameKeys& keys, TFrameReport& report) : FKeys(keys), FReport(report) {}

  void Message(const std::string& apdu, const std::string& transport) {
    if (!apdu.empty() && static_cast<uint8_t>(apdu[0]) == client::kGeneralBlockTransferTag) {
      std::optional<std::string> whole;
      try {
        whole = FBlocks.Add(apdu, client::TBlockJoiner::TClock::time_point{});
      } catch (const std::exception& e) {
        FBlockCount = 0;
        FReport.Errors.push_back(e.what());
        return;
      }
      ++FBlockCount;
      if (!whole) return;
      const size_t blocks = FBlockCount;
      FBlockCount = 0;
      return Decoded(*whole, transport + Format("; general-block-transfer, %zu blocks joined", blocks));
    }
    Decoded(apdu, transport);
  }

  void Finish() {
    if (FBlocks.Pending())
      FReport.Errors.push_back(Format("the capture ends inside a general-block-transfer series (%zu blocks, %zu bytes)",
                                      FBlockCount, FBlocks.Held()));
  }

private:
  // The keys of a system title: a meter of --keys that has it, else --ek/--ak.
  bool KeysOf(const std::string& title, std::string& ek, std::string& ak) const {
    for (const auto& m : FKeys.Meters)
      if (!title.empty() && m.Profile.ServerSystemTitle == title) {
        ek = m.Profile.EK;
        ak = m.Profile.AK;
        return true;
      }
    ek = FKeys.EK;
    ak = FKeys.AK;
    return !ek.empty();
  }

  void Decoded(const std::string& apdu, std::string how) {
    ++FNumber;
    std::string plain = apdu;
    try {
      const uint8_t tag = apdu.empty() ? 0 : static_cast<uint8_t>(apdu[0]);
      if (tag == 0xDB || tag == 0xDC) {
        const auto pdu = TMake::WholeCOSEMPduFromPdu(apdu);
        std::string title, content;
        if (const auto* g = dynamic_cast<const T_GeneralGloCiphering*>(pdu->Value.get())) {
          title = g->FSystemTitle()->Value;
          content = g->FCipheredService()->Value;
        } else if (const auto* d = dynamic_cast<const T_GeneralDedCiphering*>(pdu->Value.get())) {
          title = d->FSystemTitle()->Value;
          content = d->FCipheredService()->Value;
        }
        how += Format("; %s, system title %s", tag == 0xDB ? "general-glo-ciphering" : "general-ded-ciphering",
                      TMisc::ByteStrToHexStr(title).c_str());
        if (!content.empty()) how += Format(", security control %02X", static_cast<uint8_t>(content[0]));
        std::string ek, ak;
        if (!KeysOf(title, ek, ak)) {
          how += "; not deciphered (no key: --ek/--ak or --keys)";
        } else {
          TSecurityControl sc;
          uint32_t counter = 0;
          PduStr out;
          try {
            TGCMAndCompression::DecryptAndDecompress(title, content, std::string(), ek, ak, sc, counter, out,
                                                     [](const std::string&) {});
          } catch (const std::exception& e) {
            RaiseGeneral(Format("cannot decipher (%s)", e.what()));
          }
          how += Format(", invocation counter %u; deciphered", counter);
          plain = std::move(out);
        }
      }
      if (client::LooksLikeTelegram(plain)) {
        // A text telegram ciphered as an APDU would be.
        FReport.Out += Format("== message %zu: %s; a text telegram\n", FNumber, how.c_str());
        FReport.Out += plain + (plain.empty() || plain.back() != '\n' ? "\n" : "");
        FReport.Out += "values:\n" + client::TelegramJson(plain).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
        ++FReport.Messages;
        return;
      }
      const auto pdu = TMake::WholeCOSEMPduFromPdu(plain);
      std::string xml = pdu->ToXMLString();
      std::erase(xml, '\r');
      FReport.Out += Format("== message %zu: %s\n", FNumber, how.c_str());
      FReport.Out += xml;
      if (const auto* n = dynamic_cast<const T_DataNotification*>(pdu->Value.get())) Values(*n);
      ++FReport.Messages;
    } catch (const std::exception& e) {
      FReport.Errors.push_back(Format("message %zu (%s): %s; bytes %s", FNumber, how.c_str(), e.what(),
                                      TMisc::ByteStrToHexStr(plain).c_str()));
    }
  }

  void Values(const T_DataNotification& n) {
    json out = json::object();
    if (!n.FDateTime()->Value.empty()) {
      const auto dt = client::DecodeDateTime(n.FDateTime()->Value);
      out["time"] = dt ? client::DateTimeToIso(*dt) : TMisc::ByteStrToHexStr(n.FDateTime()->Value);
    }
    const T_Data& d = *n.FNotificationBody()->FDataValue();
    if (!d.Value) return;
    const client::TValue body = client::ParseDataXml(d.Value->ToXMLString());
    if (auto named = client::SelfNamedValues(body)) out["values"] = std::move(*named);
    else out["values"] = client::ValueToJson(body);
    FReport.Out += "values:\n" + out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  }

  const TFrameKeys& FKeys;
  TFrameReport& FReport;
  client::TBlockJoiner FBlocks;
  size_t FBlockCount = 0;
  size_t FNumber = 0;
};

}  // namespace

TFrameReport TranslateFrames(std::string_view capture, const TFrameKeys& keys) {
  TFrameReport report;
  const std::string bytes = CaptureBytes(capture);
  TFrameTranslator t(keys, report);
  const uint8_t first = static_cast<uint8_t>(bytes[0]);
  auto onError = [&](const std::string& e) { report.Errors.push_back(e); };
  if (first == 0x7E || first == 0x68) {
    const std::string transport = first == 0x7E ? "HDLC" : "M-Bus";
    std::unique_ptr<TPushFramer> framer = MakePushFramer(first == 0x7E ? "hdlc" : "mbus");
    framer->Feed(bytes, [&](const std::string& m) { t.Message(m, transport); }, onError);
    if (framer->Held() != 0) report.Errors.push_back(Format("%zu bytes at the end are no whole frame", framer->Held()));
  } else if (bytes.size() >= 8 && first == 0x00 && bytes[1] == 0x01) {
    // DLMS wrapper frames: version 1, two ports, the length.
    size_t at = 0;
    while (bytes.size() - at >= 8) {
      const size_t len = static_cast<uint8_t>(bytes[at + 6]) * 256u + static_cast<uint8_t>(bytes[at + 7]);
      if (bytes[at] != 0 || bytes[at + 1] != 1 || bytes.size() - at - 8 < len) break;
      t.Message(bytes.substr(at + 8, len), "DLMS wrapper");
      at += 8 + len;
    }
    if (at != bytes.size()) report.Errors.push_back(Format("%zu bytes at the end are no whole wrapper frame", bytes.size() - at));
  } else {
    // An APDU alone, perhaps after its LLC header.
    std::string apdu = bytes;
    if (apdu.size() >= 3 && apdu[0] == '\xE6' && (apdu[1] == '\xE7' || apdu[1] == '\xE6') && apdu[2] == '\0') apdu.erase(0, 3);
    t.Message(apdu, "APDU");
  }
  t.Finish();
  return report;
}

}  // namespace quillon
