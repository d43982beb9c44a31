// "Find meter...": the probe dialog set up from the window's settings.
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>

#include "app/FormFindMeter.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"

namespace quillon {

TFormFindMeter* TFormMain::CreateFindMeter() {
  // The probe connects on its own; a serial line takes one user.
  if (LinkConnected()) RunLinkOperation([this] { DisconnectLink(); });
  auto* dialog = new TFormFindMeter(this);
  if (FormSettings->RBSelectTCP->isChecked()) {
    dialog->RBTcp->setChecked(true);
    dialog->EDITHostPort->setText(FormSettings->EDITServerIP->text());
  } else {
    dialog->RBSerial->setChecked(true);
    // The device the settings name (their path, or their COM number),
    // as a connect would take it.
    try {
      dialog->CBDevice->setEditText(QString::fromStdString(CurrentMeterProfile().Device));
    } catch (const std::exception&) {
      // Settings the operator has not finished: the dialog offers the ports present.
    }
  }
  dialog->UseProfile = [this](const client::TMeterProfile& p) { UseProfile(p); };
  dialog->SaveProfile = [this](const QString& name, const client::TMeterProfile& p) { StoreMeter(name, p); };
  dialog->SettingsProfile = [this] { return CurrentMeterProfile(); };
  return dialog;
}

}  // namespace quillon
