// The log window: rendering, prefixes, colours, saving, and lines that
// arrive from worker threads.
#include <sys/stat.h>

#include <QAction>
#include <QFile>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QtTest>

#include <QScrollBar>

#include <string>
#include <thread>

#include "AppTestSupport.h"
#include "app/ExchangeThread.h"
#include "app/FormTraffic.h"

using namespace quillon;
using namespace quillon::test;

namespace {

std::string Bytes(const QByteArray& b) { return std::string(b.constData(), static_cast<size_t>(b.size())); }

// The colour the view really paints line `n` (from 0) with.
QColor PaintedColor(const TFormTraffic& w, int n) {
  const QTextBlock b = w.SynEdit->document()->findBlockByNumber(n);
  const QList<QTextLayout::FormatRange> ranges = b.textFormats();
  return ranges.isEmpty() ? QColor() : ranges.first().format.foreground().color();
}

}  // namespace

class LogWindowTest : public QObject {
  Q_OBJECT
private slots:
  void render_data();
  void render();
  void renderText_data();
  void renderText();
  void prefix_data();
  void prefix();
  void linesColoursAndCounters();
  void clearStartsColoursAgain();
  void saveToWritesEveryLine();
  void longLinesShownCutSavedWhole();
  void copyOnlyWithSelection();
  void windowLooks();
  void workersNeverWaitForTheWindow();
  void queuedLinesReachTheViewOnTheTimer();
  void capDropsTheOldestLines_data();
  void capDropsTheOldestLines();
  void viewFollowsOnlyFromTheEnd();
};

void LogWindowTest::render_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<bool>("binary");
  QTest::addColumn<QString>("expected");
  QTest::newRow("hex") << QByteArray::fromHex("7EA007") << true << "7EA007";
  QTest::newRow("hex keeps every byte") << QByteArray::fromHex("00FF0a") << true << "00FF0A";
  QTest::newRow("empty") << QByteArray() << true << "";
  QTest::newRow("mode E identification") << QByteArray("/ABC5\\2MT382\r\n") << false << "/ABC5\\2MT382<CR><LF>";
  QTest::newRow("named controls") << QByteArray::fromHex("0102030615") << false << "<SOH><STX><ETX><ACK><NAK>";
  QTest::newRow("tab in decimal") << QByteArray::fromHex("09") << false << "<9>";
  QTest::newRow("nul and 31") << QByteArray::fromHex("001F") << false << "<0><31>";
  QTest::newRow("space to tilde") << QByteArray(" ~") << false << " ~";
  QTest::newRow("high bytes as characters") << QByteArray::fromHex("7FE4FF") << false
                                            << QString(QChar(0x7F)) + QChar(0xE4) + QChar(0xFF);
}

void LogWindowTest::render() {
  QFETCH(QByteArray, bytes);
  QFETCH(bool, binary);
  QFETCH(QString, expected);
  QCOMPARE(TFormTraffic::RenderBytes(Bytes(bytes), binary), expected);
}

// Information lines are the program's own texts, in UTF-8; bytes that are
// not UTF-8 show as the traffic does.
void LogWindowTest::renderText_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<QString>("expected");
  QTest::newRow("UTF-8") << QByteArray("Fix: in Show \xE2\x86\x92 Settings...")
                         << QStringLiteral("Fix: in Show ") + QChar(0x2192) + QStringLiteral(" Settings...");
  QTest::newRow("controls named") << QByteArray("a\xC3\xA4\r\n\t") << QStringLiteral("a") + QChar(0xE4) + "<CR><LF><9>";
  QTest::newRow("not UTF-8") << QByteArray::fromHex("41E4FF") << QStringLiteral("A") + QChar(0xE4) + QChar(0xFF);
  QTest::newRow("cut sequence") << QByteArray::fromHex("41E286") << QStringLiteral("A") + QChar(0xE2) + QChar(0x86);
}

void LogWindowTest::renderText() {
  QFETCH(QByteArray, bytes);
  QFETCH(QString, expected);
  QCOMPARE(TFormTraffic::RenderText(Bytes(bytes)), expected);
  TSettingsFixture fx;
  TFormTraffic w;
  w.Info(Bytes(bytes), "TCPClient ");
  QCOMPARE(w.Lines(), QStringList{expected});
}

void LogWindowTest::prefix_data() {
  QTest::addColumn<QString>("prefix");
  QTest::addColumn<QString>("expected");
  QTest::newRow("TCP client") << "TCPClient 1'23.456  +250      " << "1'23.456  +250      ";
  QTest::newRow("first serial") << "Serial[1] 0'00.001  +0        " << "0'00.001  +0        ";
  QTest::newRow("second serial kept") << "Serial[2] " << "Serial[2] ";
  QTest::newRow("no name column") << "+12       " << "+12       ";
  QTest::newRow("name without blank kept") << "TCPClientX" << "TCPClientX";
  QTest::newRow("empty") << "" << "";
}

void LogWindowTest::prefix() {
  QFETCH(QString, prefix);
  QFETCH(QString, expected);
  QCOMPARE(TFormTraffic::StripPrefix(prefix.toStdString()), expected);
}

void LogWindowTest::linesColoursAndCounters() {
  TSettingsFixture fx;
  TFormTraffic w;
  w.DataReceived(Bytes(QByteArray::fromHex("7EA007")), true, "TCPClient 0'01.000  +0        ");
  w.DataSent(Bytes(QByteArray::fromHex("0001")), true, "Serial[2] ");
  w.DataSent(Bytes(QByteArray("/?!\r\n")), false, "");
  w.Info("Opened", "Serial[2] ");
  const QStringList expected{"0'01.000  +0        7EA007", "Serial[2] 0001", "/?!<CR><LF>", "Serial[2] Opened"};
  QCOMPARE(w.Lines(), expected);
  const QList<QColor> colours{QColor(255, 0, 0), QColor(0, 255, 0), QColor(0, 255, 0), QColor(255, 255, 255)};
  QCOMPARE(w.ColorOfLines(), colours);
  for (int i = 0; i < colours.size(); ++i) QCOMPARE(PaintedColor(w, i), colours[i]);
  QCOMPARE(w.TrafficStats().Received, 3);
  QCOMPARE(w.TrafficStats().Sent, 2 + 5);
  QVERIFY(w.TrafficStats().Changed);
  // The caret follows the newest line.
  QCOMPARE(w.SynEdit->textCursor().blockNumber(), 3);
}

void LogWindowTest::clearStartsColoursAgain() {
  TSettingsFixture fx;
  TFormTraffic w;
  w.DataReceived("\x01", true, "");
  w.Info("status", "");
  w.Clear();
  QVERIFY(w.Lines().isEmpty());
  QVERIFY(w.ColorOfLines().isEmpty());
  QCOMPARE(w.TrafficStats().Received, 0);
  QVERIFY(!w.TrafficStats().Changed);
  w.DataSent("\x02", true, "");
  QCOMPARE(w.Lines(), QStringList{"02"});
  QCOMPARE(w.ColorOfLines(), QList<QColor>{QColor(0, 255, 0)});
  QCOMPARE(PaintedColor(w, 0), QColor(0, 255, 0));
  QCOMPARE(w.SynEdit->document()->blockCount(), 1);
}

void LogWindowTest::saveToWritesEveryLine() {
  TSettingsFixture fx;
  TFormTraffic w;
  w.Info("first", "");
  w.DataReceived(Bytes(QByteArray::fromHex("E4")), false, "");
  w.DataSent("\x10", true, "");
  const QString file = fx.Path("log.txt");
  QFile::remove(file);
  w.SaveTo(file);
  QFile f(file);
  QVERIFY(f.open(QIODevice::ReadOnly));
  QCOMPARE(QString::fromUtf8(f.readAll()), QString("first\n") + QChar(0xE4) + "\n10\n");
  // Replaces an existing file, readable by others before: the log may hold
  // what the settings show (keys among them), so it is the owner's alone.
  QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                          QFileDevice::ReadOther));
  w.Clear();
  w.Info("only", "");
  w.SaveTo(file);
  f.close();
  QVERIFY(f.open(QIODevice::ReadOnly));
  QCOMPARE(f.readAll(), QByteArray("only\n"));
  struct stat st {};
  QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
  QCOMPARE(st.st_mode & 0777, 0600u);
}

void LogWindowTest::longLinesShownCutSavedWhole() {
  TSettingsFixture fx;
  TFormTraffic w;
  w.SetMaxLines(3);
  // One TCP read of a large answer: 1500 bytes, 3000 hex digits on one line.
  const std::string big(1500, '\xAB');
  const QString whole = QString("AB").repeated(1500);
  w.DataReceived(big, true, "");
  w.Info("short", "");
  w.DataSent(std::string(kMaxShownLineLength / 2, '\x01'), true, "");  // exactly the longest shown whole
  const QStringList expected{whole, "short", QString("01").repeated(kMaxShownLineLength / 2)};
  QCOMPARE(w.Lines(), expected);
  QCOMPARE(w.SynEdit->document()->findBlockByNumber(0).text(),
           whole.left(kMaxShownLineLength) + " ... (952 more characters, all in Save to...)");
  QCOMPARE(w.SynEdit->document()->findBlockByNumber(2).text(), expected[2]);
  QCOMPARE(PaintedColor(w, 0), TFormTraffic::kReceivedColor);
  const QString file = fx.Path("long.txt");
  w.SaveTo(file);
  QFile f(file);
  QVERIFY(f.open(QIODevice::ReadOnly));
  QCOMPARE(QString::fromLatin1(f.readAll()), expected.join('\n') + '\n');
  // Dropping the oldest lines keeps each whole line with its own view line.
  w.DataReceived(std::string(2000, '\xCD'), true, "");
  QCOMPARE(w.Lines(), (QStringList{"short", expected[2], QString("CD").repeated(2000)}));
  w.Clear();
  w.Info("after", "");
  QCOMPARE(w.Lines(), QStringList{"after"});
}

void LogWindowTest::copyOnlyWithSelection() {
  TSettingsFixture fx;
  TFormTraffic w;
  w.Info("some text", "");
  w.Flush();
  w.PreparePopup();
  QVERIFY(!w.PMCopy->isEnabled());
  w.SynEdit->selectAll();
  w.PreparePopup();
  QVERIFY(w.PMCopy->isEnabled());
  const QStringList captions{w.PMClear->text(), w.PMCopy->text(), w.PMSelectAll->text(), w.PMSaveTo->text()};
  QCOMPARE(captions, (QStringList{"C&lear", "&Copy", "Select &All", "Save to..."}));
}

void LogWindowTest::windowLooks() {
  TSettingsFixture fx;
  fx.Settings().Ini().WriteString("ScriptFont", "0", "DejaVu Sans Mono");
  fx.Settings().Ini().WriteString("ScriptFont", "1", "13");
  TFormTraffic w;
  QCOMPARE(w.windowTitle(), QStringLiteral("Log"));
  QCOMPARE(w.SynEdit->palette().color(QPalette::Base), QColor(Qt::black));
  QCOMPARE(w.SynEdit->font().pointSize(), 8);  // until first shown
  w.show();
  QCOMPARE(w.SynEdit->font().pointSize(), 13);
  QCOMPARE(w.SynEdit->font().family(), QStringLiteral("DejaVu Sans Mono"));
  // A change of the shared font reaches the open window.
  QFont f("DejaVu Sans Mono", 11);
  fx.Settings().SetScriptFont(f);
  QCOMPARE(w.SynEdit->font().pointSize(), 11);
}

void LogWindowTest::workersNeverWaitForTheWindow() {
  TSettingsFixture fx;
  TFormTraffic w;
  constexpr int kLines = 3000;
  // Two threads log while the window thread is blocked in join(): a sender
  // that waited for painting would never finish.
  auto log = [&w](const char* who) {
    for (int i = 0; i < kLines; ++i) w.Info(std::string(who) + std::to_string(i), "");
  };
  std::thread a(log, "a"), b(log, "b");
  a.join();
  b.join();
  QCOMPARE(w.LineCount(), 2 * kLines);
  const QStringList lines = w.Lines();
  QCOMPARE(lines.size(), 2 * kLines);
  // Each sender's lines keep their order.
  int nextA = 0, nextB = 0;
  for (const QString& l : lines) {
    int& next = l.startsWith('a') ? nextA : nextB;
    QCOMPARE(l.mid(1).toInt(), next);
    ++next;
  }
  QCOMPARE(w.ColorOfLines().size(), 2 * kLines);
}

void LogWindowTest::queuedLinesReachTheViewOnTheTimer() {
  TSettingsFixture fx;
  TFormTraffic w;
  w.DataSent("\x01\x02", true, "");
  // Nothing is painted by the call itself; the window thread's timer does it.
  QCOMPARE(w.SynEdit->document()->characterCount(), 1);
  QTRY_COMPARE(w.SynEdit->document()->firstBlock().text(), QStringLiteral("0102"));
  QCOMPARE(w.TrafficStats().Sent, 2);
}

void LogWindowTest::capDropsTheOldestLines_data() {
  QTest::addColumn<int>("batches");  // the lines arrive in this many flushes
  QTest::newRow("one burst larger than the cap") << 1;
  QTest::newRow("many small batches") << 25;
}

void LogWindowTest::capDropsTheOldestLines() {
  QFETCH(int, batches);
  TSettingsFixture fx;
  fx.Settings().Ini().WriteInteger("Misc", "LogMaxLines", 100);
  TFormTraffic w;
  QCOMPARE(w.MaxLines(), 100);
  constexpr int kLines = 250;
  for (int i = 0; i < kLines; ++i) {
    if (i % 2) w.DataReceived("\x0A", true, "");
    else w.Info(std::to_string(i), "");
    if ((i + 1) % (kLines / batches) == 0) w.Flush();
  }
  const QStringList lines = w.Lines();
  QCOMPARE(lines.size(), 100);
  QCOMPARE(lines.first(), QStringLiteral("150"));
  QCOMPARE(lines.last(), QStringLiteral("0A"));
  QCOMPARE(w.ColorOfLines().size(), 100);
  QCOMPARE(w.ColorOfLines().first(), TFormTraffic::kInfoColor);
  QCOMPARE(PaintedColor(w, 0), TFormTraffic::kInfoColor);
  QCOMPARE(PaintedColor(w, 99), TFormTraffic::kReceivedColor);
  QCOMPARE(w.SynEdit->document()->blockCount(), 100);
  // Counters count every line, dropped ones too.
  QCOMPARE(w.TrafficStats().Received, 125);
  QCOMPARE(w.DroppedLines(), 150);
  QCOMPARE(w.windowTitle(), QStringLiteral("Log (150 earlier lines dropped)"));
  w.Clear();
  QCOMPARE(w.windowTitle(), QStringLiteral("Log"));
}

void LogWindowTest::viewFollowsOnlyFromTheEnd() {
  TSettingsFixture fx;
  TFormTraffic w;
  w.resize(300, 200);
  w.show();
  auto add = [&w](int n) {
    for (int i = 0; i < n; ++i) w.Info("line", "");
    w.Flush();
  };
  QScrollBar* bar = w.SynEdit->verticalScrollBar();
  add(500);
  QVERIFY(bar->maximum() > 0);
  QCOMPARE(bar->value(), bar->maximum());
  // The operator scrolls up to read: new lines do not pull the view away.
  bar->setValue(10);
  add(100);
  QCOMPARE(bar->value(), 10);
  // Back at the end, the view follows again.
  bar->setValue(bar->maximum());
  add(100);
  QCOMPARE(bar->value(), bar->maximum());
  QCOMPARE(w.SynEdit->document()->blockCount(), 700);
}

QTEST_MAIN(LogWindowTest)
#include "LogWindowTest.moc"
