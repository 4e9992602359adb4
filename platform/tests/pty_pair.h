#pragma once
// A pseudo-terminal pair for the serial-port tests: the slave is the "COM
// port" a test opens by name, the master is the other end of the cable.

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace platform::testing {

class PtyPair {
public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        char name[128] = {};
        if (::ptsname_r(master_, name, sizeof name) != 0) {
            throw std::runtime_error("no pseudo-terminal name");
        }
        slavePath_ = name;
    }
    ~PtyPair() { ::close(master_); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }

    void write(const std::vector<uint8_t>& bytes) const {
        if (::write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            throw std::runtime_error("pty write failed");
        }
    }
    // Up to n bytes that arrive within timeoutMs of real time (a guard
    // against a hung test, not a measurement).
    std::vector<uint8_t> read(std::size_t n, int timeoutMs = 5000) const {
        std::vector<uint8_t> out;
        while (out.size() < n) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) {
                break;
            }
            uint8_t buffer[256];
            const ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, n - out.size()));
            if (got <= 0) {
                break;
            }
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

} // namespace platform::testing
