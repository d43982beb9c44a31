#include "xmlpdu/infra/SharedData.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace quillon {

std::string SharedDataDir() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string program(path, static_cast<size_t>(n));
  const size_t slash = program.rfind('/');
  if (slash == std::string::npos) return {};
  return program.substr(0, slash) + "/../share/quillon";
}

std::string SharedDataFile(const std::string& name) {
  const std::string dir = SharedDataDir();
  if (dir.empty()) return {};
  const std::string file = dir + "/" + name;
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? file : std::string();
}

}  // namespace quillon
