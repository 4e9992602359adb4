// The log file class over the logbook window.

#include "glimra/logfile.h"

#include "logbookengine.h"
#include "platform/own_file.h"

#include <QWidget>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace glimra {

CLogFile::CLogFile() : window_(std::make_shared<CZLQLogbookDlg>()) {}

CLogFile::~CLogFile() {
    // A copy still holding the window keeps it open.
    if (open_ && window_.use_count() == 1) {
        Close();
    }
}

int CLogFile::create() {
    return window_->Create(currentModuleInstance(), nullptr, path_.c_str(), RecordCount);
}

int CLogFile::Open() {
    if (open_) {
        return 0;
    }
    if (window_->logFileName().empty()) {
        // So that the disk check knows whose backups it may delete.
        window_->SetLogFileName(path_.c_str());
    }
    // The window opens the path of its first Create.
    const std::string path = window_->logFileName();
    int created = 0;
    // Probed as the logbook opens it: only a regular file of this user under
    // folders no one else may change, never through a link, never waiting on
    // a pipe or taking a terminal.
    std::string why;
    if (const int fd =
            platform::openOwnFile(resolveLogPath(path).c_str(), O_RDWR, false, false, 0, why);
        fd >= 0) {
        ::close(fd);
        created = create();
    } else if (why.empty() && window_->IsFileOk() == 1) {
        created = create();
    } else if (!why.empty()) {
        std::fprintf(stderr, "%s %s: the logbook is not written\n", resolveLogPath(path).c_str(),
                     why.c_str());
    }
    // A window without its logbook (refused, of another size, or not made)
    // takes no entry: no success.
    if (created == 1 && !window_->logbookOpen()) {
        window_->Destroy();
        created = 0;
    }
    if (created == 1) {
        window_->SetTitle(path_.c_str());
        window_->ShowCaption(true);
        open_ = true;
    }
    return created;
}

int CLogFile::Close() {
    open_ = false;
    window_->Destroy();
    window_ = std::make_shared<CZLQLogbookDlg>();
    return 1;
}

int CLogFile::Show(bool show) {
    window_->Show(show);
    if (QWidget* window = window_->GetDialogWindow(); window != nullptr && show) {
        window->raise();
        window->activateWindow();
    }
    shown_ = show;
    return 1;
}

int CLogFile::Reset(bool clear) {
    if (window_->IsFileOk() != 1) {
        return 0;
    }
    window_->Destroy();
    // A window without its logbook is no successful reset.
    if (create() != 1 || !window_->logbookOpen()) {
        return 0;
    }
    if (shown_) {
        window_->Show(true);
    }
    if (clear) {
        if (window_->Clear(true) != 1) {
            return 0;
        }
        window_->SetTitle(path_.c_str());
    }
    return 1;
}

int CLogFile::Print(bool showDialog) {
    // Nothing is printed when the user cancelled the print dialog.
    if (window_->ChoosePrinter(!showDialog) == PrinterProvider::Choice::Cancelled) {
        return 0;
    }
    return window_->Print(false, path_.c_str(), "Courier New", 100);
}

int CLogFile::ShowCaption(bool show) {
    return window_->ShowCaption(show);
}

int CLogFile::SetFileName(const char* path) {
    const std::string given = path != nullptr ? path : "";
    if (given.size() > kMostLogPathLength) {
        return 0;
    }
    path_ = given;
    return window_->SetTitle(path_.c_str());
}

int CLogFile::SetAutoDeleteOldLogs(bool on) {
    return window_->SetAutoDeleteOldLogs(on);
}

bool CLogFile::SetMinFreeDiskSpace(unsigned bytes) {
    const bool taken = bytes >= MinFreeDiskSpace;
    window_->SetMinFreeDiskSpace(taken ? bytes : MinFreeDiskSpace);
    return taken;
}

int CLogFile::write(const char* text, DWORD type) {
    return open_ ? window_->AddMessage(text, static_cast<int>(type)) : 0;
}

} // namespace glimra
