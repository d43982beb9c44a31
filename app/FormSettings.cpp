#include "app/FormSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/AppSettings.h"
#include "app/FileDialogs.h"
#include "app/IniFile.h"
#include "app/QuirksBox.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

namespace {

const QString kSection = QStringLiteral("FormSettings");

struct TComboChoice {
  const char* Text;
  int Value;
};

const TComboChoice kReferencingModels[] = {{"LN", 3}, {"LN with ciphering", 4}, {"SN", 1}, {"SN with ciphering", 2}};
const TComboChoice kMechanisms[] = {{"NO", 1}, {"LOW", 2}, {"HIGH  (GMAC)", 6}};
const TComboChoice kProtections[] = {
    {"No", 0}, {"Authentication", 1}, {"Encryption", 2}, {"Authentication and Encryption", 3}};

template <size_t N>
QComboBox* MakeCombo(const char* name, const TComboChoice (&choices)[N]) {
  auto* cb = new QComboBox;
  cb->setObjectName(QLatin1String(name));
  for (const TComboChoice& c : choices) cb->addItem(QLatin1String(c.Text));
  cb->setCurrentIndex(-1);
  return cb;
}

// The selected item's value; the item text decides, as a loaded settings
// file may have replaced the item list.
template <size_t N>
int ComboChoice(const QComboBox* cb, const TComboChoice (&choices)[N], const char* missing) {
  if (cb->currentIndex() >= 0) {
    const QString text = cb->currentText();
    for (const TComboChoice& c : choices)
      if (text == QLatin1String(c.Text)) return c.Value;
  }
  RaiseGeneral(missing);
}

QLineEdit* MakeEdit(const char* name) {
  auto* e = new QLineEdit;
  e->setObjectName(QLatin1String(name));
  return e;
}

}  // namespace

TFormSettings::TFormSettings(QWidget* parent) : QDialog(parent) {
  setObjectName(kSection);
  setWindowTitle(QStringLiteral("Settings"));

  RBSelectTCP = new QRadioButton(QStringLiteral("Select"));
  RBSelectTCP->setObjectName(QStringLiteral("RBSelectTCP"));
  RBSelectTCP->setAutoExclusive(false);
  EDITServerIP = MakeEdit("EDITServerIP");
  RBSelectHDLC = new QRadioButton(QStringLiteral("Select"));
  RBSelectHDLC->setObjectName(QStringLiteral("RBSelectHDLC"));
  RBSelectHDLC->setAutoExclusive(false);
  EDITComPort = MakeEdit("EDITComPort");
  EDITBaud = MakeEdit("EDITBaud");
  LBLBaud = new QLabel(QStringLiteral("Baud:"));
  CHKModeE = new QCheckBox(QStringLiteral("Mode E"));
  CHKModeE->setObjectName(QStringLiteral("CHKModeE"));
  EDITPhysicalAddress = MakeEdit("EDITPhysicalAddress");
  CBReferencingModel = MakeCombo("CBReferencingModel", kReferencingModels);
  CBAuthMechanism = MakeCombo("CBAuthMechanism", kMechanisms);
  EDITPW = MakeEdit("EDITPW");
  EDITGUEK = MakeEdit("EDITGUEK");
  EDITGAK = MakeEdit("EDITGAK");
  EDITServerSystemTitle = MakeEdit("EDITServerSystemTitle");
  CBProtectionOnRequest = MakeCombo("CBProtectionOnRequest", kProtections);
  EDITConnectTimeout = MakeEdit("EDITConnectTimeout");
  EDITResponseTimeout = MakeEdit("EDITResponseTimeout");
  EDITClientAddress = MakeEdit("EDITClientAddress");
  EDITServerAddress = MakeEdit("EDITServerAddress");
  EDITOLFileName = MakeEdit("EDITOLFileName");
  Quirks = new TQuirksBox;

  // A key of 32 hex digits is read best when it fits without scrolling.
  const int keyWidth = fontMetrics().horizontalAdvance(QString(36, QLatin1Char('D')));
  for (QLineEdit* e : {EDITGUEK, EDITGAK, EDITServerSystemTitle, EDITPW}) e->setMinimumWidth(keyWidth);

  // Layout: the two profiles side by side, then the association, then
  // timeouts and addresses, then the object-list file and the buttons.
  auto* tcpBox = new QGroupBox(QStringLiteral("TCP profile"));
  auto* tcpForm = new QFormLayout(tcpBox);
  tcpForm->addRow(RBSelectTCP);
  tcpForm->addRow(QStringLiteral("IP and Port:"), EDITServerIP);

  auto* hdlcBox = new QGroupBox(QStringLiteral("HDLC profile"));
  auto* hdlcForm = new QFormLayout(hdlcBox);
  hdlcForm->addRow(RBSelectHDLC);
  hdlcForm->addRow(QStringLiteral("COM port:"), EDITComPort);
  hdlcForm->addRow(LBLBaud, EDITBaud);
  hdlcForm->addRow(CHKModeE);
  hdlcForm->addRow(QStringLiteral("Phys. addr.:"), EDITPhysicalAddress);

  auto* profiles = new QHBoxLayout;
  profiles->addWidget(tcpBox);
  profiles->addWidget(hdlcBox);

  auto* assoc = new QFormLayout;
  assoc->addRow(QStringLiteral("Referencing Model:"), CBReferencingModel);
  assoc->addRow(QStringLiteral("Auth. Mechanism:"), CBAuthMechanism);
  assoc->addRow(QStringLiteral("Low security PW:"), EDITPW);
  assoc->addRow(QStringLiteral("Encryption key:"), EDITGUEK);
  assoc->addRow(QStringLiteral("Authentication key:"), EDITGAK);
  assoc->addRow(QStringLiteral("Meter system title:"), EDITServerSystemTitle);
  assoc->addRow(QStringLiteral("Protection applied to request:"), CBProtectionOnRequest);

  auto* timeoutBox = new QGroupBox(QStringLiteral("Timeouts"));
  auto* timeoutForm = new QFormLayout(timeoutBox);
  timeoutForm->addRow(QStringLiteral("Connect:"), EDITConnectTimeout);
  timeoutForm->addRow(QStringLiteral("Response:"), EDITResponseTimeout);
  auto* addressBox = new QGroupBox(QStringLiteral("Addresses:"));
  auto* addressForm = new QFormLayout(addressBox);
  addressForm->addRow(QStringLiteral("Client:"), EDITClientAddress);
  addressForm->addRow(QStringLiteral("Server:"), EDITServerAddress);
  auto* numbers = new QHBoxLayout;
  numbers->addWidget(timeoutBox);
  numbers->addWidget(addressBox);

  auto* olBox = new QGroupBox(QStringLiteral("Object-list file"));
  auto* olRow = new QHBoxLayout(olBox);
  auto* browse = new QPushButton(QStringLiteral("Browse..."));
  olRow->addWidget(EDITOLFileName, 1);
  olRow->addWidget(browse);

  auto* saveButton = new QPushButton(QStringLiteral("Save settings..."));
  auto* loadButton = new QPushButton(QStringLiteral("Load settings..."));
  auto* okButton = new QPushButton(QStringLiteral("OK"));
  auto* cancelButton = new QPushButton(QStringLiteral("Cancel"));
  okButton->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(saveButton);
  buttons->addWidget(loadButton);
  buttons->addStretch(1);
  buttons->addWidget(okButton);
  buttons->addWidget(cancelButton);

  auto* top = new QVBoxLayout(this);
  top->addLayout(profiles);
  top->addLayout(assoc);
  top->addLayout(numbers);
  top->addWidget(Quirks);
  top->addWidget(olBox);
  top->addLayout(buttons);

  connect(RBSelectTCP, &QRadioButton::clicked, this, &TFormSettings::RBSelectTCPClick);
  connect(RBSelectHDLC, &QRadioButton::clicked, this, &TFormSettings::RBSelectHDLCClick);
  connect(CHKModeE, &QCheckBox::toggled, this, &TFormSettings::CHKModeEClick);
  connect(browse, &QPushButton::clicked, this, &TFormSettings::BTNBrowseClick);
  connect(saveButton, &QPushButton::clicked, this, &TFormSettings::BTNSaveSettingsClick);
  connect(loadButton, &QPushButton::clicked, this, &TFormSettings::BTNLoadSettingsClick);
  connect(okButton, &QPushButton::clicked, this, &TFormSettings::BTNOkClick);
  connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

  // FormCreate: controls and geometry from the program's settings file.
  if (TAppSettings* s = TAppSettings::Instance()) {
    LoadControls(s->Ini());
    adjustSize();
    s->RestoreWindowGeometry(kSection, this);
  }
}

std::vector<QWidget*> TFormSettings::PersistedControls() const {
  return {EDITOLFileName,       RBSelectTCP,        EDITServerIP,       EDITComPort,
          EDITBaud,             CHKModeE,           EDITPhysicalAddress, RBSelectHDLC,
          CBReferencingModel,   CBAuthMechanism,    EDITPW,             EDITGUEK,
          EDITGAK,              EDITServerSystemTitle, CBProtectionOnRequest, EDITConnectTimeout,
          EDITResponseTimeout,  EDITClientAddress,  EDITServerAddress};
}

void TFormSettings::SaveControls(TIniFile& ini) const {
  ini.WriteString(kSection, Quirks->objectName(), Quirks->Text());
  for (QWidget* w : PersistedControls()) {
    const QString name = w->objectName();
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
      ini.WriteString(kSection, name, e->text());
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      ini.WriteBool(kSection, name, b->isChecked());
    } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
      const QString section = kSection + QLatin1Char('.') + name;
      ini.EraseSection(section);
      ini.WriteInteger(section, QStringLiteral("c"), cb->count());
      for (int i = 0; i < cb->count(); ++i) ini.WriteString(section, QString::number(i), cb->itemText(i));
      ini.WriteInteger(section, QStringLiteral("i"), cb->currentIndex());
    }
  }
}

void TFormSettings::LoadControls(const TIniFile& ini) {
  if (ini.ValueExists(kSection, Quirks->objectName())) Quirks->SetText(ini.ReadString(kSection, Quirks->objectName()));
  for (QWidget* w : PersistedControls()) {
    const QString name = w->objectName();
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
      e->setText(ini.ReadString(kSection, name, e->text()));
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      b->setChecked(ini.ReadBool(kSection, name, b->isChecked()));
    } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
      const QString section = kSection + QLatin1Char('.') + name;
      const int count = ini.ReadInteger(section, QStringLiteral("c"), 0);
      int index = cb->currentIndex();
      if (count > 0) {
        // Bounded by what the file really holds, so a forged count cannot
        // make the dialog allocate without end.
        QStringList items;
        for (int i = 0; i < count && ini.ValueExists(section, QString::number(i)); ++i)
          items << ini.ReadString(section, QString::number(i));
        cb->clear();
        cb->addItems(items);
      }
      index = ini.ReadInteger(section, QStringLiteral("i"), index);
      cb->setCurrentIndex(index >= 0 && index < cb->count() ? index : -1);
    }
  }
  UpdateBaudState();
}

void TFormSettings::SaveLoadSettings(bool save, const QString& fileName) {
  TIniFile file(fileName);
  if (save) {
    SaveControls(file);
    file.UpdateFile();
  } else {
    TIniFile before{QString()};  // in memory only
    SaveControls(before);
    LoadControls(file);
    try {
      GetAddresses(true);
    } catch (...) {
      LoadControls(before);
      throw;
    }
  }
}

TAddressSettings TFormSettings::GetAddresses(bool typedOnly) const {
  // Seven address bits per HDLC address byte; two bytes give 14 bits.
  constexpr int kOneByte = 127, kTwoBytes = 16383, kWrapperPort = 65535;
  auto value = [&](const QLineEdit* edit, int min, int max) {
    return typedOnly && edit->text().trimmed().isEmpty() ? -1 : GetIntValue(edit, min, max);
  };
  TAddressSettings a;
  if (RBSelectTCP->isChecked()) {
    a.Client = value(EDITClientAddress, 0, 255);
    a.Server = value(EDITServerAddress, 0, kWrapperPort);
    return a;
  }
  a.Client = value(EDITClientAddress, 0, kOneByte);
  if (EDITPhysicalAddress->text().isEmpty()) {
    a.Server = value(EDITServerAddress, 1, kOneByte);
    a.HDLCUpperAddress = a.Server;
  } else {
    a.PhysicalAddress = value(EDITPhysicalAddress, 0, kTwoBytes);
    a.Server = value(EDITServerAddress, 0, kTwoBytes);
  }
  return a;
}

int TFormSettings::GetIntValue(const QLineEdit* edit, int min, int max) const {
  bool ok = false;
  const qlonglong v = edit->text().trimmed().toLongLong(&ok);
  if (!ok || v < min || v > max) {
    const QByteArray name = edit->objectName().mid(4).toUtf8();
    RaiseGeneral(Format("\"%s\", not in the range %d..%d", name.constData(), min, max));
  }
  return static_cast<int>(v);
}

int TFormSettings::GetReferencingModel() const {
  return ComboChoice(CBReferencingModel, kReferencingModels, "No referencing model specified");
}

int TFormSettings::GetMechanismName() const {
  return ComboChoice(CBAuthMechanism, kMechanisms, "No security mechanism specified");
}

int TFormSettings::GetProtectionOnRequestToApply() const {
  return ComboChoice(CBProtectionOnRequest, kProtections, "No protection on request specified");
}

QString TFormSettings::CheckedHex(const QLineEdit* edit, int length, const char* title, bool emptyAllowed) const {
  const QString text = edit->text();
  if (emptyAllowed && text.isEmpty()) return text;
  std::string problem;
  try {
    TMisc::HexStrToByteStr(text.toStdString());
    if (text.size() != length) problem = "Illegal length";
  } catch (const std::exception& e) {
    problem = e.what();
  }
  if (!problem.empty()) RaiseGeneral(Format(title, problem.c_str()));
  return text;
}

QString TFormSettings::GetHexGUEK() const { return CheckedHex(EDITGUEK, 32, "Encryption key: %s", false); }

QString TFormSettings::GetHexGAK() const { return CheckedHex(EDITGAK, 32, "Authentication key: %s", true); }

QString TFormSettings::GetHexServerSystemTitle() const {
  return CheckedHex(EDITServerSystemTitle, 16, "Server System Title: %s", false);
}

void TFormSettings::AcceptSettings() {
  GetReferencingModel();
  GetMechanismName();
  GetAddresses(true);
#if defined(QUILLON_HAVE_CLIENT)
  Quirks->Quirks();
#endif
  if (TAppSettings* s = TAppSettings::Instance()) {
    SaveControls(s->Ini());
    s->SaveWindowGeometry(kSection, this);  // also writes the file
  }
}

void TFormSettings::ApplyFirstRunDefaults() {
  RBSelectTCPClick();
  EDITServerIP->setText(QStringLiteral("127.0.0.1:4059"));
  EDITComPort->setText(QStringLiteral("1"));
  EDITBaud->setText(QStringLiteral("9600"));
  CHKModeE->setChecked(false);
  EDITPhysicalAddress->clear();
  CBReferencingModel->setCurrentIndex(0);     // LN
  CBAuthMechanism->setCurrentIndex(0);        // NO
  CBProtectionOnRequest->setCurrentIndex(0);  // No
  EDITConnectTimeout->setText(QStringLiteral("5000"));
  EDITResponseTimeout->setText(QStringLiteral("5000"));
  EDITClientAddress->setText(QStringLiteral("16"));
  EDITServerAddress->setText(QStringLiteral("1"));
  UpdateBaudState();
}

bool SeedFirstRunSettings(TIniFile& programSettings) {
  if (programSettings.SectionExists(kSection)) return false;
  TFormSettings defaults;
  defaults.ApplyFirstRunDefaults();
  defaults.SaveControls(programSettings);
  programSettings.UpdateFile();
  return true;
}

void TFormSettings::BTNOkClick() {
  try {
    AcceptSettings();
  } catch (const std::exception& e) {
    ShowError(QString::fromStdString(e.what()));
    return;
  }
  accept();
}

void TFormSettings::BTNBrowseClick() {
  const QString f =
      RunRememberingFileDialog(this, TFileDialogKind::fdOpen, QStringLiteral("Object-list file"), QStringLiteral("OL"));
  if (!f.isEmpty()) EDITOLFileName->setText(f);
}

void TFormSettings::BTNSaveSettingsClick() {
  const QString f = RunRememberingFileDialog(this, TFileDialogKind::fdSave, QStringLiteral("Save settings"),
                                             QStringLiteral("Settings"));
  if (f.isEmpty()) return;
  RunFileCommand(this, windowTitle(), [&] { SaveLoadSettings(true, ForceTxtExtension(f)); });
}

void TFormSettings::BTNLoadSettingsClick() {
  const QString f = RunRememberingFileDialog(this, TFileDialogKind::fdOpen, QStringLiteral("Load settings"),
                                             QStringLiteral("Settings"));
  if (!f.isEmpty()) RunFileCommand(this, windowTitle(), [&] { SaveLoadSettings(false, f); });
}

void TFormSettings::RBSelectTCPClick() {
  RBSelectTCP->setChecked(true);
  RBSelectHDLC->setChecked(false);
}

void TFormSettings::RBSelectHDLCClick() {
  RBSelectHDLC->setChecked(true);
  RBSelectTCP->setChecked(false);
}

void TFormSettings::CHKModeEClick() { UpdateBaudState(); }

void TFormSettings::UpdateBaudState() {
  // Mode E negotiates the speed itself; the typed baud rate still opens the line.
  const bool enabled = !CHKModeE->isChecked();
  EDITBaud->setEnabled(enabled);
  LBLBaud->setEnabled(enabled);
}

void TFormSettings::ShowError(const QString& msg) { QMessageBox::critical(this, windowTitle(), msg); }

}  // namespace quillon
