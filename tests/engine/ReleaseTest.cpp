// Releasing an association: the plain release request and what the answer
// must hold before the engine state goes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EngineFixture.h"

using namespace enginetest;

namespace {

const char kReleaseRequest[] = "62 03 80 01 00";  // reason normal

struct TReleaseCase {
  const char* Label;
  const char* Answer;
  const char* Message;  // null: released
};

class Release : public EngineTest, public ::testing::WithParamInterface<TReleaseCase> {};

TEST_P(Release, AnswerDecidesWhetherTheStateGoes) {
  const TReleaseCase& c = GetParam();
  // A refused release may be retried: the second attempt sends a new request.
  std::vector<TScriptStep> steps = {{kReleaseRequest, c.Answer}};
  if (c.Message != nullptr) steps.push_back({kReleaseRequest, "63 03 80 01 00"});
  TScriptedConversation script(steps);
  EstablishPre(script, cbGet, 1024);
  Ctx.RLRQSupported = 1;

  if (c.Message != nullptr) {
    EXPECT_EQ(ReleaseAA(&Ctx), 1);
    EXPECT_EQ(ResultText(), c.Message);
    ASSERT_NE(Ctx.ReservedRef, nullptr) << "state kept for a retry";
    EXPECT_EQ(ReadAttributes(&Ctx, "<Nonsense />"), 1);
    EXPECT_NE(ResultText(), "Context not properly initialized (DoEstablishAA not called)");
  }
  EXPECT_EQ(ReleaseAA(&Ctx), 0) << ResultText();
  EXPECT_EQ(Ctx.ReservedRef, nullptr);
  EXPECT_TRUE(script.AllStepsUsed());
  EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 1);
  EXPECT_EQ(ResultText(), "Context not properly initialized (DoEstablishAA not called)");
}

INSTANTIATE_TEST_SUITE_P(
    Plain, Release,
    ::testing::Values(TReleaseCase{"Normal", "63 03 80 01 00", nullptr},
                      TReleaseCase{"ReasonNotFinished", "63 03 80 01 01", "Unexpected reason in ReleaseResponse"},
                      TReleaseCase{"ReasonAbsent", "63 00", "Unexpected reason in ReleaseResponse"},
                      TReleaseCase{"NotAReleaseResponse", "C4 01 C1 00 11 05", "Unexpected response to ReleaseRequest"},
                      TReleaseCase{"ExceptionResponse", "D8 01 02", "Unexpected response to ReleaseRequest"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(EngineTest, ReleaseRequestIsLoggedAndNeverProtected) {
  // Layers and a suite are configured, yet the release request goes plain.
  const std::string key(16, 'K'), title(8, 'T');
  Ctx.EncryptionKey = Ctx.KeyEncryptionKey = reinterpret_cast<const uint8_t*>(key.data());
  Ctx.ClientSystemTitle = Ctx.ServerSystemTitle = reinterpret_cast<const uint8_t*>(title.data());
  Ctx.SecuritySuite = 1;
  Ctx.ProtectionLayers[0].Kind = 1;
  Ctx.ProtectionLayers[0].Style = 1;
  TScriptedConversation script(std::vector<TScriptStep>{{kReleaseRequest, "63 03 80 01 00"}});
  EstablishPre(script, cbGet, 1024);
  Ctx.RLRQSupported = 1;
  EXPECT_EQ(ReleaseAA(&Ctx), 0) << ResultText();
  const std::vector<std::string> titles = {"REQUEST:", "RESPONSE:"};
  EXPECT_EQ(script.LogTitles(), titles);
  EXPECT_EQ(script.LogLines().at(1), std::string(20, ' ') + "<ReleaseRequest>");
}

}  // namespace
