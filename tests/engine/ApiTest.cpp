// The exported interface itself: record layout, exported names, the result
// convention, the initialised check and the validation inside EstablishAA.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "EngineFixture.h"

using namespace enginetest;
using ::testing::StartsWith;

extern "C" {
struct CFieldOffset {
  const char* Name;
  size_t Offset;
};
extern const CFieldOffset quillon_c_offsets[];
extern const size_t quillon_c_protection_layer_size;
int quillon_c_read_uninitialised(const char** text);
}

namespace {

const char kNotInitialised[] = "Context not properly initialized (DoEstablishAA not called)";

TEST(ExportedRecord, LayoutSeenFromCMatchesTheBinaryInterface) {
  // The published offsets of every field; the C translation unit reports what
  // a C compiler made of the header.
  const std::pair<const char*, size_t> expected[] = {
      {"ClientId", 0}, {"ServerId", 4}, {"ApplicationContext", 8}, {"MechanismName", 12},
      {"UseDedicatedKey", 16}, {"SignInitiateRequest", 20}, {"InitiateRequestCipheringStyle", 24},
      {"Secret", 32}, {"HLSChallenge", 48}, {"ClientUserIdSupported", 64}, {"ClientUserId", 68},
      {"RLRQSupported", 72}, {"SecuritySuite", 76}, {"EncryptionKey", 80}, {"AuthenticationKey", 88},
      {"KeyEncryptionKey", 96}, {"ClientPrivateSigningKey", 104}, {"ClientPublicSigningKey", 112},
      {"ClientPrivateKeyAgreementKey", 120}, {"ClientPublicKeyAgreementKey", 128},
      {"ClientPrivateEphemeralKey", 136}, {"ClientPublicEphemeralKey", 144}, {"ThirdPartyPrivateSigningKey", 152},
      {"ThirdPartyPublicSigningKey", 160}, {"ThirdPartyPrivateKeyAgreementKey", 168},
      {"ThirdPartyPublicKeyAgreementKey", 176}, {"ThirdPartyPrivateEphemeralKey", 184},
      {"ThirdPartyPublicEphemeralKey", 192}, {"ServerPublicSigningKey", 200}, {"ServerPublicKeyAgreementKey", 208},
      {"ClientSystemTitle", 216}, {"ThirdPartysystemTitle", 224}, {"ServerSystemTitle", 232},
      {"ProtectionLayers", 240}, {"Options", 496}, {"DoNotAdvertizeCBBits", 500}, {"NegotiatedConformance", 504},
      {"NegotiatedMaxPduSize", 508}, {"ClientMaxReceivePDUSize", 512}, {"Result", 520}, {"CallBackResult", 528},
      {"LogStringFunc", 784}, {"SendReceiveDataFunc", 792}, {"GetShortNameOfAttributeFunc", 800},
      {"GetShortNameOfMethodFunc", 808}, {"GetNextInvocationCounterFunc", 816}, {"ReservedRef", 824},
      {"ReservedForDllUser", 832}};
  size_t i = 0;
  for (; quillon_c_offsets[i].Name != nullptr; ++i) {
    ASSERT_LT(i, std::size(expected));
    EXPECT_STREQ(quillon_c_offsets[i].Name, expected[i].first);
    EXPECT_EQ(quillon_c_offsets[i].Offset, expected[i].second) << expected[i].first;
  }
  EXPECT_EQ(i, std::size(expected));
  EXPECT_EQ(quillon_c_offsets[i].Offset, 840u) << "record size";
  EXPECT_EQ(quillon_c_protection_layer_size, 64u);
}

TEST(ExportedRecord, PlainCCallerGetsTheNotInitialisedText) {
  const char* text = nullptr;
  EXPECT_EQ(quillon_c_read_uninitialised(&text), 1);
  EXPECT_STREQ(text, kNotInitialised);
}

TEST(ExportedLibrary, ExportsExactlyTheEightEntryPoints) {
  const std::string command = std::string("nm -D --defined-only ") + QUILLON_DLMSPROTOCOL_LIB;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  std::array<char, 512> line{};
  while (std::fgets(line.data(), line.size(), pipe) != nullptr) {
    char address[128], kind[8], name[384];
    if (std::sscanf(line.data(), "%127s %7s %383s", address, kind, name) == 3) names.insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0) << command;
  const std::set<std::string> expected = {"ClearContext",    "DLMSProtocolVersion", "EstablishAA",
                                          "ReadAttributes",  "WriteAttributes",     "InvokeMethod",
                                          "SendReceiveAPDU", "ReleaseAA"};
  EXPECT_EQ(names, expected);
}

TEST(ExportedLibrary, VersionTextNeverChanges) {
  const std::string before = DLMSProtocolVersion();
  EXPECT_EQ(before, "DLMSProtocol version 107");
  TDLMSProtocolContext ctx;
  ClearContext(&ctx);
  ReadAttributes(&ctx, "");
  ctx.ApplicationContext = 9;
  EstablishAA(&ctx);
  ReleaseAA(&ctx);
  EXPECT_EQ(std::string(DLMSProtocolVersion()), before);
}

TEST(ExportedLibrary, ClearContextZeroesEveryByte) {
  TDLMSProtocolContext ctx;
  std::memset(&ctx, 0xA5, sizeof ctx);
  EXPECT_EQ(ClearContext(&ctx), 0);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&ctx);
  for (size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

// Every entry point that needs engine state, called the way a caller would.
struct TEntryCall {
  const char* Name;
  int32_t (*Call)(PDLMSProtocolContext);
};
const TEntryCall kStatefulEntries[] = {
    {"ReadAttributes", [](PDLMSProtocolContext c) { return ReadAttributes(c, "<GetRequestNormal />"); }},
    {"WriteAttributes", [](PDLMSProtocolContext c) { return WriteAttributes(c, "<SetRequestNormal />"); }},
    {"InvokeMethod", [](PDLMSProtocolContext c) { return InvokeMethod(c, "<ActionRequestNormal />", 1); }},
    {"SendReceiveAPDU",
     [](PDLMSProtocolContext c) {
       const uint8_t out[] = {0xC0, 0x01, 0xC1, 0x00, 0x03, 0x01, 0x00, 0x01, 0x08, 0x00, 0xFF, 0x02, 0x00};
       uint8_t in[16];
       int32_t inLen = -7;
       return SendReceiveAPDU(c, out, sizeof out, in, sizeof in, &inLen);
     }},
    {"ReleaseAA", [](PDLMSProtocolContext c) { return ReleaseAA(c); }},
};

class NotInitialised : public EngineTest, public ::testing::WithParamInterface<TEntryCall> {};

TEST_P(NotInitialised, ClearedContextFailsWithoutCallingBack) {
  TScriptedConversation script;  // no exchange allowed
  script.Install(Ctx);
  Ctx.RLRQSupported = 1;
  EXPECT_EQ(GetParam().Call(&Ctx), 1);
  EXPECT_EQ(ResultText(), kNotInitialised);
  EXPECT_EQ(script.Exchanges(), 0u);
  EXPECT_TRUE(script.LogLines().empty());
}

TEST_P(NotInitialised, StaleOrForeignReservedRefIsNotTrusted) {
  TScriptedConversation script;
  script.Install(Ctx);
  alignas(8) unsigned char garbage[64];
  std::memset(garbage, 0x2B, sizeof garbage);
  for (void* ref : {static_cast<void*>(garbage), reinterpret_cast<void*>(uintptr_t{0x10})}) {
    Ctx.ReservedRef = ref;
    EXPECT_EQ(GetParam().Call(&Ctx), 1);
    EXPECT_EQ(ResultText(), kNotInitialised);
  }
  Ctx.ReservedRef = nullptr;
}

TEST_P(NotInitialised, NullContextReturnsOne) { EXPECT_EQ(GetParam().Call(nullptr), 1); }

TEST(ExportedLibrary, NullContextIsRefusedBySetupCalls) {
  EXPECT_EQ(ClearContext(nullptr), 1);
  EXPECT_EQ(EstablishAA(nullptr), 1);
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, NotInitialised, ::testing::ValuesIn(kStatefulEntries),
                         [](const auto& info) { return std::string(info.param.Name); });

// EstablishAA's checks, in the order they are made.
struct TEstablishCase {
  const char* Label;
  int32_t ApplicationContext;
  int32_t MechanismName;
  bool WithTransport;
  const char* Message;
};

class EstablishChecks : public EngineTest, public ::testing::WithParamInterface<TEstablishCase> {};

uint32_t gCounterCalls = 0;
uint32_t CountingCounter() { return ++gCounterCalls; }

TEST_P(EstablishChecks, RefusedBeforeAnyCallbackAndStateSurvives) {
  const TEstablishCase& c = GetParam();
  TScriptedConversation script;
  script.Install(Ctx);
  if (!c.WithTransport) Ctx.SendReceiveDataFunc = nullptr;
  Ctx.ApplicationContext = c.ApplicationContext;
  Ctx.MechanismName = c.MechanismName;
  Ctx.Options = DLMS_OPTION_PRE_ESTABLISHED;
  Ctx.NegotiatedConformance = cbGet;
  Ctx.NegotiatedMaxPduSize = 1024;
  gCounterCalls = 0;
  Ctx.GetNextInvocationCounterFunc = CountingCounter;

  EXPECT_EQ(EstablishAA(&Ctx), 1);
  EXPECT_EQ(ResultText(), c.Message);
  EXPECT_EQ(script.Exchanges(), 0u);
  EXPECT_TRUE(script.LogLines().empty());
  EXPECT_EQ(gCounterCalls, 0u);

  // The state was created before the checks, so the next call is past the
  // initialised check and fails for its own reason.
  EXPECT_EQ(ReadAttributes(&Ctx, "<NotARequest/>"), 1);
  EXPECT_NE(ResultText(), kNotInitialised);
}

INSTANTIATE_TEST_SUITE_P(
    Record, EstablishChecks,
    ::testing::Values(
        TEstablishCase{"ContextZero", 0, 1, true, "Illegal Application Context Name"},
        TEstablishCase{"ContextFive", 5, 1, true, "Illegal Application Context Name"},
        TEstablishCase{"ContextCheckedBeforeMechanism", 5, 9, false, "Illegal Application Context Name"},
        TEstablishCase{"MechanismZero", 3, 0, true, "Illegal Mechanism Name"},
        TEstablishCase{"MechanismNine", 1, 9, false, "Illegal Mechanism Name"},
        TEstablishCase{"NoTransport", 4, 8, false, "Call-back \"SendReceiveDataFunc\" is not specified"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(EngineTest, BuiltInCounterIsInstalledWhenNoneGiven) {
  TScriptedConversation script;
  EstablishPre(script, cbGet, 1024);
  ASSERT_NE(Ctx.GetNextInvocationCounterFunc, nullptr);
  const uint32_t first = Ctx.GetNextInvocationCounterFunc();
  const uint32_t second = Ctx.GetNextInvocationCounterFunc();
  EXPECT_GT(second, first);
}

TEST_F(EngineTest, CallersOwnCounterIsKept) {
  TScriptedConversation script;
  Ctx.GetNextInvocationCounterFunc = CountingCounter;
  EstablishPre(script, cbGet, 1024);
  EXPECT_EQ(Ctx.GetNextInvocationCounterFunc, &CountingCounter);
}

struct TPreEstablishedCase {
  uint32_t Conformance;
  int32_t MaxPdu;
  bool Accepted;
};

class PreEstablished : public EngineTest, public ::testing::WithParamInterface<TPreEstablishedCase> {};

TEST_P(PreEstablished, NegotiatedFieldsAreCheckedAndNothingIsSent) {
  TScriptedConversation script;
  script.Install(Ctx);
  Ctx.Options = DLMS_OPTION_PRE_ESTABLISHED;
  Ctx.NegotiatedConformance = GetParam().Conformance;
  Ctx.NegotiatedMaxPduSize = GetParam().MaxPdu;
  EXPECT_EQ(EstablishAA(&Ctx), GetParam().Accepted ? 0 : 1);
  if (!GetParam().Accepted) {
    EXPECT_EQ(ResultText(), "Pre-established association defined with an incorrect \"Negotiated\" element.");
  }
  EXPECT_EQ(script.Exchanges(), 0u);
  EXPECT_EQ(Ctx.NegotiatedMaxPduSize, GetParam().MaxPdu) << "the caller's values are not rewritten";
}

INSTANTIATE_TEST_SUITE_P(Negotiated, PreEstablished,
                         ::testing::Values(TPreEstablishedCase{cbGet, 11, false},
                                           TPreEstablishedCase{0, 1024, false},
                                           TPreEstablishedCase{cbGet, -1, false},
                                           TPreEstablishedCase{cbGet, 12, true},
                                           TPreEstablishedCase{cbGet | cbSet, 65535, true}));

TEST_F(EngineTest, ReleaseWithoutReleaseRequestOnlyDropsTheState) {
  TScriptedConversation script;
  EstablishPre(script, cbGet, 1024);
  Ctx.RLRQSupported = 0;
  EXPECT_EQ(ReleaseAA(&Ctx), 0);
  EXPECT_EQ(Ctx.ReservedRef, nullptr);
  EXPECT_EQ(script.Exchanges(), 0u);
  EXPECT_EQ(ReadAttributes(&Ctx, "<GetRequestNormal />"), 1);
  EXPECT_EQ(ResultText(), kNotInitialised);
}

TEST_F(EngineTest, EstablishingAgainReplacesTheState) {
  TScriptedConversation script;
  Ctx.ApplicationContext = 7;
  script.Install(Ctx);
  ASSERT_EQ(EstablishAA(&Ctx), 1);
  EXPECT_EQ(ResultText(), "Illegal Application Context Name");
  Ctx.ApplicationContext = 3;
  EstablishPre(script, cbGet, 1024);
  EXPECT_EQ(ResultText(), "") << "the failed attempt's text went with its state";
  void* first = Ctx.ReservedRef;
  ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
  EXPECT_NE(Ctx.ReservedRef, nullptr);
  // The first state is gone: a record still pointing at it is not initialised.
  if (Ctx.ReservedRef != first) {
    TDLMSProtocolContext copy = Ctx;
    copy.ReservedRef = first;
    EXPECT_EQ(ReadAttributes(&copy, "<GetRequestNormal />"), 1);
    EXPECT_STREQ(copy.Result, kNotInitialised);
  }
}

TEST_F(EngineTest, StaleCopyOfARecordCannotReachALaterAssociation) {
  TScriptedConversation script(std::vector<TScriptStep>{{kGetNormalBytes, "C4 01 C1 00 11 05"}});
  EstablishPre(script, cbGet, 1024);
  const TDLMSProtocolContext stale = Ctx;
  DropState();
  ASSERT_EQ(Ctx.ReservedRef, nullptr);
  // The new state may well take the memory of the one just released; the
  // copy still belongs to the old association.
  EstablishPre(script, cbGet, 1024);
  TDLMSProtocolContext copy = stale;
  EXPECT_EQ(ReadAttributes(&copy, kGetNormal), 1);
  EXPECT_STREQ(copy.Result, kNotInitialised);
  EXPECT_EQ(script.Exchanges(), 0u);
  ASSERT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << "the live record still works: " << ResultText();
  EXPECT_EQ(ResultText(), kUnsigned5Result);
}

}  // namespace
