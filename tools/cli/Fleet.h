// quillon-cli's fleet commands: batch (many meters at once), export and
// merge (the readings database), listen (data the meters push), headend
// (meters that call in).
#pragma once

#include <stdexcept>

namespace quillon::cli {

// A wrong command line of a fleet command: exit status 2.
class EFleetUsage : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

bool IsFleetCommand(const char* word);
// argv[1] is the command. Returns the exit status.
int RunFleetCommand(int argc, char** argv);

}  // namespace quillon::cli
