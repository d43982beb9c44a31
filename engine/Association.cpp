// Opening an application association: the record's security fields and keys,
// the AARQ, the protection of its InitiateRequest, the checks on the AARE and
// the two high-level-security passes that prove each side knows the secret.
#include <openssl/rand.h>

#include <mutex>

#include "engine/DLMSServices.h"
#include "engine/ExtendedContext.h"
#include "engine/PduHelpers.h"
#include "security/CryptoServices.h"
#include "security/GCMCipher.h"
#include "security/ProtectionLayers.h"
#include "xmlpdu/ACSE.h"
#include "xmlpdu/infra/ExchangeErrors.h"

namespace quillon {

namespace {

constexpr int32_t kLogIndent = 20;
constexpr int kAuthenticationRequired = 14;
constexpr size_t kMinChallenge = 8;
constexpr size_t kMaxChallenge = 64;

const char* const kContextNames[] = {"SN", "SN_WITH_CIPHERING", "LN", "LN_WITH_CIPHERING"};
const TObjectIdentifier kContextIds[] = {oiSN, oiSN_WITH_CIPHERING, oiLN, oiLN_WITH_CIPHERING};
const char* const kMechanismNames[] = {"LOWEST_SECURITY",   "LOW_SECURITY",        "HIGH_SECURITY",
                                       "HIGH_SECURITY_MD5", "HIGH_SECURITY_SHA1",  "HIGH_SECURITY_GMAC",
                                       "HIGH_SECURITY_SHA256", "HIGH_SECURITY_ECDSA"};

// Conformance bits each referencing model proposes, before the caller's
// DoNotAdvertizeCBBits removes some.
constexpr uint32_t Bits(std::initializer_list<int> bits) {
  uint32_t v = 0;
  for (int b : bits) v |= 1u << b;
  return v;
}
constexpr uint32_t kLNConformance = Bits({1, 2, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 20, 21, 22, 23});
constexpr uint32_t kSNConformance = Bits({1, 2, 3, 4, 5, 11, 12, 14, 15, 16, 18});

bool IsHLS(int32_t mechanism) { return mechanism >= 3 && mechanism <= 8; }

TObjectIdentifier MechanismId(int32_t mechanism) {
  return static_cast<TObjectIdentifier>(oiNO_SECURITY + (mechanism - 1));
}

// Challenges and dedicated keys come from OpenSSL's generator, which is
// seeded by the operating system and safe to share across the process.
PduStr RandomBytes(size_t count) {
  PduStr s(count, '\0');
  if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char*>(s.data()), static_cast<int>(count)) != 1)
    RaiseGeneral("Random source failed");
  return s;
}

// Uniform in 0..n-1 without the bias of a plain modulo.
unsigned RandomBelow(unsigned n) {
  const unsigned limit = 256 - 256 % n;
  for (;;) {
    const unsigned v = static_cast<uint8_t>(RandomBytes(1)[0]);
    if (v < limit) return v % n;
  }
}

PduStr RandomChallenge() { return RandomBytes(kMinChallenge + RandomBelow(kMaxChallenge - kMinChallenge + 1)); }

PduStr RequiredBytes(const uint8_t* p, int32_t size, const char* name) {
  if (p == nullptr) RaiseGeneral(Format("%s required", name));
  return TContextHelper::BytesOf(p, size);
}

PduStr OptionalBytes(const uint8_t* p, int32_t size) { return TContextHelper::BytesOf(p, size); }

void CheckProtectionLayerRecords(PDLMSProtocolContext ctx) {
  for (int i = 0; i < 4 && ctx->ProtectionLayers[i].Kind != 0; ++i) {
    const ::TProtectionLayer& r = ctx->ProtectionLayers[i];
    if (r.Kind != 1 && r.Kind != 2) RaiseGeneral("Illegal protection layer kind");
    if (r.Kind == 1 && (r.Style < 1 || r.Style > 5)) RaiseGeneral("Protection layer style needed");
    const bool generalCiphering = r.Kind == 1 && r.Style == 5;
    if (generalCiphering && (r.KeyInfo < 1 || r.KeyInfo > 4)) RaiseGeneral("Protection layer key info needed");
    if ((generalCiphering || r.Kind == 2) && r.Originator != 1 && r.Originator != 2)
      RaiseGeneral("Protection layer Originator needed");
    // The third party as originator needs its title in the layer's fields.
    if ((generalCiphering || r.Kind == 2) && r.Originator == 2)
      RequiredBytes(ctx->ThirdPartysystemTitle, 8, "ThirdParty System Title");
  }
}

// ------------------------------------------------------------------- AARQ

std::string AARQXml(PDLMSProtocolContext ctx, TExtendedContext& state) {
  const int32_t mechanism = ctx->MechanismName;
  std::string xml = "<AssociationRequest>";
  xml += Format("<ApplicationContextName Value=\"%s\" />", kContextNames[ctx->ApplicationContext - 1]);
  if (TContextHelper::IsCipheredContext(ctx) || mechanism >= 6)
    xml += Format("<CallingAPTitle Value = \"%s\"/>",
                  TMisc::ByteStrToHexStr(TContextHelper::BytesOf(ctx->ClientSystemTitle, 8)).c_str());
  if (ctx->ClientUserIdSupported)
    xml += Format("<CallingAEInvocationId Value = \"%s\" />", Hex2(static_cast<unsigned>(ctx->ClientUserId)).c_str());
  if (mechanism != 1) {
    PduStr value;
    if (mechanism == 2) {
      value = TContextHelper::BytesOf(ctx->Secret);
    } else if (mechanism >= 4) {
      value = TContextHelper::BytesOf(ctx->HLSChallenge);
      if (value.empty()) value = RandomChallenge();
    }
    xml += "<SenderACSERequirements Value=\"1\" />";
    xml += Format("<MechanismName Value=\"%s\" />", kMechanismNames[mechanism - 1]);
    xml += Format("<CallingAuthenticationValue Value = \"%s\" />", TMisc::ByteStrToHexStr(value).c_str());
  }
  xml += "<InitiateRequest>";
  if (ctx->UseDedicatedKey) {
    const PduStr key = RandomBytes(ctx->SecuritySuite == 3 ? 32 : 16);
    state.FSecurityMaterial->AddSymmetricKey(kiDEK, key);
    xml += Format("<DedicatedKey Value = \"%s\" />", TMisc::ByteStrToHexStr(key).c_str());
  }
  xml += "<ProposedDlmsVersionNumber Value=\"06\" /><ProposedConformance>";
  const uint32_t proposed =
      (TContextHelper::IsLNReferencing(ctx) ? kLNConformance : kSNConformance) & ~ctx->DoNotAdvertizeCBBits;
  for (int bit = 0; bit < T_Conformance::kBitCount; ++bit)
    if (proposed & (1u << bit)) xml += Format("<ConformanceBit Name=\"%s\" />", T_Conformance::ValueToName(bit));
  xml += "</ProposedConformance>";
  const int32_t size = ctx->ClientMaxReceivePDUSize;
  xml += Format("<ProposedMaxPduSize Value=\"%s\" />",
                TMisc::IntToHex(size < 12 || size > 65535 ? 65535u : static_cast<unsigned>(size), 4).c_str());
  xml += "</InitiateRequest></AssociationRequest>";
  return xml;
}

T_AssociationRequest& AARQOf(const TExtendedContext& state) {
  auto* aarq = ServiceOf<T_AssociationRequest>(*state.FAARQCOSEMPdu);
  CheckAssertion(aarq != nullptr, "AARQ built");
  return *aarq;
}

// ------------------------------------------------------------------- AARE

bool FirstBitSet(const TBERBitStr* b) { return b != nullptr && !b->Value.empty() && b->Value[0] == '1'; }

void CheckAARE(PDLMSProtocolContext ctx, TExtendedContext& state) {
  const int32_t mechanism = ctx->MechanismName;
  const bool hls = IsHLS(mechanism);
  T_AssociationResponse* aare = ServiceOf<T_AssociationResponse>(*state.FAARECOSEMPdu);
  if (aare == nullptr) RaiseGeneral("Unexpected response to AssociationRequest");
  if (aare->ProtocolVersion() != nullptr && !FirstBitSet(aare->ProtocolVersion()))
    RaiseGeneral("AARE Protocol-version field present, but a wrong value");
  const T_AssociationRequest& aarq = AARQOf(state);
  if (aare->ApplicationContextName() == nullptr ||
      aare->ApplicationContextName()->Value != aarq.ApplicationContextName()->Value)
    RaiseGeneral("Unexpected application context name");
  if (aare->AssociationResult() == nullptr || aare->AssociationResult()->Value != 0)
    RaiseGeneral("Association is not \"accepted\"");
  const T_ResultSourceDiagnostic* diagnostic = aare->ResultSourceDiagnostic();
  if (diagnostic == nullptr || diagnostic->Value == nullptr) RaiseGeneral("Result-source-disgnostic is missing");
  if (diagnostic->Tag1() != 0xA1) RaiseGeneral("Result-source-disgnostic is not ACSE-service-user");
  if (hls && diagnostic->Diagnostic() != kAuthenticationRequired)
    RaiseGeneral("\"Authentication required\" expected");

  const TObjectIdentifier context = aare->ApplicationContextName()->Value;
  const bool cipheredAnswer = context == oiLN_WITH_CIPHERING || context == oiSN_WITH_CIPHERING;
  if (cipheredAnswer || mechanism >= 6) {
    if (aare->RespondingAPTitle() == nullptr) RaiseGeneral("No system title received");
    if (aare->RespondingAPTitle()->Value != TContextHelper::BytesOf(ctx->ServerSystemTitle, 8))
      RaiseGeneral("The received system-title does not match the declared value");
  }
  const T_ACSERequirement* requirement = aare->ResponderACSERequirement();
  if (mechanism == 1 && requirement != nullptr) RaiseGeneral("Unexpected responded acse-requirement");
  if (mechanism == 2) {
    if (requirement != nullptr && !FirstBitSet(requirement)) RaiseGeneral("Illegal responder acse-requirement");
    if (aare->RespondingAuthenticationValue() != nullptr) RaiseGeneral("Unexpected responding authentication value");
    if (requirement != nullptr &&
        (aare->MechanismName() == nullptr || aare->MechanismName()->Value != MechanismId(2)))
      RaiseGeneral("Mechanism name absent or wrong");
  }
  if (hls) {
    if (!FirstBitSet(requirement)) RaiseGeneral("Illegal responder acse-requirement");
    if (aare->MechanismName() == nullptr || aare->MechanismName()->Value != MechanismId(mechanism))
      RaiseGeneral("Mechanism name absent or wrong");
    const T_AuthenticationValue* stoc = aare->RespondingAuthenticationValue();
    if (stoc == nullptr || stoc->Value.size() < kMinChallenge || stoc->Value.size() > kMaxChallenge)
      RaiseGeneral("Illegal responding-authentication-value");
    if (aarq.CallingAuthenticationValue() != nullptr && aarq.CallingAuthenticationValue()->Value == stoc->Value)
      RaiseGeneral("Responding auth. value = calling auth. value");
  }

  T_BERCOSEMpdu* userInformation = aare->UserInformation();
  if (cipheredAnswer) {
    if (userInformation == nullptr || userInformation->Value == nullptr) RaiseGeneral("User-information not ciphered");
    const TProtectionServices found = TCiphering::UnprotectUserInformation(ctx, *userInformation);
    if (!(found == state.ProtectionAppliedToInitiateRequest))
      RaiseGeneral("Protection on InitiateResponse not the same as on the request");
  }
  const T_InitiateResponse* initiate =
      userInformation == nullptr ? nullptr : dynamic_cast<const T_InitiateResponse*>(userInformation->Value.get());
  if (initiate == nullptr) RaiseGeneral("User-information is not InitiateResponse");
  if (TContextHelper::IsCipheredContext(ctx))
    TContextHelper::Logging(ctx).LogProtocolItem(*initiate, "DECIPHERED USER INFORMATION", kLogIndent);
  if (initiate->FNegotiatedDlmsVersionNumber()->Value != 6) RaiseGeneral("Illegal negotiated DLMS version number");

  uint32_t conformance = 0;
  for (int bit = 0; bit < T_Conformance::kBitCount; ++bit)
    if (initiate->FNegotiatedConformance()->IsBitSet(bit)) conformance |= 1u << bit;
  ctx->NegotiatedConformance = conformance;
  const uint32_t serverMax = initiate->FNegotiatedMaxPduSize()->Value;
  if (serverMax < 12) RaiseGeneral("Server-max-receive-pdu-size is to small");
  ctx->NegotiatedMaxPduSize = static_cast<int32_t>(serverMax);
  const uint16_t vaa = static_cast<uint16_t>(initiate->FVaaName()->Value);
  if (vaa != (TContextHelper::IsLNReferencing(ctx) ? 0x0007 : 0xFA00)) RaiseGeneral("Illegal VAA-name");

  if (!hls) state.AssociationState = asAssociated;
  state.AAREXml = state.FAARECOSEMPdu->ToXMLString();
}

// ------------------------------------------------------- HLS passes 3, 4

// What pass 3 and 4 compute from: both challenges and both system titles.
struct THLSInputs {
  PduStr StoC, CtoS, Secret, STc, STs;
};

THLSInputs HLSInputsOf(PDLMSProtocolContext ctx, const TExtendedContext& state) {
  const T_AssociationRequest& aarq = AARQOf(state);
  const auto* aare = ServiceOf<T_AssociationResponse>(*state.FAARECOSEMPdu);
  THLSInputs in;
  in.StoC = aare->RespondingAuthenticationValue()->Value;
  if (aarq.CallingAuthenticationValue() != nullptr) in.CtoS = aarq.CallingAuthenticationValue()->Value;
  in.Secret = TContextHelper::BytesOf(ctx->Secret);
  if (aarq.CallingAPTitle() != nullptr) in.STc = aarq.CallingAPTitle()->Value;
  if (aare->RespondingAPTitle() != nullptr) in.STs = aare->RespondingAPTitle()->Value;
  return in;
}

PduStr ClientResponse(PDLMSProtocolContext ctx, TSecurityMaterial& material, const THLSInputs& in) {
  switch (ctx->MechanismName) {
    case 3: return TDLMSServices::GetP2Response(in.StoC, in.Secret);
    case 4: return THASH::MD5(in.StoC + in.Secret);
    case 5: return THASH::SHA1(in.StoC + in.Secret);
    case 6:
      return TGCMCipher::ResponseToChallenge(in.STc, in.StoC, material.GetSymmetricKey(kiGUEK),
                                             material.GetSymmetricKey(kiGAK),
                                             TContextHelper::NextInvocationCounter(ctx), material.GetSecuritySuite());
    case 7: return THASH::SHA256(in.Secret + in.STc + in.STs + in.StoC + in.CtoS);
    case 8: {
      PduStr signature;
      if (!ECDSASign(material.GetSecuritySuite(), in.STc + in.STs + in.StoC + in.CtoS,
                     material.GetPrivateKey(in.STc, kpSigning), signature)) {
        std::string reason;
        GetLastErrorString(reason);
        RaiseGeneral(reason);
      }
      return signature;
    }
    default: CheckAssertion(false, "high-level mechanism"); return {};
  }
}

bool ServerResponseAccepted(PDLMSProtocolContext ctx, TSecurityMaterial& material, const THLSInputs& in,
                            const PduStr& received) {
  switch (ctx->MechanismName) {
    case 4: return received == THASH::MD5(in.CtoS + in.Secret);
    case 5: return received == THASH::SHA1(in.CtoS + in.Secret);
    case 6:
      return TGCMCipher::CheckOtherResponseToChallenge(TContextHelper::BytesOf(ctx->ServerSystemTitle, 8), received,
                                                       in.CtoS, material.GetSymmetricKey(kiGUEK),
                                                       material.GetSymmetricKey(kiGAK), material.GetSecuritySuite());
    case 7: return received == THASH::SHA256(in.Secret + in.STs + in.STc + in.CtoS + in.StoC);
    case 8: {
      bool valid = false;
      return ECDSAVerify(material.GetSecuritySuite(), in.STs + in.STc + in.CtoS + in.StoC, received,
                         material.GetPublicKey(in.STs, kpSigning), valid) &&
             valid;
    }
    default: return false;
  }
}

int HexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  RaiseGeneral("P2: Illegal non hex-character");
}

// Clears the flag however the reply ends.
struct TInitiateProtectionScope {
  explicit TInitiateProtectionScope(TExtendedContext& s) : State(s) { State.UseProtectionAppliedToInitiateRequest = true; }
  ~TInitiateProtectionScope() { State.UseProtectionAppliedToInitiateRequest = false; }
  TExtendedContext& State;
};

}  // namespace

std::string TDLMSServices::GetP2Response(const std::string& challenge, const std::string& secret) {
  if (challenge.size() != 8 || secret.size() != 7) RaiseGeneral("P2: Unexpected \"Encode-Data\" or \"Uncoded PW\" length");
  int c[7], p[7];
  for (int i = 0; i < 7; ++i) {
    c[i] = HexNibble(challenge[static_cast<size_t>(i)]);
    p[i] = HexNibble(secret[static_cast<size_t>(i)]);
  }
  const char variant = challenge[7];
  if (variant < '0' || variant > '5') RaiseGeneral("P2: Unknown variant");
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < 7; ++i) {
    const int sum = (p[i] + c[i]) & 15;
    const bool odd = i % 2 == 1;
    int r = sum;
    switch (variant) {
      case '1': r = p[i] | c[i]; break;
      case '2': r = p[i] ^ c[i]; break;
      case '3': r = odd ? (p[i] | c[i]) : sum; break;
      case '4': r = odd ? (p[i] ^ c[i]) : sum; break;
      default: break;  // '0' and '5': the sum
    }
    out += digits[r & 15];
  }
  out += variant;
  return out;
}

void TDLMSServices::LoadSecurityMaterial(PDLMSProtocolContext ctx) {
  TExtendedContext& state = TContextHelper::State(ctx);
  const int32_t suite = ctx->SecuritySuite;
  state.FSecurityMaterial = std::make_unique<TSecurityMaterialClient>(suite >= 1 && suite <= 3 ? suite - 1 : 0);
  if (suite == 0 && TContextHelper::IsCipheredContext(ctx))
    RaiseGeneral("A ciphering context requires a security suite");
  if (suite < 0 || suite > 3) RaiseGeneral("Illegal Security Suite");
  if (ctx->UseDedicatedKey && suite == 0) RaiseGeneral("Usage of dedicated keys require security suite 0 to 2");
  // Only a ciphered context protects the InitiateRequest; in any other the
  // fresh key would travel in clear.
  if (ctx->UseDedicatedKey && !TContextHelper::IsCipheredContext(ctx))
    RaiseGeneral("Dedicated key not allowed in an unciphered application context");
  TSecurityMaterialClient& m = *state.FSecurityMaterial;
  if (suite != 0) {
    const int32_t symmetric = suite == 3 ? 32 : 16;
    m.AddSymmetricKey(kiGUEK, RequiredBytes(ctx->EncryptionKey, symmetric, "Encryption Key"));
    m.AddSymmetricKey(kiGAK, OptionalBytes(ctx->AuthenticationKey, symmetric));
    m.AddSymmetricKey(kiKEK, RequiredBytes(ctx->KeyEncryptionKey, symmetric, "Key Encryption Key"));
    RequiredBytes(ctx->ClientSystemTitle, 8, "Client System Title");
    RequiredBytes(ctx->ServerSystemTitle, 8, "Server System Title");
  }
  // Mechanisms 6 to 8 compute with both system titles even without a suite;
  // without them the request would carry an empty calling title.
  if (ctx->MechanismName >= 6) {
    RequiredBytes(ctx->ClientSystemTitle, 8, "Client System Title");
    RequiredBytes(ctx->ServerSystemTitle, 8, "Server System Title");
  }
  if (suite == 2 || suite == 3) {
    const int32_t priv = suite == 3 ? 48 : 32;
    const int32_t pub = suite == 3 ? 96 : 64;
    auto pair = [&](const PduStr& title, TKeyPairType type, const uint8_t* privateKey, const char* privateName,
                    const uint8_t* publicKey, const char* publicName) {
      TKeyPair kp;
      kp.PrivateKey = privateName ? RequiredBytes(privateKey, priv, privateName) : OptionalBytes(privateKey, priv);
      kp.PublicKey = publicName ? RequiredBytes(publicKey, pub, publicName) : OptionalBytes(publicKey, pub);
      m.AddKeyPair(title, type, kp);
    };
    const PduStr client = TContextHelper::BytesOf(ctx->ClientSystemTitle, 8);
    pair(client, kpSigning, ctx->ClientPrivateSigningKey, "Client Private Signing Key", ctx->ClientPublicSigningKey,
         "Client Public Signing Key");
    pair(client, kpAgreement, ctx->ClientPrivateKeyAgreementKey, "Client Private KeyAgreement Key",
         ctx->ClientPublicKeyAgreementKey, "Client Public KeyAgreement Key");
    pair(client, kpEphemeral, ctx->ClientPrivateEphemeralKey, nullptr, ctx->ClientPublicEphemeralKey, nullptr);
    if (ctx->ThirdPartysystemTitle != nullptr) {
      const PduStr third = TContextHelper::BytesOf(ctx->ThirdPartysystemTitle, 8);
      pair(third, kpSigning, ctx->ThirdPartyPrivateSigningKey, "ThirdParty Private Signing Key",
           ctx->ThirdPartyPublicSigningKey, "ThirdParty Public Signing Key");
      pair(third, kpAgreement, ctx->ThirdPartyPrivateKeyAgreementKey, "ThirdParty Private KeyAgreement Key",
           ctx->ThirdPartyPublicKeyAgreementKey, "ThirdParty Public KeyAgreement Key");
      pair(third, kpEphemeral, ctx->ThirdPartyPrivateEphemeralKey, nullptr, ctx->ThirdPartyPublicEphemeralKey,
           nullptr);
    }
    const PduStr server = TContextHelper::BytesOf(ctx->ServerSystemTitle, 8);
    pair(server, kpSigning, nullptr, nullptr, ctx->ServerPublicSigningKey, nullptr);
    pair(server, kpAgreement, nullptr, nullptr, ctx->ServerPublicKeyAgreementKey, nullptr);
  }
  CheckProtectionLayerRecords(ctx);
  if (ctx->SignInitiateRequest && suite != 2 && suite != 3)
    RaiseGeneral("SignInitiateRequest requires security suite 1 of 2");
}

void TDLMSServices::DoEstablishAA(PDLMSProtocolContext ctx) {
  try {
    TExtendedContext& state = TContextHelper::State(ctx);
    ctx->NegotiatedMaxPduSize = 2147483647;
    state.FAARQCOSEMPdu = TMake::COSEMPduFromXml(AARQXml(ctx, state));
    T_AssociationRequest& aarq = AARQOf(state);
    if (TContextHelper::IsCipheredContext(ctx)) {
      T_BERCOSEMpdu* userInformation = aarq.UserInformation();
      CheckAssertion(userInformation != nullptr, "AARQ carries an InitiateRequest");
      state.FInitiateRequest.reset(static_cast<T_InitiateRequest*>(userInformation->Value->Clone().release()));
      TProtectionServices s{rcAUTHENTICATION, rcENCRYPTION};
      if (ctx->SignInitiateRequest) s.Include(rcSIGNATURE);
      state.ProtectionAppliedToInitiateRequest = s;
      TCiphering::ProtectUserInformation(ctx, *userInformation);
    }
    state.FAARECOSEMPdu = SendReceiveCOSEMPdu(ctx, *state.FAARQCOSEMPdu);
    CheckAARE(ctx, state);
    if (IsHLS(ctx->MechanismName)) DoEstablishAA_Pass_3_4(ctx);
  } catch (const EFatalFailure&) {
    throw;
  } catch (const std::exception& e) {
    throw EFatalFailure(e.what());
  }
}

void TDLMSServices::DoEstablishAA_Pass_3_4(PDLMSProtocolContext ctx) {
  TExtendedContext& state = TContextHelper::State(ctx);
  TSecurityMaterial& material = *state.FSecurityMaterial;
  const THLSInputs in = HLSInputsOf(ctx, state);
  const PduStr fStoC = ClientResponse(ctx, material, in);
  const bool ln = TContextHelper::IsLNReferencing(ctx);
  const std::string parameter =
      StripDataTags(Format("<Data><OctetString Value = \"%s\"/></Data>", TMisc::ByteStrToHexStr(fStoC).c_str()));
  const std::string request = Format(
      "<ActionRequestNormal><InvokeIdAndPriority Value=\"C1\" /><MethodDescriptor><ClassId Value=\"%s\" />"
      "<InstanceId Value=\"%s\" /><MethodId Value=\"%s\" /></MethodDescriptor><MethodInvocationParameters>%s"
      "</MethodInvocationParameters></ActionRequestNormal>",
      ln ? "000F" : "000C", "0000280000FF", ln ? "01" : "08", parameter.c_str());
  const bool mechanism3 = ctx->MechanismName == 3;

  PduStr fCtoS;
  bool haveData = false;
  {
    TInitiateProtectionScope scope(state);
    const std::string result = DoInvokeMethod(ctx, request, !mechanism3);
    auto response = TMake::SomethingFromXml(xmlActionResponseNormal, &T_ActionResponseNormal::ClassInfo, result);
    const auto& normal = static_cast<const T_ActionResponseNormal&>(*response);
    if (normal.FResult()->Value != 0)
      throw EProtocol(Format("Unexpected response %s to method invocation", normal.FResult()->GetString().c_str()));
    const T_GetDataResult* parameters = normal.FReturnParameters();
    if (parameters != nullptr && parameters->Tag == 0) {
      haveData = true;
      const auto& data = static_cast<const T_Data&>(*parameters->Value);
      const auto* octets = dynamic_cast<const T_OctetString*>(data.Value.get());
      if (octets == nullptr) RaiseGeneral("F(CtoS) has an illegal type");
      fCtoS = octets->Value;
    } else if (!mechanism3) {
      throw EProtocol("No data received from method invocation");
    }
  }
  if (haveData) {
    // Mechanism 3 defines no answer from the server, so there is nothing an
    // answer could be checked against.
    if (mechanism3) throw EProtocol("Unexpected data received from method invocation");
    if (!ServerResponseAccepted(ctx, material, in, fCtoS)) RaiseGeneral("Illegal response to challenge");
  }
  state.AssociationState = asAssociated;
}

}  // namespace quillon
