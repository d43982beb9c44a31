#include "client/MeterIndex.h"

#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

TMeterIndex::TMeterIndex(const std::vector<TFleetMeter>& meters) {
  for (size_t i = 0; i < meters.size(); ++i) {
    const TFleetMeter& m = meters[i];
    const int at = static_cast<int>(i);
    Add(FByTitle, m.Profile.ServerSystemTitle, at);
    Add(FByDeviceName, m.LogicalDeviceName, at);
    Add(FBySerial, SerialKey(m.Serial), at);
    if (m.Profile.Transport != TTransport::tHdlcSerial) Add(FByHost, m.Profile.Host, at);
  }
}

void TMeterIndex::Add(TKeys& keys, const std::string& key, int meter) {
  if (key.empty()) return;
  const auto [at, added] = keys.emplace(key, meter);
  if (!added && at->second != meter) at->second = -1;
}

int TMeterIndex::Find(const TKeys& keys, const std::string& key) {
  const auto at = keys.find(key);
  return at == keys.end() ? -1 : at->second;
}

int TMeterIndex::ByDeviceName(const std::string& name) const {
  if (const int m = Find(FByDeviceName, name); m >= 0) return m;
  for (const std::string& serial : {name, name.size() > 3 ? name.substr(3) : std::string()})
    if (const int m = BySerial(serial); m >= 0) return m;
  return -1;
}

std::string TMeterIndex::SerialKey(const std::string& text) {
  const size_t first = text.find_first_not_of('0');
  return first == std::string::npos ? std::string() : text.substr(first);
}

std::string DeviceNameText(const std::string& bytes) {
  for (const char c : bytes)
    if (c < 0x20 || c > 0x7E) return TMisc::ByteStrToHexStr(bytes);
  return bytes;
}

}  // namespace quillon::client
