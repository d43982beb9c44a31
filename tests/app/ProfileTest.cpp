// The settings turned into a meter profile: TCP address forms, HDLC
// addressing, settings that stop a command before anything is sent, and
// the window reaching the profile its saved settings file gives.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/IniFile.h"
#include "app/QuirksBox.h"
#include "client/MeterProfile.h"
#include "xmlpdu/infra/Misc.h"

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

void Choose(QComboBox* cb, const char* item) {
  cb->setCurrentIndex(cb->findText(QLatin1String(item)));
  QVERIFY(cb->currentIndex() >= 0);
}

// Everything a session takes from a profile, one field a line.
QString Rendered(const client::TMeterProfile& p) {
  client::TIniData ini;
  client::ProfileToMeterSection(p, ini, "m");
  return QString::fromStdString(ini.Text() + "inactivity=" + std::to_string(p.InactivityTimeout) + "\n");
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
  void windowAndSavedSettingsGiveOneProfile_data();
  void windowAndSavedSettingsGiveOneProfile();
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

void ProfileTest::windowAndSavedSettingsGiveOneProfile_data() {
  QTest::addColumn<QString>("setup");
  QTest::addColumn<QString>("where");   // host and port, or the serial device
  QTest::addColumn<QString>("secret");  // hex
  QTest::newRow("TCP IPv6, ciphered, text password") << "tcp" << "::1:4060" << "6D65746572";
  QTest::newRow("COM number, physical address, hex HLS secret") << "com" << "/dev/ttyUSB1" << "00FF10";
  QTest::newRow("device path, SN, ECDSA key files, quirks") << "path" << "/dev/pts/4" << "";
}

// The window's controls reach the meter through the very profile that the
// program's settings file, saved by "OK", gives when read back: no rule of
// the conversion lives in the window alone.
void ProfileTest::windowAndSavedSettingsGiveOneProfile() {
  QFETCH(QString, setup);
  QFETCH(QString, where);
  QFETCH(QString, secret);
  TSettingsFixture fx;
  fx.Settings().Ini().WriteInteger("Misc", "0", 45000);
  TFormMain form;
  TFormSettings& s = *form.FormSettings;
  CommonSettings(s);
  s.EDITGUEK->setText("00010203 04050607 08090A0B 0C0D0E0F");
  s.EDITGAK->setText("101112131415161718191A1B1C1D1E1F");
  s.EDITServerSystemTitle->setText("51534D0000000001");
  if (setup == "tcp") {
    s.RBSelectTCPClick();
    s.EDITServerIP->setText("[::1]:4060");
    Choose(s.CBReferencingModel, "LN with ciphering");
    Choose(s.CBProtectionOnRequest, "Encryption");
    Choose(s.CBAuthMechanism, "LOW");
    s.SetPasswordAsHex(false);
    s.PWTextEdit->setText("meter");
  } else {
    s.RBSelectHDLCClick();
    s.EDITBaud->setText("19200");
    if (setup == "com") {
      s.EDITComPort->setText("101");
      s.EDITPhysicalAddress->setText("200");
      s.EDITServerAddress->setText("5");
      s.CHKModeE->setChecked(true);
      Choose(s.CBAuthMechanism, "HIGH  (MD5)");
      s.SetPasswordAsHex(true);
      s.EDITPW->setText("00 FF 10");
    } else {
      s.EDITComPort->setText("1");
      s.EDITDevicePath->setText(" /dev/pts/4 ");
      Choose(s.CBReferencingModel, "SN");
      Choose(s.CBAuthMechanism, "HIGH  (ECDSA)");
      s.EDITClientSigningKeyFile->setText("/keys/client.pem ");
      s.EDITServerSigningKeyFile->setText("/keys/meter.pem");
      s.Quirks->SetText("no-rlrq,max-pdu=512");
    }
  }
  const client::TMeterProfile fromWindow = form.ReadLinkSettings(true).Profile;
  s.AcceptSettings();
  const client::TMeterProfile fromFile =
      client::ProfileFromSettings(client::TIniData::Load(fx.Settings().Ini().FileName().toStdString()));
  QCOMPARE(Rendered(fromWindow), Rendered(fromFile));
  // ... and that profile is the one the controls describe.
  const QString reached = fromWindow.Transport == client::TTransport::tHdlcSerial
                              ? QString::fromStdString(fromWindow.Device)
                              : QStringLiteral("%1:%2").arg(QString::fromStdString(fromWindow.Host)).arg(fromWindow.Port);
  QCOMPARE(reached, where);
  QCOMPARE(QString::fromStdString(TMisc::ByteStrToHexStr(fromWindow.Secret)), secret);
  QCOMPARE(fromWindow.InactivityTimeout, setup == "tcp" ? 30000 : 45000);
  if (setup == "com") QCOMPARE(fromWindow.AddressSize, 4);
  if (setup == "path") {
    QCOMPARE(fromWindow.Suite, 1);
    QCOMPARE(fromWindow.ClientSigningKeyFile, std::string("/keys/client.pem"));
    QCOMPARE(fromWindow.Quirks.Text(), std::string("max-pdu=512,no-rlrq"));
  }
}

QTEST_MAIN(ProfileTest)
#include "ProfileTest.moc"
