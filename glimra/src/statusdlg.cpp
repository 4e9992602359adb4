// The status dialog and its five layouts.

#include "glimra/statusdlg.h"

#include "glimra/dialog.h"
#include "glimra/gdi.h"
#include "glimra/messages.h"
#include "glimra/progressctrl.h"
#include "glimra/resources.h"
#include "glimra/subclass.h"
#include "glimra/syscolors.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QPainter>
#include <QScreen>

namespace glimra {

const UINT CStatusDlg::Templates[5] = {10050, 10051, 10052, 10053, 10054};

namespace {

struct Place {
    int x, y, cx, cy;
    bool shown;
};

struct Layout {
    int height;
    Place icon, text1, text2, cancel;
};

// Where each layout puts its controls (dialog units); the progress bar lies
// hidden where the second text is.
constexpr Layout layouts[5] = {
    {44,
     {163, 4, 21, 20, false},
     {17, 16, 153, 12, true},
     {17, 30, 153, 12, false},
     {69, 28, 50, 14, false}},
    {44,
     {9, 12, 21, 20, true},
     {37, 16, 132, 12, true},
     {37, 30, 132, 12, false},
     {69, 28, 50, 14, false}},
    {54,
     {9, 17, 21, 20, true},
     {37, 16, 132, 12, true},
     {37, 30, 132, 12, false},
     {69, 36, 50, 14, true}},
    {55,
     {9, 18, 21, 20, true},
     {37, 14, 132, 11, true},
     {37, 30, 132, 11, true},
     {69, 38, 50, 14, false}},
    {65,
     {9, 22, 21, 20, true},
     {37, 14, 132, 11, true},
     {37, 28, 132, 11, true},
     {69, 47, 50, 14, true}},
};

DialogControl control(int id, ControlKind kind, const char* text, const Place& p, UINT flags) {
    return {
        id, kind, text, {p.x, p.y, p.x + p.cx, p.y + p.cy}, flags | (p.shown ? 0u : CTL_HIDDEN)};
}

DialogTemplate statusTemplate(int layout) {
    const Layout& l = layouts[layout];
    DialogTemplate t;
    t.width = 187;
    t.height = l.height;
    const UINT centred = CTL_CENTER | CTL_VCENTER;
    t.controls = {
        control(CStatusDlg::IconId, ControlKind::Icon, "", l.icon, 0),
        control(CStatusDlg::Text1Id, ControlKind::Static, "[Text1]", l.text1, centred),
        control(CStatusDlg::Text2Id, ControlKind::Static, "[Text2]", l.text2,
                centred | (l.text2.shown ? 0u : CTL_DISABLED)),
        control(CStatusDlg::ProgressId, ControlKind::Static, "",
                {l.text2.x, l.text2.y, l.text2.cx, l.text2.cy, false}, CTL_DISABLED),
        control(CStatusDlg::CancelId, ControlKind::PushButton, "Cancel", l.cancel, 0),
    };
    return t;
}

// The main window of the program, null when it has none.
QWidget* mainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMainWindow*>(w) != nullptr) {
            return w;
        }
    }
    return nullptr;
}

// The template's progress bar has a border.
class BorderedProgress final : public CProgressCtrlX {
public:
    explicit BorderedProgress(QWidget* parent) : CProgressCtrlX(parent) {
        SetBkColor(GetSysColor(COLOR_WINDOW));
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        CProgressCtrlX::paintEvent(event);
        QPainter painter(this);
        CDC dc(&painter, size());
        RECT r = {0, 0, width(), height()};
        dc.DrawEdge(&r, BDR_SUNKENOUTER, BF_RECT);
    }
};

} // namespace

CStatusDlg::CStatusDlg(QWidget*) {
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
}

CStatusDlg::~CStatusDlg() {
    // An owner disabled for the dialog must not stay unusable when the
    // client forgot Close.
    if (owner_ != nullptr) {
        owner_->setEnabled(true);
    }
}

BOOL CStatusDlg::Create(int layout, UINT iconId, QWidget* parent) {
    if (layout < 0 || layout > 4) {
        return FALSE;
    }
    if (created_) {
        destroyWindow();
    }
    if (parent != nullptr) {
        setParent(parent, windowFlags());
    }
    layout_ = layout;
    buildDialog(this, statusTemplate(layout));
    // The progress bar is the library's drop-in control.
    if (auto taken = takeControl(this, ProgressId)) {
        auto* bar = new BorderedProgress(this);
        placeLike(bar, *taken);
        bar->setVisible(false);
        bar->setEnabled(false);
    }
    created_ = true;
    OnInitDialog();
    if (iconId != 0 && layout != 0) {
        SetIcon(iconId);
    }
    return TRUE;
}

void CStatusDlg::DoDataExchange() {
    icon_ = qobject_cast<QLabel*>(GetDlgItem(this, IconId));
    text1_ = qobject_cast<QLabel*>(GetDlgItem(this, Text1Id));
    text2_ = qobject_cast<QLabel*>(GetDlgItem(this, Text2Id));
    progress_ = qobject_cast<CProgressCtrlX*>(GetDlgItem(this, ProgressId));
    cancel_ = qobject_cast<QAbstractButton*>(GetDlgItem(this, CancelId));
    if (cancel_ != nullptr) {
        connect(cancel_, &QAbstractButton::clicked, this, [this] { OnCancel(); });
    }
}

BOOL CStatusDlg::OnInitDialog() {
    DoDataExchange();
    cancelUsable_ = (layout_ == 2 || layout_ == 4) ? 1 : 0;
    progressShown_ = 0;
    cancelled_ = 0;
    SetText1("");
    SetText2("");
    return TRUE;
}

BOOL CStatusDlg::ShowStatus(int layout, UINT iconId, BOOL update, QWidget* owner,
                            BOOL disableOwner) {
    if (!Create(layout, iconId, nullptr)) {
        if (created_) {
            Close(); // also gives back an owner an earlier showing disabled
        }
        return FALSE;
    }
    // Centred on the owner, else on the screen.
    QWidget* over = owner != nullptr ? owner->window() : nullptr;
    const QRect area = over != nullptr ? over->frameGeometry()
                                       : QGuiApplication::primaryScreen()->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
    owner_ = nullptr;
    if (disableOwner) {
        owner_ = owner != nullptr ? owner : mainWindow();
        if (owner_ != nullptr) {
            owner_->setEnabled(false);
        }
    }
    show();
    raise();
    activateWindow();
    if (update) {
        repaint();
    }
    return TRUE;
}

void CStatusDlg::destroyWindow() {
    for (QObject* child : children()) {
        if (child->isWidgetType()) {
            delete child;
        }
    }
    icon_ = text1_ = text2_ = nullptr;
    progress_ = nullptr;
    cancel_ = nullptr;
    shownIcon_ = QImage();
    created_ = false;
}

BOOL CStatusDlg::Close() {
    hide();
    if (owner_ != nullptr) {
        owner_->setEnabled(true);
        owner_ = nullptr;
    }
    destroyWindow();
    return TRUE;
}

namespace {
void setLabel(QLabel* label, const char* text) {
    if (label != nullptr) {
        label->setText(QString::fromLocal8Bit(text != nullptr ? text : ""));
    }
}
} // namespace

void CStatusDlg::SetText1(const char* text) {
    setLabel(text1_, text);
}

void CStatusDlg::SetText1(UINT stringId) {
    SetText1(findString(stringId).value_or("").c_str());
}

void CStatusDlg::SetText2(const char* text) {
    setLabel(text2_, text);
}

void CStatusDlg::SetText2(UINT stringId) {
    SetText2(findString(stringId).value_or("").c_str());
}

void CStatusDlg::SetCancelText(const char* text) {
    if (cancelUsable_ && cancel_ != nullptr) {
        cancel_->setText(QString::fromLocal8Bit(text != nullptr ? text : ""));
    }
}

void CStatusDlg::SetCancelText(UINT stringId) {
    SetCancelText(findString(stringId).value_or("").c_str());
}

LRESULT CStatusDlg::SetIcon(const QImage& icon) {
    if (icon_ == nullptr) {
        return 0;
    }
    const LRESULT previous = shownIcon_.isNull() ? 0 : static_cast<LRESULT>(shownIcon_.cacheKey());
    shownIcon_ = icon;
    icon_->setPixmap(QPixmap::fromImage(icon));
    // An icon static takes the icon's size.
    icon_->resize(icon.size());
    return previous;
}

LRESULT CStatusDlg::SetIcon(UINT iconId) {
    const std::optional<QImage> icon = findIcon(iconId);
    return icon ? SetIcon(*icon) : 0;
}

LRESULT CStatusDlg::progressMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return progress_ != nullptr ? progress_->sendMessage(message, wParam, lParam) : 0;
}

void CStatusDlg::SetProgressRange(int lower, int upper) {
    progressMessage(PBM_SETRANGE, 0, static_cast<LPARAM>(MAKELONG(lower, upper)));
}

void CStatusDlg::GetProgressRange(int& lower, int& upper) {
    PBRANGE range;
    progressMessage(PBM_GETRANGE, 0, reinterpret_cast<LPARAM>(&range));
    lower = range.iLow;
    upper = range.iHigh;
}

int CStatusDlg::SetProgressPos(int pos) {
    return static_cast<int>(progressMessage(PBM_SETPOS, static_cast<WPARAM>(pos)));
}

int CStatusDlg::OffsetProgressPos(int delta) {
    return static_cast<int>(progressMessage(PBM_DELTAPOS, static_cast<WPARAM>(delta)));
}

int CStatusDlg::SetProgressStep(int step) {
    return static_cast<int>(progressMessage(PBM_SETSTEP, static_cast<WPARAM>(step)));
}

int CStatusDlg::StepProgress() {
    return static_cast<int>(progressMessage(PBM_STEPIT));
}

int CStatusDlg::GetProgressPos() {
    return static_cast<int>(progressMessage(PBM_GETPOS));
}

BOOL CStatusDlg::ShowProgress(BOOL show, BOOL update) {
    if (layout_ < 3) {
        return FALSE;
    }
    if ((show != FALSE) == (progressShown_ != 0)) {
        return TRUE;
    }
    if (text2_ != nullptr) {
        text2_->setEnabled(!show);
        text2_->setVisible(!show);
    }
    if (progress_ != nullptr) {
        progress_->setEnabled(show == 1);
        progress_->setVisible(show != FALSE);
    }
    progressShown_ = show ? 1 : 0;
    if (update) {
        repaint();
    }
    return TRUE;
}

BOOL CStatusDlg::ShowCancel(BOOL show, BOOL update) {
    if (layout_ != 2 && layout_ != 4) {
        return FALSE;
    }
    if ((show != FALSE) == (cancelUsable_ != 0)) {
        return TRUE;
    }
    if (cancel_ != nullptr) {
        cancel_->setEnabled(show == 1);
        cancel_->setVisible(show != FALSE);
    }
    cancelUsable_ = show ? 1 : 0;
    if (update) {
        repaint();
    }
    return TRUE;
}

BOOL CStatusDlg::EnableCancel(BOOL enable) {
    if (!cancelUsable_) {
        return FALSE;
    }
    if (cancel_ != nullptr) {
        cancel_->setEnabled(enable == 1);
    }
    return TRUE;
}

void CStatusDlg::OnCancel() {
    cancelled_ = 1;
}

void CStatusDlg::reject() {
    // Escape cancels like the button; the window stays.
    OnCancel();
}

void CStatusDlg::paintEvent(QPaintEvent*) {
    // The modal frame of a window without caption.
    QPainter painter(this);
    CDC dc(&painter, size());
    RECT r = {0, 0, width(), height()};
    dc.FillSolidRect(&r, GetSysColor(COLOR_BTNFACE));
    dc.DrawEdge(&r, EDGE_RAISED, BF_RECT);
}

} // namespace glimra
