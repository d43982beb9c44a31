// What one meter operation needs from the settings dialog, read on the
// window thread before the worker starts: the worker never touches widgets.
#pragma once

#include <QString>

#include "xmlpdu/infra/Misc.h"

namespace quillon {

struct TLinkSettings {
  bool Tcp = false;
  QString ServerIP;
  int ComPort = 0, Baud = 0;
  int PhysicalAddress = -1;  // -1: none given, one-byte server address
  int HDLCUpperAddress = 0;
  bool ModeE = false;
  int ClientAddress = 0, ServerAddress = 0, ConnectTimeout = 0, ResponseTimeout = 0;
  int ReferencingModel = 0, Mechanism = 0, Protection = 0;
  PduStr Password, GUEK, GAK, ServerSystemTitle;
  int InactivityTimeout = 30000;
};

}  // namespace quillon
