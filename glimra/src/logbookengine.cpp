// The logbook engine: the list it is attached to and the file behind it.

#include "logbookengine.h"

#include "glimra/syscolors.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPrinter>

#include <algorithm>
#include <cstring>

namespace glimra {

namespace {

constexpr const char* kStateName = "glimra-logbook-state";
constexpr int kMinHorizontalExtent = 2000;
// Fresh files an entry makes at most when others fill them first.
constexpr int kFillTries = 3;

void colourType(LogEntry& entry, COLORREF text, COLORREF bk) {
    entry.typeTextColorSet = 1;
    entry.typeTextColor = text;
    entry.typeBkColorSet = 1;
    entry.typeBkColor = bk;
}

SYSTEMTIME systemTimeOf(const LogLocalTime& local) {
    SYSTEMTIME t;
    t.wYear = static_cast<WORD>(local.tm.tm_year + 1900);
    t.wMonth = static_cast<WORD>(local.tm.tm_mon + 1);
    t.wDayOfWeek = static_cast<WORD>(local.tm.tm_wday);
    t.wDay = static_cast<WORD>(local.tm.tm_mday);
    t.wHour = static_cast<WORD>(local.tm.tm_hour);
    t.wMinute = static_cast<WORD>(local.tm.tm_min);
    t.wSecond = static_cast<WORD>(local.tm.tm_sec);
    t.wMilliseconds = static_cast<WORD>(local.milliseconds);
    return t;
}

void selectRow(QListWidget* list, int row) {
    if (row < 0 || row >= list->count()) {
        return;
    }
    list->setCurrentRow(row);
    list->scrollToItem(list->item(row));
}

} // namespace

LogListState::LogListState(QListWidget* list) : QObject(list), list_(list) {
    setObjectName(kStateName);
    list->viewport()->installEventFilter(this);
}

bool LogListState::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton) {
            selectRow(list_, list_->count() - 1);
        } else if (mouse->button() == Qt::RightButton) {
            selectRow(list_, 0);
        }
    }
    return QObject::eventFilter(watched, event);
}

LogListState* logListState(const QWidget* list) {
    if (list == nullptr) {
        return nullptr;
    }
    auto* state =
        list->findChild<LogListState*>(QString::fromLatin1(kStateName), Qt::FindDirectChildrenOnly);
    return state != nullptr && state->marker == 1 ? state : nullptr;
}

LogListItem::LogListItem(std::unique_ptr<LogEntry> entry) : entry_(std::move(entry)) {
    setData(Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(entry_.get())));
}

const LogEntry* logEntryOf(const QListWidgetItem* item) {
    if (item == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<const LogEntry*>(item->data(Qt::UserRole).value<quintptr>());
}

std::string cutText(std::string_view text, std::size_t most) {
    if (text.size() <= most) {
        return std::string(text);
    }
    std::size_t end = most;
    // Back to the start of a UTF-8 sequence.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(text.substr(0, end));
}

void setLogText(LogRecord& record, std::string_view text) {
    const std::string shown = cutText(text, sizeof record.text - 1);
    std::memset(record.text, 0, sizeof record.text);
    std::memcpy(record.text, shown.data(), shown.size());
}

CZLQLogListBox::CZLQLogListBox() {
    debugText_.fill(GetSysColor(COLOR_WINDOWTEXT));
    debugBk_.fill(GetSysColor(COLOR_WINDOW));
}

CZLQLogListBox::~CZLQLogListBox() {
    Detach();
}

int CZLQLogListBox::Attach(QListWidget* list, const char* path, int recordCount, bool recreate) {
    if (list_ != nullptr && file_.isOpen()) {
        return 0;
    }
    if (list_ == nullptr) {
        if (list == nullptr || logListState(list) != nullptr) {
            return 0;
        }
        auto* state = new LogListState(list);
        state->userTypeNames = userTypeNames_;
        state->debugText = debugText_;
        state->debugBk = debugBk_;
        list_ = list;
    }
    // A file of no records could never take an entry; a longer path is
    // refused rather than cut to another file's name.
    const std::string name = path != nullptr ? path : "";
    if (name.empty() || name.size() > kMostLogPathLength || recordCount < 1) {
        return 0;
    }
    // Made only where none stands: a file another process put there
    // meanwhile is opened, never emptied. One that cannot be made now (a
    // writer between its two renames may hold the room) is waited for by
    // the loading as a writer waits, which checks the count again.
    if (!LogbookFile::exists(name)) {
        makeMissingLogFile(name, recordCount);
    }
    const std::int64_t count = LogbookFile::recordCount(name);
    if (count >= 0 && count != recordCount && !remakeUnfinished(name, recordCount) &&
        (!recreate || !createLogFile(name, recordCount, true, policy_))) {
        return 0;
    }
    if (!openAndLoad(name, recordCount)) {
        ClearList(list_);
        file_.close();
        return 0;
    }
    path_ = name;
    recordCount_ = recordCount;
    open_ = true;
    if (LogListState* state = logListState(list_)) {
        state->fileOpen = true;
    }
    return 1;
}

int CZLQLogListBox::Detach() {
    if (list_ != nullptr) {
        ClearList(list_);
        list_->viewport()->update();
        if (LogListState* state = logListState(list_)) {
            list_->viewport()->removeEventFilter(state);
            delete state;
        }
    }
    file_.close();
    list_ = nullptr;
    path_.clear();
    recordCount_ = 0;
    open_ = false;
    printer_.reset();
    return 1;
}

void CZLQLogListBox::closeFile() {
    ClearList(list_);
    file_.close();
    open_ = false;
    if (LogListState* state = logListState(list_)) {
        state->fileOpen = false;
    }
}

bool CZLQLogListBox::loadEntries(int recordCount) {
    if (list_ == nullptr) {
        return false;
    }
    return file_.load(recordCount, [this](int index, LogRecordBytes& bytes) {
        LogEntry entry;
        std::memcpy(static_cast<LogRecord*>(&entry), bytes.data(), bytes.size());
        if (entry.font.lfHeight != 0) {
            entry.hFont = std::make_unique<CFont>();
            entry.hFont->CreateFontIndirect(&entry.font);
        }
        return AddEntry(list_, index, &entry, true) == 1;
    });
}

bool CZLQLogListBox::openAndLoad(const std::string& path, int recordCount) {
    file_.open(path); // a name missing for a moment is waited for by the lock
    const bool loaded =
        file_.lock(recordCount, true) != LogbookFile::Lock::Failed && loadEntries(recordCount);
    file_.unlock();
    return loaded;
}

bool CZLQLogListBox::remakeUnfinished(const std::string& path, int recordCount) {
    LogbookFile file;
    return file.open(path) && file.lock() != LogbookFile::Lock::Failed &&
           file.remakeUnfinished(recordCount);
}

bool CZLQLogListBox::lockFile() {
    const LogbookFile::Lock got = file_.lock(recordCount_);
    if (got == LogbookFile::Lock::Reopened) {
        // Another process made the file a backup: the list shows the new one.
        ClearList(list_);
        if (!loadEntries(recordCount_)) {
            closeFile();
            return false;
        }
    }
    return got != LogbookFile::Lock::Failed;
}

int CZLQLogListBox::nextRecord() {
    const int newest = file_.readHeader();
    const std::int64_t count = file_.recordCount();
    if (newest == -1 || count == -1) {
        return -1;
    }
    int next = nextLogIndex(newest, count);
    // Full: a fresh file (after a backup), and the list starts empty; read
    // again, as another process may have made it and written first, even
    // filled it.
    for (int tries = 0; next == 0 && tries < kFillTries; ++tries) {
        if (Clear(true) != 1) {
            return -1;
        }
        next = nextLogIndex(file_.readHeader(), file_.recordCount());
    }
    return next < 1 ? -1 : next;
}

int CZLQLogListBox::AddEntry(QListWidget* list, int index, LogEntry* entry, bool loading) {
    if (entry == nullptr) {
        return 0;
    }
    if (entry->type == LOGENTRY_TRACE) {
        return 1;
    }
    if (list == nullptr) {
        return 0;
    }
    if (!loading) {
        // The header read, the record written and the header rewritten as
        // one step among the logbook's writers. The record goes first: a
        // writer that fails or dies in it leaves it behind the newest index,
        // unshown, never a header that counts a cut-off record.
        if (!lockFile()) {
            return 0;
        }
        entry->time = systemTimeOf(localNow());
        index = nextRecord();
        LogRecordBytes bytes;
        std::memcpy(bytes.data(), static_cast<const LogRecord*>(entry), bytes.size());
        const bool written =
            index >= 1 && file_.writeRecord(index, bytes) && file_.writeHeader(index);
        file_.unlock();
        if (!written) {
            return 0;
        }
        entry->newEntry = 1;
    }

    auto copy = std::make_unique<LogEntry>();
    *static_cast<LogRecord*>(copy.get()) = *entry;
    copy->hFont = std::move(entry->hFont);
    LogListState* state = logListState(list);
    if ((copy->type & LOGENTRY_ERROR) != 0) {
        colourType(*copy, RGB(255, 255, 255), RGB(255, 0, 0));
    }
    if ((copy->type & LOGENTRY_FATAL) != 0) {
        colourType(*copy, RGB(255, 255, 255), RGB(100, 40, 0));
    }
    for (int i = 0; i < 4; ++i) {
        if ((copy->type & (LOGENTRY_DEBUG1 << i)) != 0) {
            colourType(*copy, state != nullptr ? state->debugText[i] : RGB(0, 0, 0),
                       state != nullptr ? state->debugBk[i] : RGB(255, 255, 255));
        }
    }
    if (state != nullptr && state->horizontalExtent < kMinHorizontalExtent) {
        state->horizontalExtent = kMinHorizontalExtent;
    }
    const int row = std::clamp(index - 1, 0, list->count());
    list->insertItem(row, new LogListItem(std::move(copy)));
    selectRow(list, list->count() - 1);
    return 1;
}

int CZLQLogListBox::AddPreparedEntry(LogEntry* entry) {
    return AddEntry(list_, 0, entry, false);
}

int CZLQLogListBox::AddMessage(const char* text, int type) {
    LogEntry entry;
    setLogText(entry, text != nullptr ? text : "");
    entry.type = static_cast<DWORD>(type);
    return AddEntry(list_, 0, &entry, false);
}

int CZLQLogListBox::AddEmptyEntry(int type) {
    LogEntry entry;
    entry.type = static_cast<DWORD>(type);
    return AddEntry(list_, 0, &entry, false);
}

int CZLQLogListBox::Clear(bool backup) {
    // Under the file's lock, which an entry that found the file full holds.
    const bool held = file_.locked();
    if (!open_ || (!held && !lockFile())) {
        return 0;
    }
    ClearList(list_);
    const bool made = file_.recreate(recordCount_, backup, policy_);
    // A file that could not be re-created (no room) keeps its records and is
    // shown again; one lost on the way is looked for at the next entry.
    const bool loaded = !file_.isOpen() || loadEntries(recordCount_);
    if (!held) {
        file_.unlock();
    }
    if (!loaded) {
        closeFile();
        return 0;
    }
    return made ? 1 : 0;
}

int CZLQLogListBox::Reload() {
    if (!open_) {
        return 0;
    }
    closeFile();
    if (!openAndLoad(path_, recordCount_)) {
        closeFile();
        return 0;
    }
    open_ = true;
    if (LogListState* state = logListState(list_)) {
        state->fileOpen = true;
    }
    return 1;
}

int CZLQLogListBox::CheckDiskSpace(const std::string& path) {
    return checkDiskSpace(path_.empty() ? path : path_, policy_) ? 1 : 0;
}

std::string CZLQLogListBox::TypeName(const QWidget* list, DWORD type) {
    static constexpr const char* kNames[] = {"INFO",   "WARNING", "ERROR",  "FATAL",  "SYSTEM",
                                             "DEBUG1", "DEBUG2",  "DEBUG3", "DEBUG4", "TRACE"};
    const DWORD bits = type & 0xFFFFFFu;
    for (int i = 0; i < 10; ++i) {
        if ((bits & (1u << i)) != 0) {
            return kNames[i];
        }
    }
    for (int n = 0; n < kLogUserTypes; ++n) {
        if ((bits & LogUserType(n)) != 0) {
            const LogListState* state = logListState(list);
            return state != nullptr ? state->userTypeNames[static_cast<std::size_t>(n)]
                                    : std::string();
        }
    }
    return {};
}

int CZLQLogListBox::ClearList(QListWidget* list) {
    if (list == nullptr) {
        return 0;
    }
    list->clear();
    return 1;
}

} // namespace glimra
