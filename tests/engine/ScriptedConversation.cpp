#include "ScriptedConversation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace enginetest {

namespace {
// LogStringFunc carries no context, so the script that logs is the one most
// recently installed on this thread.
thread_local TScriptedConversation* gCurrent = nullptr;

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  throw std::invalid_argument(std::string("not a hex digit: ") + c);
}
}  // namespace

std::string Bytes(const std::string& hex) {
  std::string digits;
  for (char c : hex)
    if (c != ' ' && c != '\n') digits += c;
  if (digits.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits: " + hex);
  std::string out;
  for (size_t i = 0; i < digits.size(); i += 2)
    out += static_cast<char>(Nibble(digits[i]) * 16 + Nibble(digits[i + 1]));
  return out;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

TScriptedConversation::TScriptedConversation(std::vector<TScriptStep> steps) : FSteps(std::move(steps)) {}

TScriptedConversation::~TScriptedConversation() {
  if (gCurrent == this) gCurrent = nullptr;
}

void TScriptedConversation::Install(TDLMSProtocolContext& ctx) {
  ctx.SendReceiveDataFunc = &SendReceive;
  ctx.LogStringFunc = &LogLine;
  ctx.ReservedForDllUser = this;
  gCurrent = this;
}

std::vector<std::string> TScriptedConversation::LogTitles() const {
  std::vector<std::string> titles;
  for (const auto& line : FLog)
    if (!line.empty() && line.front() != ' ' && line.back() == ':') titles.push_back(line);
  return titles;
}

int32_t TScriptedConversation::SendReceive(PDLMSProtocolContext ctx, const uint8_t* out, int32_t outLen,
                                           uint8_t* in, int32_t maxIn, int32_t* inLen) {
  auto* self = static_cast<TScriptedConversation*>(ctx->ReservedForDllUser);
  self->FOffered.push_back(maxIn);
  auto fail = [ctx](const std::string& text) {
    std::snprintf(ctx->CallBackResult, sizeof(ctx->CallBackResult), "%s", text.c_str());
    return 1;
  };
  const std::string sent(reinterpret_cast<const char*>(out), static_cast<size_t>(outLen));
  if (self->FExchanges >= self->FSteps.size()) {
    ADD_FAILURE() << "unscripted exchange " << self->FExchanges + 1 << ": " << Hex(sent);
    return fail("script exhausted");
  }
  const TScriptStep& step = self->FSteps[self->FExchanges++];
  const std::string expected = Bytes(step.Request);
  if ((!step.Respond || !step.Request.empty()) && sent != expected) {
    ADD_FAILURE() << "exchange " << self->FExchanges << " sent\n  " << Hex(sent) << "\nexpected\n  "
                  << Hex(expected);
    return fail("request differs from the script");
  }
  if (step.Result != 0) {
    std::snprintf(ctx->CallBackResult, sizeof(ctx->CallBackResult), "%s", step.CallBackText.c_str());
    return step.Result;
  }
  const std::string answer = step.Respond ? step.Respond(sent) : Bytes(step.Response);
  if (static_cast<int32_t>(answer.size()) > maxIn) return fail("response does not fit");
  std::memcpy(in, answer.data(), answer.size());
  *inLen = static_cast<int32_t>(answer.size());
  return 0;
}

void TScriptedConversation::LogLine(const char* s) {
  if (gCurrent != nullptr) gCurrent->FLog.emplace_back(s);
}

}  // namespace enginetest
