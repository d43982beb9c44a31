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

#include "knowledge/COSEMClasses.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

#include "client/TrafficLog.h"

namespace quillon {

namespace {

bool Ciphered(int referencingModel) { return referencingModel == 2 || referencingModel == 4; }

}  // namespace


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
  if (tcp && f.CHKCallIn->isChecked()) {
    f.GetIntValue(f.EDITCallInPort, 0, 65535);
  } else if (tcp) {
    // Addresses only: the window connects to no host name.
    std::string ip;
    int port = -1;
    client::SplitAddressAndPort(f.EDITServerIP->text().toStdString(), ip, port);
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


void TFormMain::LogLine(const QString& line) {
  client::TrafficNote(line.toStdString());
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


namespace {

// The log window as the traffic log's sink: the sender queues its line and
// goes on; the window shows the queue in blocks.
class TLogWindowSink : public client::TTrafficLines {
public:
  explicit TLogWindowSink(TFormTraffic* w) : W(w) {}
  void Deliver(const std::function<void()>& handler) override { DeliverTrafficEvent(handler); }
  void Received(const std::string& s, bool binary, const std::string& prefix) override {
    W->DataReceived(s, binary, prefix);
  }
  void Sent(const std::string& s, bool binary, const std::string& prefix) override { W->DataSent(s, binary, prefix); }
  void Info(const std::string& s, const std::string& prefix) override { W->Info(s, prefix); }
  TFormTraffic* W;
};

TLogWindowSink* gSink = nullptr;

}  // namespace

void TFormMain::InstallLink() {
  CreateLinkState();
  auto* sink = new TLogWindowSink(FormTraffic);
  client::SetTrafficLines(sink);
  delete gSink;
  gSink = sink;
}

TFormMain::~TFormMain() {
  DiscardEngineState();
  if (gSink && gSink->W == FormTraffic) {
    client::SetTrafficLines(nullptr);
    delete gSink;
    gSink = nullptr;
  }
}

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

client::TSession* TFormMain::SharedSession() const { return FLink ? FLink->Session.get() : nullptr; }

bool TFormMain::LinkConnected() const { return FLink && FLink->Session && FLink->Session->LinkConnected(); }

void TFormMain::DisconnectLink() {
  // An abort request ended the operation; closing the link after it must
  // not be aborted as well.
  DiscardEngineState();
}

void TFormMain::RequestUserAbort() {
  if (FOperationRunning) FCancelRequested = true;
  FCancel->Cancel();
}

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
  // A meter that calls in: the status bar says that the window waits, and
  // who called.
  session.SetCallInNotice([this](const std::string& notice) {
    const QString text = QString::fromStdString(notice);
    QMetaObject::invokeMethod(
        this,
        [this, text] {
          static const QLatin1String kConnected("Meter connected from ");
          if (text.startsWith(kConnected)) FCallInPeer = text.mid(kConnected.size());
          if (FOperationRunning) StatusConnection->setText(text);
        },
        Qt::QueuedConnection);
    LogLine(text);
  });
  // The stages reach the status bar through the window's event loop.
  const auto stage = [this](const client::TProgress& p) {
    if (!*p.Stage) return;
    const QString name = QString::fromLatin1(p.Stage);
    QMetaObject::invokeMethod(
        this, [this, name] { if (FOperationRunning) StatusConnection->setText(ConnectingText(name)); },
        Qt::QueuedConnection);
  };
  WithBareMessages([this](const QString& line) { LogLine(line); },
                   [&] { session.Open(client::TCall{FCancel.get(), stage}); });
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
  // Until the meter has answered, the status bar says where the connect is.
  FCallInPeer.clear();
  StatusConnection->setText(ConnectingText(QString()));
  RunLinkOperation([this, s] { ConnectAndAssociate(s); });
}

QString TFormMain::ConnectingText(const QString& stage) const {
  const QString text = QStringLiteral("Connecting to %1...").arg(MeterText());
  return stage.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, stage);
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
  const client::TGetAnswer answer =
      client::GetAnswerOf(RunRequest(static_cast<int>(client::TRequestKind::rkGet), s, request));
  if (!answer.Refusal.empty()) RaiseGeneral(Format("DataAccessResult \"%s\"", answer.Refusal.c_str()));
  // One line per element, indented from the Data element's own column: the
  // answer starts at "<Data>", its closing tag stands in that column.
  const QStringList lines = QString::fromStdString(answer.DataXml).split(QLatin1Char('\n'));
  const auto leading = [](const QString& l) {
    qsizetype n = 0;
    while (n < l.size() && l[n] == QLatin1Char(' ')) ++n;
    return n;
  };
  const qsizetype indent = lines.size() > 1 ? leading(lines.last()) : 0;
  QStringList out;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    QString l = lines[i];
    while (l.endsWith(QLatin1Char('\r')) || l.endsWith(QLatin1Char(' '))) l.chop(1);
    if (l.isEmpty()) continue;
    out << (i == 0 ? l : l.mid(std::min(indent, leading(l))));
  }
  return out;
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
  GetAttributeParams = {info.ClassId, attributeId, info.InstanceHex, attributeName, info.InstanceDescr, info};
  ShowResponseLines(FLink->GetAttributeDataResult);
  ValueView->ShowDataXml(FLink->GetAttributeDataResult.join(QLatin1Char('\n')), scalerUnit,
                        client::TValuePlace{info.ClassId, info.Version, attributeId, {}});
}

QList<TFormMain::TAttributeRow> TFormMain::ReadAllAttributes(const TInstanceInfo& info) {
  QStringList names;
  if (const TCOSEMClassInfo* cls = COSEMClassesInfo().Search(info.ClassId, info.Version))
    for (const std::string& n : cls->AttributeNames) names << QString::fromStdString(n).remove(QLatin1Char('&'));
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
    // The line the value view's top shows for a single read of the attribute.
    r.Value = TValueView::ReadableXml(r.Xml, ScalerUnitAttribute(info.ClassId, r.Id) ? scalerUnit : std::nullopt,
                                      client::TValuePlace{info.ClassId, info.Version, r.Id, {}});
  }
  return rows;
}

namespace {

client::TObjectRef RefOf(int classId, const QString& instanceHex, int member) {
  return client::TObjectRef{classId, client::LogicalNameOfBytes(TMisc::HexStrToByteStr(instanceHex.toStdString())),
                            member};
}

// A write or method invocation through the session, which decides whether
// the meter took it (every result success, whatever the service). A
// refusal names the target and the meter's result, and explains it where
// the diagnosis table can.
template <typename F>
auto Refusable(const QString& target, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const client::EMeterError& e) {
    if (e.Refusal.empty()) throw;
    QString text = QStringLiteral("The meter refused to %1: %2").arg(target, QString::fromStdString(e.Refusal));
    if (e.Diagnosis) text += QStringLiteral("\n\n") + DiagnosisLines(*e.Diagnosis).join(QLatin1Char('\n'));
    RaiseGeneral(text.toStdString());
  }
}

}  // namespace

void TFormMain::WriteThisClick() {
  Guarded([this] {
    if (GetAttributeParams.InstanceIdHex.isEmpty()) RaiseGeneral("Read an attribute first: it is the one written");
    if (!Confirm(WriteQuestion(ResponseEditor->Text()))) return;
    EnsureConnected();
    const TLinkSettings s = ReadLinkSettings(false);
    const TGetAttributeParams target = GetAttributeParams;
    const client::TObjectRef ref = RefOf(target.ClassId, target.InstanceIdHex, target.AttributeId);
    const std::string value = StripDataWrapper(ResponseEditor->Text()).trimmed().toStdString();
    const QString readable = ReadableValueFor(ResponseEditor->Text());
    const QString what = QStringLiteral("%1 %2, %3").arg(DottedLogicalName(target.InstanceIdHex), target.InstanceDescr,
                                                         target.AttributeName);
    LogLine(QStringLiteral("WRITING %1 (%2)").arg(target.AttributeName, target.InstanceDescr));
    RunLinkOperation([this, s, ref, value, &target] {
      client::TSession& session = *FLink->Session;
      session.SetRequestProtection(s.Protection);
      const QString refused = QStringLiteral("write attribute %1 (%2) of %3 %4, class %5")
                                  .arg(target.AttributeId)
                                  .arg(target.AttributeName, DottedLogicalName(target.InstanceIdHex), target.InstanceDescr)
                                  .arg(target.ClassId);
      WithBareMessages(FLink->Log, [&] {
        Refusable(refused, [&] { session.Set(ref, value, client::TCall{FCancel.get(), {}}); });
      });
    });
    ShowOutcome(QStringLiteral("Written: %1 = %2").arg(what, readable.isEmpty() ? QStringLiteral("(value)") : readable));
    // The meter's value now, where the attribute can be read back.
    if (!target.Object.Entry || target.Object.Entry->MayRead(target.AttributeId)) {
      const QString outcome = Outcome();
      ReadAttribute(target.Object, target.AttributeId, target.AttributeName);
      ShowOutcome(outcome);
    }
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
  const std::string parameters = StripDataWrapper(ResponseEditor->Text()).trimmed().toStdString();
  const client::TObjectRef ref = RefOf(info.ClassId, info.InstanceHex, methodId);
  std::optional<client::TValue> returned;
  RunLinkOperation([this, s, ref, parameters, &info, methodId, &returned] {
    client::TSession& session = *FLink->Session;
    session.SetRequestProtection(s.Protection);
    const QString target = QStringLiteral("invoke method %1 of %2 %3, class %4")
                               .arg(methodId)
                               .arg(DottedLogicalName(info.InstanceHex), info.InstanceDescr)
                               .arg(info.ClassId);
    returned = WithBareMessages(FLink->Log, [&] {
      return Refusable(target, [&] { return session.Action(ref, parameters, client::TCall{FCancel.get(), {}}); });
    });
  });
  QString outcome = QStringLiteral("Invoked: %1 %2, method %3").arg(DottedLogicalName(info.InstanceHex), info.InstanceDescr).arg(methodId);
  // Return parameters, when the meter sends any, take the editor's place.
  if (returned && returned->Kind != client::TValueKind::vkNull) {
    const std::string xml = "<Data>" + client::ValueToXml(*returned) + "</Data>";
    ShowResponseLines(QString::fromStdString(xml).split(QLatin1Char('\n')));
    ValueView->ShowValue(*returned, std::nullopt);
    outcome += QStringLiteral(", returned %1").arg(TValueView::ReadableText(*returned, std::nullopt));
  }
  ShowOutcome(outcome);
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


}  // namespace quillon
