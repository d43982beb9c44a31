// A serial adapter for the tests of what listens on a serial line: a
// pseudo-terminal whose slave the code under test opens by a name (a
// symlink, as /dev/serial/by-id names a USB adapter); destroying it is
// pulling the adapter out, and a new one made under the same name is
// plugging one in again.
#pragma once

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace quillon::test {

class TPluggedPty {
public:
  explicit TPluggedPty(const std::string& link) {
    int master = -1, slave = -1;
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    // Raw from the start, so nothing written is changed before the line is set up.
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    // Only the code under test holds the slave.
    ::close(slave);
    FMaster = master;
    std::filesystem::remove(link);
    std::filesystem::create_symlink(name, link);
  }
  ~TPluggedPty() { ::close(FMaster); }
  TPluggedPty(const TPluggedPty&) = delete;
  TPluggedPty& operator=(const TPluggedPty&) = delete;
  // Writes all of `bytes`, as the meter sends them; false when it could not.
  bool Write(const std::string& bytes) const {
    return ::write(FMaster, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

private:
  int FMaster = -1;
};

}  // namespace quillon::test
