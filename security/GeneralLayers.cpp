#include "security/CryptoServices.h"
#include "security/ProtectionLayers.h"

namespace quillon {

namespace {

std::string Hex(std::string_view s) { return TMisc::ByteStrToHexStr(s); }
std::string Formatted(std::string_view s) { return TProtectionHelper::ByteStrToFormatedString(s); }

[[noreturn]] void RaiseLastCryptoError() {
  std::string text;
  GetLastErrorString(text);
  RaiseGeneral(text);
}

// Routes the signing service's trace to a layer's log for one signature and
// switches it off again on every path.
class TSigningLogRoute {
public:
  explicit TSigningLogRoute(std::function<void(const std::string&)> log) { SetLoggingCallback(std::move(log)); }
  ~TSigningLogRoute() { SetLoggingCallback(nullptr); }
  TSigningLogRoute(const TSigningLogRoute&) = delete;
  TSigningLogRoute& operator=(const TSigningLogRoute&) = delete;
};

template <class T>
const T& Received(const T_COSEMpdu& pdu) {
  const auto* v = dynamic_cast<const T*>(pdu.Value.get());
  CheckAssertion(v != nullptr, "received APDU is of the layer's type");
  return *v;
}

}  // namespace

// ------------------------------------------------------- general fields ---

PduStr TProtectionLayerGeneral::GetAdditionalFieldsForSignatureOrAuthentication() const {
  PduStr s;
  for (const PduStr* f : {&TransactionId, &OriginatorSystemTitle, &RecipientSystemTitle, &DateTime, &OtherInformation}) {
    EncodeVarLengthUnsignedInteger(s, static_cast<int32_t>(f->size()));
    s += *f;
  }
  return s;
}

std::string TProtectionLayerGeneral::CommonFieldsXml() const {
  return Format(
      "  <TransactionId Value = \"%s\" />  <OriginatorSystemTitle Value = \"%s\" />  <RecipientSystemTitle Value = "
      "\"%s\" />  <DateTime Value = \"%s\" />  <OtherInformation Value = \"%s\" />",
      Hex(TransactionId).c_str(), Formatted(OriginatorSystemTitle).c_str(), Formatted(RecipientSystemTitle).c_str(),
      Hex(DateTime).c_str(), Hex(OtherInformation).c_str());
}

void TProtectionLayerGeneral::TakeFields(const T_OctetString* transactionId, const T_OctetString* originator,
                                         const T_OctetString* recipient, const T_OctetString* dateTime,
                                         const T_OctetString* other) {
  TransactionId = transactionId->Value;
  OriginatorSystemTitle = CheckSystemTitleLength(originator->Value);
  RecipientSystemTitle = CheckSystemTitleLength(recipient->Value);
  DateTime = dateTime->Value;
  OtherInformation = other->Value;
}

void TProtectionLayerGeneral::ToStringList(std::vector<std::string>& L) const {
  TProtectionLayer::ToStringList(L);
  L.push_back("TransactionId=" + Hex(TransactionId));
  L.push_back("OriginatorSystemTitle=" + Formatted(OriginatorSystemTitle));
  L.push_back("RecipientSystemTitle=" + Formatted(RecipientSystemTitle));
  L.push_back("DateTime=" + Hex(DateTime));
  L.push_back("OtherInformation=" + Hex(OtherInformation));
}

// ----------------------------------------------------- general ciphering --

void TProtectionLayerGeneralCiphering::ToStringList(std::vector<std::string>& L) const {
  TProtectionLayerGeneral::ToStringList(L);
  L.push_back("COSEMProtectionServices=" + ServicesToString(COSEMProtectionServices));
  L.push_back(Format("FrameCounter=%u", FrameCounter));
  L.push_back("KeyInfo=" + KeyInfoToString(KeyInfo));
}

int32_t TProtectionLayerGeneralCiphering::AgreementSuite() const {
  const int32_t suite = Material().GetSecuritySuite();
  if (suite != 1 && suite != 2) RaiseGeneral("Key agreement requires security suite 1 or 2");
  return suite;
}

PduStr TProtectionLayerGeneralCiphering::SumPartUInfo() const {
  return OriginatorSystemTitle + static_cast<char>(TransactionId.size() & 0xFF) + TransactionId;
}

PduStr TProtectionLayerGeneralCiphering::GetSharedSecret(const PduStr& PublicKey, const PduStr& PrivateKey) const {
  PduStr secret;
  if (!quillon::GetSharedSecret(Material().GetSecuritySuite(), PrivateKey, PublicKey, secret)) RaiseLastCryptoError();
  LogString("    SHARED SECRET: " + Hex(secret));
  LogString("      d=" + Hex(PrivateKey));
  LogString("      Q=" + Hex(PublicKey));
  return secret;
}

PduStr TProtectionLayerGeneralCiphering::GetDerivedKey(const PduStr& SharedSecret, const PduStr& PartUInfo,
                                                       const PduStr& PartVInfo) const {
  const int32_t suite = Material().GetSecuritySuite();
  CheckAssertion(suite == 1 || suite == 2, "key derivation under security suite 1 or 2");
  const PduStr otherInfo =
      TProtectionHelper::GetAlgorithmOID(suite == 1 ? aiAES_GCM_128 : aiAES_GCM_256) + PartUInfo + PartVInfo;
  PduStr key;
  if (!quillon::GetDerivedKey(suite, SharedSecret, otherInfo, key)) RaiseLastCryptoError();
  return key;
}

std::unique_ptr<T_COSEMpdu> TProtectionLayerGeneralCiphering::ApplyToCOSEMPdu(const T_COSEMpdu& COSEMPdu) {
  const std::string title =
      Format("Applying general ciphering %s to:", ServicesToString(COSEMProtectionServices).c_str());
  return ApplyFrame(COSEMPdu, title, [&] {
    TSecurityMaterial& m = Material();
    PduStr ek;
    std::string keyInfoXml;
    switch (KeyInfo.KeyInfoKind) {
      case kiIdentified:
        CheckAssertion(KeyInfo.KeyId == kiGUEK, "identified key is the GUEK");
        ek = m.GetSymmetricKey(kiGUEK);
        keyInfoXml = Format(
            "  <KeyInfo>    <IdentifiedKey>      <KeyId Value = \"%s\" />    </IdentifiedKey>  </KeyInfo>",
            T_KeyId::GetString(0).c_str());
        break;
      case kiWrapped: {
        CheckAssertion(KeyInfo.KekId == kiKEK, "wrapping key is the KEK");
        ek = m.GetRandomSymetricKey();
        const PduStr kek = m.GetSymmetricKey(kiKEK);
        LogString("WRAPPED " + Hex(ek) + " WITH = " + Hex(kek));
        const PduStr wrapped = TKeyWrap::Wrap(m.GetSecuritySuite(), ek, kek);
        keyInfoXml = Format(
            "  <KeyInfo>    <WrappedKey>      <KekId Value = \"%s\" />      <KeyCipheredData Value = \"%s\" />    "
            "</WrappedKey>  </KeyInfo>",
            T_KekId::GetString(0).c_str(), Hex(wrapped).c_str());
        break;
      }
      case kiAgreed: {
        const int32_t suite = AgreementSuite();
        PduStr keyParameters, keyCipheredData;
        if (KeyInfo.KeyAgreementKind == kaOPDH) {
          const PduStr ephemeralPrivate = m.GetPrivateKey(OriginatorSystemTitle, kpEphemeral);
          const PduStr ephemeralPublic = m.GetPublicKey(OriginatorSystemTitle, kpEphemeral);
          const PduStr secret = GetSharedSecret(m.GetPublicKey(RecipientSystemTitle, kpAgreement), ephemeralPrivate);
          ek = GetDerivedKey(secret, OriginatorSystemTitle, RecipientSystemTitle);
          PduStr signature;
          if (!ECDSASign(suite, ephemeralPublic, m.GetPrivateKey(OriginatorSystemTitle, kpSigning), signature))
            RaiseLastCryptoError();
          keyParameters = PduStr(1, '\x01');
          keyCipheredData = ephemeralPublic + signature;
        } else {
          CheckAssertion(KeyInfo.KeyAgreementKind == kaSUM, "key agreement is OPDH or SUM");
          const PduStr secret = GetSharedSecret(m.GetPublicKey(RecipientSystemTitle, kpAgreement),
                                                m.GetPrivateKey(OriginatorSystemTitle, kpAgreement));
          ek = GetDerivedKey(secret, SumPartUInfo(), RecipientSystemTitle);
          keyParameters = PduStr(1, '\x02');
        }
        keyInfoXml = Format(
            "  <KeyInfo>    <AgreedKey>      <KeyParameters Value = \"%s\" />      <KeyCipheredData Value = \"%s\" "
            "/>    </AgreedKey>  </KeyInfo>",
            Hex(keyParameters).c_str(), Hex(keyCipheredData).c_str());
        break;
      }
      default: CheckAssertion(false, "known key information kind");
    }
    const PduStr encoded = EncodeToPdu(COSEMPdu);
    FrameCounter = DrawCounter(FrameCounterFunc);
    const PduStr ciphered =
        Encrypt(OriginatorSystemTitle, encoded, ek, FrameCounter, GetAdditionalFieldsForSignatureOrAuthentication());
    return "<GeneralCiphering>" + CommonFieldsXml() + keyInfoXml +
           Format("  <CipheredContent Value = \"%s\" />", Hex(ciphered).c_str()) + "</GeneralCiphering>";
  });
}

std::unique_ptr<T_COSEMpdu> TProtectionLayerGeneralCiphering::RemoveFromCOSEMPdu(const T_COSEMpdu& COSEMPdu) {
  LogCOSEMService("Remove general ciphering from:", COSEMPdu);
  const auto& gc = Received<T_GeneralCiphering>(COSEMPdu);
  TakeFields(gc.FTransactionId(), gc.FOriginatorSystemTitle(), gc.FRecipientSystemTitle(), gc.FDateTime(),
             gc.FOtherInformation());
  TSecurityMaterial& m = Material();
  const T_KeyInfo* keyInfo = gc.FKeyInfo();
  // Without key information there is no way to know the key.
  if (keyInfo == nullptr || keyInfo->Value == nullptr) throw EProtection("GeneralCiphering without key information");
  PduStr ek;
  switch (keyInfo->Tag) {
    case 0: {
      KeyInfo = TKeyInfo::Identified(kiGUEK);
      if (static_cast<const T_IdentifiedKey*>(keyInfo->Value.get())->FKeyId()->Value != 0)
        throw EProtection("Identified key id not supported");
      ek = m.GetSymmetricKey(kiGUEK);
      break;
    }
    case 1: {
      const auto* wrapped = static_cast<const T_WrappedKey*>(keyInfo->Value.get());
      KeyInfo = TKeyInfo::Wrapped(kiKEK);
      CheckAssertion(wrapped->FKekId()->Value == 0, "received kek-id is the master key");
      const PduStr kek = m.GetSymmetricKey(kiKEK);
      try {
        ek = TKeyWrap::UnWrap(m.GetSecuritySuite(), wrapped->FKeyCipheredData()->Value, kek);
      } catch (const EGeneralError& e) {
        throw EProtection(e.what());
      }
      break;
    }
    case 2: {
      const int32_t suite = AgreementSuite();
      const auto* agreed = static_cast<const T_AgreedKey*>(keyInfo->Value.get());
      const PduStr& parameters = agreed->FKeyParameters()->Value;
      const PduStr& cipheredData = agreed->FKeyCipheredData()->Value;
      if (parameters == PduStr(1, '\x01')) {
        KeyInfo = TKeyInfo::Agreed(kaOPDH);
        const size_t n = std::min(cipheredData.size(), static_cast<size_t>(m.PublicKeySize()));
        const PduStr ephemeralPublic = cipheredData.substr(0, n);
        const PduStr signature = cipheredData.substr(n);
        bool valid = false;
        if (!ECDSAVerify(suite, ephemeralPublic, signature, m.GetPublicKey(OriginatorSystemTitle, kpSigning), valid))
          RaiseLastCryptoError();
        if (!valid) throw ESignatureCheck("Signature check failed in GeneralCiphering");
        const PduStr secret = GetSharedSecret(ephemeralPublic, m.GetPrivateKey(RecipientSystemTitle, kpAgreement));
        ek = GetDerivedKey(secret, OriginatorSystemTitle, RecipientSystemTitle);
      } else {
        CheckAssertion(parameters == PduStr(1, '\x02'), "key parameters 01 or 02");
        KeyInfo = TKeyInfo::Agreed(kaSUM);
        if (!cipheredData.empty()) throw EProtection("Unexpected Key-ciphered-data");
        const PduStr secret = GetSharedSecret(m.GetPublicKey(OriginatorSystemTitle, kpAgreement),
                                              m.GetPrivateKey(RecipientSystemTitle, kpAgreement));
        ek = GetDerivedKey(secret, SumPartUInfo(), RecipientSystemTitle);
      }
      break;
    }
    default: CheckAssertion(false, "known key information choice");
  }
  const PduStr plain = Decrypt(OriginatorSystemTitle, gc.FCipheredContent()->Value, ek,
                               GetAdditionalFieldsForSignatureOrAuthentication(), FrameCounter);
  return DecodeDeciphered(plain);
}

// ------------------------------------------------------- general signing --

void TProtectionLayerGeneralSigning::CheckSuite() const {
  const int32_t suite = Material().GetSecuritySuite();
  if (suite != 1 && suite != 2) RaiseGeneral("Digital signature requires security suite 1 or 2");
}

std::unique_ptr<T_COSEMpdu> TProtectionLayerGeneralSigning::ApplyToCOSEMPdu(const T_COSEMpdu& COSEMPdu) {
  CheckSuite();
  return ApplyFrame(COSEMPdu, "Applying SIGNATURE on:", [&] {
    TSecurityMaterial& m = Material();
    const PduStr content = EncodeToPdu(COSEMPdu);
    const PduStr data = GetAdditionalFieldsForSignatureOrAuthentication() + content;
    const PduStr privateKey = m.GetPrivateKey(OriginatorSystemTitle, kpSigning);
    LogString("TO SIGN: " + Hex(data));
    LogString("PRIV.KEY: " + Hex(privateKey));
    PduStr signature;
    bool signedOk;
    {
      TSigningLogRoute route(LogProc());
      signedOk = ECDSASign(m.GetSecuritySuite(), data, privateKey, signature);
    }
    if (!signedOk) RaiseLastCryptoError();
    return "<GeneralSigning>" + CommonFieldsXml() +
           Format("  <Content Value = \"%s\" />  <Signature Value = \"%s\" />", Hex(content).c_str(),
                  Hex(signature).c_str()) +
           "</GeneralSigning>";
  });
}

std::unique_ptr<T_COSEMpdu> TProtectionLayerGeneralSigning::RemoveFromCOSEMPdu(const T_COSEMpdu& COSEMPdu) {
  CheckSuite();
  LogCOSEMService("Remove general signing from:", COSEMPdu);
  const auto& gs = Received<T_GeneralSigning>(COSEMPdu);
  TakeFields(gs.FTransactionId(), gs.FOriginatorSystemTitle(), gs.FRecipientSystemTitle(), gs.FDateTime(),
             gs.FOtherInformation());
  TSecurityMaterial& m = Material();
  const PduStr& content = gs.FContent()->Value;
  const PduStr data = GetAdditionalFieldsForSignatureOrAuthentication() + content;
  const PduStr publicKey = m.GetPublicKey(OriginatorSystemTitle, kpSigning);
  LogString("VERIFY: " + Hex(data));
  LogString("PUB.KEY: " + Hex(publicKey));
  bool valid = false;
  if (!ECDSAVerify(m.GetSecuritySuite(), data, gs.FSignature()->Value, publicKey, valid)) RaiseLastCryptoError();
  if (!valid) throw ESignatureCheck("Signature check failed in GeneralSigning");
  COSEMProtectionServices = TCOSEMProtectionServices{psSignature};
  return TProtectionHelper::MakeCOSEMPduFromPdu(content);
}

}  // namespace quillon
