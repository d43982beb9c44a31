// The save commands of the windows: the profile view's Export CSV, the log's
// Save to... and Read object-list's save: what the dialog offers (filter,
// proposed name, starting folder) and how the save is confirmed.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>

#include "AppTestSupport.h"
#include "SimFixture.h"
#include "app/FileDialogs.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/ProfileView.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// What a file dialog was asked, and the operator's answer to it.
struct TDialogScript {
  QString Answer;
  struct TAsked {
    QString Caption, Start, Filter;
  };
  QList<TAsked> Asked;
  TDialogScript() {
    SetFilterFileDialogHook([this](TFileDialogKind, const QString& caption, const QString& start, const QString& filter) {
      Asked << TAsked{caption, start, filter};
      return Answer;
    });
  }
  ~TDialogScript() { SetFilterFileDialogHook(nullptr); }
};

QByteArray FileText(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

client::TProfileTable TwoEntries() {
  client::TProfileTable t;
  client::TProfileColumn c;
  c.ClassId = 3;
  c.Name = {1, 0, 1, 8, 0, 255};
  c.Attribute = 2;
  t.Columns.push_back(c);
  for (uint64_t v : {5, 6}) {
    client::TValue value;
    value.Kind = client::TValueKind::vkUnsigned;
    value.Type = "LongUnsigned";
    value.Unsigned = v;
    t.Rows.push_back({value});
  }
  return t;
}

QString Today() { return QDate::currentDate().toString(Qt::ISODate); }

}  // namespace

class FileCommandsTest : public QObject {
  Q_OBJECT
private slots:
  void exportFileName_data();
  void exportFileName();
  void saveDialogStart_data();
  void saveDialogStart();
  void countText_data();
  void countText();
  void profileExport_data();
  void profileExport();
  void logSave();
  void objectListSave();
};

void FileCommandsTest::exportFileName_data() {
  QTest::addColumn<QString>("meter");
  QTest::addColumn<QString>("expected");
  QTest::newRow("named meter") << "sim-0001" << "sim-0001 1.0.99.1.0.255 2026-12-10.csv";
  QTest::newRow("host and port") << "127.0.0.1:4070" << "127.0.0.1-4070 1.0.99.1.0.255 2026-12-10.csv";
  QTest::newRow("IPv6") << "[::1]:4059" << "[--1]-4059 1.0.99.1.0.255 2026-12-10.csv";
  QTest::newRow("serial device") << "/dev/ttyUSB0" << "-dev-ttyUSB0 1.0.99.1.0.255 2026-12-10.csv";
  QTest::newRow("characters shares refuse") << " a*b?c\"d<e>f|g\\h " << "a-b-c-d-e-f-g-h 1.0.99.1.0.255 2026-12-10.csv";
}

void FileCommandsTest::exportFileName() {
  QFETCH(QString, meter);
  QFETCH(QString, expected);
  QCOMPARE(ExportFileName(meter, "1.0.99.1.0.255", QDate(2026, 12, 10), ".csv"), expected);
}

void FileCommandsTest::saveDialogStart_data() {
  QTest::addColumn<QString>("last");      // relative to a temporary folder; "-" none
  QTest::addColumn<QString>("fallback");  // relative; empty: none
  QTest::addColumn<QString>("expected");  // relative; "~" the home folder
  QTest::newRow("first time: home") << "-" << "" << "~/x.csv";
  QTest::newRow("last folder") << "exports/old name.csv" << "" << "exports/x.csv";
  QTest::newRow("last folder gone: home") << "gone/old.csv" << "" << "~/x.csv";
  QTest::newRow("fallback folder") << "-" << "data" << "data/x.csv";
  QTest::newRow("last folder before the fallback") << "exports/a.csv" << "data" << "exports/x.csv";
}

void FileCommandsTest::saveDialogStart() {
  QFETCH(QString, last);
  QFETCH(QString, fallback);
  QFETCH(QString, expected);
  QTemporaryDir dir;
  QVERIFY(QDir(dir.path()).mkpath("exports"));
  const auto at = [&](const QString& rel) {
    if (rel.startsWith('~')) return QDir::homePath() + rel.mid(1);
    return rel.isEmpty() ? QString() : dir.filePath(rel);
  };
  QCOMPARE(SaveDialogStart(last == "-" ? QString() : at(last), "x.csv", at(fallback)), at(expected));
}

void FileCommandsTest::countText_data() {
  QTest::addColumn<qint64>("count");
  QTest::addColumn<QString>("expected");
  QTest::newRow("none") << qint64(0) << "0 rows";
  QTest::newRow("one") << qint64(1) << "1 row";
  QTest::newRow("several") << qint64(96) << "96 rows";
}

void FileCommandsTest::countText() {
  QFETCH(qint64, count);
  QFETCH(QString, expected);
  QCOMPARE(CountText(count, "row", "rows"), expected);
}

void FileCommandsTest::profileExport_data() {
  QTest::addColumn<QString>("name");    // the meter's name; empty: unnamed
  QTest::addColumn<QString>("meter");   // as the proposed file name shows it
  QTest::newRow("named meter") << "sim-0001" << "sim-0001";
  QTest::newRow("unnamed meter") << "" << "127.0.0.1-4070";
}

// The first export proposes the home folder, never the settings folder; the
// next one the folder exported to last. A name typed without ".csv" gets it.
void FileCommandsTest::profileExport() {
  QFETCH(QString, name);
  QFETCH(QString, meter);
  TSettingsFixture fx;
  TDialogScript dialog;
  QMainWindow main;
  client::TMeterProfile profile;
  profile.Name = name.toStdString();
  profile.Host = "127.0.0.1";
  profile.Port = 4070;
  client::TObjectRef ref;
  ref.ClassId = 7;
  ref.Name = {1, 0, 99, 1, 0, 255};
  ref.Member = 2;
  auto* view = new TProfileView(profile, ref, "load profile", &main);
  view->ShowTable(TwoEntries());
  const QString proposed = QStringLiteral("%1 1.0.99.1.0.255 %2.csv").arg(meter, Today());

  QVERIFY(QDir().mkpath(fx.Path("exports")));
  dialog.Answer = fx.Path("exports/load");
  view->ExportButton->click();
  QCOMPARE(dialog.Asked.size(), 1);
  QCOMPARE(dialog.Asked[0].Caption, QStringLiteral("Export profile"));
  QCOMPARE(dialog.Asked[0].Filter, QStringLiteral("CSV files (*.csv);;All files (*)"));
  QCOMPARE(dialog.Asked[0].Start, QDir(QDir::homePath()).filePath(proposed));
  QVERIFY(!dialog.Asked[0].Start.startsWith(fx.Settings().Folder()));
  const QString saved = fx.Path("exports/load.csv");
  QCOMPARE(FileText(saved), QByteArray::fromStdString(client::ProfileCsv(view->Table())));
  const QString confirmed = QStringLiteral("Exported 2 rows to %1").arg(saved);
  QCOMPARE(view->ProgressText->text(), confirmed);
  QCOMPARE(main.statusBar()->currentMessage(), confirmed);

  // Cancelled: nothing written, nothing claimed.
  view->ProgressText->clear();
  dialog.Answer.clear();
  view->ExportButton->click();
  QCOMPARE(dialog.Asked.size(), 2);
  QCOMPARE(dialog.Asked[1].Start, fx.Path("exports/") + proposed);
  QCOMPARE(view->ProgressText->text(), QString());
}

// The log's Save to...: text files, the lines counted.
void FileCommandsTest::logSave() {
  TSettingsFixture fx;
  TDialogScript dialog;
  QMainWindow main;
  auto* log = new TFormTraffic(&main);
  for (const char* line : {"one", "two", "three"}) log->Info(line, "");
  dialog.Answer = fx.Path("session");
  log->PMSaveToClick();
  QCOMPARE(dialog.Asked.size(), 1);
  QCOMPARE(dialog.Asked[0].Filter, QStringLiteral("Text files (*.txt);;All files (*)"));
  QCOMPARE(dialog.Asked[0].Start, QDir(QDir::homePath()).filePath(QStringLiteral("quillon-log %1.txt").arg(Today())));
  QCOMPARE(FileText(fx.Path("session.txt")), QByteArray("one\ntwo\nthree\n"));
  QCOMPARE(main.statusBar()->currentMessage(), QStringLiteral("Saved 3 log lines to %1").arg(fx.Path("session.txt")));
}

// Read object-list against the simulator: saved where the operator chose,
// loaded, and the status bar says how many objects.
void FileCommandsTest::objectListSave() {
  TSettingsFixture fx;
  TSimulator sim;
  TDialogScript dialog;
  TFormMain form;
  TFormSettings& s = *form.FormSettings;
  s.RBSelectTCPClick();
  s.EDITServerIP->setText(QStringLiteral("127.0.0.1:%1").arg(sim.Port()));
  s.CBReferencingModel->setCurrentIndex(0);
  s.CBAuthMechanism->setCurrentIndex(0);
  s.EDITClientAddress->setText("16");
  s.EDITServerAddress->setText("1");
  s.EDITConnectTimeout->setText("2000");
  s.EDITResponseTimeout->setText("3000");
  dialog.Answer = fx.Path("meter.xml");  // the list is a text file whatever the name typed
  const QString proposal = form.ObjectListSaveProposal();
  QCOMPARE(RunAndCatchMessageBox([&] { form.MMDoReadObjectListClick(); }), QString());
  QCOMPARE(dialog.Asked.size(), 1);
  QCOMPARE(dialog.Asked[0].Caption, QStringLiteral("Save object-list"));
  QCOMPARE(dialog.Asked[0].Filter, QStringLiteral("Object lists (*.txt);;All files (*)"));
  QCOMPARE(dialog.Asked[0].Start, proposal);
  const QString saved = fx.Path("meter.txt");
  QVERIFY(QFile::exists(saved));
  QVERIFY(form.ObjectCount() > 20);
  QCOMPARE(form.statusBar()->currentMessage(),
           QStringLiteral("Saved the object list (%1 objects) to %2").arg(form.ObjectCount()).arg(saved));
}

QTEST_MAIN(FileCommandsTest)
#include "FileCommandsTest.moc"
