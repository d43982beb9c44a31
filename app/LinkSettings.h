// What one meter operation needs from the settings dialog, read on the
// window thread before the worker starts: the worker never touches widgets.
#pragma once

#include "client/MeterProfile.h"

namespace quillon {

struct TLinkSettings {
  // How to reach the meter (filled for a connect only).
  client::TMeterProfile Profile;
  int ReferencingModel = 0;
  // Protection of the next request on a ciphered context (0 none).
  int Protection = 0;
};

}  // namespace quillon
