// The settings dialog's accessors and messages, and its files.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <sys/stat.h>

#include "AppTestSupport.h"
#include "app/FileDialogs.h"
#include "app/FormTraffic.h"
#include "app/FormSettings.h"
#include "app/IniFile.h"
#include "app/QuirksBox.h"
#include "xmlpdu/infra/Misc.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// Calls `f`; returns the error text, or "OK:<value>" when it succeeded.
template <typename F>
QString Outcome(F f) {
  try {
    return QStringLiteral("OK:") + f();
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
}

// A combo box's section as a settings file holds it.
void WriteCombo(TIniFile& f, const QString& control, const QStringList& items, int selected) {
  const QString section = "FormSettings." + control;
  f.WriteInteger(section, "c", static_cast<int>(items.size()));
  for (int i = 0; i < items.size(); ++i) f.WriteString(section, QString::number(i), items[i]);
  f.WriteInteger(section, "i", selected);
}

int FileMode(const QString& path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 0777);
}

}  // namespace

class SettingsTest : public QObject {
  Q_OBJECT
private slots:
  void intValue_data();
  void intValue();
  void comboAccessors_data();
  void comboAccessors();
  void hexAccessors_data();
  void hexAccessors();
  void passwordTextOrHex_data();
  void passwordTextOrHex();
  void secretsHiddenUntilShown();
  void fieldsFollowTheMechanism_data();
  void fieldsFollowTheMechanism();
  void securityProblemShownAsTyped_data();
  void securityProblemShownAsTyped();
  void olderFilesKeepTheAddedMechanisms();
  void serialDevicePicker();
  void meterSystemTitleOffer_data();
  void meterSystemTitleOffer();
  void saveLoadRoundTripOfEveryControl();
  void missingKeysLeaveControlsUnchanged();
  void loadedComboItemsReplaceTheList();
  void okNeedsReferencingModelAndMechanism();
  void modeEDisablesBaudButKeepsItReadable();
  void profileChoiceIsExclusive();
  void txtExtensionRules_data();
  void txtExtensionRules();
  void iniFileIsPrivateAndKeepsValues();
  void instancesClaimSeparateFolders();
  void unwritableSettingsFileKeepsFileCommandsRunning();
  void firstRunDefaultsOnlyOnce();
  void addressesRefusedWhereEntered_data();
  void addressesRefusedWhereEntered();
  void okRefusesAWrongField_data();
  void okRefusesAWrongField();
  void securityFieldsExplainThemselves();
};

void SettingsTest::intValue_data() {
  QTest::addColumn<QString>("control");
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("min");
  QTest::addColumn<int>("max");
  QTest::addColumn<QString>("expected");
  const QString client = QStringLiteral("EDITClientAddress");
  const QString clientRange = QStringLiteral("\"ClientAddress\", not in the range 0..255");
  QTest::newRow("lowest") << client << "0" << 0 << 255 << "OK:0";
  QTest::newRow("highest") << client << "255" << 0 << 255 << "OK:255";
  QTest::newRow("one above") << client << "256" << 0 << 255 << clientRange;
  QTest::newRow("negative") << client << "-1" << 0 << 255 << clientRange;
  QTest::newRow("letters") << client << "abc" << 0 << 255 << clientRange;
  QTest::newRow("empty") << client << "" << 0 << 255 << clientRange;
  QTest::newRow("hex is no integer") << client << "0x10" << 0 << 255 << clientRange;
  QTest::newRow("blanks around") << client << " 17 " << 0 << 255 << "OK:17";
  QTest::newRow("int32 max") << "EDITServerAddress" << "2147483647" << 0 << 2147483647 << "OK:2147483647";
  QTest::newRow("beyond int32")
      << "EDITServerAddress" << "2147483648" << 0 << 2147483647
      << "\"ServerAddress\", not in the range 0..2147483647";
  QTest::newRow("COM port zero") << "EDITComPort" << "0" << 1 << 2147483647
                                 << "\"ComPort\", not in the range 1..2147483647";
  QTest::newRow("physical address") << "EDITPhysicalAddress" << "16384" << 0 << 16383
                                    << "\"PhysicalAddress\", not in the range 0..16383";
}

void SettingsTest::intValue() {
  QFETCH(QString, control);
  QFETCH(QString, text);
  QFETCH(int, min);
  QFETCH(int, max);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  TFormSettings dlg;
  auto* edit = dlg.findChild<QLineEdit*>(control);
  QVERIFY(edit);
  edit->setText(text);
  QCOMPARE(Outcome([&] { return QString::number(dlg.GetIntValue(edit, min, max)); }), expected);
}

void SettingsTest::comboAccessors_data() {
  QTest::addColumn<QString>("combo");
  QTest::addColumn<int>("index");
  QTest::addColumn<QString>("expected");
  QTest::newRow("LN") << "CBReferencingModel" << 0 << "OK:3";
  QTest::newRow("LN ciphered") << "CBReferencingModel" << 1 << "OK:4";
  QTest::newRow("SN") << "CBReferencingModel" << 2 << "OK:1";
  QTest::newRow("SN ciphered") << "CBReferencingModel" << 3 << "OK:2";
  QTest::newRow("no model") << "CBReferencingModel" << -1 << "No referencing model specified";
  QTest::newRow("NO") << "CBAuthMechanism" << 0 << "OK:1";
  QTest::newRow("LOW") << "CBAuthMechanism" << 1 << "OK:2";
  QTest::newRow("HIGH GMAC") << "CBAuthMechanism" << 2 << "OK:6";
  QTest::newRow("HIGH MD5") << "CBAuthMechanism" << 3 << "OK:4";
  QTest::newRow("HIGH SHA-1") << "CBAuthMechanism" << 4 << "OK:5";
  QTest::newRow("HIGH SHA-256") << "CBAuthMechanism" << 5 << "OK:7";
  QTest::newRow("HIGH ECDSA") << "CBAuthMechanism" << 6 << "OK:8";
  QTest::newRow("no mechanism") << "CBAuthMechanism" << -1 << "No security mechanism specified";
  QTest::newRow("No protection") << "CBProtectionOnRequest" << 0 << "OK:0";
  QTest::newRow("Authentication") << "CBProtectionOnRequest" << 1 << "OK:1";
  QTest::newRow("Encryption") << "CBProtectionOnRequest" << 2 << "OK:2";
  QTest::newRow("both") << "CBProtectionOnRequest" << 3 << "OK:3";
  QTest::newRow("no protection choice") << "CBProtectionOnRequest" << -1 << "No protection on request specified";
}

void SettingsTest::comboAccessors() {
  QFETCH(QString, combo);
  QFETCH(int, index);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  TFormSettings dlg;
  auto* cb = dlg.findChild<QComboBox*>(combo);
  QVERIFY(cb);
  cb->setCurrentIndex(index);
  const QString got = Outcome([&] {
    if (cb == dlg.CBReferencingModel) return QString::number(dlg.GetReferencingModel());
    if (cb == dlg.CBAuthMechanism) return QString::number(dlg.GetMechanismName());
    return QString::number(dlg.GetProtectionOnRequestToApply());
  });
  QCOMPARE(got, expected);
}

void SettingsTest::hexAccessors_data() {
  QTest::addColumn<QString>("control");
  QTest::addColumn<int>("mechanism");  // index of the authentication item
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("expected");
  const QString key32 = QStringLiteral("000102030405060708090A0B0C0D0E0F");
  QTest::newRow("key ok") << "EDITGUEK" << 2 << key32 << "OK:" + key32;
  QTest::newRow("key lower case") << "EDITGUEK" << 2 << key32.toLower() << "OK:" + key32.toLower();
  QTest::newRow("key in groups") << "EDITGUEK" << 2 << "00010203 04050607 08090A0B 0C0D0E0F"
                                 << "OK:00010203 04050607 08090A0B 0C0D0E0F";
  QTest::newRow("key 31 digits") << "EDITGUEK" << 2 << key32.left(31)
                                 << "Encryption key: 32 hex digits expected, 31 given";
  QTest::newRow("key 34 digits") << "EDITGUEK" << 2 << key32 + "10" << "Encryption key: 32 hex digits expected, 34 given";
  QTest::newRow("key empty") << "EDITGUEK" << 2 << "" << "Encryption key: 32 hex digits expected, 0 given";
  QTest::newRow("key bad digit") << "EDITGUEK" << 2 << "G" + key32.mid(1) << "Encryption key: Illegal hex-character";
  QTest::newRow("auth key empty") << "EDITGAK" << 2 << "" << "OK:";
  QTest::newRow("auth key ok") << "EDITGAK" << 2 << key32 << "OK:" + key32;
  QTest::newRow("auth key short") << "EDITGAK" << 2 << key32.left(30)
                                  << "Authentication key: 32 hex digits expected, 30 given";
  QTest::newRow("title ok") << "EDITServerSystemTitle" << 2 << "4D4D4D0000BC614E" << "OK:4D4D4D0000BC614E";
  QTest::newRow("title odd") << "EDITServerSystemTitle" << 2 << "4D4D4D0000BC614"
                             << "Meter system title: 16 hex digits expected, 15 given";
  QTest::newRow("title empty") << "EDITServerSystemTitle" << 2 << ""
                               << "Meter system title: 16 hex digits expected, 0 given";
  QTest::newRow("password ok") << "EDITPW" << 1 << "31 32" << "OK:3132";
  QTest::newRow("password odd") << "EDITPW" << 1 << "3132333"
                                << "Low security PW: an even number of hex digits expected, 7 given";
  QTest::newRow("HLS secret bad digit") << "EDITPW" << 3 << "31x2" << "HLS secret: Illegal hex-character";
  QTest::newRow("SHA-256 secret odd") << "EDITPW" << 5 << "1"
                                      << "HLS secret: an even number of hex digits expected, 1 given";
}

void SettingsTest::hexAccessors() {
  QFETCH(QString, control);
  QFETCH(int, mechanism);
  QFETCH(QString, text);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  TFormSettings dlg;
  dlg.CBAuthMechanism->setCurrentIndex(mechanism);
  auto* edit = dlg.findChild<QLineEdit*>(control);
  QVERIFY(edit);
  edit->setText(text);
  const QString got = Outcome([&] {
    if (edit == dlg.EDITGUEK) return dlg.GetHexGUEK();
    if (edit == dlg.EDITGAK) return dlg.GetHexGAK();
    if (edit == dlg.EDITPW) return QString::fromStdString(TMisc::ByteStrToHexStr(dlg.GetPasswordBytes()));
    return dlg.GetHexServerSystemTitle();
  });
  QCOMPARE(got, expected);
  // The message names the field as its label does.
  const QMap<QLineEdit*, QLabel*> labels{{dlg.EDITGUEK, dlg.LBLGUEK},
                                         {dlg.EDITGAK, dlg.LBLGAK},
                                         {dlg.EDITServerSystemTitle, dlg.LBLServerSystemTitle},
                                         {dlg.EDITPW, dlg.LBLPW}};
  if (!got.startsWith(QLatin1String("OK:"))) QVERIFY2(got.startsWith(labels[edit]->text() + " "), qPrintable(got));
}

void SettingsTest::passwordTextOrHex_data() {
  QTest::addColumn<QString>("hex");        // EDITPW, as the settings keep it
  QTest::addColumn<bool>("shownAsHex");    // the view the field comes up in
  QTest::addColumn<QString>("text");       // the text field then
  QTest::addColumn<QString>("toText");     // switching to text: "OK" or the message
  QTest::newRow("text") << "3132333435363738" << false << "12345678" << "OK";
  QTest::newRow("UTF-8 text") << "5AC3A4686C6572" << false << QStringLiteral("Z\u00E4hler") << "OK";
  QTest::newRow("empty") << "" << false << "" << "OK";
  QTest::newRow("control byte") << "0031" << true << "" << "Low security PW: the bytes are no text; they stay in hex";
  QTest::newRow("no UTF-8") << "FF41" << true << "" << "Low security PW: the bytes are no text; they stay in hex";
  QTest::newRow("odd hex") << "313" << true << ""
                           << "Low security PW: an even number of hex digits expected, 3 given";
}

void SettingsTest::passwordTextOrHex() {
  QFETCH(QString, hex);
  QFETCH(bool, shownAsHex);
  QFETCH(QString, text);
  QFETCH(QString, toText);
  TSettingsFixture fx;
  TFormSettings dlg;
  dlg.CBAuthMechanism->setCurrentIndex(1);  // LOW
  QVERIFY(!dlg.PasswordAsHex());            // text by default
  QVERIFY(dlg.EDITPW->isHidden() && !dlg.PWTextEdit->isHidden());

  // What the settings hold comes up as text where the bytes are text.
  dlg.EDITPW->setText(hex);
  QCOMPARE(dlg.PasswordAsHex(), shownAsHex);
  QCOMPARE(dlg.EDITPW->isHidden(), !shownAsHex);
  QCOMPARE(dlg.PWTextEdit->isHidden(), shownAsHex);
  if (!shownAsHex) QCOMPARE(dlg.PWTextEdit->text(), text);

  // Hex and back to text keeps the bytes.
  dlg.SetPasswordAsHex(true);
  QCOMPARE(dlg.EDITPW->text(), hex);
  const QString got = Outcome([&] {
    dlg.SetPasswordAsHex(false);
    return QString();
  });
  QCOMPARE(got, toText == "OK" ? QStringLiteral("OK:") : toText);
  QCOMPARE(dlg.PasswordAsHex(), toText != "OK");
  QCOMPARE(dlg.EDITPW->text(), hex);
  if (toText != "OK") return;
  QCOMPARE(dlg.PWTextEdit->text(), text);

  // Typing text stores its UTF-8 bytes as hex; a saved file brings the text back.
  dlg.PWTextEdit->setText(text + QStringLiteral("\u00B5"));
  QCOMPARE(dlg.EDITPW->text(), hex + "C2B5");
  dlg.SaveLoadSettings(true, fx.Path("pw.txt"));
  QCOMPARE(TIniFile(fx.Path("pw.txt")).ReadString("FormSettings", "EDITPW"), hex + "C2B5");
  TFormSettings other;
  other.SaveLoadSettings(false, fx.Path("pw.txt"));
  QVERIFY(!other.PasswordAsHex());
  QCOMPARE(other.PWTextEdit->text(), text + QStringLiteral("\u00B5"));
}

void SettingsTest::secretsHiddenUntilShown() {
  TSettingsFixture fx;
  TFormSettings dlg;
  const QList<QLineEdit*> secrets{dlg.EDITPW, dlg.PWTextEdit, dlg.EDITGUEK, dlg.EDITGAK};
  for (QLineEdit* e : secrets) QCOMPARE(e->echoMode(), QLineEdit::Password);
  QCOMPARE(dlg.EDITServerSystemTitle->echoMode(), QLineEdit::Normal);
  dlg.CHKShowSecrets->click();
  for (QLineEdit* e : secrets) QCOMPARE(e->echoMode(), QLineEdit::Normal);
  dlg.CHKShowSecrets->click();
  for (QLineEdit* e : secrets) QCOMPARE(e->echoMode(), QLineEdit::Password);
}

void SettingsTest::fieldsFollowTheMechanism_data() {
  QTest::addColumn<int>("model");
  QTest::addColumn<int>("mechanism");
  QTest::addColumn<QString>("enabled");  // password, keys, title, signing key files
  QTest::addColumn<QString>("caption");
  QTest::newRow("NO") << 0 << 0 << "----" << "Low security PW:";
  QTest::newRow("LOW") << 0 << 1 << "P---" << "Low security PW:";
  QTest::newRow("GMAC") << 0 << 2 << "-KT-" << "Low security PW:";
  QTest::newRow("MD5") << 0 << 3 << "P---" << "HLS secret:";
  QTest::newRow("SHA-1") << 0 << 4 << "P---" << "HLS secret:";
  QTest::newRow("SHA-256") << 0 << 5 << "P-T-" << "HLS secret:";
  QTest::newRow("ECDSA") << 0 << 6 << "-KTS" << "Low security PW:";
  QTest::newRow("ciphered LOW") << 1 << 1 << "PKT-" << "Low security PW:";
}

void SettingsTest::fieldsFollowTheMechanism() {
  QFETCH(int, model);
  QFETCH(int, mechanism);
  QFETCH(QString, enabled);
  QFETCH(QString, caption);
  TSettingsFixture fx;
  TFormSettings dlg;
  dlg.CBReferencingModel->setCurrentIndex(model);
  dlg.CBAuthMechanism->setCurrentIndex(mechanism);
  const QString got = QString(dlg.EDITPW->isEnabled() ? "P" : "-") + (dlg.EDITGUEK->isEnabled() ? "K" : "-") +
                      (dlg.EDITServerSystemTitle->isEnabled() ? "T" : "-") +
                      (dlg.EDITClientSigningKeyFile->isEnabled() ? "S" : "-");
  QCOMPARE(got, enabled);
  QCOMPARE(dlg.LBLPW->text(), caption);
  QCOMPARE(dlg.PasswordCaption(), caption);
}

void SettingsTest::securityProblemShownAsTyped_data() {
  QTest::addColumn<int>("model");
  QTest::addColumn<int>("mechanism");
  QTest::addColumn<QString>("password");  // hex, as the settings keep it
  QTest::addColumn<QString>("key");       // encryption key
  QTest::addColumn<QString>("title");
  QTest::addColumn<QString>("problem");
  const QString key = QStringLiteral("000102030405060708090A0B0C0D0E0F");
  QTest::newRow("LOW, fine") << 0 << 1 << "3132" << "" << "" << "";
  QTest::newRow("LOW, odd hex") << 0 << 1 << "313" << key << "51" << "Low security PW: an even number of hex digits expected, 3 given";
  QTest::newRow("GMAC, key short") << 0 << 2 << "313" << key.left(30) << "5153494D00000001"
                                   << "Encryption key: 32 hex digits expected, 30 given";
  QTest::newRow("GMAC, no title") << 0 << 2 << "" << key << "" << "Meter system title: 16 hex digits expected, 0 given";
  QTest::newRow("GMAC, fine") << 0 << 2 << "" << key << "5153494D00000001" << "";
  QTest::newRow("SHA-256, title only") << 0 << 5 << "3132" << "" << "51" << "Meter system title: 16 hex digits expected, 2 given";
  QTest::newRow("ciphered NO, key") << 1 << 0 << "" << "" << "5153494D00000001"
                                    << "Encryption key: 32 hex digits expected, 0 given";
  QTest::newRow("NO, nothing used") << 0 << 0 << "313" << "x" << "y" << "";
}

void SettingsTest::securityProblemShownAsTyped() {
  QFETCH(int, model);
  QFETCH(int, mechanism);
  QFETCH(QString, password);
  QFETCH(QString, key);
  QFETCH(QString, title);
  QFETCH(QString, problem);
  TSettingsFixture fx;
  TFormSettings dlg;
  dlg.CBReferencingModel->setCurrentIndex(model);
  dlg.CBAuthMechanism->setCurrentIndex(mechanism);
  dlg.EDITPW->setText(password);
  dlg.EDITGUEK->setText(key);
  dlg.EDITServerSystemTitle->setText(title);
  QCOMPARE(dlg.SecurityProblem(), problem);
  QCOMPARE(dlg.LBLSecurityProblem->text(), problem);
  QCOMPARE(dlg.LBLSecurityProblem->isHidden(), problem.isEmpty());
}

void SettingsTest::olderFilesKeepTheAddedMechanisms() {
  // A file from before the HLS mechanisms: three items, GMAC chosen.
  TSettingsFixture fx;
  TIniFile f(fx.Path("old.txt"));
  WriteCombo(f, "CBAuthMechanism", {"NO", "LOW", "HIGH  (GMAC)"}, 2);
  f.WriteString("FormSettings", "EDITComPort", "101");
  f.UpdateFile();
  TFormSettings dlg;
  dlg.SaveLoadSettings(false, f.FileName());
  QCOMPARE(dlg.GetMechanismName(), 6);
  QStringList items;
  for (int i = 0; i < dlg.CBAuthMechanism->count(); ++i) items << dlg.CBAuthMechanism->itemText(i);
  QCOMPARE(items, (QStringList{"NO", "LOW", "HIGH  (GMAC)", "HIGH  (MD5)", "HIGH  (SHA-1)", "HIGH  (SHA-256)",
                               "HIGH  (ECDSA)"}));
  // No device path in such a file: the COM number names the port.
  QCOMPARE(dlg.EDITDevicePath->text(), QString());
  QCOMPARE(dlg.EDITComPort->text(), QStringLiteral("101"));
}

void SettingsTest::serialDevicePicker() {
  TSettingsFixture fx;
  const QString root = fx.Path("dev");
  QVERIFY(QDir().mkpath(root + "/serial/by-id"));
  for (const char* n : {"serial/by-id/usb-FTDI_FT232R-if00-port0", "serial/by-id/usb-Optical_Probe-if00", "ttyUSB10",
                        "ttyUSB2", "ttyACM0", "ttyS10", "ttyS2", "ttyS0", "tty0", "ttyAMA0", "null"}) {
    QFile f(root + "/" + n);
    QVERIFY(f.open(QIODevice::WriteOnly));
  }
  const QStringList expected{root + "/serial/by-id/usb-FTDI_FT232R-if00-port0",
                             root + "/serial/by-id/usb-Optical_Probe-if00",
                             root + "/ttyUSB2",
                             root + "/ttyUSB10",
                             root + "/ttyACM0",
                             root + "/ttyS0",
                             root + "/ttyS2",
                             root + "/ttyS10"};
  QCOMPARE(TFormSettings::SerialDeviceCandidates(root), expected);

  // Choosing one from the picker puts its path in the settings.
  TFormSettings dlg;
  QMenu menu;
  dlg.FillDeviceMenu(&menu, root);
  QCOMPARE(menu.actions().size(), expected.size());
  menu.actions()[2]->trigger();
  QCOMPARE(dlg.EDITDevicePath->text(), root + "/ttyUSB2");
  // Nothing present: the menu says so.
  dlg.FillDeviceMenu(&menu, fx.Path("none"));
  QCOMPARE(menu.actions().size(), 1);
  QCOMPARE(menu.actions()[0]->text(), QStringLiteral("(no serial ports found)"));
  QVERIFY(!menu.actions()[0]->isEnabled());
}

void SettingsTest::meterSystemTitleOffer_data() {
  QTest::addColumn<QString>("field");
  QTest::addColumn<QString>("announced");
  QTest::addColumn<bool>("offered");
  QTest::newRow("field empty") << "" << "5153494D00000001" << true;
  QTest::newRow("another title") << "5153494D00000002" << "5153494D00000001" << true;
  QTest::newRow("field no hex") << "QSM" << "5153494D00000001" << true;
  QTest::newRow("same title") << "5153494D00000001" << "5153494D00000001" << false;
  QTest::newRow("same, other spelling") << "5153494d 00000001" << "5153494D00000001" << false;
  QTest::newRow("none announced") << "5153494D00000002" << "" << false;
}

void SettingsTest::meterSystemTitleOffer() {
  QFETCH(QString, field);
  QFETCH(QString, announced);
  QFETCH(bool, offered);
  TSettingsFixture fx;
  TFormSettings dlg;
  dlg.EDITServerSystemTitle->setText(field);
  QCOMPARE(dlg.OfferMeterSystemTitle(announced), offered);
  QCOMPARE(!dlg.BTNUseMeterSystemTitle->isHidden(), offered);
  // Offering never changes the field; taking the offer does.
  QCOMPARE(dlg.EDITServerSystemTitle->text(), field);
  if (!offered) return;
  QCOMPARE(dlg.BTNUseMeterSystemTitle->text(), QStringLiteral("Use the meter's system title 5153494D00000001"));
  dlg.BTNUseMeterSystemTitle->click();
  QCOMPARE(dlg.EDITServerSystemTitle->text(), QStringLiteral("5153494D00000001"));
  QVERIFY(dlg.BTNUseMeterSystemTitle->isHidden());
}

namespace {

// Gives every persisted control a value that differs from its neighbours'.
void FillDistinct(TFormSettings& d) {
  int n = 0;
  for (QLineEdit* e : d.findChildren<QLineEdit*>())
    if (e->objectName().startsWith(QLatin1String("EDIT"))) e->setText(QStringLiteral("v%1 with blank").arg(++n));
  // Addresses must be ones the profiles can carry, or loading refuses the file.
  d.EDITClientAddress->setText(QStringLiteral("33"));
  d.EDITServerAddress->setText(QStringLiteral("44"));
  d.EDITPhysicalAddress->setText(QStringLiteral("55"));
  d.RBSelectHDLCClick();
  d.CHKModeE->setChecked(true);
  d.Quirks->Strict()->setChecked(true);
  d.CBReferencingModel->setCurrentIndex(3);
  d.CBAuthMechanism->setCurrentIndex(2);
  d.CBProtectionOnRequest->setCurrentIndex(1);
}

struct TSnapshot {
  QStringList Edits;
  bool Tcp, Hdlc, ModeE, Strict;
  int Model, Mechanism, Protection;
  bool operator==(const TSnapshot&) const = default;
};

TSnapshot Snap(const TFormSettings& d) {
  TSnapshot s;
  for (const QLineEdit* e : d.findChildren<QLineEdit*>())
    if (e->objectName().startsWith(QLatin1String("EDIT"))) s.Edits << e->objectName() + "=" + e->text();
  s.Tcp = d.RBSelectTCP->isChecked();
  s.Hdlc = d.RBSelectHDLC->isChecked();
  s.ModeE = d.CHKModeE->isChecked();
  s.Strict = d.Quirks->Strict()->isChecked();
  s.Model = d.CBReferencingModel->currentIndex();
  s.Mechanism = d.CBAuthMechanism->currentIndex();
  s.Protection = d.CBProtectionOnRequest->currentIndex();
  return s;
}

}  // namespace

void SettingsTest::saveLoadRoundTripOfEveryControl() {
  TSettingsFixture fx;
  TFormSettings a;
  FillDistinct(a);
  const QString file = ForceTxtExtension(fx.Path("meter"));
  QCOMPARE(file, fx.Path("meter.txt"));
  a.SaveLoadSettings(true, file);
  QCOMPARE(FileMode(file), 0600);

  // The file names the edit, radio and check keys and the three combo sections.
  TIniFile ini(file);
  for (const char* key : {"EDITOLFileName", "RBSelectTCP", "EDITServerIP", "EDITComPort", "EDITBaud", "CHKModeE",
                          "EDITPhysicalAddress", "RBSelectHDLC", "EDITPW", "EDITGUEK", "EDITGAK",
                          "EDITServerSystemTitle", "EDITConnectTimeout", "EDITResponseTimeout",
                          "EDITClientAddress", "EDITServerAddress", "CHKStrict"})
    QVERIFY2(ini.ValueExists("FormSettings", key), key);
  QCOMPARE(ini.ReadString("FormSettings.CBAuthMechanism", "c"), QStringLiteral("7"));
  QCOMPARE(ini.ReadString("FormSettings.CBAuthMechanism", "2"), QStringLiteral("HIGH  (GMAC)"));
  QCOMPARE(ini.ReadString("FormSettings.CBAuthMechanism", "i"), QStringLiteral("2"));
  QCOMPARE(ini.ReadString("FormSettings", "RBSelectTCP"), QStringLiteral("0"));
  QCOMPARE(ini.ReadString("FormSettings", "RBSelectHDLC"), QStringLiteral("1"));

  TFormSettings b;  // starts from the (empty) program settings file
  QVERIFY(!(Snap(a) == Snap(b)));
  b.SaveLoadSettings(false, file);
  QVERIFY(Snap(a) == Snap(b));
  QVERIFY(!b.EDITBaud->isEnabled());  // Mode E came back checked

  // The other profile survives the trip as well.
  a.RBSelectTCPClick();
  a.CHKModeE->setChecked(false);
  a.SaveLoadSettings(true, file);
  b.SaveLoadSettings(false, file);
  QVERIFY(Snap(a) == Snap(b));
}

void SettingsTest::missingKeysLeaveControlsUnchanged() {
  TSettingsFixture fx;
  TFormSettings d;
  FillDistinct(d);
  const TSnapshot before = Snap(d);
  TIniFile partial(fx.Path("partial.txt"));
  partial.WriteString("FormSettings", "EDITServerIP", "127.0.0.1:4059");
  partial.UpdateFile();
  d.SaveLoadSettings(false, partial.FileName());
  TSnapshot after = Snap(d);
  QCOMPARE(d.EDITServerIP->text(), QStringLiteral("127.0.0.1:4059"));
  after.Edits.replaceInStrings("EDITServerIP=127.0.0.1:4059", before.Edits.filter("EDITServerIP").value(0));
  QVERIFY(before == after);
}

void SettingsTest::loadedComboItemsReplaceTheList() {
  TSettingsFixture fx;
  TIniFile f(fx.Path("items.txt"));
  WriteCombo(f, "CBReferencingModel", {"Something else", "SN"}, 1);
  // A count that the file does not back up must not create phantom items.
  f.WriteInteger("FormSettings.CBAuthMechanism", "c", 1000000);
  f.WriteString("FormSettings.CBAuthMechanism", "0", "LOW");
  f.WriteInteger("FormSettings.CBAuthMechanism", "i", 0);
  f.UpdateFile();
  TFormSettings d;
  d.SaveLoadSettings(false, f.FileName());
  QCOMPARE(d.CBReferencingModel->count(), 2);
  QCOMPARE(d.GetReferencingModel(), 1);
  QCOMPARE(d.CBAuthMechanism->count(), 1);
  QCOMPARE(d.GetMechanismName(), 2);
  d.CBReferencingModel->setCurrentIndex(0);
  QCOMPARE(Outcome([&] { return QString::number(d.GetReferencingModel()); }),
           QStringLiteral("No referencing model specified"));
}

void SettingsTest::okNeedsReferencingModelAndMechanism() {
  TSettingsFixture fx;
  {
    TFormSettings d;
    d.EDITServerIP->setText("[::1]:4059");
    QCOMPARE(Outcome([&] { d.AcceptSettings(); return QString(); }), QStringLiteral("No referencing model specified"));
    d.CBReferencingModel->setCurrentIndex(0);
    QCOMPARE(Outcome([&] { d.AcceptSettings(); return QString(); }), QStringLiteral("No security mechanism specified"));
    QVERIFY(!QFile::exists(fx.Settings().Ini().FileName()));  // nothing saved while refused
    // Through the button the dialog shows the message and stays open.
    d.open();
    d.CBReferencingModel->setCurrentIndex(-1);
    const QString shown = RunAndCatchMessageBox([&] { d.BTNOkClick(); });
    QCOMPARE(shown, QStringLiteral("No referencing model specified"));
    QVERIFY(d.isVisible());
    d.CBReferencingModel->setCurrentIndex(0);
    d.CBAuthMechanism->setCurrentIndex(0);
    d.BTNOkClick();
    QVERIFY(!d.isVisible());
    QCOMPARE(d.result(), int(QDialog::Accepted));
  }
  QCOMPARE(FileMode(fx.Settings().Ini().FileName()), 0600);
  // A new dialog (program start) loads what OK saved.
  TFormSettings again;
  QCOMPARE(again.EDITServerIP->text(), QStringLiteral("[::1]:4059"));
  QCOMPARE(again.GetReferencingModel(), 3);
  QCOMPARE(again.GetMechanismName(), 1);
}

void SettingsTest::modeEDisablesBaudButKeepsItReadable() {
  TSettingsFixture fx;
  TFormSettings d;
  d.EDITBaud->setText("9600");
  QVERIFY(d.EDITBaud->isEnabled());
  d.CHKModeE->click();
  QVERIFY(!d.EDITBaud->isEnabled());
  QVERIFY(!d.LBLBaud->isEnabled());
  QCOMPARE(d.GetIntValue(d.EDITBaud, 45, 2147483647), 9600);
  d.CHKModeE->click();
  QVERIFY(d.EDITBaud->isEnabled());
}

void SettingsTest::profileChoiceIsExclusive() {
  TSettingsFixture fx;
  TFormSettings d;
  QVERIFY(!d.RBSelectTCP->isChecked() && !d.RBSelectHDLC->isChecked());
  d.RBSelectTCP->click();
  QVERIFY(d.RBSelectTCP->isChecked() && !d.RBSelectHDLC->isChecked());
  d.RBSelectHDLC->click();
  QVERIFY(!d.RBSelectTCP->isChecked() && d.RBSelectHDLC->isChecked());
  d.RBSelectHDLC->click();  // clicking the chosen one keeps it chosen
  QVERIFY(!d.RBSelectTCP->isChecked() && d.RBSelectHDLC->isChecked());
}

void SettingsTest::txtExtensionRules_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("forced");
  QTest::addColumn<QString>("changed");
  QTest::newRow("upper case kept") << "/d/log.TXT" << "/d/log.TXT" << "/d/log.txt";
  QTest::newRow("none") << "/d/log" << "/d/log.txt" << "/d/log.txt";
  QTest::newRow("other") << "/d/log.csv" << "/d/log.csv.txt" << "/d/log.txt";
  QTest::newRow("dot in folder") << "/d.x/log" << "/d.x/log.txt" << "/d.x/log.txt";
}

void SettingsTest::txtExtensionRules() {
  QFETCH(QString, name);
  QFETCH(QString, forced);
  QFETCH(QString, changed);
  QCOMPARE(ForceTxtExtension(name), forced);
  QCOMPARE(ChangeExtensionToTxt(name), changed);
}

void SettingsTest::iniFileIsPrivateAndKeepsValues() {
  QTemporaryDir dir;
  const QString path = dir.filePath("sub/x.ini");
  {
    TIniFile ini(path);
    ini.WriteString("Keys", "PW", " 30 31 32 ");
    ini.WriteString("Keys", "Multi", "first\nsecond=1");
    ini.WriteInteger("Misc", "Split", 25000);
    ini.UpdateFile();
  }
  QCOMPARE(FileMode(path), 0600);
  QCOMPARE(QDir(dir.filePath("sub")).entryList(QDir::Files), QStringList{"x.ini"});  // no temporary left
  TIniFile back(path);
  QCOMPARE(back.ReadString("keys", "pw"), QStringLiteral(" 30 31 32 "));
  QCOMPARE(back.ReadString("Keys", "Multi"), QStringLiteral("first"));
  QVERIFY(!back.ValueExists("Keys", "second"));
  QCOMPARE(back.ReadInteger("Misc", "Split", 50000), 25000);
  QCOMPARE(back.ReadInteger("Misc", "Missing", 50000), 50000);
  QCOMPARE(back.ReadInteger("Keys", "PW", 7), 7);  // no integer: default
}

void SettingsTest::instancesClaimSeparateFolders() {
  QTemporaryDir dir;
  const QString base = dir.filePath("quillon/7.1");
  auto first = std::make_unique<TAppSettings>("quillon", dir.path(), "/nonexistent");
  QCOMPARE(first->InstanceNr(), 1);
  QCOMPARE(first->Folder(), base);
  QCOMPARE(first->Ini().FileName(), base + "/quillon.ini");
  {
    TAppSettings second("quillon", dir.path(), "/nonexistent");
    QCOMPARE(second.InstanceNr(), 2);
    QCOMPARE(second.Folder(), base + "/[2]");
    QVERIFY(QFileInfo(base + "/[2]").isDir());
  }
  first.reset();
  TAppSettings again("quillon", dir.path(), "/nonexistent");
  QCOMPARE(again.InstanceNr(), 1);
  // No data folder at all: the program's own folder.
  TAppSettings fallback("quillon", QString(), dir.filePath("exe"));
  QVERIFY(fallback.Ini().FileName().startsWith(dir.filePath("exe")));
}

void SettingsTest::firstRunDefaultsOnlyOnce() {
  TSettingsFixture fx;
  QVERIFY(SeedFirstRunSettings(fx.Settings().Ini()));
  QCOMPARE(FileMode(fx.Settings().Ini().FileName()), 0600);
  TFormSettings d;  // loads what the first start wrote
  QVERIFY(d.RBSelectTCP->isChecked() && !d.RBSelectHDLC->isChecked());
  QCOMPARE(d.EDITServerIP->text(), QStringLiteral("127.0.0.1:4059"));
  QCOMPARE(d.GetReferencingModel(), 3);
  QCOMPARE(d.GetMechanismName(), 1);
  QCOMPARE(d.GetProtectionOnRequestToApply(), 0);
  QCOMPARE(d.GetIntValue(d.EDITClientAddress, 0, 255), 16);
  QCOMPARE(d.GetIntValue(d.EDITServerAddress, 0, 2147483647), 1);
  // Later starts keep what the operator chose.
  d.EDITServerIP->setText("[::1]:4061");
  d.AcceptSettings();
  QVERIFY(!SeedFirstRunSettings(fx.Settings().Ini()));
  TFormSettings again;
  QCOMPARE(again.EDITServerIP->text(), QStringLiteral("[::1]:4061"));
}

void SettingsTest::addressesRefusedWhereEntered_data() {
  QTest::addColumn<bool>("tcp");
  QTest::addColumn<QString>("physical");
  QTest::addColumn<QString>("client");
  QTest::addColumn<QString>("server");
  QTest::addColumn<QString>("expected");
  // A wrapper port is 16 bits.
  QTest::newRow("TCP largest") << true << "" << "255" << "65535" << "OK";
  QTest::newRow("TCP server port") << true << "" << "16" << "65536" << "\"ServerAddress\", not in the range 0..65535";
  QTest::newRow("TCP ignores the physical address") << true << "65535" << "16" << "1" << "OK";
  // An HDLC address byte carries 7 bits.
  QTest::newRow("HDLC largest one-byte") << false << "" << "127" << "127" << "OK";
  QTest::newRow("HDLC client") << false << "" << "128" << "1" << "\"ClientAddress\", not in the range 0..127";
  QTest::newRow("HDLC one-byte server") << false << "" << "16" << "128" << "\"ServerAddress\", not in the range 1..127";
  QTest::newRow("HDLC largest four-byte") << false << "16383" << "16" << "16383" << "OK";
  QTest::newRow("HDLC physical") << false << "16384" << "16" << "1" << "\"PhysicalAddress\", not in the range 0..16383";
  QTest::newRow("HDLC physical all-station") << false << "65535" << "16" << "1"
                                             << "\"PhysicalAddress\", not in the range 0..16383";
  QTest::newRow("HDLC upper with physical") << false << "1" << "16" << "16384"
                                            << "\"ServerAddress\", not in the range 0..16383";
  QTest::newRow("empty fields wait for the connect") << false << "" << "" << "" << "OK";
}

// The dialog's "OK" and loading a settings file refuse addresses the chosen
// profile cannot carry, before they are saved or shown.
void SettingsTest::addressesRefusedWhereEntered() {
  QFETCH(bool, tcp);
  QFETCH(QString, physical);
  QFETCH(QString, client);
  QFETCH(QString, server);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  const QString file = fx.Path("addresses.txt");
  {
    TFormSettings typed;
    typed.CBReferencingModel->setCurrentIndex(0);
    typed.CBAuthMechanism->setCurrentIndex(0);
    if (tcp) typed.RBSelectTCPClick();
    else typed.RBSelectHDLCClick();
    typed.EDITPhysicalAddress->setText(physical);
    typed.EDITClientAddress->setText(client);
    typed.EDITServerAddress->setText(server);
    QCOMPARE(Outcome([&] { typed.AcceptSettings(); return QString(); }), expected == "OK" ? QStringLiteral("OK:") : expected);
    QCOMPARE(QFile::exists(fx.Settings().Ini().FileName()), expected == "OK");  // refused means not saved
    typed.SaveLoadSettings(true, file);  // saving what was typed is allowed
  }
  TFormSettings loading;
  loading.RBSelectHDLCClick();
  loading.EDITClientAddress->setText("32");
  loading.EDITServerAddress->setText("17");
  QCOMPARE(Outcome([&] { loading.SaveLoadSettings(false, file); return QString(); }),
           expected == "OK" ? QStringLiteral("OK:") : expected);
  if (expected == "OK") {
    QCOMPARE(loading.EDITServerAddress->text(), server);
    QCOMPARE(loading.RBSelectTCP->isChecked(), tcp);
  } else {
    // A refused file changes nothing.
    QCOMPARE(loading.EDITClientAddress->text(), QStringLiteral("32"));
    QCOMPARE(loading.EDITServerAddress->text(), QStringLiteral("17"));
    QVERIFY(loading.RBSelectHDLC->isChecked());
    QCOMPARE(loading.CBReferencingModel->currentIndex(), -1);
  }
}

void SettingsTest::unwritableSettingsFileKeepsFileCommandsRunning() {
  TSettingsFixture fx;
  TFormSettings dialog;
  TFormTraffic log;
  MakeSettingsFileUnwritable(fx.Settings());
  const QString settingsFile = QFileInfo(fx.Settings().Ini().FileName()).absoluteFilePath();
  const QString cannot = QStringLiteral("Cannot write \"%1\": rename (Is a directory)").arg(settingsFile);
  QString chosen;
  SetFileDialogHook([&](TFileDialogKind, const QString&, const QString&) { return chosen; });
  struct TUnhook {
    ~TUnhook() { SetFileDialogHook(nullptr); }
  } unhook;

  // Browse: the path could not be remembered, yet it is taken.
  chosen = fx.Path("list.txt");
  QCOMPARE(RunAndCatchMessageBoxes([&] { dialog.BTNBrowseClick(); }), QStringList{cannot});
  QCOMPARE(dialog.EDITOLFileName->text(), chosen);

  // Save and load a settings text file: the file itself is written and read.
  dialog.EDITClientAddress->setText("77");
  chosen = fx.Path("saved");
  QCOMPARE(RunAndCatchMessageBoxes([&] { dialog.BTNSaveSettingsClick(); }), QStringList{cannot});
  QVERIFY(QFile::exists(fx.Path("saved.txt")));
  dialog.EDITClientAddress->setText("1");
  chosen = fx.Path("saved.txt");
  QCOMPARE(RunAndCatchMessageBoxes([&] { dialog.BTNLoadSettingsClick(); }), QStringList{cannot});
  QCOMPARE(dialog.EDITClientAddress->text(), QStringLiteral("77"));

  // The log's "Save to...": the log is written all the same.
  log.Info("kept", "");
  chosen = fx.Path("log");
  QCOMPARE(RunAndCatchMessageBoxes([&] { log.PMSaveToClick(); }), QStringList{cannot});
  QFile saved(fx.Path("log.txt"));
  QVERIFY(saved.open(QIODevice::ReadOnly));
  QCOMPARE(saved.readAll(), QByteArray("kept\n"));

  // A file that cannot be written itself: one box naming it.
  QVERIFY(QDir().mkpath(fx.Path("blocked.txt/inside")));
  chosen = fx.Path("blocked.txt");
  QCOMPARE(RunAndCatchMessageBoxes([&] { dialog.BTNSaveSettingsClick(); }),
           (QStringList{cannot, QStringLiteral("Cannot write \"%1\": rename (Is a directory)").arg(chosen)}));
}

void SettingsTest::okRefusesAWrongField_data() {
  QTest::addColumn<QString>("referencing");  // the referencing model chosen
  QTest::addColumn<QString>("mechanism");
  QTest::addColumn<bool>("tcp");
  QTest::addColumn<QString>("control");  // the field typed into
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("expected");  // the message; empty: accepted
  const QString ciphered = QStringLiteral("LN with ciphering");
  QTest::newRow("good") << "LN" << "NO" << true << "EDITServerIP" << "127.0.0.1:4059" << "";
  QTest::newRow("address without port") << "LN" << "NO" << true << "EDITServerIP" << "127.0.0.1"
                                        << "IP and Port \"127.0.0.1\": expected HOST:PORT";
  QTest::newRow("port out of range") << "LN" << "NO" << true << "EDITServerIP" << "127.0.0.1:70000"
                                     << "IP and Port port \"70000\": expected an integer in 1..65535";
  QTest::newRow("response timeout no number") << "LN" << "NO" << true << "EDITResponseTimeout" << "5s"
                                              << "\"ResponseTimeout\", not in the range 0..2147483647";
  QTest::newRow("connect timeout negative") << "LN" << "NO" << true << "EDITConnectTimeout" << "-1"
                                            << "\"ConnectTimeout\", not in the range 0..2147483647";
  QTest::newRow("baud rate") << "LN" << "NO" << false << "EDITBaud" << "30"
                             << "\"Baud\", not in the range 45..2147483647";
  QTest::newRow("COM port") << "LN" << "NO" << false << "EDITComPort" << "0"
                            << "\"ComPort\", not in the range 1..2147483647";
  QTest::newRow("encryption key short") << ciphered << "NO" << true << "EDITGUEK" << "00112233"
                                        << "Encryption key: 32 hex digits expected, 8 given";
  QTest::newRow("encryption key no hex") << ciphered << "NO" << true << "EDITGUEK"
                                         << "000102030405060708090A0B0C0D0E0G" << "Encryption key: Illegal hex-character";
  QTest::newRow("meter system title") << ciphered << "NO" << true << "EDITServerSystemTitle" << "5153494D000000"
                                      << "Meter system title: 16 hex digits expected, 14 given";
  QTest::newRow("password half a byte") << "LN" << "LOW" << true << "EDITPW" << "313"
                                        << "Low security PW: an even number of hex digits expected, 3 given";
  // Fields the mechanism does not use are not checked.
  QTest::newRow("unused key") << "LN" << "NO" << true << "EDITGUEK" << "xyz" << "";
  QTest::newRow("address typed in the other profile") << "LN" << "NO" << false << "EDITServerIP" << "nonsense" << "";
}

// OK names the first wrong field in a message box and the dialog stays open
// with nothing saved; a good dialog closes.
void SettingsTest::okRefusesAWrongField() {
  QFETCH(QString, referencing);
  QFETCH(QString, mechanism);
  QFETCH(bool, tcp);
  QFETCH(QString, control);
  QFETCH(QString, text);
  QFETCH(QString, expected);
  TSettingsFixture fx;
  TFormSettings d;
  d.ApplyFirstRunDefaults();
  if (!tcp) d.RBSelectHDLCClick();
  d.CBReferencingModel->setCurrentIndex(d.CBReferencingModel->findText(referencing));
  d.CBAuthMechanism->setCurrentIndex(d.CBAuthMechanism->findText(mechanism));
  if (referencing.endsWith("ciphering")) {
    d.CBProtectionOnRequest->setCurrentIndex(3);
    d.EDITGUEK->setText("000102030405060708090A0B0C0D0E0F");
    d.EDITServerSystemTitle->setText("5153494D00000001");
  }
  if (mechanism == "LOW") d.EDITPW->setText("3132");
  auto* edit = d.findChild<QLineEdit*>(control);
  QVERIFY(edit);
  edit->setText(text);
  d.open();
  QCOMPARE(RunAndCatchMessageBox([&] { d.BTNOkClick(); }), expected);
  QCOMPARE(d.isVisible(), !expected.isEmpty());
  QCOMPARE(QFile::exists(fx.Settings().Ini().FileName()), expected.isEmpty());
  d.hide();
}

// The security fields say what they are and where their values come from;
// the timeouts their unit.
void SettingsTest::securityFieldsExplainThemselves() {
  TSettingsFixture fx;
  TFormSettings d;
  for (QWidget* w : std::initializer_list<QWidget*>{d.CBReferencingModel, d.CBAuthMechanism, d.PWTextEdit, d.EDITPW,
                                                   d.EDITGUEK, d.EDITGAK, d.EDITServerSystemTitle,
                                                   d.EDITClientSigningKeyFile, d.EDITServerSigningKeyFile,
                                                   d.CBProtectionOnRequest})
    QVERIFY2(!w->toolTip().isEmpty(), qPrintable(w->objectName()));
  QVERIFY(d.EDITGUEK->toolTip().contains("32 hex digits"));
  QVERIFY(d.CBProtectionOnRequest->toolTip().contains("security policy"));
  QStringList captions;
  for (QLabel* l : d.findChildren<QLabel*>())
    if (l->buddy() == d.EDITConnectTimeout || l->buddy() == d.EDITResponseTimeout) captions << l->text();
  captions.sort();
  QCOMPARE(captions, (QStringList{"Connect (ms):", "Response (ms):"}));
}

QTEST_MAIN(SettingsTest)
#include "SettingsTest.moc"
