// Ctrl-C and SIGTERM for every command of quillon-cli.
#pragma once

#include "client/Session.h"

namespace quillon::cli {

// What runs is cancelled through `token` (sessions end their waits, counters
// are handed back, finished meters are stored) and the command winds down;
// whatever it is doing, the process ends within a second of the signal with
// status 130 (SIGINT) or 143 (SIGTERM), as shells expect. A closed pipe
// becomes a write error instead of ending the process.
void CatchStopSignals(client::TCancelToken& token);

// `status`, or 128 + the signal when a stop signal came.
int StatusAfterStop(int status);

}  // namespace quillon::cli
