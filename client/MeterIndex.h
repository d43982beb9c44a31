// Which meter of a list is speaking, by what it says of itself: the system
// title it announces, its logical device name (0.0.42.0.0.255), its serial
// number; or, as the last resort, the host it speaks from. A key that more
// than one meter of the list has names none of them. The push listener and
// the head end know their meters through this one index.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "client/Batch.h"

namespace quillon::client {

class TMeterIndex {
public:
  explicit TMeterIndex(const std::vector<TFleetMeter>& meters);
  // The meter's position in the list, or -1.
  int ByTitle(const std::string& titleBytes) const { return Find(FByTitle, titleBytes); }
  // A logical device name as text (DeviceNameText); names are often a
  // three-letter manufacturer mark and the serial number, so a name that
  // names no meter is tried as a serial number, with and without the mark.
  int ByDeviceName(const std::string& name) const;
  int BySerial(const std::string& serial) const { return Find(FBySerial, SerialKey(serial)); }
  // Meters behind one terminal server or NAT share their host: none of them is known by it.
  int ByHost(const std::string& host) const { return Find(FByHost, host); }

  // A serial number as digits without leading zeros, so that "60000001"
  // and "0060000001" are one number.
  static std::string SerialKey(const std::string& text);

private:
  using TKeys = std::map<std::string, int>;
  static void Add(TKeys& keys, const std::string& key, int meter);
  static int Find(const TKeys& keys, const std::string& key);
  TKeys FByTitle, FByDeviceName, FBySerial, FByHost;
};

// How a logical device name is written in the list and on output: its
// characters when they are all printable, else its bytes in hex.
std::string DeviceNameText(const std::string& bytes);

}  // namespace quillon::client
