// The line settings of a tty through the kernel's termios2 interface, which
// takes any rate as a number (BOTHER) and reports the rate in use. Its
// header clashes with <termios.h>, so it lives in a unit of its own.

#include "serial_termios.h"

#include <asm/termbits.h>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace platform::serial::detail {
namespace {

int control(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument) == 0 ? 0 : errno;
}

} // namespace

int makeRaw(int fd) {
    termios2 t{};
    if (int rc = control(fd, TCGETS2, &t); rc != 0) {
        return rc;
    }
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                           IXOFF | IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return control(fd, TCSETS2, &t);
}

int readLineSettings(int fd, LineSettings& out) {
    termios2 t{};
    if (int rc = control(fd, TCGETS2, &t); rc != 0) {
        return rc;
    }
    out.baudRate = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        out.dataBits = 5;
        break;
    case CS6:
        out.dataBits = 6;
        break;
    case CS7:
        out.dataBits = 7;
        break;
    default:
        out.dataBits = 8;
        break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        out.parity = Parity::None;
    } else if ((t.c_cflag & CMSPAR) != 0) {
        out.parity = (t.c_cflag & PARODD) != 0 ? Parity::Mark : Parity::Space;
    } else {
        out.parity = (t.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
    }
    if ((t.c_cflag & CSTOPB) == 0) {
        out.stopBits = StopBits::One;
    } else {
        out.stopBits = out.dataBits == 5 ? StopBits::OneAndHalf : StopBits::Two;
    }
    out.binary = true;
    out.parityCheck = (t.c_iflag & INPCK) != 0;
    return 0;
}

int writeLineSettings(int fd, const LineSettings& settings) {
    const bool valid = settings.binary && settings.baudRate != 0 && settings.dataBits >= 5 &&
                       settings.dataBits <= 8 && static_cast<uint8_t>(settings.parity) <= 4 &&
                       static_cast<uint8_t>(settings.stopBits) <= 2 &&
                       (settings.stopBits != StopBits::OneAndHalf || settings.dataBits == 5);
    if (!valid) {
        return EINVAL;
    }
    termios2 t{};
    if (int rc = control(fd, TCGETS2, &t); rc != 0) {
        return rc;
    }
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CBAUD | CIBAUD);
    t.c_cflag |= kSizes[settings.dataBits - 5] | BOTHER;
    switch (settings.parity) {
    case Parity::None:
        break;
    case Parity::Odd:
        t.c_cflag |= PARENB | PARODD;
        break;
    case Parity::Even:
        t.c_cflag |= PARENB;
        break;
    case Parity::Mark:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case Parity::Space:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    }
    if (settings.stopBits != StopBits::One) {
        t.c_cflag |= CSTOPB;
    }
    t.c_iflag &= ~tcflag_t(INPCK | IGNPAR | PARMRK);
    if (settings.parityCheck && settings.parity != Parity::None) {
        t.c_iflag |= INPCK | IGNPAR;
    }
    t.c_ispeed = settings.baudRate;
    t.c_ospeed = settings.baudRate;
    if (int rc = control(fd, TCSETS2, &t); rc != 0) {
        return rc;
    }
    // A driver that cannot take the rate keeps another one.
    termios2 check{};
    if (int rc = control(fd, TCGETS2, &check); rc != 0) {
        return rc;
    }
    return check.c_ospeed == settings.baudRate ? 0 : EINVAL;
}

int setKernelRs485(int fd, bool enable) {
    serial_rs485 rs485{};
    if (enable) {
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    }
    const int rc = control(fd, TIOCSRS485, &rs485);
    // Drivers without the mode answer in several ways; all mean "cannot".
    return rc == EINVAL || rc == EOPNOTSUPP ? ENOTTY : rc;
}

} // namespace platform::serial::detail
