// The logbook window object: a modeless window with one owner-drawn list and
// the engine attached to it.

#include "logbookengine.h"

#include "glimra/dialog.h"
#include "glimra/fontmetrics.h"
#include "glimra/library.h"
#include "glimra/resources.h"

#include <QAbstractItemDelegate>
#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QShortcut>
#include <QWindow>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace glimra {

namespace {

// Window styles the object keeps.
constexpr DWORD WS_CAPTION = 0xC00000;
constexpr DWORD WS_THICKFRAME = 0x40000;
constexpr DWORD kDialogStyle = 0x800B0984;

// System commands of the window's own menu items.
constexpr UINT SC_SIZE = 0xF000;
constexpr UINT SC_MOVE = 0xF010;
constexpr UINT SC_MINIMIZE = 0xF020;
constexpr UINT SC_MAXIMIZE = 0xF030;
constexpr UINT SC_CLOSE = 0xF060;
constexpr UINT SC_RESTORE = 0xF120;

constexpr int kListMargin = 10;
constexpr int kMinTrackSize = 100;

// The font a list shows its rows in, as a font description.
LOGFONTA logFontOf(const QFont& font) {
    LOGFONTA lf;
    const int pixels = font.pixelSize() > 0 ? font.pixelSize() : QFontInfo(font).pixelSize();
    lf.lfHeight = -pixels;
    lf.lfWeight = font.weight();
    lf.lfItalic = font.italic() ? 1 : 0;
    lf.lfUnderline = font.underline() ? 1 : 0;
    lf.lfStrikeOut = font.strikeOut() ? 1 : 0;
    const std::string family = cutText(font.family().toStdString(), LF_FACESIZE - 1);
    std::memcpy(lf.lfFaceName, family.c_str(), family.size() + 1);
    return lf;
}

// The dialog's owner drawing of its list (WM_DRAWITEM and WM_MEASUREITEM).
class LogbookItemDelegate final : public QAbstractItemDelegate {
public:
    explicit LogbookItemDelegate(QListWidget* list) : QAbstractItemDelegate(list), list_(list) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        painter->save();
        CDC dc(painter, list_->viewport()->size());
        CFont font;
        const LOGFONTA lf = logFontOf(list_->font());
        font.CreateFontIndirect(&lf);
        dc.SelectObject(&font);
        DRAWITEMSTRUCT item;
        item.CtlType = ODT_LISTBOX;
        item.CtlID = static_cast<UINT>(GetDlgCtrlID(list_));
        item.itemID = static_cast<UINT>(index.row());
        item.itemAction = ODA_DRAWENTIRE;
        item.itemState = (option.state & QStyle::State_Selected) ? ODS_SELECTED : 0;
        item.hwndItem = list_;
        item.hDC = &dc;
        item.rcItem = toRect(option.rect);
        item.rcItem.right = std::max<LONG>(item.rcItem.right, list_->viewport()->width());
        item.itemData = index.data(Qt::UserRole).value<quintptr>();
        DrawLogbookItem(&item);
        if (option.state & QStyle::State_HasFocus) {
            item.itemAction = ODA_FOCUS;
            item.itemState |= ODS_FOCUS;
            DrawLogbookItem(&item);
        }
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
        const QFont font = CFont::toQFont(logFontOf(list_->font()));
        MEASUREITEMSTRUCT item;
        item.CtlType = ODT_LISTBOX;
        item.CtlID = static_cast<UINT>(GetDlgCtrlID(list_));
        item.itemID = static_cast<UINT>(index.row());
        item.itemHeight =
            static_cast<UINT>(std::max(1, fontMetricsSource()->metrics(font).tmHeight));
        item.itemData = index.data(Qt::UserRole).value<quintptr>();
        MeasureLogbookItem(&item);
        const LogListState* state = logListState(list_);
        const int extent = state != nullptr ? state->horizontalExtent : 0;
        return {std::max(extent, list_->viewport()->width()), static_cast<int>(item.itemHeight)};
    }

private:
    QListWidget* list_;
};

void insertAt(QMenu* menu, int position, QAction* action) {
    const QList<QAction*> actions = menu->actions();
    if (position >= 0 && position < actions.size()) {
        menu->insertAction(actions[position], action);
    } else {
        menu->addAction(action);
    }
}

} // namespace

// Everything the object holds; copies of the object share it.
struct CZLQLogbookDlg::Data {
    ~Data();

    int create(HINSTANCE instance, QWidget* parent, const char* path, int count);
    int destroy();
    void applyStyle();
    void placeList();
    void onSysCommand(UINT command);
    bool fileOpen() const { return engine.isOpen(); }

    HINSTANCE instance = nullptr;
    QPointer<QWidget> parent;
    QPointer<QDialog> dialog;
    QPointer<QListWidget> list;
    QMenu* systemMenu = nullptr; // a child of the dialog
    bool caption = true;
    bool resizeDisabled = false;
    bool dragDisabled = false;
    std::string title;
    std::unique_ptr<CFont> font;
    CZLQLogListBox engine;
    std::string path;
    int recordCount = 0;
};

namespace {

// The modeless window.
class LogbookDialog final : public QDialog {
public:
    LogbookDialog(QWidget* parent, CZLQLogbookDlg::Data* data) : QDialog(parent), data_(data) {}

    void reject() override {} // Escape does not close it

protected:
    void resizeEvent(QResizeEvent* event) override {
        QDialog::resizeEvent(event);
        data_->placeList();
    }

    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        data_->onSysCommand(SC_CLOSE);
    }

    void contextMenuEvent(QContextMenuEvent* event) override {
        data_->systemMenu->popup(event->globalPos());
    }

    // A click into the window moves it, unless dragging is disabled.
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton || data_->dragDisabled) {
            QDialog::mousePressEvent(event);
            return;
        }
        if (windowHandle() != nullptr && windowHandle()->startSystemMove()) {
            return;
        }
        dragging_ = true;
        dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }

    void mouseMoveEvent(QMouseEvent* event) override {
        if (dragging_) {
            move(event->globalPosition().toPoint() - dragOffset_);
        }
        QDialog::mouseMoveEvent(event);
    }

    void mouseReleaseEvent(QMouseEvent* event) override {
        dragging_ = false;
        QDialog::mouseReleaseEvent(event);
    }

private:
    CZLQLogbookDlg::Data* data_;
    bool dragging_ = false;
    QPoint dragOffset_;
};

} // namespace

CZLQLogbookDlg::Data::~Data() {
    destroy();
}

int CZLQLogbookDlg::Data::create(HINSTANCE instanceArg, QWidget* parentArg, const char* pathArg,
                                 int count) {
    if (dialog != nullptr) {
        return 1;
    }
    const std::string given = pathArg != nullptr ? pathArg : "";
    if ((instance == nullptr && instanceArg == nullptr) || (path.empty() && given.empty()) ||
        (recordCount == 0 && count == 0)) {
        return 0;
    }
    // The first value wins.
    if (instance == nullptr) {
        instance = instanceArg;
    }
    if (path.empty()) {
        if (given.size() > kMostLogPathLength) {
            return 0;
        }
        path = given;
    }
    if (recordCount == 0) {
        recordCount = count;
    }
    if (parent == nullptr) {
        parent = parentArg;
    }

    dialog = new LogbookDialog(parent, this);
    dialog->setWindowTitle(QString::fromStdString(title));
    const DWORD units = GetDialogBaseUnits();
    const RECT client = MapDialogRect(RECT{0, 0, 200, 150}, {LOWORD(units), HIWORD(units)});
    dialog->resize(client.right, client.bottom);
    applyStyle();
    // Centred in the work area.
    if (QScreen* screen = dialog->screen()) {
        const QRect work = screen->availableGeometry();
        dialog->move(work.left() + (work.width() - dialog->width()) / 2,
                     work.top() + (work.height() - dialog->height()) / 2);
    }

    // The system menu: the window's own items, then the printing commands
    // inserted before its last separator and "Close", which is greyed.
    systemMenu = new QMenu(dialog);
    const struct {
        const char* text;
        UINT command;
    } own[] = {{"&Restore", SC_RESTORE},   {"&Move", SC_MOVE},         {"&Size", SC_SIZE},
               {"Mi&nimize", SC_MINIMIZE}, {"Ma&ximize", SC_MAXIMIZE}, {nullptr, 0},
               {"&Close", SC_CLOSE}};
    for (const auto& item : own) {
        QAction* action = item.text != nullptr ? systemMenu->addAction(QString::fromUtf8(item.text))
                                               : systemMenu->addSeparator();
        setCommandId(action, item.command);
        action->setEnabled(item.command != SC_CLOSE);
    }
    const int n = static_cast<int>(systemMenu->actions().size());
    auto* separator = new QAction(systemMenu);
    separator->setSeparator(true);
    insertAt(systemMenu, n - 2, separator);
    const struct {
        const char* text;
        UINT command;
        int position;
    } added[] = {{"Printer Setup", SC_PRINTERSETUP, n - 1},
                 {"Printer and Page Setup", SC_PRINTERPAGESETUP, n},
                 {"Print", SC_PRINT, n + 1}};
    for (const auto& item : added) {
        auto* action = new QAction(QString::fromUtf8(item.text), systemMenu);
        setCommandId(action, item.command);
        action->setEnabled(item.command != SC_PRINTERPAGESETUP);
        insertAt(systemMenu, item.position, action);
    }
    for (QAction* action : systemMenu->actions()) {
        const UINT command = commandId(action);
        QObject::connect(action, &QAction::triggered, dialog,
                         [this, command] { onSysCommand(command); });
    }
    auto* menuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), dialog);
    QObject::connect(menuKey, &QShortcut::activated, dialog,
                     [this] { systemMenu->popup(dialog->mapToGlobal(QPoint(0, 0))); });

    list = new QListWidget(dialog);
    setDlgCtrlID(list, ListId);
    list->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setUniformItemSizes(false);
    list->setResizeMode(QListView::Adjust);
    list->setItemDelegate(new LogbookItemDelegate(list));
    list->setGeometry(kListMargin, kListMargin, std::max(0, dialog->width() - 2 * kListMargin),
                      std::max(0, dialog->height() - 2 * kListMargin));
    if (font) {
        dialog->setFont(font->toQFont());
        list->setFont(font->toQFont());
    }
    engine.Attach(list, path.c_str(), recordCount, false);

    if (!font) {
        LOGFONTA lf;
        lf.lfHeight = -8;
        lf.lfWeight = FW_NORMAL;
        std::strcpy(lf.lfFaceName, "MS Sans Serif");
        font = std::make_unique<CFont>();
        font->CreateFontIndirect(&lf);
        dialog->setFont(font->toQFont());
        list->setFont(font->toQFont());
    }
    return 1;
}

int CZLQLogbookDlg::Data::destroy() {
    if (dialog != nullptr) {
        engine.Detach();
        delete dialog.data();
    }
    dialog = nullptr;
    list = nullptr;
    systemMenu = nullptr;
    return 1;
}

// The list fills the client area less the margins; its position stays.
void CZLQLogbookDlg::Data::placeList() {
    if (dialog != nullptr && list != nullptr) {
        list->resize(std::max(0, dialog->width() - 2 * kListMargin),
                     std::max(0, dialog->height() - 2 * kListMargin));
    }
}

void CZLQLogbookDlg::Data::applyStyle() {
    if (dialog == nullptr) {
        return;
    }
    const bool visible = dialog->isVisible();
    // Without a caption there is no title bar to carry the buttons either;
    // the system menu stays reachable by Alt+Space and the context menu.
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (caption) {
        flags |= Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint;
    }
    dialog->setWindowFlags(flags);
    if (resizeDisabled) {
        dialog->setFixedSize(dialog->size());
    } else {
        dialog->setMinimumSize(kMinTrackSize, kMinTrackSize);
        dialog->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
    if (visible) {
        dialog->setAttribute(Qt::WA_ShowWithoutActivating);
        dialog->show();
    }
}

void CZLQLogbookDlg::Data::onSysCommand(UINT command) {
    if (dialog == nullptr) {
        return;
    }
    switch (command) {
    case SC_CLOSE:
        dialog->done(2);
        break;
    case SC_PRINTERSETUP:
        if (fileOpen()) {
            engine.PrinterSetup(dialog, false);
        }
        break;
    case SC_PRINT:
        if (fileOpen()) {
            engine.Print(dialog, true, "logbook.txt", "Courier New", 30);
        }
        break;
    case SC_MINIMIZE:
        dialog->showMinimized();
        break;
    case SC_MAXIMIZE:
        dialog->showMaximized();
        break;
    case SC_RESTORE:
        dialog->showNormal();
        break;
    case SC_MOVE:
        if (dialog->windowHandle() != nullptr) {
            dialog->windowHandle()->startSystemMove();
        }
        break;
    case SC_SIZE:
        if (dialog->windowHandle() != nullptr && !resizeDisabled) {
            dialog->windowHandle()->startSystemResize(Qt::BottomEdge | Qt::RightEdge);
        }
        break;
    default:
        break;
    }
}

HINSTANCE currentModuleInstance() {
    return &programResources();
}

CZLQLogbookDlg::CZLQLogbookDlg() : d_(std::make_shared<Data>()) {}

CZLQLogbookDlg::~CZLQLogbookDlg() = default;

int CZLQLogbookDlg::Create(HINSTANCE instance, QWidget* parent, const char* path, int recordCount) {
    return d_->create(instance, parent, path, recordCount);
}

int CZLQLogbookDlg::Destroy() {
    return d_->destroy();
}

QWidget* CZLQLogbookDlg::GetDialogWindow() const {
    return d_->dialog;
}

QMenu* CZLQLogbookDlg::GetSystemMenu() const {
    return d_->dialog != nullptr ? d_->systemMenu : nullptr;
}

int CZLQLogbookDlg::Show(bool show) {
    if (d_->dialog == nullptr) {
        return 0;
    }
    d_->dialog->setAttribute(Qt::WA_ShowWithoutActivating);
    d_->dialog->setVisible(show);
    return 1;
}

int CZLQLogbookDlg::ShowCaption(bool show) {
    d_->caption = show;
    d_->applyStyle();
    return 1;
}

int CZLQLogbookDlg::IsCaptionShown() const {
    return d_->caption ? 1 : 0;
}

int CZLQLogbookDlg::EnableResize(bool enable) {
    d_->resizeDisabled = !enable;
    d_->applyStyle();
    return 1;
}

int CZLQLogbookDlg::IsResizable() const {
    return d_->dialog != nullptr && !d_->resizeDisabled ? 1 : 0;
}

int CZLQLogbookDlg::EnableDragMove(bool enable) {
    d_->dragDisabled = !enable;
    return d_->dragDisabled ? 1 : 0;
}

int CZLQLogbookDlg::IsDragMoveDisabled() const {
    return d_->dragDisabled ? 1 : 0;
}

int CZLQLogbookDlg::IsVisible() const {
    return d_->dialog != nullptr && d_->dialog->isVisible() ? 1 : 0;
}

int CZLQLogbookDlg::Move(int x, int y) {
    if (d_->dialog == nullptr) {
        return 0;
    }
    d_->dialog->move(x, y);
    return 1;
}

int CZLQLogbookDlg::SetSize(int cx, int cy) {
    if (d_->dialog == nullptr) {
        return 0;
    }
    const QSize frame = d_->dialog->frameGeometry().size() - d_->dialog->geometry().size();
    d_->dialog->resize(std::max(0, cx - frame.width()), std::max(0, cy - frame.height()));
    d_->placeList(); // a hidden window gets its resize event only when shown
    return 1;
}

int CZLQLogbookDlg::CenterOnWorkArea() {
    QDialog* dialog = d_->dialog;
    if (dialog == nullptr || dialog->screen() == nullptr) {
        return 0;
    }
    const QRect work = dialog->screen()->availableGeometry();
    dialog->move(work.left() + (work.width() - dialog->width()) / 2,
                 work.top() + (work.height() - dialog->height()) / 2);
    return 1;
}

int CZLQLogbookDlg::SetTitle(const char* title) {
    d_->title = cutText(title != nullptr ? title : "", kMostLogPathLength);
    if (d_->dialog != nullptr) {
        d_->dialog->setWindowTitle(QString::fromStdString(d_->title));
    }
    return 1;
}

int CZLQLogbookDlg::SetLogFileName(const char* path) {
    const std::string given = path != nullptr ? path : "";
    if (given.size() > kMostLogPathLength) {
        return 0;
    }
    d_->path = given;
    return 1;
}

int CZLQLogbookDlg::SetRecordCount(int count) {
    d_->recordCount = count;
    return 1;
}

int CZLQLogbookDlg::SetFont(const LOGFONTA* font, bool alsoList) {
    d_->font.reset();
    if (font == nullptr) {
        return 0;
    }
    d_->font = std::make_unique<CFont>();
    d_->font->CreateFontIndirect(font);
    if (d_->dialog != nullptr) {
        d_->dialog->setFont(d_->font->toQFont());
        if (alsoList && d_->list != nullptr) {
            d_->list->setFont(d_->font->toQFont());
        }
    }
    return 1;
}

int CZLQLogbookDlg::AddEntry(LogEntry* entry) {
    return d_->fileOpen() ? d_->engine.AddPreparedEntry(entry) : 0;
}

int CZLQLogbookDlg::AddMessage(const char* text, int type) {
    return d_->fileOpen() ? d_->engine.AddMessage(text, type) : 0;
}

int CZLQLogbookDlg::AddMessageF(const char* format, int type, ...) {
    if (!d_->fileOpen() || format == nullptr) {
        return 0;
    }
    // Cut safely at the buffer's end; the record keeps 255 bytes of it.
    char buffer[512];
    va_list args;
    va_start(args, type);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return d_->engine.AddMessage(buffer, type);
}

int CZLQLogbookDlg::AddEmptyEntry(int type) {
    return d_->fileOpen() ? d_->engine.AddEmptyEntry(type) : 0;
}

int CZLQLogbookDlg::Clear(bool backup) {
    return d_->fileOpen() ? d_->engine.Clear(backup) : 0;
}

int CZLQLogbookDlg::Reload() {
    return d_->fileOpen() ? d_->engine.Reload() : 0;
}

int CZLQLogbookDlg::IsFileOk() {
    return d_->engine.CheckDiskSpace(d_->path);
}

int CZLQLogbookDlg::SetMinFreeDiskSpace(unsigned bytes) {
    d_->engine.diskPolicy().minFreeBytes = bytes;
    return 1;
}

unsigned CZLQLogbookDlg::GetMinFreeDiskSpace() const {
    return d_->engine.diskPolicy().minFreeBytes;
}

int CZLQLogbookDlg::SetAutoDeleteOldLogs(bool on) {
    d_->engine.diskPolicy().autoDeleteOldLogs = on;
    return 1;
}

namespace {
// Sets one DEBUG colour in the engine and the list's state, and repaints.
int setDebugColour(CZLQLogbookDlg::Data& d, int index, COLORREF colour, bool background) {
    if (!d.fileOpen() || index < 0 || index > 3) {
        return 0;
    }
    const auto i = static_cast<std::size_t>(index);
    (background ? d.engine.debugBk() : d.engine.debugText())[i] = colour;
    if (LogListState* state = logListState(d.list)) {
        (background ? state->debugBk : state->debugText)[i] = colour;
        d.list->viewport()->update();
    }
    return 1;
}
} // namespace

int CZLQLogbookDlg::SetDebugBkColor(int index, COLORREF color) {
    return setDebugColour(*d_, index, color, true);
}

int CZLQLogbookDlg::SetDebugTextColor(int index, COLORREF color) {
    return setDebugColour(*d_, index, color, false);
}

COLORREF CZLQLogbookDlg::GetDebugBkColor(int index) const {
    return d_->fileOpen() && index >= 0 && index <= 3
               ? d_->engine.debugBk()[static_cast<std::size_t>(index)]
               : 0;
}

COLORREF CZLQLogbookDlg::GetDebugTextColor(int index) const {
    return d_->fileOpen() && index >= 0 && index <= 3
               ? d_->engine.debugText()[static_cast<std::size_t>(index)]
               : 0;
}

int CZLQLogbookDlg::SetUserTypeName(int index, const char* name) {
    if (!d_->fileOpen() || index < 0 || index >= kLogUserTypes) {
        return 0;
    }
    // Names are cut to the 50 characters the settings keep.
    const std::string kept = cutText(name != nullptr ? name : "", kLogUserTypeNameLength);
    const auto i = static_cast<std::size_t>(index);
    d_->engine.userTypeNames()[i] = kept;
    if (LogListState* state = logListState(d_->list)) {
        state->userTypeNames[i] = kept;
        d_->list->viewport()->update();
    }
    return 1;
}

const char* CZLQLogbookDlg::GetUserTypeName(int index, char* buffer) const {
    const LogListState* state = logListState(d_->list);
    if (!d_->fileOpen() || index < 0 || index >= kLogUserTypes || buffer == nullptr ||
        state == nullptr) {
        return "";
    }
    const std::string& name = state->userTypeNames[static_cast<std::size_t>(index)];
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return buffer;
}

int CZLQLogbookDlg::PrinterSetup(bool useDefault) {
    return d_->fileOpen() ? d_->engine.PrinterSetup(d_->dialog, useDefault) : 0;
}

PrinterProvider::Choice CZLQLogbookDlg::ChoosePrinter(bool useDefault) {
    return d_->fileOpen() ? d_->engine.ChoosePrinter(d_->dialog, useDefault)
                          : PrinterProvider::Choice::Failed;
}

int CZLQLogbookDlg::Print(bool colour, const char* docName, const char* faceName, int height) {
    return d_->fileOpen() ? d_->engine.Print(d_->dialog, colour, docName, faceName, height) : 0;
}

int CZLQLogbookDlg::AnsiToWide(WCHAR* out, const char* text) {
    if (out == nullptr || text == nullptr) {
        return 0;
    }
    // Composing never lengthens a text beyond its UTF-8 bytes but for a few
    // symbols; the caller's room is kept all the same.
    const QString wide = QString::fromUtf8(text).normalized(QString::NormalizationForm_C);
    const std::size_t length = std::min(static_cast<std::size_t>(wide.size()), std::strlen(text));
    std::memcpy(out, wide.utf16(), length * sizeof(WCHAR));
    out[length] = 0;
    return static_cast<int>(length) + 1;
}

bool CZLQLogbookDlg::logbookOpen() const {
    return d_->fileOpen();
}

std::string CZLQLogbookDlg::logFileName() const {
    return d_->path;
}

int CZLQLogbookDlg::recordCount() const {
    return d_->recordCount;
}

std::string CZLQLogbookDlg::title() const {
    return d_->title;
}

} // namespace glimra
