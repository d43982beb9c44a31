#include "comm/ByteCircularBuffer.h"

#include <chrono>

namespace quillon {

void TByteCircularBuffer::Write(const void* aSource, size_t Count) {
  {
    std::lock_guard<std::mutex> lock(CriticalSection);
    // Compact now and then so that the read part does not pile up.
    if (FHead > 4096 && FHead * 2 > FData.size()) {
      FData.erase(0, FHead);
      FHead = 0;
    }
    FData.append(static_cast<const char*>(aSource), Count);
  }
  FDataArrived.notify_all();
}

void TByteCircularBuffer::Read(PduStr& aBuffer, size_t Count) {
  std::lock_guard<std::mutex> lock(CriticalSection);
  size_t available = FData.size() - FHead;
  if (Count == 0) Count = available;
  CheckAssertion(Count <= available, "TByteCircularBuffer.Read: Count <= ByteQty");
  aBuffer.assign(FData, FHead, Count);
  FHead += Count;
}

uint8_t TByteCircularBuffer::ReadByte() {
  std::lock_guard<std::mutex> lock(CriticalSection);
  CheckAssertion(FHead < FData.size(), "TByteCircularBuffer.ReadByte: ByteQty > 0");
  return static_cast<uint8_t>(FData[FHead++]);
}

size_t TByteCircularBuffer::ByteQty() const {
  std::lock_guard<std::mutex> lock(CriticalSection);
  return FData.size() - FHead;
}

void TByteCircularBuffer::Clear() {
  std::lock_guard<std::mutex> lock(CriticalSection);
  FData.clear();
  FHead = 0;
}

bool TByteCircularBuffer::WaitForData(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(CriticalSection);
  return FDataArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return FHead < FData.size(); });
}

}  // namespace quillon
