// quillon-cli's fleet commands: batch (many meters at once), export and
// merge (the readings database), listen (data the meters push), headend
// (meters that call in).
#pragma once

#include "client/ProfileOptions.h"

namespace quillon::cli {

// A wrong command line of a fleet command: exit status 2.
using EFleetUsage = client::EUsageError;

bool IsFleetCommand(const char* word);
// argv[1] is the command. Returns the exit status.
int RunFleetCommand(int argc, char** argv);

}  // namespace quillon::cli
