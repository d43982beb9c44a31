// Connecting, reading and writing through the engine and the layer stacks.
#include <QAction>
#include <QLabel>

#include "app/FormMain.h"
#include "app/FormTraffic.h"
#include "xmlpdu/infra/Errors.h"

namespace quillon {

namespace {
[[noreturn]] void NotInThisBuild() { RaiseGeneral("The meter connection is not part of this build"); }
}  // namespace

bool TFormMain::LinkConnected() const { return false; }
void TFormMain::DisconnectLink() {}
void TFormMain::RequestUserAbort() {}
void TFormMain::FillObjectsFromEditor() {}
void TFormMain::MMDoConnectClick() { Guarded([] { NotInThisBuild(); }); }
void TFormMain::MMDoReadObjectListClick() { Guarded([] { NotInThisBuild(); }); }
void TFormMain::MMDoDisconnectClick() {}
void TFormMain::LVClick() {}
void TFormMain::WriteThisClick() { Guarded([] { NotInThisBuild(); }); }

}  // namespace quillon
