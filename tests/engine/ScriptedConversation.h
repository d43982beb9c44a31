// A recorded conversation standing in for the transport under the engine.
// Every exchange the engine makes must match the next step byte for byte; the
// step's canned response (or failure) is what the engine gets back. The engine
// is driven only through its exported C interface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/DLMSProtocol.h"

namespace enginetest {

struct TScriptStep {
  std::string Request;   // expected request, hex (blanks allowed)
  std::string Response;  // canned response, hex (blanks allowed)
  int32_t Result = 0;    // what the callback returns; nonzero makes it fail
  std::string CallBackText = {};  // written to CallBackResult when Result != 0
  // When set, computes the response bytes from the request bytes (for
  // conversations with random challenges); Request, if not empty, is still
  // checked first.
  std::function<std::string(const std::string& request)> Respond = {};
};

// Hex text (blanks ignored) to bytes and back; kept apart from the engine's own
// conversions so the tests do not check the engine against itself.
std::string Bytes(const std::string& hex);
std::string Hex(const std::string& bytes);

class TScriptedConversation {
public:
  explicit TScriptedConversation(std::vector<TScriptStep> steps = {});
  ~TScriptedConversation();

  // Points the record's SendReceiveDataFunc and LogStringFunc at this script.
  void Install(TDLMSProtocolContext& ctx);

  size_t Exchanges() const { return FExchanges; }
  bool AllStepsUsed() const { return FExchanges == FSteps.size(); }
  const std::vector<std::string>& LogLines() const { return FLog; }
  // The title lines of the logged blocks ("REQUEST:", "SENT GBT:", ...).
  std::vector<std::string> LogTitles() const;
  // Every MaxInDataLength the engine offered.
  const std::vector<int32_t>& OfferedLengths() const { return FOffered; }

private:
  static int32_t SendReceive(PDLMSProtocolContext ctx, const uint8_t* out, int32_t outLen, uint8_t* in,
                             int32_t maxIn, int32_t* inLen);
  static void LogLine(const char* s);

  std::vector<TScriptStep> FSteps;
  size_t FExchanges = 0;
  std::vector<std::string> FLog;
  std::vector<int32_t> FOffered;
};

}  // namespace enginetest
