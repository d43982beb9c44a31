#include "app/MessageBoxes.h"
#include "app/FormFindMeter.h"
#include "app/FormTraffic.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "client/TrafficLog.h"
#include "app/FileDialogs.h"
#include "app/WindowFit.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

namespace {

enum { cTried, cOutcome, cDetail, cTime, cMeter, cColumns };

// An optional number field: -1 when empty.
int OptionalInt(const QLineEdit* edit, const char* label, int min, int max) {
  const QString text = edit->text().trimmed();
  if (text.isEmpty()) return -1;
  bool ok = false;
  const int v = text.toInt(&ok);
  if (!ok || v < min || v > max)
    RaiseGeneral(Format("%s \"%s\": expected an integer in %d..%d", label, text.toUtf8().constData(), min, max));
  return v;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

// What a public association showed of the meter.
QString MeterText(const client::TProbeAttempt& a) {
  QStringList parts;
  if (!a.LogicalDeviceName.empty()) parts << Q(a.LogicalDeviceName);
  if (!a.SerialNumber.empty()) parts << QStringLiteral("serial number %1").arg(Q(a.SerialNumber));
  if (a.ObjectCount >= 0) parts << CountText(a.ObjectCount, QStringLiteral("object"), QStringLiteral("objects"));
  return parts.join(QStringLiteral(", "));
}

}  // namespace

TFormFindMeter::TFormFindMeter(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FormFindMeter"));
  setWindowTitle(QStringLiteral("Find meter"));

  RBTcp = new QRadioButton(QStringLiteral("TCP host:port"));
  EDITHostPort = new QLineEdit(QStringLiteral("127.0.0.1:4059"));
  RBSerial = new QRadioButton(QStringLiteral("Serial device"));
  CBDevice = new QComboBox;
  CBDevice->setEditable(true);
  for (const std::string& d : client::SerialPorts()) CBDevice->addItem(Q(d));
  CBDevice->setCurrentIndex(-1);
  CBDevice->setMinimumContentsLength(28);
  RBTcp->setChecked(true);
  auto* where = new QGroupBox(QStringLiteral("Where the meter is"));
  auto* whereForm = new QFormLayout(where);
  whereForm->addRow(RBTcp, EDITHostPort);
  whereForm->addRow(RBSerial, CBDevice);

  SPINBudget = new QSpinBox;
  SPINBudget->setRange(1, 3600);
  SPINBudget->setValue(60);
  SPINBudget->setSuffix(QStringLiteral(" s"));
  SPINAttemptTimeout = new QSpinBox;
  SPINAttemptTimeout->setRange(100, 60000);
  SPINAttemptTimeout->setSingleStep(100);
  SPINAttemptTimeout->setValue(1500);
  SPINAttemptTimeout->setSuffix(QStringLiteral(" ms"));
  EDITPhysical = new QLineEdit;
  EDITPhysical->setPlaceholderText(QStringLiteral("tried besides 17, 1 and 16"));
  EDITSerialNumber = new QLineEdit;
  EDITSerialNumber->setPlaceholderText(QStringLiteral("gives the physical address (16 + last four digits)"));
  EDITClient = new QLineEdit;
  EDITClient->setPlaceholderText(QStringLiteral("tried after the public client 16"));
  EDITPassword = new QLineEdit;
  EDITPassword->setEchoMode(QLineEdit::Password);
  EDITPassword->setPlaceholderText(QStringLiteral("low security, for that client"));
  CHKPasswordHex = new QCheckBox(QStringLiteral("Hex"));
  auto* passwordRow = new QHBoxLayout;
  passwordRow->addWidget(EDITPassword, 1);
  passwordRow->addWidget(CHKPasswordHex);
  auto* hints = new QGroupBox(QStringLiteral("What is known (all optional)"));
  auto* hintForm = new QFormLayout(hints);
  hintForm->addRow(QStringLiteral("Budget:"), SPINBudget);
  hintForm->addRow(QStringLiteral("Attempt timeout:"), SPINAttemptTimeout);
  hintForm->addRow(QStringLiteral("Physical address:"), EDITPhysical);
  hintForm->addRow(QStringLiteral("Serial number:"), EDITSerialNumber);
  hintForm->addRow(QStringLiteral("Client address:"), EDITClient);
  hintForm->addRow(QStringLiteral("Password:"), passwordRow);

  BTNFind = new QPushButton(QStringLiteral("Find"));
  BTNFind->setDefault(true);
  BTNCancel = new QPushButton(QStringLiteral("Cancel"));
  LBLProgress = new QLabel(QStringLiteral("Not started"));
  LBLProgress->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Budget = new QProgressBar;
  Budget->setRange(0, 1000);
  Budget->setTextVisible(false);
  auto* run = new QHBoxLayout;
  run->addWidget(BTNFind);
  run->addWidget(BTNCancel);
  run->addWidget(Budget, 1);

  Attempts = new QTableWidget(0, cColumns);
  Attempts->setHorizontalHeaderLabels({QStringLiteral("Tried"), QStringLiteral("Outcome"), QStringLiteral("Detail"),
                                       QStringLiteral("ms"), QStringLiteral("Meter")});
  Attempts->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Attempts->setSelectionBehavior(QAbstractItemView::SelectRows);
  Attempts->setWordWrap(false);
  Attempts->horizontalHeader()->setStretchLastSection(true);
  Attempts->horizontalHeader()->setSectionResizeMode(cTried, QHeaderView::ResizeToContents);
  Attempts->horizontalHeader()->setSectionResizeMode(cOutcome, QHeaderView::ResizeToContents);
  Attempts->horizontalHeader()->setSectionResizeMode(cTime, QHeaderView::ResizeToContents);
  Attempts->horizontalHeader()->resizeSection(cDetail, 260);

  LBLRecommended = new QLabel;
  LBLRecommended->setWordWrap(true);
  LBLRecommended->setTextInteractionFlags(Qt::TextSelectableByMouse);
  BTNUse = new QPushButton(QStringLiteral("Use for settings"));
  BTNSave = new QPushButton(QStringLiteral("Save as meter..."));
  auto* close = new QPushButton(QStringLiteral("Close"));
  auto* found = new QHBoxLayout;
  found->addWidget(BTNUse);
  found->addWidget(BTNSave);
  found->addStretch(1);
  found->addWidget(close);

  auto* top = new QVBoxLayout(this);
  auto* inputs = new QHBoxLayout;
  inputs->addWidget(where, 1);
  inputs->addWidget(hints, 1);
  top->addLayout(inputs);
  top->addLayout(run);
  top->addWidget(LBLProgress);
  top->addWidget(Attempts, 1);
  top->addWidget(LBLRecommended);
  top->addLayout(found);

  FClock = new QTimer(this);
  FClock->setInterval(100);
  connect(FClock, &QTimer::timeout, this, [this] {
    const qint64 elapsed = QDateTime::currentMSecsSinceEpoch() - FStartedMs;
    Budget->setValue(FBudgetMs > 0 ? static_cast<int>(qMin<qint64>(1000, elapsed * 1000 / FBudgetMs)) : 0);
  });
  connect(BTNFind, &QPushButton::clicked, this, &TFormFindMeter::Start);
  connect(BTNCancel, &QPushButton::clicked, this, &TFormFindMeter::CancelProbe);
  connect(BTNUse, &QPushButton::clicked, this, &TFormFindMeter::UseRecommended);
  connect(BTNSave, &QPushButton::clicked, this, [this] {
    bool ok = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("Save as meter"), QStringLiteral("Name:"),
                                               QLineEdit::Normal, QString(), &ok);
    if (ok && !name.trimmed().isEmpty()) SaveRecommended(name.trimmed());
  });
  connect(close, &QPushButton::clicked, this, &TFormFindMeter::reject);
  connect(RBTcp, &QRadioButton::toggled, this, [this] { UpdateStates(); });
  connect(RBSerial, &QRadioButton::toggled, this, [this] { UpdateStates(); });
  UpdateStates();
  resize(900, 560);
  FitToScreen(this);
}

TFormFindMeter::~TFormFindMeter() {
  FCancel.Cancel();
  if (FWorker.joinable()) FWorker.join();
}

client::TProbeOptions TFormFindMeter::Options() const {
  client::TProbeOptions o;
  client::TMeterProfile& base = o.Base;
  o.Serial = RBSerial->isChecked();
  if (o.Serial) {
    base.Transport = client::TTransport::tHdlcSerial;
    base.Device = CBDevice->currentText().trimmed().toStdString();
    if (base.Device.empty()) RaiseGeneral("Serial device: a device path expected");
  } else {
    base.Transport = client::TTransport::tWrapperTcp;
    client::SplitHostPort("Host", EDITHostPort->text().trimmed().toStdString(), base.Host, base.Port);
  }
  o.BudgetMs = SPINBudget->value() * 1000;
  o.AttemptTimeoutMs = SPINAttemptTimeout->value();
  // The probe's own HDLC forms carry 14 bits of a physical address.
  if (const int physical = OptionalInt(EDITPhysical, "Physical address", 0, 16383); physical >= 0)
    o.PhysicalAddresses.push_back(physical);
  o.SerialNumber = EDITSerialNumber->text().trimmed().toStdString();
  o.Client = OptionalInt(EDITClient, "Client address", 1, 127);
  const QString password = EDITPassword->text();
  if (!password.isEmpty()) {
    if (o.Client < 0) RaiseGeneral("Client address: the client the password belongs to expected");
    base.Mechanism = client::mLow;
    if (CHKPasswordHex->isChecked()) {
      try {
        base.Secret = TMisc::HexStrToByteStr(password.toStdString());
      } catch (const std::exception&) {
        RaiseGeneral("Password: hex digits expected");
      }
    } else {
      base.Secret = password.toStdString();
    }
  }
  base.ClientAddress = o.Client >= 0 ? o.Client : 16;
  return o;
}

void TFormFindMeter::Start() {
  if (Running()) return;
  client::TProbeOptions options;
  try {
    options = Options();
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
    return;
  }
  // Progress reaches the window through its event loop; the worker never
  // waits for it.
  options.OnStart = [this](const client::TMeterProfile& p) {
    QMetaObject::invokeMethod(this, [this, p] { AttemptStarted(p); }, Qt::QueuedConnection);
  };
  // The attempts' traffic goes to the log window, marked as the finder's.
  options.LayerNames = MarkedLayerNames("Find");
  options.Log = MarkedSessionLog("Find");
  FResult = client::TProbeResult{};
  Attempts->setRowCount(0);
  LBLRecommended->clear();
  LBLProgress->setText(QStringLiteral("Starting"));
  FCancel.Reset();
  FBudgetMs = options.BudgetMs;
  FStartedMs = QDateTime::currentMSecsSinceEpoch();
  Budget->setValue(0);
  FClock->start();
  FWorker = std::thread([this, options] {
    client::TProbeResult r;
    QString failure;
    try {
      r = client::Probe(options, client::TCall{&FCancel, {}}, [this](const client::TProbeAttempt& a) {
        QMetaObject::invokeMethod(this, [this, a] { AttemptEnded(a); }, Qt::QueuedConnection);
      });
    } catch (const std::exception& e) {
      failure = QString::fromUtf8(e.what());
    }
    QMetaObject::invokeMethod(
        this,
        [this, r, failure] {
          ProbeEnded(r);
          if (!failure.isEmpty()) LBLProgress->setText(failure);
        },
        Qt::QueuedConnection);
  });
  UpdateStates();
}

void TFormFindMeter::CancelProbe() {
  if (!Running()) return;
  FCancel.Cancel();
  LBLProgress->setText(QStringLiteral("Cancelling"));
}

void TFormFindMeter::reject() {
  // Esc stops a running probe first; the next one closes the dialog.
  if (Running()) {
    CancelProbe();
    return;
  }
  QDialog::reject();
}

void TFormFindMeter::AttemptStarted(const client::TMeterProfile& p) {
  if (!Running()) return;
  LBLProgress->setText(QStringLiteral("Attempt %1: %2").arg(Attempts->rowCount() + 1).arg(Q(client::AttemptText(p))));
}

void TFormFindMeter::AttemptEnded(const client::TProbeAttempt& a) {
  const int row = Attempts->rowCount();
  Attempts->insertRow(row);
  const QString cells[cColumns] = {Q(client::AttemptText(a.Profile)), Q(a.Outcome), Q(a.Detail),
                                   QString::number(a.ElapsedMs), MeterText(a)};
  for (int c = 0; c < cColumns; ++c) {
    auto* item = new QTableWidgetItem(cells[c]);
    item->setToolTip(cells[c]);
    Attempts->setItem(row, c, item);
  }
  Attempts->scrollToBottom();
}

void TFormFindMeter::ProbeEnded(const client::TProbeResult& r) {
  if (FWorker.joinable()) FWorker.join();
  FClock->stop();
  FResult = r;
  // Attempts still queued arrive before this; the table holds them all.
  const QString n = CountText(static_cast<qint64>(r.Attempts.size()), QStringLiteral("attempt"), QStringLiteral("attempts"));
  if (r.Recommended) {
    QString text = QStringLiteral("Recommended: %1").arg(Q(client::AttemptText(*r.Recommended)));
    if (r.Recommended->Quirks.Any()) text += QStringLiteral(", quirks %1").arg(Q(r.Recommended->Quirks.Text()));
    LBLRecommended->setText(text);
    LBLProgress->setText(QStringLiteral("Found after %1").arg(n));
  } else {
    LBLRecommended->setText(QString());
    if (r.Cancelled) LBLProgress->setText(QStringLiteral("Cancelled after %1").arg(n));
    else if (r.OutOfTime) LBLProgress->setText(QStringLiteral("No association with the meter within the budget (%1)").arg(n));
    else LBLProgress->setText(QStringLiteral("No association with the meter after %1").arg(n));
  }
  UpdateStates();
  emit Finished();
}

void TFormFindMeter::UseRecommended() {
  if (!FResult.Recommended || !UseProfile) return;
  try {
    // What the settings held before, to say what taking the profile changed;
    // settings that make no profile yet (a first start, a field being
    // mended) are replaced whole.
    std::optional<client::TMeterProfile> before;
    if (SettingsProfile) {
      try {
        before = SettingsProfile();
      } catch (const std::exception&) {
      }
    }
    UseProfile(*FResult.Recommended);
    QString text;
    if (before && SettingsProfile) {
      const QStringList changes = ProfileChanges(*before, SettingsProfile());
      text = changes.isEmpty() ? QStringLiteral("Settings unchanged: they already hold this profile")
                               : QStringLiteral("Settings changed: %1").arg(changes.join(QStringLiteral("; ")));
    } else {
      text = QStringLiteral("Settings replaced: %1").arg(Q(client::AttemptText(*FResult.Recommended)));
    }
    LBLProgress->setText(text);
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
  }
}

QStringList ProfileChanges(const client::TMeterProfile& before, const client::TMeterProfile& after) {
  QStringList changes;
  const auto number = [&](const char* what, int a, int b, const char* unit = "") {
    if (a != b) changes << QStringLiteral("%1 %2 → %3%4").arg(QLatin1String(what)).arg(a).arg(b).arg(QLatin1String(unit));
  };
  const auto text = [&](const char* what, const std::string& a, const std::string& b) {
    if (a != b)
      changes << QStringLiteral("%1 %2 → %3")
                     .arg(QLatin1String(what), a.empty() ? QStringLiteral("(none)") : Q(a),
                          b.empty() ? QStringLiteral("(none)") : Q(b));
  };
  // Secrets are named, never shown.
  const auto secret = [&](const char* what, const std::string& a, const std::string& b) {
    if (a != b) changes << QStringLiteral("%1 changed").arg(QLatin1String(what));
  };
  const auto where = [](const client::TMeterProfile& p) {
    switch (p.Transport) {
      case client::TTransport::tWrapperTcp: return "TCP " + p.Host + ":" + std::to_string(p.Port);
      case client::TTransport::tHdlcTcp: return "HDLC over TCP " + p.Host + ":" + std::to_string(p.Port);
      case client::TTransport::tHdlcSerial: break;
    }
    return "serial " + p.Device;
  };
  text("meter", where(before), where(after));
  if (after.Transport == client::TTransport::tHdlcSerial) {
    number("baud rate", before.Baud, after.Baud);
    if (before.ModeE != after.ModeE) changes << (after.ModeE ? QStringLiteral("mode E on") : QStringLiteral("mode E off"));
  }
  number("client address", before.ClientAddress, after.ClientAddress);
  number("server address", before.ServerAddress, after.ServerAddress);
  const auto physical = [](int a) { return a < 0 ? std::string() : std::to_string(a); };
  text("physical address", physical(before.PhysicalAddress), physical(after.PhysicalAddress));
  if (before.ShortNames != after.ShortNames)
    changes << (after.ShortNames ? QStringLiteral("short names") : QStringLiteral("logical names"));
  text("authentication", client::MechanismName(before.Mechanism), client::MechanismName(after.Mechanism));
  secret("password", before.Secret, after.Secret);
  text("security", client::PolicyName(before.Policy), client::PolicyName(after.Policy));
  secret("encryption key", before.EK, after.EK);
  secret("authentication key", before.AK, after.AK);
  text("meter system title", TMisc::ByteStrToHexStr(before.ServerSystemTitle),
       TMisc::ByteStrToHexStr(after.ServerSystemTitle));
  number("connect timeout", before.ConnectTimeout, after.ConnectTimeout, " ms");
  number("response timeout", before.ResponseTimeout, after.ResponseTimeout, " ms");
  text("quirks", before.Quirks.Text(), after.Quirks.Text());
  return changes;
}

void TFormFindMeter::SaveRecommended(const QString& name) {
  if (!FResult.Recommended || !SaveProfile) return;
  try {
    SaveProfile(name, *FResult.Recommended);
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
  }
}

void TFormFindMeter::UpdateStates() {
  const bool running = Running();
  BTNFind->setEnabled(!running);
  BTNCancel->setEnabled(running);
  for (QWidget* w : std::initializer_list<QWidget*>{RBTcp, RBSerial, SPINBudget, SPINAttemptTimeout, EDITPhysical,
                                                   EDITSerialNumber, EDITClient, EDITPassword, CHKPasswordHex})
    w->setEnabled(!running);
  EDITHostPort->setEnabled(!running && RBTcp->isChecked());
  CBDevice->setEnabled(!running && RBSerial->isChecked());
  const bool found = !running && FResult.Recommended.has_value();
  BTNUse->setEnabled(found && UseProfile != nullptr);
  BTNSave->setEnabled(found && SaveProfile != nullptr);
}

void TFormFindMeter::ShowError(const QString& msg) { ShowErrorBox(this, msg); }

}  // namespace quillon
