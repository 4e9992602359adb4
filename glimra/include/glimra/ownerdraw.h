#pragma once
// Owner drawing: what a control hands to the code that draws or measures one
// of its items.

#include "glimra/types.h"

#include <cstdint>

class QWidget;

namespace glimra {

class CDC;

// Control types.
inline constexpr UINT ODT_MENU = 1;
inline constexpr UINT ODT_LISTBOX = 2;
inline constexpr UINT ODT_COMBOBOX = 3;
inline constexpr UINT ODT_BUTTON = 4;
inline constexpr UINT ODT_STATIC = 5;
inline constexpr UINT ODT_TAB = 101;

// Drawing actions.
inline constexpr UINT ODA_DRAWENTIRE = 0x1;
inline constexpr UINT ODA_SELECT = 0x2;
inline constexpr UINT ODA_FOCUS = 0x4;

// Item states.
inline constexpr UINT ODS_SELECTED = 0x1;
inline constexpr UINT ODS_GRAYED = 0x2;
inline constexpr UINT ODS_DISABLED = 0x4;
inline constexpr UINT ODS_CHECKED = 0x8;
inline constexpr UINT ODS_FOCUS = 0x10;

// An item id that names no item.
inline constexpr UINT ODI_NONE = 0xFFFFFFFFu;

struct DRAWITEMSTRUCT {
    UINT CtlType = 0;
    UINT CtlID = 0;
    UINT itemID = ODI_NONE;
    UINT itemAction = 0;
    UINT itemState = 0;
    QWidget* hwndItem = nullptr;
    CDC* hDC = nullptr;
    RECT rcItem;
    std::uintptr_t itemData = 0;
};

struct MEASUREITEMSTRUCT {
    UINT CtlType = 0;
    UINT CtlID = 0;
    UINT itemID = ODI_NONE;
    UINT itemWidth = 0;
    UINT itemHeight = 0;
    std::uintptr_t itemData = 0;
};

} // namespace glimra
