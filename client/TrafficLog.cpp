#include "client/TrafficLog.h"

#include <memory>
#include <mutex>

#include "comm/ProtocolLayer.h"

namespace quillon::client {

namespace {

class TSinkAdapter : public TTrafficSink {
public:
  explicit TSinkAdapter(TTrafficLines* lines) : Lines(lines) {}
  void Deliver(const std::function<void()>& handler) override { Lines->Deliver(handler); }
  void DataReceived(const PduStr& s, bool binary, const std::string& prefix) override { Lines->Received(s, binary, prefix); }
  void DataSent(const PduStr& s, bool binary, const std::string& prefix) override { Lines->Sent(s, binary, prefix); }
  void Info(const std::string& s, const std::string& prefix) override { Lines->Info(s, prefix); }
  TTrafficLines* Lines;
};

std::mutex gMutex;
std::unique_ptr<TSinkAdapter> gAdapter;

}  // namespace

void SetTrafficLines(TTrafficLines* lines) {
  std::lock_guard<std::mutex> lock(gMutex);
  // The manager lets go of the old adapter before it is freed.
  auto adapter = lines ? std::make_unique<TSinkAdapter>(lines) : nullptr;
  TrafficWindowManager().SetSink(adapter.get());
  gAdapter = std::move(adapter);
}

void TrafficNote(const std::string& text) { TrafficWindowManager().OnTraffic(nullptr, text, TTrafficOptions{toInfo, toASCII}); }

}  // namespace quillon::client
