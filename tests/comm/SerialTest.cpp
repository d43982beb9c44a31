#include <gtest/gtest.h>

#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestSupport.h"
#include "comm/MidLayers.h"

namespace quillon {
namespace {

using test::Hex;
using test::TLoggedLine;
using test::TPtyMeter;
using test::TRecordingSink;
using test::TScript;

std::string HexOf(const PduStr& s) { return TMisc::ByteStrToHexStr(s); }

TEST(SerialNaming, COMNumbersMapToLinuxDevices) {
  const std::pair<int, const char*> cases[] = {
      {1, "/dev/ttyS0"}, {4, "/dev/ttyS3"}, {100, "/dev/ttyUSB0"}, {107, "/dev/ttyUSB7"},
      {200, "/dev/ttyACM0"}, {300, "/dev/ttyS299"},
  };
  for (const auto& [n, device] : cases) EXPECT_EQ(TProtocolLayerSerial::DeviceNameOfCOM(n), device);
}

TEST(SerialNaming, PresentDevicesByIdFirstThenByKind) {
  char folder[] = "/tmp/quillon-devXXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string dev = folder;
  ASSERT_EQ(mkdir((dev + "/serial").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dev + "/serial/by-id").c_str(), 0700), 0);
  const std::vector<std::string> made = {"/ttyS1", "/ttyS0", "/ttyACM0", "/ttyUSB3", "/tty0", "/null",
                                         "/serial/by-id/usb-FTDI_Optical_Probe-if00-port0"};
  for (const std::string& f : made) close(open((dev + f).c_str(), O_CREAT | O_WRONLY, 0600));
  const std::vector<std::string> expected = {dev + "/serial/by-id/usb-FTDI_Optical_Probe-if00-port0",
                                             dev + "/ttyUSB3", dev + "/ttyACM0", dev + "/ttyS0", dev + "/ttyS1"};
  EXPECT_EQ(TProtocolLayerSerial::PresentDevices(dev), expected);
  for (const std::string& f : made) unlink((dev + f).c_str());
  rmdir((dev + "/serial/by-id").c_str());
  rmdir((dev + "/serial").c_str());
  rmdir(dev.c_str());
  // Nothing there: an empty list, not a failure.
  EXPECT_TRUE(TProtocolLayerSerial::PresentDevices(dev).empty());
}

TEST(ModeEParity, HandMadeEvenParity) {
  EXPECT_EQ(HexOf(AddEvenParity("/?!\r\n")), "AF3F218D0A");
  EXPECT_EQ(HexOf(AddEvenParity(PduStr("\x06" "252\r\n"))), "06B235B28D0A");
  EXPECT_EQ(HexOf(AddEvenParity("\xFF")), "FF");  // bit 7 of the input is ignored
}

TEST(ByteCircularBuffer, FirstInFirstOut) {
  TByteCircularBuffer b;
  PduStr out;
  b.Read(out, 0);
  EXPECT_EQ(out, "");
  b.Write("abc");
  b.Write("de");
  EXPECT_EQ(b.ByteQty(), 5u);
  EXPECT_EQ(b.ReadByte(), 'a');
  b.Read(out, 2);
  EXPECT_EQ(out, "bc");
  EXPECT_THROW(b.Read(out, 3), EAssertionFailed);
  b.Read(out, 0);
  EXPECT_EQ(out, "de");
  EXPECT_THROW(b.ReadByte(), EAssertionFailed);
  b.Write("xyz");
  b.Clear();
  EXPECT_EQ(b.ByteQty(), 0u);
}

TEST(ByteCircularBuffer, TwoThreadsKeepTheOrder) {
  TByteCircularBuffer b;
  const int total = 200000;
  TScript producer([&] {
    for (int i = 0; i < total; i += 100) {
      PduStr block;
      for (int k = 0; k < 100; ++k) block += static_cast<char>((i + k) & 0xFF);
      b.Write(block);
    }
  });
  int got = 0;
  while (got < total) {
    if (!b.WaitForData(2000)) break;
    uint8_t v = b.ReadByte();
    ASSERT_EQ(v, got & 0xFF);
    ++got;
  }
  EXPECT_EQ(got, total);
}

class SerialTest : public ::testing::Test {
protected:
  void SetUp() override {
    s.Disconnect();
    s.SetDevicePath(meter.Path());
    s.SetBaud(9600);
    s.SetFormat("8N1");
    s.ResponseTimeout = 200;
    s.Echoing = false;
    s.NeedsMode_E = false;
    s.NeedsWakeUp = false;
    // A pseudo-terminal has no line to drain into: the purge after the speed
    // change would drop an acknowledgement the meter has not read yet.
    s.Mode_E_Delay2 = 100;
    s.Mode_E_ResponseTimeout = 200;
    s.CheckFrameCompleteCallBack = nullptr;
  }
  void TearDown() override {
    s.Disconnect();
    s.SetDevicePath("");
    s.Mode_E_Delay2 = 300;
    s.Mode_E_ResponseTimeout = 2000;
    s.SetBaud(9600);
  }
  TRecordingSink sink;
  TPtyMeter meter;
  TProtocolLayerSerial& s = LowerLayers().Serial(1);
};

TEST_F(SerialTest, OpenExchangeCloseWithEvents) {
  s.Connect();
  EXPECT_TRUE(s.IsConnected());
  s.Connect();  // a second connect does nothing
  TScript m([&] {
    EXPECT_EQ(meter.Read(3), "req");
    meter.Write("answer+junk");
  });
  s.CheckFrameCompleteCallBack = [](TProtocolLayerAbstract&, const PduStr& r) { return r.size() == 6; };
  EXPECT_EQ(s.SendRec("req"), "answer");
  m.Join();
  s.Disconnect();
  EXPECT_FALSE(s.IsConnected());
  auto lines = sink.Snapshot();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].Text, "Opened");
  EXPECT_EQ(lines[1].Kind, TLoggedLine::Sent);
  EXPECT_EQ(lines[2].Text, "answer");
  EXPECT_EQ(lines[3].Text, "Closed");
  EXPECT_EQ(lines[3].Prefix.substr(0, 10), "Serial[1] ");
}

TEST_F(SerialTest, AnAbortRequestEndsASilentRead) {
  s.ResponseTimeout = 600000;
  s.Connect();
  std::thread canceller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    UserAbortRequested = true;
  });
  test::ExpectError<EUserAbort>([&] { s.Rec(); }, "USER ABORT");
  canceller.join();
  UserAbortRequested = false;
}

TEST_F(SerialTest, SilenceIsNotAnError) {
  s.Connect();
  EXPECT_EQ(s.Rec(), "");
}

TEST_F(SerialTest, EchoOfATwoWireLineIsDropped) {
  s.Echoing = true;
  s.Connect();
  TScript m([&] {
    PduStr got = meter.Read(5);
    meter.Write(got);  // the line's echo
    SleepMs(20);
    meter.Write("reply");
  });
  EXPECT_EQ(s.SendRec("hello"), "reply");
}

TEST_F(SerialTest, SettingErrorsAndLocks) {
  s.Connect();
  test::ExpectError<EProtocolLayerSerial>([&] { s.SetFormat("9N1"); }, "\"9N1\" is not a valid format");
  EXPECT_EQ(s.FormatText(), "8N1");
  test::ExpectError<EProtocolLayerSerial>([&] { s.SetBaud(31250); }, "31250 is not a valid baud");
  EXPECT_EQ(s.Baud(), 9600);
  for (int baud : {300, 14400, 115200, 256000}) EXPECT_NO_THROW(s.SetBaud(baud)) << baud;
  test::ExpectError<EProtocolLayerSerial>([&] { s.SetCOMNr(5); }, "COM is opened, cannot change COMNr");
  s.Disconnect();
  s.SetBaud(31250);  // stored while closed, refused at the next apply
  test::ExpectError<EProtocolLayerSerial>([&] { s.Connect(); }, "31250 is not a valid baud");
}

TEST_F(SerialTest, NotConnectedAndCannotOpen) {
  test::ExpectError<EProtocolLayerSerial>([&] { s.Send("x"); }, "\"Serial[1]\" is not connected");
  EXPECT_THROW(s.Rec(), EProtocolLayerSerial);
  s.SetDevicePath("/dev/quillon-no-such-port");
  test::ExpectError<EProtocolLayerSerial>([&] { s.Connect(); }, "Cannot open port /dev/quillon-no-such-port (No such file or directory)");
  s.SetDevicePath("");
  s.SetCOMNr(250);
  test::ExpectError<EProtocolLayerSerial>([&] { s.Connect(); }, "Cannot open port 250 (No such file or directory)");
  s.SetCOMNr(1);
  EXPECT_FALSE(s.IsConnected());
}

TEST_F(SerialTest, WakeUpSendsTheTrainAtThreeHundredBaud) {
  s.WakeUpDuration = 30;
  s.NeedsWakeUp = true;
  TScript m([&] { EXPECT_EQ(meter.Read(82), PduStr(82, '\0')); });
  s.Connect();
  m.Join();
  s.NeedsWakeUp = false;
  s.WakeUpDuration = 3800;
  EXPECT_EQ(s.Baud(), 300);
  auto infos = sink.Infos();
  ASSERT_EQ(infos.size(), 3u);
  EXPECT_EQ(infos[1], "Begin wakeup");
  EXPECT_EQ(infos[2], "End wakeup");
}

struct ModeECase {
  int rememberedBaud;
  char meterZ;
  char chosenZ;
  int chosenBaud;
};

TEST_F(SerialTest, ModeEOpeningChoosesTheBaud) {
  const ModeECase cases[] = {
      {9600, '5', '5', 9600}, {4800, '5', '4', 4800}, {110, '5', '0', 300}, {19200, '6', '6', 19200},
  };
  for (const ModeECase& c : cases) {
    s.Disconnect();
    s.SetBaud(c.rememberedBaud);
    s.NeedsMode_E = true;
    sink.Lines.clear();
    TScript m([&] {
      EXPECT_EQ(HexOf(meter.Read(5)), "AF3F218D0A");
      meter.Write(AddEvenParity(std::string("/ABC") + c.meterZ + "XYZ\r\n"));
      PduStr ack = PduStr("\x06") + "2" + c.chosenZ + "2\r\n";
      EXPECT_EQ(HexOf(meter.Read(6)), HexOf(AddEvenParity(ack)));
    });
    s.Connect();
    m.Join();
    EXPECT_EQ(s.Baud(), c.chosenBaud) << c.rememberedBaud;
    EXPECT_EQ(s.FormatText(), "8N1");
    bool changeover = false;
    for (const auto& l : sink.Snapshot())
      if (l.Text == Format("--- baud changeover %d ---", c.chosenBaud)) {
        changeover = true;
        EXPECT_FALSE(l.BinaryData);
        EXPECT_EQ(l.Kind, TLoggedLine::Received);
      }
    EXPECT_TRUE(changeover);
  }
  s.NeedsMode_E = false;
}

TEST_F(SerialTest, ModeEFailuresRestoreTheLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"/ABC7XYZ\r\n", "Mode E illegal response"},
      {"/AB\r\nC5XYZ\r\n", "Mode E illegal response"},
      {"/AB\n", "Mode E illegal response"},
      {"", "No response to mode E opening"},
      {"/ABC5XY", "No response to mode E opening"},
  };
  s.SetFormat("7E1");
  s.Connect();
  for (const auto& [answer, message] : cases) {
    TScript m([&, answer = std::string(answer)] {
      meter.Read(5);
      meter.Write(AddEvenParity(answer));
    });
    SCOPED_TRACE(answer);
    test::ExpectError<EProtocolLayerSerial>([&] { s.DoModeEOpening(); }, message);
    m.Join();
    EXPECT_TRUE(s.IsConnected());
    EXPECT_EQ(s.Baud(), 9600);
    EXPECT_EQ(s.FormatText(), "7E1");
  }
}

TEST_F(SerialTest, ModeEIdentificationThatNeverEndsIsRefused) {
  s.Connect();
  TScript m([&] {
    meter.Read(5);
    meter.Write(AddEvenParity("/ABC5" + std::string(400, 'X')));
  });
  EXPECT_THROW(s.DoModeEOpening(), EProtocolLayerSerial);
}

}  // namespace
}  // namespace quillon
