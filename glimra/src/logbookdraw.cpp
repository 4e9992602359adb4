// Drawing logbook rows on screen and printing them as a table.

#include "logbookengine.h"

#include "glimra/syscolors.h"

#include <QAbstractScrollArea>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace glimra {

namespace {

constexpr COLORREF kNewEntryGrey = RGB(210, 210, 210);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);
// The longest built-in type name, "WARNING".
constexpr std::size_t kShortestTypeColumn = 7;

std::string timeText(const SYSTEMTIME& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d:%03d", t.wDay, t.wMonth,
                  t.wYear, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

// The "O"s the type column is measured on.
std::string typeColumnText(const LogListState* state) {
    std::size_t length = kShortestTypeColumn;
    if (state != nullptr) {
        for (const std::string& name : state->userTypeNames) {
            length = std::max(length, name.size());
        }
    }
    return std::string(length, 'O');
}

// The message up to its terminator (or its field's end).
std::string_view messageOf(const LogRecord& entry) {
    return {entry.text, strnlen(entry.text, sizeof entry.text)};
}

int lineCount(const LogRecord& entry) {
    const std::string_view text = messageOf(entry);
    return 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// 0 to 3 for an entry of exactly DEBUG1 to DEBUG4, else -1.
int debugIndex(DWORD type) {
    for (int i = 0; i < 4; ++i) {
        if (type == (static_cast<DWORD>(LOGENTRY_DEBUG1) << i)) {
            return i;
        }
    }
    return -1;
}

// The separator's pen, when the entry is one.
bool separatorPen(DWORD type, CPen& pen) {
    struct Style {
        DWORD flag;
        int style;
        int width;
    };
    static constexpr Style kStyles[] = {
        {LOGENTRY_LINE_SOLID, PS_SOLID, 1},     {LOGENTRY_LINE_THICK, PS_SOLID, 3},
        {LOGENTRY_LINE_DASH, PS_DASH, 1},       {LOGENTRY_LINE_DOT, PS_DOT, 1},
        {LOGENTRY_LINE_DASHDOT, PS_DASHDOT, 1}, {LOGENTRY_LINE_DASHDOTDOT, PS_DASHDOTDOT, 1},
    };
    for (const Style& s : kStyles) {
        if ((type & s.flag) != 0) {
            pen.CreatePen(s.style, s.width, kBlack);
            return true;
        }
    }
    return false;
}

void line(CDC& dc, int x1, int y1, int x2, int y2) {
    dc.MoveTo(x1, y1);
    dc.LineTo(x2, y2);
}

void text(CDC& dc, std::string_view shown, RECT r, int indent, COLORREF colour, UINT format) {
    r.left += indent;
    dc.SetTextColor(colour);
    dc.DrawText(shown, &r, format | DT_NOPREFIX | DT_LEFT | DT_TOP);
}

void invalidateList(QWidget* list) {
    if (auto* area = qobject_cast<QAbstractScrollArea*>(list)) {
        area->viewport()->update();
    } else if (list != nullptr) {
        list->update();
    }
}

void drawRow(const DRAWITEMSTRUCT& item) {
    LogListState* state = logListState(item.hwndItem);
    const auto* entry = reinterpret_cast<const LogEntry*>(item.itemData);
    if (item.itemID == ODI_NONE || state == nullptr || entry == nullptr) {
        return;
    }
    CDC& dc = *item.hDC;
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    const RECT& row = item.rcItem;
    if (entry->type == 0) {
        dc.FillSolidRect(&row, selected ? highlight : window);
        return;
    }
    if (entry->hFont) {
        dc.SelectObject(entry->hFont.get());
    }

    // Columns only grow: a wider text moves them for every row.
    TEXTMETRIC tm;
    dc.GetTextMetrics(&tm);
    const std::string time = timeText(entry->time);
    const int timeWidth = dc.GetTextExtent(time).cx + tm.tmAveCharWidth;
    const int typeWidth = dc.GetTextExtent(typeColumnText(state)).cx + tm.tmAveCharWidth;
    if (timeWidth > state->widestTime || typeWidth > state->widestType) {
        state->widestTime = std::max(state->widestTime, timeWidth);
        state->widestType = std::max(state->widestType, typeWidth);
        invalidateList(item.hwndItem);
        return;
    }
    const RECT timeCell{row.left, row.top, row.left + state->widestTime, row.bottom};
    const RECT typeCell{timeCell.right, row.top, timeCell.right + state->widestType, row.bottom};
    const RECT messageCell{typeCell.right, row.top, row.right, row.bottom};
    dc.SetBkMode(TRANSPARENT);

    const int debug = debugIndex(entry->type);
    COLORREF timeBk = entry->timeBkColorSet ? entry->timeBkColor : window;
    if (entry->newEntry == 1) {
        timeBk = GetNearestColor(kNewEntryGrey);
    }
    COLORREF typeBk = entry->typeBkColorSet ? entry->typeBkColor : window;
    if (debug >= 0) {
        typeBk = state->debugBk[static_cast<std::size_t>(debug)];
    }
    const COLORREF messageBk = entry->messageBkColorSet ? entry->messageBkColor : window;
    dc.FillSolidRect(&timeCell, selected ? highlight : timeBk);
    dc.FillSolidRect(&typeCell, selected ? highlight : typeBk);
    dc.FillSolidRect(&messageCell, selected ? highlight : messageBk);
    line(dc, timeCell.right, row.top, timeCell.right, row.bottom);
    line(dc, typeCell.right, row.top, typeCell.right, row.bottom);

    CPen pen;
    if (separatorPen(entry->type, pen)) {
        CPen* old = dc.SelectObject(&pen);
        const int y = row.top + (row.bottom - row.top) / 2;
        line(dc, row.left, y, row.right, y);
        dc.SelectObject(old);
        return;
    }
    const COLORREF plain = selected ? kWhite : kBlack;
    if ((entry->type & LOGENTRY_NO_TIME) == 0) {
        text(dc, time, timeCell, 2, entry->timeTextColorSet ? entry->timeTextColor : plain,
             DT_SINGLELINE);
    }
    if ((entry->type & LOGENTRY_NO_TYPE) == 0) {
        COLORREF colour = entry->typeTextColorSet ? entry->typeTextColor : plain;
        if (debug >= 0) {
            colour = state->debugText[static_cast<std::size_t>(debug)];
        }
        text(dc, CZLQLogListBox::TypeName(item.hwndItem, entry->type), typeCell, 2, colour,
             DT_SINGLELINE);
    }
    text(dc, messageOf(*entry), messageCell, 2,
         entry->messageTextColorSet ? entry->messageTextColor : plain, 0);
}

} // namespace

void DrawLogbookItem(DRAWITEMSTRUCT* item) {
    if (item == nullptr || item->CtlType != ODT_LISTBOX || item->hDC == nullptr) {
        return;
    }
    CDC& dc = *item->hDC;
    const int saved = dc.SaveDC();
    if ((item->itemAction & (ODA_DRAWENTIRE | ODA_SELECT)) != 0) {
        drawRow(*item);
    }
    if ((item->itemAction & ODA_FOCUS) != 0) {
        dc.DrawFocusRect(&item->rcItem);
    }
    dc.RestoreDC(saved);
}

void MeasureLogbookItem(MEASUREITEMSTRUCT* item) {
    if (item == nullptr || item->CtlType != ODT_LISTBOX || item->itemID == ODI_NONE) {
        return;
    }
    const auto* entry = reinterpret_cast<const LogEntry*>(item->itemData);
    if (entry == nullptr) {
        return;
    }
    std::int64_t height = item->itemHeight;
    if (entry->hFont) {
        // A caller's font may be of any height; rows stay within reason.
        const std::int64_t font = std::llabs(entry->hFont->logFont().lfHeight);
        height = std::max<std::int64_t>(height, std::min<std::int64_t>(font, kLogMostFontHeight));
    }
    item->itemHeight = static_cast<UINT>(height * lineCount(*entry));
}

PrinterProvider::Choice PrinterProvider::choosePrinter(QWidget* owner, bool useDefault,
                                                       std::unique_ptr<QPrinter>& printer) {
    if (useDefault) {
        const QPrinterInfo info = QPrinterInfo::defaultPrinter();
        if (info.isNull()) {
            return Choice::Failed;
        }
        printer = std::make_unique<QPrinter>(info, QPrinter::HighResolution);
        return Choice::Chosen;
    }
    if (QPrinterInfo::availablePrinters().isEmpty()) {
        return Choice::Failed;
    }
    auto candidate = std::make_unique<QPrinter>(QPrinter::HighResolution);
    QPrintDialog dialog(candidate.get(), owner);
    dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    if (dialog.exec() != QDialog::Accepted) {
        return Choice::Cancelled;
    }
    printer = std::move(candidate);
    return Choice::Chosen;
}

namespace {
platform::CurrentInstance<PrinterProvider, PrinterProvider>& providers() {
    static platform::CurrentInstance<PrinterProvider, PrinterProvider> instance;
    return instance;
}
} // namespace

std::shared_ptr<PrinterProvider> setPrinterProvider(std::shared_ptr<PrinterProvider> provider) {
    return providers().set(std::move(provider));
}

std::shared_ptr<PrinterProvider> printerProvider() {
    return providers().get();
}

PrinterProvider::Choice CZLQLogListBox::ChoosePrinter(QWidget* owner, bool useDefault) {
    std::unique_ptr<QPrinter> chosen;
    PrinterProvider::Choice choice = printerProvider()->choosePrinter(owner, useDefault, chosen);
    if (choice == PrinterProvider::Choice::Chosen) {
        if (!chosen) {
            return PrinterProvider::Choice::Failed;
        }
        printer_ = std::move(chosen);
    }
    return choice;
}

int CZLQLogListBox::PrinterSetup(QWidget* owner, bool useDefault) {
    return ChoosePrinter(owner, useDefault) == PrinterProvider::Choice::Failed ? 0 : 1;
}

int CZLQLogListBox::Print(QWidget* owner, bool colour, const char* docName, const char* faceName,
                          int height) {
    if (!open_ || list_ == nullptr) {
        return 0;
    }
    if (!printer_) {
        PrinterSetup(owner, true);
    }
    if (!printer_) {
        return 0;
    }
    // The chosen printer stays for the next print; only the drawing context
    // of this one ends with it.
    std::shared_ptr<PrinterProvider> provider = printerProvider();
    printer_->setResolution(kLogbookPrintDpi);
    CDC dc(printer_.get());
    dc.setRecorder(provider->recorder());
    CFont font;
    font.CreateFont(-static_cast<int>(std::min<long long>(std::llabs(height), 0x7FFFFFFF)), 0, 0, 0,
                    FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, faceName != nullptr ? faceName : "");
    if (dc.StartDoc(docName != nullptr ? docName : "") <= 0) {
        return 0;
    }
    CFont* oldFont = dc.SelectObject(&font);
    dc.SetBkMode(TRANSPARENT);

    const SIZE timeExtent = dc.GetTextExtent("OO.OO.OOOO OO:OO:OO:OOO");
    const int rowHeight = timeExtent.cy + 4;
    const int typeWidth = dc.GetTextExtent(typeColumnText(logListState(list_))).cx + 20;
    const int pageBottom = dc.GetDeviceCaps(VERTRES) - 1;
    const RECT timeColumn{0, 0, timeExtent.cx + 20, rowHeight};
    const RECT typeColumn{timeColumn.right, 0, timeColumn.right + typeWidth, rowHeight};
    const RECT messageColumn{typeColumn.right, 0, dc.GetDeviceCaps(HORZRES) - 1, rowHeight};
    auto at = [](RECT r, int y, int height) {
        r.top = y;
        r.bottom = y + height;
        return r;
    };

    auto startPage = [&] {
        dc.StartPage();
        const RECT header[] = {timeColumn, typeColumn, messageColumn};
        const char* titles[] = {"TIME", "TYPE", "MESSAGE"};
        for (int i = 0; i < 3; ++i) {
            if (colour) {
                dc.FillSolidRect(&header[i], GetSysColor(COLOR_BTNFACE));
            }
            CBrush* oldBrush = static_cast<CBrush*>(dc.SelectStockObject(NULL_BRUSH));
            dc.Rectangle(&header[i]);
            dc.SelectObject(oldBrush);
            RECT r = header[i];
            dc.SetTextColor(kBlack);
            dc.DrawText(titles[i], &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        }
        for (int x : {timeColumn.left, typeColumn.left, messageColumn.left, messageColumn.right}) {
            line(dc, x, rowHeight, x, pageBottom);
        }
        return rowHeight + 6;
    };

    int y = 0;
    bool pageOpen = false;
    bool pageEmpty = true;
    for (int row = 0; row < list_->count();) {
        const LogEntry* entry = logEntryOf(list_->item(row));
        if (entry == nullptr) {
            ++row;
            continue;
        }
        if (!pageOpen) {
            y = startPage();
            pageOpen = true;
            pageEmpty = true;
        }
        if (entry->type == 0) {
            ++row;
            continue;
        }
        CPen pen;
        const bool separator = separatorPen(entry->type, pen);
        const int entryHeight = separator ? rowHeight : rowHeight * lineCount(*entry);
        // An entry that does not fit starts the next page; one taller than a
        // whole page is printed there as far as it goes, never retried.
        if (y + entryHeight > pageBottom && !pageEmpty) {
            dc.EndPage();
            pageOpen = false;
            continue;
        }
        const bool grey = colour && entry->newEntry == 1;
        if (separator) {
            if (grey) {
                const RECT cell = at(timeColumn, y, rowHeight);
                dc.FillSolidRect(cell.left + 1, cell.top, cell.width() - 2, cell.height(),
                                 kNewEntryGrey);
            }
            CPen* oldPen = dc.SelectObject(&pen);
            line(dc, timeColumn.left, y + rowHeight / 2, messageColumn.right, y + rowHeight / 2);
            dc.SelectObject(oldPen);
        } else {
            if (grey) {
                const RECT cell = at(timeColumn, y, rowHeight);
                dc.FillSolidRect(&cell, kNewEntryGrey);
            }
            if (colour && (entry->type == LOGENTRY_ERROR || entry->type == LOGENTRY_FATAL)) {
                const RECT cell = at(typeColumn, y, rowHeight);
                dc.FillSolidRect(&cell, RGB(255, 0, 0));
            }
            text(dc, timeText(entry->time), at(timeColumn, y, rowHeight), 4, kBlack, DT_SINGLELINE);
            text(dc, TypeName(list_, entry->type), at(typeColumn, y, rowHeight), 4, kBlack,
                 DT_SINGLELINE);
            text(dc, messageOf(*entry), at(messageColumn, y, entryHeight), 4, kBlack, 0);
        }
        y += entryHeight + 1;
        pageEmpty = false;
        ++row;
    }
    if (pageOpen) {
        dc.EndPage();
    }
    dc.EndDoc();
    dc.SelectObject(oldFont);
    return 1;
}

} // namespace glimra
