#include "tools/meter-sim/SimAssociation.h"

#include <openssl/rand.h>

#include <algorithm>
#include <sstream>

#include "security/CryptoServices.h"
#include "security/GCMCipher.h"
#include "xmlpdu/ACSE.h"

namespace quillon::sim {

namespace {

// The conformance the meter offers, per referencing model.
constexpr uint32_t kServerConformanceLN = cbGeneralProtection | cbGeneralBlockTransfer | cbAttribute0SupportedWithGet |
                                          cbPriorityMgmtSupported | cbBlockTransferWithGetOrRead |
                                          cbBlockTransferWithSetOrWrite | cbMultipleReferences | cbAccess | cbGet |
                                          cbSet | cbSelectiveAccess | cbAction;
constexpr uint32_t kServerConformanceSN = cbGeneralProtection | cbGeneralBlockTransfer | cbRead | cbWrite |
                                          cbBlockTransferWithGetOrRead | cbMultipleReferences | cbParameterizedAccess;

// ACSE service-user diagnostics.
enum {
  diagNull = 0,
  diagNoReason = 1,
  diagContextNotSupported = 2,
  diagCallingTitleNotRecognised = 3,
  diagMechanismNotRecognised = 11,
  diagAuthenticationFailure = 13,
  diagAuthenticationRequired = 14,
};

uint32_t ConformanceBits(const T_Conformance& c) {
  uint32_t v = 0;
  for (int k = 0; k < 24; ++k)
    if (c.IsBitSet(k)) v |= 1u << k;
  return v;
}

std::string ConformanceString(uint32_t v) {
  std::string s(24, '0');
  for (int k = 0; k < 24; ++k)
    if (v & (1u << k)) s[static_cast<size_t>(k)] = '1';
  return s;
}

PduStr RandomBytes(size_t n) {
  PduStr s(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(s.data()), static_cast<int>(n)) != 1)
    RaiseGeneral("no random bytes available");
  return s;
}

PduStr BytesOf(const std::string& text) { return TMisc::FormattedStrToByteStr(text); }

TObjectIdentifier ContextName(bool ln, bool ciphered) {
  if (ln) return ciphered ? oiLN_WITH_CIPHERING : oiLN;
  return ciphered ? oiSN_WITH_CIPHERING : oiSN;
}

// Tags of the protected forms of an APDU: service-specific glo (+8 / +0x20)
// and ded (+0x10 / +0x40).
int ProtectedTag(int plainTag, bool dedicated) {
  if (plainTag >= 0xC0) return plainTag + (dedicated ? 0x10 : 0x08);
  return plainTag + (dedicated ? 0x40 : 0x20);
}

}  // namespace

void TSimAssociation::Configure(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  int lineNr = 0;
  while (std::getline(in, line)) {
    ++lineNr;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream ls(line);
    std::string kw;
    ls >> kw;
    if (kw != "client" && kw != "security") continue;
    std::string tok;
    try {
      if (kw == "client") {
        TSimClient c;
        std::string context;
        ls >> c.Address >> context >> c.Mechanism;
        if (context != "LN" && context != "SN" && context != "LN_WITH_CIPHERING" && context != "SN_WITH_CIPHERING")
          RaiseGeneral("context LN, SN, LN_WITH_CIPHERING or SN_WITH_CIPHERING expected");
        if (c.Mechanism < 1 || c.Mechanism > 8) RaiseGeneral("mechanism 1..8 expected");
        c.LogicalNames = context[0] == 'L';
        c.Ciphered = context.find("CIPHERING") != std::string::npos;
        while (ls >> tok)
          if (tok.rfind("secret=", 0) == 0) c.Secret = BytesOf(tok.substr(7));
        AddClient(c);
      } else {
        while (ls >> tok) {
          size_t eq = tok.find('=');
          std::string key = tok.substr(0, eq), value = eq == std::string::npos ? "" : tok.substr(eq + 1);
          if (key == "suite") FSecurity.Suite = std::stoi(value);
          else if (key == "title") FSecurity.SystemTitle = BytesOf(value);
          else if (key == "ek") FSecurity.EK = BytesOf(value);
          else if (key == "ak") FSecurity.AK = BytesOf(value);
          else if (key == "kek") FSecurity.KEK = BytesOf(value);
          else if (key == "sign-private") FSecurity.SigningPrivateKey = BytesOf(value);
          else if (key == "sign-public") FSecurity.SigningPublicKey = BytesOf(value);
          else if (key == "client-sign-public") FSecurity.ClientSigningPublicKey = BytesOf(value);
          else RaiseGeneral("unknown key \"" + key + "\"");
        }
      }
    } catch (const std::exception& e) {
      RaiseGeneral(Format("meter configuration, line %d: %s", lineNr, e.what()));
    }
  }
}

uint32_t TSimAssociation::LastInvocationCounter() const {
  uint32_t last = FFirstClientCounter > 0 ? FFirstClientCounter - 1 : 0;
  for (const auto& [client, counter] : FLastClientCounters) last = std::max(last, counter);
  return last;
}

void TSimAssociation::Reset() {
  FState = sIdle;
  FServer.Session() = TSimSession();
  FCtoS.clear();
  FStoC.clear();
}

PduStr TSimAssociation::Reject(int result, int diagnostic, TObjectIdentifier context, const PduStr& userInformation) {
  auto aare = std::make_unique<T_AssociationResponse>(xmlAssociationResponse);
  aare->ApplicationContextName()->Value = context;
  aare->AssociationResult()->Value = static_cast<uint8_t>(result);
  auto diag = std::make_unique<T_ResultSourceDiagnostic>(xmlResultSourceDiagnostic);
  diag->SelectVariant(xmlACSEServiceUser, std::make_unique<T_ACSEServiceUser>(xmlIgnore, static_cast<uint8_t>(diagnostic)));
  aare->SetResultSourceDiagnostic(std::move(diag));
  // A client that ciphers or authenticates with GMAC learns the meter's
  // system title from the answer, refused or not: a head end that does not
  // yet know which meter called tells the meter by it.
  if (FAnnounceTitle)
    aare->SetRespondingAPTitle(std::make_unique<T_APTitle>(
        xmlRespondingAPTitle,
        FMisbehaviour.AareSystemTitle.empty() ? FSecurity.SystemTitle : FMisbehaviour.AareSystemTitle));
  if (!userInformation.empty()) {
    PduStr withLen;
    EncodeVarLengthUnsignedInteger(withLen, static_cast<int32_t>(userInformation.size()));
    aare->SetUserInformation(MakeFromPdu<T_BERCOSEMpdu>(xmlIgnore, withLen + userInformation));
  }
  Log(Format("association rejected, diagnostic %d", diagnostic));
  return T_COSEMpdu::CreateVariant(xmlAssociationResponse, std::move(aare))->Encoded();
}

std::string TSimAssociation::AssociationObjectsModel() const {
  std::string text;
  int n = 0;
  for (const auto& [address, c] : FClients) {
    if (!c.LogicalNames) continue;
    ++n;
    text += Format("object 15 1 0.0.40.0.%d.255 \"Association of client %d\"\n", n, address);
    text += Format("attr 3 <Structure Qty=\"0002\"><Integer Value=\"%s\" /><LongUnsigned Value=\"0001\" /></Structure>\n",
                   TMisc::IntToHex(address & 0xFF, 2).c_str());
    text += Format("attr 6 <OctetString Value=\"608574050802%s\" />\n", TMisc::IntToHex(c.Mechanism - 1, 2).c_str());
  }
  return text;
}

PduStr TSimAssociation::HandleAarq(const TSimClient* client, const T_AssociationRequest& aarq) {
  Reset();
  FAnnounceTitle = false;
  TObjectIdentifier context = aarq.ApplicationContextName() ? aarq.ApplicationContextName()->Value : oiUNKNOWN;
  if (!client) return Reject(1, diagNoReason, context);
  FCurrent = *client;
  FAnnounceTitle = client->Ciphered || client->Mechanism >= 6;
  TObjectIdentifier expected = ContextName(client->LogicalNames, client->Ciphered);
  if (context != expected) return Reject(1, diagContextNotSupported, expected);
  int mechanism = aarq.MechanismName() ? static_cast<int>(aarq.MechanismName()->Value) - oiNO_SECURITY + 1 : 1;
  // A client that must authenticate but proposes no mechanism is told so.
  if (mechanism == 1 && client->Mechanism > 1) return Reject(1, diagAuthenticationRequired, context);
  if (mechanism != client->Mechanism) return Reject(1, diagMechanismNotRecognised, context);
  PduStr callingValue = aarq.CallingAuthenticationValue() ? aarq.CallingAuthenticationValue()->Value : PduStr();
  if (mechanism == 2 && callingValue != client->Secret) return Reject(1, diagAuthenticationFailure, context);
  if (mechanism >= 4 && FMisbehaviour.MaxChallenge && callingValue.size() > FMisbehaviour.MaxChallenge) {
    Log(Format("challenge of %d bytes, at most %d taken", static_cast<int>(callingValue.size()),
               static_cast<int>(FMisbehaviour.MaxChallenge)));
    return Reject(1, diagAuthenticationFailure, context);
  }
  FClientTitle = aarq.CallingAPTitle() ? aarq.CallingAPTitle()->Value : PduStr();
  if ((client->Ciphered || mechanism >= 6) && FClientTitle.size() != 8) return Reject(1, diagNoReason, context);
  if ((client->Ciphered || mechanism >= 6) && !FMisbehaviour.KnownClientTitle.empty() &&
      FClientTitle != FMisbehaviour.KnownClientTitle)
    return Reject(1, diagCallingTitleNotRecognised, context);

  // The InitiateRequest, deciphered in a ciphered context.
  T_BERCOSEMpdu* ui = aarq.UserInformation();
  if (!ui || !ui->Value) return Reject(1, diagNoReason, context);
  PduStr initiate;
  ui->EncodeToPduStrNoLen(initiate);
  if (client->Ciphered) {
    PduStr plain, failure;
    uint8_t style = 0;
    if (!Decipher(initiate, plain, style, failure, !FMisbehaviour.AarqCounterUnchecked)) {
      // A counter it has seen is refused without a reason; an InitiateRequest
      // it cannot decipher is answered with a confirmed service error
      // (initiate-error, application-reference deciphering-error).
      if (failure == TSimServer::ExceptionResponse(1, 6)) return Reject(1, diagNoReason, context);
      return Reject(1, diagNoReason, context, PduStr("\x0E\x01\x00\x06", 4));
    }
    initiate = plain;
  }
  std::unique_ptr<T_COSEMpdu> initPdu;
  try {
    initPdu = MakeFromPdu<T_COSEMpdu>(xmlIgnore, initiate);
  } catch (const std::exception&) {
    return Reject(1, diagNoReason, context);
  }
  if (initPdu->Tag != 0x01) return Reject(1, diagNoReason, context);
  auto& ir = static_cast<T_InitiateRequest&>(*initPdu->Value);

  TSimSession& s = FServer.Session();
  s.LogicalNames = client->LogicalNames;
  s.Ciphered = client->Ciphered;
  s.Mechanism = mechanism;
  s.ClientAddress = client->Address;
  s.ServerAddress = FServerAddress;
  s.Conformance = ConformanceBits(*ir.FProposedConformance()) & (client->LogicalNames ? kServerConformanceLN : kServerConformanceSN);
  s.ClientMaxPdu = ir.FProposedMaxPduSize()->Value;
  if (s.ClientMaxPdu < 12) s.ClientMaxPdu = 0xFFFF;
  s.ClientPduSize = s.ClientMaxPdu;
  s.SecuritySuite = FSecurity.Suite;
  s.ClientSystemTitle = FClientTitle;
  s.ServerSystemTitle = FSecurity.SystemTitle;
  // Responses are sized before they are ciphered: leave room for the header
  // and the tag.
  // Such a meter splits every answer longer than its own PDU size.
  if (FMisbehaviour.BlocksWithoutBit) s.ClientMaxPdu = std::min(s.ClientMaxPdu, s.ServerMaxPdu);
  if (client->Ciphered) s.ClientMaxPdu -= 32;
  FCtoS = callingValue;

  auto resp = std::make_unique<T_InitiateResponse>(xmlInitiateResponse);
  resp->FNegotiatedDlmsVersionNumber()->Value = 6;
  // A meter that sends data blocks without granting them: the session keeps
  // the bits, the AARE does not show them.
  const uint32_t announced =
      FMisbehaviour.BlocksWithoutBit
          ? s.Conformance & ~(cbBlockTransferWithGetOrRead | cbBlockTransferWithSetOrWrite |
                              cbBlockTransferWithAction | cbGeneralBlockTransfer)
          : s.Conformance;
  resp->FNegotiatedConformance()->Value = ConformanceString(announced);
  resp->FNegotiatedMaxPduSize()->Value = static_cast<uint16_t>(s.ServerMaxPdu);
  resp->FVaaName()->Value = static_cast<int16_t>(client->LogicalNames ? 0x0007 : 0xFA00);
  PduStr respBytes = T_COSEMpdu::CreateVariant(xmlInitiateResponse, std::move(resp))->Encoded();

  auto aare = std::make_unique<T_AssociationResponse>(xmlAssociationResponse);
  aare->ApplicationContextName()->Value = context;
  aare->AssociationResult()->Value = 0;
  bool hls = mechanism >= 3;
  auto diag = std::make_unique<T_ResultSourceDiagnostic>(xmlResultSourceDiagnostic);
  diag->SelectVariant(xmlACSEServiceUser,
                      std::make_unique<T_ACSEServiceUser>(xmlIgnore, hls ? diagAuthenticationRequired : diagNull));
  aare->SetResultSourceDiagnostic(std::move(diag));
  if (client->Ciphered || mechanism >= 6)
    aare->SetRespondingAPTitle(std::make_unique<T_APTitle>(
        xmlRespondingAPTitle,
        FMisbehaviour.AareSystemTitle.empty() ? FSecurity.SystemTitle : FMisbehaviour.AareSystemTitle));
  if (mechanism >= 2) {
    aare->SetResponderACSERequirement(std::make_unique<T_ACSERequirement>(xmlResponderACSERequirement, "1"));
    aare->SetMechanismName(std::make_unique<T_MechanismName>(
        xmlMechanismName, static_cast<TObjectIdentifier>(oiNO_SECURITY + mechanism - 1)));
  }
  if (hls && mechanism == 3) {
    // The manufacturer-specific challenge: seven hex digits and a variant.
    static const char kHex[] = "0123456789ABCDEF";
    PduStr r = RandomBytes(8);
    FStoC.clear();
    for (int i = 0; i < 7; ++i) FStoC += kHex[static_cast<uint8_t>(r[static_cast<size_t>(i)]) & 15];
    FStoC += static_cast<char>('0' + static_cast<uint8_t>(r[7]) % 5);
    aare->SetRespondingAuthenticationValue(std::make_unique<T_AuthenticationValue>(xmlRespondingAuthenticationValue, FStoC));
  } else if (hls) {
    FStoC = RandomBytes(16);
    aare->SetRespondingAuthenticationValue(std::make_unique<T_AuthenticationValue>(xmlRespondingAuthenticationValue, FStoC));
  }
  std::unique_ptr<T_BERCOSEMpdu> out;
  PduStr userInfo = client->Ciphered ? Encipher(respBytes, 1) : respBytes;
  out = MakeFromPdu<T_BERCOSEMpdu>(xmlIgnore, [&] {
    PduStr withLen;
    EncodeVarLengthUnsignedInteger(withLen, static_cast<int32_t>(userInfo.size()));
    return withLen + userInfo;
  }());
  aare->SetUserInformation(std::move(out));
  FState = hls ? sAwaitingHls : sAssociated;
  s.Associated = !hls;
  Log(Format("association %s for client %d (mechanism %d)", hls ? "pending authentication" : "accepted",
             client->Address, mechanism));
  return T_COSEMpdu::CreateVariant(xmlAssociationResponse, std::move(aare))->Encoded();
}

PduStr TSimAssociation::HandleRelease(const T_ReleaseRequest& rlrq) {
  auto rlre = std::make_unique<T_ReleaseResponse>(xmlReleaseResponse);
  if (rlrq.UserInformation() && rlrq.UserInformation()->Value && FCurrent.Ciphered) {
    // A ciphered InitiateRequest in the release request is answered with a
    // ciphered InitiateResponse, as the association did.
    auto resp = std::make_unique<T_InitiateResponse>(xmlInitiateResponse);
    resp->FNegotiatedDlmsVersionNumber()->Value = 6;
    resp->FNegotiatedConformance()->Value = ConformanceString(FServer.Session().Conformance);
    resp->FNegotiatedMaxPduSize()->Value = static_cast<uint16_t>(FServer.Session().ServerMaxPdu);
    resp->FVaaName()->Value = static_cast<int16_t>(FCurrent.LogicalNames ? 0x0007 : 0xFA00);
    PduStr plain = T_COSEMpdu::CreateVariant(xmlInitiateResponse, std::move(resp))->Encoded();
    PduStr cipher = Encipher(plain, 1);
    PduStr withLen;
    EncodeVarLengthUnsignedInteger(withLen, static_cast<int32_t>(cipher.size()));
    rlre->SetUserInformation(MakeFromPdu<T_BERCOSEMpdu>(xmlIgnore, withLen + cipher));
  }
  Log("association released");
  PduStr out = T_COSEMpdu::CreateVariant(xmlReleaseResponse, std::move(rlre))->Encoded();
  Reset();
  return out;
}

PduStr TSimAssociation::ResponseF(const PduStr& challenge, const PduStr& other, bool fromServer) {
  const PduStr& secret = FCurrent.Secret;
  const PduStr& stc = FClientTitle;
  const PduStr& sts = FSecurity.SystemTitle;
  switch (FCurrent.Mechanism) {
    case 3: {
      // Nibble-wise combination of challenge and secret, chosen by the
      // challenge's eighth character.
      if (challenge.size() != 8 || secret.size() != 7) return PduStr();
      auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
      static const char kHex[] = "0123456789ABCDEF";
      char variant = challenge[7];
      PduStr r;
      for (size_t i = 0; i < 7; ++i) {
        int c = nibble(challenge[i]), p = nibble(secret[i]);
        bool odd = i % 2 == 1;
        int v;
        if (variant == '1' || (variant == '3' && odd)) v = p | c;
        else if (variant == '2' || (variant == '4' && odd)) v = p ^ c;
        else v = (p + c) & 15;
        r += kHex[v & 15];
      }
      return r + variant;
    }
    case 4: return THASH::MD5(challenge + secret);
    case 5: return THASH::SHA1(challenge + secret);
    case 7:
      return fromServer ? THASH::SHA256(secret + sts + stc + challenge + other)
                        : THASH::SHA256(secret + stc + sts + challenge + other);
    default: return PduStr();
  }
}

// HLS pass 3 and 4: the client's reply to our challenge, and ours to its.
PduStr TSimAssociation::HandleHlsReply(const PduStr& plainRequest, bool& handled) {
  handled = false;
  std::unique_ptr<T_COSEMpdu> pdu;
  try {
    pdu = MakeFromPdu<T_COSEMpdu>(xmlIgnore, plainRequest);
  } catch (const std::exception&) {
    return PduStr();
  }
  PduStr fStoC;
  uint8_t invokeId = 0xC1;
  bool ln = FCurrent.LogicalNames;
  if (ln && pdu->Tag == 0xC3) {
    auto& ar = static_cast<T_ActionRequest&>(*pdu->Value);
    if (ar.Tag != 1) return PduStr();
    auto& n = static_cast<T_ActionRequestNormal&>(*ar.Value);
    if (n.FMethodDescriptor()->FClassId()->Value != 15 || n.FMethodDescriptor()->FMethodId()->Value != 1) return PduStr();
    invokeId = n.FInvokeIdAndPriority()->Value;
    auto* p = n.FMethodInvocationParameters();
    if (p && p->Tag == 9) fStoC = static_cast<T_OctetString&>(*p->Value).Value;
  } else if (!ln && pdu->Tag == 0x05) {
    auto& rr = static_cast<T_ReadRequest&>(*pdu->Value);
    if (rr.ElementCount() != 1 || rr[0]->Tag != 4) return PduStr();
    auto& pa = static_cast<T_ParametrisedAccess&>(*rr[0]->Value);
    auto* p = pa.FParameter();
    if (p && p->Tag == 9) fStoC = static_cast<T_OctetString&>(*p->Value).Value;
  } else {
    return PduStr();
  }
  handled = true;

  bool ok = false;
  PduStr fCtoS;
  int suite = FSecurity.Suite;
  switch (FCurrent.Mechanism) {
    case 3:
      // The meter proves nothing in return.
      ok = !fStoC.empty() && fStoC == ResponseF(FStoC, FCtoS, false);
      break;
    case 4:
    case 5:
    case 7:
      ok = fStoC == ResponseF(FStoC, FCtoS, false);
      fCtoS = ResponseF(FCtoS, FStoC, true);
      break;
    case 6:
      ok = TGCMCipher::CheckOtherResponseToChallenge(FClientTitle, fStoC, FStoC, FSecurity.EK, FSecurity.AK, suite);
      fCtoS = TGCMCipher::ResponseToChallenge(FSecurity.SystemTitle, FCtoS, FSecurity.EK, FSecurity.AK, FServerCounter++, suite);
      break;
    case 8: {
      bool valid = false;
      ok = ECDSAVerify(suite, FClientTitle + FSecurity.SystemTitle + FStoC + FCtoS, fStoC, FSecurity.ClientSigningPublicKey,
                       valid) &&
           valid;
      if (!ECDSASign(suite, FSecurity.SystemTitle + FClientTitle + FCtoS + FStoC, FSecurity.SigningPrivateKey, fCtoS))
        ok = false;
      break;
    }
    default:
      break;
  }
  Log(ok ? "client authenticated" : "client failed authentication");
  if (ok) {
    FState = sAssociated;
    FServer.Session().Associated = true;
  }
  if (ln) {
    auto resp = std::make_unique<T_ActionResponseNormal>(xmlActionResponseNormal);
    resp->FInvokeIdAndPriority()->Value = invokeId;
    resp->FResult()->Value = ok ? 0 : 3;
    if (ok && FCurrent.Mechanism != 3)
      resp->SetFReturnParameters(T_GetDataResult::CreateVariant(
          xmlData, MakeData(xmlOctetString, std::make_unique<T_OctetString>(xmlIgnore, fCtoS))));
    return T_COSEMpdu::CreateVariant(xmlActionResponse, T_ActionResponse::CreateVariant(xmlActionResponseNormal, std::move(resp)))
        ->Encoded();
  }
  auto rr = std::make_unique<T_ReadResponse>(xmlReadResponse);
  if (ok)
    rr->Add(T_SingleReadResponse::CreateVariant(xmlData, MakeData(xmlOctetString, std::make_unique<T_OctetString>(xmlIgnore, fCtoS))));
  else
    rr->Add(T_SingleReadResponse::CreateVariant(xmlDataAccessError, std::make_unique<T_DataAccessResult>(xmlIgnore, 3)));
  return T_COSEMpdu::CreateVariant(xmlReadResponse, std::move(rr))->Encoded();
}

bool TSimAssociation::Decipher(const PduStr& request, PduStr& plain, uint8_t& style, PduStr& failure, bool checkCounter) {
  failure = TSimServer::ExceptionResponse(1 /* ServiceNotAllowed */, 5 /* DecipheringError */);
  if (request.empty()) return false;
  int tag = static_cast<uint8_t>(request[0]);
  PduStr title = FClientTitle;
  PduStr content;
  try {
    auto pdu = MakeFromPdu<T_COSEMpdu>(xmlIgnore, request);
    if (tag == 0xDB || tag == 0xDC) {
      auto& g = static_cast<T_GeneralGloCiphering&>(*pdu->Value);
      title = g.FSystemTitle()->Value;
      content = g.FCipheredService()->Value;
      style = tag == 0xDB ? 3 : 4;
    } else if (auto* o = dynamic_cast<T_OctetString*>(pdu->Value.get())) {
      content = o->Value;
      bool ded = (tag >= 0xD0 && tag <= 0xD7) || (tag >= 0x41 && tag <= 0x58);
      style = ded ? 2 : 1;
    } else {
      return false;
    }
  } catch (const std::exception&) {
    return false;
  }
  try {
    TSecurityControl sc;
    uint32_t counter = 0;
    TGCMAndCompression::DecryptAndDecompress(title, content, PduStr(), FSecurity.EK, FSecurity.AK, sc, counter, plain,
                                             [](const std::string&) {});
    if (FCounterRecord) FCounterRecord(FCurrent.Address, counter);
    auto last = FLastClientCounters.find(FCurrent.Address);
    const bool tooLow = last != FLastClientCounters.end() ? counter <= last->second : counter < FFirstClientCounter;
    if (checkCounter && tooLow) {
      failure = TSimServer::ExceptionResponse(1, 6 /* InvocationCounterError */);
      if (last != FLastClientCounters.end())
        Log(Format("invocation counter %u of client %d not above %u", counter, FCurrent.Address, last->second));
      else
        Log(Format("invocation counter %u of client %d below %u", counter, FCurrent.Address, FFirstClientCounter));
      return false;
    }
    // Unchecked, the counter is taken as it is and not remembered.
    if (checkCounter) FLastClientCounters[FCurrent.Address] = counter;
  } catch (const std::exception& e) {
    Log(std::string("deciphering failed: ") + e.what());
    return false;
  }
  if (style <= 2 && !plain.empty()) {
    // The plain APDU must be the one the protected tag stands for.
    int plainTag = static_cast<uint8_t>(plain[0]);
    if (ProtectedTag(plainTag, style == 2) != tag) return false;
  }
  return true;
}

PduStr TSimAssociation::Encipher(const PduStr& plain, uint8_t style) {
  TSecurityControl sc;
  sc.COSEMProtectionServices = TCOSEMProtectionServices{psAuthentication, psEncryption};
  sc.SecuritySuite = FSecurity.Suite;
  const uint32_t counter = FMisbehaviour.FrozenInvocationCounter ? FServerCounter : FServerCounter++;
  PduStr cipher = TGCMCipher::GCMEncrypt(FSecurity.SystemTitle, plain + PduStr(FMisbehaviour.TrailingBytes, '\0'),
                                         FSecurity.EK, FSecurity.AK, sc, counter, PduStr());
  PduStr out;
  if (style == 3 || style == 4) {
    out += static_cast<char>(style == 3 ? 0xDB : 0xDC);
    EncodeVarLengthUnsignedInteger(out, static_cast<int32_t>(FSecurity.SystemTitle.size()));
    out += FSecurity.SystemTitle;
  } else {
    out += static_cast<char>(ProtectedTag(static_cast<uint8_t>(plain[0]), style == 2));
  }
  EncodeVarLengthUnsignedInteger(out, static_cast<int32_t>(cipher.size()));
  out += cipher;
  return out;
}

PduStr TSimAssociation::Handle(int clientAddress, const PduStr& request, int serverAddress) {
  FServerAddress = serverAddress;
  if (request.empty()) return TSimServer::ExceptionResponse(2 /* ServiceUnknown */, 2 /* ServiceNotSupported */);
  int tag = static_cast<uint8_t>(request[0]);
  if (tag == 0x60 || tag == 0x62) {
    std::unique_ptr<T_COSEMpdu> pdu;
    try {
      pdu = MakeFromPdu<T_COSEMpdu>(xmlIgnore, request);
    } catch (const std::exception& e) {
      Log(std::string("undecodable association APDU: ") + e.what());
      return tag == 0x60 ? Reject(1, diagNoReason, oiUNKNOWN)
                         : TSimServer::ExceptionResponse(2 /* ServiceUnknown */, 2 /* ServiceNotSupported */);
    }
    if (tag == 0x60) {
      auto it = FClients.find(clientAddress);
      return HandleAarq(it == FClients.end() ? nullptr : &it->second, static_cast<T_AssociationRequest&>(*pdu->Value));
    }
    return HandleRelease(static_cast<T_ReleaseRequest&>(*pdu->Value));
  }
  if (FState == sIdle) return TSimServer::ExceptionResponse(1 /* ServiceNotAllowed */, 2 /* ServiceNotSupported */);
  if (FMisbehaviour.PduLimit && request.size() > FMisbehaviour.PduLimit) {
    Log(Format("APDU of %d bytes, at most %d taken", static_cast<int>(request.size()),
               static_cast<int>(FMisbehaviour.PduLimit)));
    return TSimServer::ExceptionResponse(1 /* ServiceNotAllowed */, 4 /* PduTooLong */);
  }
  return FServer.HandleApdu(request);
}

PduStr TSimAssociation::HandleInner(const PduStr& request) {
  PduStr plain = request;
  uint8_t style = 0;
  if (FCurrent.Ciphered) {
    PduStr failure;
    if (!Decipher(request, plain, style, failure)) return failure;
  }
  PduStr response;
  if (FState == sAwaitingHls) {
    bool handled = false;
    response = HandleHlsReply(plain, handled);
    if (!handled) return TSimServer::ExceptionResponse(1, 1 /* OperationNotPossible */);
  } else {
    response = FServer.HandleService(plain);
  }
  if (FCurrent.Ciphered && !response.empty() && static_cast<uint8_t>(response[0]) != 0xD8)
    response = Encipher(response, style);
  return response;
}

}  // namespace quillon::sim
