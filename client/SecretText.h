// Secrets as people type them (keys, passwords and HLS secrets in hex),
// parsed without ever repeating them. A message that quotes a mistyped key
// hands nearly all of it to whoever reads the terminal, the JSON lines or
// the meters table a dashboard shows; it says instead how many digits there
// were and where the rule broke:
//   "ek: 31 hex digits of 32; position 32 is not a hex digit"
#pragma once

#include <string>

namespace quillon::client {

// The bytes of `text` (pairs of hex digits, blanks between them allowed).
// Fails with a general error naming `field`, never the text.
std::string SecretBytesOfHex(const std::string& field, const std::string& text);

}  // namespace quillon::client
