// The settings dialog: how to reach one meter and open an association. The
// main window reads the controls through the accessors each time it needs a
// value, so a failing accessor stops the command that asked.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QToolButton;
class QWidget;

namespace quillon {

class TIniFile;
class TQuirksBox;

// The addresses of the dialog as the chosen profile carries them.
struct TAddressSettings {
  int Client = -1, Server = -1;
  int PhysicalAddress = -1;   // HDLC: -1 when none is given (one-byte server address)
  int HDLCUpperAddress = -1;  // HDLC without a physical address: the server address
};

class TFormSettings : public QDialog {
  Q_OBJECT
public:
  explicit TFormSettings(QWidget* parent = nullptr);

  // Accessors; each fails with EGeneralError carrying the operator's message.
  int GetIntValue(const QLineEdit* edit, int min, int max) const;
  int GetReferencingModel() const;
  int GetMechanismName() const;
  int GetProtectionOnRequestToApply() const;
  QString GetHexGUEK() const;
  QString GetHexGAK() const;
  QString GetHexServerSystemTitle() const;
  // The password (or HLS secret) as bytes, checked as the field shows it;
  // failures name the field by its label.
  std::string GetPasswordBytes() const;

  // What is wrong with a hex field, named as its label: "Encryption key: 32
  // hex digits expected, 30 given", "...: Illegal hex-character", or with
  // `digits` 0 (any even count) "...: an even number of hex digits
  // expected, 7 given". Blanks between the digits are allowed. Empty when
  // the text is good.
  static QString HexFieldProblem(const QString& name, const QString& text, int digits);
  // The password field's caption for the chosen mechanism: "Low security
  // PW:" or, for the HLS mechanisms that take a secret, "HLS secret:".
  QString PasswordCaption() const;

  // The first problem of the security fields the chosen mechanism and
  // context use, as the accessors word it; empty when there is none. Shown
  // under the fields as they are typed.
  QString SecurityProblem() const;

  // The password is typed as text unless "Hex" is checked; the settings
  // keep it as hex in EDITPW either way. Switching converts; to text only
  // when the bytes are text (fails naming the field otherwise, and the
  // field stays in hex).
  bool PasswordAsHex() const;
  void SetPasswordAsHex(bool hex);
  // Secrets (password and keys) show as dots until shown.
  void SetSecretsShown(bool shown);
  bool SecretsShown() const;

  // Serial lines: the device path wins when it is set; the COM number
  // (1 /dev/ttyS0, 101 /dev/ttyUSB1, 201 /dev/ttyACM1) serves otherwise, as
  // settings files from before the path have only the number.
  // The serial devices present under `devRoot`: /dev/serial/by-id/*, then
  // ttyUSB*, ttyACM*, ttyS*, each in natural order.
  static QStringList SerialDeviceCandidates(const QString& devRoot);
  // Fills the device picker's menu; choosing an entry sets the path.
  void FillDeviceMenu(QMenu* menu, const QString& devRoot);

  // The system title the meter announced (hex): offered for the settings
  // when it is not the one they hold; the field changes only when the
  // operator takes the offer. Returns whether it is offered.
  bool OfferMeterSystemTitle(const QString& hex);
  QString OfferedSystemTitle() const { return FOfferedTitle; }
  void UseOfferedSystemTitle();
  // The client, server and physical addresses within what the chosen profile
  // can carry: a wrapper port is 16 bits, an HDLC address byte 7 bits (the
  // client and a one-byte server address 0..127; with a physical address the
  // server uses two bytes or four, each part then 0..16383). Fails with the
  // GetIntValue message. With `typedOnly` an empty field is skipped (left -1).
  TAddressSettings GetAddresses(bool typedOnly) const;

  // Reads every control into / from `ini` under section "FormSettings".
  void SaveControls(TIniFile& ini) const;
  void LoadControls(const TIniFile& ini);
  // Saves to (Save true) or loads from a settings text file. A file whose
  // addresses are out of range is refused: the controls keep what they held
  // and the GetAddresses message is raised.
  void SaveLoadSettings(bool save, const QString& fileName);

  // Values that reach the project's meter simulator on this machine: TCP to
  // 127.0.0.1:4059, logical names, no security, client 16, server 1.
  void ApplyFirstRunDefaults();

  // Checks what "OK" needs (and the addresses typed) and saves to the program's settings file.
  // Fails with the accessor's message; the dialog then stays open.
  void AcceptSettings();
  // The fields typed so far as a connect checks them (empty ones pass):
  // the address and port, the port number and baud rate, the timeouts, the
  // protection of a ciphered context and the security fields in use. Fails
  // with the accessor's message naming the field.
  void CheckTypedFields() const;

  // Controls, named as in the files they are persisted to.
  QRadioButton* RBSelectTCP;
  QLineEdit* EDITServerIP;
  // "Wait for the meter to call in on port N": this end listens instead of
  // dialling, for meters behind a carrier's address translation.
  QCheckBox* CHKCallIn;
  QLineEdit* EDITCallInPort;
  QRadioButton* RBSelectHDLC;
  QLineEdit* EDITComPort;
  QLineEdit* EDITBaud;
  QLabel* LBLBaud;
  QCheckBox* CHKModeE;
  QLineEdit* EDITPhysicalAddress;
  QComboBox* CBReferencingModel;
  QComboBox* CBAuthMechanism;
  QLineEdit* EDITPW;
  QLineEdit* EDITGUEK;
  QLineEdit* EDITGAK;
  QLineEdit* EDITServerSystemTitle;
  QComboBox* CBProtectionOnRequest;
  QLineEdit* EDITConnectTimeout;
  QLineEdit* EDITResponseTimeout;
  QLineEdit* EDITClientAddress;
  QLineEdit* EDITServerAddress;
  QLineEdit* EDITOLFileName;
  // Tolerances for the meter's deviations, kept under "Quirks" as the meters
  // file writes them.
  TQuirksBox* Quirks;
  QLineEdit* EDITDevicePath;
  QLineEdit* EDITClientSigningKeyFile;
  QLineEdit* EDITServerSigningKeyFile;

  // Not persisted: the password as text, the view toggles, the labels the
  // messages name, the offer of the meter's system title.
  QToolButton* BTNChooseDevice;
  QLineEdit* PWTextEdit;
  QCheckBox* CHKPWHex;
  QCheckBox* CHKShowSecrets;
  QLabel* LBLPW;
  QLabel* LBLGUEK;
  QLabel* LBLGAK;
  QLabel* LBLServerSystemTitle;
  QLabel* LBLClientSigningKeyFile;
  QLabel* LBLServerSigningKeyFile;
  QPushButton* BTNUseMeterSystemTitle;
  QLabel* LBLSecurityProblem;

public slots:
  void BTNOkClick();
  void BTNBrowseClick();
  void BTNSaveSettingsClick();
  void BTNLoadSettingsClick();
  void RBSelectTCPClick();
  void RBSelectHDLCClick();
  void CHKModeEClick();


private:
  QString CheckedHex(const QLineEdit* edit, int length, const QLabel* label, bool emptyAllowed) const;
  void UpdateBaudState();
  // Parts of the dialog, each a group of its own.
  QLayout* BuildProfiles();
  QFormLayout* BuildAssociation();
  // The fields the chosen mechanism and context use are enabled; the
  // password's caption follows the mechanism.
  void UpdateSecurityFields();
  // Shows the password in the text field when the bytes are text (or
  // `forceHex`), else in hex.
  void ShowPassword(bool forceHex);
  void UpdateSecurityProblem();
  void DescribeSecurityFields();
  void BrowseKeyFile(QLineEdit* edit, const QString& key);
  bool FPasswordSync = false;
  QString FOfferedTitle;
  // Every persisted control in the order the file holds them.
  std::vector<QWidget*> PersistedControls() const;
  void ShowError(const QString& msg);
};

// On the very first start (no dialog values in the program's settings file
// yet) writes the first-run defaults there, so that the dialog loads them.
// Returns true when it did.
bool SeedFirstRunSettings(TIniFile& programSettings);

}  // namespace quillon
