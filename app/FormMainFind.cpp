// "Find meter...": the probe dialog set up from the window's settings.
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>

#include "app/FormFindMeter.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "comm/Serial.h"

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
    bool ok = false;
    const int com = FormSettings->EDITComPort->text().toInt(&ok);
    if (ok && com > 0) dialog->CBDevice->setEditText(QString::fromStdString(TProtocolLayerSerial::DeviceNameOfCOM(com)));
  }
  dialog->UseProfile = [this](const client::TMeterProfile& p) { UseProfile(p); };
  dialog->SaveProfile = [this](const QString& name, const client::TMeterProfile& p) { StoreMeter(name, p); };
  dialog->SettingsProfile = [this] { return CurrentMeterProfile(); };
  return dialog;
}

}  // namespace quillon
