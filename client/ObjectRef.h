// Object references as users write them: [CLASS/]OBIS[/ATTRIBUTE], with the
// logical name dotted (1.0.1.8.0.255), in the A-B:C.D.E*F form or as 12 hex
// digits.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::client {

using TLogicalName = std::array<uint8_t, 6>;

struct TObjectRef {
  int ClassId = 0;  // 0: not given, taken from the association's object list
  TLogicalName Name{};
  int Member = 0;   // attribute (or method); 0: not given
};

// Throws a general error "OBIS code \"<text>\": expected ..." for anything else.
TLogicalName ParseLogicalName(std::string_view text);
// `field` names the argument in the error ("reference", "method").
TObjectRef ParseObjectRef(std::string_view text, const char* field = "reference");

std::string LogicalNameDotted(const TLogicalName& n);
std::string LogicalNameHex(const TLogicalName& n);
// From the six bytes of a logical name as a meter sends them.
TLogicalName LogicalNameOfBytes(std::string_view bytes);
// "3/1.0.1.8.0.255/2" (class and member left out when 0).
std::string ObjectRefText(const TObjectRef& r);

}  // namespace quillon::client
