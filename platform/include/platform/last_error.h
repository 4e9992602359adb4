#pragma once
// The last platform error of the calling thread. It is errno: every facility
// of the platform layer leaves the reason of a failure there, and so does the
// C library, so read it right after the failing call (any later C library
// call may change it) or keep it across clean-up code with SavedLastError.
// Values are raw errno numbers; the acquisition library reports a platform
// error e as e + 1000.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

uint32_t lastError();
void setLastError(uint32_t code);

// The system's text for an error number (thread-safe); empty when the system
// knows no such error.
std::optional<std::string> lastErrorText(uint32_t code);

// Captures errno after a failed POSIX call and puts it back when it goes out
// of scope, so that clean-up calls in between cannot overwrite it:
//
//     if (::ioctl(fd, request, &arg) < 0) {
//         platform::SavedLastError failure;
//         ::close(fd);
//         return false; // lastError() is the ioctl's error again
//     }
class SavedLastError {
public:
    SavedLastError();
    ~SavedLastError();
    SavedLastError(const SavedLastError&) = delete;
    SavedLastError& operator=(const SavedLastError&) = delete;

    uint32_t code() const { return code_; }

private:
    uint32_t code_;
};

} // namespace platform
