#include "knowledge/COSEMEnums.h"

#include <algorithm>
#include <vector>

#include "knowledge/COSEMUnits.h"

namespace quillon {

namespace {

// Owned arrays: an initializer_list member would point at arrays that end
// with the expression that built the table.
using Names = std::vector<const char*>;

// Entry n names value n; empty entries are values without a name.
const Names kBaudRates = {"300 baud",  "600 baud",   "1200 baud",  "2400 baud",  "4800 baud",
                          "9600 baud", "19200 baud", "38400 baud", "57600 baud", "115200 baud"};
const Names kAttributeAccess = {"no access",
                                "read-only",
                                "write-only",
                                "read and write",
                                "authenticated read-only",
                                "authenticated write-only",
                                "authenticated read and write"};
const Names kMethodAccess = {"no access", "access", "authenticated access"};

struct TEnumPlace {
  std::int32_t ClassId;
  std::int32_t Version;  // negative: every version
  std::int32_t AttributeId;
  std::vector<int> Path;
  Names Values;    // by value from 0
  bool Unit = false;  // a unit code: named by the unit table
};

const std::vector<TEnumPlace>& Places() {
  static const std::vector<TEnumPlace> places = {
      // scaler_unit {scaler, unit} of registers, extended and demand registers.
      {3, -1, 3, {1}, {}, true},
      {4, -1, 3, {1}, {}, true},
      {5, -1, 4, {1}, {}, true},
      // Profile generic sort_method.
      {7, -1, 5, {}, {"", "FIFO", "LIFO", "largest", "smallest", "nearest to zero", "farthest from zero"}},
      // Clock clock_base.
      {8, -1, 9, {}, {"not defined", "internal crystal", "mains frequency 50 Hz", "mains frequency 60 Hz", "GPS",
                      "radio controlled"}},
      // Association LN: the access rights in the object list, association_status.
      {15, -1, 2, {kAnyElement, 3, 0, kAnyElement, 1}, kAttributeAccess},
      {15, -1, 2, {kAnyElement, 3, 1, kAnyElement, 1}, kMethodAccess},
      {15, -1, 8, {}, {"non-associated", "association pending", "associated"}},
      // Association SN: access_rights_list {base name, attribute access, method access}.
      {12, -1, 3, {kAnyElement, 1, kAnyElement, 1}, kAttributeAccess},
      {12, -1, 3, {kAnyElement, 2, kAnyElement, 1}, kMethodAccess},
      // Image transfer image_transfer_status.
      {18, -1, 6, {}, {"image transfer not initiated", "image transfer initiated", "image verification initiated",
                       "image verification successful", "image verification failed", "image activation initiated",
                       "image activation successful", "image activation failed"}},
      // IEC local port setup: default_mode, default_baud, prop_baud, response_time.
      {19, -1, 2, {}, {"IEC 62056-21 protocol", "DLMS/COSEM", "not applicable"}},
      {19, -1, 3, {}, kBaudRates},
      {19, -1, 4, {}, kBaudRates},
      {19, -1, 5, {}, {"20 ms", "200 ms"}},
      // IEC HDLC setup comm_speed.
      {23, -1, 2, {}, kBaudRates},
      // Auto answer status.
      {28, -1, 4, {}, {"inactive", "active", "locked"}},
      // Push setup send_destination_and_method {transport_service, destination, message}.
      {40, -1, 3, {0}, {"TCP", "UDP", "FTP", "SMTP", "SMS", "HDLC", "M-Bus", "ZigBee"}},
      {40, -1, 3, {2}, {"A-XDR encoded xDLMS APDU", "XML encoded xDLMS APDU"}},
      // Security setup version 0: security_policy; every version: security_suite.
      {64, 0, 2, {}, {"nothing", "all messages authenticated", "all messages encrypted",
                      "all messages authenticated and encrypted"}},
      {64, -1, 3, {}, {"AES-GCM-128", "ECDH-ECDSA-AES-GCM-128-SHA-256", "ECDH-ECDSA-AES-GCM-256-SHA-384"}},
      // Disconnect control control_state.
      {70, -1, 3, {}, {"disconnected", "connected", "ready for reconnection"}},
  };
  return places;
}

}  // namespace

namespace {

std::string NameOf(const Names& names, std::int64_t value) {
  if (value < 0 || value >= static_cast<std::int64_t>(names.size())) return std::string();
  return names[static_cast<size_t>(value)];
}

}  // namespace

std::string COSEMAttributeAccessName(std::int64_t mode) { return NameOf(kAttributeAccess, mode); }

std::string COSEMMethodAccessName(std::int64_t mode) { return NameOf(kMethodAccess, mode); }

std::string COSEMEnumName(std::int32_t classId, std::int32_t version, std::int32_t attributeId,
                          std::span<const int> path, std::int64_t value) {
  for (const TEnumPlace& p : Places()) {
    if (p.ClassId != classId || p.AttributeId != attributeId) continue;
    if (p.Version >= 0 && p.Version != version) continue;
    if (!std::equal(p.Path.begin(), p.Path.end(), path.begin(), path.end())) continue;
    if (p.Unit) return COSEMUnitName(static_cast<int>(value));
    return NameOf(p.Values, value);
  }
  return std::string();
}

}  // namespace quillon
