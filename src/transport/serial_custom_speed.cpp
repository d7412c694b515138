// Custom line speeds through termios2 / BOTHER. This file must not include
// <termios.h> (nor anything that pulls it in): the kernel's <asm/termbits.h>
// defines its own struct termios and the same macro names.

#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>

#include "transport/serial_device.h"

// Declared here rather than through <sys/ioctl.h>, whose types clash with
// the kernel's termbits header.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace vorn {

int SetCustomSerialSpeed(int fd, int baud) {
    if (baud <= 0) return EINVAL;
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
    // Output and input speed both become the custom rate.
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = static_cast<speed_t>(baud);
    tio.c_ispeed = static_cast<speed_t>(baud);
    if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
    return 0;
}

}  // namespace vorn
