// Kept apart: <asm/termbits.h> cannot share a translation unit with <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace quillon {

bool SetCustomBaud(int fd, int baud) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_ispeed = static_cast<speed_t>(baud);
  t.c_ospeed = static_cast<speed_t>(baud);
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace quillon
