// The main window shell: worker operations, layout persistence, caption,
// list view sorting and the short-name lookup.
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QSplitter>
#include <QTableWidget>
#include <QThread>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/ExchangeThread.h"
#include "app/FormMain.h"
#include "app/FormTraffic.h"
#include "xmlpdu/infra/Errors.h"

using namespace quillon;
using namespace quillon::test;

class ShellTest : public QObject {
  Q_OBJECT
private slots:
  void failingOperationRestoresAndReports_data();
  void failingOperationRestoresAndReports();
  void succeedingOperationRunsOnWorker();
  void formRefusesSecondOperationAndReenablesCommands();
  void splitPositionRestoredAndSaved();
  void viewLogPersists();
  void captionAndAbout();
  void columnSorting();
  void shortNameLookup_data();
  void shortNameLookup();
};

void ShellTest::failingOperationRestoresAndReports_data() {
  QTest::addColumn<int>("kind");
  QTest::addColumn<QString>("expected");
  QTest::newRow("general error") << 0 << "No response";
  QTest::newRow("standard exception") << 1 << "vector::_M_range_check";
  QTest::newRow("no message still fails") << 2 << "Operation failed";
}

void ShellTest::failingOperationRestoresAndReports() {
  QFETCH(int, kind);
  QFETCH(QString, expected);
  Qt::CursorShape during = Qt::ArrowCursor;
  bool failureProcOnWorker = false;
  int failureProcRuns = 0;
  QThread* gui = QThread::currentThread();
  QString raised;
  try {
    RunOnExchangeThread(
        [&] {
          RunOnGuiThread([&] { during = QApplication::overrideCursor()->shape(); });
          if (kind == 0) RaiseGeneral("No response");
          if (kind == 1) throw std::out_of_range("vector::_M_range_check");
          throw 42;
        },
        [&] {
          ++failureProcRuns;
          failureProcOnWorker = QThread::currentThread() != gui;
        });
  } catch (const EGeneralError& e) {
    raised = QString::fromUtf8(e.what());
  }
  QCOMPARE(raised, expected);
  QCOMPARE(during, Qt::BusyCursor);
  QVERIFY(QApplication::overrideCursor() == nullptr);
  QCOMPARE(failureProcRuns, 1);
  QVERIFY(failureProcOnWorker);
}

void ShellTest::succeedingOperationRunsOnWorker() {
  QThread* worker = nullptr;
  bool failureProcRan = false;
  RunOnExchangeThread([&] { worker = QThread::currentThread(); }, [&] { failureProcRan = true; });
  QVERIFY(worker != nullptr && worker != QThread::currentThread());
  QVERIFY(!failureProcRan);
  QVERIFY(QApplication::overrideCursor() == nullptr);
}

void ShellTest::formRefusesSecondOperationAndReenablesCommands() {
  TSettingsFixture fx;
  TFormMain form;
  bool connectEnabledDuring = true, cancelEnabledDuring = false;
  QString nested;
  try {
    form.RunOnExchangeThread([&] {
      RunOnGuiThread([&] {
        connectEnabledDuring = form.MMDoConnect->isEnabled();
        cancelEnabledDuring = form.MMDoCancel->isEnabled();
        try {
          form.RunOnExchangeThread([] {});
        } catch (const std::exception& e) {
          nested = e.what();
        }
      });
      RaiseGeneral("Lower Layer not specified");
    });
    QFAIL("the failure must be raised");
  } catch (const EGeneralError& e) {
    QCOMPARE(QString(e.what()), QStringLiteral("Lower Layer not specified"));
  }
  QVERIFY(!connectEnabledDuring);
  QVERIFY(cancelEnabledDuring);
  QCOMPARE(nested, QStringLiteral("Another operation is still running"));
  QVERIFY(form.MMDoConnect->isEnabled());
  QVERIFY(!form.MMDoCancel->isEnabled());
  QVERIFY(!form.OperationRunning());
}

void ShellTest::splitPositionRestoredAndSaved() {
  TSettingsFixture fx;
  fx.Settings().Ini().WriteInteger("Misc", "Split", 25000);
  {
    TFormMain form;
    form.resize(800, 600);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QList<int> sizes = form.Splitter->sizes();
    const int total = sizes[0] + sizes[1];
    QVERIFY(total > 100);
    QVERIFY2(qAbs(sizes[1] * 4 - total) <= 4, qPrintable(QString("%1 of %2").arg(sizes[1]).arg(total)));
    form.Splitter->setSizes({total - total * 3 / 5, total * 3 / 5});
    form.close();
  }
  TIniFile saved(fx.Settings().Ini().FileName());
  QVERIFY(qAbs(saved.ReadInteger("Misc", "Split", 0) - 60000) <= 200);
  QVERIFY(saved.ValueExists("FormMain", "Width"));
  QVERIFY(saved.ValueExists("FormMain", "Top"));
}

void ShellTest::viewLogPersists() {
  TSettingsFixture fx;
  fx.Settings().Ini().WriteBool("Misc", "ViewLog", true);
  {
    TFormMain form;
    form.show();
    QVERIFY(form.FormTraffic->isVisible());
    QVERIFY(form.MMViewTraffic->isChecked());
    form.FormTraffic->close();  // closing only hides it
    QVERIFY(!form.MMViewTraffic->isChecked());
    form.close();
  }
  QCOMPARE(TIniFile(fx.Settings().Ini().FileName()).ReadString("Misc", "ViewLog"), QStringLiteral("0"));
  TFormMain second;
  second.show();
  QVERIFY(!second.FormTraffic->isVisible());
  second.MMViewTraffic->trigger();
  QVERIFY(second.FormTraffic->isVisible());
  second.close();
  QCOMPARE(TIniFile(fx.Settings().Ini().FileName()).ReadString("Misc", "ViewLog"), QStringLiteral("1"));
}

void ShellTest::captionAndAbout() {
  TSettingsFixture fx;
  TFormMain form;
  QCOMPARE(form.windowTitle(), QStringLiteral("quillon"));
  form.SetObjectListCaption("/tmp/ol.txt");
  QCOMPARE(form.windowTitle(), QStringLiteral("quillon - /tmp/ol.txt"));
  QCOMPARE(form.AboutText(), QStringLiteral("quillon\nVersion 7.0"));
  const QStringList headers{form.LV->horizontalHeaderItem(0)->text(), form.LV->horizontalHeaderItem(1)->text(),
                            form.LV->horizontalHeaderItem(2)->text()};
  QCOMPARE(headers, (QStringList{"Logical Name", "ClassId", "Description"}));
  QCOMPARE(form.LV->horizontalHeader()->sectionSize(1), 100);
  form.LV->horizontalHeader()->resizeSection(1, 10);
  QCOMPARE(form.LV->horizontalHeader()->sectionSize(1), 30);
}

namespace {

void AddRows(TFormMain& f) {
  f.AddObject({7, 1, "0000636200FF", "Profile generic b", 0x1000});
  f.AddObject({15, 1, "0000280000FF", "Association", 0});
  f.AddObject({3, 0, "0100010800FF", "active energy A", 0x1010});
  f.AddObject({3, 0, "0100020800FF", "Active energy B", 0x2000});
}

}  // namespace

void ShellTest::columnSorting() {
  TSettingsFixture fx;
  TFormMain form;
  AddRows(form);
  form.LVColumnClick(1);
  QCOMPARE(Column(form, 1), (QStringList{"3", "3", "7", "15"}));  // as numbers, not as text
  form.LVColumnClick(1);
  QCOMPARE(Column(form, 1), (QStringList{"15", "7", "3", "3"}));
  form.LVColumnClick(2);
  QCOMPARE(Column(form, 2),
           (QStringList{"active energy A", "Active energy B", "Association", "Profile generic b"}));
  form.LVColumnClick(0);
  QCOMPARE(Column(form, 0), (QStringList{"0000280000FF", "0000636200FF", "0100010800FF", "0100020800FF"}));
  // Row data travels with its row.
  QCOMPARE(form.ObjectAt(0).ClassId, 15);
  QCOMPARE(form.ObjectAt(3).BaseName, 0x2000);
}

void ShellTest::shortNameLookup_data() {
  QTest::addColumn<int>("classId");
  QTest::addColumn<QString>("instance");
  QTest::addColumn<int>("attribute");
  QTest::addColumn<QString>("expected");
  QTest::newRow("association fixed base") << 12 << "0000280000FF" << 2 << "OK:64008";
  QTest::newRow("attribute 3 of base 0x1000") << 7 << "0000636200FF" << 3 << "OK:4112";
  QTest::newRow("attribute 1 is the base") << 3 << "0100010800FF" << 1 << "OK:4112";
  QTest::newRow("lower-case instance") << 3 << "0100020800ff" << 2 << "OK:8200";
  QTest::newRow("class must match") << 4 << "0100010800FF" << 2 << "No shortname found for instance 0100010800FF";
  QTest::newRow("base name 0 is no short name") << 15 << "0000280000FF" << 2
                                                << "No shortname found for instance 0000280000FF";
  QTest::newRow("unknown") << 1 << "0000600100FF" << 2 << "No shortname found for instance 0000600100FF";
}

void ShellTest::shortNameLookup() {
  QFETCH(int, classId);
  QFETCH(QString, instance);
  QFETCH(int, attribute);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  TFormMain form;
  AddRows(form);
  int32_t sn = -1;
  QString error;
  const bool ok = form.ShortNameOfAttribute(classId, instance, attribute, sn, error);
  QCOMPARE(ok ? QStringLiteral("OK:%1").arg(sn) : error, expected);
}

QTEST_MAIN(ShellTest)
#include "ShellTest.moc"
