// A meter profile from what a user gives as connection and security options:
// quillon-cli's command line and the Python package's keyword arguments go
// through the same checks and fail with the same messages.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/MeterProfile.h"
#include "client/Session.h"

namespace quillon::client {

// What the user said is wrong (quillon-cli: exit status 2).
class EUsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Options as text, as the user gave them; empty text and negative numbers
// are "not given".
struct TProfileOptions {
  std::string Tcp, HdlcTcp, Serial, Meter, Settings, Keys;
  std::string Accept, AcceptHdlc;  // [HOST:]PORT the meter calls
  int Wait = -1;                   // seconds to wait for it
  std::string Caller;              // addresses and networks it may call from
  bool TrustUnprovenCaller = false;
  int Baud = 0;
  bool ModeE = false, ShortNames = false, DedicatedKey = false;
  int Client = -1, Server = -1, Physical = -1, AddressSize = 0;
  std::string Auth, Password, PasswordHex, Security;
  int Suite = -1;
  std::string EK, AK, KEK, SystemTitle, ServerSystemTitle;
  std::string SigningKey, ServerSigningKey;  // PEM files
  int Timeout = -1, ConnectTimeout = -1;
  std::vector<std::string> Quirks;
  bool Strict = false;  // refuse the deviations tolerated by default
  std::string InvocationCounter;  // "auto", a number or empty
};

// The options over the base profile (meters file or settings), keys from the
// keys file and the environment (QUILLON_EK, ...) where no option gives them.
// Everything is checked before a meter is called: anything wrong, the meters
// and settings files included, fails as EUsageError with a one-line message
// naming the option, the value and what was expected.
TMeterProfile BuildProfile(const TProfileOptions& o);

// The invocation counter given as a number (--ic N); nothing for "auto" or
// none. EUsageError above 32 bits.
std::optional<uint32_t> GivenInvocationCounter(const TProfileOptions& o);

// The range of a profile read as --from, --to and --entries give it: A..B
// entries (A.. for all from A), or capture times from..to (either may be
// left out); neither: the whole buffer.
TProfileRange ProfileRangeOf(const std::string& from, const std::string& to, const std::string& entries);

// A reference or a value as the user gives it ([CLASS/]OBIS[/ATTRIBUTE],
// TYPE:VALUE or a DLMS XML Data element); EUsageError with the message of
// ParseObjectRef or ValueLiteralToXml otherwise.
TObjectRef ObjectRefOption(const std::string& text, const char* field = "reference");
std::string ValueOption(const std::string& text);

}  // namespace quillon::client
