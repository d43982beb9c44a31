// Locked first-in first-out byte queue where two threads meet (the TCP
// server's connection thread and the exchange thread). Despite the name it is
// a queue that grows as needed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "xmlpdu/infra/Misc.h"

namespace quillon {

class TByteCircularBuffer {
public:
  void Write(const void* aSource, size_t Count);
  void Write(const PduStr& s) { Write(s.data(), s.size()); }
  // Moves the oldest Count bytes (all of them for 0) into aBuffer. Asking for
  // more than ByteQty is a caller error.
  void Read(PduStr& aBuffer, size_t Count);
  // Removes and returns the oldest byte; the queue must not be empty.
  uint8_t ReadByte();
  size_t ByteQty() const;
  void Clear();
  // Waits until bytes are queued or timeoutMs has passed; true when bytes are there.
  bool WaitForData(uint32_t timeoutMs);

private:
  mutable std::mutex CriticalSection;
  std::condition_variable FDataArrived;
  PduStr FData;
  size_t FHead = 0;  // bytes before FHead have been read
};

}  // namespace quillon
