// What the simulated customer port puts on the line, taken apart with the
// project's own frame, APDU and GCM decoders.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "TestUtil.h"
#include "comm/HDLCFrame.h"
#include "security/GCMCipher.h"
#include "tools/meter-sim/SimHan.h"
#include "xmlpdu/Make.h"

using namespace quillon;
using namespace quillon::sim;
using namespace quillon::test;

namespace {

// 2026-03-01 13:00:00 UTC, a Sunday, and its date-time as a meter keeping
// UTC writes it.
constexpr int64_t kOnTheHourMs = 1772370000000;
const char kOnTheHourHex[] = "07EA0301070D000000000000";

const PduStr kTitle = H("5153494D00000001");
const PduStr kEK = H("000102030405060708090A0B0C0D0E0F");
const PduStr kAK = H("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF");

THanMeter Meter() { return {kTitle, kEK, kAK, H("0A083531303030343237")}; }

THanOptions Options(THanNames names = THanNames::Structures, THanTime time = THanTime::OctetString) {
  THanOptions o;
  o.Names = names;
  o.Time = time;
  return o;
}

// The names lists carry, in order, as a listener sees them dotted.
const std::vector<std::string> kList1 = {"1.0.1.7.0.255", "1.0.2.7.0.255"};
const std::vector<std::string> kList2 = {"1.1.0.2.129.255", "0.0.96.1.0.255", "1.0.1.7.0.255", "1.0.2.7.0.255",
                                         "1.0.3.7.0.255", "1.0.4.7.0.255", "1.0.31.7.0.255", "1.0.51.7.0.255",
                                         "1.0.71.7.0.255", "1.0.32.7.0.255", "1.0.52.7.0.255", "1.0.72.7.0.255"};
std::vector<std::string> ListNames(int list) {
  if (list == 1) return kList1;
  std::vector<std::string> names = kList2;
  if (list == 3)
    for (const char* n : {"0.0.1.0.0.255", "1.0.1.8.0.255", "1.0.2.8.0.255", "1.0.3.8.0.255", "1.0.4.8.0.255"})
      names.push_back(n);
  return names;
}

std::string Dotted(const PduStr& obis) {
  std::string s;
  for (char c : obis) s += (s.empty() ? "" : ".") + std::to_string(static_cast<uint8_t>(c));
  return s;
}

T_Data& Element(const T_Data& d, int i) {
  if (d.Tag == 1) return *(*static_cast<T_Array*>(d.Value.get()))[i];
  return *(*static_cast<T_Structure*>(d.Value.get()))[i];
}
int Elements(const T_Data& d) {
  if (d.Tag == 1) return static_cast<T_Array*>(d.Value.get())->ElementCount();
  if (d.Tag == 2) return static_cast<T_Structure*>(d.Value.get())->ElementCount();
  return -1;
}
PduStr Octets(const T_Data& d) {
  EXPECT_EQ(d.Tag, 9);
  return d.Tag == 9 ? static_cast<T_OctetString*>(d.Value.get())->Value : PduStr();
}
// An unsigned value of any width, from its encoding.
uint64_t Number(const T_Data& d) {
  const PduStr e = d.Encoded();
  uint64_t v = 0;
  for (size_t i = 1; i < e.size(); ++i) v = v << 8 | static_cast<uint8_t>(e[i]);
  return v;
}

// The body of a plain notification, decoded as Data that takes every byte
// after the header; `header` says how long the header is.
std::unique_ptr<T_Data> Body(const PduStr& apdu, size_t header) {
  const PduStr rest = apdu.substr(header);
  auto body = TMake::DataFromPdu(rest);
  EXPECT_EQ(Hex(body->Encoded()), Hex(rest));
  return body;
}
constexpr size_t kHeaderWithTime = 1 + 4 + 13;

// The names a body gives its values (empty where it gives none) and how
// many values it has.
struct TNamed {
  std::vector<std::string> Names;
  int Values = 0;
};
TNamed NamesOf(THanNames style, const T_Data& body) {
  TNamed r;
  switch (style) {
    case THanNames::Structures:
      EXPECT_EQ(body.Tag, 1);
      for (int i = 0; i < Elements(body); ++i) {
        const T_Data& e = Element(body, i);
        EXPECT_EQ(e.Tag, 2);
        r.Names.push_back(Dotted(Octets(Element(e, 0))));
        ++r.Values;
        if (Elements(e) == 3) {  // a scaler and a unit
          const T_Data& su = Element(e, 2);
          EXPECT_EQ(Elements(su), 2);
          EXPECT_EQ(Element(su, 0).Tag, 15);
          EXPECT_EQ(Element(su, 1).Tag, 22);
        } else {
          EXPECT_EQ(Elements(e), 2);
        }
      }
      break;
    case THanNames::Alternating: {
      EXPECT_EQ(body.Tag, 2);
      const T_Data& version = Element(body, 0);
      EXPECT_EQ(version.Tag, 10);
      r.Names.push_back("1.1.0.2.129.255");  // the version is known by where it stands
      r.Values = 1;
      EXPECT_EQ(Elements(body) % 2, 1);
      for (int i = 1; i + 1 < Elements(body); i += 2, ++r.Values) r.Names.push_back(Dotted(Octets(Element(body, i))));
      break;
    }
    case THanNames::ObjectList: {
      EXPECT_EQ(body.Tag, 2);
      const T_Data& objects = Element(body, 0);
      EXPECT_EQ(objects.Tag, 1);
      EXPECT_EQ(Elements(objects), Elements(body));
      for (int i = 0; i < Elements(objects); ++i) {
        const T_Data& o = Element(objects, i);
        EXPECT_EQ(Elements(o), 4);
        EXPECT_EQ(Element(o, 0).Tag, 18);  // class
        EXPECT_EQ(Element(o, 2).Tag, 15);  // attribute
        EXPECT_EQ(Element(o, 3).Tag, 18);  // data index
        const std::string name = Dotted(Octets(Element(o, 1)));
        if (i == 0) {
          // The list's first object is the push object list itself: its value is the array.
          EXPECT_EQ(name, "0.0.25.9.0.255");
          EXPECT_EQ(Number(Element(o, 0)), 40u);
          EXPECT_EQ(Number(Element(o, 2)), 2u);
        } else {
          r.Names.push_back(name);
          EXPECT_EQ(Number(Element(o, 0)), name == "0.0.1.0.0.255" ? 8u : name[0] == '0' || name == "1.1.0.2.129.255" ? 1u : 3u);
        }
      }
      r.Values = Elements(body) - 1;
      break;
    }
    case THanNames::Bare:
      EXPECT_EQ(body.Tag, 2);
      r.Values = Elements(body);
      for (int i = 0; i < Elements(body); ++i) EXPECT_NE(Element(body, i).Tag, 2);
      break;
  }
  return r;
}

TEST(SimHan, DateTimeComesInEachFormRealMetersUse) {
  const struct {
    THanTime Time;
    std::string Header;  // after 0F and the long-invoke-id
    bool OurDecoderTakesIt;
  } cases[] = {
      {THanTime::OctetString, std::string("0C") + kOnTheHourHex, true},
      {THanTime::Absent, "00", true},
      // The APDU catalogue's date-time is an octet string; the tagged form is
      // Data, which only a decoder that knows the deviation takes.
      {THanTime::Tagged, std::string("090C") + kOnTheHourHex, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Header);
    THanPort port(Options(THanNames::Bare, c.Time), Meter());
    const PduStr first = port.Apdus(1, kOnTheHourMs).at(0);
    const PduStr second = port.Apdus(1, kOnTheHourMs + 2000).at(0);
    EXPECT_EQ(Hex(first.substr(0, 5 + c.Header.size() / 2)), "0F00000001" + c.Header);
    EXPECT_EQ(Hex(second.substr(0, 5)), "0F00000002");  // the long-invoke-id counts the messages
    auto body = Body(first, 5 + c.Header.size() / 2);
    EXPECT_EQ(Elements(*body), 2);
    if (c.OurDecoderTakesIt) {
      auto pdu = TMake::COSEMPduFromPdu(first);
      EXPECT_EQ(pdu->Tag, 15);
      EXPECT_EQ(Hex(pdu->Encoded()), Hex(first));
    }
  }
}

TEST(SimHan, EveryNamingStyleNamesEveryValueOfEachList) {
  for (THanNames style : {THanNames::Structures, THanNames::Alternating, THanNames::ObjectList, THanNames::Bare})
    for (int list = 1; list <= 3; ++list) {
      SCOPED_TRACE("style " + std::to_string(static_cast<int>(style)) + " list " + std::to_string(list));
      THanPort port(Options(style), Meter());
      auto body = Body(port.Apdus(list, kOnTheHourMs).at(0), kHeaderWithTime);
      const TNamed named = NamesOf(style, *body);
      std::vector<std::string> expected = ListNames(list);
      if (style == THanNames::Alternating && list == 1) expected.insert(expected.begin(), "1.1.0.2.129.255");
      if (style == THanNames::Bare) {
        // Only the count and the order of kinds tell the values apart.
        EXPECT_TRUE(named.Names.empty());
        EXPECT_EQ(named.Values, static_cast<int>(expected.size()));
        if (list > 1) {
          EXPECT_EQ(Element(*body, 0).Tag, 10);  // the list version leads
        }
      } else {
        EXPECT_EQ(named.Names, expected);
        EXPECT_EQ(named.Values, static_cast<int>(expected.size()));
      }
    }
}

TEST(SimHan, ValuesMoveAsAMetersDo) {
  THanPort port(Options(), Meter());
  auto valueOf = [](const T_Data& body, const std::string& name) -> const T_Data& {
    for (int i = 0; i < Elements(body); ++i)
      if (Dotted(Octets(Element(Element(body, i), 0))) == name) return Element(Element(body, i), 1);
    ADD_FAILURE() << name << " missing";
    return body;
  };
  auto now = Body(port.Apdus(3, kOnTheHourMs).at(0), kHeaderWithTime);
  auto later = Body(port.Apdus(3, kOnTheHourMs + 3600000).at(0), kHeaderWithTime);
  // The clock in list 3 is the notification's time.
  EXPECT_EQ(Hex(Octets(valueOf(*now, "0.0.1.0.0.255"))), kOnTheHourHex);
  for (const char* energy : {"1.0.1.8.0.255", "1.0.2.8.0.255", "1.0.3.8.0.255", "1.0.4.8.0.255"}) {
    SCOPED_TRACE(energy);
    EXPECT_LT(Number(valueOf(*now, energy)), Number(valueOf(*later, energy)));
  }
  // Voltages near 230 V in 0.1 V, currents of a household in 0.01 A.
  for (const char* voltage : {"1.0.32.7.0.255", "1.0.52.7.0.255", "1.0.72.7.0.255"}) {
    EXPECT_GT(Number(valueOf(*now, voltage)), 2100u);
    EXPECT_LT(Number(valueOf(*now, voltage)), 2500u);
  }
  EXPECT_LT(Number(valueOf(*now, "1.0.31.7.0.255")), 10000u);
  // The import power is not the same from one list to the next.
  std::set<uint64_t> powers;
  for (int k = 0; k < 5; ++k)
    powers.insert(Number(valueOf(*Body(port.Apdus(1, kOnTheHourMs + 2000 * k).at(0), kHeaderWithTime), "1.0.1.7.0.255")));
  EXPECT_GT(powers.size(), 1u);
}

// ------------------------------------------------------------------ frames

// Where the whole HDLC frames of a line lie (offset and length, both flags
// included): split by their length field, never on 7E. Within a message a
// closing flag opens the next frame; between messages each has its own.
std::vector<std::pair<size_t, size_t>> HdlcFrameSpans(const PduStr& line) {
  std::vector<std::pair<size_t, size_t>> spans;
  size_t at = 0;
  while (at + 3 <= line.size() && line[at] == '\x7E') {
    if (line[at + 1] == '\x7E') {
      ++at;
      continue;
    }
    const size_t length = (static_cast<uint8_t>(line[at + 1]) & 0x07) << 8 | static_cast<uint8_t>(line[at + 2]);
    if (at + length + 2 > line.size()) break;
    spans.emplace_back(at, length + 2);
    at += length + 1;
  }
  return spans;
}

// The APDUs of HDLC frames, segments joined, each checked as a UI frame
// whose format says whether more segments follow; the LLC header each
// APDU comes with is taken off.
std::vector<PduStr> HdlcApdus(const PduStr& line, size_t maxInfo, std::vector<TFrame>* frames = nullptr) {
  std::vector<PduStr> apdus;
  PduStr joined;
  const auto spans = HdlcFrameSpans(line);
  EXPECT_FALSE(spans.empty());
  if (!spans.empty()) {
    EXPECT_EQ(spans.back().first + spans.back().second, line.size()) << "bytes after the frames";
  }
  for (const auto& [at, length] : spans) {
    TFrame f;
    f.SetFromPduByteStr(line.substr(at, length));
    EXPECT_EQ(f.Kind(), fkUI);
    EXPECT_LE(f.FData.size(), maxInfo);
    EXPECT_EQ(static_cast<uint8_t>(line[at + 1]) & 0xF8, f.Segmented ? 0xA8 : 0xA0);
    EXPECT_EQ(f.PollFinal, !f.Segmented);  // control 13 on a message's last frame, 03 before it
    joined += f.FData;
    if (frames) frames->push_back(f);
    if (!f.Segmented) {
      EXPECT_EQ(Hex(joined.substr(0, 3)), "E6E700");
      apdus.push_back(joined.substr(3));
      joined.clear();
    }
  }
  EXPECT_TRUE(joined.empty()) << "a segment without its end";
  return apdus;
}

// Wired M-Bus long frames: lengths, checksum, control and address fields,
// and the CI sequence (0x00 up, 0x10 on the last) checked; segments joined.
std::vector<PduStr> MBusApdus(const PduStr& line, int* frameCount = nullptr) {
  std::vector<PduStr> apdus;
  PduStr joined;
  unsigned sequence = 0;
  size_t at = 0;
  auto u = [&](size_t i) { return static_cast<uint8_t>(line.at(i)); };
  while (at < line.size()) {
    const size_t l = u(at + 1);
    EXPECT_EQ(u(at), 0x68);
    EXPECT_EQ(u(at + 2), l);
    EXPECT_EQ(u(at + 3), 0x68);
    EXPECT_LE(l, 250u);
    unsigned sum = 0;
    for (size_t i = 0; i < l; ++i) sum += u(at + 4 + i);
    EXPECT_EQ(u(at + 4 + l), sum & 0xFF) << "checksum";
    EXPECT_EQ(u(at + 5 + l), 0x16);
    EXPECT_EQ(Hex(line.substr(at + 4, 2)), "53FF");
    const uint8_t ci = u(at + 6);
    EXPECT_EQ(ci & 0x0F, sequence & 0x0F);
    EXPECT_EQ(Hex(line.substr(at + 7, 2)), "0167");
    joined += line.substr(at + 9, l - 5);
    if (frameCount) ++*frameCount;
    ++sequence;
    if (ci & 0x10) {
      apdus.push_back(joined);
      joined.clear();
      sequence = 0;
    }
    at += l + 6;
  }
  EXPECT_TRUE(joined.empty()) << "a segment without its end";
  return apdus;
}

// General blocks joined: numbered from 1, acknowledging nothing, streamed,
// the last (and only the last) marked.
PduStr JoinBlocks(const std::vector<PduStr>& apdus, size_t blockSize) {
  if (apdus.size() == 1 && static_cast<uint8_t>(apdus[0][0]) != 0xE0) return apdus[0];
  PduStr joined;
  for (size_t i = 0; i < apdus.size(); ++i) {
    auto pdu = TMake::COSEMPduFromPdu(apdus[i]);
    EXPECT_EQ(pdu->Tag, 0xE0);
    auto* g = static_cast<T_GeneralBlockTransfer*>(pdu->Value.get());
    const bool last = i + 1 == apdus.size();
    EXPECT_EQ(g->FBlockControl()->Value, last ? 0xC0 : 0x40);
    EXPECT_EQ(g->FBlockNumber()->Value, i + 1);
    EXPECT_EQ(g->FBlockNumberAck()->Value, 0);
    EXPECT_LE(g->FBlockData()->Value.size(), blockSize);
    if (!last) {
      EXPECT_EQ(g->FBlockData()->Value.size(), blockSize);
    }
    joined += g->FBlockData()->Value;
  }
  return joined;
}

// The plain APDU inside a general-glo-ciphering one, deciphered with the
// meter's keys; the security control byte and counter as they came.
PduStr Deciphered(const PduStr& apdu, uint8_t& sc, uint32_t& counter, const PduStr& ek = kEK) {
  auto pdu = TMake::COSEMPduFromPdu(apdu);
  EXPECT_EQ(pdu->Tag, 0xDB);
  auto* glo = static_cast<T_GeneralGloCiphering*>(pdu->Value.get());
  EXPECT_EQ(Hex(glo->FSystemTitle()->Value), Hex(kTitle));
  const PduStr& ciphered = glo->FCipheredService()->Value;
  sc = static_cast<uint8_t>(ciphered.at(0));
  TSecurityControl control;
  PduStr plain;
  TGCMCipher::GCMDecrypt(kTitle, ciphered, "", ek, kAK, control, counter, plain);
  return plain;
}

TEST(SimHan, FramedBlockedAndCipheredListsComeBackWhole) {
  const struct {
    THanFraming Framing;
    uint8_t Security;
    size_t BlockSize;
    int InfoLength;
    bool Segmented;  // (HDLC) an APDU spans several frames
  } cases[] = {
      {THanFraming::Hdlc, 0x00, 0, 128, true},     // list 3 segmented in A8 frames
      {THanFraming::Hdlc, 0x00, 100, 128, false},  // blocks, each in a frame of its own
      {THanFraming::Hdlc, 0x30, 64, 40, true},     // ciphered, then blocks in several segments each
      {THanFraming::Hdlc, 0x20, 0, 2000, false},   // encrypted only, one long frame
      {THanFraming::MBus, 0x20, 0, 0, false},      // two and more M-Bus frames
      {THanFraming::MBus, 0x30, 200, 0, false},    // blocks in M-Bus frames
      {THanFraming::MBus, 0x00, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Format("framing %d security %02X blocks %zu info %d", static_cast<int>(c.Framing), c.Security,
                        c.BlockSize, c.InfoLength));
    THanOptions o = Options(THanNames::ObjectList, THanTime::Tagged);
    o.Framing = c.Framing;
    o.SecurityControl = c.Security;
    o.BlockSize = c.BlockSize;
    o.Hdlc.MaxInfoLength = c.InfoLength;
    o.FirstCounter = 41;
    THanPort port(o, Meter());
    THanPort reference(Options(THanNames::ObjectList, THanTime::Tagged), Meter());
    for (int k = 0; k < 2; ++k) {
      const int64_t t = kOnTheHourMs + 3600000 * k;
      const PduStr line = port.Message(3, t);
      std::vector<TFrame> frames;
      int mbusFrames = 0;
      const std::vector<PduStr> apdus =
          c.Framing == THanFraming::MBus ? MBusApdus(line, &mbusFrames) : HdlcApdus(line, c.InfoLength, &frames);
      if (c.BlockSize) EXPECT_GT(apdus.size(), 2u);
      else EXPECT_EQ(apdus.size(), 1u);
      if (c.Framing == THanFraming::MBus) {
        EXPECT_GT(mbusFrames, 1);  // list 3 is longer than one frame carries
      } else {
        EXPECT_EQ(frames.size() > apdus.size(), c.Segmented);
        // From the meter's address to the one-byte address 102.
        EXPECT_EQ(frames[0].DstAddress.FUpper, 102);
        EXPECT_EQ(frames[0].SrcAddress.FUpper, 1);
        EXPECT_EQ(frames[0].SrcAddress.FLower, 17);
      }
      PduStr apdu = JoinBlocks(apdus, c.BlockSize);
      if (c.Security) {
        uint8_t sc = 0;
        uint32_t counter = 0;
        apdu = Deciphered(apdu, sc, counter);
        EXPECT_EQ(sc, c.Security);
        EXPECT_EQ(counter, 41u + k);
      }
      EXPECT_EQ(Hex(apdu), Hex(reference.Apdus(3, t).at(0)));
    }
  }
}

TEST(SimHan, OnlyTheRightKeyOpensAnAuthenticatedList) {
  THanOptions o = Options();
  o.SecurityControl = 0x30;
  THanPort port(o, Meter());
  const PduStr apdu = port.Apdus(2, kOnTheHourMs).at(0);
  uint8_t sc;
  uint32_t counter;
  EXPECT_EQ(ErrorOf([&] { Deciphered(apdu, sc, counter, H("000102030405060708090A0B0C0D0E00")); }),
            "Authentication failure (Decrypt error)");
  // Encrypted only, the ciphertext is as long as the plain APDU: no tag.
  o.SecurityControl = 0x20;
  THanPort encrypted(o, Meter());
  THanPort plain(Options(), Meter());
  const PduStr apdu20 = encrypted.Apdus(2, kOnTheHourMs).at(0);
  const PduStr clear = plain.Apdus(2, kOnTheHourMs).at(0);
  auto glo = TMake::COSEMPduFromPdu(apdu20);
  EXPECT_EQ(static_cast<T_GeneralGloCiphering*>(glo->Value.get())->FCipheredService()->Value.size(), 5 + clear.size());
}

TEST(SimHan, ShortMessagesTakeOneFrame) {
  THanOptions o = Options();
  o.Framing = THanFraming::MBus;
  THanPort mbus(o, Meter());
  const PduStr line = mbus.Message(1, kOnTheHourMs);
  EXPECT_EQ(static_cast<uint8_t>(line.at(6)), 0x10);  // CI: sequence 0 and the last
  EXPECT_EQ(MBusApdus(line).size(), 1u);
  THanPort hdlc(Options(), Meter());
  std::vector<TFrame> frames;
  EXPECT_EQ(HdlcApdus(hdlc.Message(1, kOnTheHourMs), 128, &frames).size(), 1u);
  EXPECT_EQ(frames.size(), 1u);
}

TEST(SimHan, ScheduleSendsTheLongestListDue) {
  const int64_t every[3] = {2000, 10000, 3600000};
  // Ten seconds before a full hour.
  THanSchedule schedule(every, kOnTheHourMs - 10000);
  const std::pair<int64_t, int> expected[] = {
      {-8000, 1}, {-6000, 1}, {-4000, 1}, {-2000, 1}, {0, 3}, {2000, 1}, {4000, 1}, {6000, 1}, {8000, 1}, {10000, 2}, {12000, 1}};
  for (const auto& [offset, list] : expected) {
    const THanSchedule::TSlot slot = schedule.Next();
    EXPECT_EQ(slot.MeterMs - kOnTheHourMs, offset);
    EXPECT_EQ(slot.List, list) << offset;
  }
}

// ------------------------------------------------------------- the lines

// Bytes from fd until `enough` says so or five seconds pass.
PduStr ReadUntil(int fd, const std::function<bool(const PduStr&)>& enough) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  PduStr got;
  while (!enough(got) && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// The length of the M-Bus frames at the start of `bytes` that make up its
// first `messages` whole messages (0 when they are not all there yet).
size_t MBusMessagesLength(const PduStr& bytes, size_t messages) {
  size_t at = 0, seen = 0;
  while (seen < messages && at + 7 <= bytes.size()) {
    const size_t end = at + static_cast<uint8_t>(bytes[at + 1]) + 6;
    if (end > bytes.size()) break;
    if (static_cast<uint8_t>(bytes[at + 6]) & 0x10) ++seen;
    at = end;
  }
  return seen == messages ? at : 0;
}

THanOptions FastOptions() {
  THanOptions o = Options(THanNames::Alternating);
  o.EveryMs[0] = 2000;
  o.EveryMs[1] = 4000;
  o.EveryMs[2] = 8000;
  o.Speed = 200;  // a message every 10 ms
  return o;
}

TEST(SimHan, PushesOnAPseudoTerminalAndStopsAfterItsCount) {
  std::string path;
  const int master = OpenPseudoTerminal(path);
  const int reader = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  THanOptions o = FastOptions();
  o.Count = 6;
  THanPort port(o, Meter());
  std::atomic<bool> stop{false};
  uint64_t sent = 0;
  std::thread run([&] { sent = RunHan(port, o, THanTarget{master, "", 0}, stop, nullptr); });
  std::vector<PduStr> apdus;
  const PduStr got = ReadUntil(reader, [](const PduStr& b) {
    size_t ends = 0;
    for (const auto& [at, length] : HdlcFrameSpans(b)) ends += (static_cast<uint8_t>(b[at + 1]) & 0x08) == 0;
    return ends >= 6;
  });
  run.join();
  EXPECT_EQ(sent, 6u);
  apdus = HdlcApdus(got, 128);
  ASSERT_EQ(apdus.size(), 6u);
  // The long-invoke-ids count 1 to 6; every few a longer list came.
  std::set<int> lists;
  for (size_t i = 0; i < apdus.size(); ++i) {
    EXPECT_EQ(Hex(apdus[i].substr(0, 5)), Format("0F%08zX", i + 1));
    lists.insert(NamesOf(THanNames::Alternating, *Body(apdus[i], kHeaderWithTime)).Values);
  }
  EXPECT_GE(lists.size(), 2u);
  ::close(reader);
  ::close(master);
}

TEST(SimHan, PushesOverTcpAndConnectsAgainWhenTheListenerGoes) {
  TSimListener listener("127.0.0.1", 0);
  THanOptions o = FastOptions();
  o.Framing = THanFraming::MBus;
  THanPort port(o, Meter());
  std::atomic<bool> stop{false};
  std::thread run([&] { RunHan(port, o, THanTarget{-1, "127.0.0.1", listener.Port()}, stop, nullptr); });
  PduStr first, second;
  for (PduStr* got : {&first, &second}) {
    int fd = -1;
    for (int k = 0; k < 50 && fd < 0; ++k) fd = listener.Accept(100);
    ASSERT_GE(fd, 0);
    *got = ReadUntil(fd, [](const PduStr& b) { return MBusMessagesLength(b, 2) > 0; });
    ::close(fd);  // the listener goes away
  }
  stop = true;
  run.join();
  // Each connection starts on a frame of its own, and the notifications go
  // on counting across connections.
  std::vector<PduStr> firsts;
  for (const PduStr* got : {&first, &second}) {
    const size_t length = MBusMessagesLength(*got, 1);
    ASSERT_GT(length, 0u);
    ASSERT_GT(MBusMessagesLength(*got, 2), 0u);
    const auto apdus = MBusApdus(got->substr(0, length));
    ASSERT_EQ(apdus.size(), 1u);
    firsts.push_back(apdus[0]);
  }
  EXPECT_EQ(Hex(firsts[0].substr(0, 5)), "0F00000001");
  EXPECT_GT(Hex(firsts[1].substr(0, 5)), "0F00000002");
}

}  // namespace
