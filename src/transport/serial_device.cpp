#include "transport/serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/diagnostics.h"
#include "transport/serial_port.h"

namespace vorn {

namespace {

// Speeds that have a termios constant; every other positive speed goes
// through the custom-rate interface.
struct StandardSpeed {
    int baud;
    speed_t code;
};
constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool StandardSpeedCode(int baud, speed_t* code) {
    for (const auto& s : kStandardSpeeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

tcflag_t DataBitsFlag(int byteSize) {
    switch (byteSize) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        default: return CS8;
    }
}

// Raw mode plus the four line parameters. Every input flag that alters or
// swallows bytes is cleared, software flow control included: the panel
// protocol is binary, and 0x11/0x13 are ordinary button ids there.
// Hardware flow control (CRTSCTS) is cleared too: panels use three-wire
// cables, so CTS never rises, and with it on the output would stall until
// every write ran into its time-out. The rest stays as the device had it.
void ApplyLineSettings(termios* tio, const SerialLineSettings& s) {
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IUCLC | IMAXBEL | IXON | IXOFF | IXANY);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG |
                                           IEXTEN);
    // The receiver must be on; panels use three-wire cables, so modem
    // status lines must not gate the line.
    tio->c_cflag |= CREAD | CLOCAL;
    tio->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;

    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    tio->c_cflag |= DataBitsFlag(s.byteSize);

    tio->c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    switch (s.parity) {
        case 1: tio->c_cflag |= PARENB | PARODD; break;            // odd
        case 2: tio->c_cflag |= PARENB; break;                     // even
        case 3: tio->c_cflag |= PARENB | PARODD | CMSPAR; break;   // mark
        case 4: tio->c_cflag |= PARENB | CMSPAR; break;            // space
        default: break;                                            // none
    }

    // Two stop bits; with five data bits the UART sends one and a half.
    if (s.stopBits == 0) {
        tio->c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    } else {
        tio->c_cflag |= CSTOPB;
    }
}

SerialDeviceId IdOf(const struct stat& st) {
    SerialDeviceId id;
    id.known = true;
    if (S_ISCHR(st.st_mode)) {
        id.device = static_cast<uint64_t>(st.st_rdev);
    } else {
        id.device = static_cast<uint64_t>(st.st_dev);
        id.inode = static_cast<uint64_t>(st.st_ino);
    }
    return id;
}

bool IsPseudoTerminalSlave(const struct stat& st) {
    // 136..143: the kernel's pseudo-terminal slave majors.
    return S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// Pseudo-terminals have no line: the kernel drops parity from their
// settings and the C library then reports the whole change as refused,
// although everything else was applied. For them only, a change counts as
// done when all but the parity bits read back as asked.
bool PseudoTerminalTook(int fd, const termios& want) {
    int saved = errno;  // the caller logs the refusal's errno
    struct stat st {};
    termios now {};
    const tcflag_t parityBits = PARENB | PARODD | CMSPAR;
    bool took = fstat(fd, &st) == 0 && IsPseudoTerminalSlave(st) && tcgetattr(fd, &now) == 0 &&
                now.c_iflag == want.c_iflag && now.c_oflag == want.c_oflag &&
                now.c_lflag == want.c_lflag &&
                (now.c_cflag & ~parityBits) == (want.c_cflag & ~parityBits);
    errno = saved;
    return took;
}

const char* Reason(int err) {
    switch (err) {
        case ENOENT:
        case ENXIO:
        case ENODEV: return "does not exist";
        case EACCES:
        case EPERM: return "permission denied";
        case EBUSY:
        case EWOULDBLOCK: return "is in use";
        default: return std::strerror(err);
    }
}

}  // namespace

std::string ComDevicePath(int comPort) {
    const char* dir = std::getenv("VORN_COM_DIR");
    const bool set = dir != nullptr && dir[0] != '\0';
    const std::string base = set ? dir : "/dev/vorn";
    struct stat st {};
    if (set || (stat(base.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) return base + "/COM" + std::to_string(comPort);
    return "/dev/ttyS" + std::to_string(comPort - 1);
}

SerialDeviceId SerialDeviceIdOfPath(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? IdOf(st) : SerialDeviceId{};
}

SerialDeviceId SerialDeviceIdOfFd(int fd) {
    struct stat st {};
    return fd >= 0 && fstat(fd, &st) == 0 ? IdOf(st) : SerialDeviceId{};
}

std::string CheckLineSettings(const SerialLineSettings& s) {
    if (s.baud <= 0) return "speed " + std::to_string(s.baud) + " is not a line speed";
    if (s.byteSize < 5 || s.byteSize > 8)
        return "data bits " + std::to_string(s.byteSize) + " not 5..8";
    if (s.parity < 0 || s.parity > 4) return "parity code " + std::to_string(s.parity) + " not 0..4";
    if (s.stopBits != 0 && s.stopBits != 1 && s.stopBits != 2)
        return "stop bits code " + std::to_string(s.stopBits) + " not 0, 1 or 2";
    if (s.stopBits == 1 && s.byteSize != 5) return "one and a half stop bits need 5 data bits";
    if (s.stopBits == 2 && s.byteSize == 5) return "two stop bits not possible with 5 data bits";
    return "";
}

SerialOpen SerialOpenFromErrno(int err) {
    return (err == EBUSY || err == EWOULDBLOCK || err == EAGAIN) ? SerialOpen::kInUse : SerialOpen::kFailed;
}

LinkRead SerialReadFromErrno(int err) {
    switch (err) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
            return LinkRead::kNothing;
        case EIO:      // hang-up: a pty whose other end closed, a line that dropped
        case ENXIO:    // the device is gone
        case ENODEV:
            return LinkRead::kClosed;
        default:
            return LinkRead::kError;
    }
}

LinkRead ReadSerialDevice(int fd, void* buffer, int size, int* got, int* err) {
    *got = 0;
    *err = 0;
    if (fd < 0 || buffer == nullptr || size <= 0) {
        *err = EBADF;
        return LinkRead::kError;
    }
    ssize_t n = read(fd, buffer, static_cast<size_t>(size));
    if (n > 0) {
        *got = static_cast<int>(n);
        return LinkRead::kData;
    }
    if (n == 0) return LinkRead::kClosed;  // end of input in raw mode: the line hung up
    *err = errno;
    return SerialReadFromErrno(*err);
}

SerialOpen OpenSerialDevice(int comPort, const SerialLineSettings& settings, int* fd) {
    *fd = -1;
    std::string bad = CheckLineSettings(settings);
    if (!bad.empty()) {
        DebugMessage("PortOpen - COM%d not opened: bad settings, %s ", comPort, bad.c_str());
        return SerialOpen::kFailed;
    }
    std::string path = ComDevicePath(comPort);
    int dev = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (dev < 0) {
        int err = errno;
        DebugMessage("PortOpen - COM%d %s %s ", comPort, path.c_str(), Reason(err));
        return SerialOpenFromErrno(err);
    }
    // flock conflicts between any two open file descriptions, so it catches
    // a second open in this process as well as another process.
    if (flock(dev, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        DebugMessage("PortOpen - COM%d %s %s ", comPort, path.c_str(), Reason(err));
        close(dev);
        return SerialOpenFromErrno(err);
    }
    termios tio {};
    if (tcgetattr(dev, &tio) != 0) {
        int err = errno;
        DebugMessage("PortOpen - COM%d %s is not a serial device (%s) ", comPort, path.c_str(),
                     std::strerror(err));
        close(dev);
        return SerialOpen::kFailed;
    }
    // Keeps out openers that ignore flock (not root: root passes TIOCEXCL),
    // on real lines only (see the header).
    struct stat st {};
    const bool pty = fstat(dev, &st) == 0 && IsPseudoTerminalSlave(st);
    if (!pty && ioctl(dev, TIOCEXCL) != 0) {
        int err = errno;
        DebugMessage("PortOpen - COM%d %s exclusive mode refused (%s) ", comPort, path.c_str(),
                     std::strerror(err));
        close(dev);
        return SerialOpen::kFailed;
    }
    ApplyLineSettings(&tio, settings);
    speed_t code = B38400;
    bool standard = StandardSpeedCode(settings.baud, &code);
    if (standard) cfsetspeed(&tio, code);
    if (tcsetattr(dev, TCSANOW, &tio) != 0 && !PseudoTerminalTook(dev, tio)) {
        int err = errno;
        DebugMessage("PortOpen - COM%d %s bad settings %d,%d,%d,%d (%s) ", comPort, path.c_str(),
                     settings.baud, settings.byteSize, settings.parity, settings.stopBits,
                     std::strerror(err));
        CloseSerialDevice(dev);
        return SerialOpen::kFailed;
    }
    if (!standard) {
        int err = SetCustomSerialSpeed(dev, settings.baud);
        if (err != 0) {
            DebugMessage("PortOpen - COM%d %s bad settings, speed %d refused (%s) ", comPort,
                         path.c_str(), settings.baud, std::strerror(err));
            CloseSerialDevice(dev);
            return SerialOpen::kFailed;
        }
    }
    *fd = dev;
    return SerialOpen::kOpen;
}

void CloseSerialDevice(int fd) {
    if (fd < 0) return;
    // Exclusive mode belongs to the terminal, not to this descriptor: clear
    // it for whoever opens the line next (a pty from an older driver that set
    // it there included).
    ioctl(fd, TIOCNXCL);
    close(fd);  // also drops the flock
}

void DiscardSerialInput(int fd) {
    if (fd >= 0) tcflush(fd, TCIFLUSH);
}

int WriteSerialDevice(int fd, const void* data, int count, int* err) {
    const auto* p = static_cast<const unsigned char*>(data);
    int done = 0;
    // Bounded: every pass writes at least one byte or ends.
    while (done < count) {
        const ssize_t n = write(fd, p + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (done > 0) break;  // the failure shows at the next write
            *err = errno;
            return -1;
        }
        break;  // the device takes no more now
    }
    return done;
}

bool ReadSerialLineCounters(int fd, SerialLineCounters* counters) {
    serial_icounter_struct ic {};
    if (fd < 0 || ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
    counters->frame = static_cast<uint32_t>(ic.frame);
    counters->overrun = static_cast<uint32_t>(ic.overrun);
    counters->parity = static_cast<uint32_t>(ic.parity);
    counters->brk = static_cast<uint32_t>(ic.brk);
    counters->bufOverrun = static_cast<uint32_t>(ic.buf_overrun);
    return true;
}

uint32_t SerialErrorFlags(const SerialLineCounters& before, const SerialLineCounters& now) {
    uint32_t flags = 0;
    // The counters only grow; "differs" also survives their wrap-around.
    if (now.bufOverrun != before.bufOverrun) flags |= kCeRxOver;
    if (now.overrun != before.overrun) flags |= kCeOverrun;
    if (now.parity != before.parity) flags |= kCeRxParity;
    if (now.frame != before.frame) flags |= kCeFrame;
    if (now.brk != before.brk) flags |= kCeBreak;
    return flags;
}

}  // namespace vorn
