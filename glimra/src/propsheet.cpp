// Property sheets and the sheet with a logo in its button row.

#include "glimra/propsheet.h"

#include "glimra/dialog.h"
#include "glimra/resources.h"
#include "glimra/syscolors.h"

#include <QFrame>
#include <QPainter>
#include <QPushButton>

#include <algorithm>
#include <memory>

namespace glimra {

namespace {
constexpr int Margin = 7;
constexpr int ButtonWidth = 75;
constexpr int ButtonHeight = 23;
constexpr int ButtonGap = 6;
} // namespace

CPropertyPage::CPropertyPage(const char* caption, QWidget* parent)
    : QWidget(parent), caption_(caption != nullptr ? caption : "") {}

LRESULT CPropertyPage::OnNotify(const NMHDR& header) {
    if (header.code == PSN_KILLACTIVE) {
        return OnKillActive() ? 0 : 1;
    }
    return 0;
}

CPropertySheet::CPropertySheet(UINT captionId, QWidget* parent, UINT selectPage)
    : CPropertySheet(findString(captionId).value_or("").c_str(), parent, selectPage) {}

CPropertySheet::CPropertySheet(const char* caption, QWidget* parent, UINT selectPage)
    : QDialog(parent), caption_(caption != nullptr ? caption : ""),
      active_(static_cast<int>(selectPage)) {
    setWindowTitle(QString::fromStdString(caption_));
    setFont(dialogFont("MS Shell Dlg", 8));
    QPalette face = palette();
    face.setColor(QPalette::Window, toQColor(GetSysColor(COLOR_BTNFACE)));
    setPalette(face);
}

CPropertySheet::~CPropertySheet() {
    // The pages are the client's: give them back before the window goes.
    for (CPropertyPage* page : pages_) {
        if (page != nullptr && page->parentWidget() == this) {
            page->hide();
            page->setParent(nullptr);
        }
    }
}

void CPropertySheet::AddPage(CPropertyPage* page) {
    if (page == nullptr) {
        return;
    }
    pages_.push_back(page);
    if (created_) {
        page->setParent(this);
        page->hide();
        if (tab_ != nullptr) {
            tab_->InsertItem(GetPageCount() - 1, page->caption().c_str());
        }
    }
}

CPropertyPage* CPropertySheet::GetPage(int index) const {
    return index >= 0 && index < GetPageCount() ? pages_[static_cast<size_t>(index)] : nullptr;
}

BOOL CPropertySheet::SetActivePage(int index) {
    if (index < 0 || index >= GetPageCount()) {
        return FALSE;
    }
    if (created_ && tab_ != nullptr) {
        tab_->DefWindowProc(TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    showPage(index);
    return TRUE;
}

LRESULT CPropertySheet::sendMessage(UINT message, WPARAM, LPARAM) {
    if (message == PSM_GETTABCONTROL) {
        return reinterpret_cast<LRESULT>(tab_);
    }
    return 0;
}

BOOL CPropertySheet::Create() {
    if (created_) {
        return TRUE;
    }
    created_ = true;
    const bool wizard = (m_psh.dwFlags & (PSH_WIZARD | PSH_WIZARD97)) != 0;
    int pageW = 300;
    int pageH = 140;
    for (CPropertyPage* page : pages_) {
        if (page == nullptr) {
            continue;
        }
        // A page the client did not size takes what its contents need.
        const QSize want = (page->testAttribute(Qt::WA_Resized) ? page->size() : page->sizeHint())
                               .expandedTo(page->minimumSizeHint());
        pageW = std::max(pageW, want.width());
        pageH = std::max(pageH, want.height());
    }
    int buttonsTop = 0;
    if (wizard) {
        buttonsTop = pageH + 2 * Margin + ButtonGap;
        auto* line = new QFrame(this);
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        line->setGeometry(0, buttonsTop - ButtonGap - 2, pageW + 2 * Margin, 2);
    } else {
        tab_ = new CTabCtrl(this);
        setDlgCtrlID(tab_, 0x3020);
        for (int i = 0; i < GetPageCount(); ++i) {
            const CPropertyPage* page = pages_[static_cast<size_t>(i)];
            tab_->InsertItem(i, page != nullptr ? page->caption().c_str() : "");
        }
        RECT shown = {};
        tab_->GetItemRect(0, &shown);
        const int header = shown.bottom > 0 ? shown.bottom : 22;
        tab_->setGeometry(Margin, Margin, pageW + 8, pageH + header + 8);
        buttonsTop = tab_->geometry().bottom() + 1 + ButtonGap;
    }
    const int width = wizard ? pageW + 2 * Margin : tab_->width() + 2 * Margin;
    resize(width, buttonsTop + ButtonHeight + Margin);

    struct Button {
        int id;
        const char* text;
        bool enabled;
    };
    const std::vector<Button> buttons = wizard
                                            ? std::vector<Button>{{ID_WIZBACK, "< &Back", false},
                                                                  {ID_WIZNEXT, "&Next >", true},
                                                                  {IDCANCEL, "Cancel", true}}
                                            : std::vector<Button>{{IDOK, "OK", true},
                                                                  {IDCANCEL, "Cancel", true},
                                                                  {ID_APPLY_NOW, "&Apply", false}};
    int x =
        width - Margin - static_cast<int>(buttons.size()) * (ButtonWidth + ButtonGap) + ButtonGap;
    for (const Button& b : buttons) {
        auto* button = new QPushButton(QString::fromUtf8(b.text), this);
        setDlgCtrlID(button, b.id);
        button->setGeometry(x, buttonsTop, ButtonWidth, ButtonHeight);
        button->setEnabled(b.enabled);
        button->setAutoDefault(false);
        x += ButtonWidth + ButtonGap;
        if (b.id == IDOK) {
            button->setDefault(true);
            connect(button, &QPushButton::clicked, this, &QDialog::accept);
        } else if (b.id == IDCANCEL) {
            connect(button, &QPushButton::clicked, this, &QDialog::reject);
        } else if (b.id == ID_WIZNEXT) {
            connect(button, &QPushButton::clicked, this,
                    [this] { SetActivePage(std::min(active_ + 1, GetPageCount() - 1)); });
        } else if (b.id == ID_WIZBACK) {
            connect(button, &QPushButton::clicked, this,
                    [this] { SetActivePage(std::max(active_ - 1, 0)); });
        }
    }
    for (CPropertyPage* page : pages_) {
        if (page != nullptr) {
            page->setParent(this);
            page->hide();
        }
    }
    const int first = active_ >= 0 && active_ < GetPageCount() ? active_ : 0;
    SetActivePage(first);
    return OnInitDialog();
}

BOOL CPropertySheet::OnInitDialog() {
    return TRUE;
}

int CPropertySheet::DoModal() {
    if (!Create()) {
        return -1;
    }
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

void CPropertySheet::showPage(int index) {
    active_ = index;
    if (!created_) {
        return;
    }
    QRect area;
    if (tab_ != nullptr) {
        const RECT inner = tab_->displayRect();
        area = toQRect(inner).translated(tab_->pos());
    } else {
        area = QRect(Margin, Margin, width() - 2 * Margin, height());
    }
    for (int i = 0; i < GetPageCount(); ++i) {
        CPropertyPage* page = pages_[static_cast<size_t>(i)];
        if (page == nullptr) {
            continue;
        }
        if (i == index) {
            page->setGeometry(area.x(), area.y(), area.width(),
                              tab_ != nullptr ? area.height() : page->height());
            page->show();
            page->raise();
        } else {
            page->hide();
        }
    }
    if (auto* back = GetDlgItem(this, ID_WIZBACK)) {
        back->setEnabled(index > 0);
    }
}

LRESULT CPropertySheet::OnNotify(const NMHDR& header) {
    if (tab_ == nullptr || header.hwndFrom != tab_) {
        return 0;
    }
    if (header.code == TCN_SELCHANGING) {
        // The active page may refuse to be left.
        CPropertyPage* page = GetActivePage();
        if (page == nullptr) {
            return 0;
        }
        return page->OnNotify({this, static_cast<UINT>(GetDlgCtrlID(this)), PSN_KILLACTIVE});
    }
    if (header.code == TCN_SELCHANGE) {
        showPage(tab_->GetCurSel());
    }
    return 0;
}

// ---- the sheet with a logo ----

CPropertySheetWithLogo::~CPropertySheetWithLogo() = default;

void CPropertySheetWithLogo::SetLogoText(const std::string& text) {
    logoText_ = text;
    update();
}

void CPropertySheetWithLogo::SetLogoFont(const std::string& face, int height, int weight,
                                         BYTE italic, BYTE underline) {
    logoFont_.DeleteObject();
    logoFont_.CreateFont(height, 0, 0, 0, weight, italic, underline, 0, 0, 0, 0, 0, 0,
                         face.c_str());
    update();
}

BOOL CPropertySheetWithLogo::OnInitDialog() {
    const BOOL result = CPropertySheet::OnInitDialog();
    SetLogoFont("Arial", 24, FW_BOLD, 1, 0);
    return result;
}

void CPropertySheetWithLogo::DrawLogo(CDC* dc) {
    if (dc == nullptr || logoText_.empty() || !logoFont_.isCreated()) {
        return;
    }
    const bool wizard = (m_psh.dwFlags & (PSH_WIZARD | PSH_WIZARD97)) != 0;
    int left = 0;
    if (wizard) {
        left = mapFromGlobal(frameGeometry().topLeft()).x() + 14;
    } else if (const QWidget* tab = GetTabControl()) {
        left = windowRectIn(tab, this).left;
    }
    const QWidget* button = GetDlgItem(this, wizard ? IDCANCEL : IDOK);
    if (button == nullptr) {
        return;
    }
    const RECT b = windowRectIn(button, this);
    RECT area = {left, b.top, b.left, b.bottom};

    const int mode = dc->SetBkMode(TRANSPARENT);
    CFont* previousFont = dc->SelectObject(&logoFont_);
    // The fonts made while fitting live until the text is drawn.
    std::vector<std::unique_ptr<CFont>> made;
    CFont* font = &logoFont_;
    bool fits = false;
    for (;;) {
        RECT measured = area;
        dc->DrawText(logoText_, &measured, DT_CALCRECT | DT_SINGLELINE | DT_VCENTER);
        TEXTMETRIC tm;
        dc->GetTextMetrics(&tm);
        if (measured.right < b.left - tm.tmMaxCharWidth) {
            fits = true;
            break;
        }
        LOGFONTA lf = font->logFont();
        if (lf.lfHeight < 8) {
            break;
        }
        lf.lfHeight -= 1;
        made.push_back(std::make_unique<CFont>());
        made.back()->CreateFontIndirect(&lf);
        font = made.back().get();
        dc->SelectObject(font);
    }
    if (fits) {
        const UINT format = DT_LEFT | DT_SINGLELINE | DT_VCENTER;
        const COLORREF previousColour = dc->SetTextColor(GetSysColor(COLOR_BTNHIGHLIGHT));
        RECT shifted = {area.left + 1, area.top + 1, area.right + 1, area.bottom + 1};
        dc->DrawText(logoText_, &shifted, format);
        dc->SetTextColor(GetSysColor(COLOR_BTNSHADOW));
        dc->DrawText(logoText_, &area, format);
        dc->SetTextColor(previousColour);
    }
    dc->SelectObject(previousFont);
    dc->SetBkMode(mode);
}

void CPropertySheetWithLogo::paintEvent(QPaintEvent* event) {
    CPropertySheet::paintEvent(event);
    if (logoText_.empty()) {
        return;
    }
    QPainter painter(this);
    CDC dc(&painter, size());
    DrawLogo(&dc);
}

} // namespace glimra
