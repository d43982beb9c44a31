#include "client/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "client/MeterProfile.h"

namespace quillon::client {

namespace {

[[noreturn]] void RaiseLock(const std::string& path, int err) {
  RaiseGeneral(Format("file \"%s\": cannot be locked (%s)", path.c_str(), std::strerror(err)));
}

int OpenLockFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 && errno == ENOENT) {
    MakeFolders(FolderOf(path));
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (fd < 0) RaiseLock(path, errno);
  return fd;
}

}  // namespace

bool TFileLock::TryLock(const std::string& lockPath, int& fd) {
  fd = OpenLockFile(lockPath);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    ::close(fd);
    fd = -1;
    if (err == EWOULDBLOCK) return false;
    RaiseLock(lockPath, err);
  }
  return true;
}

TFileLock::TFileLock(const std::string& lockPath, int timeoutMs, const std::atomic<bool>* cancel) : FPath(lockPath) {
  using namespace std::chrono;
  const auto until = steady_clock::now() + milliseconds(std::max(timeoutMs, 0));
  // Short waits first: a read-modify-write holds the lock for milliseconds.
  auto pause = milliseconds(1);
  while (!TryLock(lockPath, FFd)) {
    const bool cancelled = cancel && cancel->load();
    if (cancelled || (timeoutMs >= 0 && steady_clock::now() >= until)) {
      const long owner = Owner(lockPath);
      const std::string who = owner > 0 ? Format("process %ld holds it", owner) : std::string("another process holds it");
      throw ELockBusy(Format("file \"%s\": cannot be locked (%s)", lockPath.c_str(),
                             cancelled ? "cancelled" : who.c_str()),
                      owner);
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, milliseconds(50));
  }
}

TFileLock::~TFileLock() {
  if (FFd < 0) return;
  // The holder's id goes with the lock, so that nobody names a process that
  // no longer holds it.
  [[maybe_unused]] const int truncated = ::ftruncate(FFd, 0);
  ::close(FFd);
}

void TFileLock::WriteOwner() {
  const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
  if (::ftruncate(FFd, 0) != 0 || ::pwrite(FFd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // Naming the holder is a courtesy to waiters; the lock stands without it.
  }
}

long TFileLock::Owner(const std::string& lockPath) {
  const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  char buf[32] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  ::close(fd);
  if (n <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(buf, &end, 10);
  return pid > 0 && (*end == '\n' || *end == '\0') ? pid : 0;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    if (errno == ENOENT) return std::string();
    RaiseGeneral(Format("file \"%s\": cannot be read (%s)", path.c_str(), std::strerror(errno)));
  }
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LinkTarget(const std::string& path) {
  std::string current = path;
  // A chain of links is followed as far as the system itself would.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n <= 0) return current;
    target.resize(static_cast<size_t>(n));
    current = target[0] == '/' ? target : FolderOf(current) + "/" + target;
  }
  return current;
}

void WriteFileDurably(const std::string& path, const std::string& text, unsigned mode) {
  const std::string target = LinkTarget(path);
  auto raise = [&](int err) {
    RaiseGeneral(Format("file \"%s\": cannot be written (%s)", path.c_str(), std::strerror(err)));
  };
  std::string tmpl = target + ".XXXXXX";
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) raise(errno);
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    raise(err);
  };
  if (::fchmod(fd, mode) != 0) fail(errno);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmpl.c_str());
    raise(err);
  }
  if (::rename(tmpl.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmpl.c_str());
    raise(err);
  }
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace quillon::client
