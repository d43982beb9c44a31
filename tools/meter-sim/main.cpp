// quillon-meter-sim: a DLMS/COSEM meter on loopback, for trying the client
// without hardware and for the end-to-end tests.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <algorithm>
#include <functional>
#include <string>

#include "client/FileLock.h"
#include "quillon/Version.h"
#include "tools/meter-sim/SimFleet.h"
#include "tools/meter-sim/SimHan.h"
#include "comm/PosixIO.h"
#include "tools/meter-sim/SimTransport.h"
#include "xmlpdu/infra/SharedData.h"

extern const char* const kQuillonDefaultMeterModel;

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) { gStop = true; }

const char* kHelp =
    "quillon-meter-sim - a simulated DLMS/COSEM electricity meter\n"
    "\n"
    "Usage: quillon-meter-sim [options]\n"
    "\n"
    "  --profile P     wrapper (DLMS wrapper over TCP, default), hdlc-tcp (HDLC frames\n"
    "                  over TCP), hdlc-pty (HDLC over a new pseudo-terminal; its path is\n"
    "                  printed) or hdlc-serial (HDLC over --device)\n"
    "  --address A     listening address (default 127.0.0.1; ::1 for IPv6)\n"
    "  --port N        TCP port (default 4059; 0 picks a free port, which is printed)\n"
    "  --device PATH   serial device for hdlc-serial\n"
    "  --server-address U[,L]  HDLC server address: logical device U (default 1) and\n"
    "                  physical device L (default 17; 0 for a one-part address)\n"
    "  --mode-e        (hdlc-pty, hdlc-serial) open the line with the IEC 62056-21\n"
    "                  mode E handshake: the meter waits at 300 baud for the sign-on\n"
    "                  /?!<CR><LF>, answers /QSMZQuillonSim<CR><LF> (7 bits, even\n"
    "                  parity; Z the highest speed offered, 6 = 19200 baud) and speaks\n"
    "                  HDLC after the acknowledgement <ACK>2Z2<CR><LF>; after a DISC\n"
    "                  or a new sign-on it waits for the opening again\n"
    "  --mode-e-baud N the highest speed the identification offers (300, 600, 1200,\n"
    "                  2400, 4800, 9600 or 19200; default 19200)\n"
    "  --invocation-counter N\n"
    "                  the lowest invocation counter the meter takes in the first\n"
    "                  ciphered request of each client (default 0). The meter then\n"
    "                  remembers each client's last counter for as long as it runs,\n"
    "                  across connections, and refuses a counter that does not rise\n"
    "                  (exception response invocation-counter-error), as a real\n"
    "                  meter does: a client that restarts its counter is refused\n"
    "\n"
    "Misbehaving like difficult meters (for trying the client's diagnosis and quirks):\n"
    "  --aare-system-title HEX  announce this system title in the AARE (the\n"
    "                  ciphering keeps using the real one)\n"
    "  --client-system-title HEX  the only client system title ciphered and GMAC\n"
    "                  clients may call with (others: calling-AP-title-not-recognized)\n"
    "  --max-challenge N  the longest HLS challenge taken (longer ones fail the\n"
    "                  authentication), as meters that only take 16 bytes\n"
    "  --first-response-delay MS  the first answer on each link comes this late\n"
    "  --pdu-limit N   APDUs longer than N bytes get the exception response\n"
    "                  pdu-too-long, while the meter announces 1024\n"
    "  --hdlc-info-limit N  (HDLC) I frames with more than N bytes of information\n"
    "                  are lost, while the meter announces 128\n"
    "  --association-objects  the object list also has one association object\n"
    "                  (0.0.40.0.n.255) per logical-name client, naming its partners\n"
    "                  and authentication mechanism\n"
    "  --blocks-without-bit  the AARE grants no block transfer, but answers longer\n"
    "                  than the meter's PDU size (1024) still come in (general) blocks\n"
    "  --trailing-bytes N  N zero bytes after the APDU inside every ciphered answer\n"
    "  --frozen-invocation-counter  every ciphered answer carries the same\n"
    "                  invocation counter\n"
    "  --aarq-counter-unchecked  the invocation counter of the ciphered AARQ is\n"
    "                  neither checked nor remembered, only those of the requests\n"
    "                  after it: a counter too low is refused inside the association\n"
    "                  (exception response invocation-counter-error)\n"
    "\n"
    "  --model FILE    object model and client configuration (default: meter.txt of\n"
    "                  the shared data folder share/quillon, else the built-in\n"
    "                  three-phase meter; --print-model shows the format)\n"
    "  --print-model   print the built-in model and exit\n"
    "  --fleet N       (wrapper, hdlc-tcp) N meters, each on its own port (--port P:\n"
    "                  ports P..P+N-1; 0 or none: free ports, printed one line per\n"
    "                  meter). Meter n is named sim-000n, has serial number 60000000+n,\n"
    "                  logical device name QSM followed by n in ten digits, system\n"
    "                  title 5153494D and n in eight hex digits, keys whose last four\n"
    "                  bytes are n, and energies of its own\n"
    "  --fleet-list FILE  write the fleet's meter list (CSV, as quillon-cli batch\n"
    "                  and listen read it) to FILE, with each meter's logical device\n"
    "                  name, the columns its client needs (auth, password-hex,\n"
    "                  security, suite, kek) and, with --push, a client whose\n"
    "                  security is that of the meter's pushes (none or auth-enc)\n"
    "  --fleet-client N  client address in that list (default 16; with --push, 32, a\n"
    "                  ciphering client, for meters that push ciphered, and 16 for\n"
    "                  plain ones where N ciphers)\n"
    "  --inactivity-timeout SECONDS  (TCP) a connection that sends nothing for\n"
    "                  this long is closed and the log says so (default 120; 0:\n"
    "                  never). A meter serves one association at a time, as most\n"
    "                  meters do: a second caller's connection waits in the queue\n"
    "                  until the first one ends\n"
    "  --counter-log FILE  append a line \"METER client C counter N\" to FILE for\n"
    "                  every invocation counter a ciphered request carries, taken\n"
    "                  or refused (METER: the fleet meter's name, or \"meter\")\n"
    "  --push HOST:PORT  (with --fleet) every meter pushes data notifications to\n"
    "                  HOST:PORT over a TCP connection (DLMS wrapper, from logical\n"
    "                  device 1 to 102): the structure {logical device name, clock,\n"
    "                  active energy import 1.0.1.8.0.255 in Wh}\n"
    "  --call-in HOST:PORT  (wrapper, hdlc-tcp; one meter or --fleet) the meter\n"
    "                  calls the head end at HOST:PORT instead of waiting on its\n"
    "                  port, and serves its requests over that connection; the call\n"
    "                  ends when the head end hangs up or after the inactivity\n"
    "                  timeout, and the next one follows --every SECONDS later (a\n"
    "                  call that is not taken is tried again a second later)\n"
    "  --jitter SECONDS  (--call-in) each call, the first one too, comes up to this\n"
    "                  much later, a different delay for every meter (default 0)\n"
    "  --every SECONDS how often each meter pushes or calls in (default 60;\n"
    "                  fractions allowed)\n"
    "  --push-security plain|glo|mixed  pushed in the clear, general-glo-ciphered\n"
    "                  with the meter's keys, or even-numbered meters ciphered\n"
    "  --push-hdlc     push in HDLC UI frames (LLC header, from the meter's HDLC\n"
    "                  address to 102) instead of the DLMS wrapper\n"
    "\n"
    "A meter's customer port (HAN, P1): one-way pushes of three lists, nothing read:\n"
    "  --han TARGET    push as a customer port does, to TARGET: pty (a new\n"
    "                  pseudo-terminal; its path is printed), a serial device path,\n"
    "                  or HOST:PORT (a TCP connection, as through a serial-to-TCP\n"
    "                  bridge; made again when the listener goes away). List 1\n"
    "                  every 2 s (active power import and export), list 2 every\n"
    "                  10 s (list version, meter id, the four powers, currents and\n"
    "                  voltages per phase), list 3 every hour (list 2, the clock\n"
    "                  and the energies 1.8.0, 2.8.0, 3.8.0, 4.8.0); a list due\n"
    "                  with a longer one is left out\n"
    "  --han-names N   how the values are named: structures (an array of {OBIS,\n"
    "                  value, {scaler, unit}}, default), alternating (the list\n"
    "                  version, then OBIS and value in turn), object-list (the push\n"
    "                  object list first, then the values) or bare (values alone)\n"
    "  --han-time T    the notification's date-time: octet-string (0C and 12\n"
    "                  bytes, default), absent (00) or tagged (09 0C and 12 bytes)\n"
    "  --han-framing F hdlc (UI frames, LLC E6 E7 00, segmented beyond the\n"
    "                  information field; default) or mbus (wired M-Bus long frames)\n"
    "  --han-security S  plain (default), auth-enc (general-glo-ciphering with the\n"
    "                  model's system title and keys, security control 30) or enc\n"
    "                  (security control 20: encrypted, no tag)\n"
    "  --han-block-size N  an APDU (ciphered) longer than N bytes goes as general\n"
    "                  blocks of N bytes, each in frames of its own (16..4096;\n"
    "                  default 0: never)\n"
    "  --han-info-length N  (hdlc) the longest information field (default 128)\n"
    "  --han-every P1,P2,P3  periods of lists 1, 2 and 3 in seconds on the meter's\n"
    "                  clock (default 2,10,3600; fractions allowed)\n"
    "  --han-speed X   the meter's clock runs X times as fast (default 1), and the\n"
    "                  lists come as much faster\n"
    "  --han-counter N the first invocation counter of ciphered lists (default 1)\n"
    "  --han-count N   stop after N messages (default: never)\n"
    "\n"
    "  --quiet         no traffic log on standard error\n"
    "  --help          this text\n"
    "  --version       the version\n"
    "\n"
    "Clients of the built-in model (client address: referencing, authentication):\n"
    "  16 LN lowest   17 LN low (password 12345678)   18 LN HLS MD5   19 LN HLS SHA-1\n"
    "  20 LN HLS GMAC   21 LN HLS SHA-256   22 LN HLS manufacturer-specific (1A2B3C4)\n"
    "  32 LN ciphered lowest   33 LN ciphered GMAC\n"
    "  48 SN lowest   49 SN low   50 SN ciphered lowest\n"
    "The HLS secret is Quillon-HLS-secret; keys are in the model's security line.\n"
    "\n"
    "Profiles (selective access by range on the clock column, or by entry and column):\n"
    "  1.0.99.1.0.255 energies every 15 min   1.0.99.2.0.255 V, I, P, f every 10 min\n"
    "  1.0.98.1.0.255 daily energies          0.0.99.98.0.255 event log, hourly\n"
    "Each entry's values follow from its time stamp alone, so a time range reads the\n"
    "same on every run. Registers of every common unit (Wh, kWh, varh, VAh, W, var,\n"
    "VA, V, A, Hz, m3, m3/h, degree C, K, bar, J, s, %): tools/meter-sim/README.md.\n"
    "The object list's access rights say what reads and writes do; the current\n"
    "association object 0.0.40.0.0.255 describes the association that reads it.\n"
    "Stop with Ctrl-C (SIGINT) or SIGTERM.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace quillon;
  using namespace quillon::sim;
  std::string profile = "wrapper", address = "127.0.0.1", device, modelPath;
  int port = 4059;
  bool quiet = false;
  bool portGiven = false;
  int fleet = 0, fleetClient = 16, fleetCipheringClient = 32, inactivitySeconds = 120;
  std::string fleetList, push, pushSecurity = "plain", counterLog, callIn;
  double jitter = 0;
  bool pushHdlc = false;
  double every = 60;
  long long firstCounter = 0;
  THdlcSettings hdlc;
  TSimMisbehaviour odd;
  int firstDelay = 0;
  bool associationObjects = false;
  std::string han;
  THanOptions hanOptions;
  int hanInfoLength = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "quillon-meter-sim: " << a << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      return 0;
    } else if (a == "--version") {
      std::cout << "quillon-meter-sim " QUILLON_VERSION "\n";
      return 0;
    } else if (a == "--profile") {
      profile = value();
    } else if (a == "--address") {
      address = value();
    } else if (a == "--port") {
      port = std::atoi(value().c_str());
      portGiven = true;
    } else if (a == "--fleet") {
      std::string v = value();
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 1 || n > 10000) {
        std::cerr << "quillon-meter-sim: --fleet " << v << ": a number 1..10000 expected\n";
        return 2;
      }
      fleet = static_cast<int>(n);
    } else if (a == "--push") {
      push = value();
    } else if (a == "--every") {
      std::string v = value();
      char* end = nullptr;
      every = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(every >= 0.01 && every <= 86400)) {
        std::cerr << "quillon-meter-sim: --every " << v << ": seconds 0.01..86400 expected\n";
        return 2;
      }
    } else if (a == "--call-in") {
      callIn = value();
    } else if (a == "--jitter") {
      const std::string v = value();
      char* end = nullptr;
      jitter = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(jitter >= 0 && jitter <= 86400)) {
        std::cerr << "quillon-meter-sim: --jitter " << v << ": seconds 0..86400 expected\n";
        return 2;
      }
    } else if (a == "--push-security") {
      pushSecurity = value();
      if (pushSecurity != "plain" && pushSecurity != "glo" && pushSecurity != "mixed") {
        std::cerr << "quillon-meter-sim: --push-security " << pushSecurity << ": plain, glo or mixed expected\n";
        return 2;
      }
    } else if (a == "--push-hdlc") {
      pushHdlc = true;
    } else if (a == "--fleet-list") {
      fleetList = value();
    } else if (a == "--inactivity-timeout") {
      std::string v = value();
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 0 || n > 86400) {
        std::cerr << "quillon-meter-sim: --inactivity-timeout " << v << ": seconds 0..86400 expected\n";
        return 2;
      }
      inactivitySeconds = static_cast<int>(n);
    } else if (a == "--counter-log") {
      counterLog = value();
    } else if (a == "--fleet-client") {
      fleetClient = fleetCipheringClient = std::atoi(value().c_str());
    } else if (a == "--device") {
      device = value();
    } else if (a == "--model") {
      modelPath = value();
    } else if (a == "--server-address") {
      std::string v = value();
      hdlc.ServerUpper = std::atoi(v.c_str());
      size_t comma = v.find(',');
      if (comma != std::string::npos) hdlc.ServerLower = std::atoi(v.c_str() + comma + 1);
    } else if (a == "--print-model") {
      std::cout << kQuillonDefaultMeterModel;
      return 0;
    } else if (a == "--mode-e") {
      hdlc.ModeE = true;
    } else if (a == "--mode-e-baud") {
      std::string v = value();
      static const char* kBauds[] = {"300", "600", "1200", "2400", "4800", "9600", "19200"};
      int z = -1;
      for (int k = 0; k < 7; ++k)
        if (v == kBauds[k]) z = k;
      if (z < 0) {
        std::cerr << "quillon-meter-sim: --mode-e-baud " << v << ": 300, 600, 1200, 2400, 4800, 9600 or 19200 expected\n";
        return 2;
      }
      hdlc.ModeEBaudId = static_cast<char>('0' + z);
    } else if (a == "--invocation-counter") {
      std::string v = value();
      char* end = nullptr;
      errno = 0;
      firstCounter = std::strtoll(v.c_str(), &end, 0);
      if (v.empty() || *end != '\0' || errno != 0 || firstCounter < 0 || firstCounter > 0xFFFFFFFFll) {
        std::cerr << "quillon-meter-sim: --invocation-counter " << v << ": a number 0..4294967295 expected\n";
        return 2;
      }
    } else if (a == "--aare-system-title" || a == "--client-system-title") {
      std::string v = value();
      PduStr title;
      try {
        title = TMisc::HexStrToByteStr(v);
      } catch (const std::exception&) {
      }
      if (title.size() != 8) {
        std::cerr << "quillon-meter-sim: " << a << " " << v << ": 16 hex digits expected\n";
        return 2;
      }
      (a == "--aare-system-title" ? odd.AareSystemTitle : odd.KnownClientTitle) = title;
    } else if (a == "--max-challenge" || a == "--first-response-delay" || a == "--hdlc-info-limit" ||
               a == "--pdu-limit" || a == "--trailing-bytes") {
      std::string v = value();
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || n < 0 || n > 60000) {
        std::cerr << "quillon-meter-sim: " << a << " " << v << ": a number 0..60000 expected\n";
        return 2;
      }
      if (a == "--max-challenge") odd.MaxChallenge = static_cast<size_t>(n);
      else if (a == "--hdlc-info-limit") hdlc.TakenInfoLength = static_cast<int>(n);
      else if (a == "--pdu-limit") odd.PduLimit = static_cast<size_t>(n);
      else if (a == "--trailing-bytes") odd.TrailingBytes = static_cast<size_t>(n);
      else firstDelay = static_cast<int>(n);
    } else if (a == "--association-objects") {
      associationObjects = true;
    } else if (a == "--blocks-without-bit") {
      odd.BlocksWithoutBit = true;
    } else if (a == "--frozen-invocation-counter") {
      odd.FrozenInvocationCounter = true;
    } else if (a == "--aarq-counter-unchecked") {
      odd.AarqCounterUnchecked = true;
    } else if (a == "--han") {
      han = value();
    } else if (a == "--han-names" || a == "--han-time" || a == "--han-framing" || a == "--han-security") {
      // Each word and what it selects.
      struct TWord {
        const char* Option;
        const char* Word;
        std::function<void()> Set;
      };
      THanOptions& h = hanOptions;
      const TWord words[] = {
          {"--han-names", "structures", [&] { h.Names = THanNames::Structures; }},
          {"--han-names", "alternating", [&] { h.Names = THanNames::Alternating; }},
          {"--han-names", "object-list", [&] { h.Names = THanNames::ObjectList; }},
          {"--han-names", "bare", [&] { h.Names = THanNames::Bare; }},
          {"--han-time", "octet-string", [&] { h.Time = THanTime::OctetString; }},
          {"--han-time", "absent", [&] { h.Time = THanTime::Absent; }},
          {"--han-time", "tagged", [&] { h.Time = THanTime::Tagged; }},
          {"--han-framing", "hdlc", [&] { h.Framing = THanFraming::Hdlc; }},
          {"--han-framing", "mbus", [&] { h.Framing = THanFraming::MBus; }},
          {"--han-security", "plain", [&] { h.SecurityControl = 0; }},
          {"--han-security", "auth-enc", [&] { h.SecurityControl = 0x30; }},
          {"--han-security", "enc", [&] { h.SecurityControl = 0x20; }},
      };
      const std::string v = value();
      std::string expected;
      bool known = false;
      for (const TWord& w : words) {
        if (a != w.Option) continue;
        if (v == w.Word) {
          w.Set();
          known = true;
        }
        expected += expected.empty() ? w.Word : std::string(", ") + w.Word;
      }
      if (!known) {
        const size_t comma = expected.rfind(", ");
        std::cerr << "quillon-meter-sim: " << a << " " << v << ": " << expected.substr(0, comma) << " or "
                  << expected.substr(comma + 2) << " expected\n";
        return 2;
      }
    } else if (a == "--han-block-size" || a == "--han-info-length" || a == "--han-counter" || a == "--han-count") {
      struct TRange {
        const char* Option;
        long long Low, High;
      };
      static const TRange kRanges[] = {{"--han-block-size", 16, 4096},
                                       {"--han-info-length", 16, MaxInformationFieldLength(1, 2)},
                                       {"--han-counter", 0, 0xFFFFFFFFll},
                                       {"--han-count", 1, 1000000000}};
      const TRange& range = *std::find_if(std::begin(kRanges), std::end(kRanges), [&](const TRange& r) { return a == r.Option; });
      const std::string v = value();
      char* end = nullptr;
      errno = 0;
      const long long n = std::strtoll(v.c_str(), &end, 10);
      // A block size of 0 means no blocks at all.
      const bool noBlocks = a == "--han-block-size" && n == 0;
      if (v.empty() || *end || errno || ((n < range.Low || n > range.High) && !noBlocks)) {
        std::cerr << "quillon-meter-sim: " << a << " " << v << ": a number " << (a == "--han-block-size" ? "0 or " : "")
                  << range.Low << ".." << range.High << " expected\n";
        return 2;
      }
      if (a == "--han-block-size") hanOptions.BlockSize = static_cast<size_t>(n);
      else if (a == "--han-info-length") hanInfoLength = static_cast<int>(n);
      else if (a == "--han-counter") hanOptions.FirstCounter = static_cast<uint32_t>(n);
      else hanOptions.Count = static_cast<uint64_t>(n);
    } else if (a == "--han-every") {
      const std::string v = value();
      std::istringstream in(v);
      std::string part;
      int k = 0;
      bool good = true;
      while (good && std::getline(in, part, ',')) {
        char* end = nullptr;
        const double seconds = std::strtod(part.c_str(), &end);
        good = k < 3 && !part.empty() && !*end && seconds >= 0.01 && seconds <= 86400;
        if (good) hanOptions.EveryMs[k++] = static_cast<int64_t>(seconds * 1000 + 0.5);
      }
      if (!good || k != 3) {
        std::cerr << "quillon-meter-sim: --han-every " << v << ": three periods in seconds (0.01..86400) expected, as 2,10,3600\n";
        return 2;
      }
    } else if (a == "--han-speed") {
      const std::string v = value();
      char* end = nullptr;
      hanOptions.Speed = std::strtod(v.c_str(), &end);
      if (v.empty() || *end || !(hanOptions.Speed >= 0.01 && hanOptions.Speed <= 100000)) {
        std::cerr << "quillon-meter-sim: --han-speed " << v << ": a factor 0.01..100000 expected\n";
        return 2;
      }
    } else if (a == "--quiet") {
      quiet = true;
    } else {
      std::cerr << "quillon-meter-sim: unknown option " << a << " (see --help)\n";
      return 2;
    }
  }
  if (profile != "wrapper" && profile != "hdlc-tcp" && profile != "hdlc-pty" && profile != "hdlc-serial") {
    std::cerr << "quillon-meter-sim: unknown profile " << profile << " (see --help)\n";
    return 2;
  }
  if (hdlc.ModeE && profile != "hdlc-pty" && profile != "hdlc-serial") {
    std::cerr << "quillon-meter-sim: --mode-e needs --profile hdlc-pty or hdlc-serial\n";
    return 2;
  }
  if (pushHdlc && push.empty()) {
    std::cerr << "quillon-meter-sim: --push-hdlc needs --push\n";
    return 2;
  }
  if (!push.empty() && !fleet) {
    std::cerr << "quillon-meter-sim: --push needs --fleet\n";
    return 2;
  }
  // HOST:PORT of --push and --call-in ([IPv6]:PORT too).
  auto hostPort = [](const char* field, const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    port = colon == std::string::npos ? 0 : std::atoi(text.c_str() + colon + 1);
    host = colon == std::string::npos ? "" : text.substr(0, colon);
    if (!host.empty() && host.front() == '[') host = host.substr(1, host.size() - 2);
    if (host.empty() || port < 1 || port > 65535) {
      std::cerr << "quillon-meter-sim: " << field << " " << text << ": HOST:PORT expected\n";
      return false;
    }
    return true;
  };
  std::optional<TCallInOptions> calls;
  if (!callIn.empty()) {
    if (profile != "wrapper" && profile != "hdlc-tcp") {
      std::cerr << "quillon-meter-sim: --call-in needs --profile wrapper or hdlc-tcp\n";
      return 2;
    }
    if (!push.empty()) {
      std::cerr << "quillon-meter-sim: --call-in and --push: expected one of them\n";
      return 2;
    }
    calls.emplace();
    if (!hostPort("--call-in", callIn, calls->Host, calls->Port)) return 2;
    calls->Every = every;
    calls->Jitter = jitter;
    calls->InactivityTimeoutMs = inactivitySeconds * 1000;
  }
  if (fleet && profile != "wrapper" && profile != "hdlc-tcp") {
    std::cerr << "quillon-meter-sim: --fleet needs --profile wrapper or hdlc-tcp\n";
    return 2;
  }
  hdlc.SetLineSpeed = profile == "hdlc-serial";
  if (han.empty() && argc > 1) {
    for (int i = 1; i < argc; ++i)
      if (std::string(argv[i]).rfind("--han-", 0) == 0) {
        std::cerr << "quillon-meter-sim: " << argv[i] << " needs --han\n";
        return 2;
      }
  }
  if (!han.empty() && (fleet || !push.empty() || calls || profile != "wrapper")) {
    std::cerr << "quillon-meter-sim: --han " << han << ": a customer port is one meter on its own line; expected without --fleet, --push, --call-in and --profile\n";
    return 2;
  }
  THanTarget hanTarget;
  if (!han.empty() && han != "pty" && han.front() != '/' && !hostPort("--han", han, hanTarget.Host, hanTarget.Port))
    return 2;

  CatchTerminationSignals(OnSignal);

  try {
    TSimModel model;
    std::string text = kQuillonDefaultMeterModel;
    if (modelPath.empty()) modelPath = SharedDataFile("meter.txt");  // installed, or in the build tree
    if (!modelPath.empty()) {
      model.LoadFile(modelPath);
      std::ifstream f(modelPath);
      text.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    } else {
      model.Load(text);
    }
    TSimAssociation assoc(model, TSimSecurity{});
    assoc.Configure(text);
    if (associationObjects) model.Load(text + "\n" + assoc.AssociationObjectsModel());
    assoc.SetFirstInvocationCounter(static_cast<uint32_t>(firstCounter));
    assoc.SetMisbehaviour(odd);
    TTrafficLog log;
    if (!quiet) log = [](const std::string& s) { std::cerr << s << std::endl; };
    assoc.SetLog(log);
    // Every counter as it arrives, one line written at once, so that a
    // test sees them all also when it kills the meter.
    std::function<void(const std::string&, int, uint32_t)> recordCounter;
    if (!counterLog.empty()) {
      const int fd = ::open(counterLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd < 0) throw EGeneralError("Cannot write " + counterLog + ": " + std::strerror(errno));
      recordCounter = [fd](const std::string& meter, int client, uint32_t counter) {
        const std::string line = meter + " client " + std::to_string(client) + " counter " + std::to_string(counter) + "\n";
        // One write with O_APPEND: lines of several threads never mix.
        [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
      };
      assoc.SetCounterRecord([recordCounter](int client, uint32_t counter) { recordCounter("meter", client, counter); });
    }

    if (!han.empty()) {
      const TSimSecurity& security = assoc.Security();
      THanMeter meter{security.SystemTitle, security.EK, security.AK, PduStr("\x0A\x00", 2)};
      std::unique_ptr<T_Data> id;
      if (TSimObject* serial = model.FindByLogicalName(PduStr("\x00\x00\x60\x01\x00\xFF", 6));
          serial && model.Read(*serial, 2, nullptr, 0, id) == 0 && id)
        meter.MeterIdData = id->Encoded();
      hanOptions.Hdlc = hdlc;
      if (hanInfoLength) hanOptions.Hdlc.MaxInfoLength = hanInfoLength;
      if (hanOptions.SecurityControl) hanOptions.SecurityControl |= static_cast<uint8_t>(security.Suite);
      if (han == "pty") {
        std::string path;
        hanTarget.Fd = OpenPseudoTerminal(path);
        std::cout << "pseudo-terminal " << path << std::endl;
      } else if (han.front() == '/') {
        hanTarget.Fd = ::open(han.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (hanTarget.Fd < 0) throw EGeneralError("Cannot open " + han + ": " + std::strerror(errno));
        std::cout << "serial " << han << std::endl;
      } else {
        std::cout << "pushing to " << han << std::endl;
      }
      THanPort port(hanOptions, meter);
      const uint64_t sent = RunHan(port, hanOptions, hanTarget, gStop, log);
      if (hanTarget.Fd >= 0) ::close(hanTarget.Fd);
      std::cerr << "pushed " << sent << " notifications\n";
      return 0;
    }
    if (fleet) {
      TFleetOptions fo;
      fo.Count = fleet;
      fo.Address = address;
      fo.FirstPort = portGiven ? port : 0;
      fo.Hdlc = profile == "hdlc-tcp";
      fo.HdlcSettings = hdlc;
      fo.FirstInvocationCounter = static_cast<uint32_t>(firstCounter);
      fo.CounterRecord = recordCounter;
      fo.InactivityTimeoutMs = inactivitySeconds * 1000;
      fo.CallIn = calls;
      if (!push.empty()) {
        if (!hostPort("--push", push, fo.PushHost, fo.PushPort)) return 2;
        fo.PushEvery = every;
        fo.PushSecurity = pushSecurity;
        fo.PushHdlc = pushHdlc;
      }
      // Every port is open (connections wait in its queue) and the list is
      // written before the first line says so.
      TSimFleet sims(text, fo, log);
      // The list holds every meter's keys: private to its owner, and never
      // seen half-written by a batch that reads it as it appears.
      if (!fleetList.empty()) client::WriteFileDurably(fleetList, sims.MeterListCsv(fleetClient, fleetCipheringClient), 0600);
      if (calls)
        std::cout << "fleet of " << fleet << " meters calling " << callIn << " ("
                  << (fo.Hdlc ? "HDLC" : "DLMS wrapper") << ")\n";
      else
        std::cout << "fleet of " << fleet << " meters listening on " << address << " ("
                  << (fo.Hdlc ? "HDLC" : "DLMS wrapper") << ")\n";
      for (int i = 0; i < sims.Count(); ++i)
        std::cout << "meter " << sims.Identity(i).Name << " port " << sims.Port(i) << " serial "
                  << sims.Identity(i).Serial << " title " << sims.Identity(i).SystemTitleHex << "\n";
      std::cout.flush();
      sims.Run(gStop);
      if (!fo.PushHost.empty()) std::cerr << "pushed " << sims.Pushed() << " notifications\n";
      if (log) log("stopped");
      return 0;
    }
    if (profile == "hdlc-pty" || profile == "hdlc-serial") {
      int fd;
      if (profile == "hdlc-pty") {
        std::string path;
        fd = OpenPseudoTerminal(path);
        std::cout << "pseudo-terminal " << path << std::endl;
      } else {
        fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) throw EGeneralError("Cannot open " + device + ": " + std::strerror(errno));
        std::cout << "serial " << device << std::endl;
      }
      TSimLink link(fd);
      link.SetFirstWriteDelay(firstDelay);
      while (!gStop) ServeHdlc(link, assoc, hdlc, gStop, log);
    } else if (calls) {
      std::cout << "calling " << callIn << " (" << (profile == "wrapper" ? "DLMS wrapper" : "HDLC") << ")" << std::endl;
      CallIn(*calls, [&](TSimLink& link) {
        link.SetFirstWriteDelay(firstDelay);
        try {
          if (profile == "wrapper")
            ServeWrapper(link, assoc, gStop, log);
          else
            ServeHdlc(link, assoc, hdlc, gStop, log);
        } catch (...) {
          assoc.Reset();
          throw;
        }
      }, gStop, 1, log);
    } else {
      TSimListener listener(address, port);
      std::cout << "listening on " << address << " port " << listener.Port() << " ("
                << (profile == "wrapper" ? "DLMS wrapper" : "HDLC") << ")" << std::endl;
      while (!gStop) {
        int fd = listener.Accept(200);
        if (fd < 0) continue;
        if (log) log("connection opened");
        TSimLink link(fd);
        link.SetFirstWriteDelay(firstDelay);
        link.SetInactivityTimeout(inactivitySeconds * 1000);
        if (profile == "wrapper")
          ServeWrapper(link, assoc, gStop, log);
        else
          ServeHdlc(link, assoc, hdlc, gStop, log);
        if (log) log("connection closed");
      }
    }
    if (log) log("stopped");
  } catch (const std::exception& e) {
    std::cerr << "quillon-meter-sim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
