// The application against the project's meter simulator over loopback TCP:
// connect, read the object list, read an attribute, write it back, and the
// ways an operation fails.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QDateTimeEdit>
#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QLineSeries>
#include <QSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "AppTestSupport.h"
#include "SimFixture.h"
#include "tests/PemKeys.h"
#include "app/EditorPane.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/IniFile.h"
#include "app/QuirksBox.h"
#include "app/ValueView.h"
#include "client/InvocationCounters.h"
#include "app/ProfileView.h"
#include "tools/meter-sim/SimTransport.h"
#include "xmlpdu/infra/Misc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quillon;
using namespace quillon::sim;
using namespace quillon::test;

namespace {

void UseTcp(TFormMain& form, const QString& ipAndPort, int client, int mechanism, const QString& password = {},
            int referencingModel = 0) {
  TFormSettings& s = *form.FormSettings;
  s.RBSelectTCPClick();
  s.EDITServerIP->setText(ipAndPort);
  s.CBReferencingModel->setCurrentIndex(referencingModel);
  s.CBAuthMechanism->setCurrentIndex(mechanism);
  s.EDITPW->setText(password);
  s.EDITClientAddress->setText(QString::number(client));
  s.EDITServerAddress->setText("1");
  s.EDITConnectTimeout->setText("2000");
  s.EDITResponseTimeout->setText("3000");
}

// Client 33: LN with ciphering, HLS GMAC, the simulator's suite 0 keys;
// requests authenticated and encrypted.
// The simulator's keys in the settings, and the meter system title `title`.
void UseSimulatorKeys(TFormSettings& s, const QString& title = QStringLiteral("5153494D00000001")) {
  s.EDITGUEK->setText("000102030405060708090A0B0C0D0E0F");
  s.EDITGAK->setText("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF");
  s.EDITServerSystemTitle->setText(title);
}

void UseCipheredGmac(TFormMain& form, int port) {
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(port), 33, 2, {}, 1);
  UseSimulatorKeys(*form.FormSettings);
  form.FormSettings->CBProtectionOnRequest->setCurrentIndex(3);
}

// The operator's answer to "Write this" and "Invoke method": `answer`; the
// questions are kept in `asked`.
void RecordQuestions(TFormMain& form, QStringList& asked, const bool& answer) {
  form.Confirm = [&asked, &answer](const QString& q) {
    asked << q;
    return answer;
  };
}

// The texts the connection status shows while `action` runs, each change once.
QStringList StatusesDuring(TFormMain& form, const std::function<void()>& action) {
  QStringList seen;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const QString t = form.StatusConnection->text();
    if (seen.isEmpty() || seen.last() != t) seen << t;
  });
  watch.start(0);
  action();
  watch.stop();
  return seen;
}

int RowOf(const TFormMain& form, const QString& logicalName) {
  for (int r = 0; r < form.ObjectCount(); ++r)
    if (form.ObjectAt(r).InstanceHex == logicalName) return r;
  return -1;
}

// Saves the object list read into the editor, loads it, and checks every
// row against the meter: class, version and base name.
void SaveAndLoadObjectList(TFormMain& form, TSimulator& sim, const QString& file, bool shortNames) {
  form.ResponseEditor->SaveToFile(file);
  form.LoadObjectListFile(file);
  QVERIFY(form.ObjectCount() > 20);
  for (int r = 0; r < form.ObjectCount(); ++r) {
    const TInstanceInfo info = form.ObjectAt(r);
    const TSimObject* obj = sim.Model.Find(static_cast<uint16_t>(info.ClassId),
                                           TMisc::HexStrToByteStr(info.InstanceHex.toStdString()));
    QVERIFY2(obj != nullptr, qPrintable(QString("%1 class %2").arg(info.InstanceHex).arg(info.ClassId)));
    QCOMPARE(info.Version, static_cast<int>(obj->Version));
    // An LN list carries no base names.
    QCOMPARE(static_cast<int>(info.BaseName), shortNames ? obj->ShortName : 0);
  }
}

}  // namespace

class EndToEndTest : public QObject {
  Q_OBJECT
private slots:
  void readObjectListReadAndWriteBack();
  void shortNamesFromTheObjectList();
  void cancelEndsAnEndlessAnswer_data();
  void cancelEndsAnEndlessAnswer();
  void statusFollowsTheLink();
  void writeGoesToTheAttributeReadLast();
  void methodInvocationAsksFirst();
  void profileByDateAndByEntries();
  void cipheredGmacAssociation();
  void invocationCounterGoesOnInTheNextWindow();
  void meterSystemTitleOfferedAfterGmacAssociation();
  void ecdsaWithKeyFiles();
  void hlsMechanismsWithATextSecret_data();
  void hlsMechanismsWithATextSecret();
  void hdlcOverPseudoTerminalByDevicePath();
  void readAllAttributes();
  void failures_data();
  void failures();
  void refusedWriteNamesTargetAndResult();
  void connectShowsWhereItIs();
  void profileViewOfItsOwnIsInTheLog();
  void meterThatCallsIn();
  void strictRefusesWhatIsToleratedByDefault();
};

void EndToEndTest::readObjectListReadAndWriteBack() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  form.Confirm = [](const QString&) { return true; };
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);

  // Reading while disconnected connects first, in the same command.
  QString shown = RunAndCatchMessageBox([&] {
    form.ReadAttribute({15, 1, "0000280000FF", "Default Association", 0}, 2, "object_list");
  });
  QCOMPARE(shown, QString());
  QVERIFY(form.LinkConnected());
  QCOMPARE(form.StatusConnection->text(), QStringLiteral("Connected"));
  QVERIFY(form.StatusNegotiated->text().startsWith(QLatin1String("Conformance ")));
  QVERIFY(form.ResponseEditor->Text().startsWith(QLatin1String("<Data>")));
  QVERIFY(form.FormTraffic->Lines().contains(QStringLiteral("READING object_list (Default Association)")));
  QVERIFY(form.FormTraffic->TrafficStats().Received > 0);
  // The engine's own log lines arrive from the worker as well.
  const QStringList log = form.FormTraffic->Lines();
  QVERIFY(std::any_of(log.begin(), log.end(), [](const QString& l) { return l.contains(QLatin1String("RESPONSE:")); }));

  // What "Read object-list" does after its save dialog.
  SaveAndLoadObjectList(form, sim, fx.Path("meter.txt"), false);
  const int statusRow = RowOf(form, "0000600A01FF");
  QVERIFY(statusRow >= 0);
  const TInstanceInfo status = form.ObjectAt(statusRow);

  // Read the status word, change it in the editor, write it back, read again.
  shown = RunAndCatchMessageBox([&] { form.ReadAttribute(status, 2, "value"); });
  QCOMPARE(shown, QString());
  QCOMPARE(form.ResponseEditor->Text().simplified(), QStringLiteral("<Data> <Unsigned Value=\"00\" /> </Data>"));
  form.ResponseEditor->SetText(form.ResponseEditor->Text().replace("\"00\"", "\"2A\""));
  shown = RunAndCatchMessageBox([&] { form.WriteThisClick(); });
  QCOMPARE(shown, QString());
  form.ResponseEditor->Clear();
  form.ReadAttribute(status, 2, "value");
  QCOMPARE(form.ResponseEditor->Text().simplified(), QStringLiteral("<Data> <Unsigned Value=\"2A\" /> </Data>"));

  // A register's value reads with its scaler and unit, read once.
  const TInstanceInfo energy{3, 0, "0100010800FF", "Active energy import (+A), total", 0};
  form.ReadAttribute(energy, 2, "value");
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("1234567 Wh"));
  QCOMPARE(form.ScalerUnits.size(), size_t{1});
  // Dates read as ISO 8601 (the simulator's clock runs in UTC+0 with
  // deviation 0).
  form.ReadAttribute({8, 0, "0000010000FF", "Clock", 0}, 2, "time");
  QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d").match(form.ValueView->TopText()).hasMatch(),
           qPrintable(form.ValueView->TopText()));
  // Enums by name: the clock's clock_base, the disconnect control's state.
  form.ReadAttribute({8, 0, "0000010000FF", "Clock", 0}, 9, "clock_base");
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("internal crystal (1)"));
  form.ReadAttribute({70, 0, "000060030AFF", "Disconnect control", 0}, 3, "control_state");
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("connected (1)"));

  // Connect while connected does nothing, not even clearing the log.
  const int lines = form.FormTraffic->LineCount();
  form.MMDoConnectClick();
  QCOMPARE(form.FormTraffic->LineCount(), lines);

  form.MMDoDisconnectClick();
  QVERIFY(!form.LinkConnected());
  QCOMPARE(form.StatusConnection->text(), QStringLiteral("Not connected"));
}

void EndToEndTest::shortNamesFromTheObjectList() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  form.Confirm = [](const QString&) { return true; };
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 48, 0, {}, 2);  // SN, no security

  // "Read object-list" under SN reads the association object of class 12.
  QString shown = RunAndCatchMessageBox([&] {
    form.ReadAttribute({12, 0, "0000280000FF", "Default Association", 0}, 2, "object_list");
  });
  QCOMPARE(shown, QString());
  SaveAndLoadObjectList(form, sim, fx.Path("sn.txt"), true);
  // Reading and writing by short name: base name plus 8 per attribute
  // (the clock's time zone, attribute 3).
  const TInstanceInfo clock = form.ObjectAt(RowOf(form, "0000010000FF"));
  QCOMPARE(clock.BaseName, 0x2BC0);
  form.ReadAttribute(clock, 3, "time_zone");
  QCOMPARE(form.ResponseEditor->Text().simplified(), QStringLiteral("<Data> <Long Value=\"0000\" /> </Data>"));
  form.ResponseEditor->SetText("<Data><Long Value=\"FFC4\" /></Data>");
  shown = RunAndCatchMessageBox([&] { form.WriteThisClick(); });
  QCOMPARE(shown, QString());
  form.ReadAttribute(clock, 3, "time_zone");
  QCOMPARE(form.ResponseEditor->Text().simplified(), QStringLiteral("<Data> <Long Value=\"FFC4\" /> </Data>"));
  // An object the list does not know has no short name.
  shown = RunAndCatchMessageBox([&] {
    try {
      form.ReadAttribute({1, 0, "0000636363FF", "unknown", 0}, 2, "value");
    } catch (const std::exception& e) {
      form.ShowError(e.what());
    }
  });
  QVERIFY2(shown.contains(QLatin1String("No shortname found for instance 0000636363FF")), qPrintable(shown));
  QVERIFY(!form.LinkConnected());
}

void EndToEndTest::cancelEndsAnEndlessAnswer_data() {
  QTest::addColumn<bool>("trickle");  // the peer sends a byte now and then, or nothing at all
  QTest::addColumn<QString>("how");   // the menu command, or Esc in one of the two windows
  QTest::newRow("trickling peer, menu") << true << "menu";
  QTest::newRow("silent peer, menu") << false << "menu";
  QTest::newRow("silent peer, Esc in the main window") << false << "main";
  QTest::newRow("trickling peer, Esc in the log window") << true << "log";
}

void EndToEndTest::cancelEndsAnEndlessAnswer() {
  QFETCH(bool, trickle);
  QFETCH(QString, how);
  TSettingsFixture fx;
  // A peer that announces a long wrapper frame and then trickles its bytes
  // for as long as the client listens, or stays silent.
  TSimListener listener("127.0.0.1", 0);
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    int fd = -1;
    while (!stop && fd < 0) fd = listener.Accept(50);
    if (fd < 0) return;
    const char header[] = {0, 1, 0, 1, 0, 16, '\xFF', '\xFF'};
    bool open = !trickle || ::send(fd, header, sizeof header, MSG_NOSIGNAL) == sizeof header;
    while (!stop && open) {
      if (trickle) open = ::send(fd, "", 1, MSG_NOSIGNAL) == 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
  });
  TFormMain form;
  form.show();
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(listener.Port()), 16, 0);
  form.FormSettings->EDITResponseTimeout->setText("60000");
  // The operator cancels once while the operation runs (the command is
  // only available then).
  QTimer cancel;
  QObject::connect(&cancel, &QTimer::timeout, [&] {
    if (!form.MMDoCancel->isEnabled()) return;
    if (how == "menu") {
      form.MMDoCancel->trigger();
    } else {
      QWidget* target = how == "log" ? static_cast<QWidget*>(form.FormTraffic->SynEdit) : form.LV;
      QApplication::setActiveWindow(target->window());
      QTest::keyClick(target, Qt::Key_Escape);
    }
    cancel.stop();
  });
  cancel.start(1);
  const QString shown = RunAndCatchMessageBox([&] { form.MMDoConnectClick(); });
  cancel.stop();
  stop = true;
  peer.join();
  // The operator's own cancel is a note in the status bar, not an error.
  QCOMPARE(shown, QString());
  QCOMPARE(form.Outcome(), QStringLiteral("Cancelled"));
  QVERIFY(!form.LinkConnected());
  QVERIFY(QApplication::overrideCursor() == nullptr);
}

void EndToEndTest::statusFollowsTheLink() {
  TSettingsFixture fx;
  auto sim = std::make_unique<TSimulator>();
  TFormMain form;
  form.show();
  QApplication::setActiveWindow(&form);
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim->Port()), 16, 0);
  form.MMDoConnectClick();
  QCOMPARE(form.StatusConnection->text(), QStringLiteral("Connected"));
  // The caption names the meter while connected.
  QCOMPARE(form.windowTitle(), QStringLiteral("quillon [127.0.0.1:%1, connected]").arg(sim->Port()));
  // The log window came up without taking the keyboard from the main window.
  QVERIFY(form.FormTraffic->isVisible());
  QVERIFY(form.MMViewTraffic->isChecked());
  QVERIFY(QApplication::activeWindow() != form.FormTraffic);
  // "Log..." toggles it.
  form.MMViewTraffic->trigger();
  QVERIFY(!form.FormTraffic->isVisible());
  QVERIFY(!form.MMViewTraffic->isChecked());
  form.MMViewTraffic->trigger();
  QVERIFY(form.FormTraffic->isVisible());

  // Disconnect ends the association with a release request first.
  form.MMDoDisconnectClick();
  QCOMPARE(form.StatusConnection->text(), QStringLiteral("Not connected"));
  QCOMPARE(form.windowTitle(), QStringLiteral("quillon"));
  const QStringList log = form.FormTraffic->Lines();
  QVERIFY(std::any_of(log.begin(), log.end(), [](const QString& l) { return l.contains(QLatin1String("ReleaseResponse")); }));

  // The meter hangs up while the window is idle: the status bar follows.
  form.MMDoConnectClick();
  QCOMPARE(form.StatusConnection->text(), QStringLiteral("Connected"));
  sim.reset();
  form.WatchLink();
  QCOMPARE(form.StatusConnection->text(), QStringLiteral("Not connected"));
  QVERIFY(!form.LinkConnected());
}

void EndToEndTest::writeGoesToTheAttributeReadLast() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
  QStringList asked;
  bool answer = true;
  RecordQuestions(form, asked, answer);
  // Nothing read yet: nothing to write to, and no question.
  QCOMPARE(RunAndCatchMessageBox([&] { form.WriteThisClick(); }),
           QStringLiteral("Read an attribute first: it is the one written"));
  QVERIFY(asked.isEmpty());

  const TInstanceInfo status{1, 0, "0000600A01FF", "Status word", 0};
  form.ReadAttribute(status, 2, "value");
  // A read of another attribute fails: the editor still holds the status
  // word's value, and the write still goes to the status word.
  const QString failed = RunAndCatchMessageBox([&] {
    try {
      form.ReadAttribute(status, 9, "none");
    } catch (const std::exception& e) {
      form.ShowError(e.what());
    }
  });
  QVERIFY2(failed.startsWith(QLatin1String("DataAccessResult \"")), qPrintable(failed));
  QCOMPARE(form.GetAttributeParams.AttributeId, 2);
  form.ResponseEditor->SetText("<Data>\n  <Unsigned Value=\"07\" />\n</Data>");

  // Declined: nothing is sent.
  answer = false;
  QCOMPARE(RunAndCatchMessageBox([&] { form.WriteThisClick(); }), QString());
  QCOMPARE(asked, QStringList{"Write attribute 2 (value) of 0.0.96.10.1.255 Status word, class 1?\n\n"
                              "<Data>\n  <Unsigned Value=\"07\" />\n</Data>\n\nValue: 7"});
  form.ReadAttribute(status, 2, "value");
  QCOMPARE(form.ResponseEditor->Text().simplified(), QStringLiteral("<Data> <Unsigned Value=\"00\" /> </Data>"));

  // Confirmed: written to attribute 2, said in the status bar, and read back.
  answer = true;
  form.ResponseEditor->SetText("<Data><Unsigned Value=\"07\" /></Data>");
  QCOMPARE(RunAndCatchMessageBox([&] { form.WriteThisClick(); }), QString());
  QCOMPARE(form.Outcome(), QStringLiteral("Written: 0.0.96.10.1.255 Status word, value = 7"));
  QCOMPARE(form.ResponseEditor->Text().simplified(), QStringLiteral("<Data> <Unsigned Value=\"07\" /> </Data>"));
  QVERIFY(form.FormTraffic->Lines().contains(QStringLiteral("READING value (Status word)")));
}

void EndToEndTest::methodInvocationAsksFirst() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
  QStringList asked;
  bool answer = false;
  RecordQuestions(form, asked, answer);
  const TInstanceInfo tariff1{3, 0, "0100010801FF", "Active energy import (+A), tariff 1", 0};
  form.ResponseEditor->SetText("<Data><Integer Value=\"00\" /></Data>");
  form.InvokeMethodOn(tariff1, 1);
  QCOMPARE(asked, QStringList{"Invoke method 1 of 1.0.1.8.1.255 Active energy import (+A), tariff 1, class 3 "
                              "with parameters?\n\n<Integer Value=\"00\" />"});
  form.ReadAttribute(tariff1, 2, "value");
  QCOMPARE(form.ResponseEditor->Text().simplified(),
           QStringLiteral("<Data> <DoubleLongUnsigned Value=\"000C3500\" /> </Data>"));
  // Confirmed: the register is reset.
  answer = true;
  form.ResponseEditor->SetText("<Data><Integer Value=\"00\" /></Data>");
  QCOMPARE(RunAndCatchMessageBox([&] { form.InvokeMethodOn(tariff1, 1); }), QString());
  QCOMPARE(form.Outcome(), QStringLiteral("Invoked: 1.0.1.8.1.255 Active energy import (+A), tariff 1, method 1"));
  form.ReadAttribute(tariff1, 2, "value");
  QCOMPARE(form.ResponseEditor->Text().simplified(),
           QStringLiteral("<Data> <DoubleLongUnsigned Value=\"00000000\" /> </Data>"));
  QCOMPARE(TFormMain::InvokeQuestion(tariff1, 1, "  "),
           QStringLiteral("Invoke method 1 of 1.0.1.8.1.255 Active energy import (+A), tariff 1, class 3 "
                          "without parameters?"));
}

void EndToEndTest::profileByDateAndByEntries() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
  form.MMDoConnectClick();
  std::unique_ptr<TProfileView> view(form.CreateProfileView({7, 1, "0100630100FF", "Load profile 1", 0}));
  // The view reads through the window's association, which stays open.
  QVERIFY(form.LinkConnected());
  // The default range: the last 24 hours.
  QCOMPARE(view->From->dateTime().secsTo(view->To->dateTime()), 24 * 3600);

  // Two hours of a past day: the simulator keeps an entry every 15 minutes.
  const QDateTime from(QDate::currentDate().addDays(-2), QTime(0, 0), Qt::UTC);
  view->From->setDateTime(from);
  view->To->setDateTime(from.addSecs(2 * 3600));
  // The status bar follows the view's session while it works.
  QStringList status;
  connect(view.get(), &TProfileView::Working, &form,
          [&] { if (status.isEmpty() || status.last() != form.StatusConnection->text()) status << form.StatusConnection->text(); });
  QCOMPARE(RunAndCatchMessageBox([&] { view->Read(); }), QString());
  QVERIFY2(status.size() >= 3, qPrintable(status.join(" | ")));
  QCOMPARE(status.first(), QStringLiteral("Profile view: reading 1.0.99.1.0.255"));
  QVERIFY2(status[1].startsWith("Profile view: reading 1.0.99.1.0.255 ("), qPrintable(status[1]));
  QCOMPARE(status.last(), QStringLiteral("Connected"));
  QVERIFY(form.LinkConnected());
  QCOMPARE(form.windowTitle(), QStringLiteral("quillon [127.0.0.1:%1, connected]").arg(sim.Port()));
  // Once the meter has sent everything, the entries decoded so far.
  const auto decodingAt = [&status](const QString& note) {
    for (qsizetype i = 0; i < status.size(); ++i)
      if (status[i].startsWith("Profile view: reading 1.0.99.1.0.255 (") && status[i].endsWith(note)) return i;
    return qsizetype{-1};
  };
  QVERIFY2(decodingAt(", decoding: 0 entries)") > 0, qPrintable(status.join(" | ")));
  QVERIFY2(decodingAt(", decoding: 9 entries)") > decodingAt(", decoding: 0 entries)"), qPrintable(status.join(" | ")));
  QCOMPARE(view->ProgressText->text(), QStringLiteral("9 entries"));
  const client::TProfileTable& t = view->Table();
  QCOMPARE(t.Columns.size(), size_t{6});
  QCOMPARE(t.Rows.size(), size_t{9});
  QCOMPARE(ProfileClockColumn(t), 0);
  for (size_t r = 0; r < t.Rows.size(); ++r) {
    const auto stamp = client::DecodeDateTime(t.Rows[r][0].Bytes);
    QVERIFY(stamp.has_value());
    QCOMPARE(client::DateTimeToUnix(*stamp).value_or(0), from.toSecsSinceEpoch() + static_cast<int64_t>(900 * r));
    // The energy register only rises.
    if (r > 0) QVERIFY(*t.Rows[r][2].Number() >= *t.Rows[r - 1][2].Number());
  }
  const QAbstractItemModel& shown = *view->TableView->model();
  QCOMPARE(shown.rowCount(), 9);
  QCOMPARE(shown.headerData(2, Qt::Horizontal).toString(),
           QStringLiteral("Active energy import (+A), total\n1.0.1.8.0.255 [Wh]"));
  QCOMPARE(shown.index(0, 2).data().toString(), ProfileCellText(t.Columns[2], t.Rows[0][2]));
  QCOMPARE(shown.index(8, 0).data().toString(), QString::fromStdString(client::ValueToText(t.Rows[8][0])));
  QCOMPARE(shown.index(0, 2).data(Qt::TextAlignmentRole).value<Qt::Alignment>(), Qt::AlignRight | Qt::AlignVCenter);
  // The chart draws the first column with a unit against the clock, in a
  // turn of the loop after the table.
  QCOMPARE(view->ChartedColumns(), (std::vector<int>{2}));
  QCoreApplication::processEvents();
  // Its axis reads in the prefix the energy needs, the unit in the title.
  QCOMPARE(view->ValueAxisTitles(), QStringList{ChartAxisScale(0, *t.Rows.back()[2].Number(), "Wh").Unit});
  QVERIFY(view->ValueAxisTitles().first() != QLatin1String("Wh"));
  QCOMPARE(ProfileNumericColumns(t), (std::vector<int>{1, 2, 3, 4, 5}));

  // CSV: a header row, then one row per entry, CR LF, quoted where needed.
  view->ExportCsv(fx.Path("profile.csv"));
  QFile csv(fx.Path("profile.csv"));
  QVERIFY(csv.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = csv.readAll().split('\n');
  QCOMPARE(lines.size(), 1 + 9 + 1);
  QVERIFY(lines.last().isEmpty());
  QVERIFY(lines[0].endsWith('\r'));
  // Headings hold commas, so they are quoted.
  QVERIFY2(lines[0].contains(",\"Active energy import (+A), total [1.0.1.8.0.255/2, Wh]\","), lines[0].constData());
  const QList<QByteArray> first = lines[1].chopped(1).split(',');
  QCOMPARE(first.size(), 6);
  QCOMPARE(QString::fromUtf8(first[2]), ProfileCellText(t.Columns[2], t.Rows[0][2]));

  // By entries: the first three.
  view->ByEntries->setChecked(true);
  view->FirstEntry->setValue(1);
  view->LastEntry->setValue(3);
  QCOMPARE(RunAndCatchMessageBox([&] { view->Read(); }), QString());
  QCOMPARE(view->Table().Rows.size(), size_t{3});

  // The whole profile (5000 entries): decoding is reported every thousand
  // entries; table and CSV keep every entry, the chart draws a thinned line.
  view->LastEntry->setValue(0);
  status.clear();
  QCOMPARE(RunAndCatchMessageBox([&] { view->Read(); }), QString());
  QStringList notes;
  for (const QString& line : status) {
    const qsizetype at = line.indexOf(", decoding: ");
    if (at >= 0) notes << line.mid(at + 12).chopped(1);
  }
  QCOMPARE(notes, (QStringList{"0 entries", "1000 entries", "2000 entries", "3000 entries", "4000 entries",
                               "5000 entries"}));
  QCOMPARE(view->Table().Rows.size(), size_t{5000});
  QCOMPARE(view->TableView->model()->rowCount(), 5000);
  view->ExportCsv(fx.Path("whole.csv"));
  QFile whole(fx.Path("whole.csv"));
  QVERIFY(whole.open(QIODevice::ReadOnly));
  QCOMPARE(whole.readAll().count("\r\n"), 1 + 5000);
  QCoreApplication::processEvents();
  const QList<QAbstractSeries*> series = view->Chart->chart()->series();
  QCOMPARE(series.size(), 1);
  const auto* line = qobject_cast<QLineSeries*>(series.first());
  QVERIFY(line);
  QVERIFY2(line->count() > 1000 && line->count() <= static_cast<int>(kChartPointsShown), qPrintable(QString::number(line->count())));
  // The last entry is drawn, at its clock time.
  const auto last = client::DecodeDateTime(view->Table().Rows.back()[0].Bytes);
  QVERIFY(last.has_value());
  QCOMPARE(line->at(line->count() - 1).x(), 1000.0 * static_cast<double>(client::DateTimeToUnix(*last).value_or(0)));
}

void EndToEndTest::cipheredGmacAssociation() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  form.Confirm = [](const QString&) { return true; };
  UseCipheredGmac(form, sim.Port());
  const TInstanceInfo energy{3, 0, "0100010800FF", "Active energy import (+A), total", 0};
  QCOMPARE(RunAndCatchMessageBox([&] { form.ReadAttribute(energy, 2, "value"); }), QString());
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("1234567 Wh"));
  // A ciphered write and read back.
  const TInstanceInfo status{1, 0, "0000600A01FF", "Status word", 0};
  form.ReadAttribute(status, 2, "value");
  form.ResponseEditor->SetText("<Data><Unsigned Value=\"05\" /></Data>");
  QCOMPARE(RunAndCatchMessageBox([&] { form.WriteThisClick(); }), QString());
  form.ReadAttribute(status, 2, "value");
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("5"));
  const QStringList log = form.FormTraffic->Lines();
  QVERIFY(std::any_of(log.begin(), log.end(), [](const QString& l) { return l.contains(QLatin1String("DECIPHERED")); }));
  form.MMDoDisconnectClick();
  QVERIFY(!form.LinkConnected());
}

// The simulator remembers each client's last invocation counter across
// connections and refuses one that does not rise, as a meter does: a window
// opened later (a restarted program) goes on from the counter kept in the
// data folder, through the profile view's session and the window's own.
void EndToEndTest::invocationCounterGoesOnInTheNextWindow() {
  TSettingsFixture fx;
  TSimulator sim;
  const QString counters = fx.Path("data") + "/quillon/invocation-counters.ini";
  const TInstanceInfo energy{3, 0, "0100010800FF", "Active energy import (+A), total", 0};
  client::TMeterProfile meter;
  {
    TFormMain form;
    UseCipheredGmac(form, sim.Port());
    meter = form.CurrentMeterProfile();
    QCOMPARE(RunAndCatchMessageBox([&] { form.ReadAttribute(energy, 2, "value"); }), QString());
    QCOMPARE(form.ValueView->TopText(), QStringLiteral("1234567 Wh"));
    form.MMDoDisconnectClick();
    QVERIFY(!form.LinkConnected());
  }
  QVERIFY(QFile::exists(counters));
  const uint32_t seen = sim.Assoc->LastInvocationCounter();
  QVERIFY(seen > 1);
  // Above the last counter the meter took.
  QVERIFY(client::TInvocationCounterFile().Next(meter) > seen);

  TFormMain form;
  UseCipheredGmac(form, sim.Port());
  // The profile view's own session first: the window has not associated yet.
  std::unique_ptr<TProfileView> view(form.CreateProfileView({7, 1, "0100630100FF", "Load profile 1", 0}));
  const QDateTime from(QDate::currentDate().addDays(-2), QTime(0, 0), Qt::UTC);
  view->From->setDateTime(from);
  view->To->setDateTime(from.addSecs(3600));
  QCOMPARE(RunAndCatchMessageBox([&] { view->Read(); }), QString());
  QCOMPARE(view->ProgressText->text(), QStringLiteral("5 entries"));
  const uint32_t afterView = sim.Assoc->LastInvocationCounter();
  QVERIFY(afterView > seen);
  QVERIFY(client::TInvocationCounterFile().Next(meter) > afterView);
  // Then the window's link, from where the view left the count.
  QCOMPARE(RunAndCatchMessageBox([&] { form.ReadAttribute(energy, 2, "value"); }), QString());
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("1234567 Wh"));
  form.MMDoDisconnectClick();
  QVERIFY(sim.Assoc->LastInvocationCounter() > afterView);
  QVERIFY(client::TInvocationCounterFile().Next(meter) > sim.Assoc->LastInvocationCounter());
}

void EndToEndTest::meterSystemTitleOfferedAfterGmacAssociation() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  // Client 20: logical names, HLS GMAC; the settings name another meter's title.
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 20, 2);
  TFormSettings& s = *form.FormSettings;
  UseSimulatorKeys(s, QStringLiteral("5153494D000000FF"));
  QVERIFY(form.UseMeterSystemTitle->isHidden());
  // The engine's text first, then the diagnosis.
  const QString refused = RunAndCatchMessageBox([&] { form.MMDoConnectClick(); });
  QCOMPARE(refused.section(QStringLiteral("\n\n"), 0, 0),
           QStringLiteral("The received system-title does not match the declared value"));
  QVERIFY(refused.contains(QStringLiteral(
      "What happened: The meter's system title 5153494D00000001 is not the one configured (5153494D000000FF)")));
  // The fix names the setting and the button, as the window has them.
  QVERIFY2(refused.endsWith(QStringLiteral(
               "\nFix: if this is the meter you meant, put 5153494D00000001 in \"Meter system title\" (Show → "
               "Settings...), or take it with the \"Use the meter's system title\" button the status bar offers")),
           qPrintable(refused));
  QVERIFY(!form.LinkConnected());
  // The title the meter announced is offered, not put in.
  QCOMPARE(s.EDITServerSystemTitle->text(), QStringLiteral("5153494D000000FF"));
  QVERIFY(!form.UseMeterSystemTitle->isHidden());
  QCOMPARE(form.UseMeterSystemTitle->text(), QStringLiteral("Use the meter's system title 5153494D00000001"));
  QCOMPARE(s.BTNUseMeterSystemTitle->text(), form.UseMeterSystemTitle->text());

  // Taken: the settings hold it (the program's file as well) and the
  // association succeeds; there is nothing more to offer.
  form.UseMeterSystemTitle->click();
  QCOMPARE(s.EDITServerSystemTitle->text(), QStringLiteral("5153494D00000001"));
  QCOMPARE(fx.Settings().Ini().ReadString("FormSettings", "EDITServerSystemTitle"), QStringLiteral("5153494D00000001"));
  QVERIFY(form.UseMeterSystemTitle->isHidden());
  const TInstanceInfo energy{3, 0, "0100010800FF", "Active energy import (+A), total", 0};
  QCOMPARE(RunAndCatchMessageBox([&] { form.ReadAttribute(energy, 2, "value"); }), QString());
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("1234567 Wh"));
  QVERIFY(form.UseMeterSystemTitle->isHidden());
  QVERIFY(s.BTNUseMeterSystemTitle->isHidden());
}

void EndToEndTest::ecdsaWithKeyFiles() {
  TSettingsFixture fx;
  TKeyPair client, server, other;
  QVERIFY(GenerateKeyPair(1, client) && GenerateKeyPair(1, server) && GenerateKeyPair(1, other));
  QTemporaryDir dir;
  const std::string clientPem = dir.filePath("client.pem").toStdString();
  const std::string serverPem = dir.filePath("server.pem").toStdString();
  const std::string otherPem = dir.filePath("other.pem").toStdString();
  QVERIFY(WritePem(clientPem, 1, client, TPem::pPrivate));
  QVERIFY(WritePem(serverPem, 1, server, TPem::pPublic));
  QVERIFY(WritePem(otherPem, 1, other, TPem::pPublic));
  // Client 24 of the simulator: logical names, HLS ECDSA on P-256.
  TSimulator sim(std::nullopt, TSimulator::lTcp,
                 "\nsecurity suite=1 sign-private=" + TMisc::ByteStrToHexStr(server.PrivateKey) +
                     " sign-public=" + TMisc::ByteStrToHexStr(server.PublicKey) +
                     " client-sign-public=" + TMisc::ByteStrToHexStr(client.PublicKey) + "\nclient 24 LN 8\n");
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 24, 6);
  TFormSettings& s = *form.FormSettings;
  UseSimulatorKeys(s);
  s.EDITClientSigningKeyFile->setText(QString::fromStdString(clientPem));
  s.EDITServerSigningKeyFile->setText(QString::fromStdString(otherPem));
  // Another meter's key: the meter's signature does not verify.
  const QString refused = RunAndCatchMessageBox([&] { form.MMDoConnectClick(); });
  QCOMPARE(refused.section(QStringLiteral("\n\n"), 0, 0), QStringLiteral("Illegal response to challenge"));
  QVERIFY(!form.LinkConnected());
  s.EDITServerSigningKeyFile->setText(QString::fromStdString(serverPem));
  const TInstanceInfo energy{3, 0, "0100010800FF", "Active energy import (+A), total", 0};
  QCOMPARE(RunAndCatchMessageBox([&] { form.ReadAttribute(energy, 2, "value"); }), QString());
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("1234567 Wh"));
  form.MMDoDisconnectClick();
  QVERIFY(!form.LinkConnected());
}

void EndToEndTest::hlsMechanismsWithATextSecret_data() {
  QTest::addColumn<int>("client");
  QTest::addColumn<int>("mechanism");  // index of the authentication item
  QTest::addColumn<QString>("secret");  // typed as text
  QTest::addColumn<QString>("expected");  // the value read, or the message
  QTest::newRow("LOW") << 17 << 1 << "12345678" << "1234567 Wh";
  QTest::newRow("MD5") << 18 << 3 << "Quillon-HLS-secret" << "1234567 Wh";
  QTest::newRow("SHA-1") << 19 << 4 << "Quillon-HLS-secret" << "1234567 Wh";
  QTest::newRow("SHA-256") << 21 << 5 << "Quillon-HLS-secret" << "1234567 Wh";
  QTest::newRow("MD5, another secret") << 18 << 3 << "Quillon-HLS-secreT"
                                       << "Unexpected response ReadWriteDenied to method invocation";
}

void EndToEndTest::hlsMechanismsWithATextSecret() {
  QFETCH(int, client);
  QFETCH(int, mechanism);
  QFETCH(QString, secret);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), client, mechanism);
  TFormSettings& s = *form.FormSettings;
  QVERIFY(!s.PasswordAsHex());
  s.PWTextEdit->setText(secret);
  s.EDITServerSystemTitle->setText("5153494D00000001");  // SHA-256 computes with it
  const QString shown = RunAndCatchMessageBox([&] { form.MMDoConnectClick(); });
  if (!expected.endsWith(QLatin1String(" Wh"))) {
    QCOMPARE(shown.section(QStringLiteral("\n\n"), 0, 0), expected);
    QVERIFY(shown.contains(QStringLiteral("What happened: The meter refused our reply to its md5 challenge")));
    QVERIFY(!form.LinkConnected());
    return;
  }
  QCOMPARE(shown, QString());
  form.ReadAttribute({3, 0, "0100010800FF", "Active energy import (+A), total", 0}, 2, "value");
  QCOMPARE(form.ValueView->TopText(), expected);
}

void EndToEndTest::hdlcOverPseudoTerminalByDevicePath() {
  TSettingsFixture fx;
  TSimulator sim(THdlcSettings{}, TSimulator::lPseudoTerminal);
  QVERIFY(!sim.Device().empty());
  TFormMain form;
  TFormSettings& s = *form.FormSettings;
  s.RBSelectHDLCClick();
  s.EDITComPort->setText("1");  // the path wins over the number
  s.EDITDevicePath->setText(QString::fromStdString(sim.Device()));
  s.EDITBaud->setText("9600");
  s.CHKModeE->setChecked(false);
  s.EDITPhysicalAddress->setText("17");
  s.CBReferencingModel->setCurrentIndex(0);
  s.CBAuthMechanism->setCurrentIndex(0);
  s.EDITClientAddress->setText("16");
  s.EDITServerAddress->setText("1");
  s.EDITConnectTimeout->setText("2000");
  s.EDITResponseTimeout->setText("3000");
  const TInstanceInfo energy{3, 0, "0100010800FF", "Active energy import (+A), total", 0};
  QCOMPARE(RunAndCatchMessageBox([&] { form.ReadAttribute(energy, 2, "value"); }), QString());
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("1234567 Wh"));
  QVERIFY(form.LinkConnected());
  QCOMPARE(form.MeterText(), QString::fromStdString(sim.Device()));
  QVERIFY(form.windowTitle().contains(QStringLiteral("[%1, connected]").arg(QString::fromStdString(sim.Device()))));
  // HDLC frames went over the line: the SNRM from client 16 to the
  // two-byte address of logical device 1, physical device 17.
  const QStringList log = form.FormTraffic->Lines();
  QVERIFY(std::any_of(log.begin(), log.end(),
                      [](const QString& l) { return l.endsWith(QLatin1String(" 7EA00802232193BD647E")); }));
  QCOMPARE(RunAndCatchMessageBox([&] { form.MMDoDisconnectClick(); }), QString());
  QVERIFY(!form.LinkConnected());
}

void EndToEndTest::readAllAttributes() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
  auto table = [](const QList<TFormMain::TAttributeRow>& rows) {
    QStringList t;
    for (const auto& r : rows) t << QStringLiteral("%1 %2: %3").arg(r.Id).arg(r.Name, r.Value);
    return t;
  };
  // A register: the value with its scaler and unit.
  QCOMPARE(table(form.ReadAllAttributes({3, 0, "0100010800FF", "energy", 0})),
           (QStringList{"1 logical_name: 1.0.1.8.0.255", "2 value: 1234567 Wh", "3 scaler_unit: {0, Wh (30)}"}));
  // The same line as the value view shows for a single read.
  form.ReadAttribute({3, 0, "0100010800FF", "energy", 0}, 3, "scaler_unit");
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("{0, Wh (30)}"));
  form.ReadAttribute({3, 0, "0100010800FF", "energy", 0}, 1, "logical_name");
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("1.0.1.8.0.255"));
  // An attribute the meter does not give out is a row with its refusal; the
  // link stays up.
  const QList<TFormMain::TAttributeRow> assoc = form.ReadAllAttributes({15, 1, "0000280000FF", "association", 0});
  QCOMPARE(assoc.size(), 9);
  QVERIFY2(assoc[6].Value.startsWith(QLatin1String("DataAccessResult \"")), qPrintable(assoc[6].Value));
  QVERIFY(assoc[6].Xml.isEmpty());
  QVERIFY(form.LinkConnected());
}

void EndToEndTest::failures_data() {
  QTest::addColumn<QString>("kind");
  QTest::addColumn<QString>("expected");  // the message, or its beginning when it ends with "*"
  QTest::newRow("no port") << "noport" << "Server TCP port not specified";
  QTest::newRow("host name") << "hostname" << "Illegal IP address \"localhost:4059\"";
  QTest::newRow("empty password") << "nopw" << "PW missing for low level security";
  QTest::newRow("nobody listening") << "closed" << "*";
  QTest::newRow("silent meter") << "silent" << "*";
  QTest::newRow("wrong password") << "wrongpw" << "*";
  QTest::newRow("attribute the meter refuses") << "refused" << "DataAccessResult \"*";
}

void EndToEndTest::failures() {
  QFETCH(QString, kind);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  const QString good = QStringLiteral("127.0.0.1:%1").arg(sim.Port());
  if (kind == "noport") UseTcp(form, "127.0.0.1", 16, 0);
  if (kind == "hostname") UseTcp(form, "localhost:4059", 16, 0);
  if (kind == "nopw") UseTcp(form, good, 17, 1);
  if (kind == "closed") {
    // A port that was just free: the listener is closed before connecting.
    int port;
    { TSimListener probe("127.0.0.1", 0); port = probe.Port(); }
    UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(port), 16, 0);
  }
  // A peer that takes the connection and never answers.
  TSimListener silent("127.0.0.1", 0);
  std::atomic<bool> stop{false};
  std::thread peer;
  if (kind == "silent") {
    peer = std::thread([&] {
      int fd = -1;
      while (!stop && fd < 0) fd = silent.Accept(50);
      while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (fd >= 0) ::close(fd);
    });
    UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(silent.Port()), 16, 0);
    form.FormSettings->EDITResponseTimeout->setText("300");
  }
  if (kind == "wrongpw") UseTcp(form, good, 17, 1, "3030");
  if (kind == "refused") UseTcp(form, good, 16, 0);

  QString shown;
  if (kind == "refused") {
    form.MMDoConnectClick();
    QVERIFY(form.LinkConnected());
    shown = RunAndCatchMessageBox([&] {
      try {
        form.ReadAttribute({1, 0, "0000600A01FF", "Status word", 0}, 9, "none");
      } catch (const std::exception& e) {
        form.ShowError(e.what());
      }
    });
  } else {
    shown = RunAndCatchMessageBox([&] { form.MMDoConnectClick(); });
  }
  stop = true;
  if (peer.joinable()) peer.join();
  if (expected.endsWith('*')) {
    QVERIFY2(!shown.isEmpty() && shown.startsWith(expected.chopped(1)), qPrintable(shown));
  } else {
    QCOMPARE(shown, expected);
  }
  // Link failures are explained as association failures are: what
  // happened, the likely cause, the fix in the window's words.
  const auto explained = [&shown](const QString& what) {
    return shown.contains(QStringLiteral("\n\nWhat happened: ") + what) && shown.contains(QStringLiteral("\nLikely cause: ")) &&
           shown.contains(QStringLiteral("\nFix: in Show → Settings..., check \"IP and Port\""));
  };
  if (kind == "closed") QVERIFY2(explained(QStringLiteral("Nothing accepts connections at 127.0.0.1:")), qPrintable(shown));
  if (kind == "silent") {
    QVERIFY2(shown.contains(QStringLiteral("\n\nWhat happened: The meter at 127.0.0.1:%1 did not answer within 300 ms\n")
                                .arg(silent.Port())),
             qPrintable(shown));
  }
  // The operator can go on: cursor back, link closed, commands available.
  QVERIFY(QApplication::overrideCursor() == nullptr);
  QVERIFY(!form.LinkConnected());
  QVERIFY(!form.OperationRunning());
  QVERIFY(form.MMDoConnect->isEnabled());
  if (kind == "noport" || kind == "hostname" || kind == "nopw") QCOMPARE(form.FormTraffic->TrafficStats().Sent, 0);
}

// A write the meter refuses (the value of a register is read-only) is a
// failure naming object, attribute and the meter's result, explained; the
// question before it warned, from the object list's access rights.
void EndToEndTest::refusedWriteNamesTargetAndResult() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
  QStringList asked;
  bool answer = true;
  RecordQuestions(form, asked, answer);
  // The object list of the meter gives the access rights.
  form.ReadAttribute({15, 1, "0000280000FF", "Default Association", 0}, 2, "object_list");
  SaveAndLoadObjectList(form, sim, fx.Path("meter.txt"), false);
  const TInstanceInfo energy = form.ObjectAt(RowOf(form, "0100010800FF"));
  QCOMPARE(AttributeAccessMark(energy, 2), QStringLiteral("read-only"));
  form.ReadAttribute(energy, 2, "value");
  form.ResponseEditor->SetText("<Data><DoubleLongUnsigned Value=\"00000001\" /></Data>");
  const QString shown = RunAndCatchMessageBox([&] { form.WriteThisClick(); });
  QCOMPARE(asked.size(), 1);
  QVERIFY2(asked[0].endsWith("\n\nValue: 1 Wh\n\nThe object list marks this attribute read-only: the meter will likely "
                             "refuse the write."),
           qPrintable(asked[0]));
  QVERIFY2(shown.startsWith("The meter refused to write attribute 2 (value) of 1.0.1.8.0.255 Active energy import (+A), "
                            "total, class 3: ReadWriteDenied\n\nWhat happened: The meter does not let client 16 do this\n"
                            "Likely cause: "),
           qPrintable(shown));
  QVERIFY(form.Outcome().isEmpty());
}

// While a connect runs, the status bar says where it is, stage by stage.
void EndToEndTest::connectShowsWhereItIs() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
  const QStringList seen = StatusesDuring(form, [&] { form.MMDoConnectClick(); });
  const QString at = QStringLiteral("Connecting to 127.0.0.1:%1...").arg(sim.Port());
  // The list greys out under a status that says what it waits for.
  QVERIFY2(seen.contains(at) || seen.contains(at + " (link)"), qPrintable(seen.join(" | ")));
  for (const QString& t : seen)
    QVERIFY2(t == at || t == at + " (link)" || t == at + " (association)" || t == "Not connected", qPrintable(t));
  QCOMPARE(form.StatusConnection->text(), QStringLiteral("Connected"));
}

// A profile view without the window's association reads through a session
// of its own, whose lines reach the log window marked as the view's.
void EndToEndTest::profileViewOfItsOwnIsInTheLog() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
  form.FormTraffic->show();
  std::unique_ptr<TProfileView> view(form.CreateProfileView({7, 1, "0100630100FF", "Load profile 1", 0}));
  view->ByEntries->setChecked(true);
  view->FirstEntry->setValue(1);
  view->LastEntry->setValue(4);
  QCOMPARE(RunAndCatchMessageBox([&] { view->Read(); }), QString());
  QCOMPARE(view->Table().Rows.size(), size_t{4});
  form.FormTraffic->Flush();
  const QStringList log = form.FormTraffic->Lines();
  const auto any = [&log](const QString& piece) {
    return std::any_of(log.begin(), log.end(), [&](const QString& l) { return l.contains(piece); });
  };
  QVERIFY2(any(QStringLiteral("Profile:TCP")), qPrintable(log.join('\n')));
  QVERIFY2(any(QStringLiteral("[Profile] ")), qPrintable(log.join('\n')));
  QVERIFY(!form.LinkConnected());
}

// "Wait for the meter to call in": Connect listens, the status bar says so
// and then who called, and the window reads through the call.
void EndToEndTest::meterThatCallsIn() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
  int port;
  { TSimListener probe("127.0.0.1", 0); port = probe.Port(); }
  form.FormSettings->CHKCallIn->setChecked(true);
  form.FormSettings->EDITCallInPort->setText(QString::number(port));
  QVERIFY(!form.FormSettings->EDITServerIP->isEnabled());
  // The meter calls once the window listens, and serves the call.
  std::atomic<bool> stop{false};
  std::thread meter([&] {
    while (!stop) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        TSimLink link(fd);
        try {
          ServeWrapper(link, *sim.Assoc, stop, nullptr);
        } catch (const std::exception&) {
        }
        return;
      }
      ::close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  struct TJoin {
    std::atomic<bool>& Stop;
    std::thread& Meter;
    ~TJoin() {
      Stop = true;
      if (Meter.joinable()) Meter.join();
    }
  } join{stop, meter};
  QCOMPARE(RunAndCatchMessageBox([&] { form.MMDoConnectClick(); }), QString());
  // What the status bar said while it waited, and who called, is in the log.
  form.FormTraffic->Flush();
  const QStringList log = form.FormTraffic->Lines();
  QVERIFY2(log.contains(QStringLiteral("Waiting for a meter on port %1...").arg(port)), qPrintable(log.join('\n')));
  QVERIFY2(std::any_of(log.begin(), log.end(), [](const QString& l) { return l.startsWith("Meter connected from 127.0.0.1:"); }),
           qPrintable(log.join('\n')));
  QCOMPARE(form.StatusConnection->text(), QStringLiteral("Connected"));
  QVERIFY2(form.windowTitle().contains(QLatin1String("[meter from 127.0.0.1:")), qPrintable(form.windowTitle()));
  form.ReadAttribute({3, 0, "0100010800FF", "energy", 0}, 2, "value");
  QCOMPARE(form.ValueView->TopText(), QStringLiteral("1234567 Wh"));
  form.MMDoDisconnectClick();
}

QTEST_MAIN(EndToEndTest)
// A meter that answers the object list in data blocks it did not grant:
// read by default, the log window saying so once; with the settings'
// "Strict" box ticked (saved and loaded with the settings) the read fails,
// explained in the window's words, and the quirk still makes it work.
void EndToEndTest::strictRefusesWhatIsToleratedByDefault() {
  TSettingsFixture fx;
  TSimulator sim;
  TSimMisbehaviour odd;
  odd.BlocksWithoutBit = true;
  sim.Assoc->SetMisbehaviour(odd);
  const TInstanceInfo list{15, 1, "0000280000FF", "Default Association", 0};
  const QString note = QStringLiteral(
      "quirk blocks-without-bit: the meter answers in data blocks without granting block transfer in its "
      "conformance; tolerated (strict refuses it)");
  {
    TFormMain form;
    UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
    QVERIFY(!form.FormSettings->Quirks->Strict()->isChecked());
    QCOMPARE(RunAndCatchMessageBox([&] { form.ReadAttribute(list, 2, "object_list"); }), QString());
    QVERIFY(form.ResponseEditor->Text().startsWith(QLatin1String("<Data>")));
    QCOMPARE(form.FormTraffic->Lines().count(note), 1);
    form.MMDoDisconnectClick();
  }
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(sim.Port()), 16, 0);
  form.FormSettings->Quirks->Strict()->setChecked(true);
  const QString file = fx.Path("strict.txt");
  form.FormSettings->SaveLoadSettings(true, file);
  QCOMPARE(TIniFile(file).ReadString("FormSettings", "CHKStrict"), QStringLiteral("1"));
  form.FormSettings->Quirks->Strict()->setChecked(false);
  form.FormSettings->SaveLoadSettings(false, file);
  QVERIFY(form.FormSettings->Quirks->Strict()->isChecked());

  const QString shown = RunAndCatchMessageBox([&] {
    try {
      form.ReadAttribute(list, 2, "object_list");
    } catch (const std::exception& e) {
      form.ShowError(e.what());
    }
  });
  QVERIFY2(shown.startsWith(QLatin1String("General-block-transfer received when not allowed by the conformance block\n\n"
                                          "What happened: The meter answers in data blocks without granting block "
                                          "transfer in its conformance\n")),
           qPrintable(shown));
  QVERIFY2(shown.endsWith(QString::fromUtf8("\nFix: in Show → Settings..., untick \"Strict: refuse meters' deviations\" or "
                                        "tick \"blocks-without-bit\" under \"Meter quirks\"")),
           qPrintable(shown));
  QVERIFY(!form.FormTraffic->Lines().contains(note));

  // Strict, with the quirk ticked: read, and said as the quirk's doing.
  if (form.LinkConnected()) form.MMDoDisconnectClick();
  form.FormSettings->findChild<QCheckBox*>(QStringLiteral("QuirkCheck-blocks-without-bit"))->setChecked(true);
  QCOMPARE(RunAndCatchMessageBox([&] { form.ReadAttribute(list, 2, "object_list"); }), QString());
  QCOMPARE(form.FormTraffic->Lines().count(QStringLiteral("quirk blocks-without-bit: the meter answers in data blocks "
                                                          "without granting block transfer in its conformance; "
                                                          "tolerated as its quirks ask")),
           1);
}

#include "EndToEndTest.moc"
