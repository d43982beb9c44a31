// What meters push on their own, as their customer ports and head-end links
// send it: a push spread over general-block-transfer blocks joined again,
// and the values of lists that name themselves (or that a layout file names)
// keyed by their OBIS codes. Shared by the listener and the translator.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/ObjectRef.h"
#include "client/Value.h"

namespace quillon::client {

// The general-block-transfer APDU's tag.
inline constexpr uint8_t kGeneralBlockTransferTag = 0xE0;

// Joins the blocks of one sender's general-block-transfer series into the
// APDU they carry. One series at a time, as a meter sends them: blocks
// numbered from 1, each the one after the last, until the one marked last.
// Bounded in blocks, bytes and time; whatever breaks a series drops it
// whole (never half a message) with an error that says why.
class TBlockJoiner {
public:
  using TClock = std::chrono::steady_clock;
  struct TLimits {
    size_t MaxBlocks = 1024;
    size_t MaxBytes = 1u << 20;  // the joined APDU
    TClock::duration Deadline = std::chrono::seconds(60);  // from the first block to the last
  };
  TBlockJoiner() = default;
  explicit TBlockJoiner(TLimits limits) : FLimits(limits) {}

  // Takes one general-block-transfer APDU (tag E0 included). Returns the
  // joined APDU when it was the last block; nullopt while the series goes
  // on. Throws a general error for a block that is malformed, out of order
  // or over the bounds; the series it broke is dropped.
  std::optional<std::string> Add(std::string_view apdu, TClock::time_point now);
  // An incomplete series past its deadline is dropped; the returned text
  // says so ("incomplete block series dropped: 3 blocks (312 bytes) in 60
  // s, no last block"). nullopt when nothing was dropped.
  std::optional<std::string> Expire(TClock::time_point now);
  // Bytes of an incomplete series held.
  size_t Held() const { return FData.size(); }
  bool Pending() const { return FBlocks != 0; }

private:
  void Drop() {
    FData.clear();
    FData.shrink_to_fit();
    FBlocks = 0;
  }
  TLimits FLimits;
  std::string FData;
  size_t FBlocks = 0;  // blocks joined so far; the next one is FBlocks + 1
  TClock::time_point FStarted{};
};

// How one value of a named list is written: {"value": ..., and when a scaler
// and unit are known "scaler", "unit", "scaled"}.
nlohmann::json NamedValueJson(const TValue& v, const std::optional<TScalerUnit>& su);

// One value of a list that names it, pointing into the list.
struct TNamedValue {
  std::string Key;  // dotted OBIS, "/attribute" when not 2; or "list-version"
  const TValue* Value = nullptr;
  std::optional<TScalerUnit> ScalerUnit;
};
// The names a pushed list carries itself (see SelfNamedValues); nullopt
// when it names nothing. The pointers are into `body`.
std::optional<std::vector<TNamedValue>> SelfNamed(const TValue& body);
// {key: NamedValueJson, ...}; a key met twice gets "#2", "#3".
nlohmann::json NamedValuesJson(const std::vector<TNamedValue>& values);

// The values of a pushed list that names them itself, keyed by dotted OBIS
// ("1.0.1.7.0.255", or "0.0.1.0.0.255/3" for another attribute than 2):
// - structures {OBIS, value[, {scaler, unit}]} and OBIS codes followed by
//   their values, in any mix, after at most one text, the list's version
//   ("list-version");
// - the push object list {class, OBIS, attribute, index}... first, the values
//   after it, one per entry.
// nullopt for a list that names nothing; it then stays as it came.
std::optional<nlohmann::json> SelfNamedValues(const TValue& body);

// One position of a fixed list a make documents.
struct TLayoutEntry {
  TLogicalName Name{};
  int ClassId = 0;
  int Attribute = 2;
  std::optional<TScalerUnit> ScalerUnit;
};
using TPushLayout = std::vector<TLayoutEntry>;

// A layout file: one line per position of the list, "OBIS [CLASS [SCALER
// UNIT]]", the unit as its symbol (W, Wh, var, V, A, ...) or its code, "-"
// for none; blank lines and "#" comments skipped. Errors name the file and
// line. At most 1000 positions.
TPushLayout ReadPushLayout(const std::string& path);
TPushLayout ParsePushLayout(std::string_view text, const std::string& name);
// The values of a list named by a layout of the same length (a structure or
// array of that many plain values); nullopt when it does not fit.
std::optional<nlohmann::json> LayoutNamedValues(const TValue& body, const TPushLayout& layout);

// A telegram as meters' P1 ports write it (text lines "1-0:1.8.0(001234.567*kWh)"
// between an identification line "/XXX5..." and "!" with a CRC-16 of the
// whole), as some meters send it inside a general-glo-ciphering APDU
// instead of a data notification: {"identification": ..., "values": {OBIS:
// {"value", "unit"}}}. A telegram whose CRC does not match, or with a line
// that is no OBIS line, fails.
bool LooksLikeTelegram(std::string_view bytes);
nlohmann::json TelegramJson(std::string_view text);

}  // namespace quillon::client
