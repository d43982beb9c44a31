#include "security/ProtectionLayers.h"

#include <algorithm>

#include "security/ByteArray.h"
#include "security/GCMCipher.h"

namespace quillon {

namespace {

std::string Hex(std::string_view s) { return TMisc::ByteStrToHexStr(s); }

// Plain APDU tag -> global and dedicated ciphered tags (outbound).
struct TServiceRow {
  uint8_t Plain, Glo, Ded;
};
constexpr TServiceRow kServiceTable[] = {
    {1, 33, 65},    {5, 37, 69},    {6, 38, 70},    {8, 40, 72},    {12, 44, 76},
    {13, 45, 77},   {14, 46, 78},   {192, 200, 208}, {193, 201, 209}, {195, 203, 211},
    {196, 204, 212}, {197, 205, 213}, {199, 207, 215},
};

// First byte of a received APDU -> the layer that removes it (inbound). The
// inbound side also takes the unconfirmed and notification services.
struct TInboundRow {
  uint8_t Tag;
  TProtectionLayerClass Class;
  bool Dedicated;
};

const std::vector<TInboundRow>& InboundTable() {
  static const std::vector<TInboundRow> table = [] {
    std::vector<TInboundRow> t;
    for (uint8_t tag : {33, 37, 38, 40, 44, 45, 46, 54, 56, 200, 201, 203, 204, 205, 207})
      t.push_back({tag, &TProtectionLayerGloDedService::ClassInfo, false});
    for (uint8_t tag : {65, 69, 70, 72, 76, 77, 78, 86, 88, 208, 209, 210, 211, 212, 213, 215})
      t.push_back({tag, &TProtectionLayerGloDedService::ClassInfo, true});
    t.push_back({219, &TProtectionLayerGloDedGeneral::ClassInfo, false});
    t.push_back({220, &TProtectionLayerGloDedGeneral::ClassInfo, false});
    t.push_back({221, &TProtectionLayerGeneralCiphering::ClassInfo, false});
    t.push_back({223, &TProtectionLayerGeneralSigning::ClassInfo, false});
    return t;
  }();
  return table;
}

std::string CosemPduXmlName(int tag) {
  const TChoiceAlt* alt = T_COSEMpdu::StaticSchema().ByTag(tag);
  CheckAssertion(alt != nullptr, "ciphered service tag is in the APDU catalogue");
  return XMLIdName(alt->Role);
}

template <class T>
std::unique_ptr<TProtectionLayer> CreateLayer() {
  return std::make_unique<T>();
}

}  // namespace

// ------------------------------------------------------------ helper ------

std::unique_ptr<T_COSEMpdu> TProtectionHelper::MakeCOSEMPduFromPdu(const PduStr& Pdu, int* Trailing) {
  TStringWrapper r(Pdu);
  std::unique_ptr<T_COSEMpdu> pdu(static_cast<T_COSEMpdu*>(T_COSEMpdu::ClassInfo.CreateFromPduStr(xmlIgnore, r).release()));
  if (Trailing != nullptr) *Trailing = r.GetRemainingBytes();
  else if (r.GetRemainingBytes() != 0) throw EProtection("Unexpected pdu trailing data");
  return pdu;
}

std::unique_ptr<T_COSEMpdu> TProtectionHelper::MakeCOSEMPduFromXml(std::string_view Xml) {
  return MakeFromXml<T_COSEMpdu>(xmlIgnore, Xml);
}

// ---------------------------------------------------------- base layer ----

const TProtectionLayerClassInfo TProtectionLayerGloDedService::ClassInfo = {
    "TProtectionLayerGloDedService", &CreateLayer<TProtectionLayerGloDedService>};
const TProtectionLayerClassInfo TProtectionLayerGloDedGeneral::ClassInfo = {
    "TProtectionLayerGloDedGeneral", &CreateLayer<TProtectionLayerGloDedGeneral>};
const TProtectionLayerClassInfo TProtectionLayerGeneralCiphering::ClassInfo = {
    "TProtectionLayerGeneralCiphering", &CreateLayer<TProtectionLayerGeneralCiphering>};
const TProtectionLayerClassInfo TProtectionLayerGeneralSigning::ClassInfo = {
    "TProtectionLayerGeneralSigning", &CreateLayer<TProtectionLayerGeneralSigning>};

void TProtectionLayer::ToStringList(std::vector<std::string>& L) const {
  L.push_back(std::string("ClassName=") + ClassName());
}

void TProtectionLayer::LogCOSEMService(const std::string& Title, const T_COSEMpdu& COSEMPdu) const {
  if (LoggingContext) LoggingContext->LogProtocolItem(COSEMPdu, ">>>" + Title, 20);
}

void TProtectionLayer::LogString(const std::string& s) const {
  if (LoggingContext) LoggingContext->LogString(s);
}

std::function<void(const std::string&)> TProtectionLayer::LogProc() const {
  return [this](const std::string& s) { LogString(s); };
}

TSecurityMaterial& TProtectionLayer::Material() const {
  CheckAssertion(SecurityMaterial != nullptr, "protection layer has security material");
  return *SecurityMaterial;
}

void TProtectionLayer::CheckReceivedSecuritySuite(int32_t ReceivedSecuritySuite) const {
  if (ReceivedSecuritySuite != Material().GetSecuritySuite())
    throw EProtection("Unexpected SecuritySuite in received ciphered PDU");
}

PduStr TProtectionLayer::EncodeToPdu(const T_COSEMpdu& COSEMPdu) {
  PduStr s;
  COSEMPdu.EncodeToPduStrNoLen(s);
  return s;
}

PduStr TProtectionLayer::CheckSystemTitleLength(const PduStr& SystemTitle) {
  if (SystemTitle.size() != 8) throw EProtection("System-title of illegal length");
  return SystemTitle;
}

bool TProtectionLayer::GetCipheredPduInfo(std::string_view FromPDU, TProtectionLayerClass& ProtectionLayerClass,
                                          bool& Dedicated) {
  ProtectionLayerClass = nullptr;
  Dedicated = false;
  if (FromPDU.empty()) return false;
  const uint8_t tag = static_cast<uint8_t>(FromPDU[0]);
  for (const auto& row : InboundTable())
    if (row.Tag == tag) {
      ProtectionLayerClass = row.Class;
      Dedicated = row.Dedicated;
      return true;
    }
  return false;
}

bool TProtectionLayer::PDURemove(const PduStr& FromPDU, TSecurityMaterial* SecurityMaterial,
                                 const TLoggingContext* LoggingContext, const PduStr& SystemTitle,
                                 std::unique_ptr<T_COSEMpdu>& COSEMPdu, std::unique_ptr<TProtectionLayer>& Protection,
                                 bool IgnoreTrailingBytes) {
  COSEMPdu.reset();
  Protection.reset();
  TProtectionLayerClass cls;
  bool dedicated;
  if (!GetCipheredPduInfo(FromPDU, cls, dedicated)) return false;
  std::unique_ptr<T_COSEMpdu> ciphered = TProtectionHelper::MakeCOSEMPduFromPdu(FromPDU);
  std::unique_ptr<TProtectionLayer> layer = cls->Create();
  layer->SecurityMaterial = SecurityMaterial;
  layer->LoggingContext = LoggingContext;
  layer->IgnoreTrailingBytes = IgnoreTrailingBytes;
  if (cls == &TProtectionLayerGloDedService::ClassInfo) {
    // Service-specific APDUs carry no system title: the caller names the partner.
    auto* service = static_cast<TProtectionLayerGloDedService*>(layer.get());
    service->Dedicated = dedicated;
    service->SystemTitle = SystemTitle;
  }
  std::unique_ptr<T_COSEMpdu> plain = layer->RemoveFromCOSEMPdu(*ciphered);
  COSEMPdu = std::move(plain);
  Protection = std::move(layer);
  return true;
}

uint32_t TProtectionLayer::DrawCounter(const TFrameCounterFunc& f) {
  CheckAssertion(static_cast<bool>(f), "protection layer has an invocation counter source");
  return f();
}

std::unique_ptr<T_COSEMpdu> TProtectionLayer::ApplyFrame(const T_COSEMpdu& COSEMPdu, const std::string& Title,
                                                         const std::function<std::string()>& ProtectToXml) {
  if (HasNothingToApply()) {
    return std::unique_ptr<T_COSEMpdu>(static_cast<T_COSEMpdu*>(COSEMPdu.Clone().release()));
  }
  CheckApplyPreconditions();
  LogCOSEMService(Title, COSEMPdu);
  if (ApplyingProtectionProc) ApplyingProtectionProc(*this);
  std::unique_ptr<T_COSEMpdu> result = TProtectionHelper::MakeCOSEMPduFromXml(ProtectToXml());
  if (ProtectionAppliedProc) ProtectionAppliedProc(*this, result);
  return result;
}

PduStr TProtectionLayer::Encrypt(const PduStr& SystemTitle, const PduStr& Information, const PduStr& EK,
                                 uint32_t FrameCounter, const PduStr& ExtraAAD) const {
  const PduStr ak = Material().GetSymmetricKey(kiGAK);
  const TSecurityControl sc{COSEMProtectionServices, false, Material().GetSecuritySuite()};
  return TGCMAndCompression::CompressAndEncrypt(SystemTitle, Information, EK, ak, sc, FrameCounter, ExtraAAD,
                                                LogProc());
}

PduStr TProtectionLayer::Decrypt(const PduStr& SystemTitle, const PduStr& CipheredInformation, const PduStr& EK,
                                 const PduStr& ExtraAAD, uint32_t& FrameCounter) {
  const PduStr ak = Material().GetSymmetricKey(kiGAK);
  TSecurityControl sc;
  PduStr info;
  TGCMAndCompression::DecryptAndDecompress(SystemTitle, CipheredInformation, ExtraAAD, EK, ak, sc, FrameCounter,
                                           info, LogProc());
  COSEMProtectionServices = sc.COSEMProtectionServices;
  CheckReceivedSecuritySuite(sc.SecuritySuite);
  return info;
}

std::unique_ptr<T_COSEMpdu> TProtectionLayer::DecodeDeciphered(const PduStr& Bytes) const {
  try {
    return DecodePlain(Bytes);
  } catch (const std::exception&) {
    throw EProtection("GCMDecrypted data is not a valid APDU");
  }
}

std::unique_ptr<T_COSEMpdu> TProtectionLayer::DecodePlain(const PduStr& Bytes) const {
  if (!IgnoreTrailingBytes) return TProtectionHelper::MakeCOSEMPduFromPdu(Bytes);
  int n = 0;
  std::unique_ptr<T_COSEMpdu> pdu = TProtectionHelper::MakeCOSEMPduFromPdu(Bytes, &n);
  if (n > 0)
    LogString(Format("%d %s after the end of the deciphered APDU ignored", n, n == 1 ? "byte" : "bytes"));
  return pdu;
}

// -------------------------------------------------------- glo/ded layers --

void TProtectionLayerGloDed::ToStringList(std::vector<std::string>& L) const {
  TProtectionLayer::ToStringList(L);
  L.push_back(Format("Dedicated=%d", Dedicated ? 1 : 0));
  L.push_back("SystemTitle=" + Hex(SystemTitle));
  L.push_back("COSEMProtectionServices=" + ServicesToString(COSEMProtectionServices));
  L.push_back(Format("FrameCounter=%u", FrameCounter));
}

PduStr TProtectionLayerGloDed::ProtectEncoded(const T_COSEMpdu& COSEMPdu) {
  const PduStr ek = EncryptionKey();
  const PduStr encoded = EncodeToPdu(COSEMPdu);
  FrameCounter = DrawCounter(FrameCounterFunc);
  return Encrypt(SystemTitle, encoded, ek, FrameCounter, PduStr());
}

PduStr TProtectionLayerGloDed::UnprotectToBytes(const PduStr& CipheredInformation) {
  CheckSystemTitleLength(SystemTitle);
  return Decrypt(SystemTitle, CipheredInformation, EncryptionKey(), PduStr(), FrameCounter);
}

void TProtectionLayerGloDedService::CheckApplyPreconditions() const {
  if (COSEMProtectionServices.Contains(psCompression))
    throw EProtection("Compression cannot be applied to service specific APDUs");
}

std::unique_ptr<T_COSEMpdu> TProtectionLayerGloDedService::ApplyToCOSEMPdu(const T_COSEMpdu& COSEMPdu) {
  const std::string title =
      Format("Applying service glo/ded %s to:", ServicesToString(COSEMProtectionServices).c_str());
  return ApplyFrame(COSEMPdu, title, [&] {
    const auto row = std::find_if(std::begin(kServiceTable), std::end(kServiceTable),
                                  [&](const TServiceRow& r) { return r.Plain == COSEMPdu.Tag; });
    if (row == std::end(kServiceTable))
      RaiseGeneral(Format(Dedicated ? "No ded_xxx service for service of tag %d" : "No glo_xxx service for service of tag %d",
                          COSEMPdu.Tag));
    const std::string name = CosemPduXmlName(Dedicated ? row->Ded : row->Glo);
    const PduStr ciphered = ProtectEncoded(COSEMPdu);
    return Format("<%s Value = \"%s\" />", name.c_str(), Hex(ciphered).c_str());
  });
}

std::unique_ptr<T_COSEMpdu> TProtectionLayerGloDedService::RemoveFromCOSEMPdu(const T_COSEMpdu& COSEMPdu) {
  LogCOSEMService("Remove service glo/ded from:", COSEMPdu);
  const auto* ciphered = dynamic_cast<const TOctetString*>(COSEMPdu.Value.get());
  CheckAssertion(ciphered != nullptr, "service-specific ciphered APDU holds an octet string");
  return DecodePlain(UnprotectToBytes(ciphered->Value));
}

std::unique_ptr<T_COSEMpdu> TProtectionLayerGloDedGeneral::ApplyToCOSEMPdu(const T_COSEMpdu& COSEMPdu) {
  const std::string title =
      Format("Applying general glo/ded %s to:", ServicesToString(COSEMProtectionServices).c_str());
  return ApplyFrame(COSEMPdu, title, [&] {
    const PduStr ciphered = ProtectEncoded(COSEMPdu);
    const char* name = Dedicated ? "GeneralDedCiphering" : "GeneralGloCiphering";
    return Format("<%s>  <SystemTitle Value = \"%s\" />  <CipheredService Value = \"%s\" /></%s>", name,
                  TProtectionHelper::ByteStrToFormatedString(SystemTitle).c_str(), Hex(ciphered).c_str(), name);
  });
}

std::unique_ptr<T_COSEMpdu> TProtectionLayerGloDedGeneral::RemoveFromCOSEMPdu(const T_COSEMpdu& COSEMPdu) {
  LogCOSEMService("Remove general glo/ded from:", COSEMPdu);
  // Both general glo and general ded ciphering are (system title, ciphered service).
  const auto* seq = dynamic_cast<const TSequence*>(COSEMPdu.Value.get());
  CheckAssertion(seq != nullptr && (COSEMPdu.Tag == 219 || COSEMPdu.Tag == 220), "general glo/ded ciphering APDU");
  Dedicated = COSEMPdu.Tag == 220;
  const auto* title = static_cast<const TOctetString*>(seq->Member(0));
  const auto* service = static_cast<const TOctetString*>(seq->Member(1));
  SystemTitle = CheckSystemTitleLength(title->Value);
  return DecodeDeciphered(UnprotectToBytes(service->Value));
}

// ------------------------------------------------------------------ list --

std::unique_ptr<T_COSEMpdu> TProtectionLayers::Apply(const T_COSEMpdu& COSEMPdu, TSecurityMaterial* SecurityMaterial,
                                                     const TLoggingContext* LoggingContext) {
  CheckAssertion(!Layers.empty(), "protection list holds at least one layer");
  std::unique_ptr<T_COSEMpdu> current;
  for (auto& layer : Layers) {
    layer->SecurityMaterial = SecurityMaterial;
    layer->LoggingContext = LoggingContext;
    std::unique_ptr<T_COSEMpdu> next = layer->ApplyToCOSEMPdu(current ? *current : COSEMPdu);
    current = std::move(next);
  }
  return current;
}

void TProtectionLayers::Remove(const PduStr& FromPdu, TSecurityMaterial* SecurityMaterial,
                               const TLoggingContext* LoggingContext, const PduStr& SystemTitle,
                               std::unique_ptr<T_COSEMpdu>& COSEMPdu) {
  COSEMPdu.reset();
  PduStr bytes = FromPdu;
  for (int depth = 1;; ++depth) {
    std::unique_ptr<T_COSEMpdu> inner;
    std::unique_ptr<TProtectionLayer> layer;
    if (!TProtectionLayer::PDURemove(bytes, SecurityMaterial, LoggingContext, SystemTitle, inner, layer,
                                     IgnoreTrailingBytes))
      return;
    // Peeled layers go to the front: the list ends up in Apply order.
    Layers.insert(Layers.begin(), std::move(layer));
    PduStr innerBytes = inner->Encoded();
    TProtectionLayerClass cls;
    bool dedicated;
    if (!TProtectionLayer::GetCipheredPduInfo(innerBytes, cls, dedicated)) {
      COSEMPdu = std::move(inner);
      return;
    }
    // Every level logs what it peels, so unbounded nesting would also make
    // the log grow with the square of the input.
    if (depth == kMaxRemoveDepth)
      throw EProtection(Format("Protection nested deeper than %d layers", kMaxRemoveDepth));
    bytes = std::move(innerBytes);
  }
}

void TProtectionLayers::SetMinimumProtection() {
  for (auto& layer : Layers) layer->COSEMProtectionServices = layer->MinCOSEMProtectionServices;
}

TProtectionServices TProtectionLayers::GetProtectionServices(TProtectionServicesSelector Selector) const {
  TCOSEMProtectionServices all;
  for (const auto& layer : Layers) {
    switch (Selector) {
      case psCurrent: all = all + layer->COSEMProtectionServices; break;
      case psPMax: all = all + layer->MaxCOSEMProtectionServices; break;
      case psPMin: all = all + layer->MinCOSEMProtectionServices; break;
    }
  }
  return COSEMProtectionServicesToCTI(all);
}

PduStr COSEMDateTime(const std::tm& t) {
  const int year = t.tm_year + 1900;
  const int dayOfWeek = t.tm_wday == 0 ? 7 : t.tm_wday;  // Monday 1 .. Sunday 7
  const int fields[] = {year >> 8, year & 0xFF, t.tm_mon + 1, t.tm_mday, dayOfWeek, t.tm_hour, t.tm_min, t.tm_sec,
                        0x00,      0x80,        0x00,         0xFF};
  PduStr s;
  for (int f : fields) s += static_cast<char>(f);
  return s;
}

PduStr CurrentCOSEMDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return COSEMDateTime(local);
}

TProtectionLayers TProtectionLayers::FromRecords(const ::TProtectionLayer* Records,
                                                 const TProtectionLayerSources& Sources) {
  const TCOSEMProtectionServices cipheringMax{psAuthentication, psEncryption};
  TProtectionLayers list;
  for (int i = 0; i < kMaxRecords && Records[i].Kind != 0; ++i) {
    const ::TProtectionLayer& rec = Records[i];
    std::unique_ptr<TProtectionLayer> layer;
    auto fillGeneral = [&](TProtectionLayerGeneral& g) {
      g.TransactionId = ByteArrayToPduStr(rec.TransactionId);
      g.OtherInformation = ByteArrayToPduStr(rec.OtherInformation);
      g.OriginatorSystemTitle = rec.Originator == 2 ? Sources.ThirdPartySystemTitle : Sources.ClientSystemTitle;
      g.RecipientSystemTitle = Sources.ServerSystemTitle;
      if (rec.DateTime != 0) g.DateTime = Sources.DateTime.empty() ? CurrentCOSEMDateTime() : Sources.DateTime;
    };
    if (rec.Kind == 1 && rec.Style >= 1 && rec.Style <= 4) {
      std::unique_ptr<TProtectionLayerGloDed> g;
      if (rec.Style <= 2)
        g = std::make_unique<TProtectionLayerGloDedService>();
      else
        g = std::make_unique<TProtectionLayerGloDedGeneral>();
      g->Dedicated = rec.Style % 2 == 0;
      g->SystemTitle = Sources.ClientSystemTitle;
      g->FrameCounterFunc = Sources.FrameCounterFunc;
      g->MaxCOSEMProtectionServices = cipheringMax;
      layer = std::move(g);
    } else if (rec.Kind == 1 && rec.Style == 5) {
      auto g = std::make_unique<TProtectionLayerGeneralCiphering>();
      switch (rec.KeyInfo) {
        case 1: g->KeyInfo = TKeyInfo::Identified(kiGUEK); break;
        case 2: g->KeyInfo = TKeyInfo::Wrapped(kiKEK); break;
        case 3: g->KeyInfo = TKeyInfo::Agreed(kaOPDH); break;
        case 4: g->KeyInfo = TKeyInfo::Agreed(kaSUM); break;
        default: RaiseGeneral(Format("Unknown key information %d in protection layer %d", rec.KeyInfo, i));
      }
      g->FrameCounterFunc = Sources.FrameCounterFunc;
      g->MaxCOSEMProtectionServices = cipheringMax;
      fillGeneral(*g);
      layer = std::move(g);
    } else if (rec.Kind == 2) {
      auto g = std::make_unique<TProtectionLayerGeneralSigning>();
      g->MaxCOSEMProtectionServices = TCOSEMProtectionServices{psSignature};
      fillGeneral(*g);
      layer = std::move(g);
    } else if (rec.Kind == 1) {
      RaiseGeneral(Format("Unknown ciphering style %d in protection layer %d", rec.Style, i));
    } else {
      RaiseGeneral(Format("Unknown protection layer kind %d in protection layer %d", rec.Kind, i));
    }
    layer->MinCOSEMProtectionServices = TCOSEMProtectionServices::FromBits(static_cast<uint8_t>(rec.ProtectionServices & 0x07));
    list.Add(std::move(layer));
  }
  return list;
}

}  // namespace quillon
