// Opening associations through the exported interface against a meter whose
// side of the conversation is computed from OpenSSL primitives.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "TestMeter.h"

using namespace enginetest;

namespace {

// ------------------------------------------------ every mechanism, both ways

struct TMechanismCase {
  int32_t Context;
  int32_t Mechanism;
};

class Mechanisms : public EngineTest, public ::testing::WithParamInterface<TMechanismCase> {};

TEST_P(Mechanisms, EstablishProveAndRelease) {
  const TMechanismCase c = GetParam();
  TTestMeter meter(c.Context, c.Mechanism);
  meter.Configure(Ctx);
  Ctx.RLRQSupported = 1;
  const bool hls = c.Mechanism >= 3;
  std::vector<TScriptStep> steps = {meter.Step()};
  if (hls) steps.push_back(meter.Step());
  steps.push_back(meter.Step());  // release
  TScriptedConversation script(steps);
  script.Install(Ctx);

  ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
  EXPECT_EQ(Ctx.NegotiatedMaxPduSize, 0x0400);
  EXPECT_EQ(Ctx.NegotiatedConformance, meter.Conformance);
  // What the client put into its request, as the meter saw it.
  const bool titled = c.Context == 2 || c.Context == 4 || c.Mechanism >= 6;
  EXPECT_EQ(Hex(meter.CallingTitle), titled ? Hex(meter.Keys.ClientTitle) : "");
  if (c.Mechanism == 2) {
    EXPECT_EQ(meter.CtoS, meter.Keys.Secret);
  }
  if (c.Mechanism >= 4) {
    EXPECT_GE(meter.CtoS.size(), 8u);
    EXPECT_LE(meter.CtoS.size(), 64u);
  }
  if (hls) {
    EXPECT_TRUE(meter.ClientProofValid) << "F(StoC) sent: " << Hex(meter.ClientProof);
  }
  EXPECT_EQ(Hex(meter.InitiateRequest.substr(0, 5)), "01 00 00 00 06");
  if (c.Context == 4) {
    const auto& log = script.LogLines();
    EXPECT_NE(std::find(log.begin(), log.end(), "DECIPHERED USER INFORMATION"), log.end());
  }

  ASSERT_EQ(ReleaseAA(&Ctx), 0) << ResultText();
  EXPECT_EQ(Ctx.ReservedRef, nullptr);
  EXPECT_TRUE(script.AllStepsUsed());
}

std::vector<TMechanismCase> AllMechanisms() {
  std::vector<TMechanismCase> v;
  for (int32_t context : {1, 2, 3, 4})
    for (int32_t m = 1; m <= 8; ++m) v.push_back({context, m});
  return v;
}

std::string MechanismCaseName(const ::testing::TestParamInfo<TMechanismCase>& info) {
  static const char* const contexts[] = {"", "SN", "SNCiphered", "LN", "LNCiphered"};
  return std::string(contexts[info.param.Context]) + "Mechanism" + std::to_string(info.param.Mechanism);
}

INSTANTIATE_TEST_SUITE_P(All, Mechanisms, ::testing::ValuesIn(AllMechanisms()), MechanismCaseName);

// ---------------------------------------------------------- the AARQ bytes

// The lowest-security LN request: context name and InitiateRequest only.
// Conformance 60 FE DF: bits 1 2 8-14 16 17 19-23.
const char kLowestAARQ[] =
    "60 1D A1 09 06 07 60 85 74 05 08 01 01 BE 10 04 0E 01 00 00 00 06 5F 1F 04 00 60 FE DF FF FF";

TEST_F(EngineTest, RequestCarriesWhatTheRecordAsks) {
  const struct {
    const char* Label;
    int32_t Context;
    int32_t MaxPdu;
    uint32_t Hidden;
    int32_t UserId;  // -1: not supported
    const char* AARQ;
  } cases[] = {
      {"lowest LN", 3, 0, 0, -1, kLowestAARQ},
      {"PDU size 1024", 3, 1024, 0, -1,
       "60 1D A1 09 06 07 60 85 74 05 08 01 01 BE 10 04 0E 01 00 00 00 06 5F 1F 04 00 60 FE DF 04 00"},
      {"PDU size 11 is replaced", 3, 11, 0, -1, kLowestAARQ},
      {"PDU size 65536 is replaced", 3, 65536, 0, -1, kLowestAARQ},
      {"Access hidden in LN", 3, 0, 1u << 17, -1,
       "60 1D A1 09 06 07 60 85 74 05 08 01 01 BE 10 04 0E 01 00 00 00 06 5F 1F 04 00 60 FE 9F FF FF"},
      {"Access hidden in SN changes nothing", 1, 0, 1u << 17, -1,
       "60 1D A1 09 06 07 60 85 74 05 08 01 02 BE 10 04 0E 01 00 00 00 06 5F 1F 04 00 7C 1B A0 FF FF"},
      {"client user id", 3, 0, 0, 0x2A,
       "60 22 A1 09 06 07 60 85 74 05 08 01 01 A9 03 02 01 2A BE 10 04 0E 01 00 00 00 06 5F 1F 04 00 60 FE DF FF FF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    Ctx.ApplicationContext = c.Context;
    Ctx.ClientMaxReceivePDUSize = c.MaxPdu;
    Ctx.DoNotAdvertizeCBBits = c.Hidden;
    Ctx.ClientUserIdSupported = c.UserId >= 0;
    Ctx.ClientUserId = c.UserId;
    // The answer is refused; only the request matters here.
    TScriptedConversation script(std::vector<TScriptStep>{{c.AARQ, "C4 01 C1 00 11 05"}});
    script.Install(Ctx);
    EXPECT_EQ(EstablishAA(&Ctx), 1);
    EXPECT_EQ(ResultText(), "Unexpected response to AssociationRequest");
    EXPECT_TRUE(script.AllStepsUsed());
    DropState();
  }
}

TEST_F(EngineTest, LowSecurityRequestCarriesTheSecret) {
  TTestMeter meter(3, 2);
  meter.Configure(Ctx);
  const std::string aarq =
      "60 35 A1 09 06 07 60 85 74 05 08 01 01 8A 02 07 80 8B 07 60 85 74 05 08 02 01 AC 09 80 07 31 32 33 34 35 36 37"
      " BE 10 04 0E 01 00 00 00 06 5F 1F 04 00 60 FE DF FF FF";
  TScriptedConversation script(std::vector<TScriptStep>{{aarq, ""}});
  script.Install(Ctx);
  EXPECT_EQ(EstablishAA(&Ctx), 1);
  EXPECT_TRUE(script.AllStepsUsed());
}

TEST_F(EngineTest, ChallengesAreFreshAndOfRandomLength) {
  std::set<std::string> challenges;
  std::set<size_t> lengths;
  const int rounds = 200;
  for (int i = 0; i < rounds; ++i) {
    TTestMeter meter(3, 4);
    meter.Configure(Ctx);
    TScriptedConversation script(std::vector<TScriptStep>{meter.Step(), meter.Step()});
    script.Install(Ctx);
    ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
    ASSERT_GE(meter.CtoS.size(), 8u);
    ASSERT_LE(meter.CtoS.size(), 64u);
    challenges.insert(meter.CtoS);
    lengths.insert(meter.CtoS.size());
    DropState();
  }
  EXPECT_EQ(challenges.size(), static_cast<size_t>(rounds));
  // 57 possible lengths; 200 uniform draws hit far more than 20 of them.
  EXPECT_GT(lengths.size(), 20u);
}

TEST_F(EngineTest, GivenChallengeIsSentAsIs) {
  TTestMeter meter(3, 5);
  meter.Configure(Ctx);
  std::string challenge = Bytes("A1A2A3A4A5A6A7A8A9");
  Ctx.HLSChallenge.Size = static_cast<int32_t>(challenge.size());
  Ctx.HLSChallenge.Bytes = reinterpret_cast<uint8_t*>(challenge.data());
  TScriptedConversation script(std::vector<TScriptStep>{meter.Step(), meter.Step()});
  script.Install(Ctx);
  ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
  EXPECT_EQ(Hex(meter.CtoS), Hex(challenge));
}

TEST_F(EngineTest, DedicatedKeyTravelsInsideTheProtectedInitiateRequest) {
  TTestMeter meter(4, 1);
  meter.Configure(Ctx);
  Ctx.UseDedicatedKey = 1;
  TScriptedConversation script(std::vector<TScriptStep>{meter.Step()});
  script.Install(Ctx);
  ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
  // 01, dedicated key present (01) with 16 bytes, then the usual fields.
  ASSERT_EQ(meter.InitiateRequest.size(), 2u + 17u + 3u + 9u);
  EXPECT_EQ(Hex(meter.InitiateRequest.substr(0, 3)), "01 01 10");
  EXPECT_EQ(Hex(meter.InitiateRequest.substr(19)), "00 00 06 5F 1F 04 00 60 FE DF FF FF");
}

TEST_F(EngineTest, DedicatedKeyIsNeverProposedInClear) {
  // Without a ciphered context the InitiateRequest goes unprotected, and the
  // key with it: the record is refused before anything is sent.
  for (int32_t context : {1, 3}) {
    SCOPED_TRACE(context);
    TTestMeter meter(context, 1);
    meter.Configure(Ctx);
    Ctx.SecuritySuite = 1;
    Ctx.UseDedicatedKey = 1;
    TScriptedConversation script;
    script.Install(Ctx);
    EXPECT_EQ(EstablishAA(&Ctx), 1);
    EXPECT_EQ(ResultText(), "Dedicated key not allowed in an unciphered application context");
    EXPECT_EQ(script.Exchanges(), 0u);
    DropState();
  }
}

// ------------------------------------------------------ broken AAREs

struct TBrokenAare {
  const char* Label;
  int32_t Context;
  int32_t Mechanism;
  std::function<void(TAare&, const TTestMeter&)> Break;
  const char* Message;
};

const std::vector<TBrokenAare>& BrokenAares() {
  static const std::vector<TBrokenAare> cases = {
      {"ProtocolVersionFirstBitClear", 3, 1, [](TAare& a, auto&) { a.ProtocolVersion = Bytes("07 00"); },
       "AARE Protocol-version field present, but a wrong value"},
      {"OtherContext", 3, 1, [](TAare& a, auto&) { a.Context = "\x02"; }, "Unexpected application context name"},
      {"Rejected", 3, 1, [](TAare& a, auto&) { a.Result = Bytes("02 01 01"); }, "Association is not \"accepted\""},
      {"NoDiagnostic", 3, 1, [](TAare& a, auto&) { a.Diagnostic.clear(); }, "Result-source-disgnostic is missing"},
      {"ProviderDiagnostic", 3, 1, [](TAare& a, auto&) { a.Diagnostic = Bytes("A2 03 02 01 00"); },
       "Result-source-disgnostic is not ACSE-service-user"},
      {"HLSWithoutAuthenticationRequired", 3, 5, [](TAare& a, auto&) { a.Diagnostic = Bytes("A1 03 02 01 00"); },
       "\"Authentication required\" expected"},
      {"GmacWithoutTitle", 3, 6, [](TAare& a, auto&) { a.APTitle.clear(); }, "No system title received"},
      {"CipheredWithOtherTitle", 4, 1, [](TAare& a, auto&) { a.APTitle = Bytes("4D4D4D0000000002"); },
       "The received system-title does not match the declared value"},
      {"LowestWithRequirement", 3, 1, [](TAare& a, auto&) { a.AcseRequirement = Bytes("07 80"); },
       "Unexpected responded acse-requirement"},
      {"LowRequirementBitClear", 3, 2, [](TAare& a, auto&) { a.AcseRequirement = Bytes("07 00"); },
       "Illegal responder acse-requirement"},
      {"LowWithAuthenticationValue", 3, 2, [](TAare& a, auto&) { a.StoC = Bytes("0102030405060708"); },
       "Unexpected responding authentication value"},
      {"LowRequirementWithoutMechanism", 3, 2, [](TAare& a, auto&) { a.AcseRequirement = Bytes("07 80"); },
       "Mechanism name absent or wrong"},
      {"HLSWithoutRequirement", 3, 4, [](TAare& a, auto&) { a.AcseRequirement.clear(); },
       "Illegal responder acse-requirement"},
      {"HLSOtherMechanism", 3, 4, [](TAare& a, auto&) { a.Mechanism = "\x04"; }, "Mechanism name absent or wrong"},
      {"HLSNoMechanism", 3, 7, [](TAare& a, auto&) { a.Mechanism.clear(); }, "Mechanism name absent or wrong"},
      {"ChallengeOf7", 3, 5, [](TAare& a, auto&) { a.StoC = Bytes("01020304050607"); },
       "Illegal responding-authentication-value"},
      {"ChallengeOf65", 3, 5, [](TAare& a, auto&) { a.StoC = std::string(65, 'x'); },
       "Illegal responding-authentication-value"},
      {"NoChallenge", 3, 5, [](TAare& a, auto&) { a.StoC.clear(); }, "Illegal responding-authentication-value"},
      {"EchoedChallenge", 3, 5, [](TAare& a, const TTestMeter& m) { a.StoC = m.CtoS; },
       "Responding auth. value = calling auth. value"},
      {"CipheredButPlainUserInformation", 4, 1,
       [](TAare& a, const TTestMeter& m) { a.UserInformation = m.InitiateResponse(); }, "User-information not ciphered"},
      {"CipheredAuthenticationOnly", 4, 1,
       [](TAare& a, const TTestMeter& m) {
         a.UserInformation = m.Seal(0x28, m.InitiateResponse(), m.Keys.ServerTitle, 7, 0x10);
       },
       "Protection on InitiateResponse not the same as on the request"},
      {"NoUserInformation", 3, 1, [](TAare& a, auto&) { a.UserInformation.clear(); },
       "User-information is not InitiateResponse"},
      {"UserInformationNotInitiateResponse", 3, 1, [](TAare& a, auto&) { a.UserInformation = Bytes("C4 01 C1 00 11 05"); },
       "User-information is not InitiateResponse"},
      {"DlmsVersion5", 3, 1, [](TAare& a, auto&) { a.UserInformation[2] = 5; }, "Illegal negotiated DLMS version number"},
      {"ServerPduSize11", 3, 1,
       [](TAare& a, auto&) {
         a.UserInformation[10] = 0;
         a.UserInformation[11] = 11;
       },
       "Server-max-receive-pdu-size is to small"},
      {"ShortNameVaaInLN", 3, 1,
       [](TAare& a, auto&) {
         a.UserInformation[12] = static_cast<char>(0xFA);
         a.UserInformation[13] = 0;
       },
       "Illegal VAA-name"},
      {"LongNameVaaInSN", 1, 1,
       [](TAare& a, auto&) {
         a.UserInformation[12] = 0;
         a.UserInformation[13] = 7;
       },
       "Illegal VAA-name"},
  };
  return cases;
}

class BrokenAare : public EngineTest, public ::testing::WithParamInterface<TBrokenAare> {};

TEST_P(BrokenAare, RefusedWithItsMessage) {
  const TBrokenAare& c = GetParam();
  TTestMeter meter(c.Context, c.Mechanism);
  meter.Configure(Ctx);
  meter.MutateAare = [&](TAare& a) { c.Break(a, meter); };
  TScriptedConversation script(std::vector<TScriptStep>{meter.Step()});
  script.Install(Ctx);
  EXPECT_EQ(EstablishAA(&Ctx), 1);
  EXPECT_EQ(ResultText(), c.Message);
  EXPECT_TRUE(script.AllStepsUsed()) << "no reply pass after a refused AARE";
}

INSTANTIATE_TEST_SUITE_P(Checks, BrokenAare, ::testing::ValuesIn(BrokenAares()),
                         [](const auto& info) { return std::string(info.param.Label); });

TEST_F(EngineTest, ConformanceIsTakenBeforeTheSizeCheckFails) {
  TTestMeter meter(3, 1);
  meter.Configure(Ctx);
  meter.Conformance = cbGet | cbSet | cbAction;
  meter.MaxPdu = 11;
  TScriptedConversation script(std::vector<TScriptStep>{meter.Step()});
  script.Install(Ctx);
  EXPECT_EQ(EstablishAA(&Ctx), 1);
  EXPECT_EQ(ResultText(), "Server-max-receive-pdu-size is to small");
  EXPECT_EQ(Ctx.NegotiatedConformance, cbGet | cbSet | cbAction);
}

// ------------------------------------------------ the server's proof

TEST_F(EngineTest, WrongServerProofIsRefused) {
  for (int32_t mechanism : {4, 5, 6, 7, 8}) {
    for (int32_t context : {3, 4}) {
      SCOPED_TRACE("mechanism " + std::to_string(mechanism) + " context " + std::to_string(context));
      TTestMeter meter(context, mechanism);
      meter.Configure(Ctx);
      // One flipped bit in the last byte.
      meter.ServerProofOverride = [](std::string proof) {
        proof.back() = static_cast<char>(proof.back() ^ 1);
        return proof;
      };
      TScriptedConversation script(std::vector<TScriptStep>{meter.Step(), meter.Step()});
      script.Install(Ctx);
      EXPECT_EQ(EstablishAA(&Ctx), 1);
      EXPECT_EQ(ResultText(), "Illegal response to challenge");
      EXPECT_TRUE(meter.ClientProofValid);
      DropState();
    }
  }
}

TEST_F(EngineTest, ReplyToChallengeFailures) {
  const struct {
    int32_t Mechanism;
    const char* ActionResponse;
    const char* Message;
  } cases[] = {
      {5, "C7 01 C1 00 00", "No data received from method invocation"},
      {5, "C7 01 C1 00 01 01 03", "No data received from method invocation"},
      {5, "C7 01 C1 00 01 00 11 05", "F(CtoS) has an illegal type"},
      {5, "C7 01 C1 03 00", "Unexpected response ReadWriteDenied to method invocation"},
      {3, "C7 01 C1 00 01 00 09 02 4142", "Unexpected data received from method invocation"},
      {3, "C7 01 C1 0B 00", "Unexpected response ObjectUnavailable to method invocation"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ActionResponse);
    TTestMeter meter(3, c.Mechanism);
    meter.Configure(Ctx);
    meter.ActionResponseOverride = Bytes(c.ActionResponse);
    TScriptedConversation script(std::vector<TScriptStep>{meter.Step(), meter.Step()});
    script.Install(Ctx);
    EXPECT_EQ(EstablishAA(&Ctx), 1);
    EXPECT_EQ(ResultText(), c.Message);
    DropState();
  }
}

// ------------------------------------------------ mechanism 3's answer

TEST_F(EngineTest, ManufacturerSpecificAnswer) {
  const struct {
    const char* Challenge;
    const char* Secret;
    const char* Answer;  // null: Message
    const char* Message;
  } cases[] = {
      // Secret digits 1..7 against challenge digits 8..E.
      {"89ABCDE0", "1234567", "9BDF1350", nullptr},  // sum modulo 16
      {"89ABCDE5", "1234567", "9BDF1355", nullptr},  // sum as well
      {"89ABCDE1", "1234567", "9BBFDFF1", nullptr},  // or
      {"89ABCDE2", "1234567", "9B9F9B92", nullptr},  // xor
      {"89ABCDE3", "1234567", "9BDF1F53", nullptr},  // or on odd places
      {"89ABCDE4", "1234567", "9BDF1B54", nullptr},  // xor on odd places
      {"89ABCDEA", "1234567", nullptr, "P2: Unknown variant"},
      {"89ABCDE6", "1234567", nullptr, "P2: Unknown variant"},
      {"89abcde0", "1234567", nullptr, "P2: Illegal non hex-character"},
      {"89ABCDE0", "123456g", nullptr, "P2: Illegal non hex-character"},
      {"89ABCDE0F", "1234567", nullptr, "P2: Unexpected \"Encode-Data\" or \"Uncoded PW\" length"},
      {"89ABCDE0", "123456", nullptr, "P2: Unexpected \"Encode-Data\" or \"Uncoded PW\" length"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Challenge) + " " + c.Secret);
    TTestMeter meter(3, 3);
    meter.ServerChallenge = c.Challenge;
    meter.Keys.Secret = c.Secret;
    meter.Configure(Ctx);
    std::vector<TScriptStep> steps = {meter.Step()};
    if (c.Answer != nullptr) steps.push_back(meter.Step());
    TScriptedConversation script(steps);
    script.Install(Ctx);
    if (c.Answer != nullptr) {
      EXPECT_EQ(EstablishAA(&Ctx), 0) << ResultText();
      EXPECT_EQ(meter.ClientProof, c.Answer);
    } else {
      EXPECT_EQ(EstablishAA(&Ctx), 1);
      EXPECT_EQ(ResultText(), c.Message);
    }
    EXPECT_TRUE(script.AllStepsUsed());
    DropState();
  }
}

// ------------------------------------------------ validation of the record

TProtectionLayer Layer(int32_t kind, int32_t style, int32_t keyInfo, int32_t originator) {
  TProtectionLayer r{};
  r.Kind = kind;
  r.Style = style;
  r.KeyInfo = keyInfo;
  r.Originator = originator;
  return r;
}

TEST_F(EngineTest, SecurityFieldsAreChecked) {
  TEcKey key;
  const std::string k16(16, '\x11'), title(8, 'T');
  const auto* K = reinterpret_cast<const uint8_t*>(k16.data());
  const auto* ST = reinterpret_cast<const uint8_t*>(title.data());
  const auto* PRIV = reinterpret_cast<const uint8_t*>(key.Private.data());
  const auto* PUB = reinterpret_cast<const uint8_t*>(key.Public.data());
  auto full = [&](TDLMSProtocolContext& c) {
    c.EncryptionKey = K;
    c.AuthenticationKey = K;
    c.KeyEncryptionKey = K;
    c.ClientSystemTitle = ST;
    c.ServerSystemTitle = ST;
    c.ClientPrivateSigningKey = PRIV;
    c.ClientPublicSigningKey = PUB;
    c.ClientPrivateKeyAgreementKey = PRIV;
    c.ClientPublicKeyAgreementKey = PUB;
  };
  const struct {
    const char* Label;
    std::function<void(TDLMSProtocolContext&)> Set;
    const char* Message;  // null: accepted
  } cases[] = {
      {"ciphered without suite", [](auto& c) { c.ApplicationContext = 4; c.SecuritySuite = 0; },
       "A ciphering context requires a security suite"},
      {"suite 4", [](auto& c) { c.SecuritySuite = 4; }, "Illegal Security Suite"},
      {"suite -1", [](auto& c) { c.SecuritySuite = -1; }, "Illegal Security Suite"},
      {"dedicated key without suite", [](auto& c) { c.SecuritySuite = 0; c.UseDedicatedKey = 1; },
       "Usage of dedicated keys require security suite 0 to 2"},
      {"no encryption key", [](auto& c) { c.EncryptionKey = nullptr; }, "Encryption Key required"},
      {"no authentication key", [](auto& c) { c.AuthenticationKey = nullptr; }, nullptr},
      {"no key-encryption key", [](auto& c) { c.KeyEncryptionKey = nullptr; }, "Key Encryption Key required"},
      {"no client title", [](auto& c) { c.ClientSystemTitle = nullptr; }, "Client System Title required"},
      {"no server title", [](auto& c) { c.ServerSystemTitle = nullptr; }, "Server System Title required"},
      {"SHA-256 mechanism without suite still needs the titles",
       [](auto& c) { c.SecuritySuite = 0; c.MechanismName = 7; c.ClientSystemTitle = nullptr; },
       "Client System Title required"},
      {"SHA-256 mechanism without suite, server title",
       [](auto& c) { c.SecuritySuite = 0; c.MechanismName = 7; c.ServerSystemTitle = nullptr; },
       "Server System Title required"},
      {"suite 1 needs no key pairs",
       [](auto& c) { c.ClientPrivateSigningKey = nullptr; c.ClientPublicKeyAgreementKey = nullptr; }, nullptr},
      {"suite 2 private signing", [](auto& c) { c.SecuritySuite = 2; c.ClientPrivateSigningKey = nullptr; },
       "Client Private Signing Key required"},
      {"suite 2 public signing", [](auto& c) { c.SecuritySuite = 2; c.ClientPublicSigningKey = nullptr; },
       "Client Public Signing Key required"},
      {"suite 2 private agreement", [](auto& c) { c.SecuritySuite = 2; c.ClientPrivateKeyAgreementKey = nullptr; },
       "Client Private KeyAgreement Key required"},
      {"suite 2 public agreement", [](auto& c) { c.SecuritySuite = 2; c.ClientPublicKeyAgreementKey = nullptr; },
       "Client Public KeyAgreement Key required"},
      {"third party signing",
       [&](auto& c) { c.SecuritySuite = 2; c.ThirdPartysystemTitle = ST; c.ThirdPartyPublicSigningKey = PUB; },
       "ThirdParty Private Signing Key required"},
      {"third party agreement",
       [&](auto& c) {
         c.SecuritySuite = 2;
         c.ThirdPartysystemTitle = ST;
         c.ThirdPartyPrivateSigningKey = PRIV;
         c.ThirdPartyPublicSigningKey = PUB;
         c.ThirdPartyPublicKeyAgreementKey = PUB;
       },
       "ThirdParty Private KeyAgreement Key required"},
      {"server keys optional", [](auto& c) { c.SecuritySuite = 2; }, nullptr},
      {"layer kind 3", [](auto& c) { c.ProtectionLayers[0].Kind = 3; }, "Illegal protection layer kind"},
      {"layer style 0", [](auto& c) { c.ProtectionLayers[0].Kind = 1; }, "Protection layer style needed"},
      {"second layer style 6",
       [](auto& c) {
         c.ProtectionLayers[0] = Layer(1, 1, 0, 0);
         c.ProtectionLayers[1] = Layer(1, 6, 0, 0);
       },
       "Protection layer style needed"},
      {"entries after kind 0 are not read",
       [](auto& c) { c.ProtectionLayers[1].Kind = 9; }, nullptr},
      {"general ciphering key info", [](auto& c) { c.ProtectionLayers[0] = Layer(1, 5, 0, 1); },
       "Protection layer key info needed"},
      {"general ciphering originator", [](auto& c) { c.ProtectionLayers[0] = Layer(1, 5, 2, 0); },
       "Protection layer Originator needed"},
      {"signing originator", [](auto& c) { c.ProtectionLayers[0] = Layer(2, 0, 0, 3); }, "Protection layer Originator needed"},
      {"signing by the third party without its title", [](auto& c) { c.ProtectionLayers[0] = Layer(2, 0, 0, 2); },
       "ThirdParty System Title required"},
      {"general ciphering by the third party without its title",
       [](auto& c) { c.ProtectionLayers[0] = Layer(1, 5, 1, 2); }, "ThirdParty System Title required"},
      {"sign with suite 1", [](auto& c) { c.SignInitiateRequest = 1; },
       "SignInitiateRequest requires security suite 1 of 2"},
      {"sign with suite 3 needs its key sizes only", [](auto& c) { c.SecuritySuite = 2; c.SignInitiateRequest = 1; },
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    ClearContext(&Ctx);
    Ctx.ApplicationContext = 3;
    Ctx.MechanismName = 1;
    Ctx.SecuritySuite = 1;
    full(Ctx);
    c.Set(Ctx);
    // Checked before anything is sent: a pre-established association
    // exchanges nothing.
    TScriptedConversation script;
    script.Install(Ctx);
    Ctx.Options = DLMS_OPTION_PRE_ESTABLISHED;
    Ctx.NegotiatedConformance = cbGet;
    Ctx.NegotiatedMaxPduSize = 1024;
    EXPECT_EQ(EstablishAA(&Ctx), c.Message ? 1 : 0);
    if (c.Message != nullptr) {
      EXPECT_EQ(ResultText(), c.Message);
    }
    DropState();
  }
}

}  // namespace
