#include "tools/meter-sim/SimHan.h"

#include "comm/PushFrames.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "tools/meter-sim/SimFleet.h"
#include "tools/meter-sim/SimHistory.h"
#include "tools/meter-sim/SimModel.h"
#include "tools/meter-sim/SimServer.h"
#include "xmlpdu/Make.h"

namespace quillon::sim {

namespace {

// What a list carries: its name, interface class and attribute, and for
// measured values the Data type, scaler and unit they go with.
enum THanKind { hkVersion, hkMeterId, hkClock, hkMeasured };
struct THanItem {
  uint8_t Obis[6];
  uint16_t Class;
  THanKind Kind;
  uint8_t Type = 0;  // Data tag of a measured value
  int8_t Scaler = 0;
  uint8_t Unit = 0;  // COSEM unit
};

// Powers in W and var, currents in 0.01 A, voltages in 0.1 V, energies in
// Wh and varh, as the Norwegian lists have them.
const THanItem kVersion{{1, 1, 0, 2, 129, 255}, 1, hkVersion};
const THanItem kMeterId{{0, 0, 96, 1, 0, 255}, 1, hkMeterId};
const THanItem kClock{{0, 0, 1, 0, 0, 255}, 8, hkClock};
const THanItem kPowers[] = {
    {{1, 0, 1, 7, 0, 255}, 3, hkMeasured, 0x06, 0, 27},
    {{1, 0, 2, 7, 0, 255}, 3, hkMeasured, 0x06, 0, 27},
    {{1, 0, 3, 7, 0, 255}, 3, hkMeasured, 0x06, 0, 29},
    {{1, 0, 4, 7, 0, 255}, 3, hkMeasured, 0x06, 0, 29},
};
const THanItem kPhases[] = {
    {{1, 0, 31, 7, 0, 255}, 3, hkMeasured, 0x10, -2, 33}, {{1, 0, 51, 7, 0, 255}, 3, hkMeasured, 0x10, -2, 33},
    {{1, 0, 71, 7, 0, 255}, 3, hkMeasured, 0x10, -2, 33}, {{1, 0, 32, 7, 0, 255}, 3, hkMeasured, 0x12, -1, 35},
    {{1, 0, 52, 7, 0, 255}, 3, hkMeasured, 0x12, -1, 35}, {{1, 0, 72, 7, 0, 255}, 3, hkMeasured, 0x12, -1, 35},
};
const THanItem kEnergies[] = {
    {{1, 0, 1, 8, 0, 255}, 3, hkMeasured, 0x06, 0, 30},
    {{1, 0, 2, 8, 0, 255}, 3, hkMeasured, 0x06, 0, 30},
    {{1, 0, 3, 8, 0, 255}, 3, hkMeasured, 0x06, 0, 32},
    {{1, 0, 4, 8, 0, 255}, 3, hkMeasured, 0x06, 0, 32},
};
const char kListVersion[] = "QuillonSim_V0001";
const uint8_t kPushSetup[6] = {0, 0, 25, 9, 0, 255};

// List 1: the active powers. List 2: the list version, the meter id, the
// four powers, currents and voltages per phase. List 3: list 2, the clock
// and the four energy registers. Only list 1 goes without its version,
// except where the names alternate (the version leads every list there).
std::vector<THanItem> ListItems(int list, THanNames names) {
  std::vector<THanItem> items;
  if (list > 1 || names == THanNames::Alternating) items.push_back(kVersion);
  if (list > 1) items.push_back(kMeterId);
  items.insert(items.end(), kPowers, kPowers + (list > 1 ? 4 : 2));
  if (list > 1) items.insert(items.end(), std::begin(kPhases), std::end(kPhases));
  if (list > 2) {
    items.push_back(kClock);
    items.insert(items.end(), std::begin(kEnergies), std::end(kEnergies));
  }
  return items;
}

PduStr Bytes(const uint8_t* p, size_t n) { return PduStr(reinterpret_cast<const char*>(p), n); }

// An A-XDR count or length.
PduStr Count(size_t n) {
  PduStr s;
  EncodeVarLengthUnsignedInteger(s, static_cast<int32_t>(n));
  return s;
}

PduStr ObisData(const uint8_t* obis) { return "\x09\x06" + Bytes(obis, 6); }

PduStr Long16(unsigned v) { return PduStr{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

// The value of an item at `t` as the meter sends it: measured ones follow
// the meter's history (power varies, energies only rise), rounded to the
// scaler and held to the type's range.
PduStr ItemValue(const THanItem& item, const THanMeter& meter, const PduStr& clock, int64_t t) {
  switch (item.Kind) {
    case hkVersion:
      return '\x0A' + Count(sizeof kListVersion - 1) + kListVersion;
    case hkMeterId:
      return meter.MeterIdData;
    case hkClock:
      return '\x09' + Count(clock.size()) + clock;
    case hkMeasured:
      break;
  }
  double value = 0;
  HistoricValue(Bytes(item.Obis, 6), t, value);
  const PduStr zero = PduStr(1, static_cast<char>(item.Type)) + PduStr(item.Type == 0x06 ? 4 : 2, '\0');
  const bool counter = item.Obis[3] == 8;
  return ScaledLike(*TMake::DataFromPdu(zero), value, item.Scaler, counter)->Encoded();
}

PduStr ScalerUnit(const THanItem& item) {
  return PduStr("\x02\x02\x0F", 3) + static_cast<char>(item.Scaler) + '\x16' + static_cast<char>(item.Unit);
}

}  // namespace

PduStr THanPort::Notification(int list, int64_t meterMs) const {
  using namespace std::chrono;
  const PduStr clock = TSimModel::DateTimeBytes(system_clock::time_point(milliseconds(meterMs)));
  const int64_t t = meterMs / 1000;
  const std::vector<THanItem> items = ListItems(list, FOptions.Names);
  PduStr body;
  switch (FOptions.Names) {
    case THanNames::Structures:
      body = '\x01' + Count(items.size());
      for (const THanItem& item : items) {
        const bool measured = item.Kind == hkMeasured;
        body += PduStr("\x02", 1) + (measured ? '\x03' : '\x02') + ObisData(item.Obis) +
                ItemValue(item, FMeter, clock, t) + (measured ? ScalerUnit(item) : PduStr());
      }
      break;
    case THanNames::Alternating:
      // The version comes first, on its own; every other value after its name.
      body = '\x02' + Count(2 * items.size() - 1) + ItemValue(items[0], FMeter, clock, t);
      for (size_t i = 1; i < items.size(); ++i) body += ObisData(items[i].Obis) + ItemValue(items[i], FMeter, clock, t);
      break;
    case THanNames::ObjectList: {
      // The push object list names itself first: its own value is the array.
      PduStr objects = '\x01' + Count(items.size() + 1);
      auto entry = [](uint16_t cls, const uint8_t* obis, int attribute) {
        return PduStr("\x02\x04\x12", 3) + Long16(cls) + ObisData(obis) + '\x0F' + static_cast<char>(attribute) +
               PduStr("\x12\x00\x00", 3);
      };
      objects += entry(40, kPushSetup, 2);
      for (const THanItem& item : items) objects += entry(item.Class, item.Obis, 2);
      body = '\x02' + Count(items.size() + 1) + objects;
      for (const THanItem& item : items) body += ItemValue(item, FMeter, clock, t);
      break;
    }
    case THanNames::Bare:
      body = '\x02' + Count(items.size());
      for (const THanItem& item : items) body += ItemValue(item, FMeter, clock, t);
      break;
  }
  PduStr apdu = "\x0F" + Long16(FInvokeId >> 16) + Long16(FInvokeId & 0xFFFF);
  switch (FOptions.Time) {
    case THanTime::OctetString: apdu += Count(clock.size()) + clock; break;
    case THanTime::Absent: apdu += '\x00'; break;
    case THanTime::Tagged: apdu += '\x09' + Count(clock.size()) + clock; break;
  }
  return apdu + body;
}

std::vector<PduStr> THanPort::Apdus(int list, int64_t meterMs) {
  FInvokeId = (FInvokeId + 1) & 0x00FFFFFF;
  PduStr apdu = Notification(list, meterMs);
  if (FOptions.SecurityControl)
    apdu = GloCiphered(apdu, FMeter.SystemTitle, FMeter.EK, FMeter.AK, FOptions.SecurityControl, FCounter++);
  const size_t size = FOptions.BlockSize;
  if (size == 0 || apdu.size() <= size) return {apdu};
  // Blocks numbered from 1, streamed (no acknowledgement is awaited on a
  // one-way line), the last one marked.
  std::vector<PduStr> blocks;
  for (size_t at = 0; at < apdu.size(); at += size) {
    const bool last = at + size >= apdu.size();
    blocks.push_back(GeneralBlock(last ? 0xC0 : 0x40, static_cast<uint16_t>(blocks.size() + 1), 0, apdu.substr(at, size)));
  }
  return blocks;
}

PduStr THanPort::Message(int list, int64_t meterMs) {
  PduStr line;
  for (const PduStr& apdu : Apdus(list, meterMs))
    if (FOptions.Framing == THanFraming::MBus) {
      // As the customer ports of those meters send them: 245 bytes of the
      // APDU a frame (L at most 250), C 53, address FF, access points 01 67.
      for (const PduStr& frame : MBusLongFrames(apdu, 245)) line += frame;
    } else {
      line += HdlcPushFrames(apdu, FOptions.Hdlc, 0, 102, true);
    }
  return line;
}

THanSchedule::THanSchedule(const int64_t everyMs[3], int64_t startMs) {
  for (int i = 0; i < 3; ++i) {
    FEvery[i] = std::max<int64_t>(1, everyMs[i]);
    FDue[i] = (startMs / FEvery[i] + 1) * FEvery[i];
  }
}

THanSchedule::TSlot THanSchedule::Next() {
  const int64_t at = *std::min_element(FDue, FDue + 3);
  int list = 0;
  for (int i = 0; i < 3; ++i)
    if (FDue[i] == at) {
      list = i + 1;
      FDue[i] += FEvery[i];
    }
  return {at, list};
}

namespace {

// All the bytes within `timeoutMs`, or false: a line that takes nothing for
// that long is full (nobody reads it) or gone. The descriptor does not block.
bool WriteWithin(int fd, bool socket, const PduStr& bytes, int timeoutMs) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
  size_t done = 0;
  while (done < bytes.size()) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    pollfd p{fd, POLLOUT, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    // A socket whose listener is gone must not raise SIGPIPE.
    const ssize_t n = socket ? ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                             : ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
  }
  return true;
}

// The listener hung up (we never read what it may have sent).
bool PeerGone(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

}  // namespace

uint64_t RunHan(THanPort& port, const THanOptions& o, const THanTarget& target, const std::atomic<bool>& stop,
                const TTrafficLog& log) {
  using namespace std::chrono;
  const bool tcp = target.Fd < 0;
  const std::string where = target.Host + ":" + std::to_string(target.Port);
  const int64_t startMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const auto startReal = steady_clock::now();
  THanSchedule schedule(o.EveryMs, startMs);
  int fd = target.Fd;
  if (!tcp) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  uint64_t sent = 0;
  while (!stop && (o.Count == 0 || sent < o.Count)) {
    const THanSchedule::TSlot slot = schedule.Next();
    const auto due = startReal + duration_cast<steady_clock::duration>(
                                     duration<double, std::milli>(static_cast<double>(slot.MeterMs - startMs) / o.Speed));
    while (!stop && steady_clock::now() < due)
      std::this_thread::sleep_for(std::min<steady_clock::duration>(due - steady_clock::now(), milliseconds(100)));
    if (stop) break;
    if (tcp && fd >= 0 && PeerGone(fd)) {
      ::close(fd);
      fd = -1;
      if (log) log("connection to " + where + " lost");
    }
    if (tcp && fd < 0) {
      fd = ConnectTo(target.Host, target.Port);
      if (fd < 0) continue;  // a message with no listener is not sent
      if (log) log("connected to " + where);
    }
    const PduStr message = port.Message(slot.List, slot.MeterMs);
    if (WriteWithin(fd, tcp, message, 1000)) {
      ++sent;
      if (log) log(Format("list %d: %zu bytes", slot.List, message.size()));
    } else if (tcp) {
      ::close(fd);
      fd = -1;
      if (log) log("connection to " + where + " lost");
    } else if (log) {
      log(Format("list %d: the line takes nothing (nobody reads it), message dropped", slot.List));
    }
  }
  if (tcp && fd >= 0) ::close(fd);
  return sent;
}

}  // namespace quillon::sim
