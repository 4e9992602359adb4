// The extended combo box and the two sensor boxes.

#include "glimra/combobox.h"

#include "tarvik_binding.h"

#include "dorvel/hardware_texts.h"
#include "dorvel/sensor_catalogue.h"

#include <QAbstractItemView>
#include <QPainter>
#include <QStyledItemDelegate>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace glimra {

namespace {

constexpr int DatumRole = Qt::UserRole;
constexpr int KindRole = Qt::UserRole + 1;
constexpr int StringRole = Qt::UserRole + 2; // index into the string-data table

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool isString(CExtComboBox::DataKind kind) {
    return kind == CExtComboBox::KindString || kind == CExtComboBox::KindText;
}

bool isNumber(CExtComboBox::DataKind kind) {
    return kind >= CExtComboBox::KindInt && kind <= CExtComboBox::KindRaw;
}

// What every GetSelValue shares: without a window the value cached when it
// went, and FALSE; FALSE without a selection; else TRUE with what read left
// in out for the selected item (it leaves out alone where it has no number).
template <typename T, typename Read>
BOOL selectedValue(const QComboBox& box, bool window, T cached, T* out, Read read) {
    if (out == nullptr) {
        return FALSE;
    }
    if (!window) {
        *out = cached;
        return FALSE;
    }
    const int index = box.currentIndex();
    if (index < 0) {
        return FALSE;
    }
    read(index, *out);
    return TRUE;
}

} // namespace

// Draws the list's items at the box's item height and its separator lines
// over them.
class CExtComboBox::ListDelegate : public QStyledItemDelegate {
public:
    explicit ListDelegate(CExtComboBox* box) : QStyledItemDelegate(box), box_(box) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        box_->paintSeparators(painter, option.rect, index.row());
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (box_->itemHeight_ > 0) {
            size.setHeight(box_->itemHeight_);
        }
        return size;
    }

    int styleHeight() const {
        QStyleOptionViewItem option;
        option.initFrom(box_->view());
        option.font = box_->view()->font();
        option.text = QStringLiteral("X");
        option.features |= QStyleOptionViewItem::HasDisplay;
        const QModelIndex none;
        return QStyledItemDelegate::sizeHint(option, none).height();
    }

private:
    CExtComboBox* box_;
};

// --- CExtComboBox ---

CExtComboBox::CExtComboBox(QWidget* parent) : QComboBox(parent) {
    setItemDelegate(new ListDelegate(this));
}

CExtComboBox::~CExtComboBox() = default;

BOOL CExtComboBox::appendItem(const char* text, DWORD_PTR datum, DataKind kind, int stringIndex) {
    if (text == nullptr || !window_) {
        return FALSE;
    }
    QComboBox::addItem(QString::fromUtf8(text));
    const int index = count() - 1;
    setItemData(index, QVariant::fromValue<qulonglong>(datum), DatumRole);
    setItemData(index, static_cast<int>(kind), KindRole);
    if (stringIndex >= 0) {
        setItemData(index, stringIndex, StringRole);
    }
    return TRUE;
}

BOOL CExtComboBox::AddItemData(const char* text, DWORD_PTR datum) {
    if (kind_ == KindNone) {
        kind_ = KindRaw;
    }
    return appendItem(text, datum, KindRaw);
}

BOOL CExtComboBox::AddItem(const char* text, int datum) {
    if (kind_ == KindNone) {
        kind_ = KindInt;
    }
    return appendItem(text, static_cast<DWORD_PTR>(static_cast<intptr_t>(datum)), KindInt);
}

BOOL CExtComboBox::AddItem(const char* text, long datum) {
    if (kind_ == KindNone) {
        kind_ = KindLong;
    }
    return appendItem(text, static_cast<DWORD_PTR>(datum), KindLong);
}

BOOL CExtComboBox::AddItem(const char* text, const char* datum) {
    return addString(text, datum, KindText);
}

BOOL CExtComboBox::AddItem(const char* text, const std::string& datum) {
    return addString(text, datum.c_str(), KindString);
}

BOOL CExtComboBox::addString(const char* text, const char* datum, DataKind kind) {
    if (kind_ == KindNone) {
        kind_ = kind;
    }
    if (text == nullptr || datum == nullptr ||
        strings_.size() >= static_cast<size_t>(MaxStringItems)) {
        return FALSE;
    }
    std::unique_ptr<std::string> copy;
    try {
        copy = std::make_unique<std::string>(datum);
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    const auto address = reinterpret_cast<DWORD_PTR>(copy.get());
    const int slot = static_cast<int>(strings_.size());
    strings_.push_back(std::move(copy));
    if (!appendItem(text, address, kind, slot)) {
        strings_.pop_back();
        return FALSE;
    }
    return TRUE;
}

void CExtComboBox::AddSeparator(int position) {
    if (separators_.empty()) {
        savedItemHeight_ = GetItemHeight();
        AdjustItemHeight(3);
    }
    separators_.push_back(position);
    view()->viewport()->update();
}

void CExtComboBox::AdjustItemHeight(int delta) {
    SetItemHeight(GetItemHeight() + delta);
}

int CExtComboBox::defaultItemHeight() const {
    return static_cast<const ListDelegate*>(itemDelegate())->styleHeight();
}

int CExtComboBox::GetItemHeight() const {
    return itemHeight_ > 0 ? itemHeight_ : defaultItemHeight();
}

void CExtComboBox::SetItemHeight(int height) {
    itemHeight_ = height;
    view()->doItemsLayout();
    view()->viewport()->update();
}

int CExtComboBox::separatorItem(int position) const {
    const int items = count();
    const int item = position < 0 ? items + position - 1 : position;
    // A position that resolves before the first item stands for none.
    return item >= 0 && item < items - 1 ? item : -1;
}

void CExtComboBox::paintSeparators(QPainter* painter, const QRect& item, int row) const {
    for (const int position : separators_) {
        if (separatorItem(position) != row) {
            continue;
        }
        CDC dc(painter, view()->viewport()->size());
        CPen pen(separatorStyle_, separatorWidth_, separatorColor_);
        dc.SelectObject(&pen);
        dc.SetBkMode(TRANSPARENT);
        const RECT r = toRect(item);
        const int y = r.bottom - separatorInsetY_;
        dc.MoveTo(r.left + separatorInsetX_, y);
        dc.LineTo(r.right - separatorInsetX_, y);
        dc.SelectStockObject(BLACK_PEN);
    }
}

int CExtComboBox::SetCurSel(int index) {
    if (index < -1 || index >= count()) {
        setCurrentIndex(-1);
        return -1;
    }
    setCurrentIndex(index);
    return index;
}

DWORD_PTR CExtComboBox::GetItemData(int index) const {
    if (index < 0 || index >= count()) {
        return static_cast<DWORD_PTR>(-1);
    }
    return static_cast<DWORD_PTR>(itemData(index, DatumRole).toULongLong());
}

CExtComboBox::DataKind CExtComboBox::itemKind(int index) const {
    if (index < 0 || index >= count()) {
        return KindNone;
    }
    const QVariant kind = itemData(index, KindRole);
    return kind.isValid() ? static_cast<DataKind>(kind.toInt()) : KindNone;
}

const std::string* CExtComboBox::itemString(int index) const {
    if (!isString(itemKind(index))) {
        return nullptr;
    }
    const QVariant slot = itemData(index, StringRole);
    const int i = slot.isValid() ? slot.toInt() : -1;
    return i >= 0 && i < static_cast<int>(strings_.size()) ? strings_[static_cast<size_t>(i)].get()
                                                           : nullptr;
}

// The item's number; string data as atol converts it. False for an item
// without a kind.
bool CExtComboBox::itemNumber(int index, long* out) const {
    const DataKind kind = itemKind(index);
    if (isNumber(kind)) {
        const DWORD_PTR datum = GetItemData(index);
        *out = kind == KindInt ? static_cast<int>(static_cast<intptr_t>(datum))
                               : static_cast<long>(datum);
        return true;
    }
    if (const std::string* s = itemString(index)) {
        *out = std::atol(s->c_str());
        return true;
    }
    return false;
}

std::string CExtComboBox::GetLBTextAt(int index) const {
    if (index < 0 || index >= count()) {
        return {};
    }
    return itemText(index).toStdString();
}

std::string CExtComboBox::GetSelText() {
    if (window_ && currentIndex() >= 0) {
        selText_ = GetLBTextAt(currentIndex());
    }
    return selText_;
}

BOOL CExtComboBox::GetItemText(int index, std::string& out) const {
    if (index < 0 || index >= count() || GetItemData(index) == 0) {
        return FALSE;
    }
    const DWORD_PTR datum = GetItemData(index);
    switch (itemKind(index)) {
    case KindString:
    case KindText: {
        const std::string* s = itemString(index);
        out = s != nullptr ? *s : std::string();
        break;
    }
    case KindInt:
        out = std::to_string(static_cast<int>(static_cast<intptr_t>(datum)));
        break;
    case KindLong:
    case KindRaw:
        out = std::to_string(static_cast<long>(datum));
        break;
    default:
        out.clear();
        break;
    }
    return TRUE;
}

BOOL CExtComboBox::GetSelItemText(std::string& out) const {
    if (!window_) {
        out = selDataText_;
        return TRUE;
    }
    return currentIndex() < 0 ? FALSE : GetItemText(currentIndex(), out);
}

BOOL CExtComboBox::GetItemValue(int index, int* out) const {
    if (out == nullptr || index < 0 || index >= count()) {
        return FALSE;
    }
    long value = 0;
    if (itemNumber(index, &value)) {
        *out = static_cast<int>(value);
    }
    return TRUE;
}

BOOL CExtComboBox::GetSelValue(int* out) const {
    return selectedValue(*this, window_, selInt_, out,
                         [this](int index, int& value) { GetItemValue(index, &value); });
}

BOOL CExtComboBox::GetSelValue(long* out) const {
    return selectedValue(*this, window_, selLong_, out,
                         [this](int index, long& value) { itemNumber(index, &value); });
}

BOOL CExtComboBox::GetSelValue(DWORD_PTR* out) const {
    return selectedValue(*this, window_, selRaw_, out, [this](int index, DWORD_PTR& value) {
        long number = 0;
        if (isNumber(itemKind(index))) {
            value = GetItemData(index);
        } else if (itemNumber(index, &number)) {
            value = static_cast<DWORD_PTR>(number);
        }
    });
}

int CExtComboBox::FindItemText(int start, const char* text) const {
    if (!isString(kind_) || count() == 0 || text == nullptr) {
        return -1;
    }
    for (int i = start < 0 ? 0 : start; i < count(); ++i) {
        const std::string* s = itemString(i);
        if (s != nullptr && equalIgnoringCase(*s, text)) {
            return i;
        }
    }
    return -1;
}

int CExtComboBox::FindItemValue(int start, DWORD_PTR datum) const {
    if (!isNumber(kind_)) {
        return -1;
    }
    for (int i = start < 0 ? 0 : start; i < count(); ++i) {
        if (isNumber(itemKind(i)) && GetItemData(i) == datum) {
            return i;
        }
    }
    return -1;
}

int CExtComboBox::SelectByText(int start, const char* text) {
    const int index = FindItemText(start, text);
    if (index >= 0) {
        setCurrentIndex(index);
    }
    return index;
}

int CExtComboBox::SelectByValue(int start, DWORD_PTR datum) {
    const int index = FindItemValue(start, datum);
    if (index >= 0) {
        setCurrentIndex(index);
    }
    return index;
}

void CExtComboBox::ResetContent() {
    OnResetContent();
    clear();
}

void CExtComboBox::OnResetContent() {
    separators_.clear();
    if (savedItemHeight_ != 0) {
        SetItemHeight(savedItemHeight_);
        savedItemHeight_ = 0;
    }
}

BOOL CExtComboBox::DestroyWindow() {
    if (!window_) {
        return FALSE;
    }
    OnDestroy();
    window_ = false;
    hide();
    clear();
    return TRUE;
}

void CExtComboBox::OnDestroy() {
    const int selection = currentIndex();
    selText_ = GetLBTextAt(selection);
    std::string dataText;
    selDataText_ = GetItemText(selection, dataText) ? dataText : std::string();
    GetSelValue(&selInt_);
    GetSelValue(&selLong_);
    GetSelValue(&selRaw_);
    while (!strings_.empty()) {
        strings_.pop_back();
    }
    kind_ = KindNone;
}

// --- CSensorLengthComboBox ---

CSensorLengthComboBox::CSensorLengthComboBox(QWidget* parent) : CExtComboBox(parent) {}

CSensorLengthComboBox::~CSensorLengthComboBox() = default;

BOOL CSensorLengthComboBox::Fill(int sensorType) {
    if (sensorType == type_) {
        return TRUE;
    }
    constexpr int kCapacity = 16;
    uint32_t lengths[kCapacity] = {};
    const int32_t n =
        detail::GetSupportedSensorLengths(static_cast<uint32_t>(sensorType), kCapacity, lengths);
    if (n < 0) {
        return FALSE;
    }
    ResetContent();
    type_ = -1;
    if (n == 0) {
        AddItem("n/a", 0);
        setEnabled(false);
    } else {
        if (!isEnabled()) {
            setEnabled(true);
        }
        bool separated = false;
        for (int i = 0; i < std::min<int32_t>(n, kCapacity); ++i) {
            const uint32_t length = lengths[i];
            if (length == 0xFFFFFFFFu) {
                continue;
            }
            // A line above the first of the long sensors, when anything
            // stands above it.
            if (!separated && (length == 4256 || length == 8352)) {
                if (GetCount() > 0) {
                    AddSeparator(GetCount() - 1);
                }
                separated = true;
            }
            AddItemData(dorvel::GetSensorLengthText(static_cast<int16_t>(length)), length);
        }
    }
    SetCurSel(0);
    type_ = sensorType;
    return TRUE;
}

bool CSensorLengthComboBox::SelectLength(int length) {
    return SelectByValue(static_cast<DWORD_PTR>(static_cast<intptr_t>(length))) != -1;
}

int CSensorLengthComboBox::GetSelectedLength() const {
    long length = -1;
    if (!hasWindow() || !GetSelValue(&length)) {
        return -1;
    }
    return static_cast<int>(length);
}

// --- CSensorTypeComboBox ---

CSensorTypeComboBox::CSensorTypeComboBox(QWidget* parent) : CExtComboBox(parent) {
    connect(this, &QComboBox::activated, this, [this] { OnSelEndOk(); });
}

CSensorTypeComboBox::~CSensorTypeComboBox() = default;

BOOL CSensorTypeComboBox::Fill() {
    const int n = dorvel::GetSensorTypeCount();
    if (n < 0) {
        return FALSE;
    }
    // A second fill replaces the list instead of adding to it.
    ResetContent();
    char previousGroup = '\0';
    for (int i = 0; i < n; ++i) {
        const auto index = static_cast<int16_t>(i);
        const int16_t code = dorvel::GetSensorTypeCode(index);
        const char* name = dorvel::GetSensorTypeName(index);
        const char group = dorvel::GetSensorTypeGroup(index);
        if (group != previousGroup && previousGroup != '\0') {
            AddSeparator(i - 1);
        }
        previousGroup = group;
        AddItemData(name, static_cast<DWORD_PTR>(static_cast<intptr_t>(code)));
    }
    SetSeparatorStyle(PS_SOLID);
    SetCurSel(0);
    return TRUE;
}

int CSensorTypeComboBox::selectedType() const {
    long type = -1;
    if (!hasWindow() || !GetSelValue(&type)) {
        return -1;
    }
    return static_cast<int>(type);
}

bool CSensorTypeComboBox::SelectType(int type) {
    if (SelectByValue(static_cast<DWORD_PTR>(static_cast<intptr_t>(type))) == -1) {
        return false;
    }
    RefreshLengthBox(type);
    return true;
}

bool CSensorTypeComboBox::SetLengthComboBox(CSensorLengthComboBox* box) {
    lengthBox_ = box;
    if (box != nullptr) {
        box->Fill(selectedType());
    }
    return true;
}

void CSensorTypeComboBox::RefreshLengthBox(int type) {
    if (lengthBox_) {
        lengthBox_->Fill(type);
    }
}

LRESULT CSensorTypeComboBox::OnSelEndOk() {
    RefreshLengthBox(selectedType());
    return 0;
}

} // namespace glimra
