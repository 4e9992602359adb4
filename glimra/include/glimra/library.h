#pragma once
// Joining the library, and its free functions: the client hook
// InitGuiLibrary, the menu command-update walker UpdateMenuCmdUI, the
// self-closing message box TimedMessageBox and the rectangle test
// IsRectInRect.
//
// A client calls InitGuiLibrary once before it creates any object of the
// library, so that look-ups through the resource chain find the library's
// bitmaps, icons and strings. Everything runs in the client's GUI thread.

#include "glimra/export.h"
#include "glimra/types.h"

#include <functional>
#include <map>
#include <string>

class QAction;
class QMenu;
class QWidget;

namespace glimra {

class ResourceModule;

// The library's record as an extension of its clients: set up when the
// library is loaded and torn down when it is unloaded.
struct ExtensionModule {
    bool initialized = false;
    std::string modulePath;                    // the library's file
    const ResourceModule* resources = nullptr; // its own resources
};
GLIMRA_EXPORT ExtensionModule& extensionModule();

// The library's entry in the calling program's resource chain; the chain
// frees it when the program ends.
class GLIMRA_EXPORT CDynLinkLibrary {
public:
    explicit CDynLinkLibrary(ExtensionModule& module);
    ~CDynLinkLibrary();
    CDynLinkLibrary(const CDynLinkLibrary&) = delete;
    CDynLinkLibrary& operator=(const CDynLinkLibrary&) = delete;

    const ExtensionModule& module() const { return module_; }

private:
    ExtensionModule& module_;
};

// Joins the library to the calling program's resource chain: a new entry,
// null when it could not be made.
GLIMRA_EXPORT CDynLinkLibrary* InitGuiLibrary();

// Command ids of menu items (0 for separators and items without one).
GLIMRA_EXPORT void setCommandId(QAction* item, UINT id);
GLIMRA_EXPORT UINT commandId(const QAction* item);

class CCmdTarget;

// The state of one menu item while its command-update handler runs.
class GLIMRA_EXPORT CCmdUI {
public:
    virtual ~CCmdUI() = default;

    virtual void Enable(BOOL on = TRUE);
    virtual void SetCheck(int check = 1);
    virtual void SetRadio(BOOL on = TRUE);
    virtual void SetText(const char* text);
    // Asks target for the handler of m_nID; without one the item is disabled
    // only when disableIfNoHandler is set. TRUE when a handler ran.
    BOOL DoUpdate(CCmdTarget* target, BOOL disableIfNoHandler);

    UINT m_nID = 0;
    UINT m_nIndex = 0;
    UINT m_nIndexMax = 0; // a handler that removes items lowers it
    QMenu* m_pMenu = nullptr;
    QMenu* m_pSubMenu = nullptr;
    QMenu* m_pParentMenu = nullptr;
    bool m_bEnableChanged = false;

private:
    QAction* item() const;
};

// Something that has command-update handlers, by command id.
class GLIMRA_EXPORT CCmdTarget {
public:
    using UpdateHandler = std::function<void(CCmdUI*)>;

    virtual ~CCmdTarget() = default;
    void setUpdateHandler(UINT id, UpdateHandler handler) { handlers_[id] = std::move(handler); }
    // Runs the handler of ui's command; FALSE when there is none.
    virtual BOOL OnUpdateCmdUI(CCmdUI* ui);

private:
    std::map<UINT, UpdateHandler> handlers_;
};

// Runs target's command-update handlers for every command item of the menu
// and of all its submenus; items without a handler keep their state.
GLIMRA_EXPORT void UpdateMenuCmdUI(CCmdTarget* target, QMenu* menu);

// Message-box types and answers.
inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_OKCANCEL = 0x1;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
inline constexpr UINT MB_YESNOCANCEL = 0x3;
inline constexpr UINT MB_YESNO = 0x4;
inline constexpr UINT MB_RETRYCANCEL = 0x5;
inline constexpr UINT MB_ICONERROR = 0x10;
inline constexpr UINT MB_ICONQUESTION = 0x20;
inline constexpr UINT MB_ICONWARNING = 0x30;
inline constexpr UINT MB_ICONINFORMATION = 0x40;
inline constexpr UINT MB_DEFBUTTON2 = 0x100;
inline constexpr UINT MB_DEFBUTTON3 = 0x200;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
// TimedMessageBox's answer when its time ran out.
inline constexpr int IDTIMEOUT = 0x1000;

// The last error (platform::lastError) of a time-out of 0: invalid data,
// EINVAL on this platform.
inline constexpr DWORD ERROR_INVALID_DATA = 22;

// A modal message box that closes itself after timeoutMs: the button's
// answer, IDTIMEOUT when the time ran out, 0 for a time-out of 0 (last error
// ERROR_INVALID_DATA) or when no box can be shown.
GLIMRA_EXPORT int TimedMessageBox(QWidget* owner, const char* text, const char* caption, UINT type,
                                  UINT timeoutMs);

// TRUE when all four corners of inner lie in outer by the point-in-rectangle
// rule, so a rectangle that shares outer's right or bottom edge is not inside.
GLIMRA_EXPORT BOOL IsRectInRect(const RECT* inner, const RECT* outer);

} // namespace glimra
