// The top-level windows on a small screen (1024x600, offscreen), and the
// help window F1 opens.
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/FormFindMeter.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/HelpWindow.h"
#include "app/ProfileView.h"
#include "app/WindowFit.h"

using namespace quillon;
using namespace quillon::test;

namespace {

const QSize kScreen(1024, 600);

// Takes the links the help window hands to the desktop.
class TUrlCatcher : public QObject {
  Q_OBJECT
public:
  QList<QUrl> Opened;
public slots:
  void Open(const QUrl& url) { Opened << url; }
};

}  // namespace

class WindowsTest : public QObject {
  Q_OBJECT
private slots:
  void fitRect_data();
  void fitRect();
  void everyWindowFitsASmallScreen_data();
  void everyWindowFitsASmallScreen();
  void helpShowsTheOperatorsSections();
  void helpLinks();
};

void WindowsTest::fitRect_data() {
  QTest::addColumn<QRect>("wanted");
  QTest::addColumn<QRect>("available");
  QTest::addColumn<QMargins>("frame");
  QTest::addColumn<QRect>("expected");
  const QRect small(0, 0, 1024, 600);
  const QRect belowPanel(0, 24, 1024, 576);
  QTest::newRow("fits: unchanged") << QRect(10, 20, 600, 400) << small << QMargins() << QRect(10, 20, 600, 400);
  // The first start the issue was seen at: 800x600 at a quarter of the screen.
  QTest::newRow("too low: moved up, made lower") << QRect(257, 170, 800, 600) << belowPanel << QMargins()
                                                 << QRect(224, 24, 800, 576);
  QTest::newRow("with the frame") << QRect(257, 170, 800, 600) << belowPanel << QMargins(2, 30, 2, 2)
                                  << QRect(222, 54, 800, 544);
  QTest::newRow("larger both ways") << QRect(100, 100, 1600, 1000) << small << QMargins() << small;
  QTest::newRow("off the left and top") << QRect(-300, -50, 400, 300) << small << QMargins() << QRect(0, 0, 400, 300);
  QTest::newRow("off the right only") << QRect(900, 100, 400, 300) << small << QMargins() << QRect(624, 100, 400, 300);
  QTest::newRow("second screen to the right")
      << QRect(1100, 500, 500, 400) << QRect(1024, 0, 1280, 800) << QMargins() << QRect(1100, 400, 500, 400);
}

void WindowsTest::fitRect() {
  QFETCH(QRect, wanted);
  QFETCH(QRect, available);
  QFETCH(QMargins, frame);
  QFETCH(QRect, expected);
  const QRect fitted = FitRect(wanted, available, frame);
  QCOMPARE(fitted, expected);
  QVERIFY(available.contains(fitted.marginsAdded(frame)));
}

void WindowsTest::everyWindowFitsASmallScreen_data() {
  QTest::addColumn<QRect>("saved");  // the main window's remembered place; null: the first start
  QTest::addColumn<bool>("kept");    // the remembered place stays as it was
  QTest::newRow("first start") << QRect() << false;
  QTest::newRow("remembered on a larger screen") << QRect(1200, 700, 1600, 1000) << false;
  QTest::newRow("remembered and fitting") << QRect(40, 60, 640, 400) << true;
}

void WindowsTest::everyWindowFitsASmallScreen() {
  QFETCH(QRect, saved);
  QFETCH(bool, kept);
  const QScreen* screen = QGuiApplication::primaryScreen();
  QVERIFY(screen);
  QCOMPARE(screen->geometry().size(), kScreen);  // else this test would prove nothing
  const QRect available = screen->availableGeometry();
  TSettingsFixture fx;
  if (!saved.isNull()) {
    for (const QString& name : {QStringLiteral("FormMain"), QStringLiteral("Log"), QStringLiteral("FormSettings")}) {
      fx.Settings().Ini().WriteInteger(name, "Left", saved.left());
      fx.Settings().Ini().WriteInteger(name, "Top", saved.top());
      fx.Settings().Ini().WriteInteger(name, "Width", saved.width());
      fx.Settings().Ini().WriteInteger(name, "Height", saved.height());
    }
  }
  TFormMain form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  if (kept) QCOMPARE(form.geometry(), saved);

  QList<QWidget*> windows{&form, form.FormTraffic, form.FormSettings};
  form.FormTraffic->show();
  form.FormSettings->show();
  std::unique_ptr<TFormFindMeter> find(form.CreateFindMeter());
  find->show();
  windows << find.get();
  client::TObjectRef ref;
  ref.ClassId = 7;
  ref.Name = {1, 0, 99, 1, 0, 255};
  ref.Member = 2;
  auto* profile = new TProfileView(client::TMeterProfile{}, ref, "profile", &form);
  profile->show();
  windows << profile;
  form.MMHelpOnLine->trigger();
  auto* help = form.findChild<THelpWindow*>();
  QVERIFY(help && help->isVisible());
  windows << help;
  for (QWidget* w : windows) {
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QVERIFY2(available.contains(w->frameGeometry()),
             qPrintable(QStringLiteral("%1 at %2,%3 %4x%5")
                            .arg(w->objectName())
                            .arg(w->frameGeometry().x())
                            .arg(w->frameGeometry().y())
                            .arg(w->frameGeometry().width())
                            .arg(w->frameGeometry().height())));
  }
  form.FormSettings->hide();
}

void WindowsTest::helpShowsTheOperatorsSections() {
  TSettingsFixture fx;
  QVERIFY2(!HelpFilePath().isEmpty(), "share/quillon/help.md beside the program");
  TFormMain form;
  form.MMHelpOnLine->trigger();
  auto* help = form.findChild<THelpWindow*>();
  QVERIFY(help && help->isVisible());
  const QString text = help->Browser->toPlainText();
  for (const char* heading : {"Quillon help", "The desktop application", "When it does not connect"})
    QVERIFY2(text.contains(QLatin1String(heading)), heading);
  // The command line's section is the whole manual's.
  QVERIFY(!text.contains(QLatin1String("Reading a fleet")));
  // F1 again: the same window.
  form.MMHelpOnLine->trigger();
  QCOMPARE(form.findChildren<THelpWindow*>().size(), 1);
}

void WindowsTest::helpLinks() {
  THelpWindow help;
  const QUrl contents = help.Browser->source();
  QVERIFY(contents.isLocalFile());
  TUrlCatcher desktop;
  QDesktopServices::setUrlHandler(QStringLiteral("https"), &desktop, "Open");

  // The help text's link to the README opens the whole manual here.
  help.FollowLink(QUrl(QStringLiteral("README.md")));
  QCOMPARE(help.Browser->source(), FullManualUrl());
  QVERIFY(help.Browser->toPlainText().contains(QLatin1String("Reading a fleet")));
  QVERIFY(help.BTNBack->isEnabled());
  help.BTNBack->click();
  QCOMPARE(help.Browser->source(), contents);

  // The web goes to the desktop's browser; the page stays.
  const QUrl web(QStringLiteral("https://quillon.example.org/README"));
  help.FollowLink(web);
  QCOMPARE(desktop.Opened, QList<QUrl>{web});
  QCOMPARE(help.Browser->source(), contents);
  QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

// The test runs on a screen of its own size, whatever the machine has.
int main(int argc, char** argv) {
  QTemporaryDir dir;
  QFile config(dir.filePath("screen.json"));
  if (!config.open(QIODevice::WriteOnly)) return 1;
  config.write(QStringLiteral(R"({"screens": [{"name": "small", "x": 0, "y": 0, "width": %1, "height": %2,
                                   "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})")
                   .arg(kScreen.width())
                   .arg(kScreen.height())
                   .toUtf8());
  config.close();
  qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config.fileName()).toUtf8());
  QApplication app(argc, argv);
  WindowsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "WindowsTest.moc"
