// Connecting, reading, writing and invoking through a meter session of the
// session library; the window reads its settings and shows the answers.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>

#include <algorithm>
#include <functional>
#include <optional>

#include "app/AppSettings.h"
#include "app/EditorPane.h"
#include "app/FileDialogs.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/IniFile.h"
#include "app/LinkSettings.h"
#include "app/QuirksBox.h"
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
#if defined(QUILLON_HAVE_CLIENT) && defined(QUILLON_HAVE_XMLPDU)
#define QUILLON_APP_HAS_LINK 1
#include "client/Session.h"
#include "comm/TCPClient.h"
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

#if defined(QUILLON_APP_HAS_LINK)

namespace {

// The controls a connect reads, checked as the operator typed them: a
// failure names the field as the dialog does, before anything is sent. The
// values themselves become the profile through the settings file form only.
void CheckLinkControls(const TFormSettings& f, bool ciphered) {
  f.GetAddresses(false);
  f.GetIntValue(f.EDITResponseTimeout, 0, 2147483647);
  const bool tcp = f.RBSelectTCP->isChecked();
  if (tcp) {
    f.GetIntValue(f.EDITConnectTimeout, 0, 2147483647);
  } else {
    // The device path wins; without one the COM number names the port.
    if (f.EDITDevicePath->text().trimmed().isEmpty()) f.GetIntValue(f.EDITComPort, 1, 2147483647);
    f.GetIntValue(f.EDITBaud, 45, 2147483647);
  }
  f.Quirks->Quirks();
  const int mechanism = f.GetMechanismName();
  const client::TSettingsSecurityFields use = client::SettingsSecurityFields(ciphered, mechanism);
  if (use.SigningKeyFiles) {
    if (f.EDITClientSigningKeyFile->text().trimmed().isEmpty())
      RaiseGeneral("Client signing key (PEM): a file is needed for HIGH  (ECDSA)");
    if (f.EDITServerSigningKeyFile->text().trimmed().isEmpty())
      RaiseGeneral("Meter signing key (PEM): a file is needed for HIGH  (ECDSA)");
  }
  if (use.Password) {
    if (f.EDITPW->text().trimmed().isEmpty()) {
      if (mechanism == client::mLow) RaiseGeneral("PW missing for low level security");
      RaiseGeneral(Format("%s a secret is needed for %s", f.PasswordCaption().toUtf8().constData(),
                          f.CBAuthMechanism->currentText().toUtf8().constData()));
    }
    f.GetPasswordBytes();
  }
  if (use.Keys) {
    f.GetHexGUEK();
    f.GetHexGAK();
  }
  if (use.ServerSystemTitle) f.GetHexServerSystemTitle();
  if (tcp) {
    // Addresses only: the window connects to no host name.
    const std::string text = f.EDITServerIP->text().toStdString();
    std::string ip;
    int port = -1;
    bool isIPv4 = true, error = true;
    TProtocolLayerTCPClient::SplitIPAddressAndPort(text, ip, port, isIPv4, error);
    if (error) RaiseGeneral(Format("Illegal IP address \"%s\"", text.c_str()));
    if (port < 0) RaiseGeneral("Server TCP port not specified");
  }
}

}  // namespace

TLinkSettings TFormMain::ReadLinkSettings(bool forConnect) const {
  const TFormSettings& f = *FormSettings;
  TLinkSettings s;
  s.ReferencingModel = f.GetReferencingModel();
  if (Ciphered(s.ReferencingModel)) s.Protection = f.GetProtectionOnRequestToApply();
  if (!forConnect) return s;
  CheckLinkControls(f, Ciphered(s.ReferencingModel));
  // Each request of a ciphered context carries the protection chosen for it
  // (`Protection`); the profile's policy serves the session's own requests.
  s.Profile = CurrentMeterProfile();
  return s;
}

#else

TLinkSettings TFormMain::ReadLinkSettings(bool) const {
  TLinkSettings s;
  s.ReferencingModel = FormSettings->GetReferencingModel();
  return s;
}

#endif

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

#else

void TFormMain::InstallLink() { CreateLinkState(); }
TFormMain::~TFormMain() = default;

#endif

#if defined(QUILLON_APP_HAS_LINK)

// The window's meter session, kept between operations, and what outlives
// one session.
struct TLinkState {
  std::unique_ptr<client::TSession> Session;
  // Hand-over of the value read, from the worker to the window thread.
  QStringList GetAttributeDataResult;
  // The system title the meter announced in its answer to the last
  // association (hex; empty when none), accepted or not.
  QString AnnouncedSystemTitle;
  TFormMain* Form = nullptr;
  // The window's log.
  std::function<void(const QString&)> Log;
};

namespace {

// The layers log under the names the log window has always shown.
const client::TLayerNames kLayerNames{"TCPClient", "Serial[1]", "WRAPPER[1]", "HDLC[1]"};

// The explanation of a refused association or protected exchange, one
// line each: what happened, the likely cause, the fix (in the window's
// words: its settings and menu commands, not quillon-cli's options).
QStringList DiagnosisLines(const client::TDiagnosis& d) {
  return {QStringLiteral("What happened: ") + QString::fromStdString(d.What),
          QStringLiteral("Likely cause: ") + QString::fromStdString(d.Cause),
          QStringLiteral("Fix: ") + QString::fromStdString(d.WindowFix)};
}

// The session's failures reach the operator with the layer's or the
// engine's own text; where the meter's answer explains the failure, the
// explanation follows it, in the message and in the log.
template <typename F>
auto WithBareMessages(const std::function<void(const QString&)>& log, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const client::EMeterError& e) {
    if (!e.Diagnosis) RaiseGeneral(e.Cause());
    const QStringList lines = DiagnosisLines(*e.Diagnosis);
    for (const QString& line : lines) log(line);
    RaiseGeneral(e.Cause() + "\n\n" + lines.join(QLatin1Char('\n')).toStdString());
  }
}

// Closes and forgets the session (`release`: with a release request where
// the association supports one); the counters it did not use go back to the
// counters file with the close, which may have used one.
void EndSession(TLinkState& L, bool release) {
  L.Session->Close(release);
  L.Session.reset();
}

}  // namespace

void TFormMain::CreateLinkState() {
  FLink = std::make_shared<TLinkState>();
  FLink->Form = this;
  FLink->Log = [this](const QString& line) { LogLine(line); };
}

void TFormMain::DiscardEngineState() {
  if (!FLink || !FLink->Session) return;
  // No release request: the association ends with the link.
  EndSession(*FLink, false);
}

bool TFormMain::LinkConnected() const { return FLink && FLink->Session && FLink->Session->LinkConnected(); }

void TFormMain::DisconnectLink() {
  // An abort request ended the operation; closing the link after it must
  // not be aborted as well.
  DiscardEngineState();
}

void TFormMain::RequestUserAbort() { FCancel->Cancel(); }

void TFormMain::ConnectAndAssociate(const TLinkSettings& s) {
  DiscardEngineState();
  TLinkState& L = *FLink;
  L.Session = std::make_unique<client::TSession>(s.Profile);
  client::TSession& session = *L.Session;
  session.SetLayerNames(kLayerNames);
  // A meter refuses a counter it has seen: the count goes on from where the
  // last session with this meter left it, in this process or another one. A
  // counter that cannot be handed back is said in the log: the session has
  // done its work all the same.
  session.KeepInvocationCounter(
      client::TCounterKeeping{.Warning = [form = L.Form](const std::string& e) { form->LogLine(QString::fromStdString(e)); }});
  // The engine's log lines carry no context: lines without prefix columns.
  session.SetLog([form = L.Form](const std::string& line) { form->LogLine(QString::fromStdString(line)); });
  // Short names come from the object list loaded in the window.
  session.SetShortNameSource(
      [form = L.Form](int classId, const client::TLogicalName& name, int attribute, int& sn, std::string& error) {
        QString message;
        int32_t found = 0;
        const QString instanceHex = QString::fromStdString(client::LogicalNameHex(name));
        if (!form->ShortNameOfAttribute(classId, instanceHex, attribute, found, message)) {
          error = message.toStdString();
          return false;
        }
        sn = found;
        return true;
      });
  L.AnnouncedSystemTitle.clear();
  // The title the meter announced, whether it accepted the association or not.
  struct TKeepTitle {
    TLinkState& L;
    ~TKeepTitle() { L.AnnouncedSystemTitle = QString::fromStdString(L.Session->AnnouncedSystemTitle()); }
  } keep{L};
  WithBareMessages([this](const QString& line) { LogLine(line); },
                   [&] { session.Open(client::TCall{FCancel.get(), {}}); });
}

void TFormMain::OfferAnnouncedSystemTitle() {
  // An association the meter accepted, or one that failed because it
  // announced another title than the settings hold: either way its title
  // is offered, never put in silently.
  const bool offered = FLink && FormSettings->OfferMeterSystemTitle(FLink->AnnouncedSystemTitle);
  UseMeterSystemTitle->setText(FormSettings->BTNUseMeterSystemTitle->text());
  UseMeterSystemTitle->setVisible(offered);
}

void TFormMain::UseMeterSystemTitleClick() {
  Guarded([this] {
    const QString title = FormSettings->OfferedSystemTitle();
    FormSettings->UseOfferedSystemTitle();
    UseMeterSystemTitle->setVisible(false);
    LogLine(QStringLiteral("Meter system title %1 taken for the settings").arg(title));
    if (TAppSettings* a = TAppSettings::Instance()) {
      FormSettings->SaveControls(a->Ini());
      a->Save();
    }
  });
}

std::string TFormMain::RunRequest(int kind, const TLinkSettings& s, const std::string& requestXml) {
  TLinkState& L = *FLink;
  if (!L.Session) RaiseGeneral("Not connected");
  L.Session->SetRequestProtection(s.Protection);
  return WithBareMessages([this](const QString& line) { LogLine(line); }, [&] {
    return L.Session->Request(static_cast<client::TRequestKind>(kind), requestXml, client::TCall{FCancel.get(), {}});
  });
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
  ScalerUnits.clear();
  struct TOffer {
    TFormMain* F;
    ~TOffer() { F->OfferAnnouncedSystemTitle(); }
  } offer{this};
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

}  // namespace

QStringList TFormMain::ReadDataLines(const TLinkSettings& s, const std::string& request) {
  const std::string answer = RunRequest(static_cast<int>(client::TRequestKind::rkGet), s, request);
  const auto response = MakeFromXml<T_GetResponseNormal>(xmlGetResponseNormal, answer);
  const T_GetDataResult& result = *response->FResult();
  if (result.Tag != 0) {
    const auto& dar = static_cast<const T_DataAccessResult&>(*result.Value);
    RaiseGeneral(Format("DataAccessResult \"%s\"", dar.GetString().c_str()));
  }
  QStringList lines;
  for (const std::string& l : result.Value->ToStringList(0)) lines << QString::fromStdString(l);
  return lines;
}

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
  FLink->GetAttributeDataResult.clear();
  RunLinkOperation([this, s, request, readScaler, scalerRequest, &scalerUnit] {
      FLink->GetAttributeDataResult = ReadDataLines(s, request);
      if (!readScaler) return;
      try {
        const QStringList lines = ReadDataLines(s, scalerRequest);
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
  ValueView->ShowDataXml(FLink->GetAttributeDataResult.join(QLatin1Char('\n')), scalerUnit,
                        client::TValuePlace{info.ClassId, info.Version, attributeId, {}});
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
    for (int id = 1; id <= names.size(); ++id) {
      TAttributeRow row{id, names[id - 1], QString(), QString()};
      try {
        row.Xml = ReadDataLines(s, GetRequestXml(info.ClassId, info.InstanceHex, id)).join(QLatin1Char('\n'));
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
    view.ShowDataXml(r.Xml, ScalerUnitAttribute(info.ClassId, r.Id) ? scalerUnit : std::nullopt,
                     client::TValuePlace{info.ClassId, info.Version, r.Id, {}});
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
      RunLinkOperation([this, s, request] { RunRequest(static_cast<int>(client::TRequestKind::rkSet), s, request); });
  });
}

void TFormMain::AddMethodItems(QMenu* menu, const TInstanceInfo& info, int methodCount) {
  if (methodCount <= 0) return;
  QMenu* methods = menu->addMenu(QStringLiteral("Invoke method"));
  for (int m = 1; m <= methodCount; ++m) {
    const QString mark = MethodAccessMark(info, m);
    QAction* a = methods->addAction(QStringLiteral("Method %1 (parameters from the editor)").arg(m) +
                                    (mark.isEmpty() ? QString() : QLatin1Char('\t') + mark));
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
  QStringList lines;
  RunLinkOperation([this, s, request, &lines] {
      const std::string answer = RunRequest(static_cast<int>(client::TRequestKind::rkAction), s, request);
      lines = QString::fromStdString(answer).split(QRegularExpression(QStringLiteral("\r?\n")));
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
    const QString chosen = RunSaveDialog(this, {.Caption = QStringLiteral("Save object-list"),
                                                .Key = QStringLiteral("OL"),
                                                .Filter = kObjectListFilter,
                                                .Preset = ObjectListSaveProposal()});
    if (chosen.isEmpty()) return;
    const QString file = ChangeExtensionToTxt(chosen);
    ResponseEditor->SaveToFile(file);
    LoadObjectListFile(file);
    ReportFileSaved(this, nullptr, QStringLiteral("Saved the object list (%1) to %2")
                                       .arg(CountText(ObjectCount(), QStringLiteral("object"), QStringLiteral("objects")), file));
  });
}

void TFormMain::ReleaseAndDisconnect() {
  if (!FLink || !FLink->Session) return;
  // A release request where the association supports one; a meter that does
  // not answer it is hung up on all the same.
  EndSession(*FLink, true);
}

void TFormMain::MMDoDisconnectClick() {
  Guarded([this] {
    RunLinkOperation([this] { ReleaseAndDisconnect(); });
  });
}

QString TFormMain::NegotiatedText() const {
  if (!FLink || !LinkConnected()) return QString();
  return QStringLiteral("Conformance %1, PDU size %2")
      .arg(QString::fromStdString(TMisc::IntToHex(FLink->Session->NegotiatedConformance(), 6)))
      .arg(FLink->Session->NegotiatedMaxPduSize());
}

#else  // the lower modules are not all part of this build

struct TLinkState {};

void TFormMain::DiscardEngineState() {}

void TFormMain::CreateLinkState() { FLink = std::make_shared<TLinkState>(); }

namespace {
[[noreturn]] void NotInThisBuild() { RaiseGeneral("The meter connection is not part of this build"); }
}  // namespace

bool TFormMain::LinkConnected() const { return false; }
void TFormMain::DisconnectLink() {}
void TFormMain::RequestUserAbort() {}
void TFormMain::ConnectAndAssociate(const TLinkSettings&) { NotInThisBuild(); }
std::string TFormMain::RunRequest(int, const TLinkSettings&, const std::string&) { NotInThisBuild(); }
void TFormMain::EnsureConnected() { NotInThisBuild(); }
void TFormMain::MMDoConnectClick() { Guarded([] { NotInThisBuild(); }); }
void TFormMain::MMDoReadObjectListClick() { Guarded([] { NotInThisBuild(); }); }
void TFormMain::MMDoDisconnectClick() {}
void TFormMain::ReleaseAndDisconnect() {}
void TFormMain::OfferAnnouncedSystemTitle() {}
void TFormMain::UseMeterSystemTitleClick() {}
void TFormMain::WriteThisClick() { Guarded([] { NotInThisBuild(); }); }
void TFormMain::ReadAttribute(const TInstanceInfo&, int, const QString&) { NotInThisBuild(); }
QList<TFormMain::TAttributeRow> TFormMain::ReadAllAttributes(const TInstanceInfo&) { NotInThisBuild(); }
void TFormMain::AddMethodItems(QMenu*, const TInstanceInfo&, int) {}
void TFormMain::InvokeMethodOn(const TInstanceInfo&, int) { NotInThisBuild(); }
QString TFormMain::NegotiatedText() const { return QString(); }

#endif

}  // namespace quillon
