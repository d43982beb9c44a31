// The main window shell: worker operations, layout persistence, caption,
// list view sorting and the short-name lookup.
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QSplitter>
#include <QTableWidget>
#include <QThread>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/ExchangeThread.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/ProfileView.h"
#include "app/ValueView.h"
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
  void objectFilter_data();
  void objectFilter();
  void namedMetersAndTheEmptyWindow();
  void readableValues_data();
  void readableValues();
  void chartAxisScale_data();
  void chartAxisScale();
  void chartPointsForDisplay_data();
  void chartPointsForDisplay();
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
  QCOMPARE(Column(form, 0), (QStringList{"0.0.40.0.0.255", "0.0.99.98.0.255", "1.0.1.8.0.255", "1.0.2.8.0.255"}));
  // Row data travels with its row.
  QCOMPARE(form.ObjectAt(0).ClassId, 15);
  QCOMPARE(form.ObjectAt(3).BaseName, 0x2000);
}

void ShellTest::objectFilter_data() {
  QTest::addColumn<QString>("filter");
  QTest::addColumn<QStringList>("shown");  // descriptions of the rows left, top to bottom
  const QString all = "Profile generic b|Association|active energy A|Active energy B|Sorted 10";
  QTest::newRow("empty") << "" << all.split('|');
  QTest::newRow("dotted, whole") << "1.0.1.8.0.255" << QStringList{"active energy A"};
  QTest::newRow("dotted, beginning") << "1.0." << QStringList{"active energy A", "Active energy B"};
  QTest::newRow("dotted, not a prefix of 10") << "1." << QStringList{"active energy A", "Active energy B"};
  QTest::newRow("A-B:C.D.E*F") << "1-0:2.8.0*255" << QStringList{"Active energy B"};
  QTest::newRow("A-B:C.D") << "0-0:40.0" << QStringList{"Association"};
  QTest::newRow("hex") << "0100020800ff" << QStringList{"Active energy B"};
  QTest::newRow("hex, beginning") << "000063" << QStringList{"Profile generic b"};
  QTest::newRow("class id") << "15" << QStringList{"Association"};
  QTest::newRow("class name") << "profile" << QStringList{"Profile generic b"};
  QTest::newRow("description, any case") << "ENERGY" << QStringList{"active energy A", "Active energy B"};
  QTest::newRow("every word must match") << "energy 1.0.2" << QStringList{"Active energy B"};
  QTest::newRow("nothing") << "water" << QStringList{};
  QTest::newRow("malformed code") << "1..." << QStringList{};
}

void ShellTest::objectFilter() {
  QFETCH(QString, filter);
  QFETCH(QStringList, shown);
  TSettingsFixture fx;
  TFormMain form;
  AddRows(form);
  form.AddObject({1, 0, "0A0001080000", "Sorted 10", 0});
  form.ObjectFilter->setText(filter);  // as typed
  QStringList visible;
  for (int r = 0; r < form.LV->rowCount(); ++r)
    if (!form.LV->isRowHidden(r)) visible << form.ObjectAt(r).InstanceDescr;
  QCOMPARE(visible, shown);
  QCOMPARE(form.VisibleObjectCount(), shown.size());
  // A list loaded while a filter is set is filtered as well.
  std::vector<TInstanceInfo> rows;
  for (int r = 0; r < form.LV->rowCount(); ++r) rows.push_back(form.ObjectAt(r));
  form.SetObjects(rows);
  QCOMPARE(form.VisibleObjectCount(), shown.size());
}

void ShellTest::namedMetersAndTheEmptyWindow() {
  TSettingsFixture fx;
  qputenv("XDG_CONFIG_HOME", fx.Path("config").toUtf8());
  qputenv("XDG_DATA_HOME", fx.Path("data").toUtf8());
  TFormMain form;
  // The empty window says what to do first, until objects are listed.
  QVERIFY(form.EmptyHint->isVisibleTo(form.LV));
  QVERIFY(form.EmptyHint->text().contains(QStringLiteral("Do → Read object-list")));
  form.AddObject({3, 0, "0100010800FF", "energy", 0});
  QVERIFY(!form.EmptyHint->isVisibleTo(form.LV));
  form.ClearObjects();
  QVERIFY(form.EmptyHint->isVisibleTo(form.LV));
  // The object list is saved in the user's data folder unless a folder was chosen.
  QCOMPARE(form.ObjectListSaveProposal(), fx.Path("data") + "/quillon/object-list.txt");
  fx.Settings().SetLastFile("OL", fx.Path("lists/meter7.txt"));
  QCOMPARE(form.ObjectListSaveProposal(), fx.Path("lists/meter7.txt"));

  // Named meters: stored from the dialog, chosen back into it.
  TFormSettings& s = *form.FormSettings;
  s.ApplyFirstRunDefaults();
  s.EDITServerIP->setText("10.1.2.3:4060");
  s.EDITClientAddress->setText("17");
  s.CBAuthMechanism->setCurrentIndex(1);
  s.EDITPW->setText("3132333435363738");
  QCOMPARE(RunAndCatchMessageBox([&] { form.SaveMeter("substation 7"); }), QString());
  const QString meters = fx.Path("config") + "/quillon/meters.ini";
  QCOMPARE(QFileInfo(meters).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
  QCOMPARE(TFormMain::MeterNames(), QStringList{"substation 7"});
  s.ApplyFirstRunDefaults();
  QCOMPARE(s.EDITServerIP->text(), QStringLiteral("127.0.0.1:4059"));
  form.UseMeter("substation 7");
  QCOMPARE(s.EDITServerIP->text(), QStringLiteral("10.1.2.3:4060"));
  QCOMPARE(s.EDITClientAddress->text(), QStringLiteral("17"));
  QCOMPARE(s.GetMechanismName(), 2);
  QCOMPARE(s.EDITPW->text().remove(' ').toUpper(), QStringLiteral("3132333435363738"));
  QCOMPARE(form.MeterText(), QStringLiteral("substation 7"));
  QString error;
  try {
    form.UseMeter("nowhere");
  } catch (const std::exception& e) {
    error = e.what();
  }
  QCOMPARE(error, QStringLiteral("Meter \"nowhere\": no such meter in %1").arg(meters));
  qunsetenv("XDG_CONFIG_HOME");
  qunsetenv("XDG_DATA_HOME");
}

void ShellTest::readableValues_data() {
  QTest::addColumn<QString>("xml");
  QTest::addColumn<int>("scaler");  // 99: no scaler_unit
  QTest::addColumn<int>("unit");
  QTest::addColumn<QList<int>>("place");  // class, version, attribute; empty: none
  QTest::addColumn<QStringList>("lines");  // the top line, then the tree below it, depth first
  const QList<int> none;
  QTest::newRow("energy in Wh, scaled") << "<Data><DoubleLongUnsigned Value=\"0012D687\" /></Data>" << -3 << 30
                                        << none << QStringList{"1234.567 Wh"};
  QTest::newRow("scaled up, voltage") << "<LongUnsigned Value=\"0017\" />" << 1 << 35 << none << QStringList{"230 V"};
  QTest::newRow("a count has no unit") << "<Long Value=\"FFFE\" />" << 0 << 255 << none << QStringList{"-2"};
  QTest::newRow("unscaled") << "<Unsigned Value=\"2A\" />" << 99 << 0 << none << QStringList{"42"};
  QTest::newRow("date-time") << "<OctetString Value=\"07EA0C0A030E1E00FF800000\" />" << 99 << 0 << none
                             << QStringList{"2026-12-10T14:30:00"};
  QTest::newRow("structure as a tree")
      << "<Structure Qty=\"0002\"><Integer Value=\"FD\" /><Enum Value=\"1E\" /></Structure>" << 99 << 0 << none
      << QStringList{"{-3, 30}", "[0] -3", "[1] 30"};
  QTest::newRow("text") << "<VisibleString Value=\"51554C\" />" << 99 << 0 << none << QStringList{"QUL"};
  // Enums the class catalogue knows, by the attribute they were read from.
  QTest::newRow("clock_base") << "<Enum Value=\"01\" />" << 99 << 0 << QList<int>{8, 0, 9}
                              << QStringList{"internal crystal (1)"};
  QTest::newRow("clock_base without a name") << "<Enum Value=\"09\" />" << 99 << 0 << QList<int>{8, 0, 9}
                                              << QStringList{"9"};
  QTest::newRow("disconnect control_state") << "<Enum Value=\"02\" />" << 99 << 0 << QList<int>{70, 0, 3}
                                            << QStringList{"ready for reconnection (2)"};
  QTest::newRow("the unit of a scaler_unit")
      << "<Structure Qty=\"0002\"><Integer Value=\"FD\" /><Enum Value=\"1E\" /></Structure>" << 99 << 0
      << QList<int>{3, 0, 3} << QStringList{"{-3, Wh (30)}", "[0] -3", "[1] Wh (30)"};
  QTest::newRow("access modes deep in an object list")
      << "<Array Qty=\"0001\"><Structure Qty=\"0004\"><LongUnsigned Value=\"0008\" /><Unsigned Value=\"00\" />"
         "<OctetString Value=\"0000010000FF\" /><Structure Qty=\"0002\"><Array Qty=\"0001\">"
         "<Structure Qty=\"0003\"><Integer Value=\"02\" /><Enum Value=\"03\" /><NullData /></Structure></Array>"
         "<Array Qty=\"0001\"><Structure Qty=\"0002\"><Integer Value=\"01\" /><Enum Value=\"02\" />"
         "</Structure></Array></Structure></Structure></Array>"
      << 99 << 0 << QList<int>{15, 1, 2}
      << QStringList{"1 element(s)", "[0] 4 element(s)", "[0] 8", "[1] 0", "[2] 0000010000FF",
                     "[3] 2 element(s)", "[0] 1 element(s)", "[0] 3 element(s)", "[0] 2",
                     "[1] read and write (3)", "[2] null", "[1] 1 element(s)", "[0] 2 element(s)", "[0] 1",
                     "[1] authenticated access (2)"};
}

void ShellTest::readableValues() {
  QFETCH(QString, xml);
  QFETCH(int, scaler);
  QFETCH(int, unit);
  QFETCH(QList<int>, place);
  QFETCH(QStringList, lines);
  TValueView view;
  std::optional<client::TScalerUnit> su;
  if (scaler != 99) su = client::TScalerUnit{scaler, unit};
  client::TValuePlace where;
  if (!place.isEmpty()) where = {place[0], place[1], place[2], {}};
  view.ShowDataXml(xml, su, where);
  QStringList shown{view.TopText()};
  const std::function<void(const QTreeWidgetItem*)> below = [&](const QTreeWidgetItem* item) {
    for (int i = 0; i < item->childCount(); ++i) {
      shown << item->child(i)->text(0);
      below(item->child(i));
    }
  };
  below(view.topLevelItem(0));
  QCOMPARE(shown, lines);
}

void ShellTest::chartAxisScale_data() {
  QTest::addColumn<double>("lo");
  QTest::addColumn<double>("hi");
  QTest::addColumn<QString>("unit");
  QTest::addColumn<double>("factor");
  QTest::addColumn<QString>("title");
  QTest::addColumn<QString>("format");
  // A day of a cumulative register: hundreds of MWh rising by kWh.
  QTest::newRow("energy register") << 354222751.0 << 354248000.0 << "Wh" << 1e6 << "MWh" << "%.3f";
  QTest::newRow("kilowatt hours") << 1500.0 << 98000.0 << "Wh" << 1e3 << "kWh" << "%.0f";
  QTest::newRow("small power") << 0.0 << 850.0 << "W" << 1.0 << "W" << "%.0f";
  QTest::newRow("negative power") << -2500000.0 << 100.0 << "var" << 1e6 << "Mvar" << "%.1f";
  QTest::newRow("voltage decimals") << 229.5 << 231.0 << "V" << 1.0 << "V" << "%.1f";
  QTest::newRow("volume takes no prefix") << 3000.0 << 3100.0 << "m3" << 1.0 << "m3" << "%.0f";
  QTest::newRow("no unit") << 0.0 << 5000000.0 << "" << 1.0 << "" << "%.0f";
  QTest::newRow("flat line") << 42.0 << 42.0 << "A" << 1.0 << "A" << "%.0f";
}

void ShellTest::chartAxisScale() {
  QFETCH(double, lo);
  QFETCH(double, hi);
  QFETCH(QString, unit);
  QFETCH(double, factor);
  QFETCH(QString, title);
  QFETCH(QString, format);
  const TChartAxisScale s = ChartAxisScale(lo, hi, unit);
  QCOMPARE(s.Factor, factor);
  QCOMPARE(s.Unit, title);
  QCOMPARE(s.LabelFormat, format);
}

void ShellTest::chartPointsForDisplay_data() {
  QTest::addColumn<int>("count");
  QTest::addColumn<int>("cap");
  QTest::addColumn<int>("spike");  // index of a lone high point, -1 none
  QTest::addColumn<int>("dip");    // index of a lone low point, -1 none
  QTest::newRow("fewer than the cap") << 10 << 20 << -1 << -1;
  QTest::newRow("exactly the cap") << 20 << 20 << 7 << 3;
  QTest::newRow("a day of minutes") << 1440 << 100 << 713 << 1001;
  QTest::newRow("spike next to the ends") << 5000 << 40 << 1 << 4998;
  QTest::newRow("cap below four") << 50 << 1 << 25 << -1;
}

// Display thinning keeps the ends, every lone spike and dip, the points in
// clock order, and no more than the cap.
void ShellTest::chartPointsForDisplay() {
  QFETCH(int, count);
  QFETCH(int, cap);
  QFETCH(int, spike);
  QFETCH(int, dip);
  std::vector<QPointF> points;
  for (int i = 0; i < count; ++i) points.emplace_back(1000.0 * i, 50.0 + (i % 7));
  if (spike >= 0) points[static_cast<size_t>(spike)].setY(1e6);
  if (dip >= 0) points[static_cast<size_t>(dip)].setY(-1e6);
  const std::vector<QPointF> shown = ChartPointsForDisplay(points, static_cast<size_t>(cap));
  if (count <= std::max(cap, 4)) {
    QVERIFY(shown == points);
    return;
  }
  QVERIFY2(shown.size() <= static_cast<size_t>(std::max(cap, 4)), qPrintable(QString::number(shown.size())));
  QCOMPARE(shown.front(), points.front());
  QCOMPARE(shown.back(), points.back());
  for (size_t i = 1; i < shown.size(); ++i) QVERIFY(shown[i - 1].x() < shown[i].x());
  const auto has = [&](int at) { return std::find(shown.begin(), shown.end(), points[static_cast<size_t>(at)]) != shown.end(); };
  if (spike >= 0) QVERIFY(has(spike));
  if (dip >= 0) QVERIFY(has(dip));
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
