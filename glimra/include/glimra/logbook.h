#pragma once
// The logbook: entries with types, colours and fonts kept in a file of fixed
// size (glimra/logbookfile.h), shown as rows of time, type and message in an
// owner-drawn list of a modeless window, and printed as a table.
//
// CZLQLogbookDlg is the window object clients hold: it builds the window and
// its list, opens the file through its engine and forwards the logbook's
// operations. Copies of the object share one window, engine and file; the
// last copy to go destroys them.

#include "glimra/export.h"
#include "glimra/gdi.h"
#include "glimra/logbookfile.h"
#include "glimra/ownerdraw.h"
#include "glimra/types.h"

#include "platform/current_instance.h"

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>

class QMenu;
class QPrinter;
class QWidget;

namespace glimra {

class ResourceModule;
// The module a window is made for: whose resources it may load.
using HINSTANCE = const ResourceModule*;
using WCHAR = char16_t;

// LogEntryType: the type flags of an entry. A type's name comes from the low
// 24 bits, the first matching bit in this order; user type n is
// LOGENTRY_USER0 << n and takes its name from the settings.
enum LogEntryType : DWORD {
    LOGENTRY_INFO = 0x1,
    LOGENTRY_WARNING = 0x2,
    LOGENTRY_ERROR = 0x4,
    LOGENTRY_FATAL = 0x8,
    LOGENTRY_SYSTEM = 0x10,
    LOGENTRY_DEBUG1 = 0x20,
    LOGENTRY_DEBUG2 = 0x40,
    LOGENTRY_DEBUG3 = 0x80,
    LOGENTRY_DEBUG4 = 0x100,
    LOGENTRY_TRACE = 0x200, // an entry of exactly this type is never stored
    LOGENTRY_USER0 = 0x400,
    // Separator lines, drawn across the row instead of its texts.
    LOGENTRY_LINE_SOLID = 0x800000,
    LOGENTRY_LINE_THICK = 0x1000000, // solid, 3 pixels
    LOGENTRY_LINE_DASH = 0x2000000,
    LOGENTRY_LINE_DOT = 0x4000000,
    LOGENTRY_LINE_DASHDOT = 0x8000000,
    LOGENTRY_LINE_DASHDOTDOT = 0x10000000,
    LOGENTRY_NO_TIME = 0x20000000,
    LOGENTRY_NO_TYPE = 0x40000000,
};
inline constexpr int kLogUserTypes = 13;
inline constexpr std::size_t kLogUserTypeNameLength = 50;
constexpr DWORD LogUserType(int n) {
    return static_cast<DWORD>(LOGENTRY_USER0) << n;
}

// One record of the file, as it lies there (little-endian). A colour is used
// only when its "set" word is nonzero.
struct LogRecord {
    BOOL newEntry = 0; // 1 for an entry added since the file was opened
    BOOL timeTextColorSet = 0;
    COLORREF timeTextColor = 0;
    BOOL timeBkColorSet = 0;
    COLORREF timeBkColor = 0;
    BOOL typeTextColorSet = 0;
    COLORREF typeTextColor = 0;
    BOOL typeBkColorSet = 0;
    COLORREF typeBkColor = 0;
    BOOL messageTextColorSet = 0;
    COLORREF messageTextColor = 0;
    BOOL messageBkColorSet = 0;
    COLORREF messageBkColor = 0;
    DWORD type = 0;      // LogEntryType flags
    char text[256] = {}; // zero-terminated; each "\n" adds a line
    SYSTEMTIME time;     // local time the entry was added
    LOGFONTA font;       // height 0: the list's font
};
static_assert(std::is_trivially_copyable_v<LogRecord>);
static_assert(sizeof(LogRecord) == kLogRecordSize);
static_assert(offsetof(LogRecord, type) == kLogRecordTypeOffset);
static_assert(offsetof(LogRecord, text) == kLogRecordTextOffset);
static_assert(offsetof(LogRecord, time) == kLogRecordTimeOffset);
static_assert(offsetof(LogRecord, font) == kLogRecordFontOffset);
static_assert(offsetof(LogRecord, font.lfFaceName) == kLogRecordFaceOffset);

// An entry in memory: the record and the font it is drawn in (made from the
// record's font, or the caller's own). Whoever holds the entry owns the font;
// adding a prepared entry hands its font over to the list.
struct LogEntry : LogRecord {
    std::unique_ptr<CFont> hFont;
};

// Draws one row of a logbook list (list-box items only).
GLIMRA_EXPORT void DrawLogbookItem(DRAWITEMSTRUCT* item);
// The height of one row: the list's item height or the entry's font height,
// whichever is larger, times the message's lines.
GLIMRA_EXPORT void MeasureLogbookItem(MEASUREITEMSTRUCT* item);

// How a logbook gets its printer: the print dialog, or the default printer
// without one. Tests install their own (ScopedPrinterProvider).
class GLIMRA_EXPORT PrinterProvider {
public:
    enum class Choice { Chosen, Cancelled, Failed };
    virtual ~PrinterProvider() = default;
    virtual Choice choosePrinter(QWidget* owner, bool useDefault,
                                 std::unique_ptr<QPrinter>& printer);
    // Where print jobs are recorded as they are drawn; none by default.
    virtual DrawRecorder* recorder() { return nullptr; }
};
GLIMRA_EXPORT std::shared_ptr<PrinterProvider> setPrinterProvider(std::shared_ptr<PrinterProvider> provider);
GLIMRA_EXPORT std::shared_ptr<PrinterProvider> printerProvider();
using ScopedPrinterProvider = platform::ScopedInstall<PrinterProvider, &setPrinterProvider>;

// Logbooks print at this resolution, whatever the printer's own.
inline constexpr int kLogbookPrintDpi = 600;

// The calling program's module instance.
GLIMRA_EXPORT HINSTANCE currentModuleInstance();

class GLIMRA_EXPORT CZLQLogbookDlg {
public:
    static constexpr int ListId = 1000;
    // Commands of the window's system menu.
    static constexpr UINT SC_PRINTERSETUP = 10000;
    static constexpr UINT SC_PRINTERPAGESETUP = 10001;
    static constexpr UINT SC_PRINT = 10002;

    CZLQLogbookDlg();
    CZLQLogbookDlg(const CZLQLogbookDlg&) = default;
    CZLQLogbookDlg& operator=(const CZLQLogbookDlg&) = default;
    virtual ~CZLQLogbookDlg();

    // Creates the window, hidden; 1 at once when it exists. Path, count,
    // instance and parent are taken only where the object has none yet.
    int Create(HINSTANCE instance, QWidget* parent, const char* path, int recordCount);
    int Destroy();
    QWidget* GetDialogWindow() const;
    // The window's system menu; null without window.
    QMenu* GetSystemMenu() const;

    int Show(bool show);
    int ShowCaption(bool show);
    int IsCaptionShown() const;
    int EnableResize(bool enable);
    int IsResizable() const;
    // Returns the new dragging-disabled switch.
    int EnableDragMove(bool enable);
    int IsDragMoveDisabled() const;
    int IsVisible() const;
    int Move(int x, int y);
    int SetSize(int cx, int cy);
    int CenterOnWorkArea();
    int SetTitle(const char* title);
    int SetLogFileName(const char* path);
    int SetRecordCount(int count);
    int SetFont(const LOGFONTA* font, bool alsoList);

    // The logbook; 0 while no file is open.
    int AddEntry(LogEntry* entry);
    int AddMessage(const char* text, int type);
    int AddMessageF(const char* format, int type, ...) __attribute__((format(printf, 2, 4)));
    int AddEmptyEntry(int type);
    int Clear(bool backup);
    int Reload();
    // The free-space check (at any time).
    int IsFileOk();
    int SetMinFreeDiskSpace(unsigned bytes);
    unsigned GetMinFreeDiskSpace() const;
    int SetAutoDeleteOldLogs(bool on);
    int SetDebugBkColor(int index, COLORREF color);
    int SetDebugTextColor(int index, COLORREF color);
    COLORREF GetDebugBkColor(int index) const;
    COLORREF GetDebugTextColor(int index) const;
    int SetUserTypeName(int index, const char* name);
    // Copies the name into buffer (at least 51 bytes) and returns it; "" and
    // the buffer untouched while no file is open or for another index.
    const char* GetUserTypeName(int index, char* buffer) const;

    int PrinterSetup(bool useDefault);
    // PrinterSetup that tells a cancelled dialog apart.
    PrinterProvider::Choice ChoosePrinter(bool useDefault);
    int Print(bool colour, const char* docName, const char* faceName, int height);

    static void DrawItem(DRAWITEMSTRUCT* item) { DrawLogbookItem(item); }
    static void MeasureItem(MEASUREITEMSTRUCT* item) { MeasureLogbookItem(item); }
    // The text as UTF-16 (precomposed) with its terminating zero; the number
    // of characters written plus 1. out has room for strlen(text) + 1.
    static int AnsiToWide(WCHAR* out, const char* text);

    // Whether the logbook's file is open (entries are taken).
    bool logbookOpen() const;
    // What the object keeps for the next Create.
    std::string logFileName() const;
    int recordCount() const;
    std::string title() const;

    struct Data;

private:
    std::shared_ptr<Data> d_;
};

} // namespace glimra
