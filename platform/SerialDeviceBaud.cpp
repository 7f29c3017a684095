// Arbitrary line rates through termios2; see SerialDeviceDetail.h for why this is apart.
// TCGETS2 and TCSETS2 (unlike the W/F variants) never sleep, so no EINTR can reach them.
#include "platform/SerialDeviceDetail.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace Platform::Detail {

int SetArbitraryBaud(int fd, uint32_t baud) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) {
    return errno;
  }
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = baud;
  settings.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &settings) == 0 ? 0 : errno;
}

int GetActualBaud(int fd, uint32_t& baud) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) {
    return errno;
  }
  baud = settings.c_ospeed;
  return 0;
}

} // namespace Platform::Detail
