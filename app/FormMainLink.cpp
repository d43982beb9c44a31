// Connecting, reading, writing and invoking through the engine and the
// layer stacks. The window uses the engine's exported interface exactly as
// an outside program would.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QRegularExpression>

#include <cstring>

#include "app/AppSettings.h"
#include "app/EditorPane.h"
#include "app/FileDialogs.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/IniFile.h"
#include "app/LinkSettings.h"
#include "app/ValueView.h"
#include "client/Session.h"
#include "xmlpdu/infra/ExchangeErrors.h"

#if defined(QUILLON_HAVE_KNOWLEDGE)
#include "knowledge/COSEMClasses.h"
#endif
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

#if defined(QUILLON_HAVE_COMM)
#include "comm/MidLayers.h"
#endif
#if defined(QUILLON_HAVE_COMM) && defined(QUILLON_HAVE_DLMSPROTOCOL) && defined(QUILLON_HAVE_XMLPDU)
#define QUILLON_APP_HAS_LINK 1
#include "engine/DLMSProtocol.h"
#include "xmlpdu/Catalogue.h"
#include "xmlpdu/Data.h"
#endif

namespace quillon {


namespace {

bool Ciphered(int referencingModel) { return referencingModel == 2 || referencingModel == 4; }

// Drops the first "<Data>" and the first "</Data>" of the editor text: the
// value is then the bare element a request template expects.
QString StripDataWrapper(QString text) {
  for (const QLatin1String tag : {QLatin1String("<Data>"), QLatin1String("</Data>")}) {
    const qsizetype at = text.indexOf(tag);
    if (at >= 0) text.remove(at, tag.size());
  }
  return text;
}

}  // namespace

TLinkSettings TFormMain::ReadLinkSettings(bool forConnect) const {
  const TFormSettings& f = *FormSettings;
  TLinkSettings s;
  s.ReferencingModel = f.GetReferencingModel();
  if (Ciphered(s.ReferencingModel)) s.Protection = f.GetProtectionOnRequestToApply();
  if (!forConnect) return s;
  s.Tcp = f.RBSelectTCP->isChecked();
  const TAddressSettings a = f.GetAddresses(false);
  s.ClientAddress = a.Client;
  s.ServerAddress = a.Server;
  s.ResponseTimeout = f.GetIntValue(f.EDITResponseTimeout, 0, 2147483647);
  if (s.Tcp) {
    s.ServerIP = f.EDITServerIP->text();
    s.ConnectTimeout = f.GetIntValue(f.EDITConnectTimeout, 0, 2147483647);
  } else {
    s.ComPort = f.GetIntValue(f.EDITComPort, 1, 2147483647);
    s.ModeE = f.CHKModeE->isChecked();
    s.Baud = f.GetIntValue(f.EDITBaud, 45, 2147483647);
    s.PhysicalAddress = a.PhysicalAddress;
    s.HDLCUpperAddress = a.HDLCUpperAddress;
    if (TAppSettings* a = TAppSettings::Instance())
      s.InactivityTimeout = a->Ini().ReadInteger(QStringLiteral("Misc"), QStringLiteral("0"), 30000);
  }
  s.Mechanism = f.GetMechanismName();
  if (s.Mechanism == 2) {
    if (f.EDITPW->text().isEmpty()) RaiseGeneral("PW missing for low level security");
    s.Password = TMisc::HexStrToByteStr(f.EDITPW->text().toStdString());
  } else if (s.Mechanism == 6) {
    s.GUEK = TMisc::HexStrToByteStr(f.GetHexGUEK().toStdString());
    s.GAK = TMisc::HexStrToByteStr(f.GetHexGAK().toStdString());
    s.ServerSystemTitle = TMisc::HexStrToByteStr(f.GetHexServerSystemTitle().toStdString());
  }
  return s;
}

void TFormMain::LogLine(const QString& line) {
#if defined(QUILLON_HAVE_COMM)
  TrafficWindowManager().OnTraffic(nullptr, line.toStdString(), TTrafficOptions{toInfo, toASCII});
#else
  FormTraffic->Info(line.toStdString(), std::string());
#endif
}

void TFormMain::ShowResponseLines(const QStringList& lines) {
  LogLine(QString());
  ResponseEditor->Clear();
  ResponseEditor->AppendLines(lines);
}

void TFormMain::RunLinkOperation(const std::function<void()>& operation) {
  struct TStatus {
    TFormMain* F;
    ~TStatus() { F->UpdateConnectionStatus(); }
  } status{this};
  RunOnExchangeThread(operation);
}

#if defined(QUILLON_HAVE_COMM)

namespace {

// The log window as the traffic log's sink: the sender queues its line and
// goes on; the window shows the queue in blocks.
class TLogWindowSink : public TTrafficSink {
public:
  explicit TLogWindowSink(TFormTraffic* w) : W(w) {}
  void Deliver(const std::function<void()>& handler) override { DeliverTrafficEvent(handler); }
  void DataReceived(const PduStr& s, bool binary, const std::string& prefix) override {
    W->DataReceived(s, binary, prefix);
  }
  void DataSent(const PduStr& s, bool binary, const std::string& prefix) override { W->DataSent(s, binary, prefix); }
  void Info(const std::string& s, const std::string& prefix) override { W->Info(s, prefix); }
  TFormTraffic* W;
};

TLogWindowSink* gSink = nullptr;

void ConfigureTCP(const TLinkSettings& s) {
  auto& tcp = LowerLayers().TCPClient;
  std::string address;
  int port = -1;
  bool isIPv4 = true, error = true;
  const std::string text = s.ServerIP.toStdString();
  TProtocolLayerTCPClient::SplitIPAddressAndPort(text, address, port, isIPv4, error);
  if (error) RaiseGeneral(Format("Illegal IP address \"%s\"", text.c_str()));
  if (port < 0) RaiseGeneral("Server TCP port not specified");
  tcp.SetIP(address);
  tcp.SetPort(port);
  tcp.SetIPVersion(isIPv4 ? IPv4 : IPv6);
  tcp.SetDisconnectToConnectDelay(1000);
  tcp.SetShowTraffic(true);
  tcp.SetResponseTimeout(s.ResponseTimeout);
  tcp.SetConnectTimeout(s.ConnectTimeout);
  auto& wrapper = WRAPPERLayers().WRAPPER(1);
  wrapper.LogProc = nullptr;
  wrapper.SupportingLayer = "TCPClient";
  MidLayerWRAPPER().WRAPPERLayer = &wrapper;
  CurrentMidLayer = &MidLayerWRAPPER();
}

void ConfigureHDLC(const TLinkSettings& s) {
  auto& serial = LowerLayers().Serial(1);
  serial.LogProc = nullptr;
  serial.SetCOMNr(s.ComPort);
  serial.Echoing = false;
  serial.ShowTraffic = true;
  serial.SetFormat("8N1");
  serial.ResponseTimeout = s.ResponseTimeout;
  serial.NeedsMode_E = s.ModeE;
  serial.NeedsWakeUp = false;
  serial.Mode_E_DeviceAddress.clear();
  serial.SetBaud(s.Baud);
  serial.Mode_E_Delay1 = 0;
  serial.Mode_E_Delay2 = 300;
  serial.Mode_E_Delay3 = 1000;
  auto& hdlc = HDLCLayers().HDLC(1);
  if (s.PhysicalAddress >= 0) {
    hdlc.SetServerLowerAddress(s.PhysicalAddress);
    // The server address becomes the upper part when connecting; two bytes
    // hold 0..127 per part, four bytes 0..16383.
    const bool large = s.PhysicalAddress > kMaxOneByteAddress || s.ServerAddress > kMaxOneByteAddress;
    hdlc.SetServerAddressSize(large ? 4 : 2);
  } else {
    hdlc.SetServerAddressSize(1);
    hdlc.SetServerLowerAddress(0);
    hdlc.SetServerUpperAddress(s.HDLCUpperAddress);
  }
  hdlc.InformationFieldLength = 128;
  hdlc.LogProc = nullptr;
  hdlc.InactivityTimeout = s.InactivityTimeout;
  MidLayerHDLC().DiscToNDMTimeout = 0;
  hdlc.SetSupportingLayer("Serial[1]");
  MidLayerHDLC().HDLCLayer = &hdlc;
  CurrentMidLayer = &MidLayerHDLC();
}

}  // namespace

void TFormMain::InstallLink() {
  CreateLinkState();
  delete gSink;
  gSink = new TLogWindowSink(FormTraffic);
  TrafficWindowManager().SetSink(gSink);
}

TFormMain::~TFormMain() {
  DiscardEngineState();
  if (gSink && gSink->W == FormTraffic) {
    TrafficWindowManager().SetSink(nullptr);
    delete gSink;
    gSink = nullptr;
  }
}

bool TFormMain::LinkConnected() const { return CurrentMidLayer != nullptr && CurrentMidLayer->Connected(); }

void TFormMain::DisconnectLink() {
  // An abort request ended the operation; closing the link after it must
  // not be aborted as well.
  UserAbortRequested = false;
  // No release request: the association ends with the link.
  DiscardEngineState();
  if (CurrentMidLayer) CurrentMidLayer->Disconnect();
  LowerLayers().DisconnectAllChannels();
}

void TFormMain::RequestUserAbort() { FCancel->Cancel(); }

void TFormMain::ConfigureProfile(const TLinkSettings& s) {
  if (s.Tcp) ConfigureTCP(s);
  else ConfigureHDLC(s);
}

#else

void TFormMain::InstallLink() { CreateLinkState(); }
TFormMain::~TFormMain() = default;
bool TFormMain::LinkConnected() const { return false; }
void TFormMain::DisconnectLink() {}
void TFormMain::RequestUserAbort() { FCancel->Cancel(); }
void TFormMain::ConfigureProfile(const TLinkSettings&) {
  RaiseGeneral("The communication layers are not part of this build");
}

#endif

#if defined(QUILLON_APP_HAS_LINK)

// The engine context of the window and the bytes its pointers point to;
// they stay put for the life of the connection.
struct TLinkState {
  TDLMSProtocolContext Context{};
  int32_t ClientId = 0;
  int32_t ServerId = 0;
  PduStr LLS_PassWord, HLS_GUEK, HLS_GAK, HLS_KEK, HLS_ClientSystemTitle, HLS_ServerSystemTitle;
  uint32_t NegotiatedConformance = 0;
  int32_t NegotiatedMaxPduSize = 0;
  // Hand-over of the value read, from the worker to the window thread.
  QStringList GetAttributeDataResult;
  TFormMain* Form = nullptr;
};

namespace {

// Key encryption key and client system title the program proposes.
const char* const kKEKHex = "7E51C0A9B3D24F86E0A5917C3B6D28F4";
const char* const kClientSystemTitle = "QXV00001";

// The engine's log lines carry no context, so they go to the traffic log
// directly, as lines without prefix columns.
void LogStringFunc(const char* s) {
  TrafficWindowManager().OnTraffic(nullptr, s ? std::string(s) : std::string(), TTrafficOptions{toInfo, toASCII});
}

void SetCallBackResult(PDLMSProtocolContext ctx, const std::string& text) {
  const size_t n = std::min(text.size(), sizeof ctx->CallBackResult - 1);
  std::memcpy(ctx->CallBackResult, text.data(), n);
  ctx->CallBackResult[n] = '\0';
}

int32_t SendReceiveDataFunc(PDLMSProtocolContext ctx, const uint8_t* out, int32_t outLength, uint8_t* in,
                            int32_t maxInLength, int32_t* inLength) {
  auto* link = static_cast<TLinkState*>(ctx->ReservedForDllUser);
  try {
    if (!CurrentMidLayer) RaiseGeneral("Not connected");
    const PduStr request(reinterpret_cast<const char*>(out), static_cast<size_t>(std::max(outLength, 0)));
    PduStr response;
    CurrentMidLayer->SendReceiveData(link->ClientId, link->ServerId, request, response);
    // A response the engine's buffer cannot take is refused, not cut.
    if (response.size() > static_cast<size_t>(std::max(maxInLength, 0)))
      RaiseGeneral(Format("Response too long (%d bytes, at most %d)", static_cast<int>(response.size()),
                          maxInLength));
    std::memcpy(in, response.data(), response.size());
    *inLength = static_cast<int32_t>(response.size());
    return 0;
  } catch (const std::exception& e) {
    // Exceptions stay on this side of the C interface; the engine reports
    // the text as the failure of the call.
    SetCallBackResult(ctx, e.what());
    return 1;
  }
}

int32_t GetShortNameOfAttributeFunc(PDLMSProtocolContext ctx, const uint8_t* instanceId, int32_t classId,
                                    int32_t attributeId, uint16_t* shortName) {
  auto* link = static_cast<TLinkState*>(ctx->ReservedForDllUser);
  const QString instanceHex = QString::fromStdString(
      TMisc::ByteStrToHexStr(std::string_view(reinterpret_cast<const char*>(instanceId), 6)));
  int32_t sn = 0;
  QString error;
  if (!link->Form->ShortNameOfAttribute(classId, instanceHex, attributeId, sn, error)) {
    SetCallBackResult(ctx, error.toStdString());
    return 1;
  }
  *shortName = static_cast<uint16_t>(sn);
  return 0;
}

void SetBytes(TByteArray& a, PduStr& owner, const PduStr& value) {
  owner = value;
  a.Size = static_cast<int32_t>(owner.size());
  a.Bytes = reinterpret_cast<uint8_t*>(owner.data());
}

const uint8_t* BytesOrNull(const PduStr& s) {
  return s.empty() ? nullptr : reinterpret_cast<const uint8_t*>(s.data());
}

void RaiseIfFailed(int32_t result, const TDLMSProtocolContext& ctx) {
  if (result != 0) RaiseGeneral(ctx.Result ? ctx.Result : "Engine call failed");
}

}  // namespace

void TFormMain::CreateLinkState() {
  FLink = std::make_shared<TLinkState>();
  FLink->Form = this;
}

void TFormMain::DiscardEngineState() {
  if (!FLink || FLink->Context.ReservedRef == nullptr) return;
  // The engine state of an association lives until ReleaseAA; with
  // RLRQSupported 0 that call sends nothing and only frees it. Clearing the
  // record without it would leave the state behind at every connect.
  FLink->Context.RLRQSupported = 0;
  ReleaseAA(&FLink->Context);
}

void TFormMain::ConnectAndAssociate(const TLinkSettings& s) {
  DiscardEngineState();
  TLinkState& L = *FLink;
  L.ClientId = s.ClientAddress;
  L.ServerId = s.ServerAddress;
  ConfigureProfile(s);
  CurrentMidLayer->Connect(L.ClientId, L.ServerId);

  TDLMSProtocolContext& c = L.Context;
  ClearContext(&c);
  c.ClientId = s.ClientAddress;
  c.ServerId = s.ServerAddress;
  c.ApplicationContext = s.ReferencingModel;
  c.MechanismName = s.Mechanism;
  if (s.Mechanism == 2) SetBytes(c.Secret, L.LLS_PassWord, s.Password);
  if (s.Mechanism == 6) {
    L.HLS_GUEK = s.GUEK;
    L.HLS_GAK = s.GAK;
    L.HLS_KEK = TMisc::HexStrToByteStr(kKEKHex);
    L.HLS_ClientSystemTitle = kClientSystemTitle;
    L.HLS_ServerSystemTitle = s.ServerSystemTitle;
    c.EncryptionKey = BytesOrNull(L.HLS_GUEK);
    c.AuthenticationKey = BytesOrNull(L.HLS_GAK);
    c.KeyEncryptionKey = BytesOrNull(L.HLS_KEK);
    c.SecuritySuite = 1;
    c.ClientSystemTitle = BytesOrNull(L.HLS_ClientSystemTitle);
    c.ServerSystemTitle = BytesOrNull(L.HLS_ServerSystemTitle);
  }
  c.LogStringFunc = &LogStringFunc;
  c.SendReceiveDataFunc = &SendReceiveDataFunc;
  c.GetShortNameOfAttributeFunc = &GetShortNameOfAttributeFunc;
  c.ReservedForDllUser = &L;
  RaiseIfFailed(EstablishAA(&c), c);
  L.NegotiatedConformance = c.NegotiatedConformance;
  L.NegotiatedMaxPduSize = c.NegotiatedMaxPduSize;
}

void TFormMain::ApplyProtection(const TLinkSettings& s) {
  if (!Ciphered(s.ReferencingModel)) return;
  TProtectionLayer& p = FLink->Context.ProtectionLayers[0];
  if (s.Protection == 0) {
    // "No" chosen after an earlier request was protected: the layer left
    // from that request would otherwise keep protecting every request.
    p = TProtectionLayer{};
    return;
  }
  p.Kind = 1;
  // General ciphering needs the general-block-transfer conformance bit.
  p.Style = (FLink->NegotiatedConformance & 4u) ? 3 : 1;
  p.ProtectionServices = static_cast<uint32_t>(s.Protection);
}

void TFormMain::MMDoConnectClick() {
  Guarded([this] { EnsureConnected(); });
}

void TFormMain::EnsureConnected() {
  if (LinkConnected()) return;
  FormTraffic->Clear();
  // The log comes up beside the window; the keyboard stays where it was
  // (platforms that ignore "show without activating" get it handed back).
  QWidget* active = QApplication::activeWindow();
  FormTraffic->show();
  if (active) active->activateWindow();
  const TLinkSettings s = ReadLinkSettings(true);
  UserAbortRequested = false;
  ScalerUnits.clear();
  RunLinkOperation([this, s] { ConnectAndAssociate(s); });
}

namespace {

std::string GetRequestXml(int classId, const QString& instanceHex, int attributeId) {
  return Format(
      "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"%s\" />"
      "<InstanceId Value=\"%s\" /><AttributeId Value=\"%s\" /></AttributeDescriptor></GetRequestNormal>",
      TMisc::IntToHex(static_cast<uint32_t>(classId), 4).c_str(), instanceHex.toStdString().c_str(),
      TMisc::IntToHex(static_cast<uint32_t>(attributeId), 2).c_str());
}

// One read on the worker: the Data element's XML lines, or the meter's
// refusal as an error.
QStringList ReadDataLines(TDLMSProtocolContext& c, const std::string& request) {
  RaiseIfFailed(ReadAttributes(&c, request.c_str()), c);
  const auto response = MakeFromXml<T_GetResponseNormal>(xmlGetResponseNormal, c.Result ? c.Result : "");
  const T_GetDataResult& result = *response->FResult();
  if (result.Tag != 0) {
    const auto& dar = static_cast<const T_DataAccessResult&>(*result.Value);
    RaiseGeneral(Format("DataAccessResult \"%s\"", dar.GetString().c_str()));
  }
  QStringList lines;
  for (const std::string& l : result.Value->ToStringList(0)) lines << QString::fromStdString(l);
  return lines;
}

}  // namespace

void TFormMain::ReadAttribute(const TInstanceInfo& info, int attributeId, const QString& attributeName) {
  EnsureConnected();
  LogLine(QStringLiteral("READING %1 (%2)").arg(attributeName, info.InstanceDescr));
  const TLinkSettings s = ReadLinkSettings(false);
  const std::string request = GetRequestXml(info.ClassId, info.InstanceHex, attributeId);
  // A register's value comes with its scaler and unit, read the first time.
  const int scalerAttribute = ScalerUnitAttribute(info.ClassId, attributeId);
  std::optional<client::TScalerUnit> scalerUnit;
  if (auto known = ScalerUnits.find(info.InstanceHex); known != ScalerUnits.end()) scalerUnit = known->second;
  const bool readScaler = scalerAttribute > 0 && !scalerUnit;
  const std::string scalerRequest = GetRequestXml(info.ClassId, info.InstanceHex, scalerAttribute);
  UserAbortRequested = false;
  FLink->GetAttributeDataResult.clear();
  RunLinkOperation([this, s, request, readScaler, scalerRequest, &scalerUnit] {
      ApplyProtection(s);
      TDLMSProtocolContext& c = FLink->Context;
      FLink->GetAttributeDataResult = ReadDataLines(c, request);
      if (!readScaler) return;
      try {
        ApplyProtection(s);
        const QStringList lines = ReadDataLines(c, scalerRequest);
        scalerUnit = client::ScalerUnitOf(client::ParseDataXml(lines.join(QLatin1Char('\n')).toStdString()));
      } catch (const EUserAbort&) {
        throw;
      } catch (const std::exception&) {
        // Without its scaler the value is shown as the meter sent it.
      }
    });
  if (readScaler && scalerUnit) ScalerUnits[info.InstanceHex] = *scalerUnit;
  // Only now is this attribute the one a write goes to: after a failed read
  // the editor still holds the earlier value.
  GetAttributeParams = {info.ClassId, attributeId, info.InstanceHex, attributeName, info.InstanceDescr};
  ShowResponseLines(FLink->GetAttributeDataResult);
  ValueView->ShowDataXml(FLink->GetAttributeDataResult.join(QLatin1Char('\n')), scalerUnit);
}

QList<TFormMain::TAttributeRow> TFormMain::ReadAllAttributes(const TInstanceInfo& info) {
  QStringList names;
#if defined(QUILLON_HAVE_KNOWLEDGE)
  if (const TCOSEMClassInfo* cls = COSEMClassesInfo().Search(info.ClassId, info.Version))
    for (const std::string& n : cls->AttributeNames) names << QString::fromStdString(n).remove(QLatin1Char('&'));
#endif
  if (names.isEmpty()) RaiseGeneral(Format("Class %d version %d is not in the class catalogue", info.ClassId, info.Version));
  EnsureConnected();
  LogLine(QStringLiteral("READING all attributes (%1)").arg(info.InstanceDescr));
  const TLinkSettings s = ReadLinkSettings(false);
  QList<TAttributeRow> rows;
  RunLinkOperation([&] {
    TDLMSProtocolContext& c = FLink->Context;
    for (int id = 1; id <= names.size(); ++id) {
      TAttributeRow row{id, names[id - 1], QString(), QString()};
      try {
        ApplyProtection(s);
        row.Xml = ReadDataLines(c, GetRequestXml(info.ClassId, info.InstanceHex, id)).join(QLatin1Char('\n'));
      } catch (const EUserAbort&) {
        throw;
      } catch (const std::exception& e) {
        // A refused attribute is a row of the table; a broken link is not.
        if (!QString::fromUtf8(e.what()).startsWith(QLatin1String("DataAccessResult"))) throw;
        row.Value = QString::fromUtf8(e.what());
      }
      rows << row;
    }
  });
  // The value attribute of a register is scaled by the scaler_unit row.
  std::optional<client::TScalerUnit> scalerUnit;
  for (const TAttributeRow& r : rows)
    if (r.Id == ScalerUnitAttribute(info.ClassId, 2) && !r.Xml.isEmpty()) {
      try {
        scalerUnit = client::ScalerUnitOf(client::ParseDataXml(r.Xml.toStdString()));
      } catch (const std::exception&) {
      }
    }
  if (scalerUnit) ScalerUnits[info.InstanceHex] = *scalerUnit;
  for (TAttributeRow& r : rows) {
    if (r.Xml.isEmpty()) continue;
    TValueView view;
    view.ShowDataXml(r.Xml, ScalerUnitAttribute(info.ClassId, r.Id) ? scalerUnit : std::nullopt);
    r.Value = view.TopText();
  }
  return rows;
}

void TFormMain::WriteThisClick() {
  Guarded([this] {
    if (GetAttributeParams.InstanceIdHex.isEmpty()) RaiseGeneral("Read an attribute first: it is the one written");
    if (!Confirm(WriteQuestion(ResponseEditor->Text()))) return;
    EnsureConnected();
    const TLinkSettings s = ReadLinkSettings(false);
    const std::string request = Format(
        "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"%s\" />"
        "<InstanceId Value=\"%s\" /><AttributeId Value=\"%s\" /></AttributeDescriptor><Value>%s</Value>"
        "</SetRequestNormal>",
        TMisc::IntToHex(static_cast<uint32_t>(GetAttributeParams.ClassId), 4).c_str(),
        GetAttributeParams.InstanceIdHex.toStdString().c_str(),
        TMisc::IntToHex(static_cast<uint32_t>(GetAttributeParams.AttributeId), 2).c_str(),
        StripDataWrapper(ResponseEditor->Text()).toStdString().c_str());
    UserAbortRequested = false;
    RunLinkOperation([this, s, request] {
        ApplyProtection(s);
        RaiseIfFailed(WriteAttributes(&FLink->Context, request.c_str()), FLink->Context);
      });
  });
}

void TFormMain::AddMethodItems(QMenu* menu, const TInstanceInfo& info, int methodCount) {
  if (methodCount <= 0) return;
  QMenu* methods = menu->addMenu(QStringLiteral("Invoke method"));
  for (int m = 1; m <= methodCount; ++m) {
    QAction* a = methods->addAction(QStringLiteral("Method %1 (parameters from the editor)").arg(m));
    connect(a, &QAction::triggered, this, [this, info, m] { Guarded([&] { InvokeMethodOn(info, m); }); });
  }
}

void TFormMain::InvokeMethodOn(const TInstanceInfo& info, int methodId) {
  if (!Confirm(InvokeQuestion(info, methodId, StripDataWrapper(ResponseEditor->Text())))) return;
  EnsureConnected();
  LogLine(QStringLiteral("INVOKING method %1 (%2)").arg(methodId).arg(info.InstanceDescr));
  const TLinkSettings s = ReadLinkSettings(false);
  // The parameters are the Data element typed in the editor; none when empty.
  const QString parameters = StripDataWrapper(ResponseEditor->Text()).trimmed();
  const std::string request = Format(
      "<ActionRequestNormal><InvokeIdAndPriority Value=\"C1\" /><MethodDescriptor><ClassId Value=\"%s\" />"
      "<InstanceId Value=\"%s\" /><MethodId Value=\"%s\" /></MethodDescriptor>%s</ActionRequestNormal>",
      TMisc::IntToHex(static_cast<uint32_t>(info.ClassId), 4).c_str(), info.InstanceHex.toStdString().c_str(),
      TMisc::IntToHex(static_cast<uint32_t>(methodId), 2).c_str(),
      parameters.isEmpty()
          ? ""
          : ("<MethodInvocationParameters>" + parameters.toStdString() + "</MethodInvocationParameters>").c_str());
  UserAbortRequested = false;
  QStringList lines;
  RunLinkOperation([this, s, request, &lines] {
      ApplyProtection(s);
      TDLMSProtocolContext& c = FLink->Context;
      RaiseIfFailed(InvokeMethod(&c, request.c_str(), 1), c);
      lines = QString::fromStdString(c.Result ? c.Result : "").split(QRegularExpression(QStringLiteral("\r?\n")));
    });
  ShowResponseLines(lines);
}

void TFormMain::MMDoReadObjectListClick() {
  Guarded([this] {
    TInstanceInfo association;
    const int model = FormSettings->GetReferencingModel();
    association.ClassId = (model == 1 || model == 2) ? 12 : 15;
    association.InstanceHex = QStringLiteral("0000280000FF");
    association.InstanceDescr = QStringLiteral("Default Association");
    ReadAttribute(association, 2, QStringLiteral("object_list"));
    const QString chosen = RunRememberingFileDialog(this, TFileDialogKind::fdSave, QStringLiteral("Save object-list"),
                                                    QStringLiteral("OL"), ObjectListSaveProposal());
    if (chosen.isEmpty()) return;
    const QString file = ChangeExtensionToTxt(chosen);
    ResponseEditor->SaveToFile(file);
    LoadObjectListFile(file);
  });
}

void TFormMain::ReleaseAndDisconnect() {
  if (LinkConnected() && FLink->Context.ReservedRef != nullptr) {
    // A meter that does not answer the release is hung up on all the same;
    // the engine state left behind is freed with the link.
    FLink->Context.RLRQSupported = 1;
    ReleaseAA(&FLink->Context);
  }
  DisconnectLink();
}

void TFormMain::MMDoDisconnectClick() {
  Guarded([this] {
    RunLinkOperation([this] { ReleaseAndDisconnect(); });
  });
}

QString TFormMain::NegotiatedText() const {
  if (!FLink || !LinkConnected()) return QString();
  return QStringLiteral("Conformance %1, PDU size %2")
      .arg(QString::fromStdString(TMisc::IntToHex(FLink->NegotiatedConformance, 6)))
      .arg(FLink->NegotiatedMaxPduSize);
}

#else  // the lower modules are not all part of this build

struct TLinkState {};

void TFormMain::DiscardEngineState() {}

void TFormMain::CreateLinkState() { FLink = std::make_shared<TLinkState>(); }

namespace {
[[noreturn]] void NotInThisBuild() { RaiseGeneral("The meter connection is not part of this build"); }
}  // namespace

void TFormMain::ConnectAndAssociate(const TLinkSettings&) { NotInThisBuild(); }
void TFormMain::ApplyProtection(const TLinkSettings&) {}
void TFormMain::EnsureConnected() { NotInThisBuild(); }
void TFormMain::MMDoConnectClick() { Guarded([] { NotInThisBuild(); }); }
void TFormMain::MMDoReadObjectListClick() { Guarded([] { NotInThisBuild(); }); }
void TFormMain::MMDoDisconnectClick() {}
void TFormMain::ReleaseAndDisconnect() {}
void TFormMain::WriteThisClick() { Guarded([] { NotInThisBuild(); }); }
void TFormMain::ReadAttribute(const TInstanceInfo&, int, const QString&) { NotInThisBuild(); }
QList<TFormMain::TAttributeRow> TFormMain::ReadAllAttributes(const TInstanceInfo&) { NotInThisBuild(); }
void TFormMain::AddMethodItems(QMenu*, const TInstanceInfo&, int) {}
void TFormMain::InvokeMethodOn(const TInstanceInfo&, int) { NotInThisBuild(); }
QString TFormMain::NegotiatedText() const { return QString(); }

#endif

}  // namespace quillon
