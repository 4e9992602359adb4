#include "core/last_error.h"

#include "core/error_texts.h"
#include "core/locks.h"

#include "platform/last_error.h"
#include "platform/ui_provider.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace tarvik {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr size_t kTextFieldSize = 50; // each text of the box: at most 49 characters
constexpr size_t kBoxTextSize = 300;  // the box text: at most 299 characters
constexpr const char* kBoxTitle = "Driver Application Error :";

struct ErrorState {
    LastErrorRecord record;
    LastErrorRecord saved;
    uint32_t errorBox;
    uint32_t warningBox;
    std::array<uint32_t, kErrorDisplayFlagStackSize> stack;
    int top;
};

constinit ErrorState g_error{{}, {}, 1, 1, {}, kErrorDisplayFlagStackSize};

std::string format(const char* pattern, long value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

void copyTruncated(const std::string& text, char* buffer, size_t size) {
    if (size == 0) {
        return;
    }
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

std::string textField(int32_t code, int32_t info) {
    std::string text = errorString(code, info);
    if (text.size() >= kTextFieldSize) {
        text.resize(kTextFieldSize - 1);
    }
    return text;
}

} // namespace

void resetErrorState() {
    Guard guard(errorLock());
    g_error = ErrorState{{}, {}, 1, 1, {}, kErrorDisplayFlagStackSize};
}

void recordError(int32_t interfaceId, int32_t level, int32_t code, int32_t info) {
    Guard guard(errorLock());
    g_error.record.interfaceId = interfaceId;
    g_error.record.level = level;
    g_error.record.code = code;
    g_error.record.info = info;
}

void recordErrorInfo(int32_t info) {
    Guard guard(errorLock());
    g_error.record.info = info;
}

void recordFunctionName(const char* name) {
    Guard guard(errorLock());
    std::memset(g_error.record.functionName, 0, sizeof g_error.record.functionName);
    if (name != nullptr) {
        std::strncpy(g_error.record.functionName, name, sizeof g_error.record.functionName - 1);
    }
}

int32_t platformErrorInfo(uint32_t error) {
    return error == 0 ? 0 : static_cast<int32_t>(error) + KORAL_PLATFORM_ERROR_BASE;
}

LastErrorRecord lastErrorRecord() {
    Guard guard(errorLock());
    return g_error.record;
}

void SaveLastError() {
    Guard guard(errorLock());
    g_error.saved = g_error.record;
}

void RestoreLastError() {
    Guard guard(errorLock());
    g_error.record = g_error.saved;
}

uint32_t errorBoxFlag() {
    Guard guard(errorLock());
    return g_error.errorBox;
}

void setErrorBoxFlag(uint32_t value) {
    Guard guard(errorLock());
    g_error.errorBox = value;
}

uint32_t warningBoxFlag() {
    Guard guard(errorLock());
    return g_error.warningBox;
}

void setWarningBoxFlag(uint32_t value) {
    Guard guard(errorLock());
    g_error.warningBox = value;
}

void pushErrorDisplayFlag(uint32_t value) {
    Guard guard(errorLock());
    if (g_error.top < 1) {
        return;
    }
    --g_error.top;
    g_error.stack[static_cast<size_t>(g_error.top)] = value;
}

uint32_t popErrorDisplayFlag() {
    Guard guard(errorLock());
    if (g_error.top >= kErrorDisplayFlagStackSize) {
        return kEmptyStackValue;
    }
    return g_error.stack[static_cast<size_t>(g_error.top++)];
}

bool isErrorDisplayFlagStackEmpty() {
    Guard guard(errorLock());
    return g_error.top == kErrorDisplayFlagStackSize;
}

// Push and switch-off are one step under the lock, so that a box answered on
// another thread in between cannot be lost.
ErrorBoxOff::ErrorBoxOff() {
    Guard guard(errorLock());
    pushErrorDisplayFlag(g_error.errorBox);
    g_error.errorBox = 0;
}

ErrorBoxOff::~ErrorBoxOff() {
    Guard guard(errorLock());
    g_error.errorBox = popErrorDisplayFlag();
}

std::string errorText(int32_t value) {
    if (const char* text = errorCodeText(value)) {
        return text;
    }
    if (value <= KORAL_PLATFORM_ERROR_BASE) {
        return format("UNKNOWN ERROR CODE: \t%ld\n", value);
    }
    const int32_t error = value - KORAL_PLATFORM_ERROR_BASE;
    if (auto text = platform::lastErrorText(static_cast<uint32_t>(error))) {
        return *text;
    }
    return format("UNKNOWN ERROR CODE: \t%ld\n", error);
}

int GetErrorText(int32_t value, char* buffer, size_t size) {
    copyTruncated(errorText(value), buffer, size);
    return errorCodeText(value) != nullptr ? 0 : -1;
}

std::string errorString(int32_t code, int32_t info) {
    if (info == 0) {
        return errorText(code);
    }
    // Driver and board codes carry info words without texts.
    if (code >= 101 && code <= 199) {
        return format("UNKNOWN ERROR INFO: \t%ld\n", info);
    }
    if (info <= KORAL_PLATFORM_ERROR_BASE) {
        return errorText(info);
    }
    const int32_t error = info - KORAL_PLATFORM_ERROR_BASE;
    if (auto text = platform::lastErrorText(static_cast<uint32_t>(error))) {
        return *text;
    }
    return format("UNKNOWN ERROR INFO: \t%ld\n", error);
}

void ShowErrorMessage() {
    LastErrorRecord record;
    bool warning = false;
    {
        Guard guard(errorLock());
        record = g_error.record;
        warning = record.level >= KORAL_LEVEL_FIRST_WARNING;
        if ((warning ? g_error.warningBox : g_error.errorBox) != 1) {
            return;
        }
    }
    try {
        const std::string levelText = textField(record.level, 0);
        const std::string codeText = textField(record.code, 0);
        const std::string infoText = record.info != 0 ? textField(record.code, record.info) : "";
        const char* question = warning ? "\tDisplay warning messages continuous ?"
                                       : "\tDisplay error codes continuous ?";
        char text[kBoxTextSize];
        if (record.interfaceId != 0) {
            std::snprintf(
                text, sizeof text,
                "\tFunction Name: \t%s\n\tInterface ID:\t%d\n\tError Level: \t%s\n\tError "
                "Code: \t%s\n\tError Info: \t%s\n\n\n%s",
                record.functionName, record.interfaceId, levelText.c_str(), codeText.c_str(),
                infoText.c_str(), question);
        } else {
            std::snprintf(text, sizeof text,
                          "\tFunction Name: \t%s\n\tError Level: \t%s\n\tError Code: \t%s\n\tError "
                          "Info: \t%s\n\n\n%s",
                          record.functionName, levelText.c_str(), codeText.c_str(),
                          infoText.c_str(), question);
        }
        platform::messageBeep(platform::MessageBoxIcon::Error);
        const platform::MessageBoxAnswer answer =
            platform::messageBox(kBoxTitle, text, platform::MessageBoxButtons::YesNoCancel,
                                 platform::MessageBoxIcon::Error);
        // The answer is stored under the lock: another thread may be switching
        // the flags or nesting a call at the same time.
        Guard guard(errorLock());
        const uint32_t on = answer == platform::MessageBoxAnswer::No ? 0 : 1;
        if (warning) {
            g_error.warningBox = on;
        } else {
            g_error.errorBox = on;
            // The export that pushed the flag must not switch the box back on.
            if (on == 0 && !isErrorDisplayFlagStackEmpty()) {
                popErrorDisplayFlag();
                pushErrorDisplayFlag(0);
            }
        }
    } catch (...) {
        // A box that cannot be built or shown changes nothing; the record stands.
    }
}

} // namespace tarvik
