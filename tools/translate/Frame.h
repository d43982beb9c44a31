// quillon-translate --frame: what an engineer holding a capture of a meter's
// port wants to see. The capture (hex as readers log it: with spaces, line
// breaks, time stamps and offsets) is unwrapped from its frames (HDLC,
// M-Bus, DLMS wrapper, or none), segments and general-block-transfer blocks
// are joined, ciphered APDUs deciphered when their keys are given, and each
// message printed as XML and, for a data notification, as named values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/Batch.h"

namespace quillon {

struct TFrameKeys {
  // Keys for any system title (--ek, --ak), as bytes.
  std::string EK, AK;
  // Meters with their system titles and keys (--keys FILE).
  std::vector<client::TFleetMeter> Meters;
};

// The bytes of a capture as HAN readers and terminal programs log it: hex
// pairs with any white space, commas, a "0x" before a pair or a run, and per
// line a leading time stamp ("2017-09-12 23:18:43.731", "[12:00:01]",
// "23:18:43.731") or offset ("0010:"), which are passed over. Anything else
// fails, naming the line and the text.
std::string CaptureBytes(std::string_view text);

struct TFrameReport {
  std::string Out;                  // for standard output
  std::vector<std::string> Errors;  // one line each, for standard error
  size_t Messages = 0;              // messages printed
};
TFrameReport TranslateFrames(std::string_view capture, const TFrameKeys& keys);

}  // namespace quillon
