// The settings dialog: how to reach one meter and open an association. The
// main window reads the controls through the accessors each time it needs a
// value, so a failing accessor stops the command that asked.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;
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

  // Controls, named as in the files they are persisted to.
  QRadioButton* RBSelectTCP;
  QLineEdit* EDITServerIP;
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

public slots:
  void BTNOkClick();
  void BTNBrowseClick();
  void BTNSaveSettingsClick();
  void BTNLoadSettingsClick();
  void RBSelectTCPClick();
  void RBSelectHDLCClick();
  void CHKModeEClick();


private:
  QString CheckedHex(const QLineEdit* edit, int length, const char* title, bool emptyAllowed) const;
  void UpdateBaudState();
  // Every persisted control in the order the file holds them.
  std::vector<QWidget*> PersistedControls() const;
  void ShowError(const QString& msg);
};

// On the very first start (no dialog values in the program's settings file
// yet) writes the first-run defaults there, so that the dialog loads them.
// Returns true when it did.
bool SeedFirstRunSettings(TIniFile& programSettings);

}  // namespace quillon
