#pragma once
// The termios backend's helpers that need the kernel's own termios2 header.

#include "platform/serial_port.h"

namespace platform::serial::detail {

// Raw 8-bit mode without flow control, reads that return at once.
int makeRaw(int fd);
int readLineSettings(int fd, LineSettings& out);
// EINVAL for settings the line cannot take (or a rate the driver refused).
int writeLineSettings(int fd, const LineSettings& settings);
// ENOTTY where the driver has no RS485 mode.
int setKernelRs485(int fd, bool enable);

} // namespace platform::serial::detail
