#include "pa/palog.h"

#include "pa/patype.h"
#include "pa/sysutils.h"
#include "platform/own_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace pa {

namespace {

// Workers and the GUI thread log at once; the lock keeps the stream and the
// open flag consistent and each call's text whole.
std::mutex gLogMutex;
std::FILE* gLogFile = nullptr; // null: the standard output is the stream
bool gLogOpen = false;

constexpr std::size_t kMessageBufferSize = 4096;

std::FILE* currentStream() {
    return gLogFile ? gLogFile : stdout;
}

// The log file is a text file of CR LF lines; the standard output keeps what
// the terminal expects.
void writeText(const char* text, std::size_t length) {
    std::FILE* stream = currentStream();
    if (stream == stdout) {
        std::fwrite(text, 1, length, stream);
    } else {
        std::string out;
        out.reserve(length + length / 16);
        for (std::size_t i = 0; i < length; ++i) {
            if (text[i] == '\n') {
                out += '\r';
            }
            out += text[i];
        }
        std::fwrite(out.data(), 1, out.size(), stream);
    }
    std::fflush(stream);
}

std::string formatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(needed));
    return text;
}

std::string programFileName() {
    const std::string path = platform::currentExecutablePath();
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void closeLocked() {
    if (gLogFile) {
        static const char kTerminated[] = "LogFile terminated";
        std::fwrite(kTerminated, 1, sizeof kTerminated - 1, gLogFile);
        std::fclose(gLogFile);
        gLogFile = nullptr;
    }
}

} // namespace

std::string formatLogDate(const struct tm& time) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %d",
                  kDays[(time.tm_wday % 7 + 7) % 7], kMonths[(time.tm_mon % 12 + 12) % 12],
                  time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec, time.tm_year + 1900);
    return buf;
}

bool openLogFile(const char* path) {
    // The version record is read before the lock: reading it may log.
    std::string version;
    {
        Ref<TFileInfo> info(new TFileInfo());
        version = info->getValue("FileVersion");
    }
    const std::string program = programFileName();

    std::lock_guard lock(gLogMutex);
    gLogOpen = true;
    if (path) {
        // A log still open from an earlier call is ended first, never leaked.
        closeLocked();
        // Whatever another user planted in the log's place (a link, a pipe,
        // a file of theirs) is neither written through nor waited on.
        std::string why;
        const int fd = platform::openOwnFile(path, O_WRONLY, true, true, 0666, why);
        if (fd < 0 && !why.empty()) {
            std::fprintf(stderr, "%s %s: the log is not written\n", path, why.c_str());
        }
        gLogFile = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
        if (!gLogFile) {
            if (fd >= 0) {
                ::close(fd);
            }
            gLogOpen = false;
            return false;
        }
    }
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    const std::string header = "LogFile created: " + formatLogDate(local) + "\n" +
                               "Program: " + program + "    Version: " + version + "\n";
    writeText(header.data(), header.size());
    return true;
}

namespace {

// tell: the standard error takes what no log file takes.
void logFormatted(bool tell, const char* format, va_list args) {
    const std::string text = formatV(format, args);
    std::lock_guard lock(gLogMutex);
    if (tell ? gLogFile != nullptr : gLogOpen) {
        writeText(text.data(), text.size());
    } else if (tell) {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

} // namespace

void logPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    logFormatted(false, format, args);
    va_end(args);
}

void logOrTell(const char* format, ...) {
    va_list args;
    va_start(args, format);
    logFormatted(true, format, args);
    va_end(args);
}

void raiseError(const char* format, ...) {
    char buffer[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    // vsnprintf cuts what does not fit and always terminates.
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    {
        std::lock_guard lock(gLogMutex);
        if (gLogOpen) {
            const std::string line = std::string(buffer) + "\n";
            writeText(line.data(), line.size());
        }
    }
    throw Exception(buffer);
}

void closeLogFile() {
    std::lock_guard lock(gLogMutex);
    closeLocked();
}

} // namespace pa
