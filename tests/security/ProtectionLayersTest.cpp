#include <gtest/gtest.h>

#include <algorithm>

#include "security/CryptoServices.h"
#include "security/GCMCipher.h"
#include "security/ProtectionLayers.h"
#include "tests/security/TestSupport.h"

namespace quillon {
namespace {

using test::H;
using test::Hex;

const PduStr& kClient = test::kClientTitle;
const PduStr& kServer = test::kServerTitle;
using test::kGAK;
using test::kGUEK;
const PduStr kDEK = H("101112131415161718191A1B1C1D1E1F");
const PduStr kKEK = H("A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
const PduStr kGetRequest = H("C001C100010000280000FF0200");
const TCOSEMProtectionServices kAuthEnc{psAuthentication, psEncryption};

std::unique_ptr<T_COSEMpdu> Apdu(const PduStr& bytes) { return TProtectionHelper::MakeCOSEMPduFromPdu(bytes); }

// Symmetric keys of every size the suite asks for.
void AddSymmetricKeys(TSecurityMaterialClient& m) {
  const int n = m.SymetricKeySize();
  auto sized = [n](const PduStr& k) { return n == 16 ? k : k + k; };
  m.AddSymmetricKey(kiGUEK, sized(kGUEK));
  m.AddSymmetricKey(kiGAK, sized(kGAK));
  m.AddSymmetricKey(kiDEK, sized(kDEK));
  m.AddSymmetricKey(kiKEK, sized(kKEK));
}

class LayerTest : public ::testing::Test {
protected:
  LayerTest() {
    AddSymmetricKeys(Material);
    Log.FLogStringProc = [this](const std::string& s) { Lines.push_back(s); };
    Log.FLogProtocolItemProc = [this](const TCOSEMPduBase&, const std::string& title, int32_t indent) {
      Lines.push_back(title + " @" + std::to_string(indent));
    };
  }

  template <class L>
  std::unique_ptr<L> Layer(TCOSEMProtectionServices services, bool dedicated = false) {
    auto l = std::make_unique<L>();
    l->Dedicated = dedicated;
    l->SystemTitle = kClient;
    l->FrameCounterFunc = [this] {
      ++Draws;
      return Counter;
    };
    l->COSEMProtectionServices = services;
    return l;
  }

  // Peels a received APDU with a fresh list, as the engine does.
  std::unique_ptr<T_COSEMpdu> RemoveAll(const PduStr& bytes, TProtectionLayers& list,
                                        TSecurityMaterial* material = nullptr, const PduStr& partner = kClient) {
    std::unique_ptr<T_COSEMpdu> plain;
    list.Remove(bytes, material ? material : &Material, &Log, partner, plain);
    return plain;
  }

  std::string RemoveError(const PduStr& bytes, TSecurityMaterial* material = nullptr) {
    TProtectionLayers list;
    try {
      RemoveAll(bytes, list, material);
    } catch (const EGeneralError& e) {
      return e.what();
    }
    return "no error";
  }

  TSecurityMaterialClient Material{0};
  TLoggingContext Log;
  std::vector<std::string> Lines;
  uint32_t Counter = 0x01020304;
  int Draws = 0;
};

// The ciphered information a layer put into an APDU, wherever it sits.
PduStr CipheredInformationOf(const T_COSEMpdu& pdu) {
  if (const auto* os = dynamic_cast<const TOctetString*>(pdu.Value.get())) return os->Value;
  const auto* seq = dynamic_cast<const TSequence*>(pdu.Value.get());
  return static_cast<const TOctetString*>(seq->Member(1))->Value;
}

struct TGloDedCase {
  const char* name;
  bool general;
  bool dedicated;
  TCOSEMProtectionServices services;
  int tag;
};

TEST_F(LayerTest, GloDedLayersRoundTripAndMatchAnIndependentGcm) {
  const TGloDedCase cases[] = {
      {"service glo auth+enc", false, false, kAuthEnc, 200},
      {"service ded auth+enc", false, true, kAuthEnc, 208},
      {"service glo auth", false, false, {psAuthentication}, 200},
      {"service ded enc", false, true, {psEncryption}, 208},
      {"general glo auth+enc", true, false, kAuthEnc, 219},
      {"general ded auth+enc", true, true, kAuthEnc, 220},
      {"general glo enc", true, false, {psEncryption}, 219},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TProtectionLayers list;
    if (c.general)
      list.Add(Layer<TProtectionLayerGloDedGeneral>(c.services, c.dedicated));
    else
      list.Add(Layer<TProtectionLayerGloDedService>(c.services, c.dedicated));
    auto request = Apdu(kGetRequest);
    auto protectedPdu = list.Apply(*request, &Material, &Log);
    EXPECT_EQ(request->Encoded(), kGetRequest);  // the argument is left alone
    ASSERT_EQ(protectedPdu->Tag, c.tag);

    const PduStr info = CipheredInformationOf(*protectedPdu);
    const bool auth = c.services.Contains(psAuthentication), enc = c.services.Contains(psEncryption);
    ASSERT_EQ(info.size(), 5 + kGetRequest.size() + (auth ? 12 : 0));
    EXPECT_EQ(static_cast<uint8_t>(info[0]), (TSecurityControl{c.services, false, 0}.ToByte()));
    EXPECT_EQ(info.substr(1, 4), H("01020304"));
    if (enc) {
      PduStr plain, tag = info.substr(5 + kGetRequest.size());
      const PduStr aad = auth ? info.substr(0, 1) + kGAK : PduStr();
      if (auth) {
        ASSERT_TRUE(test::OpenSslGcm(false, c.dedicated ? kDEK : kGUEK, kClient + H("01020304"), aad,
                                     info.substr(5, kGetRequest.size()), plain, tag));
      } else {
        ASSERT_TRUE(test::OpenSslGcm(true, c.dedicated ? kDEK : kGUEK, kClient + H("01020304"), aad,
                                     info.substr(5), plain, tag));
      }
      EXPECT_EQ(plain, kGetRequest);
    }

    TProtectionLayers received;
    auto plain = RemoveAll(protectedPdu->Encoded(), received);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->Encoded(), kGetRequest);
    ASSERT_EQ(received.Count(), 1);
    auto* layer = dynamic_cast<TProtectionLayerGloDed*>(received[0]);
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->LayerClass(), list[0]->LayerClass());
    EXPECT_EQ(layer->Dedicated, c.dedicated);
    EXPECT_EQ(layer->FrameCounter, 0x01020304u);
    EXPECT_EQ(layer->COSEMProtectionServices, c.services);
    EXPECT_EQ(received.GetProtectionServices(TProtectionLayers::psCurrent),
              COSEMProtectionServicesToCTI(c.services));
  }
}

TEST_F(LayerTest, ServiceLayerTracesAndDescribesItself) {
  TProtectionLayers list;
  list.Add(Layer<TProtectionLayerGloDedService>(kAuthEnc));
  auto out = list.Apply(*Apdu(kGetRequest), &Material, &Log);
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Lines[0], ">>>Applying service glo/ded [AUTHENTICATION,ENCRYPTION] to: @20");
  EXPECT_EQ(Lines[1], "ENCRYPTION GUEK= " + Hex(kGUEK) + ", GAK=" + Hex(kGAK) + ", IC: 01020304");
  Lines.clear();
  TProtectionLayers received;
  RemoveAll(out->Encoded(), received);
  EXPECT_EQ(Lines, (std::vector<std::string>{">>>Remove service glo/ded from: @20",
                                             "DECRYPTION GUEK= " + Hex(kGUEK) + ", GAK=" + Hex(kGAK)}));
  std::vector<std::string> description;
  received[0]->ToStringList(description);
  EXPECT_EQ(description, (std::vector<std::string>{"ClassName=TProtectionLayerGloDedService", "Dedicated=0",
                                                   "SystemTitle=4D4D4D0000000001",
                                                   "COSEMProtectionServices=[AUTHENTICATION,ENCRYPTION]",
                                                   "FrameCounter=16909060"}));
}

TEST_F(LayerTest, NothingToApplyGivesACopyAndDrawsNoCounter) {
  TProtectionLayers list;
  list.Add(Layer<TProtectionLayerGloDedService>({}));
  list.Add(Layer<TProtectionLayerGloDedGeneral>({}));
  auto request = Apdu(kGetRequest);
  auto out = list.Apply(*request, &Material, &Log);
  EXPECT_NE(out.get(), request.get());
  EXPECT_EQ(out->Encoded(), kGetRequest);
  EXPECT_EQ(Draws, 0);
  EXPECT_TRUE(Lines.empty());
}

TEST_F(LayerTest, HooksSeeTheLayerAndMayReplaceTheResult) {
  TProtectionLayers list;
  list.Add(Layer<TProtectionLayerGloDedGeneral>(kAuthEnc));
  std::vector<std::string> calls;
  list[0]->ApplyingProtectionProc = [&](TProtectionLayer& l) { calls.push_back(std::string("applying ") + l.ClassName()); };
  list[0]->ProtectionAppliedProc = [&](TProtectionLayer&, std::unique_ptr<T_COSEMpdu>& pdu) {
    calls.push_back("applied " + std::to_string(pdu->Tag));
    pdu = Apdu(H("D80101"));
  };
  auto out = list.Apply(*Apdu(kGetRequest), &Material, &Log);
  EXPECT_EQ(calls, (std::vector<std::string>{"applying TProtectionLayerGloDedGeneral", "applied 219"}));
  EXPECT_EQ(out->Encoded(), H("D80101"));
}

TEST_F(LayerTest, GeneralGloCompressesServiceSpecificRefuses) {
  // A SetRequest carrying 64 equal bytes compresses well.
  const PduStr setRequest = H("C101C100010000280000FF02000940") + PduStr(64, 'A');
  TProtectionLayers general;
  general.Add(Layer<TProtectionLayerGloDedGeneral>({psAuthentication, psEncryption, psCompression}));
  auto out = general.Apply(*Apdu(setRequest), &Material, &Log);
  const PduStr info = CipheredInformationOf(*out);
  EXPECT_EQ(static_cast<uint8_t>(info[0]), 0xB0);
  EXPECT_LT(info.size(), setRequest.size());
  TProtectionLayers received;
  EXPECT_EQ(RemoveAll(out->Encoded(), received)->Encoded(), setRequest);
  EXPECT_TRUE(received[0]->COSEMProtectionServices.Contains(psCompression));

  TProtectionLayers service;
  service.Add(Layer<TProtectionLayerGloDedService>({psAuthentication, psCompression}));
  try {
    service.Apply(*Apdu(setRequest), &Material, &Log);
    FAIL();
  } catch (const EProtection& e) {
    EXPECT_STREQ(e.what(), "Compression cannot be applied to service specific APDUs");
  }
  EXPECT_EQ(Draws, 1);  // only the general layer drew a counter
}

TEST_F(LayerTest, ServicesWithoutACipheredFormAreRefused) {
  const std::pair<bool, const char*> cases[] = {{false, "No glo_xxx service for service of tag 216"},
                                                {true, "No ded_xxx service for service of tag 216"}};
  for (const auto& [dedicated, message] : cases) {
    TProtectionLayers list;
    list.Add(Layer<TProtectionLayerGloDedService>(kAuthEnc, dedicated));
    try {
      list.Apply(*Apdu(H("D80101")), &Material, &Log);
      ADD_FAILURE();
    } catch (const EGeneralError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
  EXPECT_EQ(Draws, 0);
}

TEST_F(LayerTest, PlainResponseLeavesListEmpty) {
  TProtectionLayers list;
  EXPECT_EQ(RemoveAll(H("C401C1000600000001"), list), nullptr);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(RemoveAll("", list), nullptr);
}

TEST_F(LayerTest, ReceivedApduFailures) {
  TSecurityControl sc{kAuthEnc, false, 0};
  auto cipher = [&](const PduStr& plain, const PduStr& title = kClient, int suite = 0) {
    sc.SecuritySuite = suite;
    return TGCMCipher::GCMEncrypt(title, plain, kGUEK, kGAK, sc, 7, "");
  };
  auto service = [](const PduStr& info) { return H("C8") + static_cast<char>(info.size()) + info; };
  auto general = [](const PduStr& title, const PduStr& info) {
    return H("DB") + static_cast<char>(title.size()) + title + static_cast<char>(info.size()) + info;
  };
  TSecurityMaterialClient noDek(0);
  noDek.AddSymmetricKey(kiGUEK, kGUEK);
  noDek.AddSymmetricKey(kiGAK, kGAK);

  EXPECT_EQ(RemoveError(service(cipher(kGetRequest))), "no error");
  EXPECT_EQ(RemoveError(general(kClient, cipher(kGetRequest))), "no error");
  EXPECT_EQ(RemoveError(service(cipher(kGetRequest + H("00")))), "Unexpected pdu trailing data");
  EXPECT_EQ(RemoveError(service(cipher(kGetRequest).substr(0, 20))), "Authentication failure (Decrypt error)");
  EXPECT_EQ(RemoveError(general(kClient, cipher(H("0203")))), "GCMDecrypted data is not a valid APDU");
  EXPECT_EQ(RemoveError(general(kClient, cipher(kGetRequest + H("00")))), "GCMDecrypted data is not a valid APDU");
  EXPECT_EQ(RemoveError(general(kServer, cipher(kGetRequest))), "Authentication failure (Decrypt error)");
  EXPECT_EQ(RemoveError(service(cipher(kGetRequest, kClient, 1))),
            "Unexpected SecuritySuite in received ciphered PDU");
  EXPECT_EQ(RemoveError(H("D00E") + PduStr(14, 'x'), &noDek), "Key DEK not defined");
  EXPECT_EQ(RemoveError(service(H("3000"))), "Ciphered information too short");
  EXPECT_EQ(RemoveError(H("C8")), "Wrong encoding in pdu");
  EXPECT_EQ(RemoveError(service(cipher(kGetRequest)) + H("00")), "Unexpected pdu trailing data");

  // A 7-byte title is refused before anything is deciphered.
  Lines.clear();
  EXPECT_EQ(RemoveError(general(kClient.substr(1), cipher(kGetRequest))), "System-title of illegal length");
  for (const auto& l : Lines) EXPECT_EQ(l.find("DECRYPTION"), std::string::npos) << l;
}

// A list told to ignore trailing bytes takes the APDU in front of them,
// in both ciphered forms, and logs how many it dropped; bytes that are not
// an APDU still fail, and bytes outside the ciphering are not forgiven.
TEST_F(LayerTest, TrailingBytesAfterTheDecipheredApduIgnoredWhenAsked) {
  TSecurityControl sc{kAuthEnc, false, 0};
  auto cipher = [&](const PduStr& plain) { return TGCMCipher::GCMEncrypt(kClient, plain, kGUEK, kGAK, sc, 7, ""); };
  auto service = [](const PduStr& info) { return H("C8") + static_cast<char>(info.size()) + info; };
  auto general = [](const PduStr& info) {
    return H("DB") + static_cast<char>(kClient.size()) + kClient + static_cast<char>(info.size()) + info;
  };
  const struct {
    PduStr Bytes;
    const char* Error;  // nullptr: the GetRequest comes out
    const char* Logged;
  } cases[] = {
      {service(cipher(kGetRequest + H("00"))), nullptr, "1 byte after the end of the deciphered APDU ignored"},
      {general(cipher(kGetRequest + H("000000"))), nullptr, "3 bytes after the end of the deciphered APDU ignored"},
      {service(cipher(kGetRequest)), nullptr, nullptr},
      {general(cipher(H("0203"))), "GCMDecrypted data is not a valid APDU", nullptr},
      {service(cipher(kGetRequest)) + H("00"), "Unexpected pdu trailing data", nullptr},
  };
  for (const auto& c : cases) {
    Lines.clear();
    TProtectionLayers list;
    list.IgnoreTrailingBytes = true;
    try {
      auto plain = RemoveAll(c.Bytes, list);
      EXPECT_EQ(c.Error, nullptr) << Hex(c.Bytes);
      ASSERT_NE(plain, nullptr);
      EXPECT_EQ(plain->Encoded(), kGetRequest);
    } catch (const EGeneralError& e) {
      EXPECT_STREQ(e.what(), c.Error ? c.Error : "no error") << Hex(c.Bytes);
    }
    const auto ignored = std::count_if(Lines.begin(), Lines.end(),
                                       [](const std::string& l) { return l.find("ignored") != std::string::npos; });
    EXPECT_EQ(ignored, c.Logged ? 1 : 0) << Hex(c.Bytes);
    if (c.Logged) {
      EXPECT_NE(std::find(Lines.begin(), Lines.end(), c.Logged), Lines.end()) << Hex(c.Bytes);
    }
  }
}

// Hostile bytes behind every ciphered tag: an error or a result, never a
// crash or an overrun (the sanitizer build watches the latter).
TEST_F(LayerTest, ArbitraryBytesBehindCipheredTagsFailCleanly) {
  test::TRandomBytes rnd(321);
  int failures = 0, runs = 0;
  for (int tag : {33, 65, 200, 208, 210, 219, 220, 221, 223}) {
    for (int i = 0; i < 150; ++i) {
      PduStr bytes = PduStr(1, static_cast<char>(tag)) + rnd.Next(rnd.Below(80));
      if (i % 3 == 0 && bytes.size() > 1) bytes[1] = static_cast<char>(bytes.size() - 2);  // plausible length
      TProtectionLayers list;
      ++runs;
      try {
        RemoveAll(bytes, list);
      } catch (const EGeneralError&) {
        ++failures;
      }
    }
  }
  EXPECT_EQ(failures, runs);  // none of these draws forms a valid protected APDU
}

TEST_F(LayerTest, RemoveKeepsLayersPeeledBeforeAFailure) {
  // General glo around a service-specific APDU ciphered with other keys.
  TSecurityControl sc{kAuthEnc, false, 0};
  const PduStr inner = H("C8") + static_cast<char>(30) +
                       TGCMCipher::GCMEncrypt(kClient, kGetRequest, kDEK, kGAK, sc, 1, "");
  const PduStr outer = TGCMCipher::GCMEncrypt(kClient, inner, kGUEK, kGAK, sc, 2, "");
  const PduStr bytes = H("DB08") + kClient + static_cast<char>(outer.size()) + outer;
  TProtectionLayers list;
  EXPECT_THROW(RemoveAll(bytes, list), EProtection);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_STREQ(list[0]->ClassName(), "TProtectionLayerGloDedGeneral");
}

TEST(ProtectionLayerInfo, InboundTable) {
  const struct {
    int tag;
    const char* cls;
    bool dedicated;
  } cases[] = {
      {33, "TProtectionLayerGloDedService", false},  {54, "TProtectionLayerGloDedService", false},
      {56, "TProtectionLayerGloDedService", false},  {207, "TProtectionLayerGloDedService", false},
      {65, "TProtectionLayerGloDedService", true},   {86, "TProtectionLayerGloDedService", true},
      {210, "TProtectionLayerGloDedService", true},  {215, "TProtectionLayerGloDedService", true},
      {219, "TProtectionLayerGloDedGeneral", false}, {220, "TProtectionLayerGloDedGeneral", false},
      {221, "TProtectionLayerGeneralCiphering", false}, {223, "TProtectionLayerGeneralSigning", false},
  };
  for (const auto& c : cases) {
    TProtectionLayerClass cls;
    bool dedicated = !c.dedicated;
    ASSERT_TRUE(TProtectionLayer::GetCipheredPduInfo(PduStr(1, static_cast<char>(c.tag)), cls, dedicated)) << c.tag;
    EXPECT_STREQ(cls->Name, c.cls) << c.tag;
    EXPECT_EQ(dedicated, c.dedicated) << c.tag;
  }
  for (int tag : {0, 1, 192, 196, 202, 214, 216, 222, 224, 255}) {
    TProtectionLayerClass cls = &TProtectionLayerGeneralSigning::ClassInfo;
    bool dedicated = true;
    EXPECT_FALSE(TProtectionLayer::GetCipheredPduInfo(PduStr(1, static_cast<char>(tag)), cls, dedicated)) << tag;
    EXPECT_EQ(cls, nullptr);
    EXPECT_FALSE(dedicated);
  }
}

// ------------------------------------------------------------ records --

TEST(ProtectionLayerRecords, BuildLayersUpToTheFirstEmptyRecord) {
  uint8_t tid[] = {1, 2, 3};
  ::TProtectionLayer records[4] = {};
  TProtectionLayerSources sources{kClient, H("5450000000000001"), kServer, PduStr(12, '\x07'), [] { return 5u; }};
  records[1].Kind = 1;
  records[1].Style = 1;
  EXPECT_EQ(TProtectionLayers::FromRecords(records, sources).Count(), 0);

  const struct {
    int kind, style, keyInfo;
    const char* cls;
  } rows[] = {{1, 2, 0, "TProtectionLayerGloDedService"},
              {1, 3, 0, "TProtectionLayerGloDedGeneral"},
              {1, 5, 4, "TProtectionLayerGeneralCiphering"},
              {2, 9, 9, "TProtectionLayerGeneralSigning"}};
  for (int i = 0; i < 4; ++i) {
    records[i].Kind = rows[i].kind;
    records[i].Style = rows[i].style;
    records[i].KeyInfo = rows[i].keyInfo;
    records[i].ProtectionServices = 0xFFFFFFF7u;  // only bits 0..2 count
  }
  records[2].Originator = 2;
  records[2].DateTime = 1;
  records[2].TransactionId = TByteArray{3, 0, tid};
  records[3].Originator = 1;
  records[3].OtherInformation = TByteArray{-1, 0, tid};
  TProtectionLayers list = TProtectionLayers::FromRecords(records, sources);
  ASSERT_EQ(list.Count(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(list[i]->ClassName(), rows[i].cls);
    EXPECT_TRUE(list[i]->COSEMProtectionServices.Empty());
  }
  auto* ded = static_cast<TProtectionLayerGloDed*>(list[0]);
  EXPECT_TRUE(ded->Dedicated);
  EXPECT_EQ(ded->SystemTitle, kClient);
  EXPECT_FALSE(static_cast<TProtectionLayerGloDed*>(list[1])->Dedicated);
  auto* gc = static_cast<TProtectionLayerGeneralCiphering*>(list[2]);
  EXPECT_EQ(gc->KeyInfo, TKeyInfo::Agreed(kaSUM));
  EXPECT_EQ(gc->OriginatorSystemTitle, H("5450000000000001"));
  EXPECT_EQ(gc->RecipientSystemTitle, kServer);
  EXPECT_EQ(gc->DateTime, PduStr(12, '\x07'));
  EXPECT_EQ(gc->TransactionId, H("010203"));
  EXPECT_EQ(gc->FrameCounterFunc(), 5u);
  auto* gs = static_cast<TProtectionLayerGeneralSigning*>(list[3]);
  EXPECT_EQ(gs->OriginatorSystemTitle, kClient);
  EXPECT_EQ(gs->DateTime, "");
  EXPECT_EQ(gs->OtherInformation, "");
  sources.DateTime.clear();
  records[3].DateTime = -1;
  TProtectionLayers now = TProtectionLayers::FromRecords(records, sources);
  EXPECT_EQ(static_cast<TProtectionLayerGeneral*>(now[3])->DateTime.size(), 12u);

  // Min from the record, max by kind; current follows SetMinimumProtection.
  EXPECT_EQ(list.GetProtectionServices(TProtectionLayers::psPMin).Bits(), 0x0Eu);
  EXPECT_EQ(list.GetProtectionServices(TProtectionLayers::psPMax).Bits(), 0x0Eu);
  EXPECT_EQ(list.GetProtectionServices(TProtectionLayers::psCurrent).Bits(), 0u);
  list.SetMinimumProtection();
  EXPECT_EQ(list[0]->COSEMProtectionServices, (TCOSEMProtectionServices{psAuthentication, psEncryption, psSignature}));
  EXPECT_EQ(list.GetProtectionServices(TProtectionLayers::psCurrent).Bits(), 0x0Eu);

  const struct {
    int kind, style, keyInfo;
    const char* message;
  } bad[] = {{1, 6, 0, "Unknown ciphering style 6 in protection layer 0"},
             {1, 5, 5, "Unknown key information 5 in protection layer 0"},
             {3, 1, 0, "Unknown protection layer kind 3 in protection layer 0"}};
  for (const auto& b : bad) {
    ::TProtectionLayer one[4] = {};
    one[0].Kind = b.kind;
    one[0].Style = b.style;
    one[0].KeyInfo = b.keyInfo;
    try {
      TProtectionLayers::FromRecords(one, sources);
      ADD_FAILURE() << b.message;
    } catch (const EGeneralError& e) {
      EXPECT_STREQ(e.what(), b.message);
    }
  }
}

TEST(ProtectionLayerRecords, CosemDateTimeOfALocalTime) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 13;
  t.tm_wday = 0;  // Sunday
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  EXPECT_EQ(Hex(COSEMDateTime(t)), "07EA0C0D07173B3A008000FF");
  t.tm_wday = 1;
  EXPECT_EQ(static_cast<uint8_t>(COSEMDateTime(t)[4]), 1);
  EXPECT_EQ(CurrentCOSEMDateTime().size(), 12u);
}

// --------------------------------------------------- general layers ----

// Client and server each hold their own private keys and the other's
// public keys, as two real parties would.
class GeneralLayerTest : public LayerTest, public ::testing::WithParamInterface<int> {
protected:
  GeneralLayerTest() : Client(GetParam()), Server(GetParam()) {
    AddSymmetricKeys(Client);
    AddSymmetricKeys(Server);
    for (TKeyPairType type : {kpSigning, kpAgreement, kpEphemeral}) {
      TKeyPair c, s;
      EXPECT_TRUE(GenerateKeyPair(GetParam(), c));
      EXPECT_TRUE(GenerateKeyPair(GetParam(), s));
      Client.AddKeyPair(kClient, type, c);
      Client.AddKeyPair(kServer, type, {"", s.PublicKey});
      Server.AddKeyPair(kServer, type, s);
      Server.AddKeyPair(kClient, type, {"", c.PublicKey});
    }
  }

  template <class L>
  std::unique_ptr<L> General(TCOSEMProtectionServices services) {
    auto l = std::make_unique<L>();
    l->OriginatorSystemTitle = kClient;
    l->RecipientSystemTitle = kServer;
    l->TransactionId = H("0102030405060708");
    l->OtherInformation = H("AA");
    l->COSEMProtectionServices = services;
    if constexpr (std::is_same_v<L, TProtectionLayerGeneralCiphering>)
      l->FrameCounterFunc = [this] {
        ++Draws;
        return Counter;
      };
    return l;
  }

  std::unique_ptr<TProtectionLayerGeneralCiphering> Ciphering(TKeyInfo keyInfo,
                                                              TCOSEMProtectionServices services = kAuthEnc) {
    auto l = General<TProtectionLayerGeneralCiphering>(services);
    l->KeyInfo = keyInfo;
    return l;
  }

  std::unique_ptr<T_COSEMpdu> ApplyOne(std::unique_ptr<TProtectionLayer> layer, TSecurityMaterial& m) {
    TProtectionLayers list;
    list.Add(std::move(layer));
    return list.Apply(*Apdu(kGetRequest), &m, &Log);
  }

  std::string ServerRemoveError(const PduStr& bytes) { return RemoveError(bytes, &Server); }

  TSecurityMaterialClient Client, Server;
};

TEST_P(GeneralLayerTest, GeneralCipheringRoundTripsWithEveryKeyInformation) {
  const TKeyInfo infos[] = {TKeyInfo::Identified(kiGUEK), TKeyInfo::Wrapped(kiKEK), TKeyInfo::Agreed(kaOPDH),
                            TKeyInfo::Agreed(kaSUM)};
  for (const auto& info : infos) {
    SCOPED_TRACE(KeyInfoToString(info));
    auto out = ApplyOne(Ciphering(info), Client);
    ASSERT_EQ(out->Tag, 221);
    TProtectionLayers received;
    auto plain = RemoveAll(out->Encoded(), received, &Server);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->Encoded(), kGetRequest);
    ASSERT_EQ(received.Count(), 1);
    auto* layer = static_cast<TProtectionLayerGeneralCiphering*>(received[0]);
    EXPECT_EQ(layer->KeyInfo, info);
    EXPECT_EQ(layer->FrameCounter, Counter);
    EXPECT_EQ(layer->TransactionId, H("0102030405060708"));
    EXPECT_EQ(layer->OriginatorSystemTitle, kClient);
    EXPECT_EQ(layer->OtherInformation, H("AA"));
    EXPECT_EQ(layer->COSEMProtectionServices, kAuthEnc);
  }
}

TEST_P(GeneralLayerTest, WrappedKeyIsFreshEveryTimeAndUnwrapsWithTheKek) {
  auto keyData = [](const T_COSEMpdu& pdu) {
    const auto& gc = static_cast<const T_GeneralCiphering&>(*pdu.Value);
    return static_cast<const T_WrappedKey*>(gc.FKeyInfo()->Value.get())->FKeyCipheredData()->Value;
  };
  auto first = ApplyOne(Ciphering(TKeyInfo::Wrapped(kiKEK)), Client);
  auto second = ApplyOne(Ciphering(TKeyInfo::Wrapped(kiKEK)), Client);
  const PduStr a = keyData(*first), b = keyData(*second);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.size(), static_cast<size_t>(Client.SymetricKeySize() + 8));
  // The log shows the fresh key; unwrapping with the KEK gives it back.
  const PduStr kek = Client.GetSymmetricKey(kiKEK);
  const PduStr fresh = TKeyWrap::UnWrap(GetParam(), b, kek);
  EXPECT_NE(std::find(Lines.begin(), Lines.end(), "WRAPPED " + Hex(fresh) + " WITH = " + Hex(kek)), Lines.end());
}

TEST_P(GeneralLayerTest, StaticUnifiedModelDerivesFromA17BytePartU) {
  auto out = ApplyOne(Ciphering(TKeyInfo::Agreed(kaSUM)), Client);
  const auto& gc = static_cast<const T_GeneralCiphering&>(*out->Value);
  const auto* agreed = static_cast<const T_AgreedKey*>(gc.FKeyInfo()->Value.get());
  EXPECT_EQ(agreed->FKeyParameters()->Value, H("02"));
  EXPECT_EQ(agreed->FKeyCipheredData()->Value, "");

  // Derive the key independently from the server's side.
  PduStr z, ek, plain;
  ASSERT_TRUE(GetSharedSecret(GetParam(), Server.GetPrivateKey(kServer, kpAgreement),
                              Server.GetPublicKey(kClient, kpAgreement), z));
  const PduStr partU = kClient + H("08") + H("0102030405060708");
  ASSERT_EQ(partU.size(), 17u);
  const PduStr oid = TProtectionHelper::GetAlgorithmOID(GetParam() == 1 ? aiAES_GCM_128 : aiAES_GCM_256);
  ASSERT_TRUE(GetDerivedKey(GetParam(), z, oid + partU + kServer, ek));
  const PduStr extra = H("08 0102030405060708 08") + kClient + H("08") + kServer + H("00 01 AA");
  TSecurityControl sc;
  uint32_t ic;
  TGCMCipher::GCMDecrypt(kClient, gc.FCipheredContent()->Value, extra, ek, Client.GetSymmetricKey(kiGAK), sc, ic,
                         plain);
  EXPECT_EQ(plain, kGetRequest);
  EXPECT_EQ(sc.SecuritySuite, GetParam());
}

TEST_P(GeneralLayerTest, ReceivedKeyInformationIsChecked) {
  struct TCase {
    const char* name;
    TKeyInfo info;
    std::function<void(T_GeneralCiphering&)> tamper;
    const char* message;
  };
  const TCase cases[] = {
      {"identified key id 1", TKeyInfo::Identified(kiGUEK),
       [](T_GeneralCiphering& gc) { static_cast<T_IdentifiedKey*>(gc.FKeyInfo()->Value.get())->FKeyId()->Value = 1; },
       "Identified key id not supported"},
      {"SUM with key data", TKeyInfo::Agreed(kaSUM),
       [](T_GeneralCiphering& gc) {
         static_cast<T_AgreedKey*>(gc.FKeyInfo()->Value.get())->FKeyCipheredData()->Value = "x";
       },
       "Unexpected Key-ciphered-data"},
      {"OPDH signature", TKeyInfo::Agreed(kaOPDH),
       [](T_GeneralCiphering& gc) {
         PduStr& d = static_cast<T_AgreedKey*>(gc.FKeyInfo()->Value.get())->FKeyCipheredData()->Value;
         d.back() = static_cast<char>(d.back() ^ 1);
       },
       "Signature check failed in GeneralCiphering"},
      {"OPDH without signature", TKeyInfo::Agreed(kaOPDH),
       [](T_GeneralCiphering& gc) {
         PduStr& d = static_cast<T_AgreedKey*>(gc.FKeyInfo()->Value.get())->FKeyCipheredData()->Value;
         d.resize(10);
       },
       "Signature check failed in GeneralCiphering"},
      {"wrapped key", TKeyInfo::Wrapped(kiKEK),
       [](T_GeneralCiphering& gc) {
         PduStr& d = static_cast<T_WrappedKey*>(gc.FKeyInfo()->Value.get())->FKeyCipheredData()->Value;
         d[0] = static_cast<char>(d[0] ^ 1);
       },
       "TKeyWrap.UnWrap: Error: -3"},
      {"short originator", TKeyInfo::Identified(kiGUEK),
       [](T_GeneralCiphering& gc) { gc.FOriginatorSystemTitle()->Value.pop_back(); }, "System-title of illegal length"},
      {"other information", TKeyInfo::Identified(kiGUEK),
       [](T_GeneralCiphering& gc) { gc.FOtherInformation()->Value = "AB"; }, "Authentication failure (Decrypt error)"},
      {"date-time", TKeyInfo::Agreed(kaSUM),
       [](T_GeneralCiphering& gc) { gc.FDateTime()->Value = PduStr(12, '\0'); },
       "Authentication failure (Decrypt error)"},
  };
  for (const auto& c : cases) {
    auto out = ApplyOne(Ciphering(c.info), Client);
    c.tamper(static_cast<T_GeneralCiphering&>(*out->Value));
    EXPECT_EQ(ServerRemoveError(out->Encoded()), c.message) << c.name;
  }
  // The wrapping failure is a protection error.
  auto out = ApplyOne(Ciphering(TKeyInfo::Wrapped(kiKEK)), Client);
  static_cast<T_WrappedKey*>(static_cast<T_GeneralCiphering&>(*out->Value).FKeyInfo()->Value.get())
      ->FKeyCipheredData()
      ->Value.pop_back();
  TProtectionLayers list;
  EXPECT_THROW(RemoveAll(out->Encoded(), list, &Server), EProtection);
}

TEST_P(GeneralLayerTest, SigningInsideGeneralGloIsPeeledInOrder) {
  TProtectionLayers list;
  list.Add(General<TProtectionLayerGeneralSigning>({psSignature}));
  list.Add(Layer<TProtectionLayerGloDedGeneral>(kAuthEnc));
  auto out = list.Apply(*Apdu(kGetRequest), &Client, &Log);
  ASSERT_EQ(out->Tag, 219);
  EXPECT_NE(std::find(Lines.begin(), Lines.end(), ">>>Applying SIGNATURE on: @20"), Lines.end());
  EXPECT_NE(std::find(Lines.begin(), Lines.end(), "PRIV.KEY: " + Hex(Client.GetPrivateKey(kClient, kpSigning))),
            Lines.end());

  // The general-glo layer holds a general-signing APDU.
  TSecurityControl sc;
  uint32_t ic;
  PduStr inner;
  TGCMCipher::GCMDecrypt(kClient, CipheredInformationOf(*out), "", Client.GetSymmetricKey(kiGUEK),
                         Client.GetSymmetricKey(kiGAK), sc, ic, inner);
  EXPECT_EQ(static_cast<uint8_t>(inner[0]), 223);

  TProtectionLayers received;
  auto plain = RemoveAll(out->Encoded(), received, &Server);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->Encoded(), kGetRequest);
  ASSERT_EQ(received.Count(), 2);
  EXPECT_STREQ(received[0]->ClassName(), "TProtectionLayerGeneralSigning");
  EXPECT_STREQ(received[1]->ClassName(), "TProtectionLayerGloDedGeneral");
  EXPECT_EQ(received[0]->COSEMProtectionServices, TCOSEMProtectionServices{psSignature});
  EXPECT_EQ(received.GetProtectionServices(TProtectionLayers::psCurrent).Bits(), 0x0Eu);
}

TEST_P(GeneralLayerTest, TamperedOrForeignSignatureFails) {
  auto sign = [&] {
    TProtectionLayers list;
    list.Add(General<TProtectionLayerGeneralSigning>({psSignature}));
    return list.Apply(*Apdu(kGetRequest), &Client, &Log);
  };
  auto out = sign();
  auto& gs = static_cast<T_GeneralSigning&>(*out->Value);
  EXPECT_EQ(gs.FContent()->Value, kGetRequest);
  EXPECT_EQ(gs.FSignature()->Value.size(), static_cast<size_t>(Client.PublicKeySize()));
  EXPECT_EQ(ServerRemoveError(out->Encoded()), "no error");
  gs.FContent()->Value[3] = static_cast<char>(gs.FContent()->Value[3] ^ 1);
  EXPECT_EQ(ServerRemoveError(out->Encoded()), "Signature check failed in GeneralSigning");
  auto other = sign();
  static_cast<T_GeneralSigning&>(*other->Value).FTransactionId()->Value = "changed";
  EXPECT_EQ(ServerRemoveError(other->Encoded()), "Signature check failed in GeneralSigning");
  // The server does not know the client's signing key under another title.
  auto foreign = sign();
  static_cast<T_GeneralSigning&>(*foreign->Value).FOriginatorSystemTitle()->Value = "FOREIGN1";
  EXPECT_EQ(ServerRemoveError(foreign->Encoded()), "No public key Signing defined for \\FOREIGN1 ");
}

INSTANTIATE_TEST_SUITE_P(Suites, GeneralLayerTest, ::testing::Values(1, 2));

TEST_F(LayerTest, GeneralFieldsAndSuite0Limits) {
  TProtectionLayerGeneralCiphering empty;
  EXPECT_EQ(empty.GetAdditionalFieldsForSignatureOrAuthentication(), H("0000000000"));
  empty.TransactionId = PduStr(130, 't');
  empty.OtherInformation = "o";
  EXPECT_EQ(empty.GetAdditionalFieldsForSignatureOrAuthentication(),
            H("8182") + PduStr(130, 't') + H("000000") + H("01") + "o");

  auto signing = std::make_unique<TProtectionLayerGeneralSigning>();
  TProtectionLayers list;
  list.Add(std::move(signing));  // services empty: still refused under suite 0
  try {
    list.Apply(*Apdu(kGetRequest), &Material, &Log);
    FAIL();
  } catch (const EGeneralError& e) {
    EXPECT_STREQ(e.what(), "Digital signature requires security suite 1 or 2");
  }

  auto agreed = std::make_unique<TProtectionLayerGeneralCiphering>();
  agreed->KeyInfo = TKeyInfo::Agreed(kaOPDH);
  agreed->OriginatorSystemTitle = kClient;
  agreed->FrameCounterFunc = [] { return 1u; };
  TProtectionLayers list2;
  list2.Add(std::move(agreed));
  try {
    list2.Apply(*Apdu(kGetRequest), &Material, &Log);
    FAIL();
  } catch (const EGeneralError& e) {
    EXPECT_STREQ(e.what(), "Key agreement requires security suite 1 or 2");
  }
}

TEST_F(LayerTest, GeneralCipheringWithoutServicesCarriesThePlainApdu) {
  auto layer = std::make_unique<TProtectionLayerGeneralCiphering>();
  layer->KeyInfo = TKeyInfo::Identified(kiGUEK);
  layer->OriginatorSystemTitle = kClient;
  layer->RecipientSystemTitle = kServer;
  layer->FrameCounterFunc = [] { return 0x0Au; };
  TProtectionLayers list;
  list.Add(std::move(layer));
  auto out = list.Apply(*Apdu(kGetRequest), &Material, &Log);
  ASSERT_EQ(out->Tag, 221);
  const auto& gc = static_cast<const T_GeneralCiphering&>(*out->Value);
  EXPECT_EQ(gc.FCipheredContent()->Value, H("000000000A") + kGetRequest);
  EXPECT_EQ(Lines.front(), ">>>Applying general ciphering [] to: @20");

  TProtectionLayers received;
  EXPECT_EQ(RemoveAll(out->Encoded(), received)->Encoded(), kGetRequest);
  std::vector<std::string> description;
  received[0]->ToStringList(description);
  EXPECT_EQ(description,
            (std::vector<std::string>{"ClassName=TProtectionLayerGeneralCiphering", "TransactionId=",
                                      "OriginatorSystemTitle=4D4D4D0000000001",
                                      "RecipientSystemTitle=4D4D4D0000BC614E", "DateTime=", "OtherInformation=",
                                      "COSEMProtectionServices=[]", "FrameCounter=10",
                                      "KeyInfo=Identified KeyId=GUEK"}));
}

}  // namespace
}  // namespace quillon
