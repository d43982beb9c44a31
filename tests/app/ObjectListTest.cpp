// Object-list files in the list view: both layouts, descriptions, the
// attribute popup, start-up loading and what broken files give.
#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QTableWidget>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/EditorPane.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/IniFile.h"
#include "xmlpdu/infra/Misc.h"

#include "knowledge/OBISData.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// An LN object list as a meter returns it: class, version, logical name,
// access rights.
const char* const kLNList = R"(<Data>
  <Array Qty="0003" >
    <Structure Qty="0004" >
      <LongUnsigned Value="0003" />
      <Unsigned Value="00" />
      <OctetString Value="0100010800FF" />
      <Structure Qty="0000" >
      </Structure>
    </Structure>
    <Structure Qty="0004" >
      <LongUnsigned Value="000F" />
      <Unsigned Value="01" />
      <OctetString Value="0000280000FF" />
      <Structure Qty="0000" >
      </Structure>
    </Structure>
    <Structure Qty="0004" >
      <LongUnsigned Value="0008" />
      <Unsigned Value="00" />
      <OctetString Value="0000010000FF" />
      <Structure Qty="0000" >
      </Structure>
    </Structure>
  </Array>
</Data>
)";

// The same objects in the SN layout: base name first.
const char* const kSNList = R"(<Data>
  <Array Qty="0002" >
    <Structure Qty="0004" >
      <Long Value="1000" />
      <LongUnsigned Value="0003" />
      <Unsigned Value="00" />
      <OctetString Value="0100010800FF" />
    </Structure>
    <Structure Qty="0004" >
      <Long Value="FA00" />
      <LongUnsigned Value="000C" />
      <Unsigned Value="02" />
      <OctetString Value="0000280000FF" />
    </Structure>
  </Array>
</Data>
)";

// A register whose rights make attribute 1 read-only, 2 read and write, 3
// write-only, and method 1 inaccessible; a clock whose list names only
// attributes 1 and 2 (both readable) and no methods.
const char* const kLNListWithRights = R"(<Data>
  <Array Qty="0002" >
    <Structure Qty="0004" >
      <LongUnsigned Value="0003" />
      <Unsigned Value="00" />
      <OctetString Value="0100010800FF" />
      <Structure Qty="0002" >
        <Array Qty="0003" >
          <Structure Qty="0003" ><Integer Value="01" /><Enum Value="01" /><NullData /></Structure>
          <Structure Qty="0003" ><Integer Value="02" /><Enum Value="03" /><NullData /></Structure>
          <Structure Qty="0003" ><Integer Value="03" /><Enum Value="02" /><NullData /></Structure>
        </Array>
        <Array Qty="0001" >
          <Structure Qty="0002" ><Integer Value="01" /><Enum Value="00" /></Structure>
        </Array>
      </Structure>
    </Structure>
    <Structure Qty="0004" >
      <LongUnsigned Value="0008" />
      <Unsigned Value="00" />
      <OctetString Value="0000010000FF" />
      <Structure Qty="0002" >
        <Array Qty="0002" >
          <Structure Qty="0003" ><Integer Value="01" /><Enum Value="01" /><NullData /></Structure>
          <Structure Qty="0003" ><Integer Value="02" /><Enum Value="04" /><NullData /></Structure>
        </Array>
        <Array Qty="0000" >
        </Array>
      </Structure>
    </Structure>
  </Array>
</Data>
)";

QString WriteFile(const TSettingsFixture& fx, const QString& name, const QByteArray& text) {
  const QString path = fx.Path(name);
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return QString();
  f.write(text);
  return path;
}

QString Description(const char* hex) {
  static const auto db = LoadEmbeddedOBISData();
  return QString::fromStdString(db->GetOBISTextOfLogicalName(TMisc::HexStrToByteStr(hex)));
}

}  // namespace

class ObjectListTest : public QObject {
  Q_OBJECT
private slots:
  void lnListFillsTheListView();
  void snListFillsBaseNames();
  void startupLoadsTheLastList();
  void brokenFiles_data();
  void brokenFiles();
  void popupOffersTheClassAttributes();
  void popupMarksTheAccessTheListGives();
  void recentListsNewestFirstWithoutRepeats();
};

void ObjectListTest::lnListFillsTheListView() {
  TSettingsFixture fx;
  const QString file = WriteFile(fx, "ln.txt", kLNList);
  TFormMain form;
  form.LoadObjectListFile(file);
  QCOMPARE(Column(form, 0), (QStringList{"1.0.1.8.0.255", "0.0.40.0.0.255", "0.0.1.0.0.255"}));
  QCOMPARE(form.LV->item(0, 0)->toolTip(), QStringLiteral("0100010800FF"));
  QCOMPARE(Column(form, 1), (QStringList{"3", "15", "8"}));
  QCOMPARE(Column(form, 2), (QStringList{Description("0100010800FF"), Description("0000280000FF"),
                                         Description("0000010000FF")}));
  QCOMPARE(form.ObjectAt(1).Version, 1);
  QCOMPARE(form.ObjectAt(1).BaseName, 0);
  QCOMPARE(form.windowTitle(), "quillon - " + file);
  QCOMPARE(form.ObjectListFileName, file);
  QCOMPARE(form.FormSettings->EDITOLFileName->text(), file);
  QCOMPARE(fx.Settings().LastFile("OL"), file);
  QCOMPARE(form.ResponseEditor->Text().trimmed(), QString(kLNList).trimmed());
  // Loading another list replaces the rows.
  form.LoadObjectListFile(WriteFile(fx, "sn.txt", kSNList));
  QCOMPARE(form.LV->rowCount(), 2);
}

void ObjectListTest::snListFillsBaseNames() {
  TSettingsFixture fx;
  TFormMain form;
  form.LoadObjectListFile(WriteFile(fx, "sn.txt", kSNList));
  QCOMPARE(Column(form, 0), (QStringList{"1.0.1.8.0.255", "0.0.40.0.0.255"}));
  QCOMPARE(Column(form, 1), (QStringList{"3", "12"}));
  QCOMPARE(form.ObjectAt(0).BaseName, 0x1000);
  QCOMPARE(form.ObjectAt(1).BaseName, 0xFA00);
  int32_t sn = 0;
  QString error;
  QVERIFY(form.ShortNameOfAttribute(3, "0100010800FF", 3, sn, error));
  QCOMPARE(sn, 0x1010);
  // Sorting the view does not change what the lookup finds.
  form.LVColumnClick(1);
  QVERIFY(form.ShortNameOfAttribute(3, "0100010800FF", 2, sn, error));
  QCOMPARE(sn, 0x1008);
}

void ObjectListTest::startupLoadsTheLastList() {
  TSettingsFixture fx;
  fx.Settings().SetLastFile("OL", WriteFile(fx, "ln.txt", kLNList));
  {
    TFormMain form;
    QCOMPARE(form.LV->rowCount(), 0);
    form.show();
    QCOMPARE(form.LV->rowCount(), 3);
    form.close();
  }
  // A remembered file that is gone is skipped without a message.
  fx.Settings().SetLastFile("OL", fx.Path("gone.txt"));
  TFormMain form;
  const QString shown = RunAndCatchMessageBox([&] { form.show(); });
  QVERIFY(shown.isEmpty());
  QCOMPARE(form.LV->rowCount(), 0);
}

void ObjectListTest::brokenFiles_data() {
  QTest::addColumn<QByteArray>("text");
  QTest::addColumn<QString>("expected");
  QTest::newRow("not an array") << QByteArray("<Data><LongUnsigned Value=\"0003\" /></Data>")
                                << "Object list: an array of structures is expected";
  QTest::newRow("array of numbers")
      << QByteArray("<Data><Array Qty=\"0001\"><Unsigned Value=\"01\" /></Array></Data>")
      << "Object list, entry 1: a structure is expected";
  QTest::newRow("short structure")
      << QByteArray("<Data><Array Qty=\"0001\"><Structure Qty=\"0002\"><LongUnsigned Value=\"0003\" />"
                    "<Unsigned Value=\"00\" /></Structure></Array></Data>")
      << "Object list, entry 1: element 2 is not of the expected type";
  QTest::newRow("logical name too short")
      << QByteArray("<Data><Array Qty=\"0001\"><Structure Qty=\"0003\"><LongUnsigned Value=\"0003\" />"
                    "<Unsigned Value=\"00\" /><OctetString Value=\"0100\" /></Structure></Array></Data>")
      << "Object list, entry 1: the logical name must have 6 bytes";
  QTest::newRow("SN with wrong class type")
      << QByteArray("<Data><Array Qty=\"0001\"><Structure Qty=\"0004\"><Long Value=\"1000\" />"
                    "<Unsigned Value=\"03\" /><Unsigned Value=\"00\" /><OctetString Value=\"0100010800FF\" />"
                    "</Structure></Array></Data>")
      << "Object list, entry 1: element 1 is not of the expected type";
}

void ObjectListTest::brokenFiles() {
  QFETCH(QByteArray, text);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  TFormMain form;
  form.LoadObjectListFile(WriteFile(fx, "good.txt", kLNList));
  QString error;
  try {
    form.LoadObjectListFile(WriteFile(fx, "bad.txt", text));
  } catch (const std::exception& e) {
    error = e.what();
  }
  QCOMPARE(error, expected);
  QCOMPARE(form.LV->rowCount(), 0);  // no stale rows of the earlier list
}

void ObjectListTest::popupOffersTheClassAttributes() {
  TSettingsFixture fx;
  TFormMain form;
  auto captions = [&](const TInstanceInfo& info) {
    std::unique_ptr<QMenu> menu(form.BuildInstancePopup(info));
    QStringList r;
    for (QAction* a : menu->actions())
      if (!a->menu()) r << a->text();
    return r;
  };
  // Separators show as empty captions.
  QCOMPARE(captions({3, 0, "0100010800FF", "", 0}),
           (QStringList{"logical_name", "value", "scaler_unit", "", "Read all attributes", "(Cancel)"}));
  QCOMPARE(captions({1, 0, "0000600100FF", "", 0}),
           (QStringList{"logical_name", "value", "", "Read all attributes", "(Cancel)"}));
  // A profile generic also opens in the profile view.
  const QStringList profile = captions({7, 1, "0100630100FF", "", 0});
  QCOMPARE(profile.mid(profile.size() - 4),
           (QStringList{"Read all attributes", "", "Open profile...", "(Cancel)"}));
  QCOMPARE(captions({9999, 0, "0000600100FF", "", 0}), QStringList{"(Cancel)"});
  QCOMPARE(captions({3, 7, "0100010800FF", "", 0}), QStringList{"(Cancel)"});  // unknown version
}

void ObjectListTest::popupMarksTheAccessTheListGives() {
  TSettingsFixture fx;
  TFormMain form;
  form.LoadObjectListFile(WriteFile(fx, "rights.txt", kLNListWithRights));
  auto captions = [&](int row) {
    std::unique_ptr<QMenu> menu(form.BuildInstancePopup(form.ObjectAt(row)));
    QStringList r;
    for (QAction* a : menu->actions()) {
      if (!a->menu()) r << a->text();
      else
        for (QAction* m : a->menu()->actions()) r << m->text();
    }
    return r;
  };
  // Full access carries no mark; the mark stands in the shortcut column.
  QCOMPARE(captions(0), (QStringList{"logical_name\tread-only", "value", "scaler_unit\twrite-only", "",
                                     "Read all attributes", "Method 1 (parameters from the editor)\tno access",
                                     "(Cancel)"}));
  // Attributes the list leaves out are marked as such; methods of an empty
  // method list are not marked.
  const QStringList clock = captions(1);
  QCOMPARE(clock.mid(0, 3), (QStringList{"logical_name\tread-only", "time\tauthenticated read-only",
                                         "time_zone\tnot listed"}));
  QCOMPARE(clock.filter("Method").size(), 6);
  QCOMPARE(clock.filter("\t").size(), 9);
  // A list without rights (kLNList) marks nothing.
  form.LoadObjectListFile(WriteFile(fx, "ln.txt", kLNList));
  QCOMPARE(captions(0).filter("\t"), QStringList());
}

void ObjectListTest::recentListsNewestFirstWithoutRepeats() {
  TSettingsFixture fx;
  const QString ln = WriteFile(fx, "ln.txt", kLNList);
  const QString sn = WriteFile(fx, "sn.txt", kSNList);
  {
    TFormMain form;
    form.LoadObjectListFile(ln);
    form.LoadObjectListFile(sn);
    form.LoadObjectListFile(ln);
    QStringList entries;
    for (QAction* a : form.RecentMenu->actions()) entries << a->text();
    QCOMPARE(entries, (QStringList{"&1 " + ln, "&2 " + sn}));
    // Choosing an entry loads that list.
    form.RecentMenu->actions().at(1)->trigger();
    QCOMPARE(form.ObjectListFileName, sn);
    QCOMPARE(form.LV->rowCount(), 2);
  }
  TFormMain next;  // the list survives the program
  QCOMPARE(next.RecentMenu->actions().size(), 2);
}

QTEST_MAIN(ObjectListTest)
#include "ObjectListTest.moc"
