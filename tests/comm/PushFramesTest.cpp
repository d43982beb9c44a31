// The readers of pushed frames (M-Bus, and the one that tells M-Bus from
// HDLC) against a real meter's capture and what a bad line makes of it, the
// M-Bus encoder against the same capture, and the read-only serial line
// against a pseudo-terminal that goes away and comes back.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"
#include "comm/PushFrames.h"
#include "comm/SerialInput.h"
#include "tests/PseudoTerminal.h"
#include "tests/RealCaptures.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// What a reader makes of a stream, fed at once or one byte at a time:
// "message <hex>", "error <text>" and "notice <text>" in order.
std::vector<std::string> Events(TPushFramer& reader, const PduStr& stream, bool bytewise) {
  std::vector<std::string> events;
  auto message = [&](const std::string& m) { events.push_back("message " + TMisc::ByteStrToHexStr(m)); };
  auto error = [&](const std::string& e) { events.push_back("error " + e); };
  reader.OnNotice = [&](const std::string& n) { events.push_back("notice " + n); };
  if (bytewise)
    for (char c : stream) reader.Feed(std::string_view(&c, 1), message, error);
  else
    reader.Feed(stream, message, error);
  return events;
}

PduStr Joined(const std::vector<PduStr>& frames) {
  PduStr s;
  for (const auto& f : frames) s += f;
  return s;
}

// A long frame of any CI, its length and checksum right.
PduStr LongFrame(uint8_t ci, const PduStr& data) {
  PduStr body = PduStr("\x53\xFF", 2) + static_cast<char>(ci) + data;
  uint8_t sum = 0;
  for (char c : body) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  const char l = static_cast<char>(body.size());
  return PduStr{'\x68', l, l, '\x68'} + body + static_cast<char>(sum) + '\x16';
}

struct TCase {
  const char* What;
  PduStr Stream;
  std::vector<std::string> Events;
};

void ExpectCases(const std::function<std::unique_ptr<TPushFramer>()>& make, const std::vector<TCase>& cases) {
  for (const auto& c : cases) {
    auto whole = make();
    EXPECT_EQ(Events(*whole, c.Stream, false), c.Events) << c.What;
    EXPECT_EQ(whole->Held(), 0u) << c.What;
    auto bytewise = make();
    EXPECT_EQ(Events(*bytewise, c.Stream, true), c.Events) << c.What << ", byte by byte";
  }
}

}  // namespace

TEST(MBusPushReader, TheCapturesFramesJoinIntoTheApduTheyCarry) {
  const PduStr f1 = Hex(kKaifaMBusFrame1), f2 = Hex(kKaifaMBusFrame2);
  std::vector<std::string> messages;
  TMBusPushReader reader;
  reader.Feed(f1 + f2, [&](const std::string& m) { messages.push_back(m); },
              [](const std::string& e) { ADD_FAILURE() << e; });
  ASSERT_EQ(messages.size(), 1u);
  const PduStr& apdu = messages[0];
  // general-glo-ciphering, the meter's system title, then a content whose
  // length (82 01 09) covers exactly the rest.
  EXPECT_EQ(TMisc::ByteStrToHexStr(apdu.substr(0, 10)), "DB084B464D1010000023");
  EXPECT_EQ(TMisc::ByteStrToHexStr(apdu.substr(10, 3)), "820109");
  EXPECT_EQ(apdu.size(), 13u + 0x109u);
  // The encoder makes the meter's own frames from it: the same control,
  // address, transport bytes and cut.
  EXPECT_EQ(MBusLongFrames(apdu, 245, 0x53, 0xFF, 0x01, 0x67), (std::vector<PduStr>{f1, f2}));
}

TEST(MBusPushReader, OnlyWholeMessagesAndEveryFaultSaidOnce) {
  const PduStr f1 = Hex(kKaifaMBusFrame1), f2 = Hex(kKaifaMBusFrame2);
  PduStr apdu;
  TMBusPushReader().Feed(f1 + f2, [&](const std::string& m) { apdu = m; }, [](const std::string&) {});
  ASSERT_EQ(apdu.size(), 278u);
  const std::string m = "message " + TMisc::ByteStrToHexStr(apdu);
  // A short push of its own, and one in three segments.
  const PduStr small = PduStr("\x0F\x00\x00\x00\x07\x00\x11\x2A", 8);
  const std::string ms = "message " + TMisc::ByteStrToHexStr(small);
  const std::vector<PduStr> three = MBusLongFrames(PduStr(600, 'x'), 200);
  ASSERT_EQ(three.size(), 3u);
  PduStr badSum1 = f1, badSum2 = f2, badStop = f1;
  badSum1[badSum1.size() - 2] ^= 0x01;
  badSum2[badSum2.size() - 2] ^= 0x01;
  badStop.back() = '\x17';
  const PduStr smallFrame = MBusLongFrames(small)[0];
  // Twenty segments: numbers 0 to 15, then 0 to 3 again.
  const std::vector<PduStr> twenty = MBusLongFrames(PduStr(200, 'z'), 10);
  auto without = [](std::vector<PduStr> frames, size_t i) {
    frames.erase(frames.begin() + static_cast<long>(i));
    return Joined(frames);
  };
  const PduStr shortFrame("\x10\x5B\xFE\x59\x16", 5), ack("\xE5", 1);
  ExpectCases([] { return std::make_unique<TMBusPushReader>(); },
              {
                  {"junk before and between frames", "\x01\x68\x02" + f1 + "\xAA\xBB" + f2,
                   {"error 3 bytes outside a frame skipped", "error 2 bytes outside a frame skipped", m}},
                  {"junk that starts like a frame", PduStr("\x68\x05\x05\x68\x00", 5) + f1 + f2,
                   {"error 5 bytes outside a frame skipped", m}},
                  {"acknowledgements and short frames", ack + shortFrame + f1 + ack + f2 + shortFrame, {m}},
                  {"a flipped checksum in the last frame", f1 + badSum2 + smallFrame,
                   {"error M-Bus frame dropped (checksum 10, expected 11); the 245 bytes of the message before it "
                    "dropped too",
                    ms}},
                  {"a flipped checksum in the first frame", badSum1 + f2 + smallFrame,
                   {"error M-Bus frame dropped (checksum 0E, expected 0F)", ms}},
                  {"a garbled stop byte", badStop + f2 + smallFrame,
                   {"error 256 bytes outside a frame skipped",
                    "error M-Bus segment 1 without the segments before it, dropped", ms}},
                  {"a missing first segment", f2 + smallFrame,
                   {"error M-Bus segment 1 without the segments before it, dropped", ms}},
                  {"a missing middle segment", three[0] + three[2] + smallFrame,
                   {"error M-Bus segment 2 where 1 was due; the 200 bytes of the message before it dropped", ms}},
                  {"a missing segment of a long message, its tail past the wrap", without(twenty, 3) + smallFrame,
                   {"error M-Bus segment 4 where 3 was due; the 30 bytes of the message before it dropped", ms}},
                  {"a new message before the last one ended", f1 + smallFrame + f1 + f2,
                   {"error M-Bus segment 0 where 1 was due; the 245 bytes of the message before it dropped", ms, m}},
                  {"a frame that is not DLMS", LongFrame(0x72, PduStr(12, '\0')) + f1 + f2,
                   {"error M-Bus frame with CI 72 ignored (not DLMS)", m}},
                  {"no transport bytes", LongFrame(0x10, "\x01") + smallFrame,
                   {"error M-Bus frame dropped (CI 10 without the two transport bytes)", ms}},
                  {"a message over 65535 bytes", Joined(MBusLongFrames(PduStr(65536, 'y'))) + smallFrame,
                   {"error M-Bus message longer than 65535 bytes, dropped", ms}},
              });
  // What is held until the rest comes: part of a frame, the segments so
  // far, bytes not yet known to be no frame.
  for (const auto& [stream, held] : std::vector<std::pair<PduStr, size_t>>{
           {f1.substr(0, 100), 100}, {f1, 245}, {f1 + "\x01\x02", 247}, {f1 + f2.substr(0, 3), 248}}) {
    TMBusPushReader reader;
    reader.Feed(stream, [](const std::string&) {}, [](const std::string&) {});
    EXPECT_EQ(reader.Held(), held) << TMisc::ByteStrToHexStr(stream);
  }
}

TEST(MBusPushReader, WhatTheEncoderCutsTheReaderJoins) {
  for (const size_t size : {size_t{0}, size_t{1}, size_t{250}, size_t{251}, size_t{4001}, size_t{65535}}) {
    for (const size_t segment : {size_t{1}, size_t{7}, size_t{250}}) {
      if (size / segment > 5000) continue;  // as many frames as needed, without taking long
      PduStr apdu(size, '\0');
      for (size_t i = 0; i < size; ++i) apdu[i] = static_cast<char>(i * 7 + 3);
      const auto frames = MBusLongFrames(apdu, segment, 0x08, 0x01, 0x02, 0x03);
      ASSERT_EQ(frames.size(), std::max<size_t>(1, (size + segment - 1) / segment));
      for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_LE(frames[i].size(), 261u);
        EXPECT_EQ(static_cast<uint8_t>(frames[i][6]), (i % 16) | (i + 1 == frames.size() ? 0x10 : 0)) << i;
      }
      std::vector<PduStr> got;
      TMBusPushReader reader;
      reader.Feed(Joined(frames), [&](const std::string& m) { got.push_back(m); },
                  [](const std::string& e) { ADD_FAILURE() << e; });
      EXPECT_EQ(got, std::vector<PduStr>{apdu}) << size << " bytes in segments of " << segment;
    }
  }
  for (const size_t bad : {size_t{0}, size_t{251}})
    ExpectError<EGeneralError>([&] { MBusLongFrames("x", bad); },
                               Format("M-Bus segment size %zu: expected 1..250", bad));
}

TEST(AutoPushReader, TheFirstWholeFrameDecidesTheFraming) {
  const PduStr f1 = Hex(kKaifaMBusFrame1), f2 = Hex(kKaifaMBusFrame2);
  PduStr apdu;
  TMBusPushReader().Feed(f1 + f2, [&](const std::string& m) { apdu = m; }, [](const std::string&) {});
  const std::string m = "message " + TMisc::ByteStrToHexStr(apdu);
  const PduStr push = PduStr("\x0F\x00\x00\x00\x07\x00\x11\x2A", 8);
  const PduStr hdlc = MeterFrame(fkUI, false, 0, 0, PduStr("\xE6\xE7\x00", 3) + push);
  const std::string mh = "message " + TMisc::ByteStrToHexStr(push);
  const std::string foundMBus = "notice M-Bus frames found; read as M-Bus", foundHdlc = "notice HDLC frames found; read as HDLC";
  ExpectCases([] { return std::make_unique<TAutoPushReader>(); },
              {
                  {"M-Bus", f1 + f2, {foundMBus, m}},
                  {"HDLC", hdlc + hdlc, {foundHdlc, mh, mh}},
                  {"HDLC after fill flags and junk", "\x7E\x7E\x01\x02" + hdlc,
                   {foundHdlc, "error 2 bytes outside a frame skipped", mh}},
                  // An HDLC start whose closing flag never comes decides nothing.
                  {"M-Bus after what starts like HDLC", PduStr("\x7E\xA0\x30\xE5", 4) + f1 + f2,
                   {foundMBus, "error 3 bytes outside a frame skipped", m}},
                  {"M-Bus after an HDLC frame cut short", hdlc.substr(0, 9) + f1 + f2,
                   {foundMBus, "error 9 bytes outside a frame skipped", m}},
                  // Once decided, HDLC frames on an M-Bus line are junk.
                  {"framing kept", f1 + f2 + hdlc + f1 + f2,
                   {foundMBus, m, Format("error %zu bytes outside a frame skipped", hdlc.size()), m}},
                  // The APDU the M-Bus frames carry, sent with no frame at all.
                  {"ciphered APDUs without frames", "\x01" + apdu + apdu,
                   {"notice ciphered APDUs without frames found; read as such", "error 1 bytes outside a frame skipped", m, m}},
              });
}

TEST(GloApduPushReader, CipheredApdusOneAfterTheOtherAndWhatIsNoneSkipped) {
  PduStr apdu;
  TMBusPushReader().Feed(Hex(kKaifaMBusFrame1) + Hex(kKaifaMBusFrame2), [&](const std::string& x) { apdu = x; },
                         [](const std::string&) {});
  ASSERT_EQ(apdu.substr(0, 2), PduStr("\xDB\x08", 2));
  const std::string m = "message " + TMisc::ByteStrToHexStr(apdu);
  const PduStr small = Hex("DB08 4B464D1010000023 06 30 00000001 AA");
  const std::string ms = "message " + TMisc::ByteStrToHexStr(small);
  ExpectCases([] { return std::make_unique<TGloApduPushReader>(); },
              {
                  {"two", apdu + small, {m, ms}},
                  {"junk between", small + PduStr("\x00\xDB\x07", 3) + small, {ms, "error 3 bytes outside a frame skipped", ms}},
                  // No encryption and no authentication asked for: no ciphered APDU.
                  {"a security control that asks for nothing", Hex("DB08 4B464D1010000023 06 00 00000001 AA") + small,
                   {Format("error %zu bytes outside a frame skipped", small.size()), ms}},
              });
}

// ---------------------------------------------------------------- the serial line

namespace {

// Polls the line until it has read `want` bytes or was lost (at most 2 s).
bool ReadUntil(TSerialInput& line, std::string& got, size_t want) {
  for (int i = 0; i < 200 && got.size() < want; ++i) {
    pollfd p{line.Fd(), POLLIN, 0};
    if (::poll(&p, 1, 10) > 0 && !line.Read(p.revents, got)) return false;
  }
  return true;
}

}  // namespace

TEST(SerialInput, ReadsOnlyAndComesBackAfterTheAdapterWasPulled) {
  char dir[] = "/tmp/quillon-serial-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/ttyHAN";
  struct TRemove {
    std::string Dir;
    ~TRemove() { std::filesystem::remove_all(Dir); }
  } remove{dir};
  auto pty = std::make_unique<TPluggedPty>(link);
  TSerialInput line(link, 2400, true);
  std::vector<std::string> lines;
  line.OnLine = [&](const std::string& l) { lines.push_back(l); };
  line.Open();
  // The line as a customer port runs: 2400 baud, 8 bits, raw (a
  // pseudo-terminal keeps no parity), and read only.
  termios t{};
  ASSERT_EQ(::tcgetattr(line.Fd(), &t), 0);
  EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B2400));
  EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(::fcntl(line.Fd(), F_GETFL) & O_ACCMODE, O_RDONLY);

  ASSERT_TRUE(pty->Write("\x68\x03"));
  std::string got;
  ASSERT_TRUE(ReadUntil(line, got, 2));
  EXPECT_EQ(got, "\x68\x03");

  // Pulled out: one line, the descriptor gone; retries do not open a
  // device that is not there, and say nothing.
  pty.reset();
  EXPECT_FALSE(ReadUntil(line, got, 100));
  EXPECT_EQ(lines, std::vector<std::string>{"serial port " + link + " lost (hung up); reopening"});
  EXPECT_EQ(line.Fd(), -1);
  const auto later = TSerialInput::TClock::now() + std::chrono::hours(1);
  EXPECT_FALSE(line.Tend(later));
  EXPECT_FALSE(line.Tend(later + std::chrono::hours(1)));
  EXPECT_EQ(lines.size(), 1u);

  // Plugged in again (the link now names another device): open again on
  // the first retry due, once.
  pty = std::make_unique<TPluggedPty>(link);
  EXPECT_TRUE(line.Tend(later + std::chrono::hours(2)));
  EXPECT_FALSE(line.Tend(later + std::chrono::hours(3)));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "serial port " + link + " open again");
  ASSERT_TRUE(pty->Write("\x16"));
  got.clear();
  ASSERT_TRUE(ReadUntil(line, got, 1));
  EXPECT_EQ(got, "\x16");
}

TEST(SerialInput, ADeviceThatCannotBeOpenedIsSaidAtOnce) {
  TSerialInput line("/nonexistent/ttyHAN", 2400, true);
  ExpectError<EProtocolLayerSerial>([&] { line.Open(); },
                                    "cannot open serial port /nonexistent/ttyHAN: No such file or directory");
}
