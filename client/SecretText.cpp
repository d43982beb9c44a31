#include "client/SecretText.h"

#include <cctype>

#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

std::string SecretBytesOfHex(const std::string& field, const std::string& text) {
  size_t digits = 0, characters = 0, firstBad = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    ++characters;
    if (std::isxdigit(static_cast<unsigned char>(text[i]))) ++digits;
    else if (!firstBad) firstBad = i + 1;
  }
  if (firstBad)
    RaiseGeneral(Format("%s: %zu hex digits of %zu; position %zu is not a hex digit", field.c_str(), digits, characters,
                        firstBad));
  if (digits % 2) RaiseGeneral(Format("%s: %zu hex digits; expected an even number, two per byte", field.c_str(), digits));
  return TMisc::HexStrToByteStr(text);
}

}  // namespace quillon::client
