// The shipped OBIS description database: it describes the objects that real
// meters carry, and the copy built into the program is the one in the build
// tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "knowledge/OBISData.h"

using namespace quillon;

namespace {

// Logical names from the object lists of electricity, gas, water, heat and
// heat cost allocator meters: abstract objects first, then by medium.
const char* const kMeterCodes[] = {
    "0-0:1.0.0*255", "0-0:40.0.0*255", "0-0:40.0.1*255", "0-0:40.0.2*255", "0-0:40.0.3*255", "0-0:41.0.0*255",
    "0-0:42.0.0*255", "0-0:43.0.0*255", "0-0:43.0.1*255", "0-0:43.0.2*255", "0-0:43.0.3*255",
    "0-0:43.1.0*255", "0-0:43.1.1*255", "0-0:43.1.2*255", "0-0:43.1.3*255", "0-0:44.0.0*255",
    "0-0:10.0.0*255", "0-0:10.0.1*255", "0-0:10.0.100*255", "0-0:10.0.106*255", "0-0:10.0.107*255",
    "0-0:10.0.108*255", "0-0:11.0.0*255", "0-0:12.0.0*255", "0-0:13.0.0*255", "0-0:14.0.0*255",
    "0-0:15.0.0*255", "0-0:15.0.1*255", "0-0:15.0.2*255", "0-0:15.0.4*255", "0-0:16.0.0*255",
    "0-0:16.1.0*255", "0-0:17.0.0*255", "0-0:20.0.0*255", "0-1:20.0.0*255", "0-0:21.0.0*255",
    "0-0:21.0.1*255", "0-0:22.0.0*255", "0-1:22.0.0*255", "0-0:23.0.0*255", "0-0:24.0.0*255",
    "0-1:24.1.0*255", "0-2:24.1.0*255", "0-3:24.1.0*255", "0-4:24.1.0*255", "0-1:24.2.1*255",
    "0-2:24.2.1*255", "0-1:24.3.0*255", "0-1:24.4.0*255", "0-1:24.5.0*255", "0-0:24.6.0*255",
    "0-0:25.0.0*255", "0-0:25.1.0*255", "0-0:25.2.0*255", "0-0:25.3.0*255", "0-0:25.4.0*255",
    "0-0:25.5.0*255", "0-0:25.6.0*255", "0-0:25.7.0*255", "0-0:25.9.0*255", "0-0:25.10.0*255",
    "0-0:2.0.0*255", "0-0:2.1.0*255", "0-0:2.2.0*255", "0-0:26.0.0*255", "0-0:28.2.0*255", "0-0:29.1.0*255",
    "0-0:29.2.0*255", "0-0:0.2.0*255", "0-0:0.2.8*255", "0-0:96.1.0*255", "0-0:96.1.1*255", "0-0:96.1.2*255",
    "0-1:96.1.0*255", "0-2:96.1.0*255", "0-0:96.2.0*255", "0-0:96.2.1*255", "0-0:96.2.5*255",
    "0-0:96.2.13*255", "0-0:96.3.10*255", "0-0:96.5.0*255", "0-0:96.6.0*255", "0-0:96.6.3*255",
    "0-0:96.7.0*255", "0-0:96.7.9*255", "0-0:96.7.21*255", "0-0:96.8.0*255", "0-0:96.9.0*255",
    "0-0:96.10.1*255", "0-0:96.11.0*255", "0-0:96.12.5*255", "0-0:96.13.0*255", "0-0:96.13.1*255",
    "0-0:96.14.0*255", "0-0:96.15.0*255", "0-0:97.97.0*255", "0-0:97.98.0*255", "0-0:97.98.1*255",
    "0-0:97.98.10*255", "0-0:97.98.20*255", "0-0:98.1.0*255", "0-0:99.1.0*255", "0-0:99.98.0*255",
    "0-0:99.98.1*255", "0-0:99.98.2*255", "0-0:99.98.3*255", "0-0:99.98.4*255", "1-0:0.0.0*255",
    "1-0:0.0.1*255", "1-0:0.1.0*255", "1-0:0.1.2*255", "1-0:0.2.0*255", "1-0:0.2.8*255", "1-0:0.3.0*255",
    "1-0:0.3.1*255", "1-0:0.4.2*255", "1-0:0.4.3*255", "1-0:0.6.0*255", "1-0:0.6.1*255", "1-0:0.8.0*255",
    "1-0:0.8.4*255", "1-0:0.9.1*255", "1-0:0.9.2*255", "1-3:0.2.8*255", "1-0:1.8.0*255", "1-0:1.8.1*255",
    "1-0:1.8.2*255", "1-0:1.8.3*255", "1-0:1.8.4*255", "1-0:2.8.0*255", "1-0:2.8.1*255", "1-0:2.8.2*255",
    "1-0:2.8.3*255", "1-0:2.8.4*255", "1-0:3.8.0*255", "1-0:3.8.1*255", "1-0:3.8.2*255", "1-0:4.8.0*255",
    "1-0:4.8.1*255", "1-0:4.8.2*255", "1-0:5.8.0*255", "1-0:6.8.0*255", "1-0:7.8.0*255", "1-0:8.8.0*255",
    "1-0:5.8.1*255", "1-0:8.8.1*255", "1-0:9.8.0*255", "1-0:10.8.0*255", "1-0:15.8.0*255", "1-0:15.8.1*255",
    "1-0:15.8.2*255", "1-0:16.8.0*255", "1-0:17.8.0*255", "1-0:18.8.0*255", "1-0:19.8.0*255",
    "1-0:20.8.0*255", "1-0:21.8.0*255", "1-0:41.8.0*255", "1-0:61.8.0*255", "1-0:22.8.0*255",
    "1-0:42.8.0*255", "1-0:62.8.0*255", "1-0:23.8.0*255", "1-0:43.8.0*255", "1-0:63.8.0*255",
    "1-0:24.8.0*255", "1-0:44.8.0*255", "1-0:64.8.0*255", "1-0:29.8.0*255", "1-0:49.8.0*255",
    "1-0:69.8.0*255", "1-0:35.8.0*255", "1-0:55.8.0*255", "1-0:75.8.0*255", "1-0:1.9.0*255", "1-0:2.9.0*255",
    "1-0:1.29.0*255", "1-0:2.29.0*255", "1-0:3.29.0*255", "1-0:4.29.0*255", "1-0:5.29.0*255",
    "1-0:6.29.0*255", "1-0:7.29.0*255", "1-0:8.29.0*255", "1-0:9.29.0*255", "1-0:10.29.0*255",
    "1-0:1.2.0*255", "1-0:1.4.0*255", "1-0:1.5.0*255", "1-0:1.6.0*255", "1-0:1.6.1*255", "1-0:1.6.2*255",
    "1-0:2.4.0*255", "1-0:2.5.0*255", "1-0:2.6.0*255", "1-0:3.6.0*255", "1-0:4.6.0*255", "1-0:9.6.0*255",
    "1-0:9.4.0*255", "1-0:9.5.0*255", "1-0:1.7.0*255", "1-0:2.7.0*255", "1-0:3.7.0*255", "1-0:4.7.0*255",
    "1-0:9.7.0*255", "1-0:10.7.0*255", "1-0:13.7.0*255", "1-0:14.7.0*255", "1-0:15.7.0*255", "1-0:16.7.0*255",
    "1-0:21.7.0*255", "1-0:22.7.0*255", "1-0:23.7.0*255", "1-0:24.7.0*255", "1-0:29.7.0*255",
    "1-0:30.7.0*255", "1-0:31.7.0*255", "1-0:32.7.0*255", "1-0:33.7.0*255", "1-0:34.7.0*255",
    "1-0:41.7.0*255", "1-0:42.7.0*255", "1-0:43.7.0*255", "1-0:44.7.0*255", "1-0:49.7.0*255",
    "1-0:51.7.0*255", "1-0:52.7.0*255", "1-0:53.7.0*255", "1-0:61.7.0*255", "1-0:62.7.0*255",
    "1-0:63.7.0*255", "1-0:64.7.0*255", "1-0:69.7.0*255", "1-0:71.7.0*255", "1-0:72.7.0*255",
    "1-0:73.7.0*255", "1-0:90.7.0*255", "1-0:91.7.0*255", "1-0:92.7.0*255", "1-0:11.7.0*255",
    "1-0:12.7.0*255", "1-0:81.7.1*255", "1-0:81.7.2*255", "1-0:81.7.4*255", "1-0:81.7.15*255",
    "1-0:81.7.26*255", "1-0:81.7.10*255", "1-0:81.7.21*255", "1-0:81.7.40*255", "1-0:81.7.51*255",
    "1-0:81.7.62*255", "1-0:32.7.124*255", "1-0:52.7.124*255", "1-0:72.7.124*255", "1-0:31.7.124*255",
    "1-0:51.7.124*255", "1-0:71.7.124*255", "1-0:32.7.3*255", "1-0:32.7.5*255", "1-0:31.7.3*255",
    "1-0:12.7.124*255", "1-0:32.32.0*255", "1-0:52.32.0*255", "1-0:72.32.0*255", "1-0:32.36.0*255",
    "1-0:52.36.0*255", "1-0:72.36.0*255", "1-0:32.33.0*255", "1-0:32.37.0*255", "1-0:12.31.0*255",
    "1-0:12.35.0*255", "1-0:12.39.0*255", "1-0:12.43.0*255", "1-0:12.44.0*255", "1-0:32.24.0*255",
    "1-0:52.24.0*255", "1-0:72.24.0*255", "1-0:31.24.0*255", "1-0:32.3.0*255", "1-0:32.6.0*255",
    "1-0:31.6.0*255", "1-0:12.32.0*255", "1-0:12.36.0*255", "1-0:12.40.0*255", "1-0:12.41.0*255",
    "1-0:1.35.0*255", "1-0:1.46.0*255", "1-0:13.5.0*255", "1-0:14.4.0*255", "1-0:99.1.0*255",
    "1-0:99.2.0*255", "1-0:99.97.0*255", "1-0:99.98.0*255", "1-0:98.1.0*255", "1-1:1.8.0*255",
    "1-1:2.8.0*255", "1-2:1.8.0*255", "1-1:1.29.0*255", "1-0:1.8.0*1", "1-0:1.8.0*2", "1-0:1.8.0*12",
    "1-0:1.8.0*101", "1-0:1.8.1*1", "1-0:1.8.2*1", "1-0:2.8.0*1", "1-0:2.8.0*101", "1-0:1.6.0*1",
    "1-0:1.6.0*101", "1-0:1.6.1*1", "1-0:0.1.2*1", "1-0:0.1.2*101", "1-0:98.1.0*1", "1-0:98.1.0*101",
    "1-0:3.8.0*1", "1-0:9.6.0*1", "0-0:98.1.0*1", "7-0:0.0.0*255", "7-0:0.1.0*255", "7-0:1.0.0*255",
    "7-0:2.0.0*255", "7-0:3.0.0*255", "7-0:13.0.0*255", "7-0:23.0.0*255", "7-0:23.0.1*255", "7-0:33.0.0*255",
    "7-1:3.0.0*255", "7-0:41.0.0*255", "7-0:42.0.0*255", "7-0:52.0.0*255", "7-0:53.0.0*255", "7-0:54.0.0*255",
    "7-0:99.1.0*255", "7-0:97.97.0*255", "7-0:96.1.0*255", "8-0:0.0.0*255", "8-0:1.0.0*255", "8-0:2.0.0*255",
    "8-0:3.0.0*255", "8-0:1.2.0*255", "8-0:2.5.0*255", "8-1:1.0.0*255", "8-0:99.1.0*255", "9-0:0.0.0*255",
    "9-0:1.0.0*255", "9-0:2.0.0*255", "9-0:3.0.0*255", "5-0:0.0.0*255", "5-0:1.0.0*255", "5-0:2.0.0*255",
    "5-0:3.0.0*255", "5-0:8.0.0*255", "5-0:9.0.0*255", "5-0:10.0.0*255", "5-0:11.0.0*255", "5-0:12.0.0*255",
    "5-0:99.1.0*255", "6-0:1.0.0*255", "6-0:8.0.0*255", "6-0:10.0.0*255", "6-0:11.0.0*255", "4-0:0.0.0*255",
    "4-0:1.0.0*255", "4-0:2.0.0*255", "4-0:3.0.0*255", "4-0:5.0.0*255", "4-0:7.0.0*255", "5-0:1.3.0*1",
    "4-0:2.3.0*1", "8-0:1.3.0*1", "7-0:3.0.0*1",
};

}  // namespace

TEST(OBISShippedDatabase, DescribesTheObjectsOfRealMeters) {
  const TOBISData& db = EmbeddedOBISData();
  ASSERT_GE(std::size(kMeterCodes), 300u);
  for (const char* code : kMeterCodes) {
    std::string text;
    ASSERT_NO_THROW(text = db.GetOBISTextOfStr(code)) << code;
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find("Not found"), std::string::npos) << code;
    EXPECT_EQ(text.find('$'), std::string::npos) << code << ": " << text;
    EXPECT_EQ(text.find("  "), std::string::npos) << code << ": " << text;
  }
}

TEST(OBISShippedDatabase, Descriptions) {
  struct Case {
    const char* Code;
    const char* Text;
  } const cases[] = {
      {"0-0:1.0.0*255", "Clock"},
      {"0-0:40.0.0*255", "Current association"},
      {"0-0:43.1.1*255", "Invocation counter of security setup 1"},
      {"0-0:20.0.0*255", "IEC local port setup (optical port)"},
      {"0-1:24.2.1*255", "M-Bus value 1, channel 1"},
      {"0-0:25.9.0*255", "Push setup"},
      {"0-0:96.1.0*255", "Device ID 1, manufacturing (serial) number"},
      {"0-0:96.3.10*255", "Disconnect control"},
      {"0-0:96.7.21*255", "Number of power failures in any phase"},
      {"0-0:97.98.10*255", "Alarm filter 1"},
      {"0-0:99.98.0*255", "Standard event log"},
      {"1-0:0.0.0*255", "Electricity ID 1"},
      {"1-0:0.3.3*255", "Meter constant, output pulse, active energy"},
      {"1-0:1.8.0*255", "Active energy import (+A), total"},
      {"1-0:1.8.1*1", "Active energy import (+A), total, tariff 1, previous billing period 1"},
      {"1-0:2.8.0*101", "Active energy export (-A), total, most recent billing period"},
      {"1-0:1.8.0*103", "Active energy import (+A), total, 3 most recent billing periods"},
      {"1-0:62.8.0*255", "Active energy export (-A), L3"},
      {"1-0:16.8.0*255", "Active energy net (+A-(-A)), total"},
      {"1-0:8.8.1*255", "Reactive energy QIV (-Rc), total, tariff 1"},
      {"1-1:1.8.2*255", "Active energy import (+A), total, tariff 2, channel 1"},
      {"1-0:1.29.0*255", "Active energy import (+A), total, time integral 5 (recording interval)"},
      {"1-0:1.6.1*1", "Active power import (+P), total, maximum 1 (maximum demand), tariff 1, previous billing period 1"},
      {"1-0:32.7.0*255", "Voltage, L1, instantaneous value"},
      {"1-0:71.7.0*255", "Current, L3, instantaneous value"},
      {"1-0:32.7.124*255", "Voltage, L1, instantaneous value, total harmonic distortion (THD)"},
      {"1-0:31.7.3*255", "Current, L1, instantaneous value, harmonic 3"},
      {"1-0:32.7.1*255", "Voltage, L1, instantaneous value, fundamental (1st harmonic)"},
      {"1-0:81.7.4*255", "Phase angle between U(L1) and I(L1), instantaneous value"},
      {"1-0:52.32.0*255", "Voltage, L2, under limit occurrence counter"},
      {"1-0:32.24.0*255", "Voltage, L1, current average 3"},
      {"1-0:91.7.0*255", "Current, neutral, instantaneous value"},
      {"1-0:99.1.0*255", "Load profile with recording interval 1"},
      {"1-0:0.1.2*101", "Time stamp of the billing period 1, most recent billing period"},
      {"4-0:2.3.0*1", "Heat cost allocator rated integral, billing date value, previous billing period 1"},
      // Value group A: 5 is cooling, 6 is heat.
      {"5-0:1.0.0*255", "Cooling energy, current value"},
      {"6-0:1.0.0*255", "Heat energy, current value"},
      {"6-0:10.0.0*255", "Heat flow temperature, current value"},
      {"5-0:99.1.0*255", "Cooling meter load profile 1"},
      {"7-0:3.0.0*255", "Meter volume, forward absolute, current index"},
      {"7-0:23.0.1*255", "Converted volume (base conditions), forward absolute, current index, tariff 1"},
      {"7-0:42.0.0*255", "Absolute pressure, current value"},
      {"7-0:43.0.0*255", "Flow rate, current value"},
      {"7-0:43.5.0*255", "Flow rate, maximum of value"},
      {"7-0:3.2.0*255", "Meter volume, forward absolute, set date value"},
      {"7-0:13.3.0*1", "Corrected volume, forward absolute, billing date value, previous billing period 1"},
      {"7-0:3.24.0*255", "Meter volume, forward absolute, processing 24"},
      {"7-0:42.24.0*255", "Absolute pressure, processing 24"},
      {"0-0:65.0.3*255", "Utility table 3"},
      {"0-0:66.0.1*255", "Compact data 1"},
      {"1-0:13.7.0*255", "Power factor, total, instantaneous value"},
      {"1-0:33.7.0*255", "Power factor, L1, instantaneous value"},
      {"8-0:1.0.0*255", "Cold water accumulated volume, current value"},
      {"9-0:2.5.0*255", "Hot water flow rate, maximum of value"},
      {"1-0:128.8.0*255", "Manufacturer specific electricity object 128.8.0"},
      {"0-0:96.50.1*255", "Manufacturer specific service entry 50.1"},
  };
  const TOBISData& db = EmbeddedOBISData();
  for (const Case& c : cases) EXPECT_EQ(db.GetOBISTextOfStr(c.Code), c.Text) << c.Code;
  // The logical name as an APDU carries it.
  EXPECT_EQ(db.GetOBISTextOfLogicalName(std::string("\x01\x00\x02\x08\x00\xff", 6)),
            "Active energy export (-A), total");
}

TEST(OBISShippedDatabase, OutsideTheDescribedCodes) {
  const TOBISData& db = EmbeddedOBISData();
  EXPECT_EQ(db.GetOBISTextOfStr("1-0:1.8.0*100"), "Not found 1.0.1.8.0.100");
  EXPECT_EQ(db.GetOBISTextOfStr("1-0:120.7.0*255"), "Not found 1.0.120.7.0.255");
  for (int medium : {2, 3}) {
    const TOBISCode code = {static_cast<uint8_t>(medium), 0, 1, 0, 0, 255};
    EXPECT_THROW(db.GetOBISText(code), EGeneralError) << medium;
  }
  EXPECT_THROW(db.GetOBISText({10, 0, 1, 8, 0, 255}), EGeneralError);
}

TEST(OBISShippedDatabase, BuiltInCopyMatchesTheFileAndReadsBack) {
  std::ifstream in(DefaultOBISDatabaseFile(), std::ios::binary);
  ASSERT_TRUE(in) << DefaultOBISDatabaseFile();
  const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(file, std::string(EmbeddedOBISResource()));
  const auto fromFile = LoadOBISDataFromFile(DefaultOBISDatabaseFile());
  const PduStr plain = OBISDecipher(file);
  // The stream is the database, up to the zero padding of the last block.
  const PduStr again = fromFile->SaveToStream();
  ASSERT_LE(again.size(), plain.size());
  EXPECT_LT(plain.size() - again.size(), 8u);
  EXPECT_EQ(plain.substr(0, again.size()), again);
  EXPECT_TRUE(std::is_sorted(fromFile->FAllWords.begin(), fromFile->FAllWords.end()));
  EXPECT_EQ(std::adjacent_find(fromFile->FAllWords.begin(), fromFile->FAllWords.end()), fromFile->FAllWords.end());
  EXPECT_NE(std::find(fromFile->FAllWords.begin(), fromFile->FAllWords.end(), "Voltage"), fromFile->FAllWords.end());
  EXPECT_THROW(LoadOBISDataFromFile(DefaultOBISDatabaseFile() + ".missing"), EGeneralError);
}
