// "Find meter...": runs the session library's probe against a TCP address
// or a serial device on a worker thread, shows each attempt as it ends and
// the profile it recommends, and hands that profile to the settings or to
// the named meters.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "client/Probe.h"
#include "client/Session.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableWidget;
class QTimer;

namespace quillon {

// What differs between two profiles, as the operator reads it:
// "response timeout 5000 → 1500 ms", "client address 1 → 16"; secrets are
// named without their values. Empty when nothing differs.
QStringList ProfileChanges(const client::TMeterProfile& before, const client::TMeterProfile& after);

class TFormFindMeter : public QDialog {
  Q_OBJECT
public:
  explicit TFormFindMeter(QWidget* parent = nullptr);
  // Cancels a probe still running and waits for it.
  ~TFormFindMeter() override;

  // The probe's options from the fields; fails with a message naming the
  // field, the value and what was expected.
  client::TProbeOptions Options() const;
  // Starts the probe (refused while one runs); failures of the fields go to
  // a message box.
  void Start();
  // Asks the running probe to stop; it ends within a fraction of a second.
  void CancelProbe();
  // Esc and Close: a running probe is cancelled first, the dialog closes on
  // the next one.
  void reject() override;
  bool Running() const { return FWorker.joinable(); }
  const client::TProbeResult& Result() const { return FResult; }

  // What "Use for settings" and "Save as meter..." do with the recommended
  // profile; the main window sets them. A failure is shown in a message box.
  std::function<void(const client::TMeterProfile&)> UseProfile;
  std::function<void(const QString& name, const client::TMeterProfile&)> SaveProfile;
  // The profile the settings make, so that "Use for settings" can say what
  // it changed; fails while a field is wrong.
  std::function<client::TMeterProfile()> SettingsProfile;
  // "Use for settings" and "Save as meter..." on the recommended profile.
  void UseRecommended();
  void SaveRecommended(const QString& name);

  QRadioButton* RBTcp;
  QLineEdit* EDITHostPort;
  QRadioButton* RBSerial;
  QComboBox* CBDevice;
  QSpinBox* SPINBudget;            // seconds
  QSpinBox* SPINAttemptTimeout;    // milliseconds
  QLineEdit* EDITPhysical;
  QLineEdit* EDITSerialNumber;
  QLineEdit* EDITClient;
  QLineEdit* EDITPassword;
  QCheckBox* CHKPasswordHex;
  QPushButton* BTNFind;
  QPushButton* BTNCancel;
  QPushButton* BTNUse;
  QPushButton* BTNSave;
  QLabel* LBLProgress;
  QProgressBar* Budget;
  QTableWidget* Attempts;
  QLabel* LBLRecommended;

signals:
  // The probe ended: found, not found, out of time or cancelled.
  void Finished();

private:
  void AttemptStarted(const client::TMeterProfile& p);
  void AttemptEnded(const client::TProbeAttempt& a);
  void ProbeEnded(const client::TProbeResult& r);
  void UpdateStates();
  void ShowError(const QString& msg);

  std::thread FWorker;
  client::TCancelToken FCancel;
  client::TProbeResult FResult;
  QTimer* FClock;
  qint64 FStartedMs = 0;
  int FBudgetMs = 0;
};

}  // namespace quillon
