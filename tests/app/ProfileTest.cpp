// The settings turned into a layer stack: TCP address forms, HDLC
// addressing, and settings that stop a command before anything is sent.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "comm/MidLayers.h"

using namespace quillon;
using namespace quillon::test;

namespace {

void CommonSettings(TFormSettings& s) {
  s.CBReferencingModel->setCurrentIndex(0);
  s.CBAuthMechanism->setCurrentIndex(0);
  s.EDITClientAddress->setText("16");
  s.EDITServerAddress->setText("1");
  s.EDITConnectTimeout->setText("2500");
  s.EDITResponseTimeout->setText("3500");
}

// Configures the stack from the dialog; the error text or "OK".
QString Configure(TFormMain& form) {
  try {
    form.ConfigureProfile(form.ReadLinkSettings(true));
    return QStringLiteral("OK");
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
}

}  // namespace

class ProfileTest : public QObject {
  Q_OBJECT
private slots:
  void tcpAddress_data();
  void tcpAddress();
  void hdlcAddressing_data();
  void hdlcAddressing();
  void settingsMessagesBeforeConnecting_data();
  void settingsMessagesBeforeConnecting();
};

void ProfileTest::tcpAddress_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("expected");
  QTest::addColumn<QString>("ip");
  QTest::addColumn<int>("port");
  QTest::addColumn<bool>("ipv6");
  QTest::newRow("IPv4 and port") << "127.0.0.1:4059" << "OK" << "127.0.0.1" << 4059 << false;
  QTest::newRow("IPv6 in brackets") << "[::1]:4060" << "OK" << "::1" << 4060 << true;
  QTest::newRow("IPv4 without port") << "127.0.0.1" << "Server TCP port not specified" << "" << 0 << false;
  QTest::newRow("host name") << "meter.local:4059" << "Illegal IP address \"meter.local:4059\"" << "" << 0 << false;
  QTest::newRow("empty") << "" << "Illegal IP address \"\"" << "" << 0 << false;
}

void ProfileTest::tcpAddress() {
  QFETCH(QString, text);
  QFETCH(QString, expected);
  QFETCH(QString, ip);
  QFETCH(int, port);
  QFETCH(bool, ipv6);
  TSettingsFixture fx;
  TFormMain form;
  CommonSettings(*form.FormSettings);
  form.FormSettings->RBSelectTCPClick();
  form.FormSettings->EDITServerIP->setText(text);
  CurrentMidLayer = nullptr;
  QCOMPARE(Configure(form), expected);
  if (expected != "OK") {
    QVERIFY(CurrentMidLayer == nullptr);
    return;
  }
  auto& tcp = LowerLayers().TCPClient;
  QCOMPARE(QString::fromStdString(tcp.IP()), ip);
  QCOMPARE(tcp.Port(), port);
  QCOMPARE(tcp.IPVersion() == IPv6, ipv6);
  QCOMPARE(tcp.ConnectTimeout(), 2500);
  QCOMPARE(tcp.ResponseTimeout(), 3500);
  QCOMPARE(tcp.DisconnectToConnectDelay(), 1000);
  QVERIFY(tcp.ShowTraffic());
  QCOMPARE(WRAPPERLayers().WRAPPER(1).SupportingLayer, std::string("TCPClient"));
  QVERIFY(CurrentMidLayer == &MidLayerWRAPPER());
  QVERIFY(MidLayerWRAPPER().WRAPPERLayer == &WRAPPERLayers().WRAPPER(1));
}

void ProfileTest::hdlcAddressing_data() {
  QTest::addColumn<QString>("physical");
  QTest::addColumn<QString>("server");
  QTest::addColumn<int>("size");
  QTest::addColumn<int>("lower");
  QTest::addColumn<int>("upper");  // -1: left to the connect, which sets the server address
  QTest::newRow("no physical address") << "" << "17" << 1 << 0 << 17;
  QTest::newRow("physical 127") << "127" << "1" << 2 << 127 << -1;
  QTest::newRow("physical 128") << "128" << "1" << 4 << 128 << -1;
  QTest::newRow("physical 16383") << "16383" << "1" << 4 << 16383 << -1;
  // A server address above 127 needs the four-byte form too.
  QTest::newRow("upper 128") << "5" << "128" << 4 << 5 << -1;
  QTest::newRow("upper 127") << "5" << "127" << 2 << 5 << -1;
}

void ProfileTest::hdlcAddressing() {
  QFETCH(QString, physical);
  QFETCH(QString, server);
  QFETCH(int, size);
  QFETCH(int, lower);
  QFETCH(int, upper);
  TSettingsFixture fx;
  fx.Settings().Ini().WriteInteger("Misc", "0", 45000);
  TFormMain form;
  TFormSettings& s = *form.FormSettings;
  CommonSettings(s);
  s.RBSelectHDLCClick();
  s.EDITComPort->setText("3");
  s.EDITBaud->setText("19200");
  s.CHKModeE->setChecked(true);
  s.EDITPhysicalAddress->setText(physical);
  s.EDITServerAddress->setText(server);
  QCOMPARE(Configure(form), QStringLiteral("OK"));
  auto& hdlc = HDLCLayers().HDLC(1);
  QCOMPARE(hdlc.ServerAddressSize(), size);
  QCOMPARE(hdlc.ServerLowerAddress(), lower);
  if (upper >= 0) QCOMPARE(hdlc.ServerUpperAddress(), upper);
  QCOMPARE(hdlc.InformationFieldLength, 128u);
  QCOMPARE(hdlc.InactivityTimeout.load(), 45000);
  QCOMPARE(hdlc.SupportingLayer(), std::string("Serial[1]"));
  auto& serial = LowerLayers().Serial(1);
  QCOMPARE(serial.COMNr(), 3);
  QCOMPARE(serial.Baud(), 19200);  // read although Mode E disables the field
  QVERIFY(serial.NeedsMode_E);
  QVERIFY(!serial.NeedsWakeUp);
  QCOMPARE(serial.FormatText(), std::string("8N1"));
  QCOMPARE(serial.ResponseTimeout, 3500);
  QCOMPARE(serial.Mode_E_Delay3, 1000);
  QVERIFY(CurrentMidLayer == &MidLayerHDLC());
  QCOMPARE(MidLayerHDLC().DiscToNDMTimeout, 0);
}

void ProfileTest::settingsMessagesBeforeConnecting_data() {
  QTest::addColumn<QString>("control");
  QTest::addColumn<QString>("value");
  QTest::addColumn<QString>("expected");
  // HDLC address bytes carry seven bits: larger values would reach other stations.
  QTest::newRow("client address") << "EDITClientAddress" << "128" << "\"ClientAddress\", not in the range 0..127";
  QTest::newRow("COM port") << "EDITComPort" << "0" << "\"ComPort\", not in the range 1..2147483647";
  QTest::newRow("baud") << "EDITBaud" << "44" << "\"Baud\", not in the range 45..2147483647";
  QTest::newRow("physical") << "EDITPhysicalAddress" << "16384" << "\"PhysicalAddress\", not in the range 0..16383";
  QTest::newRow("upper address without physical")
      << "EDITServerAddress" << "128" << "\"ServerAddress\", not in the range 1..127";
  QTest::newRow("password") << "CBAuthMechanism" << "1" << "PW missing for low level security";
  QTest::newRow("encryption key") << "CBAuthMechanism" << "2" << "Encryption key: Illegal length";
}

void ProfileTest::settingsMessagesBeforeConnecting() {
  QFETCH(QString, control);
  QFETCH(QString, value);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  TFormMain form;
  TFormSettings& s = *form.FormSettings;
  CommonSettings(s);
  s.RBSelectHDLCClick();
  s.EDITComPort->setText("1");
  s.EDITBaud->setText("9600");
  if (auto* cb = s.findChild<QComboBox*>(control)) cb->setCurrentIndex(value.toInt());
  else s.findChild<QLineEdit*>(control)->setText(value);
  CurrentMidLayer = nullptr;
  QCOMPARE(Configure(form), expected);
  QVERIFY(CurrentMidLayer == nullptr);  // nothing set up, nothing sent
}

QTEST_MAIN(ProfileTest)
#include "ProfileTest.moc"
