// The ciphering stage of the transfer chain and the ciphered release, checked
// against glo APDUs that the test seals and opens with OpenSSL.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EngineFixture.h"
#include "TestMeter.h"

using namespace enginetest;

namespace {

uint32_t FixedCounter() { return 0x01234567; }

// A glo ciphering layer entry (style 1) with the given services.
TProtectionLayer GloLayer(int32_t kind, uint32_t services) {
  TProtectionLayer r{};
  r.Kind = kind;
  r.Style = 1;
  r.ProtectionServices = services;
  return r;
}

const char kPlainGet[] = "C0 01 C1 0001 0000600100FF 02 00";

class Ciphering : public EngineTest {
protected:
  // A pre-established ciphered LN association with the meter's keys.
  void Open(TScriptedConversation& script, uint32_t layerServices) {
    meter.Configure(Ctx);
    Ctx.GetNextInvocationCounterFunc = &FixedCounter;
    if (layerServices != 0) Ctx.ProtectionLayers[0] = GloLayer(1, layerServices);
    EstablishPre(script, cbGet, 1024);
  }

  // The glo-get-request the client must send, computed here.
  std::string ExpectedRequest(uint8_t sc) const {
    const std::string plain = Bytes(kPlainGet);
    const std::string iv = meter.Keys.ClientTitle + Bytes("01234567");
    const std::string head = std::string(1, static_cast<char>(sc)) + Bytes("01234567");
    const std::string body = sc == 0x10 ? plain + GcmSeal(meter.Keys.EK, iv, head.substr(0, 1) + meter.Keys.AK + plain, "")
                                        : GcmSeal(meter.Keys.EK, iv, head.substr(0, 1) + meter.Keys.AK, plain);
    return Hex(Tlv(0xC8, head + body));
  }

  TTestMeter meter{4, 1};
};

TEST_F(Ciphering, ReadIsSentAsIndependentlyComputedGloRequest) {
  const struct {
    uint32_t Services;
    uint8_t SC;
  } cases[] = {{1, 0x10}, {3, 0x30}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Services);
    const std::string answer = Hex(meter.Seal(0xCC, Bytes("C4 01 C1 00 11 05"), meter.Keys.ServerTitle, 77));
    TScriptedConversation script(std::vector<TScriptStep>{{ExpectedRequest(c.SC), answer}});
    Open(script, c.Services);
    ASSERT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << ResultText();
    EXPECT_EQ(ResultText(), kUnsigned5Result);
    EXPECT_TRUE(script.AllStepsUsed());
    // The log shows the request as sent and the response deciphered.
    const auto& log = script.LogLines();
    const auto request = std::find(log.begin(), log.end(), "REQUEST:");
    ASSERT_NE(request, log.end());
    EXPECT_EQ((request + 1)->rfind(std::string(20, ' ') + "<glo_GetRequest", 0), 0u) << *(request + 1);
    const auto response = std::find(log.begin(), log.end(), "RESPONSE:");
    ASSERT_NE(response, log.end());
    EXPECT_EQ(*(response + 1), std::string(20, ' ') + "<GetResponse>");
    DropState();
  }
}

TEST_F(Ciphering, WhichRecordsProtect) {
  const struct {
    const char* Label;
    int32_t Suite;
    int32_t Kinds[4];
    bool Protected;
  } cases[] = {
      {"no suite, layers filled", 0, {1, 1, 1, 1}, false},
      {"suite, no layers", 1, {0, 0, 0, 0}, false},
      {"suite, first entry ends the list", 1, {0, 1, 1, 1}, false},
      {"suite and one layer", 1, {1, 0, 0, 0}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    meter.ApplicationContext = 3;  // the suite may be 0 only without ciphered context
    meter.Configure(Ctx);
    Ctx.SecuritySuite = c.Suite;
    Ctx.GetNextInvocationCounterFunc = &FixedCounter;
    for (int i = 0; i < 4; ++i) Ctx.ProtectionLayers[i] = GloLayer(c.Kinds[i], 3);
    const std::string answer = Hex(meter.Seal(0xCC, Bytes("C4 01 C1 00 11 05"), meter.Keys.ServerTitle, 9));
    // A ciphered answer is deciphered whenever keys are there, whatever the
    // request looked like.
    TScriptedConversation script(std::vector<TScriptStep>{
        {c.Protected ? ExpectedRequest(0x30) : kPlainGet, c.Suite == 0 ? "C4 01 C1 00 11 05" : answer}});
    EstablishPre(script, cbGet, 1024);
    ASSERT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << ResultText();
    EXPECT_EQ(ResultText(), kUnsigned5Result);
    EXPECT_TRUE(script.AllStepsUsed());
    DropState();
  }
}

TEST_F(Ciphering, TamperedResponseIsRefused) {
  std::string answer = meter.Seal(0xCC, Bytes("C4 01 C1 00 11 05"), meter.Keys.ServerTitle, 9);
  answer.back() = static_cast<char>(answer.back() ^ 0x01);
  TScriptedConversation script(std::vector<TScriptStep>{{ExpectedRequest(0x30), Hex(answer)}});
  Open(script, 3);
  EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 1);
  EXPECT_EQ(ResultText(), "Authentication failure (Decrypt error)");
  EXPECT_TRUE(script.AllStepsUsed());
}

TEST_F(Ciphering, ResponseMustBeProtectedAsTheRequestWas) {
  // The read goes out authenticated and encrypted; whoever answers must
  // prove the same, or the value could come from anyone on the line.
  const std::string plain = Bytes("C4 01 C1 00 11 05");
  const struct {
    const char* Label;
    std::string Answer;
    const char* Message;
  } cases[] = {
      {"plain GetResponse", plain, "Response protection [] does not cover the request's [AUTHENTICATION,ENCRYPTION]"},
      {"glo response whose security control has no services", Tlv(0xCC, Bytes("00 0000004D") + plain),
       "Response protection [] does not cover the request's [AUTHENTICATION,ENCRYPTION]"},
      {"authenticated only", meter.Seal(0xCC, plain, meter.Keys.ServerTitle, 77, 0x10),
       "Response protection [AUTHENTICATION] does not cover the request's [AUTHENTICATION,ENCRYPTION]"},
      // Failures the server reports are no data: they are reported as the
      // failures they are.
      {"plain exception response", Bytes("D8 01 02"), "Unexpected response ExceptionResponse to GetRequest"},
      {"plain confirmed service error", Bytes("0E 01 06 00"),
       "Unexpected response ConfirmedServiceError to GetRequest"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TScriptedConversation script(std::vector<TScriptStep>{{ExpectedRequest(0x30), Hex(c.Answer)}});
    Open(script, 3);
    EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 1);
    EXPECT_EQ(ResultText(), c.Message);
    EXPECT_TRUE(script.AllStepsUsed());
    DropState();
  }
}

TEST_F(Ciphering, ResponseCounterMustGrowWithinTheAssociation) {
  const struct {
    uint32_t First, Second;
    const char* Message;  // null: accepted
  } cases[] = {
      {77, 78, nullptr},
      {77, 77, "Invocation counter 77 of the response is not above the last one received (77)"},
      {77, 12, "Invocation counter 12 of the response is not above the last one received (77)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Second);
    const std::string plain = Bytes("C4 01 C1 00 11 05");
    TScriptedConversation script(std::vector<TScriptStep>{
        {ExpectedRequest(0x30), Hex(meter.Seal(0xCC, plain, meter.Keys.ServerTitle, c.First))},
        {ExpectedRequest(0x30), Hex(meter.Seal(0xCC, plain, meter.Keys.ServerTitle, c.Second))}});
    Open(script, 3);
    ASSERT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << ResultText();
    EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), c.Message ? 1 : 0);
    EXPECT_EQ(ResultText(), c.Message ? c.Message : kUnsigned5Result);
    EXPECT_TRUE(script.AllStepsUsed());
    DropState();
  }
}

TEST_F(Ciphering, NestedProtectionIsPeeledToABoundedDepth) {
  // Each level is a glo response around the next; the innermost carries the
  // lowest counter, as a server applying them in turn would.
  for (int depth : {6, 7}) {
    SCOPED_TRACE(depth);
    std::string answer = Bytes("C4 01 C1 00 11 05");
    for (int i = 0; i < depth; ++i) answer = meter.Seal(0xCC, answer, meter.Keys.ServerTitle, 100 + i);
    TScriptedConversation script(std::vector<TScriptStep>{{ExpectedRequest(0x30), Hex(answer)}});
    Open(script, 3);
    EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), depth <= 6 ? 0 : 1);
    EXPECT_EQ(ResultText(), depth <= 6 ? kUnsigned5Result : std::string("Protection nested deeper than 6 layers"));
    DropState();
  }
}

TEST_F(Ciphering, AssociationRequestIsNeverProtectedByTheRecordLayers) {
  // The record asks for authentication only; the AARQ still goes as 60 with
  // its own protected InitiateRequest, and the read takes the record's layer.
  meter.Conformance = cbGet;
  meter.Configure(Ctx);
  Ctx.ProtectionLayers[0] = GloLayer(1, 1);
  Ctx.GetNextInvocationCounterFunc = &FixedCounter;
  TScriptedConversation script(
      std::vector<TScriptStep>{meter.Step(), {ExpectedRequest(0x10), Hex(meter.Seal(0xCC, Bytes("C4 01 C1 00 11 05"),
                                                                                    meter.Keys.ServerTitle, 300))}});
  script.Install(Ctx);
  ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
  EXPECT_EQ(Hex(meter.InitiateRequest), "01 00 00 00 06 5F 1F 04 00 60 FE DF FF FF");
  ASSERT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << ResultText();
  EXPECT_EQ(ResultText(), kUnsigned5Result);
}

TEST_F(Ciphering, HighSecurityReplyIgnoresTheRecordLayers) {
  // Authentication-only record layer; the reply to the challenge is still
  // authenticated and encrypted, as the InitiateRequest was (the meter checks).
  TTestMeter hls(4, 5);
  hls.Configure(Ctx);
  Ctx.ProtectionLayers[0] = GloLayer(1, 1);
  TScriptedConversation script(std::vector<TScriptStep>{hls.Step(), hls.Step()});
  script.Install(Ctx);
  ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
  EXPECT_TRUE(hls.ClientProofValid);
}

TEST_F(Ciphering, FailedReplyStopsProtectingLikeTheInitiateRequest) {
  // The reply pass fails; a later read must not inherit its protection: the
  // record has no layers, so it goes plain.
  TTestMeter hls(4, 5);
  hls.Conformance = cbGet | cbAction;
  hls.ActionResponseOverride = Bytes("C7 01 C1 00 00");
  hls.Configure(Ctx);
  TScriptedConversation script(std::vector<TScriptStep>{hls.Step(), hls.Step(), {kPlainGet, "C4 01 C1 00 11 05"}});
  script.Install(Ctx);
  EXPECT_EQ(EstablishAA(&Ctx), 1);
  EXPECT_EQ(ResultText(), "No data received from method invocation");
  EXPECT_EQ(ReadAttributes(&Ctx, kGetNormal), 0) << ResultText();
  EXPECT_TRUE(script.AllStepsUsed());
}

TEST_F(Ciphering, InitiateRequestFormsFollowTheOptions) {
  // Option bit 2 asks for general-glo-ciphering instead of glo-initiate-request.
  for (uint32_t options : {0u, static_cast<uint32_t>(DLMS_OPTION_GENERAL_CIPHERING_INITIATE)}) {
    SCOPED_TRACE(options);
    TTestMeter m(4, 1);
    m.Configure(Ctx);
    Ctx.Options = options;
    TScriptedConversation script(std::vector<TScriptStep>{m.Step()});
    script.Install(Ctx);
    ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
    EXPECT_EQ(m.InitiateInGeneralGlo, options != 0);
    EXPECT_EQ(Hex(m.InitiateRequest), "01 00 00 00 06 5F 1F 04 00 60 FE DF FF FF");
    DropState();
  }
}

TEST_F(Ciphering, SignedInitiateRequestNeedsAClientSigningLayer) {
  TTestMeter m(4, 8);
  m.Configure(Ctx);
  Ctx.SignInitiateRequest = 1;
  // A signing layer of the third party does not count.
  TProtectionLayer thirdParty{};
  thirdParty.Kind = 2;
  thirdParty.Originator = 2;
  const std::string third(8, '3');
  Ctx.ThirdPartysystemTitle = reinterpret_cast<const uint8_t*>(third.data());
  Ctx.ThirdPartyPrivateSigningKey = Ctx.ThirdPartyPrivateKeyAgreementKey = Ctx.ClientPrivateSigningKey;
  Ctx.ThirdPartyPublicSigningKey = Ctx.ThirdPartyPublicKeyAgreementKey = Ctx.ClientPublicSigningKey;
  Ctx.ProtectionLayers[0] = thirdParty;
  TScriptedConversation script;
  script.Install(Ctx);
  EXPECT_EQ(EstablishAA(&Ctx), 1);
  EXPECT_EQ(ResultText(), "No layer found to apply SIGNATURE");
  EXPECT_EQ(script.Exchanges(), 0u);
}

TEST_F(Ciphering, SignedInitiateRequestIsSignedInsideGeneralGlo) {
  TTestMeter m(4, 8);
  m.Configure(Ctx);
  Ctx.SignInitiateRequest = 1;
  TProtectionLayer signing{};
  signing.Kind = 2;
  signing.Originator = 1;
  Ctx.ProtectionLayers[0] = signing;
  std::string aarq;
  TScriptStep step;
  step.Respond = [&](const std::string& request) {
    aarq = request;
    return std::string();  // no answer: only the request is examined
  };
  TScriptedConversation script({step});
  script.Install(Ctx);
  EXPECT_EQ(EstablishAA(&Ctx), 1);
  ASSERT_FALSE(aarq.empty());

  // AARQ user information: general-glo-ciphering from the client ...
  size_t pos = 0;
  uint8_t tag;
  std::string content, ui;
  ASSERT_TRUE(ReadTlv(aarq, pos, tag, content));
  ASSERT_TRUE(FindTlv(content, 0xBE, ui));
  size_t inner = 0;
  std::string apdu;
  ASSERT_TRUE(ReadTlv(ui, inner, tag, apdu));
  ASSERT_EQ(tag, 0x04);
  ASSERT_EQ(static_cast<uint8_t>(apdu[0]), 0xDB) << Hex(apdu);
  EXPECT_EQ(Hex(apdu.substr(1, 9)), Hex("\x08" + m.Keys.ClientTitle));
  // ... whose deciphered service is a general signing of the InitiateRequest.
  const std::string signedApdu = m.Open("\x21" + apdu.substr(10), 0x21);
  ASSERT_FALSE(signedApdu.empty());
  ASSERT_EQ(static_cast<uint8_t>(signedApdu[0]), 0xDF) << Hex(signedApdu);
  // Five length-prefixed fields, then the content and the signature.
  size_t p = 1;
  std::string fields[7];
  for (auto& f : fields) {
    ASSERT_LT(p, signedApdu.size());
    size_t len = static_cast<uint8_t>(signedApdu[p]);
    ASSERT_LT(len, 128u);
    f = signedApdu.substr(p + 1, len);
    p += 1 + len;
  }
  EXPECT_EQ(p, signedApdu.size());
  EXPECT_EQ(Hex(fields[1]), Hex(m.Keys.ClientTitle));  // originator
  EXPECT_EQ(Hex(fields[2]), Hex(m.Keys.ServerTitle));  // recipient
  EXPECT_EQ(static_cast<uint8_t>(fields[5][0]), 0x01);  // the InitiateRequest
  std::string toSign;
  for (int i = 0; i < 5; ++i) toSign += static_cast<char>(fields[i].size()) + fields[i];
  toSign += fields[5];
  EXPECT_TRUE(m.ClientSigning->Verify(toSign, fields[6]));
  std::string tampered = toSign;
  tampered.back() ^= 1;
  EXPECT_FALSE(m.ClientSigning->Verify(tampered, fields[6]));
}

TEST_F(Ciphering, PreEstablishedCipheredReleaseSaysWhyItCannot) {
  TScriptedConversation script;
  Open(script, 0);
  Ctx.RLRQSupported = 1;
  EXPECT_EQ(ReleaseAA(&Ctx), 1);
  EXPECT_EQ(ResultText(), "No InitiateRequest to repeat: a pre-established ciphered association cannot be released");
  EXPECT_EQ(script.Exchanges(), 0u);
}

TEST_F(Ciphering, ReleaseAnswers) {
  const struct {
    const char* Label;
    std::function<std::string(TTestMeter&)> Answer;
    const char* Message;
  } cases[] = {
      {"plain user information",
       [](TTestMeter& m) { return Bytes("80 01 00") + Tlv(0xBE, Tlv(0x04, m.InitiateResponse())); },
       "User-information not ciphered"},
      {"no user information", [](TTestMeter&) { return Bytes("80 01 00"); }, "User-information not ciphered"},
      {"ciphered but not an InitiateResponse",
       [](TTestMeter& m) {
         return Bytes("80 01 00") +
                Tlv(0xBE, Tlv(0x04, m.Seal(0x28, Bytes("C4 01 C1 00 11 05"), m.Keys.ServerTitle, m.Counter++)));
       },
       "User-information is not InitiateResponse"},
      {"reason not normal", [](TTestMeter&) { return Bytes("80 01 01"); }, "Unexpected reason in ReleaseResponse"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TTestMeter m(4, 1);
    m.Configure(Ctx);
    Ctx.RLRQSupported = 1;
    TScriptStep broken;
    broken.Respond = [&](const std::string&) { return Tlv(0x63, c.Answer(m)); };
    TScriptedConversation script(std::vector<TScriptStep>{m.Step(), broken, m.Step()});
    script.Install(Ctx);
    ASSERT_EQ(EstablishAA(&Ctx), 0) << ResultText();
    EXPECT_EQ(ReleaseAA(&Ctx), 1);
    EXPECT_EQ(ResultText(), c.Message);
    // The state stays, and a retry sends the protected request again.
    ASSERT_EQ(ReleaseAA(&Ctx), 0) << ResultText();
    EXPECT_EQ(Ctx.ReservedRef, nullptr);
    EXPECT_TRUE(script.AllStepsUsed());
  }
}

}  // namespace
