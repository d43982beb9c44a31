// "Find meter..." against the simulator at addresses the window does not
// know, the explanation shown for a refused association, and the quirks of
// the settings dialog from the screen to the session.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QMenuBar>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QtTest>

#include "AppTestSupport.h"
#include "SimFixture.h"
#include "app/FormFindMeter.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/IniFile.h"
#include "app/QuirksBox.h"
#include "client/Diagnosis.h"
#include "client/MeterProfile.h"
#include "client/Quirks.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// The simulator's nameplate: its serial number gives physical address 443.
const char* const kSerialNumber = "51000427";

// The meters file of the test case's own folder.
class TConfigHome {
public:
  explicit TConfigHome(const TSettingsFixture& fx) { qputenv("XDG_CONFIG_HOME", fx.Path("config").toUtf8()); }
  ~TConfigHome() { qunsetenv("XDG_CONFIG_HOME"); }
};

// The settings dialog aimed at a TCP meter with the given client.
void AimAt(TFormSettings& s, int port, int client, int mechanism, const QString& password) {
  s.RBSelectTCPClick();
  s.EDITServerIP->setText(QStringLiteral("127.0.0.1:%1").arg(port));
  s.CBReferencingModel->setCurrentIndex(0);
  s.CBAuthMechanism->setCurrentIndex(mechanism);
  s.EDITPW->setText(password);
  s.EDITClientAddress->setText(QString::number(client));
  s.EDITServerAddress->setText(QStringLiteral("5"));
  s.EDITConnectTimeout->setText(QStringLiteral("2000"));
  s.EDITResponseTimeout->setText(QStringLiteral("3000"));
}

QStringList Row(const QTableWidget* t, int row) {
  QStringList cells;
  for (int c = 0; c < t->columnCount(); ++c) cells << (t->item(row, c) ? t->item(row, c)->text() : QString());
  return cells;
}

bool RunToEnd(TFormFindMeter& dialog) {
  QSignalSpy finished(&dialog, &TFormFindMeter::Finished);
  dialog.Start();
  // A bound against a hang, not a measure: the budget ends the probe first.
  return finished.wait(30000);
}

}  // namespace

class FindMeterTest : public QObject {
  Q_OBJECT
private slots:
  void findsTheMeterAndHandsItOn_data();
  void findsTheMeterAndHandsItOn();
  void cancelStopsTheProbe_data();
  void cancelStopsTheProbe();
  void fieldErrorsNameTheField_data();
  void fieldErrorsNameTheField();
  void refusedAssociationIsExplained_data();
  void refusedAssociationIsExplained();
  void windowFixesNameTheWindowsControls();
  void quirksRoundTrip();
  void quirksReachTheSession();
  void profileChanges_data();
  void profileChanges();
};

void FindMeterTest::findsTheMeterAndHandsItOn_data() {
  QTest::addColumn<int>("line");  // 0 wrapper, 1 HDLC over TCP, 2 HDLC on a pseudo-terminal with mode E
  QTest::addColumn<QString>("password");  // of client 17; empty: no client given
  QTest::addColumn<QStringList>("outcomes");
  QTest::addColumn<QString>("recommended");  // %1: the port or device
  QTest::addColumn<QStringList>("settings");  // client, mechanism, password after "Use for settings"
  QTest::addColumn<QString>("settingsChanged");  // what "Use for settings" says
  QTest::newRow("wrapper") << 0 << "" << QStringList{"associated"}
                           << "Recommended: wrapper 127.0.0.1:%1 client 16 server 1 LN"
                           << QStringList{"16", "NO", ""} 
                           << "Settings changed: client address 17 → 16; server address 5 → 1; authentication low → none; "
                              "password changed; connect timeout 2000 → 5000 ms";
  // The public client first, then the client given with its password.
  QTest::newRow("wrapper, client 17") << 0 << "12345678" << QStringList{"associated", "associated"}
                                      << "Recommended: wrapper 127.0.0.1:%1 client 17 server 1 LN low"
                                      << QStringList{"17", "LOW", "3132333435363738"} 
                                      << "Settings changed: server address 5 → 1; password changed; connect timeout 2000 → 5000 ms";
  // HDLC at the physical address the serial number gives: the wrapper,
  // tried first, hears nothing.
  QTest::newRow("HDLC over TCP") << 1 << "" << QStringList{"nothing", "associated"}
                                 << "Recommended: hdlc-tcp 127.0.0.1:%1 client 16 server 1/443 (4-byte) LN"
                                 << QStringList{} << "";
  // A meter that speaks only after the mode E opening, at the factory
  // physical address: the one from the serial number is tried first.
  QTest::newRow("mode E") << 2 << "" << QStringList{"nothing", "associated"}
                          << "Recommended: serial %1 mode E client 16 server 1/17 (2-byte) LN" << QStringList{} << "";
}

void FindMeterTest::findsTheMeterAndHandsItOn() {
  QFETCH(int, line);
  QFETCH(QString, password);
  QFETCH(QStringList, outcomes);
  QFETCH(QString, recommended);
  QFETCH(QStringList, settings);
  QFETCH(QString, settingsChanged);
  TSettingsFixture fx;
  TConfigHome config(fx);
  std::optional<sim::THdlcSettings> link;
  if (line == 1) link = sim::THdlcSettings{.ServerUpper = 1, .ServerLower = 443};
  if (line == 2) link = sim::THdlcSettings{.ServerUpper = 1, .ServerLower = 17, .ModeE = true};
  TSimulator sim(link, line == 2 ? TSimulator::lPseudoTerminal : TSimulator::lTcp);
  TFormMain form;
  // What the window holds is wrong for this meter but for where it is.
  const int port = line == 2 ? 1 : sim.Port();
  AimAt(*form.FormSettings, port, 17, 1, QStringLiteral("3132"));

  std::unique_ptr<TFormFindMeter> dialog(form.CreateFindMeter());
  QVERIFY(dialog->RBTcp->isChecked());
  QString where = QString::number(port);
  QCOMPARE(dialog->EDITHostPort->text(), QStringLiteral("127.0.0.1:%1").arg(where));
  if (line == 2) {
    // A device path typed in the picker.
    where = QString::fromStdString(sim.Device());
    dialog->RBSerial->setChecked(true);
    dialog->CBDevice->setEditText(where);
  }
  dialog->SPINBudget->setValue(20);
  dialog->SPINAttemptTimeout->setValue(500);
  dialog->EDITSerialNumber->setText(kSerialNumber);
  if (!password.isEmpty()) {
    dialog->EDITClient->setText(QStringLiteral("17"));
    dialog->EDITPassword->setText(password);
  }
  QVERIFY(RunToEnd(*dialog));

  const client::TProbeResult& r = dialog->Result();
  QVERIFY(r.Recommended.has_value());
  QCOMPARE(dialog->Attempts->rowCount(), outcomes.size());
  for (int i = 0; i < outcomes.size(); ++i) QCOMPARE(dialog->Attempts->item(i, 1)->text(), outcomes[i]);
  const QStringList found = Row(dialog->Attempts, outcomes.size() - 1);
  QCOMPARE(found[0], recommended.mid(QStringLiteral("Recommended: ").size()).arg(where));
  // The public association shows the meter.
  const int pub = static_cast<int>(outcomes.indexOf("associated"));
  QCOMPARE(Row(dialog->Attempts, pub)[4], QStringLiteral("QSM0000000001, serial number %1, %2 objects")
                                              .arg(kSerialNumber)
                                              .arg(r.Attempts[pub].ObjectCount));
  QVERIFY(r.Attempts[pub].ObjectCount > 40);
  QCOMPARE(dialog->LBLRecommended->text(), recommended.arg(where));
  QCOMPARE(dialog->LBLProgress->text(), outcomes.size() == 1 ? QStringLiteral("Found after 1 attempt")
                                                             : QStringLiteral("Found after %1 attempts").arg(outcomes.size()));
  QVERIFY(dialog->BTNUse->isEnabled() && dialog->BTNSave->isEnabled());

  // Saved as a named meter: the file quillon-cli reads.
  dialog->SaveRecommended(QStringLiteral("found"));
  const client::TMeterProfile saved =
      client::ProfileFromMeterSection(client::TIniData::Load(client::MetersFilePath()), "found");
  QCOMPARE(QString::fromStdString(client::AttemptText(saved)), found[0]);
  // A name the file's sections cannot hold is refused, the file kept.
  QCOMPARE(RunAndCatchMessageBox([&] { dialog->SaveRecommended(QStringLiteral("a]b")); }),
           QStringLiteral("Meter \"a]b\": expected a name without brackets or line breaks"));
  QCOMPARE(client::TIniData::Load(client::MetersFilePath()).Sections(), std::vector<std::string>{"found"});

  if (line == 0) {
    // Into the settings; the window then connects with them.
    dialog->UseRecommended();
    // What changed is said: the response timeout is the probe's attempt timeout.
    QCOMPARE(dialog->LBLProgress->text(), settingsChanged);
    const TFormSettings& s = *form.FormSettings;
    QCOMPARE((QStringList{s.EDITClientAddress->text(), s.CBAuthMechanism->currentText(), s.EDITPW->text()}), settings);
    QCOMPARE(s.EDITServerAddress->text(), QStringLiteral("1"));
    QCOMPARE(RunAndCatchMessageBox([&] { form.MMDoConnectClick(); }), QString());
    QVERIFY(form.LinkConnected());
  } else if (line == 1) {
    // The window's TCP connection is the wrapper: it cannot take this one.
    QCOMPARE(RunAndCatchMessageBox([&] { dialog->UseRecommended(); }),
             QStringLiteral("transport \"hdlc-tcp\": the application's settings hold tcp (wrapper) or serial only"));
    QCOMPARE(form.FormSettings->EDITClientAddress->text(), QStringLiteral("17"));
  }
}

void FindMeterTest::cancelStopsTheProbe_data() {
  QTest::addColumn<bool>("escape");
  QTest::newRow("Cancel button") << false;
  QTest::newRow("Esc") << true;
}

void FindMeterTest::cancelStopsTheProbe() {
  QFETCH(bool, escape);
  TSettingsFixture fx;
  // Takes the connection and never answers; only the cancel can end the
  // probe before its hour is up.
  sim::TSimListener silent("127.0.0.1", 0);
  TFormFindMeter dialog;
  dialog.EDITHostPort->setText(QStringLiteral("127.0.0.1:%1").arg(silent.Port()));
  dialog.SPINBudget->setValue(3600);
  dialog.SPINAttemptTimeout->setValue(60000);
  QSignalSpy finished(&dialog, &TFormFindMeter::Finished);
  dialog.Start();
  QVERIFY(dialog.Running());
  QVERIFY(!dialog.BTNFind->isEnabled() && dialog.BTNCancel->isEnabled());
  QTRY_VERIFY(dialog.LBLProgress->text().startsWith(QStringLiteral("Attempt 1: wrapper 127.0.0.1:")));
  if (escape) dialog.reject();
  else dialog.BTNCancel->click();
  QVERIFY(finished.wait(30000));
  QVERIFY(!dialog.Running());
  QVERIFY(dialog.Result().Cancelled);
  QVERIFY(!dialog.Result().Recommended);
  // The attempt cut short says nothing about the meter: not listed.
  QCOMPARE(dialog.Attempts->rowCount(), 0);
  QCOMPARE(dialog.LBLProgress->text(), QStringLiteral("Cancelled after 0 attempts"));
  QVERIFY(dialog.BTNFind->isEnabled() && !dialog.BTNCancel->isEnabled() && !dialog.BTNUse->isEnabled());
}

void FindMeterTest::fieldErrorsNameTheField_data() {
  QTest::addColumn<QString>("field");
  QTest::addColumn<QString>("value");
  QTest::addColumn<QString>("expected");
  QTest::newRow("host") << "host" << ":4059" << "Host \":4059\": expected HOST[:PORT]";
  QTest::newRow("port") << "host" << "127.0.0.1:0" << "Host port \"0\": expected an integer in 1..65535";
  QTest::newRow("device") << "device" << " " << "Serial device: a device path expected";
  QTest::newRow("physical") << "physical" << "16384" << "Physical address \"16384\": expected an integer in 0..16383";
  QTest::newRow("client") << "client" << "x" << "Client address \"x\": expected an integer in 1..127";
  QTest::newRow("password without client") << "password" << "secret"
                                           << "Client address: the client the password belongs to expected";
  QTest::newRow("password hex") << "hexpassword" << "3G" << "Password: hex digits expected";
}

void FindMeterTest::fieldErrorsNameTheField() {
  QFETCH(QString, field);
  QFETCH(QString, value);
  QFETCH(QString, expected);
  TFormFindMeter dialog;
  if (field == "host") dialog.EDITHostPort->setText(value);
  if (field == "device") {
    dialog.RBSerial->setChecked(true);
    dialog.CBDevice->setEditText(value);
  }
  if (field == "physical") dialog.EDITPhysical->setText(value);
  if (field == "client") dialog.EDITClient->setText(value);
  if (field == "password") dialog.EDITPassword->setText(value);
  if (field == "hexpassword") {
    dialog.EDITClient->setText(QStringLiteral("17"));
    dialog.EDITPassword->setText(value);
    dialog.CHKPasswordHex->setChecked(true);
  }
  QCOMPARE(RunAndCatchMessageBox([&] { dialog.Start(); }), expected);
  QVERIFY(!dialog.Running());
}

// The explanation speaks of the window's settings and menu commands, not of
// quillon-cli's options.
void FindMeterTest::refusedAssociationIsExplained_data() {
  QTest::addColumn<int>("client");
  QTest::addColumn<int>("mechanism");  // index of the authentication item
  QTest::addColumn<QString>("password");  // hex
  QTest::addColumn<QStringList>("explanation");
  // Client 17 takes the password "12345678"; this one is wrong.
  QTest::newRow("authentication failure")
      << 17 << 1 << "3132333435363739"
      << QStringList{
             "What happened: The meter rejected the association of client 17: authentication failure",
             "Likely cause: a wrong password or key, the password given as text where the meter expects hex, or a "
             "client address that does not go with this secret",
             "Fix: in Show → Settings..., check the secret in \"Low security PW\" or \"HLS secret\" (\"Hex\" "
             "ticked for a secret in hex digits) and that client 17 in \"Client\" under \"Addresses\" is the one the "
             "meter assigns to it"};
  // The meter has no client 99.
  QTest::newRow("no such client")
      << 99 << 0 << ""
      << QStringList{"What happened: The meter rejected the association of client 99 without giving a reason",
                     "Likely cause: the meter has no client 99, or the server address is not one of its logical "
                     "devices",
                     "Fix: try the public client (16 in \"Client\" under \"Addresses\", Show → Settings...) or "
                     "let Do → Find meter... find the addresses"};
  // Client 18 authenticates with MD5, not SHA-1.
  QTest::newRow("another mechanism")
      << 18 << 4 << "5175696C6C6F6E2D484C532D736563726574"
      << QStringList{"What happened: The meter does not accept authentication sha1 for client 18",
                     "Likely cause: the meter expects another mechanism for this client",
                     "Fix: in Show → Settings..., choose the meter's mechanism in \"Auth. Mechanism\", or a "
                     "\"Client\" address that uses sha1"};
}

void FindMeterTest::refusedAssociationIsExplained() {
  QFETCH(int, client);
  QFETCH(int, mechanism);
  QFETCH(QString, password);
  QFETCH(QStringList, explanation);
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  AimAt(*form.FormSettings, sim.Port(), client, mechanism, password);
  form.FormSettings->EDITServerAddress->setText(QStringLiteral("1"));
  const QString shown = RunAndCatchMessageBox([&] { form.MMDoConnectClick(); });
  // The engine's own text first, then the explanation.
  QCOMPARE(shown, QStringLiteral("Association is not \"accepted\"\n\n") + explanation.join('\n'));
  QVERIFY(!form.LinkConnected());
  const QStringList log = form.FormTraffic->Lines();
  const qsizetype at = log.indexOf(explanation[0]);
  QVERIFY2(at >= 0, qPrintable(log.join('\n')));
  QCOMPARE(log.mid(at, 3), explanation);
}

// What the explanations tell an operator in the window to use is there: each
// "quoted" setting is a label, box, button or list item of the settings
// dialog as it reads, each "Menu → Command..." a command of the menu bar.
void FindMeterTest::windowFixesNameTheWindowsControls() {
  TSettingsFixture fx;
  TFormMain form;
  TFormSettings& s = *form.FormSettings;
  s.OfferMeterSystemTitle(QStringLiteral("5153494D00000001"));  // the button appears with a title
  QStringList captions;
  const auto collect = [&] {
    for (const QLabel* l : s.findChildren<QLabel*>()) captions << l->text();
    for (const QAbstractButton* b : s.findChildren<QAbstractButton*>()) captions << b->text();
    for (const QGroupBox* g : s.findChildren<QGroupBox*>()) captions << g->title();
    for (const QComboBox* c : s.findChildren<QComboBox*>())
      for (int i = 0; i < c->count(); ++i) captions << c->itemText(i);
  };
  s.CBAuthMechanism->setCurrentIndex(1);  // the secret's caption for LOW
  collect();
  s.CBAuthMechanism->setCurrentIndex(3);  // and for HLS
  collect();
  const auto shown = [&captions](const QString& name) {
    for (QString c : captions) {
      if (c.endsWith(QLatin1Char(':'))) c.chop(1);
      // Exactly; a button followed by its value; a list item ending so.
      if (c == name || c.startsWith(name + QLatin1Char(' ')) || c.endsWith(QLatin1Char(' ') + name)) return true;
    }
    return false;
  };
  const auto inMenu = [&form](const QString& menu, const QString& command) {
    for (const QAction* m : form.menuBar()->actions()) {
      if (!m->menu() || m->text().remove(QLatin1Char('&')) != menu) continue;
      for (const QAction* a : m->menu()->actions())
        if (a->text() == command) return true;
    }
    return false;
  };
  const QRegularExpression quoted(QStringLiteral("\"([^\"]+)\""));
  const QRegularExpression command(QStringLiteral("(\\w+) → ([^,;()]+?\\.\\.\\.)"));
  int names = 0, commands = 0;
  QStringList fixes;
  for (const client::TDiagnosisRow& row : client::DiagnosisTable()) fixes << QString::fromUtf8(row.WindowText());
  // A placeholder names no control itself; the fix a failure fills in does
  // (a strict session refusing a deviation tolerated by default).
  client::TFailureEvidence strict;
  strict.EngineText = "General-block-transfer received when not allowed by the conformance block";
  strict.Profile.Strict = true;
  const auto filled = client::Diagnose(strict);
  QVERIFY(filled.has_value());
  fixes << QString::fromStdString(filled->WindowFix);
  for (const QString& fix : fixes) {
    for (const QRegularExpressionMatch& m : quoted.globalMatch(fix)) {
      if (m.captured(1).startsWith(QLatin1Char('{'))) continue;
      ++names;
      QVERIFY2(shown(m.captured(1)), qPrintable(QStringLiteral("%1: %2").arg(fix, m.captured(1))));
    }
    for (const QRegularExpressionMatch& m : command.globalMatch(fix)) {
      ++commands;
      QVERIFY2(inMenu(m.captured(1), m.captured(2)), qPrintable(QStringLiteral("%1: %2").arg(fix, m.captured(0))));
    }
  }
  QVERIFY(names > 0 && commands > 0);
}

void FindMeterTest::quirksRoundTrip() {
  TSettingsFixture fx;
  TConfigHome config(fx);
  TFormSettings settings;
  settings.ApplyFirstRunDefaults();
  TQuirksBox& box = *settings.Quirks;
  // Every quirk the library knows, its meaning as the tooltip.
  const auto& catalogue = client::QuirkCatalogue();
  QCOMPARE(box.Rows().size(), catalogue.size());
  for (size_t i = 0; i < catalogue.size(); ++i) {
    QVERIFY(QString::fromUtf8(catalogue[i].Syntax).startsWith(box.Rows()[i].Name));
    QCOMPARE(box.Rows()[i].Check->toolTip(), QString::fromUtf8(catalogue[i].Meaning));
    QCOMPARE(box.Rows()[i].Value != nullptr, QString::fromUtf8(catalogue[i].Syntax).contains('='));
  }
  auto row = [&](const QString& name) {
    for (const TQuirksBox::TRow& r : box.Rows())
      if (r.Name == name) return r;
    return TQuirksBox::TRow{};
  };
  row("challenge-16").Check->setChecked(true);
  // One challenge length at a time.
  row("challenge-32").Check->setChecked(true);
  QVERIFY(!row("challenge-16").Check->isChecked());
  row("max-pdu").Check->setChecked(true);
  QVERIFY(row("max-pdu").Value->isEnabled());
  row("max-pdu").Value->setText("512");
  row("no-rlrq").Check->setChecked(true);
  const QString text = QStringLiteral("challenge-32,max-pdu=512,no-rlrq");
  QCOMPARE(box.Text(), text);

  // Settings file: the key holds what the meters file holds.
  TIniFile ini{QString()};
  settings.SaveControls(ini);
  QCOMPARE(ini.ReadString("FormSettings", "Quirks"), text);
  TFormSettings again;
  again.LoadControls(ini);
  QCOMPARE(again.Quirks->Text(), text);
  QCOMPARE(QString::fromStdString(again.Quirks->Quirks().Text()), text);

  // Named meters: chosen, shown in the dialog, saved again unchanged.
  client::TMeterProfile meter;
  meter.Host = "127.0.0.1";
  meter.Quirks = client::ParseQuirks("hdlc-info=256,first-response-timeout=9000");
  client::TIniData meters;
  client::ProfileToMeterSection(meter, meters, "slow");
  client::MakeFolders(client::ConfigFolder());
  meters.Save(client::MetersFilePath(), 0600);
  TFormMain form;
  form.UseMeter(QStringLiteral("slow"));
  QCOMPARE(form.FormSettings->Quirks->Text(), QStringLiteral("hdlc-info=256,first-response-timeout=9000"));
  form.SaveMeter(QStringLiteral("slow again"));
  QCOMPARE(client::TIniData::Load(client::MetersFilePath()).Get("slow again", "quirks"),
           std::string("hdlc-info=256,first-response-timeout=9000"));

  // A value out of range keeps the dialog open with the field named.
  row("max-pdu").Value->setText("5");
  QCOMPARE(RunAndCatchMessageBox([&] { settings.BTNOkClick(); }),
           QStringLiteral("Quirks \"max-pdu=5\": expected max-pdu=N with N 12..65535"));
  row("max-pdu").Value->clear();
  QCOMPARE(RunAndCatchMessageBox([&] { settings.BTNOkClick(); }),
           QStringLiteral("Quirks \"max-pdu=\": expected max-pdu=N with N 12..65535"));
}

void FindMeterTest::quirksReachTheSession() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  AimAt(*form.FormSettings, sim.Port(), 16, 0, QString());
  form.FormSettings->EDITServerAddress->setText(QStringLiteral("1"));
  for (const TQuirksBox::TRow& r : form.FormSettings->Quirks->Rows())
    if (r.Name == "max-pdu") {
      r.Check->setChecked(true);
      r.Value->setText("300");
    }
  QCOMPARE(RunAndCatchMessageBox([&] { form.MMDoConnectClick(); }), QString());
  QVERIFY(form.LinkConnected());
  // The meter announces more; the session keeps to the quirk and says so.
  QVERIFY2(form.StatusNegotiated->text().endsWith(QStringLiteral("PDU size 300")),
           qPrintable(form.StatusNegotiated->text()));
  QVERIFY(form.FormTraffic->Lines().filter(QRegularExpression("^quirk max-pdu: PDU size 300 instead of the \\d+ the meter announced$")).size() == 1);
}

void FindMeterTest::profileChanges_data() {
  QTest::addColumn<QString>("field");
  QTest::addColumn<QString>("expected");
  QTest::newRow("nothing") << "" << "";
  QTest::newRow("response timeout") << "response" << "response timeout 3000 → 1500 ms";
  QTest::newRow("client and mechanism") << "client" << "client address 16 → 17; authentication none → low; password changed";
  QTest::newRow("where") << "where" << "meter TCP 127.0.0.1:4059 → serial /dev/ttyUSB0; baud rate 9600 → 19200";
  QTest::newRow("physical address") << "physical" << "physical address (none) → 17";
  QTest::newRow("keys named, not shown") << "keys"
                                         << "security none → auth-enc; encryption key changed; authentication key changed";
}

void FindMeterTest::profileChanges() {
  QFETCH(QString, field);
  QFETCH(QString, expected);
  client::TMeterProfile before;
  before.Host = "127.0.0.1";
  client::TMeterProfile after = before;
  if (field == "response") after.ResponseTimeout = 1500;
  if (field == "client") {
    after.ClientAddress = 17;
    after.Mechanism = client::mLow;
    after.Secret = "secret";
  }
  if (field == "where") {
    after.Transport = client::TTransport::tHdlcSerial;
    after.Device = "/dev/ttyUSB0";
    after.Baud = 19200;
  }
  if (field == "physical") after.PhysicalAddress = 17;
  if (field == "keys") {
    after.Policy = 3;
    after.EK = std::string(16, '\x01');
    after.AK = std::string(16, '\x02');
  }
  const QStringList changes = ProfileChanges(before, after);
  QCOMPARE(changes.join("; "), expected);
  QVERIFY(!changes.join(" ").contains("secret"));
}

QTEST_MAIN(FindMeterTest)
#include "FindMeterTest.moc"
