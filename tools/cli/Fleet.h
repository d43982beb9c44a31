// quillon-cli's fleet commands: batch (many meters at once), export and
// merge (the readings database), listen (data the meters push).
#pragma once

namespace quillon::cli {

bool IsFleetCommand(const char* word);
// argv[1] is the command. Returns the exit status.
int RunFleetCommand(int argc, char** argv);

}  // namespace quillon::cli
