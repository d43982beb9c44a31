// Secrets out of log lines. The engine's log shows what it computes with
// (the keys beside each ciphered message, the password in the association
// request, key wrapping and signing keys); a log file or a terminal is no
// place for them. A mask rewrites each line with every secret it can tell
// as "<hidden>":
//   labelled values: "GUEK=<hidden>", "GAK=<hidden>", "SHARED SECRET: <hidden>",
//   "d=<hidden>", "PRIV.KEY: <hidden>", "WRAPPED <hidden> WITH = <hidden>",
//   <CallingAuthenticationValue Value="<hidden>" />, <DedicatedKey Value="<hidden>" />;
//   the calling authentication value inside a raw association request
//   (AC nn 80 mm ...) in the hex of the traffic;
//   and, given the profile, its keys and password (4 bytes or more)
//   wherever they stand as hex.
#pragma once

#include <string>
#include <vector>

#include "client/MeterProfile.h"

namespace quillon::client {

class TSecretMask {
public:
  TSecretMask() = default;
  explicit TSecretMask(const TMeterProfile& p);
  std::string operator()(const std::string& line) const;

private:
  std::vector<std::string> FHexSecrets;  // upper-case hex
};

}  // namespace quillon::client
