#include <gtest/gtest.h>

#include "TestSupport.h"
#include "comm/MidLayers.h"

namespace quillon {
namespace {

using test::TLoggedLine;
using test::TRecordingSink;

class TNamedLayer : public TProtocolLayerAbstract {
public:
  explicit TNamedLayer(const std::string& name) { Name = name; }
  void Connect() override {}
  void Disconnect() override {}
  PduStr SendRec(const PduStr&) override { return {}; }
  bool IsConnected() override { return false; }
  void ClearInputBuffer() override {}
};

// A manager with a known clock: 1000 counts per second, started at 1.
struct PrefixCase {
  const char* name;
  TTrafficOptions options;
  int64_t previous;  // counter of the event before (0: none)
  int64_t now;
  const char* expected;
};

TEST(TrafficPrefix, ColumnsWidthsAndDeltas) {
  const PrefixCase cases[] = {
      {"TCPClient", {toName}, 0, 5, "TCPClient "},
      {"TwelveChars!", {toName}, 0, 5, "TwelveChars!"},
      {"Serial[1]", {toTimeStampsDelta}, 0, 5, "+0        "},
      {"Serial[1]", {toTimeStampsDelta}, 1000, 1250, "+250      "},
      {"Serial[1]", {toTimeStampsSession}, 0, 1 + 83456, "1'23.456  "},
      {"TCPClient", kByteLayerTrafficOptions, 1000, 1250, "TCPClient 0'01.249  +250      "},
      {"TCPClient", {toInfo, toASCII}, 1000, 1250, ""},
  };
  for (const PrefixCase& c : cases) {
    TTrafficWindowManager m;
    m.PerformanceFrequency = 1000;
    m.StartCounter = 1;
    m.RefTime = c.previous;
    TNamedLayer layer(c.name);
    TTrafficEvent e{&layer, "x", c.options};
    EXPECT_EQ(m.BuildPrefix(e, c.now), c.expected) << c.name << " options " << int(c.options.Bits);
    EXPECT_EQ(m.RefTime, c.now);
  }
}

TEST(TrafficPrefix, ByteLayerDefaultIs0x61) { EXPECT_EQ(kByteLayerTrafficOptions.Bits, 0x61); }

TEST(TrafficLog, EventKindDecidesTheCallAndAsciiClearsBinary) {
  TRecordingSink sink;
  TNamedLayer layer("Serial[2]");
  layer.TrafficOptions = kByteLayerTrafficOptions;
  TTrafficWindowManager& m = TrafficWindowManager();
  m.OnTraffic(&layer, "in", kByteLayerTrafficOptions + toIncoming);
  m.OnTraffic(&layer, "out", kByteLayerTrafficOptions + toOutgoing + toASCII);
  m.OnTraffic(&layer, "Opened", kByteLayerTrafficOptions + toInfo);
  m.OnTraffic(&layer, "dropped", kByteLayerTrafficOptions);
  m.OnTraffic(nullptr, "engine line", TTrafficOptions{toInfo, toASCII});
  ASSERT_EQ(sink.Lines.size(), 4u);
  EXPECT_EQ(sink.Lines[0].Kind, TLoggedLine::Received);
  EXPECT_TRUE(sink.Lines[0].BinaryData);
  EXPECT_EQ(sink.Lines[1].Kind, TLoggedLine::Sent);
  EXPECT_FALSE(sink.Lines[1].BinaryData);
  EXPECT_EQ(sink.Lines[2].Kind, TLoggedLine::Info);
  EXPECT_EQ(sink.Lines[2].Text, "Opened");
  EXPECT_EQ(sink.Lines[2].Prefix.substr(0, 10), "Serial[2] ");
  EXPECT_EQ(sink.Lines[3].Text, "engine line");
  EXPECT_EQ(sink.Lines[3].Prefix, "");
}

TEST(TrafficLog, EventsFromOtherThreadsArriveWhole) {
  TRecordingSink sink;
  TNamedLayer layer("TCPServer");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) TrafficWindowManager().OnTraffic(&layer, "abc", TTrafficOptions{toName, toInfo});
    });
  for (auto& t : threads) t.join();
  ASSERT_EQ(sink.Lines.size(), 200u);
  for (const auto& l : sink.Lines) EXPECT_EQ(l.Prefix, "TCPServer ");
}

TEST(ProtocolLayer, SendAndRecNotAvailableNameTheLayer) {
  TProtocolLayerHDLC& hdlc = HDLCLayers().HDLC(1);
  test::ExpectError<EProtocolLayerException>([&] { hdlc.Send("x"); }, "HDLC[1]:\"Send\" not available");
  test::ExpectError<EProtocolLayerException>([&] { hdlc.Rec(); }, "HDLC[1]:\"Rec\" not available");
}

TEST(Timing, TickDifferenceSurvivesWrapAround) {
  EXPECT_EQ(TickDiff(0xFFFFFFFFu - 295, 200), 496u);
  EXPECT_EQ(TickDiff(1000, 1250), 250u);
  EXPECT_EQ(PerformanceCounterDiffMs(0, QueryPerformanceFrequency() / 4), 250);
}

TEST(Timing, AbortRequestStopsALongWaitBeforeItsFirstSleep) {
  UserAbortRequested = true;
  try {
    WaitInSteps(5000);
    UserAbortRequested = false;
    FAIL() << "no abort";
  } catch (const EUserAbort& e) {
    UserAbortRequested = false;
    EXPECT_STREQ(e.what(), "USER ABORT");
  }
  EXPECT_NO_THROW(CheckUserAbort());
}

TEST(Checks, NumberedAssertionAndNoResponseTexts) {
  test::ExpectError<EGeneralError>([&] { CheckAssertion(false, 1109); }, "Wrong assertion (1109)");
  EXPECT_NO_THROW(CheckAssertion(true, 1));
  EXPECT_STREQ(ENoResponse().what(), "No response");
  EFatalFailure f("x");
  EXPECT_FALSE(f.Handled);
  EXPECT_FALSE(f.Continue);
}

TEST(Listing, LeadInAndWaitingTexts) {
  EXPECT_EQ(ListingLine(true, 35, "Rec 7E"), "+35                 Rec 7E");
  EXPECT_EQ(ListingLine(true, 0, "Rec 7E"), std::string(20, ' ') + "Rec 7E");
  EXPECT_EQ(ListingLine(false, 35, "Sent 7E"), std::string(20, ' ') + "Sent 7E");
  EXPECT_EQ(WaitingText(2000, "DISCToNDMTimeout"), "Waiting 2.0 sec. (DISCToNDMTimeout)");
  EXPECT_EQ(WaitingText(999, "DISCToNDMTimeout"), "Waiting 999 millisec. (DISCToNDMTimeout)");
}

TEST(HexText, SeparatorsSkippedAndErrorsNamed) {
  EXPECT_EQ(HexStrToByteStr2("7E-A0 07\r\n03"), test::Hex("7EA00703"));
  const std::pair<const char*, const char*> bad[] = {
      {"7E A", "HexStrToByteStr2: Hex-character missing"},
      {"7G", "Illegal hex-character"},
      {"7G1", "Illegal hex-character"},
  };
  for (const auto& [text, message] : bad) test::ExpectError<EGeneralError>([&] { HexStrToByteStr2(text); }, message);
}

TEST(LowerLayers, LookupIgnoresCaseAndNamesFailures) {
  EXPECT_EQ(&GetLayer("tcpclient"), &LowerLayers().TCPClient);
  EXPECT_EQ(&GetLayer("SERIAL[2]"), &LowerLayers().Serial(2));
  EXPECT_EQ(GetLayer("TCPServer").Name, "TCPServer");
  const std::pair<const char*, const char*> bad[] = {
      {"", "Lower Layer not specified"},
      {"Serial[3]", "Lower Layer \"Serial[3]\" unknown"},
  };
  for (const auto& [name, message] : bad) test::ExpectError<EGeneralError>([&] { GetLayer(name); }, message);
  EXPECT_EQ(HDLCLayers().HDLC(1).Name, "HDLC[1]");
  EXPECT_EQ(WRAPPERLayers().WRAPPER(2).Name, "WRAPPER[2]");
}

}  // namespace
}  // namespace quillon
