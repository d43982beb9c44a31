// The settings turned into a meter profile: TCP address forms, HDLC
// addressing, and settings that stop a command before anything is sent.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "client/MeterProfile.h"

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

// The profile a connect would use; the error text or "OK".
QString Configure(TFormMain& form, client::TMeterProfile* profile = nullptr) {
  try {
    const client::TMeterProfile p = form.ReadLinkSettings(true).Profile;
    if (profile) *profile = p;
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
  void serialDeviceOfTheSettings_data();
  void serialDeviceOfTheSettings();
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
  client::TMeterProfile p;
  QCOMPARE(Configure(form, &p), expected);
  if (expected != "OK") return;
  QVERIFY(p.Transport == client::TTransport::tWrapperTcp);
  QCOMPARE(QString::fromStdString(p.Host), ip);
  QCOMPARE(p.Port, port);
  // The session picks IPv6 for an address with colons.
  QCOMPARE(p.Host.find(':') != std::string::npos, ipv6);
  QCOMPARE(p.ConnectTimeout, 2500);
  QCOMPARE(p.ResponseTimeout, 3500);
  QCOMPARE(p.ClientAddress, 16);
  QCOMPARE(p.ServerAddress, 1);
  QCOMPARE(p.ApplicationContext(), 3);  // LN, no ciphering
}

void ProfileTest::hdlcAddressing_data() {
  QTest::addColumn<QString>("physical");
  QTest::addColumn<QString>("server");
  QTest::addColumn<int>("size");
  QTest::addColumn<int>("lower");  // -1: none, a one-byte server address
  QTest::addColumn<int>("upper");
  QTest::newRow("no physical address") << "" << "17" << 1 << -1 << 17;
  QTest::newRow("physical 127") << "127" << "1" << 2 << 127 << 1;
  QTest::newRow("physical 128") << "128" << "1" << 4 << 128 << 1;
  QTest::newRow("physical 16383") << "16383" << "1" << 4 << 16383 << 1;
  // A server address above 127 needs the four-byte form too.
  QTest::newRow("upper 128") << "5" << "128" << 4 << 5 << 128;
  QTest::newRow("upper 127") << "5" << "127" << 2 << 5 << 127;
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
  client::TMeterProfile p;
  QCOMPARE(Configure(form, &p), QStringLiteral("OK"));
  QVERIFY(p.Transport == client::TTransport::tHdlcSerial);
  QCOMPARE(p.AddressSize, size);
  QCOMPARE(p.PhysicalAddress, lower);
  QCOMPARE(p.ServerAddress, upper);
  QCOMPARE(p.InactivityTimeout, 45000);
  QCOMPARE(p.Device, std::string("/dev/ttyS2"));  // port 3
  QCOMPARE(p.Baud, 19200);  // read although Mode E disables the field
  QVERIFY(p.ModeE);
  QCOMPARE(p.ResponseTimeout, 3500);
}

void ProfileTest::serialDeviceOfTheSettings_data() {
  QTest::addColumn<QString>("comPort");
  QTest::addColumn<QString>("path");
  QTest::addColumn<QString>("device");  // or the message
  QTest::newRow("number") << "3" << "" << "/dev/ttyS2";
  QTest::newRow("USB number") << "101" << "" << "/dev/ttyUSB1";
  QTest::newRow("path wins") << "1" << "/dev/serial/by-id/usb-FTDI-if00-port0" << "/dev/serial/by-id/usb-FTDI-if00-port0";
  QTest::newRow("path without a number") << "" << " /dev/pts/4 " << "/dev/pts/4";
  QTest::newRow("neither") << "" << "" << "\"ComPort\", not in the range 1..2147483647";
}

void ProfileTest::serialDeviceOfTheSettings() {
  QFETCH(QString, comPort);
  QFETCH(QString, path);
  QFETCH(QString, device);
  TSettingsFixture fx;
  TFormMain form;
  TFormSettings& s = *form.FormSettings;
  CommonSettings(s);
  s.RBSelectHDLCClick();
  s.EDITBaud->setText("9600");
  s.EDITComPort->setText(comPort);
  s.EDITDevicePath->setText(path);
  client::TMeterProfile p;
  const QString outcome = Configure(form, &p);
  QCOMPARE(outcome == "OK" ? QString::fromStdString(p.Device) : outcome, device);
  if (outcome == "OK") QCOMPARE(form.MeterText(), path.isEmpty() ? "COM" + comPort : device);
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
  QTest::newRow("encryption key") << "CBAuthMechanism" << "2" << "Encryption key: 32 hex digits expected, 0 given";
  QTest::newRow("HLS secret") << "CBAuthMechanism" << "3" << "HLS secret: a secret is needed for HIGH  (MD5)";
  QTest::newRow("ECDSA") << "CBAuthMechanism" << "6"
                         << "Client signing key (PEM): a file is needed for HIGH  (ECDSA)";
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
  QCOMPARE(Configure(form), expected);
  QVERIFY(!form.LinkConnected());  // nothing set up, nothing sent
}

QTEST_MAIN(ProfileTest)
#include "ProfileTest.moc"
