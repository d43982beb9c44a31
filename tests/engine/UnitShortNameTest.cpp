// The short-name lookups the short-name services ask the caller for: what the
// callback receives and how its answer becomes a name or a failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/ExtendedContext.h"

using namespace quillon;

namespace {

struct TSeen {
  std::string InstanceId;  // up to and including the terminating NUL
  int32_t ClassId = 0;
  int32_t ItemId = 0;
};
TSeen gSeen;
int32_t gAnswer = 0;

int32_t Lookup(PDLMSProtocolContext ctx, const uint8_t* instanceId, int32_t classId, int32_t itemId,
               uint16_t* shortName) {
  gSeen.InstanceId.assign(reinterpret_cast<const char*>(instanceId), 7);
  gSeen.ClassId = classId;
  gSeen.ItemId = itemId;
  std::strcpy(ctx->CallBackResult, "No shortname found for instance 0000010000FF");
  *shortName = 0xFA08;
  return gAnswer;
}

TEST(ShortNames, CallbackReceivesANulTerminatedLogicalName) {
  TDLMSProtocolContext ctx{};
  ctx.GetShortNameOfAttributeFunc = Lookup;
  ctx.GetShortNameOfMethodFunc = Lookup;
  const PduStr name("\x00\x00\x01\x00\x00\xFF", 6);
  const struct {
    int32_t Answer;
    bool Fails;
  } answers[] = {{0, false}, {2, false}, {-1, false}, {1, true}};
  for (const auto& a : answers) {
    SCOPED_TRACE(a.Answer);
    gAnswer = a.Answer;
    for (bool method : {false, true}) {
      gSeen = TSeen{};
      auto ask = [&] {
        return method ? TContextHelper::ShortNameOfMethod(&ctx, name, 8, 3)
                      : TContextHelper::ShortNameOfAttribute(&ctx, name, 8, 3);
      };
      if (a.Fails) {
        try {
          ask();
          ADD_FAILURE() << "a result of 1 must fail";
        } catch (const EGeneralError& e) {
          EXPECT_STREQ(e.what(), "No shortname found for instance 0000010000FF");
        }
      } else {
        EXPECT_EQ(ask(), 0xFA08);
      }
      EXPECT_EQ(gSeen.InstanceId, name + '\0');
      EXPECT_EQ(gSeen.ClassId, 8);
      EXPECT_EQ(gSeen.ItemId, 3);
    }
  }
}

TEST(ShortNames, MissingCallbackIsNamed) {
  TDLMSProtocolContext ctx{};
  const PduStr name("\x00\x00\x01\x00\x00\xFF", 6);
  try {
    TContextHelper::ShortNameOfAttribute(&ctx, name, 1, 2);
    ADD_FAILURE();
  } catch (const EGeneralError& e) {
    EXPECT_STREQ(e.what(), "GetShortNameOfAttribute call-back not set");
  }
  try {
    TContextHelper::ShortNameOfMethod(&ctx, name, 1, 2);
    ADD_FAILURE();
  } catch (const EGeneralError& e) {
    EXPECT_STREQ(e.what(), "GetShortNameOfMethod call-back not set");
  }
}

}  // namespace
