// What meters in the field really push, fed to the listener as each came
// (HDLC frames, wrapper frames): the captures in tests/data/captures, with
// what their sources state about them. And the rules behind them, on
// messages made by hand: the whole APDU or nothing, block series, lists
// that name their values, what could not be decoded kept as bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "client/Batch.h"
#include "client/Push.h"
#include "client/SqliteStore.h"
#include "comm/PushFrames.h"
#include "tools/cli/Listen.h"
#include "tools/meter-sim/SimFleet.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using namespace quillon::client;
using nlohmann::json;

namespace {

std::map<std::string, json> Captures() {
  std::map<std::string, json> out;
  std::ifstream in(std::string(QUILLON_SOURCE_DIR) + "/tests/data/captures/real-meters.jsonl");
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) {
      json c = json::parse(line);
      out[c["id"].get<std::string>()] = c;
    }
  return out;
}

// The meters whose keys the sources published, by their system titles.
std::vector<TFleetMeter> CaptureMeters() {
  return MetersOfCsv(
      "name,address,server-system-title,ek,ak\r\n"
      "e570,10.9.9.1:4059,4C475A6774206295,101112131415161718191A1B1C1D1E1F,\r\n"
      "ma309,10.9.9.2:4059,4B464D1010000023,101112131415161718191A1B1C1D1E1F,\r\n"
      "burgenland,10.9.9.3:4059,4C475A6772A9A111,34743677397A24432646294A404E6352,C0C1C2C3C4C5C6C7C8C9CACBCCCDCECF\r\n"
      "wrapper-meter,10.9.9.4:4059,2F19229199164103,4D5944554D4D59474C4F42414C4B4559,"
      "4D5944554D4D59474C4F42414C4B4559\r\n");
}

struct TFed {
  std::vector<cli::TPushed> Pushed;
  std::vector<std::string> Errors;
  std::vector<cli::TUndecoded> Undecoded;
};

// The bytes through the listener as they came over one connection (in
// chunks of `chunk` bytes, as a serial line or TCP hands them over).
TFed Feed(cli::TPushDecoder& decoder, const std::string& transport, const PduStr& bytes, size_t chunk = 1 << 20) {
  TFed fed;
  cli::TPushListener listener(decoder);
  listener.OnPushed = [&](const cli::TPushed& p) { fed.Pushed.push_back(p); };
  listener.OnError = [&](const std::string& e) { fed.Errors.push_back(e); };
  listener.OnUndecoded = [&](const cli::TUndecoded& u) { fed.Undecoded.push_back(u); };
  cli::TPushSender s;
  s.Peer = "10.1.1.1:5000/" + transport;
  PduStr stream = bytes;
  if (transport == "hdlc" || transport == "mbus") {
    s.Framer = MakePushFramer(transport);
  } else if (transport == "raw-apdu") {
    // An APDU alone goes in a wrapper frame; its LLC header, when it has one, is no part of it.
    if (stream.compare(0, 3, "\xE6\xE7\x00", 3) == 0) stream.erase(0, 3);
    stream = PduStr("\x00\x01\x00\x01\x00\x01", 6) + static_cast<char>(stream.size() >> 8) +
             static_cast<char>(stream.size() & 0xFF) + stream;
  }
  for (size_t at = 0; at < stream.size(); at += chunk) listener.Received(s, std::string_view(stream).substr(at, chunk));
  listener.FlushLines();
  return fed;
}

const json& Values(const cli::TPushed& p) { return p.Body.at("values"); }

}  // namespace

// Every capture whose transport the listener takes, each in one piece and
// byte by byte: what its source states comes out, and the frame the source
// says is bad is refused.
TEST(RealMeters, EveryCaptureDecodesToWhatItsSourceStates) {
  const auto captures = Captures();
  ASSERT_GE(captures.size(), 11u);
  const auto meters = CaptureMeters();
  for (const auto& [id, c] : captures) {
    const std::string transport = c["transport"];
    for (const size_t chunk : {size_t{1} << 20, size_t{1}}) {
      SCOPED_TRACE(id + (chunk == 1 ? ", byte by byte" : ""));
      cli::TPushDecoder decoder(meters, {});
      const TFed fed = Feed(decoder, transport, TMisc::HexStrToByteStr(c["hex"].get<std::string>()), chunk);
      const json& expect = c["expect"];
      if (expect.contains("valid")) {
        EXPECT_TRUE(fed.Pushed.empty());
        ASSERT_EQ(fed.Errors.size(), 1u);
        EXPECT_EQ(fed.Errors[0], "10.1.1.1:5000/hdlc: HDLC frame dropped (Illegal FCS)");
        continue;
      }
      if (id == "raw-get-response-with-list-iskra-1") {
        // No push: refused, and kept as it came.
        EXPECT_TRUE(fed.Pushed.empty());
        ASSERT_EQ(fed.Undecoded.size(), 1u);
        EXPECT_EQ(fed.Undecoded[0].Reason, "tag 196: expected a data notification, event notification or information report");
        EXPECT_EQ(TMisc::ByteStrToHexStr(fed.Undecoded[0].Bytes), TMisc::ByteStrToHexStr(TMisc::HexStrToByteStr(c["hex"].get<std::string>())));
        continue;
      }
      ASSERT_EQ(fed.Pushed.size(), 1u) << (fed.Errors.empty() ? "" : fed.Errors[0]);
      EXPECT_TRUE(fed.Errors.empty()) << fed.Errors[0];
      const cli::TPushed& p = fed.Pushed[0];
      EXPECT_EQ(p.Kind, "data-notification");
      if (expect.contains("timestamp")) {
        std::string t = expect["timestamp"];
        // This source gives the time in UTC digits with the meter's offset
        // after them; the meter sent 06:19:45 local time, two hours ahead of
        // UTC (deviation -120), which is the same moment.
        if (id == "iskra-am550-ch-segmented-2020") t = "2020-08-15T06:19:45+02:00";
        // The time of the message, or (as some sources take it) of the clock in the list.
        const json& v = Values(p);
        const std::string clock =
            v.is_object() && v.contains("0.0.1.0.0.255") ? v["0.0.1.0.0.255"]["value"].get<std::string>() : "";
        EXPECT_TRUE(p.Body.value("time", "").substr(0, t.size()) == t || clock.substr(0, t.size()) == t)
            << t << " in " << p.Body.dump();
      }
      // Every value the source states: under its OBIS code when the list
      // names it, else among the values as they came.
      for (const auto& [key, want] : expect.items()) {
        if (key.find('.') == std::string::npos) continue;
        if (Values(p).is_array()) {
          EXPECT_NE(std::find(Values(p).begin(), Values(p).end(), want), Values(p).end()) << key << " in " << Values(p).dump();
          continue;
        }
        ASSERT_TRUE(Values(p).contains(key)) << key << " in " << Values(p).dump();
        EXPECT_EQ(Values(p)[key]["value"], want) << key;
      }
      if (expect.contains("list_version")) EXPECT_EQ(Values(p)["list-version"]["value"], expect["list_version"]);
      if (c.contains("system_title")) {
        EXPECT_FALSE(p.Unknown);
        EXPECT_FALSE(p.Meter.empty());
      }
    }
  }
}

// The shapes behind the captures, checked on the decoded values.
TEST(RealMeters, ListsThatNameTheirValuesAreKeyedByObisAndOthersStayAsTheyCame) {
  const auto captures = Captures();
  const auto meters = CaptureMeters();
  auto decode = [&](const std::string& id) {
    cli::TPushDecoder decoder(meters, {});
    const json& c = captures.at(id);
    TFed fed = Feed(decoder, c["transport"], TMisc::HexStrToByteStr(c["hex"].get<std::string>()));
    EXPECT_EQ(fed.Pushed.size(), 1u) << id << (fed.Errors.empty() ? "" : ": " + fed.Errors[0]);
    return fed.Pushed.empty() ? cli::TPushed{} : fed.Pushed[0];
  };
  // {OBIS, value, {scaler, unit}}: the unit and the scaled value too.
  const cli::TPushed aidon = decode("aidon-no-list1-amshan-7d");
  EXPECT_EQ(Values(aidon), json::parse(R"({"1.0.1.7.0.255": {"value": 1661, "scaler": 0, "unit": "W", "scaled": 1661.0}})"));
  // A date-time sent as tagged Data: the time, and the value after it.
  const cli::TPushed kaifa = decode("kaifa-no-list1-rf-1");
  EXPECT_EQ(kaifa.Body["time"], "2017-09-12T23:18:42");
  EXPECT_EQ(Values(kaifa), json::array({1320}));
  // The push object list first: its 15 other entries name the values; the
  // logical device name among them is the meter's name.
  const cli::TPushed e450 = decode("lg-e450-ch-gbt-plain-2021");
  EXPECT_EQ(Values(e450).size(), 15u) << Values(e450).dump();
  EXPECT_EQ(Values(e450)["0.0.42.0.0.255"]["value"], TMisc::ByteStrToHexStr("LGZ1030655933512"));
  EXPECT_EQ(e450.Meter, "LGZ1030655933512");
  EXPECT_TRUE(e450.Unknown);
  // Ciphered in five blocks, deciphered with the meter's key, named by its list.
  const cli::TPushed e570 = decode("lg-e570-ch-gbt-ciphered");
  EXPECT_EQ(e570.Meter, "e570");
  for (const char* obis : {"1.0.1.7.0.255", "1.0.2.7.0.255", "1.1.1.8.0.255", "1.1.2.8.0.255", "1.0.31.7.0.255", "1.0.13.7.0.255"})
    EXPECT_TRUE(Values(e570).contains(obis)) << obis << " in " << Values(e570).dump();
  // A list that names nothing stays as it came: 14 values.
  const cli::TPushed burgenland = decode("lg-e450-at-burgenland-ciphered-1");
  EXPECT_EQ(burgenland.Meter, "burgenland");
  ASSERT_TRUE(Values(burgenland).is_array());
  EXPECT_EQ(Values(burgenland).size(), 14u);
  EXPECT_NE(Values(burgenland).dump().find(TMisc::ByteStrToHexStr("30137181")), std::string::npos);
}

// What gateways and P1 ports make of a push: the HDLC LLC header kept in a
// wrapper frame, and a text telegram ciphered where a data notification
// would be (its values by OBIS, its checksum checked).
TEST(RealMeters, AnLlcHeaderInAWrapperFrameAndACipheredTelegram) {
  const auto meters = CaptureMeters();
  const json wrapper = Captures().at("kaifa-no-list1-rf-1");
  // The Kaifa notification after its LLC header, in a wrapper frame.
  const PduStr hdlc = TMisc::HexStrToByteStr(wrapper["hex"].get<std::string>());
  const PduStr llcAndApdu = hdlc.substr(9, hdlc.size() - 9 - 3);
  ASSERT_EQ(llcAndApdu.substr(0, 3), PduStr("\xE6\xE7\x00", 3));
  cli::TPushDecoder d1(meters, {});
  const TFed fed = Feed(d1, "raw-apdu", llcAndApdu);
  ASSERT_EQ(fed.Pushed.size(), 1u) << (fed.Errors.empty() ? "" : fed.Errors[0]);
  EXPECT_EQ(fed.Pushed[0].Body["values"], json::array({1320}));

  const TFleetMeter& m = meters[2];  // authenticated and encrypted
  const std::string telegram =
      "/SAG5SMARTY\r\n\r\n1-0:1.8.0(001234.567*kWh)\r\n1-0:1.7.0(00.352*kW)\r\n0-0:96.1.1(53414731)\r\n"
      "0-1:24.2.1(190123115500W)(00123.456*m3)\r\n!";
  auto ciphered = [&](const std::string& text, uint32_t counter) {
    return sim::GloCiphered(text, m.Profile.ServerSystemTitle, m.Profile.EK, m.Profile.AK, 0x30, counter);
  };
  cli::TPushDecoder d2(meters, {});
  std::string title;
  // The CRC of this telegram, as the meter writes it after "!".
  const cli::TPushed p = d2.Decode(ciphered(telegram + "D02D\r\n", 7), title);
  EXPECT_EQ(p.Meter, "burgenland");
  EXPECT_EQ(p.Kind, "telegram");
  EXPECT_EQ(p.InvocationCounter, 7);
  EXPECT_EQ(p.Body["values"]["1.0.1.8.0.255"], json::parse(R"({"value": 1234.567, "unit": "kWh"})"));
  EXPECT_EQ(p.Body["values"]["0.1.24.2.1.255"]["time"], "2019-01-23T11:55:00+01:00");
  std::string error;
  try {
    d2.Decode(ciphered(telegram + "0000\r\n", 8), title);
  } catch (const std::exception& e) {
    error = e.what();
  }
  EXPECT_EQ(error.rfind("burgenland: telegram checksum \"0000\" does not match (", 0), 0u) << error;
}

// Blocks are joined once: what a series carries is decoded as it is, so that
// blocks inside blocks (as deep as a sender likes) never nest the listener.
TEST(RealMeters, BlocksInsideBlocksAreNotJoinedAgain) {
  auto block = [](const PduStr& data) {
    PduStr b("\xE0\xC0\x00\x01\x00\x00", 6);
    EncodeVarLengthUnsignedInteger(b, static_cast<int32_t>(data.size()));
    return b + data;
  };
  const PduStr notification = TMisc::HexStrToByteStr("0F400000000002010600000528");
  PduStr nested = notification;
  for (int i = 0; i < 6000; ++i) nested = block(nested);  // within one wrapper frame
  cli::TPushDecoder d(CaptureMeters(), {});
  for (const PduStr& m : {block(notification), block(block(notification)), nested}) {
    ASSERT_LE(m.size(), 65535u);
    const TFed fed = Feed(d, "raw-apdu", m);
    if (m.size() < 100 && m == block(notification)) {
      ASSERT_EQ(fed.Pushed.size(), 1u);
      EXPECT_EQ(fed.Pushed[0].Body["values"], json::array({1320}));
      continue;
    }
    EXPECT_TRUE(fed.Pushed.empty());
    ASSERT_FALSE(fed.Errors.empty());
  }
}
