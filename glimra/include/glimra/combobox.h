#pragma once
// CExtComboBox: a combo box that draws separator lines between groups of
// items in its drop-down list and keeps one typed datum per item (a string or
// a number) with look-ups by datum. CSensorTypeComboBox lists the sensor types
// of the processing library, grouped by separators; CSensorLengthComboBox the
// sensor lengths the acquisition library supports for one sensor type. A type
// box can be linked to a length box, which then follows the chosen type.
//
// The kind of data a box keeps is fixed by its first item until its window is
// destroyed (DestroyWindow); each item also remembers the kind it was added
// with, so an item is always read as what it holds. After DestroyWindow the
// last selection can still be read from the box.

#include "glimra/export.h"
#include "glimra/gdi.h"

#include <QComboBox>
#include <QPointer>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace glimra {

using DWORD_PTR = std::uintptr_t;

class GLIMRA_EXPORT CExtComboBox : public QComboBox {
    Q_OBJECT

public:
    // Item-data kinds.
    enum DataKind {
        KindNone = 0,
        KindString = 1, // AddItem with a std::string datum: a copy, owned by the box
        KindText = 2,   // AddItem with a const char* datum: a copy, owned by the box
        KindInt = 3,
        KindLong = 4,
        KindRaw = 5, // AddItemData
    };
    // Items with string data over the life of the window.
    static constexpr int MaxStringItems = 32767;

    explicit CExtComboBox(QWidget* parent = nullptr);
    ~CExtComboBox() override;

    // Each answers FALSE for a null text or when the datum cannot be kept.
    BOOL AddItemData(const char* text, DWORD_PTR datum);
    BOOL AddItem(const char* text, int datum);
    BOOL AddItem(const char* text, long datum);
    BOOL AddItem(const char* text, const char* datum);
    BOOL AddItem(const char* text, const std::string& datum);
    // A line under the item at position; a negative position p stands for
    // item count + p - 1. The first separator raises the list items by 3
    // pixels.
    void AddSeparator(int position);
    void AdjustItemHeight(int delta);

    // The item's list text; empty for -1.
    std::string GetLBTextAt(int index) const;
    // The selection's list text (the last one seen, once the window is gone).
    std::string GetSelText();
    // The text of the item's datum; FALSE when the datum is 0 or no item.
    BOOL GetItemText(int index, std::string& out) const;
    BOOL GetSelItemText(std::string& out) const;
    // The item's number (string data converted as atoi does).
    BOOL GetItemValue(int index, int* out) const;
    // With a window: FALSE without a selection. Without: the value cached
    // when the window went, and FALSE.
    BOOL GetSelValue(int* out) const;
    BOOL GetSelValue(long* out) const;
    BOOL GetSelValue(DWORD_PTR* out) const;
    // The first item at or after start (-1: the first) whose string datum
    // equals text ignoring case; -1 when none or the box keeps no strings.
    int FindItemText(int start, const char* text) const;
    // The same for a number datum, in boxes that keep numbers.
    int FindItemValue(int start, DWORD_PTR datum) const;
    // The find, then the hit selected; its index or -1.
    int SelectByText(int start, const char* text);
    int SelectByText(const char* text) { return SelectByText(-1, text); }
    int SelectByValue(int start, DWORD_PTR datum);
    int SelectByValue(DWORD_PTR datum) { return SelectByValue(-1, datum); }

    // Taken at the next drawing of the list.
    void SetSeparatorColor(COLORREF color) { separatorColor_ = color; }
    void SetSeparatorWidth(int width) { separatorWidth_ = width; }
    void SetSeparatorStyle(int style) { separatorStyle_ = style; }
    void SetSeparatorInsetX(int pixels) { separatorInsetX_ = pixels; }
    void SetSeparatorInsetY(int pixels) { separatorInsetY_ = pixels; }

    // The combo box's own operations the classes build on.
    int GetCount() const { return count(); }
    int GetCurSel() const { return currentIndex(); }
    int SetCurSel(int index);
    // The datum; -1 (all bits set) for an index without an item.
    DWORD_PTR GetItemData(int index) const;
    // Height of the list items in pixels.
    int GetItemHeight() const;
    void SetItemHeight(int height);
    // Empties the box: separators go and a raised item height returns.
    void ResetContent();
    // The window goes: the selection is kept for reading, the string copies
    // are freed and the kind is open again.
    BOOL DestroyWindow();
    bool hasWindow() const { return window_; }

    DataKind dataKind() const { return kind_; }
    const std::vector<int>& separators() const { return separators_; }
    // The item a separator position draws its line under, -1 for none.
    int separatorItem(int position) const;

protected:
    void OnResetContent();
    void OnDestroy();

private:
    class ListDelegate;
    friend class ListDelegate;

    BOOL appendItem(const char* text, DWORD_PTR datum, DataKind kind, int stringIndex = -1);
    BOOL addString(const char* text, const char* datum, DataKind kind);
    DataKind itemKind(int index) const;
    const std::string* itemString(int index) const;
    bool itemNumber(int index, long* out) const;
    int defaultItemHeight() const;
    void paintSeparators(QPainter* painter, const QRect& item, int row) const;

    DataKind kind_ = KindNone;
    std::vector<std::unique_ptr<std::string>> strings_; // the string-data table
    std::string selText_;
    std::string selDataText_;
    int selInt_ = -1;
    long selLong_ = 0;
    DWORD_PTR selRaw_ = 0;
    std::vector<int> separators_;
    int itemHeight_ = 0; // 0: the style's height
    int savedItemHeight_ = 0;
    int separatorWidth_ = 1;
    int separatorStyle_ = PS_DOT;
    COLORREF separatorColor_ = 0x404040;
    int separatorInsetX_ = 2;
    int separatorInsetY_ = 2;
    bool window_ = true;
};

class GLIMRA_EXPORT CSensorLengthComboBox : public CExtComboBox {
    Q_OBJECT

public:
    explicit CSensorLengthComboBox(QWidget* parent = nullptr);
    ~CSensorLengthComboBox() override;

    // Lists the lengths the acquisition library supports for the type, a
    // separator above the first of the long ones; "n/a" in a disabled box for
    // a type without lengths. FALSE, and the box as it was, when the type is
    // unknown or the acquisition library cannot be reached. A repeated fill
    // for the same type asks nothing.
    BOOL Fill(int sensorType);
    bool SelectLength(int length);
    // -1 without a selection or a window.
    int GetSelectedLength() const;
    int filledType() const { return type_; }

private:
    int type_ = -1;
};

class GLIMRA_EXPORT CSensorTypeComboBox : public CExtComboBox {
    Q_OBJECT

public:
    explicit CSensorTypeComboBox(QWidget* parent = nullptr);
    ~CSensorTypeComboBox() override;

    // Lists the processing library's sensor types, groups set apart by
    // separators, and selects the first.
    BOOL Fill();
    // Selects the type and, when found, fills the linked length box for it.
    bool SelectType(int type);
    // Links the length box and fills it for the selected type. Always true.
    bool SetLengthComboBox(CSensorLengthComboBox* box);
    void RefreshLengthBox(int type);

protected:
    // The user chose an item: the linked box follows.
    LRESULT OnSelEndOk();

private:
    int selectedType() const;

    QPointer<CSensorLengthComboBox> lengthBox_;
};

} // namespace glimra
