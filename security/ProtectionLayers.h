// Protection layers: each wraps one APDU in one kind of protection and
// unwraps it again. TProtectionLayers applies an ordered list of them to a
// request (index 0 innermost) and peels every layer off a response.
//
// The classes here share their names with the exported plain-C records in
// security/DLMSRecords.h; the records live in the global namespace, the
// classes in quillon, so the two never meet in one scope.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "security/DLMSRecords.h"
#include "security/ProtectionTypes.h"
#include "security/SecurityMaterial.h"
#include "xmlpdu/Catalogue.h"
#include "xmlpdu/infra/LoggingContext.h"

namespace quillon {

class TProtectionLayer;

// Class reference of a layer type: its name and a factory.
struct TProtectionLayerClassInfo {
  const char* Name;
  std::unique_ptr<TProtectionLayer> (*Create)();
};
using TProtectionLayerClass = const TProtectionLayerClassInfo*;

using TFrameCounterFunc = std::function<uint32_t()>;

class TProtectionLayer {
public:
  using TApplyingProtectionProc = std::function<void(TProtectionLayer& Sender)>;
  using TProtectionAppliedProc =
      std::function<void(TProtectionLayer& Sender, std::unique_ptr<T_COSEMpdu>& COSEMPdu)>;

  virtual ~TProtectionLayer() = default;
  virtual TProtectionLayerClass LayerClass() const = 0;
  const char* ClassName() const { return LayerClass()->Name; }

  // A new protected APDU; the argument is not changed.
  virtual std::unique_ptr<T_COSEMpdu> ApplyToCOSEMPdu(const T_COSEMpdu& COSEMPdu) = 0;
  // The unwrapped APDU; the layer's fields take what was received.
  virtual std::unique_ptr<T_COSEMpdu> RemoveFromCOSEMPdu(const T_COSEMpdu& COSEMPdu) = 0;
  virtual void ToStringList(std::vector<std::string>& L) const;

  void LogCOSEMService(const std::string& Title, const T_COSEMpdu& COSEMPdu) const;
  void CheckReceivedSecuritySuite(int32_t ReceivedSecuritySuite) const;

  static PduStr EncodeToPdu(const T_COSEMpdu& COSEMPdu);
  static PduStr CheckSystemTitleLength(const PduStr& SystemTitle);
  static bool GetCipheredPduInfo(std::string_view FromPDU, TProtectionLayerClass& ProtectionLayerClass,
                                 bool& Dedicated);
  static bool PDURemove(const PduStr& FromPDU, TSecurityMaterial* SecurityMaterial,
                        const TLoggingContext* LoggingContext, const PduStr& SystemTitle,
                        std::unique_ptr<T_COSEMpdu>& COSEMPdu, std::unique_ptr<TProtectionLayer>& Protection,
                        bool IgnoreTrailingBytes = false);

  TSecurityMaterial* SecurityMaterial = nullptr;
  const TLoggingContext* LoggingContext = nullptr;
  TApplyingProtectionProc ApplyingProtectionProc;
  TProtectionAppliedProc ProtectionAppliedProc;
  TCOSEMProtectionServices MinCOSEMProtectionServices;
  TCOSEMProtectionServices MaxCOSEMProtectionServices;
  TCOSEMProtectionServices COSEMProtectionServices;
  // Bytes after the end of a deciphered APDU are logged with their count and
  // dropped instead of failing the response (meters that pad their plain
  // text before ciphering it).
  bool IgnoreTrailingBytes = false;

protected:
  // The steps every ApplyToCOSEMPdu shares: copy when there is nothing to
  // apply, preconditions, title, hooks, and reading the XML back.
  std::unique_ptr<T_COSEMpdu> ApplyFrame(const T_COSEMpdu& COSEMPdu, const std::string& Title,
                                         const std::function<std::string()>& ProtectToXml);
  virtual bool HasNothingToApply() const { return COSEMProtectionServices.Empty(); }
  virtual void CheckApplyPreconditions() const {}
  void LogString(const std::string& s) const;
  std::function<void(const std::string&)> LogProc() const;
  TSecurityMaterial& Material() const;
  // Draws the next invocation counter.
  static uint32_t DrawCounter(const TFrameCounterFunc& f);
  // Ciphers Information with the layer's services and the material's suite.
  PduStr Encrypt(const PduStr& SystemTitle, const PduStr& Information, const PduStr& EK, uint32_t FrameCounter,
                 const PduStr& ExtraAAD) const;
  // Deciphers, takes the received services and checks the received suite.
  PduStr Decrypt(const PduStr& SystemTitle, const PduStr& CipheredInformation, const PduStr& EK,
                 const PduStr& ExtraAAD, uint32_t& FrameCounter);
  // Deciphered bytes that are not exactly one APDU are a protection error
  // (unless IgnoreTrailingBytes lets bytes after a whole APDU pass).
  std::unique_ptr<T_COSEMpdu> DecodeDeciphered(const PduStr& Bytes) const;
  // The APDU the deciphered bytes hold, as DecodeDeciphered without its
  // own error text.
  std::unique_ptr<T_COSEMpdu> DecodePlain(const PduStr& Bytes) const;
};

class TProtectionLayerGloDed : public TProtectionLayer {
public:
  void ToStringList(std::vector<std::string>& L) const override;

  bool Dedicated = false;
  PduStr SystemTitle;
  uint32_t FrameCounter = 0;
  TFrameCounterFunc FrameCounterFunc;

protected:
  PduStr EncryptionKey() const { return Material().GetSymmetricKey(Dedicated ? kiDEK : kiGUEK); }
  PduStr ProtectEncoded(const T_COSEMpdu& COSEMPdu);
  PduStr UnprotectToBytes(const PduStr& CipheredInformation);
};

class TProtectionLayerGloDedService : public TProtectionLayerGloDed {
public:
  static const TProtectionLayerClassInfo ClassInfo;
  TProtectionLayerClass LayerClass() const override { return &ClassInfo; }
  std::unique_ptr<T_COSEMpdu> ApplyToCOSEMPdu(const T_COSEMpdu& COSEMPdu) override;
  std::unique_ptr<T_COSEMpdu> RemoveFromCOSEMPdu(const T_COSEMpdu& COSEMPdu) override;

protected:
  void CheckApplyPreconditions() const override;
};

class TProtectionLayerGloDedGeneral : public TProtectionLayerGloDed {
public:
  static const TProtectionLayerClassInfo ClassInfo;
  TProtectionLayerClass LayerClass() const override { return &ClassInfo; }
  std::unique_ptr<T_COSEMpdu> ApplyToCOSEMPdu(const T_COSEMpdu& COSEMPdu) override;
  std::unique_ptr<T_COSEMpdu> RemoveFromCOSEMPdu(const T_COSEMpdu& COSEMPdu) override;
};

class TProtectionLayerGeneral : public TProtectionLayer {
public:
  void ToStringList(std::vector<std::string>& L) const override;
  // Each of the five fields as A-XDR length and bytes.
  PduStr GetAdditionalFieldsForSignatureOrAuthentication() const;

  PduStr TransactionId;
  PduStr OriginatorSystemTitle;
  PduStr RecipientSystemTitle;
  PduStr DateTime;
  PduStr OtherInformation;

protected:
  // The XML of the five fields shared by both general APDUs.
  std::string CommonFieldsXml() const;
  // Copies the five fields from a received APDU, checking both titles.
  void TakeFields(const T_OctetString* transactionId, const T_OctetString* originator,
                  const T_OctetString* recipient, const T_OctetString* dateTime, const T_OctetString* other);
};

class TProtectionLayerGeneralCiphering : public TProtectionLayerGeneral {
public:
  static const TProtectionLayerClassInfo ClassInfo;
  TProtectionLayerClass LayerClass() const override { return &ClassInfo; }
  std::unique_ptr<T_COSEMpdu> ApplyToCOSEMPdu(const T_COSEMpdu& COSEMPdu) override;
  std::unique_ptr<T_COSEMpdu> RemoveFromCOSEMPdu(const T_COSEMpdu& COSEMPdu) override;
  void ToStringList(std::vector<std::string>& L) const override;

  PduStr GetSharedSecret(const PduStr& PublicKey, const PduStr& PrivateKey) const;
  PduStr GetDerivedKey(const PduStr& SharedSecret, const PduStr& PartUInfo, const PduStr& PartVInfo) const;

  uint32_t FrameCounter = 0;
  TFrameCounterFunc FrameCounterFunc;
  TKeyInfo KeyInfo;

protected:
  bool HasNothingToApply() const override { return false; }

private:
  int32_t AgreementSuite() const;
  PduStr SumPartUInfo() const;
};

class TProtectionLayerGeneralSigning : public TProtectionLayerGeneral {
public:
  static const TProtectionLayerClassInfo ClassInfo;
  TProtectionLayerClass LayerClass() const override { return &ClassInfo; }
  std::unique_ptr<T_COSEMpdu> ApplyToCOSEMPdu(const T_COSEMpdu& COSEMPdu) override;
  std::unique_ptr<T_COSEMpdu> RemoveFromCOSEMPdu(const T_COSEMpdu& COSEMPdu) override;

private:
  void CheckSuite() const;
};

// A 12-byte COSEM date-time of a local time: hundredths 00, deviation
// 80 00 (not specified), clock status FF.
PduStr COSEMDateTime(const std::tm& localTime);
// The same for now.
PduStr CurrentCOSEMDateTime();

// What the engine knows when it turns the exported records into layers.
struct TProtectionLayerSources {
  PduStr ClientSystemTitle;
  PduStr ThirdPartySystemTitle;
  PduStr ServerSystemTitle;
  PduStr DateTime;  // for records that ask for one; empty: the current local time
  TFrameCounterFunc FrameCounterFunc;
};

class TProtectionLayers {
public:
  enum TProtectionServicesSelector { psCurrent = 0, psPMax = 1, psPMin = 2 };
  static constexpr int kMaxRecords = 4;
  // How many protections Remove peels off one APDU at most.
  static constexpr int kMaxRemoveDepth = 6;

  std::unique_ptr<T_COSEMpdu> Apply(const T_COSEMpdu& COSEMPdu, TSecurityMaterial* SecurityMaterial,
                                    const TLoggingContext* LoggingContext);
  void Remove(const PduStr& FromPdu, TSecurityMaterial* SecurityMaterial, const TLoggingContext* LoggingContext,
              const PduStr& SystemTitle, std::unique_ptr<T_COSEMpdu>& COSEMPdu);
  // Given to every layer Remove creates (see TProtectionLayer).
  bool IgnoreTrailingBytes = false;
  void SetMinimumProtection();
  TProtectionServices GetProtectionServices(TProtectionServicesSelector Selector) const;

  static TProtectionServices COSEMProtectionServicesToCTI(TCOSEMProtectionServices s) {
    return quillon::COSEMProtectionServicesToCTI(s);
  }
  static TCOSEMProtectionServices CTIToCOSEMProtectionServices(TProtectionServices s) {
    return quillon::CTIToCOSEMProtectionServices(s);
  }

  // Builds the layers described by up to four exported records: from index 0
  // up to the first record of Kind 0.
  static TProtectionLayers FromRecords(const ::TProtectionLayer* Records, const TProtectionLayerSources& Sources);

  int Count() const { return static_cast<int>(Layers.size()); }
  TProtectionLayer* operator[](int i) const { return Layers[static_cast<size_t>(i)].get(); }
  void Add(std::unique_ptr<TProtectionLayer> Layer) { Layers.push_back(std::move(Layer)); }

  std::vector<std::unique_ptr<TProtectionLayer>> Layers;
};

}  // namespace quillon
