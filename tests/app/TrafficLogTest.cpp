// The traffic log of the layers reaching the log window: from worker
// threads, in order, with the prefix columns the window keeps.
#include <QRegularExpression>
#include <QtTest>

#include <string>

#include "AppTestSupport.h"
#include "app/ExchangeThread.h"
#include "app/FormMain.h"
#include "app/FormTraffic.h"
#include "comm/MidLayers.h"

using namespace quillon;
using namespace quillon::test;

class TrafficLogTest : public QObject {
  Q_OBJECT
private slots:
  void layerTrafficFromAWorker();
};

void TrafficLogTest::layerTrafficFromAWorker() {
  TSettingsFixture fx;
  TFormMain form;  // installs the log window as the traffic sink
  TProtocolLayerAbstract& tcp = LowerLayers().TCPClient;
  TProtocolLayerAbstract& serial2 = LowerLayers().Serial(2);
  constexpr int kBlocks = 50;
  RunOnExchangeThread(
      [&] {
        for (int i = 0; i < kBlocks; ++i) {
          TrafficWindowManager().OnTraffic(&tcp, std::string(1, static_cast<char>(i)),
                                           kByteLayerTrafficOptions + toIncoming);
          TrafficWindowManager().OnTraffic(&serial2, "Opened", kByteLayerTrafficOptions + toInfo);
        }
        // Engine log lines: no prefix columns at all.
        TrafficWindowManager().OnTraffic(nullptr, "READING value (x)", TTrafficOptions{toInfo, toASCII});
      },
      nullptr);
  const QStringList lines = form.FormTraffic->Lines();
  QCOMPARE(lines.size(), 2 * kBlocks + 1);
  // Time since start, then the delta, each padded to 10 characters.
  const QRegularExpression received(QStringLiteral("^\\d+'\\d\\d\\.\\d\\d\\d +\\+\\d+ *([0-9A-F]{2})$"));
  for (int i = 0; i < kBlocks; ++i) {
    const auto m = received.match(lines[2 * i]);
    QVERIFY2(m.hasMatch(), qPrintable(lines[2 * i]));
    QCOMPARE(lines[2 * i].indexOf(QLatin1Char('+')), 10);
    QCOMPARE(m.captured(1).toInt(nullptr, 16), i);
    QVERIFY2(lines[2 * i + 1].startsWith(QLatin1String("Serial[2] ")) &&
                 lines[2 * i + 1].endsWith(QLatin1String("Opened")),
             qPrintable(lines[2 * i + 1]));
    QCOMPARE(form.FormTraffic->ColorOfLines()[2 * i], QColor(255, 0, 0));
    QCOMPARE(form.FormTraffic->ColorOfLines()[2 * i + 1], QColor(255, 255, 255));
  }
  QCOMPARE(lines.last(), QStringLiteral("READING value (x)"));
  QCOMPARE(form.FormTraffic->TrafficStats().Received, kBlocks);
}

QTEST_MAIN(TrafficLogTest)
#include "TrafficLogTest.moc"
