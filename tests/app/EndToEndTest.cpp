// The application against the project's meter simulator over loopback TCP:
// connect, read the object list, read an attribute, write it back, and the
// ways an operation fails.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTableWidget>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "AppTestSupport.h"
#include "app/EditorPane.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "tools/meter-sim/SimTransport.h"
#include "xmlpdu/infra/Misc.h"

#include <sys/socket.h>
#include <unistd.h>

using namespace quillon;
using namespace quillon::sim;
using namespace quillon::test;

namespace {

// The simulator serving the DLMS wrapper on a loopback port of its own.
class TSimulator {
public:
  TSimulator() {
    const std::string path = std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt";
    std::ifstream f(path);
    const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    Model.Load(text);
    Assoc = std::make_unique<TSimAssociation>(Model, TSimSecurity{});
    Assoc->Configure(text);
    Listener = std::make_unique<TSimListener>("127.0.0.1", 0);
    Server = std::thread([this] {
      while (!Stop) {
        const int fd = Listener->Accept(50);
        if (fd < 0) continue;
        TSimLink link(fd);
        try {
          ServeWrapper(link, *Assoc, Stop, nullptr);
        } catch (const std::exception&) {
          // the client went away; wait for the next one
        }
        Assoc->Reset();
      }
    });
  }
  ~TSimulator() {
    Stop = true;
    Server.join();
  }
  int Port() const { return Listener->Port(); }

  TSimModel Model;
  std::unique_ptr<TSimAssociation> Assoc;
  std::unique_ptr<TSimListener> Listener;
  std::atomic<bool> Stop{false};
  std::thread Server;
};

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
  void failures_data();
  void failures();
};

void EndToEndTest::readObjectListReadAndWriteBack() {
  TSettingsFixture fx;
  TSimulator sim;
  TFormMain form;
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
  QTest::addColumn<bool>("silent");
  QTest::newRow("answer trickling in") << false;
  QTest::newRow("peer silent") << true;
}

void EndToEndTest::cancelEndsAnEndlessAnswer() {
  QFETCH(bool, silent);
  TSettingsFixture fx;
  // A peer that announces a long wrapper frame and then trickles its bytes
  // for as long as the client listens, or one that never says a word.
  TSimListener listener("127.0.0.1", 0);
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    int fd = -1;
    while (!stop && fd < 0) fd = listener.Accept(50);
    if (fd < 0) return;
    const char header[] = {0, 1, 0, 1, 0, 16, '\xFF', '\xFF'};
    bool open = silent || ::send(fd, header, sizeof header, MSG_NOSIGNAL) == sizeof header;
    while (!stop && open) {
      if (!silent) open = ::send(fd, "", 1, MSG_NOSIGNAL) == 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
  });
  TFormMain form;
  UseTcp(form, QStringLiteral("127.0.0.1:%1").arg(listener.Port()), 16, 0);
  form.FormSettings->EDITResponseTimeout->setText("60000");
  // The operator presses Cancel once while the operation runs (the command
  // is only available then).
  QTimer cancel;
  QObject::connect(&cancel, &QTimer::timeout, [&] {
    if (!form.MMDoCancel->isEnabled()) return;
    form.MMDoCancel->trigger();
    cancel.stop();
  });
  cancel.start(1);
  const QString shown = RunAndCatchMessageBox([&] { form.MMDoConnectClick(); });
  cancel.stop();
  stop = true;
  peer.join();
  QCOMPARE(shown, QStringLiteral("USER ABORT"));
  QVERIFY(!form.LinkConnected());
  QVERIFY(QApplication::overrideCursor() == nullptr);
}

void EndToEndTest::failures_data() {
  QTest::addColumn<QString>("kind");
  QTest::addColumn<QString>("expected");  // the message, or its beginning when it ends with "*"
  QTest::newRow("no port") << "noport" << "Server TCP port not specified";
  QTest::newRow("host name") << "hostname" << "Illegal IP address \"localhost:4059\"";
  QTest::newRow("empty password") << "nopw" << "PW missing for low level security";
  QTest::newRow("nobody listening") << "closed" << "*";
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
  if (expected.endsWith('*')) {
    QVERIFY2(!shown.isEmpty() && shown.startsWith(expected.chopped(1)), qPrintable(shown));
  } else {
    QCOMPARE(shown, expected);
  }
  // The operator can go on: cursor back, link closed, commands available.
  QVERIFY(QApplication::overrideCursor() == nullptr);
  QVERIFY(!form.LinkConnected());
  QVERIFY(!form.OperationRunning());
  QVERIFY(form.MMDoConnect->isEnabled());
  if (kind == "noport" || kind == "hostname" || kind == "nopw") QCOMPARE(form.FormTraffic->TrafficStats().Sent, 0);
}

QTEST_MAIN(EndToEndTest)
#include "EndToEndTest.moc"
