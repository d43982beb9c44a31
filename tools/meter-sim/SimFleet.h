// Many simulated meters in one process: each has its own serial number,
// logical device name, system title and keys (derived from its number), its
// own energy use, and its own port; each is served on its own thread.
#pragma once

#include <optional>

#include <atomic>
#include <string>
#include <vector>

#include "tools/meter-sim/SimTransport.h"

namespace quillon::sim {

// What sets meter `number` (1..N) of a fleet apart from the others.
struct TFleetIdentity {
  int Number = 1;
  std::string Name;               // "sim-0001"
  std::string Serial;             // "60000001"
  std::string LogicalDeviceName;  // "QSM0000000001"
  std::string SystemTitleHex;     // "5153494D00000001"
  double EnergyFactor = 1;        // between 0.5 and 1.5
};
TFleetIdentity FleetIdentity(int number);

// The model text for meter `number`: the base text with the serial number,
// the logical device name and the system title of the meter, and keys whose
// last four bytes are the meter's number (so ek=00..0F becomes
// 000102030405060708090A0B00000007 for meter 7).
std::string FleetModelText(const std::string& base, int number);
// A key of the base text as meter `number` has it (hex in, hex out).
std::string FleetKeyHex(const std::string& baseHex, int number);

// What a fleet meter pushes: a data notification whose body is the
// structure {logical device name, clock, active energy import}, the objects
// of kPushObjects. Ciphered, it goes in a general-glo-ciphering APDU under
// the meter's system title and keys with `counter` as invocation counter.
extern const char* const kPushObjects;  // "1/0.0.42.0.0.255/2,8/0.0.1.0.0.255/2,3/1.0.1.8.0.255/2"
PduStr PushNotification(const TFleetIdentity& id, uint32_t counter, int64_t unixSeconds, double energyWh,
                        bool ciphered, const PduStr& ek, const PduStr& ak);
// The APDU in a general-glo-ciphering APDU under the sender's system title:
// security control byte 0x30 (authenticated and encrypted) or 0x20
// (encrypted only, no tag), the suite in its low bits.
PduStr GloCiphered(const PduStr& apdu, const PduStr& systemTitle, const PduStr& ek, const PduStr& ak,
                   uint8_t securityControl, uint32_t counter);
// The APDU in a DLMS wrapper frame from the meter's logical device 1 to the
// push destination's address 102.
PduStr WrapperFrame(const PduStr& apdu, int source = 1, int destination = 102);
// The APDU after the LLC header of a meter's message, in UI frames from the
// meter's HDLC address to the push destination's one-byte address 102,
// `segment` information bytes a frame at most (0: the settings' length),
// joined on the line with one flag between frames. With finalOnLast the
// last frame has the poll/final bit (control 13, the others 03), as
// customer ports send them.
PduStr HdlcPushFrames(const PduStr& apdu, const THdlcSettings& server, size_t segment = 0, int destination = 102,
                      bool finalOnLast = false);

// A meter that calls the head end (--call-in HOST:PORT), as a meter's
// auto-connect schedule does: it opens a connection, serves the head end's
// requests over it as over its own port, and the call ends when the head
// end hangs up or says nothing for the inactivity timeout. The next call
// follows Every seconds later; every call, the first included, is put off
// by up to Jitter seconds, so that a fleet does not call at one instant. A
// call that cannot get through is tried again a second later.
struct TCallInOptions {
  std::string Host;
  int Port = 0;
  double Every = 60;
  double Jitter = 0;
  int InactivityTimeoutMs = 120000;
};
// Calls until `stop`; `serve` serves one call. `seed` sets the meter's own jitter.
void CallIn(const TCallInOptions& options, const std::function<void(TSimLink&)>& serve, const std::atomic<bool>& stop,
            unsigned seed, const TTrafficLog& log);

// A TCP connection to the head end (no delay on small writes), or -1.
int ConnectTo(const std::string& host, int port);

struct TFleetOptions {
  int Count = 1;
  std::string Address = "127.0.0.1";
  int FirstPort = 0;        // 0: every meter picks a free port
  bool Hdlc = false;        // HDLC frames over TCP instead of the wrapper
  THdlcSettings HdlcSettings;
  uint32_t FirstInvocationCounter = 0;
  // An idle connection to a meter is closed after this long (0: never).
  int InactivityTimeoutMs = 120000;
  // --push HOST:PORT --every SECONDS: every meter keeps a TCP connection to
  // the head end and pushes a data notification every PushEvery seconds.
  std::string PushHost;
  int PushPort = 0;
  double PushEvery = 0;
  // "plain", "glo" (general-glo-ciphering) or "mixed" (odd-numbered meters
  // plain, even-numbered ones ciphered).
  std::string PushSecurity = "plain";
  // Push in HDLC UI frames instead of the wrapper (a meter behind a
  // transparent modem or a terminal server).
  bool PushHdlc = false;
  // --call-in: every meter calls the head end instead of waiting on its port.
  std::optional<TCallInOptions> CallIn;
  // Told every invocation counter a meter receives (meter name, client
  // address, counter).
  std::function<void(const std::string&, int, uint32_t)> CounterRecord;
};

class TSimFleet {
public:
  struct TMeter;
  // Opens every meter's port (throws when one cannot be opened).
  TSimFleet(const std::string& modelText, const TFleetOptions& options, const TTrafficLog& log);
  ~TSimFleet();

  int Count() const;
  const TFleetIdentity& Identity(int i) const;  // i from 0
  int Port(int i) const;
  // Notifications pushed so far, all meters together.
  uint64_t Pushed() const { return FPushed.load(); }
  // Serves every meter until stop is set.
  void Run(const std::atomic<bool>& stop);
  // The meter list as quillon-cli batch and listen read it (CSV with a
  // header row). A fleet that pushes adds each meter's "security" as it
  // pushes; the meters that push ciphered have `cipheringClientAddress`
  // (a client whose associations are ciphered too).
  std::string MeterListCsv(int clientAddress, int cipheringClientAddress = 32) const;
  bool PushesCiphered(int number) const;

private:
  TFleetOptions FOptions;
  TTrafficLog FLog;
  std::vector<std::unique_ptr<TMeter>> FMeters;
  std::atomic<uint64_t> FPushed{0};
  void Push(TMeter& m, const std::atomic<bool>& stop);
};

}  // namespace quillon::sim
