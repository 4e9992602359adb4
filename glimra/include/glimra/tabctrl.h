#pragma once
// The tab control the classes build on: a row of tabs above a display area,
// answering the tab-control messages (sendMessage), with an image list,
// owner-drawn items and notifications. A class can take over a tab control's
// window procedure, its reflected notifications and the drawing of its items
// (setHook), as a subclass of its window would; the notifications then reach
// the control's parent (a NotifyTarget such as a property sheet) unless the
// hook answers them.

#include "glimra/export.h"
#include "glimra/gdi.h"
#include "glimra/messages.h"
#include "glimra/ownerdraw.h"
#include "glimra/styles.h"

#include <QImage>
#include <QPoint>
#include <QWidget>

#include <string>
#include <vector>

namespace glimra {

inline constexpr UINT WM_NOTIFY = 0x004E;
inline constexpr UINT WM_KEYDOWN = 0x0100;

inline constexpr UINT TCM_FIRST = 0x1300;
inline constexpr UINT TCM_GETIMAGELIST = TCM_FIRST + 2;
inline constexpr UINT TCM_SETIMAGELIST = TCM_FIRST + 3;
inline constexpr UINT TCM_GETITEMCOUNT = TCM_FIRST + 4;
inline constexpr UINT TCM_GETITEMA = TCM_FIRST + 5;
inline constexpr UINT TCM_SETITEMA = TCM_FIRST + 6;
inline constexpr UINT TCM_INSERTITEMA = TCM_FIRST + 7;
inline constexpr UINT TCM_DELETEITEM = TCM_FIRST + 8;
inline constexpr UINT TCM_GETITEMRECT = TCM_FIRST + 10;
inline constexpr UINT TCM_GETCURSEL = TCM_FIRST + 11;
inline constexpr UINT TCM_SETCURSEL = TCM_FIRST + 12;
inline constexpr UINT TCM_HITTEST = TCM_FIRST + 13;

inline constexpr int TCN_SELCHANGE = -551;
inline constexpr int TCN_SELCHANGING = -552;

inline constexpr UINT TCIF_TEXT = 0x1;
inline constexpr UINT TCIF_IMAGE = 0x2;
inline constexpr DWORD TCS_OWNERDRAWFIXED = 0x2000;

// The header of a notification.
struct NMHDR {
    QWidget* hwndFrom = nullptr;
    UINT idFrom = 0;
    int code = 0;
};

// Who takes notifications from a child control.
class NotifyTarget {
public:
    virtual ~NotifyTarget() = default;
    // The notification's result (for TCN_SELCHANGING nonzero refuses).
    virtual LRESULT OnNotify(const NMHDR& header) = 0;
};

struct TCITEMA {
    UINT mask = 0;
    char* pszText = nullptr;
    int cchTextMax = 0;
    int iImage = -1;
};

struct TCHITTESTINFO {
    POINT pt;
    UINT flags = 0;
};

// Images of one size, each with its transparent pixels.
class GLIMRA_EXPORT CImageList {
public:
    BOOL Create(int cx, int cy);
    // The mask's white pixels are transparent; a bitmap wider than the list
    // adds one image per width. The index of the first image, -1 on failure.
    int Add(const QImage& bitmap, const QImage& mask);
    int Add(const QImage& icon);
    int GetImageCount() const { return static_cast<int>(images_.size()); }
    SIZE imageSize() const { return size_; }
    const QImage& image(int index) const { return images_.at(static_cast<size_t>(index)); }
    BOOL Draw(CDC* dc, int index, POINT at) const;
    // The image greyed and embossed, as the desktop draws a disabled icon.
    BOOL DrawDisabled(CDC* dc, int index, POINT at) const;

private:
    SIZE size_;
    std::vector<QImage> images_;
};

class CTabCtrl;

// What takes over a tab control.
class TabCtrlHook {
public:
    virtual ~TabCtrlHook() = default;
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // A notification the control sends, reflected to the hook first; true
    // when the hook answered it (with result).
    virtual bool OnNotifyReflect(const NMHDR& header, LRESULT* result) = 0;
    virtual void DrawItem(DRAWITEMSTRUCT* item) = 0;
};

class GLIMRA_EXPORT CTabCtrl : public QWidget {
    Q_OBJECT

public:
    explicit CTabCtrl(QWidget* parent = nullptr);
    ~CTabCtrl() override;

    // Through the hook's window procedure when one is set.
    LRESULT sendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // What the control itself does with a message.
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    void setHook(TabCtrlHook* hook) { hook_ = hook; }
    TabCtrlHook* hook() const { return hook_; }

    int InsertItem(int index, const char* text, int image = -1);
    BOOL DeleteItem(int index);
    int GetItemCount() const { return static_cast<int>(items_.size()); }
    int GetCurSel() const { return curSel_; }
    int SetCurSel(int index) { return static_cast<int>(sendMessage(TCM_SETCURSEL, index)); }
    BOOL GetItemRect(int index, RECT* out) const;
    int HitTest(POINT p) const;
    std::string itemText(int index) const;
    int itemImage(int index) const;
    CImageList* GetImageList() const { return imageList_; }
    CImageList* SetImageList(CImageList* list);
    DWORD GetStyle() const { return style_; }
    void ModifyStyle(DWORD remove, DWORD add);
    // The area below the tabs where pages show.
    RECT displayRect() const;
    // Where the cursor was at the last mouse message, in screen coordinates.
    QPoint lastMessagePos() const { return lastMessagePos_; }
    // Sends a notification of this control: to the hook, else to the parent.
    LRESULT notify(int code);

    void render(CDC* dc);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Item {
        std::string text;
        int image = -1;
    };
    void layoutItems();
    void selectByUser(int index);
    void drawItem(CDC* dc, int index);

    std::vector<Item> items_;
    std::vector<RECT> rects_;
    int curSel_ = -1;
    DWORD style_ = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    CImageList* imageList_ = nullptr;
    TabCtrlHook* hook_ = nullptr;
    QPoint lastMessagePos_;
};

class CPropertySheet;

inline constexpr int PSN_KILLACTIVE = -201;

// A tab control whose tabs can be disabled one by one: a disabled tab is
// drawn greyed, cannot be chosen by mouse or arrow keys and is skipped when
// the selection moves. Over a property sheet's tabs it asks the active page
// before the selection changes.
class GLIMRA_EXPORT CTabCtrlEx : public TabCtrlHook {
public:
    CTabCtrlEx() = default;
    ~CTabCtrlEx() override;
    CTabCtrlEx(const CTabCtrlEx&) = delete;
    CTabCtrlEx& operator=(const CTabCtrlEx&) = delete;

    BOOL SubclassTab(CTabCtrl* tab);
    BOOL SubclassSheetTab(CPropertySheet* sheet);
    CTabCtrl* tab() const { return tab_; }

    BOOL EnableTab(int index, BOOL enable);
    BOOL IsTabEnabled(int index, int* position = nullptr) const;
    int FindNextEnabledTab(int start, BOOL forward) const;
    void SetCurSel(int index);
    BOOL CanLeaveActivePage(int index);
    int SetTabImage(int index, UINT bitmapId, UINT maskId = static_cast<UINT>(-1));
    int SetTabIcon(int index, const QImage& icon);
    const std::vector<DWORD>& disabledTabs() const { return disabled_; }

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool OnNotifyReflect(const NMHDR& header, LRESULT* result) override;
    void DrawItem(DRAWITEMSTRUCT* item) override;

protected:
    BOOL OnSelChanging();

private:
    int itemCount() const;
    void invalidateTab(int index);
    // Puts an image of the list on a tab; the image, -1 on failure.
    int setItemImage(int index, int image);

    CTabCtrl* tab_ = nullptr;
    std::vector<DWORD> disabled_;
    NMHDR header_;
};

} // namespace glimra
