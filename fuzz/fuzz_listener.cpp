// The push listener's message path without sockets: bytes as a DLMS wrapper
// connection, an HDLC or M-Bus connection or UDP datagrams bring them, decoded,
// identified against a small meter list and stored into a database in
// memory. Whatever comes, a push is stored only as a meter of the list that
// it really is, or marked unknown: a meter that requires authentication gets
// only authenticated pushes.
//
// Input: byte 0 picks the transport (0 wrapper, 1 HDLC, 2 UDP, 3 M-Bus); for TCP,
// byte 1 is the size of the pieces the stream arrives in (1..256), for UDP
// the rest is datagrams, each after its length in two bytes.
#include <sqlite3.h>

#include <algorithm>

#include "FuzzSupport.h"
#include "client/Batch.h"
#include "client/SqliteStore.h"
#include "tools/cli/Listen.h"

namespace {

using namespace quillon;

// sim-0001 ciphers (auth-enc); sim-0002 pushes in the clear; sim-0003 is
// known by its serial number and shares sim-0002's address.
constexpr const char* kList =
    "name,address,server-system-title,ek,ak,logical-device-name,serial,push-security\n"
    "sim-0001,127.0.0.1:4059,5153494D00000001,000102030405060708090A0B00000001,D0D1D2D3D4D5D6D7D8D9DADB00000001,"
    "QSM0000000001,60000001,auth-enc\n"
    "sim-0002,127.0.0.2:4059,,,,QSM0000000002,60000002,none\n"
    "sim-0003,127.0.0.2:4060,,,,,60000003,none\n";

client::TSqliteStore& Db() {
  static client::TSqliteStore db(":memory:");
  return db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<client::TFleetMeter> meters = client::MetersOfCsv(kList);
  client::TSqliteStore& db = Db();
  if (size < 2) return 0;
  fuzz::TAllocationBudget budget(size);
  cli::TPushDecoder decoder(meters, {});
  cli::TPushListener listener(decoder);
  listener.OnPushed = [&](const cli::TPushed& p) {
    const bool known = std::any_of(meters.begin(), meters.end(), [&](const auto& m) { return m.Name == p.Meter; });
    fuzz::Require(p.Unknown != known, "a push stored as a meter of the list is not one", p.Meter);
    fuzz::Require(p.Meter != "sim-0001" || p.InvocationCounter >= 0, "an unauthenticated push taken as sim-0001");
    fuzz::Require(p.Meter != "sim-0003" || p.InvocationCounter < 0, "a ciphered push taken as sim-0003");
    db.StoreNotification(client::TNotification{p.Meter, 0, p.InvocationCounter, p.Kind,
                                                            p.Body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                                                            p.Unknown});
  };
  const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const int mode = data[0] % 4;
  cli::TPushListener::TSender sender;
  sender.Peer = "127.0.0.2:4059";
  if (mode == 1) sender.Framer = std::make_unique<THdlcPushReader>();
  if (mode == 3) sender.Framer = std::make_unique<TMBusPushReader>();
  if (mode != 2) {
    const size_t piece = 1 + data[1];
    for (size_t at = 0; at < rest.size(); at += piece)
      if (!listener.Received(sender, rest.substr(at, piece))) break;
  } else {
    sender.Peer += "/udp";
    sender.Datagrams = true;
    for (size_t at = 0; at + 2 <= rest.size();) {
      const size_t len = std::min<size_t>(static_cast<uint8_t>(rest[at]) * 256u + static_cast<uint8_t>(rest[at + 1]),
                                          rest.size() - at - 2);
      listener.Datagram(sender, rest.substr(at + 2, len));
      at += 2 + len;
    }
  }
  listener.FlushLines();
  fuzz::Require(sender.Buffered() <= 8 + 65535 + 256 + (sender.Framer ? 65538 : 0), "a connection holds more than a frame");
  sqlite3_exec(db.Handle(), "DELETE FROM notifications", nullptr, nullptr, nullptr);
  return 0;
}
