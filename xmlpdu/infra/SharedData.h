// Files the programs share (the OBIS description database, the simulator's
// meter model), installed in <prefix>/share/quillon. The build tree has the
// same layout (build/bin, build/tests and build/share/quillon), so one rule
// finds them both when installed and when run from the build tree: the folder
// share/quillon beside the running program's folder.
#pragma once

#include <string>

namespace quillon {

// "<folder of the running program>/../share/quillon"; empty when the
// program's own path cannot be read.
std::string SharedDataDir();
// The path of `name` in that folder, or empty when there is no such file.
std::string SharedDataFile(const std::string& name);

}  // namespace quillon
