// The tab control, its image list, and the tab control with disabled tabs.

#include "glimra/tabctrl.h"

#include "glimra/desktop.h"
#include "glimra/dialog.h"
#include "glimra/fontmetrics.h"
#include "glimra/propsheet.h"
#include "glimra/resources.h"
#include "glimra/syscolors.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace glimra {

// ---- image list ----

BOOL CImageList::Create(int cx, int cy) {
    if (cx <= 0 || cy <= 0) {
        return FALSE;
    }
    size_ = {cx, cy};
    images_.clear();
    return TRUE;
}

int CImageList::Add(const QImage& bitmap, const QImage& mask) {
    if (size_.cx <= 0 || bitmap.isNull() || bitmap.width() < size_.cx ||
        bitmap.height() < size_.cy) {
        return -1;
    }
    const int first = GetImageCount();
    for (int x0 = 0; x0 + size_.cx <= bitmap.width(); x0 += size_.cx) {
        QImage cell(size_.cx, size_.cy, QImage::Format_ARGB32);
        for (int y = 0; y < size_.cy; ++y) {
            for (int x = 0; x < size_.cx; ++x) {
                const bool clear = !mask.isNull() && mask.valid(x0 + x, y) &&
                                   (mask.pixel(x0 + x, y) & 0xFFFFFFu) == 0xFFFFFFu;
                cell.setPixel(x, y, clear ? 0u : (bitmap.pixel(x0 + x, y) | 0xFF000000u));
            }
        }
        images_.push_back(cell);
    }
    return first;
}

int CImageList::Add(const QImage& icon) {
    if (size_.cx <= 0 || icon.isNull()) {
        return -1;
    }
    images_.push_back(
        icon.convertToFormat(QImage::Format_ARGB32)
            .scaled(size_.cx, size_.cy, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    return GetImageCount() - 1;
}

BOOL CImageList::Draw(CDC* dc, int index, POINT at) const {
    if (dc == nullptr || index < 0 || index >= GetImageCount()) {
        return FALSE;
    }
    return dc->drawImage(at.x, at.y, image(index));
}

BOOL CImageList::DrawDisabled(CDC* dc, int index, POINT at) const {
    if (dc == nullptr || index < 0 || index >= GetImageCount()) {
        return FALSE;
    }
    // The dark parts of the image embossed: a highlight one pixel down and
    // right, the shadow in place.
    const QImage& source = image(index);
    QImage highlight(source.size(), QImage::Format_ARGB32);
    highlight.fill(0u);
    QImage shadow = highlight;
    const QRgb light = toQColor(GetSysColor(COLOR_BTNHIGHLIGHT)).rgba();
    const QRgb dark = toQColor(GetSysColor(COLOR_BTNSHADOW)).rgba();
    for (int y = 0; y < source.height(); ++y) {
        for (int x = 0; x < source.width(); ++x) {
            const QRgb p = source.pixel(x, y);
            if (qAlpha(p) < 128 || qGray(p) >= 192) {
                continue;
            }
            highlight.setPixel(x, y, light);
            shadow.setPixel(x, y, dark);
        }
    }
    dc->drawImage(at.x + 1, at.y + 1, highlight);
    return dc->drawImage(at.x, at.y, shadow);
}

// ---- tab control ----

namespace {
constexpr int TabTop = 2;
constexpr int TextPad = 6;

CFont* guiFont() {
    return static_cast<CFont*>(GetStockObject(DEFAULT_GUI_FONT));
}
} // namespace

CTabCtrl::CTabCtrl(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
}

CTabCtrl::~CTabCtrl() = default;

LRESULT CTabCtrl::sendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (hook_ != nullptr) {
        return hook_->WindowProc(message, wParam, lParam);
    }
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CTabCtrl::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    const int index = static_cast<int>(wParam);
    switch (message) {
    case TCM_GETITEMCOUNT:
        return GetItemCount();
    case TCM_GETCURSEL:
        return curSel_;
    case TCM_SETCURSEL: {
        if (index < 0 || index >= GetItemCount()) {
            return -1;
        }
        const int previous = curSel_;
        curSel_ = index;
        update();
        return previous;
    }
    case TCM_GETIMAGELIST:
        return reinterpret_cast<LRESULT>(imageList_);
    case TCM_SETIMAGELIST:
        return reinterpret_cast<LRESULT>(SetImageList(reinterpret_cast<CImageList*>(lParam)));
    case TCM_GETITEMA: {
        auto* item = reinterpret_cast<TCITEMA*>(lParam);
        if (item == nullptr || index < 0 || index >= GetItemCount()) {
            return FALSE;
        }
        const Item& it = items_[static_cast<size_t>(index)];
        if ((item->mask & TCIF_TEXT) != 0 && item->pszText != nullptr && item->cchTextMax > 0) {
            const size_t n = std::min(it.text.size(), static_cast<size_t>(item->cchTextMax - 1));
            std::memcpy(item->pszText, it.text.data(), n);
            item->pszText[n] = '\0';
        }
        if ((item->mask & TCIF_IMAGE) != 0) {
            item->iImage = it.image;
        }
        return TRUE;
    }
    case TCM_SETITEMA: {
        const auto* item = reinterpret_cast<const TCITEMA*>(lParam);
        if (item == nullptr || index < 0 || index >= GetItemCount()) {
            return FALSE;
        }
        Item& it = items_[static_cast<size_t>(index)];
        if ((item->mask & TCIF_TEXT) != 0 && item->pszText != nullptr) {
            it.text = item->pszText;
        }
        if ((item->mask & TCIF_IMAGE) != 0) {
            it.image = item->iImage;
        }
        layoutItems();
        return TRUE;
    }
    case TCM_INSERTITEMA: {
        const auto* item = reinterpret_cast<const TCITEMA*>(lParam);
        if (item == nullptr || index < 0) {
            return -1;
        }
        const int at = std::min(index, GetItemCount());
        Item it;
        if ((item->mask & TCIF_TEXT) != 0 && item->pszText != nullptr) {
            it.text = item->pszText;
        }
        if ((item->mask & TCIF_IMAGE) != 0) {
            it.image = item->iImage;
        }
        items_.insert(items_.begin() + at, it);
        if (curSel_ < 0) {
            curSel_ = 0;
        } else if (at <= curSel_) {
            ++curSel_;
        }
        layoutItems();
        return at;
    }
    case TCM_DELETEITEM: {
        if (index < 0 || index >= GetItemCount()) {
            return FALSE;
        }
        items_.erase(items_.begin() + index);
        if (curSel_ >= GetItemCount() || index == curSel_) {
            curSel_ = GetItemCount() > 0 ? std::min(curSel_, GetItemCount() - 1) : -1;
        } else if (index < curSel_) {
            --curSel_;
        }
        layoutItems();
        return TRUE;
    }
    case TCM_GETITEMRECT: {
        auto* out = reinterpret_cast<RECT*>(lParam);
        if (out == nullptr || index < 0 || index >= GetItemCount()) {
            return FALSE;
        }
        *out = rects_[static_cast<size_t>(index)];
        return TRUE;
    }
    case TCM_HITTEST: {
        const auto* info = reinterpret_cast<TCHITTESTINFO*>(lParam);
        return info == nullptr ? -1 : HitTest(info->pt);
    }
    case WM_KEYDOWN: {
        const int n = GetItemCount();
        if (n == 0) {
            return 0;
        }
        if (wParam == VK_LEFT || wParam == VK_UP) {
            selectByUser(curSel_ > 0 ? curSel_ - 1 : 0);
        } else if (wParam == VK_RIGHT || wParam == VK_DOWN) {
            selectByUser(std::min(curSel_ + 1, n - 1));
        }
        return 0;
    }
    default:
        return 0;
    }
}

int CTabCtrl::InsertItem(int index, const char* text, int image) {
    TCITEMA item;
    item.mask = TCIF_TEXT | TCIF_IMAGE;
    item.pszText = const_cast<char*>(text != nullptr ? text : "");
    item.iImage = image;
    return static_cast<int>(
        sendMessage(TCM_INSERTITEMA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item)));
}

BOOL CTabCtrl::DeleteItem(int index) {
    return static_cast<BOOL>(sendMessage(TCM_DELETEITEM, static_cast<WPARAM>(index)));
}

BOOL CTabCtrl::GetItemRect(int index, RECT* out) const {
    if (out == nullptr || index < 0 || index >= GetItemCount()) {
        return FALSE;
    }
    *out = rects_[static_cast<size_t>(index)];
    return TRUE;
}

int CTabCtrl::HitTest(POINT p) const {
    for (size_t i = 0; i < rects_.size(); ++i) {
        const RECT& r = rects_[i];
        if (p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string CTabCtrl::itemText(int index) const {
    return index >= 0 && index < GetItemCount() ? items_[static_cast<size_t>(index)].text
                                                : std::string();
}

int CTabCtrl::itemImage(int index) const {
    return index >= 0 && index < GetItemCount() ? items_[static_cast<size_t>(index)].image : -1;
}

CImageList* CTabCtrl::SetImageList(CImageList* list) {
    CImageList* previous = imageList_;
    imageList_ = list;
    layoutItems();
    return previous;
}

void CTabCtrl::ModifyStyle(DWORD remove, DWORD add) {
    style_ = (style_ & ~remove) | add;
    update();
}

void CTabCtrl::layoutItems() {
    const QFont font = guiFont()->toQFont();
    const int textHeight = fontMetricsSource()->extent(font, "Ag").cy;
    const int imageHeight = imageList_ != nullptr ? imageList_->imageSize().cy : 0;
    const int h = std::max(textHeight, imageHeight) + TextPad;
    rects_.clear();
    int x = 2;
    for (const Item& it : items_) {
        int w = fontMetricsSource()->extent(font, it.text).cx + 2 * TextPad;
        if (it.image >= 0 && imageList_ != nullptr) {
            w += imageList_->imageSize().cx + 2;
        }
        rects_.push_back({x, TabTop, x + w, TabTop + h});
        x += w;
    }
    update();
}

RECT CTabCtrl::displayRect() const {
    const int top = rects_.empty() ? TabTop : rects_.front().bottom;
    return {4, top + 4, std::max(4, width() - 4), std::max(top + 4, height() - 4)};
}

LRESULT CTabCtrl::notify(int code) {
    NMHDR header{this, static_cast<UINT>(GetDlgCtrlID(this)), code};
    LRESULT result = 0;
    if (hook_ != nullptr && hook_->OnNotifyReflect(header, &result)) {
        return result;
    }
    if (auto* target = dynamic_cast<NotifyTarget*>(parentWidget())) {
        return target->OnNotify(header);
    }
    return 0;
}

void CTabCtrl::selectByUser(int index) {
    if (index < 0 || index >= GetItemCount() || index == curSel_) {
        return;
    }
    if (notify(TCN_SELCHANGING) != 0) {
        return;
    }
    curSel_ = index;
    update();
    notify(TCN_SELCHANGE);
}

void CTabCtrl::render(CDC* dc) {
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    dc->FillSolidRect(0, 0, width(), height(), face);
    // The display area's frame, open under the selected tab.
    RECT frame = {0, rects_.empty() ? TabTop : rects_.front().bottom - 1, width(), height()};
    dc->DrawEdge(&frame, EDGE_RAISED, BF_RECT);
    for (int i = 0; i < GetItemCount(); ++i) {
        if (i != curSel_) {
            drawItem(dc, i);
        }
    }
    if (curSel_ >= 0 && curSel_ < GetItemCount()) {
        drawItem(dc, curSel_);
    }
}

void CTabCtrl::drawItem(CDC* dc, int index) {
    const bool selected = index == curSel_;
    RECT r = rects_[static_cast<size_t>(index)];
    if (selected) {
        r = {r.left - 2, r.top - 2, r.right + 2, r.bottom + 1};
    }
    dc->FillSolidRect(&r, GetSysColor(COLOR_BTNFACE));
    RECT edge = r;
    dc->DrawEdge(&edge, EDGE_RAISED, BF_LEFT | BF_TOP | BF_RIGHT);
    RECT inner = {r.left + 2, r.top + 2, r.right - 2, r.bottom - (selected ? 1 : 0)};
    if ((style_ & TCS_OWNERDRAWFIXED) != 0 && hook_ != nullptr) {
        DRAWITEMSTRUCT item;
        item.CtlType = ODT_TAB;
        item.CtlID = static_cast<UINT>(GetDlgCtrlID(this));
        item.itemID = static_cast<UINT>(index);
        item.itemState = selected ? ODS_SELECTED : 0;
        item.hwndItem = this;
        item.hDC = dc;
        item.rcItem = inner;
        hook_->DrawItem(&item);
        return;
    }
    const Item& it = items_[static_cast<size_t>(index)];
    int x = inner.left + TextPad - 2;
    if (it.image >= 0 && imageList_ != nullptr) {
        const int y = inner.top + (inner.bottom - inner.top - imageList_->imageSize().cy) / 2;
        imageList_->Draw(dc, it.image, {x, y});
        x += imageList_->imageSize().cx + 2;
    }
    RECT text = {x, inner.top, inner.right, inner.bottom};
    const int mode = dc->SetBkMode(TRANSPARENT);
    const COLORREF colour = dc->SetTextColor(GetSysColor(COLOR_BTNTEXT));
    dc->DrawText(it.text, &text, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    dc->SetTextColor(colour);
    dc->SetBkMode(mode);
}

void CTabCtrl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    CDC dc(&painter, size());
    CFont* old = dc.SelectObject(guiFont());
    render(&dc);
    dc.SelectObject(old);
}

void CTabCtrl::mousePressEvent(QMouseEvent* event) {
    lastMessagePos_ = event->globalPosition().toPoint();
    const int hit = HitTest({event->position().toPoint().x(), event->position().toPoint().y()});
    if (hit >= 0 && hit != curSel_) {
        selectByUser(hit);
    }
}

void CTabCtrl::keyPressEvent(QKeyEvent* event) {
    int vk = 0;
    switch (event->key()) {
    case Qt::Key_Left:
        vk = VK_LEFT;
        break;
    case Qt::Key_Up:
        vk = VK_UP;
        break;
    case Qt::Key_Right:
        vk = VK_RIGHT;
        break;
    case Qt::Key_Down:
        vk = VK_DOWN;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    sendMessage(WM_KEYDOWN, static_cast<WPARAM>(vk), 0);
}

// ---- tab control with disabled tabs ----

CTabCtrlEx::~CTabCtrlEx() {
    if (tab_ != nullptr && tab_->hook() == this) {
        tab_->setHook(nullptr);
    }
}

BOOL CTabCtrlEx::SubclassTab(CTabCtrl* tab) {
    if (tab == nullptr) {
        return FALSE;
    }
    if (tab != tab_) {
        if (tab->hook() != nullptr) {
            return FALSE; // already taken over by another object
        }
        if (tab_ != nullptr && tab_->hook() == this) {
            tab_->setHook(nullptr);
        }
        tab->setHook(this);
        tab_ = tab;
        disabled_.clear();
    }
    tab_->ModifyStyle(0, TCS_OWNERDRAWFIXED);
    return TRUE;
}

BOOL CTabCtrlEx::SubclassSheetTab(CPropertySheet* sheet) {
    if (sheet == nullptr) {
        return FALSE;
    }
    return SubclassTab(reinterpret_cast<CTabCtrl*>(sheet->sendMessage(PSM_GETTABCONTROL, 0, 0)));
}

int CTabCtrlEx::itemCount() const {
    return tab_ != nullptr ? tab_->GetItemCount() : 0;
}

BOOL CTabCtrlEx::IsTabEnabled(int index, int* position) const {
    if (index < 0 || index >= itemCount()) {
        return FALSE;
    }
    const auto it = std::find(disabled_.begin(), disabled_.end(), static_cast<DWORD>(index));
    if (it != disabled_.end()) {
        if (position != nullptr) {
            *position = static_cast<int>(it - disabled_.begin());
        }
        return FALSE;
    }
    return TRUE;
}

int CTabCtrlEx::FindNextEnabledTab(int start, BOOL forward) const {
    const int n = itemCount();
    if (n == 0) {
        return -1;
    }
    if (forward) {
        for (int i = std::max(start, 0); i < n; ++i) {
            if (IsTabEnabled(i)) {
                return i;
            }
        }
        for (int i = 0; i < std::min(start, n); ++i) {
            if (IsTabEnabled(i)) {
                return i;
            }
        }
    } else {
        for (int i = std::min(start, n - 1); i >= 0; --i) {
            if (IsTabEnabled(i)) {
                return i;
            }
        }
        for (int i = n - 1; i > std::max(start, -1); --i) {
            if (IsTabEnabled(i)) {
                return i;
            }
        }
    }
    return -1;
}

BOOL CTabCtrlEx::EnableTab(int index, BOOL enable) {
    if (index < 0 || index >= itemCount()) {
        return FALSE;
    }
    int position = -1;
    const bool enabled = IsTabEnabled(index, &position) != FALSE;
    if (enabled == (enable != FALSE)) {
        return TRUE;
    }
    if (enable) {
        disabled_.erase(disabled_.begin() + position);
    } else {
        if (tab_->GetCurSel() == index) {
            const int start = index + 1 < itemCount() ? index + 1 : 0;
            const int next = FindNextEnabledTab(start, TRUE);
            if (next < 0 || next == index) {
                return FALSE;
            }
            SetCurSel(next);
            if (tab_->GetCurSel() == index) {
                return FALSE; // the active page would not be left
            }
        }
        disabled_.push_back(static_cast<DWORD>(index));
    }
    invalidateTab(index);
    return TRUE;
}

void CTabCtrlEx::invalidateTab(int index) {
    RECT r;
    if (tab_->GetItemRect(index, &r)) {
        tab_->update(toQRect(r).adjusted(-2, -2, 2, 2));
    }
}

void CTabCtrlEx::SetCurSel(int index) {
    if (index < 0 || index >= itemCount() || !CanLeaveActivePage(-1)) {
        return;
    }
    tab_->sendMessage(TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
    // Sent to the control's parent, so that a dialog or sheet follows a
    // selection made by the keys or by EnableTab as it follows the mouse.
    header_ = {tab_, static_cast<UINT>(GetDlgCtrlID(tab_)), TCN_SELCHANGE};
    if (auto* target = dynamic_cast<NotifyTarget*>(tab_->parentWidget())) {
        target->OnNotify(header_);
    }
}

BOOL CTabCtrlEx::CanLeaveActivePage(int index) {
    auto* sheet = tab_ != nullptr ? dynamic_cast<CPropertySheet*>(tab_->parentWidget()) : nullptr;
    if (sheet == nullptr) {
        return TRUE;
    }
    CPropertyPage* page = index < 0 ? sheet->GetActivePage() : sheet->GetPage(index);
    if (page == nullptr) {
        return TRUE;
    }
    header_ = {sheet, static_cast<UINT>(GetDlgCtrlID(sheet)), PSN_KILLACTIVE};
    return page->OnNotify(header_) == 0;
}

LRESULT CTabCtrlEx::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == TCM_SETCURSEL && !IsTabEnabled(static_cast<int>(wParam))) {
        const int c = tab_->GetCurSel();
        const int n = static_cast<int>(wParam);
        const int d = std::abs(n - c);
        if (d != 1 && n != d && c != d) {
            return -1;
        }
        const bool forward = n - c == 1 || n - c < -1;
        const int next = FindNextEnabledTab(n, forward);
        if (next < 0) {
            return -1;
        }
        tab_->DefWindowProc(TCM_SETCURSEL, static_cast<WPARAM>(next), 0);
        return 0;
    }
    if (message == WM_KEYDOWN) {
        const int n = itemCount();
        const int c = tab_->GetCurSel();
        if (wParam == VK_LEFT || wParam == VK_UP) {
            SetCurSel(c <= 0 ? n - 1 : c - 1);
            return 0;
        }
        if (wParam == VK_RIGHT || wParam == VK_DOWN) {
            SetCurSel(c + 1 >= n ? 0 : c + 1);
            return 0;
        }
    }
    return tab_->DefWindowProc(message, wParam, lParam);
}

bool CTabCtrlEx::OnNotifyReflect(const NMHDR& header, LRESULT* result) {
    if (header.code != TCN_SELCHANGING) {
        return false;
    }
    *result = OnSelChanging() ? 0 : 1;
    return true;
}

BOOL CTabCtrlEx::OnSelChanging() {
    const QPoint at = tab_->mapFromGlobal(tab_->lastMessagePos());
    TCHITTESTINFO info;
    info.pt = {at.x(), at.y()};
    const int hit =
        static_cast<int>(tab_->sendMessage(TCM_HITTEST, 0, reinterpret_cast<LPARAM>(&info)));
    if (hit < 0 || !IsTabEnabled(hit)) {
        return FALSE;
    }
    return CanLeaveActivePage(-1);
}

void CTabCtrlEx::DrawItem(DRAWITEMSTRUCT* dis) {
    if (dis == nullptr || dis->CtlType != ODT_TAB || tab_ == nullptr || dis->hDC == nullptr) {
        return;
    }
    const int index = static_cast<int>(dis->itemID);
    char text[256] = {};
    TCITEMA item;
    item.mask = TCIF_TEXT | TCIF_IMAGE;
    item.pszText = text;
    item.cchTextMax = 255;
    if (!tab_->sendMessage(TCM_GETITEMA, static_cast<WPARAM>(index),
                           reinterpret_cast<LPARAM>(&item))) {
        return;
    }
    CDC* dc = dis->hDC;
    const bool selected = (dis->itemState & ODS_SELECTED) != 0;
    const bool enabled = IsTabEnabled(index) != FALSE;
    CBrush menu;
    menu.CreateSysColorBrush(COLOR_MENU);
    dc->FillRect(&dis->rcItem, &menu);
    RECT area = dis->rcItem;
    if (selected) {
        area.left += 7;
    } else {
        area.left += 4;
        area.top += 2;
    }
    const int mode = dc->SetBkMode(TRANSPARENT);
    CImageList* images = tab_->GetImageList();
    if (item.iImage >= 0 && images != nullptr && item.iImage < images->GetImageCount()) {
        const POINT at = {area.left, area.top + (selected ? 3 : 0)};
        if (enabled) {
            images->Draw(dc, item.iImage, at);
        } else {
            images->DrawDisabled(dc, item.iImage, at);
        }
        area.left += images->imageSize().cx + 2;
    }
    const UINT format = DT_SINGLELINE | DT_VCENTER | DT_LEFT;
    COLORREF previous;
    if (enabled) {
        previous = dc->SetTextColor(GetSysColor(COLOR_BTNTEXT));
    } else {
        previous = dc->SetTextColor(GetSysColor(COLOR_BTNHIGHLIGHT));
        RECT shifted = {area.left + 1, area.top + 1, area.right + 1, area.bottom + 1};
        dc->DrawText(text, &shifted, format);
        dc->SetTextColor(GetSysColor(COLOR_GRAYTEXT));
    }
    dc->DrawText(text, &area, format);
    dc->SetTextColor(previous);
    dc->SetBkMode(mode);
}

int CTabCtrlEx::setItemImage(int index, int image) {
    TCITEMA item;
    item.mask = TCIF_IMAGE;
    item.iImage = image;
    if (!tab_->sendMessage(TCM_SETITEMA, static_cast<WPARAM>(index),
                           reinterpret_cast<LPARAM>(&item))) {
        return -1;
    }
    return image;
}

int CTabCtrlEx::SetTabImage(int index, UINT bitmapId, UINT maskId) {
    if (index < 0 || index >= itemCount() || tab_->GetImageList() == nullptr) {
        return -1;
    }
    if (maskId == static_cast<UINT>(-1)) {
        maskId = bitmapId;
    }
    CBitmap bitmap;
    CBitmap mask;
    if (!bitmap.LoadBitmap(bitmapId) || !mask.LoadBitmap(maskId)) {
        return -1;
    }
    const int image = tab_->GetImageList()->Add(bitmap.image(), mask.image());
    bitmap.DeleteObject();
    mask.DeleteObject();
    if (image < 0) {
        return -1;
    }
    return setItemImage(index, image);
}

int CTabCtrlEx::SetTabIcon(int index, const QImage& icon) {
    if (index < 0 || index >= itemCount() || tab_->GetImageList() == nullptr) {
        return -1;
    }
    const int image = tab_->GetImageList()->Add(icon);
    if (image < 0) {
        return -1;
    }
    return setItemImage(index, image);
}

} // namespace glimra
