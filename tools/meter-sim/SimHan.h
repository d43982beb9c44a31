// A meter's customer port (the HAN or P1 port of Norwegian, Swedish,
// Austrian or Swiss meters): one-way, unasked, it pushes three lists of
// readings on a serial line or through a serial-to-TCP bridge, and nothing
// it receives is ever read. The makes differ in how they name the values,
// write the date-time, frame the messages and split long ones; each of
// those shapes can be chosen, so that a listener meets every one of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/meter-sim/SimTransport.h"

namespace quillon::sim {

// How the body of a notification names its values.
enum class THanNames {
  Structures,   // an array of structures {OBIS, value[, {scaler, unit}]}
  Alternating,  // one structure: the list version, then OBIS and value in turn
  ObjectList,   // one structure: the push object list first, then the values
  Bare,         // one structure of values alone, in an order the make documents
};
// How the notification's date-time is written after the long-invoke-id.
enum class THanTime {
  OctetString,  // 0C and 12 bytes
  Absent,       // 00
  Tagged,       // 09 0C and 12 bytes, as Data
};
enum class THanFraming { Hdlc, MBus };

struct THanOptions {
  THanNames Names = THanNames::Structures;
  THanTime Time = THanTime::OctetString;
  THanFraming Framing = THanFraming::Hdlc;
  // 0: plain; else the security control byte of the general-glo-ciphering
  // (0x30 authenticated and encrypted, 0x20 encrypted only), the suite added.
  uint8_t SecurityControl = 0;
  // An APDU (after the ciphering) longer than this goes as general blocks
  // of this many bytes (0: never).
  size_t BlockSize = 0;
  // Periods of lists 1, 2 and 3 on the meter's clock, in milliseconds.
  int64_t EveryMs[3] = {2000, 10000, 3600000};
  // The meter's clock runs this many times as fast as the real one.
  double Speed = 1;
  // HDLC: the meter's address and the longest information field of a frame.
  THdlcSettings Hdlc;
  // First invocation counter of the ciphered messages.
  uint32_t FirstCounter = 1;
  // Stop after this many messages (0: never).
  uint64_t Count = 0;
};

// What the meter tells about itself.
struct THanMeter {
  PduStr SystemTitle, EK, AK;
  // The meter id (0.0.96.1.0.255) as the Data it sends.
  PduStr MeterIdData;
};

// The messages of one customer port, in order: each call numbers its
// notification (long-invoke-id) and takes the next invocation counter.
class THanPort {
public:
  THanPort(const THanOptions& options, const THanMeter& meter) : FOptions(options), FMeter(meter) {
    FCounter = options.FirstCounter;
  }
  // The data notification of list 1, 2 or 3 at `meterMs` (milliseconds
  // since 1970 on the meter's clock), plain.
  PduStr Notification(int list, int64_t meterMs) const;
  // The APDUs that go on the line for it: ciphered when asked, and split
  // into general blocks when longer than the block size.
  std::vector<PduStr> Apdus(int list, int64_t meterMs);
  // Those APDUs in their frames, as the line carries them.
  PduStr Message(int list, int64_t meterMs);
  uint32_t NextCounter() const { return FCounter; }

private:
  THanOptions FOptions;
  THanMeter FMeter;
  uint32_t FInvokeId = 0;
  uint32_t FCounter = 1;
};

// When the lists fall due: each at whole multiples of its period on the
// meter's clock. When several are due at once only the longest goes, as
// it holds what the shorter ones would (list 3 at the full hour instead
// of list 2 and list 1).
class THanSchedule {
public:
  THanSchedule(const int64_t everyMs[3], int64_t startMs);
  struct TSlot {
    int64_t MeterMs;
    int List;
  };
  TSlot Next();

private:
  int64_t FEvery[3], FDue[3];
};

// Where the messages go: a descriptor opened once (a pseudo-terminal or a
// serial device; a message that finds the line full is dropped, as a line
// nobody reads loses it), or a TCP connection to Host:Port, opened again
// when the listener goes away.
struct THanTarget {
  int Fd = -1;
  std::string Host;
  int Port = 0;
};

// Sends the lists as they fall due until stop is set or the options' count
// is reached; returns the number of messages sent.
uint64_t RunHan(THanPort& port, const THanOptions& options, const THanTarget& target, const std::atomic<bool>& stop,
                const TTrafficLog& log);

}  // namespace quillon::sim
