#include "platform/last_error.h"

#include <cerrno>
#include <cstring>

namespace platform {

namespace {
// strerror_r comes in two flavours; both end up here.
[[maybe_unused]] const char* errorText(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* errorText(const char* result, const char*) {
    return result;
}
} // namespace

uint32_t lastError() {
    return static_cast<uint32_t>(errno);
}

void setLastError(uint32_t code) {
    errno = static_cast<int>(code);
}

std::optional<std::string> lastErrorText(uint32_t code) {
    const int error = static_cast<int>(code);
    // strerror_r makes up "Unknown error N" for numbers it does not know.
    if (error < 0 || strerrordesc_np(error) == nullptr) {
        return std::nullopt;
    }
    const int saved = errno;
    char buffer[256] = {};
    const char* text = errorText(strerror_r(error, buffer, sizeof buffer), buffer);
    errno = saved;
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    return std::string(text);
}

SavedLastError::SavedLastError() : code_(lastError()) {}

SavedLastError::~SavedLastError() {
    setLastError(code_);
}

} // namespace platform
