// COM ports on Linux tty devices.

#include "serial_termios.h"

#include "platform/last_error.h"
#include "text_file_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform::serial {
namespace {

using platform::detail::leaveError;

// A poll slice while the clock is not the real one: short enough that a
// virtual clock's time-out passes in few rounds.
constexpr Duration kVirtualPollSlice = std::chrono::milliseconds(1);

TimePoint deadlineOf(uint32_t timeoutMs, TimePoint limit) {
    return std::min(limit, deadlineAfterMs(clock(), timeoutMs));
}

// Waits until the descriptor is ready for `events` or the deadline passes
// on the platform clock. 0 ready, ETIMEDOUT, or the system's error.
int waitReady(int fd, short events, TimePoint deadline) {
    Clock& c = clock();
    for (;;) {
        const TimePoint now = c.now();
        if (now >= deadline) {
            return ETIMEDOUT;
        }
        const bool realTime = &c == &monotonicClock();
        int timeoutMs = 0;
        if (realTime) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            timeoutMs = deadline == TimePoint::max()
                            ? -1
                            : static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, timeoutMs);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n > 0) {
            // Errors and hang-ups show in the read or write that follows.
            return 0;
        }
        if (!realTime) {
            c.sleepFor(std::min<Duration>(kVirtualPollSlice, deadline - now));
        }
    }
}

class TermiosPort final : public SerialPort {
public:
    explicit TermiosPort(int fd) : fd_(fd) {}
    ~TermiosPort() override { close(); }

    int getSettings(LineSettings& out) override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        return leaveError(detail::readLineSettings(fd_, out));
    }

    int setSettings(const LineSettings& settings) override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        return leaveError(detail::writeLineSettings(fd_, settings));
    }

    int getProperties(PortProperties& out) override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        // The kernel takes any rate as a number; its queue sizes are the
        // driver's own and not told.
        out = PortProperties{kBaud9600 | kBaud14400 | kBaud19200 | kBaud38400 | kBaud57600 |
                                 kBaud115200 | kBaudUserDefined,
                             0, 0};
        return 0;
    }

    int getTimeouts(Timeouts& out) override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        out = timeouts_;
        return 0;
    }

    int setTimeouts(const Timeouts& timeouts) override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        timeouts_ = timeouts;
        return 0;
    }

    int write(std::span<const uint8_t> data, std::size_t& written) override {
        written = 0;
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        const TimePoint deadline = deadlineOf(timeouts_.writeTotalMs, TimePoint::max());
        return transfer(POLLOUT, deadline, data.size(), written, [&](std::size_t done) {
            return ::write(fd_, data.data() + done, data.size() - done);
        });
    }

    int read(std::span<uint8_t> buffer, std::size_t& got, TimePoint deadline) override {
        got = 0;
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        const TimePoint until = deadlineOf(timeouts_.readTotalMs, deadline);
        return transfer(POLLIN, until, buffer.size(), got, [&](std::size_t done) {
            return ::read(fd_, buffer.data() + done, buffer.size() - done);
        });
    }

    int drain() override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        while (::tcdrain(fd_) != 0) {
            if (errno != EINTR) {
                return leaveError(errno);
            }
        }
        return 0;
    }

    int purge(bool transmit, bool receive) override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        if (!transmit && !receive) {
            return 0;
        }
        const int queue = transmit && receive ? TCIOFLUSH : transmit ? TCOFLUSH : TCIFLUSH;
        return ::tcflush(fd_, queue) == 0 ? 0 : leaveError(errno);
    }

    int setRts(bool raised) override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        int bits = TIOCM_RTS;
        return ::ioctl(fd_, raised ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : leaveError(errno);
    }

    int setRs485(bool enable) override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        return leaveError(detail::setKernelRs485(fd_, enable));
    }

    int clearErrors(PortStatus* status) override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        // Line errors of a tty are not kept apart from the data; only the
        // queues are there to tell.
        if (status != nullptr) {
            int in = 0;
            int out = 0;
            if (::ioctl(fd_, TIOCINQ, &in) != 0 || ::ioctl(fd_, TIOCOUTQ, &out) != 0) {
                return leaveError(errno);
            }
            status->receiveQueued = static_cast<uint32_t>(std::max(in, 0));
            status->transmitQueued = static_cast<uint32_t>(std::max(out, 0));
        }
        return 0;
    }

    int close() override {
        if (fd_ < 0) {
            return leaveError(EBADF);
        }
        const int fd = fd_;
        fd_ = -1;
        // The exclusive mode stays with the device while another end holds it.
        ::ioctl(fd, TIOCNXCL);
        return ::close(fd) == 0 || errno == EINTR ? 0 : leaveError(errno);
    }

private:
    // Moves `total` bytes by io (one non-blocking call from `done` on),
    // waiting for the descriptor until the deadline; running out of time is
    // no error.
    template <class Io>
    int transfer(short events, TimePoint deadline, std::size_t total, std::size_t& done, Io io) {
        while (done < total) {
            const ssize_t n = io(done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN) {
                return leaveError(errno);
            }
            const int rc = waitReady(fd_, events, deadline);
            if (rc == ETIMEDOUT) {
                return 0;
            }
            if (rc != 0) {
                return leaveError(rc);
            }
        }
        return 0;
    }

    int fd_;
    Timeouts timeouts_{};
};

} // namespace

int openSerialDevice(const std::string& path, std::unique_ptr<SerialPort>& out) {
    out.reset();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return leaveError(errno);
    }
    auto fail = [fd](int rc) {
        ::close(fd);
        return leaveError(rc);
    };
    if (!::isatty(fd)) {
        return fail(ENOTTY);
    }
    // The lock keeps out every other open, root's too; the exclusive mode
    // also refuses the opens of programs that do not lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        return fail(errno);
    }
    if (int rc = detail::makeRaw(fd); rc != 0) {
        return fail(rc);
    }
    out = std::make_unique<TermiosPort>(fd);
    return 0;
}

} // namespace platform::serial
