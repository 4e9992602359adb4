#pragma once
// The process's one text log. Every failure the framework raises is written
// here before it is thrown. Lines end in CR LF whatever the platform: each
// '\n' the callers write reaches the file as "\r\n".

#include <string>

namespace pa {

// Opens (truncates) the log at `path` and writes its header. Only a regular
// file of the calling user with a single name is opened, without waiting on
// a pipe: anything else at `path` (a symbolic link, a pipe, a hard link,
// another user's file) is reported on the standard error and no log is
// opened. A null path keeps the stream already held (the standard output at
// start). Returns false, and logs nothing from then on, when no stream is held.
bool openLogFile(const char* path);

// printf-style; written as it stands and flushed at once. Nothing while the
// log is off.
void logPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// As logPrint, but to the standard error while no log file is open (the log
// is off, refused or closed): for what the user must hear of either way.
void logOrTell(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats the message (cut to 4095 bytes), logs it with a line end and throws
// pa::Exception carrying it.
[[noreturn]] void raiseError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends a log file with "LogFile terminated" (no line end), closes it and
// returns to the standard output. Does nothing when no log file is open.
void closeLogFile();

// The header's date text in the runtime library's standard form
// ("Wed Jan 02 02:03:55 1980"), English names whatever the locale.
std::string formatLogDate(const struct tm& time);

} // namespace pa
