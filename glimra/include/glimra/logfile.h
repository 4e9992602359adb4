#pragma once
// CLogFile: the simple logbook of client programs. One object names a
// logbook file, opens it in a logbook window of 1000 records, shows or hides
// the window and writes messages of the five built-in types. Copies share the
// window object; the last copy to go closes it.

#include "glimra/export.h"
#include "glimra/logbook.h"

#include <memory>
#include <string>

namespace glimra {

class GLIMRA_EXPORT CLogFile {
public:
    static constexpr int RecordCount = 1000;
    // Below this, a full file could not be backed up (two files of 388,004 bytes).
    static constexpr unsigned MinFreeDiskSpace = 776008;

    CLogFile();
    CLogFile(const CLogFile&) = default;
    CLogFile& operator=(const CLogFile&) = default;
    virtual ~CLogFile();

    // 1 when the window was created.
    int Open();
    int Close();
    int IsOpen() const { return open_ ? 1 : 0; }
    int Show(bool show);
    int IsShown() const { return shown_ ? 1 : 0; }
    // Re-creates the window; with clear set, empties the logbook after a backup copy.
    int Reset(bool clear);
    // Prints on the default printer, or on the one chosen in the print dialog.
    int Print(bool showDialog);
    int ShowCaption(bool show);
    int SetFileName(const char* path);
    int SetAutoDeleteOldLogs(bool on);
    // Values below MinFreeDiskSpace are raised to it, and the call says false.
    bool SetMinFreeDiskSpace(unsigned bytes);

    int WriteInfo(const char* text) { return write(text, LOGENTRY_INFO); }
    int WriteWarning(const char* text) { return write(text, LOGENTRY_WARNING); }
    int WriteError(const char* text) { return write(text, LOGENTRY_ERROR); }
    int WriteFatal(const char* text) { return write(text, LOGENTRY_FATAL); }
    int WriteSystem(const char* text) { return write(text, LOGENTRY_SYSTEM); }

    const std::string& fileName() const { return path_; }
    CZLQLogbookDlg& window() const { return *window_; }

private:
    int write(const char* text, DWORD type);
    int create();

    std::string path_;
    bool open_ = false;
    bool shown_ = false;
    std::shared_ptr<CZLQLogbookDlg> window_;
};

} // namespace glimra
