#pragma once
// The logbook engine: attaches to a list, keeps the file open, adds, loads,
// clears and prints entries. It lives inside the logbook window object.

#include "glimra/logbook.h"
#include "glimra/logbookfile.h"

#include <QListWidget>
#include <QPointer>

#include <array>
#include <memory>
#include <string>

class QPrinter;

namespace glimra {

// What the drawing needs of an attached list, kept on the list itself (a
// child object), so that drawing needs nothing but the list. It also takes
// the list's double clicks: left shows the newest entry, right the oldest.
class LogListState : public QObject {
public:
    explicit LogListState(QListWidget* list);

    int marker = 1;
    std::array<std::string, kLogUserTypes> userTypeNames;
    int widestTime = 0; // pixels drawn so far; they only grow
    int widestType = 0;
    int horizontalExtent = 0;
    std::array<COLORREF, 4> debugText{};
    std::array<COLORREF, 4> debugBk{};
    bool fileOpen = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QListWidget* list_;
};

// The state of an attached list; null when none (or not a valid one).
LogListState* logListState(const QWidget* list);

// A list item that owns its entry copy (and with it the entry's font).
class LogListItem : public QListWidgetItem {
public:
    explicit LogListItem(std::unique_ptr<LogEntry> entry);
    const LogEntry* entry() const { return entry_.get(); }

private:
    std::unique_ptr<LogEntry> entry_;
};

// The entry shown by a list row; null when the row has none.
const LogEntry* logEntryOf(const QListWidgetItem* item);

// Paths and titles of the logbook are at most this long.
inline constexpr std::size_t kMostLogPathLength = 254;

// Copies text into the record's message, cut to 255 bytes (never inside a
// character).
void setLogText(LogRecord& record, std::string_view text);
// The text cut to at most most bytes, never inside a character.
std::string cutText(std::string_view text, std::size_t most);

class CZLQLogListBox {
public:
    CZLQLogListBox();
    virtual ~CZLQLogListBox();
    CZLQLogListBox(const CZLQLogListBox&) = delete;
    CZLQLogListBox& operator=(const CZLQLogListBox&) = delete;

    int Attach(QListWidget* list, const char* path, int recordCount, bool recreate);
    int Detach();
    int AddEntry(QListWidget* list, int index, LogEntry* entry, bool loading);
    int AddPreparedEntry(LogEntry* entry);
    int AddMessage(const char* text, int type);
    int AddEmptyEntry(int type);
    int Clear(bool backup);
    int Reload();
    // The free-space check for the open logbook, or for path's before one is.
    int CheckDiskSpace(const std::string& path = {});
    static std::string TypeName(const QWidget* list, DWORD type);
    static int ClearList(QListWidget* list);

    PrinterProvider::Choice ChoosePrinter(QWidget* owner, bool useDefault);
    int PrinterSetup(QWidget* owner, bool useDefault);
    int Print(QWidget* owner, bool colour, const char* docName, const char* faceName, int height);

    bool isOpen() const { return open_; }
    QListWidget* list() const { return list_; }
    const std::string& path() const { return path_; }
    int recordCount() const { return recordCount_; }
    LogDiskPolicy& diskPolicy() { return policy_; }
    const LogDiskPolicy& diskPolicy() const { return policy_; }
    std::array<std::string, kLogUserTypes>& userTypeNames() { return userTypeNames_; }
    std::array<COLORREF, 4>& debugText() { return debugText_; }
    std::array<COLORREF, 4>& debugBk() { return debugBk_; }
    const std::array<COLORREF, 4>& debugText() const { return debugText_; }
    const std::array<COLORREF, 4>& debugBk() const { return debugBk_; }
    QPrinter* printer() const { return printer_.get(); }

private:
    bool loadEntries(int recordCount);
    // Opens the file and loads it under its shared lock: whole records only.
    bool openAndLoad(const std::string& path, int recordCount);
    // A file left unfinished by a making cut short is made anew.
    static bool remakeUnfinished(const std::string& path, int recordCount);
    // Takes the file's lock; false when it cannot be had.
    bool lockFile();
    // The index the next record takes, the file made anew when full; -1 when
    // none can be had. The header is left to the caller.
    int nextRecord();
    void closeFile();

    QPointer<QListWidget> list_;
    LogbookFile file_;
    std::string path_;
    int recordCount_ = 0;
    bool open_ = false;
    std::array<std::string, kLogUserTypes> userTypeNames_;
    std::array<COLORREF, 4> debugText_{};
    std::array<COLORREF, 4> debugBk_{};
    std::unique_ptr<QPrinter> printer_;
    LogDiskPolicy policy_;
};

} // namespace glimra
