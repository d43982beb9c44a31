#include "app/MessageBoxes.h"
#include "app/FormSettings.h"

#include <algorithm>
#include <cctype>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QGuiApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/AppSettings.h"
#include "app/FileDialogs.h"
#include "app/IniFile.h"
#include "app/QuirksBox.h"
#include "app/WindowFit.h"
#include "client/MeterProfile.h"
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
const auto& kMechanisms = client::kSettingsMechanisms;
const TComboChoice kProtections[] = {
    {"No", 0}, {"Authentication", 1}, {"Encryption", 2}, {"Authentication and Encryption", 3}};

template <typename T, size_t N>
QComboBox* MakeCombo(const char* name, const T (&choices)[N]) {
  auto* cb = new QComboBox;
  cb->setObjectName(QLatin1String(name));
  for (const T& c : choices) cb->addItem(QLatin1String(c.Text));
  cb->setCurrentIndex(-1);
  return cb;
}

// The selected item's value; the item text decides, as a loaded settings
// file may have replaced the item list.
template <typename T, size_t N>
int ComboChoice(const QComboBox* cb, const T (&choices)[N], const char* missing) {
  if (cb->currentIndex() >= 0) {
    const QString text = cb->currentText();
    for (const T& c : choices)
      if (text == QLatin1String(c.Text)) return c.Value;
  }
  RaiseGeneral(missing);
}

QLineEdit* MakeEdit(const char* name) {
  auto* e = new QLineEdit;
  e->setObjectName(QLatin1String(name));
  return e;
}

// Captions of the security fields; the messages about a field name it by
// its caption without the colon.
const char* const kCaptionLowPW = "Low security PW:";
const char* const kCaptionHLSSecret = "HLS secret:";
const char* const kCaptionGUEK = "Encryption key:";
const char* const kCaptionGAK = "Authentication key:";
const char* const kCaptionServerSystemTitle = "Meter system title:";

QString FieldName(const QLabel* label) {
  QString name = label->text();
  if (name.endsWith(QLatin1Char(':'))) name.chop(1);
  return name;
}

QLabel* MakeLabel(const char* name, const char* caption) {
  auto* l = new QLabel(QLatin1String(caption));
  l->setObjectName(QLatin1String(name));
  return l;
}

// Bytes that read as text: valid UTF-8 without control characters.
bool IsText(const std::string& bytes) {
  const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  if (text.toUtf8() != QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()))) return false;
  for (const QChar c : text)
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) return false;
  return true;
}

QString HexOfText(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return QString::fromStdString(TMisc::ByteStrToHexStr(std::string(utf8.constData(), static_cast<size_t>(utf8.size()))));
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
  CHKCallIn = new QCheckBox(QStringLiteral("Wait for the meter to call in on port"));
  CHKCallIn->setObjectName(QStringLiteral("CHKCallIn"));
  CHKCallIn->setToolTip(QStringLiteral("For meters that cannot be reached (a cellular modem behind the carrier's "
                                       "address translation): Connect listens on this port on every address of "
                                       "this machine and reads the meter that calls, instead of dialling \"IP and "
                                       "Port\". The meter's own schedule, a wake-up SMS or an event makes it call."));
  EDITCallInPort = MakeEdit("EDITCallInPort");
  EDITCallInPort->setPlaceholderText(QStringLiteral("4059"));
  EDITCallInPort->setEnabled(false);
  EDITComPort = MakeEdit("EDITComPort");
  EDITDevicePath = MakeEdit("EDITDevicePath");
  EDITDevicePath->setPlaceholderText(QStringLiteral("/dev/ttyUSB0, /dev/serial/by-id/..."));
  EDITDevicePath->setToolTip(QStringLiteral("Any serial device, a pseudo-terminal included. When set it is used, "
                                            "and the COM port number is not (1 is /dev/ttyS0, 101 /dev/ttyUSB1, "
                                            "201 /dev/ttyACM1)."));
  BTNChooseDevice = new QToolButton;
  BTNChooseDevice->setObjectName(QStringLiteral("BTNChooseDevice"));
  BTNChooseDevice->setText(QStringLiteral("Ports"));
  BTNChooseDevice->setToolTip(QStringLiteral("Serial ports present on this machine"));
  BTNChooseDevice->setPopupMode(QToolButton::InstantPopup);
  BTNChooseDevice->setMenu(new QMenu(BTNChooseDevice));
  EDITBaud = MakeEdit("EDITBaud");
  LBLBaud = new QLabel(QStringLiteral("Baud:"));
  CHKModeE = new QCheckBox(QStringLiteral("Mode E"));
  CHKModeE->setObjectName(QStringLiteral("CHKModeE"));
  EDITPhysicalAddress = MakeEdit("EDITPhysicalAddress");
  CBReferencingModel = MakeCombo("CBReferencingModel", kReferencingModels);
  CBAuthMechanism = MakeCombo("CBAuthMechanism", kMechanisms);
  EDITPW = MakeEdit("EDITPW");
  PWTextEdit = MakeEdit("PWTextEdit");
  CHKPWHex = new QCheckBox(QStringLiteral("Hex"));
  CHKPWHex->setObjectName(QStringLiteral("CHKPWHex"));
  CHKPWHex->setToolTip(QStringLiteral("Type the password as hex digits (bytes that are no text)"));
  EDITGUEK = MakeEdit("EDITGUEK");
  EDITGAK = MakeEdit("EDITGAK");
  EDITServerSystemTitle = MakeEdit("EDITServerSystemTitle");
  BTNUseMeterSystemTitle = new QPushButton;
  BTNUseMeterSystemTitle->setObjectName(QStringLiteral("BTNUseMeterSystemTitle"));
  BTNUseMeterSystemTitle->setVisible(false);
  EDITClientSigningKeyFile = MakeEdit("EDITClientSigningKeyFile");
  EDITServerSigningKeyFile = MakeEdit("EDITServerSigningKeyFile");
  LBLSecurityProblem = new QLabel;
  LBLSecurityProblem->setObjectName(QStringLiteral("LBLSecurityProblem"));
  LBLSecurityProblem->setStyleSheet(QStringLiteral("color: #b00000"));
  CHKShowSecrets = new QCheckBox(QStringLiteral("Show secrets"));
  CHKShowSecrets->setObjectName(QStringLiteral("CHKShowSecrets"));
  LBLPW = MakeLabel("LBLPW", kCaptionLowPW);
  LBLGUEK = MakeLabel("LBLGUEK", kCaptionGUEK);
  LBLGAK = MakeLabel("LBLGAK", kCaptionGAK);
  LBLServerSystemTitle = MakeLabel("LBLServerSystemTitle", kCaptionServerSystemTitle);
  LBLClientSigningKeyFile = MakeLabel("LBLClientSigningKeyFile", "Client signing key (PEM):");
  LBLServerSigningKeyFile = MakeLabel("LBLServerSigningKeyFile", "Meter signing key (PEM):");
  CBProtectionOnRequest = MakeCombo("CBProtectionOnRequest", kProtections);
  EDITConnectTimeout = MakeEdit("EDITConnectTimeout");
  EDITResponseTimeout = MakeEdit("EDITResponseTimeout");
  EDITClientAddress = MakeEdit("EDITClientAddress");
  EDITServerAddress = MakeEdit("EDITServerAddress");
  EDITOLFileName = MakeEdit("EDITOLFileName");
  Quirks = new TQuirksBox;

  // A key of 32 hex digits is read best when it fits without scrolling.
  const int keyWidth = fontMetrics().horizontalAdvance(QString(36, QLatin1Char('D')));
  for (QLineEdit* e : {EDITGUEK, EDITGAK, EDITServerSystemTitle, EDITPW, PWTextEdit}) e->setMinimumWidth(keyWidth);
  // Device paths under /dev/serial/by-id are long; the end names the port.
  EDITDevicePath->setMinimumWidth(fontMetrics().horizontalAdvance(QString(30, QLatin1Char('x'))));
  SetSecretsShown(false);
  EDITPW->setVisible(false);

  auto* timeoutBox = new QGroupBox(QStringLiteral("Timeouts"));
  auto* timeoutForm = new QFormLayout(timeoutBox);
  timeoutForm->addRow(QStringLiteral("Connect (ms):"), EDITConnectTimeout);
  timeoutForm->addRow(QStringLiteral("Response (ms):"), EDITResponseTimeout);
  DescribeSecurityFields();
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

  // Layout: the two profiles side by side, then the association, then
  // timeouts and addresses, then the object-list file and the buttons.
  // Further groups go in before the buttons.
  // Everything above the buttons scrolls when the screen is lower than the
  // dialog (a laptop), so that OK and Cancel stay in reach.
  auto* content = new QWidget;
  auto* fields = new QVBoxLayout(content);
  fields->setContentsMargins(0, 0, 0, 0);
  fields->addLayout(BuildProfiles());
  fields->addLayout(BuildAssociation());
  fields->addLayout(numbers);
  fields->addWidget(Quirks);
  fields->addWidget(olBox);
  auto* scroll = new QScrollArea;
  scroll->setObjectName(QStringLiteral("SettingsScroll"));
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setWidget(content);
  auto* top = new QVBoxLayout(this);
  top->addWidget(scroll, 1);
  top->addLayout(buttons);
  // As tall as the fields need, within the screen the dialog opens on.
  const QSize wanted = content->sizeHint() + QSize(scroll->verticalScrollBar()->sizeHint().width(), 0);
  scroll->setMinimumWidth(wanted.width());
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int room = screen ? screen->availableGeometry().height() - 120 : wanted.height();
  const int height = std::min(wanted.height(), std::max(room, 200));
  scroll->setMinimumHeight(height);
  scroll->setMaximumHeight(wanted.height());
  resize(sizeHint().width(), height + buttons->sizeHint().height() + 2 * top->contentsMargins().top() + top->spacing());

  connect(RBSelectTCP, &QRadioButton::clicked, this, &TFormSettings::RBSelectTCPClick);
  connect(RBSelectHDLC, &QRadioButton::clicked, this, &TFormSettings::RBSelectHDLCClick);
  connect(CHKModeE, &QCheckBox::toggled, this, &TFormSettings::CHKModeEClick);
  connect(CHKCallIn, &QCheckBox::toggled, this, [this](bool on) {
    EDITServerIP->setEnabled(!on);
    EDITCallInPort->setEnabled(on);
  });
  connect(browse, &QPushButton::clicked, this, &TFormSettings::BTNBrowseClick);
  connect(saveButton, &QPushButton::clicked, this, &TFormSettings::BTNSaveSettingsClick);
  connect(loadButton, &QPushButton::clicked, this, &TFormSettings::BTNLoadSettingsClick);
  connect(okButton, &QPushButton::clicked, this, &TFormSettings::BTNOkClick);
  connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(BTNChooseDevice->menu(), &QMenu::aboutToShow, this,
          [this] { FillDeviceMenu(BTNChooseDevice->menu(), QStringLiteral("/dev")); });
  // The password: the text field and the hex field hold the same bytes.
  connect(PWTextEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (FPasswordSync) return;
    FPasswordSync = true;
    EDITPW->setText(HexOfText(text));
    FPasswordSync = false;
  });
  connect(EDITPW, &QLineEdit::textChanged, this, [this] {
    if (!FPasswordSync && !PasswordAsHex()) ShowPassword(false);
  });
  connect(CHKPWHex, &QCheckBox::clicked, this, [this](bool hex) {
    try {
      SetPasswordAsHex(hex);
    } catch (const std::exception& e) {
      ShowError(QString::fromUtf8(e.what()));
    }
  });
  connect(CHKShowSecrets, &QCheckBox::toggled, this, &TFormSettings::SetSecretsShown);
  connect(CBAuthMechanism, &QComboBox::currentIndexChanged, this, &TFormSettings::UpdateSecurityFields);
  connect(CBReferencingModel, &QComboBox::currentIndexChanged, this, &TFormSettings::UpdateSecurityFields);
  connect(BTNUseMeterSystemTitle, &QPushButton::clicked, this, &TFormSettings::UseOfferedSystemTitle);
  for (QLineEdit* e : {EDITPW, EDITGUEK, EDITGAK, EDITServerSystemTitle})
    connect(e, &QLineEdit::textChanged, this, &TFormSettings::UpdateSecurityProblem);
  UpdateSecurityFields();

  // FormCreate: controls and geometry from the program's settings file.
  if (TAppSettings* s = TAppSettings::Instance()) {
    LoadControls(s->Ini());
    adjustSize();
    s->RestoreWindowGeometry(kSection, this);
  }
  FitToScreen(this);
}

void TFormSettings::DescribeSecurityFields() {
  // What each field is and where its value comes from, for the operator
  // who holds a meter's key sheet rather than its documentation.
  CBReferencingModel->setToolTip(QStringLiteral(
      "How requests name the meter's objects: LN by logical name (OBIS code), SN by short name (older "
      "meters). \"with ciphering\" opens a ciphered association: requests and answers are protected with the "
      "keys below. The meter's documentation or its association objects say which it offers."));
  CBAuthMechanism->setToolTip(QStringLiteral(
      "How the client proves who it is when the association opens. NO: the public client (address 16), "
      "reading only what the meter shows everyone. LOW: a password sent as it is. HIGH (MD5, SHA-1, SHA-256): "
      "a challenge answered with the HLS secret. HIGH (GMAC): a challenge answered with the keys below. "
      "HIGH (ECDSA): a challenge signed with the client's private key.\n"
      "Each client address of the meter has its own mechanism: the utility's key management or the "
      "meter's documentation says which."));
  const QString password = QStringLiteral(
      "LOW: the password of this client address, as the meter holds it (often on the meter's key sheet, or "
      "the manufacturer's default).\nHIGH (MD5, SHA-1, SHA-256): the HLS secret, from the same key sheet.\n"
      "Typed as text; Hex takes bytes that are no text. The settings file keeps it as hex, readable by you only.");
  for (QWidget* w : std::initializer_list<QWidget*>{LBLPW, PWTextEdit, EDITPW}) w->setToolTip(password);
  const QString guek = QStringLiteral(
      "Global unicast encryption key (AES-128, 32 hex digits) of this client address: it encrypts requests "
      "and answers of a ciphered association, and enters HIGH (GMAC). It comes from the utility's key "
      "management or the manufacturer's key file for this meter; a meter never sends it.");
  for (QWidget* w : std::initializer_list<QWidget*>{LBLGUEK, EDITGUEK}) w->setToolTip(guek);
  const QString gak = QStringLiteral(
      "Authentication key (AES-128, 32 hex digits): enters the GMAC tag of every authenticated request and "
      "answer, and HIGH (GMAC). From the same key file as the encryption key.");
  for (QWidget* w : std::initializer_list<QWidget*>{LBLGAK, EDITGAK}) w->setToolTip(gak);
  const QString title = QStringLiteral(
      "The meter's system title (8 bytes, 16 hex digits: a manufacturer code and a serial number). It enters "
      "every protected message the meter sends. The meter announces it when the association opens; the "
      "window offers it here when it differs. Also in the meter's key file.");
  for (QWidget* w : std::initializer_list<QWidget*>{LBLServerSystemTitle, EDITServerSystemTitle}) w->setToolTip(title);
  const QString clientKey = QStringLiteral(
      "HIGH (ECDSA): PEM file of this client's private signing key (P-256), made by the utility's key "
      "management; its public key must be known to the meter.");
  for (QWidget* w : std::initializer_list<QWidget*>{LBLClientSigningKeyFile, EDITClientSigningKeyFile})
    w->setToolTip(clientKey);
  const QString meterKey = QStringLiteral(
      "HIGH (ECDSA): PEM file of the meter's public signing key or its certificate, from the manufacturer "
      "or the utility's certificate authority.");
  for (QWidget* w : std::initializer_list<QWidget*>{LBLServerSigningKeyFile, EDITServerSigningKeyFile})
    w->setToolTip(meterKey);
  CBProtectionOnRequest->setToolTip(QStringLiteral(
      "What the client applies to each request of a ciphered association: authentication (a GMAC tag), "
      "encryption, or both. The meter refuses a request protected less than its security policy asks "
      "(the security setup object of this client address); the meter's documentation or key sheet says "
      "which. Used with a referencing model \"with ciphering\" only."));
  EDITConnectTimeout->setToolTip(QStringLiteral("How long connecting to the meter may take, in milliseconds"));
  EDITResponseTimeout->setToolTip(QStringLiteral("How long to wait for each answer of the meter, in milliseconds"));
}

QLayout* TFormSettings::BuildProfiles() {
  auto* tcpBox = new QGroupBox(QStringLiteral("TCP profile"));
  auto* tcpForm = new QFormLayout(tcpBox);
  tcpForm->addRow(RBSelectTCP);
  tcpForm->addRow(QStringLiteral("IP and Port:"), EDITServerIP);
  tcpForm->addRow(CHKCallIn, EDITCallInPort);

  auto* hdlcBox = new QGroupBox(QStringLiteral("HDLC profile"));
  auto* hdlcForm = new QFormLayout(hdlcBox);
  hdlcForm->addRow(RBSelectHDLC);
  hdlcForm->addRow(QStringLiteral("COM port:"), EDITComPort);
  auto* deviceRow = new QHBoxLayout;
  deviceRow->addWidget(EDITDevicePath, 1);
  deviceRow->addWidget(BTNChooseDevice);
  hdlcForm->addRow(QStringLiteral("Device path:"), deviceRow);
  hdlcForm->addRow(LBLBaud, EDITBaud);
  hdlcForm->addRow(CHKModeE);
  hdlcForm->addRow(QStringLiteral("Phys. addr.:"), EDITPhysicalAddress);

  auto* profiles = new QHBoxLayout;
  profiles->addWidget(tcpBox);
  profiles->addWidget(hdlcBox);
  return profiles;
}

QFormLayout* TFormSettings::BuildAssociation() {
  auto* assoc = new QFormLayout;
  assoc->addRow(QStringLiteral("Referencing Model:"), CBReferencingModel);
  assoc->addRow(QStringLiteral("Auth. Mechanism:"), CBAuthMechanism);
  auto* pwRow = new QHBoxLayout;
  pwRow->addWidget(PWTextEdit, 1);
  pwRow->addWidget(EDITPW, 1);
  pwRow->addWidget(CHKPWHex);
  assoc->addRow(LBLPW, pwRow);
  assoc->addRow(LBLGUEK, EDITGUEK);
  assoc->addRow(LBLGAK, EDITGAK);
  assoc->addRow(LBLServerSystemTitle, EDITServerSystemTitle);
  assoc->addRow(QString(), BTNUseMeterSystemTitle);
  const auto keyFileRow = [this, assoc](QLabel* label, QLineEdit* edit, const QString& key) {
    auto* row = new QHBoxLayout;
    auto* choose = new QPushButton(QStringLiteral("Browse..."));
    row->addWidget(edit, 1);
    row->addWidget(choose);
    assoc->addRow(label, row);
    connect(choose, &QPushButton::clicked, this, [this, edit, key] { BrowseKeyFile(edit, key); });
  };
  keyFileRow(LBLClientSigningKeyFile, EDITClientSigningKeyFile, QStringLiteral("ClientSigningKey"));
  keyFileRow(LBLServerSigningKeyFile, EDITServerSigningKeyFile, QStringLiteral("ServerSigningKey"));
  assoc->addRow(QString(), CHKShowSecrets);
  assoc->addRow(QStringLiteral("Protection applied to request:"), CBProtectionOnRequest);
  assoc->addRow(QString(), LBLSecurityProblem);
  return assoc;
}

void TFormSettings::UpdateSecurityFields() {
  const int index = CBAuthMechanism->currentIndex();
  int mechanism = 0;
  if (index >= 0)
    for (const auto& m : kMechanisms)
      if (CBAuthMechanism->currentText() == QLatin1String(m.Text)) mechanism = m.Value;
  const QString referencing = CBReferencingModel->currentText();
  const bool ciphered = referencing.endsWith(QLatin1String("with ciphering"));
  const client::TSettingsSecurityFields use = client::SettingsSecurityFields(ciphered, mechanism);
  LBLPW->setText(QLatin1String(use.Password && mechanism != client::mLow ? kCaptionHLSSecret : kCaptionLowPW));
  for (QWidget* w : {static_cast<QWidget*>(LBLPW), static_cast<QWidget*>(EDITPW), static_cast<QWidget*>(PWTextEdit),
                     static_cast<QWidget*>(CHKPWHex)})
    w->setEnabled(use.Password);
  for (QWidget* w : {static_cast<QWidget*>(LBLGUEK), static_cast<QWidget*>(EDITGUEK), static_cast<QWidget*>(LBLGAK),
                     static_cast<QWidget*>(EDITGAK)})
    w->setEnabled(use.Keys);
  LBLServerSystemTitle->setEnabled(use.ServerSystemTitle);
  EDITServerSystemTitle->setEnabled(use.ServerSystemTitle);
  for (QWidget* w : {static_cast<QWidget*>(LBLClientSigningKeyFile), static_cast<QWidget*>(EDITClientSigningKeyFile),
                     static_cast<QWidget*>(LBLServerSigningKeyFile), static_cast<QWidget*>(EDITServerSigningKeyFile)})
    w->setEnabled(use.SigningKeyFiles);
  UpdateSecurityProblem();
}

QString TFormSettings::SecurityProblem() const {
  try {
    if (EDITPW->isEnabled()) GetPasswordBytes();
    if (EDITGUEK->isEnabled()) {
      GetHexGUEK();
      GetHexGAK();
    }
    if (EDITServerSystemTitle->isEnabled()) GetHexServerSystemTitle();
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
  return QString();
}

void TFormSettings::UpdateSecurityProblem() {
  const QString problem = SecurityProblem();
  LBLSecurityProblem->setText(problem);
  LBLSecurityProblem->setVisible(!problem.isEmpty());
}

QString TFormSettings::PasswordCaption() const { return LBLPW->text(); }

bool TFormSettings::PasswordAsHex() const { return CHKPWHex->isChecked(); }

void TFormSettings::ShowPassword(bool forceHex) {
  bool hex = forceHex;
  QString text;
  if (!hex) {
    try {
      const std::string bytes = TMisc::HexStrToByteStr(EDITPW->text().toStdString());
      hex = !IsText(bytes);
      if (!hex) text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    } catch (const std::exception&) {
      hex = true;  // what was typed as hex stays there to be mended
    }
  }
  FPasswordSync = true;
  if (!hex) PWTextEdit->setText(text);
  FPasswordSync = false;
  CHKPWHex->setChecked(hex);
  EDITPW->setVisible(hex);
  PWTextEdit->setVisible(!hex);
}

void TFormSettings::SetPasswordAsHex(bool hex) {
  if (!hex) {
    const QString name = FieldName(LBLPW);
    const QString problem = HexFieldProblem(name, EDITPW->text(), 0);
    if (!problem.isEmpty()) {
      ShowPassword(true);
      RaiseGeneral(problem.toStdString());
    }
    if (!IsText(TMisc::HexStrToByteStr(EDITPW->text().toStdString()))) {
      ShowPassword(true);
      RaiseGeneral(Format("%s: the bytes are no text; they stay in hex", name.toUtf8().constData()));
    }
  }
  ShowPassword(hex);
}

void TFormSettings::SetSecretsShown(bool shown) {
  const QLineEdit::EchoMode mode = shown ? QLineEdit::Normal : QLineEdit::Password;
  for (QLineEdit* e : {EDITPW, PWTextEdit, EDITGUEK, EDITGAK}) e->setEchoMode(mode);
  if (CHKShowSecrets->isChecked() != shown) CHKShowSecrets->setChecked(shown);
}

bool TFormSettings::SecretsShown() const { return CHKShowSecrets->isChecked(); }

QString TFormSettings::HexFieldProblem(const QString& name, const QString& text, int digits) {
  int given = 0;
  for (const QChar c : text) {
    if (c == QLatin1Char(' ')) continue;
    if (c.unicode() > 0x7F || !std::isxdigit(c.unicode())) return QStringLiteral("%1: Illegal hex-character").arg(name);
    ++given;
  }
  if (digits > 0 && given != digits)
    return QStringLiteral("%1: %2 hex digits expected, %3 given").arg(name).arg(digits).arg(given);
  if (digits == 0 && given % 2 != 0)
    return QStringLiteral("%1: an even number of hex digits expected, %2 given").arg(name).arg(given);
  return QString();
}

std::string TFormSettings::GetPasswordBytes() const {
  const QString problem = HexFieldProblem(FieldName(LBLPW), EDITPW->text(), 0);
  if (!problem.isEmpty()) RaiseGeneral(problem.toStdString());
  return TMisc::HexStrToByteStr(EDITPW->text().toStdString());
}

QStringList TFormSettings::SerialDeviceCandidates(const QString& devRoot) {
  QStringList found;
  for (const std::string& d : client::SerialPorts(devRoot.toStdString())) found << QString::fromStdString(d);
  return found;
}

void TFormSettings::FillDeviceMenu(QMenu* menu, const QString& devRoot) {
  menu->clear();
  const QStringList devices = SerialDeviceCandidates(devRoot);
  if (devices.isEmpty()) menu->addAction(QStringLiteral("(no serial ports found)"))->setEnabled(false);
  for (const QString& d : devices)
    connect(menu->addAction(d), &QAction::triggered, this, [this, d] { EDITDevicePath->setText(d); });
}

bool TFormSettings::OfferMeterSystemTitle(const QString& hex) {
  bool differs = !hex.isEmpty();
  if (differs) {
    try {
      differs = TMisc::HexStrToByteStr(hex.toStdString()) !=
                TMisc::HexStrToByteStr(EDITServerSystemTitle->text().toStdString());
    } catch (const std::exception&) {
      // a field that is no hex at all differs from any title
    }
  }
  FOfferedTitle = differs ? hex.toUpper() : QString();
  BTNUseMeterSystemTitle->setText(QStringLiteral("Use the meter's system title %1").arg(FOfferedTitle));
  BTNUseMeterSystemTitle->setVisible(differs);
  return differs;
}

void TFormSettings::UseOfferedSystemTitle() {
  if (FOfferedTitle.isEmpty()) return;
  EDITServerSystemTitle->setText(FOfferedTitle);
  FOfferedTitle.clear();
  BTNUseMeterSystemTitle->setVisible(false);
}

void TFormSettings::BrowseKeyFile(QLineEdit* edit, const QString& key) {
  const QString f = RunRememberingFileDialog(this, TFileDialogKind::fdOpen, LBLClientSigningKeyFile->text(), key);
  if (!f.isEmpty()) edit->setText(f);
}

std::vector<QWidget*> TFormSettings::PersistedControls() const {
  return {EDITOLFileName,       RBSelectTCP,        EDITServerIP,       EDITComPort,
          EDITBaud,             CHKModeE,           EDITPhysicalAddress, RBSelectHDLC,
          CBReferencingModel,   CBAuthMechanism,    EDITPW,             EDITGUEK,
          EDITGAK,              EDITServerSystemTitle, CBProtectionOnRequest, EDITConnectTimeout,
          EDITResponseTimeout,  EDITClientAddress,  EDITServerAddress,
          // Added later; older files lack them and leave them empty.
          EDITDevicePath,       EDITClientSigningKeyFile, EDITServerSigningKeyFile, CHKCallIn, EDITCallInPort,
          Quirks->Strict()};
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
        // A file written before the HLS mechanisms were added holds the
        // first three; the others stay selectable after them.
        if (cb == CBAuthMechanism && items.size() == 3 && items[0] == QLatin1String(kMechanisms[0].Text) &&
            items[1] == QLatin1String(kMechanisms[1].Text) && items[2] == QLatin1String(kMechanisms[2].Text))
          for (size_t i = 3; i < std::size(kMechanisms); ++i) items << QLatin1String(kMechanisms[i].Text);
        cb->clear();
        cb->addItems(items);
      }
      index = ini.ReadInteger(section, QStringLiteral("i"), index);
      cb->setCurrentIndex(index >= 0 && index < cb->count() ? index : -1);
    }
  }
  UpdateBaudState();
  UpdateSecurityFields();
  ShowPassword(false);
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
  auto value = [&](const QLineEdit* edit, client::TAddressRange r) {
    return typedOnly && edit->text().trimmed().isEmpty() ? -1 : GetIntValue(edit, r.Min, r.Max);
  };
  const bool tcp = RBSelectTCP->isChecked();
  const bool physical = !tcp && !EDITPhysicalAddress->text().trimmed().isEmpty();
  // The ranges the settings file form is read with as well.
  const client::TSettingsAddressRanges ranges = client::SettingsAddressRanges(tcp, physical);
  TAddressSettings a;
  a.Client = value(EDITClientAddress, ranges.Client);
  if (physical) a.PhysicalAddress = value(EDITPhysicalAddress, ranges.Physical);
  a.Server = value(EDITServerAddress, ranges.Server);
  if (!tcp && !physical) a.HDLCUpperAddress = a.Server;
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

QString TFormSettings::CheckedHex(const QLineEdit* edit, int length, const QLabel* label, bool emptyAllowed) const {
  const QString text = edit->text();
  if (emptyAllowed && text.isEmpty()) return text;
  const QString problem = HexFieldProblem(FieldName(label), text, length);
  if (!problem.isEmpty()) RaiseGeneral(problem.toStdString());
  return text;
}

QString TFormSettings::GetHexGUEK() const { return CheckedHex(EDITGUEK, 32, LBLGUEK, false); }

QString TFormSettings::GetHexGAK() const { return CheckedHex(EDITGAK, 32, LBLGAK, true); }

QString TFormSettings::GetHexServerSystemTitle() const {
  return CheckedHex(EDITServerSystemTitle, 16, LBLServerSystemTitle, false);
}

void TFormSettings::AcceptSettings() {
  GetReferencingModel();
  GetMechanismName();
  GetAddresses(true);
  CheckTypedFields();
  Quirks->Quirks();
  if (TAppSettings* s = TAppSettings::Instance()) {
    SaveControls(s->Ini());
    s->SaveWindowGeometry(kSection, this);  // also writes the file
  }
}

void TFormSettings::CheckTypedFields() const {
  // A field may still be empty (a connect asks for it then); what is typed
  // must be right, so that a mistake shows where it was made.
  const auto typed = [](const QLineEdit* e) { return !e->text().trimmed().isEmpty(); };
  const bool tcp = RBSelectTCP->isChecked();
  if (tcp && typed(EDITServerIP)) {
    std::string host;
    int port = -1;
    const std::string text = EDITServerIP->text().trimmed().toStdString();
    client::SplitHostPort("IP and Port", text, host, port);
    if (port < 0) RaiseGeneral(Format("IP and Port \"%s\": expected HOST:PORT", text.c_str()));
  }
  if (!tcp) {
    if (typed(EDITComPort) && !typed(EDITDevicePath)) GetIntValue(EDITComPort, 1, 2147483647);
    if (typed(EDITBaud)) GetIntValue(EDITBaud, 45, 2147483647);
  }
  for (const QLineEdit* e : {EDITConnectTimeout, EDITResponseTimeout})
    if (typed(e)) GetIntValue(e, 0, 2147483647);
  if (CBReferencingModel->currentText().endsWith(QLatin1String("with ciphering"))) GetProtectionOnRequestToApply();
  // The security fields the mechanism and the context use, as the line
  // under them words it.
  const QString problem = SecurityProblem();
  if (!problem.isEmpty()) RaiseGeneral(problem.toStdString());
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

void TFormSettings::ShowError(const QString& msg) { ShowErrorBox(this, msg); }

}  // namespace quillon
