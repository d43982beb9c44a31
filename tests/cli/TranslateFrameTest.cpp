// quillon-translate --frame on what engineers hold: the real captures as
// readers log them, keys given or not, and captures that are broken.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "tools/translate/Frame.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using nlohmann::json;

namespace {

json Capture(const std::string& id) {
  std::ifstream in(std::string(QUILLON_SOURCE_DIR) + "/tests/data/captures/real-meters.jsonl");
  for (std::string line; std::getline(in, line);) {
    json c = json::parse(line);
    if (c["id"] == id) return c;
  }
  ADD_FAILURE() << id;
  return json::object();
}

TFrameKeys KeysOf(const json& c) {
  TFrameKeys k;
  if (c.contains("key_ek")) k.EK = TMisc::HexStrToByteStr(c["key_ek"].get<std::string>());
  if (c.contains("key_ak")) k.AK = TMisc::HexStrToByteStr(c["key_ak"].get<std::string>());
  return k;
}

// The hex as a reader logs it: 16 bytes a line, each after a time stamp.
std::string AsLogged(const std::string& hex) {
  std::string out;
  for (size_t at = 0, line = 0; at < hex.size(); at += 32, ++line) {
    out += "2021-07-06 14:58:" + std::to_string(10 + line % 50) + ".123 ";
    for (size_t i = at; i < std::min(hex.size(), at + 32); i += 2) out += hex.substr(i, 2) + " ";
    out += "\r\n";
  }
  return out;
}

}  // namespace

TEST(TranslateFrame, CapturesAsReadersLogThemComeOutAsXmlAndNamedValues) {
  const struct {
    const char* Id;
    std::vector<std::string> Has;  // in the output
  } cases[] = {
      {"kaifa-no-list1-rf-1", {"== message 1: HDLC\n", "  <DateTime>\n    <OctetString Value=\"07E1090C0217122AFF800000\" />",
                               "\"time\": \"2017-09-12T23:18:42\"", "1320"}},
      {"kamstrup-se-list1-amshan", {"\"list-version\": {\n      \"value\": \"Kamstrup_V0001\"", "\"1.1.1.7.0.255\": {\n      \"value\": 826"}},
      {"lg-e450-ch-gbt-plain-2021", {"HDLC; general-block-transfer, 4 blocks joined\n", "\"1.1.1.8.0.255\""}},
      {"lg-e570-ch-gbt-ciphered",
       {"HDLC; general-block-transfer, 5 blocks joined; general-glo-ciphering, system title 4C475A6774206295, security "
        "control 20, invocation counter ",
        "; deciphered\n<DataNotification>", "\"1.0.13.7.0.255\""}},
      {"kaifa-ma309-at-tinetz-mbus", {"M-Bus; general-glo-ciphering, system title 4B464D1010000023, security control 21", "\"1.0.1.8.0.255\""}},
      {"wrapper-ggc-datanotif-dlmscosem-1", {"DLMS wrapper; general-glo-ciphering", "<DataNotification>"}},
      {"raw-get-response-with-list-iskra-1", {"== message 1: APDU\n<GetResponse>"}},
  };
  for (const auto& c : cases) {
    const json capture = Capture(c.Id);
    const TFrameReport r = TranslateFrames(AsLogged(capture["hex"]), KeysOf(capture));
    EXPECT_EQ(r.Messages, 1u) << c.Id;
    EXPECT_TRUE(r.Errors.empty()) << c.Id << ": " << r.Errors[0];
    for (const auto& h : c.Has) EXPECT_NE(r.Out.find(h), std::string::npos) << c.Id << ": " << h << "\n" << r.Out;
  }
  // Without its key a ciphered message is shown as it came, and says why.
  const json e570 = Capture("lg-e570-ch-gbt-ciphered");
  const TFrameReport noKey = TranslateFrames(e570["hex"].get<std::string>(), TFrameKeys{});
  EXPECT_NE(noKey.Out.find("; not deciphered (no key: --ek/--ak or --keys)\n<GeneralGloCiphering>"), std::string::npos)
      << noKey.Out;
}

TEST(TranslateFrame, BrokenCapturesSayWhatIsWrong) {
  const std::string e450 = Capture("lg-e450-ch-gbt-plain-2021")["hex"];
  // The last of the four frames missing: the series never ends.
  const size_t lastFrame = e450.rfind("7e7ea0");
  const TFrameReport cut = TranslateFrames(e450.substr(0, lastFrame + 2), TFrameKeys{});
  EXPECT_EQ(cut.Messages, 0u);
  ASSERT_EQ(cut.Errors.size(), 1u);
  EXPECT_EQ(cut.Errors[0].rfind("the capture ends inside a general-block-transfer series (3 blocks, ", 0), 0u) << cut.Errors[0];
  const TFrameReport badFcs = TranslateFrames(Capture("kamstrup-no-badfcs-gh175-3")["hex"].get<std::string>(), TFrameKeys{});
  EXPECT_EQ(badFcs.Messages, 0u);
  EXPECT_EQ(badFcs.Errors, std::vector<std::string>{"HDLC frame dropped (Illegal FCS)"});
  // A wrong key: the authentication fails, the bytes are shown.
  TFrameKeys wrong = KeysOf(Capture("wrapper-ggc-datanotif-dlmscosem-1"));
  wrong.AK[0] ^= 1;
  const TFrameReport bad = TranslateFrames(Capture("wrapper-ggc-datanotif-dlmscosem-1")["hex"].get<std::string>(), wrong);
  ASSERT_EQ(bad.Errors.size(), 1u);
  EXPECT_NE(bad.Errors[0].find(": cannot decipher ("), std::string::npos) << bad.Errors[0];
}

TEST(TranslateFrame, HexAsLoggedWithStampsOffsetsAndPrefixes) {
  const struct {
    const char* Text;
    const char* Bytes;  // hex, or the error
  } cases[] = {
      {"7E A0 27\n01 02", "7EA0270102"},
      {"2017-09-12 23:18:43.731 7e a0\r\n2017-09-12 23:18:43.732 27", "7EA027"},
      {"[12:00:01] [rx] 0x7E,0xA0, 0x27", "7EA027"},
      {"23:18:43.731: 7EA027", "7EA027"},
      {"0000: 7E A0 27\n0003: 01", "7EA02701"},
      {"7E A0 2", "line 1: \"2\" is neither hex nor a time stamp"},
      {"7E\nRX: 01", "line 2: \"RX:\" is neither hex nor a time stamp"},
      {"  \n", "the capture holds no bytes"},
  };
  for (const auto& c : cases) {
    std::string got;
    try {
      got = TMisc::ByteStrToHexStr(CaptureBytes(c.Text));
    } catch (const std::exception& e) {
      got = e.what();
    }
    EXPECT_EQ(got, c.Bytes) << c.Text;
  }
}
